#include "refused_pin.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

const char fileTitle[] = "kstd: SIM PIN refused by the SIM";

uint32_t rotateRight(uint32_t value, int bits) { return (value >> bits) | (value << (32 - bits)); }

const uint32_t roundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::string hex(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

// 16 random bytes as hex, from the kernel.
bool randomSalt(std::string& salt) {
    unsigned char bytes[16];
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t got = read(fd, bytes, sizeof bytes);
    close(fd);
    if (got != static_cast<ssize_t>(sizeof bytes)) return false;
    salt = hex(bytes, sizeof bytes);
    return true;
}

std::string hashOf(const std::string& salt, const std::string& pin) { return RefusedPinFile::sha256Hex(salt + pin); }

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string RefusedPinFile::sha256Hex(const std::string& data) {
    uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string message = data;
    const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    message += static_cast<char>(0x80);
    while (message.size() % 64 != 56) message += '\0';
    for (int shift = 56; shift >= 0; shift -= 8) message += static_cast<char>((bits >> shift) & 0xff);

    for (size_t block = 0; block < message.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(message.data() + block + 4 * i);
            w[i] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
        }
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotateRight(w[i - 15], 7) ^ rotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotateRight(w[i - 2], 17) ^ rotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t s1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
            const uint32_t choice = (e & f) ^ (~e & g);
            const uint32_t t1 = h + s1 + choice + roundConstants[i] + w[i];
            const uint32_t s0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
            const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
    unsigned char digest[32];
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(state[i] >> (24 - 8 * j));
    }
    return hex(digest, sizeof digest);
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
    if (!randomSalt(salt)) {
        error = std::string("no random salt: ") + strerror(errno);
        return false;
    }
    const std::string directory = directoryOf(m_path);
    if (mkdir(directory.c_str(), 0750) != 0 && errno != EEXIST) {
        error = "cannot create " + directory + ": " + strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << fileTitle << "\nsalt " << salt << "\nsha256 " << hashOf(salt, pin) << "\n";
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
