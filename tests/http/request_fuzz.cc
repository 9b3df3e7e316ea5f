// Arbitrary bytes as the body of a submission: decoding never crashes,
// never throws, and what it accepts is a request the submission can queue
// as it is (every destination accepted, a text that divides into parts
// under every encoding and concatenation).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "request_decoding.h"
#include "submission.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    Submission::Request request;
    DecodingError error;
    if (!decodeSubmission(body, request, error)) {
        if (error.detail.empty()) abort();
        return 0;
    }
    const auto destinations = Submission::destinationsOf(request.destinations);
    if (destinations.empty()) abort();
    for (const std::string& number : destinations) {
        if (!Submission::acceptedDestination(number)) abort();
    }
    if (request.text.find('\0') != std::string::npos) abort();
    for (const bool unicode : {false, true}) {
        for (const bool udh : {false, true}) {
            TextSettings text;
            text.unicode = unicode;
            text.udh = udh;
            if (Submission::partsOf(request, text).empty()) abort();
        }
    }
    return 0;
}
