// The confirmation templates and the e-mailer thread, delivering to a real
// SMTP server (aiosmtpd) on loopback.
#include <time.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "counters.h"
#include "emailer.h"
#include "logger.h"
#include "modem_confirmation.h"
#include "peers.h"
#include "sqlite_store.h"

using smtptest::MailServer;
using smtptest::ScriptedPeer;
using std::chrono::milliseconds;

namespace {

const char* const kSubject = "Zprava byla odeslana";
const char* const kBody = "Vase zprava na %DA% byla odeslana %DATE% v %TIME%.%LF%%LF%%UD%";

// The next confirmation of an e-mailer whose thread never started.
Confirmation takeFrontUnstarted(Emailer& emailer) { return emailer.get(); }

// One record of the error log: its time and its text.
struct Record {
    long long milliseconds;
    std::string type;
    std::string text;
};

class EmailerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_scratch = std::make_unique<testsupport::ScratchDir>(SMTP_TEST_WORK_DIR, "work-emailer-");
        m_dir = m_scratch->path();
        m_logPath = m_dir + "/error.log";
        m_log = std::make_unique<Logger>("ErrorLog", m_logPath.c_str());
    }

    void TearDown() override {
        // Also after a failed assertion: the thread must end before its object.
        if (m_emailer) stop(*m_emailer);
        m_emailer.reset();
        m_log.reset();
        m_scratch.reset();
    }

    // An e-mailer for the server on `port`, named like the daemon's, not
    // started yet.
    Emailer* makeEmailer(unsigned short port, const char* subject = kSubject, const char* body = kBody) {
        m_emailer = std::make_unique<Emailer>("127.0.0.1", std::to_string(port), "kstd@localhost", subject, body,
                                              m_log.get(), m_counters, m_stop);
        m_emailer->SetName("Emailer thread");
        return m_emailer.get();
    }

    // Stops the thread the way the daemon does and lets it go.
    void stop(Emailer& emailer) {
        m_stop.requestStop();
        emailer.wakeUp();
        emailer.Join();
    }

    std::vector<Record> records() const {
        std::vector<Record> result;
        for (const std::string& line : smtptest::readLines(m_logPath)) {
            struct tm when = {};
            const char* rest = strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &when);
            const size_t dash = line.find(" - ");
            if (rest == nullptr || *rest != ',' || dash == std::string::npos) continue;
            const long long ms = static_cast<long long>(timegm(&when)) * 1000 + atoi(rest + 1);
            std::string type = line.substr(24, dash - 24);
            type.erase(type.find_last_not_of(' ') + 1);
            result.push_back(Record{ms, type, line.substr(dash + 3)});
        }
        return result;
    }

    bool waitForRecords(size_t count, milliseconds limit = std::chrono::seconds(30)) const {
        return smtptest::waitFor([&] { return records().size() >= count; }, limit);
    }

    std::unique_ptr<testsupport::ScratchDir> m_scratch;
    std::string m_dir;
    std::string m_logPath;
    std::unique_ptr<Logger> m_log;
    // What the daemon's Gateway hands the e-mailer besides the error log.
    StopSignal m_stop;
    Counters m_counters;
    std::unique_ptr<Emailer> m_emailer;
};

}  // namespace

TEST(ConfirmationTemplate, PlaceholdersAreFilledPassByPass) {
    Confirmation confirmation("777123456", "Ahoj", "7.12.2004", "14:3:9", "alice@example.org");
    EXPECT_EQ(confirmation.applyTemplate(kBody), "Vase zprava na 777123456 byla odeslana 7.12.2004 v 14:3:9.\n\nAhoj");
    EXPECT_EQ(confirmation.applyTemplate("no placeholders %XX% % %%"), "no placeholders %XX% % %%");
    EXPECT_EQ(confirmation.applyTemplate("%LF%%LF%"), "\n\n");
    EXPECT_EQ(confirmation.applyTemplate(""), "");
    EXPECT_EQ(confirmation.applyTemplate("%DA%%DA%-%TIME%%DATE%"), "777123456777123456-14:3:97.12.2004");

    // The text is inserted once even when it holds its own placeholder; a
    // later pass still replaces what it brought in, an earlier one does not.
    Confirmation tricky("%UD%", "a %UD% b %DA% c %LF% d %TIME%", "%LF%", "t", "e");
    EXPECT_EQ(tricky.applyTemplate("[%UD%]"), "[a %UD% b %DA% c \n d t]");
    EXPECT_EQ(tricky.applyTemplate("[%DA%]"), "[a %UD% b %DA% c \n d t]");
    EXPECT_EQ(tricky.applyTemplate("%DATE%"), "\n");

    // Null strings are empty.
    Confirmation empty(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(empty.applyTemplate(kBody), "Vase zprava na  byla odeslana  v .\n\n");
    EXPECT_EQ(Confirmation().m_count, 0);
}

TEST_F(EmailerTest, QueueTakesFromTheFront) {
    Emailer emailer("127.0.0.1", "25", "kstd@localhost", kSubject, kBody, m_log.get(), m_counters, m_stop);
    Confirmation first("1", "one", "d", "t", "a@example.org");
    Confirmation second("2", "two", "d", "t", "a@example.org");
    second.m_count = 2;
    EXPECT_TRUE(emailer.enque(first));
    EXPECT_TRUE(emailer.enque(second));
    EXPECT_EQ(emailer.size(), 2);
    EXPECT_EQ(takeFrontUnstarted(emailer).m_da, "1");
    const Confirmation b = takeFrontUnstarted(emailer);
    EXPECT_EQ(b.m_da, "2");
    EXPECT_EQ(b.m_count, 2);
    EXPECT_EQ(emailer.size(), 0);
}

TEST_F(EmailerTest, ModemConfirmationArrivesWithTheDefaultTemplates) {
    MailServer server;
    Emailer* emailer = makeEmailer(server.port());
    const long sentBefore = m_counters.sentConfirmations;
    emailer->Start();

    Confirmation confirmation =
        modemConfirmation("+420777123456", "Ahoj, jak se mas?", 4, 12, 7, 14, 3, 9, "alice@example.org");
    emailer->enque(confirmation);
    ASSERT_TRUE(server.waitForMails(1));
    ASSERT_TRUE(
        smtptest::waitFor([&] { return m_counters.sentConfirmations == sentBefore + 1; }, std::chrono::seconds(20)));
    stop(*emailer);

    const MailServer::Mail mail = server.mails().at(0);
    EXPECT_EQ(mail.from, "kstd@localhost");
    EXPECT_EQ(mail.recipients, std::vector<std::string>{"alice@example.org"});
    EXPECT_NE(mail.content.find("\r\nSubject: Zprava byla odeslana\r\n"), std::string::npos) << mail.content;
    const size_t bodyStart = mail.content.find("\r\n\r\n");
    ASSERT_NE(bodyStart, std::string::npos);
    EXPECT_EQ(mail.content.substr(bodyStart + 4),
              "Vase zprava na +420777123456 byla odeslana 7.12.2004 v 14:3:9.\r\n\r\nAhoj, jak se mas?\r\n");

    const std::vector<Record> log = records();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].type, "INFO");
    EXPECT_EQ(log[0].text, "Confirmation for '+420777123456' was sent to 'alice@example.org' successfuly");
    EXPECT_EQ(emailer->size(), 0);
}

TEST_F(EmailerTest, TemplateChangesAndLineBreaksInValues) {
    MailServer server;
    Emailer* emailer = makeEmailer(server.port(), "Zprava pro %DA%");
    emailer->Start();

    // The destination address comes from a client: its line breaks must not
    // start a header of their own.
    Confirmation confirmation("777\r\nBcc: evil@example.org", "text", "1.1.2004", "1:2:3", "alice@example.org");
    emailer->enque(confirmation);
    ASSERT_TRUE(server.waitForMails(1));
    // A template changed while the thread runs is used from the next e-mail.
    emailer->setSubjectTemplate("Doruceno %DATE%");
    emailer->setBodyTemplate("%UD%");
    Confirmation next("778", "second", "2.1.2004", "1:2:3", "alice@example.org");
    emailer->enque(next);
    ASSERT_TRUE(server.waitForMails(2));
    stop(*emailer);

    const std::vector<MailServer::Mail> mails = server.mails();
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{"alice@example.org"});
    const std::string header = mails[0].content.substr(0, mails[0].content.find("\r\n\r\n") + 2);
    EXPECT_NE(header.find("\r\nSubject: Zprava pro 777Bcc: evil@example.org\r\n"), std::string::npos) << header;
    EXPECT_EQ(header.find("\nBcc:"), std::string::npos);
    EXPECT_NE(mails[1].content.find("\r\nSubject: Doruceno 2.1.2004\r\n"), std::string::npos);
    EXPECT_EQ(mails[1].content.substr(mails[1].content.find("\r\n\r\n") + 4), "second\r\n");
}

TEST_F(EmailerTest, TemporarilyRefusedConfirmationIsTriedThreeTimesThenDropped) {
    MailServer server("", "defer");
    Emailer* emailer = makeEmailer(server.port());
    emailer->setRetryPause(milliseconds(300));
    const long sentBefore = m_counters.sentConfirmations;
    emailer->Start();

    Confirmation deferred("777", "text", "1.1.2004", "1:2:3", "defer@example.org");
    emailer->enque(deferred);
    ASSERT_TRUE(waitForRecords(4));
    stop(*emailer);

    const std::string failure =
        "Confirmation for '777' sent failed to 'defer@example.org', reason: Invalid answer \"450 4.2.1 "
        "<defer@example.org>: Mailbox busy, try again later\"";
    const std::vector<Record> log = records();
    ASSERT_EQ(log.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].type, "ERROR");
        EXPECT_EQ(log[i].text, failure);
    }
    EXPECT_EQ(log[3].type, "INFO");
    EXPECT_EQ(log[3].text, "Confirmation for '777' sent failed three times. Removing it from the que.");
    // Each retry waits for the pause.
    EXPECT_GE(log[1].milliseconds - log[0].milliseconds, 300);
    EXPECT_GE(log[2].milliseconds - log[1].milliseconds, 300);

    EXPECT_EQ(server.rcptLog(), std::vector<std::string>(3, "defer@example.org"));
    EXPECT_TRUE(server.mails().empty());
    EXPECT_EQ(m_counters.sentConfirmations, sentBefore);
    EXPECT_EQ(emailer->size(), 0);
}

// Each stored confirmation is marked in the store before the e-mailer
// forgets it: mailed, or given up with its failed attempts; a new e-mailer
// gets nothing of them again.
TEST_F(EmailerTest, StoredConfirmationsAreMarkedMailedOrGivenUp) {
    MailServer server("", "defer");
    const std::string path = m_dir + "/kstd.db";
    {
        SqliteStore store(path, false);
        std::vector<Sms> messages{Sms("777", "", "deferred", "ip", false, "defer@example.org"),
                                  Sms("778", "", "mailed", "ip", false, "bob@example.org")};
        store.enqueue(messages);
        std::vector<Confirmation> made{Confirmation("777", "deferred", "1.1.2004", "1:2:3", "defer@example.org"),
                                       Confirmation("778", "mailed", "1.1.2004", "1:2:4", "bob@example.org")};
        for (size_t i = 0; i < made.size(); ++i) {
            store.markSubmitted(messages[i].id(), "Sender thread(EMI)", 1, 0, time(nullptr));
            store.markAcknowledged(messages[i].id(), "k", true, time(nullptr));
            StoredConfirmation stored = made[i].stored();
            store.markNotifiedAndConfirm(messages[i].id(), 0, time(nullptr), stored);
            made[i].m_storeId = stored.id;
        }
        ASSERT_EQ(store.pendingConfirmations().size(), 2u);

        Emailer* emailer = makeEmailer(server.port());
        emailer->setStore(&store);
        emailer->setRetryPause(milliseconds(200));
        emailer->Start();
        for (Confirmation& confirmation : made) emailer->enque(confirmation);
        ASSERT_TRUE(smtptest::waitFor([&] { return store.pendingConfirmations().empty(); }, std::chrono::seconds(30)));
        stop(*emailer);
        m_emailer.reset();
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* select = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT destination, outcome, failures FROM confirmation ORDER BY id", -1, &select,
                                 nullptr),
              SQLITE_OK);
    std::vector<std::string> rows;
    while (sqlite3_step(select) == SQLITE_ROW) {
        rows.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(select, 0))) + " " +
                       reinterpret_cast<const char*>(sqlite3_column_text(select, 1)) + " " +
                       std::to_string(sqlite3_column_int(select, 2)));
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    EXPECT_EQ(rows, (std::vector<std::string>{"777 given up 3", "778 mailed 0"}));
    EXPECT_EQ(server.mails().size(), 1u);
}

TEST_F(EmailerTest, RefusedConfirmationsHoldUpNoneBehindThem) {
    // One address refused permanently, one refused twice for now, and ten
    // confirmations that go through, all queued at once.
    MailServer server("refuse", "defer", 2);
    Emailer* emailer = makeEmailer(server.port());
    emailer->setRetryPause(milliseconds(1000));
    const long sentBefore = m_counters.sentConfirmations;

    Confirmation refused("700", "refused", "1.1.2004", "1:2:3", "refuse@example.org");
    Confirmation deferred("701", "deferred", "1.1.2004", "1:2:3", "defer@example.org");
    emailer->enque(refused);
    emailer->enque(deferred);
    std::vector<std::string> others;
    for (int i = 1; i <= 10; ++i) {
        others.push_back("bob" + std::to_string(i) + "@example.org");
        Confirmation other(std::to_string(710 + i).c_str(), "other", "1.1.2004", "1:2:3", others.back().c_str());
        emailer->enque(other);
    }
    EXPECT_EQ(emailer->size(), 12);
    emailer->Start();
    ASSERT_TRUE(server.waitForMails(11));
    // 11 sent, 1 refused, 2 failed attempts and the permanent refusal's own record.
    ASSERT_TRUE(waitForRecords(15));
    stop(*emailer);

    // The refused address is named once, the deferred one three times, and
    // every other one once, in order, right after the first two: none waited
    // for a retry.
    const std::vector<std::string> rcpts = server.rcptLog();
    ASSERT_EQ(rcpts.size(), 14u);
    EXPECT_EQ(rcpts[0], "refuse@example.org");
    EXPECT_EQ(rcpts[1], "defer@example.org");
    std::vector<std::string> rest;
    for (size_t i = 2; i < rcpts.size(); ++i) {
        if (rcpts[i] != "defer@example.org") rest.push_back(rcpts[i]);
    }
    EXPECT_EQ(rest, others);
    EXPECT_EQ(rcpts[2], others[0]);
    EXPECT_EQ(std::count(rcpts.begin(), rcpts.end(), "defer@example.org"), 3);

    const std::vector<Record> log = records();
    ASSERT_EQ(log.size(), 15u);
    EXPECT_EQ(log[0].type, "ERROR");
    EXPECT_EQ(log[0].text,
              "Confirmation for '700' sent failed to 'refuse@example.org', reason: Invalid answer \"550 5.1.1 "
              "<refuse@example.org>: Recipient address rejected\"");
    EXPECT_EQ(log[1].type, "INFO");
    EXPECT_EQ(log[1].text,
              "Confirmation for '700' was refused permanently by the mail server (550 5.1.1 "
              "<refuse@example.org>: Recipient address rejected). Removing it from the que.");
    std::vector<Record> deferredRecords;
    int othersSent = 0;
    for (const Record& record : log) {
        if (record.text.find("Confirmation for '701'") == 0) deferredRecords.push_back(record);
        if (record.text.find(" to 'bob") != std::string::npos && record.type == "INFO") ++othersSent;
        EXPECT_EQ(record.text.find("three times"), std::string::npos) << record.text;
    }
    EXPECT_EQ(othersSent, 10);
    ASSERT_EQ(deferredRecords.size(), 3u);
    EXPECT_EQ(deferredRecords[0].type, "ERROR");
    EXPECT_NE(deferredRecords[0].text.find("reason: Invalid answer \"450 4.2.1 "), std::string::npos);
    EXPECT_EQ(deferredRecords[2].text, "Confirmation for '701' was sent to 'defer@example.org' successfuly");
    // Its own retries waited for the pause.
    EXPECT_GE(deferredRecords[1].milliseconds - deferredRecords[0].milliseconds, 1000);
    EXPECT_GE(deferredRecords[2].milliseconds - deferredRecords[1].milliseconds, 1000);

    EXPECT_EQ(m_counters.sentConfirmations, sentBefore + 11);
    EXPECT_EQ(emailer->size(), 0);
    std::vector<std::string> mailed;
    for (const MailServer::Mail& mail : server.mails()) mailed.push_back(mail.recipients.at(0));
    EXPECT_EQ(std::count(mailed.begin(), mailed.end(), "defer@example.org"), 1);
    EXPECT_EQ(std::count(mailed.begin(), mailed.end(), "refuse@example.org"), 0);
}

TEST_F(EmailerTest, UnusableServerHoldsEveryConfirmationDuringThePause) {
    // The server closes its service three times (421 at the greeting), then
    // accepts mail.
    const std::string closing = "send 421 4.3.2 Service shutting down\n";
    const std::string accepting =
        "send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 250 ok\nrecv\nsend 354 go\ndata\n"
        "send 250 queued\nrecv\nsend 221 bye\n";
    ScriptedPeer peer({closing, closing, closing, accepting}, 4, 2);
    Emailer* emailer = makeEmailer(peer.port());
    emailer->setRetryPause(milliseconds(300));
    const long sentBefore = m_counters.sentConfirmations;

    Confirmation first("777", "first", "1.1.2004", "1:2:3", "alice@example.org");
    Confirmation second("778", "second", "1.1.2004", "1:2:4", "bob@example.org");
    emailer->enque(first);
    emailer->enque(second);
    emailer->Start();
    ASSERT_TRUE(waitForRecords(5));
    ASSERT_TRUE(peer.waitEnd());
    stop(*emailer);

    // The second was not tried while the server could not be used: it did
    // not lose attempts of its own.
    const std::vector<Record> log = records();
    ASSERT_EQ(log.size(), 5u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].text,
                  "Confirmation for '777' sent failed to 'alice@example.org', reason: Invalid answer \"421 4.3.2 "
                  "Service shutting down\"");
    }
    EXPECT_EQ(log[3].text, "Confirmation for '777' sent failed three times. Removing it from the que.");
    EXPECT_EQ(log[4].text, "Confirmation for '778' was sent to 'bob@example.org' successfuly");
    EXPECT_GE(log[1].milliseconds - log[0].milliseconds, 300);
    EXPECT_GE(log[2].milliseconds - log[1].milliseconds, 300);
    EXPECT_GE(log[4].milliseconds - log[3].milliseconds, 300);
    EXPECT_EQ(peer.received(4).at(2), "RCPT TO: <bob@example.org>\\r\\n");
    EXPECT_EQ(m_counters.sentConfirmations, sentBefore + 1);
}

TEST_F(EmailerTest, ShutdownEndsThePauseAfterAFailure) {
    MailServer server("", "defer");
    // The daemon's own pause of a minute.
    Emailer* emailer = makeEmailer(server.port());
    emailer->Start();
    Confirmation refused("777", "text", "1.1.2004", "1:2:3", "defer@example.org");
    emailer->enque(refused);
    ASSERT_TRUE(waitForRecords(1));

    // The flag alone ends the pause, without a wake-up.
    std::atomic<bool> joined{false};
    m_stop.requestStop();
    std::thread joiner([&] {
        emailer->Join();
        joined = true;
    });
    const bool ended = smtptest::waitFor([&] { return joined.load(); }, std::chrono::seconds(10));
    if (!ended) emailer->wakeUp();
    joiner.join();
    EXPECT_TRUE(ended) << "the pause went on after the shutdown";
    EXPECT_EQ(server.rcptLog().size(), 1u);
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(EmailerTest, ShutdownWakeUpIsNeverLost) {
    // The flag and the wake-up come at every moment of the thread's start:
    // before it looks at the queue, while it goes to wait, while it waits.
    for (int round = 0; round < 40; ++round) {
        m_stop.reset();
        Emailer emailer("127.0.0.1", "25", "kstd@localhost", kSubject, kBody, m_log.get(), m_counters, m_stop);
        emailer.SetName("Emailer thread");
        emailer.Start();
        if (round % 4 != 0) std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
        stop(emailer);
    }
    // Stopped before it ever started.
    Emailer early("127.0.0.1", "25", "kstd@localhost", kSubject, kBody, m_log.get(), m_counters, m_stop);
    m_stop.requestStop();
    early.wakeUp();
    early.Start();
    early.Join();
}
