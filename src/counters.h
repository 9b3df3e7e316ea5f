// The daemon's counters for the statistics. The Gateway owns one; the
// senders and the e-mailer count, the servant's statistics call reads. Every
// member may be used from any thread.
#ifndef KST_COUNTERS_H
#define KST_COUNTERS_H

#include <atomic>

struct Counters {
    // Messages handed on successfully (the senders' threads).
    std::atomic<long> sentMessages{0};
    // Messages received (the senders' threads).
    std::atomic<long> receivedMessages{0};
    // Confirmation e-mails sent (the e-mailer's thread).
    std::atomic<long> sentConfirmations{0};
};

#endif
