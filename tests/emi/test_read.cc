// Reading frames: synchronisation, checksum, errors of the connection,
// bounds of LEN and of the field count, and decoding of every operation and
// result the library understands.
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "emi_peer.h"
#include "vessa.h"

using emitest::frame;
using emitest::Options;
using emitest::Session;

namespace {

std::string fields33(std::vector<std::pair<int, std::string>> set) {
    std::vector<std::string> f(33);
    for (auto& [k, v] : set) f[k - 1] = v;
    std::string out;
    for (auto& v : f) out += v + "/";
    return out;
}

TEST(Read, SkipsBytesBeforeStx) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(emi_alert(s.emi), 1);
    s.send("\x03\n junk" + frame(1, 'R', 31, "A/ok/"));
    EXPECT_EQ(emi_read(s.emi), 1);
    EXPECT_EQ(emi_msg(s.emi)->op_type, -31);
    EXPECT_EQ(emi_msg(s.emi)->uu.response.ack, 1);
    EXPECT_STREQ(emi_msg(s.emi)->uu.response.sysmsg, "ok");
}

TEST(Read, LowerCaseChecksumIsBad) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    s.send(
        "\x02"
        "01/00026/O/31/0123/0539/bd\x03");
    EXPECT_EQ(emi_read(s.emi), EMI_BADCRC);
    s.send(
        "\x02"
        "01/00026/O/31/0123/0539/BE\x03");
    EXPECT_EQ(emi_read(s.emi), EMI_BADCRC);
    // The handle goes on with the next frame.
    s.send(frame(2, 'R', 31, "A//"));
    EXPECT_EQ(emi_read(s.emi), 2);
}

// An operation with a wrong checksum, or whose LEN disagrees with where its
// ETX is, is answered with the negative result (01 checksum, 02 syntax) under
// its own transaction id; a result is not answered. Nothing of the next
// frame is consumed, so the session reads on.
TEST(Read, BadChecksumOrLengthIsAnsweredAndTheSessionGoesOn) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    std::string good = frame(7, 'O', 52, fields33({{1, "1"}, {2, "2"}, {19, "2"}, {21, "ok"}}));
    std::string badCrc = frame(8, 'O', 52, fields33({{1, "1"}, {2, "2"}, {19, "2"}, {21, "ok"}}));
    badCrc[badCrc.size() - 2] = badCrc[badCrc.size() - 2] == '0' ? '1' : '0';

    s.send(badCrc + good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADCRC);
    EXPECT_EQ(s.next(), frame(8, 'R', 52, "N/01//"));
    EXPECT_EQ(emi_read(s.emi), 7);
    EXPECT_STREQ(emi_msg(s.emi)->uu.submit.text, "ok");

    // LEN too short, then too long: each costs only its own frame.
    std::string shortLen = frame(9, 'O', 1, "1/2//2/x/");
    shortLen.replace(4, 5, "00020");
    std::string longLen = frame(10, 'O', 53, "1/2/");
    longLen.replace(4, 5, "00090");
    s.send(shortLen + longLen + good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(s.next(), frame(9, 'R', 1, "N/02//"));
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(s.next(), frame(10, 'R', 53, "N/02//"));
    EXPECT_EQ(emi_read(s.emi), 7);

    // A frame cut short by the next STX.
    s.send(good.substr(0, 20) + good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(s.next(), frame(7, 'R', 52, "N/02//"));
    EXPECT_EQ(emi_read(s.emi), 7);

    // A result with a bad checksum is not answered.
    std::string result = frame(3, 'R', 51, "A//");
    result[result.size() - 2] = result[result.size() - 2] == '0' ? '1' : '0';
    s.send(result + good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADCRC);
    EXPECT_EQ(emi_read(s.emi), 7);
    EXPECT_EQ(emitest::drain(s.peer), "");
}

// Without a frame end within the longest frame LEN can announce, the stream
// is out of step.
TEST(Read, NoFrameEndIsLostSynchronisation) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    emi_trace(0);  // 100 kB of trace says nothing here
    std::thread writer([&s] { s.send("\x02" + std::string(100001, 'A')); });
    EXPECT_EQ(emi_read(s.emi), EMI_NOSYNC);
    writer.join();
    emi_trace(1);
    EXPECT_STREQ(emi_strerror(EMI_NOSYNC), "Frame synchronisation lost");
}

TEST(Read, PeerClosingInsideFrameSaysSo) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    std::string f = frame(1, 'O', 52, fields33({{1, "1"}, {2, "2"}, {19, "2"}, {21, "x"}}));
    s.send(f.substr(0, 30));
    shutdown(s.peer, SHUT_WR);
    EXPECT_EQ(emi_read(s.emi), EMI_CLOSED);
    // Not errno's text: a closed connection leaves errno as it was.
    errno = 0;
    EXPECT_STREQ(emi_strerror(EMI_CLOSED), "Connection closed by the peer");
}

TEST(Read, SilentPeerTimesOut) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    s.send(
        "\x02"
        "01/000");  // a frame that never ends
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(emi_read(s.emi), EMI_TIMEOUT);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(took, 3.0);
    EXPECT_LT(took, 12.0);
    EXPECT_STREQ(emi_strerror(EMI_TIMEOUT), "Timeout");
}

TEST(Read, SelectPollsWithoutWaiting) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(emi_select(s.emi), 0);
    s.send(frame(1, 'R', 31, "A//"));
    for (int i = 0; i < 200 && emi_select(s.emi) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(emi_select(s.emi), 1);
    EXPECT_EQ(emi_select(nullptr), EMI_NULL);
}

// Frames that arrive together are read from the socket at once; the later
// ones wait in the handle, which emi_select reports although the socket has
// nothing left. A frame cut between two segments is joined.
TEST(Read, FramesArrivingTogetherAreEachRead) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(emi_alert(s.emi), i + 1);
    const std::string third = frame(3, 'R', 31, "A/three/");
    s.send(frame(1, 'R', 31, "A/one/") + frame(2, 'R', 31, "N/02/two/") + third.substr(0, 9));
    ASSERT_EQ(emi_read(s.emi), 1);
    EXPECT_STREQ(emi_msg(s.emi)->uu.response.sysmsg, "one");
    pollfd fd = {emi_socket(s.emi), POLLIN, 0};
    EXPECT_EQ(poll(&fd, 1, 0), 0) << "the socket was read to its end";
    EXPECT_EQ(emi_select(s.emi), 1) << "the second frame waits in the handle";
    ASSERT_EQ(emi_read(s.emi), 2);
    EXPECT_EQ(emi_msg(s.emi)->uu.response.ack, 0);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        s.send(third.substr(9));
    });
    ASSERT_EQ(emi_read(s.emi), 3);
    late.join();
    EXPECT_STREQ(emi_msg(s.emi)->uu.response.sysmsg, "three");
    EXPECT_EQ(emi_select(s.emi), 0);
}

TEST(Read, Operation52WithEachMessageType) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    s.send(frame(7, 'O', 52,
                 fields33({{1, "420601111222"},
                           {2, "777888999"},
                           {13, "0101121200"},
                           {15, "070512153000"},
                           {19, "3"},
                           {21, "48656C6C6F00110A21"},
                           {25, "1"},
                           {31, "0102"}})));
    ASSERT_EQ(emi_read(s.emi), 7);
    msg_t* m = emi_msg(s.emi);
    EXPECT_EQ(m->op_type, EMI_DELIVERY_SM);
    EXPECT_STREQ(m->uu.submit.to, "420601111222");
    EXPECT_STREQ(m->uu.submit.from, "777888999");
    EXPECT_STREQ(m->uu.submit.validity, "0101121200");
    EXPECT_STREQ(m->uu.submit.timestamp, "070512153000");
    EXPECT_STREQ(m->uu.submit.text, "Hello@_ !");
    EXPECT_EQ(m->uu.submit.bit8, 0);
    EXPECT_EQ(m->uu.submit.msg_class, 1);
    EXPECT_STREQ(m->uu.submit.xservices, "0102");

    s.send(frame(8, 'O', 52, fields33({{1, "1"}, {2, "2"}, {15, "010112000000"}, {19, "2"}, {21, "12345"}})));
    ASSERT_EQ(emi_read(s.emi), 8);
    EXPECT_STREQ(m->uu.submit.text, "12345");
    EXPECT_EQ(m->uu.submit.validity, nullptr) << "empty VP stays unset";
    EXPECT_EQ(m->uu.submit.xservices, nullptr);

    s.send(frame(9, 'O', 52, fields33({{1, "1"}, {2, "2"}, {19, "4"}, {20, "0032"}, {21, "CAFEBABE"}, {24, "1"}})));
    ASSERT_EQ(emi_read(s.emi), 9);
    EXPECT_STREQ(m->uu.submit.text, "CAFEBABE");
    EXPECT_EQ(m->uu.submit.numbits, 32);
    EXPECT_EQ(m->uu.submit.bit8, 1);

    s.send(frame(10, 'O', 52, fields33({{1, "1"}, {2, "2"}, {19, "5"}})));
    EXPECT_EQ(emi_read(s.emi), EMI_NOT_SUPP);
    EXPECT_EQ(emitest::drain(s.peer), "") << "nothing is acknowledged by the library itself";
}

TEST(Read, Operation01) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    s.send(frame(3, 'O', 1, "420601111222/777888999//3/414243/"));
    ASSERT_EQ(emi_read(s.emi), 3);
    msg_t* m = emi_msg(s.emi);
    EXPECT_EQ(m->op_type, EMI_DELIVERY_SM_2);
    EXPECT_STREQ(m->uu.submit.to, "420601111222");
    EXPECT_STREQ(m->uu.submit.from, "777888999");
    EXPECT_STREQ(m->uu.submit.text, "ABC");
    s.send(frame(4, 'O', 1, "1/2//2/0815/"));
    ASSERT_EQ(emi_read(s.emi), 4);
    EXPECT_STREQ(m->uu.submit.text, "0815");
    s.send(frame(5, 'O', 1, "1/2//4/0815/"));
    EXPECT_EQ(emi_read(s.emi), EMI_NOT_SUPP);
    // Too few fields: no MT at all.
    s.send(frame(6, 'O', 1, "1/2/"));
    EXPECT_EQ(emi_read(s.emi), EMI_NOT_SUPP);
}

TEST(Read, Notification53) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    s.send(frame(11, 'O', 53,
                 fields33({{1, "12345"},
                           {2, "00420601234567"},
                           {15, "070512153000"},
                           {16, "2"},
                           {17, "107"},
                           {18, "070512153105"},
                           {19, "3"},
                           {21, "4E6F"}})));
    ASSERT_EQ(emi_read(s.emi), 11);
    msg_t* m = emi_msg(s.emi);
    EXPECT_EQ(m->op_type, EMI_DELIVERY_NOTIF);
    EXPECT_STREQ(m->uu.submit.to, "12345");
    EXPECT_STREQ(m->uu.submit.from, "00420601234567");
    EXPECT_STREQ(m->uu.submit.timestamp, "070512153000");
    EXPECT_EQ(m->uu.submit.deliv_status, EMI_NOT_DELIV);
    EXPECT_EQ(m->uu.submit.deliv_reasoncode, 107);
    EXPECT_STREQ(m->uu.submit.deliv_timestamp, "070512153105");
    EXPECT_STREQ(m->uu.submit.text, "No");

    s.send(frame(12, 'O', 53, fields33({{2, "1"}, {15, "1"}, {16, "0"}})));
    ASSERT_EQ(emi_read(s.emi), 12);
    EXPECT_STREQ(m->uu.submit.text, "");
    EXPECT_EQ(m->uu.submit.deliv_status, EMI_DELIVERED);
}

TEST(Read, ResultsOfSubmissionLoginAndAlert) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(emi_submit1(s.emi, "1", "2", "x", -1), 1);
    ASSERT_EQ(emi_submit1(s.emi, "1", "2", "x", -1), 2);
    ASSERT_EQ(emi_alert(s.emi), 3);
    msg_t* m = emi_msg(s.emi);

    s.send(frame(1, 'R', 51, "A//002:070512153000/"));
    ASSERT_EQ(emi_read(s.emi), 1);
    EXPECT_EQ(m->op_type, -51);
    EXPECT_EQ(m->uu.response.ack, 1);
    EXPECT_STREQ(m->uu.response.sysmsg, "002:070512153000");

    s.send(frame(2, 'R', 51, "N/24/too long/"));
    ASSERT_EQ(emi_read(s.emi), 2);
    EXPECT_EQ(m->uu.response.ack, 0);
    EXPECT_EQ(m->uu.response.errcode, 24);
    EXPECT_STREQ(m->uu.response.sysmsg, "too long");

    s.send(frame(3, 'R', 31, "N/04//"));
    ASSERT_EQ(emi_read(s.emi), 3);
    EXPECT_EQ(m->op_type, -31);
    EXPECT_EQ(m->uu.response.ack, 0);
    EXPECT_EQ(m->uu.response.errcode, 4);

    s.send(frame(0, 'R', 60, "A/welcome/"));
    ASSERT_EQ(emi_read(s.emi), 0);
    EXPECT_EQ(m->op_type, -60);
    EXPECT_STREQ(m->uu.response.sysmsg, "welcome");

    // The results gave the ids back: the lowest is taken again.
    EXPECT_EQ(emi_alert(s.emi), 1);
    EXPECT_EQ(emi_alert(s.emi), 2);
    EXPECT_EQ(emi_alert(s.emi), 3);

    s.send(frame(4, 'O', 51, fields33({})));
    EXPECT_EQ(emi_read(s.emi), EMI_UNKNOWN_OP);
    s.send(frame(4, 'X', 52, fields33({})));
    EXPECT_EQ(emi_read(s.emi), EMI_UNKNOWN_OP);
    EXPECT_EQ(emi_read(nullptr), EMI_NULL);
    EXPECT_EQ(emi_msg(nullptr), nullptr);
}

// Frames whose LEN, header or field count cannot fit the handle's buffers
// are refused; the next good frame is read as usual.
TEST(Read, FramesOutsideTheBoundsAreRefused) {
    Session s;
    ASSERT_EQ(s.rc, 0);
    std::string good = frame(1, 'R', 31, "A//");

    s.send(
        "\x02"
        "01/00016/R/31/A9\x03" +
        good);  // no data field at all
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(emi_read(s.emi), 1);

    std::string huge = frame(1, 'O', 52, std::string(1100, 'x') + "/");
    s.send(huge + good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);  // LEN 1117
    EXPECT_EQ(emi_read(s.emi), 1);

    s.send(
        "\x02"
        "01/99999/O/52/" +
        std::string(2000, 'A') + good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(emi_read(s.emi), 1);

    s.send(
        "\x02"
        "0x/00020/R/31/A///00\x03" +
        good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(emi_read(s.emi), 1);
    s.send(
        "\x02"
        "01/-0020/R/31/A///00\x03" +
        good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(emi_read(s.emi), 1);
    s.send(
        "\x02"
        "01/00020/R/3//A///00\x03" +
        good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(emi_read(s.emi), 1);

    // 45 data fields fit the slots, 46 do not.
    std::string fit;
    for (int i = 0; i < 45; ++i) fit += "f/";
    s.send(frame(5, 'R', 31, fit));
    EXPECT_EQ(emi_read(s.emi), 5);
    s.send(frame(5, 'R', 31, fit + "f/") + good);
    EXPECT_EQ(emi_read(s.emi), EMI_BADFRAME);
    EXPECT_EQ(emi_read(s.emi), 1);

    // The largest frame that fits and the smallest one.
    std::string longest = "A/" + std::string(1023 - 16 - 2, 's');
    longest.back() = '/';
    ASSERT_EQ(longest.size() + 16, 1023u);
    s.send(frame(6, 'R', 31, longest.substr(0, longest.size() - 1) + "/"));
    EXPECT_EQ(emi_read(s.emi), 6);
    EXPECT_EQ(std::strlen(emi_msg(s.emi)->uu.response.sysmsg), 1004u);
    s.send(frame(7, 'R', 31, "/"));
    EXPECT_EQ(emi_read(s.emi), 7);
    EXPECT_EQ(emi_msg(s.emi)->uu.response.ack, 0);
    EXPECT_STREQ(emi_strerror(EMI_BADFRAME), "Malformed frame");
}

// Each handle decodes into its own buffer, so handles on different threads
// keep their texts apart.
TEST(Read, HandlesOnTwoThreadsKeepTheirTexts) {
    Session a, b;
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(b.rc, 0);
    auto run = [](Session* s, const std::string& text, bool* ok) {
        std::string hex;
        for (unsigned char c : text) {
            char h[3];
            std::snprintf(h, sizeof h, "%02X", c);
            hex += h;
        }
        std::string f = frame(1, 'O', 52, fields33({{1, "1"}, {2, "2"}, {19, "3"}, {21, hex}}));
        *ok = true;
        for (int i = 0; i < 200; ++i) {
            s->send(f);
            if (emi_read(s->emi) != 1) *ok = false;
            const char* t = emi_msg(s->emi)->uu.submit.text;
            // Give the other thread time to decode in between.
            std::this_thread::yield();
            if (!t || text != t) *ok = false;
        }
    };
    bool okA = false, okB = false;
    std::thread ta(run, &a, std::string(300, 'a'), &okA);
    std::thread tb(run, &b, std::string(300, 'b'), &okB);
    ta.join();
    tb.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
}

}  // namespace
