// Unicode text as the gateway handles it: UTF-8 (what the HTTP interface,
// the executables and the store carry), code points (what the encoders
// count) and UTF-16 big-endian (the UCS-2 data coding of a short message,
// with surrogate pairs for characters outside the Basic Multilingual Plane).
//
// Pure functions without state: any thread may call any of them. None of
// them throws on bad input; they report it in their result.
#ifndef KST_TEXT_UTF8_H
#define KST_TEXT_UTF8_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace smstext {

// The character put in place of what cannot be decoded.
constexpr char32_t replacementCharacter = 0xFFFD;

// Decodes UTF-8 into code points. Overlong forms, encoded surrogates, values
// above U+10FFFF and truncated or stray bytes are invalid: the result is
// then false, `codePoints` holds U+FFFD for each bad sequence and `error`
// (when given) says at which byte offset the first one is.
bool utf8ToCodePoints(const std::string& utf8, std::u32string& codePoints, std::string* error = nullptr);
// Whether `utf8` is valid UTF-8 (as utf8ToCodePoints checks it).
bool isValidUtf8(const std::string& utf8);
// Encodes code points as UTF-8; a surrogate or a value above U+10FFFF is
// written as U+FFFD.
std::string codePointsToUtf8(const std::u32string& codePoints);
void appendUtf8(std::string& utf8, char32_t codePoint);

// Whether every character is ASCII (IA5 carries it as it is).
bool isAscii(const std::u32string& codePoints);

// ISO-8859-2 (the remote interface's texts) to UTF-8, every byte one
// character; the text ends at its first NUL as a C string does.
std::string iso88592ToUtf8(const std::string& iso88592);
// ISO-8859-1 to UTF-8, every byte one character (8-bit data shown as text).
std::string latin1ToUtf8(const std::string& latin1);

// The UTF-16 code units a character takes: 2 outside the Basic Multilingual
// Plane (a surrogate pair), otherwise 1.
inline size_t utf16Units(char32_t codePoint) { return codePoint > 0xFFFF ? 2 : 1; }
size_t utf16Units(const std::u32string& codePoints);
// Code points to UTF-16 big-endian octets (two per unit); a surrogate or a
// value above U+10FFFF is written as U+FFFD.
std::string utf16beEncode(const std::u32string& codePoints);
// UTF-16 big-endian octets to code points. An odd trailing octet or an
// unpaired surrogate is invalid: the result is false and U+FFFD stands in
// for it (the rest is still decoded).
bool utf16beDecode(const std::string& octets, std::u32string& codePoints);

}  // namespace smstext

#endif
