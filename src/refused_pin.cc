#include "refused_pin.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

const char fileTitle[] = "kstd: SIM PIN refused by the SIM";

std::string hex(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

// 16 random bytes as hex.
bool randomSalt(std::string& salt) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    salt = hex(bytes, sizeof bytes);
    return true;
}

// The latest OpenSSL error as text.
std::string cryptoError() {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return text;
}

std::string hashOf(const std::string& salt, const std::string& pin) { return RefusedPinFile::sha256Hex(salt + pin); }

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string RefusedPinFile::sha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) return std::string();
    return hex(digest, length);
}

bool RefusedPinFile::refused(const std::string& pin) const {
    if (m_path.empty()) return false;
    std::ifstream in(m_path);
    std::string title;
    std::string saltLine;
    std::string hashLine;
    if (!std::getline(in, title) || title != fileTitle) return false;
    if (!std::getline(in, saltLine) || saltLine.compare(0, 5, "salt ") != 0) return false;
    if (!std::getline(in, hashLine) || hashLine.compare(0, 7, "sha256 ") != 0) return false;
    return hashOf(saltLine.substr(5), pin) == hashLine.substr(7);
}

bool RefusedPinFile::remember(const std::string& pin, std::string& error) const {
    if (m_path.empty()) return true;
    std::string salt;
    const std::string hash = randomSalt(salt) ? hashOf(salt, pin) : std::string();
    if (hash.empty()) {
        error = "no salted hash: " + cryptoError();
        return false;
    }
    const std::string directory = directoryOf(m_path);
    if (mkdir(directory.c_str(), 0750) != 0 && errno != EEXIST) {
        error = "cannot create " + directory + ": " + strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << fileTitle << "\nsalt " << salt << "\nsha256 " << hash << "\n";
    const std::string content = text.str();
    const std::string temporary = m_path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + strerror(errno);
        return false;
    }
    const bool written = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    const int writeErrno = errno;
    const bool synced = written && fsync(fd) == 0;
    const int syncErrno = errno;
    close(fd);
    if (!written || !synced) {
        error = "cannot write " + temporary + ": " + strerror(!written ? writeErrno : syncErrno);
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), m_path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + m_path + ": " + strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool RefusedPinFile::forget(std::string& error) const {
    if (m_path.empty()) return true;
    if (unlink(m_path.c_str()) == 0 || errno == ENOENT) return true;
    error = "cannot remove " + m_path + ": " + strerror(errno);
    return false;
}
