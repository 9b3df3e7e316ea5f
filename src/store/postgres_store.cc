#include "postgres_store.h"

#include "message_record_row.h"
#include "reconnect_backoff.h"
#include "received_part_row.h"

#include <endian.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// The states of a message's row, as in the SQLite store.
enum State { Queued = 0, Submitted = 1, Acknowledged = 2, Finished = 3 };

// Taken by the transaction that creates or upgrades the schema: a daemon
// that starts meanwhile waits and then finds the schema done.
constexpr long long migrationLock = 0x6b737464;  // "kstd"
// The seed of the hash of a node name whose advisory lock the daemon of
// that name holds.
constexpr long long nodeLockSeed = 0x6e6f6465;  // "node"

// Whole seconds, rounded, for the records.
long roundSeconds(std::chrono::steady_clock::duration duration) {
    return std::lround(std::chrono::duration<double>(duration).count());
}

// Each entry brings a database from the version before it to its own
// number (the first one from an empty database to version 1).
const char* const migrations[] = {
    // 1: messages, confirmations, received messages, answers kept for
    // idempotency keys and delivery callbacks, with the states and
    // meanings of the SQLite store's columns. Queue positions come from two
    // sequences: the back counts up from 1, the front down from 0.
    "CREATE TABLE message ("
    " id BIGSERIAL PRIMARY KEY,"
    " state BIGINT NOT NULL,"
    " position BIGINT NOT NULL,"
    " node TEXT NOT NULL,"
    " accepted_at BIGINT NOT NULL,"
    " target BYTEA NOT NULL,"
    " source BYTEA NOT NULL,"
    " body BYTEA NOT NULL,"
    " remote_addr BYTEA NOT NULL,"
    " on_display BIGINT NOT NULL,"
    " mail_to BYTEA NOT NULL,"
    " client_ref BYTEA,"
    " callback_url BYTEA,"
    " part BIGINT NOT NULL DEFAULT 1,"
    " parts BIGINT NOT NULL DEFAULT 1,"
    " sender BYTEA,"
    " reference BIGINT,"
    " submissions BIGINT NOT NULL DEFAULT 0,"
    " submitted_at BIGINT,"
    " sys_msg BYTEA,"
    " acknowledged_at BIGINT,"
    " error_code BIGINT,"
    " notification_status BIGINT,"
    " notified_at BIGINT,"
    " outcome TEXT,"
    " finished_at BIGINT);"
    "CREATE SEQUENCE message_back_position START 1;"
    "CREATE SEQUENCE message_front_position INCREMENT -1 START 0 MINVALUE -9223372036854775807 MAXVALUE 0;"
    "CREATE INDEX message_queue ON message(position) WHERE state = 0;"
    "CREATE INDEX message_open ON message(state, position) WHERE state IN (1, 2);"
    "CREATE INDEX message_finished ON message(finished_at) WHERE state = 3;"
    "CREATE INDEX message_client_ref ON message(client_ref, id) WHERE client_ref IS NOT NULL;"
    "CREATE TABLE confirmation ("
    " id BIGSERIAL PRIMARY KEY,"
    " message_id BIGINT NOT NULL,"
    " state BIGINT NOT NULL,"
    " destination BYTEA NOT NULL,"
    " user_data BYTEA NOT NULL,"
    " delivery_date BYTEA NOT NULL,"
    " delivery_time BYTEA NOT NULL,"
    " email BYTEA NOT NULL,"
    " failures BIGINT NOT NULL DEFAULT 0,"
    " made_at BIGINT NOT NULL,"
    " outcome TEXT,"
    " finished_at BIGINT);"
    "CREATE INDEX confirmation_pending ON confirmation(id) WHERE state = 0;"
    "CREATE INDEX confirmation_finished ON confirmation(finished_at) WHERE state = 1;"
    "CREATE TABLE received ("
    " id BIGSERIAL PRIMARY KEY,"
    " state BIGINT NOT NULL,"
    " received_at BIGINT NOT NULL,"
    " processed_at BIGINT);"
    "CREATE TABLE received_variable ("
    " received_id BIGINT NOT NULL,"
    " ordinal BIGINT NOT NULL,"
    " name BYTEA NOT NULL,"
    " value BYTEA NOT NULL,"
    " PRIMARY KEY (received_id, ordinal));"
    "CREATE INDEX received_waiting ON received(id) WHERE state = 0;"
    "CREATE INDEX received_processed ON received(processed_at) WHERE state = 1;"
    "CREATE TABLE idempotency ("
    " scope BYTEA NOT NULL,"
    " key BYTEA NOT NULL,"
    " request_digest BYTEA NOT NULL,"
    " status BIGINT NOT NULL,"
    " body BYTEA NOT NULL,"
    " made_at BIGINT NOT NULL,"
    " PRIMARY KEY (scope, key));"
    "CREATE INDEX idempotency_made ON idempotency(made_at);"
    "CREATE TABLE webhook ("
    " id BIGSERIAL PRIMARY KEY,"
    " message_id BIGINT NOT NULL,"
    " url BYTEA NOT NULL,"
    " state BIGINT NOT NULL,"
    " attempts BIGINT NOT NULL DEFAULT 0,"
    " next_attempt_at BIGINT NOT NULL,"
    " created_at BIGINT NOT NULL,"
    " finished_at BIGINT,"
    " last_error BYTEA);"
    "CREATE INDEX webhook_due ON webhook(next_attempt_at, id) WHERE state = 0;"
    "CREATE INDEX webhook_finished ON webhook(finished_at) WHERE state != 0;"
    // One delivery callback per message that carries a callback URL, made
    // in the transaction that records its final state ("buffered" is not).
    "CREATE FUNCTION webhook_on_final_state() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN"
    " INSERT INTO webhook (message_id, url, state, next_attempt_at, created_at)"
    " VALUES (NEW.id, NEW.callback_url, 0,"
    " COALESCE(NEW.finished_at, EXTRACT(EPOCH FROM now())::BIGINT),"
    " COALESCE(NEW.finished_at, EXTRACT(EPOCH FROM now())::BIGINT));"
    " RETURN NULL;"
    " END $$;"
    "CREATE TRIGGER webhook_on_final_state AFTER UPDATE OF state ON message FOR EACH ROW"
    " WHEN (NEW.state = 3 AND OLD.state != 3 AND NEW.callback_url IS NOT NULL"
    " AND (NEW.outcome IN ('refused', 'expired')"
    " OR (NEW.outcome = 'notified' AND NEW.notification_status IS DISTINCT FROM 1)))"
    " EXECUTE FUNCTION webhook_on_final_state();",
    // 2: claims of the daemons sharing the queue, and their leases. A
    // message keeps the claim of the daemon that sends it while it is
    // queued or submitted; unclaimed queued messages are the shared queue.
    "ALTER TABLE message ADD COLUMN claimed_by TEXT;"
    "CREATE INDEX message_unclaimed ON message(position) WHERE state = 0 AND claimed_by IS NULL;"
    "CREATE INDEX message_claimed ON message(claimed_by) WHERE state IN (0, 1) AND claimed_by IS NOT NULL;"
    "CREATE TABLE daemon_lease ("
    " node TEXT PRIMARY KEY,"
    " lease_until TIMESTAMPTZ NOT NULL,"
    " renewed_at TIMESTAMPTZ NOT NULL);",
    // 3: the shared registry and the work each daemon owns. A delivery
    // notification may arrive at any daemon: the acknowledged messages are
    // found by the SMSC's key. Pending confirmations and received messages
    // belong to the daemon that made them, pending delivery callbacks to
    // the dispatcher that took them; NULL: no daemon's, for any to take.
    "CREATE INDEX message_awaiting ON message(sys_msg) WHERE state = 2;"
    "ALTER TABLE confirmation ADD COLUMN claimed_by TEXT;"
    "ALTER TABLE received ADD COLUMN claimed_by TEXT;"
    "ALTER TABLE webhook ADD COLUMN claimed_by TEXT;"
    "CREATE INDEX confirmation_owned ON confirmation(claimed_by, id) WHERE state = 0;"
    "CREATE INDEX received_owned ON received(claimed_by, id) WHERE state = 0;"
    "CREATE INDEX webhook_claimed ON webhook(claimed_by) WHERE state = 0 AND claimed_by IS NOT NULL;",
    // 4: the concatenation reference the parts of one text share (NULL for
    // a text of one part). The parts of a text do not get consecutive ids
    // when several daemons store at once.
    "ALTER TABLE message ADD COLUMN concat_ref BIGINT;",
    // 5: parts of concatenated received messages waiting for the others;
    // `variables` as received_part_row.h packs them. Each daemon joins the
    // parts it received: the node is part of the key.
    "CREATE TABLE received_part ("
    " node TEXT NOT NULL,"
    " group_key BYTEA NOT NULL,"
    " part_number BIGINT NOT NULL,"
    " received_at BIGINT NOT NULL,"
    " variables BYTEA NOT NULL,"
    " PRIMARY KEY (node, group_key, part_number));",
};
static_assert(sizeof migrations / sizeof migrations[0] == PostgresStore::schemaVersion, "one migration a version");

// libpq's messages end with a line break and may span lines: one line.
std::string oneLine(const char* text) {
    std::string line = text ? text : "";
    for (char& c : line) {
        if (c == '\n' || c == '\t') c = ' ';
    }
    line.erase(std::unique(line.begin(), line.end(), [](char a, char b) { return a == ' ' && b == ' '; }), line.end());
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line.empty() ? "unknown error" : line;
}

// What the errors call the database: its name, host and port as the
// connection string gives them (libpq's defaults otherwise), never more.
std::string describe(const std::string& connection) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(connection.c_str(), &error);
    if (options == nullptr) {
        const std::string cause = oneLine(error);
        PQfreemem(error);
        throw StoreError("Store: invalid Store/Connection: " + cause);
    }
    std::string name;
    std::string host;
    std::string port;
    for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (option->val == nullptr || *option->val == '\0') continue;
        if (strcmp(option->keyword, "dbname") == 0) name = option->val;
        if (strcmp(option->keyword, "host") == 0) host = option->val;
        if (strcmp(option->keyword, "hostaddr") == 0 && host.empty()) host = option->val;
        if (strcmp(option->keyword, "port") == 0) port = option->val;
    }
    PQconninfoFree(options);
    std::string text = "PostgreSQL database";
    if (!name.empty()) text += " " + name;
    if (!host.empty()) text += " on " + host;
    if (!port.empty()) text += (host.empty() ? " on port " : ":") + port;
    return text;
}

}  // namespace

// The rows of a statement, in binary form; freed with it.
class PostgresStore::Result {
public:
    explicit Result(PGresult* result) : m_result(result) {}
    ~Result() { PQclear(m_result); }
    Result(Result&& other) noexcept : m_result(other.m_result) { other.m_result = nullptr; }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    ExecStatusType status() const { return PQresultStatus(m_result); }
    const PGresult* get() const { return m_result; }
    int rows() const { return PQntuples(m_result); }
    long affected() const { return atol(PQcmdTuples(m_result)); }
    bool isNull(int row, int column) const { return PQgetisnull(m_result, row, column) != 0; }
    // One row, read as the mappings shared with the SQLite store read one.
    struct Row {
        const Result& rows;
        int row;
        int64_t integer(int column) const { return rows.integer(row, column); }
        std::string text(int column) const { return rows.bytes(row, column); }
        bool isNull(int column) const { return rows.isNull(row, column); }
    };
    Row at(int row) const { return Row{*this, row}; }
    // A BIGINT (or INTEGER) column; 0 for NULL.
    int64_t integer(int row, int column) const {
        if (isNull(row, column)) return 0;
        const char* value = PQgetvalue(m_result, row, column);
        switch (PQgetlength(m_result, row, column)) {
            case 8: {
                uint64_t big;
                memcpy(&big, value, 8);
                return static_cast<int64_t>(be64toh(big));
            }
            case 4: {
                uint32_t word;
                memcpy(&word, value, 4);
                return static_cast<int32_t>(be32toh(word));
            }
            default: return 0;
        }
    }
    // A BYTEA or TEXT column as its bytes; empty for NULL.
    std::string bytes(int row, int column) const {
        if (isNull(row, column)) return std::string();
        return std::string(PQgetvalue(m_result, row, column), static_cast<size_t>(PQgetlength(m_result, row, column)));
    }

private:
    PGresult* m_result;
};

// A prepared statement (prepared on the connection at its first use) and
// its parameters in order: numbers as text, byte strings as bytes. Made
// only under the store's lock and gone before it is released.
class PostgresStore::Query {
public:
    Query(PostgresStore& store, const char* sql) REQUIRES(store.m_mutex) : m_store(store), m_sql(sql) {}

    Query& bind(int64_t value) {
        m_values.push_back(std::to_string(value));
        m_formats.push_back(0);
        m_null.push_back(false);
        return *this;
    }
    Query& bind(const std::string& value) {
        m_values.push_back(value);
        m_formats.push_back(1);
        m_null.push_back(false);
        return *this;
    }
    Query& bindNull() {
        m_values.emplace_back();
        m_formats.push_back(0);
        m_null.push_back(true);
        return *this;
    }
    // Runs it; throws StoreError saying what it was `doing` on an error.
    Result run(const char* doing) NO_THREAD_SAFETY_ANALYSIS {
        const std::string& name = m_store.prepared(m_sql);
        std::vector<const char*> values;
        std::vector<int> lengths;
        for (size_t i = 0; i < m_values.size(); ++i) {
            values.push_back(m_null[i] ? nullptr : m_values[i].data());
            lengths.push_back(static_cast<int>(m_values[i].size()));
        }
        Result result(PQexecPrepared(m_store.m_db, name.c_str(), static_cast<int>(values.size()), values.data(),
                                     lengths.data(), m_formats.data(), 1));
        const ExecStatusType status = result.status();
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) m_store.fail(doing, result.get());
        return result;
    }

private:
    PostgresStore& m_store;
    const char* m_sql;
    std::vector<std::string> m_values;
    std::vector<int> m_formats;
    std::vector<bool> m_null;
};

// BEGIN ... COMMIT, rolled back unless committed. Under the store's lock,
// like Query.
class PostgresStore::Transaction {
public:
    explicit Transaction(PostgresStore& store) REQUIRES(store.m_mutex) : m_store(store) {
        store.ensureConnected();
        store.execute("BEGIN", "beginning a transaction");
    }
    ~Transaction() NO_THREAD_SAFETY_ANALYSIS {
        if (m_committed || PQstatus(m_store.m_db) != CONNECTION_OK) return;
        PQclear(PQexec(m_store.m_db, "ROLLBACK"));
    }
    void commit() NO_THREAD_SAFETY_ANALYSIS {
        m_store.execute("COMMIT", "committing");
        m_committed = true;
    }

private:
    PostgresStore& m_store;
    bool m_committed = false;
};

PostgresStore::PostgresStore(const std::string& connection, const std::string& node, int leaseSeconds)
    : m_connection(connection), m_node(node), m_description(describe(connection)), m_leaseSeconds(leaseSeconds) {
    qpthr::QpLock guard(m_mutex);
    try {
        ensureConnected();
        migrate();
    } catch (...) {
        // No destructor runs for a store that was never made.
        if (m_db != nullptr) PQfinish(m_db);
        m_db = nullptr;
        throw;
    }
}

PostgresStore::~PostgresStore() {
    qpthr::QpLock guard(m_mutex);
    if (m_db != nullptr) PQfinish(m_db);
}

void PostgresStore::fail(const std::string& doing, const pg_result* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    // Class 08: connection exceptions; 57P: the server shuts down or restarts.
    const bool lost = state == nullptr || strncmp(state, "08", 2) == 0 || strncmp(state, "57P", 3) == 0;
    const std::string cause = oneLine(PQerrorMessage(m_db));
    if (lost) {
        m_reconnect = true;
        noteLost(cause);
    }
    throw StoreError("Store " + m_description + ": " + doing + ": " + cause, lost);
}

void PostgresStore::noteLost(const std::string& cause) {
    if (!m_everConnected || m_away) return;
    m_away = true;
    m_awaySince = std::chrono::steady_clock::now();
    m_awayCause = cause;
    m_failedAttempts = 0;
    m_nextAttempt = m_awaySince;
    m_events.push_back({'e', "ERROR: Store " + m_description + ": connection lost: " + cause +
                                 "; submissions are refused and results kept in memory until it is back; "
                                 "connecting again after 0.5, 1, 2 ... s, at most every " +
                                 std::to_string(roundSeconds(ReconnectBackoff::bound)) + " s"});
}

void PostgresStore::ensureConnected() {
    // A connection the server closed (a restart, an administrator) shows
    // when what waits on it is read: its last words, then its end (a second
    // read). Found here, before the operation begins, it is made again
    // instead of failing the operation.
    if (!m_reconnect && m_db != nullptr && PQstatus(m_db) == CONNECTION_OK && PQconsumeInput(m_db) != 0 &&
        PQconsumeInput(m_db) != 0 && PQstatus(m_db) == CONNECTION_OK) {
        return;
    }
    if (!m_reconnect && m_db != nullptr) noteLost(oneLine(PQerrorMessage(m_db)));
    m_reconnect = true;
    const auto now = std::chrono::steady_clock::now();
    if (m_away && now < m_nextAttempt) {
        throw StoreError("Store " + m_description + ": cannot connect: " + m_awayCause + " (away for " +
                             std::to_string(roundSeconds(now - m_awaySince)) + " s, next attempt in " +
                             std::to_string(roundSeconds(m_nextAttempt - now)) + " s)",
                         true);
    }
    m_statements.clear();
    try {
        if (m_db != nullptr) {
            PQreset(m_db);
        } else {
            // The connection string may set any of these: it comes last.
            const char* const keywords[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
            const char* const values[] = {"10", "kstd", m_connection.c_str(), nullptr};
            m_db = PQconnectdbParams(keywords, values, 1);
            if (m_db == nullptr) throw StoreError("Store " + m_description + ": cannot connect: out of memory");
        }
        if (PQstatus(m_db) != CONNECTION_OK) {
            throw StoreError("Store " + m_description + ": cannot connect: " + oneLine(PQerrorMessage(m_db)),
                             m_everConnected);
        }
        // Notices (an index that exists already) are not the daemon's output.
        PQsetNoticeProcessor(
            m_db, [](void*, const char*) {}, nullptr);
        lockNode();
    } catch (const StoreError& e) {
        if (m_everConnected) {
            const std::string prefix = "Store " + m_description + ": cannot connect: ";
            const std::string what = e.what();
            m_awayCause = what.compare(0, prefix.size(), prefix) == 0 ? what.substr(prefix.size()) : what;
            m_nextAttempt = std::chrono::steady_clock::now() + ReconnectBackoff::pauseAfter(m_failedAttempts++);
            // A failure of the lock's statement may have marked the
            // connection for a reconnection already.
            m_reconnect = true;
            throw StoreError(what, true);
        }
        throw;
    }
    m_reconnect = false;
    m_everConnected = true;
    if (m_away) {
        m_away = false;
        m_events.push_back({'i', "Store " + m_description + ": connected again after " +
                                     std::to_string(roundSeconds(std::chrono::steady_clock::now() - m_awaySince)) +
                                     " s away (" + std::to_string(m_failedAttempts + 1) + " attempts)"});
    }
}

void PostgresStore::lockNode() {
    const bool locked = Query(*this, "SELECT pg_try_advisory_lock(hashtextextended($1, $2))::INTEGER")
                            .bind(m_node)
                            .bind(nodeLockSeed)
                            .run("locking the node name")
                            .integer(0, 0) != 0;
    if (!locked) {
        throw StoreError("Store " + m_description + ": cannot connect: node " + m_node +
                         " is in use by another running daemon (each daemon needs a Store/Node of its own)");
    }
}

std::vector<StoreEvent> PostgresStore::takeEvents() {
    qpthr::QpLock guard(m_mutex);
    std::vector<StoreEvent> events;
    events.swap(m_events);
    return events;
}

std::vector<DaemonLease> PostgresStore::liveDaemons() {
    std::vector<DaemonLease> daemons;
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    Result rows = Query(*this,
                        "SELECT node, EXTRACT(EPOCH FROM renewed_at)::BIGINT, EXTRACT(EPOCH FROM lease_until)::BIGINT"
                        " FROM daemon_lease WHERE lease_until >= clock_timestamp() ORDER BY node")
                      .run("reading the leases");
    for (int row = 0; row < rows.rows(); ++row) {
        DaemonLease daemon;
        daemon.node = rows.bytes(row, 0);
        daemon.renewedAt = static_cast<time_t>(rows.integer(row, 1));
        daemon.leaseUntil = static_cast<time_t>(rows.integer(row, 2));
        daemons.push_back(std::move(daemon));
    }
    return daemons;
}

const std::string& PostgresStore::prepared(const char* sql) {
    auto found = m_statements.find(sql);
    if (found != m_statements.end()) return found->second;
    const std::string name = "kst" + std::to_string(m_statements.size());
    Result result(PQprepare(m_db, name.c_str(), sql, 0, nullptr));
    if (result.status() != PGRES_COMMAND_OK) fail("preparing a statement", result.get());
    return m_statements.emplace(sql, name).first->second;
}

void PostgresStore::execute(const char* sql, const char* doing) {
    Result result(PQexec(m_db, sql));
    if (result.status() != PGRES_COMMAND_OK && result.status() != PGRES_TUPLES_OK) fail(doing, result.get());
}

void PostgresStore::migrate() {
    Transaction transaction(*this);
    Query(*this, "SELECT pg_advisory_xact_lock($1)").bind(migrationLock).run("locking the schema");
    execute("CREATE TABLE IF NOT EXISTS schema_version (version BIGINT NOT NULL)", "reading the schema");
    Result stored = Query(*this, "SELECT COALESCE(MAX(version), 0) FROM schema_version").run("reading the schema");
    int version = static_cast<int>(stored.integer(0, 0));
    if (version > schemaVersion) {
        throw StoreError("Store " + m_description + ": schema version " + std::to_string(version) +
                         " is newer than this program's " + std::to_string(schemaVersion));
    }
    for (; version < schemaVersion; ++version) {
        execute(migrations[version], "creating the schema");
        Query(*this, "INSERT INTO schema_version (version) VALUES ($1)")
            .bind(version + 1)
            .run("recording the schema version");
    }
    transaction.commit();
}

int64_t PostgresStore::enqueue(std::vector<Sms>& messages, const std::vector<AnswerToKeep*>& answers) {
    qpthr::QpLock guard(m_mutex);
    if (messages.empty() && answers.empty()) {
        ensureConnected();
        Result back =
            Query(*this, "SELECT COALESCE(MAX(position), 0) FROM message WHERE state = 0").run("reading the queue");
        return back.integer(0, 0);
    }
    const time_t now = time(nullptr);
    int64_t position = 0;
    try {
        Transaction transaction(*this);
        for (Sms& sms : messages) {
            const Sms::Tracking& tracking = sms.tracking();
            Query insert(*this,
                         "INSERT INTO message (state, position, node, accepted_at, target, source, body, remote_addr,"
                         " on_display, mail_to, client_ref, callback_url, part, parts, concat_ref)"
                         " VALUES (0, nextval('message_back_position'), $1, $2, $3, $4, $5, $6, $7, $8, $9, $10,"
                         " $11, $12, $13) RETURNING id, position");
            insert.bind(m_node)
                .bind(now)
                .bind(std::string(sms.target()))
                .bind(std::string(sms.source()))
                .bind(std::string(sms.message()))
                .bind(std::string(sms.remoteAddr()))
                .bind(sms.onDisplay() ? 1 : 0)
                .bind(std::string(sms.mailTo()));
            // NULL without them (the index skips those rows).
            if (tracking.clientRef.empty())
                insert.bindNull();
            else
                insert.bind(tracking.clientRef);
            if (tracking.callbackUrl.empty())
                insert.bindNull();
            else
                insert.bind(tracking.callbackUrl);
            insert.bind(tracking.part).bind(tracking.parts);
            if (tracking.parts > 1)
                insert.bind(tracking.reference);
            else
                insert.bindNull();
            Result row = insert.run("storing a message");
            sms.setId(static_cast<uint64_t>(row.integer(0, 0)));
            position = row.integer(0, 1);
        }
        for (AnswerToKeep* answer : answers) keepAnswer(messages, *answer);
        transaction.commit();
    } catch (...) {
        for (Sms& sms : messages) sms.setId(0);
        for (AnswerToKeep* answer : answers) answer->body.clear();
        throw;
    }
    return position;
}

std::vector<Sms> PostgresStore::nextQueued(int64_t& position, size_t limit) {
    std::vector<Sms> messages;
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    Result rows = Query(*this, "SELECT " KST_QUEUED_MESSAGE_COLUMNS
                               " FROM message WHERE state = 0 AND position > $1"
                               " ORDER BY position LIMIT $2")
                      .bind(position)
                      .bind(static_cast<int64_t>(limit))
                      .run("reading the queue");
    readQueued(rows, messages);
    if (rows.rows() > 0) position = rows.integer(rows.rows() - 1, 7);
    return messages;
}

void PostgresStore::readQueued(const Result& rows, std::vector<Sms>& messages) {
    for (int row = 0; row < rows.rows(); ++row) messages.push_back(messagerow::readQueuedMessage(rows.at(row)));
}

long PostgresStore::queuedCount() {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    return static_cast<long>(
        Query(*this, "SELECT COUNT(*) FROM message WHERE state = 0").run("counting the queue").integer(0, 0));
}

int64_t PostgresStore::requeue(uint64_t id, bool atFront) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    // At the front it stays this daemon's: the queue puts it at the front of
    // its window. At the back it goes to the shared queue, to be claimed
    // again in its turn.
    Query update(*this, atFront ? "UPDATE message SET state = 0, position = nextval('message_front_position'),"
                                  " claimed_by = $2 WHERE id = $1 RETURNING position"
                                : "UPDATE message SET state = 0, position = nextval('message_back_position'),"
                                  " claimed_by = NULL WHERE id = $1 RETURNING position");
    update.bind(static_cast<int64_t>(id));
    if (atFront) update.bind(m_node);
    Result row = update.run("putting a message back into the queue");
    return row.rows() > 0 ? row.integer(0, 0) : 0;
}

void PostgresStore::markSubmitted(uint64_t id, const std::string& sender, int reference, int submissions, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    // Its commit need not reach the disk before the call returns: lost with
    // a crash of the database server, the message is sent again (see
    // Store). The next commit that waits for the disk takes it along.
    execute("SET LOCAL synchronous_commit TO off", "recording a submission");
    Query(*this,
          "UPDATE message SET state = 1, sender = $1, reference = $2, submissions = $3, submitted_at = $4"
          " WHERE id = $5")
        .bind(sender)
        .bind(reference)
        .bind(submissions)
        .bind(at)
        .bind(static_cast<int64_t>(id))
        .run("recording a submission");
    transaction.commit();
}

void PostgresStore::markAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    updateAcknowledged(id, sysMsg, awaitsNotification, at);
}

void PostgresStore::updateAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at) {
    Query update(*this,
                 "UPDATE message SET state = $1, sys_msg = $2, acknowledged_at = $3, outcome = 'acknowledged',"
                 " finished_at = $4 WHERE id = $5");
    update.bind(awaitsNotification ? Acknowledged : Finished).bind(sysMsg).bind(at);
    if (awaitsNotification)
        update.bindNull();
    else
        update.bind(at);
    update.bind(static_cast<int64_t>(id)).run("recording an acknowledgement");
}

void PostgresStore::markRefused(uint64_t id, int errorCode, bool final, time_t at) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    updateRefused(id, errorCode, final, at);
}

void PostgresStore::updateRefused(uint64_t id, int errorCode, bool final, time_t at) {
    if (!final) {
        Query(*this, "UPDATE message SET error_code = $1 WHERE id = $2")
            .bind(errorCode)
            .bind(static_cast<int64_t>(id))
            .run("recording a refusal");
        return;
    }
    Query(*this, "UPDATE message SET state = 3, error_code = $1, outcome = 'refused', finished_at = $2 WHERE id = $3")
        .bind(errorCode)
        .bind(at)
        .bind(static_cast<int64_t>(id))
        .run("recording a refusal");
}

void PostgresStore::recordResults(const std::vector<SmscResult>& results) {
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

namespace {

// Only a message still open: another daemon may have settled it.
const char* const notifiedUpdate =
    "UPDATE message SET state = 3, notification_status = $1, notified_at = $2, outcome = 'notified',"
    " finished_at = $2 WHERE id = $3 AND state IN (1, 2)";

}  // namespace

bool PostgresStore::markNotified(uint64_t id, int status, time_t at) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    return Query(*this, notifiedUpdate)
               .bind(status)
               .bind(at)
               .bind(static_cast<int64_t>(id))
               .run("recording a delivery notification")
               .affected() > 0;
}

bool PostgresStore::markExpired(uint64_t id, time_t at) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    // Not over a notification that another daemon recorded.
    return Query(*this,
                 "UPDATE message SET state = 3, outcome = 'expired', finished_at = $1 WHERE id = $2"
                 " AND state IN (1, 2)")
               .bind(at)
               .bind(static_cast<int64_t>(id))
               .run("recording an expired notification")
               .affected() > 0;
}

long PostgresStore::requeueUnacknowledged() {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    // The claims of this daemon's former run, and submissions of no daemon
    // (made before claims were kept).
    const long requeued = returnClaims(m_node);
    Result rows = Query(*this,
                        "WITH numbered AS MATERIALIZED (SELECT id, nextval('message_front_position') AS front FROM"
                        " (SELECT id FROM message WHERE state = 1 AND claimed_by IS NULL ORDER BY position DESC)"
                        " AS open)"
                        " UPDATE message SET state = 0, position = numbered.front FROM numbered"
                        " WHERE message.id = numbered.id RETURNING message.id")
                      .run("putting the submitted messages back into the queue");
    extendLease();
    transaction.commit();
    m_leaseHeld = true;
    return requeued + static_cast<long>(rows.rows());
}

long PostgresStore::returnClaims(const std::string& node) {
    // The front sequence counts down: the last of them in queue order takes
    // the first number, so that they keep their order before every queued
    // message.
    Result rows = Query(*this,
                        "WITH numbered AS MATERIALIZED (SELECT id, nextval('message_front_position') AS front FROM"
                        " (SELECT id FROM message WHERE state = 1 AND claimed_by = $1 ORDER BY position DESC)"
                        " AS open)"
                        " UPDATE message SET state = 0, position = numbered.front, claimed_by = NULL FROM numbered"
                        " WHERE message.id = numbered.id RETURNING message.id")
                      .bind(node)
                      .run("putting the submitted messages back into the queue");
    Query(*this, "UPDATE message SET claimed_by = NULL WHERE state = 0 AND claimed_by = $1")
        .bind(node)
        .run("returning claimed messages to the queue");
    // Its pending work, for a live daemon to take over (takeOverWork(),
    // dueWebhooks()).
    Query(*this, "UPDATE confirmation SET claimed_by = NULL WHERE state = 0 AND claimed_by = $1")
        .bind(node)
        .run("returning pending confirmations");
    Query(*this, "UPDATE received SET claimed_by = NULL WHERE state = 0 AND claimed_by = $1")
        .bind(node)
        .run("returning received messages");
    Query(*this, "UPDATE webhook SET claimed_by = NULL WHERE state = 0 AND claimed_by = $1")
        .bind(node)
        .run("returning delivery callbacks");
    return static_cast<long>(rows.rows());
}

bool PostgresStore::extendLease() {
    const long renewed =
        Query(*this,
              "UPDATE daemon_lease SET lease_until = clock_timestamp() + $2::float8 * interval '1 second',"
              " renewed_at = clock_timestamp() WHERE node = $1")
            .bind(m_node)
            .bind(m_leaseSeconds)
            .run("renewing the lease")
            .affected();
    if (renewed > 0) return true;
    Query(*this,
          "INSERT INTO daemon_lease (node, lease_until, renewed_at)"
          " VALUES ($1, clock_timestamp() + $2::float8 * interval '1 second', clock_timestamp())"
          " ON CONFLICT (node) DO UPDATE SET lease_until = EXCLUDED.lease_until, renewed_at = EXCLUDED.renewed_at")
        .bind(m_node)
        .bind(m_leaseSeconds)
        .run("taking a lease");
    return false;
}

bool PostgresStore::renewLease() {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    // A renewal lost with a crash of the database server costs nothing the
    // next one does not make good.
    execute("SET LOCAL synchronous_commit TO off", "renewing the lease");
    const bool held = extendLease() || !m_leaseHeld;
    // Several daemons may find the same expired lease: the first deletes
    // it and returns its claims, the others wait for its row and find it
    // gone.
    // A lease runs out on the server's clock, which goes on while the
    // server is down: a lease last renewed before the server's start has a
    // lease's length after the start, and the longest pause between its
    // daemon's attempts to connect, to be renewed before its claims are
    // taken.
    Result expired =
        Query(*this,
              "DELETE FROM daemon_lease WHERE lease_until < clock_timestamp() AND"
              " (renewed_at >= pg_postmaster_start_time() OR pg_postmaster_start_time() + (lease_until - renewed_at)"
              " + $1::float8 * interval '1 second' < clock_timestamp()) RETURNING node")
            .bind(static_cast<int64_t>(
                std::chrono::duration_cast<std::chrono::seconds>(ReconnectBackoff::bound).count() + 1))
            .run("ending expired leases");
    for (int row = 0; row < expired.rows(); ++row) returnClaims(expired.bytes(row, 0));
    transaction.commit();
    m_leaseHeld = true;
    return held;
}

void PostgresStore::releaseClaims() {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    returnClaims(m_node);
    Query(*this, "DELETE FROM daemon_lease WHERE node = $1").bind(m_node).run("ending the lease");
    transaction.commit();
    m_leaseHeld = false;
}

std::vector<Sms> PostgresStore::claimQueued(size_t limit, bool frontOnly) {
    std::vector<Sms> messages;
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    // Claims are made only under a lease: a daemon that returns this one's
    // claims waits for this transaction and returns these too. A lease that
    // was taken away is not taken again here but by renewLease(), which
    // reports its loss.
    if (!m_leaseHeld) {
        extendLease();
    } else if (Query(*this, "SELECT 1 FROM daemon_lease WHERE node = $1 FOR SHARE")
                   .bind(m_node)
                   .run("reading the lease")
                   .rows() == 0) {
        transaction.commit();
        return messages;
    }
    Result rows = Query(*this,
                        "WITH claimed AS (UPDATE message SET claimed_by = $1 WHERE id IN"
                        " (SELECT id FROM message WHERE state = 0 AND claimed_by IS NULL AND position <= $3"
                        " ORDER BY position LIMIT $2 FOR UPDATE SKIP LOCKED)"
                        " RETURNING " KST_QUEUED_MESSAGE_COLUMNS
                        ")"
                        " SELECT * FROM claimed ORDER BY position")
                      .bind(m_node)
                      .bind(static_cast<int64_t>(limit))
                      // Front positions count down from 0.
                      .bind(frontOnly ? int64_t{0} : INT64_MAX)
                      .run("claiming queued messages");
    transaction.commit();
    m_leaseHeld = true;
    readQueued(rows, messages);
    return messages;
}

long PostgresStore::unclaimedCount() {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    return static_cast<long>(Query(*this, "SELECT COUNT(*) FROM message WHERE state = 0 AND claimed_by IS NULL")
                                 .run("counting the queue")
                                 .integer(0, 0));
}

std::vector<SubmittedMessage> PostgresStore::awaitingNotification() {
    std::vector<SubmittedMessage> messages;
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    Result rows = Query(*this,
                        "SELECT id, target, source, body, remote_addr, on_display, mail_to, sender, reference,"
                        " submissions, submitted_at, sys_msg FROM message WHERE state = 2"
                        " ORDER BY submitted_at, id")
                      .run("reading the acknowledged messages");
    for (int row = 0; row < rows.rows(); ++row) {
        SubmittedMessage message;
        message.sms = Sms(rows.bytes(row, 1), rows.bytes(row, 2), rows.bytes(row, 3), rows.bytes(row, 4),
                          rows.integer(row, 5) != 0, rows.bytes(row, 6));
        message.sms.setId(static_cast<uint64_t>(rows.integer(row, 0)));
        message.sender = rows.bytes(row, 7);
        message.reference = static_cast<int>(rows.integer(row, 8));
        message.submissions = static_cast<int>(rows.integer(row, 9));
        message.submittedAt = static_cast<time_t>(rows.integer(row, 10));
        message.sysMsg = rows.bytes(row, 11);
        messages.push_back(std::move(message));
    }
    return messages;
}

long PostgresStore::sweepFinished(time_t before) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    const long deleted = Query(*this, "DELETE FROM message WHERE state = 3 AND finished_at < $1")
                             .bind(before)
                             .run("deleting finished messages")
                             .affected();
    Query(*this, "DELETE FROM confirmation WHERE state = 1 AND finished_at < $1")
        .bind(before)
        .run("deleting finished confirmations");
    Query(*this,
          "DELETE FROM received_variable WHERE received_id IN"
          " (SELECT id FROM received WHERE state = 1 AND processed_at < $1)")
        .bind(before)
        .run("deleting processed received messages");
    Query(*this, "DELETE FROM received WHERE state = 1 AND processed_at < $1")
        .bind(before)
        .run("deleting processed received messages");
    Query(*this, "DELETE FROM webhook WHERE state != 0 AND finished_at < $1")
        .bind(before)
        .run("deleting finished delivery callbacks");
    transaction.commit();
    return deleted;
}

bool PostgresStore::markNotifiedAndConfirm(uint64_t id, int status, time_t at, StoredConfirmation& confirmation) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    const bool settled = Query(*this, notifiedUpdate)
                             .bind(status)
                             .bind(at)
                             .bind(static_cast<int64_t>(id))
                             .run("recording a delivery notification")
                             .affected() > 0;
    const uint64_t confirmationId = settled ? insertConfirmation(id, at, confirmation) : 0;
    transaction.commit();
    if (!settled) return false;
    confirmation.id = confirmationId;
    confirmation.messageId = id;
    return true;
}

uint64_t PostgresStore::insertConfirmation(uint64_t messageId, time_t at, const StoredConfirmation& confirmation) {
    // The daemon that makes it mails it.
    Result row = Query(*this,
                       "INSERT INTO confirmation (message_id, state, destination, user_data, delivery_date,"
                       " delivery_time, email, failures, made_at, claimed_by)"
                       " VALUES ($1, 0, $2, $3, $4, $5, $6, $7, $8, $9) RETURNING id")
                     .bind(static_cast<int64_t>(messageId))
                     .bind(confirmation.destination)
                     .bind(confirmation.userData)
                     .bind(confirmation.date)
                     .bind(confirmation.time)
                     .bind(confirmation.email)
                     .bind(confirmation.failures)
                     .bind(at)
                     .bind(m_node)
                     .run("storing a confirmation");
    return static_cast<uint64_t>(row.integer(0, 0));
}

bool PostgresStore::settleSharedNotification(const std::string& sender, const std::vector<std::string>& sysMsgs,
                                             int status, time_t at,
                                             const std::function<bool(const Sms&, StoredConfirmation&)>& confirm,
                                             Sms& message, StoredConfirmation& confirmation) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    for (const std::string& sysMsg : sysMsgs) {
        if (sysMsg.empty()) continue;
        // Locked: a daemon settling the same message at once waits for this
        // transaction and then finds it settled (no longer state 2).
        Result rows = Query(*this, "SELECT " KST_QUEUED_MESSAGE_COLUMNS
                                   " FROM message WHERE state = 2 AND sys_msg = $1"
                                   " AND sender = $2 ORDER BY submitted_at, id LIMIT 1 FOR UPDATE")
                          .bind(sysMsg)
                          .bind(sender)
                          .run("looking up a delivery notification");
        if (rows.rows() == 0) continue;
        const Sms found = messagerow::readQueuedMessage(rows.at(0));
        const uint64_t id = found.id();
        Query(*this, notifiedUpdate)
            .bind(status)
            .bind(at)
            .bind(static_cast<int64_t>(id))
            .run("recording a delivery notification");
        StoredConfirmation made;
        if (confirm(found, made)) {
            made.id = insertConfirmation(id, at, made);
            made.messageId = id;
        }
        transaction.commit();
        message = found;
        confirmation = made;
        return true;
    }
    transaction.commit();
    return false;
}

namespace {

// Takes the pending confirmations of the owners WHO for this daemon ($1), in
// the order they were made; rows another daemon is taking are skipped.
#define KST_TAKE_CONFIRMATIONS(WHO)                                                                     \
    "WITH taken AS (UPDATE confirmation SET claimed_by = $1 WHERE id IN"                                \
    " (SELECT id FROM confirmation WHERE state = 0 AND (" WHO                                           \
    ") FOR UPDATE SKIP LOCKED)"                                                                         \
    " RETURNING id, message_id, destination, user_data, delivery_date, delivery_time, email, failures)" \
    " SELECT * FROM taken ORDER BY id"
// The same for the received messages, with their variables in order.
#define KST_TAKE_RECEIVED(WHO)                                                                       \
    "WITH taken AS (UPDATE received SET claimed_by = $1 WHERE id IN"                                 \
    " (SELECT id FROM received WHERE state = 0 AND (" WHO                                            \
    ") FOR UPDATE SKIP LOCKED) RETURNING id)"                                                        \
    " SELECT taken.id, name, value FROM taken LEFT JOIN received_variable ON received_id = taken.id" \
    " ORDER BY taken.id, ordinal"

// No live daemon's: returned (NULL), or of a daemon that holds no lease (one
// that lost it and died before it took a new one).
#define KST_UNOWNED "claimed_by IS NULL OR NOT EXISTS (SELECT 1 FROM daemon_lease WHERE node = claimed_by)"

const char* const ownConfirmations = KST_TAKE_CONFIRMATIONS("claimed_by = $1 OR " KST_UNOWNED);
const char* const unownedConfirmations = KST_TAKE_CONFIRMATIONS(KST_UNOWNED);
const char* const ownReceived = KST_TAKE_RECEIVED("claimed_by = $1 OR " KST_UNOWNED);
const char* const unownedReceived = KST_TAKE_RECEIVED(KST_UNOWNED);

#undef KST_UNOWNED
#undef KST_TAKE_RECEIVED
#undef KST_TAKE_CONFIRMATIONS

}  // namespace

void PostgresStore::markConfirmationFailed(uint64_t id, int failures) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    Query(*this, "UPDATE confirmation SET failures = $1 WHERE id = $2")
        .bind(failures)
        .bind(static_cast<int64_t>(id))
        .run("recording a failed confirmation");
}

void PostgresStore::markConfirmationDone(uint64_t id, bool mailed, int failures, time_t at) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    Query(*this, "UPDATE confirmation SET state = 1, failures = $1, outcome = $2, finished_at = $3 WHERE id = $4")
        .bind(failures)
        .bind(std::string(mailed ? "mailed" : "given up"))
        .bind(at)
        .bind(static_cast<int64_t>(id))
        .run("recording a mailed confirmation");
}

std::vector<StoredConfirmation> PostgresStore::pendingConfirmations() {
    std::vector<StoredConfirmation> confirmations;
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    // This daemon's own and those of no daemon, which become its own.
    Result rows = Query(*this, ownConfirmations).bind(m_node).run("reading the pending confirmations");
    readConfirmations(rows, confirmations);
    return confirmations;
}

void PostgresStore::readConfirmations(const Result& rows, std::vector<StoredConfirmation>& confirmations) {
    for (int row = 0; row < rows.rows(); ++row) {
        StoredConfirmation confirmation;
        confirmation.id = static_cast<uint64_t>(rows.integer(row, 0));
        confirmation.messageId = static_cast<uint64_t>(rows.integer(row, 1));
        confirmation.destination = rows.bytes(row, 2);
        confirmation.userData = rows.bytes(row, 3);
        confirmation.date = rows.bytes(row, 4);
        confirmation.time = rows.bytes(row, 5);
        confirmation.email = rows.bytes(row, 6);
        confirmation.failures = static_cast<int>(rows.integer(row, 7));
        confirmations.push_back(std::move(confirmation));
    }
}

uint64_t PostgresStore::storeReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    const int64_t id = insertReceived(variables, at);
    transaction.commit();
    return static_cast<uint64_t>(id);
}

int64_t PostgresStore::insertReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at) {
    // The daemon that received it runs its executables.
    const int64_t id =
        Query(*this, "INSERT INTO received (state, received_at, claimed_by) VALUES (0, $1, $2) RETURNING id")
            .bind(at)
            .bind(m_node)
            .run("storing a received message")
            .integer(0, 0);
    int64_t ordinal = 0;
    for (const auto& entry : variables) {
        Query(*this, "INSERT INTO received_variable (received_id, ordinal, name, value) VALUES ($1, $2, $3, $4)")
            .bind(id)
            .bind(ordinal++)
            .bind(entry.first)
            .bind(entry.second)
            .run("storing a received message");
    }
    return id;
}

bool PostgresStore::storeReceivedPart(const StoredReceivedPart& part) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    return Query(*this,
                 "INSERT INTO received_part (node, group_key, part_number, received_at, variables)"
                 " VALUES ($1, $2, $3, $4, $5) ON CONFLICT (node, group_key, part_number) DO NOTHING")
               .bind(m_node)
               .bind(part.group)
               .bind(static_cast<int64_t>(part.number))
               .bind(static_cast<int64_t>(part.receivedAt))
               .bind(receivedpart::packVariables(part.variables))
               .run("storing a part of a received message")
               .affected() > 0;
}

std::vector<uint64_t> PostgresStore::replaceReceivedParts(
    const std::string& group, const std::vector<std::vector<std::pair<std::string, std::string>>>& messages,
    time_t at) {
    std::vector<uint64_t> ids;
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Query(*this, "DELETE FROM received_part WHERE node = $1 AND group_key = $2")
        .bind(m_node)
        .bind(group)
        .run("removing the parts of a received message");
    for (const auto& variables : messages) ids.push_back(static_cast<uint64_t>(insertReceived(variables, at)));
    transaction.commit();
    return ids;
}

std::vector<StoredReceivedPart> PostgresStore::waitingReceivedParts() {
    std::vector<StoredReceivedPart> parts;
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    Result rows = Query(*this, "SELECT " KST_RECEIVED_PART_COLUMNS
                               " FROM received_part WHERE node = $1 ORDER BY group_key, part_number")
                      .bind(m_node)
                      .run("reading the parts of received messages");
    for (int row = 0; row < rows.rows(); ++row) parts.push_back(receivedpart::readReceivedPart(rows.at(row)));
    return parts;
}

void PostgresStore::markReceivedProcessed(uint64_t id, time_t at) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    Query(*this, "UPDATE received SET state = 1, processed_at = $1 WHERE id = $2")
        .bind(at)
        .bind(static_cast<int64_t>(id))
        .run("recording a processed received message");
}

std::vector<StoredReceived> PostgresStore::unprocessedReceived() {
    std::vector<StoredReceived> waiting;
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    Result rows = Query(*this, ownReceived).bind(m_node).run("reading the received messages");
    readReceived(rows, waiting);
    return waiting;
}

void PostgresStore::takeOverWork(std::vector<StoredConfirmation>& confirmations,
                                 std::vector<StoredReceived>& received) {
    qpthr::QpLock guard(m_mutex);
    Transaction transaction(*this);
    Result taken = Query(*this, unownedConfirmations).bind(m_node).run("taking over pending confirmations");
    Result takenReceived = Query(*this, unownedReceived).bind(m_node).run("taking over received messages");
    transaction.commit();
    readConfirmations(taken, confirmations);
    readReceived(takenReceived, received);
}

void PostgresStore::readReceived(const Result& rows, std::vector<StoredReceived>& waiting) {
    for (int row = 0; row < rows.rows(); ++row) {
        const uint64_t id = static_cast<uint64_t>(rows.integer(row, 0));
        if (waiting.empty() || waiting.back().id != id) {
            waiting.emplace_back();
            waiting.back().id = id;
        }
        if (!rows.isNull(row, 1)) waiting.back().variables.emplace_back(rows.bytes(row, 1), rows.bytes(row, 2));
    }
}

void PostgresStore::readRecord(const Result& rows, int row, MessageRecord& record) {
    messagerow::readMessageRecord(rows.at(row), record);
}

bool PostgresStore::findMessage(uint64_t id, MessageRecord& record) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    Result rows = Query(*this, KST_MESSAGE_RECORD_COLUMNS " WHERE id = $1")
                      .bind(static_cast<int64_t>(id))
                      .run("reading a message");
    if (rows.rows() == 0) return false;
    readRecord(rows, 0, record);
    return true;
}

std::vector<MessageRecord> PostgresStore::findByClientRef(const std::string& clientRef, size_t limit) {
    std::vector<MessageRecord> records;
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    Result rows = Query(*this, KST_MESSAGE_RECORD_COLUMNS " WHERE client_ref = $1 ORDER BY id LIMIT $2")
                      .bind(clientRef)
                      .bind(static_cast<int64_t>(limit))
                      .run("reading messages by their reference");
    for (int row = 0; row < rows.rows(); ++row) {
        records.emplace_back();
        readRecord(rows, row, records.back());
    }
    return records;
}

bool PostgresStore::findAnswer(const std::string& scope, const std::string& key, time_t notBefore,
                               StoredAnswer& answer) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    Result rows = Query(*this,
                        "SELECT request_digest, status, body FROM idempotency"
                        " WHERE scope = $1 AND key = $2 AND made_at >= $3")
                      .bind(scope)
                      .bind(key)
                      .bind(notBefore)
                      .run("reading an idempotency key");
    if (rows.rows() == 0) return false;
    answer.requestDigest = rows.bytes(0, 0);
    answer.status = static_cast<int>(rows.integer(0, 1));
    answer.body = rows.bytes(0, 2);
    return true;
}

void PostgresStore::keepAnswer(const std::vector<Sms>& messages, AnswerToKeep& answer) {
    if (answer.first > messages.size() || answer.count > messages.size() - answer.first) {
        throw StoreError("Store " + m_description + ": an idempotency answer for messages the batch does not hold");
    }
    Query(*this, "DELETE FROM idempotency WHERE made_at < $1")
        .bind(answer.notBefore)
        .run("forgetting old idempotency keys");
    answer.body = answer.makeBody(messages.data() + answer.first, answer.count);
    Query(*this,
          "INSERT INTO idempotency (scope, key, request_digest, status, body, made_at)"
          " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (scope, key) DO UPDATE SET"
          " request_digest = EXCLUDED.request_digest, status = EXCLUDED.status, body = EXCLUDED.body,"
          " made_at = EXCLUDED.made_at")
        .bind(answer.scope)
        .bind(answer.key)
        .bind(answer.requestDigest)
        .bind(answer.status)
        .bind(answer.body)
        .bind(answer.at)
        .run("keeping an idempotency key");
}

std::vector<StoredWebhook> PostgresStore::dueWebhooks(time_t now, size_t limit) {
    std::vector<StoredWebhook> due;
    qpthr::QpLock guard(m_mutex);
    ensureConnected();
    // Taken for this daemon: another dispatcher skips them while they are
    // being taken and leaves them afterwards, until they are done or their
    // daemon's claims return (a stop, an expired lease).
    Result rows = Query(*this,
                        "WITH taken AS (UPDATE webhook SET claimed_by = $3 WHERE id IN"
                        " (SELECT id FROM webhook WHERE state = 0 AND next_attempt_at <= $1"
                        " AND (claimed_by = $3 OR claimed_by IS NULL"
                        " OR NOT EXISTS (SELECT 1 FROM daemon_lease WHERE node = claimed_by))"
                        " ORDER BY next_attempt_at, id LIMIT $2"
                        " FOR UPDATE SKIP LOCKED)"
                        " RETURNING id, message_id, url, attempts, created_at, next_attempt_at)"
                        " SELECT id, message_id, url, attempts, created_at FROM taken ORDER BY next_attempt_at, id")
                      .bind(now)
                      .bind(static_cast<int64_t>(limit))
                      .bind(m_node)
                      .run("taking the due delivery callbacks");
    for (int row = 0; row < rows.rows(); ++row) {
        StoredWebhook webhook;
        webhook.id = static_cast<uint64_t>(rows.integer(row, 0));
        webhook.messageId = static_cast<uint64_t>(rows.integer(row, 1));
        webhook.url = rows.bytes(row, 2);
        webhook.attempts = static_cast<int>(rows.integer(row, 3));
        webhook.createdAt = static_cast<time_t>(rows.integer(row, 4));
        due.push_back(std::move(webhook));
    }
    return due;
}

void PostgresStore::markWebhookFailed(uint64_t id, int attempts, time_t nextAttemptAt, const std::string& error) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    Query(*this, "UPDATE webhook SET attempts = $1, next_attempt_at = $2, last_error = $3 WHERE id = $4")
        .bind(attempts)
        .bind(nextAttemptAt)
        .bind(error)
        .bind(static_cast<int64_t>(id))
        .run("recording a failed delivery callback");
}

void PostgresStore::markWebhookDone(uint64_t id, bool delivered, int attempts, time_t at, const std::string& error) {
    qpthr::QpLock guard(m_mutex);
    ensureConnected();  // one statement: a transaction of its own
    Query update(*this,
                 "UPDATE webhook SET state = $1, attempts = $2, finished_at = $3, last_error = $4 WHERE id = $5");
    update.bind(delivered ? 1 : 2).bind(attempts).bind(at);
    if (error.empty())
        update.bindNull();
    else
        update.bind(error);
    update.bind(static_cast<int64_t>(id)).run("recording a finished delivery callback");
}
