#include "http_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "counters.h"
#include "logger.h"
#include "message_json.h"
#include "metrics.h"
#include "request_decoding.h"
#include "sent_message.h"
#include "statistics.h"
#include "store.h"
#include "trace.h"

namespace {

const char* const label = "HTTP if";

using nlohmann::json;

std::string sha256(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string readFile(const std::string& path, const char* what) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    if (file) content << file.rdbuf();
    if (!file || content.str().empty()) {
        throw HttpServerError(std::string("Cannot read ") + what + " " + path + ": " +
                              (errno != 0 ? strerror(errno) : "empty file"));
    }
    return content.str();
}

void logFromLibrary(void*, const char* format, va_list arguments) {
    char text[512];
    vsnprintf(text, sizeof text, format, arguments);
    traceAs(label, "%s", text);
}

MHD_Result dispatch(void* server, MHD_Connection* connection, const char* url, const char* method, const char*,
                    const char* uploadData, size_t* uploadDataSize, void** requestState) {
    return static_cast<MHD_Result>(
        static_cast<HttpServer*>(server)->handle(connection, url, method, uploadData, uploadDataSize, requestState));
}

void completed(void*, MHD_Connection*, void** requestState, MHD_RequestTerminationCode) {
    HttpServer::finish(requestState);
}

std::string header(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value ? value : "";
}

std::string clientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "";
    char text[INET6_ADDRSTRLEN] = "";
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return text;
}

bool isJsonType(const std::string& contentType) {
    const std::string::size_type end = contentType.find(';');
    std::string type = contentType.substr(0, end);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
    return strcasecmp(type.c_str(), "application/json") == 0;
}

// Printable ASCII, 1 to 255 characters.
bool validIdempotencyKey(const std::string& key) {
    if (key.empty() || key.size() > 255) return false;
    for (unsigned char c : key) {
        if (c < 0x21 || c > 0x7e) return false;
    }
    return true;
}

// The body of a 202: every message queued, in order.
std::string acceptedBody(const std::vector<Submission::Queued>& queued) {
    json messages = json::array();
    for (const Submission::Queued& one : queued) {
        messages.push_back({{"id", std::to_string(one.id)}, {"to", one.to}, {"part", one.part}, {"parts", one.parts}});
    }
    return dumpJson(json{{"messages", messages}});
}

}  // namespace

struct HttpServer::Request {
    // The answer, once decided.
    int status = 0;
    std::string contentType;
    std::string payload;
    std::vector<std::pair<std::string, std::string>> headers;
    // Decided with the headers: what the request asks for.
    enum Route { Submit, Show, List, Status, Metrics } route = Submit;
    std::string messageId;
    std::string scope;
    std::string body;

    void problem(int code, const char* slug, const char* title, const std::string& detail,
                 const std::string* field = nullptr) {
        json document{{"type", std::string("urn:kestrova:problem:") + slug},
                      {"title", title},
                      {"status", code},
                      {"detail", detail}};
        if (field != nullptr) document["field"] = *field;
        status = code;
        contentType = "application/problem+json";
        payload = dumpJson(document);
    }
    void answerJson(int code, const json& document) {
        status = code;
        contentType = "application/json";
        payload = dumpJson(document);
    }
};

HttpServer::HttpServer(const HttpSettings& settings, const Submission::Options& options, const Parts& parts)
    : m_settings(settings), m_parts(parts), m_submission(parts.queue, parts.counters, options, label) {
    for (const std::string& key : settings.apiKeys) m_keyDigests.push_back(sha256(key));
    if (!settings.certificateFile.empty()) {
        m_certificate = readFile(settings.certificateFile, "HTTP/CertificateFile");
        m_key = readFile(settings.keyFile, "HTTP/KeyFile");
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(settings.host.c_str(), std::to_string(settings.port).c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        throw HttpServerError("HTTP/Listen " + settings.listen + ": " + gai_strerror(resolved));
    }
    std::string error;
    for (addrinfo* address = found; address != nullptr && m_socket < 0; address = address->ai_next) {
        const int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            error = strerror(errno);
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, address->ai_addr, address->ai_addrlen) != 0 || listen(fd, 128) != 0) {
            error = strerror(errno);
            close(fd);
            continue;
        }
        m_socket = fd;
    }
    freeaddrinfo(found);
    if (m_socket < 0) throw HttpServerError("HTTP/Listen " + settings.listen + ": cannot listen: " + error);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&bound), &length);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

HttpServer::~HttpServer() {
    if (m_daemon != nullptr) {
        trace("waiting for the HTTP server...\n");
        MHD_stop_daemon(m_daemon);
        trace("HTTP server stopped.\n");
    }
    if (m_socket >= 0) close(m_socket);
}

void HttpServer::start() {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&bound), &length);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG | MHD_USE_AUTO;
    if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    if (!m_certificate.empty()) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options{
        {MHD_OPTION_LISTEN_SOCKET, m_socket, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, threadPoolSize, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, connectionTimeout, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, connectionLimit, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, connectionLimitPerAddress, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&completed), nullptr},
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&logFromLibrary), nullptr},
    };
    if (!m_certificate.empty()) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(m_certificate.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(m_key.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    m_daemon =
        MHD_start_daemon(flags, 0, nullptr, nullptr, &dispatch, this, MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (m_daemon == nullptr) {
        throw HttpServerError("HTTP/Listen " + m_settings.listen + ": the HTTP server cannot start" +
                              (m_certificate.empty() ? std::string()
                                                     : " (are HTTP/CertificateFile and HTTP/KeyFile a matching "
                                                       "PEM certificate and key?)"));
    }
    // The server owns the socket now and closes it when it stops.
    m_socket = -1;
    trace("HTTP server listening on %s port %u%s\n", m_settings.host.c_str(), m_port,
          m_certificate.empty() ? "" : " (HTTPS)");
}

void HttpServer::finish(void** requestState) {
    delete static_cast<Request*>(*requestState);
    *requestState = nullptr;
}

bool HttpServer::authorized(MHD_Connection* connection, std::string& scope) const {
    const std::string authorization = header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
    if (authorization.size() < 7 || strncasecmp(authorization.c_str(), "Bearer ", 7) != 0) return false;
    std::string::size_type start = authorization.find_first_not_of(' ', 7);
    if (start == std::string::npos) return false;
    const std::string presented = sha256(authorization.substr(start));
    // Every key is compared, each in constant time, whichever matches.
    int matches = 0;
    for (const std::string& digest : m_keyDigests) {
        matches |= CRYPTO_memcmp(digest.data(), presented.data(), digest.size()) == 0 ? 1 : 0;
    }
    if (matches == 0) return false;
    scope = hex(presented);
    return true;
}

int HttpServer::handle(MHD_Connection* connection, const char* url, const char* method, const char* uploadData,
                       size_t* uploadDataSize, void** requestState) {
    if (*requestState == nullptr) {
        auto* request = new Request;
        *requestState = request;
        // Routing and the checks that need no body; a request refused here
        // is answered at once and its body never read.
        const std::string path = url ? url : "";
        const std::string verb = method ? method : "";
        const bool openMetrics = path == "/metrics" && m_settings.loopback;
        auto allow = [&](const char* methods) {
            request->problem(MHD_HTTP_METHOD_NOT_ALLOWED, "method-not-allowed", "Method Not Allowed",
                             verb + " is not allowed on " + path + " (" + methods + ")");
            request->headers.emplace_back(MHD_HTTP_HEADER_ALLOW, methods);
        };
        if (!openMetrics && !authorized(connection, request->scope)) {
            request->problem(MHD_HTTP_UNAUTHORIZED, "unauthorized", "Unauthorized",
                             "every request needs an Authorization: Bearer header with an API key");
            request->headers.emplace_back(MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
        } else if (path == "/v1/messages") {
            if (verb == MHD_HTTP_METHOD_POST) {
                request->route = Request::Submit;
                const std::string length = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
                if (!isJsonType(header(connection, MHD_HTTP_HEADER_CONTENT_TYPE))) {
                    request->problem(MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, "unsupported-media-type",
                                     "Unsupported Media Type", "the body must be application/json");
                } else if (!length.empty() && strtoull(length.c_str(), nullptr, 10) >
                                                  static_cast<unsigned long long>(m_settings.maxBodyBytes)) {
                    request->problem(MHD_HTTP_CONTENT_TOO_LARGE, "payload-too-large", "Payload Too Large",
                                     "the body has " + length + " bytes, at most " +
                                         std::to_string(m_settings.maxBodyBytes) + " are taken (HTTP/MaxBodyBytes)");
                }
            } else if (verb == MHD_HTTP_METHOD_GET) {
                request->route = Request::List;
            } else {
                allow("GET, POST");
            }
        } else if (path.compare(0, 13, "/v1/messages/") == 0) {
            request->route = Request::Show;
            request->messageId = path.substr(13);
            if (verb != MHD_HTTP_METHOD_GET) allow("GET");
        } else if (path == "/v1/status") {
            request->route = Request::Status;
            if (verb != MHD_HTTP_METHOD_GET) allow("GET");
        } else if (path == "/metrics") {
            request->route = Request::Metrics;
            if (verb != MHD_HTTP_METHOD_GET) allow("GET");
        } else {
            request->problem(MHD_HTTP_NOT_FOUND, "not-found", "Not Found", "no resource " + path);
        }
        if (request->status == 0) return MHD_YES;
        return answer(connection, *request);
    }

    Request& request = *static_cast<Request*>(*requestState);
    if (*uploadDataSize > 0) {
        // A body without a length (chunked) that grows past the limit: the
        // connection is closed, nothing of it kept.
        if (request.body.size() + *uploadDataSize > static_cast<size_t>(m_settings.maxBodyBytes)) {
            traceAs(label, "request body over HTTP/MaxBodyBytes, connection closed\n");
            return MHD_NO;
        }
        request.body.append(uploadData, *uploadDataSize);
        *uploadDataSize = 0;
        return MHD_YES;
    }

    try {
        switch (request.route) {
            case Request::Submit: submitMessages(connection, request); break;
            case Request::Show: showMessage(request, request.messageId); break;
            case Request::List: listMessages(connection, request); break;
            case Request::Status: showStatus(request); break;
            case Request::Metrics: showMetrics(request); break;
        }
    } catch (const StoreError& e) {
        request.problem(MHD_HTTP_SERVICE_UNAVAILABLE, "store-unavailable", "Service Unavailable", e.what());
    } catch (const std::exception& e) {
        request.problem(MHD_HTTP_INTERNAL_SERVER_ERROR, "internal-error", "Internal Server Error", e.what());
    }
    return answer(connection, request);
}

int HttpServer::answer(MHD_Connection* connection, Request& request) {
    MHD_Response* response = MHD_create_response_from_buffer(
        request.payload.size(), const_cast<char*>(request.payload.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, request.contentType.c_str());
    for (const auto& extra : request.headers) {
        MHD_add_response_header(response, extra.first.c_str(), extra.second.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(request.status), response);
    MHD_destroy_response(response);
    return queued;
}

bool HttpServer::claimKey(const std::string& scopedKey) {
    qpthr::QpLock guard(m_keysMutex);
    return m_keysInProgress.insert(scopedKey).second;
}

void HttpServer::releaseKey(const std::string& scopedKey) {
    qpthr::QpLock guard(m_keysMutex);
    m_keysInProgress.erase(scopedKey);
}

void HttpServer::submitMessages(MHD_Connection* connection, Request& request) {
    Submission::Request submission;
    DecodingError error;
    if (!decodeSubmission(request.body, submission, error)) {
        const std::string where = error.field.empty() ? std::string("the body") : "\"" + error.field + "\"";
        request.problem(MHD_HTTP_BAD_REQUEST, "invalid-request", ("Bad Request: " + where).c_str(), error.detail,
                        error.field.empty() ? nullptr : &error.field);
        return;
    }
    submission.remoteAddr = clientAddress(connection);

    const char* keyHeader = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Idempotency-Key");
    const std::string key = keyHeader ? keyHeader : "";
    if (keyHeader != nullptr && !validIdempotencyKey(key)) {
        const std::string field = "Idempotency-Key";
        request.problem(MHD_HTTP_BAD_REQUEST, "invalid-request", "Bad Request: Idempotency-Key",
                        "an Idempotency-Key is 1 to 255 printable ASCII characters", &field);
        return;
    }
    const time_t now = time(nullptr);
    const std::string digest = keyHeader ? hex(sha256(request.body)) : std::string();
    const std::string scopedKey = request.scope + " " + key;
    if (keyHeader != nullptr) {
        if (!claimKey(scopedKey)) {
            request.problem(MHD_HTTP_CONFLICT, "idempotency-key-in-use", "Conflict",
                            "a request with this Idempotency-Key is under way; retry when it has been answered");
            return;
        }
    }
    struct Release {
        HttpServer* server;
        const std::string* key;
        ~Release() {
            if (key != nullptr) server->releaseKey(*key);
        }
    } release{this, keyHeader ? &scopedKey : nullptr};

    if (keyHeader != nullptr) {
        StoredAnswer earlier;
        if (m_parts.store->findAnswer(request.scope, key, now - answerKeptSeconds, earlier)) {
            if (earlier.requestDigest != digest) {
                request.problem(MHD_HTTP_UNPROCESSABLE_CONTENT, "idempotency-key-reused", "Unprocessable Entity",
                                "this Idempotency-Key came with a different request before");
                return;
            }
            request.status = earlier.status;
            request.contentType = "application/json";
            request.payload = earlier.body;
            request.headers.emplace_back("Idempotent-Replayed", "true");
            return;
        }
    }

    // With a key, the answer is kept in the commit that queues the messages:
    // a retry finds either both or neither.
    AnswerToKeep keep;
    if (keyHeader != nullptr) {
        keep.scope = request.scope;
        keep.key = key;
        keep.requestDigest = digest;
        keep.status = MHD_HTTP_ACCEPTED;
        keep.at = now;
        keep.notBefore = now - answerKeptSeconds;
        keep.makeBody = [](const Sms* messages, size_t count) {
            std::vector<Submission::Queued> queued;
            for (size_t i = 0; i < count; ++i) {
                const Sms& sms = messages[i];
                queued.push_back({sms.id(), sms.target(), sms.tracking().part, sms.tracking().parts});
            }
            return acceptedBody(queued);
        };
        submission.answer = &keep;
    }
    std::vector<Submission::Queued> queued;
    try {
        queued = m_submission.submit(submission);
    } catch (const Submission::Refused& refused) {
        const std::string field = "to";
        switch (refused.reason) {
            case Submission::Refused::TooManyDestinations:
                request.problem(MHD_HTTP_BAD_REQUEST, "invalid-request", "Bad Request: \"to\"", refused.what(), &field);
                break;
            case Submission::Refused::TextTooLong: {
                const std::string textField = "text";
                request.problem(MHD_HTTP_BAD_REQUEST, "invalid-request", "Bad Request: \"text\"", refused.what(),
                                &textField);
                break;
            }
            case Submission::Refused::QueueFull:
                request.problem(MHD_HTTP_SERVICE_UNAVAILABLE, "queue-full", "Service Unavailable",
                                std::string("send queue full: ") + refused.what());
                request.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "10");
                break;
            case Submission::Refused::StoreFailed:
                request.problem(MHD_HTTP_SERVICE_UNAVAILABLE, "store-unavailable", "Service Unavailable",
                                std::string("cannot store the messages: ") + refused.what());
                request.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "10");
                break;
        }
        return;
    }
    request.status = MHD_HTTP_ACCEPTED;
    request.contentType = "application/json";
    request.payload = keyHeader != nullptr ? keep.body : acceptedBody(queued);
}

void HttpServer::showMessage(Request& request, const std::string& id) {
    MessageRecord record;
    const bool numeric = !id.empty() && id.size() <= 20 && id.find_first_not_of("0123456789") == std::string::npos;
    errno = 0;
    const unsigned long long value = numeric ? strtoull(id.c_str(), nullptr, 10) : 0;
    if (!numeric || value == 0 || errno == ERANGE || !m_parts.store->findMessage(value, record)) {
        request.problem(MHD_HTTP_NOT_FOUND, "not-found", "Not Found", "no message " + id);
        return;
    }
    request.answerJson(MHD_HTTP_OK, messageJson(record));
}

void HttpServer::listMessages(MHD_Connection* connection, Request& request) {
    const char* clientRef = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "client_ref");
    if (clientRef == nullptr || *clientRef == '\0') {
        const std::string field = "client_ref";
        request.problem(MHD_HTTP_BAD_REQUEST, "invalid-request", "Bad Request: client_ref",
                        "GET /v1/messages needs ?client_ref=...", &field);
        return;
    }
    json messages = json::array();
    for (const MessageRecord& record : m_parts.store->findByClientRef(clientRef, listLimit)) {
        messages.push_back(messageJson(record));
    }
    request.answerJson(MHD_HTTP_OK, json{{"messages", messages}});
}

void HttpServer::showStatus(Request& request) {
    const Statistics stats =
        collectStatistics(m_parts.queue, m_parts.manager, m_parts.counters, m_parts.serverStartTime);
    json senders = json::array();
    static const char* const statusNames[] = {"not connected", "connected", "active"};
    for (const SenderInfo& sender : stats.senders) {
        const int status = sender._status < 0 || sender._status > 2 ? 0 : sender._status;
        senders.push_back({{"name", sender._name}, {"status", statusNames[status]}});
    }
    request.answerJson(MHD_HTTP_OK, json{{"server_start_time", iso8601(stats.serverStartTime)},
                                         {"server_current_time", iso8601(stats.serverCurrentTime)},
                                         {"queue_length", stats.queueLength},
                                         {"sent", stats.sentMessages},
                                         {"received", stats.receivedMessages},
                                         {"confirmations_sent", stats.sentConfirmations},
                                         {"senders", senders}});
}

void HttpServer::showMetrics(Request& request) {
    const Statistics stats =
        collectStatistics(m_parts.queue, m_parts.manager, m_parts.counters, m_parts.serverStartTime);
    static const Counters none;
    request.status = MHD_HTTP_OK;
    request.contentType = "text/plain; version=0.0.4; charset=utf-8";
    request.payload = renderMetrics(stats, m_parts.counters ? *m_parts.counters : none,
                                    m_parts.registry ? m_parts.registry->size() : 0);
}
