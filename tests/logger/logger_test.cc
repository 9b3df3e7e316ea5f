// Logger: record layout in files and in syslog, the fallback to syslog when
// the file cannot be opened, and whole records under concurrent writers.
#include "logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"

namespace {

using sandbox::ScratchDir;

// "2024-01-31 12:00:00,005" and the marker, up to and including "- ".
const char* const kStamp = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2},\\d{3}";
const size_t kInfoHeaderWidth = 23 + 6 + 6;  // stamp, " INFO ", "    - "

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool fullMatch(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}

TEST(Logger, FileNameAndNothingOpenedEarly) {
    ScratchDir dir;
    EXPECT_STREQ(Logger("ErrorLog", "").fileName(), "SYSLOG");
    EXPECT_STREQ(Logger("ErrorLog", nullptr).fileName(), "SYSLOG");
    EXPECT_STREQ(Logger(nullptr, nullptr).fileName(), "SYSLOG");

    const std::string path = dir.file("access.log");
    Logger logger("AccessLog", path.c_str());
    EXPECT_EQ(std::string(logger.fileName()), path);
    logger.put("queued only");
    EXPECT_FALSE(File::exists(path));
    logger.write("first", 'i');
    EXPECT_TRUE(File::exists(path));
}

TEST(Logger, RecordLayout) {
    ScratchDir dir;
    const std::string path = dir.file("layout.log");
    Logger logger("AccessLog", path.c_str());
    const time_t before = time(nullptr);
    logger.write("info text", 'i');
    logger.write("error text", 'e');
    logger.write("other text", 'x');
    logger.write(std::string(""), 'i');
    const time_t after = time(nullptr);

    const std::vector<std::string> lines = splitLines(sandbox::readFile(path));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(fullMatch(lines[0], std::string(kStamp) + " INFO     - info text")) << lines[0];
    EXPECT_TRUE(fullMatch(lines[1], std::string(kStamp) + " ERROR    - error text")) << lines[1];
    EXPECT_TRUE(fullMatch(lines[2], std::string(kStamp) + " type: x    - other text")) << lines[2];
    EXPECT_TRUE(fullMatch(lines[3], std::string(kStamp) + " INFO     - ")) << lines[3];
    // Information and error records put their texts in the same column.
    EXPECT_EQ(lines[0].find("- "), lines[1].find("- "));
    EXPECT_EQ(lines[0].find("info text"), kInfoHeaderWidth);
    EXPECT_EQ(lines[1].find("error text"), kInfoHeaderWidth);

    // The stamp is the local time of the write.
    struct tm stamp = {};
    ASSERT_NE(strptime(lines[0].c_str(), "%Y-%m-%d %H:%M:%S", &stamp), nullptr);
    stamp.tm_isdst = -1;
    const time_t written = mktime(&stamp);
    EXPECT_GE(written, before - 1);
    EXPECT_LE(written, after + 1);
    EXPECT_EQ(sandbox::readFile(path).back(), '\n');
}

// Milliseconds below 10 and below 100 keep three digits. Records are written
// until both have been seen (a bounded number of times).
TEST(Logger, MillisecondsArePaddedToThreeDigits) {
    ScratchDir dir;
    const std::string path = dir.file("ms.log");
    Logger logger("AccessLog", path.c_str());
    const std::regex stamp(std::string("^") + kStamp + " INFO     - r$");
    bool belowTen = false, belowHundred = false;
    size_t checked = 0;
    for (int i = 0; i < 20000 && !(belowTen && belowHundred); ++i) {
        logger.write("r", 'i');
        if (i % 50 != 49) {
            usleep(300);
            continue;
        }
        const std::vector<std::string> lines = splitLines(sandbox::readFile(path));
        for (; checked < lines.size(); ++checked) {
            const std::string& line = lines[checked];
            ASSERT_TRUE(std::regex_match(line, stamp)) << line;
            const int ms = std::stoi(line.substr(20, 3));
            belowTen = belowTen || ms < 10;
            belowHundred = belowHundred || (ms >= 10 && ms < 100);
        }
    }
    EXPECT_TRUE(belowTen);
    EXPECT_TRUE(belowHundred);
}

TEST(Logger, QueuedLinesAreIndentedToTheText) {
    ScratchDir dir;
    const std::string path = dir.file("multi.log");
    Logger logger("ReceiveLog", path.c_str());
    char first[] = "first line";
    logger.put(first);
    logger.put("second line");
    logger.put(std::string("third line"));
    logger.write(std::string("last line"), 'i');
    char single[] = "single";
    logger.write(single, 'e');
    // Only queued lines are indented; newlines in the message stay as they are.
    logger.put("q");
    logger.write("m1\nm2", 'i');
    logger.write(static_cast<const char*>(nullptr), 'i');
    logger.put(static_cast<const char*>(nullptr));
    logger.write("after null", 'i');

    const std::vector<std::string> lines = splitLines(sandbox::readFile(path));
    ASSERT_EQ(lines.size(), 11u);
    const std::string pad(kInfoHeaderWidth, ' ');
    EXPECT_TRUE(fullMatch(lines[0], std::string(kStamp) + " INFO     - first line")) << lines[0];
    EXPECT_EQ(lines[1], pad + "second line");
    EXPECT_EQ(lines[2], pad + "third line");
    EXPECT_EQ(lines[3], pad + "last line");
    EXPECT_TRUE(fullMatch(lines[4], std::string(kStamp) + " ERROR    - single")) << lines[4];
    EXPECT_TRUE(fullMatch(lines[5], std::string(kStamp) + " INFO     - q")) << lines[5];
    EXPECT_EQ(lines[6], pad + "m1");
    EXPECT_EQ(lines[7], "m2");
    EXPECT_TRUE(fullMatch(lines[8], std::string(kStamp) + " INFO     - ")) << lines[8];
    EXPECT_TRUE(fullMatch(lines[9], std::string(kStamp) + " INFO     - ")) << lines[9];
    EXPECT_EQ(lines[10], pad + "after null");

    // Continuation lines follow the width of the marker.
    Logger typed("ReceiveLog", path.c_str());
    typed.put("head");
    typed.write("tail", '?');
    const std::vector<std::string> all = splitLines(sandbox::readFile(path));
    ASSERT_EQ(all.size(), 13u);
    EXPECT_TRUE(fullMatch(all[11], std::string(kStamp) + " type: \\?    - head")) << all[11];
    EXPECT_EQ(all[12], std::string(kInfoHeaderWidth + 2, ' ') + "tail");
}

TEST(Logger, PercentSignsAreWrittenLiterally) {
    ScratchDir dir;
    const std::string path = dir.file("percent.log");
    Logger logger("AccessLog", path.c_str());
    logger.put("100% %s %d %n");
    logger.write("%s%s%s%n %x", 'e');
    const std::vector<std::string> lines = splitLines(sandbox::readFile(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(fullMatch(lines[0], std::string(kStamp) + " ERROR    - 100% %s %d %n")) << lines[0];
    EXPECT_EQ(lines[1], std::string(kInfoHeaderWidth, ' ') + "%s%s%s%n %x");
}

TEST(Logger, LinesNeverWrittenAreNeverShown) {
    ScratchDir dir;
    const std::string path = dir.file("orphan.log");
    {
        Logger dropped("AccessLog", path.c_str());
        dropped.put("dropped with its logger");
    }
    EXPECT_FALSE(File::exists(path));

    Logger logger("AccessLog", path.c_str());

    // Lines queued by another thread stay with that thread's record.
    std::mutex mutex;
    std::condition_variable changed;
    int stage = 0;
    std::thread other([&]() {
        logger.put("queued by the other thread");
        {
            std::lock_guard<std::mutex> lock(mutex);
            stage = 1;
        }
        changed.notify_all();
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stage == 2; });
        lock.unlock();
        logger.write("written by the other thread", 'i');
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stage == 1; });
    }
    logger.write("main record", 'i');
    {
        std::lock_guard<std::mutex> lock(mutex);
        stage = 2;
    }
    changed.notify_all();
    other.join();

    // A thread that queued lines and ended without writing them: the next
    // thread (which may well get the same thread id) starts clean.
    std::thread ended([&]() { logger.put("queued by a thread that ended"); });
    ended.join();
    std::thread successor([&]() { logger.write("successor record", 'i'); });
    successor.join();

    const std::vector<std::string> lines = splitLines(sandbox::readFile(path));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(fullMatch(lines[0], std::string(kStamp) + " INFO     - main record")) << lines[0];
    EXPECT_TRUE(fullMatch(lines[1], std::string(kStamp) + " INFO     - queued by the other thread")) << lines[1];
    EXPECT_EQ(lines[2], std::string(kInfoHeaderWidth, ' ') + "written by the other thread");
    EXPECT_TRUE(fullMatch(lines[3], std::string(kStamp) + " INFO     - successor record")) << lines[3];
}

// Several threads, on two loggers of the same file, write multi-line records;
// every record must arrive whole, its lines together and in order.
TEST(Logger, ConcurrentRecordsNeverInterleave) {
    ScratchDir dir;
    const std::string path = dir.file("concurrent.log");
    Logger first("AccessLog", path.c_str());
    Logger second("AccessLog", path.c_str());
    const int threads = 8;
    const int records = 150;
    const int queued = 3;

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t]() {
            Logger& logger = t % 2 ? second : first;
            for (int r = 0; r < records; ++r) {
                // Some records are large, so that a record takes more than
                // one page of the file.
                const std::string filler(r % 25 == 0 ? 6000 : (r * 7 + t) % 90, 'a' + t);
                for (int l = 0; l < queued; ++l) {
                    logger.put("T" + std::to_string(t) + " R" + std::to_string(r) + " L" + std::to_string(l) + " " +
                               filler);
                }
                logger.write(
                    "T" + std::to_string(t) + " R" + std::to_string(r) + " L" + std::to_string(queued) + " " + filler,
                    r % 3 ? 'i' : 'e');
            }
        });
    }
    for (std::thread& worker : workers) worker.join();

    const std::vector<std::string> lines = splitLines(sandbox::readFile(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * records * (queued + 1)));
    const std::regex head(std::string("^") + kStamp + " (INFO |ERROR)    - T(\\d+) R(\\d+) L0 ([a-z]*)$");
    const std::regex tail("^ {" + std::to_string(kInfoHeaderWidth) + "}T(\\d+) R(\\d+) L(\\d+) ([a-z]*)$");
    std::map<int, int> nextRecord;
    for (size_t i = 0; i < lines.size(); i += queued + 1) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, head)) << "line " << i << ": " << lines[i].substr(0, 80);
        const int t = std::stoi(match[2]);
        const int r = std::stoi(match[3]);
        const std::string filler = match[4];
        ASSERT_EQ(r, nextRecord[t]) << "records of thread " << t << " out of order";
        nextRecord[t] = r + 1;
        EXPECT_EQ(match[1] == "ERROR", r % 3 == 0);
        for (int l = 1; l <= queued; ++l) {
            const std::string& line = lines[i + l];
            ASSERT_TRUE(std::regex_match(line, match, tail)) << "line " << i + l << ": " << line.substr(0, 80);
            ASSERT_EQ(std::stoi(match[1]), t) << "line " << i + l;
            ASSERT_EQ(std::stoi(match[2]), r) << "line " << i + l;
            ASSERT_EQ(std::stoi(match[3]), l) << "line " << i + l;
            ASSERT_EQ(match[4], filler) << "line " << i + l;
        }
    }
    ASSERT_EQ(nextRecord.size(), static_cast<size_t>(threads));
    for (const auto& entry : nextRecord) EXPECT_EQ(entry.second, records) << "thread " << entry.first;
}

// The syslog side runs in a child with its own /dev/log.
TEST(LoggerSyslog, RecordsWithoutFileGoToSyslog) {
    ScratchDir dir;
    sandbox::SyslogResult result = sandbox::runWithSyslog(dir, []() {
        openlog("kstlogtest", LOG_PID, LOG_DAEMON);
        Logger empty("AccessLog", "");
        Logger null("ErrorLog", nullptr);
        empty.put("first");
        empty.put("%s second");
        empty.write("last %d", 'i');
        null.write("error 100%", 'e');
        return 0;
    });
    ASSERT_EQ(result.setupError, "");
    EXPECT_TRUE(result.child.exitedWith(0)) << result.child.err;
    ASSERT_EQ(result.messages.size(), 2u);
    const std::string pad(kInfoHeaderWidth, ' ');
    EXPECT_EQ(sandbox::syslogPriority(result.messages[0]), LOG_DAEMON | LOG_INFO);
    EXPECT_TRUE(fullMatch(sandbox::syslogText(result.messages[0]),
                          std::string(kStamp) + " INFO     - first\n" + pad + "%s second\n" + pad + "last %d"))
        << result.messages[0];
    // The priority is information whatever the record's type.
    EXPECT_EQ(sandbox::syslogPriority(result.messages[1]), LOG_DAEMON | LOG_INFO);
    EXPECT_TRUE(fullMatch(sandbox::syslogText(result.messages[1]), std::string(kStamp) + " ERROR    - error 100%"))
        << result.messages[1];
    EXPECT_TRUE(fullMatch(result.messages[1], "<30>.* kstlogtest\\[\\d+\\]: .*")) << result.messages[1];
}

TEST(LoggerSyslog, UnopenableFileFallsBackToSyslog) {
    ScratchDir dir;
    const std::string missing = dir.file("no-such-dir/error.log");
    const std::string directory = dir.file("a-directory");
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    sandbox::SyslogResult result = sandbox::runWithSyslog(dir, [&]() {
        openlog("kstlogtest", LOG_PID, LOG_DAEMON);
        Logger errors("ErrorLog", missing.c_str());
        errors.put("queued %s");
        errors.write("first", 'e');
        errors.write("second", 'i');
        Logger received("ReceiveLog", directory.c_str());
        received.write("third", 'i');
        return 0;
    });
    ASSERT_EQ(result.setupError, "");
    EXPECT_TRUE(result.child.exitedWith(0)) << result.child.err;
    ASSERT_EQ(result.messages.size(), 6u);
    const std::string cannotOpen = "Cannot open log file " + missing + ": No such file or directory for ErrorLog";
    for (int i : {0, 2}) {
        EXPECT_EQ(sandbox::syslogPriority(result.messages[i]), LOG_DAEMON | LOG_ERR);
        EXPECT_EQ(sandbox::syslogText(result.messages[i]), cannotOpen);
    }
    EXPECT_EQ(sandbox::syslogPriority(result.messages[1]), LOG_DAEMON | LOG_INFO);
    EXPECT_TRUE(fullMatch(sandbox::syslogText(result.messages[1]), std::string(kStamp) + " ERROR    - queued %s\n" +
                                                                       std::string(kInfoHeaderWidth, ' ') + "first"))
        << result.messages[1];
    EXPECT_EQ(sandbox::syslogPriority(result.messages[3]), LOG_DAEMON | LOG_INFO);
    EXPECT_TRUE(fullMatch(sandbox::syslogText(result.messages[3]), std::string(kStamp) + " INFO     - second"))
        << result.messages[3];

    EXPECT_EQ(sandbox::syslogPriority(result.messages[4]), LOG_DAEMON | LOG_ERR);
    EXPECT_EQ(sandbox::syslogText(result.messages[4]),
              "Cannot open log file " + directory + ": Is a directory for ReceiveLog");
    EXPECT_TRUE(fullMatch(sandbox::syslogText(result.messages[5]), std::string(kStamp) + " INFO     - third"))
        << result.messages[5];

    EXPECT_FALSE(File::exists(dir.file("no-such-dir")));
}

}  // namespace
