#!/usr/bin/env bash
# Installs what is missing, builds the program it starts, and starts PryneChat; arguments go to the
# program (/s, /c, /?).
# Without a display (neither DISPLAY nor WAYLAND_DISPLAY set) it starts the relay on port 555
# instead; arguments then go to prynechat-relay (--port N, --quiet, --help).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    cmake --build build --parallel "$(nproc)" --target prynechat-relay
    echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset): starting the relay" \
        "build/prynechat-relay on port 555 instead of the start window; Ctrl+C stops it" >&2
    exec ./build/prynechat-relay --port 555 "$@"
fi
cmake --build build --parallel "$(nproc)" --target prynechat
exec ./build/prynechat "$@"
