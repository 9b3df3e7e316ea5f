// The senders' records of submissions and results while the database is
// away: what the store could not take because its database cannot be
// reached (StoreError::unavailable()) is kept in memory, in order, and
// written once it is back, each record once, before any record made after
// it. A message's submission and result therefore reach the store in the
// order they happened, and a result read while the database is away is not
// lost with the connection to the SMSC.
//
// Any thread. The lock is held while the store is called (order: this lock,
// then the store's); it calls nothing else.
#ifndef KST_STORE_DEFERRED_RECORDS_H
#define KST_STORE_DEFERRED_RECORDS_H

#include <stddef.h>

#include <deque>
#include <functional>

#include "qpthr.h"

class Store;

class DeferredRecords {
public:
    // A record: it writes to the store and owns what it writes (captured
    // by value), for it may run later on another thread.
    using Record = std::function<void(Store&)>;

    // `store` must outlive this.
    explicit DeferredRecords(Store& store);

    // Writes the records still waiting, then `record`; when the database is
    // away, keeps what is not written and returns false. Throws the
    // StoreError of any other failure (nothing of `record` is kept then).
    bool record(Record record) EXCLUDES(m_mutex);
    // Writes the records waiting, in order, until the database is away;
    // the number written. Throws as record() does, keeping the failed one.
    size_t flush() EXCLUDES(m_mutex);
    // Records waiting.
    size_t waiting() EXCLUDES(m_mutex);

private:
    size_t flushLocked() REQUIRES(m_mutex);

    Store& m_store;
    qpthr::QpMutex m_mutex;
    std::deque<Record> m_waiting GUARDED_BY(m_mutex);
};

#endif
