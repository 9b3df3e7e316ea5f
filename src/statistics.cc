#include "statistics.h"

#include "counters.h"
#include "sms.h"

Statistics collectStatistics(SmsQue* queue, SmsSendManager* manager, const Counters* counters, time_t serverStartTime) {
    Statistics stats;
    stats.serverStartTime = serverStartTime;
    stats.serverCurrentTime = time(nullptr);
    stats.queueLength = queue ? queue->size() : 0;
    if (counters != nullptr) {
        stats.sentMessages = counters->sentMessages.load();
        stats.receivedMessages = counters->receivedMessages.load();
        stats.sentConfirmations = counters->sentConfirmations.load();
    }
    if (manager != nullptr) manager->getStats(stats.senders);
    return stats;
}
