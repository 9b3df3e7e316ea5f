// The SMPP PDU codec: framing of a byte stream, the checks before the
// library, pack/unpack round trips and the receipt text.
#include "smpp_pdu.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// A PDU written byte by byte, as an SMSC would send it.
class Bytes {
public:
    Bytes& u8(uint8_t value) {
        m_bytes.push_back(value);
        return *this;
    }
    Bytes& u16(uint16_t value) { return u8(static_cast<uint8_t>(value >> 8)).u8(static_cast<uint8_t>(value)); }
    Bytes& u32(uint32_t value) { return u16(static_cast<uint16_t>(value >> 16)).u16(static_cast<uint16_t>(value)); }
    Bytes& cstr(const std::string& text) {
        for (char c : text) u8(static_cast<uint8_t>(c));
        return u8(0);
    }
    Bytes& raw(const std::string& text) {
        for (char c : text) u8(static_cast<uint8_t>(c));
        return *this;
    }
    // With the header in front and command_length set.
    std::vector<uint8_t> pdu(uint32_t commandId, uint32_t sequence, uint32_t status = 0) const {
        Bytes whole;
        whole.u32(static_cast<uint32_t>(m_bytes.size() + 16)).u32(commandId).u32(status).u32(sequence);
        whole.m_bytes.insert(whole.m_bytes.end(), m_bytes.begin(), m_bytes.end());
        return whole.m_bytes;
    }

private:
    std::vector<uint8_t> m_bytes;
};

// A deliver_sm with a receipt text and, optionally, TLVs after it.
Bytes deliverBody(const std::string& text, uint8_t esmClass, uint8_t smLength) {
    Bytes body;
    body.cstr("").u8(1).u8(1).cstr("420777123456").u8(1).u8(1).cstr("SENDER");
    body.u8(esmClass).u8(0).u8(0).cstr("").cstr("").u8(0).u8(0).u8(0).u8(0).u8(smLength).raw(text);
    return body;
}

smpp::Pdu decoded(const std::vector<uint8_t>& bytes) {
    smpp::Pdu pdu;
    std::string error;
    EXPECT_TRUE(smpp::decode(bytes.data(), bytes.size(), pdu, error)) << error;
    return pdu;
}

TEST(SmppFraming, LengthsOutsideTheirBoundsLoseTheStream) {
    smpp::Header header;
    const std::vector<uint8_t> shortLength = Bytes().u32(15).u32(smpp::enquireLink).u32(0).u32(1).pdu(0, 0);
    EXPECT_EQ(smpp::FrameState::Invalid, smpp::readFrame(shortLength.data() + 16, 16, header));
    const std::vector<uint8_t> huge = Bytes().u32(smpp::maxPduLength + 1).u32(4).pdu(0, 0);
    EXPECT_EQ(smpp::FrameState::Invalid, smpp::readFrame(huge.data() + 16, 8, header));
    const std::vector<uint8_t> link = smpp::packHeaderOnly(smpp::enquireLink, 7);
    ASSERT_EQ(16u, link.size());
    EXPECT_EQ(smpp::FrameState::Incomplete, smpp::readFrame(link.data(), 3, header));
    EXPECT_EQ(smpp::FrameState::Incomplete, smpp::readFrame(link.data(), 15, header));
    ASSERT_EQ(smpp::FrameState::Complete, smpp::readFrame(link.data(), 16, header));
    EXPECT_EQ(16u, header.length);
    EXPECT_EQ(smpp::enquireLink, header.commandId);
    EXPECT_EQ(7u, header.sequence);
    // A frame followed by the start of the next one.
    std::vector<uint8_t> two = link;
    two.insert(two.end(), link.begin(), link.begin() + 5);
    ASSERT_EQ(smpp::FrameState::Complete, smpp::readFrame(two.data(), two.size(), header));
    EXPECT_EQ(smpp::FrameState::Incomplete, smpp::readFrame(two.data() + 16, 5, header));
}

TEST(SmppPack, BindCarriesTheCredentialsAndRefusesLongOnes) {
    std::string error;
    const std::vector<uint8_t> bind =
        smpp::packBind(smpp::BindMode::Transceiver, 1, {"kestrova", "secret", "kst"}, error);
    ASSERT_FALSE(bind.empty()) << error;
    smpp::Header header;
    ASSERT_EQ(smpp::FrameState::Complete, smpp::readFrame(bind.data(), bind.size(), header));
    EXPECT_EQ(smpp::bindTransceiver, header.commandId);
    EXPECT_EQ(bind.size(), header.length);
    const std::string body(bind.begin() + 16, bind.end());
    EXPECT_EQ(std::string("kestrova\0secret\0kst\0\x34\0\0\0", 24), body);
    const std::vector<uint8_t> receiver = smpp::packBind(smpp::BindMode::Receiver, 2, {"a", "b", ""}, error);
    ASSERT_EQ(smpp::FrameState::Complete, smpp::readFrame(receiver.data(), receiver.size(), header));
    EXPECT_EQ(smpp::bindReceiver, header.commandId);
    EXPECT_TRUE(smpp::packBind(smpp::BindMode::Transmitter, 3, {"a", "password9", ""}, error).empty());
    EXPECT_NE(std::string::npos, error.find("Password"));
}

TEST(SmppPack, SubmitSmCarriesEveryField) {
    smpp::SubmitParameters submit;
    submit.sourceAddress = "Kestrova";
    submit.sourceTon = 5;
    submit.sourceNpi = 0;
    submit.destinationAddress = "420777123456";
    submit.destinationTon = 1;
    submit.destinationNpi = 1;
    submit.registeredDelivery = true;
    submit.dataCoding = 1;
    submit.validityPeriod = "000001000000000R";
    submit.text = "Hello";
    std::string error;
    const std::vector<uint8_t> bytes = smpp::packSubmitSm(42, submit, error);
    ASSERT_FALSE(bytes.empty()) << error;
    const std::vector<uint8_t> expected = Bytes()
                                              .cstr("")
                                              .u8(5)
                                              .u8(0)
                                              .cstr("Kestrova")
                                              .u8(1)
                                              .u8(1)
                                              .cstr("420777123456")
                                              .u8(0)
                                              .u8(0)
                                              .u8(0)
                                              .cstr("")
                                              .cstr("000001000000000R")
                                              .u8(1)
                                              .u8(0)
                                              .u8(1)
                                              .u8(0)
                                              .u8(5)
                                              .raw("Hello")
                                              .pdu(smpp::submitSm, 42);
    EXPECT_EQ(expected, bytes);

    // Longer than short_message holds: the message_payload TLV.
    submit.text = std::string(300, 'x');
    submit.registeredDelivery = false;
    const std::vector<uint8_t> longer = smpp::packSubmitSm(43, submit, error);
    ASSERT_FALSE(longer.empty()) << error;
    ASSERT_GT(longer.size(), 300u + 4);
    const size_t tlv = longer.size() - 300 - 4;
    EXPECT_EQ(0x04, longer[tlv]);
    EXPECT_EQ(0x24, longer[tlv + 1]);
    EXPECT_EQ(300, longer[tlv + 2] * 256 + longer[tlv + 3]);
    EXPECT_EQ(0, longer[tlv - 1]);  // sm_length

    submit.text = std::string(1025, 'x');
    EXPECT_TRUE(smpp::packSubmitSm(44, submit, error).empty());
    submit.text = "x";
    submit.destinationAddress = std::string(21, '1');
    EXPECT_TRUE(smpp::packSubmitSm(45, submit, error).empty());
}

TEST(SmppPack, HeaderOnlyPdusAndResponses) {
    const std::vector<uint8_t> nack = smpp::packGenericNack(9, smpp::statusInvalidCommandId);
    EXPECT_EQ(Bytes().pdu(smpp::genericNack, 9, smpp::statusInvalidCommandId), nack);
    const std::vector<uint8_t> resp = smpp::packDeliverSmResp(10, 0);
    EXPECT_EQ(Bytes().u8(0).pdu(smpp::deliverSmResp, 10), resp);
    EXPECT_EQ(Bytes().pdu(smpp::unbind, 11), smpp::packHeaderOnly(smpp::unbind, 11));
    EXPECT_EQ(Bytes().pdu(smpp::enquireLinkResp, 12), smpp::packHeaderOnly(smpp::enquireLinkResp, 12));
}

TEST(SmppDecode, ResponsesBringTheirIdsAndStatuses) {
    smpp::Pdu pdu = decoded(Bytes().cstr("SMSC").pdu(smpp::bindTransceiverResp, 1));
    EXPECT_EQ("SMSC", pdu.systemId);
    pdu = decoded(Bytes().pdu(smpp::bindTransmitterResp, 1, 0x0e));
    EXPECT_EQ(0x0eu, pdu.header.status);
    pdu = decoded(Bytes().cstr("5f3a-0001").pdu(smpp::submitSmResp, 77));
    EXPECT_EQ("5f3a-0001", pdu.messageId);
    EXPECT_EQ(77u, pdu.header.sequence);
    pdu = decoded(Bytes().pdu(smpp::submitSmResp, 78, smpp::statusThrottled));
    EXPECT_EQ(smpp::statusThrottled, pdu.header.status);
    EXPECT_NE(std::string::npos, smpp::statusText(smpp::statusThrottled).find("ESME_RTHROTTLED"));
    EXPECT_NE(std::string::npos, smpp::statusText(0x4242).find("0x00004242"));
}

TEST(SmppDecode, DeliverSmWithReceiptAndTlvs) {
    const std::string text =
        "id:ab12 sub:001 dlvrd:001 submit date:2612081230 done date:2612081231 stat:DELIVRD err:000 text:Hi there";
    Bytes body = deliverBody(text, 0x04, static_cast<uint8_t>(text.size()));
    body.u16(0x001e).u16(5).cstr("ab12").u16(0x0427).u16(1).u8(2);
    const smpp::Pdu pdu = decoded(body.pdu(smpp::deliverSm, 5));
    EXPECT_TRUE(pdu.isReceipt());
    EXPECT_EQ("420777123456", pdu.sourceAddress);
    EXPECT_EQ("SENDER", pdu.destinationAddress);
    EXPECT_EQ(text, pdu.shortMessage);
    EXPECT_EQ("ab12", pdu.receiptedMessageId);
    EXPECT_EQ(2, pdu.messageState);
    EXPECT_EQ("DELIVRD", smpp::messageStateName(pdu.messageState));

    const smpp::Pdu plain = decoded(deliverBody("Hello", 0, 5).pdu(smpp::deliverSm, 6));
    EXPECT_FALSE(plain.isReceipt());
    EXPECT_EQ("Hello", plain.shortMessage);
    EXPECT_EQ(-1, plain.messageState);
}

TEST(SmppDecode, HostileLengthsAreRefusedBeforeTheLibrary) {
    std::string error;
    smpp::Pdu pdu;
    // sm_length beyond the library's 254-byte buffer.
    std::vector<uint8_t> bytes = deliverBody(std::string(255, 'x'), 0, 255).pdu(smpp::deliverSm, 1);
    EXPECT_FALSE(smpp::decode(bytes.data(), bytes.size(), pdu, error));
    EXPECT_NE(std::string::npos, error.find("sm_length"));
    EXPECT_EQ(1u, pdu.header.sequence);
    // sm_length past the end of the PDU.
    bytes = deliverBody("abc", 0, 20).pdu(smpp::deliverSm, 2);
    EXPECT_FALSE(smpp::decode(bytes.data(), bytes.size(), pdu, error));
    // An address without its end.
    bytes = Bytes().cstr("").u8(1).u8(1).raw(std::string(40, '1')).pdu(smpp::deliverSm, 3);
    EXPECT_FALSE(smpp::decode(bytes.data(), bytes.size(), pdu, error));
    // A receipted_message_id longer than its buffer, a TLV past the end.
    Bytes tlvBody = deliverBody("", 4, 0);
    tlvBody.u16(0x001e).u16(100).raw(std::string(100, 'i'));
    bytes = tlvBody.pdu(smpp::deliverSm, 4);
    EXPECT_FALSE(smpp::decode(bytes.data(), bytes.size(), pdu, error));
    Bytes truncated = deliverBody("", 4, 0);
    truncated.u16(0x0424).u16(50).raw("short");
    bytes = truncated.pdu(smpp::deliverSm, 5);
    EXPECT_FALSE(smpp::decode(bytes.data(), bytes.size(), pdu, error));
    // A message_state whose length is not one byte.
    Bytes state = deliverBody("", 4, 0);
    state.u16(0x0427).u16(0);
    bytes = state.pdu(smpp::deliverSm, 6);
    EXPECT_FALSE(smpp::decode(bytes.data(), bytes.size(), pdu, error));
    // A message id without its end.
    bytes = Bytes().raw(std::string(70, 'm')).pdu(smpp::submitSmResp, 7);
    EXPECT_FALSE(smpp::decode(bytes.data(), bytes.size(), pdu, error));
}

TEST(SmppReceipt, FieldsStatesAndCase) {
    smpp::Receipt receipt;
    ASSERT_TRUE(smpp::parseReceipt(
        "id:0123456789 sub:001 dlvrd:000 submit date:2612081230 done date:2612081330 stat:UNDELIV err:012 "
        "text:First words",
        receipt));
    EXPECT_EQ("0123456789", receipt.id);
    EXPECT_EQ("2612081230", receipt.submitDate);
    EXPECT_EQ("2612081330", receipt.doneDate);
    EXPECT_EQ("UNDELIV", receipt.stat);
    EXPECT_EQ("012", receipt.err);
    EXPECT_EQ("First words", receipt.text);
    ASSERT_TRUE(smpp::parseReceipt("ID:77 STAT:EXPIRED", receipt));
    EXPECT_EQ("77", receipt.id);
    EXPECT_EQ("EXPIRED", receipt.stat);
    EXPECT_FALSE(smpp::parseReceipt("Hello, an ordinary message", receipt));
    // "id:" inside another word is not the key.
    ASSERT_TRUE(smpp::parseReceipt("xid:1 id:2 stat:DELIVRD", receipt));
    EXPECT_EQ("2", receipt.id);

    EXPECT_EQ(0, smpp::receiptStatus("DELIVRD").code);
    EXPECT_TRUE(smpp::receiptStatus("DELIVRD").final);
    EXPECT_EQ(1, smpp::receiptStatus("ENROUTE").code);
    EXPECT_FALSE(smpp::receiptStatus("ENROUTE").final);
    for (const char* failed : {"UNDELIV", "EXPIRED", "REJECTD", "DELETED", "UNKNOWN"}) {
        EXPECT_EQ(2, smpp::receiptStatus(failed).code) << failed;
        EXPECT_NE(std::string::npos, smpp::receiptStatus(failed).description.find(failed));
    }
}

TEST(SmppText, UdhUcs2AndNulBytes) {
    smpp::Pdu pdu;
    pdu.shortMessage = std::string("\x01\x0d\x00\x61\xd8\x3d\xde\x00\x00\x00", 10);
    pdu.dataCoding = 8;
    EXPECT_EQ(
        "\xc4\x8d"
        "a\xf0\x9f\x98\x80",
        smpp::messageText(pdu));
    pdu.shortMessage = std::string("\x05\x00\x03\x2a\x02\x01part", 10);
    pdu.esmClass = 0x40;
    pdu.dataCoding = 0;
    EXPECT_EQ("part", smpp::messageText(pdu));
    pdu.shortMessage = std::string("a\0b", 3);
    pdu.esmClass = 0;
    EXPECT_EQ("ab", smpp::messageText(pdu));
    // A header longer than the message leaves nothing.
    pdu.shortMessage = std::string("\x09") + "ab";
    pdu.esmClass = 0x40;
    EXPECT_EQ("", smpp::messageText(pdu));
}

// Packing and unpacking on two threads at once, as the transmitter and the
// receiver connection do: each result stays its own.
TEST(SmppCodec, TwoThreadsAtOnce) {
    auto work = [](uint32_t base, int& failures) {
        for (uint32_t i = 1; i <= 2000; ++i) {
            smpp::SubmitParameters submit;
            submit.destinationAddress = std::to_string(base + i);
            submit.text = "t";
            std::string error;
            if (smpp::packSubmitSm(base + i, submit, error).empty()) ++failures;
            const std::vector<uint8_t> bad = deliverBody("x", 0, 200).pdu(smpp::deliverSm, i);
            smpp::Pdu pdu;
            if (smpp::decode(bad.data(), bad.size(), pdu, error)) ++failures;
            const std::vector<uint8_t> resp = Bytes().cstr(std::to_string(i)).pdu(smpp::submitSmResp, i);
            if (!smpp::decode(resp.data(), resp.size(), pdu, error) || pdu.messageId != std::to_string(i)) ++failures;
        }
    };
    int first = 0;
    int second = 0;
    std::thread one(work, 1000000, std::ref(first));
    std::thread two(work, 2000000, std::ref(second));
    one.join();
    two.join();
    EXPECT_EQ(0, first);
    EXPECT_EQ(0, second);
}

}  // namespace
