#include "sent_message.h"

#include <algorithm>

SentMessage::SentMessage(const Sms& sms, unsigned char messageReference, int counter, const SmsSender* owner)
    : m_sms(sms),
      m_messageReference(messageReference),
      m_timestamp(time(nullptr)),
      m_submittedAt(std::chrono::steady_clock::now()),
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

void SentMessageRegistry::index(const SentMessage& entry) {
    for (unsigned char reference : entry.m_awaitedReferences) m_byAwaited[{entry.m_owner, reference}] = entry.m_id;
    m_bySysMsg[{entry.m_owner, entry.m_sysMsg}].insert(entry.m_id);
    if (!entry.m_acknowledged) m_unacknowledged.insert({entry.m_owner, entry.m_id});
}

void SentMessageRegistry::unindex(const SentMessage& entry) {
    for (unsigned char reference : entry.m_awaitedReferences) {
        auto awaited = m_byAwaited.find({entry.m_owner, reference});
        if (awaited != m_byAwaited.end() && awaited->second == entry.m_id) m_byAwaited.erase(awaited);
    }
    auto bySysMsg = m_bySysMsg.find({entry.m_owner, entry.m_sysMsg});
    if (bySysMsg != m_bySysMsg.end()) {
        bySysMsg->second.erase(entry.m_id);
        if (bySysMsg->second.empty()) m_bySysMsg.erase(bySysMsg);
    }
    m_unacknowledged.erase({entry.m_owner, entry.m_id});
}

SentMessageRegistry::Entries::iterator SentMessageRegistry::erase(Entries::iterator it) {
    unindex(it->second);
    return m_entries.erase(it);
}

uint64_t SentMessageRegistry::append(const SentMessage& entry) {
    qpthr::QpLock guard(m_mutex);
    const uint64_t id = ++m_lastId;
    SentMessage& added = m_entries.emplace(id, entry).first->second;
    added.m_id = id;
    index(added);
    return id;
}

void SentMessageRegistry::putBack(const SentMessage& entry) {
    qpthr::QpLock guard(m_mutex);
    auto placed = m_entries.emplace(entry.m_id, entry);
    if (placed.second) index(placed.first->second);
}

std::optional<SentMessage> SentMessageRegistry::acknowledge(const SmsSender* owner, unsigned char reference,
                                                            const std::string& sysMsg) {
    if (reference == 0) return std::nullopt;
    qpthr::QpLock guard(m_mutex);
    auto awaited = m_byAwaited.find({owner, reference});
    if (awaited == m_byAwaited.end()) return std::nullopt;
    SentMessage& entry = m_entries.at(awaited->second);
    unindex(entry);
    stopAwaiting(entry, reference);
    const bool settles = !entry.m_acknowledged;
    if (settles) {
        entry.m_acknowledged = true;
        entry.m_acknowledgedAt = std::chrono::steady_clock::now();
        entry.m_messageReference = 0;
        entry.m_sysMsg = sysMsg;
        entry.m_retryAt = 0;
    }
    index(entry);
    if (!settles) return std::nullopt;
    return entry;
}

std::optional<SentMessage> SentMessageRegistry::reject(const SmsSender* owner, unsigned char reference) {
    if (reference == 0) return std::nullopt;
    qpthr::QpLock guard(m_mutex);
    auto awaited = m_byAwaited.find({owner, reference});
    if (awaited == m_byAwaited.end()) return std::nullopt;
    auto it = m_entries.find(awaited->second);
    SentMessage& entry = it->second;
    unindex(entry);
    stopAwaiting(entry, reference);
    if (entry.m_acknowledged || !entry.m_awaitedReferences.empty()) {
        index(entry);
        return std::nullopt;
    }
    SentMessage removed = entry;
    m_entries.erase(it);
    return removed;
}

bool SentMessageRegistry::recordSubmission(const SentMessage& entry, unsigned char reference, int counter) {
    qpthr::QpLock guard(m_mutex);
    auto it = m_entries.find(entry.m_id);
    if (it == m_entries.end()) return false;
    SentMessage& candidate = it->second;
    unindex(candidate);
    candidate.m_messageReference = reference;
    candidate.m_awaitedReferences.push_back(reference);
    candidate.m_timestamp = time(nullptr);
    candidate.m_submittedAt = std::chrono::steady_clock::now();
    candidate.m_counter = counter;
    candidate.m_retryAt = 0;
    index(candidate);
    return true;
}

bool SentMessageRegistry::update(const SentMessage& entry) {
    qpthr::QpLock guard(m_mutex);
    auto it = m_entries.find(entry.m_id);
    if (it == m_entries.end()) return false;
    unindex(it->second);
    it->second = entry;
    index(it->second);
    return true;
}

void SentMessageRegistry::clearAwaited(const SmsSender* owner) {
    qpthr::QpLock guard(m_mutex);
    for (auto it = m_byAwaited.lower_bound({owner, 0}); it != m_byAwaited.end() && it->first.first == owner;) {
        auto entry = m_entries.find(it->second);
        if (entry != m_entries.end()) entry->second.m_awaitedReferences.clear();
        it = m_byAwaited.erase(it);
    }
}

size_t SentMessageRegistry::count(const SmsSender* owner, const Predicate& matches) const {
    qpthr::QpLock guard(m_mutex);
    return static_cast<size_t>(std::count_if(m_entries.begin(), m_entries.end(), [&](const Entries::value_type& item) {
        return item.second.m_owner == owner && matches(item.second);
    }));
}

size_t SentMessageRegistry::countBySysMsg(const SmsSender* owner, const std::string& sysMsg) const {
    qpthr::QpLock guard(m_mutex);
    auto found = m_bySysMsg.find({owner, sysMsg});
    return found == m_bySysMsg.end() ? 0 : found->second.size();
}

void SentMessageRegistry::forEach(const SmsSender* owner, const Visitor& visit) { walk(owner, false, visit); }

void SentMessageRegistry::forEachUnacknowledged(const SmsSender* owner, const Visitor& visit) {
    walk(owner, true, visit);
}

const SentMessage* SentMessageRegistry::entryAfter(const SmsSender* owner, uint64_t lastId, bool unacknowledgedOnly) {
    if (unacknowledgedOnly) {
        auto it = m_unacknowledged.upper_bound({owner, lastId});
        return it != m_unacknowledged.end() && it->first == owner ? &m_entries.at(it->second) : nullptr;
    }
    auto it = m_entries.upper_bound(lastId);
    while (it != m_entries.end() && it->second.m_owner != owner) ++it;
    return it != m_entries.end() ? &it->second : nullptr;
}

void SentMessageRegistry::walk(const SmsSender* owner, bool unacknowledgedOnly, const Visitor& visit) {
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
            if (const SentMessage* entry = entryAfter(owner, lastId, unacknowledgedOnly)) next = *entry;
        }
        if (!next) return;
        lastId = next->m_id;
        if (!visit(*next, ++number)) return;
    }
}

bool SentMessageRegistry::remove(const SentMessage& entry) {
    qpthr::QpLock guard(m_mutex);
    auto it = m_entries.find(entry.m_id);
    if (it == m_entries.end()) return false;
    erase(it);
    return true;
}

std::optional<SentMessage> SentMessageRegistry::takeMatching(const SmsSender* owner, const Predicate& matches,
                                                             time_t maxAge) {
    const time_t now = time(nullptr);
    qpthr::QpLock guard(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const SentMessage& entry = it->second;
        if (entry.m_owner != owner) {
            ++it;
        } else if (matches(entry)) {
            SentMessage taken = entry;
            erase(it);
            return taken;
        } else if (now - entry.m_timestamp > maxAge) {
            it = erase(it);
        } else {
            ++it;
        }
    }
    return std::nullopt;
}

std::optional<SentMessage> SentMessageRegistry::takeBySysMsg(const SmsSender* owner, const std::string& sysMsg,
                                                             time_t maxAge) {
    const time_t now = time(nullptr);
    qpthr::QpLock guard(m_mutex);
    auto found = m_bySysMsg.find({owner, sysMsg});
    if (found == m_bySysMsg.end()) return std::nullopt;
    for (uint64_t id : found->second) {
        auto it = m_entries.find(id);
        if (now - it->second.m_timestamp > maxAge) continue;
        SentMessage taken = it->second;
        erase(it);
        return taken;
    }
    return std::nullopt;
}

std::vector<SentMessage> SentMessageRegistry::takeExpired(time_t now, time_t maxAge) {
    std::vector<SentMessage> taken;
    qpthr::QpLock guard(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.m_acknowledged && now - it->second.m_timestamp > maxAge) {
            taken.push_back(it->second);
            it = erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

std::vector<SentMessage> SentMessageRegistry::takeUnacknowledged(const SmsSender* owner) {
    std::vector<SentMessage> taken;
    qpthr::QpLock guard(m_mutex);
    auto it = m_unacknowledged.lower_bound({owner, 0});
    while (it != m_unacknowledged.end() && it->first == owner) {
        const uint64_t id = (it++)->second;
        auto entry = m_entries.find(id);
        taken.push_back(entry->second);
        erase(entry);
    }
    return taken;
}

size_t SentMessageRegistry::size() const {
    qpthr::QpLock guard(m_mutex);
    return m_entries.size();
}

size_t SentMessageRegistry::size(const SmsSender* owner) const {
    qpthr::QpLock guard(m_mutex);
    return static_cast<size_t>(std::count_if(m_entries.begin(), m_entries.end(), [&](const Entries::value_type& item) {
        return item.second.m_owner == owner;
    }));
}

std::vector<SentMessage> SentMessageRegistry::snapshot() const {
    std::vector<SentMessage> copy;
    qpthr::QpLock guard(m_mutex);
    copy.reserve(m_entries.size());
    for (const auto& item : m_entries) copy.push_back(item.second);
    return copy;
}

void SentMessageRegistry::clear() {
    qpthr::QpLock guard(m_mutex);
    m_entries.clear();
    m_byAwaited.clear();
    m_bySysMsg.clear();
    m_unacknowledged.clear();
}
