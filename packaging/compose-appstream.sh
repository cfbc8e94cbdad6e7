#!/usr/bin/env bash
# Installs the prynechat package's files into a scratch folder and composes the AppStream catalog
# from them, as a distribution's software centre does; fails when the catalog drops the app (no
# usable icon, invalid metainfo).
#
#   packaging/compose-appstream.sh [build-folder]      # default: build
set -euo pipefail
buildDir=$(realpath "${1:-build}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

DESTDIR="$scratch/root" cmake --install "$buildDir" --prefix /usr --component prynechat >/dev/null
appstreamcli compose --no-net --origin=prynechat --result-root="$scratch/out" "$scratch/root"
# Composing succeeds with an empty catalog too: the app and its icons must be in it.
catalog=$(zcat "$scratch/out/usr/share/swcatalog/xml/prynechat.xml.gz")
grep -q '<id>io.github.prynechat.PryneChat</id>' <<<"$catalog" || { echo "no component" >&2; exit 1; }
grep -q '<icon type="cached" width="128" height="128">' <<<"$catalog" \
    || { echo "no 128 px icon in the catalog" >&2; exit 1; }
