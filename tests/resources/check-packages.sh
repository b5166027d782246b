#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages with cpack and checks them: names, version, the dependencies the
# desktop program needs (a CJK font, the shared libraries found by dpkg-shlibdeps), the service's
# maintainer scripts, and that each package holds exactly what its install component installs;
# that lintian finds no error and no warning, that the changelog's newest entry is this version,
# that the packaged program's --help names the options its manual page does, and that the
# service links no Qt.
# Usage: check-packages.sh CMAKE CPACK BUILD-DIR WORK-DIR VERSION COMPONENT...
set -euo pipefail

cmake=$1 cpack=$2 build=$3 work=$4 version=$5
shift 5
arch=$(dpkg --print-architecture)

. "$(dirname "$0")/checks.sh"
command -v lintian >/dev/null || { echo "FAIL: no lintian (make test installs it)" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }

for component in "$@"; do
  case $component in
    desktop) package=zuno-lookup ;;
    service) package=zuno-lookupd ;;
    *) echo "unknown component: $component" >&2; exit 2 ;;
  esac
  deb=$work/debs/${package}_${version}_$arch.deb
  echo "== $package"
  [ -f "$deb" ] || { fail "no $deb"; continue; }
  dpkg-deb --field "$deb" Package Version Depends Recommends

  [ "$(dpkg-deb --field "$deb" Package)" = "$package" ] || fail "$deb is not named $package inside"
  [ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "$package is not version $version"
  depends=$(dpkg-deb --field "$deb" Depends)

  # The package's files, against what `cmake --install` puts in the same component.
  dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | sort >"$work/$package.files"
  "$cmake" --install "$build" --prefix "$work/$component/usr" --component "$component" >/dev/null
  (cd "$work/$component" && find . -type f -o -type l) | sed 's|^\./||' | sort >"$work/$component.files"
  diff -u "$work/$component.files" "$work/$package.files" ||
    fail "$package does not hold what component $component installs"

  # A program installed without its component would be missing from both.
  grep -qx "usr/bin/$package" "$work/$package.files" || fail "$package does not hold usr/bin/$package"

  # lintian says "running with root privileges is not recommended" on standard error.
  lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian reports on $package"
  changelog=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/changelog.gz" | gzip -dc | head -n 1) || true
  [[ $changelog == *" ($version) "* ]] || fail "$package's changelog starts with: $changelog"

  # The options that the packaged program's --help lists, against its manual page's.
  dpkg-deb --extract "$deb" "$work/$package.root"
  program=$work/$package.root/usr/bin/$package
  page=$(find "$work/$package.root/usr/share/man" -name "$package.[18].gz") || true
  help_options=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --help |
    sed -n 's/^  \(--[a-z-]*\).*/\1/p') || true
  page_options=$(gzip -dc "$page" | sed -n 's/^\\fB\\-\\-\([a-z-]*\)\\fR.*/--\1/p') || true
  [ -n "$help_options" ] && [ "$help_options" = "$page_options" ] ||
    fail "$package --help lists $(echo $help_options), its manual page $(echo $page_options)"

  case $component in
    desktop)
      grep -qF 'fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei' <<<"$depends" ||
        fail "$package does not depend on a font that shows Chinese"
      grep -q 'libqt6widgets6' <<<"$depends" || fail "$package lacks the shared-library dependencies of zuno-lookup"
      ;;
    service)
      for unit in service socket; do
        grep -qx "usr/lib/systemd/system/zuno-lookupd.$unit" "$work/$package.files" ||
          fail "$package does not hold zuno-lookupd.$unit"
      done
      dpkg-deb --ctrl-tarfile "$deb" | tar -tv >"$work/$package.control"
      ! ldd "$program" | grep -i qt || fail "$package links Qt"
      grep -Eq 'listens on [^ ]+:[0-9]+' <<<"$(dpkg-deb --field "$deb" Description)" ||
        fail "$package's description does not say where it listens"
      for script in postinst prerm postrm; do
        grep -Eq "^-rwxr-xr-x .* \./$script$" "$work/$package.control" ||
          fail "$package has no executable $script"
      done
      ;;
  esac
done

finish_checks
echo "packages: all checks passed"
