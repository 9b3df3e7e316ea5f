// The stores (SQLite, and PostgreSQL on a server of the test's own) and
// the send queue kept in them.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core_support.h"
#include "deferred_records.h"
#include "postgres_server.h"
#include "postgres_store.h"
#include "reconnect_backoff.h"
#include "sqlite_store.h"
#include "stored_queue.h"

using namespace coretest;
using testsupport::PostgresServer;

namespace {

// A store with a hand on enqueue(): a call can be held until the
// test lets it go, or made to fail; every call and the number of messages it
// was given are counted.
class GatedStore : public Store {
public:
    explicit GatedStore(std::unique_ptr<Store> store) : m_store(std::move(store)) {}

    using Store::enqueue;
    int64_t enqueue(std::vector<Sms>& messages, const std::vector<AnswerToKeep*>& answers) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        const int call = static_cast<int>(m_sizes.size()) + 1;
        m_sizes.push_back(messages.size());
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return call != m_heldCall; });
        if (call == m_failingCall) throw StoreError("Store test: database or disk is full");
        lock.unlock();
        return m_store->enqueue(messages, answers);
    }
    // Call number `call` (from 1) of enqueue() waits for release().
    void hold(int call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_heldCall = call;
    }
    void release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_heldCall = 0;
        m_changed.notify_all();
    }
    void fail(int call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failingCall = call;
    }
    // Waits (at most 60 s) until enqueue() was called `calls` times.
    bool waitForCalls(int calls) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60),
                                  [&] { return static_cast<int>(m_sizes.size()) >= calls; });
    }
    // The number of messages of each call so far.
    std::vector<size_t> sizes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sizes;
    }

    std::vector<Sms> nextQueued(int64_t& position, size_t limit) override {
        return m_store->nextQueued(position, limit);
    }
    long queuedCount() override { return m_store->queuedCount(); }
    int64_t requeue(uint64_t id, bool atFront) override { return m_store->requeue(id, atFront); }
    void markSubmitted(uint64_t id, const std::string& sender, int reference, int submissions, time_t at) override {
        m_store->markSubmitted(id, sender, reference, submissions, at);
    }
    void markAcknowledged(uint64_t id, const std::string& sysMsg, bool awaitsNotification, time_t at) override {
        m_store->markAcknowledged(id, sysMsg, awaitsNotification, at);
    }
    void markRefused(uint64_t id, int errorCode, bool final, time_t at) override {
        m_store->markRefused(id, errorCode, final, at);
    }
    void recordResults(const std::vector<SmscResult>& results) override { m_store->recordResults(results); }
    bool markNotified(uint64_t id, int status, time_t at) override { return m_store->markNotified(id, status, at); }
    bool markExpired(uint64_t id, time_t at) override { return m_store->markExpired(id, at); }
    long requeueUnacknowledged() override { return m_store->requeueUnacknowledged(); }
    std::vector<SubmittedMessage> awaitingNotification() override { return m_store->awaitingNotification(); }
    long sweepFinished(time_t before) override { return m_store->sweepFinished(before); }
    bool markNotifiedAndConfirm(uint64_t id, int status, time_t at, StoredConfirmation& confirmation) override {
        return m_store->markNotifiedAndConfirm(id, status, at, confirmation);
    }
    void markConfirmationFailed(uint64_t id, int failures) override { m_store->markConfirmationFailed(id, failures); }
    void markConfirmationDone(uint64_t id, bool mailed, int failures, time_t at) override {
        m_store->markConfirmationDone(id, mailed, failures, at);
    }
    std::vector<StoredConfirmation> pendingConfirmations() override { return m_store->pendingConfirmations(); }
    uint64_t storeReceived(const std::vector<std::pair<std::string, std::string>>& variables, time_t at) override {
        return m_store->storeReceived(variables, at);
    }
    void markReceivedProcessed(uint64_t id, time_t at) override { m_store->markReceivedProcessed(id, at); }
    std::vector<StoredReceived> unprocessedReceived() override { return m_store->unprocessedReceived(); }
    bool findAnswer(const std::string& scope, const std::string& key, time_t notBefore, StoredAnswer& answer) override {
        return m_store->findAnswer(scope, key, notBefore, answer);
    }

private:
    std::unique_ptr<Store> m_store;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<size_t> m_sizes;
    int m_heldCall = 0;
    int m_failingCall = 0;
};

// The cases run on each store; `kind()` says which. The PostgreSQL store's
// server is the test's own, started before and stopped after each case.
class StoreFixture : public ::testing::Test {
protected:
    virtual std::string kind() const = 0;
    bool postgres() const { return kind() == "postgresql"; }

    void SetUp() override {
        if (!postgres()) return;
        try {
            m_server = std::make_unique<PostgresServer>(m_scratch.file("postgresql"));
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
    }

    std::string path() const { return m_scratch.file("kstd.db"); }

    // The store of this case, opened again on the same file or database.
    std::unique_ptr<Store> open(bool fullSync = false) {
        if (postgres()) return std::make_unique<PostgresStore>(m_server->connection(), "node-1");
        return std::make_unique<SqliteStore>(path(), fullSync);
    }

    // Runs a query that yields one text on the database with a connection
    // of the test's own, and compares that text.
    void expectSql(const std::string& sqliteSql, const std::string& postgresSql, const std::string& expected) {
        if (!postgres()) {
            rawSqlExpect(sqliteSql, expected);
            return;
        }
        EXPECT_EQ(postgresValue(postgresSql), expected);
    }

    // The first value of `sql` on the test's PostgreSQL database; the error
    // when it fails.
    std::string postgresValue(const std::string& sql) {
        PGconn* db = PQconnectdb(m_server->connection().c_str());
        std::string value;
        PGresult* result = PQexec(db, sql.c_str());
        if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0) {
            value = PQgetvalue(result, 0, 0);
        } else if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            value = std::string("error: ") + PQerrorMessage(db);
        }
        PQclear(result);
        PQfinish(db);
        return value;
    }

    static std::vector<Sms> messages(const std::string& prefix, int count, const std::string& mailTo = "") {
        std::vector<Sms> made;
        for (int i = 0; i < count; ++i) {
            made.emplace_back("+420" + std::to_string(100000 + i), "", prefix + std::to_string(i), "10.0.0.1", i % 2,
                              mailTo);
        }
        return made;
    }

    static std::vector<std::string> texts(const std::vector<Sms>& taken) {
        std::vector<std::string> result;
        for (const Sms& sms : taken) result.push_back(sms.message());
        return result;
    }

    static std::vector<std::string> drain(SmsQue& queue) {
        std::vector<std::string> result;
        Sms sms;
        while (queue.getSms(sms)) result.push_back(sms.message());
        return result;
    }

    // Runs SQL on the file with a connection of the test's own.
    void rawSql(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        EXPECT_EQ(result, SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
    }

    // Runs a query that yields one text on the file with a connection of the
    // test's own, and compares that text.
    void rawSqlExpect(const std::string& sql, const std::string& expected) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
        const unsigned char* text = sqlite3_column_text(statement, 0);
        EXPECT_EQ(std::string(text ? reinterpret_cast<const char*>(text) : ""), expected);
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }

    // An answer for `key` whose body lists the ids of its messages.
    static AnswerToKeep answerFor(const std::string& key, time_t at = 1000000) {
        AnswerToKeep answer;
        answer.scope = "scope";
        answer.key = key;
        answer.requestDigest = "digest of " + key;
        answer.status = 202;
        answer.at = at;
        answer.notBefore = at - 86400;
        answer.makeBody = [](const Sms* messages, size_t count) {
            std::string body;
            for (size_t i = 0; i < count; ++i) body += (i ? "," : "") + std::to_string(messages[i].id());
            return body;
        };
        return answer;
    }

    static std::string idsOf(const std::vector<Sms>& messages) {
        std::string ids;
        for (const Sms& sms : messages) ids += (ids.empty() ? "" : ",") + std::to_string(sms.id());
        return ids;
    }

    // The body kept for `key`; "none" without one.
    static std::string keptBody(Store& store, const std::string& key) {
        StoredAnswer found;
        if (!store.findAnswer("scope", key, 0, found)) return "none";
        EXPECT_EQ(found.requestDigest, "digest of " + key);
        EXPECT_EQ(found.status, 202);
        return found.body;
    }

    std::string openError(const std::string& file) {
        try {
            SqliteStore store(file, false);
        } catch (const StoreError& e) {
            return e.what();
        }
        return std::string();
    }

    StopSignal m_stop;
    ScratchDir m_scratch;
    // After the scratch directory, which holds its files.
    std::unique_ptr<PostgresServer> m_server;
};

class StoreTest : public StoreFixture, public ::testing::WithParamInterface<std::string> {
protected:
    std::string kind() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// What only the SQLite store has: its file.
class SqliteStoreTest : public StoreFixture {
protected:
    std::string kind() const override { return "sqlite"; }
};

// What only the PostgreSQL store has: its server and schema lock.
class PostgresStoreTest : public StoreFixture {
protected:
    std::string kind() const override { return "postgresql"; }

    // The value of `operation` once it no longer throws StoreError, within
    // a bounded number of the store's attempts to connect.
    template <class Operation>
    auto eventually(Operation operation) -> decltype(operation()) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            try {
                return operation();
            } catch (const StoreError& e) {
                if (std::chrono::steady_clock::now() > end) throw;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
};

TEST_P(StoreTest, EnqueueGivesIdsAndKeepsOrderAcrossReopening) {
    std::vector<Sms> batch = messages("m", 5);
    // m2..m4 are the parts of one text, with nothing kept for a caller.
    Sms::Tracking text;
    text.parts = 3;
    text.reference = 0xAB;
    for (int part = 1; part <= 3; ++part) {
        text.part = part;
        batch[static_cast<size_t>(part + 1)].setTracking(text);
    }
    {
        std::unique_ptr<Store> opened = open();
        Store& store = *opened;
        store.enqueue(batch);
        for (size_t i = 0; i < batch.size(); ++i) {
            EXPECT_GT(batch[i].id(), 0u);
            if (i > 0) {
                EXPECT_GT(batch[i].id(), batch[i - 1].id());
            }
        }
        EXPECT_EQ(store.queuedCount(), 5);
    }
    std::unique_ptr<Store> opened = open(true);
    Store& store = *opened;
    int64_t position = Store::queueStart;
    std::vector<Sms> first = store.nextQueued(position, 3);
    EXPECT_EQ(texts(first), (std::vector<std::string>{"m0", "m1", "m2"}));
    EXPECT_EQ(first[1].id(), batch[1].id());
    EXPECT_STREQ(first[1].target(), "+420100001");
    EXPECT_TRUE(first[1].onDisplay());
    EXPECT_EQ(first[0].tracking().parts, 1);
    EXPECT_EQ(first[2].tracking().part, 1);
    std::vector<Sms> rest = store.nextQueued(position, 3);
    EXPECT_EQ(texts(rest), (std::vector<std::string>{"m3", "m4"}));
    for (size_t i = 0; i < rest.size(); ++i) {
        EXPECT_EQ(rest[i].tracking().part, static_cast<int>(i + 2));
        EXPECT_EQ(rest[i].tracking().parts, 3);
    }
    for (const Sms& part : {first[2], rest[0], rest[1]}) EXPECT_EQ(part.concatenationReference(), 0xAB);
    EXPECT_TRUE(store.nextQueued(position, 3).empty());
}

TEST_P(StoreTest, StoredQueueKeepsOrderBeyondItsWindow) {
    const int count = static_cast<int>(SmsQueStored::windowBatch) * 2 + 10;
    std::unique_ptr<Store> opened = open();
    Store& store = *opened;
    std::vector<std::string> expected;
    {
        SmsQueStored queue(store, nullptr, m_stop);
        std::vector<Sms> batch = messages("a", count);
        EXPECT_EQ(queue.appendAll(batch, 1000000), count);
        EXPECT_EQ(queue.appendAll(batch, count), -1);  // the limit: nothing queued
        // Taken, then back at the front, as a sender does when a submission fails.
        Sms taken;
        ASSERT_TRUE(queue.getSms(taken));
        EXPECT_STREQ(taken.message(), "a0");
        EXPECT_EQ(queue.insertSms(taken), count);
        // Taken and given back at the end, as with a lost connection.
        ASSERT_TRUE(queue.getSms(taken));
        ASSERT_TRUE(queue.getSms(taken));
        EXPECT_STREQ(taken.message(), "a1");
        EXPECT_EQ(queue.appendSms(taken), count - 1);
        for (int i = 2; i < count; ++i) expected.push_back("a" + std::to_string(i));
        expected.push_back("a1");
    }
    // a0 was taken and not handed on: it is still queued after a restart,
    // at the front.
    EXPECT_EQ(store.requeueUnacknowledged(), 0);
    SmsQueStored reopened(store, nullptr, m_stop);
    EXPECT_EQ(reopened.size(), count);
    std::vector<std::string> all = drain(reopened);
    ASSERT_EQ(all.size(), static_cast<size_t>(count));
    EXPECT_EQ(all.front(), "a0");
    all.erase(all.begin());
    EXPECT_EQ(all, expected);
    EXPECT_EQ(reopened.size(), 0);
}

// SendSms calls that come while a commit is in progress wait for the next
// one and share it; a failed commit fails exactly its own calls, and the
// queue's order is the order of the commits.
TEST_P(StoreTest, ConcurrentAppendsShareOneCommitAndAFailureFailsOnlyItsGroup) {
    GatedStore store(open());
    SmsQueStored queue(store, nullptr, m_stop);
    struct Call {
        std::vector<Sms> batch;
        long limit = 1000;
        int length = 0;
        std::string failure;
        std::thread thread;
        // With an idempotency answer to keep in the same commit.
        bool keyed = false;
        AnswerToKeep answer;
    };
    std::map<std::string, Call> calls;
    // Starts the call and waits until it is in the queue's hands: in the
    // store (`storeCalls` counted) or waiting for the next commit.
    auto start = [&](const std::string& name, size_t waiting, int storeCalls) {
        Call& call = calls[name];
        call.batch = messages(name, 2);
        call.answer = answerFor(name);
        call.thread = std::thread([&call, &queue] {
            try {
                call.length = queue.appendAll(call.batch, call.limit, call.keyed ? &call.answer : nullptr);
            } catch (const StoreError& e) {
                call.failure = e.what();
            }
        });
        if (storeCalls > 0) {
            ASSERT_TRUE(store.waitForCalls(storeCalls));
        } else {
            ASSERT_TRUE(eventually([&] { return queue.batchesWaiting() == waiting; }));
        }
    };
    auto join = [&] {
        for (auto& call : calls) {
            if (call.second.thread.joinable()) call.second.thread.join();
        }
    };

    // a's commit is held; b, c and d come meanwhile, and their commit fails.
    // c's answer fails with it.
    store.hold(1);
    store.fail(2);
    calls["c"].keyed = true;
    start("a", 0, 1);
    start("b", 1, 0);
    start("c", 2, 0);
    start("d", 3, 0);
    store.release();
    join();
    EXPECT_EQ(calls["a"].length, 2);
    EXPECT_EQ(calls["a"].failure, "");
    for (const char* name : {"b", "c", "d"}) {
        EXPECT_EQ(calls[name].failure, "Store test: database or disk is full") << name;
        // Nothing of it was queued, and the caller has its messages back.
        EXPECT_EQ(texts(calls[name].batch),
                  (std::vector<std::string>{std::string(name) + "0", std::string(name) + "1"}));
        EXPECT_EQ(calls[name].batch[0].id(), 0u);
    }
    EXPECT_EQ(store.sizes(), (std::vector<size_t>{2, 6})) << "b, c and d in one commit";
    EXPECT_EQ(queue.size(), 2);
    EXPECT_EQ(keptBody(store, "c"), "none");
    EXPECT_EQ(calls["c"].answer.body, "");

    // Again, with success; g would pass its limit only with f of its own
    // group before it, and is refused alone.
    // f and h keep their answers in their commit, g (refused) none.
    store.hold(3);
    calls["f"].keyed = calls["g"].keyed = calls["h"].keyed = true;
    start("e", 0, 3);
    start("f", 1, 0);
    calls["g"].limit = 5;
    start("g", 2, 0);
    start("h", 3, 0);
    store.release();
    join();
    EXPECT_EQ(calls["e"].length, 4);
    EXPECT_EQ(calls["f"].length, 6);
    EXPECT_EQ(calls["g"].length, -1);
    EXPECT_EQ(calls["h"].length, 8);
    for (const char* name : {"e", "f", "g", "h"}) EXPECT_EQ(calls[name].failure, "") << name;
    EXPECT_EQ(store.sizes(), (std::vector<size_t>{2, 6, 2, 4})) << "f and h in one commit";
    EXPECT_EQ(store.queuedCount(), 8);
    for (const char* name : {"f", "h"}) {
        EXPECT_EQ(keptBody(store, name), idsOf(calls[name].batch)) << name;
        EXPECT_EQ(calls[name].answer.body, idsOf(calls[name].batch)) << name;
    }
    EXPECT_EQ(keptBody(store, "g"), "none");

    const std::vector<std::string> order{"a0", "a1", "e0", "e1", "f0", "f1", "h0", "h1"};
    SmsQueStored reopened(store, nullptr, m_stop);
    EXPECT_EQ(drain(reopened), order) << "the store's order";
    EXPECT_EQ(drain(queue), order) << "the queue's order";
}

// A commit under way does not hold the senders up: they take messages
// meanwhile. A message put back at the back waits until the batch being
// committed is in the queue, so that it comes after it, once.
TEST_P(StoreTest, SendersTakeMessagesWhileACommitIsUnderWay) {
    GatedStore store(open());
    SmsQueStored queue(store, nullptr, m_stop);
    std::vector<Sms> first = messages("q", 2);
    ASSERT_EQ(queue.appendAll(first, 1000), 2);
    store.hold(2);
    std::vector<Sms> held = messages("a", 2);
    std::thread committer([&] { EXPECT_EQ(queue.appendAll(held, 1000), 4); });
    ASSERT_TRUE(store.waitForCalls(2));

    Sms taken;
    std::atomic<bool> gotOne{false};
    std::thread sender([&] { gotOne = queue.getSms(taken); });
    EXPECT_TRUE(eventually([&] { return gotOne.load(); })) << "the sender waited for the commit";
    sender.join();
    EXPECT_STREQ(taken.message(), "q0");

    std::atomic<bool> putBack{false};
    std::thread putter([&] {
        queue.appendSms(taken);
        putBack = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(putBack.load()) << "put back before the batch under commit was in the queue";
    store.release();
    committer.join();
    putter.join();

    const std::vector<std::string> order{"q1", "a0", "a1", "q0"};
    SmsQueStored reopened(store, nullptr, m_stop);
    EXPECT_EQ(drain(reopened), order) << "the store's order";
    EXPECT_EQ(drain(queue), order) << "the queue's order";
}

// Many threads appending at once: every call's messages are queued together
// and in order, each thread's calls in the order it made them, and the
// queue's order is the store's.
TEST_P(StoreTest, ConcurrentAppendsKeepEveryBatchWholeAndInOrder) {
    const int threads = 4;
    const int callsPerThread = 100;
    const int perCall = 3;
    std::unique_ptr<Store> opened = open();
    Store& store = *opened;
    SmsQueStored queue(store, nullptr, m_stop);
    std::vector<std::vector<int>> lengths(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            for (int c = 0; c < callsPerThread; ++c) {
                std::vector<Sms> batch = messages("t" + std::to_string(t) + "-" + std::to_string(c) + "-", perCall);
                lengths[t].push_back(queue.appendAll(batch, 1000000));
            }
        });
    }
    for (std::thread& thread : running) thread.join();

    std::vector<int> all;
    for (const std::vector<int>& own : lengths) all.insert(all.end(), own.begin(), own.end());
    std::sort(all.begin(), all.end());
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i], static_cast<int>((i + 1) * perCall)) << "each call's length after its own batch";
    }
    const std::vector<std::string> taken = drain(queue);
    // Taken and not handed on, they are read again after a restart.
    EXPECT_EQ(store.requeueUnacknowledged(), 0);
    SmsQueStored reopened(store, nullptr, m_stop);
    const std::vector<std::string> stored = drain(reopened);
    EXPECT_EQ(taken, stored);
    ASSERT_EQ(taken.size(), static_cast<size_t>(threads * callsPerThread * perCall));
    std::vector<int> nextCall(threads, 0);
    for (size_t i = 0; i < taken.size(); i += perCall) {
        const std::string& first = taken[i];
        const int t = std::stoi(first.substr(1));
        const std::string prefix = "t" + std::to_string(t) + "-" + std::to_string(nextCall[t]++) + "-";
        for (int p = 0; p < perCall; ++p) EXPECT_EQ(taken[i + p], prefix + std::to_string(p)) << i;
    }
    for (int t = 0; t < threads; ++t) EXPECT_EQ(nextCall[t], callsPerThread);
}

TEST_P(StoreTest, RecoveryRequeuesUnacknowledgedAndKeepsAwaitedNotifications) {
    std::vector<Sms> batch = messages("r", 6, "a@example.org");
    std::vector<Sms> plain = messages("p", 1);
    {
        std::unique_ptr<Store> opened = open();
        Store& store = *opened;
        store.enqueue(batch);
        store.enqueue(plain);
        const time_t now = time(nullptr);
        // r0: acknowledged, waits for its notification; r1: notified;
        // r2, r3: submitted, unanswered; r4: refused for good; r5 queued;
        // p0: acknowledged without a notification request.
        for (int i = 0; i < 5; ++i) store.markSubmitted(batch[i].id(), "Sender thread(EMI)", i + 1, 0, now);
        store.markSubmitted(plain[0].id(), "Sender thread(EMI)", 9, 0, now);
        store.markAcknowledged(batch[0].id(), "0612345:010101120000", true, now);
        store.markAcknowledged(batch[1].id(), "k", true, now);
        store.markNotified(batch[1].id(), 0, now);
        store.markRefused(batch[3].id(), 4, false, now);  // a retry is due: still unanswered
        store.markRefused(batch[4].id(), 2, true, now);
        store.markAcknowledged(plain[0].id(), "k2", false, now);
        // Resubmitted after being put back: still in order.
        store.markSubmitted(batch[2].id(), "Sender thread(EMI)", 7, 1, now);
    }
    std::unique_ptr<Store> opened = open();
    Store& store = *opened;
    EXPECT_EQ(store.requeueUnacknowledged(), 2);
    EXPECT_EQ(store.queuedCount(), 3);
    SmsQueStored queue(store, nullptr, m_stop);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"r2", "r3", "r5"}));

    std::vector<SubmittedMessage> awaiting = store.awaitingNotification();
    ASSERT_EQ(awaiting.size(), 1u);
    EXPECT_EQ(awaiting[0].sms.id(), batch[0].id());
    EXPECT_STREQ(awaiting[0].sms.mailTo(), "a@example.org");
    EXPECT_EQ(awaiting[0].sender, "Sender thread(EMI)");
    EXPECT_EQ(awaiting[0].reference, 1);
    EXPECT_EQ(awaiting[0].sysMsg, "0612345:010101120000");

    // Finished rows go with the sweep, the waiting one stays until it expires.
    EXPECT_EQ(store.sweepFinished(time(nullptr) - 3600), 0);
    EXPECT_EQ(store.sweepFinished(time(nullptr) + 1), 3);
    store.markExpired(batch[0].id(), time(nullptr));
    EXPECT_TRUE(store.awaitingNotification().empty());
    EXPECT_EQ(store.sweepFinished(time(nullptr) + 1), 1);
}

TEST_F(SqliteStoreTest, OpensAFileOfTheFirstSchemaVersion) {
    // A file as the first version wrote it, with a queued message.
    rawSql(
        "CREATE TABLE schema_version (version INTEGER NOT NULL);"
        "INSERT INTO schema_version VALUES (1);"
        "CREATE TABLE message (id INTEGER PRIMARY KEY AUTOINCREMENT, state INTEGER NOT NULL,"
        " position INTEGER NOT NULL, accepted_at INTEGER NOT NULL, target TEXT NOT NULL, source TEXT NOT NULL,"
        " body TEXT NOT NULL, remote_addr TEXT NOT NULL, on_display INTEGER NOT NULL, mail_to TEXT NOT NULL,"
        " sender TEXT, reference INTEGER, submissions INTEGER NOT NULL DEFAULT 0, submitted_at INTEGER,"
        " sys_msg TEXT, acknowledged_at INTEGER, error_code INTEGER, notification_status INTEGER,"
        " notified_at INTEGER, outcome TEXT, finished_at INTEGER);"
        "CREATE INDEX message_queue ON message(position) WHERE state = 0;"
        "CREATE INDEX message_open ON message(state, position) WHERE state IN (1, 2);"
        "CREATE INDEX message_finished ON message(finished_at) WHERE state = 3;"
        "INSERT INTO message (id, state, position, accepted_at, target, source, body, remote_addr, on_display,"
        " mail_to) VALUES (41, 0, 7, 0, '+420111', '', 'old', 'ip', 0, '');");
    std::unique_ptr<Store> opened = open();
    Store& store = *opened;
    std::vector<Sms> batch = messages("n", 1);
    store.enqueue(batch);
    EXPECT_EQ(batch[0].id(), 42u);
    int64_t position = Store::queueStart;
    EXPECT_EQ(texts(store.nextQueued(position, 10)), (std::vector<std::string>{"old", "n0"}));
    // Upgraded: what the later version adds works on the old file.
    EXPECT_TRUE(store.pendingConfirmations().empty());
    EXPECT_NE(store.storeReceived({{"OA", "+420111"}}, time(nullptr)), 0u);
    EXPECT_EQ(store.unprocessedReceived().size(), 1u);
}

TEST_P(StoreTest, KeepsConfirmationsAndReceivedMessagesUntilTheyAreDone) {
    std::vector<Sms> batch = messages("c", 3, "a@example.org");
    std::vector<StoredConfirmation> made(3);
    uint64_t waiting = 0;
    uint64_t processed = 0;
    {
        std::unique_ptr<Store> opened = open();
        Store& store = *opened;
        store.enqueue(batch);
        const time_t now = time(nullptr);
        for (int i = 0; i < 3; ++i) {
            store.markSubmitted(batch[i].id(), "Sender thread(EMI)", i + 1, 0, now);
            store.markAcknowledged(batch[i].id(), "k" + std::to_string(i), true, now);
            made[i].destination = batch[i].target();
            made[i].userData = "line\nwith a break";
            made[i].date = "8.12.2026";
            made[i].time = "17:0:" + std::to_string(i);
            made[i].email = "a@example.org";
            store.markNotifiedAndConfirm(batch[i].id(), 0, now, made[i]);
            EXPECT_NE(made[i].id, 0u);
            EXPECT_EQ(made[i].messageId, batch[i].id());
        }
        // c0: mailed; c1: failed twice, still pending; c2: given up.
        store.markConfirmationDone(made[0].id, true, 0, now);
        store.markConfirmationFailed(made[1].id, 2);
        store.markConfirmationDone(made[2].id, false, 3, now);

        processed = store.storeReceived({{"OA", "+420600"}, {"UD", "first"}}, now);
        waiting = store.storeReceived({{"OA", "+420601"}, {"UD", "second\nline"}, {"CLASS", ""}}, now);
        store.markReceivedProcessed(processed, now);
    }
    {
        std::unique_ptr<Store> opened = open();
        Store& store = *opened;
        EXPECT_TRUE(store.awaitingNotification().empty());
        std::vector<StoredConfirmation> pending = store.pendingConfirmations();
        ASSERT_EQ(pending.size(), 1u);
        EXPECT_EQ(pending[0].id, made[1].id);
        EXPECT_EQ(pending[0].messageId, batch[1].id());
        EXPECT_EQ(pending[0].destination, batch[1].target());
        EXPECT_EQ(pending[0].userData, "line\nwith a break");
        EXPECT_EQ(pending[0].date, "8.12.2026");
        EXPECT_EQ(pending[0].time, "17:0:1");
        EXPECT_EQ(pending[0].email, "a@example.org");
        EXPECT_EQ(pending[0].failures, 2);

        std::vector<StoredReceived> unprocessed = store.unprocessedReceived();
        ASSERT_EQ(unprocessed.size(), 1u);
        EXPECT_EQ(unprocessed[0].id, waiting);
        EXPECT_EQ(unprocessed[0].variables, (std::vector<std::pair<std::string, std::string>>{
                                                {"OA", "+420601"}, {"UD", "second\nline"}, {"CLASS", ""}}));

        // The sweep takes what is done and leaves what still waits.
        EXPECT_EQ(store.sweepFinished(time(nullptr) + 1), 3);
        store.markConfirmationDone(made[1].id, true, 2, time(nullptr) + 10);
        store.markReceivedProcessed(waiting, time(nullptr) + 10);
        EXPECT_TRUE(store.pendingConfirmations().empty());
        EXPECT_TRUE(store.unprocessedReceived().empty());
        store.sweepFinished(time(nullptr) + 1);
    }
    // The daemon holds the file while it is open.
    const std::string counts =
        "SELECT (SELECT COUNT(*) FROM confirmation) || ' ' || (SELECT COUNT(*) FROM received) || ' ' ||"
        " (SELECT COUNT(*) FROM received_variable)";
    expectSql(counts, counts, "1 1 3");
}

TEST_P(StoreTest, KeepsPartsOfReceivedMessagesUntilTheyAreReplacedAcrossReopening) {
    typedef std::vector<std::pair<std::string, std::string>> Variables;
    const std::string group = std::string("Sender thread(EMI)") + '\0' + "+420600" + '\0' + "8:17/3";
    const std::string other = std::string("Sender thread(EMI)") + '\0' + "+420601" + '\0' + "8:17/2";
    auto part = [](const std::string& group, int number, const std::string& text) {
        StoredReceivedPart stored;
        stored.group = group;
        stored.number = number;
        stored.receivedAt = 1000 + number;
        stored.variables = {{"OA", "+420600"}, {"UD", text}, {"CLASS", ""}};
        return stored;
    };
    {
        std::unique_ptr<Store> opened = open();
        Store& store = *opened;
        EXPECT_TRUE(store.storeReceivedPart(part(group, 3, "c\nz")));
        EXPECT_TRUE(store.storeReceivedPart(part(group, 1,
                                                 "\xc5\x99"
                                                 "a")));
        // The same part again changes nothing.
        EXPECT_FALSE(store.storeReceivedPart(part(group, 1, "other")));
        EXPECT_TRUE(store.storeReceivedPart(part(other, 1, "x")));
    }
    std::unique_ptr<Store> opened = open();
    Store& store = *opened;
    std::vector<StoredReceivedPart> waiting = store.waitingReceivedParts();
    ASSERT_EQ(waiting.size(), 3u);
    EXPECT_EQ(waiting[0].group, group);
    EXPECT_EQ(waiting[0].number, 1);
    EXPECT_EQ(waiting[0].receivedAt, 1001);
    EXPECT_EQ(waiting[0].variables, (Variables{{"OA", "+420600"},
                                               {"UD",
                                                "\xc5\x99"
                                                "a"},
                                               {"CLASS", ""}}));
    EXPECT_EQ(waiting[1].number, 3);
    EXPECT_EQ(waiting[1].variables[1].second, "c\nz");
    EXPECT_EQ(waiting[2].group, other);

    // One group replaced by its parts one by one: the others stay.
    const std::vector<uint64_t> ids =
        store.replaceReceivedParts(group, {waiting[0].variables, waiting[1].variables}, 2000);
    ASSERT_EQ(ids.size(), 2u);
    std::vector<StoredReceived> received = store.unprocessedReceived();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].id, ids[0]);
    EXPECT_EQ(received[1].variables, waiting[1].variables);
    waiting = store.waitingReceivedParts();
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].group, other);
}

TEST_P(StoreTest, ShowsEachMessageWithItsCallersReferenceAndKeepsAnswers) {
    std::unique_ptr<Store> opened = open();
    Store& store = *opened;
    std::vector<Sms> batch = messages("h", 4, "a@example.org");
    Sms::Tracking tracking;
    tracking.clientRef = "order-17";
    tracking.callbackUrl = "https://example.org/hook";
    tracking.parts = 2;
    for (int i = 0; i < 4; ++i) {
        tracking.part = i % 2 + 1;
        batch[i].setTracking(tracking);
    }
    batch[3].setTracking(Sms::Tracking());
    store.enqueue(batch);
    const time_t at = 1000000;
    store.markSubmitted(batch[0].id(), "Sender thread(EMI)", 5, 0, at);
    store.markAcknowledged(batch[0].id(), "k0", true, at + 1);
    store.markNotified(batch[0].id(), 0, at + 2);
    store.markSubmitted(batch[1].id(), "Sender thread(EMI)", 6, 0, at);
    store.markRefused(batch[1].id(), 4, true, at + 3);

    MessageRecord record;
    ASSERT_TRUE(store.findMessage(batch[0].id(), record));
    EXPECT_EQ(record.stage, MessageRecord::Stage::Finished);
    EXPECT_EQ(record.outcome, "notified");
    EXPECT_EQ(record.notificationStatus, 0);
    EXPECT_EQ(record.sender, "Sender thread(EMI)");
    EXPECT_EQ(record.tracking.clientRef, "order-17");
    EXPECT_EQ(record.tracking.callbackUrl, "https://example.org/hook");
    EXPECT_EQ((std::vector<time_t>{record.submittedAt, record.acknowledgedAt, record.notifiedAt, record.finishedAt}),
              (std::vector<time_t>{at, at + 1, at + 2, at + 2}));
    ASSERT_TRUE(store.findMessage(batch[1].id(), record));
    EXPECT_EQ(record.outcome, "refused");
    EXPECT_EQ(record.errorCode, 4);
    EXPECT_EQ(record.tracking.part, 2);
    ASSERT_TRUE(store.findMessage(batch[3].id(), record));
    EXPECT_EQ(record.stage, MessageRecord::Stage::Queued);
    EXPECT_EQ(record.tracking.clientRef, "");
    EXPECT_EQ(record.errorCode, -1);
    EXPECT_FALSE(store.findMessage(batch[3].id() + 100, record));

    const std::vector<MessageRecord> listed = store.findByClientRef("order-17", 2);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].id, batch[0].id());
    EXPECT_EQ(listed[1].id, batch[1].id());
    EXPECT_TRUE(store.findByClientRef("", 10).empty());

    // Answers are kept per scope and key, for their time.
    std::vector<Sms> keyed = messages("k", 1);
    AnswerToKeep answer = answerFor("key", at);
    answer.count = keyed.size();
    store.enqueue(keyed, {&answer});
    StoredAnswer found;
    ASSERT_TRUE(store.findAnswer("scope", "key", at - 86400, found));
    EXPECT_EQ((found.requestDigest + " " + std::to_string(found.status) + " " + found.body),
              "digest of key 202 " + idsOf(keyed));
    EXPECT_FALSE(store.findAnswer("other scope", "key", at - 86400, found));
    // Past its time the answer is gone, and the next one forgets it.
    EXPECT_FALSE(store.findAnswer("scope", "key", at + 1, found));
    std::vector<Sms> later = messages("l", 1);
    AnswerToKeep laterAnswer = answerFor("key2", at + 86401);
    laterAnswer.count = later.size();
    store.enqueue(later, {&laterAnswer});
    EXPECT_FALSE(store.findAnswer("scope", "key", 0, found));
    EXPECT_TRUE(store.findAnswer("scope", "key2", at + 1, found));
}

// An idempotency answer is committed with the messages it answers: a commit
// that fails (here the store refuses the answer's row) keeps neither, and
// the queue holds nothing of it; one that succeeds keeps both.
TEST_F(SqliteStoreTest, AnAnswerIsKeptInTheCommitOfItsMessagesOrNotAtAll) {
    { SqliteStore store(path(), false); }
    rawSql(
        "CREATE TRIGGER refuse_answer BEFORE INSERT ON idempotency WHEN NEW.key = 'refused'"
        " BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END");
    SqliteStore store(path(), false);
    SmsQueStored queue(store, nullptr, m_stop);
    std::vector<Sms> refused = messages("r", 3);
    AnswerToKeep refusedAnswer = answerFor("refused");
    try {
        queue.appendAll(refused, 1000, &refusedAnswer);
        ADD_FAILURE() << "the commit did not fail";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("database or disk is full"), std::string::npos) << e.what();
    }
    EXPECT_EQ(refused[0].id(), 0u);
    EXPECT_EQ(refusedAnswer.body, "");
    EXPECT_EQ(keptBody(store, "refused"), "none");
    EXPECT_EQ(store.queuedCount(), 0);
    EXPECT_EQ(queue.size(), 0);

    std::vector<Sms> kept = messages("k", 3);
    AnswerToKeep keptAnswer = answerFor("kept");
    EXPECT_EQ(queue.appendAll(kept, 1000, &keptAnswer), 3);
    EXPECT_EQ(keptAnswer.body, idsOf(kept));
    EXPECT_EQ(keptBody(store, "kept"), idsOf(kept));
    EXPECT_EQ(store.queuedCount(), 3);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"k0", "k1", "k2"}));
}

// The journal's writes of a transaction reach the file together at its
// commit: what was committed is there when the process ends without closing
// the store (as with kill -9): a transaction larger than the page cache, and
// one that changes a single page read back from the journal.
TEST_P(StoreTest, CommitsSurviveTheProcessEndingWithoutClosingTheStore) {
    const int large = 30000;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 1;
        try {
            Store* store = open().release();  // never closed
            std::vector<Sms> batch = messages("big", large);
            store->enqueue(batch);
            std::vector<Sms> confirmed = messages("confirmed", 1, "a@example.org");
            store->enqueue(confirmed);
            const time_t now = time(nullptr);
            store->markSubmitted(confirmed[0].id(), "Sender thread(EMI)", 1, 0, now);
            store->recordResults({SmscResult{confirmed[0].id(), true, "k", true, 0, false, now}});
            StoredConfirmation confirmation;
            confirmation.email = "a@example.org";
            store->markNotifiedAndConfirm(confirmed[0].id(), 0, now, confirmation);
            // Reading the whole queue pushes the confirmation's page out of
            // the cache: its next change reads it back from the journal.
            int64_t position = Store::queueStart;
            while (!store->nextQueued(position, 1000).empty()) {
            }
            store->markConfirmationFailed(confirmation.id, 2);
            status = 0;
        } catch (...) {
        }
        _exit(status);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    {
        std::unique_ptr<Store> opened = open();
        Store& store = *opened;
        EXPECT_EQ(store.queuedCount(), large);
        std::vector<StoredConfirmation> pending = store.pendingConfirmations();
        ASSERT_EQ(pending.size(), 1u);
        EXPECT_EQ(pending[0].failures, 2);
        SmsQueStored queue(store, nullptr, m_stop);
        std::vector<std::string> all = drain(queue);
        ASSERT_EQ(all.size(), static_cast<size_t>(large));
        EXPECT_EQ(all.front(), "big0");
        EXPECT_EQ(all.back(), "big" + std::to_string(large - 1));
    }
    expectSql("PRAGMA integrity_check", "SELECT 'ok'", "ok");
}

TEST_P(StoreTest, MakesADeliveryCallbackWithEachFinalStateAndKeepsItUntilDone) {
    const time_t at = 1000000;
    std::vector<uint64_t> ids;
    {
        std::unique_ptr<Store> opened = open();
        Store& store = *opened;
        std::vector<Sms> batch = messages("w", 7, "");
        Sms::Tracking tracking;
        tracking.callbackUrl = "https://example.org/hook?token=1";
        for (int i = 0; i < 6; ++i) batch[i].setTracking(tracking);
        store.enqueue(batch);
        for (const Sms& sms : batch) ids.push_back(sms.id());

        // Queued messages read back carry their callback URL, which asks
        // for the delivery notification.
        int64_t position = Store::queueStart;
        const std::vector<Sms> queued = store.nextQueued(position, 10);
        ASSERT_EQ(queued.size(), 7u);
        EXPECT_EQ(queued[0].tracking().callbackUrl, "https://example.org/hook?token=1");
        EXPECT_TRUE(queued[0].wantsNotification());
        EXPECT_FALSE(queued[6].wantsNotification());

        for (uint64_t id : ids) store.markSubmitted(id, "Sender thread(EMI)", 1, 0, at);
        store.markAcknowledged(ids[0], "k0", true, at);
        store.markNotified(ids[0], 0, at + 1);  // delivered
        store.markAcknowledged(ids[1], "k1", true, at);
        StoredConfirmation confirmation;
        confirmation.email = "a@example.org";
        store.markNotifiedAndConfirm(ids[1], 2, at + 2, confirmation);  // not delivered
        store.markAcknowledged(ids[2], "k2", true, at);
        store.markNotified(ids[2], 1, at + 2);  // only buffered: no callback
        SmscResult refused;
        refused.id = ids[3];
        refused.errorCode = 2;
        refused.final = true;
        refused.at = at + 3;
        SmscResult again = refused;
        again.id = ids[4];
        again.final = false;
        store.recordResults({refused, again});                // the second is tried again: none
        store.markAcknowledged(ids[4], "k4", false, at + 4);  // no notification asked: none
        store.markAcknowledged(ids[5], "k5", true, at);
        store.markExpired(ids[5], at + 5);
        store.markAcknowledged(ids[6], "k6", true, at);
        store.markNotified(ids[6], 0, at + 6);  // no callback URL

        EXPECT_TRUE(store.dueWebhooks(at, 10).empty());
        std::vector<StoredWebhook> due = store.dueWebhooks(at + 10, 10);
        std::vector<uint64_t> messageIds;
        for (const StoredWebhook& webhook : due) messageIds.push_back(webhook.messageId);
        EXPECT_EQ(messageIds, (std::vector<uint64_t>{ids[0], ids[1], ids[3], ids[5]}));
        EXPECT_EQ(due[0].url, "https://example.org/hook?token=1");
        EXPECT_EQ(due[0].createdAt, at + 1);
        EXPECT_EQ(due[3].createdAt, at + 5);

        store.markWebhookFailed(due[0].id, 1, at + 100, "answered with status 500");
        store.markWebhookDone(due[1].id, true, 1, at + 20, "");
        store.markWebhookDone(due[2].id, false, 30, at + 20, "Timeout was reached");
        due = store.dueWebhooks(at + 10, 10);
        ASSERT_EQ(due.size(), 1u);
        EXPECT_EQ(due[0].messageId, ids[5]);
        EXPECT_EQ(store.dueWebhooks(at + 10, 0).size(), 0u);
    }
    // A new start finds the pending ones as they were; the sweep forgets
    // the finished ones only.
    {
        std::unique_ptr<Store> opened = open();
        Store& store = *opened;
        const std::vector<StoredWebhook> due = store.dueWebhooks(at + 100, 10);
        ASSERT_EQ(due.size(), 2u);
        EXPECT_EQ(due[0].messageId, ids[5]);  // the earliest due first
        EXPECT_EQ(due[1].messageId, ids[0]);
        EXPECT_EQ(due[1].attempts, 1);
        store.sweepFinished(at + 1000);
        EXPECT_EQ(store.dueWebhooks(at + 100, 10).size(), 2u);
    }
    expectSql("SELECT group_concat(state) FROM webhook", "SELECT string_agg(state::text, ',') FROM webhook", "0,0");
}

TEST_F(SqliteStoreTest, RefusesWhatItCannotUse) {
    open();
    const int newer = SqliteStore::schemaVersion + 1;
    rawSql("INSERT INTO schema_version VALUES (" + std::to_string(newer) + ")");
    std::string error = openError(path());
    EXPECT_NE(error.find(path()), std::string::npos) << error;
    EXPECT_NE(error.find("schema version " + std::to_string(newer) + " is newer than this program's " +
                         std::to_string(SqliteStore::schemaVersion)),
              std::string::npos)
        << error;

    const std::string garbage = m_scratch.file("garbage.db");
    {
        std::ofstream out(garbage);
        out << std::string(8192, 'x');
    }
    error = openError(garbage);
    EXPECT_NE(error.find(garbage), std::string::npos) << error;
    EXPECT_NE(error.find("not a database"), std::string::npos) << error;

    const std::string nowhere = m_scratch.file("missing/dir/kstd.db");
    error = openError(nowhere);
    EXPECT_NE(error.find(nowhere), std::string::npos) << error;
    EXPECT_NE(error.find("unable to open"), std::string::npos) << error;
}

}  // namespace

namespace {

// Stores opened together on an empty database: each waits for the schema
// lock, one creates the schema, the others find it; every message records
// the node that accepted it.
TEST_F(PostgresStoreTest, StoresOpeningTogetherCreateTheSchemaOnce) {
    const int count = 4;
    std::vector<std::unique_ptr<PostgresStore>> stores(count);
    std::vector<std::string> failures(count);
    std::vector<std::thread> opening;
    for (int i = 0; i < count; ++i) {
        opening.emplace_back([&, i] {
            try {
                stores[i] = std::make_unique<PostgresStore>(m_server->connection(), "node-" + std::to_string(i));
            } catch (const StoreError& e) {
                failures[i] = e.what();
            }
        });
    }
    for (std::thread& thread : opening) thread.join();
    EXPECT_EQ(failures, std::vector<std::string>(count));
    EXPECT_EQ(postgresValue("SELECT COUNT(*) || ' ' || MAX(version) FROM schema_version"),
              std::to_string(PostgresStore::schemaVersion) + " " + std::to_string(PostgresStore::schemaVersion));
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(stores[i]);
        std::vector<Sms> batch = messages("n" + std::to_string(i) + "-", 1);
        stores[i]->enqueue(batch);
    }
    EXPECT_EQ(postgresValue("SELECT string_agg(node, ',' ORDER BY id) FROM message"), "node-0,node-1,node-2,node-3");
    EXPECT_EQ(stores[0]->queuedCount(), count);
}

// The server goes away under an open store: operations fail with the
// cause, nothing is half stored, and the first operation after its return
// connects again; a new start finds everything.
TEST_F(PostgresStoreTest, ReconnectsWhenTheServerIsBackAndKeepsEverythingAcrossItsRestart) {
    auto store = std::make_unique<PostgresStore>(m_server->connection(), "node-1");
    std::vector<Sms> first = messages("a", 3);
    store->enqueue(first);
    store->markSubmitted(first[0].id(), "Sender thread(EMI)", 1, 0, time(nullptr));

    m_server->stop();
    std::vector<Sms> lost = messages("lost", 2);
    try {
        store->enqueue(lost);
        ADD_FAILURE() << "stored without a server";
    } catch (const StoreError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("PostgreSQL database kst on 127.0.0.1:"), std::string::npos) << what;
        EXPECT_NE(what.find("cannot connect"), std::string::npos) << what;
        EXPECT_NE(what.find("Connection refused"), std::string::npos) << what;
    }
    EXPECT_EQ(lost[0].id(), 0u);
    EXPECT_THROW(store->queuedCount(), StoreError);

    m_server->start();
    // The next attempt to connect comes after a pause (ReconnectBackoff).
    EXPECT_EQ(eventually([&] { return store->queuedCount(); }), 2);
    store->enqueue(lost);
    EXPECT_NE(lost[1].id(), 0u);

    // A server restart while the store's connection is idle: the next
    // operation finds the connection closed and makes a new one.
    m_server->stop();
    m_server->start();
    EXPECT_EQ(store->queuedCount(), 4);
    store.reset();

    // The node's name is free again once the store is closed.
    PostgresStore reopened(m_server->connection(), "node-1");
    EXPECT_EQ(reopened.requeueUnacknowledged(), 1);
    int64_t position = Store::queueStart;
    EXPECT_EQ(texts(reopened.nextQueued(position, 10)), (std::vector<std::string>{"a0", "a1", "a2", "lost0", "lost1"}));
    EXPECT_EQ(postgresValue("SELECT COUNT(*) FROM schema_version"), std::to_string(PostgresStore::schemaVersion));
}

TEST_F(PostgresStoreTest, StoresSharingTheQueueClaimDisjointBatchesInQueueOrder) {
    PostgresStore first(m_server->connection(), "node-1");
    PostgresStore second(m_server->connection(), "node-2");
    std::vector<Sms> queued = messages("m", 10);
    first.enqueue(queued);
    EXPECT_EQ(texts(first.claimQueued(4, false)), (std::vector<std::string>{"m0", "m1", "m2", "m3"}));
    EXPECT_EQ(texts(second.claimQueued(4, false)), (std::vector<std::string>{"m4", "m5", "m6", "m7"}));
    EXPECT_EQ(first.unclaimedCount(), 2);
    EXPECT_EQ(first.queuedCount(), 10);
    EXPECT_EQ(texts(first.claimQueued(10, false)), (std::vector<std::string>{"m8", "m9"}));
    EXPECT_TRUE(second.claimQueued(10, false).empty());

    // Two queues draining one shared queue together: every message is
    // taken once, each queue's in queue order.
    const int count = 3000;
    std::vector<Sms> burst = messages("b", count);
    first.enqueue(burst);
    SmsQueStored firstQueue(first, nullptr, m_stop);
    SmsQueStored secondQueue(second, nullptr, m_stop);
    EXPECT_EQ(firstQueue.size(), count);
    std::vector<std::vector<uint64_t>> taken(2);
    std::thread other([&] {
        Sms sms;
        while (secondQueue.getSms(sms)) taken[1].push_back(sms.id());
    });
    Sms sms;
    while (firstQueue.getSms(sms)) taken[0].push_back(sms.id());
    other.join();
    std::set<uint64_t> all;
    for (const std::vector<uint64_t>& ids : taken) {
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), taken[0].size() + taken[1].size());
    EXPECT_EQ(all.size(), static_cast<size_t>(count));
    EXPECT_EQ(*all.begin(), burst.front().id());
    EXPECT_EQ(*all.rbegin(), burst.back().id());
}

TEST_F(PostgresStoreTest, ALeaseThatRunsOutReturnsItsClaimsToTheQueue) {
    auto dead = std::make_unique<PostgresStore>(m_server->connection(), "node-1", 1);
    PostgresStore survivor(m_server->connection(), "node-2", 30);
    EXPECT_EQ(dead->requeueUnacknowledged(), 0);
    EXPECT_EQ(survivor.requeueUnacknowledged(), 0);
    std::vector<Sms> queued = messages("m", 5);
    dead->enqueue(queued);
    EXPECT_EQ(texts(dead->claimQueued(4, false)), (std::vector<std::string>{"m0", "m1", "m2", "m3"}));
    const time_t now = time(nullptr);
    dead->markSubmitted(queued[1].id(), "Sender thread(EMI)", 1, 0, now);
    dead->markSubmitted(queued[2].id(), "Sender thread(EMI)", 2, 0, now);
    dead->markAcknowledged(queued[2].id(), "key", true, now);
    // m1 submitted and not acknowledged, m2 acknowledged, m0 and m3 only
    // claimed, m4 never claimed.
    SmsQueStored survivorQueue(survivor, nullptr, m_stop);
    EXPECT_TRUE(survivor.renewLease());
    survivorQueue.takeUpSharedQueue();
    EXPECT_EQ(survivorQueue.size(), 1);

    // The dead daemon renews no more: once its lease ran out, the next
    // renewal of another daemon returns its claims, the submitted message
    // first, and that daemon's queue takes it up at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_TRUE(survivor.renewLease());
    EXPECT_EQ(postgresValue("SELECT string_agg(node, ',') FROM daemon_lease"), "node-2");
    EXPECT_EQ(survivor.unclaimedCount(), 4);
    survivorQueue.takeUpSharedQueue();
    EXPECT_EQ(drain(survivorQueue), (std::vector<std::string>{"m1", "m0", "m3", "m4"}));
    MessageRecord record;
    ASSERT_TRUE(survivor.findMessage(queued[2].id(), record));
    EXPECT_EQ(record.stage, MessageRecord::Stage::Acknowledged);

    // Back, the dead daemon learns that it lost its claims, and claims
    // again under its new lease.
    EXPECT_FALSE(dead->renewLease());
    EXPECT_TRUE(dead->renewLease());
    EXPECT_EQ(postgresValue("SELECT COUNT(*) FROM daemon_lease"), "2");

    // A queue whose daemon lost its claims that way leaves the messages it
    // held to the daemon that claimed them since.
    std::vector<Sms> later = messages("n", 3);
    dead->enqueue(later);
    SmsQueStored deadQueue(*dead, nullptr, m_stop);
    Sms taken;
    ASSERT_TRUE(deadQueue.getSms(taken));
    EXPECT_STREQ(taken.message(), "n0");
    postgresValue("UPDATE daemon_lease SET lease_until = now() - interval '1 hour' WHERE node = 'node-1'");
    EXPECT_TRUE(survivor.renewLease());
    EXPECT_EQ(texts(survivor.claimQueued(10, false)), (std::vector<std::string>{"n0", "n1", "n2"}));
    EXPECT_FALSE(dead->renewLease());
    deadQueue.forgetClaims();
    EXPECT_FALSE(deadQueue.getSms(taken));
    EXPECT_EQ(deadQueue.size(), 0);
}

TEST_F(PostgresStoreTest, AnOrderlyCloseHandsItsClaimsBackAtOnce) {
    auto leaving = std::make_unique<PostgresStore>(m_server->connection(), "node-1");
    PostgresStore staying(m_server->connection(), "node-2");
    EXPECT_EQ(leaving->requeueUnacknowledged(), 0);
    std::vector<Sms> queued = messages("m", 4);
    leaving->enqueue(queued);
    {
        SmsQueStored queue(*leaving, nullptr, m_stop);
        Sms sms;
        ASSERT_TRUE(queue.getSms(sms));
        leaving->markSubmitted(sms.id(), "Sender thread(EMI)", 1, 0, time(nullptr));
    }
    EXPECT_EQ(staying.unclaimedCount(), 0);
    leaving->releaseClaims();
    EXPECT_EQ(postgresValue("SELECT COUNT(*) FROM daemon_lease WHERE node = 'node-1'"), "0");
    EXPECT_EQ(texts(staying.claimQueued(10, false)), (std::vector<std::string>{"m0", "m1", "m2", "m3"}));

    // The daemon that starts again under the same name takes back what it
    // had claimed in its former run, not what others claimed.
    leaving.reset();
    leaving = std::make_unique<PostgresStore>(m_server->connection(), "node-1");
    std::vector<Sms> more = messages("n", 2);
    leaving->enqueue(more);
    EXPECT_EQ(texts(leaving->claimQueued(1, false)), (std::vector<std::string>{"n0"}));
    leaving->markSubmitted(more[0].id(), "Sender thread(EMI)", 1, 0, time(nullptr));
    leaving.reset();
    PostgresStore restarted(m_server->connection(), "node-1");
    EXPECT_EQ(restarted.requeueUnacknowledged(), 1);
    EXPECT_EQ(texts(restarted.claimQueued(10, false)), (std::vector<std::string>{"n0", "n1"}));
}

TEST_F(PostgresStoreTest, ANotificationIsSettledOnceWhicheverDaemonGetsIt) {
    PostgresStore submitter(m_server->connection(), "node-1");
    PostgresStore other(m_server->connection(), "node-2");
    // Both daemons started: they hold leases.
    EXPECT_EQ(submitter.requeueUnacknowledged(), 0);
    EXPECT_EQ(other.requeueUnacknowledged(), 0);
    const time_t at = time(nullptr);
    std::vector<Sms> sent = messages("m", 3, "user@example.org");
    submitter.enqueue(sent);
    for (int i = 0; i < 3; ++i) {
        submitter.markSubmitted(sent[i].id(), "Sender thread(EMI)", i + 1, 0, at);
        submitter.markAcknowledged(sent[i].id(), "key-" + std::to_string(i), true, at);
    }
    const std::string emi = "Sender thread(EMI)";
    int confirmCalls = 0;
    auto confirm = [&](const Sms& sms, StoredConfirmation& made) {
        ++confirmCalls;
        made.destination = sms.target();
        made.userData = sms.message();
        made.email = sms.mailTo();
        return true;
    };

    // The notification of m0 reaches the other daemon, in the other form of
    // its key first: settled there, with its confirmation, from the row; not
    // by a sender of another kind.
    Sms message;
    StoredConfirmation confirmation;
    EXPECT_FALSE(
        other.settleSharedNotification("Sender thread(SMPP)", {"key-0"}, 0, at + 1, confirm, message, confirmation));
    ASSERT_TRUE(other.settleSharedNotification(emi, {"unknown", "key-0"}, 0, at + 1, confirm, message, confirmation));
    EXPECT_EQ(message.id(), sent[0].id());
    EXPECT_STREQ(message.message(), "m0");
    EXPECT_STREQ(message.mailTo(), "user@example.org");
    EXPECT_NE(confirmation.id, 0u);
    EXPECT_EQ(confirmation.messageId, sent[0].id());
    EXPECT_EQ(confirmation.userData, "m0");
    // Repeated, at either daemon, it settles nothing again: no second
    // confirmation, no expiry over the notified state.
    EXPECT_FALSE(other.settleSharedNotification(emi, {"key-0"}, 0, at + 2, confirm, message, confirmation));
    StoredConfirmation again;
    EXPECT_FALSE(submitter.markNotifiedAndConfirm(sent[0].id(), 0, at + 2, again));
    EXPECT_EQ(again.id, 0u);
    EXPECT_FALSE(submitter.markNotified(sent[0].id(), 0, at + 2));
    EXPECT_FALSE(submitter.markExpired(sent[0].id(), at + 3));
    EXPECT_EQ(confirmCalls, 1);
    MessageRecord record;
    ASSERT_TRUE(submitter.findMessage(sent[0].id(), record));
    EXPECT_EQ(record.outcome, "notified");
    EXPECT_EQ(record.notifiedAt, at + 1);
    // The submitter's own settling and expiry still work on open messages.
    EXPECT_TRUE(submitter.markNotified(sent[1].id(), 2, at + 4));
    EXPECT_TRUE(submitter.markExpired(sent[2].id(), at + 4));
    EXPECT_FALSE(other.settleSharedNotification(emi, {"key-1", "key-2"}, 0, at + 5, confirm, message, confirmation));
    EXPECT_EQ(postgresValue("SELECT COUNT(*) FROM confirmation"), "1");
    // The confirmation is the settling daemon's to mail.
    EXPECT_EQ(submitter.pendingConfirmations().size(), 0u);
    EXPECT_EQ(other.pendingConfirmations().size(), 1u);

    // Both daemons get every notification of a burst at once, the submitter
    // settling through its own registry, the other through the shared one:
    // each message is settled once, with one confirmation.
    const int count = 200;
    std::vector<Sms> burst = messages("b", count, "user@example.org");
    submitter.enqueue(burst);
    for (int i = 0; i < count; ++i) {
        submitter.markSubmitted(burst[i].id(), "Sender thread(EMI)", 1, 0, at);
        submitter.markAcknowledged(burst[i].id(), "b-" + std::to_string(i), true, at);
    }
    std::atomic<int> settledByOther{0};
    std::atomic<int> settledBySubmitter{0};
    std::thread racing([&] {
        for (int i = 0; i < count; ++i) {
            Sms found;
            StoredConfirmation made;
            if (other.settleSharedNotification(emi, {"b-" + std::to_string(i)}, 0, at + 6, confirm, found, made)) {
                ++settledByOther;
            }
        }
    });
    for (int i = 0; i < count; ++i) {
        StoredConfirmation made;
        made.email = "user@example.org";
        if (submitter.markNotifiedAndConfirm(burst[i].id(), 0, at + 6, made)) ++settledBySubmitter;
    }
    racing.join();
    EXPECT_EQ(settledByOther + settledBySubmitter, count);
    EXPECT_EQ(postgresValue("SELECT COUNT(*) FROM confirmation"), std::to_string(count + 1));
    EXPECT_EQ(postgresValue("SELECT COUNT(*) FROM message WHERE state = 3 AND outcome = 'notified'"),
              std::to_string(count + 2));
}

TEST_F(PostgresStoreTest, WorkOfALiveDaemonStaysItsOwnAndThatOfAnExpiredLeaseIsTakenOver) {
    auto dead = std::make_unique<PostgresStore>(m_server->connection(), "node-1", 1);
    PostgresStore survivor(m_server->connection(), "node-2", 30);
    EXPECT_EQ(dead->requeueUnacknowledged(), 0);
    EXPECT_EQ(survivor.requeueUnacknowledged(), 0);
    const time_t at = time(nullptr);
    std::vector<Sms> sent = messages("m", 2, "user@example.org");
    Sms::Tracking tracking;
    tracking.callbackUrl = "https://example.org/hook";
    sent[1].setTracking(tracking);
    dead->enqueue(sent);
    for (const Sms& sms : sent) {
        dead->markSubmitted(sms.id(), "Sender thread(EMI)", 1, 0, at);
        dead->markAcknowledged(sms.id(), "k" + std::to_string(sms.id()), true, at);
    }
    StoredConfirmation confirmation;
    confirmation.email = "user@example.org";
    ASSERT_TRUE(dead->markNotifiedAndConfirm(sent[0].id(), 0, at, confirmation));
    ASSERT_TRUE(dead->markExpired(sent[1].id(), at));  // its delivery callback
    const uint64_t received = dead->storeReceived({{"OA", "+420111"}, {"UD", "hello"}}, at);

    // While its daemon lives, its work is its own: the other neither reads
    // nor takes it, and of two dispatchers only one takes a due callback.
    EXPECT_EQ(dead->dueWebhooks(at + 10, 10).size(), 1u);
    EXPECT_TRUE(survivor.dueWebhooks(at + 10, 10).empty());
    EXPECT_TRUE(survivor.pendingConfirmations().empty());
    EXPECT_TRUE(survivor.unprocessedReceived().empty());
    std::vector<StoredConfirmation> confirmations;
    std::vector<StoredReceived> waiting;
    EXPECT_TRUE(survivor.renewLease());
    survivor.takeOverWork(confirmations, waiting);
    EXPECT_TRUE(confirmations.empty());
    EXPECT_TRUE(waiting.empty());
    EXPECT_EQ(dead->pendingConfirmations().size(), 1u);
    EXPECT_EQ(dead->unprocessedReceived().size(), 1u);

    // Its lease ran out: the next renewal of the other returns its work,
    // which the other takes over, once.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_TRUE(survivor.renewLease());
    survivor.takeOverWork(confirmations, waiting);
    ASSERT_EQ(confirmations.size(), 1u);
    EXPECT_EQ(confirmations[0].id, confirmation.id);
    EXPECT_EQ(confirmations[0].email, "user@example.org");
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].id, received);
    EXPECT_EQ(waiting[0].variables,
              (std::vector<std::pair<std::string, std::string>>{{"OA", "+420111"}, {"UD", "hello"}}));
    EXPECT_EQ(survivor.dueWebhooks(at + 10, 10).size(), 1u);
    std::vector<StoredConfirmation> more;
    std::vector<StoredReceived> moreWaiting;
    survivor.takeOverWork(more, moreWaiting);
    EXPECT_TRUE(more.empty());
    EXPECT_TRUE(moreWaiting.empty());
    dead.reset();

    // Work of a daemon that holds no lease (it lost its lease and died
    // before it took a new one) is no live daemon's either.
    postgresValue("UPDATE received SET state = 0, claimed_by = 'node-9'");
    survivor.takeOverWork(more, moreWaiting);
    ASSERT_EQ(moreWaiting.size(), 1u);
    EXPECT_EQ(moreWaiting[0].id, received);

    // An orderly stop hands its work back: a daemon that starts takes it.
    survivor.releaseClaims();
    PostgresStore next(m_server->connection(), "node-3");
    EXPECT_EQ(next.requeueUnacknowledged(), 0);
    EXPECT_EQ(next.pendingConfirmations().size(), 1u);
    EXPECT_EQ(next.unprocessedReceived().size(), 1u);
    EXPECT_EQ(next.dueWebhooks(at + 10, 10).size(), 1u);
    EXPECT_EQ(postgresValue("SELECT COUNT(*) FROM confirmation WHERE claimed_by = 'node-3'"), "1");
}

TEST_F(PostgresStoreTest, RefusesWhatItCannotUse) {
    auto openError = [](const std::string& connection) {
        try {
            PostgresStore store(connection, "node-1");
        } catch (const StoreError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    { PostgresStore store(m_server->connection(), "node-1"); }
    const int newer = PostgresStore::schemaVersion + 1;
    postgresValue("INSERT INTO schema_version VALUES (" + std::to_string(newer) + ")");
    std::string error = openError(m_server->connection());
    EXPECT_NE(error.find("Store PostgreSQL database kst on 127.0.0.1:"), std::string::npos) << error;
    EXPECT_NE(error.find("schema version " + std::to_string(newer) + " is newer than this program's " +
                         std::to_string(PostgresStore::schemaVersion)),
              std::string::npos)
        << error;

    // Nobody listens there; the password is not repeated.
    const std::string nowhere = "host=127.0.0.1 port=1 dbname=queue user=kst password=secret";
    error = openError(nowhere);
    EXPECT_NE(error.find("Store PostgreSQL database queue on 127.0.0.1:1: cannot connect: "), std::string::npos)
        << error;
    EXPECT_EQ(error.find("secret"), std::string::npos) << error;

    error = openError("host=127.0.0.1 nonsense");
    EXPECT_NE(error.find("Store: invalid Store/Connection: "), std::string::npos) << error;
}

}  // namespace

TEST(ReconnectBackoffTest, DoublesThePauseAfterEachFailedAttemptUpToItsBound) {
    std::vector<long> pauses;
    for (int failures = 0; failures < 8; ++failures) pauses.push_back(ReconnectBackoff::pauseAfter(failures).count());
    EXPECT_EQ(pauses, (std::vector<long>{500, 1000, 2000, 4000, 8000, 10000, 10000, 10000}));
    EXPECT_EQ(ReconnectBackoff::pauseAfter(1000).count(), 10000);
}

TEST_F(PostgresStoreTest, TellsTheLossOfTheDatabaseOnceAndItsReturnWithTheTimeAway) {
    PostgresStore store(m_server->connection(), "node-1");
    EXPECT_TRUE(store.takeEvents().empty());
    m_server->stop();
    int failures = 0;
    const auto stopped = std::chrono::steady_clock::now();
    // Operations during the pauses between attempts fail at once.
    while (std::chrono::steady_clock::now() - stopped < std::chrono::milliseconds(1200)) {
        try {
            store.queuedCount();
            ADD_FAILURE() << "counted without a server";
        } catch (const StoreError& e) {
            EXPECT_TRUE(e.unavailable()) << e.what();
            EXPECT_NE(std::string(e.what()).find("Connection refused"), std::string::npos) << e.what();
            ++failures;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(failures, 10);
    std::vector<StoreEvent> events = store.takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, 'e');
    EXPECT_NE(events[0].record.find("ERROR: Store PostgreSQL database kst on 127.0.0.1:"), std::string::npos);
    EXPECT_NE(events[0].record.find(": connection lost: "), std::string::npos) << events[0].record;
    m_server->start();
    EXPECT_EQ(eventually([&] { return store.queuedCount(); }), 0);
    events = store.takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, 'i');
    EXPECT_NE(events[0].record.find(": connected again after "), std::string::npos) << events[0].record;
    EXPECT_NE(events[0].record.find(" s away"), std::string::npos) << events[0].record;
}

TEST_F(PostgresStoreTest, ANodeNameIsHeldByOneRunningStoreAndFreedWithItsConnection) {
    auto first = std::make_unique<PostgresStore>(m_server->connection(), "gw-1");
    PostgresStore other(m_server->connection(), "gw-2");
    try {
        PostgresStore twin(m_server->connection(), "gw-1");
        ADD_FAILURE() << "a second store of node gw-1";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("node gw-1 is in use by another running daemon"), std::string::npos)
            << e.what();
    }
    // A daemon killed with kill -9: the server ends its connection, and
    // with it the lock.
    postgresValue(
        "SELECT pg_terminate_backend(pid) FROM pg_locks WHERE locktype = 'advisory' AND objsubid = 1"
        " AND ((classid::BIGINT << 32) | objid::BIGINT) = hashtextextended('gw-1', 1852793957)");
    PostgresStore restarted(m_server->connection(), "gw-1");
    EXPECT_EQ(restarted.queuedCount(), 0);
    // The first one, back from what looked like its death, finds its name
    // taken and says so.
    try {
        first->queuedCount();
        ADD_FAILURE() << "node gw-1 twice";
    } catch (const StoreError& e) {
        EXPECT_TRUE(e.unavailable());
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::string refusal;
    while (refusal.empty() && std::chrono::steady_clock::now() < until) {
        try {
            first->queuedCount();
        } catch (const StoreError& e) {
            if (std::string(e.what()).find("is in use") != std::string::npos) refusal = e.what();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(refusal.find("node gw-1 is in use by another running daemon"), std::string::npos) << refusal;
    EXPECT_EQ(other.queuedCount(), 0);
}

TEST_F(PostgresStoreTest, RecordsMadeWhileTheDatabaseIsAwayAreWrittenOnceInOrderWhenItIsBack) {
    PostgresStore store(m_server->connection(), "node-1");
    DeferredRecords deferred(store);
    std::vector<Sms> queued = messages("m", 2);
    store.enqueue(queued);
    const uint64_t first = queued[0].id();
    const uint64_t second = queued[1].id();
    const time_t now = time(nullptr);
    EXPECT_TRUE(deferred.record([=](Store& s) { s.markSubmitted(first, "Sender thread(EMI)", 1, 0, now); }));
    m_server->stop();
    EXPECT_FALSE(deferred.record([=](Store& s) { s.markSubmitted(second, "Sender thread(EMI)", 2, 0, now); }));
    SmscResult acknowledged;
    acknowledged.id = first;
    acknowledged.acknowledged = true;
    acknowledged.sysMsg = "key-1";
    acknowledged.at = now;
    SmscResult refused;
    refused.id = second;
    refused.errorCode = 24;
    refused.final = true;
    refused.at = now;
    std::vector<SmscResult> results{acknowledged, refused};
    EXPECT_FALSE(deferred.record([results](Store& s) { s.recordResults(results); }));
    EXPECT_EQ(deferred.waiting(), 2u);
    EXPECT_EQ(deferred.flush(), 0u);
    m_server->start();
    EXPECT_EQ(eventually([&] {
                  const size_t written = deferred.flush();
                  if (deferred.waiting() > 0) throw StoreError("still away", true);
                  return written;
              }),
              2u);
    EXPECT_EQ(deferred.flush(), 0u);
    MessageRecord record;
    ASSERT_TRUE(store.findMessage(first, record));
    EXPECT_EQ(record.outcome, "acknowledged");
    ASSERT_TRUE(store.findMessage(second, record));
    EXPECT_EQ(record.outcome, "refused");
    EXPECT_EQ(record.errorCode, 24);
    EXPECT_EQ(store.requeueUnacknowledged(), 0);
}
