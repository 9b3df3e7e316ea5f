// Process utilities: the PID file and its lock between real processes, the
// daemon start in a forked child, the file wrapper and the transliteration.
#include "process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "sandbox.h"

namespace {

using sandbox::ChildResult;
using sandbox::ScratchDir;

std::string pidLine(pid_t pid) { return std::to_string(pid) + "\n"; }

int fileMode(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

bool matches(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

// create_pidfile in a child with the daemon's umask, which must not narrow
// the PID file's mode.
ChildResult createPidfileInChild(const ScratchDir& dir, const std::string& path) {
    return sandbox::runChild(dir, [&]() {
        umask(027);
        return create_pidfile(path.c_str()) == 0 ? 0 : 1;
    });
}

TEST(PidFile, FreshFileHoldsThePid) {
    ScratchDir dir;
    const std::string path = dir.file("kstd.pid");
    ChildResult child = createPidfileInChild(dir, path);
    ASSERT_TRUE(child.exitedWith(0)) << child.err;
    EXPECT_EQ(sandbox::readFile(path), pidLine(child.pid));
    EXPECT_EQ(fileMode(path), 0644);
    EXPECT_EQ(child.err, "");
    EXPECT_TRUE(matches(child.out, "^\\d+: Trying to open pidfile '" + path +
                                       "'\n"
                                       "\\d+: Pid file is opened for writing, trying to lock them\n"
                                       "\\d+: Pid file is locked\n$"))
        << child.out;
}

TEST(PidFile, StaleFileIsOverwrittenWhole) {
    ScratchDir dir;
    const std::string path = dir.file("kstd.pid");
    sandbox::writeFile(path, "99999999999999\nleftover\n");
    chmod(path.c_str(), 0600);
    ChildResult child = createPidfileInChild(dir, path);
    ASSERT_TRUE(child.exitedWith(0)) << child.err;
    EXPECT_EQ(sandbox::readFile(path), pidLine(child.pid));
    // Reopened, not recreated.
    EXPECT_EQ(fileMode(path), 0600);
    EXPECT_TRUE(matches(child.out, "^\\d+: Trying to open pidfile '" + path +
                                       "'\n"
                                       "\\d+: Cannot open pid file exclusively\n"
                                       "\\d+: Trying to open pidfile for RW\n"
                                       "\\d+: Pid file is opened for writing, trying to lock them\n"
                                       "\\d+: Pid file is locked\n$"))
        << child.out;
}

TEST(PidFile, SecondProcessCannotLock) {
    ScratchDir dir;
    const std::string path = dir.file("kstd.pid");

    // The holder takes the lock, says so, and keeps it until `release` closes.
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    fflush(stdout);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        char status = create_pidfile(path.c_str()) == 0 ? 'y' : 'n';
        if (::write(ready[1], &status, 1) != 1) _exit(2);
        char byte;
        while (::read(release[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char status = 0;
    ASSERT_EQ(::read(ready[0], &status, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(status, 'y');
    ASSERT_EQ(sandbox::readFile(path), pidLine(holder));

    ChildResult second = createPidfileInChild(dir, path);
    EXPECT_TRUE(second.exitedWith(1));
    EXPECT_TRUE(matches(second.err, "^\\d+: Cannot lock pidfile: \\S.*\n$")) << second.err;
    EXPECT_TRUE(matches(second.out, "Trying to open pidfile for RW\n")) << second.out;
    // The running holder's PID is untouched.
    EXPECT_EQ(sandbox::readFile(path), pidLine(holder));

    ::close(release[1]);
    int holderStatus = 0;
    ASSERT_EQ(waitpid(holder, &holderStatus, 0), holder);
    EXPECT_TRUE(WIFEXITED(holderStatus) && WEXITSTATUS(holderStatus) == 0);

    // Once the holder has ended its lock is gone.
    ChildResult third = createPidfileInChild(dir, path);
    ASSERT_TRUE(third.exitedWith(0)) << third.err;
    EXPECT_EQ(sandbox::readFile(path), pidLine(third.pid));
}

TEST(PidFile, OpenFailuresAreReported) {
    ScratchDir dir;
    const std::string missing = dir.file("no-such-dir/kstd.pid");
    ChildResult child = createPidfileInChild(dir, missing);
    EXPECT_TRUE(child.exitedWith(1));
    EXPECT_TRUE(matches(child.err, "^\\d+: PID file error: No such file or directory\n$")) << child.err;
    EXPECT_TRUE(matches(child.out, "\\d+: Cannot open pid file exclusively\n$")) << child.out;

    // An existing path that cannot be opened for writing.
    child = createPidfileInChild(dir, dir.path());
    EXPECT_TRUE(child.exitedWith(1));
    EXPECT_TRUE(matches(child.err, "^\\d+: Cannot open pid file for writing: Is a directory\n$")) << child.err;
}

TEST(PidFile, FailuresGoToSyslog) {
    ScratchDir dir;
    const std::string missing = dir.file("no-such-dir/kstd.pid");
    sandbox::SyslogResult result = sandbox::runWithSyslog(dir, [&]() {
        openlog("kstpidtest", LOG_PID, LOG_DAEMON);
        int first = create_pidfile(missing.c_str());
        int second = create_pidfile(dir.path().c_str());
        return first == -1 && second == -1 ? 0 : 1;
    });
    ASSERT_EQ(result.setupError, "");
    EXPECT_TRUE(result.child.exitedWith(0)) << result.child.err;
    ASSERT_EQ(result.messages.size(), 2u);
    EXPECT_EQ(sandbox::syslogPriority(result.messages[0]), LOG_DAEMON | LOG_ERR);
    EXPECT_EQ(sandbox::syslogText(result.messages[0]), "PID file error: No such file or directory");
    EXPECT_EQ(sandbox::syslogPriority(result.messages[1]), LOG_DAEMON | LOG_ERR);
    EXPECT_EQ(sandbox::syslogText(result.messages[1]), "Cannot open pid file for writing: Is a directory");
    EXPECT_TRUE(matches(result.messages[0], "kstpidtest\\[\\d+\\]: ")) << result.messages[0];
}

TEST(PidFile, WriteFailureGoesToSyslog) {
    ScratchDir dir;
    const std::string path = dir.file("kstd.pid");
    sandbox::SyslogResult result = sandbox::runWithSyslog(dir, [&]() {
        openlog("kstpidtest", LOG_PID, LOG_DAEMON);
        // No file may grow: the PID cannot be written.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {0, 0};
        struct rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        limit.rlim_max = old.rlim_max;
        setrlimit(RLIMIT_FSIZE, &limit);
        int rc = create_pidfile(path.c_str());
        setrlimit(RLIMIT_FSIZE, &old);
        return rc == -1 ? 0 : 1;
    });
    ASSERT_EQ(result.setupError, "");
    EXPECT_TRUE(result.child.exitedWith(0)) << result.child.err;
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(sandbox::syslogPriority(result.messages[0]), LOG_DAEMON | LOG_ERR);
    EXPECT_EQ(sandbox::syslogText(result.messages[0]), "Cannot write PID into pidfile");
}

// What the daemon process looks like after init_daemon, as reported by the
// grandchild that continues.
struct DaemonState {
    std::map<std::string, std::string> values;
    long number(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? LONG_MIN : std::stol(it->second);
    }
};

TEST(InitDaemon, GrandchildIsDetached) {
    ScratchDir dir;
    const std::string report = dir.file("daemon.report");
    const std::string reportTemp = report + ".tmp";
    struct stat devNull;
    ASSERT_EQ(stat("/dev/null", &devNull), 0);

    ChildResult child = sandbox::runChild(dir, [&]() {
        umask(077);
        if (chdir(dir.path().c_str()) != 0) return 10;
        // A descriptor the daemon must not inherit.
        if (dup2(1, 7) < 0) return 11;
        if (init_daemon() != 0) {
            sandbox::writeFile(reportTemp, "failed=1\n");
            rename(reportTemp.c_str(), report.c_str());
            _exit(12);
        }
        std::string text;
        auto add = [&](const std::string& key, long value) { text += key + "=" + std::to_string(value) + "\n"; };
        add("pid", getpid());
        add("sid", getsid(0));
        add("pgrp", getpgrp());
        mode_t mask = umask(022);
        add("umask", mask);
        char cwd[PATH_MAX];
        text += std::string("cwd=") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";
        for (int fd = 0; fd < 3; ++fd) {
            struct stat st;
            bool isNull = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == devNull.st_rdev;
            add("null" + std::to_string(fd), isNull ? 1 : 0);
            add("rw" + std::to_string(fd), (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR ? 1 : 0);
        }
        add("fd7", fcntl(7, F_GETFD) < 0 && errno == EBADF ? 0 : 1);
        // Descriptors 0-2 were the only ones left: the next open gets 3.
        int next = ::open("/dev/null", O_RDONLY);
        add("next", next);
        sandbox::writeFile(reportTemp, text);
        rename(reportTemp.c_str(), report.c_str());
        _exit(0);
    });
    // The process that called init_daemon ends at once with status 0.
    ASSERT_TRUE(child.exitedWith(0)) << child.err;

    // The grandchild is not ours to wait for: poll for its report.
    for (int i = 0; i < 2000 && !File::exists(report); ++i) usleep(10000);
    const std::string text = sandbox::readFile(report);
    ASSERT_NE(text, "") << "no report from the daemon process";
    DaemonState state;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) state.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    ASSERT_EQ(state.values.count("failed"), 0u) << text;

    const long pid = state.number("pid");
    EXPECT_NE(pid, child.pid);
    EXPECT_NE(pid, getpid());
    // A new session, of which the daemon is not the leader: it can never
    // acquire a controlling terminal.
    EXPECT_NE(state.number("sid"), getsid(0));
    EXPECT_NE(state.number("sid"), pid);
    EXPECT_NE(state.number("sid"), child.pid);
    EXPECT_EQ(state.number("pgrp"), state.number("sid"));
    EXPECT_EQ(state.values["cwd"], "/");
    EXPECT_EQ(state.number("umask"), 027);
    for (int fd = 0; fd < 3; ++fd) {
        EXPECT_EQ(state.number("null" + std::to_string(fd)), 1) << "fd " << fd;
        EXPECT_EQ(state.number("rw" + std::to_string(fd)), 1) << "fd " << fd;
    }
    EXPECT_EQ(state.number("fd7"), 0);
    EXPECT_EQ(state.number("next"), 3);
    EXPECT_EQ(child.out, "");
}

TEST(Il2ToAscii, WholeTable) {
    const unsigned char table[30][2] = {
        {0xC1, 'A'}, {0xE1, 'a'}, {0xC8, 'C'}, {0xE8, 'c'}, {0xCF, 'D'}, {0xEF, 'd'}, {0xC9, 'E'}, {0xCC, 'E'},
        {0xE9, 'e'}, {0xEC, 'e'}, {0xCD, 'I'}, {0xED, 'i'}, {0xD2, 'N'}, {0xF2, 'n'}, {0xD3, 'O'}, {0xF3, 'o'},
        {0xD8, 'R'}, {0xF8, 'r'}, {0xA9, 'S'}, {0xB9, 's'}, {0xAB, 'T'}, {0xBB, 't'}, {0xDA, 'U'}, {0xD9, 'U'},
        {0xFA, 'u'}, {0xF9, 'u'}, {0xDD, 'Y'}, {0xFD, 'y'}, {0xAE, 'Z'}, {0xBE, 'z'},
    };
    char expected[256];
    for (int byte = 0; byte < 256; ++byte) expected[byte] = static_cast<char>(byte);
    for (const auto& pair : table) {
        ASSERT_EQ(expected[pair[0]], static_cast<char>(pair[0])) << "byte listed twice";
        expected[pair[0]] = static_cast<char>(pair[1]);
    }
    for (int byte = 0; byte < 256; ++byte) {
        EXPECT_EQ(il2toascii(static_cast<char>(byte)), expected[byte]) << "byte 0x" << std::hex << byte;
    }
    // "Příliš žluťoučký kůň úpěl ďábelské ódy" in ISO-8859-2.
    const std::string text =
        "P\xF8\xEDli\xB9 \xBElu\xBBou\xE8k\xFD k\xF9\xF2 \xFAp\xECl \xEF\xE1"
        "belsk\xE9 \xF3"
        "dy";
    std::string ascii;
    for (char c : text) ascii += il2toascii(c);
    EXPECT_EQ(ascii, "Prilis zlutoucky kun upel dabelske ody");
}

TEST(FileWrapper, FailedOpenAndClose) {
    ScratchDir dir;
    File file;
    EXPECT_EQ(file.name(), "");
    EXPECT_EQ(file.handle(), 0);
    EXPECT_EQ(file.errorString(), "");

    const std::string missing = dir.file("no-such-dir/log");
    file.setName(missing);
    EXPECT_EQ(file.name(), missing);
    EXPECT_FALSE(file.exists());
    EXPECT_FALSE(file.open(File::IO_WriteOnly | File::IO_Append));
    EXPECT_EQ(file.handle(), -1);
    EXPECT_EQ(file.errorString(), strerror(ENOENT));
    file.close();
    EXPECT_EQ(file.handle(), 0);
    EXPECT_EQ(file.errorString(), "");
    EXPECT_FALSE(File::exists(dir.file("no-such-dir")));

    // Read-only never creates.
    file.setName(dir.file("absent"));
    EXPECT_FALSE(file.open(File::IO_ReadOnly));
    EXPECT_EQ(file.errorString(), strerror(ENOENT));
    // A later successful open clears the message.
    file.setName(dir.path());
    EXPECT_TRUE(file.open(File::IO_ReadOnly));
    EXPECT_GT(file.handle(), 0);
    EXPECT_EQ(file.errorString(), "");
    file.close();
    EXPECT_EQ(file.handle(), 0);
}

TEST(FileWrapper, ModesAndPermissions) {
    ScratchDir dir;
    const std::string path = dir.file("data");
    // The daemon's umask 027 takes the others' bits off the 0664 asked for.
    ChildResult child = sandbox::runChild(dir, [&]() {
        umask(027);
        File file;
        file.setName(path);
        if (!file.open(File::IO_WriteOnly | File::IO_Append)) return 1;
        int flags = fcntl(file.handle(), F_GETFL);
        if ((flags & O_ACCMODE) != O_WRONLY || !(flags & O_APPEND)) return 2;
        file.close();
        return 0;
    });
    ASSERT_TRUE(child.exitedWith(0)) << child.status;
    EXPECT_EQ(fileMode(path), 0640);
    EXPECT_TRUE(File::exists(path));

    auto writeWith = [&](int mode, const std::string& text) {
        File file;
        file.setName(path);
        EXPECT_TRUE(file.open(mode)) << file.errorString();
        EXPECT_EQ(::write(file.handle(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
        file.close();
    };
    writeWith(File::IO_WriteOnly | File::IO_Append, "one\n");
    writeWith(File::IO_WriteOnly | File::IO_Append, "two\n");
    EXPECT_EQ(sandbox::readFile(path), "one\ntwo\n");
    writeWith(File::IO_WriteOnly, "ONE");
    EXPECT_EQ(sandbox::readFile(path), "ONE\ntwo\n");
    writeWith(File::IO_WriteOnly | File::IO_Truncate | File::IO_Translate, "new\n");
    EXPECT_EQ(sandbox::readFile(path), "new\n");

    File rw;
    rw.setName(dir.file("created-rw"));
    ASSERT_TRUE(rw.open(File::IO_ReadWrite));
    EXPECT_EQ(fcntl(rw.handle(), F_GETFL) & O_ACCMODE, O_RDWR);
    rw.close();
    EXPECT_TRUE(File::exists(dir.file("created-rw")));

    File plain;
    plain.setName(path);
    ASSERT_TRUE(plain.open(File::IO_ReadOnly));
    EXPECT_EQ(fcntl(plain.handle(), F_GETFL) & (O_ACCMODE | O_APPEND | O_DIRECT), O_RDONLY);
    plain.close();
}

}  // namespace
