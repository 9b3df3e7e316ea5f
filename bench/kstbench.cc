// kstbench: the client side of the benchmarks, and a servant that does
// nothing (the ORB's own cost of a call).
//
//   kstbench null-server IORFILE
//       serves SmsServer with empty operations and writes its reference to
//       IORFILE; runs until SIGTERM or SIGINT.
//   kstbench rate IORFILE THREADS SECONDS
//       SendSms as fast as THREADS threads can call it for SECONDS seconds.
//   kstbench send IORFILE [--count N] [--threads T] [--rate R] [--length L]
//                [--prefix P] [--numbers K] [--times FILE]
//                [--mail-every N [--refuse-every M]]
//       N calls (by T threads, or paced at R calls per second in total),
//       each with the text P followed by the call's number, padded to L
//       characters, to K destinations; --times writes one line per call:
//       the call's number and the wall-clock times of its start and its
//       return in nanoseconds (0 for a failed call). Every Nth call asks
//       for a confirmation e-mail to "ok<call>@bench.test", every Mth of
//       those to "refuse<call>@bench.test" instead.
//   kstbench stats IORFILE COUNT
//       COUNT getStats round trips; prints their median, 99th percentile
//       and maximum and the last statistics.
//
// Every result is one line of key=value pairs on standard output.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sms_server.hh"

namespace {

long long wallNanoseconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool readIor(const char* path, std::string& ior) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fprintf(stderr, "kstbench: cannot read the IOR file '%s': %s\n", path, strerror(errno));
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    ior = content.str();
    while (!ior.empty() && (ior.back() == '\n' || ior.back() == ' ')) ior.pop_back();
    return ior.compare(0, 4, "IOR:") == 0;
}

class NullServer : public POA_SmsServer {
public:
    void KeepAlive() override {}
    CORBA::Long SendSms(const char*, const char*, const char*, CORBA::Boolean, const char*) override { return 0; }
    char* version() override { return CORBA::string_dup("null"); }
    CORBA::Long getStats(SmsServer::Stats_out stats_out) override {
        SmsServer::Stats* stats = new SmsServer::Stats;
        stats->serverStartTime = stats->serverCurrentTime = 0;
        stats->smsQueLength = stats->smsSent = stats->smsReceived = stats->confirmationSent = 0;
        stats->numberOfSenders = 0;
        stats->deviceName1 = CORBA::string_dup("");
        stats->deviceName2 = CORBA::string_dup("");
        stats->deviceStatus1 = stats->deviceStatus2 = -1;
        stats_out = stats;
        return 0;
    }
    SmsServer::SenderStates* getSenders() override { return new SmsServer::SenderStates; }
};

CORBA::ORB_var g_orb;

// Stops the ORB from a thread of its own: shutdown() must not run in a
// signal handler.
void waitForStopSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    int signal = 0;
    sigwait(&set, &signal);
    g_orb->shutdown(false);
}

int nullServer(int argc, char** argv, const char* iorFile) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    g_orb = CORBA::ORB_init(argc, argv);
    CORBA::Object_var object = g_orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(object);
    NullServer* servant = new NullServer();
    PortableServer::ObjectId_var id = poa->activate_object(servant);
    SmsServer_var reference = servant->_this();
    CORBA::String_var ior = g_orb->object_to_string(reference);
    servant->_remove_ref();
    std::string temporary = std::string(iorFile) + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << ior.in();
        if (!out) {
            fprintf(stderr, "kstbench: cannot write '%s'\n", temporary.c_str());
            return 1;
        }
    }
    if (rename(temporary.c_str(), iorFile) != 0) {
        perror("kstbench: rename");
        return 1;
    }
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    std::thread stopper(waitForStopSignal);
    g_orb->run();
    stopper.join();
    g_orb->destroy();
    unlink(iorFile);
    return 0;
}

SmsServer_ptr connect(CORBA::ORB_ptr orb, const char* iorFile) {
    std::string ior;
    if (!readIor(iorFile, ior)) {
        fprintf(stderr, "kstbench: no object reference in '%s'\n", iorFile);
        exit(1);
    }
    CORBA::Object_var object = orb->string_to_object(ior.c_str());
    SmsServer_ptr server = SmsServer::_narrow(object);
    if (CORBA::is_nil(server)) {
        fprintf(stderr, "kstbench: '%s' does not refer to an SMS server\n", iorFile);
        exit(1);
    }
    return server;
}

int rate(CORBA::ORB_ptr orb, const char* iorFile, int threads, double seconds) {
    SmsServer_var server = connect(orb, iorFile);
    server->KeepAlive();  // the connection is made before the clock starts
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::atomic<long> failures{0};
    std::vector<std::thread> workers;
    const double start = monotonicSeconds();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const std::string number = "7770" + std::to_string(10000 + t);
            long mine = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                try {
                    server->SendSms(number.c_str(), "Benchmark message", "127.0.0.1", false, "");
                    ++mine;
                } catch (const CORBA::Exception&) {
                    ++failures;
                }
            }
            calls += mine;
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread& worker : workers) worker.join();
    const double elapsed = monotonicSeconds() - start;
    printf("threads=%d calls=%ld failures=%ld seconds=%.3f rate=%.0f\n", threads, calls.load(), failures.load(),
           elapsed, calls.load() / elapsed);
    return failures.load() == 0 ? 0 : 1;
}

struct SendOptions {
    long count = 1000;
    int threads = 1;
    double rate = 0;  // calls per second in total; 0 = as fast as possible
    size_t length = 0;
    std::string prefix = "m";
    int numbers = 1;
    std::string timesFile;
    long mailEvery = 0;    // every Nth call asks for a confirmation e-mail
    long refuseEvery = 0;  // every Mth of those to an address beginning with "refuse"
};

std::string textOf(const SendOptions& options, long index) {
    char digits[32];
    snprintf(digits, sizeof digits, "%08ld", index);
    std::string text = options.prefix + digits;
    if (text.size() < options.length) text.append(options.length - text.size(), 'x');
    return text;
}

std::string numbersOf(const SendOptions& options, long index) {
    std::string numbers;
    for (int k = 0; k < options.numbers; ++k) {
        if (k) numbers += ',';
        numbers += std::to_string(700000000L + (index * options.numbers + k) % 100000000L);
    }
    return numbers;
}

int send(CORBA::ORB_ptr orb, const char* iorFile, const SendOptions& options) {
    SmsServer_var server = connect(orb, iorFile);
    server->KeepAlive();
    std::vector<long long> called(static_cast<size_t>(options.count), 0);
    std::vector<long long> returned(static_cast<size_t>(options.count), 0);
    std::atomic<long> next{0};
    std::atomic<long> failures{0};
    const long long firstCall = wallNanoseconds();
    const double start = monotonicSeconds();
    std::vector<std::thread> workers;
    for (int t = 0; t < options.threads; ++t) {
        workers.emplace_back([&] {
            for (;;) {
                const long index = next++;
                if (index >= options.count) return;
                if (options.rate > 0) {
                    // Paced from the start, so a slow call does not shift the
                    // later ones.
                    const double due = start + index / options.rate;
                    const double wait = due - monotonicSeconds();
                    if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
                }
                const std::string text = textOf(options, index);
                const std::string numbers = numbersOf(options, index);
                std::string mailTo;
                if (options.mailEvery > 0 && index % options.mailEvery == 0) {
                    const long nth = index / options.mailEvery;
                    const bool refuse = options.refuseEvery > 0 && (nth + 1) % options.refuseEvery == 0;
                    mailTo = (refuse ? "refuse" : "ok") + std::to_string(index) + "@bench.test";
                }
                try {
                    called[static_cast<size_t>(index)] = wallNanoseconds();
                    server->SendSms(numbers.c_str(), text.c_str(), "127.0.0.1", false, mailTo.c_str());
                    returned[static_cast<size_t>(index)] = wallNanoseconds();
                } catch (const CORBA::Exception& e) {
                    ++failures;
                    fprintf(stderr, "kstbench: SendSms %ld failed: %s\n", index, e._name());
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    const double elapsed = monotonicSeconds() - start;
    if (!options.timesFile.empty()) {
        FILE* out = fopen(options.timesFile.c_str(), "w");
        if (!out) {
            perror("kstbench: times file");
            return 1;
        }
        for (size_t i = 0; i < returned.size(); ++i) fprintf(out, "%zu %lld %lld\n", i, called[i], returned[i]);
        fclose(out);
    }
    printf("calls=%ld failures=%ld seconds=%.3f rate=%.0f first_call_ns=%lld\n", options.count, failures.load(),
           elapsed, options.count / elapsed, firstCall);
    return failures.load() == 0 ? 0 : 1;
}

int stats(CORBA::ORB_ptr orb, const char* iorFile, int count) {
    SmsServer_var server = connect(orb, iorFile);
    server->KeepAlive();
    std::vector<double> times;
    SmsServer::Stats_var stats;
    for (int i = 0; i < count; ++i) {
        const double start = monotonicSeconds();
        server->getStats(stats.out());
        times.push_back((monotonicSeconds() - start) * 1000.0);
    }
    std::sort(times.begin(), times.end());
    auto at = [&](double q) { return times[std::min(times.size() - 1, static_cast<size_t>(q * times.size()))]; };
    printf(
        "calls=%d p50_ms=%.3f p99_ms=%.3f max_ms=%.3f queue=%d sent=%d received=%d confirmations=%d "
        "status1=%d\n",
        count, at(0.5), at(0.99), times.back(), static_cast<int>(stats->smsQueLength), static_cast<int>(stats->smsSent),
        static_cast<int>(stats->smsReceived), static_cast<int>(stats->confirmationSent),
        static_cast<int>(stats->deviceStatus1));
    return 0;
}

int usage() {
    fprintf(stderr,
            "usage: kstbench null-server IORFILE\n"
            "       kstbench rate IORFILE THREADS SECONDS\n"
            "       kstbench send IORFILE [--count N] [--threads T] [--rate R] [--length L] [--prefix P]\n"
            "                             [--numbers K] [--times FILE] [--mail-every N [--refuse-every M]]\n"
            "       kstbench stats IORFILE COUNT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string mode = argv[1];
    const char* iorFile = argv[2];
    if (mode == "null-server") {
        int orbArgc = 1;
        return nullServer(orbArgc, argv, iorFile);
    }
    int orbArgc = 1;
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, argv);
    int status = 2;
    try {
        if (mode == "rate" && argc == 5) {
            status = rate(orb, iorFile, atoi(argv[3]), atof(argv[4]));
        } else if (mode == "stats" && argc == 4) {
            status = stats(orb, iorFile, atoi(argv[3]));
        } else if (mode == "send") {
            SendOptions options;
            for (int i = 3; i + 1 < argc; i += 2) {
                const std::string name = argv[i];
                const char* value = argv[i + 1];
                if (name == "--count")
                    options.count = atol(value);
                else if (name == "--threads")
                    options.threads = std::max(1, atoi(value));
                else if (name == "--rate")
                    options.rate = atof(value);
                else if (name == "--length")
                    options.length = static_cast<size_t>(atol(value));
                else if (name == "--prefix")
                    options.prefix = value;
                else if (name == "--numbers")
                    options.numbers = std::max(1, atoi(value));
                else if (name == "--times")
                    options.timesFile = value;
                else if (name == "--mail-every")
                    options.mailEvery = atol(value);
                else if (name == "--refuse-every")
                    options.refuseEvery = atol(value);
                else
                    return usage();
            }
            if ((argc - 3) % 2 != 0) return usage();
            status = send(orb, iorFile, options);
        } else {
            status = usage();
        }
    } catch (const CORBA::Exception& e) {
        fprintf(stderr, "kstbench: CORBA error %s\n", e._name());
        status = 1;
    }
    orb->destroy();
    return status;
}
