#!/usr/bin/env bash
# Builds the echo lab (client, two routers, a target and a host that ignores echo requests:
# make_lab of tests/lab.sh) and runs dialog_bench in the client namespace against them, as root
# with the raw socket. Removes the lab at the end. Usage: run_dialog_bench.sh BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tests/lab.sh"
build=$1
require_netns
[ -x "$build/dialog_bench" ] || { echo "no $build/dialog_bench: build the target dialog_bench first"; exit 1; }
make_lab
# Hop names are looked up: only in the lab, where no DNS server is, so they fail at once.
lab_etc "$LAB_CLIENT" "nameserver 127.0.0.1"
workdir=$(mktemp -d) # removed by cleanup
XDG_CONFIG_HOME=$workdir QT_QPA_PLATFORM=offscreen \
    in_ns "$LAB_CLIENT" "$build/dialog_bench" "$LAB_TARGET" "$LAB_QUIET"
