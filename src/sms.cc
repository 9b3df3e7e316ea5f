#include "sms.h"

#include <stdint.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "process.h"
#include "store.h"
#include "trace.h"

namespace {

const char* orEmpty(const char* text) { return text ? text : ""; }
const char* orNull(const char* text) { return text ? text : "(null)"; }

}  // namespace

Sms::Sms() : m_onDisplay(false) {}

const Sms::Tracking& Sms::noTracking() {
    static const Tracking none;
    return none;
}

Sms::Sms(const char* target, const char* source, const char* message, const char* remoteAddr, bool onDisplay,
         const char* mailTo)
    : m_onDisplay(onDisplay) {
    tracePlain("Sms::Sms( '%s', '%s', '%s', '%s', %s )\n", orNull(target), orNull(source), orNull(message),
               orNull(remoteAddr), onDisplay ? "ON DISPLAY" : "NORMAL");
    m_target = orEmpty(target);
    m_source = orEmpty(source);
    m_message = orEmpty(message);
    m_remoteAddr = orEmpty(remoteAddr);
    m_mailTo = orEmpty(mailTo);
}

Sms::Sms(const std::string& target, const std::string& source, const std::string& message,
         const std::string& remoteAddr, bool onDisplay, const std::string& mailTo)
    : m_source(source),
      m_target(target),
      m_message(message),
      m_remoteAddr(remoteAddr),
      m_onDisplay(onDisplay),
      m_mailTo(mailTo) {}

SmsQue::SmsQue(StopSignal& stopSignal)
    : m_mutex(),
      m_cond(m_mutex),
      m_notifyFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_stopWaker(stopSignal.onStop([this] { alarm(); })),
      m_stopSignal(stopSignal) {}

SmsQue::~SmsQue() {
    if (m_notifyFd >= 0) close(m_notifyFd);
}

void SmsQue::notify() {
    if (m_notifyFd < 0) return;
    const uint64_t one = 1;
    // A full counter already says "readable"; nothing is lost by a failure.
    ssize_t written = write(m_notifyFd, &one, sizeof one);
    (void)written;
}

void SmsQue::clearNotify() {
    if (m_notifyFd < 0) return;
    uint64_t count;
    ssize_t got = read(m_notifyFd, &count, sizeof count);
    (void)got;
}

int SmsQue::appendSms(Sms& sms) { return add(sms, "appendSms", &SmsQue::appendSmsSafe); }

int SmsQue::appendAll(std::vector<Sms>& messages, long limit, AnswerToKeep* answer) {
    if (answer != nullptr) throw StoreError("the send queue is not kept in a store: it keeps no answers");
    m_mutex.Lock();
    const int before = getSizeSafe();
    if (before + static_cast<long>(messages.size()) > limit) {
        m_mutex.Unlock();
        return -1;
    }
    int length = before;
    try {
        length = appendBatchSafe(messages);
    } catch (...) {
        m_mutex.Unlock();
        throw;
    }
    m_mutex.Unlock();
    if (messages.empty()) return length;
    m_cond.Broadcast();
    if (before == 0) notify();
    return length;
}

int SmsQue::appendBatchSafe(std::vector<Sms>& messages) {
    int length = getSizeSafe();
    for (Sms& sms : messages) {
        traceAs("SmsQue", "%s( %s, %s, %s, %s )\n", "appendSms", sms.target(), sms.source(), sms.message(),
                sms.remoteAddr());
        length = appendSmsSafe(sms);
    }
    return length;
}

int SmsQue::insertSms(Sms& sms) { return add(sms, "insertSms", &SmsQue::insertSmsSafe); }

int SmsQue::add(Sms& sms, const char* operation, int (SmsQue::*addSafe)(Sms&)) {
    // The copy is made before the lock is taken: the Safe operations may
    // take its content, and the critical section stays short.
    Sms copy(sms);
    prepareSafe(copy);
    m_mutex.Lock();
    traceAs("SmsQue", "%s( %s, %s, %s, %s )\n", operation, sms.target(), sms.source(), sms.message(), sms.remoteAddr());
    const int length = (this->*addSafe)(copy);
    m_mutex.Unlock();
    // Every waiter re-checks the queue, so waking them all loses nobody.
    m_cond.Broadcast();
    // The descriptor only has to say "not empty": a consumer that is not
    // waiting takes the rest without being told.
    if (length == 1) notify();
    return length;
}

bool SmsQue::getSms(Sms& sms) {
    qpthr::QpLock guard(m_mutex);
    return getSmsSafe(sms);
}

int SmsQue::size() {
    qpthr::QpLock guard(m_mutex);
    return getSizeSafe();
}

bool SmsQue::shouldStopWaiting() { return getSizeSafe() > 0 || m_stopSignal.stopping(); }

void SmsQue::waitForSms() {
    qpthr::QpLock guard(m_mutex);
    while (!shouldStopWaiting()) {
        traceAs("SmsQue", "waiting for SMS\n");
        m_cond.Wait();
    }
    traceAs("SmsQue", "que length: %d\n", getSizeSafe());
}

bool SmsQue::waitForSmsFor(long milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    qpthr::QpLock guard(m_mutex);
    while (!shouldStopWaiting()) {
        const long left = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) break;
        m_cond.WaitFor(left);
    }
    return getSizeSafe() > 0;
}

void SmsQue::alarm() {
    // Taking the lock orders the wake-up after a waiter's look at the stop
    // flag: the waiter is either waiting already or sees the flag.
    m_mutex.Lock();
    m_mutex.Unlock();
    m_cond.Broadcast();
    notify();
    traceAs("SmsQue", "alarm\n");
}

namespace {
// The list node prepared for the message the calling thread is about to queue.
thread_local std::list<Sms> preparedNode;
}  // namespace

void SmsQueMemory::prepareSafe(Sms& sms) {
    preparedNode.clear();
    preparedNode.push_back(std::move(sms));
}

void SmsQueMemory::takePrepared(Sms& sms, bool atFront) {
    if (preparedNode.empty()) preparedNode.push_back(std::move(sms));
    m_smsQue.splice(atFront ? m_smsQue.begin() : m_smsQue.end(), preparedNode, preparedNode.begin());
}

int SmsQueMemory::appendSmsSafe(Sms& sms) {
    takePrepared(sms, false);
    const Sms& queued = m_smsQue.back();
    traceAs("SmsQueMemory", "appendSmsSafe( %s, %s, %s, %s )\n", queued.target(), queued.source(), queued.message(),
            queued.remoteAddr());
    return static_cast<int>(m_smsQue.size());
}

int SmsQueMemory::insertSmsSafe(Sms& sms) {
    takePrepared(sms, true);
    const Sms& queued = m_smsQue.front();
    traceAs("SmsQueMemory", "insertSmsSafe( %s, %s, %s, %s )\n", queued.target(), queued.source(), queued.message(),
            queued.remoteAddr());
    return static_cast<int>(m_smsQue.size());
}

bool SmsQueMemory::getSmsSafe(Sms& sms) {
    if (m_smsQue.empty()) return false;
    sms = std::move(m_smsQue.front());
    m_smsQue.pop_front();
    return true;
}

int SmsQueMemory::getSizeSafe() { return static_cast<int>(m_smsQue.size()); }
