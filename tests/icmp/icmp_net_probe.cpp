// The network tests' client: drives the echo module, or its helper alone, against the real kernel
// in the lab that test_lab.sh builds with tests/lab.sh, as root or as nobody. KIND (dgram, raw or
// helper) is the socket kind IcmpCreateFile must pick. Prints one line per check; exits 1 if any
// failed.
//
//   icmp_net_probe echo     MODULE KIND R1 R2 TARGET UNROUTABLE QUIET (IPv4, then IPv6) OTHER
//   icmp_net_probe burst    MODULE KIND TARGET COUNT
//   icmp_net_probe refused  MODULE              no way to a socket is allowed
//   icmp_net_probe fallback MODULE KIND|none    ping sockets allowed, but they cannot be set up
//   icmp_net_probe stalled  MODULE              the helper never answers
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
bool g_failPingBind = false; // while set, bind() fails on ping sockets
Module m;
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
        const bool v4 = inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&sa)->sin_addr);
        sa.sin6_family = v4 ? AF_INET : AF_INET6;
        if (!v4) {
            inet_pton(AF_INET6, text, &sa.sin6_addr);
        }
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&sa); }
};

string Text(const string& from, uint32_t status, int ttl, int size, const string& more) {
    return "from " + from + " status " + to_string(status) + " ttl " + to_string(ttl) + " size " +
           to_string(size) + more;
}

string Text(const ICMP_ECHO_RESULT& r) {
    char from[INET6_ADDRSTRLEN] = "";
    inet_ntop(int(r.Family), &r.Sender.Ipv6.sin6_addr, from, sizeof from);
    if (r.Family == AF_INET) {
        inet_ntop(AF_INET, &r.Sender.Ipv4.sin_addr, from, sizeof from);
    }
    return Text(from, r.Status, r.Ttl, r.DataSize, " type " + to_string(r.Type));
}

string EchoFrom(const string& from, int size, int ttl = 64, int tos = 0, const string& more = "") {
    return Text(from, IP_SUCCESS, ttl, size, " tos " + to_string(tos) + more);
}

// IcmpSendEcho of size bytes of 0xAA, and what it gave: the record, and whether the module wrote
// only inside the buffer (nothing when it returned 0) and the data right after the record.
string Echo(ICMP_HANDLE h, IPAddr to, uint16_t size, int ttl, uint32_t timeout,
            uint32_t replySize = 0, uint8_t tos = 0, uint8_t optionsSize = 0) {
    static uint8_t recordRoute[64] = {7, 39, 4}; // room for nine addresses
    const std::vector<uint8_t> data(size, 0xAA);
    IP_OPTION_INFORMATION o{uint8_t(ttl), tos, 0, optionsSize, recordRoute};
    GuardedBuffer b(replySize != 0 ? replySize : sizeof(ICMP_ECHO_REPLY) + size + 40);
    const uint32_t n =
        m.send(h, to, data.data(), size, ttl < 0 ? nullptr : &o, b.data(), b.size(), timeout);
    const ICMP_ECHO_REPLY& r = b.Reply();
    const uint32_t at = r.Options.OptionsOffset;
    const bool good = b.GuardsIntact() &&
                      (n == 0 ? b.Untouched()
                              : r.DataOffset == sizeof r &&
                                    std::memcmp(b.At(sizeof r), data.data(), r.DataSize) == 0);
    return (good ? "" : "bad buffer, ") +
           (n == 0 ? "none, status " + to_string(m.lastStatus())
                   : Text(Dotted(r.Address), r.Status, r.Options.Ttl, r.DataSize,
                          " tos " + to_string(r.Options.Tos)) +
                         (r.Options.OptionsSize == 0
                              ? ""
                              : " option " + to_string(*b.At(at < b.size() ? at : 0)) + " at " +
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
    InFlight(ICMP_HANDLE h, const char* to, const std::vector<uint8_t>& ttls)
        : results(ttls.size()) {
        for (size_t i = 0; i < ttls.size(); ++i) {
            contexts.emplace_back(this, i);
        }
        for (size_t i = 0; i < ttls.size(); ++i) {
            IP_OPTION_INFORMATION o{ttls[i], 0, 0, 0, nullptr};
            m.sendEx(h, Dest(to).get(), "0123456789abcdef", 16, &o, 2000, Done, &contexts[i]);
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

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Apc(void* context) {
    ++*static_cast<std::atomic<int>*>(context);
}

// IPv4 through loopback: what IcmpSendEcho answers or refuses, with this kind's own limits, and
// requests ended by close and cancel; IPv6 through loopback, waiting and with a routine.
void Loopback(ICMP_HANDLE h, const string& kind, IPAddr quiet) {
    const bool helper = kind == "helper";
    const IPAddr lo = Address("127.0.0.1");
    const string timedOut = "none, status 11010", tooBig = "none, status 11009";
    const string badOption = "none, status 11007", echo = EchoFrom("127.0.0.1", 32);
    const struct Row {
        const char* what;
        IPAddr to;
        uint16_t size;
        int ttl; // -1: no option record
        uint8_t tos, optionsSize;
        uint32_t replySize, timeout; // reply size 0: the record, the data and 40 bytes
        string want, helperWant;     // helperWant "": as want
    } rows[] = {
        {"no data", lo, 0, -1, 0, 0, 0, 2000, EchoFrom("127.0.0.1", 0), "none, status 11011"},
        {"512 bytes, time-to-live 1", lo, 512, 1, 0, 0, 0, 2000, EchoFrom("127.0.0.1", 512), ""},
        {"513 bytes", lo, 513, -1, 0, 0, 0, 2000, EchoFrom("127.0.0.1", 513), tooBig},
        {"65507 bytes", lo, 65507, -1, 0, 0, 0, 2000, EchoFrom("127.0.0.1", 65507), tooBig},
        {"65508 bytes", lo, 65508, -1, 0, 0, 0, 2000, tooBig, ""},
        {"type of service", lo, 32, 64, 16, 0, 0, 2000, EchoFrom("127.0.0.1", 32, 64, 16),
         badOption},
        {"record route", lo, 32, 64, 0, 40, 0, 2000, echo + " option 7 at 60", badOption},
        {"record route, no room for it", lo, 32, 64, 0, 40, 60, 2000, echo, badOption},
        {"41 bytes of IP options", lo, 32, 64, 0, 41, 0, 2000, "none, status 11017", ""},
        {"time-out 0", lo, 32, -1, 0, 0, 0, 0, timedOut, ""},
        {"a silent host, 200 ms", quiet, 32, -1, 0, 0, 0, 200, timedOut, ""},
    };
    for (const Row& row : rows) {
        const auto start = std::chrono::steady_clock::now();
        const string got = Echo(h, row.to, row.size, row.ttl, row.timeout, row.replySize, row.tos,
                                row.optionsSize);
        const double ms = MillisecondsSince(start);
        const string& want = helper && !row.helperWant.empty() ? row.helperWant : row.want;
        const double waits = want == timedOut ? row.timeout : 0; // and no more than 100 ms on
        Same(got + (ms >= waits - 1 && ms < waits + 100 ? "" : ", after " + to_string(ms)), want,
             row.what);
    }
    // Closing or cancelling from another thread ends a request waiting without a time-out.
    for (const bool cancel : {false, true}) {
        ICMP_HANDLE other = m.create();
        string got;
        std::thread waiter([&] { got = Echo(other, quiet, 32, -1, UINT32_MAX); });
        Sleep(50);
        const auto start = std::chrono::steady_clock::now();
        cancel ? m.cancel(other) : m.close(other);
        waiter.join();
        const double ms = MillisecondsSince(start);
        Same(got + (ms < 100 ? "" : ", after " + to_string(ms)), "none, status 11099",
             cancel ? "IcmpCancelHandle" : "IcmpCloseHandle");
        m.close(other);
    }
    ICMP_HANDLE other = m.create();
    InFlight ten(other, Dotted(quiet).c_str(), std::vector<uint8_t>(10, 64));
    const int raws = Descriptors().second;
    m.close(other);
    Same(ten.Texts()[9] + (ten.Texts() == std::vector(10, ten.Texts()[9]) ? "" : ", not all"),
         Text("0.0.0.0", IP_REQ_CANCELLED, 0, 0, " type 0"),
         "IcmpCloseHandle ends 10 requests in flight before it returns");
    Check((raws > 0) == (kind == "raw"), "raw sockets in this process: " + to_string(raws));

    // Icmp6SendEcho2, with a routine and waiting, and with a reply buffer a byte short.
    other = m.create6();
    const Dest lo6("::1");
    IP_OPTION_INFORMATION o{1, 0, 0, 0, nullptr}; // the reply still comes with 64
    std::atomic<int> calls{0};
    PICMP6_APC_ROUTINE routine = Apc;
    void* apc = nullptr;
    std::memcpy(&apc, &routine, sizeof apc);
    for (const uint32_t size : {0u, 16u, 15u}) { // 0: 16 with the routine
        GuardedBuffer b(sizeof(ICMPV6_ECHO_REPLY) + (size == 0 ? 16 : size));
        const uint32_t n = m.send6(other, nullptr, size == 0 ? apc : nullptr, &calls, nullptr,
                                   &lo6.sa, "0123456789abcdef", 16, &o, b.data(), b.size(), 2000);
        const uint32_t status = m.lastStatus();
        for (int i = 0; i < 2000 && size == 0 && calls == 0; ++i) {
            Sleep(1);
        }
        ICMPV6_ECHO_REPLY r;
        std::memcpy(&r, b.data(), sizeof r);
        char from[INET6_ADDRSTRLEN] = "";
        inet_ntop(AF_INET6, r.Address.sin6_addr, from, sizeof from);
        const bool echoed =
            b.GuardsIntact() && std::memcmp(b.At(sizeof r), "0123456789abcdef", 16) == 0;
        Same(to_string(n) + ", " + to_string(status) + ", " + to_string(calls) + ": " +
                 (size == 15 ? (b.Untouched() ? "untouched" : "written")
                             : Text(from, r.Status, r.HopLimit, echoed ? 16 : -1,
                                    " type " + to_string(r.Type))),
             size == 15   ? "0, 11001, 1: untouched"
             : size == 16 ? "1, 0, 1: " + Text("::1", 0, 64, 16, " type 129")
                          : "0, 11098, 1: " + Text("::1", 0, 64, 16, " type 129"),
             "Icmp6SendEcho2 with a reply buffer of 48 + " + to_string(size));
    }
    m.close(other);
}

// Whether IcmpCreateFile gives the kind of handle wanted.
bool Open(const string& path, const string& kind, ICMP_HANDLE* h) {
    const int want = kind == "dgram" ? ICMP_SOCKET_DGRAM
                     : kind == "raw" ? ICMP_SOCKET_RAW
                                     : ICMP_SOCKET_HELPER;
    const bool ok = m.Load(path) && m.kind(*h = m.create()) == want;
    return Check(ok, "IcmpCreateFile gives a " + kind + " handle " + m.CreateError());
}

// The lab of routers (args: R1 R2 TARGET UNROUTABLE QUIET, IPv4 then IPv6, OTHER).
int Lab(const string& path, const string& kind, char** args) {
    const int before = Descriptors().first;
    ICMP_HANDLE h = nullptr;
    if (!Open(path, kind, &h)) {
        return 1;
    }
    Loopback(h, kind, Address(args[4]));
    // Per family, on two handles at once: time-to-live 1 to 30 in flight together, each with its
    // own answer (the routers' Time Exceeded, then the target's reply with 62 hops left), though
    // the same routers answer both handles alike; and a router without a route.
    for (char** a : {args, args + 5}) {
        const bool six = a != args;
        const ICMP_HANDLE one = six ? m.create6() : m.create(), other = six ? m.create6() : h;
        std::vector<uint8_t> ttls;
        std::vector<string> want;
        for (int ttl = 1; ttl <= 30; ++ttl) {
            ttls.push_back(uint8_t(ttl));
            want.push_back(ttl < 3
                               ? Text(a[ttl - 1], 11013, 65 - ttl, 0, six ? " type 3" : " type 11")
                               : Text(a[2], 0, 62, 16, six ? " type 129" : " type 0"));
        }
        InFlight first(one, a[2], ttls), second(other, a[2], ttls);
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
        m.sendEx(one, Dest(a[3]).get(), &r, 8, nullptr, 2000, nullptr, &r);
        Same(Text(r), Text(a[0], 11002, 64, 0, six ? " type 1" : " type 3"),
             "no route at the first router");
        m.close(one);
        m.close(six ? other : nullptr);
    }
    Same(Echo(h, Address(args[10]), 32, -1, 2000), EchoFrom(args[2], 32, 62),
         "an echo reply from another address than asked");
    // A request given up at once leaves its answer unread (on a ping socket a Time Exceeded also
    // sets the socket's pending error); the next request must get its own, status and all.
    for (const int first : {3, 1}) {
        Echo(h, Address(args[2]), 32, first, 0);
        Sleep(50); // its answer comes meanwhile
        Same(Echo(h, Address(args[2]), 32, 4 - first, 2000),
             first == 1 ? EchoFrom(args[2], 32, 62) : Text(args[0], 11013, 64, 0, " tos 192"),
             "after a time-out of 0, the next request's own answer");
    }
    m.close(h);
    const int after = Descriptors().first;
    return !Check(before == after && g_failures == 0,
                  "descriptors open before and after: " + to_string(before) + ", " +
                      to_string(after));
}

int Burst(const string& path, const string& kind, const char* target, int count) {
    ICMP_HANDLE h = nullptr;
    int good = 0;
    for (int i = 0; i < count && (i > 0 || Open(path, kind, &h)); ++i) {
        good += Echo(h, Address(target), 56, -1, 2000) == EchoFrom(target, 56);
    }
    Check(good == count, to_string(good) + " of " + to_string(count) + " answered");
    return g_failures != 0;
}

// IcmpCreateFile when no way is allowed (refused), after a ping socket that cannot be set up
// (fallback: to `kind` or to none), or with a helper that never answers (stalled: given up after
// 2 s, however many signals interrupt the wait); a failure says why and leaves no descriptor open.
int Create(const string& path, const string& mode, const string& kind) {
    const string gid = to_string(getegid()), dir = path.substr(0, path.rfind('/'));
    const string reason = mode == "refused" ? "ping_group_range=\"" + gid + " " + gid +
                                                  "\", or give the helper the capability: setcap "
                                                  "cap_net_raw+ep " +
                                                  dir + "/sabrevin-icmp-helper"
                          : mode == "stalled" ? "did not answer"
                          : kind == "none"    ? "a ping socket opened but could not be set up"
                                              : "";
    struct sigaction action {};
    action.sa_handler = [](int) {}; // no SA_RESTART: each signal interrupts the wait
    sigaction(SIGALRM, &action, nullptr);
    itimerval every{{0, 150000}, {0, 150000}}, stop{};
    g_failPingBind = m.Load(path) && mode == "fallback" && m.kind(m.create()) == ICMP_SOCKET_DGRAM;
    const int before = Descriptors().first;
    const auto start = std::chrono::steady_clock::now();
    setitimer(ITIMER_REAL, &every, nullptr);
    ICMP_HANDLE h = m.create();
    setitimer(ITIMER_REAL, &stop, nullptr);
    const double ms = MillisecondsSince(start);
    Check((mode == "fallback") == g_failPingBind && (ms >= 1900) == (mode == "stalled") &&
              ms < 3500 && m.CreateError().find(reason) != string::npos &&
              (h != ICMP_INVALID_HANDLE || before == Descriptors().first),
          mode + " after " + to_string(ms) + " ms: " + m.CreateError());
    return kind == "none" ? !Check(h == ICMP_INVALID_HANDLE, "no handle") || g_failures != 0
                          : Burst(path, kind, "127.0.0.1", 1);
}

// The helper alone, as the module starts it: its end of a socket pair on descriptor 3, no
// environment; then what it holds once it has said hello, and requests that end it.
int HelperAlone(const char* path, const char* quiet) {
    for (const bool bound : {false, true}) {
        int fd[2];
        pid_t pid = 0;
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fd);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fd[1], ICMP_HELPER_FD);
        char* argv[] = {const_cast<char*>(path), nullptr};
        char* envp[] = {nullptr};
        posix_spawn(&pid, path, &actions, nullptr, argv, envp);
        close(fd[1]);
        icmp_helper_hello hello{};
        pollfd p{fd[0], POLLIN, 0};
        Check(poll(&p, 1, 5000) == 1 && recv(fd[0], &hello, sizeof hello, 0) == sizeof hello &&
                  hello.error4 == 0 && hello.error6 == 0,
              "the helper says hello with both raw sockets open");
        std::ifstream f("/proc/" + to_string(pid) + "/status");
        const string status{std::istreambuf_iterator<char>(f), {}};
        int held = status.find("NoNewPrivs:\t1") == string::npos;
        for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
            held += status.find(set + string(":\t0000000000000000")) == string::npos;
        }
        Check(held == 0, "then it holds no capability and can gain none");
        // Its bound in flight and one more (refused, not fatal), then a repeated id; or a request
        // with a wrong magic.
        for (uint32_t i = 1; i <= (bound ? ICMP_HELPER_MAX_IN_FLIGHT + 2 : 1); ++i) {
            const uint32_t id = i > ICMP_HELPER_MAX_IN_FLIGHT + 1 ? 7 : i;
            icmp_helper_request r{ICMP_HELPER_MAGIC ^ !bound, id, 4, 0, 32, 60000, 0, {}};
            inet_pton(AF_INET, quiet, r.address);
            std::vector<uint8_t> packet(reinterpret_cast<uint8_t*>(&r),
                                        reinterpret_cast<uint8_t*>(&r + 1));
            packet.resize(sizeof r + 32, 0xAA);
            send(fd[0], packet.data(), packet.size(), MSG_NOSIGNAL);
        }
        icmp_helper_answer a{};
        Check(!bound || (poll(&p, 1, 5000) == 1 && recv(fd[0], &a, sizeof a, 0) == sizeof a &&
                         a.id == ICMP_HELPER_MAX_IN_FLIGHT + 1 && a.status == IP_NO_RESOURCES),
              "one request over its bound is answered IP_NO_RESOURCES");
        int exit = 0;
        close(fd[0]);
        waitpid(pid, &exit, 0);
        Check(WIFEXITED(exit) && WEXITSTATUS(exit) == ICMP_HELPER_EXIT_REFUSED,
              bound ? "a repeated id in flight ends it" : "a wrong magic ends it");
    }
    return g_failures != 0;
}

} // namespace

int main(int argc, char** argv) {
    const string mode = argc > 1 ? argv[1] : "";
    const int args = argc - 2;
    return mode == "echo" && args == 13      ? Lab(argv[2], argv[3], argv + 4)
           : mode == "burst" && args == 4    ? Burst(argv[2], argv[3], argv[4], std::atoi(argv[5]))
           : mode == "fallback" && args == 2 ? Create(argv[2], mode, argv[3])
           : args == 1 && (mode == "refused" || mode == "stalled") ? Create(argv[2], mode, "none")
           : mode == "helper" && args == 2                         ? HelperAlone(argv[2], argv[3])
                                                                   : 2;
}
