// kstmon: CGI program that asks the running kstd for its statistics over
// CORBA and prints them as an HTML page, or as plain text with -t. Whatever
// fails is shown on an error page and in syslog; the exit status is always 0.
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>

#include <iostream>
#include <sstream>
#include <string>

#include "cgi.h"
#include "ior_file.h"
#include "orb_defaults.h"
#include "server_text.h"
#include "sms_server.hh"
#include "version.h"

namespace {

const int g_maxIor = 2048;
char ior[g_maxIor];
const char* const iorFileName = KST_IOR_FILE;
const char* const status[] = {"disconnected", "connected", "used for sending"};

void printHelp() {
    printf("\n%s   (statistics CGI)\n\n", longVersion());
    printf("usage: kstmon [options]\n");
    printf("options:\n");
    printf("\t--text     -t   force text output instead of HTML\n");
    printf("\t--version  -V   Print version.\n");
    printf("\t--help     -h   This help :-)\n\n");
}

// Sends one line about the IOR file to syslog and to `out`.
void reportIorProblem(FILE* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void reportIorProblem(FILE* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* line = nullptr;
    int length = vasprintf(&line, format, args);
    va_end(args);
    if (length < 0) {
        syslog(LOG_ERR, "Cannot format a message about the IOR file");
        return;
    }
    syslog(LOG_ERR, "%s", line);
    fputs(line, out);
    fflush(out);
    free(line);
}

// Reads the IOR text from `fileName` into `ior`; the file must be one the
// daemon can have written (see readTrustedIorFile). Problems are reported to
// syslog and to `out`: an HTML page must not get them ahead of its header.
int ReadIorFromFile(const char* fileName, FILE* out) {
    const IorFileRead file = readTrustedIorFile(fileName, g_maxIor - 1);
    switch (file.status) {
        case IorFileRead::Ok: break;
        case IorFileRead::CannotOpen:
            reportIorProblem(out, "Nelze otevrit soubor s IOR '%s': %s\n", fileName, file.error.c_str());
            return -1;
        case IorFileRead::Untrusted:
            reportIorProblem(out, "Nelze pouzit soubor s IOR '%s': %s\n", fileName, file.error.c_str());
            return -1;
        case IorFileRead::CannotRead:
            ior[0] = '\0';
            reportIorProblem(out, "Nelze precist soubor s IOR '%s': %s\n", fileName, file.error.c_str());
            return -1;
    }
    memcpy(ior, file.ior.data(), file.ior.size());
    ior[file.ior.size()] = '\0';
    return 0;
}

void FinishPage() {
    printf("</body></html>\n");
    cgi_end();
}

std::string htmlEscape(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        switch (*p) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += *p;
        }
    }
    return out;
}

// The name of a device status; the daemon sends only 0, 1 and 2.
std::string statusName(CORBA::Long value) {
    if (value >= 0 && value <= 2) return status[value];
    return "unknown (" + std::to_string(value) + ")";
}

// "%d.%m.%Y %T" in local time.
void formatTime(CORBA::Long seconds, char* buff, size_t size) {
    time_t t = seconds;
    struct tm ts;
    if (!localtime_r(&t, &ts) || strftime(buff, size, "%d.%m.%Y %T", &ts) == 0) {
        snprintf(buff, size, "%ld", static_cast<long>(seconds));
    }
}

// `more`: the devices after the first two, when there are more.
void printStatsPage(bool htmlOutput, const SmsServer::Stats& stats, const SmsServer::SenderStates& more,
                    const char* serverVersion) {
    // The server's texts: escaped for the page, and for a terminal too.
    auto text = [htmlOutput](const char* value) {
        return htmlOutput ? htmlEscape(value) : escapeControlCharacters(value);
    };
    if (htmlOutput) {
        cgi_init_headers();
        printf("<html>\n");
        printf("  <head>\n");
        printf("    <title>Kestrova: statistiky</title>\n");
        printf("    <meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1250\">\n");
        printf("  </head>\n");
        printf("<body>\n");
        printf("<center><img src=\"/kst/img/statistika_pripojeni.gif\"></center><br/>\n");
        printf("<pre>\n");
    }
    printf("Server version:         %s\n", text(serverVersion).c_str());
    printf("Statistics CGI version: %s\n\n", version);

    char buff[64];
    formatTime(stats.serverStartTime, buff, sizeof buff);
    printf("Cas startu serveru:         %s\n", buff);
    formatTime(stats.serverCurrentTime, buff, sizeof buff);
    printf("Aktualni cas na serveru:    %s\n\n", buff);

    printf("Velikost odesilaci fronty:  %d\n", static_cast<int>(stats.smsQueLength));
    printf("Pocet odeslanych SMS:       %d\n", static_cast<int>(stats.smsSent));
    printf("Pocet prijatych SMS:        %d\n", static_cast<int>(stats.smsReceived));
    printf("Pocet odeslanych potvrzeni: %d\n", static_cast<int>(stats.confirmationSent));
    printf("\n");
    printf("Pocet odesilacich zarizeni: %d\n", static_cast<int>(stats.numberOfSenders));
    printf("Zarizeni 1: %s: %s\n", text(stats.deviceName1.in()).c_str(), statusName(stats.deviceStatus1).c_str());
    if (stats.numberOfSenders > 1) {
        printf("Zarizeni 2: %s: %s\n", text(stats.deviceName2.in()).c_str(), statusName(stats.deviceStatus2).c_str());
    }
    for (CORBA::ULong i = 2; i < more.length(); ++i) {
        printf("Zarizeni %u: %s: %s\n", static_cast<unsigned>(i + 1), text(more[i].name.in()).c_str(),
               statusName(more[i].status).c_str());
    }
    if (htmlOutput) {
        printf("</pre>\n");
        printf("</body>\n</html>\n");
        cgi_end();
    }
}

void printErrorPage(bool htmlOutput, int retval, const std::string& body) {
    syslog(LOG_ERR, "Print error page");
    if (htmlOutput) {
        cgi_init_headers();
        printf("<html><head><title>Error</title></head><body><pre>\n");
    }
    std::cout << "Problems occured while Proccesing request. Error code: " << retval << std::endl;
    std::cout << (htmlOutput ? htmlEscape(body.c_str()) : body) << std::endl;
    if (htmlOutput) {
        std::cout << "</pre>" << std::endl;
        FinishPage();
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool htmlOutput = true;

    static const option longOptions[] = {
        {"text", no_argument, nullptr, 't'},
        {"version", no_argument, nullptr, 'V'},
        {"help", no_argument, nullptr, 'h'},
        {"copyright", no_argument, nullptr, 'c'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "tVhc", longOptions, nullptr)) != -1) {
        switch (option) {
            case 't': htmlOutput = false; break;
            case 'V': printf("\n%s\n\n", longVersion()); return 0;
            case 'h': printHelp(); return 0;
            case 'c': printf("\n%s\n%s\n\n", longVersion(), copyright); return 0;
            case '?': printf("Try --help or -h options to get help\n"); return 0;
            default: break;
        }
    }

    const char* slash = strrchr(argv[0], '/');
    openlog(slash ? slash + 1 : argv[0], LOG_PID, LOG_DAEMON);

    if (htmlOutput) {
        cgi_init();
        cgi_process_form();
    }

    int retval = 1;
    std::ostringstream body;
    SmsServer::Stats_var stats;
    SmsServer::SenderStates_var senders = new SmsServer::SenderStates;
    CORBA::String_var serverVersion;
    CORBA::ORB_var orb;
    try {
        orb = initOrb(argc, argv, "", clientOrbDefaults);
        if (ReadIorFromFile(iorFileName, htmlOutput ? stderr : stdout) != 0) {
            syslog(LOG_ERR, "Cannot read IOR from file");
            body << "It seems that KST server is not running." << std::endl;
            throw 1;
        }
        CORBA::Object_var object = orb->string_to_object(ior);
        SmsServer_var server = SmsServer::_narrow(object);
        if (CORBA::is_nil(server)) {
            body << "Can t narrow reference to type SmsServer (or it was nil)." << std::endl;
        }
        server->KeepAlive();
        server->getStats(stats.out());
        if (stats->numberOfSenders > 2) senders = server->getSenders();
        serverVersion = server->version();

        syslog(LOG_INFO, "All work is done, destroing ORB");
        orb->destroy();
        orb = CORBA::ORB::_nil();
        retval = 0;
    } catch (CORBA::COMM_FAILURE&) {
        syslog(LOG_ERR, "Caught system exception COMM_FAILURE -- unable to contact the SMS server.");
        body << "Caught system exception COMM_FAILURE -- unable to contact the SMS server.\n";
    } catch (CORBA::SystemException& ex) {
        if (CORBA::TIMEOUT::_downcast(&ex) != nullptr) {
            syslog(LOG_ERR, "The SMS server did not answer within the call time-out");
            body << "The SMS server did not answer within the call time-out (" << clientCallTimeoutSeconds
                 << " s by default).\n";
        }
        syslog(LOG_ERR, "Caught a CORBA::SystemException");
        body << "Caught a CORBA::SystemException:\n";
        body << "Completion status: " << static_cast<int>(ex.completed()) << "\n";
    } catch (CORBA::Exception&) {
        syslog(LOG_ERR, "Caught CORBA::Exception.");
        body << "Caught CORBA::Exception." << std::endl;
    } catch (omniORB::fatalException& fe) {
        syslog(LOG_ERR, "Caught omniORB::fatalException");
        body << "Caught omniORB::fatalException:" << std::endl;
        body << " file: " << fe.file() << std::endl;
        body << " line: " << fe.line() << std::endl;
        body << " mesg: " << fe.errmsg() << std::endl;
    } catch (int) {
    } catch (...) {
        syslog(LOG_ERR, "Caught unknown exception");
        body << "Caught unknown exception." << std::endl;
    }

    // A failed run still releases the ORB's threads and connections.
    if (!CORBA::is_nil(orb)) {
        try {
            orb->destroy();
        } catch (...) {
        }
    }

    if (retval != 0) {
        printErrorPage(htmlOutput, retval, body.str());
    } else {
        printStatsPage(htmlOutput, stats.in(), senders.in(), serverVersion.in());
    }
    closelog();
    return 0;
}
