#!/usr/bin/env bash
# Runs COMMAND in the client of a lab of network namespaces (make_router_lab of tests/lab.sh,
# both families, link n 10.203.n.0/24 and fd00:203:n::/64):
#
#   client .1.1 -- r1 .1.2 | .2.1 -- r2 .2.2 | .3.1 -- target .3.2 (and fd00:203:3::6)
#                                            | .4.1 -- quiet .4.2 (ignores echo requests)
#   client 10.203.53.1 -- dns 10.203.53.2 (dnsmasq: r1, r2, target.lab.test with both
#   families, v6only.lab.test with fd00:203:3::6 only, and their pointer records)
#
# r1 has no route to 10.203.9.0/24 or fd00:203:9::/64. The client's /etc/netns resolver is that
# server; its ping_group_range admits nobody, so the echo module takes a raw socket (the echo
# lab tests every socket kind). COMMAND finds the routers' namespaces (for its own iptables and
# sysctls) in SABREVIN_PROBE_LAB_ROUTER_NS, the target's name in SABREVIN_PROBE_LAB_TARGET_NAME.
# Everything is removed on exit; without what the lab needs, "SKIP", 77.
# Usage: run_probe_lab.sh COMMAND [ARGS...]
set -u
export PATH="$PATH:/usr/sbin:/sbin"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LAB_NAME="probe lab" NS_PREFIX=sbvpl WORK_PREFIX="${TMPDIR:-/tmp}/sabrevin-probe-lab"
. "$here/../lab.sh"
P="$NS_PREFIX-$$"
[ $# -ge 1 ] || die "usage: $(basename "$0") COMMAND [ARGS...]"
require_netns
for t in sysctl dnsmasq iptables ip6tables traceroute getent; do
    require_command "$t" "scripts/packages.sh lists the Debian packages"
done

make_router_lab 203 "$P-c" "$P-r1" "$P-r2" "$P-t" "$P-q"
make_ns "$P-d"
link "$P-c" dns0 10.203.53.1/24 "$P-d" eth0 10.203.53.2/24
addr6 "$P-t" eth0 fd00:203:3::6/64
set_sysctl "$P-c" net.ipv4.ping_group_range "1 0"
in_ns "$P-r2" sh -c 'iptables -w 5 -S OUTPUT && ip6tables -w 5 -S OUTPUT' >/dev/null 2>&1 ||
    skip "iptables does not work inside a network namespace here"
start_dnsmasq "$P-d" "listen-address=10.203.53.2
address=/#/
host-record=r1.lab.test,10.203.1.2,fd00:203:1::2
host-record=r2.lab.test,10.203.2.2,fd00:203:2::2
host-record=target.lab.test,10.203.3.2,fd00:203:3::2
host-record=v6only.lab.test,fd00:203:3::6"
lab_etc "$P-c" "nameserver 10.203.53.2
options timeout:1 attempts:2" "127.0.0.1 localhost"
# The whole road once: the client's resolver reaches the server and gets r1's name back.
for ((i = 0; i < 25; i++)); do
    dnsmasq_alive
    in_ns "$P-c" getent hosts 10.203.1.2 2>/dev/null | grep -q ' r1\.lab\.test$' && break
    [ "$i" = 24 ] && die "the lab's DNS server does not answer; log: $(tail -n 5 "$dnsmasq_log")"
    sleep 0.2
done
export SABREVIN_PROBE_LAB_ROUTER_NS="$P-r1 $P-r2" SABREVIN_PROBE_LAB_TARGET_NAME=target.lab.test
run_in_ns "$P-c" "$@" && exit
status=$?
[ "$status" = "$SKIP_CODE" ] || tail -n 10 "$dnsmasq_log" | cut -c1-200 >&2
exit "$status"
