#include "webhooks.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "counters.h"
#include "logger.h"
#include "message_json.h"
#include "stop_signal.h"
#include "trace.h"
#include "version.h"

// One POST under way: its easy handle and what it owns.
struct WebhookDispatcher::Transfer {
    StoredWebhook webhook;
    std::string host;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    ~Transfer() {
        if (easy != nullptr) curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
};

namespace {

// The endpoint's answer is not read.
size_t discardAnswer(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

WebhookDispatcher::WebhookDispatcher(const std::string& secret, const Parts& parts)
    : m_secret(secret), m_parts(parts), m_userAgent(std::string("Kestrova/") + version) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    m_multi = curl_multi_init();
}

WebhookDispatcher::~WebhookDispatcher() {
    m_quit = true;
    if (m_multi != nullptr) curl_multi_wakeup(m_multi);
    if (m_thread.joinable()) m_thread.join();
    for (auto& entry : m_transfers) curl_multi_remove_handle(m_multi, entry.second->easy);
    m_transfers.clear();
    if (m_multi != nullptr) curl_multi_cleanup(m_multi);
    curl_global_cleanup();
}

void WebhookDispatcher::start() {
    if (m_multi == nullptr) {
        writeError("ERROR: Cannot set up the delivery callbacks (libcurl); none is sent");
        return;
    }
    m_thread = std::thread([this] { run(); });
}

time_t WebhookDispatcher::nextAttempt(int attempts, time_t createdAt, time_t now) {
    const time_t deadline = createdAt + givenUpAfter;
    if (now >= deadline) return 0;
    time_t pause = firstPause;
    for (int i = 1; i < attempts && pause < longestPause; ++i) pause *= 2;
    return std::min(now + std::min(pause, longestPause), deadline);
}

std::string WebhookDispatcher::signature(const std::string& secret, const std::string& body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest, &length);
    static const char hex[] = "0123456789abcdef";
    std::string text = "sha256=";
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

std::string WebhookDispatcher::hostOf(const std::string& url) {
    std::string host = "(unknown host)";
    CURLU* parsed = curl_url();
    char* part = nullptr;
    if (parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
        host = part;
    }
    curl_free(part);
    curl_url_cleanup(parsed);
    return host;
}

void WebhookDispatcher::writeError(const std::string& text) {
    if (m_parts.errorLog != nullptr) m_parts.errorLog->write(text, 'e');
}

void WebhookDispatcher::run() {
    using Clock = std::chrono::steady_clock;
    const int wakeFd = m_parts.stopSignal->wakeFd();
    Clock::time_point nextLook{};
    while (!m_quit && !m_parts.stopSignal->stopping()) {
        // The store is asked at most once a second: the pauses count in
        // seconds.
        const Clock::time_point now = Clock::now();
        if (now >= nextLook && m_transfers.size() < maxTransfers) {
            startDue();
            nextLook = now + std::chrono::seconds(1);
        }
        int running = 0;
        curl_multi_perform(m_multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&transfer));
            long status = 0;
            curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
            const CURLcode result = message->data.result;
            if (result != CURLE_OK) {
                finish(transfer, false, curl_easy_strerror(result));
            } else if (status < 200 || status > 299) {
                finish(transfer, false, "answered with status " + std::to_string(status));
            } else {
                finish(transfer, true, std::string());
            }
        }
        const auto untilLook = std::chrono::duration_cast<std::chrono::milliseconds>(nextLook - Clock::now());
        const int timeoutMs = static_cast<int>(std::max<long long>(1, std::min<long long>(1000, untilLook.count())));
        curl_waitfd stop{wakeFd, CURL_WAIT_POLLIN, 0};
        if (curl_multi_poll(m_multi, wakeFd >= 0 ? &stop : nullptr, wakeFd >= 0 ? 1 : 0, timeoutMs, nullptr) !=
            CURLM_OK) {
            // Not a busy loop when the wait itself fails.
            m_parts.stopSignal->waitFor(std::chrono::milliseconds(timeoutMs));
        }
    }
}

void WebhookDispatcher::startDue() {
    std::vector<StoredWebhook> due;
    try {
        due = m_parts.store->dueWebhooks(time(nullptr), dueBatch);
    } catch (const StoreError& e) {
        // While the database is away the store's own records say so once;
        // this look comes every second.
        if (!e.unavailable()) writeError(std::string("ERROR: ") + e.what());
        return;
    }
    for (const StoredWebhook& webhook : due) {
        if (m_transfers.size() >= maxTransfers) break;
        if (m_transfers.count(webhook.id) != 0) continue;
        const auto busy = m_transfersPerHost.find(hostOf(webhook.url));
        if (busy != m_transfersPerHost.end() && busy->second >= maxTransfersPerHost) continue;
        begin(webhook);
    }
}

void WebhookDispatcher::begin(const StoredWebhook& webhook) {
    auto transfer = std::make_unique<Transfer>();
    transfer->webhook = webhook;
    transfer->host = hostOf(webhook.url);
    MessageRecord record;
    try {
        if (!m_parts.store->findMessage(webhook.messageId, record)) {
            transfer->body.clear();
        } else {
            transfer->body = dumpJson(messageJson(record));
        }
    } catch (const StoreError& e) {
        writeError(std::string("ERROR: ") + e.what());
        return;
    }
    if (transfer->body.empty()) {
        // Swept from the store before its callback could go out: nothing
        // to send, ever.
        const std::string error = "the message is no longer stored";
        writeError("ERROR: Delivery callback of message " + std::to_string(webhook.messageId) + " to " +
                   hostOf(webhook.url) + " given up: " + error);
        try {
            m_parts.store->markWebhookDone(webhook.id, false, webhook.attempts, time(nullptr), error);
        } catch (const StoreError& e) {
            writeError(std::string("ERROR: ") + e.what());
        }
        return;
    }
    Transfer* raw = transfer.get();
    raw->easy = curl_easy_init();
    raw->headers = curl_slist_append(raw->headers, "Content-Type: application/json");
    if (!m_secret.empty()) {
        raw->headers =
            curl_slist_append(raw->headers, ("X-Kestrova-Signature: " + signature(m_secret, raw->body)).c_str());
    }
    // No "Expect: 100-continue" pause before the body.
    raw->headers = curl_slist_append(raw->headers, "Expect:");
    CURL* easy = raw->easy;
    if (easy == nullptr || raw->headers == nullptr) {
        writeError("ERROR: Cannot prepare the delivery callback of message " + std::to_string(webhook.messageId) +
                   ": out of memory");
        return;
    }
    curl_easy_setopt(easy, CURLOPT_URL, webhook.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, transferTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, raw->headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, raw->body.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(raw->body.size()));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, m_userAgent.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discardAnswer);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, raw);
    if (curl_multi_add_handle(m_multi, easy) != CURLM_OK) {
        writeError("ERROR: Cannot start the delivery callback of message " + std::to_string(webhook.messageId));
        return;
    }
    trace("Delivery callback of message %llu to %s\n", static_cast<unsigned long long>(webhook.messageId),
          raw->host.c_str());
    ++m_transfersPerHost[raw->host];
    m_transfers.emplace(webhook.id, std::move(transfer));
}

void WebhookDispatcher::finish(Transfer* transfer, bool delivered, const std::string& error) {
    auto entry = m_transfers.find(transfer->webhook.id);
    if (entry == m_transfers.end()) return;
    std::unique_ptr<Transfer> owned = std::move(entry->second);
    m_transfers.erase(entry);
    curl_multi_remove_handle(m_multi, owned->easy);
    if (--m_transfersPerHost[owned->host] == 0) m_transfersPerHost.erase(owned->host);
    const StoredWebhook& webhook = owned->webhook;
    const int attempts = webhook.attempts + 1;
    const time_t now = time(nullptr);
    try {
        if (delivered) {
            ++m_parts.counters->deliveredWebhooks;
            m_parts.store->markWebhookDone(webhook.id, true, attempts, now, std::string());
            return;
        }
        ++m_parts.counters->failedWebhooks;
        const time_t next = nextAttempt(attempts, webhook.createdAt, now);
        if (next != 0) {
            trace("Delivery callback of message %llu failed (%s), attempt %d\n",
                  static_cast<unsigned long long>(webhook.messageId), error.c_str(), attempts);
            m_parts.store->markWebhookFailed(webhook.id, attempts, next, error);
            return;
        }
        writeError("ERROR: Delivery callback of message " + std::to_string(webhook.messageId) + " to " + owned->host +
                   " given up after " + std::to_string(attempts) + " attempt(s): " + error);
        m_parts.store->markWebhookDone(webhook.id, false, attempts, now, error);
    } catch (const StoreError& e) {
        // The row stays as it was: the callback goes out again.
        writeError(std::string("ERROR: ") + e.what());
    }
}
