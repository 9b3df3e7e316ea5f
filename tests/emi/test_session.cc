// Transaction ids, their expiry, the throughput window, the IA5 codec and
// the limits of a session: login failures, long addresses and requests,
// and what the trace shows of the password.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emi_peer.h"
#include "vessa.h"
#include "vessa_internal.h"

using emitest::frame;
using emitest::Options;
using emitest::Session;

namespace {

// A clock the tests move by hand.
struct timeval g_fakeNow = {1000000, 0};
void fakeClock(struct timeval* now) { *now = g_fakeNow; }

class FakeClock : public ::testing::Test {
protected:
    void SetUp() override {
        g_fakeNow = {1000000, 0};
        vessa_test_clock = fakeClock;
    }
    void TearDown() override { vessa_test_clock = nullptr; }
};

// Everything the library writes to standard error while `body` runs.
template <typename F>
std::string captureStderr(F body) {
    char path[] = "vessa-stderr-XXXXXX";
    int fd = mkstemp(path);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    body();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return out;
}

TEST(TransactionIds, WindowOfOne) {
    Options o;
    o.window = 1;
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_alert(s.emi), 1);
    std::string sent = s.next();
    EXPECT_EQ(emi_alert(s.emi), EMI_NOTRNID);
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "x", -1), EMI_NOTRNID);
    EXPECT_EQ(emitest::drain(s.peer), "") << "nothing is sent without an id";
    EXPECT_STREQ(emi_strerror(EMI_NOTRNID), "No free transaction ID");
    ucp_unget_trnid(s.emi, 1);
    EXPECT_EQ(emi_alert(s.emi), 1);
}

TEST(TransactionIds, WindowOfZeroRefusesEverySubmission) {
    Options o;
    o.window = 0;
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "x", -1), EMI_NOTRNID);
}

TEST(TransactionIds, LowestFreeIdIsTaken) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(ucp_get_trnid(s.emi), 1);
    EXPECT_EQ(ucp_get_trnid(s.emi), 2);
    EXPECT_EQ(ucp_get_trnid(s.emi), 3);
    ucp_unget_trnid(s.emi, 2);
    ucp_unget_trnid(s.emi, 2);  // twice changes nothing
    ucp_unget_trnid(s.emi, 0);
    ucp_unget_trnid(s.emi, 97);
    EXPECT_EQ(ucp_get_trnid(s.emi), 2);
    EXPECT_EQ(ucp_get_trnid(s.emi), 4);
    for (int id = 5; id <= 96; ++id) ASSERT_EQ(ucp_get_trnid(s.emi), id);
    EXPECT_EQ(ucp_get_trnid(s.emi), EMI_NOTRNID);
    ucp_unget_trnid(s.emi, 96);
    ucp_unget_trnid(s.emi, 9);
    EXPECT_EQ(ucp_get_trnid(s.emi), 9);
    EXPECT_EQ(ucp_get_trnid(s.emi), 96);
}

TEST_F(FakeClock, IdExpiresWhenOlderThanTheTimeout) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(emi_submit1(s.emi, "1", "2", "x", -1), 1);
    g_fakeNow.tv_sec += 3;
    ASSERT_EQ(emi_alert(s.emi), 2);
    g_fakeNow.tv_sec += 7;  // id 1 is 10 s old
    EXPECT_EQ(emi_check_trntable(s.emi, 10), 0);
    g_fakeNow.tv_sec += 1;  // 11 s
    EXPECT_EQ(emi_check_trntable(s.emi, 10), 1);
    EXPECT_EQ(emi_check_trntable(s.emi, 10), 0) << "one id per call, and id 2 is 8 s old";
    g_fakeNow.tv_sec += 3;
    EXPECT_EQ(emi_check_trntable(s.emi, 10), 2);
    EXPECT_EQ(emi_check_trntable(s.emi, 10), 0);
    EXPECT_EQ(emi_check_trntable(nullptr, 10), 0);
    // Expired ids are free again.
    EXPECT_EQ(emi_alert(s.emi), 1);
}

TEST_F(FakeClock, ThroughputWindow) {
    Options o;
    o.throughput = 2;
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "a", -1), 1);
    g_fakeNow.tv_usec = 400000;
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "b", -1), 2);
    g_fakeNow.tv_usec = 900000;
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "c", -1), EMI_THRPUT);
    EXPECT_STREQ(emi_strerror(EMI_THRPUT), "Data throughput overloaded");
    s.next();
    s.next();
    EXPECT_EQ(emitest::drain(s.peer), "") << "the refused submission sends nothing";
    // Exactly one second after the window opened it is still the same one.
    g_fakeNow = {1000001, 0};
    EXPECT_EQ(emi_check_throughput(s.emi), EMI_THRPUT);
    g_fakeNow = {1000001, 1};
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "d", -1), 3);
    // A clock set back opens a new window instead of blocking.
    g_fakeNow = {999000, 0};
    EXPECT_EQ(emi_check_throughput(s.emi), 0);
    EXPECT_EQ(emi_check_throughput(nullptr), EMI_NULL);
}

TEST_F(FakeClock, ThroughputZeroAllowsOnePerWindow) {
    Options o;
    o.throughput = 0;
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "a", -1), 1);
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "b", -1), EMI_THRPUT);
    g_fakeNow.tv_sec += 2;
    EXPECT_EQ(emi_submit1(s.emi, "1", "2", "b", -1), 2);
}

// A caller that asks before it submits (as the daemon does) is not refused
// by the submission's own check in the same window, whatever the limit.
TEST_F(FakeClock, CheckBeforeSubmissionAgreesWithTheSubmission) {
    for (int throughput : {0, -5, 1, 2}) {
        Options o;
        o.throughput = throughput;
        Session s(o);
        ASSERT_EQ(s.rc, 0);
        const int allowed = throughput > 0 ? throughput : 1;
        g_fakeNow.tv_sec += 10;
        int submitted = 0;
        while (emi_check_throughput(s.emi) == 0) {
            g_fakeNow.tv_usec += 1000;
            ASSERT_GT(emi_submit1(s.emi, "1", "2", "x", -1), 0) << "throughput " << throughput;
            ASSERT_LE(++submitted, allowed) << "throughput " << throughput;
        }
        EXPECT_EQ(submitted, allowed) << "throughput " << throughput;
        g_fakeNow.tv_usec = 0;
    }
}

TEST(Ia5, EncodeAndDecode) {
    char buf[641];
    EXPECT_STREQ(ia5_encode(buf, sizeof buf, "ABC"), "414243");
    EXPECT_STREQ(ia5_decode(buf, sizeof buf, "414243"), "ABC");
    EXPECT_STREQ(ia5_decode(buf, sizeof buf, "00"), "@");
    EXPECT_STREQ(ia5_decode(buf, sizeof buf, "11"), "_");
    EXPECT_STREQ(ia5_decode(buf, sizeof buf, "0A"), " ");
    EXPECT_STREQ(ia5_decode(buf, sizeof buf, "C1"), "A") << "low seven bits";
    // Room 17: eight characters.
    char small[17];
    EXPECT_STREQ(ia5_encode(small, sizeof small, "0123456789"), "3031323334353637");
    // Room 4 decodes three characters at most.
    char four[4];
    EXPECT_STREQ(ia5_decode(four, sizeof four, "41424344"), "ABC");
    EXPECT_EQ(ia5_tohex(10), 'A');
    EXPECT_EQ(ia5_tonum('F'), 15);
    EXPECT_EQ(ia5_tonum('7'), 7);
}

TEST(Ia5, OddDigitCountAndBytesOutsideIa5) {
    char buf[641];
    // The unpaired last digit is dropped, nothing behind it is read.
    char odd[] = {'4', '1', '4', '2', '4', '\0', '4', '3', '\0'};
    EXPECT_STREQ(ia5_decode(buf, sizeof buf, odd), "AB");
    EXPECT_STREQ(ia5_decode(buf, sizeof buf, "4"), "");
    // Bytes above 0x7F are sent as '?'.
    EXPECT_STREQ(ia5_encode(buf, sizeof buf, "a\xE9z\xFF"), "613F7A3F");
    EXPECT_STREQ(ia5_encode_oadc(buf, 25, "\xC1"), "023F");
}

TEST(Ia5, PackedOriginator) {
    char buf[25];
    EXPECT_STREQ(ia5_encode_oadc(buf, sizeof buf, "ABC"), "0641E110");
    // Twelve characters fill the eleven octets that room 25 holds.
    EXPECT_STREQ(ia5_encode_oadc(buf, sizeof buf, "ABCDEFGHIJKL"), "1541E19058341E9149E59209");
    EXPECT_EQ(std::strlen(ia5_encode_oadc(buf, sizeof buf, "ABCDEFGHIJKLMNOPQRST")), 24u);
    EXPECT_EQ(std::string(buf, 2), "23") << "the count is of the whole name";
    char tiny[2] = {'x', 'y'};
    ia5_encode_oadc(tiny, sizeof tiny, "ABC");
    EXPECT_EQ(tiny[0], 'x');
    EXPECT_EQ(ia5_is_numeric("0123"), 1);
    EXPECT_EQ(ia5_is_numeric(""), 1);
    EXPECT_EQ(ia5_is_numeric("+420"), 0);
}

TEST(Session, LoginRefusedLeavesNoHandle) {
    Options o;
    o.loginReply = frame(0, 'R', 60, "N/07/bad password/");
    Session s(o);
    EXPECT_EQ(s.rc, EMI_INITERR);
    EXPECT_EQ(s.emi, nullptr);
    // The library closed its end.
    EXPECT_EQ(emitest::drain(s.peer, 2000), "");
    char c;
    EXPECT_EQ(recv(s.peer, &c, 1, 0), 0);
    EXPECT_STREQ(emi_strerror(EMI_INITERR), "Initialization failure");
}

TEST(Session, LoginAnsweredWithAnythingElseFails) {
    Options o;
    o.loginReply = frame(0, 'R', 31, "A//");
    Session a(o);
    EXPECT_EQ(a.rc, EMI_INITERR);
    EXPECT_EQ(a.emi, nullptr);
    o.loginReply =
        "\x02"
        "00/00019/R/60/A//00\x03";
    Session b(o);
    EXPECT_EQ(b.rc, EMI_BADCRC);
    EXPECT_EQ(b.emi, nullptr);
}

TEST(Session, InitArguments) {
    EMI emi = reinterpret_cast<EMI>(0x1);
    EXPECT_EQ(emi_init(&emi, nullptr, 1, "p", "o", "a", 1, 1), EMI_INITERR);
    EXPECT_EQ(emi_init(&emi, "127.0.0.1", 1, nullptr, "o", "a", 1, 1), EMI_INITERR);
    EXPECT_EQ(emi_init(&emi, "127.0.0.1", 1, "p", nullptr, "a", 1, 1), EMI_INITERR);
    EXPECT_EQ(emi_init(nullptr, "127.0.0.1", 1, "p", "o", "a", 1, 1), EMI_NULL);
    EXPECT_EQ(emi_init(&emi, "no-such-host.invalid", 1, "p", "o", "a", 1, 1), EMI_SOCKERR);
    EXPECT_EQ(emi, reinterpret_cast<EMI>(0x1));
    emi_destroy(nullptr);
    EXPECT_EQ(emi_alert(nullptr), EMI_NULL);
    EXPECT_EQ(emi_submit1(nullptr, "1", "2", "3", -1), EMI_NULL);
    EXPECT_EQ(emi_submit2(nullptr), EMI_NULL);
    EXPECT_STREQ(emi_strerror(EMI_NULL), "Null EMI pointer");
    errno = ECONNREFUSED;
    EXPECT_STREQ(emi_strerror(EMI_SOCKERR), std::strerror(ECONNREFUSED));
    errno = ENOMEM;
    EXPECT_STREQ(emi_strerror(EMI_SYSERR), std::strerror(ENOMEM));
    EXPECT_STREQ(emi_strerror(-77), std::strerror(ENOMEM));
}

TEST(Session, NullAlertAddressCountsAsEmpty) {
    Options o;
    o.nullAlert = true;
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_alert(s.emi), 1);
    EXPECT_NE(s.next().find("/O/31//0539/"), std::string::npos);
}

TEST(Session, LongAddressesAreCutTo31Characters) {
    Options o;
    o.origin = std::string(40, '7');
    o.alert = std::string(40, '8');
    Session s(o);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(std::string(s.emi->origin_addr), std::string(31, '7'));
    EXPECT_EQ(std::string(s.emi->alert_addr), std::string(31, '8'));
    // The login carries 16 of them, the alert too.
    EXPECT_NE(s.login.find("/O/60/" + std::string(16, '7') + "/6/"), std::string::npos);
    EXPECT_EQ(emi_alert(s.emi), 1);
    EXPECT_NE(s.next().find("/O/31/" + std::string(16, '8') + "/0439/"), std::string::npos);
}

TEST(Session, Submit2TooLongForOneFrameIsRefused) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    std::string text(640, 'A');
    std::string xser(400, 'B');
    msg_t* m = emi_msg(s.emi);
    m->uu.submit.from = "ABCDEFGHIJKLMNOPQRSTUVWX";
    m->uu.submit.to = "12345678901";
    m->uu.submit.notif_addr = "1234567890123456";
    m->uu.submit.notif_type = 7;
    m->uu.submit.validity = "0101121200";
    m->uu.submit.bit8 = 1;
    m->uu.submit.numbits = 5120;
    m->uu.submit.text = text.c_str();
    m->uu.submit.xservices = xser.c_str();
    EXPECT_EQ(emi_submit2(s.emi), EMI_TOOLONG);
    EXPECT_STREQ(emi_strerror(EMI_TOOLONG), "Request too long for one frame");
    EXPECT_EQ(emitest::drain(s.peer), "");
    // No id was used up.
    m->uu.submit.xservices = nullptr;
    EXPECT_EQ(emi_submit2(s.emi), 1);
    std::string f = s.next();
    EXPECT_EQ(f.size(), 18u + 744u) << f;
}

TEST(Session, Submit2RequestMayPointIntoTheLastFrame) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    std::vector<std::string> f(33);
    f[0] = "601234567";
    f[1] = "777000111";
    f[18] = "2";
    f[20] = "reply";
    std::string data;
    for (auto& v : f) data += v + "/";
    s.send(frame(4, 'O', 52, data));
    ASSERT_EQ(emi_read(s.emi), 4);
    msg_t* m = emi_msg(s.emi);
    // Answer to the sender: the request's strings live in the frame buffer.
    const char* from = m->uu.submit.to;
    const char* to = m->uu.submit.from;
    const char* text = m->uu.submit.text;
    m->uu.submit.from = from;
    m->uu.submit.to = to;
    m->uu.submit.text = text;
    m->uu.submit.msg_class = 0;
    ASSERT_EQ(emi_submit2(s.emi), 1);
    EXPECT_NE(s.next().find("/O/51/00420777000111/601234567//"), std::string::npos);
}

TEST(Session, TraceMasksThePassword) {
    std::string trace;
    Options o;
    o.password = "Hunter22";
    trace = captureStderr([&] {
        Session s(o);
        ASSERT_EQ(s.rc, 0);
        EXPECT_NE(s.login.find("/48756E7465723232/"), std::string::npos) << "sent as it is";
    });
    EXPECT_NE(trace.find("emi_init: emi="), std::string::npos) << trace;
    EXPECT_NE(trace.find("; hostname=127.0.0.1; port="), std::string::npos);
    EXPECT_NE(trace.find("; password=********; originator=12345; alert=0123\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("Hunter22"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("48756E7465723232"), std::string::npos) << trace;
    EXPECT_NE(trace.find("tcp_write: \x02"
                         "00/00056/O/60/12345/6/5/1/****************//0100//////"),
              std::string::npos)
        << trace;
    EXPECT_NE(
        trace.find("ucp_read: synchronization\ntcp_read: \x02\nucp_read: frame\ntcp_read: 00/00019/R/60/A//6D\x03\n"),
        std::string::npos)
        << trace;
    EXPECT_NE(trace.find("ucp_read: checksum=6D\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("emi_read: operation_type=-60\n"), std::string::npos) << trace;
}

TEST(Session, TraceCanBeSwitchedOff) {
    emi_trace(0);
    std::string quiet = captureStderr([&] {
        Session s;
        ASSERT_EQ(s.rc, 0);
        EXPECT_EQ(emi_alert(s.emi), 1);
    });
    emi_trace(1);
    EXPECT_EQ(quiet, "");
    std::string traced = captureStderr([&] {
        Session s;
        ASSERT_EQ(s.rc, 0);
        EXPECT_EQ(emi_alert(s.emi), 1);
    });
    EXPECT_NE(traced.find("emi_alert: emi="), std::string::npos) << traced;
}

TEST(Session, TraceLinesOfOperations) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    std::string trace = captureStderr([&] {
        EXPECT_EQ(emi_submit1(s.emi, "ABC", "0601234567", "Hi", 1), 1);
        EXPECT_EQ(emi_ack(1, 52, 5, s.emi), EMI_OK);
        EXPECT_EQ(emi_alert(s.emi), 2);
    });
    char self[32];
    std::snprintf(self, sizeof self, "%lx", reinterpret_cast<unsigned long>(s.emi));
    for (const std::string& line :
         {"emi_submit1: emi=" + std::string(self) + "; from=ABC; to=0601234567; text=Hi\n",
          std::string("ia5_encode_oadc: 'ABC'\n"), std::string("ia5_encode_oadc: encoded => 0641E110\n"),
          std::string("ia5_encode: 'Hi'\n"), std::string("ia5_encode: encoded => 4869\n"),
          std::string("ucp_get_trnid: trnid=1\n"),
          "emi_ack: ack=1; operation=52; trnid=5; emi=" + std::string(self) + "\n",
          "emi_alert: emi=" + std::string(self) + "\n",
          std::string("tcp_write: \x02"
                      "05/00020/R/52/A///9A\x03\n")}) {
        EXPECT_NE(trace.find(line), std::string::npos) << line << " in\n" << trace;
    }
}

}  // namespace
