#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The installer and the zip that `make windows` leaves, used under Wine as an administrator would:
# - the zip holds the program alone;
# - /S installs under Program Files, with a Start menu shortcut named after the window and an
#   Add/Remove Programs entry (name, version, publisher, icon, uninstall commands, size);
# - the installed program shows its window; installing again keeps one entry;
# - the entry's quiet uninstall command leaves no file, shortcut or entry behind.
# Usage: check-windows-installer.sh PACKAGES-DIR VERSION
set -euo pipefail
packages=$1 version=$2
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/wine-helpers.sh"
setup=$packages/zuno-lookup-$version-setup.exe program=$packages/zuno-lookup.exe
for file in "$setup" "$program" "$packages/zuno-lookup-$version-portable.zip"; do
  [ -f "$file" ] || { echo "FAIL: $file is missing: make windows builds it" >&2; exit 1; }
done
product=ZUNO全国电话号码归属地查询
key='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZUNOLookup'

echo "== the portable zip"
python3 - "$packages/zuno-lookup-$version-portable.zip" "$program" <<'PY' || fail "the zip is not the program alone"
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
assert archive.namelist() == ['zuno-lookup.exe'], archive.namelist()
assert archive.read('zuno-lookup.exe') == open(sys.argv[2], 'rb').read()
PY

# Wine 8.0's shell makes no shortcut while its locale is Chinese (CreateShortCut fails there for
# any name or target); the installer runs in a neutral locale, the program in the Chinese one.
setup_locale=C.UTF-8

echo "== silent install"
LANG=$setup_locale wine "$setup" /S || fail "the installer failed"
install=$(unix_path 'C:\Program Files\ZUNO Lookup')
shortcut="$(unix_path 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs')/$product.lnk"
cmp "$program" "$install/zuno-lookup.exe" || fail "the installed program is not the built one"
[ -f "$install/uninstall.exe" ] || fail "no uninstaller"
[ -f "$shortcut" ] || fail "no Start menu shortcut $shortcut"
iconv -f UTF-16LE -t UTF-8 <"$shortcut" 2>/dev/null | grep -q 'zuno-lookup.exe' ||
  strings "$shortcut" | grep -q 'zuno-lookup.exe' || fail "the shortcut does not lead to zuno-lookup.exe"

entry=$(export_key "$key")
echo "$entry"
for line in "\"DisplayName\"=\"$product\"" "\"DisplayVersion\"=\"$version\"" '"Publisher"="ZUNO"' \
  '"DisplayIcon"="C:\\Program Files\\ZUNO Lookup\\zuno-lookup.exe,0"' \
  '"UninstallString"="\"C:\\Program Files\\ZUNO Lookup\\uninstall.exe\""' \
  '"QuietUninstallString"="\"C:\\Program Files\\ZUNO Lookup\\uninstall.exe\" /S"'; do
  grep -qxF "$line" <<<"$entry" || fail "the entry lacks $line"
done
size=$(sed -n 's/^"EstimatedSize"=dword:\([0-9a-f]*\)$/\1/p' <<<"$entry")
[ -n "$size" ] && [ $((16#$size)) -ge $(($(stat -c %s "$program") / 1024)) ] ||
  fail "EstimatedSize ($size) is not the installed size in KiB"

echo "== the installed program runs"
wine "$install/zuno-lookup.exe" >/dev/null 2>&1 &
started=$!
# xdotool matches WM_NAME, which Wine sets in Latin-1: the Chinese of the caption is lost there.
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^ZUNO' | head -n 1) ||
  fail "the installed program showed no window"
[ -z "$window" ] || xdotool key --window "$window" alt+F4
wait_until 10 bash -c "! kill -0 $started 2>/dev/null" || { fail "the program did not close"; kill $started; }

echo "== installing again keeps one entry"
LANG=$setup_locale wine "$setup" /S || fail "the second install failed"
entries=$(export_key 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall' |
  grep -c "^\"DisplayName\"=\"$product\"$" || true)
[ "$entries" = 1 ] || fail "$entries Add/Remove Programs entries after installing twice"

echo "== quiet uninstall"
# The entry's command, as the Add/Remove Programs panel runs it: "PROGRAM" ARGUMENTS. The
# uninstaller copies itself out of the folder it removes and ends at once; its copy works on.
quiet=$(sed -n 's/^"QuietUninstallString"=\(".*"\)$/\1/p' <<<"$entry" |
  python3 -c 'import json, sys; print(json.loads(sys.stdin.read()))')
[[ $quiet =~ ^\"([^\"]+)\"\ (.*)$ ]] || fail "QuietUninstallString is not \"PROGRAM\" ARGUMENTS: $quiet"
LANG=$setup_locale wine "${BASH_REMATCH[1]}" ${BASH_REMATCH[2]} ||
  fail "the quiet uninstall command failed"
wait_until 30 test ! -e "$install" || fail "the uninstall left $install: $(ls -A "$install")"
[ ! -e "$shortcut" ] || fail "the uninstall left the shortcut"
[ -z "$(export_key "$key")" ] || fail "the uninstall left the Add/Remove Programs entry"

finish_checks
echo "Windows installer: all checks passed"
