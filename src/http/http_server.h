// The HTTP/JSON interface beside the remote one, on libmicrohttpd.
//
// Threads: libmicrohttpd's own. One internal polling thread per pool member
// (threadPoolSize of them) accepts connections and runs every request on the
// thread that owns its connection, from headers to answer; a request blocks
// only that thread (while its messages are committed), and the others go
// on. The server's own state is constant after construction except the set
// of idempotency keys in progress, guarded by m_keysMutex (a leaf).
//
// main's thread creates the server (which binds the socket, so that a port
// in use ends the start before any thread runs), calls start() once the
// stop signals are blocked (the pool's threads inherit the mask) and
// destroys it before the parts it uses (the queue, the store, the
// manager): the destructor stops the pool and waits for the requests under
// way.
#ifndef KST_HTTP_HTTP_SERVER_H
#define KST_HTTP_HTTP_SERVER_H

#include <stddef.h>
#include <time.h>

#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "qpthr.h"
#include "submission.h"

struct MHD_Daemon;
struct MHD_Connection;
class Logger;
class SentMessageRegistry;
class SmsQue;
class SmsSendManager;
class Store;
struct Counters;

// The server cannot be set up: the text says what and why.
class HttpServerError : public std::runtime_error {
public:
    explicit HttpServerError(const std::string& what) : std::runtime_error(what) {}
};

class HttpServer {
public:
    // The parts the requests use, owned by the Gateway and alive as long as
    // the server.
    struct Parts {
        SmsQue* queue = nullptr;
        Store* store = nullptr;
        SmsSendManager* manager = nullptr;
        Counters* counters = nullptr;
        const SentMessageRegistry* registry = nullptr;
        Logger* errorLog = nullptr;
        time_t serverStartTime = 0;
    };

    static constexpr unsigned threadPoolSize = 4;
    // Seconds an idle connection stays open.
    static constexpr unsigned connectionTimeout = 60;
    // Connections open at once, and from one address: more are closed as
    // they come, so that nobody, with or without a key, can take the file
    // descriptors the SMSC connection, the store and the e-mailer need.
    static constexpr unsigned connectionLimit = 256;
    static constexpr unsigned connectionLimitPerAddress = 64;
    // Answers to an idempotency key are kept this long.
    static constexpr time_t answerKeptSeconds = 24 * 3600;
    // Messages GET /v1/messages lists at most.
    static constexpr size_t listLimit = 1000;

    // Reads the certificate and key (with HTTPS) and binds the listening
    // socket; throws HttpServerError.
    HttpServer(const HttpSettings& settings, const Submission::Options& options, const Parts& parts);
    // Stops the server and waits for the requests under way.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts the pool's threads; throws HttpServerError.
    void start();
    // The port it listens on (the one given, or the system's choice for 0).
    unsigned short port() const { return m_port; }

    // A request under way: what its handler gathered over its calls. Only
    // the thread of its connection uses it.
    struct Request;

    // libmicrohttpd's access handler and completion callback (its threads
    // only): an MHD_Result.
    int handle(MHD_Connection* connection, const char* url, const char* method, const char* uploadData,
               size_t* uploadDataSize, void** requestState);
    static void finish(void** requestState);

private:
    // The handler's steps: the headers (first call), the body, the answer.
    int onHeaders(MHD_Connection* connection, Request& request);
    int answer(MHD_Connection* connection, Request& request);

    // The caller's key, when it is one of the keys: its scope for
    // idempotency keys (a digest, never the key itself). Constant time in
    // the key's content.
    bool authorized(MHD_Connection* connection, std::string& scope) const;

    void submitMessages(MHD_Connection* connection, Request& request);
    void showMessage(Request& request, const std::string& id);
    void listMessages(MHD_Connection* connection, Request& request);
    void showStatus(Request& request);
    void showMetrics(Request& request);

    // An idempotency key under way is taken by one request at a time.
    bool claimKey(const std::string& scopedKey) EXCLUDES(m_keysMutex);
    void releaseKey(const std::string& scopedKey) EXCLUDES(m_keysMutex);

    const HttpSettings m_settings;
    // SHA-256 digests of the keys.
    std::vector<std::string> m_keyDigests;
    std::string m_certificate;
    std::string m_key;
    int m_socket = -1;
    unsigned short m_port = 0;
    const Parts m_parts;
    const Submission m_submission;
    MHD_Daemon* m_daemon = nullptr;

    qpthr::QpMutex m_keysMutex;
    std::set<std::string> m_keysInProgress GUARDED_BY(m_keysMutex);
};

#endif
