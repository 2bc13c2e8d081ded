#!/usr/bin/env bash
# The echo module against a lab of network namespaces (make_lab of tests/lab.sh: client, two routers, target,
# a quiet host, a slow host answering 50 ms late after decoys, and the target's other address),
# over IPv4 and IPv6, with a flood ping beside it that must keep all its replies, then 150 of ours
# beside 150 of the system's ping, each keeping all theirs. The system's ping is the oracle of the
# lab as built, and of the reply from another address.
#   raw     root, ping sockets refused
#   dgram   nobody, ping sockets admitted for nobody's group in the client namespace
#   helper  nobody, ping sockets refused, the helper with cap_net_raw+ep
# Usage: test_lab.sh MODE BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lab.sh"

mode=$1
build=$2
require_netns
require_command ping "iputils-ping"
require_command nft "nftables"
require_command setpriv "util-linux"
require_command setcap "libcap2-bin"

make_lab
lab_answer_from_other_address
client=$LAB_CLIENT
set_sysctl "$client" net.ipv4.ping_group_range "1 0"
stage "$build"
run=(setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups --)
case "$mode" in
raw) run=() ;;
dgram) set_sysctl "$client" net.ipv4.ping_group_range "$NOBODY_GID $NOBODY_GID" ;;
helper) setcap cap_net_raw+ep "$STAGE/sabrevin-icmp-helper" || skip "setcap does not work here" ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
probe=("${run[@]}" "$STAGE/icmp_net_probe")
module="$STAGE/sabrevin-icmp.so"

status=0
check() { # check WHAT COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; status=1; fi
}
oracle() {
    in_ns "$client" ping -n -c 1 -W 2 "$LAB_OTHER" 2>&1 | grep -q "from $LAB_TARGET: .*DIFFERENT ADDRESS" &&
        in_ns "$client" ping -6 -n -c 1 -W 2 -t 1 "$LAB6_TARGET" 2>&1 | grep -q "From $LAB6_R1 "
}
check "the system's ping sees the lab as built" oracle

log=$(mktemp /tmp/sabrevin-icmp-ping.XXXXXX)
in_ns "$client" ping -n -q -f -i 0.001 -c 5000 -W 2 "$LAB_TARGET" >"$log" 2>&1 &
pid=$!
BACKGROUND+=("$pid")
start_slow_responder "$STAGE/icmp_net_probe" 50 30 decoys
in_ns "$client" "${probe[@]}" lab "$module" "$mode" "$LAB_R1" "$LAB_R2" "$LAB_TARGET" \
    "$LAB_UNROUTABLE" "$LAB_QUIET" "$LAB_SLOW" "$LAB_OTHER" || status=1
in_ns "$client" "${probe[@]}" lab "$module" "$mode" "$LAB6_R1" "$LAB6_R2" "$LAB6_TARGET" \
    "$LAB6_UNROUTABLE" "$LAB6_QUIET" || status=1
wait "$pid"
forget_background "$pid"
check "a flood ping beside them kept all its replies" grep -q ' 5000 received' "$log"

in_ns "$client" ping -n -q -c 150 -i 0.005 -W 2 "$LAB_TARGET" >"$log" 2>&1 &
pid=$!
BACKGROUND+=("$pid")
in_ns "$client" "${probe[@]}" burst "$module" "$mode" "$LAB_TARGET" 150 || status=1
wait "$pid"
forget_background "$pid"
check "the system's ping beside ours kept all its replies" grep -q ' 150 received' "$log"
rm -f "$log"
exit "$status"
