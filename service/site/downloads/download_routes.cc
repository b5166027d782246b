// SPDX-License-Identifier: Apache-2.0
#include "site/downloads/download_routes.h"

#include "site/downloads/served_file.h"
#include "site/site.h"

#include <cstdio>
#include <optional>
#include <system_error>

namespace zuno::service {

Answer download(const RouteContext &context, const Site &site)
{
    const Request &request = context.request;
    const std::string_view name = context.path.substr(kDownloadPrefix.size());
    std::optional<OpenedFile> opened;
    try {
        opened = site.downloads().open(name);
    } catch (const std::system_error &) {
        // Out of descriptors for now: nothing wrong with the file, so ask again shortly.
        auto busy =
            errorResponse(http::status::service_unavailable, request.version(), Audience::Page);
        busy.set(http::field::retry_after, "1");
        return {std::move(busy), std::nullopt};
    }
    if (!opened)
        return {errorResponse(http::status::not_found, request.version(), Audience::Page),
                std::nullopt};
    const struct stat &status = opened->status;
    char etag[64];
    // Changes whenever the file is replaced (inode) or rewritten (size, time to the nanosecond).
    std::snprintf(etag, sizeof etag, "\"%jx-%jx-%jx.%lx\"",
                  static_cast<std::uintmax_t>(status.st_ino),
                  static_cast<std::uintmax_t>(status.st_size),
                  static_cast<std::uintmax_t>(status.st_mtim.tv_sec), status.st_mtim.tv_nsec);
    const Served served{{etag, status.st_mtim.tv_sec, static_cast<std::uint64_t>(status.st_size)},
                        name.ends_with(".deb") ? "application/vnd.debian.binary-package"
                                               : "application/octet-stream",
                        kRevalidate,
                        std::string(name)};
    return {serveFile(
                request, served,
                [&](http::status code, const Selection &selection) {
                    FileResponse response{code, request.version()};
                    response.body() = {std::move(opened->file), selection.offset, selection.length};
                    return Response(std::move(response));
                }),
            std::nullopt};
}

}  // namespace zuno::service
