#include "deferred_records.h"

#include <utility>

#include "store.h"

DeferredRecords::DeferredRecords(Store& store) : m_store(store) {}

size_t DeferredRecords::flushLocked() {
    size_t written = 0;
    while (!m_waiting.empty()) {
        try {
            m_waiting.front()(m_store);
        } catch (const StoreError& e) {
            if (e.unavailable()) return written;
            throw;
        }
        m_waiting.pop_front();
        ++written;
    }
    return written;
}

bool DeferredRecords::record(Record record) {
    qpthr::QpLock guard(m_mutex);
    try {
        flushLocked();
    } catch (const StoreError&) {
        // A waiting record the store refuses for good is dropped, or it
        // would hold back every record after it; its caller got its answer
        // long ago, so the failure goes to this caller.
        m_waiting.pop_front();
        throw;
    }
    if (!m_waiting.empty()) {
        m_waiting.push_back(std::move(record));
        return false;
    }
    try {
        record(m_store);
    } catch (const StoreError& e) {
        if (!e.unavailable()) throw;
        m_waiting.push_back(std::move(record));
        return false;
    }
    return true;
}

size_t DeferredRecords::flush() {
    qpthr::QpLock guard(m_mutex);
    try {
        return flushLocked();
    } catch (const StoreError&) {
        m_waiting.pop_front();
        throw;
    }
}

size_t DeferredRecords::waiting() {
    qpthr::QpLock guard(m_mutex);
    return m_waiting.size();
}
