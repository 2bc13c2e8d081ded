// Name lookups: the sockets layer's asynchronous lookups and the Lookup and Local Info pages.
// The cases marked "lab" need the DNS lab (tests/dns/run_in_dns_lab.sh), which exports
// SABREVIN_LAB_DNS; elsewhere they are skipped. The others use the hosts file's localhost.

#include "net/async_lookup.h"
#include "net/host_by_addr.h"
#include "net/sockets.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/main_dlg.h"
#include "ui/tab_ctrl.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
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

namespace {

#define NEEDS_LAB()                                                                                \
    do {                                                                                           \
        if (qEnvironmentVariableIsEmpty("SABREVIN_LAB_DNS"))                                       \
            QSKIP("needs the DNS lab: run under tests/dns/run_in_dns_lab.sh (root)");              \
    } while (false)

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
        if (e->type() >= QEvent::User && e->type() < QEvent::User + 16) {
            const auto* m = static_cast<CMessageEvent*>(e);
            done.append({m->Message(), m->WParam(), HiWord(m->LParam()), LoWord(m->LParam())});
            return true;
        }
        return QObject::event(e);
    }
    const hostent* Host() const { return reinterpret_cast<const hostent*>(buf); }
    QStringList Aliases() const {
        QStringList list;
        for (char** a = Host()->h_aliases; *a != nullptr; ++a) {
            list << *a;
        }
        return list;
    }
    // The IPv4 addresses, then the IPv6 ones.
    QStringList Addresses() const {
        QStringList list;
        for (char** p = Host()->h_addr_list; Host()->h_addrtype == AF_INET && *p != nullptr; ++p) {
            in_addr a{};
            std::memcpy(&a, *p, 4);
            list << inet_ntoa(a);
        }
        for (const in6_addr* const* p = HostEntIpv6(Host()); *p != nullptr; ++p) {
            char text[INET6_ADDRSTRLEN];
            list << inet_ntop(AF_INET6, *p, text, sizeof text);
        }
        return list;
    }
};

HANDLE ByName(Receiver* r, const char* name) {
    return WSAAsyncGetHostByName(r, WM_LOOKUP_DONE, name, r->buf, sizeof r->buf);
}

// address: dotted IPv4 or IPv6 text.
HANDLE ByAddr(Receiver* r, const char* address) {
    in6_addr a6{};
    if (inet_pton(AF_INET6, address, &a6) == 1) {
        return WSAAsyncGetHostByAddr(r, WM_LOOKUP_DONE, reinterpret_cast<const char*>(&a6), 16,
                                     AF_INET6, r->buf, sizeof r->buf);
    }
    const in_addr_t a = inet_addr(address);
    return WSAAsyncGetHostByAddr(r, WM_LOOKUP_DONE, reinterpret_cast<const char*>(&a), 4, AF_INET,
                                 r->buf, sizeof r->buf);
}

// The system resolver's addresses for name, in its order: the oracle for the record order.
QStringList SystemAddresses(const char* name) {
    QStringList list;
    if (const hostent* h = gethostbyname(name)) {
        for (char** p = h->h_addr_list; *p != nullptr; ++p) {
            in_addr a{};
            std::memcpy(&a, *p, 4);
            list << inet_ntoa(a);
        }
    }
    return list;
}

// The system resolver's official name for an address (IPv4 or IPv6 text): the oracle for
// reverse lookups.
QString SystemName(const char* address) {
    in6_addr a6{};
    const in_addr_t a = inet_addr(address);
    const hostent* h = inet_pton(AF_INET6, address, &a6) == 1 ? gethostbyaddr(&a6, 16, AF_INET6)
                                                              : gethostbyaddr(&a, 4, AF_INET);
    return h != nullptr ? QString(h->h_name) : QString();
}

// A DNS server on a loopback port that answers by the first label of the name asked:
// "refused", "servfail", "notimp" with that code; "stray" with an alias record whose owner is
// not on the chain (other.test -> bogus.test) before stray... -> real.test and real.test's
// address 10.0.0.1. Answers what no real server would, from this thread's event loop.
class CraftedServer : public QObject {
public:
    CraftedServer() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), len);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, &CraftedServer::Answer);
    }
    ~CraftedServer() override {
        m_notifier.reset();
        close(m_fd);
    }
    QString Address() const { return QString("127.0.0.1:%1").arg(m_port); }

private:
    static QByteArray Name(const QString& name) {
        QByteArray wire;
        for (const QString& label : name.split('.', Qt::SkipEmptyParts)) {
            wire += char(label.size()) + label.toLatin1();
        }
        return wire + '\0';
    }
    static QByteArray Record(const QString& owner, int type, const QByteArray& data) {
        const char fixed[] = {0, char(type), 0, 1, 0, 0, 1, 0x2c, 0, char(data.size())};
        return Name(owner) + QByteArray(fixed, sizeof fixed) + data;
    }
    void Answer() {
        char buf[512];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = 0;
        while ((n = recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from),
                             &fromLen)) >= 12) {
            const QByteArray query(buf, int(n));
            QStringList labels;
            int i = 12;
            while (i < query.size() && query[i] != 0) {
                labels << QString::fromLatin1(query.mid(i + 1, query[i]));
                i += 1 + query[i];
            }
            const QString asked = labels.join('.');
            const QString first = labels.value(0);
            QByteArray answers;
            int count = 0;
            int rcode = 0;
            if (first == "refused") {
                rcode = 5;
            } else if (first == "servfail") {
                rcode = 2;
            } else if (first == "notimp") {
                rcode = 4;
            } else if (first == "stray" && query[i + 2] == 1) { // type A
                answers = Record("other.test", 5, Name("bogus.test")) +
                          Record(asked, 5, Name("real.test")) +
                          Record("real.test", 1, QByteArray("\x0a\x00\x00\x01", 4));
                count = 3;
            } else {
                rcode = 3;
            }
            QByteArray reply = query.left(i + 5); // the header and the question
            reply[2] = char(0x84);                // an authoritative answer
            reply[3] = char(rcode);
            reply[7] = char(count);
            reply[9] = reply[11] = 0; // no authority or additional records
            reply += answers;
            sendto(m_fd, reply.constData(), size_t(reply.size()), 0,
                   reinterpret_cast<const sockaddr*>(&from), fromLen);
            fromLen = sizeof from;
        }
    }
    int m_fd;
    int m_port = 0;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

QStringList TreeLines(const ReportTree& rt) {
    return rt.GetTree()->AllText().split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestLookup : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainDlg> m_dlg;

    QComboBox* Host() { return static_cast<QComboBox*>(m_dlg->GetDlgItem(IDC_LOOKUP_HOST)); }
    QPushButton* Button() { return static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_LOOKUP_START)); }
    ReportTree& Tree() { return m_dlg->Tree(PAGE_LOOKUP); }

    // Types host on the Lookup page, presses Enter and waits until the button reads "&Start".
    void LookUp(const QString& host, int waitMs = 12000) {
        m_dlg->OnToolsLookup();
        Host()->setEditText(host);
        QTest::keyClick(Host(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(Button()->text(), QString("&Start"), waitMs);
    }

private Q_SLOTS:
    void initTestCase() {
        // In the lab the system resolver takes longer than the Local Info page waits for it
        // when nobody answers (it reads this before its first lookup).
        if (!qEnvironmentVariableIsEmpty("SABREVIN_LAB_DNS")) {
            qputenv("RES_OPTIONS", "timeout:3 attempts:2");
        }
    }
    void init() {
        // Outside the lab no query may leave the machine: a loopback port where nobody
        // listens refuses them at once.
        sockets_testing::SetDnsServers(
            qEnvironmentVariableIsEmpty("SABREVIN_LAB_DNS") ? "127.0.0.1:9" : nullptr);
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

    void hostsFileForwardAndReverse() {
        Receiver r;
        const HANDLE h = ByName(&r, "localhost");
        QVERIFY(h != 0);
        QTRY_COMPARE(r.done.size(), 1);
        QCOMPARE(r.done[0].handle, WPARAM(h));
        QCOMPARE(r.done[0].message, WM_LOOKUP_DONE);
        QCOMPARE(r.done[0].error, 0);
        QCOMPARE(QString(r.Host()->h_name), QString("localhost"));
        QVERIFY(r.Addresses().contains("127.0.0.1"));
        QVERIFY(r.done[0].length > 0 && r.done[0].length <= MAXGETHOSTSTRUCT);

        Receiver back;
        QVERIFY(ByAddr(&back, "127.0.0.1") != 0);
        QTRY_COMPARE(back.done.size(), 1);
        QCOMPARE(back.done[0].error, 0);
        QCOMPARE(back.Addresses(), QStringList{"127.0.0.1"});
    }

    void handlesAreUniqueAndNonzero() {
        Receiver r;
        QSet<HANDLE> seen;
        for (int i = 0; i < 5; ++i) {
            const HANDLE h = ByName(&r, "localhost");
            QVERIFY(h != 0);
            QVERIFY(!seen.contains(h));
            seen.insert(h);
            WSACancelAsyncRequest(h);
        }
    }

    void refusedRequests() {
        Receiver r;
        char small[8];
        QCOMPARE(WSAAsyncGetHostByName(&r, WM_LOOKUP_DONE, "localhost", small, sizeof small),
                 HANDLE(0));
        QCOMPARE(WSAGetLastError(), WSAEINVAL);
        QCOMPARE(WSAAsyncGetHostByName(&r, WM_LOOKUP_DONE, nullptr, r.buf, sizeof r.buf),
                 HANDLE(0));
        const char address[16] = {};
        QCOMPARE(
            WSAAsyncGetHostByAddr(&r, WM_LOOKUP_DONE, address, 4, AF_INET6, r.buf, sizeof r.buf),
            HANDLE(0)); // an IPv6 address is 16 bytes
        QCOMPARE(WSAGetLastError(), WSAEINVAL);
        QCOMPARE(WSACancelAsyncRequest(424242), -1);
    }

    void ipv6Literals_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address"); // empty: not an IPv6 literal
        QTest::addColumn<uint>("scope");
        // valid
        QTest::newRow("loopback") << "::1"
                                  << "::1" << 0u;
        QTest::newRow("documentation") << "2001:db8::1"
                                       << "2001:db8::1" << 0u;
        QTest::newRow("written out") << "2001:0db8:0:0:0:0:0:0001"
                                     << "2001:db8::1" << 0u;
        QTest::newRow("IPv4 tail") << "::ffff:10.0.0.1"
                                   << "::ffff:10.0.0.1" << 0u;
        QTest::newRow("zone by name") << "fe80::1%lo"
                                      << "fe80::1" << if_nametoindex("lo");
        QTest::newRow("zone by index") << "fe80::1%7"
                                       << "fe80::1" << 7u;
        // not IPv6 literals
        QTest::newRow("a dotted address") << "10.0.0.1"
                                          << "" << 0u;
        QTest::newRow("a name") << "localhost"
                                << "" << 0u;
        QTest::newRow("empty") << ""
                               << "" << 0u;
        QTest::newRow("two double colons") << "1::2::3"
                                           << "" << 0u;
        QTest::newRow("brackets") << "[::1]"
                                  << "" << 0u;
        QTest::newRow("trailing space") << "::1 "
                                        << "" << 0u;
        QTest::newRow("empty zone") << "fe80::1%"
                                    << "" << 0u;
        QTest::newRow("unknown zone") << "fe80::1%nosuch0"
                                      << "" << 0u;
        QTest::newRow("zone only") << "%lo"
                                   << "" << 0u;
        QTest::newRow("too long") << "0000:0000:0000:0000:0000:0000:0000:0000:1"
                                  << "" << 0u;
    }
    void ipv6Literals() {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QFETCH(uint, scope);
        sockaddr_in6 out{};
        out.sin6_port = 0xBEEF; // left alone on a refusal, replaced on success
        const bool ok = ParseIpv6Literal(text.toUtf8().constData(), &out);
        QCOMPARE(ok, !address.isEmpty());
        if (!ok) {
            QCOMPARE(out.sin6_port, uint16_t(0xBEEF));
            return;
        }
        char shown[INET6_ADDRSTRLEN];
        QCOMPARE(QString(inet_ntop(AF_INET6, &out.sin6_addr, shown, sizeof shown)), address);
        QCOMPARE(out.sin6_family, sa_family_t(AF_INET6));
        QCOMPARE(out.sin6_port, uint16_t(0));
        QCOMPARE(uint(out.sin6_scope_id), scope);
    }

    // A completion already due when the request is cancelled is dropped.
    void aCancelledCompletionIsNeverDelivered() {
        Receiver r;
        const HANDLE h = ByName(&r, "localhost"); // the hosts file answers at once
        QVERIFY(h != 0);
        QCOMPARE(WSACancelAsyncRequest(h), 0);
        QTest::qWait(200);
        QCOMPARE(r.done.size(), 0);
    }

    void aGoneReceiverHearsNothing() {
        auto* r = new Receiver;
        QVERIFY(ByName(r, "localhost") != 0);
        delete r;
        QTest::qWait(100);
        QCOMPARE(WSAOutstandingAsyncRequests(), 0);
    }

    void labRecords_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("official");
        QTest::addColumn<QStringList>("aliases");
        QTest::addColumn<QStringList>("addresses"); // empty: the system resolver's, in its order
        QTest::newRow("one address")
            << "one.lab.test" << 0 << "one.lab.test" << QStringList() << QStringList{"10.77.1.11"};
        QTest::newRow("three addresses")
            << "three.lab.test" << 0 << "three.lab.test" << QStringList() << QStringList();
        QTest::newRow("a chain of two aliases")
            << "www.lab.test" << 0 << "target.lab.test"
            << QStringList{"www.lab.test", "web.lab.test"} << QStringList{"10.77.1.31"};
        QTest::newRow("hosts file by its first name")
            << "hosted.lab.test" << 0 << "hosted.lab.test"
            << QStringList{"hostalias1", "hostalias2"} << QStringList{"10.77.9.9"};
        QTest::newRow("hosts file by another name")
            << "hostalias2" << 0 << "hosted.lab.test" << QStringList{"hostalias1", "hostalias2"}
            << QStringList{"10.77.9.9"};
        QTest::newRow("no such name")
            << "nowhere.lab.test" << WSAHOST_NOT_FOUND << "" << QStringList() << QStringList();
        QTest::newRow("a 253-character name") << qEnvironmentVariable("SABREVIN_LAB_LONG_NAME") << 0
                                              << qEnvironmentVariable("SABREVIN_LAB_LONG_NAME")
                                              << QStringList() << QStringList{"10.77.1.41"};
        QTest::newRow("IPv6 only") << "v6only.lab.test" << 0 << "v6only.lab.test" << QStringList()
                                   << QStringList{"fd00:77::1"};
        QTest::newRow("both families, IPv4 first")
            << "dual.lab.test" << 0 << "dual.lab.test" << QStringList()
            << QStringList{"10.77.1.51", "fd00:77::51", "fd00:77::52"};
        QTest::newRow("IPv6 only, from the hosts file")
            << "hosted6alias" << 0 << "hosted6.lab.test" << QStringList{"hosted6alias"}
            << QStringList{"fd00:77::99"};
        QTest::newRow("too many for the buffer")
            << "many.lab.test" << WSAENOBUFS << "" << QStringList() << QStringList();
        // 40 IPv4 addresses alone would fit; with the 20 IPv6 ones they do not.
        QTest::newRow("too many with the IPv6 addresses")
            << "bigdual.lab.test" << WSAENOBUFS << "" << QStringList() << QStringList();
        QTest::newRow("refused by the server")
            << "x.refused.lab.test" << WSANO_RECOVERY << "" << QStringList() << QStringList();
    }
    void labRecords() {
        NEEDS_LAB();
        QFETCH(QString, query);
        QFETCH(int, error);
        QFETCH(QString, official);
        QFETCH(QStringList, aliases);
        QFETCH(QStringList, addresses);
        Receiver r;
        QVERIFY(ByName(&r, qPrintable(query)) != 0);
        QTRY_COMPARE_WITH_TIMEOUT(r.done.size(), 1, 10000);
        QCOMPARE(r.done[0].error, error);
        if (error == WSAENOBUFS) {
            QVERIFY(r.done[0].length > MAXGETHOSTSTRUCT); // what it would have needed
        }
        if (error != 0) {
            return;
        }
        QCOMPARE(QString(r.Host()->h_name), official);
        QCOMPARE(r.Aliases(), aliases);
        QCOMPARE(r.Addresses(),
                 addresses.isEmpty() ? SystemAddresses(qPrintable(query)) : addresses);
        QVERIFY(!r.Addresses().isEmpty());
        // IPv4 whenever there is an IPv4 address; IPv6 addresses only: an IPv6 host entry.
        const bool v6only = addresses.value(0).contains(':');
        QCOMPARE(r.Host()->h_addrtype, v6only ? AF_INET6 : AF_INET);
        QCOMPARE(r.Host()->h_length, v6only ? 16 : 4);
    }

    // The official name is the system resolver's (the first pointer record), and is not
    // repeated among the aliases.
    void labReverse_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("official");
        QTest::addColumn<QStringList>("aliases");
        QTest::newRow("one") << "10.77.1.11"
                             << "one.lab.test" << QStringList();
        QTest::newRow("the end of a chain") << "10.77.1.31"
                                            << "target.lab.test" << QStringList();
        QTest::newRow("a 253-character name")
            << qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_ADDR")
            << qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_NAME") << QStringList();
        QTest::newRow("three pointer records")
            << "10.77.1.13"
            << "multi3.lab.test" << QStringList{"multi2.lab.test", "multi1.lab.test"};
        QTest::newRow("IPv6, two pointer records")
            << "fd00:77::51"
            << "dual.lab.test" << QStringList{"dual2.lab.test"};
    }
    void labReverse() {
        NEEDS_LAB();
        QFETCH(QString, address);
        QFETCH(QString, official);
        QFETCH(QStringList, aliases);
        Receiver r;
        QVERIFY(ByAddr(&r, qPrintable(address)) != 0);
        QTRY_COMPARE_WITH_TIMEOUT(r.done.size(), 1, 10000);
        QCOMPARE(r.done[0].error, 0);
        QCOMPARE(QString(r.Host()->h_name), official);
        QCOMPARE(official, SystemName(qPrintable(address)));
        QCOMPARE(r.Aliases(), aliases);
        QCOMPARE(r.Addresses(), QStringList{address});
        std::string hopName; // the Trace page's reverse lookup names it the same
        in6_addr a6{};
        QVERIFY(inet_pton(AF_INET6, qPrintable(address), &a6) == 1
                    ? WsGetHostByAddr(a6, kReverseLookupMs, nullptr, &hopName)
                    : WsGetHostByAddr(inet_addr(qPrintable(address)), kReverseLookupMs, nullptr,
                                      &hopName));
        QCOMPARE(QString::fromStdString(hopName), official);
    }

    // Answers no real server gives, from a server on a loopback port; and a loopback port
    // where nobody listens.
    void craftedAnswers_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("crafted"); // false: the port that refuses
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("official");
        QTest::addColumn<QStringList>("aliases");
        QTest::newRow("an alias record off the chain")
            << "stray.test" << true << 0 << "real.test" << QStringList{"stray.test"};
        QTest::newRow("REFUSED") << "refused.test" << true << WSANO_RECOVERY << "" << QStringList();
        QTest::newRow("NOTIMP") << "notimp.test" << true << WSANO_RECOVERY << "" << QStringList();
        QTest::newRow("SERVFAIL") << "servfail.test" << true << WSATRY_AGAIN << "" << QStringList();
        QTest::newRow("no server listens")
            << "nowhere.test" << false << WSATRY_AGAIN << "" << QStringList();
    }
    void craftedAnswers() {
        QFETCH(QString, query);
        QFETCH(bool, crafted);
        QFETCH(int, error);
        QFETCH(QString, official);
        QFETCH(QStringList, aliases);
        CraftedServer server;
        sockets_testing::SetDnsServers(qPrintable(crafted ? server.Address() : "127.0.0.1:9"));
        Receiver r;
        QVERIFY(ByName(&r, qPrintable(query)) != 0);
        QTRY_COMPARE_WITH_TIMEOUT(r.done.size(), 1, 10000);
        QCOMPARE(r.done[0].error, error);
        if (error == 0) {
            QCOMPARE(QString(r.Host()->h_name), official);
            QCOMPARE(r.Aliases(), aliases);
            QCOMPARE(r.Addresses(), QStringList{"10.0.0.1"});
        }
    }

    // A server that never answers: WSATRY_AGAIN within 10 seconds; a request cancelled
    // meanwhile, and one of another page, are not disturbed and deliver nothing or their own.
    void labSilentServer() {
        NEEDS_LAB();
        sockets_testing::SetDnsServers(qgetenv("SABREVIN_LAB_SILENT_DNS").constData());
        Receiver slow, cancelled, other;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(ByName(&slow, "one.lab.test") != 0);
        const HANDLE c = ByAddr(&cancelled, "10.77.1.11");
        QVERIFY(c != 0);
        sockets_testing::SetDnsServers(qgetenv("SABREVIN_LAB_DNS").constData());
        QVERIFY(ByName(&other, "www.lab.test") != 0);
        QTRY_COMPARE(other.done.size(), 1); // the live server answers while the others wait
        QCOMPARE(other.done[0].error, 0);
        QTest::qWait(300);
        QCOMPARE(WSACancelAsyncRequest(c), 0);
        QTRY_COMPARE_WITH_TIMEOUT(slow.done.size(), 1, 11000);
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(slow.done[0].error, WSATRY_AGAIN);
        QTest::qWait(500);
        QCOMPARE(cancelled.done.size(), 0);
    }

    // ---- the Lookup page ----

    void lookupPageLocalhost() {
        LookUp("localhost");
        const QStringList lines = TreeLines(Tree());
        QCOMPARE(lines.value(0), QString("localhost"));
        QCOMPARE(lines.value(1), QString("  Official name: localhost"));
        QVERIFY(lines.contains("  IP address: 127.0.0.1"));
        // The hosts file's ::1 line, where it has one for localhost, after the IPv4 addresses.
        QFile hosts("/etc/hosts");
        QVERIFY(hosts.open(QIODevice::ReadOnly));
        const QRegularExpression loopback6("^::1\\s(.*\\s)?localhost(\\s|$)",
                                           QRegularExpression::MultilineOption);
        if (loopback6.match(QString::fromUtf8(hosts.readAll())).hasMatch()) {
            QVERIFY(lines.indexOf("  IP address: ::1") > lines.indexOf("  IP address: 127.0.0.1"));
        }
        QCOMPARE(Host()->count(), 1); // the history took it
        QCOMPARE(Host()->itemText(0), QString("localhost"));
        QCOMPARE(ReportTree::ImageOf(Tree().GetTree()->topLevelItem(0)), int(IMG_HOST));
        QVERIFY(Tree().GetTree()->topLevelItem(0)->isExpanded());
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
        QString seen, caption;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->text();
                caption = box->windowTitle();
                box->accept();
            }
        });
        m_dlg->OnLookupStart();
        QCOMPARE(seen, QString("Unrecognized host data!"));
        QCOMPARE(caption, QString("Error"));
        QCOMPARE(Button()->text(), QString("&Start"));
        QCOMPARE(Tree().GetTree()->topLevelItemCount(), 0);
    }

    void aLongHostTextIsCutTo127() {
        m_dlg->OnToolsLookup();
        Host()->setEditText(QString(200, 'a') + ".invalid");
        m_dlg->OnLookupStart();
        QCOMPARE(Tree().GetTree()->topLevelItem(0)->text(0),
                 "Looking up " + QString(127, 'a') + "...");
        m_dlg->OnLookupStart(); // stop
        QCOMPARE(Tree().GetTree()->topLevelItem(0)->text(0), QString(127, 'a'));
    }

    void allOnesIsLookedUpAsAName() {
        m_dlg->OnToolsLookup();
        Host()->setEditText("255.255.255.255");
        m_dlg->OnLookupStart();
        QCOMPARE(Tree().GetTree()->topLevelItem(0)->text(0),
                 QString("Looking up 255.255.255.255..."));
        QTRY_COMPARE(Button()->text(), QString("&Start"));
        // A numeric name is its own official name.
        QCOMPARE(TreeLines(Tree()),
                 (QStringList{"255.255.255.255", "  Official name: 255.255.255.255",
                              "  IP address: 255.255.255.255"}));
    }

    void labLookupPageResults_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("a name") << "www.lab.test"
                                << QStringList{"www.lab.test", "  Official name: target.lab.test",
                                               "  IP address: 10.77.1.31", "  Alias: www.lab.test",
                                               "  Alias: web.lab.test"};
        QTest::newRow("a dotted address, in reverse")
            << "10.77.1.11"
            << QStringList{"10.77.1.11", "  Official name: one.lab.test",
                           "  IP address: 10.77.1.11"};
        QTest::newRow("no such name")
            << "nowhere.lab.test"
            << QStringList{"nowhere.lab.test", "  Host lookup failed", "    Error: 11001",
                           "    Code: WSAHOST_NOT_FOUND", "    Description: Host not found"};
        QTest::newRow("refused")
            << "x.refused.lab.test"
            << QStringList{"x.refused.lab.test", "  Host lookup failed", "    Error: 11003",
                           "    Code: WSANO_RECOVERY",
                           "    Description: Non-Recoverable errors: FORMERR, REFUSED, NOTIMP"};
        QTest::newRow("three pointer records")
            << "10.77.1.13"
            << QStringList{"10.77.1.13", "  Official name: multi3.lab.test",
                           "  IP address: 10.77.1.13", "  Alias: multi2.lab.test",
                           "  Alias: multi1.lab.test"};
        QTest::newRow("both families")
            << "dual.lab.test"
            << QStringList{"dual.lab.test", "  Official name: dual.lab.test",
                           "  IP address: 10.77.1.51", "  IP address: fd00:77::51",
                           "  IP address: fd00:77::52"};
        QTest::newRow("IPv6 only")
            << "v6only.lab.test"
            << QStringList{"v6only.lab.test", "  Official name: v6only.lab.test",
                           "  IP address: fd00:77::1"};
        QTest::newRow("an IPv6 address, in reverse")
            << "fd00:77::51"
            << QStringList{"fd00:77::51", "  Official name: dual.lab.test",
                           "  IP address: fd00:77::51", "  Alias: dual2.lab.test"};
        QTest::newRow("an IPv6 address with a zone, in reverse")
            << "fe80::1%lo"
            << QStringList{"fe80::1%lo", "  Official name: link.lab.test", "  IP address: fe80::1"};
        QTest::newRow("too large")
            << "many.lab.test"
            << QStringList{"many.lab.test", "  Host lookup failed", "    Error: 10055",
                           "    Code: WSAENOBUFS", "    Description: No buffer space available"};
    }
    void labLookupPageResults() {
        NEEDS_LAB();
        QFETCH(QString, host);
        QFETCH(QStringList, expected);
        LookUp(host);
        QCOMPARE(TreeLines(Tree()), expected);
        const bool failed = expected.value(1).contains("failed");
        QCOMPARE(Host()->count(), failed ? 0 : 1);
        if (failed) {
            const QTreeWidgetItem* item = Tree().GetTree()->topLevelItem(0)->child(0);
            QCOMPARE(ReportTree::ImageOf(item), int(IMG_FAIL));
            QVERIFY(!item->isExpanded());
        }
    }

    // Item texts stay within 255 characters: a 253-character official name is cut.
    void labLongNamesAreBounded() {
        NEEDS_LAB();
        const QString longName = qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_NAME");
        QCOMPARE(longName.size(), 253);
        LookUp(qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_ADDR"));
        const QString official = Tree().GetTree()->topLevelItem(0)->child(0)->text(0);
        QCOMPARE(official.size(), 255);
        QVERIFY(("Official name: " + longName).startsWith(official));
    }

    void labStopDuringASlowLookup() {
        NEEDS_LAB();
        sockets_testing::SetDnsServers(qgetenv("SABREVIN_LAB_SILENT_DNS").constData());
        m_dlg->OnToolsLookup();
        Host()->setEditText("one.lab.test");
        QTest::keyClick(Host(), Qt::Key_Return);
        QCOMPARE(Button()->text(), QString("&Stop"));
        QTest::qWait(300);
        QTest::keyClick(Host(), Qt::Key_Return); // Enter stops it as the button does
        QCOMPARE(Button()->text(), QString("&Start"));
        QCOMPARE(TreeLines(Tree()), (QStringList{"one.lab.test", "  Host lookup cancelled"}));
        QCOMPARE(ReportTree::ImageOf(Tree().GetTree()->topLevelItem(0)->child(0)), int(IMG_FAIL));
        QCOMPARE(Host()->count(), 0);
        QCOMPARE(WSAOutstandingAsyncRequests(), 0);
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

    void twoRequestsInARowGiveTwoRoots() {
        LookUp("localhost");
        LookUp("localhost");
        QCOMPARE(Tree().GetTree()->topLevelItemCount(), 2);
        QCOMPARE(Host()->count(), 1);
    }

    // ---- the Local Info page ----

    void localInfoIsFilledAtStartAndOnRefresh() {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        const hostent* system = gethostbyname(name);
        ReportTree& local = m_dlg->Tree(PAGE_LOCALINFO);
        for (int round = 0; round < 3; ++round) {
            QTRY_COMPARE(local.GetTree()->topLevelItemCount(), 1);
            const QTreeWidgetItem* root = local.GetTree()->topLevelItem(0);
            if (system == nullptr) {
                QCOMPARE(ReportTree::ImageOf(root), int(IMG_FAIL));
                QVERIFY(root->text(0).startsWith("WSA"));
                QCOMPARE(root->childCount(), 0);
            } else {
                QCOMPARE(root->text(0), QString(system->h_name));
                QCOMPARE(static_cast<QLineEdit*>(m_dlg->GetDlgItem(IDC_LOCAL_HOST))->text(),
                         QString(name));
                QStringList children;
                for (int i = 0; i < root->childCount(); ++i) {
                    children << root->child(i)->text(0);
                }
                in_addr first{};
                std::memcpy(&first, system->h_addr_list[0], 4);
                QCOMPARE(children.value(0), QString("IP address: %1").arg(inet_ntoa(first)));
                QCOMPARE(children.value(1), QString("Winsock version: 1.1"));
                QCOMPARE(children.value(2), QString("Winsock high version: 2.2"));
                QVERIFY(
                    children.value(3).startsWith("Winsock description: Sabrevin sockets layer"));
                QVERIFY(children.value(4).startsWith("System status: "));
                QCOMPARE(children.value(5),
                         QString("Sockets: %1").arg(m_dlg->SocketData().iMaxSockets));
                QCOMPARE(children.value(6), QString("UDP size: 65507"));
                QCOMPARE(children.size(), 7);
                QVERIFY(root->isExpanded());
            }
            // Refresh by the button, then by Enter on the page.
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

    // A host name that only a silent DNS server could answer: the window keeps running, the
    // page shows the failure after 2 s (the resolver would wait 6), a newer Refresh makes the
    // older lookup's end harmless, and the window closes at once while the resolver waits.
    void labLocalInfoWithASilentServer() {
        NEEDS_LAB();
        ReportTree& local = m_dlg->Tree(PAGE_LOCALINFO);
        auto* edit = static_cast<QLineEdit*>(m_dlg->GetDlgItem(IDC_LOCAL_HOST));
        QTRY_COMPARE(local.GetTree()->topLevelItemCount(), 1);
        const QString shown = edit->text();
        int ticks = 0;
        qint64 lastTick = 0, longestGap = 0;
        QElapsedTimer clock;
        QTimer beat;
        connect(&beat, &QTimer::timeout, [&] {
            ++ticks;
            longestGap = std::max(longestGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
        });
        sockets_testing::SetHostName("nohost.silent.lab.test");
        clock.start();
        beat.start(50);
        m_dlg->OnRefresh();
        QCOMPARE(local.GetTree()->topLevelItemCount(), 0); // filled when the answer comes
        QTRY_COMPARE_WITH_TIMEOUT(local.GetTree()->topLevelItemCount(), 1, 4000);
        const qint64 failedAfter = clock.elapsed();
        QVERIFY2(failedAfter >= 1900 && failedAfter < 3000,
                 qPrintable(QString::number(failedAfter)));
        QVERIFY2(longestGap < 250, qPrintable(QString::number(longestGap)));
        QVERIFY(ticks >= 30);
        const QTreeWidgetItem* root = local.GetTree()->topLevelItem(0);
        QCOMPARE(root->text(0), QString("WSATRY_AGAIN: Non-Authoritative Host not found"));
        QCOMPARE(ReportTree::ImageOf(root), int(IMG_FAIL));
        QCOMPARE(root->childCount(), 0);
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
