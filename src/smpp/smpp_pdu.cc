#include "smpp_pdu.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "qpthr.h"
#include "utf8.h"

extern "C" {
#include <smpp34.h>
#include <smpp34_structs.h>
#include <smpp34_params.h>
}

namespace smpp {

namespace {

// The one lock of every libsmpp34 call (its error state is global).
qpthr::QpMutex& libraryMutex() {
    static qpthr::QpMutex mutex("libsmpp34");
    return mutex;
}

// The library's error text after a failed call; under the lock.
std::string libraryError(qpthr::QpMutex& mutex) REQUIRES(mutex) {
    static_cast<void>(mutex);
    std::string text(smpp34_strerror, strnlen(smpp34_strerror, sizeof smpp34_strerror));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // The text lists every field read; the last one is the one refused.
    const size_t last = text.rfind('[');
    if (last != std::string::npos) text.erase(0, last);
    return text.empty() ? "libsmpp34 error " + std::to_string(smpp34_errno) : text;
}

uint32_t bigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint16_t bigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// What the library's tables expect of a TLV's value: an exact size for its
// numbers, a maximum for its octet strings.
struct TlvShape {
    uint16_t exact;  // 0: any length up to `maximum`
    uint16_t maximum;
};

TlvShape tlvShape(uint16_t tag) {
    static const std::map<uint16_t, TlvShape> shapes = {
        {TLVID_dest_addr_subunit, {1, 1}},
        {TLVID_dest_network_type, {1, 1}},
        {TLVID_dest_bearer_type, {1, 1}},
        {TLVID_dest_telematics_id, {2, 2}},
        {TLVID_source_addr_subunit, {1, 1}},
        {TLVID_source_network_type, {1, 1}},
        {TLVID_source_bearer_type, {1, 1}},
        {TLVID_source_telematics_id, {1, 1}},
        {TLVID_qos_time_to_live, {4, 4}},
        {TLVID_payload_type, {1, 1}},
        {TLVID_additional_status_info_text, {0, 256}},
        {TLVID_receipted_message_id, {0, 65}},
        {TLVID_ms_msg_wait_facilities, {1, 1}},
        {TLVID_privacy_indicator, {1, 1}},
        {TLVID_source_subaddress, {0, 23}},
        {TLVID_dest_subaddress, {0, 23}},
        {TLVID_user_message_reference, {2, 2}},
        {TLVID_user_response_code, {1, 1}},
        {TLVID_source_port, {2, 2}},
        {TLVID_destination_port, {2, 2}},
        {TLVID_sar_msg_ref_num, {2, 2}},
        {TLVID_language_indicator, {1, 1}},
        {TLVID_sar_total_segments, {1, 1}},
        {TLVID_sar_segment_seqnum, {1, 1}},
        {TLVID_sc_interface_version, {1, 1}},
        {TLVID_callback_num_pres_ind, {1, 1}},
        {TLVID_callback_num_atag, {0, 65}},
        {TLVID_number_of_messages, {1, 1}},
        {TLVID_callback_num, {0, 19}},
        {TLVID_dpf_result, {1, 1}},
        {TLVID_set_dpf, {1, 1}},
        {TLVID_ms_availability_status, {1, 1}},
        {TLVID_network_error_code, {3, 3}},
        {TLVID_message_payload, {0, MAX_TLV_SIZE}},
        {TLVID_delivery_failure_reason, {1, 1}},
        {TLVID_more_messages_to_send, {1, 1}},
        {TLVID_message_state, {1, 1}},
        // The library reads one byte whatever the length says.
        {TLVID_ussd_service_op, {1, 1}},
        {TLVID_display_time, {1, 1}},
        {TLVID_sms_signal, {2, 2}},
        {TLVID_ms_validity, {1, 1}},
        // Its table has room for nothing.
        {TLVID_alert_on_message_delivery, {0, 0}},
        {TLVID_its_reply_type, {1, 1}},
        {TLVID_its_session_info, {2, 2}},
    };
    const auto found = shapes.find(tag);
    return found != shapes.end() ? found->second : TlvShape{0, MAX_TLV_SIZE};
}

// Walks the body of a received PDU as the library will, refusing what
// would take it past its buffers or past the frame.
class BodyCheck {
public:
    BodyCheck(const uint8_t* frame, size_t length) : m_data(frame), m_end(length), m_at(headerLength) {}

    // A C-octet string of at most `capacity` bytes with its NUL.
    bool cString(size_t capacity, const char* field, std::string& error) {
        const size_t left = m_end - m_at;
        const size_t span = std::min(left, capacity);
        const void* nul = memchr(m_data + m_at, '\0', span);
        if (nul == nullptr) {
            error = std::string(field) + " longer than " + std::to_string(capacity - 1) + " characters or unterminated";
            return false;
        }
        m_at += static_cast<const uint8_t*>(nul) - (m_data + m_at) + 1;
        return true;
    }
    bool octets(size_t count, const char* field, std::string& error) {
        if (m_end - m_at < count) {
            error = std::string(field) + " past the end of the PDU";
            return false;
        }
        m_at += count;
        return true;
    }
    uint8_t peek() const { return m_at < m_end ? m_data[m_at] : 0; }
    bool tlvs(std::string& error) {
        while (m_at < m_end) {
            if (m_end - m_at < 4) {
                error = "truncated optional parameter";
                return false;
            }
            const uint16_t tag = bigEndian16(m_data + m_at);
            const uint16_t length = bigEndian16(m_data + m_at + 2);
            const TlvShape shape = tlvShape(tag);
            char tagText[8];
            snprintf(tagText, sizeof tagText, "0x%04x", tag);
            if ((shape.exact != 0 && length != shape.exact) || length > shape.maximum) {
                error = std::string("optional parameter ") + tagText + " with invalid length " + std::to_string(length);
                return false;
            }
            m_at += 4;
            if (!octets(length, "optional parameter", error)) return false;
        }
        return true;
    }

private:
    const uint8_t* m_data;
    size_t m_end;
    size_t m_at;
};

bool checkBody(uint32_t commandId, const uint8_t* frame, size_t length, std::string& error) {
    BodyCheck body(frame, length);
    switch (commandId) {
        case bindTransceiverResp:
        case bindTransmitterResp:
        case bindReceiverResp:
            // An error response may come without a body.
            if (length == headerLength) return true;
            return body.cString(16, "system_id", error) && body.tlvs(error);
        case submitSmResp:
            if (length == headerLength) return true;
            return body.cString(65, "message_id", error);
        case deliverSm: {
            if (!body.cString(6, "service_type", error) || !body.octets(2, "source_addr_ton/npi", error) ||
                !body.cString(21, "source_addr", error) || !body.octets(2, "dest_addr_ton/npi", error) ||
                !body.cString(21, "destination_addr", error) || !body.octets(3, "esm_class", error) ||
                !body.cString(1, "schedule_delivery_time", error) || !body.cString(1, "validity_period", error) ||
                !body.octets(4, "registered_delivery", error)) {
                return false;
            }
            const uint8_t smLength = body.peek();
            if (smLength > SHORT_MESSAGE_LENGTH - 1) {
                error = "sm_length " + std::to_string(smLength) + " above 254";
                return false;
            }
            return body.octets(1, "sm_length", error) && body.octets(smLength, "short_message", error) &&
                   body.tlvs(error);
        }
        default:
            // Header-only PDUs, and the PDUs the sender does not read.
            return true;
    }
}

std::string upperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string cText(const uint8_t* field, size_t capacity) {
    return std::string(reinterpret_cast<const char*>(field), strnlen(reinterpret_cast<const char*>(field), capacity));
}

// Copies `value` into a C-octet field of `capacity` bytes (NUL included).
bool putText(uint8_t* field, size_t capacity, const std::string& value, const char* name, std::string& error) {
    if (value.size() >= capacity || value.find('\0') != std::string::npos) {
        error = std::string(name) + " longer than " + std::to_string(capacity - 1) + " characters";
        return false;
    }
    memcpy(field, value.c_str(), value.size() + 1);
    return true;
}

template <class Body>
bool unpackBody(qpthr::QpMutex& mutex, uint32_t commandId, Body& body, const uint8_t* frame, size_t length,
                std::string& error) REQUIRES(mutex) {
    memset(&body, 0, sizeof body);
    if (smpp34_unpack(commandId, &body, frame, static_cast<int>(length)) != 0) {
        error = libraryError(mutex);
        return false;
    }
    return true;
}

template <class Body>
std::vector<uint8_t> pack(uint32_t commandId, Body& body, std::string& error) {
    // Room for the largest PDU packed here: a submit_sm with its fields
    // full and a message_payload of MAX_TLV_SIZE bytes.
    std::vector<uint8_t> bytes(4096);
    int length = 0;
    qpthr::QpMutex& mutex = libraryMutex();
    qpthr::QpLock lock(mutex);
    if (smpp34_pack(commandId, bytes.data(), static_cast<int>(bytes.size()), &length, &body) != 0) {
        error = libraryError(mutex);
        return {};
    }
    bytes.resize(static_cast<size_t>(length));
    return bytes;
}

}  // namespace

FrameState readFrame(const uint8_t* data, size_t size, Header& header) {
    if (size < 4) return FrameState::Incomplete;
    header.length = bigEndian32(data);
    if (header.length < headerLength || header.length > maxPduLength) return FrameState::Invalid;
    if (size < headerLength) return FrameState::Incomplete;
    header.commandId = bigEndian32(data + 4);
    header.status = bigEndian32(data + 8);
    header.sequence = bigEndian32(data + 12);
    return size < header.length ? FrameState::Incomplete : FrameState::Complete;
}

bool decode(const uint8_t* frame, size_t length, Pdu& pdu, std::string& error) {
    pdu = Pdu();
    if (readFrame(frame, length, pdu.header) != FrameState::Complete || pdu.header.length != length) {
        error = "incomplete or oversized PDU";
        return false;
    }
    if (!checkBody(pdu.header.commandId, frame, length, error)) return false;
    // An error response carries no body the library could read.
    const bool response = (pdu.header.commandId & 0x80000000u) != 0;
    if (response && length == headerLength) return true;

    qpthr::QpMutex& mutex = libraryMutex();
    qpthr::QpLock lock(mutex);
    auto unpack = [&](auto& body)
                      REQUIRES(mutex) { return unpackBody(mutex, pdu.header.commandId, body, frame, length, error); };
    switch (pdu.header.commandId) {
        case bindTransceiverResp: {
            bind_transceiver_resp_t body;
            if (!unpack(body)) return false;
            destroy_tlv(body.tlv);
            pdu.systemId = cText(body.system_id, sizeof body.system_id);
            return true;
        }
        case bindTransmitterResp: {
            bind_transmitter_resp_t body;
            if (!unpack(body)) return false;
            destroy_tlv(body.tlv);
            pdu.systemId = cText(body.system_id, sizeof body.system_id);
            return true;
        }
        case bindReceiverResp: {
            bind_receiver_resp_t body;
            if (!unpack(body)) return false;
            destroy_tlv(body.tlv);
            pdu.systemId = cText(body.system_id, sizeof body.system_id);
            return true;
        }
        case submitSmResp: {
            submit_sm_resp_t body;
            if (!unpack(body)) return false;
            pdu.messageId = cText(body.message_id, sizeof body.message_id);
            return true;
        }
        case deliverSm: {
            deliver_sm_t body;
            if (!unpack(body)) return false;
            pdu.sourceAddress = cText(body.source_addr, sizeof body.source_addr);
            pdu.destinationAddress = cText(body.destination_addr, sizeof body.destination_addr);
            pdu.sourceTon = body.source_addr_ton;
            pdu.sourceNpi = body.source_addr_npi;
            pdu.esmClass = body.esm_class;
            pdu.dataCoding = body.data_coding;
            pdu.shortMessage.assign(reinterpret_cast<const char*>(body.short_message),
                                    std::min<size_t>(body.sm_length, sizeof body.short_message));
            for (const tlv_t* tlv = body.tlv; tlv != nullptr; tlv = tlv->next) {
                const size_t size = std::min<size_t>(tlv->length, sizeof tlv->value.octet);
                if (tlv->tag == TLVID_receipted_message_id) {
                    pdu.receiptedMessageId = cText(tlv->value.octet, size);
                } else if (tlv->tag == TLVID_message_state) {
                    pdu.messageState = tlv->value.val08;
                } else if (tlv->tag == TLVID_message_payload && pdu.shortMessage.empty()) {
                    pdu.shortMessage.assign(reinterpret_cast<const char*>(tlv->value.octet), size);
                }
            }
            destroy_tlv(body.tlv);
            return true;
        }
        default:
            // Header-only PDUs: the header says all.
            return true;
    }
}

std::vector<uint8_t> packBind(BindMode mode, uint32_t sequence, const BindParameters& bind, std::string& error) {
    // The three bind PDUs have one layout.
    static_assert(sizeof(bind_transceiver_t) == sizeof(bind_transmitter_t), "bind layouts differ");
    bind_transceiver_t body;
    memset(&body, 0, sizeof body);
    body.command_id = mode == BindMode::Transceiver   ? bindTransceiver
                      : mode == BindMode::Transmitter ? bindTransmitter
                                                      : bindReceiver;
    body.sequence_number = sequence;
    body.interface_version = SMPP_VERSION;
    if (!putText(body.system_id, sizeof body.system_id, bind.systemId, "SystemId", error) ||
        !putText(body.password, sizeof body.password, bind.password, "Password", error) ||
        !putText(body.system_type, sizeof body.system_type, bind.systemType, "SystemType", error)) {
        return {};
    }
    if (mode == BindMode::Transceiver) return pack(body.command_id, body, error);
    if (mode == BindMode::Transmitter) {
        bind_transmitter_t transmitter;
        memcpy(&transmitter, &body, sizeof transmitter);
        return pack(body.command_id, transmitter, error);
    }
    bind_receiver_t receiver;
    memcpy(&receiver, &body, sizeof receiver);
    return pack(body.command_id, receiver, error);
}

std::vector<uint8_t> packSubmitSm(uint32_t sequence, const SubmitParameters& submit, std::string& error) {
    submit_sm_t body;
    memset(&body, 0, sizeof body);
    body.command_id = submitSm;
    body.sequence_number = sequence;
    body.source_addr_ton = submit.sourceTon;
    body.source_addr_npi = submit.sourceNpi;
    body.dest_addr_ton = submit.destinationTon;
    body.dest_addr_npi = submit.destinationNpi;
    body.registered_delivery = submit.registeredDelivery ? 1 : 0;
    body.data_coding = submit.dataCoding;
    body.esm_class = submit.esmClass;
    if (!putText(body.source_addr, sizeof body.source_addr, submit.sourceAddress, "source address", error) ||
        !putText(body.destination_addr, sizeof body.destination_addr, submit.destinationAddress, "destination address",
                 error) ||
        !putText(body.validity_period, sizeof body.validity_period, submit.validityPeriod, "validity period", error)) {
        return {};
    }
    tlv_t payload;
    memset(&payload, 0, sizeof payload);
    if (submit.text.size() <= sizeof body.short_message) {
        body.sm_length = static_cast<uint8_t>(submit.text.size());
        memcpy(body.short_message, submit.text.data(), submit.text.size());
    } else if (submit.text.size() <= sizeof payload.value.octet) {
        payload.tag = TLVID_message_payload;
        payload.length = static_cast<uint16_t>(submit.text.size());
        memcpy(payload.value.octet, submit.text.data(), submit.text.size());
        body.tlv = &payload;
    } else {
        error = "message text longer than " + std::to_string(sizeof payload.value.octet) + " bytes";
        return {};
    }
    return pack(submitSm, body, error);
}

std::vector<uint8_t> packHeaderOnly(uint32_t commandId, uint32_t sequence, uint32_t status) {
    // enquire_link_t has the header's layout, as have the other three.
    enquire_link_t body;
    memset(&body, 0, sizeof body);
    body.command_id = commandId;
    body.command_status = status;
    body.sequence_number = sequence;
    std::string error;
    return pack(commandId, body, error);
}

std::vector<uint8_t> packDeliverSmResp(uint32_t sequence, uint32_t status) {
    deliver_sm_resp_t body;
    memset(&body, 0, sizeof body);
    body.command_id = deliverSmResp;
    body.command_status = status;
    body.sequence_number = sequence;
    std::string error;
    return pack(deliverSmResp, body, error);
}

std::vector<uint8_t> packGenericNack(uint32_t sequence, uint32_t status) {
    return packHeaderOnly(genericNack, sequence, status);
}

std::string statusText(uint32_t status) {
    static const std::map<uint32_t, const char*> names = {
        {ESME_ROK, "ESME_ROK (no error)"},
        {ESME_RINVMSGLEN, "ESME_RINVMSGLEN (message length is invalid)"},
        {ESME_RINVCMDLEN, "ESME_RINVCMDLEN (command length is invalid)"},
        {ESME_RINVCMDID, "ESME_RINVCMDID (invalid command id)"},
        {ESME_RINVBNDSTS, "ESME_RINVBNDSTS (incorrect bind status for the command)"},
        {ESME_RALYBND, "ESME_RALYBND (already bound)"},
        {ESME_RSYSERR, "ESME_RSYSERR (system error)"},
        {ESME_RINVSRCADR, "ESME_RINVSRCADR (invalid source address)"},
        {ESME_RINVDSTADR, "ESME_RINVDSTADR (invalid destination address)"},
        {ESME_RINVMSGID, "ESME_RINVMSGID (message id is invalid)"},
        {ESME_RBINDFAIL, "ESME_RBINDFAIL (bind failed)"},
        {ESME_RINVPASWD, "ESME_RINVPASWD (invalid password)"},
        {ESME_RINVSYSID, "ESME_RINVSYSID (invalid system id)"},
        {ESME_RMSGQFUL, "ESME_RMSGQFUL (message queue full)"},
        {ESME_RINVESMCLASS, "ESME_RINVESMCLASS (invalid esm_class)"},
        {ESME_RSUBMITFAIL, "ESME_RSUBMITFAIL (submit_sm failed)"},
        {ESME_RINVSRCTON, "ESME_RINVSRCTON (invalid source address TON)"},
        {ESME_RINVSRCNPI, "ESME_RINVSRCNPI (invalid source address NPI)"},
        {ESME_RINVDSTTON, "ESME_RINVDSTTON (invalid destination address TON)"},
        {ESME_RINVDSTNPI, "ESME_RINVDSTNPI (invalid destination address NPI)"},
        {ESME_RINVSYSTYP, "ESME_RINVSYSTYP (invalid system_type)"},
        {ESME_RTHROTTLED, "ESME_RTHROTTLED (throttling error)"},
        {ESME_RINVEXPIRY, "ESME_RINVEXPIRY (invalid validity period)"},
        {ESME_RX_T_APPN, "ESME_RX_T_APPN (temporary application error)"},
        {ESME_RX_P_APPN, "ESME_RX_P_APPN (permanent application error)"},
        {ESME_RX_R_APPN, "ESME_RX_R_APPN (message rejected)"},
        {ESME_RUNKNOWNERR, "ESME_RUNKNOWNERR (unknown error)"},
    };
    const auto found = names.find(status);
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08x", status);
    return found != names.end() ? std::string(found->second) + " " + hex : std::string("status ") + hex;
}

std::string messageText(const Pdu& pdu) {
    std::string body = pdu.shortMessage;
    if ((pdu.esmClass & 0x40) != 0 && !body.empty()) {
        const size_t header = 1 + static_cast<uint8_t>(body[0]);
        body.erase(0, std::min(header, body.size()));
    }
    std::string text;
    if (pdu.dataCoding == 8) {
        std::u32string codePoints;
        smstext::utf16beDecode(body, codePoints);  // U+FFFD for what is broken
        codePoints.erase(std::remove(codePoints.begin(), codePoints.end(), U'\0'), codePoints.end());
        return smstext::codePointsToUtf8(codePoints);
    }
    for (char c : body) {
        if (c != '\0') text += c;
    }
    return text;
}

bool parseReceipt(const std::string& text, Receipt& receipt) {
    receipt = Receipt();
    // Each field runs to the next known key; "text:" runs to the end.
    static const char* const keys[] = {"id:", "sub:", "dlvrd:", "submit date:", "done date:", "stat:", "err:", "text:"};
    std::vector<std::pair<size_t, size_t>> found;  // (position, key index)
    size_t from = 0;
    for (size_t key = 0; key < sizeof keys / sizeof keys[0]; ++key) {
        const std::string name = keys[key];
        size_t at = from;
        // A key starts the text or follows a blank; case as the SMSCs write it
        // or in capitals.
        for (;;) {
            size_t lower = text.find(name, at);
            const std::string upper = upperCase(name);
            size_t capital = text.find(upper, at);
            at = std::min(lower, capital);
            if (at == std::string::npos || at == 0 || text[at - 1] == ' ') break;
            ++at;
        }
        if (at == std::string::npos) continue;
        found.emplace_back(at, key);
        from = at + name.size();
    }
    if (found.empty()) return false;
    for (size_t i = 0; i < found.size(); ++i) {
        const size_t start = found[i].first + strlen(keys[found[i].second]);
        const bool last = found[i].second == 7 || i + 1 == found.size();
        size_t end = last ? text.size() : found[i + 1].first;
        std::string value = text.substr(start, end - start);
        if (found[i].second != 7) {
            while (!value.empty() && value.back() == ' ') value.pop_back();
            while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        }
        switch (found[i].second) {
            case 0: receipt.id = value; break;
            case 3: receipt.submitDate = value; break;
            case 4: receipt.doneDate = value; break;
            case 5: receipt.stat = value; break;
            case 6: receipt.err = value; break;
            case 7: receipt.text = value; break;
            default: break;
        }
    }
    return !receipt.id.empty() || !receipt.stat.empty();
}

ReceiptStatus receiptStatus(const std::string& stat) {
    const std::string state = upperCase(stat);
    if (state == "DELIVRD" || state == "DELIVERED") return {0, "Delivered", true};
    // Still on its way: the final receipt follows.
    if (state == "ENROUTE") return {1, "Buffered", false};
    // Read on the recipient's behalf by the operator's staff.
    if (state == "ACCEPTD") return {1, "Accepted", true};
    return {2, "Not delivered (" + (state.empty() ? std::string("no state") : state) + ")", true};
}

std::string messageStateName(int state) {
    switch (state) {
        case 1: return "ENROUTE";
        case 2: return "DELIVRD";
        case 3: return "EXPIRED";
        case 4: return "DELETED";
        case 5: return "UNDELIV";
        case 6: return "ACCEPTD";
        case 7: return "UNKNOWN";
        case 8: return "REJECTD";
        default: return std::string();
    }
}

}  // namespace smpp
