#pragma once
// The bookkeeping of a trace with many echo requests in flight: which request goes out next and
// which hops are decided, in hop order. It gives the items of the one-at-a-time walk (each hop
// asked up to four times in a row, "Request timed out" after four unanswered requests, the end
// at the first hop where the target answers or at the hop limit) while the hops overlap in time.
// No clock, no threads, no I/O: the trace worker (ui/probe_pages.cpp) feeds it the time in
// milliseconds and each request's end, sends what it names and shows the hops it decides.
//
// A hop's four requests go out together, so that a silent hop costs one time-out, not four
// (each request still waits its full time-out). The hop's answer is the walk's: that of the
// first of its requests, in order, that was answered, once every one before it has ended.
// Routers limit the rate of their ICMP errors (Linux: a burst of up to six per source, then
// about one a second), and a hop's four requests all end at the same router: even a router
// allowed a burst of one answers the first of them. Hops start a millisecond apart.

#include <cstdint>
#include <optional>
#include <vector>

class TraceSchedule {
public:
    static constexpr uint32_t kTries = 4;   // requests per hop before "Request timed out"
    static constexpr uint32_t kWindow = 32; // hops in flight beyond the first undecided one
    static constexpr int64_t kSpreadMs = 1; // milliseconds between two hops' requests

    struct Request {
        uint32_t hop;     // the time-to-live
        uint32_t attempt; // 1 to kTries
    };
    struct Hop {
        uint32_t hop;
        uint32_t attempt; // the answered request, or kTries for a hop that timed out
        bool answered;
        bool target; // answered by the target itself: the last hop shown
    };

    // The request due at nowMs with the hop limit as it stands, marked as sent; or nothing.
    std::optional<Request> Next(int64_t nowMs, uint32_t hopLimit);
    // When the next first request may go (for the caller's wait), or -1 when none is waiting
    // for its time.
    int64_t NextStartMs(uint32_t hopLimit) const;
    // A request has ended: answered (by the target or another node) or not.
    void Ended(const Request& request, bool answered, bool target);
    // The request whose answer is the hop's, once that is known; else 0.
    uint32_t AnsweredBy(uint32_t hop) { return At(hop).answeredBy; }
    // The first hop not yet shown, when it is decided.
    std::optional<Hop> Front(uint32_t hopLimit);
    // The front hop has been shown: the trace goes on with the next one, or ends.
    void Shown(uint32_t hopLimit);
    // No hop is left to show: the target answered, the hop limit was reached.
    bool Finished() const { return m_finished; }
    // The lowest hop known to be answered by the target (0: none): later hops are never shown.
    uint32_t TargetHop() const { return m_targetHop; }

private:
    struct State {
        uint32_t sent = 0;       // requests gone out
        uint32_t ended = 0;      // bit k-1: request k has ended
        uint32_t answered = 0;   // bit k-1: request k was answered
        uint32_t byTarget = 0;   // bit k-1: by the target
        uint32_t answeredBy = 0; // the hop's answer, once decided
    };
    State& At(uint32_t hop);
    bool Decided(const State& s) const {
        return s.answeredBy != 0 || s.ended == (1u << kTries) - 1;
    }

    std::vector<State> m_hops{1}; // by hop number; [0] unused
    uint32_t m_front = 1;         // first hop not yet shown
    uint32_t m_nextStart = 1;     // next hop whose first request has not gone out
    int64_t m_lastStartMs = -1;
    uint32_t m_targetHop = 0;
    bool m_finished = false;
};
