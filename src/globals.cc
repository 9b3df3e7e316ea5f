#include "globals.h"

#include <omniORB4/CORBA.h>

StopSignal& g_stopSignal = *new StopSignal;
bool g_debug = false;
time_t g_serverStartTime = 0;
pid_t g_pid = 0;

Logger* g_errorLog = nullptr;

qpthr::QpMutex& g_sigHandlerMutex = *new qpthr::QpMutex;

const char* const iniFileName = KST_INI_FILE;
const char* const iorFileName = KST_IOR_FILE;
const char* const pidFileName = KST_PID_FILE;

CORBA::ORB_var orb;
