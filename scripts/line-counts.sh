#!/usr/bin/env bash
# Lines per folder at a commit (default HEAD), the product's folders apart from the tests', and the
# largest product files. The product: C++ (.cpp, .h) and the chat page (relay/web/page). The tests:
# C++, the browser tests (tests/web/*.mjs) and the accessibility test (tests/a11y/*.py).
# Usage: scripts/line-counts.sh [REVISION]
set -euo pipefail
cd "$(dirname "$0")/.."
revision=${1:-HEAD}

count() { # pathspecs... -> total lines
    git grep -c '' "$revision" -- "$@" 2>/dev/null | awk -F: '{ n += $NF } END { print n + 0 }'
}

product=0
for folder in app forms net relay bench fuzz; do
    lines=$(count "$folder/*.cpp" "$folder/*.h" "$folder/*.js" "$folder/*.css" "$folder/*.html")
    printf '%-8s %6d\n' "$folder/" "$lines"
    product=$((product + lines))
done
tests=$(count 'tests/*.cpp' 'tests/*.h' 'tests/web/*.mjs' 'tests/a11y/*.py')
printf '%-8s %6d\n' product "$product" tests/ "$tests"
awk -v t="$tests" -v p="$product" 'BEGIN { printf "tests per product line: %.2f\n", t / p }'
echo "largest product files:"
git grep -c '' "$revision" -- 'app/*.cpp' 'forms/*.cpp' 'net/*.cpp' 'relay/*.cpp' \
    | awk -F: '{ printf "%6d %s\n", $NF, $2 }' | sort -rn | head -6
