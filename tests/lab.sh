# shellcheck shell=bash disable=SC2034  # the LAB_ addresses are for the scripts that source it
# Sourced by every network test and benchmark: skipping and failing with a reason, network
# namespaces that are removed again whatever happens (also those of a run killed outright), the
# router lab (client - r1 - r2 - target, and a quiet host behind r2, over IPv4 and IPv6), the
# /etc/netns folder the labs share, and running as an unprivileged user. Touches nothing outside
# the namespaces it makes, /etc/netns/<its client> and its own temp directory. LAB_NAME names
# the lab in error messages; NS_PREFIX (default sbv) starts its namespaces' names, which are
# NS_PREFIX-<pid>-<name>; WORK_PREFIX starts its temp directory's name, WORK_PREFIX.<pid>.XXXXXX.

SKIP_CODE=77 created_ns=() workdir="" netns_dir=""
NOBODY_UID=$(id -u nobody 2>/dev/null || echo 65534) NOBODY_GID=$(id -g nobody 2>/dev/null || echo 65534)
: "${LAB_NAME:=lab}" "${NS_PREFIX:=sbv}" "${WORK_PREFIX:=${TMPDIR:-/tmp}/sabrevin-lab}"
ETC_LOCK="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lab.sh" # every lab locks this file
# BACKGROUND: our children, by pid, ended and reaped at exit; one that has been waited for is
# taken out, never to be signalled again, as its id may belong to another process by now.
declare -gA BACKGROUND=()

skip() { echo "SKIP: $*"; exit "$SKIP_CODE"; }
die() { echo "$LAB_NAME: $*" >&2; exit 1; }
require_command() { command -v "$1" >/dev/null || skip "needs $1 ($2)"; }
find_tool() { PATH="$PATH:/usr/sbin:/sbin" type -P "$1"; } # also in the sbin directories
in_ns() { ip netns exec "$@"; }
set_sysctl() { in_ns "$1" sysctl -qw "$2=$3" >/dev/null || die "cannot set $2 in $1"; }
addr6() { ip -n "$1" addr add "$3" dev "$2" nodad || die "cannot address $2 in $1 with $3"; }

# netns_etc add|del DIR: makes or removes /etc/netns/NS under the labs' shared lock, so that
# labs starting and stopping at once agree on whether /etc/netns is still needed. The last lab
# out removes an /etc/netns that a lab made (it holds the mark), and nothing else.
netns_etc() (
    mark=/etc/netns/.made-by-sabrevin-dns-lab
    flock -w 20 9 || exit 1
    if [ "$1" = add ]; then
        [ -d /etc/netns ] || { mkdir -m 755 /etc/netns && : >"$mark"; } || exit 1
        mkdir -m 755 "$2"
    else # the mark stays unless /etc/netns goes with it
        rm -rf -- "$2"
        [ ! -e "$mark" ] || { rm "$mark" && rmdir /etc/netns 2>/dev/null; } || : >"$mark"
    fi
) 9<"$ETC_LOCK"

# lab_etc NS RESOLV_CONF [HOSTS]: /etc/netns/NS, which NS sees as its /etc/resolv.conf (and
# hosts), removed at exit.
lab_etc() {
    netns_dir=/etc/netns/$1
    netns_etc add "$netns_dir" || die "cannot make $netns_dir"
    printf '%s\n' "$2" >"$netns_dir/resolv.conf"
    [ $# -lt 3 ] || printf '%s\n' "$3" >"$netns_dir/hosts"
    chmod 644 "$netns_dir"/*
}

# kill_ns NS: ends every process inside NS (all of them a lab's), TERM then KILL, and deletes it.
kill_ns() {
    local i pids
    for ((i = 0; i < 40; i++)); do
        mapfile -t pids < <(ip netns pids "$1" 2>/dev/null)
        [ ${#pids[@]} -gt 0 ] || break
        ((i % 20)) || kill -$((i ? 9 : 15)) "${pids[@]}" 2>/dev/null # TERM, then KILL 2 s on
        sleep 0.1
    done
    ip netns del "$1" 2>/dev/null
}

cleanup() {
    local x
    trap '' INT TERM HUP
    for x in "${!BACKGROUND[@]}"; do kill "$x"; wait "$x"; done 2>/dev/null
    for x in "${created_ns[@]}"; do kill_ns "$x"; done
    created_ns=() BACKGROUND=()
    [ -z "$netns_dir" ] || netns_etc del "$netns_dir"
    [ -z "$workdir" ] || rm -rf -- "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT; trap 'exit 143' TERM; trap 'exit 129' HUP # 128 + the signal's number

# require_netns: root, ip, flock and network namespaces, else a skip. Then removes what runs
# killed before they could clean up left (a time-out sends SIGKILL, which no trap sees): the
# namespaces, /etc/netns entries and temp directories of a pid that no longer runs.
require_netns() {
    local x
    [ "$(id -u)" = 0 ] || skip "needs root to build network namespaces"
    find_tool ip >/dev/null || skip "needs ip (iproute2)"
    find_tool flock >/dev/null || skip "needs flock (util-linux)"
    for x in $(ip netns list | awk '{print $1}') /etc/netns/"$NS_PREFIX"-* "$WORK_PREFIX".*; do
        [[ ${x##*/} =~ ^($NS_PREFIX-|${WORK_PREFIX##*/}\.)([0-9]+)[.-][A-Za-z0-9]+$ ]] || continue
        kill -0 "${BASH_REMATCH[2]}" 2>/dev/null && continue
        case $x in
        /etc/netns/*) netns_etc del "$x" ;;
        "$WORK_PREFIX".*) rm -rf -- "$x" ;;
        *) kill_ns "$x" ;;
        esac
    done
    ip netns add "$NS_PREFIX-$$-probe" 2>/dev/null || skip "cannot create network namespaces here"
    ip netns del "$NS_PREFIX-$$-probe"
}

# make_ns NAME: a namespace with loopback up, removed at exit.
make_ns() {
    ip netns add "$1" 2>/dev/null || skip "cannot create network namespaces here"
    created_ns+=("$1")
    ip -n "$1" link set lo up || die "cannot bring up loopback in $1"
}

# link NS1 IF1 ADDR1/LEN NS2 IF2 ADDR2/LEN: a veth pair between two namespaces.
link() {
    ip -n "$1" link add "$2" type veth peer name "$5" netns "$4" 2>/dev/null ||
        skip "cannot create a veth pair between network namespaces here"
    { ip -n "$1" addr add "$3" dev "$2" && ip -n "$4" addr add "$6" dev "$5" &&
        ip -n "$1" link set "$2" up && ip -n "$4" link set "$5" up; } || die "cannot set up $2-$5 in $1, $4"
}

# route NS DEST VIA (ip takes the family from VIA).
route() { ip -n "$1" route add "$2" via "$3" || die "cannot add the route to $2 in $1"; }

# make_router_lab N CLIENT R1 R2 TARGET QUIET: the namespaces client - r1 - r2 - target, and a
# quiet host behind r2 that ignores echo requests. Link k is 10.N.k.0/24 and fd00:N:k::/64, the
# end nearer the client .1 (::1) and the far end .2 (::2): client 10.N.1.1, r1 10.N.1.2, r2
# 10.N.2.2, target 10.N.3.2, quiet 10.N.4.2. Far ends route through their link's near end, the
# client through r1; r1 knows no route to 10.N.9.0/24 nor fd00:N:9::/64. The routers forward,
# and send their errors without a rate limit.
make_router_lab() {
    local n=$1 c=$2 r1=$3 r2=$4 t=$5 q=$6 x k=0 near nif far fif
    for x in "$c" "$r1" "$r2" "$t" "$q"; do
        make_ns "$x"
        # Link-local addresses too come up at once: a router whose own is still tentative
        # cannot resolve its neighbours, which held the first IPv6 packets for two seconds.
        set_sysctl "$x" net.ipv6.conf.default.accept_dad 0
    done
    for x in "$c eth0 $r1 eth0" "$r1 eth1 $r2 eth0" "$r2 eth1 $t eth0" "$r2 eth2 $q eth0"; do
        read -r near nif far fif <<<"$x"
        k=$((k + 1))
        link "$near" "$nif" "10.$n.$k.1/24" "$far" "$fif" "10.$n.$k.2/24"
        addr6 "$near" "$nif" "fd00:$n:$k::1/64"
        addr6 "$far" "$fif" "fd00:$n:$k::2/64"
        [ "$far" = "$r1" ] || { route "$far" default "10.$n.$k.1"; route "$far" default "fd00:$n:$k::1"; }
    done
    route "$c" default "10.$n.1.2"
    route "$c" default "fd00:$n:1::2"
    for k in 3 4; do
        route "$r1" "10.$n.$k.0/24" "10.$n.2.2"
        route "$r1" "fd00:$n:$k::/64" "fd00:$n:2::2"
    done
    # Routers rate-limit Time Exceeded and Unreachable to one a second per peer by default. An
    # empty mask exempts every type; icmp_ratelimit=0 would not do: it drains the per-peer
    # tokens that the no-route error shares, and silences that error.
    for x in "$r1" "$r2"; do
        in_ns "$x" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratemask=0 \
            net.ipv6.conf.all.forwarding=1 net.ipv6.icmp.ratelimit=0 >/dev/null || die "cannot make $x a router"
    done
    set_sysctl "$q" net.ipv4.icmp_echo_ignore_all 1
    set_sysctl "$q" net.ipv6.icmp.echo_ignore_all 1
}

# The echo lab (make_lab): make_router_lab's over 10.201/fd00:201. Below: the routers as the
# client sees them (the addresses they answer from), the hosts, an address r1 has no route to,
# and the target's second address (lab_answer_from_other_address).
LAB_R1=10.201.1.2 LAB_R2=10.201.2.2 LAB_TARGET=10.201.3.2 LAB_QUIET=10.201.4.2
LAB_UNROUTABLE=10.201.9.9 LAB_OTHER=10.201.3.3
LAB6_R1=fd00:201:1::2 LAB6_R2=fd00:201:2::2 LAB6_TARGET=fd00:201:3::2 LAB6_QUIET=fd00:201:4::2
LAB6_UNROUTABLE=fd00:201:9::9

make_lab() {
    local p="$NS_PREFIX-$$"
    LAB_CLIENT=$p-client LAB_R2_NS=$p-r2 LAB_TARGET_NS=$p-target
    make_router_lab 201 "$LAB_CLIENT" "$p-r1" "$LAB_R2_NS" "$LAB_TARGET_NS" "$p-quiet"
}

# lab_answer_from_other_address: gives the target a second address, LAB_OTHER, whose echo
# replies leave with LAB_TARGET as their source, as from a multihomed host that answers from
# another interface. Linux answers from the address asked, so nftables rewrites the source in
# the target's output hook (stateless: the ICMP checksum does not cover addresses).
lab_answer_from_other_address() {
    ip -n "$LAB_TARGET_NS" addr add "$LAB_OTHER/24" dev eth0 || exit 1
    in_ns "$LAB_TARGET_NS" nft -f - <<<"table ip sabrevin { chain out { type filter hook output priority 0;
        icmp type echo-reply ip saddr $LAB_OTHER ip saddr set $LAB_TARGET; }; }" ||
        skip "nftables does not work inside a network namespace here"
}

# lab_workdir: the lab's temp directory, readable by all (dnsmasq drops to nobody).
lab_workdir() {
    [ -n "$workdir" ] || workdir=$(mktemp -d "$WORK_PREFIX.$$.XXXXXX") || die "cannot make a temp directory"
    chmod 755 "$workdir"
}

# stage BUILD_DIR: a world-readable copy of the build's module, helper and probe in the lab's
# temp directory, STAGE, for a user who cannot read the build tree.
stage() {
    local f
    lab_workdir
    STAGE=$workdir
    for f in sabrevin-icmp.so sabrevin-icmp-helper icmp_net_probe; do
        [ ! -e "$1/$f" ] || install -m 755 "$1/$f" "$STAGE/$f" || exit 1
    done
}

# start_dnsmasq NS CONF_LINES: dnsmasq in NS as our own child (so that teardown ends and reaps
# it at once), with the lines of CONF_LINES, and its pid file and log in the temp directory.
start_dnsmasq() {
    local dnsmasq
    dnsmasq=$(find_tool dnsmasq) || skip "needs dnsmasq (dnsmasq-base)"
    lab_workdir
    dnsmasq_log="$workdir/dnsmasq.log"
    printf '%s\n' no-resolv no-hosts bind-interfaces port=53 "pid-file=$workdir/dnsmasq.pid" \
        "log-facility=$dnsmasq_log" log-queries "$2" >"$workdir/dnsmasq.conf"
    in_ns "$1" "$dnsmasq" --keep-in-foreground --conf-file="$workdir/dnsmasq.conf" \
        >"$workdir/dnsmasq.out" 2>&1 </dev/null &
    dnsmasq_pid=$!
    BACKGROUND[$!]=1
}

# dnsmasq_alive: dies with dnsmasq's own words if it has ended.
dnsmasq_alive() {
    kill -0 "$dnsmasq_pid" 2>/dev/null && return 0
    wait "$dnsmasq_pid" 2>/dev/null
    unset "BACKGROUND[$dnsmasq_pid]"
    die "dnsmasq did not start: $(head -c 400 "$workdir/dnsmasq.out")"
}

# run_in_ns NS COMMAND...: COMMAND in NS, in the background so that a signal reaches our traps
# at once and the lab is torn down. A background job would get /dev/null as stdin and ignore
# SIGINT and SIGQUIT: stdin is handed on (an explicit redirection) and the signals get their
# defaults back.
run_in_ns() {
    (trap - INT QUIT && exec ip netns exec "$@") <&0 &
    BACKGROUND[$!]=1
    wait "$!"
    local status=$?
    unset "BACKGROUND[$!]"
    return "$status"
}
