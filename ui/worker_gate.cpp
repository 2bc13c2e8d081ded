#include "ui/worker_gate.h"

#include <memory>

namespace {
struct Pending {
    std::function<void()> fn;
    bool done = false; // guarded by the gate's lock
};
} // namespace

bool WorkerGate::Call(const std::function<void()>& fn) {
    auto pending = std::make_shared<Pending>();
    pending->fn = fn;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_closed) {
            return false;
        }
    }
    // The call holds the pending record, not the worker's frame: it may run (and find the gate
    // closed) after the worker has gone.
    QMetaObject::invokeMethod(
        this,
        [this, pending] {
            {
                const std::lock_guard<std::mutex> hold(m_lock);
                if (m_closed) {
                    return;
                }
            }
            // Closing happens on this same thread, so the gate cannot close while fn runs.
            pending->fn();
            const std::lock_guard<std::mutex> hold(m_lock);
            pending->done = true;
            m_changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [&] { return pending->done || m_closed; });
    return pending->done;
}

void WorkerGate::Close() {
    const std::lock_guard<std::mutex> hold(m_lock);
    m_closed = true;
    m_changed.notify_all();
}

bool WorkerGate::IsClosed() {
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_closed;
}
