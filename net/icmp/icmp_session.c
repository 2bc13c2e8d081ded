#define _GNU_SOURCE
#include "net/icmp/icmp_session.h"

#include "net/icmp/icmp_packet.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

/*
 * A handle is (generation << SLOT_BITS) | slot. The generation of a slot grows each time the slot
 * is reused, so the handle of a closed session never names a newer one, and no handle is 0 or
 * has all bits set.
 */
#define SLOT_BITS 12
#define SLOT_COUNT (1u << SLOT_BITS)

struct icmp_entry {
    void* impl;
    void (*destroy)(void*);
    void (*on_wake)(void*);
    int kind;
    int wake_fd;    /* eventfd; written once by close or cancel and never read, so it stays set */
    unsigned users; /* calls between icmp_table_enter and icmp_table_leave */
    int busy;       /* one call at a time holds the socket */
    int closed;
    int cancelled;
    pthread_cond_t turn; /* signalled when busy clears, or on close or cancel */
};

static pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
static struct {
    struct icmp_entry* entry;
    uintptr_t generation;
} slots[SLOT_COUNT];

static ICMP_HANDLE encode(uint32_t slot, uintptr_t generation) {
    return (ICMP_HANDLE)((generation << SLOT_BITS) | slot);
}

/* The live entry that a handle names, or null; with table_lock held. */
static struct icmp_entry* lookup(ICMP_HANDLE handle) {
    uintptr_t value = (uintptr_t)handle;
    uint32_t slot = (uint32_t)(value & (SLOT_COUNT - 1));
    uintptr_t generation = value >> SLOT_BITS;
    if (handle == ICMP_INVALID_HANDLE || generation == 0 || slots[slot].generation != generation) {
        return NULL;
    }
    return slots[slot].entry;
}

static void destroy_entry(struct icmp_entry* entry) {
    entry->destroy(entry->impl);
    close(entry->wake_fd);
    pthread_cond_destroy(&entry->turn);
    free(entry);
}

ICMP_HANDLE icmp_table_add(void* impl, int kind, void (*destroy)(void*), void (*wake)(void*)) {
    struct icmp_entry* entry = calloc(1, sizeof *entry);
    if (entry == NULL) {
        destroy(impl);
        return ICMP_INVALID_HANDLE;
    }
    entry->impl = impl;
    entry->destroy = destroy;
    entry->on_wake = wake;
    entry->kind = kind;
    entry->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (entry->wake_fd < 0) {
        destroy(impl);
        free(entry);
        return ICMP_INVALID_HANDLE;
    }
    pthread_cond_init(&entry->turn, NULL);

    ICMP_HANDLE handle = ICMP_INVALID_HANDLE;
    pthread_mutex_lock(&table_lock);
    for (uint32_t slot = 0; slot < SLOT_COUNT; ++slot) {
        if (slots[slot].entry == NULL) {
            uintptr_t generation = slots[slot].generation + 1;
            if (encode(slot, generation) == ICMP_INVALID_HANDLE || (generation << SLOT_BITS) == 0) {
                generation = 1; /* wrapped: after 2^52 reuses of one slot on 64 bits */
            }
            slots[slot].generation = generation;
            slots[slot].entry = entry;
            handle = encode(slot, generation);
            break;
        }
    }
    pthread_mutex_unlock(&table_lock);
    if (handle == ICMP_INVALID_HANDLE) {
        destroy_entry(entry);
    }
    return handle;
}

static struct icmp_entry* enter(ICMP_HANDLE handle, int shared) {
    pthread_mutex_lock(&table_lock);
    struct icmp_entry* entry = lookup(handle);
    if (entry == NULL || entry->cancelled) {
        pthread_mutex_unlock(&table_lock);
        return NULL;
    }
    ++entry->users;
    if (shared) {
        pthread_mutex_unlock(&table_lock);
        return entry;
    }
    while (entry->busy && !entry->closed && !entry->cancelled) {
        pthread_cond_wait(&entry->turn, &table_lock);
    }
    if (entry->closed || entry->cancelled) {
        --entry->users;
        pthread_cond_broadcast(&entry->turn); /* a close waits for the last call to leave */
        pthread_mutex_unlock(&table_lock);
        return NULL;
    }
    entry->busy = 1;
    pthread_mutex_unlock(&table_lock);
    return entry;
}

struct icmp_entry* icmp_table_enter(ICMP_HANDLE handle) {
    return enter(handle, 0);
}

struct icmp_entry* icmp_table_enter_shared(ICMP_HANDLE handle) {
    return enter(handle, 1);
}

void icmp_table_leave(struct icmp_entry* entry) {
    pthread_mutex_lock(&table_lock);
    entry->busy = 0; /* a shared call never set it, and no exclusive call runs beside one */
    --entry->users;
    /* The next exclusive call, or a close waiting for the last call to leave. */
    pthread_cond_broadcast(&entry->turn);
    pthread_mutex_unlock(&table_lock);
}

void* icmp_entry_impl(const struct icmp_entry* entry) {
    return entry->impl;
}

int icmp_entry_wake_fd(const struct icmp_entry* entry) {
    return entry->wake_fd;
}

static void wake(struct icmp_entry* entry) {
    uint64_t one = 1;
    /* Can only fail when the counter is saturated, and then it is readable anyway. */
    ssize_t written = write(entry->wake_fd, &one, sizeof one);
    (void)written;
    pthread_cond_broadcast(&entry->turn);
    if (entry->on_wake != NULL) {
        entry->on_wake(entry->impl);
    }
}

int icmp_table_close(ICMP_HANDLE handle) {
    pthread_mutex_lock(&table_lock);
    struct icmp_entry* entry = lookup(handle);
    if (entry == NULL) {
        pthread_mutex_unlock(&table_lock);
        return 0;
    }
    uint32_t slot = (uint32_t)((uintptr_t)handle & (SLOT_COUNT - 1));
    slots[slot].entry = NULL;
    entry->closed = 1;
    wake(entry);
    /* Woken, the calls inside leave at once (no module waits inside a call): the handle ends
     * here, not in a call that leaves after this returns, and its completions with it. */
    while (entry->users > 0) {
        pthread_cond_wait(&entry->turn, &table_lock);
    }
    pthread_mutex_unlock(&table_lock);
    destroy_entry(entry);
    return 1;
}

int icmp_table_cancel(ICMP_HANDLE handle) {
    pthread_mutex_lock(&table_lock);
    struct icmp_entry* entry = lookup(handle);
    if (entry != NULL) {
        entry->cancelled = 1;
        wake(entry);
    }
    pthread_mutex_unlock(&table_lock);
    return entry != NULL;
}

int icmp_table_kind(ICMP_HANDLE handle) {
    pthread_mutex_lock(&table_lock);
    struct icmp_entry* entry = lookup(handle);
    int kind = entry != NULL ? entry->kind : ICMP_SOCKET_NONE;
    pthread_mutex_unlock(&table_lock);
    return kind;
}

uint64_t icmp_now_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

uint64_t icmp_deadline(uint64_t sent_ns, uint32_t timeout_ms) {
    return sent_ns + (uint64_t)timeout_ms * 1000000u; /* at most 2^32 ms: no wrap in 64 bits */
}

int icmp_wait(int fd, int wake_fd, uint64_t deadline_ns) {
    struct pollfd fds[2] = {{.fd = wake_fd, .events = POLLIN}, {.fd = fd, .events = POLLIN}};
    for (;;) {
        uint64_t now = icmp_now_ns();
        uint64_t left = deadline_ns > now ? deadline_ns - now : 0;
        struct timespec ts = {.tv_sec = (time_t)(left / 1000000000u),
                              .tv_nsec = (long)(left % 1000000000u)};
        /* A negative fd is ignored by ppoll, which is how a socketless wait is made. */
        int n = ppoll(fds, 2, &ts, NULL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1; /* cannot wait: treat as interrupted rather than spin */
        }
        if (fds[0].revents != 0) {
            return -1;
        }
        if (n > 0 && fds[1].revents != 0) {
            return 1;
        }
        if (left == 0) {
            return 0;
        }
    }
}

uint32_t icmp_check_request(const void* request_data, uint16_t request_size,
                            const IP_OPTION_INFORMATION* options, const void* reply_buffer,
                            uint32_t reply_size) {
    if (reply_buffer == NULL || (request_data == NULL && request_size > 0)) {
        return IP_BAD_REQ;
    }
    if (request_size > ICMP_MAX_DATA_SIZE) {
        return IP_PACKET_TOO_BIG;
    }
    /* Room for the record and the whole echo: then a reply never has to be cut. */
    if ((uint64_t)reply_size < sizeof(ICMP_ECHO_REPLY) + (uint64_t)request_size) {
        return IP_BUF_TOO_SMALL;
    }
    if (options != NULL) {
        if (options->Ttl == 0) {
            return IP_BAD_OPTION; /* the kernel refuses a time-to-live of 0 */
        }
        if (options->OptionsSize > IP_MAX_OPTIONS_SIZE) {
            return IP_OPTION_TOO_BIG;
        }
        if (options->OptionsSize > 0 && options->OptionsData == NULL) {
            return IP_BAD_OPTION;
        }
    }
    return IP_SUCCESS;
}

static _Thread_local uint32_t last_status = IP_SUCCESS;
static _Thread_local uint64_t last_round_trip_us;
/* Two helper paths and the rest of the text. */
static _Thread_local char create_error[4096];

void icmp_write_reply(void* reply_buffer, uint32_t reply_size, IPAddr address, uint32_t status,
                      uint64_t round_trip_ns, const uint8_t* data, uint16_t data_size, uint8_t ttl,
                      uint8_t tos, const uint8_t* options, size_t options_size) {
    uint8_t* out = (uint8_t*)reply_buffer;
    ICMP_ECHO_REPLY record;
    memset(&record, 0, sizeof record);
    record.Address = address;
    record.Status = status;
    uint64_t ms = round_trip_ns / 1000000u;
    record.RoundTripTime = ms > UINT32_MAX ? UINT32_MAX : (uint32_t)ms;
    record.DataSize = data_size;
    record.DataOffset = sizeof record;
    record.Options.Ttl = ttl;
    record.Options.Tos = tos;
    size_t options_at = sizeof record + (size_t)data_size;
    if (options_size > 0 && options_size <= IP_MAX_OPTIONS_SIZE &&
        options_at + options_size <= reply_size) {
        record.Options.OptionsSize = (uint8_t)options_size;
        record.Options.OptionsOffset = (uint32_t)options_at;
        memcpy(out + options_at, options, options_size);
    }
    if (data_size > 0) {
        memcpy(out + sizeof record, data, data_size);
    }
    /* The buffer may be unaligned: copy the record in bytes. */
    memcpy(out, &record, sizeof record);
    last_status = status;
    last_round_trip_us = round_trip_ns / 1000u;
}

void icmp_set_last_status(uint32_t status) {
    last_status = status;
    last_round_trip_us = 0;
}

void icmp_set_last_round_trip_us(uint64_t microseconds) {
    last_round_trip_us = microseconds;
}

uint32_t icmp_last_status(void) {
    return last_status;
}

uint64_t icmp_last_round_trip_us(void) {
    return last_round_trip_us;
}

void icmp_set_create_error(const char* text) {
    snprintf(create_error, sizeof create_error, "%s", text);
}

uint32_t icmp_copy_create_error(char* buffer, uint32_t size) {
    if (buffer != NULL && size > 0) {
        snprintf(buffer, size, "%s", create_error);
    }
    return (uint32_t)strlen(create_error);
}

/* The entry points that the real and the simulated module share: both keep their handles,
 * statuses and failure reasons here. */

ICMP_EXPORT int IcmpCloseHandle(ICMP_HANDLE IcmpHandle) {
    return icmp_table_close(IcmpHandle);
}

ICMP_EXPORT int IcmpCancelHandle(ICMP_HANDLE IcmpHandle) {
    return icmp_table_cancel(IcmpHandle);
}

ICMP_EXPORT uint32_t IcmpGetCreateError(char* buffer, uint32_t size) {
    return icmp_copy_create_error(buffer, size);
}

ICMP_EXPORT uint32_t IcmpGetLastStatus(void) {
    return icmp_last_status();
}

ICMP_EXPORT uint64_t IcmpGetLastRoundTripMicroseconds(void) {
    return icmp_last_round_trip_us();
}

ICMP_EXPORT int IcmpGetSocketKind(ICMP_HANDLE IcmpHandle) {
    return icmp_table_kind(IcmpHandle);
}
