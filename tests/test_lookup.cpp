// Name lookups: the sockets layer's asynchronous lookups and the Lookup and Local Info pages.
// Outside the DNS lab the lookups ask a loopback port where nobody listens, or a crafted server;
// the rows and cases that need the lab (tests/dns/run_in_dns_lab.sh, which exports
// SABREVIN_LAB_DNS) are listed or run only there.

#include "net/async_lookup.h"
#include "net/host_by_addr.h"
#include "net/sockets.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/main_dlg.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

bool InLab() {
    return !qEnvironmentVariableIsEmpty("SABREVIN_LAB_DNS");
}

// Receives the completions of the lookups it asks for.
class Receiver : public QObject {
public:
    struct Completion {
        UINT message;
        WPARAM handle;
        int error;
        int length;
    };
    QList<Completion> done;
    alignas(hostent) char buf[MAXGETHOSTSTRUCT] = {};

    bool event(QEvent* e) override {
        if (e->type() < QEvent::User || e->type() >= QEvent::User + 16) {
            return QObject::event(e);
        }
        const auto* m = static_cast<CMessageEvent*>(e);
        done.append({m->Message(), m->WParam(), HiWord(m->LParam()), LoWord(m->LParam())});
        return true;
    }
    const hostent* Host() const { return reinterpret_cast<const hostent*>(buf); }
    in_addr_t First() const { return *reinterpret_cast<const in_addr_t*>(Host()->h_addr_list[0]); }
};

HANDLE ByName(Receiver* r, const QString& name, char* buf = nullptr, int len = MAXGETHOSTSTRUCT) {
    return WSAAsyncGetHostByName(r, WM_LOOKUP_DONE, qPrintable(name), buf ? buf : r->buf, len);
}

// A DNS server on a loopback port that answers by the first label of the name asked, as no
// real server would: "refused", "servfail", "notimp" with that code; "nodata" with no record;
// "silent" not at all; "stray" with an alias record off the chain (other.test -> bogus.test)
// before stray... -> real.test and real.test's address 10.0.0.1; any other with NXDOMAIN.
class CraftedServer : public QObject {
public:
    CraftedServer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), len);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        address = "127.0.0.1:" + QByteArray::number(ntohs(a.sin_port));
        connect(&m_notifier, &QSocketNotifier::activated, this, &CraftedServer::Answer);
    }
    ~CraftedServer() override {
        m_notifier.setEnabled(false);
        close(m_fd);
    }
    QByteArray address;

private:
    static QByteArray Name(const QByteArray& name) {
        QByteArray wire;
        for (const QByteArray& label : name.split('.')) {
            wire += char(label.size()) + label;
        }
        return wire + '\0';
    }
    static QByteArray Record(const QByteArray& owner, char type, const QByteArray& data) {
        const char fixed[] = {0, type, 0, 1, 0, 0, 1, 0x2c, 0, char(data.size())};
        return owner + QByteArray(fixed, sizeof fixed) + data;
    }
    void Answer() {
        static const QMap<QByteArray, int> kCodes{
            {"stray", 0}, {"nodata", 0}, {"servfail", 2}, {"notimp", 4}, {"refused", 5}};
        char buf[512];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        for (ssize_t n = 0; (n = recvfrom(m_fd, buf, sizeof buf, 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromLen)) >= 12;
             fromLen = sizeof from) {
            QByteArray reply(buf, int(n));
            const int end = int(reply.indexOf('\0', 12)); // the end of the name asked
            const QByteArray first = reply.mid(13, reply[12]);
            if (end < 12 || first == "silent") {
                continue;
            }
            const bool typeA = reply[end + 2] == 1;
            reply.truncate(end + 5); // the header and the question
            reply[2] = char(0x84);   // an authoritative answer
            reply[3] = char(kCodes.value(first, 3));
            reply[7] = char(first == "stray" && typeA ? 3 : 0);
            reply[9] = reply[11] = 0;
            if (first == "stray" && typeA) {
                reply += Record(Name("other.test"), 5, Name("bogus.test")) +
                         Record(reply.mid(12, end - 11), 5, Name("real.test")) +
                         Record(Name("real.test"), 1, QByteArray("\x0a\x00\x00\x01", 4));
            }
            sendto(m_fd, reply.constData(), size_t(reply.size()), 0,
                   reinterpret_cast<const sockaddr*>(&from), fromLen);
        }
    }
    const int m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    QSocketNotifier m_notifier{m_fd, QSocketNotifier::Read};
};

// The tree's item texts, depth first, joined by '|'.
QString Items(const ReportTree& rt) {
    QStringList items = rt.GetTree()->AllText().split('\n', Qt::SkipEmptyParts);
    for (QString& item : items) {
        item = item.trimmed();
    }
    return items.join('|');
}

} // namespace

class TestLookup : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;

    QComboBox* Host() { return static_cast<QComboBox*>(m_dlg->GetDlgItem(IDC_LOOKUP_HOST)); }
    QPushButton* Button() { return static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_LOOKUP_START)); }
    ReportTree& Tree() { return m_dlg->Tree(PAGE_LOOKUP); }
    QTreeWidgetItem* Root(int i = 0) { return Tree().GetTree()->topLevelItem(i); }

private Q_SLOTS:
    void initTestCase() {
        // In the lab the system resolver must wait longer for a silent server than Local Info
        // waits for it (it reads this before its first lookup).
        if (InLab()) {
            qputenv("RES_OPTIONS", "timeout:3 attempts:2");
        }
    }
    void init() {
        // Outside the lab no query may leave the machine: nobody listens on this port.
        sockets_testing::SetDnsServers(InLab() ? nullptr : "127.0.0.1:9");
        m_dlg = std::make_unique<CMainDlg>();
        QVERIFY(m_dlg->Create());
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }
    void cleanup() {
        sockets_testing::SetHostName(nullptr);
        m_dlg.reset();
        QCOMPARE(WSAOutstandingAsyncRequests(), 0); // teardown cancelled everything
    }

    // ---- the sockets layer ----

    // The hosts file answers at once, forward and in reverse; each completion carries its own
    // handle; one cancelled while due, and one whose receiver is gone, are never delivered.
    void hostsFileCompletions() {
        Receiver r, back, cancelled;
        auto* gone = new Receiver;
        const HANDLE h = ByName(&r, "localhost");
        const HANDLE c = ByName(&cancelled, "localhost");
        QVERIFY(ByName(gone, "localhost") != 0);
        const in_addr_t loopback = htonl(INADDR_LOOPBACK);
        const HANDLE b =
            WSAAsyncGetHostByAddr(&back, WM_LOOKUP_DONE, reinterpret_cast<const char*>(&loopback),
                                  4, AF_INET, back.buf, sizeof back.buf);
        QVERIFY(h != 0 && c != 0 && b != 0 && h != c && h != b && c != b);
        delete gone;
        QCOMPARE(WSACancelAsyncRequest(c), 0);
        QCOMPARE(WSACancelAsyncRequest(c), -1);
        QTRY_COMPARE(r.done.size() + back.done.size(), 2);
        QTest::qWait(100);
        QCOMPARE(cancelled.done.size(), 0);
        QCOMPARE(WSAOutstandingAsyncRequests(), 0);
        QCOMPARE(r.done[0].message, WM_LOOKUP_DONE);
        QCOMPARE(r.done[0].handle, WPARAM(h));
        QCOMPARE(r.done[0].error, 0);
        QCOMPARE(QString(r.Host()->h_name), QString("localhost"));
        QCOMPARE(r.First(), loopback);
        QCOMPARE(back.done[0].handle, WPARAM(b));
        QCOMPARE(back.done[0].error, 0);
        QCOMPARE(back.First(), loopback);
    }

    void refusedRequests() {
        Receiver r;
        QCOMPARE(ByName(&r, "localhost", r.buf, sizeof(hostent) - 1), HANDLE(0));
        QCOMPARE(WSAGetLastError(), WSAEINVAL);
        QCOMPARE(WSAAsyncGetHostByName(&r, WM_LOOKUP_DONE, nullptr, r.buf, sizeof r.buf),
                 HANDLE(0));
        WSASetLastError(0);
        QCOMPARE(WSAAsyncGetHostByAddr(&r, WM_LOOKUP_DONE, r.buf, 4, AF_INET6, r.buf, 512),
                 HANDLE(0)); // an IPv6 address is 16 bytes
        QCOMPARE(WSAGetLastError(), WSAEINVAL);
    }

    void ipv6Literals_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<uint>("scope");
        QTest::addColumn<QString>("address"); // empty: not an IPv6 literal
        QTest::newRow("written out") << "2001:0db8:0:0:0:0:0:0001" << 0u << "2001:db8::1";
        QTest::newRow("zone by name") << "fe80::1%lo" << if_nametoindex("lo") << "fe80::1";
        QTest::newRow("zone by index") << "fe80::1%7" << 7u << "fe80::1";
        QTest::newRow("a name") << "localhost" << 0u << "";
        QTest::newRow("empty zone") << "fe80::1%" << 0u << "";
        QTest::newRow("zone not a number") << "fe80::1%7x" << 0u << "";
        QTest::newRow("zone past 32 bits") << "fe80::1%4294967296" << 0u << "";
        QTest::newRow("too long") << "0000:0000:0000:0000:0000:0000:0000:0000:1" << 0u << "";
    }
    void ipv6Literals() {
        QFETCH(QString, text);
        QFETCH(uint, scope);
        QFETCH(QString, address);
        sockaddr_in6 out{};
        out.sin6_port = 0xBEEF; // left alone on a refusal, 0 on success
        QCOMPARE(ParseIpv6Literal(text.toUtf8().constData(), &out), !address.isEmpty());
        char shown[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &out.sin6_addr, shown, sizeof shown);
        QCOMPARE(out.sin6_port, uint16_t(address.isEmpty() ? 0xBEEF : 0));
        if (!address.isEmpty()) {
            QCOMPARE(QString(shown), address);
            QCOMPARE(out.sin6_family, sa_family_t(AF_INET6));
            QCOMPARE(uint(out.sin6_scope_id), scope);
        }
    }

    // ---- the Lookup page ----

    // The page's items below the root, which shows the host; names ending in ".crafted" ask
    // the crafted server ("closed.crafted" a port where nobody listens), within c-ares's own
    // two tries. Below the page, the sockets layer: a reverse lookup names the address as the
    // Trace page's lookup of a hop does; a name's host entry is IPv6 only for a name without
    // IPv4 address, and needs exactly the length it reports, no byte more.
    void lookupPage_data() {
        QTest::addColumn<QString>("items"); // of the host in the row's name, separated by '|'
        const QString failed = "Host lookup failed|Error: ";
        const QString noRecovery = failed + "11003|Code: WSANO_RECOVERY|Description: "
                                            "Non-Recoverable errors: FORMERR, REFUSED, NOTIMP";
        const QString tryAgain =
            failed + "11002|Code: WSATRY_AGAIN|Description: Non-Authoritative Host not found";
        // A numeric name is its own official name.
        QTest::newRow("255.255.255.255")
            << "Official name: 255.255.255.255|IP address: 255.255.255.255";
        // An alias record off the chain from the name asked changes nothing.
        QTest::newRow("stray.crafted")
            << "Official name: real.test|IP address: 10.0.0.1|Alias: stray.crafted";
        QTest::newRow("nowhere.crafted")
            << failed + "11001|Code: WSAHOST_NOT_FOUND|Description: Host not found";
        QTest::newRow("nodata.crafted") << failed + "11004|Code: WSANO_DATA|Description: Valid "
                                                    "name, no data record of requested type";
        QTest::newRow("refused.crafted") << noRecovery;
        QTest::newRow("notimp.crafted") << noRecovery;
        QTest::newRow("servfail.crafted") << tryAgain;
        QTest::newRow("silent.crafted") << tryAgain;
        QTest::newRow("closed.crafted") << tryAgain;
        if (!InLab()) {
            return;
        }
        // The hosts file: both families, before DNS, by an alias, IPv6 only.
        QTest::newRow("localhost")
            << "Official name: localhost|IP address: 127.0.0.1|IP address: ::1";
        QTest::newRow("hostalias2") << "Official name: hosted.lab.test|IP address: "
                                       "10.77.9.9|Alias: hostalias1|Alias: hostalias2";
        QTest::newRow("hosted6alias")
            << "Official name: hosted6.lab.test|IP address: fd00:77::99|Alias: hosted6alias";
        // DNS: a chain of two aliases, both families (IPv4 first), IPv6 only.
        QTest::newRow("www.lab.test") << "Official name: target.lab.test|IP address: "
                                         "10.77.1.31|Alias: www.lab.test|Alias: web.lab.test";
        QTest::newRow("dual.lab.test")
            << "Official name: dual.lab.test|IP address: 10.77.1.51|IP address: 10.77.1.52|IP "
               "address: fd00:77::51|IP address: fd00:77::52";
        QTest::newRow("v6only.lab.test") << "Official name: v6only.lab.test|IP address: fd00:77::1";
        QTest::newRow("nowhere.lab.test")
            << failed + "11001|Code: WSAHOST_NOT_FOUND|Description: Host not found";
        // In reverse: three pointer records, an IPv6 address with a zone, a 253-character name
        // cut to 255 characters with the prefix.
        QTest::newRow("10.77.1.13") << "Official name: multi3.lab.test|IP address: "
                                       "10.77.1.13|Alias: multi2.lab.test|Alias: multi1.lab.test";
        QTest::newRow("fe80::1%lo") << "Official name: link.lab.test|IP address: fe80::1";
        const QByteArray longPtr = qgetenv("SABREVIN_LAB_LONG_PTR_ADDR");
        QTest::newRow(longPtr.constData())
            << ("Official name: " + qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_NAME")).left(255) +
                   "|IP address: " + longPtr;
    }
    void lookupPage() {
        QFETCH(QString, items);
        const QString host = QTest::currentDataTag();
        CraftedServer server;
        if (host.endsWith(".crafted")) {
            sockets_testing::SetDnsServers(host.startsWith("closed") ? "127.0.0.1:9"
                                                                     : server.address);
        }
        m_dlg->OnToolsLookup();
        Host()->setEditText(host);
        QTest::keyClick(Host(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(Button()->text(), QString("&Start"), 7500); // 2 s, then 4 s
        QCOMPARE(Items(Tree()), host + '|' + items);
        const bool failed = items.startsWith("Host lookup failed");
        QCOMPARE(ReportTree::ImageOf(Root()), int(IMG_HOST));
        QCOMPARE(ReportTree::ImageOf(Root()->child(0)), int(failed ? IMG_FAIL : IMG_INFO));
        QVERIFY(Root()->isExpanded() && !Root()->child(0)->isExpanded());
        QCOMPARE(Host()->count(), failed ? 0 : 1); // the history takes successes only
        if (failed) {
            return;
        }
        const QString official = items.section('|', 0, 0).mid(int(strlen("Official name: ")));
        sockaddr_in6 a6{};
        const in_addr_t a4 = inet_addr(qPrintable(host));
        std::string hopName;
        if (ParseIpv6Literal(qPrintable(host), &a6) || a4 != INADDR_NONE) {
            QVERIFY(a4 != INADDR_NONE
                        ? WsGetHostByAddr(a4, kReverseLookupMs, nullptr, &hopName)
                        : WsGetHostByAddr(a6.sin6_addr, kReverseLookupMs, nullptr, &hopName));
            QCOMPARE(QString::fromStdString(hopName).left(official.size()), official);
            return;
        }
        Receiver r;
        QVERIFY(ByName(&r, host) != 0);
        QTRY_COMPARE(r.done.size(), 1);
        const bool v6only = items.section('|', 1, 1).count(':') > 1; // "IP address: fd00::1"
        QCOMPARE(r.Host()->h_addrtype, v6only ? AF_INET6 : AF_INET);
        QCOMPARE(r.Host()->h_length, v6only ? 16 : 4);
        const int length = r.done[0].length;
        std::vector<char> exact(size_t(length) + 16, 'Z');
        QVERIFY(ByName(&r, host, exact.data(), length - 1) != 0);
        QTRY_COMPARE(r.done.size(), 2);
        QCOMPARE(r.done[1].error, WSAENOBUFS);
        QCOMPARE(r.done[1].length, length);
        QVERIFY(ByName(&r, host, exact.data(), length) != 0);
        QTRY_COMPARE(r.done.size(), 3);
        QCOMPARE(r.done[2].error, 0);
        QCOMPARE(QByteArray(exact.data() + length, 16), QByteArray(16, 'Z'));
        QCOMPARE(QString(reinterpret_cast<const hostent*>(exact.data())->h_name), official);
    }

    void refusedHostTexts_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("a leading space") << " localhost";
    }
    void refusedHostTexts() {
        QFETCH(QString, text);
        m_dlg->OnToolsLookup();
        Host()->setEditText(text);
        QString seen;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->windowTitle() + ": " + box->text();
                box->accept();
            }
        });
        m_dlg->OnLookupStart();
        QCOMPARE(seen, QString("Error: Unrecognized host data!"));
        QCOMPARE(Button()->text(), QString("&Start"));
        QCOMPARE(Tree().GetTree()->topLevelItemCount(), 0);
    }

    // Only the first 127 characters of the host text count. Enter stops a lookup as the button
    // does, and leaves no request behind; each request has a root of its own.
    void stopALookup() {
        m_dlg->OnToolsLookup();
        Host()->setEditText(QString(200, 'a') + ".invalid");
        const QString host(127, 'a');
        for (int i = 0; i < 2; ++i) {
            QTest::keyClick(Host(), Qt::Key_Return);
            QCOMPARE(Button()->text(), QString("&Stop"));
            QCOMPARE(Root(i)->text(0), "Looking up " + host + "...");
            QTest::keyClick(Host(), Qt::Key_Return);
            QCOMPARE(Button()->text(), QString("&Start"));
            QCOMPARE(WSAOutstandingAsyncRequests(), 0);
        }
        QTest::qWait(100);
        QCOMPARE(Items(Tree()), host + "|Host lookup cancelled|" + host + "|Host lookup cancelled");
        QCOMPARE(ReportTree::ImageOf(Root(1)->child(0)), int(IMG_FAIL));
        QCOMPARE(Host()->count(), 0);
    }

    // Clear while a lookup is outstanding: the cancel's and the completion's writes do nothing.
    void clearDuringALookup_data() {
        QTest::addColumn<bool>("stop");
        QTest::newRow("then the completion") << false;
        QTest::newRow("then Stop") << true;
    }
    void clearDuringALookup() {
        QFETCH(bool, stop);
        m_dlg->OnToolsLookup();
        Host()->setEditText("localhost");
        m_dlg->OnLookupStart();
        Tree().Clear();
        if (stop) {
            m_dlg->OnLookupStart();
        }
        QTRY_COMPARE(Button()->text(), QString("&Start"));
        QTest::qWait(50);
        QCOMPARE(Tree().GetTree()->topLevelItemCount(), 0);
    }

    // ---- the Local Info page ----

    // Filled at start, on Refresh and on Enter, as the system resolver has the host.
    void localInfo() {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        const hostent* system = gethostbyname(name);
        const WSADATA& wsa = m_dlg->SocketData();
        const QString expected =
            system == nullptr
                ? QString()
                : QString("%1|IP address: %2|Winsock version: 1.1|Winsock high version: 2.2|"
                          "Winsock description: %3|System status: %4|Sockets: %5|UDP size: 65507")
                      .arg(system->h_name, inet_ntoa(*reinterpret_cast<in_addr*>(system->h_addr)),
                           wsa.szDescription, wsa.szSystemStatus)
                      .arg(wsa.iMaxSockets);
        ReportTree& local = m_dlg->Tree(PAGE_LOCALINFO);
        for (int round = 0; round < 3; ++round) {
            QTRY_COMPARE(local.GetTree()->topLevelItemCount(), 1);
            const QTreeWidgetItem* root = local.GetTree()->topLevelItem(0);
            QCOMPARE(ReportTree::ImageOf(root), int(system ? IMG_HOST : IMG_FAIL));
            if (system != nullptr) {
                QCOMPARE(Items(local), expected);
                QCOMPARE(static_cast<QLineEdit*>(m_dlg->GetDlgItem(IDC_LOCAL_HOST))->text(),
                         QString(name));
                QVERIFY(root->isExpanded());
            } else {
                QVERIFY(root->text(0).startsWith("WSA") && root->childCount() == 0);
            }
            if (round == 0) {
                static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_REFRESH))->click();
            } else {
                m_dlg->OnToolsLocalInfo();
                QTest::keyClick(m_dlg.get(), Qt::Key_Return);
            }
        }
        QTRY_COMPARE(local.GetTree()->topLevelItemCount(), 1);
        QTest::qWait(100);
        QCOMPARE(local.GetTree()->topLevelItemCount(), 1); // two refreshes, one root
    }

    // A host name that only a silent DNS server could answer: Refresh returns at once, the
    // page shows the failure after 2 s (the resolver would wait 6), a newer Refresh makes the
    // older lookup's end harmless, and the window closes at once while the resolver waits.
    void labLocalInfoWithASilentServer() {
        if (!InLab()) {
            QSKIP("needs the DNS lab: run under tests/dns/run_in_dns_lab.sh (root)");
        }
        ReportTree& local = m_dlg->Tree(PAGE_LOCALINFO);
        auto* edit = static_cast<QLineEdit*>(m_dlg->GetDlgItem(IDC_LOCAL_HOST));
        QTRY_COMPARE(local.GetTree()->topLevelItemCount(), 1);
        const QString shown = edit->text();
        sockets_testing::SetHostName("nohost.silent.lab.test");
        QElapsedTimer clock;
        clock.start();
        m_dlg->OnRefresh();
        QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(local.GetTree()->topLevelItemCount(), 0); // filled when the answer comes
        QTRY_COMPARE_WITH_TIMEOUT(local.GetTree()->topLevelItemCount(), 1, 4000);
        QVERIFY2(clock.elapsed() >= 1900 && clock.elapsed() < 3000,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(Items(local), QString("WSATRY_AGAIN: Non-Authoritative Host not found"));
        QCOMPARE(ReportTree::ImageOf(local.GetTree()->topLevelItem(0)), int(IMG_FAIL));
        QCOMPARE(edit->text(), shown); // the edit box keeps the last good name

        // A Refresh while the resolver waits: only the newest fill counts.
        m_dlg->OnRefresh();
        QTest::qWait(500);
        sockets_testing::SetHostName("localhost");
        m_dlg->OnRefresh();
        QTRY_COMPARE(local.GetTree()->topLevelItemCount(), 1);
        QTest::qWait(2000); // past the older fill's bound
        QCOMPARE(local.GetTree()->topLevelItemCount(), 1);
        QCOMPARE(local.GetTree()->topLevelItem(0)->text(0), QString("localhost"));
        QCOMPARE(edit->text(), QString("localhost"));

        // Close while the resolver still waits for the silent server.
        sockets_testing::SetHostName("other.silent.lab.test");
        m_dlg->OnRefresh();
        QElapsedTimer closing;
        closing.start();
        m_dlg.reset();
        QVERIFY2(closing.elapsed() < 500, qPrintable(QString::number(closing.elapsed())));
    }
};

QTEST_MAIN(TestLookup)
#include "test_lookup.moc"
