// A scripted SMSC for the unit tests of libvessa and of the SMSC sender: a
// loopback listener that takes the login and then hands its end of the
// connection to the test, which reads the exact bytes the library sent and
// writes what it should read.
#ifndef TESTS_EMI_PEER_H
#define TESTS_EMI_PEER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "vessa.h"

namespace emitest {

inline std::string frame(int trn, char orFlag, int ot, const std::string& data) {
    char header[32];
    std::snprintf(header, sizeof header, "%02d/%05d/%c/%02d/", trn, static_cast<int>(data.size() + 16), orFlag, ot);
    std::string body = std::string(header) + data;
    unsigned sum = 0;
    for (unsigned char c : body) sum += c;
    char crc[3];
    std::snprintf(crc, sizeof crc, "%02X", sum & 0xFF);
    return "\x02" + body + crc + "\x03";
}

// Reads up to and including the next ETX (at most 5 s); empty on failure.
inline std::string readFrame(int fd) {
    std::string out;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return std::string();
        char c;
        if (recv(fd, &c, 1, 0) != 1) return std::string();
        out += c;
        if (c == '\x03') return out;
    }
}

// Everything that arrives within `ms` milliseconds.
inline std::string drain(int fd, int ms = 100) {
    std::string out;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return out;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

inline bool writeAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

struct Options {
    std::string password = "secret";
    std::string origin = "12345";
    std::string alert = "0123";
    bool nullAlert = false;
    int window = 96;
    int throughput = 100;
    // The peer's answer to the login (a whole frame).
    std::string loginReply = frame(0, 'R', 60, "A//");
};

// A listening SMSC on loopback: login() accepts one connection while the
// caller's code logs in to `port`, reads the login and answers it; the test
// then holds the SMSC's end of the connection.
class Smsc {
public:
    Smsc() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        listen(listener_, 4);
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<struct sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~Smsc() {
        hangUp();
        close(listener_);
    }
    Smsc(const Smsc&) = delete;
    Smsc& operator=(const Smsc&) = delete;

    // Runs `connect` (the caller's login, which blocks until it is answered)
    // while the SMSC accepts (within 5 s), reads the login frame into
    // `login` and writes `loginReply`.
    template <typename F>
    void login(F connect, const std::string& loginReply = frame(0, 'R', 60, "A//")) {
        hangUp();
        std::thread smsc([this, &loginReply] {
            struct pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return;
            peer = accept(listener_, nullptr, nullptr);
            loginFrame = readFrame(peer);
            if (!loginFrame.empty()) writeAll(peer, loginReply);
        });
        connect();
        smsc.join();
    }

    std::string next() { return readFrame(peer); }
    bool send(const std::string& bytes) { return writeAll(peer, bytes); }
    // Closes the SMSC's end of the connection.
    void hangUp() {
        if (peer >= 0) close(peer);
        peer = -1;
    }

    int peer = -1;
    unsigned short port = 0;
    std::string loginFrame;

private:
    int listener_ = -1;
};

// One logged-in session: `emi` is the library's handle, `peer` the SMSC's
// end of the connection.
class Session {
public:
    explicit Session(const Options& o = Options()) {
        port = smsc_.port;
        smsc_.login(
            [&] {
                rc = emi_init(&emi, "127.0.0.1", port, o.password.c_str(), o.origin.c_str(),
                              o.nullAlert ? nullptr : o.alert.c_str(), o.window, o.throughput);
            },
            o.loginReply);
        peer = smsc_.peer;
        login = smsc_.loginFrame;
    }
    ~Session() { emi_destroy(emi); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::string next() { return readFrame(peer); }
    bool send(const std::string& bytes) { return writeAll(peer, bytes); }

    EMI emi = nullptr;
    int rc = -100;
    int peer = -1;
    unsigned short port = 0;
    std::string login;

private:
    Smsc smsc_;
};

}  // namespace emitest

#endif
