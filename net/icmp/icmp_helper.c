/*
 * sabrevin-icmp-helper: the only privileged code of Sabrevin. Every use of a privilege is in
 * this file, and a test fails when a privilege call turns up anywhere else.
 *
 * The install gives this program the file capability cap_net_raw (setcap cap_net_raw+ep). The
 * echo module starts it when neither a ping socket nor a raw socket of its own is allowed, with
 * one end of a Unix SOCK_SEQPACKET socket pair on descriptor 3 and an empty environment. Then:
 *  1. it checks that descriptor 3 is such a socket, and exits if not;
 *  2. it creates one raw ICMP and one raw ICMPv6 socket, which is what the capability is for;
 *  3. it gives up every capability (effective, permitted, inheritable, ambient and, where it may,
 *     the bounding set) and sets no_new_privs, before it takes in a single byte;
 *  4. it says hello (icmp_helper_proto.h) with the errno of each socket, and serves requests:
 *     each one an echo request that it builds itself, through the prober, to the address asked,
 *     answered with what came back for that request alone.
 * Its only thread waits in poll on descriptor 3 and the prober's sockets, with the next deadline
 * as the time-out. It ends on any request that breaks the protocol's rules and when the module's
 * end closes. It never passes a descriptor, takes no arguments and no environment, touches no
 * file, and links only libc.
 *
 * So whoever may execute it gets no more than this: echo requests of 8 to 512 bytes, at most 128
 * in flight, to unicast addresses, and the answers to those requests; no raw socket, no packet of
 * its own making, and no sight of other programs' traffic.
 */
#define _GNU_SOURCE
#include "net/icmp/icmp_helper_proto.h"
#include "net/icmp/icmp_prober.h"

#include <errno.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum {
    EXIT_PEER_CLOSED = 0,
    EXIT_NO_PEER = 1,
    EXIT_PRIVILEGE = 2,
    EXIT_SETUP = 4,
    EXIT_ANSWER = 5,
};

/* Ids of the module's requests in flight, to refuse a repeated one. */
struct served {
    uint32_t ids[ICMP_HELPER_MAX_IN_FLIGHT];
    size_t count;
    int failed; /* an answer could not be sent: 1 as the module's end closed, 2 otherwise */
};

static int peer_is_seqpacket(void) {
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(ICMP_HELPER_FD, SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
           type == SOCK_SEQPACKET;
}

/*
 * Gives up everything: no_new_privs (no exec can gain a privilege again), the bounding set where
 * the process may change it (it needs CAP_SETPCAP, which a file capability of cap_net_raw alone
 * does not bring: then it stays, harmless with empty permitted and inheritable sets), the ambient
 * set, and last the effective, permitted and inheritable sets. Returns 0 only when capget then
 * finds all three empty.
 */
static int drop_privileges(void) {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return -1;
    }
    for (unsigned long cap = 0; cap <= CAP_LAST_CAP; ++cap) {
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    struct __user_cap_header_struct header = {.version = _LINUX_CAPABILITY_VERSION_3, .pid = 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
    memset(data, 0, sizeof data);
    if (syscall(SYS_capset, &header, data) != 0) {
        return -1;
    }
    memset(data, 0xFF, sizeof data);
    if (syscall(SYS_capget, &header, data) != 0) {
        return -1;
    }
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
        if (data[i].effective != 0 || data[i].permitted != 0 || data[i].inheritable != 0) {
            return -1;
        }
    }
    return 0;
}

static int send_message(const void* message, size_t size) {
    ssize_t n;
    do {
        n = send(ICMP_HELPER_FD, message, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == (ssize_t)size ? 0 : -1;
}

static void forget_id(struct served* served, uint32_t id) {
    for (size_t i = 0; i < served->count; ++i) {
        if (served->ids[i] == id) {
            served->ids[i] = served->ids[--served->count];
            return;
        }
    }
}

static int id_in_flight(const struct served* served, uint32_t id) {
    for (size_t i = 0; i < served->count; ++i) {
        if (served->ids[i] == id) {
            return 1;
        }
    }
    return 0;
}

static void answer(struct served* served, uint32_t id, uint8_t family,
                   const struct icmp_probe_result* result) {
    struct icmp_helper_answer a;
    memset(&a, 0, sizeof a);
    a.magic = ICMP_HELPER_MAGIC;
    a.id = id;
    a.family = family;
    if (result != NULL) {
        a.status = result->status;
        a.type = result->type;
        a.code = result->code;
        a.ttl = result->ttl;
        a.tos = result->tos;
        a.data_size = result->data_size;
        a.sender_scope_id = result->sender_scope_id;
        memcpy(a.sender, result->sender, sizeof a.sender);
        a.round_trip_ns = result->round_trip_ns;
    }
    if (send_message(&a, sizeof a) != 0 && served->failed == 0) {
        served->failed = errno == EPIPE || errno == ECONNRESET ? 1 : 2;
    }
}

static void on_result(void* context, const struct icmp_probe_result* result) {
    struct served* served = context;
    forget_id(served, result->id);
    answer(served, result->id, result->family == AF_INET6 ? 6 : 4, result);
}

/*
 * Takes one request from the module: 0 when it is served (or answered as not sent), 1 when the
 * module's end has closed, -1 for a request that breaks the rules.
 */
static int take_request(struct icmp_prober* prober, struct served* served, short revents) {
    uint8_t packet[sizeof(struct icmp_helper_request) + ICMP_HELPER_MAX_DATA + 1];
    /* MSG_TRUNC: the length of the whole packet, so that an oversized one is refused. */
    ssize_t n = recv(ICMP_HELPER_FD, packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    if (n < 0 || (n == 0 && (revents & POLLHUP))) {
        return 1; /* the connection reset, or end of file */
    }
    struct icmp_helper_request request;
    const uint8_t* data = NULL;
    if (n == 0 || (size_t)n > sizeof packet || /* an empty packet is no request */
        !icmp_helper_parse_request(packet, (size_t)n, &request, &data) ||
        id_in_flight(served, request.id)) {
        return -1;
    }
    struct icmp_probe_request probe = {.id = request.id,
                                       .family = request.family == 6 ? AF_INET6 : AF_INET,
                                       .scope_id = request.scope_id,
                                       .ttl = request.ttl,
                                       .data_size = request.data_size,
                                       .data = data,
                                       .timeout_ms = request.timeout_ms};
    memcpy(probe.address, request.address, sizeof probe.address);
    uint32_t status = served->count < ICMP_HELPER_MAX_IN_FLIGHT ? icmp_prober_send(prober, &probe)
                                                                : IP_NO_RESOURCES;
    if (status == IP_SUCCESS) {
        served->ids[served->count++] = request.id;
    } else {
        struct icmp_probe_result result;
        memset(&result, 0, sizeof result);
        result.status = status;
        answer(served, request.id, request.family, &result);
    }
    return 0;
}

static uint64_t monotonic_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

static int serve(struct icmp_prober* prober) {
    struct served served = {.count = 0};
    for (;;) {
        struct pollfd fds[3] = {{.fd = ICMP_HELPER_FD, .events = POLLIN}};
        int count = 1 + icmp_prober_poll_fds(prober, fds + 1, 2);
        uint64_t deadline = icmp_prober_next_deadline(prober);
        int timeout = -1;
        if (deadline != UINT64_MAX) {
            uint64_t now = monotonic_ns();
            /* Rounded up, so that the wake-up never comes before the deadline. */
            uint64_t ms = deadline > now ? (deadline - now + 999999u) / 1000000u : 0;
            timeout = ms > 60000u ? 60000 : (int)ms;
        }
        if (poll(fds, (nfds_t)count, timeout) < 0 && errno != EINTR) {
            return EXIT_SETUP;
        }
        /* Answers first, so that the times are taken as close to their arrival as possible. */
        icmp_prober_receive(prober, on_result, &served);
        icmp_prober_expire(prober, monotonic_ns(), on_result, &served);
        if (fds[0].revents & POLLIN) {
            int taken = take_request(prober, &served, fds[0].revents);
            if (taken != 0) {
                return taken > 0 ? EXIT_PEER_CLOSED : ICMP_HELPER_EXIT_REFUSED;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return EXIT_PEER_CLOSED;
        }
        if (served.failed != 0) {
            return served.failed == 1 ? EXIT_PEER_CLOSED : EXIT_ANSWER;
        }
    }
}

int main(void) {
    if (!peer_is_seqpacket()) {
        return EXIT_NO_PEER;
    }
    int fd4 = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    int32_t error4 = fd4 < 0 ? errno : 0;
    int fd6 = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    int32_t error6 = fd6 < 0 ? errno : 0;
    if (drop_privileges() != 0) {
        return EXIT_PRIVILEGE; /* never serve anything while a capability may remain */
    }

    int error = 0;
    struct icmp_prober* prober = NULL;
    if (fd4 >= 0 || fd6 >= 0) {
        prober = icmp_prober_new(fd4, ICMP_SOCKET_RAW, fd6, ICMP_SOCKET_RAW,
                                 ICMP_HELPER_MAX_IN_FLIGHT, &error);
        if (prober == NULL) {
            error4 = fd4 >= 0 ? error : error4;
            error6 = fd6 >= 0 ? error : error6;
        }
    }
    struct icmp_helper_hello hello = {
        .magic = ICMP_HELPER_MAGIC, .error4 = error4, .error6 = error6};
    if (send_message(&hello, sizeof hello) != 0 || prober == NULL) {
        icmp_prober_free(prober);
        return prober == NULL ? EXIT_SETUP : EXIT_PEER_CLOSED;
    }
    int status = serve(prober);
    icmp_prober_free(prober);
    return status;
}
