// The thread that keeps a shared store's lease: it renews this daemon's
// lease, which also returns the claims of daemons whose lease ran out to
// the queue, and has the queue take up what is waiting in the store. It
// renews a third of a lease after the last renewal at the latest, and
// looks at least twice a second, so that a dead daemon's claims are sent
// within about half a second after its lease ran out. In the same cycle
// it takes over the pending confirmations and received messages that no
// live daemon owns and hands them to this daemon's e-mailer and processor.
// It also writes the store's records about its connection (lost, back) to
// the error log, and the senders' records kept while the database was away
// to the store.
//
// Threads: the Gateway's constructor makes the keeper and calls
// setWorkTakers() before Start(); Main() and keepOnce() run on the
// keeper's own thread.
#ifndef KST_STORE_LEASE_KEEPER_H
#define KST_STORE_LEASE_KEEPER_H

#include <chrono>
#include <string>
#include <vector>

#include "qpthr.h"

class Emailer;
class DeferredRecords;
class Logger;
class SmsProcessing;
class SmsQueStored;
class StopSignal;
class Store;
struct StoredConfirmation;
struct StoredReceived;

class LeaseKeeper : public qpthr::QpThread {
public:
    // `store`, `queue`, `deferred` (may be null), `errorLog` and
    // `stopSignal` must outlive the keeper; `node` names this daemon in the
    // error log.
    LeaseKeeper(Store& store, SmsQueStored& queue, DeferredRecords* deferred, Logger& errorLog, StopSignal& stopSignal,
                const std::string& node, int leaseSeconds);
    ~LeaseKeeper() override;

    // Where the work taken over goes (both must outlive the keeper's
    // thread); without them none is taken. Before Start().
    void setWorkTakers(Emailer* emailer, SmsProcessing* processing);

    // Until the stop: keepOnce(), then a pause.
    void Main() override;
    // One renewal, look at the queue and take over work. A failure is
    // written to the error log once, until a renewal succeeds again (the
    // database being away, by the store's own records). The keeper's thread
    // (or a test's, with the thread not started).
    void keepOnce();

private:
    // The pending work that no live daemon owns, to this daemon's e-mailer
    // and processor.
    void takeOverWork();

    Store& m_store;
    SmsQueStored& m_queue;
    DeferredRecords* m_deferred;
    Logger& m_errorLog;
    StopSignal& m_stopSignal;
    Emailer* m_emailer = nullptr;
    SmsProcessing* m_processing = nullptr;
    const std::string m_node;
    const int m_leaseSeconds;
    const std::chrono::milliseconds m_period;
    // The last renewal that succeeded. The keeper's thread only.
    std::chrono::steady_clock::time_point m_renewedAt;
    // The last renewal failed; its failure was written; the failures lasted
    // longer than a lease. The keeper's thread only.
    bool m_failing = false;
    bool m_failureWritten = false;
    bool m_leaseOverdue = false;
};

// Hands confirmations to the e-mailer and received messages to the
// processor, as the store kept them: at start and when work is taken over.
// Any thread (both queues lock themselves).
void handOverStoredWork(const std::vector<StoredConfirmation>& confirmations,
                        const std::vector<StoredReceived>& received, Emailer& emailer, SmsProcessing& processing);

#endif
