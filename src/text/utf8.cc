#include "utf8.h"

#include <errno.h>
#include <iconv.h>

namespace smstext {

namespace {

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Converts from a single-byte charset with iconv; every byte of both charsets
// used here has a character, so nothing is lost.
std::string singleByteToUtf8(const std::string& text, const char* charset) {
    std::string utf8;
    iconv_t converter = iconv_open("UTF-8", charset);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        for (char c : text) appendUtf8(utf8, static_cast<unsigned char>(c) < 0x80 ? c : replacementCharacter);
        return utf8;
    }
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
        utf8.append(buffer, static_cast<size_t>(out - buffer));
        if (result == static_cast<size_t>(-1) && errno != E2BIG) {
            appendUtf8(utf8, replacementCharacter);
            ++in;
            --inLeft;
        }
    }
    iconv_close(converter);
    return utf8;
}

}  // namespace

bool utf8ToCodePoints(const std::string& utf8, std::u32string& codePoints, std::string* error) {
    codePoints.clear();
    codePoints.reserve(utf8.size());
    bool valid = true;
    size_t i = 0;
    while (i < utf8.size()) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        size_t extra = 0;
        char32_t codePoint = 0;
        if (lead < 0x80) {
            codePoints += lead;
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            codePoint = lead & 0x07;
        }
        size_t taken = 1;
        bool good = extra > 0;
        for (size_t k = 1; good && k <= extra; ++k) {
            if (i + k >= utf8.size() || (static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) {
                good = false;
                break;
            }
            codePoint = (codePoint << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
            taken = k + 1;
        }
        static const char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (good && (codePoint < smallest[extra] || codePoint > 0x10FFFF || isSurrogate(codePoint))) good = false;
        if (!good) {
            if (valid && error != nullptr) *error = "invalid UTF-8 at byte " + std::to_string(i);
            valid = false;
            codePoints += replacementCharacter;
            i += taken;
            continue;
        }
        codePoints += codePoint;
        i += extra + 1;
    }
    return valid;
}

bool isAscii(const std::u32string& codePoints) {
    for (char32_t c : codePoints) {
        if (c >= 0x80) return false;
    }
    return true;
}

bool isValidUtf8(const std::string& utf8) {
    std::u32string ignored;
    return utf8ToCodePoints(utf8, ignored);
}

void appendUtf8(std::string& utf8, char32_t c) {
    if (isSurrogate(c) || c > 0x10FFFF) c = replacementCharacter;
    if (c < 0x80) {
        utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        utf8 += static_cast<char>(0xE0 | (c >> 12));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        utf8 += static_cast<char>(0xF0 | (c >> 18));
        utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string codePointsToUtf8(const std::u32string& codePoints) {
    std::string utf8;
    utf8.reserve(codePoints.size());
    for (char32_t c : codePoints) appendUtf8(utf8, c);
    return utf8;
}

std::string iso88592ToUtf8(const std::string& iso88592) {
    return singleByteToUtf8(iso88592.substr(0, iso88592.find('\0')), "ISO-8859-2");
}

std::string latin1ToUtf8(const std::string& latin1) {
    std::string utf8;
    utf8.reserve(latin1.size());
    for (char c : latin1) appendUtf8(utf8, static_cast<unsigned char>(c));
    return utf8;
}

size_t utf16Units(const std::u32string& codePoints) {
    size_t units = 0;
    for (char32_t c : codePoints) units += utf16Units(c);
    return units;
}

std::string utf16beEncode(const std::u32string& codePoints) {
    std::string octets;
    octets.reserve(codePoints.size() * 2);
    auto unit = [&octets](char32_t u) {
        octets += static_cast<char>((u >> 8) & 0xFF);
        octets += static_cast<char>(u & 0xFF);
    };
    for (char32_t c : codePoints) {
        if (isSurrogate(c) || c > 0x10FFFF) c = replacementCharacter;
        if (c > 0xFFFF) {
            c -= 0x10000;
            unit(0xD800 | (c >> 10));
            unit(0xDC00 | (c & 0x3FF));
        } else {
            unit(c);
        }
    }
    return octets;
}

bool utf16beDecode(const std::string& octets, std::u32string& codePoints) {
    codePoints.clear();
    bool valid = true;
    const size_t units = octets.size() / 2;
    auto unitAt = [&octets](size_t i) {
        return static_cast<char32_t>((static_cast<unsigned char>(octets[2 * i]) << 8) |
                                     static_cast<unsigned char>(octets[2 * i + 1]));
    };
    for (size_t i = 0; i < units; ++i) {
        const char32_t u = unitAt(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unitAt(i + 1) >= 0xDC00 && unitAt(i + 1) <= 0xDFFF) {
            codePoints += 0x10000 + ((u - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00);
            ++i;
        } else if (isSurrogate(u)) {
            codePoints += replacementCharacter;
            valid = false;
        } else {
            codePoints += u;
        }
    }
    if (octets.size() % 2 != 0) {
        codePoints += replacementCharacter;
        valid = false;
    }
    return valid;
}

}  // namespace smstext
