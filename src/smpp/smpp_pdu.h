// The SMPP 3.4 PDUs the SMPP sender exchanges with an SMSC: framing of the
// byte stream, packing and unpacking through libsmpp34, and the text of a
// delivery receipt.
//
// libsmpp34 keeps its error state in process globals (smpp34_errno,
// smpp34_strerror) that every pack and unpack writes: two connections
// (transmitter and receiver) working on two threads would race on them. So
// every call into the library is made here, under one process-wide lock;
// the functions below may be called from any thread. They keep no other
// state.
//
// Input from the network is checked here before the library sees it: a
// frame whose command_length is below the header or above maxPduLength is
// refused (the session cannot find the next frame: the connection is given
// up), and the variable fields of the PDUs that carry messages are walked
// first, so that a length the library would copy past its fixed buffers is
// refused instead.
#ifndef KST_SMPP_PDU_H
#define KST_SMPP_PDU_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace smpp {

constexpr uint32_t headerLength = 16;
// Larger frames are taken for a broken stream: no PDU we read comes near.
constexpr uint32_t maxPduLength = 65536;

// Command ids and statuses the sender uses (the protocol's own numbers).
constexpr uint32_t genericNack = 0x80000000;
constexpr uint32_t bindReceiver = 0x00000001;
constexpr uint32_t bindReceiverResp = 0x80000001;
constexpr uint32_t bindTransmitter = 0x00000002;
constexpr uint32_t bindTransmitterResp = 0x80000002;
constexpr uint32_t submitSm = 0x00000004;
constexpr uint32_t submitSmResp = 0x80000004;
constexpr uint32_t deliverSm = 0x00000005;
constexpr uint32_t deliverSmResp = 0x80000005;
constexpr uint32_t unbind = 0x00000006;
constexpr uint32_t unbindResp = 0x80000006;
constexpr uint32_t bindTransceiver = 0x00000009;
constexpr uint32_t bindTransceiverResp = 0x80000009;
constexpr uint32_t enquireLink = 0x00000015;
constexpr uint32_t enquireLinkResp = 0x80000015;

constexpr uint32_t statusOk = 0x00000000;
constexpr uint32_t statusInvalidCommandLength = 0x00000002;
constexpr uint32_t statusInvalidCommandId = 0x00000003;
constexpr uint32_t statusSystemError = 0x00000008;
constexpr uint32_t statusMessageQueueFull = 0x00000014;
constexpr uint32_t statusThrottled = 0x00000058;

// The receipt bits of esm_class (SMSC delivery receipt, or the
// intermediate notification).
constexpr uint8_t esmClassReceiptMask = 0x3c;

struct Header {
    uint32_t length = 0;
    uint32_t commandId = 0;
    uint32_t status = 0;
    uint32_t sequence = 0;
};

enum class FrameState {
    Incomplete,  // fewer bytes than the header or than command_length
    Complete,    // `header` read; the frame is header.length bytes long
    Invalid,     // command_length out of bounds: the stream is lost
};

// Looks at the bytes at the start of a received stream.
FrameState readFrame(const uint8_t* data, size_t size, Header& header);

// What a received PDU brings, for the PDUs the sender reads; the other
// fields stay empty.
struct Pdu {
    Header header;
    // bind_*_resp
    std::string systemId;
    // submit_sm_resp
    std::string messageId;
    // deliver_sm
    std::string sourceAddress;
    std::string destinationAddress;
    uint8_t sourceTon = 0;
    uint8_t sourceNpi = 0;
    uint8_t esmClass = 0;
    uint8_t dataCoding = 0;
    std::string shortMessage;  // the short_message, or the message_payload TLV
    std::string receiptedMessageId;
    int messageState = -1;  // -1: no message_state TLV

    bool isReceipt() const { return (esmClass & esmClassReceiptMask) != 0; }
};

// Unpacks one complete frame (as readFrame() found it). False with `error`
// set when the library refuses it or a field is out of bounds; the header
// is filled in either case when the frame has one, so that the caller can
// answer with a generic_nack for its sequence number.
bool decode(const uint8_t* frame, size_t length, Pdu& pdu, std::string& error);

enum class BindMode { Transceiver, Transmitter, Receiver };

struct BindParameters {
    std::string systemId;    // at most 15 characters
    std::string password;    // at most 8
    std::string systemType;  // at most 12
};

struct SubmitParameters {
    std::string sourceAddress;  // at most 20 characters
    uint8_t sourceTon = 0;
    uint8_t sourceNpi = 0;
    std::string destinationAddress;  // at most 20
    uint8_t destinationTon = 1;
    uint8_t destinationNpi = 1;
    std::string validityPeriod;  // empty, or the 16 characters of the protocol
    bool registeredDelivery = false;
    uint8_t dataCoding = 0;
    // 0x40 (UDHI): the text starts with a user data header.
    uint8_t esmClass = 0;
    // Up to 254 bytes go in short_message; longer ones (up to 1024) in the
    // message_payload TLV.
    std::string text;
};

// The packers return the PDU's bytes, or an empty vector with `error` set
// when a field does not fit.
std::vector<uint8_t> packBind(BindMode mode, uint32_t sequence, const BindParameters& bind, std::string& error);
std::vector<uint8_t> packSubmitSm(uint32_t sequence, const SubmitParameters& submit, std::string& error);
// enquire_link, enquire_link_resp, unbind, unbind_resp: the header only.
std::vector<uint8_t> packHeaderOnly(uint32_t commandId, uint32_t sequence, uint32_t status = statusOk);
std::vector<uint8_t> packDeliverSmResp(uint32_t sequence, uint32_t status);
std::vector<uint8_t> packGenericNack(uint32_t sequence, uint32_t status);

// The library's description of a status ("Throttling error ..."), or
// "status 0x...". Never empty.
std::string statusText(uint32_t status);

// The text of a received message as the executables get it: without its
// user data header (esm_class UDHI), UCS-2 (data_coding 8) as UTF-8, any
// other coding byte for byte but without NUL bytes, which would end it in
// an environment variable.
std::string messageText(const Pdu& pdu);

// The text of a delivery receipt:
// "id:IIII sub:SSS dlvrd:DDD submit date:YYMMDDhhmm done date:YYMMDDhhmm
//  stat:DDDDDDD err:E text:..." (fields may be missing; order is kept).
struct Receipt {
    std::string id;
    std::string submitDate;
    std::string doneDate;
    std::string stat;
    std::string err;
    std::string text;
};
// False when the text has no "id:" and no "stat:".
bool parseReceipt(const std::string& text, Receipt& receipt);

// A receipt's final state ("DELIVRD", ...) or message_state value as the
// delivery notification's status code (0 delivered, 1 buffered, 2 not
// delivered) with its description.
struct ReceiptStatus {
    int code;
    std::string description;
    bool final;
};
ReceiptStatus receiptStatus(const std::string& stat);
// message_state TLV values (1 enroute ... 8 rejected).
std::string messageStateName(int state);

}  // namespace smpp

#endif
