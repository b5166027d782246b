#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A page of another site, opened in headless Chromium, posts reports and places to the JSON API
# the way any page can without asking (fetch with mode 'no-cors', a JSON text sent as
# text/plain): the service stores none of them. A page of an origin the operator lists
# (--cors-origin) writes through the same API after the browser's preflight, which shows that
# the page's requests do reach the service.
# Usage: check-cross-site-in-chromium.sh ZUNO-LOOKUPD
set -euo pipefail

lookupd=$1
. "$(dirname "$0")/../resources/checks.sh"
make_work

# One folder served under two names, two origins: http://localhost:PORT (another site) and
# http://127.0.0.1:PORT (the listed origin).
pages=$(free_port)
mkdir "$work/pages"
python3 -m http.server --bind 127.0.0.1 --directory "$work/pages" "$pages" >"$work/pages.log" 2>&1 &
pids+=($!)
start_lookupd "$work/lookupd.log" --access-log --database "$work/labels.sqlite3" \
  --cors-origin "http://127.0.0.1:$pages"
pids+=("$started_pid")
site=http://$started_address

cat >"$work/pages/post.html" <<PAGE
<!doctype html>
<meta charset="utf-8">
<title>posting</title>
<p id="state">waiting</p>
<script>
const site = "$site", mode = new URLSearchParams(location.search).get("mode");
const send = (path, fields) => fetch(site + path, mode === "cors"
  ? {method: "POST", mode: "cors", headers: {"Content-Type": "application/json"}, body: JSON.stringify(fields)}
  : {method: "POST", mode: "no-cors", body: JSON.stringify(fields)});
const number = mode === "cors" ? "13900139000" : "13800138000";
Promise.allSettled([
  send("/api/v1/reports", {number, category: "诈骗电话", comment: "来自 " + location.host}),
  send("/api/v1/places", {number: mode === "cors" ? "19912340000" : "19912345678", province: "广东省"}),
]).then(results => {
  document.getElementById("state").textContent =
    "done " + results.map(r => r.status === "fulfilled" ? r.value.type + ":" + r.value.status : "failed").join(" ");
});
</script>
PAGE
for _ in $(seq 50); do curl -fs -o /dev/null "http://127.0.0.1:$pages/post.html" && break; sleep 0.1; done

browse() {
  timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$(mktemp -d "$work/profile.XXXXXX")" --virtual-time-budget=10000 \
    --dump-dom "$1" 2>>"$work/chromium.log"
}

echo "== a page of another site, no-cors"
dom=$(browse "http://localhost:$pages/post.html?mode=no-cors") || fail "chromium failed"
grep -o 'id="state">[^<]*' <<<"$dom" || true
grep -q 'id="state">done opaque:0 opaque:0' <<<"$dom" || fail "the page's posts did not end: $dom"

echo "== a page of the listed origin, after its preflight"
dom=$(browse "http://127.0.0.1:$pages/post.html?mode=cors") || fail "chromium failed"
grep -o 'id="state">[^<]*' <<<"$dom" || true
grep -q 'id="state">done cors:201 cors:201' <<<"$dom" || fail "the listed origin's posts: $dom"

sleep 0.5
grep '"\(POST\|OPTIONS\) /api/v1/' "$work/lookupd.log" || true
# What the browser sent, as the service answered it: the other site's posts arrived and were
# refused; the listed origin's preflights and posts were taken.
[ "$(grep -c '"POST /api/v1/reports HTTP/1.1" 403 ' "$work/lookupd.log")" = 1 ] ||
  fail "the other site's report was not refused with 403"
[ "$(grep -c '"POST /api/v1/places HTTP/1.1" 403 ' "$work/lookupd.log")" = 1 ] ||
  fail "the other site's place was not refused with 403"
[ "$(grep -c '"OPTIONS /api/v1/[a-z]* HTTP/1.1" 204 ' "$work/lookupd.log")" = 2 ] ||
  fail "the listed origin's preflights were not answered 204"
# And the store holds what the listed origin sent, nothing of the other site's.
shown=$("$lookupd" labels show 13800138000 --database "$work/labels.sqlite3" 2>&1)
grep -q '诈骗电话' <<<"$shown" && fail "the other site's report was stored: $shown"
shown=$("$lookupd" labels show 13900139000 --database "$work/labels.sqlite3" 2>&1)
grep -q '诈骗电话' <<<"$shown" || fail "the listed origin's report was not stored: $shown"

finish_checks
echo "cross-site posts in Chromium: all checks passed"
