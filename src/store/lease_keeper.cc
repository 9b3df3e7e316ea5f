#include "lease_keeper.h"

#include <algorithm>

#include "logger.h"
#include "stop_signal.h"
#include "store.h"
#include "stored_queue.h"
#include "trace.h"

LeaseKeeper::LeaseKeeper(Store& store, SmsQueStored& queue, Logger& errorLog, StopSignal& stopSignal,
                         const std::string& node, int leaseSeconds)
    : qpthr::QpThread(0, 0, nullptr, 0),
      m_store(store),
      m_queue(queue),
      m_errorLog(errorLog),
      m_stopSignal(stopSignal),
      m_node(node),
      m_period(std::min<long>(500, leaseSeconds * 1000L / 3)) {}

LeaseKeeper::~LeaseKeeper() { Join(); }

void LeaseKeeper::Main() {
    traceAs(GetName(), "Main\n");
    while (!m_stopSignal.stopping()) {
        keepOnce();
        m_stopSignal.waitFor(m_period);
    }
}

void LeaseKeeper::keepOnce() {
    bool held = true;
    try {
        held = m_store.renewLease();
    } catch (const StoreError& e) {
        if (!m_failing) m_errorLog.write(std::string("ERROR: ") + e.what() + ", the lease is not renewed", 'e');
        m_failing = true;
        return;
    }
    if (m_failing) m_errorLog.write("Store: the lease of node " + m_node + " is renewed again", 'i');
    m_failing = false;
    if (!held) {
        m_errorLog.write("ERROR: Store: the lease of node " + m_node +
                             " ran out before it was renewed (Store/LeaseSeconds); its claimed messages went back "
                             "to the queue, and those it was sending may be sent twice",
                         'e');
        m_queue.forgetClaims();
    }
    m_queue.takeUpSharedQueue();
}
