// The gateway's statistics, collected in one place for the remote
// interface's getStats and the HTTP interface's status and metrics. Any
// thread may collect them.
#ifndef KST_STATISTICS_H
#define KST_STATISTICS_H

#include <time.h>

#include <string>
#include <vector>

#include "sms_send_manager.h"

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
};

// Each part may be null: it then counts nothing (no sender, an empty queue).
Statistics collectStatistics(SmsQue* queue, SmsSendManager* manager, const Counters* counters, time_t serverStartTime);

#endif
