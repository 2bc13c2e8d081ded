#!/usr/bin/env bash
# Loopback echo through each socket kind, in a network namespace of its own:
#   raw      root, ping sockets refused (Debian's default ping_group_range "1 0")
#   dgram    nobody, with ping_group_range admitting nobody's group in this namespace only
#   helper   nobody, ping sockets refused, a copy of the helper with cap_net_raw+ep
#   refused  nobody, ping sockets refused, the helper without the capability
#   fallback ping sockets admitted but failing their set-up: root must get a raw socket, nobody
#            the helper's, and nobody without the helper's capability no socket at all
#   stalled  nobody, ping sockets refused, a stand-in helper that never answers
# The namespace also holds a silent address (a neighbour that never answers) for time-outs and
# interrupted waits. Usage: netns_loopback.sh MODE BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/netns_lib.sh"

mode=$1
build=$2
require_netns
[ "$mode" = raw ] || require_command setpriv "util-linux"
case "$mode" in helper | fallback) require_command setcap "libcap2-bin" ;; esac

ns="sbv-$$-lo"
make_ns "$ns"
# The silent address: a neighbour entry that never expires, on a link that nobody answers on.
ip -n "$ns" link add q0 type veth peer name q1 || exit 1
ip -n "$ns" addr add 10.99.0.1/24 dev q0
ip -n "$ns" link set q0 up
ip -n "$ns" link set q1 up
ip -n "$ns" neigh add 10.99.0.2 lladdr 02:00:00:00:00:02 dev q0 nud permanent
silent=10.99.0.2

case "$mode" in
raw)
    set_sysctl "$ns" net.ipv4.ping_group_range "1 0"
    in_ns "$ns" "$build/icmp_net_probe" loopback "$build/sabrevin-icmp.so" raw "$silent"
    ;;
dgram)
    set_sysctl "$ns" net.ipv4.ping_group_range "$NOBODY_GID $NOBODY_GID"
    stage "$build"
    in_ns "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$STAGE/icmp_net_probe" loopback "$STAGE/sabrevin-icmp.so" dgram "$silent"
    ;;
helper)
    set_sysctl "$ns" net.ipv4.ping_group_range "1 0"
    stage "$build"
    setcap cap_net_raw+ep "$STAGE/sabrevin-icmp-helper" || skip "setcap does not work here"
    in_ns "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$STAGE/icmp_net_probe" loopback "$STAGE/sabrevin-icmp.so" helper "$silent"
    ;;
refused)
    set_sysctl "$ns" net.ipv4.ping_group_range "1 0"
    stage "$build"
    in_ns "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$STAGE/icmp_net_probe" refused "$STAGE/sabrevin-icmp.so"
    ;;
fallback)
    # Ping sockets for root's group and nobody's, in this namespace only.
    set_sysctl "$ns" net.ipv4.ping_group_range "0 $NOBODY_GID"
    status=0
    echo "== root"
    in_ns "$ns" "$build/icmp_net_probe" fallback "$build/sabrevin-icmp.so" raw || status=1
    stage "$build"
    echo "== nobody, the helper without its capability"
    in_ns "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$STAGE/icmp_net_probe" fallback "$STAGE/sabrevin-icmp.so" none || status=1
    setcap cap_net_raw+ep "$STAGE/sabrevin-icmp-helper" || skip "setcap does not work here"
    echo "== nobody, the helper with its capability"
    in_ns "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$STAGE/icmp_net_probe" fallback "$STAGE/sabrevin-icmp.so" helper || status=1
    exit "$status"
    ;;
stalled)
    set_sysctl "$ns" net.ipv4.ping_group_range "1 0"
    stage "$build"
    # In the helper's place, a program that holds the socket pair and never writes to it.
    printf '#!/bin/sh\nexec /bin/sleep 30\n' >"$STAGE/sabrevin-icmp-helper"
    chmod 755 "$STAGE/sabrevin-icmp-helper"
    in_ns "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$STAGE/icmp_net_probe" stalled "$STAGE/sabrevin-icmp.so"
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac
