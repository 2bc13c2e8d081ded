#pragma once
// The dialog's private messages: an event posted to (or sent to) the main dialog with the two
// message words, as the sockets layer and the pages hand them over.

#include <QEvent>

#include <cstdint>

using UINT = unsigned int;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_PING_RESOLVED = WM_USER + 1;
constexpr UINT WM_TRACE_RESOLVED = WM_USER + 2;
constexpr UINT WM_LOOKUP_DONE = WM_USER + 3;

class CMessageEvent : public QEvent {
public:
    CMessageEvent(UINT message, WPARAM wParam, LPARAM lParam)
        : QEvent(TypeOf(message)), m_message(message), m_wParam(wParam), m_lParam(lParam) {}

    // Each private message has an event type of its own.
    static QEvent::Type TypeOf(UINT message) {
        return static_cast<QEvent::Type>(QEvent::User + static_cast<int>(message - WM_USER));
    }

    UINT Message() const { return m_message; }
    WPARAM WParam() const { return m_wParam; }
    LPARAM LParam() const { return m_lParam; }

private:
    UINT m_message;
    WPARAM m_wParam;
    LPARAM m_lParam;
};

constexpr uint16_t LoWord(LPARAM l) {
    return static_cast<uint16_t>(static_cast<uintptr_t>(l) & 0xFFFF);
}
constexpr uint16_t HiWord(LPARAM l) {
    return static_cast<uint16_t>((static_cast<uintptr_t>(l) >> 16) & 0xFFFF);
}
constexpr LPARAM MakeLParam(uint16_t low, uint16_t high) {
    return static_cast<LPARAM>(static_cast<uint32_t>(low) | (static_cast<uint32_t>(high) << 16));
}
