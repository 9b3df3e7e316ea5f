#include "submission.h"

#include <atomic>
#include <chrono>
#include <random>

#include "counters.h"
#include "gsm_text.h"
#include "http/request_decoding.h"
#include "logger.h"
#include "process.h"
#include "sms.h"
#include "store.h"
#include "trace.h"
#include "utf8.h"
#include "vessa.h"

namespace {

const int MaxSmsLength = 160;
const int SmsCounterLength = 3;
const int HeaderLength = SmsCounterLength + 1;
const int PartLength = MaxSmsLength - HeaderLength;

// The concatenation references, one a text, counted from a random start so
// that a restarted daemon, or another sharing the store, seldom repeats the
// references of texts still on their way.
std::atomic<unsigned> concatenationReferences{std::random_device{}()};

// "i/N " before each part; N's digits bound every i's.
std::string counterOf(size_t i, size_t count) { return std::to_string(i) + "/" + std::to_string(count) + " "; }

// The UTF-8 parts of a text that nothing transliterates: one message when it
// fits, otherwise parts with a concatenation header or headed "i/N ".
std::vector<std::string> unicodeParts(const std::u32string& text, bool udh) {
    const smstext::Coding coding = smstext::codingFor(text);
    std::vector<std::u32string> parts;
    if (udh) {
        parts = smstext::splitText(text, coding, smstext::partLimits(coding, true));
    } else {
        // The counter takes room of each part: guess the digits of the
        // count, and split again when the count has more of them.
        const size_t single = smstext::partLimits(coding, false).single;
        size_t digits = 1;
        for (;;) {
            const size_t counterLength = 2 * digits + 2;
            parts = smstext::splitText(text, coding, {single, single - counterLength});
            if (parts.size() == 1 || std::to_string(parts.size()).size() <= digits) break;
            digits = std::to_string(parts.size()).size();
        }
    }
    std::vector<std::string> utf8Parts;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string counter = parts.size() > 1 && !udh ? counterOf(i + 1, parts.size()) : std::string();
        utf8Parts.push_back(counter + smstext::codePointsToUtf8(parts[i]));
    }
    return utf8Parts;
}

}  // namespace

std::string Submission::transliterated(const Request& request) {
    if (!request.textIsUtf8) return asciiOf(request.text);
    std::string iso88592;
    if (utf8ToIso88592(request.text, iso88592)) return asciiOf(iso88592);
    // No converter: what ASCII holds stays, each other character is "?".
    std::u32string codePoints;
    smstext::utf8ToCodePoints(request.text.substr(0, request.text.find('\0')), codePoints);
    std::string asciiText;
    for (char32_t c : codePoints) asciiText += c < 0x80 ? static_cast<char>(c) : '?';
    return asciiText;
}

std::vector<std::string> Submission::partsOf(const Request& request, const TextSettings& text) {
    if (text.unicode) {
        std::u32string codePoints;
        smstext::utf8ToCodePoints(request.textIsUtf8 ? request.text.substr(0, request.text.find('\0'))
                                                     : smstext::iso88592ToUtf8(request.text),
                                  codePoints);
        return unicodeParts(codePoints, text.udh);
    }
    const std::string asciiText = transliterated(request);
    if (!text.udh) {
        if (partsNeeded(asciiText.size()) == 1) return {asciiText};
        std::vector<std::string> parts;
        for (size_t pos = 0; pos < asciiText.size(); pos += PartLength) {
            parts.push_back(counterOf(parts.size() + 1, partsNeeded(asciiText.size())) +
                            asciiText.substr(pos, PartLength));
        }
        return parts;
    }
    // Counted in GSM septets, as every sender's network counts them: the
    // ASCII characters of the extension table take two, and an escape pair
    // never straddles two parts.
    std::u32string codePoints(asciiText.begin(), asciiText.end());
    std::vector<std::string> parts;
    for (const std::u32string& part :
         smstext::splitText(codePoints, smstext::Coding::Gsm7, smstext::partLimits(smstext::Coding::Gsm7, true))) {
        parts.emplace_back(part.begin(), part.end());
    }
    return parts;
}

size_t Submission::partsNeeded(size_t length) {
    if (length <= static_cast<size_t>(MaxSmsLength)) return 1;
    return (length + PartLength - 1) / PartLength;
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

    if (!m_options.text.unicode) {
        traceAs(m_label, "User data ascii length: %d\n", static_cast<int>(transliterated(request).size()));
    }
    std::vector<std::string> parts = partsOf(request, m_options.text);
    const size_t maxParts = static_cast<size_t>(m_options.text.maxParts);
    if (parts.size() > maxParts && !m_options.text.unicode && !m_options.text.udh && !request.textIsUtf8) {
        // The remote interface has always sent the first parts of a longer
        // transliterated text, each counted of the whole, and its callers
        // count on that.
        parts.resize(maxParts);
    } else if (parts.size() > maxParts) {
        const std::string reason = "the text needs " + std::to_string(parts.size()) + " messages, at most " +
                                   std::to_string(m_options.text.maxParts) + " are sent (General/MaxParts)";
        writeRefusal("SMS refused: text too long", request.remoteAddr, nullptr, reason);
        throw Refused(Refused::TextTooLong, reason);
    }

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
        tracking.reference = static_cast<uint8_t>(concatenationReferences.fetch_add(1));
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
