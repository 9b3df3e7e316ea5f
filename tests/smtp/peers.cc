#include "peers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace smtptest {

namespace {

std::vector<std::string> pythonEnvironment() {
    return {std::string("PYTHONPATH=") + SMTP_TEST_SOURCE_DIR, "PYTHONDONTWRITEBYTECODE=1"};
}

bool canConnect(unsigned short port) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(sock);
    return connected;
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

unsigned short freePort() {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (sock >= 0) close(sock);
        throw std::runtime_error("cannot find a free loopback port");
    }
    close(sock);
    return ntohs(address.sin_port);
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(extraEnvironment.begin(), extraEnvironment.end(),
                                          [&](const std::string& extra) { return extra.rfind(name + "=", 0) == 0; });
        if (!replaced) environment.push_back(text);
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const std::string& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
    env.push_back(nullptr);

    const int rc = posix_spawn(&m_pid, args[0], nullptr, nullptr, args.data(), env.data());
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Process::~Process() {
    if (m_exited) return;
    kill(m_pid, SIGTERM);
    if (!waitExit(std::chrono::seconds(5))) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

bool Process::running() {
    if (m_exited) return false;
    int status;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) m_exited = true;
    return !m_exited;
}

bool Process::waitExit(std::chrono::milliseconds limit) {
    return waitFor([this] { return !running(); }, limit);
}

MailServer::MailServer(const std::string& refusePrefix, const std::string& deferPrefix, int deferTimes)
    : m_workDir(SMTP_TEST_WORK_DIR, "work-mailserver-"), m_dir(m_workDir.path()) {
    // The port is free when chosen but may be taken before the server binds
    // it: try again with another one.
    for (int attempt = 0; attempt < 3 && m_process == nullptr; ++attempt) {
        m_port = freePort();
        std::vector<std::string> argv = {
            SMTP_TEST_PYTHON,  "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(m_port), "-c",
            "capture.Capture", m_dir};
        if (!refusePrefix.empty() || !deferPrefix.empty()) argv.push_back(refusePrefix);
        if (!deferPrefix.empty()) {
            argv.push_back(deferPrefix);
            argv.push_back(std::to_string(deferTimes));
        }
        auto* process = new Process(argv, pythonEnvironment());
        const bool ready = waitFor([&] { return !process->running() || canConnect(m_port); }, std::chrono::seconds(20));
        if (ready && process->running()) {
            m_process = process;
        } else {
            delete process;
        }
    }
    if (m_process == nullptr) throw std::runtime_error("aiosmtpd did not start");
}

MailServer::~MailServer() { delete m_process; }

std::vector<MailServer::Mail> MailServer::mails() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(m_dir.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("mail-", 0) == 0 && name.find('.') == std::string::npos) names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<Mail> result;
    for (const std::string& name : names) {
        const std::string base = m_dir + "/" + name + "/";
        result.push_back(Mail{readFile(base + "from"), readLines(base + "rcpt"), readFile(base + "content")});
    }
    return result;
}

bool MailServer::waitForMails(size_t count, std::chrono::milliseconds limit) const {
    return waitFor([&] { return mails().size() >= count; }, limit);
}

std::vector<std::string> MailServer::rcptLog() const { return readLines(m_dir + "/rcpt.log"); }

ScriptedPeer::ScriptedPeer(const std::vector<std::string>& scripts, int connections, double lingerSeconds)
    : m_workDir(SMTP_TEST_WORK_DIR, "work-smtppeer-"), m_dir(m_workDir.path()) {
    std::vector<std::string> argv = {SMTP_TEST_PYTHON, SMTP_TEST_PEER,
                                     "--port-file",    m_dir + "/port",
                                     "--record",       m_dir + "/record",
                                     "--connections",  std::to_string(connections),
                                     "--linger",       std::to_string(lingerSeconds),
                                     "--timeout",      "120"};
    for (size_t i = 0; i < scripts.size(); ++i) {
        const std::string path = m_dir + "/script" + std::to_string(i + 1);
        writeFile(path, scripts[i]);
        argv.push_back("--script");
        argv.push_back(path);
    }
    m_process = new Process(argv, pythonEnvironment());
    const std::string portFile = m_dir + "/port";
    if (!waitFor([&] { return access(portFile.c_str(), F_OK) == 0 || !m_process->running(); },
                 std::chrono::seconds(20)) ||
        access(portFile.c_str(), F_OK) != 0) {
        delete m_process;
        m_process = nullptr;
        throw std::runtime_error("smtppeer did not start");
    }
    m_port = static_cast<unsigned short>(std::stoi(readFile(portFile)));
}

ScriptedPeer::~ScriptedPeer() { delete m_process; }

std::vector<std::string> ScriptedPeer::record() const { return readLines(m_dir + "/record"); }

std::vector<std::string> ScriptedPeer::received(int connection) const {
    const std::string prefix = "C" + std::to_string(connection) + " < ";
    std::vector<std::string> lines;
    for (const std::string& line : record()) {
        if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    }
    return lines;
}

bool ScriptedPeer::waitEnd(std::chrono::milliseconds limit) { return m_process->waitExit(limit); }

}  // namespace smtptest
