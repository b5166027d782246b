// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace zuno {

// Starts Explorer.exe "URL" minimised (window style 2), which opens the URL in the user's
// browser; does not wait for it. A failure to start is absorbed: the click has no one to tell.
void openWithExplorer(const std::string &url);

}  // namespace zuno
