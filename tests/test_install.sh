#!/usr/bin/env bash
# Installs BUILD_DIR into a temporary prefix and checks the result: the layout, the desktop
# entry, icons, AppStream metadata and manual page, the helper's capability line, a DESTDIR
# install, and a start of the installed program (offscreen) that loads its echo module from the
# prefix, against a copy of the prefix without the module that does not.
# Usage: [CMAKE=path/to/cmake] test_install.sh BUILD_DIR
set -u
build=${1:?usage: test_install.sh BUILD_DIR}
build=$(cd "$build" && pwd) || exit 2
cmake=${CMAKE:-cmake} # the cmake that made BUILD_DIR, when the caller says which
tmp=$(realpath "$(mktemp -d /tmp/sabrevin-install.XXXXXX)") || exit 2 # maps name real paths
pids=()
trap 'for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$tmp"' EXIT
failed=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failed=1; fi
}
prefix=$tmp/prefix
if ! "$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    echo "FAILED: cmake --install $build --prefix $prefix"
    exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
png_ok() { # png_ok FILE SIZE: PNG signature, then IHDR width and height of SIZE
    [ "$(head -c 24 "$1" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = \
        "89504e470d0a1a0a0000000d49484452$(printf '%08x%08x' "$2" "$2")" ]
}
entry=$prefix/share/applications/sabrevin.desktop
icons=$prefix/share/icons/hicolor
check "bin/sabrevin and the helper are executables" \
    test -x "$prefix/bin/sabrevin" -a -x "$prefix/lib/sabrevin/sabrevin-icmp-helper"
check "the module is in lib/sabrevin/, not beside the executable" \
    test -f "$prefix/lib/sabrevin/sabrevin-icmp.so" -a ! -e "$prefix/bin/sabrevin-icmp.so"
stray=$(cd "$prefix" && find . -type f ! -path './bin/*' ! -path './lib/sabrevin/*' ! -path './share/*')
check "nothing outside bin/, lib/sabrevin/ and share/${stray:+ (found: $stray)}" test -z "$stray"
check "no Debian copyright or changelog outside the package" test ! -e "$prefix/share/doc"
check "no run path into the build tree" \
    bash -c '! readelf -d "$1" | grep -E "R(UN)?PATH" | grep -qF "$2"' _ "$prefix/bin/sabrevin" "$build"
if command -v desktop-file-validate >/dev/null; then
    check "desktop-file-validate accepts the entry" \
        bash -c '[ -f "$1" ] && [ -z "$(desktop-file-validate "$1" 2>&1)" ]' _ "$entry"
fi
for line in "X-Sabrevin-Version=$version" Type=Application Name=Sabrevin Exec=sabrevin \
    Icon=sabrevin Terminal=false; do
    check "the entry has $line" grep -qx "$line" "$entry"
done
for size in 32 64 128; do
    check "a ${size}x$size PNG icon" png_ok "$icons/${size}x$size/apps/sabrevin.png" "$size"
done
check "an SVG icon" grep -q '<svg ' "$icons/scalable/apps/sabrevin.svg"
check "the AppStream metadata carries release $version" grep -qF "<release version=\"$version\"" \
    "$prefix/share/metainfo/example.varnstead.sabrevin.metainfo.xml"
check "the manual page is there" test -s "$prefix/share/man/man1/sabrevin.1.gz"
capline=$(grep -E '^-- Capability: ' "$tmp/install.log")
check "one line says what became of the helper's capability (${capline#-- })" \
    test "$(printf '%s' "$capline" | grep -c .)" -eq 1
if [[ $capline == *"cap_net_raw+ep set on"* ]] && command -v getcap >/dev/null; then
    check "the installed helper holds cap_net_raw" \
        bash -c 'getcap "$1" | grep -q cap_net_raw' _ "$prefix/lib/sabrevin/sabrevin-icmp-helper"
fi
stage=$tmp/stage
DESTDIR=$stage "$cmake" --install "$build" --prefix /opt/sabrevin-test >"$tmp/stage.log" 2>&1
check "DESTDIR puts the executable and the capability's target under DESTDIR" \
    bash -c '[ -x "$1/opt/sabrevin-test/bin/sabrevin" ] &&
             grep -qF -- "$1/opt/sabrevin-test/lib/sabrevin/sabrevin-icmp-helper" "$2"' _ "$stage" "$tmp/stage.log"

# The installed program, offscreen with throw-away settings, binds its module before its
# window comes up: its memory map names the module it loaded.
start() { # start PREFIX NAME: starts PREFIX/bin/sabrevin, sets $pid
    local home=$tmp/home-$2
    mkdir -p "$home/config" "$home/runtime"
    chmod 700 "$home/runtime"
    env QT_QPA_PLATFORM=offscreen HOME="$home" XDG_CONFIG_HOME="$home/config" \
        XDG_RUNTIME_DIR="$home/runtime" "$1/bin/sabrevin" >"$tmp/$2.log" 2>&1 &
    pid=$!
    pids+=("$pid")
}
maps() { grep -qF -- " $2" "/proc/$1/maps" 2>/dev/null; }
module=$prefix/lib/sabrevin/sabrevin-icmp.so
start "$prefix" installed
for _ in $(seq 200); do # up to 20 s: the sanitizer builds start slowly
    maps "$pid" "$module" || ! kill -0 "$pid" 2>/dev/null && break
    sleep 0.1
done
check "the installed program loads $module" maps "$pid" "$module"
sleep 1
check "and is still running a second later" kill -0 "$pid"
check "and loaded no module of the build tree" bash -c '! grep -qF " $2/sabrevin-icmp.so" "/proc/$1/maps"' _ "$pid" "$build"
cp -a "$prefix" "$tmp/bare"
rm -f "$tmp/bare/lib/sabrevin/sabrevin-icmp.so"
start "$tmp/bare" bare
sleep 2
check "a prefix without the module loads none" bash -c '! grep -qF "sabrevin-icmp.so" "/proc/$1/maps"' _ "$pid"
exit $failed
