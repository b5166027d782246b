// SPDX-License-Identifier: Apache-2.0
#include "store/sqlite/sqlite_store.h"

#include "store/reporter_secret.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace zuno::service {
namespace {

// How often the thread looks whether the day changed (reports age out of the window) or
// another process (the labels commands) changed the database.
constexpr auto kIdleCheck = std::chrono::seconds(1);
constexpr std::chrono::seconds kRetryFailedDatabase{5};

// What the file's header keeps of the key its reports were made under: 31 bits of its digest,
// never 0, which a file that has recorded none reads.
std::int64_t keyFingerprint(const std::string &secret)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(secret.data()), secret.size(), digest);
    std::uint32_t bits = 0;
    std::memcpy(&bits, digest, sizeof bits);
    return std::max<std::int64_t>(1, bits & 0x7fffffff);
}

}  // namespace

SqliteStore::SqliteStore(Options options)
    : SqlStore(options.rules, std::move(options.clock), "sqlite", kRetryFailedDatabase),
      connection_(options.path, options.durability)
{
    auto keyed = connection_.query("SELECT EXISTS (SELECT 1 FROM reports) OR "
                                         "EXISTS (SELECT 1 FROM place_reports)");
    const bool keyedRowsHeld = keyed->next() && keyed->integer(0) != 0;
    keyed.reset();
    const auto keyPath = secretPathOf(options.path);
    secret_ = zuno::service::reporterSecret(keyPath, keyedRowsHeld);
    // A key restored from another backup would count every network again, as a new one would.
    const std::int64_t fingerprint = keyFingerprint(secret_);
    auto recorded = connection_.query("PRAGMA user_version");
    const std::int64_t madeUnder = recorded->next() ? recorded->integer(0) : 0;
    recorded.reset();
    if (keyedRowsHeld && madeUnder != 0 && madeUnder != fingerprint)
        throw std::runtime_error(
            "the reporters' key \"" + keyPath.string() + "\" is not the one the reports and "
            "places in \"" + options.path.string() + "\" were made under: restore the key from "
            "the backup taken with the database");
    if (madeUnder != fingerprint)
        connection_.execute("PRAGMA user_version = " + std::to_string(fingerprint));
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
