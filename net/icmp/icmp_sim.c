/*
 * The simulated network (icmp_sim.h): the echo module's functions answered from a script. The
 * handle table is the real module's (icmp_session.c). Every request takes one path, run_request:
 * it waits until its answer or its time-out is due, or until the handle is closed or cancelled;
 * then it runs its completion. An asynchronous request runs on a thread of its own, a
 * synchronous one on the caller's thread. Requests are not checked as the real module checks
 * them (the program's are well formed; the lab tests the real checks).
 */
#include "net/icmp/icmp_sim.h"

#include "net/icmp/icmp_session.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { SIM_RULES = 1024, SIM_LOG = 65536 };

/* Family and address, the rest zero; the layout of a result's Sender. */
typedef union {
    struct sockaddr_in v4;
    struct sockaddr_in6 v6;
} sim_address;

struct rule {
    struct {
        uint8_t any, low, high, zero; /* destination "*"; the ttl range */
        sim_address to;
    } key; /* the same in all lines of a sequence (compared with memcmp) */
    int none;
    sim_address from;
    uint32_t delay_ms; /* "none" without delay=: beyond any time-out */
    uint8_t reply_ttl;
    uint32_t status; /* UINT32_MAX: success from the destination, else ttl-expired */
    size_t used;     /* in a sequence's first line: the requests the sequence answered */
};

/* The script, under sim_lock. */
static struct rule rules[SIM_RULES];
static size_t rule_count;
static char failure[2][256]; /* of create-fail and create6-fail; "" for none */

static pthread_mutex_t sim_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t sim_changed = PTHREAD_COND_INITIALIZER; /* a handle woke, a request ended */
static IcmpSimRequest request_log[SIM_LOG];
static uint32_t request_count;

static int parse_address(const char* text, sim_address* a) {
    a->v4.sin_family = inet_pton(AF_INET, text, &a->v4.sin_addr) == 1     ? AF_INET
                       : inet_pton(AF_INET6, text, &a->v6.sin6_addr) == 1 ? AF_INET6
                                                                          : AF_UNSPEC;
    return a->v4.sin_family != AF_UNSPEC;
}

/* Whether a rule's address a and a request's destination b are one. */
static int same(const sim_address* a, const struct sockaddr* b) {
    const sim_address* s = (const sim_address*)b;
    return a->v4.sin_family == b->sa_family &&
           (b->sa_family == AF_INET6 ? memcmp(&a->v6.sin6_addr, &s->v6.sin6_addr, 16) == 0
                                     : a->v4.sin_addr.s_addr == s->v4.sin_addr.s_addr);
}

/* One line of the script, its comment cut; 0 when it cannot be read. */
static int parse_line(const char* line) {
    char f[7][64] = {""};
    int n = sscanf(line, "%63s %63s %63s %63s %63s %63s %63s", f[0], f[1], f[2], f[3], f[4], f[5],
                   f[6]);
    if (strcmp(f[0], "create-fail") == 0 || strcmp(f[0], "create6-fail") == 0) {
        const char* text = strstr(line, f[0]) + strlen(f[0]);
        snprintf(failure[f[0][6] == '6'], sizeof failure[0], "%s", text + strspn(text, " \t"));
        return 1;
    }
    if (n <= 0 || rule_count == SIM_RULES) {
        return n <= 0;
    }
    struct rule* r = &rules[rule_count++];
    r->key.any = strcmp(f[0], "*") == 0;
    r->none = strcmp(f[2], "none") == 0;
    r->delay_ms = r->none ? UINT32_MAX : 0;
    r->reply_ttl = 64;
    r->status = UINT32_MAX;
    /* The ttl field: "*", "N", "N-M" or "N-*". */
    unsigned low = 0, high = 255;
    const int k = sscanf(f[1], "%3u-%3u", &low, &high);
    high = k == 1 && strchr(f[1], '-') == NULL ? low : high;
    r->key.low = (uint8_t)low;
    r->key.high = (uint8_t)high;
    int ok = n >= 3 && (r->key.any || parse_address(f[0], &r->key.to)) &&
             (r->none || parse_address(f[2], &r->from)) && (k > 0 || strcmp(f[1], "*") == 0) &&
             low <= high && high <= 255;
    for (int i = 3; i < n && ok; ++i) {
        const int success = strcmp(f[i], "status=success") == 0;
        if (success || strcmp(f[i], "status=host-unreachable") == 0) {
            r->status = success ? IP_SUCCESS : IP_DEST_HOST_UNREACHABLE;
        } else {
            ok = sscanf(f[i], "delay=%u", &r->delay_ms) == 1 ||
                 sscanf(f[i], "ttl=%hhu", &r->reply_ttl) == 1;
        }
    }
    /* A request and its answer are of one family. */
    return ok && (r->key.any || r->none || r->key.to.v4.sin_family == r->from.v4.sin_family);
}

ICMP_EXPORT int IcmpSimLoadScript(const char* text) {
    char *copy = strdup(text != NULL ? text : ""), *rest = copy;
    int bad = 0;
    pthread_mutex_lock(&sim_lock);
    memset(rules, 0, sizeof rules);
    memset(failure, 0, sizeof failure);
    rule_count = request_count = 0;
    for (int at = 1; bad == 0 && rest != NULL; ++at) {
        char* line = strsep(&rest, "\n");
        line[strcspn(line, "#")] = '\0';
        bad = parse_line(line) ? 0 : at;
    }
    pthread_mutex_unlock(&sim_lock);
    free(copy);
    return bad;
}

ICMP_EXPORT uint32_t IcmpSimRequestCount(void) {
    pthread_mutex_lock(&sim_lock);
    uint32_t n = request_count;
    pthread_mutex_unlock(&sim_lock);
    return n;
}

ICMP_EXPORT int IcmpSimGetRequest(uint32_t index, IcmpSimRequest* out) {
    pthread_mutex_lock(&sim_lock);
    int found = index < request_count;
    *out = found ? request_log[index] : *out;
    pthread_mutex_unlock(&sim_lock);
    return found;
}

/* With sim_lock held: the line that answers a request, advancing its sequence; or null. */
static const struct rule* pick(const struct sockaddr* to, uint8_t ttl) {
    for (size_t i = 0; i < rule_count; ++i) {
        struct rule* first = &rules[i]; /* of its sequence: the others follow */
        if (ttl >= first->key.low && ttl <= first->key.high &&
            (first->key.any ? first->none || first->from.v4.sin_family == to->sa_family
                            : same(&first->key.to, to))) {
            const struct rule* r = first;
            for (size_t j = i + 1, k = first->used++; j < rule_count && k > 0; ++j) {
                if (memcmp(&rules[j].key, &first->key, sizeof first->key) == 0) {
                    r = &rules[j];
                    --k;
                }
            }
            return r;
        }
    }
    return NULL;
}

/* ---- Handles and requests ---- */

struct sim_handle {                 /* under sim_lock */
    int family, cancelled, pending; /* pending: the requests that have not yet ended */
};

struct request {
    struct sim_handle* h;
    struct timespec due; /* CLOCK_REALTIME */
    ICMP_ECHO_RESULT result;
    IcmpSimRequest logged;
    PICMP_ECHO_COMPLETION completion; /* null: a synchronous request, the result to *context */
    void* context;
};

/* The table's wake-up, with its lock held: the handle is closed or cancelled. */
static void wake_handle(void* impl) {
    pthread_mutex_lock(&sim_lock);
    ((struct sim_handle*)impl)->cancelled = 1;
    pthread_cond_broadcast(&sim_changed);
    pthread_mutex_unlock(&sim_lock);
}

/* Closed (so woken), and no call inside: returns once every completion of the handle has
 * returned. (Destroyed unwoken only when it could not join the table, with no request.) */
static void destroy_handle(void* impl) {
    struct sim_handle* h = impl;
    pthread_mutex_lock(&sim_lock);
    while (h->pending > 0) {
        pthread_cond_wait(&sim_changed, &sim_lock);
    }
    pthread_mutex_unlock(&sim_lock);
    free(h);
}

static ICMP_HANDLE create_handle(int family) {
    pthread_mutex_lock(&sim_lock);
    const char* why = failure[failure[0][0] == '\0' && family == AF_INET6];
    icmp_set_create_error(why);
    struct sim_handle* h = why[0] == '\0' ? calloc(1, sizeof *h) : NULL;
    pthread_mutex_unlock(&sim_lock);
    if (h != NULL) {
        h->family = family;
    }
    return h == NULL ? ICMP_INVALID_HANDLE
                     : icmp_table_add(h, ICMP_SOCKET_SIMULATED, destroy_handle, wake_handle);
}

ICMP_EXPORT ICMP_HANDLE IcmpCreateFile(void) {
    return create_handle(AF_INET);
}

ICMP_EXPORT ICMP_HANDLE Icmp6CreateFile(void) {
    return create_handle(AF_INET6);
}

static void log_request(IcmpSimRequest* logged, uint32_t status) {
    logged->Status = status;
    if (request_count < SIM_LOG) {
        request_log[request_count++] = *logged;
    }
}

static void* run_request(void* arg) {
    struct request* p = arg;
    struct sim_handle* h = p->h;
    pthread_mutex_lock(&sim_lock);
    while (!h->cancelled && pthread_cond_timedwait(&sim_changed, &sim_lock, &p->due) == 0) {
    }
    if (h->cancelled) {
        p->result = (ICMP_ECHO_RESULT){.Status = IP_REQ_CANCELLED, .Family = p->result.Family};
    }
    log_request(&p->logged, p->result.Status);
    pthread_mutex_unlock(&sim_lock);
    if (p->completion != NULL) {
        p->completion(p->context, &p->result);
    } else {
        *(ICMP_ECHO_RESULT*)p->context = p->result;
    }
    pthread_mutex_lock(&sim_lock);
    --h->pending;
    pthread_cond_broadcast(&sim_changed);
    pthread_mutex_unlock(&sim_lock);
    free(p);
    return NULL;
}

/*
 * Every request: plans the answer from the script, then runs the request, with a completion on a
 * thread of its own, else here. Returns IP_SUCCESS, or the status with which it is refused
 * (logged at once; no completion follows).
 */
static uint32_t submit(ICMP_HANDLE handle, const struct sockaddr* to, const void* data,
                       uint16_t size, const IP_OPTION_INFORMATION* options, uint32_t reply_size,
                       uint32_t timeout, PICMP_ECHO_COMPLETION completion, void* context) {
    const uint8_t* b = data; /* Fill: its first byte when all are the same */
    const int16_t fill = b != NULL && size > 0 && memcmp(b, b + 1, size - 1u) == 0 ? b[0] : -1;
    const uint8_t o = options != NULL, ttl = o ? options->Ttl : 64;
    IcmpSimRequest logged = {ttl, o, size, fill, reply_size, timeout, 0, completion != NULL};
    struct icmp_entry* entry = icmp_table_enter_shared(handle);
    struct sim_handle* h = entry != NULL ? icmp_entry_impl(entry) : NULL;
    pthread_mutex_lock(&sim_lock); /* no request joins the queue of a cancelled handle */
    uint32_t status = h == NULL || h->cancelled                  ? IP_REQ_CANCELLED
                      : to == NULL || h->family != to->sa_family ? IP_BAD_DESTINATION
                                                                 : IP_SUCCESS;
    struct request* p = status == IP_SUCCESS ? malloc(sizeof *p) : NULL;
    if (p != NULL) {
        const struct rule* r = pick(to, logged.Ttl);
        uint64_t delay = r != NULL ? r->delay_ms : UINT32_MAX;
        *p = (struct request){
            .h = h, .logged = logged, .completion = completion, .context = context};
        ICMP_ECHO_RESULT* out = &p->result;
        *out = (ICMP_ECHO_RESULT){.Status = IP_REQ_TIMED_OUT, .Family = (uint32_t)h->family};
        if (r != NULL && !r->none && delay <= timeout) {
            out->Status = r->status != UINT32_MAX ? r->status
                          : same(&r->from, to)    ? IP_SUCCESS
                                                  : IP_TTL_EXPIRED_TRANSIT;
            memcpy(&out->Sender, &r->from, sizeof r->from);
            out->RoundTripMicroseconds = delay * 1000u;
            out->Ttl = r->reply_ttl;
            out->DataSize = out->Status == IP_SUCCESS ? size : 0;
        }
        clock_gettime(CLOCK_REALTIME, &p->due);
        const uint64_t ns =
            (uint64_t)p->due.tv_nsec + (delay < timeout ? delay : timeout) * 1000000u;
        p->due.tv_sec += (time_t)(ns / 1000000000u);
        p->due.tv_nsec = (long)(ns % 1000000000u);
        ++h->pending;
    } else {
        log_request(&logged, status != IP_SUCCESS ? status : IP_NO_RESOURCES);
    }
    pthread_mutex_unlock(&sim_lock);
    if (entry != NULL) {
        icmp_table_leave(entry);
    }
    pthread_t thread;
    if (p != NULL && completion != NULL && pthread_create(&thread, NULL, run_request, p) == 0) {
        pthread_detach(thread);
    } else if (p != NULL) {
        run_request(p); /* synchronous, or no thread to be had: waits here */
    }
    return p != NULL ? IP_SUCCESS : status != IP_SUCCESS ? status : IP_NO_RESOURCES;
}

/*
 * A synchronous request. Returns 1 with the reply record of the destination's family in buffer
 * (over IPv4 the echoed data after it), or 0; sets the thread's last status and round trip.
 */
static uint32_t send_and_wait(ICMP_HANDLE h, const struct sockaddr* to, const void* data,
                              uint16_t size, const IP_OPTION_INFORMATION* o, void* buf, uint32_t n,
                              uint32_t ms) {
    ICMP_ECHO_RESULT r;
    uint32_t queued = submit(h, to, data, size, o, n, ms, NULL, &r);
    icmp_set_last_status(queued != IP_SUCCESS ? queued : r.Status);
    if (queued != IP_SUCCESS || r.Status == IP_REQ_TIMED_OUT || r.Status == IP_REQ_CANCELLED) {
        return 0;
    }
    if (r.Family == AF_INET) { /* also sets the last status and round trip */
        icmp_write_reply(buf, n, r.Sender.Ipv4.sin_addr.s_addr, r.Status,
                         r.RoundTripMicroseconds * 1000u, data, r.DataSize, r.Ttl, 0, NULL, 0);
        return 1;
    }
    icmp_set_last_round_trip_us(r.RoundTripMicroseconds);
    ICMPV6_ECHO_REPLY record = {.Status = r.Status,
                                .RoundTripTime = (uint32_t)(r.RoundTripMicroseconds / 1000u),
                                .HopLimit = r.Ttl,
                                .RoundTripMicroseconds = r.RoundTripMicroseconds};
    memcpy(record.Address.sin6_addr, &r.Sender.Ipv6.sin6_addr, 16);
    memcpy(buf, &record, sizeof record); /* the buffer may be unaligned */
    return 1;
}

ICMP_EXPORT uint32_t IcmpSendEcho(ICMP_HANDLE h, IPAddr to, const void* data, uint16_t size,
                                  const IP_OPTION_INFORMATION* o, void* buf, uint32_t n,
                                  uint32_t ms) {
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = to};
    return send_and_wait(h, (const struct sockaddr*)&a, data, size, o, buf, n, ms);
}

/* With a null completion it waits, and the result goes to *(ICMP_ECHO_RESULT*)context. */
ICMP_EXPORT uint32_t IcmpSendEchoEx(ICMP_HANDLE h, const struct sockaddr* to, const void* data,
                                    uint16_t size, const IP_OPTION_INFORMATION* o, uint32_t ms,
                                    PICMP_ECHO_COMPLETION completion, void* context) {
    return submit(h, to, data, size, o, 0, ms, completion, context);
}

/* Synchronous only: the event and the routine are not looked at. */
ICMP_EXPORT uint32_t Icmp6SendEcho2(ICMP_HANDLE h, void* event, void* apc, void* apc_context,
                                    const struct sockaddr_in6* from, const struct sockaddr_in6* to,
                                    const void* data, uint16_t size, const IP_OPTION_INFORMATION* o,
                                    void* buf, uint32_t n, uint32_t ms) {
    (void)event, (void)apc, (void)apc_context, (void)from;
    return send_and_wait(h, (const struct sockaddr*)to, data, size, o, buf, n, ms);
}
