// The sender that submits queued messages to a short message service centre
// over TCP with EMI/UCP (libvessa), reads the SMSC's results, delivery
// notifications and incoming messages, and gives up the connection (for the
// manager to restore) whenever it misbehaves.
#ifndef KST_SMS_SENDER_EMI_H
#define KST_SMS_SENDER_EMI_H

#include <atomic>
#include <string>

#include "sms_sender.h"
#include "vessa.h"

class SentMessage;

class SmsSenderEmi : public SmsSender {
public:
    SmsSenderEmi(const char* hostAddress, unsigned short hostPort, const char* laId, const char* password,
                 int windowSize, int throughput, const char* originatingAddress, const char* alertAddress,
                 int alertTimeout, Logger* errorLog, Logger* accessLog, Logger* receiveLog);
    // Waits for the thread; the thread disconnects before it ends.
    ~SmsSenderEmi() override;

    void Main() override;
    // Connects and logs in; false (with the library's error logged) when the
    // SMSC cannot be reached or refuses the login.
    bool connect() override;
    bool disconnect() override;
    // Under the sender lock: drops a live connection, waits and connects.
    bool reconnect() override;
    bool init() override;
    bool connected() override;
    // Submits one message; 0 when the SMSC has it, -1 when not (the message
    // is then back at the front of the send queue).
    int sendSms(Sms& sms, int counter) override;

    // Returns this sender's submissions that the SMSC has not acknowledged
    // to the end of the send queue, in the order they were submitted.
    // Acknowledged ones stay and wait for their notification.
    void returnSmsFromEmiQue();

    // EMI time stamps (DDMMYYhhmmss) as "DD.MM.20YY", "hh:mm:ss" and both.
    static std::string emiTimestampToDate(const std::string& timestamp);
    static std::string emiTimestampToTime(const std::string& timestamp);
    static std::string emiTimestampToString(const std::string& timestamp);

    // Pause before a reconnection (5 s unless changed).
    void setReconnectPause(long milliseconds) { m_reconnectPauseMs = milliseconds; }

private:
    // One pass of the thread loop; false when the thread is to end.
    bool pass(int& idleCounter);
    // Reads the results still waiting on the connection (up to a limit), so
    // that a submission the SMSC acknowledged before the connection broke is
    // not taken for lost and sent again; drops everything else.
    void readRemainingResults();
    void giveUpConnection();
    // Whether a submission could take a transaction id and fit the throughput
    // window now (always with a window of 0, which allows none at all).
    bool canSubmit();
    // Resubmits overdue entries and drops settled ones; false when the
    // connection was given up.
    bool scanRegistry();
    void handleResult(int trnId);
    // false when the connection was given up.
    bool handleIncoming(int trnId, int opType);
    // Waits up to `milliseconds` for a queued message, a frame from the SMSC
    // or the stop; returns true when the whole time passed.
    bool idleWait(long milliseconds);
    // Sleeps up to `milliseconds`; ends early on the stop and, with
    // `untilActive`, as soon as the sender is active.
    void sleepUnlessStopping(long milliseconds, bool untilActive = false);

    std::string m_emiHostAddress;
    int m_emiHostPort;
    std::string m_emiLaId;
    std::string m_emiPassword;
    int m_emiWindowSize;
    int m_emiThroughput;
    std::string m_emiOriginatingAddress;
    std::string m_emiAlertAddress;
    int m_emiAlertTimeout;
    // Set and cleared on the sender's and the manager's threads, read by
    // connected() on any thread (the statistics call too).
    std::atomic<EMI> m_emi;
    std::atomic<int> m_emiInitStatus;
    long m_reconnectPauseMs;
};

#endif
