#!/usr/bin/env bash
# Builds the .deb, installs it on this machine, checks what it installed, runs the installed relay
# on port 5555 between two clients, then purges the package and checks that nothing is left.
# Needs root (or sudo) and a free port 5555; refuses to run when prynechat is already installed.
# The package is purged again on any failure, so it never stays installed.
#
#   packaging/check-deb.sh            # exit status 0 when every check passed
set -euo pipefail
cd "$(dirname "$0")/.."

package=prynechat
appId=io.github.prynechat.PryneChat
port=5555
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)

step() { echo "check-deb: $*"; }
fail() { echo "check-deb: FAILED: $*" >&2; exit 1; }
installed() { [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) == *" installed" ]]; }

if installed; then
    fail "$package is already installed; remove it first so this check does not replace it"
fi

./scripts/setup.sh >/dev/null
rm -f build/"$package"_*.deb
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/"$package"_*.deb)
step "built $deb"
dpkg-deb -f "$deb" Depends Recommends Section Maintainer

workDir=$(mktemp -d)
relayPid=
cleanUp() {
    [[ -z $relayPid ]] || kill "$relayPid" 2>/dev/null || true
    if installed || [[ -n $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) ]]; then
        "${sudo[@]}" dpkg --purge "$package" >/dev/null || true
    fi
    rm -rf "$workDir"
}
trap cleanUp EXIT

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "./$deb" >/dev/null
installed || fail "$package is not installed after apt-get install"
dpkg -L "$package" >"$workDir/files"
step "installed $(wc -l <"$workDir/files") paths"

expected=(
    /usr/bin/prynechat
    /usr/bin/prynechat-relay
    /usr/share/applications/$appId.desktop
    /usr/share/metainfo/$appId.metainfo.xml
    /usr/share/icons/hicolor/32x32/apps/$appId.png
    /usr/share/icons/hicolor/48x48/apps/$appId.png
    /usr/share/man/man1/prynechat.1
    /usr/share/man/man1/prynechat-relay.1
    /usr/share/doc/$package/README.md
    /usr/lib/systemd/system/prynechat-relay.service
)
for path in "${expected[@]}"; do
    [[ -f $path ]] || fail "missing $path"
done
step "all ${#expected[@]} expected files are in place"

desktop-file-validate "/usr/share/applications/$appId.desktop" || fail "desktop entry does not validate"
appstreamcli validate --no-net "/usr/share/metainfo/$appId.metainfo.xml" >/dev/null \
    || fail "metainfo does not validate"
grep -qx "ExecStart=/usr/bin/prynechat-relay --port 555 --quiet" \
    /usr/lib/systemd/system/prynechat-relay.service || fail "the unit does not start /usr/bin/prynechat-relay"
[[ ! -e /etc/systemd/system/multi-user.target.wants/prynechat-relay.service ]] \
    || fail "the unit was enabled"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/prynechat-relay.service \
        || fail "systemd-analyze verify finds fault with the unit"
fi
if command -v man >/dev/null; then
    man -w prynechat-relay >/dev/null || fail "man finds no prynechat-relay(1)"
fi
step "desktop entry and metainfo validate; the unit verifies, names /usr/bin/prynechat-relay and is not enabled"

# The installed program finds its libraries and opens its start window (on an offscreen screen);
# timeout's status 124 means it was still running after two seconds.
status=0
timeout 2 /usr/bin/prynechat -platform offscreen >"$workDir/window.out" 2>&1 || status=$?
[[ $status -eq 124 ]] || fail "prynechat ended with status $status: $(cat "$workDir/window.out")"
step "the installed prynechat starts and keeps its start window open"

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

"${sudo[@]}" apt-get purge -y -qq "$package" >/dev/null
! installed || fail "$package is still installed after purge"
[[ -z $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) ]] \
    || fail "dpkg still knows $package after purge"
left=0
while read -r path; do
    [[ $path == /. ]] && continue
    # Shared folders such as /usr/bin stay; files and folders of our own must go.
    if [[ -f $path || -L $path ]] || { [[ -d $path ]] && [[ $path == *prynechat* ]]; }; then
        echo "check-deb: left behind: $path" >&2
        left=$((left + 1))
    fi
done <"$workDir/files"
((left == 0)) || fail "$left paths left behind after purge"
ls /var/lib/dpkg/info/"$package".* >/dev/null 2>&1 && fail "dpkg info files left behind"
step "purged; nothing of $package is left"
step "all checks passed"
