// Name lookups and their errors: the sockets layer's error texts, its asynchronous lookups and
// the Lookup and Local Info pages. Outside the DNS lab the lookups ask a crafted server on
// loopback, or a port where nobody listens; the rows and steps that need the lab
// (tests/dns/run_in_dns_lab.sh, which exports SABREVIN_LAB_DNS) run only there.

#include "net/error_text.h"
#include "net/host_by_addr.h"
#include "res/resource.h"
#include "ui/main_dlg.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <QtTest>
#include <QtWidgets>

// Receives the completions of the lookups it asks for (handle, error, length) in a buffer of
// 'Z's.
struct Receiver : QObject {
    QList<QList<qint64>> done;
    alignas(hostent) char buf[MAXGETHOSTSTRUCT];

    Receiver() { memset(buf, 'Z', sizeof buf); }
    bool event(QEvent* e) override {
        const auto* m = dynamic_cast<CMessageEvent*>(e);
        m ? done.append({qint64(m->WParam()), HiWord(m->LParam()), LoWord(m->LParam())}) : void();
        return m != nullptr || QObject::event(e);
    }
    HANDLE ByName(const QString& name, int len = MAXGETHOSTSTRUCT) {
        return WSAAsyncGetHostByName(this, WM_LOOKUP_DONE, qPrintable(name), buf, len);
    }
};

// A DNS server on a loopback port that answers by the first label of the name asked, as no
// real server would: "silent" not at all; "stray" with the alias chain stray... -> mid.test ->
// real.test, an alias record off it (off -> off) and real.test's A (10.0.0.1) or AAAA
// (2001:db8::1) record; "nodata" with none; "servfail", "notimp", "refused" and a number (the first
// label of an address's reverse name) with that code; any other with NXDOMAIN.
struct CraftedServer {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    QSocketNotifier notifier{fd, QSocketNotifier::Read};
    QByteArray address;

    CraftedServer() {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), length);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        address = "127.0.0.1:" + QByteArray::number(ntohs(a.sin_port));
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] { Answer(); });
    }
    ~CraftedServer() { close(fd); } // the notifier, gone next, only forgets it
    static QByteArray Record(const QByteArray& owner, char type, const QByteArray& data) {
        const char fixed[] = {0, type, 0, 1, 0, 0, 1, 0x2c, 0, char(data.size())};
        return owner + QByteArray(fixed, sizeof fixed) + data;
    }
    void Answer() {
        static const QMap<QByteArray, int> kCodes{
            {"stray", 0}, {"nodata", 0}, {"servfail", 2}, {"notimp", 4}, {"refused", 5}};
        const QByteArray mid("\3mid\4test", 10), real("\4real\4test", 11), off("\3off", 5);
        const QByteArray ips = QByteArray::fromHex("0a00000120010db8000000000000000000000001");
        char buf[512];
        sockaddr_storage peer;
        auto* from = reinterpret_cast<sockaddr*>(&peer);
        for (socklen_t len = sizeof peer; recvfrom(fd, buf, sizeof buf, 0, from, &len) >= 12;) {
            QByteArray q(buf, sizeof buf);
            q.truncate(int(q.indexOf('\0', 12)) + 5); // the header and the question
            const QByteArray first = q.mid(13, q[12]);
            const char type = q[q.size() - 3];
            QList<QByteArray> records;
            if (first == "stray") { // the question's name is at offset 12
                records << Record(off, 5, off) << Record("\xc0\x0c", 5, mid) << Record(mid, 5, real)
                        << Record(real, type, type == 1 ? ips.left(4) : ips.mid(4));
            }
            q[2] = char(0x84); // an authoritative answer
            q[3] = char(kCodes.value(first, first.toInt() > 0 ? first.toInt() : 3));
            q[7] = char(records.size());
            q[11] = 0; // no additional records
            q += records.join();
            first == "silent" ? void()
                              : void(sendto(fd, q.constData(), size_t(q.size()), 0, from, len));
        }
    }
};

// The tree's item texts, depth first, joined by '|'.
static QString Items(const ReportTree& rt) {
    return rt.GetTree()->AllText().trimmed().replace(QRegularExpression("\\s*\n\\s*"), "|");
}

class TestLookup : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;
    const bool m_inLab = !qEnvironmentVariableIsEmpty("SABREVIN_LAB_DNS");

    QComboBox* Host() { return static_cast<QComboBox*>(m_dlg->GetDlgItem(IDC_LOOKUP_HOST)); }
    QString Button() { return m_dlg->GetDlgItem(IDC_LOOKUP_START)->property("text").toString(); }
    QTreeWidgetItem* Root() { return m_dlg->Tree(PAGE_LOOKUP).GetTree()->topLevelItem(0); }

private Q_SLOTS:
    void init() {
        // Outside the lab no query may leave the machine: nobody listens on this port.
        sockets_testing::SetDnsServers(m_inLab ? nullptr : "127.0.0.1:9");
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
    }
    void cleanup() {
        sockets_testing::SetHostName(nullptr);
        m_dlg.reset();
        QCOMPARE(WSAOutstandingAsyncRequests(), 0); // teardown cancelled everything
    }

    // The error texts the pages show, and the IPv6 literals the lookups take as addresses.
    void parsers() {
        // Every code from -1 to 12000 that has a text (printed on a mismatch; the start-up
        // message 104 is none).
        QByteArray all;
        for (int code = -1; code <= 12000; ++code) {
            const QByteArray t = GetErrorText(code);
            all += t == "Error loading string" ? "" : QByteArray::number(code) + " " + t + "\n";
        }
        QVERIFY2(QCryptographicHash::hash(all, QCryptographicHash::Sha1).toHex() ==
                     "e06b1fd1999e0f77beae47b80eaf721310d8d470",
                 all.constData());

        // Splits as "code|description" at the first colon; with no colon, no code and the
        // description from the second character; a colon last; parts too long, cut and never
        // written past.
        QString split;
        for (const QByteArray& text :
             {QByteArray(GetErrorText(11003)), QByteArray("[0] No Error"), QByteArray("ABC:"),
              QByteArray(300, 'C') + ": " + QByteArray(300, 'D')}) {
            struct {
                char code[kErrorTextSize], past1[8], description[kErrorTextSize], past2[8];
            } out;
            std::memset(&out, 'Z', sizeof out);
            SplitErrorText(text.constData(), out.code, out.description);
            QVERIFY(QByteArray(out.past1, 8) + QByteArray(out.past2, 8) == QByteArray(16, 'Z'));
            split += QString(out.code) + "|" + out.description + "\n";
        }
        QCOMPARE(split, QString("WSANO_RECOVERY|Non-Recoverable errors: FORMERR, REFUSED, NOTIMP\n"
                                "|0] No Error\nABC|\n%1|%2\n")
                            .arg(QString(255, 'C'), QString(255, 'D')));

        // "text parsed address/zone family port" per row; a refused text (those ending in ';' on
        // the last line) leaves the output alone.
        const QString rows = QString(R"(2001:0db8:0:0:0:0:0:0001 1 2001:db8::1/0 10 0
fe80::1%lo 1 fe80::1/%1 10 0
fe80::1%7 1 fe80::1/7 10 0
localhost;fe80::1%;fe80::1%7x;fe80::1%4294967296;0000:0000:0000:0000:0000:0000:0000:0000:1;)");
        for (const QString& row : rows.arg(if_nametoindex("lo"))
                                      .replace(';', " 0 ::/0 0 48879\n")
                                      .split('\n', Qt::SkipEmptyParts)) {
            sockaddr_in6 out{};
            out.sin6_port = 0xBEEF; // 0 on success
            const QByteArray text = row.section(' ', 0, 0).toLatin1();
            const bool ok = ParseIpv6Literal(text, &out);
            char a[INET6_ADDRSTRLEN] = {};
            QCOMPARE(QString::asprintf("%s %d %s/%u %d %d", text.data(), ok,
                                       inet_ntop(AF_INET6, &out.sin6_addr, a, sizeof a),
                                       out.sin6_scope_id, out.sin6_family, out.sin6_port),
                     row);
        }
    }

    // The page's items below the root, which shows the host ("F" and a code: the failure with
    // that code). Rows outside the lab ask the crafted server ("closed.crafted" a port where
    // nobody listens), within c-ares's own two tries. Below the page, the sockets layer: a
    // reverse lookup names the address as the Trace page's lookup of a hop does; a name's host
    // entry is IPv6 only for a name without IPv4 address, and needs exactly the length it
    // reports, no byte more.
    void lookupPage_data() {
        QTest::addColumn<QString>("items"); // a failure as "code|symbol|description"
        // A numeric name is its own official name. The end of the alias chain is the official
        // name; a record off the chain changes nothing. In reverse: 10.0.0.5 REFUSED, 10.0.0.2
        // SERVFAIL, 10.0.0.3 NXDOMAIN. Only the first 127 characters of the host text count.
        // The rows marked '@' need the lab. The hosts file: both families, in reverse, IPv6 only
        // by an alias. DNS in reverse: three pointer records, an IPv6 address with a zone, a
        // 253-character name cut to 255 characters with the prefix.
        const QString rows =
            QString(R"(255.255.255.255|Official name: 255.255.255.255|IP address: 255.255.255.255
stray.crafted|Official name: real.test|IP address: 10.0.0.1|IP address: 2001:db8::1|Alias: stray.crafted|Alias: mid.test
nowhere.crafted 10.0.0.3|11001|WSAHOST_NOT_FOUND|Host not found
nodata.crafted|11004|WSANO_DATA|Valid name, no data record of requested type
refused.crafted notimp.crafted 10.0.0.5|11003|WSANO_RECOVERY|Non-Recoverable errors: FORMERR, REFUSED, NOTIMP
servfail.crafted silent.crafted closed.crafted 10.0.0.2|11002|WSATRY_AGAIN|Non-Authoritative Host not found
%1.invalid|Host lookup cancelled
@localhost|Official name: localhost|IP address: 127.0.0.1|IP address: ::1
@127.0.0.1|Official name: localhost|IP address: 127.0.0.1
@hosted6alias|Official name: hosted6.lab.test|IP address: fd00:77::99|Alias: hosted6alias
@10.77.1.13|Official name: multi3.lab.test|IP address: 10.77.1.13|Alias: multi2.lab.test|Alias: multi1.lab.test
@fe80::1%lo|Official name: link.lab.test|IP address: fe80::1
@%2|Official name: %3|IP address: %2)")
                .arg(QString(200, 'a'), qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_ADDR"),
                     qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_NAME").left(240));
        for (const QString& row :
             rows.split('\n').filter(QRegularExpression(m_inLab ? "" : "^[^@]"))) {
            QStringList f = row.split('|');
            const QStringList hosts = f.takeFirst().split(' ');
            f = f[0].toInt() == 0 ? f
                                  : QStringList{"Host lookup failed", "Error: " + f[0],
                                                "Code: " + f[1], "Description: " + f[2]};
            for (const QString& host : hosts) {
                QTest::newRow(qPrintable(host)) << f.join('|');
            }
        }
    }
    void lookupPage() {
        QFETCH(QString, items);
        const QString tag = QTest::currentDataTag(), host = tag.mid(tag.startsWith('@'));
        CraftedServer server;
        sockets_testing::SetDnsServers(tag.startsWith('@')         ? nullptr
                                       : host.startsWith("closed") ? "127.0.0.1:9"
                                                                   : server.address.constData());
        m_dlg->OnToolsLookup();
        Host()->setEditText(host);
        QTest::keyClick(Host(), Qt::Key_Return);
        if (items == "Host lookup cancelled") { // Enter stops a lookup as the button does
            QCOMPARE(Root()->text(0) + Button(), "Looking up " + host.left(127) + "...&Stop");
            QTest::keyClick(Host(), Qt::Key_Return);
        }
        QTRY_COMPARE_WITH_TIMEOUT(Button(), QString("&Start"), 7500); // 2 s, then 4 s
        QCOMPARE(Items(m_dlg->Tree(PAGE_LOOKUP)), host.left(127) + '|' + items);
        // The folding and the history, which takes successes only.
        QCOMPARE(Root()->isExpanded() * 100 + Root()->child(0)->isExpanded() * 10 + Host()->count(),
                 items.startsWith("Host lookup") ? 100 : 101);
        if (Host()->count() == 0) {
            return;
        }
        const QString official = items.section('|', 0, 0).mid(15); // after "Official name: "
        const in_addr_t a4 = inet_addr(qPrintable(host));
        sockaddr_in6 a6{};
        std::string hop;
        if (a4 != INADDR_NONE || ParseIpv6Literal(qPrintable(host), &a6)) {
            QVERIFY(a4 != INADDR_NONE
                        ? WsGetHostByAddr(a4, kReverseLookupMs, nullptr, &hop)
                        : WsGetHostByAddr(a6.sin6_addr, kReverseLookupMs, nullptr, &hop));
            QCOMPARE(QString::fromStdString(hop).left(official.size()), official);
            return;
        }
        // Requests cancelled, and those whose receiver is gone, are never delivered.
        Receiver r;
        const HANDLE cancelled = r.ByName(host), kept = r.ByName(host);
        QVERIFY(Receiver().ByName(host) != 0); // gone at once
        QCOMPARE(WSACancelAsyncRequest(cancelled) - WSACancelAsyncRequest(cancelled), 1); // 0, -1
        QTRY_COMPARE(r.done.size(), 1);
        const qint64 length = r.done[0][2]; // the page has shown the entry's contents
        QCOMPARE(QByteArray(r.buf + length, 16), QByteArray(16, 'Z'));
        memset(r.buf, 'Z', sizeof r.buf); // a result that does not fit writes nothing
        const qint64 tooShort = r.ByName(host, int(length) - 1);
        QTRY_COMPARE(r.done.size(), 2);
        QCOMPARE(r.done,
                 (QList<QList<qint64>>{{qint64(kept), 0, length}, {tooShort, WSAENOBUFS, length}}));
        QCOMPARE(QByteArray(r.buf, sizeof r.buf), QByteArray(sizeof r.buf, 'Z'));
    }

    // Refresh fills the page from the event loop, as the system resolver has the host. In the
    // lab, a name that only a silent DNS server could answer (the resolver waits 6 s): Refresh
    // returns at once, the page shows the failure after 2 s and keeps the last good name; the
    // window closes at once while the resolver waits.
    void localInfo() {
        const ReportTree& tree = m_dlg->Tree(PAGE_LOCALINFO);
        QTreeWidget* local = tree.GetTree();
        auto* name = static_cast<QLineEdit*>(m_dlg->GetDlgItem(IDC_LOCAL_HOST));
        const WSADATA& wsa = m_dlg->SocketData();
        sockets_testing::SetHostName("localhost");
        m_dlg->OnRefresh();
        QCOMPARE(local->topLevelItemCount(), 0);
        QTRY_COMPARE(local->topLevelItemCount(), 1);
        QCOMPARE(Items(tree) + '|' + name->text(),
                 QString("localhost|IP address: 127.0.0.1|Winsock version: 1.1|Winsock high "
                         "version: 2.2|Winsock description: %1|System status: %2|Sockets: "
                         "%3|UDP size: 65507|localhost")
                     .arg(wsa.szDescription, wsa.szSystemStatus, QString::number(wsa.iMaxSockets)));
        m_dlg->OnToolsLookup();
        Host()->setEditText("localhost"); // a completion still due when the window closes
        m_dlg->OnLookupStart();
        if (!m_inLab) {
            return;
        }
        sockets_testing::SetHostName("nohost.silent.lab.test");
        QElapsedTimer clock;
        clock.start();
        m_dlg->OnRefresh();
        QVERIFY(clock.elapsed() < 100 && local->topLevelItemCount() == 0);
        QTRY_COMPARE_WITH_TIMEOUT(local->topLevelItemCount(), 1, 4000);
        QVERIFY(clock.elapsed() >= 1900 && clock.elapsed() < 3000);
        QCOMPARE(Items(tree) + '|' + name->text(),
                 "WSATRY_AGAIN: Non-Authoritative Host not found|localhost");
        sockets_testing::SetHostName("other.silent.lab.test");
        m_dlg->OnRefresh();
        clock.restart();
        m_dlg.reset();
        QVERIFY(clock.elapsed() < 500);
    }
};

QTEST_MAIN(TestLookup)
#include "test_lookup.moc"
