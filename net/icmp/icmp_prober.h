#pragma once
/*
 * The echo prober: many ICMP and ICMPv6 echo requests in flight on one or two sockets, each
 * matched to its own answer, timed from the kernel's receive timestamp. Single-threaded and
 * lock-free by design: its owner calls it from one thread at a time (the module under a handle's
 * lock; the helper from its only thread). It owns the sockets it is given.
 *
 * Used by the echo module for the sockets it opens itself (datagram "ping" sockets or raw
 * sockets) and by sabrevin-icmp-helper for its raw sockets, so both match and time answers the
 * same way.
 *
 * Matching: an echo reply is ours when its identifier, sequence and data are those of a request
 * in flight, whoever sent it (a multihomed host may answer from another address); a router's
 * error is ours when the request it quotes has our destination, identifier and sequence.
 * Round trips run from just before the send to the kernel's receive timestamp (SO_TIMESTAMPNS);
 * an answer received later than its request's time-out counts as none.
 */

#include "net/icmp/icmp_api.h"

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* icmp_probe_request.flags: the DF bit cleared (fragments allowed), where IP_FLAG_DF sets it. */
#define ICMP_PROBE_MAY_FRAGMENT 0x80

/* One echo request. Settings equal to the previous request's are not set again. */
struct icmp_probe_request {
    uint32_t id;            /* the caller's tag, repeated in the result */
    int family;             /* AF_INET or AF_INET6 */
    uint8_t address[16];    /* destination, network byte order; IPv4 in the first 4 bytes */
    uint32_t scope_id;      /* IPv6 zone (interface index) of a link-local destination, else 0 */
    uint8_t ttl;            /* time-to-live / hop limit; 0: the system's default */
    uint8_t tos;            /* type of service (IPv4) or traffic class (IPv6) */
    uint8_t flags;          /* IPv4: IP_FLAG_DF, or ICMP_PROBE_MAY_FRAGMENT, or 0 for the default */
    uint8_t options_size;   /* IPv4 header options, at most 40 bytes; 0 for IPv6 */
    const uint8_t* options; /* copied onto the socket by icmp_prober_send */
    uint16_t data_size;     /* bytes of echo data */
    const uint8_t* data;    /* copied by icmp_prober_send */
    uint32_t timeout_ms;    /* milliseconds from the send */
};

/* The answer to one request, or its time-out. */
struct icmp_probe_result {
    uint32_t id;              /* the request's tag */
    uint32_t status;          /* IP_SUCCESS for an echo reply, IP_TTL_EXPIRED_TRANSIT etc. for a
                                 node's error, IP_REQ_TIMED_OUT when nothing came in time */
    int family;               /* AF_INET or AF_INET6, as the request's */
    uint8_t sender[16];       /* node that answered, network byte order; zero on a time-out */
    uint32_t sender_scope_id; /* zone of a link-local IPv6 sender, else 0 */
    uint8_t type, code;       /* ICMP or ICMPv6 type and code of the answer; 0 on a time-out */
    uint8_t ttl;              /* time-to-live / hop limit with which the answer arrived */
    uint8_t tos;              /* type of service (IPv4) or traffic class (IPv6) of the answer */
    uint16_t data_size;       /* bytes echoed (equal to the request's); 0 for errors */
    const uint8_t* data;  /* the echoed bytes, valid during the callback only; null for errors */
    uint8_t options_size; /* IPv4 header options of an echo reply, bytes; else 0 */
    uint8_t options[40];
    uint64_t round_trip_ns; /* nanoseconds from just before the send to the kernel's receive
                               timestamp; 0 on a time-out */
};

typedef void (*icmp_probe_done)(void* context, const struct icmp_probe_result* result);

struct icmp_prober;

/*
 * A prober over an IPv4 socket fd4 and an IPv6 socket fd6, each of kind ICMP_SOCKET_DGRAM or
 * ICMP_SOCKET_RAW (ICMP_SOCKET_HELPER counts as raw), or -1 for a family without one. It sets the
 * sockets up (identifier, filters, control messages, timestamps) and owns them from then on, also
 * when it fails: null, with the errno value in *error.
 * max_in_flight bounds the requests outstanding at once (taken as 1 to 65535, as sequence
 * numbers of requests in flight are distinct). The identifier is the kernel's on a datagram
 * socket, else one of this process's own, distinct for its next 65536 probers.
 */
struct icmp_prober* icmp_prober_new(int fd4, int kind4, int fd6, int kind6, size_t max_in_flight,
                                    int* error);
void icmp_prober_free(struct icmp_prober* prober);

/*
 * Sends one request. Returns IP_SUCCESS, and then exactly one result for it follows from
 * icmp_prober_receive or icmp_prober_expire (or none if the prober is freed first); or a failure
 * status (IP_NO_RESOURCES when max_in_flight requests are outstanding, IP_BAD_DESTINATION for a
 * family without a socket or an unusable address, a send error's status) and no result follows.
 */
uint32_t icmp_prober_send(struct icmp_prober* prober, const struct icmp_probe_request* request);

/* The descriptors to wait on for input (POLLIN set in events); returns how many, at most max. */
int icmp_prober_poll_fds(const struct icmp_prober* prober, struct pollfd* out, int max);

/*
 * Reads everything that has arrived on the prober's sockets; calls done for each answer. Call it
 * before icmp_prober_expire when both are due, so that an answer that arrived in time is not
 * taken for a time-out. done may call icmp_prober_send and icmp_prober_forget.
 */
void icmp_prober_receive(struct icmp_prober* prober, icmp_probe_done done, void* context);

/*
 * Ends every request whose time-out has passed by now_ns (CLOCK_MONOTONIC, nanoseconds), each
 * with an IP_REQ_TIMED_OUT result.
 */
void icmp_prober_expire(struct icmp_prober* prober, uint64_t now_ns, icmp_probe_done done,
                        void* context);

/* The earliest deadline of the requests in flight (CLOCK_MONOTONIC ns); UINT64_MAX if none. */
uint64_t icmp_prober_next_deadline(const struct icmp_prober* prober);

/* Requests in flight. */
size_t icmp_prober_in_flight(const struct icmp_prober* prober);

/* Forgets a request (its caller gave up): its answer, if one comes, is dropped. */
void icmp_prober_forget(struct icmp_prober* prober, uint32_t id);

#ifdef __cplusplus
}
#endif
