#pragma once
// Asynchronous host lookups, by name and by address, on c-ares. Each request has a channel of
// its own (c-ares cancels per channel), driven from the event loop of the thread that made it
// (the GUI thread): socket notifiers for its sockets and timers for its time-outs, no thread of
// its own. On completion the request's message goes to its target as a CMessageEvent with
// wParam = the request's handle and lParam = buffer length (low word) and error (high word);
// on success the caller's buffer holds a hostent whose names and addresses lie in the same
// buffer.
//
// Both address families: a name with an IPv4 address gives an AF_INET hostent (h_length 4,
// h_addr_list its IPv4 addresses in record order), a name with IPv6 addresses only an
// AF_INET6 one (h_length 16, h_addr_list its IPv6 addresses); HostEntIpv6 gives the IPv6
// addresses of either. A name with neither is WSANO_DATA. Everything counts against the
// buffer: a result that does not fit is WSAENOBUFS, with the length it would need.
//
// Names are looked up in the hosts file first (its first name is the official one, its other
// names the aliases), then in the DNS servers of resolv.conf. A DNS answer's official name is
// the name that owns the addresses at the end of any alias chain; the chain's other names are
// the aliases; a numeric name is its own official name. A reverse lookup's official name is
// the first pointer record of the answer, its other pointer records the aliases. A lookup
// gives up after kLookupDeadlineMs with WSATRY_AGAIN.
//
// After WSACancelAsyncRequest no completion of that request is ever delivered. Links Qt Core.

#include "net/message_event.h"

#include <QObject>

#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>

using HANDLE = uintptr_t; // a request's task handle; 0 is no request

constexpr int kLookupTryTimeoutMs = 2000; // first try; c-ares doubles it on each retry
constexpr int kLookupTries = 2;
constexpr int kLookupDeadlineMs = 9000; // the most a lookup may take, all servers and tries

// Returns the request's handle, unique for the life of the process, or 0 when refused (the
// reason then in WSAGetLastError).
HANDLE WSAAsyncGetHostByName(QObject* hWnd, UINT wMsg, const char* name, char* buf, int buflen);
// addr: 4 bytes with type AF_INET (in-addr.arpa) or 16 bytes with AF_INET6 (ip6.arpa), network
// byte order. The hostent is of that family, with addr as its one address.
HANDLE WSAAsyncGetHostByAddr(QObject* hWnd, UINT wMsg, const char* addr, int len, int type,
                             char* buf, int buflen);
// The IPv6 addresses (network byte order, record order) of a hostent that one of these lookups
// laid into a buffer, as a list ended by a null entry: h_addr_list itself for an AF_INET6
// hostent; for an AF_INET one the list that the buffer holds right after h_addr_list's null
// entry (empty when the name has none). Only for hostents laid by these lookups.
const in6_addr* const* HostEntIpv6(const hostent* host);
// The system resolver's gethostbyname of name (glibc: it follows nsswitch, so the hosts file,
// myhostname and DNS as resolv.conf sets them), for the Local Info page. It completes like the
// lookups above; glibc cannot interrupt a lookup, so it runs on a detached thread that nothing
// ever waits for, and past timeoutMs the request completes with WSATRY_AGAIN. A hosts-file
// answer is taken before this returns (it waits less than a frame for one); it is delivered
// from the event loop all the same.
HANDLE WsAsyncGetHostByNameSystem(QObject* hWnd, UINT wMsg, const char* name, char* buf, int buflen,
                                  int timeoutMs);
// Cancels one request: its completion is never delivered, also when already due. Returns 0,
// or -1 when the handle names no outstanding request.
int WSACancelAsyncRequest(HANDLE hAsyncTaskHandle);
// Cancels every request whose completion would go to hWnd; for teardown.
void WSACancelAllAsyncRequests(QObject* hWnd);
// Requests not yet delivered or cancelled.
int WSAOutstandingAsyncRequests();
