// The thread that supervises the senders: in every cycle it makes the first
// connected sender (in registration order) the active one and tries to
// reconnect the senders that lost their connection.
#ifndef KST_SMS_SEND_MANAGER_H
#define KST_SMS_SEND_MANAGER_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qpthr.h"
#include "sms_sender.h"
#include "stop_signal.h"

struct SenderInfo {
    std::string _name;
    // 0 not connected, 1 connected, 2 connected and active.
    int _status;
};

// The hiding flags reach only senders registered after they are set.
class SmsSendManager : public qpthr::QpThread, public LogHidingFlags {
public:
    // `stopSignal` ends the supervision loop; it must outlive the manager.
    explicit SmsSendManager(StopSignal& stopSignal);
    // Joins the manager's own thread, then joins and destroys every sender,
    // in registration order.
    ~SmsSendManager() override;

    // The manager's own thread: supervises until the stop.
    void Main() override;

    // Hands the hiding flags to the sender and takes ownership of it. Only
    // before the manager's thread starts: the list is read without a lock.
    void registerSmsSender(std::unique_ptr<SmsSender> sender);

    // Appends one entry per sender in registration order; returns their
    // number. Any thread (the statistics call).
    int getStats(std::vector<SenderInfo>& info);
    int getSenderCount();

    // Pause between two supervision cycles (10 s unless changed).
    void setCycleLength(long milliseconds) { m_cycleLengthMs = milliseconds; }
    // Work run on the manager's thread at the start of every cycle (the
    // store's sweep). Only before the manager's thread starts.
    void setCycleTask(std::function<void()> task) { m_cycleTask = std::move(task); }

protected:
    // Sleeps one cycle length, or less when the stop is requested. A test
    // may step the loop cycle by cycle through it.
    virtual void pauseBetweenCycles();

private:
    void superviseOnce();

    // Filled before the manager's thread starts, constant from then on: read
    // without a lock by that thread and the statistics call. The hiding
    // flags likewise.
    std::vector<std::unique_ptr<SmsSender>> m_senders;
    std::function<void()> m_cycleTask;
    // Any thread.
    std::atomic<long> m_cycleLengthMs;

    // Collaborators, from the constructor.
    StopSignal& m_stopSignal;
};

#endif
