// The Ping and Trace pages with the real echo module in a lab of network namespaces (built by
// run_probe_lab.sh, which runs this program in the lab's client twice: r2 sending Time Exceeded,
// then r2 silent). Exact item trees, round-trip times aside; the trace's hop addresses must
// equal those of the system's traceroute, run here in the same lab.

#include "net/icmp/icmp_api.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/main_dlg.h"

#include <dlfcn.h>

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

constexpr int kSkipCode = 77;
constexpr int kHops = 10;

QString Env(const char* name) {
    return QString::fromLocal8Bit(qgetenv(name));
}

// The lab as run_probe_lab.sh describes it.
struct Lab {
    QString socket; // "raw" or "dgram": the socket the echo module should take
    QString r1, r1Name, r2, r2Name, target, targetName, quiet, unroutable;
    // IPv6: the routers' and the target's addresses, a name with an IPv6 address only (the
    // target's second), and an address r1 has no route to.
    QString r1v6, r2v6, target6, v6only, v6onlyName, unroutable6;
    QString traceroute;
    QStringList routerNamespaces; // r1's and r2's
    bool r2SendsTimeExceeded = true;

    static bool Present() { return !qEnvironmentVariableIsEmpty("SABREVIN_PROBE_LAB_TARGET"); }
    static Lab FromEnvironment() {
        Lab lab;
        lab.socket = Env("SABREVIN_PROBE_LAB_SOCKET");
        lab.r1 = Env("SABREVIN_PROBE_LAB_R1");
        lab.r1Name = Env("SABREVIN_PROBE_LAB_R1_NAME");
        lab.r2 = Env("SABREVIN_PROBE_LAB_R2");
        lab.r2Name = Env("SABREVIN_PROBE_LAB_R2_NAME");
        lab.target = Env("SABREVIN_PROBE_LAB_TARGET");
        lab.targetName = Env("SABREVIN_PROBE_LAB_TARGET_NAME");
        lab.quiet = Env("SABREVIN_PROBE_LAB_QUIET");
        lab.unroutable = Env("SABREVIN_PROBE_LAB_UNROUTABLE");
        lab.traceroute = Env("SABREVIN_PROBE_LAB_TRACEROUTE");
        lab.r1v6 = Env("SABREVIN_PROBE_LAB_R1_6");
        lab.r2v6 = Env("SABREVIN_PROBE_LAB_R2_6");
        lab.target6 = Env("SABREVIN_PROBE_LAB_TARGET_6");
        lab.v6only = Env("SABREVIN_PROBE_LAB_V6ONLY");
        lab.v6onlyName = Env("SABREVIN_PROBE_LAB_V6ONLY_NAME");
        lab.unroutable6 = Env("SABREVIN_PROBE_LAB_UNROUTABLE_6");
        lab.routerNamespaces = Env("SABREVIN_PROBE_LAB_ROUTER_NS").split(' ', Qt::SkipEmptyParts);
        lab.r2SendsTimeExceeded = Env("SABREVIN_PROBE_LAB_R2_TIME_EXCEEDED") != "dropped";
        return lab;
    }
};

// One line of a route: the hop's number and the address that answered, "*" for none.
struct Hop {
    int number = 0;
    QString address;
    friend bool operator==(const Hop&, const Hop&) = default;
};

QString Describe(const QList<Hop>& hops) {
    QStringList parts;
    for (const Hop& h : hops) {
        parts << QString("%1 %2").arg(h.number).arg(h.address);
    }
    return parts.join(", ");
}

// The tree's text with each round-trip time replaced by "#"; every time must be below the
// 1-second time-out.
QString WithoutTimes(const QString& text) {
    static const QRegularExpression rtt(QStringLiteral("^( *)RTT: (\\d+) ms$"),
                                        QRegularExpression::MultilineOption);
    QString out = text;
    QRegularExpressionMatchIterator it = rtt.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (m.captured(2).toULongLong() >= 1000) {
            return QStringLiteral("round-trip time beyond the time-out: ") + m.captured(0);
        }
    }
    out.replace(rtt, QStringLiteral("\\1RTT: # ms"));
    return out;
}

QString PingReply(const QString& from, const QString& what, int size, int ttl) {
    return QString("  Reply from %1: %2\n"
                   "    Packet size: %3 bytes\n"
                   "    RTT: # ms\n"
                   "    TTL: %4\n")
        .arg(from, what)
        .arg(size)
        .arg(ttl);
}

QString TraceHop(const QString& name, const QString& address, int hop) {
    return QString("  %1 [%2]\n"
                   "    Hop: #%3\n"
                   "    RTT: # ms\n")
        .arg(name, address)
        .arg(hop);
}

QString SilentHop(int hop) {
    return QString("  Request timed out\n"
                   "    Hop: #%1\n")
        .arg(hop);
}

} // namespace

// Each case runs in one of the lab's two configurations and is skipped in the other.
#define NEED_R2_TIME_EXCEEDED(sent)                                                                \
    do {                                                                                           \
        if (m_lab.r2SendsTimeExceeded != (sent)) {                                                 \
            QSKIP((sent) ? "runs where r2 sends Time Exceeded"                                     \
                         : "runs where r2 drops Time Exceeded");                                   \
        }                                                                                          \
    } while (false)

class TestProbeLab : public QObject {
    Q_OBJECT

    Lab m_lab = Lab::FromEnvironment();
    std::unique_ptr<CMainDlg> m_dlg;

    QComboBox* Box(int page) const {
        return static_cast<QComboBox*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_HOST : IDC_TRACE_HOST));
    }
    QPushButton* Button(int page) const {
        return static_cast<QPushButton*>(
            m_dlg->GetDlgItem(page == PAGE_PING ? IDC_PING_START : IDC_TRACE_START));
    }
    QTreeWidget* Widget(int page) const { return m_dlg->Tree(page).GetTree(); }
    QString Text(int page) const { return m_dlg->Tree(page).GetTree()->AllText(); }

    // Types host, starts the page and waits until it is idle again: caption "&Start", enabled.
    // Returns the run's time in milliseconds, or -1 when the case has failed already.
    qint64 Run(int page, const QString& host, int ms) {
        Box(page)->setEditText(host);
        QElapsedTimer clock;
        clock.start();
        if (page == PAGE_PING) {
            m_dlg->OnPingStart();
        } else {
            m_dlg->OnTraceStart();
        }
        [&] {
            QCOMPARE(Button(page)->text(), QString("&Stop"));
            QTRY_VERIFY_WITH_TIMEOUT(Button(page)->text() == "&Start" && Button(page)->isEnabled(),
                                     ms);
        }();
        return QTest::currentTestFailed() ? -1 : clock.elapsed();
    }

    // The hops our trace lists: each answer's address (after the name, in brackets, when it
    // has one) or "*" for "Request timed out", with the number of its "Hop: #n" item.
    QList<Hop> OurHops() const {
        static const QRegularExpression named(QStringLiteral("^.* \\[([0-9a-f:.]+)\\]$"));
        static const QRegularExpression bare(QStringLiteral("^[0-9a-f:.]+$"));
        static const QRegularExpression number(QStringLiteral("^Hop: #(\\d+)$"));
        QList<Hop> hops;
        const QTreeWidgetItem* root = Widget(PAGE_TRACE)->topLevelItem(0);
        for (int i = 0; root != nullptr && i < root->childCount(); ++i) {
            const QTreeWidgetItem* item = root->child(i);
            Hop hop;
            const QString text = item->text(0);
            if (text == "Request timed out") {
                hop.address = "*";
            } else if (const QRegularExpressionMatch m = named.match(text); m.hasMatch()) {
                hop.address = m.captured(1);
            } else if (bare.match(text).hasMatch()) {
                hop.address = text;
            } else {
                hop.address = "?" + text;
            }
            for (int j = 0; j < item->childCount(); ++j) {
                if (const QRegularExpressionMatch m = number.match(item->child(j)->text(0));
                    m.hasMatch()) {
                    hop.number = m.captured(1).toInt();
                }
            }
            hops << hop;
        }
        return hops;
    }

    // The oracle: traceroute -I -n -w 1 -q 1 -m kHops (with -6 over IPv6) in this namespace,
    // one line per hop, "N  ADDRESS  T ms" or "N  *".
    QList<Hop> TracerouteHops(const QString& host, bool v6 = false, int queries = 1) const {
        QProcess p;
        p.setProcessChannelMode(QProcess::SeparateChannels);
        QStringList args{
            "-I", "-n", "-w", "1", "-q", QString::number(queries), "-m", QString::number(kHops),
            host};
        if (v6) {
            args.prepend("-6");
        }
        p.start(m_lab.traceroute, args);
        QList<Hop> hops;
        if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0) {
            p.kill();
            p.waitForFinished(1000);
            qWarning("traceroute failed: %s", p.readAllStandardError().constData());
            return hops;
        }
        static const QRegularExpression line(QStringLiteral("^\\s*(\\d+)\\s+(\\S+)"));
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
        for (const QString& l : out.split('\n', Qt::SkipEmptyParts)) {
            if (const QRegularExpressionMatch m = line.match(l); m.hasMatch()) {
                hops << Hop{m.captured(1).toInt(), m.captured(2)};
            }
        }
        if (hops.isEmpty()) {
            qWarning("traceroute printed no hops:\n%s", qPrintable(out));
        }
        return hops;
    }

    // Sets sysctls (name=value) in both routers' namespaces.
    bool RouterSysctls(const QStringList& settings) const {
        for (const QString& ns : m_lab.routerNamespaces) {
            QProcess p;
            p.start("ip", QStringList{"netns", "exec", ns, "sysctl", "-qw"} + settings);
            if (!p.waitForFinished(5000) || p.exitCode() != 0) {
                qWarning("sysctl in %s: %s", qPrintable(ns), p.readAllStandardError().constData());
                return false;
            }
        }
        return !m_lab.routerNamespaces.isEmpty();
    }

    void VerifyImages(int page) const {
        const QTreeWidgetItem* root = Widget(page)->topLevelItem(0);
        QVERIFY(root != nullptr);
        QVERIFY(root->isExpanded());
        QCOMPARE(ReportTree::ImageOf(root), int(page == PAGE_PING ? IMG_HOST : IMG_ROUTE));
        for (int i = 0; i < root->childCount(); ++i) {
            const QTreeWidgetItem* item = root->child(i);
            const QString text = item->text(0);
            int image = page == PAGE_PING ? IMG_OK : IMG_HOST;
            if (text == "Request timed out" || text.endsWith("Destination host unreachable")) {
                image = IMG_FAIL;
            }
            QCOMPARE(ReportTree::ImageOf(item), image);
            for (int j = 0; j < item->childCount(); ++j) {
                QCOMPARE(ReportTree::ImageOf(item->child(j)), int(IMG_INFO));
            }
        }
    }

private Q_SLOTS:
    void init() {
        // Each case starts from an empty settings file: no history from the one before.
        QFile::remove(Env("XDG_CONFIG_HOME") + "/Varnstead/" + QCoreApplication::applicationName() +
                      ".ini");
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
        m_dlg->Options().m_nTimeout = 1;
        m_dlg->Options().m_nPacketSize = 32;
        m_dlg->Options().m_nHops = kHops;
    }
    void cleanup() { m_dlg.reset(); }

    // The real module, and in this namespace the socket kind the lab asked for.
    void theModuleTakesTheLabsSocket() {
        void* module = m_dlg->Icmp().hModule;
        QVERIFY(module != nullptr);
        QVERIFY(dlsym(module, "IcmpSimLoadScript") == nullptr); // not the simulation
        using Kind = int (*)(ICMP_HANDLE);
        auto kind = reinterpret_cast<Kind>(dlsym(module, "IcmpGetSocketKind"));
        QVERIFY(kind != nullptr);
        const ICMP_HANDLE h = m_dlg->Icmp().pfnIcmpCreateFile();
        QVERIFY(h != ICMP_INVALID_HANDLE);
        const int got = kind(h);
        m_dlg->Icmp().pfnIcmpCloseHandle(h);
        QCOMPARE(got, m_lab.socket == "dgram" ? int(ICMP_SOCKET_DGRAM) : int(ICMP_SOCKET_RAW));
    }

    // Three replies from the target, two routers away: its TTL (hop limit) of 64 arrives as
    // 62. Its name has both families and is pinged over IPv4; a name with IPv6 only over IPv6.
    void pingLiveTarget_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("address");
        QTest::newRow("typed as an address") << m_lab.target << m_lab.target;
        QTest::newRow("typed as a name") << m_lab.targetName << m_lab.target;
        QTest::newRow("typed as an IPv6 address") << m_lab.target6 << m_lab.target6;
        QTest::newRow("a name with IPv6 only") << m_lab.v6onlyName << m_lab.v6only;
    }
    void pingLiveTarget() {
        NEED_R2_TIME_EXCEEDED(true);
        QFETCH(QString, host);
        QFETCH(QString, address);
        m_dlg->Options().m_nPackets = 3;
        if (Run(PAGE_PING, host, 10000) < 0) {
            return;
        }
        const QString reply = PingReply(address, "Host is alive", 32, 62);
        QCOMPARE(WithoutTimes(Text(PAGE_PING)), host + "\n" + reply + reply + reply);
        VerifyImages(PAGE_PING);
        QCOMPARE(Box(PAGE_PING)->itemText(0), host); // the history took it
    }

    // A target whose kernel ignores echo requests: two time-outs of a second each.
    void pingIgnoringTarget() {
        NEED_R2_TIME_EXCEEDED(true);
        m_dlg->Options().m_nPackets = 2;
        const qint64 ms = Run(PAGE_PING, m_lab.quiet, 10000);
        if (ms < 0) {
            return;
        }
        QCOMPARE(Text(PAGE_PING), m_lab.quiet + "\n"
                                                "  Request timed out\n"
                                                "  Request timed out\n");
        QVERIFY2(ms >= 1900, qPrintable(QString("two time-outs took %1 ms").arg(ms)));
        VerifyImages(PAGE_PING);
    }

    // r1 has no route: it answers Destination Unreachable itself, one hop away (TTL 64 as
    // sent), with none of our data. The kernel limits these errors per peer to a burst of five,
    // then one a second (net.ipv4.route.error_burst and error_cost, which are not per
    // namespace), whatever icmp_ratemask says: a lab run asks for no more than two.
    // Over IPv6 r1 answers ICMPv6 Destination Unreachable (no route) in the same way.
    void pingWithoutRoute_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("router");
        QTest::newRow("IPv4") << m_lab.unroutable << m_lab.r1;
        QTest::newRow("IPv6") << m_lab.unroutable6 << m_lab.r1v6;
    }
    void pingWithoutRoute() {
        NEED_R2_TIME_EXCEEDED(true);
        QFETCH(QString, host);
        QFETCH(QString, router);
        m_dlg->Options().m_nPackets = 2;
        if (Run(PAGE_PING, host, 10000) < 0) {
            return;
        }
        const QString reply = PingReply(router, "Destination host unreachable", 0, 64);
        QCOMPARE(WithoutTimes(Text(PAGE_PING)), host + "\n" + reply + reply);
        VerifyImages(PAGE_PING);
    }

    // r1, r2 and the target with their names from the lab's DNS server (in ip6.arpa over
    // IPv6); hop by hop the addresses traceroute (traceroute -6) prints.
    void traceToTarget_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("v6");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("targetName");
        QTest::addColumn<bool>("rateLimited");
        QTest::newRow("typed as an address")
            << m_lab.target << false << m_lab.target << m_lab.targetName << false;
        QTest::newRow("typed as a name")
            << m_lab.targetName << false << m_lab.target << m_lab.targetName << false;
        QTest::newRow("typed as an IPv6 address")
            << m_lab.target6 << true << m_lab.target6 << m_lab.targetName << false;
        QTest::newRow("a name with IPv6 only")
            << m_lab.v6onlyName << true << m_lab.v6only << m_lab.v6onlyName << false;
        // Routers that answer one error a second at most, with a burst of one: of a hop's
        // four requests, sent together, only the first is answered, and that is the hop's.
        QTest::newRow("rate-limited routers")
            << m_lab.target << false << m_lab.target << m_lab.targetName << true;
    }
    void traceToTarget() {
        NEED_R2_TIME_EXCEEDED(true);
        QFETCH(QString, host);
        QFETCH(bool, v6);
        QFETCH(QString, target);
        QFETCH(QString, targetName);
        QFETCH(bool, rateLimited);
        if (rateLimited) {
            QVERIFY(RouterSysctls({"net.ipv4.icmp_ratemask=6168", "net.ipv4.icmp_ratelimit=1000",
                                   "net.ipv4.icmp_msgs_per_sec=1", "net.ipv4.icmp_msgs_burst=1"}));
        }
        const auto restore = qScopeGuard([&] {
            if (rateLimited) {
                RouterSysctls({"net.ipv4.icmp_ratemask=0", "net.ipv4.icmp_msgs_per_sec=1000",
                               "net.ipv4.icmp_msgs_burst=50"});
            }
        });
        const QList<Hop> oracle = TracerouteHops(host, v6, rateLimited ? 3 : 1);
        if (rateLimited) {
            QTest::qWait(1100); // the routers' credit, spent by the oracle, comes back
        }
        if (Run(PAGE_TRACE, host, 20000) < 0) {
            return;
        }
        QCOMPARE(WithoutTimes(Text(PAGE_TRACE)),
                 "Trace route to " + host + "\n" +
                     TraceHop(m_lab.r1Name, v6 ? m_lab.r1v6 : m_lab.r1, 1) +
                     TraceHop(m_lab.r2Name, v6 ? m_lab.r2v6 : m_lab.r2, 2) +
                     TraceHop(targetName, target, 3));
        VerifyImages(PAGE_TRACE);
        if (rateLimited) {
            return; // the oracle itself was limited
        }
        const QList<Hop> ours = OurHops();
        QVERIFY2(ours == oracle,
                 qPrintable("ours: " + Describe(ours) + "; traceroute: " + Describe(oracle)));
        QCOMPARE(Box(PAGE_TRACE)->itemText(0), host);
    }

    // r2 sends no Time Exceeded: hop 2 is "Request timed out" after four requests, sent together,
    // of a second each, hop 3 the target; traceroute prints "*" for hop 2. The same over IPv6.
    void traceAcrossSilentRouter_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("r1");
        QTest::addColumn<bool>("v6");
        QTest::newRow("IPv4") << m_lab.target << m_lab.r1 << false;
        QTest::newRow("IPv6") << m_lab.target6 << m_lab.r1v6 << true;
    }
    void traceAcrossSilentRouter() {
        NEED_R2_TIME_EXCEEDED(false);
        QFETCH(QString, target);
        QFETCH(QString, r1);
        QFETCH(bool, v6);
        const QList<Hop> oracle = TracerouteHops(target, v6);
        const qint64 ms = Run(PAGE_TRACE, target, 20000);
        if (ms < 0) {
            return;
        }
        QCOMPARE(WithoutTimes(Text(PAGE_TRACE)), "Trace route to " + target + "\n" +
                                                     TraceHop(m_lab.r1Name, r1, 1) + SilentHop(2) +
                                                     TraceHop(m_lab.targetName, target, 3));
        // Four requests together: one full time-out, not four in a row.
        QVERIFY2(ms >= 990 && ms < 3900, qPrintable(QString("the silent hop took %1 ms").arg(ms)));
        VerifyImages(PAGE_TRACE);
        const QList<Hop> ours = OurHops();
        QVERIFY2(ours == oracle,
                 qPrintable("ours: " + Describe(ours) + "; traceroute: " + Describe(oracle)));
    }

    // Stop while the silent hop is being asked again: the request under way runs out (a
    // second at most), no "Request timed out" is added for the hop, and the page is idle.
    void stopDuringTheSilentHop() {
        NEED_R2_TIME_EXCEEDED(false);
        Box(PAGE_TRACE)->setEditText(m_lab.target);
        m_dlg->OnTraceStart();
        QTRY_COMPARE_WITH_TIMEOUT(Widget(PAGE_TRACE)->topLevelItem(0)->childCount(), 1, 5000);
        QElapsedTimer clock;
        clock.start();
        m_dlg->OnTraceStart(); // the caption says Stop
        QVERIFY(!Button(PAGE_TRACE)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(
            Button(PAGE_TRACE)->text() == "&Start" && Button(PAGE_TRACE)->isEnabled(), 3000);
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString("%1 ms").arg(clock.elapsed())));
        QCOMPARE(WithoutTimes(Text(PAGE_TRACE)),
                 "Trace route to " + m_lab.target + "\n" + TraceHop(m_lab.r1Name, m_lab.r1, 1));
    }

    // Closing while a ping waits on a 20-second time-out with the real module: the request is
    // interrupted and the dialog is gone within a second.
    void closeDuringALongPing() {
        NEED_R2_TIME_EXCEEDED(true);
        m_dlg->Options().m_nPackets = 1;
        m_dlg->Options().m_nTimeout = 20;
        Box(PAGE_PING)->setEditText(m_lab.quiet);
        m_dlg->OnPingStart();
        QTRY_VERIFY(Widget(PAGE_PING)->topLevelItem(0)->text(0).startsWith("Pinging "));
        QTest::qWait(200); // the request is sent right after the root's text: let it wait
        QElapsedTimer clock;
        clock.start();
        m_dlg->OnCancel();
        m_dlg.reset();
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString("%1 ms").arg(clock.elapsed())));
    }
};

#if defined(__SANITIZE_THREAD__)
// The oracle is started with QProcess from a process that already runs threads (the dialog's
// workers, Qt's pools): the child only execs traceroute, which the thread sanitizer would
// otherwise refuse. TSAN_OPTIONS from the environment still adds to this.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}
#endif

int main(int argc, char** argv) {
    if (!Lab::Present()) {
        std::printf("SKIP: runs inside the lab of run_probe_lab.sh\n");
        return kSkipCode;
    }
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Varnstead")); // as the program names its settings
    TestProbeLab t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_probe_lab.moc"
