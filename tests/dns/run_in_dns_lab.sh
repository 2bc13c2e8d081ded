#!/usr/bin/env bash
# Runs COMMAND [ARGS...] in a DNS lab of two network namespaces and exits with its status:
#
#   client  10.77.53.1/24 on lab0   COMMAND runs here; it sees the lab's resolv.conf and hosts
#   server  10.77.53.2/24 on lab1   dnsmasq answers the records below; all else is NXDOMAIN
#
# The client's /etc/resolv.conf names the server, 3 s a try, 2 tries (so the system resolver
# outwaits the Local Info page); its /etc/hosts is the one below. The records:
#   10.77.1.13         PTR multi3.lab.test, multi2.lab.test, multi1.lab.test, in this order
#   fe80::1            PTR link.lab.test
#   10.77.1.12         PTR the longest name (253 characters: labels of 63, 63, 63 and 52)
#   *.silent.lab.test  forwarded to 10.77.99.9, routed to the client, which drops it: no
#                      answer and no ICMP error
# Before COMMAND runs, the system resolver (getent, the oracle) must name these addresses as
# test_lookup expects. COMMAND gets SABREVIN_LAB_DNS (the server), SABREVIN_LAB_LONG_PTR_ADDR
# and SABREVIN_LAB_LONG_PTR_NAME. tests/lab.sh builds the lab and removes it on exit, failure
# or signal (a run killed outright is removed by the next); labs run side by side. Without
# root, network namespaces or dnsmasq it prints "SKIP: <reason>" and exits 77.
set -u
LAB_NAME="dns lab" NS_PREFIX=sbvdns WORK_PREFIX="${TMPDIR:-/tmp}/sabrevin-dns-lab"
. "$(dirname "${BASH_SOURCE[0]}")/../lab.sh"

require_netns
client="$NS_PREFIX-$$-c" server="$NS_PREFIX-$$-s"
for ns in "$client" "$server"; do make_ns "$ns"; done
link "$client" lab0 10.77.53.1/24 "$server" lab1 10.77.53.2/24
route "$server" 10.77.99.9 10.77.53.1

long=$(printf '%063d.%063d.%063d.%052d.lab.test' 1 2 3 4) # labels 0...01, 0...02, and so on
# Pointer records for one address come in the reverse order of their lines.
start_dnsmasq "$server" "listen-address=10.77.53.2
address=/#/
ptr-record=1.$(printf '0.%.0s' {1..28})8.e.f.ip6.arpa,link.lab.test
ptr-record=12.1.77.10.in-addr.arpa,$long
$(printf 'ptr-record=13.1.77.10.in-addr.arpa,%s.lab.test\n' multi1 multi2 multi3)
server=/silent.lab.test/10.77.99.9"
lab_etc "$client" "nameserver 10.77.53.2
options timeout:3 attempts:2" "127.0.0.1 localhost
::1 localhost
fd00:77::99 hosted6.lab.test hosted6alias"

want=$'10.77.1.13 multi3.lab.test\nfe80::1 link.lab.test\n'"10.77.1.12 $long"
for ((i = 0; i < 50; i++)); do
    dnsmasq_alive
    seen=$(in_ns "$client" getent hosts 10.77.1.13 fe80::1 10.77.1.12 | tr -s ' ')
    [ "$seen" = "$want" ] && break || sleep 0.1
done
[ "$seen" = "$want" ] || die "the system resolver does not see the lab's records: $seen"

SABREVIN_LAB_DNS=10.77.53.2 SABREVIN_LAB_LONG_PTR_ADDR=10.77.1.12 \
    SABREVIN_LAB_LONG_PTR_NAME="$long" run_in_ns "$client" "$@"
