// The console trace: the lines a person running `kstd -d` reads (and the
// tests that read the daemon's console).
//
// Lines on standard output are written only while the trace is on (the
// default); a daemon whose standard output is /dev/null switches it off, so
// that no time goes into formatting and writing lines nobody can read. Lines
// on standard error are always written.
//
// Every function may be called from any thread. Each writes its whole line
// with one stdio call, so lines of different threads never mix.
#ifndef KST_TRACE_H
#define KST_TRACE_H

#include <pthread.h>

// The calling thread's id as the console lines print it.
inline unsigned long threadId() { return static_cast<unsigned long>(pthread_self()); }

void setConsoleTrace(bool on);
bool consoleTrace();

// Standard output: "<threadId>: <text>".
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Standard output: "<threadId>: <name>: <text>", `name` being the thread's
// or the part's name.
void traceAs(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Standard output: "<text>" without the thread's id, for the lines that
// continue another or never had it.
void tracePlain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Standard error: "<threadId>: <text>" and "<threadId>: <name>: <text>".
void traceError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void traceErrorAs(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Where an event's console line goes (see report() in logger.h): the trace
// on standard output, standard error, or nowhere (an event with a record
// only).
enum class ConsoleStream { Trace, Error, None };

#endif
