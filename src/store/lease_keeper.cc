#include "lease_keeper.h"

#include <algorithm>

#include "emailer.h"
#include "deferred_records.h"
#include "logger.h"
#include "sms_processing.h"
#include "stop_signal.h"
#include "store.h"
#include "stored_queue.h"
#include "trace.h"

LeaseKeeper::LeaseKeeper(Store& store, SmsQueStored& queue, DeferredRecords* deferred, Logger& errorLog,
                         StopSignal& stopSignal, const std::string& node, int leaseSeconds)
    : qpthr::QpThread(0, 0, nullptr, 0),
      m_store(store),
      m_queue(queue),
      m_deferred(deferred),
      m_errorLog(errorLog),
      m_stopSignal(stopSignal),
      m_node(node),
      m_leaseSeconds(leaseSeconds),
      m_period(std::min<long>(500, leaseSeconds * 1000L / 3)),
      m_renewedAt(std::chrono::steady_clock::now()) {}

LeaseKeeper::~LeaseKeeper() { Join(); }

void LeaseKeeper::setWorkTakers(Emailer* emailer, SmsProcessing* processing) {
    m_emailer = emailer;
    m_processing = processing;
}

void LeaseKeeper::Main() {
    traceAs(GetName(), "Main\n");
    while (!m_stopSignal.stopping()) {
        keepOnce();
        m_stopSignal.waitFor(m_period);
    }
}

void LeaseKeeper::keepOnce() {
    bool held = true;
    std::string failure;
    bool unavailable = false;
    try {
        held = m_store.renewLease();
    } catch (const StoreError& e) {
        failure = e.what();
        unavailable = e.unavailable();
    }
    for (const StoreEvent& event : m_store.takeEvents()) m_errorLog.write(event.record, event.type);
    const auto now = std::chrono::steady_clock::now();
    if (!failure.empty()) {
        // The database being away is told by the store's records.
        if (!m_failing && !unavailable) {
            m_errorLog.write("ERROR: " + failure + ", the lease is not renewed", 'e');
            m_failureWritten = true;
        }
        m_failing = true;
        if (!m_leaseOverdue && now - m_renewedAt > std::chrono::seconds(m_leaseSeconds)) {
            m_leaseOverdue = true;
            m_errorLog.write("ERROR: Store: the lease of node " + m_node + " was not renewed for " +
                                 std::to_string(m_leaseSeconds) +
                                 " s (Store/LeaseSeconds); if other daemons reach the database meanwhile, they "
                                 "take over its claimed messages, and those it was sending may be sent twice",
                             'e');
        }
        return;
    }
    if (m_failureWritten) m_errorLog.write("Store: the lease of node " + m_node + " is renewed again", 'i');
    m_failing = false;
    m_failureWritten = false;
    m_leaseOverdue = false;
    m_renewedAt = now;
    if (m_deferred != nullptr) {
        try {
            const size_t written = m_deferred->flush();
            if (written > 0) {
                m_errorLog.write("Store: " + std::to_string(written) +
                                     " records of submissions and results kept while the database was away "
                                     "are written",
                                 'i');
            }
        } catch (const StoreError& e) {
            m_errorLog.write(std::string("ERROR: ") + e.what() + ", a kept record is dropped", 'e');
        }
    }
    if (!held) {
        m_errorLog.write("ERROR: Store: the lease of node " + m_node +
                             " ran out before it was renewed (Store/LeaseSeconds); its claimed messages went back "
                             "to the queue, and those it was sending may be sent twice",
                         'e');
        m_queue.forgetClaims();
    }
    m_queue.takeUpSharedQueue();
    takeOverWork();
}

void LeaseKeeper::takeOverWork() {
    if (m_emailer == nullptr || m_processing == nullptr) return;
    std::vector<StoredConfirmation> confirmations;
    std::vector<StoredReceived> received;
    try {
        m_store.takeOverWork(confirmations, received);
    } catch (const StoreError& e) {
        // Only after a renewal that succeeded: no failure is being reported.
        m_errorLog.write(std::string("ERROR: ") + e.what(), 'e');
        return;
    }
    if (confirmations.empty() && received.empty()) return;
    m_errorLog.write("Store: node " + m_node + " took over " + std::to_string(confirmations.size()) +
                         " confirmations and " + std::to_string(received.size()) +
                         " received messages that no live daemon owned",
                     'i');
    handOverStoredWork(confirmations, received, *m_emailer, *m_processing);
}

void handOverStoredWork(const std::vector<StoredConfirmation>& confirmations,
                        const std::vector<StoredReceived>& received, Emailer& emailer, SmsProcessing& processing) {
    for (const StoredConfirmation& stored : confirmations) {
        Confirmation confirmation(stored);
        emailer.enque(confirmation);
    }
    for (const StoredReceived& stored : received) {
        EnvironmentList variables;
        for (const auto& variable : stored.variables) variables.emplace_back(variable.first, variable.second);
        processing.resume(stored.id, variables);
    }
}
