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

// All functions of an echo module, found by dlsym; those it lacks stay null.
struct Module {
    void* handle = nullptr;
    PFN_IcmpCreateFile create = nullptr;
    PFN_IcmpSendEcho send = nullptr;
    PFN_IcmpCloseHandle close = nullptr;
    PFN_IcmpCancelHandle cancel = nullptr;
    PFN_IcmpGetCreateError createError = nullptr;
    uint32_t (*lastStatus)() = nullptr;
    uint64_t (*lastRoundTripUs)() = nullptr;
    int (*kind)(ICMP_HANDLE) = nullptr;
    // The extensions, null in a module without them (the simulation).
    PFN_IcmpSendEchoEx sendEx = nullptr;
    PFN_Icmp6CreateFile create6 = nullptr;
    PFN_Icmp6SendEcho2 send6 = nullptr;

    template <typename Fn> Fn Find(const char* name) const {
        return reinterpret_cast<Fn>(dlsym(handle, name));
    }

    bool Load(const std::string& path, std::string* error = nullptr) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        const std::pair<void*, const char*> functions[] = {
            {&create, "IcmpCreateFile"},
            {&send, "IcmpSendEcho"},
            {&close, "IcmpCloseHandle"},
            {&cancel, "IcmpCancelHandle"},
            {&createError, "IcmpGetCreateError"},
            {&lastStatus, "IcmpGetLastStatus"},
            {&kind, "IcmpGetSocketKind"},
            {&lastRoundTripUs, "IcmpGetLastRoundTripMicroseconds"},
            {&sendEx, "IcmpSendEchoEx"},
            {&create6, "Icmp6CreateFile"},
            {&send6, "Icmp6SendEcho2"}};
        for (const auto& [slot, name] : functions) {
            void* found = handle != nullptr ? dlsym(handle, name) : nullptr;
            std::memcpy(slot, &found, sizeof found); // POSIX: function pointers fit in void*
        }
        if (handle == nullptr && error != nullptr) {
            *error = dlerror();
        }
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
    const uint8_t* At(size_t offset) const { return bytes_.data() + kGuard + offset; }
    const ICMP_ECHO_REPLY& Reply() {
        std::memcpy(&reply_, data(), sizeof reply_);
        return reply_;
    }
    bool GuardsIntact() const { return Canaries(0, kGuard) && Canaries(kGuard + size_, kGuard); }
    bool Untouched() const { return Canaries(0, bytes_.size()); }

private:
    bool Canaries(size_t from, size_t count) const {
        return std::count(bytes_.begin() + long(from), bytes_.begin() + long(from + count),
                          kCanary) == long(count);
    }

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
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

inline double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace icmp_test
