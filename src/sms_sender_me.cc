// The modem sender's use of the sent-message registry and the counters. The
// rest of the sender is in sms_sender_me_gsm.cc, which includes gsmlib's
// headers and cannot see the registry's C++17 interface.
#include "counters.h"
#include "emailer.h"
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
    recordOrKeep("a sent message", [id = sms.id(), name = std::string(GetName()), reference, now](Store& store) {
        store.markSubmitted(id, name, reference, 0, now);
        store.markAcknowledged(id, "", reference >= 0, now);
    });
    if (reference >= 0) m_context.sentMessages.append(SentMessage(sms, static_cast<unsigned char>(reference), 0, this));
    ++m_context.counters.submittedMessages;
    ++m_context.counters.sentMessages;
}

void SmsSenderMe::countReceived() { ++m_context.counters.receivedMessages; }

bool SmsSenderMe::findReportedMessage(const std::string& recipient, unsigned char reference, time_t scTime, bool take,
                                      Sms& sms) {
    // Only this sender's own entries: the SMSC sender's references are
    // transaction ids that a report would match by chance. A reference is
    // used again after 256 messages, so the send time decides between
    // entries that share it.
    // Entries whose report never comes are given up by the gateway's sweep.
    std::optional<SentMessage> best;
    time_t bestDistance = 0;
    m_context.sentMessages.forEach(this, [&](const SentMessage& candidate, int) {
        if (candidate.m_messageReference != reference || !sameAddress(recipient, candidate.m_sms.target())) {
            return true;
        }
        if (scTime < 0) {
            best = candidate;
            return false;
        }
        const time_t distance =
            scTime > candidate.m_timestamp ? scTime - candidate.m_timestamp : candidate.m_timestamp - scTime;
        if (distance <= reportClockSkew && (!best || distance < bestDistance)) {
            best = candidate;
            bestDistance = distance;
        }
        return true;
    });
    if (!best) return false;
    if (take && !m_context.sentMessages.remove(*best)) return false;
    sms = best->m_sms;
    return true;
}

void SmsSenderMe::recordFinalReport(const Sms& sms, int status, Confirmation* confirmation) {
    const time_t now = time(nullptr);
    // Status 0: the message was received by the recipient.
    if (status == 0) ++m_context.counters.deliveredMessages;
    recordInStore("a status report", [&](Store& store) {
        if (confirmation == nullptr) {
            store.markNotified(sms.id(), status, now);
            return;
        }
        StoredConfirmation stored = confirmation->stored();
        store.markNotifiedAndConfirm(sms.id(), status, now, stored);
        confirmation->m_storeId = stored.id;
    });
}

size_t SmsSenderMe::countWithReference(const std::string& recipient, unsigned char reference) const {
    return m_context.sentMessages.count(this, [&](const SentMessage& entry) {
        return entry.m_messageReference == reference && sameAddress(recipient, entry.m_sms.target());
    });
}

SmsSenderMe::ReportOutcome SmsSenderMe::reportOutcome(int status) {
    if (status >= 0x00 && status <= 0x02) return ReportOutcome::Delivered;
    if (status >= 0x20 && status <= 0x3f) return ReportOutcome::StillTrying;
    return ReportOutcome::Failed;
}

SmsSenderMe::RefusalKind SmsSenderMe::refusalKind(int cmsCode) {
    switch (cmsCode) {
        // Network and centre failures that pass (GSM 04.11 and 03.40
        // causes, and the modem's own network states).
        case 17:    // network failure
        case 22:    // congestion
        case 27:    // destination out of service
        case 38:    // network out of order
        case 41:    // temporary failure
        case 42:    // congestion
        case 47:    // resources unavailable
        case 0xc0:  // SC busy
        case 0xc2:  // SC system failure
        case 0xff:  // unspecified error cause
        case 314:   // SIM busy
        case 331:   // no network service
        case 332:   // network timeout
        case 500:   // unknown error
            return RefusalKind::Temporary;
        // The modem or its SIM is not in order: a new connection settles it.
        case 300:  // ME failure
        case 301:  // SMS service of ME reserved
        case 302:  // operation not allowed
        case 310:  // SIM not inserted
        case 311:  // SIM PIN required
        case 312:  // PH-SIM PIN required
        case 313:  // SIM failure
        case 315:  // SIM wrong
        case 316:  // SIM PUK required
        case 317:  // SIM PIN2 required
        case 318:  // SIM PUK2 required
        case 320:  // memory failure
        case 330:  // SMSC address unknown
        case 340:  // no +CNMA acknowledgement expected
            return RefusalKind::Modem;
        default: break;
    }
    // The rest says that this message cannot go: an unassigned number,
    // barring, an unknown subscriber, a message the network or the modem
    // cannot take (1, 8, 10, 21, 28-30, 50, 69, 81, 95-127, 0x80-0xd5, 303-305).
    return cmsCode > 0 && cmsCode < 512 ? RefusalKind::Permanent : RefusalKind::Temporary;
}

std::string SmsSenderMe::simStateAdvice(const std::string& state) {
    if (state == "SIM PUK") {
        return "the SIM is blocked and asks for its PUK (SIM PUK); no PIN was sent. Unblock it with the PUK in "
               "a phone, set the new PIN in ME/Pin and restart kstd";
    }
    if (state == "SIM PIN2" || state == "SIM PUK2") {
        return "the SIM asks for " + std::string(state == "SIM PIN2" ? "PIN2" : "PUK2") + " (" + state +
               "), which kstd never gives. Settle it in a phone, then restart kstd";
    }
    if (state == "PH-SIM PIN") {
        return "the modem asks for its phone-to-SIM password (PH-SIM PIN): it is locked to another SIM. Insert "
               "that SIM or have the modem unlocked, then restart kstd";
    }
    return "the SIM is in state '" + state +
           "', which kstd does not answer; no PIN was sent. Check the SIM in a "
           "phone, then restart kstd";
}
