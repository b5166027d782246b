#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Stands for the Wine tests where the cross compiler or Wine is missing (`make test` installs both).
echo "skipped: the Windows program's tests need i686-w64-mingw32-g++-posix and wine (make test installs them)"
exit 77
