#include "request_decoding.h"

#include <errno.h>
#include <iconv.h>

#include <nlohmann/json.hpp>

#include "utf8.h"

namespace {

using nlohmann::json;

// Whether `text` holds a control character (a CR or LF would split a mail
// header or a log record).
bool hasControl(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

// A string member, when present; false with `error` when it is not a string
// or breaks its limits.
bool optionalString(const json& object, const char* name, size_t limit, bool allowControl, std::string& value,
                    DecodingError& error) {
    const auto member = object.find(name);
    if (member == object.end() || member->is_null()) return true;
    if (!member->is_string()) {
        error = {name, std::string("\"") + name + "\" must be a string"};
        return false;
    }
    value = member->get<std::string>();
    if (value.size() > limit) {
        error = {name, std::string("\"") + name + "\" is longer than " + std::to_string(limit) + " bytes"};
        return false;
    }
    if (!allowControl && hasControl(value)) {
        error = {name, std::string("\"") + name + "\" holds a control character"};
        return false;
    }
    return true;
}

bool decodeDestinations(const json& object, std::string& destinations, DecodingError& error) {
    const auto to = object.find("to");
    if (to == object.end()) {
        error = {"to", "\"to\" is missing: a destination number or a list of them"};
        return false;
    }
    std::vector<std::string> numbers;
    if (to->is_string()) {
        numbers = Submission::destinationsOf(to->get<std::string>());
    } else if (to->is_array()) {
        for (const json& entry : *to) {
            if (!entry.is_string()) {
                error = {"to", "every entry of \"to\" must be a string"};
                return false;
            }
            for (const std::string& number : Submission::destinationsOf(entry.get<std::string>())) {
                numbers.push_back(number);
            }
        }
    } else {
        error = {"to", "\"to\" must be a string or a list of strings"};
        return false;
    }
    if (numbers.empty()) {
        error = {"to", "\"to\" names no destination"};
        return false;
    }
    for (const std::string& number : numbers) {
        if (!Submission::acceptedDestination(number)) {
            error = {"to", "\"" + (hasControl(number) || number.size() > 32 ? std::string("a destination") : number) +
                               "\" is not a telephone number (\"+\" and digits, or digits) that fits the SMSC's "
                               "16-digit address field"};
            return false;
        }
        if (!destinations.empty()) destinations += ',';
        destinations += number;
    }
    return true;
}

}  // namespace

bool utf8ToIso88592(const std::string& utf8, std::string& iso88592) {
    if (!smstext::isValidUtf8(utf8)) return false;
    iconv_t converter = iconv_open("ISO-8859-2//TRANSLIT", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    iso88592.clear();
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char buffer[1024];
    bool ok = true;
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
        iso88592.append(buffer, static_cast<size_t>(out - buffer));
        if (result != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        if (errno == EILSEQ) {
            // A character without transliteration: "?" for it, and on.
            iso88592 += '?';
            const unsigned char lead = static_cast<unsigned char>(*in);
            size_t skip = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
            if (skip > inLeft) skip = inLeft;
            in += skip;
            inLeft -= skip;
            continue;
        }
        ok = false;
        break;
    }
    iconv_close(converter);
    return ok;
}

bool decodeSubmission(const std::string& body, Submission::Request& request, DecodingError& error) {
    json object;
    try {
        object = json::parse(body);
    } catch (const json::exception& e) {
        error = {"", std::string("the body is not JSON: ") + e.what()};
        return false;
    }
    if (!object.is_object()) {
        error = {"", "the body must be a JSON object"};
        return false;
    }
    static const char* const known[] = {"to", "text", "flash", "notify_email", "callback_url", "client_ref"};
    for (const auto& member : object.items()) {
        bool isKnown = false;
        for (const char* name : known) isKnown = isKnown || member.key() == name;
        if (!isKnown) {
            error = {member.key(), "unknown member (expected to, text, flash, notify_email, callback_url, client_ref)"};
            if (hasControl(error.field) || error.field.size() > 64) error.field = "?";
            return false;
        }
    }
    if (!decodeDestinations(object, request.destinations, error)) return false;

    const auto text = object.find("text");
    if (text == object.end() || !text->is_string()) {
        error = {"text", "\"text\" must be a string"};
        return false;
    }
    const std::string utf8 = text->get<std::string>();
    if (utf8.find('\0') != std::string::npos) {
        error = {"text", "\"text\" holds a NUL character"};
        return false;
    }
    if (!smstext::isValidUtf8(utf8)) {
        error = {"text", "\"text\" is not valid UTF-8"};
        return false;
    }
    // Converted by the submission, which knows the encoding in force and
    // refuses a text that needs too many messages.
    request.text = utf8;
    request.textIsUtf8 = true;

    const auto flash = object.find("flash");
    if (flash != object.end() && !flash->is_null()) {
        if (!flash->is_boolean()) {
            error = {"flash", "\"flash\" must be true or false"};
            return false;
        }
        request.onDisplay = flash->get<bool>();
    }
    if (!optionalString(object, "notify_email", DecodingLimits::email, false, request.mailTo, error)) return false;
    if (!request.mailTo.empty() && (request.mailTo.find('@') == std::string::npos ||
                                    request.mailTo.find_first_of(" ,;<>\"") != std::string::npos)) {
        error = {"notify_email", "\"notify_email\" is not one e-mail address"};
        return false;
    }
    if (!optionalString(object, "callback_url", DecodingLimits::callbackUrl, false, request.callbackUrl, error)) {
        return false;
    }
    if (!request.callbackUrl.empty() && request.callbackUrl.compare(0, 7, "http://") != 0 &&
        request.callbackUrl.compare(0, 8, "https://") != 0) {
        error = {"callback_url", "\"callback_url\" must be an http:// or https:// URL"};
        return false;
    }
    if (!optionalString(object, "client_ref", DecodingLimits::clientRef, false, request.clientRef, error)) return false;
    return true;
}
