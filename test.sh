#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test (offscreen), lintian on both
# packages included; non-zero on any failure.
# With --sanitize first, the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ instead (a full build of its own, and a slower run); the packaging checks are
# skipped there, since they check the release build's packages. Other arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")"
build=build
if [[ ${1:-} == --sanitize ]]; then
    shift
    build=build-asan
fi
./scripts/setup.sh
if [[ $build == build-asan ]]; then
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPRYNECHAT_SANITIZE=ON >/dev/null
fi
cmake --build "$build" --parallel "$(nproc)"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" "$@"
