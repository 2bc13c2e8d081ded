#!/usr/bin/env bash
# Runs COMMAND twice in a lab of network namespaces, once with router 2 sending Time Exceeded
# and once with router 2 silent, and exits with the worse status:
#
#   client  10.203.1.1/24 eth0 -- r1 eth0 10.203.1.2/24     COMMAND runs here (ip netns exec)
#           10.203.53.1/24 dns0 -- dns 10.203.53.2/24       dnsmasq, reached from the client only
#   r1      10.203.2.1/24 eth1 -- r2 eth0 10.203.2.2/24     r1 has no route to 10.203.9.0/24
#   r2      10.203.3.1/24 eth1 -- target eth0 10.203.3.2/24
#           10.203.4.1/24 eth2 -- quiet eth0 10.203.4.2/24  quiet ignores echo requests
#
# Dual stack (make_router_lab of tests/lab.sh): link n is also fd00:203:n::/64 with
# the same host numbers (r1 fd00:203:1::2, r2 fd00:203:2::2, target fd00:203:3::2 and a second
# address fd00:203:3::6); r1 has no route to fd00:203:9::/64 either.
#
# Run 1 exports SABREVIN_PROBE_LAB_R2_TIME_EXCEEDED=sent; then r2 gets
# "iptables -A OUTPUT -p icmp --icmp-type time-exceeded -j DROP" (and the same for ICMPv6) and
# run 2 exports "dropped". COMMAND reads the lab from the SABREVIN_PROBE_LAB_* variables below
# and runs in each run the cases meant for that configuration. dnsmasq holds A, AAAA and PTR
# records (in-addr.arpa and ip6.arpa) for r1.lab.test, r2.lab.test (the routers' client-facing
# addresses) and target.lab.test (both families), and AAAA and PTR only for v6only.lab.test
# (the target's second IPv6 address); the client sees
# /etc/netns/<client>/resolv.conf (that server) and hosts (localhost only) as its own.
#
# --ping-socket: net.ipv4.ping_group_range in the client admits root's group, so the echo module
# takes a datagram ICMP socket; without it the range admits nobody and the module takes a raw
# socket (SABREVIN_PROBE_LAB_SOCKET says which).
#
# Nothing touches the machine's own namespace. Everything made here (namespaces, veths, dnsmasq,
# /etc/netns/<client>/, the temp directory) is removed on exit, error or signal; a lab left by a
# run killed outright (SIGKILL on a CTest time-out) is removed by the next run. Without root,
# namespaces, veth pairs, iptables in a namespace, dnsmasq or traceroute: "SKIP: <reason>", 77.
#
# Usage: run_probe_lab.sh [--ping-socket] COMMAND [ARGS...]
set -u
PATH="$PATH:/usr/sbin:/sbin"

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LAB_NAME="probe lab"
NS_PREFIX=sbvpl
WORK_PREFIX="${TMPDIR:-/tmp}/sabrevin-probe-lab"
. "$here/../lab.sh"
P="$NS_PREFIX-$$"
CLIENT_NS="$P-c"
R1_NS="$P-r1"
R2_NS="$P-r2"
TARGET_NS="$P-t"
QUIET_NS="$P-q"
DNS_NS="$P-d"
DNS_IP=10.203.53.2
R1_IP=10.203.1.2 # the address r1 answers the client from
R2_IP=10.203.2.2 # likewise r2
TARGET_IP=10.203.3.2
QUIET_IP=10.203.4.2
UNROUTABLE_IP=10.203.9.9
R1_IP6=fd00:203:1::2
R2_IP6=fd00:203:2::2
TARGET_IP6=fd00:203:3::2
V6ONLY_IP6=fd00:203:3::6 # the target's second address: a name with IPv6 only
UNROUTABLE_IP6=fd00:203:9::9

socket=raw
if [ "${1:-}" = --ping-socket ]; then
    socket=dgram
    shift
fi
[ $# -ge 1 ] || {
    echo "usage: $(basename "$0") [--ping-socket] COMMAND [ARGS...]" >&2
    exit 2
}


# --- What the lab needs -------------------------------------------------------------------
require_netns
find_tool sysctl >/dev/null || skip "needs sysctl (procps)"
find_tool dnsmasq >/dev/null || skip "needs dnsmasq (dnsmasq-base)"
iptables=$(find_tool iptables) || skip "needs iptables"
ip6tables=$(find_tool ip6tables) || skip "needs ip6tables"
traceroute=$(find_tool traceroute) || skip "needs traceroute"
getent=$(find_tool getent) || skip "needs getent (libc-bin)"

# --- The network --------------------------------------------------------------------------
make_router_lab 203 "$CLIENT_NS" "$R1_NS" "$R2_NS" "$TARGET_NS" "$QUIET_NS"
make_ns "$DNS_NS"
link "$CLIENT_NS" dns0 10.203.53.1/24 "$DNS_NS" eth0 "$DNS_IP/24"
addr6 "$TARGET_NS" eth0 "$V6ONLY_IP6/64"
if [ "$socket" = dgram ]; then
    set_sysctl "$CLIENT_NS" net.ipv4.ping_group_range "0 0"
else
    set_sysctl "$CLIENT_NS" net.ipv4.ping_group_range "1 0"
fi
ip netns exec "$R2_NS" "$iptables" -w 5 -S OUTPUT >/dev/null 2>&1 ||
    skip "iptables does not work inside a network namespace here"
ip netns exec "$R2_NS" "$ip6tables" -w 5 -S OUTPUT >/dev/null 2>&1 ||
    skip "ip6tables does not work inside a network namespace here"

# --- The DNS server -----------------------------------------------------------------------
start_dnsmasq "$DNS_NS" "listen-address=$DNS_IP
address=/#/
host-record=r1.lab.test,$R1_IP,$R1_IP6
host-record=r2.lab.test,$R2_IP,$R2_IP6
host-record=target.lab.test,$TARGET_IP,$TARGET_IP6
host-record=v6only.lab.test,$V6ONLY_IP6"
log=$dnsmasq_log
lab_etc "$CLIENT_NS" "# Sabrevin probe lab: the lab's own server, 1 s per try, 2 tries.
nameserver $DNS_IP
options timeout:1 attempts:2" "127.0.0.1 localhost"

# The whole road once: the client's resolver reaches the server and gets r1's name back.
ready=0
for ((i = 0; i < 25; i++)); do
    dnsmasq_alive
    if ip netns exec "$CLIENT_NS" "$getent" hosts "$R1_IP" 2>/dev/null | grep -q ' r1\.lab\.test$'; then
        ready=1
        break
    fi
    sleep 0.2
done
[ "$ready" = 1 ] || die "the lab's DNS server does not answer; log: $(tail -n 5 "$log" 2>/dev/null)"

# --- The runs -----------------------------------------------------------------------------
export SABREVIN_PROBE_LAB_SOCKET="$socket"
export SABREVIN_PROBE_LAB_R1="$R1_IP" SABREVIN_PROBE_LAB_R1_NAME=r1.lab.test
export SABREVIN_PROBE_LAB_R2="$R2_IP" SABREVIN_PROBE_LAB_R2_NAME=r2.lab.test
export SABREVIN_PROBE_LAB_TARGET="$TARGET_IP" SABREVIN_PROBE_LAB_TARGET_NAME=target.lab.test
export SABREVIN_PROBE_LAB_QUIET="$QUIET_IP"
export SABREVIN_PROBE_LAB_UNROUTABLE="$UNROUTABLE_IP"
export SABREVIN_PROBE_LAB_TRACEROUTE="$traceroute"
export SABREVIN_PROBE_LAB_R1_6="$R1_IP6" SABREVIN_PROBE_LAB_R2_6="$R2_IP6"
export SABREVIN_PROBE_LAB_TARGET_6="$TARGET_IP6"
export SABREVIN_PROBE_LAB_V6ONLY="$V6ONLY_IP6" SABREVIN_PROBE_LAB_V6ONLY_NAME=v6only.lab.test
export SABREVIN_PROBE_LAB_UNROUTABLE_6="$UNROUTABLE_IP6"
export SABREVIN_PROBE_LAB_ROUTER_NS="$R1_NS $R2_NS" # for cases that change their sysctls

echo "probe lab: run 1 of 2, r2 sends Time Exceeded ($socket sockets)"
SABREVIN_PROBE_LAB_R2_TIME_EXCEEDED=sent run_in_ns "$CLIENT_NS" "$@"
status1=$?

ip netns exec "$R2_NS" "$iptables" -w 5 -A OUTPUT -p icmp --icmp-type time-exceeded -j DROP ||
    die "cannot make r2 drop its Time Exceeded"
ip netns exec "$R2_NS" "$ip6tables" -w 5 -A OUTPUT -p icmpv6 --icmpv6-type time-exceeded -j DROP ||
    die "cannot make r2 drop its ICMPv6 Time Exceeded"
echo "probe lab: run 2 of 2, r2 drops its Time Exceeded ($socket sockets)"
SABREVIN_PROBE_LAB_R2_TIME_EXCEEDED=dropped run_in_ns "$CLIENT_NS" "$@"
status2=$?

for s in "$status1" "$status2"; do
    if [ "$s" != 0 ] && [ "$s" != "$SKIP_CODE" ]; then
        echo "probe lab: COMMAND exited with $status1 and $status2; the server's log ends:" >&2
        tail -n 10 "$log" 2>/dev/null | cut -c1-200 >&2
        exit 1
    fi
done
[ "$status1" = "$SKIP_CODE" ] && [ "$status2" = "$SKIP_CODE" ] && exit "$SKIP_CODE"
exit 0
