#include "submission.h"

#include <chrono>

#include "counters.h"
#include "logger.h"
#include "process.h"
#include "sms.h"
#include "store.h"
#include "trace.h"
#include "vessa.h"

namespace {

const int MaxSmsLength = 160;
const int SmsCounterLength = 3;
const int HeaderLength = SmsCounterLength + 1;
const int PartLength = MaxSmsLength - HeaderLength;

}  // namespace

size_t Submission::partsNeeded(size_t length) {
    if (length <= static_cast<size_t>(MaxSmsLength)) return 1;
    return (length + PartLength - 1) / PartLength;
}

std::vector<std::string> Submission::splitText(const std::string& asciiText) {
    std::vector<std::string> messages;
    const size_t length = asciiText.size();
    if (length <= static_cast<size_t>(MaxSmsLength)) {
        messages.push_back(asciiText);
        return messages;
    }
    // The total counts the parts of the whole text, even those beyond the
    // last one sent.
    const size_t smsCount = partsNeeded(length);
    size_t pos = 0;
    for (int i = 1; pos < length && i <= maxParts; ++i) {
        std::string piece = asciiText.substr(pos, PartLength);
        pos += piece.size();
        messages.push_back(std::to_string(i) + "/" + std::to_string(smsCount) + " " + piece);
    }
    return messages;
}

bool Submission::acceptedDestination(const std::string& number) {
    return emi_destination(number.c_str(), nullptr, 0) > 0;
}

std::string Submission::asciiOf(const std::string& iso88592Text) {
    std::string asciiText;
    asciiText.reserve(iso88592Text.size());
    for (char c : iso88592Text) {
        // The text ends at its first NUL, as a C string does.
        if (c == '\0') break;
        asciiText += il2toascii(c);
    }
    return asciiText;
}

std::vector<std::string> Submission::destinationsOf(const std::string& numbers) {
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

void Submission::writeRefusal(const std::string& title, const std::string& remoteAddr, const std::string* number,
                              const std::string& reason) const {
    std::vector<std::string> record{
        title, "IP Address: " + (m_options.hideIp ? std::string("<hidden>") : Logger::escape(remoteAddr))};
    if (number != nullptr) {
        record.push_back("Destination Address: " +
                         (m_options.hideDestination ? std::string("<hidden>") : Logger::escape(*number)));
    }
    record.push_back("Reason: " + reason);
    report(m_options.errorLog, 'e', record, m_label, title + ": " + reason, ConsoleStream::Trace);
}

std::vector<Submission::Queued> Submission::submit(const Request& request) const {
    std::vector<Queued> queued;
    if (m_queue == nullptr) return queued;
    const auto started = std::chrono::steady_clock::now();

    const std::vector<std::string> destinations = destinationsOf(request.destinations);
    if (static_cast<long>(destinations.size()) > m_options.maxDestinations) {
        const std::string reason = std::to_string(destinations.size()) + " destinations, at most " +
                                   std::to_string(m_options.maxDestinations) +
                                   " in one request (Limits/MaxDestinations)";
        writeRefusal("SMS refused: too many destinations", request.remoteAddr, nullptr, reason);
        throw Refused(Refused::TooManyDestinations, reason);
    }

    const std::string asciiText = asciiOf(request.text);
    traceAs(m_label, "User data ascii length: %d\n", static_cast<int>(asciiText.size()));
    const std::vector<std::string> parts = splitText(asciiText);

    std::vector<std::string> accepted;
    std::vector<Sms> messages;
    for (const std::string& number : destinations) {
        if (!acceptedDestination(number)) {
            writeRefusal("SMS refused: invalid destination address", request.remoteAddr, &number,
                         "not a telephone number (\"+\" and digits, or digits) that fits the SMSC's "
                         "16-digit address field");
            continue;
        }
        accepted.push_back(number);
        Sms::Tracking tracking;
        tracking.clientRef = request.clientRef;
        tracking.callbackUrl = request.callbackUrl;
        tracking.parts = static_cast<int>(parts.size());
        for (size_t i = 0; i < parts.size(); ++i) {
            messages.emplace_back(number, "", parts[i], request.remoteAddr, request.onDisplay, request.mailTo);
            tracking.part = static_cast<int>(i + 1);
            // Most messages of the remote interface have nothing to keep.
            if (!tracking.clientRef.empty() || !tracking.callbackUrl.empty() || tracking.parts > 1) {
                messages.back().setTracking(tracking);
            }
            queued.push_back({0, number, tracking.part, tracking.parts});
        }
    }

    const long count = static_cast<long>(messages.size());
    int length = 0;
    try {
        length = m_queue->appendAll(messages, m_options.maxQueued, request.answer);
    } catch (const StoreError& e) {
        writeRefusal("SMS refused: cannot store the messages", request.remoteAddr, nullptr, e.what());
        throw Refused(Refused::StoreFailed, e.what());
    }
    if (length < 0) {
        const std::string reason = "the queue holds " + std::to_string(m_queue->size()) + " messages; " +
                                   std::to_string(count) + " more would pass the limit of " +
                                   std::to_string(m_options.maxQueued) + " (Limits/MaxQueued)";
        writeRefusal("SMS refused: send queue full", request.remoteAddr, nullptr, reason);
        throw Refused(Refused::QueueFull, reason);
    }
    for (size_t i = 0; i < messages.size(); ++i) queued[i].id = messages[i].id();
    // Each target's line shows the queue position of its last part.
    const long first = length - count;
    for (size_t i = 0; i < accepted.size(); ++i) {
        traceAs(m_label, "Phone number: %s\n", accepted[i].c_str());
        traceAs(m_label, "Target[%d]: %s\tposition in the que: %ld\n", static_cast<int>(i + 1), accepted[i].c_str(),
                first + static_cast<long>((i + 1) * parts.size()));
    }
    if (m_counters != nullptr) {
        m_counters->acceptedMessages += count;
        m_counters->acceptLatency.observe(std::chrono::steady_clock::now() - started);
    }
    return queued;
}
