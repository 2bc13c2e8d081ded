// The network tests' client: drives the echo module, or its helper alone, against the real kernel
// in the lab that test_lab.sh builds with tests/lab.sh, as root or as nobody. KIND (dgram, raw or
// helper) is the socket kind IcmpCreateFile must pick. Prints one line per check; exits 1 if any
// failed.
//
//   icmp_net_probe echo     MODULE KIND R1 R2 TARGET UNROUTABLE QUIET (IPv4, then IPv6) OTHER
//   icmp_net_probe burst    MODULE KIND TARGET COUNT
//   icmp_net_probe refused  MODULE              no way to a socket is allowed
//   icmp_net_probe fallback MODULE              ping sockets allowed, but they cannot be set up
//   icmp_net_probe stalled  MODULE              the helper never answers
//   icmp_net_probe helper   HELPER QUIET
//
// QUIET never answers; OTHER is an address of the target whose replies come from TARGET.

#include "net/icmp/icmp_api.h"
#include "net/icmp/icmp_helper_proto.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using std::string;
using std::to_string;
using Clock = std::chrono::steady_clock;

static int g_failures = 0;
static bool g_failPingBind = false; // while set, bind() fails on ping sockets
static void* g_module = nullptr;    // the echo module under test, by dlopen
static std::mutex g_lock;
static const char kData[] = "0123456789abcdef";

// A function of the module under test (the probe does not link it: MODULE may be any build's).
#define M(name) reinterpret_cast<decltype(&name)>(dlsym(g_module, #name))

// Exported (ENABLE_EXPORTS), so the loaded module calls this bind(): a ping socket that opens but
// cannot be set up, for the fallback checks.
extern "C" int bind(int fd, const sockaddr* a, socklen_t size) noexcept {
    static const auto next = reinterpret_cast<decltype(&bind)>(dlsym(RTLD_NEXT, "bind"));
    int type = 0, protocol = 0;
    socklen_t n = sizeof type;
    getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &n);
    getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &n);
    errno = EADDRINUSE;
    return g_failPingBind && type == SOCK_DGRAM && protocol == IPPROTO_ICMP ? -1
                                                                            : next(fd, a, size);
}

namespace {

bool Check(bool ok, const string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    g_failures += !ok;
    return ok;
}

// Compares a whole outcome with the one wanted, and shows the outcome either way.
void Same(const string& got, const string& want, const string& what) {
    Check(got == want, what + ": " + got + (got == want ? "" : " (wanted: " + want + ")"));
}

// ", after N ms" unless the time since start is from low to under high milliseconds.
string Took(Clock::time_point start, double low, double high) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return ms >= low - 1 && ms < high ? "" : ", after " + to_string(ms) + " ms";
}

int Descriptors() {
    return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

string CreateError() {
    char text[2048] = "";
    M(IcmpGetCreateError)(text, sizeof text);
    return text;
}

string Addr(int family, const void* address) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, address, text, sizeof text);
    return text;
}

string Text(const string& from, uint32_t status, int ttl, int size, const string& more) {
    return from + " " + to_string(status) + " ttl " + to_string(ttl) + " size " + to_string(size) +
           more;
}

// A reply buffer fenced by 64 canary bytes on each side: the module may write only inside it,
// and nothing at all when it returns 0.
struct Fenced {
    uint32_t size;
    string bytes = string(size + 128, '\xC5');
    uint8_t* at(size_t offset = 0) { return reinterpret_cast<uint8_t*>(&bytes[64 + offset]); }
    // Nothing written (n == 0), or the fences intact and the data right after a record of
    // `record` bytes.
    bool Good(uint32_t n, size_t record, const void* data, size_t dataSize) {
        return n == 0 ? bytes.find_first_not_of('\xC5') == string::npos
                      : bytes.find_first_not_of('\xC5') >= 64 &&
                            bytes.find_first_not_of('\xC5', 64 + size) == string::npos &&
                            std::memcmp(at(record), data, dataSize) == 0;
    }
};

// IcmpSendEcho of size bytes of 0xAA (ttl -1: no option record) with a reply buffer of the size
// the program gives, and what it gave: the record, and whether the module wrote only inside the
// buffer and the data right after the record.
string Echo(ICMP_HANDLE h, const char* to, int size, int ttl, uint32_t timeout) {
    const std::vector<uint8_t> data(size_t(size), 0xAA);
    IP_OPTION_INFORMATION o{uint8_t(ttl), 0, 0, 0, nullptr};
    Fenced b{uint32_t(sizeof(ICMP_ECHO_REPLY) + size)};
    in_addr a{};
    inet_pton(AF_INET, to, &a);
    const uint32_t n = M(IcmpSendEcho)(h, a.s_addr, data.data(), uint16_t(size),
                                       ttl < 0 ? nullptr : &o, b.at(), b.size, timeout);
    ICMP_ECHO_REPLY r;
    std::memcpy(&r, b.at(), sizeof r);
    const bool good =
        (n == 0 || r.DataOffset == sizeof r) && b.Good(n, sizeof r, data.data(), r.DataSize);
    return (good ? "" : "bad buffer, ") +
           (n == 0 ? "none " + to_string(M(IcmpGetLastStatus)())
                   : Text(Addr(AF_INET, &r.Address), r.Status, r.Options.Ttl, r.DataSize,
                          " tos " + to_string(r.Options.Tos)));
}

// Requests of 16 bytes through IcmpSendEchoEx with a completion, one per time-to-live, to an
// address of either family; and their results, a line each (a request that completed other than
// once shows its count of calls).
using Results = std::vector<std::vector<string>>;
void Done(void* list, const ICMP_ECHO_RESULT* r) {
    const string from = r->Family == AF_INET ? Addr(AF_INET, &r->Sender.Ipv4.sin_addr)
                                             : Addr(AF_INET6, &r->Sender.Ipv6.sin6_addr);
    std::lock_guard<std::mutex> guard(g_lock);
    static_cast<std::vector<string>*>(list)->push_back(
        Text(from, r->Status, r->Ttl, r->DataSize, " type " + to_string(r->Type)));
}

void Send(Results& results, ICMP_HANDLE h, const char* to, const std::vector<uint8_t>& ttls) {
    sockaddr_in6 sa{}; // large enough for either; the family is at the same place in both
    const bool v4 = inet_pton(AF_INET, to, &reinterpret_cast<sockaddr_in*>(&sa)->sin_addr) == 1;
    sa.sin6_family = sa_family_t(v4 ? AF_INET : (inet_pton(AF_INET6, to, &sa.sin6_addr), AF_INET6));
    results.resize(ttls.size());
    for (size_t i = 0; i < ttls.size(); ++i) {
        IP_OPTION_INFORMATION o{ttls[i], 0, 0, 0, nullptr};
        M(IcmpSendEchoEx)
        (h, reinterpret_cast<sockaddr*>(&sa), kData, 16, &o, 2000, Done, &results[i]);
    }
}

string Texts(const Results& results) {
    std::lock_guard<std::mutex> guard(g_lock);
    string out;
    for (const auto& l : results) {
        out += (l.size() == 1 ? l[0] : to_string(l.size()) + " calls") + "\n";
    }
    return out;
}

// IPv4 through loopback: the largest request the program sends, with time-to-live 1 (the reply
// comes with 64), and requests that time out (11010) at once or after their time-out; requests
// ended by close and cancel; IPv6 through loopback, as the program sends it (waiting).
void Loopback(ICMP_HANDLE h, const char* quiet) {
    using Row = std::tuple<const char*, int, int, int, string>;
    for (const auto& [to, size, ttl, timeout, want] :
         {Row{"127.0.0.1", 512, 1, 2000, Text("127.0.0.1", 0, 64, 512, " tos 0")},
          Row{"127.0.0.1", 32, -1, 0, "none 11010"}, Row{quiet, 32, -1, 200, "none 11010"}}) {
        const auto start = Clock::now();
        const string got = Echo(h, to, size, ttl, uint32_t(timeout));
        const int waits = want == "none 11010" ? timeout : 0;
        Same(got + Took(start, waits, waits + 100), want,
             string(to) + ", " + to_string(size) + " bytes in " + to_string(timeout));
    }
    // Cancelling, or closing with 10 more in flight, from another thread ends a request waiting
    // without a time-out at once; IcmpCloseHandle returns only after all have ended.
    for (const bool closing : {false, true}) {
        ICMP_HANDLE other = M(IcmpCreateFile)();
        Results ten;
        string waited, want = "none 11099";
        std::thread waiter([&] { waited = Echo(other, quiet, 32, -1, UINT32_MAX); });
        Send(ten, other, quiet, std::vector<uint8_t>(closing ? 10 : 0, 64));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto start = Clock::now();
        (closing ? M(IcmpCloseHandle) : M(IcmpCancelHandle))(other);
        const string atClose = Texts(ten);
        waiter.join();
        for (size_t i = 0; i < ten.size(); ++i) {
            want.insert(0, Text("0.0.0.0", IP_REQ_CANCELLED, 0, 0, " type 0\n"));
        }
        Same(atClose + waited + Took(start, 0, 100), want, closing ? "closed" : "cancelled");
        M(IcmpCloseHandle)(closing ? nullptr : other);
    }

    // Icmp6SendEcho2 as the program calls it (waiting), and with a reply buffer a byte short
    // (refused, nothing written).
    ICMP_HANDLE other = M(Icmp6CreateFile)();
    sockaddr_in6 lo6{AF_INET6, 0, 0, IN6ADDR_LOOPBACK_INIT, 0};
    IP_OPTION_INFORMATION o{1, 0, 0, 0, nullptr}; // the reply still comes with 64
    for (const uint32_t less : {0, 1}) {
        Fenced b{uint32_t(sizeof(ICMPV6_ECHO_REPLY) + 16 - less)};
        const uint32_t n = M(Icmp6SendEcho2)(other, nullptr, nullptr, nullptr, nullptr, &lo6, kData,
                                             16, &o, b.at(), b.size, 2000);
        ICMPV6_ECHO_REPLY r;
        std::memcpy(&r, b.at(), sizeof r);
        Same(to_string(n) + " " + to_string(M(IcmpGetLastStatus)()) + ": " +
                 (!b.Good(n, sizeof r, kData, 16) ? "bad buffer"
                  : n == 0                        ? "untouched"
                           : Text(Addr(AF_INET6, r.Address.sin6_addr), r.Status, r.HopLimit, 16,
                                  " type " + to_string(r.Type))),
             less ? "0 11001: untouched" : "1 0: ::1 0 ttl 64 size 16 type 129",
             "Icmp6SendEcho2 with a reply buffer of " + to_string(b.size));
    }
    M(IcmpCloseHandle)(other);
}

// A handle of IcmpCreateFile, which must be of the kind wanted (else the probe ends here).
ICMP_HANDLE Open(const string& path, const string& kind) {
    g_module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const int want = kind == "dgram" ? ICMP_SOCKET_DGRAM
                     : kind == "raw" ? ICMP_SOCKET_RAW
                                     : ICMP_SOCKET_HELPER;
    const ICMP_HANDLE h = g_module != nullptr ? M(IcmpCreateFile)() : nullptr;
    if (!Check(g_module != nullptr && M(IcmpGetSocketKind)(h) == want,
               "IcmpCreateFile gives a " + kind + " handle " +
                   (g_module != nullptr ? CreateError() : dlerror()))) {
        std::exit(1);
    }
    return h;
}

// The lab of routers (args: R1 R2 TARGET UNROUTABLE QUIET, IPv4 then IPv6, OTHER).
int Lab(const string& path, const string& kind, char** args) {
    const int before = Descriptors();
    const ICMP_HANDLE h = Open(path, kind);
    Loopback(h, args[4]);
    // Per family, on two handles at once: time-to-live 1 to 30 in flight together, each with its
    // own answer (the routers' Time Exceeded, then the target's reply with 62 hops left), though
    // the same routers answer both handles alike; and a router without a route.
    for (char** a : {args, args + 5}) {
        const bool six = a != args;
        const auto open = six ? M(Icmp6CreateFile) : M(IcmpCreateFile);
        const ICMP_HANDLE one = open(), other = six ? open() : h;
        std::vector<uint8_t> ttls;
        string want;
        for (int ttl = 1; ttl <= 30; ++ttl) {
            ttls.push_back(uint8_t(ttl));
            want += ttl < 3 ? Text(a[ttl - 1], 11013, 65 - ttl, 0, six ? " type 3\n" : " type 11\n")
                            : Text(a[2], 0, 62, 16, six ? " type 129\n" : " type 0\n");
        }
        Results first, second, noRoute;
        Send(first, one, a[2], ttls);
        Send(second, other, a[2], ttls);
        Send(noRoute, one, a[3], {64});
        for (int i = 0; i < 300 && (Texts(first) != want || Texts(second) != want); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // room for a second call
        Same(Texts(first) + Texts(second), want + want,
             string(six ? "IPv6" : "IPv4") + ", time-to-live 1 to 30 on both handles");
        Same(Texts(noRoute), Text(a[0], 11002, 64, 0, six ? " type 1\n" : " type 3\n"),
             "no route at the first router");
        M(IcmpCloseHandle)(one);
        M(IcmpCloseHandle)(six ? other : nullptr);
    }
    const string reply = Text(args[2], 0, 62, 32, " tos 0");
    Same(Echo(h, args[10], 32, -1, 2000), reply, "an echo reply from another address than asked");
    // A request given up at once leaves its answer unread (on a ping socket a Time Exceeded also
    // sets the socket's pending error); the next request must get its own, status and all.
    for (const int first : {3, 1}) {
        Echo(h, args[2], 32, first, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // its answer comes meanwhile
        Same(Echo(h, args[2], 32, 4 - first, 2000),
             first == 1 ? reply : Text(args[0], 11013, 64, 0, " tos 192"),
             "after a time-out of 0, the next request's own answer");
    }
    M(IcmpCloseHandle)(h);
    Same(to_string(Descriptors()), to_string(before), "descriptors open after, as before");
    return g_failures != 0;
}

int Burst(const string& path, const string& kind, const char* target, int count) {
    const ICMP_HANDLE h = Open(path, kind);
    int good = 0;
    for (int i = 0; i < count; ++i) {
        good += Echo(h, target, 56, -1, 2000) == Text(target, 0, 64, 56, " tos 0");
    }
    Check(good == count, to_string(good) + " of " + to_string(count) + " answered");
    return g_failures != 0;
}

// IcmpCreateFile when no way is allowed (refused), after a ping socket that cannot be set up and
// the next ways tried (fallback), or with a helper that never answers (stalled: given up after 2 s,
// however many signals interrupt the wait): no handle, the reason said, no descriptor left open.
int Create(const string& path, const string& mode) {
    const string gid = to_string(getegid()), helper = path.substr(0, path.rfind('/') + 1);
    const string reason =
        mode == "refused"
            ? "ping_group_range=\"" + gid + " " + gid + "\", or give the helper " +
                  "the capability: setcap cap_net_raw+ep " + helper + "sabrevin-icmp-helper"
        : mode == "stalled"
            ? "did not answer"
            : "a ping socket opened but could not be set up (Address already in use); raw ICMP";
    struct sigaction action {};
    action.sa_handler = [](int) {}; // no SA_RESTART: each signal interrupts the wait
    sigaction(SIGALRM, &action, nullptr);
    itimerval every{{0, 150000}, {0, 150000}}, stop{};
    g_module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    g_failPingBind =
        mode == "fallback" && M(IcmpGetSocketKind)(M(IcmpCreateFile)()) == ICMP_SOCKET_DGRAM;
    const int before = Descriptors();
    const auto start = Clock::now();
    setitimer(ITIMER_REAL, &every, nullptr);
    ICMP_HANDLE h = M(IcmpCreateFile)();
    setitimer(ITIMER_REAL, &stop, nullptr);
    const string took = Took(start, mode == "stalled" ? 2000 : 0, mode == "stalled" ? 2500 : 1500);
    Check((mode == "fallback") == g_failPingBind && took.empty() && h == ICMP_INVALID_HANDLE &&
              CreateError().find(reason) != string::npos && before == Descriptors(),
          mode + took + ": " + CreateError());
    return g_failures != 0;
}

// The helper alone, as the module starts it: its end of a socket pair on descriptor 3, no
// environment; then what it holds once it has said hello, and requests that end it.
int HelperAlone(const char* path, const char* quiet) {
    int fd[2], exit = 0;
    pid_t pid = 0;
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fd);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd[1], ICMP_HELPER_FD);
    char* argv[] = {const_cast<char*>(path), nullptr};
    posix_spawn(&pid, path, &actions, nullptr, argv, argv + 1); // an empty environment
    posix_spawn_file_actions_destroy(&actions);
    close(fd[1]);
    icmp_helper_hello hello{};
    pollfd p{fd[0], POLLIN, 0};
    int bad = poll(&p, 1, 5000) != 1 || recv(fd[0], &hello, sizeof hello, 0) != sizeof hello ||
              hello.error4 != 0 || hello.error6 != 0;
    std::ifstream f("/proc/" + to_string(pid) + "/status");
    const string status{std::istreambuf_iterator<char>(f), {}};
    for (const char* set : {"NoNewPrivs:\t1", "CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
        bad +=
            status.find(set + string(set[0] == 'N' ? "" : ":\t0000000000000000")) == string::npos;
    }
    Check(bad == 0, "the helper says hello with both raw sockets open, then holds no capability "
                    "and can gain none");
    // A repeated id in flight (fatal). A wrong magic takes the same way out; the request parser's
    // table refuses it. (Its bound in flight is the prober's, which the lab's tables reach.)
    struct {
        icmp_helper_request r;
        uint8_t data[32];
    } packet{{ICMP_HELPER_MAGIC, 7, 4, 0, 32, 60000, 0, {}}, {}};
    inet_pton(AF_INET, quiet, packet.r.address);
    send(fd[0], &packet, sizeof packet, MSG_NOSIGNAL);
    send(fd[0], &packet, sizeof packet, MSG_NOSIGNAL);
    close(fd[0]);
    waitpid(pid, &exit, 0);
    Check(WIFEXITED(exit) && WEXITSTATUS(exit) == ICMP_HELPER_EXIT_REFUSED,
          "a repeated id in flight ends it");
    return g_failures != 0;
}

} // namespace

int main(int argc, char** argv) {
    const string mode = argc > 1 ? argv[1] : "";
    const int args = argc - 2;
    return mode == "echo" && args == 13   ? Lab(argv[2], argv[3], argv + 4)
           : mode == "burst" && args == 4 ? Burst(argv[2], argv[3], argv[4], std::atoi(argv[5]))
           : args == 1 && (mode == "refused" || mode == "stalled" || mode == "fallback")
               ? Create(argv[2], mode)
           : mode == "helper" && args == 2 ? HelperAlone(argv[2], argv[3])
                                           : 2;
}
