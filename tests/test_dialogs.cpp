// The windows and the settings file: the main dialog's texts, layout, pages, Enter key and
// Clear; the Options and About boxes; a start without the sockets layer or the echo module;
// the host histories; what the settings store reads from hand-written and damaged files, how
// it writes them, and what of the dialog comes back after a restart.

#include "app/settings_store.h"
#include "net/sockets.h"
#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/dialog_units.h"
#include "ui/main_dlg.h"
#include "ui/menu.h"
#include "ui/spin_button.h"
#include "ui/tab_ctrl.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>

#include <memory>

namespace {

const char* const kTabText[] = {"Ping", "Trace", "Lookup", "Local Info"};
const char* const kEdits[] = {"IDC_PACKETS", "IDC_TIMEOUT", "IDC_PACKET_SIZE", "IDC_HOPS"};

int FirstIdOf(int page) {
    return IDC_PING_HOST_LABEL + 5 * page;
}
QLineEdit* Edit(QDialog* wnd, int i) {
    return wnd->findChild<QLineEdit*>(kEdits[i]);
}
QString Options(const COptionsDlg& o) {
    return QString::asprintf("%u %u %u %u", o.m_nPackets.load(), o.m_nTimeout.load(),
                             o.m_nPacketSize.load(), o.m_nHops.load());
}
QString IniPath() {
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Varnstead/sabrevin.ini";
}
QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}
void WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

// The whole menu as one line: texts, "-" for separators, submenus in brackets.
QString MenuText(const QList<QAction*>& actions) {
    QStringList texts;
    for (const QAction* a : actions) {
        texts << (a->isSeparator() ? QString("-")
                  : a->menu()      ? a->text() + "(" + MenuText(a->menu()->actions()) + ")"
                                   : a->text());
    }
    return texts.join(',');
}

// Answers the modal boxes that come with OK, keeping "caption: text" and the icon of the last.
struct BoxWatcher : QTimer {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    BoxWatcher() {
        connect(this, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->windowTitle() + ": " + box->text();
                icon = box->icon();
                box->button(QMessageBox::Ok)->click();
            }
        });
        start(5);
    }
};

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;
    COptionsDlg m_opts;
    QTemporaryDir m_dir; // the store's files, one per case: QSettings caches files by name
    int m_nFiles = 0;

    CTabCtrl* Tab() const { return static_cast<CTabCtrl*>(m_dlg->GetDlgItem(IDC_TAB)); }
    QComboBox* Box(int page) const {
        return static_cast<QComboBox*>(m_dlg->GetDlgItem(FirstIdOf(page) + 1));
    }
    QAction* Command(int id) const { return m_dlg->GetMenu()->Command(id); }
    // The Ping, Trace and Lookup lists.
    QString Lists() const {
        QStringList lists;
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            lists << QString();
            for (int i = 0; i < Box(p)->count(); ++i) {
                lists.last() += (i > 0 ? "|" : "") + Box(p)->itemText(i);
            }
        }
        return lists.join('/');
    }
    void Start() {
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        m_dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
    }

    // On every page, shown or not: the tab control fills the client area with its left margin
    // all round; host boxes end 126 pixels from the right; buttons and trees 14 from the
    // right, trees 14 from the bottom.
    void VerifyLayout() {
        const int cx = Tab()->parentWidget()->width(), cy = Tab()->parentWidget()->height();
        const QRect tab = Tab()->geometry();
        QCOMPARE(tab.size(), QSize(cx - 2 * tab.left(), cy - tab.top() - tab.left()));
        for (int p = 0; p < 4; ++p) {
            const QRect tree = m_dlg->GetDlgItem(FirstIdOf(p) + 3)->geometry();
            QCOMPARE(Box(p)->geometry().right(), cx - 127);
            QCOMPARE(m_dlg->GetDlgItem(FirstIdOf(p) + 4)->geometry().right(), cx - 15);
            QCOMPARE(tree.bottomRight(), QPoint(cx - 15, cy - 15));
        }
    }

    // Exactly the page's five controls visible, its tab selected, its title and radio mark,
    // the focus on the tab control.
    void VerifyPageShown(int page) {
        QCOMPARE(m_dlg->CurPage() * 10 + Tab()->GetCurSel(), page * 11);
        for (int id = FirstIdOf(0); id < FirstIdOf(4); ++id) {
            QCOMPARE(m_dlg->GetDlgItem(id)->isVisible(), (id - FirstIdOf(0)) / 5 == page);
        }
        for (int p = 0; p < 4; ++p) {
            QCOMPARE(Command(ID_TOOLS_PING + p)->isChecked(), p == page);
        }
        QCOMPARE(m_dlg->windowTitle(), QString("Sabrevin - ") + kTabText[page]);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Tab()->TabBar()));
    }

    // Every label shows its whole text in the dialog's font; the texts go to texts.
    static void CheckLabels(QWidget* wnd, QStringList* texts) {
        *texts << wnd->windowTitle();
        for (QLabel* label : wnd->findChildren<QLabel*>()) {
            *texts << (label->pixmap().isNull() ? label->text() : QString("(icon)"));
            const int flags = label->buddy() ? int(Qt::TextShowMnemonic) : 0;
            const QSize need = QFontMetrics(label->font()).size(flags, label->text());
            QCOMPARE(label->font(), DialogFont(8));
            QVERIFY2(label->contentsRect().width() >= need.width() &&
                         label->contentsRect().height() >= need.height(),
                     qPrintable(label->text()));
        }
    }

private Q_SLOTS:
    void init() {
        sockets_testing::SetDnsServers("127.0.0.1:9"); // a name asked by mistake stays here
        Start();
    }
    void cleanup() { m_dlg.reset(); }

    // With no settings file: the Ping page, the default options, empty lists; the texts; a
    // history alone enables no Clear item.
    void startUp() {
        VerifyPageShown(PAGE_PING);
        QCOMPARE(Options(m_dlg->Options()) + " " + Lists(), QString("5 5 32 30 //"));
        QStringList texts;
        for (int p = 0; p < 4; ++p) {
            texts << Tab()->GetItemText(p);
            for (int role : {0, 2, 4}) { // host label, response label, button
                texts << m_dlg->GetDlgItem(FirstIdOf(p) + role)->property("text").toString();
            }
        }
        QCOMPARE(texts.join('|'), QString("Ping|H&ost:|&Response:|&Start|Trace|H&ost:|&Response:|"
                                          "&Start|Lookup|H&ost:|&Response:|&Start|Local Info|"
                                          "Host:|&Response:|R&efresh"));
        QCOMPARE(MenuText(m_dlg->GetMenu()->MenuBar()->actions()),
                 QString("&Tools(&Ping,&Trace,&Lookup,Local &Info,-,&Clear(Current &Tab,&All),-,"
                         "E&xit),O&ptions,&Help(On the &Web(&Sabrevin Home Page,&Corvale Home "
                         "Page),-,&About Sabrevin...)"));
        QVERIFY(!m_dlg->windowIcon().isNull());
        Box(PAGE_LOOKUP)->addItem("h");
        Box(PAGE_LOOKUP)->setEditText("");
        Q_EMIT m_dlg->GetMenu()->Popup("&Tools")->aboutToShow();
        QVERIFY(!Command(ID_CLEAR_CURRENT)->isEnabled() && !Command(ID_CLEAR_ALL)->isEnabled());
    }

    // The labels at their template places; a resize refits every page and leaves the labels;
    // the window never shrinks below its template size.
    void layout() {
        const QRect label = m_dlg->GetDlgItem(IDC_TRACE_RESPONSE_LABEL)->geometry();
        QCOMPARE(label, MapDialogRect(BaseUnitsOf(m_dlg->font()), 7, 40, 34, 8));
        VerifyLayout();
        const QSize initial(m_dlg->InitWidth(), m_dlg->InitHeight());
        QCOMPARE(m_dlg->size(), initial);
        m_dlg->resize(m_dlg->width() + 300, m_dlg->height() + 200);
        VerifyLayout();
        QCOMPARE(m_dlg->GetDlgItem(IDC_TRACE_RESPONSE_LABEL)->geometry(), label);
        m_dlg->resize(100, 80);
        QCOMPARE(m_dlg->size(), initial);
    }

    // A tab click and a Tools command lead to the same state. Enter then runs the shown
    // page's action and never ends the dialog: an empty host box is refused, Local Info is
    // read anew; the other pages are not touched.
    void pages_data() {
        QTest::addColumn<bool>("click");
        QTest::addColumn<int>("page");
        for (int page : {PAGE_TRACE, PAGE_LOOKUP, PAGE_LOCALINFO, PAGE_PING}) {
            QTest::addRow("click %s", kTabText[page]) << true << page;
            QTest::addRow("command %s", kTabText[page]) << false << page;
        }
    }
    void pages() {
        QFETCH(bool, click);
        QFETCH(int, page);
        Command(page == PAGE_TRACE ? ID_TOOLS_PING : ID_TOOLS_TRACE)->trigger();
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            Box(p)->setEditText(p == page ? QString() : QString("other.invalid"));
        }
        m_dlg->Tree(PAGE_LOCALINFO).AddRoot("mark", 0);
        if (click) {
            QTest::mouseClick(Tab()->TabBar(), Qt::LeftButton, {},
                              Tab()->TabBar()->tabRect(page).center());
        } else {
            Command(ID_TOOLS_PING + page)->trigger();
        }
        VerifyPageShown(page);
        BoxWatcher box;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QString trees = box.text;
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            trees += QString::number(m_dlg->Tree(p).GetTree()->topLevelItemCount());
        }
        const bool marked = !m_dlg->Tree(PAGE_LOCALINFO).GetTree()->findItems("mark", {}).isEmpty();
        QCOMPARE(trees + (marked ? " marked" : ""),
                 page == PAGE_LOCALINFO ? "000" : "Error: Unrecognized host data!000 marked");
        QVERIFY(m_dlg->isVisible());
    }

    // Current Tab is enabled by text in the shown page's host box or items in its tree, never
    // on Local Info; All by those of any page. They empty host boxes and trees (here Ping's
    // box holds text, Lookup's tree an item), never the histories nor Local Info. After: the
    // two items enabled, then what is left (p: Ping's text, L: Lookup's item).
    void clear_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("after");
        QTest::newRow("Ping, Current") << int(PAGE_PING) << ID_CLEAR_CURRENT << "11 L";
        QTest::newRow("Trace, All") << int(PAGE_TRACE) << ID_CLEAR_ALL << "01 ";
        QTest::newRow("Lookup, Current") << int(PAGE_LOOKUP) << ID_CLEAR_CURRENT << "11 p";
        QTest::newRow("Local Info, Current") << int(PAGE_LOCALINFO) << ID_CLEAR_CURRENT << "01 pL";
    }
    void clear() {
        QFETCH(int, page);
        QFETCH(int, command);
        QFETCH(QString, after);
        for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
            Box(p)->addItem("h");
            Box(p)->setEditText(p == PAGE_PING ? "typed" : "");
        }
        m_dlg->Tree(PAGE_LOOKUP).AddRoot("request", 0);
        const int local = m_dlg->Tree(PAGE_LOCALINFO).GetTree()->topLevelItemCount();
        Command(ID_TOOLS_PING + page)->trigger();
        Q_EMIT m_dlg->GetMenu()->Popup("&Tools")->aboutToShow();
        QString now = QString("%1%2 ")
                          .arg(Command(ID_CLEAR_CURRENT)->isEnabled())
                          .arg(Command(ID_CLEAR_ALL)->isEnabled());
        Command(command)->trigger();
        if (page == PAGE_LOCALINFO) {
            m_dlg->OnClearCurrent(); // where the menu leaves it grayed
        }
        now += Box(PAGE_PING)->currentText().isEmpty() ? "" : "p";
        now += m_dlg->Tree(PAGE_LOOKUP).GetTree()->topLevelItemCount() != 0 ? "L" : "";
        QCOMPARE(now + " " + Lists(), after + " h/h/h");
        QCOMPARE(m_dlg->Tree(PAGE_LOCALINFO).GetTree()->topLevelItemCount(), local);
    }

    // The About box: its texts, each whole; Enter closes it, not the program.
    void about() {
        QStringList texts;
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            QVERIFY(about != nullptr && QTest::qWaitForWindowActive(about));
            CheckLabels(about, &texts);
            QTest::keyClick(about, Qt::Key_Return);
        });
        Command(ID_HELP_ABOUT)->trigger();
        QCOMPARE(texts.mid(0, 3).join('|'),
                 QString::fromUtf8("About Sabrevin|(icon)|Sabrevin\u00ae version " SABREVIN_VERSION
                                   " for Windows 95/NT"));
        QVERIFY(QApplication::activeModalWidget() == nullptr && m_dlg->isVisible());
    }

    // The Options box opens with the values in force, the focus on the first edit, its labels
    // whole. OK checks every bound: the first failing field is named and holds the focus, and
    // nothing is stored, not even for a moment; Cancel stores nothing. The up-down controls
    // stop at the bounds; text that is no number steps from the last number in range that the
    // edit held. How: pairs of an action (E Enter, C Cancel, u/d an arrow clicked, U/D a key)
    // and the edit it acts on.
    void options_data() {
        QTest::addColumn<QString>("texts"); // typed into the four edits ("a,b": a, then b)
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("after"); // message | focus: edits, if left open | values
        const auto row = [](const char* tag, const char* texts, const char* how,
                            const QString& after) {
            QTest::newRow(tag) << QString(texts) << QString(how) << after;
        };
        const auto refused = [&row](const char* tag, const char* texts, int field,
                                    const char* why) {
            row(tag, texts, "E3",
                QString("sabrevin: Please enter %1.|%2: %3|5 5 32 30")
                    .arg(why, kEdits[field], QString(texts).replace('|', ' ')));
        };
        const auto spun = [&row](const char* tag, const char* texts, const char* how,
                                 const char* edits) {
            row(tag, texts, how, QString("|IDC_PACKETS: %1|5 5 32 30").arg(edits));
        };
        row("all lowest, blanks around", " 1 |1|8|1", "E0", "|closed|1 1 8 1");
        row("all highest", "20|20|512|100", "E3", "|closed|20 20 512 100");
        row("Cancel", "3|4|100|50", "C0", "|closed|5 5 32 30");
        refused("packets 0", "0|5|32|30", 0, "a number between 1 and 20");
        refused("packets 21", "21|5|32|30", 0, "a number between 1 and 20");
        refused("timeout 0", "5|0|32|30", 1, "a number between 1 and 20");
        refused("timeout 21", "5|21|32|30", 1, "a number between 1 and 20");
        refused("size 7", "5|5|7|30", 2, "a number between 8 and 512");
        refused("size 513", "5|5|513|30", 2, "a number between 8 and 512");
        refused("size beyond 32 bits", "5|5|4294967328|30", 2, "a number between 8 and 512");
        refused("hops 0", "5|5|32|0", 3, "a number between 1 and 100");
        refused("hops 101", "5|5|32|101", 3, "a number between 1 and 100");
        refused("packets negative", "-1|5|32|30", 0, "an unsigned number for Packets to Send");
        refused("the first failure wins", "9|x|7|101", 1, "an unsigned number for Timeout");
        spun("packets up stops at 20", "19|5|32|30", "u0u0u0", "20 5 32 30");
        spun("size down stops at 8", "5|5|9|30", "d2d2d2d2d2", "5 5 8 30");
        spun("hops key up", "5|5|32|30", "U3U3", "5 5 32 32");
        spun("timeout key down to 1", "5|3|32|30", "D1D1D1D1", "5 1 32 30");
        spun("text after a number out of range", "12,99,-|5|32|30", "d0", "11 5 32 30");
    }
    void options() {
        QFETCH(QString, texts);
        QFETCH(QString, how);
        QFETCH(QString, after);
        m_opts.m_nPackets = m_opts.m_nTimeout = 5;
        m_opts.m_nPacketSize = 32;
        m_opts.m_nHops = 30;
        BoxWatcher box;
        QString open = "closed";
        QTimer::singleShot(0, [&] {
            QDialog* wnd = m_opts.Window();
            const auto end = qScopeGuard([&] {
                if (wnd->isVisible()) {
                    open = wnd->focusWidget()->objectName() + ":";
                    for (int i = 0; i < 4; ++i) {
                        open += " " + Edit(wnd, i)->text();
                    }
                    m_opts.OnCancel();
                }
            });
            QVERIFY(QTest::qWaitForWindowActive(wnd));
            QStringList shown;
            CheckLabels(wnd, &shown);
            for (int i = 0; i < 4; ++i) {
                shown << Edit(wnd, i)->text();
                for (const QString& text : texts.section('|', i, i).split(',')) {
                    Edit(wnd, i)->setText(text);
                }
            }
            QCOMPARE(shown.join('|'), QString("Options|Packets to &Send:|&Timeout:|sec|"
                                              "Packet Si&ze:|bytes|Number of &Hops:|5|5|32|30"));
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Edit(wnd, 0)));
            for (int i = 0; i + 1 < how.size(); i += 2) {
                QLineEdit* e = Edit(wnd, how[i + 1].digitValue());
                auto* spin = wnd->findChild<CSpinButtonCtrl*>(e->objectName() + "_SPIN");
                if (how[i] == 'C') {
                    wnd->findChild<QPushButton*>("IDCANCEL")->click();
                } else if (how[i] == 'u' || how[i] == 'd') {
                    QTest::mouseClick(how[i] == 'u' ? spin->UpArrow() : spin->DownArrow(),
                                      Qt::LeftButton);
                } else {
                    QTest::keyClick(e, how[i] == 'U'   ? Qt::Key_Up
                                       : how[i] == 'D' ? Qt::Key_Down
                                                       : Qt::Key_Return);
                }
            }
            QVERIFY(!wnd->isVisible() || Options(m_opts) == "5 5 32 30"); // nothing a worker sees
        });
        m_opts.DoModal(nullptr);
        QCOMPARE(box.text + "|" + open + "|" + Options(m_opts), after);
    }

    // The sockets layer failing at start-up: the framework's box first, then the dialog runs
    // without its icon.
    void socketsStartUp() {
        sockets_testing::SetStartupFault(true);
        BoxWatcher box;
        CMainDlg dlg;
        sockets_testing::SetStartupFault(false);
        QCOMPARE(box.text, QString("sabrevin: Windows sockets initialization failed."));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY(dlg.Create() && dlg.windowIcon().isNull());
    }

    // Without the echo module, or with one that lacks one of its functions, the dialog ends
    // before its pages are set up and writes no settings.
    void echoModuleMissing_data() {
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("text");
        QTest::newRow("no module") << "/none"
                                   << "Unable to locate ICMP.DLL!";
        QTest::newRow("no IcmpSendEcho") << "/icmp-lacks-send"
                                         << "Unable to locate required API functions!";
    }
    void echoModuleMissing() {
        QFETCH(QString, dir);
        QFETCH(QString, text);
        WriteFile(IniPath(), "[Options]\nTimeout=9\n");
        CMainDlg dlg;
        dlg.SetModuleDir(QFile::encodeName(QCoreApplication::applicationDirPath() + dir));
        BoxWatcher box;
        dlg.DoModal();
        QCOMPARE(box.text + " " + dlg.windowTitle(), "Error: " + text + " Sabrevin");
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(ReadFile(IniPath()), QByteArray("[Options]\nTimeout=9\n"));
        QVERIFY(QFile::remove(IniPath()));
    }

    // AddToHistory: newest first, at most 30, case counts; the box's text is not touched,
    // whichever entry was picked.
    void history_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("picked");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("after");
        QStringList thirty;
        for (int i = 1; i <= 30; ++i) {
            thirty << QString("h%1").arg(i);
        }
        const QString full = thirty.join('|'), dropped = "new|" + thirty.mid(0, 29).join('|');
        QTest::newRow("newest first") << "a" << 0 << "b"
                                      << "b|a";
        QTest::newRow("known stays where it is") << "a|b|c" << 0 << "b"
                                                 << "a|b|c";
        QTest::newRow("case counts") << "host" << 0 << "Host"
                                     << "Host|host";
        QTest::newRow("a full list drops its bottom") << full << 0 << "new" << dropped;
        QTest::newRow("the bottom picked, then typed") << full << 29 << "new" << dropped;
        QTest::newRow("known in a full list") << full << 0 << "h30" << full;
        QTest::newRow("empty text is not added") << "a" << 0 << ""
                                                 << "a";
        QTest::newRow("long text is cut") << "" << -1 << QString(200, 'z') << QString(127, 'z');
    }
    void history() {
        QFETCH(QString, before);
        QFETCH(int, picked);
        QFETCH(QString, text);
        QFETCH(QString, after);
        Box(PAGE_TRACE)->addItems(before.split('|', Qt::SkipEmptyParts));
        Box(PAGE_TRACE)->setCurrentIndex(picked);
        Box(PAGE_TRACE)->setEditText(text);
        m_dlg->AddToHistory(IDC_TRACE_HOST, Box(PAGE_TRACE));
        QCOMPARE(Lists() + " " + Box(PAGE_TRACE)->currentText(), "/" + after + "/ " + text);
    }

    // A start from a hostile file: options clamped, the lists up to a gap, not in the boxes,
    // a window lost off the screen back in view. Options set in the box and directly, a host
    // added and a moved window come back after Exit, and Esc ends the dialog.
    void restart() {
        m_dlg.reset();
        WriteFile(IniPath(), "[Options]\nPackets to Send=4000000000\nTimeout=-3\nNumber of Hops=x\n"
                             "Packet Size=99999999999999999999\n[Hosts]\nPing Host 1=new\n"
                             "Ping Host 2=old\nPing Host 4=gone\nLookup Host 1=l\n"
                             "[Window]\nLeft=999999999\nTop=999999999\n");
        Start();
        QCOMPARE(Options(m_dlg->Options()) + " " + Lists(), QString("20 1 512 30 new|old//l"));
        QCOMPARE(Box(PAGE_PING)->currentText() + Box(PAGE_LOOKUP)->currentText(), QString());
        QVERIFY(m_dlg->geometry().intersects(m_dlg->screen()->availableGeometry()));
        QTimer::singleShot(0, [this] {
            Edit(m_dlg->Options().Window(), 0)->setText("12");
            Edit(m_dlg->Options().Window(), 2)->setText("256");
            m_dlg->Options().Window()->findChild<QPushButton*>("IDOK")->click();
        });
        Command(ID_OPTIONS)->trigger();
        m_dlg->Options().m_nTimeout = 3;
        m_dlg->Options().m_nHops = 44;
        Box(PAGE_PING)->setEditText("t.example");
        m_dlg->AddToHistory(IDC_PING_HOST, Box(PAGE_PING));
        const QRect moved(m_dlg->pos() + QPoint(-30, 25), m_dlg->size() + QSize(40, 20));
        m_dlg->setGeometry(moved);
        Command(ID_TOOLS_EXIT)->trigger();
        QVERIFY(!m_dlg->isVisible());
        m_dlg->DoModal(); // its end: the settings are written
        Start();
        QCOMPARE(Options(m_dlg->Options()) + " " + Lists(),
                 QString("12 3 256 44 t.example|new|old|gone//l"));
        QCOMPARE(m_dlg->geometry(), moved);
        QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
        QVERIFY(!m_dlg->isVisible());
        QVERIFY(QFile::remove(IniPath()));
    }

    // What the store reads from a file typed by hand (plain spaces in the names) or damaged:
    // the window's rectangle (its edges as unsigned words, each falling back on its own), the
    // file's state, the Ping list.
    void storeReads_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected");
        QByteArray full = "[Hosts]";
        QStringList thirty;
        for (int n = 1; n <= 31; ++n) {
            full += QString("\nPing Host %1=h%1").arg(n).toUtf8();
            thirty << QString("h%1").arg(n);
        }
        const auto row = [](const char* tag, const QByteArray& ini, const QString& expected) {
            QTest::newRow(tag) << ini << expected;
        };
        row("entry 31 is never read", full, "100 80 460 330 sane " + thirty.mid(0, 30).join('|'));
        // 64 two-byte characters: the cut at 127 bytes must not split the last one.
        row("hosts cut to 127 bytes",
            "[Hosts]\nPing Host 1=" + QByteArray(200, 'x') +
                "\nPing Host 2=" + QString(64, QChar(0xE9)).toUtf8(),
            "100 80 460 330 sane " + QString(127, 'x') + "|" + QString(63, QChar(0xE9)));
        row("partly off the screen", "[Window]\nLeft=4294967196\nTop=10\nRight=400\nBottom=410",
            "-100 10 500 400 sane ");
        row("below the minimum size", "[Window]\nLeft=10\nTop=10\nRight=60\nBottom=30",
            "10 10 460 330 sane ");
        row("an edge beyond 32 bits", "[Window]\nLeft=300\nTop=4294967296", "300 80 460 330 sane ");
        row("ours", "[Window]\nLeft=1\n\n; note\n[Hosts]\nPing%20Host%201=a\n",
            "1 80 559 330 sane a");
        row("CRLF", "[Options]\r\nTimeout=3\r\n", "100 80 460 330 sane ");
        row("broken header", "[Options\nTimeout=3\n", "100 80 460 330 damaged ");
        row("stray line", "[Options]\nTimeout=3\ngarbage\n", "100 80 460 330 damaged ");
        row("NUL byte", QByteArray("[Options]\nTimeout=3\0\n", 20), "100 80 460 330 damaged ");
        row("not UTF-8", "[Options]\nTimeout=\xff\xfe\n", "100 80 460 330 damaged ");
        row("control bytes", "[Options]\nTimeout=\x01\x02\n", "100 80 460 330 damaged ");
    }
    void storeReads() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        const QString path = m_dir.filePath(QString("%1/sabrevin.ini").arg(++m_nFiles));
        WriteFile(path, ini);
        const SettingsStore store(path);
        QCOMPARE(ReadFile(store.BackupFileName()), store.WasDamaged() ? ini : QByteArray("(none)"));
        const QRect r = store.ReadWindowRect(QRect(100, 80, 460, 330), QSize(460, 330),
                                             {QRect(0, 0, 1024, 768)});
        QCOMPARE(QString("%1 %2 %3 %4 %5 ")
                         .arg(r.left())
                         .arg(r.top())
                         .arg(r.width())
                         .arg(r.height())
                         .arg(store.WasDamaged() ? "damaged" : "sane") +
                     store.ReadHostList("Ping Host %u").join('|'),
                 expected);
    }

    // A write replaces the file by a rename, never in place, and only when the store syncs.
    // Entries above a list's count keep what they held: with 1, 2 and 4 stored and a host
    // added, 1 to 3 are written and 4 comes back as the fourth. A damaged file is kept as .bak
    // and replaced by a clean one of our sections, with what could be read of them. After:
    // the groups, the timeout, the Ping list.
    void storeWrites() {
        for (const auto& [ini, after] :
             {std::pair{QByteArray("[Hosts]\nPing Host 1=a\nPing Host 2=b\nPing Host 4=d\n"),
                        "Hosts 5 new|a|b|d"},
              std::pair{QByteArray("[Options\nTimeout=3\n[Stray]\nx=1\n"),
                        "Hosts,Options 3 new"}}) {
            const QString path = m_dir.filePath(QString("%1/sabrevin.ini").arg(++m_nFiles));
            WriteFile(path, ini);
            struct stat before {
            }, now{};
            QCOMPARE(stat(QFile::encodeName(path).constData(), &before), 0);
            {
                SettingsStore store(path);
                store.WriteHostList("Ping Host %u",
                                    QStringList("new") + store.ReadHostList("Ping Host %u"));
                QCOMPARE(ReadFile(path), ini);
                QVERIFY(store.Sync());
            }
            QCOMPARE(stat(QFile::encodeName(path).constData(), &now), 0);
            QVERIFY(now.st_ino != before.st_ino);
            const SettingsStore store(path);
            QCOMPARE(QString("%1 %2 %3 %4")
                         .arg(QSettings(path, QSettings::IniFormat).childGroups().join(','))
                         .arg(store.ReadOption(OPT_TIMEOUT, 5))
                         .arg(store.ReadHostList("Ping Host %u").join('|'))
                         .arg(store.WasDamaged()),
                     QString(after) + " 0");
        }
    }
};

int main(int argc, char** argv) {
    QTemporaryDir config; // settings of this run's own
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Varnstead");
    QCoreApplication::setApplicationName("sabrevin");
    TestDialogs t;
    return QTest::qExec(&t, argc, argv);
}
#include "test_dialogs.moc"
