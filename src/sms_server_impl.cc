#include "sms_server_impl.h"

#include <stdio.h>
#include <time.h>

#include "emailer.h"
#include "globals.h"
#include "process.h"
#include "sent_message.h"
#include "sms.h"
#include "sms_send_manager.h"
#include "version.h"

namespace {

const char* const label = "CORBA if";

const int MaxSmsLength = 160;
const int MaxSmsCount = 5;
const int SmsCounterLength = 3;
const int HeaderLength = SmsCounterLength + 1;
const int PartLength = MaxSmsLength - HeaderLength;

}  // namespace

void SmsServer_impl::KeepAlive() { trace("%lu: %s: KeepAlive\n", threadId(), label); }

std::vector<std::string> SmsServer_impl::splitText(const std::string& asciiText) {
    std::vector<std::string> messages;
    const size_t length = asciiText.size();
    if (length <= static_cast<size_t>(MaxSmsLength)) {
        messages.push_back(asciiText);
        return messages;
    }
    // The total counts the parts of the whole text, even those beyond the
    // fifth, which are not sent.
    const size_t smsCount = (length + PartLength - 1) / PartLength;
    size_t pos = 0;
    for (int i = 1; pos < length && i <= MaxSmsCount; ++i) {
        std::string piece = asciiText.substr(pos, PartLength);
        pos += piece.size();
        messages.push_back(std::to_string(i) + "/" + std::to_string(smsCount) + " " + piece);
    }
    return messages;
}

CORBA::Long SmsServer_impl::SendSms(const char* phoneNumber, const char* text, const char* remoteAddr,
                                    CORBA::Boolean onDisplay, const char* mailTo) {
    trace("%lu: %s: SendSms( da: '%s', ud: '%s', ra: '%s', displ: %s, mail: '%s' )\n", threadId(), label,
           phoneNumber, text, remoteAddr, onDisplay ? "TRUE" : "FALSE", mailTo);
    if (g_sendQue == nullptr) return 0;

    std::string asciiText;
    for (const char* c = text; *c != '\0'; ++c) asciiText += il2toascii(*c);
    trace("%lu: %s: User data ascii length: %d\n", threadId(), label, static_cast<int>(asciiText.size()));

    const std::vector<std::string> messages = splitText(asciiText);
    const std::string numbers = phoneNumber;
    int count = 0;
    std::string::size_type begin = 0;
    while (begin <= numbers.size()) {
        std::string::size_type comma = numbers.find(',', begin);
        if (comma == std::string::npos) comma = numbers.size();
        const std::string number = numbers.substr(begin, comma - begin);
        begin = comma + 1;
        if (number.empty()) continue;

        trace("%lu: %s: Phone number: %s\n", threadId(), label, number.c_str());
        int quePos = 0;
        for (const std::string& message : messages) {
            Sms sms(number, "", message, remoteAddr, onDisplay, mailTo);
            quePos = g_sendQue->appendSms(sms);
        }
        ++count;
        trace("%lu: %s: Target[%d]: %s\tposition in the que: %d\n", threadId(), label, count,
               number.c_str(), quePos);
    }
    return 0;
}

char* SmsServer_impl::version() {
    trace("%lu: %s: version\n", threadId(), label);
    return CORBA::string_dup(::version);
}

CORBA::Long SmsServer_impl::getStats(SmsServer::Stats_out stats_out) {
    trace("%lu: %s: getStats\n", threadId(), label);
    SmsServer::Stats* stats = new SmsServer::Stats;
    stats_out = stats;

    stats->serverStartTime = static_cast<CORBA::Long>(g_serverStartTime);
    stats->serverCurrentTime = static_cast<CORBA::Long>(time(nullptr));
    stats->smsQueLength = g_sendQue ? g_sendQue->size() : 0;
    stats->smsSent = static_cast<CORBA::Long>(g_numberOfSentMessages.load());
    stats->smsReceived = static_cast<CORBA::Long>(g_numberOfReceivedMessages.load());
    stats->confirmationSent = static_cast<CORBA::Long>(g_numberOfSentConfirmations.load());

    std::vector<SenderInfo> senders;
    if (g_sendManager != nullptr) {
        stats->numberOfSenders = g_sendManager->getSenderCount();
        stats->numberOfSenders = g_sendManager->getStats(senders);
    } else {
        stats->numberOfSenders = 0;
    }
    trace("%s[%d]: Number of senders: %d\n", "sms_server_impl", __LINE__, static_cast<int>(senders.size()));

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
