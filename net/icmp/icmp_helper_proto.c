#include "net/icmp/icmp_helper_proto.h"

#include <string.h>

_Static_assert(sizeof(struct icmp_helper_request) == 36, "no padding in a request");
_Static_assert(sizeof(struct icmp_helper_answer) == 48, "no padding in an answer");
_Static_assert(sizeof(struct icmp_helper_hello) == 12, "no padding in the hello");

static int all_zero(const uint8_t* p, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (p[i] != 0) {
            return 0;
        }
    }
    return 1;
}

/* Destinations that one echo request could make many nodes answer, or none. */
static int is_refused_ipv4(const uint8_t* a) {
    return a[0] == 0       /* 0.0.0.0/8: "this network" */
           || a[0] >= 224; /* multicast, reserved, and the limited broadcast */
}

static int is_refused_ipv6(const uint8_t* a) {
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return all_zero(a, 16)                /* unspecified */
           || a[0] == 0xFF                /* multicast */
           || memcmp(a, mapped, 12) == 0; /* IPv4-mapped: IPv4 goes as family 4 */
}

int icmp_helper_parse_request(const uint8_t* packet, size_t size,
                              struct icmp_helper_request* request, const uint8_t** data) {
    struct icmp_helper_request r;
    if (size < sizeof r) {
        return 0;
    }
    memcpy(&r, packet, sizeof r);
    if (r.magic != ICMP_HELPER_MAGIC || r.data_size < ICMP_HELPER_MIN_DATA ||
        r.data_size > ICMP_HELPER_MAX_DATA || size != sizeof r + r.data_size || r.timeout_ms < 1 ||
        r.timeout_ms > ICMP_HELPER_MAX_TIMEOUT_MS) {
        return 0;
    }
    if (r.family == 4) {
        if (r.scope_id != 0 || !all_zero(r.address + 4, 12) || is_refused_ipv4(r.address)) {
            return 0;
        }
    } else if (r.family == 6) {
        if (is_refused_ipv6(r.address)) {
            return 0;
        }
    } else {
        return 0;
    }
    *request = r;
    *data = packet + sizeof r;
    return 1;
}
