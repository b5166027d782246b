#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The zuno-lookup.exe that `make windows` leaves, read back with the tools that consume it:
# - a 32-bit GUI program that imports only DLLs every Windows has (no MinGW runtime DLL);
# - icon 30001 in group 1 (48 x 48, 8 bits), the version record in Chinese (PRC), UTF-16;
# - a manifest asking for Common Controls 6, per-monitor DPI awareness and no elevation.
# Usage: check-windows-program.sh ZUNO-LOOKUP.EXE VERSION
set -euo pipefail
exe=$1 version=$2
. "$(dirname "$0")/../resources/checks.sh"
[ -f "$exe" ] || { echo "FAIL: $exe is missing: make windows builds it" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== the image"
objdump=i686-w64-mingw32-objdump
"$objdump" -f "$exe" | tee "$work/header.txt"
grep -q 'file format pei-i386' "$work/header.txt" || fail "not a 32-bit x86 image"
"$objdump" -p "$exe" >"$work/private.txt"
grep -q '^Subsystem.*(Windows GUI)' "$work/private.txt" || fail "not a GUI program"

echo "== imported DLLs"
sed -n 's/^\tDLL Name: //p' "$work/private.txt" | tr 'A-Z' 'a-z' | sort | tee "$work/dlls.txt"
# Windows' own: the kernel, the window system, GDI, Common Controls, WinHTTP, the C runtime that
# ships with every Windows, the shell.
for dll in $(cat "$work/dlls.txt"); do
  case $dll in
  kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | winhttp.dll | msvcrt.dll | shell32.dll) ;;
  *) fail "imports $dll, which Windows does not have" ;;
  esac
done
grep -qx winhttp.dll "$work/dlls.txt" || fail "does not use WinHTTP"

echo "== resources"
wrestool --list "$exe" | sed 's/ \[.*//' | tee "$work/resources.txt"
printf '%s\n' '--type=3 --name=30001 --language=2052' '--type=14 --name=1 --language=2052' \
  '--type=16 --name=1 --language=2052' '--type=24 --name=1 --language=0' >"$work/expected.txt"
diff -u "$work/expected.txt" "$work/resources.txt" ||
  fail "not exactly icon 30001, icon group 1 and version 1 in language 2052 and a manifest"
wrestool --extract --type=14 --name=1 --output="$work/group-1.ico" "$exe" || fail "no icon group 1"
[ "$(icotool --list "$work/group-1.ico" 2>/dev/null)" = \
  '--icon --index=1 --width=48 --height=48 --bit-depth=8 --palette-size=256' ] ||
  fail "icon group 1 is not one 48 x 48 icon of 8 bits a pixel"

i686-w64-mingw32-windres -i "$exe" -O rc -o "$work/decompiled.rc" || fail "windres cannot read the image"
sed -n '/VERSIONINFO/,/^END/s/^ *//p' "$work/decompiled.rc" >"$work/version.rc"
for line in 'FILEVERSION 1, 0, 0, 0' 'BLOCK "080404B0"' "VALUE \"FileVersion\", \"$version\"" \
  "VALUE \"ProductVersion\", \"$version\"" 'VALUE "Translation", 0x804, 1200'; do
  grep -qxF "$line" "$work/version.rc" || fail "the version record lacks: $line"
done
for wanted in 'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""' \
  '>PerMonitorV2, PerMonitor<' '>true/pm<' 'level=""asInvoker""'; do
  grep -qF "$wanted" "$work/decompiled.rc" || fail "the manifest lacks $wanted"
done

finish_checks
echo "Windows program: all checks passed"
