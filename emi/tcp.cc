// TCP transport of libvessa: connection set-up and exact-length transfers
// with a 5-second deadline per call.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "vessa_internal.h"

void (*vessa_test_clock)(struct timeval* now) = nullptr;
FILE* vessa_trace_file = nullptr;

namespace {
std::atomic<bool> traceOn{true};
}  // namespace

extern "C" void emi_trace(int on) { traceOn.store(on != 0, std::memory_order_relaxed); }

bool vessa_tracing() { return traceOn.load(std::memory_order_relaxed); }

void vessa_now(struct timeval* now) {
    if (vessa_test_clock) {
        vessa_test_clock(now);
    } else {
        gettimeofday(now, nullptr);
    }
}

void vessa_trace(const char* format, ...) {
    if (!vessa_tracing()) {
        return;
    }
    va_list args;
    va_start(args, format);
    vfprintf(vessa_trace_file ? vessa_trace_file : stderr, format, args);
    va_end(args);
}

namespace {

// Whole seconds of a clock that never jumps, for the deadlines.
time_t monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

// Waits up to `wait` seconds for `events` on the socket, within the
// deadline counted from `start` (then `wait` is what is left of it).
// 1 when ready, 0 to wait again, or the error.
int waitForSocket(const emi_t* emi, short events, time_t start, int& wait) {
    struct pollfd pfd;
    pfd.fd = emi->sock;
    pfd.events = events;
    pfd.revents = 0;
    int ready = poll(&pfd, 1, wait * 1000);
    if (ready < 0 && errno != EINTR) {
        return EMI_SOCKERR;
    }
    int left = VESSA_DEADLINE - static_cast<int>(monotonicSeconds() - start);
    if (left <= 0) {
        return EMI_TIMEOUT;
    }
    wait = left;
    return ready > 0 ? 1 : 0;
}

// Traces one chunk that went out; the login's password digits are masked.
void traceWritten(const emi_t* emi, const char* chunk, size_t len) {
    if (!vessa_tracing()) {
        return;
    }
    if (emi->mask_len > 0 && chunk >= emi->buffer && chunk < emi->buffer + sizeof emi->buffer) {
        std::string copy(chunk, len);
        size_t from = static_cast<size_t>(chunk - emi->buffer);
        for (size_t i = 0; i < len; ++i) {
            size_t at = from + i;
            if (at >= static_cast<size_t>(emi->mask_off) && at < static_cast<size_t>(emi->mask_off + emi->mask_len)) {
                copy[i] = '*';
            }
        }
        vessa_trace("tcp_write: %.*s\n", static_cast<int>(len), copy.c_str());
        return;
    }
    vessa_trace("tcp_write: %.*s\n", static_cast<int>(len), chunk);
}

// Moves exactly `size` bytes in one direction. Each wait for the socket is
// bounded by what is left of the 5 seconds since the call began.
int transfer(emi_t* emi, char* in, const char* out, size_t size) {
    const time_t start = monotonicSeconds();
    int wait = VESSA_DEADLINE;
    size_t done = 0;
    while (done < size) {
        int ready = waitForSocket(emi, out ? POLLOUT : POLLIN, start, wait);
        if (ready < 0) {
            return ready;
        }
        if (ready == 0) {
            continue;
        }
        ssize_t moved = out ? send(emi->sock, out + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                            : recv(emi->sock, in + done, size - done, MSG_DONTWAIT);
        if (moved < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            return EMI_SOCKERR;
        }
        if (moved == 0 && !out) {
            return EMI_CLOSED;
        }
        if (out) {
            traceWritten(emi, out + done, static_cast<size_t>(moved));
        } else {
            vessa_trace("tcp_read: %.*s\n", static_cast<int>(moved), in + done);
        }
        done += static_cast<size_t>(moved);
    }
    return 0;
}

}  // namespace

SOCKET tcp_init(const char* hostname, unsigned short port) {
    if (!hostname) {
        return -1;
    }
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(hostname, nullptr, &hints, &found) != 0 || !found) {
        return -1;
    }
    struct sockaddr_in addr;
    std::memcpy(&addr, found->ai_addr, sizeof addr);
    freeaddrinfo(found);
    addr.sin_port = htons(port);

    // Close-on-exec: the daemon starts programs, which must not inherit
    // the SMSC connection.
    SOCKET sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return -1;
    }
    if (connect(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
        int saved = errno;
        close(sock);
        errno = saved;
        return -1;
    }
    return sock;
}

void tcp_destroy(SOCKET sock) {
    if (sock < 0) {
        return;
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

int tcp_write(emi_t* emi, const char* buf, size_t size) { return transfer(emi, nullptr, buf, size); }

int tcp_read(emi_t* emi, char* buf, size_t sz) { return transfer(emi, buf, nullptr, sz); }

int tcp_read_frame_rest(emi_t* emi, char* buf, size_t size, size_t limit, size_t* length, char* end) {
    using ucp::ETX;
    using ucp::STX;
    const time_t start = monotonicSeconds();
    int wait = VESSA_DEADLINE;
    *length = 0;
    *end = 0;
    char chunk[4096];
    while (*length < limit) {
        int ready = waitForSocket(emi, POLLIN, start, wait);
        if (ready < 0) {
            return ready;
        }
        if (ready == 0) {
            continue;
        }
        // Look before taking: nothing behind the frame's end is consumed.
        size_t want = limit - *length < sizeof chunk ? limit - *length : sizeof chunk;
        ssize_t seen = recv(emi->sock, chunk, want, MSG_PEEK | MSG_DONTWAIT);
        if (seen < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            return EMI_SOCKERR;
        }
        if (seen == 0) {
            return EMI_CLOSED;
        }
        size_t take = static_cast<size_t>(seen);
        for (size_t i = 0; i < static_cast<size_t>(seen); ++i) {
            if (chunk[i] == ETX || chunk[i] == STX) {
                *end = chunk[i];
                take = chunk[i] == ETX ? i + 1 : i;
                break;
            }
        }
        if (take > 0) {
            ssize_t moved = recv(emi->sock, chunk, take, MSG_DONTWAIT);
            if (moved != static_cast<ssize_t>(take)) {
                // What was seen is gone: nothing sane is left to read. errno
                // says nothing about it when the call itself succeeded.
                if (moved >= 0) errno = EIO;
                return EMI_SOCKERR;
            }
            vessa_trace("tcp_read: %.*s\n", static_cast<int>(take), chunk);
            if (*length < size) {
                size_t keep = size - *length < take ? size - *length : take;
                std::memcpy(buf + *length, chunk, keep);
            }
            *length += take;
        }
        if (*end) {
            return 0;
        }
    }
    return 0;
}
