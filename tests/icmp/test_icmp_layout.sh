#!/usr/bin/env bash
# Where privilege may live, and what the echo module links:
#  - privilege calls (capabilities, user and group changes, prctl) appear only in the helper;
#  - the helper takes no input but its requests: no environment, no files, no arguments, and one
#    receive, on its socket pair, which main reaches only after giving up every privilege;
#  - the modules and the helper need nothing but libc (and the sanitizers' runtimes in a
#    sanitizer build).
# Usage: test_icmp_layout.sh SOURCE_DIR BUILD_DIR
set -u
helper=$1/net/icmp/icmp_helper.c
fail() { echo "FAIL $*"; status=1; }
status=0

calls='\b(capset|capget|cap_set_proc|cap_set_flag|SYS_capset|set(e|re|res)?[ug]id|setgroups|prctl)\b'
hits=$(cd "$1" && grep -rnE "$calls" --include='*.[ch]' --include='*.cpp' app ui net res | grep -v "^net/icmp/icmp_helper.c:")
[ -z "$hits" ] || fail "privilege calls outside the helper: $hits"

inputs='\b(getenv|secure_getenv|fopen|open|openat|read|recvmsg|recvfrom|scanf|fgets|getline|argv)\b'
# One receive, on the socket pair, and in main the privileges go before the serving starts.
order=$(awk '/^int main\(/ { m = 1 } m && /drop_privileges\(\)/ && !d { d = NR }
             m && /serve\(/ && !s { s = NR } END { print (d && s && d < s) ? "ok" : "bad" }' "$helper")
[ -z "$(grep -nE "$inputs" "$helper")" ] && [ "$(grep -cE '\brecv\(' "$helper")" = 1 ] &&
    grep -qE '\brecv\(ICMP_HELPER_FD,' "$helper" && [ "$order" = ok ] ||
    fail "the helper takes input other than its requests, or before it drops privileges"

command -v readelf >/dev/null || { echo "SKIP: needs readelf (binutils)"; exit 77; }
for f in sabrevin-icmp.so sabrevin-icmp-sim.so sabrevin-icmp-helper; do
    needed=$(readelf -d "$2/$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
        grep -vE '^(libc\.so\.6|ld-linux[-a-z0-9_.]*\.so\.[0-9]+|lib(a|ub|t|l)san\.so\.[0-9]+)$')
    [ -z "$needed" ] || fail "$f needs more than libc: $needed"
done
exit $status
