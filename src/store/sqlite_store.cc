#include "sqlite_store.h"

#include "message_record_row.h"
#include "received_part_row.h"

#include <sqlite3.h>
#include <string.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

// The states of a message's row.
enum State { Queued = 0, Submitted = 1, Acknowledged = 2, Finished = 3 };

// Each entry brings a file from the version before it to its own number
// (the first one from an empty file to version 1).
const char* const migrations[] = {
    // 1: the messages and their way through the gateway.
    "CREATE TABLE message ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " state INTEGER NOT NULL,"
    " position INTEGER NOT NULL,"
    " accepted_at INTEGER NOT NULL,"
    " target TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " body TEXT NOT NULL,"
    " remote_addr TEXT NOT NULL,"
    " on_display INTEGER NOT NULL,"
    " mail_to TEXT NOT NULL,"
    " sender TEXT,"
    " reference INTEGER,"
    " submissions INTEGER NOT NULL DEFAULT 0,"
    " submitted_at INTEGER,"
    " sys_msg TEXT,"
    " acknowledged_at INTEGER,"
    " error_code INTEGER,"
    " notification_status INTEGER,"
    " notified_at INTEGER,"
    " outcome TEXT,"
    " finished_at INTEGER);"
    "CREATE INDEX message_queue ON message(position) WHERE state = 0;"
    "CREATE INDEX message_open ON message(state, position) WHERE state IN (1, 2);"
    "CREATE INDEX message_finished ON message(finished_at) WHERE state = 3;",
    // 2: confirmations to mail and received messages for the executables;
    // their state is 0 while they wait (to be mailed, for the executables)
    // and 1 when done.
    "CREATE TABLE confirmation ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " message_id INTEGER NOT NULL,"
    " state INTEGER NOT NULL,"
    " destination TEXT NOT NULL,"
    " user_data TEXT NOT NULL,"
    " delivery_date TEXT NOT NULL,"
    " delivery_time TEXT NOT NULL,"
    " email TEXT NOT NULL,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " made_at INTEGER NOT NULL,"
    " outcome TEXT,"
    " finished_at INTEGER);"
    "CREATE INDEX confirmation_pending ON confirmation(id) WHERE state = 0;"
    "CREATE INDEX confirmation_finished ON confirmation(finished_at) WHERE state = 1;"
    "CREATE TABLE received ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " state INTEGER NOT NULL,"
    " received_at INTEGER NOT NULL,"
    " processed_at INTEGER);"
    "CREATE TABLE received_variable ("
    " received_id INTEGER NOT NULL,"
    " ordinal INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " value TEXT NOT NULL,"
    " PRIMARY KEY (received_id, ordinal)) WITHOUT ROWID;"
    "CREATE INDEX received_waiting ON received(id) WHERE state = 0;"
    "CREATE INDEX received_processed ON received(processed_at) WHERE state = 1;",
    // 3: what the HTTP interface keeps with a message, and the answers kept
    // for idempotency keys (scope: a digest of the caller's API key).
    "ALTER TABLE message ADD COLUMN client_ref TEXT;"
    "ALTER TABLE message ADD COLUMN callback_url TEXT;"
    "ALTER TABLE message ADD COLUMN part INTEGER NOT NULL DEFAULT 1;"
    "ALTER TABLE message ADD COLUMN parts INTEGER NOT NULL DEFAULT 1;"
    "CREATE INDEX message_client_ref ON message(client_ref, id) WHERE client_ref IS NOT NULL;"
    "CREATE TABLE idempotency ("
    " scope TEXT NOT NULL,"
    " key TEXT NOT NULL,"
    " request_digest TEXT NOT NULL,"
    " status INTEGER NOT NULL,"
    " body TEXT NOT NULL,"
    " made_at INTEGER NOT NULL,"
    " PRIMARY KEY (scope, key));"
    "CREATE INDEX idempotency_made ON idempotency(made_at);",
    // 4: delivery callbacks of the messages that carry a callback URL, one
    // per message, made by the trigger in the transaction that records the
    // final state (delivered or not, refused for good, expired; a
    // "buffered" notification is not final). State 0: pending, 1:
    // delivered, 2: given up.
    "CREATE TABLE webhook ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " message_id INTEGER NOT NULL,"
    " url TEXT NOT NULL,"
    " state INTEGER NOT NULL,"
    " attempts INTEGER NOT NULL DEFAULT 0,"
    " next_attempt_at INTEGER NOT NULL,"
    " created_at INTEGER NOT NULL,"
    " finished_at INTEGER,"
    " last_error TEXT);"
    "CREATE INDEX webhook_due ON webhook(next_attempt_at, id) WHERE state = 0;"
    "CREATE INDEX webhook_finished ON webhook(finished_at) WHERE state != 0;"
    "CREATE TRIGGER webhook_on_final_state AFTER UPDATE OF state ON message"
    " WHEN NEW.state = 3 AND OLD.state != 3 AND NEW.callback_url IS NOT NULL"
    " AND (NEW.outcome IN ('refused', 'expired') OR (NEW.outcome = 'notified' AND NEW.notification_status IS NOT 1))"
    " BEGIN"
    " INSERT INTO webhook (message_id, url, state, next_attempt_at, created_at)"
    " VALUES (NEW.id, NEW.callback_url, 0, COALESCE(NEW.finished_at, CAST(strftime('%s', 'now') AS INTEGER)),"
    " COALESCE(NEW.finished_at, CAST(strftime('%s', 'now') AS INTEGER)));"
    " END;",
    // 5: the concatenation reference the parts of one text share (NULL for
    // a text of one part, and in rows kept before: see readQueuedMessage).
    "ALTER TABLE message ADD COLUMN concat_ref INTEGER;",
    // 6: parts of concatenated received messages waiting for the others;
    // `variables` as received_part_row.h packs them.
    "CREATE TABLE received_part ("
    " group_key TEXT NOT NULL,"
    " part_number INTEGER NOT NULL,"
    " received_at INTEGER NOT NULL,"
    " variables BLOB NOT NULL,"
    " PRIMARY KEY (group_key, part_number));",
};
static_assert(sizeof migrations / sizeof migrations[0] == SqliteStore::schemaVersion, "one migration a version");

}  // namespace

// A statement of the store's cache (prepared at its first use), reset and
// unbound when it goes. One use of a statement at a time. Made only under
// the store's lock (the constructor requires it) and gone before it is
// released, so its members run under that lock too.
class SqliteStore::Statement {
public:
    Statement(SqliteStore& store, const char* sql) REQUIRES(store.m_mutex) : m_store(store) {
        sqlite3_stmt*& cached = store.m_statements[sql];
        if (cached == nullptr &&
            sqlite3_prepare_v3(store.m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached, nullptr) != SQLITE_OK) {
            store.m_statements.erase(sql);
            store.fail("reading the store");
        }
        m_statement = cached;
    }
    ~Statement() { reset(); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, int64_t value) {
        sqlite3_bind_int64(m_statement, index, value);
        return *this;
    }
    Statement& bindNull(int index) {
        sqlite3_bind_null(m_statement, index);
        return *this;
    }
    Statement& bind(int index, const std::string& value) {
        sqlite3_bind_text(m_statement, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True with a row to read, false when done; throws on an error.
    bool step(const char* doing) NO_THREAD_SAFETY_ANALYSIS {
        const int result = sqlite3_step(m_statement);
        if (result == SQLITE_ROW) return true;
        if (result != SQLITE_DONE) m_store.fail(doing);
        return false;
    }
    void run(const char* doing) NO_THREAD_SAFETY_ANALYSIS {
        step(doing);
        sqlite3_reset(m_statement);
    }
    void reset() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    int64_t integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    bool isNull(int column) const { return sqlite3_column_type(m_statement, column) == SQLITE_NULL; }
    std::string text(int column) const {
        const unsigned char* value = sqlite3_column_text(m_statement, column);
        return value ? std::string(reinterpret_cast<const char*>(value),
                                   static_cast<size_t>(sqlite3_column_bytes(m_statement, column)))
                     : std::string();
    }

private:
    SqliteStore& m_store;
    sqlite3_stmt* m_statement = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed. Submissions
// recorded and not committed yet are part of it. Under the store's lock,
// like Statement.
class SqliteStore::Transaction {
public:
    explicit Transaction(SqliteStore& store) REQUIRES(store.m_mutex) : m_store(store) {
        if (!store.m_submissionsPending) store.begin();
    }
    ~Transaction() {
        if (m_committed) return;
        sqlite3_exec(m_store.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_store.m_submissionsPending = false;
    }
    void commit() NO_THREAD_SAFETY_ANALYSIS {
        Statement(m_store, "COMMIT").run("committing");
        m_store.m_submissionsPending = false;
        m_committed = true;
    }

private:
    SqliteStore& m_store;
    bool m_committed = false;
};

namespace {

std::string directoryOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

SqliteStore::SqliteStore(const std::string& path, bool fullSync, unsigned long long freeSpaceReserve)
    : m_path(path), m_directory(directoryOf(path)), m_freeSpaceReserve(freeSpaceReserve) {
    qpthr::QpLock guard(m_mutex);
    const int opened = sqlite3_open_v2(path.c_str(), &m_db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, m_vfs.name());
    if (opened != SQLITE_OK) {
        const std::string cause = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(opened);
        sqlite3_close(m_db);
        m_db = nullptr;
        throw StoreError("Store " + path + ": cannot open: " + cause);
    }
    try {
        sqlite3_extended_result_codes(m_db, 1);
        sqlite3_busy_timeout(m_db, 5000);
        // Only this process uses the file: set before the first access, the
        // journal's index lives in its memory and no transaction takes file
        // locks; another process cannot use the file meanwhile.
        execute("PRAGMA locking_mode=EXCLUSIVE");
        // Reading the schema first tells a file that is not a database.
        execute("SELECT COUNT(*) FROM sqlite_master");
        // A new file: small pages, as every commit writes the pages it
        // changed (a row and its index entries) to the journal whole.
        execute("PRAGMA page_size=1024");
        Statement journal(*this, "PRAGMA journal_mode=WAL");
        if (!journal.step("setting the write-ahead journal") || journal.text(0) != "wal") {
            throw StoreError("Store " + path + ": the write-ahead journal cannot be used on this file system");
        }
        journal.reset();
        execute(fullSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
        // The journal is copied into the file (with a flush of both) at about
        // 4 MiB instead of 1 MiB: a quarter of the checkpoints, whose flushes
        // the committing call waits for, and pages changed again meanwhile are
        // copied once. It stays well within the free-space reserve.
        execute("PRAGMA wal_autocheckpoint=4000");
        migrate();
        readQueueEnds();
    } catch (...) {
        for (auto& statement : m_statements) sqlite3_finalize(statement.second);
        m_statements.clear();
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw;
    }
}

SqliteStore::~SqliteStore() {
    qpthr::QpLock guard(m_mutex);
    if (m_submissionsPending) sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    for (auto& statement : m_statements) sqlite3_finalize(statement.second);
    if (m_db != nullptr) sqlite3_close_v2(m_db);
}

void SqliteStore::fail(const std::string& doing) {
    throw StoreError("Store " + m_path + ": " + doing + ": " + sqlite3_errmsg(m_db));
}

void SqliteStore::execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) == SQLITE_OK) return;
    const std::string cause = error ? error : sqlite3_errmsg(m_db);
    sqlite3_free(error);
    throw StoreError("Store " + m_path + ": " + cause);
}

int SqliteStore::storedVersion() {
    Statement exists(*this, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'");
    exists.step("reading the schema");
    if (exists.integer(0) == 0) return 0;
    Statement version(*this, "SELECT MAX(version) FROM schema_version");
    return version.step("reading the schema version") ? static_cast<int>(version.integer(0)) : 0;
}

void SqliteStore::migrate() {
    Transaction transaction(*this);
    int version = storedVersion();
    if (version > schemaVersion) {
        throw StoreError("Store " + m_path + ": schema version " + std::to_string(version) +
                         " is newer than this program's " + std::to_string(schemaVersion));
    }
    if (version == 0) execute("CREATE TABLE schema_version (version INTEGER NOT NULL)");
    for (; version < schemaVersion; ++version) {
        execute(migrations[version]);
        Statement record(*this, "INSERT INTO schema_version (version) VALUES (?)");
        record.bind(1, version + 1).run("recording the schema version");
    }
    transaction.commit();
}

void SqliteStore::readQueueEnds() {
    // Each a single MIN or MAX over one partial index, so that it reads a
    // leaf at either end and not the whole table (finished rows included).
    // Finished rows never return to the queue: their positions do not count.
    static const char* const ends[][2] = {
        {"SELECT MIN(position) FROM message WHERE state = 0", "SELECT MAX(position) FROM message WHERE state = 0"},
        {"SELECT MIN(position) FROM message WHERE state IN (1, 2) AND state = 1",
         "SELECT MAX(position) FROM message WHERE state IN (1, 2) AND state = 1"},
        {"SELECT MIN(position) FROM message WHERE state IN (1, 2) AND state = 2",
         "SELECT MAX(position) FROM message WHERE state IN (1, 2) AND state = 2"},
    };
    bool found = false;
    for (const auto& state : ends) {
        Statement lowest(*this, state[0]);
        if (!lowest.step("reading the queue") || lowest.isNull(0)) continue;
        Statement highest(*this, state[1]);
        highest.step("reading the queue");
        m_frontPosition = found ? std::min(m_frontPosition, lowest.integer(0)) : lowest.integer(0);
        m_backPosition = found ? std::max(m_backPosition, highest.integer(0)) : highest.integer(0);
        found = true;
    }
}

void SqliteStore::begin() { Statement(*this, "BEGIN IMMEDIATE").run("beginning a transaction"); }

void SqliteStore::checkFreeSpace(const std::vector<Sms>& messages) {
    if (m_freeSpaceReserve == 0) return;
    // What the messages take in the file: their texts, about as much again
    // for the row's other columns and index entries, and all of it once more
    // in the journal.
    for (const Sms& sms : messages) {
        m_writtenSinceFreeSpaceCheck +=
            4 * (strlen(sms.target()) + strlen(sms.message()) + strlen(sms.remoteAddr()) + strlen(sms.mailTo()) + 64);
    }
    // Far from the reserve, the file system is asked again (a system call)
    // only after a share of the reserve was written or a moment passed.
    const auto now = std::chrono::steady_clock::now();
    if (m_availableAtCheck >= 2 * m_freeSpaceReserve && m_writtenSinceFreeSpaceCheck < m_freeSpaceReserve / 4 &&
        now - m_freeSpaceCheckedAt < freeSpaceRecheckInterval) {
        return;
    }
    struct statvfs info;
    if (statvfs(m_directory.c_str(), &info) != 0) return;  // the write itself tells
    const unsigned long long available = static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
    m_availableAtCheck = available;
    m_writtenSinceFreeSpaceCheck = 0;
    m_freeSpaceCheckedAt = now;
    if (available >= m_freeSpaceReserve) return;
    throw StoreError("Store " + m_path + ": database or disk is full (" + std::to_string(available >> 10) +
                     " KiB free, " + std::to_string(m_freeSpaceReserve >> 10) +
                     " KiB are kept for the messages already stored)");
}

int64_t SqliteStore::enqueue(std::vector<Sms>& messages, const std::vector<AnswerToKeep*>& answers) {
    qpthr::QpLock guard(m_mutex);
    if (messages.empty() && answers.empty()) return m_backPosition;
    checkFreeSpace(messages);
    const time_t now = time(nullptr);
    const int64_t backBefore = m_backPosition;
    try {
        Transaction transaction(*this);
        Statement insert(*this,
                         "INSERT INTO message (state, position, accepted_at, target, source, body, remote_addr,"
                         " on_display, mail_to, client_ref, callback_url, part, parts, concat_ref)"
                         " VALUES (0, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (Sms& sms : messages) {
            insert.bind(1, ++m_backPosition)
                .bind(2, now)
                .bind(3, std::string(sms.target()))
                .bind(4, std::string(sms.source()))
                .bind(5, std::string(sms.message()))
                .bind(6, std::string(sms.remoteAddr()))
                .bind(7, sms.onDisplay() ? 1 : 0)
                .bind(8, std::string(sms.mailTo()))
                .bind(11, sms.tracking().part)
                .bind(12, sms.tracking().parts);
            if (sms.tracking().parts > 1)
                insert.bind(13, sms.tracking().reference);
            else
                insert.bindNull(13);
            // NULL without them (the index skips those rows); bound every
            // time, as a binding stays for the next row.
            const Sms::Tracking& tracking = sms.tracking();
            if (tracking.clientRef.empty())
                insert.bindNull(9);
            else
                insert.bind(9, tracking.clientRef);
            if (tracking.callbackUrl.empty())
                insert.bindNull(10);
            else
                insert.bind(10, tracking.callbackUrl);
            insert.run("storing a message");
            sms.setId(static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db)));
        }
        for (AnswerToKeep* answer : answers) keepAnswer(messages, *answer);
        transaction.commit();
    } catch (...) {
        m_backPosition = backBefore;
        for (Sms& sms : messages) sms.setId(0);
        for (AnswerToKeep* answer : answers) answer->body.clear();
        throw;
    }
    return m_backPosition;
}

std::vector<Sms> SqliteStore::nextQueued(int64_t& position, size_t limit) {
    std::vector<Sms> messages;
    qpthr::QpLock guard(m_mutex);
    Statement select(*this, "SELECT " KST_QUEUED_MESSAGE_COLUMNS
                            " FROM message WHERE state = 0 AND position > ? ORDER BY position LIMIT ?");
    select.bind(1, position).bind(2, static_cast<int64_t>(limit));
    while (select.step("reading the queue")) {
        messages.push_back(messagerow::readQueuedMessage(select));
        position = select.integer(7);
    }
    return messages;
}

long SqliteStore::queuedCount() {
    qpthr::QpLock guard(m_mutex);
    Statement count(*this, "SELECT COUNT(*) FROM message WHERE state = 0");
    count.step("counting the queue");
    return static_cast<long>(count.integer(0));
}

int64_t SqliteStore::requeue(uint64_t id, bool atFront) {
    qpthr::QpLock guard(m_mutex);
    const int64_t position = atFront ? m_frontPosition - 1 : m_backPosition + 1;
    Transaction transaction(*this);
    Statement update(*this, "UPDATE message SET state = 0, position = ? WHERE id = ?");
    update.bind(1, position).bind(2, static_cast<int64_t>(id)).run("putting a message back into the queue");
    transaction.commit();
    (atFront ? m_frontPosition : m_backPosition) = position;
    return position;
}

void SqliteStore::markSubmitted(uint64_t id, const std::string& sender, int reference, int submissions, time_t at) {
    qpthr::QpLock guard(m_mutex);
    if (!m_submissionsPending) {
        begin();
        m_submissionsPending = true;
    }
    Statement update(*this,
                     "UPDATE message SET state = 1, sender = ?, reference = ?, submissions = ?, submitted_at = ?"
                     " WHERE id = ?");
    update.bind(1, sender).bind(2, reference).bind(3, submissions).bind(4, at).bind(5, static_cast<int64_t>(id));
    update.run("recording a submission");
}

void SqliteStore::markAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    updateAcknowledged(id, sysMsg, awaitsNotification, at);
    transaction.commit();
}

void SqliteStore::updateAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at) {
    Statement update(*this,
                     "UPDATE message SET state = ?, sys_msg = ?, acknowledged_at = ?, outcome = 'acknowledged',"
                     " finished_at = ? WHERE id = ?");
    update.bind(1, awaitsNotification ? Acknowledged : Finished).bind(2, sysMsg).bind(3, at);
    if (!awaitsNotification) update.bind(4, at);
    update.bind(5, static_cast<int64_t>(id)).run("recording an acknowledgement");
}

void SqliteStore::markRefused(uint64_t id, int errorCode, bool final, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    updateRefused(id, errorCode, final, at);
    transaction.commit();
}

void SqliteStore::updateRefused(uint64_t id, int errorCode, bool final, time_t at) {
    if (!final) {
        Statement update(*this, "UPDATE message SET error_code = ? WHERE id = ?");
        update.bind(1, errorCode).bind(2, static_cast<int64_t>(id)).run("recording a refusal");
        return;
    }
    Statement update(*this,
                     "UPDATE message SET state = 3, error_code = ?, outcome = 'refused', finished_at = ? WHERE id = ?");
    update.bind(1, errorCode).bind(2, at).bind(3, static_cast<int64_t>(id)).run("recording a refusal");
}

void SqliteStore::recordResults(const std::vector<SmscResult>& results) {
    if (results.empty()) return;
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    for (const SmscResult& result : results) {
        if (result.acknowledged) {
            updateAcknowledged(result.id, result.sysMsg, result.awaitsNotification, result.at);
        } else {
            updateRefused(result.id, result.errorCode, result.final, result.at);
        }
    }
    transaction.commit();
}

bool SqliteStore::markNotified(uint64_t id, int status, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement update(*this,
                     "UPDATE message SET state = 3, notification_status = ?, notified_at = ?, outcome = 'notified',"
                     " finished_at = ? WHERE id = ?");
    update.bind(1, status).bind(2, at).bind(3, at).bind(4, static_cast<int64_t>(id));
    update.run("recording a delivery notification");
    transaction.commit();
    // One daemon: nobody else settles its messages.
    return true;
}

bool SqliteStore::markExpired(uint64_t id, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement update(*this, "UPDATE message SET state = 3, outcome = 'expired', finished_at = ? WHERE id = ?");
    update.bind(1, at).bind(2, static_cast<int64_t>(id)).run("recording an expired notification");
    transaction.commit();
    return true;
}

long SqliteStore::requeueUnacknowledged() {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    std::vector<int64_t> ids;
    {
        // "state IN (1, 2)" lets the open messages' index serve the query
        // instead of a scan of every row, the finished ones included.
        Statement select(*this, "SELECT id FROM message WHERE state IN (1, 2) AND state = 1 ORDER BY position");
        while (select.step("reading the submitted messages")) ids.push_back(select.integer(0));
    }
    const int64_t frontBefore = m_frontPosition;
    int64_t position = m_frontPosition - static_cast<int64_t>(ids.size());
    Statement update(*this, "UPDATE message SET state = 0, position = ? WHERE id = ?");
    for (int64_t id : ids) {
        update.bind(1, position++).bind(2, id).run("putting a submitted message back into the queue");
    }
    try {
        transaction.commit();
    } catch (...) {
        m_frontPosition = frontBefore;
        throw;
    }
    if (!ids.empty()) m_frontPosition = frontBefore - static_cast<int64_t>(ids.size());
    return static_cast<long>(ids.size());
}

std::vector<SubmittedMessage> SqliteStore::awaitingNotification() {
    std::vector<SubmittedMessage> messages;
    qpthr::QpLock guard(m_mutex);
    // Through the open messages' index, as requeueUnacknowledged().
    Statement select(*this,
                     "SELECT id, target, source, body, remote_addr, on_display, mail_to, sender, reference,"
                     " submissions, submitted_at, sys_msg FROM message WHERE state IN (1, 2) AND state = 2"
                     " ORDER BY submitted_at, id");
    while (select.step("reading the acknowledged messages")) {
        SubmittedMessage message;
        message.sms =
            Sms(select.text(1), select.text(2), select.text(3), select.text(4), select.integer(5) != 0, select.text(6));
        message.sms.setId(static_cast<uint64_t>(select.integer(0)));
        message.sender = select.text(7);
        message.reference = static_cast<int>(select.integer(8));
        message.submissions = static_cast<int>(select.integer(9));
        message.submittedAt = static_cast<time_t>(select.integer(10));
        message.sysMsg = select.text(11);
        messages.push_back(std::move(message));
    }
    return messages;
}

long SqliteStore::sweepFinished(time_t before) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement sweep(*this, "DELETE FROM message WHERE state = 3 AND finished_at < ?");
    sweep.bind(1, before).run("deleting finished messages");
    const long deleted = static_cast<long>(sqlite3_changes(m_db));
    sweepDone(before);
    transaction.commit();
    return deleted;
}

void SqliteStore::sweepDone(time_t before) {
    Statement confirmations(*this, "DELETE FROM confirmation WHERE state = 1 AND finished_at < ?");
    confirmations.bind(1, before).run("deleting finished confirmations");
    Statement variables(*this,
                        "DELETE FROM received_variable WHERE received_id IN"
                        " (SELECT id FROM received WHERE state = 1 AND processed_at < ?)");
    variables.bind(1, before).run("deleting processed received messages");
    Statement received(*this, "DELETE FROM received WHERE state = 1 AND processed_at < ?");
    received.bind(1, before).run("deleting processed received messages");
    Statement webhooks(*this, "DELETE FROM webhook WHERE state != 0 AND finished_at < ?");
    webhooks.bind(1, before).run("deleting finished delivery callbacks");
}

bool SqliteStore::markNotifiedAndConfirm(uint64_t id, int status, time_t at, StoredConfirmation& confirmation) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement update(*this,
                     "UPDATE message SET state = 3, notification_status = ?, notified_at = ?, outcome = 'notified',"
                     " finished_at = ? WHERE id = ?");
    update.bind(1, status).bind(2, at).bind(3, at).bind(4, static_cast<int64_t>(id));
    update.run("recording a delivery notification");
    Statement insert(*this,
                     "INSERT INTO confirmation (message_id, state, destination, user_data, delivery_date,"
                     " delivery_time, email, failures, made_at) VALUES (?, 0, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, static_cast<int64_t>(id))
        .bind(2, confirmation.destination)
        .bind(3, confirmation.userData)
        .bind(4, confirmation.date)
        .bind(5, confirmation.time)
        .bind(6, confirmation.email)
        .bind(7, confirmation.failures)
        .bind(8, at);
    insert.run("storing a confirmation");
    const uint64_t confirmationId = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
    transaction.commit();
    confirmation.id = confirmationId;
    confirmation.messageId = id;
    return true;
}

void SqliteStore::markConfirmationFailed(uint64_t id, int failures) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement update(*this, "UPDATE confirmation SET failures = ? WHERE id = ?");
    update.bind(1, failures).bind(2, static_cast<int64_t>(id)).run("recording a failed confirmation");
    transaction.commit();
}

void SqliteStore::markConfirmationDone(uint64_t id, bool mailed, int failures, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement update(*this,
                     "UPDATE confirmation SET state = 1, failures = ?, outcome = ?, finished_at = ? WHERE id = ?");
    update.bind(1, failures)
        .bind(2, std::string(mailed ? "mailed" : "given up"))
        .bind(3, at)
        .bind(4, static_cast<int64_t>(id))
        .run("recording a mailed confirmation");
    transaction.commit();
}

std::vector<StoredConfirmation> SqliteStore::pendingConfirmations() {
    std::vector<StoredConfirmation> confirmations;
    qpthr::QpLock guard(m_mutex);
    Statement select(*this,
                     "SELECT id, message_id, destination, user_data, delivery_date, delivery_time, email, failures"
                     " FROM confirmation WHERE state = 0 ORDER BY id");
    while (select.step("reading the pending confirmations")) {
        StoredConfirmation confirmation;
        confirmation.id = static_cast<uint64_t>(select.integer(0));
        confirmation.messageId = static_cast<uint64_t>(select.integer(1));
        confirmation.destination = select.text(2);
        confirmation.userData = select.text(3);
        confirmation.date = select.text(4);
        confirmation.time = select.text(5);
        confirmation.email = select.text(6);
        confirmation.failures = static_cast<int>(select.integer(7));
        confirmations.push_back(std::move(confirmation));
    }
    return confirmations;
}

uint64_t SqliteStore::storeReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    const int64_t id = insertReceived(variables, at);
    transaction.commit();
    return static_cast<uint64_t>(id);
}

int64_t SqliteStore::insertReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at) {
    Statement insert(*this, "INSERT INTO received (state, received_at) VALUES (0, ?)");
    insert.bind(1, at).run("storing a received message");
    const int64_t id = sqlite3_last_insert_rowid(m_db);
    Statement variable(*this, "INSERT INTO received_variable (received_id, ordinal, name, value) VALUES (?, ?, ?, ?)");
    int64_t ordinal = 0;
    for (const auto& entry : variables) {
        variable.bind(1, id).bind(2, ordinal++).bind(3, entry.first).bind(4, entry.second);
        variable.run("storing a received message");
    }
    return id;
}

bool SqliteStore::storeReceivedPart(const StoredReceivedPart& part) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement insert(*this,
                     "INSERT OR IGNORE INTO received_part (group_key, part_number, received_at, variables)"
                     " VALUES (?, ?, ?, ?)");
    insert.bind(1, part.group)
        .bind(2, part.number)
        .bind(3, part.receivedAt)
        .bind(4, receivedpart::packVariables(part.variables))
        .run("storing a part of a received message");
    const bool stored = sqlite3_changes(m_db) > 0;
    transaction.commit();
    return stored;
}

std::vector<uint64_t> SqliteStore::replaceReceivedParts(
    const std::string& group, const std::vector<std::vector<std::pair<std::string, std::string>>>& messages,
    time_t at) {
    std::vector<uint64_t> ids;
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement remove(*this, "DELETE FROM received_part WHERE group_key = ?");
    remove.bind(1, group).run("removing the parts of a received message");
    for (const auto& variables : messages) ids.push_back(static_cast<uint64_t>(insertReceived(variables, at)));
    transaction.commit();
    return ids;
}

std::vector<StoredReceivedPart> SqliteStore::waitingReceivedParts() {
    std::vector<StoredReceivedPart> parts;
    qpthr::QpLock guard(m_mutex);
    Statement select(*this, "SELECT " KST_RECEIVED_PART_COLUMNS " FROM received_part ORDER BY group_key, part_number");
    while (select.step("reading the parts of received messages"))
        parts.push_back(receivedpart::readReceivedPart(select));
    return parts;
}

void SqliteStore::markReceivedProcessed(uint64_t id, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement update(*this, "UPDATE received SET state = 1, processed_at = ? WHERE id = ?");
    update.bind(1, at).bind(2, static_cast<int64_t>(id)).run("recording a processed received message");
    transaction.commit();
}

std::vector<StoredReceived> SqliteStore::unprocessedReceived() {
    std::vector<StoredReceived> waiting;
    qpthr::QpLock guard(m_mutex);
    Statement select(*this,
                     "SELECT received.id, name, value FROM received"
                     " LEFT JOIN received_variable ON received_id = received.id"
                     " WHERE state = 0 ORDER BY received.id, ordinal");
    while (select.step("reading the received messages")) {
        const uint64_t id = static_cast<uint64_t>(select.integer(0));
        if (waiting.empty() || waiting.back().id != id) {
            waiting.emplace_back();
            waiting.back().id = id;
        }
        if (!select.isNull(1)) {
            waiting.back().variables.emplace_back(select.text(1), select.text(2));
        }
    }
    return waiting;
}

namespace {

const char* const messageColumns = KST_MESSAGE_RECORD_COLUMNS;

}  // namespace

void SqliteStore::readRecord(const Statement& row, MessageRecord& record) {
    messagerow::readMessageRecord(row, record);
}

bool SqliteStore::findMessage(uint64_t id, MessageRecord& record) {
    static const std::string sql = std::string(messageColumns) + " WHERE id = ?";
    qpthr::QpLock guard(m_mutex);
    Statement select(*this, sql.c_str());
    select.bind(1, static_cast<int64_t>(id));
    if (!select.step("reading a message")) return false;
    readRecord(select, record);
    return true;
}

std::vector<MessageRecord> SqliteStore::findByClientRef(const std::string& clientRef, size_t limit) {
    static const std::string sql = std::string(messageColumns) + " WHERE client_ref = ? ORDER BY id LIMIT ?";
    std::vector<MessageRecord> records;
    qpthr::QpLock guard(m_mutex);
    Statement select(*this, sql.c_str());
    select.bind(1, clientRef).bind(2, static_cast<int64_t>(limit));
    while (select.step("reading messages by their reference")) {
        records.emplace_back();
        readRecord(select, records.back());
    }
    return records;
}

bool SqliteStore::findAnswer(const std::string& scope, const std::string& key, time_t notBefore, StoredAnswer& answer) {
    qpthr::QpLock guard(m_mutex);
    Statement select(
        *this, "SELECT request_digest, status, body FROM idempotency WHERE scope = ? AND key = ? AND made_at >= ?");
    select.bind(1, scope).bind(2, key).bind(3, notBefore);
    if (!select.step("reading an idempotency key")) return false;
    answer.requestDigest = select.text(0);
    answer.status = static_cast<int>(select.integer(1));
    answer.body = select.text(2);
    return true;
}

void SqliteStore::keepAnswer(const std::vector<Sms>& messages, AnswerToKeep& answer) {
    if (answer.first > messages.size() || answer.count > messages.size() - answer.first) {
        throw StoreError("Store " + m_path + ": an idempotency answer for messages the batch does not hold");
    }
    Statement forget(*this, "DELETE FROM idempotency WHERE made_at < ?");
    forget.bind(1, answer.notBefore).run("forgetting old idempotency keys");
    answer.body = answer.makeBody(messages.data() + answer.first, answer.count);
    Statement insert(*this,
                     "INSERT OR REPLACE INTO idempotency (scope, key, request_digest, status, body, made_at)"
                     " VALUES (?, ?, ?, ?, ?, ?)");
    insert.bind(1, answer.scope)
        .bind(2, answer.key)
        .bind(3, answer.requestDigest)
        .bind(4, answer.status)
        .bind(5, answer.body)
        .bind(6, answer.at)
        .run("keeping an idempotency key");
}

std::vector<StoredWebhook> SqliteStore::dueWebhooks(time_t now, size_t limit) {
    std::vector<StoredWebhook> due;
    qpthr::QpLock guard(m_mutex);
    Statement select(*this,
                     "SELECT id, message_id, url, attempts, created_at FROM webhook"
                     " WHERE state = 0 AND next_attempt_at <= ? ORDER BY next_attempt_at, id LIMIT ?");
    select.bind(1, now).bind(2, static_cast<int64_t>(limit));
    while (select.step("reading the due delivery callbacks")) {
        StoredWebhook webhook;
        webhook.id = static_cast<uint64_t>(select.integer(0));
        webhook.messageId = static_cast<uint64_t>(select.integer(1));
        webhook.url = select.text(2);
        webhook.attempts = static_cast<int>(select.integer(3));
        webhook.createdAt = static_cast<time_t>(select.integer(4));
        due.push_back(std::move(webhook));
    }
    return due;
}

void SqliteStore::markWebhookFailed(uint64_t id, int attempts, time_t nextAttemptAt, const std::string& error) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement update(*this, "UPDATE webhook SET attempts = ?, next_attempt_at = ?, last_error = ? WHERE id = ?");
    update.bind(1, attempts).bind(2, nextAttemptAt).bind(3, error).bind(4, static_cast<int64_t>(id));
    update.run("recording a failed delivery callback");
    transaction.commit();
}

void SqliteStore::markWebhookDone(uint64_t id, bool delivered, int attempts, time_t at, const std::string& error) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Statement update(*this, "UPDATE webhook SET state = ?, attempts = ?, finished_at = ?, last_error = ? WHERE id = ?");
    update.bind(1, delivered ? 1 : 2).bind(2, attempts).bind(3, at);
    if (error.empty())
        update.bindNull(4);
    else
        update.bind(4, error);
    update.bind(5, static_cast<int64_t>(id)).run("recording a finished delivery callback");
    transaction.commit();
}
