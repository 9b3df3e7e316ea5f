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
#include "process.h"
#include "sms.h"
#include "sms_processing.h"
#include "version.h"

Shutdowner::Shutdowner(StopSignal& stopSignal)
    : m_stopWaker(stopSignal.onStop([] { trace("%lu: Shutdowner: wake up\n", threadId()); })),
      m_stopSignal(stopSignal) {}

Shutdowner::~Shutdowner() { Join(); }

void Shutdowner::Main() {
    trace("%lu: Shutdowner: started\n", threadId());
    m_stopSignal.wait();

    if (CORBA::is_nil(orb)) {
        trace("%lu: Shutdowner: there is no ORB to shutdown.\n", threadId());
    } else {
        trace("%lu: Shutdowner: Shutting the ORB down.\n", threadId());
        try {
            orb->shutdown(false);
        } catch (...) {
        }
    }
    trace("%lu: Shutdowner: ORB is destroyed\n", threadId());
}

void asyncSigHandler(int signalNumber) {
    static bool called = false;

    trace("%lu: signal handler: entry\n", threadId());
    // Held until the record is written: main() takes it before it closes
    // the error log, which it does only after the stop was requested.
    g_sigHandlerMutex.Lock();
    const bool first = !called;
    called = true;
    // Wakes every thread: the shutdown thread, the senders, the send queue,
    // the e-mailer and the received-SMS processor.
    g_stopSignal.requestStop();
    if (first) {
        trace("%lu: signal handler: Caught signal %d, exiting.\n", threadId(), signalNumber);
        if (g_errorLog) g_errorLog->write(std::string("SMS Service v") + version + " stopping", 'i');
    }
    g_sigHandlerMutex.Unlock();
    trace("%lu: signal handler: finish\n", threadId());
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
        fprintf(stderr, "%lu: Cannot start the signal thread: %s\n", threadId(), strerror(rc));
        return false;
    }
    return true;
}

void cleanup() {
    trace("%lu: cleanup: start\n", threadId());
    removeWrittenIorFile(iorFileName);
    trace("%lu: cleanup: finish\n", threadId());
    fflush(stdout);
    if (!g_debug) kill(g_pid, SIGTERM);
}
