#!/usr/bin/env bash
# Builds the test lab (client, two routers, target: make_lab of tests/lab.sh), then runs icmp_rtt
# from the client to the target three hops away, over IPv4 and IPv6, once per socket kind: raw as
# root, datagram as nobody with ping sockets admitted, and the helper as nobody. Removes the lab
# at the end. Usage: icmp_rtt.sh BUILD_DIR [COUNT]
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tests/lab.sh"

build=$1
count=${2:-1000}
require_netns
require_command ping "iputils-ping"
require_command setpriv "util-linux"
require_command setcap "libcap2-bin"
[ -x "$build/icmp_rtt" ] || { echo "no $build/icmp_rtt: build the target icmp_rtt first"; exit 1; }

make_lab
stage "$build"
install -m 755 "$build/icmp_rtt" "$STAGE/icmp_rtt"
setcap cap_net_raw+ep "$STAGE/sabrevin-icmp-helper"
nobody=(setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups --)
status=0

# Each kind over IPv4 and over IPv6 (ping -6 then).
run_both() {
    local t
    for t in "$LAB_TARGET" "$LAB6_TARGET"; do
        in_ns "$LAB_CLIENT" "$@" "$STAGE/icmp_rtt" "$STAGE/sabrevin-icmp.so" "$t" "$count" ||
            status=1
    done
}

echo "== raw socket (root)"
set_sysctl "$LAB_CLIENT" net.ipv4.ping_group_range "1 0"
run_both

echo "== the helper's raw socket, through its socket pair (nobody)"
run_both "${nobody[@]}"

echo "== datagram socket (nobody)"
set_sysctl "$LAB_CLIENT" net.ipv4.ping_group_range "$NOBODY_GID $NOBODY_GID"
run_both "${nobody[@]}"
exit $status
