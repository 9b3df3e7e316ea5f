// The send queue kept in the store: every queued message is a row, and only
// a bounded window of the queue's head is held in memory; the rest is read
// from the store in batches as the window empties, so that a long queue
// costs disk, not memory.
//
// The queue's lock is held while it calls the store and, on a failure, the
// error log; both locks are leaves, so the order is always queue, then
// store or log.
#ifndef KST_STORE_STORED_QUEUE_H
#define KST_STORE_STORED_QUEUE_H

#include <stdint.h>

#include <deque>

#include "sms.h"

class Logger;
class Store;

class SmsQueStored : public SmsQue {
public:
    // Messages read from the store into the window at a time.
    static constexpr size_t windowBatch = 1000;

    // Takes up the messages the store holds queued. `store` and `errorLog`
    // (null: no records) must outlive the queue.
    SmsQueStored(Store& store, Logger* errorLog, StopSignal& stopSignal);

    // A message with an id goes back into the queue (front or back); a
    // message without one is stored first. Should the store fail, the
    // message stays queued in memory, with an error record; its row keeps
    // its former state and start-up recovery takes it up from there.
    int appendSmsSafe(Sms& sms) override REQUIRES(m_mutex);
    int insertSmsSafe(Sms& sms) override REQUIRES(m_mutex);
    bool getSmsSafe(Sms& sms) override REQUIRES(m_mutex);
    int getSizeSafe() override REQUIRES(m_mutex);
    // Stores the batch in one transaction; throws StoreError with nothing
    // queued when the store cannot take it.
    int appendBatchSafe(std::vector<Sms>& messages) override REQUIRES(m_mutex);

private:
    // Whether every queued message is in the window.
    bool windowHoldsAll() const REQUIRES(m_mutex) { return static_cast<long>(m_window.size()) == m_size; }
    void storeFailed(const char* doing, const char* what) REQUIRES(m_mutex);

    // Collaborators, from the constructor.
    Store& m_store;
    Logger* m_errorLog;

    // The head of the queue, in order; the messages behind it are in the
    // store only, at positions after m_position.
    std::deque<Sms> m_window GUARDED_BY(m_mutex);
    int64_t m_position GUARDED_BY(m_mutex);
    // Queued messages, the window's included.
    long m_size GUARDED_BY(m_mutex);
};

#endif
