#pragma once
/*
 * The simulated network, sabrevin-icmp-sim.so: a test-only module with the functions of
 * icmp_api.h (the three of the contract, the optional extras, Icmp6CreateFile / Icmp6SendEcho2
 * and IcmpSendEchoEx) that answers from a script instead of the network, so that worker tests get
 * exact, fast and repeatable answers. Its requests wait for real (the scripted delays) and end at
 * once, as IP_REQ_CANCELLED, when their handle is closed or cancelled; once IcmpCloseHandle
 * returns, no completion of the handle runs any more (a completion must not close its own handle).
 * IcmpSendEchoEx runs each completion on a thread of its own when its answer or time-out falls
 * due (without a completion it waits, as IcmpSendEcho does);
 * Icmp6SendEcho2 is synchronous only, and its replies carry no data. A handle answers requests of
 * its own family only (others: IP_BAD_DESTINATION). The arguments are not checked as the real
 * module checks them (sizes, options): the request log shows what was asked.
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
 *     ttl          time-to-live (IPv6: hop limit) of the request: N, N-M, N-* or * for any. A
 *                  request without an option record counts as 64, the system default here.
 *     answer       address of the node that answers, of the destination's family, or "none"
 *                  for no answer.
 *     delay=       milliseconds until the answer, which is also its round trip. An answer whose
 *                  delay exceeds the request's time-out is not given: the request ends unanswered
 *                  after the time-out. For "none": unanswered after min(delay, time-out); without
 *                  delay= after the whole time-out. Default 0.
 *     ttl=         the reply's arriving time-to-live (IPv6: hop limit); default 64.
 *     status=      the reply's Status: success or host-unreachable. Default: success when the
 *                  answer is the destination, else ttl-expired. An echo reply (success) carries
 *                  the request's data back, an error none.
 *
 *   Lines with the same destination and ttl fields form a sequence: the n-th request that the
 *   sequence answers gets its n-th line, and the last line repeats. The first sequence (in the
 *   order of the script) whose fields match a request answers it; a request that none matches
 *   goes unanswered for the whole time-out. Sequence positions are shared by all handles and
 *   start again with each IcmpSimLoadScript.
 *
 *   create-fail <text>    makes every IcmpCreateFile and Icmp6CreateFile fail;
 *                         IcmpGetCreateError gives <text>, the rest of the line.
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
 * The module's own functions, found with dlsym:
 *
 *   int IcmpSimLoadScript(const char* text)
 *       Replaces the script and empties the request log. Returns 0, or the number of the first
 *       line that cannot be read (the script then ends before it). A null or empty text answers
 *       nothing.
 *   uint32_t IcmpSimRequestCount(void)
 *       How many requests were logged since the last IcmpSimLoadScript (at most 65536 are kept).
 *   int IcmpSimGetRequest(uint32_t index, IcmpSimRequest* out)
 *       Copies the index-th logged request (from 0) to *out; returns 1, or 0 past the end.
 */

#include "net/icmp/icmp_api.h"

/* One request (of any of the three sending functions) as the simulation saw it, logged when it
 * ended (an asynchronous one: just before its completion ran), or at once when refused. */
typedef struct icmp_sim_request {
    uint8_t Ttl;           /* of the option record; 64 when there was none */
    uint8_t HasOptions;    /* 1 when an option record was given */
    uint16_t RequestSize;  /* bytes */
    int16_t Fill;          /* the byte that fills the whole request data, or -1 (mixed, empty) */
    uint32_t ReplySize;    /* bytes; 0 for IcmpSendEchoEx */
    uint32_t Timeout;      /* milliseconds */
    uint32_t Status;       /* how it ended (IcmpGetLastStatus, the completion's Status) */
    uint32_t Asynchronous; /* 1 for a request with a completion */
} IcmpSimRequest;

typedef int (*PFN_IcmpSimLoadScript)(const char*);
typedef uint32_t (*PFN_IcmpSimRequestCount)(void);
typedef int (*PFN_IcmpSimGetRequest)(uint32_t, IcmpSimRequest*);
