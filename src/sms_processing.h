// The thread that hands every received message to the configured commands.
// Each command runs through /bin/sh -c, after "umask 022", with the message's
// variables in its own environment; the commands of one message run one after the other, and
// messages are handled in the order they arrived. With a store, each message
// is committed to it when it is queued and marked processed when its
// commands ran, so that a restart runs the commands of the ones in between.
#ifndef KST_SMS_PROCESSING_H
#define KST_SMS_PROCESSING_H

#include <stdint.h>

#include <string>
#include <vector>

#include "qpthr.h"
#include "stop_signal.h"
#include "worker_queue.h"

class EnvironmentVariable {
public:
    // Null pointers are kept as empty strings.
    EnvironmentVariable(const char* name, const char* value);
    EnvironmentVariable(const std::string& name, const std::string& value);

    const char* name() const { return m_name.c_str(); }
    const char* value() const { return m_value.c_str(); }

private:
    std::string m_name;
    std::string m_value;
};

// All variables of one received message, in the order they are set.
typedef std::vector<EnvironmentVariable> EnvironmentList;

// Names of the variables a received message carries, in their order.
extern const char* const smsEnvironmentNames[9];

// The variables of one received message: "OA", "SCADDRESS", "SCTIME",
// "ALPHABET" ("7bit"), "UD", then "MWI_ENABLED", "MWI", "CLASS" and "UDHI",
// which are empty.
EnvironmentList receivedSmsEnvironment(const std::string& originatingAddress, const std::string& scAddress,
                                       const std::string& scTime, const std::string& userData);

class Logger;
class Store;

// enque() and size() are called from any thread (the senders'); Main() runs
// on the processor's own thread until the stop.
class SmsProcessing : public qpthr::QpThread {
public:
    // `stopSignal` ends the thread's wait; it must outlive the processor.
    explicit SmsProcessing(StopSignal& stopSignal);
    // Joins the thread: request the stop first. Messages still queued are
    // dropped (a store keeps them for the next start).
    ~SmsProcessing() override;

    // Appends the comma-separated commands of `text`, untrimmed; empty
    // pieces stay, and an empty text gives one empty command. Before Start().
    void setExecutables(const std::string& text);

    // The store that keeps the messages until their commands ran, and the
    // log for its failures after queueing (null: none). Before Start().
    void setStore(Store* store, Logger* errorLog);

    // Queues a copy of one message's variables; returns at once, after
    // committing it to the store (if any): what it returns may be
    // acknowledged to the message's source. Throws StoreError, queueing
    // nothing, when the store cannot take it. Any thread.
    void enque(const EnvironmentList& list);
    // Queues a message the store kept (from before a restart, or taken over
    // from another daemon), under its id. Any thread.
    void resume(uint64_t storeId, const EnvironmentList& list);
    // Messages queued and not taken yet. Any thread.
    int size();
    // Makes the thread look at the stop flag; the stop wakes it by itself.
    // Any thread.
    void wakeUp();
    // Takes the oldest queued message (an empty list when there is none).
    // The processor's thread, or a test's while it does not run.
    EnvironmentList get();
    // Runs every command for one message and waits for each to finish. The
    // processor's thread (a test's while it does not run).
    void process(const EnvironmentList& list);

    void Main() override;

private:
    // One queued message and its row in the store (0: none).
    struct Received {
        uint64_t storeId = 0;
        EnvironmentList variables;
    };

    // Set before Start(), constant from then on: only the thread reads it.
    std::vector<std::string> m_executables;
    // Set before Start(), constant from then on.
    Store* m_store = nullptr;
    Logger* m_errorLog = nullptr;

    // Collaborators, from the constructor.
    StopSignal& m_stopSignal;
    // The received messages; declared after the stop signal it waits on.
    WorkerQueue<Received> m_queue;
};

#endif
