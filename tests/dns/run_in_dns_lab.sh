#!/usr/bin/env bash
# Runs COMMAND in a DNS lab of two network namespaces and exits with COMMAND's status:
#
#   client  10.77.53.1/24 on lab0   COMMAND runs here (ip netns exec), and sees the lab's
#                                   resolv.conf and hosts as /etc/resolv.conf and /etc/hosts
#   server  10.77.53.2/24 on lab1   dnsmasq answers the lab.test zone (see README.md)
#           10.77.53.9/24 on lab1   silent: port 53 dropped, so no answer and no ICMP error
#
# Everything lives inside the two namespaces, a temp directory and /etc/netns/<client>/; all of
# it is removed on exit, also on failure or signal. Labs started at the same time do not clash:
# each has namespaces of its own (named after this shell's pid), so they reuse the addresses.
# A lab left behind by a run that was killed outright (SIGKILL) is removed by the next run.
#
# Without root, network namespaces, veth pairs, iptables or dnsmasq it prints "SKIP: <reason>"
# and exits 77 without running COMMAND.
#
# Usage: run_in_dns_lab.sh COMMAND [ARGS...]
set -u
PATH="$PATH:/usr/sbin:/sbin"

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
self="$here/$(basename "${BASH_SOURCE[0]}")"
LAB_NAME="dns lab"
. "$here/../netns_etc.sh"

NS_PREFIX=sbvdns
CLIENT_NS="$NS_PREFIX-$$-c"
SERVER_NS="$NS_PREFIX-$$-s"
CLIENT_IP=10.77.53.1
SERVER_IP=10.77.53.2
SILENT_IP=10.77.53.9
PREFIX_LEN=24
WORK_PREFIX="${TMPDIR:-/tmp}/sabrevin-dns-lab"

# The long PTR name: labels of 63, 63, 63 and 52 characters under lab.test, 253 characters in
# all (the longest a name can be: 255 bytes on the wire).
rep() { local s; printf -v s '%*s' "$2" ''; printf '%s' "${s// /$1}"; }
LONG_PTR_NAME="$(rep p 63).$(rep q 63).$(rep r 63).$(rep s 52).lab.test"
LONG_PTR_ADDR=10.77.1.12

usage() {
    echo "usage: $(basename "$0") COMMAND [ARGS...]" >&2
    exit 2
}

[ $# -ge 1 ] || usage


# --- What the lab needs -------------------------------------------------------------------
[ "$(id -u)" = 0 ] || skip "needs root to build network namespaces"
find_tool ip >/dev/null || skip "needs ip (iproute2)"
find_tool flock >/dev/null || skip "needs flock (util-linux)"
dnsmasq=$(find_tool dnsmasq) || skip "needs dnsmasq (dnsmasq-base)"
iptables=$(find_tool iptables) || skip "needs iptables"

sweep_stale_labs

ip netns add "$CLIENT_NS" 2>/dev/null || skip "cannot create network namespaces here"
created_ns+=("$CLIENT_NS")
ip netns add "$SERVER_NS" 2>/dev/null || skip "cannot create network namespaces here"
created_ns+=("$SERVER_NS")

# --- The network --------------------------------------------------------------------------
ip -n "$CLIENT_NS" link set lo up || die "cannot bring up loopback in $CLIENT_NS"
ip -n "$SERVER_NS" link set lo up || die "cannot bring up loopback in $SERVER_NS"
ip -n "$CLIENT_NS" link add lab0 type veth peer name lab1 netns "$SERVER_NS" 2>/dev/null ||
    skip "cannot create a veth pair between network namespaces here"
ip -n "$CLIENT_NS" addr add "$CLIENT_IP/$PREFIX_LEN" dev lab0 || die "cannot address lab0"
ip -n "$SERVER_NS" addr add "$SERVER_IP/$PREFIX_LEN" dev lab1 || die "cannot address lab1"
ip -n "$SERVER_NS" addr add "$SILENT_IP/$PREFIX_LEN" dev lab1 || die "cannot address lab1"
ip -n "$CLIENT_NS" link set lab0 up || die "cannot bring up lab0"
ip -n "$SERVER_NS" link set lab1 up || die "cannot bring up lab1"

# The silent server: queries are dropped before any socket (or ICMP port unreachable) sees them.
for proto in udp tcp; do
    ip netns exec "$SERVER_NS" "$iptables" -w 5 -A INPUT -d "$SILENT_IP" -p "$proto" --dport 53 \
        -j DROP 2>/dev/null || skip "iptables does not work inside a network namespace here"
done

# --- The server ---------------------------------------------------------------------------
workdir=$(mktemp -d "$WORK_PREFIX.$$.XXXXXX") || die "cannot make a temp directory"
chmod 755 "$workdir"   # dnsmasq drops to nobody and must still reach its log
conf="$workdir/dnsmasq.conf"
pidfile="$workdir/dnsmasq.pid"
log="$workdir/dnsmasq.log"
{
    echo "no-resolv"
    echo "no-hosts"
    echo "bind-interfaces"
    echo "listen-address=$SERVER_IP"
    echo "port=53"
    echo "pid-file=$pidfile"
    echo "log-facility=$log"
    echo "log-queries"
    echo "local-ttl=300"
    # Nothing is forwarded: every name that is not configured below is NXDOMAIN.
    echo "address=/#/"
    # dual.lab.test's records come out in a fixed order, the reverse of these lines (a
    # host-record's would rotate on each query); --local makes its other types NODATA.
    for a in fd00:77::52 fd00:77::51 10.77.1.52 10.77.1.51; do
        echo "address=/dual.lab.test/$a"
    done
    echo "local=/dual.lab.test/"
    echo "cname=www.lab.test,web.lab.test"
    echo "cname=web.lab.test,target.lab.test"
    echo "host-record=target.lab.test,10.77.1.31"
    echo "host-record=v6only.lab.test,fd00:77::1"
    echo "host-record=hostalias2,10.77.1.99" # the hosts file says otherwise, and wins
    echo "ptr-record=1.$(printf '0.%.0s' {1..28})8.e.f.ip6.arpa,link.lab.test" # fe80::1
    echo "ptr-record=12.1.77.10.in-addr.arpa,$LONG_PTR_NAME"
    # Three names for one address, answered in the order of these lines.
    for n in multi1 multi2 multi3; do
        echo "ptr-record=13.1.77.10.in-addr.arpa,$n.lab.test"
    done
    # Names below silent.lab.test go to the silent server: the client hears nothing at all.
    echo "server=/silent.lab.test/$SILENT_IP"
} >"$conf"

# In the foreground as our own child, so that teardown can end it and reap it at once.
ip netns exec "$SERVER_NS" "$dnsmasq" --keep-in-foreground --conf-file="$conf" \
    >"$workdir/dnsmasq.out" 2>&1 </dev/null &
dnsmasq_pid=$!
listening=0
for ((i = 0; i < 50; i++)); do
    if ! kill -0 "$dnsmasq_pid" 2>/dev/null; then
        wait "$dnsmasq_pid" 2>/dev/null
        dnsmasq_pid=""
        die "dnsmasq did not start: $(head -c 400 "$workdir/dnsmasq.out")"
    fi
    if ip netns exec "$SERVER_NS" ss -Hlntu "( sport = :53 )" 2>/dev/null |
       awk -v a="$SERVER_IP:53" '$5 == a {n[$1]++} END {exit !(n["udp"] && n["tcp"])}'; then
        listening=1
        break
    fi
    sleep 0.1
done
[ "$listening" = 1 ] || die "dnsmasq does not listen on $SERVER_IP port 53 after 5 s"

# --- The client's view --------------------------------------------------------------------
netns_dir="$NETNS_ETC/$CLIENT_NS"
with_etc_lock make_netns_dir "$netns_dir" || die "cannot make $netns_dir"
cat >"$netns_dir/resolv.conf" <<EOF
# Sabrevin DNS lab: the lab's own server, 1 s per try, 2 tries.
nameserver $SERVER_IP
options timeout:1 attempts:2
EOF
cat >"$netns_dir/hosts" <<EOF
127.0.0.1 localhost
::1 localhost ip6-localhost ip6-loopback
10.77.9.9 hosted.lab.test hostalias1 hostalias2
fd00:77::99 hosted6.lab.test hosted6alias
EOF
chmod 644 "$netns_dir/resolv.conf" "$netns_dir/hosts"

# The whole road once: client resolver, link, server.
getent=$(find_tool getent) || die "needs getent (libc-bin)"
ready=0
for ((i = 0; i < 5; i++)); do
    if ip netns exec "$CLIENT_NS" "$getent" ahostsv4 dual.lab.test 2>/dev/null | grep -q '^10\.77\.1\.51 '; then
        ready=1
        break
    fi
    sleep 0.2
done
[ "$ready" = 1 ] || die "the lab's server does not answer dual.lab.test; log: $(tail -n 5 "$log" 2>/dev/null)"

# --- The command --------------------------------------------------------------------------
export SABREVIN_LAB_DNS="$SERVER_IP"
export SABREVIN_LAB_LONG_PTR_ADDR="$LONG_PTR_ADDR"
export SABREVIN_LAB_LONG_PTR_NAME="$LONG_PTR_NAME"

# In the background, so that a signal reaches our traps at once and the lab is torn down.
# A background job would get /dev/null as stdin and ignore SIGINT and SIGQUIT: hand stdin on
# and give the signals back their defaults, so that COMMAND runs as it would in the foreground.
exec 3<&0
(
    trap - INT QUIT
    exec ip netns exec "$CLIENT_NS" "$@"
) <&3 3<&- &
command_pid=$!
exec 3<&-
wait "$command_pid"
status=$?
command_pid=""
if [ "$status" != 0 ] && [ "$status" != "$SKIP_CODE" ] && [ -s "$log" ]; then
    echo "dns lab: COMMAND exited with $status; the last lines of the server's log:" >&2
    tail -n 20 "$log" | cut -c1-200 >&2
fi
exit "$status"
