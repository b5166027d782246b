#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Makefile and the scripts in tools/ as a developer uses them:
# - the service alone configures without Qt;
# - a changed CMAKE_ARGS reaches CMake, also after a first configure;
# - make clean removes every preset's build folder, and make run installs no test tool;
# - run-local.sh reads a host without a port as port 80 and refuses a port that is no number;
# - run-benchmarks.sh fails when one benchmark fails, after running the others.
#   check-make-and-scripts.sh SOURCE_DIR
set -euo pipefail
top=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../resources/checks.sh"

# The Makefile works on a copy of the source tree, since each preset builds in a folder of it.
src=$work/src
mkdir "$src"
tar -C "$top" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -

host_in_cache() { sed -n 's/^ZUNO_SERVICE_HOST:STRING=//p' "$src/build/CMakeCache.txt"; }
configure() {
  make -s -C "$src" configure \
    CMAKE_ARGS="-DZUNO_BUILD_GUI=OFF -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON $*" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; fail "make configure $*"; }
}
configure -DZUNO_SERVICE_HOST=127.0.0.2:1111
[ "$(host_in_cache)" = 127.0.0.2:1111 ] || fail "first configure: host is $(host_in_cache)"
configure -DZUNO_SERVICE_HOST=127.0.0.3:2222
[ "$(host_in_cache)" = 127.0.0.3:2222 ] || fail "changed CMAKE_ARGS did not reach CMake: $(host_in_cache)"
configure
[ "$(host_in_cache)" = 127.0.0.2:1111 ] && fail "dropped CMAKE_ARGS kept the old host"

# make clean removes the binary folder of every preset.
folders=$(python3 -c 'import json, sys
for preset in json.load(open(sys.argv[1]))["configurePresets"]:
    print(preset["binaryDir"].replace("${sourceDir}/", ""))' "$src/CMakePresets.json")
for folder in $folders; do mkdir -p "$src/$folder"; done
make -s -C "$src" clean >/dev/null
for folder in $folders; do [ ! -e "$src/$folder" ] || fail "make clean left $folder"; done

# What each target would install, read from make -n: the test tools only with make test.
run=$(make -n -C "$src" run) test=$(make -n -C "$src" test)
for tool in chromium haproxy prometheus mingw wine nsis redocly; do
  ! grep -q "$tool" <<<"$run" || fail "make run installs $tool"
  grep -q "$tool" <<<"$test" || fail "make test does not install $tool"
done

out=$(ZUNO_RUN_DIR=$work "$top/tools/run-local.sh" start "$work/no-such-program" 127.0.0.1 2>&1) || true
grep -q '127\.0\.0\.1:80\b' <<<"$out" || fail "a host without a port is not port 80: $out"
status=0
ZUNO_RUN_DIR=$work "$top/tools/run-local.sh" start "$work/no-such-program" 127.0.0.1:http >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "a port that is no number gave status $status, not 2"

mkdir "$work/bench"
printf '#!/bin/sh\nexit 3\n' >"$work/bench/bench_a"
printf '#!/bin/sh\ntouch "%s"\n' "$work/b-ran" >"$work/bench/bench_b"
chmod +x "$work/bench"/bench_*
"$top/tools/run-benchmarks.sh" "$work/bench" >/dev/null 2>&1 && fail "a failing benchmark went unnoticed"
[ -f "$work/b-ran" ] || fail "the benchmarks after a failing one did not run"

finish_checks
echo "make and scripts: all checks passed"
