/*
 * The ICMP echo service, sabrevin-icmp.so: the three functions of icmp_api.h on Linux sockets.
 *
 * A handle owns one ICMP socket. IcmpCreateFile tries, in this order:
 *  1. a datagram ICMP ("ping") socket, which needs no privilege where the sysctl
 *     net.ipv4.ping_group_range admits one of the process's groups. The kernel picks the echo
 *     identifier (the socket's "port"), computes the checksum, hands the socket only echo
 *     replies with its identifier, and reports routers' errors about its requests through the
 *     error queue (IP_RECVERR);
 *  2. a raw ICMP socket, where the process holds CAP_NET_RAW. It sees every ICMP packet of the
 *     network namespace, IP header included; a socket filter keeps out echo replies with other
 *     identifiers, and the reply parser checks everything else;
 *  3. a raw ICMP socket opened by sabrevin-icmp-helper, which lives in the module's own
 *     directory and holds the file capability cap_net_raw (icmp_helper.c).
 * Debian's default ping_group_range, "1 0", admits nobody, root included, so a normal user on
 * Debian gets the third kind and root the second.
 *
 * IcmpSendEcho sends one request and waits on the socket and the handle's wake-up descriptor
 * until the first packet that answers exactly this request: its identifier, its sequence number
 * (new for each request of a handle, so late answers to earlier ones are skipped), and for an
 * echo reply the data echoed unchanged, from whichever sender (a multihomed host may answer from
 * another of its addresses; the reply record names that sender); for a router's error the
 * quoted original header with our destination, identifier and sequence. Checksums and lengths
 * are checked on both socket kinds. Round trips are timed with CLOCK_MONOTONIC from just before
 * the send to just after the receive; an answer received later than the time-out after the send
 * counts as none, so a RoundTripTime never exceeds the time-out.
 */
#define _GNU_SOURCE
#include "net/icmp/icmp_api.h"
#include "net/icmp/icmp_packet.h"
#include "net/icmp/icmp_session.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define HELPER_NAME "sabrevin-icmp-helper"
/* The helper writes its socket to this descriptor, the first after stdin, stdout, stderr. */
#define HELPER_FD 3
/* The helper exits at once; this only bounds the wait for a broken one. Milliseconds. */
#define HELPER_WAIT_MS 2000
/* The largest IPv4 packet: what a raw socket may deliver. */
#define RECEIVE_SIZE 65536u
#define CONTROL_SIZE 512u

struct echo_socket {
    int fd;
    int kind;            /* ICMP_SOCKET_DGRAM, _RAW or _HELPER */
    uint16_t identifier; /* echo identifier, host byte order */
    uint16_t sequence;   /* of the last request, host byte order */
    /* The IP settings of the socket as last set, so that each is set only when it changes. */
    int ttl; /* -1: the system's default */
    int tos;
    int pmtu;
    int pmtu_default; /* IP_MTU_DISCOVER as the socket came */
    uint8_t options[IP_MAX_OPTIONS_SIZE];
    uint8_t options_size;
    uint8_t* packet;  /* the request: ICMP header + up to ICMP_MAX_DATA_SIZE bytes */
    uint8_t* receive; /* one received packet */
};

static void destroy_echo_socket(void* impl) {
    struct echo_socket* s = impl;
    if (s->fd >= 0) {
        close(s->fd);
    }
    free(s->packet);
    free(s->receive);
    free(s);
}

static void error_text(int error, char* out, size_t size) {
    char buffer[128];
    snprintf(out, size, "%s", strerror_r(error, buffer, sizeof buffer));
}

/* snprintf for texts that may be cut: a path of any length ends up in them. */
__attribute__((format(printf, 3, 4))) static void say(char* out, size_t size, const char* format,
                                                      ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(out, size, format, args);
    va_end(args);
}

/* ---- Which socket ---- */

static void describe_ping_refusal(int error, char* out, size_t size) {
    char reason[128];
    if (error == EACCES) {
        char range[64] = "";
        FILE* f = fopen("/proc/sys/net/ipv4/ping_group_range", "re");
        if (f != NULL) {
            unsigned long low = 0, high = 0;
            if (fscanf(f, "%lu %lu", &low, &high) == 2) {
                say(range, sizeof range, " \"%lu %lu\"", low, high);
            }
            fclose(f);
        }
        say(out, size,
            "ping sockets are refused (net.ipv4.ping_group_range%s does not admit group %u)", range,
            (unsigned)getegid());
    } else {
        error_text(error, reason, sizeof reason);
        snprintf(out, size, "ping sockets are unavailable (%s)", reason);
    }
}

static int has_same_identity(int fd, int domain, int type, int protocol) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &value, &length) != 0 || value != domain) {
        return 0;
    }
    length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) != 0 || value != type) {
        return 0;
    }
    length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &value, &length) == 0 && value == protocol;
}

/* The directory of this module's own file, where its helper lives. */
static int module_directory(char* out, size_t size) {
    static const char anchor = 0; /* any object of this module: dladdr names the file holding it */
    Dl_info info;
    char resolved[PATH_MAX];
    if (dladdr(&anchor, &info) == 0 || info.dli_fname == NULL ||
        realpath(info.dli_fname, resolved) == NULL) {
        return -1;
    }
    char* slash = strrchr(resolved, '/');
    if (slash == NULL) {
        return -1;
    }
    *slash = '\0';
    snprintf(out, size, "%s", resolved[0] != '\0' ? resolved : "/");
    return 0;
}

/*
 * Starts the helper with one end of a socket pair on HELPER_FD, an empty environment and no
 * other descriptor, and takes the raw socket it sends back. On failure returns -1 and says why
 * in why.
 */
static int socket_from_helper(const char* path, char* why, size_t why_size) {
    char reason[128];
    struct stat st;
    if (stat(path, &st) != 0) {
        say(why, why_size, "the helper %s is missing", path);
        return -1;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error_text(errno, reason, sizeof reason);
        say(why, why_size, "the helper %s cannot be reached (%s)", path, reason);
        return -1;
    }
    int child_end = pair[1];
    if (child_end == HELPER_FD) {
        /* dup2 onto itself would keep close-on-exec set: move it out of the way first. */
        child_end = fcntl(pair[1], F_DUPFD_CLOEXEC, HELPER_FD + 1);
        close(pair[1]);
        if (child_end < 0) {
            close(pair[0]);
            say(why, why_size, "the helper %s cannot be reached", path);
            return -1;
        }
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, child_end, HELPER_FD);
    posix_spawn_file_actions_addclosefrom_np(&actions, HELPER_FD + 1);
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {(char*)path, NULL};
    char* envp[] = {NULL};
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, path, &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(child_end);
    if (spawned != 0) {
        close(pair[0]);
        error_text(spawned, reason, sizeof reason);
        say(why, why_size, "the helper %s cannot be started (%s)", path, reason);
        return -1;
    }

    int32_t helper_error = -1; /* the errno of the helper's socket(), 0 when it got one */
    int fd = -1;
    /* One deadline for the whole wait: signals that interrupt it must not stretch it. */
    if (icmp_wait(pair[0], -1, icmp_deadline(icmp_now_ns(), HELPER_WAIT_MS)) > 0) {
        union {
            struct cmsghdr align;
            char bytes[CMSG_SPACE(sizeof(int))];
        } control;
        struct iovec iov = {.iov_base = &helper_error, .iov_len = sizeof helper_error};
        struct msghdr msg = {.msg_iov = &iov,
                             .msg_iovlen = 1,
                             .msg_control = control.bytes,
                             .msg_controllen = sizeof control.bytes};
        ssize_t n = recvmsg(pair[0], &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (n != (ssize_t)sizeof helper_error) {
            helper_error = -1;
        }
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); n > 0 && c != NULL;
             c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
                c->cmsg_len == CMSG_LEN(sizeof(int))) {
                memcpy(&fd, CMSG_DATA(c), sizeof fd);
            }
        }
    } else {
        kill(pid, SIGKILL);
    }
    close(pair[0]);
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
    }

    if (fd >= 0 && (helper_error != 0 || !has_same_identity(fd, AF_INET, SOCK_RAW, IPPROTO_ICMP))) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        if (helper_error == EPERM || helper_error == EACCES) {
            say(why, why_size, "the helper %s lacks the capability cap_net_raw", path);
        } else if (helper_error > 0) {
            error_text(helper_error, reason, sizeof reason);
            say(why, why_size, "the helper %s could not open a raw socket (%s)", path, reason);
        } else {
            say(why, why_size, "the helper %s gave no socket", path);
        }
    }
    return fd;
}

/* Opens a datagram or a raw ICMP socket of this process; on failure returns -1 and says why. */
static int open_own_socket(int kind, char* why, size_t why_size) {
    int type = kind == ICMP_SOCKET_DGRAM ? SOCK_DGRAM : SOCK_RAW;
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        return fd;
    }
    int error = errno;
    if (kind == ICMP_SOCKET_DGRAM) {
        describe_ping_refusal(error, why, why_size);
    } else if (error == EPERM || error == EACCES) {
        say(why, why_size, "raw ICMP sockets need CAP_NET_RAW, which this process lacks");
    } else {
        char reason[128];
        error_text(error, reason, sizeof reason);
        say(why, why_size, "raw ICMP sockets are unavailable (%s)", reason);
    }
    return -1;
}

/* Opens a socket of the given kind; on failure returns -1 and says why. */
static int open_icmp_socket(int kind, char* helper, size_t helper_size, char* why,
                            size_t why_size) {
    if (kind != ICMP_SOCKET_HELPER) {
        return open_own_socket(kind, why, why_size);
    }
    char directory[PATH_MAX];
    if (module_directory(directory, sizeof directory) != 0) {
        say(why, why_size, "the helper cannot be found (no module path)");
        return -1;
    }
    say(helper, helper_size, "%s/%s", directory, HELPER_NAME);
    return socket_from_helper(helper, why, why_size);
}

/* Raw sockets get an identifier of their own; distinct for 65536 handles in a row. */
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

static int set_int(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
}

/* Makes the socket ready; returns 0, or an errno value. */
static int prepare_socket(struct echo_socket* s) {
    if (s->kind == ICMP_SOCKET_DGRAM) {
        /* Binding to port 0 makes the kernel pick the identifier now, so that it is known before
         * the first request; getsockname gives it in network byte order. */
        struct sockaddr_in local = {.sin_family = AF_INET};
        socklen_t length = sizeof local;
        if (bind(s->fd, (struct sockaddr*)&local, sizeof local) != 0 ||
            getsockname(s->fd, (struct sockaddr*)&local, &length) != 0) {
            return errno;
        }
        s->identifier = ntohs(local.sin_port);
        /* Routers' errors reach a ping socket only through the error queue; the arriving
         * time-to-live, type of service and options come as control messages. */
        if (set_int(s->fd, SOL_IP, IP_RECVERR, 1) != 0 ||
            set_int(s->fd, SOL_IP, IP_RECVTTL, 1) != 0 ||
            set_int(s->fd, SOL_IP, IP_RECVTOS, 1) != 0 ||
            set_int(s->fd, SOL_IP, IP_RECVOPTS, 1) != 0) {
            return errno;
        }
    } else {
        s->identifier = next_raw_identifier();
        /* Only the types that can answer an echo request; bits set are filtered out. */
        struct icmp_filter filter = {.data =
                                         ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) |
                                           (1u << ICMP_SOURCE_QUENCH) | (1u << ICMP_TIME_EXCEEDED) |
                                           (1u << ICMP_PARAMETERPROB))};
        if (setsockopt(s->fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) {
            return errno;
        }
        /* Echo replies for other identifiers (other programs' pings) stay in the kernel. The
         * filter sees the packet from its IP header; errors pass to the parser. */
        struct sock_filter code[] = {
            BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                    /* X = IP header size */
            BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                     /* A = ICMP type */
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_ECHOREPLY, 0, 2), /* not a reply: keep */
            BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                     /* A = identifier */
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, s->identifier, 0, 1),  /* ours: keep */
            BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),                    /* keep */
            BPF_STMT(BPF_RET | BPF_K, 0),                              /* drop */
        };
        struct sock_fprog program = {.len = sizeof code / sizeof code[0], .filter = code};
        if (setsockopt(s->fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
            return errno;
        }
    }
    socklen_t length = sizeof s->pmtu_default;
    if (getsockopt(s->fd, SOL_IP, IP_MTU_DISCOVER, &s->pmtu_default, &length) != 0) {
        return errno;
    }
    s->pmtu = s->pmtu_default;
    s->ttl = -1;
    s->tos = 0;
    uint16_t start;
    if (getrandom(&start, sizeof start, GRND_NONBLOCK) != (ssize_t)sizeof start) {
        start = 0;
    }
    s->sequence = start;
    s->packet = malloc(ICMP_HEADER_SIZE + ICMP_MAX_DATA_SIZE);
    s->receive = malloc(RECEIVE_SIZE);
    return s->packet != NULL && s->receive != NULL ? 0 : ENOMEM;
}

/* Why a socket that opened could not be used, for IcmpGetCreateError. */
static void describe_setup_failure(int kind, int error, char* why, size_t why_size) {
    char reason[128];
    error_text(error, reason, sizeof reason);
    say(why, why_size, "%s opened but could not be set up (%s)",
        kind == ICMP_SOCKET_DGRAM ? "a ping socket"
        : kind == ICMP_SOCKET_RAW ? "a raw ICMP socket"
                                  : "the helper's raw ICMP socket",
        reason);
}

/*
 * Tries the socket kinds in order. A socket that opens but cannot be set up is closed, and the
 * next kind is tried as if it had not opened at all; only when none is left does the call fail,
 * with the reason of each attempt.
 */
ICMP_EXPORT ICMP_HANDLE IcmpCreateFile(void) {
    static const int kinds[] = {ICMP_SOCKET_DGRAM, ICMP_SOCKET_RAW, ICMP_SOCKET_HELPER};
    enum { KIND_COUNT = sizeof kinds / sizeof kinds[0] };
    char ping_why[256], raw_why[256], helper_why[PATH_MAX + 128];
    char* why[KIND_COUNT] = {ping_why, raw_why, helper_why};
    const size_t why_size[KIND_COUNT] = {sizeof ping_why, sizeof raw_why, sizeof helper_why};
    char helper[PATH_MAX + sizeof HELPER_NAME + 1] = HELPER_NAME;

    for (size_t i = 0; i < KIND_COUNT; ++i) {
        int kind = kinds[i];
        int fd = open_icmp_socket(kind, helper, sizeof helper, why[i], why_size[i]);
        if (fd < 0) {
            continue;
        }
        struct echo_socket* s = calloc(1, sizeof *s);
        if (s == NULL) {
            close(fd);
            describe_setup_failure(kind, ENOMEM, why[i], why_size[i]);
            continue;
        }
        s->fd = fd;
        s->kind = kind;
        int error = prepare_socket(s);
        if (error != 0) {
            destroy_echo_socket(s); /* closes the socket too */
            describe_setup_failure(kind, error, why[i], why_size[i]);
            continue;
        }
        ICMP_HANDLE handle = icmp_table_add(s, kind, destroy_echo_socket);
        icmp_set_create_error(handle == ICMP_INVALID_HANDLE ? "Too many ICMP handles are open."
                                                            : "");
        return handle;
    }

    char report[2 * PATH_MAX + 1024];
    say(report, sizeof report,
        "No usable ICMP socket could be opened: %s; %s; %s.\n"
        "To allow it, either admit the user's group to ping sockets: "
        "sysctl -w net.ipv4.ping_group_range=\"%u %u\", "
        "or give the helper the capability: setcap cap_net_raw+ep %s",
        ping_why, raw_why, helper_why, (unsigned)getegid(), (unsigned)getegid(), helper);
    icmp_set_create_error(report);
    return ICMP_INVALID_HANDLE;
}

/* ---- One request ---- */

/* Sets what the request asks for that differs from the socket's current settings. */
static uint32_t apply_options(struct echo_socket* s, const IP_OPTION_INFORMATION* o) {
    int ttl = o != NULL ? o->Ttl : -1; /* -1 restores the route's (the system's) default */
    int tos = o != NULL ? o->Tos : 0;
    int pmtu = o == NULL                 ? s->pmtu_default
               : (o->Flags & IP_FLAG_DF) ? IP_PMTUDISC_DO
                                         : IP_PMTUDISC_DONT;
    uint8_t size = o != NULL ? o->OptionsSize : 0;
    if (ttl != s->ttl) {
        if (set_int(s->fd, SOL_IP, IP_TTL, ttl) != 0) {
            return IP_BAD_OPTION;
        }
        s->ttl = ttl;
    }
    if (tos != s->tos) {
        if (set_int(s->fd, SOL_IP, IP_TOS, tos) != 0) {
            return IP_BAD_OPTION;
        }
        s->tos = tos;
    }
    if (pmtu != s->pmtu) {
        if (set_int(s->fd, SOL_IP, IP_MTU_DISCOVER, pmtu) != 0) {
            return IP_BAD_OPTION;
        }
        s->pmtu = pmtu;
    }
    if (size != s->options_size || (size > 0 && memcmp(o->OptionsData, s->options, size) != 0)) {
        if (setsockopt(s->fd, SOL_IP, IP_OPTIONS, size > 0 ? o->OptionsData : NULL, size) != 0) {
            return IP_BAD_OPTION;
        }
        if (size > 0) {
            memcpy(s->options, o->OptionsData, size);
        }
        s->options_size = size;
    }
    return IP_SUCCESS;
}

static uint32_t send_error_status(int error) {
    switch (error) {
    case ENETUNREACH:
        return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH:
        return IP_DEST_HOST_UNREACHABLE;
    case EMSGSIZE:
        return IP_PACKET_TOO_BIG;
    case EACCES: /* a broadcast address without SO_BROADCAST */
    case EINVAL:
    case EADDRNOTAVAIL:
        return IP_BAD_DESTINATION;
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:
        return IP_NO_RESOURCES;
    default:
        return IP_GENERAL_FAILURE;
    }
}

/* What a matching packet gave, ready for the reply record. */
struct outcome {
    IPAddr address;
    uint32_t status;
    uint64_t received_ns;
    const uint8_t* data;
    uint16_t data_size;
    uint8_t ttl, tos;
    const uint8_t* options;
    size_t options_size;
    uint8_t options_copy[IP_MAX_OPTIONS_SIZE];
};

/* Reads one packet from a raw socket; 1 when it answers our request. */
static int read_raw(struct echo_socket* s, const struct icmp_expect* expect, struct outcome* out) {
    ssize_t n = recv(s->fd, s->receive, RECEIVE_SIZE, MSG_DONTWAIT | MSG_TRUNC);
    uint64_t received = icmp_now_ns();
    if (n <= 0 || (size_t)n > RECEIVE_SIZE) {
        return 0; /* nothing, an error, or cut short: never ours */
    }
    struct icmp_answer answer;
    enum icmp_verdict verdict = icmp_parse_ip_packet(s->receive, (size_t)n, expect, &answer);
    if (verdict != ICMP_OUR_ECHO_REPLY && verdict != ICMP_OUR_ERROR) {
        return 0;
    }
    out->address = answer.source;
    out->status = answer.status;
    out->received_ns = received;
    out->data = s->receive + answer.data_offset;
    out->data_size = (uint16_t)answer.data_size;
    out->ttl = answer.ttl;
    out->tos = answer.tos;
    out->options = s->receive + answer.options_offset;
    out->options_size = answer.options_size;
    return 1;
}

/* The arriving time-to-live, type of service and IP options, from a ping socket's messages. */
static void read_control(struct msghdr* msg, struct outcome* out) {
    for (struct cmsghdr* c = CMSG_FIRSTHDR(msg); c != NULL; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_IP) {
            continue;
        }
        size_t length = c->cmsg_len - CMSG_LEN(0);
        if (c->cmsg_type == IP_TTL && length >= sizeof(int)) {
            int ttl;
            memcpy(&ttl, CMSG_DATA(c), sizeof ttl); /* control data may be unaligned */
            out->ttl = (uint8_t)ttl;
        } else if (c->cmsg_type == IP_TOS && length >= 1) {
            out->tos = *CMSG_DATA(c); /* one byte, unlike IP_TTL */
        } else if (c->cmsg_type == IP_RECVOPTS && length <= IP_MAX_OPTIONS_SIZE) {
            /* The options as received; the kernel labels them IP_RECVOPTS, not IP_OPTIONS. */
            memcpy(out->options_copy, CMSG_DATA(c), length);
            out->options = out->options_copy;
            out->options_size = length;
        }
    }
}

/* Reads one echo reply from a ping socket's receive queue; 1 when it answers our request. */
static int read_dgram(struct echo_socket* s, const struct icmp_expect* expect,
                      struct outcome* out) {
    union {
        struct cmsghdr align;
        char bytes[CONTROL_SIZE];
    } control;
    struct sockaddr_in from;
    struct iovec iov = {.iov_base = s->receive, .iov_len = RECEIVE_SIZE};
    struct msghdr msg = {.msg_name = &from,
                         .msg_namelen = sizeof from,
                         .msg_iov = &iov,
                         .msg_iovlen = 1,
                         .msg_control = control.bytes,
                         .msg_controllen = sizeof control.bytes};
    /* After a router's error the kernel also fails one plain read with that error (EHOSTUNREACH
     * and the like); the error itself is read from the error queue. */
    ssize_t n = recvmsg(s->fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    uint64_t received = icmp_now_ns();
    if (n <= 0 || (size_t)n > RECEIVE_SIZE || (msg.msg_flags & MSG_TRUNC) ||
        msg.msg_namelen < sizeof from || from.sin_family != AF_INET) {
        return 0;
    }
    struct icmp_answer answer;
    if (icmp_parse_icmp_message(s->receive, (size_t)n, from.sin_addr.s_addr, expect, &answer) !=
        ICMP_OUR_ECHO_REPLY) {
        return 0;
    }
    memset(out, 0, sizeof *out);
    read_control(&msg, out);
    out->address = answer.source;
    out->status = answer.status;
    out->received_ns = received;
    out->data = s->receive + answer.data_offset;
    out->data_size = (uint16_t)answer.data_size;
    return 1;
}

/* Reads one error from a ping socket's error queue; 1 when a node reports on our request. */
static int read_dgram_error(struct echo_socket* s, const struct icmp_expect* expect,
                            struct outcome* out) {
    union {
        struct cmsghdr align;
        char bytes[CONTROL_SIZE];
    } control;
    struct sockaddr_in original; /* the destination of the request that the error is about */
    struct iovec iov = {.iov_base = s->receive, .iov_len = RECEIVE_SIZE};
    struct msghdr msg = {.msg_name = &original,
                         .msg_namelen = sizeof original,
                         .msg_iov = &iov,
                         .msg_iovlen = 1,
                         .msg_control = control.bytes,
                         .msg_controllen = sizeof control.bytes};
    ssize_t n = recvmsg(s->fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    uint64_t received = icmp_now_ns();
    if (n < 0 || msg.msg_namelen < sizeof original || original.sin_family != AF_INET) {
        return 0;
    }
    /* The data is the quoted request from its ICMP header on; the router's quote may be short
     * (MSG_TRUNC then only means our buffer was smaller, which cannot happen here). */
    if (icmp_parse_quoted_request(s->receive, (size_t)n, original.sin_addr.s_addr, expect) !=
        ICMP_OUR_ERROR) {
        return 0;
    }
    memset(out, 0, sizeof *out);
    int found = 0;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != NULL; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR ||
            c->cmsg_len < CMSG_LEN(sizeof(struct sock_extended_err) + sizeof(struct sockaddr_in))) {
            continue;
        }
        struct sock_extended_err ee;
        struct sockaddr_in offender;
        memcpy(&ee, CMSG_DATA(c), sizeof ee);
        memcpy(&offender, CMSG_DATA(c) + sizeof ee, sizeof offender); /* SO_EE_OFFENDER */
        /* Errors that the local stack raises itself (SO_EE_ORIGIN_LOCAL) name no node. */
        if (ee.ee_origin == SO_EE_ORIGIN_ICMP && offender.sin_family == AF_INET) {
            out->address = offender.sin_addr.s_addr;
            out->status = icmp_error_status(ee.ee_type, ee.ee_code);
            found = 1;
        }
    }
    if (!found) {
        return 0;
    }
    read_control(&msg, out); /* the error packet's own time-to-live */
    out->options = NULL;     /* options of an error's header are not passed on */
    out->options_size = 0;
    out->received_ns = received;
    return 1;
}

/*
 * Sends the request built in s->packet; returns what sendto returned, with errno, and the time
 * just before the send in sent_ns.
 *
 * On a ping socket, a router's error that comes after its request has given up leaves the
 * socket's pending error (SO_ERROR) set, and the kernel fails the next send with that error:
 * the request after a timed-out hop would fail for no fault of its own. Reading SO_ERROR clears
 * it. An error that comes between that and the send fails the send, and clears itself in doing
 * so, which is why a failed send on a ping socket is tried once more; a genuine failure fails
 * again the same way.
 */
static ssize_t send_request(struct echo_socket* s, size_t length, const struct sockaddr_in* to,
                            uint64_t* sent_ns) {
    ssize_t n = -1;
    for (int tries = s->kind == ICMP_SOCKET_DGRAM ? 2 : 1; tries > 0 && n < 0; --tries) {
        if (s->kind == ICMP_SOCKET_DGRAM) {
            int pending = 0;
            socklen_t size = sizeof pending;
            getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &pending, &size);
        }
        do {
            *sent_ns = icmp_now_ns();
            n = sendto(s->fd, s->packet, length, 0, (const struct sockaddr*)to, sizeof *to);
        } while (n < 0 && errno == EINTR);
    }
    return n;
}

static uint32_t send_echo(struct echo_socket* s, int wake_fd, IPAddr destination,
                          const uint8_t* data, uint16_t size, const IP_OPTION_INFORMATION* options,
                          void* reply, uint32_t reply_size, uint32_t timeout_ms) {
    uint32_t status = apply_options(s, options);
    if (status != IP_SUCCESS) {
        icmp_set_last_status(status);
        return 0;
    }
    struct icmp_expect expect = {.destination = destination,
                                 .identifier = s->identifier,
                                 .sequence = ++s->sequence,
                                 .data = data,
                                 .data_size = size};
    size_t length = icmp_build_echo_request(s->packet, ICMP_HEADER_SIZE + ICMP_MAX_DATA_SIZE,
                                            expect.identifier, expect.sequence, data, size);
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_addr.s_addr = destination};
    uint64_t sent = 0;
    if (send_request(s, length, &to, &sent) < 0) {
        icmp_set_last_status(send_error_status(errno));
        return 0;
    }
    uint64_t deadline = icmp_deadline(sent, timeout_ms);

    /* Once the deadline has passed nothing more is read: whatever is read now was received
     * too late to count. This also keeps a flood of other packets from holding the request. */
    for (;;) {
        int ready = icmp_wait(s->fd, wake_fd, deadline);
        if (ready < 0) {
            icmp_set_last_status(IP_REQ_CANCELLED);
            return 0;
        }
        if (ready == 0 || icmp_now_ns() > deadline) {
            icmp_set_last_status(IP_REQ_TIMED_OUT);
            return 0;
        }
        struct outcome out;
        memset(&out, 0, sizeof out);
        int ours;
        if (s->kind != ICMP_SOCKET_DGRAM) {
            ours = read_raw(s, &expect, &out);
        } else {
            /* Both queues: the error queue is readable when poll says POLLERR, which costs a
             * second poll here; reading it after each plain read is as cheap. */
            ours = read_dgram(s, &expect, &out) || read_dgram_error(s, &expect, &out);
        }
        if (ours && out.received_ns > deadline) {
            /* Ours, but read after the time-out had passed: as if it had not come. */
            icmp_set_last_status(IP_REQ_TIMED_OUT);
            return 0;
        }
        if (ours) {
            icmp_write_reply(reply, reply_size, out.address, out.status, out.received_ns - sent,
                             out.data, out.data_size, out.ttl, out.tos, out.options,
                             out.options_size);
            return 1;
        }
    }
}

ICMP_EXPORT uint32_t IcmpSendEcho(ICMP_HANDLE IcmpHandle, IPAddr DestinationAddress,
                                  const void* RequestData, uint16_t RequestSize,
                                  const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                  uint32_t ReplySize, uint32_t Timeout) {
    uint32_t status =
        icmp_check_request(RequestData, RequestSize, RequestOptions, ReplyBuffer, ReplySize);
    if (status != IP_SUCCESS) {
        icmp_set_last_status(status);
        return 0;
    }
    struct icmp_entry* entry = icmp_table_enter(IcmpHandle);
    if (entry == NULL) {
        icmp_set_last_status(IP_REQ_CANCELLED);
        return 0;
    }
    uint32_t count =
        send_echo(icmp_entry_impl(entry), icmp_entry_wake_fd(entry), DestinationAddress,
                  RequestData, RequestSize, RequestOptions, ReplyBuffer, ReplySize, Timeout);
    icmp_table_leave(entry);
    return count;
}
