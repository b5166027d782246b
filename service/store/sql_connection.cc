// SPDX-License-Identifier: Apache-2.0
#include "store/sql_connection.h"

#include <stdexcept>

namespace zuno::service {

SqlTransaction::SqlTransaction(SqlConnection &connection) : connection_(connection)
{
    connection_.begin();
}

SqlTransaction::~SqlTransaction()
{
    if (!open_)
        return;
    try {
        connection_.execute("ROLLBACK");
    } catch (const std::exception &) {
        // Nothing was committed; a failed rollback (a connection gone) leaves that so.
    }
}

void SqlTransaction::commit()
{
    // A COMMIT that fails may leave the transaction open (SQLite's busy): the rollback follows.
    connection_.execute("COMMIT");
    open_ = false;
}

}  // namespace zuno::service
