// The daemon's process-wide names. Only main() and the stop-signal path use
// them; every part is handed what it works with in its constructor.
// g_errorLog is an alias of the Gateway's error log, set only by main()
// and cleared under g_sigHandlerMutex, for the stop request's record.
#ifndef KST_GLOBALS_H
#define KST_GLOBALS_H

#include <sys/types.h>
#include <time.h>

#include <atomic>

#include "qpthr.h"
#include "stop_signal.h"

class Logger;

// The stop request the signal thread makes; main() hands it to the Gateway,
// which hands it to every part. Never destroyed: the signal thread may
// still use it while the process exits.
extern StopSignal& g_stopSignal;
extern bool g_debug;
extern time_t g_serverStartTime;
extern pid_t g_pid;

extern Logger* g_errorLog;

// Never destroyed: a stop signal may still be handled while the process
// exits.
extern qpthr::QpMutex& g_sigHandlerMutex;

// Fixed paths of the daemon.
extern const char* const iniFileName;
extern const char* const iorFileName;
extern const char* const pidFileName;

#endif
