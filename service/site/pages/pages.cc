// SPDX-License-Identifier: Apache-2.0
#include "site/pages/pages.h"

#include "http/query.h"
#include "number/data_versions.h"
#include "number/number_lookup.h"
#include "text/html.h"
#include "text/utf8.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace zuno::service {
namespace {

namespace http = boost::beast::http;


std::string humanSize(std::uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%ju 字节", static_cast<std::uintmax_t>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024);
    else if (bytes < 1024ULL * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024 * 1024));
    else
        std::snprintf(text, sizeof text, "%.2f GB",
                      static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
    return text;
}

// A file name as one word for a POSIX shell: as it is when it holds nothing the shell reads,
// otherwise in single quotes, with each ' written as '\''.
std::string shellWord(std::string_view name)
{
    constexpr std::string_view kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789._+-~:,@%/=";
    if (!name.empty() && name.find_first_not_of(kPlain) == std::string_view::npos)
        return std::string(name);
    std::string word = "'";
    for (const char c : name)
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

bool anyPackagePending(const DownloadListing &downloads)
{
    return std::any_of(downloads.shown.begin(), downloads.shown.end(),
                       [](const DownloadEntry &file) { return file.packagePending; });
}

// Many numbers at once: a file up, a CSV download back, with no script.
void appendUploadForm(std::string &html)
{
    html += "<form action=\"";
    html += kUploadPath;
    html += "\" method=\"post\" enctype=\"multipart/form-data\">\n"
            "<label for=\"file\">批量查询</label>\n"
            "<input type=\"file\" id=\"file\" name=\"file\" required "
            "accept=\".csv,.txt,.json,text/csv,text/plain,application/json\">\n"
            "<button type=\"submit\">上传并下载结果</button>\n</form>\n"
            "<p class=\"note\">文件每行一个号码，或 CSV 的第一列（可有标题行），UTF-8 或 GBK "
            "均可；结果为 CSV 文件，每个号码一行，顺序不变。</p>\n";
}

// Where a file comes in the list: what the visitor's system runs first, the installer before
// the portable zip, then the other system's files, then the rest (the listing's order within).
int rank(const DownloadEntry &file, bool windowsVisitor)
{
    const std::string_view name = file.name;
    const int windows = name.ends_with(".exe") ? 0 : name.ends_with(".zip") ? 1 : -1;
    const int debian = name.ends_with(".deb") ? 0 : -1;
    if (windows < 0 && debian < 0)
        return 4;
    return windowsVisitor ? (windows >= 0 ? windows : 2) : (debian >= 0 ? 0 : 1 + windows);
}

void appendDownloads(std::string &html, const DownloadListing &downloads, bool windowsVisitor)
{
    html += "<h2 id=\"download\">下载</h2>\n";
    if (!downloads.scanned) {
        html += "<p>正在读取下载目录，请稍后刷新本页。</p>\n";
        return;
    }
    // Until every package is read, the newest one may be among those not yet read.
    if (anyPackagePending(downloads)) {
        html += "<p>正在读取安装包的信息…</p>\n";
    } else if (!downloads.latestVersion.empty() ||
               std::any_of(downloads.shown.begin(), downloads.shown.end(),
                           [](const DownloadEntry &file) { return file.programVersion; })) {
        // Without a Debian package there is no version to compare Windows records with.
        if (downloads.latestVersion.empty())
            html += "<p>请下载适合您系统的版本：</p>\n";
        else
            html +=
                "<p>最新版本：<strong>" + escapeHtml(downloads.latestVersion) + "</strong></p>\n";
    } else {
        html += "<p>本站暂时没有提供安装包，请稍后再来。</p>\n";
    }
    if (downloads.shown.empty())
        return;
    html += "<table>\n<thead><tr><th>文件</th><th>大小</th><th>SHA-256</th></tr></thead>\n"
            "<tbody>\n";
    std::vector<const DownloadEntry *> ordered;
    for (const DownloadEntry &file : downloads.shown)
        ordered.push_back(&file);
    std::stable_sort(ordered.begin(), ordered.end(), [&](const auto *a, const auto *b) {
        return rank(*a, windowsVisitor) < rank(*b, windowsVisitor);
    });
    for (const DownloadEntry *entry : ordered) {
        const DownloadEntry &file = *entry;
        html += "<tr><td><a href=\"/download/";
        html += percentEncode(file.name);
        html += "\" download>";
        html += escapeHtml(file.name);
        html += "</a>";
        if (file.package) {
            html += "<br><span class=\"note\">软件包 ";
            html += escapeHtml(file.package->name);
            html += " ";
            html += escapeHtml(file.package->version);
            html += "（";
            html += escapeHtml(file.package->architecture);
            html += "）：";
            html += escapeHtml(file.package->summary);
            html += "</span>";
        } else if (file.programVersion) {
            html += file.name.ends_with(".zip") ? "<br><span class=\"note\">Windows 免安装版 "
                                                : "<br><span class=\"note\">Windows 程序 ";
            html += escapeHtml(*file.programVersion);
            html += "</span>";
        } else if (file.packageRefused) {
            html += "<br><span class=\"note\">解包所需超出限制，未读取软件包信息</span>";
        }
        html += "</td><td class=\"size\" title=\"" + std::to_string(file.size) + " 字节\">";
        html += humanSize(file.size);
        html += "</td><td class=\"digest\">";
        if (!file.sha256.empty())
            html += "<code>" + file.sha256 + "</code>";
        else if (file.digestFailed)
            html += "无法读取";
        else
            html += "<span class=\"pending\">计算中…</span>";
        html += "</td></tr>\n";
    }
    html += "</tbody>\n</table>\n";
    if (downloads.total > downloads.shown.size())
        html += "<p class=\"note\">下载目录中共有 " + std::to_string(downloads.total) +
            " 个文件，这里列出前 " + std::to_string(downloads.shown.size()) + " 个。</p>\n";
}

void appendInstall(std::string &html, const DownloadListing &downloads)
{
    html += "<h2>安装</h2>\n<p>Debian 上，下载安装包后，在它所在的目录中运行：</p>\n";
    bool anyPackage = false;
    std::set<std::string> architectures;
    for (const DownloadEntry &file : downloads.shown) {
        if (!file.package)
            continue;
        anyPackage = true;
        architectures.insert(file.package->architecture);
        html += "<pre>sudo apt install ./" + escapeHtml(shellWord(file.name)) + "</pre>\n";
    }
    if (!anyPackage)
        html += "<pre>sudo apt install ./zuno-lookup_版本_amd64.deb</pre>\n";
    html += "<p><code>zuno-lookup</code> 是查询窗口，<code>zuno-lookupd</code> 是它询问的查询服务；"
            "在自己的电脑上查询时，两个都装上。apt 会一并装上所需的 Qt 库和中文字体。</p>\n"
            "<p>Windows 上运行下载的安装程序即可安装；免安装版（.zip）解压后直接"
            "运行其中的 zuno-lookup.exe。Windows 版只有查询窗口，它询问本站的查询服务。</p>\n"
            "<h2>系统要求</h2>\n<ul>\n<li>Windows 7 至 Windows 11，32 位或 64 位</li>\n"
            "<li>Debian 12（bookworm），处理器架构：";
    std::string names;
    for (const std::string &architecture : architectures)
        names += (names.empty() ? "" : "、") + escapeHtml(architecture);
    html += names.empty() ? std::string("amd64") : names;
    html += "；需要能显示简体中文的字体（fonts-noto-cjk 等，随安装包自动安装）</li>\n</ul>\n";
}

// The data sets in force, each with its version or date; segment files name their source.
void appendDataSets(std::string &html, const std::vector<DataSet> &sets)
{
    html += "<table class=\"data-sets\">\n<tr><th>数据</th><th>来源</th><th>版本</th><th>日期</th>"
            "</tr>\n";
    for (const DataSet &set : sets) {
        const char *kind = set.kind == "geocoding" ? "号码规则和归属地（内置）"
            : set.kind == "carriers"               ? "号段运营商（内置）"
                                                   : "号段文件（运营方加载）";
        html += "<tr><td>" + std::string(kind) + "</td><td>" + escapeHtml(set.name) + "</td><td>" +
            escapeHtml(set.version) + "</td><td>" + escapeHtml(set.date) + "</td></tr>\n";
    }
    html += "</table>\n";
}

}  // namespace

bool isWindowsUserAgent(std::string_view userAgent)
{
    return userAgent.find("Windows") != std::string_view::npos;
}

void appendForm(std::string &html, std::string_view input)
{
    html += "<form action=\"";
    html += kLookupPagePath;
    html += "\" method=\"get\" accept-charset=\"utf-8\">\n<label for=\"number\">电话号码</label>\n"
            "<input type=\"text\" id=\"number\" name=\"";
    html += kNumberParameter;
    html += "\" inputmode=\"tel\" maxlength=\"64\" placeholder=\"例如 13800138000\" value=\"";
    html += escapeHtml(input);
    html += "\">\n<button type=\"submit\">查询</button>\n</form>\n";
}

void appendHead(std::string &html, std::string_view title)
{
    html += "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    html += escapeHtml(title);
    html += "</title>\n<link rel=\"icon\" href=\"/favicon.ico\">\n"
            "<link rel=\"stylesheet\" href=\"/site.css\">\n</head>\n<body>\n"
            "<header><img src=\"/logo.png\" alt=\"\"><h1><a href=\"/\">";
    html += kSiteName;
    html += "</a></h1></header>\n";
}

std::string homePageHtml(const HomePage &page)
{
    std::string html;
    html.reserve(8192);
    appendHead(html, kSiteName);
    html +=
        "<p>ZUNO 全国电话号码归属地查询是一个简体中文的桌面小工具：输入手机号码或固定电话，"
        "按“查询”，窗口即显示号码的归属地、区号、运营商和类型。作答的是本站的查询服务 "
        "zuno-lookupd，它只用本机的离线号码数据，不把号码发往别处。也可以直接在下面查询。</p>\n"
        "<p>本服务查询中国大陆号码的归属地。中国香港、中国澳门、中国台湾的号码以及其他国家的号码"
        "请以 + 和国家或地区代码开头输入，例如 +852 2345 6789，结果显示号码所属的地区和类型。"
        "</p>\n";
    appendForm(html, {});
    html += "<p class=\"note\">可查电话号码（可带分机，如 010-12345678转123）、区号（如 0851）、"
            "城市名（如 成都）和号段（如 1380013、199）。</p>\n";
    appendUploadForm(html);
    html += "<figure><img src=\"/screenshot.png\" alt=\"查询窗口查询 13800138000 的截图\">"
            "<figcaption>查询窗口查询 13800138000：程序实际运行时的截图</figcaption></figure>\n";
    appendDownloads(html, page.downloads, page.windowsVisitor);
    appendInstall(html, page.downloads);
    html += "<h2>数据来源</h2>\n<ul>\n"
            "<li>号码是否有效、号码类型和归属地：libphonenumber 的离线数据（Debian 的 "
            "libphonenumber 软件包），查询时不联网。</li>\n"
            "<li>运营商：按号段（手机号码的前几位）查出该号段分配给的运营商；170、171、162、165、"
            "167 号段属于虚拟运营商，显示为“中国联通（虚拟运营商）”等。</li>\n"
            "<li>携号转网：号码转网后，实际的运营商可能与号段所属的运营商不同；本站显示的是号段"
            "所属的运营商。</li>\n</ul>\n";
    appendDataSets(html, page.dataSets);
    html += "<h2>JSON 接口</h2>\n<pre>GET ";
    html += escapeHtml(page.exampleQuery);
    html += "\n";
    html += escapeHtml(page.exampleJson);
    html += "</pre>\n<p class=\"note\">参数 <code>number</code> 按网址编码：空格写作 "
            "<code>+</code> 或 <code>%20</code>，加号写作 <code>%2B</code>。未知的字段为 "
            "<code>null</code>；号码无法查询时 <code>valid</code> 为 <code>false</code>，"
            "<code>message</code> 说明原因，<code>messageCode</code> 是供程序判断的代码。</p>\n"
            "<p>全部接口（查询、批量查询、标记和归属地）的参数、应答和错误代码见 "
            "<a href=\"/api/v1/openapi.json\">OpenAPI 文档</a>。</p>\n</body>\n</html>\n";
    return html;
}

std::string_view errorTitle(http::status status)
{
    switch (status) {
    case http::status::bad_request: return "请求无效";
    case http::status::not_found: return "找不到该页面";
    case http::status::method_not_allowed: return "不支持该请求方法";
    case http::status::precondition_failed: return "前提条件不成立";
    case http::status::payload_too_large: return "请求内容过大";
    case http::status::uri_too_long: return "网址过长";
    case http::status::range_not_satisfiable: return "请求的范围无效";
    case http::status::request_header_fields_too_large: return "请求头过大";
    case http::status::forbidden: return "拒绝访问";
    case http::status::too_many_requests: return "提交过于频繁";
    case http::status::service_unavailable: return "服务暂时不可用";
    case http::status::request_timeout: return "请求超时";
    default: return "服务器无法处理该请求";
    }
}

std::string errorPageHtml(http::status status)
{
    const std::string heading =
        std::to_string(static_cast<unsigned>(status)) + " " + std::string(errorTitle(status));
    std::string html;
    appendHead(html, heading);
    html += "<h2>" + heading + "</h2>\n<p>";
    switch (status) {
    case http::status::not_found:
        html += "本站没有这个网址，或者要下载的文件已不在下载目录中。";
        break;
    case http::status::method_not_allowed: html += "本站只接受 GET 和 HEAD 请求。"; break;
    case http::status::payload_too_large: html += "本站的请求不带内容。"; break;
    case http::status::uri_too_long: html += "网址超过了本站接受的长度。"; break;
    case http::status::request_header_fields_too_large:
        html += "请求头超过了本站接受的长度。";
        break;
    case http::status::range_not_satisfiable: html += "请求的字节范围超出了文件的大小。"; break;
    case http::status::precondition_failed: html += "文件已经改变，与请求所附的条件不符。"; break;
    case http::status::service_unavailable: html += "服务器暂时繁忙，请稍后重试。"; break;
    case http::status::request_timeout:
        html += "请求内容发送得太慢，连接已断开，请重新提交。";
        break;
    default: html += "请检查网址后重试。";
    }
    html += "</p>\n<p><a href=\"/\">返回首页</a></p>\n</body>\n</html>\n";
    return html;
}

}  // namespace zuno::service

namespace zuno::service {

std::string refusalPageHtml(http::status status, std::string_view sentence,
                            std::string_view backPath)
{
    const std::string heading =
        std::to_string(static_cast<unsigned>(status)) + " " + std::string(errorTitle(status));
    std::string html;
    appendHead(html, heading);
    html += "<h2>" + heading + "</h2>\n<p class=\"problem\">" + escapeHtml(sentence) +
        "</p>\n<p><a href=\"" + escapeHtml(backPath) + "\">返回</a></p>\n</body>\n</html>\n";
    return html;
}

}  // namespace zuno::service
