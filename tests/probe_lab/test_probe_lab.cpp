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

#include <cstdio>
#include <memory>

namespace {

// The lab's fixed addresses (run_probe_lab.sh).
const QString kR1 = "10.203.1.2", kR2 = "10.203.2.2", kTarget = "10.203.3.2";
const QString kR1v6 = "fd00:203:1::2", kR2v6 = "fd00:203:2::2", kTarget6 = "fd00:203:3::2";
const QString kV6only = "fd00:203:3::6";

QString Env(const char* name) {
    return QString::fromLocal8Bit(qgetenv(name));
}

// Runs a command in each router's namespace, or in r2's only.
bool InRouters(const QStringList& command, bool r2Only = false) {
    const QStringList routers = Env("SABREVIN_PROBE_LAB_ROUTER_NS").split(' ');
    for (const QString& ns : routers.mid(r2Only ? 1 : 0)) {
        QProcess p;
        p.start("ip", QStringList{"netns", "exec", ns} + command);
        if (!p.waitForFinished(5000) || p.exitCode() != 0) {
            qWarning("%s in %s: %s", qPrintable(command.join(' ')), qPrintable(ns),
                     p.readAllStandardError().constData());
            return false;
        }
    }
    return routers.size() == 2;
}

// "N address" per hop, "N *" for none: traceroute -I -n -w 1 -q 1 in this namespace, or ours.
QString TracerouteHops(const QString& host, bool v6) {
    QProcess p;
    p.start(Env("SABREVIN_PROBE_LAB_TRACEROUTE"),
            QStringList{v6 ? "-6" : "-4", "-I", "-n", "-w", "1", "-q", "1", "-m", "10", host});
    if (!p.waitForFinished(20000) || p.exitCode() != 0) {
        return "traceroute failed: " + QString::fromLocal8Bit(p.readAllStandardError());
    }
    static const QRegularExpression line("^\\s*(\\d+)\\s+(\\S+)",
                                         QRegularExpression::MultilineOption);
    QStringList hops;
    for (auto it = line.globalMatch(QString::fromLocal8Bit(p.readAllStandardOutput()));
         it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        hops << m.captured(1) + " " + m.captured(2);
    }
    return hops.join(", ");
}

QString Reply(const QString& from) {
    return "  Reply from " + from +
           ": Host is alive\n    Packet size: 32 bytes\n    RTT: # ms\n"
           "    TTL: 62\n";
}
QString Hop(const QString& name, const QString& address, int hop) {
    if (name.isEmpty()) {
        return QString("  Request timed out\n    Hop: #%1\n").arg(hop);
    }
    return QString("  %1 [%2]\n    Hop: #%3\n    RTT: # ms\n").arg(name, address).arg(hop);
}

} // namespace

class TestProbeLab : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;

    // Types host, starts the page and waits until it is idle again; the run's milliseconds.
    qint64 Run(int page, const QString& host) {
        auto* box = static_cast<QComboBox*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_HOST : IDC_TRACE_HOST));
        auto* button = static_cast<QPushButton*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_START : IDC_TRACE_START));
        box->setEditText(host);
        QElapsedTimer clock;
        clock.start();
        page == PAGE_PING ? m_dlg->OnPingStart() : m_dlg->OnTraceStart();
        const bool idle = QTest::qWaitFor(
            [&] { return button->text() == "&Start" && button->isEnabled(); }, 20000);
        return idle ? clock.elapsed() : -1;
    }
    // The tree's text with each round-trip time, which must be below the 1 s time-out, as "#".
    QString Text(int page) {
        static const QRegularExpression rtt("RTT: (\\d+) ms$", QRegularExpression::MultilineOption);
        QString text = m_dlg->Tree(page).GetTree()->AllText();
        for (auto it = rtt.globalMatch(text); it.hasNext();) {
            if (it.next().captured(1).toInt() >= 1000) {
                return "round-trip time beyond the time-out: " + text;
            }
        }
        return text.replace(rtt, "RTT: # ms");
    }
private Q_SLOTS:
    void init() {
        QFile::remove(Env("XDG_CONFIG_HOME") + "/Varnstead/sabrevin.ini");
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        m_dlg->Options().m_nTimeout = 1;
        m_dlg->Options().m_nPacketSize = 32;
        m_dlg->Options().m_nPackets = 3;
        m_dlg->Options().m_nHops = 10;
    }
    void cleanup() { m_dlg.reset(); }

    // Pings: the target's TTL (hop limit) of 64 arrives as 62, two routers away; a name with
    // both families is pinged over IPv4. Traces: r1, r2 and the target by their names (from
    // ip6.arpa over IPv6), hop by hop traceroute's addresses. A silent r2 (its Time Exceeded
    // dropped) is "Request timed out" after one full time-out, its four requests sent together;
    // routers rate-limited to one error a second with a burst of one answer the first of them.
    void run_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("router"); // "silent", "rate-limited" or ""
        const QString target = "target.lab.test", v6only = "v6only.lab.test";
        for (const int page : {int(PAGE_PING), int(PAGE_TRACE)}) {
            const char* p = page == PAGE_PING ? "ping" : "trace";
            QTest::addRow("%s an address", p) << page << kTarget << kTarget << "";
            QTest::addRow("%s a name", p) << page << target << kTarget << "";
            QTest::addRow("%s an IPv6 address", p) << page << kTarget6 << kTarget6 << "";
            QTest::addRow("%s a name with IPv6 only", p) << page << v6only << kV6only << "";
        }
        QTest::newRow("trace past a silent router")
            << int(PAGE_TRACE) << kTarget << kTarget << "silent";
        QTest::newRow("trace past a silent router, IPv6")
            << int(PAGE_TRACE) << kTarget6 << kTarget6 << "silent";
        QTest::newRow("trace past rate-limited routers")
            << int(PAGE_TRACE) << kTarget << kTarget << "rate-limited";
    }
    void run() {
        QFETCH(int, page);
        QFETCH(QString, host);
        QFETCH(QString, address);
        QFETCH(QString, router);
        const bool v6 = address.contains(':');
        const QString drop =
            QString("OUTPUT -p %1 --%1-type time-exceeded -j DROP").arg(v6 ? "icmpv6" : "icmp");
        const QStringList iptables{v6 ? "ip6tables" : "iptables", "-w", "5"};
        if (router == "silent") {
            QVERIFY(InRouters(iptables + ("-A " + drop).split(' '), true));
        } else if (router == "rate-limited") {
            QVERIFY(InRouters({"sysctl", "-qw", "net.ipv4.icmp_ratemask=6168",
                               "net.ipv4.icmp_ratelimit=1000", "net.ipv4.icmp_msgs_per_sec=1",
                               "net.ipv4.icmp_msgs_burst=1"}));
        }
        const auto restore = qScopeGuard([&] {
            if (router == "silent") {
                InRouters(iptables + ("-D " + drop).split(' '), true);
            } else if (router == "rate-limited") {
                InRouters({"sysctl", "-qw", "net.ipv4.icmp_ratemask=0",
                           "net.ipv4.icmp_msgs_per_sec=1000", "net.ipv4.icmp_msgs_burst=50"});
            }
        });
        QString expected;
        if (page == PAGE_PING) {
            expected = host + "\n" + Reply(address) + Reply(address) + Reply(address);
        } else {
            const QString r1 = v6 ? kR1v6 : kR1, r2 = v6 ? kR2v6 : kR2;
            // The oracle: traceroute lists the same addresses as our items, hop by hop.
            const QString oracle = TracerouteHops(host, v6);
            if (router == "rate-limited") {
                QTest::qWait(1100); // the routers' credit, spent by the oracle, comes back
            } else {
                QCOMPARE(
                    oracle,
                    QString("1 %1, 2 %2, 3 %3").arg(r1, router == "silent" ? "*" : r2, address));
            }
            expected = "Trace route to " + host + "\n" + Hop("r1.lab.test", r1, 1) +
                       Hop(router == "silent" ? "" : "r2.lab.test", r2, 2) +
                       Hop(address == kV6only ? "v6only.lab.test" : "target.lab.test", address, 3);
        }
        const qint64 ms = Run(page, host);
        QVERIFY2(ms >= 0, "the page is still running");
        QCOMPARE(Text(page), expected);
        if (router == "silent") {
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

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("SABREVIN_PROBE_LAB_ROUTER_NS")) {
        std::printf("SKIP: runs inside the lab of run_probe_lab.sh\n");
        return 77;
    }
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Varnstead")); // as the program names its settings
    TestProbeLab t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_probe_lab.moc"
