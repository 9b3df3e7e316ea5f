// Decoding of the HTTP interface's submission body: JSON in UTF-8 to the
// request every interface hands to a Submission. A pure function, so that
// the fuzzer and the unit tests reach it without a server.
#ifndef KST_HTTP_REQUEST_DECODING_H
#define KST_HTTP_REQUEST_DECODING_H

#include <string>

#include "submission.h"

// What is wrong with a body: the field (empty: the body as a whole) and a
// sentence for the caller.
struct DecodingError {
    std::string field;
    std::string detail;
};

// Limits of the fields a caller may give.
struct DecodingLimits {
    static constexpr size_t clientRef = 256;
    static constexpr size_t callbackUrl = 2048;
    static constexpr size_t email = 254;
};

// Decodes `body`: an object with "to" (a comma-separated string or an
// array of strings), "text" (a string), and optionally "flash" (a boolean),
// "notify_email", "callback_url" and "client_ref" (strings); any other
// member is refused. Every destination must be one the SMSC can carry (the
// interface refuses the request rather than skipping it), the text valid
// UTF-8 without NUL; it is kept as UTF-8 (textIsUtf8) for the submission,
// which converts it and refuses one that needs too many messages. Fills
// `request` but its remoteAddr; false with `error` otherwise. Never
// throws.
bool decodeSubmission(const std::string& body, Submission::Request& request, DecodingError& error);

// UTF-8 to ISO-8859-2, transliterating what it cannot hold; false when
// `utf8` is not valid UTF-8.
bool utf8ToIso88592(const std::string& utf8, std::string& iso88592);

#endif
