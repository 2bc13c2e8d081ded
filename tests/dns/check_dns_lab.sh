#!/usr/bin/env bash
# Checks the DNS lab from inside it: run as  run_in_dns_lab.sh check_dns_lab.sh
# Uses the system resolver (getent) and bash's /dev/udp and /dev/tcp; with dig (dnsutils)
# installed it also checks answer codes, the order of answers and truncation.
set -u

passed=0
failed=0
ok() { echo "ok   $1"; passed=$((passed + 1)); }
bad() { echo "FAIL $1"; failed=$((failed + 1)); }
check() { # description, condition
    if eval "$2"; then ok "$1"; else bad "$1"; fi
}

for v in SABREVIN_LAB_DNS SABREVIN_LAB_SILENT_DNS SABREVIN_LAB_LONG_NAME \
         SABREVIN_LAB_LONG_PTR_ADDR SABREVIN_LAB_LONG_PTR_NAME SABREVIN_LAB_MANY_COUNT \
         SABREVIN_LAB_BIGDUAL_V4 SABREVIN_LAB_BIGDUAL_V6; do
    if [ -z "${!v:-}" ]; then
        echo "FAIL $v is not set: run me through run_in_dns_lab.sh"
        exit 1
    fi
done
dns=$SABREVIN_LAB_DNS
silent=$SABREVIN_LAB_SILENT_DNS

v4() { getent ahostsv4 "$1" | awk '$2 == "STREAM" {print $1}' | sort -V | tr '\n' ' '; }

check "resolv.conf names the lab's server" 'grep -qx "nameserver $dns" /etc/resolv.conf'
check "one.lab.test has one address" '[ "$(v4 one.lab.test)" = "10.77.1.11 " ]'
check "three.lab.test has three addresses" '[ "$(v4 three.lab.test)" = "10.77.1.21 10.77.1.22 10.77.1.23 " ]'
check "www.lab.test reaches target.lab.test" \
    '[ "$(getent ahostsv4 www.lab.test | awk "NR == 1 {print \$1, \$3}")" = "10.77.1.31 target.lab.test" ]'
check "10.77.1.31 is target.lab.test" '[ "$(getent hosts 10.77.1.31 | awk "{print \$2}")" = target.lab.test ]'
check "10.77.1.11 is one.lab.test" '[ "$(getent hosts 10.77.1.11 | awk "{print \$2}")" = one.lab.test ]'
check "v6only.lab.test has no IPv4 address" '! getent ahostsv4 v6only.lab.test >/dev/null'
check "v6only.lab.test has fd00:77::1" \
    '[ "$(getent ahostsv6 v6only.lab.test | awk "NR == 1 {print \$1}")" = fd00:77::1 ]'
v6() { getent ahostsv6 "$1" | awk '$2 == "STREAM" {print $1}' | sort -V | tr '\n' ' '; }
check "dual.lab.test has 10.77.1.51" '[ "$(v4 dual.lab.test)" = "10.77.1.51 " ]'
check "dual.lab.test has fd00:77::51 and fd00:77::52" '[ "$(v6 dual.lab.test)" = "fd00:77::51 fd00:77::52 " ]'
check "fd00:77::51 is dual.lab.test, the first of its two pointer records" \
    '[ "$(getent hosts fd00:77::51 | awk "{print \$2}")" = dual.lab.test ]'
check "fe80::1 is link.lab.test" '[ "$(getent hosts fe80::1 | awk "{print \$2}")" = link.lab.test ]'
check "hosted6.lab.test comes from the hosts file" \
    '[ "$(getent hosts hosted6alias)" = "fd00:77::99     hosted6.lab.test hosted6alias" ]'
n4=$(getent ahostsv4 bigdual.lab.test | awk '$2 == "STREAM"' | wc -l)
n6=$(getent ahostsv6 bigdual.lab.test | awk '$2 == "STREAM" && $1 ~ /^fd00:77:2::/' | wc -l)
check "bigdual.lab.test has $SABREVIN_LAB_BIGDUAL_V4 IPv4 and $SABREVIN_LAB_BIGDUAL_V6 IPv6 addresses (got $n4, $n6)" \
    '[ "$n4" = "$SABREVIN_LAB_BIGDUAL_V4" ] && [ "$n6" = "$SABREVIN_LAB_BIGDUAL_V6" ]'
many=$(getent ahostsv4 many.lab.test | awk '$2 == "STREAM"' | wc -l)
check "many.lab.test has $SABREVIN_LAB_MANY_COUNT addresses (got $many)" '[ "$many" = "$SABREVIN_LAB_MANY_COUNT" ]'
check "the long name (${#SABREVIN_LAB_LONG_NAME} characters) has 10.77.1.41" \
    '[ "$(v4 "$SABREVIN_LAB_LONG_NAME")" = "10.77.1.41 " ]'
check "$SABREVIN_LAB_LONG_PTR_ADDR has the long PTR name (${#SABREVIN_LAB_LONG_PTR_NAME} characters)" \
    '[ "$(getent hosts "$SABREVIN_LAB_LONG_PTR_ADDR" | awk "{print \$2}")" = "$SABREVIN_LAB_LONG_PTR_NAME" ]'
check "10.77.1.13 is multi3.lab.test, the first of its three pointer records" \
    '[ "$(getent hosts 10.77.1.13 | awk "{print \$2}")" = multi3.lab.test ]'
check "nowhere.lab.test does not resolve" '! getent ahostsv4 nowhere.lab.test >/dev/null'
check "hosted.lab.test comes from the hosts file" \
    '[ "$(getent hosts hostalias1)" = "10.77.9.9       hosted.lab.test hostalias1 hostalias2" ]'

# A hand-made query for one.lab.test A over UDP. read: 0 = an answer came, 1 = refused (ICMP
# port unreachable), over 128 = nothing within the time-out.
udp_query() {
    local rc
    exec 4<>"/dev/udp/$1/53" || return 1
    printf '\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x03one\x03lab\x04test\x00\x00\x01\x00\x01' >&4
    read -r -t 2 -N 2 _ <&4
    rc=$?
    exec 4>&-
    return $rc
}
udp_query "$dns"
check "the live server answers over UDP" '[ $? = 0 ]'
start=$(date +%s%N)
udp_query "$silent"
rc=$?
ms=$((($(date +%s%N) - start) / 1000000))
check "the silent server gives no UDP answer and no error (rc $rc after $ms ms)" '[ $rc -gt 128 ] && [ $ms -ge 1900 ]'
timeout 2 bash -c "exec 5<>/dev/tcp/$silent/53" 2>/dev/null
rc=$?
check "a TCP connection to the silent server hangs (rc $rc, 124 = timed out)" '[ $rc = 124 ]'

if command -v dig >/dev/null 2>&1; then
    d() { dig +time=2 +tries=1 @"$dns" "$@"; }
    status() { d "$@" | sed -n 's/.*status: \([A-Z]*\),.*/\1/p'; }
    answers() { d "$@" | sed -n 's/.*ANSWER: \([0-9]*\),.*/\1/p'; }
    check "three.lab.test answers 10.77.1.21, .22, .23 in that order, every time" \
        '[ "$(for i in 1 2 3; do d +short three.lab.test; done | tr "\n" " ")" = "$(printf "10.77.1.%s " 21 22 23 21 22 23 21 22 23)" ]'
    check "www.lab.test is a chain of two aliases" \
        '[ "$(d +short www.lab.test | tr "\n" " ")" = "web.lab.test. target.lab.test. 10.77.1.31 " ]'
    check "v6only.lab.test A is NOERROR with no answer" \
        '[ "$(status v6only.lab.test A)" = NOERROR ] && [ "$(answers v6only.lab.test A)" = 0 ]'
    check "dual.lab.test answers fd00:77::51, fd00:77::52 in that order, every time" \
        '[ "$(for i in 1 2 3; do d +short AAAA dual.lab.test; done | tr "\n" " ")" = "$(printf "fd00:77::%s " 51 52 51 52 51 52)" ]'
    check "fd00:77::51 has two pointer records, dual first" \
        '[ "$(d +short -x fd00:77::51 | tr "\n" " ")" = "dual.lab.test. dual2.lab.test. " ]'
    check "bigdual.lab.test AAAA is in order" \
        '[ "$(d +tcp +short AAAA bigdual.lab.test | tr "\n" " ")" = "$(seq -f "fd00:77:2::%g" 1 "$SABREVIN_LAB_BIGDUAL_V6" | tr "\n" " ")" ]'
    check "10.77.1.13 has three pointer records, multi3 first" \
        '[ "$(d +short -x 10.77.1.13 | tr "\n" " ")" = "multi3.lab.test. multi2.lab.test. multi1.lab.test. " ]'
    check "x.refused.lab.test is REFUSED" '[ "$(status x.refused.lab.test)" = REFUSED ]'
    check "x.silent.lab.test gets no answer" \
        'd +tries=1 +time=1 x.silent.lab.test | grep -q "timed out"'
    check "nowhere.lab.test is NXDOMAIN" '[ "$(status nowhere.lab.test)" = NXDOMAIN ]'
    check "a name outside lab.test is NXDOMAIN" '[ "$(status nowhere.example)" = NXDOMAIN ]'
    check "below three.lab.test is NXDOMAIN" '[ "$(status x.three.lab.test)" = NXDOMAIN ]'
    check "an unknown reverse name is NXDOMAIN" '[ "$(status -x 10.77.1.99)" = NXDOMAIN ]'
    check "many.lab.test over plain UDP is truncated" \
        'd +notcp +ignore +noedns many.lab.test | grep -q "flags:[a-z ]* tc"'
    check "many.lab.test over TCP has $SABREVIN_LAB_MANY_COUNT answers" \
        '[ "$(answers +tcp many.lab.test)" = "$SABREVIN_LAB_MANY_COUNT" ]'
    check "many.lab.test over TCP is in order" \
        '[ "$(d +tcp +short many.lab.test | tr "\n" " ")" = "$(seq -f "10.77.2.%g" 1 "$SABREVIN_LAB_MANY_COUNT" | tr "\n" " ")" ]'
    check "the silent server times out for dig" \
        'dig +time=1 +tries=1 @"$silent" one.lab.test | grep -q "timed out"'
else
    echo "note: dig (dnsutils) is not installed: answer codes and order not checked"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
