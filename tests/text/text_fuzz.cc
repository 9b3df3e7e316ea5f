// Arbitrary bytes as received user data, UTF-8 and UTF-16: decoding never
// crashes and never reads beyond the data, whatever length and header they
// claim; what is decoded encodes again.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "gsm_text.h"
#include "utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t dcs = data[0];
    const size_t length = data[1];
    const std::string octets(reinterpret_cast<const char*>(data + 2), size - 2);
    std::u32string text;
    smstext::Concatenation concatenation;
    bool found = false;
    for (const bool header : {false, true}) {
        smstext::decodeUserData(smstext::codingOfDcs(dcs), octets, length, header, text, &concatenation, &found);
        if (found && (concatenation.number < 1 || concatenation.number > concatenation.count)) abort();
    }
    std::u32string codePoints;
    smstext::utf8ToCodePoints(octets, codePoints);
    std::u32string again;
    if (!smstext::utf8ToCodePoints(smstext::codePointsToUtf8(codePoints), again) || again != codePoints) abort();
    smstext::utf16beDecode(octets, codePoints);
    if (smstext::utf16beDecode(smstext::utf16beEncode(codePoints), again) && again != codePoints) abort();
    const std::u32string gsm = smstext::gsm7Decode(octets);
    std::string septets;
    if (smstext::fitsGsm7(gsm) && !smstext::gsm7Encode(gsm, septets)) abort();
    for (const smstext::Coding coding : {smstext::Coding::Gsm7, smstext::Coding::Ucs2}) {
        size_t total = 0;
        for (const std::u32string& part : smstext::splitText(codePoints, coding, smstext::partLimits(coding, true))) {
            if (smstext::lengthIn(coding, part) > 153 && smstext::lengthIn(coding, codePoints) > 160) abort();
            total += part.size();
        }
        if (total != codePoints.size()) abort();
    }
    return 0;
}
