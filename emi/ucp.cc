// UCP framing of libvessa: composing and parsing frames, splitting fields,
// and the transaction-id window.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vessa_internal.h"

namespace {

const char STX = 0x02;
const char ETX = 0x03;

int badFrame(const char* why)
{
    vessa_trace("ucp_read: bad frame: %s\n", why);
    return EMI_BADFRAME;
}

}  // namespace

int ucp_set_data(emi_t* emi, const char* data, size_t len)
{
    if (len > VESSA_MAX_DATA) {
        return EMI_TOOLONG;
    }
    std::memcpy(emi->buffer + 15, data, len);
    emi->buffer[15 + len] = '\0';
    return 0;
}

int ucp_write(int operation, int trnid, emi_t* emi)
{
    int ot = operation < 0 ? -operation : operation;
    // Two-digit TRN and OT keep the header at its fixed 14 characters.
    if (trnid < 0 || trnid > 99 || ot > 99) {
        return EMI_BADFRAME;
    }
    char* buf = emi->buffer;
    size_t n = strnlen(buf + 15, VESSA_MAX_DATA + 1);
    if (n > VESSA_MAX_DATA) {
        return EMI_TOOLONG;
    }
    buf[0] = STX;
    char header[16];
    std::snprintf(header, sizeof header, "%.2d/%.5d/%c/%.2d", trnid, static_cast<int>(n + 16),
                  operation > 0 ? 'O' : 'R', ot);
    std::memcpy(buf + 1, header, 13);
    buf[14] = '/';
    unsigned sum = 0;
    for (size_t i = 1; i < 15 + n; ++i) {
        sum += static_cast<unsigned char>(buf[i]);
    }
    sum &= 0xFF;
    buf[15 + n] = ia5_tohex(sum >> 4);
    buf[16 + n] = ia5_tohex(sum & 0x0F);
    buf[17 + n] = ETX;
    buf[18 + n] = '\0';
    return tcp_write(emi, buf, n + 18);
}

namespace {

bool digitsAt(const char* s, int from, int count)
{
    for (int i = from; i < from + count; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
    }
    return true;
}

// Answers an operation that could not be read with the protocol's negative
// result (error code 01 for a checksum, 02 for a syntax error), when its
// header names an operation and its transaction id. Results and frames
// without a readable header are not answered. Returns `error`, or the error
// of sending the answer.
int refuseFrame(emi_t* emi, size_t length, int error)
{
    const char* buf = emi->buffer;
    bool answerable = length >= 14 && digitsAt(buf, 0, 2) && buf[2] == '/' && buf[8] == '/' &&
                      buf[9] == 'O' && buf[10] == '/' && digitsAt(buf, 11, 2) && buf[13] == '/';
    if (!answerable) {
        return error;
    }
    int trn = (buf[0] - '0') * 10 + (buf[1] - '0');
    int ot = (buf[11] - '0') * 10 + (buf[12] - '0');
    const char* data = error == EMI_BADCRC ? "N/01//" : "N/02//";
    vessa_trace("ucp_read: answering operation %d, trnid %d: %s\n", ot, trn, data);
    ucp_set_data(emi, data, std::strlen(data));
    int rc = ucp_write(-ot, trn, emi);
    return rc != 0 ? rc : error;
}

}  // namespace

int ucp_read(emi_t* emi)
{
    vessa_trace("ucp_read: synchronization\n");
    emi->items = 0;
    std::memset(emi->item, 0, sizeof emi->item);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > VESSA_DEADLINE) {
            return EMI_TIMEOUT;
        }
        char c;
        int rc = tcp_read(emi, &c, 1);
        if (rc != 0) {
            return rc;
        }
        if (c == STX) {
            break;
        }
    }

    // The frame is what lies between its STX and ETX; LEN is checked
    // against it, so a lying LEN costs this frame only, never the next.
    vessa_trace("ucp_read: frame\n");
    char* buf = emi->buffer;
    size_t taken = 0;
    char end = 0;
    int rc = tcp_read_frame_rest(emi, buf, VESSA_MAX_LEN, VESSA_MAX_FRAME, &taken, &end);
    if (rc != 0) {
        return rc;
    }
    if (end == 0) {
        vessa_trace("ucp_read: no frame end within %d bytes\n", VESSA_MAX_FRAME);
        return EMI_NOSYNC;
    }
    const size_t length = end == ETX ? taken - 1 : taken;  // TRN through the checksum
    const size_t kept = length < static_cast<size_t>(VESSA_MAX_LEN) ? length : static_cast<size_t>(VESSA_MAX_LEN);
    buf[kept] = '\0';
    if (end == STX) {
        return refuseFrame(emi, kept, badFrame("cut short by the next frame"));
    }
    if (length > VESSA_MAX_LEN) {
        return refuseFrame(emi, kept, badFrame("length"));
    }
    // "TT/LLLLL/X/OO/": exactly four separators, the last one closing it.
    if (length < VESSA_MIN_LEN || !digitsAt(buf, 0, 2) || buf[2] != '/' || !digitsAt(buf, 3, 5) ||
        buf[8] != '/' || buf[10] != '/' || buf[13] != '/' || buf[9] == '/' || buf[11] == '/' ||
        buf[12] == '/') {
        return refuseFrame(emi, kept, badFrame("header"));
    }
    if (std::strtol(std::string(buf + 3, 5).c_str(), nullptr, 10) != static_cast<long>(length)) {
        return refuseFrame(emi, kept, badFrame("length"));
    }
    // The data must end with the "/" before the checksum.
    if (buf[length - 3] != '/') {
        return refuseFrame(emi, kept, badFrame("data"));
    }

    unsigned sum = 0;
    for (size_t i = 0; i < length - 2; ++i) {
        sum += static_cast<unsigned char>(buf[i]);
    }
    sum &= 0xFF;
    vessa_trace("ucp_read: checksum=%X\n", sum);
    const char* got = buf + length - 2;
    if (got[0] != ia5_tohex(static_cast<int>(sum >> 4)) || got[1] != ia5_tohex(static_cast<int>(sum & 0x0F))) {
        return refuseFrame(emi, kept, EMI_BADCRC);
    }

    // Four header slots, the data fields and the checksum's slot.
    int separators = 0;
    for (size_t i = 0; i < length - 3; ++i) {
        separators += buf[i] == '/';
    }
    if (separators >= VESSA_ITEMS - 1) {
        return refuseFrame(emi, kept, badFrame("too many fields"));
    }
    int slot = 0;
    emi->item[0] = buf;
    for (size_t i = 0; i < length - 3; ++i) {
        if (buf[i] == '/') {
            buf[i] = '\0';
            emi->item[++slot] = buf + i + 1;
        }
    }
    buf[length - 3] = '\0';
    emi->item[slot + 1] = buf + length - 2;
    emi->items = slot + 2;
    return 0;
}

int ucp_get_trnid(emi_t* emi)
{
    for (int byte = 0; byte < VESSA_TRN_IDS / 8; ++byte) {
        if (!emi->trn[byte]) {
            continue;
        }
        int bit = 7;
        while (!(emi->trn[byte] & (1u << bit))) {
            --bit;
        }
        int id = byte * 8 + (7 - bit) + 1;
        if (id > emi->window_sz) {
            return EMI_NOTRNID;
        }
        emi->trn[byte] = static_cast<unsigned char>(emi->trn[byte] & ~(1u << bit));
        struct timeval now;
        vessa_now(&now);
        emi->trn_time_tbl[id - 1] = now.tv_sec;
        vessa_trace("ucp_get_trnid: trnid=%d\n", id);
        return id;
    }
    vessa_trace("ucp_get_trnid: no free trnid\n");
    return EMI_NOTRNID;
}

void ucp_unget_trnid(emi_t* emi, int trnid)
{
    if (trnid < 1 || trnid > VESSA_TRN_IDS) {
        return;
    }
    vessa_trace("ucp_unget_trnid: trnid=%d\n", trnid);
    int k = trnid - 1;
    emi->trn[k / 8] = static_cast<unsigned char>(emi->trn[k / 8] | (1u << (7 - k % 8)));
    emi->trn_time_tbl[k] = 0;
}

int ucp_init(emi_t* emi, const char* password)
{
    char pwd[17];
    ia5_encode_secret(pwd, sizeof pwd, password);
    char data[64];
    int prefix = std::snprintf(data, sizeof data, "%.16s/6/5/1/", emi->origin_addr);
    int n = std::snprintf(data + prefix, sizeof data - prefix, "%s//0100//////", pwd);
    int rc = ucp_set_data(emi, data, static_cast<size_t>(prefix + n));
    if (rc != 0) {
        return rc;
    }
    emi->mask_off = 15 + prefix;
    emi->mask_len = static_cast<int>(std::strlen(pwd));
    rc = ucp_write(EMI_INIT, 0, emi);
    emi->mask_off = 0;
    emi->mask_len = 0;
    return rc;
}
