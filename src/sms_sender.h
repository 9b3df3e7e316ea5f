// Base of the sender threads. The manager supervises a sender through its
// connection state, reconnect() and the active flag; the base also holds the
// loggers, the personal-data hiding flags, the sender's own lock and the
// writers of the log records of sent, received and reported messages.
#ifndef KST_SMS_SENDER_H
#define KST_SMS_SENDER_H

#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "qpthr.h"
#include "received_text.h"
#include "sms.h"
#include "sms_processing.h"
#include "text_settings.h"
#include "trace.h"

class Confirmation;
class DeferredRecords;
class Emailer;
class Logger;
class SentMessage;
class SentMessageRegistry;
struct SettledResult;
class SmsProcessing;
class StopSignal;
class Store;
struct Counters;

// The time a sender reads: wall-clock seconds for the time stamps and
// deadlines of its submissions (compared with the registry's), and the
// monotonic clock for waits bounded in time. The default is the real
// clocks; a test substitutes one it moves forward, so that it can drive
// the time-dependent paths without waiting. The registry stamps its entries
// with the real wall clock, so a substitute keeps the real pace and may only
// be ahead of it. Both are called on the sender's thread only.
class SenderClock {
public:
    virtual ~SenderClock() = default;
    virtual time_t now() const { return time(nullptr); }
    virtual std::chrono::steady_clock::time_point monotonicNow() const { return std::chrono::steady_clock::now(); }

    // The real clocks; lives as long as the process.
    static const SenderClock& real();
};

// The collaborators every sender works with, all owned by the Gateway (or a
// test) and alive as long as the sender. The references may be used from
// the sender's thread and, for the queue and the registry, any other.
struct SenderContext {
    SmsQue& sendQueue;                  // messages to send; failed ones go back
    SentMessageRegistry& sentMessages;  // handed on, awaiting results/reports
    Counters& counters;                 // sent and received messages
    Emailer* emailer;                   // confirmation e-mails; null: none
    SmsProcessing* processing;          // received messages; null: none
    StopSignal& stopSignal;             // ends the thread's loops and pauses
    Logger* errorLog;
    Logger* accessLog;
    Logger* receiveLog;
    // Where each message's way is recorded; null: nowhere (Store/Type
    // memory). Any thread.
    Store* store = nullptr;
    // Keeps the records of submissions and results while the store's
    // database is away; null: they fail as other records do. Any thread.
    DeferredRecords* deferred = nullptr;
    const SenderClock* clock = &SenderClock::real();  // never null
    // How texts are coded ([General]): the senders code each message by it
    // and the receivers decode what comes in by it.
    TextSettings text{};
};

// Which personal values the log records show as "<hidden>". All shown after
// construction.
class LogHidingFlags {
public:
    void setAccessLogHideIp(bool hide) { m_accessLog_HideIp = hide; }
    void setAccessLogHideDestinationAddress(bool hide) { m_accessLog_HideDestinationAddress = hide; }
    void setAccessLogHideUserData(bool hide) { m_accessLog_HideUserData = hide; }
    void setAccessLogHideEmail(bool hide) { m_accessLog_HideEmail = hide; }
    void setErrorLogHideDestinationAddress(bool hide) { m_errorLog_HideDestinationAddress = hide; }
    void setErrorLogHideUserData(bool hide) { m_errorLog_HideUserData = hide; }
    void setReceiveLogHideOriginatingAddress(bool hide) { m_receiveLog_HideOriginatingAddress = hide; }
    void setReceiveLogHideDestinationAddress(bool hide) { m_receiveLog_HideDestinationAddress = hide; }
    void setReceiveLogHideUserData(bool hide) { m_receiveLog_HideUserData = hide; }

protected:
    bool m_accessLog_HideIp = false;
    bool m_accessLog_HideDestinationAddress = false;
    bool m_accessLog_HideUserData = false;
    bool m_accessLog_HideEmail = false;
    bool m_errorLog_HideDestinationAddress = false;
    bool m_errorLog_HideUserData = false;
    bool m_receiveLog_HideOriginatingAddress = false;
    bool m_receiveLog_HideDestinationAddress = false;
    bool m_receiveLog_HideUserData = false;
};

// The flags are set by the manager at registration, before the threads start.
class SmsSender : public qpthr::QpThread, public LogHidingFlags {
public:
    // Takes the loggers and every other collaborator from `context`. Any
    // thread, before Start().
    explicit SmsSender(const SenderContext& context);
    // Waits for the thread. A derived sender joins in its own destructor as
    // well, before its members go away.
    ~SmsSender() override;

    void Main() override = 0;
    virtual bool connect() = 0;
    virtual bool disconnect() = 0;
    // Holds the sender lock, so that it never overlaps sendSms().
    virtual bool reconnect() EXCLUDES(m_mutex) = 0;
    virtual bool init() = 0;
    // Asked from the manager's and the remote interface's threads as well.
    virtual bool connected() = 0;
    // `counter`: submissions of this message before this one.
    virtual int sendSms(Sms& sms, int counter) EXCLUDES(m_mutex) = 0;

    // The active sender is the one that takes messages from the send queue.
    void start() { m_active = true; }
    void stop() { m_active = false; }
    bool active() const { return m_active; }

    void lock() ACQUIRE(m_mutex) { m_mutex.Lock(); }
    void unlock() RELEASE(m_mutex) { m_mutex.Unlock(); }

    // Record of a message handed on (access log) or not (error log). The
    // destination and the text follow the hiding flags of the log written
    // to; the client address and the e-mail address the access log's flags.
    void writeSmsToLog(const std::string& title, Sms& sms, Logger* logger, char type);
    // The same record and, for the same event, the console line
    // "<thread id>: <sender name>: <line>" on `stream`.
    void reportSms(const std::string& title, Sms& sms, Logger* logger, char type, const std::string& line,
                   ConsoleStream stream);
    // Record of a received message, type 'i'. The service centre and the
    // destination address are left out when empty.
    void writeRecvSmsToLog(const std::string& title, const std::string& originatingAddress,
                           const std::string& destinationAddress, const std::string& scAddress,
                           const std::string& userData, const std::string& timestamp, Logger* logger);
    // Hands a received message to the processor (when there is one), a part
    // of a concatenated message as a part of the group of this sender, its
    // originator and reference. Throws StoreError when the store cannot
    // take it: then nothing is kept. The sender's thread.
    EnqueOutcome enqueReceived(const ReceivedText& received, const EnvironmentList& variables);
    // The receive-log records of what enqueReceived() did: "SMS received"
    // (with "Part: N of M" for a part, "... again, ignored" for a part that
    // was there already) and, for the last missing part, "Concatenated SMS
    // joined" with the whole text; and the error record of a problem with
    // the data.
    void writeReceivedToLog(const ReceivedText& received, const EnqueOutcome& outcome,
                            const std::string& originatingAddress, const std::string& destinationAddress,
                            const std::string& scAddress, const std::string& timestamp);
    // Record of a delivery notification, type 'i'. The notification's own
    // originating address is not shown; the e-mail line is left out when
    // the address is empty.
    void writeNotificationToLog(const std::string& title, const std::string& originatingAddress,
                                const std::string& destinationAddress, const std::string& userData,
                                const std::string& email, const std::string& scTimestamp,
                                const std::string& dischargeTime, int statusCode, const std::string& statusDescription,
                                Logger* logger);

private:
    // The lines of writeSmsToLog()'s record.
    std::vector<std::string> smsRecord(const std::string& title, Sms& sms, Logger* logger) const;

protected:
    // Runs `record` on the store, when there is one. False, with an error
    // record naming `doing` and the cause, when the store failed: the
    // caller then stops submitting on this connection.
    bool recordInStore(const char* doing, const std::function<void(Store&)>& record);
    // As recordInStore(), for the records of submissions and results: while
    // the database is away they are kept in memory and written when it is
    // back (DeferredRecords), and the sender goes on. `record` captures what
    // it writes by value.
    bool recordOrKeep(const char* doing, std::function<void(Store&)> record);

    // Makes the confirmation to mail for a message whose delivery was
    // notified; false: none. It only computes (it may run under the store's
    // lock).
    using ConfirmationMaker = std::function<bool(const Sms& sms, Confirmation& confirmation)>;
    // Records a final delivery notification in the store, with the
    // confirmation that `makeConfirmation` makes, in one transaction: for
    // `entry`, the entry of this sender it matched and that the caller took
    // from the registry, or, without one and with a store that several
    // daemons share, for the message that a sender of this one's name in
    // any of them acknowledged with the first of `sysMsgs`
    // (Store::settleSharedNotification()). False when the
    // store failed: the caller does not acknowledge the notification.
    // Otherwise `matched` tells whether it was for a message (of any
    // daemon), `message`, and `confirmed` whether `confirmation` is to be
    // queued for the e-mailer: this call settled the message and made one
    // (a message that another daemon settled first gets none here). The
    // sender's thread.
    bool recordNotification(const SentMessage* entry, const std::vector<std::string>& sysMsgs, int status, time_t at,
                            const ConfirmationMaker& makeConfirmation, bool& matched, Sms& message, bool& confirmed,
                            Confirmation& confirmation);

    // Records the settled results in the store in one transaction, then
    // acts on each: an acknowledged one is counted, gets its access-log
    // record and, when it waits for no notification, leaves the registry; a
    // refused one is counted and handed to `refused`. Empties `settled`;
    // false when the store failed (the caller gives up the connection).
    bool settleResults(std::vector<SettledResult>& settled, const std::function<void(const SettledResult&)>& refused);

    // An event of this sender: the error-log record `recordLabel` + `text`
    // and the console line "<thread id>: <sender name>: <text>" on `stream`.
    void event(char type, const char* recordLabel, const std::string& text,
               ConsoleStream stream = ConsoleStream::Trace);

    // Connection state of the base; written and read on different threads.
    std::atomic<bool> m_connected;
    // Constant after construction.
    Logger* m_errorLog;
    Logger* m_accessLog;
    Logger* m_receiveLog;
    // Written by the manager's thread, read by the sender's.
    std::atomic<bool> m_active;
    // The sender lock: keeps reconnect() (the manager's thread) from
    // overlapping a submission (sendSms()) or another change of the
    // connection that a sender makes under it. It guards no member of the
    // base; a derived sender says what it guards and which rule keeps its
    // connection handle safe.
    qpthr::QpMutex m_mutex;

    // Collaborators, from the constructor.
    const SenderContext m_context;
};

#endif
