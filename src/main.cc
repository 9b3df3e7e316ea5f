// kstd: the SMS gateway daemon. main() reads the configuration, creates the
// queues, loggers, senders and helper threads, serves the remote interface
// until a stop signal and then stops everything in order.
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <getopt.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>

#include <memory>
#include <string>
#include <utility>

#include "emailer.h"
#include "globals.h"
#include "inifile.h"
#include "ior_file.h"
#include "logger.h"
#include "orb_defaults.h"
#include "process.h"
#include "shutdown.h"
#include "sms.h"
#include "sms_processing.h"
#include "sms_send_manager.h"
#include "sms_sender_emi.h"
#include "sms_sender_me.h"
#include "sms_server_impl.h"
#include "version.h"

namespace {

void printHelp() {
    printf("\n%s   (server side daemon)\n\n", longVersion());
    printf("options:\n");
    printf("\t--debug    -d   Kstd will not start as a daemon and print\n");
    printf("\t                many debug messages to terminal.\n");
    printf("\t--version  -V   Print version.\n");
    printf("\t--help     -h   This help :-)\n\n");
}

// Reads one of the three log paths; a missing key is reported to syslog and
// leaves that log on syslog.
std::string readLogPath(IniFile& ini, const char* key) {
    bool found = false;
    std::string path = ini.GetSetting(key, "", &found);
    if (!found) syslog(LOG_ERR, "Missing %s setting in INI file", key);
    return path;
}

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

// Reads the nine hiding flags and hands those that are on ("1") to the
// manager, which passes them to every sender registered afterwards.
void applyHideFlags(IniFile& ini, SmsSendManager& manager) {
    static const struct {
        const char* key;
        void (SmsSendManager::*set)(bool);
    } flags[] = {
        {"Log/AccessLog_HideIp", &SmsSendManager::setAccessLogHideIp},
        {"Log/AccessLog_HideDestinationAddress", &SmsSendManager::setAccessLogHideDestinationAddress},
        {"Log/AccessLog_HideUserData", &SmsSendManager::setAccessLogHideUserData},
        {"Log/AccessLog_HideEmail", &SmsSendManager::setAccessLogHideEmail},
        {"Log/ErrorLog_HideDestinationAddress", &SmsSendManager::setErrorLogHideDestinationAddress},
        {"Log/ErrorLog_HideUserData", &SmsSendManager::setErrorLogHideUserData},
        {"Log/ReceiveLog_HideOriginatingAddress", &SmsSendManager::setReceiveLogHideOriginatingAddress},
        {"Log/ReceiveLog_HideDestinationAddress", &SmsSendManager::setReceiveLogHideDestinationAddress},
        {"Log/ReceiveLog_HideUserData", &SmsSendManager::setReceiveLogHideUserData},
    };
    std::string hidden;
    for (const auto& flag : flags) {
        if (!readHideFlag(ini, flag.key)) continue;
        (manager.*flag.set)(true);
        hidden += std::string(" ") + (flag.key + strlen("Log/"));
    }
    trace("%lu: Hiding:%s\n", threadId(), hidden.empty() ? " nothing" : hidden.c_str());
}

// Ends the start with an error record about a setting.
[[noreturn]] void settingFatal(Logger& errorLog, const std::string& text) {
    fprintf(stderr, "%lu: ERROR: %s\n", threadId(), text.c_str());
    errorLog.write(text, 'i');
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
    const std::string record = std::string("Invalid ") + key + " setting '" + Logger::escape(text) +
                               "' in INI file (" + range + "), " +
                               (inForce.empty() ? "using " + std::to_string(fallback) : inForce);
    fprintf(stderr, "%lu: ERROR: %s\n", threadId(), record.c_str());
    errorLog.write(record, 'e');
    return fallback;
}

// The modem sender of the section "ME", or null without that section. A
// missing device or line speed ends the start.
std::unique_ptr<SmsSenderMe> createModemSender(IniFile& ini, Logger& errorLog, Logger& accessLog, Logger& receiveLog) {
    if (ini.GetSection("ME") == ini.GetSectionEnd()) return nullptr;
    auto required = [&](const char* key) {
        bool found = false;
        std::string value = ini.GetSetting(key, "", &found);
        if (!found) settingFatal(errorLog, std::string("Missing ") + key + " setting in INI file, exiting");
        return value;
    };
    std::string device = required("ME/Device");
    trace("%lu: ME device: %s\n", threadId(), device.c_str());
    std::string baudRate = required("ME/BaudRate");
    trace("%lu: ME baudrate: %s\n", threadId(), baudRate.c_str());
    std::string pin = ini.GetSetting("ME/Pin", "", nullptr);
    if (!pin.empty()) {
        trace("PIN: %s\n", "********");
    } else {
        trace("No PIN in configuration.\n");
    }
    bool receiveAllSms = ini.GetSetting("ME/ReceiveAllSms", "0", nullptr) != "0";
    trace(receiveAllSms ? "Receiving all messages\n" : "Receiving only new messages\n");
    auto sender = std::make_unique<SmsSenderMe>(device.c_str(), baudRate.c_str(), pin, receiveAllSms, &errorLog,
                                                &accessLog, &receiveLog);
    sender->SetName("Sender thread(ME)");
    return sender;
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
        settingFatal(errorLog, "Invalid EMI/Port setting '" + Logger::escape(text) +
                                   "' in INI file (a port number), exiting");
    }
    if (port > 65535) {
        const std::string record = "EMI/Port setting '" + text + "' in INI file is above 65535, using port " +
                                   std::to_string(port % 65536);
        fprintf(stderr, "%lu: ERROR: %s\n", threadId(), record.c_str());
        errorLog.write(record, 'e');
    }
    return static_cast<unsigned short>(port % 65536);
}

// The SMSC sender of the section "EMI", or null without that section. A
// missing address or port ends the start; other bad numbers are recorded
// and replaced by their defaults.
std::unique_ptr<SmsSenderEmi> createSmscSender(IniFile& ini, Logger& errorLog, Logger& accessLog, Logger& receiveLog) {
    if (ini.GetSection("EMI") == ini.GetSectionEnd()) return nullptr;
    std::string address = ini.GetSetting("EMI/Address", "", nullptr);
    if (address.empty()) settingFatal(errorLog, "Missing EMI/Address setting in INI file, exiting");
    unsigned short port = readSmscPort(ini, errorLog);
    std::string laid = ini.GetSetting("EMI/LAID", "", nullptr);
    std::string password = ini.GetSetting("EMI/Password", "", nullptr);
    int windowSize =
        static_cast<int>(readNumberSetting(ini, errorLog, "EMI/WindowSize", 1, 1, 96, "a whole number from 1 to 96"));
    // The library allows at most one submission per second for a throughput
    // of 0 or less: that value is passed on as it was written.
    long throughputGiven = 1;
    readNumberSetting(ini, errorLog, "EMI/Throughput", 1, 1, INT_MAX, "a whole number of submissions per second, 1 or more",
                      "at most 1 submission per second is in force", &throughputGiven);
    const int throughput =
        throughputGiven >= INT_MIN && throughputGiven <= INT_MAX ? static_cast<int>(throughputGiven) : 0;
    std::string originatingAddress = ini.GetSetting("EMI/OriginatingAddress", "", nullptr);
    std::string alertAddress = ini.GetSetting("EMI/AlertAddress", "", nullptr);
    int alertTimeout = static_cast<int>(
        readNumberSetting(ini, errorLog, "EMI/AlertTimeout", 595, 1, INT_MAX, "a whole number of seconds, 1 or more"));
    trace("%lu: EMI: %s:%u, LAID '%s', window %d, throughput %d, originator '%s', alert '%s', "
           "alert timeout %d\n",
           threadId(), address.c_str(), port, laid.c_str(), windowSize, throughput, originatingAddress.c_str(),
           alertAddress.c_str(), alertTimeout);
    auto sender = std::make_unique<SmsSenderEmi>(address.c_str(), port, laid.c_str(), password.c_str(), windowSize,
                                                 throughput, originatingAddress.c_str(), alertAddress.c_str(),
                                                 alertTimeout, &errorLog, &accessLog, &receiveLog);
    sender->SetName("Sender thread(EMI)");
    sender->setRetryRefused(static_cast<int>(
        readNumberSetting(ini, errorLog, "EMI/RetryRefused", 3, 0, 100, "a whole number from 0 to 100")));
    const long reconnectPause = testSeamMilliseconds("KSTD_TEST_RECONNECT_PAUSE_MS");
    if (reconnectPause >= 0) sender->setReconnectPause(reconnectPause);
    return sender;
}

// Writes what the stop drops, the two-line stop record and the stop line to
// syslog. After the senders have ended.
void writeStopRecords(Logger& errorLog, int exitCode) {
    const int queued = g_sendQue ? g_sendQue->size() : 0;
    errorLog.write(std::to_string(queued) + " message(s) still queued, dropped at the stop", 'i');
    std::string stopText = std::string("SMS Service v") + version + " stopped";
    errorLog.put(stopText);
    errorLog.write(exitCode == 0 ? "exit code 0" : "exit code 1", 'i');
    syslog(LOG_INFO, "%s", stopText.c_str());
}

// Activates the servant, writes the IOR file and runs the ORB until the
// shutdown thread stops it. Returns false on the error exit.
bool serve(Logger& errorLog, const SmsServer_impl::Options& servantOptions) {
    try {
        CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(object);

        SmsServer_impl* servant = new SmsServer_impl(servantOptions);
        PortableServer::ObjectId_var id = poa->activate_object(servant);
        SmsServer_var reference = servant->_this();
        CORBA::String_var ior = orb->object_to_string(reference);
        syslog(LOG_INFO, "%s", ior.in());

        std::string error;
        if (!writeIorFile(iorFileName, ior.in(), error)) {
            errorLog.write("Cannot create file with IOR: " + error + "\n", 'i');
            servant->_remove_ref();
            return false;
        }
        servant->_remove_ref();

        PortableServer::POAManager_var manager = poa->the_POAManager();
        manager->activate();

        trace("%lu: Starting ORB\n", threadId());
        orb->run();
    } catch (CORBA::SystemException&) {
        trace("%lu: CORBA system exception\n", threadId());
        return false;
    } catch (...) {
        trace("%lu: Exception\n", threadId());
        return false;
    }
    return true;
}

// Ends the start when the IOR file's name is taken by something the daemon
// may not replace (a link, a FIFO, another user's file): before any thread
// starts, so that nothing runs without its interface.
void refuseForeignIorFile(Logger& errorLog) {
    const std::string problem = iorFilePlaceProblem(iorFileName);
    if (problem.empty()) return;
    const std::string text = "Cannot create file with IOR: " + problem + "; refusing to start";
    fprintf(stderr, "%lu: ERROR: %s\n", threadId(), text.c_str());
    errorLog.write(text, 'i');
    exit(1);
}

// Every idle client holds a descriptor: the soft limit (often 1024) goes up
// to the hard one, so that clients cannot take the last descriptors the logs
// and the senders need.
void raiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        syslog(LOG_WARNING, "Cannot raise the descriptor limit above %lu: %s", static_cast<unsigned long>(before),
               strerror(errno));
        return;
    }
    trace("%lu: Descriptor limit raised from %lu to %lu\n", threadId(), static_cast<unsigned long>(before),
          static_cast<unsigned long>(limit.rlim_cur));
}

// Releases the ORB's threads and connections before the process exits, so
// that none of them still runs while the exit handlers tear the library down.
void destroyOrb() {
    try {
        if (!CORBA::is_nil(orb)) orb->destroy();
    } catch (...) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    g_serverStartTime = time(nullptr);
    // Trace lines are read by people and tests as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    static std::string identity = basename(argv[0]);
    openlog(identity.c_str(), LOG_PID, LOG_DAEMON);

    static const option longOptions[] = {
        {"debug", no_argument, nullptr, 'd'},
        {"version", no_argument, nullptr, 'V'},
        {"help", no_argument, nullptr, 'h'},
        {"copyright", no_argument, nullptr, 'c'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "dVhc", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'd': g_debug = true; break;
            case 'V': printf("\n%s\n\n", longVersion()); return 0;
            case 'h': printHelp(); return 0;
            case 'c': printf("\n%s\n%s\n\n", longVersion(), copyright); return 0;
            case '?': printf("Try --help or -h options to get help\n"); return 0;
            default: break;
        }
    }

    qpthr::QpInit qpInit(0, 0, 0);

    if (!g_debug) {
        printf("Starting daemon...\n");
        if (init_daemon() == -1) {
            syslog(LOG_ERR, "Cannot act as a daemon");
            printf("Failure to start daemon.\n");
            exit(1);
        }
        // Standard output and error are /dev/null from here on.
        setConsoleTrace(false);
        emi_trace(0);
    }
    if (create_pidfile(pidFileName) == -1) {
        syslog(LOG_ERR, "Cannot create pidfile");
        fprintf(stderr, "Cannot create pidfile\n");
        exit(1);
    }
    g_pid = getpid();

    const std::string startText = std::string("Kestrova v") + version + " started";
    syslog(LOG_INFO, "%s", startText.c_str());
    trace("%lu: %s\n", threadId(), startText.c_str());

    raiseDescriptorLimit();
    orb = initOrb(argc, argv, "omniORB4", serverOrbDefaults);
    atexit(cleanup);

    IniFile ini;
    try {
        ini.Open(iniFileName, IniFile::RO);
        ini.ParseFile();
        ini.Close();
    } catch (IniFileException& e) {
        std::string text = "INI file: " + e.toString();
        trace("%s\n", text.c_str());
        syslog(LOG_ERR, "%s", text.c_str());
        exit(1);
    }

    g_sendQue = new SmsQueMemory();

    // The loggers are used by threads that are not joined on the error exit
    // and by the exit handler's signal: they are never destroyed. Static
    // pointers keep them reachable, so leak checkers do not report them.
    static Logger* const errorLogObject = new Logger("ErrorLog", readLogPath(ini, "Log/ErrorLog").c_str());
    Logger& errorLog = *errorLogObject;
    trace("%lu: Error log: %s\n", threadId(), errorLog.fileName());
    errorLog.write(startText, 'i');
    g_errorLog = &errorLog;
    static Logger* const accessLogObject = new Logger("AccessLog", readLogPath(ini, "Log/AccessLog").c_str());
    Logger& accessLog = *accessLogObject;
    trace("%lu: Access log: %s\n", threadId(), accessLog.fileName());
    static Logger* const receiveLogObject =
        new Logger("ReceiveLog", readLogPath(ini, "Log/ReceiveLog").c_str());
    Logger& receiveLog = *receiveLogObject;
    trace("%lu: Receive log: %s\n", threadId(), receiveLog.fileName());

    g_sendManager = new SmsSendManager();
    g_sendManager->SetName("SMS Send Manager");
    const long managerCycle = testSeamMilliseconds("KSTD_TEST_MANAGER_CYCLE_MS");
    if (managerCycle >= 0) g_sendManager->setCycleLength(managerCycle);

    applyHideFlags(ini, *g_sendManager);
    std::unique_ptr<SmsSenderMe> ownedMeSender = createModemSender(ini, errorLog, accessLog, receiveLog);
    std::unique_ptr<SmsSenderEmi> ownedEmiSender = createSmscSender(ini, errorLog, accessLog, receiveLog);
    // The manager owns the senders from their registration on.
    SmsSenderMe* const meSender = ownedMeSender.get();
    SmsSenderEmi* const emiSender = ownedEmiSender.get();

    if (meSender == nullptr && emiSender == nullptr) {
        fprintf(stderr, "ERROR: There are no ME nor EMI section in configuration file, exiting\n");
        errorLog.write("ERROR: There are no ME nor EMI section in configuration file, exiting", 'i');
        exit(1);
    }

    // The order of registration is the order of preference and of the
    // devices in the statistics.
    if (emiSender) g_sendManager->registerSmsSender(std::move(ownedEmiSender));
    if (meSender) g_sendManager->registerSmsSender(std::move(ownedMeSender));

    SmsServer_impl::Options servantOptions;
    servantOptions.maxDestinations = readNumberSetting(ini, errorLog, "Limits/MaxDestinations", 1000, 1, INT_MAX,
                                                       "a whole number, 1 or more");
    servantOptions.maxQueued =
        readNumberSetting(ini, errorLog, "Limits/MaxQueued", 1000000, 1, INT_MAX, "a whole number, 1 or more");
    servantOptions.errorLog = &errorLog;
    servantOptions.hideDestination = readHideFlag(ini, "Log/ErrorLog_HideDestinationAddress");
    servantOptions.hideIp = readHideFlag(ini, "Log/AccessLog_HideIp");
    trace("%lu: Limits: %ld destinations per request, %ld queued messages\n", threadId(),
          servantOptions.maxDestinations, servantOptions.maxQueued);

    std::string executables = ini.GetSetting("SmsProcessing/Executables", "", nullptr);
    g_smsProcessing = new SmsProcessing();
    g_smsProcessing->SetName("SMS processing");
    g_smsProcessing->setExecutables(executables);

    std::string smtpHost = ini.GetSetting("SMTP/ServerHost", "localhost", nullptr);
    std::string smtpPort = ini.GetSetting("SMTP/ServerPort", "25", nullptr);
    std::string smtpFrom = ini.GetSetting("SMTP/From", "kstd@localhost", nullptr);
    std::string smtpSubject = ini.GetSetting("SMTP/Subject", "Zprava byla odeslana", nullptr);
    std::string smtpBody = ini.GetSetting(
        "SMTP/Body", "Vase zprava na %DA% byla odeslana %DATE% v %TIME%.%LF%%LF%%UD%", nullptr);
    g_emailer = new Emailer(smtpHost, smtpPort, smtpFrom, smtpSubject, smtpBody);
    g_emailer->SetName("Emailer thread");

    refuseForeignIorFile(errorLog);

    g_shutdownThread = new Shutdowner();
    g_shutdownThread->SetName("Shutdown thread");

    // From here every thread blocks the stop signals; the signal thread
    // receives them.
    blockStopSignals();
    if (emiSender) {
        trace("%lu: Starting SMS sender thread EMI\n", threadId());
        emiSender->Start();
    }
    if (meSender) {
        trace("%lu: Starting SMS sender thread ME\n", threadId());
        meSender->Start();
    }
    trace("%lu: Starting Sender Manager thread\n", threadId());
    g_sendManager->Start();
    trace("%lu: Starting emailer thread\n", threadId());
    g_emailer->Start();
    trace("%lu: Starting shutdowner thread\n", threadId());
    g_shutdownThread->Start();
    trace("%lu: Starting SMS processing thread\n", threadId());
    g_smsProcessing->Start();

    if (!startSignalThread()) {
        // Without it no stop signal would ever be seen: stop at once.
        asyncSigHandler(SIGTERM);
    }

    if (serve(errorLog, servantOptions)) {
        trace("%lu: kstd is shuting down\n", threadId());
        delete g_sendManager;
        g_sendManager = nullptr;
        joinAllThreads();
        destroyOrb();
        writeStopRecords(errorLog, 0);
        return 0;
    }
    // Without its interface the daemon still runs until a stop signal; the
    // senders are joined as on the normal path, since returning from main()
    // while they run would pull the process's objects from under them.
    joinAllThreads();
    delete g_sendManager;
    g_sendManager = nullptr;
    destroyOrb();
    writeStopRecords(errorLog, 1);
    return 1;
}
