#pragma once
/*
 * ICMP echo packets as bytes: building a request, and deciding whether a received packet answers
 * exactly one request. Pure functions with no socket and no state, so that the unit tests call
 * them directly; the echo module (icmp_echo.c) feeds them what its sockets receive.
 *
 * Byte orders: IPAddr values are network byte order throughout; identifiers and sequence
 * numbers are host byte order here and written big-endian on the wire.
 */

#include "net/icmp/icmp_api.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ICMP_HEADER_SIZE 8
#define IP_MIN_HEADER_SIZE 20
#define IP_MAX_HEADER_SIZE 60
#define IP_MAX_OPTIONS_SIZE 40

/* ICMP message types that matter here. */
#define ICMP_TYPE_ECHO_REPLY 0
#define ICMP_TYPE_DEST_UNREACH 3
#define ICMP_TYPE_SOURCE_QUENCH 4
#define ICMP_TYPE_ECHO_REQUEST 8
#define ICMP_TYPE_TIME_EXCEEDED 11
#define ICMP_TYPE_PARAM_PROBLEM 12

/* What a reply must match: the one request that is waiting. */
struct icmp_expect {
    IPAddr destination;  /* network byte order; routers' errors must quote it */
    uint16_t identifier; /* host byte order */
    uint16_t sequence;   /* host byte order */
    const uint8_t* data; /* the request's echo data, echoed back unchanged by the destination */
    size_t data_size;    /* bytes */
};

enum icmp_verdict {
    ICMP_MALFORMED = -1,     /* too short, bad checksum, inconsistent lengths or header */
    ICMP_NOT_OURS = 0,       /* a sound packet that answers some other request */
    ICMP_OUR_ECHO_REPLY = 1, /* an echo reply to our request, from whichever sender */
    ICMP_OUR_ERROR = 2       /* a node's Time Exceeded, Unreachable etc. about our request */
};

/* What a matching packet says; offsets are into the packet given to the parser. */
struct icmp_answer {
    IPAddr source;         /* node that sent the packet, network byte order */
    uint32_t status;       /* IP_SUCCESS or IP_... */
    uint8_t type, code;    /* the ICMP type and code */
    uint8_t ttl, tos;      /* from the outer IP header (raw packets only) */
    size_t data_offset;    /* echoed data (echo replies only) */
    size_t data_size;      /* bytes; 0 for errors */
    size_t options_offset; /* IP options of the outer header (raw packets only) */
    size_t options_size;   /* bytes, 0..40 */
};

/*
 * The Internet checksum (RFC 1071) of size bytes, odd sizes padded with a zero byte. Returns the
 * value to store big-endian in the checksum field; a message that holds its correct checksum
 * sums to 0.
 */
uint16_t icmp_checksum(const void* data, size_t size);

/*
 * Writes an echo request (type 8, code 0, checksum, identifier, sequence, data) to out. Returns
 * its size in bytes, 8 + data_size, or 0 when out_size is too small or data_size exceeds
 * ICMP_MAX_DATA_SIZE.
 */
size_t icmp_build_echo_request(uint8_t* out, size_t out_size, uint16_t identifier,
                               uint16_t sequence, const void* data, size_t data_size);

/*
 * A packet as a raw socket delivers it: IPv4 header (with or without options) and the ICMP
 * message. Fills *answer when the verdict is ICMP_OUR_ECHO_REPLY or ICMP_OUR_ERROR.
 */
enum icmp_verdict icmp_parse_ip_packet(const uint8_t* packet, size_t size,
                                       const struct icmp_expect* expect,
                                       struct icmp_answer* answer);

/*
 * An ICMP message without its IP header, as a datagram ICMP socket delivers it; source is the
 * sender from the socket address. Same verdicts; ttl, tos and options are left 0.
 */
enum icmp_verdict icmp_parse_icmp_message(const uint8_t* message, size_t size, IPAddr source,
                                          const struct icmp_expect* expect,
                                          struct icmp_answer* answer);

/*
 * What the error queue of a datagram ICMP socket holds for a router's error: the quoted ICMP
 * header of the original request and whatever data the router quoted after it, and the original
 * destination from the socket address. ICMP_OUR_ERROR if it quotes our request, else
 * ICMP_NOT_OURS or ICMP_MALFORMED.
 */
enum icmp_verdict icmp_parse_quoted_request(const uint8_t* quoted, size_t size,
                                            IPAddr original_destination,
                                            const struct icmp_expect* expect);

/* The status code for an ICMP error type and code; IP_GENERAL_FAILURE for unknown types. */
uint32_t icmp_error_status(uint8_t type, uint8_t code);

#ifdef __cplusplus
}
#endif
