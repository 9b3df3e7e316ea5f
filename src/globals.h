// The daemon's process-wide names. The part pointers are aliases of the
// Gateway's parts, set only by main() before the first thread starts and
// cleared after the threads ended, for the code that cannot be handed them
// yet: the servant, the senders and the stop request's record.
#ifndef KST_GLOBALS_H
#define KST_GLOBALS_H

#include <sys/types.h>
#include <time.h>

#include <atomic>

#include "qpthr.h"
#include "stop_signal.h"

class SmsQue;
class SmsSendManager;
class SmsProcessing;
class Emailer;
class Logger;

// The stop request every thread loop and pause looks at. Never destroyed:
// the signal thread may still use it while the process exits.
extern StopSignal& g_stopSignal;
extern bool g_debug;
extern time_t g_serverStartTime;
extern pid_t g_pid;

extern SmsQue* g_sendQue;
extern SmsSendManager* g_sendManager;
extern SmsProcessing* g_smsProcessing;
extern Emailer* g_emailer;
extern Logger* g_errorLog;

// Never destroyed: a stop signal may still be handled while the process
// exits.
extern qpthr::QpMutex& g_sigHandlerMutex;

// Fixed paths of the daemon.
extern const char* const iniFileName;
extern const char* const iorFileName;
extern const char* const pidFileName;

#endif
