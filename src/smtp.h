// A minimal, blocking SMTP client: one call delivers one plain-text message
// (ISO-8859-2) to an SMTP server over TCP. No extensions, no authentication,
// no encryption.
//
// Everything lives in namespace smtp so that smtp::write never hides POSIX
// write() from other code.
//
// Error texts go to a caller-supplied buffer of `errorSize` bytes (the buffer
// may be null); a text longer than the buffer is cut, never overflowed.
//
// Every network wait is bounded: connecting, each reply and each send give up
// after timeout() and fail the call with an error text saying so.
#ifndef KST_SMTP_H
#define KST_SMTP_H

#include <stddef.h>

namespace smtp {

// Size of the buffer that keeps one reply line (at most 255 characters).
constexpr size_t kReplySize = 256;

// Default time allowed for connecting, for each reply and for each send.
constexpr int kDefaultTimeoutMs = 30000;

// The time allowed for connecting, for each reply and for each send, in
// milliseconds. Applies to calls that start afterwards, on every thread.
void setTimeout(int milliseconds);
int timeout();

// Runs the whole dialogue: greeting, HELO, MAIL FROM, one RCPT TO per
// recipient of the to, cc and bcc lists (entries separated by ";" or ","),
// DATA, the message, QUIT. Returns true only when the server accepted the
// message and answered QUIT with a 2xx reply. `socketOut`, if given, receives
// the socket as soon as it exists and -1 once it is closed again.
bool smtpSendMail(const char* host, unsigned short port, const char* from, const char* to,
                  const char* cc, const char* bcc, const char* subject, const char* body,
                  char* errorText, size_t errorSize, int* socketOut);

// Reads one reply line into `dest` (CR dropped, LF ends the line; characters
// beyond destSize - 1 are consumed and dropped).
bool readln(int sock, char* errorText, size_t errorSize, char* dest, size_t destSize);

// Sends the whole of `text`.
bool write(int sock, char* errorText, size_t errorSize, const char* text);

// Appends the entries of a recipient list to `dest` as consecutive
// NUL-terminated strings and writes one more NUL as the list terminator.
// Blanks (space, tab, CR, LF) are skipped; ";" and "," separate entries;
// empty entries are left out. Returns the position of the terminator, where
// the next list may be appended. `dest` needs strlen(list) + 2 bytes.
char* semicolonsToSzz(const char* list, char* dest);

}  // namespace smtp

#endif
