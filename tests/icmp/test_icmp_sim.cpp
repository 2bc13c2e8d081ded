// The simulated network: its script, the answers it gives, its log of requests, and that it
// refuses and interrupts like the real module (the handle table and the checks are shared).

#include "net/icmp/icmp_sim.h"
#include "tests/icmp/icmp_test_support.h"

#include <QtTest>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace icmp_test;

class TestIcmpSim : public QObject {
    Q_OBJECT
private:
    Module m;
    PFN_IcmpSimLoadScript load = nullptr;
    PFN_IcmpSimRequestCount count = nullptr;
    PFN_IcmpSimGetRequest request = nullptr;

    // One request; -1 as ttl means no option record.
    uint32_t Send(ICMP_HANDLE h, const char* to, int ttl, GuardedBuffer& buffer,
                  uint32_t timeout = 1000, uint16_t size = 32) {
        QByteArray data(size, static_cast<char>(0xAA));
        IP_OPTION_INFORMATION o{};
        o.Ttl = static_cast<uint8_t>(ttl);
        return m.send(h, Address(to), data.constData(), size, ttl < 0 ? nullptr : &o, buffer.data(),
                      buffer.size(), timeout);
    }

private Q_SLOTS:
    void initTestCase();
    void init();
    void scriptErrors_data();
    void scriptErrors();
    void answers_data();
    void answers();
    void sequences();
    void delaysAreWaited();
    void createFail();
    void requestLog();
    void refusesLikeTheRealModule();
    void interruptedByClose();
    void interruptedByCancel();
    void twoRunsAtOnce();
    void ipv6AndCompletionsOnTheHandlesThread();
};

void TestIcmpSim::initTestCase() {
    std::string error;
    QVERIFY2(m.Load(ICMP_BUILD_DIR "/sabrevin-icmp-sim.so", &error), error.c_str());
    load = m.Find<PFN_IcmpSimLoadScript>("IcmpSimLoadScript");
    count = m.Find<PFN_IcmpSimRequestCount>("IcmpSimRequestCount");
    request = m.Find<PFN_IcmpSimGetRequest>("IcmpSimGetRequest");
    QVERIFY(load && count && request);
}

void TestIcmpSim::init() {
    QCOMPARE(load(""), 0);
}

void TestIcmpSim::scriptErrors_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("line");
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("comments and blank lines") << QByteArray("# a\n\n   # b\n") << 0;
    QTest::newRow("one rule") << QByteArray("10.0.0.9 1 10.0.0.1") << 0;
    QTest::newRow("all fields") << QByteArray("* 3-* 10.0.0.9 delay=7 ttl=61 status=11003 # x")
                                << 0;
    QTest::newRow("status by name") << QByteArray("* * none\n10.0.0.9 2-5 10.0.0.2 "
                                                  "status=host-unreachable")
                                    << 0;
    QTest::newRow("IPv6") << QByteArray("2001:db8::9 2-* 2001:db8::1 status=host-unreachable\n"
                                        "* * 2001:db8::2\n* * none")
                          << 0;
    QTest::newRow("answer of the other family") << QByteArray("10.0.0.9 1 2001:db8::1") << 1;
    QTest::newRow("too few fields") << QByteArray("10.0.0.9 1") << 1;
    QTest::newRow("bad destination") << QByteArray("10.0.0 1 10.0.0.1") << 1;
    QTest::newRow("bad answer") << QByteArray("10.0.0.9 1 router") << 1;
    QTest::newRow("ttl out of range") << QByteArray("10.0.0.9 256 10.0.0.1") << 1;
    QTest::newRow("reversed range") << QByteArray("10.0.0.9 5-3 10.0.0.1") << 1;
    QTest::newRow("bad delay on line 3") << QByteArray("\n# c\n10.0.0.9 1 10.0.0.1 delay=x") << 3;
    QTest::newRow("reply ttl too big") << QByteArray("10.0.0.9 1 10.0.0.1 ttl=300") << 1;
    QTest::newRow("unknown status") << QByteArray("10.0.0.9 1 10.0.0.1 status=lost") << 1;
    QTest::newRow("unknown key on line 2")
        << QByteArray("10.0.0.9 1 10.0.0.1\n10.0.0.9 2 10.0.0.2 colour=red") << 2;
    QTest::newRow("too many fields")
        << QByteArray("10.0.0.9 1 10.0.0.1 delay=1 ttl=1 status=0 delay=2 ttl=3") << 1;
}

void TestIcmpSim::scriptErrors() {
    QFETCH(QByteArray, script);
    QFETCH(int, line);
    QCOMPARE(load("10.0.0.7 * 10.0.0.7"), 0);
    QCOMPARE(load(script.constData()), line);
    if (line != 0) {
        // The old script stays after a bad one.
        ICMP_HANDLE h = m.create();
        GuardedBuffer buffer(28 + 32);
        QCOMPARE(Send(h, "10.0.0.7", -1, buffer), 1u);
        m.close(h);
    }
}

void TestIcmpSim::answers_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("ttl");
    QTest::addColumn<uint>("result");
    QTest::addColumn<QString>("from");
    QTest::addColumn<uint>("status");
    QTest::addColumn<uint>("rtt");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<int>("replyTtl");

    const QByteArray trace = "10.0.0.9 1 10.0.0.1 delay=2 ttl=255\n"
                             "10.0.0.9 2 10.0.0.2 delay=3 ttl=254\n"
                             "10.0.0.9 3-* 10.0.0.9 delay=4 ttl=61\n";
    QTest::newRow("hop 1") << trace << "10.0.0.9" << 1 << 1u << "10.0.0.1"
                           << uint(IP_TTL_EXPIRED_TRANSIT) << 2u << 0 << 255;
    QTest::newRow("hop 2") << trace << "10.0.0.9" << 2 << 1u << "10.0.0.2"
                           << uint(IP_TTL_EXPIRED_TRANSIT) << 3u << 0 << 254;
    QTest::newRow("hop 3 is the target")
        << trace << "10.0.0.9" << 3 << 1u << "10.0.0.9" << uint(IP_SUCCESS) << 4u << 32 << 61;
    QTest::newRow("range up to 255")
        << trace << "10.0.0.9" << 255 << 1u << "10.0.0.9" << uint(IP_SUCCESS) << 4u << 32 << 61;
    QTest::newRow("no option record counts as ttl 64")
        << trace << "10.0.0.9" << -1 << 1u << "10.0.0.9" << uint(IP_SUCCESS) << 4u << 32 << 61;
    QTest::newRow("another destination goes unanswered")
        << trace << "10.0.0.8" << 3 << 0u << QString() << 0u << 0u << 0 << 0;
    QTest::newRow("explicit status")
        << QByteArray("* * 10.0.0.1 status=net-unreachable") << "10.0.0.9" << 5 << 1u << "10.0.0.1"
        << uint(IP_DEST_NET_UNREACHABLE) << 0u << 0 << 64;
    QTest::newRow("numeric status")
        << QByteArray("* * 10.0.0.1 status=11003") << "10.0.0.9" << 5 << 1u << "10.0.0.1"
        << uint(IP_DEST_HOST_UNREACHABLE) << 0u << 0 << 64;
    QTest::newRow("a reply from elsewhere that says success carries the data")
        << QByteArray("* * 10.0.0.5 status=success") << "10.0.0.9" << 5 << 1u << "10.0.0.5"
        << uint(IP_SUCCESS) << 0u << 32 << 64;
    QTest::newRow("first matching sequence wins")
        << QByteArray("10.0.0.9 1-2 10.0.0.1\n* * 10.0.0.66\n10.0.0.9 2 10.0.0.2") << "10.0.0.9"
        << 2 << 1u << "10.0.0.1" << uint(IP_TTL_EXPIRED_TRANSIT) << 0u << 0 << 64;
    QTest::newRow("wildcard after specific")
        << QByteArray("10.0.0.9 1-2 10.0.0.1\n* * 10.0.0.66") << "10.0.0.9" << 3 << 1u
        << "10.0.0.66" << uint(IP_TTL_EXPIRED_TRANSIT) << 0u << 0 << 64;
    QTest::newRow("none") << QByteArray("* * none delay=1") << "10.0.0.9" << 1 << 0u << QString()
                          << 0u << 0u << 0 << 0;
    QTest::newRow("delay beyond the time-out") << QByteArray("* * 10.0.0.9 delay=150") << "10.0.0.9"
                                               << 1 << 0u << QString() << 0u << 0u << 0 << 0;
}

void TestIcmpSim::answers() {
    QFETCH(QByteArray, script);
    QFETCH(QString, to);
    QFETCH(int, ttl);
    QFETCH(uint, result);
    QFETCH(QString, from);
    QFETCH(uint, status);
    QFETCH(uint, rtt);
    QFETCH(int, dataSize);
    QFETCH(int, replyTtl);
    QCOMPARE(load(script.constData()), 0);
    ICMP_HANDLE h = m.create();
    QCOMPARE(m.kind(h), int(ICMP_SOCKET_SIMULATED));
    GuardedBuffer buffer(28 + 32);
    QCOMPARE(Send(h, to.toLatin1().constData(), ttl, buffer, 100), result);
    QVERIFY(buffer.GuardsIntact());
    if (result == 0) {
        QVERIFY(buffer.Untouched());
    } else {
        const ICMP_ECHO_REPLY& r = buffer.Reply();
        QCOMPARE(Dotted(r.Address), from.toStdString());
        QCOMPARE(uint(r.Status), status);
        QCOMPARE(uint(r.RoundTripTime), rtt);
        QCOMPARE(int(r.DataSize), dataSize);
        QCOMPARE(int(r.Options.Ttl), replyTtl);
        QCOMPARE(r.DataOffset, 28u);
        for (int i = 0; i < dataSize; ++i) {
            QCOMPARE(*buffer.At(28 + size_t(i)), uint8_t(0xAA));
        }
        QCOMPARE(m.lastRoundTripUs(), uint64_t(rtt) * 1000);
    }
    m.close(h);
}

void TestIcmpSim::sequences() {
    // A hop that answers only its third request, and a target after it.
    QCOMPARE(load("10.0.0.9 1 10.0.0.1\n"
                  "10.0.0.9 2 none delay=5\n"
                  "10.0.0.9 3-* 10.0.0.9 delay=1\n"
                  "10.0.0.9 2 none delay=5\n"
                  "10.0.0.9 2 10.0.0.2 delay=3\n"),
             0);
    ICMP_HANDLE h = m.create();
    GuardedBuffer buffer(28 + 32);
    QCOMPARE(Send(h, "10.0.0.9", 2, buffer), 0u);
    QCOMPARE(Send(h, "10.0.0.9", 3, buffer), 1u); // another sequence does not advance this one
    QCOMPARE(Send(h, "10.0.0.9", 2, buffer), 0u);
    QCOMPARE(Send(h, "10.0.0.9", 2, buffer), 1u);
    QCOMPARE(Dotted(buffer.Reply().Address), std::string("10.0.0.2"));
    QCOMPARE(Send(h, "10.0.0.9", 2, buffer), 1u); // the last line repeats
    QCOMPARE(buffer.Reply().RoundTripTime, 3u);
    m.close(h);
    // Loading starts the sequences again.
    QCOMPARE(load("10.0.0.9 2 none delay=1\n10.0.0.9 2 10.0.0.2\n"), 0);
    h = m.create();
    QCOMPARE(Send(h, "10.0.0.9", 2, buffer), 0u);
    QCOMPARE(Send(h, "10.0.0.9", 2, buffer), 1u);
    m.close(h);
}

void TestIcmpSim::delaysAreWaited() {
    QCOMPARE(load("10.0.0.1 * 10.0.0.1 delay=60\n"
                  "10.0.0.2 * none delay=30\n"
                  "10.0.0.3 * none\n"
                  "10.0.0.4 * 10.0.0.4 delay=5000\n"),
             0);
    ICMP_HANDLE h = m.create();
    GuardedBuffer buffer(28 + 32);
    struct Row {
        const char* to;
        uint32_t timeout;
        uint32_t result;
        double low, high; // milliseconds
    };
    const Row rows[] = {
        {"10.0.0.1", 1000, 1, 59, 150}, // answered after its delay
        {"10.0.0.2", 1000, 0, 29, 120}, // unanswered after its delay
        {"10.0.0.2", 10, 0, 9, 80},     // or after the time-out, if shorter
        {"10.0.0.3", 80, 0, 79, 170},   // unanswered: the whole time-out
        {"10.0.0.4", 50, 0, 49, 140},   // an answer later than the time-out is never given
        {"10.0.0.99", 40, 0, 39, 130},  // no rule: the whole time-out
        {"10.0.0.1", 0, 0, 0, 40},      // time-out 0
    };
    for (const Row& r : rows) {
        auto start = std::chrono::steady_clock::now();
        QCOMPARE(Send(h, r.to, -1, buffer, r.timeout), r.result);
        const double ms = MillisecondsSince(start);
        QVERIFY2(ms >= r.low && ms < r.high,
                 qPrintable(QString("%1 took %2 ms").arg(r.to).arg(ms)));
    }
    m.close(h);
}

void TestIcmpSim::createFail() {
    QCOMPARE(load("create-fail  Ping sockets are refused; try setcap.  \n* * none"), 0);
    QCOMPARE(m.create(), ICMP_INVALID_HANDLE);
    QCOMPARE(m.CreateError(), std::string("Ping sockets are refused; try setcap."));
    QCOMPARE(load("* * none"), 0);
    ICMP_HANDLE h = m.create();
    QVERIFY(h != ICMP_INVALID_HANDLE);
    QCOMPARE(m.CreateError(), std::string());
    m.close(h);
}

void TestIcmpSim::requestLog() {
    QCOMPARE(load("10.0.0.9 1 10.0.0.1\n10.0.0.9 2 none delay=1\n"), 0);
    ICMP_HANDLE h = m.create();
    GuardedBuffer buffer(28 + 40);
    QCOMPARE(Send(h, "10.0.0.9", 1, buffer, 5000, 40), 1u);
    QCOMPARE(Send(h, "10.0.0.9", 2, buffer, 5000, 40), 0u);
    QCOMPARE(Send(h, "10.0.0.9", -1, buffer, 20, 8), 0u);
    QCOMPARE(count(), 3u);
    IcmpSimRequest r{};
    QVERIFY(request(0, &r));
    QCOMPARE(Dotted(r.Destination), std::string("10.0.0.9"));
    QCOMPARE(int(r.Ttl), 1);
    QCOMPARE(int(r.HasOptions), 1);
    QCOMPARE(int(r.RequestSize), 40);
    QCOMPARE(int(r.Fill), 0xAA);
    QCOMPARE(r.ReplySize, 68u);
    QCOMPARE(r.Timeout, 5000u);
    QCOMPARE(r.Result, 1u);
    QCOMPARE(Dotted(r.AnsweredBy), std::string("10.0.0.1"));
    QVERIFY(request(1, &r));
    QCOMPARE(r.Result, 0u);
    QCOMPARE(r.Status, uint32_t(IP_REQ_TIMED_OUT));
    QVERIFY(request(2, &r));
    QCOMPARE(int(r.HasOptions), 0);
    QCOMPARE(int(r.Ttl), 64);
    QCOMPARE(int(r.RequestSize), 8);
    QVERIFY(!request(3, &r));
    QCOMPARE(load(""), 0);
    QCOMPARE(count(), 0u);
    m.close(h);
}

void TestIcmpSim::refusesLikeTheRealModule() {
    QCOMPARE(load("* * 10.0.0.9"), 0);
    ICMP_HANDLE h = m.create();
    GuardedBuffer shortBuffer(28 + 31);
    QCOMPARE(Send(h, "10.0.0.9", 5, shortBuffer), 0u);
    QCOMPARE(m.lastStatus(), uint32_t(IP_BUF_TOO_SMALL));
    QVERIFY(shortBuffer.Untouched());
    GuardedBuffer buffer(28 + 32);
    QCOMPARE(Send(h, "10.0.0.9", 0, buffer), 0u);
    QCOMPARE(m.lastStatus(), uint32_t(IP_BAD_OPTION));
    QVERIFY(buffer.Untouched());
    QCOMPARE(Send(h, "10.0.0.9", 5, buffer), 1u);
    QVERIFY(buffer.GuardsIntact());
    QCOMPARE(m.close(h), 1);
    QCOMPARE(m.close(h), 0);
    QCOMPARE(Send(h, "10.0.0.9", 5, buffer), 0u);
    QCOMPARE(m.lastStatus(), uint32_t(IP_REQ_CANCELLED));
    QCOMPARE(m.kind(h), int(ICMP_SOCKET_NONE));
}

void TestIcmpSim::interruptedByClose() {
    QCOMPARE(load("* * 10.0.0.9 delay=5000"), 0);
    for (int i = 0; i < 5; ++i) {
        ICMP_HANDLE h = m.create();
        std::atomic<uint32_t> result{99};
        std::thread waiter([&] {
            GuardedBuffer buffer(28 + 32);
            result = Send(h, "10.0.0.9", 3, buffer, 10000);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 10 * i));
        auto closed = std::chrono::steady_clock::now();
        QCOMPARE(m.close(h), 1);
        waiter.join();
        QVERIFY2(MillisecondsSince(closed) < 100,
                 qPrintable(QString::number(MillisecondsSince(closed))));
        QCOMPARE(result.load(), 0u);
    }
}

void TestIcmpSim::interruptedByCancel() {
    QCOMPARE(load("* * 10.0.0.9 delay=5000"), 0);
    ICMP_HANDLE h = m.create();
    std::atomic<uint32_t> result{99};
    std::thread waiter([&] {
        GuardedBuffer buffer(28 + 32);
        result = Send(h, "10.0.0.9", 3, buffer, UINT32_MAX);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    auto cancelled = std::chrono::steady_clock::now();
    QCOMPARE(m.cancel(h), 1);
    waiter.join();
    QVERIFY(MillisecondsSince(cancelled) < 100);
    QCOMPARE(result.load(), 0u);
    GuardedBuffer buffer(28 + 32);
    QCOMPARE(Send(h, "10.0.0.9", 3, buffer), 0u); // cancelled for good
    QCOMPARE(m.close(h), 1);
}

void TestIcmpSim::twoRunsAtOnce() {
    QCOMPARE(load("10.0.0.9 * 10.0.0.9 delay=3\n10.0.0.8 1 10.0.0.1 delay=2\n"
                  "10.0.0.8 2-* 10.0.0.8 delay=1\n"),
             0);
    std::atomic<int> bad{0};
    std::thread ping([&] {
        ICMP_HANDLE h = m.create();
        GuardedBuffer buffer(28 + 32);
        for (int i = 0; i < 20; ++i) {
            if (Send(h, "10.0.0.9", -1, buffer) != 1 ||
                Dotted(buffer.Reply().Address) != "10.0.0.9") {
                ++bad;
            }
        }
        m.close(h);
    });
    std::thread trace([&] {
        ICMP_HANDLE h = m.create();
        GuardedBuffer buffer(28 + 32);
        for (int i = 0; i < 20; ++i) {
            const int ttl = 1 + i % 2;
            if (Send(h, "10.0.0.8", ttl, buffer) != 1 ||
                Dotted(buffer.Reply().Address) != (ttl == 1 ? "10.0.0.1" : "10.0.0.8")) {
                ++bad;
            }
        }
        m.close(h);
    });
    ping.join();
    trace.join();
    QCOMPARE(bad.load(), 0);
}

namespace {
// What the completions of asynchronous requests saw, in the order they ran.
struct Completions {
    std::mutex lock;
    std::vector<std::pair<ICMP_ECHO_RESULT, std::thread::id>> seen;
    std::atomic<int> routines{0};
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
void OnRoutine(void* context) {
    ++static_cast<Completions*>(context)->routines;
}
sockaddr_in6 Ipv6(const char* text) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    return a;
}
} // namespace

// IPv6 handles answer IPv6 scripts in the platform's record; asynchronous requests complete on
// the handle's own thread when due, and closing the handle completes the rest at once.
void TestIcmpSim::ipv6AndCompletionsOnTheHandlesThread() {
    QVERIFY(m.create6 && m.send6 && m.sendEx);
    QCOMPARE(load("2001:db8::9 1 2001:db8::1 delay=2 ttl=255\n"
                  "2001:db8::9 2-* 2001:db8::9 delay=4 ttl=61\n"
                  "10.0.0.9 * 10.0.0.9 delay=60 ttl=62\n10.0.0.8 * 10.0.0.8 delay=10\n"
                  "* * none delay=5000\n"),
             0);
    const ICMP_HANDLE h6 = m.create6();
    QCOMPARE(m.kind(h6), int(ICMP_SOCKET_SIMULATED));
    const QByteArray data(32, static_cast<char>(0xAA));
    const sockaddr_in6 target = Ipv6("2001:db8::9");
    IP_OPTION_INFORMATION o{};
    for (uint8_t hop : {uint8_t{1}, uint8_t{2}}) {
        o.Ttl = hop;
        GuardedBuffer buffer(sizeof(ICMPV6_ECHO_REPLY) + 32);
        QCOMPARE(m.send6(h6, nullptr, nullptr, nullptr, nullptr, &target, data.constData(), 32, &o,
                         buffer.data(), buffer.size(), 1000),
                 1u);
        QVERIFY(buffer.GuardsIntact());
        ICMPV6_ECHO_REPLY r;
        std::memcpy(&r, buffer.data(), sizeof r);
        const sockaddr_in6 from = Ipv6(hop == 1 ? "2001:db8::1" : "2001:db8::9");
        QCOMPARE(std::memcmp(r.Address.sin6_addr, &from.sin6_addr, 16), 0);
        QCOMPARE(uint(r.Status), hop == 1 ? uint(IP_TTL_EXPIRED_TRANSIT) : uint(IP_SUCCESS));
        QCOMPARE(int(r.Type), hop == 1 ? 3 : 129);
        QCOMPARE(int(r.HopLimit), hop == 1 ? 255 : 61);
        QCOMPARE(r.RoundTripTime, hop == 1 ? 2u : 4u);
        QCOMPARE(r.RoundTripMicroseconds, hop == 1 ? uint64_t{2000} : uint64_t{4000});
        if (hop == 2) {
            QCOMPARE(*buffer.At(sizeof r + 31), uint8_t(0xAA)); // the data echoed
        }
    }
    GuardedBuffer small(28 + 32);
    QCOMPARE(Send(h6, "10.0.0.9", 1, small), 0u); // an IPv6 handle takes no IPv4 request
    QCOMPARE(m.lastStatus(), uint32_t(IP_BAD_DESTINATION));

    // Icmp6SendEcho2 with a routine: queued, then the record and the routine.
    Completions c;
    GuardedBuffer later(sizeof(ICMPV6_ECHO_REPLY) + 32);
    QCOMPARE(m.send6(h6, nullptr, reinterpret_cast<void*>(&OnRoutine), &c, nullptr, &target,
                     data.constData(), 32, nullptr, later.data(), later.size(), 1000),
             0u);
    QCOMPARE(m.lastStatus(), uint32_t(IP_PENDING));
    QTRY_COMPARE_WITH_TIMEOUT(c.routines.load(), 1, 1000);
    ICMPV6_ECHO_REPLY r;
    std::memcpy(&r, later.data(), sizeof r);
    QCOMPARE(uint(r.Status), uint(IP_SUCCESS));
    QCOMPARE(m.close(h6), 1);

    // IcmpSendEchoEx: the earlier answer first, on the handle's thread; closing completes the
    // silent request as cancelled before it returns.
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
        QCOMPARE(got.Family, uint32_t(AF_INET));
        QCOMPARE(Dotted(got.Sender.Ipv4.sin_addr.s_addr), std::string(order[i]));
        QCOMPARE(uint(got.Status), i < 2 ? uint(IP_SUCCESS) : uint(IP_REQ_CANCELLED));
        QCOMPARE(got.DataSize, uint16_t(i < 2 ? 32 : 0));
    }
    QCOMPARE(c.seen[1].first.RoundTripMicroseconds, uint64_t{60000});
    QCOMPARE(int(c.seen[1].first.Ttl), 62);
    // The log holds every request, the asynchronous ones marked.
    QCOMPARE(count(), 7u);
    IcmpSimRequest logged{};
    QVERIFY(request(6, &logged));
    QCOMPARE(logged.Asynchronous, 1u);
    QCOMPARE(logged.Status, uint32_t(IP_REQ_CANCELLED));
}

QTEST_GUILESS_MAIN(TestIcmpSim)
#include "test_icmp_sim.moc"
