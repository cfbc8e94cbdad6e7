#!/usr/bin/env bash
# Builds both .debs and checks each on its own: installs it on this machine, checks what it
# installed and that it runs, then purges it and checks that nothing is left. The relay package
# also has its unit enabled before the purge, which must leave no link behind, and relays between
# two clients on port 5555.
# Needs root (or sudo) and a free port 5555; refuses to run when either package is already
# installed. A package is purged again on any failure, so it never stays installed.
#
#   packaging/check-deb.sh            # cpack's packages; exit status 0 when every check passed
#   packaging/check-deb.sh FOLDER     # the two packages in FOLDER, e.g. dpkg-buildpackage's ..
set -euo pipefail
debFolder=${1:+$(realpath "$1")}
cd "$(dirname "$0")/.."

appId=io.github.prynechat.PryneChat
port=5555
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)

step() { echo "check-deb: $*"; }
fail() { echo "check-deb: FAILED: $*" >&2; exit 1; }
known() { [[ -n $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) ]]; }
installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) == *" installed" ]]; }

for package in prynechat prynechat-relay; do
    if installed "$package"; then
        fail "$package is already installed; remove it first so this check does not replace it"
    fi
done

if [[ -z $debFolder ]]; then
    ./scripts/setup.sh >/dev/null
    cmake --build build --parallel "$(nproc)" >/dev/null
    rm -f build/prynechat_*.deb build/prynechat-relay_*.deb
    (cd build && cpack -G DEB >/dev/null)
    debFolder=$PWD/build
fi
guiDeb=$(ls "$debFolder"/prynechat_*.deb)
relayDeb=$(ls "$debFolder"/prynechat-relay_*.deb)

workDir=$(mktemp -d)
relayPid=
cleanUp() {
    [[ -z $relayPid ]] || kill "$relayPid" 2>/dev/null || true
    for package in prynechat prynechat-relay; do
        ! known "$package" || "${sudo[@]}" dpkg --purge "$package" >/dev/null || true
    done
    rm -rf "$workDir"
}
trap cleanUp EXIT
export DEBIAN_FRONTEND=noninteractive

for deb in "$guiDeb" "$relayDeb"; do
    step "built $deb"
    dpkg-deb -f "$deb" Package Version Depends Recommends Section
done
# Neither package needs the other, and the relay needs no display library.
dpkg-deb -f "$guiDeb" Depends | grep -q prynechat-relay && fail "prynechat depends on prynechat-relay"
dpkg-deb -f "$relayDeb" Depends | grep -q 'prynechat\b' && fail "prynechat-relay depends on prynechat"
dpkg-deb -f "$relayDeb" Depends | grep -Eq 'qt6gui|qt6widgets|libx|libgl' \
    && fail "prynechat-relay depends on display libraries: $(dpkg-deb -f "$relayDeb" Depends)"
step "the packages are independent; the relay depends on no display library"

# installPackage DEB PACKAGE: installs one package alone and lists its files into $workDir.
installPackage() {
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$1" >/dev/null
    installed "$2" || fail "$2 is not installed after apt-get install"
    dpkg -L "$2" >"$workDir/$2.files"
    step "installed $2: $(wc -l <"$workDir/$2.files") paths"
}

# expectFiles PATH...: every path is an installed file.
expectFiles() {
    for path in "$@"; do
        [[ -f $path ]] || fail "missing $path"
    done
    step "all $# expected files are in place"
}

# purgePackage PACKAGE: purges it and checks that none of its files or folders are left.
purgePackage() {
    "${sudo[@]}" apt-get purge -y -qq "$1" >/dev/null
    ! known "$1" || fail "dpkg still knows $1 after purge"
    local left=0
    while read -r path; do
        [[ $path == /. ]] && continue
        # Shared folders such as /usr/bin stay (so does /lib, a link to usr/lib on a merged
        # /usr); files, links and folders of our own must go.
        if { [[ -d $path ]] && [[ $path == *prynechat* ]]; } \
            || { [[ ! -d $path ]] && [[ -e $path || -L $path ]]; }; then
            echo "check-deb: left behind: $path" >&2
            left=$((left + 1))
        fi
    done <"$workDir/$1.files"
    ((left == 0)) || fail "$left paths of $1 left behind after purge"
    ls /var/lib/dpkg/info/"$1".* >/dev/null 2>&1 && fail "dpkg info files of $1 left behind"
    step "purged; nothing of $1 is left"
}

# The windows.
installPackage "$guiDeb" prynechat
expectFiles /usr/bin/prynechat \
    /usr/share/applications/$appId.desktop \
    /usr/share/metainfo/$appId.metainfo.xml \
    /usr/share/icons/hicolor/{32x32,48x48,64x64,128x128}/apps/$appId.png \
    /usr/share/icons/hicolor/scalable/apps/$appId.svg \
    /usr/share/man/man1/prynechat.1.gz \
    /usr/share/doc/prynechat/{copyright,changelog.Debian.gz,README.md,protocol.md}
[[ ! -e /usr/bin/prynechat-relay ]] || fail "prynechat installed the relay too"
desktop-file-validate "/usr/share/applications/$appId.desktop" || fail "desktop entry does not validate"
appstreamcli validate --no-net "/usr/share/metainfo/$appId.metainfo.xml" >/dev/null \
    || fail "metainfo does not validate"
if command -v man >/dev/null; then
    man -w prynechat >/dev/null || fail "man finds no prynechat(1)"
fi
# The installed program finds its libraries and opens its start window (on an offscreen screen);
# timeout's status 124 means it was still running after two seconds.
status=0
timeout 2 /usr/bin/prynechat -platform offscreen >"$workDir/window.out" 2>&1 || status=$?
[[ $status -eq 124 ]] || fail "prynechat ended with status $status: $(cat "$workDir/window.out")"
step "the installed prynechat starts and keeps its start window open"
purgePackage prynechat

# The relay.
installPackage "$relayDeb" prynechat-relay
units=(prynechat-relay.service prynechat-relay.socket)
unitDir=$(pkg-config --variable=systemdsystemunitdir systemd)
expectFiles /usr/bin/prynechat-relay \
    "${units[@]/#/$unitDir/}" \
    /usr/share/man/man1/prynechat-relay.1.gz \
    /usr/share/doc/prynechat-relay/{copyright,changelog.Debian.gz,README.md,protocol.md} \
    /usr/share/doc/prynechat-relay/examples/prynechat-relay-bridge.conf.example
[[ ! -e /usr/bin/prynechat ]] || fail "prynechat-relay installed the windows too"
grep -qx "ExecStart=/usr/bin/prynechat-relay --port 555 --quiet" \
    "$unitDir/prynechat-relay.service" || fail "the unit does not start /usr/bin/prynechat-relay"
wants=/etc/systemd/system/multi-user.target.wants/prynechat-relay.service
[[ ! -e $wants && ! -L $wants ]] || fail "the unit was enabled"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "${units[@]/#/$unitDir/}" \
        || fail "systemd-analyze verify finds fault with the units"
fi
if command -v man >/dev/null; then
    man -w prynechat-relay >/dev/null || fail "man finds no prynechat-relay(1)"
fi
step "the unit verifies, names /usr/bin/prynechat-relay and is not enabled"

# The frame: a 4-byte big-endian byte count, then the UTF-8 text.
frame() {
    local count
    count=$(printf '%s' "$1" | wc -c)
    printf "\\x$(printf %02x $((count >> 24 & 255)))\\x$(printf %02x $((count >> 16 & 255)))"
    printf "\\x$(printf %02x $((count >> 8 & 255)))\\x$(printf %02x $((count & 255)))"
    printf '%s' "$1"
}
# Reads one frame's worth of bytes from a descriptor and compares them with the frame of a text.
expectFrame() {
    local descriptor=$1 who=$2 text=$3 wanted got
    wanted=$(frame "$text" | od -An -tx1 | tr -d ' \n')
    got=$(timeout 5 head -c "$(frame "$text" | wc -c)" <&"$descriptor" | od -An -tx1 | tr -d ' \n')
    [[ $got == "$wanted" ]] || fail "$who expected the frame of '$text', got bytes '$got'"
}

env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/prynechat-relay --port "$port" >"$workDir/relay.out" 2>&1 &
relayPid=$!
for _ in $(seq 50); do
    grep -q "relaying on" "$workDir/relay.out" && break
    kill -0 "$relayPid" 2>/dev/null || fail "the relay ended: $(cat "$workDir/relay.out")"
    sleep 0.1
done
grep -q "relaying on .*:$port\$" "$workDir/relay.out" || fail "no start line: $(cat "$workDir/relay.out")"
step "$(head -1 "$workDir/relay.out")"

exec {first}<>"/dev/tcp/127.0.0.1/$port"
frame $'1@first     |ログイン\r\n' >&"$first"
expectFrame "$first" first $'1@first     |ログイン\r\n'
exec {second}<>"/dev/tcp/127.0.0.1/$port"
frame $'2@second    |ログイン\r\n' >&"$second"
expectFrame "$second" second $'2@second    |ログイン\r\n'
expectFrame "$first" first $'2@second    |ログイン\r\n'
frame $'1@first     |こんにちは\r\n' >&"$first"
expectFrame "$first" first $'1@first     |こんにちは\r\n'
expectFrame "$second" second $'1@first     |こんにちは\r\n'
step "the installed relay relays between two clients on port $port, the sender included"

kill -TERM "$relayPid"
status=0
wait "$relayPid" || status=$?
relayPid=
[[ $status -eq 0 ]] || fail "the relay ended with status $status on SIGTERM"
# The closed connection reads as end of file.
[[ -z $(timeout 5 head -c 1 <&"$first") ]] || fail "first still connected after SIGTERM"
exec {first}>&- {second}>&-
grep -q "こんにちは" "$workDir/relay.out" || fail "the relay did not print the relayed text"

step "SIGTERM ended the relay with status 0 and closed the connections"

# An admin enables the service; purging the package must take the link with it.
systemctl enable prynechat-relay.service >/dev/null 2>&1 || deb-systemd-helper enable prynechat-relay.service
[[ -L $wants ]] || fail "enabling the unit made no link $wants"
purgePackage prynechat-relay
[[ ! -e $wants && ! -L $wants ]] || fail "purge left $wants behind"
step "the link of the enabled unit went with the purge"
step "all checks passed"
