// Confirmation e-mails: the record of one confirmation and the e-mailer
// thread that fills the subject and body templates and mails each
// confirmation through the SMTP client, one at a time, in queue order.
#ifndef KST_EMAILER_H
#define KST_EMAILER_H

#include <atomic>
#include <chrono>
#include <list>
#include <string>

#include "qpthr.h"

namespace gsmlib {
struct Timestamp;
}

// Confirmation e-mails sent since start; written by the e-mailer thread,
// read by the statistics call.
extern std::atomic<long> g_numberOfSentConfirmations;

// One confirmation e-mail to send.
class Confirmation {
public:
    Confirmation();
    // Null pointers count as empty strings.
    Confirmation(const char* da, const char* ud, const char* date, const char* time, const char* email);
    // Date as "day.month.year" (the time stamp's two-digit year + 2000) and
    // time as "hour:minute:second", without zero padding.
    Confirmation(const char* da, const char* ud, const gsmlib::Timestamp& timestamp, const char* email);

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
};

class Emailer : public qpthr::QpThread {
public:
    // The default pause after a failed e-mail.
    static constexpr std::chrono::milliseconds kDefaultRetryPause{60000};

    Emailer(const std::string& serverHost, const std::string& serverPort, const std::string& from,
            const std::string& subjectTemplate, const std::string& bodyTemplate);
    // Joins the thread: set g_shutdownIndicator and call wakeUp() first.
    // Confirmations still queued are dropped.
    ~Emailer() override;

    // Sends queued confirmations until g_shutdownIndicator is set. A failed
    // confirmation goes back to the front of the queue and is dropped after
    // its third failure; every failure is followed by a pause that the
    // shutdown ends at once.
    void Main() override;

    void setSubjectTemplate(const std::string& text);
    void setBodyTemplate(const std::string& text);
    // The pause after a failed e-mail (kDefaultRetryPause unless changed).
    void setRetryPause(std::chrono::milliseconds pause);

    // Appends a copy at the back of the queue and wakes the thread.
    bool enque(Confirmation& confirmation);
    // Puts a copy at the front of the queue and wakes the thread.
    bool insert(Confirmation& confirmation);
    int size();
    // Removes and returns the front of the queue. The caller holds the queue
    // lock and has seen that the queue is not empty (only Main calls it).
    Confirmation get();
    // Wakes the thread so that it sees g_shutdownIndicator. Takes the queue
    // lock, so call it from a thread, not from an asynchronous signal
    // handler.
    void wakeUp();
    // One sending attempt; counts the sent e-mail or the failed attempt.
    bool sendConfirmation(Confirmation& confirmation);

private:
    void pauseAfterFailure();

    const std::string m_serverHost;
    const std::string m_serverPort;
    const std::string m_from;
    std::string m_subjectTemplate;
    std::string m_bodyTemplate;
    std::list<Confirmation> m_que;
    std::chrono::milliseconds m_retryPause{kDefaultRetryPause};
    qpthr::QpMutex m_mutex;
    qpthr::QpCond m_cond;
};

#endif
