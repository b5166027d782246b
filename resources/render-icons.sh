#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Renders cn.zuno.Lookup.svg into the PNGs of the hicolor theme and the Qt resource, the
# Windows .ico (one 48 x 48 image, 8 bits a pixel) and the two raw pieces that zuno-lookup.rc
# embeds as RT_ICON 30001 and RT_GROUP_ICON 1. The outputs are committed; run after editing the SVG.
# Needs rsvg-convert (librsvg2-bin), convert (imagemagick) and icotool (icoutils).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
svg=$here/cn.zuno.Lookup.svg
icons=$here/icons
windows=$here/windows
icon_id=30001

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$icons" "$windows"
for size in 16 32 48 64 128 256; do
  rsvg-convert --width="$size" --height="$size" "$svg" --output="$work/$size.png"
  # -strip drops the time stamps so that an unchanged SVG gives unchanged files.
  convert "$work/$size.png" -strip "PNG32:$icons/icon-$size.png"
done

# An 8-bit icon has a 1-bit transparency mask: cut the alpha at one half, then fit the colours in
# the 256-entry palette (one slot stays free for the transparent colour of the intermediate PNG).
convert "$icons/icon-48.png" -channel A -threshold 50% +channel -dither None -colors 255 -strip \
  "PNG8:$work/palette-48.png"
icotool --create --bit-depth=8 --output="$windows/zuno-lookup.ico" "$work/palette-48.png"

# Reads a little-endian unsigned integer of $3 bytes at offset $2 of file $1.
read_le() {
  od -An -tu"$3" -j"$2" -N"$3" --endian=little "$1" | tr -d ' '
}
# Writes the low $2 bytes of $1, little-endian.
write_le() {
  local value=$1 bytes=$2 i
  for ((i = 0; i < bytes; i++)); do
    printf "\\$(printf '%03o' $(((value >> (8 * i)) & 0xff)))"
  done
}

ico=$windows/zuno-lookup.ico
[ "$(read_le "$ico" 4 2)" = 1 ] || { echo "$ico: expected exactly one image" >&2; exit 1; }
image_size=$(read_le "$ico" 14 4)
image_offset=$(read_le "$ico" 18 4)

# RT_ICON: the image as the .ico stores it (BITMAPINFOHEADER, palette, XOR and AND bitmaps).
tail -c +"$((image_offset + 1))" "$ico" | head -c "$image_size" >"$windows/icon-$icon_id.bin"

# RT_GROUP_ICON: GRPICONDIR (reserved, type 1, one entry) and a GRPICONDIRENTRY that names the
# image by resource ID where the .ico's entry has a file offset.
{
  write_le 0 2; write_le 1 2; write_le 1 2
  write_le 48 1; write_le 48 1; write_le 0 1; write_le 0 1 # width, height, colour count, reserved
  write_le 1 2; write_le 8 2                               # planes, bits a pixel
  write_le "$image_size" 4
  write_le "$icon_id" 2
} >"$windows/icon-group-1.bin"

icotool --list "$ico"
