#include "logger.h"

#include <stdio.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

Logger::Logger(const char* logName, const char* fileName) : m_logName(logName ? logName : "") {
    std::string name = fileName ? fileName : "";
    m_file.setName(name);
    m_fileNameShown = name.empty() ? "SYSLOG" : name;
}

namespace {

// A number for the calling thread that no other thread of the process ever
// gets, so lines a thread queued and never wrote cannot reach the record of
// a later thread that happens to receive the same thread id.
unsigned long long threadSerial() {
    static std::atomic<unsigned long long> next{1};
    thread_local const unsigned long long serial = next++;
    return serial;
}

}  // namespace

std::string Logger::escape(const std::string& value) {
    std::string shown;
    shown.reserve(value.size());
    for (const char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\n': shown += "\\n"; break;
            case '\r': shown += "\\r"; break;
            case '\t': shown += "\\t"; break;
            case '\\': shown += "\\\\"; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    static const char hex[] = "0123456789ABCDEF";
                    shown += "\\x";
                    shown += hex[byte >> 4];
                    shown += hex[byte & 0x0F];
                } else {
                    shown += c;
                }
        }
    }
    return shown;
}

const char* Logger::fileName() const { return m_fileNameShown.c_str(); }

void Logger::put(const std::string& message) {
    qpthr::QpLock guard(m_mutex);
    m_messageBuffer[threadSerial()].push_back(message);
}

std::string Logger::formatRecord(const std::vector<std::string>& lines, const char* message, char type) const {
    timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);

    char date[40];
    strftime(date, sizeof date, "%Y-%m-%d %T", &local);
    char header[96];
    const long milliseconds = now.tv_usec / 1000;
    if (type == 'i') {
        snprintf(header, sizeof header, "%s,%03ld INFO     - ", date, milliseconds);
    } else if (type == 'e') {
        snprintf(header, sizeof header, "%s,%03ld ERROR    - ", date, milliseconds);
    } else {
        snprintf(header, sizeof header, "%s,%03ld type: %c    - ", date, milliseconds, type);
    }

    std::string record = header;
    const std::string padding(record.size(), ' ');
    for (const std::string& line : lines) {
        record += line;
        record += '\n';
        record += padding;
    }
    record += message;
    return record;
}

void Logger::write(char* message, char type) {
    std::vector<std::string> lines;
    std::string record;
    {
        qpthr::QpLock guard(m_mutex);
        auto queued = m_messageBuffer.find(threadSerial());
        if (queued != m_messageBuffer.end()) {
            lines.swap(queued->second);
            m_messageBuffer.erase(queued);
        }
    }
    record = formatRecord(lines, message ? message : "", type);

    const std::string name = m_file.name();
    if (name.empty()) {
        syslog(LOG_INFO, "%s", record.c_str());
        return;
    }

    // One File per record, so that concurrent writers share no descriptor.
    ::File file;
    file.setName(name);
    if (file.open(::File::IO_WriteOnly | ::File::IO_Append)) {
        record += '\n';
        // A short or failed write to the log has nowhere better to go.
        ssize_t written = ::write(file.handle(), record.data(), record.size());
        (void)written;
    } else {
        syslog(LOG_ERR, "Cannot open log file %s: %s for %s", name.c_str(), file.errorString().c_str(),
               m_logName.c_str());
        syslog(LOG_INFO, "%s", record.c_str());
    }
    file.close();
}

void Logger::write(const std::vector<std::string>& lines, char type) {
    if (lines.empty()) return;
    for (size_t i = 0; i + 1 < lines.size(); ++i) put(lines[i]);
    write(lines.back(), type);
}

namespace {

// The syslog and console lines of an event (see report()).
void announce(const char* name, const std::string& line, ConsoleStream stream, SyslogLine syslogLine) {
    if (syslogLine == SyslogLine::Info) {
        syslog(LOG_INFO, "%s", (name != nullptr ? std::string(name) + ": " + line : line).c_str());
    }
    if (stream == ConsoleStream::None) return;
    if (stream == ConsoleStream::Error) {
        if (name != nullptr) {
            traceErrorAs(name, "%s\n", line.c_str());
        } else {
            traceError("%s\n", line.c_str());
        }
    } else if (name != nullptr) {
        traceAs(name, "%s\n", line.c_str());
    } else {
        trace("%s\n", line.c_str());
    }
}

}  // namespace

void report(Logger* log, char type, const std::string& record, const char* name, const std::string& line,
            ConsoleStream stream, SyslogLine syslogLine) {
    if (log != nullptr) log->write(record, type);
    announce(name, line, stream, syslogLine);
}

void report(Logger* log, char type, const std::vector<std::string>& record, const char* name, const std::string& line,
            ConsoleStream stream, SyslogLine syslogLine) {
    if (log != nullptr) log->write(record, type);
    announce(name, line, stream, syslogLine);
}
