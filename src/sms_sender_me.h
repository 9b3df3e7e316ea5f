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

#include <memory>
#include <string>
#include <vector>

#include "sms_sender.h"

namespace gsmlib {
class MeTa;
class UnixSerialPort;
class SMSMessage;
class SMSSubmitMessage;
template <class T>
class Ref;
}  // namespace gsmlib

// The handler of the modem's unsolicited events and one reception indication
// it collects (defined with the sender).
class EventHandler;
struct IncomingMessage;

class SmsSenderMe : public SmsSender {
public:
    // An empty baud rate selects 38400 baud. Nothing is opened here.
    SmsSenderMe(const char* device, const char* baudrate, const std::string& pin, bool receiveAllSms,
                const SenderContext& context);
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
    // Sends one message; 0 on success, 1 when the modem refused it (the
    // message is then back at the end of the send queue and the connection
    // is dropped). A text longer than one message goes as concatenated
    // parts; the last part's reference is registered, so its status report
    // confirms the message. The counter is not used.
    int sendSms(Sms& sms, int counter) override EXCLUDES(m_mutex);

    // Processes one message read from a store: a received SMS is logged,
    // counted and handed to processing, a status report confirmed.
    void processMessage(gsmlib::Ref<gsmlib::SMSMessage> message);

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
    // Takes this sender's registered message that a status report for
    // `recipient` quoting `reference` is about, recording its `status`;
    // false when there is none.
    // Entries older than a week that are passed on the way are dropped.
    bool takeReportedMessage(const std::string& recipient, unsigned char reference, int status, Sms& sms);
    // Whether two addresses name the same number, as the modem sees them.
    static bool sameAddress(const std::string& first, const std::string& second);

    // Sends `text` as concatenated parts with the settings of `message`;
    // returns the last part's reference. Throws gsmlib's GsmException.
    int sendConcatenated(gsmlib::Ref<gsmlib::SMSSubmitMessage> message, const std::string& text) REQUIRES(m_mutex);
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
    // Switches routing off and releases the line at the end of the thread.
    void shutdownConnection() EXCLUDES(m_mutex);

    // Constant after construction.
    std::string m_device;
    std::string m_baudrate;
    // "ERROR" once the SIM has refused it: it is never offered again.
    // Only connect() uses it.
    std::string m_pin;
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
    // The number of the last concatenated message (only sendSms() sends
    // concatenated messages).
    unsigned char m_concatenationId GUARDED_BY(m_mutex);
    // Indications collected during waitEvent(), oldest first. Only the
    // sender's thread touches it: gsmlib calls the handler inside
    // waitEvent().
    std::vector<IncomingMessage> m_newMessages;
};

#endif
