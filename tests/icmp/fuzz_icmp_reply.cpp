// Fuzz target for the reply parsers (IPv4 and ICMPv6) and the helper's request parser: whatever
// bytes arrive, the verdict is one of the four, every offset and size it reports lies inside the
// packet, and a request the helper accepts keeps every bound. Each packet is parsed from a heap
// copy of exactly its size, so that the address sanitizer sees a read of even one byte past it.
//
// Built with clang as the libFuzzer target icmp_reply_fuzzer; test_icmp_packet runs the same
// entry point over deterministic mutations of its table's packets, with any compiler.
//
// Input: the first byte steers. Its low bit asks for the ICMP checksum to be fixed up first, so
// that mutations get past it into the matching; its next two bits choose the parser: 0 raw IPv4
// packets, 1 datagram ICMP messages, 2 ICMPv6 messages, 3 the helper's requests.

#include "net/icmp/icmp6_packet.h"
#include "net/icmp/icmp_helper_proto.h"
#include "net/icmp/icmp_packet.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

template <typename Answer> void CheckAnswer(int verdict, const Answer& a, size_t size) {
    Require(verdict >= ICMP_MALFORMED && verdict <= ICMP_OUR_ERROR, "verdict in range");
    if (verdict > 0) {
        Require(a.data_offset <= size && a.data_size <= size - a.data_offset, "data inside");
        Require(verdict == ICMP_OUR_ECHO_REPLY ? a.status == IP_SUCCESS && a.data_size == 32
                                               : a.status != IP_SUCCESS && a.data_size == 0,
                "a reply echoes our 32 bytes, an error carries a failure and no data");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const uint8_t data[32] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                     0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                     0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                     0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    static const uint8_t target[16] = {10, 0, 0, 9}; // 10.0.0.9, or 0a00:9:: for ICMPv6
    const int parser = (input[0] >> 1) & 3;
    size--;
    auto* p = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1)); // exactly its size
    Require(p != nullptr, "memory");
    if (size > 0) {
        std::memcpy(p, input + 1, size);
    }
    const size_t at = parser == 0 && size > 0 ? size_t(p[0] & 0x0F) * 4 : 0;
    if ((input[0] & 1) && parser < 2 && at + 4 <= size) {
        p[at + 2] = p[at + 3] = 0;
        const uint16_t sum = icmp_checksum(p + at, size - at);
        p[at + 2] = uint8_t(sum >> 8);
        p[at + 3] = uint8_t(sum);
    }
    IPAddr target4;
    std::memcpy(&target4, target, 4);
    if (parser < 2) {
        icmp_expect e{target4, 0x1234, 7, data, sizeof data};
        icmp_answer a{};
        const int verdict = parser == 0 ? icmp_parse_ip_packet(p, size, &e, &a)
                                        : icmp_parse_icmp_message(p, size, target4, &e, &a);
        CheckAnswer(verdict, a, size);
        Require(a.options_size <= IP_MAX_OPTIONS_SIZE && a.options_offset <= size &&
                    a.options_size <= size - a.options_offset,
                "options inside");
        const int quoted = icmp_parse_quoted_request(p, size, target4, &e);
        Require(quoted >= ICMP_MALFORMED && quoted <= ICMP_OUR_ERROR && quoted != 1, "quoted");
    } else if (parser == 2) {
        icmp6_expect e{};
        std::memcpy(e.destination, target, 16);
        e.identifier = 0x1234;
        e.sequence = 7;
        e.data = data;
        e.data_size = sizeof data;
        icmp6_answer a{};
        CheckAnswer(icmp6_parse_message(p, size, &e, &a), a, size);
        const int quoted = icmp6_parse_quoted_request(p, size, target, &e);
        Require(quoted >= ICMP_MALFORMED && quoted <= ICMP_OUR_ERROR && quoted != 1, "quoted");
    } else {
        icmp_helper_request r{};
        const uint8_t* rest = nullptr;
        if (icmp_helper_parse_request(p, size, &r, &rest)) {
            Require(size == sizeof r + r.data_size && rest == p + sizeof r, "request length");
            Require(r.magic == ICMP_HELPER_MAGIC && (r.family == 4 || r.family == 6) &&
                        r.data_size >= ICMP_HELPER_MIN_DATA &&
                        r.data_size <= ICMP_HELPER_MAX_DATA && r.timeout_ms >= 1 &&
                        r.timeout_ms <= ICMP_HELPER_MAX_TIMEOUT_MS,
                    "request within bounds");
            Require(r.family == 6 ? r.address[0] != 0xFF
                                  : r.address[0] != 0 && r.address[0] < 224 && r.scope_id == 0,
                    "a unicast destination");
        }
    }
    std::free(p);
    return 0;
}
