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

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// What a finished lookup found, before it is laid into the caller's buffer.
struct HostResult {
    int error = 0;
    std::string name;
    std::vector<std::string> aliases;
    std::vector<uint32_t> addresses; // network byte order
};

int ErrorOfStatus(int status, int timeouts, bool reverse) {
    switch (status) {
    case ARES_SUCCESS:
        return 0;
    case ARES_ENOTFOUND:
    case ARES_EBADNAME:
        // A reverse lookup reports every failure as not found; time-outs tell them apart.
        return reverse && timeouts > 0 ? WSATRY_AGAIN : WSAHOST_NOT_FOUND;
    case ARES_ENODATA:
        return WSANO_DATA;
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
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

// Lays result out as a hostent in buf: the record, the alias and address pointer lists, the
// addresses, then the strings. Returns the bytes used, or the bytes needed (more than buflen)
// when it does not fit; nothing is written then.
size_t LayHostent(const HostResult& result, char* buf, size_t buflen) {
    const size_t nAliases = result.aliases.size();
    const size_t nAddresses = result.addresses.size();
    size_t need = sizeof(hostent) + (nAliases + 1 + nAddresses + 1) * sizeof(char*) +
                  nAddresses * 4 + result.name.size() + 1;
    for (const std::string& alias : result.aliases) {
        need += alias.size() + 1;
    }
    if (need > buflen) {
        return need;
    }
    std::memset(buf, 0, need);
    auto* host = reinterpret_cast<hostent*>(buf);
    auto** aliasList = reinterpret_cast<char**>(buf + sizeof(hostent));
    char** addrList = aliasList + nAliases + 1;
    char* addrBytes = reinterpret_cast<char*>(addrList + nAddresses + 1);
    char* text = addrBytes + nAddresses * 4;
    host->h_addrtype = AF_INET;
    host->h_length = 4;
    host->h_aliases = aliasList;
    host->h_addr_list = addrList;
    for (size_t i = 0; i < nAddresses; ++i) {
        std::memcpy(addrBytes + i * 4, &result.addresses[i], 4);
        addrList[i] = addrBytes + i * 4;
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
    }
}

bool SameName(const char* a, const std::string& b) {
    return strcasecmp(a, b.c_str()) == 0;
}

// The official name of a DNS answer: the end of the alias chain that starts at the name
// asked for. c-ares names the first alias's target instead when the chain is longer.
void TakeAddrinfo(const ares_addrinfo* info, HostResult* result) {
    std::string name = info->name != nullptr ? info->name : "";
    // Follow alias -> target as long as some alias record starts at the current name; the
    // number of steps is bounded by the number of records, so a loop cannot hang us.
    size_t records = 0;
    for (const ares_addrinfo_cname* c = info->cnames; c != nullptr; c = c->next) {
        ++records;
    }
    if (info->cnames != nullptr && info->cnames->alias != nullptr) {
        name = info->cnames->alias;
    }
    for (size_t step = 0; step < records; ++step) {
        const ares_addrinfo_cname* next = nullptr;
        for (const ares_addrinfo_cname* c = info->cnames; c != nullptr; c = c->next) {
            if (c->alias != nullptr && c->name != nullptr && SameName(c->alias, name)) {
                next = c;
                break;
            }
        }
        if (next == nullptr) {
            break;
        }
        result->aliases.emplace_back(next->alias);
        name = next->name;
    }
    result->name = name;
    for (const ares_addrinfo_node* n = info->nodes; n != nullptr; n = n->ai_next) {
        if (n->ai_family == AF_INET && n->ai_addr != nullptr) {
            result->addresses.push_back(
                reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr.s_addr);
        }
    }
}

class Request;

// Owns every outstanding request; lives on the thread that makes the requests.
class LookupEngine : public QObject {
public:
    static LookupEngine& Instance() {
        static LookupEngine* engine = new LookupEngine; // lives until the process ends
        return *engine;
    }

    HANDLE Start(QObject* target, UINT message, char* buf, int buflen, const std::string& name,
                 const uint32_t* address);
    int Cancel(HANDLE handle);
    void CancelAllFor(QObject* target);
    // The request's lookup is over; deliver it from the event loop, not from inside c-ares.
    void Finished(HANDLE handle);
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
        m_notifiers.clear();
        if (m_channel != nullptr) {
            m_destroying = true; // its callbacks (ARES_EDESTRUCTION) are ignored
            ares_destroy(m_channel);
        }
    }

    bool Begin(const std::string& name, const uint32_t* address) {
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
        m_deadline.setSingleShot(true);
        QObject::connect(&m_deadline, &QTimer::timeout, [this] { GiveUp(); });
        m_deadline.start(kLookupDeadlineMs);
        m_tick.setSingleShot(true);
        QObject::connect(&m_tick, &QTimer::timeout,
                         [this] { Process(ARES_SOCKET_BAD, ARES_SOCKET_BAD); });

        if (address != nullptr) {
            m_reverse = true;
            ares_gethostbyaddr(m_channel, address, 4, AF_INET, &Request::OnHost, this);
        } else {
            hostent* local = nullptr;
            if (ares_gethostbyname_file(m_channel, name.c_str(), AF_INET, &local) == ARES_SUCCESS) {
                TakeHostent(local, &m_result);
                ares_free_hostent(local);
                // A hosts line with no IPv4 address names the host, but gives no address.
                Done(m_result.addresses.empty() ? WSANO_DATA : 0);
            } else {
                ares_addrinfo_hints hints{};
                hints.ai_family = AF_INET;
                hints.ai_flags = ARES_AI_CANONNAME | ARES_AI_NOSORT;
                ares_getaddrinfo(m_channel, name.c_str(), nullptr, &hints, &Request::OnAddrinfo,
                                 this);
            }
        }
        Rearm();
        return true;
    }

    HANDLE Handle() const { return m_handle; }
    QObject* Target() const { return m_target.data(); }
    UINT Message() const { return m_message; }
    char* Buffer() const { return m_buf; }
    int BufferLength() const { return m_buflen; }
    const HostResult& Result() const { return m_result; }

private:
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
            // c-ares lists the pointer record's name among the aliases too; it is the
            // official name, not another one.
            auto& aliases = self->m_result.aliases;
            const std::string& name = self->m_result.name;
            aliases.erase(
                std::remove_if(aliases.begin(), aliases.end(),
                               [&name](const std::string& a) { return SameName(a.c_str(), name); }),
                aliases.end());
        }
        self->Done(ErrorOfStatus(status, timeouts, true));
    }

    static void OnAddrinfo(void* arg, int status, int timeouts, ares_addrinfo* info) {
        auto* self = static_cast<Request*>(arg);
        if (!self->m_destroying) {
            if (status == ARES_SUCCESS && info != nullptr) {
                TakeAddrinfo(info, &self->m_result);
                if (self->m_result.addresses.empty()) {
                    status = ARES_ENODATA; // the name exists, but not for IPv4
                }
            }
            self->Done(ErrorOfStatus(status, timeouts, false));
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
    bool m_reverse = false;
    bool m_done = false;
    bool m_destroying = false;
};

HANDLE LookupEngine::Start(QObject* target, UINT message, char* buf, int buflen,
                           const std::string& name, const uint32_t* address) {
    const HANDLE handle = m_nextHandle++;
    auto request = std::make_unique<Request>(handle, target, message, buf, buflen);
    Request* raw = request.get();
    m_requests.emplace(handle, std::move(request));
    if (!raw->Begin(name, address)) {
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
    if (hWnd == nullptr || addr == nullptr || len != 4 || type != AF_INET || buf == nullptr ||
        buflen < static_cast<int>(sizeof(hostent))) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    uint32_t address = 0;
    std::memcpy(&address, addr, 4);
    return LookupEngine::Instance().Start(hWnd, wMsg, buf, buflen, {}, &address);
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
