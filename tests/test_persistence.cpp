// What survives a restart of the main dialog: options, host histories and the window, read
// from and written to the user's settings file; and the host histories themselves.

#include "app/settings_store.h"
#include "res/resource.h"
#include "ui/main_dlg.h"
#include "ui/menu.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <functional>

namespace {

QString IniPath() {
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Varnstead/sabrevin.ini";
}

int g_nWrites = 0;

// Writes the settings file by hand, with a modification time of its own so that no cached
// copy of an earlier file is taken for it.
void WriteIni(const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(IniPath()).path());
    QFile f(IniPath());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    f.setFileTime(QDateTime::currentDateTime().addSecs(++g_nWrites),
                  QFileDevice::FileModificationTime);
}

// Runs a main dialog modally, does steps inside it, then ends it with Esc.
void RunDialog(const std::function<void(CMainDlg*)>& steps) {
    CMainDlg dlg;
    QTimer::singleShot(0, &dlg, [&dlg, steps] {
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        steps(&dlg);
        if (dlg.isVisible()) {
            dlg.OnCancel();
        }
    });
    dlg.DoModal();
}

QComboBox* Box(CMainDlg* dlg, int id) {
    return static_cast<QComboBox*>(dlg->GetDlgItem(id));
}

QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) {
        items << box->itemText(i);
    }
    return items;
}

void Add(CMainDlg* dlg, int id, const QString& text) {
    Box(dlg, id)->setEditText(text);
    dlg->AddToHistory(id, Box(dlg, id));
}

} // namespace

class TestPersistence : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        QFile::remove(IniPath());
        QFile::remove(IniPath() + ".bak");
    }

    void firstRunWritesWindowAndOptionsOnly() {
        RunDialog([](CMainDlg*) {});
        QSettings ini(IniPath(), QSettings::IniFormat);
        QCOMPARE(ini.childGroups(), (QStringList{"Options", "Window"}));
        ini.beginGroup("Window");
        QCOMPARE(ini.childKeys().size(), 4);
        ini.endGroup();
        QCOMPARE(ini.value("Options/Packets to Send").toInt(), 5);
        QCOMPARE(ini.value("Options/Timeout").toInt(), 5);
        QCOMPARE(ini.value("Options/Packet Size").toInt(), 32);
        QCOMPARE(ini.value("Options/Number of Hops").toInt(), 30);
    }

    void firstRunShowsTheDefaults() {
        RunDialog([](CMainDlg* dlg) {
            QCOMPARE(dlg->Options().m_nPackets.load(), 5u);
            QCOMPARE(dlg->Options().m_nTimeout.load(), 5u);
            QCOMPARE(dlg->Options().m_nPacketSize.load(), 32u);
            QCOMPARE(dlg->Options().m_nHops.load(), 30u);
            QCOMPARE(Box(dlg, IDC_PING_HOST)->count(), 0);
            QCOMPARE(dlg->size(), QSize(dlg->InitWidth(), dlg->InitHeight()));
        });
    }

    // Options changed through the menu, three pings' worth of history and a moved window
    // come back at the next start.
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
            for (const char* host : {"a.example", "b.example", "127.0.0.1"}) {
                Add(dlg, IDC_PING_HOST, host);
            }
            Add(dlg, IDC_LOOKUP_HOST, "lookup.example");
            moved = QRect(dlg->geometry().topLeft() + QPoint(-30, 25), dlg->size() + QSize(40, 20));
            dlg->setGeometry(moved);
        });
        RunDialog([&](CMainDlg* dlg) {
            QCOMPARE(dlg->Options().m_nPackets.load(), 12u);
            QCOMPARE(dlg->Options().m_nPacketSize.load(), 256u);
            QCOMPARE(dlg->Options().m_nHops.load(), 30u);
            QCOMPARE(Items(Box(dlg, IDC_PING_HOST)),
                     (QStringList{"127.0.0.1", "b.example", "a.example"}));
            QCOMPARE(Items(Box(dlg, IDC_TRACE_HOST)), QStringList());
            QCOMPARE(Items(Box(dlg, IDC_LOOKUP_HOST)), QStringList{"lookup.example"});
            QCOMPARE(dlg->geometry(), moved);
        });
    }

    void exitWritesTheSettingsAsTheCloseBoxDoes() {
        RunDialog([](CMainDlg* dlg) {
            dlg->Options().m_nHops = 44;
            Add(dlg, IDC_TRACE_HOST, "exit.example");
            dlg->GetMenu()->Command(ID_TOOLS_EXIT)->trigger();
            QVERIFY(!dlg->isVisible());
        });
        QSettings ini(IniPath(), QSettings::IniFormat);
        QCOMPARE(ini.value("Options/Number of Hops").toInt(), 44);
        QCOMPARE(ini.value("Hosts/Trace Host 1").toString(), QString("exit.example"));
    }

    void optionsThenCancelChangesNothing() {
        RunDialog([](CMainDlg* dlg) {
            QTimer::singleShot(0, [dlg] {
                QDialog* wnd = dlg->Options().Window();
                wnd->findChild<QLineEdit*>("IDC_HOPS")->setText("99");
                wnd->findChild<QPushButton*>("IDCANCEL")->click();
            });
            dlg->GetMenu()->Command(ID_OPTIONS)->trigger();
            QCOMPARE(dlg->Options().m_nHops.load(), 30u);
        });
        QCOMPARE(QSettings(IniPath(), QSettings::IniFormat).value("Options/Number of Hops").toInt(),
                 30);
    }

    // With the entries 1, 2 and 4 stored, the list starts with two; one host added, entries 1
    // to 3 are written and the old 4 comes back as the fourth.
    void aGapInTheNumbering() {
        WriteIni("[Hosts]\nPing%20Host%201=one\nPing%20Host%202=two\nPing%20Host%204=four\n");
        RunDialog([](CMainDlg* dlg) {
            QCOMPARE(Items(Box(dlg, IDC_PING_HOST)), (QStringList{"one", "two"}));
            Add(dlg, IDC_PING_HOST, "new");
        });
        RunDialog([](CMainDlg* dlg) {
            QCOMPARE(Items(Box(dlg, IDC_PING_HOST)), (QStringList{"new", "one", "two", "four"}));
        });
    }

    void theNormalRectangleIsStored_data() {
        QTest::addColumn<bool>("maximise");
        QTest::newRow("maximised") << true;
        QTest::newRow("minimised") << false;
    }
    void theNormalRectangleIsStored() {
        QFETCH(bool, maximise);
        QRect normal;
        RunDialog([&](CMainDlg* dlg) {
            normal = QRect(dlg->geometry().topLeft() + QPoint(10, 10), dlg->size());
            dlg->setGeometry(normal);
            if (maximise) {
                dlg->showMaximized();
            } else {
                dlg->showMinimized();
            }
            QTRY_VERIFY(maximise ? dlg->isMaximized() : dlg->isMinimized());
            // The offscreen platform moves no window on a state change; a window manager would.
            if (maximise) {
                dlg->windowHandle()->setGeometry(dlg->screen()->availableGeometry());
                QTRY_VERIFY(dlg->geometry().width() > normal.width() + 100);
                QVERIFY(dlg->isMaximized());
            }
        });
        RunDialog([&](CMainDlg* dlg) { QCOMPARE(dlg->geometry(), normal); });
    }

    // A hand-corrupted file: the program starts with what it can read, the file is kept as
    // .bak, and the end of the run leaves a clean file.
    void aCorruptFileIsKeptAndReplaced() {
        QByteArray junk;
        for (int i = 0; i < 3000; ++i) {
            junk += static_cast<char>((i * 7919) % 251);
        }
        WriteIni(junk);
        RunDialog([](CMainDlg* dlg) {
            QCOMPARE(dlg->Options().m_nTimeout.load(), 5u);
            QCOMPARE(dlg->windowTitle(), QString("Sabrevin - Ping"));
        });
        QFile bak(IniPath() + ".bak");
        QVERIFY(bak.open(QIODevice::ReadOnly));
        QCOMPARE(bak.readAll(), junk);
        QFile ini(IniPath());
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QVERIFY(LooksLikeSettingsFile(ini.readAll()));
    }

    // Start-up that stops before the settings are read writes nothing: the stored window,
    // options and lists survive.
    void aFailedStartWritesNothing() {
        const QByteArray stored = "[Options]\nTimeout=9\n[Hosts]\nPing%20Host%201=kept\n"
                                  "[Window]\nLeft=10\nTop=10\nRight=600\nBottom=400\n";
        WriteIni(stored);
        QTemporaryDir empty;
        CMainDlg dlg;
        dlg.SetModuleDir(QFile::encodeName(empty.path()));
        QString text;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                box->accept();
            }
        });
        dlg.DoModal();
        QCOMPARE(text, QString("Unable to locate ICMP.DLL!"));
        QFile ini(IniPath());
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QCOMPARE(ini.readAll(), stored);
    }

    void hostileValuesAreTamed() {
        WriteIni("[Options]\nPacket%20Size=100000\nTimeout=-3\nNumber%20of%20Hops=many\n"
                 "[Hosts]\nTrace%20Host%201=" +
                 QByteArray(10000, 'x') +
                 "\n"
                 "[Window]\nLeft=999999999\nTop=999999999\nRight=-5\nBottom=x\n");
        RunDialog([](CMainDlg* dlg) {
            QCOMPARE(dlg->Options().m_nPacketSize.load(), 512u);
            QCOMPARE(dlg->Options().m_nTimeout.load(), 1u);
            QCOMPARE(dlg->Options().m_nHops.load(), 30u);
            QCOMPARE(Items(Box(dlg, IDC_TRACE_HOST)), QStringList{QString(127, 'x')});
            // Nowhere on a screen: the window comes up as created.
            QVERIFY(dlg->geometry().intersects(dlg->screen()->availableGeometry()));
            QCOMPARE(dlg->size(), QSize(dlg->InitWidth(), dlg->InitHeight()));
        });
    }

    // AddToHistory on its own.
    void history_data() {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("after");
        QStringList thirty;
        for (int i = 1; i <= 30; ++i) {
            thirty << QString("h%1").arg(i);
        }
        QStringList thirtyAfter = thirty.mid(0, 29);
        thirtyAfter.prepend("new");
        QTest::newRow("into an empty list") << QStringList() << "a" << QStringList{"a"};
        QTest::newRow("newest first") << QStringList{"a"} << "b" << QStringList{"b", "a"};
        QTest::newRow("known at the bottom stays")
            << QStringList{"a", "b", "c"} << "c" << QStringList{"a", "b", "c"};
        QTest::newRow("known in the middle stays")
            << QStringList{"a", "b", "c"} << "b" << QStringList{"a", "b", "c"};
        QTest::newRow("case counts")
            << QStringList{"host"} << "Host" << QStringList{"Host", "host"};
        QTest::newRow("a full list drops its bottom") << thirty << "new" << thirtyAfter;
        QTest::newRow("known in a full list") << thirty << "h30" << thirty;
        QTest::newRow("empty text is not added") << QStringList{"a"} << "" << QStringList{"a"};
        QTest::newRow("long text is cut")
            << QStringList() << QString(200, 'z') << QStringList{QString(127, 'z')};
    }
    void history() {
        QFETCH(QStringList, before);
        QFETCH(QString, text);
        QFETCH(QStringList, after);
        RunDialog([&](CMainDlg* dlg) {
            QComboBox* box = Box(dlg, IDC_TRACE_HOST);
            box->addItems(before);
            Add(dlg, IDC_TRACE_HOST, text);
            QCOMPARE(Items(box), after);
            QCOMPARE(box->currentText(), text); // the edit field is not touched
            QVERIFY(box->count() <= HISTORY_MAX);
        });
    }

    // The user picked the bottom entry and then typed another host: the bottom entry goes,
    // and the box still shows what was typed.
    void aFullListKeepsTheTypedText() {
        RunDialog([](CMainDlg* dlg) {
            QComboBox* box = Box(dlg, IDC_LOOKUP_HOST);
            for (int i = 1; i <= 30; ++i) {
                box->addItem(QString("h%1").arg(i));
            }
            box->setCurrentIndex(29);
            Add(dlg, IDC_LOOKUP_HOST, "typed");
            QCOMPARE(box->count(), 30);
            QCOMPARE(box->itemText(0), QString("typed"));
            QCOMPARE(box->currentText(), QString("typed"));
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
    TestPersistence t;
    return QTest::qExec(&t, argc, argv);
}
#include "test_persistence.moc"
