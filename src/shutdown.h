// Stopping the daemon: the stop-signal handling, the thread that takes the
// ORB down, the joins main() waits for and the exit handler.
//
// SIGINT and SIGTERM are blocked in every thread of the daemon from the moment
// the first thread starts; one signal thread waits for them with sigwait() and
// runs asyncSigHandler() for each. It is an ordinary thread, not a signal
// handler: the stop request's work (output, locks, condition signals, the
// logger) never runs in an asynchronous context.
#ifndef KST_SHUTDOWN_H
#define KST_SHUTDOWN_H

#include <omniORB4/CORBA.h>

#include "qpthr.h"
#include "stop_signal.h"

// The ORB of the daemon; nil until main() has initialised it.
extern CORBA::ORB_var orb;

class Shutdowner : public qpthr::QpThread {
public:
    // `stopSignal` is the request the thread waits for; it must outlive
    // the thread.
    explicit Shutdowner(StopSignal& stopSignal);
    ~Shutdowner() override;

    // The shutdown thread: waits for the stop request, then shuts the ORB
    // down so that main() leaves orb->run().
    void Main() override;

private:
    // Writes the wake-up trace line at the stop.
    StopSignal::Registration m_stopWaker;

    // Collaborators, from the constructor.
    StopSignal& m_stopSignal;
};

// The stop request, on the signal thread (or main's when that thread cannot
// start): requests the stop of g_stopSignal, which wakes every thread, and
// writes the "stopping" record once per process, both under
// g_sigHandlerMutex.
void asyncSigHandler(int signalNumber);

// Blocks SIGINT and SIGTERM in the calling thread; threads it starts later
// inherit the block. main() calls it before the ORB or any thread starts.
void blockStopSignals();

// Starts the thread that receives SIGINT and SIGTERM and runs
// asyncSigHandler() for each. Returns false if it cannot be started.
bool startSignalThread();

struct WrittenIorFile;

// The exit handler's work: removes the IOR file if `written` says this
// daemon wrote it, and, outside debug mode, sends SIGTERM to the daemon's
// own process. main() registers a handler that calls it with its record.
void cleanup(WrittenIorFile& written);

#endif
