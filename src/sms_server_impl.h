// The servant of the remote interface: queues messages and answers the
// statistics. It holds no state of its own; it is handed the parts it uses.
// The ORB calls every operation on any of its threads, several at once.
#ifndef KST_SMS_SERVER_IMPL_H
#define KST_SMS_SERVER_IMPL_H

#include <time.h>

#include <string>
#include <vector>

#include "sms_server.hh"
#include "submission.h"

class SmsQue;
class SmsSendManager;
class Store;
struct Counters;

class SmsServer_impl : public POA_SmsServer {
public:
    // What SendSms accepts and where it records what it refuses.
    using Options = Submission::Options;

    // The parts the servant uses, owned by the Gateway (or a test) and alive
    // as long as the servant; each is used from the ORB's threads.
    struct Parts {
        SmsQue* sendQueue = nullptr;        // null: SendSms queues nothing
        SmsSendManager* manager = nullptr;  // null: the statistics show no sender
        Counters* counters = nullptr;       // null: nothing is counted
        Store* store = nullptr;             // shared: the statistics show its queue
        time_t serverStartTime = 0;         // when the daemon started
    };

    SmsServer_impl() : SmsServer_impl(Parts(), Options()) {}
    explicit SmsServer_impl(const Parts& parts) : SmsServer_impl(parts, Options()) {}
    SmsServer_impl(const Parts& parts, const Options& options)
        : m_parts(parts), m_submission(parts.sendQueue, parts.counters, options, "CORBA if") {}
    ~SmsServer_impl() override = default;

    void KeepAlive() override;
    // Converts the text (to ASCII, or to UTF-8 with General/Encoding
    // unicode), cuts a text longer than one message into parts and queues
    // every part for every destination
    // of the comma-separated list. A destination is trimmed of spaces and
    // must be a number the SMSC's address field can carry (see
    // emi_destination: "+" and digits, or digits); any other is refused with
    // an error record and not queued; empty ones are skipped. Returns the
    // number of messages queued. A call refused as a whole queues nothing
    // and raises CORBA::IMP_LIMIT (more than maxDestinations destinations;
    // with minor code textTooLongMinor: the text needs more than
    // General/MaxParts messages), CORBA::NO_RESOURCES (the queue would hold more than maxQueued) or
    // CORBA::PERSIST_STORE with minor code storeFailureMinor (the store
    // could not commit the messages: a full disk, an I/O error). Returns
    // only after the messages are committed to the store.
    CORBA::Long SendSms(const char* phoneNumber, const char* text, const char* remoteAddr, CORBA::Boolean onDisplay,
                        const char* mailTo) override;
    char* version() override;
    CORBA::Long getStats(SmsServer::Stats_out stats_out) override;
    SmsServer::SenderStates* getSenders() override;

    // The minor code of CORBA::PERSIST_STORE when the store failed.
    static constexpr CORBA::ULong storeFailureMinor = 1;
    // The minor code of CORBA::IMP_LIMIT for a text that is too long.
    static constexpr CORBA::ULong textTooLongMinor = 2;

    // Whether SendSms accepts `number` (already trimmed) as a destination.
    static bool acceptedDestination(const std::string& number) { return Submission::acceptedDestination(number); }

private:
    // Collaborators, from the constructor.
    const Parts m_parts{};
    // The path every interface's messages take into the queue.
    const Submission m_submission;
};

#endif
