#include "stop_signal.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

namespace {

// Makes `fd` readable; a full counter is readable already, so nothing is
// lost by a failure.
void makeReadable(int fd) {
    const uint64_t one = 1;
    ssize_t written = write(fd, &one, sizeof one);
    (void)written;
}

}  // namespace

StopSignal::StopSignal() = default;

int StopSignal::wakeFd() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_wakeFd < 0) {
        m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_wakeFd >= 0 && m_stopping) makeReadable(m_wakeFd);
    }
    return m_wakeFd;
}

StopSignal::~StopSignal() {
    if (m_wakeFd >= 0) close(m_wakeFd);
}

void StopSignal::requestStop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_stopping = true;
        if (m_wakeFd >= 0) makeReadable(m_wakeFd);
    }
    m_cond.notify_all();
    std::lock_guard<std::mutex> lock(m_wakersMutex);
    for (const Waker& waker : m_wakers) waker();
}

bool StopSignal::stopping() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopping;
}

bool StopSignal::waitUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_until(lock, deadline, [&] { return m_stopping; });
}

void StopSignal::wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [&] { return m_stopping; });
}

StopSignal::Registration StopSignal::onStop(Waker waker) {
    std::lock_guard<std::mutex> lock(m_wakersMutex);
    auto entry = m_wakers.insert(m_wakers.end(), std::move(waker));
    if (stopping()) (*entry)();
    return Registration(this, entry);
}

void StopSignal::reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = false;
    if (m_wakeFd >= 0) {
        uint64_t count;
        ssize_t got = read(m_wakeFd, &count, sizeof count);
        (void)got;
    }
}

StopSignal::Registration::Registration(Registration&& other) noexcept
    : m_owner(std::exchange(other.m_owner, nullptr)), m_entry(other.m_entry) {}

StopSignal::Registration& StopSignal::Registration::operator=(Registration&& other) noexcept {
    if (this != &other) {
        release();
        m_owner = std::exchange(other.m_owner, nullptr);
        m_entry = other.m_entry;
    }
    return *this;
}

StopSignal::Registration::~Registration() { release(); }

void StopSignal::Registration::release() {
    if (m_owner == nullptr) return;
    std::lock_guard<std::mutex> lock(m_owner->m_wakersMutex);
    m_owner->m_wakers.erase(m_entry);
    m_owner = nullptr;
}
