// kstd: the SMS gateway daemon. main() reads the configuration, creates the
// queues, loggers, senders and helper threads, serves the remote interface
// until a stop signal and then stops everything in order.
#include <getopt.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>

#include <string>

#include "globals.h"
#include "inifile.h"
#include "logger.h"
#include "process.h"
#include "version.h"

CORBA::ORB_var orb;

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

// Writes the two-line stop record and the stop line to syslog.
void writeStopRecords(Logger& errorLog, int exitCode) {
    std::string stopText = std::string("SMS Service v") + version + " stopped";
    errorLog.put(stopText);
    errorLog.write(exitCode == 0 ? "exit code 0" : "exit code 1", 'i');
    syslog(LOG_INFO, "%s", stopText.c_str());
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
    }
    if (create_pidfile(pidFileName) == -1) {
        syslog(LOG_ERR, "Cannot create pidfile");
        fprintf(stderr, "Cannot create pidfile\n");
        exit(1);
    }
    g_pid = getpid();

    const std::string startText = std::string("Kestrova v") + version + " started";
    syslog(LOG_INFO, "%s", startText.c_str());
    printf("%lu: %s\n", threadId(), startText.c_str());

    orb = CORBA::ORB_init(argc, argv, "omniORB4");

    IniFile ini;
    try {
        ini.Open(iniFileName, IniFile::RO);
        ini.ParseFile();
        ini.Close();
    } catch (IniFileException& e) {
        std::string text = "INI file: " + e.toString();
        printf("%s\n", text.c_str());
        syslog(LOG_ERR, "%s", text.c_str());
        exit(1);
    }

    // The loggers are used by threads that are not joined on the error exit,
    // so they live until the process ends.
    static Logger errorLog("ErrorLog", readLogPath(ini, "Log/ErrorLog").c_str());
    printf("%lu: Error log: %s\n", threadId(), errorLog.fileName());
    errorLog.write(startText, 'i');
    g_errorLog = &errorLog;
    static Logger accessLog("AccessLog", readLogPath(ini, "Log/AccessLog").c_str());
    printf("%lu: Access log: %s\n", threadId(), accessLog.fileName());
    static Logger receiveLog("ReceiveLog", readLogPath(ini, "Log/ReceiveLog").c_str());
    printf("%lu: Receive log: %s\n", threadId(), receiveLog.fileName());

    const char* const hideFlagKeys[] = {
        "Log/AccessLog_HideIp",
        "Log/AccessLog_HideDestinationAddress",
        "Log/AccessLog_HideUserData",
        "Log/AccessLog_HideEmail",
        "Log/ErrorLog_HideDestinationAddress",
        "Log/ErrorLog_HideUserData",
        "Log/ReceiveLog_HideOriginatingAddress",
        "Log/ReceiveLog_HideDestinationAddress",
        "Log/ReceiveLog_HideUserData",
    };
    bool hideFlags[9];
    std::string hidden;
    for (int i = 0; i < 9; ++i) {
        hideFlags[i] = readHideFlag(ini, hideFlagKeys[i]);
        if (hideFlags[i]) hidden += std::string(" ") + (hideFlagKeys[i] + strlen("Log/"));
    }
    printf("%lu: Hiding:%s\n", threadId(), hidden.empty() ? " nothing" : hidden.c_str());

    bool haveMe = false;
    if (ini.GetSection("ME") != ini.GetSectionEnd()) {
        bool found = false;
        std::string device = ini.GetSetting("ME/Device", "", &found);
        if (!found) {
            fprintf(stderr, "%lu: ERROR: Missing ME/Device setting in INI file, exiting\n", threadId());
            errorLog.write("Missing ME/Device setting in INI file, exiting", 'i');
            exit(1);
        }
        printf("%lu: ME device: %s\n", threadId(), device.c_str());
        std::string baudRate = ini.GetSetting("ME/BaudRate", "", &found);
        if (!found) {
            fprintf(stderr, "%lu: ERROR: Missing ME/BaudRate setting in INI file, exiting\n", threadId());
            errorLog.write("Missing ME/BaudRate setting in INI file, exiting", 'i');
            exit(1);
        }
        printf("%lu: ME baudrate: %s\n", threadId(), baudRate.c_str());
        std::string pin = ini.GetSetting("ME/Pin", "", nullptr);
        if (!pin.empty()) {
            printf("PIN: %s\n", pin.c_str());
        } else {
            printf("No PIN in configuration.\n");
        }
        bool receiveAllSms = ini.GetSetting("ME/ReceiveAllSms", "0", nullptr) != "0";
        printf(receiveAllSms ? "Receiving all messages\n" : "Receiving only new messages\n");
        haveMe = true;
    }

    bool haveEmi = false;
    if (ini.GetSection("EMI") != ini.GetSectionEnd()) {
        std::string address = ini.GetSetting("EMI/Address", "", nullptr);
        unsigned short port = static_cast<unsigned short>(atoi(ini.GetSetting("EMI/Port", "", nullptr).c_str()));
        std::string laid = ini.GetSetting("EMI/LAID", "", nullptr);
        std::string password = ini.GetSetting("EMI/Password", "", nullptr);
        int windowSize = atoi(ini.GetSetting("EMI/WindowSize", "", nullptr).c_str());
        int throughput = atoi(ini.GetSetting("EMI/Throughput", "1", nullptr).c_str());
        std::string originatingAddress = ini.GetSetting("EMI/OriginatingAddress", "", nullptr);
        std::string alertAddress = ini.GetSetting("EMI/AlertAddress", "", nullptr);
        int alertTimeout = atoi(ini.GetSetting("EMI/AlertTimeout", "595", nullptr).c_str());
        printf("%lu: EMI: %s:%u, LAID '%s', window %d, throughput %d, originator '%s', alert '%s', "
               "alert timeout %d\n",
               threadId(), address.c_str(), port, laid.c_str(), windowSize, throughput,
               originatingAddress.c_str(), alertAddress.c_str(), alertTimeout);
        haveEmi = true;
    }

    if (!haveMe && !haveEmi) {
        fprintf(stderr, "ERROR: There are no ME nor EMI section in configuration file, exiting\n");
        errorLog.write("ERROR: There are no ME nor EMI section in configuration file, exiting", 'i');
        exit(1);
    }

    std::string executables = ini.GetSetting("SmsProcessing/Executables", "", nullptr);
    std::string smtpHost = ini.GetSetting("SMTP/ServerHost", "localhost", nullptr);
    std::string smtpPort = ini.GetSetting("SMTP/ServerPort", "25", nullptr);
    std::string smtpFrom = ini.GetSetting("SMTP/From", "kstd@localhost", nullptr);
    std::string smtpSubject = ini.GetSetting("SMTP/Subject", "Zprava byla odeslana", nullptr);
    std::string smtpBody = ini.GetSetting(
        "SMTP/Body", "Vase zprava na %DA% byla odeslana %DATE% v %TIME%.%LF%%LF%%UD%", nullptr);
    printf("%lu: SMS processing executables: '%s'\n", threadId(), executables.c_str());
    printf("%lu: SMTP: %s:%s from '%s'\n", threadId(), smtpHost.c_str(), smtpPort.c_str(), smtpFrom.c_str());

    writeStopRecords(errorLog, 0);
    return 0;
}
