// Ping and Trace results as data: the records the workers fill on the simulated network with
// their statistics and RTT tooltips, export, the statistics window and the tree's context menu.

#include "net/icmp/icmp_sim.h"
#include "net/run_record.h"
#include "net/sockets.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/main_dlg.h"
#include "ui/run_window.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QClipboard>
#include <QComboBox>
#include <QJsonDocument>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

// Three pings, the second lost.
const char* kPingScript = "10.0.0.9 * 10.0.0.9 delay=3 ttl=60\n"
                          "10.0.0.9 * none delay=5\n"
                          "10.0.0.9 * 10.0.0.9 delay=4 ttl=61\n";
// Hop 1 answers its third request, hop 2 none of its four, hop 3 is the target.
const char* kTraceScript = "10.0.0.9 1 none delay=1\n10.0.0.9 1 none delay=1\n"
                           "10.0.0.9 1 10.0.0.1 delay=2 ttl=255\n"
                           "10.0.0.9 2 none delay=1\n"
                           "10.0.0.9 3-* 10.0.0.9 delay=4 ttl=61\n";

QDateTime At(qint64 ms) { // 2023-11-14T22:13:20.000Z + ms
    return QDateTime::fromMSecsSinceEpoch(1700000000000 + ms, Qt::UTC);
}

} // namespace

class TestRunRecord : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;
    PFN_IcmpSimLoadScript m_load = nullptr;

    void Start(int page, const char* script, uint32_t count) {
        QCOMPARE(m_load(script), 0);
        m_dlg->Options().m_nPackets = count;
        m_dlg->Options().m_nHops = count + 1; // told apart in the record
        static_cast<QComboBox*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_HOST : IDC_TRACE_HOST))
            ->setEditText("10.0.0.9");
        page == PAGE_PING ? m_dlg->OnPingStart() : m_dlg->OnTraceStart();
    }
    void WaitIdle(int page) {
        auto* button = static_cast<QPushButton*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_START : IDC_TRACE_START));
        QTRY_VERIFY_WITH_TIMEOUT(button->text() == "&Start" && button->isEnabled(), 10000);
    }
    void Run(int page, const char* script, uint32_t count) {
        Start(page, script, count);
        WaitIdle(page);
    }
    ReportTree& Tree(int page) { return m_dlg->Tree(page); }

private Q_SLOTS:
    void init() {
        QFile::remove(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Varnstead/" +
                      QCoreApplication::applicationName() + ".ini");
        sockets_testing::SetDnsServers("127.0.0.1:9"); // hop names: nobody answers
        m_dlg = std::make_unique<CMainDlg>();
        m_dlg->SetModuleDir(
            QFile::encodeName(QCoreApplication::applicationDirPath() + "/icmp-sim"));
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
        m_load = reinterpret_cast<PFN_IcmpSimLoadScript>(
            dlsym(m_dlg->Icmp().hModule, "IcmpSimLoadScript"));
        QVERIFY(m_load != nullptr);
        m_dlg->Options().m_nTimeout = 1;
    }
    void cleanup() {
        m_dlg.reset();
        m_load(nullptr);
    }

    // Known runs: each result as recorded with its RTT item's tooltip, and the statistics.
    void recordAndStatisticsOfKnownRuns_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("script");
        QTest::addColumn<uint32_t>("count");
        QTest::addColumn<QStringList>("results"); // seq kind rtt_us from ttl size tries|tooltip
        QTest::addColumn<QString>("statistics");
        QTest::newRow("ping, the second of three lost")
            << int(PAGE_PING) << kPingScript << 3u
            << QStringList{"1 reply 3000 10.0.0.9 60 32 1|3.000 ms", "2 timed-out 0  0 0 1|",
                           "3 reply 4000 10.0.0.9 61 32 1|4.000 ms"}
            << "Ping statistics for 10.0.0.9\n"
               "Sent: 3, received: 2, lost: 1 (33.3333%)\n"
               "Round trip min/avg/max/mdev: 3.000/3.500/4.000/0.500 ms\n";
        QTest::newRow("ping, lost and another node: none received")
            << int(PAGE_PING)
            << "10.0.0.9 * none delay=2\n"
               "10.0.0.9 * 10.0.0.1 delay=2 status=host-unreachable ttl=254\n"
            << 2u
            << QStringList{"1 timed-out 0  0 0 1|", "2 other-node 2000 10.0.0.1 254 0 1|2.000 ms"}
            << "Ping statistics for 10.0.0.9\nSent: 2, received: 0, lost: 2 (100%)\n";
        QTest::newRow("ping, one packet")
            << int(PAGE_PING) << "10.0.0.9 * 10.0.0.9 delay=7 ttl=57" << 1u
            << QStringList{"1 reply 7000 10.0.0.9 57 32 1|7.000 ms"}
            << "Ping statistics for 10.0.0.9\n"
               "Sent: 1, received: 1, lost: 0 (0%)\n"
               "Round trip min/avg/max/mdev: 7.000/7.000/7.000/0.000 ms\n";
        QTest::newRow("trace, a hop on its third try and a silent one")
            << int(PAGE_TRACE) << kTraceScript << 30u
            << QStringList{"1 hop 2000 10.0.0.1 255 0 3|2.000 ms", "2 timed-out 0  0 0 4|",
                           "3 target 4000 10.0.0.9 61 32 1|4.000 ms"}
            << "Trace statistics for 10.0.0.9\n"
               "Hop\tAddress\tName\tRound trip\tTries\n"
               "1\t10.0.0.1\t\t2.000 ms\t3\n"
               "2\t\t\ttimed out\t4\n"
               "3\t10.0.0.9\t\t4.000 ms\t1\n";
    }
    void recordAndStatisticsOfKnownRuns() {
        QFETCH(int, page);
        QFETCH(QString, script);
        QFETCH(uint32_t, count);
        QFETCH(QStringList, results);
        QFETCH(QString, statistics);
        const QDateTime before = QDateTime::currentDateTimeUtc();
        Run(page, script.toUtf8().constData(), count);
        const QList<const RunRecord*> runs = Tree(page).Runs().Runs();
        QCOMPARE(runs.size(), 1);
        const RunRecord* run = runs[0];
        const RunOptions& o = run->options;
        QCOMPARE((std::vector<uint32_t>{o.packets, o.timeout, o.size, o.hops}),
                 (std::vector<uint32_t>{count, 1, 32, count + 1}));
        QStringList got;
        QDateTime last = before.addMSecs(-1);
        QVERIFY(run->started >= last);
        const QTreeWidgetItem* root = Tree(page).ItemOf(Tree(page).Root());
        QCOMPARE(root->childCount(), int(run->results.size()));
        for (size_t i = 0; i < run->results.size(); ++i) {
            const ResultRecord& r = run->results[i];
            QVERIFY(r.sent >= last); // in the order sent
            last = r.sent;
            const QTreeWidgetItem* item = root->child(int(i));
            got << QString::asprintf("%u %s %llu %s %u %u %u|", r.seq, ResultKindName(r.kind),
                                     static_cast<unsigned long long>(r.rttUs), qPrintable(r.from),
                                     r.ttl, r.dataSize, r.tries) +
                       (item->childCount() > 1 ? item->child(1)->toolTip(0) : QString());
        }
        QCOMPARE(got, results);
        QCOMPARE(StatisticsText(*run), statistics);
    }

    // Stopped midway (the request under way still counts) or cleared while running (the rest
    // goes nowhere, the window closes), then run again.
    void recordsFollowTheRoots_data() {
        QTest::addColumn<bool>("clear");
        QTest::newRow("stopped midway") << false;
        QTest::newRow("cleared while running") << true;
    }
    void recordsFollowTheRoots() {
        QFETCH(bool, clear);
        Start(PAGE_PING, "10.0.0.9 * 10.0.0.9 delay=150", 5);
        const HTREEITEM first = Tree(PAGE_PING).Root();
        QTRY_COMPARE(Tree(PAGE_PING).ItemOf(first)->childCount(), 1);
        QPointer<RunStatsWindow> window = OpenRunStatistics(&Tree(PAGE_PING), first);
        clear ? m_dlg->OnClearCurrent() : m_dlg->OnPingStart();
        WaitIdle(PAGE_PING);
        QTRY_COMPARE(bool(window), !clear);
        Run(PAGE_PING, "10.0.0.9 * 10.0.0.9 delay=1", 2);
        const QList<const RunRecord*> runs = Tree(PAGE_PING).Runs().Runs();
        QCOMPARE(runs.size(), clear ? 1 : 2);
        QCOMPARE(Tree(PAGE_PING).Runs().Find(Tree(PAGE_PING).Root().id), runs.back());
        QCOMPARE(runs.back()->results.size(), size_t{2});
        if (!clear) {
            const size_t n = runs[0]->results.size();
            QCOMPARE(int(n), Tree(PAGE_PING).ItemOf(first)->childCount());
            QVERIFY(n >= 1 && n < 5);
            QCOMPARE(StatisticsText(*runs[0]),
                     QString("Ping statistics for 10.0.0.9\nSent: %1, received: %1, lost: 0 (0%)\n"
                             "Round trip min/avg/max/mdev: 150.000/150.000/150.000/0.000 ms\n")
                         .arg(n));
        }
    }

    // A page's runs saved in the format the file name asks for, exactly.
    void exportFormats_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("expected"); // empty: the tree's "Copy All" text
        QTest::newRow("plain text") << "runs.txt" << QByteArray();
        QTest::newRow("CSV")
            << "runs.csv"
            << QByteArray(
                   R"(run,request,target,family,address,started,seq,sent,rtt_us,from,ttl,size,result,name,tries
1,ping,gw,AF_INET,10.0.0.1,2023-11-14T22:13:20.000Z,1,2023-11-14T22:13:20.005Z,3042,10.0.0.1,60,32,reply,,1
2,trace,h,AF_INET6,2001:db8::9,2023-11-14T22:13:22.000Z,1,2023-11-14T22:13:22.001Z,1500,2001:db8::1,64,0,hop,"r1,""x""",2
2,trace,h,AF_INET6,2001:db8::9,2023-11-14T22:13:22.000Z,2,2023-11-14T22:13:22.100Z,,,,,timed-out,,4
)")
                   .replace("\n", "\r\n");
        QTest::newRow("JSON") << "runs.JSON" << QByteArray(R"({"runs": [{"request": "ping",
  "target": "gw", "family": "AF_INET", "address": "10.0.0.1", "started": "2023-11-14T22:13:20.000Z",
  "options": {"packets": 1, "timeout_s": 1, "size": 32, "hops": 30}, "results": [{"seq": 1,
  "sent": "2023-11-14T22:13:20.005Z", "result": "reply", "rtt_us": 3042, "from": "10.0.0.1",
  "ttl": 60, "size": 32}]}, {"request": "trace", "target": "h", "family": "AF_INET6",
  "address": "2001:db8::9", "started": "2023-11-14T22:13:22.000Z", "options": {"packets": 4,
  "timeout_s": 2, "size": 64, "hops": 5}, "results": [{"seq": 1, "sent": "2023-11-14T22:13:22.001Z",
  "result": "hop", "rtt_us": 1500, "from": "2001:db8::1", "ttl": 64, "size": 0,
  "name": "r1,\u0022x\u0022", "tries": 2}, {"seq": 2, "sent": "2023-11-14T22:13:22.100Z",
  "result": "timed-out", "rtt_us": null, "from": null, "ttl": null, "size": null, "name": null,
  "tries": 4}]}]})");
    }
    void exportFormats() {
        QFETCH(QString, file);
        QFETCH(QByteArray, expected);
        ReportTree& tree = Tree(PAGE_PING);
        const HTREEITEM root = tree.AddRoot("gw", IMG_HOST);
        RunRecord ping{RunKind::Ping, "gw", AF_INET, "10.0.0.1", {1, 1, 32, 30}, At(0), {}};
        ping.results.push_back({1, At(5), 3042, "10.0.0.1", 60, 32, ResultKind::Reply, {}, 1});
        RunRecord trace{RunKind::Trace, "h", AF_INET6, "2001:db8::9", {4, 2, 64, 5}, At(2000), {}};
        trace.results.push_back(
            {1, At(2001), 1500, "2001:db8::1", 64, 0, ResultKind::HopReached, "r1,\"x\"", 2});
        trace.results.push_back({2, At(2100), 0, {}, 0, 0, ResultKind::TimedOut, {}, 4});
        tree.Runs().Start(root.id, ping);
        tree.Runs().Start(root.id + 1000, trace);
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        QVERIFY(SaveRunsAs(m_dlg.get(), tree, path, FormatForPath(path, ExportFormat::Text)));
        QFile in(path);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray data = in.readAll();
        if (expected.startsWith('{')) {
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(expected, &error);
            QCOMPARE(error.error, QJsonParseError::NoError);
            QCOMPARE(QJsonDocument::fromJson(data).toJson(QJsonDocument::Compact),
                     doc.toJson(QJsonDocument::Compact));
        } else {
            QCOMPARE(data, expected.isEmpty() ? tree.GetTree()->AllText().toUtf8() : expected);
        }
    }

    // A write that fails (a directory nobody may write in) says so and leaves the old file
    // whole, with no stray file beside it.
    void failedWriteKeepsTheOldFile() {
        QTemporaryDir top;
        const QString dir = top.filePath("ro");
        const QString path = dir + "/runs.csv";
        QVERIFY(QDir().mkdir(dir));
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old contents\n") > 0);
        old.close();
        // Nobody may enter both directories and write the file in place, not create one beside it.
        QVERIFY(chmod(qPrintable(top.path()), 0755) == 0 && chmod(qPrintable(dir), 0555) == 0 &&
                chmod(qPrintable(path), 0666) == 0);
        QString seen;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            seen = box ? box->text() : "no message box";
            box ? box->accept() : void();
        });
        // Root writes anywhere: write as nobody for the while.
        const bool root = geteuid() == 0;
        QVERIFY(!root || seteuid(65534) == 0);
        const bool saved = SaveRunsAs(m_dlg.get(), Tree(PAGE_PING), path, ExportFormat::Csv);
        QVERIFY(!root || seteuid(0) == 0);
        QVERIFY(!saved);
        QVERIFY2(seen.startsWith("Unable to save " + path + ":\n"), qPrintable(seen));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old contents\n"));
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{"runs.csv"});
        chmod(qPrintable(dir), 0755);
    }

    // The context menu opens a window on any item of a running ping;
    // windows follow the run, copy as text and go with the dialog. A root without a run has none.
    void statisticsWindowFollowsARun() {
        Start(PAGE_PING,
              "10.0.0.9 * 10.0.0.9 delay=120\n10.0.0.9 * none delay=120\n"
              "10.0.0.9 * 10.0.0.9 delay=120\n10.0.0.9 * 10.0.0.9 delay=80\n",
              4);
        ReportTreeWidget* tree = Tree(PAGE_PING).GetTree();
        QTRY_VERIFY(tree->topLevelItemCount() == 1 && tree->topLevelItem(0)->childCount() == 1);
        QMenu menu;
        auto fill = [&](QTreeWidgetItem* item) { // the menu's texts there, "-" for a disabled one
            tree->setCurrentItem(item);
            menu.clear();
            tree->FillContextMenu(&menu);
            QStringList texts;
            for (QAction* a : menu.actions()) {
                if (!a->isSeparator()) {
                    texts << (a->isEnabled() ? "" : "-") + a->text();
                }
            }
            return texts;
        };
        const QStringList texts = fill(tree->topLevelItem(0)->child(0)->child(0));
        // Each access key its own: c, a, s, v.
        QCOMPARE(texts, (QStringList{"&Copy", "Copy &All", "&Statistics...", "Sa&ve As..."}));
        for (QAction* a : menu.actions()) {
            a->text() == "&Statistics..." ? a->trigger() : void();
        }
        QCOMPARE(m_dlg->findChildren<RunStatsWindow*>().size(), 1);
        QPointer<RunStatsWindow> window = m_dlg->findChild<RunStatsWindow*>();
        QCOMPARE(window->Root(), Tree(PAGE_PING).Root());
        QPointer<RunStatsWindow> second =
            OpenRunStatistics(&Tree(PAGE_PING), Tree(PAGE_PING).Root());
        QVERIFY(second && window != second);
        QVERIFY(QTest::qWaitForWindowExposed(window));      // a window of its own
        QVERIFY(window->Chart()->Points().size() < 4);      // under way
        QTRY_VERIFY(window->Chart()->Points().size() >= 2); // it follows the run
        QVERIFY(!window->Chart()->Points()[1].rttUs);       // the lost one, marked
        WaitIdle(PAGE_PING);
        const std::vector<RttChart::Point>& points = window->Chart()->Points();
        QCOMPARE(points.size(), size_t{4});
        QCOMPARE(*points[3].rttUs, uint64_t{80000});
        const QString text = "Ping statistics for 10.0.0.9\n"
                             "Sent: 4, received: 3, lost: 1 (25%)\n"
                             "Round trip min/avg/max/mdev: 80.000/106.667/120.000/18.856 ms\n";
        QCOMPARE(window->Text(), text);
        QCOMPARE(window->windowTitle(), QString("Ping statistics for 10.0.0.9"));
        window->activateWindow();
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(window, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), text);
        Tree(PAGE_PING).AddRoot("nowhere.invalid", IMG_HOST); // as a failed lookup leaves it
        QCOMPARE(fill(tree->topLevelItem(1)),
                 (QStringList{"&Copy", "Copy &All", "-&Statistics...", "Sa&ve As..."}));
        m_dlg->OnCancel(); // the dialog ends: both windows close
        QTRY_VERIFY(!window && !second);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Varnstead");
    TestRunRecord t;
    return QTest::qExec(&t, argc, argv);
}
#include "test_run_record.moc"
