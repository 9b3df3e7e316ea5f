// The thread that hands every received message to the configured commands.
// Each command runs through /bin/sh -c, after "umask 022", with the message's
// variables in its own environment; the commands of one message run one after the other, and
// messages are handled in the order they arrived. With a store, each message
// is committed to it when it is queued and marked processed when its
// commands ran, so that a restart runs the commands of the ones in between.
//
// The parts of a concatenated message are kept (in the store, when there is
// one) until all of them are there; then the commands run once, for the
// joined text. Parts still incomplete after the concatenation time-out are
// handed on one by one.
#ifndef KST_SMS_PROCESSING_H
#define KST_SMS_PROCESSING_H

#include <stdint.h>

#include <time.h>

#include <map>
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
// "ALPHABET" ("7bit", "8bit" or "ucs2": the coding that came), "UD", then
// "MWI_ENABLED", "MWI", "CLASS" and "UDHI", which are empty.
EnvironmentList receivedSmsEnvironment(const std::string& originatingAddress, const std::string& scAddress,
                                       const std::string& scTime, const std::string& userData,
                                       const std::string& alphabet = "7bit");

class Logger;
class Store;
struct StoredReceivedPart;

// A received message that is one part of a concatenated one.
struct ReceivedPart {
    // The same for every part of one message and different for any other:
    // see receivedPartGroup().
    std::string group;
    int count = 0;   // parts of the message
    int number = 0;  // this one's, 1..count
};

// The group of a part: the receiving sender, the originator, the reference
// (`sixteenBit`: a 16-bit one) and the number of parts.
std::string receivedPartGroup(const std::string& sender, const std::string& originator, unsigned reference,
                              bool sixteenBit, int count);

// What enque() did with a received message.
struct EnqueOutcome {
    enum Kind {
        Queued,     // a whole message, queued for the commands
        PartKept,   // a part, kept until the others come
        Duplicate,  // a part that was there already: ignored
        Joined,     // the last missing part: the joined message is queued
    };
    Kind kind = Queued;
    std::string joinedText;  // Joined: the whole text ("UD")
    int parts = 0;           // Joined: how many parts it has
};

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
    // Seconds the parts of a concatenated message wait for the others
    // (default 300), and the log that says when they stopped waiting
    // (null: none; `hideOriginatingAddress` hides the originator there).
    // Before Start().
    void setConcatenation(int timeoutSeconds, Logger* receiveLog, bool hideOriginatingAddress);

    // Queues a copy of one message's variables; returns at once, after
    // committing it to the store (if any): what it returns may be
    // acknowledged to the message's source. Throws StoreError, queueing
    // nothing, when the store cannot take it. Any thread.
    void enque(const EnvironmentList& list);
    // The same for a message that may be a part (`part` null: it is not;
    // a part whose count is below 2 or whose number is out of range is
    // taken as a whole message). A part is committed to the store (when
    // there is one) before this returns; a failure to store the joined
    // message afterwards keeps the parts, and the processor tries again.
    // Throws StoreError, keeping nothing, when the store cannot take it.
    // Any thread.
    EnqueOutcome enque(const EnvironmentList& list, const ReceivedPart* part);
    // Takes the parts the store kept from before a restart. Before Start().
    void resumeParts(const std::vector<StoredReceivedPart>& parts);
    // Queues the messages whose parts are all there but could not be
    // stored joined, and hands on the parts of those that waited longer
    // than the time-out at `now`, one by one. Returns when the next group
    // times out (the epoch when none waits). The processor's thread (a
    // test's while it does not run).
    time_t settleParts(time_t now);
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
    // The parts of one concatenated message that are there.
    struct PartGroup {
        int count = 0;
        time_t firstAt = 0;                    // when its first part came
        std::map<int, EnvironmentList> parts;  // by number
    };

    // Stores `messages` in place of the parts of `group` (in the store, if
    // any) and queues them; false, with an error record, when the store
    // failed (the parts stay).
    bool replaceParts(const std::string& group, const std::vector<EnvironmentList>& messages) REQUIRES(m_partsMutex);
    // The variables of part 1 with "UD" the texts of all parts in order.
    static EnvironmentList joined(const PartGroup& group);

    // Set before Start(), constant from then on: only the thread reads it.
    std::vector<std::string> m_executables;
    // Set before Start(), constant from then on.
    Store* m_store = nullptr;
    Logger* m_errorLog = nullptr;
    int m_concatenationTimeout = 300;
    Logger* m_receiveLog = nullptr;
    bool m_hideOriginatingAddress = false;

    // The incomplete concatenated messages, by group.
    qpthr::QpMutex m_partsMutex;
    std::map<std::string, PartGroup> m_parts GUARDED_BY(m_partsMutex);

    // Collaborators, from the constructor.
    StopSignal& m_stopSignal;
    // The received messages; declared after the stop signal it waits on.
    WorkerQueue<Received> m_queue;
};

#endif
