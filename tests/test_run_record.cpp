// Results as data and as shown: the report tree (requests in order with their pictures and
// folding, handles that outlive Clear, what Ctrl+C and the context menu copy); what the workers
// record on the simulated network (with the RTT tooltips and the statistics), the statistics window
// over a live run, export and its safe write.

#include "net/icmp/icmp_sim.h"
#include "net/sockets.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/main_dlg.h"
#include "ui/run_window.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtTest>
#include <QtWidgets>

class TestRunRecord : public QObject {
    Q_OBJECT
    std::unique_ptr<CMainDlg> m_dlg;
    PFN_IcmpSimLoadScript m_load = nullptr;

private Q_SLOTS:
    void init() {
        sockets_testing::SetDnsServers("127.0.0.1:9"); // hop names: nobody answers
        m_dlg = std::make_unique<CMainDlg>();
        m_dlg->SetModuleDir(QFile::encodeName(qApp->applicationDirPath() + "/icmp-sim"));
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        QVERIFY((m_load = reinterpret_cast<PFN_IcmpSimLoadScript>(
                     dlsym(m_dlg->Icmp().hModule, "IcmpSimLoadScript"))));
        m_dlg->Options().m_nTimeout = 1;
    }
    void cleanup() {
        m_dlg.reset();
        m_load(nullptr);
    }

    // Two requests as the pages make them (a ping with a reply and its details, then a failed
    // lookup whose details stay folded; only the latest root is renamed): the text of every
    // request in order, then each item's picture, "+" when unfolded. A right click makes the
    // request under it current and offers the copies (and statistics, here without a run); Ctrl+C
    // copies the current item with its details. Handles kept from before a Clear (and one never
    // given) then name nothing, before and after a new request: every operation with them does
    // nothing.
    void reportTree() {
        m_dlg->OnToolsLookup();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
        ReportTree& rt = m_dlg->Tree(PAGE_LOOKUP);
        ReportTreeWidget& widget = *rt.GetTree();
        rt.AddRoot("one", IMG_HOST);
        const HTREEITEM reply = rt.AddItem(rt.Root(), "reply", IMG_OK);
        rt.AddItem(reply, "size", IMG_INFO);
        rt.AddItem(reply, "rtt", IMG_INFO);
        rt.ExpandRoot();
        rt.AddRoot("two", IMG_HOST);
        rt.AddItem(rt.AddItem(rt.Root(), "failed", IMG_FAIL), "error", IMG_INFO);
        rt.ExpandRoot();
        rt.SetRootText("two (2)");
        rt.SetRootImage(IMG_ROUTE);
        QString got;
        for (QTreeWidgetItemIterator it(&widget); *it; ++it) {
            got += QString::number(ReportTree::ImageOf(*it)) + ((*it)->isExpanded() ? "+" : "");
        }
        for (const QString action : {"&Copy", "", "Copy &All"}) {
            QGuiApplication::clipboard()->clear();
            QTimer::singleShot(0, this, [&] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                for (QAction* a : menu ? menu->actions() : QList<QAction*>()) {
                    got += (a->isEnabled() ? "|" : "|-") + a->text();
                    a->text() == action ? a->trigger() : void();
                }
                menu ? void(menu->close()) : void();
            });
            const QPoint at = widget.visualItemRect(widget.topLevelItem(1)).center();
            QContextMenuEvent click(QContextMenuEvent::Mouse, at,
                                    widget.viewport()->mapToGlobal(at));
            QApplication::sendEvent(widget.viewport(), &click);
            action.isEmpty() ? QTest::keySequence(&widget, QKeySequence::Copy) : void();
            got += "\n" + QGuiApplication::clipboard()->text();
        }
        const QString menu = "|&Copy|Copy &All||-&Statistics...|Sa&ve As...\n",
                      second = "two (2)\n  failed\n    error\n";
        QCOMPARE(got, "0+2441+34" + menu + second + menu + second + menu +
                          "one\n  reply\n    size\n    rtt\n" + second);
        const HTREEITEM oldRoot = ReportTree::HandleOf(widget.topLevelItem(0)), kept = rt.Last();
        rt.Clear();
        rt.SetRootText("late");
        rt.SetRootImage(IMG_FAIL);
        rt.ExpandRoot();
        QVERIFY(!rt.Root() && !rt.Last() && !rt.AddItem(HTREEITEM{999}, "late", 0));
        rt.AddRoot("next", IMG_HOST);
        QVERIFY(!rt.AddItem(kept, "late", 0) && !rt.AddItem(oldRoot, "late", 0) &&
                !rt.AddItem(HTREEITEM{}, "late", 0));
        QCOMPARE(widget.AllText() + QString::number(widget.topLevelItemCount()), "next\n1");
    }

    // Known runs of three packets: the records as exported (JSON, times as T), each result item's
    // RTT tooltip, then the statistics window opened from the first result's context menu (when
    // the run is slow enough it follows the run): its title and chart, and what Ctrl+C copies.
    // Stop: the request under way still counts. Clear: records and windows go. The end of the
    // dialog closes every window.
    void knownRuns_data() {
        QTest::addColumn<QString>("script"); // the row's name gives the page and the action
        QTest::addColumn<QString>("record");
        const QString ping =
            R"({"runs":[{"address":"10.0.0.9","family":"AF_INET","options":{"hops":4,"packets":3,"size":32,"timeout_s":1},"request":"ping","results":[)";
        const QString lost =
            R"({"from":null,"result":"timed-out","rtt_us":null,"sent":"T","seq":%1,"size":null,"ttl":null})";
        QTest::newRow("ping, the second lost")
            << "* * 10.0.0.9 delay=3 ttl=60\n* * none delay=5\n* * 10.0.0.9 delay=4"
            << ping +
                   R"({"from":"10.0.0.9","result":"reply","rtt_us":3000,"sent":"T","seq":1,"size":32,"ttl":60},)" +
                   lost.arg(2) +
                   R"(,{"from":"10.0.0.9","result":"reply","rtt_us":4000,"sent":"T","seq":3,"size":32,"ttl":64}],"started":"T","target":"10.0.0.9"}]})"
                   "|3.000 ms||4.000 ms\nPing statistics for 10.0.0.9|3000|lost|4000\n"
                   "Ping statistics for 10.0.0.9\nSent: 3, received: 2, lost: 1 (33.3333%)\n"
                   "Round trip min/avg/max/mdev: 3.000/3.500/4.000/0.500 ms\n";
        QTest::newRow("ping stopped, lost and another node: none received")
            << "* * none delay=100\n* * 10.0.0.1 delay=400 status=host-unreachable"
            << ping + lost.arg(1) +
                   R"(,{"from":"10.0.0.1","result":"other-node","rtt_us":400000,"sent":"T","seq":2,"size":0,"ttl":64}],"started":"T","target":"10.0.0.9"}]})"
                   "||400.000 ms\nPing statistics for 10.0.0.9|lost|400000\n"
                   "Ping statistics for 10.0.0.9\nSent: 2, received: 0, lost: 2 (100%)\n";
        QTest::newRow("ping cleared") << QString("* * 10.0.0.9 delay=100") << R"({"runs":[]})";
        QTest::newRow("trace, a hop on its third try and a silent one")
            << "* 1 none delay=1\n* 1 none delay=1\n* 1 10.0.0.1 delay=2 ttl=255\n"
               "* 2 none delay=1\n10.0.0.9 3-* 10.0.0.9 delay=4 ttl=61"
            << QString(ping).replace("ping", "trace") +
                   R"({"from":"10.0.0.1","name":null,"result":"hop","rtt_us":2000,"sent":"T","seq":1,"size":0,"tries":3,"ttl":255},)"
                   R"({"from":null,"name":null,"result":"timed-out","rtt_us":null,"sent":"T","seq":2,"size":null,"tries":4,"ttl":null},)"
                   R"({"from":"10.0.0.9","name":null,"result":"target","rtt_us":4000,"sent":"T","seq":3,"size":32,"tries":1,"ttl":61}],"started":"T","target":"10.0.0.9"}]})"
                   "|2.000 ms||4.000 ms\nTrace statistics for 10.0.0.9|2000|lost|4000\n"
                   "Trace statistics for 10.0.0.9\nHop\tAddress\tName\tRound trip\tTries\n"
                   "1\t10.0.0.1\t\t2.000 ms\t3\n2\t\t\ttimed out\t4\n3\t10.0.0.9\t\t4.000 ms\t1\n";
    }
    void knownRuns() {
        const QString tag = QTest::currentDataTag();
        const int page = tag.startsWith("trace") ? PAGE_TRACE : PAGE_PING;
        QFETCH(QString, script);
        QFETCH(QString, record);
        QCOMPARE(m_load(qPrintable(script)), 0);
        m_dlg->Options().m_nPackets = 3;
        m_dlg->Options().m_nHops = 4; // told apart from the packets
        m_dlg->GetDlgItem(IDC_PING_HOST + 5 * page)->setProperty("currentText", "10.0.0.9");
        page == PAGE_PING ? m_dlg->OnPingStart() : m_dlg->OnTraceStart();
        ReportTree& tree = m_dlg->Tree(page);
        QTRY_VERIFY(tree.ItemOf(tree.Root())->childCount() > 0);
        tree.GetTree()->setCurrentItem(tree.ItemOf(tree.Root())->child(0));
        QMenu menu;
        tree.GetTree()->FillContextMenu(&menu);
        QVERIFY(menu.actions().value(3)->text() == "&Statistics..." &&
                menu.actions()[3]->isEnabled());
        menu.actions()[3]->trigger();
        QPointer<RunStatsWindow> window = m_dlg->findChild<RunStatsWindow*>();
        QVERIFY(window && window->Root() == tree.Root());
        tag.contains("cleared")   ? m_dlg->OnClearCurrent()
        : tag.contains("stopped") ? m_dlg->OnPingStart()
                                  : void();
        auto* button = qobject_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_PING_START + 5 * page));
        QTRY_VERIFY_WITH_TIMEOUT(button->text() == "&Start" && button->isEnabled(), 10000);
        QString got = QJsonDocument::fromJson(ExportRuns(tree, ExportFormat::Json))
                          .toJson(QJsonDocument::Compact);
        got.replace(QRegularExpression(R"("20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d\.\d\d\dZ")"), R"("T")");
        const QTreeWidgetItem* root = tree.ItemOf(tree.Root());
        for (int i = 0; root && i < root->childCount(); ++i) {
            got += "|" +
                   (root->child(i)->childCount() > 1 ? root->child(i)->child(1)->toolTip(0) : "");
        }
        if (window && window->isVisible()) {
            got += "\n" + window->windowTitle();
            for (const RttChart::Point& p : window->Chart()->Points()) {
                got += p.rttUs ? "|" + QString::number(*p.rttUs) : "|lost";
            }
            QTest::keyClick(window, Qt::Key_C, Qt::ControlModifier);
            got += "\n" + QGuiApplication::clipboard()->text();
        }
        QCOMPARE(got, record);
        m_dlg->OnCancel(); // the dialog ends
        QTRY_VERIFY(!window);
    }

    // A page's runs saved in the format the file's name asks for, exactly (CSV: RFC 4180). A
    // write that fails (a folder nobody may write in, though the file could be written in place)
    // says so and leaves the old file whole, with nothing beside it.
    void exportFormats() {
        auto at = [](int m) { return QDateTime::fromMSecsSinceEpoch(m + 1700000000000, Qt::UTC); };
        RunRecord ping{RunKind::Ping, "gw", AF_INET, "10.0.0.1", {1, 1, 32, 30}, at(0), {}};
        ping.results.push_back({1, at(5), 3042, "10.0.0.1", 60, 32, ResultKind::Reply, {}, 1});
        RunRecord trace{RunKind::Trace, "h", AF_INET6, "2001:db8::9", {4, 2, 64, 5}, at(2000), {}};
        trace.results.push_back(
            {1, at(2001), 1500, "2001:db8::1", 64, 0, ResultKind::HopReached, "r1,\"x\"", 2});
        trace.results.push_back({2, at(2100), 0, {}, 0, 0, ResultKind::TimedOut, {}, 4});
        ReportTree& tree = m_dlg->Tree(PAGE_PING);
        tree.Runs().Start(tree.AddRoot("gw", 0).id, ping);
        tree.Runs().Start(1000, trace);
        QTemporaryDir dir;
        const QString csv = dir.filePath("runs.CSV");
        QString got = StatisticsText(ping).section('\n', 0, 0);
        const bool root = geteuid() == 0; // root writes anywhere: the last write as nobody
        for (int i = 0; i < 3; ++i) {
            const QString file = i == 1 ? dir.filePath("runs.txt") : csv;
            if (i == 2) {
                QVERIFY(chmod(qPrintable(dir.path()), 0555) == 0 &&
                        chmod(qPrintable(csv), 0666) == 0 && (!root || seteuid(65534) == 0));
                QTimer::singleShot(0, [&got] {
                    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                    got += box ? box->text() + "|" : "no message box";
                    box ? box->accept() : void();
                });
            }
            const bool saved =
                SaveRunsAs(m_dlg.get(), tree, file, FormatForPath(file, ExportFormat::Json));
            QVERIFY(i < 2 || !root || seteuid(0) == 0);
            QFile out(file);
            QVERIFY(saved == (i < 2) && out.open(QIODevice::ReadOnly));
            got += "\r\n" + out.readAll();
        }
        chmod(qPrintable(dir.path()), 0755);
        QCOMPARE(FormatForPath("a.Json", ExportFormat::Text), ExportFormat::Json);
        const QString csvText = QString(R"(
run,request,target,family,address,started,seq,sent,rtt_us,from,ttl,size,result,name,tries
1,ping,gw,AF_INET,10.0.0.1,2023-11-14T22:13:20.000Z,1,2023-11-14T22:13:20.005Z,3042,10.0.0.1,60,32,reply,,1
2,trace,h,AF_INET6,2001:db8::9,2023-11-14T22:13:22.000Z,1,2023-11-14T22:13:22.001Z,1500,2001:db8::1,64,0,hop,"r1,""x""",2
2,trace,h,AF_INET6,2001:db8::9,2023-11-14T22:13:22.000Z,2,2023-11-14T22:13:22.100Z,,,,,timed-out,,4
)")
                                    .replace("\n", "\r\n");
        QCOMPARE(got + QDir(dir.path()).entryList(QDir::Files).join(','),
                 "Ping statistics for gw [10.0.0.1]" + csvText + "\r\ngw\nUnable to save " + csv +
                     ":\nPermission denied|" + csvText + "runs.CSV,runs.txt");
    }
};

QTEST_MAIN(TestRunRecord)
#include "test_run_record.moc"
