// Ping and Trace results as data: the records the workers fill on the simulated network, their
// statistics, the RTT tooltips, export in three formats and the statistics window.

#include "net/icmp/icmp_sim.h"
#include "net/run_record.h"
#include "net/sockets.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/main_dlg.h"
#include "ui/run_window.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QClipboard>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

// Three replies in a row, the second lost: the run most cases below use.
const char* kPingScript = "10.0.0.9 * 10.0.0.9 delay=3 ttl=60\n"
                          "10.0.0.9 * none delay=5\n"
                          "10.0.0.9 * 10.0.0.9 delay=4 ttl=61\n";
const char* kTraceScript = "10.0.0.9 1 10.0.0.1 delay=2 ttl=255\n"
                           "10.0.0.9 2 none delay=1\n"
                           "10.0.0.9 3-* 10.0.0.9 delay=4 ttl=61\n";

// One result as a line: seq kind rtt_us from ttl size tries.
QString Line(const ResultRecord& r) {
    return QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
        .arg(r.seq)
        .arg(QString::fromLatin1(ResultKindName(r.kind)))
        .arg(r.rttUs)
        .arg(r.from.isEmpty() ? QStringLiteral("-") : r.from)
        .arg(r.ttl)
        .arg(r.dataSize)
        .arg(r.tries);
}

} // namespace

class TestRunRecord : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;
    PFN_IcmpSimLoadScript m_load = nullptr;

    QPushButton* Button(int page) {
        return static_cast<QPushButton*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_START : IDC_TRACE_START));
    }
    void Start(int page, const QString& host) {
        static_cast<QComboBox*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_HOST : IDC_TRACE_HOST))
            ->setEditText(host);
        page == PAGE_PING ? m_dlg->OnPingStart() : m_dlg->OnTraceStart();
    }
    void WaitIdle(int page) {
        QTRY_VERIFY_WITH_TIMEOUT(Button(page)->text() == "&Start" && Button(page)->isEnabled(),
                                 10000);
    }
    void Run(int page, const char* script, uint32_t count) {
        QCOMPARE(m_load(script), 0);
        m_dlg->Options().m_nPackets = count;
        m_dlg->Options().m_nHops = count;
        Start(page, "10.0.0.9");
        WaitIdle(page);
    }
    ReportTree& Tree(int page) { return m_dlg->Tree(page); }
    const RunRecord* OnlyRun(int page) {
        const QList<const RunRecord*> runs = Tree(page).Runs().Runs();
        return runs.size() == 1 ? runs[0] : nullptr;
    }

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
        QVERIFY(m_dlg->Icmp().pfnIcmpGetLastRoundTripMicroseconds != nullptr);
        m_dlg->Options().m_nTimeout = 1;
    }
    void cleanup() {
        m_dlg.reset();
        m_load(nullptr);
    }

    // Known runs on the simulated network: every result as recorded, and the statistics.
    void recordAndStatisticsOfKnownRuns_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("script");
        QTest::addColumn<uint32_t>("count");
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QString>("statistics");
        QTest::newRow("ping, the second of three lost")
            << int(PAGE_PING) << kPingScript << 3u
            << QStringList{"1 reply 3000 10.0.0.9 60 32 1", "2 timed-out 0 - 0 0 1",
                           "3 reply 4000 10.0.0.9 61 32 1"}
            << "Ping statistics for 10.0.0.9\n"
               "Sent: 3, received: 2, lost: 1 (33.3333%)\n"
               "Round trip min/avg/max/mdev: 3.000/3.500/4.000/0.500 ms\n";
        QTest::newRow("ping, mdev of 3, 5 and 4 ms")
            << int(PAGE_PING)
            << "10.0.0.9 * 10.0.0.9 delay=3\n10.0.0.9 * 10.0.0.9 delay=5\n"
               "10.0.0.9 * 10.0.0.9 delay=4\n"
            << 3u
            << QStringList{"1 reply 3000 10.0.0.9 64 32 1", "2 reply 5000 10.0.0.9 64 32 1",
                           "3 reply 4000 10.0.0.9 64 32 1"}
            << "Ping statistics for 10.0.0.9\n"
               "Sent: 3, received: 3, lost: 0 (0%)\n"
               "Round trip min/avg/max/mdev: 3.000/4.000/5.000/0.816 ms\n";
        QTest::newRow("ping, all lost")
            << int(PAGE_PING) << "10.0.0.9 * none delay=2" << 2u
            << QStringList{"1 timed-out 0 - 0 0 1", "2 timed-out 0 - 0 0 1"}
            << "Ping statistics for 10.0.0.9\nSent: 2, received: 0, lost: 2 (100%)\n";
        QTest::newRow("ping, one packet")
            << int(PAGE_PING) << "10.0.0.9 * 10.0.0.9 delay=7 ttl=57" << 1u
            << QStringList{"1 reply 7000 10.0.0.9 57 32 1"}
            << "Ping statistics for 10.0.0.9\n"
               "Sent: 1, received: 1, lost: 0 (0%)\n"
               "Round trip min/avg/max/mdev: 7.000/7.000/7.000/0.000 ms\n";
        QTest::newRow("ping, another node answers: not received")
            << int(PAGE_PING) << "10.0.0.9 * 10.0.0.1 delay=2 status=host-unreachable ttl=254" << 1u
            << QStringList{"1 other-node 2000 10.0.0.1 254 0 1"}
            << "Ping statistics for 10.0.0.9\nSent: 1, received: 0, lost: 1 (100%)\n";
        QTest::newRow("trace with a silent hop")
            << int(PAGE_TRACE) << kTraceScript << 30u
            << QStringList{"1 hop 2000 10.0.0.1 255 0 1", "2 timed-out 0 - 0 0 4",
                           "3 target 4000 10.0.0.9 61 32 1"}
            << "Trace statistics for 10.0.0.9\n"
               "Hop\tAddress\tName\tRound trip\tTries\n"
               "1\t10.0.0.1\t\t2.000 ms\t1\n"
               "2\t\t\ttimed out\t4\n"
               "3\t10.0.0.9\t\t4.000 ms\t1\n";
        QTest::newRow("trace, a hop answering its third request")
            << int(PAGE_TRACE)
            << "10.0.0.9 1 none delay=1\n10.0.0.9 1 none delay=1\n10.0.0.9 1 10.0.0.1 delay=7\n"
               "10.0.0.9 2-* 10.0.0.9 delay=1\n"
            << 30u << QStringList{"1 hop 7000 10.0.0.1 64 0 3", "2 target 1000 10.0.0.9 64 32 1"}
            << "Trace statistics for 10.0.0.9\n"
               "Hop\tAddress\tName\tRound trip\tTries\n"
               "1\t10.0.0.1\t\t7.000 ms\t3\n"
               "2\t10.0.0.9\t\t1.000 ms\t1\n";
    }
    void recordAndStatisticsOfKnownRuns() {
        QFETCH(int, page);
        QFETCH(QString, script);
        QFETCH(uint32_t, count);
        QFETCH(QStringList, results);
        QFETCH(QString, statistics);
        const QDateTime before = QDateTime::currentDateTimeUtc();
        Run(page, script.toUtf8().constData(), count);
        const RunRecord* run = OnlyRun(page);
        QVERIFY(run != nullptr);
        QVERIFY(Tree(page).Runs().Find(Tree(page).Root().id) == run); // by the root's handle
        QCOMPARE(run->kind, page == PAGE_PING ? RunKind::Ping : RunKind::Trace);
        QCOMPARE(run->target, QString("10.0.0.9"));
        QCOMPARE(run->family, AF_INET);
        QCOMPARE(run->address, QString("10.0.0.9"));
        QCOMPARE(run->options.packets, count);
        QCOMPARE(run->options.timeout, 1u);
        QCOMPARE(run->options.size, 32u);
        QVERIFY(run->started >= before.addMSecs(-1));
        QStringList got;
        QDateTime last = run->started;
        for (const ResultRecord& r : run->results) {
            got << Line(r);
            QVERIFY(r.sent >= last); // in the order sent, none before the start
            last = r.sent;
        }
        QCOMPARE(got, results);
        // One result per item under the root.
        QCOMPARE(int(run->results.size()), Tree(page).ItemOf(Tree(page).Root())->childCount());
        QCOMPARE(StatisticsText(*run), statistics);
    }

    // Each answered result's "RTT: %d ms" keeps its text and shows the microseconds.
    void rttItemsShowMicrosecondsAsTooltip_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("tips"); // per result item, "" for none
        QTest::newRow("ping") << int(PAGE_PING) << kPingScript
                              << QStringList{"3.000 ms", "", "4.000 ms"};
        QTest::newRow("trace") << int(PAGE_TRACE) << kTraceScript
                               << QStringList{"2.000 ms", "", "4.000 ms"};
    }
    void rttItemsShowMicrosecondsAsTooltip() {
        QFETCH(int, page);
        QFETCH(QString, script);
        QFETCH(QStringList, tips);
        Run(page, script.toUtf8().constData(), page == PAGE_PING ? 3 : 30);
        const QTreeWidgetItem* root = Tree(page).ItemOf(Tree(page).Root());
        QCOMPARE(root->childCount(), tips.size());
        for (int i = 0; i < tips.size(); ++i) {
            const QTreeWidgetItem* item = root->child(i);
            if (tips[i].isEmpty()) {
                for (int d = 0; d < item->childCount(); ++d) {
                    QVERIFY(item->child(d)->toolTip(0).isEmpty());
                }
                continue;
            }
            QVERIFY(item->child(1)->text(0).startsWith("RTT: "));
            QCOMPARE(item->child(1)->toolTip(0), tips[i]);
            QVERIFY(item->child(0)->toolTip(0).isEmpty());
        }
    }

    // A run stopped midway, a Clear during a run, a new run after it: records follow the roots.
    void recordsFollowTheRoots_data() {
        QTest::addColumn<QString>("moment");
        QTest::newRow("stopped midway") << "stop";
        QTest::newRow("cleared while running") << "clear";
        QTest::newRow("two runs in a row") << "again";
    }
    void recordsFollowTheRoots() {
        QFETCH(QString, moment);
        QCOMPARE(m_load("10.0.0.9 * 10.0.0.9 delay=150"), 0);
        m_dlg->Options().m_nPackets = 5;
        Start(PAGE_PING, "10.0.0.9");
        const HTREEITEM first = Tree(PAGE_PING).Root();
        QTRY_COMPARE(Tree(PAGE_PING).ItemOf(first)->childCount(), 1);
        if (moment == "stop") {
            m_dlg->OnPingStart();
        } else if (moment == "clear") {
            m_dlg->OnClearCurrent();
            QVERIFY(Tree(PAGE_PING).Runs().IsEmpty());
        }
        WaitIdle(PAGE_PING);
        if (moment == "stop") {
            const RunRecord* run = OnlyRun(PAGE_PING);
            QVERIFY(run != nullptr);
            // The request under way when Stop came still counts.
            QCOMPARE(int(run->results.size()), Tree(PAGE_PING).ItemOf(first)->childCount());
            QVERIFY(run->results.size() >= 1 && run->results.size() < 5);
            const PingStats s = ComputePingStats(*run);
            QCOMPARE(s.sent, uint32_t(run->results.size()));
            QCOMPARE(s.lost, 0u);
            QCOMPARE(*s.avgMs, 150.0);
            return;
        }
        if (moment == "clear") {
            QVERIFY(Tree(PAGE_PING).Runs().IsEmpty()); // the rest of the run went nowhere
        }
        QCOMPARE(m_load("10.0.0.9 * 10.0.0.9 delay=1"), 0);
        m_dlg->Options().m_nPackets = 2;
        Start(PAGE_PING, "10.0.0.9");
        WaitIdle(PAGE_PING);
        const std::vector<uint64_t> roots = Tree(PAGE_PING).Runs().Roots();
        QCOMPARE(int(roots.size()), moment == "clear" ? 1 : 2);
        QCOMPARE(roots.back(), Tree(PAGE_PING).Root().id);
        QCOMPARE(Tree(PAGE_PING).Runs().Find(roots.back())->results.size(), size_t{2});
        if (moment == "again") {
            QCOMPARE(roots.front(), first.id);
            QCOMPARE(Tree(PAGE_PING).Runs().Find(first.id)->results.size(), size_t{5});
        }
    }

    // Both pages' runs saved in each format and read back field by field.
    void exportReadsBack_data() {
        QTest::addColumn<QString>("file");
        QTest::newRow("plain text") << "runs.txt";
        QTest::newRow("CSV") << "runs.csv";
        QTest::newRow("JSON") << "runs.json";
    }
    void exportReadsBack() {
        QFETCH(QString, file);
        Run(PAGE_PING, kPingScript, 3);
        Run(PAGE_PING, "10.0.0.9 * 10.0.0.9 delay=2 ttl=50", 1);
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        QVERIFY(SaveRunsAs(m_dlg.get(), Tree(PAGE_PING), path,
                           FormatForPath(path, ExportFormat::Text)));
        QFile in(path);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray data = in.readAll();
        const QList<const RunRecord*> runs = Tree(PAGE_PING).Runs().Runs();
        QCOMPARE(runs.size(), 2);
        if (file.endsWith(".txt")) {
            QCOMPARE(QString::fromUtf8(data), Tree(PAGE_PING).GetTree()->AllText());
            return;
        }
        if (file.endsWith(".csv")) {
            QStringList rows = QString::fromUtf8(data).split("\r\n");
            QCOMPARE(rows.takeLast(), QString()); // the last row ends too
            QCOMPARE(rows.takeFirst(), QString("run,request,target,family,address,started,seq,"
                                               "sent,rtt_us,from,ttl,size,result,name,tries"));
            QCOMPARE(rows.size(), 4);
            int i = 0;
            for (int n = 0; n < runs.size(); ++n) {
                for (const ResultRecord& r : runs[n]->results) {
                    const QStringList f = rows[i++].split(',');
                    QCOMPARE(f.size(), 15);
                    QCOMPARE(f[0], QString::number(n + 1));
                    QCOMPARE(f.mid(1, 4), (QStringList{"ping", "10.0.0.9", "AF_INET", "10.0.0.9"}));
                    QCOMPARE(QDateTime::fromString(f[5], Qt::ISODateWithMs), runs[n]->started);
                    QCOMPARE(f[6].toUInt(), r.seq);
                    QCOMPARE(QDateTime::fromString(f[7], Qt::ISODateWithMs), r.sent);
                    const bool answered = r.Answered();
                    QCOMPARE(f[8], answered ? QString::number(r.rttUs) : QString());
                    QCOMPARE(f[9], r.from);
                    QCOMPARE(f[10], answered ? QString::number(r.ttl) : QString());
                    QCOMPARE(f[11], answered ? QString::number(r.dataSize) : QString());
                    QCOMPARE(f[12], QString::fromLatin1(ResultKindName(r.kind)));
                }
            }
            QCOMPARE(rows[0].section(',', 8, 12), QString("3000,10.0.0.9,60,32,reply"));
            QCOMPARE(rows[1].section(',', 8, 12), QString(",,,,timed-out"));
            return;
        }
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonArray list = doc.object()["runs"].toArray();
        QCOMPARE(list.size(), 2);
        for (int n = 0; n < runs.size(); ++n) {
            const QJsonObject o = list[n].toObject();
            QCOMPARE(o["request"].toString(), QString("ping"));
            QCOMPARE(o["target"].toString(), QString("10.0.0.9"));
            QCOMPARE(o["family"].toString(), QString("AF_INET"));
            QCOMPARE(o["address"].toString(), QString("10.0.0.9"));
            QCOMPARE(QDateTime::fromString(o["started"].toString(), Qt::ISODateWithMs),
                     runs[n]->started);
            const QJsonObject options = o["options"].toObject();
            QCOMPARE(options["packets"].toInt(), int(runs[n]->options.packets));
            QCOMPARE(options["timeout_s"].toInt(), 1);
            QCOMPARE(options["size"].toInt(), 32);
            const QJsonArray results = o["results"].toArray();
            QCOMPARE(results.size(), int(runs[n]->results.size()));
            for (int i = 0; i < results.size(); ++i) {
                const ResultRecord& r = runs[n]->results[size_t(i)];
                const QJsonObject j = results[i].toObject();
                QCOMPARE(j["seq"].toInt(), int(r.seq));
                QCOMPARE(QDateTime::fromString(j["sent"].toString(), Qt::ISODateWithMs), r.sent);
                QCOMPARE(j["result"].toString(), QString::fromLatin1(ResultKindName(r.kind)));
                if (r.Answered()) {
                    QCOMPARE(j["rtt_us"].toInteger(), qint64(r.rttUs));
                    QCOMPARE(j["from"].toString(), r.from);
                    QCOMPARE(j["ttl"].toInt(), int(r.ttl));
                    QCOMPARE(j["size"].toInt(), int(r.dataSize));
                } else {
                    QVERIFY(j["rtt_us"].isNull() && j["from"].isNull());
                }
            }
        }
        QCOMPARE(list[0].toObject()["results"].toArray()[2].toObject()["rtt_us"].toInt(), 4000);
    }

    // A write that fails says so and leaves the old file whole.
    void failedWriteKeepsTheOldFile() {
        Run(PAGE_PING, kPingScript, 3);
        QTemporaryDir top;
        QDir(top.path()).mkdir("ro");
        const QString path = top.filePath("ro/runs.csv");
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old contents\n");
        old.close();
        QFile::setPermissions(top.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadOther | QFile::ExeOther);
        QFile::setPermissions(top.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther);
        QString seen;
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->text();
                box->accept();
            }
        });
        watcher.start(10);
        // Root writes anywhere: write as nobody for the while.
        const bool root = geteuid() == 0;
        QVERIFY(!root || seteuid(65534) == 0);
        const bool saved = SaveRunsAs(m_dlg.get(), Tree(PAGE_PING), path, ExportFormat::Csv);
        QVERIFY(!root || seteuid(0) == 0);
        QVERIFY(!saved);
        QVERIFY2(seen.startsWith("Unable to save " + path + ":\n"), qPrintable(seen));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old contents\n"));
        QCOMPARE(QDir(top.filePath("ro")).entryList(QDir::Files), QStringList{"runs.csv"});
        QFile::setPermissions(top.filePath("ro"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // The context menu: "&Statistics..." only for a Ping or Trace request, every access key
    // its own.
    void contextMenuOffersStatistics_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("a ping reply's detail") << int(PAGE_PING) << true;
        QTest::newRow("a trace's hop") << int(PAGE_TRACE) << true;
        QTest::newRow("a failed lookup on the Ping page") << int(PAGE_PING) << false;
        QTest::newRow("the Local Info page") << int(PAGE_LOCALINFO) << false;
    }
    void contextMenuOffersStatistics() {
        QFETCH(int, page);
        QFETCH(bool, enabled);
        ReportTreeWidget* tree = Tree(page).GetTree();
        if (page != PAGE_LOCALINFO) {
            Run(page, page == PAGE_PING ? kPingScript : kTraceScript, page == PAGE_PING ? 3 : 30);
        }
        if (!enabled && page == PAGE_PING) {
            Tree(page).AddRoot("nowhere.invalid", IMG_HOST); // as a failed lookup leaves it
        }
        QTRY_VERIFY(tree->topLevelItemCount() > 0);
        QTreeWidgetItem* root = tree->topLevelItem(tree->topLevelItemCount() - 1);
        tree->setCurrentItem(root->childCount() > 0 && root->child(0)->childCount() > 0
                                 ? root->child(0)->child(0)
                                 : root);
        QMenu menu;
        tree->FillContextMenu(&menu);
        QStringList texts, keys;
        QAction* stats = nullptr;
        for (QAction* a : menu.actions()) {
            if (a->isSeparator()) {
                continue;
            }
            texts << a->text();
            keys << a->text().section('&', 1).left(1).toLower();
            if (a->text() == "&Statistics...") {
                stats = a;
            }
        }
        QCOMPARE(texts, (QStringList{"&Copy", "Copy &All", "&Statistics...", "Sa&ve As..."}));
        QCOMPARE(QSet<QString>(keys.begin(), keys.end()).size(), keys.size());
        QCOMPARE(stats->isEnabled(), enabled);
        if (enabled) {
            stats->trigger();
            const QList<RunStatsWindow*> open = m_dlg->findChildren<RunStatsWindow*>();
            QCOMPARE(open.size(), 1);
            QCOMPARE(open[0]->Root(), Tree(page).Root());
            QVERIFY(open[0]->isVisible());
        }
    }

    // The window opens on a running ping, follows it, copies as text, and goes with the dialog.
    void statisticsWindowFollowsARun() {
        QCOMPARE(m_load("10.0.0.9 * 10.0.0.9 delay=120\n10.0.0.9 * none delay=120\n"
                        "10.0.0.9 * 10.0.0.9 delay=120\n10.0.0.9 * 10.0.0.9 delay=80\n"),
                 0);
        m_dlg->Options().m_nPackets = 4;
        Start(PAGE_PING, "10.0.0.9");
        QTRY_VERIFY(!Tree(PAGE_PING).Runs().IsEmpty());
        QPointer<RunStatsWindow> window =
            OpenRunStatistics(&Tree(PAGE_PING), Tree(PAGE_PING).Root());
        QPointer<RunStatsWindow> second =
            OpenRunStatistics(&Tree(PAGE_PING), Tree(PAGE_PING).Root());
        QVERIFY(window && second && window != second);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(window->isWindow());
        QVERIFY(window->Chart()->Points().size() < 4);      // under way
        QTRY_VERIFY(window->Chart()->Points().size() >= 2); // it follows the run
        QVERIFY(!window->Chart()->Points()[1].rttUs);       // the lost one, marked
        WaitIdle(PAGE_PING);
        const std::vector<RttChart::Point>& points = window->Chart()->Points();
        QCOMPARE(points.size(), size_t{4});
        QCOMPARE(*points[0].rttUs, uint64_t{120000});
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
        m_dlg->OnCancel(); // the dialog ends: both windows close
        QTRY_VERIFY(!window && !second);
    }

    // A Clear drops the runs and closes their windows.
    void clearClosesTheWindows() {
        Run(PAGE_TRACE, kTraceScript, 30);
        QPointer<RunStatsWindow> window =
            OpenRunStatistics(&Tree(PAGE_TRACE), Tree(PAGE_TRACE).Root());
        QVERIFY(window);
        QCOMPARE(window->Text(), StatisticsText(*OnlyRun(PAGE_TRACE)));
        m_dlg->OnToolsTrace();
        m_dlg->OnClearCurrent();
        QVERIFY(Tree(PAGE_TRACE).Runs().IsEmpty());
        QTRY_VERIFY(!window);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Varnstead");
    TestRunRecord t;
    return QTest::qExec(&t, argc, argv);
}
#include "test_run_record.moc"
