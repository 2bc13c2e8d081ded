#pragma once
// The sockets layer: what the program expects of a Windows Sockets 1.1 stack, offered on
// glibc and c-ares. This header holds its start-up; the lookups join it as they are built.
// Nothing here links Qt Widgets.

#include <cstdint>

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

// Filled by AfxSocketInit; the Local Info page shows it.
struct WSADATA {
    uint16_t wVersion = 0;     // low byte major, high byte minor
    uint16_t wHighVersion = 0; // same layout
    char szDescription[WSADESCRIPTION_LEN + 1] = {};
    char szSystemStatus[WSASYS_STATUS_LEN + 1] = {};
    uint16_t iMaxSockets = 0; // sockets one process may hold open
    uint16_t iMaxUdpDg = 0;   // largest UDP payload, bytes
};

constexpr uint16_t MakeWord(uint8_t low, uint8_t high) {
    return static_cast<uint16_t>(low | (high << 8));
}

// Starts the layer (the resolver library first) and fills *data. Returns false when the layer
// cannot be used; *data is then left zeroed. May be called again (Refresh does).
bool AfxSocketInit(WSADATA* data);

namespace sockets_testing {
// Makes every later AfxSocketInit fail as a broken resolver library would, until reset.
void SetStartupFault(bool fail);
} // namespace sockets_testing
