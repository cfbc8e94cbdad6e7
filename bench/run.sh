#!/usr/bin/env bash
# Measures, side by side in one run, the headless relay (prynechat-relay --quiet), the server
# window (prynechat /s, offscreen, log on), ncat --broker and a lean single-threaded epoll relay
# (bench/EpollRelay.cpp: one shared log, one writev per client and pass; the machine's limit),
# optionally an earlier relay build beside them, and prints Markdown tables: deliveries/s and p99
# latency (medians of the repetitions), the relay's ratios to ncat and to the epoll reference,
# losses, peak RSS and CPU share; then the cost of the server window's log and the client's CPU
# while it waits for its logout echo.
#
# Run it after ./test.sh (which builds everything). The window serves port 555, so it needs root
# or CAP_NET_BIND_SERVICE. Everything stays on 127.0.0.1.
#
# Environment (defaults in brackets): BENCH_CLIENTS ["10 100 300 1000"], BENCH_SIZES ["48 1024"],
# BENCH_WINDOW [8], BENCH_SECONDS [4], BENCH_REPEATS [3], BENCH_NCAT_PORT [5555],
# BENCH_RELAY_PORT [5556], BENCH_EPOLL_PORT [5557], BENCH_OUT [build/bench-results] (raw output of
# every run), BENCH_SERVERS ["relay window ncat epoll"]; add "before" to it with BENCH_BEFORE_RELAY
# set to another prynechat-relay executable (BENCH_BEFORE_PORT [5562]) to compare two builds. The
# bridged and browser cells below name their own; BENCH_WINDOWCOST=0 leaves out the log's costs.
set -euo pipefail
cd "$(dirname "$0")/.."

clientCounts=(${BENCH_CLIENTS:-10 100 300 1000})
sizes=(${BENCH_SIZES:-48 1024})
window=${BENCH_WINDOW:-8}
seconds=${BENCH_SECONDS:-4}
repeats=${BENCH_REPEATS:-3}
windowPort=555
ncatPort=${BENCH_NCAT_PORT:-5555}
relayPort=${BENCH_RELAY_PORT:-5556}
epollPort=${BENCH_EPOLL_PORT:-5557}
beforePort=${BENCH_BEFORE_PORT:-5562}
beforeRelay=${BENCH_BEFORE_RELAY:-}
out=${BENCH_OUT:-build/bench-results}
servers=(${BENCH_SERVERS:-relay window ncat epoll})

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)

# ncat is the relay to compare with; ss (iproute2) tells which process serves a port.
missing=()
command -v ncat >/dev/null || missing+=(ncat)
command -v ss >/dev/null || missing+=(iproute2)
command -v redis-server >/dev/null || missing+=(redis-server) # for the bridged cell
if ((${#missing[@]})); then
    echo "run.sh: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [[ ! -f build/CMakeCache.txt ]]; then
    ./scripts/setup.sh
fi
cmake --build build --parallel "$(nproc)" --target prynechat prynechat-relay prynechat-bench \
    prynechat-epoll-relay prynechat-windowcost >/dev/null

# 1000 clients need 1000 descriptors in the tool and as many in the relay.
hardLimit=$(ulimit -Hn)
if [[ $hardLimit == unlimited || $hardLimit -ge 8192 ]]; then
    ulimit -n 8192
else
    ulimit -n "$hardLimit"
fi

rm -rf "$out"
mkdir -p "$out"
serverPid=

stopServer() {
    if [[ -n $serverPid ]]; then
        kill "$serverPid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$serverPid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$serverPid" 2>/dev/null || true
        wait "$serverPid" 2>/dev/null || true
        serverPid=
    fi
}
trap stopServer EXIT

# The port must be served by the process just started, not by anything else.
waitForListener() {
    local port=$1
    for _ in $(seq 100); do
        if ss -Hltnp "sport = :$port" 2>/dev/null | grep -q "pid=$serverPid,"; then
            return 0
        fi
        kill -0 "$serverPid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

portIsFree() {
    ! ss -Hltn "sport = :$1" 2>/dev/null | grep -q .
}

portOf() {
    case $1 in
    relay) echo "$relayPort" ;;
    window) echo "$windowPort" ;;
    ncat) echo "$ncatPort" ;;
    epoll) echo "$epollPort" ;;
    before) echo "$beforePort" ;;
    esac
}

startServer() {
    local kind=$1 port
    port=$(portOf "$kind")
    portIsFree "$port" || { echo "run.sh: port $port is already in use" >&2; return 1; }
    case $kind in
    relay) ./build/prynechat-relay --quiet --max-per-address 0 --max-joins-per-minute 0 --port "$port" >"$out/server.log" 2>&1 & ;;
    window) QT_QPA_PLATFORM=offscreen ./build/prynechat /s >"$out/server.log" 2>&1 & ;;
    ncat) ncat --nodns --broker --max-conns 4000 --listen 127.0.0.1 "$port" >/dev/null 2>&1 </dev/null & ;;
    epoll) ./build/bench/prynechat-epoll-relay "$port" >"$out/server.log" 2>&1 & ;;
    before) "$beforeRelay" --quiet --port "$port" >"$out/server.log" 2>&1 & ;;
    esac
    serverPid=$!
    waitForListener "$port"
}

# runOne kind clients size repeat: one run on a fresh server, raw output kept.
runOne() {
    local kind=$1 clients=$2 size=$3 repeat=$4
    local file="$out/$kind-n$clients-s$size-r$repeat.txt"
    local port mode=framed
    port=$(portOf "$kind")
    [[ $kind == ncat ]] && mode=lines
    if ! startServer "$kind"; then
        echo "result FAIL" >"$file"
        echo "error the $kind server did not start" >>"$file"
        stopServer
        return
    fi
    ./build/bench/prynechat-bench --port "$port" --mode "$mode" --clients "$clients" \
        --size "$size" --window "$window" --duration "$seconds" --timeout 120 --stall 20 --server-pid "$serverPid" \
        >"$file" 2>&1 || true
    stopServer
}

value() { # value file name
    [[ -f $1 ]] || { echo -; return; }
    awk -v name="$2" '$1 == name { print $2; found = 1 } END { if (!found) print "-" }' "$1"
}

median() { # numbers on standard input, "-" when a run failed to report one
    { grep -v '^-$' || true; } | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else print v[int((NR + 1) / 2)] }'
}

metric() { # metric kind clients size name: median over the repeats
    local kind=$1 clients=$2 size=$3 name=$4
    for repeat in $(seq "$repeats"); do
        value "$out/$kind-n$clients-s$size-r$repeat.txt" "$name"
    done | median
}

failures() { # failures kind clients size: how many repeats did not pass
    local count=0
    for repeat in $(seq "$repeats"); do
        [[ $(value "$out/$1-n$2-s$3-r$repeat.txt" result) == PASS ]] || count=$((count + 1))
    done
    echo "$count"
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b }'
}

human() { # 1234567 -> 1.23M
    awk -v v="$1" 'BEGIN { if (v == "-") print "-"; else if (v >= 1e6) printf "%.2fM", v / 1e6;
        else if (v >= 1e3) printf "%.1fk", v / 1e3; else printf "%d", v }'
}

total=$((${#clientCounts[@]} * ${#sizes[@]} * repeats * ${#servers[@]}))
done=0
for repeat in $(seq "$repeats"); do
    for clients in "${clientCounts[@]}"; do
        for size in "${sizes[@]}"; do
            for kind in "${servers[@]}"; do
                done=$((done + 1))
                printf '\rrun.sh: run %d of %d (%s, N=%s, S=%s)   ' "$done" "$total" "$kind" "$clients" "$size" >&2
                runOne "$kind" "$clients" "$size" "$repeat"
            done
        done
    done
done
echo >&2

status=0
has() { [[ " ${servers[*]} " == *" $1 "* ]]; }
echo "Deliveries/s and p99 latency; W = $window, ${seconds} s per run, median of $repeats runs. relay ="
echo "\`prynechat-relay --quiet\`, window = \`prynechat /s\` (offscreen, log on), ncat = \`ncat --broker\`,"
echo "epoll = bench/EpollRelay.cpp (one thread, the machine's limit)."
echo
echo "| N | S | relay | window | ncat | epoll | relay/ncat | relay/epoll | p99 µs relay | window | ncat | epoll | failed runs relay, window, ncat, epoll | relay lost, misordered | peak RSS MiB relay | window | relay CPU % |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---:|---:|---:|"
for clients in "${clientCounts[@]}"; do
    for size in "${sizes[@]}"; do
        row="| $clients | $size"
        for kind in relay window ncat epoll; do
            row+=" | $(human "$(metric "$kind" "$clients" "$size" deliveries_per_s)")"
        done
        relayRate=$(metric relay "$clients" "$size" deliveries_per_s)
        row+=" | $(ratio "$relayRate" "$(metric ncat "$clients" "$size" deliveries_per_s)")"
        row+=" | $(ratio "$relayRate" "$(metric epoll "$clients" "$size" deliveries_per_s)")"
        for kind in relay window ncat epoll; do
            row+=" | $(metric "$kind" "$clients" "$size" latency_p99_us)"
        done
        failed=()
        for kind in relay window ncat epoll; do
            if has "$kind"; then
                failed+=("$(failures "$kind" "$clients" "$size")")
                [[ $kind == ncat || ${failed[-1]} == 0 ]] || status=1
            else
                failed+=(-)
            fi
        done
        row+=" | ${failed[0]}, ${failed[1]}, ${failed[2]}, ${failed[3]} of $repeats"
        row+=" | $(metric relay "$clients" "$size" lost), $(metric relay "$clients" "$size" misordered)"
        row+=" | $(metric relay "$clients" "$size" server_peak_rss_mib) | $(metric window "$clients" "$size" server_peak_rss_mib)"
        row+=" | $(metric relay "$clients" "$size" server_cpu_percent) |"
        echo "$row"
    done
done
echo
# The targets: the relay at least 85 % and the window at least 75 % of the epoll reference in every
# cell, and, beside an earlier build, no cell more than 5 % slower.
echo "| N | S | relay/epoll | window/epoll | relay/before | relay | before |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
for clients in "${clientCounts[@]}"; do
    for size in "${sizes[@]}"; do
        relayRate=$(metric relay "$clients" "$size" deliveries_per_s)
        epollRate=$(metric epoll "$clients" "$size" deliveries_per_s)
        beforeRate=$(metric before "$clients" "$size" deliveries_per_s)
        echo "| $clients | $size | $(ratio "$relayRate" "$epollRate") | $(ratio "$(metric window "$clients" "$size" deliveries_per_s)" "$epollRate") | $(ratio "$relayRate" "$beforeRate") | $(human "$relayRate") | $(human "$beforeRate") |"
    done
done
echo
echo "Raw output of every run: $out/"

# Bridged cell: two `prynechat-relay --bridge` on one redis-server (no persistence), every second
# client on the second relay, beside one relay. BENCH_BRIDGED=0 leaves it out.
bridgedClients=(${BENCH_BRIDGED_CLIENTS:-10 100})
if [[ ${BENCH_BRIDGED:-1} != 0 ]] && has relay && command -v redis-server >/dev/null; then
    redisPort=${BENCH_REDIS_PORT:-5560}
    bridgePorts=(${BENCH_BRIDGE_PORTS:-5558 5559})
    for repeat in $(seq "$repeats"); do
        for clients in "${bridgedClients[@]}"; do
            printf '\rrun.sh: bridged run (N=%s, S=48, repeat %s)   ' "$clients" "$repeat" >&2
            file="$out/bridged-n$clients-s48-r$repeat.txt"
            pids=()
            redis-server --port "$redisPort" --bind 127.0.0.1 --save "" --appendonly no >"$out/redis.log" 2>&1 &
            pids+=($!)
            serverPid=${pids[0]}
            if waitForListener "$redisPort"; then
                for port in "${bridgePorts[@]}"; do
                    ./build/prynechat-relay --quiet --max-per-address 0 --max-joins-per-minute 0 --port "$port" --bridge "redis://127.0.0.1:$redisPort/bench" >>"$out/server.log" 2>&1 &
                    pids+=($!)
                    serverPid=$!
                    waitForListener "$port" || break
                done
                ./build/bench/prynechat-bench --port "${bridgePorts[0]}" --other-port "${bridgePorts[1]}" --clients "$clients" \
                    --size 48 --window "$window" --duration "$seconds" --timeout 120 --stall 20 --server-pid "${pids[1]}" \
                    >"$file" 2>&1 || true
            fi
            for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
            for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
            serverPid=
        done
    done
    echo >&2
    echo
    echo "Bridged: two relays, N/2 clients each, one Redis, S = 48 (median of $repeats; target: >= 0.5 of one relay, p99 < 10 ms at 10)."
    echo
    echo "| N | deliveries/s one relay | bridged | bridged/one | p99 µs one relay | bridged | bridged failed runs (lost, misordered) |"
    echo "|---:|---:|---:|---:|---:|---:|---|"
    for clients in "${bridgedClients[@]}"; do
        one=$(metric relay "$clients" 48 deliveries_per_s)
        bridged=$(metric bridged "$clients" 48 deliveries_per_s)
        failedBridged=$(failures bridged "$clients" 48)
        [[ $failedBridged == 0 ]] || status=1
        echo "| $clients | $(human "$one") | $(human "$bridged") | $(ratio "$bridged" "$one") | $(metric relay "$clients" 48 latency_p99_us) | $(metric bridged "$clients" 48 latency_p99_us) | $failedBridged of $repeats ($(metric bridged "$clients" 48 lost), $(metric bridged "$clients" 48 misordered)) |"
    done
fi

# Browser cells: the relay's web port (prynechat-relay --web), every client a browser's
# WebSocket ("web"), or every second one ("mixed": one room, one order checked across both
# kinds), beside the same relay's TCP clients and ncat at the same N, alternating; then the
# relay's peak RSS with BENCH_WEB_RSS_CLIENTS browsers. With "before" in BENCH_SERVERS the earlier
# build (BENCH_BEFORE_RELAY) serves browsers in the same rounds ("web before"). BENCH_WEB=0 leaves
# them out.
webClients=(${BENCH_WEB_CLIENTS:-10 100})
webRssClients=${BENCH_WEB_RSS_CLIENTS:-1000}
webPort=${BENCH_WEB_PORT:-5561}
webKinds=(web mixed tcp ncat)
webRssKinds=(web)
if has before && [[ -n $beforeRelay ]]; then
    webKinds+=(before)
    webRssKinds+=(before)
fi
if [[ ${BENCH_WEB:-1} != 0 ]] && has relay; then
    webRun() { # webRun kind clients file
        local kind=$1 clients=$2 file=$3 arguments=() relay=./build/prynechat-relay
        case $kind in
        web) arguments=(--mode websocket --port "$webPort") ;;
        before) arguments=(--mode websocket --port "$webPort") relay=$beforeRelay ;;
        mixed) arguments=(--mode framed --port "$relayPort" --web-port "$webPort") ;;
        tcp) arguments=(--mode framed --port "$relayPort") ;;
        ncat) arguments=(--mode lines --port "$ncatPort") ;;
        esac
        if [[ $kind == ncat ]]; then
            startServer ncat || { echo "result FAIL" >"$file"; stopServer; return; }
        else
            portIsFree "$relayPort" && portIsFree "$webPort" || { echo "result FAIL" >"$file"; return; }
            "$relay" --quiet --max-per-address 0 --max-joins-per-minute 0 --port "$relayPort" --web "127.0.0.1:$webPort" >"$out/server.log" 2>&1 &
            serverPid=$!
            waitForListener "$relayPort" && waitForListener "$webPort" || { echo "result FAIL" >"$file"; stopServer; return; }
        fi
        ./build/bench/prynechat-bench "${arguments[@]}" --clients "$clients" --size 48 --window "$window" \
            --duration "$seconds" --timeout 120 --stall 20 --server-pid "$serverPid" >"$file" 2>&1 || true
        stopServer
    }
    for repeat in $(seq "$repeats"); do
        for clients in "${webClients[@]}"; do
            for kind in "${webKinds[@]}"; do
                printf '\rrun.sh: browser cells (%s, N=%s, repeat %s)   ' "$kind" "$clients" "$repeat" >&2
                webRun "$kind" "$clients" "$out/web-$kind-n$clients-s48-r$repeat.txt"
            done
        done
        for kind in "${webRssKinds[@]}"; do
            printf '\rrun.sh: browser cells (%s, N=%s, repeat %s)   ' "$kind" "$webRssClients" "$repeat" >&2
            webRun "$kind" "$webRssClients" "$out/web-$kind-n$webRssClients-s48-r$repeat.txt"
        done
    done
    echo >&2
    echo
    echo "Browsers: prynechat-relay --web, S = 48, median of $repeats; web = every client a browser's WebSocket,"
    echo "mixed = every second one (one order checked across both kinds), TCP = the same relay's TCP clients,"
    echo "ncat = ncat --broker, web before = browsers on the earlier build. Targets: web >= 2 x ncat and"
    echo ">= 0.5 x TCP; peak RSS with $webRssClients browsers < 150 MiB."
    echo
    echo "| N | web | mixed | TCP | ncat | web before | web/ncat | web/TCP | web/before | p99 µs web | mixed | TCP | failed runs web, mixed, TCP, before (lost, misordered web, mixed) | peak RSS MiB web | before | web CPU % |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|"
    for clients in "${webClients[@]}" "$webRssClients"; do
        row="| $clients"
        for kind in web mixed tcp ncat before; do
            row+=" | $(human "$(metric web-$kind "$clients" 48 deliveries_per_s)")"
        done
        webRate=$(metric web-web "$clients" 48 deliveries_per_s)
        row+=" | $(ratio "$webRate" "$(metric web-ncat "$clients" 48 deliveries_per_s)")"
        row+=" | $(ratio "$webRate" "$(metric web-tcp "$clients" 48 deliveries_per_s)")"
        row+=" | $(ratio "$webRate" "$(metric web-before "$clients" 48 deliveries_per_s)")"
        for kind in web mixed tcp; do
            row+=" | $(metric web-$kind "$clients" 48 latency_p99_us)"
        done
        failed=()
        for kind in web mixed tcp before; do
            if [[ " ${webKinds[*]} " == *" $kind "* ]] && { [[ $clients != "$webRssClients" ]] || [[ " ${webRssKinds[*]} " == *" $kind "* ]]; }; then
                failed+=("$(failures web-$kind "$clients" 48)")
                [[ $kind == before || ${failed[-1]} == 0 ]] || status=1
            else
                failed+=(-)
            fi
        done
        row+=" | ${failed[0]}, ${failed[1]}, ${failed[2]}, ${failed[3]} of $repeats ($(metric web-web "$clients" 48 lost), $(metric web-web "$clients" 48 misordered); $(metric web-mixed "$clients" 48 lost), $(metric web-mixed "$clients" 48 misordered))"
        row+=" | $(metric web-web "$clients" 48 server_peak_rss_mib) | $(metric web-before "$clients" 48 server_peak_rss_mib) | $(metric web-web "$clients" 48 server_cpu_percent) |"
        echo "$row"
    done
fi

if [[ ${BENCH_WINDOWCOST:-1} != 0 ]]; then
    echo
    QT_QPA_PLATFORM=offscreen ./build/bench/prynechat-windowcost 2>/dev/null || status=1
fi
exit "$status"
