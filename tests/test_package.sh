#!/usr/bin/env bash
# shellcheck disable=SC2016,SC2034,SC2317  # check evaluates its conditions, with these names
# The Debian package CPack makes from BUILD_DIR: exactly its files, its control data and
# documents, lintian without errors, valid AppStream metadata. Then installed into this machine
# (root only: CI runs on a throw-away machine): no setuid bit, cap_net_raw given to the helper by
# the postinst (one line, and success, where setcap fails), loopback pinged through the installed
# module by nobody in a namespace that refuses ping sockets, and refused once the capability is
# gone. Last, the purge leaves nothing. The package is removed whatever happens.
# Usage: [CPACK=path/to/cpack] test_package.sh BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: test_package.sh BUILD_DIR}" && pwd) || exit 2
cpack=${CPACK:-cpack}

# shellcheck source=lab.sh
. "$here/lab.sh"
require_netns
for tool in "$cpack" dpkg-deb lintian appstreamcli setcap getcap setpriv; do
    require_command "$tool" "scripts/packages.sh lists the Debian packages"
done
[ -f "$build/CPackConfig.cmake" ] || skip "$build has no CPackConfig.cmake"
grep -q '^SABREVIN_SANITIZE:[A-Z]*=.' "$build/CMakeCache.txt" && skip "$build is a sanitizer build"
[ -x "$build/icmp_net_probe" ] || skip "$build has no icmp_net_probe (build the tests)"
dpkg -s sabrevin >/dev/null 2>&1 && skip "a sabrevin package is on this machine already"

stage "$build" # $STAGE: the probe, readable by nobody; removed at exit with the namespaces
tmp=$STAGE
installed=0
trap '[ "$installed" = 1 ] && dpkg --purge sabrevin >/dev/null; cleanup' EXIT
fail=0
check() { # check NAME CONDITION
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; return 1; fi
}

# --- The package file.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
deb=$tmp/out/sabrevin_${version}-1_$(dpkg --print-architecture).deb
"$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || cat "$tmp/cpack.log"
[ -f "$deb" ] || { echo "FAILED: cpack makes no $deb"; exit 1; }
expected="./usr/bin/sabrevin
./usr/lib/sabrevin/sabrevin-icmp-helper
./usr/lib/sabrevin/sabrevin-icmp.so
./usr/share/applications/sabrevin.desktop
./usr/share/doc/sabrevin/changelog.Debian.gz
./usr/share/doc/sabrevin/copyright
./usr/share/icons/hicolor/128x128/apps/sabrevin.png
./usr/share/icons/hicolor/32x32/apps/sabrevin.png
./usr/share/icons/hicolor/64x64/apps/sabrevin.png
./usr/share/icons/hicolor/scalable/apps/sabrevin.svg
./usr/share/man/man1/sabrevin.1.gz
./usr/share/metainfo/example.varnstead.sabrevin.metainfo.xml"
check "the package holds these files and no others" \
    'diff <(echo "$expected") <(dpkg-deb -c "$deb" | awk "\$1 !~ /^d/ {print \$6}" | LC_ALL=C sort)'
check "Depends: libcap2-bin for the postinst, then the libraries' packages" \
    '[[ $(dpkg-deb -f "$deb" Depends) == "libcap2-bin, "*"libc6 (>="* ]]'
dpkg-deb -e "$deb" "$tmp/control"
check "no maintainer script or trigger runs ldconfig" '! grep -rq ldconfig "$tmp/control"'
dpkg-deb -x "$deb" "$tmp/root"
doc=$tmp/root/usr/share/doc/sabrevin
check "the copyright file is machine-readable" \
    'grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" "$doc/copyright"'
check "the changelog's top entry is ${version}-1" \
    '[[ $(zcat "$doc/changelog.Debian.gz" | head -n 1) == "sabrevin ($version-1) "* ]]'
man=$(zcat "$tmp/root/usr/share/man/man1/sabrevin.1.gz" | sed 's/\\-/-/g')
# shellcheck disable=SC2088  # the page names the file with a tilde, as the user types it
for text in '~/.config/Varnstead/sabrevin.ini' 'sysctl -w net.ipv4.ping_group_range="0 2147483647"' \
    'setcap cap_net_raw+ep /usr/lib/sabrevin/sabrevin-icmp-helper'; do
    check "the manual page says: $text" 'grep -qF -- "$text" <<<"$man"'
done
check "appstreamcli validate --no-net accepts the metainfo" \
    'appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/example.varnstead.sabrevin.metainfo.xml"'
lintian --allow-root -I "$deb" | sed 's/^/    lintian: /' | tee "$tmp/lintian.log"
check "lintian reports no errors" '! grep -q "lintian: E:" "$tmp/lintian.log"'

# --- Installed into this machine.
installed=1 # from here on the exit removes it, even after a half-done install
check "dpkg -i $(basename "$deb")" 'dpkg -i "$deb" >"$tmp/install.log" 2>&1 || ! cat "$tmp/install.log"'
check "no installed file is setuid or setgid" \
    '[ -z "$(dpkg -L sabrevin | while read -r f; do [ -f "$f" ] && find "$f" -perm /6000; done)" ]'
helper=/usr/lib/sabrevin/sabrevin-icmp-helper
check "the postinst gave $helper cap_net_raw ($(getcap "$helper")), saying nothing" \
    '[[ $(getcap "$helper") == *cap_net_raw[=+]ep* ]] && ! grep -q "^sabrevin: " "$tmp/install.log"'
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
check "where setcap fails, the postinst succeeds and says so in one line ($out)" \
    '[ $rc -eq 0 ] && [ "$(wc -l <<<"$out")" -eq 1 ] && [[ $out == "sabrevin: "*"Operation not supported"* ]]'

# Loopback pinged by nobody in a namespace that refuses ping sockets (Debian's default): only the
# helper's capability opens a socket, and without it none opens.
ns="sbv-$$-pkg"
make_ns "$ns"
set_sysctl "$ns" net.ipv4.ping_group_range "1 0"
probe() { in_ns "$ns" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
    "$tmp/icmp_net_probe" "$@"; }
check "nobody pings 127.0.0.1 through the installed module and its helper" \
    'probe burst /usr/lib/sabrevin/sabrevin-icmp.so helper 127.0.0.1 5'
setcap -r "$helper"
check "without the helper's capability nobody gets no ICMP socket, and is told why" \
    'probe refused /usr/lib/sabrevin/sabrevin-icmp.so'

# --- Purged: nothing of it is left but the directories other packages share.
dpkg -L sabrevin >"$tmp/list"
check "dpkg --purge sabrevin" 'dpkg --purge sabrevin >"$tmp/purge.log" 2>&1 || ! cat "$tmp/purge.log"' &&
    installed=0
left=$(while read -r f; do [ -e "$f" ] && { [ ! -d "$f" ] || [[ $f == */sabrevin* ]]; } && echo "$f"; done <"$tmp/list")
check "every file that dpkg -L listed is gone${left:+ (left: $left)}" '[ -z "$left" ]'
exit $fail
