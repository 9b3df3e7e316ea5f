// The sent-message registry: entries, the owner rule, the walks the senders
// make, and its use from two threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core_support.h"
#include "sent_message.h"

using namespace coretest;

namespace {

const time_t eightDays = 8 * 24 * 3600;

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() : m_emi("Sender thread(EMI)", m_parts.context()), m_me("Sender thread(ME)", m_parts.context()) {}

    SentMessage entry(const SmsSender* owner, const std::string& text, unsigned char reference, int counter = 0,
                      const std::string& mailTo = "", time_t age = 0) {
        SentMessage made(Sms(std::string("+420600000001"), "", text, "10.0.0.1", false, mailTo), reference, counter,
                         owner);
        made.m_timestamp -= age;
        return made;
    }

    std::vector<std::string> texts(const SmsSender* owner = nullptr) {
        std::vector<std::string> result;
        for (const SentMessage& e : m_registry.snapshot()) {
            if (owner == nullptr || e.m_owner == owner) result.push_back(e.m_sms.message());
        }
        return result;
    }

    TestParts m_parts;
    TestSender m_emi;
    TestSender m_me;
    SentMessageRegistry m_registry;
};

TEST_F(RegistryTest, NewEntry) {
    const time_t before = time(nullptr);
    Sms sms(std::string("+420600000001"), "src", "text", "10.0.0.1", true, "a@example.org");
    SentMessage made(sms, 42, 2, &m_emi);
    const time_t after = time(nullptr);
    EXPECT_STREQ(made.m_sms.message(), "text");
    EXPECT_STREQ(made.m_sms.mailTo(), "a@example.org");
    EXPECT_EQ(made.m_messageReference, 42);
    EXPECT_EQ(made.m_counter, 2);
    EXPECT_FALSE(made.m_acknowledged);
    EXPECT_TRUE(made.m_sysMsg.empty());
    EXPECT_GE(made.m_timestamp, before);
    EXPECT_LE(made.m_timestamp, after);
    EXPECT_EQ(made.m_owner, &m_emi);

    EXPECT_EQ(m_registry.size(), 0u);
    const uint64_t first = m_registry.append(made);
    const uint64_t second = m_registry.append(made);
    EXPECT_NE(first, second);
    EXPECT_EQ(m_registry.size(), 2u);
    EXPECT_EQ(m_registry.size(&m_emi), 2u);
    EXPECT_EQ(m_registry.size(&m_me), 0u);
    m_registry.clear();
    EXPECT_EQ(m_registry.size(), 0u);
}

// A result settles the entry that awaits its id, also when that id is an
// earlier submission's; a late result after the message was settled only
// releases the id.
TEST_F(RegistryTest, ResultsSettleTheEntryThatAwaitsTheirId) {
    m_registry.append(entry(&m_emi, "a", 7));
    m_registry.append(entry(&m_emi, "b", 8));
    m_registry.append(entry(&m_emi, "c", 9));
    std::vector<SentMessage> all = m_registry.snapshot();
    EXPECT_EQ(all[0].m_awaitedReferences, std::vector<unsigned char>{7});
    // "a" is submitted again with a fresh id; 7 still awaits its result.
    ASSERT_TRUE(m_registry.recordSubmission(all[0], 10, 1));
    all = m_registry.snapshot();
    EXPECT_EQ(all[0].m_messageReference, 10);
    EXPECT_EQ(all[0].m_counter, 1);
    EXPECT_EQ(all[0].m_awaitedReferences, (std::vector<unsigned char>{7, 10}));

    // The late result of the first submission settles "a".
    std::optional<SentMessage> acked = m_registry.acknowledge(&m_emi, 7, "600000001:070512153000");
    ASSERT_TRUE(acked);
    EXPECT_STREQ(acked->m_sms.message(), "a");
    EXPECT_TRUE(acked->m_acknowledged);
    EXPECT_EQ(acked->m_messageReference, 0);
    EXPECT_EQ(acked->m_sysMsg, "600000001:070512153000");
    EXPECT_EQ(acked->m_awaitedReferences, std::vector<unsigned char>{10});
    // The second submission's result releases its id and changes nothing.
    EXPECT_FALSE(m_registry.acknowledge(&m_emi, 10, "600000001:070512153001"));
    EXPECT_TRUE(m_registry.snapshot()[0].m_awaitedReferences.empty());
    EXPECT_EQ(m_registry.snapshot()[0].m_sysMsg, "600000001:070512153000");
    EXPECT_FALSE(m_registry.acknowledge(&m_emi, 7, "x"));
    EXPECT_FALSE(m_registry.acknowledge(&m_emi, 0, "x"));
    EXPECT_FALSE(m_registry.reject(&m_emi, 0));
    EXPECT_FALSE(m_registry.reject(&m_emi, 11));

    // A refusal while another submission of the message awaits its result
    // decides nothing; the last one does.
    ASSERT_TRUE(m_registry.recordSubmission(m_registry.snapshot()[1], 11, 1));
    EXPECT_FALSE(m_registry.reject(&m_emi, 8));
    EXPECT_EQ(texts(), (std::vector<std::string>{"a", "b", "c"}));
    std::optional<SentMessage> rejected = m_registry.reject(&m_emi, 11);
    ASSERT_TRUE(rejected);
    EXPECT_STREQ(rejected->m_sms.message(), "b");
    EXPECT_TRUE(rejected->m_awaitedReferences.empty());
    EXPECT_EQ(texts(), (std::vector<std::string>{"a", "c"}));

    // A retry waits in the entry; update() stores it.
    SentMessage c = m_registry.snapshot()[1];
    c.m_refusals = 1;
    c.m_retryAt = 12345;
    EXPECT_TRUE(m_registry.update(c));
    EXPECT_EQ(m_registry.snapshot()[1].m_retryAt, 12345);
    EXPECT_EQ(m_registry.count(&m_emi, [](const SentMessage& e) { return e.m_retryAt != 0; }), 1u);
    EXPECT_EQ(m_registry.count(&m_me, [](const SentMessage&) { return true; }), 0u);
    EXPECT_TRUE(m_registry.remove(c));
    EXPECT_FALSE(m_registry.update(c));
    EXPECT_FALSE(m_registry.recordSubmission(c, 12, 2));
}

// The scan of the SMSC sender: visit, remove the visited entry, resubmit it
// (which appends), and see the new entry later in the same walk.
TEST_F(RegistryTest, WalkToleratesRemovalAndAppendsDuringTheVisit) {
    m_registry.append(entry(&m_emi, "due", 1, 0, "", 20));
    m_registry.append(entry(&m_emi, "acked-plain", 2));
    m_registry.acknowledge(&m_emi, 2, "sys");
    m_registry.append(entry(&m_emi, "fresh", 3));

    std::vector<std::string> visits;
    m_registry.forEach(&m_emi, [&](const SentMessage& e, int number) {
        visits.push_back(std::to_string(number) + ":" + e.m_sms.message() + ":" + std::to_string(e.m_counter));
        if (!e.m_acknowledged && time(nullptr) - e.m_timestamp > 15) {
            EXPECT_TRUE(m_registry.remove(e));
            m_registry.append(SentMessage(e.m_sms, 4, e.m_counter + 1, &m_emi));
        } else if (e.m_acknowledged && *e.m_sms.mailTo() == '\0') {
            EXPECT_TRUE(m_registry.remove(e));
            EXPECT_FALSE(m_registry.remove(e));
        }
        return true;
    });
    EXPECT_EQ(visits, (std::vector<std::string>{"1:due:0", "2:acked-plain:0", "3:fresh:0", "4:due:1"}));
    EXPECT_EQ(texts(), (std::vector<std::string>{"fresh", "due"}));

    visits.clear();
    m_registry.forEach(&m_emi, [&](const SentMessage& e, int number) {
        visits.push_back(std::to_string(number) + ":" + e.m_sms.message());
        return false;
    });
    EXPECT_EQ(visits, (std::vector<std::string>{"1:fresh"}));
}

TEST_F(RegistryTest, MatchingRemovesStaleEntriesOnTheWayOnly) {
    m_registry.append(entry(&m_me, "stale1", 1, 0, "", eightDays));
    m_registry.append(entry(&m_me, "stale2", 2, 0, "", eightDays));
    m_registry.append(entry(&m_me, "young", 3, 0, "", 3600));
    m_registry.append(entry(&m_me, "hit", 4, 0, "a@example.org"));
    m_registry.append(entry(&m_me, "stale-after", 5, 0, "", eightDays));
    m_registry.append(entry(&m_me, "hit-again", 4, 0, "b@example.org"));

    auto reference4 = [](const SentMessage& e) { return e.m_messageReference == 4; };
    std::optional<SentMessage> taken = m_registry.takeMatching(&m_me, reference4);
    ASSERT_TRUE(taken);
    EXPECT_STREQ(taken->m_sms.message(), "hit");
    EXPECT_STREQ(taken->m_sms.mailTo(), "a@example.org");
    EXPECT_EQ(texts(), (std::vector<std::string>{"young", "stale-after", "hit-again"}));

    taken = m_registry.takeMatching(&m_me, [](const SentMessage&) { return false; });
    EXPECT_FALSE(taken);
    EXPECT_EQ(texts(), (std::vector<std::string>{"young", "hit-again"}));

    // Exactly seven days is not older than seven days.
    m_registry.append(entry(&m_emi, "seven-days", 6, 0, "", SentMessageRegistry::staleAge - 1));
    m_registry.acknowledge(&m_emi, 6, "600000001:010101000000");
    taken = m_registry.takeBySysMsg(&m_emi, "600000001:999999999999");
    EXPECT_FALSE(taken);
    taken = m_registry.takeBySysMsg(&m_emi, "600000001:010101000000");
    ASSERT_TRUE(taken);
    EXPECT_STREQ(taken->m_sms.message(), "seven-days");
}

TEST_F(RegistryTest, GivingUpTakesOnlyOutstandingEntries) {
    m_registry.append(entry(&m_emi, "one", 1));
    m_registry.append(entry(&m_emi, "acked", 2, 0, "a@example.org"));
    m_registry.acknowledge(&m_emi, 2, "sys");
    m_registry.append(entry(&m_emi, "two", 3, 2));
    m_registry.append(entry(&m_emi, "three", 4));

    std::vector<SentMessage> returned = m_registry.takeUnacknowledged(&m_emi);
    ASSERT_EQ(returned.size(), 3u);
    EXPECT_STREQ(returned[0].m_sms.message(), "one");
    EXPECT_STREQ(returned[1].m_sms.message(), "two");
    EXPECT_STREQ(returned[2].m_sms.message(), "three");
    EXPECT_EQ(texts(), (std::vector<std::string>{"acked"}));
    EXPECT_TRUE(m_registry.takeUnacknowledged(&m_emi).empty());
}

// Entries of both senders side by side, with the same references and ages:
// every operation of one sender leaves the other's entries alone.
TEST_F(RegistryTest, EachSenderTouchesOnlyItsOwnEntries) {
    m_registry.append(entry(&m_me, "me-7", 7, 0, "me@example.org"));
    m_registry.append(entry(&m_emi, "emi-7", 7));
    m_registry.append(entry(&m_me, "me-stale", 9, 0, "", eightDays));
    m_registry.append(entry(&m_emi, "emi-stale", 9, 0, "", eightDays));
    m_registry.append(entry(&m_me, "me-8", 8, 0, "me@example.org"));
    m_registry.append(entry(&m_emi, "emi-8", 8));
    EXPECT_EQ(m_registry.size(&m_me), 3u);
    EXPECT_EQ(m_registry.size(&m_emi), 3u);

    std::optional<SentMessage> acked = m_registry.acknowledge(&m_emi, 7, "sys-7");
    ASSERT_TRUE(acked);
    EXPECT_STREQ(acked->m_sms.message(), "emi-7");
    std::optional<SentMessage> rejected = m_registry.reject(&m_emi, 8);
    ASSERT_TRUE(rejected);
    EXPECT_STREQ(rejected->m_sms.message(), "emi-8");

    std::vector<std::string> seen;
    m_registry.forEach(&m_emi, [&](const SentMessage& e, int) {
        seen.push_back(e.m_sms.message());
        return true;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"emi-7", "emi-stale"}));

    // The SMSC sender's notification lookup walks nothing and touches no
    // other entry.
    EXPECT_FALSE(m_registry.takeBySysMsg(&m_emi, "no-such"));
    EXPECT_EQ(texts(&m_me), (std::vector<std::string>{"me-7", "me-stale", "me-8"}));
    EXPECT_EQ(texts(&m_emi), (std::vector<std::string>{"emi-7", "emi-stale"}));

    // Giving up the SMSC connection returns none of the modem's entries.
    m_registry.append(entry(&m_emi, "emi-outstanding", 10));
    std::vector<SentMessage> returned = m_registry.takeUnacknowledged(&m_emi);
    ASSERT_EQ(returned.size(), 2u);
    EXPECT_STREQ(returned[0].m_sms.message(), "emi-stale");
    EXPECT_STREQ(returned[1].m_sms.message(), "emi-outstanding");
    EXPECT_EQ(texts(&m_me), (std::vector<std::string>{"me-7", "me-stale", "me-8"}));

    // The modem's status report with reference 7 finds its own entry, past
    // the SMSC sender's acknowledged one.
    std::optional<SentMessage> reported =
        m_registry.takeMatching(&m_me, [](const SentMessage& e) { return e.m_messageReference == 7; });
    ASSERT_TRUE(reported);
    EXPECT_STREQ(reported->m_sms.message(), "me-7");
    EXPECT_FALSE(m_registry.acknowledge(&m_me, 7, "x"));
    EXPECT_EQ(texts(&m_emi), (std::vector<std::string>{"emi-7"}));
    EXPECT_TRUE(m_registry.takeBySysMsg(&m_emi, "sys-7"));
    EXPECT_EQ(m_registry.size(&m_emi), 0u);
    EXPECT_EQ(texts(), (std::vector<std::string>{"me-stale", "me-8"}));
}

// Two sender threads working on the senders' shared registry and counters
// at once: no entry and no count may get lost.
// The lookups a sender pass and a notification use, and the sweep of
// acknowledged entries whose notification never came.
TEST_F(RegistryTest, LookupsAndExpiryOfAcknowledgedEntries) {
    m_registry.append(entry(&m_emi, "old-acked", 1, 0, "a@example.org", 3600));
    m_registry.append(entry(&m_emi, "open", 2));
    m_registry.append(entry(&m_emi, "young-acked", 3, 0, "b@example.org"));
    m_registry.append(entry(&m_me, "me-open", 1));
    ASSERT_TRUE(m_registry.acknowledge(&m_emi, 1, "same:key"));
    ASSERT_TRUE(m_registry.acknowledge(&m_emi, 3, "same:key"));
    EXPECT_EQ(m_registry.countBySysMsg(&m_emi, "same:key"), 2u);
    EXPECT_EQ(m_registry.countBySysMsg(&m_me, "same:key"), 0u);

    std::vector<std::string> seen;
    m_registry.forEachUnacknowledged(&m_emi, [&](const SentMessage& e, int) {
        seen.push_back(e.m_sms.message());
        return true;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"open"}));

    std::vector<SentMessage> expired = m_registry.takeExpired(time(nullptr), 60);
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_STREQ(expired[0].m_sms.message(), "old-acked");
    EXPECT_EQ(m_registry.countBySysMsg(&m_emi, "same:key"), 1u);
    std::optional<SentMessage> taken = m_registry.takeBySysMsg(&m_emi, "same:key");
    ASSERT_TRUE(taken);
    EXPECT_STREQ(taken->m_sms.message(), "young-acked");
    EXPECT_EQ(texts(), (std::vector<std::string>{"open", "me-open"}));
}

TEST_F(RegistryTest, TwoSenderThreadsAtOnce) {
    SentMessageRegistry& registry = m_parts.sentMessages;
    std::atomic<long>& sentMessages = m_parts.counters.sentMessages;
    std::atomic<long>& receivedMessages = m_parts.counters.receivedMessages;
    const long sentBefore = sentMessages;
    const long receivedBefore = receivedMessages;
    const int rounds = 1000;

    std::thread emi([&] {
        for (int i = 0; i < rounds; ++i) {
            const unsigned char reference = static_cast<unsigned char>(1 + i % 96);
            registry.append(entry(&m_emi, "emi", reference, 0, i % 10 == 0 ? "a@example.org" : ""));
            if (registry.acknowledge(&m_emi, reference, "sys" + std::to_string(i))) ++sentMessages;
            registry.forEach(&m_emi, [&](const SentMessage& e, int) {
                if (e.m_acknowledged && *e.m_sms.mailTo() == '\0') registry.remove(e);
                return true;
            });
            if (i % 10 == 0) ++receivedMessages;
        }
    });
    std::thread me([&] {
        for (int i = 0; i < rounds; ++i) {
            const unsigned char reference = static_cast<unsigned char>(i % 256);
            registry.append(entry(&m_me, "me", reference, 0, "me@example.org"));
            ++sentMessages;
            EXPECT_TRUE(
                registry.takeMatching(&m_me, [&](const SentMessage& e) { return e.m_messageReference == reference; }));
            (void)registry.size();
            if (i % 10 == 0) ++receivedMessages;
        }
    });
    emi.join();
    me.join();

    EXPECT_EQ(sentMessages - sentBefore, 2L * rounds);
    EXPECT_EQ(receivedMessages - receivedBefore, 2L * rounds / 10);
    EXPECT_EQ(registry.size(&m_me), 0u);
    // The SMSC sender's acknowledged entries with an address wait for their
    // notification; the others were removed by its walks.
    EXPECT_EQ(registry.size(&m_emi), static_cast<size_t>(rounds / 10));
    for (const SentMessage& e : registry.snapshot()) {
        EXPECT_TRUE(e.m_acknowledged);
        EXPECT_STREQ(e.m_sms.mailTo(), "a@example.org");
    }
}

}  // namespace
