// smscsim: an SMSC simulator that speaks the server side of EMI/UCP on a
// loopback port, for tests and benchmarks of the gateway.
//
// It checks LEN and the checksum of every frame it receives, answers logins
// (60), alerts (31) and submissions (51), sends delivery notifications (53),
// and can inject incoming messages (52, 01) and misbehave on command. Every
// frame received and sent is logged as one JSON object per line. A second
// loopback port takes line commands (see usage()).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const char STX = 0x02;
const char ETX = 0x03;
const size_t MAX_FRAME_LEN = 99999;  // five LEN digits

volatile sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

double nowSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + ts.tv_nsec / 1e6;
}

// ---------------------------------------------------------------- codec

const char HEX[] = "0123456789ABCDEF";

std::string hexEncode(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (unsigned char c : text) {
        out += HEX[c >> 4];
        out += HEX[c & 15];
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool hexDecode(const std::string& hex, std::string* out) {
    if (hex.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexValue(hex[i]), lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        *out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

bool isUpperHex(const std::string& s) {
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// What is wrong with the transparent data (MT 4) of a submission: its Msg,
// NB (bits of it) and XSer (extra services: type, length, data in hex);
// empty when nothing is.
std::string transparentDataProblem(const std::string& nb, const std::string& msg, const std::string& xser) {
    if (msg.size() % 2 || !isUpperHex(msg)) return "Msg of MT 4 is not upper-case hex pairs";
    const size_t bits = nb.empty() || nb.size() > 4 || nb.find_first_not_of("0123456789") != std::string::npos
                            ? SIZE_MAX
                            : std::stoul(nb);
    if (bits == SIZE_MAX || bits > msg.size() * 4 || bits + 8 <= msg.size() * 4) {
        return "NB of MT 4 does not match the octets of Msg";
    }
    if (xser.size() % 2 || !isUpperHex(xser)) return "XSer is not upper-case hex pairs";
    for (size_t i = 0; i < xser.size();) {
        if (i + 4 > xser.size()) return "XSer ends within a service's type and length";
        i += 4 + 2 * std::stoul(xser.substr(i + 2, 2), nullptr, 16);
        if (i > xser.size()) return "XSer ends within a service's data";
    }
    return "";
}

bool isDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

unsigned checksum(const std::string& s, size_t from, size_t to) {
    unsigned sum = 0;
    for (size_t i = from; i < to; ++i) sum += static_cast<unsigned char>(s[i]);
    return sum & 0xFF;
}

std::string twoDigits(int v) {
    char b[16];
    std::snprintf(b, sizeof b, "%02d", ((v % 100) + 100) % 100);
    return b;
}

// A whole frame, STX to ETX, for the data (which ends with "/").
std::string composeFrame(int trn, char orFlag, int ot, const std::string& data, bool badCrc) {
    char header[32];
    std::snprintf(header, sizeof header, "%02d/%05d/%c/%02d/", trn % 100, static_cast<int>(data.size() + 16), orFlag,
                  ot % 100);
    std::string frame(1, STX);
    frame += header;
    frame += data;
    unsigned sum = checksum(frame, 1, frame.size());
    if (badCrc) sum = (sum + 1) & 0xFF;
    frame += HEX[sum >> 4];
    frame += HEX[sum & 15];
    frame += ETX;
    return frame;
}

std::vector<std::string> splitFields(const std::string& data) {
    // data ends with "/": every field is followed by one.
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '/') {
            fields.push_back(data.substr(start, i - start));
            start = i + 1;
        }
    }
    return fields;
}

std::string joinFields(const std::vector<std::string>& fields) {
    std::string out;
    for (const auto& f : fields) {
        out += f;
        out += '/';
    }
    return out;
}

// DDMMYYhhmmss in local time.
std::string timestamp(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%d%m%y%H%M%S", &tm);
    return b;
}

// ---------------------------------------------------------------- JSON log

void jsonString(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    // Bytes map to code points 0-255 (read back as latin-1).
                    char b[8];
                    std::snprintf(b, sizeof b, "\\u%04x", c);
                    out += b;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

class Log {
public:
    explicit Log(int fd) : m_fd(fd) {}

    // Starts a record: {"t":..., "conn":N
    std::string& begin(int conn) {
        char b[64];
        std::snprintf(b, sizeof b, "{\"t\":%.6f,\"conn\":%d", nowSeconds(), conn);
        m_buf += b;
        return m_buf;
    }
    void end() {
        m_buf += "}\n";
        if (m_buf.size() > (1u << 18)) flush();
    }
    void flush() {
        size_t off = 0;
        while (off < m_buf.size()) {
            ssize_t n = write(m_fd, m_buf.data() + off, m_buf.size() - off);
            if (n < 0) {
                if (errno == EINTR) continue;
                std::fprintf(stderr, "smscsim: log write failed: %s\n", std::strerror(errno));
                break;
            }
            off += static_cast<size_t>(n);
        }
        m_buf.clear();
    }

private:
    int m_fd;
    std::string m_buf;
};

// ---------------------------------------------------------------- state

struct Behaviour {
    std::string password;  // empty: any password is accepted
    bool passwordSet = false;
    std::string login = "check";  // check | ack | nack
    int loginError = 7;
    std::string submit = "ack";  // ack | nack | ignore
    int submitError = 4;
    int nackEvery = 0;  // refuse every Nth submission with submitError (0: none)
    bool hold = false;  // keep the results of submissions until "release"
    std::string scts;   // empty: a unique SCTS per AdC; else this one for all
    int submitDelayMs = 0;
    std::string alert = "ack";  // ack | nack | ignore
    int alertError = 4;
    bool notify = true;
    int notifyStatus = 0;
    int notifyReason = 0;
    int notifyDelayMs = 0;
    int closeAfter = 0;  // one-shot: close a connection after this many frames in
    int badCrc = 0;      // the next frames sent carry a wrong checksum
    bool requireLogin = true;
};

struct Counts {
    long accepted = 0, logins = 0, loginFailures = 0, alerts = 0, submits = 0, submitAcks = 0, submitNacks = 0,
         submitIgnored = 0, resultsIn = 0, framesIn = 0, framesOut = 0, notifications = 0, injected = 0, violations = 0,
         closed = 0, unsent = 0;
};

struct Conn {
    int id = 0;
    int fd = -1;
    std::string peer;
    std::string in;
    std::string out;
    bool loggedIn = false;
    std::string loginAddress;
    long framesIn = 0;
    bool closing = false;
};

struct Control {
    int fd = -1;
    std::string in;
    std::string out;
};

struct Task {
    int conn;
    int trn;
    char orFlag;
    int ot;
    std::string data;
    const char* kind;  // "result" or "notification": what it counts as
};

// A submission's result (and notification) kept back by "hold".
struct Held {
    Task result;
    bool notify;
    Task notification;
};

struct Submission {
    std::string adc;
    std::string target;  // who gets the notification
    std::string scts;
};

class Simulator {
public:
    Simulator(Behaviour b, int logFd) : m_b(std::move(b)), m_log(logFd) {}

    bool listen(int ucpPort, int controlPort);
    void run();

    int ucpPort() const { return m_ucpPort; }
    int controlPort() const { return m_controlPort; }
    // Runs one control command and returns its answer line.
    std::string command(const std::string& line);

private:
    int openListener(int port, int* bound);
    void acceptUcp();
    void acceptControl();
    void readConn(Conn& c);
    void writeConn(Conn& c);
    void closeConn(Conn& c, const char* reason);
    void parseInput(Conn& c);
    void violation(Conn& c, const std::string& what, const std::string& raw);
    void logFrame(const Conn& c, const char* dir, const std::string& raw, const std::string& trn, char orFlag,
                  const std::string& ot, const std::vector<std::string>& fields, const char* extra);
    void handleFrame(Conn& c, int trn, char orFlag, int ot, const std::vector<std::string>& f, const std::string& raw);
    void send(Conn& c, int trn, char orFlag, int ot, const std::string& data, const char* note = nullptr);
    void sendRaw(Conn& c, const std::string& bytes, const char* note);
    void schedule(double atMs, Task t);
    // Schedules a submission's result (and its notification), or keeps them
    // while "hold" is on.
    void answer(Task result, bool notify, Task notification);
    std::string release(bool reverse);
    void runTasks();
    std::string uniqueScts(const std::string& adc);
    std::string notificationData(const Submission& s, int status, int reason);
    Conn* current();
    int nextTrn();

    void readControl(Control& k);
    std::string setting(const std::string& key, const std::string& value);
    std::string counts() const;
    std::string config() const;

    Behaviour m_b;
    Log m_log;
    Counts m_n;
    int m_ucpFd = -1, m_controlFd = -1, m_ucpPort = 0, m_controlPort = 0;
    int m_nextConnId = 1;
    int m_trn = 0;
    std::map<int, Conn> m_conns;
    std::vector<std::unique_ptr<Control>> m_controls;
    std::multimap<double, Task> m_tasks;
    std::vector<Held> m_held;
    std::unordered_map<std::string, time_t> m_lastScts;
    bool m_quit = false;
};

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int Simulator::openListener(int port, int* bound) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, 64) < 0) {
        std::fprintf(stderr, "smscsim: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
        close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    *bound = ntohs(addr.sin_port);
    setNonBlocking(fd);
    return fd;
}

bool Simulator::listen(int ucpPort, int controlPort) {
    m_ucpFd = openListener(ucpPort, &m_ucpPort);
    m_controlFd = openListener(controlPort, &m_controlPort);
    return m_ucpFd >= 0 && m_controlFd >= 0;
}

// The newest open connection, preferring logged-in ones.
Conn* Simulator::current() {
    Conn* best = nullptr;
    for (auto& [id, c] : m_conns) {
        if (c.fd < 0) continue;
        if (!best || c.loggedIn || !best->loggedIn) best = &c;
    }
    return best;
}

int Simulator::nextTrn() {
    m_trn = (m_trn + 1) % 100;
    return m_trn;
}

void Simulator::acceptUcp() {
    for (;;) {
        struct sockaddr_in addr;
        socklen_t len = sizeof addr;
        int fd = accept4(m_ucpFd, reinterpret_cast<struct sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Conn c;
        c.id = m_nextConnId++;
        c.fd = fd;
        char b[64];
        std::snprintf(b, sizeof b, "%s:%d", inet_ntoa(addr.sin_addr), ntohs(addr.sin_port));
        c.peer = b;
        m_n.accepted++;
        std::string& o = m_log.begin(c.id);
        o += ",\"event\":\"connect\",\"peer\":";
        jsonString(o, c.peer);
        m_log.end();
        m_conns[c.id] = std::move(c);
    }
}

void Simulator::acceptControl() {
    for (;;) {
        int fd = accept4(m_controlFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto k = std::make_unique<Control>();
        k->fd = fd;
        m_controls.push_back(std::move(k));
    }
}

void Simulator::closeConn(Conn& c, const char* reason) {
    if (c.fd < 0) return;
    std::string& o = m_log.begin(c.id);
    o += ",\"event\":\"close\",\"reason\":";
    jsonString(o, reason);
    m_log.end();
    close(c.fd);
    c.fd = -1;
    c.closing = true;
    m_n.closed++;
}

void Simulator::readConn(Conn& c) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buf) break;
            continue;
        }
        if (n == 0) {
            parseInput(c);
            if (!c.in.empty() && c.fd >= 0) violation(c, "connection closed inside a frame", c.in);
            closeConn(c, "peer closed");
            return;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        closeConn(c, std::strerror(errno));
        return;
    }
    parseInput(c);
}

void Simulator::writeConn(Conn& c) {
    while (c.fd >= 0 && !c.out.empty()) {
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        closeConn(c, n < 0 ? std::strerror(errno) : "send failed");
        return;
    }
}

void Simulator::violation(Conn& c, const std::string& what, const std::string& raw) {
    m_n.violations++;
    std::string& o = m_log.begin(c.id);
    o += ",\"dir\":\"in\",\"violation\":";
    jsonString(o, what);
    o += ",\"raw\":";
    jsonString(o, raw);
    m_log.end();
    std::fprintf(stderr, "smscsim: connection %d: violation: %s\n", c.id, what.c_str());
}

void Simulator::logFrame(const Conn& c, const char* dir, const std::string& raw, const std::string& trn, char orFlag,
                         const std::string& ot, const std::vector<std::string>& fields, const char* extra) {
    std::string& o = m_log.begin(c.id);
    o += ",\"dir\":\"";
    o += dir;
    o += "\",\"trn\":";
    jsonString(o, trn);
    o += ",\"or\":\"";
    o += orFlag;
    o += "\",\"ot\":";
    jsonString(o, ot);
    o += ",\"fields\":[";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) o += ',';
        jsonString(o, fields[i]);
    }
    o += "],\"raw\":";
    jsonString(o, raw);
    if (extra) {
        o += ',';
        o += extra;
    }
    m_log.end();
}

// Splits the receive buffer into frames and checks each of them.
void Simulator::parseInput(Conn& c) {
    std::string& in = c.in;
    size_t pos = 0;
    while (c.fd >= 0 && pos < in.size()) {
        size_t stx = in.find(STX, pos);
        if (stx == std::string::npos) {
            violation(c, "bytes outside a frame", in.substr(pos));
            pos = in.size();
            break;
        }
        if (stx > pos) {
            violation(c, "bytes before STX", in.substr(pos, stx - pos));
            pos = stx;
        }
        if (in.size() - pos < 15) break;  // header incomplete
        const std::string header = in.substr(pos + 1, 14);
        bool headerOk = isDigits(header.substr(0, 2)) && header[2] == '/' && isDigits(header.substr(3, 5)) &&
                        header[8] == '/' && (header[9] == 'O' || header[9] == 'R') && header[10] == '/' &&
                        isDigits(header.substr(11, 2)) && header[13] == '/';
        if (!headerOk) {
            size_t next = in.find(STX, pos + 1);
            size_t end = next == std::string::npos ? in.size() : next;
            violation(c, "malformed header", in.substr(pos, end - pos));
            pos = end;
            continue;
        }
        size_t len = static_cast<size_t>(std::atoi(header.substr(3, 5).c_str()));
        if (len < 17 || len > MAX_FRAME_LEN) {
            size_t next = in.find(STX, pos + 1);
            size_t end = next == std::string::npos ? in.size() : next;
            violation(c, "impossible LEN " + header.substr(3, 5), in.substr(pos, end - pos));
            pos = end;
            continue;
        }
        // LEN covers TRN through the checksum; the frame is STX + LEN + ETX.
        size_t total = len + 2;
        size_t avail = std::min(in.size() - pos, total);
        size_t early = in.find_first_of(std::string("\x02\x03", 2), pos + 1);
        if (early != std::string::npos && early < pos + total - 1 && early < pos + avail) {
            size_t end = in[early] == ETX ? early + 1 : early;
            violation(c, "LEN " + header.substr(3, 5) + " does not match the frame (STX/ETX inside)",
                      in.substr(pos, end - pos));
            pos = end;
            continue;
        }
        if (in.size() - pos < total) break;  // wait for the rest
        std::string raw = in.substr(pos, total);
        pos += total;
        if (raw.back() != ETX) {
            violation(c, "no ETX where LEN " + header.substr(3, 5) + " ends the frame", raw);
            continue;
        }
        c.framesIn++;
        m_n.framesIn++;
        std::string data = raw.substr(15, len - 16);
        std::string crc = raw.substr(len - 1, 2);
        int trn = std::atoi(header.substr(0, 2).c_str());
        char orFlag = header[9];
        int ot = std::atoi(header.substr(11, 2).c_str());
        std::vector<std::string> fields = splitFields(data);
        unsigned sum = checksum(raw, 1, len - 1);
        std::string expected{HEX[sum >> 4], HEX[sum & 15]};
        std::string problem;
        if (crc != expected) {
            problem = "bad checksum " + crc + ", expected " + expected;
        } else if (data.empty() || data.back() != '/') {
            problem = "data does not end with /";
        } else {
            for (unsigned char ch : data) {
                if (ch < 0x20 || ch > 0x7E) {
                    problem = "byte outside printable IA5 in the data";
                    break;
                }
            }
        }
        if (problem.empty()) {
            size_t want = 0;
            bool result = orFlag == 'R';
            if (!result) {
                switch (ot) {
                    case 60: want = 12; break;
                    case 31: want = 2; break;
                    case 51:
                    case 52:
                    case 53: want = 33; break;
                    case 1: want = 5; break;
                    default: break;
                }
            } else if (ot == 1 || ot == 31 || ot == 60) {
                bool ack = !fields.empty() && fields[0] == "A";
                want = ack ? 2 : 3;
            } else if (ot == 51 || ot == 52 || ot == 53) {
                want = 3;
            }
            if (want && fields.size() != want) {
                problem = "operation " + twoDigits(ot) + (result ? " result" : "") + " has " +
                          std::to_string(fields.size()) + " fields, expected " + std::to_string(want);
            } else if (result && (fields.empty() || (fields[0] != "A" && fields[0] != "N"))) {
                problem = "result without A or N";
            } else if (!result && (ot == 51 || ot == 52 || ot == 53) && fields[18] == "3" &&
                       (fields[20].size() % 2 || !isUpperHex(fields[20]))) {
                problem = "Msg of MT 3 is not upper-case hex pairs";
            } else if (!result && ot == 51 && fields[18] == "4") {
                problem = transparentDataProblem(fields[19], fields[20], fields[30]);
            }
        }
        if (m_b.closeAfter > 0 && --m_b.closeAfter == 0) {
            logFrame(c, "in", raw, header.substr(0, 2), orFlag, header.substr(11, 2), fields,
                     problem.empty() ? nullptr : "\"bad\":true");
            if (!problem.empty()) violation(c, problem, raw);
            closeConn(c, "close_after");
            break;
        }
        if (!problem.empty()) {
            violation(c, problem, raw);
            logFrame(c, "in", raw, header.substr(0, 2), orFlag, header.substr(11, 2), fields, "\"bad\":true");
            if (orFlag == 'O' && crc != expected) {
                send(c, trn, 'R', ot, "N/01//");
            } else if (orFlag == 'O') {
                send(c, trn, 'R', ot, "N/02//");
            }
        } else {
            logFrame(c, "in", raw, header.substr(0, 2), orFlag, header.substr(11, 2), fields, nullptr);
            handleFrame(c, trn, orFlag, ot, fields, raw);
        }
    }
    in.erase(0, std::min(pos, in.size()));
}

std::string decodeIa5(const std::string& hex) {
    std::string out;
    hexDecode(hex, &out);
    return out;
}

void Simulator::handleFrame(Conn& c, int trn, char orFlag, int ot, const std::vector<std::string>& f,
                            const std::string&) {
    if (orFlag == 'R') {
        m_n.resultsIn++;
        return;
    }
    if (ot == 60) {
        std::string password = decodeIa5(f[4]);
        bool ok = m_b.login == "ack" || (m_b.login == "check" && (!m_b.passwordSet || password == m_b.password));
        std::string& o = m_log.begin(c.id);
        o += ",\"event\":\"login\",\"ok\":";
        o += ok ? "true" : "false";
        o += ",\"address\":";
        jsonString(o, f[0]);
        m_log.end();
        if (ok) {
            c.loggedIn = true;
            c.loginAddress = f[0];
            m_n.logins++;
            send(c, trn, 'R', 60, "A//");
        } else {
            m_n.loginFailures++;
            send(c, trn, 'R', 60, "N/" + twoDigits(m_b.loginError) + "//");
        }
        return;
    }
    if (m_b.requireLogin && !c.loggedIn) {
        send(c, trn, 'R', ot, "N/07//", "\"note\":\"not logged in\"");
        return;
    }
    if (ot == 31) {
        m_n.alerts++;
        if (m_b.alert == "ack") {
            send(c, trn, 'R', 31, "A//");
        } else if (m_b.alert == "nack") {
            send(c, trn, 'R', 31, "N/" + twoDigits(m_b.alertError) + "//");
        }
        return;
    }
    if (ot == 51) {
        m_n.submits++;
        if (m_b.submit == "ignore") {
            m_n.submitIgnored++;
            return;
        }
        if (m_b.submit == "nack" || (m_b.nackEvery > 0 && m_n.submits % m_b.nackEvery == 0)) {
            m_n.submitNacks++;
            answer(Task{c.id, trn, 'R', 51, "N/" + twoDigits(m_b.submitError) + "//", "result"}, false, Task{});
            return;
        }
        m_n.submitAcks++;
        Submission s;
        s.adc = f[0];
        s.target = !f[4].empty() ? f[4] : f[1];
        s.scts = m_b.scts.empty() ? uniqueScts(s.adc) : m_b.scts;
        answer(Task{c.id, trn, 'R', 51, "A//" + s.adc + ":" + s.scts + "/", "result"}, f[3] == "1" && m_b.notify,
               Task{c.id, -1, 'O', 53, notificationData(s, m_b.notifyStatus, m_b.notifyReason), "notification"});
        return;
    }
    // Operations an SMSC does not take from its clients.
    send(c, trn, 'R', ot, "N/03//");
}

std::string Simulator::uniqueScts(const std::string& adc) {
    // The SCTS identifies a message together with its AdC: never hand out
    // the same pair twice.
    time_t now = time(nullptr);
    auto it = m_lastScts.find(adc);
    time_t t = now;
    if (it != m_lastScts.end() && it->second >= now) t = it->second + 1;
    if (m_lastScts.size() > 100000) {
        for (auto i = m_lastScts.begin(); i != m_lastScts.end();) {
            i = i->second < now - 2 ? m_lastScts.erase(i) : std::next(i);
        }
    }
    m_lastScts[adc] = t;
    return timestamp(t);
}

std::string Simulator::notificationData(const Submission& s, int status, int reason) {
    const char* what = status == 0 ? "has been delivered" : status == 1 ? "is buffered" : "could not be delivered";
    std::string text = "Message for " + s.adc + ", with identification " + s.scts + " " + what;
    std::vector<std::string> f(33);
    f[0] = s.target;
    f[1] = s.adc;
    f[14] = s.scts;
    f[15] = std::to_string(status);
    char rsn[8];
    std::snprintf(rsn, sizeof rsn, "%03d", reason % 1000);
    f[16] = rsn;
    f[17] = "";  // the discharge time is filled in when it is sent
    f[18] = "3";
    f[20] = hexEncode(text);
    return joinFields(f);
}

void Simulator::answer(Task result, bool notify, Task notification) {
    if (m_b.hold) {
        m_held.push_back(Held{std::move(result), notify, std::move(notification)});
        return;
    }
    double at = monotonicMs() + m_b.submitDelayMs;
    schedule(at, std::move(result));
    if (notify) schedule(at + m_b.notifyDelayMs, std::move(notification));
}

std::string Simulator::release(bool reverse) {
    std::vector<Held> held;
    held.swap(m_held);
    if (reverse) std::reverse(held.begin(), held.end());
    double at = monotonicMs();
    for (Held& h : held) {
        schedule(at, std::move(h.result));
        if (h.notify) schedule(at + m_b.notifyDelayMs, std::move(h.notification));
    }
    return "OK released=" + std::to_string(held.size());
}

void Simulator::schedule(double atMs, Task t) {
    if (atMs <= monotonicMs() && t.kind && std::strcmp(t.kind, "result") == 0) {
        auto it = m_conns.find(t.conn);
        if (it != m_conns.end() && it->second.fd >= 0) {
            send(it->second, t.trn, t.orFlag, t.ot, t.data);
            return;
        }
    }
    m_tasks.emplace(atMs, std::move(t));
}

void Simulator::runTasks() {
    double now = monotonicMs();
    while (!m_tasks.empty() && m_tasks.begin()->first <= now) {
        Task t = std::move(m_tasks.begin()->second);
        m_tasks.erase(m_tasks.begin());
        auto it = m_conns.find(t.conn);
        if (it == m_conns.end() || it->second.fd < 0) {
            // The connection is gone: say so, the client never sees it.
            m_n.unsent++;
            std::string& o = m_log.begin(t.conn);
            o += ",\"event\":\"unsent\",\"kind\":";
            jsonString(o, t.kind);
            o += ",\"trn\":";
            jsonString(o, twoDigits(t.trn));
            m_log.end();
            continue;
        }
        Conn& c = it->second;
        if (std::strcmp(t.kind, "notification") == 0) {
            // Discharge time stamp: now.
            std::vector<std::string> f = splitFields(t.data);
            f[17] = timestamp(time(nullptr));
            m_n.notifications++;
            send(c, nextTrn(), 'O', 53, joinFields(f));
        } else {
            send(c, t.trn, t.orFlag, t.ot, t.data);
        }
    }
}

void Simulator::send(Conn& c, int trn, char orFlag, int ot, const std::string& data, const char* note) {
    if (c.fd < 0) return;
    bool bad = m_b.badCrc > 0;
    if (bad) m_b.badCrc--;
    std::string frame = composeFrame(trn, orFlag, ot, data, bad);
    std::string extra;
    if (bad) extra = "\"broken\":\"bad checksum\"";
    if (note) {
        if (!extra.empty()) extra += ',';
        extra += note;
    }
    logFrame(c, "out", frame, twoDigits(trn), orFlag, twoDigits(ot), splitFields(data),
             extra.empty() ? nullptr : extra.c_str());
    m_n.framesOut++;
    c.out += frame;
}

void Simulator::sendRaw(Conn& c, const std::string& bytes, const char* note) {
    std::string& o = m_log.begin(c.id);
    o += ",\"dir\":\"out\",\"broken\":";
    jsonString(o, note);
    o += ",\"raw\":";
    jsonString(o, bytes);
    m_log.end();
    m_n.framesOut++;
    c.out += bytes;
}

// ---------------------------------------------------------------- control

void Simulator::readControl(Control& k) {
    char buf[8192];
    for (;;) {
        ssize_t n = recv(k.fd, buf, sizeof buf, 0);
        if (n > 0) {
            k.in.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        close(k.fd);
        k.fd = -1;
        return;
    }
    size_t nl;
    while ((nl = k.in.find('\n')) != std::string::npos) {
        std::string line = k.in.substr(0, nl);
        k.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::string& o = m_log.begin(0);
        o += ",\"event\":\"command\",\"line\":";
        jsonString(o, line);
        m_log.end();
        std::string reply = command(line);
        k.out += reply + "\n";
    }
    while (!k.out.empty()) {
        ssize_t n = ::send(k.fd, k.out.data(), k.out.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        k.out.erase(0, static_cast<size_t>(n));
    }
}

bool parseInt(const std::string& s, int* v) {
    if (s.empty()) return false;
    char* end = nullptr;
    long x = std::strtol(s.c_str(), &end, 10);
    if (*end || x < -1000000000L || x > 1000000000L) return false;
    *v = static_cast<int>(x);
    return true;
}

std::string Simulator::setting(const std::string& key, const std::string& value) {
    int v = 0;
    bool num = parseInt(value, &v);
    auto oneOf = [&](std::string* field, std::initializer_list<const char*> allowed) -> std::string {
        for (const char* a : allowed) {
            if (value == a) {
                *field = value;
                return "OK";
            }
        }
        return "ERR bad value for " + key + ": " + value;
    };
    auto number = [&](int* field, int lo, int hi) -> std::string {
        if (!num || v < lo || v > hi) return "ERR bad number for " + key + ": " + value;
        *field = v;
        return "OK";
    };
    if (key == "password") {
        m_b.password = value;
        m_b.passwordSet = true;
        return "OK";
    }
    if (key == "login") return oneOf(&m_b.login, {"check", "ack", "nack"});
    if (key == "login_error") return number(&m_b.loginError, 0, 99);
    if (key == "submit") return oneOf(&m_b.submit, {"ack", "nack", "ignore"});
    if (key == "submit_error") return number(&m_b.submitError, 0, 99);
    if (key == "submit_delay") return number(&m_b.submitDelayMs, 0, 3600000);
    if (key == "nack_every") return number(&m_b.nackEvery, 0, 1000000);
    if (key == "hold") {
        if (!num) return "ERR bad value for hold: " + value;
        m_b.hold = v != 0;
        return "OK";
    }
    if (key == "scts") {
        if (value == "auto") {
            m_b.scts.clear();
        } else if (value.size() == 12 && isDigits(value)) {
            m_b.scts = value;
        } else {
            return "ERR bad value for scts: " + value;
        }
        return "OK";
    }
    if (key == "alert") return oneOf(&m_b.alert, {"ack", "nack", "ignore"});
    if (key == "alert_error") return number(&m_b.alertError, 0, 99);
    if (key == "notify") {
        if (value == "on" || value == "1")
            m_b.notify = true;
        else if (value == "off" || value == "0")
            m_b.notify = false;
        else
            return "ERR bad value for notify: " + value;
        return "OK";
    }
    if (key == "notify_status") return number(&m_b.notifyStatus, 0, 9);
    if (key == "notify_reason") return number(&m_b.notifyReason, 0, 999);
    if (key == "notify_delay") return number(&m_b.notifyDelayMs, 0, 3600000);
    if (key == "close_after") return number(&m_b.closeAfter, 0, 1000000000);
    if (key == "bad_crc") return number(&m_b.badCrc, 0, 1000000000);
    if (key == "require_login") {
        if (!num) return "ERR bad value for require_login: " + value;
        m_b.requireLogin = v != 0;
        return "OK";
    }
    return "ERR unknown setting " + key;
}

std::string Simulator::counts() const {
    long open = 0;
    for (const auto& [id, c] : m_conns) open += c.fd >= 0 ? 1 : 0;
    std::ostringstream o;
    o << "OK accepted=" << m_n.accepted << " open=" << open << " closed=" << m_n.closed << " logins=" << m_n.logins
      << " login_failures=" << m_n.loginFailures << " alerts=" << m_n.alerts << " submits=" << m_n.submits
      << " submit_acks=" << m_n.submitAcks << " submit_nacks=" << m_n.submitNacks
      << " submit_ignored=" << m_n.submitIgnored << " results_in=" << m_n.resultsIn << " frames_in=" << m_n.framesIn
      << " frames_out=" << m_n.framesOut << " notifications=" << m_n.notifications << " injected=" << m_n.injected
      << " violations=" << m_n.violations << " pending=" << m_tasks.size() << " held=" << m_held.size()
      << " unsent=" << m_n.unsent;
    return o.str();
}

std::string Simulator::config() const {
    std::ostringstream o;
    o << "OK password=" << (m_b.passwordSet ? m_b.password : "*") << " login=" << m_b.login
      << " login_error=" << m_b.loginError << " submit=" << m_b.submit << " submit_error=" << m_b.submitError
      << " submit_delay=" << m_b.submitDelayMs << " nack_every=" << m_b.nackEvery << " hold=" << (m_b.hold ? 1 : 0)
      << " scts=" << (m_b.scts.empty() ? "auto" : m_b.scts) << " alert=" << m_b.alert
      << " alert_error=" << m_b.alertError << " notify=" << (m_b.notify ? "on" : "off")
      << " notify_status=" << m_b.notifyStatus << " notify_reason=" << m_b.notifyReason
      << " notify_delay=" << m_b.notifyDelayMs << " close_after=" << m_b.closeAfter << " bad_crc=" << m_b.badCrc
      << " require_login=" << (m_b.requireLogin ? 1 : 0);
    return o.str();
}

std::string Simulator::command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    auto rest = [&]() {
        std::string r;
        std::getline(in, r);
        if (!r.empty() && r[0] == ' ') r.erase(0, 1);
        return r;
    };
    if (verb == "ping") return "OK pong";
    if (verb == "ports") {
        return "OK ucp=" + std::to_string(m_ucpPort) + " control=" + std::to_string(m_controlPort);
    }
    if (verb == "flush") {
        m_log.flush();
        return "OK";
    }
    if (verb == "counts") return counts();
    if (verb == "config") return config();
    if (verb == "set") {
        std::string key, value;
        in >> key;
        value = rest();
        return setting(key, value);
    }
    if (verb == "quit") {
        m_quit = true;
        return "OK";
    }
    if (verb == "release") {
        // release [reverse]: the held results, in the order of their
        // submissions or the other way round
        std::string order;
        in >> order;
        if (!order.empty() && order != "reverse") return "ERR usage: release [reverse]";
        return release(order == "reverse");
    }
    if (verb == "drop") {
        int n = 0;
        for (auto& [id, c] : m_conns) {
            if (c.fd >= 0) {
                closeConn(c, "drop command");
                ++n;
            }
        }
        return "OK dropped=" + std::to_string(n);
    }
    Conn* c = current();
    if (verb == "inject" || verb == "notify" || verb == "send" || verb == "raw" || verb == "badlen") {
        if (!c) return "ERR no connection";
    }
    if (verb == "inject") {
        // inject 52|01 OADC ADC SCTS|- TEXT...
        std::string ot, oadc, adc, scts;
        in >> ot >> oadc >> adc >> scts;
        std::string text = rest();
        if (scts.empty()) return "ERR usage: inject 52|01 OADC ADC SCTS|- TEXT";
        if (scts == "-") scts = timestamp(time(nullptr));
        int trn = nextTrn();
        if (ot == "52") {
            std::vector<std::string> f(33);
            f[0] = adc;
            f[1] = oadc;
            f[14] = scts;
            f[18] = "3";
            f[20] = hexEncode(text);
            send(*c, trn, 'O', 52, joinFields(f));
        } else if (ot == "01" || ot == "1") {
            send(*c, trn, 'O', 1, adc + "/" + oadc + "//3/" + hexEncode(text) + "/");
        } else {
            return "ERR inject takes 52 or 01";
        }
        m_n.injected++;
        return "OK trn=" + twoDigits(trn) + " scts=" + scts;
    }
    if (verb == "notify") {
        // notify ADC SCTS STATUS [TARGET]
        std::string adc, scts, status, target;
        in >> adc >> scts >> status >> target;
        int st = 0;
        if (!parseInt(status, &st)) return "ERR usage: notify ADC SCTS STATUS [TARGET]";
        Submission s{adc, target.empty() ? c->loginAddress : target, scts};
        std::vector<std::string> f = splitFields(notificationData(s, st, m_b.notifyReason));
        f[17] = timestamp(time(nullptr));
        int trn = nextTrn();
        m_n.notifications++;
        send(*c, trn, 'O', 53, joinFields(f));
        return "OK trn=" + twoDigits(trn);
    }
    if (verb == "send") {
        // send O|R OT TRN DATA: a correctly framed frame with this data
        std::string orFlag, ot, trn;
        in >> orFlag >> ot >> trn;
        std::string data = rest();
        int o = 0, t = 0;
        if ((orFlag != "O" && orFlag != "R") || !parseInt(ot, &o) || !parseInt(trn, &t)) {
            return "ERR usage: send O|R OT TRN DATA";
        }
        send(*c, t, orFlag[0], o, data);
        return "OK";
    }
    if (verb == "raw") {
        // raw HEX: these bytes exactly, unchecked
        std::string hex, bytes;
        in >> hex;
        if (!hexDecode(hex, &bytes)) return "ERR usage: raw HEX";
        sendRaw(*c, bytes, "raw");
        return "OK";
    }
    if (verb == "badlen") {
        // badlen [LEN]: a 52 frame whose LEN field lies (default 00005)
        std::string len;
        in >> len;
        if (len.empty()) len = "00005";
        if (len.size() != 5 || !isDigits(len)) return "ERR usage: badlen [LEN as 5 digits]";
        std::vector<std::string> f(33);
        f[0] = "123";
        f[1] = "456";
        f[18] = "3";
        f[20] = hexEncode("bad length");
        std::string frame = composeFrame(nextTrn(), 'O', 52, joinFields(f), false);
        frame.replace(4, 5, len);
        sendRaw(*c, frame, "impossible LEN");
        return "OK";
    }
    return "ERR unknown command " + verb;
}

// ---------------------------------------------------------------- loop

void Simulator::run() {
    std::vector<struct pollfd> fds;
    std::vector<int> connIds;
    while (!g_stop && !m_quit) {
        fds.clear();
        connIds.clear();
        fds.push_back({m_ucpFd, POLLIN, 0});
        fds.push_back({m_controlFd, POLLIN, 0});
        for (auto& k : m_controls) fds.push_back({k->fd, POLLIN, 0});
        size_t firstConn = fds.size();
        for (auto& [id, c] : m_conns) {
            short ev = POLLIN;
            if (!c.out.empty()) ev |= POLLOUT;
            fds.push_back({c.fd, ev, 0});
            connIds.push_back(id);
        }
        int timeout = 200;
        if (!m_tasks.empty()) {
            double wait = m_tasks.begin()->first - monotonicMs();
            timeout = wait <= 0 ? 0 : std::min(200, static_cast<int>(wait) + 1);
        }
        int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "smscsim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (ready > 0) {
            if (fds[0].revents & POLLIN) acceptUcp();
            if (fds[1].revents & POLLIN) acceptControl();
            for (size_t i = 2; i < firstConn; ++i) {
                if (fds[i].revents) readControl(*m_controls[i - 2]);
            }
            for (size_t i = firstConn; i < fds.size(); ++i) {
                auto it = m_conns.find(connIds[i - firstConn]);
                if (it == m_conns.end() || it->second.fd < 0) continue;
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readConn(it->second);
            }
        }
        runTasks();
        for (auto& [id, c] : m_conns) writeConn(c);
        for (auto it = m_conns.begin(); it != m_conns.end();) {
            it = it->second.fd < 0 ? m_conns.erase(it) : std::next(it);
        }
        m_controls.erase(std::remove_if(m_controls.begin(), m_controls.end(),
                                        [](const std::unique_ptr<Control>& k) { return k->fd < 0; }),
                         m_controls.end());
        m_log.flush();
    }
    for (auto& [id, c] : m_conns) {
        writeConn(c);
        closeConn(c, "simulator stops");
    }
    m_log.flush();
}

void usage() {
    std::printf(
        "usage: smscsim [options]\n"
        "  --port N            UCP port on 127.0.0.1 (0: any free one; default 0)\n"
        "  --control-port N    control port on 127.0.0.1 (default 0)\n"
        "  --log FILE          JSON-lines frame log (default: standard error)\n"
        "  --password PWD      login password (default: any is accepted)\n"
        "  --set KEY=VALUE     initial setting (any key of the control command set)\n"
        "Prints \"smscsim: ucp_port=N control_port=M\" when it listens.\n"
        "Control commands, one per line, answered by one line \"OK ...\" or \"ERR ...\":\n"
        "  ping | ports | counts | config | flush | quit | drop\n"
        "  release [reverse]  send the held results, in submission order or reversed\n"
        "  set KEY VALUE      password, login check|ack|nack, login_error N,\n"
        "                     submit ack|nack|ignore, submit_error N, submit_delay MS,\n"
        "                     nack_every N (refuse every Nth submission with submit_error),\n"
        "                     hold 0|1 (keep the results of submissions), scts DDMMYYhhmmss|auto,\n"
        "                     alert ack|nack|ignore, alert_error N, notify on|off,\n"
        "                     notify_status 0|1|2, notify_reason N, notify_delay MS,\n"
        "                     close_after N, bad_crc N, require_login 0|1\n"
        "  inject 52|01 OADC ADC SCTS|- TEXT    incoming message (MT 3)\n"
        "  notify ADC SCTS STATUS [TARGET]      delivery notification now\n"
        "  send O|R OT TRN DATA                 any frame, correctly framed\n"
        "  raw HEX                              bytes as they are\n"
        "  badlen [LEN]                         a 52 frame with a false LEN\n");
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0, controlPort = 0;
    std::string logPath;
    Behaviour b;
    std::vector<std::pair<std::string, std::string>> settings;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "smscsim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--port") {
            port = std::atoi(value().c_str());
        } else if (a == "--control-port") {
            controlPort = std::atoi(value().c_str());
        } else if (a == "--log") {
            logPath = value();
        } else if (a == "--password") {
            settings.emplace_back("password", value());
        } else if (a == "--set") {
            std::string kv = value();
            size_t eq = kv.find('=');
            if (eq == std::string::npos) {
                std::fprintf(stderr, "smscsim: --set needs KEY=VALUE\n");
                return 2;
            }
            settings.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else {
            std::fprintf(stderr, "smscsim: unknown option %s\n", a.c_str());
            usage();
            return 2;
        }
    }
    int logFd = 2;
    if (!logPath.empty()) {
        logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0) {
            std::fprintf(stderr, "smscsim: cannot open %s: %s\n", logPath.c_str(), std::strerror(errno));
            return 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    Simulator sim(b, logFd);
    if (!sim.listen(port, controlPort)) return 1;
    for (const auto& [k, v] : settings) {
        std::string r = sim.command("set " + k + " " + v);
        if (r.compare(0, 2, "OK") != 0) {
            std::fprintf(stderr, "smscsim: %s\n", r.c_str());
            return 2;
        }
    }
    std::printf("smscsim: ucp_port=%d control_port=%d\n", sim.ucpPort(), sim.controlPort());
    std::fflush(stdout);
    sim.run();
    return 0;
}
