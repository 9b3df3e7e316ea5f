#include "stored_queue.h"

#include <algorithm>
#include <utility>

#include "logger.h"
#include "store.h"
#include "trace.h"

SmsQueStored::SmsQueStored(Store& store, Logger* errorLog, StopSignal& stopSignal)
    : SmsQue(stopSignal),
      m_store(store),
      m_errorLog(errorLog),
      m_claims(store.sharesQueue()),
      m_position(Store::queueStart),
      m_size(0),
      m_accounted(m_mutex),
      m_groupDone(m_groupMutex) {
    qpthr::QpLock guard(m_mutex);
    m_size = m_claims ? m_store.unclaimedCount() : m_store.queuedCount();
}

void SmsQueStored::storeFailed(const char* doing, const char* what) {
    traceErrorAs("SmsQueStored", "%s: %s\n", doing, what);
    if (m_errorLog != nullptr) m_errorLog->write(std::string("ERROR: ") + doing + ": " + what, 'e');
}

void SmsQueStored::readFailed(const StoreError& e) {
    // While the database is away the store's own records tell it, once;
    // a record for each look at the queue would say it twice a second.
    if (e.unavailable()) {
        traceAs("SmsQueStored", "Cannot read the queue: %s\n", e.what());
        return;
    }
    storeFailed("Cannot read the queue", e.what());
}

int SmsQueStored::appendBatchSafe(std::vector<Sms>& messages) { return storeBatchSafe(messages, {}); }

int SmsQueStored::storeBatchSafe(std::vector<Sms>& messages, const std::vector<AnswerToKeep*>& answers) {
    const int64_t last = m_store.enqueue(messages, answers);
    return takeStoredBatchSafe(messages, last);
}

int SmsQueStored::takeStoredBatchSafe(std::vector<Sms>& messages, int64_t last) {
    // When the window holds the whole queue it takes the batch too, as
    // long as it stays bounded; otherwise the batch is read from the store
    // when its turn comes. A window read from the store while the batch was
    // being committed may hold some of it already: then it holds more than
    // the queue's length counts, and the batch is left to the store.
    // A shared queue's window takes only claimed messages.
    const bool intoWindow = !m_claims && windowHoldsAll() && m_window.size() + messages.size() <= windowBatch;
    for (Sms& sms : messages) {
        traceAs("SmsQue", "%s( %s, %s, %s, %s )\n", "appendSms", sms.target(), sms.source(), sms.message(),
                sms.remoteAddr());
        if (intoWindow) m_window.push_back(std::move(sms));
    }
    if (intoWindow && !messages.empty()) m_position = last;
    m_size += static_cast<long>(messages.size());
    return static_cast<int>(m_size);
}

int SmsQueStored::appendAll(std::vector<Sms>& messages, long limit, AnswerToKeep* answer) {
    PendingBatch mine;
    mine.messages = &messages;
    mine.limit = limit;
    mine.answer = answer;
    bool committer = false;
    {
        qpthr::QpLock guard(m_groupMutex);
        m_waiting.push_back(&mine);
        while (!mine.done && m_committing) m_groupDone.Wait();
        // Not taken by the commit that just ended: this call commits the
        // group it is in.
        committer = !mine.done;
        if (committer) m_committing = true;
    }
    if (committer) commitWaiting();
    // Each caller throws its own copy: an exception object shared between
    // threads would be released by whichever finishes last.
    if (mine.failure) throw StoreError(*mine.failure);
    return mine.length;
}

size_t SmsQueStored::batchesWaiting() {
    qpthr::QpLock guard(m_groupMutex);
    return m_waiting.size();
}

void SmsQueStored::commitWaiting() {
    std::vector<PendingBatch*> group;
    {
        qpthr::QpLock guard(m_groupMutex);
        group.swap(m_waiting);
    }
    // The queue's lock is not held during the commit, so that the senders
    // keep taking messages meanwhile. They only shorten the queue, so the
    // limits checked against its length before the commit still hold.
    m_mutex.Lock();
    const int before = getSizeSafe();
    m_commitUnaccounted = true;
    m_mutex.Unlock();

    // In the order of arrival; a batch that would pass its limit is refused
    // on its own.
    long length = before;
    std::vector<PendingBatch*> accepted;
    // Each accepted call's answer, with where its messages are in the batch.
    std::vector<AnswerToKeep*> answers;
    for (PendingBatch* batch : group) {
        const long size = static_cast<long>(batch->messages->size());
        if (length + size > batch->limit) {
            batch->length = -1;
            continue;
        }
        if (batch->answer != nullptr) {
            batch->answer->first = static_cast<size_t>(length - before);
            batch->answer->count = static_cast<size_t>(size);
            answers.push_back(batch->answer);
        }
        length += size;
        batch->length = static_cast<int>(length);
        accepted.push_back(batch);
    }
    std::optional<std::string> failure;
    std::vector<Sms> all;
    int64_t last = 0;
    try {
        if (accepted.size() == 1) {
            last = m_store.enqueue(*accepted.front()->messages, answers);
        } else if (accepted.size() > 1) {
            all.reserve(static_cast<size_t>(length - before));
            for (PendingBatch* batch : accepted) {
                for (Sms& sms : *batch->messages) all.push_back(std::move(sms));
            }
            try {
                last = m_store.enqueue(all, answers);
            } catch (...) {
                // Nothing was queued: the callers get their messages back.
                auto next = all.begin();
                for (PendingBatch* batch : accepted) {
                    for (Sms& sms : *batch->messages) sms = std::move(*next++);
                }
                throw;
            }
            // The callers' messages, whose content went into the batch, get
            // the ids the store gave it.
            auto stored = all.begin();
            for (PendingBatch* batch : accepted) {
                for (Sms& sms : *batch->messages) sms.setId((stored++)->id());
            }
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }

    m_mutex.Lock();
    const bool wasEmpty = getSizeSafe() == 0;
    if (!failure && length > before) {
        if (accepted.size() == 1) {
            takeStoredBatchSafe(*accepted.front()->messages, last);
        } else {
            takeStoredBatchSafe(all, last);
        }
    }
    m_commitUnaccounted = false;
    m_accounted.Broadcast();
    m_mutex.Unlock();
    if (!failure && length > before) {
        m_cond.Broadcast();
        if (wasEmpty) notify();
    }
    qpthr::QpLock guard(m_groupMutex);
    for (PendingBatch* batch : accepted) batch->failure = failure;
    for (PendingBatch* batch : group) batch->done = true;
    m_committing = false;
    m_groupDone.Broadcast();
}

int SmsQueStored::appendSmsSafe(Sms& sms) {
    // A message stored at the back now comes behind the batch being
    // committed: the window must have taken that batch before it.
    while (m_commitUnaccounted) m_accounted.Wait();
    const bool intoWindow = !m_claims && windowHoldsAll() && m_window.size() < windowBatch;
    bool stored = true;
    int64_t position = 0;
    try {
        if (sms.id() == 0) {
            std::vector<Sms> one{sms};
            position = m_store.enqueue(one);
            sms.setId(one.front().id());
        } else {
            position = m_store.requeue(sms.id(), false);
        }
    } catch (const StoreError& e) {
        storeFailed("Cannot store a queued message", e.what());
        stored = false;
    }
    // A message the store did not take stays in memory, or it would be lost.
    if (intoWindow || !stored) m_window.push_back(std::move(sms));
    if (intoWindow && stored) m_position = position;
    return static_cast<int>(++m_size);
}

int SmsQueStored::insertSmsSafe(Sms& sms) {
    // Front positions lie before every position read so far: the message is
    // never read from the store again while it is in the window.
    try {
        if (sms.id() == 0) {
            std::vector<Sms> one{sms};
            m_store.enqueue(one);
            sms.setId(one.front().id());
        }
        m_store.requeue(sms.id(), true);
    } catch (const StoreError& e) {
        storeFailed("Cannot store a message put back into the queue", e.what());
    }
    m_window.push_front(std::move(sms));
    return static_cast<int>(++m_size);
}

bool SmsQueStored::getSmsSafe(Sms& sms) {
    if (m_window.empty() && m_size > 0) {
        try {
            std::vector<Sms> next =
                m_claims ? m_store.claimQueued(windowBatch, false) : m_store.nextQueued(m_position, windowBatch);
            for (Sms& claimed : next) m_window.push_back(std::move(claimed));
        } catch (const StoreError& e) {
            readFailed(e);
            return false;
        }
        // Other daemons may have queued more than this one counted.
        if (m_claims && static_cast<long>(m_window.size()) > m_size) m_size = static_cast<long>(m_window.size());
        // The store holds fewer than counted (a row changed outside): the
        // count follows the store.
        if (m_window.empty()) m_size = 0;
    }
    if (m_window.empty()) return false;
    sms = std::move(m_window.front());
    m_window.pop_front();
    --m_size;
    return true;
}

int SmsQueStored::getSizeSafe() { return static_cast<int>(m_size); }

void SmsQueStored::takeUpSharedQueue() {
    if (!m_claims) return;
    bool added = false;
    bool wasEmpty = false;
    {
        qpthr::QpLock guard(m_mutex);
        wasEmpty = m_size == 0;
        try {
            // Put back at the front, they come before every message the
            // window holds.
            std::vector<Sms> front = m_store.claimQueued(windowBatch, true);
            for (auto sms = front.rbegin(); sms != front.rend(); ++sms) m_window.push_front(std::move(*sms));
            m_size += static_cast<long>(front.size());
            added = !front.empty();
            if (m_size == 0 && !m_commitUnaccounted) {
                m_size = m_store.unclaimedCount();
                added = added || m_size > 0;
            }
        } catch (const StoreError& e) {
            readFailed(e);
        }
    }
    if (!added) return;
    m_cond.Broadcast();
    if (wasEmpty) notify();
}

void SmsQueStored::forgetClaims() {
    if (!m_claims) return;
    qpthr::QpLock guard(m_mutex);
    // A message the store did not take (no id) is nowhere else: it stays.
    // The others are counted on as queued in the store, to be claimed again.
    m_window.erase(std::remove_if(m_window.begin(), m_window.end(), [](const Sms& sms) { return sms.id() != 0; }),
                   m_window.end());
}
