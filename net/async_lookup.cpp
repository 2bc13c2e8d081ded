#include "net/async_lookup.h"

#include "net/sockets.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// What a finished lookup found, before it is laid into the caller's buffer.
struct HostResult {
    int error = 0;
    std::string name;
    std::vector<std::string> aliases;
    std::vector<uint32_t> addresses;  // IPv4, network byte order
    std::vector<in6_addr> addresses6; // IPv6, network byte order
};

// The address of a reverse lookup.
struct PtrAddress {
    int family = AF_INET; // AF_INET (4 bytes) or AF_INET6 (16 bytes)
    in6_addr bytes{};     // network byte order; an IPv4 address in the first 4 bytes
    int Length() const { return family == AF_INET6 ? 16 : 4; }
};

// DNS answer codes (RFC 1035 4.1.1).
constexpr int kRcodeNone = -1; // no answer came
constexpr int kRcodeServFail = 2;
constexpr int kRcodeNxDomain = 3;
constexpr int kRcodeNotImp = 4;
constexpr int kRcodeRefused = 5;

// c-ares skips a server that answers SERVFAIL, NOTIMP or REFUSED and, when every server has,
// reports a refused connection, as it does for a port that refuses the datagram; a reverse
// lookup reports every failure as not found. The code of the last answer tells them apart:
// REFUSED and NOTIMP are errors that no retry mends, SERVFAIL and silence are worth a retry.
int ErrorOfStatus(int status, int timeouts, bool reverse, int lastRcode) {
    const bool unrecoverable = lastRcode == kRcodeRefused || lastRcode == kRcodeNotImp;
    switch (status) {
    case ARES_SUCCESS:
        return 0;
    case ARES_ENOTFOUND:
    case ARES_EBADNAME:
        if (reverse && lastRcode != kRcodeNxDomain) {
            if (unrecoverable) {
                return WSANO_RECOVERY;
            }
            if (timeouts > 0 || lastRcode == kRcodeServFail) {
                return WSATRY_AGAIN;
            }
        }
        return WSAHOST_NOT_FOUND;
    case ARES_ENODATA:
        return WSANO_DATA;
    case ARES_ECONNREFUSED:
        return unrecoverable ? WSANO_RECOVERY : WSATRY_AGAIN;
    case ARES_ETIMEOUT:
    case ARES_ESERVFAIL:
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION:
        return WSATRY_AGAIN;
    case ARES_ENOMEM:
        return WSAENOBUFS;
    default: // ARES_EFORMERR, ARES_EREFUSED, ARES_ENOTIMP, ARES_EBADRESP and the rest
        return WSANO_RECOVERY;
    }
}

// Lays result out as a hostent in buf: the record, the alias list, the address list, the
// IPv6 list, the IPv6 addresses, the IPv4 addresses, then the strings. With an IPv4 address
// h_addr_list holds the IPv4 addresses and the IPv6 list follows its null entry (HostEntIpv6);
// without one h_addr_list holds the IPv6 addresses (AF_INET6). Returns the bytes used, or the bytes
// needed (more than buflen) when it does not fit; nothing is written then.
size_t LayHostent(const HostResult& result, char* buf, size_t buflen) {
    const size_t nAliases = result.aliases.size();
    const size_t n4 = result.addresses.size();
    const size_t n6 = result.addresses6.size();
    size_t need = sizeof(hostent) + (nAliases + 1 + n4 + 1 + n6 + 1) * sizeof(char*) + n6 * 16 +
                  n4 * 4 + result.name.size() + 1;
    for (const std::string& alias : result.aliases) {
        need += alias.size() + 1;
    }
    if (need > buflen) {
        return need;
    }
    std::memset(buf, 0, need);
    auto* host = reinterpret_cast<hostent*>(buf);
    auto** aliasList = reinterpret_cast<char**>(buf + sizeof(hostent));
    char** list4 = aliasList + nAliases + 1;
    char** list6 = list4 + n4 + 1;
    char* bytes6 = reinterpret_cast<char*>(list6 + n6 + 1);
    char* bytes4 = bytes6 + n6 * 16;
    char* text = bytes4 + n4 * 4;
    host->h_aliases = aliasList;
    // Copies n addresses of width bytes each to bytes and points the list's entries at them.
    const auto lay = [](char** list, char* bytes, const void* from, size_t n, size_t width) {
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(bytes + i * width, static_cast<const char*>(from) + i * width, width);
            list[i] = bytes + i * width;
        }
    };
    host->h_addr_list = list4;
    if (n4 == 0 && n6 > 0) {
        // IPv6 only: h_addr_list holds them; the slot left over stays null.
        host->h_addrtype = AF_INET6;
        host->h_length = 16;
        lay(list4, bytes6, result.addresses6.data(), n6, 16);
    } else {
        host->h_addrtype = AF_INET;
        host->h_length = 4;
        lay(list4, bytes4, result.addresses.data(), n4, 4);
        lay(list6, bytes6, result.addresses6.data(), n6, 16);
    }
    const auto putText = [&text](const std::string& s) {
        char* at = text;
        std::memcpy(at, s.c_str(), s.size() + 1);
        text += s.size() + 1;
        return at;
    };
    host->h_name = putText(result.name);
    for (size_t i = 0; i < nAliases; ++i) {
        aliasList[i] = putText(result.aliases[i]);
    }
    return need;
}

void TakeHostent(const hostent* host, HostResult* result) {
    result->name = host->h_name != nullptr ? host->h_name : "";
    for (char** a = host->h_aliases; a != nullptr && *a != nullptr; ++a) {
        result->aliases.emplace_back(*a);
    }
    if (host->h_addrtype == AF_INET && host->h_length == 4) {
        for (char** p = host->h_addr_list; p != nullptr && *p != nullptr; ++p) {
            uint32_t address = 0;
            std::memcpy(&address, *p, 4);
            result->addresses.push_back(address);
        }
    } else if (host->h_addrtype == AF_INET6 && host->h_length == 16) {
        for (char** p = host->h_addr_list; p != nullptr && *p != nullptr; ++p) {
            in6_addr address{};
            std::memcpy(&address, *p, 16);
            result->addresses6.push_back(address);
        }
    }
}

bool SameName(const char* a, const std::string& b) {
    return strcasecmp(a, b.c_str()) == 0;
}

const ares_addrinfo_cname* AliasOwnedBy(const ares_addrinfo* info, const std::string& name) {
    for (const ares_addrinfo_cname* c = info->cnames; c != nullptr; c = c->next) {
        if (c->alias != nullptr && c->name != nullptr && SameName(c->alias, name)) {
            return c;
        }
    }
    return nullptr;
}

// The official name of a DNS answer: the end of the alias chain that starts at the name
// asked for (c-ares names the first alias's target instead when the chain is longer). An
// alias record of the answer that is not on that chain changes nothing. A numeric name,
// which c-ares answers itself with no name, is its own official name.
void TakeAddrinfo(const ares_addrinfo* info, const std::string& asked, HostResult* result) {
    // c-ares's name is the one its answer was for: the name asked, with any search domain.
    std::string name = info->name != nullptr && *info->name != '\0' ? info->name : asked;
    if (AliasOwnedBy(info, name) == nullptr && AliasOwnedBy(info, asked) != nullptr) {
        name = asked;
    }
    // Follow alias -> target as long as some alias record starts at the current name; the
    // number of steps is bounded by the number of records, so a loop cannot hang us.
    size_t records = 0;
    for (const ares_addrinfo_cname* c = info->cnames; c != nullptr; c = c->next) {
        ++records;
    }
    for (size_t step = 0; step < records; ++step) {
        const ares_addrinfo_cname* next = AliasOwnedBy(info, name);
        if (next == nullptr) {
            break;
        }
        result->aliases.emplace_back(next->alias);
        name = next->name;
    }
    result->name = name;
    for (const ares_addrinfo_node* n = info->nodes; n != nullptr; n = n->ai_next) {
        // Each family in the order of its records.
        if (n->ai_family == AF_INET && n->ai_addr != nullptr) {
            result->addresses.push_back(
                reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr.s_addr);
        } else if (n->ai_family == AF_INET6 && n->ai_addr != nullptr) {
            result->addresses6.push_back(
                reinterpret_cast<const sockaddr_in6*>(n->ai_addr)->sin6_addr);
        }
    }
}

// The system resolver's answer, handed from the thread that waits for glibc to the request.
// The thread holds it too, so it outlives a request that is cancelled or gone.
struct SystemCell {
    std::mutex lock;
    std::condition_variable answered;
    bool done = false;     // guarded by lock: result holds the answer
    bool listening = true; // guarded by lock: the request still wants the answer
    HostResult result;     // guarded by lock
};

// How long the GUI thread waits for a hosts-file answer before it lets the event loop run:
// less than a frame.
constexpr auto kSystemGrace = std::chrono::milliseconds(15);

class Request;

// Owns every outstanding request; lives on the thread that makes the requests.
class LookupEngine : public QObject {
public:
    static LookupEngine& Instance() {
        static LookupEngine* engine = new LookupEngine; // lives until the process ends
        return *engine;
    }

    // systemMs > 0: a lookup of name by the system resolver, bounded to systemMs.
    HANDLE Start(QObject* target, UINT message, char* buf, int buflen, const std::string& name,
                 const PtrAddress* address, int systemMs = 0);
    int Cancel(HANDLE handle);
    void CancelAllFor(QObject* target);
    // The request's lookup is over; deliver it from the event loop, not from inside c-ares.
    void Finished(HANDLE handle);
    // The system resolver's thread has answered request handle.
    void SystemAnswered(HANDLE handle);
    int Outstanding() const { return static_cast<int>(m_requests.size()); }

private:
    void Deliver(HANDLE handle);

    std::map<HANDLE, std::unique_ptr<Request>> m_requests;
    HANDLE m_nextHandle = 1;
};

class Request {
public:
    Request(HANDLE handle, QObject* target, UINT message, char* buf, int buflen)
        : m_handle(handle), m_target(target), m_message(message), m_buf(buf), m_buflen(buflen) {}

    ~Request() {
        if (m_cell) {
            const std::lock_guard<std::mutex> hold(m_cell->lock);
            m_cell->listening = false; // its thread posts nothing from now on
        }
        m_notifiers.clear();
        if (m_channel != nullptr) {
            m_destroying = true; // its callbacks (ARES_EDESTRUCTION) are ignored
            ares_destroy(m_channel);
        }
    }

    bool Begin(const std::string& name, const PtrAddress* address) {
        ares_options options{};
        options.timeout = kLookupTryTimeoutMs;
        options.tries = kLookupTries;
        options.sock_state_cb = &Request::SockState;
        options.sock_state_cb_data = this;
        // Forward lookups read the hosts file themselves (below); reverse ones let c-ares.
        char filesThenDns[] = "fb";
        char dnsOnly[] = "b";
        options.lookups = address != nullptr ? filesThenDns : dnsOnly;
        const int mask =
            ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_SOCK_STATE_CB | ARES_OPT_LOOKUPS;
        if (ares_init_options(&m_channel, &options, mask) != ARES_SUCCESS) {
            m_channel = nullptr;
            return false;
        }
        const std::string servers = sockets_testing::DnsServers();
        if (!servers.empty()) {
            ares_set_servers_ports_csv(m_channel, servers.c_str());
        }
        ares_set_socket_functions(m_channel, &kSocketFunctions, this);
        m_deadline.setSingleShot(true);
        QObject::connect(&m_deadline, &QTimer::timeout, [this] { GiveUp(); });
        m_deadline.start(kLookupDeadlineMs);
        m_tick.setSingleShot(true);
        QObject::connect(&m_tick, &QTimer::timeout,
                         [this] { Process(ARES_SOCKET_BAD, ARES_SOCKET_BAD); });

        if (address != nullptr) {
            m_reverse = true;
            ares_gethostbyaddr(m_channel, &address->bytes, address->Length(), address->family,
                               &Request::OnHost, this);
        } else {
            if (TakeHostsFile(name)) {
                Done(m_result.addresses.empty() && m_result.addresses6.empty() ? WSANO_DATA : 0);
            } else {
                m_asked = name;
                ares_addrinfo_hints hints{};
                hints.ai_family = AF_UNSPEC; // A and AAAA
                hints.ai_flags = ARES_AI_CANONNAME | ARES_AI_NOSORT;
                ares_getaddrinfo(m_channel, name.c_str(), nullptr, &hints, &Request::OnAddrinfo,
                                 this);
            }
        }
        Rearm();
        return true;
    }

    // The system resolver (glibc, which follows nsswitch) on a detached thread: glibc cannot
    // interrupt a lookup, so nothing ever waits for that thread; past timeoutMs the request
    // gives up, and a cancelled request never hears from it.
    bool BeginSystem(const std::string& name, int timeoutMs) {
        m_cell = std::make_shared<SystemCell>();
        try {
            std::thread([cell = m_cell, name, handle = m_handle] {
                HostResult found;
                found.error = WsGetHostByNameR(name.c_str(), &found.name, &found.addresses);
                const std::lock_guard<std::mutex> hold(cell->lock);
                cell->result = std::move(found);
                cell->done = true;
                cell->answered.notify_all();
                if (cell->listening) {
                    // The engine lives until the process ends; the request may be gone by
                    // the time this runs, and then nothing happens.
                    QMetaObject::invokeMethod(
                        &LookupEngine::Instance(),
                        [handle] { LookupEngine::Instance().SystemAnswered(handle); },
                        Qt::QueuedConnection);
                }
            }).detach();
        } catch (const std::system_error&) {
            m_cell.reset();
            return false;
        }
        m_deadline.setSingleShot(true);
        QObject::connect(&m_deadline, &QTimer::timeout, [this] { GiveUp(); });
        m_deadline.start(timeoutMs);
        // A hosts-file answer comes within microseconds: take it now, so that the page is
        // filled before it is first painted.
        std::unique_lock<std::mutex> hold(m_cell->lock);
        if (m_cell->answered.wait_for(hold, kSystemGrace, [this] { return m_cell->done; })) {
            hold.unlock();
            TakeSystemAnswer();
        }
        return true;
    }

    void TakeSystemAnswer() {
        HostResult found;
        {
            const std::lock_guard<std::mutex> hold(m_cell->lock);
            if (!m_cell->done || m_done) {
                return;
            }
            found = m_cell->result;
        }
        m_result = std::move(found);
        if (m_result.error == 0 && m_result.addresses.empty()) {
            m_result.error = WSANO_DATA; // a name with no IPv4 address
        }
        Done(m_result.error);
    }

    HANDLE Handle() const { return m_handle; }
    QObject* Target() const { return m_target.data(); }
    UINT Message() const { return m_message; }
    char* Buffer() const { return m_buf; }
    int BufferLength() const { return m_buflen; }
    const HostResult& Result() const { return m_result; }

private:
    // The hosts file's line of name for IPv4 (c-ares takes the first line that lists it) names
    // the host and gives its aliases; the IPv6 line's addresses follow. A name with an IPv6
    // line only takes its name and aliases from that line.
    bool TakeHostsFile(const std::string& name) {
        hostent* line4 = nullptr;
        hostent* line6 = nullptr;
        if (ares_gethostbyname_file(m_channel, name.c_str(), AF_INET, &line4) != ARES_SUCCESS) {
            line4 = nullptr;
        }
        if (ares_gethostbyname_file(m_channel, name.c_str(), AF_INET6, &line6) != ARES_SUCCESS) {
            line6 = nullptr;
        }
        if (line4 != nullptr) {
            TakeHostent(line4, &m_result);
        }
        if (line6 != nullptr) {
            HostResult v6;
            TakeHostent(line6, &v6);
            if (line4 == nullptr) {
                m_result.name = v6.name;
                m_result.aliases = v6.aliases;
            }
            m_result.addresses6 = v6.addresses6;
        }
        for (hostent* line : {line4, line6}) {
            if (line != nullptr) {
                ares_free_hostent(line);
            }
        }
        return line4 != nullptr || line6 != nullptr;
    }

    // c-ares's own socket calls, but reading the code of every UDP answer on the way, which
    // c-ares does not report when it gives up on servers that answered SERVFAIL, NOTIMP or
    // REFUSED. (TCP answers come in pieces and are not read for it.)
    // c-ares leaves a socket made by these functions as it is: it must be non-blocking.
    static ares_socket_t OpenSocket(int domain, int type, int protocol, void*) {
        return socket(domain, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    }
    static int CloseSocket(ares_socket_t fd, void*) { return close(fd); }
    static int Connect(ares_socket_t fd, const sockaddr* addr, ares_socklen_t len, void*) {
        return connect(fd, addr, len);
    }
    static ares_ssize_t RecvFrom(ares_socket_t fd, void* buf, size_t len, int flags, sockaddr* from,
                                 ares_socklen_t* fromLen, void* data) {
        const ssize_t n = recvfrom(fd, buf, len, flags, from, fromLen);
        constexpr ssize_t kHeaderBytes = 12;
        if (from != nullptr && n >= kHeaderBytes) { // UDP: one whole message
            static_cast<Request*>(data)->m_lastRcode = static_cast<unsigned char*>(buf)[3] & 0x0F;
        }
        return n;
    }
    static ares_ssize_t SendV(ares_socket_t fd, const iovec* vec, int count, void*) {
        return writev(fd, vec, count);
    }
    static constexpr ares_socket_functions kSocketFunctions = {&OpenSocket, &CloseSocket, &Connect,
                                                               &RecvFrom, &SendV};

    static void SockState(void* data, ares_socket_t fd, int readable, int writable) {
        static_cast<Request*>(data)->Watch(fd, readable != 0, writable != 0);
    }

    static void OnHost(void* arg, int status, int timeouts, hostent* host) {
        auto* self = static_cast<Request*>(arg);
        if (self->m_destroying) {
            return;
        }
        if (status == ARES_SUCCESS && host != nullptr) {
            TakeHostent(host, &self->m_result);
            auto& aliases = self->m_result.aliases;
            std::string& name = self->m_result.name;
            // From DNS, c-ares lists every pointer record's name among the aliases in the
            // answer's order and names the last one; the first one is the official name, as
            // the system's resolver has it. (From the hosts file the name is not among them.)
            if (!aliases.empty() && SameName(aliases.back().c_str(), name)) {
                name = aliases.front();
            }
            aliases.erase(
                std::remove_if(aliases.begin(), aliases.end(),
                               [&name](const std::string& a) { return SameName(a.c_str(), name); }),
                aliases.end());
        }
        self->Done(ErrorOfStatus(status, timeouts, true, self->m_lastRcode));
    }

    static void OnAddrinfo(void* arg, int status, int timeouts, ares_addrinfo* info) {
        auto* self = static_cast<Request*>(arg);
        if (!self->m_destroying) {
            if (status == ARES_SUCCESS && info != nullptr) {
                TakeAddrinfo(info, self->m_asked, &self->m_result);
                if (self->m_result.addresses.empty() && self->m_result.addresses6.empty()) {
                    status = ARES_ENODATA; // the name exists, but has no address
                }
            }
            self->Done(ErrorOfStatus(status, timeouts, false, self->m_lastRcode));
        }
        if (info != nullptr) {
            ares_freeaddrinfo(info);
        }
    }

    void Done(int error) {
        if (m_done) {
            return;
        }
        m_done = true;
        m_result.error = error;
        m_deadline.stop();
        m_tick.stop();
        const HANDLE handle = m_handle;
        QMetaObject::invokeMethod(
            &LookupEngine::Instance(), [handle] { LookupEngine::Instance().Finished(handle); },
            Qt::QueuedConnection);
    }

    void GiveUp() {
        if (!m_done) {
            m_result = HostResult{};
            Done(WSATRY_AGAIN);
        }
    }

    struct Watchers {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };

    void Watch(ares_socket_t fd, bool readable, bool writable) {
        if (!readable && !writable) {
            auto it = m_notifiers.find(fd);
            if (it != m_notifiers.end()) {
                // The socket is being closed by c-ares: a notifier may be mid-signal, so let
                // the event loop delete them.
                for (auto* n : {it->second.read.release(), it->second.write.release()}) {
                    if (n != nullptr) {
                        n->setEnabled(false);
                        n->deleteLater();
                    }
                }
                m_notifiers.erase(it);
            }
            return;
        }
        Watchers& w = m_notifiers[fd];
        if (!w.read) {
            w.read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            QObject::connect(w.read.get(), &QSocketNotifier::activated,
                             [this, fd] { Process(fd, ARES_SOCKET_BAD); });
        }
        if (!w.write) {
            w.write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            QObject::connect(w.write.get(), &QSocketNotifier::activated,
                             [this, fd] { Process(ARES_SOCKET_BAD, fd); });
        }
        w.read->setEnabled(readable);
        w.write->setEnabled(writable);
    }

    void Process(ares_socket_t readFd, ares_socket_t writeFd) {
        if (m_done) {
            return;
        }
        ares_process_fd(m_channel, readFd, writeFd);
        Rearm();
    }

    // The next c-ares time-out, as a timer of the event loop.
    void Rearm() {
        if (m_done) {
            return;
        }
        timeval tv{};
        if (ares_timeout(m_channel, nullptr, &tv) != nullptr) {
            m_tick.start(static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000) + 1);
        }
    }

    HANDLE m_handle;
    QPointer<QObject> m_target;
    UINT m_message;
    char* m_buf;
    int m_buflen;
    ares_channel m_channel = nullptr;
    std::map<ares_socket_t, Watchers> m_notifiers;
    QTimer m_deadline;
    QTimer m_tick;
    HostResult m_result;
    std::string m_asked;                // a forward lookup's name, as asked
    int m_lastRcode = kRcodeNone;       // the code of the last UDP answer
    std::shared_ptr<SystemCell> m_cell; // a system lookup's answer
    bool m_reverse = false;
    bool m_done = false;
    bool m_destroying = false;
};

HANDLE LookupEngine::Start(QObject* target, UINT message, char* buf, int buflen,
                           const std::string& name, const PtrAddress* address, int systemMs) {
    const HANDLE handle = m_nextHandle++;
    auto request = std::make_unique<Request>(handle, target, message, buf, buflen);
    Request* raw = request.get();
    m_requests.emplace(handle, std::move(request));
    if (!(systemMs > 0 ? raw->BeginSystem(name, systemMs) : raw->Begin(name, address))) {
        m_requests.erase(handle);
        WSASetLastError(WSAENOBUFS);
        return 0;
    }
    return handle;
}

int LookupEngine::Cancel(HANDLE handle) {
    return m_requests.erase(handle) != 0 ? 0 : -1;
}

void LookupEngine::CancelAllFor(QObject* target) {
    for (auto it = m_requests.begin(); it != m_requests.end();) {
        if (it->second->Target() == target || it->second->Target() == nullptr) {
            it = m_requests.erase(it);
        } else {
            ++it;
        }
    }
}

void LookupEngine::Finished(HANDLE handle) {
    Deliver(handle);
}

void LookupEngine::SystemAnswered(HANDLE handle) {
    auto it = m_requests.find(handle);
    if (it != m_requests.end()) {
        it->second->TakeSystemAnswer();
    }
}

void LookupEngine::Deliver(HANDLE handle) {
    auto it = m_requests.find(handle);
    if (it == m_requests.end()) {
        return; // cancelled meanwhile: nothing is delivered
    }
    std::unique_ptr<Request> request = std::move(it->second);
    m_requests.erase(it);
    QObject* target = request->Target();
    if (target == nullptr) {
        return; // the window is gone
    }
    int error = request->Result().error;
    size_t length = 0;
    if (error == 0) {
        length = LayHostent(request->Result(), request->Buffer(),
                            static_cast<size_t>(request->BufferLength()));
        if (length > static_cast<size_t>(request->BufferLength())) {
            error = WSAENOBUFS; // length says how much it would need
        }
    }
    // 0xFFFF in the low word marks a message the program posts itself; never a length.
    const auto low = static_cast<uint16_t>(std::min<size_t>(length, 0xFFFE));
    CMessageEvent event(request->Message(), handle, MakeLParam(low, static_cast<uint16_t>(error)));
    request.reset(); // the channel goes before the window hears of the result
    QCoreApplication::sendEvent(target, &event);
}

} // namespace

HANDLE WSAAsyncGetHostByName(QObject* hWnd, UINT wMsg, const char* name, char* buf, int buflen) {
    if (hWnd == nullptr || name == nullptr || buf == nullptr ||
        buflen < static_cast<int>(sizeof(hostent))) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    return LookupEngine::Instance().Start(hWnd, wMsg, buf, buflen, name, nullptr);
}

HANDLE WSAAsyncGetHostByAddr(QObject* hWnd, UINT wMsg, const char* addr, int len, int type,
                             char* buf, int buflen) {
    const bool known = (type == AF_INET && len == 4) || (type == AF_INET6 && len == 16);
    if (hWnd == nullptr || addr == nullptr || !known || buf == nullptr ||
        buflen < static_cast<int>(sizeof(hostent))) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    PtrAddress address;
    address.family = type;
    std::memcpy(&address.bytes, addr, static_cast<size_t>(len));
    return LookupEngine::Instance().Start(hWnd, wMsg, buf, buflen, {}, &address);
}

const in6_addr* const* HostEntIpv6(const hostent* host) {
    char** list = host->h_addr_list;
    if (host->h_addrtype != AF_INET6) {
        while (*list != nullptr) {
            ++list;
        }
        ++list; // past the IPv4 list's null entry
    }
    return reinterpret_cast<const in6_addr* const*>(list);
}

HANDLE WsAsyncGetHostByNameSystem(QObject* hWnd, UINT wMsg, const char* name, char* buf, int buflen,
                                  int timeoutMs) {
    if (hWnd == nullptr || name == nullptr || buf == nullptr ||
        buflen < static_cast<int>(sizeof(hostent)) || timeoutMs <= 0) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    return LookupEngine::Instance().Start(hWnd, wMsg, buf, buflen, name, nullptr, timeoutMs);
}

int WSACancelAsyncRequest(HANDLE hAsyncTaskHandle) {
    return LookupEngine::Instance().Cancel(hAsyncTaskHandle);
}

void WSACancelAllAsyncRequests(QObject* hWnd) {
    LookupEngine::Instance().CancelAllFor(hWnd);
}

int WSAOutstandingAsyncRequests() {
    return LookupEngine::Instance().Outstanding();
}
