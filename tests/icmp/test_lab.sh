#!/usr/bin/env bash
# The echo module on the real kernel, in the lab of tests/lab.sh (make_lab: client, two routers,
# the target with a second address that answers from the first, a quiet host), run by
# icmp_net_probe in the client namespace:
#   raw     root, ping sockets refused: the module's own raw sockets
#   dgram   nobody, ping sockets admitted for nobody's group
#   helper  nobody, ping sockets refused, the helper with cap_net_raw+ep
#   setup   how a handle is refused: by nobody with no way allowed; the helper alone over its
#           socket pair, as root; after a ping socket that cannot be set up (nobody, so the raw
#           socket and the helper are tried and refused too); from a helper that never answers
# Usage: test_lab.sh MODE BUILD_DIR
set -u
. "$(cd "$(dirname "$0")" && pwd)/../lab.sh"
require_netns
require_command nft "nftables"

make_lab
lab_answer_from_other_address
set_sysctl "$LAB_CLIENT" net.ipv4.ping_group_range "1 0"
stage "$2"
module=$STAGE/sabrevin-icmp.so
root() { in_ns "$LAB_CLIENT" "$STAGE/icmp_net_probe" "$@"; }
nobody() {
    in_ns "$LAB_CLIENT" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$STAGE/icmp_net_probe" "$@"
}

case "$1" in
raw | dgram | helper)
    [ "$1" = dgram ] && set_sysctl "$LAB_CLIENT" net.ipv4.ping_group_range "$NOBODY_GID $NOBODY_GID"
    [ "$1" = helper ] && { setcap cap_net_raw+ep "$STAGE/sabrevin-icmp-helper" || skip "no setcap"; }
    "$([ "$1" = raw ] && echo root || echo nobody)" echo "$module" "$1" "$LAB_R1" "$LAB_R2" \
        "$LAB_TARGET" "$LAB_UNROUTABLE" "$LAB_QUIET" "$LAB6_R1" "$LAB6_R2" "$LAB6_TARGET" \
        "$LAB6_UNROUTABLE" "$LAB6_QUIET" "$LAB_OTHER"
    ;;
setup)
    nobody refused "$module" && root helper "$STAGE/sabrevin-icmp-helper" "$LAB_QUIET" || exit 1
    set_sysctl "$LAB_CLIENT" net.ipv4.ping_group_range "0 $NOBODY_GID"
    nobody fallback "$module" || exit 1
    set_sysctl "$LAB_CLIENT" net.ipv4.ping_group_range "1 0"
    printf '#!/bin/sh\nexec /bin/sleep 30\n' >"$STAGE/sabrevin-icmp-helper"
    nobody stalled "$module"
    ;;
*) die "unknown mode $1" ;;
esac
