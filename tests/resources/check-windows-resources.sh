#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Compiles the Windows resource script with mingw-w64's windres, links it alone into a PE image with
# mingw-w64's ld (no C compiler needed), and reads the image back as Windows would see it: the icon
# group and the icon image with icoutils, the version record with windres, all in language 2052.
# Usage: check-windows-resources.sh RC-FILE INCLUDE-DIR VERSION WORK-DIR
# VERSION is the program's version as text and as four numbers, space-separated: "TEXT A,B,C,D".
set -euo pipefail

rc=$1 include=$2 work=$4
read -r version numbers <<<"$3"
windres=${WINDRES:-x86_64-w64-mingw32-windres}
ld=${MINGW_LD:-x86_64-w64-mingw32-ld}
pieces=$(dirname "$rc")/windows

. "$(dirname "$0")/checks.sh"

rm -rf "$work"
mkdir -p "$work"
# Host cpp stands in for the mingw-w64 compiler that windres would call to preprocess.
"$windres" --preprocessor=cpp --preprocessor-arg=-DRC_INVOKED --include-dir="$include" -O coff -i "$rc" -o "$work/resources.o"
"$ld" --subsystem windows -e 0 -o "$work/zuno-lookup.exe" "$work/resources.o"

echo "== resources in the image"
wrestool --list "$work/zuno-lookup.exe" | tee "$work/list.txt"
sed 's/ \[.*//' "$work/list.txt" >"$work/list-names.txt"
printf '%s\n' '--type=3 --name=30001 --language=2052' '--type=14 --name=1 --language=2052' \
  '--type=16 --name=1 --language=2052' >"$work/list-expected.txt"
diff -u "$work/list-expected.txt" "$work/list-names.txt" || fail "the image does not hold exactly icon 30001, icon group 1 and version 1, in language 2052"

echo "== icon group 1 as an .ico"
if wrestool --extract --type=14 --name=1 --output="$work/group-1.ico" "$work/zuno-lookup.exe"; then
  listing=$(icotool --list "$work/group-1.ico")
  echo "$listing"
  [ "$listing" = '--icon --index=1 --width=48 --height=48 --bit-depth=8 --palette-size=256' ] ||
    fail "icon group 1 is not one 48 x 48 icon of 8 bits a pixel"
else
  fail "wrestool cannot extract icon group 1"
fi

echo "== icon 30001"
wrestool --extract --raw --type=3 --name=30001 --output="$work/icon-30001.bin" "$work/zuno-lookup.exe" ||
  fail "wrestool cannot extract icon 30001"
# A BMP-style image starts with BITMAPINFOHEADER: its size (40), the width, twice the height (for
# the AND mask), 1 plane and 8 bits a pixel as two 16-bit halves, then compression 0 (none).
header=$(od -An -tu4 -N20 --endian=little "$work/icon-30001.bin" | xargs)
echo "BITMAPINFOHEADER: $header"
[ "$header" = "40 48 96 $((1 + (8 << 16))) 0" ] ||
  fail "icon 30001 is not an uncompressed 48 x 48 bitmap of 8 bits a pixel"
# The pieces embedded must be the image of the committed .ico, not a stale render.
ico=$pieces/zuno-lookup.ico
read -r image_size image_offset < <(od -An -tu4 -j14 -N8 --endian=little "$ico")
tail -c +"$((image_offset + 1))" "$ico" | head -c "$image_size" | cmp - "$work/icon-30001.bin" ||
  fail "icon 30001 differs from the image in $ico"

echo "== version record"
# windres reads the record back out of the image and fails on one that is malformed.
"$windres" -i "$work/zuno-lookup.exe" -O rc -o "$work/decompiled.rc" || fail "windres cannot read the image back"
sed -n '/VERSIONINFO/,$s/^ *//p' "$work/decompiled.rc" | tee "$work/version.rc"
# One string table, Chinese (PRC) in UTF-16, carrying the program's version in both forms.
for line in "FILEVERSION ${numbers//,/, }" "PRODUCTVERSION ${numbers//,/, }" 'BLOCK "080404B0"' \
  "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
  'VALUE "Translation", 0x804, 1200'; do
  grep -qxF "$line" "$work/version.rc" || fail "the version record lacks: $line"
done
[ "$(grep -c '^BLOCK "[0-9A-Fa-f]\{8\}"$' "$work/version.rc")" = 1 ] ||
  fail "the version record has a string table other than 080404B0"

finish_checks
echo "Windows resources: all checks passed"
