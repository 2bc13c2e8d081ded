#pragma once
/*
 * ICMPv6 echo packets as bytes, the IPv6 counterpart of icmp_packet.h: building a request and
 * deciding whether a received ICMPv6 message answers exactly one request. Pure functions with no
 * socket and no state.
 *
 * Both kinds of ICMPv6 socket (raw and datagram "ping") deliver the message without its IPv6
 * header, and the kernel computes and checks the ICMPv6 checksum (it covers a pseudo-header with
 * both addresses, which the message alone does not hold), so nothing here computes one. The sender
 * comes from the socket address, apart from the message.
 *
 * Byte orders: addresses are 16 bytes, network byte order; identifiers and sequence numbers are
 * host byte order here and big-endian on the wire.
 */

#include "net/icmp/icmp_packet.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ICMP6_HEADER_SIZE 8
#define IP6_HEADER_SIZE 40
#define IP6_NEXT_HEADER_ICMP6 58

/* ICMPv6 message types that matter here. */
#define ICMP6_TYPE_DEST_UNREACH 1
#define ICMP6_TYPE_PACKET_TOO_BIG 2
#define ICMP6_TYPE_TIME_EXCEEDED 3
#define ICMP6_TYPE_PARAM_PROBLEM 4
#define ICMP6_TYPE_ECHO_REQUEST 128
#define ICMP6_TYPE_ECHO_REPLY 129

/* The largest echo data over IPv6 without jumbograms: 65535 less the 8-byte ICMPv6 header. */
#define ICMP6_MAX_DATA_SIZE 65527u

/* What a reply must match: one request in flight. */
struct icmp6_expect {
    uint8_t destination[16]; /* network byte order; nodes' errors must quote it */
    uint16_t identifier;     /* host byte order */
    uint16_t sequence;       /* host byte order */
    const uint8_t* data;     /* the request's echo data */
    size_t data_size;        /* bytes */
};

/* What a matching message says; offsets are into the message given to the parser. */
struct icmp6_answer {
    uint32_t status;    /* IP_SUCCESS or IP_... */
    uint8_t type, code; /* the ICMPv6 type and code */
    size_t data_offset; /* echoed data (echo replies only) */
    size_t data_size;   /* bytes; 0 for errors */
};

/*
 * Writes an echo request (type 128, code 0, checksum 0 for the kernel to fill, identifier,
 * sequence, data) to out. Returns 8 + data_size, or 0 when out_size is too small or data_size
 * exceeds ICMP6_MAX_DATA_SIZE.
 */
size_t icmp6_build_echo_request(uint8_t* out, size_t out_size, uint16_t identifier,
                                uint16_t sequence, const void* data, size_t data_size);

/*
 * An ICMPv6 message as a raw or datagram ICMPv6 socket delivers it. ICMP_OUR_ECHO_REPLY for an
 * echo reply with our identifier, sequence and data from whichever sender; ICMP_OUR_ERROR for a
 * Destination Unreachable, Packet Too Big, Time Exceeded or Parameter Problem quoting our request
 * (IPv6 header with our destination and next header 58, then the echo request's header with our
 * identifier and sequence). Fills *answer for those two.
 */
enum icmp_verdict icmp6_parse_message(const uint8_t* message, size_t size,
                                      const struct icmp6_expect* expect,
                                      struct icmp6_answer* answer);

/*
 * What the error queue of an ICMPv6 ping socket holds for a node's error: the quoted request from
 * its ICMPv6 header on, and the original destination from the socket address.
 */
enum icmp_verdict icmp6_parse_quoted_request(const uint8_t* quoted, size_t size,
                                             const uint8_t original_destination[16],
                                             const struct icmp6_expect* expect);

/* The status code for an ICMPv6 error type and code; IP_GENERAL_FAILURE for unknown types. */
uint32_t icmp6_error_status(uint8_t type, uint8_t code);

#ifdef __cplusplus
}
#endif
