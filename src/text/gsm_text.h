// The text of a short message on the air: the GSM 7-bit default alphabet
// with its extension table (reached through the escape septet 0x1B), UCS-2
// (UTF-16 big-endian), the packing of septets into octets, the division of
// a long text into parts and the concatenation user-data header that lets
// the phone join them. One encoder for every sender and for the received
// messages.
//
// Septets are held one per byte (values 0..127) in a std::string; a
// character of the extension table is the pair 0x1B, code. Pure functions
// without state: any thread may call any of them; none throws on bad input.
#ifndef KST_TEXT_GSM_TEXT_H
#define KST_TEXT_GSM_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace smstext {

// The alphabet of a message's user data (the data coding scheme's).
enum class Coding {
    Gsm7,      // GSM 7-bit default alphabet, counted in septets
    EightBit,  // 8-bit data, counted in octets
    Ucs2,      // UTF-16 big-endian, counted in 16-bit units
};
// "GSM", "8BIT", "UCS2": how the gateway names a coding to people and to the
// executables.
const char* codingName(Coding coding);
// The alphabet a data coding scheme octet (TP-DCS, SMPP data_coding 0..15
// excluded: see there) gives; reserved values read as Gsm7, as the phone
// reads them.
Coding codingOfDcs(uint8_t dcs);

constexpr uint8_t gsmEscape = 0x1B;

// Whether every character of `text` is in the default alphabet or its
// extension table.
bool fitsGsm7(const std::u32string& text);
// The septets of `text` (an extension character takes two); false, with
// `septets` holding those of the characters before, when a character is
// in neither table.
bool gsm7Encode(const std::u32string& text, std::string& septets);
// The characters of `septets` (values above 127 are masked to 7 bits). An
// escape followed by a code the extension table does not define gives the
// default alphabet's character for that code; a trailing escape gives a
// space.
std::u32string gsm7Decode(const std::string& septets);
// The septets `text` takes in the default alphabet (extension characters
// count two; a character outside both tables counts one).
size_t gsm7Length(const std::u32string& text);

// Packs septets into octets, least significant bit first, after `fillBits`
// zero bits (0..6: what aligns the septets after a user-data header). The
// result has (fillBits + 7 * septets.size() + 7) / 8 octets.
std::string packSeptets(const std::string& septets, int fillBits = 0);
// The reverse: `count` septets from `octets` after `fillBits` bits. False,
// with the septets that were there, when `octets` is too short.
bool unpackSeptets(const std::string& octets, size_t count, int fillBits, std::string& septets);

// The coding a text is sent in when nothing is transliterated: the default
// alphabet when it fits, otherwise UCS-2.
Coding codingFor(const std::u32string& text);
// The length of `text` in the units of `coding`: septets for Gsm7, UTF-16
// units for Ucs2, code points for EightBit.
size_t lengthIn(Coding coding, const std::u32string& text);

// Limits of one message's user data, in the units of its coding.
struct PartLimits {
    size_t single;   // a text sent as one message
    size_t perPart;  // each part of a longer one
};
// 160 septets or 70 UCS-2 units (140 octets) for one message; with a
// concatenation header (6 octets) 153 septets or 67 units per part.
PartLimits partLimits(Coding coding, bool concatenationHeader);
// The text whole when its length in `coding` is at most `limits.single`,
// otherwise parts of at most `limits.perPart` units each, cut so that no
// escape pair or surrogate pair is divided. An empty text is one empty part.
std::vector<std::u32string> splitText(const std::u32string& text, Coding coding, PartLimits limits);

// The concatenation information of a user-data header.
struct Concatenation {
    uint16_t reference = 0;  // the same in every part of one message
    uint8_t count = 0;       // parts of the message
    uint8_t number = 0;      // this part's number, 1..count
    bool sixteenBitReference = false;
};
// The user-data header of one part, its length octet (UDHL) included:
// 05 00 03 reference count number (8-bit reference).
std::string concatenationHeader(uint8_t reference, uint8_t count, uint8_t number);
// Parses the user-data header at the start of `userData` (its first octet is
// the UDHL). Returns false when the header runs past the data or an element
// past the header. Otherwise `headerOctets` is its length with the UDHL
// octet, and `concatenation` (null: not wanted) is filled with the first
// element 00 (8-bit reference) or 08 (16-bit reference) of a valid count and
// number; `found` says whether there was one. Other elements are skipped.
bool parseUserDataHeader(const std::string& userData, size_t& headerOctets, Concatenation* concatenation,
                         bool* found = nullptr);

// One message's user data as the air interface (TP-UD) carries it.
struct UserData {
    std::string octets;  // the header (if any), then the packed septets or the data
    size_t length = 0;   // TP-UDL: in septets for Gsm7 (header included), octets otherwise
};
// `text` in `coding` after `header` (empty: none; otherwise starting with its
// UDHL octet); for Gsm7 the septets start at the next septet boundary after
// the header. False when `text` does not fit the coding (Gsm7 only).
// EightBit takes each code point's low byte.
bool encodeUserData(Coding coding, const std::u32string& text, const std::string& header, UserData& userData);
// The reverse: the text of `octets` holding `length` (TP-UDL) units of
// `coding`, with a header when `headerPresent` (TP-UDHI). EightBit gives
// each octet as the code point of the same value. `concatenation` (null:
// not wanted) and `found` as parseUserDataHeader fills them. False when
// the data is shorter than the length says, the header is malformed or the
// UCS-2 data is not valid UTF-16 (then what could be decoded is in `text`).
bool decodeUserData(Coding coding, const std::string& octets, size_t length, bool headerPresent, std::u32string& text,
                    Concatenation* concatenation = nullptr, bool* found = nullptr);

}  // namespace smstext

#endif
