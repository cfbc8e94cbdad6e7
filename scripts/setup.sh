#!/usr/bin/env bash
# Installs what building, testing and packaging PryneChat needs (Debian 12 / Ubuntu) and
# configures build/; run.sh and test.sh build what they need from there.
# With --fuzz it also installs clang and its run-time library for the opt-in fuzzer.
# The browser tests get Debian's chromium and, when node is missing, Debian's nodejs and npm;
# playwright-core comes from npm as tests/web/package-lock.json pins it, without a browser of its own.
# Exits non-zero on any failure; quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake g++ make pkg-config dpkg-dev
    qt6-base-dev libgl-dev
    fonts-ipafont-gothic qt6-translations-l10n
    desktop-file-utils appstream appstream-compose appstream-util lintian debhelper
    libhiredis-dev libsystemd-dev redis-server iproute2
    xvfb xauth dbus-daemon at-spi2-core python3-pyatspi
    qt6-websockets-dev chromium
)
if ! command -v node >/dev/null; then
    packages+=(nodejs npm)
fi
if [[ ${1:-} == --fuzz ]]; then
    packages+=(clang libclang-rt-14-dev)
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm ci only when the pinned playwright-core is not the one installed: it fetches from npm.
wanted=$(cd tests/web && node -p \
    "require('./package-lock.json').packages['node_modules/playwright-core'].version")
installed=$(cd tests/web && node -p "require('./node_modules/playwright-core/package.json').version" \
    2>/dev/null || true)
if [[ $wanted != "$installed" ]]; then
    (cd tests/web && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund \
        --ignore-scripts --loglevel=error)
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
