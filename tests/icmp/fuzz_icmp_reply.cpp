// Fuzz target for the reply parsers (IPv4 and ICMPv6) and the helper's request parser: whatever
// bytes arrive, the verdict is one of the four, and every offset and size it reports lies inside
// the packet; a request the helper accepts keeps every bound.
//
// Built with clang as a libFuzzer target (icmp_reply_fuzzer, SABREVIN_LIBFUZZER defined). Built
// by any compiler as icmp_fuzz_smoke, whose main() runs a fixed number of deterministic
// mutations of sound packets through the same entry point.
//
// Input: the first byte steers. Its low bit asks for the ICMP checksum to be fixed up before the
// packet is parsed, so that mutations get past the checksum test into the matching code; its next
// two bits choose the parser: 0 raw IPv4 packets, 1 datagram ICMP messages, 2 ICMPv6 messages,
// 3 the helper's requests.

#include "net/icmp/icmp6_packet.h"
#include "net/icmp/icmp_helper_proto.h"
#include "net/icmp/icmp_packet.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const uint8_t kData[32] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                           0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                           0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
IPAddr TargetAddress() {
    const uint8_t bytes[4] = {10, 0, 0, 9}; // network byte order is the order in memory
    IPAddr a;
    std::memcpy(&a, bytes, sizeof a);
    return a;
}
const IPAddr kTarget = TargetAddress();
const uint8_t kTarget6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void FixChecksum(uint8_t* p, size_t size, bool withIpHeader) {
    size_t at = withIpHeader && size > 0 ? size_t(p[0] & 0x0F) * 4 : 0;
    if (at + 4 > size) {
        return;
    }
    p[at + 2] = p[at + 3] = 0;
    uint16_t sum = icmp_checksum(p + at, size - at);
    p[at + 2] = static_cast<uint8_t>(sum >> 8);
    p[at + 3] = static_cast<uint8_t>(sum);
}

void CheckAnswer(int verdict, const icmp_answer& a, size_t size) {
    Require(verdict >= ICMP_MALFORMED && verdict <= ICMP_OUR_ERROR, "verdict in range");
    if (verdict <= 0) {
        return;
    }
    Require(a.data_offset <= size && a.data_size <= size - a.data_offset, "data inside");
    Require(a.options_size <= IP_MAX_OPTIONS_SIZE, "options at most 40 bytes");
    Require(a.options_offset <= size && a.options_size <= size - a.options_offset,
            "options inside");
    Require(verdict != ICMP_OUR_ECHO_REPLY || (a.status == IP_SUCCESS && a.data_size == 32),
            "an echo reply echoes our 32 bytes");
    Require(verdict != ICMP_OUR_ERROR || (a.status != IP_SUCCESS && a.data_size == 0),
            "an error carries a failure status and no data");
}

long g_verdicts[4];  // how often each verdict came, from ICMP_MALFORMED on (IPv4)
long g_verdicts6[4]; // the same for ICMPv6
long g_accepted;     // helper requests accepted

void CheckAnswer6(int verdict, const icmp6_answer& a, size_t size) {
    Require(verdict >= ICMP_MALFORMED && verdict <= ICMP_OUR_ERROR, "ICMPv6 verdict in range");
    if (verdict <= 0) {
        return;
    }
    Require(a.data_offset <= size && a.data_size <= size - a.data_offset, "ICMPv6 data inside");
    Require(verdict != ICMP_OUR_ECHO_REPLY || (a.status == IP_SUCCESS && a.data_size == 32),
            "an ICMPv6 echo reply echoes our 32 bytes");
    Require(verdict != ICMP_OUR_ERROR || (a.status != IP_SUCCESS && a.data_size == 0),
            "an ICMPv6 error carries a failure status and no data");
}

void CheckRequest(const uint8_t* packet, size_t size, const icmp_helper_request& r,
                  const uint8_t* data) {
    Require(size == sizeof r + r.data_size && data == packet + sizeof r, "request length exact");
    Require(r.magic == ICMP_HELPER_MAGIC && (r.family == 4 || r.family == 6), "request header");
    Require(r.data_size >= ICMP_HELPER_MIN_DATA && r.data_size <= ICMP_HELPER_MAX_DATA &&
                r.timeout_ms >= 1 && r.timeout_ms <= ICMP_HELPER_MAX_TIMEOUT_MS,
            "request within bounds");
    Require(r.family == 6 || (r.address[0] != 0 && r.address[0] < 224), "IPv4 unicast");
    Require(r.family == 6 || r.scope_id == 0, "no IPv4 zone");
    Require(r.family == 4 || r.address[0] != 0xFF, "no IPv6 multicast");
}

// A heap copy of exactly `size` bytes (one for an empty packet, as malloc(0) may give nothing),
// so that a sanitizer sees a read of even one byte past the end. Free it with std::free.
uint8_t* ExactCopy(const uint8_t* data, size_t size) {
    auto* copy = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
    Require(copy != nullptr, "memory for the packet");
    if (size > 0) {
        std::memcpy(copy, data, size);
    }
    return copy;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t control = input[0];
    const int parser = (control >> 1) & 3;
    const bool raw = parser == 0;
    std::vector<uint8_t> packet(input + 1, input + size);
    if ((control & 1) && parser < 2) {
        FixChecksum(packet.data(), packet.size(), raw);
    }
    if (parser >= 2) {
        uint8_t* exact = ExactCopy(packet.data(), packet.size());
        if (parser == 2) {
            icmp6_expect e{};
            std::memcpy(e.destination, kTarget6, 16);
            e.identifier = 0x1234;
            e.sequence = 7;
            e.data = kData;
            e.data_size = sizeof kData;
            icmp6_answer a{};
            int verdict = icmp6_parse_message(exact, packet.size(), &e, &a);
            CheckAnswer6(verdict, a, packet.size());
            ++g_verdicts6[verdict - ICMP_MALFORMED];
            int quoted = icmp6_parse_quoted_request(exact, packet.size(), kTarget6, &e);
            Require(quoted >= ICMP_MALFORMED && quoted <= ICMP_OUR_ERROR && quoted != 1,
                    "ICMPv6 quoted verdict in range");
        } else {
            icmp_helper_request r{};
            const uint8_t* data = nullptr;
            if (icmp_helper_parse_request(exact, packet.size(), &r, &data)) {
                CheckRequest(exact, packet.size(), r, data);
                ++g_accepted;
            }
        }
        std::free(exact);
        return 0;
    }
    icmp_expect e{};
    e.destination = kTarget;
    e.identifier = 0x1234;
    e.sequence = 7;
    e.data = kData;
    e.data_size = sizeof kData;
    icmp_answer a{};
    uint8_t* exact = ExactCopy(packet.data(), packet.size());
    int verdict = raw ? icmp_parse_ip_packet(exact, packet.size(), &e, &a)
                      : icmp_parse_icmp_message(exact, packet.size(), kTarget, &e, &a);
    CheckAnswer(verdict, a, packet.size());
    ++g_verdicts[verdict - ICMP_MALFORMED];
    int quoted = icmp_parse_quoted_request(exact, packet.size(), kTarget, &e);
    Require(quoted == ICMP_MALFORMED || quoted == ICMP_NOT_OURS || quoted == ICMP_OUR_ERROR,
            "quoted verdict in range");
    std::free(exact);
    return 0;
}

#ifndef SABREVIN_LIBFUZZER
// Seeds: our echo reply and a router's Time Exceeded about our request, both sound.
static std::vector<uint8_t> Seed(bool error) {
    std::vector<uint8_t> request(8 + sizeof kData);
    icmp_build_echo_request(request.data(), request.size(), 0x1234, 7, kData, sizeof kData);
    std::vector<uint8_t> inner(20, 0);
    inner[0] = 0x45;
    inner[2] = 0;
    inner[3] = static_cast<uint8_t>(20 + request.size());
    inner[8] = 1;
    inner[9] = 1;
    std::memcpy(&inner[16], &kTarget, 4);
    inner.insert(inner.end(), request.begin(), request.end());
    std::vector<uint8_t> icmp;
    if (error) {
        icmp = {11, 0, 0, 0, 0, 0, 0, 0};
        icmp.insert(icmp.end(), inner.begin(), inner.end());
    } else {
        icmp = request;
        icmp[0] = 0;
    }
    std::vector<uint8_t> outer(20, 0);
    outer[0] = 0x45;
    const size_t total = 20 + icmp.size();
    outer[2] = static_cast<uint8_t>(total >> 8);
    outer[3] = static_cast<uint8_t>(total);
    outer[8] = 60;
    outer[9] = 1;
    if (!error) {
        std::memcpy(&outer[12], &kTarget, 4);
    }
    outer.insert(outer.end(), icmp.begin(), icmp.end());
    FixChecksum(outer.data(), outer.size(), true);
    std::vector<uint8_t> input{1};
    input.insert(input.end(), outer.begin(), outer.end());
    return input;
}

// Seeds for the other parsers: our ICMPv6 echo reply, a node's Time Exceeded about our ICMPv6
// request, and a helper request.
static std::vector<uint8_t> Seed6(bool error) {
    std::vector<uint8_t> request(8 + sizeof kData);
    icmp6_build_echo_request(request.data(), request.size(), 0x1234, 7, kData, sizeof kData);
    std::vector<uint8_t> input{4 | 1};
    if (!error) {
        request[0] = ICMP6_TYPE_ECHO_REPLY;
        input.insert(input.end(), request.begin(), request.end());
        return input;
    }
    std::vector<uint8_t> inner(40, 0);
    inner[0] = 0x60;
    inner[5] = static_cast<uint8_t>(request.size());
    inner[6] = IP6_NEXT_HEADER_ICMP6;
    std::memcpy(&inner[24], kTarget6, 16);
    std::vector<uint8_t> icmp{ICMP6_TYPE_TIME_EXCEEDED, 0, 0, 0, 0, 0, 0, 0};
    input.insert(input.end(), icmp.begin(), icmp.end());
    input.insert(input.end(), inner.begin(), inner.end());
    input.insert(input.end(), request.begin(), request.end());
    return input;
}

static std::vector<uint8_t> SeedRequest() {
    icmp_helper_request r{};
    r.magic = ICMP_HELPER_MAGIC;
    r.id = 1;
    r.family = 4;
    r.data_size = 8;
    r.timeout_ms = 1000;
    r.address[0] = 10;
    r.address[3] = 9;
    std::vector<uint8_t> input{6};
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    input.insert(input.end(), bytes, bytes + sizeof r);
    input.insert(input.end(), 8, 0xAA);
    return input;
}

// Reads the byte just past an exact copy on purpose: under the address sanitizer this must end
// the program with a heap-buffer-overflow report, which shows that the copies above are fenced.
static int ReadPastTheEnd() {
    const std::vector<uint8_t> seed = Seed(false);
    uint8_t* exact = ExactCopy(seed.data(), seed.size());
    const volatile uint8_t* end = exact + seed.size();
    const uint8_t past = *end;
    std::free(exact);
    std::printf("read one byte past the copy (%u) and nobody noticed\n", unsigned{past});
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--read-past-end") == 0) {
        return ReadPastTheEnd();
    }
    const long runs = argc > 1 ? std::atol(argv[1]) : 200000;
    uint64_t state = 0x9E3779B97F4A7C15u; // fixed seed: every run is the same
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    const std::vector<uint8_t> seeds[] = {Seed(false), Seed(true), Seed6(false), Seed6(true),
                                          SeedRequest()};
    const size_t seedCount = sizeof seeds / sizeof seeds[0];
    // The seeds themselves must be ours, or the mutations below test nothing deeper.
    for (const auto& s : {seeds[0], seeds[1]}) {
        icmp_expect e{kTarget, 0x1234, 7, kData, sizeof kData};
        icmp_answer a{};
        Require(icmp_parse_ip_packet(s.data() + 1, s.size() - 1, &e, &a) > 0, "seed is ours");
    }
    for (long i = 0; i < runs; ++i) {
        std::vector<uint8_t> input = seeds[next() % seedCount];
        const int mutations = 1 + int(next() % 4);
        for (int k = 0; k < mutations; ++k) {
            const uint64_t r = next();
            const size_t at = input.size() > 1 ? 1 + r % (input.size() - 1) : 0;
            switch ((r >> 32) % 5) {
            case 0:
                input[at] ^= static_cast<uint8_t>(1u << ((r >> 40) % 8));
                break;
            case 1:
                input[at] = static_cast<uint8_t>(r >> 48);
                break;
            case 2:
                input.resize(at); // cut short anywhere
                break;
            case 3:
                input.insert(input.begin() + long(at), static_cast<uint8_t>(r >> 24));
                break;
            default:
                input[0] = static_cast<uint8_t>(r >> 16); // parser and checksum choice
                break;
            }
            if (input.empty()) {
                input.push_back(0);
            }
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("ok   %ld mutated packets parsed within bounds: %ld malformed, %ld not ours, "
                "%ld echo replies, %ld errors; ICMPv6 %ld, %ld, %ld, %ld; %ld helper requests "
                "accepted\n",
                runs, g_verdicts[0], g_verdicts[1], g_verdicts[2], g_verdicts[3], g_verdicts6[0],
                g_verdicts6[1], g_verdicts6[2], g_verdicts6[3], g_accepted);
    // Mutations that never reach a match would test only the first checks.
    Require(g_verdicts[2] > 0 && g_verdicts[3] > 0 && g_verdicts[1] > 0, "every verdict seen");
    Require(g_verdicts6[2] > 0 && g_verdicts6[3] > 0 && g_verdicts6[1] > 0,
            "every ICMPv6 verdict seen");
    Require(g_accepted > 0, "helper requests accepted");
    return 0;
}
#endif
