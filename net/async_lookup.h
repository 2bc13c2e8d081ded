#pragma once
// Asynchronous host lookups, by name and by address, on c-ares. Each request has a channel of
// its own (c-ares cancels per channel), driven from the event loop of the thread that made it
// (the GUI thread): socket notifiers for its sockets and timers for its time-outs, no thread of
// its own. On completion the request's message goes to its target as a CMessageEvent with
// wParam = the request's handle and lParam = buffer length (low word) and error (high word);
// on success the caller's buffer holds a hostent whose names and addresses lie in the same
// buffer.
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

#include <cstdint>

using HANDLE = uintptr_t; // a request's task handle; 0 is no request

constexpr int kLookupTryTimeoutMs = 2000; // first try; c-ares doubles it on each retry
constexpr int kLookupTries = 2;
constexpr int kLookupDeadlineMs = 9000; // the most a lookup may take, all servers and tries

// Returns the request's handle, unique for the life of the process, or 0 when refused (the
// reason then in WSAGetLastError).
HANDLE WSAAsyncGetHostByName(QObject* hWnd, UINT wMsg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(QObject* hWnd, UINT wMsg, const char* addr, int len, int type,
                             char* buf, int buflen);
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
