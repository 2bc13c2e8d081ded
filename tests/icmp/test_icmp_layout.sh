#!/usr/bin/env bash
# Where privilege may live, and what the echo module links:
#  - privilege calls (capabilities, user and group changes, prctl) appear only in the helper;
#  - the helper takes no input but its requests: no environment, no files, no arguments, and one
#    receive, on its socket pair, which main reaches only after giving up every privilege;
#  - the modules and the helper need nothing but libc (and the sanitizers' runtimes in a
#    sanitizer build).
# Usage: test_icmp_layout.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
status=0
helper=net/icmp/icmp_helper.c

calls='\b(capset|capget|cap_set_proc|cap_set_flag|SYS_capset|setuid|seteuid|setreuid|setresuid|setgid|setegid|setregid|setresgid|setgroups|prctl)\b'
hits=$(cd "$src" && grep -rnE "$calls" --include='*.c' --include='*.cpp' --include='*.h' \
       app ui net res 2>/dev/null | grep -v "^$helper:")
if [ -n "$hits" ]; then
    echo "FAIL privilege calls outside $helper:"
    echo "$hits"
    status=1
else
    echo "ok   privilege calls appear only in $helper"
fi

inputs='\b(getenv|secure_getenv|fopen|open|openat|read|recvmsg|recvfrom|scanf|fgets|getline|argv)\b'
hits=$(grep -nE "$inputs" "$src/$helper")
receives=$(grep -cE '\brecv\(ICMP_HELPER_FD,' "$src/$helper")
others=$(grep -nE '\brecv\(' "$src/$helper" | grep -v 'recv(ICMP_HELPER_FD,')
# In main, the privileges go before the serving starts (and the requests with it).
order=$(awk '/^int main\(/ { m = 1 } m && /drop_privileges\(\)/ && !d { d = NR }
             m && /serve\(/ && !s { s = NR } END { print (d && s && d < s) ? "ok" : "bad" }' \
        "$src/$helper")
if [ -n "$hits" ] || [ -n "$others" ] || [ "$receives" != 1 ] || [ "$order" != ok ]; then
    echo "FAIL the helper takes input other than its requests, or before it drops privileges:"
    echo "$hits$others (receives on its socket pair: $receives, order: $order)"
    status=1
else
    echo "ok   the helper takes no input but its requests, after dropping privileges"
fi

command -v readelf >/dev/null || { echo "SKIP: needs readelf (binutils)"; exit 77; }
for f in sabrevin-icmp.so sabrevin-icmp-sim.so sabrevin-icmp-helper; do
    needed=$(readelf -d "$build/$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
             grep -vE '^(libc\.so\.6|ld-linux[-a-z0-9_.]*\.so\.[0-9]+|lib(a|ub|t|l)san\.so\.[0-9]+)$')
    if [ -n "$needed" ]; then
        echo "FAIL $f needs more than libc: $needed"
        status=1
    else
        echo "ok   $f needs only libc"
    fi
done
exit $status
