// Unit tables for the byte-level echo code: the checksum, building requests, and one table of
// what each parser (raw IPv4 packets, datagram ICMP messages, the error queues' quoted requests,
// ICMPv6 messages, the helper's requests) makes of valid, edge and malformed input. Every input
// is parsed from a heap block of exactly its size (a QByteArray has a terminating zero after it),
// so that the address sanitizer sees a read even one byte past it; so is every truncation of it
// and a mutation of each of its bytes, after which the answer must still lie inside the input.

#include "net/icmp/icmp6_packet.h"
#include "net/icmp/icmp_helper_proto.h"
#include "net/icmp/icmp_packet.h"

#include <QtTest>

#include <arpa/inet.h>

namespace {

enum Parser { Raw, Datagram, Quoted, Six, Quoted6, Helper };

const char *kUs = "10.0.0.100", *kTarget = "10.0.0.9", *kTarget6 = "2001:db8::9";
const uint kId = 0x1234, kSeq = 7;
const QByteArray kData(32, char(0xAA));

QByteArray Addr(const char* text) {
    QByteArray a(16, '\0');
    return inet_pton(AF_INET, text, a.data()) == 1 ? a.left(4)
                                                   : (inet_pton(AF_INET6, text, a.data()), a);
}

// b with its n bytes from `at` set to v, big-endian.
QByteArray Set(QByteArray b, int at, qint64 v, int n = 1) {
    for (int i = n - 1; i >= 0; --i, v >>= 8) {
        b[at + i] = char(v);
    }
    return b;
}

// An ICMP or ICMPv6 message with its ICMP checksum (ICMPv6's is the kernel's, and not looked at).
QByteArray Icmp(uint type, uint code, uint id = kId, uint seq = kSeq, const QByteArray& d = kData) {
    const QByteArray m =
        Set(Set(QByteArray(8, '\0'), 0, type << 8 | code, 2), 4, id << 16 | seq, 4);
    return Set(m + d, 2, icmp_checksum((m + d).constData(), size_t(m.size() + d.size())), 2);
}

QByteArray Ip(const char* from, const char* to, const QByteArray& payload, uint ttl = 57,
              const QByteArray& options = {}) {
    const QByteArray h =
        Set(Set(QByteArray(12, '\0'), 0, 0x45 + options.size() / 4), 8, ttl << 8 | 1, 2);
    return Set(h, 2, 20 + options.size() + payload.size(), 2) + Addr(from) + Addr(to) + options +
           payload;
}

QByteArray Ip6(const char* to, const QByteArray& payload) {
    return Set(Set(QByteArray(8, '\0'), 0, 0x60), 4, payload.size() << 8 | 58, 3) +
           Addr("2001:db8::100") + Addr(to) + payload;
}

QByteArray Request(uint id = kId, uint seq = kSeq, const char* to = kTarget) {
    return Ip(kUs, to, Icmp(8, 0, id, seq), 64);
}
QByteArray Reply(const QByteArray& message = Icmp(0, 0)) {
    return Ip(kTarget, kUs, message);
}
QByteArray Error(uint type, uint code, const QByteArray& quoted = Request()) {
    return Ip("10.0.0.1", kUs, Icmp(type, code, 0, 0, quoted), 63);
}

QByteArray HelperRequest(const QString& address, uint size = 32, uint timeoutMs = 1000) {
    const QByteArray a = Addr(qPrintable(address));
    icmp_helper_request r{
        ICMP_HELPER_MAGIC, 5, uint8_t(a.size() == 4 ? 4 : 6), 0, uint16_t(size), timeoutMs, 0, {}};
    std::memcpy(r.address, a.constData(), size_t(a.size()));
    return QByteArray(reinterpret_cast<const char*>(&r), sizeof r) + QByteArray(size, 'x');
}

// What a parser makes of bytes: the verdict, and for an answer of ours its status, then (IPv4)
// sender, TTL and options size, and "echo" when its data is ours; for the helper the data's
// offset and size. "outside" when an offset or size points past the bytes.
QString Parse(int parser, const QByteArray& bytes, const QString& peer) {
    const std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    const uint8_t *p = copy.empty() ? nullptr : copy.data(), *data = nullptr;
    const size_t n = copy.size();
    const QByteArray peer6 = Addr(qPrintable(peer)), to6 = Addr(kTarget6);
    const auto* echo = reinterpret_cast<const uint8_t*>(kData.constData());
    const icmp_expect e{inet_addr(kTarget), kId, kSeq, echo, 32};
    icmp6_expect e6{{}, kId, kSeq, echo, 32};
    std::memcpy(e6.destination, to6.constData(), 16);
    icmp_answer a{};
    icmp6_answer a6{};
    icmp_helper_request r{};
    const IPAddr peer4 = inet_addr(qPrintable(peer));
    const int v = parser == Raw        ? icmp_parse_ip_packet(p, n, &e, &a)
                  : parser == Datagram ? icmp_parse_icmp_message(p, n, peer4, &e, &a)
                  : parser == Quoted   ? icmp_parse_quoted_request(p, n, peer4, &e)
                  : parser == Quoted6
                      ? icmp6_parse_quoted_request(p, n, (const uint8_t*)peer6.data(), &e6)
                  : parser == Six ? icmp6_parse_message(p, n, &e6, &a6)
                                  : icmp_helper_parse_request(p, n, &r, &data);
    if (parser == Helper) {
        return v == 1 ? QString("data %1+%2").arg(data - p).arg(r.data_size) : "refused";
    }
    if (parser == Six) {
        a = icmp_answer{0, a6.status, 0, 0, 0, 0, a6.data_offset, a6.data_size, 0, 0};
    }
    if (a.data_offset + a.data_size > n || a.options_offset + a.options_size > n) {
        return "outside";
    }
    if (v <= 0 || parser == Quoted || parser == Quoted6) {
        return QString::number(v);
    }
    QString s = QString("%1 %2").arg(v).arg(a.status);
    if (parser != Six) {
        s += QString(" %1 %2 %3").arg(inet_ntoa(in_addr{a.source})).arg(a.ttl).arg(a.options_size);
    }
    return s + (bytes.mid(a.data_offset, a.data_size) == kData ? " echo" : "");
}

} // namespace

class TestIcmpPacket : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The checksum of known bytes (an odd last byte is the high half of a word, carries fold
    // back until none is left, RFC 1071's example), then what each builder writes for data of
    // dataSize bytes into outSize, and whether it wrote past.
    void build() {
        auto sum = [](const QByteArray& b) { return icmp_checksum(b.data(), size_t(b.size())); };
        QCOMPARE((QList<uint>{sum({}), sum("\x01"), sum({"\xFF\xFF\xFF\xFF\0\x01", 6}),
                              sum({"\x00\x01\xF2\x03\xF4\xF5\xF6\xF7", 8})}),
                 (QList<uint>{0xFFFF, 0xFEFF, 0xFFFE, 0x220D}));
        auto build = [](bool six, int dataSize, int outSize) {
            QByteArray data(dataSize, 'd'), out(outSize + 1, 'c');
            const size_t n = (six ? icmp6_build_echo_request : icmp_build_echo_request)(
                reinterpret_cast<uint8_t*>(out.data()), size_t(outSize), kId, kSeq,
                data.constData(), size_t(dataSize));
            return out.endsWith('c') ? out.left(qsizetype(n)) : "overrun";
        };
        QCOMPARE(build(false, 31, 39), Icmp(8, 0, kId, kSeq, QByteArray(31, 'd')));
        QCOMPARE(build(true, 31, 39), Set(Icmp(128, 0, kId, kSeq, QByteArray(31, 'd')), 2, 0, 2));
        QCOMPARE(build(false, 31, 38) + build(true, 31, 38), QByteArray()); // a byte short
        QCOMPARE(build(false, 65507, 65515), Icmp(8, 0, kId, kSeq, QByteArray(65507, 'd')));
        QCOMPARE(build(false, 65508, 70000), QByteArray()); // more than the largest data
    }

    // What each parser makes of an input, then of every truncation of it and of a mutation of each
    // of its bytes. `peer` is the datagram's sender, or the quote's destination.
    void parse() {
        auto row = [](const QString& name, int parser, const QByteArray& bytes,
                      const QString& expected, const char* peer = kTarget) {
            QCOMPARE(name + ": " + Parse(parser, bytes, peer), name + ": " + expected);
            for (int i = 0; i < bytes.size(); ++i) {
                const QString got = Parse(parser, bytes.left(i), peer) +
                                    Parse(parser, Set(bytes, i, uint8_t(bytes[i]) ^ 0x0F), peer);
                QVERIFY2(!got.contains("outside"), qPrintable(name + got));
            }
        };
        const QByteArray request6 = Ip6(kTarget6, Icmp(128, 0));
        const uint errors[][4] = {
            {4, 11, 0, IP_TTL_EXPIRED_TRANSIT},  {4, 11, 1, IP_TTL_EXPIRED_REASSEM},
            {4, 3, 0, IP_DEST_NET_UNREACHABLE},  {4, 3, 1, IP_DEST_HOST_UNREACHABLE},
            {4, 3, 2, IP_DEST_PROT_UNREACHABLE}, {4, 3, 3, IP_DEST_PORT_UNREACHABLE},
            {4, 3, 4, IP_PACKET_TOO_BIG},        {4, 3, 5, IP_BAD_ROUTE},
            {4, 3, 9, IP_DEST_NET_UNREACHABLE},  {4, 12, 0, IP_PARAM_PROBLEM},
            {4, 4, 0, IP_SOURCE_QUENCH},         {6, 3, 0, IP_TTL_EXPIRED_TRANSIT},
            {6, 3, 1, IP_TTL_EXPIRED_REASSEM},   {6, 1, 0, IP_DEST_NET_UNREACHABLE},
            {6, 1, 1, IP_DEST_HOST_UNREACHABLE}, {6, 1, 4, IP_DEST_PORT_UNREACHABLE},
            {6, 1, 6, IP_DEST_NET_UNREACHABLE},  {6, 2, 0, IP_PACKET_TOO_BIG},
            {6, 4, 0, IP_PARAM_PROBLEM}};
        for (const auto& [family, type, code, status] : errors) { // from 10.0.0.1, TTL 63
            row(QString::asprintf("IPv%u error %u/%u", family, type, code), family == 4 ? Raw : Six,
                family == 4 ? Error(type, code) : Icmp(type, code, 0, 0, request6),
                QString(family == 4 ? "2 %1 10.0.0.1 63 0" : "2 %1").arg(status));
        }
        const QByteArray rr("\x07\x07\x04\0\0\0\0\x01", 8); // record route, padded
        const QByteArray requestRr = Ip(kUs, kTarget, Icmp(8, 0), 64, rr);
        const QString ttl = QString("2 %1 10.0.0.1 63 0").arg(IP_TTL_EXPIRED_TRANSIT);
        // Replies count from whichever sender: a multihomed target answers from another address.
        row("with options", Raw, Ip("10.0.0.8", kUs, Icmp(0, 0), 57, rr), "1 0 10.0.0.8 57 8 echo");
        row("link padding", Raw, Reply() + QByteArray(6, '\0'), "1 0 10.0.0.9 57 0 echo");
        row("header and 8 bytes quoted", Raw, Error(11, 0, Request().left(28)), ttl);
        row("quote with options", Raw, Error(11, 0, requestRr.left(36)), ttl);
        row("other identifier", Raw, Reply(Icmp(0, 0, kId + 1)), "0");
        row("earlier sequence", Raw, Reply(Icmp(0, 0, kId, kSeq - 1)), "0");
        row("other data", Raw, Reply(Icmp(0, 0, kId, kSeq, QByteArray(32, 'x'))), "0");
        row("shorter data", Raw, Reply(Icmp(0, 0, kId, kSeq, kData.left(31))), "0");
        row("error for another identifier", Raw, Error(11, 0, Request(0x9999)), "0");
        row("error for an earlier sequence", Raw, Error(11, 0, Request(kId, 6)), "0");
        row("error for another destination", Raw, Error(11, 0, Request(kId, kSeq, kUs)), "0");
        row("error for UDP", Raw, Error(11, 0, Set(Request(), 9, 17)), "0");
        row("error about no echo", Raw, Error(11, 0, Ip(kUs, kTarget, Icmp(13, 0))), "0");
        row("redirect", Raw, Error(5, 1), "0");
        row("bad checksum", Raw, Set(Reply(), 40, 0xAB), "-1");
        row("quote cut inside its options", Raw, Error(11, 0, requestRr.left(32)), "-1");
        row("datagram from elsewhere", Datagram, Icmp(0, 0), "1 0 10.0.0.8 0 0 echo", "10.0.0.8");
        // The sequence's low byte 0, so that its checksum still holds without it.
        row("datagram of 7 bytes", Datagram, Icmp(0, 0, kId, 0x700, {}).left(7), "-1");
        row("quoted 8 bytes", Quoted, Icmp(8, 0, kId, kSeq, {}), "2");
        row("quoted earlier sequence", Quoted, Icmp(8, 0, kId, kSeq - 1), "0");
        row("quoted for elsewhere", Quoted, Icmp(8, 0), "0", kUs);
        row("quoted6 8 bytes", Quoted6, Icmp(128, 0, kId, kSeq, {}), "2", kTarget6);
        row("quoted6 other identifier", Quoted6, Icmp(128, 0, kId + 1), "0", kTarget6);
        row("quoted6 for elsewhere", Quoted6, Icmp(128, 0), "0", "2001:db8::10");
        row("v6 reply", Six, Icmp(129, 0), "1 0 echo");
        row("v6 8 bytes quoted", Six, Icmp(3, 0, 0, 0, request6.left(48)), ttl.section(' ', 0, 1));
        row("v6 other identifier", Six, Icmp(129, 0, kId + 1), "0");
        row("v6 other sequence", Six, Icmp(129, 0, kId, kSeq + 1), "0");
        row("v6 other data", Six, Icmp(129, 0, kId, kSeq, Set(kData, 31, 0x55)), "0");
        row("v6 shorter data", Six, Icmp(129, 0, kId, kSeq, kData.left(31)), "0");
        row("v6 error for elsewhere", Six, Icmp(3, 0, 0, 0, Set(request6, 39, 0x10)), "0");
        row("v6 error for another sequence", Six, Icmp(3, 0, 0, 0, Set(request6, 47, 8)), "0");
        row("v6 error for a UDP probe", Six, Icmp(1, 4, 0, 0, Set(request6, 6, 17)), "0");
        row("v6 error about a reply", Six, Icmp(3, 0, 0, 0, Ip6(kTarget6, Icmp(129, 0))), "0");
        row("v6 quote short of the echo header", Six, Icmp(3, 0, 0, 0, request6.left(47)), "-1");
        // The helper's requests: the bounds of data size and time-out, IPv4 and IPv6 addresses
        // (link-local too), then each bound passed and addresses that no echo may be sent to.
        for (const QString r :
             {"223.255.255.255 8 1 36+8", "10.0.0.100 512 60000 36+512", "fe80::1 32 1000 36+32",
              "10.0.0.100 7 1000", "10.0.0.100 513 1000", "10.0.0.100 32 0", "10.0.0.100 32 60001",
              "0.1.2.3 32 1000", "224.0.0.1 32 1000", ":: 32 1000", "ff02::1 32 1000",
              "::ffff:10.0.0.1 32 1000"}) { // address, size, time-out, data
            const QStringList f = r.split(' ');
            row("helper " + r, Helper, HelperRequest(f[0], f[1].toUInt(), f[2].toUInt()),
                f.size() > 3 ? "data " + f[3] : "refused");
        }
        row("helper unknown magic", Helper, Set(HelperRequest(kUs), 0, 0x32), "refused");
        row("helper a byte more", Helper, HelperRequest("::1") + 'x', "refused");
        row("helper a byte less", Helper, HelperRequest("::1").chopped(1), "refused");
        row("helper family 255", Helper, Set(HelperRequest(kUs), 8, 255), "refused");
        row("helper IPv4 not zero-padded", Helper, Set(HelperRequest("a00:1::1"), 8, 4), "refused");
    }
};

QTEST_GUILESS_MAIN(TestIcmpPacket)
#include "test_icmp_packet.moc"
