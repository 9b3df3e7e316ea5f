// IA5 codec of libvessa: texts as two hex digits per character, and
// alphanumeric originators as packed 7-bit codes.
#include <cstring>
#include <string>

#include "vessa_internal.h"

namespace {

// The 7-bit code sent for one byte; bytes outside IA5 become '?'.
unsigned ia5Code(char ch) {
    unsigned c = static_cast<unsigned char>(ch);
    return c > 0x7F ? '?' : c;
}

// Writes at most (bufsz - 1) / 2 characters as hex pairs and terminates.
void encodeHex(char* buf, int bufsz, const char* str) {
    if (!buf || bufsz <= 0) {
        return;
    }
    char* out = buf;
    int room = bufsz;
    while (str && *str && room > 2) {
        unsigned c = ia5Code(*str++);
        *out++ = ia5_tohex(static_cast<int>(c >> 4));
        *out++ = ia5_tohex(static_cast<int>(c & 0x0F));
        room -= 2;
    }
    *out = '\0';
}

}  // namespace

char ia5_tohex(int cc) {
    cc &= 0x0F;
    return static_cast<char>(cc > 9 ? cc + 55 : cc + '0');
}

int ia5_tonum(char ch) { return (ch >= '0' && ch <= '9') ? ch - '0' : ch - 55; }

char* ia5_encode(char* buf, int bufsz, const char* str) {
    vessa_trace("ia5_encode: '%s'\n", vessa_str(str));
    encodeHex(buf, bufsz, str);
    if (buf && bufsz > 0) {
        vessa_trace("ia5_encode: encoded => %s\n", buf);
    }
    return buf;
}

char* ia5_encode_secret(char* buf, int bufsz, const char* str) {
    vessa_trace("ia5_encode: '%s'\n", "********");
    encodeHex(buf, bufsz, str);
    if (buf && bufsz > 0) {
        vessa_trace("ia5_encode: encoded => %s\n", std::string(std::strlen(buf), '*').c_str());
    }
    return buf;
}

char* ia5_decode(char* buf, int bufsz, const char* str) {
    vessa_trace("ia5_decode: %s\n", vessa_str(str));
    if (!buf || bufsz <= 0) {
        return buf;
    }
    char* out = buf;
    int room = bufsz;
    // Only complete pairs are decoded; an unpaired last digit is dropped.
    while (str && str[0] && str[1] && room > 1) {
        unsigned code = static_cast<unsigned>(ia5_tonum(str[0]) * 16 + ia5_tonum(str[1])) & 0x7F;
        // 0x00 and 0x11 are '@' and '_' in the GSM default alphabet.
        if (code == 0x00) {
            code = '@';
        } else if (code == 0x11) {
            code = '_';
        } else if (code < 0x20) {
            code = ' ';
        }
        *out++ = static_cast<char>(code);
        str += 2;
        --room;
    }
    *out = '\0';
    vessa_trace("ia5_decode: decoded => '%s'\n", buf);
    return buf;
}

char* ia5_encode_oadc(char* buf, int bufsz, const char* str) {
    if (!buf || bufsz < 3) {
        return buf;  // not even the count and a terminator fit
    }
    if (!str) {
        str = "";
    }
    size_t n = std::strlen(str);
    size_t semi = (7 * n + 3) / 4;
    if (semi > 0xFF) {
        semi = 0xFF;
    }
    buf[0] = ia5_tohex(static_cast<int>(semi >> 4));
    buf[1] = ia5_tohex(static_cast<int>(semi & 0x0F));
    vessa_trace("ia5_encode_oadc: '%s'\n", str);

    char* out = buf + 2;
    int room = bufsz - 2;
    size_t i = 0;
    int shift = 0;
    while (i < n && room >= 3) {
        unsigned cur = ia5Code(str[i]);
        unsigned next = i + 1 < n ? ia5Code(str[i + 1]) : 0;
        unsigned octet = ((cur >> shift) | (next << (7 - shift))) & 0xFF;
        *out++ = ia5_tohex(static_cast<int>(octet >> 4));
        *out++ = ia5_tohex(static_cast<int>(octet & 0x0F));
        room -= 2;
        if (i + 1 >= n) {
            break;
        }
        if (shift == 6) {
            i += 2;  // the next character went into this octet entirely
            shift = 0;
        } else {
            i += 1;
            ++shift;
        }
    }
    *out = '\0';
    vessa_trace("ia5_encode_oadc: encoded => %s\n", buf);
    return buf;
}

int ia5_is_numeric(const char* str) {
    if (!str) {
        return 1;
    }
    for (; *str; ++str) {
        if (*str < '0' || *str > '9') {
            return 0;
        }
    }
    return 1;
}
