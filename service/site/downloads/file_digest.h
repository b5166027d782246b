// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <optional>
#include <string>

namespace zuno::service {

// The SHA-256 of an open file's contents in lower-case hex, read in pieces with pread through
// OpenSSL's EVP interface, so that no file is ever held in memory. Nothing when a read fails or
// cancel becomes true on the way.
std::optional<std::string> sha256Hex(int fd, const std::atomic<bool> &cancel);

}  // namespace zuno::service
