#include "net/icmp/icmp6_packet.h"

#include <string.h>

static uint16_t load_be16(const uint8_t* p) {
    return (uint16_t)((p[0] << 8) | p[1]);
}

size_t icmp6_build_echo_request(uint8_t* out, size_t out_size, uint16_t identifier,
                                uint16_t sequence, const void* data, size_t data_size) {
    if (data_size > ICMP6_MAX_DATA_SIZE || out_size < ICMP6_HEADER_SIZE + data_size) {
        return 0;
    }
    out[0] = ICMP6_TYPE_ECHO_REQUEST;
    out[1] = 0;
    out[2] = out[3] = 0; /* the kernel computes the checksum over its pseudo-header */
    out[4] = (uint8_t)(identifier >> 8);
    out[5] = (uint8_t)identifier;
    out[6] = (uint8_t)(sequence >> 8);
    out[7] = (uint8_t)sequence;
    if (data_size > 0) {
        memcpy(out + ICMP6_HEADER_SIZE, data, data_size);
    }
    return ICMP6_HEADER_SIZE + data_size;
}

uint32_t icmp6_error_status(uint8_t type, uint8_t code) {
    switch (type) {
    case ICMP6_TYPE_TIME_EXCEEDED:
        return code == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case ICMP6_TYPE_PACKET_TOO_BIG:
        return IP_PACKET_TOO_BIG;
    case ICMP6_TYPE_PARAM_PROBLEM:
        return IP_PARAM_PROBLEM;
    case ICMP6_TYPE_DEST_UNREACH:
        switch (code) {
        case 0: /* no route to destination */
        case 6: /* reject route to destination */
            return IP_DEST_NET_UNREACHABLE;
        case 4:
            return IP_DEST_PORT_UNREACHABLE;
        default: /* administratively prohibited, beyond scope, address unreachable, policy */
            return IP_DEST_HOST_UNREACHABLE;
        }
    default:
        return IP_GENERAL_FAILURE;
    }
}

static int is_error_type(uint8_t type) {
    return type >= ICMP6_TYPE_DEST_UNREACH && type <= ICMP6_TYPE_PARAM_PROBLEM;
}

static int quotes_our_echo(const uint8_t* icmp, const struct icmp6_expect* expect) {
    return icmp[0] == ICMP6_TYPE_ECHO_REQUEST && icmp[1] == 0 &&
           load_be16(icmp + 4) == expect->identifier && load_be16(icmp + 6) == expect->sequence;
}

enum icmp_verdict icmp6_parse_quoted_request(const uint8_t* quoted, size_t size,
                                             const uint8_t original_destination[16],
                                             const struct icmp6_expect* expect) {
    if (size < ICMP6_HEADER_SIZE) {
        return ICMP_MALFORMED;
    }
    if (memcmp(original_destination, expect->destination, 16) != 0 ||
        !quotes_our_echo(quoted, expect)) {
        return ICMP_NOT_OURS;
    }
    return ICMP_OUR_ERROR;
}

/*
 * An error quotes as much of the offending packet as fits in the minimum MTU: its IPv6 header
 * and at least, for us, the echo request's header. We send no extension headers, so a quote
 * whose next header is not ICMPv6 is about some other packet.
 */
static enum icmp_verdict parse_error_body(const uint8_t* body, size_t size,
                                          const struct icmp6_expect* expect) {
    if (size < IP6_HEADER_SIZE + ICMP6_HEADER_SIZE || (body[0] >> 4) != 6 ||
        load_be16(body + 4) < ICMP6_HEADER_SIZE) {
        return ICMP_MALFORMED;
    }
    if (body[6] != IP6_NEXT_HEADER_ICMP6 || memcmp(body + 24, expect->destination, 16) != 0 ||
        !quotes_our_echo(body + IP6_HEADER_SIZE, expect)) {
        return ICMP_NOT_OURS;
    }
    return ICMP_OUR_ERROR;
}

enum icmp_verdict icmp6_parse_message(const uint8_t* message, size_t size,
                                      const struct icmp6_expect* expect,
                                      struct icmp6_answer* answer) {
    if (size < ICMP6_HEADER_SIZE) {
        return ICMP_MALFORMED;
    }
    uint8_t type = message[0];
    uint8_t code = message[1];
    enum icmp_verdict verdict;
    if (type == ICMP6_TYPE_ECHO_REPLY) {
        if (code != 0) {
            return ICMP_MALFORMED;
        }
        /* Whoever sent it: the identifier, the sequence and the unchanged data make it ours. */
        if (load_be16(message + 4) != expect->identifier ||
            load_be16(message + 6) != expect->sequence ||
            size - ICMP6_HEADER_SIZE != expect->data_size ||
            (expect->data_size > 0 &&
             memcmp(message + ICMP6_HEADER_SIZE, expect->data, expect->data_size) != 0)) {
            return ICMP_NOT_OURS;
        }
        verdict = ICMP_OUR_ECHO_REPLY;
    } else if (is_error_type(type)) {
        verdict = parse_error_body(message + ICMP6_HEADER_SIZE, size - ICMP6_HEADER_SIZE, expect);
        if (verdict != ICMP_OUR_ERROR) {
            return verdict;
        }
    } else {
        return ICMP_NOT_OURS;
    }
    memset(answer, 0, sizeof *answer);
    answer->type = type;
    answer->code = code;
    if (verdict == ICMP_OUR_ECHO_REPLY) {
        answer->status = IP_SUCCESS;
        answer->data_offset = ICMP6_HEADER_SIZE;
        answer->data_size = size - ICMP6_HEADER_SIZE;
    } else {
        answer->status = icmp6_error_status(type, code);
    }
    return verdict;
}
