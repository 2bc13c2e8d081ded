#include "net/host_by_addr.h"

#include "net/sockets.h"

#include <ares.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

namespace {

struct Outcome {
    bool done = false;
    bool found = false;
    std::string name;
};

void OnHost(void* arg, int status, int, hostent* host) {
    auto* out = static_cast<Outcome*>(arg);
    out->done = true;
    if (status == ARES_SUCCESS && host != nullptr && host->h_name != nullptr) {
        out->found = true;
        out->name = host->h_name;
        // From DNS, c-ares names the last pointer record and lists them all as aliases; the
        // first one is the name, as the system's resolver has it.
        const char* first = host->h_aliases != nullptr ? host->h_aliases[0] : nullptr;
        if (first != nullptr) {
            const char* last = first;
            for (char** a = host->h_aliases; *a != nullptr; ++a) {
                last = *a;
            }
            if (strcasecmp(last, host->h_name) == 0) {
                out->name = first;
            }
        }
    }
}

// addr: len bytes of family, network byte order.
bool ReverseLookup(const void* addr, int len, int family, int timeoutMs,
                   const std::atomic<bool>* cancel, std::string* name) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    ares_options options{};
    // Two tries fit the bound: c-ares doubles the time-out of the second.
    options.timeout = std::max(1, timeoutMs / 3);
    options.tries = 2;
    char filesThenDns[] = "fb";
    options.lookups = filesThenDns;
    ares_channel channel = nullptr;
    if (ares_init_options(&channel, &options,
                          ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_LOOKUPS) != ARES_SUCCESS) {
        return false;
    }
    const std::string servers = sockets_testing::DnsServers();
    if (!servers.empty()) {
        ares_set_servers_ports_csv(channel, servers.c_str());
    }
    Outcome out;
    ares_gethostbyaddr(channel, addr, len, family, &OnHost, &out);
    while (!out.done) {
        if (cancel != nullptr && cancel->load()) {
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        const int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
        pollfd fds[ARES_GETSOCK_MAXNUM];
        nfds_t n = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            const bool r = ARES_GETSOCK_READABLE(bits, i);
            const bool w = ARES_GETSOCK_WRITABLE(bits, i);
            if (r || w) {
                fds[n].fd = socks[i];
                fds[n].events = static_cast<short>((r ? POLLIN : 0) | (w ? POLLOUT : 0));
                fds[n].revents = 0;
                ++n;
            }
        }
        // Wake at least every 20 ms to see a cancel; never past the deadline.
        int wait = static_cast<int>(std::min<long long>(left, 20));
        timeval tv{};
        if (ares_timeout(channel, nullptr, &tv) != nullptr) {
            wait = std::min(wait, static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000));
        }
        const int ready = poll(fds, n, wait);
        if (ready > 0) {
            for (nfds_t i = 0; i < n && !out.done; ++i) {
                const ares_socket_t rfd = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0
                                              ? fds[i].fd
                                              : ARES_SOCKET_BAD;
                const ares_socket_t wfd =
                    (fds[i].revents & POLLOUT) != 0 ? fds[i].fd : ARES_SOCKET_BAD;
                if (rfd != ARES_SOCKET_BAD || wfd != ARES_SOCKET_BAD) {
                    ares_process_fd(channel, rfd, wfd);
                }
            }
        } else {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD); // time-outs
        }
    }
    const bool done = out.done; // ares_destroy calls the callback when it is still due
    ares_destroy(channel);
    if (done && out.found) {
        *name = out.name;
        return true;
    }
    return false;
}

} // namespace

bool WsGetHostByAddr(uint32_t address, int timeoutMs, const std::atomic<bool>* cancel,
                     std::string* name) {
    return ReverseLookup(&address, 4, AF_INET, timeoutMs, cancel, name);
}

bool WsGetHostByAddr(const in6_addr& address, int timeoutMs, const std::atomic<bool>* cancel,
                     std::string* name) {
    return ReverseLookup(&address, 16, AF_INET6, timeoutMs, cancel, name);
}
