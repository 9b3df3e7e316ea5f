#include "config.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "inifile.h"
#include "logger.h"
#include "process.h"
#include "trace.h"

namespace {

bool readHideFlag(IniFile& ini, const char* key) { return ini.GetSetting(key, "0", nullptr) == "1"; }

// Test seams: the integration tests shorten the manager's cycle and the SMSC
// sender's reconnection pause through the environment, so that a test does
// not wait tens of seconds for the first connection. Unset, the daemon keeps
// its own timing.
long testSeamMilliseconds(const char* name) {
    const char* value = getenv(name);
    if (value == nullptr || *value == '\0') return -1;
    char* end = nullptr;
    long milliseconds = strtol(value, &end, 10);
    return (*end == '\0' && milliseconds >= 0) ? milliseconds : -1;
}

// Reads the nine hiding flags and traces those that are on ("1").
HideSettings readHideSettings(IniFile& ini) {
    HideSettings hide;
    const struct {
        const char* key;
        bool* value;
    } flags[] = {
        {"Log/AccessLog_HideIp", &hide.accessLogIp},
        {"Log/AccessLog_HideDestinationAddress", &hide.accessLogDestinationAddress},
        {"Log/AccessLog_HideUserData", &hide.accessLogUserData},
        {"Log/AccessLog_HideEmail", &hide.accessLogEmail},
        {"Log/ErrorLog_HideDestinationAddress", &hide.errorLogDestinationAddress},
        {"Log/ErrorLog_HideUserData", &hide.errorLogUserData},
        {"Log/ReceiveLog_HideOriginatingAddress", &hide.receiveLogOriginatingAddress},
        {"Log/ReceiveLog_HideDestinationAddress", &hide.receiveLogDestinationAddress},
        {"Log/ReceiveLog_HideUserData", &hide.receiveLogUserData},
    };
    std::string hidden;
    for (const auto& flag : flags) {
        if (!readHideFlag(ini, flag.key)) continue;
        *flag.value = true;
        hidden += std::string(" ") + (flag.key + strlen("Log/"));
    }
    trace("Hiding:%s\n", hidden.empty() ? " nothing" : hidden.c_str());
    return hide;
}

// Ends the start with an error record about a setting.
[[noreturn]] void settingFatal(Logger& errorLog, const std::string& text) {
    report(&errorLog, 'i', text, nullptr, "ERROR: " + text, ConsoleStream::Error);
    exit(1);
}

// A whole decimal number with an optional sign and nothing else around it.
bool parseWholeNumber(const std::string& text, long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || !(isdigit(static_cast<unsigned char>(text.back())))) return false;
    *value = parsed;
    return true;
}

// Reads a numeric setting. An absent key silently takes `fallback`; a
// present value that is not a whole number within [min, max] gets an error
// record that names the key, the value given and the value in force, which
// is `inForce` (by default `fallback`). `given` receives the number written,
// when there is one, for callers that pass the raw value on.
long readNumberSetting(IniFile& ini, Logger& errorLog, const char* key, long fallback, long min, long max,
                       const char* range, const std::string& inForce = std::string(), long* given = nullptr) {
    bool found = false;
    const std::string text = ini.GetSetting(key, "", &found);
    if (!found) return fallback;
    long value = 0;
    const bool numeric = parseWholeNumber(text, &value);
    if (given != nullptr) *given = numeric ? value : 0;
    if (numeric && value >= min && value <= max) return value;
    const std::string record = std::string("Invalid ") + key + " setting '" + Logger::escape(text) + "' in INI file (" +
                               range + "), " + (inForce.empty() ? "using " + std::to_string(fallback) : inForce);
    report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
    return fallback;
}

// The section "ME", or nothing without it. A missing device or line speed
// ends the start.
std::optional<ModemSettings> readModemSettings(IniFile& ini, Logger& errorLog) {
    if (ini.GetSection("ME") == ini.GetSectionEnd()) return std::nullopt;
    auto required = [&](const char* key) {
        bool found = false;
        std::string value = ini.GetSetting(key, "", &found);
        if (!found) settingFatal(errorLog, std::string("Missing ") + key + " setting in INI file, exiting");
        return value;
    };
    ModemSettings modem;
    modem.device = required("ME/Device");
    trace("ME device: %s\n", modem.device.c_str());
    modem.baudRate = required("ME/BaudRate");
    trace("ME baudrate: %s\n", modem.baudRate.c_str());
    modem.pin = ini.GetSetting("ME/Pin", "", nullptr);
    if (!modem.pin.empty()) {
        tracePlain("PIN: %s\n", "********");
    } else {
        tracePlain("No PIN in configuration.\n");
    }
    modem.receiveAllSms = ini.GetSetting("ME/ReceiveAllSms", "0", nullptr) != "0";
    tracePlain(modem.receiveAllSms ? "Receiving all messages\n" : "Receiving only new messages\n");
    modem.sendTimeout = static_cast<int>(readNumberSetting(ini, errorLog, "ME/SendTimeout", modem.sendTimeout, 1, 3600,
                                                           "a whole number of seconds from 1 to 3600"));
    modem.pinStateFile = ini.GetSetting("ME/PinStateFile", modem.pinStateFile.c_str(), nullptr);
    return modem;
}

// A setting that is one of two words: an absent key gives `first`'s value
// (false); another word gets an error record and gives false as well.
bool readChoiceSetting(IniFile& ini, Logger& errorLog, const char* key, const char* first, const char* second) {
    bool found = false;
    const std::string text = ini.GetSetting(key, first, &found);
    if (text == second) return true;
    if (found && text != first) {
        const std::string record = std::string("Invalid ") + key + " setting '" + Logger::escape(text) +
                                   "' in INI file (" + first + " or " + second + "), using " + first;
        report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
    }
    return false;
}

// The section "General".
TextSettings readTextSettings(IniFile& ini, Logger& errorLog) {
    TextSettings text;
    text.unicode = readChoiceSetting(ini, errorLog, "General/Encoding", "transliterate", "unicode");
    text.udh = readChoiceSetting(ini, errorLog, "General/Concatenation", "text", "udh");
    text.maxParts = static_cast<int>(
        readNumberSetting(ini, errorLog, "General/MaxParts", text.maxParts, 1, 255, "a whole number from 1 to 255"));
    trace("Texts: encoding %s, concatenation %s, at most %d parts\n", text.unicode ? "unicode" : "transliterate",
          text.udh ? "udh" : "text", text.maxParts);
    return text;
}

// The SMSC's port: a whole number, 0 or more; above 65535 it is taken
// modulo 65536 (with a record saying so). Absent or anything else ends the
// start.
unsigned short readSmscPort(IniFile& ini, Logger& errorLog) {
    bool found = false;
    const std::string text = ini.GetSetting("EMI/Port", "", &found);
    if (!found || text.empty()) settingFatal(errorLog, "Missing EMI/Port setting in INI file, exiting");
    long port = 0;
    if (!parseWholeNumber(text, &port) || port < 0) {
        settingFatal(errorLog,
                     "Invalid EMI/Port setting '" + Logger::escape(text) + "' in INI file (a port number), exiting");
    }
    if (port > 65535) {
        const std::string record =
            "EMI/Port setting '" + text + "' in INI file is above 65535, using port " + std::to_string(port % 65536);
        report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
    }
    return static_cast<unsigned short>(port % 65536);
}

// The section "EMI", or nothing without it. A missing address or port ends
// the start; other bad numbers are recorded and replaced by their defaults.
std::optional<SmscSettings> readSmscSettings(IniFile& ini, Logger& errorLog) {
    if (ini.GetSection("EMI") == ini.GetSectionEnd()) return std::nullopt;
    SmscSettings smsc;
    smsc.address = ini.GetSetting("EMI/Address", "", nullptr);
    if (smsc.address.empty()) settingFatal(errorLog, "Missing EMI/Address setting in INI file, exiting");
    smsc.port = readSmscPort(ini, errorLog);
    smsc.laid = ini.GetSetting("EMI/LAID", "", nullptr);
    smsc.password = ini.GetSetting("EMI/Password", "", nullptr);
    smsc.windowSize =
        static_cast<int>(readNumberSetting(ini, errorLog, "EMI/WindowSize", 1, 1, 96, "a whole number from 1 to 96"));
    // The library allows at most one submission per second for a throughput
    // of 0 or less: that value is passed on as it was written.
    long throughputGiven = 1;
    readNumberSetting(ini, errorLog, "EMI/Throughput", 1, 1, INT_MAX,
                      "a whole number of submissions per second, 1 or more",
                      "at most 1 submission per second is in force", &throughputGiven);
    smsc.throughput = throughputGiven >= INT_MIN && throughputGiven <= INT_MAX ? static_cast<int>(throughputGiven) : 0;
    smsc.originatingAddress = ini.GetSetting("EMI/OriginatingAddress", "", nullptr);
    smsc.alertAddress = ini.GetSetting("EMI/AlertAddress", "", nullptr);
    smsc.alertTimeout = static_cast<int>(
        readNumberSetting(ini, errorLog, "EMI/AlertTimeout", 595, 1, INT_MAX, "a whole number of seconds, 1 or more"));
    trace(
        "EMI: %s:%u, LAID '%s', window %d, throughput %d, originator '%s', alert '%s', "
        "alert timeout %d\n",
        smsc.address.c_str(), smsc.port, smsc.laid.c_str(), smsc.windowSize, smsc.throughput,
        smsc.originatingAddress.c_str(), smsc.alertAddress.c_str(), smsc.alertTimeout);
    smsc.retryRefused = static_cast<int>(
        readNumberSetting(ini, errorLog, "EMI/RetryRefused", 3, 0, 100, "a whole number from 0 to 100"));
    smsc.reconnectPauseMs = testSeamMilliseconds("KSTD_TEST_RECONNECT_PAUSE_MS");
    return smsc;
}

// A port key of a section: a whole number from 1 to 65535; absent or
// anything else ends the start.
unsigned short readPort(IniFile& ini, Logger& errorLog, const char* key) {
    bool found = false;
    const std::string text = ini.GetSetting(key, "", &found);
    if (!found || text.empty()) settingFatal(errorLog, std::string("Missing ") + key + " setting in INI file, exiting");
    long port = 0;
    if (!parseWholeNumber(text, &port) || port < 1 || port > 65535) {
        settingFatal(errorLog, std::string("Invalid ") + key + " setting '" + Logger::escape(text) +
                                   "' in INI file (a port number from 1 to 65535), exiting");
    }
    return static_cast<unsigned short>(port);
}

// A text key that the protocol limits to `longest` characters: a longer one
// ends the start (it could never be sent as written).
std::string readBoundedText(IniFile& ini, Logger& errorLog, const char* key, size_t longest) {
    const std::string text = ini.GetSetting(key, "", nullptr);
    if (text.size() > longest) {
        settingFatal(errorLog, std::string("Invalid ") + key + " setting '" + Logger::escape(text) +
                                   "' in INI file (at most " + std::to_string(longest) + " characters), exiting");
    }
    return text;
}

// An SMPP validity period: empty, or YYMMDDhhmmsstnnp with p "+", "-"
// (absolute) or "R" (relative).
bool validSmppTime(const std::string& text) {
    if (text.empty()) return true;
    if (text.size() != 16) return false;
    for (size_t i = 0; i < 15; ++i) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return text[15] == '+' || text[15] == '-' || text[15] == 'R';
}

// The section "SMPP", or nothing without it. A missing address or port and
// texts too long for the protocol end the start; other bad values are
// recorded and replaced by their defaults.
std::optional<SmppSettings> readSmppSettings(IniFile& ini, Logger& errorLog) {
    if (ini.GetSection("SMPP") == ini.GetSectionEnd()) return std::nullopt;
    SmppSettings smpp;
    smpp.address = ini.GetSetting("SMPP/Address", "", nullptr);
    if (smpp.address.empty()) settingFatal(errorLog, "Missing SMPP/Address setting in INI file, exiting");
    smpp.port = readPort(ini, errorLog, "SMPP/Port");
    smpp.systemId = readBoundedText(ini, errorLog, "SMPP/SystemId", 15);
    smpp.password = readBoundedText(ini, errorLog, "SMPP/Password", 8);
    smpp.systemType = readBoundedText(ini, errorLog, "SMPP/SystemType", 12);
    const std::string mode = ini.GetSetting("SMPP/BindMode", "transceiver", nullptr);
    if (mode == "transmitter" || mode == "transmitter+receiver") {
        smpp.transceiver = false;
    } else if (mode != "transceiver") {
        const std::string record = "Invalid SMPP/BindMode setting '" + Logger::escape(mode) +
                                   "' in INI file (transceiver or transmitter), using transceiver";
        report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
    }
    smpp.windowSize = static_cast<int>(
        readNumberSetting(ini, errorLog, "SMPP/WindowSize", 10, 1, 255, "a whole number from 1 to 255"));
    smpp.throughput = static_cast<int>(readNumberSetting(ini, errorLog, "SMPP/Throughput", 10, 1, INT_MAX,
                                                         "a whole number of submissions per second, 1 or more"));
    smpp.enquireLinkInterval = static_cast<int>(readNumberSetting(ini, errorLog, "SMPP/EnquireLinkInterval", 30, 1,
                                                                  3600, "a whole number of seconds from 1 to 3600"));
    smpp.responseTimeout = static_cast<int>(readNumberSetting(ini, errorLog, "SMPP/ResponseTimeout", 30, 1, 3600,
                                                              "a whole number of seconds from 1 to 3600"));
    smpp.sourceAddress = readBoundedText(ini, errorLog, "SMPP/SourceAddress", 20);
    smpp.sourceTon = static_cast<int>(readNumberSetting(
        ini, errorLog, "SMPP/SourceTon", -1, 0, 6, "a whole number from 0 to 6", "using the type the address shows"));
    smpp.sourceNpi = static_cast<int>(readNumberSetting(
        ini, errorLog, "SMPP/SourceNpi", -1, 0, 18, "a whole number from 0 to 18", "using the plan the address shows"));
    smpp.destinationTon = static_cast<int>(
        readNumberSetting(ini, errorLog, "SMPP/DestinationTon", 1, 0, 6, "a whole number from 0 to 6"));
    smpp.destinationNpi = static_cast<int>(
        readNumberSetting(ini, errorLog, "SMPP/DestinationNpi", 1, 0, 18, "a whole number from 0 to 18"));
    smpp.validityPeriod = ini.GetSetting("SMPP/ValidityPeriod", "", nullptr);
    if (!validSmppTime(smpp.validityPeriod)) {
        const std::string record = "Invalid SMPP/ValidityPeriod setting '" + Logger::escape(smpp.validityPeriod) +
                                   "' in INI file (YYMMDDhhmmss000R for a relative period), using the SMSC's default";
        report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
        smpp.validityPeriod.clear();
    }
    smpp.dataCoding = static_cast<int>(readNumberSetting(ini, errorLog, "SMPP/DataCoding", 0, 0, 1, "0 or 1"));
    const std::string tls = ini.GetSetting("SMPP/UseTls", "0", nullptr);
    smpp.useTls = tls == "1";
    if (tls != "0" && tls != "1") {
        const std::string record =
            "Invalid SMPP/UseTls setting '" + Logger::escape(tls) + "' in INI file (0 or 1), using 0";
        report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
    }
    smpp.tlsCaFile = ini.GetSetting("SMPP/TlsCaFile", "", nullptr);
    trace("SMPP: %s:%u%s, system id '%s', %s, window %d, throughput %d, enquire_link every %d s, source '%s'\n",
          smpp.address.c_str(), smpp.port, smpp.useTls ? " (TLS)" : "", smpp.systemId.c_str(),
          smpp.transceiver ? "transceiver" : "transmitter + receiver", smpp.windowSize, smpp.throughput,
          smpp.enquireLinkInterval, smpp.sourceAddress.c_str());
    smpp.reconnectPauseMs = testSeamMilliseconds("KSTD_TEST_RECONNECT_PAUSE_MS");
    return smpp;
}

// "Senders/Order": comma-separated sender names. Without it: SMPP first
// when configured, then the SMSC and the modem. An unknown name ends the
// start; a name whose section is missing is left out with a record.
std::vector<std::string> readSenderOrder(IniFile& ini, Logger& errorLog, const Config& config) {
    const auto configured = [&](const std::string& name) {
        return (name == "smpp" && config.smpp) || (name == "emi" && config.smsc) || (name == "me" && config.modem);
    };
    bool found = false;
    const std::string text = ini.GetSetting("Senders/Order", "", &found);
    std::vector<std::string> order;
    if (!found || text.empty()) {
        for (const char* name : {"smpp", "emi", "me"}) {
            if (configured(name)) order.push_back(name);
        }
        return order;
    }
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        std::string name = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (name != "smpp" && name != "emi" && name != "me") {
            settingFatal(errorLog, "Invalid Senders/Order setting '" + Logger::escape(text) +
                                       "' in INI file (sender names smpp, emi and me, separated by commas), exiting");
        }
        if (std::find(order.begin(), order.end(), name) != order.end()) {
            settingFatal(errorLog, "Invalid Senders/Order setting '" + Logger::escape(text) + "' in INI file (" + name +
                                       " named twice), exiting");
        }
        if (configured(name)) {
            order.push_back(name);
        } else {
            const std::string record =
                "Senders/Order names " + name + " but the INI file has no section for it; it is left out";
            report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
        }
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    // A configured sender the order leaves out is not used: that is said.
    for (const char* name : {"smpp", "emi", "me"}) {
        if (configured(name) && std::find(order.begin(), order.end(), name) == order.end()) {
            const std::string record =
                std::string("Senders/Order leaves out the configured sender ") + name + ", which is not used";
            report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
        }
    }
    if (order.empty()) settingFatal(errorLog, "Senders/Order names no configured sender, exiting");
    return order;
}

// The host name, the default name of a daemon sharing a PostgreSQL store.
std::string hostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "kstd";
    return name;
}

// A daemon's name: kept in the database and shown to operators.
bool isNodeName(const std::string& name) {
    if (name.empty() || name.size() > 63) return false;
    for (char c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

// The section "Store". Store/Type postgresql without Store/Connection or
// with an invalid Store/Node ends the start; an unknown type or sync value
// gets an error record and the default; so do bad numbers. The keys of the
// other types are ignored, as Store/Path is with memory.
StoreSettings readStoreSettings(IniFile& ini, Logger& errorLog) {
    StoreSettings store;
    const std::string type = ini.GetSetting("Store/Type", "sqlite", nullptr);
    if (type == "postgresql") {
        store.postgresql = true;
        store.connection = ini.GetSetting("Store/Connection", "", nullptr);
        if (store.connection.empty()) {
            settingFatal(errorLog, "Missing Store/Connection setting in INI file (Store/Type postgresql), exiting");
        }
        store.node = ini.GetSetting("Store/Node", hostName().c_str(), nullptr);
        if (!isNodeName(store.node)) {
            settingFatal(errorLog, "Invalid Store/Node setting '" + Logger::escape(store.node) +
                                       "' in INI file (1 to 63 letters, digits, '.', '_' or '-'), exiting");
        }
    } else if (type == "memory") {
        store.inMemory = true;
    } else if (type != "sqlite") {
        const std::string record = "Invalid Store/Type setting '" + Logger::escape(type) +
                                   "' in INI file (sqlite, postgresql or memory), using sqlite";
        report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
    }
    store.path = ini.GetSetting("Store/Path", store.path, nullptr);
    if (store.path.empty()) {
        const std::string record =
            "Invalid Store/Path setting '' in INI file (a file name), using /var/lib/kst/kstd.db";
        report(&errorLog, 'e', record, nullptr, "ERROR: " + record, ConsoleStream::Error);
        store.path = "/var/lib/kst/kstd.db";
    }
    store.fullSync = readChoiceSetting(ini, errorLog, "Store/Sync", "normal", "full");
    store.keepDays =
        readNumberSetting(ini, errorLog, "Store/KeepDays", 7, 0, 36500, "a whole number of days from 0 to 36500");
    store.notificationTimeout = readNumberSetting(ini, errorLog, "Store/NotificationTimeout", 604800, 1, INT_MAX,
                                                  "a whole number of seconds, 1 or more");
    store.leaseSeconds =
        readNumberSetting(ini, errorLog, "Store/LeaseSeconds", 30, 1, 3600, "a whole number of seconds from 1 to 3600");
    if (store.postgresql) {
        trace("Store: PostgreSQL, node %s, lease %ld s, keep %ld days, notification timeout %ld s\n",
              store.node.c_str(), store.leaseSeconds, store.keepDays, store.notificationTimeout);
    } else if (store.inMemory) {
        trace("Store: memory\n");
    } else {
        trace("Store: %s, sync %s, keep %ld days, notification timeout %ld s\n", store.path.c_str(),
              store.fullSync ? "full" : "normal", store.keepDays, store.notificationTimeout);
    }
    return store;
}

// Splits "host:port" or "[v6-host]:port"; false when it is not of that form
// or the port is not 1 to 65535.
bool splitListen(const std::string& text, std::string& host, unsigned short& port) {
    std::string::size_type colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;
    }
    long number = 0;
    if (!parseWholeNumber(text.substr(colon + 1), &number) || number < 1 || number > 65535) return false;
    if (!isdigit(static_cast<unsigned char>(text[colon + 1]))) return false;
    port = static_cast<unsigned short>(number);
    return true;
}

bool isLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0;
}

// The keys of the API keys file: one a line, trimmed; blank lines and lines
// starting with "#" are skipped. False with `error` when it cannot be read.
bool readApiKeys(const std::string& path, std::vector<std::string>& keys, std::string& error) {
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) {
        error = strerror(errno);
        return false;
    }
    char buffer[4096];
    std::string line;
    bool failed = false;
    while (true) {
        line.clear();
        bool got = false;
        while (fgets(buffer, sizeof buffer, file) != nullptr) {
            got = true;
            line += buffer;
            if (!line.empty() && line.back() == '\n') break;
        }
        if (!got) break;
        const std::string::size_type first = line.find_first_not_of(" \t\r\n");
        if (first == std::string::npos || line[first] == '#') continue;
        keys.push_back(line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1));
    }
    if (ferror(file)) {
        error = strerror(errno);
        failed = true;
    }
    fclose(file);
    return !failed;
}

// The section "HTTP", or nothing without it or without its Listen key.
// Anything that would leave the interface open to everyone, or not the way
// it was asked for, ends the start.
std::optional<HttpSettings> readHttpSettings(IniFile& ini, Logger& errorLog, const StoreSettings& store) {
    if (ini.GetSection("HTTP") == ini.GetSectionEnd()) return std::nullopt;
    bool found = false;
    HttpSettings http;
    http.listen = ini.GetSetting("HTTP/Listen", "", &found);
    if (!found || http.listen.empty()) return std::nullopt;
    if (!splitListen(http.listen, http.host, http.port)) {
        settingFatal(errorLog, "Invalid HTTP/Listen setting '" + Logger::escape(http.listen) +
                                   "' in INI file (host:port), exiting");
    }
    http.loopback = isLoopbackHost(http.host);
    http.apiKeysFile = ini.GetSetting("HTTP/ApiKeysFile", "", &found);
    if (http.apiKeysFile.empty()) settingFatal(errorLog, "Missing HTTP/ApiKeysFile setting in INI file, exiting");
    std::string error;
    if (!readApiKeys(http.apiKeysFile, http.apiKeys, error)) {
        settingFatal(errorLog, "Cannot read HTTP/ApiKeysFile " + http.apiKeysFile + ": " + error + ", exiting");
    }
    if (http.apiKeys.empty()) {
        settingFatal(errorLog, "HTTP/ApiKeysFile " + http.apiKeysFile + " holds no key, exiting");
    }
    http.certificateFile = ini.GetSetting("HTTP/CertificateFile", "", nullptr);
    http.keyFile = ini.GetSetting("HTTP/KeyFile", "", nullptr);
    if (http.certificateFile.empty() != http.keyFile.empty()) {
        settingFatal(errorLog, std::string("HTTP/") + (http.keyFile.empty() ? "CertificateFile" : "KeyFile") +
                                   " is set without HTTP/" + (http.keyFile.empty() ? "KeyFile" : "CertificateFile") +
                                   " in INI file, exiting");
    }
    http.maxBodyBytes = readNumberSetting(ini, errorLog, "HTTP/MaxBodyBytes", http.maxBodyBytes, 1, INT_MAX,
                                          "a whole number of bytes, 1 or more");
    http.webhookSecret = ini.GetSetting("HTTP/WebhookSecret", "", nullptr);
    if (store.inMemory) {
        settingFatal(errorLog,
                     "HTTP/Listen needs the durable store (Store/Type sqlite or postgresql): message ids and "
                     "Idempotency-Key answers live there, exiting");
    }
    trace("HTTP: %s%s, %zu API keys, at most %ld bytes a request\n", http.listen.c_str(),
          http.certificateFile.empty() ? "" : " (HTTPS)", http.apiKeys.size(), http.maxBodyBytes);
    return http;
}

}  // namespace

void Config::loadIniFile(IniFile& ini, const char* fileName) {
    try {
        ini.Open(fileName, IniFile::RO);
        ini.ParseFile();
        ini.Close();
    } catch (IniFileException& e) {
        std::string text = "INI file: " + e.toString();
        tracePlain("%s\n", text.c_str());
        syslog(LOG_ERR, "%s", text.c_str());
        exit(1);
    }
}

std::string Config::readLogPath(IniFile& ini, const char* key) {
    bool found = false;
    std::string path = ini.GetSetting(key, "", &found);
    if (!found) syslog(LOG_ERR, "Missing %s setting in INI file", key);
    return path;
}

void Config::readSettings(IniFile& ini, Logger& errorLog) {
    managerCycleMs = testSeamMilliseconds("KSTD_TEST_MANAGER_CYCLE_MS");
    hide = readHideSettings(ini);
    modem = readModemSettings(ini, errorLog);
    smsc = readSmscSettings(ini, errorLog);
    smpp = readSmppSettings(ini, errorLog);
    if (!modem && !smsc && !smpp) {
        fprintf(stderr, "ERROR: There are no ME nor EMI section in configuration file, exiting\n");
        errorLog.write("ERROR: There are no ME nor EMI section in configuration file, exiting", 'i');
        exit(1);
    }
    senderOrder = readSenderOrder(ini, errorLog, *this);
    text = readTextSettings(ini, errorLog);
    maxDestinations =
        readNumberSetting(ini, errorLog, "Limits/MaxDestinations", 1000, 1, INT_MAX, "a whole number, 1 or more");
    maxQueued = readNumberSetting(ini, errorLog, "Limits/MaxQueued", 1000000, 1, INT_MAX, "a whole number, 1 or more");
    trace("Limits: %ld destinations per request, %ld queued messages\n", maxDestinations, maxQueued);

    executables = ini.GetSetting("SmsProcessing/Executables", "", nullptr);
    concatenationTimeout =
        readNumberSetting(ini, errorLog, "General/ConcatenationTimeout", 300, 1, 604800, "1 to 604800 seconds");
    smtpHost = ini.GetSetting("SMTP/ServerHost", "localhost", nullptr);
    smtpPort = ini.GetSetting("SMTP/ServerPort", "25", nullptr);
    smtpFrom = ini.GetSetting("SMTP/From", "kstd@localhost", nullptr);
    smtpSubject = ini.GetSetting("SMTP/Subject", "Zprava byla odeslana", nullptr);
    smtpBody = ini.GetSetting("SMTP/Body", "Vase zprava na %DA% byla odeslana %DATE% v %TIME%.%LF%%LF%%UD%", nullptr);
    store = readStoreSettings(ini, errorLog);
    http = readHttpSettings(ini, errorLog, store);
}
