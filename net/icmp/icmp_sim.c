/*
 * The simulated network (icmp_sim.h): the echo module's functions answered from a script. The
 * handle table, the argument checks, the reply writing and the interruptible wait are the real
 * module's (icmp_session.c), so the simulation refuses and interrupts exactly as it does.
 */
#define _GNU_SOURCE
#include "net/icmp/icmp_sim.h"

#include "net/icmp/icmp_api.h"
#include "net/icmp/icmp_session.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#define SIM_DEFAULT_TTL 64 /* the time-to-live of a request without an option record */
#define SIM_LOG_MAX 65536u

struct rule {
    int any_destination;
    IPAddr destination; /* network byte order */
    uint8_t ttl_low, ttl_high;
    int none;
    IPAddr from; /* network byte order */
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
    char* create_failure; /* non-null: IcmpCreateFile fails with this text */
};

static pthread_mutex_t sim_lock = PTHREAD_MUTEX_INITIALIZER;
static struct script current;
static IcmpSimRequest* request_log;
static uint32_t request_count;

static void free_script(struct script* s) {
    free(s->rules);
    free(s->sequences);
    free(s->create_failure);
    memset(s, 0, sizeof *s);
}

static const struct {
    const char* name;
    uint32_t status;
} status_names[] = {
    {"success", IP_SUCCESS},
    {"ttl-expired", IP_TTL_EXPIRED_TRANSIT},
    {"reassembly-expired", IP_TTL_EXPIRED_REASSEM},
    {"net-unreachable", IP_DEST_NET_UNREACHABLE},
    {"host-unreachable", IP_DEST_HOST_UNREACHABLE},
    {"protocol-unreachable", IP_DEST_PROT_UNREACHABLE},
    {"port-unreachable", IP_DEST_PORT_UNREACHABLE},
    {"too-big", IP_PACKET_TOO_BIG},
    {"bad-route", IP_BAD_ROUTE},
    {"param-problem", IP_PARAM_PROBLEM},
    {"source-quench", IP_SOURCE_QUENCH},
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

static int parse_address(const char* text, IPAddr* out) {
    struct in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) {
        return 0;
    }
    *out = a.s_addr;
    return 1;
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
    return 1;
}

static int same_fields(const struct rule* a, const struct rule* b) {
    return a->any_destination == b->any_destination &&
           (a->any_destination || a->destination == b->destination) && a->ttl_low == b->ttl_low &&
           a->ttl_high == b->ttl_high;
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
        if (strncmp(line, "create-fail", 11) == 0 && (line[11] == ' ' || line[11] == '\t')) {
            char* reason = line + 12;
            while (*reason == ' ' || *reason == '\t') {
                ++reason;
            }
            size_t end = strlen(reason);
            while (end > 0 && isspace((unsigned char)reason[end - 1])) {
                reason[--end] = '\0';
            }
            free(out->create_failure);
            out->create_failure = strdup(reason);
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

/* With sim_lock held: the rule that answers this request, advancing its sequence; or null. */
static const struct rule* pick_rule(IPAddr destination, uint8_t ttl) {
    for (size_t i = 0; i < current.sequence_count; ++i) {
        struct sequence* q = &current.sequences[i];
        const struct rule* r = &current.rules[q->first_rule];
        if ((r->any_destination || r->destination == destination) && ttl >= r->ttl_low &&
            ttl <= r->ttl_high) {
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

static void no_state(void* impl) {
    (void)impl;
}

ICMP_EXPORT ICMP_HANDLE IcmpCreateFile(void) {
    pthread_mutex_lock(&sim_lock);
    char* failure = current.create_failure != NULL ? strdup(current.create_failure) : NULL;
    int fails = current.create_failure != NULL;
    pthread_mutex_unlock(&sim_lock);
    if (fails) {
        icmp_set_create_error(failure != NULL ? failure : "");
        free(failure);
        return ICMP_INVALID_HANDLE;
    }
    ICMP_HANDLE handle = icmp_table_add(NULL, ICMP_SOCKET_SIMULATED, no_state, NULL);
    icmp_set_create_error(handle == ICMP_INVALID_HANDLE ? "Too many ICMP handles are open." : "");
    return handle;
}

static uint32_t answer(const struct icmp_entry* entry, IPAddr destination, const uint8_t* data,
                       uint16_t size, uint8_t ttl, void* reply, uint32_t reply_size,
                       uint32_t timeout, IPAddr* answered_by) {
    uint64_t sent = icmp_now_ns();
    pthread_mutex_lock(&sim_lock);
    const struct rule* found = pick_rule(destination, ttl);
    struct rule r;
    memset(&r, 0, sizeof r);
    if (found != NULL) {
        r = *found; /* a later IcmpSimLoadScript may free the script meanwhile */
    }
    pthread_mutex_unlock(&sim_lock);

    int answered = found != NULL && !r.none && r.delay_ms <= timeout;
    uint32_t wait_ms = timeout;
    if (found != NULL && (answered || (r.none && r.has_delay && r.delay_ms < timeout))) {
        wait_ms = r.delay_ms;
    }
    int woke = icmp_wait(-1, icmp_entry_wake_fd(entry), icmp_deadline(sent, wait_ms));
    if (woke < 0) {
        icmp_set_last_status(IP_REQ_CANCELLED);
        return 0;
    }
    if (!answered) {
        icmp_set_last_status(IP_REQ_TIMED_OUT);
        return 0;
    }
    uint32_t status = r.has_status            ? r.status
                      : r.from == destination ? IP_SUCCESS
                                              : IP_TTL_EXPIRED_TRANSIT;
    uint16_t echoed = status == IP_SUCCESS ? size : 0;
    icmp_write_reply(reply, reply_size, r.from, status, (uint64_t)r.delay_ms * 1000000u, data,
                     echoed, r.reply_ttl, 0, NULL, 0);
    *answered_by = r.from;
    return 1;
}

ICMP_EXPORT uint32_t IcmpSendEcho(ICMP_HANDLE IcmpHandle, IPAddr DestinationAddress,
                                  const void* RequestData, uint16_t RequestSize,
                                  const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                  uint32_t ReplySize, uint32_t Timeout) {
    IcmpSimRequest logged;
    memset(&logged, 0, sizeof logged);
    logged.Destination = DestinationAddress;
    logged.HasOptions = RequestOptions != NULL;
    logged.Ttl = RequestOptions != NULL ? RequestOptions->Ttl : SIM_DEFAULT_TTL;
    logged.RequestSize = RequestSize;
    logged.Fill = fill_of(RequestData, RequestSize);
    logged.ReplySize = ReplySize;
    logged.Timeout = Timeout;

    uint32_t status =
        icmp_check_request(RequestData, RequestSize, RequestOptions, ReplyBuffer, ReplySize);
    struct icmp_entry* entry = NULL;
    if (status == IP_SUCCESS) {
        entry = icmp_table_enter(IcmpHandle);
        status = entry != NULL ? IP_SUCCESS : IP_REQ_CANCELLED;
    }
    if (entry == NULL) {
        icmp_set_last_status(status);
        logged.Status = status;
        log_request(&logged);
        return 0;
    }
    logged.Result = answer(entry, DestinationAddress, RequestData, RequestSize, logged.Ttl,
                           ReplyBuffer, ReplySize, Timeout, &logged.AnsweredBy);
    icmp_table_leave(entry);
    logged.Status = icmp_last_status();
    log_request(&logged);
    return logged.Result;
}
