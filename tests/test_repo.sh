#!/usr/bin/env bash
# shellcheck disable=SC2016,SC2034,SC2317  # check evaluates its conditions, with these names
# Checks of the source tree and its scripts, one group per run: test_repo.sh GROUP, where GROUP
# is scripts (the README's commands where they must not build or start anything), layering
# (the back end holds no widget code), version (kept in one place) or format (clang-format).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; return 1; fi; } # NAME CONDITION
none() { grep "$@"; [ $? -eq 1 ]; } # grep found nothing, and could read everything
case ${1:?usage: test_repo.sh scripts|layering|version|format} in
scripts)
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$top/scripts/run" 2>&1); rc=$?
    check "run without a display fails with one line saying so" \
        '[ $rc -ne 0 ] && [ "$(wc -l <<<"$out")" -eq 1 ] && [[ $out == *"no display"* ]]'
    ensure=". '$top/scripts/packages.sh'; sabrevin_ensure_packages bash"
    if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
        out=$(runuser -u nobody -- bash -c "$ensure sabrevin-no-such-package" 2>&1); rc=$?
        check "a normal user missing a package is refused, told which and how to install it" \
            '[ $rc -ne 0 ] && [[ $out == *"Missing Debian packages: sabrevin-no-such-package"* &&
                $out == *"apt-get install -y sabrevin-no-such-package"* ]]'
    fi
    out=$(bash -c "$ensure" 2>&1); rc=$?
    check "nothing to install is quiet" '[ $rc -eq 0 ] && [ -z "$out" ]' ;;
layering)
    check "net/ and res/ include no window code" \
        'none -rnE "#include *[<\"](Q[A-Z][A-Za-z]*Widget|QtWidgets|QDialog|QApplication|ui/)" "$top/net" "$top/res"'
    check "net/ and res/ link no Qt Gui or Widgets" \
        'none -rnE "Qt6::(Gui|Widgets)" --include=CMakeLists.txt "$top/net" "$top/res"' ;;
version)
    version=$(sed -n 's/^project(sabrevin VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
    check "the README and the changelog's top entry say the version of project() ($version)" \
        '[ -n "$version" ] && grep -qF "(version $version)" "$top/README.md" &&
            [[ $(head -n 1 "$top/packaging/changelog") == "sabrevin ($version-"* ]]'
    check "no version written into the code instead of SABREVIN_VERSION" \
        'grep -rnF "$version" "$top/ui" "$top/res" "$top/app" "$top/net" --include=*.cpp --include=*.h | none -v SABREVIN_VERSION' ;;
format)
    command -v clang-format >/dev/null || { echo "SKIP: clang-format is not installed"; exit 77; }
    mapfile -t files < <(git -C "$top" ls-files '*.c' '*.h' '*.cpp')
    check "${#files[@]} files formatted (else run clang-format -i on those named)" \
        '[ ${#files[@]} -gt 0 ] && (cd "$top" && clang-format --dry-run -Werror "${files[@]}")' ;;
*) echo "unknown group $1"; exit 2 ;;
esac
exit $fail
