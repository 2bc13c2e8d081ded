#pragma once
/*
 * What the echo module and the simulated one share: the table that turns handles into sessions,
 * the wake-up that interrupts a waiting request, the calling thread's last status, and the
 * checks and the writing of the reply buffer. Internal to the modules (hidden symbols); each
 * module links its own copy, so their tables and thread-local states are separate.
 */

#include "net/icmp/icmp_api.h"

#include <stddef.h>
#include <stdint.h>

#define ICMP_INTERNAL __attribute__((visibility("hidden")))
#define ICMP_EXPORT __attribute__((visibility("default")))

struct icmp_entry; /* one open handle; opaque outside icmp_session.c */

/*
 * Registers a session for a new handle: impl is the module's own state, destroy frees it once
 * the handle is closed and no call uses it any more. wake, when not null, is called (with the
 * table's lock held: it must take no lock of its own that a call holds while entering) each time
 * the handle is closed or cancelled. Returns INVALID_HANDLE_VALUE (and destroys impl) when the
 * table is full or no wake-up descriptor can be made.
 */
ICMP_INTERNAL ICMP_HANDLE icmp_table_add(void* impl, int kind, void (*destroy)(void*),
                                         void (*wake)(void*));

/*
 * Begins a call on a handle. Waits while another thread's call uses the same handle (one socket
 * serves one request at a time), then returns the entry, or null when the handle is stale,
 * closed or cancelled. icmp_table_leave must follow a non-null result.
 */
ICMP_INTERNAL struct icmp_entry* icmp_table_enter(ICMP_HANDLE handle);

/* The same without waiting for other calls: for a module whose handles serve many at once. */
ICMP_INTERNAL struct icmp_entry* icmp_table_enter_shared(ICMP_HANDLE handle);
ICMP_INTERNAL void icmp_table_leave(struct icmp_entry* entry);
ICMP_INTERNAL void* icmp_entry_impl(const struct icmp_entry* entry);

/* Readable once the handle is closed or cancelled; the waits of a request poll it. */
ICMP_INTERNAL int icmp_entry_wake_fd(const struct icmp_entry* entry);

/* Wakes the calls inside, waits for them to leave (none waits once woken), then destroys. */
ICMP_INTERNAL int icmp_table_close(ICMP_HANDLE handle);
ICMP_INTERNAL int icmp_table_cancel(ICMP_HANDLE handle);
ICMP_INTERNAL int icmp_table_kind(ICMP_HANDLE handle);

/* CLOCK_MONOTONIC in nanoseconds. */
ICMP_INTERNAL uint64_t icmp_now_ns(void);

/*
 * Waits until fd (if >= 0) has something to read or an error, the wake descriptor is readable,
 * or the monotonic clock reaches deadline_ns. Returns 1 for fd, 0 for the deadline, -1 for the
 * wake-up. A signal that interrupts the wait only restarts it.
 */
ICMP_INTERNAL int icmp_wait(int fd, int wake_fd, uint64_t deadline_ns);

/* The deadline of a request sent at sent_ns with a time-out in milliseconds; never wraps. */
ICMP_INTERNAL uint64_t icmp_deadline(uint64_t sent_ns, uint32_t timeout_ms);

/*
 * The checks every IcmpSendEcho makes before it sends: IP_SUCCESS, or the status with which it
 * returns 0 at once (sizes, buffer, request options).
 */
ICMP_INTERNAL uint32_t icmp_check_request(const void* request_data, uint16_t request_size,
                                          const IP_OPTION_INFORMATION* options,
                                          const void* reply_buffer, uint32_t reply_size);

/*
 * Writes the one reply record, then data_size bytes of echoed data right after it, then the
 * reply's IP options if they fit too, never past reply_size. The caller has checked that
 * 28 + data_size fits (icmp_check_request). Records the thread's last status and round trip.
 */
ICMP_INTERNAL void icmp_write_reply(void* reply_buffer, uint32_t reply_size, IPAddr address,
                                    uint32_t status, uint64_t round_trip_ns, const uint8_t* data,
                                    uint16_t data_size, uint8_t ttl, uint8_t tos,
                                    const uint8_t* options, size_t options_size);

/* The calling thread's outcome of its last IcmpSendEcho. */
ICMP_INTERNAL void icmp_set_last_status(uint32_t status);
ICMP_INTERNAL void icmp_set_last_round_trip_us(uint64_t microseconds);
ICMP_INTERNAL uint32_t icmp_last_status(void);
ICMP_INTERNAL uint64_t icmp_last_round_trip_us(void);

/* The calling thread's text of its last failed IcmpCreateFile ("" after a success). */
ICMP_INTERNAL void icmp_set_create_error(const char* text);
ICMP_INTERNAL uint32_t icmp_copy_create_error(char* buffer, uint32_t size);
