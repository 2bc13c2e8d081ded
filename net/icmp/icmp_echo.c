/*
 * The ICMP echo service, sabrevin-icmp.so: the functions of icmp_api.h on Linux sockets.
 *
 * A handle serves one family and reaches the network in one of three ways, tried in this order
 * by IcmpCreateFile (IPv4) and Icmp6CreateFile (IPv6):
 *  1. a datagram ICMP or ICMPv6 ("ping") socket, which needs no privilege where the sysctl
 *     net.ipv4.ping_group_range (it rules both families) admits one of the process's groups;
 *  2. a raw ICMP or ICMPv6 socket, where the process holds CAP_NET_RAW;
 *  3. sabrevin-icmp-helper, which lives in the module's own directory and holds the file
 *     capability cap_net_raw. It keeps its raw sockets to itself and sends echo requests for the
 *     module over a socket pair (icmp_helper_proto.h): the module never holds a raw socket then.
 * Debian's default ping_group_range, "1 0", admits nobody, root included, so a normal user on
 * Debian gets the third way and root the second.
 *
 * For the first two the handle drives an echo prober (icmp_prober.h) on its own socket; for the
 * third it writes icmp_helper_request packets and reads icmp_helper_answer packets, and the
 * helper process lives as long as the handle. Either way many requests are in flight at once.
 * Callers send from their own threads, under the handle's lock; one receiver thread per handle
 * (started with it, joined when it ends) waits on the socket or the helper's channel, the
 * handle's stop descriptor (written on close and cancel) and a kick descriptor (written when a
 * new request's deadline comes before the one it sleeps to), reads the answers, expires the
 * time-outs and completes the requests outside the lock. A synchronous call is a request whose
 * completion wakes its caller.
 */
#define _GNU_SOURCE
#include "net/icmp/icmp_api.h"
#include "net/icmp/icmp_helper_proto.h"
#include "net/icmp/icmp_packet.h"
#include "net/icmp/icmp_prober.h"
#include "net/icmp/icmp_session.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define HELPER_NAME "sabrevin-icmp-helper"
/* The helper says hello at once; this only bounds the wait for a broken one. Milliseconds. */
#define HELPER_WAIT_MS 2000
/* Beyond a request's time-out, how long the module waits for the helper to report it. */
#define HELPER_GRACE_MS 1000
/* Requests in flight on one handle of the process's own sockets. */
#define MAX_IN_FLIGHT 256
/* The receiver's stack: the prober's buffers are on the heap; completions run here too. */
#define RECEIVER_STACK (256 * 1024)

/* ---- Requests ---- */

/* What a request came to: the public result and what the IPv4 reply record needs beside it. */
struct outcome {
    ICMP_ECHO_RESULT result;
    int answered;           /* a node answered (its address is in result.Sender) */
    uint64_t round_trip_ns; /* nanoseconds */
    uint8_t options_size;   /* IPv4 options of an echo reply */
    uint8_t options[IP_MAX_OPTIONS_SIZE];
};

struct request {
    struct request* next;
    uint32_t id;
    int owned;            /* malloc'ed here: freed after its completion */
    uint64_t deadline_ns; /* helper only: when the module stops waiting for the helper's word */
    void (*done)(void* context, const struct outcome* outcome);
    void* context;
    struct outcome outcome;
};

struct echo_handle {
    int family; /* AF_INET or AF_INET6 */
    int kind;   /* ICMP_SOCKET_DGRAM, _RAW or _HELPER */
    pthread_mutex_t lock;
    struct icmp_prober* prober; /* kinds 1 and 2 */
    int helper_fd;              /* kind 3: the module's end of the socket pair */
    pid_t helper_pid;
    int helper_broken; /* the helper's channel failed: every request fails from then on */
    int stop_fd;       /* eventfd: written on close and cancel, never read */
    int kick_fd;       /* eventfd: a new request's deadline is earlier than the receiver's */
    pthread_t thread;
    int thread_started;
    int self_destroy; /* the handle ended inside one of its completions: the thread frees it */
    int stopping;     /* the receiver has ended every request: no new one is taken */
    uint64_t sleep_deadline;
    struct request* pending;  /* in flight */
    struct request* finished; /* done, their completions not yet called */
    uint32_t next_id;
    size_t in_flight;
};

/* ---- Threads that ended inside their own completion, joined later ---- */

static pthread_mutex_t reap_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_t reap_list[64];
static size_t reap_count;

static void reap_threads(void) {
    pthread_mutex_lock(&reap_lock);
    while (reap_count > 0) {
        pthread_join(reap_list[--reap_count], NULL);
    }
    pthread_mutex_unlock(&reap_lock);
}

__attribute__((destructor)) static void reap_at_unload(void) {
    reap_threads();
}

/* ---- Texts ---- */

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

static const char* icmp_name(int family) {
    return family == AF_INET ? "ICMP" : "ICMPv6";
}

static void describe_ping_refusal(int family, int error, char* out, size_t size) {
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
            "%sping sockets are refused (net.ipv4.ping_group_range%s does not admit group %u)",
            family == AF_INET ? "" : "ICMPv6 ", range, (unsigned)getegid());
    } else {
        char reason[128];
        error_text(error, reason, sizeof reason);
        say(out, size, "%sping sockets are unavailable (%s)", family == AF_INET ? "" : "ICMPv6 ",
            reason);
    }
}

/* Why a socket that opened could not be used, for IcmpGetCreateError. */
static void describe_setup_failure(int family, int kind, int error, char* why, size_t why_size) {
    char reason[128];
    error_text(error, reason, sizeof reason);
    say(why, why_size, "%s opened but could not be set up (%s)",
        kind == ICMP_SOCKET_DGRAM
            ? (family == AF_INET ? "a ping socket" : "an ICMPv6 ping socket")
            : (family == AF_INET ? "a raw ICMP socket" : "a raw ICMPv6 socket"),
        reason);
}

/* ---- The process's own sockets ---- */

/* Opens a datagram or a raw socket of this process; on failure returns -1 and says why. */
static int open_own_socket(int family, int kind, char* why, size_t why_size) {
    int type = kind == ICMP_SOCKET_DGRAM ? SOCK_DGRAM : SOCK_RAW;
    int protocol = family == AF_INET ? IPPROTO_ICMP : IPPROTO_ICMPV6;
    int fd = socket(family, type | SOCK_CLOEXEC, protocol);
    if (fd >= 0) {
        return fd;
    }
    int error = errno;
    if (kind == ICMP_SOCKET_DGRAM) {
        describe_ping_refusal(family, error, why, why_size);
    } else if (error == EPERM || error == EACCES) {
        say(why, why_size, "raw %s sockets need CAP_NET_RAW, which this process lacks",
            icmp_name(family));
    } else {
        char reason[128];
        error_text(error, reason, sizeof reason);
        say(why, why_size, "raw %s sockets are unavailable (%s)", icmp_name(family), reason);
    }
    return -1;
}

/* ---- The helper ---- */

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

static void end_helper(int fd, pid_t pid) {
    if (fd >= 0) {
        close(fd);
    }
    if (pid > 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
        }
    }
}

/*
 * Starts the helper with one end of a socket pair on ICMP_HELPER_FD, an empty environment and no
 * other descriptor, and reads its hello. Returns the module's end of the pair, with the helper's
 * process id in *pid, when the helper holds a raw socket of the family; else -1, having ended the
 * helper, and says why in why.
 */
static int start_helper(const char* path, int family, pid_t* pid_out, char* why, size_t why_size) {
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
    if (child_end == ICMP_HELPER_FD) {
        /* dup2 onto itself would keep close-on-exec set: move it out of the way first. */
        child_end = fcntl(pair[1], F_DUPFD_CLOEXEC, ICMP_HELPER_FD + 1);
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
    posix_spawn_file_actions_adddup2(&actions, child_end, ICMP_HELPER_FD);
    posix_spawn_file_actions_addclosefrom_np(&actions, ICMP_HELPER_FD + 1);
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

    struct icmp_helper_hello hello;
    ssize_t n = -1;
    /* One deadline for the whole wait: signals that interrupt it must not stretch it. */
    if (icmp_wait(pair[0], -1, icmp_deadline(icmp_now_ns(), HELPER_WAIT_MS)) > 0) {
        n = recv(pair[0], &hello, sizeof hello, MSG_DONTWAIT | MSG_TRUNC);
    }
    if (n != (ssize_t)sizeof hello || hello.magic != ICMP_HELPER_MAGIC) {
        end_helper(pair[0], pid);
        say(why, why_size, "the helper %s did not answer", path);
        return -1;
    }
    int32_t error = family == AF_INET ? hello.error4 : hello.error6;
    if (error != 0) {
        end_helper(pair[0], pid);
        if (error == EPERM || error == EACCES) {
            say(why, why_size, "the helper %s lacks the capability cap_net_raw", path);
        } else {
            error_text(error, reason, sizeof reason);
            say(why, why_size, "the helper %s could not open a raw %s socket (%s)", path,
                icmp_name(family), reason);
        }
        return -1;
    }
    *pid_out = pid;
    return pair[0];
}

/* ---- Completing requests ---- */

static void unlink_pending(struct echo_handle* h, struct request* r) {
    for (struct request** p = &h->pending; *p != NULL; p = &(*p)->next) {
        if (*p == r) {
            *p = r->next;
            h->in_flight--;
            return;
        }
    }
}

/* Moves a request from in flight to finished; with the lock held. */
static void finish_request(struct echo_handle* h, struct request* r) {
    unlink_pending(h, r);
    r->next = h->finished;
    h->finished = r;
}

static struct request* find_pending(struct echo_handle* h, uint32_t id) {
    for (struct request* r = h->pending; r != NULL; r = r->next) {
        if (r->id == id) {
            return r;
        }
    }
    return NULL;
}

/* An outcome with a status and no answer (family 0 when the family is unknown). */
static void set_status(int family, struct outcome* o, uint32_t status) {
    memset(o, 0, sizeof *o);
    o->result.Status = status;
    o->result.Family = (uint32_t)family;
    if (family == AF_INET) {
        o->result.Sender.Ipv4.sin_family = AF_INET;
    } else if (family == AF_INET6) {
        o->result.Sender.Ipv6.sin6_family = AF_INET6;
    }
}

static int all_zero(const uint8_t* p, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (p[i] != 0) {
            return 0;
        }
    }
    return 1;
}

static void set_sender(struct echo_handle* h, struct outcome* o, const uint8_t sender[16],
                       uint32_t scope_id) {
    size_t size = h->family == AF_INET ? 4 : 16;
    o->answered = !all_zero(sender, size);
    if (h->family == AF_INET) {
        memcpy(&o->result.Sender.Ipv4.sin_addr, sender, 4);
    } else {
        memcpy(&o->result.Sender.Ipv6.sin6_addr, sender, 16);
        o->result.Sender.Ipv6.sin6_scope_id = scope_id;
    }
}

/* The prober's word on a request; with the lock held, on the receiver thread. */
static void on_probe_result(void* context, const struct icmp_probe_result* p) {
    struct echo_handle* h = context;
    struct request* r = find_pending(h, p->id);
    if (r == NULL) {
        return;
    }
    struct outcome* o = &r->outcome;
    set_status(h->family, o, p->status);
    set_sender(h, o, p->sender, p->sender_scope_id);
    o->round_trip_ns = p->round_trip_ns;
    o->result.RoundTripMicroseconds = p->round_trip_ns / 1000u;
    o->result.Ttl = p->ttl;
    o->result.Type = p->type;
    o->result.Code = p->code;
    o->result.Tos = p->tos;
    o->result.DataSize = p->data_size;
    o->options_size = p->options_size <= IP_MAX_OPTIONS_SIZE ? p->options_size : 0;
    memcpy(o->options, p->options, o->options_size);
    finish_request(h, r);
}

/* Reads every answer the helper has sent; with the lock held. */
static void read_helper(struct echo_handle* h) {
    for (;;) {
        struct icmp_helper_answer a;
        ssize_t n = recv(h->helper_fd, &a, sizeof a, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (n <= 0) {
            h->helper_broken = 1; /* the helper has gone */
            return;
        }
        struct request* r;
        if (n != (ssize_t)sizeof a || a.magic != ICMP_HELPER_MAGIC ||
            (r = find_pending(h, a.id)) == NULL) {
            continue;
        }
        struct outcome* o = &r->outcome;
        set_status(h->family, o, a.status);
        set_sender(h, o, a.sender, a.sender_scope_id);
        o->round_trip_ns = a.round_trip_ns;
        o->result.RoundTripMicroseconds = a.round_trip_ns / 1000u;
        o->result.Ttl = a.ttl;
        o->result.Type = a.type;
        o->result.Code = a.code;
        o->result.Tos = a.tos;
        o->result.DataSize = a.data_size;
        finish_request(h, r);
    }
}

/* Ends every request in flight with status; with the lock held. */
static void end_all(struct echo_handle* h, uint32_t status) {
    while (h->pending != NULL) {
        struct request* r = h->pending;
        if (h->prober != NULL) {
            icmp_prober_forget(h->prober, r->id);
        }
        set_status(h->family, &r->outcome, status);
        finish_request(h, r);
    }
}

/* Calls the completions of the finished requests, outside the lock. */
static void dispatch(struct request* list) {
    /* They were pushed in front: reverse, so that completions come in the order of finishing. */
    struct request* ordered = NULL;
    while (list != NULL) {
        struct request* next = list->next;
        list->next = ordered;
        ordered = list;
        list = next;
    }
    while (ordered != NULL) {
        struct request* r = ordered;
        ordered = r->next;
        int owned = r->owned; /* a waiter's request is gone once its completion has run */
        r->done(r->context, &r->outcome);
        if (owned) {
            free(r);
        }
    }
}

static uint64_t earliest_deadline(const struct echo_handle* h) {
    if (h->prober != NULL) {
        return icmp_prober_next_deadline(h->prober);
    }
    uint64_t next = UINT64_MAX;
    for (const struct request* r = h->pending; r != NULL; r = r->next) {
        next = r->deadline_ns < next ? r->deadline_ns : next;
    }
    return next;
}

static void free_handle(struct echo_handle* h) {
    icmp_prober_free(h->prober);
    end_helper(h->helper_fd, h->helper_pid);
    close(h->stop_fd);
    close(h->kick_fd);
    pthread_mutex_destroy(&h->lock);
    free(h);
}

static void* receiver(void* arg) {
    struct echo_handle* h = arg;
    for (;;) {
        pthread_mutex_lock(&h->lock);
        uint64_t deadline = earliest_deadline(h);
        h->sleep_deadline = deadline;
        pthread_mutex_unlock(&h->lock);

        struct pollfd fds[4] = {{.fd = h->stop_fd, .events = POLLIN},
                                {.fd = h->kick_fd, .events = POLLIN}};
        int count = 2;
        if (h->prober != NULL) {
            count += icmp_prober_poll_fds(h->prober, fds + count, 2);
        } else if (!h->helper_broken) {
            fds[count++] = (struct pollfd){.fd = h->helper_fd, .events = POLLIN};
        }
        struct timespec wait, *timeout = NULL;
        if (deadline != UINT64_MAX) {
            uint64_t now = icmp_now_ns();
            uint64_t left = deadline > now ? deadline - now : 0;
            wait = (struct timespec){.tv_sec = (time_t)(left / 1000000000u),
                                     .tv_nsec = (long)(left % 1000000000u)};
            timeout = &wait;
        }
        if (ppoll(fds, (nfds_t)count, timeout, NULL) < 0 && errno != EINTR) {
            struct timespec pause = {.tv_nsec = 1000000}; /* cannot wait: do not spin */
            nanosleep(&pause, NULL);
        }
        if (fds[1].revents & POLLIN) {
            uint64_t value;
            ssize_t got = read(h->kick_fd, &value, sizeof value);
            (void)got;
        }

        pthread_mutex_lock(&h->lock);
        int stop = (fds[0].revents & POLLIN) != 0;
        if (stop) {
            h->stopping = 1;
            end_all(h, IP_REQ_CANCELLED);
        } else if (h->prober != NULL) {
            /* Answers first, so that an answer that came in time is not taken for a time-out. */
            icmp_prober_receive(h->prober, on_probe_result, h);
            icmp_prober_expire(h->prober, icmp_now_ns(), on_probe_result, h);
        } else {
            if (!h->helper_broken) {
                read_helper(h);
            }
            if (h->helper_broken) {
                end_all(h, IP_GENERAL_FAILURE);
            }
            uint64_t now = icmp_now_ns();
            for (struct request *r = h->pending, *next; r != NULL; r = next) {
                next = r->next;
                if (r->deadline_ns <= now) {
                    set_status(h->family, &r->outcome, IP_REQ_TIMED_OUT);
                    finish_request(h, r);
                }
            }
        }
        struct request* finished = h->finished;
        h->finished = NULL;
        pthread_mutex_unlock(&h->lock);
        dispatch(finished);
        if (stop) {
            break;
        }
    }
    if (h->self_destroy) {
        /* The handle ended in one of its own completions: nobody else can join this thread. */
        pthread_t self = h->thread;
        free_handle(h);
        pthread_mutex_lock(&reap_lock);
        if (reap_count < sizeof reap_list / sizeof reap_list[0]) {
            reap_list[reap_count++] = self;
        } else {
            pthread_detach(self); /* 64 such endings not yet reaped: never in practice */
        }
        pthread_mutex_unlock(&reap_lock);
    }
    return NULL;
}

/* The session's wake-up on close and cancel: under the table's lock, so no lock here. */
static void wake_handle(void* impl) {
    struct echo_handle* h = impl;
    uint64_t one = 1;
    ssize_t written = write(h->stop_fd, &one, sizeof one);
    (void)written;
}

/*
 * On close, once no call is inside: ends the receiver, which ends every request and calls every
 * completion first, so nothing of the handle runs once the close returns.
 */
static void destroy_handle(void* impl) {
    struct echo_handle* h = impl;
    if (h->thread_started) {
        wake_handle(h); /* closed already; also when the table could not take the handle */
        if (pthread_equal(pthread_self(), h->thread)) {
            h->self_destroy = 1; /* the receiver frees the handle as it ends */
            return;
        }
        pthread_join(h->thread, NULL);
    }
    free_handle(h);
}

/* ---- Opening a handle ---- */

static struct echo_handle* new_handle(int family, int kind) {
    struct echo_handle* h = calloc(1, sizeof *h);
    if (h == NULL) {
        return NULL;
    }
    h->family = family;
    h->kind = kind;
    h->helper_fd = -1;
    h->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    h->kick_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pthread_mutex_init(&h->lock, NULL);
    if (h->stop_fd < 0 || h->kick_fd < 0) {
        free_handle(h);
        return NULL;
    }
    return h;
}

/* Starts the receiver with every signal blocked: the program's handlers never run on it. */
static int start_receiver(struct echo_handle* h) {
    pthread_attr_t attributes;
    sigset_t all, old;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, RECEIVER_STACK);
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int error = pthread_create(&h->thread, &attributes, receiver, h);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    pthread_attr_destroy(&attributes);
    h->thread_started = error == 0;
    return error;
}

/*
 * Tries the three ways in order. A socket that opens but cannot be set up is closed, and the
 * next way is tried as if it had not opened at all; only when none is left does the call fail,
 * with the reason of each attempt.
 */
static ICMP_HANDLE create_handle(int family) {
    static const int kinds[] = {ICMP_SOCKET_DGRAM, ICMP_SOCKET_RAW, ICMP_SOCKET_HELPER};
    enum { KIND_COUNT = sizeof kinds / sizeof kinds[0] };
    char ping_why[256], raw_why[256], helper_why[PATH_MAX + 128];
    char* why[KIND_COUNT] = {ping_why, raw_why, helper_why};
    const size_t why_size[KIND_COUNT] = {sizeof ping_why, sizeof raw_why, sizeof helper_why};
    char helper[PATH_MAX + sizeof HELPER_NAME + 1] = HELPER_NAME;
    char directory[PATH_MAX];
    if (module_directory(directory, sizeof directory) == 0) {
        say(helper, sizeof helper, "%s/%s", directory, HELPER_NAME);
    }
    reap_threads();

    for (size_t i = 0; i < KIND_COUNT; ++i) {
        int kind = kinds[i];
        struct echo_handle* h = new_handle(family, kind);
        if (h == NULL) {
            describe_setup_failure(family, kind, ENOMEM, why[i], why_size[i]);
            continue;
        }
        if (kind != ICMP_SOCKET_HELPER) {
            int fd = open_own_socket(family, kind, why[i], why_size[i]);
            if (fd < 0) {
                free_handle(h);
                continue;
            }
            int error = 0;
            /* The prober owns the socket from here on, also when it fails. */
            h->prober = family == AF_INET ? icmp_prober_new(fd, kind, -1, 0, MAX_IN_FLIGHT, &error)
                                          : icmp_prober_new(-1, 0, fd, kind, MAX_IN_FLIGHT, &error);
            if (h->prober == NULL) {
                free_handle(h);
                describe_setup_failure(family, kind, error, why[i], why_size[i]);
                continue;
            }
        } else if (strchr(helper, '/') == NULL) {
            free_handle(h);
            say(why[i], why_size[i], "the helper cannot be found (no module path)");
            continue;
        } else {
            h->helper_fd = start_helper(helper, family, &h->helper_pid, why[i], why_size[i]);
            if (h->helper_fd < 0) {
                free_handle(h);
                continue;
            }
        }
        int error = start_receiver(h);
        if (error != 0) {
            free_handle(h);
            char reason[128];
            error_text(error, reason, sizeof reason);
            say(why[i], why_size[i], "no thread could be started (%s)", reason);
            break; /* the next way would need one too */
        }
        ICMP_HANDLE handle = icmp_table_add(h, kind, destroy_handle, wake_handle);
        icmp_set_create_error(handle == ICMP_INVALID_HANDLE ? "Too many ICMP handles are open."
                                                            : "");
        return handle;
    }

    char report[2 * PATH_MAX + 1024];
    say(report, sizeof report,
        "No usable %s socket could be opened: %s; %s; %s.\n"
        "To allow it, either admit the user's group to ping sockets: "
        "sysctl -w net.ipv4.ping_group_range=\"%u %u\", "
        "or give the helper the capability: setcap cap_net_raw+ep %s",
        icmp_name(family), ping_why, raw_why, helper_why, (unsigned)getegid(), (unsigned)getegid(),
        helper);
    icmp_set_create_error(report);
    return ICMP_INVALID_HANDLE;
}

ICMP_EXPORT ICMP_HANDLE IcmpCreateFile(void) {
    return create_handle(AF_INET);
}

ICMP_EXPORT ICMP_HANDLE Icmp6CreateFile(void) {
    return create_handle(AF_INET6);
}

/* ---- Sending ---- */

/* One request as a caller asks for it. */
struct ask {
    int family;
    uint8_t address[16]; /* network byte order */
    uint32_t scope_id;
    const uint8_t* data;
    uint16_t size;
    const IP_OPTION_INFORMATION* options;
    uint32_t timeout_ms;
};

/* What the helper cannot carry, checked before anything is sent to it. */
static uint32_t check_helper_request(const struct ask* a, struct icmp_helper_request* out) {
    if (a->size < ICMP_HELPER_MIN_DATA) {
        return IP_BAD_REQ;
    }
    if (a->size > ICMP_HELPER_MAX_DATA) {
        return IP_PACKET_TOO_BIG;
    }
    const IP_OPTION_INFORMATION* o = a->options;
    if (o != NULL && (o->Tos != 0 || (o->Flags & IP_FLAG_DF) || o->OptionsSize != 0)) {
        return IP_BAD_OPTION;
    }
    memset(out, 0, sizeof *out);
    out->magic = ICMP_HELPER_MAGIC;
    out->family = a->family == AF_INET ? 4 : 6;
    out->ttl = o != NULL ? o->Ttl : 0;
    out->data_size = a->size;
    out->timeout_ms = a->timeout_ms == 0                           ? 1
                      : a->timeout_ms > ICMP_HELPER_MAX_TIMEOUT_MS ? ICMP_HELPER_MAX_TIMEOUT_MS
                                                                   : a->timeout_ms;
    out->scope_id = a->family == AF_INET6 ? a->scope_id : 0;
    memcpy(out->address, a->address, a->family == AF_INET ? 4 : 16);
    return IP_SUCCESS;
}

/* The helper's own rules on the whole packet: a request it would refuse ends it. */
static uint32_t send_to_helper(struct echo_handle* h, struct icmp_helper_request* request,
                               const uint8_t* data) {
    uint8_t packet[sizeof *request + ICMP_HELPER_MAX_DATA];
    memcpy(packet, request, sizeof *request);
    memcpy(packet + sizeof *request, data, request->data_size);
    size_t size = sizeof *request + request->data_size;
    struct icmp_helper_request parsed;
    const uint8_t* parsed_data;
    if (!icmp_helper_parse_request(packet, size, &parsed, &parsed_data)) {
        return IP_BAD_DESTINATION; /* the sizes are checked already: the address it is */
    }
    ssize_t n;
    do {
        n = send(h->helper_fd, packet, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n != (ssize_t)size) {
        h->helper_broken = 1;
        return IP_GENERAL_FAILURE;
    }
    return IP_SUCCESS;
}

/*
 * Queues one request on a live handle: IP_SUCCESS, and then r->done follows once on the receiver
 * thread; or a failure status and nothing follows.
 */
static uint32_t submit(struct echo_handle* h, const struct ask* a, struct request* r) {
    if (a->family != h->family) {
        return IP_BAD_DESTINATION;
    }
    const IP_OPTION_INFORMATION* o = a->options;
    if (o != NULL && o->Ttl == 0) {
        return IP_BAD_OPTION; /* the kernel refuses a time-to-live of 0 */
    }
    if (o != NULL && o->OptionsSize > (h->family == AF_INET ? IP_MAX_OPTIONS_SIZE : 0)) {
        return h->family == AF_INET ? IP_OPTION_TOO_BIG : IP_BAD_OPTION;
    }
    if (o != NULL && o->OptionsSize > 0 && o->OptionsData == NULL) {
        return IP_BAD_OPTION;
    }
    if (a->data == NULL && a->size > 0) {
        return IP_BAD_REQ;
    }
    struct icmp_helper_request helper_request;
    if (h->kind == ICMP_SOCKET_HELPER) {
        uint32_t status = check_helper_request(a, &helper_request);
        if (status != IP_SUCCESS) {
            return status;
        }
    }

    pthread_mutex_lock(&h->lock);
    uint32_t status = IP_SUCCESS;
    if (h->stopping) {
        status = IP_REQ_CANCELLED;
    } else if (h->in_flight >=
               (h->kind == ICMP_SOCKET_HELPER ? ICMP_HELPER_MAX_IN_FLIGHT : MAX_IN_FLIGHT)) {
        status = IP_NO_RESOURCES;
    } else if (h->kind == ICMP_SOCKET_HELPER && h->helper_broken) {
        status = IP_GENERAL_FAILURE;
    }
    r->id = ++h->next_id;
    uint64_t deadline = UINT64_MAX;
    if (status == IP_SUCCESS && h->kind != ICMP_SOCKET_HELPER) {
        struct icmp_probe_request p = {
            .id = r->id,
            .family = a->family,
            .scope_id = a->scope_id,
            .ttl = o != NULL ? o->Ttl : 0,
            .tos = o != NULL ? o->Tos : 0,
            .flags = o == NULL                 ? 0
                     : (o->Flags & IP_FLAG_DF) ? IP_FLAG_DF
                                               : ICMP_PROBE_MAY_FRAGMENT,
            .options_size = o != NULL ? o->OptionsSize : 0,
            .options = o != NULL ? o->OptionsData : NULL,
            .data_size = a->size,
            .data = a->data,
            .timeout_ms = a->timeout_ms,
        };
        memcpy(p.address, a->address, sizeof p.address);
        status = icmp_prober_send(h->prober, &p);
        deadline = icmp_prober_next_deadline(h->prober);
    } else if (status == IP_SUCCESS) {
        uint64_t now = icmp_now_ns();
        if (a->timeout_ms == 0) {
            r->deadline_ns = now; /* times out at once, unsent: the helper takes no 0 */
        } else {
            helper_request.id = r->id;
            status = send_to_helper(h, &helper_request, a->data);
            r->deadline_ns =
                icmp_deadline(now, helper_request.timeout_ms) + HELPER_GRACE_MS * 1000000ull;
        }
        deadline = r->deadline_ns;
    }
    int kick = 0;
    if (status == IP_SUCCESS) {
        r->next = h->pending;
        h->pending = r;
        h->in_flight++;
        kick = deadline < h->sleep_deadline;
        if (kick) {
            h->sleep_deadline = deadline; /* one kick is enough until the receiver looks again */
        }
    }
    pthread_mutex_unlock(&h->lock);
    if (kick) {
        uint64_t one = 1;
        ssize_t written = write(h->kick_fd, &one, sizeof one);
        (void)written;
    }
    return status;
}

/* A caller waiting for its own request. */
struct waiter {
    sem_t done;
    struct outcome outcome;
};

static void wake_waiter(void* context, const struct outcome* outcome) {
    struct waiter* w = context;
    w->outcome = *outcome;
    sem_post(&w->done); /* the last touch: the waiter's frame may be gone right after */
}

/* Sends one request and waits for what it comes to; returns that, or the refusal's status. */
static void send_and_wait(ICMP_HANDLE handle, const struct ask* a, struct outcome* out) {
    struct icmp_entry* entry = icmp_table_enter_shared(handle);
    if (entry == NULL) {
        set_status(a->family, out, IP_REQ_CANCELLED);
        return;
    }
    struct echo_handle* h = icmp_entry_impl(entry);
    if (pthread_equal(pthread_self(), h->thread)) {
        icmp_table_leave(entry);
        set_status(a->family, out, IP_BAD_REQ); /* it would wait on itself */
        return;
    }
    struct waiter w;
    sem_init(&w.done, 0, 0);
    struct request r = {.done = wake_waiter, .context = &w};
    uint32_t status = submit(h, a, &r);
    set_status(h->family, out, status);
    /* Left before the wait: a close waits for the calls inside, and the receiver completes r
     * (also when it ends it on close) before the handle can go; only w is touched from here. */
    icmp_table_leave(entry);
    if (status == IP_SUCCESS) {
        while (sem_wait(&w.done) != 0 && errno == EINTR) {
        }
        *out = w.outcome;
    }
    sem_destroy(&w.done);
}

/* The status with which a synchronous call returns no record. */
static uint32_t unanswered_status(const struct outcome* o) {
    return o->answered || o->result.Status != IP_SUCCESS ? o->result.Status : IP_GENERAL_FAILURE;
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
    struct ask a = {.family = AF_INET,
                    .data = RequestData,
                    .size = RequestSize,
                    .options = RequestOptions,
                    .timeout_ms = Timeout};
    memcpy(a.address, &DestinationAddress, 4);
    struct outcome o;
    send_and_wait(IcmpHandle, &a, &o);
    if (!o.answered) {
        icmp_set_last_status(unanswered_status(&o));
        return 0;
    }
    /* An echo reply carries the request's data back, or it would not have matched. */
    IPAddr from;
    memcpy(&from, &o.result.Sender.Ipv4.sin_addr, 4);
    icmp_write_reply(ReplyBuffer, ReplySize, from, o.result.Status, o.round_trip_ns, RequestData,
                     o.result.DataSize, o.result.Ttl, o.result.Tos, o.options, o.options_size);
    return 1;
}

/* ---- The asynchronous call ---- */

struct completion {
    PICMP_ECHO_COMPLETION call;
    void* context;
};

static void call_completion(void* context, const struct outcome* outcome) {
    const struct completion* c = context;
    c->call(c->context, &outcome->result);
}

/* Reads a destination of either family into a; IP_SUCCESS or IP_BAD_DESTINATION. */
static uint32_t read_destination(const struct sockaddr* d, struct ask* a) {
    if (d == NULL) {
        return IP_BAD_DESTINATION;
    }
    if (d->sa_family == AF_INET) {
        struct sockaddr_in in;
        memcpy(&in, d, sizeof in);
        memcpy(a->address, &in.sin_addr, 4);
    } else if (d->sa_family == AF_INET6) {
        struct sockaddr_in6 in6;
        memcpy(&in6, d, sizeof in6);
        memcpy(a->address, &in6.sin6_addr, 16);
        a->scope_id = in6.sin6_scope_id;
    } else {
        return IP_BAD_DESTINATION;
    }
    a->family = d->sa_family;
    return IP_SUCCESS;
}

/* Queues a request whose completion is done with a copy of the size bytes at context. */
static uint32_t queue_request(ICMP_HANDLE handle, const struct ask* a,
                              void (*done)(void*, const struct outcome*), const void* context,
                              size_t size) {
    struct icmp_entry* entry = icmp_table_enter_shared(handle);
    if (entry == NULL) {
        return IP_REQ_CANCELLED;
    }
    /* One allocation for the request and its completion's context. */
    struct request* r = calloc(1, sizeof *r + size);
    if (r == NULL) {
        icmp_table_leave(entry);
        return IP_NO_RESOURCES;
    }
    r->owned = 1;
    r->done = done;
    r->context = r + 1;
    memcpy(r->context, context, size);
    uint32_t status = submit(icmp_entry_impl(entry), a, r);
    if (status != IP_SUCCESS) {
        free(r);
    }
    icmp_table_leave(entry);
    return status;
}

ICMP_EXPORT uint32_t IcmpSendEchoEx(ICMP_HANDLE IcmpHandle, const struct sockaddr* Destination,
                                    const void* RequestData, uint16_t RequestSize,
                                    const IP_OPTION_INFORMATION* RequestOptions, uint32_t Timeout,
                                    PICMP_ECHO_COMPLETION Completion, void* Context) {
    struct ask a = {
        .data = RequestData, .size = RequestSize, .options = RequestOptions, .timeout_ms = Timeout};
    uint32_t status = read_destination(Destination, &a);
    if (Completion != NULL) {
        if (status != IP_SUCCESS) {
            return status;
        }
        struct completion c = {Completion, Context};
        return queue_request(IcmpHandle, &a, call_completion, &c, sizeof c);
    }
    struct outcome o;
    if (status == IP_SUCCESS) {
        send_and_wait(IcmpHandle, &a, &o);
    } else {
        set_status(0, &o, status);
    }
    if (Context != NULL) {
        memcpy(Context, &o.result, sizeof o.result);
    }
    return o.result.Status;
}

/* ---- IPv6 in the platform's shape ---- */

static void write_reply6(void* buffer, const struct outcome* o, const void* data) {
    ICMPV6_ECHO_REPLY record;
    memset(&record, 0, sizeof record);
    memcpy(record.Address.sin6_addr, &o->result.Sender.Ipv6.sin6_addr, 16);
    record.Address.sin6_scope_id = o->result.Sender.Ipv6.sin6_scope_id;
    record.Status = o->result.Status;
    uint64_t ms = o->round_trip_ns / 1000000u;
    record.RoundTripTime = ms > UINT32_MAX ? UINT32_MAX : (uint32_t)ms;
    record.HopLimit = o->result.Ttl;
    record.Type = o->result.Type;
    record.Code = o->result.Code;
    record.TrafficClass = o->result.Tos;
    record.RoundTripMicroseconds = o->round_trip_ns / 1000u;
    if (o->answered && o->result.DataSize > 0) {
        memcpy((uint8_t*)buffer + sizeof record, data, o->result.DataSize);
    }
    memcpy(buffer, &record, sizeof record); /* the buffer may be unaligned */
}

/* An asynchronous Icmp6SendEcho2: where its record goes and whom to tell. */
struct apc {
    PICMP6_APC_ROUTINE routine;
    void* context;
    void* reply;
    const void* data; /* the caller's request data, which the reply echoes */
};

static void call_apc(void* context, const struct outcome* outcome) {
    const struct apc* c = context;
    write_reply6(c->reply, outcome, c->data);
    c->routine(c->context);
}

ICMP_EXPORT uint32_t Icmp6SendEcho2(ICMP_HANDLE IcmpHandle, void* Event, void* ApcRoutine,
                                    void* ApcContext, const struct sockaddr_in6* SourceAddress,
                                    const struct sockaddr_in6* DestinationAddress,
                                    const void* RequestData, uint16_t RequestSize,
                                    const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                    uint32_t ReplySize, uint32_t Timeout) {
    uint32_t status = IP_SUCCESS;
    if (Event != NULL || ReplyBuffer == NULL || (RequestData == NULL && RequestSize > 0) ||
        (SourceAddress != NULL && !all_zero(SourceAddress->sin6_addr.s6_addr, 16))) {
        status = IP_BAD_REQ;
    } else if (RequestSize > ICMP6_MAX_REQUEST_SIZE) {
        status = IP_PACKET_TOO_BIG;
    } else if ((uint64_t)ReplySize < sizeof(ICMPV6_ECHO_REPLY) + (uint64_t)RequestSize) {
        status = IP_BUF_TOO_SMALL;
    } else if (DestinationAddress == NULL || DestinationAddress->sin6_family != AF_INET6) {
        status = IP_BAD_DESTINATION;
    }
    if (status != IP_SUCCESS) {
        icmp_set_last_status(status);
        return 0;
    }
    struct ask a = {.family = AF_INET6,
                    .scope_id = DestinationAddress->sin6_scope_id,
                    .data = RequestData,
                    .size = RequestSize,
                    .options = RequestOptions,
                    .timeout_ms = Timeout};
    memcpy(a.address, &DestinationAddress->sin6_addr, 16);
    if (ApcRoutine != NULL) {
        /* POSIX lets an object pointer hold a function pointer (as dlsym's does); ISO C has no
         * cast between them, so the bits are copied. */
        struct apc c = {NULL, ApcContext, ReplyBuffer, RequestData};
        _Static_assert(sizeof c.routine == sizeof ApcRoutine, "function and object pointers");
        memcpy(&c.routine, &ApcRoutine, sizeof c.routine);
        status = queue_request(IcmpHandle, &a, call_apc, &c, sizeof c);
        icmp_set_last_status(status == IP_SUCCESS ? IP_PENDING : status);
        return 0;
    }
    struct outcome o;
    send_and_wait(IcmpHandle, &a, &o);
    if (!o.answered) {
        icmp_set_last_status(unanswered_status(&o));
        return 0;
    }
    write_reply6(ReplyBuffer, &o, RequestData);
    icmp_set_last_status(o.result.Status);
    icmp_set_last_round_trip_us(o.round_trip_ns / 1000u);
    return 1;
}
