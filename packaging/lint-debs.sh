#!/usr/bin/env bash
# Checks the packaging from a configured and built build folder, in scratch folders:
# - cpack builds both .debs, and lintian finds no error or warning in them;
# - a plain "cmake --install" installs no Debian-only file, and the units where systemd looks;
# - dpkg-buildpackage -us -uc -b builds the same two packages from a copy of the sources, twice,
#   in two folders, byte for byte the same (SOURCE_DATE_EPOCH from debian/changelog), with
#   dh_installsystemd's maintainer scripts for both units, and lintian finds no error or warning
#   in what it made;
# - the relay package carries the example drop-in that its README names.
# Informational and pedantic tags are shown. Takes a few minutes: the sources are built twice.
#
#   packaging/lint-debs.sh [build-folder]      # default: build
set -euo pipefail
sourceDir=$(realpath "$(dirname "$0")/..")
buildDir=$(realpath "${1:-build}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "lint-debs: FAILED: $*" >&2; exit 1; }
step() { echo "lint-debs: $*"; }
runLintian() {
    lintian --pedantic --display-info --tag-display-limit 0 --fail-on error,warning "$@" \
        2> >(grep -v 'running with root privileges' >&2)
}
# The paths a package installs, one a line, sorted.
contents() { dpkg-deb --fsys-tarfile "$1" | tar -t | sed 's|^\./|/|; s|/$||' | grep . | sort; }

# cpack, in a folder of its own, so that check-deb.sh or a user's cpack in build/ is not disturbed.
mkdir "$scratch/cpack"
cpack -G DEB --config "$buildDir/CPackConfig.cmake" -B "$scratch/cpack" >"$scratch/cpack.log" 2>&1 \
    || { cat "$scratch/cpack.log" >&2; exit 1; }
cpackDebs=("$scratch"/cpack/*.deb)
((${#cpackDebs[@]} == 2)) || fail "cpack made ${cpackDebs[*]##*/}, not two packages"
runLintian "${cpackDebs[@]}"
step "lintian finds no error or warning in ${cpackDebs[*]##*/} (cpack)"

# A plain install: no file of Debian's own, the units where this system's systemd looks.
DESTDIR="$scratch/plain" cmake --install "$buildDir" --prefix /usr >/dev/null
debianOnly=$(cd "$scratch/plain" && find . -path '*/lintian/*' -o -name 'changelog.Debian*' \
    -o -name copyright)
[[ -z $debianOnly ]] || fail "cmake --install installs Debian-only files: $debianOnly"
unitDir=$(pkg-config --variable=systemdsystemunitdir systemd)
for unit in prynechat-relay.service prynechat-relay.socket; do
    [[ -f $scratch/plain$unitDir/$unit ]] || fail "cmake --install put no $unit in $unitDir"
done
step "cmake --install installs no Debian-only file and the units in $unitDir"

# dpkg-buildpackage, twice, each in a copy of the tracked sources in a folder of its own.
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$sourceDir/debian/changelog" -S Timestamp)
export DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)"
# A compiler cache, when the caller uses one, finds the second build's files by relative paths.
export CCACHE_BASEDIR="$scratch"
mkdir "$scratch/sources"
git -C "$sourceDir" ls-files -z --cached --others --exclude-standard \
    | (cd "$sourceDir" && xargs -0 cp --parents -t "$scratch/sources" 2>/dev/null || true)
[[ -x $scratch/sources/debian/rules ]] || fail "no debian/rules in the copy of the sources"
for run in one two; do
    tree="$scratch/$run/prynechat"
    mkdir -p "$scratch/$run"
    cp -a "$scratch/sources" "$tree"
    (cd "$tree" && dpkg-buildpackage -us -uc -b) >"$scratch/$run.log" 2>&1 \
        || { tail -50 "$scratch/$run.log" >&2; fail "dpkg-buildpackage failed (run $run)"; }
    step "dpkg-buildpackage -us -uc -b built $(cd "$scratch/$run" && echo *.deb)"
done
debs=("$scratch"/one/*.deb)
((${#debs[@]} == 2)) || fail "dpkg-buildpackage made ${debs[*]##*/}, not two packages"
for deb in "${debs[@]}"; do
    name=${deb##*/}
    [[ -f $scratch/two/$name ]] || fail "the second build made no $name"
    first=$(sha256sum <"$deb")
    second=$(sha256sum <"$scratch/two/$name")
    if [[ $first != "$second" ]]; then
        diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$scratch/two/$name") >&2 || true
        fail "$name differs between two builds from the same sources"
    fi
    step "$name: the same in both builds, sha256 ${first%% *}"
done

# The same two packages as cpack's: names, versions, sections and files.
for deb in "${debs[@]}"; do
    package=$(dpkg-deb -f "$deb" Package)
    cpackDeb=$(ls "$scratch"/cpack/"${package}"_*.deb)
    for field in Package Version Architecture Section Maintainer Recommends; do
        [[ $(dpkg-deb -f "$deb" "$field") == "$(dpkg-deb -f "$cpackDeb" "$field")" ]] \
            || fail "$package: $field is '$(dpkg-deb -f "$deb" "$field")' from debian/," \
                "'$(dpkg-deb -f "$cpackDeb" "$field")' from cpack"
    done
    diff <(contents "$deb") <(contents "$cpackDeb") >&2 \
        || fail "$package: debian/ and cpack install different files (< debian/, > cpack)"
done
step "debian/ and cpack make the same two packages with the same files"

# dh_installsystemd registers both units without enabling them.
relayDeb=$(ls "$scratch"/one/prynechat-relay_*.deb)
dpkg-deb -e "$relayDeb" "$scratch/control"
for unit in prynechat-relay.service prynechat-relay.socket; do
    # debian-installed: the snippet that enables a unit only where an admin had enabled it.
    grep -q "deb-systemd-helper debian-installed '$unit'" "$scratch/control/postinst" \
        || fail "postinst does not register $unit without enabling it"
    grep -q "deb-systemd-helper purge .*'$unit'" "$scratch/control/postrm" \
        || fail "postrm does not forget $unit"
done
step "dh_installsystemd registers both units and enables neither"

# The README names the example drop-in where the package puts it.
example=/usr/share/doc/prynechat-relay/examples/prynechat-relay-bridge.conf.example
contents "$relayDeb" | grep -qx "$example" || fail "prynechat-relay does not ship $example"
grep -q "$example" "$sourceDir/README.md" || fail "README.md does not name $example"
step "prynechat-relay ships $example, which the README names"

changes=("$scratch"/one/*.changes)
runLintian "${changes[@]}"
step "lintian finds no error or warning in ${changes[*]##*/} and the packages it lists"
