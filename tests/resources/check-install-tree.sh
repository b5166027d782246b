#!/usr/bin/env bash
# Lists what an installation lacks: the programs, the desktop integration files and the service
# unit that `cmake --install` (and so each .deb) must put under PREFIX. Exits 1 if anything is
# missing. COMPONENT is desktop or service, both when none is named; with --install-from, installs
# the build first (into PREFIX, which it empties).
# Usage: check-install-tree.sh [--install-from BUILD-DIR [--cmake CMAKE]] PREFIX [COMPONENT...]
set -euo pipefail

build="" cmake=cmake
while [ $# -gt 0 ]; do
  case $1 in
    --install-from) build=$2; shift 2 ;;
    --cmake) cmake=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: $0 [--install-from BUILD-DIR [--cmake CMAKE]] PREFIX [desktop|service]..." >&2; exit 2; }
prefix=$1
shift
components=("$@")
[ ${#components[@]} -gt 0 ] || components=(desktop service)

if [ -n "$build" ]; then
  rm -rf "$prefix"
  for component in "${components[@]}"; do
    "$cmake" --install "$build" --prefix "$prefix" --component "$component" >/dev/null
  done
fi

programs=() files=()
for component in "${components[@]}"; do
  case $component in
    desktop)
      programs+=(bin/zuno-lookup)
      files+=(share/applications/cn.zuno.Lookup.desktop share/metainfo/cn.zuno.Lookup.metainfo.xml
        share/icons/hicolor/scalable/apps/cn.zuno.Lookup.svg)
      for size in 16 32 48 64 128 256; do
        files+=("share/icons/hicolor/${size}x${size}/apps/cn.zuno.Lookup.png")
      done
      ;;
    service)
      programs+=(bin/zuno-lookupd)
      files+=(lib/systemd/system/zuno-lookupd.service)
      ;;
    *) echo "unknown component: $component" >&2; exit 2 ;;
  esac
done

missing=0
for program in "${programs[@]}"; do
  if [ ! -f "$prefix/$program" ]; then
    echo "missing: $program"; missing=$((missing + 1))
  elif [ ! -x "$prefix/$program" ]; then
    echo "not executable: $program"; missing=$((missing + 1))
  fi
done
for file in "${files[@]}"; do
  [ -f "$prefix/$file" ] || { echo "missing: $file"; missing=$((missing + 1)); }
done

if [ "$missing" != 0 ]; then
  echo "$missing of $((${#programs[@]} + ${#files[@]})) expected files missing under $prefix" >&2
  exit 1
fi
echo "all $((${#programs[@]} + ${#files[@]})) expected files installed under $prefix"
