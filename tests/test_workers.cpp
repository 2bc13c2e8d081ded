// The Ping and Trace pages end to end against the simulated network: exact item trees, the
// retry rule of silent hops, stopping, clearing and closing at every moment.

#include "net/icmp/icmp_sim.h"
#include "net/sockets.h"
#include "net/trace_schedule.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/main_dlg.h"

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <tuple>

namespace {

// A DNS server on loopback that never answers: a bound UDP socket nobody reads.
struct SilentDns {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ~SilentDns() { close(fd); }
    QByteArray Where() {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), len);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return "127.0.0.1:" + QByteArray::number(ntohs(a.sin_port));
    }
};

// An item and those beneath it, one a line: its text and image, indented by level; a root
// that is not expanded says so.
QString Items(const QTreeWidgetItem* item, int level = 0) {
    QString text = QString(2 * level, ' ') + item->text(0) +
                   QString(" (%1)").arg(ReportTree::ImageOf(item)) +
                   (level == 0 && !item->isExpanded() ? " collapsed\n" : "\n");
    for (int i = 0; i < item->childCount(); ++i) {
        text += Items(item->child(i), level + 1);
    }
    return text;
}

} // namespace

class TestWorkers : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;
    PFN_IcmpSimLoadScript m_load = nullptr;
    PFN_IcmpSimRequestCount m_count = nullptr;
    PFN_IcmpSimGetRequest m_get = nullptr;

    QComboBox* Box(int page) {
        return static_cast<QComboBox*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_HOST : IDC_TRACE_HOST));
    }
    QPushButton* Button(int page) {
        return static_cast<QPushButton*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_START : IDC_TRACE_START));
    }
    QString Text(int page) { return m_dlg->Tree(page).GetTree()->AllText(); }
    void Script(const char* text) { QCOMPARE(m_load(text), 0); }
    QList<IcmpSimRequest> Requests() {
        QList<IcmpSimRequest> list(m_count());
        for (uint32_t i = 0; i < list.size(); ++i) {
            m_get(i, &list[i]);
        }
        return list;
    }
    // What went out, one request a line: "size fill options reply-buffer time-out async".
    QString Sent() {
        QString text;
        for (const IcmpSimRequest& r : Requests()) {
            text += QString::asprintf("%u %x %u %u %u %u\n", r.RequestSize, r.Fill, r.HasOptions,
                                      r.ReplySize, r.Timeout, r.Asynchronous);
        }
        return text;
    }
    void Start(int page, const QString& host) {
        Box(page)->setEditText(host);
        Press(page);
    }
    void Press(int page) { page == PAGE_PING ? m_dlg->OnPingStart() : m_dlg->OnTraceStart(); }
    // Waits until the page is idle again: caption "&Start", enabled.
    void WaitIdle(int page, int ms = 10000) {
        QTRY_VERIFY_WITH_TIMEOUT(Button(page)->text() == "&Start" && Button(page)->isEnabled(), ms);
    }
    void Run(int page, const QString& host, int ms = 10000) {
        Start(page, host);
        QCOMPARE(Button(page)->text(), QString("&Stop"));
        WaitIdle(page, ms);
    }

private Q_SLOTS:
    void init() {
        // Each case starts from an empty settings file: no history from the one before.
        QFile::remove(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Varnstead/" +
                      QCoreApplication::applicationName() + ".ini");
        // Hop names are looked up: in the DNS lab from its server, elsewhere only on loopback,
        // where nobody answers at once.
        sockets_testing::SetDnsServers(
            qEnvironmentVariableIsEmpty("SABREVIN_LAB_DNS") ? "127.0.0.1:9" : nullptr);
        m_dlg = std::make_unique<CMainDlg>();
        m_dlg->SetModuleDir(
            QFile::encodeName(QCoreApplication::applicationDirPath() + "/icmp-sim"));
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
        void* module = m_dlg->Icmp().hModule;
        m_load = reinterpret_cast<PFN_IcmpSimLoadScript>(dlsym(module, "IcmpSimLoadScript"));
        m_count = reinterpret_cast<PFN_IcmpSimRequestCount>(dlsym(module, "IcmpSimRequestCount"));
        m_get = reinterpret_cast<PFN_IcmpSimGetRequest>(dlsym(module, "IcmpSimGetRequest"));
        QVERIFY(m_load && m_count && m_get);
        m_dlg->Options().m_nTimeout = 1;
    }
    void cleanup() {
        m_dlg.reset(); // teardown with whatever still runs
        m_load(nullptr);
    }

    // Whole trees with their images, and what went out: the data 0xAA, no option record, the
    // size of the options, a reply buffer 28 bytes larger (48 over IPv6, where the address is
    // RFC 5952 text whatever way it was typed), the time-out of the options. While the run goes
    // on its root reads "Pinging <host>..." (first "Looking up <host>..." for a name; an address
    // of either family skips the lookup), and it goes on with its page hidden.
    void pingTree_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("script");
        QTest::addColumn<uint>("packets");
        QTest::addColumn<uint>("size");
        QTest::addColumn<uint>("replySize");
        QTest::addColumn<QString>("tree");
        const auto reply = [](const QString& from, const QString& what, uint size, int ms,
                              int ttl) {
            return QString(
                       "  Reply from %1: %2\n    Packet size: %3 bytes (4)\n    RTT: %4 ms (4)\n"
                       "    TTL: %5 (4)\n")
                .arg(from, what)
                .arg(size)
                .arg(ms)
                .arg(ttl);
        };
        const QString alive = "Host is alive (2)";
        for (const auto& [host, address, replySize] :
             {std::tuple{"10.0.0.9", "10.0.0.9", 60u}, {"2001:DB8:0:0::9", "2001:db8::9", 80u}}) {
            QTest::addRow("three packets to %s, the second lost", host)
                << host
                << QString(
                       "%1 * %1 delay=150 ttl=60\n%1 * none delay=5\n%1 * %1 delay=160 ttl=61\n")
                       .arg(address)
                << 3u << 32u << replySize
                << QString(host) + " (0)\n" + reply(address, alive, 32, 150, 60) +
                       "  Request timed out (3)\n" + reply(address, alive, 32, 160, 61);
        }
        for (const auto& [host, address, size] : {std::tuple{"10.0.0.9", "10.0.0.9", 8u},
                                                  {"10.0.0.9", "10.0.0.9", 512u},
                                                  {"localhost", "127.0.0.1", 32u},
                                                  {"fe80::9%lo", "fe80::9", 32u}}) {
            QTest::addRow("%s, %u bytes", host, size)
                << host << QString("%1 * %1 delay=300 ttl=64").arg(address) << 1u << size
                << size + (QString(address).contains(':') ? 48 : 28)
                << QString(host) + " (0)\n" + reply(address, alive, size, 300, 64);
        }
        // A reply from another node (a router's unreachable) names that node.
        for (const auto& [target, router, replySize] :
             {std::tuple{"10.0.0.9", "10.0.0.1", 60u}, {"2001:db8:9::9", "2001:db8:1::1", 80u}}) {
            QTest::addRow("an unreachable from %s", router)
                << target
                << QString("%1 * %2 delay=300 status=host-unreachable ttl=254").arg(target, router)
                << 1u << 32u << replySize
                << QString(target) + " (0)\n" +
                       reply(router, "Destination host unreachable (3)", 0, 300, 254);
        }
    }
    void pingTree() {
        QFETCH(QString, host);
        QFETCH(QString, script);
        QFETCH(uint, packets);
        QFETCH(uint, size);
        QFETCH(uint, replySize);
        QFETCH(QString, tree);
        Script(script.toLatin1().constData());
        m_dlg->Options().m_nPackets = packets;
        m_dlg->Options().m_nPacketSize = size;
        Start(PAGE_PING, host);
        const QTreeWidgetItem* root = m_dlg->Tree(PAGE_PING).GetTree()->topLevelItem(0);
        QCOMPARE(root->text(0), host == "localhost" ? "Looking up localhost..." : "");
        QTRY_COMPARE(root->text(0), "Pinging " + host + "...");
        m_dlg->OnToolsTrace();
        WaitIdle(PAGE_PING);
        m_dlg->OnToolsPing();
        QCOMPARE(Items(root), tree);
        QCOMPARE(Sent(), QString("%1 aa 0 %2 1000 0\n").arg(size).arg(replySize).repeated(packets));
        QCOMPARE(Box(PAGE_PING)->itemText(0), host); // the history took it
    }

    // Options changed during a run: count and time-out from the next request, the size never.
    void optionsChangedDuringARun() {
        Script("10.0.0.9 * 10.0.0.9 delay=400"); // the change comes well before the second ends
        m_dlg->Options().m_nPackets = 2;
        Start(PAGE_PING, "10.0.0.9");
        QTRY_VERIFY(m_count() >= 1);
        m_dlg->Options().m_nPackets = 4;
        m_dlg->Options().m_nTimeout = 3;
        m_dlg->Options().m_nPacketSize = 400;
        WaitIdle(PAGE_PING);
        // The size is fixed for the run (its buffer was sized so); the time-out is read anew.
        QCOMPARE(Sent().count("32 aa 0 60 "), 4);
        QVERIFY(Sent().endsWith("32 aa 0 60 3000 0\n"));
    }

    // The trace with many requests in flight lists exactly what the one-at-a-time walk lists
    // (texts, images, order, the end) on the same simulated network: the cases written out
    // here, whose walk must also give the tree shown, and seeded random routes of both
    // families (silent hops, hops answering only their second to fourth request, routers
    // reporting the target unreachable, a target answering from another address or not at
    // all, a hop limit below the target).
    void traceEqualsTheWalk_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("hops");
        QTest::addColumn<QString>("tree"); // the walk's, when written out
        // The walk's tree: each hop "address=milliseconds", or "*" for "Request timed out".
        const auto walk = [](const QString& target, const QString& hops) {
            QString tree = "Trace route to " + target + " (1)\n";
            int n = 0;
            for (const QString& h : hops.split(' ')) {
                const QString number = QString("    Hop: #%1 (4)\n").arg(++n);
                tree += h == "*" ? "  Request timed out (3)\n" + number
                                 : "  " + h.section('=', 0, 0) + " (0)\n" + number +
                                       "    RTT: " + h.section('=', 1) + " ms (4)\n";
            }
            return tree;
        };
        for (const QString target : {"10.0.0.9", "2001:db8:9::9"}) {
            const QString router = target.contains(':') ? "2001:db8:1::1" : "10.0.0.1";
            QTest::addRow("a silent hop, %s", qPrintable(target))
                << target
                << QString("%1 1 %2 delay=2\n%1 2 none delay=1\n%1 3-* %1 delay=4\n")
                       .arg(target, router)
                << 30 << walk(target, router + "=2 * " + target + "=4");
        }
        QTest::newRow("a hop answering its fourth and last request")
            << "10.0.0.9"
            << "10.0.0.9 1 none delay=1\n10.0.0.9 1 none delay=1\n10.0.0.9 1 none delay=1\n"
               "10.0.0.9 1 10.0.0.1 delay=7\n10.0.0.9 2-* 10.0.0.9 delay=1\n"
            << 30 << walk("10.0.0.9", "10.0.0.1=7 10.0.0.9=1");
        QTest::newRow("a target one hop away") << "10.0.0.9"
                                               << "10.0.0.9 * 10.0.0.9 delay=2\n"
                                               << 30 << walk("10.0.0.9", "10.0.0.9=2");
        QTest::newRow("nothing answers, 3 hops") << "10.0.0.9"
                                                 << "* * none delay=1\n"
                                                 << 3 << walk("10.0.0.9", "* * *");
        QTest::newRow("nothing answers, 1 hop") << "10.0.0.9"
                                                << "* * none delay=1\n"
                                                << 1 << walk("10.0.0.9", "*");
        QTest::newRow("a target answering from another address")
            << "10.0.0.9"
            << "10.0.0.9 1 10.0.0.1\n10.0.0.9 2-* 10.0.0.8 status=success\n"
            << 3 << walk("10.0.0.9", "10.0.0.1=0 10.0.0.8=0 10.0.0.8=0");
        QRandomGenerator random(20240613);
        for (int route = 0; route < 50; ++route) {
            const bool v6 = route % 2 == 1;
            const auto node = [v6](int n) {
                return v6 ? QString("2001:db8:%1::1").arg(n) : QString("10.0.%1.1").arg(n);
            };
            const QString target = v6 ? "2001:db8:9::9" : "10.0.0.9";
            const int length = random.bounded(1, 9); // the hop at which the target answers
            const int hops = random.bounded(1, length + 4);
            const int kind = random.bounded(10); // how the target answers
            QString script;
            for (int h = 1; h <= hops; ++h) {
                // The try that is answered: 1 mostly, 2 to 4 sometimes, 5 never.
                const int answered = std::min(5, 1 + std::max(0, random.bounded(-6, 5)));
                for (int t = 1; t < answered && t <= 4; ++t) {
                    script += QString("%1 %2 none delay=%3\n")
                                  .arg(target)
                                  .arg(h)
                                  .arg(random.bounded(1, 4));
                }
                if (answered > 4) {
                    continue;
                }
                QString answer = node(h);
                if (h >= length) {
                    answer = kind < 7 ? target : kind < 9 ? node(99) + " status=success" : "none";
                } else if (random.bounded(6) == 0) {
                    answer += " status=host-unreachable";
                }
                script += QString("%1 %2 %3 delay=%4\n")
                              .arg(target)
                              .arg(h)
                              .arg(answer)
                              .arg(random.bounded(0, 20));
            }
            QTest::addRow("random route %d", route) << target << script << hops << QString();
        }
    }
    // The schedule alone, with the times it is given: a hop is asked four times before it is
    // "Request timed out", its answer is that of its first request answered, as in the walk,
    // whatever order the answers came in, and the first hop answered by the target ends it.
    void traceScheduleCountsAsTheWalk_data() {
        QTest::addColumn<uint>("limit");
        QTest::addColumn<QString>("answers"); // each request's end, in order: "hop/attempt:how"
        QTest::addColumn<QString>("shown");   // hops decided, then the target's hop
        QTest::newRow("a silent hop") << 1u << "1/1:- 1/2:- 1/3:- 1/4:-"
                                      << "1/4:0 target 0";
        QTest::newRow("answered at the fourth") << 1u << "1/1:- 1/2:- 1/3:- 1/4:r"
                                                << "1/4:1 target 0";
        QTest::newRow("the lower target hop ends it") << 2u << "2/1:t 1/1:t"
                                                      << "1/1:1 target 1";
        QTest::newRow("the first request answered is the hop's") << 1u << "1/3:r 1/1:t 1/2:- 1/4:-"
                                                                 << "1/1:1 target 1";
        QTest::newRow("after the requests before it went unanswered")
            << 1u << "1/2:t 1/1:- 1/3:r 1/4:-"
            << "1/2:1 target 1";
    }
    void traceScheduleCountsAsTheWalk() {
        QFETCH(uint, limit);
        QFETCH(QString, answers);
        QFETCH(QString, shown);
        TraceSchedule schedule;
        int64_t now = 0;
        for (const QString& a : answers.split(' ')) {
            while (const auto next = schedule.Next(now += 100, limit)) {
                QVERIFY(next->attempt <= TraceSchedule::kTries);
            }
            const QStringList f = a.split(QRegularExpression("[/:]"));
            schedule.Ended({f[0].toUInt(), f[1].toUInt()}, f[2] != "-", f[2] == "t");
        }
        QVERIFY(!schedule.Next(now += 100, limit)); // nothing more is asked
        QStringList decided;
        while (const auto hop = schedule.Front(limit)) {
            decided << QString("%1/%2:%3").arg(hop->hop).arg(hop->attempt).arg(int(hop->answered));
            schedule.Shown(limit);
        }
        decided << QString("target %1").arg(schedule.TargetHop());
        QCOMPARE(decided.join(' '), shown);
    }
    void traceEqualsTheWalk() {
        QFETCH(QString, host);
        QFETCH(QString, script);
        QFETCH(int, hops);
        QFETCH(QString, tree);
        m_dlg->Options().m_nHops = static_cast<uint32_t>(hops);
        QString trees[2];
        for (const bool walk : {true, false}) {
            m_dlg->SetTraceOneAtATime(walk);
            Script(script.toLatin1().constData()); // each sequence starts again
            m_dlg->OnClearCurrent();
            Run(PAGE_TRACE, host);
            trees[walk] = Items(m_dlg->Tree(PAGE_TRACE).GetTree()->topLevelItem(0));
            for (const IcmpSimRequest& r : Requests()) {
                QCOMPARE(r.Asynchronous, walk ? 0u : 1u);
                QCOMPARE(r.HasOptions, uint8_t{1});
                QVERIFY(r.Ttl >= 1 && r.Ttl <= hops);
            }
        }
        if (!tree.isEmpty()) {
            QCOMPARE(trees[true], tree);
        }
        QCOMPARE(trees[false], trees[true]);
    }

    // A hop's name of any length is cut so that the text keeps the whole address (in the DNS
    // lab, whose pointer record for this address is 253 characters long).
    void traceHopWithALongName() {
        if (qEnvironmentVariableIsEmpty("SABREVIN_LAB_DNS")) {
            QSKIP("needs the DNS lab: run under tests/dns/run_in_dns_lab.sh (root)");
        }
        const QByteArray hop = qgetenv("SABREVIN_LAB_LONG_PTR_ADDR");
        const QString name = qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_NAME");
        Script(QByteArray("10.0.0.9 1 " + hop + " delay=1\n10.0.0.9 2-* 10.0.0.9\n").constData());
        Run(PAGE_TRACE, "10.0.0.9");
        const QString text = m_dlg->Tree(PAGE_TRACE).GetTree()->topLevelItem(0)->child(0)->text(0);
        const QString suffix = " [" + QString::fromLatin1(hop) + "]";
        QCOMPARE(text.size(), 255);
        QVERIFY(text.endsWith(suffix));
        QVERIFY(name.startsWith(text.left(255 - suffix.size())));
    }

    // Over IPv6 a module that cannot open an IPv6 handle (or has none to offer) says the same.
    void serviceCannotBeOpened_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("host");
        for (const int page : {int(PAGE_PING), int(PAGE_TRACE)}) {
            QTest::addRow("%d", page) << page << "10.0.0.9";
            QTest::addRow("%d over IPv6", page) << page << "2001:db8::9";
        }
    }
    void serviceCannotBeOpened() {
        QFETCH(int, page);
        QFETCH(QString, host);
        Script(host.contains(':') ? "create6-fail ping sockets refused; no helper capability"
                                  : "create-fail ping sockets refused; no helper capability");
        QString seen;
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->windowTitle() + ": " + box->text();
                box->accept();
            }
        });
        watcher.start(10);
        Run(page, host);
        QCOMPARE(seen, QString("Error: Unable to open %1 service!\n\nping sockets refused; no "
                               "helper capability")
                           .arg(page == PAGE_PING ? "PING" : "TRACE"));
        QCOMPARE(m_count(), 0u);
        QCOMPARE(Text(page), QString("\n")); // the root keeps Start's text: an address's empty one
    }

    // Stop while a request waits: its item still comes, no further request goes out, and
    // the button comes back.
    // After it: "tree|statuses of what went out|one request or more". The trace's requests in
    // flight end with the run, none waits out its time-out, and its silent hops get no
    // "Request timed out"; the walk's one request waits out its time-out, no other goes out.
    void stopWhileARequestWaits_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<bool>("walk");
        QTest::addColumn<QString>("after");
        QTest::newRow("ping") << int(PAGE_PING) << false
                              << "10.0.0.9\n  Request timed out\n|11010|1";
        QTest::newRow("trace") << int(PAGE_TRACE) << false << "Trace route to 10.0.0.9\n|11099|0";
        QTest::newRow("trace one request at a time")
            << int(PAGE_TRACE) << true << "Trace route to 10.0.0.9\n|11010|1";
    }
    void stopWhileARequestWaits() {
        QFETCH(int, page);
        QFETCH(bool, walk);
        QFETCH(QString, after);
        m_dlg->SetTraceOneAtATime(walk);
        Script("10.0.0.9 * none delay=400");
        m_dlg->Options().m_nPackets = 5;
        Start(page, "10.0.0.9");
        QTRY_COMPARE(m_count(), 0u); // the first request is under way (logged when it ends)
        QTest::qWait(100);
        Press(page);
        QVERIFY(!Button(page)->isEnabled());
        QCOMPARE(Button(page)->text(), QString("&Stop"));
        WaitIdle(page);
        QStringList statuses;
        for (const IcmpSimRequest& r : Requests()) {
            statuses << QString::number(r.Status);
        }
        const int count = int(statuses.size());
        statuses.removeDuplicates();
        QCOMPARE(Text(page) + "|" + statuses.join(' ') + "|" + QString::number(count == 1), after);
        // The next Start is a start again.
        Script("10.0.0.9 * 10.0.0.9");
        m_dlg->Options().m_nPackets = 1;
        Run(page, "10.0.0.9");
        QCOMPARE(m_dlg->Tree(page).GetTree()->topLevelItem(1)->childCount(), 1);
    }

    // Stop at once (before the first request: the dotted address's message not yet handled;
    // or a name lookup cancelled before its already due completion): no run, no history. Clear
    // during each state: nothing is inserted under a deleted item, the run ends as usual. Then
    // "tree|statuses of what went out|history (after a stop)|box text", and the page works on.
    void interrupt_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("after");
        for (const QString row :
             {"stop at once;10.0.0.9;stop;10.0.0.9\n||1|10.0.0.9",
              "stop in the lookup;localhost;stop;localhost\n  Host lookup "
              "cancelled\n||0|localhost",
              "clear in the lookup;localhost;clear;|0 0 0 ||",
              "clear while a request waits;10.0.0.9;wait clear;|11010 11010 11010 ||",
              "Clear All while running;10.0.0.9;wait all;|11010 11010 11010 ||"}) {
            const QStringList f = row.split(';');
            QTest::newRow(qPrintable(f[0])) << f[1] << f[2] << f[3];
        }
    }
    void interrupt() {
        QFETCH(QString, host);
        QFETCH(QString, action);
        QFETCH(QString, after);
        Script("127.0.0.1 * 127.0.0.1 delay=150\n10.0.0.9 * none delay=300\n");
        m_dlg->Options().m_nPackets = 3;
        Start(PAGE_PING, host);
        if (action.startsWith("wait")) {
            QTRY_COMPARE(m_dlg->Tree(PAGE_PING).GetTree()->topLevelItem(0)->childCount(), 1);
        }
        action == "stop"           ? m_dlg->OnPingStart()
        : action.endsWith("clear") ? m_dlg->OnClearCurrent()
                                   : m_dlg->OnClearAll();
        WaitIdle(PAGE_PING);
        QTest::qWait(200);
        QString statuses;
        for (const IcmpSimRequest& r : Requests()) {
            statuses += QString::number(r.Status) + " ";
        }
        QCOMPARE(QStringList({Text(PAGE_PING), statuses,
                              action == "stop" ? QString::number(Box(PAGE_PING)->count()) : "",
                              Box(PAGE_PING)->currentText()})
                     .join('|'),
                 after);
        m_dlg->Options().m_nPackets = 1;
        Script("10.0.0.9 * 10.0.0.9");
        Run(PAGE_PING, "10.0.0.9");
        const QTreeWidget* tree = m_dlg->Tree(PAGE_PING).GetTree();
        QCOMPARE(tree->topLevelItem(tree->topLevelItemCount() - 1)->childCount(), 1);
    }

    void pingAndTraceSideBySide() {
        Script("10.0.0.9 64 10.0.0.9 delay=20\n10.0.0.9 1 10.0.0.1 delay=20\n10.0.0.9 2-* 10.0.0.9 "
               "delay=20\n");
        m_dlg->Options().m_nPackets = 4;
        Start(PAGE_PING, "10.0.0.9");
        Start(PAGE_TRACE, "10.0.0.9");
        WaitIdle(PAGE_PING);
        WaitIdle(PAGE_TRACE);
        QCOMPARE(Text(PAGE_PING).count("Host is alive"), 4);
        QVERIFY(Text(PAGE_TRACE).endsWith("    Hop: #2\n    RTT: 20 ms\n"));
        // Switching pages meanwhile touches neither.
        m_dlg->OnToolsLookup();
        m_dlg->OnToolsPing();
        QCOMPARE(Text(PAGE_PING).count("Host is alive"), 4);
    }

    // Closing the window in any state ends within a second, and the settings are written.
    void closeDuringEachState_data() {
        QTest::addColumn<QString>("state");
        QTest::newRow("a ping waiting on a 20 s time-out") << "ping";
        QTest::newRow("a trace in a silent reverse lookup") << "trace";
        QTest::newRow("a lookup outstanding") << "lookup";
        QTest::newRow("a run on each page") << "ping trace lookup";
    }
    void closeDuringEachState() {
        QFETCH(QString, state);
        SilentDns silent;
        sockets_testing::SetDnsServers(silent.Where().constData());
        m_dlg->Options().m_nTimeout = 20;
        Script("10.0.0.9 64 none\n10.0.0.9 1-* 10.0.0.1 delay=1\n");
        QTimer::singleShot(0, m_dlg.get(), [&] {
            for (const int page : {int(PAGE_PING), int(PAGE_TRACE)}) {
                if (state.contains(page == PAGE_PING ? "ping" : "trace")) {
                    Start(page, "10.0.0.9");
                }
            }
            if (state.contains("lookup")) {
                m_dlg->OnToolsLookup();
                static_cast<QComboBox*>(m_dlg->GetDlgItem(IDC_LOOKUP_HOST))
                    ->setEditText("nowhere.invalid");
                m_dlg->OnLookupStart();
            }
            QTimer::singleShot(400, m_dlg.get(), [&] { m_dlg->close(); });
        });
        QElapsedTimer total;
        total.start();
        m_dlg->DoModal();
        QVERIFY2(total.elapsed() < 400 + 1000, qPrintable(QString::number(total.elapsed())));
        QVERIFY(QFile::exists(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Varnstead/" +
                              QCoreApplication::applicationName() + ".ini"));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Varnstead");
    TestWorkers t;
    return QTest::qExec(&t, argc, argv);
}
#include "test_workers.moc"
