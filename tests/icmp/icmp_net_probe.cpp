// The client side of the network tests: drives an echo module against real sockets. The scripts
// beside it (netns_loopback.sh, test_lab.sh) build the network namespaces and run this program
// inside them, as root or as an unprivileged user, once per socket kind:
//
//   icmp_net_probe loopback MODULE KIND SILENT
//   icmp_net_probe lab      MODULE KIND ROUTER1 ROUTER2 TARGET UNROUTABLE QUIET SLOW OTHER
//   icmp_net_probe lab6     MODULE KIND ROUTER1 ROUTER2 TARGET UNROUTABLE QUIET  (IPv6)
//   icmp_net_probe burst    MODULE KIND TARGET COUNT
//   icmp_net_probe refused  MODULE
//   icmp_net_probe fallback MODULE KIND
//   icmp_net_probe stalled  MODULE
//   icmp_net_probe respond  DELAY_MS SECONDS [decoys]
//
// KIND is dgram, raw or helper: the socket that IcmpCreateFile must choose there; for fallback
// the one it must fall back to when a ping socket opens but cannot be set up (or none, when
// nothing else is allowed either). "stalled" runs where the helper beside the module never
// answers. SILENT and QUIET are addresses that never answer; SLOW is a host whose kernel ignores
// echo requests and where "respond" answers each one DELAY_MS late (for SECONDS at most), with
// "decoys" after first sending answers that look like ours but are not. OTHER is an address of
// the target whose echo replies come from TARGET. Prints one line per check; exits 1 if any
// failed.

#include "tests/icmp/icmp_test_support.h"

#include "net/icmp/icmp_packet.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace icmp_test;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<int> g_failures{0};

// While set, bind() fails on ping sockets: how the fallback check makes a ping socket that opens
// fail its set-up (see bind below).
std::atomic<bool> g_failPingBind{false};

bool IsPingSocket(int fd) {
    int type = 0, protocol = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
        return false;
    }
    length = sizeof protocol;
    return getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 && type == SOCK_DGRAM &&
           protocol == IPPROTO_ICMP;
}

} // namespace

// The probe exports its symbols (ENABLE_EXPORTS), so this bind() is the one the loaded module
// calls; it passes everything on to the C library's, except ping sockets while g_failPingBind.
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

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) {
        ++g_failures;
    }
}

std::string Describe(uint32_t result, GuardedBuffer& buffer) {
    if (result == 0) {
        return "no reply";
    }
    const ICMP_ECHO_REPLY& r = buffer.Reply();
    return "from " + Dotted(r.Address) + " status " + std::to_string(r.Status) + " size " +
           std::to_string(r.DataSize) + " rtt " + std::to_string(r.RoundTripTime) + " ttl " +
           std::to_string(r.Options.Ttl);
}

int KindNumber(const std::string& kind) {
    return kind == "dgram"    ? ICMP_SOCKET_DGRAM
           : kind == "raw"    ? ICMP_SOCKET_RAW
           : kind == "helper" ? ICMP_SOCKET_HELPER
                              : ICMP_SOCKET_NONE;
}

// The descriptors this process has open, as /proc/self/fd lists them (less the one reading it).
int OpenDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* e = readdir(d)) {
        count += e->d_name[0] != '.' ? 1 : 0;
    }
    closedir(d);
    return count - 1;
}

// Opens and closes handles, with a request on some of them, and checks that the process holds
// exactly the descriptors it held before. Every handle must be of the expected kind.
void CheckNoDescriptorLeft(const Module& m, const std::string& kind, IPAddr to, int rounds) {
    const int before = OpenDescriptors();
    bool kindsOk = true, echoesOk = true;
    for (int i = 0; i < rounds; ++i) {
        ICMP_HANDLE h = m.create();
        kindsOk = kindsOk && h != ICMP_INVALID_HANDLE && m.kind(h) == KindNumber(kind);
        if (i % 2 == 0 && h != ICMP_INVALID_HANDLE) {
            GuardedBuffer buffer(28 + 8);
            uint8_t data[8] = {};
            echoesOk = echoesOk && m.send(h, to, data, sizeof data, nullptr, buffer.data(),
                                          buffer.size(), 2000) == 1;
        }
        m.close(h);
    }
    const int after = OpenDescriptors();
    Check(kindsOk && echoesOk && before >= 0 && before == after,
          "IcmpCreateFile and IcmpCloseHandle of " + std::to_string(rounds) + " " + kind +
              " handles leave no descriptor open (" + std::to_string(before) + " before, " +
              std::to_string(after) + " after)");
}

struct Probe {
    Module m;
    ICMP_HANDLE h = ICMP_INVALID_HANDLE;

    // One request with the data filled with fill; checks the buffer's guards whatever happens.
    uint32_t Echo(IPAddr to, uint16_t size, const IP_OPTION_INFORMATION* options,
                  GuardedBuffer& buffer, uint32_t timeout, uint8_t fill = 0xAA,
                  ICMP_HANDLE handle = nullptr) {
        std::vector<uint8_t> data(size, fill);
        buffer.Reset();
        uint32_t n = m.send(handle != nullptr ? handle : h, to, data.data(), size, options,
                            buffer.data(), buffer.size(), timeout);
        if (!buffer.GuardsIntact() || (n == 0 && !buffer.Untouched())) {
            Check(false, "the reply buffer was written outside its bounds or after a 0 result");
        }
        return n;
    }

    // An echo reply from `from` carrying `size` bytes of `fill`.
    bool IsEcho(uint32_t n, GuardedBuffer& buffer, IPAddr from, uint16_t size,
                uint8_t fill = 0xAA) {
        if (n != 1) {
            return false;
        }
        const ICMP_ECHO_REPLY& r = buffer.Reply();
        if (r.Address != from || r.Status != IP_SUCCESS || r.DataSize != size ||
            r.DataOffset != sizeof(ICMP_ECHO_REPLY)) {
            return false;
        }
        for (uint16_t i = 0; i < size; ++i) {
            if (*buffer.At(r.DataOffset + i) != fill) {
                return false;
            }
        }
        return true;
    }

    bool Open(const std::string& path, const std::string& kind) {
        std::string error;
        if (!m.Load(path, &error)) {
            Check(false, "load " + path + ": " + error);
            return false;
        }
        h = m.create();
        Check(h != ICMP_INVALID_HANDLE,
              "IcmpCreateFile gives a handle" +
                  (h == ICMP_INVALID_HANDLE ? ": " + m.CreateError() : std::string()));
        if (h == ICMP_INVALID_HANDLE) {
            return false;
        }
        Check(m.kind(h) == KindNumber(kind),
              "the handle holds a " + kind + " socket (kind " + std::to_string(m.kind(h)) + ")");
        return true;
    }
};

// A request that waits on a silent address is ended by `interrupt` from another thread.
void CheckInterrupt(Probe& p, IPAddr silent, uint32_t timeout, const std::string& how,
                    const std::function<void(ICMP_HANDLE)>& interrupt, int rounds) {
    double worst = 0;
    bool allZero = true;
    bool statusOk = true;
    for (int i = 0; i < rounds; ++i) {
        ICMP_HANDLE h = p.m.create();
        std::atomic<uint32_t> result{99};
        std::atomic<uint32_t> status{0};
        Clock::time_point interrupted{};
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            GuardedBuffer buffer(28 + 32);
            result = p.Echo(silent, 32, nullptr, buffer, timeout, 0xAA, h);
            status = p.m.lastStatus();
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 7 * i));
        interrupted = Clock::now();
        interrupt(h);
        waiter.join();
        worst = std::max(worst, MillisecondsSince(interrupted));
        allZero = allZero && result == 0;
        statusOk = statusOk && status == IP_REQ_CANCELLED;
        p.m.close(h); // harmless after a close: a stale handle is refused
    }
    Check(allZero && statusOk, how + " makes a waiting request return 0 (cancelled)");
    Check(worst < 100, how + " ends the wait within 100 ms (worst of " + std::to_string(rounds) +
                           ": " + std::to_string(worst) + " ms)");
}

// The socket inodes of this process that are raw sockets of its network namespace: those of
// /proc/self/fd that /proc/net/raw or /proc/net/raw6 lists (inode: the tenth field).
int RawSocketsHeld() {
    std::set<std::string> mine;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(d)) {
            char target[64] = "";
            std::string path = std::string("/proc/self/fd/") + e->d_name;
            ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            if (n > 9 && std::strncmp(target, "socket:[", 8) == 0) {
                mine.insert(std::string(target + 8, static_cast<size_t>(n) - 9));
            }
        }
        closedir(d);
    }
    int held = 0;
    for (const char* table : {"/proc/net/raw", "/proc/net/raw6"}) {
        FILE* f = std::fopen(table, "re");
        if (f == nullptr) {
            return -1;
        }
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            char inode[32] = "";
            if (std::sscanf(line, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %31s", inode) == 1 &&
                mine.count(inode) > 0) {
                ++held;
            }
        }
        std::fclose(f);
    }
    return held;
}

// Completions of IcmpSendEchoEx, collected for the thread that waits for them.
struct Completions {
    std::mutex lock;
    std::condition_variable changed;
    std::map<uintptr_t, std::vector<ICMP_ECHO_RESULT>> results; // by context, all calls kept
    size_t count = 0;

    static void Done(void* context, const ICMP_ECHO_RESULT* result) {
        auto* c = static_cast<std::pair<Completions*, uintptr_t>*>(context);
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

std::string Describe(const ICMP_ECHO_RESULT& r) {
    const std::string from = r.Family == AF_INET6 ? Text6(&r.Sender.Ipv6.sin6_addr)
                                                  : Dotted(r.Sender.Ipv4.sin_addr.s_addr);
    return "from " + from + " status " + std::to_string(r.Status) + " ttl " +
           std::to_string(r.Ttl) + " size " + std::to_string(r.DataSize) + " rtt " +
           std::to_string(r.RoundTripMicroseconds) + " us";
}

sockaddr_in To4(IPAddr a) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = a;
    return to;
}

sockaddr_in6 To6(const in6_addr& a) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = a;
    return to;
}

// Sends one request per entry of ttls at once through IcmpSendEchoEx on h, and waits for all
// completions; returns them in the order of ttls (empty when some never came).
std::vector<ICMP_ECHO_RESULT> InFlight(const Module& m, ICMP_HANDLE h, const sockaddr* to,
                                       const std::vector<uint8_t>& ttls, uint32_t timeout) {
    Completions c;
    std::vector<std::pair<Completions*, uintptr_t>> contexts;
    contexts.reserve(ttls.size());
    std::vector<IP_OPTION_INFORMATION> options(ttls.size());
    const std::vector<uint8_t> data(32, 0xAA);
    size_t queued = 0;
    for (size_t i = 0; i < ttls.size(); ++i) {
        contexts.emplace_back(&c, i);
        options[i].Ttl = ttls[i];
        queued += m.sendEx(h, to, data.data(), 32, &options[i], timeout, Completions::Done,
                           &contexts[i]) == IP_SUCCESS
                      ? 1
                      : 0;
    }
    std::vector<ICMP_ECHO_RESULT> out;
    if (queued != ttls.size() || !c.WaitFor(ttls.size(), int(timeout) + 2000)) {
        return out;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a second completion would come
    std::lock_guard<std::mutex> guard(c.lock);
    for (size_t i = 0; i < ttls.size(); ++i) {
        if (c.results[i].size() != 1) {
            return {};
        }
        out.push_back(c.results[i][0]);
    }
    return c.count == ttls.size() ? out : std::vector<ICMP_ECHO_RESULT>{};
}

void Apc(void* context) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

// The extensions over loopback: IPv6 through Icmp6SendEcho2, many requests in flight through
// IcmpSendEchoEx, and where the raw sockets are while a request is in flight.
void LoopbackExtensions(Probe& p, const std::string& kind, IPAddr silent) {
    const Module& m = p.m;
    if (!m.sendEx || !m.create6 || !m.send6) {
        Check(false, "the module offers IcmpSendEchoEx, Icmp6CreateFile and Icmp6SendEcho2");
        return;
    }
    const IPAddr lo = Address("127.0.0.1");
    const sockaddr_in lo4 = To4(lo);
    const sockaddr_in silent4 = To4(silent);
    {
        // A request in flight on a silent address: the process holds a raw socket only when it
        // has one of its own, never through the helper.
        ICMP_HANDLE h = m.create();
        Completions c;
        std::pair<Completions*, uintptr_t> context(&c, 0);
        const std::vector<uint8_t> data(32, 0xAA);
        uint32_t queued = m.sendEx(h, reinterpret_cast<const sockaddr*>(&silent4), data.data(), 32,
                                   nullptr, 300, Completions::Done, &context);
        const int held = RawSocketsHeld();
        const bool done = c.WaitFor(1, 2000);
        Check(queued == IP_SUCCESS && done && c.results[0].size() == 1 &&
                  c.results[0][0].Status == IP_REQ_TIMED_OUT &&
                  (kind == "raw" ? held >= 1 : held == 0),
              "raw sockets of this process while a request is in flight: " + std::to_string(held) +
                  (kind == "raw" ? " (its own)" : " (none)"));
        m.close(h);
    }
    {
        // 40 requests at once on one handle, each completed once with its own reply.
        ICMP_HANDLE h = m.create();
        std::vector<uint8_t> ttls(40, 64);
        auto results = InFlight(m, h, reinterpret_cast<const sockaddr*>(&lo4), ttls, 2000);
        bool ok = results.size() == ttls.size();
        for (const ICMP_ECHO_RESULT& r : results) {
            ok = ok && r.Status == IP_SUCCESS && r.Family == AF_INET &&
                 r.Sender.Ipv4.sin_family == AF_INET && r.Sender.Ipv4.sin_addr.s_addr == lo &&
                 r.DataSize == 32 && r.Ttl == 64 && r.Type == 0 &&
                 r.RoundTripMicroseconds < 2000000;
        }
        Check(ok, "40 requests in flight at once on one handle each complete once (" +
                      (results.empty() ? std::string("missing") : Describe(results.back())) + ")");
        // Synchronous form: Completion null fills the result.
        ICMP_ECHO_RESULT r{};
        const std::vector<uint8_t> data(32, 0xAA);
        uint32_t status = m.sendEx(h, reinterpret_cast<const sockaddr*>(&lo4), data.data(), 32,
                                   nullptr, 2000, nullptr, &r);
        Check(status == IP_SUCCESS && r.Status == IP_SUCCESS && r.Sender.Ipv4.sin_addr.s_addr == lo,
              "IcmpSendEchoEx without a completion waits and fills the result: " + Describe(r));
        const sockaddr_in6 lo6 = To6(in6addr_loopback);
        status = m.sendEx(h, reinterpret_cast<const sockaddr*>(&lo6), data.data(), 32, nullptr,
                          2000, Completions::Done, nullptr);
        Check(status == IP_BAD_DESTINATION, "an IPv6 destination on an IPv4 handle is refused");
        // Close with requests in flight: each completes cancelled before the close returns.
        Completions c;
        std::vector<std::pair<Completions*, uintptr_t>> contexts;
        for (uintptr_t i = 0; i < 10; ++i) {
            contexts.emplace_back(&c, i);
        }
        for (auto& context : contexts) {
            m.sendEx(h, reinterpret_cast<const sockaddr*>(&silent4), data.data(), 32, nullptr,
                     10000, Completions::Done, &context);
        }
        auto start = Clock::now();
        m.close(h);
        const double ms = MillisecondsSince(start);
        std::lock_guard<std::mutex> guard(c.lock);
        bool cancelled = c.count == 10;
        for (auto& [context, list] : c.results) {
            cancelled = cancelled && list.size() == 1 && list[0].Status == IP_REQ_CANCELLED;
        }
        Check(cancelled && ms < 100, "IcmpCloseHandle completes 10 requests in flight as "
                                     "cancelled before it returns (" +
                                         std::to_string(ms) + " ms)");
    }
    {
        // IPv6 over ::1, synchronous and asynchronous, in the platform's record.
        ICMP_HANDLE h6 = m.create6();
        Check(h6 != ICMP_INVALID_HANDLE && m.kind(h6) == KindNumber(kind),
              "Icmp6CreateFile gives a handle of the same kind (kind " +
                  std::to_string(h6 != ICMP_INVALID_HANDLE ? m.kind(h6) : 0) + ")" +
                  (h6 == ICMP_INVALID_HANDLE ? ": " + m.CreateError() : std::string()));
        const sockaddr_in6 lo6 = To6(in6addr_loopback);
        const sockaddr_in6 any = To6(in6addr_any);
        const std::vector<uint8_t> data(56, 0xAA);
        for (uint8_t hops : {uint8_t{0}, uint8_t{1}}) {
            GuardedBuffer buffer(sizeof(ICMPV6_ECHO_REPLY) + 56);
            IP_OPTION_INFORMATION o{};
            o.Ttl = hops;
            uint32_t n = m.send6(h6, nullptr, nullptr, nullptr, &any, &lo6, data.data(), 56,
                                 hops != 0 ? &o : nullptr, buffer.data(), buffer.size(), 2000);
            ICMPV6_ECHO_REPLY r{};
            std::memcpy(&r, buffer.data(), sizeof r);
            bool echoed = n == 1 && std::memcmp(buffer.At(sizeof r), data.data(), 56) == 0;
            Check(echoed && buffer.GuardsIntact() &&
                      std::memcmp(r.Address.sin6_addr, &in6addr_loopback, 16) == 0 &&
                      r.Status == IP_SUCCESS && r.HopLimit == 64 && r.Type == 129 &&
                      r.RoundTripTime == r.RoundTripMicroseconds / 1000 &&
                      m.lastRoundTripUs() == r.RoundTripMicroseconds,
                  "IPv6 echo to ::1" + std::string(hops != 0 ? " with hop limit 1" : "") +
                      ": status " + std::to_string(r.Status) + " hop limit " +
                      std::to_string(r.HopLimit) + " rtt " +
                      std::to_string(r.RoundTripMicroseconds) + " us");
        }
        GuardedBuffer small(sizeof(ICMPV6_ECHO_REPLY) + 55);
        uint32_t n = m.send6(h6, nullptr, nullptr, nullptr, nullptr, &lo6, data.data(), 56, nullptr,
                             small.data(), small.size(), 2000);
        Check(n == 0 && m.lastStatus() == IP_BUF_TOO_SMALL && small.Untouched(),
              "an IPv6 reply buffer one byte short is refused");
        int event = 0;
        n = m.send6(h6, &event, nullptr, nullptr, nullptr, &lo6, data.data(), 56, nullptr,
                    small.data(), small.size(), 2000);
        Check(n == 0 && m.lastStatus() == IP_BAD_REQ, "an event is refused");
        // Asynchronous: the routine follows once the record is written.
        GuardedBuffer buffer(sizeof(ICMPV6_ECHO_REPLY) + 56);
        buffer.Reset();
        std::atomic<int> calls{0};
        PICMP6_APC_ROUTINE routine = Apc;
        void* apc = nullptr;
        std::memcpy(&apc, &routine, sizeof apc);
        n = m.send6(h6, nullptr, apc, &calls, nullptr, &lo6, data.data(), 56, nullptr,
                    buffer.data(), buffer.size(), 2000);
        const uint32_t pending = m.lastStatus();
        auto start = Clock::now();
        while (calls == 0 && MillisecondsSince(start) < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ICMPV6_ECHO_REPLY r{};
        std::memcpy(&r, buffer.data(), sizeof r);
        Check(n == 0 && pending == IP_PENDING && calls == 1 && r.Status == IP_SUCCESS &&
                  r.HopLimit == 64,
              "an asynchronous Icmp6SendEcho2 calls its routine once after writing the record");
        // Many in flight over IPv6 too.
        std::vector<uint8_t> ttls(30, 64);
        auto results = InFlight(m, h6, reinterpret_cast<const sockaddr*>(&lo6), ttls, 2000);
        bool ok = results.size() == ttls.size();
        for (const ICMP_ECHO_RESULT& x : results) {
            ok = ok && x.Status == IP_SUCCESS && x.Family == AF_INET6 &&
                 std::memcmp(&x.Sender.Ipv6.sin6_addr, &in6addr_loopback, 16) == 0 &&
                 x.DataSize == 32;
        }
        Check(ok, "30 IPv6 requests in flight at once each complete once");
        m.close(h6);
    }
}

int Loopback(const std::string& path, const std::string& kind, IPAddr silent) {
    Probe p;
    if (!p.Open(path, kind)) {
        return 1;
    }
    const IPAddr lo = Address("127.0.0.1");
    CheckNoDescriptorLeft(p.m, kind, lo, 20);
    LoopbackExtensions(p, kind, silent);

    // RoundTripTime is the microsecond figure in whole milliseconds, rounded down: 0 below 1 ms.
    auto roundsDown = [](uint32_t rtt, uint64_t us) {
        return us < 1000 ? rtt == 0 : rtt == us / 1000;
    };
    int belowOneMs = 0;
    const bool helper = kind == "helper";
    for (uint16_t size : std::initializer_list<uint16_t>{0, 1, 8, 32, 512, 1472, 4000, 65507}) {
        GuardedBuffer buffer(28u + size); // exactly the record and the echo, as the workers do
        uint32_t n = p.Echo(lo, size, nullptr, buffer, 2000);
        if (helper && (size < 8 || size > 512)) {
            // The helper carries what the program's options allow: 8 to 512 bytes.
            const uint32_t status = p.m.lastStatus();
            Check(n == 0 && status == (size < 8 ? IP_BAD_REQ : IP_PACKET_TOO_BIG),
                  "size " + std::to_string(size) + " is beyond the helper's bounds (status " +
                      std::to_string(status) + ")");
            continue;
        }
        uint64_t us = p.m.lastRoundTripUs();
        bool ok = p.IsEcho(n, buffer, lo, size);
        const ICMP_ECHO_REPLY& r = buffer.Reply();
        belowOneMs += ok && us < 1000 ? 1 : 0;
        Check(ok && r.Options.Ttl == 64 && us > 0 && roundsDown(r.RoundTripTime, us),
              "size " + std::to_string(size) + ": " + Describe(n, buffer) + " (" +
                  std::to_string(us) + " us)");
    }
    {
        // Small echoes over loopback take microseconds: some of them must show the 0 of a round
        // trip below 1 ms, or the rounding above was never tried on one.
        GuardedBuffer buffer(28 + 8);
        bool allOk = true;
        for (int i = 0; i < 50; ++i) {
            uint32_t n = p.Echo(lo, 8, nullptr, buffer, 2000);
            uint64_t us = p.m.lastRoundTripUs();
            allOk =
                allOk && p.IsEcho(n, buffer, lo, 8) && roundsDown(buffer.Reply().RoundTripTime, us);
            belowOneMs += n == 1 && us < 1000 ? 1 : 0;
        }
        Check(allOk && belowOneMs > 0, "round trips below 1 ms give RoundTripTime 0 (" +
                                           std::to_string(belowOneMs) + " below 1 ms)");
    }
    {
        GuardedBuffer buffer(28 + 32);
        IP_OPTION_INFORMATION o{};
        o.Ttl = 1; // loopback does not count down the time-to-live
        uint32_t n = p.Echo(lo, 32, &o, buffer, 2000);
        Check(p.IsEcho(n, buffer, lo, 32), "time-to-live 1 over loopback: " + Describe(n, buffer));
        uint64_t us = p.m.lastRoundTripUs();
        Check(n == 1 && us / 1000 == buffer.Reply().RoundTripTime && us < 1000000,
              "the microsecond round trip (" + std::to_string(us) +
                  " us) rounds down to RoundTripTime");
    }
    if (helper) {
        // The helper sets the time-to-live alone; anything else is refused, not ignored.
        GuardedBuffer buffer(28 + 32);
        IP_OPTION_INFORMATION o{};
        o.Ttl = 64;
        o.Tos = 0x10;
        uint32_t n = p.Echo(lo, 32, &o, buffer, 2000);
        Check(n == 0 && p.m.lastStatus() == IP_BAD_OPTION, "a type of service through the helper "
                                                           "is refused (IP_BAD_OPTION)");
        uint8_t rr[40] = {7, 39, 4};
        o.Tos = 0;
        o.OptionsData = rr;
        o.OptionsSize = 40;
        n = p.Echo(lo, 32, &o, buffer, 2000);
        Check(n == 0 && p.m.lastStatus() == IP_BAD_OPTION, "IP options through the helper are "
                                                           "refused (IP_BAD_OPTION)");
        n = p.Echo(lo, 32, nullptr, buffer, 2000);
        Check(p.IsEcho(n, buffer, lo, 32), "a request without options after refused ones");
    } else {
        GuardedBuffer buffer(28 + 32);
        IP_OPTION_INFORMATION o{};
        o.Ttl = 64;
        o.Tos = 0x10;
        uint32_t n = p.Echo(lo, 32, &o, buffer, 2000);
        Check(p.IsEcho(n, buffer, lo, 32) && buffer.Reply().Options.Tos == 0x10,
              "type of service 0x10 comes back in the reply (tos " +
                  std::to_string(buffer.Reply().Options.Tos) + ")");
        // Record route: type 7, length 39, pointer 4, room for nine addresses.
        uint8_t rr[40] = {7, 39, 4};
        o.Tos = 0;
        o.OptionsData = rr;
        o.OptionsSize = 40;
        GuardedBuffer withRoom(28 + 32 + 40);
        n = p.Echo(lo, 32, &o, withRoom, 2000);
        const ICMP_ECHO_REPLY& r = withRoom.Reply();
        Check(p.IsEcho(n, withRoom, lo, 32) && r.Options.OptionsSize >= 3 &&
                  r.Options.OptionsOffset == 28 + 32 && *withRoom.At(r.Options.OptionsOffset) == 7,
              "a record-route request: the reply's options follow the data (" +
                  std::to_string(r.Options.OptionsSize) + " bytes)");
        n = p.Echo(lo, 32, &o, buffer, 2000); // no room for the options: they are left out
        Check(p.IsEcho(n, buffer, lo, 32) && buffer.Reply().Options.OptionsSize == 0,
              "without room for them the reply's options are left out");
        n = p.Echo(lo, 32, nullptr, buffer, 2000);
        Check(p.IsEcho(n, buffer, lo, 32), "a request without options after one with them");
    }

    // Sizes, time-outs and options that the module must refuse or survive.
    struct Refusal {
        const char* what;
        uint16_t size;
        uint32_t replySize;
        uint8_t ttl;
        uint8_t optionsSize;
        uint32_t status;
    };
    const Refusal refusals[] = {
        {"reply size one byte short", 32, 28 + 31, 0, 0, IP_BUF_TOO_SMALL},
        {"reply size 27", 0, 27, 0, 0, IP_BUF_TOO_SMALL},
        {"reply size 0", 8, 0, 0, 0, IP_BUF_TOO_SMALL},
        {"request size 65535", 65535, 28 + 65535, 0, 0, IP_PACKET_TOO_BIG},
        {"request size 65508", 65508, 28 + 65508, 0, 0, IP_PACKET_TOO_BIG},
        {"time-to-live 0", 32, 28 + 32, 0, 1, IP_BAD_OPTION},
        {"41 bytes of IP options", 32, 28 + 32, 64, 41, IP_OPTION_TOO_BIG},
    };
    for (const Refusal& f : refusals) {
        GuardedBuffer buffer(f.replySize);
        std::vector<uint8_t> opts(64, 1);
        IP_OPTION_INFORMATION o{};
        o.Ttl = f.ttl;
        o.OptionsSize = f.optionsSize;
        o.OptionsData = opts.data();
        bool withOptions = f.ttl != 0 || f.optionsSize != 0;
        auto start = Clock::now();
        uint32_t n = p.Echo(lo, f.size, withOptions ? &o : nullptr, buffer, 5000);
        uint32_t status = p.m.lastStatus();
        Check(n == 0 && status == f.status && buffer.Untouched() && MillisecondsSince(start) < 50,
              std::string(f.what) + ": refused at once, nothing written (status " +
                  std::to_string(status) + ")");
    }
    {
        GuardedBuffer buffer(28 + 32);
        std::vector<uint8_t> data(32, 0xAA);
        uint32_t n = p.m.send(p.h, lo, data.data(), 32, nullptr, nullptr, 60, 1000);
        Check(n == 0 && p.m.lastStatus() == IP_BAD_REQ, "a null reply buffer is refused");
        n = p.m.send(p.h, lo, nullptr, 32, nullptr, buffer.data(), buffer.size(), 1000);
        Check(n == 0 && p.m.lastStatus() == IP_BAD_REQ && buffer.Untouched(),
              "null request data of size 32 is refused");
        n = p.m.send(p.h, lo, nullptr, 0, nullptr, buffer.data(), buffer.size(), 1000);
        Check(helper ? n == 0 && p.m.lastStatus() == IP_BAD_REQ : p.IsEcho(n, buffer, lo, 0),
              "null request data of size 0 is an empty echo (refused through the helper)");
    }
    {
        GuardedBuffer big(28 + 512 + 4096); // a generous buffer is fine and stays in bounds
        uint32_t n = p.Echo(lo, 512, nullptr, big, 2000);
        Check(p.IsEcho(n, big, lo, 512), "a buffer larger than needed");
        GuardedBuffer buffer(28 + 32);
        auto start = Clock::now();
        // Time-out 0: even loopback's answer, there by the time it is read, comes after it.
        n = p.Echo(lo, 32, nullptr, buffer, 0);
        Check(n == 0 && p.m.lastStatus() == IP_REQ_TIMED_OUT && MillisecondsSince(start) < 50,
              "time-out 0 returns 0 at once, timed out (" +
                  std::to_string(MillisecondsSince(start)) + " ms, " + Describe(n, buffer) + ")");
        n = p.Echo(lo, 32, nullptr, buffer, 2000);
        Check(p.IsEcho(n, buffer, lo, 32), "the request after a time-out of 0 gets its own reply");
        // Time-out 1 ms: whatever is answered was answered within it.
        int answered = 0, late = 0;
        for (int i = 0; i < 100; ++i) {
            n = p.Echo(lo, 32, nullptr, buffer, 1);
            if (n == 1) {
                ++answered;
                late += p.m.lastRoundTripUs() > 1000 || buffer.Reply().RoundTripTime > 1 ? 1 : 0;
            } else if (p.m.lastStatus() != IP_REQ_TIMED_OUT) {
                ++late;
            }
        }
        Check(late == 0, "time-out 1 ms: no answer later than that is taken (" +
                             std::to_string(answered) + " of 100 answered, " +
                             std::to_string(late) + " late or failed)");
    }
    {
        GuardedBuffer buffer(28 + 32);
        auto start = Clock::now();
        uint32_t n = p.Echo(silent, 32, nullptr, buffer, 200);
        double ms = MillisecondsSince(start);
        Check(n == 0 && p.m.lastStatus() == IP_REQ_TIMED_OUT && ms >= 199 && ms < 350,
              "a silent address times out after 200 ms (" + std::to_string(ms) + " ms)");
    }

    CheckInterrupt(
        p, silent, 10000, "IcmpCloseHandle from another thread",
        [&](ICMP_HANDLE h) { p.m.close(h); }, 10);
    CheckInterrupt(
        p, silent, 10000, "IcmpCancelHandle from another thread",
        [&](ICMP_HANDLE h) { p.m.cancel(h); }, 10);
    CheckInterrupt(
        p, silent, UINT32_MAX, "IcmpCloseHandle on a 49-day time-out",
        [&](ICMP_HANDLE h) { p.m.close(h); }, 3);
    {
        ICMP_HANDLE h = p.m.create();
        p.m.cancel(h);
        GuardedBuffer buffer(28 + 32);
        auto start = Clock::now();
        uint32_t n = p.Echo(lo, 32, nullptr, buffer, 2000, 0xAA, h);
        Check(n == 0 && MillisecondsSince(start) < 20 && p.m.close(h) == 1 && p.m.close(h) == 0,
              "a cancelled handle refuses at once, closes once, and then is stale");
        n = p.Echo(lo, 32, nullptr, buffer, 2000, 0xAA, h);
        Check(n == 0 && p.m.lastStatus() == IP_REQ_CANCELLED, "a closed handle refuses requests");
        Check(p.m.close(ICMP_INVALID_HANDLE) == 0 && p.m.close(nullptr) == 0 &&
                  p.m.close(reinterpret_cast<ICMP_HANDLE>(uintptr_t{0x12345677})) == 0 &&
                  p.m.kind(h) == ICMP_SOCKET_NONE,
              "invalid and made-up handles are refused");
    }
    {
        std::vector<ICMP_HANDLE> many;
        for (int i = 0; i < 200; ++i) {
            many.push_back(p.m.create());
        }
        bool allOpen = true;
        for (ICMP_HANDLE h : many) {
            allOpen = allOpen && h != ICMP_INVALID_HANDLE;
        }
        GuardedBuffer buffer(28 + 8);
        uint32_t n = p.Echo(lo, 8, nullptr, buffer, 2000, 0xAA, many.back());
        for (ICMP_HANDLE h : many) {
            p.m.close(h);
        }
        ICMP_HANDLE again = p.m.create();
        Check(allOpen && p.IsEcho(n, buffer, lo, 8) && again != ICMP_INVALID_HANDLE &&
                  again != many.front() && p.m.kind(many.front()) == ICMP_SOCKET_NONE,
              "200 handles at once; reused slots get new handles");
        p.m.close(again);
    }
    {
        // A ping run and a trace run at once, through two handles in two threads, and a third
        // that waits on a silent address: nobody takes anybody's replies. All three send the
        // same size and data, so only the identifier and the sequence number tell their
        // answers apart.
        ICMP_HANDLE h2 = p.m.create();
        ICMP_HANDLE h3 = p.m.create();
        std::atomic<int> badA{0}, badB{0}, stolen{0};
        std::thread a([&] {
            GuardedBuffer buffer(28 + 56);
            for (int i = 0; i < 300; ++i) {
                if (!p.IsEcho(p.Echo(lo, 56, nullptr, buffer, 2000, 0xAA), buffer, lo, 56)) {
                    ++badA;
                }
            }
        });
        std::thread b([&] {
            GuardedBuffer buffer(28 + 56);
            IP_OPTION_INFORMATION o{};
            for (int i = 0; i < 300; ++i) {
                o.Ttl = static_cast<uint8_t>(1 + i % 30);
                if (!p.IsEcho(p.Echo(lo, 56, &o, buffer, 2000, 0xAA, h2), buffer, lo, 56)) {
                    ++badB;
                }
            }
        });
        std::thread c([&] {
            GuardedBuffer buffer(28 + 56);
            for (int i = 0; i < 20; ++i) {
                if (p.Echo(silent, 56, nullptr, buffer, 20, 0xAA, h3) != 0) {
                    ++stolen;
                }
            }
        });
        a.join();
        b.join();
        c.join();
        Check(badA == 0 && badB == 0 && stolen == 0,
              "two runs at once keep their own replies (bad " + std::to_string(badA) + "/" +
                  std::to_string(badB) + ", taken by the silent run " + std::to_string(stolen) +
                  ")");
        p.m.close(h2);
        p.m.close(h3);
    }
    Check(p.m.close(p.h) == 1, "IcmpCloseHandle");
    return g_failures == 0 ? 0 : 1;
}

// The sender of a result as 16 bytes (an IPv4 address in the first four).
std::vector<uint8_t> SenderBytes(const ICMP_ECHO_RESULT& r) {
    const uint8_t* at = r.Family == AF_INET6
                            ? reinterpret_cast<const uint8_t*>(&r.Sender.Ipv6.sin6_addr)
                            : reinterpret_cast<const uint8_t*>(&r.Sender.Ipv4.sin_addr);
    return std::vector<uint8_t>(at, at + (r.Family == AF_INET6 ? 16 : 4));
}

template <typename A> std::vector<uint8_t> Bytes(const A& a) {
    const uint8_t* at = reinterpret_cast<const uint8_t*>(&a);
    return std::vector<uint8_t>(at, at + sizeof a);
}

// A whole trace at once: 30 requests with time-to-live 1 to 30 in flight together on one handle,
// through routers[0], routers[1] to the target. Each must get its own answer: the routers'
// Time Exceeded below the target's distance, the target's echo reply (hop limit 62) above.
void CheckTraceInFlight(const Module& m, ICMP_HANDLE h, const sockaddr* to,
                        const std::vector<std::vector<uint8_t>>& routers,
                        const std::vector<uint8_t>& target) {
    std::vector<uint8_t> ttls;
    for (uint8_t t = 1; t <= 30; ++t) {
        ttls.push_back(t);
    }
    auto results = InFlight(m, h, to, ttls, 2000);
    int bad = results.size() == ttls.size() ? 0 : 30;
    std::string first;
    for (size_t i = 0; i < results.size(); ++i) {
        const ICMP_ECHO_RESULT& r = results[i];
        const bool ok = i < routers.size()
                            ? SenderBytes(r) == routers[i] && r.Status == IP_TTL_EXPIRED_TRANSIT &&
                                  r.DataSize == 0 && r.Ttl == 64 - i
                            : SenderBytes(r) == target && r.Status == IP_SUCCESS &&
                                  r.DataSize == 32 && r.Ttl == 62;
        if (!ok && first.empty()) {
            first = ", first wrong: ttl " + std::to_string(i + 1) + " " + Describe(r);
        }
        bad += ok ? 0 : 1;
    }
    Check(bad == 0, "30 requests with time-to-live 1 to 30 in flight at once each get their own "
                    "answer (" +
                        std::to_string(bad) + " wrong" + first + ")");
}

void CheckTraceInFlight(const Module& m, ICMP_HANDLE h, const sockaddr* to,
                        std::initializer_list<IPAddr> routers, IPAddr target) {
    std::vector<std::vector<uint8_t>> r;
    for (IPAddr a : routers) {
        r.push_back(Bytes(a));
    }
    CheckTraceInFlight(m, h, to, r, Bytes(target));
}

// The IPv6 lab: the same cases as Lab's first ones, through Icmp6SendEcho2 and IcmpSendEchoEx.
int Lab6(const std::string& path, const std::string& kind, const in6_addr& r1, const in6_addr& r2,
         const in6_addr& target, const in6_addr& unroutable, const in6_addr& quiet) {
    Probe p;
    if (!p.Open(path, kind)) {
        return 1;
    }
    const Module& m = p.m;
    ICMP_HANDLE h = m.create6 != nullptr ? m.create6() : ICMP_INVALID_HANDLE;
    Check(h != ICMP_INVALID_HANDLE && m.kind(h) == KindNumber(kind),
          "Icmp6CreateFile gives a " + kind + " handle" +
              (h == ICMP_INVALID_HANDLE ? ": " + m.CreateError() : std::string()));
    if (h == ICMP_INVALID_HANDLE) {
        return 1;
    }
    const std::vector<uint8_t> data(32, 0xAA);
    auto echo = [&](const in6_addr& to, uint8_t hops, uint32_t timeout, ICMPV6_ECHO_REPLY& r) {
        GuardedBuffer buffer(sizeof(ICMPV6_ECHO_REPLY) + 32);
        IP_OPTION_INFORMATION o{};
        o.Ttl = hops;
        const sockaddr_in6 to6 = To6(to);
        uint32_t n = m.send6(h, nullptr, nullptr, nullptr, nullptr, &to6, data.data(), 32,
                             hops != 0 ? &o : nullptr, buffer.data(), buffer.size(), timeout);
        std::memcpy(&r, buffer.data(), sizeof r);
        if (!buffer.GuardsIntact() || (n == 0 && !buffer.Untouched()) ||
            (n == 1 && r.Status == IP_SUCCESS &&
             std::memcmp(buffer.At(sizeof r), data.data(), 32) != 0)) {
            Check(false, "the IPv6 reply buffer was written wrongly");
        }
        return n;
    };
    auto describe = [](uint32_t n, const ICMPV6_ECHO_REPLY& r) {
        return n == 0 ? std::string("no reply")
                      : "from " + Text6(r.Address.sin6_addr) + " status " +
                            std::to_string(r.Status) + " hop limit " + std::to_string(r.HopLimit) +
                            " rtt " + std::to_string(r.RoundTripMicroseconds) + " us";
    };
    const in6_addr hops[] = {r1, r2, target};
    for (uint8_t ttl = 1; ttl <= 3; ++ttl) {
        ICMPV6_ECHO_REPLY r{};
        uint32_t n = echo(target, ttl, 2000, r);
        const bool from = std::memcmp(r.Address.sin6_addr, &hops[ttl - 1], 16) == 0;
        bool ok =
            ttl < 3 ? n == 1 && from && r.Status == IP_TTL_EXPIRED_TRANSIT && r.Type == 3 &&
                          r.HopLimit == 65 - ttl
                    : n == 1 && from && r.Status == IP_SUCCESS && r.Type == 129 && r.HopLimit == 62;
        Check(ok, "IPv6 hop limit " + std::to_string(ttl) + ": " + describe(n, r));
    }
    {
        ICMPV6_ECHO_REPLY r{};
        uint32_t n = echo(unroutable, 0, 2000, r);
        Check(n == 1 && std::memcmp(r.Address.sin6_addr, &r1, 16) == 0 &&
                  r.Status == IP_DEST_NET_UNREACHABLE && r.Type == 1,
              "IPv6, no route at the first router: " + describe(n, r));
        auto start = Clock::now();
        n = echo(quiet, 0, 300, r);
        double ms = MillisecondsSince(start);
        Check(n == 0 && m.lastStatus() == IP_REQ_TIMED_OUT && ms >= 299 && ms < 450,
              "IPv6, a target that ignores echo requests: 0 after " + std::to_string(ms) + " ms");
    }
    const sockaddr_in6 target6 = To6(target);
    CheckTraceInFlight(m, h, reinterpret_cast<const sockaddr*>(&target6), {Bytes(r1), Bytes(r2)},
                       Bytes(target));
    m.close(h);
    m.close(p.h);
    return g_failures == 0 ? 0 : 1;
}

int Lab(const std::string& path, const std::string& kind, IPAddr r1, IPAddr r2, IPAddr target,
        IPAddr unroutable, IPAddr quiet, IPAddr slow, IPAddr otherAddress) {
    Probe p;
    if (!p.Open(path, kind)) {
        return 1;
    }
    GuardedBuffer buffer(28 + 32);
    IP_OPTION_INFORMATION o{};
    const IPAddr hops[] = {r1, r2, target};
    const sockaddr_in target4 = To4(target);
    for (uint8_t ttl = 1; ttl <= 3; ++ttl) {
        o.Ttl = ttl;
        uint32_t n = p.Echo(target, 32, &o, buffer, 2000);
        const ICMP_ECHO_REPLY& r = buffer.Reply();
        bool ok = ttl < 3 ? n == 1 && r.Address == hops[ttl - 1] &&
                                r.Status == IP_TTL_EXPIRED_TRANSIT && r.DataSize == 0 &&
                                r.Options.Ttl == 65 - ttl
                          : p.IsEcho(n, buffer, target, 32) && r.Options.Ttl == 62;
        Check(ok, "time-to-live " + std::to_string(ttl) + ": " + Describe(n, buffer));
    }
    CheckTraceInFlight(p.m, p.h, reinterpret_cast<const sockaddr*>(&target4), {r1, r2}, target);
    {
        uint32_t n = p.Echo(target, 32, nullptr, buffer, 2000);
        Check(p.IsEcho(n, buffer, target, 32), "no option record: " + Describe(n, buffer));
        n = p.Echo(unroutable, 32, nullptr, buffer, 2000);
        Check(n == 1 && buffer.Reply().Address == r1 &&
                  buffer.Reply().Status == IP_DEST_NET_UNREACHABLE,
              "no route at the first router: " + Describe(n, buffer));
        auto start = Clock::now();
        n = p.Echo(quiet, 32, nullptr, buffer, 300);
        double ms = MillisecondsSince(start);
        Check(n == 0 && ms >= 299 && ms < 450,
              "a target that ignores echo requests: 0 after " + std::to_string(ms) + " ms");
    }
    {
        // A multihomed host answering from another address than the one asked: the reply is
        // ours all the same, from the address it came from, on a ping and on a trace's hop.
        uint32_t n = p.Echo(otherAddress, 32, nullptr, buffer, 2000);
        Check(p.IsEcho(n, buffer, target, 32),
              "an echo reply from another address than the one pinged: " + Describe(n, buffer));
        o.Ttl = 3;
        n = p.Echo(otherAddress, 32, &o, buffer, 2000);
        Check(p.IsEcho(n, buffer, target, 32) && buffer.Reply().Options.Ttl == 62,
              "and with time-to-live 3: " + Describe(n, buffer));
    }
    {
        // A request given up at once (its answer, there soon after, is left unread: the lab's
        // veth links deliver within the send), then another whose answer differs. On a ping
        // socket the leftover Time Exceeded also sets the socket's pending error, which must not
        // fail the next send.
        o.Ttl = 3;
        uint32_t n0 = p.Echo(target, 32, &o, buffer, 0);
        o.Ttl = 1;
        uint32_t n = p.Echo(target, 32, &o, buffer, 2000);
        Check(n0 == 0 && n == 1 && buffer.Reply().Address == r1,
              "after a time-out of 0 the next request gets its own Time Exceeded (first " +
                  std::to_string(n0) + ", then " + Describe(n, buffer) + ")");
        n0 = p.Echo(target, 32, &o, buffer, 0);
        o.Ttl = 3;
        n = p.Echo(target, 32, &o, buffer, 2000);
        Check(n0 == 0 && p.IsEcho(n, buffer, target, 32),
              "after a time-out of 0 the next request gets its own echo reply (first " +
                  std::to_string(n0) + ", then " + Describe(n, buffer) + ")");
    }
    {
        // The slow host answers 50 ms late; whole milliseconds from a monotonic clock. Before
        // that it sends decoys at once: echo replies with another identifier, another sequence
        // number or other data, and errors quoting our request with another identifier,
        // sequence number or destination. Taking any of them would answer in under 50 ms.
        uint32_t n = p.Echo(slow, 32, nullptr, buffer, 1000);
        uint32_t rtt = buffer.Reply().RoundTripTime;
        Check(p.IsEcho(n, buffer, slow, 32) && rtt >= 50 && rtt < 90,
              "a reply 50 ms late, none of the decoys before it: " + Describe(n, buffer));
        // Given up after 25 ms, its answer comes 25 ms into the next request, whose own answer
        // comes later still: the next request must not take the earlier one's.
        uint32_t n0 = p.Echo(slow, 32, nullptr, buffer, 25);
        n = p.Echo(slow, 32, nullptr, buffer, 1000);
        rtt = buffer.Reply().RoundTripTime;
        Check(n0 == 0 && p.IsEcho(n, buffer, slow, 32) && rtt >= 45,
              "a late reply to the previous request is skipped (first " + std::to_string(n0) +
                  ", then " + Describe(n, buffer) + ")");
        // Time-outs around the 50 ms the answers take: each request either gets its answer
        // within its time-out or none at all, never one that came after it.
        int answered = 0, late = 0;
        for (uint32_t timeout = 44; timeout <= 58; ++timeout) {
            n = p.Echo(slow, 32, nullptr, buffer, timeout);
            if (n == 1) {
                ++answered;
                late += p.m.lastRoundTripUs() > uint64_t{timeout} * 1000 ||
                                buffer.Reply().RoundTripTime > timeout
                            ? 1
                            : 0;
            } else if (p.m.lastStatus() != IP_REQ_TIMED_OUT) {
                ++late;
            }
        }
        Check(late == 0, "time-outs of 44 to 58 ms against 50 ms answers: none later taken (" +
                             std::to_string(answered) + " of 15 answered in time)");
    }
    {
        // A trace and a ping in one process at once, with the same size and data.
        ICMP_HANDLE ping = p.m.create();
        std::atomic<int> badTrace{0}, badPing{0};
        std::thread trace([&] {
            GuardedBuffer b(28 + 32);
            IP_OPTION_INFORMATION to{};
            for (int i = 0; i < 60; ++i) {
                to.Ttl = static_cast<uint8_t>(1 + i % 3);
                uint32_t n = p.Echo(target, 32, &to, b, 2000);
                if (n != 1 || b.Reply().Address != hops[i % 3]) {
                    ++badTrace;
                }
            }
        });
        std::thread pinger([&] {
            GuardedBuffer b(28 + 32);
            for (int i = 0; i < 60; ++i) {
                if (!p.IsEcho(p.Echo(target, 32, nullptr, b, 2000, 0xAA, ping), b, target, 32)) {
                    ++badPing;
                }
            }
        });
        trace.join();
        pinger.join();
        Check(badTrace == 0 && badPing == 0, "a trace and a ping at once (bad " +
                                                 std::to_string(badTrace) + "/" +
                                                 std::to_string(badPing) + ")");
        p.m.close(ping);
    }
    {
        // Two traces at once through two handles, in step: each hop's request leaves both
        // handles together, so the same router sends both its Time Exceeded (and the target
        // both its replies) at the same moment, with the same size and data. Each request must
        // get the answer to itself, told apart from the other's by identifier and sequence.
        ICMP_HANDLE second = p.m.create();
        std::barrier together(2);
        std::atomic<int> bad[2] = {0, 0};
        auto trace = [&](int which, ICMP_HANDLE h) {
            GuardedBuffer b(28 + 32);
            IP_OPTION_INFORMATION to{};
            for (int i = 0; i < 90; ++i) {
                const int hop = i % 3;
                to.Ttl = static_cast<uint8_t>(1 + hop);
                together.arrive_and_wait();
                uint32_t n = p.Echo(target, 32, &to, b, 2000, 0xAA, h);
                const ICMP_ECHO_REPLY& r = b.Reply();
                bool ok = hop < 2 ? n == 1 && r.Address == hops[hop] &&
                                        r.Status == IP_TTL_EXPIRED_TRANSIT && r.DataSize == 0
                                  : p.IsEcho(n, b, target, 32);
                bad[which] += ok ? 0 : 1;
            }
        };
        std::thread first(trace, 0, p.h);
        std::thread other(trace, 1, second);
        first.join();
        other.join();
        Check(bad[0] == 0 && bad[1] == 0,
              "two traces at once, answered by the same routers together, each get their own "
              "answers (bad " +
                  std::to_string(bad[0]) + "/" + std::to_string(bad[1]) + ")");
        p.m.close(second);
    }
    p.m.close(p.h);
    return g_failures == 0 ? 0 : 1;
}

int Burst(const std::string& path, const std::string& kind, IPAddr target, int count) {
    Probe p;
    if (!p.Open(path, kind)) {
        return 1;
    }
    GuardedBuffer buffer(28 + 56);
    int good = 0;
    for (int i = 0; i < count; ++i) {
        good += p.IsEcho(p.Echo(target, 56, nullptr, buffer, 2000), buffer, target, 56) ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Check(good == count, std::to_string(good) + " of " + std::to_string(count) +
                             " requests answered beside the system's ping");
    p.m.close(p.h);
    return g_failures == 0 ? 0 : 1;
}

void SetChecksum(uint8_t* icmp, size_t size) {
    icmp[2] = icmp[3] = 0;
    uint16_t sum = icmp_checksum(icmp, size);
    icmp[2] = uint8_t(sum >> 8);
    icmp[3] = uint8_t(sum);
}

void SendIcmp(int fd, std::vector<uint8_t> icmp, const sockaddr_in& to) {
    SetChecksum(icmp.data(), icmp.size());
    sendto(fd, icmp.data(), icmp.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Answers that look like the answer to the request in `packet` (an IP packet of `size` bytes, its
// header `ihl` long) but answer another one: each differs from a true answer in one field that
// the module must check. Errors come as a port unreachable from this host, which is a genuine
// answer when it quotes the request as it was.
void SendDecoys(int fd, const uint8_t* packet, size_t size, size_t ihl, const sockaddr_in& to) {
    const std::vector<uint8_t> request(packet + ihl, packet + size);
    auto reply = [&](size_t at, uint8_t flip) {
        std::vector<uint8_t> icmp = request;
        icmp[0] = ICMP_TYPE_ECHO_REPLY;
        if (at < icmp.size()) {
            icmp[at] ^= flip;
        }
        SendIcmp(fd, icmp, to);
    };
    reply(5, 0x01);                  // another identifier
    reply(7, 0x01);                  // another sequence number
    reply(request.size() - 1, 0x80); // other data (for a request with data)
    auto error = [&](size_t at, uint8_t flip) {
        std::vector<uint8_t> icmp = {ICMP_TYPE_DEST_UNREACH, 3, 0, 0, 0, 0, 0, 0};
        icmp.insert(icmp.end(), packet, packet + ihl + ICMP_HEADER_SIZE); // header and 8 bytes
        icmp[ICMP_HEADER_SIZE + at] ^= flip;
        SendIcmp(fd, icmp, to);
    };
    error(ihl + 5, 0x01); // quotes another identifier
    error(ihl + 7, 0x01); // another sequence number
    error(19, 0x01);      // another destination
}

// Answers every echo request that reaches this namespace, delay_ms late, one after another,
// for `seconds` at most: a slow host, and late answers for requests already given up. With
// decoys, each request first gets the decoys of SendDecoys, at once.
int Respond(int delayMs, int seconds, bool decoys) {
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (fd < 0) {
        std::perror("raw socket");
        return 1;
    }
    std::vector<uint8_t> packet(65536);
    auto end = Clock::now() + std::chrono::seconds(seconds);
    for (int answered = 0; Clock::now() < end && answered < 10000;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(fd, packet.data(), packet.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 28) {
            continue;
        }
        size_t ihl = size_t(packet[0] & 0x0F) * 4;
        if (size_t(n) < ihl + 8 || packet[ihl] != ICMP_TYPE_ECHO_REQUEST) {
            continue;
        }
        if (decoys) {
            SendDecoys(fd, packet.data(), size_t(n), ihl, from);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        uint8_t* icmp = packet.data() + ihl;
        size_t size = size_t(n) - ihl;
        icmp[0] = ICMP_TYPE_ECHO_REPLY;
        SetChecksum(icmp, size);
        sendto(fd, icmp, size, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        ++answered;
    }
    close(fd);
    return 0;
}

int Refused(const std::string& path) {
    Module m;
    std::string error;
    if (!m.Load(path, &error)) {
        Check(false, "load " + path + ": " + error);
        return 1;
    }
    const int before = OpenDescriptors();
    ICMP_HANDLE h = m.create();
    std::string why = m.CreateError();
    std::string dir = path.substr(0, path.rfind('/'));
    Check(h == ICMP_INVALID_HANDLE, "IcmpCreateFile fails without ping sockets and capability");
    for (int i = 0; i < 10; ++i) {
        m.create();
    }
    const int after = OpenDescriptors();
    Check(before >= 0 && before == after,
          "11 failed IcmpCreateFile calls, helper tried each time, leave no descriptor open (" +
              std::to_string(before) + " before, " + std::to_string(after) + " after)");
    std::printf("     reason: %s\n", why.c_str());
    Check(why.find("net.ipv4.ping_group_range") != std::string::npos &&
              why.find("CAP_NET_RAW") != std::string::npos &&
              why.find("setcap cap_net_raw+ep " + dir + "/sabrevin-icmp-helper") !=
                  std::string::npos,
          "the reason names what was refused and both ways to allow it");
    char small[8];
    uint32_t length = m.createError(small, sizeof small);
    Check(length == why.size() && std::strlen(small) == 7, "the reason is cut to a small buffer");
    return g_failures == 0 ? 0 : 1;
}

// Where ping sockets are admitted but fail their set-up (bind fails on them here), IcmpCreateFile
// must close them and go on to the next kind: `kind`, or none at all.
int Fallback(const std::string& path, const std::string& kind) {
    Module m;
    std::string error;
    if (!m.Load(path, &error)) {
        Check(false, "load " + path + ": " + error);
        return 1;
    }
    const IPAddr lo = Address("127.0.0.1");
    ICMP_HANDLE h = m.create();
    Check(h != ICMP_INVALID_HANDLE && m.kind(h) == ICMP_SOCKET_DGRAM,
          "ping sockets are admitted here, so the checks below start from one");
    m.close(h);

    g_failPingBind = true;
    const int before = OpenDescriptors();
    h = m.create();
    const std::string why = m.CreateError();
    if (kind == "none") {
        Check(h == ICMP_INVALID_HANDLE &&
                  why.find("a ping socket opened but could not be set up") != std::string::npos,
              "a ping socket that cannot be set up, and nothing else allowed: no handle, and "
              "the reason says so");
        std::printf("     reason: %s\n", why.c_str());
        for (int i = 0; i < 10; ++i) {
            m.create();
        }
    } else {
        Check(h != ICMP_INVALID_HANDLE && m.kind(h) == KindNumber(kind),
              "a ping socket that cannot be set up gives way to a " + kind + " socket (kind " +
                  std::to_string(h != ICMP_INVALID_HANDLE ? m.kind(h) : 0) + ")" +
                  (h == ICMP_INVALID_HANDLE ? ": " + why : std::string()));
        GuardedBuffer buffer(28 + 32);
        std::vector<uint8_t> data(32, 0xAA);
        uint32_t n = m.send(h, lo, data.data(), 32, nullptr, buffer.data(), buffer.size(), 2000);
        Check(n == 1 && buffer.Reply().Status == IP_SUCCESS && buffer.Reply().Address == lo,
              "and that socket answers: " + Describe(n, buffer));
        m.close(h);
        for (int i = 0; i < 10; ++i) {
            m.close(m.create());
        }
    }
    const int after = OpenDescriptors();
    Check(before >= 0 && before == after,
          "the ping sockets that failed their set-up are all closed (" + std::to_string(before) +
              " descriptors before, " + std::to_string(after) + " after)");
    g_failPingBind = false;
    return g_failures == 0 ? 0 : 1;
}

std::atomic<int> g_alarms{0};

void CountAlarm(int) {
    ++g_alarms;
}

// Where the helper beside the module takes its socket pair and never answers (ping sockets and
// raw sockets refused), IcmpCreateFile gives up on it after its 2 s, however many signals
// interrupt the wait meanwhile.
int Stalled(const std::string& path) {
    Module m;
    std::string error;
    if (!m.Load(path, &error)) {
        Check(false, "load " + path + ": " + error);
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = CountAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: every signal interrupts the wait with EINTR
    sigaction(SIGALRM, &action, nullptr);
    itimerval every{};
    every.it_interval.tv_usec = 150000;
    every.it_value.tv_usec = 150000;
    const int before = OpenDescriptors();
    auto start = Clock::now();
    setitimer(ITIMER_REAL, &every, nullptr);
    ICMP_HANDLE h = m.create();
    const itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    const double ms = MillisecondsSince(start);
    const std::string why = m.CreateError();
    const int after = OpenDescriptors();
    Check(h == ICMP_INVALID_HANDLE && ms >= 1900 && ms < 3500 && g_alarms >= 10,
          "a helper that never answers is given up after 2 s, in spite of " +
              std::to_string(g_alarms) + " signals meanwhile (" + std::to_string(ms) + " ms)");
    Check(why.find("did not answer") != std::string::npos, "the reason names the helper: " + why);
    Check(before >= 0 && before == after, "and leaves no descriptor open (" +
                                              std::to_string(before) + " before, " +
                                              std::to_string(after) + " after)");
    return g_failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "loopback" && argc == 5) {
        return Loopback(argv[2], argv[3], Address(argv[4]));
    }
    if (mode == "lab" && argc == 11) {
        return Lab(argv[2], argv[3], Address(argv[4]), Address(argv[5]), Address(argv[6]),
                   Address(argv[7]), Address(argv[8]), Address(argv[9]), Address(argv[10]));
    }
    if (mode == "lab6" && argc == 9) {
        return Lab6(argv[2], argv[3], Address6(argv[4]), Address6(argv[5]), Address6(argv[6]),
                    Address6(argv[7]), Address6(argv[8]));
    }
    if (mode == "respond" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "decoys"))) {
        return Respond(std::atoi(argv[2]), std::atoi(argv[3]), argc == 5);
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
    std::fprintf(stderr, "usage: see the top of icmp_net_probe.cpp\n");
    return 2;
}
