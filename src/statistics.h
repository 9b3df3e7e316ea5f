// The gateway's statistics, collected in one place for the remote
// interface's getStats and the HTTP interface's status and metrics. Any
// thread may collect them.
#ifndef KST_STATISTICS_H
#define KST_STATISTICS_H

#include <time.h>

#include <string>
#include <vector>

#include "sms_send_manager.h"
#include "store.h"

class SmsQue;
struct Counters;

struct Statistics {
    time_t serverStartTime = 0;
    time_t serverCurrentTime = 0;
    long queueLength = 0;
    long sentMessages = 0;
    long receivedMessages = 0;
    long sentConfirmations = 0;
    // Every sender in the order of preference; `_status` 0 not connected,
    // 1 connected, 2 connected and active.
    std::vector<SenderInfo> senders;
    // A store whose queue several daemons share: every queued message in
    // it, claimed or not (-1 while its database cannot be read), and the
    // daemons holding a lease (read only when asked for).
    bool sharedStore = false;
    long sharedQueueLength = -1;
    std::vector<DaemonLease> daemons;
    bool daemonsKnown = false;
};

// Each part may be null: it then counts nothing (no sender, an empty queue,
// no shared queue). A store that fails leaves its figures unknown.
Statistics collectStatistics(SmsQue* queue, SmsSendManager* manager, const Counters* counters, time_t serverStartTime,
                             Store* store = nullptr, bool withDaemons = false);

#endif
