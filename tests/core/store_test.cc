// The SQLite store and the send queue kept in it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "core_support.h"
#include "sqlite_store.h"
#include "stored_queue.h"

using namespace coretest;

namespace {

class StoreTest : public ::testing::Test {
protected:
    std::string path() const { return m_scratch.file("kstd.db"); }

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
};

TEST_F(StoreTest, EnqueueGivesIdsAndKeepsOrderAcrossReopening) {
    std::vector<Sms> batch = messages("m", 5);
    {
        SqliteStore store(path(), false);
        store.enqueue(batch);
        for (size_t i = 0; i < batch.size(); ++i) {
            EXPECT_GT(batch[i].id(), 0u);
            if (i > 0) {
                EXPECT_GT(batch[i].id(), batch[i - 1].id());
            }
        }
        EXPECT_EQ(store.queuedCount(), 5);
    }
    SqliteStore store(path(), true);
    int64_t position = Store::queueStart;
    std::vector<Sms> first = store.nextQueued(position, 3);
    EXPECT_EQ(texts(first), (std::vector<std::string>{"m0", "m1", "m2"}));
    EXPECT_EQ(first[1].id(), batch[1].id());
    EXPECT_STREQ(first[1].target(), "+420100001");
    EXPECT_TRUE(first[1].onDisplay());
    EXPECT_EQ(texts(store.nextQueued(position, 3)), (std::vector<std::string>{"m3", "m4"}));
    EXPECT_TRUE(store.nextQueued(position, 3).empty());
}

TEST_F(StoreTest, StoredQueueKeepsOrderBeyondItsWindow) {
    const int count = static_cast<int>(SmsQueStored::windowBatch) * 2 + 10;
    SqliteStore store(path(), false);
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
    SmsQueStored reopened(store, nullptr, m_stop);
    EXPECT_EQ(reopened.size(), count);
    std::vector<std::string> all = drain(reopened);
    ASSERT_EQ(all.size(), static_cast<size_t>(count));
    EXPECT_EQ(all.front(), "a0");
    all.erase(all.begin());
    EXPECT_EQ(all, expected);
    EXPECT_EQ(reopened.size(), 0);
}

TEST_F(StoreTest, RecoveryRequeuesUnacknowledgedAndKeepsAwaitedNotifications) {
    std::vector<Sms> batch = messages("r", 6, "a@example.org");
    std::vector<Sms> plain = messages("p", 1);
    {
        SqliteStore store(path(), false);
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
    SqliteStore store(path(), false);
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

TEST_F(StoreTest, OpensAFileOfTheFirstSchemaVersion) {
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
    SqliteStore store(path(), false);
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

TEST_F(StoreTest, KeepsConfirmationsAndReceivedMessagesUntilTheyAreDone) {
    std::vector<Sms> batch = messages("c", 3, "a@example.org");
    std::vector<StoredConfirmation> made(3);
    uint64_t waiting = 0;
    uint64_t processed = 0;
    {
        SqliteStore store(path(), false);
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
        SqliteStore store(path(), false);
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
    rawSqlExpect(
        "SELECT (SELECT COUNT(*) FROM confirmation) || ' ' || (SELECT COUNT(*) FROM received) || ' ' ||"
        " (SELECT COUNT(*) FROM received_variable)",
        "1 1 3");
}

TEST_F(StoreTest, RefusesWhatItCannotUse) {
    { SqliteStore store(path(), false); }
    rawSql("INSERT INTO schema_version VALUES (3)");
    std::string error = openError(path());
    EXPECT_NE(error.find(path()), std::string::npos) << error;
    EXPECT_NE(error.find("schema version 3 is newer than this program's 2"), std::string::npos) << error;

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
