#include "net/icmp/icmp_packet.h"

#include <string.h>

static uint16_t load_be16(const uint8_t* p) {
    return (uint16_t)((p[0] << 8) | p[1]);
}

/* IPAddr values stay in network byte order: copy the four bytes as they are. */
static IPAddr load_addr(const uint8_t* p) {
    IPAddr a;
    memcpy(&a, p, sizeof a);
    return a;
}

uint16_t icmp_checksum(const void* data, size_t size) {
    const uint8_t* p = (const uint8_t*)data;
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < size; i += 2) {
        sum += load_be16(p + i);
    }
    if (i < size) {
        sum += (uint32_t)p[i] << 8; /* the odd last byte is the high half of a padded word */
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFFu) + (sum >> 16);
    }
    return (uint16_t)~sum;
}

size_t icmp_build_echo_request(uint8_t* out, size_t out_size, uint16_t identifier,
                               uint16_t sequence, const void* data, size_t data_size) {
    if (data_size > ICMP_MAX_DATA_SIZE || out_size < ICMP_HEADER_SIZE + data_size) {
        return 0;
    }
    out[0] = ICMP_TYPE_ECHO_REQUEST;
    out[1] = 0;
    out[2] = out[3] = 0;
    out[4] = (uint8_t)(identifier >> 8);
    out[5] = (uint8_t)identifier;
    out[6] = (uint8_t)(sequence >> 8);
    out[7] = (uint8_t)sequence;
    if (data_size > 0) {
        memcpy(out + ICMP_HEADER_SIZE, data, data_size);
    }
    uint16_t sum = icmp_checksum(out, ICMP_HEADER_SIZE + data_size);
    out[2] = (uint8_t)(sum >> 8);
    out[3] = (uint8_t)sum;
    return ICMP_HEADER_SIZE + data_size;
}

uint32_t icmp_error_status(uint8_t type, uint8_t code) {
    switch (type) {
    case ICMP_TYPE_TIME_EXCEEDED:
        return code == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case ICMP_TYPE_PARAM_PROBLEM:
        return IP_PARAM_PROBLEM;
    case ICMP_TYPE_SOURCE_QUENCH:
        return IP_SOURCE_QUENCH;
    case ICMP_TYPE_DEST_UNREACH:
        switch (code) {
        case 0:  /* net unreachable */
        case 6:  /* net unknown */
        case 9:  /* net administratively prohibited */
        case 11: /* net unreachable for type of service */
            return IP_DEST_NET_UNREACHABLE;
        case 2:
            return IP_DEST_PROT_UNREACHABLE;
        case 3:
            return IP_DEST_PORT_UNREACHABLE;
        case 4: /* fragmentation needed and DF set */
            return IP_PACKET_TOO_BIG;
        case 5:
            return IP_BAD_ROUTE; /* source route failed */
        default:                 /* host unreachable, unknown, prohibited, and the rest */
            return IP_DEST_HOST_UNREACHABLE;
        }
    default:
        return IP_GENERAL_FAILURE;
    }
}

static int is_error_type(uint8_t type) {
    return type == ICMP_TYPE_DEST_UNREACH || type == ICMP_TYPE_TIME_EXCEEDED ||
           type == ICMP_TYPE_PARAM_PROBLEM || type == ICMP_TYPE_SOURCE_QUENCH;
}

/* The quoted echo request's header: type, code, identifier and sequence must be ours. */
static int quotes_our_echo(const uint8_t* icmp, const struct icmp_expect* expect) {
    return icmp[0] == ICMP_TYPE_ECHO_REQUEST && icmp[1] == 0 &&
           load_be16(icmp + 4) == expect->identifier && load_be16(icmp + 6) == expect->sequence;
}

enum icmp_verdict icmp_parse_quoted_request(const uint8_t* quoted, size_t size,
                                            IPAddr original_destination,
                                            const struct icmp_expect* expect) {
    if (size < ICMP_HEADER_SIZE) {
        return ICMP_MALFORMED;
    }
    if (original_destination != expect->destination || !quotes_our_echo(quoted, expect)) {
        return ICMP_NOT_OURS;
    }
    return ICMP_OUR_ERROR;
}

/*
 * A node's error quotes the IP header of the packet that caused it (which may carry options)
 * and at least its first 8 bytes of payload: for us, the echo request's ICMP header.
 */
static enum icmp_verdict parse_error_body(const uint8_t* body, size_t size,
                                          const struct icmp_expect* expect) {
    if (size < IP_MIN_HEADER_SIZE + ICMP_HEADER_SIZE) {
        return ICMP_MALFORMED;
    }
    size_t ihl = (size_t)(body[0] & 0x0F) * 4;
    if ((body[0] >> 4) != 4 || ihl < IP_MIN_HEADER_SIZE || size < ihl + ICMP_HEADER_SIZE ||
        load_be16(body + 2) < ihl + ICMP_HEADER_SIZE) {
        return ICMP_MALFORMED;
    }
    if (body[9] != 1 /* ICMP */ || load_addr(body + 16) != expect->destination ||
        !quotes_our_echo(body + ihl, expect)) {
        return ICMP_NOT_OURS;
    }
    return ICMP_OUR_ERROR;
}

enum icmp_verdict icmp_parse_icmp_message(const uint8_t* message, size_t size, IPAddr source,
                                          const struct icmp_expect* expect,
                                          struct icmp_answer* answer) {
    if (size < ICMP_HEADER_SIZE) {
        return ICMP_MALFORMED;
    }
    if (icmp_checksum(message, size) != 0) {
        return ICMP_MALFORMED;
    }
    uint8_t type = message[0];
    uint8_t code = message[1];
    enum icmp_verdict verdict;
    if (type == ICMP_TYPE_ECHO_REPLY) {
        if (code != 0) {
            return ICMP_MALFORMED;
        }
        /* The sender is not checked: a multihomed host may answer from another of its
         * addresses, 0.0.0.0 is answered from 127.0.0.1, a multicast group by its members. The
         * identifier, the sequence number and the data make the reply ours. */
        if (load_be16(message + 4) != expect->identifier ||
            load_be16(message + 6) != expect->sequence) {
            return ICMP_NOT_OURS;
        }
        /* The data comes back unchanged; anything else answers another request that happens to
         * share our identifier and sequence number. */
        if (size - ICMP_HEADER_SIZE != expect->data_size ||
            (expect->data_size > 0 &&
             memcmp(message + ICMP_HEADER_SIZE, expect->data, expect->data_size) != 0)) {
            return ICMP_NOT_OURS;
        }
        verdict = ICMP_OUR_ECHO_REPLY;
    } else if (is_error_type(type)) {
        verdict = parse_error_body(message + ICMP_HEADER_SIZE, size - ICMP_HEADER_SIZE, expect);
        if (verdict != ICMP_OUR_ERROR) {
            return verdict;
        }
    } else {
        return ICMP_NOT_OURS;
    }
    memset(answer, 0, sizeof *answer);
    answer->source = source;
    answer->type = type;
    answer->code = code;
    if (verdict == ICMP_OUR_ECHO_REPLY) {
        answer->status = IP_SUCCESS;
        answer->data_offset = ICMP_HEADER_SIZE;
        answer->data_size = size - ICMP_HEADER_SIZE;
    } else {
        answer->status = icmp_error_status(type, code);
    }
    return verdict;
}

enum icmp_verdict icmp_parse_ip_packet(const uint8_t* packet, size_t size,
                                       const struct icmp_expect* expect,
                                       struct icmp_answer* answer) {
    if (size < IP_MIN_HEADER_SIZE) {
        return ICMP_MALFORMED;
    }
    size_t ihl = (size_t)(packet[0] & 0x0F) * 4;
    size_t total = load_be16(packet + 2);
    /* Linux hands raw sockets the header as received, total length in network byte order, and
     * trims link padding, so the total length must lie within what was received. */
    if ((packet[0] >> 4) != 4 || ihl < IP_MIN_HEADER_SIZE || total < ihl + ICMP_HEADER_SIZE ||
        total > size) {
        return ICMP_MALFORMED;
    }
    /* Fragments are reassembled before raw delivery; a fragment here is not a whole message. */
    if ((load_be16(packet + 6) & 0x3FFF) != 0) {
        return ICMP_MALFORMED;
    }
    if (packet[9] != 1 /* ICMP */) {
        return ICMP_NOT_OURS;
    }
    enum icmp_verdict verdict =
        icmp_parse_icmp_message(packet + ihl, total - ihl, load_addr(packet + 12), expect, answer);
    if (verdict == ICMP_OUR_ECHO_REPLY || verdict == ICMP_OUR_ERROR) {
        answer->ttl = packet[8];
        answer->tos = packet[1];
        answer->data_offset += ihl;
        answer->options_offset = IP_MIN_HEADER_SIZE;
        answer->options_size = ihl - IP_MIN_HEADER_SIZE;
    }
    return verdict;
}
