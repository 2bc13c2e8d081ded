#include "net/sockets.h"

#include <ares.h>
#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
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

hostent* WsGetHostByName(const char* name) {
    hostent* host = gethostbyname(name);
    if (host == nullptr) {
        // h_errno 1 to 4 (HOST_NOT_FOUND, TRY_AGAIN, NO_RECOVERY, NO_DATA) are the sockets
        // layer's 11001 to 11004.
        WSASetLastError(h_errno >= HOST_NOT_FOUND && h_errno <= NO_DATA ? 11000 + h_errno
                                                                        : WSANO_RECOVERY);
    }
    return host;
}

int WsGetHostName(char* buffer, int size) {
    if (size <= 0 || gethostname(buffer, static_cast<size_t>(size)) != 0) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    buffer[size - 1] = '\0';
    return 0;
}
