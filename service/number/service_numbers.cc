// SPDX-License-Identifier: Apache-2.0
#include "number/service_numbers.h"

#include <algorithm>

namespace zuno::service {
namespace {

constexpr auto E = ShortNumberKind::Emergency;
constexpr auto S = ShortNumberKind::Service;

// In string order, for the binary search below. Each row's source is the public notice of its
// owner, as the trailing comment says:
//   carrier  the carrier's own list of its customer-service numbers and dialling prefixes
//   公安部   the Ministry of Public Security's published numbers (110, 122, 12110, 12123, 96110)
//   工信部   the Ministry of Industry and Information Technology's notices (12300, 12321, 12381)
//   a body   the public-service or emergency line as that ministry or body publishes it
//   company  the company's, bank's or insurer's own published customer-service number
constexpr ServiceNumber kRows[] = {
    {"10000", S, u"中国电信客服"},            // carrier
    {"10010", S, u"中国联通客服"},            // carrier
    {"10086", S, u"中国移动客服"},            // carrier
    {"10099", S, u"中国广电客服"},            // carrier
    {"10193", S, u"中国联通长途拨号前缀"},    // carrier
    {"110", E, u"报警"},                      // 公安部
    {"114", S, u"电话号码查询"},              // carrier
    {"119", E, u"火警"},                      // 应急管理部 (fire and rescue)
    {"120", E, u"急救"},                      // 国家卫生健康委
    {"12110", E, u"短信报警"},                // 公安部
    {"12119", E, u"森林火警"},                // 国家林业和草原局
    {"12121", S, u"天气预报"},                // 中国气象局
    {"12123", S, u"公安交通管理服务"},        // 公安部
    {"122", E, u"交通事故报警"},              // 公安部
    {"12300", S, u"电信用户申诉受理"},        // 工信部
    {"12306", S, u"铁路客服"},                // 中国国家铁路集团
    {"12308", S, u"领事保护与服务"},          // 外交部
    {"12309", S, u"检察服务热线"},            // 最高人民检察院
    {"12315", S, u"消费者投诉举报"},          // 国家市场监督管理总局
    {"12319", S, u"城市管理服务热线"},        // 住房和城乡建设部
    {"12320", S, u"卫生健康热线"},            // 国家卫生健康委
    {"12321", S, u"网络不良与垃圾信息举报"},  // 工信部
    {"12328", S, u"交通运输服务监督"},        // 交通运输部
    {"12329", S, u"住房公积金热线"},          // 住房和城乡建设部
    {"12333", S, u"人力资源和社会保障"},      // 人力资源和社会保障部
    {"12338", S, u"妇女维权热线"},            // 全国妇联
    {"12339", S, u"国家安全机关举报受理"},    // 国家安全部
    {"12345", S, u"政务服务便民热线"},        // 国务院办公厅
    {"12348", S, u"公共法律服务"},            // 司法部
    {"12355", S, u"青少年服务台"},            // 共青团中央
    {"12358", S, u"价格举报"},                // 国家发展改革委
    {"12365", S, u"产品质量投诉"},            // 国家市场监督管理总局
    {"12366", S, u"纳税服务"},                // 国家税务总局
    {"12368", S, u"法院诉讼服务热线"},        // 最高人民法院
    {"12369", S, u"环保举报"},                // 生态环境部
    {"12377", S, u"违法和不良信息举报"},      // 中央网信办
    {"12381", S, u"涉诈预警劝阻短信"},        // 工信部
    {"12388", S, u"纪检监察举报"},            // 中央纪委国家监委
    {"12395", E, u"水上遇险求救"},            // 交通运输部 (maritime search and rescue)
    {"12593", S, u"中国移动IP长途拨号前缀"},  // carrier
    {"17911", S, u"中国联通IP长途拨号前缀"},  // carrier
    {"17951", S, u"中国移动IP长途拨号前缀"},  // carrier
    {"95017", S, u"腾讯客服（微信支付）"},    // company
    {"950618", S, u"京东客服"},               // company
    {"95188", S, u"支付宝客服"},              // company
    {"95311", S, u"中通快递客服"},            // company
    {"95338", S, u"顺丰速运客服"},            // company
    {"95500", S, u"中国太平洋保险"},          // company
    {"95508", S, u"广发银行"},                // company
    {"95511", S, u"中国平安"},                // company
    {"95516", S, u"中国银联"},                // company
    {"95518", S, u"中国人保"},                // company
    {"95519", S, u"中国人寿"},                // company
    {"95522", S, u"泰康保险"},                // company
    {"95528", S, u"浦发银行"},                // company
    {"95530", S, u"东方航空"},                // company
    {"95533", S, u"中国建设银行"},            // company
    {"95539", S, u"南方航空"},                // company
    {"95555", S, u"招商银行"},                // company
    {"95558", S, u"中信银行"},                // company
    {"95559", S, u"交通银行"},                // company
    {"95561", S, u"兴业银行"},                // company
    {"95566", S, u"中国银行"},                // company
    {"95567", S, u"新华保险"},                // company
    {"95568", S, u"中国民生银行"},            // company
    {"95577", S, u"华夏银行"},                // company
    {"95580", S, u"中国邮政储蓄银行"},        // company
    {"95583", S, u"中国国际航空"},            // company
    {"95588", S, u"中国工商银行"},            // company
    {"95589", S, u"中国太平保险"},            // company
    {"95595", S, u"中国光大银行"},            // company
    {"95598", S, u"国家电网供电服务"},        // company
    {"95599", S, u"中国农业银行"},            // company
    {"96110", S, u"反诈预警劝阻专线"},        // 公安部
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

const ServiceNumber *findServiceNumber(std::string_view digits)
{
    const ServiceNumber key{digits, S, {}};
    const auto found = std::lower_bound(std::begin(kRows), std::end(kRows), key, lessByDigits);
    return found != std::end(kRows) && found->digits == digits ? &*found : nullptr;
}

size_t callPrefixLength(std::string_view digits)
{
    // The rows of kRows that are dialling prefixes, each five digits.
    constexpr std::string_view kPrefixes[] = {"10193", "12593", "17911", "17951"};
    constexpr size_t kShortestNumberAfter = 10;
    for (const std::string_view prefix : kPrefixes)
        if (digits.starts_with(prefix) && digits.size() >= prefix.size() + kShortestNumberAfter)
            return prefix.size();
    return 0;
}

bool isSmsPort(std::string_view digits)
{
    constexpr std::string_view kSmsPrefix = "106";
    return digits.starts_with(kSmsPrefix) && digits.size() >= kSmsPrefix.size() + 5 &&
        digits.size() <= kLongestSmsPort;
}

}  // namespace zuno::service
