// The queue of work between any number of producer threads and one consumer
// thread (the e-mailer's, the received-SMS processor's). Submitting an item
// is: lock, push, signal. The consumer waits on the queue and on the stop
// signal together: a wait ends when an item is there or the stop is
// requested (the stop wakes it through a registered waker, which takes the
// queue's lock first, so no wake-up is lost).
//
// Every member may be called from any thread; the waits are meant for the
// one consumer. Items stay in the queue over the stop: the owner drops them.
// C++14: the modem's files include it through the e-mailer.
#ifndef KST_WORKER_QUEUE_H
#define KST_WORKER_QUEUE_H

#include <stddef.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "stop_signal.h"

template <class T>
class WorkerQueue {
public:
    using Clock = StopSignal::Clock;

    // `stopSignal` must outlive the queue.
    explicit WorkerQueue(StopSignal& stopSignal)
        : m_stopSignal(stopSignal), m_stopWaker(stopSignal.onStop([this] { wakeUp(); })) {}
    WorkerQueue(const WorkerQueue&) = delete;
    WorkerQueue& operator=(const WorkerQueue&) = delete;

    // Appends `item` at the back and wakes the consumer.
    void push(T item) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(std::move(item));
        }
        m_cond.notify_one();
    }

    // Moves the front item into `item`; false, with `item` untouched, when
    // the queue is empty. Never waits.
    bool tryPop(T& item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.empty()) return false;
        item = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

    // Waits until the queue holds an item or the stop is requested; true
    // when it holds one. The item stays in the queue.
    bool wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return !m_items.empty() || m_stopSignal.stopping(); });
        return !m_items.empty();
    }

    // The same, ending at `deadline` (on the monotonic clock) at the latest.
    bool waitUntil(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait_until(lock, deadline, [&] { return !m_items.empty() || m_stopSignal.stopping(); });
        return !m_items.empty();
    }

    size_t size() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }

    // Makes a waiting consumer look at the queue and the stop flag again.
    // Taking the lock orders the wake-up after the consumer's look at the
    // flag: it is either waiting already or sees the flag.
    void wakeUp() {
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_cond.notify_all();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;  // the items or the stop changed
    std::deque<T> m_items;           // guarded by m_mutex
    StopSignal& m_stopSignal;
    // Declared last: released before the lock and condition it uses.
    StopSignal::Registration m_stopWaker;
};

#endif
