// What the modem sender does with a message read from a store, without a
// modem: received messages, status reports matched against the registry,
// and entries of other kinds; and the answer parsing of the PIN dialogue.
#include <gtest/gtest.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "core_support.h"
#include "counters.h"
#include "emailer.h"
#include "logger.h"
#include "me_messages.h"
#include "sent_message.h"
#include "sms.h"
#include "sms_processing.h"
#include "sms_sender_me.h"

using coretest::LogRecord;
using coretest::readLogRecords;
using coretest::ScratchDir;
using coretest::StdoutCapture;
using coretest::TestParts;
using coretest::TestSender;

namespace {

const char* const target = "+420603111222";

class ProcessMessage : public ::testing::Test {
protected:
    void SetUp() override {
        m_capture = std::make_unique<StdoutCapture>(m_scratch.file("stdout"));
        m_receiveLog = std::make_unique<Logger>("ReceiveLog", m_scratch.file("receive.log").c_str());
        m_errorLog = std::make_unique<Logger>("ErrorLog", m_scratch.file("error.log").c_str());
        // Not started: the queues only collect what the sender hands over.
        m_emailer = std::make_unique<Emailer>("127.0.0.1", "25", "kstd@example.org", "s", "b", m_errorLog.get(),
                                              m_parts.counters, m_parts.stopSignal);
        m_processing = std::make_unique<SmsProcessing>(m_parts.stopSignal);
        m_sender = std::make_unique<SmsSenderMe>("/nonexistent/modem", "", "", false,
                                                 m_parts.context(m_errorLog.get(), m_errorLog.get(), m_receiveLog.get(),
                                                                 m_emailer.get(), m_processing.get()));
        m_sender->SetName("Sender thread(ME)");
    }

    // Registers a message of `owner` as handed on `ageSeconds` ago.
    void sent(const SmsSender* owner, const char* to, const char* text, unsigned char reference,
              time_t ageSeconds = 0) {
        Sms sms(to, "", text, "127.0.0.1", false, "someone@example.org");
        SentMessage entry(sms, reference, 0, owner);
        entry.m_timestamp -= ageSeconds;
        m_parts.sentMessages.append(entry);
    }

    std::vector<std::string> registeredTexts() {
        std::vector<std::string> texts;
        for (const SentMessage& entry : m_parts.sentMessages.snapshot()) texts.push_back(entry.m_sms.message());
        return texts;
    }

    std::vector<LogRecord> received() { return readLogRecords(m_scratch.file("receive.log")); }

    TestParts m_parts;
    ScratchDir m_scratch;
    std::unique_ptr<StdoutCapture> m_capture;
    std::unique_ptr<Logger> m_receiveLog;
    std::unique_ptr<Logger> m_errorLog;
    std::unique_ptr<Emailer> m_emailer;
    std::unique_ptr<SmsProcessing> m_processing;
    std::unique_ptr<SmsSenderMe> m_sender;
};

TEST_F(ProcessMessage, ReceivedMessageIsLoggedCountedAndHandedOn) {
    m_sender->setReceiveLogHideOriginatingAddress(true);
    m_sender->setReceiveLogHideUserData(true);
    const long before = m_parts.counters.receivedMessages;
    processDeliver(*m_sender, "+420777123456", "+420603052000", "Hello");
    EXPECT_EQ(m_parts.counters.receivedMessages, before + 1);
    EXPECT_EQ(m_processing->size(), 1);

    const std::vector<LogRecord> records = received();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, "INFO");
    ASSERT_EQ(records[0].lines.size(), 5u);
    EXPECT_EQ(records[0].lines[0], "SMS received");
    EXPECT_EQ(records[0].lines[1], "SC Address: +420603052000");
    EXPECT_EQ(records[0].lines[2], "Originating Address: <hidden>");
    // gsmlib's text of the time stamp without its trailing NUL.
    EXPECT_EQ(records[0].lines[3].rfind("Timestamp: 12/07/04 14:03:09 (", 0), 0u) << records[0].lines[3];
    EXPECT_EQ(records[0].lines[3].find('\0'), std::string::npos);
    EXPECT_EQ(records[0].lines[4], "User data: <hidden>");
}

TEST_F(ProcessMessage, ReportConfirmsTheFirstOfTwoEqualEntries) {
    sent(m_sender.get(), target, "first", 7);
    sent(m_sender.get(), target, "second", 7);
    processStatusReport(*m_sender, target, 7, 0);
    ASSERT_EQ(m_emailer->size(), 1);
    EXPECT_EQ(registeredTexts(), std::vector<std::string>{"second"});
    // No thread of the e-mailer runs: the test takes the confirmation itself.
    const Confirmation confirmation = m_emailer->get();
    EXPECT_EQ(confirmation.m_da, target);
    EXPECT_EQ(confirmation.m_ud, "first");
    EXPECT_EQ(confirmation.m_email, "someone@example.org");

    const std::vector<LogRecord> records = received();
    ASSERT_EQ(records.size(), 1u);
    const std::vector<std::string>& lines = records[0].lines;
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "Status Report received");
    EXPECT_EQ(lines[1], std::string("Destination Address: ") + target);
    EXPECT_EQ(lines[2], "User Data: ");
    EXPECT_EQ(lines[5], "Notification e-mail: someone@example.org");
    EXPECT_EQ(lines[6], "Status Code: 0");
}

TEST_F(ProcessMessage, NumberWithoutPlusIsTheSameRecipient) {
    sent(m_sender.get(), target, "plus", 9);
    processStatusReport(*m_sender, "420603111222", 9, 0);
    EXPECT_EQ(m_emailer->size(), 1);
    EXPECT_TRUE(registeredTexts().empty());
}

TEST_F(ProcessMessage, ReportForAnotherRecipientOrReferenceConfirmsNothing) {
    sent(m_sender.get(), target, "mine", 7);
    processStatusReport(*m_sender, "+420777000999", 7, 0);
    processStatusReport(*m_sender, target, 8, 0);
    EXPECT_EQ(m_emailer->size(), 0);
    EXPECT_EQ(registeredTexts(), std::vector<std::string>{"mine"});
    const std::vector<LogRecord> records = received();
    ASSERT_EQ(records.size(), 2u);
    for (const LogRecord& record : records) {
        EXPECT_EQ(record.lines.size(), 7u);
        for (const std::string& line : record.lines)
            EXPECT_EQ(line.rfind("Notification e-mail: ", 0), std::string::npos);
    }
}

TEST_F(ProcessMessage, EntriesOfTheOtherSenderAreNeverConfirmed) {
    TestSender smsc("Sender thread(EMI)", m_parts.context());
    // An acknowledged SMSC entry has reference 0; another carries its
    // transaction id.
    sent(&smsc, target, "smsc acknowledged", 0);
    sent(&smsc, target, "smsc pending", 5);
    processStatusReport(*m_sender, target, 0, 0);
    processStatusReport(*m_sender, target, 5, 0);
    EXPECT_EQ(m_emailer->size(), 0);
    EXPECT_EQ(registeredTexts(), (std::vector<std::string>{"smsc acknowledged", "smsc pending"}));
}

TEST_F(ProcessMessage, OldEntriesAreLeftToTheSweep) {
    const time_t eightDays = 8 * 24 * 3600;
    TestSender smsc("Sender thread(EMI)", m_parts.context());
    sent(m_sender.get(), "+420600000001", "old one", 1, eightDays);
    sent(&smsc, "+420600000003", "old of the SMSC", 3, eightDays);
    sent(m_sender.get(), "+420600000004", "fresh", 4);
    sent(m_sender.get(), "+420600000005", "old after the match", 5, eightDays);
    processStatusReport(*m_sender, "+420600000004", 4, 0);
    EXPECT_EQ(m_emailer->size(), 1);
    // A report settles its own message only: the gateway's sweep gives up
    // the old ones, with a record and their row marked expired.
    EXPECT_EQ(registeredTexts(),
              (std::vector<std::string>{"old one", "old of the SMSC", "old after the match"}));
}

TEST_F(ProcessMessage, OnlyDeliveredReportsConfirmAndOnlyFinalOnesSettle) {
    sent(m_sender.get(), "+420600000001", "congested", 1);
    sent(m_sender.get(), "+420600000002", "refused", 2);
    sent(m_sender.get(), "+420600000003", "given up", 3);
    sent(m_sender.get(), "+420600000004", "reserved status", 4);
    processStatusReport(*m_sender, "+420600000001", 1, 0x20);
    processStatusReport(*m_sender, "+420600000002", 2, 0x41);
    processStatusReport(*m_sender, "+420600000003", 3, 0x60);
    processStatusReport(*m_sender, "+420600000004", 4, 0x80);
    EXPECT_EQ(m_emailer->size(), 0);
    EXPECT_EQ(registeredTexts(), std::vector<std::string>{"congested"});
    processStatusReport(*m_sender, "+420600000001", 1, 0x01);
    EXPECT_EQ(m_emailer->size(), 1);
    EXPECT_TRUE(registeredTexts().empty());
    EXPECT_EQ(received().size(), 5u);
}

TEST_F(ProcessMessage, ReusedReferenceIsTakenByTheSendTime) {
    const time_t now = time(nullptr);
    sent(m_sender.get(), target, "earlier", 7, 1000);
    sent(m_sender.get(), target, "later", 7);
    // Two hours away from both: about neither.
    processStatusReport(*m_sender, target, 7, 0, now - 7200);
    EXPECT_EQ(registeredTexts(), (std::vector<std::string>{"earlier", "later"}));
    const std::vector<LogRecord> errors = readLogRecords(m_scratch.file("error.log"));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].lines[0].rfind("ME: Status report for +420603111222 with reference 7 and time stamp ", 0), 0u)
        << errors[0].lines[0];
    EXPECT_NE(errors[0].lines[0].find(" fits no message sent within 10 minutes of it; check the clocks of the host "
                                      "and the network"),
              std::string::npos)
        << errors[0].lines[0];
    // The later message's report, written an hour east of UTC.
    processStatusReport(*m_sender, target, 7, 0, now - 2, 4);
    EXPECT_EQ(registeredTexts(), std::vector<std::string>{"earlier"});
    // The same report again settles nothing more.
    processStatusReport(*m_sender, target, 7, 0, now - 2, 4);
    EXPECT_EQ(registeredTexts(), std::vector<std::string>{"earlier"});
    processStatusReport(*m_sender, target, 7, 0, now - 998);
    EXPECT_TRUE(registeredTexts().empty());
    ASSERT_EQ(m_emailer->size(), 2);
    EXPECT_EQ(m_emailer->get().m_ud, "later");
    EXPECT_EQ(m_emailer->get().m_ud, "earlier");
}

TEST_F(ProcessMessage, RefusalsByCause) {
    using Kind = SmsSenderMe::RefusalKind;
    for (int code : {1, 8, 10, 21, 28, 29, 30, 50, 69, 96, 0xc3, 0xc4, 304}) {
        EXPECT_EQ(SmsSenderMe::refusalKind(code), Kind::Permanent) << code;
    }
    for (int code : {0, 17, 22, 27, 38, 41, 42, 47, 0xc0, 314, 331, 332, 500}) {
        EXPECT_EQ(SmsSenderMe::refusalKind(code), Kind::Temporary) << code;
    }
    for (int code : {300, 310, 311, 313, 316, 330}) EXPECT_EQ(SmsSenderMe::refusalKind(code), Kind::Modem) << code;
}

TEST_F(ProcessMessage, OtherKindsAndEmptyEntriesAreIgnored) {
    const long before = m_parts.counters.receivedMessages;
    processSubmit(*m_sender);
    processNull(*m_sender);
    EXPECT_EQ(m_parts.counters.receivedMessages, before);
    EXPECT_EQ(m_processing->size(), 0);
    EXPECT_TRUE(received().empty());
}

TEST_F(ProcessMessage, InitWithoutConnectionLeavesTheSenderDisconnected) {
    EXPECT_FALSE(m_sender->init());
    EXPECT_FALSE(m_sender->connected());
}

TEST_F(ProcessMessage, FailedConnectionIsReportedAndLeavesNothingOpen) {
    EXPECT_FALSE(m_sender->connect());
    EXPECT_FALSE(m_sender->connected());
    const std::vector<LogRecord> records = readLogRecords(m_scratch.file("error.log"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].lines[0], "ME: Establishing connection");
    EXPECT_EQ(records[1].type, "ERROR");
    EXPECT_EQ(records[1].lines[0].rfind("ME: Connection failed: ", 0), 0u) << records[1].lines[0];
    EXPECT_NE(records[1].lines[0].find("/nonexistent/modem"), std::string::npos) << records[1].lines[0];
}

TEST(ModemAnswers, MatchAndCut) {
    EXPECT_TRUE(SmsSenderMe::matchResponse("+CPIN: READY", "+CPIN:"));
    EXPECT_TRUE(SmsSenderMe::matchResponse("OK", "OK"));
    EXPECT_FALSE(SmsSenderMe::matchResponse("+CPIN", "+CPIN:"));
    EXPECT_FALSE(SmsSenderMe::matchResponse("", "OK"));
    EXPECT_FALSE(SmsSenderMe::matchResponse("+CME ERROR: 16", "+CPIN:"));
    EXPECT_EQ(SmsSenderMe::cutResponse("+CPIN: SIM PIN \r", "+CPIN:"), "SIM PIN");
    EXPECT_EQ(SmsSenderMe::cutResponse("+CPIN:", "+CPIN:"), "");
    EXPECT_EQ(SmsSenderMe::cutResponse("OK", "+CPIN:"), "");
}

}  // namespace
