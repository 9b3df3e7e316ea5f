#include "ior_file.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <vector>

namespace {

std::string kindOf(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "an unknown kind of file";
}

// "alice (uid 1000)", or "uid 1000" for a user without a name.
std::string userName(uid_t uid) {
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(4096);
    std::string number = "uid " + std::to_string(static_cast<unsigned long>(uid));
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return std::string(found->pw_name) + " (" + number + ")";
    }
    return number;
}

std::string systemError(const std::string& what, int error) { return what + ": " + strerror(error); }

}  // namespace

std::string iorFilePlaceProblem(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT) return "";
        return systemError(std::string("cannot examine '") + path + "'", errno);
    }
    if (S_ISREG(st.st_mode) && st.st_uid == geteuid()) return "";
    return std::string("'") + path + "' is " + kindOf(st.st_mode) + " owned by " + userName(st.st_uid) +
           ", not a regular file of " + userName(geteuid());
}

bool writeIorFile(const char* path, const std::string& ior, std::string& error, WrittenIorFile& written) {
    error = iorFilePlaceProblem(path);
    if (!error.empty()) return false;

    std::string pattern = std::string(path) + ".XXXXXX";
    std::vector<char> temporary(pattern.begin(), pattern.end());
    temporary.push_back('\0');
    // mkostemp creates with O_CREAT|O_EXCL: a new file, never a link followed.
    const int fd = mkostemp(temporary.data(), O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = systemError(std::string("cannot create a file next to '") + path + "'", errno);
        return false;
    }
    auto fail = [&](const std::string& what, int code) {
        error = systemError(what, code);
        unlink(temporary.data());
        return false;
    };
    if (fchmod(fd, 0644) != 0) {
        const int code = errno;
        close(fd);
        return fail(std::string("cannot set the mode of '") + temporary.data() + "'", code);
    }
    size_t done = 0;
    while (done < ior.size()) {
        const ssize_t written = ::write(fd, ior.data() + done, ior.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const int code = written < 0 ? errno : EIO;
            close(fd);
            return fail(std::string("cannot write '") + temporary.data() + "'", code);
        }
        done += static_cast<size_t>(written);
    }
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    if (close(fd) != 0) return fail(std::string("cannot write '") + temporary.data() + "'", errno);
    if (rename(temporary.data(), path) != 0) {
        return fail(std::string("cannot rename '") + temporary.data() + "' to '" + path + "'", errno);
    }
    written.known = known;
    written.device = st.st_dev;
    written.inode = st.st_ino;
    return true;
}

void removeWrittenIorFile(const char* path, WrittenIorFile& written) {
    if (!written.known) return;
    struct stat st;
    if (lstat(path, &st) == 0 && st.st_dev == written.device && st.st_ino == written.inode) unlink(path);
    written = WrittenIorFile();
}

IorFileRead readTrustedIorFile(const char* path, size_t maxLength) {
    IorFileRead result;
    // O_NOFOLLOW: a link is refused, not followed; O_NONBLOCK: a FIFO does not
    // keep the open waiting for a writer.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        if (code == ELOOP) {
            result.status = IorFileRead::Untrusted;
            result.error = "it is a symbolic link";
        } else {
            result.status = IorFileRead::CannotOpen;
            result.error = strerror(code);
        }
        return result;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        result.status = IorFileRead::CannotRead;
        result.error = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        result.status = IorFileRead::Untrusted;
        result.error = "it is " + kindOf(st.st_mode) + ", not a regular file";
    } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
        result.status = IorFileRead::Untrusted;
        result.error = "it is owned by " + userName(st.st_uid) + ", neither root nor the user of this program";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        result.status = IorFileRead::Untrusted;
        result.error = std::string("it is writable by others than its owner (mode ") + mode + ")";
    }
    if (result.status != IorFileRead::Ok) {
        close(fd);
        return result;
    }
    std::vector<char> buffer(maxLength);
    size_t length = 0;
    while (length < maxLength) {
        const ssize_t n = read(fd, buffer.data() + length, maxLength - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.status = IorFileRead::CannotRead;
            result.error = strerror(errno);
            break;
        }
        if (n == 0) break;
        length += static_cast<size_t>(n);
    }
    close(fd);
    if (result.status == IorFileRead::Ok) result.ior.assign(buffer.data(), length);
    return result;
}
