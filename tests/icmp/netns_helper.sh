#!/usr/bin/env bash
# The helper as the privileged half, in a network namespace of its own with loopback and a silent
# address (a neighbour that never answers, on a veth link nobody listens on): icmp_helper_probe drives the real binary as
# root, which lets it create its raw sockets. Usage: netns_helper.sh BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/netns_lib.sh"

build=$1
require_netns
ns="sbv-$$-helper"
make_ns "$ns"
ip -n "$ns" link add q0 type veth peer name q1 || exit 1
ip -n "$ns" addr add 10.99.0.1/24 dev q0
ip -n "$ns" link set q0 up
ip -n "$ns" link set q1 up
ip -n "$ns" neigh add 10.99.0.2 lladdr 02:00:00:00:00:02 dev q0 nud permanent
in_ns "$ns" "$build/icmp_helper_probe" "$build/sabrevin-icmp-helper" 10.99.0.2
