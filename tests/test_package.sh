#!/usr/bin/env bash
# shellcheck disable=SC2016,SC2034  # check evaluates its conditions, with these names
# The Debian package CPack makes from BUILD_DIR: exactly its files, its control data, lintian
# without errors. Then installed into this machine (root only: CI runs on a
# throw-away machine): no setuid bit, cap_net_raw given to the helper by the postinst (one line,
# and success, where setcap fails), loopback pinged through the installed module and helper by
# nobody in a namespace that refuses ping sockets. Last, the purge leaves nothing. The package
# is removed whatever happens.
# Usage: [CPACK=path/to/cpack] test_package.sh BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: test_package.sh BUILD_DIR}" && pwd) || exit 2
cpack=${CPACK:-cpack}

# shellcheck source=lab.sh
. "$here/lab.sh"
require_netns
for tool in "$cpack" dpkg-deb lintian setcap getcap setpriv; do
    require_command "$tool" "scripts/packages.sh lists the Debian packages"
done
[ -f "$build/CPackConfig.cmake" ] || skip "$build has no CPackConfig.cmake"
grep -q '^SABREVIN_SANITIZE:[A-Z]*=.' "$build/CMakeCache.txt" && skip "$build is a sanitizer build"
[ -x "$build/icmp_net_probe" ] || skip "$build has no icmp_net_probe (build the tests)"
dpkg -s sabrevin >/dev/null 2>&1 && skip "a sabrevin package is on this machine already"

stage "$build" # $STAGE: the probe, readable by nobody; removed at exit with the namespaces
tmp=$STAGE installed=0 fail=0
trap '[ "$installed" = 1 ] && dpkg --purge sabrevin >/dev/null; cleanup' EXIT
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; return 1; fi; } # NAME CONDITION

# --- The package file.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
deb=$tmp/out/sabrevin_${version}-1_$(dpkg --print-architecture).deb
"$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || cat "$tmp/cpack.log"
[ -f "$deb" ] || { echo "FAILED: cpack makes no $deb"; exit 1; }
expected=(usr/bin/sabrevin usr/lib/sabrevin/sabrevin-icmp{-helper,.so} usr/share/applications/sabrevin.desktop
    usr/share/doc/sabrevin/{changelog.Debian.gz,copyright} usr/share/man/man1/sabrevin.1.gz
    usr/share/icons/hicolor/{32x32,64x64,128x128}/apps/sabrevin.png usr/share/icons/hicolor/scalable/apps/sabrevin.svg
    usr/share/metainfo/example.varnstead.sabrevin.metainfo.xml)
check "the package holds these files and no others" \
    'diff <(printf "./%s\n" "${expected[@]}" | sort) <(dpkg-deb -c "$deb" | awk "\$1 !~ /^d/ {print \$6}" | sort)'
check "Depends: libcap2-bin for the postinst, then the libraries' packages" \
    '[[ $(dpkg-deb -f "$deb" Depends) == "libcap2-bin, "*"libc6 (>="* ]]'
check "no maintainer script or trigger runs ldconfig" 'dpkg-deb -e "$deb" "$tmp/control" && ! grep -rq ldconfig "$tmp/control"'
check "lintian reports no errors" '! lintian --allow-root -I "$deb" | tee /dev/stderr | grep "^E:" >/dev/null'

# --- Installed into this machine.
installed=1 # from here on the exit removes it, even after a half-done install
check "dpkg -i $(basename "$deb")" 'dpkg -i "$deb" >"$tmp/install.log" 2>&1 || ! cat "$tmp/install.log"'
dpkg -L sabrevin >"$tmp/list"
check "no installed file is setuid or setgid" \
    '[ -z "$(while read -r f; do [ -f "$f" ] && find "$f" -perm /6000; done <"$tmp/list")" ]'
helper=/usr/lib/sabrevin/sabrevin-icmp-helper
check "the postinst gave $helper cap_net_raw ($(getcap "$helper")), saying nothing" \
    '[[ $(getcap "$helper") == *cap_net_raw[=+]ep* ]] && ! grep -q "^sabrevin: " "$tmp/install.log"'
# A file system without extended attributes, played by a setcap that fails as it would there.
install -D -m 755 /dev/stdin "$tmp/fakebin/setcap" <<'EOF'
#!/bin/sh
printf 'Failed to set capabilities on file (Operation not supported)\nThe value of the capability argument is not permitted for a file.\n' >&2; exit 1
EOF
out=$(PATH=$tmp/fakebin:$PATH sh /var/lib/dpkg/info/sabrevin.postinst configure 2>&1)
rc=$?
check "where setcap fails, the postinst succeeds and says so in one line ($out)" \
    '[ $rc -eq 0 ] && [ "$(wc -l <<<"$out")" -eq 1 ] && [[ $out == "sabrevin: "*"Operation not supported"* ]]'
# Loopback pinged by nobody in a namespace that refuses ping sockets (Debian's default): only
# the helper's capability opens a socket.
make_ns "sbv-$$-pkg"
set_sysctl "sbv-$$-pkg" net.ipv4.ping_group_range "1 0"
check "nobody pings 127.0.0.1 through the installed module and its helper" \
    'in_ns "sbv-$$-pkg" setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_GID" --clear-groups -- \
        "$tmp/icmp_net_probe" burst /usr/lib/sabrevin/sabrevin-icmp.so helper 127.0.0.1 5'

# --- Purged: nothing of it is left but the directories other packages share.
check "dpkg --purge sabrevin" 'dpkg --purge sabrevin >"$tmp/purge.log" 2>&1 || ! cat "$tmp/purge.log"' &&
    installed=0
left=$(while read -r f; do [ -e "$f" ] && { [ ! -d "$f" ] || [[ $f == */sabrevin* ]]; } && echo "$f"; done <"$tmp/list")
check "every file that dpkg -L listed is gone${left:+ (left: $left)}" '[ -z "$left" ]'
exit $fail
