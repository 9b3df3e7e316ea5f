#include "emailer.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>

#include "counters.h"
#include "http/request_decoding.h"
#include "logger.h"
#include "smtp.h"
#include "store.h"
#include "trace.h"

namespace {

const char* text(const char* value) { return value ? value : ""; }

}  // namespace

Confirmation::Confirmation() : m_count(0) {}

Confirmation::Confirmation(const char* da, const char* ud, const char* date, const char* time, const char* email)
    : m_da(text(da)), m_ud(text(ud)), m_date(text(date)), m_time(text(time)), m_email(text(email)), m_count(0) {}

Confirmation::Confirmation(const StoredConfirmation& stored)
    : m_da(stored.destination),
      m_ud(stored.userData),
      m_date(stored.date),
      m_time(stored.time),
      m_email(stored.email),
      m_count(stored.failures),
      m_storeId(stored.id) {}

StoredConfirmation Confirmation::stored() const {
    StoredConfirmation stored;
    stored.destination = m_da;
    stored.userData = m_ud;
    stored.date = m_date;
    stored.time = m_time;
    stored.email = m_email;
    stored.failures = m_count;
    return stored;
}

std::string Confirmation::applyTemplate(std::string result) const {
    static const std::string lineFeed = "\n";
    const struct {
        const char* placeholder;
        const std::string& value;
    } passes[] = {
        {"%DA%", m_da}, {"%UD%", m_ud}, {"%DATE%", m_date}, {"%TIME%", m_time}, {"%LF%", lineFeed},
    };
    for (const auto& pass : passes) {
        const std::string placeholder = pass.placeholder;
        size_t position = 0;
        while ((position = result.find(placeholder, position)) != std::string::npos) {
            result.replace(position, placeholder.size(), pass.value);
            position += pass.value.size();
        }
    }
    return result;
}

Emailer::Emailer(const std::string& serverHost, const std::string& serverPort, const std::string& from,
                 const std::string& subjectTemplate, const std::string& bodyTemplate, Logger* errorLog,
                 Counters& counters, StopSignal& stopSignal)
    : qpthr::QpThread(0, 0, nullptr, 0),
      m_serverHost(serverHost),
      m_serverPort(serverPort),
      m_from(from),
      m_subjectTemplate(subjectTemplate),
      m_bodyTemplate(bodyTemplate),
      m_errorLog(errorLog),
      m_counters(counters),
      m_stopSignal(stopSignal),
      m_queue(stopSignal) {
    trace("Emailer: server host: '%s'\n", m_serverHost.c_str());
    trace("Emailer: server port: '%s'\n", m_serverPort.c_str());
    trace("Emailer: from:        '%s'\n", m_from.c_str());
    trace("Emailer: subject:     '%s'\n", m_subjectTemplate.c_str());
    trace("Emailer: body:        '%s'\n", m_bodyTemplate.c_str());
}

Emailer::~Emailer() {
    // The members below must outlive the thread that uses them.
    Join();
}

void Emailer::setStore(Store* store) { m_store = store; }

void Emailer::recordInStore(const Confirmation& confirmation, bool finished, bool mailed) {
    if (m_store == nullptr || confirmation.m_storeId == 0) return;
    try {
        if (finished) {
            m_store->markConfirmationDone(confirmation.m_storeId, mailed, confirmation.m_count, time(nullptr));
        } else {
            m_store->markConfirmationFailed(confirmation.m_storeId, confirmation.m_count);
        }
    } catch (const StoreError& e) {
        // Still pending in the store: a restart mails it again.
        const std::string message =
            std::string("Store: cannot record the confirmation for '") + confirmation.m_da + "': " + e.what();
        report(m_errorLog, 'e', message, GetName(), message, ConsoleStream::Error);
    }
}

void Emailer::setSubjectTemplate(const std::string& value) {
    qpthr::QpLock lock(m_mutex);
    m_subjectTemplate = value;
}

void Emailer::setBodyTemplate(const std::string& value) {
    qpthr::QpLock lock(m_mutex);
    m_bodyTemplate = value;
}

void Emailer::setRetryPause(std::chrono::milliseconds pause) {
    qpthr::QpLock lock(m_mutex);
    m_retryPause = pause;
}

bool Emailer::enque(Confirmation& confirmation) {
    traceAs(GetName(), "enque( '%s', '%s', '%s', '%s', '%s' )\n", confirmation.m_da.c_str(), confirmation.m_ud.c_str(),
            confirmation.m_date.c_str(), confirmation.m_time.c_str(), confirmation.m_email.c_str());
    m_queue.push(confirmation);
    return true;
}

int Emailer::size() {
    size_t pending;
    {
        qpthr::QpLock lock(m_mutex);
        pending = m_que.size() + m_retries.size();
    }
    return static_cast<int>(pending + m_queue.size());
}

Confirmation Emailer::get() {
    {
        qpthr::QpLock lock(m_mutex);
        if (!m_que.empty()) {
            Confirmation front = m_que.front();
            m_que.pop_front();
            return front;
        }
    }
    Confirmation queued;
    m_queue.tryPop(queued);
    return queued;
}

void Emailer::wakeUp() { m_queue.wakeUp(); }

bool Emailer::sendConfirmation(Confirmation& confirmation, smtp::Failure* failure) {
    traceAs(GetName(), "sending confirmation( '%s', '%s', '%s', '%s', '%s' )\n", confirmation.m_da.c_str(),
            confirmation.m_ud.c_str(), confirmation.m_date.c_str(), confirmation.m_time.c_str(),
            confirmation.m_email.c_str());
    std::string subjectTemplate;
    std::string bodyTemplate;
    {
        qpthr::QpLock lock(m_mutex);
        subjectTemplate = m_subjectTemplate;
        bodyTemplate = m_bodyTemplate;
    }
    // The mail is declared ISO-8859-2: a UTF-8 text (Encoding = unicode) is
    // converted, transliterated where it must be.
    Confirmation mailed = confirmation;
    std::string iso88592;
    if (std::any_of(mailed.m_ud.begin(), mailed.m_ud.end(), [](char c) { return (c & 0x80) != 0; }) &&
        utf8ToIso88592(mailed.m_ud, iso88592)) {
        mailed.m_ud = iso88592;
    }
    const std::string subject = mailed.applyTemplate(subjectTemplate);
    const std::string body = mailed.applyTemplate(bodyTemplate);
    traceAs(GetName(), "subject: '%s'\n", subject.c_str());
    traceAs(GetName(), "body:    '%s'\n", body.c_str());

    char errorText[256] = "";
    const auto port = static_cast<unsigned short>(strtol(m_serverPort.c_str(), nullptr, 10));
    const bool sent =
        smtp::smtpSendMail(m_serverHost.c_str(), port, m_from.c_str(), confirmation.m_email.c_str(), "", "",
                           subject.c_str(), body.c_str(), errorText, sizeof errorText, nullptr, failure);
    std::string message;
    if (sent) {
        message = "Confirmation for '" + confirmation.m_da + "' was sent to '" + confirmation.m_email + "' successfuly";
        ++m_counters.sentConfirmations;
    } else {
        message = "Confirmation for '" + confirmation.m_da + "' sent failed to '" + confirmation.m_email +
                  "', reason: " + errorText;
        ++confirmation.m_count;
        ++m_counters.failedConfirmations;
    }
    report(m_errorLog, sent ? 'i' : 'e', message, GetName(), message, ConsoleStream::Trace);
    return sent;
}

void Emailer::handleFailure(const Confirmation& confirmation, const smtp::Failure& failure) {
    std::string dropped;
    if (failure.kind == smtp::Failure::kPermanent) {
        dropped = "Confirmation for '" + confirmation.m_da + "' was refused permanently by the mail server (" +
                  failure.reply + "). Removing it from the que.";
    } else if (confirmation.m_count > 2) {
        dropped = "Confirmation for '" + confirmation.m_da + "' sent failed three times. Removing it from the que.";
    }
    if (!dropped.empty()) {
        report(m_errorLog, 'i', dropped, GetName(), dropped, ConsoleStream::Trace);
    }
    recordInStore(confirmation, !dropped.empty(), false);
    const bool serverUnusable = failure.kind == smtp::Failure::kServer;
    if (!dropped.empty() && !serverUnusable) return;

    qpthr::QpLock lock(m_mutex);
    const Clock::time_point due = Clock::now() + m_retryPause;
    const double pauseSeconds = m_retryPause.count() / 1000.0;
    if (dropped.empty()) {
        traceAs(GetName(), "trying '%s' again in %g sec.\n", confirmation.m_da.c_str(), pauseSeconds);
        auto later = std::find_if(m_retries.begin(), m_retries.end(), [&](const Retry& r) { return r.due > due; });
        m_retries.insert(later, Retry{due, confirmation});
    }
    if (serverUnusable) {
        traceAs(GetName(), "mail server unusable, waiting %g sec.\n", pauseSeconds);
        m_serverPausedUntil = due;
    }
}

void Emailer::takeDueRetries(Clock::time_point now) {
    auto firstLater = std::find_if(m_retries.begin(), m_retries.end(), [&](const Retry& r) { return r.due > now; });
    std::list<Confirmation> due;
    for (auto retry = m_retries.begin(); retry != firstLater; ++retry) due.push_back(retry->confirmation);
    m_retries.erase(m_retries.begin(), firstLater);
    m_que.splice(m_que.begin(), due);
}

void Emailer::waitForWork(bool serverPaused, Clock::time_point until, bool anythingPending) {
    if (!anythingPending) {
        traceAs(GetName(), "waiting for confirmation to send...\n");
        m_queue.wait();
        traceAs(GetName(), "woken up\n");
    } else if (serverPaused) {
        // Nothing is sent before the pause is over, queued or not.
        m_stopSignal.waitUntil(until);
    } else {
        m_queue.waitUntil(until);
    }
}

void Emailer::Main() {
    while (!m_stopSignal.stopping()) {
        const Clock::time_point now = Clock::now();
        bool serverPaused;
        Clock::time_point until;
        size_t due;
        size_t retries;
        {
            qpthr::QpLock lock(m_mutex);
            takeDueRetries(now);
            serverPaused = now < m_serverPausedUntil;
            until = serverPaused ? m_serverPausedUntil : Clock::time_point::max();
            if (!serverPaused && !m_retries.empty()) until = m_retries.front().due;
            due = m_que.size();
            retries = m_retries.size();
        }
        // Only this thread takes from the queue: what it holds now is there
        // when get() takes it.
        const size_t queued = m_queue.size();
        if (due + queued == 0 || serverPaused) {
            waitForWork(serverPaused, until, due + queued + retries > 0);
            continue;
        }
        traceAs(GetName(), "que size: %d\n", static_cast<int>(due + queued));
        Confirmation confirmation = get();

        smtp::Failure failure;
        if (sendConfirmation(confirmation, &failure)) {
            recordInStore(confirmation, true, true);
        } else {
            handleFailure(confirmation, failure);
        }
    }
}
