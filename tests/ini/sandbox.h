// Helpers for tests of the support library and the logger: scratch
// directories under the build tree, child processes with captured output, and
// a child process whose syslog messages land on a socket of the test.
#ifndef KST_TESTS_SANDBOX_H
#define KST_TESTS_SANDBOX_H

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"

#ifndef KST_TEST_SCRATCH
#error "KST_TEST_SCRATCH must name a directory under the build tree"
#endif

namespace sandbox {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// A fresh directory below KST_TEST_SCRATCH, removed with everything in it.
using testsupport::ScratchDir;

struct ChildResult {
    pid_t pid = -1;
    int status = -1;  // wait status
    std::string out;
    std::string err;

    bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs `body` in a forked child whose standard output and error go to files
// in `dir`; the child exits with the value `body` returns.
inline ChildResult runChild(const ScratchDir& dir, const std::function<int()>& body) {
    static int serial = 0;
    const std::string tag = std::to_string(++serial);
    const std::string outPath = dir.file("child" + tag + ".out");
    const std::string errPath = dir.file("child" + tag + ".err");
    fflush(stdout);
    fflush(stderr);
    ChildResult result;
    pid_t pid = fork();
    if (pid < 0) {
        result.err = std::string("fork: ") + strerror(errno);
        return result;
    }
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(120);
        ::close(out);
        ::close(err);
        int code = body();
        fflush(stdout);
        fflush(stderr);
        _exit(code);
    }
    result.pid = pid;
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

struct SyslogResult {
    ChildResult child;
    std::vector<std::string> messages;  // raw datagrams, "<PRI>..." as sent
    std::string setupError;
};

namespace detail {

inline bool sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Makes /dev/log inside a fresh mount namespace a datagram socket bound at
// `socketPath`: /dev gets an overlay whose upper layer lives in `dir`, the
// empty file "log" created there is the mount point of the socket.
inline std::string captureDevLog(const std::string& dir, int* socketFd) {
    const std::string upper = dir + "/dev-up";
    const std::string work = dir + "/dev-wk";
    const std::string socketPath = dir + "/syslog.sock";
    if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0)
        return std::string("mkdir: ") + strerror(errno);
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("private /: ") + strerror(errno);
    const std::string options = "lowerdir=/dev,upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0)
        return std::string("overlay /dev: ") + strerror(errno);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + strerror(errno);
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return "socket path too long: " + socketPath;
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return std::string("bind: ") + strerror(errno);
    int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);

    int mark = ::open("/dev/log", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (mark < 0) return std::string("create /dev/log: ") + strerror(errno);
    ::close(mark);
    if (mount(socketPath.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
        return std::string("bind mount /dev/log: ") + strerror(errno);
    *socketFd = fd;
    return std::string();
}

}  // namespace detail

// Runs `body` in a child process (as runChild) inside a private mount
// namespace whose /dev/log is a socket of the child; returns every syslog
// datagram sent while `body` ran. The body opens syslog itself.
inline SyslogResult runWithSyslog(const ScratchDir& dir, const std::function<int()>& body) {
    SyslogResult result;
    const std::string nsDir = dir.file("ns");
    const std::string capturePath = dir.file("syslog.capture");
    mkdir(nsDir.c_str(), 0755);

    // The capture file holds 'E' + text for a setup error, or 'M' + length +
    // text for each datagram.
    result.child = runChild(dir, [&]() -> int {
        int capture = ::open(capturePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (capture < 0) return 4;
        int socketFd = -1;
        std::string error = detail::captureDevLog(nsDir, &socketFd);
        if (!error.empty()) {
            detail::sendAll(capture, "E" + error);
            return 2;
        }
        // Unix datagram queues are short: a thread drains the socket while
        // the body runs, so that syslog() never blocks on a full queue.
        int stopFds[2];
        if (pipe(stopFds) != 0) return 5;
        // Frames are kept in memory until the body has ended, so that what
        // the body does to the process (file size limits, say) cannot lose
        // them.
        std::string frames;
        std::thread drain([&]() {
            std::vector<char> datagram(1 << 16);
            bool stopping = false;
            for (;;) {
                pollfd fds[2] = {{socketFd, POLLIN, 0}, {stopFds[0], POLLIN, 0}};
                if (!stopping && poll(fds, 2, -1) < 0 && errno != EINTR) break;
                if (!stopping && (fds[1].revents & POLLIN)) stopping = true;
                ssize_t n = recv(socketFd, datagram.data(), datagram.size(), MSG_DONTWAIT);
                if (n < 0) {
                    if (stopping) break;
                    continue;
                }
                uint32_t length = static_cast<uint32_t>(n);
                frames += 'M';
                frames.append(reinterpret_cast<const char*>(&length), sizeof length);
                frames.append(datagram.data(), static_cast<size_t>(n));
            }
        });
        int code = body();
        closelog();
        detail::sendAll(stopFds[1], "x");
        drain.join();
        if (!detail::sendAll(capture, frames)) return 3;
        return code;
    });

    const std::string stream = readFile(capturePath);
    size_t pos = 0;
    while (pos < stream.size()) {
        if (stream[pos] == 'E') {
            result.setupError = stream.substr(pos + 1);
            break;
        }
        uint32_t length = 0;
        if (stream[pos] != 'M' || pos + 1 + sizeof length > stream.size()) {
            result.setupError = "garbled capture file";
            break;
        }
        memcpy(&length, stream.data() + pos + 1, sizeof length);
        pos += 1 + sizeof length;
        result.messages.push_back(stream.substr(pos, length));
        pos += length;
    }
    if (result.setupError.empty() && !result.child.exitedWith(0) && stream.empty())
        result.setupError = "capture child failed: " + result.child.err;
    return result;
}

// The text of a syslog datagram after "<PRI>timestamp ident[pid]: ", or the
// whole datagram when it has no such prefix.
inline std::string syslogText(const std::string& datagram) {
    size_t colon = datagram.find("]: ");
    return colon == std::string::npos ? datagram : datagram.substr(colon + 3);
}

// The priority number of a syslog datagram ("<30>..." gives 30), or -1.
inline int syslogPriority(const std::string& datagram) {
    if (datagram.empty() || datagram[0] != '<') return -1;
    return atoi(datagram.c_str() + 1);
}

}  // namespace sandbox

#endif
