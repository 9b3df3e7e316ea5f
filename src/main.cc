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
#include <vector>

#include "config.h"
#include "emailer.h"
#include "gateway.h"
#include "http/http_server.h"
#include "http/webhooks.h"
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
#include "trace.h"
#include "version.h"

namespace {

// The IOR file this daemon wrote. It lives until the process has ended:
// the exit handler, which takes no arguments, hands it to cleanup().
WrittenIorFile writtenIorFile;

void cleanupAtExit() { cleanup(writtenIorFile); }

void printHelp() {
    printf("\n%s   (server side daemon)\n\n", longVersion());
    printf("options:\n");
    printf("\t--debug    -d   Kstd will not start as a daemon and print\n");
    printf("\t                many debug messages to terminal.\n");
    printf("\t--version  -V   Print version.\n");
    printf("\t--help     -h   This help :-)\n\n");
}

// Writes what the stop drops, the two-line stop record and the stop line to
// syslog. After the senders have ended.
void writeStopRecords(Logger& errorLog, SmsQue& queue, int exitCode) {
    const int queued = queue.size();
    errorLog.write(std::to_string(queued) + " message(s) still queued, dropped at the stop", 'i');
    const std::string stopText = std::string("SMS Service v") + version + " stopped";
    report(&errorLog, 'i', std::vector<std::string>{stopText, exitCode == 0 ? "exit code 0" : "exit code 1"}, nullptr,
           stopText, ConsoleStream::None, SyslogLine::Info);
}

// Activates the servant, writes the IOR file (`written` says which file, for
// the exit handler) and runs the ORB until the shutdown thread stops it.
// Returns false on the error exit.
bool serve(Logger& errorLog, const SmsServer_impl::Parts& servantParts, const SmsServer_impl::Options& servantOptions,
           WrittenIorFile& written) {
    try {
        CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(object);

        SmsServer_impl* servant = new SmsServer_impl(servantParts, servantOptions);
        PortableServer::ObjectId_var id = poa->activate_object(servant);
        SmsServer_var reference = servant->_this();
        CORBA::String_var ior = orb->object_to_string(reference);
        syslog(LOG_INFO, "%s", ior.in());

        std::string error;
        if (!writeIorFile(iorFileName, ior.in(), error, written)) {
            errorLog.write("Cannot create file with IOR: " + error + "\n", 'i');
            servant->_remove_ref();
            return false;
        }
        servant->_remove_ref();

        PortableServer::POAManager_var manager = poa->the_POAManager();
        manager->activate();

        trace("Starting ORB\n");
        orb->run();
    } catch (CORBA::SystemException&) {
        // A stop signal during start-up shuts the ORB down before it runs;
        // that is the orderly stop, not a failure.
        if (g_stopSignal.stopping()) {
            trace("ORB stopped before it ran\n");
            return true;
        }
        trace("CORBA system exception\n");
        return false;
    } catch (...) {
        trace("Exception\n");
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
    report(&errorLog, 'i', text, nullptr, "ERROR: " + text, ConsoleStream::Error);
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
    trace("Descriptor limit raised from %lu to %lu\n", static_cast<unsigned long>(before),
          static_cast<unsigned long>(limit.rlim_cur));
}

// The HTTP interface when [HTTP] asks for it, its socket bound; a socket or
// certificate that cannot be used ends the start before any thread runs.
std::unique_ptr<HttpServer> createHttpServer(const Config& config, Gateway& gateway,
                                             const SmsServer_impl::Options& options) {
    if (!config.http) return nullptr;
    HttpServer::Parts parts;
    parts.queue = &gateway.queue();
    parts.store = gateway.store();
    parts.manager = gateway.manager();
    parts.counters = &gateway.counters();
    parts.registry = &gateway.sentMessages();
    parts.errorLog = &gateway.errorLog();
    parts.serverStartTime = g_serverStartTime;
    try {
        return std::make_unique<HttpServer>(*config.http, options, parts);
    } catch (const HttpServerError& e) {
        const std::string text = std::string(e.what()) + ", exiting";
        report(&gateway.errorLog(), 'i', text, nullptr, "ERROR: " + text, ConsoleStream::Error);
        exit(1);
    }
}

// The dispatcher of the delivery callbacks, with the HTTP interface (which
// needs the store).
std::unique_ptr<WebhookDispatcher> createWebhookDispatcher(const Config& config, Gateway& gateway) {
    if (!config.http || gateway.store() == nullptr) return nullptr;
    WebhookDispatcher::Parts parts;
    parts.store = gateway.store();
    parts.counters = &gateway.counters();
    parts.errorLog = &gateway.errorLog();
    parts.stopSignal = &g_stopSignal;
    return std::make_unique<WebhookDispatcher>(config.http->webhookSecret, parts);
}

// Starts the HTTP server's threads; before the gateway's, so that a failure
// ends the start with nothing else running yet.
void startHttpServer(HttpServer& server, Logger& errorLog) {
    try {
        server.start();
    } catch (const HttpServerError& e) {
        const std::string text = std::string(e.what()) + ", exiting";
        report(&errorLog, 'i', text, nullptr, "ERROR: " + text, ConsoleStream::Error);
        exit(1);
    }
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

    // Every thread, the ORB's included, blocks the stop signals; the signal
    // thread receives them once the parts run, so a stop requested during
    // the start is the orderly stop that follows it.
    blockStopSignals();
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
    // Its record follows once the error log's path has been read.
    report(nullptr, 'i', std::string(), nullptr, startText, ConsoleStream::Trace, SyslogLine::Info);

    raiseDescriptorLimit();
    orb = initOrb(argc, argv, "omniORB4", serverOrbDefaults);
    atexit(cleanupAtExit);

    IniFile ini;
    Config::loadIniFile(ini, iniFileName);
    Config config;

    // The loggers are opened one by one, each right after its path is read,
    // so that the records keep their order.
    auto errorLog =
        std::make_unique<Logger>("ErrorLog", (config.errorLogPath = Config::readLogPath(ini, "Log/ErrorLog")).c_str());
    trace("Error log: %s\n", errorLog->fileName());
    errorLog->write(startText, 'i');
    g_errorLog = errorLog.get();
    auto accessLog = std::make_unique<Logger>(
        "AccessLog", (config.accessLogPath = Config::readLogPath(ini, "Log/AccessLog")).c_str());
    trace("Access log: %s\n", accessLog->fileName());
    auto receiveLog = std::make_unique<Logger>(
        "ReceiveLog", (config.receiveLogPath = Config::readLogPath(ini, "Log/ReceiveLog")).c_str());
    trace("Receive log: %s\n", receiveLog->fileName());
    config.readSettings(ini, *errorLog);

    int exitCode = 0;
    {
        Gateway gateway(config, g_stopSignal, std::move(errorLog), std::move(accessLog), std::move(receiveLog));

        SmsServer_impl::Parts servantParts;
        servantParts.sendQueue = &gateway.queue();
        servantParts.manager = gateway.manager();
        servantParts.counters = &gateway.counters();
        servantParts.serverStartTime = g_serverStartTime;
        SmsServer_impl::Options servantOptions;
        servantOptions.maxDestinations = config.maxDestinations;
        servantOptions.maxQueued = config.maxQueued;
        servantOptions.text = config.text;
        servantOptions.errorLog = &gateway.errorLog();
        servantOptions.hideDestination = config.hide.errorLogDestinationAddress;
        servantOptions.hideIp = config.hide.accessLogIp;

        refuseForeignIorFile(gateway.errorLog());
        std::unique_ptr<HttpServer> httpServer = createHttpServer(config, gateway, servantOptions);
        std::unique_ptr<WebhookDispatcher> webhooks = createWebhookDispatcher(config, gateway);

        if (httpServer) startHttpServer(*httpServer, gateway.errorLog());
        if (webhooks) webhooks->start();
        gateway.start();

        if (!startSignalThread()) {
            // Without it no stop signal would ever be seen: stop at once.
            asyncSigHandler(SIGTERM);
        }

        // Without its interface the daemon still runs until a stop signal
        // (the error exit); either way the parts are joined in the same
        // order, since returning from main() while they run would pull the
        // process's objects from under them.
        if (serve(gateway.errorLog(), servantParts, servantOptions, writtenIorFile)) {
            trace("kstd is shuting down\n");
        } else {
            exitCode = 1;
        }
        // Its requests use the queue, the store and the manager.
        httpServer.reset();
        // It uses the store.
        webhooks.reset();
        gateway.joinThreads();
        destroyOrb();
        writeStopRecords(gateway.errorLog(), gateway.queue(), exitCode);
        // The stop request writes its record under this lock; later ones
        // write none.
        g_sigHandlerMutex.Lock();
        g_errorLog = nullptr;
        g_sigHandlerMutex.Unlock();
    }
    return exitCode;
}
