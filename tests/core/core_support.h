// Helpers of the core tests: the scratch directory (tests/support), a
// capture of standard output, log-record parsing, the parts a sender works
// with and a sender whose connection state the test controls.
#ifndef KST_TESTS_CORE_SUPPORT_H
#define KST_TESTS_CORE_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "counters.h"
#include "scratch_dir.h"
#include "sent_message.h"
#include "sms.h"
#include "sms_sender.h"
#include "stop_signal.h"

namespace coretest {

// A fresh directory below KST_TEST_SCRATCH, removed with its content.
using testsupport::ScratchDir;

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Polls `condition` every 10 ms for at most 60 s; returns its last answer.
inline bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 6000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Sends standard output (descriptor 1) to a file while it lives.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::string& path) : m_path(path) {
        fflush(stdout);
        m_saved = dup(1);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0664);
        if (m_saved < 0 || fd < 0) throw std::runtime_error("cannot capture standard output to " + path);
        dup2(fd, 1);
        close(fd);
    }
    // GoogleTest reports failures on standard output as they happen, so a
    // failed test gets the captured text, reports included, on stderr.
    ~StdoutCapture() {
        fflush(stdout);
        dup2(m_saved, 1);
        close(m_saved);
        if (::testing::Test::HasFailure()) {
            fprintf(stderr, "---- captured standard output ----\n%s---- end ----\n", readFile(m_path).c_str());
        }
    }
    std::string text() const {
        fflush(stdout);
        return readFile(m_path);
    }
    std::vector<std::string> lines() const { return splitLines(text()); }
    bool contains(const std::string& piece) const { return text().find(piece) != std::string::npos; }

private:
    std::string m_path;
    int m_saved = -1;
};

// One record of a log file: its type word and its lines without the
// time-stamp prefix.
struct LogRecord {
    std::string type;  // "INFO" or "ERROR"
    std::vector<std::string> lines;
};

// Parses a log file. A record starts with "YYYY-MM-DD hh:mm:ss,mmm TYPE - ";
// its further lines must be indented to the column of the text exactly.
inline std::vector<LogRecord> readLogRecords(const std::string& path) {
    static const std::regex head(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (INFO |ERROR)    - (.*)$)");
    std::vector<LogRecord> records;
    size_t indent = 0;
    for (const std::string& line : splitLines(readFile(path))) {
        std::smatch match;
        if (std::regex_match(line, match, head)) {
            LogRecord record;
            record.type = match[1].str() == "INFO " ? "INFO" : "ERROR";
            record.lines.push_back(match[2].str());
            indent = line.size() - match[2].str().size();
            records.push_back(record);
        } else {
            if (records.empty()) throw std::runtime_error("log line outside a record: " + line);
            if (line.size() < indent || line.find_first_not_of(' ') != indent) {
                throw std::runtime_error("continuation line not indented to the text: '" + line + "'");
            }
            records.back().lines.push_back(line.substr(indent));
        }
    }
    return records;
}

// What the Gateway shares among the senders, one set per test: declared
// before the objects that use it, so that it outlives them.
struct TestParts {
    StopSignal stopSignal;
    SmsQueMemory queue{stopSignal};
    SentMessageRegistry sentMessages;
    Counters counters;

    // A sender's collaborators: these parts and the given loggers, e-mailer
    // and processor (null: none).
    SenderContext context(Logger* errorLog = nullptr, Logger* accessLog = nullptr, Logger* receiveLog = nullptr,
                          Emailer* emailer = nullptr, SmsProcessing* processing = nullptr) {
        return SenderContext{queue,      sentMessages, counters,  emailer,   processing,
                             stopSignal, errorLog,     accessLog, receiveLog};
    }
};

// A sender whose connection the test sets. reconnect() answers with
// m_reconnectResult and, when that is true, becomes connected.
class TestSender : public SmsSender {
public:
    TestSender(const char* name, const SenderContext& context, std::atomic<bool>* destroyed = nullptr)
        : SmsSender(context), m_destroyed(destroyed) {
        SetName(name);
    }
    ~TestSender() override {
        Join();
        if (m_destroyed) *m_destroyed = true;
    }

    // Runs until the stop is requested, like the real senders.
    void Main() override {
        m_context.stopSignal.wait();
        m_mainEnded = true;
    }
    bool connect() override { return m_isConnected = true; }
    bool disconnect() override {
        m_isConnected = false;
        return true;
    }
    bool reconnect() override {
        lock();
        ++m_reconnects;
        bool result = m_reconnectResult;
        if (result) m_isConnected = true;
        unlock();
        return result;
    }
    bool init() override { return true; }
    bool connected() override { return m_isConnected; }
    int sendSms(Sms&, int) override { return 0; }

    std::atomic<bool> m_isConnected{false};
    std::atomic<bool> m_reconnectResult{false};
    std::atomic<int> m_reconnects{0};
    std::atomic<bool> m_mainEnded{false};

private:
    std::atomic<bool>* m_destroyed;
};

}  // namespace coretest

#endif
