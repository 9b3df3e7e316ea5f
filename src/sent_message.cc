#include "sent_message.h"

#include <algorithm>

SentMessage::SentMessage(const Sms& sms, unsigned char messageReference, int counter, const SmsSender* owner)
    : m_sms(sms),
      m_messageReference(messageReference),
      m_timestamp(time(nullptr)),
      m_acknowledged(false),
      m_counter(counter),
      m_refusals(0),
      m_retryAt(0),
      m_owner(owner),
      m_id(0) {
    if (messageReference != 0) m_awaitedReferences.push_back(messageReference);
}

namespace {

// Removes `reference` from the entry's awaited ids; false when it had not.
bool stopAwaiting(SentMessage& entry, unsigned char reference) {
    auto& awaited = entry.m_awaitedReferences;
    auto it = std::find(awaited.begin(), awaited.end(), reference);
    if (it == awaited.end()) return false;
    awaited.erase(it);
    return true;
}

}  // namespace

uint64_t SentMessageRegistry::append(const SentMessage& entry) {
    qpthr::QpLock guard(m_mutex);
    m_entries.push_back(entry);
    m_entries.back().m_id = ++m_lastId;
    return m_lastId;
}

std::optional<SentMessage> SentMessageRegistry::acknowledge(const SmsSender* owner, unsigned char reference,
                                                            const std::string& sysMsg) {
    if (reference == 0) return std::nullopt;
    qpthr::QpLock guard(m_mutex);
    for (SentMessage& entry : m_entries) {
        if (entry.m_owner != owner || !stopAwaiting(entry, reference)) continue;
        if (entry.m_acknowledged) return std::nullopt;
        entry.m_acknowledged = true;
        entry.m_messageReference = 0;
        entry.m_sysMsg = sysMsg;
        entry.m_retryAt = 0;
        return entry;
    }
    return std::nullopt;
}

std::optional<SentMessage> SentMessageRegistry::reject(const SmsSender* owner, unsigned char reference) {
    if (reference == 0) return std::nullopt;
    qpthr::QpLock guard(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->m_owner != owner || !stopAwaiting(*it, reference)) continue;
        if (it->m_acknowledged || !it->m_awaitedReferences.empty()) return std::nullopt;
        SentMessage removed = *it;
        m_entries.erase(it);
        return removed;
    }
    return std::nullopt;
}

bool SentMessageRegistry::recordSubmission(const SentMessage& entry, unsigned char reference, int counter) {
    qpthr::QpLock guard(m_mutex);
    for (SentMessage& candidate : m_entries) {
        if (candidate.m_id != entry.m_id) continue;
        candidate.m_messageReference = reference;
        candidate.m_awaitedReferences.push_back(reference);
        candidate.m_timestamp = time(nullptr);
        candidate.m_counter = counter;
        candidate.m_retryAt = 0;
        return true;
    }
    return false;
}

bool SentMessageRegistry::update(const SentMessage& entry) {
    qpthr::QpLock guard(m_mutex);
    for (SentMessage& candidate : m_entries) {
        if (candidate.m_id != entry.m_id) continue;
        candidate = entry;
        return true;
    }
    return false;
}

void SentMessageRegistry::clearAwaited(const SmsSender* owner) {
    qpthr::QpLock guard(m_mutex);
    for (SentMessage& entry : m_entries) {
        if (entry.m_owner == owner) entry.m_awaitedReferences.clear();
    }
}

size_t SentMessageRegistry::count(const SmsSender* owner, const Predicate& matches) const {
    qpthr::QpLock guard(m_mutex);
    return static_cast<size_t>(std::count_if(m_entries.begin(), m_entries.end(), [&](const SentMessage& entry) {
        return entry.m_owner == owner && matches(entry);
    }));
}

void SentMessageRegistry::forEach(const SmsSender* owner, const Visitor& visit) {
    // The walk remembers the id of the last visited entry instead of a
    // position: ids grow with every append and entries keep their order, so
    // the next entry is the first one with a larger id, whatever was removed
    // or appended meanwhile.
    uint64_t lastId = 0;
    int number = 0;
    for (;;) {
        std::optional<SentMessage> next;
        {
            qpthr::QpLock guard(m_mutex);
            auto it = std::upper_bound(m_entries.begin(), m_entries.end(), lastId,
                                       [](uint64_t id, const SentMessage& entry) { return id < entry.m_id; });
            it = std::find_if(it, m_entries.end(), [&](const SentMessage& entry) { return entry.m_owner == owner; });
            if (it != m_entries.end()) next = *it;
        }
        if (!next) return;
        lastId = next->m_id;
        if (!visit(*next, ++number)) return;
    }
}

bool SentMessageRegistry::remove(const SentMessage& entry) {
    qpthr::QpLock guard(m_mutex);
    auto it = std::find_if(m_entries.begin(), m_entries.end(),
                           [&](const SentMessage& candidate) { return candidate.m_id == entry.m_id; });
    if (it == m_entries.end()) return false;
    m_entries.erase(it);
    return true;
}

std::optional<SentMessage> SentMessageRegistry::takeMatching(const SmsSender* owner, const Predicate& matches,
                                                             time_t maxAge) {
    const time_t now = time(nullptr);
    qpthr::QpLock guard(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->m_owner != owner) {
            ++it;
        } else if (matches(*it)) {
            SentMessage taken = *it;
            m_entries.erase(it);
            return taken;
        } else if (now - it->m_timestamp > maxAge) {
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    return std::nullopt;
}

std::optional<SentMessage> SentMessageRegistry::takeBySysMsg(const SmsSender* owner, const std::string& sysMsg,
                                                             time_t maxAge) {
    return takeMatching(
        owner, [&](const SentMessage& entry) { return entry.m_sysMsg == sysMsg; }, maxAge);
}

std::vector<SentMessage> SentMessageRegistry::takeExpired(time_t now, time_t maxAge) {
    std::vector<SentMessage> taken;
    qpthr::QpLock guard(m_mutex);
    auto kept = std::stable_partition(m_entries.begin(), m_entries.end(), [&](const SentMessage& entry) {
        return !entry.m_acknowledged || now - entry.m_timestamp <= maxAge;
    });
    taken.assign(kept, m_entries.end());
    m_entries.erase(kept, m_entries.end());
    return taken;
}

std::vector<SentMessage> SentMessageRegistry::takeUnacknowledged(const SmsSender* owner) {
    std::vector<SentMessage> taken;
    qpthr::QpLock guard(m_mutex);
    auto kept = std::stable_partition(m_entries.begin(), m_entries.end(), [&](const SentMessage& entry) {
        return entry.m_owner != owner || entry.m_acknowledged;
    });
    taken.assign(kept, m_entries.end());
    m_entries.erase(kept, m_entries.end());
    return taken;
}

size_t SentMessageRegistry::size() const {
    qpthr::QpLock guard(m_mutex);
    return m_entries.size();
}

size_t SentMessageRegistry::size(const SmsSender* owner) const {
    qpthr::QpLock guard(m_mutex);
    return static_cast<size_t>(std::count_if(m_entries.begin(), m_entries.end(),
                                             [&](const SentMessage& entry) { return entry.m_owner == owner; }));
}

std::vector<SentMessage> SentMessageRegistry::snapshot() const {
    qpthr::QpLock guard(m_mutex);
    return m_entries;
}

void SentMessageRegistry::clear() {
    qpthr::QpLock guard(m_mutex);
    m_entries.clear();
}
