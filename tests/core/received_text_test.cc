// What the executables get from the user data of received messages, and
// what faulty data gives: the text that could be decoded and the problem,
// never a crash.
#include "received_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string ucs2Czech("\x01\x59\x00\x21", 4);  // "ř!"

TEST(ReceivedText, EachCodingAsUtf8WithUnicodeAndAsBeforeWithout) {
    // SMPP: GSM one septet per octet (extension pairs), IA5, UCS-2, 8-bit.
    ReceivedText gsm = receivedSmppText(true, 0, 0, std::string("\x1b\x65[\x00", 4), "legacy");
    EXPECT_EQ(gsm.text, "\xe2\x82\xac\xc3\x84@");  // "€Ä@"
    EXPECT_EQ(gsm.alphabet, "7bit");
    EXPECT_EQ(receivedSmppText(true, 8, 0, ucs2Czech, "").text, "\xc5\x99!");
    EXPECT_EQ(receivedSmppText(true, 8, 0, ucs2Czech, "").alphabet, "ucs2");
    ReceivedText data = receivedSmppText(true, 4, 0, std::string("\x00\xe9", 2), "");
    EXPECT_EQ(data.text, "\xc3\xa9");  // the NUL left out
    EXPECT_EQ(data.alphabet, "8bit");
    ReceivedText legacy = receivedSmppText(false, 8, 0, ucs2Czech, "as before");
    EXPECT_EQ(legacy.text, "as before");
    EXPECT_EQ(legacy.alphabet, "7bit");

    // EMI transparent data: packed septets ("Hi" = 0xC8 0x34), UCS-2 by XSer.
    EXPECT_EQ(receivedEmiText(true, "4", "C834", 14, "020100").text, "Hi");
    EXPECT_EQ(receivedEmiText(true, "4", "01590021", 32, "020108").text, "\xc5\x99!");
    EXPECT_EQ(receivedEmiText(false, "4", "01590021", 32, "020108").text, "01590021");
    EXPECT_EQ(receivedEmiText(true, "3", "plain", 0, "").text, "plain");

    // Modem: an SMS-DELIVER PDU with a concatenation header and UCS-2.
    uint8_t dcs = 0;
    bool header = false;
    size_t length = 0;
    std::string octets;
    ASSERT_TRUE(
        deliverUserData("0044048121430008624011713020000A050003A70201"
                        "01590021",
                        dcs, header, length, octets));
    EXPECT_EQ(dcs, 8);
    EXPECT_TRUE(header);
    ReceivedText part = receivedTpduText(true, dcs, header, octets, length, "");
    EXPECT_EQ(part.text, "\xc5\x99!");
    EXPECT_TRUE(part.problem.empty()) << part.problem;
    EXPECT_TRUE(part.concatenated);
    EXPECT_EQ(part.reference, 0xA7u);
    EXPECT_EQ(part.count, 2);
    EXPECT_EQ(part.number, 1);
}

TEST(ReceivedText, FaultyDataGivesWhatCouldBeDecodedAndTheProblem) {
    ReceivedText odd = receivedSmppText(true, 8, 0, std::string("\x00\x41\xd8", 3), "");
    EXPECT_EQ(odd.text, "A\xef\xbf\xbd");
    EXPECT_NE(odd.problem.find("odd number"), std::string::npos);
    ReceivedText lone = receivedSmppText(true, 8, 0, std::string("\xd8\x00\x00\x41", 4), "");
    EXPECT_EQ(lone.text,
              "\xef\xbf\xbd"
              "A");
    EXPECT_FALSE(lone.problem.empty());
    // A header whose length runs past the data.
    ReceivedText header = receivedSmppText(true, 0, 0x40, std::string("\x09\x00\x03", 3), "");
    EXPECT_FALSE(header.concatenated);
    EXPECT_NE(header.problem.find("user data header"), std::string::npos);
    // Not hexadecimal, an odd digit count, NB beyond the data, extra
    // services cut short.
    EXPECT_FALSE(receivedEmiText(true, "4", "0G41", 16, "020108").problem.empty());
    EXPECT_FALSE(receivedEmiText(true, "4", "C83", 14, "020100").problem.empty());
    EXPECT_NE(receivedEmiText(true, "4", "C8", 70, "020100").problem.find("NB"), std::string::npos);
    EXPECT_FALSE(receivedEmiText(true, "4", "41", 8, "0205AA").problem.empty());
    // PDUs that end early or are no SMS-DELIVER.
    uint8_t dcs = 0;
    bool udhi = false;
    size_t length = 0;
    std::string octets;
    EXPECT_FALSE(deliverUserData("", dcs, udhi, length, octets));
    EXPECT_FALSE(deliverUserData("0004", dcs, udhi, length, octets));
    EXPECT_FALSE(deliverUserData("07", dcs, udhi, length, octets));
    EXPECT_FALSE(deliverUserData("0001", dcs, udhi, length, octets));
    EXPECT_FALSE(deliverUserData("00040B", dcs, udhi, length, octets));
    // UDL longer than the data.
    ASSERT_TRUE(deliverUserData("000404812143000862401171302000FF0041", dcs, udhi, length, octets));
    ReceivedText shortData = receivedTpduText(true, dcs, udhi, octets, length, "");
    EXPECT_EQ(shortData.text, "A");
    EXPECT_FALSE(shortData.problem.empty());
}

}  // namespace
