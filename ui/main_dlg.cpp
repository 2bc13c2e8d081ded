#include "ui/main_dlg.h"

#include "app/settings_store.h"
#include "net/error_text.h"
#include "res/dialogs.h"
#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/dialog_template.h"
#include "ui/image_list.h"
#include "ui/menu.h"
#include "ui/message_box.h"
#include "ui/tab_ctrl.h"
#include "ui/worker_gate.h"

#include <arpa/inet.h>

#include <QComboBox>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

struct PageInfo {
    const char* tabText;
    int command;             // the page's Tools command
    int firstId;             // host label; the page owns firstId .. firstId + 4
    const char* hostPattern; // its host list's entries in the store; null: no list
};

constexpr PageInfo kPages[] = {
    {"Ping", ID_TOOLS_PING, IDC_PING_HOST_LABEL, "Ping Host %u"},
    {"Trace", ID_TOOLS_TRACE, IDC_TRACE_HOST_LABEL, "Trace Host %u"},
    {"Lookup", ID_TOOLS_LOOKUP, IDC_LOOKUP_HOST_LABEL, "Lookup Host %u"},
    {"Local Info", ID_TOOLS_LOCALINFO, IDC_LOCAL_HOST_LABEL, nullptr},
};

// An item's text, formatted into the 256 characters an item holds (cut, never overrun).
QString ItemText(const char* format, ...) __attribute__((format(printf, 1, 2)));
QString ItemText(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return QString::fromUtf8(text);
}

const QString kStart = QStringLiteral("&Start");
const QString kStop = QStringLiteral("&Stop");

QList<QRect> ScreenRects() {
    QList<QRect> rects;
    for (const QScreen* screen : QGuiApplication::screens()) {
        rects.append(screen->availableGeometry());
    }
    return rects;
}

template <typename T> T* As(QWidget* w) {
    return static_cast<T*>(w);
}

// Changes a host box's list without changing the text it shows. An editable QComboBox makes
// entry 0 current when a list that was empty gets entries, and moves its current entry with
// the rows around it, rewriting its text either way; the host boxes' texts are the user's.
template <typename Change> void KeepingBoxText(QComboBox* box, Change change) {
    const QString shown = box->currentText();
    change();
    if (box->currentText() != shown || box->currentIndex() != -1) {
        box->setCurrentIndex(-1); // no entry is picked: the text is what was typed
        box->setEditText(shown);
    }
}

} // namespace

CMainDlg::CMainDlg(QWidget* parent) : QDialog(parent), m_gate(new WorkerGate(this)) {
    if (!AfxSocketInit(&m_wsaData)) {
        AfxMessageBox(IDS_SOCKETS_INIT_FAILED);
        return; // the dialog runs all the same, without its icon
    }
    m_hIcon = LoadMainIcon();
}

CMainDlg::~CMainDlg() {
    StopWorkers();
    WSACancelAllAsyncRequests(this);
}

void CMainDlg::CreateFromTemplate() {
    const res::DialogTemplate& tmpl = res::MainDialog();
    // The template's window is an application window with a sizing border, a system menu and
    // minimise and maximise boxes, shown in the task list. A QDialog is a dialog window,
    // transient for Qt's hidden leader window: window managers give it neither box and some
    // task bars leave it out. As a plain top-level window it is transient for nothing.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(tmpl.caption));
    setFont(DialogFont(tmpl.fontPoints));
    setSizeGripEnabled(false);

    // The menu bar takes the top of the dialog; the template lies in the client area below.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_menu = new CMenu(res::MainMenu(), this);
    layout->setMenuBar(m_menu->MenuBar());
    connect(m_menu, &CMenu::CommandChosen, this, &CMainDlg::OnCommand);
    connect(m_menu, &CMenu::PopupAboutToShow, this, &CMainDlg::OnInitMenuPopup);
    // The help request: F1 anywhere in the dialog.
    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, [this] { ShowHelpGuide(this); });
    m_client = new QWidget(this);
    m_client->installEventFilter(this); // its resizes lay the pages out
    layout->addWidget(m_client);

    m_client->setFont(font());
    const BuiltTemplate built = BuildFromTemplate(tmpl, m_client);
    m_controls = built.controls;

    resize(built.clientSize.width(),
           built.clientSize.height() + m_menu->MenuBar()->sizeHint().height());
    // Centred on the screen, as the template asks.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void CMainDlg::DoDataExchange() {
    m_tab = As<CTabCtrl>(GetDlgItem(IDC_TAB));
    m_cbPingHost = As<QComboBox>(GetDlgItem(IDC_PING_HOST));
    m_btnPingStart = As<QPushButton>(GetDlgItem(IDC_PING_START));
    m_rtPing.Attach(As<ReportTreeWidget>(GetDlgItem(IDC_PING_TREE)));
    m_cbTraceHost = As<QComboBox>(GetDlgItem(IDC_TRACE_HOST));
    m_btnTraceStart = As<QPushButton>(GetDlgItem(IDC_TRACE_START));
    m_rtTrace.Attach(As<ReportTreeWidget>(GetDlgItem(IDC_TRACE_TREE)));
    m_cbLookupHost = As<QComboBox>(GetDlgItem(IDC_LOOKUP_HOST));
    m_btnLookupStart = As<QPushButton>(GetDlgItem(IDC_LOOKUP_START));
    m_rtLookup.Attach(As<ReportTreeWidget>(GetDlgItem(IDC_LOOKUP_TREE)));
    m_editLocalHost = As<QLineEdit>(GetDlgItem(IDC_LOCAL_HOST));
    m_btnRefresh = As<QPushButton>(GetDlgItem(IDC_REFRESH));
    m_rtLocal.Attach(As<ReportTreeWidget>(GetDlgItem(IDC_LOCAL_TREE)));
    connect(m_tab, &CTabCtrl::SelChange, this, &CMainDlg::OnSelchangeTab);
    connect(m_btnPingStart, &QPushButton::clicked, this, &CMainDlg::OnPingStart);
    connect(m_btnTraceStart, &QPushButton::clicked, this, &CMainDlg::OnTraceStart);
    connect(m_btnLookupStart, &QPushButton::clicked, this, &CMainDlg::OnLookupStart);
    connect(m_btnRefresh, &QPushButton::clicked, this, &CMainDlg::OnRefresh);
}

bool CMainDlg::Create() {
    if (!m_bCreated) {
        m_bCreated = true;
        CreateFromTemplate();
        OnInitDialog();
    }
    return !m_bEnded;
}

int CMainDlg::DoModal() {
    if (Create()) {
        exec();
    }
    OnDestroy();
    return QDialog::Rejected;
}

bool CMainDlg::OnInitDialog() {
    DoDataExchange();

    if (!m_hIcon.isNull()) {
        setWindowIcon(m_hIcon);
    }

    // Without the echo service the dialog does not run; the module stays loaded either way.
    const IcmpBindResult bound =
        BindIcmpEntryPoints(m_icmp, m_moduleDir.isEmpty() ? nullptr : m_moduleDir.constData());
    if (bound != IcmpBindResult::Ok) {
        ErrorBox(this, bound == IcmpBindResult::ModuleMissing
                           ? QStringLiteral("Unable to locate ICMP.DLL!")
                           : QStringLiteral("Unable to locate required API functions!"));
        OnCancel();
        return false;
    }

    // The window as created is the smallest it may become; the stored placement comes next.
    const QRect asCreated = geometry();
    m_nInitWidth = asCreated.width();
    m_nInitHeight = asCreated.height();
    setMinimumSize(m_nInitWidth, m_nInitHeight);
    m_store = std::make_unique<SettingsStore>();
    setGeometry(m_store->ReadWindowRect(asCreated, minimumSize(), ScreenRects()));
    m_rcNormal = geometry();

    m_pMainMenu = m_menu;
    m_pMainMenu->CheckMenuRadioItem(ID_TOOLS_PING, ID_TOOLS_LOCALINFO, ID_TOOLS_PING);

    for (int i = 0; i < 4; ++i) {
        m_tab->InsertItem(i, QString::fromUtf8(kPages[i].tabText));
    }
    SetFocusToTab();

    m_pImageList = CImageList::CreateReportImages();
    for (ReportTree* rt : {&m_rtPing, &m_rtTrace, &m_rtLookup, &m_rtLocal}) {
        rt->GetTree()->SetImageList(m_pImageList);
    }

    m_dlgOptions.m_nPackets = m_store->ReadOption(OPT_PACKETS, m_dlgOptions.m_nPackets);
    m_dlgOptions.m_nTimeout = m_store->ReadOption(OPT_TIMEOUT, m_dlgOptions.m_nTimeout);
    m_dlgOptions.m_nPacketSize = m_store->ReadOption(OPT_PACKET_SIZE, m_dlgOptions.m_nPacketSize);
    m_dlgOptions.m_nHops = m_store->ReadOption(OPT_HOPS, m_dlgOptions.m_nHops);

    for (int page = PAGE_PING; page <= PAGE_LOOKUP; ++page) {
        auto* box = As<QComboBox>(GetDlgItem(kPages[page].firstId + 1));
        const QStringList hosts = m_store->ReadHostList(kPages[page].hostPattern);
        KeepingBoxText(box, [box, &hosts] { box->addItems(hosts); }); // the box stays empty
    }

    FillLocalInfo(&m_wsaData);

    m_nCurPage = PAGE_PING;
    ShowTraceControls(SW_HIDE);
    ShowLookupControls(SW_HIDE);
    ShowLocalInfoControls(SW_HIDE);
    ShowPingControls(SW_RESTORE);
    setWindowTitle(QStringLiteral("Sabrevin - Ping"));

    m_bTraceGo = true;
    m_bPingGo = true;
    m_bTraceResolving = false;
    m_bPingResolving = false;
    return false; // the focus is set
}

void CMainDlg::OnDestroy() {
    // No worker and no lookup may reach a window that is gone.
    StopWorkers();
    WSACancelAllAsyncRequests(this);
    m_hLookupRequest = 0;
    m_hPingRequest = 0;
    m_hTraceRequest = 0;
    if (!m_store) {
        return; // start-up ended before the settings were read: the stored ones stay
    }
    // Minimised or maximised, the rectangle to come back to is the normal one.
    m_store->WriteWindowRect(isMinimized() || isMaximized() || isFullScreen() ? m_rcNormal
                                                                              : geometry());
    m_store->WriteOption(OPT_PACKETS, m_dlgOptions.m_nPackets);
    m_store->WriteOption(OPT_TIMEOUT, m_dlgOptions.m_nTimeout);
    m_store->WriteOption(OPT_PACKET_SIZE, m_dlgOptions.m_nPacketSize);
    m_store->WriteOption(OPT_HOPS, m_dlgOptions.m_nHops);
    for (int page = PAGE_PING; page <= PAGE_LOOKUP; ++page) {
        const auto* box = As<QComboBox>(GetDlgItem(kPages[page].firstId + 1));
        QStringList list;
        for (int i = 0; i < box->count(); ++i) {
            list.append(box->itemText(i));
        }
        m_store->WriteHostList(kPages[page].hostPattern, list);
    }
    m_store->Sync(); // a failed write is not reported; the run ends as usual
    m_store.reset();
}

void CMainDlg::AddToHistory(int id, QComboBox* box) {
    const int count = box->count();
    const QString text = CutHostText(As<QComboBox>(GetDlgItem(id))->currentText());
    // An empty entry would end the list at the next start.
    if (text.isEmpty()) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        if (box->itemText(i) == text) {
            return; // already listed: it stays where it is
        }
    }
    KeepingBoxText(box, [box, count, &text] {
        if (count == HISTORY_MAX) {
            box->removeItem(HISTORY_MAX - 1);
        }
        box->insertItem(0, text);
    });
}

ReportTree& CMainDlg::Tree(int page) {
    switch (page) {
    case PAGE_TRACE:
        return m_rtTrace;
    case PAGE_LOOKUP:
        return m_rtLookup;
    case PAGE_LOCALINFO:
        return m_rtLocal;
    default:
        return m_rtPing;
    }
}

void CMainDlg::ShowPageControls(int page, int nCmdShow) {
    for (int id = kPages[page].firstId; id <= kPages[page].firstId + 4; ++id) {
        GetDlgItem(id)->setVisible(nCmdShow != SW_HIDE);
    }
}

void CMainDlg::ShowPingControls(int nCmdShow) {
    ShowPageControls(PAGE_PING, nCmdShow);
}

void CMainDlg::ShowTraceControls(int nCmdShow) {
    ShowPageControls(PAGE_TRACE, nCmdShow);
}

void CMainDlg::ShowLookupControls(int nCmdShow) {
    ShowPageControls(PAGE_LOOKUP, nCmdShow);
}

void CMainDlg::ShowLocalInfoControls(int nCmdShow) {
    ShowPageControls(PAGE_LOCALINFO, nCmdShow);
}

void CMainDlg::SetFocusToTab() {
    m_tab->TabBar()->setFocus(Qt::OtherFocusReason);
}

void CMainDlg::SwitchPage(int page) {
    m_nCurPage = page;
    if (m_tab->GetCurSel() != m_nCurPage) {
        m_tab->SetCurSel(m_nCurPage); // raises no SelChange: the switch runs once
    }
    // Hide before show, so that two pages are never visible at once.
    for (int other = PAGE_PING; other <= PAGE_LOCALINFO; ++other) {
        if (other != page) {
            ShowPageControls(other, SW_HIDE);
        }
    }
    ShowPageControls(page, SW_RESTORE);
    SetFocusToTab();
    setWindowTitle(QStringLiteral("Sabrevin - ") + QString::fromUtf8(kPages[page].tabText));
    m_pMainMenu->CheckMenuRadioItem(ID_TOOLS_PING, ID_TOOLS_LOCALINFO, kPages[page].command);
}

void CMainDlg::OnToolsPing() {
    SwitchPage(PAGE_PING);
}

void CMainDlg::OnToolsTrace() {
    SwitchPage(PAGE_TRACE);
}

void CMainDlg::OnToolsLookup() {
    SwitchPage(PAGE_LOOKUP);
}

void CMainDlg::OnToolsLocalInfo() {
    SwitchPage(PAGE_LOCALINFO);
}

void CMainDlg::OnSelchangeTab() {
    switch (m_tab->GetCurSel()) {
    case PAGE_PING:
        OnToolsPing();
        break;
    case PAGE_TRACE:
        OnToolsTrace();
        break;
    case PAGE_LOOKUP:
        OnToolsLookup();
        break;
    case PAGE_LOCALINFO:
        OnToolsLocalInfo();
        break;
    default:
        break; // no selection
    }
}

void CMainDlg::OnCommand(int id) {
    switch (id) {
    case ID_TOOLS_PING:
        OnToolsPing();
        break;
    case ID_TOOLS_TRACE:
        OnToolsTrace();
        break;
    case ID_TOOLS_LOOKUP:
        OnToolsLookup();
        break;
    case ID_TOOLS_LOCALINFO:
        OnToolsLocalInfo();
        break;
    case ID_TOOLS_EXIT:
        OnToolsExit();
        break;
    case ID_OPTIONS:
        OnOptions();
        break;
    case ID_HELP_HOMEPAGE:
        OnHelpHomePage();
        break;
    case ID_HELP_SIBLINGPAGE:
        OnHelpSiblingPage();
        break;
    case ID_HELP_ABOUT:
        OnHelpAbout();
        break;
    case ID_CLEAR_CURRENT:
        OnClearCurrent();
        break;
    case ID_CLEAR_ALL:
        OnClearAll();
        break;
    default:
        break;
    }
}

void CMainDlg::OnOptions() {
    m_dlgOptions.DoModal(this);
}

void CMainDlg::OnHelpHomePage() {
    QDesktopServices::openUrl(QUrl(QStringLiteral("https://www.varnstead.example/sabrevin/")));
}

void CMainDlg::OnHelpSiblingPage() {
    QDesktopServices::openUrl(QUrl(QStringLiteral("https://www.varnstead.example/corvale/")));
}

void CMainDlg::OnHelpAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CMainDlg::OnInitMenuPopup(QMenu* popup, int position) {
    if (position != 0 || m_pMainMenu == nullptr) {
        return;
    }
    // Something to clear: text in the page's host box, or any item in its tree.
    bool has[3];
    for (int page = PAGE_PING; page <= PAGE_LOOKUP; ++page) {
        const auto* box = As<QComboBox>(GetDlgItem(kPages[page].firstId + 1));
        has[page] = !box->currentText().isEmpty() || Tree(page).GetTree()->topLevelItemCount() != 0;
    }
    Q_UNUSED(popup); // both items are addressed by command, wherever they sit
    m_pMainMenu->EnableMenuItem(ID_CLEAR_CURRENT, m_nCurPage != PAGE_LOCALINFO && has[m_nCurPage]);
    m_pMainMenu->EnableMenuItem(ID_CLEAR_ALL,
                                has[PAGE_PING] || has[PAGE_TRACE] || has[PAGE_LOOKUP]);
}

bool CMainDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_client && event->type() == QEvent::Resize) {
        const QSize size = static_cast<QResizeEvent*>(event)->size();
        OnSize(size.width(), size.height());
    }
    return QDialog::eventFilter(watched, event);
}

void CMainDlg::OnSize(int cx, int cy) {
    if (cx <= 0 || cy <= 0 || m_tab == nullptr) {
        return; // minimised, or the controls are not bound yet
    }
    // Pixels of the client area: the tab control keeps its left margin on every side; host
    // boxes end 126 pixels from the right, buttons and trees 14 from the right (and bottom).
    const QRect tab = m_tab->geometry();
    m_tab->setGeometry(tab.left(), tab.top(), cx - 2 * tab.left(), cy - tab.top() - tab.left());
    for (const PageInfo& page : kPages) {
        QWidget* host = GetDlgItem(page.firstId + 1);
        QWidget* tree = GetDlgItem(page.firstId + 3);
        QWidget* button = GetDlgItem(page.firstId + 4);
        const QRect h = host->geometry();
        host->setGeometry(h.left(), h.top(), cx - h.left() - 126, h.height());
        const QRect b = button->geometry();
        button->setGeometry(cx - b.width() - 14, b.top(), b.width(), b.height());
        const QRect t = tree->geometry();
        tree->setGeometry(t.left(), t.top(), cx - t.left() - 14, cy - t.top() - 14);
    }
}

void CMainDlg::OnOK() {
    // Enter runs the shown page's action and never ends the dialog.
    switch (m_nCurPage) {
    case PAGE_PING:
        OnPingStart();
        break;
    case PAGE_TRACE:
        OnTraceStart();
        break;
    case PAGE_LOOKUP:
        OnLookupStart();
        break;
    case PAGE_LOCALINFO:
        OnRefresh();
        break;
    default:
        break;
    }
}

bool CMainDlg::event(QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == CMessageEvent::TypeOf(WM_PING_RESOLVED) ||
        type == CMessageEvent::TypeOf(WM_TRACE_RESOLVED) ||
        type == CMessageEvent::TypeOf(WM_LOOKUP_DONE) ||
        type == CMessageEvent::TypeOf(WM_LOCALINFO_DONE)) {
        const auto* message = static_cast<CMessageEvent*>(event);
        if (m_bClosing) {
            return true; // the window is ending: nothing starts any more
        }
        switch (message->Message()) {
        case WM_PING_RESOLVED:
            OnPingResolved(message->WParam(), message->LParam());
            break;
        case WM_TRACE_RESOLVED:
            OnTraceResolved(message->WParam(), message->LParam());
            break;
        case WM_LOCALINFO_DONE:
            OnLocalInfoDone(message->WParam(), message->LParam());
            break;
        default:
            OnLookupDone(message->WParam(), message->LParam());
            break;
        }
        return true;
    }
    return QDialog::event(event);
}

void CMainDlg::GetHostText(int id, char (&buffer)[128]) const {
    const QByteArray text = CutHostText(As<QComboBox>(GetDlgItem(id))->currentText()).toUtf8();
    const size_t n = std::min<size_t>(static_cast<size_t>(text.size()), sizeof buffer - 1);
    std::memcpy(buffer, text.constData(), n);
    buffer[n] = '\0';
}

void CMainDlg::ReportLookupFailure(ReportTree& tree, const char* host, const char* errorText,
                                   int error) {
    tree.SetRootText(QString::fromUtf8(host));
    const HTREEITEM failed =
        tree.AddItem(tree.Root(), QStringLiteral("Host lookup failed"), IMG_FAIL);
    if (errorText[0] == 'W') {
        char code[kErrorTextSize];
        char description[kErrorTextSize];
        SplitErrorText(errorText, code, description);
        tree.AddItem(failed, ItemText("Error: %d", error), IMG_INFO);
        tree.AddItem(failed, ItemText("Code: %s", code), IMG_INFO);
        tree.AddItem(failed, ItemText("Description: %s", description), IMG_INFO);
    } else {
        tree.AddItem(failed, QString::fromUtf8(errorText), IMG_INFO);
    }
    tree.ExpandRoot();
}

void CMainDlg::OnLookupStart() {
    if (m_btnLookupStart->text() != kStart) {
        // Stop: the lookup is outstanding.
        WSACancelAsyncRequest(m_hLookupRequest);
        m_hLookupRequest = 0;
        m_rtLookup.SetRootText(QString::fromUtf8(m_szLookupHost));
        m_rtLookup.AddItem(m_rtLookup.Root(), QStringLiteral("Host lookup cancelled"), IMG_FAIL);
        m_rtLookup.ExpandRoot();
        m_btnLookupStart->setText(kStart);
        return;
    }
    GetHostText(IDC_LOOKUP_HOST, m_szLookupHost);
    if (m_szLookupHost[0] == '\0' || m_szLookupHost[0] == ' ') {
        ErrorBox(this, QStringLiteral("Unrecognized host data!"));
        return;
    }
    m_btnLookupStart->setText(kStop);
    m_rtLookup.AddRoot(ItemText("Looking up %s...", m_szLookupHost), IMG_HOST);
    const char* refused =
        ResolveLookup(m_szLookupHost, &m_hLookupRequest, m_bufLookupHostEnt, WM_LOOKUP_DONE);
    if (refused == nullptr) {
        return;
    }
    char text[kErrorTextSize];
    std::snprintf(text, sizeof text, "%s", refused);
    ReportLookupFailure(m_rtLookup, m_szLookupHost, text, WSAGetLastError());
    m_btnLookupStart->setText(kStart);
}

const char* CMainDlg::ResolveLookup(const char* host, HANDLE* pRequest, char* hostEntBuf,
                                    UINT message) {
    const in_addr_t address = inet_addr(host);
    sockaddr_in6 address6{};
    if (address != INADDR_NONE) {
        *pRequest = WSAAsyncGetHostByAddr(this, message, reinterpret_cast<const char*>(&address), 4,
                                          AF_INET, hostEntBuf, MAXGETHOSTSTRUCT);
    } else if (ParseIpv6Literal(host, &address6)) {
        // An IPv6 literal is looked up in reverse (ip6.arpa) as well; its zone plays no part.
        const char* bytes = reinterpret_cast<const char*>(&address6.sin6_addr);
        *pRequest =
            WSAAsyncGetHostByAddr(this, message, bytes, 16, AF_INET6, hostEntBuf, MAXGETHOSTSTRUCT);
    } else {
        *pRequest = WSAAsyncGetHostByName(this, message, host, hostEntBuf, MAXGETHOSTSTRUCT);
    }
    return *pRequest != 0 ? nullptr : GetErrorText(WSAGetLastError());
}

LRESULT CMainDlg::OnLookupDone(WPARAM wParam, LPARAM lParam) {
    // Only the outstanding request's completion counts; one that was cancelled never comes,
    // and nothing else may be taken for it.
    if (m_hLookupRequest == 0 || wParam != m_hLookupRequest) {
        return 1;
    }
    m_hLookupRequest = 0;
    const int error = HiWord(lParam);
    if (error != 0) {
        ReportLookupFailure(m_rtLookup, m_szLookupHost, GetErrorText(error), error);
        m_btnLookupStart->setText(kStart);
        return 1;
    }
    AddToHistory(IDC_LOOKUP_HOST, m_cbLookupHost);
    m_rtLookup.SetRootText(QString::fromUtf8(m_szLookupHost));
    const auto* host = reinterpret_cast<const hostent*>(m_bufLookupHostEnt);
    const HTREEITEM root = m_rtLookup.Root();
    m_rtLookup.AddItem(root, ItemText("Official name: %s", host->h_name), IMG_INFO);
    for (char** p = host->h_addr_list; host->h_addrtype == AF_INET && *p != nullptr; ++p) {
        in_addr address{};
        std::memcpy(&address, *p, 4);
        m_rtLookup.AddItem(root, ItemText("IP address: %s", inet_ntoa(address)), IMG_INFO);
    }
    // The IPv6 addresses after the IPv4 ones, in their shortest text (RFC 5952).
    for (const in6_addr* const* p = HostEntIpv6(host); *p != nullptr; ++p) {
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, *p, text, sizeof text);
        m_rtLookup.AddItem(root, ItemText("IP address: %s", text), IMG_INFO);
    }
    for (char** a = host->h_aliases; *a != nullptr; ++a) {
        m_rtLookup.AddItem(root, ItemText("Alias: %s", *a), IMG_INFO);
    }
    m_rtLookup.ExpandRoot();
    m_btnLookupStart->setText(kStart);
    return 1;
}

void CMainDlg::FillLocalInfo(const WSADATA* wsa) {
    // The system resolver may wait for a dead DNS server far longer than the window may
    // freeze: it answers on a thread of its own, and the page waits kLocalInfoWaitMs at most.
    if (m_hLocalRequest != 0) {
        WSACancelAsyncRequest(m_hLocalRequest); // a newer fill replaces it
        m_hLocalRequest = 0;
    }
    m_pLocalData = wsa;
    if (WsGetHostName(m_szLocalHost, sizeof m_szLocalHost) == 0) {
        m_hLocalRequest =
            WsAsyncGetHostByNameSystem(this, WM_LOCALINFO_DONE, m_szLocalHost, m_bufLocalHostEnt,
                                       sizeof m_bufLocalHostEnt, kLocalInfoWaitMs);
    }
    if (m_hLocalRequest == 0) {
        m_rtLocal.AddRoot(QString::fromUtf8(GetErrorText(WSAGetLastError())), IMG_FAIL);
    }
}

LRESULT CMainDlg::OnLocalInfoDone(WPARAM wParam, LPARAM lParam) {
    if (wParam != m_hLocalRequest || m_hLocalRequest == 0) {
        return 1; // not the outstanding fill
    }
    m_hLocalRequest = 0;
    int error = HiWord(lParam);
    const auto* host = reinterpret_cast<const hostent*>(m_bufLocalHostEnt);
    if (error == 0 && (host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)) {
        error = WSANO_DATA; // a record without an address is no answer
    }
    if (error != 0) {
        m_rtLocal.AddRoot(QString::fromUtf8(GetErrorText(error)), IMG_FAIL);
        return 1;
    }
    const WSADATA* wsa = m_pLocalData;
    m_editLocalHost->setText(QString::fromUtf8(m_szLocalHost));
    const HTREEITEM root = m_rtLocal.AddRoot(QString::fromUtf8(host->h_name), IMG_HOST);
    in_addr first{};
    std::memcpy(&first, host->h_addr_list[0], 4);
    m_rtLocal.AddItem(root, ItemText("IP address: %s", inet_ntoa(first)), IMG_INFO);
    // Versions hold the major number in the low byte, the minor in the high one.
    m_rtLocal.AddItem(root,
                      ItemText("Winsock version: %d.%d", wsa->wVersion & 0xFF, wsa->wVersion >> 8),
                      IMG_INFO);
    m_rtLocal.AddItem(
        root,
        ItemText("Winsock high version: %d.%d", wsa->wHighVersion & 0xFF, wsa->wHighVersion >> 8),
        IMG_INFO);
    m_rtLocal.AddItem(root, ItemText("Winsock description: %s", wsa->szDescription), IMG_INFO);
    m_rtLocal.AddItem(root, ItemText("System status: %s", wsa->szSystemStatus), IMG_INFO);
    m_rtLocal.AddItem(root, ItemText("Sockets: %d", wsa->iMaxSockets), IMG_INFO);
    m_rtLocal.AddItem(root, ItemText("UDP size: %d", wsa->iMaxUdpDg), IMG_INFO);
    m_rtLocal.ExpandRoot();
    return 1;
}

void CMainDlg::OnRefresh() {
    AfxSocketInit(&m_wsaData); // its result is not examined
    m_rtLocal.Clear();
    FillLocalInfo(&m_wsaData);
}

void CMainDlg::OnCancel() {
    m_bEnded = true;
    QDialog::reject();
}

void CMainDlg::reject() {
    OnCancel();
}

void CMainDlg::moveEvent(QMoveEvent* event) {
    if (windowState() == Qt::WindowNoState) {
        m_rcNormal = geometry();
    }
    QDialog::moveEvent(event);
}

void CMainDlg::resizeEvent(QResizeEvent* event) {
    if (windowState() == Qt::WindowNoState) {
        m_rcNormal = geometry();
    }
    QDialog::resizeEvent(event);
}

void CMainDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        OnOK();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
