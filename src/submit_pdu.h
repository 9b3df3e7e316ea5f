// The SMS-SUBMIT messages the modem sender hands its modem in PDU mode
// (GSM 03.40), built with the shared text encoder (src/text) instead of the
// modem library's, so that every character of the default alphabet, its
// extension table included, and UCS-2 texts arrive as they were sent.
//
// Pure functions without state: any thread may call them. C++14, so that
// the gsmlib sources (gnu++14) can include this header.
#ifndef KST_SUBMIT_PDU_H
#define KST_SUBMIT_PDU_H

#include <stdint.h>

#include <string>
#include <vector>

#include "gsm_text.h"

namespace submitpdu {

// The settings of one message that are the same in each of its PDUs.
struct Envelope {
    // "+" and digits (international number) or digits (type unknown), at
    // most 20 digits; the numbering plan is ISDN/telephone.
    std::string destination;
    // TP-SRR: the network sends a status report.
    bool statusReportRequest = false;
    // Class 0 (DCS 0x10 for the default alphabet, 0x18 for UCS-2): the phone
    // shows the message at once. Otherwise DCS 0x00 or 0x08.
    bool flash = false;
};

// One part's concatenation header: reference, count and number.
struct PartHeader {
    uint8_t reference = 0;
    uint8_t count = 1;
    uint8_t number = 1;
};

// One SMS-SUBMIT TPDU: without the service centre address, which the
// modem's configured one replaces ("00" before it on the line).
struct Pdu {
    std::string octets;
    smstext::Coding coding = smstext::Coding::Gsm7;
    // TP-UDL: septets (header and fill bits included) or octets.
    size_t userDataLength = 0;
    // The text it carries, for the trace.
    std::u32string text;
};

// The semi-octet address of `number` (TP-DA): its digit count, the type of
// address (0x91 international with "+", otherwise 0x81) and the digits in
// swapped nibbles, padded with F. False, with `error` saying why, for an
// empty number, one with other characters or more than 20 digits.
bool encodeAddress(const std::string& number, std::string& octets, std::string& error);

// The TPDU of one message: TP-MTI SMS-SUBMIT, TP-RD (reject duplicates),
// TP-VPF relative with 0xA8 (two days, as the modem library always sent),
// TP-SRR and TP-UDHI as asked, TP-MR 0 (the modem sets it), TP-DA, TP-PID
// 0, TP-DCS, TP-VP and `userData` (the header, if any, already in it).
// False, with `error`, for a destination encodeAddress() refuses.
bool buildPdu(const Envelope& envelope, smstext::Coding coding, const smstext::UserData& userData, bool headerPresent,
              std::string& octets, std::string& error);

// The characters of a queued message's text. With `unicode` the text is
// UTF-8 (what is not valid UTF-8 is read as ISO-8859-2, as the remote
// interface gives its texts); otherwise it is the transliterated
// ISO-8859-2 text, and every character the default alphabet lacks becomes
// "?".
std::u32string textOf(const std::string& message, bool unicode);

// The PDUs of one queued text in the default alphabet when it fits (always
// without `unicode`), otherwise UCS-2. With `part` (a part of a text the
// submission divided, Concatenation = udh) the text goes as that one part
// after its concatenation header. Without it, a text that fits one message
// goes as one PDU without a header; a longer one as parts of 153 septets or
// 67 UCS-2 units (never dividing an escape or a surrogate pair) with the
// header of `ownReference`. So does a part of the submission that is too
// long for one message after its header, as its own concatenated message.
// False, with `error`, for a destination encodeAddress() refuses or a text
// of more than 255 parts.
bool buildPdus(const std::string& message, bool unicode, const Envelope& envelope, const PartHeader* part,
               uint8_t ownReference, std::vector<Pdu>& pdus, std::string& error);

// Upper-case hexadecimal, as PDU mode writes octets.
std::string hex(const std::string& octets);

}  // namespace submitpdu

#endif
