#include "sms_processing.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "logger.h"
#include "process.h"
#include "store.h"
#include "trace.h"

extern char** environ;

namespace {

const char* orEmpty(const char* text) { return text ? text : ""; }

// A joined message whose store failed is tried again after this pause.
constexpr time_t joinRetrySeconds = 5;

typedef std::vector<std::pair<std::string, std::string>> VariablePairs;

VariablePairs pairsOf(const EnvironmentList& list) {
    VariablePairs variables;
    for (const EnvironmentVariable& variable : list) variables.emplace_back(variable.name(), variable.value());
    return variables;
}

std::string valueOf(const EnvironmentList& list, const char* name) {
    for (const EnvironmentVariable& variable : list) {
        if (strcmp(variable.name(), name) == 0) return variable.value();
    }
    return std::string();
}

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
                                       const std::string& scTime, const std::string& userData,
                                       const std::string& alphabet) {
    const std::string values[9] = {originatingAddress, scAddress, scTime, alphabet, userData, "", "", "", ""};
    EnvironmentList list;
    for (int i = 0; i < 9; ++i) list.emplace_back(smsEnvironmentNames[i], values[i]);
    return list;
}

std::string receivedPartGroup(const std::string& sender, const std::string& originator, unsigned reference,
                              bool sixteenBit, int count) {
    // Fields separated by a NUL byte, which none of them holds.
    std::string group = sender;
    group += '\0';
    group += originator;
    group += '\0';
    group += (sixteenBit ? "16:" : "8:") + std::to_string(reference) + "/" + std::to_string(count);
    return group;
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

void SmsProcessing::setConcatenation(int timeoutSeconds, Logger* receiveLog, bool hideOriginatingAddress) {
    m_concatenationTimeout = timeoutSeconds;
    m_receiveLog = receiveLog;
    m_hideOriginatingAddress = hideOriginatingAddress;
}

void SmsProcessing::enque(const EnvironmentList& list) {
    Received received;
    received.variables = list;
    if (m_store != nullptr) received.storeId = m_store->storeReceived(pairsOf(list), time(nullptr));
    m_queue.push(std::move(received));
}

EnqueOutcome SmsProcessing::enque(const EnvironmentList& list, const ReceivedPart* part) {
    EnqueOutcome outcome;
    if (part == nullptr || part->count < 2 || part->number < 1 || part->number > part->count) {
        enque(list);
        return outcome;
    }
    const time_t now = time(nullptr);
    qpthr::QpLock guard(m_partsMutex);
    auto found = m_parts.find(part->group);
    if (found != m_parts.end() && found->second.parts.count(part->number) != 0) {
        outcome.kind = EnqueOutcome::Duplicate;
        return outcome;
    }
    if (m_store != nullptr) {
        StoredReceivedPart stored;
        stored.group = part->group;
        stored.number = part->number;
        stored.receivedAt = found != m_parts.end() ? found->second.firstAt : now;
        stored.variables = pairsOf(list);
        if (!m_store->storeReceivedPart(stored)) {
            outcome.kind = EnqueOutcome::Duplicate;
            return outcome;
        }
    }
    const bool newGroup = found == m_parts.end();
    PartGroup& group = m_parts[part->group];
    if (newGroup) {
        group.count = part->count;
        group.firstAt = now;
    }
    group.parts[part->number] = list;
    if (static_cast<int>(group.parts.size()) < group.count) {
        outcome.kind = EnqueOutcome::PartKept;
        return outcome;
    }
    const EnvironmentList whole = joined(group);
    // A failure leaves the parts kept (and says so): the processor joins
    // them later.
    if (!replaceParts(part->group, {whole})) {
        outcome.kind = EnqueOutcome::PartKept;
        return outcome;
    }
    outcome.kind = EnqueOutcome::Joined;
    outcome.joinedText = valueOf(whole, "UD");
    outcome.parts = group.count;
    m_parts.erase(part->group);  // `group` with it
    return outcome;
}

EnvironmentList SmsProcessing::joined(const PartGroup& group) {
    EnvironmentList whole = group.parts.begin()->second;
    std::string text;
    for (const auto& part : group.parts) text += valueOf(part.second, "UD");
    for (EnvironmentVariable& variable : whole) {
        if (strcmp(variable.name(), "UD") == 0) variable = EnvironmentVariable("UD", text);
    }
    return whole;
}

bool SmsProcessing::replaceParts(const std::string& group, const std::vector<EnvironmentList>& messages) {
    std::vector<uint64_t> ids(messages.size(), 0);
    if (m_store != nullptr) {
        std::vector<VariablePairs> rows;
        for (const EnvironmentList& message : messages) rows.push_back(pairsOf(message));
        try {
            ids = m_store->replaceReceivedParts(group, rows, time(nullptr));
        } catch (const StoreError& e) {
            const std::string message =
                std::string("Store: cannot keep a joined received message, its parts stay kept: ") + e.what();
            report(m_errorLog, 'e', message, GetName(), message, ConsoleStream::Error);
            return false;
        }
    }
    for (size_t i = 0; i < messages.size(); ++i) m_queue.push(Received{i < ids.size() ? ids[i] : 0, messages[i]});
    return true;
}

void SmsProcessing::resumeParts(const std::vector<StoredReceivedPart>& parts) {
    qpthr::QpLock guard(m_partsMutex);
    for (const StoredReceivedPart& stored : parts) {
        // The count is the group's last field ("8:REF/COUNT").
        const size_t slash = stored.group.rfind('/');
        const int count = slash == std::string::npos ? 0 : atoi(stored.group.c_str() + slash + 1);
        PartGroup& group = m_parts[stored.group];
        group.count = count;
        group.firstAt = group.parts.empty() ? stored.receivedAt : std::min(group.firstAt, stored.receivedAt);
        EnvironmentList variables;
        for (const auto& variable : stored.variables) variables.emplace_back(variable.first, variable.second);
        group.parts[stored.number] = variables;
    }
}

time_t SmsProcessing::settleParts(time_t now) {
    time_t next = 0;
    auto soonest = [&next](time_t at) { next = next == 0 ? at : std::min(next, at); };
    qpthr::QpLock guard(m_partsMutex);
    for (auto entry = m_parts.begin(); entry != m_parts.end();) {
        const PartGroup& group = entry->second;
        const bool complete = static_cast<int>(group.parts.size()) >= group.count;
        const time_t timeout = group.firstAt + m_concatenationTimeout;
        if (!complete && now < timeout) {
            soonest(timeout);
            ++entry;
            continue;
        }
        std::vector<EnvironmentList> messages;
        if (complete) {
            messages.push_back(joined(group));
        } else {
            for (const auto& part : group.parts) messages.push_back(part.second);
        }
        if (!replaceParts(entry->first, messages)) {
            soonest(now + joinRetrySeconds);
            ++entry;
            continue;
        }
        if (!complete && m_receiveLog != nullptr) {
            std::string numbers;
            for (const auto& part : group.parts) {
                numbers += (numbers.empty() ? "" : ", ") + std::to_string(part.first);
            }
            const EnvironmentList& first = group.parts.begin()->second;
            m_receiveLog->write(
                std::vector<std::string>{
                    "Concatenated SMS incomplete",
                    "Originating Address: " +
                        (m_hideOriginatingAddress ? std::string("<hidden>") : Logger::escape(valueOf(first, "OA"))),
                    "Parts received: " + numbers + " of " + std::to_string(group.count),
                    "Handed on: one by one after " + std::to_string(now - group.firstAt) +
                        " s (General/ConcatenationTimeout " + std::to_string(m_concatenationTimeout) + " s)"},
                'i');
        }
        entry = m_parts.erase(entry);
    }
    return next;
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
        const time_t nextTimeout = settleParts(time(nullptr));
        if (m_queue.size() == 0) {
            traceAs(GetName(), "waiting for SMS to process...\n");
            // A part that starts a group after the look above times out
            // no earlier than a time-out from now: the wait ends by then
            // without a wake-up. Whole seconds: at most a second late.
            const time_t now = time(nullptr);
            const time_t until = nextTimeout != 0 ? nextTimeout : now + m_concatenationTimeout;
            const time_t seconds = std::max<time_t>(until - now, 0) + 1;
            m_queue.waitUntil(StopSignal::Clock::now() + std::chrono::seconds(seconds));
            traceAs(GetName(), "woken up\n");
            continue;
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
