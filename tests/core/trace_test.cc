// The console trace's line forms and report(), which writes one event as an
// error-log record (of one or several lines) and a console line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core_support.h"
#include "logger.h"
#include "trace.h"

using namespace coretest;

namespace {

// Sends standard error (descriptor 2) to a file while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : m_path(path) {
        fflush(stderr);
        m_saved = dup(2);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0664);
        if (m_saved < 0 || fd < 0) throw std::runtime_error("cannot capture standard error to " + path);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() {
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
    }
    std::string text() const {
        fflush(stderr);
        return readFile(m_path);
    }

private:
    std::string m_path;
    int m_saved = -1;
};

std::string id() { return std::to_string(threadId()); }

TEST(Trace, EveryFormWritesItsPrefixOnItsStream) {
    ScratchDir scratch;
    StdoutCapture out(scratch.file("stdout"));
    StderrCapture err(scratch.file("stderr"));
    trace("Starting ORB\n");
    traceAs("SmsQue", "que length: %d\n", 3);
    tracePlain("Size of EMI que: %d\n", 2);
    traceError("ERROR: %s\n", "bad");
    traceErrorAs("Sender thread(EMI)", "%s\n", "Disconnecting from SMSC...");
    EXPECT_EQ(out.text(), id() + ": Starting ORB\n" + id() + ": SmsQue: que length: 3\nSize of EMI que: 2\n");
    EXPECT_EQ(err.text(), id() + ": ERROR: bad\n" + id() + ": Sender thread(EMI): Disconnecting from SMSC...\n");
}

TEST(Trace, SwitchedOffOnlyStandardErrorIsWritten) {
    ScratchDir scratch;
    StdoutCapture out(scratch.file("stdout"));
    StderrCapture err(scratch.file("stderr"));
    setConsoleTrace(false);
    trace("a\n");
    traceAs("b", "c\n");
    tracePlain("d\n");
    traceError("e\n");
    setConsoleTrace(true);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), id() + ": e\n");
}

TEST(Trace, ReportWritesTheRecordAndTheConsoleLine) {
    ScratchDir scratch;
    Logger errorLog("ErrorLog", scratch.file("error.log").c_str());
    {
        StdoutCapture out(scratch.file("stdout"));
        StderrCapture err(scratch.file("stderr"));
        report(&errorLog, 'i', "EMI: Connection established", "Sender thread(EMI)", "Connection established",
               ConsoleStream::Trace);
        report(&errorLog, 'e', "Invalid setting", nullptr, "ERROR: Invalid setting", ConsoleStream::Error);
        report(nullptr, 'i', "nowhere", "Emailer thread", "only the console", ConsoleStream::Trace);
        EXPECT_EQ(out.text(), id() + ": Sender thread(EMI): Connection established\n" + id() +
                                  ": Emailer thread: only the console\n");
        EXPECT_EQ(err.text(), id() + ": ERROR: Invalid setting\n");
    }
    const std::vector<LogRecord> records = readLogRecords(scratch.file("error.log"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].type, "INFO");
    EXPECT_EQ(records[0].lines, std::vector<std::string>{"EMI: Connection established"});
    EXPECT_EQ(records[1].type, "ERROR");
    EXPECT_EQ(records[1].lines, std::vector<std::string>{"Invalid setting"});
}

// A record of several lines is one record; an event without a console line
// writes only its record.
TEST(Trace, ReportWritesAMultiLineRecordAndOnlyTheOutputsAskedFor) {
    ScratchDir scratch;
    Logger errorLog("ErrorLog", scratch.file("error.log").c_str());
    {
        StdoutCapture out(scratch.file("stdout"));
        StderrCapture err(scratch.file("stderr"));
        report(&errorLog, 'e', std::vector<std::string>{"Send SMS requested but error occured: busy", "IP Address: x"},
               "Sender thread(ME)", "[ERROR]: busy", ConsoleStream::Error);
        report(&errorLog, 'i', std::vector<std::string>{"stopped", "exit code 0"}, nullptr, "stopped",
               ConsoleStream::None);
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(err.text(), id() + ": Sender thread(ME): [ERROR]: busy\n");
    }
    const std::vector<LogRecord> records = readLogRecords(scratch.file("error.log"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].type, "ERROR");
    EXPECT_EQ(records[0].lines,
              (std::vector<std::string>{"Send SMS requested but error occured: busy", "IP Address: x"}));
    EXPECT_EQ(records[1].type, "INFO");
    EXPECT_EQ(records[1].lines, (std::vector<std::string>{"stopped", "exit code 0"}));
}

}  // namespace
