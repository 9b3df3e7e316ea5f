// The registry of messages handed to the network that still wait for an
// acknowledgement or a status report.
//
// Both senders share the one registry (the Gateway's), each from its own thread. Every entry
// records the sender that made it, and every operation that takes an owner
// looks only at that sender's entries, so one sender never resubmits, returns
// or confirms the other's messages. Each operation runs under the registry's
// lock; none calls back into the caller while holding it, except the match
// predicate of takeMatching(), which must not use the registry.
#ifndef KST_SENT_MESSAGE_H
#define KST_SENT_MESSAGE_H

#include <stdint.h>
#include <time.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "qpthr.h"
#include "sms.h"

class SmsSender;

class SentMessage {
public:
    // Not acknowledged, no system message, time stamp now.
    SentMessage(const Sms& sms, unsigned char messageReference, int counter, const SmsSender* owner);

    Sms m_sms;
    // The EMI transaction id of the latest submission, or the modem's message
    // reference; 0 once the SMSC has acknowledged the submission.
    unsigned char m_messageReference;
    // SMSC sender: the transaction ids of this message's submissions on the
    // current connection that still await their result, oldest first (the
    // constructor's reference). A resubmission adds its fresh id; the result
    // of any of them settles the message.
    std::vector<unsigned char> m_awaitedReferences;
    // When the latest submission was made.
    time_t m_timestamp;
    // The same and when the acknowledgement came, on the monotonic clock,
    // for the latency metrics; epoch: not in this process (a restored entry).
    std::chrono::steady_clock::time_point m_submittedAt;
    std::chrono::steady_clock::time_point m_acknowledgedAt;
    bool m_acknowledged;
    // The SMSC's system message from the acknowledgement: the key of the
    // delivery notification.
    std::string m_sysMsg;
    // Submissions of this message before this one.
    int m_counter;
    // SMSC sender: refusals that said "try later" so far, and when the
    // message is due again after the latest of them (0: not waiting).
    int m_refusals;
    time_t m_retryAt;
    // The sender that made the entry.
    const SmsSender* m_owner;
    // Given by the registry when the entry is appended; identifies the entry
    // for remove().
    uint64_t m_id;
};

// A result of an SMSC that settled its message in the registry, waiting to
// be recorded in the store with the others read in the same pass; only then
// does the sender act on it (SmsSender::settleResults).
struct SettledResult {
    SentMessage entry;
    bool acknowledged;
    std::string sysMsg;
    int errorCode;
    // Refused: not tried again.
    bool final;
    time_t at;
};

class SentMessageRegistry {
public:
    // Entries older than this many seconds are dropped while a report is
    // being matched.
    static constexpr time_t staleAge = 604800;

    // Called with a copy of each visited entry and its number in the walk
    // (from 1); returns false to end the walk.
    using Visitor = std::function<bool(const SentMessage& entry, int number)>;
    using Predicate = std::function<bool(const SentMessage& entry)>;

    SentMessageRegistry() = default;
    SentMessageRegistry(const SentMessageRegistry&) = delete;
    SentMessageRegistry& operator=(const SentMessageRegistry&) = delete;

    // Appends a copy at the end; returns the id given to it.
    uint64_t append(const SentMessage& entry);

    // Results are matched by the awaited ids: the caller (the SMSC sender)
    // never gives an id to a second submission while the first still awaits
    // its result, so at most one entry awaits any id.
    //
    // A positive result for `reference`: the owner's entry that awaits it
    // no longer does; if it was not acknowledged yet it becomes so, with
    // reference 0 and `sysMsg`, and a copy of it is returned. Nothing is
    // returned when no entry awaits the id or the message was acknowledged
    // already (a late result of an earlier submission).
    std::optional<SentMessage> acknowledge(const SmsSender* owner, unsigned char reference, const std::string& sysMsg);
    // A negative result for `reference`: the entry that awaits it no longer
    // does. When that leaves an unacknowledged entry awaiting nothing, the
    // refusal decides the message: the entry is removed and returned.
    // Otherwise (another submission of it still awaits its result, or it is
    // acknowledged) it stays and nothing is returned.
    std::optional<SentMessage> reject(const SmsSender* owner, unsigned char reference);

    // Records a new submission of the entry's message with id `reference`
    // and counter `counter`: it becomes the latest (reference, time stamp),
    // is added to the awaited ids, and a pending retry is cleared. False
    // when the entry is gone.
    bool recordSubmission(const SentMessage& entry, unsigned char reference, int counter);
    // Replaces the entry that has the id of `entry` with it; false when it is
    // gone. Only the thread of the entry's owner changes its entries.
    bool update(const SentMessage& entry);
    // Forgets the awaited ids of all the owner's entries: their connection
    // is gone, so no result for them can come any more.
    void clearAwaited(const SmsSender* owner);
    // How many of the owner's entries match; `matches` runs under the lock.
    size_t count(const SmsSender* owner, const Predicate& matches) const;
    // How many of the owner's entries have the system message `sysMsg`
    // (looked up, not walked).
    size_t countBySysMsg(const SmsSender* owner, const std::string& sysMsg) const;

    // Visits the owner's entries in registry order, entries appended during
    // the walk included. The lock is not held while `visit` runs, so it may
    // append (a resubmission) or remove() entries; after the visited entry
    // is removed the walk goes on with the one that followed it.
    void forEach(const SmsSender* owner, const Visitor& visit);
    // The same over the owner's entries that are not acknowledged only,
    // without looking at the acknowledged ones.
    void forEachUnacknowledged(const SmsSender* owner, const Visitor& visit);

    // Removes the entry with the id of `entry`; false when it is gone already.
    bool remove(const SentMessage& entry);
    // Puts an entry taken from the registry back with its own id, so it
    // keeps its place: what was taken for a report that could not be
    // recorded waits for the report again.
    void putBack(const SentMessage& entry);

    // Walks the owner's entries in order up to the first one for which
    // `matches` is true, removes it and returns it. Entries passed on the way
    // that are older than `maxAge` seconds are removed; entries after the
    // match are not looked at. `matches` runs under the registry's lock.
    std::optional<SentMessage> takeMatching(const SmsSender* owner, const Predicate& matches, time_t maxAge = staleAge);
    // Removes and returns the owner's oldest entry with the system message
    // `sysMsg` (looked up, not walked). Entries past `maxAge` seconds are
    // not returned; they are removed by takeExpired() and takeMatching().
    std::optional<SentMessage> takeBySysMsg(const SmsSender* owner, const std::string& sysMsg,
                                            time_t maxAge = staleAge);

    // Removes and returns the acknowledged entries of every owner whose
    // latest submission is more than `maxAge` seconds before `now`: their
    // notification is not expected any more.
    std::vector<SentMessage> takeExpired(time_t now, time_t maxAge);

    // Removes and returns the owner's entries that are not acknowledged, in
    // registry order. Acknowledged entries stay for their notification.
    std::vector<SentMessage> takeUnacknowledged(const SmsSender* owner);

    size_t size() const;
    size_t size(const SmsSender* owner) const;
    // A copy of every entry, in order.
    std::vector<SentMessage> snapshot() const;
    void clear();

private:
    using Entries = std::map<uint64_t, SentMessage>;
    // Adds or removes the entry's keys in the indexes below.
    // The owner's next entry (unacknowledged only, if asked) after the one
    // with id `lastId`; null when there is none.
    const SentMessage* entryAfter(const SmsSender* owner, uint64_t lastId, bool unacknowledgedOnly) REQUIRES(m_mutex);
    // The walk of forEach() and forEachUnacknowledged().
    void walk(const SmsSender* owner, bool unacknowledgedOnly, const Visitor& visit) EXCLUDES(m_mutex);
    void index(const SentMessage& entry) REQUIRES(m_mutex);
    void unindex(const SentMessage& entry) REQUIRES(m_mutex);
    Entries::iterator erase(Entries::iterator it) REQUIRES(m_mutex);

    mutable qpthr::QpMutex m_mutex;
    // Every entry by its id, which is also the registry order.
    Entries m_entries GUARDED_BY(m_mutex);
    // The entry that awaits each (owner, transaction id or reference).
    std::map<std::pair<const SmsSender*, unsigned char>, uint64_t> m_byAwaited GUARDED_BY(m_mutex);
    // The entries of each (owner, system message), oldest first.
    std::map<std::pair<const SmsSender*, std::string>, std::set<uint64_t>> m_bySysMsg GUARDED_BY(m_mutex);
    // The entries not acknowledged yet, by owner and id.
    std::set<std::pair<const SmsSender*, uint64_t>> m_unacknowledged GUARDED_BY(m_mutex);
    uint64_t m_lastId GUARDED_BY(m_mutex) = 0;
};

#endif
