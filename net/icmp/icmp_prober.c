/*
 * The echo prober (icmp_prober.h) on Linux sockets.
 *
 * Four socket kinds: an IPv4 or IPv6 datagram ("ping") socket, whose kernel picks the echo
 * identifier (the socket's port), computes the checksum, delivers only echo replies with that
 * identifier and reports nodes' errors on the error queue (IP_RECVERR, IPV6_RECVERR); or a raw
 * ICMP or ICMPv6 socket, which sees every ICMP(v6) message of the network namespace, filtered
 * here to the types that can answer an echo request and to echo replies with our identifier.
 * Raw IPv4 delivers the IP header; ICMPv6 sockets of both kinds deliver none, and the kernel
 * computes and checks ICMPv6 checksums.
 *
 * Requests in flight sit in a table of max_in_flight slots. Each has a sequence number of its own
 * among those in flight, so a received packet names at most one candidate, which the parsers of
 * icmp_packet.h / icmp6_packet.h then check in full (data, quoted destination, lengths).
 *
 * Times: each send reads CLOCK_REALTIME just before sendto, for comparison with the kernel's
 * receive timestamp (SO_TIMESTAMPNS, also given with errors on the error queue), and
 * CLOCK_MONOTONIC for the deadline. Without a timestamp, or when the real-time clock stepped
 * back, the round trip runs to the monotonic reading after the receive.
 */
#define _GNU_SOURCE
#include "net/icmp/icmp_prober.h"

#include "net/icmp/icmp6_packet.h"
#include "net/icmp/icmp_packet.h"

#include <errno.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* The largest IPv4 packet: what a raw socket may deliver. */
#define RECEIVE_SIZE 65536u
#define CONTROL_SIZE 512u
/* Packets read from one socket per call: a flood must not keep the caller from its deadlines. */
#define RECEIVE_BURST 256
#define MAX_IN_FLIGHT 65535u

struct probe_socket {
    int fd; /* -1: none for this family */
    int family;
    int dgram;           /* 1: ping socket, 0: raw */
    uint16_t identifier; /* host byte order */
    /* Settings as last set, so that each is set only when it changes. */
    int ttl; /* -1: the system's default */
    int tos;
    int pmtu;
    int pmtu_default; /* IP_MTU_DISCOVER as the socket came */
    uint8_t options[IP_MAX_OPTIONS_SIZE];
    uint8_t options_size;
};

struct pending {
    int used;
    uint32_t id;
    int family;
    uint8_t address[16];
    uint16_t sequence;
    uint16_t data_size;
    uint8_t* data;        /* copy of the request's data */
    uint64_t sent_real;   /* CLOCK_REALTIME ns just before the send */
    uint64_t sent_mono;   /* CLOCK_MONOTONIC ns likewise */
    uint64_t timeout_ns;  /* nanoseconds */
    uint64_t deadline_ns; /* CLOCK_MONOTONIC */
};

struct icmp_prober {
    struct probe_socket sockets[2]; /* [0] IPv4, [1] IPv6 */
    struct pending* slots;
    size_t max_in_flight;
    size_t in_flight;
    uint16_t next_sequence;
    uint8_t* packet;  /* the request being sent */
    uint8_t* receive; /* one received packet */
};

static uint64_t clock_ns(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

static int set_int(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
}

/* Raw sockets get an identifier of their own; distinct for 65536 probers of a process in a row. */
static pthread_once_t seed_once = PTHREAD_ONCE_INIT;
static uint32_t identifier_seed;
static atomic_uint identifier_count;

static void seed_identifiers(void) {
    if (getrandom(&identifier_seed, sizeof identifier_seed, GRND_NONBLOCK) !=
        (ssize_t)sizeof identifier_seed) {
        identifier_seed = (uint32_t)getpid() * 2654435761u;
    }
}

static uint16_t next_raw_identifier(void) {
    pthread_once(&seed_once, seed_identifiers);
    unsigned n = atomic_fetch_add(&identifier_count, 1u);
    return (uint16_t)(identifier_seed + n * 40503u); /* 40503 is odd: a permutation mod 2^16 */
}

/*
 * Keeps echo replies with other identifiers (other programs' pings) in the kernel. On raw IPv4
 * the filter sees the IP header first; ICMPv6 sockets start at the ICMPv6 header.
 */
static int attach_identifier_filter(const struct probe_socket* s) {
    struct sock_filter v4[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                    /* X = IP header size */
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                     /* A = ICMP type */
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_ECHOREPLY, 0, 2), /* not a reply: keep */
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                     /* A = identifier */
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, s->identifier, 0, 1),  /* ours: keep */
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),                    /* keep */
        BPF_STMT(BPF_RET | BPF_K, 0),                              /* drop */
    };
    struct sock_filter v6[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),                            /* A = type */
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP6_TYPE_ECHO_REPLY, 0, 2), /* not a reply: keep */
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),                            /* A = identifier */
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, s->identifier, 0, 1),         /* ours: keep */
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),                           /* keep */
        BPF_STMT(BPF_RET | BPF_K, 0),                                     /* drop */
    };
    struct sock_fprog program = s->family == AF_INET
                                    ? (struct sock_fprog){sizeof v4 / sizeof v4[0], v4}
                                    : (struct sock_fprog){sizeof v6 / sizeof v6[0], v6};
    return setsockopt(s->fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

/* Makes one socket ready; returns 0, or an errno value. */
static int prepare_socket(struct probe_socket* s) {
    if (s->dgram) {
        /* Binding to port 0 makes the kernel pick the identifier now; getsockname tells it. */
        struct sockaddr_storage local;
        memset(&local, 0, sizeof local);
        local.ss_family = (sa_family_t)s->family;
        socklen_t length =
            s->family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
        if (bind(s->fd, (struct sockaddr*)&local, length) != 0 ||
            getsockname(s->fd, (struct sockaddr*)&local, &length) != 0) {
            return errno;
        }
        s->identifier = ntohs(s->family == AF_INET ? ((struct sockaddr_in*)&local)->sin_port
                                                   : ((struct sockaddr_in6*)&local)->sin6_port);
        /* Nodes' errors reach a ping socket only through the error queue. */
        if (s->family == AF_INET ? set_int(s->fd, SOL_IP, IP_RECVERR, 1) != 0 ||
                                       set_int(s->fd, SOL_IP, IP_RECVTTL, 1) != 0 ||
                                       set_int(s->fd, SOL_IP, IP_RECVTOS, 1) != 0 ||
                                       set_int(s->fd, SOL_IP, IP_RECVOPTS, 1) != 0
                                 : set_int(s->fd, SOL_IPV6, IPV6_RECVERR, 1) != 0) {
            return errno;
        }
    } else {
        s->identifier = next_raw_identifier();
        if (s->family == AF_INET) {
            /* Only the types that can answer an echo request; bits set are filtered out. */
            struct icmp_filter filter = {
                .data = ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) |
                          (1u << ICMP_SOURCE_QUENCH) | (1u << ICMP_TIME_EXCEEDED) |
                          (1u << ICMP_PARAMETERPROB))};
            if (setsockopt(s->fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) {
                return errno;
            }
        } else {
            struct icmp6_filter filter;
            ICMP6_FILTER_SETBLOCKALL(&filter);
            ICMP6_FILTER_SETPASS(ICMP6_TYPE_ECHO_REPLY, &filter);
            ICMP6_FILTER_SETPASS(ICMP6_TYPE_DEST_UNREACH, &filter);
            ICMP6_FILTER_SETPASS(ICMP6_TYPE_PACKET_TOO_BIG, &filter);
            ICMP6_FILTER_SETPASS(ICMP6_TYPE_TIME_EXCEEDED, &filter);
            ICMP6_FILTER_SETPASS(ICMP6_TYPE_PARAM_PROBLEM, &filter);
            if (setsockopt(s->fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0) {
                return errno;
            }
        }
        if (attach_identifier_filter(s) != 0) {
            return errno;
        }
    }
    if (s->family == AF_INET6 && (set_int(s->fd, SOL_IPV6, IPV6_RECVHOPLIMIT, 1) != 0 ||
                                  set_int(s->fd, SOL_IPV6, IPV6_RECVTCLASS, 1) != 0)) {
        return errno;
    }
    if (set_int(s->fd, SOL_SOCKET, SO_TIMESTAMPNS, 1) != 0) {
        return errno;
    }
    if (s->family == AF_INET) {
        socklen_t length = sizeof s->pmtu_default;
        if (getsockopt(s->fd, SOL_IP, IP_MTU_DISCOVER, &s->pmtu_default, &length) != 0) {
            return errno;
        }
    }
    s->pmtu = s->pmtu_default;
    s->ttl = -1;
    s->tos = 0;
    return 0;
}

void icmp_prober_free(struct icmp_prober* prober) {
    if (prober == NULL) {
        return;
    }
    for (int i = 0; i < 2; ++i) {
        if (prober->sockets[i].fd >= 0) {
            close(prober->sockets[i].fd);
        }
    }
    if (prober->slots != NULL) {
        for (size_t i = 0; i < prober->max_in_flight; ++i) {
            free(prober->slots[i].data);
        }
    }
    free(prober->slots);
    free(prober->packet);
    free(prober->receive);
    free(prober);
}

struct icmp_prober* icmp_prober_new(int fd4, int kind4, int fd6, int kind6, size_t max_in_flight,
                                    int* error) {
    struct icmp_prober* p = calloc(1, sizeof *p);
    if (p == NULL) {
        if (fd4 >= 0) {
            close(fd4);
        }
        if (fd6 >= 0) {
            close(fd6);
        }
        *error = ENOMEM;
        return NULL;
    }
    p->sockets[0] =
        (struct probe_socket){.fd = fd4, .family = AF_INET, .dgram = kind4 == ICMP_SOCKET_DGRAM};
    p->sockets[1] =
        (struct probe_socket){.fd = fd6, .family = AF_INET6, .dgram = kind6 == ICMP_SOCKET_DGRAM};
    p->max_in_flight = max_in_flight < 1               ? 1
                       : max_in_flight > MAX_IN_FLIGHT ? MAX_IN_FLIGHT
                                                       : max_in_flight;
    p->slots = calloc(p->max_in_flight, sizeof *p->slots);
    p->packet = malloc(ICMP_HEADER_SIZE + ICMP6_MAX_DATA_SIZE);
    p->receive = malloc(RECEIVE_SIZE);
    int result = p->slots != NULL && p->packet != NULL && p->receive != NULL ? 0 : ENOMEM;
    for (int i = 0; i < 2 && result == 0; ++i) {
        if (p->sockets[i].fd >= 0) {
            result = prepare_socket(&p->sockets[i]);
        }
    }
    if (result == 0 && getrandom(&p->next_sequence, sizeof p->next_sequence, GRND_NONBLOCK) !=
                           (ssize_t)sizeof p->next_sequence) {
        p->next_sequence = 0;
    }
    if (result != 0) {
        icmp_prober_free(p);
        *error = result;
        return NULL;
    }
    return p;
}

/* ---- Sending ---- */

static uint32_t send_error_status(int error) {
    switch (error) {
    case ENETUNREACH:
        return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH:
        return IP_DEST_HOST_UNREACHABLE;
    case EMSGSIZE:
        return IP_PACKET_TOO_BIG;
    case EACCES: /* a broadcast address without SO_BROADCAST */
    case EINVAL: /* among others, a link-local IPv6 address without its zone */
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
        return IP_BAD_DESTINATION;
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:
        return IP_NO_RESOURCES;
    default:
        return IP_GENERAL_FAILURE;
    }
}

/* Sets what the request asks for that differs from the socket's current settings. */
static uint32_t apply_settings(struct probe_socket* s, const struct icmp_probe_request* r) {
    int v4 = s->family == AF_INET;
    int ttl = r->ttl != 0 ? r->ttl : -1; /* -1 restores the route's (the system's) default */
    if (ttl != s->ttl) {
        if (set_int(s->fd, v4 ? SOL_IP : SOL_IPV6, v4 ? IP_TTL : IPV6_UNICAST_HOPS, ttl) != 0) {
            return IP_BAD_OPTION;
        }
        s->ttl = ttl;
    }
    if (r->tos != s->tos) {
        if (set_int(s->fd, v4 ? SOL_IP : SOL_IPV6, v4 ? IP_TOS : IPV6_TCLASS, r->tos) != 0) {
            return IP_BAD_OPTION;
        }
        s->tos = r->tos;
    }
    if (!v4) {
        return r->options_size == 0 ? IP_SUCCESS : IP_BAD_OPTION;
    }
    int pmtu = (r->flags & IP_FLAG_DF)                ? IP_PMTUDISC_DO
               : (r->flags & ICMP_PROBE_MAY_FRAGMENT) ? IP_PMTUDISC_DONT
                                                      : s->pmtu_default;
    if (pmtu != s->pmtu) {
        if (set_int(s->fd, SOL_IP, IP_MTU_DISCOVER, pmtu) != 0) {
            return IP_BAD_OPTION;
        }
        s->pmtu = pmtu;
    }
    uint8_t size = r->options_size;
    if (size > IP_MAX_OPTIONS_SIZE) {
        return IP_BAD_OPTION;
    }
    if (size != s->options_size || (size > 0 && memcmp(r->options, s->options, size) != 0)) {
        if (setsockopt(s->fd, SOL_IP, IP_OPTIONS, size > 0 ? r->options : NULL, size) != 0) {
            return IP_BAD_OPTION;
        }
        if (size > 0) {
            memcpy(s->options, r->options, size);
        }
        s->options_size = size;
    }
    return IP_SUCCESS;
}

static struct pending* find_sequence(struct icmp_prober* p, int family, uint16_t sequence) {
    for (size_t i = 0; i < p->max_in_flight; ++i) {
        struct pending* e = &p->slots[i];
        if (e->used && e->family == family && e->sequence == sequence) {
            return e;
        }
    }
    return NULL;
}

static int sequence_in_flight(struct icmp_prober* p, uint16_t sequence) {
    return find_sequence(p, AF_INET, sequence) != NULL ||
           find_sequence(p, AF_INET6, sequence) != NULL;
}

/*
 * On a ping socket, a node's error that comes after its request has given up leaves the socket's
 * pending error (SO_ERROR) set, and the kernel fails the next send with that error: the request
 * after a timed-out hop would fail for no fault of its own. Reading SO_ERROR clears it. An error
 * that comes between that and the send fails the send, and clears itself in doing so, which is
 * why a failed send on a ping socket is tried once more; a genuine failure fails again the same
 * way. Returns what sendto returned, with errno, and the clocks just before the send.
 */
static ssize_t send_packet(const struct probe_socket* s, const uint8_t* packet, size_t length,
                           const struct sockaddr* to, socklen_t to_size, uint64_t* sent_real,
                           uint64_t* sent_mono) {
    ssize_t n = -1;
    for (int tries = s->dgram ? 2 : 1; tries > 0 && n < 0; --tries) {
        if (s->dgram) {
            int pending = 0;
            socklen_t size = sizeof pending;
            getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &pending, &size);
        }
        do {
            *sent_mono = clock_ns(CLOCK_MONOTONIC);
            *sent_real = clock_ns(CLOCK_REALTIME);
            n = sendto(s->fd, packet, length, 0, to, to_size);
        } while (n < 0 && errno == EINTR);
    }
    return n;
}

uint32_t icmp_prober_send(struct icmp_prober* p, const struct icmp_probe_request* r) {
    int index = r->family == AF_INET ? 0 : r->family == AF_INET6 ? 1 : -1;
    if (index < 0 || p->sockets[index].fd < 0) {
        return IP_BAD_DESTINATION;
    }
    struct probe_socket* s = &p->sockets[index];
    size_t max_data = s->family == AF_INET ? ICMP_MAX_DATA_SIZE : ICMP6_MAX_DATA_SIZE;
    if (r->data_size > max_data || (r->data_size > 0 && r->data == NULL) ||
        (r->options_size > 0 && r->options == NULL)) {
        return IP_BAD_REQ;
    }
    if (p->in_flight >= p->max_in_flight) {
        return IP_NO_RESOURCES;
    }
    struct pending* slot = NULL;
    for (size_t i = 0; i < p->max_in_flight && slot == NULL; ++i) {
        slot = p->slots[i].used ? NULL : &p->slots[i];
    }
    uint8_t* copy = malloc(r->data_size > 0 ? r->data_size : 1);
    if (slot == NULL || copy == NULL) {
        free(copy);
        return IP_NO_RESOURCES;
    }
    uint32_t status = apply_settings(s, r);
    if (status != IP_SUCCESS) {
        free(copy);
        return status;
    }
    /* Fewer than 65536 requests are in flight, so a free sequence number exists. */
    uint16_t sequence = p->next_sequence;
    while (sequence_in_flight(p, sequence)) {
        ++sequence;
    }
    p->next_sequence = (uint16_t)(sequence + 1);

    size_t length;
    struct sockaddr_storage to;
    socklen_t to_size;
    memset(&to, 0, sizeof to);
    if (s->family == AF_INET) {
        length = icmp_build_echo_request(p->packet, ICMP_HEADER_SIZE + ICMP6_MAX_DATA_SIZE,
                                         s->identifier, sequence, r->data, r->data_size);
        struct sockaddr_in* to4 = (struct sockaddr_in*)&to;
        to4->sin_family = AF_INET;
        memcpy(&to4->sin_addr, r->address, 4);
        to_size = sizeof *to4;
    } else {
        length = icmp6_build_echo_request(p->packet, ICMP_HEADER_SIZE + ICMP6_MAX_DATA_SIZE,
                                          s->identifier, sequence, r->data, r->data_size);
        struct sockaddr_in6* to6 = (struct sockaddr_in6*)&to;
        to6->sin6_family = AF_INET6;
        memcpy(&to6->sin6_addr, r->address, 16);
        to6->sin6_scope_id = r->scope_id;
        to_size = sizeof *to6;
    }
    uint64_t sent_real = 0, sent_mono = 0;
    if (send_packet(s, p->packet, length, (const struct sockaddr*)&to, to_size, &sent_real,
                    &sent_mono) < 0) {
        int error = errno;
        free(copy);
        return send_error_status(error);
    }
    if (r->data_size > 0) {
        memcpy(copy, r->data, r->data_size);
    }
    *slot = (struct pending){.used = 1,
                             .id = r->id,
                             .family = r->family,
                             .sequence = sequence,
                             .data_size = r->data_size,
                             .data = copy,
                             .sent_real = sent_real,
                             .sent_mono = sent_mono,
                             .timeout_ns = (uint64_t)r->timeout_ms * 1000000u,
                             .deadline_ns = sent_mono + (uint64_t)r->timeout_ms * 1000000u};
    memcpy(slot->address, r->address, 16);
    p->in_flight++;
    return IP_SUCCESS;
}

/* ---- Receiving ---- */

static void release(struct icmp_prober* p, struct pending* e) {
    free(e->data);
    e->data = NULL;
    e->used = 0;
    p->in_flight--;
}

/*
 * The sequence number a message names: an echo reply's own, or that of the echo request an error
 * quotes after its IP header (inner_header: 0 to read the IHL of an IPv4 quote, else the fixed
 * IPv6 size). 0 when the message is too short to say.
 */
static int peek_sequence(const uint8_t* icmp, size_t size, int reply_type, size_t inner_header,
                         uint16_t* sequence) {
    size_t at;
    if (size < ICMP_HEADER_SIZE) {
        return 0;
    }
    if (icmp[0] == reply_type) {
        at = 6;
    } else {
        if (size < ICMP_HEADER_SIZE + 1) {
            return 0;
        }
        size_t inner = inner_header != 0 ? inner_header : (size_t)(icmp[8] & 0x0F) * 4;
        at = ICMP_HEADER_SIZE + inner + 6;
    }
    if (at + 2 > size) {
        return 0;
    }
    *sequence = (uint16_t)((icmp[at] << 8) | icmp[at + 1]);
    return 1;
}

/* What the control messages of one received packet say. */
struct received {
    uint64_t stamp_real; /* the kernel's receive timestamp, CLOCK_REALTIME ns; 0: none */
    uint64_t now_mono;   /* CLOCK_MONOTONIC ns just after the receive */
    int ttl, tos;        /* -1: not given */
    uint8_t options[IP_MAX_OPTIONS_SIZE];
    uint8_t options_size;
    int error_found; /* an extended error from a node was given */
    struct sock_extended_err ee;
    struct sockaddr_storage offender;
};

static void read_control(struct msghdr* msg, struct received* r) {
    for (struct cmsghdr* c = CMSG_FIRSTHDR(msg); c != NULL; c = CMSG_NXTHDR(msg, c)) {
        size_t length = c->cmsg_len - CMSG_LEN(0);
        const uint8_t* d = CMSG_DATA(c); /* control data may be unaligned: copy it out */
        int value;
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            length >= sizeof(struct timespec)) {
            struct timespec t;
            memcpy(&t, d, sizeof t);
            r->stamp_real = (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
        } else if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_TTL && length >= sizeof value) {
            memcpy(&value, d, sizeof value);
            r->ttl = value;
        } else if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_TOS && length >= 1) {
            r->tos = d[0]; /* one byte, unlike IP_TTL */
        } else if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVOPTS &&
                   length <= IP_MAX_OPTIONS_SIZE) {
            /* The options as received; the kernel labels them IP_RECVOPTS, not IP_OPTIONS. */
            memcpy(r->options, d, length);
            r->options_size = (uint8_t)length;
        } else if (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_HOPLIMIT &&
                   length >= sizeof value) {
            memcpy(&value, d, sizeof value);
            r->ttl = value;
        } else if (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_TCLASS &&
                   length >= sizeof value) {
            memcpy(&value, d, sizeof value);
            r->tos = value;
        } else if (((c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) ||
                    (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR)) &&
                   length >= sizeof r->ee) {
            memcpy(&r->ee, d, sizeof r->ee);
            /* Errors that the local stack raises itself (SO_EE_ORIGIN_LOCAL) name no node. */
            size_t offender_size = length - sizeof r->ee;
            if ((r->ee.ee_origin == SO_EE_ORIGIN_ICMP || r->ee.ee_origin == SO_EE_ORIGIN_ICMP6) &&
                offender_size >= sizeof(struct sockaddr_in)) {
                memset(&r->offender, 0, sizeof r->offender);
                memcpy(&r->offender, d + sizeof r->ee,
                       offender_size < sizeof r->offender ? offender_size : sizeof r->offender);
                r->error_found = 1;
            }
        }
    }
}

/* Fills the parts of a result that every answer has, and ends the request with it. */
static void finish(struct icmp_prober* p, struct pending* e, struct icmp_probe_result* result,
                   const struct received* r, icmp_probe_done done, void* context) {
    uint64_t round_trip;
    if (r->stamp_real != 0 && r->stamp_real >= e->sent_real) {
        round_trip = r->stamp_real - e->sent_real;
    } else {
        round_trip = r->now_mono - e->sent_mono;
    }
    result->id = e->id;
    result->family = e->family;
    if (round_trip > e->timeout_ns) {
        /* Received after the time-out had passed: as if it had not come. */
        memset(result, 0, sizeof *result);
        result->id = e->id;
        result->family = e->family;
        result->status = IP_REQ_TIMED_OUT;
    } else {
        result->round_trip_ns = round_trip;
        result->ttl = r->ttl >= 0 ? (uint8_t)r->ttl : result->ttl;
        result->tos = r->tos >= 0 ? (uint8_t)r->tos : result->tos;
    }
    release(p, e);
    done(context, result);
}

/* One packet from an IPv4 socket's receive queue (raw: with IP header; ping: without). */
static void take_packet4(struct icmp_prober* p, const struct probe_socket* s, size_t n,
                         const struct sockaddr_in* from, struct received* r, icmp_probe_done done,
                         void* context) {
    const uint8_t* icmp = p->receive;
    size_t size = n;
    if (!s->dgram) {
        size_t ihl = (size_t)(p->receive[0] & 0x0F) * 4;
        if (n < IP_MIN_HEADER_SIZE || ihl > n) {
            return;
        }
        icmp += ihl;
        size -= ihl;
    }
    uint16_t sequence;
    struct pending* e;
    if (!peek_sequence(icmp, size, ICMP_TYPE_ECHO_REPLY, 0, &sequence) ||
        (e = find_sequence(p, AF_INET, sequence)) == NULL) {
        return;
    }
    IPAddr destination;
    memcpy(&destination, e->address, 4);
    struct icmp_expect expect = {.destination = destination,
                                 .identifier = s->identifier,
                                 .sequence = sequence,
                                 .data = e->data,
                                 .data_size = e->data_size};
    struct icmp_answer answer;
    enum icmp_verdict verdict =
        s->dgram ? icmp_parse_icmp_message(p->receive, n, from->sin_addr.s_addr, &expect, &answer)
                 : icmp_parse_ip_packet(p->receive, n, &expect, &answer);
    if (verdict != ICMP_OUR_ECHO_REPLY && verdict != ICMP_OUR_ERROR) {
        return;
    }
    struct icmp_probe_result result;
    memset(&result, 0, sizeof result);
    memcpy(result.sender, &answer.source, 4);
    result.status = answer.status;
    result.type = answer.type;
    result.code = answer.code;
    result.ttl = answer.ttl;
    result.tos = answer.tos;
    if (verdict == ICMP_OUR_ECHO_REPLY) {
        result.data_size = (uint16_t)answer.data_size;
        result.data = p->receive + answer.data_offset;
        if (s->dgram) {
            memcpy(result.options, r->options, r->options_size);
            result.options_size = r->options_size;
        } else {
            memcpy(result.options, p->receive + answer.options_offset, answer.options_size);
            result.options_size = (uint8_t)answer.options_size;
        }
    }
    finish(p, e, &result, r, done, context);
}

/* One message from an ICMPv6 socket's receive queue. */
static void take_packet6(struct icmp_prober* p, const struct probe_socket* s, size_t n,
                         const struct sockaddr_in6* from, struct received* r, icmp_probe_done done,
                         void* context) {
    uint16_t sequence;
    struct pending* e;
    if (!peek_sequence(p->receive, n, ICMP6_TYPE_ECHO_REPLY, IP6_HEADER_SIZE, &sequence) ||
        (e = find_sequence(p, AF_INET6, sequence)) == NULL) {
        return;
    }
    struct icmp6_expect expect = {.identifier = s->identifier,
                                  .sequence = sequence,
                                  .data = e->data,
                                  .data_size = e->data_size};
    memcpy(expect.destination, e->address, 16);
    struct icmp6_answer answer;
    enum icmp_verdict verdict = icmp6_parse_message(p->receive, n, &expect, &answer);
    if (verdict != ICMP_OUR_ECHO_REPLY && verdict != ICMP_OUR_ERROR) {
        return;
    }
    struct icmp_probe_result result;
    memset(&result, 0, sizeof result);
    memcpy(result.sender, &from->sin6_addr, 16);
    result.sender_scope_id = from->sin6_scope_id;
    result.status = answer.status;
    result.type = answer.type;
    result.code = answer.code;
    if (verdict == ICMP_OUR_ECHO_REPLY) {
        result.data_size = (uint16_t)answer.data_size;
        result.data = p->receive + answer.data_offset;
    }
    finish(p, e, &result, r, done, context);
}

/* One error from a ping socket's error queue: the quoted request and the original destination. */
static void take_error(struct icmp_prober* p, const struct probe_socket* s, size_t n,
                       const struct sockaddr_storage* original, struct received* r,
                       icmp_probe_done done, void* context) {
    uint16_t sequence;
    struct pending* e;
    if (!r->error_found || n < ICMP_HEADER_SIZE || original->ss_family != s->family ||
        r->offender.ss_family != s->family) {
        return;
    }
    sequence = (uint16_t)((p->receive[6] << 8) | p->receive[7]);
    if ((e = find_sequence(p, s->family, sequence)) == NULL) {
        return;
    }
    struct icmp_probe_result result;
    memset(&result, 0, sizeof result);
    enum icmp_verdict verdict;
    if (s->family == AF_INET) {
        const struct sockaddr_in* o = (const struct sockaddr_in*)original;
        IPAddr destination;
        memcpy(&destination, e->address, 4);
        struct icmp_expect expect = {
            .destination = destination, .identifier = s->identifier, .sequence = sequence};
        verdict = icmp_parse_quoted_request(p->receive, n, o->sin_addr.s_addr, &expect);
        memcpy(result.sender, &((const struct sockaddr_in*)&r->offender)->sin_addr, 4);
        result.status = icmp_error_status(r->ee.ee_type, r->ee.ee_code);
    } else {
        const struct sockaddr_in6* o = (const struct sockaddr_in6*)original;
        struct icmp6_expect expect = {.identifier = s->identifier, .sequence = sequence};
        memcpy(expect.destination, e->address, 16);
        verdict = icmp6_parse_quoted_request(p->receive, n, o->sin6_addr.s6_addr, &expect);
        const struct sockaddr_in6* offender = (const struct sockaddr_in6*)&r->offender;
        memcpy(result.sender, &offender->sin6_addr, 16);
        result.sender_scope_id = offender->sin6_scope_id;
        result.status = icmp6_error_status(r->ee.ee_type, r->ee.ee_code);
    }
    if (verdict != ICMP_OUR_ERROR) {
        return;
    }
    result.type = r->ee.ee_type;
    result.code = r->ee.ee_code;
    finish(p, e, &result, r, done, context);
}

/* Reads one socket's queue (or its error queue) until it is empty or a burst has been read. */
static void drain(struct icmp_prober* p, const struct probe_socket* s, int error_queue,
                  icmp_probe_done done, void* context) {
    for (int i = 0; i < RECEIVE_BURST && p->in_flight > 0; ++i) {
        union {
            struct cmsghdr align;
            char bytes[CONTROL_SIZE];
        } control;
        struct sockaddr_storage from;
        struct iovec iov = {.iov_base = p->receive, .iov_len = RECEIVE_SIZE};
        struct msghdr msg = {.msg_name = &from,
                             .msg_namelen = sizeof from,
                             .msg_iov = &iov,
                             .msg_iovlen = 1,
                             .msg_control = control.bytes,
                             .msg_controllen = sizeof control.bytes};
        ssize_t n = recvmsg(s->fd, &msg, MSG_DONTWAIT | (error_queue ? MSG_ERRQUEUE : 0));
        struct received r = {.now_mono = clock_ns(CLOCK_MONOTONIC), .ttl = -1, .tos = -1};
        if (n < 0) {
            /* After a node's error a ping socket also fails one plain read with that error
             * (EHOSTUNREACH and the like); the error itself is on the error queue. */
            if (errno == EAGAIN || errno == EWOULDBLOCK || error_queue) {
                return;
            }
            continue;
        }
        if (n == 0 || (!error_queue && (msg.msg_flags & MSG_TRUNC)) ||
            msg.msg_namelen <
                (s->family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6)) ||
            from.ss_family != s->family) {
            continue; /* empty, cut short, or from nowhere: never ours */
        }
        read_control(&msg, &r);
        if (error_queue) {
            take_error(p, s, (size_t)n, &from, &r, done, context);
        } else if (s->family == AF_INET) {
            take_packet4(p, s, (size_t)n, (const struct sockaddr_in*)&from, &r, done, context);
        } else {
            take_packet6(p, s, (size_t)n, (const struct sockaddr_in6*)&from, &r, done, context);
        }
    }
}

void icmp_prober_receive(struct icmp_prober* p, icmp_probe_done done, void* context) {
    for (int i = 0; i < 2; ++i) {
        const struct probe_socket* s = &p->sockets[i];
        if (s->fd < 0) {
            continue;
        }
        drain(p, s, 0, done, context);
        if (s->dgram) {
            drain(p, s, 1, done, context);
        }
    }
    /* With nothing in flight the queues are only emptied: whatever is there is late. */
    for (int i = 0; i < 2 && p->in_flight == 0; ++i) {
        const struct probe_socket* s = &p->sockets[i];
        for (int k = 0; s->fd >= 0 && k < RECEIVE_BURST; ++k) {
            if (recv(s->fd, p->receive, RECEIVE_SIZE, MSG_DONTWAIT | MSG_TRUNC) < 0 &&
                (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            }
        }
        for (int k = 0; s->fd >= 0 && s->dgram && k < RECEIVE_BURST; ++k) {
            char control[CONTROL_SIZE];
            struct iovec iov = {.iov_base = p->receive, .iov_len = RECEIVE_SIZE};
            struct msghdr msg = {.msg_iov = &iov,
                                 .msg_iovlen = 1,
                                 .msg_control = control,
                                 .msg_controllen = sizeof control};
            if (recvmsg(s->fd, &msg, MSG_DONTWAIT | MSG_ERRQUEUE) < 0) {
                break;
            }
        }
    }
}

/* ---- Time-outs and the rest ---- */

void icmp_prober_expire(struct icmp_prober* p, uint64_t now_ns, icmp_probe_done done,
                        void* context) {
    for (size_t i = 0; i < p->max_in_flight; ++i) {
        struct pending* e = &p->slots[i];
        if (!e->used || e->deadline_ns > now_ns) {
            continue;
        }
        struct icmp_probe_result result;
        memset(&result, 0, sizeof result);
        result.id = e->id;
        result.family = e->family;
        result.status = IP_REQ_TIMED_OUT;
        release(p, e);
        done(context, &result);
    }
}

uint64_t icmp_prober_next_deadline(const struct icmp_prober* p) {
    uint64_t next = UINT64_MAX;
    for (size_t i = 0; i < p->max_in_flight; ++i) {
        if (p->slots[i].used && p->slots[i].deadline_ns < next) {
            next = p->slots[i].deadline_ns;
        }
    }
    return next;
}

int icmp_prober_poll_fds(const struct icmp_prober* p, struct pollfd* out, int max) {
    int count = 0;
    for (int i = 0; i < 2 && count < max; ++i) {
        if (p->sockets[i].fd >= 0) {
            out[count++] = (struct pollfd){.fd = p->sockets[i].fd, .events = POLLIN};
        }
    }
    return count;
}

size_t icmp_prober_in_flight(const struct icmp_prober* p) {
    return p->in_flight;
}

void icmp_prober_forget(struct icmp_prober* p, uint32_t id) {
    for (size_t i = 0; i < p->max_in_flight; ++i) {
        if (p->slots[i].used && p->slots[i].id == id) {
            release(p, &p->slots[i]);
            return;
        }
    }
}
