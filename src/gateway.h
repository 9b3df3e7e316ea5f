// The daemon's parts and their lifetimes. main() reads the Config, opens the
// three logs and hands them to a Gateway with the stop signal, which opens
// the store (unless Store/Type is memory) and takes up what it holds, then
// creates the counters, the sent-message registry, the send queue, the received-SMS
// processor, the e-mailer, the shutdown thread and the sender manager with
// its senders (in the order of Senders/Order), in this order, hands each part the others it works with, and
// destroys them in reverse order, on every exit path: the threads that use a
// part end before it goes.
//
// Everything here runs on main's thread.
#ifndef KST_GATEWAY_H
#define KST_GATEWAY_H

#include <memory>

#include "config.h"
#include "counters.h"
#include "sent_message.h"

class DeferredRecords;
class Emailer;
class LeaseKeeper;
class Logger;
class Shutdowner;
class SmsProcessing;
class SmsQue;
class SmsSendManager;
class SmsSenderEmi;
class SmsSenderMe;
class SmsSenderSmpp;
class StopSignal;
class Store;

class Gateway {
public:
    // Creates every part from `config`; no thread starts yet. A store that
    // cannot be opened ends the start with an error record (exit code 1).
    // Recovery: messages submitted and not acknowledged go back to the front
    // of the queue, acknowledged ones wait in the registry for their
    // notification again; one error record counts them.
    // `stopSignal` ends every thread of the parts; it must outlive them.
    Gateway(const Config& config, StopSignal& stopSignal, std::unique_ptr<Logger> errorLog,
            std::unique_ptr<Logger> accessLog, std::unique_ptr<Logger> receiveLog);
    // Joins and destroys every part that is still there, in reverse order.
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Starts the threads: the senders, the manager, the e-mailer, the
    // shutdown thread and the processor.
    void start();
    // Waits for the stop request, then joins and destroys the threads'
    // parts in reverse order of creation: the manager with its senders, the
    // shutdown thread, the e-mailer and the processor. The logs and the queue
    // stay for the stop records.
    void joinThreads();

    Logger& errorLog() { return *m_errorLog; }
    SmsQue& queue() { return *m_queue; }
    SmsSendManager* manager() { return m_manager.get(); }
    SmsProcessing* processing() { return m_processing.get(); }
    Emailer* emailer() { return m_emailer.get(); }
    // Counted by the submissions and read by the statistics, on the ORB's
    // and the HTTP server's threads.
    Counters& counters() { return m_counters; }
    // Null with Store/Type memory.
    Store* store() { return m_store.get(); }
    const SentMessageRegistry& sentMessages() const { return m_sentMessages; }

private:
    // Destroyed in reverse order of declaration.
    std::unique_ptr<Logger> m_errorLog;
    std::unique_ptr<Logger> m_accessLog;
    std::unique_ptr<Logger> m_receiveLog;

    // Shared by the parts below, which are handed them at construction.
    StopSignal& m_stopSignal;
    // Null with Store/Type memory.
    std::unique_ptr<Store> m_store;
    // A shared store's (null otherwise): the senders' records kept while
    // its database is away.
    std::unique_ptr<DeferredRecords> m_deferred;
    Counters m_counters;
    SentMessageRegistry m_sentMessages;

    std::unique_ptr<SmsQue> m_queue;
    // A shared store's (null otherwise): keeps the lease of this daemon's
    // claims while it runs.
    std::unique_ptr<LeaseKeeper> m_leaseKeeper;
    std::unique_ptr<SmsProcessing> m_processing;
    std::unique_ptr<Emailer> m_emailer;
    std::unique_ptr<Shutdowner> m_shutdowner;
    std::unique_ptr<SmsSendManager> m_manager;
    // Owned by the manager; null without their section.
    SmsSenderEmi* m_smscSender = nullptr;
    SmsSenderMe* m_modemSender = nullptr;
    SmsSenderSmpp* m_smppSender = nullptr;

    // Puts the acknowledged messages that wait for their notification back
    // into the registry, each with the sender that submitted it.
    size_t restoreRegistry();
    // Start-up recovery: the pending confirmations go to the e-mailer, the
    // received messages not processed yet to the processor; their numbers.
    void restoreWork(size_t& confirmations, size_t& received);
    // The manager's cycle task: gives up notifications past the timeout and
    // deletes the finished messages past Store/KeepDays.
    void sweep();
    const long m_notificationTimeout;
    const long m_keepDays;
};

#endif
