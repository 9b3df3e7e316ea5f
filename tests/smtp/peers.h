// Real SMTP servers for the SMTP client and e-mailer tests: aiosmtpd with the
// capture handler of this folder, and the scripted peer tools/smtppeer. Both
// run as child processes on loopback ports and keep what they receive in a
// private directory under the build tree.
#ifndef KST_TESTS_SMTP_PEERS_H
#define KST_TESTS_SMTP_PEERS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace smtptest {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
// The lines of a file without their line ends; none if it does not exist.
std::vector<std::string> readLines(const std::string& path);
// Polls `condition` every 20 ms; false if it did not hold within `limit`.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);
// A loopback port that nothing listens on at the moment.
unsigned short freePort();

// A child process; the destructor stops it (SIGTERM, then SIGKILL).
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool running();
    // Waits for the child to end by itself; false if it is still running.
    bool waitExit(std::chrono::milliseconds limit);

private:
    pid_t m_pid = -1;
    bool m_exited = false;
};

// aiosmtpd on a loopback port with the capture handler.
class MailServer {
public:
    struct Mail {
        std::string from;
        std::vector<std::string> recipients;
        std::string content;
    };

    // Recipients beginning with `refusePrefix` are refused with 550; those
    // beginning with `deferPrefix` with 450, the first `deferTimes` times
    // each is named (always when 0).
    explicit MailServer(const std::string& refusePrefix = "", const std::string& deferPrefix = "", int deferTimes = 0);
    ~MailServer();

    unsigned short port() const { return m_port; }
    // Messages received so far, in order of arrival.
    std::vector<Mail> mails() const;
    bool waitForMails(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    // Every address named in RCPT, accepted or refused, in order.
    std::vector<std::string> rcptLog() const;

private:
    // Below this test folder's build directory; m_dir is its path.
    testsupport::ScratchDir m_workDir;
    std::string m_dir;
    unsigned short m_port = 0;
    Process* m_process = nullptr;
};

// tools/smtppeer running the given scripts (connection n runs script n, the
// last one repeats).
class ScriptedPeer {
public:
    explicit ScriptedPeer(const std::vector<std::string>& scripts, int connections = 1, double lingerSeconds = 5);
    ~ScriptedPeer();

    unsigned short port() const { return m_port; }
    // The peer's record, one entry a line (see tools/smtppeer).
    std::vector<std::string> record() const;
    // The lines connection `connection` received, escapes as in the record
    // ("\r", "\n").
    std::vector<std::string> received(int connection = 1) const;
    // Waits until the peer has ended (served its connections).
    bool waitEnd(std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    // Below this test folder's build directory; m_dir is its path.
    testsupport::ScratchDir m_workDir;
    std::string m_dir;
    unsigned short m_port = 0;
    Process* m_process = nullptr;
};

}  // namespace smtptest

#endif
