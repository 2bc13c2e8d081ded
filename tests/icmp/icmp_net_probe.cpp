// The network tests' client: drives the echo module, or its helper alone, against the real kernel
// in the lab that test_lab.sh builds with tests/lab.sh, as root or as nobody. KIND (dgram, raw or
// helper) is the socket kind IcmpCreateFile must pick. Prints one line per check; exits 1 if any
// failed.
//
//   icmp_net_probe echo     MODULE KIND R1 R2 TARGET UNROUTABLE QUIET (IPv4, then IPv6) OTHER
//   icmp_net_probe burst    MODULE KIND TARGET COUNT
//   icmp_net_probe refused  MODULE
//   icmp_net_probe fallback MODULE KIND|none
//   icmp_net_probe stalled  MODULE
//   icmp_net_probe helper   HELPER QUIET
//
// QUIET never answers; OTHER is an address of the target whose replies come from TARGET.

#include "tests/icmp/icmp_test_support.h"

#include "net/icmp/icmp_helper_proto.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

using namespace icmp_test;
using std::string;
using std::to_string;

namespace {
int g_failures = 0;
std::atomic<bool> g_failPingBind{false}; // while set, bind() fails on ping sockets
} // namespace

// Exported (ENABLE_EXPORTS), so the loaded module calls this bind(): a ping socket that opens but
// cannot be set up, for the fallback checks.
extern "C" int bind(int fd, const sockaddr* address, socklen_t length) noexcept {
    static const auto next =
        reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(dlsym(RTLD_NEXT, "bind"));
    int type = 0, protocol = 0;
    socklen_t n = sizeof type;
    getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &n);
    getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &n);
    errno = EADDRINUSE;
    return g_failPingBind && type == SOCK_DGRAM && protocol == IPPROTO_ICMP
               ? -1
               : next(fd, address, length);
}

namespace {

bool Check(bool ok, const string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    g_failures += ok ? 0 : 1;
    return ok;
}

// Compares a whole outcome with the one wanted, and shows the outcome either way.
void Same(const string& got, const string& want, const string& what) {
    Check(got == want, what + ": " + got + (got == want ? "" : " (wanted: " + want + ")"));
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The descriptors open in this process, and how many of them are raw sockets.
std::pair<int, int> Descriptors() {
    string raw;
    for (const char* table : {"/proc/net/raw", "/proc/net/raw6"}) {
        std::ifstream f(table);
        raw.append(std::istreambuf_iterator<char>(f), {});
    }
    int open = 0, raws = 0;
    std::error_code e;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        const string t = std::filesystem::read_symlink(fd, e).string();
        ++open;
        raws += t.starts_with("socket:[") &&
                raw.find(" " + t.substr(8, t.size() - 9) + " ") != string::npos;
    }
    return {open, raws};
}

// A destination of either family, as IcmpSendEchoEx takes it.
struct Dest {
    sockaddr_in6 sa{}; // large enough for either; the family is at the same place in both
    explicit Dest(const char* text) {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&sa);
        const bool v4 = inet_pton(AF_INET, text, &in4->sin_addr) == 1;
        sa.sin6_family = v4 ? AF_INET : AF_INET6;
        if (!v4) {
            inet_pton(AF_INET6, text, &sa.sin6_addr);
        }
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&sa); }
};

string Text(const string& from, uint32_t status, int ttl, int size, const string& more = "") {
    return "from " + from + " status " + to_string(status) + " ttl " + to_string(ttl) + " size " +
           to_string(size) + more;
}

string Text(const ICMP_ECHO_RESULT& r) {
    char from[INET6_ADDRSTRLEN] = "";
    inet_ntop(int(r.Family),
              r.Family == AF_INET6 ? static_cast<const void*>(&r.Sender.Ipv6.sin6_addr)
                                   : &r.Sender.Ipv4.sin_addr,
              from, sizeof from);
    return Text(from, r.Status, r.Ttl, r.DataSize, " type " + to_string(r.Type));
}

// What IcmpSendEcho gave: the record, and whether the module wrote only inside the buffer (and
// nothing when it returned 0) and put the echoed data right after the record.
string Text(uint32_t n, GuardedBuffer& b, uint32_t lastStatus) {
    const ICMP_ECHO_REPLY& r = b.Reply();
    const uint32_t end = uint32_t(sizeof r) + r.DataSize, at = r.Options.OptionsOffset;
    const bool data = r.DataOffset == sizeof r && end <= b.size() &&
                      std::all_of(b.At(sizeof r), b.At(end), [](uint8_t c) { return c == 0xAA; });
    return string(b.GuardsIntact() && (n == 0 ? b.Untouched() : data) ? "" : "bad buffer, ") +
           (n == 0 ? "none, status " + to_string(lastStatus)
                   : Text(Dotted(r.Address), r.Status, r.Options.Ttl, r.DataSize,
                          " tos " + to_string(r.Options.Tos)) +
                         (r.Options.OptionsSize == 0
                              ? ""
                              : " option " + to_string(at < b.size() ? *b.At(at) : -1) + " at " +
                                    to_string(at)));
}

// Requests through IcmpSendEchoEx with a completion, one per time-to-live; their results.
struct InFlight {
    std::mutex lock;
    std::vector<std::vector<ICMP_ECHO_RESULT>> results;
    std::vector<std::pair<InFlight*, size_t>> contexts;
    static void Done(void* context, const ICMP_ECHO_RESULT* r) {
        auto* c = static_cast<std::pair<InFlight*, size_t>*>(context);
        std::lock_guard<std::mutex> guard(c->first->lock);
        c->first->results[c->second].push_back(*r);
    }
    InFlight(const Module& m, ICMP_HANDLE h, const char* to, const std::vector<uint8_t>& ttls)
        : results(ttls.size()) {
        const std::vector<uint8_t> data(32, 0xAA);
        for (size_t i = 0; i < ttls.size(); ++i) {
            contexts.emplace_back(this, i);
        }
        for (size_t i = 0; i < ttls.size(); ++i) {
            IP_OPTION_INFORMATION o{ttls[i], 0, 0, 0, nullptr};
            m.sendEx(h, Dest(to).get(), data.data(), 32, &o, 2000, Done, &contexts[i]);
        }
    }
    // Each request's result; one completed other than once shows as its count of calls.
    std::vector<string> Texts() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<string> out;
        for (const auto& list : results) {
            out.push_back(list.size() == 1 ? Text(list[0]) : to_string(list.size()) + " calls");
        }
        return out;
    }
};

struct Probe {
    Module m;
    ICMP_HANDLE h = ICMP_INVALID_HANDLE;
    bool Open(const string& path, const string& kind) {
        const int want = kind == "dgram" ? ICMP_SOCKET_DGRAM
                         : kind == "raw" ? ICMP_SOCKET_RAW
                                         : ICMP_SOCKET_HELPER;
        const bool ok = m.Load(path) && m.kind(h = m.create()) == want;
        return Check(ok, "IcmpCreateFile gives a " + kind + " handle " + m.CreateError());
    }
    // IcmpSendEcho of size bytes of 0xAA, and what it gave.
    string Echo(IPAddr to, uint16_t size, int ttl, uint32_t timeout, ICMP_HANDLE on = nullptr,
                uint32_t replySize = 0, uint8_t tos = 0, uint8_t optionsSize = 0) {
        static uint8_t recordRoute[64] = {7, 39, 4}; // room for nine addresses
        const std::vector<uint8_t> data(size, 0xAA);
        IP_OPTION_INFORMATION o{uint8_t(ttl), tos, 0, optionsSize, recordRoute};
        GuardedBuffer b(replySize != 0 ? replySize : sizeof(ICMP_ECHO_REPLY) + size + 40);
        const uint32_t n = m.send(on != nullptr ? on : h, to, data.data(), size,
                                  ttl < 0 ? nullptr : &o, b.data(), b.size(), timeout);
        return Text(n, b, m.lastStatus());
    }
};

string EchoFrom(const string& from, int size, int ttl = 64, int tos = 0, const string& more = "") {
    return Text(from, IP_SUCCESS, ttl, size, " tos " + to_string(tos) + more);
}

void Apc(void* context) {
    ++*static_cast<std::atomic<int>*>(context);
}

// IPv4 through loopback: what IcmpSendEcho answers or refuses, with this kind's own limits, and
// requests ended by close and cancel; IPv6 through loopback, waiting and with a routine.
void Loopback(Probe& p, const string& kind, IPAddr quiet) {
    const IPAddr lo = Address("127.0.0.1");
    const string timedOut = "none, status " + to_string(IP_REQ_TIMED_OUT);
    const string tooBig = "none, status " + to_string(IP_PACKET_TOO_BIG);
    const string badOption = "none, status " + to_string(IP_BAD_OPTION);
    struct Row {
        const char* what;
        IPAddr to;
        uint16_t size;
        int ttl; // -1: no option record
        uint8_t tos, optionsSize;
        uint32_t replySize, timeout; // reply size 0: the record, the data and 40 bytes
        string want, helperWant;     // helperWant "": as want
    };
    const Row rows[] = {
        {"no data", lo, 0, -1, 0, 0, 0, 2000, EchoFrom("127.0.0.1", 0), "none, status 11011"},
        {"512 bytes, time-to-live 1", lo, 512, 1, 0, 0, 0, 2000, EchoFrom("127.0.0.1", 512), ""},
        {"513 bytes", lo, 513, -1, 0, 0, 0, 2000, EchoFrom("127.0.0.1", 513), tooBig},
        {"65507 bytes", lo, 65507, -1, 0, 0, 0, 2000, EchoFrom("127.0.0.1", 65507), tooBig},
        {"65508 bytes", lo, 65508, -1, 0, 0, 0, 2000, tooBig, ""},
        {"type of service 0x10", lo, 32, 64, 0x10, 0, 0, 2000, EchoFrom("127.0.0.1", 32, 64, 0x10),
         badOption},
        {"record route", lo, 32, 64, 0, 40, 0, 2000,
         EchoFrom("127.0.0.1", 32, 64, 0, " option 7 at 60"), badOption},
        {"record route, no room for it", lo, 32, 64, 0, 40, 60, 2000, EchoFrom("127.0.0.1", 32),
         badOption},
        {"41 bytes of IP options", lo, 32, 64, 0, 41, 0, 2000, "none, status 11017", ""},
        {"time-out 0", lo, 32, -1, 0, 0, 0, 0, timedOut, ""},
        {"a silent host, 200 ms", quiet, 32, -1, 0, 0, 0, 200, timedOut, ""},
    };
    for (const Row& row : rows) {
        const auto start = std::chrono::steady_clock::now();
        const string got = p.Echo(row.to, row.size, row.ttl, row.timeout, nullptr, row.replySize,
                                  row.tos, row.optionsSize);
        const double ms = MillisecondsSince(start);
        const string& want =
            kind == "helper" && !row.helperWant.empty() ? row.helperWant : row.want;
        const double waits = want == timedOut ? row.timeout : 0; // and no more than 100 ms on
        Same(got + (ms >= waits - 1 && ms < waits + 100 ? "" : ", after " + to_string(ms)), want,
             row.what);
    }
    // Closing or cancelling from another thread ends a request waiting without a time-out.
    for (const bool cancel : {false, true}) {
        ICMP_HANDLE h = p.m.create();
        string got;
        std::thread waiter([&] { got = p.Echo(quiet, 32, -1, UINT32_MAX, h); });
        Sleep(50);
        const auto start = std::chrono::steady_clock::now();
        cancel ? p.m.cancel(h) : p.m.close(h);
        waiter.join();
        const double ms = MillisecondsSince(start);
        Same(got + (ms < 100 ? "" : ", after " + to_string(ms)), "none, status 11099",
             cancel ? "IcmpCancelHandle" : "IcmpCloseHandle");
        p.m.close(h);
    }
    ICMP_HANDLE h = p.m.create();
    InFlight ten(p.m, h, Dotted(quiet).c_str(), std::vector<uint8_t>(10, 64));
    const int raws = Descriptors().second;
    p.m.close(h);
    Same(ten.Texts()[9] + (ten.Texts() == std::vector(10, ten.Texts()[9]) ? "" : ", not all"),
         Text("0.0.0.0", IP_REQ_CANCELLED, 0, 0, " type 0"),
         "IcmpCloseHandle ends 10 requests in flight before it returns");
    Check((raws > 0) == (kind == "raw"), "raw sockets in this process: " + to_string(raws));

    h = p.m.create6();
    const Dest lo6("::1");
    const std::vector<uint8_t> data(56, 0xAA);
    IP_OPTION_INFORMATION o{1, 0, 0, 0, nullptr}; // the reply still comes with 64
    std::atomic<int> calls{0};
    PICMP6_APC_ROUTINE routine = Apc;
    void* apc = nullptr;
    std::memcpy(&apc, &routine, sizeof apc);
    for (const uint32_t size : {0u, 56u, 55u}) { // 0: with the routine; 55: a byte short
        GuardedBuffer b(sizeof(ICMPV6_ECHO_REPLY) + (size == 0 ? 56 : size));
        const uint32_t n = p.m.send6(h, nullptr, size == 0 ? apc : nullptr, &calls, nullptr,
                                     &lo6.sa, data.data(), 56, &o, b.data(), b.size(), 2000);
        const uint32_t status = p.m.lastStatus();
        for (int i = 0; i < 2000 && size == 0 && calls == 0; ++i) {
            Sleep(1);
        }
        ICMPV6_ECHO_REPLY r;
        std::memcpy(&r, b.data(), sizeof r);
        char from[INET6_ADDRSTRLEN] = "";
        inet_ntop(AF_INET6, r.Address.sin6_addr, from, sizeof from);
        const bool echoed = b.GuardsIntact() && std::memcmp(b.At(sizeof r), data.data(), 56) == 0;
        Same(to_string(n) + ", " + to_string(status) + ", " + to_string(calls) + ": " +
                 (size == 55 ? (b.Untouched() ? "untouched" : "written")
                             : Text(from, r.Status, r.HopLimit, echoed ? 56 : -1,
                                    " type " + to_string(r.Type))),
             size == 55   ? "0, 11001, 1: untouched"
             : size == 56 ? "1, 0, 1: " + Text("::1", 0, 64, 56, " type 129")
                          : "0, 11098, 1: " + Text("::1", 0, 64, 56, " type 129"),
             "Icmp6SendEcho2 with a reply buffer of 48 + " + to_string(size));
    }
    p.m.close(h);
}

// The lab of routers (args: R1 R2 TARGET UNROUTABLE QUIET, IPv4 then IPv6, OTHER).
int Echo(const string& path, const string& kind, char** args) {
    const int before = Descriptors().first;
    Probe p;
    if (!p.Open(path, kind)) {
        return 1;
    }
    Loopback(p, kind, Address(args[4]));
    // Per family, on two handles at once: time-to-live 1 to 30 in flight together, each with its
    // own answer (the routers' Time Exceeded, then the target's reply with 62 hops left), though
    // the same routers answer both handles alike; and a router without a route.
    for (char** a : {args, args + 5}) {
        const bool six = a != args;
        ICMP_HANDLE one = six ? p.m.create6() : p.m.create(), other = six ? p.m.create6() : p.h;
        std::vector<uint8_t> ttls;
        std::vector<string> want;
        for (int ttl = 1; ttl <= 30; ++ttl) {
            ttls.push_back(uint8_t(ttl));
            want.push_back(ttl < 3 ? Text(a[ttl - 1], IP_TTL_EXPIRED_TRANSIT, 65 - ttl, 0,
                                          six ? " type 3" : " type 11")
                                   : Text(a[2], IP_SUCCESS, 62, 32, six ? " type 129" : " type 0"));
        }
        InFlight first(p.m, one, a[2], ttls), second(p.m, other, a[2], ttls);
        for (int i = 0; i < 300 && (first.Texts() != want || second.Texts() != want); ++i) {
            Sleep(10);
        }
        Sleep(20); // room for a second call
        for (InFlight* trace : {&first, &second}) {
            const auto got = trace->Texts();
            const auto wrong = std::mismatch(got.begin(), got.end(), want.begin());
            Same(wrong.first == got.end() ? "all" : *wrong.first,
                 wrong.first == got.end() ? "all" : *wrong.second,
                 string(six ? "IPv6" : "IPv4") + ", time-to-live 1 to 30 at once");
        }
        ICMP_ECHO_RESULT r{};
        p.m.sendEx(one, Dest(a[3]).get(), &r, 8, nullptr, 2000, nullptr, &r);
        Same(Text(r), Text(a[0], IP_DEST_NET_UNREACHABLE, 64, 0, six ? " type 1" : " type 3"),
             "no route at the first router");
        p.m.close(one);
        six ? p.m.close(other) : 0;
    }
    Same(p.Echo(Address(args[10]), 32, -1, 2000), EchoFrom(args[2], 32, 62),
         "an echo reply from another address than asked");
    // A request given up at once leaves its answer unread (on a ping socket a Time Exceeded also
    // sets the socket's pending error); the next request must get its own.
    for (const int first : {3, 1}) {
        p.Echo(Address(args[2]), 32, first, 0);
        const string got = p.Echo(Address(args[2]), 32, 4 - first, 2000);
        Check(got.starts_with("from " + string(args[first == 1 ? 2 : 0]) + " "),
              "after a time-out of 0, the next request's own answer: " + got);
    }
    p.m.close(p.h);
    const int after = Descriptors().first;
    Check(before == after,
          "descriptors open before and after: " + to_string(before) + ", " + to_string(after));
    return g_failures != 0;
}

int Burst(const string& path, const string& kind, const char* target, int count) {
    Probe p;
    int good = 0;
    for (int i = 0; i < count && (i > 0 || p.Open(path, kind)); ++i) {
        good += p.Echo(Address(target), 56, -1, 2000).starts_with(EchoFrom(target, 56, 64));
    }
    return !Check(good == count, to_string(good) + " of " + to_string(count) + " answered");
}

int Refused(const string& path) {
    Module m;
    const int before = Descriptors().first;
    const bool none = m.Load(path) && m.create() == ICMP_INVALID_HANDLE;
    const string why = m.CreateError(), dir = path.substr(0, path.rfind('/'));
    char small[8];
    return !Check(
        none && before == Descriptors().first && m.createError(small, 8) == why.size() &&
            string(small).size() == 7 && why.find("net.ipv4.ping_group_range") != string::npos &&
            why.find("setcap cap_net_raw+ep " + dir + "/sabrevin-icmp-helper") != string::npos,
        "no way allowed: no handle, no descriptor left open, and the reason names both "
        "ways to allow one (cut to a small buffer): " +
            why);
}

// A ping socket that opens but cannot be set up gives way to `kind` (or to none at all).
int Fallback(const string& path, const string& kind) {
    Probe p;
    Check(p.m.Load(path) && p.m.kind(p.m.create()) == ICMP_SOCKET_DGRAM, "ping sockets allowed");
    g_failPingBind = true;
    const int before = Descriptors().first;
    if (kind == "none") {
        const bool none = p.m.create() == ICMP_INVALID_HANDLE;
        const string why = p.m.CreateError();
        Check(none && why.find("a ping socket opened but could not be set up") != string::npos,
              "no handle, and the reason says why: " + why);
    } else if (p.Open(path, kind)) {
        Same(p.Echo(Address("127.0.0.1"), 32, -1, 2000), EchoFrom("127.0.0.1", 32), "it answers");
        p.m.close(p.h);
    }
    return !Check(before == Descriptors().first, "the ping socket that failed is closed");
}

// A helper that never answers is given up after 2 s, however many signals interrupt the wait.
int Stalled(const string& path) {
    Module m;
    struct sigaction action {};
    action.sa_handler = [](int) {}; // no SA_RESTART: each signal interrupts the wait
    sigaction(SIGALRM, &action, nullptr);
    itimerval every{{0, 150000}, {0, 150000}}, stop{};
    const bool loaded = m.Load(path);
    const int before = Descriptors().first;
    const auto start = std::chrono::steady_clock::now();
    setitimer(ITIMER_REAL, &every, nullptr);
    const bool none = loaded && m.create() == ICMP_INVALID_HANDLE;
    setitimer(ITIMER_REAL, &stop, nullptr);
    const double ms = MillisecondsSince(start);
    return !Check(none && ms >= 1900 && ms < 3500 &&
                      m.CreateError().find("did not answer") != string::npos &&
                      before == Descriptors().first,
                  "a silent helper is given up after " + to_string(ms) + " ms: " + m.CreateError());
}

// The helper alone, as the module starts it: its end of a socket pair on descriptor 3, no
// environment.
struct Helper {
    pid_t pid = 0;
    int fd[2] = {-1, -1};
    icmp_helper_hello hello{};
    explicit Helper(const char* path) {
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fd);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fd[1], ICMP_HELPER_FD);
        char* argv[] = {const_cast<char*>(path), nullptr};
        char* envp[] = {nullptr};
        posix_spawn(&pid, path, &actions, nullptr, argv, envp);
        posix_spawn_file_actions_destroy(&actions);
        close(fd[1]);
        Receive(hello);
    }
    template <typename Message> bool Receive(Message& out) {
        pollfd p{fd[0], POLLIN, 0};
        return poll(&p, 1, 5000) == 1 && recv(fd[0], &out, sizeof out, 0) == ssize_t(sizeof out);
    }
    // An echo request to an IPv4 address, its magic changed by flip.
    bool Send(uint32_t id, const char* to, uint32_t timeoutMs = 60000, uint32_t flip = 0) {
        icmp_helper_request r{ICMP_HELPER_MAGIC ^ flip, id, 4, 0, 32, timeoutMs, 0, {}};
        inet_pton(AF_INET, to, r.address);
        std::vector<uint8_t> p(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r + 1));
        p.resize(sizeof r + 32, 0xAA);
        return send(fd[0], p.data(), p.size(), MSG_NOSIGNAL) == ssize_t(p.size());
    }
    int Exit() { // its exit status once our end is closed
        int status = -1;
        close(fd[0]);
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// It holds no capability once it has said hello; a request that breaks the protocol ends it;
// more than its bound in flight is refused, not fatal.
int HelperAlone(const char* path, const char* quiet) {
    for (const bool broadcast : {false, true}) {
        Helper h(path);
        Check(h.Send(1, broadcast ? "255.255.255.255" : "127.0.0.1", 2000, broadcast ? 0 : 1) &&
                  h.Exit() == ICMP_HELPER_EXIT_REFUSED,
              broadcast ? "a request to broadcast ends the helper" : "a bad magic ends the helper");
    }
    Helper h(path);
    std::ifstream f("/proc/" + to_string(h.pid) + "/status");
    const string status{std::istreambuf_iterator<char>(f), {}};
    int held = status.find("NoNewPrivs:\t1") == string::npos;
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
        held += status.find(set + string(":\t0000000000000000")) == string::npos;
    }
    Check(h.hello.magic == ICMP_HELPER_MAGIC && h.hello.error4 == 0 && h.hello.error6 == 0 &&
              held == 0,
          "the helper opens both sockets, then holds no capability");
    for (uint32_t id = 1; id <= ICMP_HELPER_MAX_IN_FLIGHT + 1; ++id) {
        h.Send(id, quiet);
    }
    icmp_helper_answer a{};
    Check(h.Receive(a) && a.id == ICMP_HELPER_MAX_IN_FLIGHT + 1 && a.status == IP_NO_RESOURCES,
          "a request over the bound is answered IP_NO_RESOURCES");
    Check(h.Send(7, quiet) && h.Exit() == ICMP_HELPER_EXIT_REFUSED,
          "a repeated id in flight ends the helper");
    return g_failures != 0;
}

} // namespace

int main(int argc, char** argv) {
    const string mode = argc > 1 ? argv[1] : "";
    const int args = argc - 2;
    return mode == "echo" && args == 13      ? Echo(argv[2], argv[3], argv + 4)
           : mode == "burst" && args == 4    ? Burst(argv[2], argv[3], argv[4], std::atoi(argv[5]))
           : mode == "refused" && args == 1  ? Refused(argv[2])
           : mode == "fallback" && args == 2 ? Fallback(argv[2], argv[3])
           : mode == "stalled" && args == 1  ? Stalled(argv[2])
           : mode == "helper" && args == 2   ? HelperAlone(argv[2], argv[3])
                                             : 2;
}
