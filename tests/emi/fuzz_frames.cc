// libFuzzer target: arbitrary bytes from the SMSC's side of a socket pair go
// through libvessa's frame reader and decoder; every decoded operation is
// acknowledged and answered with a submission built from its own fields.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vessa.h"
#include "vessa_internal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vessa_trace_file = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    // The whole input fits the socket buffer (inputs are at most 4096 bytes).
    size_t off = 0;
    while (off < size) {
        ssize_t n = write(sv[1], data + off, size - off);
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
        if (rc == EMI_SOCKERR || rc == EMI_TIMEOUT) break;
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
