// SPDX-License-Identifier: Apache-2.0
#include "store/postgres/pg_connection.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
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

bool isConnectionKeyword(std::string_view name)
{
    static const std::vector<std::string> keywords = [] {
        std::vector<std::string> names;
        PQconninfoOption *defaults = PQconndefaults();
        for (PQconninfoOption *option = defaults; option && option->keyword; ++option)
            names.emplace_back(option->keyword);
        PQconninfoFree(defaults);
        return names;
    }();
    return std::find(keywords.begin(), keywords.end(), name) != keywords.end();
}

// Whether a parameter (keyword=value) of the query begins at `at`.
bool parameterAt(std::string_view uri, std::size_t at)
{
    const std::size_t equals = uri.find('=', at);
    return equals != std::string_view::npos && isConnectionKeyword(uri.substr(at, equals - at));
}

// Where the query begins: the first '?' before a parameter, so that a '?' written unencoded in
// a password is not taken for it.
std::size_t queryStart(std::string_view uri, std::size_t from)
{
    for (std::size_t at = uri.find('?', from); at != std::string_view::npos;
         at = uri.find('?', at + 1))
        if (parameterAt(uri, at + 1))
            return at;
    return uri.size();
}

struct UserPart {
    std::size_t begin, end;  // the user's name and password, before the last '@'
    std::size_t password;    // where the password begins; `end` when there is none
};

// The user part as its writer meant it: up to the last '@' before the query, wherever libpq,
// which stops at the first '@' or '/', would end it.
std::optional<UserPart> userPart(std::string_view uri)
{
    const std::size_t scheme = uri.find("://");
    const std::size_t begin = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t query = queryStart(uri, begin);
    const std::size_t at = uri.substr(0, query).rfind('@');
    if (at == std::string_view::npos || at < begin)
        return std::nullopt;
    const std::size_t colon = uri.substr(0, at).find(':', begin);
    return UserPart{begin, at, colon == std::string_view::npos ? at : colon + 1};
}

// Where the passwords are written in a URI: after the user's name, and as password=... up to
// the next parameter.
std::vector<std::pair<std::size_t, std::size_t>> passwordSpans(std::string_view uri)
{
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    const auto user = userPart(uri);
    if (user && user->password < user->end)
        spans.emplace_back(user->password, user->end);
    const std::size_t query = queryStart(uri, user ? user->end : 0);
    for (std::size_t at = query; at < uri.size();) {
        std::size_t next = at + 1;
        while ((next = uri.find('&', next)) != std::string_view::npos &&
               !parameterAt(uri, next + 1))
            ++next;
        const std::size_t end = std::min(next, uri.size());
        if (uri.substr(at + 1, end - at - 1).starts_with("password="))
            spans.emplace_back(at + 1 + 9, end);
        at = end;
    }
    return spans;
}

// What libpq would misread in the user part or a password parameter, said without quoting
// either: a '@' or '/' left as it is before the host, or a '%' that begins no escape.
std::optional<std::string> unencodedUserPart(std::string_view uri)
{
    struct Part {
        std::size_t begin, end;
        std::size_t password;  // where the password begins within it
        bool beforeHost;
    };
    std::vector<Part> parts;
    const auto user = userPart(uri);
    if (user)
        parts.push_back({user->begin, user->end, user->password, true});
    for (const auto &[begin, end] : passwordSpans(uri))
        if (!user || begin >= user->end)
            parts.push_back({begin, end, begin, false});
    for (const Part &part : parts)
        for (std::size_t at = part.begin; at < part.end; ++at) {
            const char c = uri[at];
            const auto hex = [&](std::size_t i) {
                return i < part.end && std::isxdigit(static_cast<unsigned char>(uri[i]));
            };
            const char *encoded = part.beforeHost && c == '@' ? "%40"
                : part.beforeHost && c == '/'                 ? "%2F"
                : c == '%' && !(hex(at + 1) && hex(at + 2))   ? "%25"
                                                              : nullptr;
            if (encoded)
                return std::string("the ") + (at >= part.password ? "password" : "user name") +
                    " in the database URI holds '" + c +
                    "' as it is: write it percent-encoded, as " + encoded;
        }
    return std::nullopt;
}

// The URI as messages may show it, wherever libpq quotes it whole.
std::string withUriShown(std::string message, const std::string &uri)
{
    const std::string shown = withoutPassword(uri);
    for (std::size_t at = 0; !uri.empty() && (at = message.find(uri, at)) != std::string::npos;
         at += shown.size())
        message.replace(at, uri.size(), shown);
    return message;
}

// libpq's message about a URI it cannot read quotes the URI, shown here without its
// passwords, and the piece that is wrong: kept when it comes from outside every password
// (a parameter's name), or is libpq's own punctuation ("]"); left out otherwise.
std::string withoutQuotedPasswords(const std::string &message, const std::string &uri)
{
    const auto spans = passwordSpans(uri);
    const std::string shown = withoutPassword(uri);
    const auto showable = [&](std::string_view piece) {
        if (piece == uri || piece == shown)
            return true;
        if (piece.size() == 1 && std::ispunct(static_cast<unsigned char>(piece[0])))
            return true;
        bool found = false;
        for (std::size_t at = uri.find(piece); !piece.empty() && at != std::string::npos;
             at = uri.find(piece, at + 1)) {
            found = true;
            for (const auto &[begin, end] : spans)
                if (at < end && at + piece.size() > begin)
                    return false;
        }
        return found;
    };
    std::string said;
    for (std::size_t from = 0;;) {
        const std::size_t open = message.find('"', from);
        const std::size_t close =
            open == std::string::npos ? std::string::npos : message.find('"', open + 1);
        if (close == std::string::npos) {
            said += message.substr(from);
            break;
        }
        const std::string piece = message.substr(open + 1, close - open - 1);
        std::string before = message.substr(from, open - from);
        if (showable(piece)) {
            said += before + '"' + (piece == uri ? shown : piece) + '"';
        } else {
            while (!before.empty() && (before.back() == ' ' || before.back() == ':'))
                before.pop_back();
            said += before;
        }
        from = close + 1;
    }
    return said;
}

// Throws, in the operator's words, for a URI whose user part or password libpq would misread
// or that it cannot read at all; never quoting a password.
void checkUri(const std::string &uri)
{
    if (const auto unencoded = unencodedUserPart(uri))
        throw PgError(*unencoded, true);
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(uri.c_str(), &error);
    PQconninfoFree(options);
    if (options)
        return;
    std::string message = error ? error : "the database URI cannot be read";
    PQfreemem(error);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    throw PgError(withoutQuotedPasswords(message, uri), true);
}

}  // namespace

PgConnection::PgConnection(const std::string &uri)
{
    checkUri(uri);
    handle_.reset(connectTo(uri));
    if (!handle_)
        throw PgError("out of memory", true);
    // The URI is sound: what libpq says of the connection names hosts, users and databases.
    if (PQstatus(handle_.get()) != CONNECTION_OK)
        throw PgError(withUriShown(messageOf(handle_.get()), uri), true);
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
    // Owned from the start: a connection lost while more results are awaited throws.
    PgRows rows(nullptr);
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
        rows = PgRows(result);
    }
    if (!failure.empty() || rows.empty()) {
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
