#include "trace.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>
#include <string>

namespace {

std::atomic<bool> consoleTraceOn{true};

// `prefix` followed by the formatted text, written with one call.
void writeLine(FILE* stream, const std::string& prefix, const char* format, va_list arguments) {
    std::string line = prefix;
    va_list measure;
    va_copy(measure, arguments);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        line.resize(prefix.size() + static_cast<size_t>(length) + 1);
        vsnprintf(&line[prefix.size()], static_cast<size_t>(length) + 1, format, arguments);
        line.resize(prefix.size() + static_cast<size_t>(length));
    }
    fwrite(line.data(), 1, line.size(), stream);
}

std::string threadPrefix() { return std::to_string(threadId()) + ": "; }

std::string namedPrefix(const char* name) { return threadPrefix() + (name ? name : "") + ": "; }

}  // namespace

void setConsoleTrace(bool on) { consoleTraceOn.store(on, std::memory_order_relaxed); }

bool consoleTrace() { return consoleTraceOn.load(std::memory_order_relaxed); }

void trace(const char* format, ...) {
    if (!consoleTrace()) return;
    va_list arguments;
    va_start(arguments, format);
    writeLine(stdout, threadPrefix(), format, arguments);
    va_end(arguments);
}

void traceAs(const char* name, const char* format, ...) {
    if (!consoleTrace()) return;
    va_list arguments;
    va_start(arguments, format);
    writeLine(stdout, namedPrefix(name), format, arguments);
    va_end(arguments);
}

void tracePlain(const char* format, ...) {
    if (!consoleTrace()) return;
    va_list arguments;
    va_start(arguments, format);
    writeLine(stdout, std::string(), format, arguments);
    va_end(arguments);
}

void traceError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeLine(stderr, threadPrefix(), format, arguments);
    va_end(arguments);
}

void traceErrorAs(const char* name, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeLine(stderr, namedPrefix(name), format, arguments);
    va_end(arguments);
}
