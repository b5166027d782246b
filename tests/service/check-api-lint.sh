#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The OpenAPI document passes Redocly's lint (its recommended rules) with no error; make test-deps
# installs the linter into the checkout.
# Usage: check-api-lint.sh REDOCLY OPENAPI-DOCUMENT
set -euo pipefail
redocly=$1 document=$2
[ -x "$redocly" ] || { echo "FAIL: no $redocly: run make test-deps" >&2; exit 1; }
# The linter's own notices (a banner about Node.js versions) are left out of the log.
if ! out=$("$redocly" lint "$document" 2>&1); then
  grep -v '[║╔╚]' <<<"$out" >&2
  echo "FAIL: redocly lint found errors in $document" >&2
  exit 1
fi
grep -v '[║╔╚]' <<<"$out" | grep -E 'valid|warning' || true
