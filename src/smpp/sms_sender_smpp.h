// The sender that submits queued messages to an SMSC over SMPP 3.4 (PDUs
// packed by libsmpp34 through smpp_pdu.h), reads the SMSC's responses,
// delivery receipts and incoming messages, keeps the link alive with
// enquire_link, and gives up the connection (for the manager to restore)
// whenever the SMSC misbehaves or stops answering.
//
// Threads: connect() and reconnect() run on the manager's thread (the bind
// is made there), everything else of the session on the sender's own
// thread; connected() on any thread.
#ifndef KST_SMS_SENDER_SMPP_H
#define KST_SMS_SENDER_SMPP_H

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "sent_message.h"
#include "sms_sender.h"
#include "smpp_pdu.h"

typedef struct ssl_ctx_st SSL_CTX;

class SmsSenderSmpp : public SmsSender {
public:
    SmsSenderSmpp(const SmppSettings& settings, const SenderContext& context);
    // Waits for the thread, which unbinds before it ends, then closes a
    // connection the manager may have made after the thread ended.
    ~SmsSenderSmpp() override;

    void Main() override;
    // Connects and binds (two connections for transmitter + receiver);
    // false, with an error record naming the cause (the bind's status
    // when the SMSC refuses it), otherwise.
    bool connect() override;
    // Closes the connections without an unbind.
    bool disconnect() override;
    bool reconnect() override EXCLUDES(m_mutex);
    bool init() override;
    bool connected() override;
    // Submits one message on the sender's thread: 0 when it is on its way
    // (it waits in the registry for its response), -1 when it could not be
    // sent (back at the front of the queue) or not recorded in the store.
    int sendSms(Sms& sms, int counter) override EXCLUDES(m_mutex);
    // The data coding, esm_class and short message of `sms` by the text
    // settings: as written (transliterate), or the GSM default alphabet (one
    // septet an octet, data_coding 0; ASCII stays as it is with DataCoding
    // 1) when the text fits it, otherwise UCS-2 (data_coding 8); a part of
    // a longer text (Concatenation = udh) has its concatenation header first
    // and UDHI set. Reads only settings fixed at construction.
    void codeText(const Sms& sms, smpp::SubmitParameters& submit) const;

    // The TON and NPI of the source address as the settings ask or, when
    // they leave them open, as the address looks (alphanumeric 5/0,
    // numeric 1/1).
    static int sourceTon(const SmppSettings& settings);
    static int sourceNpi(const SmppSettings& settings);

    // Seconds the stop waits for the responses of outstanding submissions.
    static constexpr int stopWaitSeconds = 5;

private:
    class Link;
    enum class RequestKind { Submit, EnquireLink, Unbind };
    struct Request {
        RequestKind kind;
        unsigned char slot;  // the registry reference of a submission
        size_t link;
        std::chrono::steady_clock::time_point sentAt;
    };

    bool pass();
    // Reads what the links have (up to a limit of PDUs); false when the
    // connection was given up.
    bool readLinks();
    bool handlePdu(size_t link, const uint8_t* frame, size_t length);
    // Settles the submission in the registry; acknowledgements and
    // refusals wait in m_settled for settle().
    void handleSubmitResponse(const Request& request, uint32_t status, const std::string& messageId);
    // settleResults() of m_settled; false when the store failed.
    bool settle();
    // A delivery receipt or a received message; false when the connection
    // was given up.
    bool handleDeliverSm(size_t link, const smpp::Pdu& pdu);
    bool handleReceipt(size_t link, const smpp::Pdu& pdu);
    // Sends enquire_link on links idle for the interval and gives the
    // connection up when a request waited past the response time-out;
    // false then.
    bool keepAlive();
    // Submits queued messages as the window, the throughput and a
    // throttling pause allow; false when the connection was given up.
    bool submitQueued();
    // Packs and writes one request; its sequence number, 0 on failure.
    uint32_t sendRequest(size_t link, RequestKind kind, unsigned char slot, const std::vector<uint8_t>& bytes);
    bool sendResponse(size_t link, const std::vector<uint8_t>& bytes);
    uint32_t nextSequence();
    // The link that carries submissions (the transceiver or transmitter)
    // and the one that receives (the transceiver or receiver).
    size_t submitLink() const { return 0; }
    // Closes the links, returns the unacknowledged submissions to the
    // queue; the acknowledged ones keep waiting for their receipts.
    void giveUpConnection(const std::string& reason);
    void stopSending();
    // Waits up to `milliseconds` for traffic, a queued message (when
    // `forQueue`) or the stop.
    void idleWait(long milliseconds, bool forQueue);
    void sleepUnlessStopping(long milliseconds);
    // Opens and binds one link; null, with an error record, on failure.
    std::unique_ptr<Link> openLink(smpp::BindMode mode);
    void closeLinks();
    bool refusalIsThrottling(uint32_t status) const;

    const SmppSettings m_settings;
    const int m_sourceTon;
    const int m_sourceNpi;
    long m_reconnectPauseMs;

    // The links (one, or transmitter and receiver). Written by connect() on
    // the manager's thread only while m_bound is false, then published by
    // m_bound; from then on only the sender's thread uses and closes them
    // and clears m_bound (the same protocol as the SMSC sender's handle).
    std::vector<std::unique_ptr<Link>> m_links;
    std::atomic<bool> m_bound;

    // Sender thread only.
    uint32_t m_sequence;
    std::map<uint32_t, Request> m_requests;
    std::vector<SettledResult> m_settled;
    std::set<unsigned char> m_freeSlots;
    // Throughput: submissions made in the current second.
    std::chrono::steady_clock::time_point m_secondStart;
    int m_submittedThisSecond;
    // Throttling: no submission before this; the pause doubles with every
    // throttling answer in a row.
    std::chrono::steady_clock::time_point m_pausedUntil;
    long m_throttlePauseMs;

    // With SMPP/UseTls: the client context (made by the constructor, used
    // by connect() on the manager's thread only) and whether its trusted
    // certificates could be loaded.
    SSL_CTX* m_tls;
    bool m_tlsTrust = false;
    std::string m_tlsTrustError;
};

#endif
