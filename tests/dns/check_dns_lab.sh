#!/usr/bin/env bash
# Checks the DNS lab from inside it: run as  run_in_dns_lab.sh check_dns_lab.sh
# The system resolver (getent) and dig (dnsutils) are the oracles for what test_lookup expects:
# the answers, their order and the official names.
set -u
[ -n "${SABREVIN_LAB_DNS:-}" ] || { echo "FAIL not in the lab: run me through run_in_dns_lab.sh"; exit 1; }
command -v dig >/dev/null 2>&1 || { echo "SKIP: needs dig (dnsutils)"; exit 77; }
failed=0
check() { # description, condition
    if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; failed=1; fi
}
d() { dig +time=2 +tries=1 @"$SABREVIN_LAB_DNS" +short "$@" | tr '\n' ' '; }
name_of() { getent hosts "$1" | awk '{print $2}'; }

check "www.lab.test is target.lab.test by two aliases" \
    '[ "$(d www.lab.test)" = "web.lab.test. target.lab.test. 10.77.1.31 " ] &&
     [ "$(getent ahostsv4 www.lab.test | awk "NR == 1 {print \$3}")" = target.lab.test ]'
check "dual.lab.test answers in a fixed order" \
    '[ "$(d dual.lab.test; d dual.lab.test; d AAAA dual.lab.test)" = "10.77.1.51 10.77.1.52 10.77.1.51 10.77.1.52 fd00:77::51 fd00:77::52 " ]'
check "v6only.lab.test has fd00:77::1, and A gives no answer" \
    '[ "$(d AAAA v6only.lab.test)" = "fd00:77::1 " ] && [ -z "$(d v6only.lab.test)" ] &&
     dig @"$SABREVIN_LAB_DNS" v6only.lab.test | grep -q "status: NOERROR"'
check "10.77.1.13 is multi3.lab.test, the first of three pointer records" \
    '[ "$(d -x 10.77.1.13)" = "multi3.lab.test. multi2.lab.test. multi1.lab.test. " ] &&
     [ "$(name_of 10.77.1.13)" = multi3.lab.test ]'
check "fe80::1 is link.lab.test" '[ "$(name_of fe80::1)" = link.lab.test ]'
check "$SABREVIN_LAB_LONG_PTR_ADDR has the long name" \
    '[ "$(name_of "$SABREVIN_LAB_LONG_PTR_ADDR")" = "$SABREVIN_LAB_LONG_PTR_NAME" ] &&
     [ "${#SABREVIN_LAB_LONG_PTR_NAME}" = 253 ]'
check "hostalias2 is in DNS, and the hosts file wins" \
    '[ "$(d hostalias2)" = "10.77.1.99 " ] &&
     [ "$(getent hosts hostalias2)" = "10.77.9.9       hosted.lab.test hostalias1 hostalias2" ]'
check "hosted6.lab.test comes from the hosts file" \
    '[ "$(getent hosts hosted6alias)" = "fd00:77::99     hosted6.lab.test hosted6alias" ]'
check "nowhere.lab.test is NXDOMAIN" \
    'dig @"$SABREVIN_LAB_DNS" nowhere.lab.test | grep -q "status: NXDOMAIN"'
check "x.silent.lab.test gets no answer" \
    'dig +time=1 +tries=1 @"$SABREVIN_LAB_DNS" x.silent.lab.test | grep -q "timed out"'
[ "$failed" = 0 ]
