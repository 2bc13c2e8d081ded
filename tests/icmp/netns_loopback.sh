#!/usr/bin/env bash
# Loopback through each socket kind, in a network namespace of its own:
#   raw      root, ping sockets refused (Debian's default ping_group_range "1 0")
#   dgram    nobody, ping sockets admitted for nobody's group in this namespace only
#   helper   nobody, ping sockets refused, a copy of the helper with cap_net_raw+ep
#   refused  nobody, ping sockets refused, the helper without the capability
#   fallback ping sockets admitted but failing their set-up: root must get a raw socket, nobody
#            the helper's, and nobody without the helper's capability no socket at all
#   stalled  nobody, ping sockets refused, a stand-in helper that never answers
#   protocol the helper alone, as root, driven over its socket pair
# The namespace also holds a silent address: a neighbour that never answers.
# Usage: netns_loopback.sh MODE BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lab.sh"

mode=$1
build=$2
require_netns
require_command setpriv "util-linux"
require_command setcap "libcap2-bin"

ns="sbv-$$-lo"
make_ns "$ns"
ip -n "$ns" link add q0 type veth peer name q1 || exit 1
ip -n "$ns" addr add 10.99.0.1/24 dev q0
ip -n "$ns" link set q0 up
ip -n "$ns" link set q1 up
ip -n "$ns" neigh add 10.99.0.2 lladdr 02:00:00:00:00:02 dev q0 nud permanent
silent=10.99.0.2
set_sysctl "$ns" net.ipv4.ping_group_range "1 0"
stage "$build"
probe() { in_ns "$ns" "$@"; }
nobody() {
    in_ns "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$STAGE/icmp_net_probe" "$@"
}
capable() { setcap cap_net_raw+ep "$STAGE/sabrevin-icmp-helper" || skip "setcap does not work here"; }

case "$mode" in
raw) probe "$build/icmp_net_probe" loopback "$build/sabrevin-icmp.so" raw "$silent" ;;
dgram)
    set_sysctl "$ns" net.ipv4.ping_group_range "$NOBODY_GID $NOBODY_GID"
    nobody loopback "$STAGE/sabrevin-icmp.so" dgram "$silent"
    ;;
helper) capable && nobody loopback "$STAGE/sabrevin-icmp.so" helper "$silent" ;;
refused) nobody refused "$STAGE/sabrevin-icmp.so" ;;
fallback)
    set_sysctl "$ns" net.ipv4.ping_group_range "0 $NOBODY_GID"
    status=0
    probe "$build/icmp_net_probe" fallback "$build/sabrevin-icmp.so" raw || status=1
    nobody fallback "$STAGE/sabrevin-icmp.so" none || status=1
    capable && nobody fallback "$STAGE/sabrevin-icmp.so" helper || status=1
    exit "$status"
    ;;
stalled)
    printf '#!/bin/sh\nexec /bin/sleep 30\n' >"$STAGE/sabrevin-icmp-helper"
    nobody stalled "$STAGE/sabrevin-icmp.so"
    ;;
protocol) probe "$build/icmp_net_probe" helper "$build/sabrevin-icmp-helper" "$silent" ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac
