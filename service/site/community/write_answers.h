// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "labels/label_store.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace zuno::service {

// Why a report is refused: the status and one sentence for the person who sent it.
struct Refusal {
    http::status status;
    // A literal: no std::string, which would leave it dangling, converts to it.
    const char *code;
    std::string sentence;
    std::chrono::seconds retryAfter{};
};

// The answers every kind of community write shares (labels, places).
StringResponse noStoreResponse(http::status status, unsigned version, std::string_view contentType,
                               std::string body);
// JSON on the API, a page with a way back on the site.
StringResponse refusalResponse(const Refusal &refusal, unsigned version, Audience audience,
                               std::string_view backPath);
Refusal storeUnavailable();

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
