// Unit tables for the byte-level echo code: the checksum, building requests, and sorting received
// packets into our answers and the rest (valid, edge and malformed cases).

#include "net/icmp/icmp_packet.h"

#include <QtTest>

#include <arpa/inet.h>

namespace {

IPAddr Addr(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray b;
    for (int v : values) {
        b.append(static_cast<char>(v));
    }
    return b;
}

const uint8_t* U8(const QByteArray& b) {
    return reinterpret_cast<const uint8_t*>(b.constData());
}

void PutBe16(QByteArray& b, int at, uint16_t v) {
    b[at] = static_cast<char>(v >> 8);
    b[at + 1] = static_cast<char>(v & 0xFF);
}

QByteArray AddrBytes(const char* dotted) {
    IPAddr a = Addr(dotted);
    return QByteArray(reinterpret_cast<const char*>(&a), 4);
}

// An ICMP message: type, code, checksum, the 4 bytes after it, and a body.
QByteArray Icmp(int type, int code, uint16_t id, uint16_t seq, const QByteArray& body,
                bool goodChecksum = true) {
    QByteArray m(8, '\0');
    m[0] = static_cast<char>(type);
    m[1] = static_cast<char>(code);
    PutBe16(m, 4, id);
    PutBe16(m, 6, seq);
    m += body;
    uint16_t sum = icmp_checksum(m.constData(), static_cast<size_t>(m.size()));
    PutBe16(m, 2, goodChecksum ? sum : static_cast<uint16_t>(sum ^ 0x0101));
    return m;
}

// An IPv4 header (with options, padded to 4 bytes) and payload.
QByteArray Ip(const char* from, const char* to, const QByteArray& payload, int ttl = 57,
              const QByteArray& options = {}, int protocol = 1, int tos = 0) {
    QByteArray opts = options;
    while (opts.size() % 4 != 0) {
        opts.append('\1'); // NOP
    }
    QByteArray h(20, '\0');
    h[0] = static_cast<char>(0x40 | ((20 + opts.size()) / 4));
    h[1] = static_cast<char>(tos);
    PutBe16(h, 2, static_cast<uint16_t>(20 + opts.size() + payload.size()));
    h[8] = static_cast<char>(ttl);
    h[9] = static_cast<char>(protocol);
    h.replace(12, 4, AddrBytes(from));
    h.replace(16, 4, AddrBytes(to));
    h += opts;
    PutBe16(h, 10, icmp_checksum(h.constData(), static_cast<size_t>(h.size())));
    return h + payload;
}

const char* kUs = "10.0.0.100";
const char* kTarget = "10.0.0.9";
const char* kRouter = "10.0.0.1";
const uint16_t kId = 0x1234;
const uint16_t kSeq = 7;
const QByteArray kData(32, static_cast<char>(0xAA));

QByteArray OurRequest(uint16_t id = kId, uint16_t seq = kSeq, const char* to = kTarget,
                      const QByteArray& options = {}) {
    return Ip(kUs, to, Icmp(8, 0, id, seq, kData), 64, options);
}
QByteArray Reply(const char* from = kTarget, uint16_t id = kId, uint16_t seq = kSeq,
                 const QByteArray& data = kData) {
    return Ip(from, kUs, Icmp(0, 0, id, seq, data));
}
// A node's error quoting `quoted` (an IP packet), cut to `quoteSize` bytes when given.
QByteArray Error(int type, int code, const QByteArray& quoted, int quoteSize = -1,
                 const char* from = kRouter) {
    QByteArray q = quoteSize < 0 ? quoted : quoted.left(quoteSize);
    return Ip(from, kUs, Icmp(type, code, 0, 0, q), 63);
}

icmp_expect Expect(const char* destination = kTarget) {
    icmp_expect e{};
    e.destination = Addr(destination);
    e.identifier = kId;
    e.sequence = kSeq;
    e.data = U8(kData);
    e.data_size = static_cast<size_t>(kData.size());
    return e;
}

} // namespace

class TestIcmpPacket : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void checksum_data();
    void checksum();
    void checksumOfBuiltRequestIsZero_data();
    void checksumOfBuiltRequestIsZero();
    void buildRequest_data();
    void buildRequest();
    void parseRawPacket_data();
    void parseRawPacket();
    void parseDatagramMessage_data();
    void parseDatagramMessage();
    void parseQuotedRequest_data();
    void parseQuotedRequest();
};

void TestIcmpPacket::checksum_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("sum");
    QTest::newRow("empty") << QByteArray() << 0xFFFFu;
    QTest::newRow("one zero byte") << Bytes({0x00}) << 0xFFFFu;
    QTest::newRow("odd: one byte is the high half") << Bytes({0x01}) << 0xFEFFu;
    QTest::newRow("one word") << Bytes({0x01, 0x02}) << 0xFEFDu;
    QTest::newRow("odd: three bytes") << Bytes({0x01, 0x02, 0x03}) << 0xFBFDu;
    QTest::newRow("RFC 1071 example")
        << Bytes({0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}) << 0x220Du;
    QTest::newRow("carry folds back") << Bytes({0xFF, 0xFF, 0xFF, 0xFF}) << 0x0000u;
    QTest::newRow("odd with carry") << Bytes({0xFF, 0xFF, 0xFF}) << 0x00FFu;
    QTest::newRow("echo request id 0 seq 1")
        << Bytes({0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}) << 0xF7FEu;
}

void TestIcmpPacket::checksum() {
    QFETCH(QByteArray, bytes);
    QFETCH(uint, sum);
    QCOMPARE(uint(icmp_checksum(bytes.constData(), static_cast<size_t>(bytes.size()))), sum);
}

void TestIcmpPacket::checksumOfBuiltRequestIsZero_data() {
    QTest::addColumn<int>("dataSize");
    for (int n : {0, 1, 2, 3, 7, 8, 31, 32, 511, 512, 1473, 65507}) {
        QTest::addRow("%d data bytes", n) << n;
    }
}

void TestIcmpPacket::checksumOfBuiltRequestIsZero() {
    QFETCH(int, dataSize);
    QByteArray data(dataSize, '\0');
    for (int i = 0; i < dataSize; ++i) {
        data[i] = static_cast<char>(i * 37 + 11);
    }
    QByteArray out(8 + dataSize, '\0');
    size_t n = icmp_build_echo_request(reinterpret_cast<uint8_t*>(out.data()),
                                       static_cast<size_t>(out.size()), 0xBEEF, 0xFFFF,
                                       data.constData(), static_cast<size_t>(dataSize));
    QCOMPARE(n, size_t(8 + dataSize));
    QCOMPARE(uint(icmp_checksum(out.constData(), n)), 0u);
}

void TestIcmpPacket::buildRequest_data() {
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<int>("outSize");
    QTest::addColumn<int>("written");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("no data") << 0 << 8 << 8 << Bytes({8, 0, 0xF7, 0xFE, 0x00, 0x00, 0x00, 0x01});
    QTest::newRow("32 bytes of 0xAA")
        << 32 << 40 << 40 << QByteArray(); // header checked through the checksum only
    QTest::newRow("out one byte short") << 32 << 39 << 0 << QByteArray();
    QTest::newRow("out smaller than a header") << 0 << 7 << 0 << QByteArray();
    QTest::newRow("largest data") << 65507 << 65515 << 65515 << QByteArray();
    QTest::newRow("data too large for IPv4") << 65508 << 70000 << 0 << QByteArray();
}

void TestIcmpPacket::buildRequest() {
    QFETCH(int, dataSize);
    QFETCH(int, outSize);
    QFETCH(int, written);
    QFETCH(QByteArray, header);
    QByteArray data(dataSize, static_cast<char>(0xAA));
    QByteArray out(outSize + 16, static_cast<char>(0xC5)); // canary after outSize
    uint16_t id = header.isEmpty() ? 0x1234 : 0;
    uint16_t seq = header.isEmpty() ? 0x0102 : 1;
    size_t n = icmp_build_echo_request(reinterpret_cast<uint8_t*>(out.data()),
                                       static_cast<size_t>(outSize), id, seq, data.constData(),
                                       static_cast<size_t>(dataSize));
    QCOMPARE(int(n), written);
    QCOMPARE(out.mid(outSize), QByteArray(16, static_cast<char>(0xC5)));
    if (written == 0) {
        return;
    }
    if (!header.isEmpty()) {
        QCOMPARE(out.left(8), header);
    } else {
        QCOMPARE(out.left(2), Bytes({8, 0}));
        QCOMPARE(out.mid(4, 4), Bytes({0x12, 0x34, 0x01, 0x02})); // big-endian on the wire
        QCOMPARE(out.mid(8, dataSize), data);
    }
}

void TestIcmpPacket::parseRawPacket_data() {
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<int>("optionsSize");

    const int ECHO = ICMP_OUR_ECHO_REPLY, ERR = ICMP_OUR_ERROR, NOT = ICMP_NOT_OURS,
              BAD = ICMP_MALFORMED;
    const QString t = kTarget, r = kRouter;
    const QByteArray nops = Bytes({1, 1, 1, 1});
    const QByteArray rr = Bytes({7, 7, 4, 0, 0, 0, 0, 1}); // record route, one slot, padded

    // Valid: our answers.
    QTest::newRow("valid: echo reply") << Reply() << t << ECHO << 0u << t << 32 << 0;
    QTest::newRow("valid: ttl expired, whole request quoted")
        << Error(11, 0, OurRequest()) << t << ERR << uint(IP_TTL_EXPIRED_TRANSIT) << r << 0 << 0;
    QTest::newRow("valid: ttl expired, header and 8 bytes quoted")
        << Error(11, 0, OurRequest(), 28) << t << ERR << uint(IP_TTL_EXPIRED_TRANSIT) << r << 0
        << 0;
    QTest::newRow("valid: reassembly time exceeded")
        << Error(11, 1, OurRequest()) << t << ERR << uint(IP_TTL_EXPIRED_REASSEM) << r << 0 << 0;
    QTest::newRow("valid: net unreachable")
        << Error(3, 0, OurRequest()) << t << ERR << uint(IP_DEST_NET_UNREACHABLE) << r << 0 << 0;
    QTest::newRow("valid: host unreachable")
        << Error(3, 1, OurRequest()) << t << ERR << uint(IP_DEST_HOST_UNREACHABLE) << r << 0 << 0;
    QTest::newRow("valid: protocol unreachable from the target")
        << Error(3, 2, OurRequest(), -1, kTarget) << t << ERR << uint(IP_DEST_PROT_UNREACHABLE) << t
        << 0 << 0;
    QTest::newRow("valid: port unreachable")
        << Error(3, 3, OurRequest()) << t << ERR << uint(IP_DEST_PORT_UNREACHABLE) << r << 0 << 0;
    QTest::newRow("valid: fragmentation needed")
        << Error(3, 4, OurRequest()) << t << ERR << uint(IP_PACKET_TOO_BIG) << r << 0 << 0;
    QTest::newRow("valid: source route failed")
        << Error(3, 5, OurRequest()) << t << ERR << uint(IP_BAD_ROUTE) << r << 0 << 0;
    QTest::newRow("valid: net prohibited")
        << Error(3, 9, OurRequest()) << t << ERR << uint(IP_DEST_NET_UNREACHABLE) << r << 0 << 0;
    QTest::newRow("valid: communication prohibited")
        << Error(3, 13, OurRequest()) << t << ERR << uint(IP_DEST_HOST_UNREACHABLE) << r << 0 << 0;
    QTest::newRow("valid: parameter problem")
        << Error(12, 0, OurRequest()) << t << ERR << uint(IP_PARAM_PROBLEM) << r << 0 << 0;
    QTest::newRow("valid: source quench")
        << Error(4, 0, OurRequest()) << t << ERR << uint(IP_SOURCE_QUENCH) << r << 0 << 0;

    // Edge cases that are still ours.
    QTest::newRow("edge: reply with IP options")
        << Ip(kTarget, kUs, Icmp(0, 0, kId, kSeq, kData), 57, nops) << t << ECHO << 0u << t << 32
        << 4;
    QTest::newRow("edge: reply with record route")
        << Ip(kTarget, kUs, Icmp(0, 0, kId, kSeq, kData), 57, rr) << t << ECHO << 0u << t << 32
        << 8;
    QTest::newRow("edge: inner header with options")
        << Error(11, 0, OurRequest(kId, kSeq, kTarget, rr)) << t << ERR
        << uint(IP_TTL_EXPIRED_TRANSIT) << r << 0 << 0;
    QTest::newRow("edge: inner header with options, 8 bytes quoted")
        << Error(11, 0, OurRequest(kId, kSeq, kTarget, rr), 28 + 8) << t << ERR
        << uint(IP_TTL_EXPIRED_TRANSIT) << r << 0 << 0;
    QTest::newRow("edge: link padding after the packet")
        << Reply() + QByteArray(6, '\0') << t << ECHO << 0u << t << 32 << 0;
    QTest::newRow("edge: ttl expired with options on the outer header")
        << Ip(kRouter, kUs, Icmp(11, 0, 0, 0, OurRequest()), 63, nops) << t << ERR
        << uint(IP_TTL_EXPIRED_TRANSIT) << r << 0 << 4;
    QTest::newRow("edge: destination 0.0.0.0 answered by 127.0.0.1")
        << Reply("127.0.0.1") << "0.0.0.0" << ECHO << 0u << "127.0.0.1" << 32 << 0;
    QTest::newRow("edge: multicast destination answered by a member")
        << Reply("10.0.0.77") << "224.0.0.1" << ECHO << 0u << "10.0.0.77" << 32 << 0;
    QTest::newRow("edge: unicast destination answered from another of its addresses")
        << Reply("10.0.0.8") << t << ECHO << 0u << "10.0.0.8" << 32 << 0;

    // Sound packets that answer somebody else.
    QTest::newRow("not ours: foreign identifier")
        << Reply(kTarget, 0x4321) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: earlier sequence (late reply)")
        << Reply(kTarget, kId, kSeq - 1) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: another host's reply with a foreign identifier")
        << Reply("10.0.0.8", 0x4321) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: another host's reply with an earlier sequence")
        << Reply("10.0.0.8", kId, kSeq - 1) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: another host's reply with other data")
        << Reply("10.0.0.8", kId, kSeq, QByteArray(32, 'x')) << t << NOT << 0u << QString() << 0
        << 0;
    QTest::newRow("not ours: other data, same id and sequence")
        << Reply(kTarget, kId, kSeq, QByteArray(32, 'x')) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: shorter data")
        << Reply(kTarget, kId, kSeq, kData.left(31)) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: ttl expired for someone else's packet")
        << Error(11, 0, OurRequest(0x9999, kSeq)) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: ttl expired for our earlier request")
        << Error(11, 0, OurRequest(kId, kSeq - 1)) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: ttl expired for another destination")
        << Error(11, 0, OurRequest(kId, kSeq, "10.0.0.10")) << t << NOT << 0u << QString() << 0
        << 0;
    QTest::newRow("not ours: ttl expired for a UDP probe")
        << Error(11, 0, Ip(kUs, kTarget, Icmp(8, 0, kId, kSeq, kData), 64, {}, 17)) << t << NOT
        << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: quoted packet is not an echo request")
        << Error(11, 0, Ip(kUs, kTarget, Icmp(13, 0, kId, kSeq, kData))) << t << NOT << 0u
        << QString() << 0 << 0;
    QTest::newRow("not ours: our own request seen on loopback")
        << Ip(kUs, kTarget, Icmp(8, 0, kId, kSeq, kData)) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: redirect")
        << Error(5, 1, OurRequest()) << t << NOT << 0u << QString() << 0 << 0;
    QTest::newRow("not ours: not ICMP")
        << Ip(kTarget, kUs, Icmp(0, 0, kId, kSeq, kData), 57, {}, 17) << t << NOT << 0u << QString()
        << 0 << 0;

    // Malformed.
    QByteArray truncated = Reply();
    truncated.chop(1);
    QByteArray v6 = Reply();
    v6[0] = static_cast<char>(0x65);
    QByteArray ihl4 = Reply();
    ihl4[0] = static_cast<char>(0x44);
    QByteArray tooShortTotal = Reply();
    PutBe16(tooShortTotal, 2, 27);
    QByteArray fragment = Reply();
    PutBe16(fragment, 6, 0x2000); // more fragments
    QByteArray laterFragment = Reply();
    PutBe16(laterFragment, 6, 0x0010);
    QByteArray innerV6 = OurRequest();
    innerV6[0] = static_cast<char>(0x65);
    QByteArray innerIhl15 = OurRequest();
    innerIhl15[0] = static_cast<char>(0x4F);
    QByteArray innerTotalShort = OurRequest();
    PutBe16(innerTotalShort, 2, 20);
    QTest::newRow("malformed: empty") << QByteArray() << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: 19 bytes")
        << Reply().left(19) << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: IP header only")
        << Reply().left(20) << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: cut short of its total length")
        << truncated << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: version 6") << v6 << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: header length 16") << ihl4 << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: total length below header + 8")
        << tooShortTotal << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: first fragment") << fragment << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: later fragment")
        << laterFragment << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: ICMP message of 7 bytes")
        << Ip(kTarget, kUs, Bytes({0, 0, 0xFF, 0xFF, 0, 0, 0})) << t << BAD << 0u << QString() << 0
        << 0;
    QTest::newRow("malformed: echo reply with a bad checksum")
        << Ip(kTarget, kUs, Icmp(0, 0, kId, kSeq, kData, false)) << t << BAD << 0u << QString() << 0
        << 0;
    QTest::newRow("malformed: ttl expired with a bad checksum")
        << Ip(kRouter, kUs, Icmp(11, 0, 0, 0, OurRequest(), false)) << t << BAD << 0u << QString()
        << 0 << 0;
    QTest::newRow("malformed: echo reply with code 1")
        << Ip(kTarget, kUs, Icmp(0, 1, kId, kSeq, kData)) << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: truncated inner header")
        << Error(11, 0, OurRequest(), 19) << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: inner header without the echo header")
        << Error(11, 0, OurRequest(), 27) << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: inner header with options, cut inside them")
        << Error(11, 0, OurRequest(kId, kSeq, kTarget, rr), 28 + 4) << t << BAD << 0u << QString()
        << 0 << 0;
    QTest::newRow("malformed: inner version 6")
        << Error(11, 0, innerV6) << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: inner header length beyond the quote")
        << Error(11, 0, innerIhl15, 40) << t << BAD << 0u << QString() << 0 << 0;
    QTest::newRow("malformed: inner total length below its header")
        << Error(11, 0, innerTotalShort) << t << BAD << 0u << QString() << 0 << 0;
}

void TestIcmpPacket::parseRawPacket() {
    QFETCH(QByteArray, packet);
    QFETCH(QString, destination);
    QFETCH(int, verdict);
    QFETCH(uint, status);
    QFETCH(QString, source);
    QFETCH(int, dataSize);
    QFETCH(int, optionsSize);
    icmp_expect e = Expect(destination.toLatin1().constData());
    icmp_answer a{};
    const int got = icmp_parse_ip_packet(U8(packet), static_cast<size_t>(packet.size()), &e, &a);
    QCOMPARE(got, verdict);
    if (verdict <= 0) {
        return;
    }
    QCOMPARE(uint(a.status), status);
    QCOMPARE(a.source, Addr(source.toLatin1().constData()));
    QCOMPARE(int(a.data_size), dataSize);
    QCOMPARE(int(a.options_size), optionsSize);
    QCOMPARE(int(a.ttl), verdict == ICMP_OUR_ECHO_REPLY ? 57 : 63);
    if (dataSize > 0) {
        QVERIFY(a.data_offset + a.data_size <= size_t(packet.size()));
        QCOMPARE(packet.mid(int(a.data_offset), dataSize), kData);
    }
    if (optionsSize > 0) {
        QCOMPARE(int(a.options_offset), 20);
    }
}

void TestIcmpPacket::parseDatagramMessage_data() {
    // A ping socket delivers the ICMP message without the IP header; the sender comes apart.
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("verdict");
    QTest::newRow("valid: echo reply")
        << Icmp(0, 0, kId, kSeq, kData) << kTarget << int(ICMP_OUR_ECHO_REPLY);
    QTest::newRow("valid: ttl expired (if ever delivered here)")
        << Icmp(11, 0, 0, 0, OurRequest()) << kRouter << int(ICMP_OUR_ERROR);
    QTest::newRow("not ours: other sequence")
        << Icmp(0, 0, kId, kSeq + 1, kData) << kTarget << int(ICMP_NOT_OURS);
    QTest::newRow("valid: echo reply from another address")
        << Icmp(0, 0, kId, kSeq, kData) << "10.0.0.8" << int(ICMP_OUR_ECHO_REPLY);
    QTest::newRow("not ours: other sender and other identifier")
        << Icmp(0, 0, kId + 1, kSeq, kData) << "10.0.0.8" << int(ICMP_NOT_OURS);
    QTest::newRow("malformed: 7 bytes")
        << Icmp(0, 0, kId, kSeq, {}).left(7) << kTarget << int(ICMP_MALFORMED);
    QTest::newRow("malformed: bad checksum")
        << Icmp(0, 0, kId, kSeq, kData, false) << kTarget << int(ICMP_MALFORMED);
}

void TestIcmpPacket::parseDatagramMessage() {
    QFETCH(QByteArray, message);
    QFETCH(QString, source);
    QFETCH(int, verdict);
    icmp_expect e = Expect();
    icmp_answer a{};
    const int got = icmp_parse_icmp_message(U8(message), static_cast<size_t>(message.size()),
                                            Addr(source.toLatin1().constData()), &e, &a);
    QCOMPARE(got, verdict);
    if (verdict == ICMP_OUR_ECHO_REPLY) {
        QCOMPARE(a.source, Addr(source.toLatin1().constData()));
        QCOMPARE(int(a.data_offset), 8);
        QCOMPARE(int(a.data_size), 32);
        QCOMPARE(int(a.ttl), 0); // a ping socket's time-to-live comes as a control message
    }
}

void TestIcmpPacket::parseQuotedRequest_data() {
    // What a ping socket's error queue gives: the quoted request from its ICMP header on, and
    // the original destination.
    QTest::addColumn<QByteArray>("quoted");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("verdict");
    QTest::newRow("valid: whole request")
        << Icmp(8, 0, kId, kSeq, kData) << kTarget << int(ICMP_OUR_ERROR);
    QTest::newRow("valid: 8 bytes")
        << Icmp(8, 0, kId, kSeq, kData).left(8) << kTarget << int(ICMP_OUR_ERROR);
    QTest::newRow("not ours: earlier sequence")
        << Icmp(8, 0, kId, kSeq - 1, kData) << kTarget << int(ICMP_NOT_OURS);
    QTest::newRow("not ours: other identifier")
        << Icmp(8, 0, kId + 1, kSeq, kData) << kTarget << int(ICMP_NOT_OURS);
    QTest::newRow("not ours: other destination")
        << Icmp(8, 0, kId, kSeq, kData) << "10.0.0.10" << int(ICMP_NOT_OURS);
    QTest::newRow("not ours: not an echo request")
        << Icmp(0, 0, kId, kSeq, kData) << kTarget << int(ICMP_NOT_OURS);
    QTest::newRow("malformed: 7 bytes")
        << Icmp(8, 0, kId, kSeq, kData).left(7) << kTarget << int(ICMP_MALFORMED);
    QTest::newRow("malformed: empty") << QByteArray() << kTarget << int(ICMP_MALFORMED);
}

void TestIcmpPacket::parseQuotedRequest() {
    QFETCH(QByteArray, quoted);
    QFETCH(QString, destination);
    QFETCH(int, verdict);
    icmp_expect e = Expect();
    QCOMPARE(int(icmp_parse_quoted_request(U8(quoted), static_cast<size_t>(quoted.size()),
                                           Addr(destination.toLatin1().constData()), &e)),
             verdict);
}

QTEST_GUILESS_MAIN(TestIcmpPacket)
#include "test_icmp_packet.moc"
