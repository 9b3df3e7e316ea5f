// The durable record of every message the gateway accepted: the send queue
// under SmsQueStored and the rows that follow each message through
// submission, the SMSC's result and its delivery notification.
//
// The operations are the gateway's moments, not queries, so that another
// database can stand behind the same interface. Each operation is one
// transaction: when it returns, what it did is committed; when it throws
// StoreError, nothing of it is. The one exception is markSubmitted(), which
// may wait for the commit of the next operation: lost with a crash, it
// leaves the message queued, and recovery sends it again just as it does a
// recorded submission that was not acknowledged. Any thread may call any operation; an
// implementation serialises them on its own lock, which is a leaf (it calls
// nothing outside the store while held).
#ifndef KST_STORE_STORE_H
#define KST_STORE_STORE_H

#include <stdint.h>
#include <time.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sms.h"

// A failure of the store: the text names the file and the cause.
// `unavailable`: the database cannot be reached (the connection was lost or
// cannot be made); what failed may succeed once it is back, unchanged.
class StoreError : public std::runtime_error {
public:
    explicit StoreError(const std::string& what, bool unavailable = false)
        : std::runtime_error(what), m_unavailable(unavailable) {}
    bool unavailable() const { return m_unavailable; }

private:
    bool m_unavailable;
};

// A record for the error log about the store's connection: `type` as
// Logger::write takes it.
struct StoreEvent {
    char type = 'i';
    std::string record;
};

// A daemon sharing the queue, as its lease shows it (Store::liveDaemons()).
struct DaemonLease {
    std::string node;
    time_t renewedAt = 0;   // its last renewal, on the database's clock
    time_t leaseUntil = 0;  // when its claims go back unless it renews
};

// A message that left the queue: what recovery needs to take it up again.
struct SubmittedMessage {
    Sms sms;  // carries its id
    std::string sender;
    int reference = 0;    // EMI transaction id or modem reference
    int submissions = 0;  // submissions before the latest
    time_t submittedAt = 0;
    std::string sysMsg;  // acknowledged: the key of the notification
};

// A confirmation e-mail that was not mailed or given up yet.
struct StoredConfirmation {
    uint64_t id = 0;         // given by the store
    uint64_t messageId = 0;  // the confirmed message
    std::string destination;
    std::string userData;
    std::string date;  // delivery date and time as the e-mail shows them
    std::string time;
    std::string email;
    int failures = 0;  // failed attempts to mail it
};

// A received message whose executables have not run yet: the variables of
// their environment, in order.
struct StoredReceived {
    uint64_t id = 0;  // given by the store
    std::vector<std::pair<std::string, std::string>> variables;
};

// One part of a concatenated received message, kept until the other parts
// are there (or until they are given up): the variables of the part alone.
struct StoredReceivedPart {
    std::string group;  // what the parts of one message share (sender, originator, reference, count)
    int number = 0;     // the part's number, 1..count
    time_t receivedAt = 0;
    std::vector<std::pair<std::string, std::string>> variables;
};

// One result of the SMSC for Store::recordResults().
struct SmscResult {
    uint64_t id = 0;
    // Otherwise refused.
    bool acknowledged = false;
    // Acknowledged: the key of the notification, and whether one is awaited.
    std::string sysMsg;
    bool awaitsNotification = false;
    // Refused: the SMSC's code, and whether the message is not tried again.
    int errorCode = 0;
    bool final = false;
    time_t at = 0;
};

// One message as a caller may see it (Store::findMessage()).
struct MessageRecord {
    // Where the message is: in the queue, handed to the network, accepted by
    // it and waiting for its notification, or finished (`outcome` says how).
    enum class Stage { Queued, Submitted, Acknowledged, Finished };
    uint64_t id = 0;
    Stage stage = Stage::Queued;
    // Finished: "acknowledged", "refused", "notified" or "expired".
    std::string outcome;
    std::string target;
    std::string sender;  // empty until submitted
    Sms::Tracking tracking;
    // The SMSC's refusal code (also of a refusal that is tried again) and
    // the status of the delivery notification; -1: none.
    int errorCode = -1;
    int notificationStatus = -1;
    // When each step happened; 0: not (yet).
    time_t acceptedAt = 0;
    time_t submittedAt = 0;
    time_t acknowledgedAt = 0;
    time_t notifiedAt = 0;
    time_t finishedAt = 0;
};

// The first answer to a request that carried an idempotency key.
struct StoredAnswer {
    std::string requestDigest;  // of the request it answered
    int status = 0;
    std::string body;
};

// An answer kept for an idempotency key in the transaction that stores its
// request's messages (Store::enqueue()): both are committed or neither, so a
// retry with the key either gets the answer or queues the messages itself.
struct AnswerToKeep {
    std::string scope;  // the caller's
    std::string key;
    std::string requestDigest;
    int status = 0;
    time_t at = 0;
    // Answers made before this are forgotten (and one of the same key
    // replaced).
    time_t notBefore = 0;
    // The request's messages: `count` of the batch from index `first`.
    size_t first = 0;
    size_t count = 0;
    // Makes the body from the request's messages, which carry their ids by
    // then. Called inside the transaction, under the store's lock: it only
    // computes.
    std::function<std::string(const Sms* messages, size_t count)> makeBody;
    // Set by the store when it commits: the body kept.
    std::string body;
};

// A delivery callback that is neither delivered nor given up. The store
// makes one, in the same transaction, when a message that carries a
// callback URL reaches a final state.
struct StoredWebhook {
    uint64_t id = 0;
    uint64_t messageId = 0;
    std::string url;
    int attempts = 0;  // failed ones so far
    time_t createdAt = 0;
};

class Store {
public:
    virtual ~Store() = default;

    // Queue position: the order of the queue, opaque to the caller except
    // that it grows from front to back. Before any message: queueStart.
    static constexpr int64_t queueStart = INT64_MIN;

    // Stores every message at the back of the queue, in order, and gives
    // each its id (Sms::setId), and keeps each of `answers` with the body it
    // makes from its messages; all or nothing. Returns the position of the
    // last message. A store that keeps no answers throws StoreError when
    // `answers` is not empty.
    virtual int64_t enqueue(std::vector<Sms>& messages, const std::vector<AnswerToKeep*>& answers) = 0;
    int64_t enqueue(std::vector<Sms>& messages) { return enqueue(messages, {}); }
    // Up to `limit` queued messages behind `position`, in queue order;
    // `position` becomes that of the last one returned.
    virtual std::vector<Sms> nextQueued(int64_t& position, size_t limit) = 0;
    // Messages in the queue.
    virtual long queuedCount() = 0;
    // Puts a stored message back into the queue, at the front (before every
    // queued message) or at the back; returns its new position.
    virtual int64_t requeue(uint64_t id, bool atFront) = 0;

    // The message left the queue and was handed to the network by `sender`.
    // Also records each later submission of the same message. Committed
    // with the next operation at the latest (see above).
    virtual void markSubmitted(uint64_t id, const std::string& sender, int reference, int submissions, time_t at) = 0;
    // The network accepted it; a message that asked for no notification is
    // finished with it.
    virtual void markAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at) = 0;
    // The SMSC refused it with `errorCode`; `final`: it is not tried again
    // (otherwise it stays submitted, waiting for its retry).
    virtual void markRefused(uint64_t id, int errorCode, bool final, time_t at) = 0;
    // Results read together, in one transaction: each recorded as
    // markAcknowledged() or markRefused() records it, in order.
    virtual void recordResults(const std::vector<SmscResult>& results) = 0;
    // Its delivery notification came with `status`; finished. False when a
    // shared store found it finished already (another daemon settled it):
    // nothing changed.
    virtual bool markNotified(uint64_t id, int status, time_t at) = 0;
    // No notification came within the timeout; finished. False as for
    // markNotified().
    virtual bool markExpired(uint64_t id, time_t at) = 0;

    // Start-up recovery: the messages submitted and not acknowledged go back
    // to the front of the queue, in their order; returns how many. A shared
    // store takes back only this daemon's claims (and registers its lease).
    virtual long requeueUnacknowledged() = 0;
    // The acknowledged messages still waiting for their notification, in
    // the order they were submitted.
    virtual std::vector<SubmittedMessage> awaitingNotification() = 0;

    // Its delivery notification came and `confirmation` is to be mailed: the
    // notification and the confirmation (which gets its id) in one
    // transaction. False as for markNotified(), and no confirmation is
    // stored.
    virtual bool markNotifiedAndConfirm(uint64_t id, int status, time_t at, StoredConfirmation& confirmation) = 0;
    // A delivery notification that none of this daemon's messages awaits,
    // looked up among the messages acknowledged by any daemon sharing the
    // store that still await theirs: of those that a sender named `sender`
    // submitted (a sender of the same kind), the oldest submission
    // acknowledged with the first of `sysMsgs` that one has. It is settled as
    // markNotifiedAndConfirm() settles it, with the confirmation that
    // `confirm` makes from the message (true: one is to be mailed), in one
    // transaction with the row locked, so that of daemons settling one
    // message at once only one does. `confirm` runs inside the transaction,
    // under the store's lock: it only computes. False when no message
    // matched (a store of one daemon: never); otherwise `message` is the
    // settled one, with its id. The senders' threads.
    virtual bool settleSharedNotification(const std::string& /*sender*/, const std::vector<std::string>& /*sysMsgs*/,
                                          int /*status*/, time_t /*at*/,
                                          const std::function<bool(const Sms&, StoredConfirmation&)>& /*confirm*/,
                                          Sms& /*message*/, StoredConfirmation& /*confirmation*/) {
        return false;
    }
    // A failed attempt to mail the confirmation; it stays pending.
    virtual void markConfirmationFailed(uint64_t id, int failures) = 0;
    // The confirmation was mailed (`mailed`) or given up after `failures`
    // failed attempts; it is not mailed again.
    virtual void markConfirmationDone(uint64_t id, bool mailed, int failures, time_t at) = 0;
    // Start-up recovery: the confirmations neither mailed nor given up, in
    // the order they were made. A shared store gives this daemon's own and
    // those no live daemon owns, which become its own.
    virtual std::vector<StoredConfirmation> pendingConfirmations() = 0;

    // A received message, to be committed before it is acknowledged to its
    // source; returns its id.
    virtual uint64_t storeReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at) = 0;
    // Its executables ran; they do not run again.
    virtual void markReceivedProcessed(uint64_t id, time_t at) = 0;
    // Start-up recovery: the received messages whose executables have not
    // run, in the order they arrived; of a shared store, as
    // pendingConfirmations() takes them.
    virtual std::vector<StoredReceived> unprocessedReceived() = 0;

    // A part of a concatenated received message, to be committed before it
    // is acknowledged. False, changing nothing, when its group holds a part
    // of that number already (the same part again).
    virtual bool storeReceivedPart(const StoredReceivedPart& /*part*/) { throw notKept(); }
    // In one transaction: removes the parts of `group` and stores each of
    // `messages` as a received message (the joined one, or the parts given
    // up on, one by one); their ids, in order.
    virtual std::vector<uint64_t> replaceReceivedParts(
        const std::string& /*group*/, const std::vector<std::vector<std::pair<std::string, std::string>>>& /*messages*/,
        time_t /*at*/) {
        throw notKept();
    }
    // Start-up recovery: the parts waiting for the others, by group and
    // number.
    virtual std::vector<StoredReceivedPart> waitingReceivedParts() { throw notKept(); }

    // The lookups of the HTTP interface. A store that does not keep what
    // they read throws StoreError (the default).
    //
    // The message with this id; false when there is none (any more).
    virtual bool findMessage(uint64_t /*id*/, MessageRecord& /*record*/) { throw notKept(); }
    // At most `limit` messages with this caller's reference, oldest first.
    virtual std::vector<MessageRecord> findByClientRef(const std::string& /*clientRef*/, size_t /*limit*/) {
        throw notKept();
    }
    // The answer kept for `key` of caller `scope` since `notBefore` (by
    // enqueue()); false when there is none.
    virtual bool findAnswer(const std::string& /*scope*/, const std::string& /*key*/, time_t /*notBefore*/,
                            StoredAnswer& /*answer*/) {
        throw notKept();
    }

    // The delivery callbacks: at most `limit` pending ones due at `now`,
    // the earliest first. A shared store gives only callbacks that no other
    // live daemon took, and takes them for this daemon, so that two
    // dispatchers never send the same one.
    virtual std::vector<StoredWebhook> dueWebhooks(time_t /*now*/, size_t /*limit*/) { throw notKept(); }
    // A failed attempt (`attempts` failed so far); tried again from
    // `nextAttemptAt`.
    virtual void markWebhookFailed(uint64_t /*id*/, int /*attempts*/, time_t /*nextAttemptAt*/,
                                   const std::string& /*error*/) {
        throw notKept();
    }
    // Delivered, or given up after `attempts` (with the last `error`); it
    // is not sent again.
    virtual void markWebhookDone(uint64_t /*id*/, bool /*delivered*/, int /*attempts*/, time_t /*at*/,
                                 const std::string& /*error*/) {
        throw notKept();
    }

    // Claims: the queue of a store that several daemons share. Each daemon
    // takes queued messages into its own claims and reads only those; its
    // claims last while it renews its lease. A store of one daemon shares
    // nothing (the default): its queue is read with nextQueued() and these
    // are not called.
    virtual bool sharesQueue() const { return false; }
    // Claims up to `limit` queued messages that no daemon claimed, in queue
    // order; `frontOnly`: only messages put back at the front of the queue
    // (before every message enqueued at the back).
    virtual std::vector<Sms> claimQueued(size_t /*limit*/, bool /*frontOnly*/) { throw notShared(); }
    // Queued messages that no daemon claimed.
    virtual long unclaimedCount() { throw notShared(); }
    // Renews this daemon's lease, and returns to the queue the claims of
    // every daemon whose lease ran out: their queued messages for anyone to
    // claim, their submitted and unacknowledged ones at the front, to be
    // sent again. False when this daemon's own lease had run out and
    // another daemon returned its claims (its messages in memory may be
    // claimed elsewhere by now); it holds a lease again afterwards.
    virtual bool renewLease() { return true; }
    // The orderly stop, after the senders ended: this daemon's claims go back
    // to the queue at once (as those of an expired lease) and its lease ends.
    // Its pending confirmations, received messages and delivery callbacks
    // go back too, for other daemons to take over: call it after the
    // e-mailer, the processor of received messages and the callback
    // dispatcher ended.
    virtual void releaseClaims() {}
    // The pending confirmations and unprocessed received messages that no
    // live daemon owns (their daemon stopped, or its lease ran out), taken
    // for this daemon (FOR UPDATE SKIP LOCKED: of daemons taking together,
    // each takes others), in the order they were made. A store of one
    // daemon has none. The lease keeper's thread.
    virtual void takeOverWork(std::vector<StoredConfirmation>& /*confirmations*/,
                              std::vector<StoredReceived>& /*received*/) {}
    // The daemons whose lease holds, by node name.
    virtual std::vector<DaemonLease> liveDaemons() { throw notShared(); }

    // Records about the connection since the last call (it was lost, it is
    // back), in order; a store without a connection has none.
    virtual std::vector<StoreEvent> takeEvents() { return {}; }

    // Deletes the messages finished before `before`, and the confirmations,
    // received messages and delivery callbacks done before it; the number
    // of messages.
    virtual long sweepFinished(time_t before) = 0;

private:
    static StoreError notKept() { return StoreError("Store: this store keeps no message states or answers"); }
    static StoreError notShared() { return StoreError("Store: this store's queue is not shared"); }
};

#endif
