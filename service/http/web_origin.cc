// SPDX-License-Identifier: Apache-2.0
#include "http/web_origin.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <charconv>

namespace zuno::service {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isLabelChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Labels of letters, digits and '-', none empty, none longer than 63, none at either end '-'.
bool isDnsName(std::string_view name)
{
    if (name.empty() || name.size() > 253)
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        const size_t dot = std::min(name.find('.', start), name.size());
        const std::string_view label = name.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
            !std::all_of(label.begin(), label.end(), isLabelChar))
            return false;
        start = dot + 1;
    }
    return true;
}

// The host and the port of an authority (the port empty when none is written); nothing when the
// port is not a number from 1 to 65535 or the host is missing.
struct Authority {
    std::string host;
    unsigned port = 0;  // none written
};
std::optional<Authority> splitAuthority(std::string_view authority)
{
    std::string_view host = authority, port;
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = authority.substr(0, close + 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':'))
            return std::nullopt;
        if (!rest.empty())
            port = rest.substr(1);
    } else if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.empty())
            return std::nullopt;
    }
    unsigned number = 0;
    if (!port.empty()) {
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (error != std::errc() || end != port.data() + port.size() || number == 0 ||
            number > 65535)
            return std::nullopt;
    }
    if (host.empty())
        return std::nullopt;
    return Authority{std::string(host), number};
}

}  // namespace

std::optional<std::string> hostNameOf(std::string_view authority)
{
    auto parts = splitAuthority(authority);
    if (!parts)
        return std::nullopt;
    std::string host = std::move(parts->host);
    std::transform(host.begin(), host.end(), host.begin(), lower);
    boost::system::error_code error;
    if (host.starts_with('[')) {
        host = host.substr(1, host.size() - 2);
        boost::asio::ip::make_address_v6(host, error);
        return error ? std::nullopt : std::optional(host);
    }
    if (host.ends_with('.'))
        host.pop_back();
    if (host.find_first_not_of("0123456789.") == std::string::npos) {
        boost::asio::ip::make_address_v4(host, error);
        return error ? std::nullopt : std::optional(host);
    }
    return isDnsName(host) ? std::optional(host) : std::nullopt;
}

std::optional<std::string> canonicalOrigin(std::string_view text)
{
    std::string scheme;
    if (const size_t separator = text.find("://"); separator != std::string_view::npos)
        for (char c : text.substr(0, separator))
            scheme += lower(c);
    if (scheme != "http" && scheme != "https")
        return std::nullopt;
    const std::string_view authority = text.substr(scheme.size() + 3);
    const auto parts = splitAuthority(authority);
    const auto host = hostNameOf(authority);
    // Browsers send no final dot, and IPv6 in brackets.
    if (!parts || !host || parts->host.ends_with('.'))
        return std::nullopt;
    std::string origin =
        scheme + "://" + (parts->host.starts_with('[') ? "[" + *host + "]" : *host);
    const unsigned defaultPort = scheme == "http" ? 80 : 443;
    if (parts->port != 0 && parts->port != defaultPort)
        origin += ":" + std::to_string(parts->port);
    return origin;
}

bool namesThisSite(std::string_view hostField, const std::vector<std::string> &siteNames)
{
    const auto host = hostNameOf(hostField);
    if (!host)
        return false;
    boost::system::error_code error;
    boost::asio::ip::make_address(*host, error);
    return !error || *host == "localhost" ||
        std::find(siteNames.begin(), siteNames.end(), *host) != siteNames.end();
}

}  // namespace zuno::service
