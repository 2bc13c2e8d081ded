#pragma once
// How a worker thread reaches the window: each call is carried out on the GUI thread while the
// worker waits for it, so that items go in in order and the window stays the only writer of
// its widgets. Once the window closes the gate, no call runs any more and every waiting
// worker returns at once, so a worker never waits on a GUI thread that waits for it.

#include <QObject>

#include <condition_variable>
#include <functional>
#include <mutex>

class WorkerGate : public QObject {
public:
    explicit WorkerGate(QObject* parent = nullptr) : QObject(parent) {}

    // From a worker: runs fn on the GUI thread and returns when it has run (true), or at once
    // without running it when the gate is or becomes closed (false).
    bool Call(const std::function<void()>& fn);
    // GUI thread: closes the gate for good.
    void Close();
    bool IsClosed();

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_closed = false;
};
