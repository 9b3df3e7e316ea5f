#include "sms_processing.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "logger.h"
#include "process.h"
#include "store.h"
#include "trace.h"

extern char** environ;

namespace {

const char* orEmpty(const char* text) { return text ? text : ""; }

// The daemon's environment with the message's variables set, each replacing
// an inherited one of the same name. The daemon's own environment is never
// changed: other threads read it at any time.
std::vector<std::string> commandEnvironment(const EnvironmentList& list) {
    std::vector<std::string> names;
    for (const EnvironmentVariable& variable : list) {
        const std::string name = variable.name();
        if (name.empty() || name.find('=') != std::string::npos) {
            traceErrorAs("SMS processing", "invalid variable name '%s' left out\n", name.c_str());
            continue;
        }
        names.push_back(name);
    }
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    auto isMessageVariable = [&](const std::string& name) {
        for (const std::string& candidate : names) {
            if (candidate == name) return true;
        }
        return false;
    };

    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (!isMessageVariable(nameOf(text))) environment.push_back(text);
    }
    for (const EnvironmentVariable& variable : list) {
        const std::string name = variable.name();
        if (!isMessageVariable(name)) continue;
        const std::string text = name + "=" + variable.value();
        bool replaced = false;
        for (std::string& existing : environment) {
            if (nameOf(existing) == name) {
                existing = text;
                replaced = true;
                break;
            }
        }
        if (!replaced) environment.push_back(text);
    }
    return environment;
}

// Runs `command` through the shell and waits for it; its status is of no
// interest, only a failure to start it is reported.
void runCommand(const std::string& command, const std::vector<std::string>& environment) {
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    char shell[] = "sh";
    char option[] = "-c";
    // The daemon's umask (027) keeps its logs private; what the commands
    // write gets the usual 022. Same line, so the shell's messages keep
    // their line numbers.
    std::string script = "umask 022; " + command;
    char* argv[] = {shell, option, const_cast<char*>(script.c_str()), nullptr};

    // The command starts with no blocked signals and default signal
    // actions, whatever this thread has arranged for itself.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv, envp.data());
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        traceErrorAs("SMS processing", "cannot run /bin/sh for (%s): %s\n", command.c_str(), strerror(rc));
        return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno == EINTR) continue;
        // ECHILD: SIGCHLD is ignored and the child has been reaped already.
        if (errno != ECHILD) {
            traceErrorAs("SMS processing", "waiting for (%s) failed: %s\n", command.c_str(), strerror(errno));
        }
        break;
    }
}

}  // namespace

EnvironmentVariable::EnvironmentVariable(const char* name, const char* value)
    : m_name(orEmpty(name)), m_value(orEmpty(value)) {}

EnvironmentVariable::EnvironmentVariable(const std::string& name, const std::string& value)
    : m_name(name), m_value(value) {}

const char* const smsEnvironmentNames[9] = {"OA",          "SCADDRESS", "SCTIME", "ALPHABET", "UD",
                                            "MWI_ENABLED", "MWI",       "CLASS",  "UDHI"};

EnvironmentList receivedSmsEnvironment(const std::string& originatingAddress, const std::string& scAddress,
                                       const std::string& scTime, const std::string& userData) {
    const std::string values[9] = {originatingAddress, scAddress, scTime, "7bit", userData, "", "", "", ""};
    EnvironmentList list;
    for (int i = 0; i < 9; ++i) list.emplace_back(smsEnvironmentNames[i], values[i]);
    return list;
}

SmsProcessing::SmsProcessing(StopSignal& stopSignal)
    : qpthr::QpThread(0, 0, nullptr, 0), m_stopSignal(stopSignal), m_queue(stopSignal) {}

SmsProcessing::~SmsProcessing() { Join(); }

void SmsProcessing::setExecutables(const std::string& text) {
    trace("Setting executables for SMS processing\n");
    std::string::size_type position = 0;
    for (;;) {
        const std::string::size_type comma = text.find(',', position);
        const std::string command =
            text.substr(position, comma == std::string::npos ? std::string::npos : comma - position);
        m_executables.push_back(command);
        trace("Executable: %s\n", command.c_str());
        if (comma == std::string::npos) break;
        position = comma + 1;
    }
}

void SmsProcessing::setStore(Store* store, Logger* errorLog) {
    m_store = store;
    m_errorLog = errorLog;
}

void SmsProcessing::enque(const EnvironmentList& list) {
    Received received;
    received.variables = list;
    if (m_store != nullptr) {
        std::vector<std::pair<std::string, std::string>> variables;
        for (const EnvironmentVariable& variable : list) variables.emplace_back(variable.name(), variable.value());
        received.storeId = m_store->storeReceived(variables, time(nullptr));
    }
    m_queue.push(std::move(received));
}

void SmsProcessing::resume(uint64_t storeId, const EnvironmentList& list) { m_queue.push(Received{storeId, list}); }

int SmsProcessing::size() { return static_cast<int>(m_queue.size()); }

void SmsProcessing::wakeUp() { m_queue.wakeUp(); }

EnvironmentList SmsProcessing::get() {
    Received received;
    m_queue.tryPop(received);
    return received.variables;
}

void SmsProcessing::process(const EnvironmentList& list) {
    trace("SMS Processing(pid:%d): processSms()\n", static_cast<int>(getpid()));
    for (const std::string& command : m_executables) {
        tracePlain("Processig SMS         (%s)\n", command.c_str());
        // Built per command: the environment of the next one is the daemon's
        // as it is then.
        runCommand(command, commandEnvironment(list));
        tracePlain("Processig SMS is done (%s).\n", command.c_str());
    }
}

void SmsProcessing::Main() {
    while (!m_stopSignal.stopping()) {
        if (m_queue.size() == 0) {
            traceAs(GetName(), "waiting for SMS to process...\n");
            m_queue.wait();
            traceAs(GetName(), "woken up\n");
        }
        if (m_stopSignal.stopping()) break;
        traceAs(GetName(), "que size: %d\n", size());
        Received received;
        if (!m_queue.tryPop(received)) continue;
        process(received.variables);
        if (m_store == nullptr || received.storeId == 0) continue;
        try {
            m_store->markReceivedProcessed(received.storeId, time(nullptr));
        } catch (const StoreError& e) {
            // Still waiting in the store: a restart runs the commands again.
            const std::string message = std::string("Store: cannot record a processed received message: ") + e.what();
            report(m_errorLog, 'e', message, GetName(), message, ConsoleStream::Error);
        }
    }
}
