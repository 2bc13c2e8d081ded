// The windows and the settings file: the main dialog's texts, layout, pages, Enter key and
// Clear; the Options and About boxes; a start without the sockets layer or the echo module;
// the host histories; what the settings store reads from hand-written and damaged files, how
// it writes them, and what of the dialog comes back after a restart.

#include "app/settings_store.h"
#include "res/resource.h"
#include "ui/main_dlg.h"
#include "ui/menu.h"
#include "ui/spin_button.h"
#include "ui/tab_ctrl.h"

#include <QtTest>
#include <QtWidgets>

#include <unistd.h>

const char* const kEdit[] = {"IDC_PACKETS", "IDC_TIMEOUT", "IDC_PACKET_SIZE", "IDC_HOPS"};

class TestDialogs : public QObject {
    Q_OBJECT

    // The whole menu as one line: texts, "-" for separators, submenus in brackets.
    static QString MenuText(const QList<QAction*>& actions) {
        QStringList texts;
        for (const QAction* a : actions) {
            texts << (a->isSeparator() ? "-" : a->text()) +
                         (a->menu() ? "(" + MenuText(a->menu()->actions()) + ")" : "");
        }
        return texts.join(',');
    }

    std::unique_ptr<CMainDlg> m_dlg;
    QTemporaryDir m_dir; // the settings, and the store's files, one per case (QSettings caches)
    QString m_box; // "icon caption: text" of the last message box (icon 2 a warning, 3 an error)
    const QString m_ini = m_dir.filePath("Varnstead/sabrevin.ini");

    static int FirstIdOf(int page) { return IDC_PING_HOST_LABEL + 5 * page; }
    static QLineEdit* Edit(QDialog* wnd, int i) { return wnd->findChild<QLineEdit*>(kEdit[i]); }
    static QString Options(const COptionsDlg& o) {
        return QString::asprintf("%u %u %u %u", o.m_nPackets.load(), o.m_nTimeout.load(),
                                 o.m_nPacketSize.load(), o.m_nHops.load());
    }
    static QByteArray ReadFile(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
    }
    static QString WriteFile(const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? path : QString();
    }
    static QString Hosts(int n, const QString& form = "h%1", const QString& sep = "|") { // 1 to n
        return n == 0 ? QString() : Hosts(n - 1, form, sep) + (n > 1 ? sep : "") + form.arg(n);
    }

    CTabCtrl* Tab() const { return static_cast<CTabCtrl*>(m_dlg->GetDlgItem(IDC_TAB)); }
    auto* Box(int p) const { return static_cast<QComboBox*>(m_dlg->GetDlgItem(FirstIdOf(p) + 1)); }
    QTreeWidget& Local() const { return *m_dlg->Tree(PAGE_LOCALINFO).GetTree(); }
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
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
    }

    // Exactly the page's five controls visible, its tab selected, its title and radio mark,
    // the focus on the tab control.
    void VerifyPageShown(int page) {
        QCOMPARE(m_dlg->CurPage() * 10 + Tab()->GetCurSel(), page * 11);
        for (int id = FirstIdOf(0); id < FirstIdOf(4); ++id) {
            QCOMPARE(m_dlg->GetDlgItem(id)->isVisible(), (id - FirstIdOf(0)) / 5 == page);
            QCOMPARE(Command(ID_TOOLS_PING + id % 4)->isChecked(), id % 4 == page);
        }
        QCOMPARE(m_dlg->windowTitle(), "Sabrevin - " + Tab()->GetItemText(page));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Tab()->TabBar()));
    }

    // The window, once active, and its labels: every one shows its whole text; the texts go to
    // texts.
    static void CheckLabels(QWidget* wnd, QStringList* texts) {
        *texts << wnd->windowTitle() + (QTest::qWaitForWindowActive(wnd) ? "" : " inactive");
        for (QLabel* lbl : wnd->findChildren<QLabel*>()) {
            *texts << (lbl->pixmap().isNull() ? lbl->text() : QString("(icon)"));
            QVERIFY2((lbl->size() - lbl->minimumSizeHint()).isValid(), qPrintable(lbl->text()));
        }
    }

    // Every message box is answered with OK; a test takes (and clears) m_box after.
    void timerEvent(QTimerEvent*) override {
        if (auto* b = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            m_box = QString::number(b->icon()) + " " + b->windowTitle() + ": " + b->text();
            b->button(QMessageBox::Ok)->click();
        }
    }

private Q_SLOTS:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
        QCoreApplication::setOrganizationName("Varnstead");
        QCoreApplication::setApplicationName("sabrevin");
        startTimer(5); // see timerEvent
    }
    void init() {
        sockets_testing::SetDnsServers("127.0.0.1:9"); // a name asked by mistake stays here
        QFile::remove(m_ini);
        Start();
    }

    // With no settings file: the Ping page, the default options, empty lists; the texts of the
    // window, its menu and the About box (each whole there); Enter closes that box, not the
    // program. Then the layout at the template size, larger, and asked to be smaller than that
    // (it never shrinks below it): the tab control fills the client area with its left margin
    // all round; host boxes end 126 pixels from the right; buttons and trees 14 from the right,
    // trees 14 from the bottom; on every page, shown or not.
    void startUp() {
        VerifyPageShown(PAGE_PING);
        QStringList texts(Options(m_dlg->Options()) + " " + Lists());
        for (int p = 0; p < 4; ++p) {
            texts << Tab()->GetItemText(p);
            for (int role : {0, 2, 4}) { // host label, response label, button
                texts << m_dlg->GetDlgItem(FirstIdOf(p) + role)->property("text").toString();
            }
        }
        texts << MenuText(m_dlg->GetMenu()->MenuBar()->actions());
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(about != nullptr);
            CheckLabels(about, &texts);
            QTest::keyClick(about, Qt::Key_Return);
        });
        Command(ID_HELP_ABOUT)->trigger();
        QVERIFY(QApplication::activeModalWidget() == nullptr && m_dlg->isVisible());
        QCOMPARE(
            texts.mid(0, 21).join('|'),
            "5 5 32 30 //|Ping|H&ost:|&Response:|&Start|Trace|H&ost:|&Response:|&Start|"
            "Lookup|H&ost:|&Response:|&Start|Local Info|Host:|&Response:|R&efresh|"
            "&Tools(&Ping,&Trace,&Lookup,Local &Info,-,&Clear(Current &Tab,&All),-,E&xit),"
            "O&ptions,&Help(On the &Web(&Sabrevin Home Page,&Corvale Home Page),-,"
            "&About Sabrevin...)|About Sabrevin|(icon)|Sabrevin\u00ae version " SABREVIN_VERSION
            " for Windows 95/NT");
        const QSize initial(m_dlg->InitWidth(), m_dlg->InitHeight());
        QCOMPARE(m_dlg->size(), initial);
        for (const QSize& size : {initial, initial + QSize(300, 200), QSize(100, 80)}) {
            m_dlg->resize(size);
            QCOMPARE(m_dlg->size(), size.expandedTo(initial));
            const QRect area = Tab()->parentWidget()->rect(), tab = Tab()->geometry();
            QCOMPARE(tab, area - QMargins(tab.left(), tab.top(), tab.left(), tab.left()));
            const QPoint end = area.bottomRight() - QPoint(14, 14); // of buttons and trees
            for (int p = 0; p < 4; ++p) {
                QCOMPARE(m_dlg->GetDlgItem(FirstIdOf(p) + 1)->geometry().right(), end.x() - 112);
                QCOMPARE(m_dlg->GetDlgItem(FirstIdOf(p) + 4)->geometry().right(), end.x());
                QCOMPARE(m_dlg->GetDlgItem(FirstIdOf(p) + 3)->geometry().bottomRight(), end);
            }
        }
    }

    // A tab click and a Tools command lead to the same state. Enter then runs the shown
    // page's action and never ends the dialog: an empty host box is refused, Local Info is
    // read anew; the other pages are not touched.
    void pages() {
        for (int i = 0; i < 8; ++i) {
            const int page = i / 2;
            Start();
            Command(page == PAGE_TRACE ? ID_TOOLS_PING : ID_TOOLS_TRACE)->trigger();
            for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
                Box(p)->setEditText(p == page ? QString() : QString("other.invalid"));
            }
            m_dlg->Tree(PAGE_LOCALINFO).AddRoot("mark", 0);
            i % 2 ? QTest::mouseClick(Tab()->TabBar(), Qt::LeftButton, {},
                                      Tab()->TabBar()->tabRect(page).center())
                  : Command(ID_TOOLS_PING + page)->trigger();
            VerifyPageShown(page);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            // The box, the items on the first three pages, Local Info's mark.
            QString got = std::exchange(m_box, {}) + (m_dlg->isVisible() ? "" : " ended");
            for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
                got += QString::number(m_dlg->Tree(p).GetTree()->topLevelItemCount());
            }
            got += QString::number(Local().findItems("mark", {}).size());
            QCOMPARE(got, page < PAGE_LOCALINFO ? "3 Error: Unrecognized host data!0001" : "0000");
        }
    }

    // Current Tab is enabled by text in the shown page's host box or items in its tree, never
    // on Local Info; All by those of any page; a history alone enables neither. They empty
    // host boxes and trees (here Ping's box holds text, Lookup's tree an item), never the
    // histories nor Local Info. A row: the page shown, the item chosen (C Current Tab, A All),
    // the two items enabled before and after, then what is left (p: Ping's text, L: Lookup's
    // item, I: Local Info's).
    void clear() {
        const auto enabled = [this] {
            Q_EMIT m_dlg->GetMenu()->Popup("&Tools")->aboutToShow();
            return QString::asprintf("%d%d ", Command(ID_CLEAR_CURRENT)->isEnabled(),
                                     Command(ID_CLEAR_ALL)->isEnabled());
        };
        for (const QString row : {"0 C 11 01 L", "1 A 01 00 ", "2 C 11 01 p", "3 C 01 01 pL"}) {
            Start();
            for (int p = PAGE_PING; p <= PAGE_LOOKUP; ++p) {
                Box(p)->addItem("h");
                Box(p)->setEditText(p == PAGE_PING ? "typed" : "");
            }
            m_dlg->Tree(PAGE_LOOKUP).AddRoot("request", 0);
            Command(ID_TOOLS_PING + row[0].digitValue())->trigger();
            QString now = enabled();
            Command(row[2] == 'A' ? ID_CLEAR_ALL : ID_CLEAR_CURRENT)->trigger();
            now += enabled() + (Box(PAGE_PING)->currentText().isEmpty() ? "" : "p");
            now += m_dlg->Tree(PAGE_LOOKUP).GetTree()->topLevelItemCount() != 0 ? "L" : "";
            now += Local().topLevelItemCount() != 0 ? "I" : "";
            QCOMPARE(now + " " + Lists(), row.section(' ', 2) + "I h/h/h");
        }
    }

    // The Options box opens with the values in force, the focus on the first edit, its labels
    // whole. OK checks every bound: the first failing field is named and holds the focus, and
    // nothing is stored, not even for a moment; Cancel stores nothing. The up-down controls
    // stop at the bounds; text that is no number steps from the last number in range that the
    // edit held.
    void options() {
        // A row: the texts typed into the four edits ("a,b": a, then b); pairs of an action (u/d
        // an arrow clicked, C Cancel clicked, U/D/E the key Up, Down, Enter) and the edit it acts
        // on; the values after, or "edit;why": OK refused for that edit, as "please enter why". One
        // bound of each field is enough where the message names both, the check being shared.
        const QString table = R"(20|20|512|100;E3;20 20 512 100
 1 |1|8|1;E0;1 1 8 1
3|4|100|50;C0;5 5 32 30
0|||;E3;IDC_PACKETS;a number between 1 and 20
|21||;E3;IDC_TIMEOUT;a number between 1 and 20
||7|;E3;IDC_PACKET_SIZE;a number between 8 and 512
||4294967328|;E3;IDC_PACKET_SIZE;a number between 8 and 512
|||101;E3;IDC_HOPS;a number between 1 and 100
-1|||;E3;IDC_PACKETS;an unsigned number for Packets to Send
9|x|7|101;E3;IDC_TIMEOUT;an unsigned number for Timeout
19|3||;u0u0u0D1D1D1D1E0;20 1 32 30
12,99,-||9|99;d0d2d2d2d2d2U3U3E3;11 5 8 100)";
        for (const QString& line : table.split('\n')) {
            const QStringList row = line.split(';');
            COptionsDlg opts;
            QStringList shown;
            QTimer::singleShot(0, [&] {
                QDialog* wnd = opts.Window();
                CheckLabels(wnd, &shown);
                shown << wnd->focusWidget()->objectName();
                for (int i = 0; i < 4; ++i) {
                    for (const QString& text : row[0].section('|', i, i).split(',')) {
                        text.isEmpty() ? void() : Edit(wnd, i)->setText(text);
                    }
                }
                for (int i = 0; i + 1 < row[1].size(); i += 2) {
                    QLineEdit* e = Edit(wnd, row[1][i + 1].digitValue());
                    auto* spin = wnd->findChild<CSpinButtonCtrl*>(e->objectName() + "_SPIN");
                    QWidget* click[] = {spin->UpArrow(), spin->DownArrow(),
                                        wnd->findChild<QPushButton*>("IDCANCEL")};
                    const auto k = QString("udCUDE").indexOf(row[1][i]);
                    k < 3 ? QTest::mouseClick(click[k], Qt::LeftButton)
                          : QTest::keyClick(
                                e, std::array{Qt::Key_Up, Qt::Key_Down, Qt::Key_Return}[k - 3]);
                }
                if (wnd->isVisible()) { // the values too: nothing a worker sees meanwhile
                    shown << wnd->focusWidget()->objectName() + " " + Options(opts);
                    opts.OnCancel();
                }
            });
            opts.DoModal(nullptr);
            QCOMPARE(shown.join('|') + "|" + std::exchange(m_box, {}) + "|" + Options(opts),
                     "Options|Packets to &Send:|&Timeout:|sec|Packet Si&ze:|bytes|"
                     "Number of &Hops:|IDC_PACKETS|" +
                         (row.size() == 3 ? "|" + row[2]
                                          : row[2] + " 5 5 32 30|2 sabrevin: Please enter " +
                                                row[3] + ".|5 5 32 30"));
        }
    }

    // The sockets layer failing at start-up: the framework's box first, then the dialog runs.
    // Without the echo module, or with one that lacks one of its functions, the dialog ends
    // before its pages are set up. Neither writes settings.
    void startFailures() {
        for (const auto& [dir, after] :
             {std::pair{"", "2 sabrevin: Windows sockets initialization failed. Sabrevin - Ping"},
              std::pair{"/none", "3 Error: Unable to locate ICMP.DLL! Sabrevin"},
              std::pair{"/icmp-lacks-send",
                        "3 Error: Unable to locate required API functions! Sabrevin"}}) {
            WriteFile(m_ini, "[Options]\nTimeout=9\n");
            sockets_testing::SetStartupFault(!*dir);
            CMainDlg dlg;
            sockets_testing::SetStartupFault(false);
            dlg.SetModuleDir(QFile::encodeName(QCoreApplication::applicationDirPath() + dir));
            *dir ? dlg.DoModal() : dlg.Create();
            QCOMPARE(std::exchange(m_box, {}) + " " + dlg.windowTitle() + " " + ReadFile(m_ini),
                     QString(after) + " [Options]\nTimeout=9\n");
        }
    }

    // AddToHistory: newest first, at most 30, case counts, a known entry stays where it is; the
    // box's text is not touched, whichever entry was picked (the bottom one, then typed over). A
    // row: the list before, the entry picked, the text, the list after; %1 stands for h1|...|h30,
    // %2 for that list after "new" came, %3 and %4 for 200 and 127 'z's.
    void history() {
        const QString rows =
            QString("a;0;b;b|a a|b|c;0;b;a|b|c host;0;Host;Host|host %1;0;new;%2 "
                    "%1;29;new;%2 %1;0;h30;%1 a;0;;a ;-1;%3;%4")
                .arg(Hosts(30), "new|" + Hosts(29), QString(200, 'z'), QString(127, 'z'));
        for (const QString& line : rows.split(' ')) {
            const QStringList row = line.split(';');
            Box(PAGE_TRACE)->clear();
            Box(PAGE_TRACE)->addItems(row[0].split('|', Qt::SkipEmptyParts));
            Box(PAGE_TRACE)->setCurrentIndex(row[1].toInt());
            Box(PAGE_TRACE)->setEditText(row[2]);
            m_dlg->AddToHistory(IDC_TRACE_HOST, Box(PAGE_TRACE));
            QCOMPARE(Lists() + " " + Box(PAGE_TRACE)->currentText(), "/" + row[3] + "/ " + row[2]);
        }
    }

    // A start from a hostile file: options clamped, the lists (not in the host boxes),
    // a window lost off the screen back in view. Options set in the box, a host
    // added and a moved window come back after Exit, and Esc ends the dialog.
    void restart() {
        WriteFile(m_ini, "[Options]\nPackets to Send=4000000000\nTimeout=-3\nNumber of Hops=x\n"
                         "Packet Size=99999999999999999999\n[Window]\nLeft=999999999\nTop=999999999"
                         "\n[Hosts]\nPing Host 1=new\nPing Host 2=old\nLookup Host 1=l");
        Start();
        QCOMPARE(Options(m_dlg->Options()) + " " + Lists() + " " + Box(PAGE_PING)->currentText(),
                 "20 1 512 30 new|old//l ");
        QVERIFY(m_dlg->geometry().intersects(m_dlg->screen()->availableGeometry()));
        QTimer::singleShot(0, [this] {
            QDialog* wnd = m_dlg->Options().Window();
            for (int i = 0; i < 4; ++i) {
                Edit(wnd, i)->setText(QString("12 3 256 44").section(' ', i, i));
            }
            wnd->findChild<QPushButton*>("IDOK")->click();
        });
        Command(ID_OPTIONS)->trigger();
        Box(PAGE_PING)->setEditText("t.example");
        m_dlg->AddToHistory(IDC_PING_HOST, Box(PAGE_PING));
        const QRect moved(m_dlg->pos() + QPoint(-30, 25), m_dlg->size() + QSize(40, 20));
        m_dlg->setGeometry(moved);
        Command(ID_TOOLS_EXIT)->trigger();
        QVERIFY(!m_dlg->isVisible());
        m_dlg->DoModal(); // its end: the settings are written
        Start();
        QCOMPARE(Options(m_dlg->Options()) + " " + Lists(), "12 3 256 44 t.example|new|old//l");
        QCOMPARE(m_dlg->geometry(), moved);
        QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
        QVERIFY(!m_dlg->isVisible());
    }

    // What the store reads from a file typed by hand (plain spaces in the names) or damaged,
    // which it keeps as a backup: the window's rectangle (its edges as unsigned words, each
    // falling back on its own), the file's state, the Ping list. Then a host is added: the
    // write replaces the file by a rename, never in place (a hard link to the old file keeps
    // its bytes), only when the store syncs, and leaves a sound file. After " > ": the groups
    // and the Ping list then read. Entries above a list's count keep what they
    // held; a damaged file is replaced by one of our sections, with what could be read of them.
    // Entry 31 of a list is never read; a host is cut at 127 bytes, never inside a character.
    void store() {
        const QString sane = "100 80 460 330 sane ", damaged = "100 80 460 330 damaged ";
        for (const auto& [ini, expected] : std::initializer_list<std::pair<QByteArray, QString>>{
                 {"[Hosts]\n" + Hosts(31, "Ping Host %1=h%1", "\n").toUtf8(), sane + Hosts(30)},
                 {"[Hosts]\nPing Host 1=" + QByteArray(200, 'x') +
                      "\nPing Host 2=" + QString(64, QChar(0xE9)).toUtf8(),
                  sane + QString(127, 'x') + "|" + QString(63, QChar(0xE9))},
                 {"[Hosts]\nPing Host 1=a\nPing Host 2=b\nPing Host 4=d\n",
                  sane + "a|b > Hosts new|a|b|d"},
                 {"[Window]\nLeft=4294967196\nRight=400", "-100 80 500 330 sane "},
                 {"[Window]\nLeft=10\nTop=10\nRight=60\nBottom=30", "10 10 460 330 sane "},
                 {"[Window]\nLeft=300\nTop=4294967296", "300 80 460 330 sane "},
                 {"[Window]\nLeft=1\n\n;c\n[Hosts]\nPing%20Host%201=a\n", "1 80 559 330 sane a"},
                 {"[Options]\r\nTimeout=3\r\n", sane},
                 {"[Options\nTimeout=3\n[Stray]\nx=1\n", damaged + " > Hosts,Options new"},
                 {"[Options]\nTimeout=3\ngarbage\n", damaged},
                 {QByteArray("[Options]\nTimeout=3\0\n", 20), damaged},
                 {"[Options]\nTimeout=\xff\xfe\n", damaged},
                 {"[Options]\nTimeout=\x01\x02\n", damaged}}) {
            const QString path = WriteFile(m_dir.filePath(QString::number(qHash(ini))), ini);
            QCOMPARE(link(QFile::encodeName(path), QFile::encodeName(path + ".old")), 0);
            SettingsStore store(path);
            const QRect r = store.ReadWindowRect(QRect(100, 80, 460, 330), QSize(460, 330),
                                                 {QRect(0, 0, 1024, 768)});
            const QStringList list = store.ReadHostList("Ping Host %u");
            QString got = QString::asprintf("%d %d %d %d %s ", r.x(), r.y(), r.width(), r.height(),
                                            store.WasDamaged() ? "damaged" : "sane") +
                          list.join('|');
            QCOMPARE(ReadFile(store.BackupFileName()), store.WasDamaged() ? ini : "(none)");
            store.WriteHostList("Ping Host %u", QStringList("new") + list);
            QCOMPARE(ReadFile(path), ini);
            QVERIFY(store.Sync());
            const SettingsStore again(path);
            if (expected.contains(" > ")) {
                got += " > " + QSettings(path, QSettings::IniFormat).childGroups().join(',') + " " +
                       again.ReadHostList("Ping Host %u").join('|');
            }
            QCOMPARE(got + " " + ReadFile(path + ".old") + QString::number(again.WasDamaged()),
                     expected + " " + ini + "0");
        }
    }
};

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
