// The main dialog: its state after start-up, page switching on every road, how it ends, and
// the start-up of the sockets layer failing.

#include "net/sockets.h"
#include "res/dialogs.h"
#include "res/resource.h"
#include "ui/dialog_units.h"
#include "ui/main_dlg.h"
#include "ui/menu.h"
#include "ui/tab_ctrl.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

constexpr int kPageCommand[] = {ID_TOOLS_PING, ID_TOOLS_TRACE, ID_TOOLS_LOOKUP, ID_TOOLS_LOCALINFO};
const char* const kTabText[] = {"Ping", "Trace", "Lookup", "Local Info"};

int FirstIdOf(int page) {
    return IDC_PING_HOST_LABEL + 5 * page;
}

// Runs check once the event loop is idle, then ends the dialog if check left it running;
// a dialog that does not end would hang the test, so the watchdog ends it.
void WhenRunning(CMainDlg* dlg, std::function<void()> check) {
    QTimer::singleShot(0, dlg, [dlg, check] {
        QVERIFY(QTest::qWaitForWindowActive(dlg));
        check();
        QTimer::singleShot(2000, dlg, [dlg] {
            if (dlg->isVisible()) {
                dlg->OnCancel();
            }
        });
    });
}

} // namespace

class TestMainDlg : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;

    CTabCtrl* Tab() const { return static_cast<CTabCtrl*>(m_dlg->GetDlgItem(IDC_TAB)); }

    // The layout rules, on every page, shown or not: the tab control fills the client area
    // with its left margin all round; host boxes end 126 pixels from the right; buttons and
    // trees 14 from the right, trees 14 from the bottom.
    void VerifyLayout() {
        const QWidget* client = Tab()->parentWidget();
        const int cx = client->width();
        const int cy = client->height();
        const QRect tab = Tab()->geometry();
        QCOMPARE(tab,
                 QRect(tab.left(), tab.top(), cx - 2 * tab.left(), cy - tab.top() - tab.left()));
        for (int p = 0; p < 4; ++p) {
            const QRect host = m_dlg->GetDlgItem(FirstIdOf(p) + 1)->geometry();
            const QRect tree = m_dlg->GetDlgItem(FirstIdOf(p) + 3)->geometry();
            const QRect button = m_dlg->GetDlgItem(FirstIdOf(p) + 4)->geometry();
            QCOMPARE(host.left() + host.width(), cx - 126);
            QCOMPARE(button.left() + button.width(), cx - 14);
            QCOMPARE(tree.left() + tree.width(), cx - 14);
            QCOMPARE(tree.top() + tree.height(), cy - 14);
        }
    }

    void VerifyPageShown(int page) {
        QCOMPARE(m_dlg->CurPage(), page);
        for (int p = 0; p < 4; ++p) {
            for (int id = FirstIdOf(p); id < FirstIdOf(p) + 5; ++id) {
                QVERIFY2(m_dlg->GetDlgItem(id)->isVisible() == (p == page),
                         qPrintable(QString("control %1 on page %2").arg(id).arg(page)));
            }
        }
        QCOMPARE(Tab()->GetCurSel(), page);
        QCOMPARE(m_dlg->windowTitle(), QString("Sabrevin - ") + kTabText[page]);
        for (int p = 0; p < 4; ++p) {
            QCOMPARE(m_dlg->GetMenu()->Command(kPageCommand[p])->isChecked(), p == page);
        }
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Tab()->TabBar()));
    }

    void OpenWithoutRunning() {
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        m_dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
    }

    // Chooses a page by the keyboard alone: Alt+T opens Tools, the item's key picks it.
    void ChooseByKeyboard(int page) {
        static const Qt::Key keys[] = {Qt::Key_P, Qt::Key_T, Qt::Key_L, Qt::Key_I};
        QTest::keyClick(m_dlg.get(), Qt::Key_T, Qt::AltModifier);
        QTRY_VERIFY(QApplication::activePopupWidget() != nullptr);
        QTest::keyClick(QApplication::activePopupWidget(), keys[page]);
    }

private Q_SLOTS:
    void init() {
        QCoreApplication::setApplicationName("sabrevin");
        OpenWithoutRunning();
    }
    void cleanup() { m_dlg.reset(); }

    void startsOnThePingPage() {
        VerifyPageShown(PAGE_PING);
        QCOMPARE(Tab()->GetItemCount(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(Tab()->GetItemText(i), QString(kTabText[i]));
        }
        QVERIFY(!m_dlg->windowIcon().isNull());
        QVERIFY(m_dlg->GetMenu()->Command(ID_TOOLS_PING)->isChecked());
        QCOMPARE(static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_PING_START))->text(),
                 QString("&Start"));
        QCOMPARE(static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_REFRESH))->text(),
                 QString("R&efresh"));
    }

    // An application window of its own, with both boxes, transient for no other window: a
    // dialog window would be left without them and out of some task bars.
    void isATopLevelApplicationWindow() {
        const Qt::WindowFlags flags = m_dlg->windowFlags();
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Window);
        for (Qt::WindowType hint :
             {Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint,
              Qt::WindowSystemMenuHint, Qt::WindowTitleHint}) {
            QVERIFY2(flags.testFlag(hint), qPrintable(QString::number(hint, 16)));
        }
        QVERIFY(m_dlg->parentWidget() == nullptr);
        QCOMPARE(m_dlg->windowHandle()->type(), Qt::Window);
        QVERIFY(m_dlg->windowHandle()->transientParent() == nullptr);
    }

    // A stored history fills the three lists and leaves the boxes empty: Enter right after
    // start-up finds no host, and no page is started.
    void aStoredHistoryLeavesTheBoxesEmpty() {
        const QString ini =
            QSettings(QSettings::IniFormat, QSettings::UserScope,
                      QCoreApplication::organizationName(), QCoreApplication::applicationName())
                .fileName();
        QDir().mkpath(QFileInfo(ini).path());
        {
            QFile f(ini);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write("[Hosts]\nPing%20Host%201=newest.example\nPing%20Host%202=older.example\n"
                    "Trace%20Host%201=10.0.0.1\nLookup%20Host%201=lookup.example\n");
            f.setFileTime(QDateTime::currentDateTime().addSecs(60),
                          QFileDevice::FileModificationTime);
        }
        m_dlg.reset();
        OpenWithoutRunning();
        QFile::remove(ini);
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            auto* box = static_cast<QComboBox*>(m_dlg->GetDlgItem(FirstIdOf(p) + 1));
            QCOMPARE(box->count(), p == PAGE_PING ? 2 : 1);
            QCOMPARE(box->currentText(), QString());
        }
        QString seen;
        QTimer::singleShot(0, [&seen] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->text();
                box->accept();
            }
        });
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(seen, QString("Unrecognized host data!"));
        QCOMPARE(m_dlg->Tree(PAGE_PING).GetTree()->topLevelItemCount(), 0);
        QCOMPARE(static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_PING_START))->text(),
                 QString("&Start"));
    }

    void menuBarHoldsTheCommandsInOrder() {
        QMenuBar* bar = m_dlg->GetMenu()->MenuBar();
        QStringList top;
        for (QAction* a : bar->actions()) {
            top << a->text();
        }
        QCOMPARE(top, (QStringList{"&Tools", "O&ptions", "&Help"}));
        QStringList tools;
        for (QAction* a : m_dlg->GetMenu()->Popup("&Tools")->actions()) {
            tools << (a->isSeparator() ? QString("-") : a->text());
        }
        QCOMPARE(tools, (QStringList{"&Ping", "&Trace", "&Lookup", "Local &Info", "-", "&Clear",
                                     "-", "E&xit"}));
        QCOMPARE(m_dlg->GetMenu()->Command(ID_CLEAR_CURRENT)->text(), QString("Current &Tab"));
        QCOMPARE(m_dlg->GetMenu()->Command(ID_HELP_ABOUT)->text(), QString("&About Sabrevin..."));
        QCOMPARE(m_dlg->GetMenu()->Command(ID_HELP_SIBLINGPAGE)->text(),
                 QString("&Corvale Home Page"));
    }

    // Each control starts at its template place, mapped from dialog units by the font; the
    // labels keep their whole rectangle, the others are fitted to the client area.
    void controlsSitAtTheirTemplatePlaces() {
        const DialogBaseUnits base = BaseUnitsOf(m_dlg->font());
        QVERIFY(base.cx > 0 && base.cy > 0);
        for (const res::ControlTemplate& c : res::MainDialog().controls) {
            const QRect want = MapDialogRect(base, c.x, c.y, c.w, c.h);
            const QRect got = m_dlg->GetDlgItem(c.id)->geometry();
            QCOMPARE(got.top(), want.top());
            if (c.cls != res::ControlClass::Button) { // buttons keep their right margin
                QCOMPARE(got.left(), want.left());
            }
            if (c.cls == res::ControlClass::Static) {
                QCOMPARE(got, want);
            }
        }
        VerifyLayout();
        // The template lies below the menu bar: the tab control starts at its bottom edge.
        const QPoint tabTop = Tab()->mapTo(m_dlg.get(), QPoint(0, 0));
        QCOMPARE(tabTop.y(), m_dlg->GetMenu()->MenuBar()->geometry().bottom() + 1);
        QCOMPARE(m_dlg->InitWidth(), m_dlg->width());
        QCOMPARE(m_dlg->InitHeight(), m_dlg->height());
    }

    void resizingRefitsEveryPage_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("larger") << "larger";
        QTest::newRow("maximised") << "max";
        QTest::newRow("back to the template size") << "back";
    }
    void resizingRefitsEveryPage() {
        QFETCH(QString, how);
        QList<QRect> labels;
        for (int p = 0; p < 4; ++p) {
            labels << m_dlg->GetDlgItem(FirstIdOf(p))->geometry()
                   << m_dlg->GetDlgItem(FirstIdOf(p) + 2)->geometry();
        }
        if (how == "max") {
            m_dlg->showMaximized();
            m_dlg->windowHandle()->setGeometry(m_dlg->screen()->availableGeometry());
        } else {
            m_dlg->resize(m_dlg->width() + 300, m_dlg->height() + 200);
            if (how == "back") {
                m_dlg->resize(m_dlg->InitWidth(), m_dlg->InitHeight());
            }
        }
        QTRY_VERIFY(how != "max" || m_dlg->width() > m_dlg->InitWidth() + 100);
        VerifyLayout(); // hidden pages included
        for (int p = 0; p < 4; ++p) {
            QCOMPARE(m_dlg->GetDlgItem(FirstIdOf(p))->geometry(), labels[2 * p]);
            QCOMPARE(m_dlg->GetDlgItem(FirstIdOf(p) + 2)->geometry(), labels[2 * p + 1]);
        }
        m_dlg->OnToolsTrace();
        VerifyLayout();
    }

    void theWindowNeverShrinksBelowItsTemplateSize() {
        m_dlg->resize(100, 80);
        QCOMPARE(m_dlg->size(), QSize(m_dlg->InitWidth(), m_dlg->InitHeight()));
        m_dlg->resize(m_dlg->InitWidth() + 50, 10);
        QCOMPARE(m_dlg->height(), m_dlg->InitHeight());
    }

    void controlsBehaveAsTheTemplateSays() {
        for (int id : {IDC_PING_START, IDC_TRACE_START, IDC_LOOKUP_START, IDC_REFRESH}) {
            auto* button = static_cast<QPushButton*>(m_dlg->GetDlgItem(id));
            QVERIFY(!button->autoDefault());
            QVERIFY(!button->isDefault());
        }
        for (int id : {IDC_PING_HOST, IDC_TRACE_HOST, IDC_LOOKUP_HOST}) {
            auto* combo = static_cast<QComboBox*>(m_dlg->GetDlgItem(id));
            QVERIFY(combo->isEditable());
            QCOMPARE(combo->insertPolicy(), QComboBox::NoInsert);
            QCOMPARE(combo->count(), 0);
        }
        auto* local = static_cast<QLineEdit*>(m_dlg->GetDlgItem(IDC_LOCAL_HOST));
        QVERIFY(local->isReadOnly());
        QVERIFY((local->focusPolicy() & Qt::TabFocus) == 0);
        // Labels lead their access keys to the box and the tree beside them.
        for (int p = 0; p < 4; ++p) {
            auto* host = static_cast<QLabel*>(m_dlg->GetDlgItem(FirstIdOf(p)));
            auto* response = static_cast<QLabel*>(m_dlg->GetDlgItem(FirstIdOf(p) + 2));
            // Local Info's "Host:" has no access key: its edit only shows the name.
            QCOMPARE(host->buddy(),
                     p == PAGE_LOCALINFO ? nullptr : m_dlg->GetDlgItem(FirstIdOf(p) + 1));
            QCOMPARE(response->buddy(), m_dlg->GetDlgItem(FirstIdOf(p) + 3));
        }
    }

    void tabKeyFollowsTheTemplateOrder() {
        // From the tab control (last in the order) the Tab key wraps to the Ping host box, then
        // the tree, then the button, skipping the hidden pages.
        QWidget* expected[] = {m_dlg->GetDlgItem(IDC_PING_HOST), m_dlg->GetDlgItem(IDC_PING_TREE),
                               m_dlg->GetDlgItem(IDC_PING_START), Tab()->TabBar()};
        for (QWidget* w : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            // The combo box's line edit holds the focus on its behalf.
            while (focus != nullptr && focus != w && focus->parentWidget() == w) {
                focus = w;
            }
            QCOMPARE(focus, w);
        }
    }

    void accessKeysMoveTheFocus() {
        QTest::keyClick(m_dlg.get(), Qt::Key_O, Qt::AltModifier);
        QWidget* host = m_dlg->GetDlgItem(IDC_PING_HOST);
        QTRY_VERIFY(QApplication::focusWidget() == host ||
                    QApplication::focusWidget()->parentWidget() == host);
        QTest::keyClick(m_dlg.get(), Qt::Key_R, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget(), m_dlg->GetDlgItem(IDC_PING_TREE));
        // On another page the same keys reach that page's controls.
        m_dlg->OnToolsLookup();
        QTest::keyClick(m_dlg.get(), Qt::Key_R, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget(), m_dlg->GetDlgItem(IDC_LOOKUP_TREE));
    }

    // Every road to every page gives the same state, and the switch runs once.
    void pageSwitching_data() {
        QTest::addColumn<QString>("road");
        QTest::addColumn<int>("page");
        for (const char* road : {"tab click", "tools command", "keyboard", "handler"}) {
            for (int page : {PAGE_TRACE, PAGE_LOOKUP, PAGE_LOCALINFO, PAGE_PING}) {
                QTest::addRow("%s to %s", road, kTabText[page]) << QString(road) << page;
            }
        }
    }
    void pageSwitching() {
        QFETCH(QString, road);
        QFETCH(int, page);
        // Start from another page so that each road really moves.
        m_dlg->OnToolsTrace();
        if (page == PAGE_TRACE) {
            m_dlg->OnToolsLookup();
        }
        QSignalSpy selChanges(Tab(), &CTabCtrl::SelChange);
        if (road == "tab click") {
            QTabBar* bar = Tab()->TabBar();
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(page).center());
            QCOMPARE(selChanges.count(), 1);
        } else if (road == "tools command") {
            m_dlg->GetMenu()->Command(kPageCommand[page])->trigger();
            QCOMPARE(selChanges.count(), 0); // moving the selection raised no second switch
        } else if (road == "keyboard") {
            ChooseByKeyboard(page);
            QTRY_COMPARE(m_dlg->CurPage(), page);
            QCOMPARE(selChanges.count(), 0);
        } else {
            const std::function<void()> handlers[] = {
                [this] { m_dlg->OnToolsPing(); }, [this] { m_dlg->OnToolsTrace(); },
                [this] { m_dlg->OnToolsLookup(); }, [this] { m_dlg->OnToolsLocalInfo(); }};
            handlers[page]();
        }
        VerifyPageShown(page);
    }

    void switchingToTheShownPageOnlyMovesTheFocus() {
        QWidget* tree = m_dlg->GetDlgItem(IDC_PING_TREE);
        tree->setFocus();
        m_dlg->OnToolsPing();
        VerifyPageShown(PAGE_PING);
    }

    void arrowKeysOnTheTabsSwitchPages() {
        QTest::keyClick(Tab()->TabBar(), Qt::Key_Right);
        VerifyPageShown(PAGE_TRACE);
        QTest::keyClick(Tab()->TabBar(), Qt::Key_Right);
        VerifyPageShown(PAGE_LOOKUP);
        QTest::keyClick(Tab()->TabBar(), Qt::Key_Left);
        VerifyPageShown(PAGE_TRACE);
    }

    void hiddenPagesKeepTheirTextAndItems() {
        const int hosts[] = {IDC_PING_HOST, IDC_TRACE_HOST, IDC_LOOKUP_HOST};
        for (int p = 0; p < 3; ++p) {
            static_cast<QComboBox*>(m_dlg->GetDlgItem(hosts[p]))
                ->setEditText(QString("host-%1").arg(p));
            m_dlg->Tree(p).AddRoot(QString("request-%1").arg(p), 0);
        }
        for (int round = 0; round < 3; ++round) {
            m_dlg->OnToolsLocalInfo();
            m_dlg->OnToolsLookup();
            m_dlg->OnToolsTrace();
            m_dlg->OnToolsPing();
        }
        for (int p = 0; p < 3; ++p) {
            QCOMPARE(static_cast<QComboBox*>(m_dlg->GetDlgItem(hosts[p]))->currentText(),
                     QString("host-%1").arg(p));
            QCOMPARE(m_dlg->Tree(p).GetTree()->topLevelItemCount(), 1);
        }
    }

    // The ends of the dialog: each runs it modally and ends it one way.
    void endsOnEscCloseBoxAndExit_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Esc") << "esc";
        QTest::newRow("close box") << "close";
        QTest::newRow("Tools > Exit") << "exit";
    }
    void endsOnEscCloseBoxAndExit() {
        QFETCH(QString, how);
        m_dlg = std::make_unique<CMainDlg>();
        CMainDlg* dlg = m_dlg.get();
        bool endedByUs = false;
        WhenRunning(dlg, [&, dlg] {
            if (how == "esc") {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            } else if (how == "close") {
                dlg->close();
            } else {
                dlg->GetMenu()->Command(ID_TOOLS_EXIT)->trigger();
            }
            endedByUs = !dlg->isVisible();
        });
        QCOMPARE(dlg->DoModal(), int(QDialog::Rejected));
        QVERIFY(endedByUs);
    }

    // Enter, with the focus on any control of any page, neither ends the dialog nor clicks.
    void enterNeverEndsTheDialog_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("focusId");
        QTest::newRow("Ping tab control") << int(PAGE_PING) << IDC_TAB;
        QTest::newRow("Ping host box") << int(PAGE_PING) << IDC_PING_HOST;
        QTest::newRow("Ping tree") << int(PAGE_PING) << IDC_PING_TREE;
        QTest::newRow("Ping button") << int(PAGE_PING) << IDC_PING_START;
        QTest::newRow("Trace host box") << int(PAGE_TRACE) << IDC_TRACE_HOST;
        QTest::newRow("Lookup button") << int(PAGE_LOOKUP) << IDC_LOOKUP_START;
        QTest::newRow("Local Info tree") << int(PAGE_LOCALINFO) << IDC_LOCAL_TREE;
        QTest::newRow("Refresh button") << int(PAGE_LOCALINFO) << IDC_REFRESH;
    }
    void enterNeverEndsTheDialog() {
        QFETCH(int, page);
        QFETCH(int, focusId);
        const std::function<void()> handlers[] = {
            [this] { m_dlg->OnToolsPing(); }, [this] { m_dlg->OnToolsTrace(); },
            [this] { m_dlg->OnToolsLookup(); }, [this] { m_dlg->OnToolsLocalInfo(); }};
        handlers[page]();
        QWidget* target = focusId == IDC_TAB ? Tab()->TabBar() : m_dlg->GetDlgItem(focusId);
        target->setFocus();
        QSignalSpy clicks(static_cast<QPushButton*>(m_dlg->GetDlgItem(FirstIdOf(page) + 4)),
                          &QPushButton::clicked);
        QSignalSpy finished(m_dlg.get(), &QDialog::finished);
        // A page's action may answer with a message box (an empty host box): answer it.
        QTimer boxes;
        connect(&boxes, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                box->accept();
            }
        });
        boxes.start(10);
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            QTest::keyClick(m_dlg->focusWidget() != nullptr ? m_dlg->focusWidget() : target, key);
        }
        QVERIFY(m_dlg->isVisible());
        QCOMPARE(finished.count(), 0);
        QCOMPARE(clicks.count(), 0);
        // The framework's own accept road leads to the same place.
        m_dlg->accept();
        QVERIFY(m_dlg->isVisible());
    }
};

// The sockets layer failing at start-up: the framework's box first, then the dialog runs
// without its icon.
class TestSocketsStartupFailure : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { sockets_testing::SetStartupFault(false); }

    void messageThenDialogWithoutIcon() {
        QCoreApplication::setApplicationName("sabrevin");
        sockets_testing::SetStartupFault(true);
        QString text, caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            text = box->text();
            caption = box->windowTitle();
            icon = box->icon();
            buttons = static_cast<int>(box->buttons().size());
            box->button(QMessageBox::Ok)->click();
        });
        CMainDlg dlg;
        QCOMPARE(text, QString("Windows sockets initialization failed."));
        QCOMPARE(caption, QString("sabrevin"));
        QCOMPARE(icon, QMessageBox::Warning);
        QCOMPARE(buttons, 1);
        QVERIFY(dlg.Create());
        QVERIFY(dlg.windowIcon().isNull());
        QCOMPARE(dlg.windowTitle(), QString("Sabrevin - Ping"));
        QCOMPARE(dlg.SocketData().wVersion, uint16_t{0});
    }

    void startupFillsTheSocketData() {
        WSADATA data;
        QVERIFY(AfxSocketInit(&data));
        QCOMPARE(data.wVersion, MakeWord(1, 1));
        QVERIFY(data.iMaxSockets > 0);
        QCOMPARE(data.iMaxUdpDg, uint16_t{65507});
        QVERIFY(QByteArray(data.szDescription).contains("c-ares"));
    }
};

// The echo service bound at start-up: without it the dialog ends before its pages are set up.
class TestEchoBinding : public QObject {
    Q_OBJECT

    struct Box {
        QString text, caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };
    static void Answer(Box* seen) {
        QTimer::singleShot(0, [seen] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            seen->text = box->text();
            seen->caption = box->windowTitle();
            seen->icon = box->icon();
            box->button(QMessageBox::Ok)->click();
        });
    }

private Q_SLOTS:
    void theBuiltModuleIsFound() {
        CMainDlg dlg;
        QVERIFY(dlg.Create());
        QVERIFY(dlg.Icmp().hModule != nullptr);
        QVERIFY(dlg.Icmp().pfnIcmpCreateFile != nullptr);
        QVERIFY(dlg.Icmp().pfnIcmpSendEcho != nullptr);
        QVERIFY(dlg.Icmp().pfnIcmpCloseHandle != nullptr);
    }

    void noModuleEndsTheDialog() {
        QTemporaryDir empty;
        CMainDlg dlg;
        dlg.SetModuleDir(QFile::encodeName(empty.path()));
        Box seen;
        Answer(&seen);
        QVERIFY(!dlg.Create());
        QCOMPARE(seen.text, QString("Unable to locate ICMP.DLL!"));
        QCOMPARE(seen.caption, QString("Error"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        // Nothing after the binding was set up: no tabs, no radio mark, no page title.
        auto* tab = static_cast<CTabCtrl*>(dlg.GetDlgItem(IDC_TAB));
        QCOMPARE(tab->GetItemCount(), 0);
        QVERIFY(dlg.GetMenu() == nullptr || !dlg.GetMenu()->Command(ID_TOOLS_PING)->isChecked());
        QCOMPARE(dlg.windowTitle(), QString("Sabrevin"));
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.DoModal(), int(QDialog::Rejected)); // and it never runs
    }

    // A module that lacks any one of the three functions gives the second box, even with the
    // other two found; the module stays loaded.
    void aMissingFunctionEndsTheDialog_data() {
        QTest::addColumn<QString>("dir");
        QTest::newRow("no IcmpCreateFile") << "icmp-lacks-create";
        QTest::newRow("no IcmpCloseHandle") << "icmp-lacks-close";
        QTest::newRow("no IcmpSendEcho") << "icmp-lacks-send";
    }
    void aMissingFunctionEndsTheDialog() {
        QFETCH(QString, dir);
        CMainDlg dlg;
        dlg.SetModuleDir(QFile::encodeName(QCoreApplication::applicationDirPath() + "/" + dir));
        Box seen;
        Answer(&seen);
        QVERIFY(!dlg.Create());
        QCOMPARE(seen.text, QString("Unable to locate required API functions!"));
        QCOMPARE(seen.caption, QString("Error"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QVERIFY(dlg.Icmp().hModule != nullptr);
        QCOMPARE(static_cast<CTabCtrl*>(dlg.GetDlgItem(IDC_TAB))->GetItemCount(), 0);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int status = 0;
    {
        TestMainDlg t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestSocketsStartupFailure t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestEchoBinding t;
        status |= QTest::qExec(&t, argc, argv);
    }
    return status;
}
#include "test_main_dlg.moc"
