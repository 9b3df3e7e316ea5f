#include "sms_sender_emi.h"

#include <poll.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <optional>
#include <thread>

#include "counters.h"
#include "emailer.h"
#include "gsm_text.h"
#include "submit_pdu.h"
#include "logger.h"
#include "sent_message.h"
#include "sms.h"
#include "sms_processing.h"
#include "store.h"
#include "trace.h"
#include "ucp_error.h"
#include "utf8.h"

namespace {

const int resultTimeout = 10;         // s before an unanswered id is logged as overdue
const time_t resubmissionDelay = 15;  // s before an unacknowledged entry is resubmitted
// Unanswered submissions of one message that give up the connection: the
// fifth, about a minute after the first.
const size_t unansweredLimit = 5;
// An id unanswered this long gives up the connection too: the resubmissions
// above could not be made (a full window), or it is an alert's.
const time_t stallLimit = 90;
const int maxTrnId = 96;
const long activationPollMs = 5000;
const long idlePollMs = 1000;
const std::chrono::milliseconds activationSlice(100);
// Results a broken connection may still hold: every id of the window and
// the SMSC's own operations between them, with room to spare.
const int remainingFramesLimit = 256;

std::string piece(const std::string& text, size_t from, size_t length) {
    return from < text.size() ? text.substr(from, length) : std::string();
}

std::string text(const char* value) { return value ? value : ""; }

}  // namespace

SmsSenderEmi::SmsSenderEmi(const char* hostAddress, unsigned short hostPort, const char* laId, const char* password,
                           int windowSize, int throughput, const char* originatingAddress, const char* alertAddress,
                           int alertTimeout, const SenderContext& context)
    : SmsSender(context),
      m_emiHostAddress(text(hostAddress)),
      m_emiHostPort(hostPort),
      m_emiLaId(text(laId)),
      m_emiPassword(text(password)),
      m_emiWindowSize(windowSize),
      m_emiThroughput(throughput),
      m_emiOriginatingAddress(text(originatingAddress)),
      m_emiAlertAddress(text(alertAddress)),
      m_emiAlertTimeout(alertTimeout),
      m_emi(nullptr),
      m_emiInitStatus(0),
      m_reconnectPauseMs(5000),
      m_retryRefused(3),
      m_awaitedSince(),
      m_overdueLogged() {}

SmsSenderEmi::~SmsSenderEmi() {
    Join();
    // The manager may have connected while the thread was stopping.
    emi_destroy(m_emi.exchange(nullptr));
}

bool SmsSenderEmi::connected() { return m_emiInitStatus == 0 && m_emi != nullptr; }

bool SmsSenderEmi::connect() {
    trace("%s::connect()\n", GetName());
    event('i', "EMI: ", "Connecting to SMSC...");

    EMI emi = nullptr;
    m_emiInitStatus =
        emi_init(&emi, m_emiHostAddress.c_str(), static_cast<unsigned short>(m_emiHostPort), m_emiPassword.c_str(),
                 m_emiLaId.c_str(), m_emiAlertAddress.c_str(), m_emiWindowSize, m_emiThroughput);
    if (m_emiInitStatus != 0) {
        const std::string message = std::string("Connection to SMSC failed: ") + emi_strerror(m_emiInitStatus);
        event('e', "EMI: ", message, ConsoleStream::Error);
        return false;
    }
    m_emi = emi;
    event('i', "EMI: ", "Connection established");
    return true;
}

bool SmsSenderEmi::disconnect() {
    event('i', "EMI: ", "Disconnecting from SMSC...", ConsoleStream::Error);
    emi_destroy(m_emi.exchange(nullptr));
    return true;
}

bool SmsSenderEmi::reconnect() {
    lock();
    if (connected()) {
        event('i', "EMI: ", "Reconnecting to SMSC...", ConsoleStream::Error);
        disconnect();
    } else {
        event('i', "EMI: ", "SMSC is not connected", ConsoleStream::Error);
    }
    sleepUnlessStopping(m_reconnectPauseMs);
    const bool result = !m_context.stopSignal.stopping() && connect();
    unlock();
    return result;
}

bool SmsSenderEmi::init() {
    traceAs(GetName(), "init()\n");
    if (!connected()) {
        event('e', "", "EMI: not connected", ConsoleStream::Error);
        return false;
    }
    return true;
}

namespace {

// One extra service of operation 51: type, length and data, in hex.
std::string extraService(unsigned type, const std::string& data) {
    return submitpdu::hex(std::string(1, static_cast<char>(type)) + std::string(1, static_cast<char>(data.size())) +
                          data);
}

}  // namespace

int SmsSenderEmi::submitCoded(Sms& sms, int notificationType) {
    // A part of a text that has more (Concatenation = udh) carries the
    // concatenation header as extra service 01.
    const Sms::Tracking& tracking = sms.tracking();
    std::string xservices;
    if (m_context.text.udh && tracking.parts > 1 && tracking.parts <= 255) {
        xservices = extraService(
            0x01, smstext::concatenationHeader(sms.concatenationReference(), static_cast<uint8_t>(tracking.parts),
                                               static_cast<uint8_t>(tracking.part)));
    }
    const std::u32string text = submitpdu::textOf(sms.message(), true);
    std::string data;
    int bits = 0;
    const bool ia5 = !m_context.text.unicode || smstext::isAscii(text);
    if (!ia5 && smstext::fitsGsm7(text)) {
        // The default alphabet beyond IA5 (accents, Greek capitals, the euro):
        // the septets packed as transparent data of data coding 0.
        std::string septets;
        smstext::gsm7Encode(text, septets);
        data = submitpdu::hex(smstext::packSeptets(septets));
        bits = static_cast<int>(septets.size() * 7);
        xservices += extraService(0x02, std::string(1, '\x00'));
    } else if (!ia5) {
        // UCS-2: the UTF-16 octets as transparent data of data coding 8.
        const std::string octets = smstext::utf16beEncode(text);
        data = submitpdu::hex(octets);
        bits = static_cast<int>(octets.size() * 8);
        xservices += extraService(0x02, std::string(1, '\x08'));
    }
    msg_t* request = emi_msg(m_emi);
    if (request == nullptr) return EMI_NULL;
    *request = msg_t{};
    request->op_type = EMI_SUBMIT_SM;
    auto& submit = request->uu.submit;
    submit.from = m_emiOriginatingAddress.c_str();
    submit.to = sms.target();
    submit.notif_addr = notificationType >= 0 ? "" : nullptr;
    submit.notif_type = notificationType;
    submit.msg_class = -1;
    submit.bit8 = ia5 ? 0 : 1;
    submit.numbits = bits;
    submit.text = ia5 ? sms.message() : data.c_str();
    submit.xservices = xservices.c_str();
    return emi_submit2(m_emi);
}

int SmsSenderEmi::submit(Sms& sms) {
    const int notificationType = sms.wantsNotification() ? EMI_DN : -1;
    // Transliterated texts without a concatenation header go as they always
    // did.
    const bool coded = m_context.text.unicode || (m_context.text.udh && sms.tracking().parts > 1);
    const int result =
        coded ? submitCoded(sms, notificationType)
              : emi_submit1(m_emi, m_emiOriginatingAddress.c_str(), sms.target(), sms.message(), notificationType);
    if (result > 0 && result <= maxTrnId) {
        m_awaitedSince[result] = m_context.clock->now();
        m_overdueLogged[result] = false;
    }
    if (result <= 0) {
        const std::string title =
            "Send SMS requested but error occured: " + std::to_string(result) + " = " + emi_strerror(result);
        writeSmsToLog(title, sms, m_errorLog, 'e');
    }
    return result;
}

int SmsSenderEmi::sendSms(Sms& sms, int counter) {
    lock();
    traceAs(GetName(), "sendSms, DA:   '%s', UD: '%s', counter: %d\n", sms.target(), sms.message(), counter);
    const int result = submit(sms);
    if (result <= 0) {
        m_errorLog->write("Storing SMS back for later sending", 'i');
        m_context.sendQueue.insertSms(sms);
        unlock();
        return -1;
    }
    m_context.sentMessages.append(SentMessage(sms, static_cast<unsigned char>(result), counter, this));
    ++m_context.counters.submittedMessages;
    traceAs(GetName(), "SMS send request with trnID: %d\n", result);
    traceAs(GetName(), "DA:  %s\n", sms.target());
    traceAs(GetName(), "msg: %s\n", sms.message());
    const time_t now = time(nullptr);
    const bool recorded =
        recordOrKeep("a submission", [id = sms.id(), name = std::string(GetName()), result, counter,
                                      now](Store& store) { store.markSubmitted(id, name, result, counter, now); });
    unlock();
    return recorded ? 0 : -1;
}

bool SmsSenderEmi::resubmit(const SentMessage& entry) {
    lock();
    Sms copy = entry.m_sms;
    traceAs(GetName(), "sendSms, DA:   '%s', UD: '%s', counter: %d\n", copy.target(), copy.message(),
            entry.m_counter + 1);
    const int result = submit(copy);
    bool recorded = true;
    if (result > 0) {
        // The earlier submissions keep their ids: a late result of any of
        // them still settles the message.
        m_context.sentMessages.recordSubmission(entry, static_cast<unsigned char>(result), entry.m_counter + 1);
        ++m_context.counters.submittedMessages;
        traceAs(GetName(), "SMS send request with trnID: %d\n", result);
        const time_t now = time(nullptr);
        recorded = recordOrKeep(
            "a submission", [id = copy.id(), name = std::string(GetName()), result, submissions = entry.m_counter + 1,
                             now](Store& store) { store.markSubmitted(id, name, result, submissions, now); });
    }
    unlock();
    return result > 0 && recorded;
}

void SmsSenderEmi::returnSmsFromEmiQue() {
    m_errorLog->write("EMI: Problems during sending detected, returning SMSs in the EMI's que back to main que.", 'i');
    std::vector<SentMessage> returned = m_context.sentMessages.takeUnacknowledged(this);
    // The acknowledged entries stay; the count shrinks with every returned one.
    size_t remaining = m_context.sentMessages.size(this) + returned.size();
    tracePlain("Size of EMI que: %d\n", static_cast<int>(remaining));
    for (SentMessage& entry : returned) {
        m_context.sendQueue.appendSms(entry.m_sms);
        tracePlain("Size of EMI que: %d\n", static_cast<int>(--remaining));
    }
}

std::string SmsSenderEmi::emiTimestampToDate(const std::string& timestamp) {
    return piece(timestamp, 0, 2) + "." + piece(timestamp, 2, 2) + ".20" + piece(timestamp, 4, 2);
}

std::string SmsSenderEmi::emiTimestampToTime(const std::string& timestamp) {
    return piece(timestamp, 6, 2) + ":" + piece(timestamp, 8, 2) + ":" + piece(timestamp, 10, 2);
}

std::string SmsSenderEmi::emiTimestampToString(const std::string& timestamp) {
    return emiTimestampToDate(timestamp) + " " + emiTimestampToTime(timestamp);
}

void SmsSenderEmi::sleepUnlessStopping(long milliseconds, bool untilActive) {
    const auto end = StopSignal::Clock::now() + std::chrono::milliseconds(milliseconds);
    if (!untilActive) {
        m_context.stopSignal.waitUntil(end);
        return;
    }
    // The manager's activation is a flag, not an event: it is looked at
    // every activationSlice.
    while (!active() && StopSignal::Clock::now() < end) {
        if (m_context.stopSignal.waitUntil(std::min(end, StopSignal::Clock::now() + activationSlice))) return;
    }
}

void SmsSenderEmi::readRemainingResults() {
    std::vector<SettledResult> settled;
    for (int frames = 0; frames < remainingFramesLimit && emi_select(m_emi) > 0; ++frames) {
        const int trnId = emi_read(m_emi);
        if (trnId < 0) break;
        const int opType = emi_msg(m_emi)->op_type;
        traceAs(GetName(), "Main: TrnID: %d: Received optype: %d\n", trnId, opType);
        // The SMSC's own operations stay unacknowledged: it delivers them
        // again on the next connection.
        if (opType < 0) noteResult(trnId, opType, settled);
    }
    settleResults(settled);
}

void SmsSenderEmi::giveUpConnection() {
    readRemainingResults();
    disconnect();
    stop();
    // No result can come for the ids of the closed connection.
    std::fill(std::begin(m_awaitedSince), std::end(m_awaitedSince), 0);
    std::fill(std::begin(m_overdueLogged), std::end(m_overdueLogged), false);
    m_context.sentMessages.clearAwaited(this);
    returnSmsFromEmiQue();
}

int SmsSenderEmi::awaitedResults() const {
    return static_cast<int>(
        std::count_if(std::begin(m_awaitedSince), std::end(m_awaitedSince), [](time_t since) { return since != 0; }));
}

bool SmsSenderEmi::checkOverdueResults() {
    const time_t now = m_context.clock->now();
    for (int id = 1; id <= maxTrnId; ++id) {
        if (m_awaitedSince[id] == 0) continue;
        const time_t age = now - m_awaitedSince[id];
        if (age > resultTimeout && !m_overdueLogged[id]) {
            m_overdueLogged[id] = true;
            const std::string overdue = "Response to trnid = " + std::to_string(id) + " not received !";
            report(m_errorLog, 'e', "EMI: " + overdue, GetName(), "Main: " + overdue, ConsoleStream::Error);
        }
        if (age > stallLimit) {
            m_errorLog->write("EMI: No response to trnid = " + std::to_string(id) + " for " + std::to_string(age) +
                                  " s, giving up the connection",
                              'e');
            giveUpConnection();
            return false;
        }
    }
    return true;
}

bool SmsSenderEmi::canSubmit() {
    // A window of 0 would hold every message back without a word: the
    // submission is tried instead, and its failure is logged.
    if (m_emiWindowSize <= 0) return true;
    return emi_free_trnids(m_emi) > 0 && emi_check_throughput(m_emi) == 0;
}

bool SmsSenderEmi::idleWait(long milliseconds) {
    pollfd fds[3];
    fds[0].fd = emi_socket(m_emi);
    fds[0].events = POLLIN;
    fds[1].fd = m_context.sendQueue.notifyFd();
    fds[1].events = POLLIN;
    fds[2].fd = m_context.stopSignal.wakeFd();
    fds[2].events = POLLIN;
    if (fds[0].fd < 0) {
        sleepUnlessStopping(milliseconds);
        return true;
    }
    // The queue's descriptor becomes readable with every message queued in
    // an empty queue, the stop's descriptor with the stop.
    const int ready = poll(fds, 3, static_cast<int>(milliseconds));
    if (fds[1].revents & POLLIN) m_context.sendQueue.clearNotify();
    return ready == 0;
}

bool SmsSenderEmi::scanRegistry() {
    bool keepConnection = true;
    const time_t now = m_context.clock->now();
    // Acknowledged entries wait only for their notification: the pass does
    // not look at them.
    m_context.sentMessages.forEachUnacknowledged(this, [&](const SentMessage& entry, int number) {
        const time_t age = now - entry.m_timestamp;
        tracePlain("%2d:  counter: %2d, age: %2d,  DA: %s, UD: %s\n", number, entry.m_counter, static_cast<int>(age),
                   entry.m_sms.target(), entry.m_sms.message());
        if (entry.m_awaitedReferences.size() >= unansweredLimit) {
            giveUpConnection();
            keepConnection = false;
            return false;
        }
        const bool retryDue = entry.m_retryAt != 0 && now >= entry.m_retryAt;
        const bool overdue = entry.m_retryAt == 0 && age > resubmissionDelay;
        // A full window or an exhausted second waits for a later pass
        // rather than costing the connection.
        if ((!retryDue && !overdue) || !canSubmit()) return true;
        if (overdue) {
            const std::string notice = "SMS was not acknowledged during last 15s, it will be send again.";
            Sms copy = entry.m_sms;
            reportSms(notice, copy, m_errorLog, 'i', "Main: " + notice, ConsoleStream::Error);
        }
        if (!resubmit(entry)) {
            traceAs(GetName(), "Main: resend SMS failed\n");
            giveUpConnection();
            keepConnection = false;
            return false;
        }
        return true;
    });
    return keepConnection;
}

void SmsSenderEmi::noteResult(int trnId, int opType, std::vector<SettledResult>& settled) {
    if (trnId >= 1 && trnId <= maxTrnId) {
        m_awaitedSince[trnId] = 0;
        m_overdueLogged[trnId] = false;
    }
    const msg_t* msg = emi_msg(m_emi);
    const bool ack = msg->uu.response.ack != 0;
    const int errorCode = msg->uu.response.errcode;
    const std::string sysMsg = text(msg->uu.response.sysmsg);
    traceAs(GetName(), "Main: Received ack: %s, errcode: %d, sysmsg: '%s'\n", ack ? "ACK" : "NACK", errorCode,
            sysMsg.c_str());
    // An alert's result settles no message.
    if (opType != -EMI_SUBMIT_SM) return;
    const unsigned char reference = static_cast<unsigned char>(trnId);
    const time_t now = time(nullptr);
    if (ack) {
        if (auto entry = m_context.sentMessages.acknowledge(this, reference, sysMsg)) {
            settled.push_back(SettledResult{std::move(*entry), true, sysMsg, 0, false, now});
        }
    } else if (auto entry = m_context.sentMessages.reject(this, reference)) {
        const bool final = !ucpErrorIsTemporary(errorCode) || entry->m_refusals >= m_retryRefused;
        settled.push_back(SettledResult{std::move(*entry), false, std::string(), errorCode, final, now});
    } else {
        traceAs(GetName(), "Main: refusal of trnID %d settles nothing: %s\n", trnId,
                ucpErrorDescription(errorCode).c_str());
    }
}

bool SmsSenderEmi::settleResults(std::vector<SettledResult>& settled) {
    return SmsSender::settleResults(settled, [this](const SettledResult& refusal) { handleRefusal(refusal); });
}

bool SmsSenderEmi::handleResult(int trnId, int opType) {
    std::vector<SettledResult> settled;
    noteResult(trnId, opType, settled);
    return settleResults(settled);
}

void SmsSenderEmi::handleRefusal(const SettledResult& refusal) {
    const SentMessage& entry = refusal.entry;
    const std::string reason = "SMS was not acknowledged: " + ucpErrorDescription(refusal.errorCode);
    Sms sms = entry.m_sms;
    if (!ucpErrorIsTemporary(refusal.errorCode)) {
        writeSmsToLog(reason, sms, m_errorLog, 'e');
        return;
    }
    if (refusal.final) {
        writeSmsToLog(reason + ", not sent again after " + std::to_string(entry.m_refusals) + " retries", sms,
                      m_errorLog, 'e');
        return;
    }
    SentMessage retry = entry;
    retry.m_refusals = entry.m_refusals + 1;
    // Doubling stops at about an hour and a half, however many retries.
    const time_t pause = static_cast<time_t>(refusalPauseSeconds) << std::min(retry.m_refusals - 1, 10);
    retry.m_retryAt = m_context.clock->now() + pause;
    m_context.sentMessages.append(retry);
    writeSmsToLog(reason + ", it will be sent again in " + std::to_string(pause) + " s (retry " +
                      std::to_string(retry.m_refusals) + " of " + std::to_string(m_retryRefused) + ")",
                  sms, m_errorLog, 'i');
}

bool SmsSenderEmi::handleIncoming(int trnId, int opType) {
    const msg_t* msg = emi_msg(m_emi);
    const std::string from = text(msg->uu.submit.from);
    const std::string to = text(msg->uu.submit.to);
    const std::string timestamp = text(msg->uu.submit.timestamp);
    const std::string delivered = text(msg->uu.submit.deliv_timestamp);
    const std::string userData = text(msg->uu.submit.text);
    const int status = msg->uu.submit.deliv_status;

    // What an operation brings is in the store before the SMSC hears that it
    // arrived: once acknowledged, it is not sent again. When the store
    // cannot take it, it is not acknowledged: the SMSC sends it again.
    auto acknowledge = [&]() {
        const int result = emi_ack(1, opType, trnId, m_emi);
        if (result >= 0) return true;
        report(m_errorLog, 'i', std::string("EMI: acknowledge error: ") + emi_strerror(result), GetName(),
               "Main: EMI ack error", ConsoleStream::Trace);
        giveUpConnection();
        return false;
    };

    if (opType == EMI_DELIVERY_NOTIF) {
        traceAs(GetName(), "Main: Received notificaton: from:       '%s'\n", from.c_str());
        traceAs(GetName(), "Main:                       to:         '%s'\n", to.c_str());
        traceAs(GetName(), "Main:                       timestamp:  '%s'\n", timestamp.c_str());
        traceAs(GetName(), "Main:                       delivered:  '%s'\n", delivered.c_str());
        traceAs(GetName(), "Main:                       status:      %d\n", status);
        const char* description = status == EMI_DELIVERED   ? "Delivered"
                                  : status == EMI_BUFFERED  ? "Buffered"
                                  : status == EMI_NOT_DELIV ? "Not delivered"
                                                            : "";
        traceAs(GetName(), "Main:                      description: %s\n", description);

        // The notification's originator is the destination of the reported
        // message (as the SMSC writes it); its recipient is our own address.
        std::string reportedDestination = from;
        std::string reportedText = userData;
        std::string email;
        const std::string key = from + ":" + timestamp;
        // The SMSC's key names the destination and the second: two messages
        // to one number in one second share it, and nothing tells which one
        // this notification is about.
        const size_t candidates = m_context.sentMessages.countBySysMsg(this, key);
        if (candidates > 1) {
            const std::string shown = (m_errorLog_HideDestinationAddress ? "<hidden>" : from) + ":" + timestamp;
            m_errorLog->write("EMI: Warning: " + std::to_string(candidates) +
                                  " messages wait for the notification key " + shown +
                                  "; this notification is taken for the oldest of them",
                              'i');
        }
        const std::optional<SentMessage> entry = m_context.sentMessages.takeBySysMsg(this, key);
        const time_t now = time(nullptr);
        bool matched = false;
        Sms message;
        bool confirmed = false;
        Confirmation confirmation;
        // The notification and its confirmation in one transaction; one
        // that none of this sender's entries awaits may be for a message
        // that another daemon sharing the store submitted.
        const bool recorded = recordNotification(
            entry ? &*entry : nullptr, {key}, status, now,
            [&](const Sms& sms, Confirmation& made) {
                if (status != EMI_DELIVERED || m_context.emailer == nullptr || sms.mailTo()[0] == '\0') return false;
                made = Confirmation(sms.target(), sms.message(), emiTimestampToDate(delivered).c_str(),
                                    emiTimestampToTime(delivered).c_str(), sms.mailTo());
                return true;
            },
            matched, message, confirmed, confirmation);
        if (!recorded) {
            // Not acknowledged: the SMSC repeats the notification, and the
            // entry waits for it again.
            if (entry) m_context.sentMessages.putBack(*entry);
            giveUpConnection();
            return false;
        }
        if (matched) {
            if (status == EMI_DELIVERED) ++m_context.counters.deliveredMessages;
            if (entry && entry->m_acknowledgedAt != std::chrono::steady_clock::time_point()) {
                m_context.counters.notificationLatency.observe(std::chrono::steady_clock::now() -
                                                               entry->m_acknowledgedAt);
            }
            reportedDestination = message.target();
            reportedText = message.message();
            email = message.mailTo();
        }
        if (confirmed) m_context.emailer->enque(confirmation);
        if (!acknowledge()) return false;
        writeNotificationToLog("Status Report received", from, reportedDestination, reportedText, email,
                               emiTimestampToString(timestamp), emiTimestampToString(delivered), status, description,
                               m_receiveLog);
        return true;
    }

    traceAs(GetName(), "Main: Received message: from:      '%s'\n", from.c_str());
    traceAs(GetName(), "Main:                   to:        '%s'\n", to.c_str());
    traceAs(GetName(), "Main:                   text:      '%s'\n", userData.c_str());
    traceAs(GetName(), "Main:                   timestamp: '%s'\n", timestamp.c_str());
    // Transparent data (MT 4) is the only kind with NB; the library gives
    // its hexadecimal digits as the text.
    const bool transparent = msg->uu.submit.bit8 != 0 && msg->uu.submit.numbits > 0;
    const ReceivedText received =
        receivedEmiText(m_context.text.unicode, transparent ? "4" : "3", userData, msg->uu.submit.numbits,
                        opType == EMI_DELIVERY_SM ? text(msg->uu.submit.xservices) : std::string());
    EnqueOutcome outcome;
    try {
        outcome =
            enqueReceived(received, receivedSmsEnvironment(from, "", timestamp, received.text, received.alphabet));
    } catch (const StoreError& e) {
        report(m_errorLog, 'e', std::string("Store: cannot keep a received message, not acknowledged: ") + e.what(),
               GetName(), std::string("cannot keep a received message: ") + e.what(), ConsoleStream::Error);
        giveUpConnection();
        return false;
    }
    if (!acknowledge()) return false;
    writeReceivedToLog(received, outcome, from, to, "", emiTimestampToString(timestamp));
    ++m_context.counters.receivedMessages;
    return true;
}

bool SmsSenderEmi::pass(int& idleCounter) {
    if (m_context.stopSignal.stopping()) {
        stopSending();
        return false;
    }
    if (!active()) {
        traceAs(GetName(), "Waiting for activation...\n");
        // The manager deactivates every sender for a moment in each cycle;
        // the wait ends as soon as it activates this one again.
        sleepUnlessStopping(activationPollMs, true);
        return true;
    }
    if (m_emi == nullptr) {
        // The manager activated the sender just as it gave the connection up;
        // it activates it again once it has reconnected.
        stop();
        return true;
    }

    if (!checkOverdueResults()) return true;

    if (idleCounter > m_emiAlertTimeout) {
        const int alert = emi_alert(m_emi);
        if (alert < 0) {
            report(m_errorLog, 'e', "EMI: alert failed", GetName(), "Main: EMI: alert failed", ConsoleStream::Trace);
            giveUpConnection();
            return true;
        }
        if (alert <= maxTrnId) {
            m_awaitedSince[alert] = m_context.clock->now();
            m_overdueLogged[alert] = false;
        }
        m_errorLog->write("EMI: alert (keep alive) sent, trnId: " + std::to_string(alert), 'i');
        idleCounter = 0;
    }

    // What the SMSC has sent comes first: a result waiting to be read must
    // not have its message taken for unanswered and submitted again.
    const int frames = readReadyFrames();
    if (frames < 0) return true;
    if (frames > 0) idleCounter = 0;

    if (!scanRegistry()) return true;
    if (!active()) return true;

    // As many as the window and the second's budget allow, so that their
    // results come together and are recorded in one transaction; with the
    // window full or the budget spent, the messages stay queued and the
    // next pass reads results.
    Sms sms;
    int submitted = 0;
    while (submitted < maxTrnId && active() && canSubmit() && m_context.sendQueue.getSms(sms)) {
        ++submitted;
        traceAs(GetName(), "Main: Size of SMS que: %d\n", m_context.sendQueue.size());
        traceAs(GetName(), "Main: Sending SMS\n");
        if (sendSms(sms, 0) == -1) {
            traceAs(GetName(), "Main: send SMS failed\n");
            giveUpConnection();
            return true;
        }
    }
    if (submitted > 0) return true;

    if (frames == 0 && idleWait(idlePollMs)) ++idleCounter;
    return true;
}

int SmsSenderEmi::readReadyFrames() {
    int frames = 0;
    bool giveUp = false;
    // The results read here are recorded in one transaction before the
    // sender acts on any of them.
    std::vector<SettledResult> settled;
    while (frames < remainingFramesLimit) {
        const int ready = emi_select(m_emi);
        if (ready < 0) {
            report(m_errorLog, 'e', std::string("EMI: select error: ") + emi_strerror(ready), GetName(),
                   "Main: EMI select error", ConsoleStream::Trace);
            giveUp = true;
            break;
        }
        if (ready == 0) break;
        const int trnId = emi_read(m_emi);
        if (trnId == EMI_BADCRC || trnId == EMI_BADFRAME) {
            // The frame was read to its end and, when it was an operation,
            // answered negatively: the session is still in step.
            m_errorLog->write(std::string("EMI: frame refused: ") + emi_strerror(trnId), 'e');
            ++frames;
            continue;
        }
        if (trnId < 0) {
            report(m_errorLog, 'e', std::string("EMI: read error: ") + emi_strerror(trnId), GetName(),
                   "Main: EMI read error", ConsoleStream::Trace);
            giveUp = true;
            break;
        }
        ++frames;
        const int opType = emi_msg(m_emi)->op_type;
        traceAs(GetName(), "Main: TrnID: %d: Received optype: %d\n", trnId, opType);
        if (opType < 0) {
            noteResult(trnId, opType, settled);
            continue;
        }
        // The SMSC's own operation may be the notification of a message
        // whose acknowledgement came just before it: the results read so
        // far are settled first.
        if (!settleResults(settled)) {
            giveUp = true;
            break;
        }
        if (!handleIncoming(trnId, opType)) return -1;
    }
    if (!settleResults(settled)) giveUp = true;
    if (giveUp) {
        giveUpConnection();
        return -1;
    }
    return frames;
}

void SmsSenderEmi::stopSending() {
    if (m_emi != nullptr) {
        // Results already on their way settle their messages; the SMSC's own
        // operations stay unanswered, so that it delivers them again later
        // (the e-mailer and the processor are stopping too).
        const auto end = m_context.clock->monotonicNow() + std::chrono::seconds(stopWaitSeconds);
        while (awaitedResults() > 0 && m_context.clock->monotonicNow() < end) {
            pollfd fd = {emi_socket(m_emi), POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - m_context.clock->monotonicNow());
            // Frames the last read took from the socket wait in the handle.
            if (emi_select(m_emi) <= 0 &&
                poll(&fd, 1, static_cast<int>(std::max<long>(0, std::min<long>(left.count(), 100)))) <= 0)
                continue;
            const int trnId = emi_read(m_emi);
            if (trnId == EMI_BADCRC || trnId == EMI_BADFRAME) continue;
            if (trnId < 0) {
                m_errorLog->write(std::string("EMI: read error: ") + emi_strerror(trnId), 'e');
                break;
            }
            const int opType = emi_msg(m_emi)->op_type;
            traceAs(GetName(), "Main: TrnID: %d: Received optype: %d\n", trnId, opType);
            if (opType < 0) handleResult(trnId, opType);
        }
    }
    size_t unanswered = 0;
    size_t waitingForRetry = 0;
    for (const SentMessage& entry : m_context.sentMessages.snapshot()) {
        if (entry.m_owner != this) continue;
        unanswered += entry.m_awaitedReferences.size();
        if (entry.m_retryAt != 0) ++waitingForRetry;
    }
    disconnect();
    m_errorLog->write("EMI: Stopped with " + std::to_string(unanswered) + " submission(s) unanswered and " +
                          std::to_string(waitingForRetry) + " refused message(s) waiting for a retry",
                      'i');
}

void SmsSenderEmi::Main() {
    traceAs(GetName(), "Main\n");
    int idleCounter = 0;
    while (pass(idleCounter)) {
    }
}
