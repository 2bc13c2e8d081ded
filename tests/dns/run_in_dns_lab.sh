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
LAB_NAME="dns lab"
NS_PREFIX=sbvdns
WORK_PREFIX="${TMPDIR:-/tmp}/sabrevin-dns-lab"
. "$here/../lab.sh"

CLIENT_NS="$NS_PREFIX-$$-c"
SERVER_NS="$NS_PREFIX-$$-s"
CLIENT_IP=10.77.53.1
SERVER_IP=10.77.53.2
SILENT_IP=10.77.53.9
PREFIX_LEN=24

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
require_netns
iptables=$(find_tool iptables) || skip "needs iptables"
find_tool dnsmasq >/dev/null || skip "needs dnsmasq (dnsmasq-base)"

# --- The network --------------------------------------------------------------------------
make_ns "$CLIENT_NS"
make_ns "$SERVER_NS"
link "$CLIENT_NS" lab0 "$CLIENT_IP/$PREFIX_LEN" "$SERVER_NS" lab1 "$SERVER_IP/$PREFIX_LEN"
ip -n "$SERVER_NS" addr add "$SILENT_IP/$PREFIX_LEN" dev lab1 || die "cannot address lab1"

# The silent server: queries are dropped before any socket (or ICMP port unreachable) sees them.
for proto in udp tcp; do
    ip netns exec "$SERVER_NS" "$iptables" -w 5 -A INPUT -d "$SILENT_IP" -p "$proto" --dport 53 \
        -j DROP 2>/dev/null || skip "iptables does not work inside a network namespace here"
done

# --- The server ---------------------------------------------------------------------------
conf=$(
    echo "listen-address=$SERVER_IP"
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
)
start_dnsmasq "$SERVER_NS" "$conf"
log=$dnsmasq_log
listening=0
for ((i = 0; i < 50; i++)); do
    dnsmasq_alive
    if ip netns exec "$SERVER_NS" ss -Hlntu "( sport = :53 )" 2>/dev/null |
       awk -v a="$SERVER_IP:53" '$5 == a {n[$1]++} END {exit !(n["udp"] && n["tcp"])}'; then
        listening=1
        break
    fi
    sleep 0.1
done
[ "$listening" = 1 ] || die "dnsmasq does not listen on $SERVER_IP port 53 after 5 s"

# --- The client's view --------------------------------------------------------------------
lab_etc "$CLIENT_NS" "# Sabrevin DNS lab: the lab's own server, 1 s per try, 2 tries.
nameserver $SERVER_IP
options timeout:1 attempts:2" "127.0.0.1 localhost
::1 localhost ip6-localhost ip6-loopback
10.77.9.9 hosted.lab.test hostalias1 hostalias2
fd00:77::99 hosted6.lab.test hosted6alias"

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

run_in_ns "$CLIENT_NS" "$@"
status=$?
if [ "$status" != 0 ] && [ "$status" != "$SKIP_CODE" ] && [ -s "$log" ]; then
    echo "dns lab: COMMAND exited with $status; the last lines of the server's log:" >&2
    tail -n 20 "$log" | cut -c1-200 >&2
fi
exit "$status"
