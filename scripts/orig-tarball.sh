#!/usr/bin/env bash
# Makes the upstream tarball that "dpkg-buildpackage -S" needs for the source format 3.0 (quilt):
# prynechat_VERSION.orig.tar.xz beside the source tree (or in FOLDER), from git (HEAD, or
# REVISION), without debian/. The same revision always gives the same bytes.
# Usage: scripts/orig-tarball.sh [REVISION [FOLDER]]
set -euo pipefail
cd "$(dirname "$0")/.."
revision=${1:-HEAD}
version=$(dpkg-parsechangelog -S Version | sed 's/-[^-]*$//')
tarball=${2:-..}/prynechat_$version.orig.tar.xz
git archive --format=tar --prefix="prynechat-$version/" "$revision" -- . ':(exclude)debian' \
    | xz -T1 -9 >"$tarball"
echo "$tarball"
