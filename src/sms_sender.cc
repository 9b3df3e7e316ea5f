#include "sms_sender.h"

#include "counters.h"
#include "emailer.h"
#include "deferred_records.h"
#include "logger.h"
#include "sent_message.h"
#include "store.h"

namespace {

const char* const hidden = "<hidden>";

// A value from outside as its record line shows it.
std::string shown(const std::string& value, bool hide = false) { return hide ? hidden : Logger::escape(value); }

}  // namespace

const SenderClock& SenderClock::real() {
    static const SenderClock clock;
    return clock;
}

SmsSender::SmsSender(const SenderContext& context)
    : qpthr::QpThread(0, 0, nullptr, 0),
      m_connected(false),
      m_errorLog(context.errorLog),
      m_accessLog(context.accessLog),
      m_receiveLog(context.receiveLog),
      m_active(false),
      m_mutex(),
      m_context(context) {}

SmsSender::~SmsSender() { Join(); }

bool SmsSender::recordInStore(const char* doing, const std::function<void(Store&)>& record) {
    if (m_context.store == nullptr) return true;
    try {
        record(*m_context.store);
        return true;
    } catch (const StoreError& e) {
        report(m_errorLog, 'e', std::string("Store: cannot record ") + doing + ": " + e.what(), GetName(),
               std::string("cannot record ") + doing + ": " + e.what(), ConsoleStream::Error);
        return false;
    }
}

bool SmsSender::recordNotification(const SentMessage* entry, const std::vector<std::string>& sysMsgs, int status,
                                   time_t at, const ConfirmationMaker& makeConfirmation, bool& matched, Sms& message,
                                   bool& confirmed, Confirmation& confirmation) {
    matched = false;
    confirmed = false;
    // Submissions and results kept while the database was away go first:
    // before them the message would not look open, and its notification
    // would be taken as another daemon's. Until they are written the SMSC
    // is not answered and delivers the notification again.
    if (m_context.deferred != nullptr && m_context.deferred->waiting() > 0) {
        try {
            m_context.deferred->flush();
        } catch (const StoreError& e) {
            report(m_errorLog, 'e', std::string("Store: cannot record a kept record: ") + e.what(), GetName(),
                   std::string("cannot record a kept record: ") + e.what(), ConsoleStream::Error);
        }
        if (m_context.deferred->waiting() > 0) return false;
    }
    if (entry != nullptr) {
        Confirmation made;
        const bool confirm = makeConfirmation(entry->m_sms, made);
        bool settled = true;
        const bool recorded = recordInStore("a delivery notification", [&](Store& store) {
            if (!confirm) {
                settled = store.markNotified(entry->m_sms.id(), status, at);
                return;
            }
            StoredConfirmation stored = made.stored();
            settled = store.markNotifiedAndConfirm(entry->m_sms.id(), status, at, stored);
            made.m_storeId = stored.id;
        });
        if (!recorded) return false;
        matched = true;
        message = entry->m_sms;
        // Otherwise another daemon settled it first and mails its
        // confirmation.
        if (settled && confirm) {
            confirmed = true;
            confirmation = made;
        }
        return true;
    }
    if (m_context.store == nullptr || !m_context.store->sharesQueue()) return true;
    bool found = false;
    bool confirm = false;
    Sms settledMessage;
    StoredConfirmation stored;
    Confirmation made;
    const bool recorded = recordInStore("a delivery notification", [&](Store& store) {
        found = store.settleSharedNotification(
            GetName(), sysMsgs, status, at,
            [&](const Sms& sms, StoredConfirmation& out) {
                confirm = makeConfirmation(sms, made);
                if (confirm) out = made.stored();
                return confirm;
            },
            settledMessage, stored);
    });
    if (!recorded || !found) return recorded;
    matched = true;
    message = settledMessage;
    if (confirm) {
        made.m_storeId = stored.id;
        confirmed = true;
        confirmation = made;
    }
    return true;
}

bool SmsSender::recordOrKeep(const char* doing, std::function<void(Store&)> record) {
    if (m_context.deferred == nullptr) return recordInStore(doing, record);
    try {
        if (!m_context.deferred->record(std::move(record))) {
            traceAs(GetName(), "the database is away: %s kept in memory until it is back\n", doing);
        }
        return true;
    } catch (const StoreError& e) {
        report(m_errorLog, 'e', std::string("Store: cannot record ") + doing + ": " + e.what(), GetName(),
               std::string("cannot record ") + doing + ": " + e.what(), ConsoleStream::Error);
        return false;
    }
}

std::vector<std::string> SmsSender::smsRecord(const std::string& title, Sms& sms, Logger* logger) const {
    // A record written to any other log than these two hides a value when
    // either log would hide it.
    const bool toAccessLog = logger == m_accessLog || logger != m_errorLog;
    const bool toErrorLog = logger == m_errorLog || logger != m_accessLog;
    const bool hideDestination =
        (toAccessLog && m_accessLog_HideDestinationAddress) || (toErrorLog && m_errorLog_HideDestinationAddress);
    const bool hideUserData = (toAccessLog && m_accessLog_HideUserData) || (toErrorLog && m_errorLog_HideUserData);

    std::vector<std::string> lines{title, "IP Address: " + shown(sms.remoteAddr(), m_accessLog_HideIp),
                                   "Destination Address: " + shown(sms.target(), hideDestination),
                                   "User Data: " + shown(sms.message(), hideUserData)};
    if (*sms.mailTo() != '\0') lines.push_back("Notification e-mail: " + shown(sms.mailTo(), m_accessLog_HideEmail));
    lines.push_back(std::string("OnDisplay: ") + (sms.onDisplay() ? "Yes" : "No"));
    return lines;
}

void SmsSender::writeSmsToLog(const std::string& title, Sms& sms, Logger* logger, char type) {
    if (logger != nullptr) logger->write(smsRecord(title, sms, logger), type);
}

void SmsSender::reportSms(const std::string& title, Sms& sms, Logger* logger, char type, const std::string& line,
                          ConsoleStream stream) {
    report(logger, type, logger != nullptr ? smsRecord(title, sms, logger) : std::vector<std::string>(), GetName(),
           line, stream);
}

void SmsSender::writeRecvSmsToLog(const std::string& title, const std::string& originatingAddress,
                                  const std::string& destinationAddress, const std::string& scAddress,
                                  const std::string& userData, const std::string& timestamp, Logger* logger) {
    if (logger == nullptr) return;
    logger->put(title);
    if (!scAddress.empty()) logger->put("SC Address: " + shown(scAddress));
    logger->put("Originating Address: " + shown(originatingAddress, m_receiveLog_HideOriginatingAddress));
    if (!destinationAddress.empty()) logger->put("Destination Address: " + shown(destinationAddress));
    logger->put("Timestamp: " + shown(timestamp));
    logger->write("User data: " + shown(userData, m_receiveLog_HideUserData), 'i');
}

EnqueOutcome SmsSender::enqueReceived(const ReceivedText& received, const EnvironmentList& variables) {
    if (m_context.processing == nullptr) return EnqueOutcome();
    if (!received.concatenated) return m_context.processing->enque(variables, nullptr);
    ReceivedPart part;
    std::string originator;
    for (const EnvironmentVariable& variable : variables) {
        if (std::string(variable.name()) == "OA") originator = variable.value();
    }
    part.group =
        receivedPartGroup(GetName(), originator, received.reference, received.sixteenBitReference, received.count);
    part.count = received.count;
    part.number = received.number;
    return m_context.processing->enque(variables, &part);
}

void SmsSender::writeReceivedToLog(const ReceivedText& received, const EnqueOutcome& outcome,
                                   const std::string& originatingAddress, const std::string& destinationAddress,
                                   const std::string& scAddress, const std::string& timestamp) {
    if (!received.problem.empty() && m_errorLog != nullptr) {
        m_errorLog->write("Received SMS from " + shown(originatingAddress, m_receiveLog_HideOriginatingAddress) +
                              " with faulty user data (" + received.problem +
                              "), handed on as far as it could be decoded",
                          'e');
    }
    if (m_receiveLog == nullptr) return;
    const bool part = outcome.kind != EnqueOutcome::Queued;
    m_receiveLog->put(outcome.kind == EnqueOutcome::Duplicate ? "SMS received again, ignored" : "SMS received");
    if (!scAddress.empty()) m_receiveLog->put("SC Address: " + shown(scAddress));
    m_receiveLog->put("Originating Address: " + shown(originatingAddress, m_receiveLog_HideOriginatingAddress));
    if (!destinationAddress.empty()) m_receiveLog->put("Destination Address: " + shown(destinationAddress));
    m_receiveLog->put("Timestamp: " + shown(timestamp));
    if (part) {
        m_receiveLog->put("Part: " + std::to_string(received.number) + " of " + std::to_string(received.count) +
                          " (reference " + std::to_string(received.reference) + ")");
    }
    m_receiveLog->write("User data: " + shown(received.text, m_receiveLog_HideUserData), 'i');
    if (outcome.kind != EnqueOutcome::Joined) return;
    m_receiveLog->put("Concatenated SMS joined");
    m_receiveLog->put("Originating Address: " + shown(originatingAddress, m_receiveLog_HideOriginatingAddress));
    m_receiveLog->put("Parts: " + std::to_string(outcome.parts));
    m_receiveLog->write("User data: " + shown(outcome.joinedText, m_receiveLog_HideUserData), 'i');
}

void SmsSender::writeNotificationToLog(const std::string& title, const std::string& /*originatingAddress*/,
                                       const std::string& destinationAddress, const std::string& userData,
                                       const std::string& email, const std::string& scTimestamp,
                                       const std::string& dischargeTime, int statusCode,
                                       const std::string& statusDescription, Logger* logger) {
    if (logger == nullptr) return;
    logger->put(title);
    logger->put("Destination Address: " + shown(destinationAddress, m_receiveLog_HideDestinationAddress));
    logger->put("User Data: " + shown(userData, m_receiveLog_HideUserData));
    logger->put("Service Centre Time Stamp: " + shown(scTimestamp));
    logger->put("Discharge Time: " + shown(dischargeTime));
    if (!email.empty()) logger->put("Notification e-mail: " + shown(email, m_accessLog_HideEmail));
    logger->put("Status Code: " + std::to_string(statusCode));
    logger->write("Status Description: " + shown(statusDescription), 'i');
}

bool SmsSender::settleResults(std::vector<SettledResult>& settled,
                              const std::function<void(const SettledResult&)>& refused) {
    if (settled.empty()) return true;
    std::vector<SmscResult> results;
    results.reserve(settled.size());
    for (const SettledResult& one : settled) {
        SmscResult result;
        result.id = one.entry.m_sms.id();
        result.acknowledged = one.acknowledged;
        result.sysMsg = one.sysMsg;
        result.awaitsNotification = one.entry.m_sms.wantsNotification();
        result.errorCode = one.errorCode;
        result.final = one.final;
        result.at = one.at;
        results.push_back(std::move(result));
    }
    const bool recorded = recordOrKeep(settled.size() == 1 ? "a result" : "the results",
                                       [results = std::move(results)](Store& store) { store.recordResults(results); });
    for (SettledResult& one : settled) {
        if (!one.acknowledged) {
            ++m_context.counters.refusedMessages;
            refused(one);
            continue;
        }
        SentMessage& entry = one.entry;
        ++m_context.counters.sentMessages;
        if (entry.m_submittedAt != std::chrono::steady_clock::time_point()) {
            m_context.counters.acknowledgementLatency.observe(entry.m_acknowledgedAt - entry.m_submittedAt);
        }
        writeSmsToLog("Send SMS requested", entry.m_sms, m_accessLog, 'i');
        if (!entry.m_sms.wantsNotification()) {
            traceAs(GetName(),
                    "Main: Removing message without notification request from g_sentMessages, DA: "
                    "%s, UD: %s\n",
                    entry.m_sms.target(), entry.m_sms.message());
            m_context.sentMessages.remove(entry);
        }
    }
    settled.clear();
    return recorded;
}

void SmsSender::event(char type, const char* recordLabel, const std::string& text, ConsoleStream stream) {
    report(m_errorLog, type, recordLabel + text, GetName(), text, stream);
}
