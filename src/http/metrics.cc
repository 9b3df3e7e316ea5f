#include "metrics.h"

#include <stdio.h>

#include "counters.h"

namespace {

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& out, const std::string& name, double value) {
    char number[64];
    snprintf(number, sizeof number, "%.17g", value);
    out += name + " " + number + "\n";
}

void counter(std::string& out, const char* name, const char* help, long value) {
    family(out, name, "counter", help);
    sample(out, name, static_cast<double>(value));
}

// A label value with backslash, quote and line feed escaped.
std::string labelValue(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void histogram(std::string& out, const char* name, const char* help, const LatencyHistogram& histogram) {
    family(out, name, "histogram", help);
    long long cumulative = 0;
    char bound[32];
    for (size_t i = 0; i < LatencyHistogram::bounds.size(); ++i) {
        cumulative += histogram.bucket(i);
        snprintf(bound, sizeof bound, "%g", LatencyHistogram::bounds[i]);
        sample(out, std::string(name) + "_bucket{le=\"" + bound + "\"}", static_cast<double>(cumulative));
    }
    cumulative += histogram.bucket(LatencyHistogram::bounds.size());
    sample(out, std::string(name) + "_bucket{le=\"+Inf\"}", static_cast<double>(cumulative));
    sample(out, std::string(name) + "_sum", histogram.sumSeconds());
    sample(out, std::string(name) + "_count", static_cast<double>(cumulative));
}

}  // namespace

std::string renderMetrics(const Statistics& stats, const Counters& counters, size_t registrySize) {
    std::string out;
    counter(out, "kestrova_messages_accepted_total", "Messages queued through either interface.",
            counters.acceptedMessages.load());
    counter(out, "kestrova_messages_submitted_total", "Submissions to the network, repeated ones included.",
            counters.submittedMessages.load());
    counter(out, "kestrova_messages_acknowledged_total", "Messages the network accepted.",
            counters.sentMessages.load());
    counter(out, "kestrova_messages_refused_total", "Submissions the SMSC refused.", counters.refusedMessages.load());
    counter(out, "kestrova_messages_delivered_total", "Delivery notifications saying delivered.",
            counters.deliveredMessages.load());
    counter(out, "kestrova_messages_received_total", "Messages received.", counters.receivedMessages.load());
    counter(out, "kestrova_confirmations_mailed_total", "Confirmation e-mails sent.",
            counters.sentConfirmations.load());
    counter(out, "kestrova_confirmations_failed_total", "Failed attempts to mail a confirmation.",
            counters.failedConfirmations.load());
    counter(out, "kestrova_webhooks_delivered_total", "Delivery callbacks the caller's endpoint took.",
            counters.deliveredWebhooks.load());
    counter(out, "kestrova_webhooks_failed_total", "Failed attempts to deliver a callback.",
            counters.failedWebhooks.load());

    family(out, "kestrova_queue_length", "gauge", "Messages waiting in the send queue.");
    sample(out, "kestrova_queue_length", static_cast<double>(stats.queueLength));
    if (stats.sharedStore && stats.sharedQueueLength >= 0) {
        family(out, "kestrova_shared_queue_length", "gauge",
               "Messages queued in the store the daemons share, for any of them.");
        sample(out, "kestrova_shared_queue_length", static_cast<double>(stats.sharedQueueLength));
    }
    if (stats.sharedStore && stats.daemonsKnown) {
        family(out, "kestrova_daemons_alive", "gauge", "Daemons sharing the store whose lease holds.");
        sample(out, "kestrova_daemons_alive", static_cast<double>(stats.daemons.size()));
    }
    family(out, "kestrova_registry_size", "gauge", "Submitted messages waiting for their result or notification.");
    sample(out, "kestrova_registry_size", static_cast<double>(registrySize));
    family(out, "kestrova_start_time_seconds", "gauge", "When the daemon started, in seconds since the epoch.");
    sample(out, "kestrova_start_time_seconds", static_cast<double>(stats.serverStartTime));
    family(out, "kestrova_sender_connected", "gauge", "Whether the sender is connected to its network.");
    for (const SenderInfo& sender : stats.senders) {
        sample(out, "kestrova_sender_connected{sender=\"" + labelValue(sender._name) + "\"}",
               sender._status >= 1 ? 1 : 0);
    }
    family(out, "kestrova_sender_active", "gauge", "Whether the sender is the one that sends.");
    for (const SenderInfo& sender : stats.senders) {
        sample(out, "kestrova_sender_active{sender=\"" + labelValue(sender._name) + "\"}", sender._status >= 2 ? 1 : 0);
    }
    histogram(out, "kestrova_accept_latency_seconds",
              "Time from a submission's arrival to its messages' commit, both interfaces.", counters.acceptLatency);
    histogram(out, "kestrova_acknowledgement_latency_seconds",
              "Time from a message's latest submission to the SMSC's acknowledgement.",
              counters.acknowledgementLatency);
    histogram(out, "kestrova_notification_latency_seconds",
              "Time from the SMSC's acknowledgement to the delivery notification.", counters.notificationLatency);
    return out;
}
