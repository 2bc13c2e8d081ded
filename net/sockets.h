#pragma once
// The sockets layer: what the program expects of a Windows Sockets 1.1 stack, offered on
// glibc and c-ares. This header holds its start-up; the lookups join it as they are built.
// Nothing here links Qt Widgets.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

// Filled by AfxSocketInit; the Local Info page shows it.
struct WSADATA {
    uint16_t wVersion = 0;     // low byte major, high byte minor
    uint16_t wHighVersion = 0; // same layout
    char szDescription[WSADESCRIPTION_LEN + 1] = {};
    char szSystemStatus[WSASYS_STATUS_LEN + 1] = {};
    uint16_t iMaxSockets = 0; // sockets one process may hold open
    uint16_t iMaxUdpDg = 0;   // largest UDP payload, bytes
};

constexpr uint16_t MakeWord(uint8_t low, uint8_t high) {
    return static_cast<uint16_t>(low | (high << 8));
}

// Starts the layer (the resolver library first) and fills *data. Returns false when the layer
// cannot be used; *data is then left zeroed. May be called again (Refresh does).
bool AfxSocketInit(WSADATA* data);

namespace sockets_testing {
// Makes every later AfxSocketInit fail as a broken resolver library would, until reset.
void SetStartupFault(bool fail);
// DNS servers for the lookups made from now on ("a.b.c.d[,...]"), in place of resolv.conf's;
// null or empty for resolv.conf again. Any thread.
void SetDnsServers(const char* csv);
std::string DnsServers();
// The name WsGetHostName gives from now on, in place of the machine's; null for the
// machine's again.
void SetHostName(const char* name);
} // namespace sockets_testing

// ---- Error codes and the calling thread's last one ----

constexpr int WSAEINVAL = 10022;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAHOST_NOT_FOUND = 11001; // the name does not exist
constexpr int WSATRY_AGAIN = 11002;      // no answer, refused connection or server failure
constexpr int WSANO_RECOVERY = 11003;    // the query was refused, malformed or not implemented
constexpr int WSANO_DATA = 11004;        // the name exists but has no address

constexpr int MAXGETHOSTSTRUCT = 1024; // bytes of a host-entry buffer

int WSAGetLastError();
void WSASetLastError(int code);

// The system resolver's gethostbyname (glibc, following nsswitch), safe on any thread: 0 with
// the official name and the IPv4 addresses (network byte order) in the resolver's order, or
// the error, 11001 to 11004 from the resolver's h_errno. Blocks for as long as the resolver
// does.
int WsGetHostByNameR(const char* name, std::string* officialName, std::vector<uint32_t>* addresses);
// The local host's name into buffer (size bytes, terminated); 0 on success, else -1 with the
// error for WSAGetLastError.
int WsGetHostName(char* buffer, int size);

// Recognises text as an IPv6 address literal ("2001:db8::1", "::1", "fe80::1%eth0"), as a
// dotted address is recognised by inet_addr: the whole text is the address, optionally
// followed by '%' and a zone, which is an interface name (if_nametoindex) or its index in
// decimal. Fills *out (AF_INET6, the address in network byte order, the zone as sin6_scope_id,
// port 0) and returns true; anything else (a name, a dotted IPv4 address, brackets, spaces, an
// unknown zone) is false and leaves *out alone.
bool ParseIpv6Literal(const char* text, sockaddr_in6* out);
