#include "shutdown.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "emailer.h"
#include "globals.h"
#include "ior_file.h"
#include "logger.h"
#include "sms.h"
#include "sms_processing.h"
#include "trace.h"
#include "version.h"

Shutdowner::Shutdowner(StopSignal& stopSignal)
    : m_stopWaker(stopSignal.onStop([] { trace("Shutdowner: wake up\n"); })), m_stopSignal(stopSignal) {}

Shutdowner::~Shutdowner() { Join(); }

void Shutdowner::Main() {
    trace("Shutdowner: started\n");
    m_stopSignal.wait();

    if (CORBA::is_nil(orb)) {
        traceAs("Shutdowner", "there is no ORB to shutdown.\n");
    } else {
        traceAs("Shutdowner", "Shutting the ORB down.\n");
        try {
            orb->shutdown(false);
        } catch (...) {
        }
    }
    traceAs("Shutdowner", "ORB is destroyed\n");
}

void asyncSigHandler(int signalNumber) {
    static bool called = false;

    traceAs("signal handler", "entry\n");
    // Held until the record is written: main() takes it before it closes
    // the error log, which it does only after the stop was requested.
    g_sigHandlerMutex.Lock();
    const bool first = !called;
    called = true;
    // Wakes every thread: the shutdown thread, the senders, the send queue,
    // the e-mailer and the received-SMS processor.
    g_stopSignal.requestStop();
    if (first) {
        report(g_errorLog, 'i', std::string("SMS Service v") + version + " stopping", "signal handler",
               "Caught signal " + std::to_string(signalNumber) + ", exiting.", ConsoleStream::Trace);
    }
    g_sigHandlerMutex.Unlock();
    traceAs("signal handler", "finish\n");
}

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void* signalThread(void*) {
    const sigset_t set = stopSignals();
    for (;;) {
        int signalNumber = 0;
        if (sigwait(&set, &signalNumber) == 0) asyncSigHandler(signalNumber);
    }
    return nullptr;
}

}  // namespace

void blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool startSignalThread() {
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    const int rc = pthread_create(&thread, &attributes, &signalThread, nullptr);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        traceError("Cannot start the signal thread: %s\n", strerror(rc));
        return false;
    }
    return true;
}

void cleanup(WrittenIorFile& written) {
    traceAs("cleanup", "start\n");
    removeWrittenIorFile(iorFileName, written);
    traceAs("cleanup", "finish\n");
    fflush(stdout);
    if (!g_debug) kill(g_pid, SIGTERM);
}
