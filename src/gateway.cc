#include "gateway.h"

#include <utility>

#include "deferred_records.h"
#include "emailer.h"
#include "lease_keeper.h"
#include "logger.h"
#include "shutdown.h"
#include "sms.h"
#include "postgres_store.h"
#include "sms_processing.h"
#include "sms_send_manager.h"
#include "sms_sender_emi.h"
#include "sms_sender_me.h"
#include "sms_sender_smpp.h"
#include "sqlite_store.h"
#include "stored_queue.h"
#include "trace.h"

namespace {

// Hands the hiding flags that are on to the manager, which passes them to
// every sender registered afterwards.
void applyHideSettings(const HideSettings& hide, SmsSendManager& manager) {
    if (hide.accessLogIp) manager.setAccessLogHideIp(true);
    if (hide.accessLogDestinationAddress) manager.setAccessLogHideDestinationAddress(true);
    if (hide.accessLogUserData) manager.setAccessLogHideUserData(true);
    if (hide.accessLogEmail) manager.setAccessLogHideEmail(true);
    if (hide.errorLogDestinationAddress) manager.setErrorLogHideDestinationAddress(true);
    if (hide.errorLogUserData) manager.setErrorLogHideUserData(true);
    if (hide.receiveLogOriginatingAddress) manager.setReceiveLogHideOriginatingAddress(true);
    if (hide.receiveLogDestinationAddress) manager.setReceiveLogHideDestinationAddress(true);
    if (hide.receiveLogUserData) manager.setReceiveLogHideUserData(true);
}

std::unique_ptr<SmsSenderMe> createModemSender(const ModemSettings& modem, const SenderContext& context) {
    auto sender = std::make_unique<SmsSenderMe>(modem.device.c_str(), modem.baudRate.c_str(), modem.pin,
                                                modem.receiveAllSms, context, modem.sendTimeout, modem.pinStateFile);
    sender->SetName("Sender thread(ME)");
    return sender;
}

std::unique_ptr<SmsSenderEmi> createSmscSender(const SmscSettings& smsc, const SenderContext& context) {
    auto sender = std::make_unique<SmsSenderEmi>(
        smsc.address.c_str(), smsc.port, smsc.laid.c_str(), smsc.password.c_str(), smsc.windowSize, smsc.throughput,
        smsc.originatingAddress.c_str(), smsc.alertAddress.c_str(), smsc.alertTimeout, context);
    sender->SetName("Sender thread(EMI)");
    sender->setRetryRefused(smsc.retryRefused);
    if (smsc.reconnectPauseMs >= 0) sender->setReconnectPause(smsc.reconnectPauseMs);
    return sender;
}

std::unique_ptr<SmsSenderSmpp> createSmppSender(const SmppSettings& smpp, const SenderContext& context) {
    auto sender = std::make_unique<SmsSenderSmpp>(smpp, context);
    sender->SetName("Sender thread(SMPP)");
    return sender;
}

// Joins the thread of `part` between the two trace lines and destroys it.
template <class Part>
void joinAndDestroy(std::unique_ptr<Part>& part, const char* name) {
    if (!part) return;
    trace("waiting for %s...\n", name);
    part->Join();
    trace("%s joined.\n", name);
    part.reset();
}

}  // namespace

Gateway::Gateway(const Config& config, StopSignal& stopSignal, std::unique_ptr<Logger> errorLog,
                 std::unique_ptr<Logger> accessLog, std::unique_ptr<Logger> receiveLog)
    : m_errorLog(std::move(errorLog)),
      m_accessLog(std::move(accessLog)),
      m_receiveLog(std::move(receiveLog)),
      m_stopSignal(stopSignal),
      m_notificationTimeout(config.store.notificationTimeout),
      m_keepDays(config.store.keepDays) {
    long unacknowledged = 0;
    if (!config.store.inMemory) {
        try {
            std::unique_ptr<Store> store;
            if (config.store.postgresql) {
                store = std::make_unique<PostgresStore>(config.store.connection, config.store.node,
                                                        static_cast<int>(config.store.leaseSeconds));
            } else {
                store = std::make_unique<SqliteStore>(config.store.path, config.store.fullSync);
            }
            unacknowledged = store->requeueUnacknowledged();
            m_store = std::move(store);
            auto queue = std::make_unique<SmsQueStored>(*m_store, m_errorLog.get(), stopSignal);
            if (m_store->sharesQueue()) {
                m_deferred = std::make_unique<DeferredRecords>(*m_store);
                m_leaseKeeper =
                    std::make_unique<LeaseKeeper>(*m_store, *queue, m_deferred.get(), *m_errorLog, stopSignal,
                                                  config.store.node, static_cast<int>(config.store.leaseSeconds));
                m_leaseKeeper->SetName("Lease keeper");
            }
            m_queue = std::move(queue);
        } catch (const StoreError& e) {
            const std::string record = std::string(e.what()) + ", exiting";
            report(m_errorLog.get(), 'i', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
            exit(1);
        }
    } else {
        m_queue = std::make_unique<SmsQueMemory>(stopSignal);
    }
    m_processing = std::make_unique<SmsProcessing>(m_stopSignal);
    m_processing->SetName("SMS processing");
    m_processing->setExecutables(config.executables);

    m_emailer = std::make_unique<Emailer>(config.smtpHost, config.smtpPort, config.smtpFrom, config.smtpSubject,
                                          config.smtpBody, m_errorLog.get(), m_counters, m_stopSignal);
    m_emailer->SetName("Emailer thread");
    m_processing->setStore(m_store.get(), m_errorLog.get());
    m_processing->setConcatenation(static_cast<int>(config.concatenationTimeout), m_receiveLog.get(),
                                   config.hide.receiveLogOriginatingAddress);
    m_emailer->setStore(m_store.get());
    if (m_leaseKeeper) m_leaseKeeper->setWorkTakers(m_emailer.get(), m_processing.get());

    m_shutdowner = std::make_unique<Shutdowner>(m_stopSignal);
    m_shutdowner->SetName("Shutdown thread");

    m_manager = std::make_unique<SmsSendManager>(m_stopSignal);
    m_manager->SetName("SMS Send Manager");
    if (config.managerCycleMs >= 0) m_manager->setCycleLength(config.managerCycleMs);
    applyHideSettings(config.hide, *m_manager);
    SenderContext context{*m_queue,           m_sentMessages, m_counters,       m_emailer.get(),
                          m_processing.get(), m_stopSignal,   m_errorLog.get(), m_accessLog.get(),
                          m_receiveLog.get(), m_store.get(),  m_deferred.get()};
    context.text = config.text;
    // The order of registration (Senders/Order) is the order of preference
    // and of the devices in the statistics.
    for (const std::string& name : config.senderOrder) {
        if (name == "smpp" && config.smpp) {
            auto sender = createSmppSender(*config.smpp, context);
            m_smppSender = sender.get();
            m_manager->registerSmsSender(std::move(sender));
        } else if (name == "emi" && config.smsc) {
            auto sender = createSmscSender(*config.smsc, context);
            m_smscSender = sender.get();
            m_manager->registerSmsSender(std::move(sender));
        } else if (name == "me" && config.modem) {
            auto sender = createModemSender(*config.modem, context);
            m_modemSender = sender.get();
            m_manager->registerSmsSender(std::move(sender));
        }
    }
    if (m_store) {
        const size_t awaiting = restoreRegistry();
        size_t confirmations = 0;
        size_t received = 0;
        restoreWork(confirmations, received);
        const std::string record = "Recovered " + std::to_string(m_queue->size() - unacknowledged) + " queued, " +
                                   std::to_string(unacknowledged) + " unacknowledged, " +
                                   std::to_string(confirmations) + " confirmations, " + std::to_string(received) +
                                   " received messages";
        m_errorLog->write(record, 'i');
        trace("%s; %zu acknowledged messages wait for their notification\n", record.c_str(), awaiting);
    }
    m_manager->setCycleTask([this] { sweep(); });
}

size_t Gateway::restoreRegistry() {
    std::vector<SubmittedMessage> awaiting;
    try {
        awaiting = m_store->awaitingNotification();
    } catch (const StoreError& e) {
        const std::string record = std::string(e.what()) + ", exiting";
        report(m_errorLog.get(), 'i', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
        exit(1);
    }
    size_t restored = 0;
    for (const SubmittedMessage& message : awaiting) {
        const SmsSender* owner = nullptr;
        if (m_smscSender != nullptr && message.sender == m_smscSender->GetName()) owner = m_smscSender;
        if (m_modemSender != nullptr && message.sender == m_modemSender->GetName()) owner = m_modemSender;
        if (m_smppSender != nullptr && message.sender == m_smppSender->GetName()) owner = m_smppSender;
        // Without its sender nothing can match it: the sweep gives it up.
        if (owner == nullptr) continue;
        // An SMSC's transaction id (or an SMPP window slot) belongs to the
        // closed connection; a
        // modem's reference is what its status report quotes.
        const int reference = owner == m_modemSender ? message.reference : 0;
        SentMessage entry(message.sms, static_cast<unsigned char>(reference), message.submissions, owner);
        entry.m_awaitedReferences.clear();
        entry.m_acknowledged = true;
        entry.m_sysMsg = message.sysMsg;
        entry.m_timestamp = message.submittedAt;
        m_sentMessages.append(entry);
        ++restored;
    }
    return restored;
}

void Gateway::restoreWork(size_t& confirmations, size_t& received) {
    std::vector<StoredConfirmation> pending;
    std::vector<StoredReceived> waiting;
    try {
        pending = m_store->pendingConfirmations();
        waiting = m_store->unprocessedReceived();
        m_processing->resumeParts(m_store->waitingReceivedParts());
    } catch (const StoreError& e) {
        const std::string record = std::string(e.what()) + ", exiting";
        report(m_errorLog.get(), 'i', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
        exit(1);
    }
    handOverStoredWork(pending, waiting, *m_emailer, *m_processing);
    confirmations = pending.size();
    received = waiting.size();
}

void Gateway::sweep() {
    const time_t now = time(nullptr);
    for (const SentMessage& entry : m_sentMessages.takeExpired(now, m_notificationTimeout)) {
        bool expired = true;
        if (m_store) {
            try {
                // False: another daemon sharing the store got its
                // notification; nothing expired.
                expired = m_store->markExpired(entry.m_sms.id(), now);
            } catch (const StoreError& e) {
                m_errorLog->write(std::string("ERROR: ") + e.what(), 'e');
            }
        }
        if (!expired) continue;
        m_errorLog->write("Store: no delivery notification for message " + std::to_string(entry.m_sms.id()) +
                              " within " + std::to_string(m_notificationTimeout) +
                              " s (Store/NotificationTimeout), no longer waiting for it",
                          'e');
    }
    if (!m_store) return;
    try {
        m_store->sweepFinished(now - static_cast<time_t>(m_keepDays) * 86400);
    } catch (const StoreError& e) {
        // The sweep comes with every cycle of the manager: while the
        // database is away, the store's own records say so once.
        if (!e.unavailable()) m_errorLog->write(std::string("ERROR: ") + e.what(), 'e');
    }
}

Gateway::~Gateway() { joinThreads(); }

void Gateway::start() {
    if (m_smppSender) {
        trace("Starting SMS sender thread SMPP\n");
        m_smppSender->Start();
    }
    if (m_smscSender) {
        trace("Starting SMS sender thread EMI\n");
        m_smscSender->Start();
    }
    if (m_modemSender) {
        trace("Starting SMS sender thread ME\n");
        m_modemSender->Start();
    }
    if (m_leaseKeeper) {
        trace("Starting lease keeper thread\n");
        m_leaseKeeper->Start();
    }
    trace("Starting Sender Manager thread\n");
    m_manager->Start();
    trace("Starting emailer thread\n");
    m_emailer->Start();
    trace("Starting shutdowner thread\n");
    m_shutdowner->Start();
    trace("Starting SMS processing thread\n");
    m_processing->Start();
}

void Gateway::joinThreads() {
    // The manager joins its own thread and then every sender, with their
    // lines; its thread ends at the stop.
    m_smscSender = nullptr;
    m_modemSender = nullptr;
    m_smppSender = nullptr;
    m_manager.reset();
    const bool shared = m_leaseKeeper != nullptr;
    joinAndDestroy(m_leaseKeeper, "Lease keeper");
    joinAndDestroy(m_shutdowner, "Shutdowner");
    joinAndDestroy(m_emailer, "Emailer");
    joinAndDestroy(m_processing, "SMS processor");
    // The senders, the e-mailer and the processor have ended (the callback
    // dispatcher before them): what this daemon claimed and did not finish
    // goes back to the shared store at once, for the other daemons.
    if (shared) {
        // Results kept while the database was away are written before the
        // claims go back, or their messages would be sent again.
        size_t unwritten = 0;
        try {
            m_deferred->flush();
            unwritten = m_deferred->waiting();
        } catch (const StoreError& e) {
            m_errorLog->write(std::string("ERROR: ") + e.what(), 'e');
            unwritten = m_deferred->waiting();
        }
        if (unwritten > 0) {
            m_errorLog->write("ERROR: Store: the database is away at the stop: " + std::to_string(unwritten) +
                                  " records of submissions and results are lost; their messages are sent again",
                              'e');
        }
        try {
            m_store->releaseClaims();
        } catch (const StoreError& e) {
            m_errorLog->write(std::string("ERROR: ") + e.what() + ", the claims return when the lease runs out", 'e');
        }
    }
}
