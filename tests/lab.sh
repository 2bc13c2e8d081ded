# shellcheck shell=bash disable=SC2034  # the LAB_ addresses are for the scripts that source it
# Sourced by every network test and benchmark: skipping and failing with a reason, network
# namespaces that are removed again whatever happens (also those of a run killed outright), the
# router lab (client - r1 - r2 - target, and a quiet host behind r2, over IPv4 and IPv6), the
# /etc/netns folder the labs share, and running as an unprivileged user. Touches nothing outside
# the namespaces it makes, /etc/netns/<its client> and its own temp directory. LAB_NAME names
# the lab in error messages; NS_PREFIX (default sbv) starts its namespaces' names, which are
# NS_PREFIX-<pid>-<name>; WORK_PREFIX, if set, starts its temp directories' names.

SKIP_CODE=77
NOBODY_UID=$(id -u nobody 2>/dev/null || echo 65534)
NOBODY_GID=$(id -g nobody 2>/dev/null || echo 65534)
NETNS_ETC=/etc/netns
NETNS_ETC_MARK="$NETNS_ETC/.made-by-sabrevin-dns-lab"
# The lock is this file: every lab takes the same one.
ETC_LOCK="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
: "${LAB_NAME:=lab}" "${NS_PREFIX:=sbv}" "${WORK_PREFIX:=}"

skip() {
    echo "SKIP: $*"
    exit "$SKIP_CODE"
}

die() {
    echo "$LAB_NAME: $*" >&2
    exit 1
}

# Runs "$@" holding the labs' shared lock, so that labs starting and stopping at the same time
# agree on whether /etc/netns is still needed.
with_etc_lock() {
    (
        flock -w 20 9 || exit 1
        "$@"
    ) 9<"$ETC_LOCK"
}

make_netns_dir() {
    if [ ! -d "$NETNS_ETC" ]; then
        mkdir -m 755 "$NETNS_ETC" || return 1
        : >"$NETNS_ETC_MARK"
    fi
    mkdir -m 755 "$1"
}

remove_netns_dir() {
    rm -rf -- "$1"
    # The last lab out removes an /etc/netns that a lab made, and nothing else.
    if [ -e "$NETNS_ETC_MARK" ] &&
       [ -z "$(find "$NETNS_ETC" -mindepth 1 -maxdepth 1 ! -path "$NETNS_ETC_MARK" -print -quit)" ]; then
        rm -f -- "$NETNS_ETC_MARK"
        rmdir -- "$NETNS_ETC" 2>/dev/null
    fi
    return 0
}

# lab_etc NS RESOLV_CONF [HOSTS]: /etc/netns/NS, which NS sees as its /etc/resolv.conf (and
# hosts), removed at exit.
lab_etc() {
    netns_dir="$NETNS_ETC/$1"
    with_etc_lock make_netns_dir "$netns_dir" || die "cannot make $netns_dir"
    printf '%s\n' "$2" >"$netns_dir/resolv.conf"
    [ $# -lt 3 ] || printf '%s\n' "$3" >"$netns_dir/hosts"
    chmod 644 "$netns_dir"/*
}

# Ends every process inside namespace $1 (all of them started by a lab) and deletes it.
kill_and_delete_ns() {
    local ns=$1 pids i
    pids=$(ip netns pids "$ns" 2>/dev/null)
    if [ -n "$pids" ]; then
        kill -TERM $pids 2>/dev/null
        for ((i = 0; i < 30; i++)); do
            pids=$(ip netns pids "$ns" 2>/dev/null)
            [ -z "$pids" ] && break
            sleep 0.1
        done
        [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
        for ((i = 0; i < 20; i++)); do
            [ -z "$(ip netns pids "$ns" 2>/dev/null)" ] && break
            sleep 0.1
        done
    fi
    ip netns del "$ns" 2>/dev/null
}

# find_tool NAME: the first executable NAME on PATH or in the sbin directories.
find_tool() {
    local dir
    local IFS=:
    for dir in $PATH /usr/sbin /sbin; do
        [ -n "$dir" ] && [ -f "$dir/$1" ] && [ -x "$dir/$1" ] && { echo "$dir/$1"; return 0; }
    done
    return 1
}

require_command() {
    command -v "$1" >/dev/null || skip "needs $1 ($2)"
}

# What a lab made, removed on exit, error or signal.
created_ns=()
BACKGROUND=()
workdir=""
netns_dir=""
command_pid=""
dnsmasq_pid=""

cleanup() {
    local ns pid
    trap '' INT TERM HUP
    for pid in "${BACKGROUND[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for ns in "${created_ns[@]}"; do
        kill_and_delete_ns "$ns"
    done
    created_ns=()
    [ -n "$command_pid" ] && wait "$command_pid" 2>/dev/null
    [ -n "$dnsmasq_pid" ] && wait "$dnsmasq_pid" 2>/dev/null
    [ -n "$netns_dir" ] && with_etc_lock remove_netns_dir "$netns_dir"
    [ -n "$workdir" ] && rm -rf -- "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# forget_background PID: a background job that has been waited for; never signal it again, as
# its id may belong to another process by now.
forget_background() {
    local kept=() pid
    for pid in "${BACKGROUND[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    BACKGROUND=("${kept[@]}")
}

# Removes labs whose run was killed before it could clean up (a test time-out sends SIGKILL,
# which no trap sees): namespaces ($NS_PREFIX-<pid>-*), /etc/netns entries and temp directories
# ($WORK_PREFIX.<pid>.*) of a pid that no longer runs.
sweep_stale_labs() {
    local ns pid dir
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
        [[ $ns =~ ^$NS_PREFIX-([0-9]+)-[a-z0-9]+$ ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null && continue
        kill_and_delete_ns "$ns"
    done
    for dir in "$NETNS_ETC/$NS_PREFIX"-*-c "$NETNS_ETC/$NS_PREFIX"-*-client; do
        [ -d "$dir" ] || continue
        [[ ${dir##*/} =~ ^$NS_PREFIX-([0-9]+)-c(lient)?$ ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null && continue
        with_etc_lock remove_netns_dir "$dir"
    done
    [ -n "$WORK_PREFIX" ] || return 0
    for dir in "$WORK_PREFIX".*; do
        [ -d "$dir" ] || continue
        [[ ${dir##*/} =~ ^${WORK_PREFIX##*/}\.([0-9]+)\.[A-Za-z0-9]{6}$ ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null && continue
        rm -rf -- "$dir"
    done
}

# require_netns [TOOL...]: root, ip and network namespaces, else a skip; then the sweep.
require_netns() {
    [ "$(id -u)" = 0 ] || skip "needs root to build network namespaces"
    find_tool ip >/dev/null || skip "needs ip (iproute2)"
    find_tool flock >/dev/null || skip "needs flock (util-linux)"
    sweep_stale_labs
    local probe="$NS_PREFIX-probe-$$"
    ip netns add "$probe" 2>/dev/null || skip "cannot create network namespaces here"
    ip netns del "$probe"
}

# make_ns NAME: a namespace with loopback up, removed at exit.
make_ns() {
    ip netns add "$1" 2>/dev/null || skip "cannot create network namespaces here"
    created_ns+=("$1")
    ip -n "$1" link set lo up || die "cannot bring up loopback in $1"
}

in_ns() {
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}

set_sysctl() {
    ip netns exec "$1" sysctl -qw "$2=$3" >/dev/null || die "cannot set $2 in $1"
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

# addr6 NS IF ADDR/LEN: an IPv6 address usable at once (no duplicate address detection).
addr6() {
    ip -n "$1" addr add "$3" dev "$2" nodad || die "cannot address $2 in $1 with $3"
}

# route NS DEST VIA, in the family of VIA.
route() {
    local family=-4
    [[ $3 == *:* ]] && family=-6
    ip -n "$1" "$family" route add "$2" via "$3" || die "cannot add the route to $2 in $1"
}

# make_router_lab N CLIENT R1 R2 TARGET QUIET: the namespaces client - r1 - r2 - target, and a
# quiet host behind r2 that ignores echo requests. Link k is 10.N.k.0/24 and fd00:N:k::/64, the
# router's end .1 (::1) away from the client and the far end .2 (::2): client 10.N.1.1, r1
# 10.N.1.2, r2 10.N.2.2, target 10.N.3.2, quiet 10.N.4.2. r1 knows no route to 10.N.9.0/24 nor
# fd00:N:9::/64. The routers forward, and send their errors without a rate limit.
make_router_lab() {
    local n=$1 c=$2 r1=$3 r2=$4 t=$5 q=$6 ns
    for ns in "$c" "$r1" "$r2" "$t" "$q"; do
        make_ns "$ns"
        # Link-local addresses too come up at once: a router whose own is still tentative
        # cannot resolve its neighbours, which held the first IPv6 packets for two seconds.
        set_sysctl "$ns" net.ipv6.conf.default.accept_dad 0
    done
    link "$c" eth0 "10.$n.1.1/24" "$r1" eth0 "10.$n.1.2/24"
    link "$r1" eth1 "10.$n.2.1/24" "$r2" eth0 "10.$n.2.2/24"
    link "$r2" eth1 "10.$n.3.1/24" "$t" eth0 "10.$n.3.2/24"
    link "$r2" eth2 "10.$n.4.1/24" "$q" eth0 "10.$n.4.2/24"
    route "$c" default "10.$n.1.2"
    route "$r1" "10.$n.3.0/24" "10.$n.2.2"
    route "$r1" "10.$n.4.0/24" "10.$n.2.2"
    route "$r2" default "10.$n.2.1"
    route "$t" default "10.$n.3.1"
    route "$q" default "10.$n.4.1"
    addr6 "$c" eth0 "fd00:$n:1::1/64"
    addr6 "$r1" eth0 "fd00:$n:1::2/64"
    addr6 "$r1" eth1 "fd00:$n:2::1/64"
    addr6 "$r2" eth0 "fd00:$n:2::2/64"
    addr6 "$r2" eth1 "fd00:$n:3::1/64"
    addr6 "$t" eth0 "fd00:$n:3::2/64"
    addr6 "$r2" eth2 "fd00:$n:4::1/64"
    addr6 "$q" eth0 "fd00:$n:4::2/64"
    route "$c" default "fd00:$n:1::2"
    route "$r1" "fd00:$n:3::/64" "fd00:$n:2::2"
    route "$r1" "fd00:$n:4::/64" "fd00:$n:2::2"
    route "$r2" default "fd00:$n:2::1"
    route "$t" default "fd00:$n:3::1"
    route "$q" default "fd00:$n:4::1"
    for ns in "$r1" "$r2"; do
        set_sysctl "$ns" net.ipv4.ip_forward 1
        # Routers rate-limit Time Exceeded and Unreachable to one a second per peer by
        # default. An empty mask exempts every type; icmp_ratelimit=0 would not do: it drains
        # the per-peer tokens that the no-route error shares, and silences that error.
        set_sysctl "$ns" net.ipv4.icmp_ratemask 0
        set_sysctl "$ns" net.ipv6.conf.all.forwarding 1
        set_sysctl "$ns" net.ipv6.icmp.ratelimit 0 # no pause between a router's errors
    done
    set_sysctl "$q" net.ipv4.icmp_echo_ignore_all 1
    set_sysctl "$q" net.ipv6.icmp.echo_ignore_all 1
}

# The echo lab (make_lab): make_router_lab's over 10.201/fd00:201, and behind r2 a slow host
# whose kernel ignores echo requests too (start_slow_responder answers there, late).
LAB_R1=10.201.1.2   # router 1 as the client sees it (the address it answers from)
LAB_R2=10.201.2.2   # router 2 likewise
LAB_TARGET=10.201.3.2
LAB_QUIET=10.201.4.2
LAB_SLOW=10.201.5.2
LAB_UNROUTABLE=10.201.9.9
LAB_OTHER=10.201.3.3 # the target's second address (lab_answer_from_other_address)
LAB6_R1=fd00:201:1::2
LAB6_R2=fd00:201:2::2
LAB6_TARGET=fd00:201:3::2
LAB6_QUIET=fd00:201:4::2
LAB6_UNROUTABLE=fd00:201:9::9

make_lab() {
    local p="$NS_PREFIX-$$"
    LAB_CLIENT="$p-client"
    LAB_R2_NS="$p-r2"
    LAB_TARGET_NS="$p-target"
    LAB_SLOW_NS="$p-slow"
    make_router_lab 201 "$LAB_CLIENT" "$p-r1" "$LAB_R2_NS" "$LAB_TARGET_NS" "$p-quiet"
    make_ns "$LAB_SLOW_NS"
    link "$LAB_R2_NS" eth3 10.201.5.1/24 "$LAB_SLOW_NS" eth0 10.201.5.2/24
    route "$p-r1" 10.201.5.0/24 10.201.2.2
    route "$LAB_SLOW_NS" default 10.201.5.1
    set_sysctl "$LAB_SLOW_NS" net.ipv4.icmp_echo_ignore_all 1
}

# lab_answer_from_other_address: gives the target a second address, LAB_OTHER, whose echo
# replies leave with LAB_TARGET as their source, as from a multihomed host that answers from
# another interface. Linux answers from the address asked, so nftables rewrites the source in
# the target's output hook (stateless: the ICMP checksum does not cover addresses).
lab_answer_from_other_address() {
    ip -n "$LAB_TARGET_NS" addr add "$LAB_OTHER/24" dev eth0 || exit 1
    in_ns "$LAB_TARGET_NS" nft -f - <<EOF || skip "nftables does not work inside a network namespace here"
table ip sabrevin {
    chain out {
        type filter hook output priority 0;
        icmp type echo-reply ip saddr $LAB_OTHER ip saddr set $LAB_TARGET
    }
}
EOF
}

# start_slow_responder PROBE DELAY_MS SECONDS [decoys]: answers echo requests to the slow host,
# late; with decoys, after false answers at once (icmp_net_probe.cpp, SendDecoys).
start_slow_responder() {
    ip netns exec "$LAB_SLOW_NS" "$1" respond "$2" "$3" "${@:4}" &
    BACKGROUND+=("$!")
}

# A world-readable copy of the build's module, helper and probe for a user who cannot read the
# build tree, in the lab's temp directory (returned in STAGE).
stage() {
    local build=$1 f
    workdir=$(mktemp -d /tmp/sabrevin-icmp-test.XXXXXX) || exit 1
    chmod 755 "$workdir"
    STAGE="$workdir"
    for f in sabrevin-icmp.so sabrevin-icmp-helper icmp_net_probe; do
        if [ -e "$build/$f" ]; then
            install -m 755 "$build/$f" "$STAGE/$f" || exit 1
        fi
    done
}

# start_dnsmasq NS CONF_LINES: dnsmasq in NS as our own child (so that teardown ends and reaps
# it at once), with the lines of CONF_LINES and its pid file and log in the temp directory.
start_dnsmasq() {
    local dnsmasq
    dnsmasq=$(find_tool dnsmasq) || skip "needs dnsmasq (dnsmasq-base)"
    [ -n "$workdir" ] || workdir=$(mktemp -d "$WORK_PREFIX.$$.XXXXXX") || die "cannot make a temp directory"
    chmod 755 "$workdir" # dnsmasq drops to nobody and must still reach its log
    dnsmasq_log="$workdir/dnsmasq.log"
    printf '%s\n' no-resolv no-hosts bind-interfaces port=53 "pid-file=$workdir/dnsmasq.pid" \
        "log-facility=$dnsmasq_log" log-queries "$2" >"$workdir/dnsmasq.conf"
    ip netns exec "$1" "$dnsmasq" --keep-in-foreground --conf-file="$workdir/dnsmasq.conf" \
        >"$workdir/dnsmasq.out" 2>&1 </dev/null &
    dnsmasq_pid=$!
}

# dnsmasq_alive: dies with dnsmasq's own words if it has ended.
dnsmasq_alive() {
    kill -0 "$dnsmasq_pid" 2>/dev/null && return 0
    wait "$dnsmasq_pid" 2>/dev/null
    dnsmasq_pid=""
    die "dnsmasq did not start: $(head -c 400 "$workdir/dnsmasq.out")"
}

# run_in_ns NS COMMAND...: COMMAND in NS, in the background so that a signal reaches our traps
# at once and the lab is torn down. A background job would get /dev/null as stdin and ignore
# SIGINT and SIGQUIT: stdin is handed on and the signals get their defaults back.
run_in_ns() {
    local ns=$1 status
    shift
    exec 3<&0
    (
        trap - INT QUIT
        exec ip netns exec "$ns" "$@"
    ) <&3 3<&- &
    command_pid=$!
    exec 3<&-
    wait "$command_pid"
    status=$?
    command_pid=""
    return "$status"
}
