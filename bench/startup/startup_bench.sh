#!/usr/bin/env bash
# Start-up and memory against the GTK network tool gnome-nettool, under Xvfb. Starts
# BUILD_DIR/sabrevin and gnome-nettool RUNS times each (default 5), alternating, after one
# unmeasured warm-up start of each, and prints for both the median time from start to a
# viewable window and the resident memory (VmRSS) one second after that window appeared.
# Every start gets a new, empty HOME and XDG_CONFIG_HOME, the C.UTF-8 locale and no session
# bus. As root the whole run is in a network namespace of its own that has only loopback.
# Not a test. Usage: bench/startup/startup_bench.sh BUILD_DIR [RUNS]
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: startup_bench.sh BUILD_DIR [RUNS]}" && pwd) || exit 2
runs=${2:-5}
ours=$build/sabrevin
[ -x "$ours" ] || { echo "no $ours: build the target sabrevin first"; exit 1; }

# The stage outside Xvfb: packages, then the namespace, then the X server.
if [ -z "${SABREVIN_BENCH_STAGE:-}" ]; then
    # shellcheck source=SCRIPTDIR/../../scripts/packages.sh
    . "$here/../../scripts/packages.sh"
    sabrevin_ensure_packages xvfb xauth x11-utils gnome-nettool || exit 1
    if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null; then
        exec env SABREVIN_BENCH_STAGE=netns unshare --net -- "$0" "$build" "$runs"
    fi
    exec env SABREVIN_BENCH_STAGE=x xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
        "$0" "$build" "$runs"
fi
if [ "$SABREVIN_BENCH_STAGE" = netns ]; then
    ip link set lo up
    exec env SABREVIN_BENCH_STAGE=x xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
        "$0" "$build" "$runs"
fi

tmp=$(mktemp -d /tmp/sabrevin-startup.XXXXXX) || exit 2
pid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

# A builtin sleep: read with a timeout on a pipe that never delivers, so polling forks nothing
# but xwininfo itself.
exec {never}<> <(:)
nap() { read -r -t "$1" -u "$never" _; }

# The top-level window whose xwininfo tree line matches $1 and that is viewable; prints its id.
viewable_window() {
    local id
    id=$(xwininfo -root -tree 2>/dev/null | grep -E -m1 -- "$1" | awk '{print $1}')
    [ -n "$id" ] || return 1
    xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' || return 1
    echo "$id"
}

now_us() { local t=${EPOCHREALTIME/[.,]/}; echo "$((10#$t))"; }

# measure NAME PATTERN COMMAND...: sets ms (start to viewable window) and kib (VmRSS one second
# later), or fails when no window comes within 30 s.
measure() {
    local name=$1 pattern=$2 home t0 t1
    shift 2
    home=$(mktemp -d "$tmp/$name.XXXX")
    mkdir -p "$home/config" "$home/runtime"
    chmod 700 "$home/runtime"
    t0=$(now_us)
    env -u DBUS_SESSION_BUS_ADDRESS -u LANGUAGE -u LC_ALL LANG=C.UTF-8 HOME="$home" \
        XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" "$@" \
        >"$home/out.log" 2>&1 &
    pid=$!
    until viewable_window "$pattern" >/dev/null; do
        if ! kill -0 "$pid" 2>/dev/null || [ $(($(now_us) - t0)) -gt 30000000 ]; then
            echo "$name: no window in 30 s; its output:" >&2
            cat "$home/out.log" >&2
            return 1
        fi
        nap 0.005
    done
    t1=$(now_us)
    nap 1
    kib=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
    ms=$(((t1 - t0 + 500) / 1000))
    [ -n "$kib" ] || { echo "$name: ended within a second of its window" >&2; return 1; }
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

ours_title='"Sabrevin - Ping": \("sabrevin"'
anchor_title='"[^"]*Network Tools": \("gnome-nettool"'
anchor=$(command -v gnome-nettool) || { echo "gnome-nettool is missing"; exit 1; }

measure warmup-ours "$ours_title" "$ours" || exit 1
measure warmup-anchor "$anchor_title" "$anchor" || exit 1
ours_ms=() ours_kib=() anchor_ms=() anchor_kib=()
for ((i = 1; i <= runs; i++)); do
    measure ours "$ours_title" "$ours" || exit 1
    ours_ms+=("$ms") ours_kib+=("$kib")
    measure anchor "$anchor_title" "$anchor" || exit 1
    anchor_ms+=("$ms") anchor_kib+=("$kib")
done

om=$(median "${ours_ms[@]}") am=$(median "${anchor_ms[@]}")
ok=$(median "${ours_kib[@]}") ak=$(median "${anchor_kib[@]}")
netns="the machine's network"
[ "$(ip -o link show 2>/dev/null | grep -vc ': lo:')" -eq 0 ] && netns="a loopback-only network namespace"
echo "Start-up under Xvfb ($runs runs each, alternating, after one warm-up run each; $netns)"
printf '%-14s %28s   %s\n' "" "start to viewable window" "VmRSS 1 s later"
printf '%-14s %25s ms   %s MiB   runs: %s ms; %s MiB\n' sabrevin "$om" "$(mib "$ok")" \
    "${ours_ms[*]}" "$(for k in "${ours_kib[@]}"; do mib "$k"; echo -n ' '; done | sed 's/ $//')"
printf '%-14s %25s ms   %s MiB   runs: %s ms; %s MiB\n' gnome-nettool "$am" "$(mib "$ak")" \
    "${anchor_ms[*]}" "$(for k in "${anchor_kib[@]}"; do mib "$k"; echo -n ' '; done | sed 's/ $//')"
verdict() { if [ "$1" -eq 1 ]; then echo met; else echo "NOT met"; fi; }
echo "Goal: start-up no slower than gnome-nettool's median: $(verdict "$(awk -v a="$om" -v b="$am" 'BEGIN {print (a <= b)}')")"
echo "Goal: at most 50 MiB resident: $(verdict "$(awk -v k="$ok" 'BEGIN {print (k <= 50 * 1024)}')")"
