#!/usr/bin/env bash
# Builds both .debs from a configured and built build folder into a scratch folder and runs
# lintian on them; fails on any error or warning (informational and pedantic tags are shown).
#
#   packaging/lint-debs.sh [build-folder]      # default: build
set -euo pipefail
buildDir=$(realpath "${1:-build}")
outDir=$(mktemp -d)
trap 'rm -rf "$outDir"' EXIT

# A folder of its own, so that check-deb.sh or a user's cpack in build/ is not disturbed.
cpack -G DEB --config "$buildDir/CPackConfig.cmake" -B "$outDir" >"$outDir/cpack.log" 2>&1 \
    || { cat "$outDir/cpack.log" >&2; exit 1; }
debs=("$outDir"/*.deb)
((${#debs[@]} == 2)) || { echo "lint-debs: expected two packages, got: ${debs[*]}" >&2; exit 1; }
lintian --pedantic --display-info --tag-display-limit 0 --fail-on error,warning "${debs[@]}" \
    2> >(grep -v 'running with root privileges' >&2)
echo "lint-debs: lintian finds no error or warning in ${debs[*]##*/}"
