// Test peer for kstmon: serves the SmsServer interface with statistics given
// on the command line, so that the page can be checked with values the real
// daemon never sends (odd device names and states, a start time of 0, a
// failing call). Writes its IOR to the file given with --ior, prints "ready"
// and serves until SIGTERM or SIGINT.
//
//   kstmon_fake_server --ior PATH [--version TEXT] [--start N] [--current N]
//       [--queue N] [--sent N] [--received N] [--confirmations N]
//       [--senders N] [--name1 TEXT] [--status1 N] [--name2 TEXT]
//       [--status2 N] [--fail-getstats EXCEPTION:COMPLETION]
//
// With --senders 3 the sender list (getSenders) names a third device,
// "Sender thread(SMPP)", connected.
//
// --fail-getstats makes getStats raise the system exception COMM_FAILURE or
// NO_RESOURCES with the completion status 0, 1 or 2.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>

#include "sms_server.hh"
#include "version.h"

namespace {

struct Settings {
    std::string version = ::version;  // the daemon's unless --version is given
    long start = 0, current = 0, queue = 0, sent = 0, received = 0, confirmations = 0;
    long senders = 1, status1 = 1, status2 = -1;
    std::string name1 = "Sender thread(EMI)", name2 = "no device";
    std::string failException;  // empty: getStats answers
    int failCompletion = 0;
};

class FakeServer : public POA_SmsServer {
public:
    explicit FakeServer(const Settings& settings) : m_settings(settings) {}

    void KeepAlive() override {}

    CORBA::Long SendSms(const char*, const char*, const char*, CORBA::Boolean, const char*) override { return 1; }

    char* version() override { return CORBA::string_dup(m_settings.version.c_str()); }

    // The two devices of the statistics, and a third when there are more.
    SmsServer::SenderStates* getSenders() override {
        SmsServer::SenderStates* states = new SmsServer::SenderStates;
        const CORBA::ULong count = static_cast<CORBA::ULong>(std::max(0, std::min<int>(m_settings.senders, 3)));
        states->length(count);
        const std::string names[3] = {m_settings.name1, m_settings.name2, "Sender thread(SMPP)"};
        const CORBA::Long statuses[3] = {static_cast<CORBA::Long>(m_settings.status1),
                                         static_cast<CORBA::Long>(m_settings.status2), 1};
        for (CORBA::ULong i = 0; i < count; ++i) {
            (*states)[i].name = CORBA::string_dup(names[i].c_str());
            (*states)[i].status = statuses[i];
        }
        return states;
    }

    CORBA::Long getStats(SmsServer::Stats_out statsOut) override {
        auto completion = static_cast<CORBA::CompletionStatus>(m_settings.failCompletion);
        if (m_settings.failException == "COMM_FAILURE") throw CORBA::COMM_FAILURE(0, completion);
        if (m_settings.failException == "NO_RESOURCES") throw CORBA::NO_RESOURCES(0, completion);
        SmsServer::Stats* s = new SmsServer::Stats;
        s->serverStartTime = m_settings.start;
        s->serverCurrentTime = m_settings.current;
        s->smsQueLength = m_settings.queue;
        s->smsSent = m_settings.sent;
        s->smsReceived = m_settings.received;
        s->confirmationSent = m_settings.confirmations;
        s->numberOfSenders = m_settings.senders;
        s->deviceName1 = CORBA::string_dup(m_settings.name1.c_str());
        s->deviceStatus1 = m_settings.status1;
        s->deviceName2 = CORBA::string_dup(m_settings.name2.c_str());
        s->deviceStatus2 = m_settings.status2;
        statsOut = s;
        return 0;
    }

private:
    Settings m_settings;
};

[[noreturn]] void usage(const char* why) {
    fprintf(stderr, "kstmon_fake_server: %s\n", why);
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    // Stop signals are taken by one thread with sigwait; every other thread,
    // the ORB's included, inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "");

    Settings settings;
    std::string iorPath;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (i + 1 >= argc) usage(("missing value of " + option).c_str());
        std::string value = argv[++i];
        auto number = [&] { return strtol(value.c_str(), nullptr, 10); };
        if (option == "--ior")
            iorPath = value;
        else if (option == "--version")
            settings.version = value;
        else if (option == "--start")
            settings.start = number();
        else if (option == "--current")
            settings.current = number();
        else if (option == "--queue")
            settings.queue = number();
        else if (option == "--sent")
            settings.sent = number();
        else if (option == "--received")
            settings.received = number();
        else if (option == "--confirmations")
            settings.confirmations = number();
        else if (option == "--senders")
            settings.senders = number();
        else if (option == "--name1")
            settings.name1 = value;
        else if (option == "--status1")
            settings.status1 = number();
        else if (option == "--name2")
            settings.name2 = value;
        else if (option == "--status2")
            settings.status2 = number();
        else if (option == "--fail-getstats") {
            size_t colon = value.find(':');
            if (colon == std::string::npos) usage("--fail-getstats needs EXCEPTION:COMPLETION");
            settings.failException = value.substr(0, colon);
            settings.failCompletion = atoi(value.c_str() + colon + 1);
            if (settings.failException != "COMM_FAILURE" && settings.failException != "NO_RESOURCES") {
                usage(("unknown exception " + settings.failException).c_str());
            }
            if (settings.failCompletion < 0 || settings.failCompletion > 2) usage("completion must be 0, 1 or 2");
        } else
            usage(("unknown option " + option).c_str());
    }
    if (iorPath.empty()) usage("--ior is required");

    CORBA::Object_var poaObject = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(poaObject);
    FakeServer* servant = new FakeServer(settings);
    PortableServer::ObjectId_var id = poa->activate_object(servant);
    servant->_remove_ref();
    CORBA::Object_var reference = poa->id_to_reference(id);
    CORBA::String_var text = orb->object_to_string(reference);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();

    // Written beside the target and renamed, so a reader never sees half.
    std::string temporary = iorPath + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text.in();
        if (!out.flush()) usage(("cannot write " + temporary).c_str());
    }
    if (rename(temporary.c_str(), iorPath.c_str()) != 0) usage(("cannot rename to " + iorPath).c_str());

    std::thread stopper([&orb, &stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        orb->shutdown(false);
    });
    printf("ready\n");
    fflush(stdout);
    try {
        orb->run();
    } catch (CORBA::BAD_INV_ORDER&) {
        // The stop signal came before run(): the ORB is already shut down.
    }
    stopper.join();
    orb->destroy();
    return 0;
}
