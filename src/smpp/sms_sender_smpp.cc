#include "sms_sender_smpp.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <optional>

#include "counters.h"
#include "emailer.h"
#include "gsm_text.h"
#include "submit_pdu.h"
#include "logger.h"
#include "sms_processing.h"
#include "store.h"
#include "trace.h"
#include "utf8.h"
#include "vessa.h"

namespace {

const long connectTimeoutMs = 10000;
const long idlePollMs = 1000;
// PDUs read in one pass before the queue gets its turn again.
const int framesPerPass = 512;
const long firstThrottlePauseMs = 1000;
const long longestThrottlePauseMs = 32000;
const char* const label = "SMPP: ";

using Clock = std::chrono::steady_clock;

long millisecondsUntil(Clock::time_point when) {
    return std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count());
}

bool alphanumeric(const std::string& address) {
    const std::string digits = address[0] == '+' ? address.substr(1) : address;
    if (digits.empty()) return false;
    return !std::all_of(digits.begin(), digits.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); });
}

std::string withoutPlus(const std::string& address) {
    return !address.empty() && address[0] == '+' ? address.substr(1) : address;
}

// The destination as SMPP carries it. With the international TON (1) the
// number the SMSC sender would reach ("00420N" for "0N", "N", "+420N"),
// without its "00": the same recipient whichever sender carries it.
// Otherwise as written, without a leading "+".
std::string destinationAddress(const std::string& target, int ton) {
    char international[32];
    if (ton == 1 && emi_destination(target.c_str(), international, sizeof international) > 2 &&
        strncmp(international, "00", 2) == 0) {
        return international + 2;
    }
    return withoutPlus(target);
}

// A receipt's time (YYMMDDhhmm or YYMMDDhhmmss) as "DD.MM.20YY" and
// "hh:mm:ss"; empty parts when it is shorter.
std::string receiptDate(const std::string& stamp) {
    if (stamp.size() < 6) return std::string();
    return stamp.substr(4, 2) + "." + stamp.substr(2, 2) + ".20" + stamp.substr(0, 2);
}

std::string receiptTime(const std::string& stamp) {
    if (stamp.size() < 10) return std::string();
    return stamp.substr(6, 2) + ":" + stamp.substr(8, 2) + ":" + (stamp.size() >= 12 ? stamp.substr(10, 2) : "00");
}

// Both, as the notification records show them; empty when the receipt has
// no such time.
std::string receiptStamp(const std::string& stamp) {
    return stamp.size() < 10 ? stamp : receiptDate(stamp) + " " + receiptTime(stamp);
}

// The local time now in a strftime() format of twelve digits.
std::string localNow(const char* format) {
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char text[16];
    strftime(text, sizeof text, format, &local);
    return text;
}

// Now as the received messages' SCTIME of the SMSC sender: DDMMYYhhmmss.
std::string receivedTimestamp() { return localNow("%d%m%y%H%M%S"); }

// Now as a receipt writes its times: YYMMDDhhmmss.
std::string nowAsReceiptStamp() { return localNow("%y%m%d%H%M%S"); }

// The other way of writing a message id: SMSCs that answer submit_sm with a
// hexadecimal id may quote it in decimal in the receipt, and the other way
// round. Empty when there is none.
std::string otherIdForm(const std::string& id) {
    if (id.empty() || id.size() > 16) return std::string();
    char* end = nullptr;
    if (std::all_of(id.begin(), id.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); })) {
        const unsigned long long value = strtoull(id.c_str(), &end, 10);
        char text[32];
        snprintf(text, sizeof text, "%llx", value);
        return text;
    }
    if (std::all_of(id.begin(), id.end(), [](char c) { return isxdigit(static_cast<unsigned char>(c)); })) {
        const unsigned long long value = strtoull(id.c_str(), &end, 16);
        return std::to_string(value);
    }
    return std::string();
}

}  // namespace

// The text of OpenSSL's oldest queued error (and the queue emptied).
std::string tlsError(const char* fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// One TCP connection to the SMSC, with TLS when it has an SSL object, and
// what has been read of it. The socket is non-blocking; writes wait for it.
class SmsSenderSmpp::Link {
public:
    Link(int fd, const char* name) : m_fd(fd), m_ssl(nullptr), m_name(name), m_lastTraffic(Clock::now()) {}
    ~Link() {
        if (m_ssl != nullptr) {
            // A close_notify when the socket takes it; no wait for the answer.
            SSL_shutdown(m_ssl);
            SSL_free(m_ssl);
        }
        if (m_fd >= 0) close(m_fd);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int fd() const { return m_fd; }
    const char* name() const { return m_name; }
    Clock::time_point lastTraffic() const { return m_lastTraffic; }
    std::vector<uint8_t>& input() { return m_input; }

    // The TLS handshake, checking the SMSC's certificate against `host`;
    // false with `error` when it fails or takes longer than the time-out.
    bool startTls(SSL_CTX* context, const std::string& host, std::string& error) {
        m_ssl = SSL_new(context);
        if (m_ssl == nullptr || SSL_set_fd(m_ssl, m_fd) != 1) {
            error = "TLS: " + tlsError("cannot set up the connection");
            return false;
        }
        in6_addr address6;
        in_addr address4;
        X509_VERIFY_PARAM* parameters = SSL_get0_param(m_ssl);
        if (inet_pton(AF_INET, host.c_str(), &address4) == 1 || inet_pton(AF_INET6, host.c_str(), &address6) == 1) {
            X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str());
        } else {
            SSL_set_tlsext_host_name(m_ssl, host.c_str());
            X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), 0);
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs);
        for (;;) {
            ERR_clear_error();
            const int done = SSL_connect(m_ssl);
            if (done == 1) return true;
            const int reason = SSL_get_error(m_ssl, done);
            if ((reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) && Clock::now() < deadline) {
                pollfd fd = {m_fd, static_cast<short>(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
                poll(&fd, 1, static_cast<int>(millisecondsUntil(deadline)));
                continue;
            }
            const long verified = SSL_get_verify_result(m_ssl);
            error = verified != X509_V_OK ? std::string("TLS: the SMSC's certificate is not trusted: ") +
                                                X509_verify_cert_error_string(verified)
                                          : "TLS handshake failed: " +
                                                tlsError(Clock::now() < deadline ? "the SMSC ended it" : "no answer");
            return false;
        }
    }

    // Writes all of `bytes`; false (with `error`) when the peer is gone or
    // does not take them within the time-out.
    bool write(const std::vector<uint8_t>& bytes, std::string& error) {
        size_t done = 0;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs);
        while (done < bytes.size()) {
            short waitFor = POLLOUT;
            if (m_ssl != nullptr) {
                ERR_clear_error();
                const int written = SSL_write(m_ssl, bytes.data() + done, static_cast<int>(bytes.size() - done));
                if (written > 0) {
                    done += static_cast<size_t>(written);
                    continue;
                }
                const int reason = SSL_get_error(m_ssl, written);
                if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
                    error = "TLS write failed: " + tlsError("the connection ended");
                    return false;
                }
                if (reason == SSL_ERROR_WANT_READ) waitFor = POLLIN;
            } else {
                const ssize_t written =
                    send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (written > 0) {
                    done += static_cast<size_t>(written);
                    continue;
                }
                if (written < 0 && errno == EINTR) continue;
                if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    error = std::string("write failed: ") + strerror(errno);
                    return false;
                }
            }
            pollfd fd = {m_fd, waitFor, 0};
            if (Clock::now() >= deadline || poll(&fd, 1, static_cast<int>(millisecondsUntil(deadline))) < 0) {
                error = "the SMSC takes no more data";
                return false;
            }
        }
        m_lastTraffic = Clock::now();
        return true;
    }

    // Reads everything that has arrived (with TLS: until the library needs
    // more from the socket, so nothing waits in its buffer unseen by
    // poll()); false (with `error`) when the connection ended or failed.
    bool read(std::string& error) {
        uint8_t buffer[16384];
        for (;;) {
            if (m_ssl != nullptr) {
                ERR_clear_error();
                const int got = SSL_read(m_ssl, buffer, sizeof buffer);
                if (got > 0) {
                    m_input.insert(m_input.end(), buffer, buffer + got);
                    m_lastTraffic = Clock::now();
                    continue;
                }
                const int reason = SSL_get_error(m_ssl, got);
                if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
                    quickAck();
                    return true;
                }
                error = reason == SSL_ERROR_ZERO_RETURN
                            ? "the SMSC closed the TLS connection"
                            : "TLS read failed: " + tlsError("the SMSC closed the connection");
                return false;
            }
            const ssize_t got = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                m_input.insert(m_input.end(), buffer, buffer + got);
                m_lastTraffic = Clock::now();
                if (static_cast<size_t>(got) < sizeof buffer) return true;
                continue;
            }
            if (got == 0) {
                error = "the SMSC closed the connection";
                return false;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                quickAck();
                return true;
            }
            error = std::string("read failed: ") + strerror(errno);
            return false;
        }
    }

private:
    // Acknowledges what was read at once: an SMSC whose socket holds small
    // writes back until the previous one is acknowledged (Nagle) would
    // otherwise send each response only after the delayed acknowledgement,
    // tens of milliseconds later. Linux turns the option off again by
    // itself, so it is set after every read.
    void quickAck() {
        const int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }

    int m_fd;
    SSL* m_ssl;
    const char* m_name;
    std::vector<uint8_t> m_input;
    Clock::time_point m_lastTraffic;
};

SmsSenderSmpp::SmsSenderSmpp(const SmppSettings& settings, const SenderContext& context)
    : SmsSender(context),
      m_settings(settings),
      m_sourceTon(sourceTon(settings)),
      m_sourceNpi(sourceNpi(settings)),
      m_reconnectPauseMs(settings.reconnectPauseMs >= 0 ? settings.reconnectPauseMs : 5000),
      m_bound(false),
      m_sequence(1),
      m_submittedThisSecond(0),
      m_throttlePauseMs(0),
      m_tls(nullptr) {
    if (!settings.useTls) return;
    m_tls = SSL_CTX_new(TLS_client_method());
    if (m_tls == nullptr) return;
    SSL_CTX_set_min_proto_version(m_tls, TLS1_2_VERSION);
    SSL_CTX_set_verify(m_tls, SSL_VERIFY_PEER, nullptr);
    m_tlsTrust = settings.tlsCaFile.empty()
                     ? SSL_CTX_set_default_verify_paths(m_tls) == 1
                     : SSL_CTX_load_verify_locations(m_tls, settings.tlsCaFile.c_str(), nullptr) == 1;
    if (!m_tlsTrust) m_tlsTrustError = tlsError("no trusted certificates");
}

SmsSenderSmpp::~SmsSenderSmpp() {
    Join();
    // The manager may have connected while the thread was stopping.
    closeLinks();
    SSL_CTX_free(m_tls);
}

int SmsSenderSmpp::sourceTon(const SmppSettings& settings) {
    if (settings.sourceTon >= 0) return settings.sourceTon;
    if (settings.sourceAddress.empty()) return 0;
    return alphanumeric(settings.sourceAddress) ? 5 : 1;
}

int SmsSenderSmpp::sourceNpi(const SmppSettings& settings) {
    if (settings.sourceNpi >= 0) return settings.sourceNpi;
    if (settings.sourceAddress.empty()) return 0;
    return alphanumeric(settings.sourceAddress) ? 0 : 1;
}

bool SmsSenderSmpp::connected() { return m_bound; }

void SmsSenderSmpp::closeLinks() { m_links.clear(); }

uint32_t SmsSenderSmpp::nextSequence() {
    const uint32_t sequence = m_sequence;
    m_sequence = sequence >= 0x7fffffffu ? 1 : sequence + 1;
    return sequence;
}

std::unique_ptr<SmsSenderSmpp::Link> SmsSenderSmpp::openLink(smpp::BindMode mode) {
    const char* name = mode == smpp::BindMode::Transceiver   ? "transceiver"
                       : mode == smpp::BindMode::Transmitter ? "transmitter"
                                                             : "receiver";
    auto fail = [&](const std::string& cause) {
        event('e', label, std::string("Connection to SMSC failed (") + name + "): " + cause, ConsoleStream::Error);
        return nullptr;
    };
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const std::string port = std::to_string(m_settings.port);
    const int resolved = getaddrinfo(m_settings.address.c_str(), port.c_str(), &hints, &addresses);
    if (resolved != 0) return fail("cannot resolve " + m_settings.address + ": " + gai_strerror(resolved));
    int fd = -1;
    std::string cause = "no address";
    for (addrinfo* address = addresses; address != nullptr && fd < 0; address = address->ai_next) {
        fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address->ai_protocol);
        if (fd < 0) {
            cause = strerror(errno);
            continue;
        }
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS) {
            cause = strerror(errno);
            close(fd);
            fd = -1;
            continue;
        }
        pollfd wait = {fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (poll(&wait, 1, static_cast<int>(connectTimeoutMs)) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            cause = error != 0 ? strerror(error) : "no answer";
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(addresses);
    if (fd < 0) return fail(m_settings.address + ":" + port + ": " + cause);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto link = std::make_unique<Link>(fd, name);

    std::string error;
    if (m_settings.useTls) {
        if (m_tls == nullptr) return fail("TLS: " + tlsError("cannot set up OpenSSL"));
        if (!m_tlsTrust) {
            return fail("TLS: cannot load the trusted certificates" +
                        (m_settings.tlsCaFile.empty() ? std::string() : " of " + m_settings.tlsCaFile) + ": " +
                        m_tlsTrustError);
        }
        if (!link->startTls(m_tls, m_settings.address, error)) return fail(error);
    }
    const uint32_t sequence = nextSequence();
    const std::vector<uint8_t> bind =
        smpp::packBind(mode, sequence, {m_settings.systemId, m_settings.password, m_settings.systemType}, error);
    if (bind.empty()) return fail("bind not sent: " + error);
    if (!link->write(bind, error)) return fail(error);
    // The bind's response; anything the SMSC sends before it is dropped
    // (nothing may come before the bind is answered).
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(m_settings.responseTimeout);
    for (;;) {
        smpp::Header header;
        std::vector<uint8_t>& input = link->input();
        const smpp::FrameState state = smpp::readFrame(input.data(), input.size(), header);
        if (state == smpp::FrameState::Invalid) {
            return fail("protocol error: command_length " + std::to_string(header.length) + " out of bounds");
        }
        if (state == smpp::FrameState::Complete) {
            std::vector<uint8_t> frame(input.begin(), input.begin() + header.length);
            input.erase(input.begin(), input.begin() + header.length);
            if (header.sequence != sequence) continue;
            if (header.commandId == smpp::genericNack || header.status != smpp::statusOk) {
                return fail("bind refused: " + smpp::statusText(header.status));
            }
            smpp::Pdu pdu;
            if (!smpp::decode(frame.data(), frame.size(), pdu, error)) return fail("bind response: " + error);
            event('i', label, std::string("Bound as ") + name + " to SMSC '" + Logger::escape(pdu.systemId) + "'");
            return link;
        }
        if (m_context.stopSignal.stopping()) return fail("stopping");
        const long left = millisecondsUntil(deadline);
        if (left == 0) return fail("no response to the bind");
        pollfd wait = {link->fd(), POLLIN, 0};
        poll(&wait, 1, static_cast<int>(std::min(left, 200L)));
        if (!link->read(error)) return fail(error);
    }
}

bool SmsSenderSmpp::connect() {
    trace("%s::connect()\n", GetName());
    if (m_bound) return true;
    event('i', label, "Connecting to SMSC...");
    std::vector<std::unique_ptr<Link>> links;
    if (m_settings.transceiver) {
        links.push_back(openLink(smpp::BindMode::Transceiver));
    } else {
        links.push_back(openLink(smpp::BindMode::Transmitter));
        if (links.back()) links.push_back(openLink(smpp::BindMode::Receiver));
    }
    if (std::any_of(links.begin(), links.end(), [](const std::unique_ptr<Link>& link) { return !link; })) {
        return false;
    }
    m_links = std::move(links);
    m_bound = true;
    event('i', label, "Connection established");
    return true;
}

bool SmsSenderSmpp::disconnect() {
    event('i', label, "Disconnecting from SMSC...", ConsoleStream::Error);
    // The links go before the flag: once it is clear, the manager may make
    // new ones.
    closeLinks();
    m_bound = false;
    return true;
}

bool SmsSenderSmpp::reconnect() {
    lock();
    if (connected()) {
        event('i', label, "Reconnecting to SMSC...", ConsoleStream::Error);
    } else {
        event('i', label, "SMSC is not connected", ConsoleStream::Error);
    }
    sleepUnlessStopping(m_reconnectPauseMs);
    const bool result = !m_context.stopSignal.stopping() && !connected() && connect();
    unlock();
    return result;
}

bool SmsSenderSmpp::init() {
    traceAs(GetName(), "init()\n");
    if (!connected()) {
        event('e', "", "SMPP: not connected", ConsoleStream::Error);
        return false;
    }
    return true;
}

void SmsSenderSmpp::sleepUnlessStopping(long milliseconds) {
    m_context.stopSignal.waitUntil(StopSignal::Clock::now() + std::chrono::milliseconds(milliseconds));
}

uint32_t SmsSenderSmpp::sendRequest(size_t link, RequestKind kind, unsigned char slot,
                                    const std::vector<uint8_t>& bytes) {
    smpp::Header header;
    if (bytes.empty() || smpp::readFrame(bytes.data(), bytes.size(), header) != smpp::FrameState::Complete) return 0;
    std::string error;
    if (!m_links[link]->write(bytes, error)) {
        giveUpConnection(error);
        return 0;
    }
    m_requests[header.sequence] = Request{kind, slot, link, Clock::now()};
    return header.sequence;
}

bool SmsSenderSmpp::sendResponse(size_t link, const std::vector<uint8_t>& bytes) {
    std::string error;
    if (m_links[link]->write(bytes, error)) return true;
    giveUpConnection(error);
    return false;
}

void SmsSenderSmpp::codeText(const Sms& sms, smpp::SubmitParameters& submit) const {
    submit.dataCoding = static_cast<uint8_t>(m_settings.dataCoding);
    submit.text = sms.message();
    if (m_context.text.unicode) {
        const std::u32string text = submitpdu::textOf(sms.message(), true);
        std::string septets;
        if (smstext::isAscii(text) && m_settings.dataCoding == 1) {
            // IA5 carries ASCII as it is.
        } else if (smstext::gsm7Encode(text, septets)) {
            // The default alphabet: one septet an octet, escape pairs for
            // the extension table.
            submit.dataCoding = 0;
            submit.text = septets;
        } else {
            submit.dataCoding = 8;
            submit.text = smstext::utf16beEncode(text);
        }
    }
    const Sms::Tracking& tracking = sms.tracking();
    if (m_context.text.udh && tracking.parts > 1 && tracking.parts <= 255) {
        submit.esmClass = 0x40;
        submit.text = smstext::concatenationHeader(sms.concatenationReference(), static_cast<uint8_t>(tracking.parts),
                                                   static_cast<uint8_t>(tracking.part)) +
                      submit.text;
    }
}

int SmsSenderSmpp::sendSms(Sms& sms, int counter) {
    lock();
    traceAs(GetName(), "sendSms, DA:   '%s', UD: '%s', counter: %d\n", sms.target(), sms.message(), counter);
    smpp::SubmitParameters submit;
    submit.sourceAddress = withoutPlus(m_settings.sourceAddress);
    submit.sourceTon = static_cast<uint8_t>(m_sourceTon);
    submit.sourceNpi = static_cast<uint8_t>(m_sourceNpi);
    submit.destinationAddress = destinationAddress(sms.target(), m_settings.destinationTon);
    submit.destinationTon = static_cast<uint8_t>(m_settings.destinationTon);
    submit.destinationNpi = static_cast<uint8_t>(m_settings.destinationNpi);
    submit.validityPeriod = m_settings.validityPeriod;
    submit.registeredDelivery = sms.wantsNotification();
    codeText(sms, submit);
    std::string error;
    const uint32_t sequence = nextSequence();
    const std::vector<uint8_t> bytes = smpp::packSubmitSm(sequence, submit, error);
    if (bytes.empty()) {
        // No SMSC could take it: refused here, for good.
        writeSmsToLog("SMS was not sent: " + error, sms, m_errorLog, 'e');
        ++m_context.counters.refusedMessages;
        const time_t now = time(nullptr);
        recordOrKeep("a refusal", [id = sms.id(), name = std::string(GetName()), counter, now](Store& store) {
            store.markSubmitted(id, name, 0, counter, now);
            store.markRefused(id, -1, true, now);
        });
        unlock();
        return 0;
    }
    const unsigned char slot = *m_freeSlots.begin();
    if (sendRequest(submitLink(), RequestKind::Submit, slot, bytes) == 0) {
        m_errorLog->write("Storing SMS back for later sending", 'i');
        m_context.sendQueue.insertSms(sms);
        unlock();
        return -1;
    }
    m_freeSlots.erase(slot);
    m_context.sentMessages.append(SentMessage(sms, slot, counter, this));
    ++m_context.counters.submittedMessages;
    traceAs(GetName(), "SMS submit_sm with sequence number %u\n", sequence);
    const time_t now = time(nullptr);
    const bool recorded =
        recordOrKeep("a submission", [id = sms.id(), name = std::string(GetName()), slot, counter, now](Store& store) {
            store.markSubmitted(id, name, slot, counter, now);
        });
    unlock();
    return recorded ? 0 : -1;
}

bool SmsSenderSmpp::refusalIsThrottling(uint32_t status) const {
    return status == smpp::statusThrottled || status == smpp::statusMessageQueueFull;
}

void SmsSenderSmpp::handleSubmitResponse(const Request& request, uint32_t status, const std::string& messageId) {
    m_freeSlots.insert(request.slot);
    const time_t now = time(nullptr);
    if (status == smpp::statusOk) {
        m_throttlePauseMs = 0;
        if (auto entry = m_context.sentMessages.acknowledge(this, request.slot, messageId)) {
            m_settled.push_back(SettledResult{std::move(*entry), true, messageId, 0, false, now});
        }
        return;
    }
    std::optional<SentMessage> entry = m_context.sentMessages.reject(this, request.slot);
    if (!entry) return;
    if (refusalIsThrottling(status)) {
        // Not a refusal: the message goes back to the front of the queue
        // and the sender pauses, longer with every throttling in a row.
        m_throttlePauseMs =
            std::min(longestThrottlePauseMs, m_throttlePauseMs == 0 ? firstThrottlePauseMs : m_throttlePauseMs * 2);
        m_pausedUntil = Clock::now() + std::chrono::milliseconds(m_throttlePauseMs);
        Sms sms = entry->m_sms;
        m_context.sendQueue.insertSms(sms);
        m_errorLog->write(std::string(label) + "the SMSC asks to slow down (" + smpp::statusText(status) +
                              "), the message is queued again and sending pauses for " +
                              std::to_string(m_throttlePauseMs) + " ms",
                          'i');
        return;
    }
    m_settled.push_back(SettledResult{std::move(*entry), false, std::string(), static_cast<int>(status), true, now});
}

bool SmsSenderSmpp::settle() {
    return settleResults(m_settled, [this](const SettledResult& refusal) {
        Sms sms = refusal.entry.m_sms;
        writeSmsToLog("SMS was not acknowledged: " + smpp::statusText(static_cast<uint32_t>(refusal.errorCode)), sms,
                      m_errorLog, 'e');
    });
}

bool SmsSenderSmpp::handleReceipt(size_t link, const smpp::Pdu& pdu) {
    smpp::Receipt receipt;
    smpp::parseReceipt(pdu.shortMessage, receipt);
    const std::string id = !pdu.receiptedMessageId.empty() ? pdu.receiptedMessageId : receipt.id;
    const std::string stat = pdu.messageState >= 0 && !smpp::messageStateName(pdu.messageState).empty()
                                 ? smpp::messageStateName(pdu.messageState)
                                 : receipt.stat;
    const smpp::ReceiptStatus status = smpp::receiptStatus(stat);
    traceAs(GetName(), "Main: receipt for '%s': %s\n", id.c_str(), stat.c_str());

    std::string reportedDestination = pdu.sourceAddress;
    std::string reportedText;
    std::string email;
    std::optional<SentMessage> entry;
    const std::string other = otherIdForm(id);
    if (status.final && !id.empty()) {
        entry = m_context.sentMessages.takeBySysMsg(this, id);
        if (!entry && !other.empty()) entry = m_context.sentMessages.takeBySysMsg(this, other);
    }
    bool matched = false;
    Sms message;
    bool confirmed = false;
    Confirmation confirmation;
    bool recorded = true;
    if (status.final && !id.empty()) {
        const time_t now = time(nullptr);
        const std::string done = receipt.doneDate.empty() ? nowAsReceiptStamp() : receipt.doneDate;
        // The receipt and its confirmation in one transaction; one that none
        // of this sender's entries awaits may be for a message that another
        // daemon sharing the store submitted.
        recorded = recordNotification(
            entry ? &*entry : nullptr, {id, other}, status.code, now,
            [&](const Sms& sms, Confirmation& made) {
                if (status.code != 0 || m_context.emailer == nullptr || sms.mailTo()[0] == '\0') return false;
                made = Confirmation(sms.target(), sms.message(), receiptDate(done).c_str(), receiptTime(done).c_str(),
                                    sms.mailTo());
                return true;
            },
            matched, message, confirmed, confirmation);
    }
    if (!recorded) {
        // Answered with a temporary error: the SMSC repeats the receipt, and
        // the entry waits for it again.
        if (entry) m_context.sentMessages.putBack(*entry);
        return sendResponse(link, smpp::packDeliverSmResp(pdu.header.sequence, 0x64 /* ESME_RX_T_APPN */));
    }
    if (matched) {
        if (status.code == 0) ++m_context.counters.deliveredMessages;
        if (entry && entry->m_acknowledgedAt != Clock::time_point()) {
            m_context.counters.notificationLatency.observe(Clock::now() - entry->m_acknowledgedAt);
        }
        reportedDestination = message.target();
        reportedText = message.message();
        email = message.mailTo();
    } else if (status.final) {
        m_errorLog->write(std::string(label) + "delivery receipt for unknown message id '" + Logger::escape(id) + "'",
                          'i');
    }
    if (confirmed) m_context.emailer->enque(confirmation);
    if (!sendResponse(link, smpp::packDeliverSmResp(pdu.header.sequence, smpp::statusOk))) return false;
    writeNotificationToLog("Status Report received", pdu.sourceAddress, reportedDestination, reportedText, email,
                           receiptStamp(receipt.submitDate), receiptStamp(receipt.doneDate), status.code,
                           status.description, m_receiveLog);
    return true;
}

bool SmsSenderSmpp::handleDeliverSm(size_t link, const smpp::Pdu& pdu) {
    // The receipt may be for a message whose response came just before it:
    // the results read so far are settled first.
    if (!settle()) {
        giveUpConnection("the store failed");
        return false;
    }
    if (pdu.isReceipt()) return handleReceipt(link, pdu);
    const std::string timestamp = receivedTimestamp();
    const ReceivedText received = receivedSmppText(m_context.text.unicode, pdu.dataCoding, pdu.esmClass,
                                                   pdu.shortMessage, smpp::messageText(pdu));
    traceAs(GetName(), "Main: Received message: from: '%s', to: '%s', text: '%s'\n", pdu.sourceAddress.c_str(),
            pdu.destinationAddress.c_str(), received.text.c_str());
    EnqueOutcome outcome;
    try {
        outcome = enqueReceived(
            received, receivedSmsEnvironment(pdu.sourceAddress, "", timestamp, received.text, received.alphabet));
    } catch (const StoreError& e) {
        report(m_errorLog, 'e', std::string("Store: cannot keep a received message, not acknowledged: ") + e.what(),
               GetName(), std::string("cannot keep a received message: ") + e.what(), ConsoleStream::Error);
        // A temporary error: the SMSC delivers it again.
        return sendResponse(link, smpp::packDeliverSmResp(pdu.header.sequence, 0x64 /* ESME_RX_T_APPN */));
    }
    if (!sendResponse(link, smpp::packDeliverSmResp(pdu.header.sequence, smpp::statusOk))) return false;
    writeReceivedToLog(received, outcome, pdu.sourceAddress, pdu.destinationAddress, "", timestamp);
    ++m_context.counters.receivedMessages;
    return true;
}

bool SmsSenderSmpp::handlePdu(size_t link, const uint8_t* frame, size_t length) {
    smpp::Pdu pdu;
    std::string error;
    if (!smpp::decode(frame, length, pdu, error)) {
        m_errorLog->write(
            std::string(label) + "malformed PDU (command 0x" +
                [&] {
                    char hex[16];
                    snprintf(hex, sizeof hex, "%08x", pdu.header.commandId);
                    return std::string(hex);
                }() +
                ", sequence " + std::to_string(pdu.header.sequence) + ") refused: " + Logger::escape(error),
            'e');
        const bool response = (pdu.header.commandId & 0x80000000u) != 0;
        const auto request = m_requests.find(pdu.header.sequence);
        if (response && request != m_requests.end()) {
            // Its header still says how the request went: a submission the
            // SMSC accepted is acknowledged (without a message id, so no
            // receipt can match it) rather than taken for lost and sent
            // twice.
            const Request answered = request->second;
            m_requests.erase(request);
            if (answered.kind == RequestKind::Submit) {
                const bool nack = pdu.header.commandId == smpp::genericNack;
                handleSubmitResponse(
                    answered, nack && pdu.header.status == smpp::statusOk ? smpp::statusSystemError : pdu.header.status,
                    std::string());
            }
            return true;
        }
        if (!response) {
            return sendResponse(link, smpp::packGenericNack(pdu.header.sequence, smpp::statusInvalidCommandLength));
        }
        return true;
    }
    const smpp::Header& header = pdu.header;
    switch (header.commandId) {
        case smpp::submitSmResp:
        case smpp::enquireLinkResp:
        case smpp::unbindResp:
        case smpp::genericNack: {
            const auto found = m_requests.find(header.sequence);
            if (found == m_requests.end()) {
                m_errorLog->write(std::string(label) + "response to no request (command " +
                                      std::to_string(header.commandId) + ", sequence " +
                                      std::to_string(header.sequence) + ")",
                                  'e');
                return true;
            }
            const Request request = found->second;
            m_requests.erase(found);
            if (header.commandId == smpp::genericNack) {
                m_errorLog->write(std::string(label) + "generic_nack for sequence " + std::to_string(header.sequence) +
                                      ": " + smpp::statusText(header.status),
                                  'e');
            }
            if (request.kind == RequestKind::Submit) {
                // A generic_nack with status 0 still refuses the submission.
                const uint32_t status = header.commandId == smpp::genericNack && header.status == smpp::statusOk
                                            ? smpp::statusSystemError
                                            : header.status;
                handleSubmitResponse(request, status, pdu.messageId);
            }
            return m_bound;
        }
        case smpp::enquireLink: return sendResponse(link, smpp::packHeaderOnly(smpp::enquireLinkResp, header.sequence));
        case smpp::deliverSm: return handleDeliverSm(link, pdu);
        case smpp::unbind:
            sendResponse(link, smpp::packHeaderOnly(smpp::unbindResp, header.sequence));
            if (m_bound) giveUpConnection("the SMSC unbound");
            return false;
        default:
            if ((header.commandId & 0x80000000u) != 0) {
                m_errorLog->write(
                    std::string(label) + "unexpected response " + std::to_string(header.commandId) + " dropped", 'e');
                return true;
            }
            return sendResponse(link, smpp::packGenericNack(header.sequence, smpp::statusInvalidCommandId));
    }
}

bool SmsSenderSmpp::readLinks() {
    int frames = 0;
    for (size_t link = 0; link < m_links.size() && m_bound; ++link) {
        std::string error;
        const bool open = m_links[link]->read(error);
        // What arrived before the end is handled first: a response read
        // here is not taken for lost.
        std::vector<uint8_t>& input = m_links[link]->input();
        size_t at = 0;
        bool keep = true;
        while (keep && frames < framesPerPass) {
            smpp::Header header;
            const smpp::FrameState state = smpp::readFrame(input.data() + at, input.size() - at, header);
            if (state == smpp::FrameState::Incomplete) break;
            if (state == smpp::FrameState::Invalid) {
                giveUpConnection("protocol error: command_length " + std::to_string(header.length) +
                                 " out of bounds, the stream cannot be followed");
                return false;
            }
            ++frames;
            keep = handlePdu(link, input.data() + at, header.length);
            if (!m_bound) return false;
            at += header.length;
        }
        input.erase(input.begin(), input.begin() + at);
        if (!open) {
            giveUpConnection(error);
            return false;
        }
    }
    // The results of this pass in one transaction.
    if (!settle()) {
        giveUpConnection("the store failed");
        return false;
    }
    return m_bound;
}

bool SmsSenderSmpp::keepAlive() {
    const Clock::time_point now = Clock::now();
    for (const auto& request : m_requests) {
        if (now - request.second.sentAt > std::chrono::seconds(m_settings.responseTimeout)) {
            giveUpConnection("no response to sequence number " + std::to_string(request.first) + " within " +
                             std::to_string(m_settings.responseTimeout) + " s");
            return false;
        }
    }
    for (size_t link = 0; link < m_links.size(); ++link) {
        if (now - m_links[link]->lastTraffic() < std::chrono::seconds(m_settings.enquireLinkInterval)) continue;
        const bool pending = std::any_of(m_requests.begin(), m_requests.end(), [&](const auto& request) {
            return request.second.link == link && request.second.kind == RequestKind::EnquireLink;
        });
        if (pending) continue;
        if (sendRequest(link, RequestKind::EnquireLink, 0, smpp::packHeaderOnly(smpp::enquireLink, nextSequence())) ==
            0) {
            return false;
        }
        traceAs(GetName(), "Main: enquire_link sent on the %s\n", m_links[link]->name());
    }
    return true;
}

bool SmsSenderSmpp::submitQueued() {
    int submitted = 0;
    Sms sms;
    while (active() && m_bound && !m_freeSlots.empty()) {
        const Clock::time_point now = Clock::now();
        if (now < m_pausedUntil) break;
        if (now - m_secondStart >= std::chrono::seconds(1)) {
            m_secondStart = now;
            m_submittedThisSecond = 0;
        }
        if (m_submittedThisSecond >= m_settings.throughput) break;
        if (!m_context.sendQueue.getSms(sms)) break;
        ++m_submittedThisSecond;
        ++submitted;
        if (sendSms(sms, 0) == -1) {
            if (m_bound) giveUpConnection("a submission failed");
            return false;
        }
    }
    return m_bound;
}

void SmsSenderSmpp::idleWait(long milliseconds, bool forQueue) {
    std::vector<pollfd> fds;
    for (const std::unique_ptr<Link>& link : m_links) fds.push_back({link->fd(), POLLIN, 0});
    fds.push_back({m_context.stopSignal.wakeFd(), POLLIN, 0});
    if (forQueue) fds.push_back({m_context.sendQueue.notifyFd(), POLLIN, 0});
    poll(fds.data(), fds.size(), static_cast<int>(milliseconds));
    if (forQueue && (fds.back().revents & POLLIN)) m_context.sendQueue.clearNotify();
}

void SmsSenderSmpp::giveUpConnection(const std::string& reason) {
    report(m_errorLog, 'e', std::string(label) + "giving up the connection: " + reason, GetName(),
           "Main: SMPP: giving up the connection: " + reason, ConsoleStream::Error);
    // Results read before the end count: their messages are not sent again.
    settle();
    disconnect();
    stop();
    m_requests.clear();
    m_freeSlots.clear();
    m_context.sentMessages.clearAwaited(this);
    m_errorLog->write("SMPP: Problems during sending detected, returning unacknowledged SMSs back to main que.", 'i');
    // The acknowledged ones stay and wait for their receipts.
    for (SentMessage& entry : m_context.sentMessages.takeUnacknowledged(this)) {
        m_context.sendQueue.appendSms(entry.m_sms);
    }
}

bool SmsSenderSmpp::pass() {
    if (m_context.stopSignal.stopping()) {
        stopSending();
        return false;
    }
    if (!m_bound) {
        // The manager binds again; an activation of a sender without a
        // connection is taken back.
        if (active()) stop();
        sleepUnlessStopping(100);
        return true;
    }
    if (m_freeSlots.empty() && m_requests.empty()) {
        // A fresh connection: the whole window is free.
        for (int slot = 1; slot <= std::min(m_settings.windowSize, 255); ++slot) {
            m_freeSlots.insert(static_cast<unsigned char>(slot));
        }
    }
    if (!readLinks()) return true;
    if (!keepAlive()) return true;
    if (!submitQueued()) return true;

    // Sleep until traffic, the stop, the next second of the throughput, the
    // end of a pause or, with room to submit, a queued message.
    const Clock::time_point now = Clock::now();
    long wait = idlePollMs;
    bool forQueue = active() && !m_freeSlots.empty();
    if (now < m_pausedUntil) {
        wait = std::min(wait, millisecondsUntil(m_pausedUntil));
        forQueue = false;
    } else if (m_submittedThisSecond >= m_settings.throughput) {
        wait = std::min(wait, millisecondsUntil(m_secondStart + std::chrono::seconds(1)));
        forQueue = false;
    }
    if (forQueue && m_context.sendQueue.size() > 0) return true;
    idleWait(std::max(1L, wait), forQueue);
    return true;
}

void SmsSenderSmpp::stopSending() {
    if (m_bound) {
        // Responses on their way settle their submissions; then the unbind.
        const Clock::time_point end = Clock::now() + std::chrono::seconds(stopWaitSeconds);
        auto submissionsOpen = [&] {
            return std::any_of(m_requests.begin(), m_requests.end(),
                               [](const auto& request) { return request.second.kind == RequestKind::Submit; });
        };
        while (m_bound && submissionsOpen() && Clock::now() < end) {
            idleWait(std::min(100L, millisecondsUntil(end)), false);
            readLinks();
        }
        for (size_t link = 0; m_bound && link < m_links.size(); ++link) {
            sendRequest(link, RequestKind::Unbind, 0, smpp::packHeaderOnly(smpp::unbind, nextSequence()));
        }
        auto unbindOpen = [&] {
            return std::any_of(m_requests.begin(), m_requests.end(),
                               [](const auto& request) { return request.second.kind == RequestKind::Unbind; });
        };
        const Clock::time_point unbindEnd = Clock::now() + std::chrono::seconds(2);
        while (m_bound && unbindOpen() && Clock::now() < unbindEnd) {
            idleWait(std::min(100L, millisecondsUntil(unbindEnd)), false);
            readLinks();
        }
    }
    const size_t unanswered = m_context.sentMessages.count(
        this, [](const SentMessage& entry) { return !entry.m_acknowledged && !entry.m_awaitedReferences.empty(); });
    if (m_bound) disconnect();
    m_errorLog->write("SMPP: Stopped with " + std::to_string(unanswered) + " submission(s) unanswered", 'i');
}

void SmsSenderSmpp::Main() {
    traceAs(GetName(), "Main\n");
    while (pass()) {
    }
}
