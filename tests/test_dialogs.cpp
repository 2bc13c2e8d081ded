// The windows: the main dialog's controls, layout, pages, keys, menu commands and ends; the
// Options and About boxes; and a start-up without the sockets layer or the echo module.

#include "net/sockets.h"
#include "res/dialogs.h"
#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/dialog_units.h"
#include "ui/main_dlg.h"
#include "ui/menu.h"
#include "ui/spin_button.h"
#include "ui/tab_ctrl.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWindow>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

constexpr int kPageCommand[] = {ID_TOOLS_PING, ID_TOOLS_TRACE, ID_TOOLS_LOOKUP, ID_TOOLS_LOCALINFO};
const char* const kTabText[] = {"Ping", "Trace", "Lookup", "Local Info"};
const char* const kEdits[] = {"IDC_PACKETS", "IDC_TIMEOUT", "IDC_PACKET_SIZE", "IDC_HOPS"};

int FirstIdOf(int page) {
    return IDC_PING_HOST_LABEL + 5 * page;
}

QLineEdit* Edit(QDialog* wnd, const QString& name) {
    return wnd->findChild<QLineEdit*>(name);
}

QStringList Texts(const QList<QAction*>& actions) {
    QStringList texts;
    for (const QAction* a : actions) {
        texts << (a->isSeparator() ? QString("-") : a->text());
    }
    return texts;
}

// Answers the modal boxes that come with OK, keeping the text, caption and icon of the last.
struct BoxWatcher : QObject {
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer timer;
    void Arm() {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                caption = box->windowTitle();
                icon = box->icon();
                box->button(QMessageBox::Ok)->click();
            }
        });
        timer.start(5);
    }
};

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;
    COptionsDlg m_opts;

    CTabCtrl* Tab() const { return static_cast<CTabCtrl*>(m_dlg->GetDlgItem(IDC_TAB)); }
    QComboBox* Box(int page) {
        return static_cast<QComboBox*>(m_dlg->GetDlgItem(FirstIdOf(page) + 1));
    }
    void SwitchTo(int page) { m_dlg->GetMenu()->Command(kPageCommand[page])->trigger(); }

    // On every page, shown or not: the tab control fills the client area with its left margin
    // all round; host boxes end 126 pixels from the right; buttons and trees 14 from the
    // right, trees 14 from the bottom.
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
        for (int id = FirstIdOf(0); id < FirstIdOf(4); ++id) {
            QVERIFY2(m_dlg->GetDlgItem(id)->isVisible() == ((id - FirstIdOf(0)) / 5 == page),
                     qPrintable(QString("control %1 on page %2").arg(id).arg(page)));
        }
        QCOMPARE(Tab()->GetCurSel(), page);
        QCOMPARE(m_dlg->windowTitle(), QString("Sabrevin - ") + kTabText[page]);
        for (int p = 0; p < 4; ++p) {
            QCOMPARE(m_dlg->GetMenu()->Command(kPageCommand[p])->isChecked(), p == page);
        }
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Tab()->TabBar()));
    }

    // Opens the Options box, runs steps inside it, and makes sure it ends.
    void RunOptions(const std::function<void(QDialog*)>& steps) {
        QTimer::singleShot(0, [this, steps] {
            QDialog* wnd = m_opts.Window();
            QVERIFY(wnd != nullptr);
            QVERIFY(QTest::qWaitForWindowActive(wnd));
            steps(wnd);
            if (m_opts.Window() != nullptr && m_opts.Window()->isVisible()) {
                m_opts.OnCancel();
            }
        });
        m_opts.DoModal(nullptr);
        QVERIFY(m_opts.Window() == nullptr);
    }
    QString OptionValues() const {
        return QString("%1 %2 %3 %4")
            .arg(m_opts.m_nPackets)
            .arg(m_opts.m_nTimeout)
            .arg(m_opts.m_nPacketSize)
            .arg(m_opts.m_nHops);
    }

private Q_SLOTS:
    void init() {
        sockets_testing::SetDnsServers("127.0.0.1:9"); // a name asked by mistake stays here
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        m_dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
        m_opts.m_nPackets = 5;
        m_opts.m_nTimeout = 5;
        m_opts.m_nPacketSize = 32;
        m_opts.m_nHops = 30;
    }
    void cleanup() { m_dlg.reset(); }

    void stateAfterStartUp() {
        VerifyPageShown(PAGE_PING);
        QStringList tabs;
        for (int i = 0; i < Tab()->GetItemCount(); ++i) {
            tabs << Tab()->GetItemText(i);
        }
        QCOMPARE(tabs, (QStringList{"Ping", "Trace", "Lookup", "Local Info"}));
        QVERIFY(!m_dlg->windowIcon().isNull());
        // An application window of its own with both boxes, transient for no other window.
        const Qt::WindowFlags flags = m_dlg->windowFlags();
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Window);
        QVERIFY(flags.testFlags(Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint |
                                Qt::WindowSystemMenuHint | Qt::WindowTitleHint));
        QVERIFY(m_dlg->windowHandle()->transientParent() == nullptr);
        QCOMPARE(Texts(m_dlg->GetMenu()->MenuBar()->actions()),
                 (QStringList{"&Tools", "O&ptions", "&Help"}));
        QCOMPARE(Texts(m_dlg->GetMenu()->Popup("&Tools")->actions()),
                 (QStringList{"&Ping", "&Trace", "&Lookup", "Local &Info", "-", "&Clear", "-",
                              "E&xit"}));
        QCOMPARE(m_dlg->GetMenu()->Command(ID_CLEAR_CURRENT)->text(), QString("Current &Tab"));
        QCOMPARE(m_dlg->GetMenu()->Command(ID_HELP_ABOUT)->text(), QString("&About Sabrevin..."));
        QCOMPARE(m_dlg->GetMenu()->Command(ID_HELP_SIBLINGPAGE)->text(),
                 QString("&Corvale Home Page"));
        QCOMPARE(static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_PING_START))->text(),
                 QString("&Start"));
        QCOMPARE(static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_REFRESH))->text(),
                 QString("R&efresh"));
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            QVERIFY(Box(p)->isEditable() && Box(p)->insertPolicy() == QComboBox::NoInsert);
        }
        auto* local = static_cast<QLineEdit*>(m_dlg->GetDlgItem(IDC_LOCAL_HOST));
        QVERIFY(local->isReadOnly() && (local->focusPolicy() & Qt::TabFocus) == 0);
        // Labels lead their access keys to the box and the tree beside them; Local Info's
        // "Host:" has none, its edit only shows the name.
        for (int p = 0; p < 4; ++p) {
            QCOMPARE(static_cast<QLabel*>(m_dlg->GetDlgItem(FirstIdOf(p)))->buddy(),
                     p == PAGE_LOCALINFO ? nullptr : m_dlg->GetDlgItem(FirstIdOf(p) + 1));
            QCOMPARE(static_cast<QLabel*>(m_dlg->GetDlgItem(FirstIdOf(p) + 2))->buddy(),
                     m_dlg->GetDlgItem(FirstIdOf(p) + 3));
        }
    }

    // Each control starts at its template place, below the menu bar; a resize refits every
    // page and leaves the labels; the window never shrinks below its template size.
    void layout() {
        const DialogBaseUnits base = BaseUnitsOf(m_dlg->font());
        QList<QRect> labels;
        for (const res::ControlTemplate& c : res::MainDialog().controls) {
            const QRect want = MapDialogRect(base, c.x, c.y, c.w, c.h);
            const QRect got = m_dlg->GetDlgItem(c.id)->geometry();
            QCOMPARE(got.top(), want.top());
            if (c.cls != res::ControlClass::Button) { // buttons keep their right margin
                QCOMPARE(got.left(), want.left());
            }
            if (c.cls == res::ControlClass::Static) {
                QCOMPARE(got, want);
                labels << got;
            }
        }
        VerifyLayout();
        QCOMPARE(Tab()->mapTo(m_dlg.get(), QPoint(0, 0)).y(),
                 m_dlg->GetMenu()->MenuBar()->geometry().bottom() + 1);
        QCOMPARE(m_dlg->size(), QSize(m_dlg->InitWidth(), m_dlg->InitHeight()));
        m_dlg->resize(m_dlg->width() + 300, m_dlg->height() + 200);
        VerifyLayout();
        QList<QRect> after;
        for (const res::ControlTemplate& c : res::MainDialog().controls) {
            if (c.cls == res::ControlClass::Static) {
                after << m_dlg->GetDlgItem(c.id)->geometry();
            }
        }
        QCOMPARE(after, labels);
        m_dlg->resize(100, 80);
        QCOMPARE(m_dlg->size(), QSize(m_dlg->InitWidth(), m_dlg->InitHeight()));
    }

    // From the tab control (last in the order) Tab wraps to the Ping host box, the tree, the
    // button, skipping the hidden pages.
    void tabKeyFollowsTheTemplateOrder() {
        for (QWidget* w :
             {m_dlg->GetDlgItem(IDC_PING_HOST), m_dlg->GetDlgItem(IDC_PING_TREE),
              m_dlg->GetDlgItem(IDC_PING_START), static_cast<QWidget*>(Tab()->TabBar())}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            QVERIFY(focus == w || focus->parentWidget() == w); // a combo box's line edit
        }
    }

    // Every road to every page gives the same state, and the switch runs once.
    void pageSwitching_data() {
        QTest::addColumn<QString>("road");
        QTest::addColumn<int>("page");
        for (const char* road : {"tab click", "command"}) {
            for (int page : {PAGE_TRACE, PAGE_LOOKUP, PAGE_LOCALINFO, PAGE_PING}) {
                QTest::addRow("%s to %s", road, kTabText[page]) << QString(road) << page;
            }
        }
        QTest::newRow("keyboard to Local Info") << "keyboard" << int(PAGE_LOCALINFO);
        QTest::newRow("arrow key to Lookup") << "arrow" << int(PAGE_LOOKUP);
        QTest::newRow("the shown page again") << "again" << int(PAGE_PING);
    }
    void pageSwitching() {
        QFETCH(QString, road);
        QFETCH(int, page);
        if (road == "again") {
            m_dlg->GetDlgItem(IDC_PING_TREE)->setFocus();
        } else {
            SwitchTo(page == PAGE_TRACE ? PAGE_PING : PAGE_TRACE);
        }
        QSignalSpy selChanges(Tab(), &CTabCtrl::SelChange);
        if (road == "tab click") {
            QTest::mouseClick(Tab()->TabBar(), Qt::LeftButton, {},
                              Tab()->TabBar()->tabRect(page).center());
            QCOMPARE(selChanges.count(), 1);
        } else if (road == "keyboard") {
            QTest::keyClick(m_dlg.get(), Qt::Key_T, Qt::AltModifier);
            QTRY_VERIFY(QApplication::activePopupWidget() != nullptr);
            QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_I);
            QTRY_COMPARE(m_dlg->CurPage(), page);
        } else if (road == "arrow") {
            QTest::keyClick(Tab()->TabBar(), Qt::Key_Right);
        } else {
            SwitchTo(page);
            QCOMPARE(selChanges.count(), 0); // moving the selection raised no second switch
        }
        VerifyPageShown(page);
    }

    // Enter runs the shown page's action, never ends the dialog and never clicks a button:
    // an empty host box is refused; Local Info is read anew.
    void enterRunsThePageAction_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("focusId");
        QTest::newRow("Ping, tab control") << int(PAGE_PING) << IDC_TAB;
        QTest::newRow("Trace, host box") << int(PAGE_TRACE) << IDC_TRACE_HOST;
        QTest::newRow("Lookup, button") << int(PAGE_LOOKUP) << IDC_LOOKUP_START;
        QTest::newRow("Local Info, Refresh") << int(PAGE_LOCALINFO) << IDC_REFRESH;
    }
    void enterRunsThePageAction() {
        QFETCH(int, page);
        QFETCH(int, focusId);
        SwitchTo(page);
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            Box(p)->setEditText(p == page ? QString() : QString("other.invalid"));
        }
        m_dlg->Tree(PAGE_LOCALINFO).AddRoot("mark", 0);
        QWidget* target = focusId == IDC_TAB ? Tab()->TabBar() : m_dlg->GetDlgItem(focusId);
        target->setFocus();
        QSignalSpy clicks(static_cast<QPushButton*>(m_dlg->GetDlgItem(FirstIdOf(page) + 4)),
                          &QPushButton::clicked);
        QSignalSpy finished(m_dlg.get(), &QDialog::finished);
        BoxWatcher box;
        box.Arm();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            box.text.clear();
            QTest::keyClick(m_dlg->focusWidget() != nullptr ? m_dlg->focusWidget() : target, key);
            QCOMPARE(box.text, page == PAGE_LOCALINFO ? QString() : "Unrecognized host data!");
        }
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            QCOMPARE(m_dlg->Tree(p).GetTree()->topLevelItemCount(), 0);
        }
        const QTreeWidget* local = m_dlg->Tree(PAGE_LOCALINFO).GetTree();
        QCOMPARE(local->findItems("mark", Qt::MatchExactly).isEmpty(), page == PAGE_LOCALINFO);
        QVERIFY(m_dlg->isVisible());
        QCOMPARE(finished.count() + clicks.count(), 0);
        m_dlg->accept(); // the framework's own accept road leads to the same place
        QVERIFY(m_dlg->isVisible());
    }

    // The Clear items are enabled by text in a host box or items in a tree, never by a history
    // alone nor for Local Info's Current Tab; they empty host boxes and trees, never the
    // histories nor Local Info.
    void clear_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("fill"); // p: text in Ping's box, L: an item in Lookup's tree
        QTest::addColumn<bool>("current");
        QTest::addColumn<bool>("all");
        QTest::addColumn<int>("command");
        QTest::newRow("start-up") << int(PAGE_PING) << "" << false << false << 0;
        QTest::newRow("Ping text, Current")
            << int(PAGE_PING) << "p" << true << true << ID_CLEAR_CURRENT;
        QTest::newRow("Trace, text in Ping") << int(PAGE_TRACE) << "p" << false << true << 0;
        QTest::newRow("Lookup item, Current")
            << int(PAGE_LOOKUP) << "pL" << true << true << ID_CLEAR_CURRENT;
        QTest::newRow("Local Info, All")
            << int(PAGE_LOCALINFO) << "pL" << false << true << ID_CLEAR_ALL;
        QTest::newRow("Local Info, Current")
            << int(PAGE_LOCALINFO) << "L" << false << true << ID_CLEAR_CURRENT;
    }
    void clear() {
        QFETCH(int, page);
        QFETCH(QString, fill);
        QFETCH(bool, current);
        QFETCH(bool, all);
        QFETCH(int, command);
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            Box(p)->addItem("in.history");
            Box(p)->setEditText(p == PAGE_PING && fill.contains('p') ? "typed" : "");
        }
        if (fill.contains('L')) {
            m_dlg->Tree(PAGE_LOOKUP).AddRoot("request", 0);
        }
        m_dlg->Tree(PAGE_LOCALINFO).AddRoot("local", 0);
        const int localItems = m_dlg->Tree(PAGE_LOCALINFO).GetTree()->topLevelItemCount();
        SwitchTo(page);
        Q_EMIT m_dlg->GetMenu()->Popup("&Tools")->aboutToShow();
        QCOMPARE(m_dlg->GetMenu()->Command(ID_CLEAR_CURRENT)->isEnabled(), current);
        QCOMPARE(m_dlg->GetMenu()->Command(ID_CLEAR_ALL)->isEnabled(), all);
        if (command != 0) {
            m_dlg->GetMenu()->Command(command)->trigger();
            if (page == PAGE_LOCALINFO) {
                m_dlg->OnClearCurrent(); // where the menu leaves it disabled
            }
        }
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            const bool gone = command == ID_CLEAR_ALL || (command != 0 && p == page);
            QCOMPARE(Box(p)->currentText().isEmpty(),
                     gone || p != PAGE_PING || !fill.contains('p'));
            QCOMPARE(m_dlg->Tree(p).GetTree()->topLevelItemCount(),
                     !gone && p == PAGE_LOOKUP && fill.contains('L') ? 1 : 0);
            QCOMPARE(Box(p)->count(), 1);
        }
        QCOMPARE(m_dlg->Tree(PAGE_LOCALINFO).GetTree()->topLevelItemCount(), localItems);
    }

    void webPagesAndHelp() {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        m_dlg->GetMenu()->Command(ID_HELP_HOMEPAGE)->trigger();
        m_dlg->GetMenu()->Command(ID_HELP_SIBLINGPAGE)->trigger();
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(catcher.urls, (QList<QUrl>{QUrl("https://www.varnstead.example/sabrevin/"),
                                            QUrl("https://www.varnstead.example/corvale/")}));
        QString guide;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                guide = box->windowTitle() + ": " + box->informativeText();
                box->accept();
            }
        });
        QTest::keyClick(m_dlg.get(), Qt::Key_F1);
        QVERIFY2(guide.startsWith("Sabrevin Help: "), qPrintable(guide));
        for (const char* topic : {"Ping", "Trace", "Lookup", "Local Info", "Options"}) {
            QVERIFY2(guide.contains(topic), topic);
        }
    }

    void aboutBox() {
        QStringList texts;
        bool ended = false;
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            QVERIFY(about != nullptr);
            QVERIFY(QTest::qWaitForWindowActive(about));
            texts << about->windowTitle();
            for (QLabel* label : about->findChildren<QLabel*>()) {
                texts << (label->pixmap().isNull() ? label->text() : QString("(icon)"));
            }
            QTest::keyClick(about, Qt::Key_Return);
            ended = !about->isVisible();
        });
        m_dlg->GetMenu()->Command(ID_HELP_ABOUT)->trigger();
        QVERIFY(ended);
        QCOMPARE(texts.size(), 6);
        QCOMPARE(texts.mid(0, 3),
                 (QStringList{"About Sabrevin", "(icon)",
                              QString::fromUtf8("Sabrevin\u00ae version " SABREVIN_VERSION
                                                " for Windows 95/NT")}));
        QVERIFY(m_dlg->isVisible()); // the box ended, not the program
    }

    // The box opens with the values in force. OK checks every bound: the first failing field
    // is named and holds the focus, and nothing is stored, not even for a moment. Enter clicks
    // the push button that has the focus, elsewhere OK; Esc, the close box and Cancel store
    // nothing.
    void options_data() {
        QTest::addColumn<QString>("texts");
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("failing"); // -1: none
        // how: enter (in an edit), tab (Enter on Cancel reached by Tab), back (Enter in an edit
        // after Cancel had the focus), esc, close (the box), cancel, ok (clicked)
        QTest::addColumn<QString>("message");
        const auto range = [](int a, int b) {
            return QString("Please enter a number between %1 and %2.").arg(a).arg(b);
        };
        const auto name = [](const char* n) {
            return QString("Please enter an unsigned number for %1.").arg(n);
        };
        const auto row = [](const char* tag, const char* texts, const char* how, int failing,
                            const QString& message) {
            QTest::newRow(tag) << QString(texts) << QString(how) << failing << message;
        };
        row("all lowest, blanks around", " 1 |1|8|1", "ok", -1, "");
        row("all highest", "20|20|512|100", "ok", -1, "");
        row("packets 0", "0|5|32|30", "ok", 0, range(1, 20));
        row("packets 21", "21|5|32|30", "ok", 0, range(1, 20));
        row("timeout 0", "5|0|32|30", "ok", 1, range(1, 20));
        row("timeout 21", "5|21|32|30", "ok", 1, range(1, 20));
        row("size 7", "5|5|7|30", "ok", 2, range(8, 512));
        row("size 513", "5|5|513|30", "ok", 2, range(8, 512));
        row("size beyond 32 bits", "5|5|99999999999|30", "ok", 2, range(8, 512));
        row("hops 0", "5|5|32|0", "ok", 3, range(1, 100));
        row("hops 101", "5|5|32|101", "ok", 3, range(1, 100));
        row("packets negative", "-1|5|32|30", "ok", 0, name("Packets to Send"));
        row("timeout text", "5|five|32|30", "ok", 1, name("Timeout"));
        row("size empty", "5|5||30", "ok", 2, name("Packet Size"));
        row("hops hex", "5|5|32|0x10", "ok", 3, name("Number of Hops"));
        row("the first failure wins", "9|x|7|101", "ok", 1, name("Timeout"));
        for (const char* how : {"enter", "tab", "back", "esc", "close", "cancel"}) {
            row(how, "3|4|100|50", how, -1, "");
        }
    }
    void options() {
        QFETCH(QString, texts);
        QFETCH(QString, how);
        QFETCH(int, failing);
        QFETCH(QString, message);
        BoxWatcher box;
        RunOptions([&](QDialog* wnd) {
            QStringList shown;
            for (const char* e : kEdits) {
                shown << Edit(wnd, e)->text();
            }
            QCOMPARE(wnd->windowTitle() + ": " + shown.join('|'), QString("Options: 5|5|32|30"));
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Edit(wnd, kEdits[0])));
            for (int i = 0; i < 4; ++i) {
                Edit(wnd, kEdits[i])->setText(texts.section('|', i, i));
            }
            auto* cancel = wnd->findChild<QPushButton*>("IDCANCEL");
            Edit(wnd, kEdits[3])->setFocus();
            box.Arm();
            if (how == "tab") {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(cancel));
            } else if (how == "back") {
                cancel->setFocus();
                Edit(wnd, kEdits[1])->setFocus();
            }
            if (how == "ok") {
                wnd->findChild<QPushButton*>("IDOK")->click();
            } else if (how == "close") {
                wnd->close();
            } else if (how == "cancel") {
                cancel->click();
            } else {
                QTest::keyClick(QApplication::focusWidget(),
                                how == "esc" ? Qt::Key_Escape : Qt::Key_Return);
            }
            QCOMPARE(wnd->isVisible(), failing >= 0);
            if (failing >= 0) {
                QCOMPARE(wnd->focusWidget(), static_cast<QWidget*>(Edit(wnd, kEdits[failing])));
                QCOMPARE(OptionValues(), QString("5 5 32 30")); // nothing a worker could see
            }
        });
        QCOMPARE(box.text, message);
        const bool stored = failing < 0 && QStringList{"ok", "enter", "back"}.contains(how);
        QCOMPARE(OptionValues(),
                 stored ? QString(texts).remove(' ').replace('|', ' ') : QString("5 5 32 30"));
    }

    // Every label of the Options and About boxes shows its whole text within its template
    // rectangle, in the dialog's font; an access key's '&' takes no room.
    void labelsFitTheirRectangles_data() {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QString>("text");
        for (const auto& [name, tmpl] : {std::pair{"Options", &res::OptionsDialog()},
                                         std::pair{"About", &res::AboutDialog()}}) {
            for (const res::ControlTemplate& c : tmpl->controls) {
                if (c.cls == res::ControlClass::Static) {
                    QTest::addRow("%s: %s", name, c.text) << name << QString::fromUtf8(c.text);
                }
            }
        }
    }
    void labelsFitTheirRectangles() {
        QFETCH(QString, dialog);
        QFETCH(QString, text);
        const auto check = [&text](QDialog* wnd) {
            for (QLabel* label : wnd->findChildren<QLabel*>()) {
                if (label->text() == text) {
                    QCOMPARE(label->font(), DialogFont(8));
                    const QSize need =
                        QFontMetrics(label->font())
                            .size(label->buddy() ? int(Qt::TextShowMnemonic) : 0, text);
                    QVERIFY2(
                        need.width() <= label->contentsRect().width() &&
                            need.height() <= label->contentsRect().height(),
                        qPrintable(QString("needs %1x%2").arg(need.width()).arg(need.height())));
                    return;
                }
            }
            QFAIL("no such label");
        };
        if (dialog == "About") {
            CAboutDlg about;
            check(&about);
        } else {
            RunOptions(check);
        }
    }

    // The up-down controls: at each edit's right edge, bounded without wrapping, keys too;
    // text that is no number steps from the last number the edit held (opened with 5, 5, 32
    // and 30); a held arrow repeats.
    void upDownControls_data() {
        QTest::addColumn<int>("edit");      // of kEdits
        QTest::addColumn<QString>("start"); // texts typed in turn
        QTest::addColumn<QString>("how");   // up, down, key-up, key-down, hold
        QTest::addColumn<int>("times");     // held: milliseconds
        QTest::addColumn<int>("expected");  // held: at least
        const auto row = [](const char* tag, int edit, const char* start, const char* how,
                            int times, int expected) {
            QTest::newRow(tag) << edit << QString(start) << QString(how) << times << expected;
        };
        row("packets up stops at 20", 0, "19", "up", 3, 20);
        row("size down stops at 8", 2, "9", "down", 5, 8);
        row("hops key up", 3, "30", "key-up", 2, 32);
        row("timeout key down to 1", 1, "3", "key-down", 4, 1);
        row("text up from the value at opening", 1, "abc", "up", 1, 6);
        row("text after a typed number", 0, "7|7x", "up", 1, 8);
        row("text after a number out of range", 0, "12|99|-", "down", 1, 11);
        row("out of range steps into range", 3, "500", "down", 1, 100);
        row("held arrow repeats", 2, "100", "hold", 800, 103);
    }
    void upDownControls() {
        QFETCH(int, edit);
        QFETCH(QString, start);
        QFETCH(QString, how);
        QFETCH(int, times);
        QFETCH(int, expected);
        int result = 0;
        RunOptions([&](QDialog* wnd) {
            QLineEdit* e = Edit(wnd, kEdits[edit]);
            auto* spin = wnd->findChild<CSpinButtonCtrl*>(QString(kEdits[edit]) + "_SPIN");
            QCOMPARE(spin->GetBuddy(), e);
            QCOMPARE(spin->geometry().left(), e->geometry().right() + 1);
            QVERIFY((spin->focusPolicy() & Qt::TabFocus) == 0);
            for (const QString& text : start.split('|')) {
                e->setText(text);
            }
            if (how == "hold") {
                QTest::mousePress(spin->UpArrow(), Qt::LeftButton);
                QTest::qWait(times);
                QTest::mouseRelease(spin->UpArrow(), Qt::LeftButton);
            }
            for (int i = 0; how != "hold" && i < times; ++i) {
                if (how == "up" || how == "down") {
                    QTest::mouseClick(how == "up" ? spin->UpArrow() : spin->DownArrow(),
                                      Qt::LeftButton);
                } else {
                    QTest::keyClick(e, how == "key-up" ? Qt::Key_Up : Qt::Key_Down);
                }
            }
            result = e->text().toInt();
        });
        QVERIFY2(how == "hold" ? result >= expected : result == expected,
                 qPrintable(QString::number(result)));
        QCOMPARE(OptionValues(), QString("5 5 32 30")); // stepping is not OK
    }

    // The sockets layer failing at start-up: the framework's box first, then the dialog runs
    // without its icon.
    void socketsStartUp() {
        WSADATA data;
        QVERIFY(AfxSocketInit(&data));
        QCOMPARE(data.wVersion, MakeWord(1, 1));
        QCOMPARE(data.iMaxUdpDg, uint16_t{65507});
        QVERIFY(QByteArray(data.szDescription).contains("c-ares"));
        sockets_testing::SetStartupFault(true);
        BoxWatcher box;
        box.Arm();
        CMainDlg dlg;
        sockets_testing::SetStartupFault(false);
        QCOMPARE(box.text, QString("Windows sockets initialization failed."));
        QCOMPARE(box.caption, QString("sabrevin"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY(dlg.Create());
        QVERIFY(dlg.windowIcon().isNull());
        QCOMPARE(dlg.windowTitle(), QString("Sabrevin - Ping"));
        QCOMPARE(dlg.SocketData().wVersion, uint16_t{0});
    }

    // Without the echo module, or with one that lacks any one of its three functions, the
    // dialog ends before its pages are set up; a module found stays loaded.
    void echoModuleMissing_data() {
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("text");
        const QString api = "Unable to locate required API functions!";
        QTest::newRow("no module") << ""
                                   << "Unable to locate ICMP.DLL!";
        QTest::newRow("no IcmpCreateFile") << "icmp-lacks-create" << api;
        QTest::newRow("no IcmpCloseHandle") << "icmp-lacks-close" << api;
        QTest::newRow("no IcmpSendEcho") << "icmp-lacks-send" << api;
    }
    void echoModuleMissing() {
        QFETCH(QString, dir);
        QFETCH(QString, text);
        QTemporaryDir empty;
        CMainDlg dlg;
        dlg.SetModuleDir(QFile::encodeName(
            dir.isEmpty() ? empty.path() : QCoreApplication::applicationDirPath() + "/" + dir));
        BoxWatcher box;
        box.Arm();
        QVERIFY(!dlg.Create());
        QCOMPARE(box.text, text);
        QCOMPARE(box.caption, QString("Error"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(dlg.Icmp().hModule != nullptr, !dir.isEmpty());
        QCOMPARE(static_cast<CTabCtrl*>(dlg.GetDlgItem(IDC_TAB))->GetItemCount(), 0);
        QCOMPARE(dlg.windowTitle(), QString("Sabrevin"));
        QCOMPARE(dlg.DoModal(), int(QDialog::Rejected)); // and it never runs
    }
};

int main(int argc, char** argv) {
    QTemporaryDir config; // settings of this run's own
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("sabrevin");
    TestDialogs t;
    return QTest::qExec(&t, argc, argv);
}
#include "test_dialogs.moc"
