// Unit tables for the byte-level echo code: the checksum, building requests, sorting received
// IPv4 and ICMPv6 packets into our answers and the rest, the status of each error, and the
// helper's request parser (valid, edge and malformed rows); then mutations of those packets
// through the fuzz target's entry point (fuzz_icmp_reply.cpp).

#include "net/icmp/icmp6_packet.h"
#include "net/icmp/icmp_helper_proto.h"
#include "net/icmp/icmp_packet.h"

#include <QtTest>

#include <arpa/inet.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size);

namespace {

QByteArray Addr(const char* text) {
    QByteArray a(16, '\0');
    const bool v4 = inet_pton(AF_INET, text, a.data()) == 1;
    return v4 ? a.left(4) : (inet_pton(AF_INET6, text, a.data()), a);
}

IPAddr Addr4(const char* text) {
    IPAddr a;
    std::memcpy(&a, Addr(text).constData(), 4);
    return a;
}

const uint8_t* U8(const QByteArray& b) {
    return reinterpret_cast<const uint8_t*>(b.constData());
}

void PutBe16(QByteArray& b, int at, qsizetype v) {
    b[at] = char(v >> 8);
    b[at + 1] = char(v);
}

const char *kUs = "10.0.0.100", *kTarget = "10.0.0.9", *kRouter = "10.0.0.1";
const char *kUs6 = "2001:db8::100", *kTarget6 = "a00:9::"; // the fuzz target's destinations
const uint16_t kId = 0x1234, kSeq = 7;
const QByteArray kData(32, char(0xAA));

// An ICMP or ICMPv6 message: type, code, checksum (ICMPv6: 0, the kernel checks it), id, seq.
QByteArray Icmp(int type, int code, int id, int seq, const QByteArray& body, int checksum = 1) {
    QByteArray m(8, '\0');
    m[0] = char(type);
    m[1] = char(code);
    PutBe16(m, 4, id);
    PutBe16(m, 6, seq);
    m += body;
    const uint16_t sum = icmp_checksum(m.constData(), size_t(m.size()));
    PutBe16(m, 2, checksum == 1 ? sum : checksum == 0 ? 0 : sum ^ 0x0101);
    return m;
}

// An IPv4 header (options padded with NOPs) and payload.
QByteArray Ip(const char* from, const char* to, const QByteArray& payload, int ttl = 57,
              QByteArray options = {}, int protocol = 1) {
    while (options.size() % 4 != 0) {
        options.append('\1');
    }
    QByteArray h(20, '\0');
    h[0] = char(0x40 | ((20 + options.size()) / 4));
    PutBe16(h, 2, 20 + options.size() + payload.size());
    h[8] = char(ttl);
    h[9] = char(protocol);
    h.replace(12, 4, Addr(from));
    h.replace(16, 4, Addr(to));
    h += options;
    PutBe16(h, 10, icmp_checksum(h.constData(), size_t(h.size())));
    return h + payload;
}

QByteArray Ip6(const char* to, const QByteArray& payload, int nextHeader = 58, int version = 6) {
    QByteArray h(40, '\0');
    h[0] = char(version << 4);
    PutBe16(h, 4, payload.size());
    h[6] = char(nextHeader);
    h.replace(8, 16, Addr(kUs6));
    h.replace(24, 16, Addr(to));
    return h + payload;
}

QByteArray OurRequest(int id = kId, int seq = kSeq, const char* to = kTarget,
                      const QByteArray& options = {}) {
    return Ip(kUs, to, Icmp(8, 0, id, seq, kData), 64, options);
}
QByteArray OurRequest6(int id = kId, int seq = kSeq, const char* to = kTarget6) {
    return Ip6(to, Icmp(128, 0, id, seq, kData, 0));
}
QByteArray Reply(const char* from = kTarget, int id = kId, int seq = kSeq,
                 const QByteArray& data = kData) {
    return Ip(from, kUs, Icmp(0, 0, id, seq, data));
}
QByteArray Reply6(int id = kId, int seq = kSeq, const QByteArray& data = kData, int code = 0) {
    return Icmp(129, code, id, seq, data, 0);
}
// A node's error quoting `quoted`, cut to quoteSize bytes when given.
QByteArray Error(int type, int code, const QByteArray& quoted, int quoteSize = -1,
                 const char* from = kRouter) {
    return Ip(from, kUs, Icmp(type, code, 0, 0, quoted.left(quoteSize < 0 ? 1 << 20 : quoteSize)),
              63);
}
QByteArray Error6(int type, int code, const QByteArray& quoted, int quoteSize = -1) {
    return Icmp(type, code, 0, 0, quoted.left(quoteSize < 0 ? 1 << 20 : quoteSize), 0);
}

QByteArray HelperRequest(const char* address, int size = 32, uint32_t timeoutMs = 1000,
                         int family = 0, int extra = 0) {
    icmp_helper_request r{};
    r.magic = ICMP_HELPER_MAGIC;
    r.id = 5;
    r.data_size = uint16_t(size);
    r.timeout_ms = timeoutMs;
    const QByteArray a = Addr(address);
    std::memcpy(r.address, a.constData(), size_t(a.size()));
    r.family = uint8_t(family != 0 ? family : a.size() == 4 ? 4 : 6);
    return QByteArray(reinterpret_cast<const char*>(&r), sizeof r) +
           QByteArray(std::max(0, size + extra), char(0xAA));
}

icmp_expect Expect() {
    return icmp_expect{Addr4(kTarget), kId, kSeq, U8(kData), size_t(kData.size())};
}

// The packet as the parsers get it from the kernel: a heap block of exactly its size, so that
// the address sanitizer sees a read past it (a QByteArray has a terminating zero after it).
struct Exact {
    std::vector<uint8_t> bytes;
    explicit Exact(const QByteArray& b) : bytes(b.begin(), b.end()) {}
    const uint8_t* data() const { return bytes.empty() ? nullptr : bytes.data(); }
    size_t size() const { return bytes.size(); }
};

const int BAD = ICMP_MALFORMED, NOT = ICMP_NOT_OURS, ECHO = ICMP_OUR_ECHO_REPLY,
          ERR = ICMP_OUR_ERROR;

} // namespace

class TestIcmpPacket : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void checksum_data();
    void checksum();
    void buildRequest_data();
    void buildRequest();
    void parseIpv4_data();
    void parseIpv4();
    void parseQuoted_data();
    void parseQuoted();
    void parseIpv6_data();
    void parseIpv6();
    void helperRequest_data();
    void helperRequest();
    void mutations();
};

void TestIcmpPacket::checksum_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("sum");
    QTest::newRow("empty") << QByteArray() << 0xFFFFu;
    QTest::newRow("odd: one byte is the high half") << QByteArray("\x01", 1) << 0xFEFFu;
    QTest::newRow("RFC 1071 example")
        << QByteArray("\x00\x01\xF2\x03\xF4\xF5\xF6\xF7", 8) << 0x220Du;
    QTest::newRow("carry folds back") << QByteArray("\xFF\xFF\xFF\xFF", 4) << 0x0000u;
    QTest::newRow("odd with carry") << QByteArray("\xFF\xFF\xFF", 3) << 0x00FFu;
}

void TestIcmpPacket::checksum() {
    QFETCH(QByteArray, bytes);
    QFETCH(uint, sum);
    QCOMPARE(uint(icmp_checksum(bytes.constData(), size_t(bytes.size()))), sum);
}

void TestIcmpPacket::buildRequest_data() {
    QTest::addColumn<bool>("six");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<int>("outSize");
    QTest::addColumn<int>("written");
    QTest::newRow("no data") << false << 0 << 8 << 8;
    QTest::newRow("odd data size") << false << 31 << 39 << 39;
    QTest::newRow("out a byte short") << false << 32 << 39 << 0;
    QTest::newRow("out smaller than a header") << false << 0 << 7 << 0;
    QTest::newRow("largest data") << false << 65507 << 65515 << 65515;
    QTest::newRow("data too large for IPv4") << false << 65508 << 70000 << 0;
    QTest::newRow("ICMPv6") << true << 32 << 40 << 40;
    QTest::newRow("ICMPv6, out a byte short") << true << 32 << 39 << 0;
}

void TestIcmpPacket::buildRequest() {
    QFETCH(bool, six);
    QFETCH(int, dataSize);
    QFETCH(int, outSize);
    QFETCH(int, written);
    QByteArray data(dataSize, '\0');
    for (int i = 0; i < dataSize; ++i) {
        data[i] = char(i * 37 + 11);
    }
    QByteArray out(outSize + 16, char(0xC5)); // a canary after outSize
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    const size_t n = six ? icmp6_build_echo_request(o, size_t(outSize), kId, 0xFF01,
                                                    data.constData(), size_t(dataSize))
                         : icmp_build_echo_request(o, size_t(outSize), kId, 0xFF01,
                                                   data.constData(), size_t(dataSize));
    QCOMPARE(int(n), written);
    QCOMPARE(out.mid(outSize), QByteArray(16, char(0xC5)));
    if (n > 0) {
        QCOMPARE(out.left(int(n)), Icmp(six ? 128 : 8, 0, kId, 0xFF01, data, six ? 0 : 1));
    }
}

void TestIcmpPacket::parseIpv4_data() {
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<bool>("datagram"); // as a ping socket gives it: no IP header
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("optionsSize");
    auto ours = [](const char* name, const QByteArray& p, int verdict, uint status,
                   const char* source = kRouter, int options = 0, const char* to = kTarget) {
        QTest::newRow(name) << p << false << to << verdict << status << source << options;
    };
    auto not_ours = [](const char* name, const QByteArray& p, int verdict = NOT) {
        QTest::newRow(name) << p << false << kTarget << verdict << 0u << QString() << 0;
    };
    auto datagram = [](const char* name, const QByteArray& p, int verdict,
                       const char* source = kTarget, uint status = IP_SUCCESS) {
        QTest::newRow(name) << p << true << kTarget << verdict << status << source << 0;
    };
    const QByteArray nops("\1\1\1\1", 4), rr("\x07\x07\x04\0\0\0\0\x01", 8);
    ours("valid: echo reply", Reply(), ECHO, IP_SUCCESS, kTarget);
    const struct {
        const char* name;
        int type, code;
        uint status;
    } errors[] = {
        {"valid: ttl expired", 11, 0, IP_TTL_EXPIRED_TRANSIT},
        {"valid: reassembly time exceeded", 11, 1, IP_TTL_EXPIRED_REASSEM},
        {"valid: net unreachable", 3, 0, IP_DEST_NET_UNREACHABLE},
        {"valid: host unreachable", 3, 1, IP_DEST_HOST_UNREACHABLE},
        {"valid: protocol unreachable", 3, 2, IP_DEST_PROT_UNREACHABLE},
        {"valid: port unreachable", 3, 3, IP_DEST_PORT_UNREACHABLE},
        {"valid: fragmentation needed", 3, 4, IP_PACKET_TOO_BIG},
        {"valid: source route failed", 3, 5, IP_BAD_ROUTE},
        {"valid: net prohibited", 3, 9, IP_DEST_NET_UNREACHABLE},
        {"valid: communication prohibited", 3, 13, IP_DEST_HOST_UNREACHABLE},
        {"valid: parameter problem", 12, 0, IP_PARAM_PROBLEM},
        {"valid: source quench", 4, 0, IP_SOURCE_QUENCH},
    };
    for (const auto& e : errors) {
        ours(e.name, Error(e.type, e.code, OurRequest()), ERR, e.status);
    }
    ours("edge: header and 8 bytes quoted", Error(11, 0, OurRequest(), 28), ERR,
         IP_TTL_EXPIRED_TRANSIT);
    ours("edge: reply with IP options", Ip(kTarget, kUs, Icmp(0, 0, kId, kSeq, kData), 57, nops),
         ECHO, IP_SUCCESS, kTarget, 4);
    ours("edge: reply with record route", Ip(kTarget, kUs, Icmp(0, 0, kId, kSeq, kData), 57, rr),
         ECHO, IP_SUCCESS, kTarget, 8);
    ours("edge: error with options", Ip(kRouter, kUs, Icmp(11, 0, 0, 0, OurRequest()), 63, nops),
         ERR, IP_TTL_EXPIRED_TRANSIT, kRouter, 4);
    ours("edge: quoted header with options, 8 bytes quoted",
         Error(11, 0, OurRequest(kId, kSeq, kTarget, rr), 28 + 8), ERR, IP_TTL_EXPIRED_TRANSIT);
    ours("edge: link padding after the packet", Reply() + QByteArray(6, '\0'), ECHO, IP_SUCCESS,
         kTarget);
    ours("edge: 0.0.0.0 answered by 127.0.0.1", Reply("127.0.0.1"), ECHO, IP_SUCCESS, "127.0.0.1",
         0, "0.0.0.0");
    ours("edge: a reply from another address", Reply("10.0.0.8"), ECHO, IP_SUCCESS, "10.0.0.8");
    not_ours("not ours: foreign identifier", Reply(kTarget, 0x4321));
    not_ours("not ours: earlier sequence", Reply(kTarget, kId, kSeq - 1));
    not_ours("not ours: another address, foreign identifier", Reply("10.0.0.8", 0x4321));
    not_ours("not ours: other data", Reply(kTarget, kId, kSeq, QByteArray(32, 'x')));
    not_ours("not ours: shorter data", Reply(kTarget, kId, kSeq, kData.left(31)));
    not_ours("not ours: error for another identifier", Error(11, 0, OurRequest(0x9999)));
    not_ours("not ours: error for an earlier sequence", Error(11, 0, OurRequest(kId, kSeq - 1)));
    not_ours("not ours: error for another destination",
             Error(11, 0, OurRequest(kId, kSeq, "10.0.0.10")));
    not_ours("not ours: error for a UDP probe",
             Error(11, 0, Ip(kUs, kTarget, Icmp(8, 0, kId, kSeq, kData), 64, {}, 17)));
    not_ours("not ours: error about no echo request",
             Error(11, 0, Ip(kUs, kTarget, Icmp(13, 0, kId, kSeq, kData))));
    not_ours("not ours: our own request", Ip(kUs, kTarget, Icmp(8, 0, kId, kSeq, kData)));
    not_ours("not ours: redirect", Error(5, 1, OurRequest()));
    not_ours("not ours: not ICMP", Ip(kTarget, kUs, Icmp(0, 0, kId, kSeq, kData), 57, {}, 17));
    QByteArray bad[9] = {Reply(),      Reply(),      Reply(),      Reply(), Reply(),
                         OurRequest(), OurRequest(), OurRequest(), {}};
    bad[0].chop(1);
    bad[1][0] = char(0x65);
    bad[2][0] = char(0x44);
    PutBe16(bad[3], 2, 27);
    PutBe16(bad[4], 6, 0x2000); // more fragments
    bad[5][0] = char(0x65);
    bad[6][0] = char(0x4F);
    PutBe16(bad[7], 2, 20);
    not_ours("malformed: empty", QByteArray(), BAD);
    not_ours("malformed: 19 bytes", Reply().left(19), BAD);
    not_ours("malformed: cut short of its total length", bad[0], BAD);
    not_ours("malformed: version 6", bad[1], BAD);
    not_ours("malformed: header length 16", bad[2], BAD);
    not_ours("malformed: total length below header + 8", bad[3], BAD);
    not_ours("malformed: a fragment", bad[4], BAD);
    not_ours("malformed: ICMP message of 7 bytes", Ip(kTarget, kUs, Reply6().left(7)), BAD);
    not_ours("malformed: bad checksum", Ip(kTarget, kUs, Icmp(0, 0, kId, kSeq, kData, 2)), BAD);
    not_ours("malformed: echo reply with code 1", Ip(kTarget, kUs, Icmp(0, 1, kId, kSeq, kData)),
             BAD);
    not_ours("malformed: quoted header cut", Error(11, 0, OurRequest(), 19), BAD);
    not_ours("malformed: quote without the echo header", Error(11, 0, OurRequest(), 27), BAD);
    not_ours("malformed: quote cut inside its options",
             Error(11, 0, OurRequest(kId, kSeq, kTarget, rr), 28 + 4), BAD);
    not_ours("malformed: quoted version 6", Error(11, 0, bad[5]), BAD);
    not_ours("malformed: quoted header length beyond the quote", Error(11, 0, bad[6], 40), BAD);
    not_ours("malformed: quoted total length below its header", Error(11, 0, bad[7]), BAD);
    datagram("datagram: echo reply", Icmp(0, 0, kId, kSeq, kData), ECHO);
    datagram("datagram: echo reply from another address", Icmp(0, 0, kId, kSeq, kData), ECHO,
             "10.0.0.8");
    datagram("datagram: ttl expired", Icmp(11, 0, 0, 0, OurRequest()), ERR, kRouter,
             IP_TTL_EXPIRED_TRANSIT);
    datagram("datagram: other sequence", Icmp(0, 0, kId, kSeq + 1, kData), NOT);
    datagram("datagram: 7 bytes", Icmp(0, 0, kId, kSeq, {}).left(7), BAD);
    datagram("datagram: bad checksum", Icmp(0, 0, kId, kSeq, kData, 2), BAD);
}

void TestIcmpPacket::parseIpv4() {
    QFETCH(QByteArray, packet);
    QFETCH(bool, datagram);
    QFETCH(QString, destination);
    QFETCH(int, verdict);
    QFETCH(uint, status);
    QFETCH(QString, source);
    QFETCH(int, optionsSize);
    icmp_expect e = Expect();
    e.destination = Addr4(qPrintable(destination));
    icmp_answer a{};
    const Exact p(packet);
    QCOMPARE(int(datagram ? icmp_parse_icmp_message(p.data(), p.size(), Addr4(qPrintable(source)),
                                                    &e, &a)
                          : icmp_parse_ip_packet(p.data(), p.size(), &e, &a)),
             verdict);
    if (verdict <= 0) {
        return;
    }
    QCOMPARE(a.source, Addr4(qPrintable(source)));
    QCOMPARE(uint(a.status), status);
    QCOMPARE(int(a.options_size), optionsSize);
    QCOMPARE(int(a.options_offset), optionsSize > 0 ? 20 : int(a.options_offset));
    QCOMPARE(int(a.ttl), datagram ? 0 : verdict == ECHO ? 57 : 63); // datagram: a control message
    QCOMPARE(int(a.data_size), verdict == ECHO ? 32 : 0);
    if (verdict == ECHO) {
        QCOMPARE(packet.mid(int(a.data_offset), 32), kData);
    }
}

void TestIcmpPacket::parseQuoted_data() {
    // A ping socket's error queue: the quoted request from its ICMP header on, the destination.
    QTest::addColumn<bool>("six");
    QTest::addColumn<QByteArray>("quoted");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("verdict");
    QTest::newRow("valid: whole request")
        << false << Icmp(8, 0, kId, kSeq, kData) << kTarget << ERR;
    QTest::newRow("valid: 8 bytes") << false << Icmp(8, 0, kId, kSeq, {}) << kTarget << ERR;
    QTest::newRow("not ours: earlier sequence")
        << false << Icmp(8, 0, kId, kSeq - 1, kData) << kTarget << NOT;
    QTest::newRow("not ours: other identifier")
        << false << Icmp(8, 0, kId + 1, kSeq, kData) << kTarget << NOT;
    QTest::newRow("not ours: other destination")
        << false << Icmp(8, 0, kId, kSeq, kData) << "10.0.0.10" << NOT;
    QTest::newRow("not ours: not an echo request")
        << false << Icmp(0, 0, kId, kSeq, kData) << kTarget << NOT;
    QTest::newRow("malformed: 7 bytes")
        << false << Icmp(8, 0, kId, kSeq, {}).left(7) << kTarget << BAD;
    QTest::newRow("ICMPv6 valid: 8 bytes")
        << true << Icmp(128, 0, kId, kSeq, {}, 0) << kTarget6 << ERR;
    QTest::newRow("ICMPv6 not ours: other destination")
        << true << Icmp(128, 0, kId, kSeq, kData, 0) << "2001:db8:1::10" << NOT;
    QTest::newRow("ICMPv6 not ours: other sequence")
        << true << Icmp(128, 0, kId, kSeq - 1, kData, 0) << kTarget6 << NOT;
    QTest::newRow("ICMPv6 malformed: 7 bytes")
        << true << Icmp(128, 0, kId, kSeq, {}, 0).left(7) << kTarget6 << BAD;
}

void TestIcmpPacket::parseQuoted() {
    QFETCH(bool, six);
    QFETCH(QByteArray, quoted);
    QFETCH(QString, destination);
    QFETCH(int, verdict);
    const Exact p(quoted);
    const QByteArray to = Addr(qPrintable(destination));
    icmp6_expect e6{{}, kId, kSeq, U8(kData), 32};
    std::memcpy(e6.destination, Addr(kTarget6).constData(), 16);
    const icmp_expect e = Expect();
    QCOMPARE(int(six ? icmp6_parse_quoted_request(p.data(), p.size(), U8(to), &e6)
                     : icmp_parse_quoted_request(p.data(), p.size(), Addr4(qPrintable(destination)),
                                                 &e)),
             verdict);
}

void TestIcmpPacket::parseIpv6_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<uint>("status");
    QTest::newRow("valid: echo reply") << Reply6() << ECHO << 0u;
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
        QTest::newRow(e.name) << Error6(e.type, e.code, OurRequest6()) << ERR << e.status;
    }
    QTest::newRow("edge: only the echo header quoted")
        << Error6(3, 0, OurRequest6(), 48) << ERR << uint(IP_TTL_EXPIRED_TRANSIT);
    QByteArray otherData = kData, shortPayload = OurRequest6();
    otherData[31] = 0x55;
    PutBe16(shortPayload, 4, 7);
    const QByteArray notOurs[] = {
        Reply6(kId, kSeq, {}),
        Reply6(kId + 1),
        Reply6(kId, kSeq + 1),
        Reply6(kId, kSeq, otherData),
        Reply6(kId, kSeq, kData.left(31)),
        Icmp(128, 0, kId, kSeq, kData, 0),
        Icmp(135, 0, 0, 0, kData, 0),
        Error6(3, 0, OurRequest6(kId, kSeq, "2001:db8:1::10")),
        Error6(3, 0, OurRequest6(kId, kSeq + 1)),
        Error6(1, 4, Ip6(kTarget6, Icmp(128, 0, kId, kSeq, kData, 0), 17)),
        Error6(3, 0, Ip6(kTarget6, Reply6())),
    };
    for (const QByteArray& m : notOurs) {
        QTest::addRow("not ours %d", int(&m - notOurs)) << m << NOT << 0u;
    }
    const QByteArray malformed[] = {
        {},
        Reply6().left(7),
        Reply6(kId, kSeq, kData, 1),
        Error6(3, 0, OurRequest6(), 39),
        Error6(3, 0, OurRequest6(), 47),
        Error6(3, 0, Ip6(kTarget6, Icmp(128, 0, kId, kSeq, kData, 0), 58, 4)),
        Error6(3, 0, shortPayload),
    };
    for (const QByteArray& m : malformed) {
        QTest::addRow("malformed %d", int(&m - malformed)) << m << BAD << 0u;
    }
}

void TestIcmpPacket::parseIpv6() {
    QFETCH(QByteArray, message);
    QFETCH(int, verdict);
    QFETCH(uint, status);
    icmp6_expect e{{}, kId, kSeq, U8(kData), 32};
    std::memcpy(e.destination, Addr(kTarget6).constData(), 16);
    icmp6_answer a{};
    const Exact p(message);
    QCOMPARE(int(icmp6_parse_message(p.data(), p.size(), &e, &a)), verdict);
    if (verdict > 0) {
        QCOMPARE(uint(a.status), status);
        QCOMPARE(int(a.type), int(uint8_t(message[0])));
        QCOMPARE(int(a.data_size), verdict == ECHO ? 32 : 0);
        QCOMPARE(message.mid(int(a.data_offset), int(a.data_size)), kData.left(int(a.data_size)));
    }
}

void TestIcmpPacket::helperRequest_data() {
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<bool>("accepted");
    QByteArray badMagic = HelperRequest("127.0.0.1");
    badMagic[0] = char(badMagic[0] ^ 1);
    const struct {
        const char* name;
        QByteArray packet;
        bool accepted;
    } rows[] = {
        {"valid: IPv4", HelperRequest("127.0.0.1"), true},
        {"valid: link-local IPv6", HelperRequest("fe80::1"), true},
        {"edge: 8 bytes of data", HelperRequest("10.0.0.1", 8), true},
        {"edge: 512 bytes of data", HelperRequest("10.0.0.1", 512), true},
        {"edge: time-out 1 ms", HelperRequest("10.0.0.1", 32, 1), true},
        {"edge: time-out 60000 ms", HelperRequest("10.0.0.1", 32, 60000), true},
        {"edge: 223.255.255.255", HelperRequest("223.255.255.255"), true},
        {"malformed: unknown magic", badMagic, false},
        {"malformed: empty", QByteArray(), false},
        {"malformed: header cut short", HelperRequest("::1").left(sizeof(icmp_helper_request) - 1),
         false},
        {"malformed: a byte more than declared", HelperRequest("::1", 32, 1000, 0, 1), false},
        {"malformed: a byte less than declared", HelperRequest("::1", 32, 1000, 0, -1), false},
        {"malformed: 7 bytes of data", HelperRequest("127.0.0.1", 7), false},
        {"malformed: 513 bytes of data", HelperRequest("127.0.0.1", 513), false},
        {"malformed: time-out 0", HelperRequest("127.0.0.1", 32, 0), false},
        {"malformed: time-out 60001", HelperRequest("127.0.0.1", 32, 60001), false},
        {"malformed: family 255", HelperRequest("127.0.0.1", 32, 1000, 255), false},
        {"malformed: IPv4 not zero-padded", HelperRequest("::1", 32, 1000, 4), false},
        {"malformed: 0.1.2.3", HelperRequest("0.1.2.3"), false},
        {"malformed: multicast", HelperRequest("224.0.0.1"), false},
        {"malformed: reserved", HelperRequest("240.0.0.1"), false},
        {"malformed: ::", HelperRequest("::"), false},
        {"malformed: ff02::1", HelperRequest("ff02::1"), false},
        {"malformed: ::ffff:10.0.0.1", HelperRequest("::ffff:10.0.0.1"), false},
    };
    for (const auto& row : rows) {
        QTest::newRow(row.name) << row.packet << row.accepted;
    }
}

void TestIcmpPacket::helperRequest() {
    QFETCH(QByteArray, packet);
    QFETCH(bool, accepted);
    icmp_helper_request r{};
    const uint8_t* data = nullptr;
    const Exact p(packet);
    QCOMPARE(icmp_helper_parse_request(p.data(), p.size(), &r, &data) == 1, accepted);
    if (accepted) {
        QCOMPARE(data, p.data() + sizeof r);
        QCOMPARE(int(r.data_size), packet.size() - int(sizeof r));
        QCOMPARE(r.id, 5u);
    }
}

// Deterministic mutations of sound packets of every parser through the fuzz target's entry point,
// which aborts on a broken invariant.
void TestIcmpPacket::mutations() {
    const QByteArray seeds[] = {
        char(1) + Reply(),
        char(1) + Error(11, 0, OurRequest()),
        char(3) + Icmp(0, 0, kId, kSeq, kData),
        char(4) + Reply6(),
        char(4) + Error6(3, 0, OurRequest6()),
        char(6) + HelperRequest("10.0.0.9", 8),
    };
    uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int i = 0; i < 300000; ++i) {
        QByteArray input = seeds[next() % std::size(seeds)];
        for (int k = 1 + int(next() % 4); k > 0; --k) {
            const uint64_t r = next();
            const int at = input.size() > 1 ? 1 + int(r % uint64_t(input.size() - 1)) : 0;
            switch ((r >> 32) % 5) {
            case 0:
                input[at] = char(input[at] ^ (1 << ((r >> 40) % 8)));
                break;
            case 1:
                input[at] = char(r >> 48);
                break;
            case 2:
                input.truncate(std::max(at, 1));
                break;
            case 3:
                input.insert(at, char(r >> 24));
                break;
            default:
                input[0] = char(r >> 16);
                break; // another parser or checksum choice
            }
        }
        LLVMFuzzerTestOneInput(U8(input), size_t(input.size()));
    }
}

QTEST_GUILESS_MAIN(TestIcmpPacket)
#include "test_icmp_packet.moc"
