#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The site as a real browser shows it: headless Chromium loads the home page of zuno-lookupd
# with a package on offer and the lookup form's page, dumps the DOM it built and takes
# screenshots, kept in WORK-DIR for a person to look at; then reports a number through the result
# page's form and sees its count change, and uploads a file through the home page's form, which
# comes back as the download the command line's CSV is (with Excel's byte order mark), and so
# does a file of 500,000 numbers, every row. A Content-Security-Policy refusal in the browser's
# console fails the check too.
# Usage: check-site-in-chromium.sh ZUNO_LOOKUPD WORK-DIR
set -euo pipefail

lookupd=$1 work=$2
. "$(dirname "$0")/../resources/checks.sh"

rm -rf "$work"
mkdir -p "$work/downloads" "$work/tree/DEBIAN"
deb=zuno-lookup_9.8_amd64.deb
printf 'Package: zuno-lookup\nVersion: 9.8\nArchitecture: amd64\nMaintainer: T <t@zuno.invalid>\nDescription: ZUNO lookup window, browser check\n' \
  >"$work/tree/DEBIAN/control"
dpkg-deb --root-owner-group --build "$work/tree" "$work/downloads/$deb" >/dev/null
digest=$(sha256sum "$work/downloads/$deb" | cut -d' ' -f1)

start_lookupd "$work/lookupd.log" --downloads "$work/downloads" --database "$work/labels.sqlite3" \
  --access-log
trap 'kill "$started_pid" 2>/dev/null || true; rm -rf "$work"/profile.*' EXIT
site=http://$started_address port=${started_address#*:}

# The digest is worked out in the background; wait until the page has it.
home_page() { (exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'GET / HTTP/1.0\r\n\r\n' >&3 && cat <&3); }
for _ in $(seq 100); do
  home_page | grep -q "$digest" && break
  sleep 0.1
done

browse() {
  local name=$1
  shift
  timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$(mktemp -d "$work/profile.XXXXXX")" --enable-logging=stderr --v=0 \
    "$@" >"$work/$name" 2>"$work/$name.log" || fail "chromium $* failed"
}
browse home.html --dump-dom "$site/"
browse home.png.out --screenshot="$work/home.png" --window-size=1280,1700 --hide-scrollbars "$site/"
browse lookup.html --dump-dom "$site/lookup?number=13800138000"
browse lookup.png.out --screenshot="$work/lookup.png" --window-size=1024,600 --hide-scrollbars \
  "$site/lookup?number=13800138000"

for part in "<title>ZUNO全国电话号码归属地查询</title>" "最新版本：<strong>9.8</strong>" \
  "href=\"/download/$deb\"" "<code>$digest</code>" "软件包 zuno-lookup 9.8（amd64）" \
  "sudo apt install ./$deb" 'src="/screenshot.png"' 'action="/lookup"' "/api/v1/lookup?number=" \
  'action="/lookup/batch" method="post" enctype="multipart/form-data"'; do
  grep -qF "$part" "$work/home.html" || fail "the home page in Chromium lacks: $part"
done
for part in "<td>北京市</td>" 'value="13800138000"' 'action="/lookup"'; do
  grep -qF "$part" "$work/lookup.html" || fail "the lookup page in Chromium lacks: $part"
done
# A report through the result page's form, with no script of the page's own: the count shows it.
posted=$(timeout 90 "$(dirname "$0")/chromium.py" report "$site" "$(mktemp -d "$work/profile.XXXXXX")") ||
  fail "driving Chromium over DevTools failed"
python3 - "$posted" <<'CHECK' || fail "the report form in Chromium: $posted"
import json, sys
seen = json.loads(sys.argv[1])
assert seen["before"] == "0" and seen["after"] == "1", seen
assert seen["url"].endswith("/lookup?number=%2B8613800138000"), seen
assert seen["comment"].endswith("&lt;b&gt;冒充客服&lt;/b&gt;"), seen
CHECK
printf '电话,备注\r\n13800138000,a\r\n\r\nabc\r\n\xb1\xb1\xbe\xa9\r\n' >"$work/numbers.csv"
mkdir "$work/saved"
saved=$(timeout 90 "$(dirname "$0")/chromium.py" upload "$site" "$work/numbers.csv" \
  "$work/saved" "$(mktemp -d "$work/profile.XXXXXX")") || fail "uploading in Chromium failed"
[ "$saved" = "zuno-lookup-$(date +%F).csv" ] || fail "the download is named \"$saved\""
{ printf '\xef\xbb\xbf' && "$lookupd" lookup "$work/numbers.csv"; } >"$work/expected.csv"
cmp -s "$work/expected.csv" "$work/saved/$saved" || fail "the upload's download is not the CSV of the command line"
# A whole spreadsheet's numbers: Chromium sends all of the form before it reads the answer.
big_lines=${ZUNO_BIG_UPLOAD_LINES:-500000}
seq 13800000000 $((13800000000 + big_lines - 1)) >"$work/big.csv"
mkdir "$work/big"
started=$SECONDS
if saved=$(timeout 90 "$(dirname "$0")/chromium.py" upload "$site" "$work/big.csv" \
  "$work/big" "$(mktemp -d "$work/profile.XXXXXX")"); then
  rows=$(($(wc -l <"$work/big/$saved") - 1))
  [ "$rows" = "$big_lines" ] && tail -n 1 "$work/big/$saved" | grep -q "^$((13800000000 + big_lines - 1))," ||
    fail "an upload of $big_lines lines came back with $rows rows"
  echo "uploaded $big_lines lines in Chromium in $((SECONDS - started)) s"
  rm -f "$work/big/$saved"
else
  fail "uploading $big_lines lines in Chromium failed after $((SECONDS - started)) s"
fi
# Both uploads, the big one too, have their access-log line.
[ "$(grep -c '"POST /lookup/batch HTTP/1.1" 200 ' "$work/lookupd.log")" = 2 ] ||
  fail "the uploads have no access-log lines: $(grep -c 'POST /lookup/batch' "$work/lookupd.log")"
rm -f "$work/big.csv"
if grep -h "Content Security Policy" "$work"/*.log; then
  fail "Chromium refused part of a page under its Content-Security-Policy"
fi
for shot in home.png lookup.png; do
  file "$work/$shot" | grep -q 'PNG image data' || fail "no screenshot $work/$shot"
done

finish_checks
echo "site in Chromium: all checks passed; screenshots in $work"
