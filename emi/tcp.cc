// TCP transport of libvessa: connection set-up and exact-length transfers
// with a 5-second deadline per call; reads through the handle's input buffer.
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

// Sends exactly `size` bytes. The send is tried first and the socket
// waited for only when it is full; each wait is bounded by what is left of
// the 5 seconds since the call began.
int sendAll(emi_t* emi, const char* out, size_t size) {
    const time_t start = monotonicSeconds();
    int wait = VESSA_DEADLINE;
    size_t done = 0;
    while (done < size) {
        ssize_t moved = send(emi->sock, out + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (moved < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return EMI_SOCKERR;
            }
            int ready = waitForSocket(emi, POLLOUT, start, wait);
            if (ready < 0) {
                return ready;
            }
            continue;
        }
        traceWritten(emi, out + done, static_cast<size_t>(moved));
        done += static_cast<size_t>(moved);
    }
    return 0;
}

// Receives into the free end of the input buffer whatever is waiting
// (after a wait bounded as sendAll's), at least one byte. 0, EMI_CLOSED,
// EMI_SOCKERR or EMI_TIMEOUT.
int fillInput(emi_t* emi, time_t start, int& wait) {
    if (emi->input_start == emi->input_end) {
        emi->input_start = emi->input_end = 0;
    } else if (emi->input_end == sizeof emi->input) {
        std::memmove(emi->input, emi->input + emi->input_start, emi->input_end - emi->input_start);
        emi->input_end -= emi->input_start;
        emi->input_start = 0;
    }
    for (;;) {
        ssize_t moved = recv(emi->sock, emi->input + emi->input_end, sizeof emi->input - emi->input_end, MSG_DONTWAIT);
        if (moved > 0) {
            emi->input_end += static_cast<size_t>(moved);
            return 0;
        }
        if (moved == 0) {
            return EMI_CLOSED;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return EMI_SOCKERR;
        }
        int ready = waitForSocket(emi, POLLIN, start, wait);
        if (ready < 0) {
            return ready;
        }
    }
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

int tcp_write(emi_t* emi, const char* buf, size_t size) { return sendAll(emi, buf, size); }

size_t tcp_buffered(const emi_t* emi) { return emi->input_end - emi->input_start; }

int tcp_read(emi_t* emi, char* buf, size_t sz) {
    const time_t start = monotonicSeconds();
    int wait = VESSA_DEADLINE;
    size_t done = 0;
    while (done < sz) {
        if (tcp_buffered(emi) == 0) {
            int rc = fillInput(emi, start, wait);
            if (rc != 0) {
                return rc;
            }
        }
        size_t take = sz - done < tcp_buffered(emi) ? sz - done : tcp_buffered(emi);
        std::memcpy(buf + done, emi->input + emi->input_start, take);
        vessa_trace("tcp_read: %.*s\n", static_cast<int>(take), emi->input + emi->input_start);
        emi->input_start += take;
        done += take;
    }
    return 0;
}

int tcp_read_frame_rest(emi_t* emi, char* buf, size_t size, size_t limit, size_t* length, char* end) {
    using ucp::ETX;
    using ucp::STX;
    const time_t start = monotonicSeconds();
    int wait = VESSA_DEADLINE;
    *length = 0;
    *end = 0;
    while (*length < limit) {
        if (tcp_buffered(emi) == 0) {
            int rc = fillInput(emi, start, wait);
            if (rc != 0) {
                return rc;
            }
        }
        // Take up to the frame's end; what lies behind it stays buffered.
        const char* chunk = emi->input + emi->input_start;
        size_t seen = limit - *length < tcp_buffered(emi) ? limit - *length : tcp_buffered(emi);
        size_t take = seen;
        for (size_t i = 0; i < seen; ++i) {
            if (chunk[i] == ETX || chunk[i] == STX) {
                *end = chunk[i];
                take = chunk[i] == ETX ? i + 1 : i;
                break;
            }
        }
        if (*length < size) {
            size_t keep = size - *length < take ? size - *length : take;
            std::memcpy(buf + *length, chunk, keep);
        }
        if (take > 0) {
            vessa_trace("tcp_read: %.*s\n", static_cast<int>(take), chunk);
        }
        emi->input_start += take;
        *length += take;
        if (*end) {
            return 0;
        }
    }
    return 0;
}
