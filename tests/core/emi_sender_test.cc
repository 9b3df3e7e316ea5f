// The SMSC sender's pass against a scripted SMSC on loopback: submission,
// results, notifications, incoming messages, the window and the throughput,
// giving up the connection, and two senders sharing the registry. The
// sender's thread is not started: the test runs its passes one at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core_support.h"
#include "emailer.h"
#include "emi_peer.h"
#include "globals.h"
#include "logger.h"
#include "sent_message.h"
#include "sms.h"
#include "sms_processing.h"
#include "sqlite_store.h"
#include "sms_sender_emi.h"
#include "store.h"

using namespace coretest;
using emitest::frame;

// Runs the sender's thread loop one pass at a time (a friend of the sender).
class EmiSenderPasses {
public:
    explicit EmiSenderPasses(SmsSenderEmi& sender) : m_sender(sender) {}
    // One pass; false when the loop would end.
    bool once() { return m_sender.pass(m_idleCounter); }
    // Passes until `condition` holds, at most `limit` of them (an idle pass
    // waits at most a second, less when the SMSC writes or a message is
    // queued), and none once the sender is inactive (it would wait for the
    // manager, which these tests do not run); the last answer of `condition`.
    bool until(const std::function<bool()>& condition, int limit = 10) {
        for (int i = 0; i < limit && !condition() && m_sender.active(); ++i) once();
        return condition();
    }

private:
    SmsSenderEmi& m_sender;
    int m_idleCounter = 0;
};

namespace {

typedef std::vector<std::string> Lines;

const char* const laId = "12345";
const char* const originatingAddress = "4200000";

// The UCP fields of a frame (between the operation type and the checksum).
Lines fields(const std::string& wire) {
    Lines out;
    if (wire.size() < 4) return out;
    const std::string body = wire.substr(1, wire.size() - 4);  // STX ... CRC ETX
    size_t start = 0;
    for (int skipped = 0; skipped < 4; ++skipped) start = body.find('/', start) + 1;
    for (;;) {
        const size_t slash = body.find('/', start);
        if (slash == std::string::npos) break;
        out.push_back(body.substr(start, slash - start));
        start = slash + 1;
    }
    return out;
}

// The header of a frame: transaction id, O or R, operation type.
std::string header(const std::string& wire) {
    if (wire.size() < 15) return std::string();
    const std::string body = wire.substr(1);
    return body.substr(0, 2) + "/" + body.substr(9, 1) + "/" + body.substr(11, 2);
}

int transactionId(const std::string& wire) { return wire.size() < 3 ? -1 : std::stoi(wire.substr(1, 2)); }

std::string hex(const std::string& text) {
    std::string out;
    char digits[3];
    for (unsigned char c : text) {
        snprintf(digits, sizeof digits, "%02X", c);
        out += digits;
    }
    return out;
}

// An operation of the SMSC with the given fields (1-based) of 33.
std::string operation(int trn, int ot, const std::vector<std::pair<int, std::string>>& set) {
    Lines f(33);
    for (const auto& field : set) f[field.first - 1] = field.second;
    std::string data;
    for (const std::string& value : f) data += value + "/";
    return frame(trn, 'O', ot, data);
}

std::string ack(int trn, const std::string& sysMsg = "") { return frame(trn, 'R', 51, "A//" + sysMsg + "/"); }
std::string nack(int trn, const std::string& code) { return frame(trn, 'R', 51, "N/" + code + "//"); }

// The real clocks ahead by the steps the test has taken: the sender's
// deadlines come that much sooner, without waiting for them. The monotonic
// clock can also be made to run fast: each reading moves it on.
class SteppedClock : public SenderClock {
public:
    time_t now() const override { return time(nullptr) + m_ahead; }
    std::chrono::steady_clock::time_point monotonicNow() const override {
        m_fastForward += m_stepPerReading;
        return std::chrono::steady_clock::now() + std::chrono::seconds(m_ahead) +
               std::chrono::milliseconds(m_fastForward.load());
    }
    void advance(int seconds) { m_ahead += seconds; }
    void runMonotonicFast(std::chrono::milliseconds perReading) { m_stepPerReading = perReading.count(); }

private:
    std::atomic<int> m_ahead{0};
    std::atomic<long> m_stepPerReading{0};
    mutable std::atomic<long> m_fastForward{0};
};

// Keeps what the sender records of the SMSC's results: each recordResults()
// call with the number of messages counted sent when it came; such a call
// fails while `failing`, a notification while `failingNotifications`. Everything else is taken and forgotten. The
// test's thread runs the passes, so nothing here is shared.
class ResultRecordingStore : public Store {
public:
    explicit ResultRecordingStore(const Counters& counters) : m_counters(counters) {}

    void recordResults(const std::vector<SmscResult>& results) override {
        calls.push_back(results);
        sentWhenRecorded.push_back(m_counters.sentMessages.load());
        if (failing) throw StoreError("Store test: disk I/O error");
    }

    int64_t enqueue(std::vector<Sms>&, const std::vector<AnswerToKeep*>&) override { return 0; }
    std::vector<Sms> nextQueued(int64_t&, size_t) override { return {}; }
    long queuedCount() override { return 0; }
    int64_t requeue(uint64_t, bool) override { return 0; }
    void markSubmitted(uint64_t, const std::string&, int, int, time_t) override {}
    void markAcknowledged(uint64_t, const std::string&, bool, time_t) override {}
    void markRefused(uint64_t, int, bool, time_t) override {}
    bool markNotified(uint64_t, int, time_t) override {
        if (failingNotifications) throw StoreError("Store test: disk I/O error");
        return true;
    }
    bool markExpired(uint64_t, time_t) override { return true; }
    long requeueUnacknowledged() override { return 0; }
    std::vector<SubmittedMessage> awaitingNotification() override { return {}; }
    long sweepFinished(time_t) override { return 0; }
    bool markNotifiedAndConfirm(uint64_t, int, time_t, StoredConfirmation&) override {
        if (failingNotifications) throw StoreError("Store test: disk I/O error");
        return true;
    }
    void markConfirmationFailed(uint64_t, int) override {}
    void markConfirmationDone(uint64_t, bool, int, time_t) override {}
    std::vector<StoredConfirmation> pendingConfirmations() override { return {}; }
    uint64_t storeReceived(const std::vector<std::pair<std::string, std::string>>&, time_t) override { return 0; }
    void markReceivedProcessed(uint64_t, time_t) override {}
    std::vector<StoredReceived> unprocessedReceived() override { return {}; }

    std::vector<std::vector<SmscResult>> calls;
    std::vector<long> sentWhenRecorded;
    bool failing = false;
    bool failingNotifications = false;

private:
    const Counters& m_counters;
};

// What a sender is built with; the defaults are the configuration's.
struct SenderSettings {
    int windowSize = 1;
    int throughput = 100;
    const char* name = "Sender thread(EMI)";
};

class EmiSenderTest : public ::testing::Test {
protected:
    EmiSenderTest()
        : m_capture(m_scratch.file("stdout")),
          m_errorLog("ErrorLog", m_scratch.file("error.log").c_str()),
          m_accessLog("AccessLog", m_scratch.file("access.log").c_str()),
          m_receiveLog("ReceiveLog", m_scratch.file("receive.log").c_str()),
          m_emailer("localhost", "25", "kst@example.org", "subject", "body", nullptr, m_parts.counters,
                    m_parts.stopSignal),
          m_processing(m_parts.stopSignal) {}

    void TearDown() override { m_senders.clear(); }

    // The one place a sender and its collaborators come together: the send
    // queue, the registry, the counters, the e-mailer, the processor, the
    // stop signal and the loggers. Not connected yet; the fixture owns it.
    SmsSenderEmi& makeSender(const SenderSettings& settings = SenderSettings()) {
        SenderContext context = m_parts.context(&m_errorLog, &m_accessLog, &m_receiveLog, &m_emailer, &m_processing);
        context.clock = &m_clock;
        if (m_useStore) context.store = &m_store;
        m_senders.push_back(std::make_unique<SmsSenderEmi>("127.0.0.1", m_smsc.port, laId, "secret",
                                                           settings.windowSize, settings.throughput, originatingAddress,
                                                           "0123", 595, context));
        m_senders.back()->SetName(settings.name);
        return *m_senders.back();
    }

    // A sender logged in to the scripted SMSC and made active.
    SmsSenderEmi& connectedSender(const SenderSettings& settings = SenderSettings()) {
        SmsSenderEmi& sender = makeSender(settings);
        bool connected = false;
        m_smsc.login([&] { connected = sender.connect(); });
        EXPECT_TRUE(connected);
        sender.start();
        return sender;
    }

    void queue(const std::string& target, const std::string& text, const std::string& mailTo = "") {
        Sms sms(target, "", text, "192.0.2.7", false, mailTo);
        m_queue.appendSms(sms);
    }

    Lines queuedTexts() {
        Lines texts;
        Sms sms;
        while (m_queue.getSms(sms)) texts.push_back(sms.message());
        return texts;
    }

    std::vector<SentMessage> entriesOf(const SmsSender& sender) {
        std::vector<SentMessage> entries;
        for (const SentMessage& entry : m_parts.sentMessages.snapshot()) {
            if (entry.m_owner == &sender) entries.push_back(entry);
        }
        return entries;
    }

    std::vector<LogRecord> records(const char* file) {
        return fileExists(m_scratch.file(file)) ? readLogRecords(m_scratch.file(file)) : std::vector<LogRecord>();
    }

    // The submission the SMSC reads next (at most 5 s).
    std::string nextSubmission() {
        const std::string wire = m_smsc.next();
        EXPECT_EQ(header(wire).substr(3), "O/51") << wire;
        return wire;
    }

    ScratchDir m_scratch;
    StdoutCapture m_capture;
    SteppedClock m_clock;
    Logger m_errorLog;
    Logger m_accessLog;
    Logger m_receiveLog;
    TestParts m_parts;
    SmsQueMemory& m_queue = m_parts.queue;
    // Given to the senders made while m_useStore.
    ResultRecordingStore m_store{m_parts.counters};
    bool m_useStore = false;
    Emailer m_emailer;
    SmsProcessing m_processing;
    emitest::Smsc m_smsc;
    // Declared last: destroyed (disconnected) before the peer and the
    // collaborators.
    std::vector<std::unique_ptr<SmsSenderEmi>> m_senders;
};

TEST_F(EmiSenderTest, LogsInAndSubmitsAQueuedMessageWithItsFields) {
    SmsSenderEmi& sender = connectedSender();
    EXPECT_EQ(header(m_smsc.loginFrame).substr(3), "O/60");
    EXPECT_EQ(fields(m_smsc.loginFrame).at(0), laId);
    EXPECT_TRUE(sender.connected());

    queue("00420777123456", "Hello", "user@example.org");
    EmiSenderPasses passes(sender);
    ASSERT_TRUE(passes.once());
    const std::string wire = nextSubmission();
    const Lines f = fields(wire);
    ASSERT_GE(f.size(), 21u) << wire;
    EXPECT_EQ(f[0], "00420777123456") << "recipient";
    EXPECT_EQ(f[1], originatingAddress) << "originator";
    EXPECT_EQ(f[3], "1") << "notification requested for a message with an e-mail address";
    EXPECT_EQ(f[5], "1") << "delivery notification";
    EXPECT_EQ(f[18], "3") << "alphanumeric message";
    EXPECT_EQ(f[20], hex("Hello"));

    EXPECT_EQ(m_queue.size(), 0);
    const std::vector<SentMessage> entries = entriesOf(sender);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].m_acknowledged);
    const auto id = static_cast<unsigned char>(transactionId(wire));
    EXPECT_EQ(entries[0].m_awaitedReferences, std::vector<unsigned char>{id});
    EXPECT_EQ(m_parts.counters.sentMessages, 0) << "counted only when the SMSC accepts it";
    EXPECT_TRUE(records("access.log").empty());
}

// An acknowledgement counts the message and records it; its notification,
// found by the key of the acknowledgement, becomes a confirmation e-mail.
TEST_F(EmiSenderTest, AcknowledgementAndNotificationConfirmTheMessage) {
    SmsSenderEmi& sender = connectedSender();
    EmiSenderPasses passes(sender);
    queue("00420777123456", "Hello", "user@example.org");
    passes.once();
    const int trn = transactionId(nextSubmission());

    const std::string key = "00420777123456:081226141500";
    ASSERT_TRUE(m_smsc.send(ack(trn, key)));
    ASSERT_TRUE(passes.until([&] { return m_parts.counters.sentMessages == 1; }));
    std::vector<SentMessage> entries = entriesOf(sender);
    ASSERT_EQ(entries.size(), 1u) << "an acknowledged message with an e-mail address waits for its notification";
    EXPECT_TRUE(entries[0].m_acknowledged);
    EXPECT_EQ(entries[0].m_sysMsg, key);
    std::vector<LogRecord> access = records("access.log");
    ASSERT_EQ(access.size(), 1u);
    EXPECT_EQ(access[0].lines.at(0), "Send SMS requested");
    EXPECT_EQ(access[0].lines.at(2), "Destination Address: 00420777123456");

    // A notification for another key confirms nothing.
    ASSERT_TRUE(m_smsc.send(operation(
        7, 53,
        {{1, "4200000"}, {2, "00420777123456"}, {15, "081226141459"}, {16, "0"}, {18, "081226141530"}, {19, "3"}})));
    ASSERT_TRUE(passes.until([&] { return records("receive.log").size() == 1; }));
    EXPECT_EQ(header(m_smsc.next()), "07/R/53");
    EXPECT_EQ(m_emailer.size(), 0);
    EXPECT_EQ(entriesOf(sender).size(), 1u);

    ASSERT_TRUE(m_smsc.send(operation(
        8, 53,
        {{1, "4200000"}, {2, "00420777123456"}, {15, "081226141500"}, {16, "0"}, {18, "081226141530"}, {19, "3"}})));
    ASSERT_TRUE(passes.until([&] { return m_emailer.size() == 1; }));
    EXPECT_EQ(header(m_smsc.next()), "08/R/53");
    // No thread of the e-mailer runs: the test takes the confirmation itself.
    const Confirmation confirmation = m_emailer.get();
    EXPECT_EQ(confirmation.m_da, "00420777123456");
    EXPECT_EQ(confirmation.m_ud, "Hello");
    EXPECT_EQ(confirmation.m_email, "user@example.org");
    EXPECT_EQ(confirmation.m_date, "08.12.2026");
    EXPECT_EQ(confirmation.m_time, "14:15:30");
    EXPECT_TRUE(entriesOf(sender).empty());
    const std::vector<LogRecord> received = records("receive.log");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].lines.at(0), "Status Report received");
    EXPECT_TRUE(sender.connected());
}

TEST_F(EmiSenderTest, FinalRefusalDropsTheMessageAndTryLaterRefusalKeepsItForARetry) {
    SmsSenderEmi& sender = connectedSender(SenderSettings{2, 100});
    EmiSenderPasses passes(sender);
    queue("00420777000001", "too long");
    queue("00420777000002", "busy");
    ASSERT_TRUE(passes.until([&] { return m_queue.size() == 0; }));
    const int tooLong = transactionId(nextSubmission());
    const int busy = transactionId(nextSubmission());

    ASSERT_TRUE(m_smsc.send(nack(tooLong, "24")));
    ASSERT_TRUE(m_smsc.send(nack(busy, "01")));
    ASSERT_TRUE(passes.until([&] { return records("error.log").size() >= 4; }));

    const std::vector<SentMessage> entries = entriesOf(sender);
    ASSERT_EQ(entries.size(), 1u) << "the final refusal drops its message";
    EXPECT_EQ(std::string(entries[0].m_sms.message()), "busy");
    EXPECT_EQ(entries[0].m_refusals, 1);
    EXPECT_GT(entries[0].m_retryAt, 0);
    EXPECT_TRUE(entries[0].m_awaitedReferences.empty());
    EXPECT_EQ(m_parts.counters.sentMessages, 0);
    EXPECT_TRUE(records("access.log").empty());

    Lines titles;
    for (const LogRecord& record : records("error.log")) titles.push_back(record.type + " " + record.lines.at(0));
    EXPECT_NE(std::find(titles.begin(), titles.end(), "ERROR SMS was not acknowledged: 24 = Message too long"),
              titles.end());
    EXPECT_NE(std::find(titles.begin(), titles.end(),
                        "INFO SMS was not acknowledged: 01 = Checksum error, it will be sent again in 5 s (retry 1 "
                        "of 3)"),
              titles.end())
        << ::testing::PrintToString(titles);
    EXPECT_EQ(m_queue.size(), 0);
    EXPECT_TRUE(sender.connected());
}

// The results read in one pass are recorded in the store together, before
// the sender acts on any of them; when the store fails, the sender gives up
// the connection.
TEST_F(EmiSenderTest, ResultsReadTogetherAreRecordedAtOnceBeforeTheSenderActs) {
    m_useStore = true;
    SmsSenderEmi& sender = connectedSender(SenderSettings{4, 100});
    EmiSenderPasses passes(sender);
    queue("00420777000001", "one", "user@example.org");
    queue("00420777000002", "two");
    queue("00420777000003", "three");
    queue("00420777000004", "four");
    ASSERT_TRUE(passes.until([&] { return m_queue.size() == 0; }));
    std::vector<int> trn;
    for (int i = 0; i < 4; ++i) trn.push_back(transactionId(nextSubmission()));

    const std::string key = "00420777000001:081226141500";
    // In one write, so that they arrive together.
    ASSERT_TRUE(m_smsc.send(ack(trn[0], key) + nack(trn[1], "24") + ack(trn[2])));
    ASSERT_TRUE(passes.until([&] { return m_parts.counters.sentMessages == 2; }));
    ASSERT_EQ(m_store.calls.size(), 1u) << "one transaction for the three results";
    const std::vector<SmscResult>& results = m_store.calls[0];
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(results[0].acknowledged);
    EXPECT_EQ(results[0].sysMsg, key);
    EXPECT_TRUE(results[0].awaitsNotification);
    EXPECT_FALSE(results[1].acknowledged);
    EXPECT_EQ(results[1].errorCode, 24);
    EXPECT_TRUE(results[1].final);
    EXPECT_TRUE(results[2].acknowledged);
    EXPECT_FALSE(results[2].awaitsNotification);
    EXPECT_EQ(m_store.sentWhenRecorded[0], 0) << "recorded before anything was counted";
    EXPECT_EQ(records("access.log").size(), 2u);

    m_store.failing = true;
    ASSERT_TRUE(m_smsc.send(ack(trn[3])));
    ASSERT_TRUE(passes.until([&] { return !sender.connected(); }));
    ASSERT_EQ(m_store.calls.size(), 2u);
    Lines titles;
    for (const LogRecord& record : records("error.log")) titles.push_back(record.lines.at(0));
    EXPECT_NE(std::find(titles.begin(), titles.end(), "Store: cannot record a result: Store test: disk I/O error"),
              titles.end())
        << ::testing::PrintToString(titles);
    // The SMSC has it: it is not sent again on this run.
    EXPECT_EQ(m_parts.counters.sentMessages, 3);
    EXPECT_EQ(m_queue.size(), 0);
}

// A notification the store cannot record is not acknowledged, and its entry
// waits for the SMSC to repeat it: the confirmation is mailed then, once.
TEST_F(EmiSenderTest, NotificationTheStoreCannotRecordWaitsForTheRepetition) {
    m_useStore = true;
    SmsSenderEmi& sender = connectedSender();
    EmiSenderPasses passes(sender);
    queue("00420777123456", "Hello", "user@example.org");
    passes.once();
    const std::string key = "00420777123456:081226141500";
    ASSERT_TRUE(m_smsc.send(ack(transactionId(nextSubmission()), key)));
    ASSERT_TRUE(passes.until([&] { return m_parts.counters.sentMessages == 1; }));
    const uint64_t id = entriesOf(sender).at(0).m_id;
    const std::string notification = operation(
        8, 53,
        {{1, "4200000"}, {2, "00420777123456"}, {15, "081226141500"}, {16, "0"}, {18, "081226141530"}, {19, "3"}});

    m_store.failingNotifications = true;
    ASSERT_TRUE(m_smsc.send(notification));
    ASSERT_TRUE(passes.until([&] { return !sender.connected(); }));
    EXPECT_EQ(m_smsc.next(), "") << "no result, the connection closed";
    EXPECT_EQ(m_emailer.size(), 0);
    std::vector<SentMessage> entries = entriesOf(sender);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].m_id, id);
    EXPECT_EQ(entries[0].m_sysMsg, key);

    m_store.failingNotifications = false;
    bool connected = false;
    m_smsc.login([&] { connected = sender.connect(); });
    ASSERT_TRUE(connected);
    sender.start();
    ASSERT_TRUE(m_smsc.send(notification));
    ASSERT_TRUE(passes.until([&] { return m_emailer.size() == 1; }));
    EXPECT_EQ(header(m_smsc.next()), "08/R/53");
    EXPECT_EQ(m_emailer.get().m_ud, "Hello");
    EXPECT_TRUE(entriesOf(sender).empty());
}

TEST_F(EmiSenderTest, IncomingMessageIsAcknowledgedAndHandedToTheProcessor) {
    SmsSenderEmi& sender = connectedSender();
    EmiSenderPasses passes(sender);
    ASSERT_TRUE(m_smsc.send(
        operation(5, 52, {{1, "4200000"}, {2, "00420601111222"}, {15, "070512153000"}, {19, "3"}, {21, hex("Ahoj")}})));
    ASSERT_TRUE(passes.until([&] { return m_processing.size() == 1; }));
    EXPECT_EQ(header(m_smsc.next()), "05/R/52");
    EXPECT_EQ(m_parts.counters.receivedMessages, 1);
    // No thread of the processor runs: the test takes the message itself.
    std::map<std::string, std::string> variables;
    for (const EnvironmentVariable& variable : m_processing.get()) variables[variable.name()] = variable.value();
    EXPECT_EQ(variables["OA"], "00420601111222");
    EXPECT_EQ(variables["UD"], "Ahoj");
    const std::vector<LogRecord> received = records("receive.log");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].lines.at(0), "SMS received");
    EXPECT_TRUE(sender.connected());
}

// A store that takes no received message (a full disk, say).
class StoreRefusingReceived : public SqliteStore {
public:
    using SqliteStore::SqliteStore;
    uint64_t storeReceived(const std::vector<std::pair<std::string, std::string>>&, time_t) override {
        throw StoreError("Store kstd.db: database or disk is full");
    }
};

// What the store cannot keep is not acknowledged: the SMSC sends it again on
// the next connection.
TEST_F(EmiSenderTest, IncomingMessageTheStoreCannotKeepIsNotAcknowledged) {
    StoreRefusingReceived store(m_scratch.file("kstd.db"), false);
    m_processing.setStore(&store, nullptr);
    SmsSenderEmi& sender = connectedSender();
    EmiSenderPasses passes(sender);
    ASSERT_TRUE(m_smsc.send(
        operation(5, 52, {{1, "4200000"}, {2, "00420601111222"}, {15, "070512153000"}, {19, "3"}, {21, hex("Ahoj")}})));
    ASSERT_TRUE(passes.until([&] { return !sender.connected(); }));
    EXPECT_EQ(m_smsc.next(), "") << "no result, the connection closed";
    EXPECT_EQ(m_processing.size(), 0);
    EXPECT_EQ(m_parts.counters.receivedMessages, 0);
    EXPECT_TRUE(records("receive.log").empty());
    Lines titles;
    for (const LogRecord& record : records("error.log")) titles.push_back(record.type + " " + record.lines.at(0));
    EXPECT_NE(std::find(titles.begin(), titles.end(),
                        "ERROR Store: cannot keep a received message, not acknowledged: Store kstd.db: database or "
                        "disk is full"),
              titles.end())
        << ::testing::PrintToString(titles);
    m_processing.setStore(nullptr, nullptr);
}

// With every id of the window awaiting its result the next message waits in
// the queue, the connection stays, and the result lets it go.
TEST_F(EmiSenderTest, FullWindowHoldsMessagesBackAndKeepsTheConnection) {
    SmsSenderEmi& sender = connectedSender(SenderSettings{1, 100});
    EmiSenderPasses passes(sender);
    queue("00420777000001", "first");
    queue("00420777000002", "second");
    passes.once();
    const int first = transactionId(nextSubmission());
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(passes.once());
    EXPECT_EQ(emitest::drain(m_smsc.peer), "") << "nothing is submitted while the window is full";
    EXPECT_TRUE(sender.connected());
    EXPECT_EQ(m_queue.size(), 1);
    EXPECT_EQ(entriesOf(sender).size(), 1u);

    ASSERT_TRUE(m_smsc.send(ack(first)));
    ASSERT_TRUE(passes.until([&] { return m_queue.size() == 0; }));
    const std::string second = nextSubmission();
    EXPECT_EQ(fields(second).at(20), hex("second"));
    EXPECT_TRUE(sender.connected());
}

// One submission per second: the second message waits for the next second
// while the window has room.
TEST_F(EmiSenderTest, ThroughputHoldsTheNextMessageForTheNextSecond) {
    SmsSenderEmi& sender = connectedSender(SenderSettings{5, 1});
    EmiSenderPasses passes(sender);
    queue("00420777000001", "first");
    queue("00420777000002", "second");
    passes.once();
    nextSubmission();
    passes.once();
    EXPECT_EQ(emitest::drain(m_smsc.peer), "") << "the second's budget is spent";
    EXPECT_EQ(m_queue.size(), 1);
    ASSERT_TRUE(passes.until([&] { return m_queue.size() == 0; }));
    EXPECT_EQ(fields(nextSubmission()).at(20), hex("second"));
    EXPECT_TRUE(sender.connected());
}

// A connection the SMSC closes is given up: the unacknowledged messages go
// back to the end of the queue in the order they were submitted; the
// acknowledged one stays for its notification.
TEST_F(EmiSenderTest, GivingUpTheConnectionReturnsOnlyUnacknowledgedMessagesInOrder) {
    SmsSenderEmi& sender = connectedSender(SenderSettings{3, 100});
    EmiSenderPasses passes(sender);
    for (const char* text : {"one", "two", "three", "four", "five"}) {
        queue("00420777000001", text, "user@example.org");
    }
    ASSERT_TRUE(passes.until([&] { return m_queue.size() == 2; }));
    nextSubmission();
    const int two = transactionId(nextSubmission());
    nextSubmission();
    // The result of "two" frees an id for "four"; "five" stays queued.
    ASSERT_TRUE(m_smsc.send(ack(two, "00420777000001:081226141500")));
    ASSERT_TRUE(passes.until([&] { return m_queue.size() == 1; }));
    EXPECT_EQ(fields(nextSubmission()).at(20), hex("four"));
    EXPECT_EQ(m_parts.counters.sentMessages, 1);

    m_smsc.hangUp();
    ASSERT_TRUE(passes.until([&] { return !sender.connected(); }));
    EXPECT_FALSE(sender.active());
    EXPECT_EQ(queuedTexts(), (Lines{"five", "one", "three", "four"}));
    const std::vector<SentMessage> entries = entriesOf(sender);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::string(entries[0].m_sms.message()), "two");
    EXPECT_TRUE(entries[0].m_acknowledged);
}

// A submission without a result for 15 s is made again with a fresh id; a
// late result of either settles the message once.
TEST_F(EmiSenderTest, MessageWithoutResultIsSubmittedAgainAfter15Seconds) {
    SmsSenderEmi& sender = connectedSender(SenderSettings{2, 100});
    EmiSenderPasses passes(sender);
    queue("00420777000001", "Hello");
    passes.once();
    const int first = transactionId(nextSubmission());

    m_clock.advance(13);
    ASSERT_TRUE(passes.once());
    EXPECT_EQ(emitest::drain(m_smsc.peer), "") << "not submitted again before 15 s";

    m_clock.advance(3);
    ASSERT_TRUE(passes.once());
    const std::string again = nextSubmission();
    const int second = transactionId(again);
    EXPECT_NE(second, first);
    EXPECT_EQ(fields(again).at(20), hex("Hello"));
    std::vector<SentMessage> entries = entriesOf(sender);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].m_awaitedReferences,
              (std::vector<unsigned char>{static_cast<unsigned char>(first), static_cast<unsigned char>(second)}));
    EXPECT_EQ(entries[0].m_counter, 1);
    size_t resubmissionRecords = 0;
    for (const LogRecord& record : records("error.log")) {
        if (record.lines.at(0) == "SMS was not acknowledged during last 15s, it will be send again.") {
            ++resubmissionRecords;
            EXPECT_EQ(record.type, "INFO");
            EXPECT_EQ(record.lines.at(2), "Destination Address: 00420777000001");
        }
    }
    EXPECT_EQ(resubmissionRecords, 1u);

    // Both ids await their results (a full window): no third submission.
    ASSERT_TRUE(m_smsc.send(ack(first)));
    ASSERT_TRUE(passes.until([&] { return m_parts.counters.sentMessages == 1; }));
    ASSERT_TRUE(m_smsc.send(ack(second)));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(passes.once());
    EXPECT_EQ(emitest::drain(m_smsc.peer), "");
    EXPECT_EQ(m_parts.counters.sentMessages, 1) << "the second result settles nothing more";
    EXPECT_EQ(records("access.log").size(), 1u);
    EXPECT_TRUE(entriesOf(sender).empty());
    EXPECT_EQ(m_queue.size(), 0);
    EXPECT_TRUE(sender.connected());
}

// An id without a result for more than 90 s (here: the window is full, so
// the message cannot be submitted again) gives up the connection; the
// message goes back to the queue, once.
TEST_F(EmiSenderTest, ResultOverdueBeyondTheStallLimitGivesUpTheConnection) {
    SmsSenderEmi& sender = connectedSender(SenderSettings{1, 100});
    EmiSenderPasses passes(sender);
    queue("00420777000001", "Hello");
    passes.once();
    const int trn = transactionId(nextSubmission());

    m_clock.advance(60);
    ASSERT_TRUE(passes.once());
    EXPECT_TRUE(sender.connected()) << "60 s is within the limit";
    EXPECT_EQ(emitest::drain(m_smsc.peer), "");

    m_clock.advance(31);
    ASSERT_TRUE(passes.once());
    EXPECT_FALSE(sender.connected());
    EXPECT_FALSE(sender.active());
    EXPECT_EQ(queuedTexts(), Lines{"Hello"});
    EXPECT_TRUE(entriesOf(sender).empty());
    EXPECT_EQ(m_parts.counters.sentMessages, 0);
    Lines stalls;
    for (const LogRecord& record : records("error.log")) {
        if (record.lines.at(0).find(" s, giving up the connection") != std::string::npos) {
            stalls.push_back(record.type + " " + record.lines.at(0));
        }
    }
    ASSERT_EQ(stalls.size(), 1u);
    EXPECT_EQ(stalls[0].rfind("ERROR EMI: No response to trnid = " + std::to_string(trn) + " for 9", 0), 0u)
        << stalls[0];
}

// The stop reads the results already on their way and waits for the others
// only until its deadline (reached at once here: the clock runs fast), then
// records what stayed unanswered.
TEST_F(EmiSenderTest, StopSettlesResultsOnTheirWayAndEndsAtItsDeadline) {
    SmsSenderEmi& sender = connectedSender(SenderSettings{2, 100});
    EmiSenderPasses passes(sender);
    queue("00420777000001", "answered");
    queue("00420777000002", "unanswered");
    ASSERT_TRUE(passes.until([&] { return m_queue.size() == 0; }));
    const int answered = transactionId(nextSubmission());
    nextSubmission();
    ASSERT_TRUE(m_smsc.send(ack(answered)));

    m_clock.runMonotonicFast(std::chrono::milliseconds(500));
    m_parts.stopSignal.requestStop();
    EXPECT_FALSE(passes.once()) << "the thread's loop ends";
    EXPECT_FALSE(sender.connected());
    EXPECT_EQ(m_parts.counters.sentMessages, 1);
    const std::vector<LogRecord> access = records("access.log");
    ASSERT_EQ(access.size(), 1u);
    EXPECT_EQ(access[0].lines.at(3), "User Data: answered");
    const std::vector<LogRecord> errors = records("error.log");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().lines.at(0),
              "EMI: Stopped with 1 submission(s) unanswered and 0 refused message(s) waiting for a retry");
    EXPECT_EQ(m_queue.size(), 0) << "nothing goes back to the queue at the stop";
}

// Both senders keep their entries in the one registry and number their
// submissions from 1 on their own connections: a result for the SMSC
// sender's id settles only its own entry.
TEST_F(EmiSenderTest, ResultSettlesOnlyTheEntryOfTheSenderItCameTo) {
    SmsSenderEmi& other = makeSender(SenderSettings{1, 100, "Sender thread(other)"});
    Sms othersMessage(std::string("00420777999999"), "", "other's", "192.0.2.8", false, "user@example.org");
    m_parts.sentMessages.append(SentMessage(othersMessage, 1, 0, &other));
    m_parts.sentMessages.append(SentMessage(othersMessage, 2, 0, &other));

    SmsSenderEmi& sender = connectedSender(SenderSettings{2, 100});
    EmiSenderPasses passes(sender);
    queue("00420777000001", "mine", "user@example.org");
    queue("00420777000002", "refused");
    ASSERT_TRUE(passes.until([&] { return m_queue.size() == 0; }));
    const int mine = transactionId(nextSubmission());
    const int refused = transactionId(nextSubmission());
    ASSERT_EQ(mine, 1);
    ASSERT_EQ(refused, 2);

    ASSERT_TRUE(m_smsc.send(ack(mine, "00420777000001:081226141500")));
    ASSERT_TRUE(m_smsc.send(nack(refused, "24")));
    ASSERT_TRUE(passes.until([&] { return entriesOf(sender).size() == 1 && entriesOf(sender)[0].m_acknowledged; }));
    EXPECT_EQ(std::string(entriesOf(sender)[0].m_sms.message()), "mine");
    EXPECT_EQ(m_parts.counters.sentMessages, 1);

    const std::vector<SentMessage> others = entriesOf(other);
    ASSERT_EQ(others.size(), 2u) << "the other sender's entries are neither settled nor dropped";
    for (size_t i = 0; i < others.size(); ++i) {
        EXPECT_FALSE(others[i].m_acknowledged);
        EXPECT_EQ(others[i].m_awaitedReferences, std::vector<unsigned char>{static_cast<unsigned char>(i + 1)});
    }
}

}  // namespace
