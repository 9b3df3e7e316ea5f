#include "qpthr.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace qpthr {

namespace {

// A failing pthread call means a programming error (a destroyed or foreign
// mutex); continuing would corrupt state, so stop with a clear message.
void check(int rc, const char* what) {
    if (rc != 0) {
        fprintf(stderr, "qpthr: %s failed: %s\n", what, strerror(rc));
        abort();
    }
}

}  // namespace

QpInit::QpInit(unsigned, unsigned, unsigned) {}
QpInit::~QpInit() {}

QpBase::QpBase(const char* name) : m_name(name ? name : "") {}
QpBase::~QpBase() {}
void QpBase::SetName(const char* name) { m_name = name ? name : ""; }
const char* QpBase::GetName() const { return m_name.c_str(); }

QpMutex::QpMutex(const char* name) : QpBase(name) {
    // The daemon's critical sections are short: a contended lock spins a
    // little before it sleeps, which spares a context switch per contention.
    pthread_mutexattr_t attributes;
    check(pthread_mutexattr_init(&attributes), "pthread_mutexattr_init");
    check(pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP), "pthread_mutexattr_settype");
    check(pthread_mutex_init(&m_mutex, &attributes), "pthread_mutex_init");
    pthread_mutexattr_destroy(&attributes);
}
QpMutex::~QpMutex() { pthread_mutex_destroy(&m_mutex); }
void QpMutex::Lock() { check(pthread_mutex_lock(&m_mutex), "pthread_mutex_lock"); }
void QpMutex::Unlock() { check(pthread_mutex_unlock(&m_mutex), "pthread_mutex_unlock"); }
bool QpMutex::TryLock() { return pthread_mutex_trylock(&m_mutex) == 0; }

QpCondBase::QpCondBase(QpLockBase& lock, const char* name) : QpBase(name), m_lock(lock) {
    // Deadlines are on the monotonic clock: a step of the wall clock must
    // neither stretch nor cut a wait.
    pthread_condattr_t attributes;
    check(pthread_condattr_init(&attributes), "pthread_condattr_init");
    check(pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC), "pthread_condattr_setclock");
    check(pthread_cond_init(&m_cond, &attributes), "pthread_cond_init");
    pthread_condattr_destroy(&attributes);
}
QpCondBase::~QpCondBase() { pthread_cond_destroy(&m_cond); }

void QpCondBase::Wait() { check(pthread_cond_wait(&m_cond, m_lock.NativeHandle()), "pthread_cond_wait"); }

bool QpCondBase::WaitAbs(const timespec* deadline) {
    if (deadline == nullptr) {
        Wait();
        return true;
    }
    int rc = pthread_cond_timedwait(&m_cond, m_lock.NativeHandle(), deadline);
    if (rc == ETIMEDOUT) return false;
    check(rc, "pthread_cond_timedwait");
    return true;
}

bool QpCondBase::WaitFor(long milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return WaitAbs(&deadline);
}

void QpCondBase::Signal() { pthread_cond_signal(&m_cond); }
void QpCondBase::Broadcast() { pthread_cond_broadcast(&m_cond); }

QpThread::QpThread(unsigned, unsigned, const char* name, unsigned char) : QpBase(name) {
    check(pthread_mutex_init(&m_joinMutex, nullptr), "pthread_mutex_init");
}

QpThread::~QpThread() {
    Join();
    pthread_mutex_destroy(&m_joinMutex);
}

void* QpThread::Trampoline(void* self) {
    static_cast<QpThread*>(self)->Main();
    return nullptr;
}

void QpThread::Start() {
    check(pthread_create(&m_thread, nullptr, &QpThread::Trampoline, this), "pthread_create");
    m_started = true;
}

void QpThread::Join(const timespec*, bool) {
    // Several threads may join the same thread (the destructor after an
    // explicit Join): only the first one really joins.
    pthread_mutex_lock(&m_joinMutex);
    if (m_started && !m_joined) {
        check(pthread_join(m_thread, nullptr), "pthread_join");
        m_joined = true;
    }
    pthread_mutex_unlock(&m_joinMutex);
}

}  // namespace qpthr
