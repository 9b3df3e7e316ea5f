// The daemon's counters for the statistics and the metrics. The Gateway owns
// one; the submissions, the senders and the e-mailer count, the servant's
// statistics call and the HTTP interface read. Every member may be used from
// any thread.
#ifndef KST_COUNTERS_H
#define KST_COUNTERS_H

#include <stddef.h>

#include <array>
#include <atomic>
#include <chrono>

// A histogram of durations with fixed bucket bounds, counted lock-free: each
// observation adds to the first bucket it fits and to the sum.
class LatencyHistogram {
public:
    // Upper bounds of the buckets, in seconds; a last one holds the rest.
    static constexpr std::array<double, 16> bounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,  0.1,
                                                   0.25,   0.5,   1.0,    2.5,   10.0, 60.0,  600.0, 3600.0};

    template <class Duration>
    void observe(Duration duration) {
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
        observeSeconds(static_cast<double>(micros < 0 ? 0 : micros) / 1e6);
    }
    void observeSeconds(double seconds) {
        size_t bucket = 0;
        while (bucket < bounds.size() && seconds > bounds[bucket]) ++bucket;
        ++m_buckets[bucket];
        m_sumMicros += static_cast<long long>(seconds * 1e6 + 0.5);
    }
    // Observations in bucket `i` alone (not cumulative); i == bounds.size()
    // is the rest.
    long long bucket(size_t i) const { return m_buckets[i].load(); }
    double sumSeconds() const { return static_cast<double>(m_sumMicros.load()) / 1e6; }

private:
    std::array<std::atomic<long long>, bounds.size() + 1> m_buckets{};
    std::atomic<long long> m_sumMicros{0};
};

struct Counters {
    // Messages handed on successfully: accepted by the network (the senders'
    // threads).
    std::atomic<long> sentMessages{0};
    // Messages received (the senders' threads).
    std::atomic<long> receivedMessages{0};
    // Confirmation e-mails sent (the e-mailer's thread).
    std::atomic<long> sentConfirmations{0};
    // Failed attempts to mail a confirmation (the e-mailer's thread).
    std::atomic<long> failedConfirmations{0};
    // Messages queued by either interface (the submissions' callers).
    std::atomic<long> acceptedMessages{0};
    // Submissions to the network, repeated ones included (the senders).
    std::atomic<long> submittedMessages{0};
    // Submissions the SMSC refused (the senders).
    std::atomic<long> refusedMessages{0};
    // Delivery notifications saying "delivered" (the senders).
    std::atomic<long> deliveredMessages{0};
    // Delivery callbacks an endpoint took, and failed attempts to deliver
    // one (the webhook dispatcher's thread).
    std::atomic<long> deliveredWebhooks{0};
    std::atomic<long> failedWebhooks{0};
    // Time from a request's arrival in the submission to its messages'
    // commit (the submissions' callers).
    LatencyHistogram acceptLatency;
    // Time from the latest submission of a message to the SMSC's
    // acknowledgement, and from that to its delivery notification (the
    // SMSC sender; not for messages taken up again after a restart).
    LatencyHistogram acknowledgementLatency;
    LatencyHistogram notificationLatency;
};

#endif
