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
# Dual stack, as tests/icmp/netns_lib.sh lays its IPv6 lab: link n is also fd00:203:n::/64 with
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
self="$here/$(basename "${BASH_SOURCE[0]}")"
LAB_NAME="probe lab"
. "$here/../netns_etc.sh"

NS_PREFIX=sbvpl
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
WORK_PREFIX="${TMPDIR:-/tmp}/sabrevin-probe-lab"

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
[ "$(id -u)" = 0 ] || skip "needs root to build network namespaces"
find_tool ip >/dev/null || skip "needs ip (iproute2)"
find_tool flock >/dev/null || skip "needs flock (util-linux)"
find_tool sysctl >/dev/null || skip "needs sysctl (procps)"
dnsmasq=$(find_tool dnsmasq) || skip "needs dnsmasq (dnsmasq-base)"
iptables=$(find_tool iptables) || skip "needs iptables"
ip6tables=$(find_tool ip6tables) || skip "needs ip6tables"
traceroute=$(find_tool traceroute) || skip "needs traceroute"
getent=$(find_tool getent) || skip "needs getent (libc-bin)"

sweep_stale_labs

new_ns() {
    ip netns add "$1" 2>/dev/null || skip "cannot create network namespaces here"
    created_ns+=("$1")
    ip -n "$1" link set lo up || die "cannot bring up loopback in $1"
}

# link NS1 IF1 ADDR1/LEN NS2 IF2 ADDR2/LEN: a veth pair between two namespaces.
link() {
    ip -n "$1" link add "$2" type veth peer name "$5" netns "$4" 2>/dev/null ||
        skip "cannot create a veth pair between network namespaces here"
    ip -n "$1" addr add "$3" dev "$2" || die "cannot address $2 in $1"
    ip -n "$4" addr add "$6" dev "$5" || die "cannot address $5 in $4"
    ip -n "$1" link set "$2" up || die "cannot bring up $2 in $1"
    ip -n "$4" link set "$5" up || die "cannot bring up $5 in $4"
}

route() {
    local family=-4
    [[ $3 == *:* ]] && family=-6
    ip -n "$1" "$family" route add "$2" via "$3" || die "cannot add the route to $2 in $1"
}

set_sysctl() {
    ip netns exec "$1" sysctl -qw "$2=$3" || die "cannot set $2 in $1"
}

# --- The network --------------------------------------------------------------------------
for ns in "$CLIENT_NS" "$R1_NS" "$R2_NS" "$TARGET_NS" "$QUIET_NS" "$DNS_NS"; do
    new_ns "$ns"
    # Link-local addresses too come up at once: a router whose own is still tentative cannot
    # resolve its neighbours, which holds the first IPv6 packets for seconds.
    set_sysctl "$ns" net.ipv6.conf.default.accept_dad 0
done
link "$CLIENT_NS" eth0 10.203.1.1/24 "$R1_NS" eth0 "$R1_IP/24"
link "$CLIENT_NS" dns0 10.203.53.1/24 "$DNS_NS" eth0 "$DNS_IP/24"
link "$R1_NS" eth1 10.203.2.1/24 "$R2_NS" eth0 "$R2_IP/24"
link "$R2_NS" eth1 10.203.3.1/24 "$TARGET_NS" eth0 "$TARGET_IP/24"
link "$R2_NS" eth2 10.203.4.1/24 "$QUIET_NS" eth0 "$QUIET_IP/24"
route "$CLIENT_NS" default "$R1_IP"
route "$R1_NS" 10.203.3.0/24 "$R2_IP"
route "$R1_NS" 10.203.4.0/24 "$R2_IP"
route "$R2_NS" default 10.203.2.1
route "$TARGET_NS" default 10.203.3.1
route "$QUIET_NS" default 10.203.4.1
for ns in "$R1_NS" "$R2_NS"; do
    set_sysctl "$ns" net.ipv4.ip_forward 1
    # No rate limit on Time Exceeded and Unreachable: our trace and traceroute ask the same
    # routers within one second. (icmp_ratelimit=0 would silence the no-route error instead.)
    set_sysctl "$ns" net.ipv4.icmp_ratemask 0
done
set_sysctl "$QUIET_NS" net.ipv4.icmp_echo_ignore_all 1
if [ "$socket" = dgram ]; then
    set_sysctl "$CLIENT_NS" net.ipv4.ping_group_range "0 0"
else
    set_sysctl "$CLIENT_NS" net.ipv4.ping_group_range "1 0"
fi
ip netns exec "$R2_NS" "$iptables" -w 5 -S OUTPUT >/dev/null 2>&1 ||
    skip "iptables does not work inside a network namespace here"

# addr6 NS IF ADDR/LEN: an IPv6 address usable at once (no duplicate address detection).
addr6() {
    ip -n "$1" addr add "$3" dev "$2" nodad || die "cannot address $2 in $1 with $3"
}
addr6 "$CLIENT_NS" eth0 fd00:203:1::1/64
addr6 "$R1_NS" eth0 "$R1_IP6/64"
addr6 "$R1_NS" eth1 fd00:203:2::1/64
addr6 "$R2_NS" eth0 "$R2_IP6/64"
addr6 "$R2_NS" eth1 fd00:203:3::1/64
addr6 "$TARGET_NS" eth0 "$TARGET_IP6/64"
addr6 "$TARGET_NS" eth0 "$V6ONLY_IP6/64"
addr6 "$R2_NS" eth2 fd00:203:4::1/64
addr6 "$QUIET_NS" eth0 fd00:203:4::2/64
route "$CLIENT_NS" default "$R1_IP6"
route "$R1_NS" fd00:203:3::/64 "$R2_IP6"
route "$R1_NS" fd00:203:4::/64 "$R2_IP6"
route "$R2_NS" default fd00:203:2::1
route "$TARGET_NS" default fd00:203:3::1
route "$QUIET_NS" default fd00:203:4::1
for ns in "$R1_NS" "$R2_NS"; do
    set_sysctl "$ns" net.ipv6.conf.all.forwarding 1
    set_sysctl "$ns" net.ipv6.icmp.ratelimit 0 # no pause between a router's errors
done
set_sysctl "$QUIET_NS" net.ipv6.icmp.echo_ignore_all 1
ip netns exec "$R2_NS" "$ip6tables" -w 5 -S OUTPUT >/dev/null 2>&1 ||
    skip "ip6tables does not work inside a network namespace here"

# --- The DNS server -----------------------------------------------------------------------
workdir=$(mktemp -d "$WORK_PREFIX.$$.XXXXXX") || die "cannot make a temp directory"
chmod 755 "$workdir" # dnsmasq drops to nobody and must still reach its log
conf="$workdir/dnsmasq.conf"
log="$workdir/dnsmasq.log"
cat >"$conf" <<EOF
no-resolv
no-hosts
bind-interfaces
listen-address=$DNS_IP
port=53
pid-file=$workdir/dnsmasq.pid
log-facility=$log
log-queries
address=/#/
host-record=r1.lab.test,$R1_IP,$R1_IP6
host-record=r2.lab.test,$R2_IP,$R2_IP6
host-record=target.lab.test,$TARGET_IP,$TARGET_IP6
host-record=v6only.lab.test,$V6ONLY_IP6
EOF
ip netns exec "$DNS_NS" "$dnsmasq" --keep-in-foreground --conf-file="$conf" \
    >"$workdir/dnsmasq.out" 2>&1 </dev/null &
dnsmasq_pid=$!

netns_dir="$NETNS_ETC/$CLIENT_NS"
with_etc_lock make_netns_dir "$netns_dir" || die "cannot make $netns_dir"
cat >"$netns_dir/resolv.conf" <<EOF
# Sabrevin probe lab: the lab's own server, 1 s per try, 2 tries.
nameserver $DNS_IP
options timeout:1 attempts:2
EOF
echo "127.0.0.1 localhost" >"$netns_dir/hosts"
chmod 644 "$netns_dir/resolv.conf" "$netns_dir/hosts"

# The whole road once: the client's resolver reaches the server and gets r1's name back.
ready=0
for ((i = 0; i < 25; i++)); do
    if ! kill -0 "$dnsmasq_pid" 2>/dev/null; then
        wait "$dnsmasq_pid" 2>/dev/null
        dnsmasq_pid=""
        die "dnsmasq did not start: $(head -c 400 "$workdir/dnsmasq.out")"
    fi
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

# run_command: COMMAND in the client namespace, in the background so that a signal reaches our
# traps at once; stdin handed on and SIGINT/SIGQUIT given back their defaults.
run_command() {
    exec 3<&0
    (
        trap - INT QUIT
        exec ip netns exec "$CLIENT_NS" "$@"
    ) <&3 3<&- &
    command_pid=$!
    exec 3<&-
    wait "$command_pid"
    local status=$?
    command_pid=""
    return "$status"
}

echo "probe lab: run 1 of 2, r2 sends Time Exceeded ($socket sockets)"
SABREVIN_PROBE_LAB_R2_TIME_EXCEEDED=sent run_command "$@"
status1=$?

ip netns exec "$R2_NS" "$iptables" -w 5 -A OUTPUT -p icmp --icmp-type time-exceeded -j DROP ||
    die "cannot make r2 drop its Time Exceeded"
ip netns exec "$R2_NS" "$ip6tables" -w 5 -A OUTPUT -p icmpv6 --icmpv6-type time-exceeded -j DROP ||
    die "cannot make r2 drop its ICMPv6 Time Exceeded"
echo "probe lab: run 2 of 2, r2 drops its Time Exceeded ($socket sockets)"
SABREVIN_PROBE_LAB_R2_TIME_EXCEEDED=dropped run_command "$@"
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
