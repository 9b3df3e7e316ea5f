// Received-message processing with real shell commands.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core_support.h"
#include "process.h"
#include "sms_processing.h"
#include "sqlite_store.h"
#include "trace.h"

extern char** environ;

using namespace coretest;

namespace {

typedef std::vector<std::string> Lines;
typedef std::map<std::string, std::string> Environment;

const std::string processorName = "SMS processing";

// Output of `env -0`.
Environment readEnvironment(const std::string& path) {
    Environment environment;
    const std::string text = readFile(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(start, end - start);
        const size_t equals = entry.find('=');
        environment[entry.substr(0, equals)] = equals == std::string::npos ? "" : entry.substr(equals + 1);
        start = end + 1;
    }
    return environment;
}

Lines currentEnvironment() {
    Lines entries;
    for (char** entry = environ; *entry != nullptr; ++entry) entries.push_back(*entry);
    std::sort(entries.begin(), entries.end());
    return entries;
}

class ProcessingTest : public ::testing::Test {
protected:
    ProcessingTest() : m_capture(m_scratch.file("stdout")) {}

    // The processor thread's own trace lines, without "<id>: SMS processing: ".
    Lines threadLines() {
        const std::string marker = ": " + processorName + ": ";
        Lines lines;
        for (const std::string& text : m_capture.lines()) {
            const size_t at = text.find(marker);
            if (at != std::string::npos) {
                lines.push_back(text.substr(at + marker.size()));
            } else if (text.find("Processig SMS") == 0) {
                lines.push_back(text);
            }
        }
        return lines;
    }

    StopSignal m_stop;
    ScratchDir m_scratch;
    StdoutCapture m_capture;
};

TEST_F(ProcessingTest, EveryCommandRunsInTurnWithTheMessagesVariables) {
    // The daemon's own environment, which the commands inherit and which must
    // come out of the processing unchanged.
    ASSERT_EQ(setenv("UD", "the daemon's own", 1), 0);
    ASSERT_EQ(setenv("KST_CORE_INHERITED", "inherited", 1), 0);
    for (const char* name : smsEnvironmentNames) {
        if (std::string(name) != "UD") unsetenv(name);
    }
    const Lines before = currentEnvironment();

    const std::string first = "sleep 0.2; env -0 > " + m_scratch.file("env1");
    const std::string second = "[ -s " + m_scratch.file("env1") + " ] && env -0 > " + m_scratch.file("env2");
    SmsProcessing processing(m_stop);
    processing.setExecutables(first + "," + second);

    const std::string userData = "line one\nline two $(touch " + m_scratch.file("injected") + ") `touch " +
                                 m_scratch.file("injected2") + "` ; | & > < 'single' \"double\" \\ * $HOME ~ %s \t end";
    processing.process(receivedSmsEnvironment("+420600111222", "", "070512153000", userData));

    const Environment expected = {
        {"OA", "+420600111222"},
        {"SCADDRESS", ""},
        {"SCTIME", "070512153000"},
        {"ALPHABET", "7bit"},
        {"UD", userData},
        {"MWI_ENABLED", ""},
        {"MWI", ""},
        {"CLASS", ""},
        {"UDHI", ""},
    };
    for (const char* file : {"env1", "env2"}) {
        ASSERT_TRUE(fileExists(m_scratch.file(file))) << file << ": the second command ran before the first ended";
        Environment seen = readEnvironment(m_scratch.file(file));
        for (const auto& variable : expected) {
            ASSERT_EQ(seen.count(variable.first), 1u) << file << " lacks " << variable.first;
            EXPECT_EQ(seen[variable.first], variable.second) << file << ": " << variable.first;
        }
        EXPECT_EQ(seen["KST_CORE_INHERITED"], "inherited") << file;
    }
    EXPECT_FALSE(fileExists(m_scratch.file("injected")));
    EXPECT_FALSE(fileExists(m_scratch.file("injected2")));

    EXPECT_EQ(currentEnvironment(), before);
    EXPECT_STREQ(getenv("UD"), "the daemon's own");
    for (const char* name : smsEnvironmentNames) {
        if (std::string(name) == "UD") continue;
        EXPECT_EQ(getenv(name), nullptr) << name;
    }
    unsetenv("UD");
    unsetenv("KST_CORE_INHERITED");

    const std::string id = std::to_string(threadId());
    const Lines console = m_capture.lines();
    const Lines expectedConsole = {
        id + ": Setting executables for SMS processing",
        id + ": Executable: " + first,
        id + ": Executable: " + second,
        id + ": SMS Processing(pid:" + std::to_string(getpid()) + "): processSms()",
        "Processig SMS         (" + first + ")",
        "Processig SMS is done (" + first + ").",
        "Processig SMS         (" + second + ")",
        "Processig SMS is done (" + second + ").",
    };
    EXPECT_EQ(console, expectedConsole);
}

TEST_F(ProcessingTest, TheSettingIsSplitAtEveryComma) {
    const std::string out = m_scratch.file("out");
    SmsProcessing processing(m_stop);
    processing.setExecutables("echo a >> " + out + ", echo b >> " + out + ",,");
    processing.process(receivedSmsEnvironment("1", "", "", "x"));
    EXPECT_EQ(readFile(out), "a\nb\n");

    SmsProcessing unset(m_stop);
    unset.setExecutables("");
    unset.process(receivedSmsEnvironment("1", "", "", "x"));

    const std::string id = std::to_string(threadId());
    Lines executables;
    Lines runs;
    for (const std::string& text : m_capture.lines()) {
        if (text.find(id + ": Executable: ") == 0) executables.push_back(text.substr(id.size() + 14));
        if (text.find("Processig SMS         (") == 0) runs.push_back(text);
    }
    EXPECT_EQ(executables, (Lines{"echo a >> " + out, " echo b >> " + out, "", "", ""}));
    EXPECT_EQ(runs,
              (Lines{"Processig SMS         (echo a >> " + out + ")", "Processig SMS         ( echo b >> " + out + ")",
                     "Processig SMS         ()", "Processig SMS         ()", "Processig SMS         ()"}));
}

TEST_F(ProcessingTest, EnvironmentOfAReceivedMessage) {
    EnvironmentList list = receivedSmsEnvironment("OA-value", "SC-value", "TIME-value", "UD-value");
    ASSERT_EQ(list.size(), 9u);
    const char* values[9] = {"OA-value", "SC-value", "TIME-value", "7bit", "UD-value", "", "", "", ""};
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_STREQ(list[i].name(), smsEnvironmentNames[i]);
        EXPECT_STREQ(list[i].value(), values[i]);
    }
    EXPECT_EQ(std::vector<std::string>(smsEnvironmentNames, smsEnvironmentNames + 9),
              (Lines{"OA", "SCADDRESS", "SCTIME", "ALPHABET", "UD", "MWI_ENABLED", "MWI", "CLASS", "UDHI"}));

    EnvironmentVariable empty(static_cast<const char*>(nullptr), nullptr);
    EXPECT_STREQ(empty.name(), "");
    EXPECT_STREQ(empty.value(), "");
    EnvironmentVariable copy = list[0];
    copy = list[4];
    EXPECT_STREQ(list[0].value(), "OA-value");
    EXPECT_STREQ(copy.value(), "UD-value");
}

// Messages are handled in arrival order, one at a time; those queued while a
// command runs are taken as soon as it ends, without waiting for a signal.
TEST_F(ProcessingTest, TheThreadTakesMessagesInArrivalOrder) {
    const std::string order = m_scratch.file("order");
    const std::string started = m_scratch.file("started");
    const std::string go = m_scratch.file("go");
    SmsProcessing processing(m_stop);
    processing.SetName(processorName.c_str());
    processing.setExecutables("printf '%s\\n' \"$UD\" >> " + order + "; if [ \"$UD\" = first ]; then : > " + started +
                              "; i=0; while [ ! -e " + go +
                              " ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i+1)); done; fi");
    processing.Start();
    ASSERT_TRUE(eventually([&] { return m_capture.contains(": SMS processing: waiting for SMS to process...\n"); }));

    processing.enque(receivedSmsEnvironment("1", "", "", "first"));
    ASSERT_TRUE(eventually([&] { return fileExists(started); }));
    processing.enque(receivedSmsEnvironment("1", "", "", "second"));
    processing.enque(receivedSmsEnvironment("1", "", "", "third"));
    EXPECT_EQ(processing.size(), 2);
    FILE* release = fopen(go.c_str(), "w");
    ASSERT_NE(release, nullptr);
    fclose(release);
    ASSERT_TRUE(eventually([&] { return readFile(order) == "first\nsecond\nthird\n"; })) << readFile(order);
    ASSERT_TRUE(eventually([&] {
        Lines lines = threadLines();
        return !lines.empty() && lines.back() == "waiting for SMS to process...";
    }));
    EXPECT_EQ(processing.size(), 0);

    m_stop.requestStop();
    processing.wakeUp();
    processing.Join();

    Lines lines = threadLines();
    // Leave out the command text of the "Processig" lines.
    for (std::string& text : lines) {
        if (text.find("Processig SMS         (") == 0) text = "run";
        if (text.find("Processig SMS is done (") == 0) text = "done";
    }
    EXPECT_EQ(lines, (Lines{"waiting for SMS to process...", "woken up", "que size: 1", "run", "done", "que size: 2",
                            "run", "done", "que size: 1", "run", "done", "waiting for SMS to process...", "woken up"}));
}

TEST_F(ProcessingTest, MessagesQueuedBeforeTheStartWait) {
    const std::string order = m_scratch.file("order");
    SmsProcessing processing(m_stop);
    processing.SetName(processorName.c_str());
    processing.setExecutables("printf '%s\\n' \"$UD\" >> " + order);
    processing.enque(receivedSmsEnvironment("1", "", "", "early"));
    processing.enque(receivedSmsEnvironment("1", "", "", "later"));
    EXPECT_EQ(processing.size(), 2);
    processing.Start();
    ASSERT_TRUE(eventually([&] { return readFile(order) == "early\nlater\n"; })) << readFile(order);
    m_stop.requestStop();
    processing.wakeUp();
    processing.Join();
}

// With a store, a message is committed when it is queued and marked
// processed once its commands ran; one taken up from the store runs under
// its own id.
TEST_F(ProcessingTest, TheStoreKeepsEachMessageUntilItsCommandsRan) {
    const std::string order = m_scratch.file("order");
    SqliteStore store(m_scratch.file("kstd.db"), false);
    const uint64_t kept = store.storeReceived({{"UD", "kept"}}, time(nullptr));
    SmsProcessing processing(m_stop);
    processing.SetName(processorName.c_str());
    processing.setExecutables("printf '%s\\n' \"$UD\" >> " + order);
    processing.setStore(&store, nullptr);
    processing.resume(kept, receivedSmsEnvironment("1", "", "", "kept"));
    processing.enque(receivedSmsEnvironment("1", "", "", "new"));
    std::vector<StoredReceived> waiting = store.unprocessedReceived();
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0].id, kept);
    EXPECT_EQ(waiting[1].variables.at(4), (std::pair<std::string, std::string>("UD", "new")));
    processing.Start();
    ASSERT_TRUE(eventually([&] { return store.unprocessedReceived().empty(); }));
    EXPECT_EQ(readFile(order), "kept\nnew\n");
    m_stop.requestStop();
    processing.wakeUp();
    processing.Join();
}

// The stop flag set without a wake-up still ends the thread: a wake-up lost
// between its look at the flag and its wait does not keep it waiting.
TEST_F(ProcessingTest, ShutdownWithoutWakeUpStillEndsTheThread) {
    const std::string ran = m_scratch.file("ran");
    SmsProcessing processing(m_stop);
    processing.SetName(processorName.c_str());
    processing.setExecutables(": > " + ran);
    processing.Start();
    ASSERT_TRUE(eventually([&] { return m_capture.contains(": SMS processing: waiting for SMS to process...\n"); }));
    m_stop.requestStop();
    processing.Join();
    // Queued after the stop: dropped, not run.
    processing.enque(receivedSmsEnvironment("1", "", "", "late"));
    EXPECT_EQ(processing.size(), 1);
    EXPECT_FALSE(fileExists(ran));
}

}  // namespace
