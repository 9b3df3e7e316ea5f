#include "sms_sender_me.h"

#include <stdio.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gsmlib/gsm_error.h>
#include <gsmlib/gsm_event.h>
#include <gsmlib/gsm_me_ta.h>
#include <gsmlib/gsm_parser.h>
#include <gsmlib/gsm_sms.h>
#include <gsmlib/gsm_sms_store.h>
#include <gsmlib/gsm_unix_serial.h>
#include <gsmlib/gsm_util.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "emailer.h"
#include "gsm_text.h"
#include "inifile.h"
#include "logger.h"
#include "process.h"
#include "sms.h"
#include "sms_processing.h"
#include "submit_pdu.h"
#include "trace.h"
#include "utf8.h"

using gsmlib::GsmException;

namespace {

// The event wait with nothing to send.
const int idleEventWaitSeconds = 5;
// Final reports remembered against repetition: several times the 256
// references, so a report repeated late is still known.
const size_t settledReportsKept = 1024;

// gsmlib's time stamp text ends with a NUL character.
std::string timestampText(const gsmlib::Timestamp& timestamp) {
    std::string text = timestamp.toString(true);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

// The moment a time stamp names, in seconds since the epoch; -1 for an
// empty or impossible one. gsmlib reads the zone's sign inverted (a
// stamp of +01:00 by GSM 03.40 comes out negative), which is undone here.
time_t timestampSeconds(const gsmlib::Timestamp& timestamp) {
    if (timestamp.empty()) return -1;
    struct tm fields = {};
    fields.tm_year = (timestamp._year < 100 ? timestamp._year + 2000 : timestamp._year) - 1900;
    fields.tm_mon = timestamp._month - 1;
    fields.tm_mday = timestamp._day;
    fields.tm_hour = timestamp._hour;
    fields.tm_min = timestamp._minute;
    fields.tm_sec = timestamp._seconds;
    if (fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1 || fields.tm_mday > 31) return -1;
    const time_t local = timegm(&fields);
    if (local == static_cast<time_t>(-1)) return -1;
    const long offsetMinutes = timestamp._negativeTimeZone ? timestamp._timeZoneMinutes : -timestamp._timeZoneMinutes;
    return local - offsetMinutes * 60;
}

// Prints gsmlib's text of a message: its time stamps carry NUL characters,
// which would cut the text short.
void printMessageText(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    tracePlain("%s\n", text.c_str());
}

// Without a connection a pass has nothing to wait for: this keeps the loop
// from spinning until the manager reconnects, and ends early on shutdown.
void pauseWhileDisconnected(StopSignal& stopSignal) { stopSignal.waitFor(std::chrono::seconds(1)); }

}  // namespace

// One reception indication of the modem: the new entry's place and kind.
struct IncomingMessage {
    int m_index = -1;
    std::string m_storeName;
    gsmlib::GsmEvent::SMSMessageType m_messageType = gsmlib::GsmEvent::NormalSMS;
};

// Collects the indications into the sender's list; gsmlib calls it inside
// waitEvent(), on the sender's thread.
class EventHandler : public gsmlib::GsmEvent {
public:
    EventHandler(const std::string& receiveStoreName, std::vector<IncomingMessage>& newMessages)
        : m_receiveStoreName(receiveStoreName), m_newMessages(newMessages) {}

    void SMSReception(gsmlib::SMSMessageRef message, SMSMessageType) override {
        traceAs("EventHandler", "SMSReception\n");
        if (!message.isnull()) printMessageText(message->toString());
    }

    void CBReception(gsmlib::CBMessageRef message) override {
        traceAs("EventHandler", "CBReception\n");
        if (!message.isnull()) printMessageText(message->toString());
    }

    void SMSReceptionIndication(std::string storeName, unsigned int index, SMSMessageType messageType) override {
        traceAs("EventHandler", "SMSReceptionIndication\n");
        // "MT" names the modem's combined store; the entry is read from the
        // store that receives new messages.
        IncomingMessage incoming;
        incoming.m_index = static_cast<int>(index);
        incoming.m_storeName =
            (!m_receiveStoreName.empty() && (storeName == "MT" || storeName == "mt")) ? m_receiveStoreName : storeName;
        incoming.m_messageType = messageType;
        m_newMessages.push_back(incoming);
    }

private:
    std::string m_receiveStoreName;
    std::vector<IncomingMessage>& m_newMessages;
};

SmsSenderMe::SmsSenderMe(const char* device, const char* baudrate, const std::string& pin, bool receiveAllSms,
                         const SenderContext& context, int sendTimeoutSeconds, const std::string& pinStateFile)
    : SmsSender(context),
      m_device(device ? device : ""),
      m_baudrate(baudrate ? baudrate : ""),
      m_pin(pin),
      m_refusedPin(pinStateFile),
      m_sendTimeoutSeconds(sendTimeoutSeconds > 0 ? sendTimeoutSeconds : 20),
      m_receiveStoreName(""),
      m_receiveAllSms(receiveAllSms),
      m_concatenationId(0) {}

SmsSenderMe::~SmsSenderMe() {
    Join();
    // The manager may have reconnected after the thread had ended.
    shutdownConnection();
}

bool SmsSenderMe::connected() { return m_connected; }

bool SmsSenderMe::sameAddress(const std::string& first, const std::string& second) {
    // gsmlib compares the number and the numbering plan, not the type of
    // number: "+420..." and "420..." are the same.
    return gsmlib::Address(first) == gsmlib::Address(second);
}

std::string SmsSenderMe::chat(gsmlib::UnixSerialPort* port, const std::string& command, const std::string& expected) {
    port->putLine("AT" + command);
    std::string line;
    do {
        line = Trim(port->getLine(), " \r");
        tracePlain("line: '%s'\n", line.c_str());
    } while (line.empty() || line == command);

    std::string value;
    if (matchResponse(line, expected)) {
        value = cutResponse(line, expected);
        if (Trim(expected, " \r") == "OK") return "OK";
    }
    tracePlain("rv: '%s'\n", value.c_str());
    if (line.find("ERROR") != std::string::npos) return line;

    tracePlain("----\n");
    bool ok = false;
    for (int count = 0; count < 5; ++count) {
        line = port->getLine();
        tracePlain("line: '%s'\n", line.c_str());
        if (line.find("OK") != std::string::npos) {
            ok = true;
            break;
        }
        if (line.find("ERROR") != std::string::npos) break;
    }
    tracePlain("ok: '%s'\n", ok ? "true" : "false");
    return ok ? value : line;
}

std::string SmsSenderMe::queryPinStatus(gsmlib::UnixSerialPort* port) {
    const std::string status = chat(port, "+CPIN?", "+CPIN:");
    const std::string text = "PIN Status: " + status;
    event('i', "ME: ", text);
    return status;
}

std::string SmsSenderMe::offerPin(gsmlib::UnixSerialPort* port) {
    if (m_pin.empty()) return "PIN is required but not specified in config file.";
    // A SIM blocks after three wrong PINs, however many restarts lie
    // between them: a refused PIN is never offered again.
    if (m_pinRefused || m_refusedPin.refused(m_pin)) {
        m_pinRefused = true;
        return "Wrong PIN specified in config file, giving up.";
    }
    const std::string answer = chat(port, "+CPIN=" + m_pin, "OK");
    if (answer != "OK") {
        m_pinRefused = true;
        std::string error;
        if (!m_refusedPin.remember(m_pin, error)) {
            event('e', "ME: ", "Cannot remember the refused PIN across restarts: " + error, ConsoleStream::Error);
        }
        return "PIN not OK, received: " + answer;
    }
    std::string error;
    if (!m_refusedPin.forget(error)) event('e', "ME: ", "Refused PIN record: " + error, ConsoleStream::Error);
    queryPinStatus(port);
    return std::string();
}

bool SmsSenderMe::connect() {
    // A modem object left from an earlier attempt would hold the line.
    if (m_me != nullptr) disconnect();
    m_errorLog->write("ME: Establishing connection", 'i');
    std::string failure;
    try {
        const speed_t speed = m_baudrate.empty() ? B38400 : gsmlib::baudRateStrToSpeed(m_baudrate);
        // gsmlib waits on the line with select(): a descriptor number of 1024
        // or more (many clients connected) would end the process.
        if (!lowDescriptorFree()) throw std::runtime_error("no descriptor below 1024 free for the modem line");
        gsmlib::UnixSerialPort* port = new gsmlib::UnixSerialPort(m_device, speed, "E0", false);
        // From here the reference owns the port: a failure before the modem
        // object shares it closes the line.
        gsmlib::Ref<gsmlib::Port> portRef(port);
        tracePlain("=== Mame UnixSerialPort ===\n");
        // Every later wait for an answer, a send's included, ends after the
        // configured time instead of gsmlib's minute.
        port->setTimeOut(static_cast<unsigned int>(m_sendTimeoutSeconds));

        // Only a SIM that asks for exactly its PIN gets one: a PIN given to a
        // SIM that wants its PUK would spend one of its last attempts.
        const std::string status = queryPinStatus(port);
        if (status == "SIM PIN") {
            failure = offerPin(port);
        } else if (status != "READY" && status.find("ERROR") == std::string::npos) {
            failure = "SIM not ready: " + simStateAdvice(status);
        }

        if (failure.empty()) {
            m_me = std::make_unique<gsmlib::MeTa>(portRef);
            tracePlain("=== Mame MeTa ===\n");
            const gsmlib::MEInfo info = m_me->getMEInfo();
            m_errorLog->put("ME: " + info._manufacturer + " - " + info._model + " (rev." + info._revision + ")");
            m_errorLog->write("ME: Serial number: " + info._serialNumber, 'i');
            std::string names = "ME: Store names:";
            for (const std::string& name : m_me->getSMSStoreNames()) names += " " + name;
            m_errorLog->write(names, 'i');
        }
    } catch (std::exception& e) {
        // gsmlib's GsmException, or anything else its parsing may throw.
        failure = e.what();
    }

    if (!failure.empty()) {
        event('e', "ME: ", "Connection failed: " + failure, ConsoleStream::Error);
        disconnect();
        return false;
    }
    event('i', "ME: ", "Connected");
    return true;
}

bool SmsSenderMe::disconnect() {
    m_connected = false;
    // Releasing the modem object closes the line.
    m_me.reset();
    return true;
}

bool SmsSenderMe::reconnect() {
    lock();
    if (connected()) disconnect();
    // A sender whose thread has ended must not open the line again.
    bool result = !m_context.stopSignal.stopping() && connect();
    if (result) {
        result = init();
        if (!result) disconnect();
    }
    unlock();
    return result;
}

void SmsSenderMe::registerEventHandler() {
    auto handler = std::make_unique<EventHandler>(m_receiveStoreName, m_newMessages);
    m_me->setEventHandler(handler.get());
    // The previous handler belonged to this or an earlier modem object;
    // neither calls it any more.
    m_eventHandler = std::move(handler);
}

bool SmsSenderMe::init() {
    if (m_me == nullptr) return false;
    bool ok = false;
    auto report = [this](const std::exception& e) {
        event('e', "ME: ", std::string("Initializing failed: ") + e.what(), ConsoleStream::Error);
    };
    try {
        std::string readDeleteStore;
        std::string writeSendStore;
        m_me->getSMSStore(readDeleteStore, writeSendStore, m_receiveStoreName);
        m_errorLog->write("ME: Using SMS store " + m_receiveStoreName, 'i');
        m_me->setMessageService(1);
        m_me->setSMSRoutingToTA(true, false, true, true);
        registerEventHandler();
        ok = true;
    } catch (GsmException& e) {
        report(e);
        if (e.getErrorClass() != gsmlib::MeTaCapabilityError) return false;
        // The modem cannot route status reports: receive messages all the
        // same. Messages still ask for reports.
        try {
            m_me->setSMSRoutingToTA(true, false, false, true);
            registerEventHandler();
            event('i', "ME: ", "Set SMS routing only, no status reports");
            ok = true;
        } catch (std::exception& fallbackError) {
            report(fallbackError);
            ok = false;
        }
    } catch (std::exception& e) {
        report(e);
        return false;
    }
    m_connected = ok;
    return ok;
}

int SmsSenderMe::sendSms(Sms& sms, int /*counter*/) {
    lock();
    traceAs(GetName(), "SendSms( %s, %s )\n", sms.target(), sms.message());
    const bool reportWanted = sms.wantsNotification();
    const std::string text = sms.message();

    std::vector<submitpdu::Pdu> pdus;
    // The reference the modem gave the message; a report quotes it.
    int reference = -1;
    std::string failure;
    // How the failure is to be handled: the modem's answer decides, and
    // anything but an answer (a time-out, a lost line) is the modem's.
    RefusalKind kind = RefusalKind::Modem;
    int cmsCode = 0;
    try {
        if (m_me == nullptr) throw GsmException("not connected to the modem", gsmlib::OtherError);
        submitpdu::Envelope envelope;
        envelope.destination = sms.target();
        envelope.statusReportRequest = reportWanted;
        envelope.flash = sms.onDisplay();
        // A part of a text the submission divided for a concatenation header.
        const Sms::Tracking& tracking = sms.tracking();
        const bool udhPart = m_context.text.udh && tracking.parts > 1 && tracking.part >= 1 &&
                             tracking.part <= tracking.parts && tracking.parts <= 255;
        submitpdu::PartHeader header;
        if (udhPart) {
            header.reference = sms.concatenationReference();
            header.count = static_cast<uint8_t>(tracking.parts);
            header.number = static_cast<uint8_t>(tracking.part);
        }
        // Parts of different messages to one phone must not be put together.
        const uint8_t ownReference = static_cast<uint8_t>(m_concatenationId + 1);
        std::string error;
        if (!submitpdu::buildPdus(text, m_context.text.unicode, envelope, udhPart ? &header : nullptr, ownReference,
                                  pdus, error)) {
            // A destination no address field carries, or too many parts:
            // refused for good below.
            throw GsmException(error, gsmlib::ParameterError);
        }
        if (pdus.size() > 1) m_concatenationId = ownReference;
        reference = sendPdus(pdus);
    } catch (GsmException& e) {
        failure = e.what();
        if (e.getErrorClass() == gsmlib::ChatError) {
            cmsCode = e.getErrorCode();
            kind = refusalKind(cmsCode);
        } else if (e.getErrorClass() == gsmlib::ParameterError || e.getErrorClass() == gsmlib::SMSFormatError) {
            // The message itself cannot be coded: no retry changes that.
            kind = RefusalKind::Permanent;
        }
    } catch (std::exception& e) {
        failure = e.what();
    }

    if (!failure.empty()) {
        const bool sameAsRefused = m_temporaryRefusals > 0 && m_refusedTarget == sms.target() && m_refusedText == text;
        if (!sameAsRefused) m_temporaryRefusals = 0;
        if (kind == RefusalKind::Temporary && m_temporaryRefusals >= temporaryRefusalLimit) {
            kind = RefusalKind::Permanent;
            failure += " (refused " + std::to_string(m_temporaryRefusals + 1) + " times, giving up)";
        }
        const std::string consoleLine = "[ERROR]: " + failure;
        switch (kind) {
            case RefusalKind::Permanent:
                // Sending it again would only be refused again.
                m_temporaryRefusals = 0;
                reportSms("Send SMS refused, not sent: " + failure, sms, m_errorLog, 'e', consoleLine,
                          ConsoleStream::Error);
                break;
            case RefusalKind::Temporary:
                // The front keeps the order; the pause gives the network time.
                ++m_temporaryRefusals;
                m_refusedTarget = sms.target();
                m_refusedText = text;
                m_sendingPausedUntil = time(nullptr) + temporaryRefusalPauseSeconds;
                m_context.sendQueue.insertSms(sms);
                reportSms("Send SMS refused for now, will retry: " + failure, sms, m_errorLog, 'e', consoleLine,
                          ConsoleStream::Error);
                break;
            case RefusalKind::Modem:
                m_temporaryRefusals = 0;
                disconnect();
                m_context.sendQueue.insertSms(sms);
                reportSms("Send SMS requested but error occured: " + failure, sms, m_errorLog, 'e', consoleLine,
                          ConsoleStream::Error);
                break;
        }
        unlock();
        return 1;
    }
    m_temporaryRefusals = 0;

    // The message is sent: nothing below may put it back in the queue.
    recordSent(sms, reportWanted ? reference : -1);
    writeSmsToLog("Send SMS requested", sms, m_accessLog, 'i');
    unlock();
    return 0;
}

int SmsSenderMe::sendPdus(const std::vector<submitpdu::Pdu>& pdus) {
    int reference = -1;
    for (size_t i = 0; i < pdus.size(); ++i) {
        const submitpdu::Pdu& pdu = pdus[i];
        traceAs(GetName(), "part %d/%d: %s, %d %s, PDU 00%s\n", static_cast<int>(i + 1), static_cast<int>(pdus.size()),
                smstext::codingName(pdu.coding), static_cast<int>(pdu.userDataLength),
                pdu.coding == smstext::Coding::Gsm7 ? "septets" : "octets", submitpdu::hex(pdu.octets).c_str());
        // "00": the modem's own service centre address. The length counts
        // the TPDU only.
        const std::string answer = m_me->getAt()->sendPdu("+CMGS=" + std::to_string(pdu.octets.size()),
                                                          "+CMGS:", "00" + submitpdu::hex(pdu.octets));
        gsmlib::Parser parser(answer);
        reference = parser.parseInt();
        traceAs(GetName(), "sent, reference %d: %s\n", reference, smstext::codePointsToUtf8(pdu.text).c_str());
    }
    return reference;
}

ReceivedText SmsSenderMe::receivedText(const gsmlib::SMSDeliverMessage& deliver, int storeIndex) {
    const uint8_t dcs = static_cast<unsigned char>(deliver.dataCodingScheme());
    const std::string headerData = deliver.userDataHeader();
    const std::string header = headerData.empty() ? std::string() : char(headerData.size()) + headerData;
    const std::string userData = deliver.userData();
    if (!m_context.text.unicode || smstext::codingOfDcs(dcs) != smstext::Coding::Gsm7) {
        return receivedDecodedText(m_context.text.unicode, dcs, header, userData, userData);
    }
    // gsmlib gives a 7-bit text as ISO-8859-1, with 0xAC for the characters
    // that have no code there (the escape and Greek capitals); the others
    // map back to their septets without loss.
    if (userData.find('\xAC') != std::string::npos && storeIndex >= 0 && m_me) {
        std::string pdu;
        try {
            m_me->getAt()->chat("+CMGR=" + std::to_string(storeIndex + 1), "+CMGR:", pdu, false, true, true);
        } catch (const GsmException& e) {
            traceAs(GetName(), "reading the PDU of entry %d again failed: %s\n", storeIndex, e.what());
        }
        uint8_t pduDcs = 0;
        bool headerPresent = false;
        size_t length = 0;
        std::string octets;
        if (!pdu.empty() && deliverUserData(pdu, pduDcs, headerPresent, length, octets)) {
            return receivedTpduText(true, pduDcs, headerPresent, octets, length, userData);
        }
    }
    return receivedDecodedText(true, dcs, header, gsmlib::latin1ToGsm(userData), userData);
}

bool SmsSenderMe::processMessage(gsmlib::SMSMessageRef message, int storeIndex) {
    if (message.isnull()) return true;

    if (message->messageType() == gsmlib::SMSMessage::SMS_DELIVER) {
        // A stored ME-to-SC message of the same type indicator is no
        // SMS-DELIVER.
        const gsmlib::SMSDeliverMessage* deliver = dynamic_cast<gsmlib::SMSDeliverMessage*>(message.getptr());
        if (deliver != nullptr) {
            const std::string originatingAddress = deliver->originatingAddress().toString();
            const std::string scAddress = deliver->serviceCentreAddress().toString();
            const std::string scTime = timestampText(deliver->serviceCentreTimestamp());
            const ReceivedText received = receivedText(*deliver, storeIndex);
            EnqueOutcome outcome;
            try {
                outcome = enqueReceived(received, receivedSmsEnvironment(originatingAddress, scAddress, scTime,
                                                                         received.text, received.alphabet));
            } catch (const std::exception& e) {
                m_errorLog->write(std::string("Store: cannot keep a received message, it stays in the modem's "
                                              "memory: ") +
                                      e.what(),
                                  'e');
                return false;
            }
            writeReceivedToLog(received, outcome, originatingAddress, "", scAddress, scTime);
            countReceived();
            return true;
        }
    }

    if (message->messageType() == gsmlib::SMSMessage::SMS_STATUS_REPORT) {
        // The same type indicator also marks a stored SMS-COMMAND.
        const gsmlib::SMSStatusReportMessage* report = dynamic_cast<gsmlib::SMSStatusReportMessage*>(message.getptr());
        if (report != nullptr) {
            const std::string recipient = report->recipientAddress().toString();
            const unsigned char reference = report->messageReference();
            const int status = report->status();
            const std::string meaning = gsmlib::getSMSStatusString(report->status());
            const time_t scTime = timestampSeconds(report->serviceCentreTimestamp());
            // Only a final report settles its message; while the centre
            // still tries, the entry waits for the next one.
            const ReportOutcome outcome = reportOutcome(status);
            const bool final = outcome != ReportOutcome::StillTrying;
            Sms reported;
            std::string email;
            const bool repeated = final && settledBefore(recipient, reference, scTime);
            const bool found = !repeated && findReportedMessage(recipient, reference, scTime, final, reported);
            if (!found && !repeated && countWithReference(recipient, reference) > 0) {
                // Most likely the network's clock is far from the host's.
                m_errorLog->write("ME: Status report for " +
                                      (m_errorLog_HideDestinationAddress ? std::string("<hidden>") : recipient) +
                                      " with reference " + std::to_string(reference) + " and time stamp " +
                                      timestampText(report->serviceCentreTimestamp()) +
                                      " fits no message sent within " + std::to_string(reportClockSkew / 60) +
                                      " minutes of it; check the clocks of the host and the network",
                                  'e');
            }
            if (found) {
                const bool confirmed =
                    outcome == ReportOutcome::Delivered && m_context.emailer != nullptr && *reported.mailTo() != '\0';
                Confirmation confirmation(reported.target(), reported.message(), report->serviceCentreTimestamp(),
                                          reported.mailTo());
                if (final) {
                    rememberSettled(recipient, reference, scTime);
                    recordFinalReport(reported, status, confirmed ? &confirmation : nullptr);
                }
                if (outcome == ReportOutcome::Delivered) {
                    if (confirmed) m_context.emailer->enque(confirmation);
                    email = reported.mailTo();
                } else if (outcome == ReportOutcome::Failed) {
                    writeSmsToLog("SMS not delivered: status " + std::to_string(status) + ": " + meaning, reported,
                                  m_errorLog, 'e');
                }
            }
            writeNotificationToLog("Status Report received", "", recipient, report->userData(), email,
                                   timestampText(report->serviceCentreTimestamp()),
                                   timestampText(report->dischargeTime()), status, meaning, m_receiveLog);
            return true;
        }
    }

    traceAs(GetName(), "Broadcast message received, ignoring.\n");
    return true;
}

bool SmsSenderMe::settledBefore(const std::string& recipient, unsigned char reference, time_t scTime) const {
    if (scTime < 0) return false;
    for (const SettledReport& settled : m_settledReports) {
        if (settled.reference == reference && settled.scTime == scTime && sameAddress(settled.recipient, recipient)) {
            return true;
        }
    }
    return false;
}

void SmsSenderMe::rememberSettled(const std::string& recipient, unsigned char reference, time_t scTime) {
    if (scTime < 0) return;
    m_settledReports.push_back(SettledReport{recipient, reference, scTime});
    if (m_settledReports.size() > settledReportsKept) m_settledReports.pop_front();
}

void SmsSenderMe::sendFromQueue() {
    if (!active() || !connected()) return;
    lock();
    const bool paused = time(nullptr) < m_sendingPausedUntil;
    unlock();
    if (paused) return;
    Sms sms;
    if (!m_context.sendQueue.getSms(sms)) return;
    traceAs(GetName(), "Size of SMS que: %d\n", m_context.sendQueue.size());
    traceAs(GetName(), "Sending SMS\n");
    sendSms(sms, 0);
}

void SmsSenderMe::flushReceiveStore() {
    traceAs(GetName(), "Flushing SMS store %s\n", m_receiveStoreName.c_str());
    gsmlib::SMSStoreRef store = m_me->getSMSStore(m_receiveStoreName);
    // A cached slot that was empty once would never show a new message.
    store->setCaching(false);
    for (gsmlib::SMSStore::iterator entry = store->begin(); entry != store->end(); ++entry) {
        if (entry->empty()) continue;
        gsmlib::SMSMessageRef message = entry->message();
        if (message.isnull()) {
            traceAs(GetName(), "Entry %d of SMS store %s is empty, erasing it\n", entry->index(),
                    m_receiveStoreName.c_str());
        } else if (!processMessage(message, entry->index())) {
            break;  // the store takes nothing now: the rest waits for the next reading too
        }
        store->erase(entry);
    }
}

void SmsSenderMe::waitForEvents() {
    // With messages waiting the next send follows at once: indications
    // that come meanwhile are collected while gsmlib reads the modem's
    // answers, and what is already on the line is read here without
    // waiting. A pause after a refusal waits no longer than it lasts.
    long waitMs = idleEventWaitSeconds * 1000L;
    lock();
    const time_t pausedUntil = m_sendingPausedUntil;
    unlock();
    const time_t now = time(nullptr);
    if (active() && m_context.sendQueue.size() > 0) {
        waitMs = now < pausedUntil ? std::min<long>(waitMs, (pausedUntil - now) * 1000L) : busyEventWaitMs;
    }
    struct timeval timeout;
    timeout.tv_sec = waitMs / 1000;
    timeout.tv_usec = (waitMs % 1000) * 1000;
    m_me->waitEvent(&timeout);
}

void SmsSenderMe::handleIndications() {
    while (!m_newMessages.empty() && !m_context.stopSignal.stopping()) {
        trace("%s --- mame SMSku ---\n", GetName());
        const IncomingMessage incoming = m_newMessages.front();
        m_newMessages.erase(m_newMessages.begin());

        gsmlib::SMSStoreRef store = m_me->getSMSStore(incoming.m_storeName);
        store->setCaching(false);
        if (incoming.m_index < 0 || incoming.m_index >= store->capacity()) {
            traceAs(GetName(), "SMS store %s has no entry %d, ignoring the indication\n", incoming.m_storeName.c_str(),
                    incoming.m_index);
            continue;
        }
        if (incoming.m_messageType == gsmlib::GsmEvent::CellBroadcastSMS) {
            gsmlib::CBMessageRef message = store->operator[](incoming.m_index).cbMessage();
            if (!message.isnull()) printMessageText(message->toString());
        } else {
            gsmlib::SMSMessageRef message = store->operator[](incoming.m_index).message();
            if (message.isnull()) {
                traceAs(GetName(), "Entry %d of SMS store %s is empty, erasing it\n", incoming.m_index,
                        incoming.m_storeName.c_str());
            } else {
                // Kept in the modem's memory and tried again after the
                // next wait for events.
                if (!processMessage(message, incoming.m_index)) {
                    m_newMessages.push_back(incoming);
                    break;
                }
                printMessageText(message->toString());
            }
        }
        store->erase(store->begin() + incoming.m_index);
    }
}

void SmsSenderMe::pass() {
    sendFromQueue();
    if (!connected()) {
        pauseWhileDisconnected(m_context.stopSignal);
        return;
    }
    // Reading every slot of the store takes a command per slot: while
    // messages go out back to back, once per idle wait is enough.
    const auto now = std::chrono::steady_clock::now();
    if (m_receiveAllSms && now - m_lastFlush >= std::chrono::seconds(idleEventWaitSeconds)) {
        m_lastFlush = now;
        flushReceiveStore();
    }
    waitForEvents();
    handleIndications();
}

void SmsSenderMe::shutdownConnection() {
    lock();
    if (connected()) {
        try {
            m_me->setSMSRoutingToTA(false, false, false, true);
        } catch (std::exception&) {
            // The line is released all the same.
        }
        disconnect();
    }
    unlock();
}

void SmsSenderMe::connectionLost(const std::string& cause) {
    lock();
    const bool wasConnected = connected();
    disconnect();
    unlock();
    // A connection that was not made yet has its own record (connect()).
    ::report(wasConnected ? m_errorLog : nullptr, 'e', "ME: Connection lost: " + cause, GetName(),
             "Main[328]: Exception: " + cause, ConsoleStream::Error);
}

void SmsSenderMe::Main() {
    traceAs(GetName(), "Main\n");
    while (!m_context.stopSignal.stopping()) {
        try {
            pass();
        } catch (std::exception& e) {
            // gsmlib reports modem failures as GsmException; anything else
            // from it drops the connection the same way.
            connectionLost(e.what());
        }
    }
    traceAs(GetName(), "shutdown indicator detected\n");
    ::report(nullptr, 'i', std::string(), GetName(), "is shuting down", ConsoleStream::Trace, SyslogLine::Info);
    shutdownConnection();
}
