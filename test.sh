#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test (offscreen), lintian on both
# packages included; non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
cmake --build build --parallel "$(nproc)"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure --parallel "$(nproc)" "$@"
