#include "gsm_text.h"

#include "utf8.h"

namespace smstext {

namespace {

// The default alphabet, by septet. 0x1B is the escape and stands for no
// character: it decodes as a space when nothing follows it.
const char32_t defaultAlphabet[128] = {
    U'@',      U'\u00A3', U'$',      U'\u00A5', U'\u00E8', U'\u00E9', U'\u00F9', U'\u00EC',  // 0x00
    U'\u00F2', U'\u00C7', U'\n',     U'\u00D8', U'\u00F8', U'\r',     U'\u00C5', U'\u00E5',  // 0x08
    U'\u0394', U'_',      U'\u03A6', U'\u0393', U'\u039B', U'\u03A9', U'\u03A0', U'\u03A8',  // 0x10
    U'\u03A3', U'\u0398', U'\u039E', U' ',      U'\u00C6', U'\u00E6', U'\u00DF', U'\u00C9',  // 0x18
    U' ',      U'!',      U'"',      U'#',      U'\u00A4', U'%',      U'&',      U'\'',      // 0x20
    U'(',      U')',      U'*',      U'+',      U',',      U'-',      U'.',      U'/',       // 0x28
    U'0',      U'1',      U'2',      U'3',      U'4',      U'5',      U'6',      U'7',       // 0x30
    U'8',      U'9',      U':',      U';',      U'<',      U'=',      U'>',      U'?',       // 0x38
    U'\u00A1', U'A',      U'B',      U'C',      U'D',      U'E',      U'F',      U'G',       // 0x40
    U'H',      U'I',      U'J',      U'K',      U'L',      U'M',      U'N',      U'O',       // 0x48
    U'P',      U'Q',      U'R',      U'S',      U'T',      U'U',      U'V',      U'W',       // 0x50
    U'X',      U'Y',      U'Z',      U'\u00C4', U'\u00D6', U'\u00D1', U'\u00DC', U'\u00A7',  // 0x58
    U'\u00BF', U'a',      U'b',      U'c',      U'd',      U'e',      U'f',      U'g',       // 0x60
    U'h',      U'i',      U'j',      U'k',      U'l',      U'm',      U'n',      U'o',       // 0x68
    U'p',      U'q',      U'r',      U's',      U't',      U'u',      U'v',      U'w',       // 0x70
    U'x',      U'y',      U'z',      U'\u00E4', U'\u00F6', U'\u00F1', U'\u00FC', U'\u00E0',  // 0x78
};

struct Extension {
    uint8_t code;
    char32_t character;
};
// The extension table: escape, then the code.
const Extension extensionTable[] = {
    {0x0A, U'\f'}, {0x14, U'^'}, {0x28, U'{'}, {0x29, U'}'}, {0x2F, U'\\'},
    {0x3C, U'['},  {0x3D, U'~'}, {0x3E, U']'}, {0x40, U'|'}, {0x65, U'\u20AC'},
};

// The septets of one character: 1 (basic), 2 (extension) or 0 (neither).
int septetsOf(char32_t c, uint8_t& code) {
    for (int i = 0; i < 128; ++i) {
        if (i != gsmEscape && defaultAlphabet[i] == c) {
            code = static_cast<uint8_t>(i);
            return 1;
        }
    }
    for (const Extension& e : extensionTable) {
        if (e.character == c) {
            code = e.code;
            return 2;
        }
    }
    return 0;
}

// The cost of one character in the units of `coding`.
size_t unitsOf(Coding coding, char32_t c) {
    switch (coding) {
        case Coding::Gsm7: {
            uint8_t code;
            const int septets = septetsOf(c, code);
            return septets == 0 ? 1 : static_cast<size_t>(septets);
        }
        case Coding::Ucs2: return utf16Units(c);
        case Coding::EightBit: break;
    }
    return 1;
}

}  // namespace

const char* codingName(Coding coding) {
    switch (coding) {
        case Coding::Gsm7: return "GSM";
        case Coding::EightBit: return "8BIT";
        case Coding::Ucs2: return "UCS2";
    }
    return "GSM";
}

Coding codingOfDcs(uint8_t dcs) {
    const uint8_t group = dcs >> 4;
    if (group <= 0x7) {
        // General data coding (0x00..0x3F) and automatic deletion
        // (0x40..0x7F): bits 3..2 name the alphabet.
        switch ((dcs >> 2) & 0x3) {
            case 1: return Coding::EightBit;
            case 2: return Coding::Ucs2;
            default: return Coding::Gsm7;
        }
    }
    if (group == 0xE) return Coding::Ucs2;  // message waiting, UCS-2 text
    if (group == 0xF) return (dcs & 0x04) != 0 ? Coding::EightBit : Coding::Gsm7;
    return Coding::Gsm7;
}

bool fitsGsm7(const std::u32string& text) {
    uint8_t code;
    for (char32_t c : text) {
        if (septetsOf(c, code) == 0) return false;
    }
    return true;
}

bool gsm7Encode(const std::u32string& text, std::string& septets) {
    septets.clear();
    septets.reserve(text.size());
    for (char32_t c : text) {
        uint8_t code = 0;
        const int count = septetsOf(c, code);
        if (count == 0) return false;
        if (count == 2) septets += static_cast<char>(gsmEscape);
        septets += static_cast<char>(code);
    }
    return true;
}

std::u32string gsm7Decode(const std::string& septets) {
    std::u32string text;
    text.reserve(septets.size());
    for (size_t i = 0; i < septets.size(); ++i) {
        const uint8_t code = static_cast<uint8_t>(septets[i]) & 0x7F;
        if (code != gsmEscape) {
            text += defaultAlphabet[code];
            continue;
        }
        if (i + 1 == septets.size()) {
            text += U' ';
            break;
        }
        const uint8_t next = static_cast<uint8_t>(septets[++i]) & 0x7F;
        char32_t c = defaultAlphabet[next];
        for (const Extension& e : extensionTable) {
            if (e.code == next) c = e.character;
        }
        text += c;
    }
    return text;
}

size_t gsm7Length(const std::u32string& text) { return lengthIn(Coding::Gsm7, text); }

std::string packSeptets(const std::string& septets, int fillBits) {
    if (fillBits < 0 || fillBits > 6) fillBits = 0;
    const size_t bits = static_cast<size_t>(fillBits) + 7 * septets.size();
    std::string octets((bits + 7) / 8, '\0');
    size_t bit = static_cast<size_t>(fillBits);
    for (char s : septets) {
        const unsigned value = static_cast<unsigned char>(s) & 0x7F;
        const size_t index = bit / 8;
        const unsigned shift = bit % 8;
        octets[index] = static_cast<char>(static_cast<unsigned char>(octets[index]) | ((value << shift) & 0xFF));
        if (shift > 1) {
            octets[index + 1] =
                static_cast<char>(static_cast<unsigned char>(octets[index + 1]) | (value >> (8 - shift)));
        }
        bit += 7;
    }
    return octets;
}

bool unpackSeptets(const std::string& octets, size_t count, int fillBits, std::string& septets) {
    septets.clear();
    if (fillBits < 0 || fillBits > 6) return false;
    septets.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t bit = static_cast<size_t>(fillBits) + 7 * i;
        const size_t index = bit / 8;
        const unsigned shift = bit % 8;
        if (index >= octets.size()) return false;
        unsigned value = static_cast<unsigned char>(octets[index]) >> shift;
        if (shift > 1) {
            if (index + 1 >= octets.size()) return false;
            value |= static_cast<unsigned>(static_cast<unsigned char>(octets[index + 1])) << (8 - shift);
        }
        septets += static_cast<char>(value & 0x7F);
    }
    return true;
}

Coding codingFor(const std::u32string& text) { return fitsGsm7(text) ? Coding::Gsm7 : Coding::Ucs2; }

size_t lengthIn(Coding coding, const std::u32string& text) {
    size_t units = 0;
    for (char32_t c : text) units += unitsOf(coding, c);
    return units;
}

PartLimits partLimits(Coding coding, bool concatenationHeader) {
    switch (coding) {
        case Coding::Gsm7: return concatenationHeader ? PartLimits{160, 153} : PartLimits{160, 160};
        case Coding::Ucs2: return concatenationHeader ? PartLimits{70, 67} : PartLimits{70, 70};
        case Coding::EightBit: break;
    }
    return concatenationHeader ? PartLimits{140, 134} : PartLimits{140, 140};
}

std::vector<std::u32string> splitText(const std::u32string& text, Coding coding, PartLimits limits) {
    std::vector<std::u32string> parts;
    if (lengthIn(coding, text) <= limits.single) {
        parts.push_back(text);
        return parts;
    }
    const size_t perPart = limits.perPart < 2 ? 2 : limits.perPart;
    std::u32string part;
    size_t used = 0;
    for (char32_t c : text) {
        const size_t units = unitsOf(coding, c);
        if (used + units > perPart) {
            parts.push_back(part);
            part.clear();
            used = 0;
        }
        part += c;
        used += units;
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string concatenationHeader(uint8_t reference, uint8_t count, uint8_t number) {
    const char header[] = {
        0x05, 0x00, 0x03, static_cast<char>(reference), static_cast<char>(count), static_cast<char>(number)};
    return std::string(header, sizeof header);
}

bool parseUserDataHeader(const std::string& userData, size_t& headerOctets, Concatenation* concatenation, bool* found) {
    if (found != nullptr) *found = false;
    headerOctets = 0;
    if (userData.empty()) return false;
    const size_t length = static_cast<unsigned char>(userData[0]);
    if (1 + length > userData.size()) return false;
    auto octet = [&userData](size_t i) { return static_cast<uint8_t>(userData[i]); };
    bool have = false;
    size_t i = 1;
    while (i < 1 + length) {
        if (i + 2 > 1 + length) return false;
        const uint8_t element = octet(i);
        const size_t elementLength = octet(i + 1);
        const size_t data = i + 2;
        if (data + elementLength > 1 + length) return false;
        if (!have && concatenation != nullptr) {
            Concatenation c;
            if (element == 0x00 && elementLength == 3) {
                c.reference = octet(data);
                c.count = octet(data + 1);
                c.number = octet(data + 2);
                have = true;
            } else if (element == 0x08 && elementLength == 4) {
                c.reference = static_cast<uint16_t>((octet(data) << 8) | octet(data + 1));
                c.count = octet(data + 2);
                c.number = octet(data + 3);
                c.sixteenBitReference = true;
                have = true;
            }
            // A part number outside 1..count makes the element void.
            if (have && (c.count == 0 || c.number == 0 || c.number > c.count)) have = false;
            if (have) *concatenation = c;
        }
        i = data + elementLength;
    }
    headerOctets = 1 + length;
    if (found != nullptr) *found = have;
    return true;
}

bool encodeUserData(Coding coding, const std::u32string& text, const std::string& header, UserData& userData) {
    userData.octets = header;
    switch (coding) {
        case Coding::Gsm7: {
            std::string septets;
            if (!gsm7Encode(text, septets)) return false;
            const size_t headerBits = header.size() * 8;
            const size_t headerSeptets = (headerBits + 6) / 7;
            const int fillBits = static_cast<int>(headerSeptets * 7 - headerBits);
            userData.octets += packSeptets(septets, fillBits);
            userData.length = headerSeptets + septets.size();
            return true;
        }
        case Coding::Ucs2: userData.octets += utf16beEncode(text); break;
        case Coding::EightBit:
            for (char32_t c : text) userData.octets += static_cast<char>(c & 0xFF);
            break;
    }
    userData.length = userData.octets.size();
    return true;
}

bool decodeUserData(Coding coding, const std::string& octets, size_t length, bool headerPresent, std::u32string& text,
                    Concatenation* concatenation, bool* found) {
    text.clear();
    if (found != nullptr) *found = false;
    size_t headerOctets = 0;
    if (headerPresent && !parseUserDataHeader(octets, headerOctets, concatenation, found)) return false;
    if (coding == Coding::Gsm7) {
        const size_t headerSeptets = (headerOctets * 8 + 6) / 7;
        if (length < headerSeptets) return false;
        const int fillBits = static_cast<int>(headerSeptets * 7 - headerOctets * 8);
        std::string septets;
        const bool complete = unpackSeptets(octets.substr(headerOctets), length - headerSeptets, fillBits, septets);
        text = gsm7Decode(septets);
        return complete;
    }
    const bool complete = length <= octets.size() && length >= headerOctets;
    const std::string data =
        length >= headerOctets ? octets.substr(headerOctets, length - headerOctets) : std::string();
    if (coding == Coding::Ucs2) {
        const bool valid = utf16beDecode(data, text);
        return complete && valid;
    }
    for (char c : data) text += static_cast<unsigned char>(c);
    return complete;
}

}  // namespace smstext
