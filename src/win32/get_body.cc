// SPDX-License-Identifier: Apache-2.0
#include "get_body.h"

#include "bytes_to_bstr.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <type_traits>

namespace zuno {
namespace {

using Clock = std::chrono::steady_clock;

struct HandleCloser {
    void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using Handle = std::unique_ptr<std::remove_pointer_t<HINTERNET>, HandleCloser>;

std::wstring widen(const std::string &utf8)
{
    const std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

// The parts of an http URL that a request needs.
struct Target {
    std::wstring host;
    INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
    std::wstring pathAndQuery;  // never empty, fragment left out
};

std::optional<Target> crackHttpUrl(const std::wstring &url)
{
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength =
        parts.dwExtraInfoLength = DWORD(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
        return std::nullopt;
    // https is left out on purpose: the service speaks http, and nothing else is followed.
    if (parts.nScheme != INTERNET_SCHEME_HTTP || parts.dwHostNameLength == 0)
        return std::nullopt;
    Target target;
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.pathAndQuery.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    std::wstring extra(parts.lpszExtraInfo ? parts.lpszExtraInfo : L"", parts.dwExtraInfoLength);
    extra = extra.substr(0, extra.find(L'#'));
    if (target.pathAndQuery.empty())
        target.pathAndQuery = L"/";
    target.pathAndQuery += extra;
    return target;
}

bool hasScheme(const std::wstring &reference)
{
    const std::size_t colon = reference.find(L':');
    if (colon == 0 || colon == std::wstring::npos)
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const wchar_t c = reference[i];
        const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
        if (!letter &&
            (i == 0 || !((c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.')))
            return false;
    }
    return true;
}

// Where a Location header sends the next request, resolved against the URL that answered.
std::wstring resolveLocation(const Target &base, const std::wstring &location)
{
    if (hasScheme(location))
        return location;
    const std::wstring origin = L"http://" + base.host + L":" + std::to_wstring(base.port);
    if (location.rfind(L"//", 0) == 0)
        return L"http:" + location;
    if (!location.empty() && location[0] == L'/')
        return origin + location;
    const std::wstring path = base.pathAndQuery.substr(0, base.pathAndQuery.find(L'?'));
    if (location.empty() || location[0] == L'?' || location[0] == L'#')
        return origin + path + location;
    return origin + path.substr(0, path.rfind(L'/') + 1) + location;
}

DWORD millisecondsUntil(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

// Every WinHTTP wait of a request ends at the deadline at the latest; the wait for the
// response's headers has a timeout of its own.
bool limitWaitsTo(HINTERNET request, Clock::time_point deadline)
{
    DWORD left = millisecondsUntil(deadline);
    if (left == 0)
        return false;
    const int wait = static_cast<int>(left);
    return WinHttpSetTimeouts(request, wait, wait, wait, wait) &&
        WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &left, sizeof left);
}

std::optional<DWORD> statusCode(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    return status;
}

std::optional<std::wstring> locationHeader(HINTERNET request)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return std::nullopt;
    std::wstring location(size / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                             location.data(), &size, WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    location.resize(size / sizeof(wchar_t));
    return location;
}

bool isRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Reads the whole body as it arrives, so that the size limit acts before it is held whole.
std::optional<std::string> readBody(HINTERNET request, Clock::time_point deadline,
                                    std::size_t limit)
{
    std::string body;
    char buffer[16 * 1024];
    for (;;) {
        // Asking what has arrived first: a read of a whole buffer may wait for all of it, so a
        // server that trickles would never let the deadline be looked at.
        DWORD available = 0;
        if (!limitWaitsTo(request, deadline) || !WinHttpQueryDataAvailable(request, &available))
            return std::nullopt;
        if (available == 0)
            return body;
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer, std::min<DWORD>(available, sizeof buffer), &read))
            return std::nullopt;
        if (body.size() + read > limit)
            return std::nullopt;
        body.append(buffer, read);
    }
}

// Runs the exchange; returns the body, or nothing when no complete response arrived.
std::optional<std::string> fetch(const std::string &url, const FetchOptions &options)
{
    const Clock::time_point deadline = Clock::now() + options.timeLimit;
    // A session of its own for each call: no connection or cookie outlives the call.
    Handle session(WinHttpOpen(L"zuno-lookup", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return std::nullopt;

    std::wstring next = widen(url);
    for (int redirects = 0;; ++redirects) {
        const std::optional<Target> target = crackHttpUrl(next);
        if (!target)
            return std::nullopt;
        Handle connection(WinHttpConnect(session.get(), target->host.c_str(), target->port, 0));
        if (!connection)
            return std::nullopt;
        Handle request(WinHttpOpenRequest(connection.get(), L"GET", target->pathAndQuery.c_str(),
                                          nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          0));
        if (!request)
            return std::nullopt;
        // Redirects are followed below, where their scheme and number are checked.
        DWORD disabled =
            WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
        if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled,
                              sizeof disabled) ||
            !limitWaitsTo(request.get(), deadline))
            return std::nullopt;
        if (!WinHttpSendRequest(request.get(), L"If-Modified-Since: 0\r\n", DWORD(-1),
                                WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !limitWaitsTo(request.get(), deadline) ||
            !WinHttpReceiveResponse(request.get(), nullptr))
            return std::nullopt;

        const std::optional<DWORD> status = statusCode(request.get());
        if (!status)
            return std::nullopt;
        if (isRedirect(*status)) {
            if (const std::optional<std::wstring> location = locationHeader(request.get())) {
                if (redirects == options.maxRedirects)
                    return std::nullopt;
                next = resolveLocation(*target, *location);
                continue;
            }
        }
        return readBody(request.get(), deadline, options.maxBodyBytes);
    }
}

}  // namespace

FetchedValue GetBody(const std::string &URL, std::u16string_view Coding,
                     const FetchOptions &options) noexcept
{
    FetchedValue result;
    // Every failure is absorbed here on purpose: the caller sees an empty value when nothing
    // arrived, and the unconverted bytes when only the conversion failed.
    try {
        if (std::optional<std::string> body = fetch(URL, options))
            result = FetchedValue::fromBytes(std::move(*body));
    } catch (...) {}
    try {
        result = BytesToBstr(result, Coding);
    } catch (...) {}
    return result;
}

}  // namespace zuno
