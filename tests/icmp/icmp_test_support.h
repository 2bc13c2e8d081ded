#pragma once
// What the echo tests share: an echo module loaded by path (the real one, the simulation, or one
// that lacks a function), reply buffers fenced by canaries, addresses and clocks.

#include "net/icmp/icmp_api.h"

#include <arpa/inet.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace icmp_test {

typedef uint32_t (*PFN_IcmpGetLastStatus)(void);
typedef uint64_t (*PFN_IcmpGetLastRoundTripMicroseconds)(void);
typedef int (*PFN_IcmpGetSocketKind)(ICMP_HANDLE);

// All functions of an echo module, found by dlsym; those it lacks stay null.
struct Module {
    void* handle = nullptr;
    PFN_IcmpCreateFile create = nullptr;
    PFN_IcmpSendEcho send = nullptr;
    PFN_IcmpCloseHandle close = nullptr;
    PFN_IcmpCancelHandle cancel = nullptr;
    PFN_IcmpGetCreateError createError = nullptr;
    PFN_IcmpGetLastStatus lastStatus = nullptr;
    PFN_IcmpGetLastRoundTripMicroseconds lastRoundTripUs = nullptr;
    PFN_IcmpGetSocketKind kind = nullptr;
    // The extensions, null in a module without them (the simulation).
    PFN_IcmpSendEchoEx sendEx = nullptr;
    PFN_Icmp6CreateFile create6 = nullptr;
    PFN_Icmp6SendEcho2 send6 = nullptr;

    template <typename Fn> Fn Find(const char* name) const {
        return reinterpret_cast<Fn>(dlsym(handle, name));
    }

    bool Load(const std::string& path, std::string* error = nullptr) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            if (error != nullptr) {
                *error = dlerror();
            }
            return false;
        }
        create = Find<PFN_IcmpCreateFile>("IcmpCreateFile");
        send = Find<PFN_IcmpSendEcho>("IcmpSendEcho");
        close = Find<PFN_IcmpCloseHandle>("IcmpCloseHandle");
        cancel = Find<PFN_IcmpCancelHandle>("IcmpCancelHandle");
        createError = Find<PFN_IcmpGetCreateError>("IcmpGetCreateError");
        lastStatus = Find<PFN_IcmpGetLastStatus>("IcmpGetLastStatus");
        lastRoundTripUs =
            Find<PFN_IcmpGetLastRoundTripMicroseconds>("IcmpGetLastRoundTripMicroseconds");
        kind = Find<PFN_IcmpGetSocketKind>("IcmpGetSocketKind");
        sendEx = Find<PFN_IcmpSendEchoEx>("IcmpSendEchoEx");
        create6 = Find<PFN_Icmp6CreateFile>("Icmp6CreateFile");
        send6 = Find<PFN_Icmp6SendEcho2>("Icmp6SendEcho2");
        return create && send && close && cancel && createError && lastStatus && lastRoundTripUs &&
               kind;
    }

    std::string CreateError() const {
        std::vector<char> text(createError(nullptr, 0) + 1u);
        createError(text.data(), static_cast<uint32_t>(text.size()));
        return text.data();
    }
};

// A reply buffer of a given size with canary bytes before and after it: the module may write
// only inside, and writes nothing at all when it returns 0.
class GuardedBuffer {
public:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kCanary = 0xC5;

    explicit GuardedBuffer(size_t size) : size_(size), bytes_(size + 2 * kGuard, kCanary) {}

    void* data() { return bytes_.data() + kGuard; }
    void Reset() { std::fill(bytes_.begin(), bytes_.end(), kCanary); }
    uint32_t size() const { return static_cast<uint32_t>(size_); }

    const ICMP_ECHO_REPLY& Reply() {
        std::memcpy(&reply_, data(), sizeof reply_);
        return reply_;
    }
    const uint8_t* At(size_t offset) const { return bytes_.data() + kGuard + offset; }

    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (bytes_[i] != kCanary || bytes_[kGuard + size_ + i] != kCanary) {
                return false;
            }
        }
        return true;
    }
    bool Untouched() const {
        for (uint8_t b : bytes_) {
            if (b != kCanary) {
                return false;
            }
        }
        return true;
    }

private:
    size_t size_;
    std::vector<uint8_t> bytes_;
    ICMP_ECHO_REPLY reply_{};
};

inline IPAddr Address(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

inline std::string Dotted(IPAddr address) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

inline double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace icmp_test
