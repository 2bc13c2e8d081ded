// Drives the real sabrevin-icmp-helper over its socket pair, one row of a table at a time, inside a
// network namespace of its own (netns_helper.sh): valid requests to 127.0.0.1 and ::1 come back
// answered with a round trip in microseconds; a request that breaks the protocol ends the helper
// with ICMP_HELPER_EXIT_REFUSED and sends no echo request at all (the namespace's IcmpOutEchos and
// Icmp6OutEchos counters stay put); more than ICMP_HELPER_MAX_IN_FLIGHT in flight is answered
// IP_NO_RESOURCES; the helper exits 0 when its peer closes, and 1 without a peer.
// Usage: icmp_helper_probe HELPER SILENT_IPV4   (SILENT_IPV4: an address that never answers)

#include "net/icmp/icmp_helper_proto.h"

#include "net/icmp/icmp_api.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* g_helper;
const char* g_silent;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) {
        ++g_failed;
    }
}

// Icmp OutEchos + Icmp6 OutEchos of this network namespace.
long EchosSent() {
    long total = 0;
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind("Icmp:", 0) != 0) {
            continue;
        }
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "OutEchos") {
                total += std::stol(value);
            }
        }
    }
    std::ifstream snmp6("/proc/net/snmp6");
    std::string name;
    long value;
    while (snmp6 >> name >> value) {
        if (name == "Icmp6OutEchos") {
            total += value;
        }
    }
    return total;
}

struct Helper {
    pid_t pid = -1;
    int fd = -1;

    // Starts the helper with its end on descriptor 3 (or nothing there) and an empty environment.
    bool Start(bool withPeer = true) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (withPeer) {
            posix_spawn_file_actions_adddup2(&actions, pair[1], ICMP_HELPER_FD);
        }
        char* argv[] = {const_cast<char*>(g_helper), nullptr};
        char* envp[] = {nullptr};
        int spawned = posix_spawn(&pid, g_helper, &actions, nullptr, argv, envp);
        posix_spawn_file_actions_destroy(&actions);
        close(pair[1]);
        fd = pair[0];
        return spawned == 0;
    }
    bool Receive(void* out, size_t size, int timeoutMs = 5000) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) {
            return false;
        }
        return recv(fd, out, size, MSG_DONTWAIT) == static_cast<ssize_t>(size);
    }
    bool Hello() {
        icmp_helper_hello h{};
        return Receive(&h, sizeof h) && h.magic == ICMP_HELPER_MAGIC && h.error4 == 0 &&
               h.error6 == 0;
    }
    bool Send(const std::vector<uint8_t>& packet) {
        return send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(packet.size());
    }
    // The exit status, or -1 for a signal, a stop or no exit within the time.
    int Wait(int timeoutMs = 5000) {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            int status = 0;
            pid_t got = waitpid(pid, &status, WNOHANG);
            if (got == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }
    ~Helper() {
        if (fd >= 0) {
            close(fd);
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

icmp_helper_request Request(uint32_t id, const char* address, uint16_t dataSize = 32,
                            uint32_t timeoutMs = 2000) {
    icmp_helper_request r{};
    r.magic = ICMP_HELPER_MAGIC;
    r.id = id;
    r.data_size = dataSize;
    r.timeout_ms = timeoutMs;
    if (inet_pton(AF_INET, address, r.address) == 1) {
        r.family = 4;
    } else {
        inet_pton(AF_INET6, address, r.address);
        r.family = 6;
    }
    return r;
}

std::vector<uint8_t> Packet(const icmp_helper_request& r, int extra = 0) {
    std::vector<uint8_t> p(sizeof r);
    std::memcpy(p.data(), &r, sizeof r);
    p.resize(sizeof r + size_t(std::max(0, int(r.data_size) + extra)), 0xAA);
    return p;
}

// Requests that break a rule: each ends a fresh helper, which must send nothing.
struct BadRow {
    const char* name;
    std::function<std::vector<uint8_t>()> packet;
};

const BadRow kBad[] = {
    {"unknown magic",
     [] {
         auto r = Request(1, "127.0.0.1");
         r.magic ^= 1;
         return Packet(r);
     }},
    {"shorter than a request header",
     [] {
         auto p = Packet(Request(1, "127.0.0.1"));
         p.resize(sizeof(icmp_helper_request) - 1);
         return p;
     }},
    {"data one byte longer than declared", [] { return Packet(Request(1, "127.0.0.1"), 1); }},
    {"data one byte shorter than declared", [] { return Packet(Request(1, "127.0.0.1"), -1); }},
    {"data size 7", [] { return Packet(Request(1, "127.0.0.1", 7)); }},
    {"data size 513", [] { return Packet(Request(1, "127.0.0.1", 513)); }},
    {"time-out 0", [] { return Packet(Request(1, "127.0.0.1", 32, 0)); }},
    {"time-out 60001 ms", [] { return Packet(Request(1, "127.0.0.1", 32, 60001)); }},
    {"family 5",
     [] {
         auto r = Request(1, "127.0.0.1");
         r.family = 5;
         return Packet(r);
     }},
    {"IPv4 address not zero-padded",
     [] {
         auto r = Request(1, "127.0.0.1");
         r.address[15] = 1;
         return Packet(r);
     }},
    {"IPv4 with a zone",
     [] {
         auto r = Request(1, "127.0.0.1");
         r.scope_id = 1;
         return Packet(r);
     }},
    {"0.0.0.0", [] { return Packet(Request(1, "0.0.0.0")); }},
    {"multicast 224.0.0.1", [] { return Packet(Request(1, "224.0.0.1")); }},
    {"broadcast 255.255.255.255", [] { return Packet(Request(1, "255.255.255.255")); }},
    {"unspecified ::", [] { return Packet(Request(1, "::")); }},
    {"multicast ff02::1", [] { return Packet(Request(1, "ff02::1")); }},
    {"IPv4-mapped ::ffff:127.0.0.1", [] { return Packet(Request(1, "::ffff:127.0.0.1")); }},
    {"a packet larger than any request", [] { return Packet(Request(1, "127.0.0.1", 512), 100); }},
    {"empty packet", [] { return std::vector<uint8_t>(); }},
};

void BadRequests() {
    for (const BadRow& row : kBad) {
        Helper h;
        if (!h.Start() || !h.Hello()) {
            Check(false, std::string("bad request, ") + row.name + ": helper says hello");
            continue;
        }
        const long before = EchosSent();
        const bool sent = h.Send(row.packet());
        const int status = h.Wait();
        Check(sent && status == ICMP_HELPER_EXIT_REFUSED && EchosSent() == before,
              std::string("bad request, ") + row.name + ": exit " + std::to_string(status) +
                  ", echo requests sent " + std::to_string(EchosSent() - before));
    }
}

// Valid requests to loopback: answered with the echo, a round trip in microseconds.
void Loopback() {
    Helper h;
    if (!h.Start() || !h.Hello()) {
        Check(false, "loopback: helper says hello");
        return;
    }
    const char* rows[][2] = {{"127.0.0.1", "IPv4"}, {"::1", "IPv6"}};
    uint32_t id = 100;
    for (auto& row : rows) {
        const long before = EchosSent();
        icmp_helper_answer a{};
        const bool ok = h.Send(Packet(Request(id, row[0]))) && h.Receive(&a, sizeof a);
        char sender[INET6_ADDRSTRLEN] = "";
        inet_ntop(a.family == 6 ? AF_INET6 : AF_INET, a.sender, sender, sizeof sender);
        Check(ok && a.magic == ICMP_HELPER_MAGIC && a.id == id && a.status == IP_SUCCESS &&
                  std::string(sender) == row[0] && a.data_size == 32 && a.ttl == 64 &&
                  a.round_trip_ns > 0 && a.round_trip_ns < 1000000000u && EchosSent() == before + 1,
              std::string("loopback ") + row[1] + ": status " + std::to_string(a.status) +
                  " from " + sender + ", ttl " + std::to_string(a.ttl) + ", " +
                  std::to_string(static_cast<double>(a.round_trip_ns) / 1000.0) +
                  " us, echo requests sent " + std::to_string(EchosSent() - before));
        ++id;
    }
    close(h.fd);
    h.fd = -1;
    Check(h.Wait() == 0, "the helper exits 0 when its peer closes");
}

// Up to the bound in flight to an address that never answers; one more is refused, not fatal;
// each in flight times out; a repeated id in flight ends the helper.
void Bounds() {
    Helper h;
    if (!h.Start() || !h.Hello()) {
        Check(false, "bounds: helper says hello");
        return;
    }
    bool sent = true;
    for (uint32_t id = 1; id <= ICMP_HELPER_MAX_IN_FLIGHT; ++id) {
        sent = sent && h.Send(Packet(Request(id, g_silent, 8, 300)));
    }
    icmp_helper_answer a{};
    sent = sent && h.Send(Packet(Request(9999, g_silent, 8, 300))) && h.Receive(&a, sizeof a);
    Check(sent && a.id == 9999 && a.status == IP_NO_RESOURCES,
          "one request over the bound is answered IP_NO_RESOURCES (" + std::to_string(a.status) +
              ")");
    int timedOut = 0;
    for (uint32_t i = 0; i < ICMP_HELPER_MAX_IN_FLIGHT; ++i) {
        if (h.Receive(&a, sizeof a, 3000) && a.status == IP_REQ_TIMED_OUT && a.round_trip_ns == 0) {
            ++timedOut;
        }
    }
    Check(timedOut == int(ICMP_HELPER_MAX_IN_FLIGHT),
          "every request in flight times out: " + std::to_string(timedOut));
    sent = h.Send(Packet(Request(7, g_silent, 8, 5000))) &&
           h.Send(Packet(Request(7, g_silent, 8, 5000)));
    Check(sent && h.Wait() == ICMP_HELPER_EXIT_REFUSED, "a repeated id in flight ends the helper");
}

void NoPeer() {
    Helper h;
    Check(h.Start(false) && h.Wait() == 1, "without descriptor 3 the helper exits 1");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s HELPER SILENT_IPV4\n", argv[0]);
        return 2;
    }
    g_helper = argv[1];
    g_silent = argv[2];
    signal(SIGPIPE, SIG_IGN);
    NoPeer();
    Loopback();
    BadRequests();
    Bounds();
    const int total = 7 + int(sizeof kBad / sizeof kBad[0]);
    std::printf("%d passed, %d failed\n", total - g_failed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
