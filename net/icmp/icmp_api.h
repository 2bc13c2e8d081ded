#pragma once
/*
 * The ICMP echo service: the C interface of the module sabrevin-icmp.so.
 *
 * The program does not link the module; it loads it at run time (net/icmp/icmp_binding.h) and
 * calls three functions, IcmpCreateFile, IcmpSendEcho and IcmpCloseHandle, and where the module
 * has them the IPv6 pair Icmp6CreateFile / Icmp6SendEcho2 and the asynchronous IcmpSendEchoEx.
 *
 * A handle serves one address family (IcmpCreateFile: IPv4, Icmp6CreateFile: IPv6) through one
 * of three means, tried in this order: a datagram ("ping") socket where the kernel admits the
 * user's group; else a raw socket where the process holds CAP_NET_RAW; else the helper program
 * sabrevin-icmp-helper, which holds the raw sockets itself (file capability cap_net_raw) and
 * sends echo requests for the module over a socket pair, so that the program's process never
 * holds a raw socket. A handle holds many requests in flight at once, from any number of threads,
 * each matched to its own answer (an echo reply, or a router's Time Exceeded or Destination
 * Unreachable about exactly that request) and each with its own time-out. One thread of the
 * module per handle receives the answers and completes the requests; it ends with the handle.
 * Closing or cancelling a handle from another thread ends every waiting request at once.
 *
 * The test-only module sabrevin-icmp-sim.so offers the same functions and answers from a script
 * (net/icmp/icmp_sim.h). Everything here is plain C, usable from C and C++; all functions may be
 * called from any thread.
 */

#include <netinet/in.h>
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
    /* Our own: an asynchronous Icmp6SendEcho2 was queued; its routine follows. */
    IP_PENDING = 11098,
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
    ICMP_SOCKET_HELPER = 3,   /* sabrevin-icmp-helper's raw socket, through its socket pair */
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
 *
 * Through the helper (ICMP_SOCKET_HELPER) the helper's bounds apply: 8 to 512 bytes of data
 * (else IP_BAD_REQ below, IP_PACKET_TOO_BIG above), the time-to-live alone of RequestOptions
 * (a type of service, the DF flag or IP options give IP_BAD_OPTION), a wait of at most 60 s
 * (a longer Timeout is cut to that), unicast destinations only (IP_BAD_DESTINATION), and a
 * Timeout of 0 times out without sending. The socket kinds of the process take any request.
 */
uint32_t IcmpSendEcho(ICMP_HANDLE IcmpHandle, IPAddr DestinationAddress, const void* RequestData,
                      uint16_t RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                      void* ReplyBuffer, uint32_t ReplySize, uint32_t Timeout);

/*
 * Closes a handle; returns 1, or 0 for a stale or invalid handle. May be called from another
 * thread while requests wait on the handle: each synchronous one then returns 0 within a few
 * milliseconds (status IP_REQ_CANCELLED), each asynchronous one gets its completion with
 * IP_REQ_CANCELLED, and the socket (or the helper process) is released when the last call has
 * left. Once it returns, no completion of the handle runs any more (unless it was called from
 * one of them, on the module's thread).
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

/*
 * The status of the calling thread's last IcmpSendEcho or Icmp6SendEcho2 (IP_SUCCESS after a
 * reply record).
 */
uint32_t IcmpGetLastStatus(void);

/*
 * The round-trip time of the calling thread's last answered IcmpSendEcho in microseconds, as
 * measured (RoundTripTime is this divided by 1000 and rounded down); 0 if it was not answered.
 */
uint64_t IcmpGetLastRoundTripMicroseconds(void);

/* Which kind of socket a handle holds (ICMP_SOCKET_...); for diagnostics and tests. */
int IcmpGetSocketKind(ICMP_HANDLE IcmpHandle);

/* ---- Extensions: IPv6 and many requests in flight ---- */

/*
 * What became of one request, for IcmpSendEchoEx. Sender is the node that answered, as a
 * sockaddr_in or sockaddr_in6 of the handle's family (sin6_scope_id set for a link-local
 * sender); its family is set and its address zero when nothing answered.
 */
typedef struct icmp_echo_result {
    uint32_t
        Status; /* IP_SUCCESS for an echo reply, IP_TTL_EXPIRED_TRANSIT, IP_DEST_..._UNREACHABLE
                   etc. for a node's error, IP_REQ_TIMED_OUT, IP_REQ_CANCELLED, or a send
                   error found after queuing (through the helper) */
    uint32_t Family; /* AF_INET or AF_INET6, the handle's */
    union {
        struct sockaddr_in Ipv4;
        struct sockaddr_in6 Ipv6;
    } Sender;
    uint64_t RoundTripMicroseconds; /* from just before the send to the kernel's receive
                                       timestamp; never above the time-out; 0 when unanswered */
    uint8_t Ttl;                    /* time-to-live / hop limit with which the answer arrived */
    uint8_t Type;      /* ICMP or ICMPv6 type of the answer (0 / 129 for an echo reply) */
    uint8_t Code;      /* its code */
    uint8_t Tos;       /* type of service / traffic class of the answer */
    uint16_t DataSize; /* bytes echoed (the request's size); 0 for errors */
    uint16_t Reserved;
} ICMP_ECHO_RESULT;

/* Called exactly once per queued request, on the handle's thread of the module. */
typedef void (*PICMP_ECHO_COMPLETION)(void* Context, const ICMP_ECHO_RESULT* Result);

/*
 * Sends one echo request to Destination (a sockaddr_in on an IPv4 handle, a sockaddr_in6 on an
 * IPv6 one; sin6_scope_id for a link-local address), with RequestSize bytes from RequestData and
 * RequestOptions' Ttl (time-to-live / hop limit), Tos, DF flag and (IPv4 only) IP options, or the
 * system's defaults when it is null, waiting at most Timeout milliseconds for the answer.
 *
 * With a Completion, the call returns at once: IP_SUCCESS when the request is queued, and then
 * Completion(Context, result) follows exactly once, on the module's thread (a completion may send
 * further requests; its result lives for the call only); or a failure status (IP_BAD_REQ,
 * IP_BAD_DESTINATION, IP_BAD_OPTION, IP_NO_RESOURCES with too many in flight, IP_REQ_CANCELLED
 * for a closed, cancelled or stale handle, a send error's status) and no completion. Requests
 * in flight on one handle are bounded (256; 128 through the helper).
 * With Completion null, the call waits for the answer, fills *(ICMP_ECHO_RESULT*)Context when
 * Context is not null, and returns the result's Status (also on failure, when it fills the
 * Status and Family alone). A synchronous call from a completion of the same handle would wait
 * on itself: it is refused with IP_BAD_REQ.
 * The helper's bounds of IcmpSendEcho apply to this call too.
 */
uint32_t IcmpSendEchoEx(ICMP_HANDLE IcmpHandle, const struct sockaddr* Destination,
                        const void* RequestData, uint16_t RequestSize,
                        const IP_OPTION_INFORMATION* RequestOptions, uint32_t Timeout,
                        PICMP_ECHO_COMPLETION Completion, void* Context);

/* Opens an IPv6 handle (ICMPv6), as IcmpCreateFile does an IPv4 one; same failures. */
ICMP_HANDLE Icmp6CreateFile(void);

/* An IPv6 address as the reply record holds it: packed, 26 bytes. */
typedef struct ipv6_address_ex {
    uint16_t sin6_port;     /* 0 */
    uint32_t sin6_flowinfo; /* 0 */
    uint16_t sin6_addr[8];  /* the 16 address bytes, network byte order, as in struct in6_addr */
    uint32_t sin6_scope_id; /* zone of a link-local address, else 0 */
} __attribute__((packed)) IPV6_ADDRESS_EX;

/*
 * One IPv6 reply record: the platform's fields (Address, Status, RoundTripTime) and, past them,
 * ours. 48 bytes; the echoed data follows it in the reply buffer.
 */
typedef struct icmpv6_echo_reply {
    IPV6_ADDRESS_EX Address; /* node that answered */
    uint16_t Padding;        /* 0 */
    uint32_t Status;         /* IP_SUCCESS or IP_... */
    uint32_t RoundTripTime;  /* milliseconds, rounded down */
    /* Our extension: */
    uint8_t HopLimit;               /* hop limit with which the answer arrived */
    uint8_t Type, Code;             /* ICMPv6 type and code of the answer */
    uint8_t TrafficClass;           /* of the answer */
    uint64_t RoundTripMicroseconds; /* as measured; RoundTripTime is this / 1000 */
} ICMPV6_ECHO_REPLY;

#ifdef __cplusplus
static_assert(sizeof(IPV6_ADDRESS_EX) == 26, "the IPv6 address record is 26 bytes");
static_assert(sizeof(ICMPV6_ECHO_REPLY) == 48, "the IPv6 reply record is 48 bytes");
#else
_Static_assert(sizeof(IPV6_ADDRESS_EX) == 26, "the IPv6 address record is 26 bytes");
_Static_assert(sizeof(ICMPV6_ECHO_REPLY) == 48, "the IPv6 reply record is 48 bytes");
#endif

/* The largest echo data over IPv6: 65535 less the 8-byte ICMPv6 header. */
#define ICMP6_MAX_REQUEST_SIZE 65527u

/*
 * Icmp6SendEcho2's asynchronous routine: called once, on the module's thread, after the reply
 * record has been written (then always written, its Status telling the outcome).
 */
typedef void (*PICMP6_APC_ROUTINE)(void* ApcContext);

/*
 * Sends one ICMPv6 echo request on an IPv6 handle, as IcmpSendEcho does over IPv4. Event must be
 * null. SourceAddress may be null or the unspecified address (the system chooses the source);
 * any other is refused (IP_BAD_REQ). RequestOptions: Ttl is the hop limit, Tos the traffic class;
 * OptionsSize must be 0. The reply buffer needs room for one ICMPV6_ECHO_REPLY and RequestSize
 * bytes (else IP_BUF_TOO_SMALL).
 * ApcRoutine null: waits and returns the count of records written, 1 or 0 (nothing written;
 * IcmpGetLastStatus says why), exactly as IcmpSendEcho. ApcRoutine a PICMP6_APC_ROUTINE: returns
 * 0 at once with IcmpGetLastStatus IP_PENDING when queued, and the routine follows once the
 * record is written (the buffers must live until then); any other status: refused, no routine.
 */
uint32_t Icmp6SendEcho2(ICMP_HANDLE IcmpHandle, void* Event, void* ApcRoutine, void* ApcContext,
                        const struct sockaddr_in6* SourceAddress,
                        const struct sockaddr_in6* DestinationAddress, const void* RequestData,
                        uint16_t RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                        void* ReplyBuffer, uint32_t ReplySize, uint32_t Timeout);

/* ---- Function pointer types, for binding at run time ---- */
typedef ICMP_HANDLE (*PFN_IcmpCreateFile)(void);
typedef uint32_t (*PFN_IcmpSendEcho)(ICMP_HANDLE, IPAddr, const void*, uint16_t,
                                     const IP_OPTION_INFORMATION*, void*, uint32_t, uint32_t);
typedef int (*PFN_IcmpCloseHandle)(ICMP_HANDLE);
typedef uint32_t (*PFN_IcmpGetCreateError)(char*, uint32_t);
typedef int (*PFN_IcmpCancelHandle)(ICMP_HANDLE);
typedef uint32_t (*PFN_IcmpSendEchoEx)(ICMP_HANDLE, const struct sockaddr*, const void*, uint16_t,
                                       const IP_OPTION_INFORMATION*, uint32_t,
                                       PICMP_ECHO_COMPLETION, void*);
typedef ICMP_HANDLE (*PFN_Icmp6CreateFile)(void);
typedef uint32_t (*PFN_Icmp6SendEcho2)(ICMP_HANDLE, void*, void*, void*, const struct sockaddr_in6*,
                                       const struct sockaddr_in6*, const void*, uint16_t,
                                       const IP_OPTION_INFORMATION*, void*, uint32_t, uint32_t);

#ifdef __cplusplus
}
#endif
