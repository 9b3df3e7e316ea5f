#include "statistics.h"

#include "counters.h"
#include "sms.h"

Statistics collectStatistics(SmsQue* queue, SmsSendManager* manager, const Counters* counters, time_t serverStartTime,
                             Store* store, bool withDaemons) {
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
    if (store != nullptr && store->sharesQueue()) {
        stats.sharedStore = true;
        try {
            stats.sharedQueueLength = store->queuedCount();
            if (withDaemons) {
                stats.daemons = store->liveDaemons();
                stats.daemonsKnown = true;
            }
        } catch (const StoreError&) {
            // The database is away: this daemon's own figures still count.
        }
    }
    return stats;
}
