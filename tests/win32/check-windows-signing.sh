#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Signing as `make windows` does it, with a throwaway key made here:
# - with a key and its password's file, the program, the installer and the uninstaller it writes
#   verify against the key's certificate, and the password never stands on a command line;
# - without a key the files are unsigned and the build says so once;
# - a wrong password ends the build with an error rather than unsigned files.
# Usage: check-windows-signing.sh MAKE-PACKAGES ZUNO-LOOKUP.EXE VERSION ICON
set -euo pipefail
make_packages=$1 program=$2 version=$3 icon=$4
. "$(dirname "$0")/../resources/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/wine-helpers.sh"
[ -f "$program" ] || { echo "FAIL: $program is missing: make windows builds it" >&2; exit 1; }

password=zuno-$RANDOM-$RANDOM-throwaway
printf '%s\n' "$password" >"$work/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=ZUNO throwaway signer" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/key.p12" \
  -passout "file:$work/password"

# osslsigncode as make-packages.sh finds it, noting each command line it is given.
mkdir "$work/bin"
real=$(command -v osslsigncode)
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec "%s" "$@"\n' "$work/command-lines" "$real" \
  >"$work/bin/osslsigncode"
chmod +x "$work/bin/osslsigncode"

verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; }

echo "== signed with a key"
PATH=$work/bin:$PATH ZUNO_SIGN_PKCS12=$work/key.p12 ZUNO_SIGN_PASSWORD_FILE=$work/password \
  "$make_packages" "$program" "$work/signed" "$version" "$icon" >"$work/signed.log" 2>&1 ||
  { cat "$work/signed.log"; fail "signing with a key failed"; }
! grep -q 'not signed' "$work/signed.log" || fail "said it does not sign while it had a key"
verify "$work/signed/zuno-lookup.exe" || fail "the program's signature does not verify"
verify "$work/signed/zuno-lookup-$version-setup.exe" || fail "the installer's signature does not verify"
unzip_program=$(python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read("zuno-lookup.exe"))' \
  "$work/signed/zuno-lookup-$version-portable.zip" | cmp - "$work/signed/zuno-lookup.exe" && echo same) || true
[ "$unzip_program" = same ] || fail "the zip does not hold the signed program"
[ "$(wc -l <"$work/command-lines")" = 3 ] || fail "osslsigncode ran $(wc -l <"$work/command-lines") times, not 3"
! grep -qF "$password" "$work/command-lines" || fail "the password stood on a command line"
grep -q -- '-readpass' "$work/command-lines" || fail "the password was not read from its file"

# The uninstaller exists only once the installer has written it.
LANG=C.UTF-8 wine "$work/signed/zuno-lookup-$version-setup.exe" /S '/D=C:\zuno-signed' ||
  fail "the signed installer failed"
installed=$(unix_path 'C:\zuno-signed')
verify "$installed/uninstall.exe" || fail "the uninstaller's signature does not verify"
LANG=C.UTF-8 wine "$installed/uninstall.exe" /S || fail "the signed uninstaller failed"
wait_until 30 test ! -e "$installed" || fail "the signed uninstaller left $installed"

echo "== unsigned without a key"
env -u ZUNO_SIGN_PKCS12 -u ZUNO_SIGN_PASSWORD_FILE \
  "$make_packages" "$program" "$work/unsigned" "$version" "$icon" >"$work/unsigned.log" 2>&1 ||
  fail "building without a key failed"
[ "$(grep -c 'not signed' "$work/unsigned.log")" = 1 ] || fail "did not say once that it does not sign"
! verify "$work/unsigned/zuno-lookup.exe" || fail "the program is signed without a key"

echo "== a wrong password"
echo wrong >"$work/wrong"
if ZUNO_SIGN_PKCS12=$work/key.p12 ZUNO_SIGN_PASSWORD_FILE=$work/wrong \
  "$make_packages" "$program" "$work/wrong-out" "$version" "$icon" >/dev/null 2>&1; then
  fail "a wrong password went unnoticed"
fi

finish_checks
echo "Windows signing: all checks passed"
