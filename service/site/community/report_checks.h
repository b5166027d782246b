// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "labels/label_store.h"

#include <chrono>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zuno::service {

class Site;
struct SiteLabels;

// Why a report is refused: the status, the code a program branches on, and one sentence for the
// person who sent it.
struct Refusal {
    http::status status;
    // A literal: no std::string, which would leave it dangling, converts to it.
    const char *code;
    std::string sentence;
    std::chrono::seconds retryAfter{};
};

// The checks and answers every kind of community report shares (labels, places).
StringResponse noStoreResponse(http::status status, unsigned version, std::string_view contentType,
                               std::string body);
// JSON on the API, a page with a way back on the site.
StringResponse refusalResponse(const Refusal &refusal, unsigned version, Audience audience,
                               std::string_view backPath);
Refusal storeUnavailable();
// The network that reports, from the connection or, behind a trusted proxy, its header.
std::string reporterOf(const Site &site, const RouteContext &context);
// A form field's value: '+' is a space, then percent-decoded.
std::string formValue(std::string_view body, std::string_view name);
// Whether a write comes from this site's own pages, or from no page at all (a program); a page
// must also reach the site by one of its names (siteNames, as in SiteLabels).
bool fromThisSite(const Request &request, const std::vector<std::string> &siteNames);

// Why a write through the API is not taken as sent: from a page of another site whose origin
// the operator did not list (403), or, for a POST, not sent as application/json (415), which no
// page can send to another origin without the browser asking first.
std::optional<Refusal> apiWriteRefusal(const Request &request, const SiteLabels &labels);
// The answer to a browser's preflight (OPTIONS) of a write: allowed for a listed origin.
StringResponse preflightResponse(const Request &request,
                                 const std::vector<std::string> &corsOrigins);

// A write sent as JSON: its number as text and its other fields by name (absent or null ones
// empty); or the refusal, which shows `shape`, the object expected.
struct JsonWrite {
    std::u16string number;
    std::vector<std::string> fields;
};
std::variant<JsonWrite, Refusal>
jsonWrite(std::string_view body, std::initializer_list<const char *> names, std::string_view shape);

// A write posted by a form of this site's result page: its number as text and the page to go
// back to; or the refusal (`elsewhere` is its sentence for a post from another site).
struct FormWrite {
    std::u16string number;
    std::string back;
};
std::variant<FormWrite, Refusal> formWrite(const Request &request, const SiteLabels &labels,
                                          std::string_view elsewhere);

// The two routes of a kind of write: the API's POST and DELETE at apiPath, and the result
// page's form's POST at formPath.
using WriteHandler = void (*)(const RouteContext &, LaterAnswer, const Site &);
RouteTable writeRoutes(const Site &site, size_t bodyLimit, std::string_view apiPath,
                       std::string apiLabel, WriteHandler api, std::string_view formPath,
                       std::string formLabel, WriteHandler form);

// Why the store did not take a write: `limited` names what a network makes kReportsADay of in a
// day ("条标记"), `notFound` is the sentence for withdrawing what the network never gave.
Refusal writeRefusal(const WriteOutcome &outcome, std::string_view limited,
                     std::string_view notFound);

// The store's callback for a write: `accepted` answers one the store took (created, replaced or
// withdrawn); any other is refused as `refusalOf` says, on a page with a way back to backPath.
std::function<void(WriteOutcome)>
answerWrite(LaterAnswer answer, unsigned version, Audience audience, std::string backPath,
            std::function<Refusal(const WriteOutcome &)> refusalOf,
            std::function<StringResponse(const WriteOutcome &)> accepted);

// Answers to writes the store took: a withdrawal (204), a form's write (303 back to its page),
// and the API's stored object (201 for a network's first, 200 when it replaced its earlier one).
StringResponse withdrawnResponse(unsigned version);
StringResponse backToPage(unsigned version, const std::string &page);
StringResponse storedResponse(const WriteOutcome &outcome, unsigned version, std::string json);

}  // namespace zuno::service
