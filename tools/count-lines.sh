#!/usr/bin/env bash
# Non-blank, non-comment lines of C++, shell and Python: tests/ against the code they test.
# Usage: tools/count-lines.sh [repository root]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

count() {
    local total=0 n file
    while IFS= read -r -d '' file; do
        case "$file" in
        *.cc | *.h | *.cpp | *.in)
            n=$(sed -e 's://.*$::' "$file" | awk '
                /\/\*/ { c = 1 }
                !c && NF { n++ }
                /\*\// { c = 0 }
                END { print n + 0 }') ;;
        *)
            n=$(grep -cvE '^[[:space:]]*(#|$)' "$file" || true) ;;
        esac
        total=$((total + n))
    done < <(git ls-files -z -- "$@" | grep -zE '\.(cc|h|cpp|h\.in|sh|py)$|(^|/)run$' || true)
    echo "$total"
}

tests=$(count tests)
code=$(count src service tools resources deploy)
echo "tests/: $tests lines; src/ service/ tools/ resources/ deploy/: $code lines"
echo "tests are $((100 * tests / (tests + code)))% of all (aim: 25-33%)"
