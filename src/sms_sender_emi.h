// The sender that submits queued messages to a short message service centre
// over TCP with EMI/UCP (libvessa), reads the SMSC's results, delivery
// notifications and incoming messages, and gives up the connection (for the
// manager to restore) whenever it misbehaves.
#ifndef KST_SMS_SENDER_EMI_H
#define KST_SMS_SENDER_EMI_H

#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include "sent_message.h"
#include "sms_sender.h"
#include "vessa.h"

class SmsSenderEmi : public SmsSender {
public:
    SmsSenderEmi(const char* hostAddress, unsigned short hostPort, const char* laId, const char* password,
                 int windowSize, int throughput, const char* originatingAddress, const char* alertAddress,
                 int alertTimeout, const SenderContext& context);
    // Waits for the thread, which disconnects before it ends, then releases
    // a connection the manager may have made after the thread ended.
    ~SmsSenderEmi() override;

    void Main() override;
    // Connects and logs in; false (with the library's error logged) when the
    // SMSC cannot be reached or refuses the login.
    bool connect() override;
    bool disconnect() override;
    // Under the sender lock: drops a live connection, waits and connects.
    bool reconnect() override EXCLUDES(m_mutex);
    bool init() override;
    bool connected() override;
    // Submits one message; 0 when it is on its way to the SMSC (it then waits
    // in the registry for its result), -1 when not (the message is then back
    // at the front of the send queue) or when the submission could not be
    // recorded in the store (the message then waits in the registry and
    // goes back to the queue with the connection, which the caller gives
    // up). The access log records the message
    // when the SMSC accepts it.
    int sendSms(Sms& sms, int counter) override EXCLUDES(m_mutex);

    // Returns this sender's messages that the SMSC has not acknowledged to
    // the end of the send queue, in the order they were submitted.
    // Acknowledged ones stay and wait for their notification.
    void returnSmsFromEmiQue();

    // How often a message refused with a code that says "try later" is
    // submitted again ("EMI/RetryRefused", 3 unless changed). Before the
    // thread starts.
    void setRetryRefused(int retries) { m_retryRefused = retries < 0 ? 0 : retries; }

    // Seconds the stop waits for the results of outstanding submissions.
    static constexpr int stopWaitSeconds = 5;
    // Pause before the first retry of a refused message; it doubles with
    // every further refusal (up to 1024 times this).
    static constexpr int refusalPauseSeconds = 5;

    // EMI time stamps (DDMMYYhhmmss) as "DD.MM.20YY", "hh:mm:ss" and both.
    static std::string emiTimestampToDate(const std::string& timestamp);
    static std::string emiTimestampToTime(const std::string& timestamp);
    static std::string emiTimestampToString(const std::string& timestamp);

    // Pause before a reconnection (5 s unless changed).
    void setReconnectPause(long milliseconds) { m_reconnectPauseMs = milliseconds; }

private:
    // The unit tests run the thread loop one pass() at a time on their own
    // thread, with the sender's thread not started.
    friend class EmiSenderPasses;

    // One pass of the thread loop; false when the thread is to end.
    bool pass(int& idleCounter);
    // Reads the results still waiting on the connection (up to a limit), so
    // that a submission the SMSC acknowledged before the connection broke is
    // not taken for lost and sent again; drops everything else.
    void readRemainingResults();
    // Reads and handles the frames the SMSC has sent, as many as are there
    // now (up to a limit); their number, or -1 when the connection was
    // given up.
    int readReadyFrames();
    void giveUpConnection();
    // Whether a submission could take a transaction id and fit the throughput
    // window now (always with a window of 0, which allows none at all). The
    // library's own check, with the same rule as the one emi_submit1 makes.
    bool canSubmit();
    // emi_submit1 of the message; the transaction id, which then awaits its
    // result, or the library's error. Under the sender lock.
    int submit(Sms& sms) REQUIRES(m_mutex);
    // emi_submit2 of a message coded by the text settings: IA5 (MT 3) for
    // ASCII, otherwise transparent data (MT 4) in the GSM default alphabet
    // (data coding 0, septets packed) or UCS-2 (data coding 8) named in the
    // extra services; a part of a longer text (Concatenation = udh) has its
    // concatenation header there too. The transaction id or an error.
    int submitCoded(Sms& sms, int notificationType) REQUIRES(m_mutex);
    // Submits the entry's message again with a fresh id; false (with the
    // error logged) when the library refuses.
    bool resubmit(const SentMessage& entry) EXCLUDES(m_mutex);
    // Logs each id whose result is overdue once; gives the connection up and
    // returns false when one has waited past all hope.
    bool checkOverdueResults();
    // Resubmits overdue entries and refused ones whose pause is over, drops
    // settled ones; false when the connection was given up.
    bool scanRegistry();
    // Takes the result just read (emi_msg) and settles its message in the
    // registry; a result that settled one is added to `settled`.
    void noteResult(int trnId, int opType, std::vector<SettledResult>& settled);
    // settleResults() of the base with handleRefusal() for the refusals.
    bool settleResults(std::vector<SettledResult>& settled);
    // Both for the one result just read.
    bool handleResult(int trnId, int opType);
    // A negative result that settled the message: retried later or final.
    void handleRefusal(const SettledResult& refusal);
    // The stop: takes no new message, waits up to stopWaitSeconds for the
    // results of outstanding submissions, then logs out and records what
    // stayed unanswered.
    void stopSending();
    // Ids taken by submissions and alerts that await their result.
    int awaitedResults() const;
    // false when the connection was given up.
    bool handleIncoming(int trnId, int opType);
    // Waits up to `milliseconds` for a queued message, a frame from the SMSC
    // or the stop; returns true when the whole time passed.
    bool idleWait(long milliseconds);
    // Sleeps up to `milliseconds`; ends early on the stop and, with
    // `untilActive`, as soon as the sender is active.
    void sleepUnlessStopping(long milliseconds, bool untilActive = false);

    // Constant after construction.
    std::string m_emiHostAddress;
    int m_emiHostPort;
    std::string m_emiLaId;
    std::string m_emiPassword;
    int m_emiWindowSize;
    int m_emiThroughput;
    std::string m_emiOriginatingAddress;
    std::string m_emiAlertAddress;
    int m_emiAlertTimeout;
    // The connection handle. Not guarded by the sender lock: who may touch
    // it follows from the activation protocol.
    //  - Only connect() makes it non-null. It runs on the manager's thread
    //    inside reconnect(), which the manager calls only for a sender it has
    //    just seen not connected (m_emi null), and no other thread makes it
    //    non-null meanwhile: connect() never replaces a live handle, and
    //    reconnect()'s own disconnect() never finds one.
    //  - Once non-null, only the sender's thread makes it null again
    //    (disconnect() in giveUpConnection() and stopSending()).
    //  - So the sender's thread is the only user of a live handle. pass()
    //    and what it calls use it without the lock: the handle they read
    //    stays valid until they give it up themselves, and after
    //    giveUpConnection() they return without touching it. Other threads
    //    only ask connected().
    //  - Being atomic, it is read by connected() on any thread (the
    //    statistics call too), and the sender's thread sees the handle
    //    complete that emi_init() made on the manager's thread.
    //  - A handle the manager made after the thread had ended (the stop
    //    came while connect() waited for the SMSC) is released by the
    //    destructor.
    std::atomic<EMI> m_emi;
    // Written by connect(), read by connected(); not 0 only while m_emi
    // is null.
    std::atomic<int> m_emiInitStatus;
    // Set before the threads start.
    long m_reconnectPauseMs;
    int m_retryRefused;
    // Sender thread only. When each transaction id (1-96) was taken by a
    // submission or an alert whose result has not come yet (0: free), and
    // whether its delay was logged. An id is never expired while it is
    // awaited, so the library does not give it to another submission; it
    // is free again with its result or when the connection is given up.
    time_t m_awaitedSince[97];
    bool m_overdueLogged[97];
};

#endif
