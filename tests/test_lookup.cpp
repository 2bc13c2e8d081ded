// Name lookups: the sockets layer's asynchronous lookups and the Lookup and Local Info pages.
// The cases marked "lab" need the DNS lab (tests/dns/run_in_dns_lab.sh), which exports
// SABREVIN_LAB_DNS; elsewhere they are skipped. The others use the hosts file's localhost.

#include "net/async_lookup.h"
#include "net/sockets.h"
#include "res/resource.h"
#include "ui/image_list.h"
#include "ui/main_dlg.h"
#include "ui/tab_ctrl.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
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
    QStringList Addresses() const {
        QStringList list;
        for (char** p = Host()->h_addr_list; *p != nullptr; ++p) {
            in_addr a{};
            std::memcpy(&a, *p, 4);
            list << inet_ntoa(a);
        }
        return list;
    }
};

HANDLE ByName(Receiver* r, const char* name) {
    return WSAAsyncGetHostByName(r, WM_LOOKUP_DONE, name, r->buf, sizeof r->buf);
}

HANDLE ByAddr(Receiver* r, const char* dotted) {
    const in_addr_t a = inet_addr(dotted);
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
        QCOMPARE(WSACancelAsyncRequest(424242), -1);
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
        QTest::newRow("IPv6 only")
            << "v6only.lab.test" << WSANO_DATA << "" << QStringList() << QStringList();
        QTest::newRow("too many for the buffer")
            << "many.lab.test" << WSAENOBUFS << "" << QStringList() << QStringList();
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
    }

    void labReverse_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("official");
        QTest::newRow("one") << "10.77.1.11"
                             << "one.lab.test";
        QTest::newRow("the end of a chain") << "10.77.1.31"
                                            << "target.lab.test";
        QTest::newRow("a 253-character name") << qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_ADDR")
                                              << qEnvironmentVariable("SABREVIN_LAB_LONG_PTR_NAME");
    }
    void labReverse() {
        NEEDS_LAB();
        QFETCH(QString, address);
        QFETCH(QString, official);
        Receiver r;
        QVERIFY(ByAddr(&r, qPrintable(address)) != 0);
        QTRY_COMPARE_WITH_TIMEOUT(r.done.size(), 1, 10000);
        QCOMPARE(r.done[0].error, 0);
        QCOMPARE(QString(r.Host()->h_name), official);
        QCOMPARE(r.Aliases(), QStringList()); // the official name is not repeated as an alias
        QCOMPARE(r.Addresses(), QStringList{address});
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
            QCOMPARE(local.GetTree()->topLevelItemCount(), 1);
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
    }
};

QTEST_MAIN(TestLookup)
#include "test_lookup.moc"
