// httpload: a lean HTTP/1.1 load generator for the benchmarks. Each of
// --connections threads keeps one keep-alive connection and sends one
// request after the other for --seconds, so that the client costs the
// machine as little as possible next to the servers it measures.
//
// The request line and body are templates: "{n}" becomes the request's
// sequence number (unique across threads) and "{to}" the nine digits
// 600000000 + n, so every request carries a text of its own.
//
//   httpload --port P [--host 127.0.0.1] [--connections 4] [--seconds 10]
//            [--method POST] --target /v1/messages [--body TEMPLATE]
//            [--header "Name: value"]... [--delay-ms N] [--expect 202]
//
// Prints one line: "RESULT requests=N seconds=S not_accepted=N
// errors_socket=N p50_us=N p99_us=N max_us=N"; the latency runs from a
// request's first byte sent to its answer's last byte received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int connections = 4;
    double seconds = 10;
    std::string method = "POST";
    std::string target;
    std::string body;
    std::vector<std::string> headers;
    int delayMs = 0;
    int expect = 202;
};

struct ThreadResult {
    long requests = 0;
    long notAccepted = 0;
    long socketErrors = 0;
    std::vector<long> latenciesUs;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "httpload: %s\n", why);
    std::exit(2);
}

std::string expand(const std::string& pattern, long n) {
    std::string out;
    out.reserve(pattern.size() + 16);
    for (size_t i = 0; i < pattern.size();) {
        if (pattern.compare(i, 3, "{n}") == 0) {
            out += std::to_string(n);
            i += 3;
        } else if (pattern.compare(i, 4, "{to}") == 0) {
            out += std::to_string(600000000L + n);
            i += 4;
        } else {
            out += pattern[i++];
        }
    }
    return out;
}

int connectTo(const Options& options) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    if (inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t sent = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

size_t findHeaderValue(const std::string& head, const char* name, std::string& value) {
    const size_t nameLength = std::strlen(name);
    for (size_t line = head.find("\r\n"); line != std::string::npos && line + 2 < head.size();
         line = head.find("\r\n", line + 2)) {
        if (strncasecmp(head.c_str() + line + 2, name, nameLength) == 0 && head[line + 2 + nameLength] == ':') {
            size_t from = line + 3 + nameLength;
            while (from < head.size() && head[from] == ' ') ++from;
            const size_t to = head.find("\r\n", from);
            value = head.substr(from, to - from);
            return from;
        }
    }
    return std::string::npos;
}

// Reads one answer (Content-Length bodies; chunked ones up to the last
// chunk). -1 on a socket error; otherwise the status. `keepOpen` is false
// when the server closes the connection after it.
int readAnswer(int fd, std::string& pending, bool& keepOpen) {
    char chunk[16384];
    size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return -1;
        pending.append(chunk, static_cast<size_t>(got));
    }
    const std::string head = pending.substr(0, headEnd + 2);
    if (head.compare(0, 5, "HTTP/") != 0 || head.size() < 12) return -1;
    const int status = std::atoi(head.c_str() + 9);
    std::string value;
    keepOpen =
        !(findHeaderValue(head, "Connection", value) != std::string::npos && strcasecmp(value.c_str(), "close") == 0);
    size_t bodyEnd;
    if (findHeaderValue(head, "Content-Length", value) != std::string::npos) {
        bodyEnd = headEnd + 4 + std::strtoul(value.c_str(), nullptr, 10);
        while (pending.size() < bodyEnd) {
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) return -1;
            pending.append(chunk, static_cast<size_t>(got));
        }
    } else if (findHeaderValue(head, "Transfer-Encoding", value) != std::string::npos) {
        while ((bodyEnd = pending.find("\r\n0\r\n\r\n", headEnd)) == std::string::npos) {
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) return -1;
            pending.append(chunk, static_cast<size_t>(got));
        }
        bodyEnd += 7;
    } else {
        bodyEnd = headEnd + 4;
    }
    pending.erase(0, bodyEnd);
    return status;
}

void run(const Options& options, int index, std::chrono::steady_clock::time_point end, ThreadResult& result) {
    long sequence = static_cast<long>(index) * 10000000L;
    int fd = -1;
    std::string pending;
    result.latenciesUs.reserve(200000);
    while (std::chrono::steady_clock::now() < end) {
        if (fd < 0) {
            fd = connectTo(options);
            pending.clear();
            if (fd < 0) {
                ++result.socketErrors;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
        }
        ++sequence;
        const std::string body = expand(options.body, sequence);
        std::string request =
            options.method + " " + expand(options.target, sequence) + " HTTP/1.1\r\nHost: " + options.host + "\r\n";
        for (const std::string& header : options.headers) request += header + "\r\n";
        if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        request += "\r\n" + body;
        const auto start = std::chrono::steady_clock::now();
        bool keepOpen = true;
        const int status = sendAll(fd, request) ? readAnswer(fd, pending, keepOpen) : -1;
        const auto done = std::chrono::steady_clock::now();
        if (status < 0) {
            ++result.socketErrors;
            close(fd);
            fd = -1;
            continue;
        }
        ++result.requests;
        if (status != options.expect) ++result.notAccepted;
        result.latenciesUs.push_back(std::chrono::duration_cast<std::chrono::microseconds>(done - start).count());
        if (!keepOpen) {
            close(fd);
            fd = -1;
        }
        if (options.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.delayMs));
    }
    if (fd >= 0) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) usage(("a value is missing after " + option).c_str());
        const char* value = argv[++i];
        if (option == "--host")
            options.host = value;
        else if (option == "--port")
            options.port = std::atoi(value);
        else if (option == "--connections")
            options.connections = std::atoi(value);
        else if (option == "--seconds")
            options.seconds = std::atof(value);
        else if (option == "--method")
            options.method = value;
        else if (option == "--target")
            options.target = value;
        else if (option == "--body")
            options.body = value;
        else if (option == "--header")
            options.headers.emplace_back(value);
        else if (option == "--delay-ms")
            options.delayMs = std::atoi(value);
        else if (option == "--expect")
            options.expect = std::atoi(value);
        else
            usage(("unknown option " + option).c_str());
    }
    if (options.port <= 0 || options.target.empty() || options.connections <= 0 || options.seconds <= 0)
        usage("--port and --target are needed; --connections and --seconds must be positive");

    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    std::vector<ThreadResult> results(static_cast<size_t>(options.connections));
    std::vector<std::thread> threads;
    for (int i = 0; i < options.connections; ++i)
        threads.emplace_back(run, std::cref(options), i, end, std::ref(results[static_cast<size_t>(i)]));
    for (std::thread& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    ThreadResult total;
    for (ThreadResult& one : results) {
        total.requests += one.requests;
        total.notAccepted += one.notAccepted;
        total.socketErrors += one.socketErrors;
        total.latenciesUs.insert(total.latenciesUs.end(), one.latenciesUs.begin(), one.latenciesUs.end());
    }
    std::sort(total.latenciesUs.begin(), total.latenciesUs.end());
    auto percentile = [&](double p) -> long {
        if (total.latenciesUs.empty()) return 0;
        const size_t at = static_cast<size_t>(p / 100.0 * static_cast<double>(total.latenciesUs.size() - 1) + 0.5);
        return total.latenciesUs[at];
    };
    std::printf(
        "RESULT requests=%ld seconds=%.3f not_accepted=%ld errors_socket=%ld p50_us=%ld p99_us=%ld max_us=%ld\n",
        total.requests, seconds, total.notAccepted, total.socketErrors, percentile(50), percentile(99),
        total.latenciesUs.empty() ? 0L : total.latenciesUs.back());
    return 0;
}
