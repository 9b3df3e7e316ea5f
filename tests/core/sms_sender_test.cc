// The log records every sender writes, with the hiding flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_support.h"
#include "logger.h"
#include "sms_sender.h"

using namespace coretest;

namespace {

typedef std::vector<std::string> Lines;

class SenderRecordTest : public ::testing::Test {
protected:
    SenderRecordTest()
        : m_errorLog("ErrorLog", m_scratch.file("error.log").c_str()),
          m_accessLog("AccessLog", m_scratch.file("access.log").c_str()),
          m_receiveLog("ReceiveLog", m_scratch.file("receive.log").c_str()),
          m_sender("Sender thread(TEST)", m_parts.context(&m_errorLog, &m_accessLog, &m_receiveLog)) {}

    // The one record in `file`.
    LogRecord only(const char* file) {
        std::vector<LogRecord> records = readLogRecords(m_scratch.file(file));
        if (records.size() != 1) {
            ADD_FAILURE() << file << " holds " << records.size() << " records";
            return LogRecord();
        }
        return records[0];
    }

    void hideEverything() {
        m_sender.setAccessLogHideIp(true);
        m_sender.setAccessLogHideDestinationAddress(true);
        m_sender.setAccessLogHideUserData(true);
        m_sender.setAccessLogHideEmail(true);
        m_sender.setErrorLogHideDestinationAddress(true);
        m_sender.setErrorLogHideUserData(true);
        m_sender.setReceiveLogHideOriginatingAddress(true);
        m_sender.setReceiveLogHideDestinationAddress(true);
        m_sender.setReceiveLogHideUserData(true);
    }

    TestParts m_parts;
    ScratchDir m_scratch;
    Logger m_errorLog;
    Logger m_accessLog;
    Logger m_receiveLog;
    TestSender m_sender;
    Sms m_withMail{std::string("+420777111222"), "", "Hello\tworld", "192.0.2.7", true, "user@example.org"};
    Sms m_withoutMail{std::string("777111222"), "", "plain", "192.0.2.8", false, ""};
};

TEST_F(SenderRecordTest, SentRecordWithAndWithoutNotificationAddress) {
    m_sender.writeSmsToLog("Send SMS requested", m_withMail, &m_accessLog, 'i');
    m_sender.writeSmsToLog("Send SMS requested", m_withoutMail, &m_accessLog, 'i');
    std::vector<LogRecord> records = readLogRecords(m_scratch.file("access.log"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].type, "INFO");
    EXPECT_EQ(records[0].lines,
              (Lines{"Send SMS requested", "IP Address: 192.0.2.7", "Destination Address: +420777111222",
                     "User Data: Hello\\tworld", "Notification e-mail: user@example.org", "OnDisplay: Yes"}));
    EXPECT_EQ(records[1].lines, (Lines{"Send SMS requested", "IP Address: 192.0.2.8", "Destination Address: 777111222",
                                       "User Data: plain", "OnDisplay: No"}));
    EXPECT_FALSE(fileExists(m_scratch.file("error.log")));
}

TEST_F(SenderRecordTest, SentRecordWithEveryValueHidden) {
    hideEverything();
    m_sender.writeSmsToLog("Send SMS requested", m_withMail, &m_accessLog, 'i');
    m_sender.writeSmsToLog("SMS was not acknowledged", m_withMail, &m_errorLog, 'e');
    const Lines hidden = {"IP Address: <hidden>", "Destination Address: <hidden>", "User Data: <hidden>",
                          "Notification e-mail: <hidden>", "OnDisplay: Yes"};
    LogRecord access = only("access.log");
    EXPECT_EQ(access.type, "INFO");
    EXPECT_EQ(Lines(access.lines.begin() + 1, access.lines.end()), hidden);
    LogRecord error = only("error.log");
    EXPECT_EQ(error.type, "ERROR");
    EXPECT_EQ(error.lines.front(), "SMS was not acknowledged");
    EXPECT_EQ(Lines(error.lines.begin() + 1, error.lines.end()), hidden);
}

// The destination and the text follow the flags of the log written to; the
// client address and the e-mail address always the access log's.
TEST_F(SenderRecordTest, EachLogUsesItsOwnFlagsButTheAccessLogsForIpAndEmail) {
    m_sender.setAccessLogHideIp(true);
    m_sender.setAccessLogHideDestinationAddress(true);
    m_sender.setAccessLogHideUserData(true);
    m_sender.setAccessLogHideEmail(true);
    m_sender.writeSmsToLog("Send SMS requested but error occured: refused", m_withMail, &m_errorLog, 'e');
    EXPECT_EQ(only("error.log").lines, (Lines{"Send SMS requested but error occured: refused", "IP Address: <hidden>",
                                              "Destination Address: +420777111222", "User Data: Hello\\tworld",
                                              "Notification e-mail: <hidden>", "OnDisplay: Yes"}));

    TestSender errorFlagsOnly("Sender thread(TEST2)", m_parts.context(&m_errorLog, &m_accessLog, &m_receiveLog));
    errorFlagsOnly.setErrorLogHideDestinationAddress(true);
    errorFlagsOnly.setErrorLogHideUserData(true);
    errorFlagsOnly.writeSmsToLog("Send SMS requested", m_withMail, &m_accessLog, 'i');
    EXPECT_EQ(only("access.log").lines,
              (Lines{"Send SMS requested", "IP Address: 192.0.2.7", "Destination Address: +420777111222",
                     "User Data: Hello\\tworld", "Notification e-mail: user@example.org", "OnDisplay: Yes"}));
    // The resubmission record goes to the error log with type 'i'.
    errorFlagsOnly.writeSmsToLog("SMS was not acknowledged during last 15s, it will be send again.", m_withoutMail,
                                 &m_errorLog, 'i');
    std::vector<LogRecord> errors = readLogRecords(m_scratch.file("error.log"));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1].type, "INFO");
    EXPECT_EQ(errors[1].lines,
              (Lines{"SMS was not acknowledged during last 15s, it will be send again.", "IP Address: 192.0.2.8",
                     "Destination Address: <hidden>", "User Data: <hidden>", "OnDisplay: No"}));
}

TEST_F(SenderRecordTest, ReceivedRecord) {
    m_sender.writeRecvSmsToLog("SMS received", "+420600111222", "+420600999888", "+420602909909", "Ahoj svete",
                               "07.05.2012 15:30:00", &m_receiveLog);
    hideEverything();
    m_sender.writeRecvSmsToLog("SMS received", "+420600111222", "+420600999888", "+420602909909", "Ahoj",
                               "07.05.2012 15:30:00", &m_receiveLog);
    m_sender.writeRecvSmsToLog("SMS received", "", "", "", "", "", &m_receiveLog);
    std::vector<LogRecord> records = readLogRecords(m_scratch.file("receive.log"));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].type, "INFO");
    EXPECT_EQ(records[0].lines,
              (Lines{"SMS received", "SC Address: +420602909909", "Originating Address: +420600111222",
                     "Destination Address: +420600999888", "Timestamp: 07.05.2012 15:30:00", "User data: Ahoj svete"}));
    EXPECT_EQ(records[1].lines,
              (Lines{"SMS received", "SC Address: +420602909909", "Originating Address: <hidden>",
                     "Destination Address: +420600999888", "Timestamp: 07.05.2012 15:30:00", "User data: <hidden>"}));
    EXPECT_EQ(records[2].lines,
              (Lines{"SMS received", "Originating Address: <hidden>", "Timestamp: ", "User data: <hidden>"}));
}

TEST_F(SenderRecordTest, NotificationRecord) {
    m_sender.writeNotificationToLog("Status Report received", "600000001", "+420777111222", "Hello", "user@example.org",
                                    "07.05.2012 15:30:00", "07.05.2012 15:30:05", 0, "Delivered", &m_receiveLog);
    m_sender.writeNotificationToLog("Status Report received", "600000001", "+420777111222", "", "",
                                    "01.01.2020 00:00:00", "", -3, "", &m_receiveLog);
    m_sender.setReceiveLogHideDestinationAddress(true);
    m_sender.setReceiveLogHideUserData(true);
    m_sender.setAccessLogHideEmail(true);
    m_sender.writeNotificationToLog("Status Report received", "600000001", "+420777111222", "Hello", "user@example.org",
                                    "07.05.2012 15:30:00", "07.05.2012 15:30:05", 2, "Not delivered", &m_receiveLog);
    std::vector<LogRecord> records = readLogRecords(m_scratch.file("receive.log"));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].type, "INFO");
    EXPECT_EQ(records[0].lines,
              (Lines{"Status Report received", "Destination Address: +420777111222", "User Data: Hello",
                     "Service Centre Time Stamp: 07.05.2012 15:30:00", "Discharge Time: 07.05.2012 15:30:05",
                     "Notification e-mail: user@example.org", "Status Code: 0", "Status Description: Delivered"}));
    EXPECT_EQ(records[1].lines, (Lines{"Status Report received", "Destination Address: +420777111222",
                                       "User Data: ", "Service Centre Time Stamp: 01.01.2020 00:00:00",
                                       "Discharge Time: ", "Status Code: -3", "Status Description: "}));
    EXPECT_EQ(records[2].lines,
              (Lines{"Status Report received", "Destination Address: <hidden>", "User Data: <hidden>",
                     "Service Centre Time Stamp: 07.05.2012 15:30:00", "Discharge Time: 07.05.2012 15:30:05",
                     "Notification e-mail: <hidden>", "Status Code: 2", "Status Description: Not delivered"}));
}

// A value with a line feed or another control character stays on its own
// line, escaped, so it can never forge a record or a line of one.
TEST_F(SenderRecordTest, ControlCharactersInValuesAreEscaped) {
    Sms forged{std::string("777\n2020-01-01 00:00:00,000 INFO     - forged"),
               "",
               "Hi\nUser Data: x\r\x01\\",
               "10.0.0.1\nIP Address: 1.2.3.4",
               false,
               "a@b.c\nOnDisplay: Yes"};
    m_sender.writeSmsToLog("Send SMS requested", forged, &m_accessLog, 'i');
    EXPECT_EQ(only("access.log").lines, (Lines{"Send SMS requested", "IP Address: 10.0.0.1\\nIP Address: 1.2.3.4",
                                               "Destination Address: 777\\n2020-01-01 00:00:00,000 INFO     - forged",
                                               "User Data: Hi\\nUser Data: x\\r\\x01\\\\",
                                               "Notification e-mail: a@b.c\\nOnDisplay: Yes", "OnDisplay: No"}));
    m_sender.writeRecvSmsToLog("SMS received", "+420\n1", "+420\n2", "+420\n3", "line\nline", "07.05.2012\n",
                               &m_receiveLog);
    m_sender.writeNotificationToLog("Status Report received", "", "+420\n4", "t\nt", "e\n@x", "s\n", "d\n", 0, "desc\n",
                                    &m_receiveLog);
    std::vector<LogRecord> records = readLogRecords(m_scratch.file("receive.log"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].lines,
              (Lines{"SMS received", "SC Address: +420\\n3", "Originating Address: +420\\n1",
                     "Destination Address: +420\\n2", "Timestamp: 07.05.2012\\n", "User data: line\\nline"}));
    EXPECT_EQ(records[1].lines,
              (Lines{"Status Report received", "Destination Address: +420\\n4", "User Data: t\\nt",
                     "Service Centre Time Stamp: s\\n", "Discharge Time: d\\n", "Notification e-mail: e\\n@x",
                     "Status Code: 0", "Status Description: desc\\n"}));
}

TEST_F(SenderRecordTest, ActiveFlagAndLock) {
    EXPECT_FALSE(m_sender.active());
    m_sender.start();
    EXPECT_TRUE(m_sender.active());
    m_sender.stop();
    EXPECT_FALSE(m_sender.active());

    // reconnect() waits while someone holds the sender lock.
    std::atomic<bool> reconnected{false};
    m_sender.m_reconnectResult = true;
    m_sender.lock();
    std::thread manager([&] { reconnected = m_sender.reconnect(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_sender.m_reconnects, 0);
    m_sender.unlock();
    manager.join();
    EXPECT_TRUE(reconnected);
    EXPECT_TRUE(m_sender.connected());
}

}  // namespace
