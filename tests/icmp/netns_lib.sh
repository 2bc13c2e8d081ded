# shellcheck shell=bash disable=SC2034  # the LAB_ addresses are for the scripts that source it
# Sourced by the network tests and the RTT benchmark: skipping with a reason, network namespaces
# that are removed again whatever happens, a lab of routers, and running the probe as an
# unprivileged user. Touches nothing outside the namespaces it makes and its own temp directory.

SKIP_CODE=77
NOBODY_UID=$(id -u nobody 2>/dev/null || echo 65534)
NOBODY_GID=$(id -g nobody 2>/dev/null || echo 65534)

skip() {
    echo "SKIP: $*"
    exit "$SKIP_CODE"
}

NAMESPACES=()
BACKGROUND=()
WORKDIR=""

cleanup() {
    local pid ns
    for pid in "${BACKGROUND[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for ns in "${NAMESPACES[@]}"; do
        # Only processes started inside our own namespaces, by their ids.
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill "$pid" 2>/dev/null
        done
        ip netns del "$ns" 2>/dev/null
    done
    NAMESPACES=()
    [ -n "$WORKDIR" ] && rm -rf "$WORKDIR"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# forget_background PID: a background job that has been waited for; never signal it again, as
# its id may belong to another process by now.
forget_background() {
    local kept=() pid
    for pid in "${BACKGROUND[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    BACKGROUND=("${kept[@]}")
}

# Namespaces of an earlier run that was killed outright (a test time-out sends SIGKILL, which no
# trap sees): named sbv-PID-..., where PID no longer runs.
remove_stale_namespaces() {
    local ns pid
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^sbv-[0-9]+-'); do
        pid=${ns#sbv-}
        pid=${pid%%-*}
        if ! kill -0 "$pid" 2>/dev/null; then
            ip netns del "$ns" 2>/dev/null
        fi
    done
}

require_netns() {
    [ "$(id -u)" = 0 ] || skip "needs root to build network namespaces"
    command -v ip >/dev/null || skip "needs iproute2 (ip)"
    remove_stale_namespaces
    local probe="sbv-probe-$$"
    ip netns add "$probe" 2>/dev/null || skip "cannot create network namespaces here"
    ip netns del "$probe"
}

require_command() {
    command -v "$1" >/dev/null || skip "needs $1 ($2)"
}

# make_ns NAME: a namespace with loopback up, removed at exit.
make_ns() {
    ip netns add "$1" || exit 1
    NAMESPACES+=("$1")
    ip -n "$1" link set lo up
}

in_ns() {
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}

set_sysctl() {
    ip netns exec "$1" sysctl -qw "$2=$3" || exit 1
}

# link NS1 IF1 ADDR1/PREFIX NS2 IF2 ADDR2/PREFIX: a veth pair between two namespaces.
link() {
    ip -n "$1" link add "$2" type veth peer name "$5" netns "$4" || exit 1
    ip -n "$1" addr add "$3" dev "$2"
    ip -n "$4" addr add "$6" dev "$5"
    ip -n "$1" link set "$2" up
    ip -n "$4" link set "$5" up
}

# A world-readable copy of the build's module, helper and probe for a user who cannot read the
# build tree, in WORKDIR (returned in STAGE).
stage() {
    local build=$1
    WORKDIR=$(mktemp -d /tmp/sabrevin-icmp-test.XXXXXX) || exit 1
    chmod 755 "$WORKDIR"
    STAGE="$WORKDIR"
    local f
    for f in sabrevin-icmp.so sabrevin-icmp-helper icmp_net_probe; do
        if [ -e "$build/$f" ]; then
            install -m 755 "$build/$f" "$STAGE/$f" || exit 1
        fi
    done
}

as_nobody() {
    setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- "$@"
}

# The lab: client - router1 - router2 - target, and behind router2 a quiet host that ignores
# echo requests and a slow one whose kernel ignores them too (start_slow_responder answers
# there, late). Router 1 knows no route to 10.201.9.0/24.
LAB_R1=10.201.1.2   # router 1 as the client sees it (the address it answers from)
LAB_R2=10.201.2.2   # router 2 likewise
LAB_TARGET=10.201.3.2
LAB_QUIET=10.201.4.2
LAB_SLOW=10.201.5.2
LAB_UNROUTABLE=10.201.9.9
LAB_OTHER=10.201.3.3 # the target's second address (lab_answer_from_other_address)
# The same lab over IPv6, link n being fd00:201:n::/64 (the router's end ::1 towards the client,
# ::2 away from it, as for IPv4). Router 1 knows no route to fd00:201:9::/64.
LAB6_R1=fd00:201:1::2
LAB6_R2=fd00:201:2::2
LAB6_TARGET=fd00:201:3::2
LAB6_QUIET=fd00:201:4::2
LAB6_UNROUTABLE=fd00:201:9::9

# addr6 NS IF ADDR/PREFIX: an IPv6 address usable at once (no duplicate address detection).
addr6() {
    ip -n "$1" addr add "$3" dev "$2" nodad || exit 1
}

make_lab() {
    local p="sbv-$$"
    LAB_CLIENT="$p-client"
    make_ns "$LAB_CLIENT"
    make_ns "$p-r1"
    make_ns "$p-r2"
    LAB_TARGET_NS="$p-target"
    make_ns "$LAB_TARGET_NS"
    make_ns "$p-quiet"
    LAB_SLOW_NS="$p-slow"
    make_ns "$LAB_SLOW_NS"
    local ns
    for ns in "$LAB_CLIENT" "$p-r1" "$p-r2" "$LAB_TARGET_NS" "$p-quiet" "$LAB_SLOW_NS"; do
        # Link-local addresses too come up at once: a router whose own is still tentative
        # cannot resolve its neighbours, which held the first IPv6 packets for two seconds.
        set_sysctl "$ns" net.ipv6.conf.default.accept_dad 0
    done
    link "$LAB_CLIENT" eth0 10.201.1.1/24 "$p-r1" eth0 10.201.1.2/24
    link "$p-r1" eth1 10.201.2.1/24 "$p-r2" eth0 10.201.2.2/24
    link "$p-r2" eth1 10.201.3.1/24 "$p-target" eth0 10.201.3.2/24
    link "$p-r2" eth2 10.201.4.1/24 "$p-quiet" eth0 10.201.4.2/24
    link "$p-r2" eth3 10.201.5.1/24 "$LAB_SLOW_NS" eth0 10.201.5.2/24
    ip -n "$LAB_CLIENT" route add default via 10.201.1.2
    ip -n "$p-r1" route add 10.201.3.0/24 via 10.201.2.2
    ip -n "$p-r1" route add 10.201.4.0/24 via 10.201.2.2
    ip -n "$p-r1" route add 10.201.5.0/24 via 10.201.2.2
    ip -n "$p-r2" route add default via 10.201.2.1
    ip -n "$p-target" route add default via 10.201.3.1
    ip -n "$p-quiet" route add default via 10.201.4.1
    ip -n "$LAB_SLOW_NS" route add default via 10.201.5.1
    for ns in "$p-r1" "$p-r2"; do
        set_sysctl "$ns" net.ipv4.ip_forward 1
        # Routers rate-limit Time Exceeded and Unreachable to one a second per peer by
        # default. An empty mask exempts every type; icmp_ratelimit=0 would not do: it drains
        # the per-peer tokens that the no-route error shares, and silences that error.
        set_sysctl "$ns" net.ipv4.icmp_ratemask 0
    done
    set_sysctl "$p-quiet" net.ipv4.icmp_echo_ignore_all 1
    set_sysctl "$LAB_SLOW_NS" net.ipv4.icmp_echo_ignore_all 1

    addr6 "$LAB_CLIENT" eth0 fd00:201:1::1/64
    addr6 "$p-r1" eth0 fd00:201:1::2/64
    addr6 "$p-r1" eth1 fd00:201:2::1/64
    addr6 "$p-r2" eth0 fd00:201:2::2/64
    addr6 "$p-r2" eth1 fd00:201:3::1/64
    addr6 "$p-target" eth0 fd00:201:3::2/64
    addr6 "$p-r2" eth2 fd00:201:4::1/64
    addr6 "$p-quiet" eth0 fd00:201:4::2/64
    ip -n "$LAB_CLIENT" -6 route add default via fd00:201:1::2
    ip -n "$p-r1" -6 route add fd00:201:3::/64 via fd00:201:2::2
    ip -n "$p-r1" -6 route add fd00:201:4::/64 via fd00:201:2::2
    ip -n "$p-r2" -6 route add default via fd00:201:2::1
    ip -n "$p-target" -6 route add default via fd00:201:3::1
    ip -n "$p-quiet" -6 route add default via fd00:201:4::1
    for ns in "$p-r1" "$p-r2"; do
        set_sysctl "$ns" net.ipv6.conf.all.forwarding 1
        set_sysctl "$ns" net.ipv6.icmp.ratelimit 0 # no pause between a router's errors
    done
    set_sysctl "$p-quiet" net.ipv6.icmp.echo_ignore_all 1
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
