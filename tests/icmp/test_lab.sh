#!/usr/bin/env bash
# The echo module against a lab of network namespaces: client, two routers, target, a quiet host
# that ignores echo requests, and a slow host that answers 50 ms late. Time-to-live 1 and 2 must
# give the routers as "TTL expired", 3 the target; an unroutable destination the first router
# as "net unreachable"; the quiet host a 0 after the time-out; the slow host its late reply, not
# the false answers it sends first, and never the late reply of a request already given up; two
# traces at once each their own answers; and a system ping to the target running at the same
# time must keep all its replies while ours keep theirs. The target's second address answers
# from the first: that reply is ours, from the first address, as the system ping also sees it.
#   raw     root, ping sockets refused
#   dgram   nobody, ping sockets admitted for nobody's group in the client namespace
#   helper  nobody, ping sockets refused, the helper with cap_net_raw+ep
# Usage: test_lab.sh MODE BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/netns_lib.sh"

mode=$1
build=$2
require_netns
require_command ping "iputils-ping"
require_command nft "nftables"
[ "$mode" = raw ] || require_command setpriv "util-linux"
[ "$mode" = helper ] && require_command setcap "libcap2-bin"

make_lab
lab_answer_from_other_address
client=$LAB_CLIENT
run=()
module="$build/sabrevin-icmp.so"
probe="$build/icmp_net_probe"
case "$mode" in
raw)
    set_sysctl "$client" net.ipv4.ping_group_range "1 0"
    ;;
dgram)
    set_sysctl "$client" net.ipv4.ping_group_range "$NOBODY_GID $NOBODY_GID"
    stage "$build"
    run=(setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups --)
    module="$STAGE/sabrevin-icmp.so"
    probe="$STAGE/icmp_net_probe"
    ;;
helper)
    set_sysctl "$client" net.ipv4.ping_group_range "1 0"
    stage "$build"
    setcap cap_net_raw+ep "$STAGE/sabrevin-icmp-helper" || skip "setcap does not work here"
    run=(setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups --)
    module="$STAGE/sabrevin-icmp.so"
    probe="$STAGE/icmp_net_probe"
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac

status=0
# The lab's other address as the system's ping sees it: the reply of another address.
if in_ns "$client" ping -n -c 1 -W 2 "$LAB_OTHER" 2>&1 |
    grep -q "from $LAB_TARGET: .*DIFFERENT ADDRESS"; then
    echo "ok   the system's ping to $LAB_OTHER is answered from $LAB_TARGET"
else
    echo "FAIL the system's ping to $LAB_OTHER is not answered from $LAB_TARGET"
    status=1
fi
# The system's ping -6 as the oracle of the IPv6 lab: the target answers, router 1 is hop 1.
if in_ns "$client" ping -6 -n -c 1 -W 2 "$LAB6_TARGET" 2>&1 | grep -q ' 1 received' &&
    in_ns "$client" ping -6 -n -c 1 -W 2 -t 1 "$LAB6_TARGET" 2>&1 | grep -q "From $LAB6_R1 "; then
    echo "ok   the system's ping -6 reaches $LAB6_TARGET, and with hop limit 1 hears $LAB6_R1"
else
    echo "FAIL the system's ping -6 does not see the IPv6 lab as built"
    status=1
fi
# A flood ping beside the lab's checks (30 requests in flight among them): it must keep all its
# replies while ours keep theirs.
floodlog=$(mktemp /tmp/sabrevin-icmp-flood.XXXXXX)
in_ns "$client" ping -n -q -f -i 0.001 -c 5000 -W 2 "$LAB_TARGET" >"$floodlog" 2>&1 &
floodpid=$!
BACKGROUND+=("$floodpid")
start_slow_responder "$build/icmp_net_probe" 50 30 decoys
in_ns "$client" "${run[@]}" "$probe" lab "$module" "$mode" "$LAB_R1" "$LAB_R2" "$LAB_TARGET" \
    "$LAB_UNROUTABLE" "$LAB_QUIET" "$LAB_SLOW" "$LAB_OTHER" || status=1
in_ns "$client" "${run[@]}" "$probe" lab6 "$module" "$mode" "$LAB6_R1" "$LAB6_R2" \
    "$LAB6_TARGET" "$LAB6_UNROUTABLE" "$LAB6_QUIET" || status=1
wait "$floodpid"
forget_background "$floodpid"
if grep -q ' 5000 received' "$floodlog"; then
    echo "ok   a flood ping beside them kept all its replies: $(grep received "$floodlog")"
else
    echo "FAIL the flood ping beside them lost replies:"
    cat "$floodlog"
    status=1
fi
rm -f "$floodlog"

# The system's ping and ours to the same target at the same time: 150 requests each.
pinglog=$(mktemp /tmp/sabrevin-icmp-ping.XXXXXX)
in_ns "$client" ping -n -q -c 150 -i 0.005 -W 2 "$LAB_TARGET" >"$pinglog" 2>&1 &
pingpid=$!
BACKGROUND+=("$pingpid")
in_ns "$client" "${run[@]}" "$probe" burst "$module" "$mode" "$LAB_TARGET" 150 || status=1
wait "$pingpid"
forget_background "$pingpid"
if grep -q ' 150 received' "$pinglog"; then
    echo "ok   the system's ping kept all its replies: $(grep received "$pinglog")"
else
    echo "FAIL the system's ping lost replies:"
    cat "$pinglog"
    status=1
fi
rm -f "$pinglog"
exit "$status"
