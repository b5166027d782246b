// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "number/data_sets.h"
#include "site/downloads/download_folder.h"
#include "site/paths.h"

#include <boost/beast/http/status.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {


// What the home page shows besides its fixed text.
struct HomePage {
    const DownloadListing &downloads;
    std::string_view exampleQuery;  // "/api/v1/lookup?number=13800138000"
    std::string_view exampleJson;   // the service's own answer to it
    std::vector<DataSet> dataSets;  // the data answers come from, with versions and dates
    bool windowsVisitor = false;    // the browser says it runs on Windows
};

// Whether a User-Agent says its browser runs on Windows.
bool isWindowsUserAgent(std::string_view userAgent);

// The product page: what the program does, a screenshot of it, the downloads with their sizes,
// SHA-256 and package fields, how to install, requirements, where the data comes from, a lookup
// form and the JSON API. UTF-8 HTML5, no script, nothing from another host.
std::string homePageHtml(const HomePage &page);

inline constexpr std::string_view kSiteName = "ZUNO全国电话号码归属地查询";

// The start of every page of the site, up to its header, titled `title`; and the lookup form,
// holding `input`.
void appendHead(std::string &html, std::string_view title);
void appendForm(std::string &html, std::string_view input);

// A small page in Chinese that names the error and leads back to the home page.
std::string errorPageHtml(boost::beast::http::status status);

// The error's name in Chinese: "找不到该页面" for 404.
std::string_view errorTitle(boost::beast::http::status status);

}  // namespace zuno::service

namespace zuno::service {

// A request refused with a sentence saying why, as a small page leading back to where it came
// from (a path of this site).
std::string refusalPageHtml(boost::beast::http::status status, std::string_view sentence,
                            std::string_view backPath);

}  // namespace zuno::service
