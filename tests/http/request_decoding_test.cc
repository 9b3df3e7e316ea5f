// The decoding of a submission's body on its own: what it accepts, how the
// text is converted, and which field each refusal names.
#include <gtest/gtest.h>

#include <string>

#include "message_json.h"
#include "request_decoding.h"

namespace {

struct Decoded {
    bool ok;
    Submission::Request request;
    DecodingError error;
};

Decoded decode(const std::string& body) {
    Decoded out;
    out.ok = decodeSubmission(body, out.request, out.error);
    return out;
}

TEST(RequestDecoding, TakesEveryMember) {
    const Decoded d = decode(
        R"({"to": ["+420602111222", " 602333444 "], "text": "P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd \u2603",
            "flash": true, "notify_email": "jana@example.org", "callback_url": "https://example.org/hook",
            "client_ref": "order-17"})");
    ASSERT_TRUE(d.ok) << d.error.field << ": " << d.error.detail;
    EXPECT_EQ(d.request.destinations, "+420602111222,602333444");
    // Kept as UTF-8; transliterated, ISO-8859-2 holds the Czech letters and
    // the snowman becomes "?".
    EXPECT_TRUE(d.request.textIsUtf8);
    EXPECT_EQ(Submission::partsOf(d.request, TextSettings{}), std::vector<std::string>{"Prilis zlutoucky ?"});
    TextSettings unicode;
    unicode.unicode = true;
    EXPECT_EQ(Submission::partsOf(d.request, unicode),
              std::vector<std::string>{"P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd \u2603"});
    EXPECT_TRUE(d.request.onDisplay);
    EXPECT_EQ(d.request.mailTo, "jana@example.org");
    EXPECT_EQ(d.request.callbackUrl, "https://example.org/hook");
    EXPECT_EQ(d.request.clientRef, "order-17");
}

TEST(RequestDecoding, TakesAStringOfNumbersAndDefaults) {
    const Decoded d = decode(R"({"to": "602111222, 602333444", "text": "ahoj", "flash": null})");
    ASSERT_TRUE(d.ok) << d.error.detail;
    EXPECT_EQ(d.request.destinations, "602111222,602333444");
    EXPECT_FALSE(d.request.onDisplay);
    EXPECT_EQ(d.request.mailTo, "");
}

TEST(RequestDecoding, NamesTheFieldThatIsWrong) {
    const struct {
        const char* body;
        const char* field;
    } cases[] = {
        {"", ""},
        {"[1]", ""},
        {R"({"to": "1", "text": "x", "extra": 1})", "extra"},
        {R"({"text": "x"})", "to"},
        {R"({"to": [], "text": "x"})", "to"},
        {R"({"to": "1,abc", "text": "x"})", "to"},
        {R"({"to": "12345678901234567", "text": "x"})", "to"},
        {R"({"to": {"a": 1}, "text": "x"})", "to"},
        {R"({"to": "1"})", "text"},
        {R"({"to": "1", "text": 5})", "text"},
        {R"({"to": "1", "text": "a\u0000b"})", "text"},
        {"{\"to\": \"1\", \"text\": \"\xff\"}", ""},
        {R"({"to": "1", "text": "x", "flash": 1})", "flash"},
        {R"({"to": "1", "text": "x", "notify_email": "no-at-sign"})", "notify_email"},
        {R"({"to": "1", "text": "x", "notify_email": "a@b, c@d"})", "notify_email"},
        {R"({"to": "1", "text": "x", "callback_url": "file:///etc/passwd"})", "callback_url"},
        {R"({"to": "1", "text": "x", "client_ref": "a\nb"})", "client_ref"},
    };
    for (const auto& one : cases) {
        const Decoded d = decode(one.body);
        EXPECT_FALSE(d.ok) << one.body;
        EXPECT_EQ(d.error.field, one.field) << one.body << ": " << d.error.detail;
        EXPECT_FALSE(d.error.detail.empty()) << one.body;
    }
}

// The parts of a text under each encoding and concatenation (the
// submission refuses more than MaxParts of them).
TEST(SubmissionParts, EachEncodingAndConcatenation) {
    Submission::Request request;
    request.textIsUtf8 = true;
    TextSettings settings;
    request.text = std::string(780, 'x');
    EXPECT_EQ(Submission::partsOf(request, settings).size(), 5u);
    request.text += "x";
    auto parts = Submission::partsOf(request, settings);
    ASSERT_EQ(parts.size(), 6u);
    EXPECT_EQ(parts[0], "1/6 " + std::string(156, 'x'));
    EXPECT_EQ(parts[5], "6/6 x");
    // With a header: 153 characters a part, no counter.
    settings.udh = true;
    parts = Submission::partsOf(request, settings);
    ASSERT_EQ(parts.size(), 6u);
    EXPECT_EQ(parts[0], std::string(153, 'x'));
    EXPECT_EQ(parts[5], std::string(781 - 5 * 153, 'x'));
    // Unicode: the euro and brackets stay, 2 septets each.
    settings.unicode = true;
    request.text = std::string(151, 'a') + "\u20ac" + std::string(20, 'b');
    parts = Submission::partsOf(request, settings);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], std::string(151, 'a') + "\u20ac");
    EXPECT_EQ(parts[1], std::string(20, 'b'));
    // Czech from the remote interface (ISO-8859-2): UCS-2, 67 a part with a
    // header, 66 after "i/N " without one.
    request.textIsUtf8 = false;
    request.text = std::string(100, '\xf8');
    parts = Submission::partsOf(request, settings);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].size(), 33u * 2);
    settings.udh = false;
    parts = Submission::partsOf(request, settings);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].substr(0, 4), "1/2 ");
    EXPECT_EQ(parts[0].size(), 4 + 66u * 2);
    // Ten parts and more: "i/NN " takes room of each.
    request.text = std::string(70 * 10, '\xf8');
    parts = Submission::partsOf(request, settings);
    ASSERT_EQ(parts.size(), 11u);
    EXPECT_EQ(parts[0].substr(0, 5), "1/11 ");
    EXPECT_EQ(parts[0].size(), 5 + 64u * 2);
}

TEST(MessageState, OneNameForEachStageAndOutcome) {
    MessageRecord record;
    EXPECT_STREQ(publicState(record), "queued");
    record.stage = MessageRecord::Stage::Submitted;
    EXPECT_STREQ(publicState(record), "submitted");
    record.stage = MessageRecord::Stage::Acknowledged;
    EXPECT_STREQ(publicState(record), "accepted");
    record.stage = MessageRecord::Stage::Finished;
    record.outcome = "acknowledged";
    EXPECT_STREQ(publicState(record), "accepted");
    record.outcome = "refused";
    EXPECT_STREQ(publicState(record), "rejected");
    record.outcome = "expired";
    EXPECT_STREQ(publicState(record), "expired");
    record.outcome = "notified";
    record.notificationStatus = 0;
    EXPECT_STREQ(publicState(record), "delivered");
    record.notificationStatus = 1;
    EXPECT_STREQ(publicState(record), "accepted");
    record.notificationStatus = 2;
    EXPECT_STREQ(publicState(record), "undeliverable");
    EXPECT_EQ(iso8601(0), "1970-01-01T00:00:00Z");
}

}  // namespace
