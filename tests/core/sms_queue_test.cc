// The message record and the send queue.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "core_support.h"
#include "process.h"
#include "sms.h"
#include "trace.h"

using namespace coretest;

namespace {

class SmsQueueTest : public ::testing::Test {
protected:
    StopSignal m_stop;
    ScratchDir m_scratch;
};

void expectSms(const Sms& sms, const char* target, const char* source, const char* message, const char* remoteAddr,
               bool onDisplay, const char* mailTo) {
    EXPECT_STREQ(sms.target(), target);
    EXPECT_STREQ(sms.source(), source);
    EXPECT_STREQ(sms.message(), message);
    EXPECT_STREQ(sms.remoteAddr(), remoteAddr);
    EXPECT_EQ(sms.onDisplay(), onDisplay);
    EXPECT_STREQ(sms.mailTo(), mailTo);
}

TEST_F(SmsQueueTest, RecordConstructorsAndTrace) {
    StdoutCapture capture(m_scratch.file("stdout"));
    Sms plain;
    expectSms(plain, "", "", "", "", false, "");

    Sms traced("+420777111222", "src", "hello there", "10.0.0.7", true, "a@example.org");
    expectSms(traced, "+420777111222", "src", "hello there", "10.0.0.7", true, "a@example.org");
    Sms nulls(static_cast<const char*>(nullptr), nullptr, nullptr, nullptr, false, nullptr);
    expectSms(nulls, "", "", "", "", false, "");
    // The string form is the quiet one.
    Sms quiet(std::string("123"), std::string(), std::string("text"), std::string("::1"), false,
              std::string("b@example.org"));
    expectSms(quiet, "123", "", "text", "::1", false, "b@example.org");

    Sms copy = traced;
    copy = quiet;
    expectSms(traced, "+420777111222", "src", "hello there", "10.0.0.7", true, "a@example.org");

    std::vector<std::string> expected = {
        "Sms::Sms( '+420777111222', 'src', 'hello there', '10.0.0.7', ON DISPLAY )",
        "Sms::Sms( '(null)', '(null)', '(null)', '(null)', NORMAL )",
    };
    EXPECT_EQ(capture.lines(), expected);
}

// Every part of one text has the same concatenation reference: from the
// first part's store id, or the one the submission gave an unstored text.
TEST(SmsConcatenationReference, SameForEveryPartOfOneText) {
    Sms::Tracking tracking;
    tracking.parts = 3;
    tracking.reference = 7;
    for (int part = 1; part <= 3; ++part) {
        Sms sms(std::string("1"), std::string(), std::string("x"), std::string(), false, std::string());
        tracking.part = part;
        sms.setTracking(tracking);
        EXPECT_EQ(sms.concatenationReference(), 7) << part;
        sms.setId(0x1FF + static_cast<uint64_t>(part));  // the first part is 0x200
        EXPECT_EQ(sms.concatenationReference(), 0x00) << part;
    }
}

TEST_F(SmsQueueTest, AppendInsertAndTake) {
    StdoutCapture capture(m_scratch.file("stdout"));
    SmsQueMemory queue(m_stop);
    Sms untouched(std::string("keep"), "s", "m", "ip", true, "mail");
    EXPECT_FALSE(queue.getSms(untouched));
    expectSms(untouched, "keep", "s", "m", "ip", true, "mail");
    EXPECT_EQ(queue.size(), 0);

    Sms first(std::string("1"), "src", "one", "ip1", false, "");
    Sms second(std::string("2"), "src", "two", "ip2", false, "");
    Sms retry(std::string("3"), "src", "three", "ip3", true, "x@example.org");
    EXPECT_EQ(queue.appendSms(first), 1);
    EXPECT_EQ(queue.appendSms(second), 2);
    EXPECT_EQ(queue.insertSms(retry), 3);
    EXPECT_EQ(queue.size(), 3);

    Sms taken;
    ASSERT_TRUE(queue.getSms(taken));
    expectSms(taken, "3", "src", "three", "ip3", true, "x@example.org");
    ASSERT_TRUE(queue.getSms(taken));
    EXPECT_STREQ(taken.message(), "one");
    ASSERT_TRUE(queue.getSms(taken));
    EXPECT_STREQ(taken.message(), "two");
    EXPECT_FALSE(queue.getSms(taken));
    EXPECT_STREQ(taken.message(), "two");

    const std::string id = std::to_string(threadId());
    std::vector<std::string> expected = {
        id + ": SmsQue: appendSms( 1, src, one, ip1 )",   id + ": SmsQueMemory: appendSmsSafe( 1, src, one, ip1 )",
        id + ": SmsQue: appendSms( 2, src, two, ip2 )",   id + ": SmsQueMemory: appendSmsSafe( 2, src, two, ip2 )",
        id + ": SmsQue: insertSms( 3, src, three, ip3 )", id + ": SmsQueMemory: insertSmsSafe( 3, src, three, ip3 )",
    };
    EXPECT_EQ(capture.lines(), expected);
}

// appendSms() answers the position its message took under the lock; taking
// the messages afterwards must give them back in exactly that order.
TEST_F(SmsQueueTest, ConcurrentAppendsComeOutInLockOrder) {
    StdoutCapture capture(m_scratch.file("stdout"));
    SmsQueMemory queue(m_stop);
    const int threads = 4;
    const int perThread = 300;
    std::vector<std::map<int, int>> positions(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int n = 0; n < perThread; ++n) {
                Sms sms(std::to_string(t), "", std::to_string(n), "", false, "");
                positions[t][n] = queue.appendSms(sms);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    ASSERT_EQ(queue.size(), threads * perThread);

    std::vector<int> nextOfThread(threads, 0);
    for (int position = 1; position <= threads * perThread; ++position) {
        Sms sms;
        ASSERT_TRUE(queue.getSms(sms));
        const int t = std::stoi(sms.target());
        const int n = std::stoi(sms.message());
        EXPECT_EQ(positions[t][n], position);
        EXPECT_EQ(n, nextOfThread[t]++) << "messages of one thread overtook each other";
    }
    Sms none;
    EXPECT_FALSE(queue.getSms(none));
}

TEST_F(SmsQueueTest, WaitForSmsReturnsAtOnceWhenNotEmpty) {
    StdoutCapture capture(m_scratch.file("stdout"));
    SmsQueMemory queue(m_stop);
    Sms sms(std::string("1"), "", "x", "", false, "");
    queue.appendSms(sms);
    queue.waitForSms();
    EXPECT_EQ(queue.size(), 1);
    EXPECT_FALSE(capture.contains("waiting for SMS"));
    EXPECT_TRUE(capture.contains(std::to_string(threadId()) + ": SmsQue: que length: 1\n"));
}

TEST_F(SmsQueueTest, WaitForSmsWakesOnAppend) {
    StdoutCapture capture(m_scratch.file("stdout"));
    SmsQueMemory queue(m_stop);
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        queue.waitForSms();
        returned = true;
    });
    ASSERT_TRUE(eventually([&] { return capture.contains("SmsQue: waiting for SMS\n"); }));
    Sms sms(std::string("1"), "", "x", "", false, "");
    queue.appendSms(sms);
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(queue.size(), 1);
    EXPECT_TRUE(capture.contains("SmsQue: que length: 1\n"));
}

TEST_F(SmsQueueTest, WaitForSmsReturnsOnShutdownAfterAlarm) {
    StdoutCapture capture(m_scratch.file("stdout"));
    SmsQueMemory queue(m_stop);
    std::thread waiter([&] { queue.waitForSms(); });
    ASSERT_TRUE(eventually([&] { return capture.contains("SmsQue: waiting for SMS\n"); }));
    m_stop.requestStop();
    queue.alarm();
    waiter.join();
    EXPECT_EQ(queue.size(), 0);
    EXPECT_TRUE(capture.contains(std::to_string(threadId()) + ": SmsQue: alarm\n"));
    EXPECT_TRUE(capture.contains("SmsQue: que length: 0\n"));
}

// A wait far longer than the test's own time limit: it can only pass when
// the message, or the stop, ends the wait.
TEST_F(SmsQueueTest, TimedWaitEndsOnMessageOrShutdown) {
    StdoutCapture capture(m_scratch.file("stdout"));
    SmsQueMemory queue(m_stop);
    const long longerThanTheTest = 3600L * 1000L;

    EXPECT_FALSE(queue.waitForSmsFor(20));
    EXPECT_FALSE(queue.waitForSmsFor(0));

    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Sms sms(std::string("1"), "", "x", "", false, "");
        queue.appendSms(sms);
    });
    EXPECT_TRUE(queue.waitForSmsFor(longerThanTheTest));
    producer.join();
    EXPECT_TRUE(queue.waitForSmsFor(longerThanTheTest));
    Sms taken;
    ASSERT_TRUE(queue.getSms(taken));

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_stop.requestStop();
        queue.alarm();
    });
    EXPECT_FALSE(queue.waitForSmsFor(longerThanTheTest));
    stopper.join();
}

// The stop flag set without an alarm still ends a wait: the wake-up that
// races with the waiter's look at the flag is not needed.
TEST_F(SmsQueueTest, ShutdownWithoutAlarmStillEndsTheWait) {
    StdoutCapture capture(m_scratch.file("stdout"));
    SmsQueMemory queue(m_stop);
    std::thread waiter([&] { queue.waitForSms(); });
    ASSERT_TRUE(eventually([&] { return capture.contains("SmsQue: waiting for SMS\n"); }));
    m_stop.requestStop();
    waiter.join();
    EXPECT_EQ(queue.size(), 0);
}

}  // namespace
