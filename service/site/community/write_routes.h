// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "labels/label_store.h"
#include "site/community/write_answers.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

namespace zuno::service {

class Site;

// The two routes of a kind of write: the API's POST and DELETE at apiPath, and the result
// page's form's POST at formPath.
using WriteHandler = void (*)(const RouteContext &, LaterAnswer, const Site &);
RouteTable writeRoutes(const Site &site, size_t bodyLimit, std::string_view apiPath,
                       std::string apiLabel, WriteHandler api, std::string_view formPath,
                       std::string formLabel, WriteHandler form);

// The API's DELETE of what the sending network wrote of a number: `target` reads the number
// from the query into the store's key (or refuses it), `withdraw` asks the store; 204, or a
// refusal in JSON whose missing-number sentence shows `example`.
using WithdrawTarget = std::function<std::variant<std::string, Refusal>(std::u16string_view)>;
using Withdrawal = void (LabelStore::*)(std::string, std::string, std::function<void(WriteOutcome)>);
void apiWithdraw(const RouteContext &context, LaterAnswer answer, const Site &site,
                 std::string_view example, const WithdrawTarget &target, Withdrawal withdraw,
                 std::function<Refusal(const WriteOutcome &)> refusalOf);

}  // namespace zuno::service
