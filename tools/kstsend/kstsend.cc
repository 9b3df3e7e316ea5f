// kstsend: queues a message in a running kstd, or prints its statistics.
//
//   kstsend [-i IORFILE] [-m MAILTO] [-f] [-r REMOTEADDR] NUMBERS [TEXT]
//   kstsend [-i IORFILE] --stats
//
// NUMBERS is a comma-separated list; without TEXT the text is read from
// standard input. Exit status: 0 when the daemon queued messages, 1 when it
// could not be reached, 2 for a usage error, 3 when it refused the request or
// queued nothing (numbers it refused are in its error log).
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>

#include <iostream>
#include <sstream>
#include <string>

#include "ior_file.h"
#include "orb_defaults.h"
#include "server_text.h"
#include "sms_server.hh"

namespace {

const char* const defaultIorFile = KST_IOR_FILE;

void usage(FILE* out) {
    fprintf(out,
            "usage: kstsend [-i IORFILE] [-m MAILTO] [-f] [-r REMOTEADDR] NUMBERS [TEXT]\n"
            "       kstsend [-i IORFILE] --stats\n"
            "  -i, --ior FILE       the daemon's IOR file (default %s)\n"
            "  -m, --mail-to ADDR   e-mail a confirmation to ADDR when the message is delivered\n"
            "  -f, --flash          ask the phone to show the message at once\n"
            "  -r, --remote ADDR    the address of the user the message is sent for (default 127.0.0.1)\n"
            "  -s, --stats          print the daemon's statistics\n"
            "  -h, --help           this help\n"
            "NUMBERS is a comma-separated list; without TEXT the text is read from standard input.\n",
            defaultIorFile);
}

// The longest IOR file read; the daemon's reference is well under 1 kB.
const size_t maxIorLength = 64 * 1024;

bool readIor(const std::string& path, std::string& ior) {
    const IorFileRead file = readTrustedIorFile(path.c_str(), maxIorLength);
    switch (file.status) {
        case IorFileRead::Ok: break;
        case IorFileRead::CannotOpen:
            fprintf(stderr, "kstsend: cannot read the IOR file '%s': %s (is kstd running?)\n", path.c_str(),
                    file.error.c_str());
            return false;
        case IorFileRead::Untrusted:
            fprintf(stderr, "kstsend: the IOR file '%s' is not used: %s\n", path.c_str(), file.error.c_str());
            return false;
        case IorFileRead::CannotRead:
            fprintf(stderr, "kstsend: cannot read the IOR file '%s': %s\n", path.c_str(), file.error.c_str());
            return false;
    }
    ior = file.ior;
    while (!ior.empty() && (ior.back() == '\n' || ior.back() == '\r' || ior.back() == ' ')) ior.pop_back();
    if (ior.compare(0, 4, "IOR:") != 0) {
        fprintf(stderr, "kstsend: the IOR file '%s' holds no object reference\n", path.c_str());
        return false;
    }
    return true;
}

void printStats(SmsServer_ptr server) {
    SmsServer::Stats_var stats;
    server->getStats(stats.out());
    CORBA::String_var version = server->version();
    auto when = [](CORBA::Long seconds) {
        time_t t = seconds;
        struct tm local;
        localtime_r(&t, &local);
        char text[64];
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        return std::string(text);
    };
    printf("server version:     %s\n", escapeControlCharacters(version.in()).c_str());
    printf("started:            %s\n", when(stats->serverStartTime).c_str());
    printf("server time:        %s\n", when(stats->serverCurrentTime).c_str());
    printf("queued:             %d\n", static_cast<int>(stats->smsQueLength));
    printf("sent:               %d\n", static_cast<int>(stats->smsSent));
    printf("received:           %d\n", static_cast<int>(stats->smsReceived));
    printf("confirmations sent: %d\n", static_cast<int>(stats->confirmationSent));
    printf("senders:            %d\n", static_cast<int>(stats->numberOfSenders));
    static const char* const states[] = {"disconnected", "connected", "used for sending"};
    auto state = [](CORBA::Long status) {
        return status >= 0 && status <= 2 ? std::string(states[status]) : "unknown (" + std::to_string(status) + ")";
    };
    printf("device 1:           %s: %s\n", escapeControlCharacters(stats->deviceName1.in()).c_str(),
           state(stats->deviceStatus1).c_str());
    if (stats->numberOfSenders > 1) {
        printf("device 2:           %s: %s\n", escapeControlCharacters(stats->deviceName2.in()).c_str(),
               state(stats->deviceStatus2).c_str());
    }
    // The statistics name two devices; the others come from the list.
    if (stats->numberOfSenders > 2) {
        SmsServer::SenderStates_var senders = server->getSenders();
        for (CORBA::ULong i = 2; i < senders->length(); ++i) {
            printf("device %u:           %s: %s\n", static_cast<unsigned>(i + 1),
                   escapeControlCharacters(senders[i].name.in()).c_str(), state(senders[i].status).c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string iorFile = defaultIorFile;
    std::string mailTo;
    std::string remoteAddr = "127.0.0.1";
    bool onDisplay = false;
    bool stats = false;

    static const option longOptions[] = {
        {"ior", required_argument, nullptr, 'i'},
        {"mail-to", required_argument, nullptr, 'm'},
        {"flash", no_argument, nullptr, 'f'},
        {"remote", required_argument, nullptr, 'r'},
        {"stats", no_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "i:m:fr:sh", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'i': iorFile = optarg; break;
            case 'm': mailTo = optarg; break;
            case 'f': onDisplay = true; break;
            case 'r': remoteAddr = optarg; break;
            case 's': stats = true; break;
            case 'h': usage(stdout); return 0;
            default: usage(stderr); return 2;
        }
    }

    std::string numbers;
    std::string text;
    if (!stats) {
        if (optind >= argc || argc - optind > 2) {
            usage(stderr);
            return 2;
        }
        numbers = argv[optind];
        if (argc - optind == 2) {
            text = argv[optind + 1];
        } else {
            std::ostringstream input;
            input << std::cin.rdbuf();
            text = input.str();
            // The line end that closes what was typed is not part of the message.
            if (!text.empty() && text.back() == '\n') text.pop_back();
        }
        if (text.find('\0') != std::string::npos) {
            fprintf(stderr, "kstsend: the text contains a NUL byte\n");
            return 2;
        }
    }

    std::string ior;
    if (!readIor(iorFile, ior)) return 1;

    // The ORB reads only its own options; ours are already consumed.
    int orbArgc = 1;
    CORBA::ORB_var orb = initOrb(orbArgc, argv, "omniORB4", clientOrbDefaults);
    int status = 0;
    try {
        CORBA::Object_var object = orb->string_to_object(ior.c_str());
        SmsServer_var server = SmsServer::_narrow(object);
        if (CORBA::is_nil(server)) {
            fprintf(stderr, "kstsend: the IOR file '%s' does not refer to an SMS server\n", iorFile.c_str());
            status = 1;
        } else if (stats) {
            printStats(server);
        } else {
            const CORBA::Long queued =
                server->SendSms(numbers.c_str(), text.c_str(), remoteAddr.c_str(), onDisplay, mailTo.c_str());
            if (queued > 0) {
                printf("queued %d message%s for %s\n", static_cast<int>(queued), queued == 1 ? "" : "s",
                       numbers.c_str());
            } else {
                fprintf(stderr, "kstsend: nothing was queued: no valid number in '%s'\n", numbers.c_str());
                status = 3;
            }
        }
    } catch (const CORBA::IMP_LIMIT& e) {
        if (e.minor() == 2) {
            fprintf(stderr, "kstsend: refused: the text needs more messages than kstd sends; nothing was queued\n");
        } else {
            fprintf(stderr, "kstsend: refused: too many numbers in one request; nothing was queued\n");
        }
        status = 3;
    } catch (const CORBA::NO_RESOURCES&) {
        fprintf(stderr, "kstsend: refused: the daemon's send queue is full; nothing was queued\n");
        status = 3;
    } catch (const CORBA::PERSIST_STORE&) {
        fprintf(stderr, "kstsend: kstd could not store the messages (disk full or I/O error); nothing was queued\n");
        status = 1;
    } catch (const CORBA::TIMEOUT&) {
        fprintf(stderr, "kstsend: kstd did not answer within the call time-out (%d s by default)\n",
                clientCallTimeoutSeconds);
        status = 1;
    } catch (const CORBA::TRANSIENT&) {
        fprintf(stderr, "kstsend: cannot reach kstd (is it running?)\n");
        status = 1;
    } catch (const CORBA::COMM_FAILURE&) {
        fprintf(stderr, "kstsend: the connection to kstd failed\n");
        status = 1;
    } catch (const CORBA::SystemException& e) {
        fprintf(stderr, "kstsend: CORBA error %s (minor %lu)\n", e._name(), static_cast<unsigned long>(e.minor()));
        status = 1;
    } catch (const CORBA::Exception& e) {
        fprintf(stderr, "kstsend: CORBA error %s\n", e._name());
        status = 1;
    }
    orb->destroy();
    return status;
}
