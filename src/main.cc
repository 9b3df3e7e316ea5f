// kstd: the SMS gateway daemon. main() reads the configuration, creates the
// queues, loggers, senders and helper threads, serves the remote interface
// until a stop signal and then stops everything in order.
#include <errno.h>
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

#include "config.h"
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

// Hands the hiding flags that are on to the manager, which passes them to
// every sender registered afterwards.
void applyHideSettings(const HideSettings& hide, SmsSendManager& manager) {
    if (hide.accessLogIp) manager.setAccessLogHideIp(true);
    if (hide.accessLogDestinationAddress) manager.setAccessLogHideDestinationAddress(true);
    if (hide.accessLogUserData) manager.setAccessLogHideUserData(true);
    if (hide.accessLogEmail) manager.setAccessLogHideEmail(true);
    if (hide.errorLogDestinationAddress) manager.setErrorLogHideDestinationAddress(true);
    if (hide.errorLogUserData) manager.setErrorLogHideUserData(true);
    if (hide.receiveLogOriginatingAddress) manager.setReceiveLogHideOriginatingAddress(true);
    if (hide.receiveLogDestinationAddress) manager.setReceiveLogHideDestinationAddress(true);
    if (hide.receiveLogUserData) manager.setReceiveLogHideUserData(true);
}

std::unique_ptr<SmsSenderMe> createModemSender(const ModemSettings& modem, Logger& errorLog, Logger& accessLog,
                                               Logger& receiveLog) {
    auto sender = std::make_unique<SmsSenderMe>(modem.device.c_str(), modem.baudRate.c_str(), modem.pin,
                                                modem.receiveAllSms, &errorLog, &accessLog, &receiveLog);
    sender->SetName("Sender thread(ME)");
    return sender;
}

std::unique_ptr<SmsSenderEmi> createSmscSender(const SmscSettings& smsc, Logger& errorLog, Logger& accessLog,
                                               Logger& receiveLog) {
    auto sender = std::make_unique<SmsSenderEmi>(
        smsc.address.c_str(), smsc.port, smsc.laid.c_str(), smsc.password.c_str(), smsc.windowSize, smsc.throughput,
        smsc.originatingAddress.c_str(), smsc.alertAddress.c_str(), smsc.alertTimeout, &errorLog, &accessLog,
        &receiveLog);
    sender->SetName("Sender thread(EMI)");
    sender->setRetryRefused(smsc.retryRefused);
    if (smsc.reconnectPauseMs >= 0) sender->setReconnectPause(smsc.reconnectPauseMs);
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
    Config::loadIniFile(ini, iniFileName);
    Config config;

    g_sendQue = new SmsQueMemory();

    // The loggers are used by threads that are not joined on the error exit
    // and by the exit handler's signal: they are never destroyed. Static
    // pointers keep them reachable, so leak checkers do not report them.
    static Logger* const errorLogObject = new Logger("ErrorLog", (config.errorLogPath = Config::readLogPath(ini, "Log/ErrorLog")).c_str());
    Logger& errorLog = *errorLogObject;
    trace("%lu: Error log: %s\n", threadId(), errorLog.fileName());
    errorLog.write(startText, 'i');
    g_errorLog = &errorLog;
    static Logger* const accessLogObject = new Logger("AccessLog", (config.accessLogPath = Config::readLogPath(ini, "Log/AccessLog")).c_str());
    Logger& accessLog = *accessLogObject;
    trace("%lu: Access log: %s\n", threadId(), accessLog.fileName());
    static Logger* const receiveLogObject =
        new Logger("ReceiveLog", (config.receiveLogPath = Config::readLogPath(ini, "Log/ReceiveLog")).c_str());
    Logger& receiveLog = *receiveLogObject;
    trace("%lu: Receive log: %s\n", threadId(), receiveLog.fileName());

    g_sendManager = new SmsSendManager();
    g_sendManager->SetName("SMS Send Manager");
    config.readSettings(ini, errorLog);
    if (config.managerCycleMs >= 0) g_sendManager->setCycleLength(config.managerCycleMs);
    applyHideSettings(config.hide, *g_sendManager);

    std::unique_ptr<SmsSenderMe> ownedMeSender =
        config.modem ? createModemSender(*config.modem, errorLog, accessLog, receiveLog) : nullptr;
    std::unique_ptr<SmsSenderEmi> ownedEmiSender =
        config.smsc ? createSmscSender(*config.smsc, errorLog, accessLog, receiveLog) : nullptr;
    // The manager owns the senders from their registration on.
    SmsSenderMe* const meSender = ownedMeSender.get();
    SmsSenderEmi* const emiSender = ownedEmiSender.get();

    // The order of registration is the order of preference and of the
    // devices in the statistics.
    if (emiSender) g_sendManager->registerSmsSender(std::move(ownedEmiSender));
    if (meSender) g_sendManager->registerSmsSender(std::move(ownedMeSender));

    SmsServer_impl::Options servantOptions;
    servantOptions.maxDestinations = config.maxDestinations;
    servantOptions.maxQueued = config.maxQueued;
    servantOptions.errorLog = &errorLog;
    servantOptions.hideDestination = config.hide.errorLogDestinationAddress;
    servantOptions.hideIp = config.hide.accessLogIp;

    g_smsProcessing = new SmsProcessing();
    g_smsProcessing->SetName("SMS processing");
    g_smsProcessing->setExecutables(config.executables);

    g_emailer = new Emailer(config.smtpHost, config.smtpPort, config.smtpFrom, config.smtpSubject, config.smtpBody);
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
