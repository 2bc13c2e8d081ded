// The settings file: what the store reads from hand-written, hostile and damaged files, how it
// writes them, and what of the main dialog survives a restart (options, histories, window).

#include "app/settings_store.h"
#include "res/resource.h"
#include "ui/main_dlg.h"
#include "ui/menu.h"

#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <sys/stat.h>

#include <functional>

namespace {

const QRect kAsCreated(100, 80, 460, 330);
const QSize kMinimum(460, 330);
const QList<QRect> kScreens{QRect(0, 0, 1024, 768)};
int g_nWrites = 0;

// Writes a file by hand, with a modification time of its own so that no cached copy of an
// earlier file is taken for it.
void WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    f.setFileTime(QDateTime::currentDateTime().addSecs(++g_nWrites),
                  QFileDevice::FileModificationTime);
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

QString IniPath() {
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Varnstead/sabrevin.ini";
}

QComboBox* Box(CMainDlg* dlg, int id) {
    return static_cast<QComboBox*>(dlg->GetDlgItem(id));
}

QString Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) {
        items << box->itemText(i);
    }
    return items.join('|');
}

void Add(CMainDlg* dlg, int id, const QString& text) {
    Box(dlg, id)->setEditText(text);
    dlg->AddToHistory(id, Box(dlg, id));
}

QString Options(CMainDlg* dlg) {
    const COptionsDlg& o = dlg->Options();
    return QString("%1 %2 %3 %4")
        .arg(o.m_nPackets)
        .arg(o.m_nTimeout)
        .arg(o.m_nPacketSize)
        .arg(o.m_nHops);
}

// Runs a main dialog modally, does steps inside it, then ends it with Esc.
void RunDialog(const std::function<void(CMainDlg*)>& steps) {
    CMainDlg dlg;
    bool escEnded = true;
    QTimer::singleShot(0, &dlg, [&] {
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        steps(&dlg);
        if (dlg.isVisible()) {
            QTest::keyClick(&dlg, Qt::Key_Escape);
            escEnded = !dlg.isVisible();
            dlg.OnCancel();
        }
    });
    dlg.DoModal();
    QVERIFY2(escEnded, "Esc did not end the dialog");
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_path;

private Q_SLOTS:
    void init() {
        // A folder per case: QSettings caches files by name within a process.
        m_path = m_dir.filePath(QString("case%1/sabrevin.ini").arg(++g_nWrites));
        QFile::remove(IniPath());
        QFile::remove(IniPath() + ".bak");
    }

    // What the store reads from a file typed by hand (plain spaces in the names).
    void storeReads_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* tag, const QByteArray& ini, const char* what,
                            const QString& expected) {
            QTest::newRow(tag) << ini << QString(what) << expected;
        };
        row("packets huge", "[Options]\nPackets to Send=4000000000", "packets", "20");
        row("size: digits beyond any integer", "[Options]\nPacket Size=99999999999999999999",
            "size", "512");
        row("size negative", "[Options]\nPacket Size=-5", "size", "8");
        row("packets no number: as before", "[Options]\nPackets to Send=lots", "packets", "5");
        row("size empty: as before", "[Options]\nPacket Size=", "size", "32");
        row("packets in range, blanks around", "[Options]\nPackets to Send= 9 ", "packets", "9");
        row("unsigned word read as signed", "[Window]\nLeft=4294967286", "left", "-10");
        row("int beyond 32 bits", "[Window]\nLeft=4294967296", "left", "7");
        row("int no number", "[Window]\nLeft=abc", "left", "7");
        row("a gap ends the list", "[Hosts]\nPing Host 1=a\nPing Host 2=b\nPing Host 4=d", "hosts",
            "a|b");
        QByteArray full = "[Hosts]";
        QStringList thirty;
        for (int n = 1; n <= 31; ++n) {
            full += "\nPing%20Host%20" + QByteArray::number(n) + "=h" + QByteArray::number(n);
            thirty << QString("h%1").arg(n);
        }
        row("entry 31 is never read", full, "hosts", thirty.mid(0, 30).join('|'));
        // 64 two-byte characters: the cut at 127 bytes must not split the last one.
        row("hosts cut to 127 bytes",
            "[Hosts]\nPing Host 1=" + QByteArray(10000, 'x') +
                "\nPing Host 2=" + QString(64, QChar(0xE9)).toUtf8(),
            "hosts", QString(127, 'x') + "|" + QString(63, QChar(0xE9)));
        row("window partly off the screen", "[Window]\nLeft=-100\nTop=10\nRight=400\nBottom=410",
            "rect", "-100 10 500 400");
        row("window below the minimum size", "[Window]\nLeft=10\nTop=10\nRight=60\nBottom=30",
            "rect", "10 10 460 330");
        row("window wholly off the screen",
            "[Window]\nLeft=5000\nTop=5000\nRight=5500\nBottom=5400", "rect", "100 80 460 330");
        row("window: each edge falls back on its own", "[Window]\nLeft=300", "rect",
            "300 80 460 330");
    }
    void storeReads() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, what);
        QFETCH(QString, expected);
        WriteFile(m_path, ini);
        SettingsStore store(m_path);
        QString got;
        if (what == "packets" || what == "size") {
            got = QString::number(what == "packets" ? store.ReadOption(OPT_PACKETS, 5)
                                                    : store.ReadOption(OPT_PACKET_SIZE, 32));
        } else if (what == "left") {
            got = QString::number(store.GetProfileInt("Window", "Left", 7));
        } else if (what == "hosts") {
            got = store.ReadHostList("Ping Host %u").join('|');
        } else {
            const QRect r = store.ReadWindowRect(kAsCreated, kMinimum, kScreens);
            got = QString("%1 %2 %3 %4").arg(r.left()).arg(r.top()).arg(r.width()).arg(r.height());
        }
        QCOMPARE(got, expected);
    }

    void recognisesSettingsFiles_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("sane");
        const auto row = [](const char* tag, const QByteArray& bytes, bool sane) {
            QTest::newRow(tag) << bytes << sane;
        };
        row("ours", "[Window]\nLeft=1\n\n; note\n[Hosts]\nPing%20Host%201=a\n", true);
        row("CRLF", "[Options]\r\nTimeout=3\r\n", true);
        row("broken header", "[Options\nTimeout=3\n", false);
        row("stray line", "[Options]\nTimeout=3\ngarbage\n", false);
        row("NUL byte", QByteArray("[Options]\nTimeout=3\0\n", 20), false);
        row("not UTF-8", "[Hosts]\nPing%20Host%201=\xff\xfe\n", false);
        row("control bytes", "[Hosts]\nA=\x01\x02\n", false);
    }
    void recognisesSettingsFiles() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, sane);
        QCOMPARE(LooksLikeSettingsFile(bytes), sane);
    }

    // A damaged file: what can be read is used, the original is kept as .bak and stays as it
    // is until the store writes, which leaves a clean file of our sections only.
    void damagedFilesAreKeptAndReplaced_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<uint>("timeout");
        QByteArray random(3000, '\0');
        quint32 seed = 12345;
        for (char& c : random) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>(seed >> 24);
        }
        QTest::newRow("3000 random bytes") << random << 5u;
        QTest::newRow("broken header")
            << QByteArray("[Options\nTimeout=3\n[Window]\nLeft=5\n[Stray]\nx=1\n") << 3u;
    }
    void damagedFilesAreKeptAndReplaced() {
        QFETCH(QByteArray, bytes);
        QFETCH(uint, timeout);
        WriteFile(m_path, bytes);
        {
            SettingsStore store(m_path);
            QVERIFY(store.WasDamaged());
            QCOMPARE(ReadFile(m_path + ".bak"), bytes);
            QCOMPARE(store.ReadOption(OPT_TIMEOUT, 5), timeout);
            QCOMPARE(ReadFile(m_path), bytes);
            store.WriteHostList("Ping Host %u", {"kept.example"});
            QVERIFY(store.Sync());
        }
        QVERIFY(LooksLikeSettingsFile(ReadFile(m_path)));
        QCOMPARE(ReadFile(m_path + ".bak"), bytes);
        SettingsStore store(m_path);
        QVERIFY(!store.WasDamaged());
        QCOMPARE(store.ReadHostList("Ping Host %u"), QStringList{"kept.example"});
        for (const QString& key : QSettings(m_path, QSettings::IniFormat).allKeys()) {
            QVERIFY2(QStringList({"Options", "Hosts", "Window"}).contains(key.section('/', 0, 0)),
                     qPrintable(key));
        }
    }

    // The file is replaced by a rename, never rewritten in place, and entries above the
    // list's count keep what they held: with 1, 2 and 4 stored and one host added, 1 to 3
    // are written and 4 comes back as the fourth.
    void writesReplaceTheFileByRename() {
        WriteFile(m_path, "[Hosts]\nPing%20Host%201=a\nPing%20Host%202=b\nPing%20Host%204=d\n");
        struct stat before {};
        QCOMPARE(stat(QFile::encodeName(m_path).constData(), &before), 0);
        {
            SettingsStore store(m_path);
            store.WriteHostList("Ping Host %u",
                                QStringList("new") + store.ReadHostList("Ping Host %u"));
            QVERIFY(store.Sync());
        }
        struct stat after {};
        QCOMPARE(stat(QFile::encodeName(m_path).constData(), &after), 0);
        QVERIFY(before.st_ino != after.st_ino);
        for (const QString& name : QFileInfo(m_path).dir().entryList(QDir::Files)) {
            QVERIFY2(name == "sabrevin.ini" || name.endsWith(".lock"), qPrintable(name));
        }
        QCOMPARE(SettingsStore(m_path).ReadHostList("Ping Host %u"),
                 (QStringList{"new", "a", "b", "d"}));
    }

    // The dialog's start from a stored file, and what its end writes back.
    void dialogStart_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("hosts"); // Ping, Trace, Lookup lists
        QTest::addColumn<QStringList>("groups");
        QTest::newRow("first run: the defaults") << QByteArray() << "5 5 32 30"
                                                 << "||" << QStringList{"Options", "Window"};
        QTest::newRow("stored history, hostile values, window off the screen")
            << QByteArray("[Options]\nPackets to Send=7\nPacket Size=100000\nTimeout=-3\n"
                          "Number of Hops=many\n[Hosts]\nPing Host 1=new\nPing Host 2=old\n"
                          "Lookup Host 1=l\n[Window]\nLeft=999999999\nTop=999999999\n")
            << "7 1 512 30"
            << "new|old||l" << QStringList{"Hosts", "Options", "Window"};
    }
    void dialogStart() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, options);
        QFETCH(QString, hosts);
        QFETCH(QStringList, groups);
        if (!ini.isEmpty()) {
            WriteFile(IniPath(), ini);
        }
        RunDialog([&](CMainDlg* dlg) {
            QCOMPARE(Options(dlg), options);
            QCOMPARE(Items(Box(dlg, IDC_PING_HOST)) + "|" + Items(Box(dlg, IDC_TRACE_HOST)) + "|" +
                         Items(Box(dlg, IDC_LOOKUP_HOST)),
                     hosts);
            for (int id : {IDC_PING_HOST, IDC_TRACE_HOST, IDC_LOOKUP_HOST}) {
                QCOMPARE(Box(dlg, id)->currentText(), QString()); // a history fills no box
            }
            QVERIFY(dlg->geometry().intersects(dlg->screen()->availableGeometry()));
            QCOMPARE(dlg->size(), QSize(dlg->InitWidth(), dlg->InitHeight()));
        });
        QSettings written(IniPath(), QSettings::IniFormat);
        QCOMPARE(written.childGroups(), groups);
        QStringList values;
        for (const char* key : {"Packets to Send", "Timeout", "Packet Size", "Number of Hops"}) {
            values << written.value(QString("Options/") + key).toString();
        }
        QCOMPARE(values.join(' '), options);
    }

    // Options set through the menu and directly, histories and a moved window come back at
    // the next start after Tools > Exit.
    void aRestartKeepsWhatTheUserDid() {
        QRect moved;
        RunDialog([&](CMainDlg* dlg) {
            QTimer::singleShot(0, [dlg] {
                QDialog* wnd = dlg->Options().Window();
                QVERIFY(wnd != nullptr);
                wnd->findChild<QLineEdit*>("IDC_PACKETS")->setText("12");
                wnd->findChild<QLineEdit*>("IDC_PACKET_SIZE")->setText("256");
                wnd->findChild<QPushButton*>("IDOK")->click();
            });
            dlg->GetMenu()->Command(ID_OPTIONS)->trigger();
            dlg->Options().m_nTimeout = 3;
            dlg->Options().m_nHops = 44;
            for (const char* host : {"a.example", "b.example", "127.0.0.1"}) {
                Add(dlg, IDC_PING_HOST, host);
            }
            Add(dlg, IDC_LOOKUP_HOST, "lookup.example");
            moved = QRect(dlg->geometry().topLeft() + QPoint(-30, 25), dlg->size() + QSize(40, 20));
            dlg->setGeometry(moved);
            dlg->GetMenu()->Command(ID_TOOLS_EXIT)->trigger();
            QVERIFY(!dlg->isVisible());
        });
        RunDialog([&](CMainDlg* dlg) {
            QCOMPARE(Options(dlg), QString("12 3 256 44"));
            QCOMPARE(Items(Box(dlg, IDC_PING_HOST)), QString("127.0.0.1|b.example|a.example"));
            QCOMPARE(Items(Box(dlg, IDC_TRACE_HOST)), QString());
            QCOMPARE(Items(Box(dlg, IDC_LOOKUP_HOST)), QString("lookup.example"));
            QCOMPARE(dlg->geometry(), moved);
        });
    }

    // Maximised, the rectangle stored is the normal one.
    void theNormalRectangleIsStored() {
        QRect normal;
        RunDialog([&](CMainDlg* dlg) {
            normal = QRect(dlg->geometry().topLeft() + QPoint(10, 10), dlg->size());
            dlg->setGeometry(normal);
            dlg->showMaximized();
            // The offscreen platform moves no window on a state change; a window manager would.
            dlg->windowHandle()->setGeometry(dlg->screen()->availableGeometry());
            QTRY_VERIFY(dlg->isMaximized() && dlg->geometry().width() > normal.width() + 100);
        });
        RunDialog([&](CMainDlg* dlg) { QCOMPARE(dlg->geometry(), normal); });
    }

    // A start that stops before the settings are read writes nothing.
    void aFailedStartWritesNothing() {
        const QByteArray stored = "[Options]\nTimeout=9\n[Hosts]\nPing%20Host%201=kept\n";
        WriteFile(IniPath(), stored);
        QTemporaryDir empty;
        CMainDlg dlg;
        dlg.SetModuleDir(QFile::encodeName(empty.path()));
        QTimer::singleShot(0, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                box->accept();
            }
        });
        dlg.DoModal();
        QCOMPARE(ReadFile(IniPath()), stored);
    }

    // AddToHistory: the text in the box is not touched, whichever entry was picked.
    void history_data() {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<int>("picked");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("after");
        const auto row = [](const char* tag, const QStringList& before, int picked,
                            const QString& text, const QStringList& after) {
            QTest::newRow(tag) << before << picked << text << after;
        };
        QStringList thirty;
        for (int i = 1; i <= 30; ++i) {
            thirty << QString("h%1").arg(i);
        }
        const QStringList thirtyAfter = QStringList("new") + thirty.mid(0, 29);
        row("newest first", {"a"}, 0, "b", {"b", "a"});
        row("known stays where it is", {"a", "b", "c"}, 0, "b", {"a", "b", "c"});
        row("case counts", {"host"}, 0, "Host", {"Host", "host"});
        row("a full list drops its bottom", thirty, 0, "new", thirtyAfter);
        row("the bottom picked, then typed", thirty, 29, "new", thirtyAfter);
        row("known in a full list", thirty, 0, "h30", thirty);
        row("empty text is not added", {"a"}, 0, "", {"a"});
        row("long text is cut", {}, -1, QString(200, 'z'), {QString(127, 'z')});
    }
    void history() {
        QFETCH(QStringList, before);
        QFETCH(int, picked);
        QFETCH(QString, text);
        QFETCH(QStringList, after);
        RunDialog([&](CMainDlg* dlg) {
            QComboBox* box = Box(dlg, IDC_TRACE_HOST);
            box->addItems(before);
            box->setCurrentIndex(picked);
            Add(dlg, IDC_TRACE_HOST, text);
            QCOMPARE(Items(box), after.join('|'));
            QCOMPARE(box->currentText(), text);
        });
    }
};

int main(int argc, char** argv) {
    // Never the user's own settings: a folder of this run's own.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Varnstead");
    QCoreApplication::setApplicationName("sabrevin");
    TestSettings t;
    return QTest::qExec(&t, argc, argv);
}
#include "test_settings.moc"
