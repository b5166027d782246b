// SPDX-License-Identifier: Apache-2.0
#include "pg_connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

namespace zuno::service {
namespace {

// A notification's payload is shorter than 8000 bytes.
constexpr size_t kMostNotification = 7999;
constexpr std::string_view kPlacesChanged = "places";

// A statement that has not been answered in this time is taken as a lost connection.
constexpr int kAnswerTimeoutMs = 5000;

std::string messageOf(PGconn *connection)
{
    // libpq's first line says what; the rest guesses why.
    std::string text = PQerrorMessage(connection);
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "unknown error" : text;
}

bool isLost(PGconn *connection) { return PQstatus(connection) != CONNECTION_OK; }

// Parameters go as text: the server takes each as its column's type.
std::vector<std::string> textsOf(SqlParameters parameters)
{
    std::vector<std::string> texts;
    texts.reserve(parameters.size());
    for (const SqlParameter &parameter : parameters)
        if (const auto *value = std::get_if<std::int64_t>(&parameter))
            texts.push_back(std::to_string(*value));
        else
            texts.emplace_back(std::get<std::string_view>(parameter));
    return texts;
}

// The rows libpq received, walked one at a time.
class PgRowCursor final : public SqlRows
{
public:
    explicit PgRowCursor(PgRows rows) : rows_(std::move(rows)) {}
    bool next() override { return ++row_ < rows_.size(); }
    std::string_view text(int column) const override { return rows_.text(row_, column); }
    std::int64_t integer(int column) const override { return rows_.integer(row_, column); }

private:
    PgRows rows_;
    int row_ = -1;
};

}  // namespace

std::string_view PgRows::text(int row, int column) const
{
    return {PQgetvalue(result_.get(), row, column),
            static_cast<size_t>(PQgetlength(result_.get(), row, column))};
}

std::int64_t PgRows::integer(int row, int column) const
{
    const std::string_view value = text(row, column);
    std::int64_t number = 0;
    std::from_chars(value.data(), value.data() + value.size(), number);
    return number;
}

std::int64_t PgRows::changed() const
{
    const char *value = PQcmdTuples(result_.get());
    std::int64_t number = 0;
    std::from_chars(value, value + std::strlen(value), number);
    return number;
}

namespace {

// A server that does not answer is given up after 2 s, so that waiting reports answer 503 soon;
// a connect_timeout in the URI itself wins, coming later.
PGconn *connectTo(const std::string &uri)
{
    const char *const keywords[] = {"connect_timeout", "dbname", nullptr};
    const char *const values[] = {"2", uri.c_str(), nullptr};
    return PQconnectdbParams(keywords, values, 1);
}

// Where the passwords are written in a URI: after the user's name, and as password=...
std::vector<std::pair<std::size_t, std::size_t>> passwordSpans(std::string_view uri)
{
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    const std::size_t scheme = uri.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    // As libpq reads it: the user part ends at '@', and there is none before a '/'.
    const std::size_t userEnd = uri.find_first_of("@/", start);
    if (userEnd != std::string_view::npos && uri[userEnd] == '@') {
        const std::size_t colon = uri.find(':', start);
        if (colon < userEnd)
            spans.emplace_back(colon + 1, userEnd);
    }
    const std::size_t query = uri.find('?', start);
    for (std::size_t at = query; at != std::string_view::npos; at = uri.find('&', at + 1)) {
        const std::size_t end = std::min(uri.find('&', at + 1), uri.size());
        const std::string_view parameter = uri.substr(at + 1, end - at - 1);
        if (parameter.starts_with("password="))
            spans.emplace_back(at + 1 + 9, end);
    }
    return spans;
}

// libpq's messages about a URI it cannot read quote the URI, or the part of it that is wrong:
// the URI is shown without its passwords, and what is left of one, as written or decoded, too.
std::string hidePasswords(std::string message, const std::string &uri)
{
    std::vector<std::string> passwords;
    for (const auto &[begin, end] : passwordSpans(uri))
        passwords.emplace_back(uri.substr(begin, end - begin));
    PQconninfoOption *options = PQconninfoParse(uri.c_str(), nullptr);
    for (PQconninfoOption *option = options; option && option->keyword; ++option)
        if (std::string_view(option->keyword) == "password" && option->val)
            passwords.emplace_back(option->val);
    PQconninfoFree(options);
    const std::string shown = withoutPassword(uri);
    for (std::size_t at = 0; !uri.empty() && (at = message.find(uri, at)) != std::string::npos;
         at += shown.size())
        message.replace(at, uri.size(), shown);
    for (const std::string &password : passwords)
        for (std::size_t at = 0;
             !password.empty() && (at = message.find(password, at)) != std::string::npos; at += 3)
            message.replace(at, password.size(), "***");
    return message;
}

}  // namespace

PgConnection::PgConnection(const std::string &uri) : handle_(connectTo(uri))
{
    if (!handle_)
        throw PgError("out of memory", true);
    if (PQstatus(handle_.get()) != CONNECTION_OK)
        throw PgError(hidePasswords(messageOf(handle_.get()), uri), true);
    // Notices ("already exists, skipping") are no news for the operator.
    PQsetNoticeProcessor(
        handle_.get(), [](void *, const char *) {}, nullptr);
    if (PQsetnonblocking(handle_.get(), 1) != 0)
        throw PgError(messageOf(handle_.get()), true);
}

PgRows PgConnection::run(std::string_view sql, const std::vector<std::string> &parameters)
{
    PGconn *connection = handle_.get();
    const std::string text(sql);
    int sent = 0;
    if (parameters.empty()) {
        sent = PQsendQuery(connection, text.c_str());
    } else {
        std::vector<const char *> values;
        values.reserve(parameters.size());
        for (const std::string &parameter : parameters)
            values.push_back(parameter.c_str());
        sent = PQsendQueryParams(connection, text.c_str(), static_cast<int>(values.size()), nullptr,
                                 values.data(), nullptr, nullptr, 0);
    }
    if (!sent)
        throw PgError(messageOf(connection), isLost(connection));
    // Non-blocking: the statement may still sit in libpq's buffer.
    for (;;) {
        const int flushed = PQflush(connection);
        if (flushed == 0)
            break;
        if (flushed < 0)
            throw PgError(messageOf(connection), true);
        pollfd wanted{PQsocket(connection), POLLOUT | POLLIN, 0};
        if (::poll(&wanted, 1, kAnswerTimeoutMs) <= 0)
            throw PgError("the server does not take the statement", true);
        if ((wanted.revents & POLLIN) && !PQconsumeInput(connection))
            throw PgError(messageOf(connection), true);
    }
    return finish(sql);
}

std::unique_ptr<SqlRows> PgConnection::query(std::string_view sql, SqlParameters parameters)
{
    return std::make_unique<PgRowCursor>(run(sql, textsOf(parameters)));
}

std::int64_t PgConnection::change(std::string_view sql, SqlParameters parameters)
{
    return run(sql, textsOf(parameters)).changed();
}

void PgConnection::waitReadable()
{
    pollfd wanted{PQsocket(handle_.get()), POLLIN, 0};
    int ready = 0;
    do
        ready = ::poll(&wanted, 1, kAnswerTimeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        throw PgError("the server did not answer within " +
                          std::to_string(kAnswerTimeoutMs / 1000) + " s",
                      true);
    if (!PQconsumeInput(handle_.get()))
        throw PgError(messageOf(handle_.get()), true);
}

PgRows PgConnection::finish(std::string_view sql)
{
    PGconn *connection = handle_.get();
    PGresult *last = nullptr;
    std::string failure;
    for (;;) {
        while (PQisBusy(connection))
            waitReadable();
        PGresult *result = PQgetResult(connection);
        if (!result)
            break;
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && failure.empty())
            failure = PQresultErrorMessage(result);
        PQclear(last);
        last = result;
    }
    PgRows rows(last);
    if (!failure.empty() || !last) {
        while (!failure.empty() && (failure.back() == '\n'))
            failure.pop_back();
        throw PgError((failure.empty() ? messageOf(connection) : failure) + " (in \"" +
                          std::string(sql.substr(0, 40)) + "…\")",
                      isLost(connection));
    }
    return rows;
}

void PgConnection::announceChange(const LabelChanges &changes)
{
    std::string payload;
    for (const std::string &number : changes.numbers)
        payload.append(payload.empty() ? "" : " ").append(number);
    if (changes.places)
        payload.append(payload.empty() ? "" : " ").append(kPlacesChanged);
    if (payload.size() > kMostNotification)
        payload.clear();
    query("SELECT pg_notify('zuno_labels', $1)", {std::string_view(payload)});
}

std::optional<LabelChanges> PgConnection::othersChanged()
{
    PGconn *connection = handle_.get();
    if (!PQconsumeInput(connection))
        throw PgError(messageOf(connection), true);
    std::optional<LabelChanges> changed;
    bool anything = false;
    while (PGnotify *notify = PQnotifies(connection)) {
        if (notify->be_pid != PQbackendPID(connection)) {
            if (!changed)
                changed.emplace();
            std::string_view payload = notify->extra ? notify->extra : "";
            anything = anything || payload.empty();
            while (!payload.empty()) {
                const std::string_view word = payload.substr(0, payload.find(' '));
                payload.remove_prefix(std::min(payload.size(), word.size() + 1));
                if (word == kPlacesChanged)
                    changed->places = true;
                else if (!word.empty())
                    changed->numbers.emplace_back(word);
            }
        }
        PQfreemem(notify);
    }
    if (changed && anything)
        *changed = LabelChanges{};
    return changed;
}

bool isPostgresUri(std::string_view database)
{
    return database.starts_with("postgresql://") || database.starts_with("postgres://");
}

std::string withoutPassword(std::string_view uri)
{
    std::string shown;
    std::size_t from = 0;
    for (const auto &[begin, end] : passwordSpans(uri)) {
        shown.append(uri.substr(from, begin - from)).append("***");
        from = end;
    }
    return shown.append(uri.substr(from));
}

}  // namespace zuno::service
