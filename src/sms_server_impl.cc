#include "sms_server_impl.h"

#include <stdio.h>
#include <time.h>

#include "counters.h"
#include "process.h"
#include "sms.h"
#include "sms_send_manager.h"
#include "statistics.h"
#include "trace.h"
#include "version.h"

namespace {

const char* const label = "CORBA if";

}  // namespace

void SmsServer_impl::KeepAlive() { traceAs(label, "KeepAlive\n"); }

CORBA::Long SmsServer_impl::SendSms(const char* phoneNumber, const char* text, const char* remoteAddr,
                                    CORBA::Boolean onDisplay, const char* mailTo) {
    traceAs(label, "SendSms( da: '%s', ud: '%s', ra: '%s', displ: %s, mail: '%s' )\n", phoneNumber, text, remoteAddr,
            onDisplay ? "TRUE" : "FALSE", mailTo);
    if (m_parts.sendQueue == nullptr) return 0;

    Submission::Request request;
    request.destinations = phoneNumber;
    request.text = text;
    request.remoteAddr = remoteAddr;
    request.onDisplay = onDisplay;
    request.mailTo = mailTo;
    try {
        return static_cast<CORBA::Long>(m_submission.submit(request).size());
    } catch (const Submission::Refused& refused) {
        switch (refused.reason) {
            case Submission::Refused::TooManyDestinations: throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
            case Submission::Refused::TextTooLong: throw CORBA::IMP_LIMIT(textTooLongMinor, CORBA::COMPLETED_NO);
            case Submission::Refused::QueueFull: throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
            case Submission::Refused::StoreFailed: throw CORBA::PERSIST_STORE(storeFailureMinor, CORBA::COMPLETED_NO);
        }
        throw;
    }
}

char* SmsServer_impl::version() {
    traceAs(label, "version\n");
    return CORBA::string_dup(::version);
}

SmsServer::SenderStates* SmsServer_impl::getSenders() {
    traceAs(label, "getSenders\n");
    const Statistics collected =
        collectStatistics(m_parts.sendQueue, m_parts.manager, m_parts.counters, m_parts.serverStartTime);
    SmsServer::SenderStates* states = new SmsServer::SenderStates;
    states->length(static_cast<CORBA::ULong>(collected.senders.size()));
    for (CORBA::ULong i = 0; i < states->length(); ++i) {
        (*states)[i].name = CORBA::string_dup(collected.senders[i]._name.c_str());
        (*states)[i].status = collected.senders[i]._status;
    }
    return states;
}

CORBA::Long SmsServer_impl::getStats(SmsServer::Stats_out stats_out) {
    traceAs(label, "getStats\n");
    SmsServer::Stats* stats = new SmsServer::Stats;
    stats_out = stats;

    const Statistics collected =
        collectStatistics(m_parts.sendQueue, m_parts.manager, m_parts.counters, m_parts.serverStartTime);
    stats->serverStartTime = static_cast<CORBA::Long>(collected.serverStartTime);
    stats->serverCurrentTime = static_cast<CORBA::Long>(collected.serverCurrentTime);
    stats->smsQueLength = static_cast<CORBA::Long>(collected.queueLength);
    stats->smsSent = static_cast<CORBA::Long>(collected.sentMessages);
    stats->smsReceived = static_cast<CORBA::Long>(collected.receivedMessages);
    stats->confirmationSent = static_cast<CORBA::Long>(collected.sentConfirmations);
    const std::vector<SenderInfo>& senders = collected.senders;
    stats->numberOfSenders = static_cast<CORBA::Long>(senders.size());
    // The source line this trace has always named, fixed so that edits
    // of this file leave the console as it was.
    tracePlain("%s[%d]: Number of senders: %d\n", "sms_server_impl", 163, static_cast<int>(senders.size()));

    if (!senders.empty()) {
        stats->deviceName1 = CORBA::string_dup(senders[0]._name.c_str());
        stats->deviceStatus1 = senders[0]._status;
    } else {
        stats->deviceName1 = CORBA::string_dup("no device");
        stats->deviceStatus1 = -1;
    }
    if (senders.size() > 1) {
        stats->deviceName2 = CORBA::string_dup(senders[1]._name.c_str());
        stats->deviceStatus2 = senders[1]._status;
    } else {
        stats->deviceName2 = CORBA::string_dup("no device");
        stats->deviceStatus2 = -1;
    }
    return 0;
}
