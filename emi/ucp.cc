// UCP framing of libvessa: composing and parsing frames, splitting fields,
// and the transaction-id window.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vessa_internal.h"

namespace {

const char STX = 0x02;
const char ETX = 0x03;

bool allDigits(const char* s)
{
    if (!*s) {
        return false;
    }
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') {
            return false;
        }
    }
    return true;
}

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

    vessa_trace("ucp_read: header\n");
    char* buf = emi->buffer;
    int rc = tcp_read(emi, buf, 14);
    if (rc != 0) {
        return rc;
    }
    buf[14] = '\0';
    const bool closed = buf[13] == '/';

    unsigned sum = 0;
    int slot = 0;
    emi->item[0] = buf;
    for (int i = 0; i < 14; ++i) {
        sum += static_cast<unsigned char>(buf[i]);
        if (buf[i] == '/') {
            buf[i] = '\0';
            if (++slot > 4) {
                return badFrame("header");
            }
            emi->item[slot] = buf + i + 1;
        }
    }
    // "TT/LLLLL/X/OO/": exactly four separators, the last one closing it.
    if (slot != 4 || !closed || !allDigits(emi->item[0]) || !allDigits(emi->item[1])) {
        return badFrame("header");
    }
    long len = std::strtol(emi->item[1], nullptr, 10);
    if (len < VESSA_MIN_LEN || len > VESSA_MAX_LEN) {
        return badFrame("length");
    }

    int remainder = static_cast<int>(len) - 13;
    vessa_trace("ucp_read: data; len=%d\n", remainder);
    char* data = buf + 14;
    rc = tcp_read(emi, data, static_cast<size_t>(remainder));
    if (rc != 0) {
        return rc;
    }
    data[remainder - 1] = '\0';  // ETX
    data[remainder - 4] = '\0';  // the "/" that ends the data

    for (int i = 0; i < remainder - 4; ++i) {
        sum += static_cast<unsigned char>(data[i]);
        if (data[i] == '/') {
            data[i] = '\0';
            // The slot after the last data field is the checksum's.
            if (++slot >= VESSA_ITEMS - 1) {
                return badFrame("too many fields");
            }
            emi->item[slot] = data + i + 1;
        }
    }
    emi->item[slot + 1] = data + remainder - 3;
    emi->items = slot + 2;

    sum = (sum + '/') & 0xFF;
    vessa_trace("ucp_read: checksum=%X\n", sum);
    const char* got = emi->item[slot + 1];
    if (got[0] != ia5_tohex(sum >> 4) || got[1] != ia5_tohex(sum & 0x0F)) {
        return EMI_BADCRC;
    }
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
