// The text of a received message as the executables get it ("UD" and
// "ALPHABET"), and the concatenation element of its user-data header, from
// what each way of receiving brings: EMI operations 52 and 01, SMPP
// deliver_sm and the modem's SMS-DELIVER.
//
// With `unicode` (General/Encoding = unicode) every coding reaches the
// executables as UTF-8: the GSM 7-bit default alphabet with its extension
// table, UCS-2 (UTF-16, surrogate pairs included) and 8-bit data (each
// octet the character of the same code, as ISO-8859-1); "ALPHABET" says
// "7bit", "8bit" or "ucs2". Without it the text is what it always was and
// "ALPHABET" is "7bit". NUL characters are left out either way: they would
// end an environment variable.
//
// Pure functions: any thread. Bad data never throws; what could be decoded
// is in `text` and `problem` says what was wrong.
#ifndef KST_RECEIVED_TEXT_H
#define KST_RECEIVED_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

struct ReceivedText {
    std::string alphabet = "7bit";  // ALPHABET
    std::string text;               // UD
    std::string problem;            // empty when the data was sound
    // A concatenation element (IEI 00 or 08) in the user-data header.
    bool concatenated = false;
    unsigned reference = 0;
    bool sixteenBitReference = false;
    int count = 0;
    int number = 0;
};

// EMI operation 52 or 01: `messageType` is MT ("2" numeric, "3"
// alphanumeric, "4" transparent data), `message` the library's decoded text
// (MT 2 and 3) or the hexadecimal data (MT 4), `bits` NB (MT 4: the septets
// of a 7-bit text are NB / 7) and `extraServices` XSer (its element 01 is the
// user-data header, 02 the data coding scheme; without 02 MT 4 is 8-bit data).
ReceivedText receivedEmiText(bool unicode, const std::string& messageType, const std::string& message, int bits,
                             const std::string& extraServices);

// SMPP deliver_sm: `shortMessage` with its user-data header when esm_class
// has UDHI (0x40). data_coding 0 is the GSM default alphabet, one septet per
// octet; 1 IA5 (ASCII); 3 ISO-8859-1; 8 UCS-2; 2 and 4 8-bit data; 0x10 and
// above the data coding scheme of the air interface; the rest is taken as
// 8-bit data. `legacyText` is the text without `unicode`.
ReceivedText receivedSmppText(bool unicode, uint8_t dataCoding, uint8_t esmClass, const std::string& shortMessage,
                              const std::string& legacyText);

// What the modem library decoded: `header` the user-data header with its
// UDHL octet (empty: none), `payload` the data after it (a 7-bit text one
// septet per octet).
ReceivedText receivedDecodedText(bool unicode, uint8_t dcs, const std::string& header, const std::string& payload,
                                 const std::string& legacyText);

// The user data of an SMS-DELIVER: `dcs` (TP-DCS), `headerPresent`
// (TP-UDHI), `octets` (TP-UD) and `length` (TP-UDL). `legacyText` is the
// text without `unicode`.
ReceivedText receivedTpduText(bool unicode, uint8_t dcs, bool headerPresent, const std::string& octets, size_t length,
                              const std::string& legacyText);

// The TP-DCS, TP-UDHI, TP-UDL and TP-UD of an SMS-DELIVER PDU in hexadecimal
// (with the service centre's address first, as +CMGR gives it). False when
// it is no SMS-DELIVER or ends early.
bool deliverUserData(const std::string& pduHex, uint8_t& dcs, bool& headerPresent, size_t& length, std::string& octets);

#endif
