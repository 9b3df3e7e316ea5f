// The store in one SQLite file with a write-ahead journal.
//
// One connection, guarded by m_mutex: every operation takes the lock for
// its transaction, so any thread may call any operation. The lock is a leaf.
// The file is accessed through wal_write_batch.h: a commit writes its
// journal frames with one system call.
#ifndef KST_STORE_SQLITE_STORE_H
#define KST_STORE_SQLITE_STORE_H

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "qpthr.h"
#include "store.h"
#include "wal_write_batch.h"

struct sqlite3;
struct sqlite3_stmt;

class SqliteStore : public Store {
public:
    // The schema this program writes; older files are upgraded on opening.
    static constexpr int schemaVersion = 6;
    // Free space that enqueue() leaves on the file system: the messages
    // already stored still need room for their way through the gateway
    // (their updates go through the journal) when no new one fits.
    static constexpr unsigned long long defaultFreeSpaceReserve = 8ull << 20;

    // Opens or creates the file at `path`. `fullSync`: every commit reaches
    // the disk before it returns (synchronous=FULL); otherwise a commit
    // survives a crash of the process but not a power cut (NORMAL). Throws
    // StoreError naming the path and the cause when the file cannot be
    // opened or created, is not a database, or has a newer schema.
    SqliteStore(const std::string& path, bool fullSync, unsigned long long freeSpaceReserve = defaultFreeSpaceReserve);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

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

    const std::string& path() const { return m_path; }

private:
    class Statement;
    class Transaction;

    [[noreturn]] void fail(const std::string& doing) REQUIRES(m_mutex);
    void execute(const char* sql) REQUIRES(m_mutex);
    void migrate() REQUIRES(m_mutex);
    int storedVersion() REQUIRES(m_mutex);
    // Sets m_frontPosition and m_backPosition from the rows in or out of
    // the queue that can return to it.
    void readQueueEnds() REQUIRES(m_mutex);
    // The sweep's part for confirmations and received messages, inside its
    // transaction.
    void sweepDone(time_t before) REQUIRES(m_mutex);
    // storeReceived()'s rows, inside the caller's transaction; the id.
    int64_t insertReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at)
        REQUIRES(m_mutex);

    // The updates of markAcknowledged() and markRefused(), inside the
    // caller's transaction.
    void updateAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at)
        REQUIRES(m_mutex);
    void updateRefused(uint64_t id, int errorCode, bool final, time_t at) REQUIRES(m_mutex);

    // Keeps an answer of enqueue(), inside its transaction.
    void keepAnswer(const std::vector<Sms>& messages, AnswerToKeep& answer) REQUIRES(m_mutex);

    // Reads one row of the message columns findMessage() selects.
    static void readRecord(const Statement& row, MessageRecord& record);

    // BEGIN IMMEDIATE.
    void begin() REQUIRES(m_mutex);
    // Throws when the file system has less than the reserve left, before
    // `messages` are stored.
    void checkFreeSpace(const std::vector<Sms>& messages) REQUIRES(m_mutex);

    // Declared before the connection that opens files through it.
    WalWriteBatchVfs m_vfs;
    const std::string m_path;
    const std::string m_directory;
    const unsigned long long m_freeSpaceReserve;
    // How often checkFreeSpace() asks the file system at least, while it
    // has more than twice the reserve.
    static constexpr std::chrono::milliseconds freeSpaceRecheckInterval{200};
    qpthr::QpMutex m_mutex;
    sqlite3* m_db GUARDED_BY(m_mutex) = nullptr;
    // markSubmitted() leaves its transaction open: the next operation that
    // writes commits it with its own (one commit instead of two per
    // message).
    bool m_submissionsPending GUARDED_BY(m_mutex) = false;
    // Prepared once, by the address of their SQL text (a literal).
    std::map<const char*, sqlite3_stmt*> m_statements GUARDED_BY(m_mutex);
    // The free space found by the last look, when, and an estimate of what
    // was stored since.
    unsigned long long m_availableAtCheck GUARDED_BY(m_mutex) = 0;
    std::chrono::steady_clock::time_point m_freeSpaceCheckedAt GUARDED_BY(m_mutex);
    unsigned long long m_writtenSinceFreeSpaceCheck GUARDED_BY(m_mutex) = 0;
    // The ends of the queue's positions handed out so far.
    int64_t m_frontPosition GUARDED_BY(m_mutex) = 0;
    int64_t m_backPosition GUARDED_BY(m_mutex) = 0;
};

#endif
