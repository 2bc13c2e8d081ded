#pragma once
/*
 * The simulated network, sabrevin-icmp-sim.so: a test-only module with the functions of
 * icmp_api.h (the three of the contract, the optional extras, the IPv6 pair Icmp6CreateFile /
 * Icmp6SendEcho2 and IcmpSendEchoEx) that answers from a script instead of the network, so that
 * worker tests get exact, fast and repeatable answers. Its requests wait for real (the scripted
 * delays) and are interrupted by IcmpCloseHandle and IcmpCancelHandle exactly as the real
 * module's are. IcmpSendEchoEx takes a completion (without one: IP_BAD_REQ) and returns at once;
 * Icmp6SendEcho2 is synchronous (a routine: IP_BAD_REQ). Each handle has one thread of its own
 * that runs the completions when their answers or time-outs are due, and, when the handle is
 * closed or cancelled, at once with IP_REQ_CANCELLED; once IcmpCloseHandle returns, no completion
 * of the handle runs any more (unless it was called from one). A handle answers requests of its own
 * family only (others: IP_BAD_DESTINATION).
 *
 * The build also places a copy named sabrevin-icmp.so in the directory icmp-sim/ of the build
 * tree, so that BindIcmpEntryPoints(icmp, "<build>/icmp-sim") binds the simulation.
 *
 * Script, given as one text to IcmpSimLoadScript: one item a line; '#' starts a comment; fields
 * are separated by blanks.
 *
 *   <destination> <ttl> <answer> [delay=<ms>] [ttl=<n>] [status=<status>]
 *
 *     destination  address of the request, dotted IPv4 or IPv6 text ("2001:db8::9"), or * for
 *                  any request of the answer's family ("* ... none": of either family).
 *     ttl          time-to-live (IPv6: hop limit) of the request: N, N-M, or * for any. A
 *                  request without an option record counts as 64, the system default here.
 *     answer       address of the node that answers, of the destination's family, or "none"
 *                  for no answer.
 *     delay=       milliseconds until the answer, which is also its RoundTripTime. An answer
 *                  whose delay exceeds the request's time-out is not given: the request returns
 *                  0 after the time-out. For "none": the request returns 0 after
 *                  min(delay, time-out); without delay= after the whole time-out. Default 0.
 *     ttl=         the reply's arriving time-to-live (Options.Ttl; IPv6: HopLimit); default 64.
 *     status=      the reply's Status: a number, success or host-unreachable. Default:
 *                  success when the answer is the destination, else ttl-expired.
 *
 *   An echo reply (status success) carries the request's data back (DataSize = request size);
 *   an error carries none (DataSize 0). An answer's ICMP or ICMPv6 type and code follow from
 *   its status (success: 0 / 129, ttl-expired: 11 / 3, host-unreachable: 3.1 / 1.3, ...).
 *
 *   Lines with the same destination and ttl fields form a sequence: the n-th request that the
 *   sequence answers gets its n-th line, and the last line repeats. The first sequence (in the
 *   order of the script) whose fields match a request answers it; a request that none matches
 *   goes unanswered for the whole time-out. Sequence positions are shared by all handles and
 *   start again with each IcmpSimLoadScript.
 *
 *   create-fail <text>    makes every IcmpCreateFile and Icmp6CreateFile fail;
 *                         IcmpGetCreateError gives <text>.
 *   create6-fail <text>   the same for Icmp6CreateFile alone (a machine without IPv6).
 *
 * Example: a trace whose second hop answers only its third request.
 *
 *   10.0.0.9  1    10.0.0.1  delay=2 ttl=255
 *   10.0.0.9  2    none      delay=5
 *   10.0.0.9  2    none      delay=5
 *   10.0.0.9  2    10.0.0.2  delay=3
 *   10.0.0.9  3-*  10.0.0.9  delay=4 ttl=61
 *
 * The same over IPv6, the first router reporting the target unreachable:
 *
 *   2001:db8::9  1    2001:db8::1  delay=2 ttl=64 status=host-unreachable
 */

#include "net/icmp/icmp_api.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One request (of any of the three sending functions) as the simulation saw it, logged when it
 * ended (an asynchronous one: when its completion ran). */
typedef struct icmp_sim_request {
    uint8_t Ttl;           /* of the option record; 64 when there was none */
    uint8_t HasOptions;    /* 1 when an option record was given */
    uint16_t RequestSize;  /* bytes */
    int16_t Fill;          /* the byte that fills the whole request data, or -1 (mixed, empty) */
    uint32_t ReplySize;    /* bytes */
    uint32_t Timeout;      /* milliseconds */
    uint32_t Status;       /* the status of the call (IcmpGetLastStatus) */
    uint32_t Asynchronous; /* 1 for a request with a completion */
} IcmpSimRequest;

/*
 * Replaces the script and empties the request log. Returns 0, or the number of the first line
 * that cannot be read (the old script then stays). A null or empty text answers nothing.
 */
int IcmpSimLoadScript(const char* text);

/* How many requests were logged since the last IcmpSimLoadScript (at most 65536 are kept). */
uint32_t IcmpSimRequestCount(void);

/* Copies the index-th logged request (from 0) to *out; returns 1, or 0 past the end. */
int IcmpSimGetRequest(uint32_t index, IcmpSimRequest* out);

typedef int (*PFN_IcmpSimLoadScript)(const char*);
typedef uint32_t (*PFN_IcmpSimRequestCount)(void);
typedef int (*PFN_IcmpSimGetRequest)(uint32_t, IcmpSimRequest*);

#ifdef __cplusplus
}
#endif
