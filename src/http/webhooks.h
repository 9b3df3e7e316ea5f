// Delivery callbacks: the dispatcher that POSTs the JSON of each finished
// message to its callback URL.
//
// The store makes the callbacks (a row per message that carries a callback
// URL, in the transaction that records its final state) and keeps them
// until they are delivered or given up, so a crash or restart loses none;
// delivery is at least once (a crash after the endpoint took one and before
// the store heard of it sends it again). With a store that several daemons
// share, each dispatcher takes its batch of due callbacks for its daemon
// (Store::dueWebhooks()), so that two never post the same one.
//
// Threads: the dispatcher's own thread runs every transfer, at most
// maxTransfers at once on one libcurl multi handle, each with its own
// time-outs, so a slow or dead endpoint holds only its own transfer. All of
// the dispatcher's state belongs to that thread; no lock is needed. main's
// thread constructs it, calls start() once the stop signals are blocked
// and destroys it before the store: the destructor ends the thread
// promptly (also without a stop request) and waits for it; transfers under
// way are dropped and sent again after the restart.
#ifndef KST_HTTP_WEBHOOKS_H
#define KST_HTTP_WEBHOOKS_H

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "store.h"

class Logger;
class StopSignal;
struct Counters;

class WebhookDispatcher {
public:
    // Owned by the Gateway, alive as long as the dispatcher.
    struct Parts {
        Store* store = nullptr;
        Counters* counters = nullptr;
        Logger* errorLog = nullptr;
        StopSignal* stopSignal = nullptr;
    };

    static constexpr size_t maxTransfers = 16;
    // Transfers to one host at once, so that the callbacks of one dead
    // endpoint cannot take every transfer; due callbacks looked at in one
    // round.
    static constexpr size_t maxTransfersPerHost = 4;
    static constexpr size_t dueBatch = 256;
    static constexpr long connectTimeoutMs = 5000;
    static constexpr long transferTimeoutMs = 10000;
    // The pause after the first failed attempt, doubled after each later
    // one up to the longest; a callback not delivered this long after it
    // was made is given up.
    static constexpr time_t firstPause = 1;
    static constexpr time_t longestPause = 3600;
    static constexpr time_t givenUpAfter = 24 * 3600;

    // `secret` signs each body (none when empty). main's thread.
    WebhookDispatcher(const std::string& secret, const Parts& parts);
    ~WebhookDispatcher();
    WebhookDispatcher(const WebhookDispatcher&) = delete;
    WebhookDispatcher& operator=(const WebhookDispatcher&) = delete;

    // Starts the thread. main's thread, once.
    void start();

    // When a callback that failed `attempts` times (at least 1) and was
    // made at `createdAt` is tried next, or 0: given up at `now`.
    static time_t nextAttempt(int attempts, time_t createdAt, time_t now);
    // "sha256=" and the hex HMAC-SHA256 of `body` with `secret`.
    static std::string signature(const std::string& secret, const std::string& body);
    // The host of a URL, for the records (never its path or query).
    static std::string hostOf(const std::string& url);

private:
    struct Transfer;

    void run();
    // Starts transfers for the due callbacks not under way.
    void startDue();
    void begin(const StoredWebhook& webhook);
    // Records the outcome of a finished transfer and forgets it.
    void finish(Transfer* transfer, bool delivered, const std::string& error);
    void writeError(const std::string& text);

    const std::string m_secret;
    const Parts m_parts;
    const std::string m_userAgent;
    // The dispatcher's thread only (created and destroyed by main's).
    void* m_multi = nullptr;
    // The transfers under way by callback id, and their number per host.
    std::map<uint64_t, std::unique_ptr<Transfer>> m_transfers;
    std::map<std::string, size_t> m_transfersPerHost;
    // Set by the destructor; the thread ends at it or at the stop.
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

#endif
