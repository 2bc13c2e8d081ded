#!/usr/bin/env bash
# Builds the echo lab (client, two routers, a target and a host that ignores echo requests:
# tests/icmp/netns_lib.sh) and runs dialog_bench in the client namespace against them, as root
# with the raw socket. Removes the lab at the end. Usage: run_dialog_bench.sh BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tests/icmp/netns_lib.sh"
build=$1
require_netns
[ -x "$build/dialog_bench" ] || { echo "no $build/dialog_bench: build the target dialog_bench first"; exit 1; }
make_lab
# Hop names are looked up: only in the lab, where no DNS server is, so they fail at once.
mkdir -p "/etc/netns/$LAB_CLIENT"
echo "nameserver 127.0.0.1" > "/etc/netns/$LAB_CLIENT/resolv.conf"
trap 'rm -rf "/etc/netns/$LAB_CLIENT"; rmdir /etc/netns 2>/dev/null; cleanup' EXIT
XDG_CONFIG_HOME=$(mktemp -d) QT_QPA_PLATFORM=offscreen \
    in_ns "$LAB_CLIENT" "$build/dialog_bench" "$LAB_TARGET" "$LAB_QUIET"
