// Unit tables for the ICMPv6 echo code (building a request, sorting received messages, the status
// of each error) and for the helper's request parser: valid, edge and malformed rows.

#include "net/icmp/icmp6_packet.h"
#include "net/icmp/icmp_helper_proto.h"

#include <QtTest>

#include <arpa/inet.h>

namespace {

QByteArray Addr6(const char* text) {
    QByteArray a(16, '\0');
    inet_pton(AF_INET6, text, a.data());
    return a;
}

const uint8_t* U8(const QByteArray& b) {
    return reinterpret_cast<const uint8_t*>(b.constData());
}

void PutBe16(QByteArray& b, int at, uint16_t v) {
    b[at] = static_cast<char>(v >> 8);
    b[at + 1] = static_cast<char>(v & 0xFF);
}

const char* kUs = "2001:db8::100";
const char* kTarget = "2001:db8:1::9";
const uint16_t kId = 0x1234;
const uint16_t kSeq = 7;
const QByteArray kData(32, static_cast<char>(0xAA));

// An ICMPv6 message: type, code, checksum 0 (the kernel checks it), 4 more bytes, a body.
QByteArray Icmp6(int type, int code, uint16_t id, uint16_t seq, const QByteArray& body) {
    QByteArray m(8, '\0');
    m[0] = static_cast<char>(type);
    m[1] = static_cast<char>(code);
    PutBe16(m, 4, id);
    PutBe16(m, 6, seq);
    return m + body;
}

// An IPv6 header and payload.
QByteArray Ip6(const char* from, const char* to, const QByteArray& payload, int nextHeader = 58,
               int version = 6) {
    QByteArray h(40, '\0');
    h[0] = static_cast<char>(version << 4);
    PutBe16(h, 4, static_cast<uint16_t>(payload.size()));
    h[6] = static_cast<char>(nextHeader);
    h[7] = 64;
    h.replace(8, 16, Addr6(from));
    h.replace(24, 16, Addr6(to));
    return h + payload;
}

QByteArray OurRequest(uint16_t id = kId, uint16_t seq = kSeq, const char* to = kTarget) {
    return Ip6(kUs, to, Icmp6(128, 0, id, seq, kData));
}
QByteArray Error(int type, int code, const QByteArray& quoted, int quoteSize = -1) {
    return Icmp6(type, code, 0, 0, quoteSize < 0 ? quoted : quoted.left(quoteSize));
}

icmp6_expect Expect() {
    icmp6_expect e{};
    memcpy(e.destination, Addr6(kTarget).constData(), 16);
    e.identifier = kId;
    e.sequence = kSeq;
    e.data = U8(kData);
    e.data_size = static_cast<size_t>(kData.size());
    return e;
}

QByteArray HelperRequest(const char* address, uint16_t dataSize = 32, uint32_t timeoutMs = 1000,
                         int family = 0, int extra = 0) {
    icmp_helper_request r{};
    r.magic = ICMP_HELPER_MAGIC;
    r.id = 5;
    r.data_size = dataSize;
    r.timeout_ms = timeoutMs;
    r.family = inet_pton(AF_INET, address, r.address) == 1 ? 4 : 6;
    if (r.family == 6) {
        inet_pton(AF_INET6, address, r.address);
    }
    if (family != 0) {
        r.family = static_cast<uint8_t>(family);
    }
    QByteArray b(reinterpret_cast<const char*>(&r), sizeof r);
    return b + QByteArray(std::max(0, dataSize + extra), static_cast<char>(0xAA));
}

const int BAD = ICMP_MALFORMED, NOT = ICMP_NOT_OURS, REPLY = ICMP_OUR_ECHO_REPLY,
          ERR = ICMP_OUR_ERROR;

} // namespace

class TestIcmp6Packet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void buildRequest();
    void parseMessage_data();
    void parseMessage();
    void parseQuotedRequest_data();
    void parseQuotedRequest();
    void helperRequest_data();
    void helperRequest();
};

void TestIcmp6Packet::buildRequest() {
    uint8_t out[8 + 32];
    QCOMPARE(icmp6_build_echo_request(out, sizeof out, kId, kSeq, kData.constData(), 32),
             size_t(40));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(out), 40), Icmp6(128, 0, kId, kSeq, kData));
    QCOMPARE(icmp6_build_echo_request(out, sizeof out - 1, kId, kSeq, kData.constData(), 32),
             size_t(0));
}

void TestIcmp6Packet::parseMessage_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<uint>("status");

    // Valid.
    QTest::newRow("valid: echo reply") << Icmp6(129, 0, kId, kSeq, kData) << REPLY << 0u;
    const struct {
        const char* name;
        int type, code;
        uint status;
    } errors[] = {
        {"valid: hop limit exceeded", 3, 0, IP_TTL_EXPIRED_TRANSIT},
        {"valid: reassembly time exceeded", 3, 1, IP_TTL_EXPIRED_REASSEM},
        {"valid: no route", 1, 0, IP_DEST_NET_UNREACHABLE},
        {"valid: administratively prohibited", 1, 1, IP_DEST_HOST_UNREACHABLE},
        {"valid: address unreachable", 1, 3, IP_DEST_HOST_UNREACHABLE},
        {"valid: port unreachable", 1, 4, IP_DEST_PORT_UNREACHABLE},
        {"valid: reject route", 1, 6, IP_DEST_NET_UNREACHABLE},
        {"valid: packet too big", 2, 0, IP_PACKET_TOO_BIG},
        {"valid: parameter problem", 4, 0, IP_PARAM_PROBLEM},
    };
    for (const auto& e : errors) {
        QTest::newRow(e.name) << Error(e.type, e.code, OurRequest()) << ERR << e.status;
    }

    // Edge.
    QTest::newRow("edge: error quoting only the echo header")
        << Error(3, 0, OurRequest(), 48) << ERR << uint(IP_TTL_EXPIRED_TRANSIT);
    QTest::newRow("not ours: echo reply without the data")
        << Icmp6(129, 0, kId, kSeq, {}) << NOT << 0u;
    QTest::newRow("not ours: other identifier") << Icmp6(129, 0, kId + 1, kSeq, kData) << NOT << 0u;
    QTest::newRow("not ours: other sequence") << Icmp6(129, 0, kId, kSeq + 1, kData) << NOT << 0u;
    QByteArray otherData = kData;
    otherData[31] = 0x55;
    QTest::newRow("not ours: other data") << Icmp6(129, 0, kId, kSeq, otherData) << NOT << 0u;
    QTest::newRow("not ours: data one byte short")
        << Icmp6(129, 0, kId, kSeq, kData.left(31)) << NOT << 0u;
    QTest::newRow("not ours: echo request") << Icmp6(128, 0, kId, kSeq, kData) << NOT << 0u;
    QTest::newRow("not ours: neighbour solicitation") << Icmp6(135, 0, 0, 0, kData) << NOT << 0u;
    QTest::newRow("not ours: error for another destination")
        << Error(3, 0, OurRequest(kId, kSeq, "2001:db8:1::10")) << NOT << 0u;
    QTest::newRow("not ours: error for another sequence")
        << Error(3, 0, OurRequest(kId, kSeq + 1)) << NOT << 0u;
    QTest::newRow("not ours: error about a UDP packet")
        << Error(1, 4, Ip6(kUs, kTarget, Icmp6(128, 0, kId, kSeq, kData), 17)) << NOT << 0u;
    QTest::newRow("not ours: error about an echo reply")
        << Error(3, 0, Ip6(kUs, kTarget, Icmp6(129, 0, kId, kSeq, kData))) << NOT << 0u;

    // Malformed.
    QTest::newRow("malformed: empty") << QByteArray() << BAD << 0u;
    QTest::newRow("malformed: 7 bytes") << Icmp6(129, 0, kId, kSeq, {}).left(7) << BAD << 0u;
    QTest::newRow("malformed: echo reply with code 1")
        << Icmp6(129, 1, kId, kSeq, kData) << BAD << 0u;
    QTest::newRow("malformed: quote cut inside the IPv6 header")
        << Error(3, 0, OurRequest(), 39) << BAD << 0u;
    QTest::newRow("malformed: quote without the echo header")
        << Error(3, 0, OurRequest(), 47) << BAD << 0u;
    QTest::newRow("malformed: quoted version 4")
        << Error(3, 0, Ip6(kUs, kTarget, Icmp6(128, 0, kId, kSeq, kData), 58, 4)) << BAD << 0u;
    QByteArray shortPayload = OurRequest();
    PutBe16(shortPayload, 4, 7);
    QTest::newRow("malformed: quoted payload length below 8")
        << Error(3, 0, shortPayload) << BAD << 0u;
}

void TestIcmp6Packet::parseMessage() {
    QFETCH(QByteArray, message);
    QFETCH(int, verdict);
    QFETCH(uint, status);
    icmp6_expect e = Expect();
    icmp6_answer a{};
    QCOMPARE(int(icmp6_parse_message(U8(message), size_t(message.size()), &e, &a)), verdict);
    if (verdict <= 0) {
        return;
    }
    QCOMPARE(uint(a.status), status);
    QCOMPARE(int(a.type), int(uint8_t(message[0])));
    QCOMPARE(int(a.data_size), verdict == REPLY ? 32 : 0);
    if (verdict == REPLY) {
        QCOMPARE(message.mid(int(a.data_offset), 32), kData);
    }
}

void TestIcmp6Packet::parseQuotedRequest_data() {
    // A ping socket's error queue: the quoted request from its ICMPv6 header, the destination.
    QTest::addColumn<QByteArray>("quoted");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("verdict");
    QTest::newRow("valid: whole request") << Icmp6(128, 0, kId, kSeq, kData) << kTarget << ERR;
    QTest::newRow("valid: 8 bytes") << Icmp6(128, 0, kId, kSeq, {}) << kTarget << ERR;
    QTest::newRow("not ours: other destination")
        << Icmp6(128, 0, kId, kSeq, kData) << "2001:db8:1::10" << NOT;
    QTest::newRow("not ours: other sequence")
        << Icmp6(128, 0, kId, kSeq - 1, kData) << kTarget << NOT;
    QTest::newRow("malformed: 7 bytes") << Icmp6(128, 0, kId, kSeq, {}).left(7) << kTarget << BAD;
}

void TestIcmp6Packet::parseQuotedRequest() {
    QFETCH(QByteArray, quoted);
    QFETCH(QString, destination);
    QFETCH(int, verdict);
    icmp6_expect e = Expect();
    QCOMPARE(int(icmp6_parse_quoted_request(U8(quoted), size_t(quoted.size()),
                                            U8(Addr6(destination.toLatin1().constData())), &e)),
             verdict);
}

void TestIcmp6Packet::helperRequest_data() {
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("valid: IPv4") << HelperRequest("127.0.0.1") << true;
    QTest::newRow("valid: IPv6") << HelperRequest("::1") << true;
    QTest::newRow("valid: link-local IPv6") << HelperRequest("fe80::1") << true;
    QTest::newRow("edge: 8 bytes of data") << HelperRequest("10.0.0.1", 8) << true;
    QTest::newRow("edge: 512 bytes of data") << HelperRequest("10.0.0.1", 512) << true;
    QTest::newRow("edge: time-out 1 ms") << HelperRequest("10.0.0.1", 32, 1) << true;
    QTest::newRow("edge: time-out 60000 ms") << HelperRequest("10.0.0.1", 32, 60000) << true;
    QTest::newRow("edge: 223.255.255.255") << HelperRequest("223.255.255.255") << true;
    QByteArray badMagic = HelperRequest("127.0.0.1");
    badMagic[0] = static_cast<char>(badMagic[0] ^ 1);
    QTest::newRow("malformed: unknown magic") << badMagic << false;
    QTest::newRow("malformed: empty") << QByteArray() << false;
    QTest::newRow("malformed: header cut short")
        << HelperRequest("127.0.0.1").left(int(sizeof(icmp_helper_request)) - 1) << false;
    QTest::newRow("malformed: a byte more than declared")
        << HelperRequest("127.0.0.1", 32, 1000, 0, 1) << false;
    QTest::newRow("malformed: a byte less than declared")
        << HelperRequest("127.0.0.1", 32, 1000, 0, -1) << false;
    QTest::newRow("malformed: 7 bytes of data") << HelperRequest("127.0.0.1", 7) << false;
    QTest::newRow("malformed: 513 bytes of data") << HelperRequest("127.0.0.1", 513) << false;
    QTest::newRow("malformed: time-out 0") << HelperRequest("127.0.0.1", 32, 0) << false;
    QTest::newRow("malformed: time-out 60001") << HelperRequest("127.0.0.1", 32, 60001) << false;
    QTest::newRow("malformed: family 0") << HelperRequest("127.0.0.1", 32, 1000, 255) << false;
    QTest::newRow("malformed: IPv4 not zero-padded") << HelperRequest("::1", 32, 1000, 4) << false;
    QTest::newRow("malformed: 0.0.0.0") << HelperRequest("0.0.0.0") << false;
    QTest::newRow("malformed: 0.1.2.3") << HelperRequest("0.1.2.3") << false;
    QTest::newRow("malformed: multicast") << HelperRequest("239.1.1.1") << false;
    QTest::newRow("malformed: reserved") << HelperRequest("240.0.0.1") << false;
    QTest::newRow("malformed: broadcast") << HelperRequest("255.255.255.255") << false;
    QTest::newRow("malformed: ::") << HelperRequest("::") << false;
    QTest::newRow("malformed: ff02::1") << HelperRequest("ff02::1") << false;
    QTest::newRow("malformed: ::ffff:10.0.0.1") << HelperRequest("::ffff:10.0.0.1") << false;
}

void TestIcmp6Packet::helperRequest() {
    QFETCH(QByteArray, packet);
    QFETCH(bool, accepted);
    icmp_helper_request r{};
    const uint8_t* data = nullptr;
    QCOMPARE(icmp_helper_parse_request(U8(packet), size_t(packet.size()), &r, &data) == 1,
             accepted);
    if (accepted) {
        QCOMPARE(data, U8(packet) + sizeof r);
        QCOMPARE(int(r.data_size), packet.size() - int(sizeof r));
        QCOMPARE(r.id, 5u);
    }
}

QTEST_GUILESS_MAIN(TestIcmp6Packet)
#include "test_icmp6_packet.moc"
