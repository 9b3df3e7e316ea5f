#include "submit_pdu.h"

#include "utf8.h"

namespace submitpdu {

namespace {

// First octet: TP-MTI 01 (SMS-SUBMIT), TP-RD, TP-VPF 10 (relative).
const uint8_t submitFirstOctet = 0x01 | 0x04 | 0x10;
const uint8_t statusReportRequestBit = 0x20;
const uint8_t userDataHeaderBit = 0x40;
// TP-VP, relative: 0xA8 is two days, what the modem library always asked for.
const uint8_t relativeValidity = 0xA8;
// The address field holds 10 octets of digits.
const size_t maxAddressDigits = 20;
// The reference and numbers of one concatenation header.
const size_t maxParts = 255;

uint8_t dataCodingScheme(smstext::Coding coding, bool flash) {
    const uint8_t alphabet = coding == smstext::Coding::Ucs2 ? 0x08 : 0x00;
    // 0x10: the message class in bits 1..0 is meant; class 0.
    return flash ? static_cast<uint8_t>(0x10 | alphabet) : alphabet;
}

bool encodePdu(const Envelope& envelope, smstext::Coding coding, const std::u32string& text, const std::string& header,
               Pdu& pdu, std::string& error) {
    smstext::UserData userData;
    if (!smstext::encodeUserData(coding, text, header, userData)) {
        error = "the text has a character the GSM alphabet lacks";
        return false;
    }
    pdu.coding = coding;
    pdu.userDataLength = userData.length;
    pdu.text = text;
    return buildPdu(envelope, coding, userData, !header.empty(), pdu.octets, error);
}

}  // namespace

bool encodeAddress(const std::string& number, std::string& octets, std::string& error) {
    const bool international = !number.empty() && number[0] == '+';
    const std::string digits = international ? number.substr(1) : number;
    if (digits.empty()) {
        error = "the destination address has no digits";
        return false;
    }
    if (digits.find_first_not_of("0123456789") != std::string::npos) {
        error = "the destination address '" + number + "' is not \"+\" and digits or digits";
        return false;
    }
    if (digits.size() > maxAddressDigits) {
        error = "the destination address has " + std::to_string(digits.size()) + " digits, at most " +
                std::to_string(maxAddressDigits) + " fit";
        return false;
    }
    octets.clear();
    octets += static_cast<char>(digits.size());
    octets += static_cast<char>(international ? 0x91 : 0x81);
    for (size_t i = 0; i < digits.size(); i += 2) {
        const uint8_t low = static_cast<uint8_t>(digits[i] - '0');
        const uint8_t high = i + 1 < digits.size() ? static_cast<uint8_t>(digits[i + 1] - '0') : 0x0F;
        octets += static_cast<char>(high << 4 | low);
    }
    return true;
}

bool buildPdu(const Envelope& envelope, smstext::Coding coding, const smstext::UserData& userData, bool headerPresent,
              std::string& octets, std::string& error) {
    std::string address;
    if (!encodeAddress(envelope.destination, address, error)) return false;
    uint8_t first = submitFirstOctet;
    if (envelope.statusReportRequest) first |= statusReportRequestBit;
    if (headerPresent) first |= userDataHeaderBit;
    octets.clear();
    octets += static_cast<char>(first);
    octets += '\0';  // TP-MR: the modem numbers the message
    octets += address;
    octets += '\0';  // TP-PID: plain short message
    octets += static_cast<char>(dataCodingScheme(coding, envelope.flash));
    octets += static_cast<char>(relativeValidity);
    octets += static_cast<char>(userData.length);
    octets += userData.octets;
    return true;
}

std::u32string textOf(const std::string& message, bool unicode) {
    // The text ends at its first NUL, as it always did.
    const std::string text = message.substr(0, message.find('\0'));
    std::u32string codePoints;
    if (!unicode || !smstext::utf8ToCodePoints(text, codePoints)) {
        smstext::utf8ToCodePoints(smstext::iso88592ToUtf8(text), codePoints);
    }
    if (!unicode) {
        for (char32_t& c : codePoints) {
            if (!smstext::fitsGsm7(std::u32string(1, c))) c = U'?';
        }
    }
    return codePoints;
}

bool buildPdus(const std::string& message, bool unicode, const Envelope& envelope, const PartHeader* part,
               uint8_t ownReference, std::vector<Pdu>& pdus, std::string& error) {
    pdus.clear();
    const std::u32string text = textOf(message, unicode);
    const smstext::Coding coding = smstext::codingFor(text);
    const smstext::PartLimits concatenated = smstext::partLimits(coding, true);
    if (part != nullptr && smstext::lengthIn(coding, text) <= concatenated.perPart) {
        pdus.emplace_back();
        return encodePdu(envelope, coding, text,
                         smstext::concatenationHeader(part->reference, part->count, part->number), pdus.back(), error);
    }
    const std::vector<std::u32string> parts =
        smstext::splitText(text, coding, {part != nullptr ? 0 : concatenated.single, concatenated.perPart});
    if (parts.size() > maxParts) {
        error = "the text needs " + std::to_string(parts.size()) + " messages, at most " + std::to_string(maxParts) +
                " can be joined";
        return false;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string header = parts.size() == 1
                                       ? std::string()
                                       : smstext::concatenationHeader(ownReference, static_cast<uint8_t>(parts.size()),
                                                                      static_cast<uint8_t>(i + 1));
        pdus.emplace_back();
        if (!encodePdu(envelope, coding, parts[i], header, pdus.back(), error)) return false;
    }
    return true;
}

std::string hex(const std::string& octets) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(octets.size() * 2);
    for (char octet : octets) {
        const uint8_t value = static_cast<uint8_t>(octet);
        text += digits[value >> 4];
        text += digits[value & 0x0F];
    }
    return text;
}

}  // namespace submitpdu
