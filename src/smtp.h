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

#include <string>

namespace smtp {

// Size of the buffer that keeps one reply line (at most 255 characters).
constexpr size_t kReplySize = 256;

// Default time allowed for connecting, for each reply and for each send.
constexpr int kDefaultTimeoutMs = 30000;

// The time allowed for connecting, for each reply and for each send, in
// milliseconds. Applies to calls that start afterwards, on every thread.
void setTimeout(int milliseconds);
int timeout();

// Why a call failed, for a caller that decides whether to try again. A 4xx
// reply is transient and a 5xx reply permanent (RFC 5321).
struct Failure {
    enum Kind {
        kNone,       // the call succeeded
        kServer,     // the server could not be used: not resolved or connected,
                     // no complete answer in time, the connection closed or
                     // broke, a refusal other than 5xx of the greeting, HELO or
                     // MAIL FROM, or a 421 (service closing) at any step
        kTemporary,  // a refusal other than 5xx of RCPT, DATA, the message or QUIT
        kPermanent,  // a 5xx reply at any step
    };
    Kind kind = kNone;
    // The refusing reply line; empty when no reply was at fault.
    std::string reply;
};

// Runs the whole dialogue: greeting, HELO, MAIL FROM, one RCPT TO per
// recipient of the to, cc and bcc lists (entries separated by ";" or ","),
// DATA, the message, QUIT. Returns true when the server accepted the
// message (2xx after its final dot), whatever QUIT then gets: the message
// must not be sent twice. `socketOut`, if given, receives
// the socket as soon as it exists and -1 once it is closed again. `failure`,
// if given, says why the call failed (kNone after success).
bool smtpSendMail(const char* host, unsigned short port, const char* from, const char* to, const char* cc,
                  const char* bcc, const char* subject, const char* body, char* errorText, size_t errorSize,
                  int* socketOut, Failure* failure = nullptr);

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
