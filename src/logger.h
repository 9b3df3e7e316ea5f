// Writer of time-stamped, possibly multi-line log records to a file, or to
// syslog when no file is configured.
//
// A record is built by calling put() once per leading line and then write()
// with the last line. Lines queued with put() belong to the calling thread, so
// records of different threads never mix, and every record reaches its file
// in one append-mode write(). The file is opened and closed per record.
#ifndef KST_LOGGER_H
#define KST_LOGGER_H

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "qpthr.h"
#include "trace.h"

class Logger {
public:
    // An empty or null file name selects syslog. Nothing is opened here.
    Logger(const char* logName, const char* fileName);

    // The file name, or "SYSLOG" when records go to syslog.
    const char* fileName() const;

    // Queues one leading line of the calling thread's next record.
    void put(char* message) { put(std::string(message ? message : "")); }
    void put(const char* message) { put(std::string(message ? message : "")); }
    void put(const std::string& message) EXCLUDES(m_mutex);

    // Writes the calling thread's queued lines and `message` as one record.
    // `type` 'i' marks information, 'e' an error; any other character is
    // shown as " type: X".
    void write(char* message, char type) EXCLUDES(m_mutex);
    void write(const char* message, char type) { write(const_cast<char*>(message ? message : ""), type); }
    void write(const std::string& message, char type) { write(const_cast<char*>(message.c_str()), type); }
    // Writes `lines` as one record: the calling thread's queued lines, then
    // `lines` (the first on the record's first line). Nothing when empty.
    void write(const std::vector<std::string>& lines, char type) EXCLUDES(m_mutex);

    // `value` as a record shows it: control characters are written as
    // escapes ("\n", "\r", "\t", "\xHH") and a backslash as "\\", so a
    // value from outside can never end its line or look like a record.
    // Record writers pass every value from outside through it.
    static std::string escape(const std::string& value);

private:
    std::string formatRecord(const std::vector<std::string>& lines, const char* message, char type) const;

    // Constant after construction (write() opens a File of its own).
    std::string m_logName;
    ::File m_file;
    std::string m_fileNameShown;
    qpthr::QpMutex m_mutex;
    // Guarded by m_mutex. Queued lines per calling thread, keyed by a
    // number no other thread ever gets (thread ids are reused once a thread
    // has ended).
    std::map<unsigned long long, std::vector<std::string>> m_messageBuffer GUARDED_BY(m_mutex);
};

// Whether an event also goes to syslog, as "<name>: <line>" ("<line>" when
// `name` is null) at LOG_INFO: the daemon's start and stop and the end of
// a sender.
enum class SyslogLine { No, Info };

// One event to each of its outputs: the record `record` of `type` in `log`
// (none when `log` is null), the syslog line when `syslogLine` asks for it,
// then the console line "<thread id>: <name>: <line>\n" on `stream`
// ("<thread id>: <line>\n" when `name` is null; none with
// ConsoleStream::None). Any thread.
void report(Logger* log, char type, const std::string& record, const char* name, const std::string& line,
            ConsoleStream stream, SyslogLine syslogLine = SyslogLine::No);
// The same with a record of several lines, `record` in their order.
void report(Logger* log, char type, const std::vector<std::string>& record, const char* name, const std::string& line,
            ConsoleStream stream, SyslogLine syslogLine = SyslogLine::No);

#endif
