#pragma once
/*
 * The protocol between the echo module and sabrevin-icmp-helper, over a Unix SOCK_SEQPACKET
 * socket pair (the helper's end on descriptor 3). Both ends are on one machine and built from
 * one source, so the messages are C structs in host byte order; addresses are network byte order.
 * Each message is one packet; its length is checked exactly.
 *
 *   helper -> module, once, first:  struct icmp_helper_hello
 *   module -> helper, any number:    struct icmp_helper_request followed by data_size bytes
 *   helper -> module, one per request: struct icmp_helper_answer
 *
 * The helper ends (closing its end) on any request that breaks a rule below, and when the module's
 * end closes. It never passes a descriptor. A request it cannot send (more than
 * ICMP_HELPER_MAX_IN_FLIGHT in flight, a send error) is answered at once with its status; a
 * request that repeats the id of one in flight breaks the rules.
 *
 * The helper's exit status: 0 when the module's end closed; ICMP_HELPER_EXIT_REFUSED for a request
 * that broke the rules; other values for failures of its own (1: no socket pair on descriptor 3,
 * 2: a capability could not be given up, 4: its sockets could not be set up, 5: an answer could
 * not be sent).
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ICMP_HELPER_FD 3
#define ICMP_HELPER_MAGIC 0x53425631u /* "SBV1" */

/* Bounds the helper enforces: what the program's options allow, and a little room. */
#define ICMP_HELPER_MIN_DATA 8u
#define ICMP_HELPER_MAX_DATA 512u
#define ICMP_HELPER_MAX_TIMEOUT_MS 60000u
#define ICMP_HELPER_MAX_IN_FLIGHT 128u

#define ICMP_HELPER_EXIT_REFUSED 3

struct icmp_helper_hello {
    uint32_t magic;
    int32_t error4; /* errno of opening the raw ICMP socket, 0 when it is open */
    int32_t error6; /* errno of opening the raw ICMPv6 socket, 0 when it is open */
};

struct icmp_helper_request {
    uint32_t magic;
    uint32_t id;         /* the module's tag, unique among its requests in flight */
    uint8_t family;      /* 4 or 6 */
    uint8_t ttl;         /* time-to-live / hop limit, 1 to 255; 0: the system's default */
                         /* (type of service, DF and IP options are the system's defaults) */
    uint16_t data_size;  /* ICMP_HELPER_MIN_DATA to ICMP_HELPER_MAX_DATA bytes follow */
    uint32_t timeout_ms; /* 1 to ICMP_HELPER_MAX_TIMEOUT_MS */
    uint32_t scope_id;   /* IPv6 zone; 0 for IPv4 */
    uint8_t address[16]; /* IPv4: 4 bytes, the other 12 zero */
};

struct icmp_helper_answer {
    uint32_t magic;
    uint32_t id;        /* the request's tag */
    uint32_t status;    /* as icmp_probe_result.status; IP_NO_RESOURCES etc. when not sent */
    uint8_t family;     /* 4 or 6 */
    uint8_t type, code; /* of the answer */
    uint8_t ttl;        /* with which the answer arrived */
    uint16_t data_size; /* bytes echoed */
    uint8_t tos;
    uint8_t reserved;
    uint32_t sender_scope_id;
    uint8_t sender[16];
    uint64_t round_trip_ns;
};

/*
 * Checks one received request packet of size bytes: 1 when it keeps every rule (magic, family,
 * bounds, address zero-padded for IPv4, no multicast, broadcast, unspecified or IPv4-mapped
 * destination, exact length), else 0. On 1, *request holds the header and *data points at its
 * data inside packet.
 */
int icmp_helper_parse_request(const uint8_t* packet, size_t size,
                              struct icmp_helper_request* request, const uint8_t** data);

#ifdef __cplusplus
}
#endif
