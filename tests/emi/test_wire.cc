// The exact bytes libvessa puts on the wire: login, alert, both submission
// layouts, acknowledgements, and the originator and destination rules.
#include <gtest/gtest.h>

#include <string>

#include "emi_peer.h"
#include "vessa.h"
#include "vessa_internal.h"

using emitest::Options;
using emitest::Session;

namespace {

const std::string STX = "\x02";
const std::string ETX = "\x03";

TEST(Wire, LoginFrameCarriesAddressAndIa5Password) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.login, STX + "00/00052/O/60/12345/6/5/1/736563726574//0100//////D5" + ETX);
}

TEST(Wire, LoginSendsOnlyEightPasswordCharactersAndSixteenAddressCharacters) {
    Options o;
    o.password = "0123456789";
    o.origin = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_NE(s.login.find("/O/60/ABCDEFGHIJKLMNOP/6/5/1/3031323334353637//0100//////"), std::string::npos) << s.login;
}

TEST(Wire, AlertFrames) {
    {
        Session s;  // alert address 0123
        ASSERT_EQ(s.rc, 0);
        EXPECT_EQ(emi_alert(s.emi), 1);
        std::string f = s.next();
        EXPECT_EQ(f, STX + "01/00026/O/31/0123/0539/BD" + ETX);
        EXPECT_EQ(f.size(), 28u);
    }
    Options plus;
    plus.alert = "+420601234567";
    Session a(plus);
    ASSERT_EQ(a.rc, 0);
    EXPECT_EQ(emi_alert(a.emi), 1);
    EXPECT_NE(a.next().find("/O/31/420601234567/0439/"), std::string::npos);

    Options nine;
    nine.alert = "123456789";
    Session b(nine);
    ASSERT_EQ(b.rc, 0);
    EXPECT_EQ(emi_alert(b.emi), 1);
    EXPECT_NE(b.next().find("/O/31/123456789/0439/"), std::string::npos);
}

TEST(Wire, Submit1WithoutNotification) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_submit1(s.emi, "+420777123456", "+420601234567", "Hello", -1), 1);
    EXPECT_EQ(s.next(), STX +
                            "01/00090/O/51/00420601234567/420777123456/////////////////3//48656C6C6F"
                            "////////1139/////58" +
                            ETX);
}

TEST(Wire, Submit1AlphanumericOriginatorWithNotification) {
    Options o;
    o.alert = "+420600111222";
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_submit1(s.emi, "ABC", "0601234567", "Hi", EMI_DN), 1);
    EXPECT_EQ(s.next(), STX +
                            "01/00098/O/51/00420601234567/0641E110//1/420600111222/1/0439//////////"
                            "//3//4869////////5039/////B2" +
                            ETX);
}

TEST(Wire, Submit1NumericOriginatorWithNotificationHasNoNotificationAddress) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(emi_submit1(s.emi, "+420777123456", "+420601234567", "Hello", -1), 1);
    s.next();
    EXPECT_EQ(emi_submit1(s.emi, "0601234567", "00420601234567", "Hi", 1), 2);
    EXPECT_EQ(s.next(), STX + "02/00080/O/51/00420601234567/0601234567//1//1/////////////3//4869/////////////14" + ETX);
}

TEST(Wire, Submit2TextWithOptions) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    msg_t* m = emi_msg(s.emi);
    m->uu.submit.from = "+420777123456";
    m->uu.submit.to = "601234567";
    m->uu.submit.text = "Hi";
    m->uu.submit.validity = "0101121200";
    m->uu.submit.priority = 1;
    m->uu.submit.msg_class = 1;
    m->uu.submit.rpid = 5;
    m->uu.submit.xservices = "0102A0";
    EXPECT_EQ(emi_submit2(s.emi), 1);
    EXPECT_EQ(s.next(), STX +
                            "01/00106/O/51/00420601234567/420777123456///////////0101121200/0005/////"
                            "3//4869//1//1////1139//0102A0///2F" +
                            ETX);
}

TEST(Wire, Submit2BinaryWithNotification) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(emi_alert(s.emi), 1);
    s.next();
    msg_t* m = emi_msg(s.emi);
    *m = msg_t();
    m->uu.submit.from = "0777123456";
    m->uu.submit.to = "0601234567";
    m->uu.submit.notif_addr = "0600999888";
    m->uu.submit.notif_type = EMI_DN | EMI_ND;
    m->uu.submit.bit8 = 1;
    m->uu.submit.numbits = 16;
    m->uu.submit.text = "CAFE";
    m->uu.submit.rpid = -1;
    EXPECT_EQ(emi_submit2(s.emi), 2);
    EXPECT_EQ(s.next(), STX +
                            "02/00104/O/51/00420601234567/0777123456//1/0600999888/3/0539///////0000"
                            "/////4/0016/CAFE///1/0/////////22" +
                            ETX);
}

TEST(Wire, Submit2AlphanumericOriginatorTakesNotificationAddressFromAlert) {
    Options o;
    o.alert = "12345678";
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    msg_t* m = emi_msg(s.emi);
    m->uu.submit.from = "Shop";
    m->uu.submit.to = "601234567";
    m->uu.submit.notif_addr = "0600999888";
    m->uu.submit.notif_type = 1;
    m->uu.submit.text = "x";
    ASSERT_EQ(emi_submit2(s.emi), 1);
    // Short alert address: NPID 0539 (an application), NAdC as it is.
    EXPECT_NE(s.next().find("//1/12345678/1/0539/"), std::string::npos);
}

TEST(Wire, Acknowledgements) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_ack(1, -52, 5, s.emi), EMI_OK);
    EXPECT_EQ(s.next(), STX + "05/00020/R/52/A///9A" + ETX);
    EXPECT_EQ(emi_ack(0, 1, 5, s.emi), EMI_OK);
    EXPECT_EQ(s.next(), STX + "05/00022/R/01/N/04//07" + ETX);
    EXPECT_EQ(emi_ack(1, 53, 7, s.emi), EMI_OK);
    EXPECT_EQ(s.next(), STX + "07/00020/R/53/A///9D" + ETX);
    EXPECT_EQ(emi_ack(1, 1, 3, s.emi), EMI_OK);
    EXPECT_EQ(s.next(), STX + "03/00019/R/01/A//6B" + ETX);
    EXPECT_EQ(emi_ack(0, -53, 9, s.emi), EMI_OK);
    EXPECT_NE(s.next().find("09/00022/R/53/N/04//"), std::string::npos);

    EXPECT_EQ(emi_ack(1, 51, 5, s.emi), EMI_UNKNOWN_OP);
    EXPECT_EQ(emi_ack(1, 0, 5, s.emi), EMI_UNKNOWN_OP);
    EXPECT_EQ(emitest::drain(s.peer), "") << "an unknown operation sends nothing";
    EXPECT_EQ(emi_ack(1, 52, 5, nullptr), EMI_NULL);
}

// The originator classes and destination forms, as the SMSC sees them.
TEST(Wire, OriginatorAndDestinationRules) {
    struct Case {
        const char* from;
        const char* to;
        const char* adc;
        const char* oadc;
        const char* otoa;
    } cases[] = {
        {"+420777123456", "+420601234567", "00420601234567", "420777123456", "1139"},
        {"0777123456", "00420601234567", "00420601234567", "0777123456", ""},
        {"ABC", "0601234567", "00420601234567", "0641E110", "5039"},
        // "+" with another country code counts as a name.
        {"+4930123", "601234567", "00420601234567", "0E2B5A6E068BC966", "5039"},
        // Empty originator: the login address.
        {"", "123", "00420123", "12345", ""},
        // 11 digits of the national part fill the 16 of the field.
        {"1", "+42012345678901", "0042012345678901", "1", ""},
        // Another country keeps its own code.
        {"1", "+4930123456", "004930123456", "1", ""},
        {"1", "004930123456", "004930123456", "1", ""},
    };
    Session s;
    ASSERT_EQ(s.rc, 0);
    for (const Case& c : cases) {
        // Each result frees id 1 again.
        ASSERT_EQ(emi_submit1(s.emi, c.from, c.to, "t", -1), 1) << c.from;
        std::string f = s.next();
        std::string fields = "/O/51/" + std::string(c.adc) + "/" + c.oadc + "//";
        EXPECT_NE(f.find(fields), std::string::npos) << c.from << " -> " << f;
        EXPECT_NE(f.find("////////" + std::string(c.otoa) + "/////"), std::string::npos) << f;
        s.send(emitest::frame(1, 'R', 51, "A//x:1/"));
        ASSERT_EQ(emi_read(s.emi), 1);
    }
}

TEST(Wire, DestinationForms) {
    char adc[17];
    EXPECT_EQ(emi_destination("+420601234567", adc, sizeof adc), 14);
    EXPECT_STREQ(adc, "00420601234567");
    EXPECT_EQ(emi_destination("0601234567", adc, sizeof adc), 14);
    EXPECT_STREQ(adc, "00420601234567");
    EXPECT_EQ(emi_destination("+447700900123", nullptr, 0), 14);
    EXPECT_EQ(emi_destination("+42012345678901", nullptr, 0), 16);
    for (const char* bad :
         {"+420123456789012", "420777111000", "00420", "+", "+0123", "000123", "", " 1", "1 ", "1/x/y/1/999",
          "12\x02"
          "3",
          "12\x03", "abc", "+4201a"}) {
        EXPECT_EQ(emi_destination(bad, adc, sizeof adc), EMI_BADFIELD) << bad;
    }
    EXPECT_EQ(emi_destination(nullptr, adc, sizeof adc), EMI_BADFIELD);
    EXPECT_EQ(emi_destination("601234567", adc, 14), EMI_BADFIELD);  // no room for 14 digits and the NUL
}

// A value that would end its field or the frame is refused before anything
// is sent or any transaction id is taken; the session goes on.
TEST(Wire, FieldsThatWouldBreakTheFrameAreRefused) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    for (const char* to : {"1/x/y/1/999",
                           "777\x02"
                           "1",
                           "777\x03"
                           "1",
                           "420777111000", "00420420777111000"}) {
        EXPECT_EQ(emi_submit1(s.emi, "1", to, "t", -1), EMI_BADFIELD) << to;
    }
    msg_t* m = emi_msg(s.emi);
    const char* const broken[] = {"06/x", "06\n"};
    for (const char* value : broken) {
        for (int field = 0; field < 4; ++field) {
            *m = msg_t();
            m->uu.submit.from = "0777123456";
            m->uu.submit.to = "601234567";
            m->uu.submit.text = "Hi";
            if (field == 0) m->uu.submit.notif_addr = value;
            if (field == 1) m->uu.submit.validity = value;
            if (field == 2) m->uu.submit.xservices = value;
            if (field == 3) {
                m->uu.submit.bit8 = 1;
                m->uu.submit.text = value;
            }
            EXPECT_EQ(emi_submit2(s.emi), EMI_BADFIELD) << field << " " << value;
        }
    }
    EXPECT_EQ(emitest::drain(s.peer), "");
    EXPECT_EQ(emi_free_trnids(s.emi), 96);
    // Texts are IA5-encoded: any byte is fine there.
    EXPECT_EQ(emi_submit1(s.emi, "1", "601234567", "a/b\x02\x03", -1), 1);
    EXPECT_NE(s.next().find("/00420601234567/1//"), std::string::npos);
    EXPECT_STREQ(emi_strerror(EMI_BADFIELD), "Field value not allowed");
}

// The one function that composes frames refuses what the calls above check
// first, so no caller can send it: nothing goes out and no id is taken.
TEST(Wire, FrameBuilderRefusesWhatWouldBreakTheFrame) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    for (const std::string& value :
         {std::string("a/b"), std::string("a\x03"), std::string("\x7F"), std::string("a\0b", 3), std::string("\n")}) {
        EXPECT_EQ(ucp_send(s.emi, -EMI_DELIVERY_SM, 5, {"A", value}), EMI_BADFIELD);
        EXPECT_EQ(ucp_send_new(s.emi, EMI_ALERT, {value, "0539"}), EMI_BADFIELD);
    }
    EXPECT_EQ(ucp_send_new(s.emi, EMI_SUBMIT_SM, {std::string(VESSA_MAX_DATA, 'x')}), EMI_TOOLONG);
    EXPECT_EQ(ucp_send(s.emi, -EMI_DELIVERY_SM, 100, {"A", "", ""}), EMI_BADFRAME);
    EXPECT_EQ(ucp_send(s.emi, -100, 1, {"A", "", ""}), EMI_BADFRAME);
    EXPECT_EQ(emitest::drain(s.peer), "");
    EXPECT_EQ(emi_free_trnids(s.emi), 96);
    // The largest frame: one field that fills the data with its "/".
    EXPECT_EQ(ucp_send_new(s.emi, EMI_SUBMIT_SM, {std::string(VESSA_MAX_DATA - 1, 'x')}), 1);
    std::string f = s.next();
    EXPECT_EQ(f.size(), 1023u) << "with STX and ETX, the whole frame buffer but its terminator";
    EXPECT_EQ(f.substr(0, 15), STX + "01/01021/O/51/");
}

TEST(Wire, LoginAddressesThatWouldBreakTheFrameAreRefused) {
    EMI emi = nullptr;
    // Refused before connecting: nothing listens on this port.
    EXPECT_EQ(emi_init(&emi, "127.0.0.1", 1, "pw", "123/4", "0123", 1, 1), EMI_BADFIELD);
    EXPECT_EQ(emi_init(&emi, "127.0.0.1", 1, "pw", "1234", "01\x03", 1, 1), EMI_BADFIELD);
    EXPECT_EQ(emi, nullptr);
}

TEST(Wire, NullOriginatorUsesLoginAddress) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(emi_submit1(s.emi, nullptr, "601234567", "t", -1), 1);
    EXPECT_NE(s.next().find("/O/51/00420601234567/12345//"), std::string::npos);
}

TEST(Wire, TextIsCutTo320Characters) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    std::string text(400, 'A');
    text.replace(319, 1, "Z");
    ASSERT_EQ(emi_submit1(s.emi, "1", "2", text.c_str(), -1), 1);
    std::string f = s.next();
    std::string msg(638, '4');
    for (size_t i = 1; i < msg.size(); i += 2) msg[i] = '1';
    msg += "5A";  // character 320
    EXPECT_NE(f.find("/3//" + msg + "////////"), std::string::npos) << f;
}

// Every other frame the library composes, byte for byte: the login with a
// long password and address, alerts to an international and a long
// address, negative acknowledgements of 52 and 53, a submission
// from a name, and one whose fields exceed their widths and are cut.
TEST(Wire, RemainingFramesByteForByte) {
    Options o;
    o.password = "0123456789";
    o.origin = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    o.alert = "+420600111222";
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.login, STX + "00/00067/O/60/ABCDEFGHIJKLMNOP/6/5/1/3031323334353637//0100//////1B" + ETX);
    EXPECT_EQ(emi_alert(s.emi), 1);
    EXPECT_EQ(s.next(), STX + "01/00034/O/31/420600111222/0439/4A" + ETX);
    EXPECT_EQ(emi_ack(0, -53, 9, s.emi), EMI_OK);
    EXPECT_EQ(s.next(), STX + "09/00022/R/53/N/04//12" + ETX);
    EXPECT_EQ(emi_ack(0, 52, 10, s.emi), EMI_OK);
    EXPECT_EQ(s.next(), STX + "10/00022/R/52/N/04//09" + ETX);

    msg_t* m = emi_msg(s.emi);
    *m = msg_t();
    m->uu.submit.from = "Shop";
    m->uu.submit.to = "601234567";
    m->uu.submit.notif_addr = "0600999888";
    m->uu.submit.notif_type = 1;
    m->uu.submit.text = "x";
    EXPECT_EQ(emi_submit2(s.emi), 2);
    EXPECT_EQ(s.next(), STX +
                            "02/00099/O/51/00420601234567/0753F41B0E//1/420600111222/1/0439////////////3//78"
                            "////0////5039/////07" +
                            ETX);

    // Validity, RPID, NB, NT, NAdC and extra services beyond their widths.
    const std::string xser = std::string(399, 'C') + "DE";
    *m = msg_t();
    m->uu.submit.from = "0777123456789012345678901234";
    m->uu.submit.to = "601234567";
    m->uu.submit.notif_addr = "06009998887776665554";
    m->uu.submit.notif_type = 12;
    m->uu.submit.validity = "010112120059";
    m->uu.submit.rpid = 12345;
    m->uu.submit.bit8 = 1;
    m->uu.submit.numbits = -5;
    m->uu.submit.text = "CAFE";
    m->uu.submit.msg_class = -3;  // negative: no message class
    m->uu.submit.priority = 7;
    m->uu.submit.xservices = xser.c_str();
    EXPECT_EQ(emi_submit2(s.emi), 3);
    EXPECT_EQ(s.next(), STX +
                            "03/00534/O/51/00420601234567/077712345678901234567890//1/0600999888777666/1/"
                            "0539//////0101121200/1234/////4/-000/CAFE//1/1///////" +
                            std::string(399, 'C') + "D///EE" + ETX);

    Options nine;
    nine.alert = "123456789";
    Session b(nine);
    ASSERT_EQ(b.rc, 0);
    EXPECT_EQ(emi_alert(b.emi), 1);
    EXPECT_EQ(b.next(), STX + "01/00031/O/31/123456789/0439/CF" + ETX);
    // From a long number, asking for a notification of a two-digit type:
    // one digit of it is sent.
    EXPECT_EQ(emi_submit1(b.emi, "0777123456789012345678901234", "601234567", "t", 12), 2);
    EXPECT_EQ(b.next(), STX +
                            "02/00092/O/51/00420601234567/077712345678901234567890//1//1/////////////3//74"
                            "/////////////94" +
                            ETX);
}

}  // namespace
