// The modem sender's SMS-SUBMIT PDUs against PDUs worked out by hand (GSM
// 03.40 / 03.38), and against what gsmlib encoded for plain texts before.
#include "submit_pdu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "me_messages.h"
#include "utf8.h"

namespace {

using smstext::Coding;
using submitpdu::Envelope;
using submitpdu::PartHeader;
using submitpdu::Pdu;

Envelope to(const std::string& destination, bool report = false, bool flash = false) {
    Envelope envelope;
    envelope.destination = destination;
    envelope.statusReportRequest = report;
    envelope.flash = flash;
    return envelope;
}

std::vector<Pdu> pdusOf(const std::string& utf8, bool unicode, const Envelope& envelope,
                        const PartHeader* part = nullptr, uint8_t ownReference = 0x77) {
    std::vector<Pdu> pdus;
    std::string error;
    EXPECT_TRUE(submitpdu::buildPdus(utf8, unicode, envelope, part, ownReference, pdus, error)) << error;
    return pdus;
}

std::string hexOf(const std::vector<Pdu>& pdus, size_t i = 0) {
    return i < pdus.size() ? submitpdu::hex(pdus[i].octets) : std::string("(no PDU)");
}

TEST(SubmitPduTest, HandWorkedPdus) {
    // First octet 15: SMS-SUBMIT, reject duplicates, relative validity;
    // MR 00; 12 digits international; PID 00; DCS 00; VP A8 (two days); 5 septets.
    EXPECT_EQ(hexOf(pdusOf("Hello", false, to("+420603111222"))),
              "1500"
              "0C91246030112122"
              "0000A8"
              "05"
              "C8329BFD06");
    // The extension table: each character is ESC and its code, 6 septets.
    EXPECT_EQ(hexOf(pdusOf("[\u20ac]", true, to("+420603111222"))),
              "1500"
              "0C91246030112122"
              "0000A8"
              "06"
              "1BDEA6BCF101");
    // Status report (20) and a header (40) before 7-bit text: the 6 header
    // octets take 7 septets with one fill bit, UDL 7 + 2; an odd number
    // of digits is padded with F, type unknown 81.
    PartHeader part{0x2A, 2, 1};
    const std::vector<Pdu> headed = pdusOf("Hi", true, to("12345", true), &part);
    EXPECT_EQ(hexOf(headed),
              "7500"
              "05812143F5"
              "0000A8"
              "09"
              "0500032A0201"
              "9069");
    EXPECT_EQ(headed[0].userDataLength, 9u);
    // UCS-2, class 0 (18), with a status report.
    EXPECT_EQ(hexOf(pdusOf("\u0159", true, to("+420603111222", true, true))),
              "3500"
              "0C91246030112122"
              "0018A8"
              "02"
              "0159");
    // 7-bit class 0 (10); transliterate mode never uses UCS-2.
    EXPECT_EQ(hexOf(pdusOf("Hi", false, to("1", false, true))),
              "1500"
              "0181F1"
              "0010A8"
              "02"
              "C834");
    // A character outside the Basic Multilingual Plane: a surrogate pair,
    // after the header; UDL in octets.
    EXPECT_EQ(hexOf(pdusOf("\U0001F600", true, to("1"), &part)),
              "5500"
              "0181F1"
              "0008A8"
              "0A"
              "0500032A0201"
              "D83DDE00");
}

TEST(SubmitPduTest, PlainTextsAreWhatGsmlibSent) {
    for (const char* text : {"Hello", "Meet at noon, 12:30!", "", "@$_ 0123456789 abcXYZ"}) {
        for (bool report : {false, true}) {
            for (const char* destination : {"+420603111222", "0603111222", "+1"}) {
                EXPECT_EQ("00" + hexOf(pdusOf(text, false, to(destination, report))),
                          gsmlibSubmitPdu(destination, text, report))
                    << text << " " << destination;
            }
        }
    }
}

TEST(SubmitPduTest, CodingPerMode) {
    // unicode: 7-bit when every character fits, UCS-2 otherwise.
    EXPECT_EQ(pdusOf("{}\\^~|", true, to("1"))[0].coding, Coding::Gsm7);
    EXPECT_EQ(pdusOf("P\u0159\u00edli\u0161", true, to("1"))[0].coding, Coding::Ucs2);
    // Not valid UTF-8: read as ISO-8859-2 ("\xf8" is r with caron).
    const std::vector<Pdu> latin = pdusOf("\xf8", true, to("1"));
    EXPECT_EQ(latin[0].text, U"\u0159");
    // transliterate: the ISO-8859-2 text in 7-bit, "?" for what the
    // alphabet lacks (the grave accent, r with caron), Ä kept.
    const std::vector<Pdu> ascii = pdusOf("`a\xf8\xc4[", false, to("1"));
    EXPECT_EQ(ascii[0].coding, Coding::Gsm7);
    EXPECT_EQ(ascii[0].text, U"?a?\u00c4[");
    EXPECT_EQ(ascii[0].userDataLength, 6u);
    // The text ends at a NUL.
    EXPECT_EQ(pdusOf(std::string("ab\0cd", 5), true, to("1"))[0].text, U"ab");
}

TEST(SubmitPduTest, LongTextsAreDividedWithTheirOwnHeader) {
    // 160 septets fit one message; an escape pair that would straddle a
    // part's 153rd septet goes whole to the next part.
    EXPECT_EQ(pdusOf(std::string(158, 'a') + "\u20ac", true, to("1")).size(), 1u);
    const std::vector<Pdu> divided = pdusOf(std::string(152, 'a') + "\u20ac" + std::string(10, 'b'), true, to("1"));
    ASSERT_EQ(divided.size(), 2u);
    EXPECT_EQ(divided[0].userDataLength, 7u + 152u);
    EXPECT_EQ(divided[1].userDataLength, 7u + 12u);
    EXPECT_EQ(divided[1].text, U"\u20ac" + std::u32string(10, U'b'));
    for (size_t i = 0; i < divided.size(); ++i) {
        EXPECT_EQ(hexOf(divided, i).substr(0, 18), "55000181F10000A8" + std::string(i == 0 ? "9F" : "13"));
        EXPECT_EQ(hexOf(divided, i).substr(18, 12), i == 0 ? "050003770201" : "050003770202");
    }
    // 70 UCS-2 units fit; 71 go as 66 + 5: the surrogate pair that would
    // straddle the 67th unit is not divided.
    EXPECT_EQ(pdusOf(smstext::codePointsToUtf8(std::u32string(70, U'\u0159')), true, to("1")).size(), 1u);
    std::u32string units(66, U'\u0159');
    units += U"\U0001F600\u0159\u0159\u0159";
    const std::vector<Pdu> ucs2 = pdusOf(smstext::codePointsToUtf8(units), true, to("1"));
    ASSERT_EQ(ucs2.size(), 2u);
    EXPECT_EQ(ucs2[0].userDataLength, 6u + 66u * 2u);
    EXPECT_EQ(ucs2[1].text, U"\U0001F600\u0159\u0159\u0159");
    // A part of the submission's that is too long after its header: its own
    // concatenated message, nothing cut.
    PartHeader part{5, 3, 2};
    const std::vector<Pdu> overlong = pdusOf(std::string(150, 'a') + "[]", false, to("1"), &part);
    ASSERT_EQ(overlong.size(), 2u);
    EXPECT_EQ(overlong[0].text + overlong[1].text, std::u32string(150, U'a') + U"[]");
    EXPECT_EQ(hexOf(overlong, 1).substr(18, 12), "050003770202");
}

TEST(SubmitPduTest, RefusedDestinationsAndTexts) {
    std::vector<Pdu> pdus;
    std::string error;
    for (const std::string& destination :
         {std::string(), std::string("+"), std::string("+420 603"), std::string("12a"), std::string(21, '1')}) {
        EXPECT_FALSE(submitpdu::buildPdus("x", true, to(destination), nullptr, 1, pdus, error)) << destination;
        EXPECT_NE(error, "");
    }
    EXPECT_TRUE(submitpdu::buildPdus("x", true, to(std::string(20, '1')), nullptr, 1, pdus, error)) << error;
    // More parts than one header can number.
    EXPECT_FALSE(submitpdu::buildPdus(std::string(153 * 255 + 1, 'a'), true, to("1"), nullptr, 1, pdus, error));
    EXPECT_NE(error.find("255"), std::string::npos);
}

}  // namespace
