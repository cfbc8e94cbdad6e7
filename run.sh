#!/usr/bin/env bash
# Installs what is missing, builds, and starts PryneChat; arguments go to the program (/s, /c, /?).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
exec ./build/prynechat "$@"
