#include "smtp.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace smtp {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_timeoutMs{kDefaultTimeoutMs};
std::atomic<unsigned long> g_messageNumber{0};

void setError(char* errorText, size_t errorSize, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Formats into the caller's buffer, cut to its size.
void setError(char* errorText, size_t errorSize, const char* format, ...) {
    if (errorText == nullptr || errorSize == 0) return;
    va_list args;
    va_start(args, format);
    vsnprintf(errorText, errorSize, format, args);
    va_end(args);
}

// strerror_r comes in a GNU and an XSI flavour; these pick the text of either.
[[maybe_unused]] const char* errorString(int rc, const char* buffer) { return rc == 0 ? buffer : "unknown error"; }
[[maybe_unused]] const char* errorString(const char* text, const char*) { return text; }

std::string systemError(int error) {
    char buffer[128] = "";
    return errorString(strerror_r(error, buffer, sizeof buffer), buffer);
}

// Prints the failed call's system error to standard error and leaves it in
// the error text as well, so that the caller can say why.
void reportSystemError(const char* what, char* errorText, size_t errorSize) {
    const int error = errno;
    perror(what);
    setError(errorText, errorSize, "%s: %s", what, systemError(error).c_str());
}

// A socket call that failed only for now: interrupted, or nothing to do yet.
bool isTransient(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

double seconds(int milliseconds) { return milliseconds / 1000.0; }

Clock::time_point deadlineAfter(int milliseconds) { return Clock::now() + std::chrono::milliseconds(milliseconds); }

// Waits until the socket is ready for `events`. Returns 1 when ready (or in
// error, which the following call reports), 0 when the deadline has passed,
// -1 on a failure of poll itself (errno set).
int waitReady(int sock, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        pollfd entry{sock, events, 0};
        const int rc = poll(&entry, 1, ms);
        if (rc > 0) return 1;
        if (rc < 0 && errno != EINTR) return -1;
        if (rc == 0 && Clock::now() >= deadline) return 0;
    }
}

// Reads one line, as readln does, but gives up at `deadline`.
bool readLine(int sock, char* errorText, size_t errorSize, char* dest, size_t destSize, Clock::time_point deadline,
              int timeoutMs) {
    if (dest != nullptr && destSize > 0) dest[0] = '\0';
    size_t length = 0;
    for (;;) {
        const int ready = waitReady(sock, POLLIN, deadline);
        if (ready == 0) {
            setError(errorText, errorSize, "Timed out after %g s waiting for an answer", seconds(timeoutMs));
            return false;
        }
        char c;
        ssize_t got = ready < 0 ? -1 : recv(sock, &c, 1, 0);
        if (got == 0) {
            setError(errorText, errorSize, "The connection has been closed by other side");
            return false;
        }
        if (got < 0) {
            if (ready > 0 && isTransient(errno)) continue;
            reportSystemError("cannot read from socket", errorText, errorSize);
            return false;
        }
        if (c == '\n') return true;
        if (c == '\r') continue;
        if (dest != nullptr && destSize >= 2 && length + 2 <= destSize) {
            dest[length++] = c;
            dest[length] = '\0';
        }
    }
}

bool isContinuation(const char* line) {
    return line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' && line[2] >= '0' && line[2] <= '9' &&
           line[3] == '-';
}

// Reads a whole reply, continuation lines ("250-...") included, and leaves its
// last line in `line`. The time-out covers the whole reply.
bool readReply(int sock, char* errorText, size_t errorSize, char* line, size_t lineSize) {
    const int timeoutMs = g_timeoutMs.load();
    const auto deadline = deadlineAfter(timeoutMs);
    do {
        if (!readLine(sock, errorText, errorSize, line, lineSize, deadline, timeoutMs)) return false;
    } while (isContinuation(line));
    return true;
}

// Reads a reply and checks that its code begins with `expected`; a reply
// that does not is left in `refusal`.
bool expectReply(int sock, char* errorText, size_t errorSize, char expected, std::string& refusal) {
    char line[kReplySize];
    if (!readReply(sock, errorText, errorSize, line, sizeof line)) return false;
    if (line[0] != expected) {
        setError(errorText, errorSize, "Invalid answer \"%s\"", line);
        refusal = line;
        return false;
    }
    return true;
}

bool command(int sock, char* errorText, size_t errorSize, const std::string& text, char expected,
             std::string& refusal) {
    return write(sock, errorText, errorSize, text.c_str()) &&
           expectReply(sock, errorText, errorSize, expected, refusal);
}

// A value for a header line or a command: line breaks would start a new
// header or command, so they are dropped.
std::string oneLine(const char* value) {
    std::string result;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p != '\r' && *p != '\n') result += *p;
    }
    return result;
}

// The body as it goes over the wire: every line ends with CR LF (a bare LF or
// a bare CR is a line end as well) and a line that begins with "." gets one
// more, so that the server gives back exactly the lines of the text.
std::string bodyOnWire(const char* body) {
    std::string wire;
    bool lineStart = true;
    for (const char* p = body; *p != '\0'; ++p) {
        if (*p == '\r' || *p == '\n') {
            if (*p == '\r' && p[1] == '\n') ++p;
            wire += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && *p == '.') wire += '.';
        wire += *p;
        lineStart = false;
    }
    return wire;
}

std::string dateHeader() {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    long offset = local.tm_gmtoff / 60;
    const char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[96];
    snprintf(text, sizeof text, "Date: %s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld\r\n", days[local.tm_wday % 7],
             local.tm_mday, months[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
             sign, offset / 60, offset % 60);
    return text;
}

// The domain of the sender address, when it is a plain host name.
std::string senderDomain(const std::string& from) {
    const size_t at = from.rfind('@');
    if (at == std::string::npos || at + 1 == from.size()) return "localhost";
    const std::string domain = from.substr(at + 1);
    for (char c : domain) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!plain) return "localhost";
    }
    return domain;
}

std::string messageIdHeader(const std::string& from) {
    timeval now;
    gettimeofday(&now, nullptr);
    char text[80];
    snprintf(text, sizeof text, "%lld.%06ld.%ld.%lu", static_cast<long long>(now.tv_sec),
             static_cast<long>(now.tv_usec), static_cast<long>(getpid()), g_messageNumber.fetch_add(1));
    return std::string("Message-ID: <") + text + "@" + senderDomain(from) + ">\r\n";
}

// Owns the socket of one dialogue: shuts it down for writing and closes it
// on every way out, and keeps the caller's copy of the descriptor current.
class Connection {
public:
    explicit Connection(int* socketOut) : m_socketOut(socketOut) {}
    ~Connection() {
        if (m_sock < 0) return;
        if (m_socketOut != nullptr) *m_socketOut = -1;
        shutdown(m_sock, SHUT_WR);
        close(m_sock);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool open() {
        m_sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_sock < 0) return false;
        if (m_socketOut != nullptr) *m_socketOut = m_sock;
        return true;
    }
    int fd() const { return m_sock; }

private:
    int* m_socketOut;
    int m_sock = -1;
};

// Connects the non-blocking socket within the time-out.
bool connectTo(int sock, const sockaddr_in& address, const char* host, unsigned short port, char* errorText,
               size_t errorSize) {
    const int timeoutMs = g_timeoutMs.load();
    if (connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) {
        setError(errorText, errorSize, "Can't connect to %s:%u", host, port);
        return false;
    }
    const int ready = waitReady(sock, POLLOUT, deadlineAfter(timeoutMs));
    if (ready == 0) {
        setError(errorText, errorSize, "Can't connect to %s:%u (no answer within %g s)", host, port,
                 seconds(timeoutMs));
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0 || getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        setError(errorText, errorSize, "Can't connect to %s:%u", host, port);
        return false;
    }
    return true;
}

}  // namespace

void setTimeout(int milliseconds) { g_timeoutMs.store(milliseconds > 0 ? milliseconds : 1); }

int timeout() { return g_timeoutMs.load(); }

bool readln(int sock, char* errorText, size_t errorSize, char* dest, size_t destSize) {
    const int timeoutMs = g_timeoutMs.load();
    return readLine(sock, errorText, errorSize, dest, destSize, deadlineAfter(timeoutMs), timeoutMs);
}

bool write(int sock, char* errorText, size_t errorSize, const char* text) {
    const int timeoutMs = g_timeoutMs.load();
    const auto deadline = deadlineAfter(timeoutMs);
    const size_t total = strlen(text);
    size_t sent = 0;
    while (sent < total) {
        const int ready = waitReady(sock, POLLOUT, deadline);
        if (ready == 0) {
            setError(errorText, errorSize, "Timed out after %g s while writing \"%s\"", seconds(timeoutMs), text);
            return false;
        }
        // MSG_NOSIGNAL: a server that has gone away must not raise SIGPIPE.
        const ssize_t n = ready < 0 ? -1 : send(sock, text + sent, total - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (ready > 0 && isTransient(errno)) continue;
            reportSystemError("cannot write to socket", errorText, errorSize);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

char* semicolonsToSzz(const char* list, char* dest) {
    char* out = dest;
    bool inEntry = false;
    for (const char* p = list; p != nullptr && *p != '\0'; ++p) {
        const char c = *p;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == ';' || c == ',') {
            if (inEntry) *out++ = '\0';
            inEntry = false;
            continue;
        }
        *out++ = c;
        inEntry = true;
    }
    if (inEntry) *out++ = '\0';
    *out = '\0';
    return out;
}

namespace {

// How far a dialogue came before it failed.
struct Progress {
    std::string refusal;      // the reply that refused, if one did
    bool pastSender = false;  // the sender was accepted: later refusals concern this message
};

bool dialogue(const char* host, unsigned short port, const char* from, const char* to, const char* cc, const char* bcc,
              const char* subject, const char* body, char* errorText, size_t errorSize, int* socketOut,
              Progress& progress) {
    std::string& refusal = progress.refusal;
    host = host ? host : "";
    from = from ? from : "";
    to = to ? to : "";
    cc = cc ? cc : "";
    bcc = bcc ? bcc : "";
    subject = subject ? subject : "";
    body = body ? body : "";

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        setError(errorText, errorSize, "Can't resolve %s", host);
        return false;
    }
    sockaddr_in address;
    memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    address.sin_port = htons(port);

    Connection connection(socketOut);
    if (!connection.open()) {
        setError(errorText, errorSize, "Can't create socket");
        return false;
    }
    const int sock = connection.fd();
    if (!connectTo(sock, address, host, port, errorText, errorSize)) return false;

    if (!expectReply(sock, errorText, errorSize, '2', refusal)) return false;
    if (!command(sock, errorText, errorSize, "HELO default\r\n", '2', refusal)) return false;
    const std::string sender = oneLine(from);
    if (!command(sock, errorText, errorSize, "MAIL FROM: <" + sender + ">\r\n", '2', refusal)) return false;
    progress.pastSender = true;

    // All recipients in one block: the to entries, then the cc entries, then
    // the bcc entries, ended by an empty string.
    std::vector<char> recipients(strlen(to) + strlen(cc) + strlen(bcc) + 4);
    char* const toStart = recipients.data();
    char* const ccStart = semicolonsToSzz(to, toStart);
    char* const bccStart = semicolonsToSzz(cc, ccStart);
    semicolonsToSzz(bcc, bccStart);
    for (const char* entry = toStart; *entry != '\0'; entry += strlen(entry) + 1) {
        if (!command(sock, errorText, errorSize, std::string("RCPT TO: <") + entry + ">\r\n", '2', refusal))
            return false;
    }
    if (!command(sock, errorText, errorSize, "DATA\r\n", '3', refusal)) return false;

    if (!write(sock, errorText, errorSize, ("From: <" + sender + ">\r\n").c_str())) return false;
    if (!write(sock, errorText, errorSize, "Content-Type: text/plain;\r\n charset=\"ISO-8859-2\"\r\nSubject: "))
        return false;
    if (!write(sock, errorText, errorSize, oneLine(subject).c_str())) return false;
    if (!write(sock, errorText, errorSize, "\r\n")) return false;
    // One header per range, folded one address per line; bcc is never shown.
    struct Range {
        const char* name;
        const char* begin;
        const char* end;
    };
    for (const Range& range : {Range{"To:", toStart, ccStart}, Range{"Cc:", ccStart, bccStart}}) {
        if (range.begin == range.end) continue;
        if (!write(sock, errorText, errorSize, range.name)) return false;
        for (const char* entry = range.begin; entry < range.end; entry += strlen(entry) + 1) {
            const std::string piece = std::string(entry == range.begin ? "" : ",\r\n") + " <" + entry + ">";
            if (!write(sock, errorText, errorSize, piece.c_str())) return false;
        }
        if (!write(sock, errorText, errorSize, "\r\n")) return false;
    }
    if (!write(sock, errorText, errorSize, dateHeader().c_str())) return false;
    if (!write(sock, errorText, errorSize, messageIdHeader(sender).c_str())) return false;
    if (!write(sock, errorText, errorSize, "\r\n")) return false;

    const std::string wire = bodyOnWire(body);
    if (!write(sock, errorText, errorSize, wire.c_str())) return false;
    // The CR LF before the final dot ends the last line of the body.
    const bool endsWithLine = wire.empty() || (wire.size() >= 2 && wire.compare(wire.size() - 2, 2, "\r\n") == 0);
    if (!command(sock, errorText, errorSize, endsWithLine ? ".\r\n" : "\r\n.\r\n", '2', refusal)) return false;
    // The server has the message now: whatever QUIT gets, sending it again
    // would mail it twice.
    std::string quitRefusal;
    char quitError[128];
    command(sock, quitError, sizeof quitError, "QUIT\r\n", '2', quitRefusal);
    return true;
}

Failure::Kind failureKind(const Progress& progress) {
    const std::string& reply = progress.refusal;
    if (reply.empty()) return Failure::kServer;
    if (reply[0] == '5') return Failure::kPermanent;
    if (reply.compare(0, 3, "421") == 0 || !progress.pastSender) return Failure::kServer;
    return Failure::kTemporary;
}

}  // namespace

bool smtpSendMail(const char* host, unsigned short port, const char* from, const char* to, const char* cc,
                  const char* bcc, const char* subject, const char* body, char* errorText, size_t errorSize,
                  int* socketOut, Failure* failure) {
    Progress progress;
    const bool sent = dialogue(host, port, from, to, cc, bcc, subject, body, errorText, errorSize, socketOut, progress);
    if (failure != nullptr) {
        failure->kind = sent ? Failure::kNone : failureKind(progress);
        failure->reply = sent ? std::string() : progress.refusal;
    }
    return sent;
}

}  // namespace smtp
