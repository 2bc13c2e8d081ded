#pragma once
// The main dialog: four pages (Ping, Trace, Lookup, Local Info) over one tab control, each a
// host box, a button and a result tree, under the Tools / Options / Help menu bar.
//
// CMainDlg owns every control, the four ReportTrees, the shared image list and the state of
// the pages' requests. It lives on the GUI thread; the pages' workers and lookups reach it only
// through calls carried out on that thread.

#include "net/async_lookup.h"
#include "net/icmp/icmp_binding.h"
#include "net/sockets.h"
#include "ui/options_dlg.h"
#include "ui/report_tree.h"

#include <QDialog>
#include <QHash>
#include <QIcon>

#include <netdb.h>
#include <netinet/in.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class CImageList;
class SettingsStore;
class WorkerGate;
class CMenu;
class CTabCtrl;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

enum PageIndex { PAGE_PING = 0, PAGE_TRACE = 1, PAGE_LOOKUP = 2, PAGE_LOCALINFO = 3 };

// The Local Info page's lookup of the local host is done (wParam the request, lParam as a
// lookup's).
constexpr UINT WM_LOCALINFO_DONE = WM_USER + 4;
// The longest the Local Info page waits for the system resolver, milliseconds.
constexpr int kLocalInfoWaitMs = 2000;

// Show commands of ShowWindow.
constexpr int SW_HIDE = 0;
constexpr int SW_RESTORE = 9;

class CMainDlg : public QDialog {
    Q_OBJECT
public:
    explicit CMainDlg(QWidget* parent = nullptr);
    ~CMainDlg() override;

    // Creates the window from its template and initialises it, then runs it until it ends;
    // the window is then destroyed. Returns how it ended (QDialog::Rejected, the only way).
    int DoModal();
    // The first half of DoModal: the window created and initialised but not yet run.
    // Returns false when initialisation ended the dialog.
    bool Create();

    // Where the echo module is looked up; the executable's own directory unless set before
    // DoModal or Create.
    void SetModuleDir(const QByteArray& dir) { m_moduleDir = dir; }
    const IcmpEntryPoints& Icmp() const { return m_icmp; }

    QWidget* GetDlgItem(int id) const { return m_controls.value(id, nullptr); }
    CMenu* GetMenu() const { return m_pMainMenu; }
    int CurPage() const { return m_nCurPage; }
    const WSADATA& SocketData() const { return m_wsaData; }
    ReportTree& Tree(int page);
    int InitWidth() const { return m_nInitWidth; }
    int InitHeight() const { return m_nInitHeight; }
    COptionsDlg& Options() { return m_dlgOptions; }
    // Tests: trace one request at a time, as with a module without IcmpSendEchoEx.
    void SetTraceOneAtATime(bool on) { m_bTraceOneAtATime = on; }

    // Puts the text of host box id at the top of its list, unless the list holds it already.
    void AddToHistory(int id, QComboBox* box);

    void OnToolsPing();
    void OnToolsTrace();
    void OnToolsLookup();
    void OnToolsLocalInfo();

    void ShowPingControls(int nCmdShow);
    void ShowTraceControls(int nCmdShow);
    void ShowLookupControls(int nCmdShow);
    void ShowLocalInfoControls(int nCmdShow);

    // The Ping and Trace pages' buttons: Start or Stop by the caption.
    void OnPingStart();
    void OnTraceStart();
    // The Lookup page's button: Start or Stop by its caption.
    void OnLookupStart();
    // The Local Info page's button: start the sockets layer again and fill the page anew.
    void OnRefresh();

    void OnClearCurrent();
    void OnClearAll();
    void OnToolsExit() { OnCancel(); }
    void OnOptions();
    void OnHelpHomePage();
    void OnHelpSiblingPage();
    void OnHelpAbout();
    // The Tools menu opens: its Clear items are enabled only when there is something to clear.
    void OnInitMenuPopup(QMenu* popup, int position);
    // Fits the controls of all four pages to a client area of cx by cy pixels.
    void OnSize(int cx, int cy);

    // Enter: the shown page's action; never ends the dialog.
    void OnOK();
    // The one way the dialog ends: Esc, the close box, Tools > Exit.
    void OnCancel();

    // QDialog's own ends lead to ours.
    void accept() override { OnOK(); }
    void reject() override;

protected:
    virtual bool OnInitDialog();
    void DoDataExchange();
    // The window is gone: the settings are written.
    virtual void OnDestroy();
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct ProbePage;
    ProbePage Probe(int page);
    void OnProbeStart(ProbePage p);
    LRESULT OnProbeResolved(ProbePage p, WPARAM wParam, LPARAM lParam);
    LRESULT OnPingResolved(WPARAM wParam, LPARAM lParam);
    LRESULT OnTraceResolved(WPARAM wParam, LPARAM lParam);
    // Turns host into an address: posts the page's message at once for a dotted address,
    // else starts a lookup. Null when under way, else the error text of the refusal.
    const char* ResolveTarget(const char* host, HANDLE* pRequest, char* hostEntBuf, UINT message);
    // The workers, each on its thread: root is the run's root item, target its IPv4 address
    // (network byte order), host the text the user typed. An IPv6 target comes as target6
    // (family AF_INET6, target then 0); an IPv4 run has target6's family AF_UNSPEC.
    void PingThreadProc(HTREEITEM root, uint32_t target, sockaddr_in6 target6, std::string host);
    void TraceThreadProc(HTREEITEM root, uint32_t target, sockaddr_in6 target6, std::string host);
    // From a worker: the service could not be opened; says so and hands the page back.
    void ReportOpenFailure(ProbePage p, const char* text);
    // From a worker at the end of its run: the page is idle again.
    void HandBack(ProbePage p);
    // Teardown: ends both runs at once (interrupting their requests and lookups) and waits
    // for their threads.
    void StopWorkers();

    // Starts the lookup of host: by address when it is a dotted address, else by name. Null
    // when it is under way, else the error text of the refusal.
    const char* ResolveLookup(const char* host, HANDLE* pRequest, char* hostEntBuf, UINT message);
    LRESULT OnLookupDone(WPARAM wParam, LPARAM lParam);
    // Starts the lookup of the local host; the page is filled when it completes.
    void FillLocalInfo(const WSADATA* wsa);
    LRESULT OnLocalInfoDone(WPARAM wParam, LPARAM lParam);
    // Under the latest root of tree: "Host lookup failed" with the error's code and
    // description (or its whole text); the root gets the host text and is expanded.
    void ReportLookupFailure(ReportTree& tree, const char* host, const char* errorText, int error);
    // The host box's text as the host buffers hold it: at most 127 bytes and the terminator.
    void GetHostText(int id, char (&buffer)[128]) const;

    void CreateFromTemplate();
    void OnCommand(int id);
    void OnSelchangeTab();
    void SwitchPage(int page);
    void ShowPageControls(int page, int nCmdShow);
    void SetFocusToTab();

    // Controls, bound by DoDataExchange.
    CTabCtrl* m_tab = nullptr;
    QComboBox* m_cbPingHost = nullptr;
    QPushButton* m_btnPingStart = nullptr;
    QComboBox* m_cbTraceHost = nullptr;
    QPushButton* m_btnTraceStart = nullptr;
    QComboBox* m_cbLookupHost = nullptr;
    QPushButton* m_btnLookupStart = nullptr;
    QLineEdit* m_editLocalHost = nullptr;
    QPushButton* m_btnRefresh = nullptr;
    ReportTree m_rtPing;
    ReportTree m_rtTrace;
    ReportTree m_rtLookup;
    ReportTree m_rtLocal;

    // Worker may go on; the workers read them while the GUI thread writes.
    std::atomic<bool> m_bPingGo{false};
    std::atomic<bool> m_bTraceGo{false};
    bool m_bPingResolving = false;
    bool m_bTraceResolving = false;

    char m_szPingHost[128] = {};
    char m_szTraceHost[128] = {};
    alignas(hostent) char m_bufPingHostEnt[MAXGETHOSTSTRUCT] = {};
    alignas(hostent) char m_bufTraceHostEnt[MAXGETHOSTSTRUCT] = {};
    HANDLE m_hPingRequest = 0; // the outstanding lookup; 0 when none
    HANDLE m_hTraceRequest = 0;
    bool m_bPingPosted = false; // a dotted address's message is on its way
    bool m_bTracePosted = false;
    // The run's target: a cell of its own that lives as long as the dialog, so as long as any
    // run that reads it.
    uint32_t m_nPingTargetCell = 0; // network byte order
    uint32_t m_nTraceTargetCell = 0;
    const uint32_t* m_pPingTarget = nullptr;
    const uint32_t* m_pTraceTarget = nullptr;
    // The run's IPv6 target (an IPv6 literal, or a name with IPv6 addresses only); family
    // AF_UNSPEC while the target is IPv4.
    sockaddr_in6 m_sinPingTarget6{};
    sockaddr_in6 m_sinTraceTarget6{};
    std::thread m_pingThread; // joined before a new run and at teardown
    std::thread m_traceThread;
    std::atomic<ICMP_HANDLE> m_hPingIcmp{ICMP_INVALID_HANDLE}; // the run's open echo handle
    std::atomic<ICMP_HANDLE> m_hTraceIcmp{ICMP_INVALID_HANDLE};
    std::atomic<bool> m_bClosing{false}; // the window is ending: runs stop at once
    bool m_bTraceOneAtATime = false;     // set before a run only
    WorkerGate* m_gate = nullptr;

    char m_szLookupHost[128] = {};
    alignas(hostent) char m_bufLookupHostEnt[MAXGETHOSTSTRUCT] = {};
    HANDLE m_hLookupRequest = 0; // the outstanding lookup; 0 when none

    char m_szLocalHost[128] = {}; // the name gethostname gave for the outstanding lookup
    alignas(hostent) char m_bufLocalHostEnt[MAXGETHOSTSTRUCT] = {};
    // The Local Info page's outstanding lookup, 0 when none, and what the page shows with it.
    HANDLE m_hLocalRequest = 0;
    const WSADATA* m_pLocalData = nullptr;

    IcmpEntryPoints m_icmp; // bound once at start-up, read-only afterwards
    COptionsDlg m_dlgOptions;
    WSADATA m_wsaData;
    QIcon m_hIcon;        // null while not loaded
    int m_nInitWidth = 0; // size of the window as created, pixels
    int m_nInitHeight = 0;
    CMenu* m_pMainMenu = nullptr;
    CMenu* m_menu = nullptr; // the menu as the template created it
    int m_nCurPage = PAGE_PING;
    CImageList* m_pImageList = nullptr;

    // Opened when the settings are read; null when start-up ended before that, and then
    // nothing is written at the end.
    std::unique_ptr<SettingsStore> m_store;
    QByteArray m_moduleDir;
    QRect m_rcNormal;            // the window's rectangle when last neither minimised nor maximised
    QWidget* m_client = nullptr; // the area below the menu bar, where the template lies
    QHash<int, QWidget*> m_controls;
    bool m_bCreated = false;
    bool m_bEnded = false;
};
