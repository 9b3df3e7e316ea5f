#include "emailer.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "globals.h"
#include "logger.h"
#include "smtp.h"
#include "trace.h"

std::atomic<long> g_numberOfSentConfirmations{0};

namespace {

const char* text(const char* value) { return value ? value : ""; }

}  // namespace

Confirmation::Confirmation() : m_count(0) {}

Confirmation::Confirmation(const char* da, const char* ud, const char* date, const char* time, const char* email)
    : m_da(text(da)), m_ud(text(ud)), m_date(text(date)), m_time(text(time)), m_email(text(email)), m_count(0) {}

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
                 const std::string& subjectTemplate, const std::string& bodyTemplate)
    : qpthr::QpThread(0, 0, nullptr, 0),
      m_serverHost(serverHost),
      m_serverPort(serverPort),
      m_from(from),
      m_subjectTemplate(subjectTemplate),
      m_bodyTemplate(bodyTemplate),
      m_cond(m_mutex),
      m_stopWaker(g_stopSignal.onStop([this] { wakeUp(); })) {
    traceAs("Emailer", "server host: '%s'\n", m_serverHost.c_str());
    traceAs("Emailer", "server port: '%s'\n", m_serverPort.c_str());
    traceAs("Emailer", "from:        '%s'\n", m_from.c_str());
    traceAs("Emailer", "subject:     '%s'\n", m_subjectTemplate.c_str());
    traceAs("Emailer", "body:        '%s'\n", m_bodyTemplate.c_str());
}

Emailer::~Emailer() {
    // The members below must outlive the thread that uses them.
    Join();
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
    {
        qpthr::QpLock lock(m_mutex);
        traceAs(GetName(), "enque( '%s', '%s', '%s', '%s', '%s' )\n", confirmation.m_da.c_str(),
               confirmation.m_ud.c_str(), confirmation.m_date.c_str(), confirmation.m_time.c_str(),
               confirmation.m_email.c_str());
        m_que.push_back(confirmation);
    }
    m_cond.Signal();
    return true;
}

int Emailer::size() {
    qpthr::QpLock lock(m_mutex);
    return static_cast<int>(m_que.size() + m_retries.size());
}

Confirmation Emailer::get() {
    Confirmation front = m_que.front();
    m_que.pop_front();
    return front;
}

void Emailer::wakeUp() {
    // Taking the lock orders this wake-up after Main's look at the shutdown
    // flag, so Main is either already waiting or sees the flag.
    m_mutex.Lock();
    m_mutex.Unlock();
    m_cond.Signal();
}

bool Emailer::sendConfirmation(Confirmation& confirmation, smtp::Failure* failure) {
    traceAs(GetName(), "sending confirmation( '%s', '%s', '%s', '%s', '%s' )\n", 
           confirmation.m_da.c_str(), confirmation.m_ud.c_str(), confirmation.m_date.c_str(),
           confirmation.m_time.c_str(), confirmation.m_email.c_str());
    std::string subjectTemplate;
    std::string bodyTemplate;
    {
        qpthr::QpLock lock(m_mutex);
        subjectTemplate = m_subjectTemplate;
        bodyTemplate = m_bodyTemplate;
    }
    const std::string subject = confirmation.applyTemplate(subjectTemplate);
    const std::string body = confirmation.applyTemplate(bodyTemplate);
    traceAs(GetName(), "subject: '%s'\n", subject.c_str());
    traceAs(GetName(), "body:    '%s'\n", body.c_str());

    char errorText[256] = "";
    const auto port = static_cast<unsigned short>(strtol(m_serverPort.c_str(), nullptr, 10));
    const bool sent = smtp::smtpSendMail(m_serverHost.c_str(), port, m_from.c_str(), confirmation.m_email.c_str(), "",
                                         "", subject.c_str(), body.c_str(), errorText, sizeof errorText, nullptr,
                                         failure);
    std::string message;
    if (sent) {
        message = "Confirmation for '" + confirmation.m_da + "' was sent to '" + confirmation.m_email + "' successfuly";
        ++g_numberOfSentConfirmations;
    } else {
        message = "Confirmation for '" + confirmation.m_da + "' sent failed to '" + confirmation.m_email +
                  "', reason: " + errorText;
        ++confirmation.m_count;
    }
    report(g_errorLog, sent ? 'i' : 'e', message, GetName(), message, ConsoleStream::Trace);
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
        report(g_errorLog, 'i', dropped, GetName(), dropped, ConsoleStream::Trace);
    }
    const bool serverUnusable = failure.kind == smtp::Failure::kServer;
    if (!dropped.empty() && !serverUnusable) return;

    qpthr::QpLock lock(m_mutex);
    const Clock::time_point due = Clock::now() + m_retryPause;
    const double pauseSeconds = m_retryPause.count() / 1000.0;
    if (dropped.empty()) {
        traceAs(GetName(), "trying '%s' again in %g sec.\n", confirmation.m_da.c_str(),
              pauseSeconds);
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

void Emailer::waitForWork(Clock::time_point now, bool serverPaused) {
    if (m_que.empty() && m_retries.empty()) {
        traceAs(GetName(), "waiting for confirmation to send...\n");
        m_cond.Wait();
        traceAs(GetName(), "woken up\n");
        return;
    }
    Clock::time_point until = serverPaused ? m_serverPausedUntil : Clock::time_point::max();
    if (!serverPaused && !m_retries.empty()) until = m_retries.front().due;
    // Queued confirmations and the stop signal the condition as well; the
    // caller looks again. The wait is on the monotonic clock.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    m_cond.WaitFor(left < 1 ? 1L : static_cast<long>(std::min<long long>(left, 24LL * 3600 * 1000)));
}

void Emailer::Main() {
    m_mutex.Lock();
    while (!g_stopSignal.stopping()) {
        const Clock::time_point now = Clock::now();
        takeDueRetries(now);
        const bool serverPaused = now < m_serverPausedUntil;
        if (m_que.empty() || serverPaused) {
            waitForWork(now, serverPaused);
            continue;
        }
        traceAs(GetName(), "que size: %d\n", static_cast<int>(m_que.size()));
        Confirmation confirmation = get();
        m_mutex.Unlock();

        smtp::Failure failure;
        if (!sendConfirmation(confirmation, &failure)) handleFailure(confirmation, failure);
        m_mutex.Lock();
    }
    m_mutex.Unlock();
}
