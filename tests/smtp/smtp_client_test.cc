// The SMTP client against a real server (aiosmtpd) and against the scripted
// peer for refusals and faults.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "peers.h"
#include "smtp.h"

using smtptest::MailServer;
using smtptest::ScriptedPeer;

namespace {

using Kind = smtp::Failure::Kind;

struct Outcome {
    bool sent;
    std::string error;
    int socket;
    Kind kind;
    std::string reply;
};

Outcome sendMail(unsigned short port, const char* to, const char* cc, const char* bcc, const char* subject,
                 const char* body, const char* from = "kstd@localhost") {
    char error[512] = "";
    int sock = 12345;
    smtp::Failure failure;
    failure.kind = Kind::kTemporary;
    failure.reply = "stale";
    const bool sent =
        smtp::smtpSendMail("127.0.0.1", port, from, to, cc, bcc, subject, body, error, sizeof error, &sock, &failure);
    return {sent, error, sock, failure.kind, failure.reply};
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + separator.size();
    }
}

// Header lines (continuation lines kept apart) and the body of a message.
struct Message {
    std::vector<std::string> header;
    std::string body;
};

Message parse(const std::string& content) {
    const size_t end = content.find("\r\n\r\n");
    if (end == std::string::npos) return {split(content, "\r\n"), ""};
    return {split(content.substr(0, end), "\r\n"), content.substr(end + 4)};
}

int countStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    int count = 0;
    for (const std::string& line : lines) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

// Every LF of the text comes with a CR before it.
bool onlyCrLf(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    }
    return true;
}

// A server that accepts one message.
const char* const kAcceptingScript =
    "send 220 peer ready\n"
    "recv\n"
    "send 250 peer\n"
    "recv\n"
    "send 250 sender ok\n"
    "recv\n"
    "send 250 recipient ok\n"
    "recv\n"
    "send 354 go ahead\n"
    "data\n"
    "send 250 queued\n"
    "recv\n"
    "send 221 bye\n";

class SmtpTest : public ::testing::Test {
protected:
    void TearDown() override { smtp::setTimeout(smtp::kDefaultTimeoutMs); }
};

}  // namespace

TEST_F(SmtpTest, RealServerReceivesHeadersAndBodyAsSent) {
    MailServer server;
    const Outcome outcome = sendMail(server.port(), "alice@example.org", "", "", "Zprava byla odeslana",
                                     "Vase zprava na 777 byla odeslana 1.2.2004 v 3:4:5.\n\nAhoj");
    ASSERT_TRUE(outcome.sent) << outcome.error;
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_EQ(outcome.kind, Kind::kNone);
    EXPECT_EQ(outcome.reply, "");
    ASSERT_TRUE(server.waitForMails(1));
    const MailServer::Mail mail = server.mails().at(0);
    EXPECT_EQ(mail.from, "kstd@localhost");
    EXPECT_EQ(mail.recipients, std::vector<std::string>{"alice@example.org"});
    EXPECT_TRUE(onlyCrLf(mail.content));

    const Message message = parse(mail.content);
    ASSERT_EQ(message.header.size(), 7u) << mail.content;
    EXPECT_EQ(message.header[0], "From: <kstd@localhost>");
    EXPECT_EQ(message.header[1], "Content-Type: text/plain;");
    EXPECT_EQ(message.header[2], " charset=\"ISO-8859-2\"");
    EXPECT_EQ(message.header[3], "Subject: Zprava byla odeslana");
    EXPECT_EQ(message.header[4], "To: <alice@example.org>");
    EXPECT_TRUE(
        std::regex_match(message.header[5], std::regex("Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
                                                       "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                                                       "\\d\\d:\\d\\d:\\d\\d [+-]\\d{4}")))
        << message.header[5];
    EXPECT_TRUE(std::regex_match(message.header[6], std::regex("Message-ID: <[0-9.]+@localhost>")))
        << message.header[6];
    EXPECT_EQ(message.body, "Vase zprava na 777 byla odeslana 1.2.2004 v 3:4:5.\r\n\r\nAhoj\r\n");

    // Two messages never share a Message-ID.
    ASSERT_TRUE(sendMail(server.port(), "alice@example.org", "", "", "s", "b").sent);
    ASSERT_TRUE(server.waitForMails(2));
    EXPECT_NE(parse(server.mails().at(1).content).header[6], message.header[6]);
}

TEST_F(SmtpTest, RecipientListsGiveOneRcptEachAndFoldedHeaders) {
    MailServer server;
    {
        const Outcome outcome =
            sendMail(server.port(), "a@example.org; b@example.org ;\tc@example.org", "", "", "three", "text");
        ASSERT_TRUE(outcome.sent) << outcome.error;
        ASSERT_TRUE(server.waitForMails(1));
        const MailServer::Mail mail = server.mails().at(0);
        EXPECT_EQ(mail.recipients, (std::vector<std::string>{"a@example.org", "b@example.org", "c@example.org"}));
        EXPECT_NE(mail.content.find("\r\nTo: <a@example.org>,\r\n <b@example.org>,\r\n <c@example.org>\r\n"),
                  std::string::npos)
            << mail.content;
        EXPECT_EQ(countStartingWith(parse(mail.content).header, "Cc:"), 0);
    }
    {
        // No to list: only a Cc header; the bcc recipient gets the message
        // but appears in no header.
        const Outcome outcome =
            sendMail(server.port(), "", "d@example.org,e@example.org", "hidden@example.org", "cc only", "text");
        ASSERT_TRUE(outcome.sent) << outcome.error;
        ASSERT_TRUE(server.waitForMails(2));
        const MailServer::Mail mail = server.mails().at(1);
        EXPECT_EQ(mail.recipients, (std::vector<std::string>{"d@example.org", "e@example.org", "hidden@example.org"}));
        const Message message = parse(mail.content);
        EXPECT_EQ(countStartingWith(message.header, "To:"), 0);
        EXPECT_EQ(countStartingWith(message.header, "Cc:"), 1);
        EXPECT_NE(mail.content.find("\r\nCc: <d@example.org>,\r\n <e@example.org>\r\n"), std::string::npos)
            << mail.content;
        EXPECT_EQ(mail.content.find("hidden"), std::string::npos);
    }
    {
        // Empty entries (doubled or leading separators) are left out: every
        // named recipient gets the message and no header shows "<>".
        const Outcome outcome = sendMail(server.port(), ";a@example.org;; ;b@example.org,", "", "", "gaps", "text");
        ASSERT_TRUE(outcome.sent) << outcome.error;
        ASSERT_TRUE(server.waitForMails(3));
        const MailServer::Mail mail = server.mails().at(2);
        EXPECT_EQ(mail.recipients, (std::vector<std::string>{"a@example.org", "b@example.org"}));
        EXPECT_NE(mail.content.find("\r\nTo: <a@example.org>,\r\n <b@example.org>\r\n"), std::string::npos);
        EXPECT_EQ(mail.content.find("<>"), std::string::npos);
    }
}

TEST_F(SmtpTest, BodyArrivesExactlyWhateverItsLines) {
    MailServer server;
    // A line of a single "." would end the data early without dot-stuffing;
    // the rest would be read as commands.
    const char* const body = "first\n.\nQUIT\n..two dots\n.leading\r\nlast";
    const Outcome outcome = sendMail(server.port(), "alice@example.org", "", "", "dots", body);
    ASSERT_TRUE(outcome.sent) << outcome.error;
    ASSERT_TRUE(server.waitForMails(1));
    const std::vector<MailServer::Mail> mails = server.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(parse(mails[0].content).body, "first\r\n.\r\nQUIT\r\n..two dots\r\n.leading\r\nlast\r\n");
    EXPECT_TRUE(onlyCrLf(mails[0].content));

    // A body ending with a line feed gets no extra empty line; an empty body
    // is an empty body.
    ASSERT_TRUE(sendMail(server.port(), "alice@example.org", "", "", "nl", "one\ntwo\n").sent);
    ASSERT_TRUE(sendMail(server.port(), "alice@example.org", "", "", "empty", "").sent);
    ASSERT_TRUE(server.waitForMails(3));
    EXPECT_EQ(parse(server.mails().at(1).content).body, "one\r\ntwo\r\n");
    EXPECT_EQ(parse(server.mails().at(2).content).body, "");
}

TEST_F(SmtpTest, LineBreaksInValuesAddNoHeaderAndNoCommand) {
    {
        MailServer server;
        const Outcome outcome =
            sendMail(server.port(), "alice@example.org", "", "",
                     "Zprava pro 777\r\nBcc: evil@example.org\nX-Injected: yes", "text", "kstd@localhost\r\n");
        ASSERT_TRUE(outcome.sent) << outcome.error;
        ASSERT_TRUE(server.waitForMails(1));
        const MailServer::Mail mail = server.mails().at(0);
        EXPECT_EQ(mail.recipients, std::vector<std::string>{"alice@example.org"});
        EXPECT_EQ(mail.from, "kstd@localhost");
        const Message message = parse(mail.content);
        EXPECT_EQ(message.header.at(0), "From: <kstd@localhost>");
        EXPECT_EQ(countStartingWith(message.header, "Bcc:"), 0);
        EXPECT_EQ(countStartingWith(message.header, "X-"), 0);
        EXPECT_EQ(countStartingWith(message.header, "Subject: Zprava pro 777Bcc: evil@example.orgX-Injected: yes"), 1);
    }
    {
        // In the recipient list line breaks are blanks: they never split a
        // command.
        ScriptedPeer peer({kAcceptingScript});
        const Outcome outcome = sendMail(peer.port(), "alice@example.org\r\nRCPT TO: <evil@example.org>", "", "", "s",
                                         "text", "kstd@localhost\r\nX-Injected: yes");
        ASSERT_TRUE(outcome.sent) << outcome.error;
        ASSERT_TRUE(peer.waitEnd());
        const std::vector<std::string> lines = peer.received();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[1], "MAIL FROM: <kstd@localhostX-Injected: yes>\\r\\n");
        EXPECT_EQ(countStartingWith(lines, "From: <kstd@localhostX-Injected: yes>\\r\\n"), 1);
        EXPECT_EQ(countStartingWith(lines, "X-"), 0);
        EXPECT_EQ(lines[2], "RCPT TO: <alice@example.orgRCPTTO:<evil@example.org>>\\r\\n");
        EXPECT_EQ(countStartingWith(lines, "RCPT"), 1);
        EXPECT_EQ(countStartingWith(lines, "To: <alice@example.orgRCPTTO:<evil@example.org>>\\r\\n"), 1);
    }
}

TEST_F(SmtpTest, RefusedGreetingEndsBeforeHelo) {
    ScriptedPeer peer({"send 554 5.3.2 No service for you\n"});
    const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
    EXPECT_FALSE(outcome.sent);
    EXPECT_EQ(outcome.error, "Invalid answer \"554 5.3.2 No service for you\"");
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_EQ(outcome.kind, Kind::kPermanent);
    EXPECT_EQ(outcome.reply, "554 5.3.2 No service for you");
    ASSERT_TRUE(peer.waitEnd());
    EXPECT_TRUE(peer.received().empty());
    EXPECT_EQ(peer.record().back(), "end");
}

TEST_F(SmtpTest, MultiLineRepliesAreReadWhole) {
    ScriptedPeer peer({
        "send 220-peer.example.org first greeting line\n"
        "send 220-second line\n"
        "send 220 peer ready\n"
        "recv\n"
        "send 250-peer.example.org\n"
        "send 250 hello\n"
        "recv\n"
        "send 250-sender\n"
        "send 250 ok\n"
        "recv\n"
        "send 250 recipient ok\n"
        "recv\n"
        "send 354 go ahead\n"
        "data\n"
        "send 250-queued\n"
        "send 250 as 42\n"
        "recv\n"
        "send 221-bye\n"
        "send 221 bye\n",
    });
    const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
    EXPECT_TRUE(outcome.sent) << outcome.error;
    ASSERT_TRUE(peer.waitEnd());
    const std::vector<std::string> lines = peer.received();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "HELO default\\r\\n");
    EXPECT_EQ(lines[1], "MAIL FROM: <kstd@localhost>\\r\\n");
    EXPECT_EQ(lines[2], "RCPT TO: <alice@example.org>\\r\\n");
    EXPECT_EQ(lines[3], "DATA\\r\\n");
    EXPECT_EQ(lines.back(), "QUIT\\r\\n");
}

TEST_F(SmtpTest, RefusalAfterMultiLineReplyIsNotTakenForSuccess) {
    // Reading only the first line of each reply would take "250 ok" for the
    // answer to RCPT and go on.
    ScriptedPeer peer({
        "send 220-peer\n"
        "send 220 ready\n"
        "recv\n"
        "send 250 hello\n"
        "recv\n"
        "send 250-sender\n"
        "send 250 ok\n"
        "recv\n"
        "send 550 5.1.1 no such user\n",
    });
    const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
    EXPECT_FALSE(outcome.sent);
    EXPECT_EQ(outcome.error, "Invalid answer \"550 5.1.1 no such user\"");
    ASSERT_TRUE(peer.waitEnd());
    EXPECT_EQ(countStartingWith(peer.received(), "DATA"), 0);
}

TEST_F(SmtpTest, RefusalsAtEachStepReportTheReplyAndWhetherItLasts) {
    struct Case {
        const char* script;
        const char* reply;
        const char* lastCommand;
        Kind kind;
    };
    const Case cases[] = {
        // A 5xx reply is permanent wherever it comes.
        {"send 220 ready\nrecv\nsend 501 who are you\n", "501 who are you", "HELO default\\r\\n", Kind::kPermanent},
        {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 553 sender refused\n", "553 sender refused",
         "MAIL FROM: <kstd@localhost>\\r\\n", Kind::kPermanent},
        {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 550 5.1.1 unknown user\n",
         "550 5.1.1 unknown user", "RCPT TO: <alice@example.org>\\r\\n", Kind::kPermanent},
        {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 250 ok\nrecv\nsend 354 go\ndata\n"
         "send 552 too much\n",
         "552 too much", ".\\r\\n", Kind::kPermanent},
        // Any other refusal of this message is temporary.
        {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 450 4.2.1 mailbox busy\n",
         "450 4.2.1 mailbox busy", "RCPT TO: <alice@example.org>\\r\\n", Kind::kTemporary},
        {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 250 ok\nrecv\nsend 250 not 354\n",
         "250 not 354", "DATA\\r\\n", Kind::kTemporary},
        {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 250 ok\nrecv\nsend 354 go\ndata\n"
         "send 451 local error\n",
         "451 local error", ".\\r\\n", Kind::kTemporary},
        // Before the sender is accepted, or with 421, the server itself
        // cannot be used for now.
        {"send 220 ready\nrecv\nsend 450 try later\n", "450 try later", "HELO default\\r\\n", Kind::kServer},
        {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 451 sender check failed\n", "451 sender check failed",
         "MAIL FROM: <kstd@localhost>\\r\\n", Kind::kServer},
        {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 421 4.3.2 closing\n", "421 4.3.2 closing",
         "RCPT TO: <alice@example.org>\\r\\n", Kind::kServer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        ScriptedPeer peer({c.script});
        const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
        EXPECT_FALSE(outcome.sent);
        EXPECT_EQ(outcome.error, std::string("Invalid answer \"") + c.reply + "\"");
        EXPECT_EQ(outcome.reply, c.reply);
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(outcome.socket, -1);
        ASSERT_TRUE(peer.waitEnd());
        // Nothing is sent after the refused command; the client closes.
        ASSERT_FALSE(peer.received().empty());
        EXPECT_EQ(peer.received().back(), c.lastCommand);
        EXPECT_EQ(countStartingWith(peer.record(), "C1 eof"), 1);
    }
}

TEST_F(SmtpTest, MessageAcceptedIsSentWhateverQuitGets) {
    // Once the server has taken the message, sending it again would mail it
    // twice: a refused QUIT, or a connection closed instead of answering
    // it, does not fail the call.
    const char* const scripts[] = {
        "send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 250 ok\nrecv\nsend 354 go\ndata\n"
        "send 250 queued\nrecv\nsend 500 no quitting\n",
        "send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 250 ok\nrecv\nsend 354 go\ndata\n"
        "send 250 queued\nrecv\n",
    };
    for (const char* script : scripts) {
        ScriptedPeer peer({script});
        const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
        EXPECT_TRUE(outcome.sent) << outcome.error;
        EXPECT_EQ(outcome.kind, Kind::kNone);
        EXPECT_EQ(outcome.socket, -1);
        ASSERT_TRUE(peer.waitEnd());
        EXPECT_EQ(peer.received().back(), "QUIT\\r\\n");
    }
}

TEST_F(SmtpTest, SilentServerFailsWithinTheTimeout) {
    smtp::setTimeout(400);
    {
        ScriptedPeer peer({"sleep 30\n"});
        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(outcome.sent);
        EXPECT_EQ(outcome.error, "Timed out after 0.4 s waiting for an answer");
        EXPECT_GE(took, std::chrono::milliseconds(400));
        EXPECT_EQ(outcome.socket, -1);
        EXPECT_EQ(outcome.kind, Kind::kServer);
        EXPECT_EQ(outcome.reply, "");
    }
    {
        // Silent after the message: the final reply times out as well.
        ScriptedPeer peer(
            {"send 220 ready\nrecv\nsend 250 hi\nrecv\nsend 250 ok\nrecv\nsend 250 ok\nrecv\n"
             "send 354 go\ndata\nsleep 30\n"});
        const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
        EXPECT_FALSE(outcome.sent);
        EXPECT_EQ(outcome.error, "Timed out after 0.4 s waiting for an answer");
        EXPECT_EQ(outcome.kind, Kind::kServer);
    }
    {
        // A server that trickles continuation lines cannot stretch one reply
        // beyond the time-out.
        std::string script = "send 220-ready\n";
        for (int i = 0; i < 40; ++i) script += "sleep 0.05\nsend 220-still here\n";
        ScriptedPeer peer({script});
        const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
        EXPECT_FALSE(outcome.sent);
        EXPECT_EQ(outcome.error, "Timed out after 0.4 s waiting for an answer");
    }
}

TEST_F(SmtpTest, ConnectionThatIsNeverAcceptedTimesOut) {
    // A listener whose accept queue is full drops further connection
    // requests, so connecting hangs.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int queued = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    smtp::setTimeout(300);
    const unsigned short port = ntohs(address.sin_port);
    const Outcome outcome = sendMail(port, "alice@example.org", "", "", "s", "b");
    EXPECT_FALSE(outcome.sent);
    EXPECT_EQ(outcome.error, "Can't connect to 127.0.0.1:" + std::to_string(port) + " (no answer within 0.3 s)");
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_EQ(outcome.kind, Kind::kServer);
    close(queued);
    close(listener);
}

TEST_F(SmtpTest, ServerClosingMidDialogue) {
    ScriptedPeer peer({"send 220 ready\nrecv\nsend 250 hi\nrecv\nclose\n"});
    const Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
    EXPECT_FALSE(outcome.sent);
    EXPECT_EQ(outcome.error, "The connection has been closed by other side");
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_EQ(outcome.kind, Kind::kServer);
    EXPECT_EQ(outcome.reply, "");
}

TEST_F(SmtpTest, LongReplyLineIsCutAndErrorTextsFitTheBuffer) {
    const std::string longText(300, 'x');
    ScriptedPeer peer({"send 554 " + longText + "\n"}, 2);
    // The reply keeps 255 characters.
    Outcome outcome = sendMail(peer.port(), "alice@example.org", "", "", "s", "b");
    EXPECT_FALSE(outcome.sent);
    EXPECT_EQ(outcome.error, "Invalid answer \"554 " + std::string(251, 'x') + "\"");

    // A small buffer gets the start of the text and nothing beyond its end.
    char buffer[24];
    memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(smtp::smtpSendMail("127.0.0.1", peer.port(), "kstd@localhost", "a@example.org", "", "", "s", "b",
                                    buffer, 20, nullptr));
    EXPECT_EQ(std::string(buffer), "Invalid answer \"554");
    EXPECT_EQ(std::string(buffer + 20, 4), "####");

    const std::string longHost = "no such host " + std::string(600, 'h');
    memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(smtp::smtpSendMail(longHost.c_str(), 25, "kstd@localhost", "a@example.org", "", "", "s", "b", buffer,
                                    20, nullptr));
    EXPECT_EQ(std::string(buffer), "Can't resolve no su");
    EXPECT_EQ(std::string(buffer + 20, 4), "####");

    // No buffer at all is fine too.
    EXPECT_FALSE(smtp::smtpSendMail(longHost.c_str(), 25, "kstd@localhost", "a@example.org", "", "", "s", "b", nullptr,
                                    0, nullptr));
}

TEST_F(SmtpTest, UnknownHostAndClosedPort) {
    Outcome outcome{};
    char error[256] = "";
    int sock = 12345;
    smtp::Failure failure;
    EXPECT_FALSE(smtp::smtpSendMail("no such host!", 25, "kstd@localhost", "a@example.org", "", "", "s", "b", error,
                                    sizeof error, &sock, &failure));
    EXPECT_STREQ(error, "Can't resolve no such host!");
    EXPECT_EQ(sock, 12345);  // no socket was made
    EXPECT_EQ(failure.kind, Kind::kServer);

    const unsigned short port = smtptest::freePort();
    outcome = sendMail(port, "alice@example.org", "", "", "s", "b");
    EXPECT_FALSE(outcome.sent);
    EXPECT_EQ(outcome.error, "Can't connect to 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(outcome.socket, -1);
    EXPECT_EQ(outcome.kind, Kind::kServer);
}

TEST_F(SmtpTest, ReadlnAndWriteOnASocketPair) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string lines = "250 " + std::string(300, 'y') + "\r\nnext\r\n\r\nlast";
    ASSERT_EQ(::write(pair[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));

    char line[smtp::kReplySize];
    char error[128] = "";
    ASSERT_TRUE(smtp::readln(pair[0], error, sizeof error, line, sizeof line));
    EXPECT_EQ(std::string(line), "250 " + std::string(251, 'y'));
    ASSERT_TRUE(smtp::readln(pair[0], error, sizeof error, line, sizeof line));
    EXPECT_STREQ(line, "next");
    ASSERT_TRUE(smtp::readln(pair[0], error, sizeof error, line, sizeof line));
    EXPECT_STREQ(line, "");
    // Without a destination the line is read and dropped.
    close(pair[1]);
    EXPECT_FALSE(smtp::readln(pair[0], error, sizeof error, nullptr, 0));
    EXPECT_STREQ(error, "The connection has been closed by other side");
    close(pair[0]);

    // Writing to a peer that has gone fails with the reason and raises no
    // SIGPIPE.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_TRUE(smtp::write(pair[0], error, sizeof error, "HELO default\r\n"));
    char received[32] = "";
    ASSERT_EQ(read(pair[1], received, sizeof received - 1), 14);
    EXPECT_STREQ(received, "HELO default\r\n");
    close(pair[1]);
    EXPECT_FALSE(smtp::write(pair[0], error, sizeof error, "QUIT\r\n"));
    EXPECT_STREQ(error, "cannot write to socket: Broken pipe");
    close(pair[0]);
}

TEST_F(SmtpTest, SemicolonsToSzzPacksLists) {
    auto pack = [](const char* to, const char* cc) {
        std::vector<char> block(strlen(to) + strlen(cc) + 4, '#');
        char* ccStart = smtp::semicolonsToSzz(to, block.data());
        char* end = smtp::semicolonsToSzz(cc, ccStart);
        EXPECT_EQ(*end, '\0');
        EXPECT_LE(end, block.data() + block.size() - 1);
        std::vector<std::string> entries;
        for (const char* p = block.data(); *p != '\0'; p += strlen(p) + 1) entries.push_back(p);
        return std::make_pair(entries, static_cast<size_t>(ccStart - block.data()));
    };
    using Entries = std::vector<std::string>;
    EXPECT_EQ(pack("a@x; b@x ,\tc@x", "").first, (Entries{"a@x", "b@x", "c@x"}));
    EXPECT_EQ(pack("a@x;", "b@x").first, (Entries{"a@x", "b@x"}));
    EXPECT_EQ(pack("a@x;", "b@x").second, 4u);
    EXPECT_EQ(pack("", "b@x").first, (Entries{"b@x"}));
    EXPECT_EQ(pack("", "b@x").second, 0u);
    EXPECT_EQ(pack(";; ,", " ; ").first, Entries{});
    EXPECT_EQ(pack(";a@x;;b@x", "").first, (Entries{"a@x", "b@x"}));
    EXPECT_EQ(pack("a @ x\r\n", "").first, (Entries{"a@x"}));
}
