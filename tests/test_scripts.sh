#!/usr/bin/env bash
# The two commands of the README, in the cases that must not build or start anything:
# no display, and a normal user with packages missing.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
fail=0
check() { # name, condition
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi
}

out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$top/scripts/run" 2>&1); rc=$?
check "run without a display exits non-zero" '[ $rc -ne 0 ]'
check "run without a display says so in one line" '[ "$(printf "%s\n" "$out" | wc -l)" -eq 1 ] && [[ $out == *"no display"* ]]'

# A normal user with a package missing is told which one and how to install it.
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
    out=$(runuser -u nobody -- bash -c ". '$top/scripts/packages.sh'; sabrevin_ensure_packages bash sabrevin-no-such-package" 2>&1); rc=$?
    check "a normal user is refused" '[ $rc -ne 0 ]'
    check "the missing package is named" '[[ $out == *"Missing Debian packages: sabrevin-no-such-package"* ]]'
    check "the install command is given" '[[ $out == *"apt-get install -y sabrevin-no-such-package"* ]]'
else
    echo "skipped: the normal-user case needs root (to become nobody)"
fi
out=$(bash -c ". '$top/scripts/packages.sh'; sabrevin_ensure_packages bash" 2>&1); rc=$?
check "nothing to install is quiet" '[ $rc -eq 0 ] && [ -z "$out" ]'
exit $fail
