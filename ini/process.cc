#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include "trace.h"

namespace {

// Reports a PID file failure: the message, filled with the system error text,
// goes to syslog and to standard error.
int pidfileFailure(const char* format, int error) {
    char message[512];
    snprintf(message, sizeof message, format, strerror(error));
    syslog(LOG_ERR, "%s", message);
    traceError("%s\n", message);
    return -1;
}

const unsigned char transliteration[][2] = {
    {0xC1, 'A'}, {0xE1, 'a'}, {0xC8, 'C'}, {0xE8, 'c'}, {0xCF, 'D'}, {0xEF, 'd'}, {0xC9, 'E'}, {0xCC, 'E'},
    {0xE9, 'e'}, {0xEC, 'e'}, {0xCD, 'I'}, {0xED, 'i'}, {0xD2, 'N'}, {0xF2, 'n'}, {0xD3, 'O'}, {0xF3, 'o'},
    {0xD8, 'R'}, {0xF8, 'r'}, {0xA9, 'S'}, {0xB9, 's'}, {0xAB, 'T'}, {0xBB, 't'}, {0xDA, 'U'}, {0xD9, 'U'},
    {0xFA, 'u'}, {0xF9, 'u'}, {0xDD, 'Y'}, {0xFD, 'y'}, {0xAE, 'Z'}, {0xBE, 'z'},
};

}  // namespace

int init_daemon() {
    pid_t pid = fork();
    if (pid < 0) {
        perror("Cannot fork");
        return -1;
    }
    if (pid > 0) _exit(0);

    setsid();

    pid = fork();
    if (pid < 0) {
        perror("Cannot fork");
        return -1;
    }
    if (pid > 0) _exit(0);

    if (chdir("/") != 0) {
        perror("Cannot change current directory into / !");
        return -1;
    }
    // Logs hold numbers and texts: new files are not for others to read.
    umask(027);

    long maxFd = sysconf(_SC_OPEN_MAX);
    if (maxFd < 0) maxFd = 1024;
    for (long fd = 0; fd < maxFd; ++fd) ::close(static_cast<int>(fd));

    int fd = ::open("/dev/null", O_RDWR);
    if (fd != 0) {
        if (dup2(fd, 0) < 0) {
            perror("Cannot reopen stdin for /dev/null");
            return -1;
        }
        ::close(fd);
    }
    if (dup2(0, 1) < 0) {
        perror("Cannot reopen stdout for /dev/null");
        return -1;
    }
    if (dup2(0, 2) < 0) {
        perror("Cannot reopen stderr for /dev/null");
        return -1;
    }
    return 0;
}

int create_pidfile(const char* path) {
    trace("Trying to open pidfile '%s'\n", path);
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL, 0644);
    // 0644 whatever the umask: everybody may see which process is the daemon.
    if (fd >= 0) fchmod(fd, 0644);
    if (fd < 0) {
        trace("Cannot open pid file exclusively\n");
        if (errno != EEXIST) return pidfileFailure("PID file error: %s", errno);
        trace("Trying to open pidfile for RW\n");
        fd = ::open(path, O_RDWR);
        if (fd < 0) return pidfileFailure("Cannot open pid file for writing: %s", errno);
    }
    trace("Pid file is opened for writing, trying to lock them\n");

    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_SETLK, &lock) < 0) {
        int error = errno;
        ::close(fd);
        return pidfileFailure("Cannot lock pidfile: %s", error);
    }
    trace("Pid file is locked\n");

    // The lock is ours: what an earlier process left is stale, and a longer
    // old PID must not leave digits behind the new one.
    char buffer[64];
    int length = snprintf(buffer, sizeof buffer, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, buffer, length, 0) != length) {
        syslog(LOG_ERR, "Cannot write PID into pidfile");
        return -1;
    }
    return 0;
}

bool lowDescriptorFree() {
    // F_DUPFD gives the lowest free descriptor, as open() would.
    const int probe = fcntl(0, F_DUPFD_CLOEXEC, 0);
    if (probe < 0) return false;
    ::close(probe);
    return probe < FD_SETSIZE;
}

char il2toascii(char c) {
    for (const auto& pair : transliteration) {
        if (static_cast<unsigned char>(c) == pair[0]) return static_cast<char>(pair[1]);
    }
    return c;
}

bool File::exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool File::open(int mode) {
    int flags = O_RDONLY | O_LARGEFILE;
    if (mode & IO_WriteOnly) flags |= O_WRONLY | O_CREAT;
    if (mode & IO_ReadWrite) flags |= O_RDWR | O_CREAT;
    if (mode & IO_Truncate) flags |= O_TRUNC;
    if (mode & IO_Append) flags |= O_APPEND;
    m_fd = ::open(m_name.c_str(), flags, 0664);
    if (m_fd < 0) {
        m_message = strerror(errno);
        return false;
    }
    m_message.clear();
    return true;
}

void File::close() {
    if (m_fd > 0) ::close(m_fd);
    m_fd = 0;
    m_message.clear();
}
