// SPDX-License-Identifier: Apache-2.0
#include "labels/reporter_networks.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <stdexcept>

namespace zuno::service {
namespace {

constexpr size_t kMinSecretBytes = 32;
constexpr size_t kKeyBytes = 16;

}  // namespace

ReporterNetworks::ReporterNetworks(std::string secret) : secret_(std::move(secret))
{
    if (secret_.size() < kMinSecretBytes)
        throw std::invalid_argument("the reporters' key is shorter than 32 bytes");
}

std::string ReporterNetworks::keyOf(const boost::asio::ip::address &client) const
{
    // The family first, so that an IPv4 prefix never equals an IPv6 one.
    std::string prefix;
    auto v6 = client.is_v6() ? client.to_v6() : boost::asio::ip::address_v6();
    if (client.is_v4() || v6.is_v4_mapped()) {
        const auto bytes = client.is_v4()
            ? client.to_v4().to_bytes()
            : boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_bytes();
        prefix = std::string("4") + std::string(bytes.begin(), bytes.begin() + 3);
    } else {
        const auto bytes = v6.to_bytes();
        prefix = std::string("6") + std::string(bytes.begin(), bytes.begin() + 6);
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    if (!HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
              reinterpret_cast<const unsigned char *>(prefix.data()), prefix.size(), digest.data(),
              &length) ||
        length < kKeyBytes)
        throw std::runtime_error("HMAC-SHA256 failed");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string key;
    for (size_t i = 0; i < kKeyBytes; ++i) {
        key += kHex[digest[i] >> 4];
        key += kHex[digest[i] & 15];
    }
    return key;
}

}  // namespace zuno::service
