// The client of the network tests: drives the echo module, or the helper alone, against the real
// kernel. netns_loopback.sh and test_lab.sh build the namespaces and run it there, as root or as
// nobody, once per socket kind (KIND: dgram, raw or helper, the kind IcmpCreateFile must pick):
//
//   icmp_net_probe loopback MODULE KIND SILENT
//   icmp_net_probe lab      MODULE KIND R1 R2 TARGET UNROUTABLE QUIET [SLOW OTHER]  (either family)
//   icmp_net_probe burst    MODULE KIND TARGET COUNT
//   icmp_net_probe refused  MODULE
//   icmp_net_probe fallback MODULE KIND|none
//   icmp_net_probe stalled  MODULE
//   icmp_net_probe helper   HELPER SILENT
//   icmp_net_probe respond  DELAY_MS SECONDS [decoys]
//
// SILENT and QUIET never answer; SLOW is where "respond" answers DELAY_MS late, after decoys that
// look like our answers but are not; OTHER is an address of the target that answers from TARGET.
// Prints one line per check; exits 1 if any failed.

#include "tests/icmp/icmp_test_support.h"

#include "net/icmp/icmp_helper_proto.h"
#include "net/icmp/icmp_packet.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

using namespace icmp_test;
using Clock = std::chrono::steady_clock;

namespace {

int g_failures = 0;
std::atomic<bool> g_failPingBind{false}; // while set, bind() fails on ping sockets

bool IsPingSocket(int fd) {
    int type = 0, protocol = 0;
    socklen_t n = sizeof type;
    getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &n);
    n = sizeof protocol;
    getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &n);
    return type == SOCK_DGRAM && protocol == IPPROTO_ICMP;
}

} // namespace

// Exported (ENABLE_EXPORTS), so the loaded module calls this bind(): a ping socket that opens but
// cannot be set up, for the fallback checks.
extern "C" int bind(int fd, const sockaddr* address, socklen_t length) noexcept {
    using Bind = int (*)(int, const sockaddr*, socklen_t);
    static const Bind next = reinterpret_cast<Bind>(dlsym(RTLD_NEXT, "bind"));
    if (g_failPingBind && IsPingSocket(fd)) {
        errno = EADDRINUSE;
        return -1;
    }
    return next(fd, address, length);
}

namespace {

bool Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    g_failures += ok ? 0 : 1;
    return ok;
}

int Done() {
    return g_failures == 0 ? 0 : 1;
}

int KindNumber(const std::string& kind) {
    return kind == "dgram"    ? ICMP_SOCKET_DGRAM
           : kind == "raw"    ? ICMP_SOCKET_RAW
           : kind == "helper" ? ICMP_SOCKET_HELPER
                              : ICMP_SOCKET_NONE;
}

// Descriptors open in this process (less the one reading the list).
int OpenDescriptors() {
    int count = -1;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(d)) {
            count += e->d_name[0] != '.' ? 1 : 0;
        }
        closedir(d);
    }
    return count;
}

// Raw sockets of this process: its socket inodes that /proc/net/raw or raw6 lists.
int RawSocketsHeld() {
    std::set<std::string> mine;
    DIR* d = opendir("/proc/self/fd");
    while (const dirent* e = d != nullptr ? readdir(d) : nullptr) {
        char target[64] = "";
        ssize_t n = readlink(("/proc/self/fd/" + std::string(e->d_name)).c_str(), target, 63);
        if (n > 9 && std::strncmp(target, "socket:[", 8) == 0) {
            mine.insert(std::string(target + 8, size_t(n) - 9));
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    int held = 0;
    for (const char* table : {"/proc/net/raw", "/proc/net/raw6"}) {
        std::ifstream f(table);
        std::string line, field;
        while (std::getline(f, line)) {
            std::istringstream s(line);
            for (int i = 0; i < 10 && s >> field; ++i) {
            }
            held += mine.count(field) > 0 ? 1 : 0;
        }
    }
    return held;
}

// A destination of either family, as IcmpSendEchoEx takes it.
struct Dest {
    sockaddr_in6 sa{}; // large enough for either; sin6_family tells which
    explicit Dest(const char* text) {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&sa);
        if (inet_pton(AF_INET, text, &in4->sin_addr) == 1) {
            in4->sin_family = AF_INET;
        } else {
            sa.sin6_family = AF_INET6;
            inet_pton(AF_INET6, text, &sa.sin6_addr);
        }
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&sa); }
    bool v6() const { return sa.sin6_family == AF_INET6; }
    IPAddr v4() const { return reinterpret_cast<const sockaddr_in*>(&sa)->sin_addr.s_addr; }
    bool Sent(const ICMP_ECHO_RESULT& r) const {
        return v6() ? std::memcmp(&r.Sender.Ipv6.sin6_addr, &sa.sin6_addr, 16) == 0
                    : r.Sender.Ipv4.sin_addr.s_addr == v4();
    }
};

std::string Describe(const ICMP_ECHO_RESULT& r) {
    char from[INET6_ADDRSTRLEN] = "";
    inet_ntop(int(r.Family),
              r.Family == AF_INET6 ? static_cast<const void*>(&r.Sender.Ipv6.sin6_addr)
                                   : &r.Sender.Ipv4.sin_addr,
              from, sizeof from);
    return std::string("from ") + from + " status " + std::to_string(r.Status) + " ttl " +
           std::to_string(r.Ttl) + " size " + std::to_string(r.DataSize) + " rtt " +
           std::to_string(r.RoundTripMicroseconds) + " us";
}

std::string Describe(uint32_t n, GuardedBuffer& b) {
    const ICMP_ECHO_REPLY& r = b.Reply();
    return n == 0 ? "no reply"
                  : "from " + Dotted(r.Address) + " status " + std::to_string(r.Status) + " ttl " +
                        std::to_string(r.Options.Ttl) + " rtt " + std::to_string(r.RoundTripTime);
}

// Completions of IcmpSendEchoEx, kept by request number, every call.
struct Completions {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::vector<ICMP_ECHO_RESULT>> results;
    size_t count = 0;
    std::vector<std::pair<Completions*, size_t>> contexts;
    explicit Completions(size_t n) : results(n) {
        for (size_t i = 0; i < n; ++i) {
            contexts.emplace_back(this, i);
        }
    }
    static void Done(void* context, const ICMP_ECHO_RESULT* result) {
        auto* c = static_cast<std::pair<Completions*, size_t>*>(context);
        std::lock_guard<std::mutex> guard(c->first->lock);
        c->first->results[c->second].push_back(*result);
        ++c->first->count;
        c->first->changed.notify_all();
    }
    bool WaitFor(size_t n, int ms) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return count >= n; });
    }
};

struct Probe {
    Module m;
    ICMP_HANDLE h = ICMP_INVALID_HANDLE;

    bool Open(const std::string& path, const std::string& kind, bool six = false) {
        std::string error;
        if (!Check(m.Load(path, &error), "load " + path + " " + error)) {
            return false;
        }
        h = six ? m.create6() : m.create();
        return Check(h != ICMP_INVALID_HANDLE && m.kind(h) == KindNumber(kind),
                     (six ? "Icmp6CreateFile" : "IcmpCreateFile") + std::string(" gives a ") +
                         kind + " handle " + (h == ICMP_INVALID_HANDLE ? m.CreateError() : ""));
    }

    // IcmpSendEcho with size bytes of 0xAA; the buffer's guards must hold, and a 0 write nothing.
    uint32_t Echo(IPAddr to, uint16_t size, const IP_OPTION_INFORMATION* o, GuardedBuffer& b,
                  uint32_t timeout, ICMP_HANDLE on = nullptr) {
        std::vector<uint8_t> data(size, 0xAA);
        b.Reset();
        uint32_t n =
            m.send(on != nullptr ? on : h, to, data.data(), size, o, b.data(), b.size(), timeout);
        if (!b.GuardsIntact() || (n == 0 && !b.Untouched())) {
            Check(false, "the reply buffer was written outside its bounds or after a 0");
        }
        return n;
    }

    // The echo reply from `from` with our size bytes of data, right after the record.
    bool IsEcho(uint32_t n, GuardedBuffer& b, IPAddr from, uint16_t size) {
        const ICMP_ECHO_REPLY& r = b.Reply();
        bool ok = n == 1 && r.Address == from && r.Status == IP_SUCCESS && r.DataSize == size &&
                  r.DataOffset == sizeof r;
        for (uint16_t i = 0; ok && i < size; ++i) {
            ok = *b.At(r.DataOffset + i) == 0xAA;
        }
        return ok;
    }

    // IcmpSendEchoEx without a completion: waits and fills the result.
    ICMP_ECHO_RESULT Ex(const Dest& to, uint8_t ttl, uint32_t timeout, ICMP_HANDLE on = nullptr) {
        const std::vector<uint8_t> data(32, 0xAA);
        IP_OPTION_INFORMATION o{};
        o.Ttl = ttl;
        ICMP_ECHO_RESULT r{};
        m.sendEx(on != nullptr ? on : h, to.get(), data.data(), 32, ttl != 0 ? &o : nullptr,
                 timeout, nullptr, &r);
        return r;
    }

    // One request per entry of ttls in flight at once on `on`, through IcmpSendEchoEx; their
    // results in that order once each completed exactly once (empty otherwise).
    std::vector<ICMP_ECHO_RESULT> InFlight(ICMP_HANDLE on, const Dest& to,
                                           const std::vector<uint8_t>& ttls, uint32_t timeout) {
        Completions c(ttls.size());
        std::vector<IP_OPTION_INFORMATION> options(ttls.size());
        const std::vector<uint8_t> data(32, 0xAA);
        size_t queued = 0;
        for (size_t i = 0; i < ttls.size(); ++i) {
            options[i].Ttl = ttls[i];
            queued += m.sendEx(on, to.get(), data.data(), 32, &options[i], timeout,
                               Completions::Done, &c.contexts[i]) == IP_SUCCESS;
        }
        if (queued != ttls.size() || !c.WaitFor(ttls.size(), int(timeout) + 2000)) {
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // room for a second call
        std::lock_guard<std::mutex> guard(c.lock);
        std::vector<ICMP_ECHO_RESULT> out;
        for (auto& list : c.results) {
            if (list.size() != 1) {
                return {};
            }
            out.push_back(list[0]);
        }
        return out;
    }
};

void Apc(void* context) {
    ++*static_cast<std::atomic<int>*>(context);
}

// Loopback through one socket kind: what IcmpSendEcho answers or refuses, IPv6, many in flight,
// time-outs and interruptions, and no descriptor left behind.
int Loopback(const std::string& path, const std::string& kind, const char* silentText) {
    Probe p;
    const int before = OpenDescriptors();
    if (!p.Open(path, kind)) {
        return 1;
    }
    const bool helper = kind == "helper";
    const IPAddr lo = Address("127.0.0.1");
    const IPAddr silent = Address(silentText);
    uint8_t rr[64] = {7, 39, 4}; // record route: room for nine addresses
    struct Row {
        const char* what;
        uint16_t size;
        uint32_t replySize; // 0: the record, the data and 40 bytes for options
        int ttl;            // -1: no option record
        uint8_t tos, optionsSize;
        uint32_t timeout, status, helperStatus; // IP_SUCCESS: an echo with the data
    };
    const Row rows[] = {
        {"no data", 0, 28, -1, 0, 0, 2000, IP_SUCCESS, IP_BAD_REQ},
        {"8 bytes, time-to-live 1", 8, 36, 1, 0, 0, 2000, IP_SUCCESS, IP_SUCCESS},
        {"512 bytes in a larger buffer", 512, 0, -1, 0, 0, 2000, IP_SUCCESS, IP_SUCCESS},
        {"1472 bytes", 1472, 1500, 64, 0, 0, 2000, IP_SUCCESS, IP_PACKET_TOO_BIG},
        {"65507 bytes", 65507, 28 + 65507, -1, 0, 0, 2000, IP_SUCCESS, IP_PACKET_TOO_BIG},
        {"type of service 0x10", 32, 60, 64, 0x10, 0, 2000, IP_SUCCESS, IP_BAD_OPTION},
        {"record route", 32, 100, 64, 0, 40, 2000, IP_SUCCESS, IP_BAD_OPTION},
        {"record route, no room for it", 32, 60, 64, 0, 40, 2000, IP_SUCCESS, IP_BAD_OPTION},
        {"reply buffer a byte short", 32, 59, -1, 0, 0, 2000, IP_BUF_TOO_SMALL, IP_BUF_TOO_SMALL},
        {"65508 bytes", 65508, 28 + 65508, -1, 0, 0, 2000, IP_PACKET_TOO_BIG, IP_PACKET_TOO_BIG},
        {"time-to-live 0", 32, 60, 0, 0, 0, 2000, IP_BAD_OPTION, IP_BAD_OPTION},
        {"41 bytes of IP options", 32, 60, 64, 0, 41, 2000, IP_OPTION_TOO_BIG, IP_OPTION_TOO_BIG},
        {"time-out 0", 32, 60, -1, 0, 0, 0, IP_REQ_TIMED_OUT, IP_REQ_TIMED_OUT},
    };
    for (const Row& row : rows) {
        GuardedBuffer b(row.replySize != 0 ? row.replySize : 28u + row.size + 40);
        IP_OPTION_INFORMATION o{};
        o.Ttl = uint8_t(row.ttl);
        o.Tos = row.tos;
        o.OptionsSize = row.optionsSize;
        o.OptionsData = rr;
        const auto start = Clock::now();
        uint32_t n = p.Echo(lo, row.size, row.ttl < 0 ? nullptr : &o, b, row.timeout);
        const uint32_t want = helper ? row.helperStatus : row.status;
        const ICMP_ECHO_REPLY& r = b.Reply();
        const uint64_t us = p.m.lastRoundTripUs();
        bool ok =
            want == IP_SUCCESS
                ? p.IsEcho(n, b, lo, row.size) && r.Options.Ttl == 64 &&
                      r.RoundTripTime == us / 1000 && us > 0 && r.Options.Tos == row.tos &&
                      (row.optionsSize == 0 ||
                       (row.replySize == 60 ? r.Options.OptionsSize == 0
                                            : r.Options.OptionsSize >= 3 &&
                                                  r.Options.OptionsOffset == 60 && *b.At(60) == 7))
                : n == 0 && p.m.lastStatus() == want && MillisecondsSince(start) < 100;
        Check(ok, std::string(row.what) + ": " + Describe(n, b) + " (status " +
                      std::to_string(p.m.lastStatus()) + ", " + std::to_string(us) + " us)");
    }
    {
        GuardedBuffer b(60);
        const std::vector<uint8_t> data(32, 0xAA);
        Check(p.m.send(p.h, lo, data.data(), 32, nullptr, nullptr, 60, 1000) == 0 &&
                  p.m.lastStatus() == IP_BAD_REQ &&
                  p.m.send(p.h, lo, nullptr, 32, nullptr, b.data(), b.size(), 1000) == 0 &&
                  p.m.lastStatus() == IP_BAD_REQ,
              "a null reply buffer or null data of size 32 is refused");
        const auto start = Clock::now();
        uint32_t n = p.Echo(silent, 32, nullptr, b, 200);
        const double ms = MillisecondsSince(start);
        Check(n == 0 && p.m.lastStatus() == IP_REQ_TIMED_OUT && ms >= 199 && ms < 350,
              "a silent address times out after 200 ms (" + std::to_string(ms) + " ms)");
    }
    // Closing or cancelling from another thread ends a waiting request at once, cancelled.
    for (int round = 0; round < 6; ++round) {
        ICMP_HANDLE h = p.m.create();
        std::atomic<uint32_t> result{99}, status{0};
        std::thread waiter([&] {
            GuardedBuffer b(60);
            result = p.Echo(silent, 32, nullptr, b, round < 3 ? 10000 : UINT32_MAX, h);
            status = p.m.lastStatus();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 7 * round));
        const auto start = Clock::now();
        round % 2 == 0 ? p.m.close(h) : p.m.cancel(h);
        waiter.join();
        Check(result == 0 && status == IP_REQ_CANCELLED && MillisecondsSince(start) < 100,
              std::string(round % 2 == 0 ? "IcmpCloseHandle" : "IcmpCancelHandle") +
                  " ends a waiting request within 100 ms (" +
                  std::to_string(MillisecondsSince(start)) + " ms)");
        GuardedBuffer b(60);
        Check(p.Echo(lo, 32, nullptr, b, 2000, h) == 0 && p.m.lastStatus() == IP_REQ_CANCELLED &&
                  p.m.close(h) == (round % 2) && p.m.close(h) == 0 &&
                  p.m.kind(h) == ICMP_SOCKET_NONE,
              "and the handle refuses requests, closes once, then is stale");
        ICMP_HANDLE again = p.m.create();
        Check(again != h && p.m.kind(h) == ICMP_SOCKET_NONE, "a reused slot is a new handle");
        p.m.close(again);
    }
    Check(p.m.close(nullptr) == 0 && p.m.close(reinterpret_cast<ICMP_HANDLE>(0x12345677)) == 0,
          "made-up handles are refused");

    // Many requests in flight on one handle, then closed with ten waiting on a silent address.
    const Dest lo4("127.0.0.1"), silent4(silentText), lo6("::1");
    {
        auto results = p.InFlight(p.h, lo4, std::vector<uint8_t>(40, 64), 2000);
        bool ok = results.size() == 40;
        for (const ICMP_ECHO_RESULT& r : results) {
            ok = ok && r.Status == IP_SUCCESS && r.Family == AF_INET && lo4.Sent(r) &&
                 r.DataSize == 32 && r.Ttl == 64 && r.Type == 0;
        }
        Check(ok, "40 requests in flight at once each complete once with their reply");
        Check(p.m.sendEx(p.h, lo6.get(), rr, 32, nullptr, 2000, Completions::Done, nullptr) ==
                  IP_BAD_DESTINATION,
              "an IPv6 destination on an IPv4 handle is refused");
        ICMP_HANDLE h = p.m.create();
        Completions c(10);
        for (auto& context : c.contexts) {
            p.m.sendEx(h, silent4.get(), rr, 32, nullptr, 10000, Completions::Done, &context);
        }
        const int held = RawSocketsHeld();
        Check(kind == "raw" ? held >= 1 : held == 0,
              "raw sockets in this process with requests in flight: " + std::to_string(held));
        const auto start = Clock::now();
        p.m.close(h);
        const double ms = MillisecondsSince(start);
        std::lock_guard<std::mutex> guard(c.lock);
        bool cancelled = c.count == 10;
        for (auto& list : c.results) {
            cancelled = cancelled && list.size() == 1 && list[0].Status == IP_REQ_CANCELLED;
        }
        Check(cancelled && ms < 100, "IcmpCloseHandle completes 10 requests in flight as "
                                     "cancelled before it returns");
    }
    // IPv6 over ::1: synchronous with a hop limit, a buffer a byte short, and with a routine.
    {
        ICMP_HANDLE h6 = p.m.create6();
        Check(p.m.kind(h6) == KindNumber(kind), "Icmp6CreateFile gives the same kind of handle");
        const std::vector<uint8_t> data(56, 0xAA);
        IP_OPTION_INFORMATION o{};
        o.Ttl = 1;
        GuardedBuffer b(sizeof(ICMPV6_ECHO_REPLY) + 56), small(sizeof(ICMPV6_ECHO_REPLY) + 55);
        uint32_t n = p.m.send6(h6, nullptr, nullptr, nullptr, nullptr, &lo6.sa, data.data(), 56, &o,
                               b.data(), b.size(), 2000);
        ICMPV6_ECHO_REPLY r{};
        std::memcpy(&r, b.data(), sizeof r);
        Check(n == 1 && b.GuardsIntact() && std::memcmp(b.At(sizeof r), data.data(), 56) == 0 &&
                  std::memcmp(r.Address.sin6_addr, &in6addr_loopback, 16) == 0 &&
                  r.Status == IP_SUCCESS && r.HopLimit == 64 && r.Type == 129 &&
                  r.RoundTripTime == r.RoundTripMicroseconds / 1000 &&
                  p.m.lastRoundTripUs() == r.RoundTripMicroseconds,
              "IPv6 echo to ::1 with hop limit 1: hop limit " + std::to_string(r.HopLimit) + ", " +
                  std::to_string(r.RoundTripMicroseconds) + " us");
        n = p.m.send6(h6, nullptr, nullptr, nullptr, nullptr, &lo6.sa, data.data(), 56, nullptr,
                      small.data(), small.size(), 2000);
        Check(n == 0 && p.m.lastStatus() == IP_BUF_TOO_SMALL && small.Untouched(),
              "an IPv6 reply buffer a byte short is refused");
        b.Reset();
        std::atomic<int> calls{0};
        PICMP6_APC_ROUTINE routine = Apc;
        void* apc = nullptr;
        std::memcpy(&apc, &routine, sizeof apc);
        n = p.m.send6(h6, nullptr, apc, &calls, nullptr, &lo6.sa, data.data(), 56, nullptr,
                      b.data(), b.size(), 2000);
        const uint32_t pending = p.m.lastStatus();
        for (auto start = Clock::now(); calls == 0 && MillisecondsSince(start) < 2000;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::memcpy(&r, b.data(), sizeof r);
        Check(n == 0 && pending == IP_PENDING && calls == 1 && r.Status == IP_SUCCESS &&
                  r.HopLimit == 64 && std::memcmp(b.At(sizeof r), data.data(), 56) == 0,
              "an asynchronous Icmp6SendEcho2 writes the record, then calls its routine once");
        p.m.close(h6);
    }
    p.m.close(p.h);
    const int after = OpenDescriptors();
    Check(before >= 0 && before == after, "no descriptor left open (" + std::to_string(before) +
                                              " before, " + std::to_string(after) + " after)");
    return Done();
}

// A trace at once: time-to-live 1 to 30 in flight together on one handle, each with its own
// answer: the routers' Time Exceeded, then the target's reply (arriving with 62 hops left).
void TraceInFlight(Probe& p, ICMP_HANDLE h, const std::vector<Dest>& hops) {
    std::vector<uint8_t> ttls;
    for (uint8_t t = 1; t <= 30; ++t) {
        ttls.push_back(t);
    }
    auto results = p.InFlight(h, hops[2], ttls, 2000);
    int bad = results.size() == ttls.size() ? 0 : 30;
    for (size_t i = 0; i < results.size(); ++i) {
        const ICMP_ECHO_RESULT& r = results[i];
        bad +=
            (i < 2 ? hops[i].Sent(r) && r.Status == IP_TTL_EXPIRED_TRANSIT && r.DataSize == 0 &&
                         r.Ttl == 64 - i
                   : hops[2].Sent(r) && r.Status == IP_SUCCESS && r.DataSize == 32 && r.Ttl == 62)
                ? 0
                : 1;
    }
    Check(bad == 0, "time-to-live 1 to 30 in flight at once each get their own answer (" +
                        std::to_string(bad) + " wrong)");
}

// The lab of routers, over IPv4 (args: R1 R2 TARGET UNROUTABLE QUIET SLOW OTHER) or IPv6 (the
// first five).
int Lab(const std::string& path, const std::string& kind, char** args, bool extras) {
    const std::vector<Dest> hops = {Dest(args[0]), Dest(args[1]), Dest(args[2])};
    const Dest unroutable(args[3]), quiet(args[4]);
    const bool six = hops[0].v6();
    Probe p;
    if (!p.Open(path, kind, six)) {
        return 1;
    }
    for (uint8_t ttl = 1; ttl <= 3; ++ttl) {
        const ICMP_ECHO_RESULT r = p.Ex(hops[2], ttl, 2000);
        Check(hops[ttl - 1].Sent(r) &&
                  (ttl < 3 ? r.Status == IP_TTL_EXPIRED_TRANSIT && r.Type == (six ? 3 : 11) &&
                                 r.Ttl == 65 - ttl
                           : r.Status == IP_SUCCESS && r.Type == (six ? 129 : 0) && r.Ttl == 62),
              "time-to-live " + std::to_string(ttl) + ": " + Describe(r));
    }
    TraceInFlight(p, p.h, hops);
    ICMP_ECHO_RESULT r = p.Ex(unroutable, 0, 2000);
    Check(hops[0].Sent(r) && r.Status == IP_DEST_NET_UNREACHABLE,
          "no route at the first router: " + Describe(r));
    auto start = Clock::now();
    r = p.Ex(quiet, 0, 300);
    double ms = MillisecondsSince(start);
    Check(r.Status == IP_REQ_TIMED_OUT && ms >= 299 && ms < 450,
          "a host that ignores echo requests times out (" + std::to_string(ms) + " ms)");
    if (!extras) {
        p.m.close(p.h);
        return Done();
    }
    const IPAddr target = hops[2].v4(), slow = Dest(args[5]).v4();
    GuardedBuffer b(28 + 32);
    IP_OPTION_INFORMATION o{};
    // A host answering from another address than the one asked: the reply is ours all the same,
    // from where it came, on a ping and on a trace's last hop.
    for (int ttl : {-1, 3}) {
        o.Ttl = uint8_t(ttl);
        uint32_t n = p.Echo(Dest(args[6]).v4(), 32, ttl < 0 ? nullptr : &o, b, 2000);
        Check(p.IsEcho(n, b, target, 32), "an echo reply from another address than asked (ttl " +
                                              std::to_string(ttl) + "): " + Describe(n, b));
    }
    // A request given up at once leaves its answer unread (on a ping socket the Time Exceeded
    // also sets the socket's pending error); the next request must get its own.
    for (uint8_t first : {uint8_t{3}, uint8_t{1}}) {
        o.Ttl = first;
        uint32_t n0 = p.Echo(target, 32, &o, b, 0);
        o.Ttl = uint8_t(4 - first);
        uint32_t n = p.Echo(target, 32, &o, b, 2000);
        Check(n0 == 0 && n == 1 && b.Reply().Address == hops[3 - first].v4(),
              "after a time-out of 0 the next request gets its own answer: " + Describe(n, b));
    }
    // The slow host answers 50 ms late, after decoys at once that answer someone else.
    uint32_t n = p.Echo(slow, 32, nullptr, b, 1000);
    Check(p.IsEcho(n, b, slow, 32) && b.Reply().RoundTripTime >= 50 && b.Reply().RoundTripTime < 90,
          "a reply 50 ms late, none of the decoys before it: " + Describe(n, b));
    uint32_t n0 = p.Echo(slow, 32, nullptr, b, 25);
    n = p.Echo(slow, 32, nullptr, b, 1000);
    Check(n0 == 0 && p.IsEcho(n, b, slow, 32) && b.Reply().RoundTripTime >= 45,
          "the late reply to a request given up is not the next one's: " + Describe(n, b));
    int late = 0;
    for (uint32_t timeout = 44; timeout <= 58; ++timeout) {
        n = p.Echo(slow, 32, nullptr, b, timeout);
        late += n == 1
                    ? p.m.lastRoundTripUs() > timeout * 1000ull || b.Reply().RoundTripTime > timeout
                    : p.m.lastStatus() != IP_REQ_TIMED_OUT;
    }
    Check(late == 0, "time-outs of 44 to 58 ms against 50 ms answers: none taken late");
    // Two traces in step on two handles: the same routers answer both at the same moment, with
    // the same size and data; only identifier and sequence tell them apart.
    ICMP_HANDLE second = p.m.create();
    std::barrier together(2);
    std::atomic<int> bad{0};
    auto trace = [&](ICMP_HANDLE h) {
        GuardedBuffer tb(28 + 32);
        IP_OPTION_INFORMATION to{};
        for (int i = 0; i < 30; ++i) {
            to.Ttl = uint8_t(1 + i % 3);
            together.arrive_and_wait();
            uint32_t got = p.Echo(target, 32, &to, tb, 2000, h);
            bad += got == 1 && tb.Reply().Address == hops[i % 3].v4() &&
                           tb.Reply().Status ==
                               (i % 3 < 2 ? uint32_t(IP_TTL_EXPIRED_TRANSIT) : uint32_t(IP_SUCCESS))
                       ? 0
                       : 1;
        }
    };
    std::thread one(trace, p.h), other(trace, second);
    one.join();
    other.join();
    Check(bad == 0, "two traces at once each get their own answers (" + std::to_string(bad.load()) +
                        " wrong)");
    p.m.close(second);
    p.m.close(p.h);
    return Done();
}

int Burst(const std::string& path, const std::string& kind, IPAddr target, int count) {
    Probe p;
    if (!p.Open(path, kind)) {
        return 1;
    }
    GuardedBuffer b(28 + 56);
    int good = 0;
    for (int i = 0; i < count; ++i) {
        good += p.IsEcho(p.Echo(target, 56, nullptr, b, 2000), b, target, 56) ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Check(good == count, std::to_string(good) + " of " + std::to_string(count) + " answered");
    p.m.close(p.h);
    return Done();
}

void SendIcmp(int fd, std::vector<uint8_t> icmp, const sockaddr_in& to) {
    icmp[2] = icmp[3] = 0;
    const uint16_t sum = icmp_checksum(icmp.data(), icmp.size());
    icmp[2] = uint8_t(sum >> 8);
    icmp[3] = uint8_t(sum);
    sendto(fd, icmp.data(), icmp.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Answers every echo request reaching this namespace delay_ms late, for `seconds` at most. With
// decoys, each first gets answers that differ from a true one in one field the module checks:
// echo replies with another identifier, sequence or data, and port unreachables quoting the
// request with another identifier, sequence or destination.
int Respond(int delayMs, int seconds, bool decoys) {
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (fd < 0) {
        std::perror("raw socket");
        return 1;
    }
    std::vector<uint8_t> packet(65536);
    for (auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end;) {
        pollfd pfd{fd, POLLIN, 0};
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = poll(&pfd, 1, 100) == 1 ? recvfrom(fd, packet.data(), packet.size(), 0,
                                                       reinterpret_cast<sockaddr*>(&from), &length)
                                            : 0;
        const size_t ihl = size_t(packet[0] & 0x0F) * 4;
        if (n < 28 || size_t(n) < ihl + 8 || packet[ihl] != ICMP_TYPE_ECHO_REQUEST) {
            continue;
        }
        std::vector<uint8_t> reply(packet.begin() + long(ihl), packet.begin() + n);
        reply[0] = ICMP_TYPE_ECHO_REPLY;
        for (size_t at : {size_t(5), size_t(7), reply.size() - 1}) {
            std::vector<uint8_t> decoy = reply; // another identifier, sequence, data
            decoy[at] ^= 0x01;
            decoys ? SendIcmp(fd, decoy, from) : void();
        }
        for (size_t at : {ihl + 5, ihl + 7, size_t(19)}) { // quoting the same, or destination
            std::vector<uint8_t> error = {ICMP_TYPE_DEST_UNREACH, 3, 0, 0, 0, 0, 0, 0};
            error.insert(error.end(), packet.begin(), packet.begin() + long(ihl) + 8);
            error[8 + at] ^= 0x01;
            decoys ? SendIcmp(fd, error, from) : void();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        SendIcmp(fd, reply, from);
    }
    close(fd);
    return 0;
}

int Refused(const std::string& path) {
    Module m;
    if (!Check(m.Load(path), "load " + path)) {
        return 1;
    }
    const int before = OpenDescriptors();
    bool none = true;
    for (int i = 0; i < 10; ++i) {
        none = none && m.create() == ICMP_INVALID_HANDLE;
    }
    const std::string why = m.CreateError(), dir = path.substr(0, path.rfind('/'));
    std::printf("     reason: %s\n", why.c_str());
    Check(none && before == OpenDescriptors(),
          "no ping socket and no capability: no handle, and no descriptor left open");
    Check(why.find("net.ipv4.ping_group_range") != std::string::npos &&
              why.find("CAP_NET_RAW") != std::string::npos &&
              why.find("setcap cap_net_raw+ep " + dir + "/sabrevin-icmp-helper") !=
                  std::string::npos,
          "the reason names both ways to allow it");
    char small[8];
    Check(m.createError(small, sizeof small) == why.size() && std::strlen(small) == 7,
          "the reason is cut to a small buffer");
    return Done();
}

// A ping socket that opens but cannot be set up gives way to `kind` (or to none at all).
int Fallback(const std::string& path, const std::string& kind) {
    Module m;
    if (!Check(m.Load(path), "load " + path)) {
        return 1;
    }
    ICMP_HANDLE h = m.create();
    Check(m.kind(h) == ICMP_SOCKET_DGRAM, "ping sockets are admitted here");
    m.close(h);
    g_failPingBind = true;
    const int before = OpenDescriptors();
    for (int i = 0; i < 10; ++i) {
        h = m.create();
        if (i == 0 && kind == "none") {
            Check(h == ICMP_INVALID_HANDLE &&
                      m.CreateError().find("a ping socket opened but could not be set up") !=
                          std::string::npos,
                  "no handle, and the reason says why: " + m.CreateError());
        } else if (i == 0) {
            GuardedBuffer b(60);
            std::vector<uint8_t> data(32, 0xAA);
            const IPAddr lo = Address("127.0.0.1");
            uint32_t n = m.send(h, lo, data.data(), 32, nullptr, b.data(), b.size(), 2000);
            Check(m.kind(h) == KindNumber(kind) && n == 1 && b.Reply().Address == lo,
                  "a " + kind + " socket instead, and it answers " + m.CreateError());
        }
        m.close(h);
    }
    Check(before == OpenDescriptors(), "the ping sockets that failed are all closed");
    return Done();
}

void Ignore(int) {}

// A helper that never answers is given up after 2 s, however many signals interrupt the wait.
int Stalled(const std::string& path) {
    Module m;
    if (!Check(m.Load(path), "load " + path)) {
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = Ignore; // no SA_RESTART: each signal interrupts the wait
    sigaction(SIGALRM, &action, nullptr);
    itimerval every{{0, 150000}, {0, 150000}}, stop{};
    const int before = OpenDescriptors();
    const auto start = Clock::now();
    setitimer(ITIMER_REAL, &every, nullptr);
    ICMP_HANDLE h = m.create();
    setitimer(ITIMER_REAL, &stop, nullptr);
    const double ms = MillisecondsSince(start);
    Check(h == ICMP_INVALID_HANDLE && ms >= 1900 && ms < 3500 &&
              m.CreateError().find("did not answer") != std::string::npos &&
              before == OpenDescriptors(),
          "a silent helper is given up after " + std::to_string(ms) + " ms: " + m.CreateError());
    return Done();
}

// ---- The helper alone, over its socket pair ----

// Icmp OutEchos + Icmp6 OutEchos of this namespace.
long EchosSent() {
    long total = 0;
    std::ifstream snmp("/proc/net/snmp"), snmp6("/proc/net/snmp6");
    std::string names, values, name;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        std::istringstream n(names), v(values);
        std::string value;
        while (names.rfind("Icmp:", 0) == 0 && n >> name && v >> value) {
            total += name == "OutEchos" ? std::stol(value) : 0;
        }
    }
    long value = 0;
    while (snmp6 >> name >> value) {
        total += name == "Icmp6OutEchos" ? value : 0;
    }
    return total;
}

struct Helper {
    pid_t pid = -1;
    int fd = -1;
    // Started with its end on descriptor 3 (or nothing there) and an empty environment.
    Helper(const char* path, bool withPeer = true) {
        int pair[2];
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (withPeer) {
            posix_spawn_file_actions_adddup2(&actions, pair[1], ICMP_HELPER_FD);
        }
        char* argv[] = {const_cast<char*>(path), nullptr};
        char* envp[] = {nullptr};
        posix_spawn(&pid, path, &actions, nullptr, argv, envp);
        posix_spawn_file_actions_destroy(&actions);
        close(pair[1]);
        fd = pair[0];
        icmp_helper_hello hello{};
        if (withPeer &&
            (!Receive(&hello, sizeof hello) || hello.error4 != 0 || hello.error6 != 0)) {
            Check(false, "the helper says hello with both sockets open");
        }
    }
    bool Receive(void* out, size_t size, int timeoutMs = 5000) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, timeoutMs) == 1 &&
               recv(fd, out, size, MSG_DONTWAIT) == static_cast<ssize_t>(size);
    }
    bool Send(const std::vector<uint8_t>& packet) {
        return send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size());
    }
    int Wait() { // the exit status, or -1
        for (int waited = 0; waited < 5000; waited += 10) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }
    ~Helper() {
        close(fd);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

std::vector<uint8_t> Request(uint32_t id, const char* address, uint16_t size = 32,
                             uint32_t timeoutMs = 2000, int extra = 0,
                             const std::function<void(icmp_helper_request&)>& change = {}) {
    icmp_helper_request r{};
    r.magic = ICMP_HELPER_MAGIC;
    r.id = id;
    r.data_size = size;
    r.timeout_ms = timeoutMs;
    r.family = inet_pton(AF_INET, address, r.address) == 1 ? 4 : 6;
    if (r.family == 6) {
        inet_pton(AF_INET6, address, r.address);
    }
    if (change) {
        change(r);
    }
    std::vector<uint8_t> p(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r + 1));
    p.resize(sizeof r + size_t(std::max(0, size + extra)), 0xAA);
    return p;
}

// Valid requests answered with a round trip in nanoseconds; a request that breaks the protocol
// ends the helper with nothing sent; more than its bound in flight is refused, not fatal.
int HelperAlone(const char* path, const char* silent) {
    signal(SIGPIPE, SIG_IGN);
    Check(Helper(path, false).Wait() == 1, "without descriptor 3 the helper exits 1");
    {
        Helper h(path);
        uint32_t id = 100;
        for (const char* to : {"127.0.0.1", "::1"}) {
            const long before = EchosSent();
            icmp_helper_answer a{};
            char sender[INET6_ADDRSTRLEN] = "";
            bool ok = h.Send(Request(id, to)) && h.Receive(&a, sizeof a);
            inet_ntop(a.family == 6 ? AF_INET6 : AF_INET, a.sender, sender, sizeof sender);
            Check(ok && a.magic == ICMP_HELPER_MAGIC && a.id == id++ && a.status == IP_SUCCESS &&
                      std::string(sender) == to && a.data_size == 32 && a.ttl == 64 &&
                      a.round_trip_ns > 0 && a.round_trip_ns < 1000000000u &&
                      EchosSent() == before + 1,
                  std::string("the helper answers an echo to ") + to);
        }
        close(h.fd);
        h.fd = -1;
        Check(h.Wait() == 0, "the helper exits 0 when its peer closes");
    }
    const std::pair<const char*, std::vector<uint8_t>> hostile[] = {
        {"unknown magic", Request(1, "127.0.0.1", 32, 2000, 0, [](auto& r) { r.magic ^= 1; })},
        {"a byte more than declared", Request(1, "127.0.0.1", 32, 2000, 1)},
        {"a header cut short",
         [] {
             auto p = Request(1, "127.0.0.1");
             p.resize(sizeof(icmp_helper_request) - 1);
             return p;
         }()},
        {"513 bytes of data", Request(1, "127.0.0.1", 513)},
        {"IPv4 with a zone", Request(1, "127.0.0.1", 32, 2000, 0, [](auto& r) { r.scope_id = 1; })},
        {"broadcast", Request(1, "255.255.255.255")},
        {"IPv4-mapped", Request(1, "::ffff:127.0.0.1")},
    };
    for (const auto& [what, packet] : hostile) {
        Helper h(path);
        const long before = EchosSent();
        const bool sent = h.Send(packet);
        const int status = h.Wait();
        Check(sent && status == ICMP_HELPER_EXIT_REFUSED && EchosSent() == before,
              std::string("hostile request, ") + what + ": exit " + std::to_string(status) +
                  ", echo requests sent " + std::to_string(EchosSent() - before));
    }
    Helper h(path);
    bool sent = true;
    for (uint32_t id = 1; id <= ICMP_HELPER_MAX_IN_FLIGHT; ++id) {
        sent = sent && h.Send(Request(id, silent, 8, 300));
    }
    icmp_helper_answer a{};
    Check(sent && h.Send(Request(9999, silent, 8, 300)) && h.Receive(&a, sizeof a) &&
              a.id == 9999 && a.status == IP_NO_RESOURCES,
          "one request over the bound is answered IP_NO_RESOURCES");
    uint32_t timedOut = 0;
    for (uint32_t i = 0; i < ICMP_HELPER_MAX_IN_FLIGHT; ++i) {
        timedOut +=
            h.Receive(&a, sizeof a, 3000) && a.status == IP_REQ_TIMED_OUT && a.round_trip_ns == 0;
    }
    Check(timedOut == ICMP_HELPER_MAX_IN_FLIGHT, "every request in flight times out");
    Check(h.Send(Request(7, silent, 8, 5000)) && h.Send(Request(7, silent, 8, 5000)) &&
              h.Wait() == ICMP_HELPER_EXIT_REFUSED,
          "a repeated id in flight ends the helper");
    return Done();
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "loopback" && argc == 5) {
        return Loopback(argv[2], argv[3], argv[4]);
    }
    if (mode == "lab" && (argc == 9 || argc == 11)) {
        return Lab(argv[2], argv[3], argv + 4, argc == 11);
    }
    if (mode == "burst" && argc == 6) {
        return Burst(argv[2], argv[3], Address(argv[4]), std::atoi(argv[5]));
    }
    if (mode == "refused" && argc == 3) {
        return Refused(argv[2]);
    }
    if (mode == "fallback" && argc == 4) {
        return Fallback(argv[2], argv[3]);
    }
    if (mode == "stalled" && argc == 3) {
        return Stalled(argv[2]);
    }
    if (mode == "helper" && argc == 4) {
        return HelperAlone(argv[2], argv[3]);
    }
    if (mode == "respond" && argc >= 4) {
        return Respond(std::atoi(argv[2]), std::atoi(argv[3]), argc == 5);
    }
    std::fprintf(stderr, "usage: see the top of icmp_net_probe.cpp\n");
    return 2;
}
