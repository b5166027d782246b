#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Lines of C++, shell and Python in tests/ against the code they test, counted as the project
# counts them: every line that is neither blank nor starts with // or #.
# Usage: tools/count-lines.sh [repository root]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

count() {
    git ls-files -z -- "$@" | { grep -zE '\.(cc|cpp|h|py|sh)$' || true; } | xargs -0r cat |
        { grep -cvE '^[[:space:]]*(//.*|#.*)?$' || true; }
}

tests=$(count tests)
code=$(count src service tools resources deploy)
echo "tests/: $tests lines; src/ service/ tools/ resources/ deploy/: $code lines"
awk -v t="$tests" -v c="$code" \
    'BEGIN { printf "tests are %.1f%% of all (aim: 25-33%%)\n", t + c ? 100 * t / (t + c) : 0 }'
