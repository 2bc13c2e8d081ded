#include "net/trace_schedule.h"

TraceSchedule::State& TraceSchedule::At(uint32_t hop) {
    if (hop >= m_hops.size()) {
        m_hops.resize(hop + 1);
    }
    return m_hops[hop];
}

std::optional<TraceSchedule::Request> TraceSchedule::Next(int64_t nowMs, uint32_t hopLimit) {
    if (m_finished) {
        return std::nullopt;
    }
    // Hops past the target's or the limit are never shown: they get no request.
    uint32_t last = hopLimit;
    if (m_targetHop != 0 && m_targetHop < last) {
        last = m_targetHop;
    }
    // The rest of a started hop's requests first (also of one held back by a lower limit).
    for (uint32_t hop = m_front; hop < m_nextStart && hop <= last; ++hop) {
        State& s = At(hop);
        if (s.answeredBy == 0 && s.sent < kTries) {
            return Request{hop, ++s.sent};
        }
    }
    const uint32_t hop = m_nextStart;
    if (hop > last || hop >= m_front + kWindow ||
        (m_lastStartMs >= 0 && nowMs < m_lastStartMs + kSpreadMs)) {
        return std::nullopt;
    }
    State& s = At(hop);
    s.sent = 1;
    m_lastStartMs = nowMs;
    ++m_nextStart;
    return Request{hop, 1};
}

int64_t TraceSchedule::NextStartMs(uint32_t hopLimit) const {
    const uint32_t hop = m_nextStart;
    if (m_finished || m_lastStartMs < 0 || hop > hopLimit || hop >= m_front + kWindow ||
        (m_targetHop != 0 && hop > m_targetHop)) {
        return -1;
    }
    return m_lastStartMs + kSpreadMs;
}

bool TraceSchedule::Ended(const Request& request, bool answered, bool target) {
    State& s = At(request.hop);
    if (request.attempt == 0 || request.attempt > s.sent || s.ended == s.sent) {
        return false; // no request of ours
    }
    ++s.ended;
    if (!answered || s.answeredBy != 0) {
        return false;
    }
    s.answeredBy = request.attempt;
    s.target = target;
    if (target && (m_targetHop == 0 || request.hop < m_targetHop)) {
        m_targetHop = request.hop;
    }
    return true;
}

std::optional<TraceSchedule::Hop> TraceSchedule::Front(uint32_t hopLimit) {
    if (!m_finished && m_front > hopLimit) {
        m_finished = true; // the limit came down below the hops still open
    }
    if (m_finished || m_front >= m_nextStart) {
        return std::nullopt;
    }
    const State& s = At(m_front);
    if (!Decided(s)) {
        return std::nullopt;
    }
    return Hop{m_front, s.answeredBy != 0 ? s.answeredBy : kTries, s.answeredBy != 0, s.target};
}

void TraceSchedule::Shown(uint32_t hopLimit) {
    const State& s = At(m_front);
    if (s.target || m_front >= hopLimit) {
        m_finished = true;
    }
    ++m_front;
}
