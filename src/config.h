// Every setting of the daemon, read once from the INI file at start-up on
// main's thread, before any other thread starts; read-only afterwards.
//
// Reading writes the same records and console lines, in the same order, as
// the daemon always did: a value that is not usable gets an error record
// naming the key; a missing required key, none of "[ME]", "[EMI]" and "[SMPP]",
// ends the start with an error record (exit code 1). So does an "[HTTP]"
// section with Listen whose keys file gives no key, whose certificate comes
// without its key (or the other way round) or with Store/Type memory.
#ifndef KST_CONFIG_H
#define KST_CONFIG_H

#include <optional>
#include <string>
#include <vector>

#include "text_settings.h"

class IniFile;
class Logger;

// The nine "*_Hide*" keys: "1" writes "<hidden>" instead of that value.
struct HideSettings {
    bool accessLogIp = false;
    bool accessLogDestinationAddress = false;
    bool accessLogUserData = false;
    bool accessLogEmail = false;
    bool errorLogDestinationAddress = false;
    bool errorLogUserData = false;
    bool receiveLogOriginatingAddress = false;
    bool receiveLogDestinationAddress = false;
    bool receiveLogUserData = false;
};

// The section "[ME]".
struct ModemSettings {
    std::string device;
    std::string baudRate;  // empty: 38400
    std::string pin;       // empty: none
    bool receiveAllSms = false;
    // Seconds the modem may take to answer a command (a send included).
    int sendTimeout = 20;
    // Where a PIN the SIM refused is remembered (as a salted hash).
    std::string pinStateFile = "/var/lib/kst/sim-pin.state";
};

// The section "[EMI]".
struct SmscSettings {
    std::string address;
    unsigned short port = 0;
    std::string laid;
    std::string password;
    int windowSize = 1;
    // As written: the library allows at most one submission per second for
    // 0 or less.
    int throughput = 1;
    std::string originatingAddress;
    std::string alertAddress;
    int alertTimeout = 595;
    int retryRefused = 3;
    // Test seam KSTD_TEST_RECONNECT_PAUSE_MS; -1: the sender's own pause.
    long reconnectPauseMs = -1;
};

// The section "[SMPP]".
struct SmppSettings {
    std::string address;
    unsigned short port = 0;
    std::string systemId;    // at most 15 characters
    std::string password;    // at most 8
    std::string systemType;  // at most 12
    // Transceiver: one connection; otherwise a transmitter and a receiver.
    bool transceiver = true;
    // Submissions awaiting their submit_sm_resp at most (1 to 255).
    int windowSize = 10;
    // Submissions per second at most.
    int throughput = 10;
    // Seconds without traffic on a connection before an enquire_link.
    int enquireLinkInterval = 30;
    std::string sourceAddress;  // at most 20 characters
    int sourceTon = -1;         // -1: from the address (alphanumeric: 5, else 1)
    int sourceNpi = -1;         // -1: from the address (alphanumeric: 0, else 1)
    int destinationTon = 1;
    int destinationNpi = 1;
    // Empty (the SMSC's default) or the protocol's 16 characters.
    std::string validityPeriod;
    // data_coding of the messages (the SMSC's default alphabet): 0 or 1.
    int dataCoding = 0;
    bool useTls = false;
    // PEM file of the certificates that may sign the SMSC's; empty: the
    // system's trusted CAs.
    std::string tlsCaFile;
    // "ResponseTimeout": seconds a request may wait for its response before
    // the connection is given up.
    int responseTimeout = 30;
    // Test seam KSTD_TEST_RECONNECT_PAUSE_MS; -1: the sender's own pause.
    long reconnectPauseMs = -1;
};

// The section "[Store]": where the gateway keeps what it accepted.
struct StoreSettings {
    // "sqlite" (a file at `path`), "postgresql" (the database of
    // `connection`) or "memory" (nothing survives the process).
    bool inMemory = false;
    bool postgresql = false;
    std::string path = "/var/lib/kst/kstd.db";
    // PostgreSQL: the libpq connection string, and this daemon's name kept
    // with the messages it accepts (the host name unless set).
    std::string connection;
    std::string node;
    // PostgreSQL: seconds this daemon's claims on queued messages last after
    // each renewal of its lease; a dead daemon's return to the queue then.
    long leaseSeconds = 30;
    // "full": every commit reaches the disk before it returns; "normal":
    // commits survive a crash of the daemon but not a power cut.
    bool fullSync = false;
    // Days that finished messages stay in the store.
    long keepDays = 7;
    // Seconds an acknowledged message waits for its delivery notification.
    long notificationTimeout = 604800;
};

// The section "[HTTP]": the HTTP/JSON interface beside the remote one.
struct HttpSettings {
    // host:port as written; its parts below. An IPv6 host is written in
    // brackets ("[::1]:8080").
    std::string listen;
    std::string host;
    unsigned short port = 0;
    // Whether the host is a loopback address (127.0.0.0/8, ::1, localhost):
    // then /metrics needs no key.
    bool loopback = false;
    std::string apiKeysFile;
    // The keys of the file, in its order; never empty when the section is
    // in force.
    std::vector<std::string> apiKeys;
    // HTTPS when both are set: PEM files.
    std::string certificateFile;
    std::string keyFile;
    long maxBodyBytes = 1048576;
    // Signs the delivery callbacks.
    std::string webhookSecret;
};

struct Config {
    std::string errorLogPath;  // empty: syslog
    std::string accessLogPath;
    std::string receiveLogPath;
    HideSettings hide;
    std::optional<ModemSettings> modem;
    std::optional<SmscSettings> smsc;
    std::optional<SmppSettings> smpp;
    // "Senders/Order": the configured senders by preference ("smpp", "emi",
    // "me"); the manager activates the first connected one.
    std::vector<std::string> senderOrder;
    TextSettings text;
    long maxDestinations = 1000;
    long maxQueued = 1000000;
    std::string executables;
    // "General/ConcatenationTimeout": seconds the parts of a concatenated
    // received message wait for the others before they are handed on one
    // by one.
    long concatenationTimeout = 300;
    std::string smtpHost;
    std::string smtpPort;
    std::string smtpFrom;
    std::string smtpSubject;
    std::string smtpBody;
    StoreSettings store;
    // Null without "[HTTP]" or without its Listen key: no HTTP server.
    std::optional<HttpSettings> http;
    // Test seam KSTD_TEST_MANAGER_CYCLE_MS; -1: the manager's own cycle.
    long managerCycleMs = -1;

    // Parses the INI file; on failure writes "INI file: ..." to the console
    // and syslog and ends the process.
    static void loadIniFile(IniFile& ini, const char* fileName);
    // One of the three log paths; a missing key is reported to syslog and
    // leaves that log on syslog. Read one by one, each just before its log
    // is opened, so that the records keep their order.
    static std::string readLogPath(IniFile& ini, const char* key);
    // Reads every other setting, in the order of its records and console
    // lines; the records go to `errorLog`.
    void readSettings(IniFile& ini, Logger& errorLog);
};

#endif
