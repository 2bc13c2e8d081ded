// The Ping and Trace pages with the real echo module in the lab of run_probe_lab.sh: exact item
// trees with the names from the lab's DNS server, round-trip times aside; the trace's hops must
// equal those of the system's traceroute, run here in the same lab just before.

#include "res/resource.h"
#include "ui/main_dlg.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QtTest>

namespace {

// Runs a shell command in each router's namespace, or in r2's only.
bool InRouters(const QString& command, bool r2Only) {
    for (const QString& ns :
         qEnvironmentVariable("SABREVIN_PROBE_LAB_ROUTER_NS").split(' ').mid(r2Only ? 1 : 0)) {
        if (QProcess::execute("ip", {"netns", "exec", ns, "sh", "-c", command}) != 0) {
            return false;
        }
    }
    return true;
}

// "N address" per hop, "N *" for none: traceroute -I -n -w 1 -q 1 in our namespace.
QString TracerouteHops(const QString& host, bool v6) {
    QProcess p;
    p.start("traceroute", {v6 ? "-6" : "-4", "-I", "-n", "-w", "1", "-q", "1", "-m", "10", host});
    if (!p.waitForFinished(20000) || p.exitCode() != 0) {
        return "traceroute failed: " + QString::fromLocal8Bit(p.readAllStandardError());
    }
    QStringList hops; // its first line, on stdout too, is its header
    for (const QString& line : QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n')) {
        if (line.startsWith(' ')) {
            hops << line.simplified().section(' ', 0, 1);
        }
    }
    return hops.join(", ");
}

} // namespace

class TestProbeLab : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;

    // Types host, starts the page and waits until it is idle again: the run's milliseconds in
    // ms (-1: still running), and the tree's text with each round-trip time, which must be below
    // the 1 s time-out, as "#".
    QString Run(bool ping, const QString& host, qint64& ms) {
        static_cast<QComboBox*>(m_dlg->GetDlgItem(ping ? IDC_PING_HOST : IDC_TRACE_HOST))
            ->setEditText(host);
        auto* button =
            static_cast<QPushButton*>(m_dlg->GetDlgItem(ping ? IDC_PING_START : IDC_TRACE_START));
        QElapsedTimer clock;
        clock.start();
        ping ? m_dlg->OnPingStart() : m_dlg->OnTraceStart();
        const bool idle = QTest::qWaitFor(
            [&] { return button->text() == "&Start" && button->isEnabled(); }, 20000);
        ms = idle ? clock.elapsed() : -1;
        static const QRegularExpression rtt("RTT: (\\d+) ms$", QRegularExpression::MultilineOption);
        QString text = m_dlg->Tree(ping ? PAGE_PING : PAGE_TRACE).GetTree()->AllText();
        for (auto it = rtt.globalMatch(text); it.hasNext();) {
            if (it.next().captured(1).toInt() >= 1000) {
                return "round-trip time beyond the time-out: " + text;
            }
        }
        return text.replace(rtt, "RTT: # ms");
    }
private Q_SLOTS:
    void initTestCase() {
        if (qEnvironmentVariable("SABREVIN_PROBE_LAB_ROUTER_NS").isEmpty()) {
            QSKIP("runs inside the lab of run_probe_lab.sh");
        }
        QCoreApplication::setOrganizationName("Varnstead"); // as the program names its settings
    }
    void init() {
        QFile::remove(qEnvironmentVariable("XDG_CONFIG_HOME") + "/Varnstead/sabrevin.ini");
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        m_dlg->Options().m_nTimeout = 1;
        m_dlg->Options().m_nPacketSize = 32;
        m_dlg->Options().m_nPackets = 3;
        m_dlg->Options().m_nHops = 10;
    }
    void cleanup() { m_dlg.reset(); }

    // Rows "page host [router]". Pings: the target's TTL (hop limit) of 64 arrives as 62, two
    // routers away; a name with both families is pinged over IPv4. Traces: r1, r2 and the target
    // by their names (from ip6.arpa over IPv6), hop by hop traceroute's addresses. A silent r2
    // (its Time Exceeded dropped) is "Request timed out" after one full time-out, its four
    // requests sent together; routers rate-limited to one error a second with a burst of one
    // answer the first of them.
    void run_data() {
        QTest::addColumn<QString>("row");
        QStringList rows;
        for (const QString host :
             {"10.203.3.2", "target.lab.test", "fd00:203:3::2", "v6only.lab.test"}) {
            rows << "ping " + host << "trace " + host;
        }
        for (const QString& row :
             rows + QStringList{"trace 10.203.3.2 silent", "trace fd00:203:3::2 silent",
                                "trace 10.203.3.2 rate-limited"}) {
            QTest::newRow(qPrintable(row)) << row;
        }
    }
    void run() {
        QFETCH(QString, row);
        const QString host = row.section(' ', 1, 1), router = row.section(' ', 2);
        const bool ping = row.startsWith("ping"), silent = router == "silent";
        const QString address = host == "target.lab.test"   ? "10.203.3.2"
                                : host == "v6only.lab.test" ? "fd00:203:3::6"
                                                            : host;
        const bool v6 = address.contains(':');
        const QString net = v6 ? "fd00:203:%1::2" : "10.203.%1.2", r1 = net.arg(1), r2 = net.arg(2);
        const QString set =
            silent ? QString("%1 -w 5 -%3 OUTPUT -p %2 --%2-type time-exceeded -j DROP")
                         .arg(v6 ? "ip6tables" : "iptables", v6 ? "icmpv6" : "icmp")
                   : "sysctl -qw net.ipv4.icmp_ratelimit=1000 net.ipv4.icmp_ratemask=%1 "
                     "net.ipv4.icmp_msgs_per_sec=%2 net.ipv4.icmp_msgs_burst=%3";
        if (!router.isEmpty()) {
            QVERIFY(InRouters(silent ? set.arg('A') : set.arg(6168).arg(1).arg(1), silent));
        }
        const auto restore = qScopeGuard([&] {
            if (!router.isEmpty()) {
                InRouters(silent ? set.arg('D') : set.arg(0).arg(1000).arg(50), silent);
            }
        });
        const QString reply = "  Reply from %1: Host is alive\n    Packet size: 32 bytes\n"
                              "    RTT: # ms\n    TTL: 62\n";
        const QString hop = "  %1 [%2]\n    Hop: #%3\n    RTT: # ms\n";
        QString expected = host + "\n" + reply.arg(address).repeated(3);
        if (!ping) {
            // The oracle: traceroute lists the same addresses as our items, hop by hop.
            const QString oracle = TracerouteHops(host, v6);
            if (router == "rate-limited") {
                QTest::qWait(1100); // the routers' credit, spent by the oracle, comes back
            } else {
                QCOMPARE(oracle, QString("1 %1, 2 %2, 3 %3").arg(r1, silent ? "*" : r2, address));
            }
            expected =
                "Trace route to " + host + "\n" + hop.arg("r1.lab.test", r1).arg(1) +
                (silent ? "  Request timed out\n    Hop: #2\n"
                        : hop.arg("r2.lab.test", r2).arg(2)) +
                hop.arg(host.endsWith("lab.test") ? host : "target.lab.test", address).arg(3);
        }
        qint64 ms = 0;
        QCOMPARE(Run(ping, host, ms), expected);
        QVERIFY2(ms >= 0, "the page is still running");
        if (silent) {
            QVERIFY2(ms >= 990 && ms < 3900,
                     qPrintable(QString("the silent hop took %1 ms").arg(ms)));
        }
    }
};

#if defined(__SANITIZE_THREAD__)
// The oracle is started with QProcess from a process that already runs threads (the dialog's
// workers, Qt's pools): the child only execs traceroute, which the thread sanitizer would
// otherwise refuse.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}
#endif

QTEST_MAIN(TestProbeLab)
#include "test_probe_lab.moc"
