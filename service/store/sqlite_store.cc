// SPDX-License-Identifier: Apache-2.0
#include "sqlite_store.h"

#include "reporter_secret.h"

namespace zuno::service {
namespace {

// How often the thread looks whether the day changed (reports age out of the window) or
// another process (the labels commands) changed the database.
constexpr auto kIdleCheck = std::chrono::seconds(1);
constexpr std::chrono::seconds kRetryFailedDatabase{5};

}  // namespace

SqliteStore::SqliteStore(Options options)
    : SqlStore(options.rules, std::move(options.clock), "sqlite", kRetryFailedDatabase),
      connection_(options.path, options.durability)
{
    const auto keyed = connection_.query("SELECT EXISTS (SELECT 1 FROM reports) OR "
                                         "EXISTS (SELECT 1 FROM place_reports)");
    secret_ = zuno::service::reporterSecret(secretPathOf(options.path),
                                            keyed->next() && keyed->integer(0) != 0);
    rebuild();
    start();
}

SqliteStore::~SqliteStore() { stop(); }

void SqliteStore::checkWritable()
{
    if (!connection_.stillAtPath())
        throw SqliteError("the file \"" + connection_.path().string() +
                              "\" was removed or replaced",
                          SQLITE_NOTFOUND);
}

bool SqliteStore::stale()
{
    return chinaDay(now()) != builtFor() || dataVersion() != builtVersion_;
}

void SqliteStore::rebuilt() { builtVersion_ = dataVersion(); }

std::chrono::milliseconds SqliteStore::idleWait() const { return kIdleCheck; }

std::int64_t SqliteStore::dataVersion()
{
    const auto read = connection_.query("PRAGMA data_version");
    return read->next() ? read->integer(0) : 0;
}

}  // namespace zuno::service
