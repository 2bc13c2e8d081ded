#pragma once
/*
 * The ICMP echo service: the C interface of the module sabrevin-icmp.so.
 *
 * The program does not link the module; it loads it at run time (net/icmp/icmp_binding.h) and
 * calls three functions, IcmpCreateFile, IcmpSendEcho and IcmpCloseHandle. A handle is one
 * ICMP socket of the calling run: a datagram ("ping") socket where the kernel admits the
 * user's group, else a raw socket where the process holds CAP_NET_RAW, else a raw socket that
 * the helper program sabrevin-icmp-helper opens with its file capability and hands over.
 * IcmpSendEcho sends one echo request and blocks until the first answer to exactly that request
 * (an echo reply, or a router's Time Exceeded or Destination Unreachable about it) or until the
 * time-out. Closing a handle from another thread wakes a waiting IcmpSendEcho at once.
 *
 * The test-only module sabrevin-icmp-sim.so offers the same functions and answers from a script
 * (net/icmp/icmp_sim.h). Everything here is plain C, usable from C and C++; all functions may be
 * called from any thread.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An IPv4 address, network byte order (as in struct in_addr). */
typedef uint32_t IPAddr;

/*
 * The handle of one echo run. It is an opaque token (slot and generation in a table of the
 * module), not a pointer to memory: a handle that has been closed is recognised as stale and
 * refused, so closing from another thread and closing twice are safe.
 */
typedef void* ICMP_HANDLE;

/* IcmpCreateFile's failure value: all bits set. */
#define ICMP_INVALID_HANDLE ((ICMP_HANDLE)(intptr_t)-1)
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ICMP_INVALID_HANDLE
#endif

/* The IP header options of a request. */
typedef struct ip_option_information {
    uint8_t Ttl;         /* time-to-live; 0 is refused (IP_BAD_OPTION) */
    uint8_t Tos;         /* type of service byte */
    uint8_t Flags;       /* IP_FLAG_DF or 0 */
    uint8_t OptionsSize; /* bytes at OptionsData, at most 40 */
    const uint8_t* OptionsData;
} IP_OPTION_INFORMATION;

#define IP_FLAG_DF 0x02 /* do not fragment */

/* The options of a reply, as the reply record holds them: no pointer, an offset instead. */
typedef struct ip_option_reply {
    uint8_t Ttl;            /* time-to-live with which the reply arrived */
    uint8_t Tos;            /* type of service byte of the reply */
    uint8_t Flags;          /* always 0 */
    uint8_t OptionsSize;    /* bytes of IP options of the reply copied into the buffer */
    uint32_t OptionsOffset; /* bytes from the start of the reply buffer; 0 if OptionsSize is 0 */
} IP_OPTION_REPLY;

/*
 * One reply record: 28 bytes on every architecture, because it holds offsets rather than
 * pointers (which would make it 40 bytes on 64 bits). The reply buffer holds one record followed
 * by the echoed data, so a buffer of 28 + request size bytes always suffices.
 */
typedef struct icmp_echo_reply {
    IPAddr Address;         /* node that answered, network byte order */
    uint32_t Status;        /* IP_SUCCESS or one of the IP_... codes below */
    uint32_t RoundTripTime; /* milliseconds, monotonic clock, rounded down (below 1 ms gives 0) */
    uint16_t DataSize;      /* bytes of echoed data; 0 for a router's error */
    uint16_t Reserved;      /* 0 */
    uint32_t DataOffset;    /* bytes from the start of the reply buffer to the echoed data (28) */
    IP_OPTION_REPLY Options;
} ICMP_ECHO_REPLY;

#ifdef __cplusplus
static_assert(sizeof(ICMP_ECHO_REPLY) == 28, "the reply record is 28 bytes");
#else
_Static_assert(sizeof(ICMP_ECHO_REPLY) == 28, "the reply record is 28 bytes");
#endif

/* Status codes of a reply record and of IcmpGetLastStatus; 0 is success, errors from 11001. */
enum {
    IP_SUCCESS = 0,
    IP_BUF_TOO_SMALL = 11001,
    IP_DEST_NET_UNREACHABLE = 11002,
    IP_DEST_HOST_UNREACHABLE = 11003,
    IP_DEST_PROT_UNREACHABLE = 11004,
    IP_DEST_PORT_UNREACHABLE = 11005,
    IP_NO_RESOURCES = 11006,
    IP_BAD_OPTION = 11007,
    IP_HW_ERROR = 11008,
    IP_PACKET_TOO_BIG = 11009,
    IP_REQ_TIMED_OUT = 11010,
    IP_BAD_REQ = 11011,
    IP_BAD_ROUTE = 11012,
    IP_TTL_EXPIRED_TRANSIT = 11013,
    IP_TTL_EXPIRED_REASSEM = 11014,
    IP_PARAM_PROBLEM = 11015,
    IP_SOURCE_QUENCH = 11016,
    IP_OPTION_TOO_BIG = 11017,
    IP_BAD_DESTINATION = 11018,
    IP_GENERAL_FAILURE = 11050,
    /* Our own: the handle was closed or cancelled while the request waited. */
    IP_REQ_CANCELLED = 11099
};

/* The largest echo data over IPv4: 65535 less the 20-byte IP and the 8-byte ICMP header. */
#define ICMP_MAX_DATA_SIZE 65507u

/* Socket kinds that IcmpGetSocketKind reports. */
enum {
    ICMP_SOCKET_NONE = 0,     /* not a live handle */
    ICMP_SOCKET_DGRAM = 1,    /* datagram ICMP ("ping") socket */
    ICMP_SOCKET_RAW = 2,      /* raw ICMP socket of the process itself */
    ICMP_SOCKET_HELPER = 3,   /* raw ICMP socket opened by sabrevin-icmp-helper */
    ICMP_SOCKET_SIMULATED = 4 /* the simulated network: no socket at all */
};

/* ---- The three functions of the contract ---- */

/*
 * Opens a handle for one run, or returns INVALID_HANDLE_VALUE; IcmpGetCreateError says why. A
 * socket that opens but cannot be set up counts as refused: the next kind is tried.
 */
ICMP_HANDLE IcmpCreateFile(void);

/*
 * Sends one echo request of RequestSize bytes from RequestData to DestinationAddress (network
 * byte order), with the time-to-live, type of service, DF flag and IP options of RequestOptions,
 * or the system's defaults when it is null. Blocks until the first answer to this request or
 * until Timeout milliseconds after the send; an answer received later than that counts as none,
 * so RoundTripTime never exceeds Timeout. Returns the number of reply records written: 1, the
 * first record filled and the echoed data after it; or 0, and then nothing is written at all.
 * A 0 comes with: no answer in time, the handle closed or cancelled meanwhile, a stale handle, a
 * ReplySize below 28 + RequestSize (IP_BUF_TOO_SMALL), a RequestSize above ICMP_MAX_DATA_SIZE,
 * or a local send error; IcmpGetLastStatus tells which. The buffer is never written past
 * ReplySize.
 */
uint32_t IcmpSendEcho(ICMP_HANDLE IcmpHandle, IPAddr DestinationAddress, const void* RequestData,
                      uint16_t RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                      void* ReplyBuffer, uint32_t ReplySize, uint32_t Timeout);

/*
 * Closes a handle; returns 1, or 0 for a stale or invalid handle. May be called from another
 * thread while IcmpSendEcho waits on the handle: that call then returns 0 within a few
 * milliseconds (status IP_REQ_CANCELLED) and the socket is released when it has left.
 */
int IcmpCloseHandle(ICMP_HANDLE IcmpHandle);

/* ---- Optional extras: the program looks them up but runs without them ---- */

/*
 * Why the calling thread's last IcmpCreateFile failed: what was refused and the two ways to
 * allow it. Copies at most size - 1 bytes and a terminator into buffer (if size > 0) and returns
 * the length of the whole text, as snprintf does; 0 when that call did not fail.
 */
uint32_t IcmpGetCreateError(char* buffer, uint32_t size);

/*
 * Interrupts the handle for good without closing it: a waiting IcmpSendEcho returns 0 within a
 * few milliseconds and every later one returns 0 at once; IcmpCloseHandle is still owed. Lets a
 * window end a worker's run at teardown while the worker keeps ownership of its handle.
 * Returns 1, or 0 for a stale or invalid handle.
 */
int IcmpCancelHandle(ICMP_HANDLE IcmpHandle);

/* The status of the calling thread's last IcmpSendEcho (IP_SUCCESS after a reply record). */
uint32_t IcmpGetLastStatus(void);

/*
 * The round-trip time of the calling thread's last answered IcmpSendEcho in microseconds, as
 * measured (RoundTripTime is this divided by 1000 and rounded down); 0 if it was not answered.
 */
uint64_t IcmpGetLastRoundTripMicroseconds(void);

/* Which kind of socket a handle holds (ICMP_SOCKET_...); for diagnostics and tests. */
int IcmpGetSocketKind(ICMP_HANDLE IcmpHandle);

/* ---- Function pointer types, for binding at run time ---- */
typedef ICMP_HANDLE (*PFN_IcmpCreateFile)(void);
typedef uint32_t (*PFN_IcmpSendEcho)(ICMP_HANDLE, IPAddr, const void*, uint16_t,
                                     const IP_OPTION_INFORMATION*, void*, uint32_t, uint32_t);
typedef int (*PFN_IcmpCloseHandle)(ICMP_HANDLE);
typedef uint32_t (*PFN_IcmpGetCreateError)(char*, uint32_t);
typedef int (*PFN_IcmpCancelHandle)(ICMP_HANDLE);

#ifdef __cplusplus
}
#endif
