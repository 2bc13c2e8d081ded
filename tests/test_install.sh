#!/usr/bin/env bash
# Installs BUILD_DIR into a temporary prefix and checks the result: the layout, the desktop
# entry (desktop-file-validate when present) and its version, the icons, the AppStream
# metadata and manual page, the helper's
# capability line, a DESTDIR install, and a start of the installed program (offscreen) that
# loads its echo module from the prefix, against a copy of the prefix without the module that
# does not. Removes everything it made. Usage: [CMAKE=path/to/cmake] test_install.sh BUILD_DIR
# shellcheck disable=SC2317  # functions here are called through check and trap
set -u
build=${1:?usage: test_install.sh BUILD_DIR}
build=$(cd "$build" && pwd) || exit 2
cmake=${CMAKE:-cmake} # the cmake that made BUILD_DIR, when the caller says which

tmp=$(mktemp -d /tmp/sabrevin-install.XXXXXX) || exit 2
tmp=$(realpath "$tmp") # /proc/PID/maps names the mapped file by its real path
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

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

prefix=$tmp/prefix
if ! "$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    fail "cmake --install $build --prefix $prefix"
    finish
fi
ok "cmake --install into $prefix"

# The layout.
check "bin/sabrevin is an executable" test -f "$prefix/bin/sabrevin" -a -x "$prefix/bin/sabrevin"
check "lib/sabrevin/sabrevin-icmp.so is there" test -f "$prefix/lib/sabrevin/sabrevin-icmp.so"
check "lib/sabrevin/sabrevin-icmp-helper is an executable" \
    test -f "$prefix/lib/sabrevin/sabrevin-icmp-helper" -a -x "$prefix/lib/sabrevin/sabrevin-icmp-helper"
check "no module beside the installed executable" test ! -e "$prefix/bin/sabrevin-icmp.so"
stray=$(cd "$prefix" && find . -type f ! -path './bin/*' ! -path './lib/sabrevin/*' ! -path './share/*')
check "nothing installed outside bin/, lib/sabrevin/ and share/${stray:+ (found: $stray)}" test -z "$stray"
if command -v readelf >/dev/null; then
    no_build_rpath() { ! readelf -d "$prefix/bin/sabrevin" | grep -E 'R(UN)?PATH' | grep -qF "$build"; }
    check "the installed executable has no run path into the build tree" no_build_rpath
fi

# The desktop entry and its version, which comes from project().
entry=$prefix/share/applications/sabrevin.desktop
check "share/applications/sabrevin.desktop is there" test -f "$entry"
if command -v desktop-file-validate >/dev/null; then
    if out=$(desktop-file-validate "$entry" 2>&1) && [ -z "$out" ]; then
        ok "desktop-file-validate accepts the entry"
    else
        fail "desktop-file-validate: $out"
    fi
else
    echo "skipped: desktop-file-validate is missing (Debian package desktop-file-utils)"
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
check "the entry carries the project's version ($version)" \
    grep -qx "X-Sabrevin-Version=$version" "$entry"
for key in Type=Application Name=Sabrevin Exec=sabrevin Icon=sabrevin Terminal=false; do
    check "the entry has $key" grep -qx "$key" "$entry"
done

# The icon: PNGs of 32, 64 and 128 pixels and an SVG in the hicolor theme.
png_ok() { # png_ok FILE SIZE: PNG signature, then IHDR width and height of SIZE
    [ "$(head -c 24 "$1" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = \
        "89504e470d0a1a0a0000000d49484452$(printf '%08x%08x' "$2" "$2")" ]
}
for size in 32 64 128; do
    check "share/icons/hicolor/${size}x$size/apps/sabrevin.png is a ${size}x$size PNG" \
        png_ok "$prefix/share/icons/hicolor/${size}x$size/apps/sabrevin.png" "$size"
done
check "share/icons/hicolor/scalable/apps/sabrevin.svg is an SVG" \
    grep -q '<svg ' "$prefix/share/icons/hicolor/scalable/apps/sabrevin.svg"

# The AppStream metadata with the project's version, and the manual page.
check "the AppStream metadata carries release $version" grep -qF "<release version=\"$version\"" \
    "$prefix/share/metainfo/example.varnstead.sabrevin.metainfo.xml"
check "share/man/man1/sabrevin.1.gz is there" test -s "$prefix/share/man/man1/sabrevin.1.gz"
check "the Debian copyright and changelog are the package's only" test ! -e "$prefix/share/doc"

# The helper's capability: one line saying what happened; set when root and allowed.
capline=$(grep -E '^-- Capability: ' "$tmp/install.log")
check "the install says what became of the helper's capability${capline:+ (${capline#-- })}" \
    test "$(printf '%s' "$capline" | grep -c .)" -eq 1
if [[ $capline == *"cap_net_raw+ep set on"* ]] && command -v getcap >/dev/null; then
    has_cap() { getcap "$prefix/lib/sabrevin/sabrevin-icmp-helper" | grep -q cap_net_raw; }
    check "the installed helper holds cap_net_raw" has_cap
fi

# DESTDIR: everything, the capability included, lands under the staging directory.
stage=$tmp/stage
if DESTDIR=$stage "$cmake" --install "$build" --prefix /opt/sabrevin-test >"$tmp/stage.log" 2>&1; then
    check "DESTDIR install puts the executable under DESTDIR" test -x "$stage/opt/sabrevin-test/bin/sabrevin"
    check "DESTDIR install aims the capability at the staged helper" \
        grep -qF -- "$stage/opt/sabrevin-test/lib/sabrevin/sabrevin-icmp-helper" "$tmp/stage.log"
else
    cat "$tmp/stage.log"
    fail "DESTDIR=$stage cmake --install $build --prefix /opt/sabrevin-test"
fi

# A start of the installed program, offscreen, with throw-away settings. It binds its module
# before the window comes up; its memory map then names the installed file.
start() { # start PREFIX NAME: starts PREFIX/bin/sabrevin, sets $pid
    local home=$tmp/home-$2
    mkdir -p "$home/config" "$home/runtime"
    chmod 700 "$home/runtime"
    env QT_QPA_PLATFORM=offscreen HOME="$home" XDG_CONFIG_HOME="$home/config" \
        XDG_RUNTIME_DIR="$home/runtime" "$1/bin/sabrevin" >"$tmp/$2.log" 2>&1 &
    pid=$!
    pids+=("$pid")
}
maps_module() { # maps_module PID PATH: PID has PATH mapped
    grep -qF -- " $2" "/proc/$1/maps" 2>/dev/null
}
stop() {
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

module=$prefix/lib/sabrevin/sabrevin-icmp.so
start "$prefix" installed
found=0
for _ in $(seq 200); do # up to 20 s: the sanitizer builds start slowly
    if maps_module "$pid" "$module"; then
        found=1
        break
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
check "the installed program loads $module" test "$found" -eq 1
sleep 1
check "the installed program is still running a second later" kill -0 "$pid"
if maps_module "$pid" "$build/sabrevin-icmp.so"; then
    fail "the installed program loaded the build tree's module"
fi
stop "$pid"
[ "$found" -eq 1 ] || cat "$tmp/installed.log"

# The control: the same prefix without the module does not find one.
bare=$tmp/bare
cp -a "$prefix" "$bare"
rm -f "$bare/lib/sabrevin/sabrevin-icmp.so"
start "$bare" bare
sleep 2
if maps_module "$pid" "sabrevin-icmp.so"; then
    fail "a prefix without the module still loads one"
else
    ok "a prefix without the module loads none"
fi
stop "$pid"

finish
