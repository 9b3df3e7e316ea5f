// The daemon's one stop request. Whoever decides to stop (the signal thread,
// a test) calls requestStop() once; every thread learns of it through the
// same object:
//  - a loop asks stopping() between two pieces of work;
//  - a pause sleeps with waitFor() or waitUntil(), which return at once when
//    the stop is requested (on the monotonic clock, so a step of the wall
//    clock neither stretches nor cuts a pause);
//  - a thread blocked on a condition of its own registers a waker, which
//    requestStop() runs after the flag is set (the waker takes that
//    condition's lock before it signals, so no wake-up is lost);
//  - a thread blocked in poll() adds wakeFd(), which becomes readable at the
//    stop and stays so.
// Every member may be called from any thread.
#ifndef KST_STOP_SIGNAL_H
#define KST_STOP_SIGNAL_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>

class StopSignal {
public:
    using Clock = std::chrono::steady_clock;
    using Waker = std::function<void()>;
    class Registration;

    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Sets the flag, wakes every waiting thread and runs every waker (each
    // once per request). Later calls change nothing.
    void requestStop();
    bool stopping() const;

    // Sleeps up to `duration`, or until the stop; true when stopping.
    template <class Rep, class Period>
    bool waitFor(std::chrono::duration<Rep, Period> duration) {
        return waitUntil(Clock::now() + std::chrono::duration_cast<Clock::duration>(duration));
    }
    bool waitUntil(Clock::time_point deadline);
    // Sleeps until the stop.
    void wait();

    // Readable from the stop on (-1 if the system gave no descriptor). Made
    // on the first call, not with the object: the daemon's stop signal
    // exists before it detaches, which closes every descriptor. Any thread.
    int wakeFd() const;

    // Runs `waker` at the stop (at once, on this thread, when already
    // stopping) until the registration is destroyed. A waker must not call
    // back into this object.
    Registration onStop(Waker waker);

    // Clears a requested stop, so that one process can run several
    // lifetimes of the objects that use it (the unit tests). Only while no
    // thread uses the object.
    void reset();

    // Unregisters its waker when destroyed.
    class Registration {
    public:
        Registration() = default;
        Registration(Registration&& other) noexcept;
        Registration& operator=(Registration&& other) noexcept;
        ~Registration();
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

    private:
        friend class StopSignal;
        Registration(StopSignal* owner, std::list<Waker>::iterator entry) : m_owner(owner), m_entry(entry) {}
        void release();

        StopSignal* m_owner = nullptr;
        std::list<Waker>::iterator m_entry;
    };

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;  // on the steady clock
    bool m_stopping = false;
    // m_wakersMutex guards m_wakers; requestStop() holds it while it runs
    // them, so a waker never runs after its registration is gone.
    std::mutex m_wakersMutex;
    std::list<Waker> m_wakers;
    // Guarded by m_mutex; -1 until wakeFd() makes it.
    mutable int m_wakeFd = -1;
};

#endif
