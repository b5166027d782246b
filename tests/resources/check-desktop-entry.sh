#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the desktop component into a scratch prefix and validates what a desktop environment
# reads there: the desktop entry, the AppStream metainfo and the icon that the entry names.
# Usage: check-desktop-entry.sh CMAKE BUILD-DIR WORK-DIR
set -euo pipefail

cmake=$1 build=$2 work=$3
root=$work/root
prefix=$root/usr

. "$(dirname "$0")/checks.sh"

# Runs a validator; it passes only when it succeeds and reports nothing at or above the
# level that the given pattern matches.
validate() {
  local pattern=$1 output status=0
  shift
  output=$("$@" 2>&1) || status=$?
  [ -n "$output" ] && echo "$output"
  if [ "$status" != 0 ] || grep -Eq "$pattern" <<<"$output"; then
    fail "$* (status $status)"
  fi
}

rm -rf "$work"
"$cmake" --install "$build" --prefix "$prefix" --component desktop >/dev/null

desktop=$prefix/share/applications/cn.zuno.Lookup.desktop
metainfo=$prefix/share/metainfo/cn.zuno.Lookup.metainfo.xml

echo "== desktop-file-validate"
validate '.' desktop-file-validate "$desktop"

echo "== appstreamcli validate"
validate '^ *[IWE]: ' appstreamcli validate --no-net "$metainfo"
# The tree check also finds the desktop entry that the metainfo launches.
validate '^ *[IWE]: ' appstreamcli validate-tree --no-net "$root"

echo "== icon named by the entry"
icon=$(sed -n 's/^Icon=//p' "$desktop")
echo "Icon=$icon"
png=$prefix/share/icons/hicolor/48x48/apps/$icon.png
svg=$prefix/share/icons/hicolor/scalable/apps/$icon.svg
file "$png" | grep -q 'PNG image data, 48 x 48' || fail "$png is not a 48 x 48 PNG"
[ -f "$svg" ] || fail "no $svg"

finish_checks
echo "desktop entry: all checks passed"
