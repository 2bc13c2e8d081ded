#!/usr/bin/env bash
# The Trace page beside traceroute -I -n in the echo lab of make_lab of tests/lab.sh, whose router
# 2 is made silent (it drops its Time Exceeded): a trace of 30 hops to a host that never answers
# (the lab's quiet host) and one to the live target behind the silent router, each with a
# time-out of 1 s and of 5 s. traceroute runs with its default 3 queries a hop and with 4 (ours
# asks a silent hop four times). Prints the seconds each took and whether the hops agree.
# Root only; removes the lab at the end.  Usage: trace_bench.sh BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tests/lab.sh"
build=$(cd "$1" && pwd)
require_netns
require_command traceroute traceroute
require_command iptables iptables
[ -x "$build/trace_bench" ] || { echo "no $build/trace_bench: build the target trace_bench first"; exit 1; }
make_lab
in_ns "$LAB_R2_NS" iptables -A OUTPUT -p icmp --icmp-type time-exceeded -j DROP || exit 1
# Hop names are looked up: only in the lab, where no DNS server is, so they fail at once.
lab_etc "$LAB_CLIENT" "nameserver 127.0.0.1"
config=$(mktemp -d)
workdir=$config # removed by cleanup

now() { date +%s.%N; }

# traceroute's hops as "N address" or "N *" (the first answer of a line, else *).
tr_hops() {
    awk '/^ *[0-9]+ / { a = "*"; for (i = 2; i <= NF; i++) if ($i ~ /^[0-9.]+$/ && $(i+1) != "ms") { a = $i; break } print $1, a }'
}

printf '%-38s %7s %9s %9s  %s\n' "route" "timeout" "traceroute" "" "ours (same hops?)"
printf '%-38s %7s %9s %9s\n' "" "" "-q 3" "-q 4"
for t in 1 5; do
    for case in "silent router, host never answers:$LAB_QUIET" "live target behind silent router:$LAB_TARGET"; do
        name=${case%%:*}
        target=${case#*:}
        sleep 1 # routers' rate limits recover between runs
        s=$(now); q3=$(in_ns "$LAB_CLIENT" traceroute -I -n -w "$t" -q 3 -m 30 "$target" | tr_hops); e3=$(now)
        sleep 1
        s4=$(now); in_ns "$LAB_CLIENT" traceroute -I -n -w "$t" -q 4 -m 30 "$target" >/dev/null; e4=$(now)
        sleep 1
        out=$(XDG_CONFIG_HOME=$config XDG_RUNTIME_DIR=$config QT_QPA_PLATFORM=offscreen in_ns "$LAB_CLIENT" "$build/trace_bench" "$target" "$t" 30)
        ours=$(echo "$out" | awk '/^time/ { print $2 }')
        hops=$(echo "$out" | grep -v '^time')
        same=no
        [ "$hops" = "$q3" ] && same=yes
        printf '%-38s %6ss %8.2fs %8.2fs  %6.2fs (%s, %d hops)\n' "$name" "$t" \
            "$(echo "$e3 - $s" | bc)" "$(echo "$e4 - $s4" | bc)" "$ours" "$same" "$(echo "$hops" | wc -l)"
    done
done
