// SPDX-License-Identifier: Apache-2.0
#include "site/downloads/file_digest.h"

#include <openssl/evp.h>

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace zuno::service {
namespace {

constexpr size_t kChunk = 256 * 1024;

struct DigestFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::optional<std::string> sha256Hex(int fd, const std::atomic<bool> &cancel)
{
    std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    std::vector<unsigned char> chunk(kChunk);
    off_t position = 0;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return std::nullopt;
        const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), position);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        if (EVP_DigestUpdate(context.get(), chunk.data(), static_cast<size_t>(got)) != 1)
            return std::nullopt;
        position += got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return std::nullopt;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace zuno::service
