#include "service_numbers.h"

#include <algorithm>

namespace zuno::service {
namespace {

constexpr auto E = ShortNumberKind::Emergency;
constexpr auto S = ShortNumberKind::Service;

// In string order, for the binary search below.
constexpr ServiceNumber kRows[] = {
    {"10000", S, u"中国电信客服"},
    {"10010", S, u"中国联通客服"},
    {"10086", S, u"中国移动客服"},
    {"10099", S, u"中国广电客服"},
    {"110", E, u"报警"},
    {"114", S, u"电话号码查询"},
    {"119", E, u"火警"},
    {"120", E, u"急救"},
    {"12110", E, u"短信报警"},
    {"12119", E, u"森林火警"},
    {"12121", S, u"天气预报"},
    {"122", E, u"交通事故报警"},
    {"12306", S, u"铁路客服"},
    {"12315", S, u"消费者投诉举报"},
    {"12320", S, u"卫生健康热线"},
    {"12328", S, u"交通运输服务监督"},
    {"12329", S, u"住房公积金热线"},
    {"12333", S, u"人力资源和社会保障"},
    {"12338", S, u"妇女维权热线"},
    {"12345", S, u"政务服务便民热线"},
    {"12348", S, u"公共法律服务"},
    {"12355", S, u"青少年服务台"},
    {"12358", S, u"价格举报"},
    {"12365", S, u"产品质量投诉"},
    {"12366", S, u"纳税服务"},
    {"12369", S, u"环保举报"},
    {"12395", E, u"水上遇险求救"},
    {"95508", S, u"广发银行"},
    {"95528", S, u"浦发银行"},
    {"95533", S, u"中国建设银行"},
    {"95555", S, u"招商银行"},
    {"95558", S, u"中信银行"},
    {"95559", S, u"交通银行"},
    {"95561", S, u"兴业银行"},
    {"95566", S, u"中国银行"},
    {"95568", S, u"中国民生银行"},
    {"95577", S, u"华夏银行"},
    {"95580", S, u"中国邮政储蓄银行"},
    {"95588", S, u"中国工商银行"},
    {"95595", S, u"中国光大银行"},
    {"95599", S, u"中国农业银行"},
};

constexpr bool lessByDigits(const ServiceNumber &a, const ServiceNumber &b)
{
    return a.digits < b.digits;
}

static_assert(std::is_sorted(std::begin(kRows), std::end(kRows), lessByDigits));
// The reply shows an owner after "用途：" on a line of 34 columns, 2 for each Chinese character.
static_assert(std::all_of(std::begin(kRows), std::end(kRows),
                          [](const ServiceNumber &row) { return row.owner.size() <= 14; }));

}  // namespace

std::span<const ServiceNumber> serviceNumbers() { return kRows; }

const ServiceNumber *findServiceNumber(std::string_view digits)
{
    const ServiceNumber key{digits, S, {}};
    const auto found = std::lower_bound(std::begin(kRows), std::end(kRows), key, lessByDigits);
    return found != std::end(kRows) && found->digits == digits ? &*found : nullptr;
}

}  // namespace zuno::service
