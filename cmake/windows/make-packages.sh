#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes the Windows files in OUT-DIR: zuno-lookup.exe, the installer zuno-lookup-VERSION-setup.exe
# (NSIS) and zuno-lookup-VERSION-portable.zip. With ZUNO_SIGN_PKCS12 (a PKCS#12 file) and
# ZUNO_SIGN_PASSWORD_FILE (its password, alone in a file) it signs the program, the uninstaller
# and the installer; osslsigncode reads the password from the file, never from its command line.
# Usage: make-packages.sh PROGRAM OUT-DIR VERSION ICON
#        make-packages.sh --sign FILE   (what makensis calls for the uninstaller and installer)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

sign() {
  local file=$1
  osslsigncode sign -pkcs12 "$ZUNO_SIGN_PKCS12" -readpass "$ZUNO_SIGN_PASSWORD_FILE" \
    -n "ZUNO全国电话号码归属地查询" -h sha256 -in "$file" -out "$file.signed" >/dev/null
  mv -f "$file.signed" "$file"
}

if [ "${1:-}" = --sign ]; then
  sign "$2"
  exit 0
fi

program=$1 out=$2 version=$3 icon=$(realpath "$4")
signing=
if [ -n "${ZUNO_SIGN_PKCS12:-}" ] || [ -n "${ZUNO_SIGN_PASSWORD_FILE:-}" ]; then
  [ -r "${ZUNO_SIGN_PKCS12:-}" ] || { echo "make-packages: cannot read ZUNO_SIGN_PKCS12 '${ZUNO_SIGN_PKCS12:-}'" >&2; exit 1; }
  [ -r "${ZUNO_SIGN_PASSWORD_FILE:-}" ] || { echo "make-packages: cannot read ZUNO_SIGN_PASSWORD_FILE '${ZUNO_SIGN_PASSWORD_FILE:-}'" >&2; exit 1; }
  signing=yes
else
  echo "make-packages: no signing key given (ZUNO_SIGN_PKCS12, ZUNO_SIGN_PASSWORD_FILE): the Windows files are not signed"
fi

mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/zuno-lookup.exe"
[ -z "$signing" ] || sign "$work/zuno-lookup.exe"

nsis_args=(-V2 -INPUTCHARSET UTF8 "-DVERSION=$version" "-DPROGRAM=$work/zuno-lookup.exe"
  "-DICON=$icon" "-DOUTFILE=$work/zuno-lookup-$version-setup.exe")
[ -z "$signing" ] || nsis_args+=("-DSIGN=$here/make-packages.sh")
makensis "${nsis_args[@]}" "$here/zuno-lookup.nsi"

(cd "$work" && rm -f portable.zip && cmake -E tar cf portable.zip --format=zip zuno-lookup.exe)
cp "$work/zuno-lookup.exe" "$out/zuno-lookup.exe"
cp "$work/zuno-lookup-$version-setup.exe" "$out/zuno-lookup-$version-setup.exe"
cp "$work/portable.zip" "$out/zuno-lookup-$version-portable.zip"
