// Stand-in for the qpthr thread library: thread, mutex and condition classes
// on top of POSIX threads. Only what the daemon relies on is provided:
//
//  - QpInit must exist before any other object of the library is used.
//  - QpThread runs its virtual Main() on a new thread after Start(); Join()
//    returns once Main() has returned (immediately if the thread never ran).
//  - QpMutex is a plain, non-recursive mutex, and QpLock holds one for its
//    scope; both carry Clang's thread-safety attributes
//    (thread_annotations.h), so members can be marked GUARDED_BY a QpMutex.
//  - QpCond is bound to one mutex; Wait() must be called with that mutex
//    held, releases it while waiting and holds it again on return. Signal()
//    wakes one waiter; a signal with no waiter is lost, so every wait must be
//    tied to the state it waits for.
#ifndef KST_PLATFORM_QPTHR_H
#define KST_PLATFORM_QPTHR_H

#include <pthread.h>
#include <time.h>

#include <string>

#include "thread_annotations.h"

namespace qpthr {

class QpInit {
public:
    QpInit(unsigned capability = 0, unsigned scope = 0, unsigned sched = 0);
    ~QpInit();
    QpInit(const QpInit&) = delete;
    QpInit& operator=(const QpInit&) = delete;
};

// Named object; the name is only used for diagnostics by the callers.
class QpBase {
public:
    explicit QpBase(const char* name = nullptr);
    virtual ~QpBase();
    void SetName(const char* name);
    const char* GetName() const;

private:
    std::string m_name;
};

class CAPABILITY("mutex") QpLockBase {
public:
    virtual ~QpLockBase() = default;
    virtual void Lock() ACQUIRE() = 0;
    virtual void Unlock() RELEASE() = 0;
    virtual pthread_mutex_t* NativeHandle() = 0;
};

class CAPABILITY("mutex") QpMutex : public QpBase, public QpLockBase {
public:
    explicit QpMutex(const char* name = nullptr);
    ~QpMutex() override;
    QpMutex(const QpMutex&) = delete;
    QpMutex& operator=(const QpMutex&) = delete;

    void Lock() override ACQUIRE();
    void Unlock() override RELEASE();
    bool TryLock() TRY_ACQUIRE(true);
    pthread_mutex_t* NativeHandle() override { return &m_mutex; }

private:
    pthread_mutex_t m_mutex;
};

// Scoped holder of a QpMutex.
class SCOPED_CAPABILITY QpLock {
public:
    explicit QpLock(QpLockBase& lock) ACQUIRE(lock) : m_lock(lock) { m_lock.Lock(); }
    ~QpLock() RELEASE() { m_lock.Unlock(); }
    QpLock(const QpLock&) = delete;
    QpLock& operator=(const QpLock&) = delete;

private:
    QpLockBase& m_lock;
};

class QpCondBase : public QpBase {
public:
    QpCondBase(QpLockBase& lock, const char* name);
    ~QpCondBase() override;
    QpCondBase(const QpCondBase&) = delete;
    QpCondBase& operator=(const QpCondBase&) = delete;

    // Waits without a time limit.
    void Wait();
    // Waits until the absolute CLOCK_MONOTONIC deadline; a null deadline waits
    // without a limit. Returns false when the deadline passed.
    bool WaitAbs(const timespec* deadline);
    // Waits at most `milliseconds` (measured on the monotonic clock); returns
    // false on time-out.
    bool WaitFor(long milliseconds);
    void Signal();
    void Broadcast();

private:
    QpLockBase& m_lock;
    pthread_cond_t m_cond;
};

class QpCond : public QpCondBase {
public:
    explicit QpCond(QpLockBase& lock, const char* name = nullptr) : QpCondBase(lock, name) {}
};

class QpThread : public QpBase {
public:
    QpThread(unsigned stackSize = 0, unsigned priority = 0, const char* name = nullptr, unsigned char flags = 0);
    // Joins a thread that is still running: a derived class must join in its
    // own destructor, before its members go away.
    ~QpThread() override;
    QpThread(const QpThread&) = delete;
    QpThread& operator=(const QpThread&) = delete;

    virtual void Main() = 0;

    void Start();
    // Waits for Main() to return. A deadline is not supported: the daemon only
    // joins without a time limit.
    void Join(const timespec* deadline = nullptr, bool unused = true);
    bool Started() const { return m_started; }

private:
    static void* Trampoline(void* self);

    pthread_t m_thread{};
    bool m_started = false;
    bool m_joined = false;
    pthread_mutex_t m_joinMutex;
};

}  // namespace qpthr

#endif
