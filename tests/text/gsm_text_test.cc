// The encoder of short-message text, table by table: every character of the
// GSM default alphabet and its extension table both ways, the packing of
// septets, the division into parts at their limits and the concatenation
// header.
#include <gtest/gtest.h>

#include <string>

#include "gsm_text.h"
#include "utf8.h"

using namespace smstext;

namespace {

std::u32string u32(const std::string& utf8) {
    std::u32string text;
    EXPECT_TRUE(utf8ToCodePoints(utf8, text)) << utf8;
    return text;
}

std::string bytes(std::initializer_list<int> values) {
    std::string result;
    for (int v : values) result += static_cast<char>(v);
    return result;
}

// The default alphabet as UTF-8, septet by septet; the escape's place
// (0x1B) holds a space, what it decodes to alone.
const char* const defaultAlphabetUtf8 =
    "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ ÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
    "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà";

struct ExtensionCase {
    char32_t character;
    int code;
};
const ExtensionCase extensionCases[] = {
    {U'\f', 0x0A}, {U'^', 0x14}, {U'{', 0x28}, {U'}', 0x29}, {U'\\', 0x2F},
    {U'[', 0x3C},  {U'~', 0x3D}, {U']', 0x3E}, {U'|', 0x40}, {U'€', 0x65},
};

}  // namespace

TEST(GsmAlphabet, EveryBasicCharacterBothWays) {
    const std::u32string table = u32(defaultAlphabetUtf8);
    ASSERT_EQ(table.size(), 128u);
    for (int code = 0; code < 128; ++code) {
        if (code == gsmEscape) continue;
        const std::u32string one(1, table[code]);
        std::string septets;
        ASSERT_TRUE(gsm7Encode(one, septets)) << "septet " << code;
        EXPECT_EQ(septets, std::string(1, static_cast<char>(code))) << "septet " << code;
        EXPECT_EQ(gsm7Decode(septets), one) << "septet " << code;
        EXPECT_EQ(gsm7Length(one), 1u);
    }
}

TEST(GsmAlphabet, EveryExtensionCharacterAsEscapePair) {
    for (const ExtensionCase& c : extensionCases) {
        const std::u32string one(1, c.character);
        std::string septets;
        ASSERT_TRUE(gsm7Encode(one, septets)) << static_cast<unsigned>(c.character);
        EXPECT_EQ(septets, bytes({0x1B, c.code}));
        EXPECT_EQ(gsm7Decode(septets), one);
        EXPECT_EQ(gsm7Length(one), 2u);
        EXPECT_TRUE(fitsGsm7(one));
    }
    // An escape before a code the table lacks is the basic character; a
    // trailing escape a space.
    EXPECT_EQ(gsm7Decode(bytes({0x1B, 0x41, 0x1B})), U"A ");
}

TEST(GsmAlphabet, CharactersOutsideBothTablesNeedUcs2) {
    for (const char* text : {"ř", "ç", "`", "Ж", "€ř", "😀"}) {
        const std::u32string t = u32(text);
        EXPECT_FALSE(fitsGsm7(t)) << text;
        EXPECT_EQ(codingFor(t), Coding::Ucs2) << text;
        std::string septets;
        EXPECT_FALSE(gsm7Encode(t, septets)) << text;
    }
    EXPECT_EQ(codingFor(u32("[]{}\\^~|€ Ünïcode? no: Ünicöde")), Coding::Ucs2);  // ï is not GSM
    EXPECT_EQ(codingFor(u32("[]{}\\^~|€ Übung")), Coding::Gsm7);
}

TEST(SeptetPacking, KnownOctetsAndEveryFillBitOffset) {
    // "hellohello" packed: the classic example.
    std::string septets;
    ASSERT_TRUE(gsm7Encode(U"hellohello", septets));
    EXPECT_EQ(packSeptets(septets), bytes({0xE8, 0x32, 0x9B, 0xFD, 0x46, 0x97, 0xD9, 0xEC, 0x37}));
    const std::string all = [] {
        std::string s;
        for (int i = 0; i < 128; ++i) s += static_cast<char>(i);
        return s;
    }();
    for (int fill = 0; fill <= 6; ++fill) {
        for (size_t count : {0u, 1u, 7u, 8u, 9u, 128u}) {
            const std::string in = all.substr(0, count);
            const std::string packed = packSeptets(in, fill);
            EXPECT_EQ(packed.size(), (fill + 7 * count + 7) / 8);
            std::string out;
            ASSERT_TRUE(unpackSeptets(packed, count, fill, out)) << fill << " " << count;
            EXPECT_EQ(out, in) << fill << " " << count;
        }
    }
    std::string out;
    EXPECT_FALSE(unpackSeptets(bytes({0xE8}), 3, 0, out));
}

TEST(Parts, GsmTextsOf160And161Characters) {
    const std::u32string text160(160, U'a');
    EXPECT_EQ(splitText(text160, Coding::Gsm7, partLimits(Coding::Gsm7, true)).size(), 1u);
    const auto parts = splitText(text160 + U"b", Coding::Gsm7, partLimits(Coding::Gsm7, true));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].size(), 153u);
    EXPECT_EQ(parts[1], std::u32string(7, U'a') + U"b");
    // 80 extension characters are 160 septets: one message; 81 are two.
    EXPECT_EQ(splitText(std::u32string(80, U'€'), Coding::Gsm7, partLimits(Coding::Gsm7, true)).size(), 1u);
    EXPECT_EQ(splitText(std::u32string(81, U'€'), Coding::Gsm7, partLimits(Coding::Gsm7, true)).size(), 2u);
}

TEST(Parts, AnEscapePairAtTheBoundaryMovesWhole) {
    // 152 septets, then "[": its pair would take septets 153 and 154.
    const std::u32string text = std::u32string(152, U'x') + U"[" + std::u32string(20, U'y');
    const auto parts = splitText(text, Coding::Gsm7, partLimits(Coding::Gsm7, true));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], std::u32string(152, U'x'));
    EXPECT_EQ(gsm7Length(parts[0]), 152u);
    EXPECT_EQ(parts[1], U"[" + std::u32string(20, U'y'));
    // 151 + "[" fills the part exactly: 153 septets.
    const auto exact = splitText(std::u32string(151, U'x') + U"[" + std::u32string(20, U'y'), Coding::Gsm7,
                                 partLimits(Coding::Gsm7, true));
    ASSERT_EQ(exact.size(), 2u);
    EXPECT_EQ(gsm7Length(exact[0]), 153u);
    EXPECT_EQ(exact[1], std::u32string(20, U'y'));
}

TEST(Parts, Ucs2TextsOf70And71UnitsAndASurrogatePairAtTheBoundary) {
    const std::u32string text70(70, U'ř');
    EXPECT_EQ(splitText(text70, Coding::Ucs2, partLimits(Coding::Ucs2, true)).size(), 1u);
    const auto parts = splitText(text70 + U"ř", Coding::Ucs2, partLimits(Coding::Ucs2, true));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].size(), 67u);
    EXPECT_EQ(parts[1].size(), 4u);
    // 66 units, then an emoji (two units): it goes whole to the next part.
    const std::u32string emoji = std::u32string(66, U'ж') + U"😀" + U"end";
    EXPECT_EQ(utf16Units(emoji), 71u);
    const auto split = splitText(emoji, Coding::Ucs2, partLimits(Coding::Ucs2, true));
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(utf16Units(split[0]), 66u);
    EXPECT_EQ(split[1], U"😀end");
    EXPECT_EQ(utf16beEncode(split[1]).substr(0, 4), bytes({0xD8, 0x3D, 0xDE, 0x00}));
    // Without a header a part is a whole message.
    EXPECT_EQ(partLimits(Coding::Ucs2, false).perPart, 70u);
    EXPECT_EQ(partLimits(Coding::Gsm7, false).perPart, 160u);
}

TEST(Utf16, BigEndianWithSurrogatePairs) {
    const std::u32string text = U"Ař€😀";
    const std::string octets = utf16beEncode(text);
    EXPECT_EQ(octets, bytes({0x00, 0x41, 0x01, 0x59, 0x20, 0xAC, 0xD8, 0x3D, 0xDE, 0x00}));
    std::u32string back;
    EXPECT_TRUE(utf16beDecode(octets, back));
    EXPECT_EQ(back, text);
    // A lone surrogate and an odd octet are reported and replaced.
    EXPECT_FALSE(utf16beDecode(bytes({0xD8, 0x3D, 0x00, 0x41, 0x00}), back));
    EXPECT_EQ(back, std::u32string(U"\uFFFDA\uFFFD"));
}

TEST(Utf8, InvalidInputIsReportedNeverTrusted) {
    std::u32string points;
    std::string error;
    EXPECT_TRUE(utf8ToCodePoints("Příliš 😀", points, &error));
    EXPECT_EQ(points, U"Příliš 😀");
    EXPECT_EQ(codePointsToUtf8(points), "Příliš 😀");
    for (const std::string& bad :
         {std::string("\xC3"), std::string("a\x80"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
          std::string("\xF4\x90\x80\x80"), std::string("\xFF"), std::string("\xE2\x82")}) {
        error.clear();
        EXPECT_FALSE(utf8ToCodePoints(bad, points, &error)) << bad;
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(isValidUtf8(bad));
        EXPECT_NE(points.find(replacementCharacter), std::u32string::npos);
    }
    EXPECT_EQ(iso88592ToUtf8("P\xF8\xEDli\xB9 \xBEluou\xE8k\xFD"), "Příliš žluoučký");
    EXPECT_EQ(latin1ToUtf8("\xE9"), "é");
}

TEST(ConcatenationHeader, BuiltAndParsed) {
    EXPECT_EQ(concatenationHeader(0xA7, 3, 2), bytes({0x05, 0x00, 0x03, 0xA7, 0x03, 0x02}));
    size_t headerOctets = 0;
    Concatenation c;
    bool found = false;
    ASSERT_TRUE(parseUserDataHeader(concatenationHeader(0xA7, 3, 2) + "text", headerOctets, &c, &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(headerOctets, 6u);
    EXPECT_EQ(c.reference, 0xA7);
    EXPECT_EQ(c.count, 3);
    EXPECT_EQ(c.number, 2);
    EXPECT_FALSE(c.sixteenBitReference);
    // A 16-bit reference after an element that is skipped.
    ASSERT_TRUE(parseUserDataHeader(bytes({0x0A, 0x24, 0x02, 0x01, 0x02, 0x08, 0x04, 0x12, 0x34, 0x04, 0x04}),
                                    headerOctets, &c, &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(headerOctets, 11u);
    EXPECT_EQ(c.reference, 0x1234);
    EXPECT_EQ(c.count, 4);
    EXPECT_EQ(c.number, 4);
    EXPECT_TRUE(c.sixteenBitReference);
    // No concatenation element; a number beyond the count; broken lengths.
    ASSERT_TRUE(parseUserDataHeader(bytes({0x03, 0x24, 0x01, 0x01}), headerOctets, &c, &found));
    EXPECT_FALSE(found);
    ASSERT_TRUE(parseUserDataHeader(bytes({0x05, 0x00, 0x03, 0x01, 0x02, 0x03}), headerOctets, &c, &found));
    EXPECT_FALSE(found);
    EXPECT_FALSE(parseUserDataHeader(bytes({0x06, 0x00, 0x03, 0x01, 0x02, 0x01}), headerOctets, &c, &found));
    EXPECT_FALSE(parseUserDataHeader(bytes({0x03, 0x00, 0x03, 0x01}), headerOctets, &c, &found));
    EXPECT_FALSE(parseUserDataHeader("", headerOctets, &c, &found));
}

TEST(UserData, GsmAfterAHeaderStartsOnASeptetBoundary) {
    const std::u32string text = U"[x]€";
    UserData data;
    ASSERT_TRUE(encodeUserData(Coding::Gsm7, text, concatenationHeader(1, 2, 1), data));
    // 6 header octets are 48 bits: 7 septets with one fill bit; 7 septets of text.
    EXPECT_EQ(data.length, 7u + 7u);
    EXPECT_EQ(data.octets.size(), 6u + (1 + 7 * 7 + 7) / 8);
    std::u32string back;
    Concatenation c;
    bool found = false;
    ASSERT_TRUE(decodeUserData(Coding::Gsm7, data.octets, data.length, true, back, &c, &found));
    EXPECT_EQ(back, text);
    EXPECT_TRUE(found);
    EXPECT_EQ(c.number, 1);

    ASSERT_TRUE(encodeUserData(Coding::Ucs2, U"ř😀", concatenationHeader(9, 2, 2), data));
    EXPECT_EQ(data.length, 6u + 6u);
    ASSERT_TRUE(decodeUserData(Coding::Ucs2, data.octets, data.length, true, back, &c, &found));
    EXPECT_EQ(back, U"ř😀");
    EXPECT_EQ(c.reference, 9);

    ASSERT_TRUE(encodeUserData(Coding::Gsm7, U"hello", "", data));
    EXPECT_EQ(data.length, 5u);
    ASSERT_TRUE(decodeUserData(Coding::Gsm7, data.octets, data.length, false, back));
    EXPECT_EQ(back, U"hello");
    EXPECT_FALSE(encodeUserData(Coding::Gsm7, U"ř", "", data));
    // A length beyond the data is reported.
    EXPECT_FALSE(decodeUserData(Coding::Gsm7, data.octets, 40, false, back));
    EXPECT_FALSE(decodeUserData(Coding::Ucs2, bytes({0x00, 0x41}), 4, false, back));
}

TEST(DataCodingScheme, AlphabetOfEachGroup) {
    EXPECT_EQ(codingOfDcs(0x00), Coding::Gsm7);
    EXPECT_EQ(codingOfDcs(0x04), Coding::EightBit);
    EXPECT_EQ(codingOfDcs(0x08), Coding::Ucs2);
    EXPECT_EQ(codingOfDcs(0x18), Coding::Ucs2);  // class 0 flash, UCS-2
    EXPECT_EQ(codingOfDcs(0x48), Coding::Ucs2);
    EXPECT_EQ(codingOfDcs(0xE0), Coding::Ucs2);
    EXPECT_EQ(codingOfDcs(0xF0), Coding::Gsm7);
    EXPECT_EQ(codingOfDcs(0xF4), Coding::EightBit);
    EXPECT_STREQ(codingName(Coding::Ucs2), "UCS2");
}
