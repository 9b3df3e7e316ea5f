// The modem sender's use of the sent-message registry and the counters. The
// rest of the sender is in sms_sender_me_gsm.cc, which includes gsmlib's
// headers and cannot see the registry's C++17 interface.
#include "counters.h"
#include "inifile.h"
#include "sent_message.h"
#include "sms_sender_me.h"
#include "store.h"

bool SmsSenderMe::matchResponse(const std::string& answer, const std::string& expected) {
    return answer.length() >= expected.length() && answer.compare(0, expected.length(), expected) == 0;
}

std::string SmsSenderMe::cutResponse(const std::string& answer, const std::string& expected) {
    return Trim(answer.length() > expected.length() ? answer.substr(expected.length()) : std::string(), " \r");
}

void SmsSenderMe::recordSent(const Sms& sms, int reference) {
    // The modem answers the submission itself: it is submitted and accepted
    // in one step. A store failure leaves the row submitted, and a restart
    // would send the message again: at least once.
    const time_t now = time(nullptr);
    recordInStore("a sent message", [&](Store& store) {
        store.markSubmitted(sms.id(), GetName(), reference, 0, now);
        store.markAcknowledged(sms.id(), "", reference >= 0, now);
    });
    if (reference >= 0) m_context.sentMessages.append(SentMessage(sms, static_cast<unsigned char>(reference), 0, this));
    ++m_context.counters.sentMessages;
}

void SmsSenderMe::countReceived() { ++m_context.counters.receivedMessages; }

bool SmsSenderMe::takeReportedMessage(const std::string& recipient, unsigned char reference, int status, Sms& sms) {
    // Only this sender's own entries: the SMSC sender's references are
    // transaction ids that a report would match by chance.
    std::optional<SentMessage> entry = m_context.sentMessages.takeMatching(this, [&](const SentMessage& candidate) {
        return candidate.m_messageReference == reference && sameAddress(recipient, candidate.m_sms.target());
    });
    if (!entry) return false;
    sms = entry->m_sms;
    const time_t now = time(nullptr);
    recordInStore("a status report", [&](Store& store) { store.markNotified(sms.id(), status, now); });
    return true;
}
