// The sender that reaches the mobile network through a GSM modem ("ME") on a
// serial line with gsmlib: it settles the SIM PIN, sends queued messages
// (with a status report request when a confirmation e-mail is wanted), and
// reads what the modem receives: short messages go to the received-SMS
// processing, status reports become confirmation e-mails.
//
// gsmlib's headers need gnu++14, so they stay out of this header; the
// implementation is in sms_sender_me_gsm.cc.
#ifndef KST_SMS_SENDER_ME_H
#define KST_SMS_SENDER_ME_H

#include <time.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "refused_pin.h"
#include "sms_sender.h"

namespace gsmlib {
class MeTa;
class UnixSerialPort;
class SMSMessage;
class SMSSubmitMessage;
class SMSDeliverMessage;
template <class T>
class Ref;
}  // namespace gsmlib

namespace submitpdu {
struct Pdu;
}  // namespace submitpdu

// The handler of the modem's unsolicited events and one reception indication
// it collects (defined with the sender).
class EventHandler;
struct IncomingMessage;
class Confirmation;

class SmsSenderMe : public SmsSender {
public:
    // What a status report's TP-Status says about its message.
    enum class ReportOutcome {
        Delivered,    // received by the recipient (0x00-0x02): confirmed
        StillTrying,  // temporary error, the centre still tries (0x20-0x3F)
        Failed        // final without delivery: permanent error, temporary
                      // error no longer tried, any other value
    };
    // What the modem's refusal of a send (its +CMS ERROR code) calls for.
    enum class RefusalKind {
        Permanent,  // the network will never take this message: dropped
        Temporary,  // network or congestion: sent again after a pause
        Modem       // the modem or its SIM is not in order: reconnect
    };
    // A status report's clock may differ from the host's by this much; a
    // report fits a message sent no further than this from its service
    // centre time stamp.
    static constexpr time_t reportClockSkew = 600;
    // Temporary refusals of one message before it is given up, and the
    // pause after each.
    static constexpr int temporaryRefusalLimit = 3;
    static constexpr int temporaryRefusalPauseSeconds = 5;
    // The event wait while messages wait to be sent: enough to pick up what
    // the modem has already said, no more.
    static constexpr long busyEventWaitMs = 0;

    // An empty baud rate selects 38400 baud. `sendTimeoutSeconds` bounds
    // every wait for the modem's answer; an empty `pinStateFile` keeps a
    // refused PIN in memory only. Nothing is opened here.
    SmsSenderMe(const char* device, const char* baudrate, const std::string& pin, bool receiveAllSms,
                const SenderContext& context, int sendTimeoutSeconds = 20, const std::string& pinStateFile = "");
    // Waits for the thread, then releases a connection the manager may have
    // made after the thread ended.
    ~SmsSenderMe() override;

    void Main() override;
    // Opens the line, settles the PIN, creates the modem object and logs the
    // modem's identity. Never throws.
    bool connect() override;
    // Always true. The caller holds the sender lock when another thread may
    // reconnect meanwhile.
    bool disconnect() override;
    // Under the sender lock: drops a live connection, connects and
    // initialises.
    bool reconnect() override EXCLUDES(m_mutex);
    // Prepares reception (stores, routing, event handler); the sender is
    // connected only when it succeeds. Never throws.
    bool init() override;
    bool connected() override;
    // Sends one message; 0 on success, 1 when it was not sent. A message
    // the network refused for good is dropped with an error record; one
    // refused for a while (congestion, no network) goes back to the front
    // of the queue and sending pauses, up to temporaryRefusalLimit times;
    // when the modem stopped answering or is out of order, the message goes
    // back to the front and the connection is dropped. The PDUs are built
    // here (submitpdu) in the coding [General] Encoding allows; a part of a
    // text the submission divided (Concatenation = udh) carries its
    // concatenation header. A text longer than one message goes as
    // concatenated parts; the last part's reference is registered, so its
    // status report confirms the message. The counter is not used.
    int sendSms(Sms& sms, int counter) override EXCLUDES(m_mutex);

    // Processes one message read from a store: a received SMS is logged,
    // counted and handed to processing, a status report confirmed. False
    // when the message must stay in the modem's memory: the durable store
    // could not take it (reported), and the next reading tries again.
    // `storeIndex` is the message's slot (from 0) in the store just read
    // (-1: none): a 7-bit text that the modem library cannot decode
    // without loss (escapes, Greek capitals) is read from there again as
    // its PDU.
    bool processMessage(gsmlib::Ref<gsmlib::SMSMessage> message, int storeIndex = -1);

    // The text of a received SMS-DELIVER as the executables get it.
    ReceivedText receivedText(const gsmlib::SMSDeliverMessage& deliver, int storeIndex);

    static ReportOutcome reportOutcome(int status);
    static RefusalKind refusalKind(int cmsCode);
    // The text that names a SIM state other than READY and SIM PIN and
    // what the operator must do about it.
    static std::string simStateAdvice(const std::string& state);

    // Whether `answer` begins with `expected`.
    static bool matchResponse(const std::string& answer, const std::string& expected);
    // `answer` after the length of `expected`, without blanks and carriage
    // returns around it.
    static std::string cutResponse(const std::string& answer, const std::string& expected);
    // One AT exchange over the raw port, before the modem object exists:
    // the reply value after `expected`, "OK", or the error line.
    std::string chat(gsmlib::UnixSerialPort* port, const std::string& command, const std::string& expected);

private:
    // Counts a sent message and, when `reference` is not negative, registers
    // it for the status report that will quote that reference.
    void recordSent(const Sms& sms, int reference);
    void countReceived();
    // Finds this sender's registered message that a status report for
    // `recipient` quoting `reference` with service centre time `scTime`
    // (-1: none) is about: among the entries with that recipient and
    // reference, the one sent closest to `scTime`, within reportClockSkew
    // (without a time, the oldest). Removes it when `take`. False when
    // there is none.
    bool findReportedMessage(const std::string& recipient, unsigned char reference, time_t scTime, bool take, Sms& sms);
    // Records in the store that the message's final status report came
    // with `status`, and the `confirmation` it makes (null: none) in the
    // same transaction, which gives it its store id (a failure to record is
    // reported, nothing else).
    void recordFinalReport(const Sms& sms, int status, Confirmation* confirmation);
    // How many of this sender's registered messages have this recipient and
    // reference, whatever their send time.
    size_t countWithReference(const std::string& recipient, unsigned char reference) const;
    // Whether two addresses name the same number, as the modem sees them.
    static bool sameAddress(const std::string& first, const std::string& second);

    // Sends the PDUs in order (AT+CMGS in PDU mode); returns the last one's
    // reference. Throws gsmlib's GsmException.
    int sendPdus(const std::vector<submitpdu::Pdu>& pdus) REQUIRES(m_mutex);
    // One pass of the thread loop.
    void pass();
    void sendFromQueue();
    void flushReceiveStore();
    void waitForEvents();
    void handleIndications();
    // Registers a new event handler and disposes of the previous one.
    void registerEventHandler();
    // The PIN status query of connect(), with its record and console line.
    std::string queryPinStatus(gsmlib::UnixSerialPort* port);
    // Settles a SIM that asks for its PIN; returns the failure, or empty.
    std::string offerPin(gsmlib::UnixSerialPort* port);
    // Whether a final report with this key settled a message already.
    bool settledBefore(const std::string& recipient, unsigned char reference, time_t scTime) const;
    void rememberSettled(const std::string& recipient, unsigned char reference, time_t scTime);
    // The connection is gone: error record with the cause, line released.
    void connectionLost(const std::string& cause) EXCLUDES(m_mutex);
    // Switches routing off and releases the line at the end of the thread.
    void shutdownConnection() EXCLUDES(m_mutex);

    // Constant after construction.
    std::string m_device;
    std::string m_baudrate;
    // Only connect() uses them: the SIM refused m_pin once (in this run or,
    // by the file, an earlier one); it is never offered again.
    std::string m_pin;
    bool m_pinRefused = false;
    RefusedPinFile m_refusedPin;
    // Constant after construction.
    int m_sendTimeoutSeconds;
    // The modem object. Not guarded by the sender lock: who may touch it
    // follows from the activation protocol, with m_connected publishing it.
    //  - connect() and init() make it (and m_receiveStoreName and
    //    m_eventHandler) only inside reconnect(), on the manager's thread
    //    under the sender lock, and the manager calls reconnect() only for
    //    a sender it has just seen not connected. init() sets m_connected
    //    last; that hands the new object to the sender's thread.
    //  - The sender's thread uses it without the lock (store reading,
    //    waitEvent()) only after it has seen connected(); while the sender
    //    is connected no other thread touches it.
    //  - disconnect() clears m_connected first and then releases it, always
    //    under the sender lock (reconnect(), sendSms(), the thread's error
    //    handler, shutdownConnection()): the manager may see the sender not
    //    connected at once, but its reconnect() waits until the object is
    //    released.
    //  - The destructor releases one the manager made after the thread
    //    had ended.
    std::unique_ptr<gsmlib::MeTa> m_me;
    std::string m_receiveStoreName;
    // Constant after construction.
    bool m_receiveAllSms;
    // The handler registered with the current modem object; replaced by
    // every init(). gsmlib calls it on the thread that talks to the modem:
    // the sender's thread once the sender is connected.
    std::unique_ptr<EventHandler> m_eventHandler;
    // The reference of the last message this sender divided itself (only
    // sendSms() divides messages).
    unsigned char m_concatenationId GUARDED_BY(m_mutex);
    // Indications collected during waitEvent(), oldest first. Only the
    // sender's thread touches it: gsmlib calls the handler inside
    // waitEvent().
    std::vector<IncomingMessage> m_newMessages;

    // Final reports already matched: (recipient, reference, centre time)
    // names one submission, so a repeated report confirms nothing again.
    struct SettledReport {
        std::string recipient;
        unsigned char reference;
        time_t scTime;
    };
    // Only the sender's thread touches these.
    std::deque<SettledReport> m_settledReports;
    // When the receive store was last read whole (ReceiveAllSms).
    std::chrono::steady_clock::time_point m_lastFlush;
    // The message at the front of the queue that the network refused for a
    // while, how often, and when sending may go on (steady clock seconds).
    std::string m_refusedTarget GUARDED_BY(m_mutex);
    std::string m_refusedText GUARDED_BY(m_mutex);
    int m_temporaryRefusals GUARDED_BY(m_mutex) = 0;
    time_t m_sendingPausedUntil GUARDED_BY(m_mutex) = 0;
};

#endif
