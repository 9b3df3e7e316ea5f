// The thread that keeps a shared store's lease: it renews this daemon's
// lease, which also returns the claims of daemons whose lease ran out to
// the queue, and has the queue take up what is waiting in the store. It
// renews a third of a lease after the last renewal at the latest, and
// looks at least twice a second, so that a dead daemon's claims are sent
// within about half a second after its lease ran out.
#ifndef KST_STORE_LEASE_KEEPER_H
#define KST_STORE_LEASE_KEEPER_H

#include <chrono>
#include <string>

#include "qpthr.h"

class Logger;
class SmsQueStored;
class StopSignal;
class Store;

class LeaseKeeper : public qpthr::QpThread {
public:
    // `store`, `queue`, `errorLog` and `stopSignal` must outlive the
    // keeper; `node` names this daemon in the error log.
    LeaseKeeper(Store& store, SmsQueStored& queue, Logger& errorLog, StopSignal& stopSignal, const std::string& node,
                int leaseSeconds);
    ~LeaseKeeper() override;

    // Until the stop: keepOnce(), then a pause.
    void Main() override;
    // One renewal and look at the queue. A failure is written to the error
    // log once, until a renewal succeeds again. The keeper's thread (or a
    // test's, with the thread not started).
    void keepOnce();

private:
    Store& m_store;
    SmsQueStored& m_queue;
    Logger& m_errorLog;
    StopSignal& m_stopSignal;
    const std::string m_node;
    const std::chrono::milliseconds m_period;
    // The last renewal failed. The keeper's thread only.
    bool m_failing = false;
};

#endif
