#include "received_text.h"

#include <vector>

#include "gsm_text.h"
#include "utf8.h"

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// False for a digit that is not hexadecimal or an odd count; the octets
// before the fault are in `octets`.
bool fromHex(const std::string& hex, std::string& octets) {
    octets.clear();
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        octets += static_cast<char>(high * 16 + low);
    }
    return hex.size() % 2 == 0;
}

std::string withoutNul(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\0') out += c;
    }
    return out;
}

const char* alphabetOf(smstext::Coding coding) {
    switch (coding) {
        case smstext::Coding::Gsm7: return "7bit";
        case smstext::Coding::EightBit: return "8bit";
        case smstext::Coding::Ucs2: return "ucs2";
    }
    return "7bit";
}

void addProblem(ReceivedText& received, const std::string& problem) {
    received.problem += (received.problem.empty() ? "" : "; ") + problem;
}

// Takes the concatenation element of `header` (with its UDHL octet).
void readHeader(ReceivedText& received, const std::string& header) {
    if (header.empty()) return;
    size_t headerOctets = 0;
    smstext::Concatenation concatenation;
    bool found = false;
    if (!smstext::parseUserDataHeader(header, headerOctets, &concatenation, &found)) {
        addProblem(received, "malformed user data header");
        return;
    }
    if (!found) return;
    received.concatenated = true;
    received.reference = concatenation.reference;
    received.sixteenBitReference = concatenation.sixteenBitReference;
    received.count = concatenation.count;
    received.number = concatenation.number;
}

// `payload` (after any header) in `coding`; Gsm7 is one septet per octet.
void decodePayload(ReceivedText& received, smstext::Coding coding, const std::string& payload) {
    received.alphabet = alphabetOf(coding);
    switch (coding) {
        case smstext::Coding::Gsm7: {
            std::string septets;
            bool highBits = false;
            for (char c : payload) {
                if ((static_cast<uint8_t>(c) & 0x80) != 0) highBits = true;
                septets += static_cast<char>(c & 0x7f);
            }
            if (highBits) addProblem(received, "octets above 127 in 7-bit text");
            received.text = smstext::codePointsToUtf8(smstext::gsm7Decode(septets));
            break;
        }
        case smstext::Coding::Ucs2: {
            std::u32string codePoints;
            if (!smstext::utf16beDecode(payload, codePoints)) {
                addProblem(received, payload.size() % 2 != 0 ? "UCS-2 data of an odd number of octets"
                                                             : "invalid UTF-16 in UCS-2 data");
            }
            received.text = smstext::codePointsToUtf8(codePoints);
            break;
        }
        case smstext::Coding::EightBit: received.text = smstext::latin1ToUtf8(payload); break;
    }
    received.text = withoutNul(received.text);
}

// The elements of EMI's extra services: type, length and data, each in
// hexadecimal octets.
bool extraService(const std::string& extraServices, int type, std::string& data, ReceivedText& received) {
    std::string octets;
    if (!fromHex(extraServices, octets)) {
        addProblem(received, "extra services not in hexadecimal");
        return false;
    }
    size_t position = 0;
    while (position + 2 <= octets.size()) {
        const int elementType = static_cast<uint8_t>(octets[position]);
        const size_t length = static_cast<uint8_t>(octets[position + 1]);
        if (position + 2 + length > octets.size()) {
            addProblem(received, "extra services element runs past their end");
            return false;
        }
        if (elementType == type) {
            data = octets.substr(position + 2, length);
            return true;
        }
        position += 2 + length;
    }
    return false;
}

}  // namespace

ReceivedText receivedEmiText(bool unicode, const std::string& messageType, const std::string& message, int bits,
                             const std::string& extraServices) {
    ReceivedText received;
    std::string header;
    extraService(extraServices, 0x01, header, received);
    readHeader(received, header);
    received.text = message;
    if (!unicode || messageType != "4") {
        // Numeric and IA5 texts are ASCII already.
        received.text = withoutNul(message);
        return received;
    }
    std::string payload;
    if (!fromHex(message, payload)) addProblem(received, "transparent data not in hexadecimal pairs");
    std::string dcs;
    const smstext::Coding coding = extraService(extraServices, 0x02, dcs, received) && dcs.size() == 1
                                       ? smstext::codingOfDcs(static_cast<uint8_t>(dcs[0]))
                                       : smstext::Coding::EightBit;
    if (coding == smstext::Coding::Gsm7) {
        const size_t count = bits > 0 ? static_cast<size_t>(bits) / 7 : payload.size() * 8 / 7;
        std::string septets;
        if (!smstext::unpackSeptets(payload, count, 0, septets)) {
            addProblem(received, "fewer octets than NB says");
        }
        received.alphabet = "7bit";
        received.text = withoutNul(smstext::codePointsToUtf8(smstext::gsm7Decode(septets)));
        return received;
    }
    decodePayload(received, coding, payload);
    return received;
}

ReceivedText receivedSmppText(bool unicode, uint8_t dataCoding, uint8_t esmClass, const std::string& shortMessage,
                              const std::string& legacyText) {
    ReceivedText received;
    std::string payload = shortMessage;
    if ((esmClass & 0x40) != 0 && !payload.empty()) {
        const size_t headerOctets = 1 + static_cast<uint8_t>(payload[0]);
        readHeader(received, payload.substr(0, headerOctets));
        payload.erase(0, headerOctets);
    }
    if (!unicode) {
        received.text = legacyText;
        return received;
    }
    switch (dataCoding) {
        case 0: decodePayload(received, smstext::Coding::Gsm7, payload); break;
        case 1:
        case 3:
            // IA5 and ISO-8859-1: text, not data.
            received.text = withoutNul(smstext::latin1ToUtf8(payload));
            break;
        case 8: decodePayload(received, smstext::Coding::Ucs2, payload); break;
        default:
            decodePayload(received, dataCoding >= 0x10 ? smstext::codingOfDcs(dataCoding) : smstext::Coding::EightBit,
                          payload);
            break;
    }
    return received;
}

ReceivedText receivedDecodedText(bool unicode, uint8_t dcs, const std::string& header, const std::string& payload,
                                 const std::string& legacyText) {
    ReceivedText received;
    readHeader(received, header);
    if (!unicode) {
        received.text = legacyText;
        return received;
    }
    decodePayload(received, smstext::codingOfDcs(dcs), payload);
    return received;
}

ReceivedText receivedTpduText(bool unicode, uint8_t dcs, bool headerPresent, const std::string& octets, size_t length,
                              const std::string& legacyText) {
    ReceivedText received;
    if (headerPresent && !octets.empty()) {
        readHeader(received, octets.substr(0, 1 + static_cast<uint8_t>(octets[0])));
    }
    if (!unicode) {
        received.text = legacyText;
        return received;
    }
    const smstext::Coding coding = smstext::codingOfDcs(dcs);
    std::u32string codePoints;
    if (!smstext::decodeUserData(coding, octets, length, headerPresent, codePoints)) {
        addProblem(received, coding == smstext::Coding::Ucs2 ? "user data shorter than its length, or not UTF-16"
                                                             : "user data shorter than its length, or a bad header");
    }
    received.alphabet = alphabetOf(coding);
    received.text = withoutNul(smstext::codePointsToUtf8(codePoints));
    return received;
}

bool deliverUserData(const std::string& pduHex, uint8_t& dcs, bool& headerPresent, size_t& length,
                     std::string& octets) {
    std::string pdu;
    if (!fromHex(pduHex, pdu)) return false;
    size_t position = 0;
    auto octet = [&](size_t at) { return static_cast<uint8_t>(pdu[at]); };
    if (pdu.empty()) return false;
    position += 1 + octet(0);  // the service centre's address
    if (position >= pdu.size()) return false;
    const uint8_t first = octet(position++);
    if ((first & 0x03) != 0x00) return false;  // TP-MTI: SMS-DELIVER
    headerPresent = (first & 0x40) != 0;
    if (position + 2 > pdu.size()) return false;
    const size_t digits = octet(position);
    position += 2 + (digits + 1) / 2;  // TP-OA: length in digits, type, digits
    if (position + 1 + 1 + 7 + 1 > pdu.size()) return false;
    ++position;  // TP-PID
    dcs = octet(position++);
    position += 7;  // TP-SCTS
    length = octet(position++);
    octets = pdu.substr(position);
    return true;
}
