#!/usr/bin/env bash
# The Debian package, made by CPack from BUILD_DIR: its name, contents and control data;
# lintian (errors fail) and the AppStream validator; then installed into this machine with dpkg
# (root only: CI runs on a throw-away machine) and checked there: every file in place, no
# setuid bit, the helper given cap_net_raw by the postinst (and one line when it cannot), the
# installed program up offscreen, and loopback pinged through the installed echo module by
# nobody in a network namespace of its own with ping sockets refused, so that only the
# helper's capability makes it work (and removing the capability makes it fail). Last, the
# removal: nothing of the package is left. The package is removed whatever happens.
# Usage: [CPACK=path/to/cpack] test_package.sh BUILD_DIR
# shellcheck disable=SC2317  # functions here are called through check and trap
# shellcheck disable=SC2016  # the bash -c snippets take their arguments as $1, $2
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: test_package.sh BUILD_DIR}
build=$(cd "$build" && pwd) || exit 2
cpack=${CPACK:-cpack}

# Namespaces removed at exit, skip(), NOBODY_UID and NOBODY_GID.
# shellcheck source=icmp/netns_lib.sh
. "$here/icmp/netns_lib.sh"
[ "$(id -u)" = 0 ] || skip "needs root: installs the package into this machine and removes it"
require_netns
for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps file lintian appstreamcli setcap getcap setpriv; do
    command -v "$tool" >/dev/null || skip "needs $tool (scripts/packages.sh lists the Debian packages)"
done
[ -f "$build/CPackConfig.cmake" ] || skip "$build has no CPackConfig.cmake"
sanitize=$(sed -n 's/^SABREVIN_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -z "$sanitize" ] || skip "$build is a sanitizer build ($sanitize), not one to package"
[ -x "$build/icmp_net_probe" ] || skip "$build has no icmp_net_probe (build the tests)"
if dpkg-query -W -f='${db:Status-Status}' sabrevin 2>/dev/null | grep -qx installed; then
    skip "a sabrevin package is installed on this machine already; this test installs its own"
fi

tmp=$(mktemp -d /tmp/sabrevin-package.XXXXXX) || exit 2
chmod 755 "$tmp"
installed=0
pids=()
package_cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if [ "$installed" -eq 1 ]; then
        dpkg --purge sabrevin >"$tmp/purge-at-exit.log" 2>&1 || cat "$tmp/purge-at-exit.log"
    fi
    cleanup # the namespaces (netns_lib.sh)
    rm -rf "$tmp"
}
trap package_cleanup EXIT

passed=0
failed=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then ok "$what"; else fail "$what"; fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

# --- The package file.
if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    fail "cpack --config $build/CPackConfig.cmake"
    finish
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
deb=$tmp/out/sabrevin_${version}-1_$(dpkg --print-architecture).deb
check "cpack makes $(basename "$deb")" test -f "$deb"
[ -f "$deb" ] || finish
echo "package size: $(stat -c %s "$deb") bytes"

dpkg-deb -c "$deb" >"$tmp/contents"
has() { grep -qE " \./$1\$" "$tmp/contents"; }
for path in usr/bin/sabrevin usr/lib/sabrevin/sabrevin-icmp.so \
    usr/lib/sabrevin/sabrevin-icmp-helper usr/share/applications/sabrevin.desktop \
    usr/share/icons/hicolor/32x32/apps/sabrevin.png usr/share/icons/hicolor/64x64/apps/sabrevin.png \
    usr/share/icons/hicolor/128x128/apps/sabrevin.png \
    usr/share/icons/hicolor/scalable/apps/sabrevin.svg \
    usr/share/metainfo/example.varnstead.sabrevin.metainfo.xml usr/share/man/man1/sabrevin.1.gz \
    usr/share/doc/sabrevin/copyright usr/share/doc/sabrevin/changelog.Debian.gz; do
    check "the package holds /$path" has "$path"
done
others=$(awk '{print $6}' "$tmp/contents" | grep -vE '/$' |
    grep -vE '^\./usr/(bin/sabrevin|lib/sabrevin/|share/(applications|icons|metainfo|man|doc/sabrevin)/)')
check "nothing else${others:+ (found: $others)}" test -z "$others"
check "no setuid or setgid bit in the package" \
    test -z "$(awk '$1 ~ /[sS]/' "$tmp/contents")"
check "every file belongs to root/root" test -z "$(awk '$2 != "root/root"' "$tmp/contents")"

control() { dpkg-deb -f "$deb" "$1"; }
depends=$(control Depends)
check "Depends names libcap2-bin for the postinst ($depends)" grep -qE '(^|, )libcap2-bin(,|$)' <<<"$depends"
check "Depends comes from the binaries (libc6, Qt 6, c-ares)" \
    grep -qE 'libc6 \(>=.*libqt6widgets6|libc-ares2.*libc6' <<<"$depends"
check "the version is ${version}-1" test "$(control Version)" = "${version}-1"
dpkg-deb -e "$deb" "$tmp/control"
check "the package has a postinst" test -x "$tmp/control/postinst"
check "no maintainer script makes anything setuid" \
    bash -c '! grep -hE "chmod[^#]*([ugoa]*\+[rwx]*s|[2467][0-7]{3})" "$1"/*inst "$1"/*rm 2>/dev/null' _ "$tmp/control"
check "no maintainer script runs ldconfig" \
    bash -c '! grep -lq ldconfig "$1"/*inst "$1"/*rm 2>/dev/null' _ "$tmp/control"

# What the files say.
dpkg-deb -x "$deb" "$tmp/root"
copyright=$tmp/root/usr/share/doc/sabrevin/copyright
check "the copyright file is machine-readable" \
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright"
check "the changelog's top entry is ${version}-1" \
    bash -c 'zcat "$1" | head -n 1 | grep -qF "sabrevin ($2-1) "' _ \
    "$tmp/root/usr/share/doc/sabrevin/changelog.Debian.gz" "$version"
man=$(zcat "$tmp/root/usr/share/man/man1/sabrevin.1.gz" | sed 's/\\-/-/g')
# shellcheck disable=SC2088  # the page names the file with a tilde, as the user types it
for text in '.SH NAME' 'sabrevin - ' 'Ping' 'Trace' 'Lookup' 'Local Info' \
    '~/.config/Varnstead/sabrevin.ini' 'sysctl -w net.ipv4.ping_group_range="0 2147483647"' \
    'setcap cap_net_raw+ep /usr/lib/sabrevin/sabrevin-icmp-helper' '.SH FILES' '.SH EXIT STATUS'; do
    check "the manual page says: $text" grep -qF -- "$text" <<<"$man"
done
metainfo=$tmp/root/usr/share/metainfo/example.varnstead.sabrevin.metainfo.xml
if out=$(appstreamcli validate --no-net "$metainfo" 2>&1); then
    ok "appstreamcli validate --no-net accepts the metainfo"
else
    echo "$out"
    fail "appstreamcli validate --no-net"
fi
for text in "<name>Sabrevin</name>" "<summary>" "<description>" "<caption>" \
    "<release version=\"$version\""; do
    check "the metainfo carries $text" grep -qF -- "$text" "$metainfo"
done

# lintian: errors fail; warnings are listed.
lintian --allow-root -I "$deb" >"$tmp/lintian.log" 2>&1
sed 's/^/    lintian: /' "$tmp/lintian.log"
echo "lintian: $(grep -c '^E:' "$tmp/lintian.log") errors, $(grep -c '^W:' "$tmp/lintian.log") warnings, $(grep -c '^I:' "$tmp/lintian.log") infos"
check "lintian reports no errors" test "$(grep -c '^E:' "$tmp/lintian.log")" -eq 0

# --- Installed into this machine.
installed=1 # from here on the exit removes it, even after a half-done install
if ! dpkg -i "$deb" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    fail "dpkg -i $(basename "$deb")"
    finish
fi
ok "dpkg -i $(basename "$deb")"
dpkg -L sabrevin | sort >"$tmp/list"
missing=""
while read -r path; do
    [ -e "/$path" ] || missing+=" /$path"
done < <(awk '{print $6}' "$tmp/contents" | sed 's|^\./||' | grep -vE '/$')
check "every file of the package is installed${missing:+ (missing:$missing)}" test -z "$missing"
check "dpkg -L sabrevin names /usr/bin/sabrevin" grep -qx /usr/bin/sabrevin "$tmp/list"
suid=$(while read -r path; do [ -f "$path" ] && find "$path" -perm /6000; done <"$tmp/list")
check "no installed file is setuid or setgid${suid:+ ($suid)}" test -z "$suid"

helper=/usr/lib/sabrevin/sabrevin-icmp-helper
notes=$(grep -c '^sabrevin: ' "$tmp/install.log")
if getcap "$helper" | grep -q 'cap_net_raw[=+]ep'; then
    ok "the postinst gave $helper cap_net_raw ($(getcap "$helper"))"
    check "and said nothing about it" test "$notes" -eq 0
    has_cap=1
else
    check "the postinst says in one line that it could not set the capability" test "$notes" -eq 1
    grep '^sabrevin: ' "$tmp/install.log"
    has_cap=0
fi
# A file system without extended attributes, played by a setcap that fails as it would there.
mkdir -p "$tmp/fakebin"
cat >"$tmp/fakebin/setcap" <<'EOF'
#!/bin/sh
echo "Failed to set capabilities on file \`$2' (Operation not supported)" >&2
echo "The value of the capability argument is not permitted for a file. Or the file is not a regular (non-symlink) file" >&2
exit 1
EOF
chmod 755 "$tmp/fakebin/setcap"
out=$(PATH=$tmp/fakebin:$PATH sh /var/lib/dpkg/info/sabrevin.postinst configure 2>&1)
rc=$?
check "where setcap fails, the postinst still succeeds" test "$rc" -eq 0
check "and says so in one line ($out)" \
    bash -c '[ "$(printf "%s\n" "$1" | wc -l)" -eq 1 ] && [[ $1 == *"Operation not supported"* ]]' _ "$out"

# A network namespace of our own, with ping sockets refused as Debian's default does.
ns="sbv-$$-pkg"
make_ns "$ns"
set_sysctl "$ns" net.ipv4.ping_group_range "1 0"
as_nobody_in_ns() {
    ip netns exec "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- "$@"
}

# The installed program, offscreen, as nobody with a home of its own: it binds its module from
# /usr/lib/sabrevin/ and stays up with its window open.
home=$tmp/home
mkdir -p "$home/config" "$home/runtime"
chmod 700 "$home/runtime"
chown -R "$NOBODY_UID:$NOBODY_GID" "$home"
# (Not through as_nobody_in_ns: $! must be the program itself, which ip, setpriv and env exec.)
ip netns exec "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
    env QT_QPA_PLATFORM=offscreen HOME="$home" XDG_CONFIG_HOME="$home/config" \
    XDG_RUNTIME_DIR="$home/runtime" /usr/bin/sabrevin >"$tmp/sabrevin.log" 2>&1 &
pid=$!
pids+=("$pid")
mapped=0
for _ in $(seq 100); do
    if grep -qF " /usr/lib/sabrevin/sabrevin-icmp.so" "/proc/$pid/maps" 2>/dev/null; then
        mapped=1
        break
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
check "/usr/bin/sabrevin loads /usr/lib/sabrevin/sabrevin-icmp.so" test "$mapped" -eq 1
sleep 2
if kill -0 "$pid" 2>/dev/null; then
    ok "/usr/bin/sabrevin is still running two seconds later"
else
    cat "$tmp/sabrevin.log"
    fail "/usr/bin/sabrevin is still running two seconds later"
fi
kill -TERM "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

# Loopback pinged by nobody through the installed module: with ping sockets refused and no
# capability of its own, only the helper's capability opens the socket.
install -m 755 "$build/icmp_net_probe" "$tmp/icmp_net_probe"
if [ "$has_cap" -eq 1 ]; then
    if out=$(as_nobody_in_ns "$tmp/icmp_net_probe" burst /usr/lib/sabrevin/sabrevin-icmp.so helper \
        127.0.0.1 5 2>&1); then
        ok "nobody pings 127.0.0.1 through the installed module and its helper"
    else
        echo "$out"
        fail "nobody pings 127.0.0.1 through the installed module and its helper"
    fi
    # The control: without the capability the same user gets no socket.
    setcap -r "$helper"
    if out=$(as_nobody_in_ns "$tmp/icmp_net_probe" refused /usr/lib/sabrevin/sabrevin-icmp.so 2>&1); then
        ok "without the helper's capability nobody gets no ICMP socket, and is told why"
    else
        echo "$out"
        fail "without the helper's capability nobody gets no ICMP socket, and is told why"
    fi
else
    echo "skipped: the ping through the helper (the helper has no capability here)"
fi

# --- Removed: nothing of it is left.
if dpkg --purge sabrevin >"$tmp/purge.log" 2>&1; then
    installed=0
    ok "dpkg --purge sabrevin"
else
    cat "$tmp/purge.log"
    fail "dpkg --purge sabrevin"
fi
left=$(while read -r path; do
    # Directories that other packages share (/usr, /usr/share/man/man1 ...) stay, of course.
    if [ -e "$path" ] && { [ ! -d "$path" ] || [[ $path == /usr/lib/sabrevin* || $path == /usr/share/doc/sabrevin* ]]; }; then
        echo "$path"
    fi
done <"$tmp/list")
check "every file that dpkg -L listed is gone${left:+ (left: $left)}" test -z "$left"
check "no /usr/lib/sabrevin" test ! -e /usr/lib/sabrevin
check "dpkg -S finds nothing of sabrevin" bash -c '! dpkg -S /usr/bin/sabrevin /usr/lib/sabrevin >/dev/null 2>&1'
check "dpkg knows no sabrevin package" \
    bash -c '! dpkg-query -W -f="\${db:Status-Status}" sabrevin 2>/dev/null | grep -qx installed'

finish
