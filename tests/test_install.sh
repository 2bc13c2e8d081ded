#!/usr/bin/env bash
# shellcheck disable=SC2016,SC2034  # check evaluates its conditions, with these names
# Installs BUILD_DIR into a temporary prefix: no Debian documents there (they are the package's),
# the desktop entry, icons, AppStream release and manual page as installed, one line on what
# became of the helper's capability, DESTDIR honoured by that step too. Then the installed
# program, started offscreen, loads its echo module from the prefix, and a copy of the prefix
# without the module loads none. (The package test holds the exact file list.)
# Usage: [CMAKE=path/to/cmake] test_install.sh BUILD_DIR
set -u
build=$(cd "${1:?usage: test_install.sh BUILD_DIR}" && pwd) || exit 2
cmake=${CMAKE:-cmake} # the cmake that made BUILD_DIR, when the caller says which
tmp=$(realpath "$(mktemp -d /tmp/sabrevin-install.XXXXXX)") || exit 2 # maps name real paths
pids=()
trap '{ kill -KILL "${pids[@]}"; wait; } 2>/dev/null; rm -rf "$tmp"' EXIT
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; return 1; fi; } # NAME CONDITION
p=$tmp/prefix
"$cmake" --install "$build" --prefix "$p" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")

check "no Debian copyright or changelog outside the package" '[ ! -e "$p/share/doc" ]'
entry=$p/share/applications/sabrevin.desktop
check "desktop-file-validate accepts the entry, which starts sabrevin with its icon" \
    '[ -z "$(desktop-file-validate "$entry" 2>&1)" ] && [ "$(grep -cxF -e Exec=sabrevin -e Icon=sabrevin \
        -e Terminal=false -e "X-Sabrevin-Version=$version" "$entry")" = 4 ]'
icons=$p/share/icons/hicolor
check "PNG icons as large as their directories say, and a scalable one" \
    '(for s in 32 64 128; do [[ $(file -b "$icons/${s}x$s/apps/sabrevin.png") == "PNG image data, $s x $s,"* ]] || exit; done) &&
        [[ $(file -b "$icons/scalable/apps/sabrevin.svg") == SVG* ]]'
metainfo=$p/share/metainfo/example.varnstead.sabrevin.metainfo.xml
released=$(date -u -d "$(sed -n 's/^ -- .*  //p' "$(dirname "$0")/../packaging/changelog" | head -n 1)" +%F)
check "appstreamcli accepts the metainfo, released as $version on $released (the changelog's date)" \
    'appstreamcli validate --no-net "$metainfo" >/dev/null && grep -qF "<release version=\"$version\" date=\"$released\"" "$metainfo"'
man=$(zcat "$p/share/man/man1/sabrevin.1.gz" | sed 's/\\-/-/g')
# shellcheck disable=SC2088  # the page names the file with a tilde, as the user types it
check "the manual page names the settings file, the sysctl and the helper's setcap" \
    '[[ $man == *"~/.config/Varnstead/sabrevin.ini"* && $man == *"sysctl -w net.ipv4.ping_group_range=\"0 2147483647\""* &&
        $man == *"setcap cap_net_raw+ep /usr/lib/sabrevin/sabrevin-icmp-helper"* ]]'
cap=$(grep '^-- Capability: ' "$tmp/install.log")
check "one line says what became of the helper's capability (${cap#-- })" \
    '[ "$(grep -c . <<<"$cap")" = 1 ] &&
        { [[ $cap != *"cap_net_raw+ep set on"* ]] || getcap "$p/lib/sabrevin/sabrevin-icmp-helper" | grep -q cap_net_raw; }'
DESTDIR=$tmp/stage "$cmake" --install "$build" --prefix /opt/sbv >"$tmp/stage.log" 2>&1
check "DESTDIR holds the executable, and the capability step looks for the helper there" \
    '[ -x "$tmp/stage/opt/sbv/bin/sabrevin" ] &&
        grep "^-- Capability: " "$tmp/stage.log" | grep -qF -- "$tmp/stage/opt/sbv/lib/sabrevin/sabrevin-icmp-helper"'

# The installed program, offscreen with throw-away settings, binds its module before its window
# comes up: its memory map names the module it loaded. A copy without the module starts beside it.
cp -a "$p" "$tmp/bare" && rm "$tmp/bare/lib/sabrevin/sabrevin-icmp.so"
for prefix in "$p" "$tmp/bare"; do
    install -d -m 700 "$prefix/home/run"
    HOME=$prefix/home XDG_CONFIG_HOME=$prefix/home XDG_RUNTIME_DIR=$prefix/home/run QT_QPA_PLATFORM=offscreen \
        "$prefix/bin/sabrevin" >"$prefix/home/log" 2>&1 &
    pids+=("$!")
done
module=$p/lib/sabrevin/sabrevin-icmp.so
for _ in $(seq 200); do # up to 20 s: the sanitizer builds start slowly
    grep -qF " $module" "/proc/${pids[0]}/maps" 2>/dev/null || ! kill -0 "${pids[0]}" 2>/dev/null && break
    sleep 0.1
done
sleep 1
check "the installed program loads $module and runs on" \
    'grep -qF " $module" "/proc/${pids[0]}/maps" && kill -0 "${pids[0]}"'
check "a prefix without the module loads none" '! grep -qF sabrevin-icmp.so "/proc/${pids[1]}/maps"'
exit $fail
