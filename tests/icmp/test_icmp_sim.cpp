// The simulated network: its script, the answers and delays it gives, and the handle table,
// checks and reply writing it shares with the real module (icmp_session.c).

#include "net/icmp/icmp_sim.h"
#include "tests/icmp/icmp_test_support.h"

#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

using namespace icmp_test;

class TestIcmpSim : public QObject {
    Q_OBJECT
private:
    Module m;
    PFN_IcmpSimLoadScript load = nullptr;

    // One request of size bytes of 0xAA; ttl -1: no option record.
    uint32_t Send(ICMP_HANDLE h, const char* to, int ttl, GuardedBuffer& buffer,
                  uint32_t timeout = 1000, uint16_t size = 32) {
        QByteArray data(size, char(0xAA));
        IP_OPTION_INFORMATION o{};
        o.Ttl = uint8_t(ttl);
        buffer.Reset();
        return m.send(h, Address(to), data.constData(), size, ttl < 0 ? nullptr : &o, buffer.data(),
                      buffer.size(), timeout);
    }

private Q_SLOTS:
    void initTestCase();
    void init() { QCOMPARE(load(""), 0); }
    void answers_data();
    void answers();
    void createFail();
    void refusesAndInterrupts();
    void ipv6AndCompletions();
};

void TestIcmpSim::initTestCase() {
    std::string error;
    QVERIFY2(m.Load(ICMP_BUILD_DIR "/sabrevin-icmp-sim.so", &error), error.c_str());
    load = m.Find<PFN_IcmpSimLoadScript>("IcmpSimLoadScript");
    QVERIFY(load && m.create6 && m.send6 && m.sendEx);
}

void TestIcmpSim::answers_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("ttl");
    QTest::addColumn<uint>("timeout");
    QTest::addColumn<QString>("from"); // empty: no answer
    QTest::addColumn<uint>("status");
    QTest::addColumn<uint>("rtt");
    QTest::addColumn<int>("replyTtl");
    const QByteArray trace = "10.0.0.9 1 10.0.0.1 delay=2 ttl=255\n"
                             "10.0.0.9 2 10.0.0.2 delay=3 ttl=254\n"
                             "10.0.0.9 3-* 10.0.0.9 delay=4 ttl=61\n";
    QTest::newRow("hop 1") << trace << 1 << 100u << "10.0.0.1" << uint(IP_TTL_EXPIRED_TRANSIT) << 2u
                           << 255;
    QTest::newRow("hop 3 is the target") << trace << 3 << 100u << "10.0.0.9" << 0u << 4u << 61;
    QTest::newRow("no option record counts as ttl 64")
        << trace << -1 << 100u << "10.0.0.9" << 0u << 4u << 61;
    QTest::newRow("numeric status") << QByteArray("* * 10.0.0.1 status=11003") << 5 << 100u
                                    << "10.0.0.1" << uint(IP_DEST_HOST_UNREACHABLE) << 0u << 64;
    QTest::newRow("first matching line wins")
        << QByteArray("10.0.0.9 1-2 10.0.0.1\n* * 10.0.0.66\n10.0.0.9 2 10.0.0.2") << 2 << 100u
        << "10.0.0.1" << uint(IP_TTL_EXPIRED_TRANSIT) << 0u << 64;
    QTest::newRow("another destination goes unanswered")
        << QByteArray("10.0.0.8 * 10.0.0.8") << 3 << 40u << QString() << 0u << 40u << 0;
    QTest::newRow("none, after its delay")
        << QByteArray("* * none delay=30") << 1 << 1000u << QString() << 0u << 30u << 0;
    QTest::newRow("a delay beyond the time-out")
        << QByteArray("* * 10.0.0.9 delay=5000") << 1 << 50u << QString() << 0u << 50u << 0;
    QTest::newRow("time-out 0") << QByteArray("* * 10.0.0.9 delay=60") << 1 << 0u << QString() << 0u
                                << 0u << 0;
}

void TestIcmpSim::answers() {
    QFETCH(QByteArray, script);
    QFETCH(int, ttl);
    QFETCH(uint, timeout);
    QFETCH(QString, from);
    QFETCH(uint, status);
    QFETCH(uint, rtt);
    QFETCH(int, replyTtl);
    QCOMPARE(load(script.constData()), 0);
    ICMP_HANDLE h = m.create();
    QCOMPARE(m.kind(h), int(ICMP_SOCKET_SIMULATED));
    GuardedBuffer buffer(28 + 32);
    const auto start = std::chrono::steady_clock::now();
    QCOMPARE(Send(h, "10.0.0.9", ttl, buffer, timeout), from.isEmpty() ? 0u : 1u);
    const double ms = MillisecondsSince(start);
    QVERIFY2(ms >= double(rtt) - 1 && ms < rtt + 90, qPrintable(QString::number(ms)));
    QVERIFY(buffer.GuardsIntact());
    if (from.isEmpty()) {
        QVERIFY(buffer.Untouched());
    } else {
        const ICMP_ECHO_REPLY& r = buffer.Reply();
        QCOMPARE(Dotted(r.Address), from.toStdString());
        QCOMPARE(uint(r.Status), status);
        QCOMPARE(uint(r.RoundTripTime), rtt);
        QCOMPARE(m.lastRoundTripUs(), uint64_t(rtt) * 1000);
        QCOMPARE(int(r.Options.Ttl), replyTtl);
        QCOMPARE(r.DataOffset, 28u);
        QCOMPARE(int(r.DataSize), status == IP_SUCCESS ? 32 : 0);
        QVERIFY(status != IP_SUCCESS || *buffer.At(28 + 31) == 0xAA);
    }
    m.close(h);
}

void TestIcmpSim::createFail() {
    QCOMPARE(load("create-fail  Ping sockets are refused; try setcap.  \n* * none"), 0);
    QCOMPARE(m.create(), ICMP_INVALID_HANDLE);
    QCOMPARE(m.CreateError(), std::string("Ping sockets are refused; try setcap."));
    QCOMPARE(load("bad line"), 1); // and the script before it stays
    QCOMPARE(m.create(), ICMP_INVALID_HANDLE);
}

// Refusals before anything is sent, stale handles, and a close or cancel from another thread that
// ends a waiting request at once.
void TestIcmpSim::refusesAndInterrupts() {
    QCOMPARE(load("* * 10.0.0.9 delay=5000"), 0);
    ICMP_HANDLE h = m.create();
    GuardedBuffer shortBuffer(28 + 31), buffer(28 + 32);
    QCOMPARE(Send(h, "10.0.0.9", 5, shortBuffer), 0u);
    QCOMPARE(m.lastStatus(), uint32_t(IP_BUF_TOO_SMALL));
    QVERIFY(shortBuffer.Untouched());
    QCOMPARE(Send(h, "10.0.0.9", 0, buffer), 0u);
    QCOMPARE(m.lastStatus(), uint32_t(IP_BAD_OPTION));
    QVERIFY(buffer.Untouched());
    for (bool cancel : {false, true}) {
        std::atomic<uint32_t> result{99};
        std::thread waiter([&] {
            GuardedBuffer b(28 + 32);
            result = Send(h, "10.0.0.9", 3, b, UINT32_MAX);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const auto start = std::chrono::steady_clock::now();
        QCOMPARE(cancel ? m.cancel(h) : m.close(h), 1);
        waiter.join();
        QVERIFY(MillisecondsSince(start) < 100);
        QCOMPARE(result.load(), 0u);
        QCOMPARE(Send(h, "10.0.0.9", 3, buffer), 0u);
        QCOMPARE(m.lastStatus(), uint32_t(IP_REQ_CANCELLED));
        QCOMPARE(m.close(h), cancel ? 1 : 0);
        QCOMPARE(m.kind(h), int(ICMP_SOCKET_NONE));
        h = m.create();
    }
    m.close(h);
}

namespace {
struct Completions {
    std::mutex lock;
    std::vector<std::pair<ICMP_ECHO_RESULT, std::thread::id>> seen;
    size_t Count() {
        std::lock_guard<std::mutex> hold(lock);
        return seen.size();
    }
};
void OnCompletion(void* context, const ICMP_ECHO_RESULT* result) {
    auto* c = static_cast<Completions*>(context);
    std::lock_guard<std::mutex> hold(c->lock);
    c->seen.emplace_back(*result, std::this_thread::get_id());
}
} // namespace

// IPv6 handles answer IPv6 lines in the platform's record; asynchronous requests complete on the
// handle's own thread when due, and closing the handle completes the rest at once, cancelled.
void TestIcmpSim::ipv6AndCompletions() {
    QCOMPARE(load("2001:db8::9 1 2001:db8::1 delay=2 ttl=255\n"
                  "10.0.0.9 * 10.0.0.9 delay=60 ttl=62\n10.0.0.8 * 10.0.0.8 delay=10\n"
                  "* * none delay=5000\n"),
             0);
    const ICMP_HANDLE h6 = m.create6();
    const QByteArray data(32, char(0xAA));
    sockaddr_in6 target{};
    target.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::9", &target.sin6_addr);
    IP_OPTION_INFORMATION o{};
    o.Ttl = 1;
    GuardedBuffer buffer(sizeof(ICMPV6_ECHO_REPLY) + 32);
    QCOMPARE(m.send6(h6, nullptr, nullptr, nullptr, nullptr, &target, data.constData(), 32, &o,
                     buffer.data(), buffer.size(), 1000),
             1u);
    ICMPV6_ECHO_REPLY r;
    std::memcpy(&r, buffer.data(), sizeof r);
    QVERIFY(buffer.GuardsIntact() && r.Address.sin6_addr[7] == htons(1));
    QVERIFY(r.Status == IP_TTL_EXPIRED_TRANSIT && r.Type == 3 && r.HopLimit == 255);
    QVERIFY(r.RoundTripTime == 2 && r.RoundTripMicroseconds == 2000);
    QCOMPARE(m.close(h6), 1);

    Completions c;

    const ICMP_HANDLE h = m.create();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    for (const char* address : {"10.0.0.9", "10.0.0.8", "10.0.0.7"}) {
        to.sin_addr.s_addr = Address(address);
        QCOMPARE(m.sendEx(h, reinterpret_cast<const sockaddr*>(&to), data.constData(), 32, nullptr,
                          1000, &OnCompletion, &c),
                 uint32_t(IP_SUCCESS));
    }
    QTRY_COMPARE_WITH_TIMEOUT(c.Count(), size_t{2}, 1000);
    QCOMPARE(m.close(h), 1);
    QCOMPARE(c.Count(), size_t{3});
    const char* order[] = {"10.0.0.8", "10.0.0.9", "0.0.0.0"};
    for (size_t i = 0; i < 3; ++i) {
        const ICMP_ECHO_RESULT& got = c.seen[i].first;
        QVERIFY(c.seen[i].second != std::this_thread::get_id());
        QCOMPARE(Dotted(got.Sender.Ipv4.sin_addr.s_addr), std::string(order[i]));
        QCOMPARE(uint(got.Status), i < 2 ? uint(IP_SUCCESS) : uint(IP_REQ_CANCELLED));
    }
    QVERIFY(c.seen[1].first.RoundTripMicroseconds == 60000 && c.seen[1].first.Ttl == 62);
}

QTEST_GUILESS_MAIN(TestIcmpSim)
#include "test_icmp_sim.moc"
