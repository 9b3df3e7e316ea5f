// One outgoing short message and the locked send queue that carries it from
// the remote interface to the active sender.
#ifndef KST_SMS_H
#define KST_SMS_H

#include <stdint.h>

#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "qpthr.h"
#include "stop_signal.h"

struct AnswerToKeep;

// A plain value: every hand-over copies it, so no two threads share one.
class Sms {
public:
    Sms();
    // Null pointers are stored as empty strings. Prints a trace line.
    Sms(const char* target, const char* source, const char* message, const char* remoteAddr, bool onDisplay,
        const char* mailTo);
    Sms(const std::string& target, const std::string& source, const std::string& message, const std::string& remoteAddr,
        bool onDisplay, const std::string& mailTo);

    const char* source() const { return m_source.c_str(); }
    const char* target() const { return m_target.c_str(); }
    const char* message() const { return m_message.c_str(); }
    const char* remoteAddr() const { return m_remoteAddr.c_str(); }
    bool onDisplay() const { return m_onDisplay; }
    // Empty when no delivery confirmation was asked for.
    const char* mailTo() const { return m_mailTo.c_str(); }
    // The message's id in the store; 0 when it is not stored.
    uint64_t id() const { return m_id; }
    void setId(uint64_t id) { m_id = id; }

    // What the HTTP interface keeps with a message for its caller: their
    // reference, where its delivery is reported and which part of the text
    // it is. Stored with the message; the senders use only the callback
    // URL, which asks for a delivery notification as an e-mail address
    // does.
    struct Tracking {
        std::string clientRef;
        std::string callbackUrl;
        int part = 1;
        int parts = 1;
        // The concatenation reference of a message that is not stored (the
        // store does not keep it; see concatenationReference()).
        uint8_t reference = 0;
    };
    // Held once for all copies of the message (immutable, so copies on
    // other threads may share it); a message without one has the defaults.
    const Tracking& tracking() const { return m_tracking ? *m_tracking : noTracking(); }
    void setTracking(const Tracking& tracking) { m_tracking = std::make_shared<const Tracking>(tracking); }
    // Whether the network is asked for a delivery notification: someone is
    // told of it (a confirmation e-mail or a delivery callback).
    // The reference in the concatenation header of each part of one text
    // (Concatenation = udh): the low byte of the first part's store id (the
    // store gives the parts of one text consecutive ids in one commit), or
    // the tracking's reference for a message that is not stored.
    uint8_t concatenationReference() const {
        if (m_id == 0) return tracking().reference;
        return static_cast<uint8_t>(m_id - static_cast<uint64_t>(tracking().part - 1));
    }
    bool wantsNotification() const { return !m_mailTo.empty() || !tracking().callbackUrl.empty(); }

private:
    std::string m_source;
    std::string m_target;
    std::string m_message;
    std::string m_remoteAddr;
    bool m_onDisplay;
    std::string m_mailTo;
    uint64_t m_id = 0;
    std::shared_ptr<const Tracking> m_tracking;

    static const Tracking& noTracking();
};

// The send queue. The public operations lock the queue themselves and may be
// called from any thread (the servant's, the senders'); the "Safe"
// operations of an implementation expect the caller to hold the lock
// (REQUIRES(m_mutex): Clang checks it).
class SmsQue {
public:
    // `stopSignal` ends the waits; it must outlive the queue.
    explicit SmsQue(StopSignal& stopSignal);
    virtual ~SmsQue();
    SmsQue(const SmsQue&) = delete;
    SmsQue& operator=(const SmsQue&) = delete;

    // Each returns the queue length after the operation. appendSmsSafe and
    // insertSmsSafe may take the content of their argument: the public
    // operations hand them a copy of their own, after prepareSafe().
    virtual int appendSmsSafe(Sms& sms) REQUIRES(m_mutex) = 0;
    virtual int insertSmsSafe(Sms& sms) REQUIRES(m_mutex) = 0;
    // False, with `sms` untouched, when the queue is empty.
    virtual bool getSmsSafe(Sms& sms) REQUIRES(m_mutex) = 0;
    virtual int getSizeSafe() REQUIRES(m_mutex) = 0;
    // Appends every message of an accepted batch; returns the new length.
    // By default one by one with appendSmsSafe. An implementation may throw
    // when it cannot take the batch; it must then have taken none of it.
    virtual int appendBatchSafe(std::vector<Sms>& messages) REQUIRES(m_mutex);

    // Appends at the back; returns the new length (the message's position).
    int appendSms(Sms& sms) EXCLUDES(m_mutex);
    // Appends every message, in order and as one step (no other message
    // comes between them), or none when the queue would then hold more than
    // `limit`. Returns the new length, or -1 when nothing was queued. The
    // messages' content may be taken; each keeps the id the store gave it. What appendBatchSafe throws passes on
    // (StoreError from a stored queue), with nothing queued. An
    // implementation may let concurrent calls share one step (a stored
    // queue: one commit); each call still returns only when its own
    // messages are queued. `answer` (null: none) is kept in the store with
    // the messages, in the same step (Store::enqueue()); this queue, which
    // has no store, throws StoreError for one.
    virtual int appendAll(std::vector<Sms>& messages, long limit, AnswerToKeep* answer = nullptr) EXCLUDES(m_mutex);
    // Puts the message at the front, so that it is the next one taken.
    int insertSms(Sms& sms) EXCLUDES(m_mutex);
    // Takes the first message; never waits.
    bool getSms(Sms& sms) EXCLUDES(m_mutex);
    int size() EXCLUDES(m_mutex);

    // Waits until the queue holds a message or the stop is requested. The
    // message stays in the queue. Sender threads.
    void waitForSms() EXCLUDES(m_mutex);
    // Waits at most `milliseconds` for the same; returns whether the queue
    // holds a message. Returns at once when it does or when stopping.
    bool waitForSmsFor(long milliseconds) EXCLUDES(m_mutex);
    // Wakes the waiting threads so that they look at the stop flag. The stop
    // request calls it; any thread may.
    void alarm() EXCLUDES(m_mutex);

    // A descriptor that becomes readable when a message arrives in an empty
    // queue or alarm() is called (so also at the stop), so that a sender can wait for the queue
    // and its connection together with poll(); -1 if the system has none to
    // give. clearNotify() makes it unreadable again; a consumer clears it
    // before it looks at the queue, so no arrival goes unnoticed.
    int notifyFd() const { return m_notifyFd; }
    void clearNotify();

protected:
    // Called without the lock, right before appendSmsSafe or insertSmsSafe
    // of the same message on the same thread: an implementation may make
    // the message's storage here, so that the locked part allocates nothing.
    virtual void prepareSafe(Sms&) EXCLUDES(m_mutex) {}
    // Makes notifyFd() readable: an implementation's own appendAll calls it
    // when the queue stops being empty, after releasing the lock.
    void notify();

    // The queue's lock; m_cond is signalled whenever a message is added
    // and at the stop. The implementation's list is guarded by m_mutex.
    qpthr::QpMutex m_mutex;
    qpthr::QpCond m_cond;

private:
    int add(Sms& sms, const char* operation, int (SmsQue::*addSafe)(Sms&)) EXCLUDES(m_mutex);
    bool shouldStopWaiting() REQUIRES(m_mutex);

    // Constant after construction.
    int m_notifyFd;
    // Declared last: released before the lock and condition it uses.
    StopSignal::Registration m_stopWaker;

    // Collaborators, from the constructor.
    StopSignal& m_stopSignal;
};

class SmsQueMemory : public SmsQue {
public:
    explicit SmsQueMemory(StopSignal& stopSignal) : SmsQue(stopSignal) {}
    ~SmsQueMemory() override = default;

    int appendSmsSafe(Sms& sms) override REQUIRES(m_mutex);
    int insertSmsSafe(Sms& sms) override REQUIRES(m_mutex);
    bool getSmsSafe(Sms& sms) override REQUIRES(m_mutex);
    int getSizeSafe() override REQUIRES(m_mutex);

protected:
    // Fills the calling thread's own prepared node: needs no lock.
    void prepareSafe(Sms& sms) override EXCLUDES(m_mutex);

private:
    // Moves the prepared node (or, without one, the message) into the list.
    void takePrepared(Sms& sms, bool atFront) REQUIRES(m_mutex);

    std::list<Sms> m_smsQue GUARDED_BY(m_mutex);
};

#endif
