// SPDX-License-Identifier: Apache-2.0
#include "store/reporter_secret.h"

#include <openssl/rand.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zuno::service {
namespace {

constexpr size_t kSecretBytes = 32;

struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

std::runtime_error failure(const std::filesystem::path &path, std::string_view what)
{
    return std::runtime_error("cannot " + std::string(what) + " the reporters' key \"" +
                              path.string() + "\": " + std::strerror(errno));
}

}  // namespace

std::filesystem::path secretPathOf(const std::filesystem::path &database)
{
    return std::filesystem::path(database.string() + ".key");
}

std::string reporterSecret(const std::filesystem::path &path, bool keyedRowsHeld)
{
    std::string secret(kSecretBytes, '\0');
    if (!keyedRowsHeld) {
        const Descriptor created{
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
        if (created.fd >= 0) {
            if (RAND_bytes(reinterpret_cast<unsigned char *>(secret.data()),
                           static_cast<int>(secret.size())) != 1)
                throw std::runtime_error("cannot make the reporters' key: no random bytes");
            if (::write(created.fd, secret.data(), secret.size()) !=
                    static_cast<ssize_t>(secret.size()) ||
                ::fsync(created.fd) != 0) {
                ::unlink(path.c_str());
                throw failure(path, "write");
            }
            return secret;
        }
        if (errno != EEXIST)
            throw failure(path, "create");
    }
    // Without O_NONBLOCK a FIFO put there would hold the start before fstat can refuse it.
    const Descriptor existing{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    // A new key would count every network again and leave none able to withdraw its reports.
    if (existing.fd < 0 && errno == ENOENT)
        throw std::runtime_error("the reporters' key \"" + path.string() +
                                 "\" is missing beside a database that holds reports or places "
                                 "made under it: restore the key from the backup taken with the "
                                 "database (or move the database aside to start with none)");
    if (existing.fd < 0)
        throw failure(path, "read");
    struct stat status {};
    if (::fstat(existing.fd, &status) != 0)
        throw failure(path, "read");
    if (!S_ISREG(status.st_mode))
        throw std::runtime_error("the reporters' key \"" + path.string() +
                                 "\" is not a regular file: put the key file there");
    if ((status.st_mode & 077) != 0)
        throw std::runtime_error("the reporters' key \"" + path.string() +
                                 "\" is open to other users: chmod 600 it");
    const ssize_t read = ::read(existing.fd, secret.data(), secret.size());
    if (read != static_cast<ssize_t>(secret.size()))
        throw std::runtime_error("the reporters' key \"" + path.string() + "\" is shorter than " +
                                 std::to_string(kSecretBytes) + " bytes");
    return secret;
}

}  // namespace zuno::service
