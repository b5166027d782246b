#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Windows files for `make package`, where the cross tools are installed; elsewhere one line
# says why they are missing (`make windows` installs the tools and builds them).
set -euo pipefail
cd "$(dirname "$0")/.."
if command -v i686-w64-mingw32-g++ >/dev/null && command -v makensis >/dev/null; then
  exec make --no-print-directory windows-files
fi
echo "no MinGW-w64 or NSIS here: the Windows files are not built (make windows)"
