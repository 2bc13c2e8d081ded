# Sourced by the lab scripts (tests/dns, tests/probe_lab): skipping and failing with a reason,
# the /etc/netns folder the labs share (one lock, one mark, so that the last lab out removes an
# /etc/netns that a lab made, and nothing else), ending a namespace, and finding tools. Set
# LAB_NAME before sourcing; it names the lab in error messages.

SKIP_CODE=77
NETNS_ETC=/etc/netns
NETNS_ETC_MARK="$NETNS_ETC/.made-by-sabrevin-dns-lab"
# The lock is this file: every lab script takes the same one.
ETC_LOCK="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"

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

# What a lab made, removed on exit, error or signal; the lab script fills these in.
created_ns=()
workdir=""
netns_dir=""
command_pid=""
dnsmasq_pid=""

cleanup() {
    local ns
    trap '' INT TERM HUP
    for ns in "${created_ns[@]}"; do
        kill_and_delete_ns "$ns"
    done
    [ -n "$command_pid" ] && wait "$command_pid" 2>/dev/null
    [ -n "$dnsmasq_pid" ] && wait "$dnsmasq_pid" 2>/dev/null
    [ -n "$netns_dir" ] && with_etc_lock remove_netns_dir "$netns_dir"
    [ -n "$workdir" ] && rm -rf -- "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Removes labs whose run was killed before it could clean up: namespaces ($NS_PREFIX-<pid>-*),
# /etc/netns entries and temp directories ($WORK_PREFIX.<pid>.*) of a pid that no longer runs.
sweep_stale_labs() {
    local ns pid dir
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
        [[ $ns =~ ^$NS_PREFIX-([0-9]+)-[a-z0-9]+$ ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null && continue
        kill_and_delete_ns "$ns"
    done
    for dir in "$NETNS_ETC/$NS_PREFIX"-*-c; do
        [ -d "$dir" ] || continue
        [[ ${dir##*/} =~ ^$NS_PREFIX-([0-9]+)-c$ ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null && continue
        with_etc_lock remove_netns_dir "$dir"
    done
    for dir in "$WORK_PREFIX".*; do
        [ -d "$dir" ] || continue
        [[ ${dir##*/} =~ ^${WORK_PREFIX##*/}\.([0-9]+)\.[A-Za-z0-9]{6}$ ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null && continue
        rm -rf -- "$dir"
    done
}
