#include "sms_server_impl.h"

#include <stdio.h>
#include <time.h>

#include "counters.h"
#include "logger.h"
#include "process.h"
#include "sms.h"
#include "sms_send_manager.h"
#include "store.h"
#include "trace.h"
#include "version.h"
#include "vessa.h"

namespace {

const char* const label = "CORBA if";

const int MaxSmsLength = 160;
const int MaxSmsCount = 5;
const int SmsCounterLength = 3;
const int HeaderLength = SmsCounterLength + 1;
const int PartLength = MaxSmsLength - HeaderLength;

}  // namespace

void SmsServer_impl::KeepAlive() { traceAs(label, "KeepAlive\n"); }

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

bool SmsServer_impl::acceptedDestination(const std::string& number) {
    return emi_destination(number.c_str(), nullptr, 0) > 0;
}

void SmsServer_impl::writeRefusal(const std::string& title, const char* remoteAddr, const std::string* number,
                                  const std::string& reason) {
    std::vector<std::string> record{
        title, "IP Address: " + (m_options.hideIp ? std::string("<hidden>") : Logger::escape(remoteAddr))};
    if (number != nullptr) {
        record.push_back("Destination Address: " +
                         (m_options.hideDestination ? std::string("<hidden>") : Logger::escape(*number)));
    }
    record.push_back("Reason: " + reason);
    report(m_options.errorLog, 'e', record, label, title + ": " + reason, ConsoleStream::Trace);
}

namespace {

// The list split at commas, each entry trimmed of spaces; empty entries
// are dropped.
std::vector<std::string> destinationsOf(const std::string& numbers) {
    std::vector<std::string> destinations;
    std::string::size_type begin = 0;
    while (begin <= numbers.size()) {
        std::string::size_type comma = numbers.find(',', begin);
        if (comma == std::string::npos) comma = numbers.size();
        std::string number = numbers.substr(begin, comma - begin);
        begin = comma + 1;
        const std::string::size_type first = number.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        number = number.substr(first, number.find_last_not_of(" \t") - first + 1);
        destinations.push_back(number);
    }
    return destinations;
}

}  // namespace

CORBA::Long SmsServer_impl::SendSms(const char* phoneNumber, const char* text, const char* remoteAddr,
                                    CORBA::Boolean onDisplay, const char* mailTo) {
    traceAs(label, "SendSms( da: '%s', ud: '%s', ra: '%s', displ: %s, mail: '%s' )\n", phoneNumber, text, remoteAddr,
            onDisplay ? "TRUE" : "FALSE", mailTo);
    if (m_parts.sendQueue == nullptr) return 0;

    const std::vector<std::string> destinations = destinationsOf(phoneNumber);
    if (static_cast<long>(destinations.size()) > m_options.maxDestinations) {
        writeRefusal("SMS refused: too many destinations", remoteAddr, nullptr,
                     std::to_string(destinations.size()) + " destinations, at most " +
                         std::to_string(m_options.maxDestinations) + " in one request (Limits/MaxDestinations)");
        throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
    }

    std::string asciiText;
    for (const char* c = text; *c != '\0'; ++c) asciiText += il2toascii(*c);
    traceAs(label, "User data ascii length: %d\n", static_cast<int>(asciiText.size()));
    const std::vector<std::string> parts = splitText(asciiText);

    std::vector<std::string> accepted;
    std::vector<Sms> messages;
    for (const std::string& number : destinations) {
        if (!acceptedDestination(number)) {
            writeRefusal("SMS refused: invalid destination address", remoteAddr, &number,
                         "not a telephone number (\"+\" and digits, or digits) that fits the SMSC's "
                         "16-digit address field");
            continue;
        }
        accepted.push_back(number);
        for (const std::string& part : parts) messages.emplace_back(number, "", part, remoteAddr, onDisplay, mailTo);
    }

    const long count = static_cast<long>(messages.size());
    int length = 0;
    try {
        length = m_parts.sendQueue->appendAll(messages, m_options.maxQueued);
    } catch (const StoreError& e) {
        writeRefusal("SMS refused: cannot store the messages", remoteAddr, nullptr, e.what());
        throw CORBA::PERSIST_STORE(storeFailureMinor, CORBA::COMPLETED_NO);
    }
    if (length < 0) {
        writeRefusal("SMS refused: send queue full", remoteAddr, nullptr,
                     "the queue holds " + std::to_string(m_parts.sendQueue->size()) + " messages; " +
                         std::to_string(count) + " more would pass the limit of " +
                         std::to_string(m_options.maxQueued) + " (Limits/MaxQueued)");
        throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
    }
    // Each target's line shows the queue position of its last part.
    const long first = length - count;
    for (size_t i = 0; i < accepted.size(); ++i) {
        traceAs(label, "Phone number: %s\n", accepted[i].c_str());
        traceAs(label, "Target[%d]: %s\tposition in the que: %ld\n", static_cast<int>(i + 1), accepted[i].c_str(),
                first + static_cast<long>((i + 1) * parts.size()));
    }
    return static_cast<CORBA::Long>(count);
}

char* SmsServer_impl::version() {
    traceAs(label, "version\n");
    return CORBA::string_dup(::version);
}

CORBA::Long SmsServer_impl::getStats(SmsServer::Stats_out stats_out) {
    traceAs(label, "getStats\n");
    SmsServer::Stats* stats = new SmsServer::Stats;
    stats_out = stats;

    stats->serverStartTime = static_cast<CORBA::Long>(m_parts.serverStartTime);
    stats->serverCurrentTime = static_cast<CORBA::Long>(time(nullptr));
    stats->smsQueLength = m_parts.sendQueue ? m_parts.sendQueue->size() : 0;
    const Counters* counters = m_parts.counters;
    stats->smsSent = counters ? static_cast<CORBA::Long>(counters->sentMessages.load()) : 0;
    stats->smsReceived = counters ? static_cast<CORBA::Long>(counters->receivedMessages.load()) : 0;
    stats->confirmationSent = counters ? static_cast<CORBA::Long>(counters->sentConfirmations.load()) : 0;

    std::vector<SenderInfo> senders;
    if (m_parts.manager != nullptr) {
        stats->numberOfSenders = m_parts.manager->getStats(senders);
    } else {
        stats->numberOfSenders = 0;
    }
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
