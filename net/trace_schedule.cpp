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

void TraceSchedule::Ended(const Request& request, bool answered, bool target) {
    State& s = At(request.hop);
    const uint32_t bit = 1u << (request.attempt - 1);
    if (request.attempt == 0 || request.attempt > s.sent || (s.ended & bit) != 0) {
        return; // no request of ours
    }
    s.ended |= bit;
    s.answered |= answered ? bit : 0;
    s.byTarget |= answered && target ? bit : 0;
    // As the walk: the first request in order that was answered, all before it unanswered.
    for (uint32_t k = 1; s.answeredBy == 0 && k <= s.sent; ++k) {
        const uint32_t b = 1u << (k - 1);
        if ((s.ended & b) == 0) {
            break;
        }
        if ((s.answered & b) != 0) {
            s.answeredBy = k;
            if ((s.byTarget & b) != 0 && (m_targetHop == 0 || request.hop < m_targetHop)) {
                m_targetHop = request.hop;
            }
        }
    }
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
    const uint32_t by = s.answeredBy != 0 ? s.answeredBy : kTries;
    return Hop{m_front, by, s.answeredBy != 0, (s.byTarget & (1u << (by - 1))) != 0};
}

void TraceSchedule::Shown(uint32_t hopLimit) {
    const State& s = At(m_front);
    if ((s.answeredBy != 0 && (s.byTarget & (1u << (s.answeredBy - 1))) != 0) ||
        m_front >= hopLimit) {
        m_finished = true;
    }
    ++m_front;
}
