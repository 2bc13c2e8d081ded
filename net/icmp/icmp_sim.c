/*
 * The simulated network (icmp_sim.h): the echo module's functions answered from a script. The
 * handle table, the argument checks, the reply writing and the interruptible wait are the real
 * module's (icmp_session.c), so the simulation refuses and interrupts exactly as it does.
 * Synchronous requests wait on the caller's thread; asynchronous ones (IcmpSendEchoEx with a
 * completion, Icmp6SendEcho2 with a routine) wait in a queue of the handle's own thread, which
 * runs their completions when they are due, as the real module's receiver thread does.
 */
#define _GNU_SOURCE
#include "net/icmp/icmp_sim.h"

#include "net/icmp/icmp_api.h"
#include "net/icmp/icmp_session.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define SIM_DEFAULT_TTL 64 /* the time-to-live of a request without an option record */
#define SIM_LOG_MAX 65536u

/* An address of either family, network byte order (IPv4 in the first four bytes). */
struct sim_address {
    int family; /* AF_INET or AF_INET6 */
    uint8_t bytes[16];
};

static int same_address(const struct sim_address* a, const struct sim_address* b) {
    return a->family == b->family &&
           memcmp(a->bytes, b->bytes, a->family == AF_INET6 ? 16u : 4u) == 0;
}

struct rule {
    int any_destination;
    struct sim_address destination;
    uint8_t ttl_low, ttl_high;
    int none;
    struct sim_address from;
    int has_delay;
    uint32_t delay_ms;
    uint8_t reply_ttl;
    int has_status;
    uint32_t status;
};

/* Lines with the same destination and ttl fields, answered in turn. */
struct sequence {
    size_t first_rule;
    size_t count;
    size_t used; /* requests answered so far */
};

struct script {
    struct rule* rules; /* grouped: the lines of a sequence lie together, in script order */
    size_t rule_count;
    struct sequence* sequences; /* in the order of their first line */
    size_t sequence_count;
    char* create_failure;  /* non-null: IcmpCreateFile and Icmp6CreateFile fail with it */
    char* create6_failure; /* non-null: Icmp6CreateFile fails with this text */
};

static pthread_mutex_t sim_lock = PTHREAD_MUTEX_INITIALIZER;
static struct script current;
static IcmpSimRequest* request_log;
static uint32_t request_count;

static void free_script(struct script* s) {
    free(s->rules);
    free(s->sequences);
    free(s->create_failure);
    free(s->create6_failure);
    memset(s, 0, sizeof *s);
}

static const struct {
    const char* name;
    uint32_t status;
} status_names[] = {
    {"success", IP_SUCCESS},
    {"host-unreachable", IP_DEST_HOST_UNREACHABLE},
};

static int parse_number(const char* text, uint32_t max, uint32_t* out) {
    if (!isdigit((unsigned char)text[0])) {
        return 0;
    }
    char* end = NULL;
    unsigned long value = strtoul(text, &end, 10);
    if (*end != '\0' || value > max) {
        return 0;
    }
    *out = (uint32_t)value;
    return 1;
}

static int parse_address(const char* text, struct sim_address* out) {
    memset(out, 0, sizeof *out);
    if (inet_pton(AF_INET, text, out->bytes) == 1) {
        out->family = AF_INET;
        return 1;
    }
    if (inet_pton(AF_INET6, text, out->bytes) == 1) {
        out->family = AF_INET6;
        return 1;
    }
    return 0;
}

static int parse_ttl_range(char* text, uint8_t* low, uint8_t* high) {
    uint32_t a = 0, b = 0;
    if (strcmp(text, "*") == 0) {
        *low = 0;
        *high = 255;
        return 1;
    }
    char* dash = strchr(text, '-');
    if (dash == NULL) {
        if (!parse_number(text, 255, &a)) {
            return 0;
        }
        *low = *high = (uint8_t)a;
        return 1;
    }
    *dash = '\0';
    if (!parse_number(text, 255, &a)) {
        return 0;
    }
    if (strcmp(dash + 1, "*") == 0) {
        b = 255;
    } else if (!parse_number(dash + 1, 255, &b) || b < a) {
        return 0;
    }
    *low = (uint8_t)a;
    *high = (uint8_t)b;
    return 1;
}

static int parse_status(const char* text, uint32_t* out) {
    for (size_t i = 0; i < sizeof status_names / sizeof status_names[0]; ++i) {
        if (strcmp(text, status_names[i].name) == 0) {
            *out = status_names[i].status;
            return 1;
        }
    }
    return parse_number(text, UINT32_MAX, out);
}

/* Splits line into blank-separated fields in place; returns how many (at most max). */
static size_t split(char* line, char** fields, size_t max) {
    size_t n = 0;
    char* save = NULL;
    for (char* f = strtok_r(line, " \t\r", &save); f != NULL && n < max;
         f = strtok_r(NULL, " \t\r", &save)) {
        fields[n++] = f;
    }
    return n;
}

static int parse_rule(char** fields, size_t n, struct rule* r) {
    memset(r, 0, sizeof *r);
    r->reply_ttl = SIM_DEFAULT_TTL;
    if (n < 3) {
        return 0;
    }
    if (strcmp(fields[0], "*") == 0) {
        r->any_destination = 1;
    } else if (!parse_address(fields[0], &r->destination)) {
        return 0;
    }
    if (!parse_ttl_range(fields[1], &r->ttl_low, &r->ttl_high)) {
        return 0;
    }
    if (strcmp(fields[2], "none") == 0) {
        r->none = 1;
    } else if (!parse_address(fields[2], &r->from)) {
        return 0;
    }
    for (size_t i = 3; i < n; ++i) {
        uint32_t value = 0;
        if (strncmp(fields[i], "delay=", 6) == 0 &&
            parse_number(fields[i] + 6, UINT32_MAX, &value)) {
            r->has_delay = 1;
            r->delay_ms = value;
        } else if (strncmp(fields[i], "ttl=", 4) == 0 && parse_number(fields[i] + 4, 255, &value)) {
            r->reply_ttl = (uint8_t)value;
        } else if (strncmp(fields[i], "status=", 7) == 0 && parse_status(fields[i] + 7, &value)) {
            r->has_status = 1;
            r->status = value;
        } else {
            return 0;
        }
    }
    /* A request and its answer are of one family. */
    return r->any_destination || r->none || r->destination.family == r->from.family;
}

static int same_fields(const struct rule* a, const struct rule* b) {
    return a->any_destination == b->any_destination &&
           (a->any_destination || same_address(&a->destination, &b->destination)) &&
           a->ttl_low == b->ttl_low && a->ttl_high == b->ttl_high;
}

/* Puts the rules of each sequence side by side, keeping script order within and between. */
static int group_rules(struct script* s, const struct rule* lines, size_t count) {
    s->rules = calloc(count > 0 ? count : 1, sizeof *s->rules);
    s->sequences = calloc(count > 0 ? count : 1, sizeof *s->sequences);
    char* placed = calloc(count > 0 ? count : 1, 1);
    if (s->rules == NULL || s->sequences == NULL || placed == NULL) {
        free(placed);
        return 0;
    }
    for (size_t i = 0; i < count; ++i) {
        if (placed[i]) {
            continue;
        }
        struct sequence* q = &s->sequences[s->sequence_count++];
        q->first_rule = s->rule_count;
        for (size_t j = i; j < count; ++j) {
            if (!placed[j] && same_fields(&lines[i], &lines[j])) {
                placed[j] = 1;
                s->rules[s->rule_count++] = lines[j];
                ++q->count;
            }
        }
    }
    free(placed);
    return 1;
}

static int parse_script(const char* text, struct script* out) {
    memset(out, 0, sizeof *out);
    size_t length = text != NULL ? strlen(text) : 0;
    size_t line_count = 1;
    for (size_t i = 0; i < length; ++i) {
        line_count += text[i] == '\n';
    }
    char* copy = malloc(length + 1);
    struct rule* lines = calloc(line_count, sizeof *lines); /* at most a rule a line */
    if (copy == NULL || lines == NULL) {
        free(copy);
        free(lines);
        return -1;
    }
    if (length > 0) {
        memcpy(copy, text, length);
    }
    copy[length] = '\0';
    size_t count = 0;
    int line_number = 0;
    int bad = 0;
    /* strtok_r would skip empty lines and so miscount them: walk the lines by hand. */
    for (char* line = copy; line != NULL && bad == 0;) {
        ++line_number;
        char* next = strchr(line, '\n');
        if (next != NULL) {
            *next++ = '\0';
        }
        char* hash = strchr(line, '#');
        if (hash != NULL) {
            *hash = '\0';
        }
        while (*line == ' ' || *line == '\t') {
            ++line;
        }
        int create6 =
            strncmp(line, "create6-fail", 12) == 0 && (line[12] == ' ' || line[12] == '\t');
        if (create6 ||
            (strncmp(line, "create-fail", 11) == 0 && (line[11] == ' ' || line[11] == '\t'))) {
            char* reason = line + (create6 ? 13 : 12);
            while (*reason == ' ' || *reason == '\t') {
                ++reason;
            }
            size_t end = strlen(reason);
            while (end > 0 && isspace((unsigned char)reason[end - 1])) {
                reason[--end] = '\0';
            }
            char** failure = create6 ? &out->create6_failure : &out->create_failure;
            free(*failure);
            *failure = strdup(reason);
        } else {
            char* fields[8];
            size_t n = split(line, fields, 8);
            if (n > 0 && (n == 8 || !parse_rule(fields, n, &lines[count++]))) {
                bad = line_number;
            }
        }
        line = next;
    }
    free(copy);
    if (bad == 0 && !group_rules(out, lines, count)) {
        bad = -1;
    }
    free(lines);
    if (bad != 0) {
        free_script(out);
    }
    return bad;
}

ICMP_EXPORT int IcmpSimLoadScript(const char* text) {
    struct script parsed;
    int bad = parse_script(text, &parsed);
    if (bad != 0) {
        return bad;
    }
    pthread_mutex_lock(&sim_lock);
    free_script(&current);
    current = parsed;
    request_count = 0;
    pthread_mutex_unlock(&sim_lock);
    return 0;
}

ICMP_EXPORT uint32_t IcmpSimRequestCount(void) {
    pthread_mutex_lock(&sim_lock);
    uint32_t n = request_count;
    pthread_mutex_unlock(&sim_lock);
    return n;
}

ICMP_EXPORT int IcmpSimGetRequest(uint32_t index, IcmpSimRequest* out) {
    pthread_mutex_lock(&sim_lock);
    int found = index < request_count && out != NULL;
    if (found) {
        *out = request_log[index];
    }
    pthread_mutex_unlock(&sim_lock);
    return found;
}

/* Whether a rule may answer a request of this family: its destination's, or with "*" its
 * answer's; "* ... none" answers either. */
static int rule_family_matches(const struct rule* r, const struct sim_address* destination) {
    if (!r->any_destination) {
        return same_address(&r->destination, destination);
    }
    return r->none || r->from.family == destination->family;
}

/* With sim_lock held: the rule that answers this request, advancing its sequence; or null. */
static const struct rule* pick_rule(const struct sim_address* destination, uint8_t ttl) {
    for (size_t i = 0; i < current.sequence_count; ++i) {
        struct sequence* q = &current.sequences[i];
        const struct rule* r = &current.rules[q->first_rule];
        if (rule_family_matches(r, destination) && ttl >= r->ttl_low && ttl <= r->ttl_high) {
            size_t at = q->used < q->count ? q->used : q->count - 1;
            ++q->used;
            return &current.rules[q->first_rule + at];
        }
    }
    return NULL;
}

static void log_request(const IcmpSimRequest* entry) {
    pthread_mutex_lock(&sim_lock);
    if (request_log == NULL) {
        request_log = calloc(SIM_LOG_MAX, sizeof *request_log);
    }
    if (request_log != NULL && request_count < SIM_LOG_MAX) {
        request_log[request_count++] = *entry;
    }
    pthread_mutex_unlock(&sim_lock);
}

static int16_t fill_of(const uint8_t* data, uint16_t size) {
    if (data == NULL || size == 0) {
        return -1;
    }
    for (uint16_t i = 1; i < size; ++i) {
        if (data[i] != data[0]) {
            return -1;
        }
    }
    return data[0];
}

/* ---- What the script says about one request ---- */

struct plan {
    int answered;     /* an answer within the time-out */
    uint32_t wait_ms; /* until the answer, or until the request gives up */
    uint32_t status;  /* of the answer */
    struct sim_address from;
    uint8_t ttl;     /* the answer's time-to-live / hop limit */
    uint16_t echoed; /* bytes of data the answer carries back */
};

static void make_plan(const struct sim_address* destination, uint8_t ttl, uint16_t size,
                      uint32_t timeout, struct plan* out) {
    pthread_mutex_lock(&sim_lock);
    const struct rule* found = pick_rule(destination, ttl);
    struct rule r;
    memset(&r, 0, sizeof r);
    if (found != NULL) {
        r = *found; /* a later IcmpSimLoadScript may free the script meanwhile */
    }
    pthread_mutex_unlock(&sim_lock);

    memset(out, 0, sizeof *out);
    out->answered = found != NULL && !r.none && r.delay_ms <= timeout;
    out->wait_ms = timeout;
    if (found != NULL && (out->answered || (r.none && r.has_delay && r.delay_ms < timeout))) {
        out->wait_ms = r.delay_ms;
    }
    if (out->answered) {
        out->status = r.has_status                         ? r.status
                      : same_address(&r.from, destination) ? IP_SUCCESS
                                                           : IP_TTL_EXPIRED_TRANSIT;
        out->from = r.from;
        out->ttl = r.reply_ttl;
        out->echoed = out->status == IP_SUCCESS ? size : 0;
    } else {
        out->status = IP_REQ_TIMED_OUT;
    }
}

/* The ICMP (family AF_INET) or ICMPv6 type and code of an answer with this status. */
static void type_of(int family, uint32_t status, uint8_t* type, uint8_t* code) {
    static const struct {
        uint32_t status;
        uint8_t type4, code4, type6, code6;
    } types[] = {
        {IP_SUCCESS, 0, 0, 129, 0},
        {IP_TTL_EXPIRED_TRANSIT, 11, 0, 3, 0},
        {IP_TTL_EXPIRED_REASSEM, 11, 1, 3, 1},
        {IP_DEST_NET_UNREACHABLE, 3, 0, 1, 0},
        {IP_DEST_HOST_UNREACHABLE, 3, 1, 1, 3},
        {IP_DEST_PROT_UNREACHABLE, 3, 2, 4, 1},
        {IP_DEST_PORT_UNREACHABLE, 3, 3, 1, 4},
        {IP_PACKET_TOO_BIG, 3, 4, 2, 0},
        {IP_BAD_ROUTE, 3, 5, 1, 0},
        {IP_PARAM_PROBLEM, 12, 0, 4, 0},
        {IP_SOURCE_QUENCH, 4, 0, 0, 0},
    };
    *type = *code = 0;
    for (size_t i = 0; i < sizeof types / sizeof types[0]; ++i) {
        if (types[i].status == status) {
            *type = family == AF_INET6 ? types[i].type6 : types[i].type4;
            *code = family == AF_INET6 ? types[i].code6 : types[i].code4;
        }
    }
}

/* The typed result of a request of family with this plan (status overrides the plan's when the
 * request was not answered: time-out or cancel). */
static void make_result(int family, const struct plan* plan, uint32_t status,
                        ICMP_ECHO_RESULT* out) {
    memset(out, 0, sizeof *out);
    out->Family = (uint32_t)family;
    if (family == AF_INET6) {
        out->Sender.Ipv6.sin6_family = AF_INET6;
    } else {
        out->Sender.Ipv4.sin_family = AF_INET;
    }
    if (!plan->answered || status != plan->status) {
        out->Status = status;
        return;
    }
    out->Status = plan->status;
    if (family == AF_INET6) {
        memcpy(&out->Sender.Ipv6.sin6_addr, plan->from.bytes, 16);
    } else {
        memcpy(&out->Sender.Ipv4.sin_addr, plan->from.bytes, 4);
    }
    out->RoundTripMicroseconds = (uint64_t)plan->wait_ms * 1000u;
    out->Ttl = plan->ttl;
    type_of(family, plan->status, &out->Type, &out->Code);
    out->DataSize = plan->echoed;
}

/* The IPv6 reply record of a result, then the echoed data, at buffer (which may be unaligned). */
static void write_reply6(void* buffer, const ICMP_ECHO_RESULT* result, const void* data) {
    ICMPV6_ECHO_REPLY record;
    memset(&record, 0, sizeof record);
    memcpy(record.Address.sin6_addr, &result->Sender.Ipv6.sin6_addr, 16);
    record.Status = result->Status;
    record.RoundTripTime = (uint32_t)(result->RoundTripMicroseconds / 1000u);
    record.HopLimit = result->Ttl;
    record.Type = result->Type;
    record.Code = result->Code;
    record.RoundTripMicroseconds = result->RoundTripMicroseconds;
    if (result->DataSize > 0) {
        memcpy((uint8_t*)buffer + sizeof record, data, result->DataSize);
    }
    memcpy(buffer, &record, sizeof record);
}

/* ---- Handles and their thread ---- */

/* A queued asynchronous request. */
struct pending {
    struct pending* next;
    uint64_t due_ns; /* when its answer (or its time-out) is due */
    struct plan plan;
    IcmpSimRequest logged;
    int family;
    PICMP_ECHO_COMPLETION completion;
    void* context;
};

struct sim_handle {
    int family;
    pthread_mutex_t lock;
    pthread_cond_t changed; /* on CLOCK_MONOTONIC */
    struct pending* queue;
    int cancelled; /* closed or cancelled: every request completes as cancelled */
    int stop;      /* closed: the thread ends once the queue is empty */
    int self_free; /* closed from one of its own completions: the thread frees the handle */
    pthread_t thread;
};

static void complete(struct pending* p, uint32_t status) {
    ICMP_ECHO_RESULT result;
    make_result(p->family, &p->plan, status, &result);
    p->logged.Status = result.Status;
    log_request(&p->logged);
    p->completion(p->context, &result);
    free(p);
}

static void* handle_thread(void* arg) {
    struct sim_handle* h = arg;
    pthread_mutex_lock(&h->lock);
    for (;;) {
        if (h->cancelled && h->queue != NULL) {
            struct pending* all = h->queue;
            h->queue = NULL;
            pthread_mutex_unlock(&h->lock);
            while (all != NULL) {
                struct pending* next = all->next;
                complete(all, IP_REQ_CANCELLED);
                all = next;
            }
            pthread_mutex_lock(&h->lock);
            continue;
        }
        if (h->stop) {
            break;
        }
        if (h->queue == NULL || h->cancelled) {
            pthread_cond_wait(&h->changed, &h->lock);
            continue;
        }
        struct pending** first = &h->queue;
        for (struct pending** at = &h->queue; *at != NULL; at = &(*at)->next) {
            if ((*at)->due_ns < (*first)->due_ns) {
                first = at;
            }
        }
        if ((*first)->due_ns > icmp_now_ns()) {
            struct timespec until = {(time_t)((*first)->due_ns / 1000000000u),
                                     (long)((*first)->due_ns % 1000000000u)};
            pthread_cond_timedwait(&h->changed, &h->lock, &until);
            continue;
        }
        struct pending* due = *first;
        *first = due->next;
        pthread_mutex_unlock(&h->lock);
        complete(due, due->plan.answered ? due->plan.status : IP_REQ_TIMED_OUT);
        pthread_mutex_lock(&h->lock);
    }
    int self_free = h->self_free;
    pthread_mutex_unlock(&h->lock);
    if (self_free) {
        pthread_mutex_destroy(&h->lock);
        pthread_cond_destroy(&h->changed);
        free(h);
    }
    return NULL;
}

/* The table's wake-up, with its lock held: the handle is closed or cancelled. */
static void wake_handle(void* impl) {
    struct sim_handle* h = impl;
    pthread_mutex_lock(&h->lock);
    h->cancelled = 1;
    pthread_cond_broadcast(&h->changed);
    pthread_mutex_unlock(&h->lock);
}

/* The handle is closed and no call uses it: its thread completes what waits, and ends. */
static void destroy_handle(void* impl) {
    struct sim_handle* h = impl;
    if (h == NULL) {
        return;
    }
    pthread_mutex_lock(&h->lock);
    h->cancelled = 1;
    h->stop = 1;
    int own = pthread_equal(pthread_self(), h->thread);
    h->self_free = own;
    pthread_cond_broadcast(&h->changed);
    pthread_mutex_unlock(&h->lock);
    if (own) {
        pthread_detach(h->thread); /* closed from a completion: it ends when that returns */
        return;
    }
    pthread_join(h->thread, NULL);
    pthread_mutex_destroy(&h->lock);
    pthread_cond_destroy(&h->changed);
    free(h);
}

static ICMP_HANDLE create_handle(int family) {
    pthread_mutex_lock(&sim_lock);
    const char* failing = current.create_failure;
    if (failing == NULL && family == AF_INET6) {
        failing = current.create6_failure;
    }
    char* failure = failing != NULL ? strdup(failing) : NULL;
    int fails = failing != NULL;
    pthread_mutex_unlock(&sim_lock);
    if (fails) {
        icmp_set_create_error(failure != NULL ? failure : "");
        free(failure);
        return ICMP_INVALID_HANDLE;
    }
    struct sim_handle* h = calloc(1, sizeof *h);
    if (h == NULL) {
        icmp_set_create_error("Out of memory.");
        return ICMP_INVALID_HANDLE;
    }
    h->family = family;
    pthread_mutex_init(&h->lock, NULL);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&h->changed, &attr);
    pthread_condattr_destroy(&attr);
    if (pthread_create(&h->thread, NULL, handle_thread, h) != 0) {
        pthread_mutex_destroy(&h->lock);
        pthread_cond_destroy(&h->changed);
        free(h);
        icmp_set_create_error("No thread for the handle.");
        return ICMP_INVALID_HANDLE;
    }
    ICMP_HANDLE handle = icmp_table_add(h, ICMP_SOCKET_SIMULATED, destroy_handle, wake_handle);
    icmp_set_create_error(handle == ICMP_INVALID_HANDLE ? "Too many ICMP handles are open." : "");
    return handle;
}

ICMP_EXPORT ICMP_HANDLE IcmpCreateFile(void) {
    return create_handle(AF_INET);
}

ICMP_EXPORT ICMP_HANDLE Icmp6CreateFile(void) {
    return create_handle(AF_INET6);
}

/* ---- Requests ---- */

static void begin_log(IcmpSimRequest* logged, const void* data, uint16_t size,
                      const IP_OPTION_INFORMATION* options, uint32_t reply_size, uint32_t timeout,
                      int asynchronous) {
    memset(logged, 0, sizeof *logged);
    logged->HasOptions = options != NULL;
    logged->Ttl = options != NULL ? options->Ttl : SIM_DEFAULT_TTL;
    logged->RequestSize = size;
    logged->Fill = fill_of(data, size);
    logged->ReplySize = reply_size;
    logged->Timeout = timeout;
    logged->Asynchronous = asynchronous ? 1u : 0u;
}

/* A refused request: logged with its status, no answer. */
static uint32_t refuse(IcmpSimRequest* logged, uint32_t status) {
    logged->Status = status;
    log_request(logged);
    icmp_set_last_status(status);
    return status;
}

/* A synchronous request on the caller's thread: waits as the script says; fills *result and
 * returns 1 when answered. */
static int wait_for_answer(ICMP_HANDLE handle, const struct sim_address* destination,
                           IcmpSimRequest* logged, ICMP_ECHO_RESULT* result) {
    struct icmp_entry* entry = icmp_table_enter(handle);
    const struct sim_handle* h = entry != NULL ? icmp_entry_impl(entry) : NULL;
    struct plan plan;
    memset(&plan, 0, sizeof plan);
    uint32_t status = entry == NULL                      ? IP_REQ_CANCELLED
                      : h->family != destination->family ? IP_BAD_DESTINATION
                                                         : IP_SUCCESS;
    if (status == IP_SUCCESS) {
        uint64_t sent = icmp_now_ns();
        make_plan(destination, (uint8_t)logged->Ttl, logged->RequestSize, logged->Timeout, &plan);
        int woke = icmp_wait(-1, icmp_entry_wake_fd(entry), icmp_deadline(sent, plan.wait_ms));
        status = woke < 0 ? IP_REQ_CANCELLED : plan.answered ? plan.status : IP_REQ_TIMED_OUT;
    }
    if (entry != NULL) {
        icmp_table_leave(entry);
    }
    make_result(destination->family, &plan, status, result);
    int answered = plan.answered && status == plan.status;
    logged->Status = result->Status;
    log_request(logged);
    icmp_set_last_status(result->Status);
    icmp_set_last_round_trip_us(answered ? result->RoundTripMicroseconds : 0);
    return answered;
}

/* Queues an asynchronous request on the handle's thread; IP_SUCCESS or why not. */
static uint32_t queue_request(ICMP_HANDLE handle, const struct sim_address* destination,
                              struct pending* p) {
    struct icmp_entry* entry = icmp_table_enter_shared(handle);
    if (entry == NULL) {
        return IP_REQ_CANCELLED;
    }
    struct sim_handle* h = icmp_entry_impl(entry);
    uint32_t status = h->family == destination->family ? IP_SUCCESS : IP_BAD_DESTINATION;
    if (status == IP_SUCCESS) {
        uint64_t sent = icmp_now_ns();
        make_plan(destination, (uint8_t)p->logged.Ttl, p->logged.RequestSize, p->logged.Timeout,
                  &p->plan);
        p->due_ns = icmp_deadline(sent, p->plan.wait_ms);
        p->family = destination->family;
        pthread_mutex_lock(&h->lock);
        if (h->cancelled) {
            status = IP_REQ_CANCELLED;
        } else {
            p->next = h->queue;
            h->queue = p;
            pthread_cond_broadcast(&h->changed);
        }
        pthread_mutex_unlock(&h->lock);
    }
    icmp_table_leave(entry);
    return status;
}

static int read_destination(const struct sockaddr* d, struct sim_address* out) {
    memset(out, 0, sizeof *out);
    if (d == NULL) {
        return 0;
    }
    if (d->sa_family == AF_INET) {
        struct sockaddr_in in;
        memcpy(&in, d, sizeof in);
        memcpy(out->bytes, &in.sin_addr, 4);
    } else if (d->sa_family == AF_INET6) {
        struct sockaddr_in6 in6;
        memcpy(&in6, d, sizeof in6);
        memcpy(out->bytes, &in6.sin6_addr, 16);
    } else {
        return 0;
    }
    out->family = d->sa_family;
    return 1;
}

ICMP_EXPORT uint32_t IcmpSendEcho(ICMP_HANDLE IcmpHandle, IPAddr DestinationAddress,
                                  const void* RequestData, uint16_t RequestSize,
                                  const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                  uint32_t ReplySize, uint32_t Timeout) {
    struct sim_address destination = {AF_INET, {0}};
    memcpy(destination.bytes, &DestinationAddress, 4);
    IcmpSimRequest logged;
    begin_log(&logged, RequestData, RequestSize, RequestOptions, ReplySize, Timeout, 0);
    uint32_t status =
        icmp_check_request(RequestData, RequestSize, RequestOptions, ReplyBuffer, ReplySize);
    if (status != IP_SUCCESS) {
        refuse(&logged, status);
        return 0;
    }
    ICMP_ECHO_RESULT result;
    if (!wait_for_answer(IcmpHandle, &destination, &logged, &result)) {
        return 0;
    }
    IPAddr from;
    memcpy(&from, &result.Sender.Ipv4.sin_addr, 4);
    icmp_write_reply(ReplyBuffer, ReplySize, from, result.Status,
                     result.RoundTripMicroseconds * 1000u, RequestData, result.DataSize, result.Ttl,
                     0, NULL, 0);
    return 1;
}

ICMP_EXPORT uint32_t IcmpSendEchoEx(ICMP_HANDLE IcmpHandle, const struct sockaddr* Destination,
                                    const void* RequestData, uint16_t RequestSize,
                                    const IP_OPTION_INFORMATION* RequestOptions, uint32_t Timeout,
                                    PICMP_ECHO_COMPLETION Completion, void* Context) {
    struct sim_address destination;
    int readable = read_destination(Destination, &destination);
    IcmpSimRequest logged;
    begin_log(&logged, RequestData, RequestSize, RequestOptions, 0, Timeout, 1);
    uint32_t status = Completion == NULL                                   ? IP_BAD_REQ
                      : !readable                                          ? IP_BAD_DESTINATION
                      : RequestData == NULL && RequestSize > 0             ? IP_BAD_REQ
                      : RequestOptions != NULL && RequestOptions->Ttl == 0 ? IP_BAD_OPTION
                                                                           : IP_SUCCESS;
    if (status != IP_SUCCESS) {
        return refuse(&logged, status);
    }
    struct pending* p = calloc(1, sizeof *p);
    if (p == NULL) {
        return refuse(&logged, IP_NO_RESOURCES);
    }
    p->logged = logged;
    p->completion = Completion;
    p->context = Context;
    status = queue_request(IcmpHandle, &destination, p);
    if (status != IP_SUCCESS) {
        free(p);
        return refuse(&logged, status);
    }
    return IP_SUCCESS;
}

ICMP_EXPORT uint32_t Icmp6SendEcho2(ICMP_HANDLE IcmpHandle, void* Event, void* ApcRoutine,
                                    void* ApcContext, const struct sockaddr_in6* SourceAddress,
                                    const struct sockaddr_in6* DestinationAddress,
                                    const void* RequestData, uint16_t RequestSize,
                                    const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                    uint32_t ReplySize, uint32_t Timeout) {
    struct sim_address destination;
    int readable = read_destination((const struct sockaddr*)DestinationAddress, &destination) &&
                   destination.family == AF_INET6;
    IcmpSimRequest logged;
    begin_log(&logged, RequestData, RequestSize, RequestOptions, ReplySize, Timeout, 0);
    (void)ApcContext; /* routines are not simulated */
    static const uint8_t unspecified[16];
    uint32_t status = IP_SUCCESS;
    if (Event != NULL || ApcRoutine != NULL || ReplyBuffer == NULL ||
        (RequestData == NULL && RequestSize > 0) ||
        (SourceAddress != NULL && memcmp(&SourceAddress->sin6_addr, unspecified, 16) != 0)) {
        status = IP_BAD_REQ;
    } else if (RequestSize > ICMP6_MAX_REQUEST_SIZE) {
        status = IP_PACKET_TOO_BIG;
    } else if ((uint64_t)ReplySize < sizeof(ICMPV6_ECHO_REPLY) + (uint64_t)RequestSize) {
        status = IP_BUF_TOO_SMALL;
    } else if (!readable) {
        status = IP_BAD_DESTINATION;
    } else if (RequestOptions != NULL &&
               (RequestOptions->Ttl == 0 || RequestOptions->OptionsSize)) {
        status = IP_BAD_OPTION;
    }
    if (status != IP_SUCCESS) {
        refuse(&logged, status);
        return 0;
    }
    ICMP_ECHO_RESULT result;
    if (!wait_for_answer(IcmpHandle, &destination, &logged, &result)) {
        return 0;
    }
    write_reply6(ReplyBuffer, &result, RequestData);
    return 1;
}
