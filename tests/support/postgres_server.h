// A private PostgreSQL server for one unit test, started by the harness's
// tests/harness/pgserver.py (the one implementation of it) as a child
// process in a directory below the build tree. The child stops the server
// and removes the directory when this object goes, when the test process
// ends however it ends (its input closes), or after ten minutes.
#ifndef KST_TESTS_SUPPORT_POSTGRES_SERVER_H
#define KST_TESTS_SUPPORT_POSTGRES_SERVER_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace testsupport {

class PostgresServer {
public:
    // Starts the server in `directory` (made if missing); throws
    // std::runtime_error with the harness's reason when it cannot.
    explicit PostgresServer(const std::string& directory) {
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
            throw std::runtime_error("PostgreSQL test server: no pipe");
        }
        m_pid = fork();
        if (m_pid < 0) throw std::runtime_error("PostgreSQL test server: cannot fork");
        if (m_pid == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            setenv("KST_BUILD_DIR", KST_TEST_BUILD_DIR, 1);
            const std::string script = std::string(KST_TEST_HARNESS_DIR) + "/pgserver.py";
            execlp("python3", "python3", script.c_str(), directory.c_str(), "--lifetime", "600",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        m_in = toChild[1];
        m_out = fromChild[0];
        const std::string line = readLine(120);
        if (line.compare(0, 6, "ready ") != 0) {
            finish();
            throw std::runtime_error("PostgreSQL test server did not start: " + line);
        }
        m_connection = line.substr(6);
    }
    ~PostgresServer() { finish(); }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    const std::string& connection() const { return m_connection; }
    // A fast shutdown (clients are disconnected), and a start on the same
    // port; both wait until done.
    void stop() { command("stop", "stopped"); }
    void start() { command("start", "started"); }

private:
    void command(const std::string& word, const std::string& answer) {
        const std::string line = word + "\n";
        if (write(m_in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            throw std::runtime_error("PostgreSQL test server: cannot send " + word);
        }
        const std::string reply = readLine(120);
        if (reply != answer) throw std::runtime_error("PostgreSQL test server: " + word + ": " + reply);
    }

    // The next line of the child, without its break; what it said so far
    // and why when it does not come within `seconds`.
    std::string readLine(int seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            const std::string::size_type end = m_buffer.find('\n');
            if (end != std::string::npos) {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return m_buffer + " (no answer in time)";
            pollfd readable{m_out, POLLIN, 0};
            if (poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[512];
            const ssize_t got = read(m_out, chunk, sizeof chunk);
            if (got <= 0) return m_buffer + " (the helper ended)";
            m_buffer.append(chunk, static_cast<size_t>(got));
        }
    }

    void finish() {
        if (m_pid <= 0) return;
        if (m_in >= 0) close(m_in);
        m_in = -1;
        // The child stops the server at the end of its input; a minute at most.
        for (int waited = 0; waited < 600; ++waited) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        if (m_out >= 0) close(m_out);
        m_out = -1;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    std::string m_connection;
};

}  // namespace testsupport

#endif
