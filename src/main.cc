// kstd: the SMS gateway daemon. main() reads the configuration, creates the
// queues, loggers, senders and helper threads, serves the remote interface
// until a stop signal and then stops everything in order.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>

#include <string>

#include "emailer.h"
#include "globals.h"
#include "inifile.h"
#include "logger.h"
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

// The modem sender of the section "ME", or null without that section. A
// missing device or line speed ends the start.
SmsSenderMe* createModemSender(IniFile& ini, Logger& errorLog, Logger& accessLog, Logger& receiveLog) {
    if (ini.GetSection("ME") == ini.GetSectionEnd()) return nullptr;
    auto required = [&](const char* key) {
        bool found = false;
        std::string value = ini.GetSetting(key, "", &found);
        if (!found) {
            const std::string text = std::string("Missing ") + key + " setting in INI file, exiting";
            fprintf(stderr, "%lu: ERROR: %s\n", threadId(), text.c_str());
            errorLog.write(text, 'i');
            exit(1);
        }
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
    SmsSenderMe* sender =
        new SmsSenderMe(device.c_str(), baudRate.c_str(), pin, receiveAllSms, &errorLog, &accessLog, &receiveLog);
    sender->SetName("Sender thread(ME)");
    return sender;
}

// The SMSC sender of the section "EMI", or null without that section.
SmsSenderEmi* createSmscSender(IniFile& ini, Logger& errorLog, Logger& accessLog, Logger& receiveLog) {
    if (ini.GetSection("EMI") == ini.GetSectionEnd()) return nullptr;
    std::string address = ini.GetSetting("EMI/Address", "", nullptr);
    unsigned short port = static_cast<unsigned short>(atoi(ini.GetSetting("EMI/Port", "", nullptr).c_str()));
    std::string laid = ini.GetSetting("EMI/LAID", "", nullptr);
    std::string password = ini.GetSetting("EMI/Password", "", nullptr);
    int windowSize = atoi(ini.GetSetting("EMI/WindowSize", "", nullptr).c_str());
    int throughput = atoi(ini.GetSetting("EMI/Throughput", "1", nullptr).c_str());
    std::string originatingAddress = ini.GetSetting("EMI/OriginatingAddress", "", nullptr);
    std::string alertAddress = ini.GetSetting("EMI/AlertAddress", "", nullptr);
    int alertTimeout = atoi(ini.GetSetting("EMI/AlertTimeout", "595", nullptr).c_str());
    trace("%lu: EMI: %s:%u, LAID '%s', window %d, throughput %d, originator '%s', alert '%s', "
           "alert timeout %d\n",
           threadId(), address.c_str(), port, laid.c_str(), windowSize, throughput, originatingAddress.c_str(),
           alertAddress.c_str(), alertTimeout);
    SmsSenderEmi* sender = new SmsSenderEmi(address.c_str(), port, laid.c_str(), password.c_str(), windowSize,
                                            throughput, originatingAddress.c_str(), alertAddress.c_str(),
                                            alertTimeout, &errorLog, &accessLog, &receiveLog);
    sender->SetName("Sender thread(EMI)");
    const long reconnectPause = testSeamMilliseconds("KSTD_TEST_RECONNECT_PAUSE_MS");
    if (reconnectPause >= 0) sender->setReconnectPause(reconnectPause);
    return sender;
}

// Writes the two-line stop record and the stop line to syslog.
void writeStopRecords(Logger& errorLog, int exitCode) {
    std::string stopText = std::string("SMS Service v") + version + " stopped";
    errorLog.put(stopText);
    errorLog.write(exitCode == 0 ? "exit code 0" : "exit code 1", 'i');
    syslog(LOG_INFO, "%s", stopText.c_str());
}

// Activates the servant, writes the IOR file and runs the ORB until the
// shutdown thread stops it. Returns false on the error exit.
bool serve(Logger& errorLog) {
    try {
        CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(object);

        SmsServer_impl* servant = new SmsServer_impl();
        PortableServer::ObjectId_var id = poa->activate_object(servant);
        SmsServer_var reference = servant->_this();
        CORBA::String_var ior = orb->object_to_string(reference);
        syslog(LOG_INFO, "%s", ior.in());

        int fd = open(iorFileName, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
            char message[512];
            snprintf(message, sizeof message, "Cannot create file with IOR: %s\n", strerror(errno));
            errorLog.write(message, 'i');
            servant->_remove_ref();
            return false;
        }
        // One write, so that a reader never sees half a reference.
        const size_t length = strlen(ior.in());
        const ssize_t written = ::write(fd, ior.in(), length);
        const int writeError = errno;
        close(fd);
        if (written != static_cast<ssize_t>(length)) {
            char message[512];
            snprintf(message, sizeof message, "Cannot create file with IOR: %s\n",
                     written < 0 ? strerror(writeError) : "short write");
            errorLog.write(message, 'i');
            unlink(iorFileName);
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

    orb = CORBA::ORB_init(argc, argv, "omniORB4");
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
    SmsSenderMe* meSender = createModemSender(ini, errorLog, accessLog, receiveLog);
    SmsSenderEmi* emiSender = createSmscSender(ini, errorLog, accessLog, receiveLog);

    if (meSender == nullptr && emiSender == nullptr) {
        fprintf(stderr, "ERROR: There are no ME nor EMI section in configuration file, exiting\n");
        errorLog.write("ERROR: There are no ME nor EMI section in configuration file, exiting", 'i');
        exit(1);
    }

    // The order of registration is the order of preference and of the
    // devices in the statistics.
    if (emiSender) g_sendManager->registerSmsSender(emiSender);
    if (meSender) g_sendManager->registerSmsSender(meSender);

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

    if (serve(errorLog)) {
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
