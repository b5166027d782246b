#include "pages.h"

#include <cstdio>

namespace zuno::service {
namespace {

std::string humanSize(std::uintmax_t bytes)
{
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%ju 字节", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

}  // namespace

std::string escapeHtml(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string percentEncode(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

std::string homePageHtml(const std::vector<DownloadFile> &downloads)
{
    const std::string version(kCurrentWindowVersion);
    std::string html;
    html.reserve(2048);
    html += "<!DOCTYPE html>\n"
            "<html lang=\"zh-CN\">\n"
            "<head>\n"
            "<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<title>ZUNO全国电话号码归属地查询</title>\n"
            "<style>\n"
            "body { font-family: sans-serif; max-width: 40em; margin: 2em auto; padding: 0 1em; }\n"
            "input[name=title] { width: 16em; }\n"
            "</style>\n"
            "</head>\n"
            "<body>\n"
            "<h1>ZUNO全国电话号码归属地查询</h1>\n"
            "<p>当前版本：<strong>";
    html += version;
    html += "</strong></p>\n"
            "<form action=\"/iii.asp\" method=\"get\" accept-charset=\"utf-8\">\n"
            "<label>电话号码：<input name=\"title\" type=\"text\" inputmode=\"tel\" "
            "placeholder=\"例如 13800138000\" autofocus></label>\n"
            "<button type=\"submit\">查询</button>\n"
            "</form>\n"
            "<h2>下载</h2>\n";
    if (downloads.empty()) {
        html += "<p>暂无可下载的文件。</p>\n";
    } else {
        html += "<ul>\n";
        for (const DownloadFile &file : downloads) {
            html += "<li><a href=\"/download/";
            html += percentEncode(file.name);
            html += "\">";
            html += escapeHtml(file.name);
            html += "</a>（";
            html += humanSize(file.size);
            html += "）</li>\n";
        }
        html += "</ul>\n";
    }
    html += "</body>\n"
            "</html>\n";
    return html;
}

}  // namespace zuno::service
