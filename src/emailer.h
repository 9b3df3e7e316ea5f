// Confirmation e-mails: the record of one confirmation and the e-mailer
// thread that fills the subject and body templates and mails each
// confirmation through the SMTP client, one at a time, in queue order. A
// confirmation that failed for a passing reason waits for its own retry
// while the ones behind it go on.
#ifndef KST_EMAILER_H
#define KST_EMAILER_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <list>
#include <string>

#include "qpthr.h"
#include "smtp.h"
#include "stop_signal.h"
#include "worker_queue.h"

namespace gsmlib {
struct Timestamp;
}
class Logger;
class Store;
struct Counters;
struct StoredConfirmation;

// One confirmation e-mail to send.
class Confirmation {
public:
    Confirmation();
    // Null pointers count as empty strings.
    Confirmation(const char* da, const char* ud, const char* date, const char* time, const char* email);
    // Date as "day.month.year" (the time stamp's two-digit year + 2000) and
    // time as "hour:minute:second", without zero padding.
    Confirmation(const char* da, const char* ud, const gsmlib::Timestamp& timestamp, const char* email);
    // One the store kept, with its id and failure count.
    explicit Confirmation(const StoredConfirmation& stored);

    // What the store keeps of it (without ids).
    StoredConfirmation stored() const;

    // The template with "%DA%", "%UD%", "%DATE%", "%TIME%" and "%LF%" replaced,
    // one placeholder after the other over the whole text: a placeholder
    // inside an earlier value is replaced by a later pass ("%LF%" in the text
    // becomes a line feed, "%DA%" in it stays).
    std::string applyTemplate(std::string text) const;

    std::string m_da;     // destination address of the confirmed SMS
    std::string m_ud;     // its text
    std::string m_date;   // delivery date
    std::string m_time;   // delivery time
    std::string m_email;  // where the e-mail goes
    int m_count;          // failed sending attempts so far
    // Its row in the store; 0: not stored.
    uint64_t m_storeId = 0;
};

class Emailer : public qpthr::QpThread {
public:
    // The default pause before a failed e-mail is tried again.
    static constexpr std::chrono::milliseconds kDefaultRetryPause{60000};

    // `errorLog` (null: no records), `counters` and `stopSignal` must
    // outlive the e-mailer. Any thread, before Start().
    Emailer(const std::string& serverHost, const std::string& serverPort, const std::string& from,
            const std::string& subjectTemplate, const std::string& bodyTemplate, Logger* errorLog, Counters& counters,
            StopSignal& stopSignal);
    // Joins the thread: request the stop first.
    // Confirmations still queued are dropped (the store keeps them).
    ~Emailer() override;

    // The store in which each confirmation with a store id is marked mailed
    // or given up (and its failures counted) before it is forgotten; its
    // failures go to the error log. Null: none. Before Start().
    void setStore(Store* store);

    // The e-mailer's own thread. Sends queued confirmations until the stop
    // is requested, which ends every wait at once.
    // - A permanent refusal (a 5xx reply) drops the confirmation at once,
    //   with a record that quotes the reply.
    // - Any other failure (a 4xx reply, no usable server) is tried again
    //   after the retry pause, at the front of the queue; the third failure
    //   drops it. Meanwhile the confirmations behind it are sent.
    // - When the server could not be used at all (smtp::Failure::kServer),
    //   nothing is sent during the pause either: the others would fail the
    //   same way and lose their attempts. The failed one tries first after it.
    void Main() override;

    void setSubjectTemplate(const std::string& text) EXCLUDES(m_mutex);
    void setBodyTemplate(const std::string& text) EXCLUDES(m_mutex);
    // The pause before a failed e-mail is tried again (kDefaultRetryPause
    // unless changed); applies to failures from now on.
    void setRetryPause(std::chrono::milliseconds pause) EXCLUDES(m_mutex);

    // Appends a copy at the back of the queue and wakes the thread. Any
    // thread (the senders').
    bool enque(Confirmation& confirmation) EXCLUDES(m_mutex);
    // Confirmations not sent yet: queued and waiting for a retry. Any thread.
    int size() EXCLUDES(m_mutex);
    // Removes and returns the next confirmation to send: a due retry before
    // the queued ones (an empty one when there is none). Main's thread, or a
    // test's while the thread does not run.
    Confirmation get() EXCLUDES(m_mutex);
    // Makes the thread look at the stop flag; the stop wakes it by itself.
    // Any thread.
    void wakeUp();
    // One sending attempt; counts the sent e-mail or the failed attempt and
    // writes its record. `failure`, if given, says why it failed. The store
    // hears of the outcome from Main(), not from here.
    bool sendConfirmation(Confirmation& confirmation, smtp::Failure* failure = nullptr) EXCLUDES(m_mutex);

private:
    using Clock = std::chrono::steady_clock;

    // A failed confirmation and when it may be tried again.
    struct Retry {
        Clock::time_point due;
        Confirmation confirmation;
    };

    // Drops the confirmation or schedules its retry (Main's thread, without
    // the lock).
    void handleFailure(const Confirmation& confirmation, const smtp::Failure& failure) EXCLUDES(m_mutex);
    // Records in the store that the confirmation was mailed or given up
    // (`finished`), or failed once more and waits for its retry.
    void recordInStore(const Confirmation& confirmation, bool finished, bool mailed);
    // Moves the retries due at `now` to m_que, earliest first.
    void takeDueRetries(Clock::time_point now) REQUIRES(m_mutex);
    // Main's wait when nothing can be sent now: until the end of a server
    // pause, until the next retry is due or something is queued, or (with
    // nothing pending at all) until something is queued; the stop ends
    // every wait.
    void waitForWork(bool serverPaused, Clock::time_point until, bool anythingPending) EXCLUDES(m_mutex);

    // Constant after construction.
    const std::string m_serverHost;
    const std::string m_serverPort;
    const std::string m_from;
    // Guarded by m_mutex, from here to it.
    std::string m_subjectTemplate GUARDED_BY(m_mutex);
    std::string m_bodyTemplate GUARDED_BY(m_mutex);
    // The retries that are due, sent before the queued confirmations.
    std::list<Confirmation> m_que GUARDED_BY(m_mutex);
    // Ordered by due time.
    std::list<Retry> m_retries GUARDED_BY(m_mutex);
    // Nothing is sent before this time (the server could not be used).
    Clock::time_point m_serverPausedUntil GUARDED_BY(m_mutex){};
    std::chrono::milliseconds m_retryPause GUARDED_BY(m_mutex){kDefaultRetryPause};
    qpthr::QpMutex m_mutex;

    // Set before Start(), constant from then on.
    Store* m_store = nullptr;
    // Collaborators, from the constructor: the records of sent and failed
    // e-mails (null: none), the sent-confirmation counter and the stop.
    Logger* const m_errorLog;
    Counters& m_counters;
    StopSignal& m_stopSignal;
    // The confirmations handed over by the senders, in arrival order.
    WorkerQueue<Confirmation> m_queue;
};

#endif
