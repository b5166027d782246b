// SPDX-License-Identifier: Apache-2.0
#include "store/postgres/pg_store.h"

#include "log/log_line.h"
#include "store/migrations.h"

#include <openssl/rand.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <utility>

namespace zuno::service {
namespace {

// A missed notification is caught by this check; the day's change too.
constexpr auto kPeriodicCheck = std::chrono::seconds(5);
// Reconnecting waits this long at first, doubling up to the most: a server back is used
// again within a second.
constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kMostBackoff{1000};
constexpr std::chrono::seconds kRetryUnavailable{2};
// How long the thread waits for tasks and notifications; without a connection, for the next
// attempt to reconnect.
constexpr std::chrono::milliseconds kIdleWait{1000};
constexpr std::chrono::milliseconds kReconnectWait{100};
// Held while migrating, so that instances starting together migrate once.
constexpr std::string_view kMigrationLock = "SELECT pg_advisory_lock(7450320917)";
constexpr std::string_view kMigrationUnlock = "SELECT pg_advisory_unlock(7450320917)";
// A write that changes nothing, whose commit waits as a report's does (one that writes nothing
// to the log would not wait for a synchronous standby).
constexpr std::string_view kCommitProbe = "UPDATE schema_version SET version = version";

// A lock another session holds on a table ends the waiting statement before the connection's
// 5 s: the connection stays, and the outage lasts until a write commits again, logged once
// each way, instead of a reconnection that finds the server answering while the lock holds.
constexpr std::string_view kLockTimeout = "SET lock_timeout = '4s'";

constexpr std::string_view kRawKeyMark = "\\x";

std::string hexOf(std::string_view bytes)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const char byte : bytes) {
        hex.push_back(kHex[static_cast<unsigned char>(byte) >> 4]);
        hex.push_back(kHex[static_cast<unsigned char>(byte) & 15]);
    }
    return hex;
}

// The key of reporter_key's text: raw bytes after the mark, else the text itself.
std::string keyOfText(std::string_view text)
{
    if (!text.starts_with(kRawKeyMark))
        return std::string(text);
    text.remove_prefix(kRawKeyMark.size());
    std::string bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc() || end != text.data() + i + 2)
            throw PgError("the reporters' key in reporter_key is not hexadecimal", false);
        bytes.push_back(static_cast<char>(value));
    }
    if (text.size() % 2 != 0)
        throw PgError("the reporters' key in reporter_key is not hexadecimal", false);
    return bytes;
}

std::string randomSecret()
{
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("cannot make the reporters' key: no random bytes");
    return hexOf(std::string_view(reinterpret_cast<const char *>(bytes), sizeof bytes));
}

}  // namespace

std::string reporterKeyText(std::string_view key) { return std::string(kRawKeyMark) + hexOf(key); }

std::string preparePgDatabase(PgConnection &connection)
{
    connection.execute(kMigrationLock);
    try {
        connection.execute("BEGIN");
        if (const auto newer = migrateSchema(connection))
            throw PgError(newerSchemaMessage(*newer), false);
        // The key keys networks; shared, one network counts once whichever instance it uses.
        // Made by the first instance; later ones only read it.
        if (!hasTable(connection, "reporter_key"))
            connection.execute("CREATE TABLE reporter_key ("
                               " id INTEGER PRIMARY KEY CHECK (id = 1), secret TEXT NOT NULL)");
        auto key = connection.query("SELECT secret FROM reporter_key WHERE id = 1");
        if (!key->next()) {
            connection.change("INSERT INTO reporter_key (id, secret) VALUES (1, $1) "
                              "ON CONFLICT (id) DO NOTHING",
                              {randomSecret()});
            key = connection.query("SELECT secret FROM reporter_key WHERE id = 1");
            if (!key->next())
                throw PgError("reporter_key holds no key", false);
        }
        std::string secret = keyOfText(key->text(0));
        connection.execute("COMMIT");
        connection.execute(kMigrationUnlock);
        return secret;
    } catch (...) {
        try {
            connection.execute("ROLLBACK");
            connection.execute(kMigrationUnlock);
        } catch (const PgError &) {
            // Closing the connection releases the lock and the transaction.
        }
        throw;
    }
}

PgStore::PgStore(Options options)
    : SqlStore(options.rules, std::move(options.clock), "postgresql", kRetryUnavailable),
      uri_(std::move(options.uri))
{
    try {
        connection_ = std::make_unique<PgConnection>(uri_);
        secret_ = preparePgDatabase(*connection_);
        connection_->execute(kLockTimeout);
        connection_->execute("LISTEN zuno_labels");
        rebuild();
    } catch (const PgError &error) {
        throw PgError(std::string("cannot use the label database: ") + error.what(), false);
    }
    start();
}

PgStore::~PgStore() { stop(); }

SqlConnection *PgStore::reachable()
{
    if (connection_)
        return connection_.get();
    if (std::chrono::steady_clock::now() < nextAttempt_)
        return nullptr;
    try {
        connect();
        ++reconnects_;
        return connection_.get();
    } catch (const std::exception &error) {
        // Said once: the first attempt after a connection closed while idle may find no server.
        if (!failing_)
            failed(error);
        backoff_ = std::min(std::max(backoff_ * 2, kFirstBackoff), kMostBackoff);
        // From the failure, not the attempt: one that waited out a timeout is not made again
        // at once for the writes that queued meanwhile.
        nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
        connection_.reset();
        return nullptr;
    }
}

void PgStore::connect()
{
    connection_ = std::make_unique<PgConnection>(uri_);
    connection_->execute(kLockTimeout);
    connection_->execute("LISTEN zuno_labels");
    rebuild();
    backoff_ = {};
    if (!failing_)
        return;
    // A server that answers may still commit nothing (its synchronous standby gone): after a
    // failure, only a commit that goes through says reports are taken again.
    connection_->execute(kCommitProbe);
    logLine(LogLevel::Info, "label database: works again, reports are taken");
    failing_ = false;
}

bool PgStore::stale()
{
    return notified_ || chinaDay(now()) != builtFor() ||
        std::chrono::steady_clock::now() - builtAt_ >= kPeriodicCheck;
}

void PgStore::rebuilt()
{
    builtAt_ = std::chrono::steady_clock::now();
    notified_ = false;
    othersChanged_ = {};
}

void PgStore::catchUp(SqlConnection &sql)
{
    if (othersChanged_.namesNothing())
        return;
    LabelChanges changed = std::exchange(othersChanged_, {});
    std::sort(changed.numbers.begin(), changed.numbers.end());
    changed.numbers.erase(std::unique(changed.numbers.begin(), changed.numbers.end()),
                          changed.numbers.end());
    // Until they are taken: a failure midway leaves the board to be built again.
    notified_ = true;
    takeChanges(sql, changed);
    notified_ = false;
}

void PgStore::lost(const std::exception &error)
{
    const auto *pg = dynamic_cast<const PgError *>(&error);
    if (connection_ && (!pg || pg->lost())) {
        connection_.reset();
        nextAttempt_ = std::chrono::steady_clock::now() + kFirstBackoff;
        backoff_ = kFirstBackoff;
    }
}

int PgStore::socket() const { return connection_ ? connection_->socket() : -1; }

void PgStore::socketReadable()
{
    try {
        if (auto changed = connection_->othersChanged()) {
            // Only the numbers named are read again; a notification naming none means anything.
            notified_ = notified_ || changed->namesNothing();
            othersChanged_.numbers.insert(othersChanged_.numbers.end(), changed->numbers.begin(),
                                          changed->numbers.end());
            othersChanged_.places = othersChanged_.places || changed->places;
        }
    } catch (const PgError &) {
        // Closed while idle (a restart, an administrator, a proxy's timeout): connect again at
        // once, so that the next report finds a connection; only a failed attempt is an outage.
        connection_.reset();
        nextAttempt_ = {};
        backoff_ = {};
    }
}

std::chrono::milliseconds PgStore::idleWait() const
{
    return connection_ ? kIdleWait : kReconnectWait;
}

}  // namespace zuno::service
