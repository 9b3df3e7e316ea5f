// The sender manager: election of the active sender, reconnection, the
// statistics, registration and the stop.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core_support.h"
#include "logger.h"
#include "sms_send_manager.h"
#include "trace.h"

using namespace coretest;

namespace {

typedef std::vector<std::string> Lines;

const std::string managerName = "SMS Send Manager";

// A manager whose loop runs one cycle per next() instead of sleeping.
class SteppedManager : public SmsSendManager {
public:
    explicit SteppedManager(StopSignal& stopSignal) : SmsSendManager(stopSignal), m_stop(stopSignal) {
        SetName(managerName.c_str());
    }
    ~SteppedManager() override {
        finish();
        Join();
    }

    // Waits until `cycles` cycles have ended in total.
    bool waitForCycles(int cycles) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_cycles >= cycles; });
    }
    void next() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_released;
        m_changed.notify_all();
    }
    void finish() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop.requestStop();
        m_changed.notify_all();
    }

protected:
    void pauseBetweenCycles() override {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_cycles;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released >= m_cycles || m_stop.stopping(); });
    }

private:
    StopSignal& m_stop;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_cycles = 0;
    int m_released = 0;
};

class ManagerTest : public ::testing::Test {
protected:
    ManagerTest() : m_capture(m_scratch.file("stdout")) {}

    // The manager's supervision lines printed since the last call, without
    // the "<thread id>: SMS Send Manager: Main: " prefix. All of them must
    // come from one thread other than the test's.
    Lines newCycleLines() {
        const std::string marker = ": " + managerName + ": Main: ";
        Lines all;
        for (const std::string& line : m_capture.lines()) {
            const size_t at = line.find(marker);
            if (at == std::string::npos) continue;
            const std::string id = line.substr(0, at);
            if (m_managerThread.empty()) m_managerThread = id;
            EXPECT_EQ(id, m_managerThread) << line;
            EXPECT_NE(id, std::to_string(threadId())) << line;
            all.push_back(line.substr(at + marker.size()));
        }
        Lines fresh(all.begin() + static_cast<long>(m_seen), all.end());
        m_seen = all.size();
        return fresh;
    }

    std::vector<SenderInfo> stats(SmsSendManager& manager) {
        std::vector<SenderInfo> info;
        EXPECT_EQ(manager.getStats(info), manager.getSenderCount());
        return info;
    }

    TestParts m_parts;
    ScratchDir m_scratch;
    StdoutCapture m_capture;
    std::string m_managerThread;
    size_t m_seen = 0;
};

std::string line(const char* name, const char* text) { return std::string("SMS sender '") + name + "' " + text; }

TEST_F(ManagerTest, NobodyConnected) {
    SteppedManager manager(m_parts.stopSignal);
    TestSender* emi = new TestSender("Sender thread(EMI)", m_parts.context());
    TestSender* me = new TestSender("Sender thread(ME)", m_parts.context());
    manager.registerSmsSender(std::unique_ptr<SmsSender>(emi));
    manager.registerSmsSender(std::unique_ptr<SmsSender>(me));
    manager.Start();
    const Lines cycle = {
        line("Sender thread(EMI)", "is NOT connected."), line("Sender thread(ME)", "is NOT connected."),
        line("Sender thread(EMI)", "REconnection FAILED."), line("Sender thread(ME)", "REconnection FAILED.")};
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(manager.waitForCycles(i));
        EXPECT_EQ(newCycleLines(), cycle) << "cycle " << i;
        EXPECT_FALSE(emi->active());
        EXPECT_FALSE(me->active());
        EXPECT_EQ(emi->m_reconnects, i);
        EXPECT_EQ(me->m_reconnects, i);
        std::vector<SenderInfo> info = stats(manager);
        ASSERT_EQ(info.size(), 2u);
        EXPECT_EQ(info[0]._name, "Sender thread(EMI)");
        EXPECT_EQ(info[0]._status, 0);
        EXPECT_EQ(info[1]._name, "Sender thread(ME)");
        EXPECT_EQ(info[1]._status, 0);
        manager.next();
    }
    manager.finish();
    manager.Join();
    EXPECT_TRUE(m_capture.contains(m_managerThread + ": " + managerName + ": Main\n"));
}

TEST_F(ManagerTest, BothConnectedOnlyTheFirstIsActive) {
    SteppedManager manager(m_parts.stopSignal);
    TestSender* emi = new TestSender("Sender thread(EMI)", m_parts.context());
    TestSender* me = new TestSender("Sender thread(ME)", m_parts.context());
    emi->m_isConnected = true;
    me->m_isConnected = true;
    manager.registerSmsSender(std::unique_ptr<SmsSender>(emi));
    manager.registerSmsSender(std::unique_ptr<SmsSender>(me));
    manager.Start();
    for (int i = 1; i <= 2; ++i) {
        ASSERT_TRUE(manager.waitForCycles(i));
        EXPECT_EQ(newCycleLines(),
                  (Lines{line("Sender thread(EMI)", "is connected."), line("Sender thread(ME)", "is connected."),
                         line("Sender thread(EMI)", "is active for sending.")}));
        EXPECT_TRUE(emi->active());
        EXPECT_FALSE(me->active());
        std::vector<SenderInfo> info = stats(manager);
        ASSERT_EQ(info.size(), 2u);
        EXPECT_EQ(info[0]._status, 2);
        EXPECT_EQ(info[1]._status, 1);
        manager.next();
    }
    EXPECT_EQ(emi->m_reconnects + me->m_reconnects, 0);
}

TEST_F(ManagerTest, TheSecondTakesOverUntilTheFirstIsBack) {
    SteppedManager manager(m_parts.stopSignal);
    TestSender* emi = new TestSender("Sender thread(EMI)", m_parts.context());
    TestSender* me = new TestSender("Sender thread(ME)", m_parts.context());
    emi->m_isConnected = true;
    me->m_isConnected = true;
    emi->m_reconnectResult = true;
    manager.registerSmsSender(std::unique_ptr<SmsSender>(emi));
    manager.registerSmsSender(std::unique_ptr<SmsSender>(me));
    manager.Start();
    ASSERT_TRUE(manager.waitForCycles(1));
    newCycleLines();
    ASSERT_TRUE(emi->active());

    emi->m_isConnected = false;
    manager.next();
    ASSERT_TRUE(manager.waitForCycles(2));
    EXPECT_EQ(newCycleLines(),
              (Lines{line("Sender thread(EMI)", "is NOT connected."), line("Sender thread(ME)", "is connected."),
                     line("Sender thread(ME)", "is active for sending."),
                     line("Sender thread(EMI)", "is sucessfuly REconnected.")}));
    EXPECT_FALSE(emi->active());
    EXPECT_TRUE(me->active());
    std::vector<SenderInfo> info = stats(manager);
    EXPECT_EQ(info[0]._status, 1);
    EXPECT_EQ(info[1]._status, 2);

    manager.next();
    ASSERT_TRUE(manager.waitForCycles(3));
    EXPECT_EQ(newCycleLines(),
              (Lines{line("Sender thread(EMI)", "is connected."), line("Sender thread(ME)", "is connected."),
                     line("Sender thread(EMI)", "is active for sending.")}));
    EXPECT_TRUE(emi->active());
    EXPECT_FALSE(me->active());
    EXPECT_EQ(emi->m_reconnects, 1);
    EXPECT_EQ(me->m_reconnects, 0);
}

TEST_F(ManagerTest, AfterOneReconnectionTheOthersWaitForTheNextCycle) {
    SteppedManager manager(m_parts.stopSignal);
    TestSender* emi = new TestSender("Sender thread(EMI)", m_parts.context());
    TestSender* me = new TestSender("Sender thread(ME)", m_parts.context());
    emi->m_reconnectResult = true;
    manager.registerSmsSender(std::unique_ptr<SmsSender>(emi));
    manager.registerSmsSender(std::unique_ptr<SmsSender>(me));
    manager.Start();
    ASSERT_TRUE(manager.waitForCycles(1));
    EXPECT_EQ(newCycleLines(),
              (Lines{line("Sender thread(EMI)", "is NOT connected."), line("Sender thread(ME)", "is NOT connected."),
                     line("Sender thread(EMI)", "is sucessfuly REconnected.")}));
    EXPECT_EQ(me->m_reconnects, 0);
    EXPECT_FALSE(emi->active()) << "a reconnected sender waits for the next cycle";

    manager.next();
    ASSERT_TRUE(manager.waitForCycles(2));
    EXPECT_EQ(newCycleLines(),
              (Lines{line("Sender thread(EMI)", "is connected."), line("Sender thread(ME)", "is NOT connected."),
                     line("Sender thread(EMI)", "is active for sending."),
                     line("Sender thread(ME)", "REconnection FAILED.")}));
    EXPECT_TRUE(emi->active());
    EXPECT_EQ(me->m_reconnects, 1);
}

TEST_F(ManagerTest, StatisticsWithoutSenders) {
    SmsSendManager manager(m_parts.stopSignal);
    std::vector<SenderInfo> info = {SenderInfo{"before", 1}};
    EXPECT_EQ(manager.getStats(info), 0);
    EXPECT_EQ(info.size(), 1u);
    EXPECT_EQ(manager.getSenderCount(), 0);
}

// Registration hands every flag to the sender under its own name: each
// flag hides exactly its values in the records.
TEST_F(ManagerTest, RegistrationCopiesEachHidingFlag) {
    typedef void (SmsSendManager::*Setter)(bool);
    struct Case {
        const char* flag;
        Setter setter;
        std::set<std::string> hidden;
    };
    const std::vector<Case> cases = {
        {"AccessLogHideIp", &SmsSendManager::setAccessLogHideIp, {"access:IP Address", "error:IP Address"}},
        {"AccessLogHideDestinationAddress",
         &SmsSendManager::setAccessLogHideDestinationAddress,
         {"access:Destination Address"}},
        {"AccessLogHideUserData", &SmsSendManager::setAccessLogHideUserData, {"access:User Data"}},
        {"AccessLogHideEmail",
         &SmsSendManager::setAccessLogHideEmail,
         {"access:Notification e-mail", "error:Notification e-mail", "notification:Notification e-mail"}},
        {"ErrorLogHideDestinationAddress",
         &SmsSendManager::setErrorLogHideDestinationAddress,
         {"error:Destination Address"}},
        {"ErrorLogHideUserData", &SmsSendManager::setErrorLogHideUserData, {"error:User Data"}},
        {"ReceiveLogHideOriginatingAddress",
         &SmsSendManager::setReceiveLogHideOriginatingAddress,
         {"received:Originating Address"}},
        {"ReceiveLogHideDestinationAddress",
         &SmsSendManager::setReceiveLogHideDestinationAddress,
         {"notification:Destination Address"}},
        {"ReceiveLogHideUserData",
         &SmsSendManager::setReceiveLogHideUserData,
         {"received:User data", "notification:User Data"}},
    };
    int round = 0;
    for (const Case& c : cases) {
        const std::string prefix = m_scratch.file(std::to_string(++round));
        Logger errorLog("ErrorLog", (prefix + "-error.log").c_str());
        Logger accessLog("AccessLog", (prefix + "-access.log").c_str());
        Logger receiveLog("ReceiveLog", (prefix + "-receive.log").c_str());
        Logger notificationLog("ReceiveLog", (prefix + "-notification.log").c_str());
        SmsSendManager manager(m_parts.stopSignal);
        (manager.*c.setter)(true);
        TestSender* sender = new TestSender("Sender thread(TEST)", m_parts.context(&errorLog, &accessLog, &receiveLog));
        manager.registerSmsSender(std::unique_ptr<SmsSender>(sender));

        Sms sms(std::string("+420777111222"), "", "text", "192.0.2.1", false, "user@example.org");
        sender->writeSmsToLog("Send SMS requested", sms, &accessLog, 'i');
        sender->writeSmsToLog("Send SMS requested but error occured: x", sms, &errorLog, 'e');
        sender->writeRecvSmsToLog("SMS received", "+420600111222", "+420600999888", "+420602909909", "text",
                                  "07.05.2012 15:30:00", &receiveLog);
        sender->writeNotificationToLog("Status Report received", "600000001", "+420777111222", "text",
                                       "user@example.org", "07.05.2012 15:30:00", "07.05.2012 15:30:05", 0, "Delivered",
                                       &notificationLog);
        std::set<std::string> hidden;
        for (const char* log : {"access", "error", "received", "notification"}) {
            const std::string file = prefix + "-" + (std::string(log) == "received" ? "receive" : log) + ".log";
            for (const LogRecord& record : readLogRecords(file)) {
                for (const std::string& text : record.lines) {
                    const size_t at = text.find(": <hidden>");
                    if (at != std::string::npos) hidden.insert(std::string(log) + ":" + text.substr(0, at));
                }
            }
        }
        EXPECT_EQ(hidden, c.hidden) << c.flag;
    }
}

// With the daemon's own pause the cycles repeat by themselves.
TEST_F(ManagerTest, CyclesRepeatWithTheDaemonsPause) {
    SmsSendManager* manager = new SmsSendManager(m_parts.stopSignal);
    manager->SetName(managerName.c_str());
    manager->setCycleLength(5);
    TestSender* emi = new TestSender("Sender thread(EMI)", m_parts.context());
    emi->m_isConnected = true;
    manager->registerSmsSender(std::unique_ptr<SmsSender>(emi));
    manager->Start();
    const std::string active = line("Sender thread(EMI)", "is active for sending.");
    Lines lines;
    ASSERT_TRUE(eventually([&] {
        Lines fresh = newCycleLines();
        lines.insert(lines.end(), fresh.begin(), fresh.end());
        return std::count(lines.begin(), lines.end(), active) >= 3;
    }));
    m_parts.stopSignal.requestStop();
    delete manager;
}

// A stop ends even a pause far longer than the test may run; deleting the
// manager then joins and deletes every sender, in registration order.
TEST_F(ManagerTest, StopEndsALongPauseAndTheDestructorJoinsTheSenders) {
    std::atomic<bool> emiGone{false};
    std::atomic<bool> meGone{false};
    SmsSendManager* manager = new SmsSendManager(m_parts.stopSignal);
    manager->SetName(managerName.c_str());
    manager->setCycleLength(3600L * 1000L);
    TestSender* emi = new TestSender("Sender thread(EMI)", m_parts.context(), &emiGone);
    TestSender* me = new TestSender("Sender thread(ME)", m_parts.context(), &meGone);
    emi->m_isConnected = true;
    manager->registerSmsSender(std::unique_ptr<SmsSender>(emi));
    manager->registerSmsSender(std::unique_ptr<SmsSender>(me));
    emi->Start();
    me->Start();
    manager->Start();
    ASSERT_TRUE(eventually([&] { return m_capture.contains("'Sender thread(ME)' REconnection FAILED.\n"); }));
    m_parts.stopSignal.requestStop();
    delete manager;
    EXPECT_TRUE(emiGone);
    EXPECT_TRUE(meGone);

    Lines joins;
    for (const std::string& text : m_capture.lines()) {
        if (text.find("Waiting for") == 0 || text.find("joined.") != std::string::npos) joins.push_back(text);
    }
    EXPECT_EQ(joins, (Lines{"Waiting for 'Sender thread(EMI)'...", "'Sender thread(EMI)' joined.",
                            "Waiting for 'Sender thread(ME)'...", "'Sender thread(ME)' joined."}));
    EXPECT_EQ(newCycleLines().size(), 4u) << "one cycle only";
}

}  // namespace
