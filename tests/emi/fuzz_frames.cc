// libFuzzer target: arbitrary bytes from the SMSC's side of a socket pair go
// through libvessa's frame reader and decoder; every decoded operation is
// acknowledged and answered with a submission built from its own fields.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emi_peer.h"
#include "vessa.h"
#include "vessa_internal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vessa_trace_file = std::fopen("/dev/null", "w");
    return 0;
}

namespace {

// Bit 0 of the first byte set: the rest is split at newlines, and each piece
// becomes one frame whose first byte picks the operation. Otherwise the
// bytes go to the library as they are.
std::string shape(const uint8_t* data, size_t size) {
    if (size == 0 || !(data[0] & 1)) return std::string(reinterpret_cast<const char*>(data), size);
    static const int ops[] = {1, 31, 51, 52, 53, 60, 99, 0};
    std::string out;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t start = 0;
    while (start < rest.size()) {
        size_t nl = rest.find('\n', start);
        std::string piece = rest.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        start = nl == std::string::npos ? rest.size() : nl + 1;
        if (piece.empty()) continue;
        unsigned char pick = static_cast<unsigned char>(piece[0]);
        std::string fields = piece.substr(1);
        if (fields.empty() || fields.back() != '/') fields += '/';
        out += emitest::frame(pick >> 4, (pick & 8) ? 'R' : 'O', ops[pick & 7], fields);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    const std::string input = shape(data, size);
    // The whole input fits the socket buffer (inputs are at most 4096 bytes
    // and grow by at most 19 per piece when shaped).
    size_t off = 0;
    while (off < input.size()) {
        ssize_t n = write(sv[1], input.data() + off, input.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);

    emi_t* emi = static_cast<emi_t*>(std::calloc(1, sizeof(emi_t)));
    emi->sock = sv[0];
    emi->window_sz = 96;
    emi->max_throughput = 1000000;
    std::memset(emi->trn, 0xFF, sizeof emi->trn);
    std::strcpy(emi->origin_addr, "12345");
    std::strcpy(emi->alert_addr, "+420600111222");
    for (int i = 0; i < 64; ++i) {
        int rc = emi_read(emi);
        if (rc == EMI_SOCKERR || rc == EMI_CLOSED || rc == EMI_TIMEOUT) break;
        if (rc < 0) continue;
        msg_t* m = emi_msg(emi);
        if (m->op_type > 0) {
            emi_ack(rc & 1, m->op_type, rc % 100, emi);
            if (m->op_type == EMI_DELIVERY_SM || m->op_type == EMI_DELIVERY_SM_2) {
                const char* from = m->uu.submit.from;
                m->uu.submit.from = m->uu.submit.to;
                m->uu.submit.to = from;
                m->uu.submit.notif_addr = m->uu.submit.timestamp;
                emi_submit2(emi);
            }
        }
        emi_check_trntable(emi, -1);
    }
    emi_destroy(emi);
    close(sv[1]);
    return 0;
}
