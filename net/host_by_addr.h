#pragma once
// The blocking reverse lookup of the trace worker: an address's name (IPv4 or IPv6) from the
// hosts file, then DNS, on the calling thread with a c-ares channel of its own. Bounded in time,
// and interruptible from another thread, so that neither a silent DNS server nor the window's end
// waits for it. No Qt.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>

constexpr int kReverseLookupMs = 2000; // the most a hop's name may take

// The official name of address (network byte order), or false when it has none, the lookup
// failed, timeoutMs passed or *cancel became true (checked at least every 20 ms).
bool WsGetHostByAddr(uint32_t address, int timeoutMs, const std::atomic<bool>* cancel,
                     std::string* name);
// The same for an IPv6 address (ip6.arpa), with the same bounds.
bool WsGetHostByAddr(const in6_addr& address, int timeoutMs, const std::atomic<bool>* cancel,
                     std::string* name);
