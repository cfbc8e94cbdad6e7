#!/usr/bin/env bash
# Prints which folder of the product includes which (the layers, with the number of includes) and
# fails on an include that points up: net/ is the bottom; relay/ and forms/ stand on it side by
# side; app/ opens the windows; the benchmarks and the fuzzer are programs of their own that use
# the layers but not app/. Tests may include anything.
# Usage: scripts/include-graph.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A allowed=(
    [net]="net"
    [relay]="net relay"
    [forms]="net forms"
    [app]="net forms app"
    [bench]="net relay forms bench"
    [fuzz]="net relay fuzz"
)
layers=(net relay forms app bench fuzz)

status=0
for layer in "${layers[@]}"; do
    [[ -d $layer ]] || continue
    # file:line:folder for every include of a project header.
    uses=$(grep -rnoE --include='*.cpp' --include='*.h' '^#include "[a-z]+/' "$layer" \
        | sed -E 's/#include "([a-z]+)\/$/\1/' || true)
    counts=$(printf '%s\n' "$uses" | awk -F: 'NF == 3 { n[$3]++ } END {
        for (f in n) printf "%s %d\n", f, n[f] }' | sort | awk '{ printf "%s%s (%d)", sep, $1, $2;
        sep = ", " }')
    printf '%-6s -> %s\n' "$layer" "${counts:-nothing}"
    while IFS=: read -r file line target; do
        [[ -n $target ]] || continue
        if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
            echo "  up: $file:$line includes $target/" >&2
            status=1
        fi
    done <<<"$uses"
done
exit $status
