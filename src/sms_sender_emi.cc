#include "sms_sender_emi.h"

#include <poll.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "emailer.h"
#include "globals.h"
#include "logger.h"
#include "process.h"
#include "sent_message.h"
#include "sms.h"
#include "sms_processing.h"

namespace {

const int resultTimeout = 10;            // s before an unanswered id expires
const time_t resubmissionDelay = 15;     // s before an unacknowledged entry is resubmitted
const int resubmissionLimit = 3;         // a counter above this gives up the connection
const long activationPollMs = 5000;
const long idlePollMs = 1000;
// Results a broken connection may still hold: every id of the window and
// the SMSC's own operations between them, with room to spare.
const int remainingFramesLimit = 256;

std::string piece(const std::string& text, size_t from, size_t length) {
    return from < text.size() ? text.substr(from, length) : std::string();
}

std::string text(const char* value) { return value ? value : ""; }

}  // namespace

SmsSenderEmi::SmsSenderEmi(const char* hostAddress, unsigned short hostPort, const char* laId,
                           const char* password, int windowSize, int throughput, const char* originatingAddress,
                           const char* alertAddress, int alertTimeout, Logger* errorLog, Logger* accessLog,
                           Logger* receiveLog)
    : SmsSender(errorLog, accessLog, receiveLog),
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
      m_reconnectPauseMs(5000) {}

SmsSenderEmi::~SmsSenderEmi() { Join(); }

bool SmsSenderEmi::connected() { return m_emiInitStatus == 0 && m_emi != nullptr; }

bool SmsSenderEmi::connect() {
    trace("%lu: %s::connect()\n", threadId(), GetName());
    m_errorLog->write("EMI: Connecting to SMSC...", 'i');
    trace("%lu: %s: %s\n", threadId(), GetName(), "Connecting to SMSC...");

    EMI emi = nullptr;
    m_emiInitStatus = emi_init(&emi, m_emiHostAddress.c_str(), static_cast<unsigned short>(m_emiHostPort),
                               m_emiPassword.c_str(), m_emiLaId.c_str(), m_emiAlertAddress.c_str(),
                               m_emiWindowSize, m_emiThroughput);
    if (m_emiInitStatus != 0) {
        const std::string message = std::string("Connection to SMSC failed: ") + emi_strerror(m_emiInitStatus);
        m_errorLog->write("EMI: " + message, 'e');
        fprintf(stderr, "%lu: %s: %s\n", threadId(), GetName(), message.c_str());
        return false;
    }
    m_emi = emi;
    m_errorLog->write("EMI: Connection established", 'i');
    trace("%lu: %s: %s\n", threadId(), GetName(), "Connection established");
    return true;
}

bool SmsSenderEmi::disconnect() {
    m_errorLog->write("EMI: Disconnecting from SMSC...", 'i');
    fprintf(stderr, "%lu: %s: %s\n", threadId(), GetName(), "Disconnecting from SMSC...");
    emi_destroy(m_emi.exchange(nullptr));
    return true;
}

bool SmsSenderEmi::reconnect() {
    lock();
    if (connected()) {
        m_errorLog->write("EMI: Reconnecting to SMSC...", 'i');
        fprintf(stderr, "%lu: %s: %s\n", threadId(), GetName(), "Reconnecting to SMSC...");
        disconnect();
    } else {
        m_errorLog->write("EMI: SMSC is not connected", 'i');
        fprintf(stderr, "%lu: %s: %s\n", threadId(), GetName(), "SMSC is not connected");
    }
    sleepUnlessStopping(m_reconnectPauseMs);
    const bool result = !g_shutdownIndicator && connect();
    unlock();
    return result;
}

bool SmsSenderEmi::init() {
    trace("%lu: %s: init()\n", threadId(), GetName());
    if (!connected()) {
        m_errorLog->write("EMI: not connected", 'e');
        fprintf(stderr, "%lu: %s: %s\n", threadId(), GetName(), "EMI: not connected");
        return false;
    }
    return true;
}

int SmsSenderEmi::sendSms(Sms& sms, int counter) {
    lock();
    trace("%lu: %s: sendSms, DA:   '%s', UD: '%s', counter: %d\n", threadId(), GetName(), sms.target(),
           sms.message(), counter);
    const int notificationType = sms.mailTo()[0] != '\0' ? EMI_DN : -1;
    const int result =
        emi_submit1(m_emi, m_emiOriginatingAddress.c_str(), sms.target(), sms.message(), notificationType);
    if (result <= 0) {
        const std::string title = "Send SMS requested but error occured: " + std::to_string(result) + " = " +
                                  emi_strerror(result);
        writeSmsToLog(title, sms, m_errorLog, 'e');
        m_errorLog->write("Storing SMS back for later sending", 'i');
        g_sendQue->insertSms(sms);
        unlock();
        return -1;
    }
    g_sentMessages.append(SentMessage(sms, static_cast<unsigned char>(result), counter, this));
    trace("%lu: %s: SMS send request with trnID: %d\n", threadId(), GetName(), result);
    trace("%lu: %s: DA:  %s\n", threadId(), GetName(), sms.target());
    trace("%lu: %s: msg: %s\n", threadId(), GetName(), sms.message());
    writeSmsToLog("Send SMS requested", sms, m_accessLog, 'i');
    unlock();
    return 0;
}

void SmsSenderEmi::returnSmsFromEmiQue() {
    m_errorLog->write("EMI: Problems during sending detected, returning SMSs in the EMI's que back to main que.",
                      'i');
    trace("Size of EMI que: %d\n", static_cast<int>(g_sentMessages.size(this)));
    for (SentMessage& entry : g_sentMessages.takeUnacknowledged(this)) {
        g_sendQue->appendSms(entry.m_sms);
        trace("Size of EMI que: %d\n", static_cast<int>(g_sentMessages.size(this)));
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
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!g_shutdownIndicator && !(untilActive && active()) && std::chrono::steady_clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(100)));
    }
}

void SmsSenderEmi::readRemainingResults() {
    for (int frames = 0; frames < remainingFramesLimit && emi_select(m_emi) > 0; ++frames) {
        const int trnId = emi_read(m_emi);
        if (trnId < 0) return;
        const int opType = emi_msg(m_emi)->op_type;
        trace("%lu: %s: Main: TrnID: %d: Received optype: %d\n", threadId(), GetName(), trnId, opType);
        // The SMSC's own operations stay unacknowledged: it delivers them
        // again on the next connection.
        if (opType < 0) handleResult(trnId);
    }
}

void SmsSenderEmi::giveUpConnection() {
    readRemainingResults();
    disconnect();
    stop();
    returnSmsFromEmiQue();
}

bool SmsSenderEmi::canSubmit() {
    // A window of 0 would hold every message back without a word: the
    // submission is tried instead, and its failure is logged.
    if (m_emiWindowSize <= 0) return true;
    return emi_free_trnids(m_emi) > 0 && emi_check_throughput(m_emi) == 0;
}

bool SmsSenderEmi::idleWait(long milliseconds) {
    pollfd fds[2];
    fds[0].fd = emi_socket(m_emi);
    fds[0].events = POLLIN;
    fds[1].fd = g_sendQue->notifyFd();
    fds[1].events = POLLIN;
    if (fds[0].fd < 0) {
        sleepUnlessStopping(milliseconds);
        return true;
    }
    // The queue's descriptor becomes readable with every queued message; the
    // stop signal's handler wakes it too.
    const int ready = poll(fds, 2, static_cast<int>(milliseconds));
    if (fds[1].revents & POLLIN) g_sendQue->clearNotify();
    return ready == 0;
}

bool SmsSenderEmi::scanRegistry() {
    bool keepConnection = true;
    g_sentMessages.forEach(this, [&](const SentMessage& entry, int number) {
        const time_t age = time(nullptr) - entry.m_timestamp;
        trace("%2d:  counter: %2d, age: %2d,  DA: %s, UD: %s\n", number, entry.m_counter, static_cast<int>(age),
               entry.m_sms.target(), entry.m_sms.message());
        if (!entry.m_acknowledged && entry.m_counter > resubmissionLimit) {
            giveUpConnection();
            keepConnection = false;
            return false;
        }
        if (!entry.m_acknowledged && age > resubmissionDelay) {
            // A full window or an exhausted second waits for a later pass
            // rather than costing the connection.
            if (!canSubmit()) return true;
            fprintf(stderr, "%lu: %s: Main: SMS was not acknowledged during last 15s, it will be send again.\n",
                    threadId(), GetName());
            Sms copy = entry.m_sms;
            writeSmsToLog("SMS was not acknowledged during last 15s, it will be send again.", copy, m_errorLog,
                          'i');
            g_sentMessages.remove(entry);
            if (sendSms(copy, entry.m_counter + 1) == -1) {
                trace("%lu: %s: Main: resend SMS failed\n", threadId(), GetName());
                giveUpConnection();
                keepConnection = false;
                return false;
            }
            return true;
        }
        if (entry.m_acknowledged && entry.m_sms.mailTo()[0] == '\0') {
            trace("%lu: %s: Main: Removing message without notification request from g_sentMessages, DA: %s, "
                   "UD: %s\n",
                   threadId(), GetName(), entry.m_sms.target(), entry.m_sms.message());
            g_sentMessages.remove(entry);
        }
        return true;
    });
    return keepConnection;
}

void SmsSenderEmi::handleResult(int trnId) {
    const msg_t* msg = emi_msg(m_emi);
    const bool ack = msg->uu.response.ack != 0;
    const std::string sysMsg = text(msg->uu.response.sysmsg);
    trace("%lu: %s: Main: Received ack: %s, errcode: %d, sysmsg: '%s'\n", threadId(), GetName(),
           ack ? "ACK" : "NACK", msg->uu.response.errcode, sysMsg.c_str());
    const unsigned char reference = static_cast<unsigned char>(trnId);
    if (ack) {
        if (g_sentMessages.acknowledge(this, reference, sysMsg)) ++g_numberOfSentMessages;
    } else if (auto entry = g_sentMessages.reject(this, reference)) {
        writeSmsToLog("SMS was not acknowledged", entry->m_sms, m_errorLog, 'e');
    }
}

bool SmsSenderEmi::handleIncoming(int trnId, int opType) {
    const msg_t* msg = emi_msg(m_emi);
    const std::string from = text(msg->uu.submit.from);
    const std::string to = text(msg->uu.submit.to);
    const std::string timestamp = text(msg->uu.submit.timestamp);
    const std::string delivered = text(msg->uu.submit.deliv_timestamp);
    const std::string userData = text(msg->uu.submit.text);
    const int status = msg->uu.submit.deliv_status;

    const int result = emi_ack(1, opType, trnId, m_emi);
    if (result < 0) {
        m_errorLog->write(std::string("EMI: acknowledge error: ") + emi_strerror(result), 'i');
        trace("%lu: %s: Main: EMI ack error\n", threadId(), GetName());
        giveUpConnection();
        return false;
    }

    if (opType == EMI_DELIVERY_NOTIF) {
        trace("%lu: %s: Main: Received notificaton: from:       '%s'\n", threadId(), GetName(), from.c_str());
        trace("%lu: %s: Main:                       to:         '%s'\n", threadId(), GetName(), to.c_str());
        trace("%lu: %s: Main:                       timestamp:  '%s'\n", threadId(), GetName(),
               timestamp.c_str());
        trace("%lu: %s: Main:                       delivered:  '%s'\n", threadId(), GetName(),
               delivered.c_str());
        trace("%lu: %s: Main:                       status:      %d\n", threadId(), GetName(), status);
        const char* description = status == EMI_DELIVERED   ? "Delivered"
                                  : status == EMI_BUFFERED  ? "Buffered"
                                  : status == EMI_NOT_DELIV ? "Not delivered"
                                                            : "";
        trace("%lu: %s: Main:                      description: %s\n", threadId(), GetName(), description);

        // The notification's originator is the destination of the reported
        // message (as the SMSC writes it); its recipient is our own address.
        std::string reportedDestination = from;
        std::string reportedText = userData;
        std::string email;
        if (auto entry = g_sentMessages.takeBySysMsg(this, from + ":" + timestamp)) {
            reportedDestination = entry->m_sms.target();
            reportedText = entry->m_sms.message();
            email = entry->m_sms.mailTo();
            if (status == EMI_DELIVERED) {
                Confirmation confirmation(entry->m_sms.target(), entry->m_sms.message(),
                                          emiTimestampToDate(delivered).c_str(),
                                          emiTimestampToTime(delivered).c_str(), entry->m_sms.mailTo());
                g_emailer->enque(confirmation);
            }
        }
        writeNotificationToLog("Status Report received", from, reportedDestination, reportedText, email,
                               emiTimestampToString(timestamp), emiTimestampToString(delivered), status,
                               description, m_receiveLog);
        return true;
    }

    trace("%lu: %s: Main: Received message: from:      '%s'\n", threadId(), GetName(), from.c_str());
    trace("%lu: %s: Main:                   to:        '%s'\n", threadId(), GetName(), to.c_str());
    trace("%lu: %s: Main:                   text:      '%s'\n", threadId(), GetName(), userData.c_str());
    trace("%lu: %s: Main:                   timestamp: '%s'\n", threadId(), GetName(), timestamp.c_str());
    writeRecvSmsToLog("SMS received", from, to, "", userData, emiTimestampToString(timestamp), m_receiveLog);
    g_smsProcessing->enque(receivedSmsEnvironment(from, "", timestamp, userData));
    ++g_numberOfReceivedMessages;
    return true;
}

bool SmsSenderEmi::pass(int& idleCounter) {
    if (g_shutdownIndicator) {
        disconnect();
        return false;
    }
    if (!active()) {
        trace("%lu: %s: Waiting for activation...\n", threadId(), GetName());
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

    for (int expired; (expired = emi_check_trntable(m_emi, resultTimeout)) != 0;) {
        m_errorLog->write("EMI: Response to trnid = " + std::to_string(expired) + " not received !", 'e');
        fprintf(stderr, "%lu: %s: Main: Response to trnid = %d not received !\n", threadId(), GetName(), expired);
    }

    if (idleCounter > m_emiAlertTimeout) {
        const int alert = emi_alert(m_emi);
        if (alert < 0) {
            m_errorLog->write("EMI: alert failed", 'e');
            trace("%lu: %s: Main: EMI: alert failed\n", threadId(), GetName());
            giveUpConnection();
            return true;
        }
        m_errorLog->write("EMI: alert (keep alive) sent, trnId: " + std::to_string(alert), 'i');
        idleCounter = 0;
    }

    if (!scanRegistry()) return true;
    if (!active()) return true;

    // With the window full or the second's budget spent, the message stays
    // queued and the pass reads results instead.
    Sms sms;
    if (canSubmit() && g_sendQue->getSms(sms)) {
        trace("%lu: %s: Main: Size of SMS que: %d\n", threadId(), GetName(), g_sendQue->size());
        trace("%lu: %s: Main: Sending SMS\n", threadId(), GetName());
        if (sendSms(sms, 0) == -1) {
            trace("%lu: %s: Main: send SMS failed\n", threadId(), GetName());
            giveUpConnection();
        }
        return true;
    }

    const int ready = emi_select(m_emi);
    if (ready < 0) {
        m_errorLog->write(std::string("EMI: select error: ") + emi_strerror(ready), 'e');
        trace("%lu: %s: Main: EMI select error\n", threadId(), GetName());
        giveUpConnection();
        return true;
    }
    if (ready == 0) {
        if (idleWait(idlePollMs)) ++idleCounter;
        return true;
    }

    const int trnId = emi_read(m_emi);
    if (trnId == EMI_BADCRC || trnId == EMI_BADFRAME) {
        // The frame was read to its end and, when it was an operation,
        // answered negatively: the session is still in step.
        m_errorLog->write(std::string("EMI: frame refused: ") + emi_strerror(trnId), 'e');
        return true;
    }
    if (trnId < 0) {
        m_errorLog->write(std::string("EMI: read error: ") + emi_strerror(trnId), 'e');
        trace("%lu: %s: Main: EMI read error\n", threadId(), GetName());
        giveUpConnection();
        return true;
    }
    idleCounter = 0;
    const int opType = emi_msg(m_emi)->op_type;
    trace("%lu: %s: Main: TrnID: %d: Received optype: %d\n", threadId(), GetName(), trnId, opType);
    if (opType < 0) {
        handleResult(trnId);
    } else {
        handleIncoming(trnId, opType);
    }
    return true;
}

void SmsSenderEmi::Main() {
    trace("%lu: %s: Main\n", threadId(), GetName());
    int idleCounter = 0;
    while (pass(idleCounter)) {
    }
}
