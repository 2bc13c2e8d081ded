// The Ping and Trace pages: their Start and Stop, the resolution of their target, and the two
// workers that send the echo requests.

#include "ui/main_dlg.h"

#include "net/error_text.h"
#include "net/host_by_addr.h"
#include "net/trace_schedule.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/message_box.h"
#include "ui/run_hooks.h"
#include "ui/worker_gate.h"

#include <arpa/inet.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

namespace {

const QString kStart = QStringLiteral("&Start");
const QString kStop = QStringLiteral("&Stop");

constexpr uint16_t kPostedMarker = 0xFFFF; // low word of a dotted address's own message
// Low word of an IPv6 literal's own message; a lookup's success never has a length this large.
constexpr uint16_t kPosted6Marker = 0xFFFE;
constexpr uint32_t kRequestBlock = 512; // bytes of request data: the largest packet size
constexpr uint32_t kReplyRecord = sizeof(ICMP_ECHO_REPLY);    // 28 bytes
constexpr uint32_t kReplyRecord6 = sizeof(ICMPV6_ECHO_REPLY); // 48 bytes

QString Text(const char* format, ...) __attribute__((format(printf, 1, 2)));
QString Text(const char* format, ...) {
    char text[256]; // an item's text: cut, never overrun
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return QString::fromUtf8(text);
}

// The four bytes of an address, lowest-addressed first.
struct Octets {
    unsigned a, b, c, d;
};
Octets OctetsOf(uint32_t address) {
    unsigned char bytes[4];
    std::memcpy(bytes, &address, 4);
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

// An IPv6 address as RFC 5952 text ("2001:db8::1"), without a zone.
std::string Ipv6Text(const void* address) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, address, text, sizeof text);
    return text;
}

// "name [address]" within 255 characters: the name is cut, the address kept whole.
QString HopText(const std::string& name, const std::string& address) {
    char suffix[INET6_ADDRSTRLEN + 4];
    std::snprintf(suffix, sizeof suffix, " [%s]", address.c_str());
    const size_t room = 255 - std::strlen(suffix);
    size_t cut = std::min(room, name.size());
    // Never end inside a UTF-8 sequence: back up to the start of a cut character.
    if (cut < name.size()) {
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
    }
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(cut)) +
           QString::fromLatin1(suffix);
}

QString HopText(const std::string& name, uint32_t address) {
    const Octets o = OctetsOf(address);
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", o.a, o.b, o.c, o.d);
    return HopText(name, std::string(dotted));
}

// The run's echo handle of its target's family, or INVALID_HANDLE_VALUE; for IPv6 also when the
// module offers no IPv6 pair (then the page says it cannot open its service, as for IPv4).
ICMP_HANDLE OpenEcho(const IcmpEntryPoints& icmp, bool v6) {
    if (!v6) {
        return icmp.pfnIcmpCreateFile();
    }
    if (icmp.pfnIcmp6CreateFile == nullptr || icmp.pfnIcmp6SendEcho2 == nullptr) {
        return ICMP_INVALID_HANDLE;
    }
    return icmp.pfnIcmp6CreateFile();
}

// One synchronous ICMPv6 echo request; returns 1 with the reply record at the buffer's start,
// or 0 (no answer in time, or a local error such as no route), as IcmpSendEcho does.
uint32_t SendEcho6(const IcmpEntryPoints& icmp, ICMP_HANDLE handle, const sockaddr_in6& to,
                   const unsigned char* request, uint32_t size,
                   const IP_OPTION_INFORMATION* options, std::vector<unsigned char>& reply,
                   uint32_t timeout) {
    return icmp.pfnIcmp6SendEcho2(handle, nullptr, nullptr, nullptr, nullptr, &to, request,
                                  static_cast<uint16_t>(size), options, reply.data(),
                                  static_cast<uint32_t>(reply.size()), timeout);
}

// The result record of an IPv6 answer (the IPv4 ones are made in run_hooks).
ResultRecord Answer6Result(uint32_t seq, const EchoStamp& stamp, const ICMPV6_ECHO_REPLY& reply,
                           const std::string& from, uint32_t dataSize, ResultKind kind) {
    ResultRecord r;
    r.seq = seq;
    r.sent = stamp.sent;
    r.rttUs = reply.RoundTripMicroseconds;
    r.from = QString::fromStdString(from);
    r.ttl = reply.HopLimit;
    r.dataSize = dataSize;
    r.kind = kind;
    return r;
}

// One answered request of a trace, as both the walk and the parallel trace list it.
struct HopAnswer {
    bool v6 = false;
    ICMP_ECHO_REPLY r4{};
    ICMPV6_ECHO_REPLY r6{};
    EchoStamp stamp; // also the last request of a hop that timed out
    bool reached = false;

    uint32_t RttMs() const { return v6 ? r6.RoundTripTime : r4.RoundTripTime; }
};

// The hop item's text: "name [address]", or the address alone; the name goes to *name.
QString HopLookup(const HopAnswer& a, const std::atomic<bool>* cancel, std::string* name) {
    if (a.v6) {
        in6_addr from;
        std::memcpy(&from, a.r6.Address.sin6_addr, sizeof from);
        const std::string address = Ipv6Text(&from);
        return WsGetHostByAddr(from, kReverseLookupMs, cancel, name)
                   ? HopText(*name, address)
                   : QString::fromStdString(address);
    }
    const Octets o = OctetsOf(a.r4.Address);
    return WsGetHostByAddr(a.r4.Address, kReverseLookupMs, cancel, name)
               ? HopText(*name, a.r4.Address)
               : Text("%u.%u.%u.%u", o.a, o.b, o.c, o.d);
}

ResultRecord HopRecord(uint32_t hop, uint32_t tries, const HopAnswer& a, const std::string& name,
                       uint32_t size) {
    if (!a.v6) {
        return HopResult(hop, tries, a.stamp, a.r4, name, a.reached);
    }
    ResultRecord r = Answer6Result(hop, a.stamp, a.r6, Ipv6Text(a.r6.Address.sin6_addr),
                                   a.r6.Status == IP_SUCCESS ? size : 0,
                                   a.reached ? ResultKind::TargetReached : ResultKind::HopReached);
    r.name = QString::fromStdString(name);
    r.tries = tries;
    return r;
}

// The trace with many requests in flight (IcmpSendEchoEx): TraceSchedule says what to send and
// which hops are decided; the completions come on the module's thread and are queued here; each
// answered hop's name is looked up on a thread of its own, so that slow names overlap too. The
// worker's thread runs Run and shows the decided hops in order. Destroy it only after the handle
// is closed (then no completion can come any more).
class ParallelTrace {
public:
    struct Setup {
        const IcmpEntryPoints& icmp;
        ICMP_HANDLE handle;
        bool v6;
        uint32_t target; // network byte order
        sockaddr_in6 target6;
        const unsigned char* request;
        uint32_t size; // bytes, fixed for the run
        const COptionsDlg& options;
        const std::atomic<bool>& go;
        const std::atomic<bool>& closing;
    };
    using Show = std::function<void(const TraceSchedule::Hop&, const HopAnswer&, const QString&,
                                    const std::string&)>;

    explicit ParallelTrace(const Setup& setup) : m_s(setup) {}
    ~ParallelTrace() {
        for (auto& [hop, lookup] : m_lookups) {
            lookup->cancel = true;
            if (lookup->thread.joinable()) {
                lookup->thread.join();
            }
        }
    }
    ParallelTrace(const ParallelTrace&) = delete;
    ParallelTrace& operator=(const ParallelTrace&) = delete;

    // Until the trace ends, a stop (the hops decided by then are still shown, with their names)
    // or the window's end.
    void Run(const Show& show);

private:
    struct Flight {
        ParallelTrace* run;
        TraceSchedule::Request request;
        QDateTime sent;
    };
    struct Ended {
        const Flight* flight;
        ICMP_ECHO_RESULT result;
    };
    struct Lookup {
        std::atomic<bool> cancel{false};
        bool done = false; // under m_lock
        QString text;
        std::string name;
        std::thread thread;
    };

    static void OnEnded(void* context, const ICMP_ECHO_RESULT* result) {
        const auto* flight = static_cast<const Flight*>(context);
        ParallelTrace& run = *flight->run;
        std::lock_guard<std::mutex> lock(run.m_lock);
        run.m_ended.push_back({flight, *result});
        run.m_changed.notify_one();
    }
    static int64_t NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void Send(const TraceSchedule::Request& request);
    void Take(const Ended& ended);
    void StartLookup(uint32_t hop, const HopAnswer& answer);
    bool LookupDone(Lookup& lookup) {
        std::lock_guard<std::mutex> lock(m_lock);
        return lookup.done;
    }

    Setup m_s;
    TraceSchedule m_schedule;
    std::deque<Flight> m_flights; // contexts of the requests; never moved
    std::map<std::pair<uint32_t, uint32_t>, HopAnswer> m_answers; // by hop and request
    std::map<uint32_t, std::unique_ptr<Lookup>> m_lookups;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Ended> m_ended; // under m_lock
};

void ParallelTrace::Send(const TraceSchedule::Request& request) {
    IP_OPTION_INFORMATION options{};
    options.Ttl = static_cast<uint8_t>(request.hop & 0xFF);
    sockaddr_in to4{};
    to4.sin_family = AF_INET;
    to4.sin_addr.s_addr = m_s.target;
    const sockaddr* to = m_s.v6 ? reinterpret_cast<const sockaddr*>(&m_s.target6)
                                : reinterpret_cast<const sockaddr*>(&to4);
    const uint32_t timeout = m_s.options.m_nTimeout * 1000; // milliseconds, read anew
    m_flights.push_back({this, request, QDateTime::currentDateTimeUtc()});
    const Flight* flight = &m_flights.back();
    const uint32_t status = m_s.icmp.pfnIcmpSendEchoEx(
        m_s.handle, to, m_s.request, static_cast<uint16_t>(m_s.size), &options, timeout,
        &ParallelTrace::OnEnded, const_cast<Flight*>(flight));
    if (status != IP_SUCCESS) {
        // Refused at once, as a blocking request that returns 0 at once: unanswered.
        ICMP_ECHO_RESULT none{};
        none.Status = status;
        Take({flight, none});
    }
}

void ParallelTrace::Take(const Ended& ended) {
    const ICMP_ECHO_RESULT& r = ended.result;
    const TraceSchedule::Request& request = ended.flight->request;
    HopAnswer a;
    a.v6 = m_s.v6;
    a.stamp.sent = ended.flight->sent;
    a.stamp.measured = true;
    a.stamp.us = r.RoundTripMicroseconds;
    bool answered = r.Status != IP_REQ_TIMED_OUT && r.Status != IP_REQ_CANCELLED;
    if (m_s.v6) {
        std::memcpy(a.r6.Address.sin6_addr, &r.Sender.Ipv6.sin6_addr, 16);
        a.r6.Address.sin6_scope_id = r.Sender.Ipv6.sin6_scope_id;
        a.r6.Status = r.Status;
        a.r6.RoundTripTime = static_cast<uint32_t>(r.RoundTripMicroseconds / 1000);
        a.r6.HopLimit = r.Ttl;
        a.r6.Type = r.Type;
        a.r6.Code = r.Code;
        a.r6.TrafficClass = r.Tos;
        a.r6.RoundTripMicroseconds = r.RoundTripMicroseconds;
        answered =
            answered && r.Family == AF_INET6 && !IN6_IS_ADDR_UNSPECIFIED(&r.Sender.Ipv6.sin6_addr);
        a.reached =
            answered && std::memcmp(&r.Sender.Ipv6.sin6_addr, &m_s.target6.sin6_addr, 16) == 0;
    } else {
        a.r4.Address = r.Sender.Ipv4.sin_addr.s_addr;
        a.r4.Status = r.Status;
        a.r4.RoundTripTime = static_cast<uint32_t>(r.RoundTripMicroseconds / 1000);
        a.r4.DataSize = r.DataSize;
        a.r4.DataOffset = kReplyRecord;
        a.r4.Options.Ttl = r.Ttl;
        a.r4.Options.Tos = r.Tos;
        answered = answered && r.Family == AF_INET && a.r4.Address != 0;
        a.reached = answered && a.r4.Address == m_s.target;
    }
    m_schedule.Ended(request, answered, a.reached);
    m_answers[{request.hop, request.attempt}] = a;
    const uint32_t by = m_schedule.AnsweredBy(request.hop);
    const uint32_t targetHop = m_schedule.TargetHop();
    if (by != 0 && (targetHop == 0 || request.hop <= targetHop) &&
        request.hop <= m_s.options.m_nHops) {
        StartLookup(request.hop, m_answers[{request.hop, by}]);
    }
}

void ParallelTrace::StartLookup(uint32_t hop, const HopAnswer& answer) {
    if (m_lookups.count(hop) != 0) {
        return;
    }
    auto lookup = std::make_unique<Lookup>();
    Lookup* l = lookup.get();
    m_lookups.emplace(hop, std::move(lookup));
    const auto body = [this, l, answer = answer] {
        std::string name;
        QString text = HopLookup(answer, &l->cancel, &name);
        std::lock_guard<std::mutex> lock(m_lock);
        l->text = std::move(text);
        l->name = std::move(name);
        l->done = true;
        m_changed.notify_one();
    };
    try {
        l->thread = std::thread(body);
    } catch (const std::system_error&) {
        body(); // no thread to be had: the name is looked up here
    }
}

void ParallelTrace::Run(const Show& show) {
    bool stopping = false;
    for (;;) {
        if (m_s.closing) {
            break;
        }
        stopping = stopping || !m_s.go;
        std::vector<Ended> ended;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ended.swap(m_ended);
        }
        for (const Ended& e : ended) {
            Take(e);
        }
        // A name of a hop past the target's is never shown.
        for (auto& [hop, lookup] : m_lookups) {
            if (m_schedule.TargetHop() != 0 && hop > m_schedule.TargetHop()) {
                lookup->cancel = true;
            }
        }
        // The decided hops, in order, each once its name is known.
        bool naming = false;
        while (const std::optional<TraceSchedule::Hop> hop =
                   m_schedule.Front(m_s.options.m_nHops)) {
            const HopAnswer& answer = m_answers[{hop->hop, hop->attempt}];
            if (hop->answered) {
                StartLookup(hop->hop, answer); // the hop limit has risen since the answer
                Lookup& lookup = *m_lookups[hop->hop];
                if (!LookupDone(lookup)) {
                    naming = true;
                    break;
                }
                if (lookup.thread.joinable()) {
                    lookup.thread.join();
                }
                show(*hop, answer, lookup.text, lookup.name);
            } else {
                show(*hop, answer, QString(), std::string());
            }
            m_schedule.Shown(m_s.options.m_nHops);
            if (m_s.closing) {
                break;
            }
        }
        if (m_schedule.Finished() || m_s.closing || (stopping && !naming)) {
            break;
        }
        int64_t waitMs = 20; // a stop or the window's end is seen within this
        if (!stopping) {
            while (const std::optional<TraceSchedule::Request> request =
                       m_schedule.Next(NowMs(), m_s.options.m_nHops)) {
                Send(*request);
            }
            const int64_t start = m_schedule.NextStartMs(m_s.options.m_nHops);
            if (start >= 0) {
                waitMs = std::clamp<int64_t>(start - NowMs(), 0, waitMs);
            }
        }
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_ended.empty()) {
            m_changed.wait_for(lock, std::chrono::milliseconds(waitMs));
        }
    }
    for (auto& [hop, lookup] : m_lookups) {
        lookup->cancel = true;
    }
}

} // namespace

// The members one probe page works with: the Ping page's or the Trace page's.
struct CMainDlg::ProbePage {
    int hostId;
    QComboBox* box;
    QPushButton* button;
    ReportTree& tree;
    char (&host)[128];
    char* hostEnt;
    HANDLE& request;
    bool& resolving;
    bool& posted;
    std::atomic<bool>& go;
    uint32_t& cell;
    const uint32_t*& target;
    UINT message;
    std::thread& thread;
    bool trace;
    sockaddr_in6& target6; // family AF_INET6 for an IPv6 target, else AF_UNSPEC
};

CMainDlg::ProbePage CMainDlg::Probe(int page) {
    if (page == PAGE_TRACE) {
        return {
            IDC_TRACE_HOST,     m_cbTraceHost,   m_btnTraceStart,   m_rtTrace,      m_szTraceHost,
            m_bufTraceHostEnt,  m_hTraceRequest, m_bTraceResolving, m_bTracePosted, m_bTraceGo,
            m_nTraceTargetCell, m_pTraceTarget,  WM_TRACE_RESOLVED, m_traceThread,  true,
            m_sinTraceTarget6};
    }
    return {IDC_PING_HOST,     m_cbPingHost,   m_btnPingStart,   m_rtPing,      m_szPingHost,
            m_bufPingHostEnt,  m_hPingRequest, m_bPingResolving, m_bPingPosted, m_bPingGo,
            m_nPingTargetCell, m_pPingTarget,  WM_PING_RESOLVED, m_pingThread,  false,
            m_sinPingTarget6};
}

void CMainDlg::OnPingStart() {
    OnProbeStart(Probe(PAGE_PING));
}

void CMainDlg::OnTraceStart() {
    OnProbeStart(Probe(PAGE_TRACE));
}

LRESULT CMainDlg::OnPingResolved(WPARAM wParam, LPARAM lParam) {
    return OnProbeResolved(Probe(PAGE_PING), wParam, lParam);
}

LRESULT CMainDlg::OnTraceResolved(WPARAM wParam, LPARAM lParam) {
    return OnProbeResolved(Probe(PAGE_TRACE), wParam, lParam);
}

void CMainDlg::OnProbeStart(ProbePage p) {
    if (p.button->text() != kStart) {
        if (!p.resolving) {
            // A run (or the dotted address's message) is under way: ask it to stop; it hands
            // the button back when it has ended.
            p.button->setEnabled(false);
            p.go = false;
            return;
        }
        WSACancelAsyncRequest(p.request);
        p.request = 0;
        p.tree.SetRootText(QString::fromUtf8(p.host));
        p.tree.AddItem(p.tree.Root(), QStringLiteral("Host lookup cancelled"), IMG_FAIL);
        p.tree.ExpandRoot();
        p.resolving = false;
        p.button->setText(kStart);
        return;
    }
    GetHostText(p.hostId, p.host);
    if (p.host[0] == '\0' || p.host[0] == ' ') {
        ErrorBox(this, QStringLiteral("Unrecognized host data!"));
        return;
    }
    p.button->setText(kStop);
    QString rootText;
    sockaddr_in6 literal{};
    if (inet_addr(p.host) == INADDR_NONE && !ParseIpv6Literal(p.host, &literal)) {
        rootText = Text("Looking up %s...", p.host);
        p.resolving = true;
    }
    p.tree.AddRoot(rootText, IMG_HOST);
    const char* refused = ResolveTarget(p.host, &p.request, p.hostEnt, p.message);
    if (refused == nullptr) {
        p.posted = !p.resolving;
        return;
    }
    char text[kErrorTextSize];
    std::snprintf(text, sizeof text, "%s", refused);
    ReportLookupFailure(p.tree, p.host, text, WSAGetLastError());
    p.resolving = false;
    p.button->setText(kStart);
}

const char* CMainDlg::ResolveTarget(const char* host, HANDLE* pRequest, char* hostEntBuf,
                                    UINT message) {
    const in_addr_t address = inet_addr(host);
    if (address != INADDR_NONE) {
        QCoreApplication::postEvent(this, new CMessageEvent(message, address, kPostedMarker));
        return nullptr;
    }
    sockaddr_in6 literal{};
    if (ParseIpv6Literal(host, &literal)) {
        // An IPv6 literal skips the lookup too; its address waits in the unused host-entry
        // buffer for the message.
        std::memcpy(hostEntBuf, &literal, sizeof literal);
        QCoreApplication::postEvent(this, new CMessageEvent(message, 0, kPosted6Marker));
        return nullptr;
    }
    *pRequest = WSAAsyncGetHostByName(this, message, host, hostEntBuf, MAXGETHOSTSTRUCT);
    return *pRequest != 0 ? nullptr : GetErrorText(WSAGetLastError());
}

LRESULT CMainDlg::OnProbeResolved(ProbePage p, WPARAM wParam, LPARAM lParam) {
    const int error = HiWord(lParam);
    if ((LoWord(lParam) == kPostedMarker || LoWord(lParam) == kPosted6Marker) && error == 0) {
        if (!p.posted) {
            return 1; // not this page's: a run is never started twice
        }
        p.posted = false;
        p.target6 = sockaddr_in6{};
        if (LoWord(lParam) == kPosted6Marker) {
            std::memcpy(&p.target6, p.hostEnt, sizeof p.target6);
            p.cell = 0;
        } else {
            p.cell = static_cast<uint32_t>(wParam);
        }
    } else {
        // Only the outstanding request's completion counts, never a late or foreign one.
        if (p.request == 0 || wParam != p.request) {
            return 1;
        }
        p.request = 0;
        if (error != 0) {
            ReportLookupFailure(p.tree, p.host, GetErrorText(error), error);
            p.resolving = false;
            p.button->setText(kStart);
            return 1;
        }
        const auto* host = reinterpret_cast<const hostent*>(p.hostEnt);
        // A name with an IPv4 address is pinged over IPv4; one with IPv6 addresses only over
        // IPv6, at its first.
        const bool v6 = host->h_addrtype == AF_INET6 && host->h_length == 16;
        if (host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr ||
            (host->h_addrtype != AF_INET && !v6)) {
            ReportLookupFailure(p.tree, p.host, GetErrorText(WSANO_DATA), WSANO_DATA);
            p.resolving = false;
            p.button->setText(kStart);
            return 1;
        }
        p.target6 = sockaddr_in6{};
        p.cell = 0;
        if (v6) {
            p.target6.sin6_family = AF_INET6;
            std::memcpy(&p.target6.sin6_addr, host->h_addr_list[0], 16);
        } else {
            std::memcpy(&p.cell, host->h_addr_list[0], 4);
        }
        p.resolving = false;
    }
    p.target = &p.cell;
    AddToHistory(p.hostId, p.box);
    if (p.thread.joinable()) {
        p.thread.join(); // the last run has handed the button back; its thread is ending
    }
    const HTREEITEM root = p.tree.Root();
    const uint32_t target = *p.target;
    const sockaddr_in6 target6 = p.target6;
    std::string host(p.host);
    try {
        if (p.trace) {
            p.thread = std::thread(&CMainDlg::TraceThreadProc, this, root, target, target6,
                                   std::move(host));
        } else {
            p.thread = std::thread(&CMainDlg::PingThreadProc, this, root, target, target6,
                                   std::move(host));
        }
    } catch (const std::system_error&) {
        // No thread to be had: the run does not happen, and the page is idle again.
        p.tree.SetRootText(QString::fromUtf8(p.host));
        p.go = true;
        p.button->setEnabled(true);
        p.button->setText(kStart);
    }
    return 1;
}

void CMainDlg::ReportOpenFailure(ProbePage p, const char* text) {
    const std::string why = IcmpCreateErrorText(m_icmp); // the reason is the calling thread's
    const QString message =
        QString::fromUtf8(text) + (why.empty() ? QString() : "\n\n" + QString::fromStdString(why));
    // The box runs an event loop of its own: the call holds copies, nothing of this frame.
    m_gate->Call([this, p, message] {
        p.button->setText(kStart);
        ErrorBox(this, message);
        p.go = true; // a stop asked for meanwhile is over too
        p.button->setEnabled(true);
    });
}

void CMainDlg::HandBack(ProbePage p) {
    // On the GUI thread, where Stop runs: whatever was pressed when, the page is idle after.
    m_gate->Call([&] {
        p.go = true;
        p.button->setEnabled(true);
        p.button->setText(kStart);
    });
}

void CMainDlg::PingThreadProc(HTREEITEM root, uint32_t target, sockaddr_in6 target6,
                              std::string host) {
    WorkerGate& gui = *m_gate;
    const bool v6 = target6.sin6_family == AF_INET6;
    const ICMP_HANDLE handle = OpenEcho(m_icmp, v6);
    if (handle == ICMP_INVALID_HANDLE) {
        ReportOpenFailure(Probe(PAGE_PING), "Unable to open PING service!");
        return;
    }
    m_hPingIcmp = handle; // from here on teardown can interrupt it
    unsigned char request[kRequestBlock];
    std::memset(request, 0xAA, sizeof request);
    // The reply buffer is sized at the start, so the packet size is fixed for the run.
    const uint32_t size = std::clamp<uint32_t>(m_dlgOptions.m_nPacketSize, 8, kRequestBlock);
    std::vector<unsigned char> reply(size + (v6 ? kReplyRecord6 : kReplyRecord));
    gui.Call([&] {
        m_rtPing.SetRootText(Text("Pinging %s...", host.c_str()));
        RecordRunStart(m_rtPing, root, RunKind::Ping, host, v6 ? AF_INET6 : AF_INET,
                       v6 ? static_cast<const void*>(&target6.sin6_addr) : &target, m_dlgOptions,
                       size);
    });
    for (uint32_t n = 1; n <= m_dlgOptions.m_nPackets && m_bPingGo && !m_bClosing; ++n) {
        const uint32_t timeout = m_dlgOptions.m_nTimeout * 1000; // milliseconds
        EchoStamp stamp;
        const uint32_t got =
            v6 ? SendEcho6(m_icmp, handle, target6, request, size, nullptr, reply, timeout)
               : m_icmp.pfnIcmpSendEcho(handle, target, request, static_cast<uint16_t>(size),
                                        nullptr, reply.data(), static_cast<uint32_t>(reply.size()),
                                        timeout);
        stamp.Returned(m_icmp);
        if (m_bClosing) {
            break;
        }
        if (got == 0) {
            gui.Call([&] {
                m_rtPing.AddItem(root, QStringLiteral("Request timed out"), IMG_FAIL);
                RecordResult(m_rtPing, root, TimedOutResult(n, stamp));
            });
            continue;
        }
        if (v6) {
            ICMPV6_ECHO_REPLY r;
            std::memcpy(&r, reply.data(), sizeof r);
            const bool alive = std::memcmp(r.Address.sin6_addr, &target6.sin6_addr, 16) == 0;
            const std::string from = Ipv6Text(r.Address.sin6_addr);
            // The record has no data size: an echo reply carries the request's data back, a
            // node's error none.
            const uint32_t echoed = r.Status == IP_SUCCESS ? size : 0;
            const QString text =
                alive ? Text("Reply from %s: Host is alive", from.c_str())
                      : Text("Reply from %s: Destination host unreachable", from.c_str());
            gui.Call([&] {
                const HTREEITEM item = m_rtPing.AddItem(root, text, alive ? IMG_OK : IMG_FAIL);
                m_rtPing.AddItem(item, Text("Packet size: %u bytes", echoed), IMG_INFO);
                m_rtPing.AddItem(item, Text("RTT: %u ms", r.RoundTripTime), IMG_INFO);
                m_rtPing.AddItem(item, Text("TTL: %u", unsigned{r.HopLimit}), IMG_INFO);
                RecordResult(m_rtPing, root,
                             Answer6Result(n, stamp, r, from, echoed,
                                           alive ? ResultKind::Reply : ResultKind::OtherNode));
            });
            continue;
        }
        ICMP_ECHO_REPLY r;
        std::memcpy(&r, reply.data(), sizeof r);
        const Octets o = OctetsOf(r.Address);
        const bool alive = r.Address == target;
        const QString text =
            alive
                ? Text("Reply from %u.%u.%u.%u: Host is alive", o.a, o.b, o.c, o.d)
                : Text("Reply from %u.%u.%u.%u: Destination host unreachable", o.a, o.b, o.c, o.d);
        gui.Call([&] {
            const HTREEITEM item = m_rtPing.AddItem(root, text, alive ? IMG_OK : IMG_FAIL);
            m_rtPing.AddItem(item, Text("Packet size: %u bytes", unsigned{r.DataSize}), IMG_INFO);
            m_rtPing.AddItem(item, Text("RTT: %u ms", r.RoundTripTime), IMG_INFO);
            m_rtPing.AddItem(item, Text("TTL: %u", unsigned{r.Options.Ttl}), IMG_INFO);
            RecordResult(m_rtPing, root, PingResult(n, stamp, r, alive));
        });
    }
    gui.Call([&] {
        m_rtPing.SetRootText(QString::fromStdString(host));
        m_rtPing.ExpandRoot();
    });
    m_hPingIcmp = ICMP_INVALID_HANDLE;
    m_icmp.pfnIcmpCloseHandle(handle);
    HandBack(Probe(PAGE_PING));
}

void CMainDlg::TraceThreadProc(HTREEITEM root, uint32_t target, sockaddr_in6 target6,
                               std::string host) {
    WorkerGate& gui = *m_gate;
    const bool v6 = target6.sin6_family == AF_INET6;
    const ICMP_HANDLE handle = OpenEcho(m_icmp, v6);
    if (handle == ICMP_INVALID_HANDLE) {
        ReportOpenFailure(Probe(PAGE_TRACE), "Unable to open TRACE service!");
        return;
    }
    m_hTraceIcmp = handle;
    unsigned char request[kRequestBlock];
    std::memset(request, 0xAA, sizeof request);
    const uint32_t size = std::clamp<uint32_t>(m_dlgOptions.m_nPacketSize, 8, kRequestBlock);
    gui.Call([&] {
        m_rtTrace.SetRootImage(IMG_ROUTE);
        m_rtTrace.SetRootText(Text("Tracing route to %s...", host.c_str()));
        RecordRunStart(m_rtTrace, root, RunKind::Trace, host, v6 ? AF_INET6 : AF_INET,
                       v6 ? static_cast<const void*>(&target6.sin6_addr) : &target, m_dlgOptions,
                       size);
    });
    const auto addHop = [&](uint32_t hop, uint32_t tries, const HopAnswer& a, const QString& text,
                            const std::string& name) {
        gui.Call([&] {
            const HTREEITEM item = m_rtTrace.AddItem(root, text, IMG_HOST);
            m_rtTrace.AddItem(item, Text("Hop: #%u", hop), IMG_INFO);
            m_rtTrace.AddItem(item, Text("RTT: %u ms", a.RttMs()), IMG_INFO);
            RecordResult(m_rtTrace, root, HopRecord(hop, tries, a, name, size));
        });
    };
    const auto addTimedOut = [&](uint32_t hop, const EchoStamp& stamp, uint32_t tries) {
        gui.Call([&] {
            const HTREEITEM item =
                m_rtTrace.AddItem(root, QStringLiteral("Request timed out"), IMG_FAIL);
            m_rtTrace.AddItem(item, Text("Hop: #%u", hop), IMG_INFO);
            RecordResult(m_rtTrace, root, TimedOutResult(hop, stamp, tries));
        });
    };
    std::unique_ptr<ParallelTrace> parallel;
    if (m_icmp.pfnIcmpSendEchoEx != nullptr && !m_bTraceOneAtATime) {
        ParallelTrace::Setup setup{m_icmp,  handle, v6,           target,     target6,
                                   request, size,   m_dlgOptions, m_bTraceGo, m_bClosing};
        parallel = std::make_unique<ParallelTrace>(setup);
        parallel->Run([&](const TraceSchedule::Hop& hop, const HopAnswer& a, const QString& text,
                          const std::string& name) {
            if (hop.answered) {
                addHop(hop.hop, hop.attempt, a, text, name);
            } else {
                addTimedOut(hop.hop, a.stamp, hop.attempt);
            }
        });
    } else {
        // One request at a time: a module without IcmpSendEchoEx.
        IP_OPTION_INFORMATION options{};
        std::vector<unsigned char> reply(size + (v6 ? kReplyRecord6 : kReplyRecord));
        uint32_t hop = 0;
        uint32_t attempts = 0;
        for (bool more = m_dlgOptions.m_nHops != 0; more;) {
            if (!m_bTraceGo || m_bClosing) {
                break;
            }
            ++hop;
            ++attempts;
            options.Ttl = static_cast<uint8_t>(hop & 0xFF);
            const uint32_t timeout = m_dlgOptions.m_nTimeout * 1000;
            HopAnswer a;
            a.v6 = v6;
            const uint32_t got =
                v6 ? SendEcho6(m_icmp, handle, target6, request, size, &options, reply, timeout)
                   : m_icmp.pfnIcmpSendEcho(handle, target, request, static_cast<uint16_t>(size),
                                            &options, reply.data(),
                                            static_cast<uint32_t>(reply.size()), timeout);
            a.stamp.Returned(m_icmp);
            if (m_bClosing) {
                break;
            }
            if (got != 0) {
                if (v6) {
                    std::memcpy(&a.r6, reply.data(), sizeof a.r6);
                    a.reached = std::memcmp(a.r6.Address.sin6_addr, &target6.sin6_addr, 16) == 0;
                } else {
                    std::memcpy(&a.r4, reply.data(), sizeof a.r4);
                    a.reached = a.r4.Address == target;
                }
                std::string name;
                const QString text = HopLookup(a, &m_bClosing, &name);
                addHop(hop, attempts, a, text, name);
                if (a.reached) {
                    break; // the target itself answered
                }
                attempts = 0;
            } else if (attempts > 3) {
                // The fourth request in a row without an answer for this hop.
                addTimedOut(hop, a.stamp, attempts);
                attempts = 0;
            } else {
                --hop; // ask the same hop again
            }
            more = hop < m_dlgOptions.m_nHops;
        }
    }
    gui.Call([&] {
        m_rtTrace.SetRootText(Text("Trace route to %s", host.c_str()));
        m_rtTrace.ExpandRoot();
    });
    m_hTraceIcmp = ICMP_INVALID_HANDLE;
    m_icmp.pfnIcmpCloseHandle(handle);
    parallel.reset(); // no completion runs any more: its lookups end and are joined
    HandBack(Probe(PAGE_TRACE));
}

void CMainDlg::StopWorkers() {
    m_bClosing = true;
    if (m_gate != nullptr) {
        m_gate->Close(); // a worker waiting on the window returns at once
    }
    m_bPingGo = false;
    m_bTraceGo = false;
    // A request waiting for its answer returns at once; the worker still closes its handle.
    for (std::atomic<ICMP_HANDLE>* running : {&m_hPingIcmp, &m_hTraceIcmp}) {
        const ICMP_HANDLE h = running->load();
        if (h == ICMP_INVALID_HANDLE) {
            continue;
        }
        if (m_icmp.pfnIcmpCancelHandle != nullptr) {
            m_icmp.pfnIcmpCancelHandle(h);
        } else {
            m_icmp.pfnIcmpCloseHandle(h);
        }
    }
    for (std::thread* t : {&m_pingThread, &m_traceThread}) {
        if (t->joinable()) {
            t->join();
        }
    }
}

void CMainDlg::OnClearCurrent() {
    if (m_nCurPage == PAGE_LOCALINFO) {
        return;
    }
    static_cast<QComboBox*>(GetDlgItem(IDC_PING_HOST + 5 * m_nCurPage))->setEditText(QString());
    Tree(m_nCurPage).Clear();
}

void CMainDlg::OnClearAll() {
    for (int page = PAGE_PING; page <= PAGE_LOOKUP; ++page) {
        static_cast<QComboBox*>(GetDlgItem(IDC_PING_HOST + 5 * page))->setEditText(QString());
        Tree(page).Clear();
    }
}
