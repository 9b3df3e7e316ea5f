// The send queue kept in the store: every queued message is a row, and only
// a bounded window of the queue's head is held in memory; the rest is read
// from the store in batches as the window empties, so that a long queue
// costs disk, not memory.
//
// The queue's lock is held while it calls the store and, on a failure, the
// error log; both locks are leaves, so the order is always queue, then
// store or log.
//
// A store whose queue several daemons share (Store::sharesQueue()) is read
// by claiming: the window holds only messages this daemon claimed, filled
// by Store::claimQueued() when it empties; a message stored at the back
// goes to the shared queue, not into the window, and the queue's length is
// the window's plus the unclaimed messages last seen in the store.
// takeUpSharedQueue(), called periodically by the lease keeper, claims the
// messages another daemon's expired lease put back at the front and sees
// messages that other daemons queued.
//
// Group commit: concurrent appendAll() calls (the servant's threads) share
// one transaction. A call joins the group that waits for the next commit;
// the first caller that finds no commit in progress becomes the committer:
// it takes every batch waiting, stores them in one transaction, in the
// order they arrived, then takes the queue's lock to add them to the queue,
// and releases their callers. What arrives meanwhile forms the next group.
// The queue's lock is not held during the commit, so the senders take
// messages meanwhile; a message put back at the back waits until the batch
// is added. Lock order: the queue's lock, then m_groupMutex (a leaf: held
// only to join, take or release a group).
#ifndef KST_STORE_STORED_QUEUE_H
#define KST_STORE_STORED_QUEUE_H

#include <stdint.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sms.h"

class Logger;
class Store;
class StoreError;

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
    // As SmsQue::appendAll, with concurrent calls committed together (see
    // above). A failed commit throws its StoreError in every call of its
    // group, none of whose messages is queued; the calls of other groups
    // are not affected. The limit counts the batches committed before in
    // the same group. A call's answer goes into its group's transaction; a
    // call refused for the limit keeps none. Any thread.
    int appendAll(std::vector<Sms>& messages, long limit, AnswerToKeep* answer = nullptr) override
        EXCLUDES(m_mutex, m_groupMutex);

    // Batches waiting for the next commit (for the tests).
    size_t batchesWaiting() EXCLUDES(m_groupMutex);

    // A shared queue's periodic look at the store (see above): the messages
    // put back at the front of the shared queue are claimed at once and come
    // before the window; an idle queue takes up what other daemons queued.
    // Wakes the senders when there is something. The lease keeper's thread.
    void takeUpSharedQueue() EXCLUDES(m_mutex);
    // This daemon's claims were returned to the shared queue (its lease ran
    // out): the window's messages may be sent by another daemon, so they
    // are left to the queue. The lease keeper's thread.
    void forgetClaims() EXCLUDES(m_mutex);

private:
    // One appendAll() call waiting in a group; lives on its caller's stack.
    struct PendingBatch {
        std::vector<Sms>* messages = nullptr;
        long limit = 0;
        AnswerToKeep* answer = nullptr;
        // Set by the committer, under m_groupMutex.
        bool done = false;
        int length = 0;
        std::optional<std::string> failure;
    };

    // The committer's part: stores every batch waiting in one transaction
    // and releases their callers.
    void commitWaiting() EXCLUDES(m_mutex, m_groupMutex);
    // appendBatchSafe() with the answers to keep in the same transaction.
    int storeBatchSafe(std::vector<Sms>& messages, const std::vector<AnswerToKeep*>& answers) REQUIRES(m_mutex);
    // Adds a batch the store holds, the last at `last`, to the queue.
    int takeStoredBatchSafe(std::vector<Sms>& messages, int64_t last) REQUIRES(m_mutex);
    // Whether every queued message is in the window.
    bool windowHoldsAll() const REQUIRES(m_mutex) { return static_cast<long>(m_window.size()) == m_size; }
    void storeFailed(const char* doing, const char* what) REQUIRES(m_mutex);
    // A failed read of the queue, to be tried again.
    void readFailed(const StoreError& e) REQUIRES(m_mutex);

    // Collaborators, from the constructor.
    Store& m_store;
    Logger* m_errorLog;
    // The store's queue is shared, read by claiming.
    const bool m_claims;

    // The head of the queue, in order; the messages behind it are in the
    // store only, at positions after m_position.
    std::deque<Sms> m_window GUARDED_BY(m_mutex);
    int64_t m_position GUARDED_BY(m_mutex);
    // Queued messages, the window's included.
    long m_size GUARDED_BY(m_mutex);
    // A group is committed and not yet added to the queue; m_accounted
    // (on the queue's lock) is signalled when it is.
    bool m_commitUnaccounted GUARDED_BY(m_mutex) = false;
    qpthr::QpCond m_accounted;

    // The group forming for the next commit, in the order of arrival, and
    // whether a committer is at work; m_groupDone is signalled when a
    // commit ends.
    qpthr::QpMutex m_groupMutex ACQUIRED_AFTER(m_mutex);
    qpthr::QpCond m_groupDone;
    std::vector<PendingBatch*> m_waiting GUARDED_BY(m_groupMutex);
    bool m_committing GUARDED_BY(m_groupMutex) = false;
};

#endif
