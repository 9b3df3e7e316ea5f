// The store in a PostgreSQL database, reached through libpq.
//
// One connection, guarded by m_mutex: every operation takes the lock for its
// transaction, so any thread may call any operation. The lock is a leaf.
// A connection that broke is made again by an operation: the one that
// found it broken throws StoreError with the server's words (unavailable()),
// the next tries to connect at once, and while the server stays away the
// attempts follow ReconnectBackoff; operations between them fail at once.
// The loss and the return are told by takeEvents() once each.
//
// Node names are unique among the running daemons: the connection holds a
// session-level advisory lock on a hash of Store/Node, taken when it is made
// (again), so that a second daemon with the same name is refused while the
// first runs, and a daemon killed with kill -9 frees its name with its
// connection.
//
// Several daemons share the queue. A queued message is claimed by the
// daemon that will send it (message.claimed_by, its Store/Node): claims are
// taken with SELECT ... FOR UPDATE SKIP LOCKED, so daemons claiming together
// take disjoint batches, each in queue order. A daemon's claims hold while
// its lease (a row of daemon_lease: lease_until on the database's clock)
// does; it renews the lease with renewLease(), which also returns the claims
// of every daemon whose lease ran out to the queue (their submitted and
// unacknowledged messages at the front, to be sent again). Each daemon needs
// a node name of its own.
//
// The registry is shared too: a delivery notification that matches none of
// this daemon's messages is settled in the database among those that any
// daemon acknowledged (settleSharedNotification()), the row locked, and
// the settling of a message (notification or expiry) changes it only while
// it is open, so that one message is settled once. Pending confirmations
// and received messages belong to the daemon that made them
// (confirmation.claimed_by, received.claimed_by), due delivery callbacks to
// the dispatcher that took them (webhook.claimed_by); a daemon reads only
// its own. When its lease runs out or it stops in order they become no
// daemon's, and a live daemon takes them over (takeOverWork() from the
// lease keeper's thread, pendingConfirmations() and unprocessedReceived()
// at start, dueWebhooks() from the dispatcher's).
//
// Texts that come from outside (numbers, bodies, addresses, references,
// the SMSC's keys) are kept as bytes (bytea), exactly as they came, so that
// no database encoding can refuse or change them.
#ifndef KST_STORE_POSTGRES_STORE_H
#define KST_STORE_POSTGRES_STORE_H

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "qpthr.h"
#include "store.h"

struct pg_conn;
struct pg_result;

class PostgresStore : public Store {
public:
    // The schema this program writes; older databases are upgraded on
    // opening, under a lock, so that daemons starting together migrate once.
    static constexpr int schemaVersion = 5;

    // Connects with `connection` (a libpq connection string) and creates or
    // upgrades the schema. `node` names this daemon: it is kept with every
    // message it accepts and names its claims, which last `leaseSeconds`
    // after each renewal of its lease. Throws StoreError naming the database
    // and the cause when it cannot connect, or the schema is newer than this
    // program's.
    PostgresStore(const std::string& connection, const std::string& node, int leaseSeconds = 30);
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    using Store::enqueue;
    int64_t enqueue(std::vector<Sms>& messages, const std::vector<AnswerToKeep*>& answers) override EXCLUDES(m_mutex);
    std::vector<Sms> nextQueued(int64_t& position, size_t limit) override EXCLUDES(m_mutex);
    long queuedCount() override EXCLUDES(m_mutex);
    int64_t requeue(uint64_t id, bool atFront) override EXCLUDES(m_mutex);
    void markSubmitted(uint64_t id, const std::string& sender, int reference, int submissions, time_t at) override
        EXCLUDES(m_mutex);
    void markAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at) override
        EXCLUDES(m_mutex);
    void markRefused(uint64_t id, int errorCode, bool final, time_t at) override EXCLUDES(m_mutex);
    void recordResults(const std::vector<SmscResult>& results) override EXCLUDES(m_mutex);
    bool markNotified(uint64_t id, int status, time_t at) override EXCLUDES(m_mutex);
    bool markExpired(uint64_t id, time_t at) override EXCLUDES(m_mutex);
    long requeueUnacknowledged() override EXCLUDES(m_mutex);
    std::vector<SubmittedMessage> awaitingNotification() override EXCLUDES(m_mutex);
    bool markNotifiedAndConfirm(uint64_t id, int status, time_t at, StoredConfirmation& confirmation) override
        EXCLUDES(m_mutex);
    bool settleSharedNotification(const std::string& sender, const std::vector<std::string>& sysMsgs, int status,
                                  time_t at, const std::function<bool(const Sms&, StoredConfirmation&)>& confirm,
                                  Sms& message, StoredConfirmation& confirmation) override EXCLUDES(m_mutex);
    void markConfirmationFailed(uint64_t id, int failures) override EXCLUDES(m_mutex);
    void markConfirmationDone(uint64_t id, bool mailed, int failures, time_t at) override EXCLUDES(m_mutex);
    std::vector<StoredConfirmation> pendingConfirmations() override EXCLUDES(m_mutex);
    uint64_t storeReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at) override
        EXCLUDES(m_mutex);
    void markReceivedProcessed(uint64_t id, time_t at) override EXCLUDES(m_mutex);
    std::vector<StoredReceived> unprocessedReceived() override EXCLUDES(m_mutex);
    bool storeReceivedPart(const StoredReceivedPart& part) override EXCLUDES(m_mutex);
    std::vector<uint64_t> replaceReceivedParts(
        const std::string& group, const std::vector<std::vector<std::pair<std::string, std::string>>>& messages,
        time_t at) override EXCLUDES(m_mutex);
    std::vector<StoredReceivedPart> waitingReceivedParts() override EXCLUDES(m_mutex);
    long sweepFinished(time_t before) override EXCLUDES(m_mutex);
    bool findMessage(uint64_t id, MessageRecord& record) override EXCLUDES(m_mutex);
    std::vector<MessageRecord> findByClientRef(const std::string& clientRef, size_t limit) override EXCLUDES(m_mutex);
    bool findAnswer(const std::string& scope, const std::string& key, time_t notBefore, StoredAnswer& answer) override
        EXCLUDES(m_mutex);
    std::vector<StoredWebhook> dueWebhooks(time_t now, size_t limit) override EXCLUDES(m_mutex);
    void markWebhookFailed(uint64_t id, int attempts, time_t nextAttemptAt, const std::string& error) override
        EXCLUDES(m_mutex);
    void markWebhookDone(uint64_t id, bool delivered, int attempts, time_t at, const std::string& error) override
        EXCLUDES(m_mutex);

    bool sharesQueue() const override { return true; }
    std::vector<Sms> claimQueued(size_t limit, bool frontOnly) override EXCLUDES(m_mutex);
    long unclaimedCount() override EXCLUDES(m_mutex);
    bool renewLease() override EXCLUDES(m_mutex);
    void releaseClaims() override EXCLUDES(m_mutex);
    void takeOverWork(std::vector<StoredConfirmation>& confirmations, std::vector<StoredReceived>& received) override
        EXCLUDES(m_mutex);
    std::vector<DaemonLease> liveDaemons() override EXCLUDES(m_mutex);
    std::vector<StoreEvent> takeEvents() override EXCLUDES(m_mutex);

    // "PostgreSQL database NAME on HOST:PORT", as the errors name it (never
    // the password of the connection string).
    const std::string& description() const { return m_description; }
    const std::string& node() const { return m_node; }

private:
    class Query;
    class Result;
    class Transaction;

    // Throws the error of `result` (or of the connection); an error that is
    // not the server's answer to the statement (a lost connection, the
    // server shutting down) has the next operation connect again.
    [[noreturn]] void fail(const std::string& doing, const pg_result* result) REQUIRES(m_mutex);
    // Connected, or connected again after the connection broke: the
    // statements are prepared again as they are used.
    void ensureConnected() REQUIRES(m_mutex);
    // Takes the lock on this daemon's node name on the new connection;
    // throws StoreError when another daemon holds it.
    void lockNode() REQUIRES(m_mutex);
    // The connection is lost (`cause`): the first loss since it was made is
    // told, and the next attempt to connect is due at once.
    void noteLost(const std::string& cause) REQUIRES(m_mutex);
    // Runs SQL without parameters (several statements may be given).
    void execute(const char* sql, const char* doing) REQUIRES(m_mutex);
    // The name of `sql` prepared on this connection, prepared now if needed.
    const std::string& prepared(const char* sql) REQUIRES(m_mutex);
    void migrate() REQUIRES(m_mutex);
    // storeReceived()'s rows, inside the caller's transaction; the id.
    int64_t insertReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at)
        REQUIRES(m_mutex);
    // Keeps `answer`, its body made from its messages in `messages`, in the
    // transaction under way.
    void keepAnswer(const std::vector<Sms>& messages, AnswerToKeep& answer) REQUIRES(m_mutex);

    // Returns the claims of daemon `node` to the queue, in the transaction
    // under way; the number of its submitted messages put back at the front.
    long returnClaims(const std::string& node) REQUIRES(m_mutex);
    // Makes or renews this daemon's lease, in the transaction under way;
    // false when it had none (its lease ran out and was taken away).
    bool extendLease() REQUIRES(m_mutex);

    void updateAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at)
        REQUIRES(m_mutex);
    void updateRefused(uint64_t id, int errorCode, bool final, time_t at) REQUIRES(m_mutex);
    // Stores `confirmation` of message `messageId` as this daemon's, in the
    // transaction under way; its id.
    uint64_t insertConfirmation(uint64_t messageId, time_t at, const StoredConfirmation& confirmation)
        REQUIRES(m_mutex);
    static void readConfirmations(const Result& rows, std::vector<StoredConfirmation>& confirmations);
    static void readReceived(const Result& rows, std::vector<StoredReceived>& waiting);
    static void readRecord(const Result& rows, int row, MessageRecord& record);
    // Queued messages read with the columns of nextQueued(), in order.
    static void readQueued(const Result& rows, std::vector<Sms>& messages);

    const std::string m_connection;
    const std::string m_node;
    const std::string m_description;
    const int m_leaseSeconds;
    qpthr::QpMutex m_mutex;
    pg_conn* m_db GUARDED_BY(m_mutex) = nullptr;
    bool m_reconnect GUARDED_BY(m_mutex) = false;
    // This daemon registered its lease (requeueUnacknowledged()) and has not
    // released it.
    bool m_leaseHeld GUARDED_BY(m_mutex) = false;
    // The connection was made once: a failure to connect since is an
    // outage, not a failed start.
    bool m_everConnected GUARDED_BY(m_mutex) = false;
    // While the database is away: since when, why, the failed attempts to
    // connect since and when the next is due.
    std::chrono::steady_clock::time_point m_awaySince GUARDED_BY(m_mutex);
    bool m_away GUARDED_BY(m_mutex) = false;
    std::string m_awayCause GUARDED_BY(m_mutex);
    int m_failedAttempts GUARDED_BY(m_mutex) = 0;
    std::chrono::steady_clock::time_point m_nextAttempt GUARDED_BY(m_mutex);
    // Records for takeEvents(), in order.
    std::vector<StoreEvent> m_events GUARDED_BY(m_mutex);
    // Prepared on this connection, by the address of their SQL text (a
    // literal): the statement's name.
    std::map<const char*, std::string> m_statements GUARDED_BY(m_mutex);
};

#endif
