// The one way a message enters the gateway, for every interface: the remote
// interface's SendSms and the HTTP interface's POST /v1/messages both hand
// their request to a Submission, which splits the destinations, checks each,
// converts the text (to ASCII, or to UTF-8 with Encoding = unicode), cuts it
// into parts and queues every part for every destination as one step,
// writing a record for what it refuses.
//
// It holds no state of its own beyond its collaborators: any thread may call
// submit(), several at once (the ORB's threads, the HTTP server's).
#ifndef KST_SUBMISSION_H
#define KST_SUBMISSION_H

#include <stdint.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "text_settings.h"

class Logger;
class SmsQue;
struct AnswerToKeep;
struct Counters;

class Submission {
public:
    // What a submission accepts and where it records what it refuses.
    struct Options {
        long maxDestinations = 1000;   // destinations in one request
        long maxQueued = 1000000;      // messages in the send queue
        Logger* errorLog = nullptr;    // refusal records; null: none
        bool hideDestination = false;  // "<hidden>" for the number in them
        bool hideIp = false;           // "<hidden>" for the client address
        TextSettings text;             // coding, parts and their limit
    };

    // One request. The text is ISO-8859-2, as the remote interface gets it,
    // or UTF-8 (the HTTP interface) with textIsUtf8.
    struct Request {
        std::string destinations;  // comma-separated, as SendSms gets them
        std::string text;
        bool textIsUtf8 = false;
        std::string remoteAddr;
        bool onDisplay = false;
        std::string mailTo;
        // Kept with each message for the HTTP interface's callers.
        std::string clientRef;
        std::string callbackUrl;
        // Kept in the store with the messages, in the same commit (null:
        // none); its body is set when submit() returns.
        AnswerToKeep* answer = nullptr;
    };

    // One message queued: its id in the store (0 without a store), its
    // destination and which part of the text it carries.
    struct Queued {
        uint64_t id = 0;
        std::string to;
        int part = 1;
        int parts = 1;
    };

    // A request refused as a whole; nothing of it is queued.
    class Refused : public std::runtime_error {
    public:
        enum Reason {
            TooManyDestinations,  // more than maxDestinations
            QueueFull,            // the queue would hold more than maxQueued
            StoreFailed,          // the store could not commit the messages
            TextTooLong,          // the text needs more than text.maxParts messages
        };
        Refused(Reason reason, const std::string& what) : std::runtime_error(what), reason(reason) {}
        const Reason reason;
    };

    // `queue` (null: nothing is queued), `counters` (null: nothing counted)
    // and the error log must outlive the submission; `label` heads its trace
    // lines and records.
    Submission(SmsQue* queue, Counters* counters, const Options& options, const char* label)
        : m_queue(queue), m_counters(counters), m_options(options), m_label(label) {}

    // Queues every part for every destination that is a telephone number the
    // SMSC's address field can carry; any other destination is refused with
    // an error record and skipped, empty ones silently. Returns what was
    // queued, in order (destination by destination, part by part), once it
    // is committed to the store. Throws Refused, with its record written;
    // a text of more than text.maxParts parts is refused (TextTooLong), but
    // for a transliterated ISO-8859-2 text with "i/N " parts (the remote
    // interface's default), whose first text.maxParts parts are queued.
    std::vector<Queued> submit(const Request& request) const;

    // The list split at commas, each entry trimmed of spaces and tabs; empty
    // entries are dropped.
    static std::vector<std::string> destinationsOf(const std::string& numbers);
    // Whether `number` (trimmed) is a destination the SMSC can carry: "+"
    // and digits, or digits.
    static bool acceptedDestination(const std::string& number);
    // The ASCII text the gateway sends for an ISO-8859-2 text.
    static std::string asciiOf(const std::string& iso88592Text);
    // The "i/N " parts an ASCII text of `length` characters needs.
    static size_t partsNeeded(size_t length);
    // The request's text in ASCII (Encoding = transliterate): a UTF-8 one
    // through ISO-8859-2 first.
    static std::string transliterated(const Request& request);
    // The texts queued for one destination under `text`: ASCII parts
    // (transliterate) or UTF-8 parts (unicode), headed "i/N " (Concatenation
    // text) or bare (udh: the senders put the header before them). Every
    // part fits one message in the coding it is sent in. The request's text
    // must be valid UTF-8 when it says so (the HTTP interface checks it).
    // Never cut: the result may have more than text.maxParts parts.
    static std::vector<std::string> partsOf(const Request& request, const TextSettings& text);

private:
    void writeRefusal(const std::string& title, const std::string& remoteAddr, const std::string* number,
                      const std::string& reason) const;

    // Collaborators, from the constructor.
    SmsQue* const m_queue;
    Counters* const m_counters;
    const Options m_options;
    const char* const m_label;
};

#endif
