#include "net/sockets.h"

#include <ares.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
std::atomic<bool> g_startupFault{false};

// The largest UDP payload over IPv4: 65535 less the 20-byte IP and 8-byte UDP headers.
constexpr uint16_t kMaxUdpPayload = 65507;

uint16_t MaxSocketsFromLimit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) {
        return 65535;
    }
    return static_cast<uint16_t>(std::min<rlim_t>(lim.rlim_cur, 65535));
}
} // namespace

bool AfxSocketInit(WSADATA* data) {
    *data = WSADATA{};
    if (g_startupFault.load()) {
        return false;
    }
    // ares_library_init is reference counted; one count is held for the life of the process.
    static const int aresStatus = ares_library_init(ARES_LIB_INIT_ALL);
    if (aresStatus != ARES_SUCCESS) {
        return false;
    }
    data->wVersion = MakeWord(1, 1);
    data->wHighVersion = MakeWord(2, 2);
    std::snprintf(data->szDescription, sizeof data->szDescription,
                  "Sabrevin sockets layer %s on glibc and c-ares %s", SABREVIN_VERSION,
                  ares_version(nullptr));
    // A true status: whether the resolver found DNS servers to ask.
    int servers = 0;
    ares_channel probe = nullptr;
    if (ares_init(&probe) == ARES_SUCCESS) {
        ares_addr_node* list = nullptr;
        if (ares_get_servers(probe, &list) == ARES_SUCCESS) {
            for (const ares_addr_node* n = list; n != nullptr; n = n->next) {
                ++servers;
            }
            ares_free_data(list);
        }
        ares_destroy(probe);
    }
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus,
                  "Running; the resolver asks %d DNS server%s", servers, servers == 1 ? "" : "s");
    data->iMaxSockets = MaxSocketsFromLimit();
    data->iMaxUdpDg = kMaxUdpPayload;
    return true;
}

namespace {
std::mutex g_serversLock;
std::string g_dnsServers; // guarded by g_serversLock
} // namespace

void sockets_testing::SetDnsServers(const char* csv) {
    const std::lock_guard<std::mutex> hold(g_serversLock);
    g_dnsServers = csv != nullptr ? csv : "";
}

std::string sockets_testing::DnsServers() {
    const std::lock_guard<std::mutex> hold(g_serversLock);
    return g_dnsServers;
}

void sockets_testing::SetStartupFault(bool fail) {
    g_startupFault.store(fail);
}

namespace {
thread_local int t_lastError = 0;
} // namespace

int WSAGetLastError() {
    return t_lastError;
}

void WSASetLastError(int code) {
    t_lastError = code;
}

int WsGetHostByNameR(const char* name, std::string* officialName,
                     std::vector<uint32_t>* addresses) {
    hostent entry{};
    hostent* host = nullptr;
    int herr = 0;
    std::vector<char> buffer(1024);
    int rc = 0;
    // glibc says ERANGE while the buffer is too small for the record; 1 MiB is past any sane one.
    while ((rc = gethostbyname_r(name, &entry, buffer.data(), buffer.size(), &host, &herr)) ==
               ERANGE &&
           buffer.size() < (1U << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || host == nullptr) {
        // h_errno 1 to 4 (HOST_NOT_FOUND, TRY_AGAIN, NO_RECOVERY, NO_DATA) are the sockets
        // layer's 11001 to 11004.
        return herr >= HOST_NOT_FOUND && herr <= NO_DATA ? 11000 + herr : WSANO_RECOVERY;
    }
    *officialName = host->h_name != nullptr ? host->h_name : "";
    addresses->clear();
    if (host->h_addrtype == AF_INET && host->h_length == 4) {
        for (char** p = host->h_addr_list; p != nullptr && *p != nullptr; ++p) {
            uint32_t address = 0;
            std::memcpy(&address, *p, 4);
            addresses->push_back(address);
        }
    }
    return 0;
}

namespace {
std::string g_hostName; // guarded by g_serversLock; empty: the machine's
} // namespace

void sockets_testing::SetHostName(const char* name) {
    const std::lock_guard<std::mutex> hold(g_serversLock);
    g_hostName = name != nullptr ? name : "";
}

int WsGetHostName(char* buffer, int size) {
    std::string forced;
    {
        const std::lock_guard<std::mutex> hold(g_serversLock);
        forced = g_hostName;
    }
    if (size > 0 && !forced.empty()) {
        std::snprintf(buffer, static_cast<size_t>(size), "%s", forced.c_str());
        return 0;
    }
    if (size <= 0 || gethostname(buffer, static_cast<size_t>(size)) != 0) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    buffer[size - 1] = '\0';
    return 0;
}

bool ParseIpv6Literal(const char* text, sockaddr_in6* out) {
    if (text == nullptr) {
        return false;
    }
    const char* percent = std::strchr(text, '%');
    const size_t addressLength = percent != nullptr ? size_t(percent - text) : std::strlen(text);
    char address[INET6_ADDRSTRLEN];
    if (addressLength == 0 || addressLength >= sizeof address) {
        return false;
    }
    std::memcpy(address, text, addressLength);
    address[addressLength] = '\0';
    sockaddr_in6 parsed{};
    parsed.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, address, &parsed.sin6_addr) != 1) {
        return false;
    }
    if (percent != nullptr) {
        const char* zone = percent + 1;
        unsigned index = if_nametoindex(zone);
        if (index == 0) {
            // Not an interface's name: its index, in decimal digits only.
            char* end = nullptr;
            errno = 0;
            const unsigned long number = std::strtoul(zone, &end, 10);
            const bool digits = *zone >= '0' && *zone <= '9' && *end == '\0';
            if (!digits || errno != 0 || number > UINT32_MAX) {
                return false;
            }
            index = static_cast<unsigned>(number);
        }
        parsed.sin6_scope_id = index;
    }
    *out = parsed;
    return true;
}
