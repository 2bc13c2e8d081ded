// The Ping and Trace pages: their Start and Stop, the resolution of their target, and the two
// workers that send the echo requests.

#include "ui/main_dlg.h"

#include "net/error_text.h"
#include "net/host_by_addr.h"
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
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace {

const QString kStart = QStringLiteral("&Start");
const QString kStop = QStringLiteral("&Stop");

constexpr uint16_t kPostedMarker = 0xFFFF; // low word of a dotted address's own message
constexpr uint32_t kRequestBlock = 512;    // bytes of request data: the largest packet size
constexpr uint32_t kReplyRecord = sizeof(ICMP_ECHO_REPLY); // 28 bytes

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

// "name [a.b.c.d]" within 255 characters: the name is cut, the address kept whole.
QString HopText(const std::string& name, uint32_t address) {
    const Octets o = OctetsOf(address);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, " [%u.%u.%u.%u]", o.a, o.b, o.c, o.d);
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
};

CMainDlg::ProbePage CMainDlg::Probe(int page) {
    if (page == PAGE_TRACE) {
        return {
            IDC_TRACE_HOST,     m_cbTraceHost,   m_btnTraceStart,   m_rtTrace,      m_szTraceHost,
            m_bufTraceHostEnt,  m_hTraceRequest, m_bTraceResolving, m_bTracePosted, m_bTraceGo,
            m_nTraceTargetCell, m_pTraceTarget,  WM_TRACE_RESOLVED, m_traceThread,  true};
    }
    return {IDC_PING_HOST,     m_cbPingHost,   m_btnPingStart,   m_rtPing,      m_szPingHost,
            m_bufPingHostEnt,  m_hPingRequest, m_bPingResolving, m_bPingPosted, m_bPingGo,
            m_nPingTargetCell, m_pPingTarget,  WM_PING_RESOLVED, m_pingThread,  false};
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
    if (inet_addr(p.host) == INADDR_NONE) {
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
    *pRequest = WSAAsyncGetHostByName(this, message, host, hostEntBuf, MAXGETHOSTSTRUCT);
    return *pRequest != 0 ? nullptr : GetErrorText(WSAGetLastError());
}

LRESULT CMainDlg::OnProbeResolved(ProbePage p, WPARAM wParam, LPARAM lParam) {
    const int error = HiWord(lParam);
    if (LoWord(lParam) == kPostedMarker && error == 0) {
        if (!p.posted) {
            return 1; // not this page's: a run is never started twice
        }
        p.posted = false;
        p.cell = static_cast<uint32_t>(wParam);
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
        // The echo workers speak IPv4: a name with IPv6 addresses only has none for them.
        if (host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr ||
            host->h_addrtype != AF_INET) {
            ReportLookupFailure(p.tree, p.host, GetErrorText(WSANO_DATA), WSANO_DATA);
            p.resolving = false;
            p.button->setText(kStart);
            return 1;
        }
        std::memcpy(&p.cell, host->h_addr_list[0], 4);
        p.resolving = false;
    }
    p.target = &p.cell;
    AddToHistory(p.hostId, p.box);
    if (p.thread.joinable()) {
        p.thread.join(); // the last run has handed the button back; its thread is ending
    }
    const HTREEITEM root = p.tree.Root();
    const uint32_t target = *p.target;
    std::string host(p.host);
    try {
        if (p.trace) {
            p.thread = std::thread(&CMainDlg::TraceThreadProc, this, root, target, std::move(host));
        } else {
            p.thread = std::thread(&CMainDlg::PingThreadProc, this, root, target, std::move(host));
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

void CMainDlg::PingThreadProc(HTREEITEM root, uint32_t target, std::string host) {
    WorkerGate& gui = *m_gate;
    const ICMP_HANDLE handle = m_icmp.pfnIcmpCreateFile();
    if (handle == ICMP_INVALID_HANDLE) {
        ReportOpenFailure(Probe(PAGE_PING), "Unable to open PING service!");
        return;
    }
    m_hPingIcmp = handle; // from here on teardown can interrupt it
    unsigned char request[kRequestBlock];
    std::memset(request, 0xAA, sizeof request);
    // The reply buffer is sized at the start, so the packet size is fixed for the run.
    const uint32_t size = std::clamp<uint32_t>(m_dlgOptions.m_nPacketSize, 8, kRequestBlock);
    std::vector<unsigned char> reply(size + kReplyRecord);
    gui.Call([&] {
        m_rtPing.SetRootText(Text("Pinging %s...", host.c_str()));
        RecordRunStart(m_rtPing, root, RunKind::Ping, host, AF_INET, &target, m_dlgOptions, size);
    });
    for (uint32_t n = 1; n <= m_dlgOptions.m_nPackets && m_bPingGo && !m_bClosing; ++n) {
        const uint32_t timeout = m_dlgOptions.m_nTimeout * 1000; // milliseconds
        EchoStamp stamp;
        const uint32_t got =
            m_icmp.pfnIcmpSendEcho(handle, target, request, static_cast<uint16_t>(size), nullptr,
                                   reply.data(), static_cast<uint32_t>(reply.size()), timeout);
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

void CMainDlg::TraceThreadProc(HTREEITEM root, uint32_t target, std::string host) {
    WorkerGate& gui = *m_gate;
    const ICMP_HANDLE handle = m_icmp.pfnIcmpCreateFile();
    if (handle == ICMP_INVALID_HANDLE) {
        ReportOpenFailure(Probe(PAGE_TRACE), "Unable to open TRACE service!");
        return;
    }
    m_hTraceIcmp = handle;
    unsigned char request[kRequestBlock];
    std::memset(request, 0xAA, sizeof request);
    IP_OPTION_INFORMATION options{};
    const uint32_t size = std::clamp<uint32_t>(m_dlgOptions.m_nPacketSize, 8, kRequestBlock);
    std::vector<unsigned char> reply(size + kReplyRecord);
    gui.Call([&] {
        m_rtTrace.SetRootImage(IMG_ROUTE);
        m_rtTrace.SetRootText(Text("Tracing route to %s...", host.c_str()));
        RecordRunStart(m_rtTrace, root, RunKind::Trace, host, AF_INET, &target, m_dlgOptions, size);
    });
    uint32_t hop = 0;
    uint32_t attempts = 0;
    if (m_dlgOptions.m_nHops != 0) {
        for (;;) {
            if (!m_bTraceGo || m_bClosing) {
                break;
            }
            ++hop;
            ++attempts;
            options.Ttl = static_cast<uint8_t>(hop & 0xFF);
            const uint32_t timeout = m_dlgOptions.m_nTimeout * 1000;
            EchoStamp stamp;
            const uint32_t got = m_icmp.pfnIcmpSendEcho(
                handle, target, request, static_cast<uint16_t>(size), &options, reply.data(),
                static_cast<uint32_t>(reply.size()), timeout);
            stamp.Returned(m_icmp);
            if (m_bClosing) {
                break;
            }
            if (got != 0) {
                ICMP_ECHO_REPLY r;
                std::memcpy(&r, reply.data(), sizeof r);
                std::string name;
                const Octets o = OctetsOf(r.Address);
                const QString text =
                    WsGetHostByAddr(r.Address, kReverseLookupMs, &m_bClosing, &name)
                        ? HopText(name, r.Address)
                        : Text("%u.%u.%u.%u", o.a, o.b, o.c, o.d);
                gui.Call([&] {
                    const HTREEITEM item = m_rtTrace.AddItem(root, text, IMG_HOST);
                    m_rtTrace.AddItem(item, Text("Hop: #%u", hop), IMG_INFO);
                    m_rtTrace.AddItem(item, Text("RTT: %u ms", r.RoundTripTime), IMG_INFO);
                    RecordResult(m_rtTrace, root,
                                 HopResult(hop, attempts, stamp, r, name, r.Address == target));
                });
                if (r.Address == target) {
                    break; // the target itself answered
                }
                attempts = 0;
            } else if (attempts > 3) {
                // The fourth request in a row without an answer for this hop.
                gui.Call([&] {
                    const HTREEITEM item =
                        m_rtTrace.AddItem(root, QStringLiteral("Request timed out"), IMG_FAIL);
                    m_rtTrace.AddItem(item, Text("Hop: #%u", hop), IMG_INFO);
                    RecordResult(m_rtTrace, root, TimedOutResult(hop, stamp, attempts));
                });
                attempts = 0;
            } else {
                --hop; // ask the same hop again
            }
            if (hop >= m_dlgOptions.m_nHops) {
                break;
            }
        }
    }
    gui.Call([&] {
        m_rtTrace.SetRootText(Text("Trace route to %s", host.c_str()));
        m_rtTrace.ExpandRoot();
    });
    m_hTraceIcmp = ICMP_INVALID_HANDLE;
    m_icmp.pfnIcmpCloseHandle(handle);
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
