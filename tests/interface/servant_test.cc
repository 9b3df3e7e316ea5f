// The servant of the remote interface, called directly: how SendSms cuts and
// fans out texts into the real send queue, and what getStats reports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "counters.h"
#include "globals.h"
#include "logger.h"
#include "sent_message.h"
#include "process.h"
#include "sms.h"
#include "sms_send_manager.h"
#include "sms_sender.h"
#include "sms_server_impl.h"
#include "sqlite_store.h"
#include "stored_queue.h"

namespace {

struct Queued {
    std::string target;
    std::string message;
    std::string remoteAddr;
    bool onDisplay;
    std::string mailTo;
};

class SendSmsTest : public ::testing::Test {
protected:
    // The servant's parts: the queue only.
    SmsServer_impl::Parts parts() {
        SmsServer_impl::Parts parts;
        parts.sendQueue = &m_queue;
        return parts;
    }

    std::vector<Queued> drain() {
        std::vector<Queued> out;
        Sms sms;
        while (m_queue.getSms(sms)) {
            out.push_back({sms.target(), sms.message(), sms.remoteAddr(), sms.onDisplay(), sms.mailTo()});
        }
        return out;
    }

    CORBA::Long send(const std::string& numbers, const std::string& text) {
        return m_servant.SendSms(numbers.c_str(), text.c_str(), "10.0.0.7", false, "");
    }

    static std::string letters(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
        return s;
    }

    StopSignal m_stop;
    SmsQueMemory m_queue{m_stop};
    SmsServer_impl m_servant{parts()};
};

TEST_F(SendSmsTest, TextOfOneMessageGoesWithoutHeader) {
    const std::string text = letters(160);
    EXPECT_EQ(m_servant.SendSms("777123456", text.c_str(), "10.0.0.7", true, "a@example.org"), 1);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].target, "777123456");
    EXPECT_EQ(queued[0].message, text);
    EXPECT_EQ(queued[0].remoteAddr, "10.0.0.7");
    EXPECT_TRUE(queued[0].onDisplay);
    EXPECT_EQ(queued[0].mailTo, "a@example.org");
}

TEST_F(SendSmsTest, LongerTextIsCutIntoNumberedParts) {
    const std::string text = letters(161);
    send("1", text);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].message, "1/2 " + text.substr(0, 156));
    EXPECT_EQ(queued[1].message, "2/2 " + text.substr(156));
}

TEST_F(SendSmsTest, PartsOfOneNumberComeBeforeTheNext) {
    const std::string text = letters(200);
    send("111,222", text);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 4u);
    EXPECT_EQ(queued[0].target, "111");
    EXPECT_EQ(queued[0].message, "1/2 " + text.substr(0, 156));
    EXPECT_EQ(queued[1].target, "111");
    EXPECT_EQ(queued[1].message, "2/2 " + text.substr(156));
    EXPECT_EQ(queued[2].target, "222");
    EXPECT_EQ(queued[3].target, "222");
    EXPECT_EQ(queued[3].message, "2/2 " + text.substr(156));
}

TEST_F(SendSmsTest, AtMostFivePartsWithTheTotalOfTheWholeText) {
    const std::string text = letters(1000);
    send("1", text);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(queued[i].message, std::to_string(i + 1) + "/7 " + text.substr(i * 156, 156));
    }
}

// 311 and 312 characters: the total agrees with the parts, and no part is
// empty.
TEST_F(SendSmsTest, TotalsAtThePartBoundaries) {
    for (size_t length : {311u, 312u, 313u, 467u, 468u}) {
        SCOPED_TRACE(length);
        const std::string text = letters(length);
        send("1", text);
        auto queued = drain();
        const size_t parts = (length + 155) / 156;
        ASSERT_EQ(queued.size(), parts);
        std::string joined;
        for (size_t i = 0; i < parts; ++i) {
            const std::string header = std::to_string(i + 1) + "/" + std::to_string(parts) + " ";
            ASSERT_EQ(queued[i].message.compare(0, header.size(), header), 0) << queued[i].message;
            const std::string body = queued[i].message.substr(header.size());
            EXPECT_FALSE(body.empty());
            EXPECT_LE(body.size(), 156u);
            joined += body;
        }
        EXPECT_EQ(joined, text);
    }
}

TEST_F(SendSmsTest, TwoDigitTotalsMakeLongerHeaders) {
    const std::string text = letters(1405);
    send("1", text);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 5u);
    EXPECT_EQ(queued[0].message, "1/10 " + text.substr(0, 156));
    EXPECT_EQ(queued[0].message.size(), 161u);
}

TEST_F(SendSmsTest, EmptyNumbersAreSkippedAndSpacesTrimmed) {
    EXPECT_EQ(send(",111,, 222 ,  ,", "hi"), 2);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].target, "111");
    EXPECT_EQ(queued[1].target, "222");
}

TEST_F(SendSmsTest, NoNumberQueuesNothing) {
    EXPECT_EQ(send("", "hi"), 0);
    EXPECT_EQ(send(",,,", "hi"), 0);
    EXPECT_TRUE(drain().empty());
}

// Only numbers the SMSC's 16-digit address field carries once prefixed are
// queued; each refused one gets its own error record, with its control
// characters escaped, and the return counts what was queued.
TEST_F(SendSmsTest, DestinationsAreCheckedWhereTheyAreAccepted) {
    const std::string path = ::testing::TempDir() + "servant_refusals.log";
    unlink(path.c_str());
    Logger errorLog("ErrorLog", path.c_str());
    SmsServer_impl::Options options;
    options.errorLog = &errorLog;
    SmsServer_impl servant(parts(), options);
    const char* const accepted[] = {"+420777111000",  "00420777111000",  "0777111000", "777111000",
                                    "+4930123456789", "004930123456789", "1",          "+42012345678901"};
    const char* const refused[] = {"1/x/y/1/999",
                                   ("77\x02"
                                    "7\x03"),
                                   "420777111000",
                                   "+420123456789012",
                                   "+",
                                   "+0123",
                                   "abc",
                                   "12 34",
                                   "77\n7"};
    std::string numbers;
    for (const char* n : accepted) numbers += std::string(n) + ",";
    for (const char* n : refused) numbers += std::string(n) + ",";
    EXPECT_EQ(servant.SendSms(numbers.c_str(), letters(161).c_str(), "10.0.0.7", false, ""), 2 * 8);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 16u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(queued[2 * i].target, accepted[i]);

    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    const std::string log = content.str();
    size_t records = 0;
    for (size_t at = log.find("ERROR    - SMS refused: invalid destination address"); at != std::string::npos;
         at = log.find("ERROR    - SMS refused: invalid destination address", at + 1)) {
        ++records;
    }
    EXPECT_EQ(records, 9u) << log;
    EXPECT_NE(log.find("Destination Address: 1/x/y/1/999\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Destination Address: 77\\x027\\x03\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Destination Address: 77\\n7\n"), std::string::npos) << log;
    EXPECT_NE(log.find("IP Address: 10.0.0.7\n"), std::string::npos) << log;
    unlink(path.c_str());
}

// A request over a limit is refused whole with a system exception.
TEST_F(SendSmsTest, LimitsRefuseTheWholeRequest) {
    SmsServer_impl::Options options;
    options.maxDestinations = 3;
    options.maxQueued = 7;
    SmsServer_impl servant(parts(), options);
    const std::string twoParts = letters(200);
    EXPECT_THROW(servant.SendSms("1,2,3,4", "hi", "", false, ""), CORBA::IMP_LIMIT);
    EXPECT_EQ(m_queue.size(), 0);
    // Refused numbers count as destinations too: the limit bounds the work.
    EXPECT_THROW(servant.SendSms("1,2,x,y", "hi", "", false, ""), CORBA::IMP_LIMIT);
    EXPECT_EQ(servant.SendSms("1,2,3", twoParts.c_str(), "", false, ""), 6);
    EXPECT_THROW(servant.SendSms("4", twoParts.c_str(), "", false, ""), CORBA::NO_RESOURCES);
    EXPECT_EQ(m_queue.size(), 6);
    EXPECT_EQ(servant.SendSms("5", "hi", "", false, ""), 1);
    EXPECT_THROW(servant.SendSms("6", "hi", "", false, ""), CORBA::NO_RESOURCES);
    EXPECT_EQ(drain().size(), 7u);
}

// A store that cannot commit the messages refuses the whole request.
TEST_F(SendSmsTest, AStoreThatCannotCommitRefusesTheWholeRequest) {
    char directory[] = "servant-store-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/kstd.db";
    {
        // No file system has that much room: every request finds it full.
        SqliteStore store(path, false, ~0ull);
        SmsQueStored queue(store, nullptr, m_stop);
        SmsServer_impl::Parts storedParts;
        storedParts.sendQueue = &queue;
        SmsServer_impl servant(storedParts);
        try {
            servant.SendSms("1,2", letters(200).c_str(), "", false, "");
            ADD_FAILURE() << "SendSms returned";
        } catch (const CORBA::PERSIST_STORE& e) {
            EXPECT_EQ(e.minor(), SmsServer_impl::storeFailureMinor);
            EXPECT_EQ(e.completed(), CORBA::COMPLETED_NO);
        }
        EXPECT_EQ(queue.size(), 0);
        EXPECT_EQ(store.queuedCount(), 0);
    }
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
    rmdir(directory);
}

TEST_F(SendSmsTest, CzechLettersAreTransliterated) {
    // "Příliš žluťoučký kůň" in ISO-8859-2.
    send("1", "P\xf8\xedli\xb9 \xbelu\xbbou\xe8k\xfd k\xf9\xf2");
    auto queued = drain();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].message, "Prilis zlutoucky kun");
}

TEST_F(SendSmsTest, EveryByteValueSurvives) {
    std::string text;
    for (int c = 1; c <= 0xFF; ++c) text += static_cast<char>(c);
    send("1", text);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 2u);
    std::string joined = queued[0].message.substr(4) + queued[1].message.substr(4);
    ASSERT_EQ(joined.size(), text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        EXPECT_EQ(joined[i], il2toascii(text[i])) << "byte " << i + 1;
    }
}

TEST_F(SendSmsTest, HugeInputsStayBounded) {
    send("1", std::string(100 * 1024, 'x'));
    EXPECT_EQ(drain().size(), 5u);
    std::string numbers;
    for (int i = 0; i < 1000; ++i) numbers += std::to_string(600000000 + i) + ",";
    EXPECT_EQ(send(numbers, "hi"), 1000);
    auto queued = drain();
    ASSERT_EQ(queued.size(), 1000u);
    EXPECT_EQ(queued.front().target, "600000000");
    EXPECT_EQ(queued.back().target, "600000999");
    EXPECT_THROW(send(numbers + "600001000", "hi"), CORBA::IMP_LIMIT);
    EXPECT_TRUE(drain().empty());
}

// A sender whose connection state and activity the test sets.
class FixedSender : public SmsSender {
public:
    FixedSender(const char* name, bool connected, bool active, const SenderContext& context) : SmsSender(context) {
        SetName(name);
        m_isConnected = connected;
        if (active) start();
    }
    void Main() override {}
    bool connect() override { return true; }
    bool disconnect() override { return true; }
    bool reconnect() override { return false; }
    bool init() override { return true; }
    bool connected() override { return m_isConnected; }
    int sendSms(Sms&, int) override { return 0; }

private:
    bool m_isConnected = false;
};

class GetStatsTest : public ::testing::Test {
protected:
    // The statistics of a servant handed the queue, `manager` and the counters.
    SmsServer::Stats_var stats(SmsSendManager& manager) {
        SmsServer_impl::Parts parts;
        parts.sendQueue = &m_queue;
        parts.manager = &manager;
        parts.counters = &m_counters;
        SmsServer_impl servant(parts);
        SmsServer::Stats_var result;
        EXPECT_EQ(servant.getStats(result.out()), 0);
        return result;
    }

    SenderContext context() {
        return SenderContext{m_queue, m_sentMessages, m_counters, nullptr, nullptr, m_stop, nullptr, nullptr, nullptr};
    }

    StopSignal m_stop;
    SmsQueMemory m_queue{m_stop};
    SentMessageRegistry m_sentMessages;
    Counters m_counters;
};

TEST_F(GetStatsTest, OneSender) {
    SmsSendManager manager(m_stop);
    manager.registerSmsSender(std::make_unique<FixedSender>("Sender thread(EMI)", true, true, context()));
    Sms sms("1", "", "x", "", false, "");
    m_queue.appendSms(sms);
    m_queue.appendSms(sms);

    const time_t before = time(nullptr);
    SmsServer::Stats_var s = stats(manager);
    EXPECT_EQ(s->smsQueLength, 2);
    EXPECT_EQ(s->numberOfSenders, 1);
    EXPECT_STREQ(s->deviceName1.in(), "Sender thread(EMI)");
    EXPECT_EQ(s->deviceStatus1, 2);
    EXPECT_STREQ(s->deviceName2.in(), "no device");
    EXPECT_EQ(s->deviceStatus2, -1);
    EXPECT_EQ(s->serverStartTime, static_cast<CORBA::Long>(g_serverStartTime));
    EXPECT_GE(s->serverCurrentTime, static_cast<CORBA::Long>(before));
}

TEST_F(GetStatsTest, TwoSendersFollowTheManager) {
    SmsSendManager manager(m_stop);
    manager.registerSmsSender(std::make_unique<FixedSender>("Sender thread(EMI)", false, false, context()));
    manager.registerSmsSender(std::make_unique<FixedSender>("Sender thread(ME)", true, false, context()));

    SmsServer::Stats_var s = stats(manager);
    EXPECT_EQ(s->numberOfSenders, 2);
    EXPECT_STREQ(s->deviceName1.in(), "Sender thread(EMI)");
    EXPECT_EQ(s->deviceStatus1, 0);
    EXPECT_STREQ(s->deviceName2.in(), "Sender thread(ME)");
    EXPECT_EQ(s->deviceStatus2, 1);
}

}  // namespace
