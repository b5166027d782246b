#!/usr/bin/env bash
# Builds the Debian packages with cpack and checks them: names, version, the dependencies the
# desktop program needs (a CJK font, the shared libraries found by dpkg-shlibdeps), the service's
# maintainer scripts, and that each package holds exactly what its install component installs.
# Usage: check-packages.sh CMAKE CPACK BUILD-DIR WORK-DIR VERSION COMPONENT...
set -euo pipefail

cmake=$1 cpack=$2 build=$3 work=$4 version=$5
shift 5
arch=$(dpkg --print-architecture)

. "$(dirname "$0")/checks.sh"

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
      for script in postinst prerm postrm; do
        grep -Eq "^-rwxr-xr-x .* \./$script$" "$work/$package.control" ||
          fail "$package has no executable $script"
      done
      ;;
  esac
done

finish_checks
echo "packages: all checks passed"
