// UCP framing of libvessa: composing and parsing frames, splitting fields,
// and the transaction-id window.
#include <cstring>
#include <string>

#include "vessa_internal.h"

namespace {

using ucp::ETX;
using ucp::STX;

int badFrame(const char* why) {
    vessa_trace("ucp_read: bad frame: %s\n", why);
    return EMI_BADFRAME;
}

bool safeBytes(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == ucp::SEPARATOR || c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// `value` as `width` decimal digits, zeros in front.
void appendDigits(std::string* out, int value, int width) {
    std::string digits = std::to_string(value);
    out->append(digits.size() < static_cast<size_t>(width) ? width - digits.size() : 0, '0');
    out->append(digits);
}

int send(emi_t* emi, int operation, int trnid, bool newId, const UcpFields& fields, int secret) {
    int ot = operation < 0 ? -operation : operation;
    if ((!newId && (trnid < 0 || trnid > ucp::MAX_TRN)) || ot > ucp::MAX_OT) {
        return EMI_BADFRAME;
    }
    std::string data;
    size_t secretAt = 0;
    for (size_t k = 0; k < fields.size(); ++k) {
        const std::string& f = fields[k];
        if (!safeBytes(f.data(), f.size())) {
            return ucp_refuse_field("field", f.c_str());
        }
        if (static_cast<int>(k) == secret) {
            secretAt = data.size();
        }
        data += f;
        data += ucp::SEPARATOR;
    }
    if (data.size() > VESSA_MAX_DATA) {
        return EMI_TOOLONG;
    }
    if (newId) {
        trnid = ucp_get_trnid(emi);
        if (trnid < 0) {
            return trnid;
        }
    }
    const int len = static_cast<int>(ucp::HEADER_SIZE + data.size() + ucp::CHECKSUM_DIGITS);
    std::string frame;
    appendDigits(&frame, trnid, ucp::TRN_DIGITS);
    frame += ucp::SEPARATOR;
    appendDigits(&frame, len, ucp::LEN_DIGITS);
    frame += ucp::SEPARATOR;
    frame += operation > 0 ? 'O' : 'R';
    frame += ucp::SEPARATOR;
    appendDigits(&frame, ot, ucp::OT_DIGITS);
    frame += ucp::SEPARATOR;
    frame += data;
    unsigned sum = 0;
    for (char c : frame) {
        sum += static_cast<unsigned char>(c);
    }
    sum &= 0xFF;
    frame += ia5_tohex(static_cast<int>(sum >> 4));
    frame += ia5_tohex(static_cast<int>(sum & 0x0F));

    char* buf = emi->buffer;
    buf[0] = STX;
    std::memcpy(buf + 1, frame.data(), frame.size());
    buf[1 + frame.size()] = ETX;
    buf[2 + frame.size()] = '\0';
    if (secret >= 0 && static_cast<size_t>(secret) < fields.size()) {
        emi->mask_off = static_cast<int>(1 + ucp::HEADER_SIZE + secretAt);
        emi->mask_len = static_cast<int>(fields[static_cast<size_t>(secret)].size());
    }
    int rc = tcp_write(emi, buf, frame.size() + 2);
    emi->mask_off = 0;
    emi->mask_len = 0;
    if (rc != 0) {
        return rc;
    }
    return newId ? trnid : 0;
}

}  // namespace

bool ucp_safe_field(const char* s) { return !s || safeBytes(s, std::strlen(s)); }

int ucp_refuse_field(const char* what, const char* value) {
    vessa_trace("emi: %s refused: '%s'\n", what, vessa_str(value));
    return EMI_BADFIELD;
}

int ucp_send(emi_t* emi, int operation, int trnid, const UcpFields& fields, int secret) {
    return send(emi, operation, trnid, false, fields, secret);
}

int ucp_send_new(emi_t* emi, int operation, const UcpFields& fields) {
    return send(emi, operation, 0, true, fields, -1);
}

namespace {

bool digitsAt(const char* s, int from, int count) {
    for (int i = from; i < from + count; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
    }
    return true;
}

// The number written in `count` decimal digits at `s`.
int number(const char* s, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        value = value * 10 + (s[i] - '0');
    }
    return value;
}

// Answers an operation that could not be read with the protocol's negative
// result (error code 01 for a checksum, 02 for a syntax error), when its
// header names an operation and its transaction id. Results and frames
// without a readable header are not answered. Returns `error`, or the error
// of sending the answer.
int refuseFrame(emi_t* emi, size_t length, int error) {
    const char* buf = emi->buffer;
    bool answerable = length >= static_cast<size_t>(ucp::HEADER_SIZE) && digitsAt(buf, ucp::TRN_AT, ucp::TRN_DIGITS) &&
                      buf[ucp::LEN_AT - 1] == ucp::SEPARATOR && buf[ucp::OR_AT - 1] == ucp::SEPARATOR &&
                      buf[ucp::OR_AT] == 'O' && buf[ucp::OT_AT - 1] == ucp::SEPARATOR &&
                      digitsAt(buf, ucp::OT_AT, ucp::OT_DIGITS) && buf[ucp::HEADER_SIZE - 1] == ucp::SEPARATOR;
    if (!answerable) {
        return error;
    }
    int trn = number(buf + ucp::TRN_AT, ucp::TRN_DIGITS);
    int ot = number(buf + ucp::OT_AT, ucp::OT_DIGITS);
    // Negative result: error code 01 (checksum) or 02 (syntax), no message.
    const char* code = error == EMI_BADCRC ? "01" : "02";
    vessa_trace("ucp_read: answering operation %d, trnid %d: N/%s//\n", ot, trn, code);
    int rc = ucp_send(emi, -ot, trn, {"N", code, ""});
    return rc != 0 ? rc : error;
}

}  // namespace

int ucp_read(emi_t* emi) {
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
    const char sep = ucp::SEPARATOR;
    if (length < VESSA_MIN_LEN || !digitsAt(buf, ucp::TRN_AT, ucp::TRN_DIGITS) || buf[ucp::LEN_AT - 1] != sep ||
        !digitsAt(buf, ucp::LEN_AT, ucp::LEN_DIGITS) || buf[ucp::OR_AT - 1] != sep || buf[ucp::OT_AT - 1] != sep ||
        buf[ucp::HEADER_SIZE - 1] != sep || buf[ucp::OR_AT] == sep || buf[ucp::OT_AT] == sep ||
        buf[ucp::OT_AT + 1] == sep) {
        return refuseFrame(emi, kept, badFrame("header"));
    }
    if (number(buf + ucp::LEN_AT, ucp::LEN_DIGITS) != static_cast<long>(length)) {
        return refuseFrame(emi, kept, badFrame("length"));
    }
    // The data must end with the "/" before the checksum.
    const size_t checksumAt = length - ucp::CHECKSUM_DIGITS;
    if (buf[checksumAt - 1] != sep) {
        return refuseFrame(emi, kept, badFrame("data"));
    }

    unsigned sum = 0;
    for (size_t i = 0; i < checksumAt; ++i) {
        sum += static_cast<unsigned char>(buf[i]);
    }
    sum &= 0xFF;
    vessa_trace("ucp_read: checksum=%X\n", sum);
    const char* got = buf + checksumAt;
    if (got[0] != ia5_tohex(static_cast<int>(sum >> 4)) || got[1] != ia5_tohex(static_cast<int>(sum & 0x0F))) {
        return refuseFrame(emi, kept, EMI_BADCRC);
    }

    // Header slots, the data fields and the checksum's slot.
    int separators = 0;
    for (size_t i = 0; i < checksumAt - 1; ++i) {
        separators += buf[i] == sep;
    }
    if (separators >= VESSA_ITEMS - 1) {
        return refuseFrame(emi, kept, badFrame("too many fields"));
    }
    int slot = 0;
    emi->item[0] = buf;
    for (size_t i = 0; i < checksumAt - 1; ++i) {
        if (buf[i] == sep) {
            buf[i] = '\0';
            emi->item[++slot] = buf + i + 1;
        }
    }
    buf[checksumAt - 1] = '\0';
    emi->item[slot + 1] = buf + checksumAt;
    emi->items = slot + 2;
    return 0;
}

int ucp_get_trnid(emi_t* emi) {
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

void ucp_unget_trnid(emi_t* emi, int trnid) {
    if (trnid < 1 || trnid > VESSA_TRN_IDS) {
        return;
    }
    vessa_trace("ucp_unget_trnid: trnid=%d\n", trnid);
    int k = trnid - 1;
    emi->trn[k / 8] = static_cast<unsigned char>(emi->trn[k / 8] | (1u << (7 - k % 8)));
    emi->trn_time_tbl[k] = 0;
}

int ucp_init(emi_t* emi, const char* password) {
    // Eight characters of the password, as IA5 hex.
    char pwd[17];
    ia5_encode_secret(pwd, sizeof pwd, password);
    // OAdC, OTON 6 (abbreviated), ONPI 5 (private), STYP 1 (open session),
    // PWD, NPWD, VERS, LAdC, LTON, LNPI, OPID, RES1.
    const size_t oadcWidth = 16;
    const UcpFields fields = {std::string(emi->origin_addr, strnlen(emi->origin_addr, oadcWidth)),
                              "6",
                              "5",
                              "1",
                              pwd,
                              "",
                              "0100",
                              "",
                              "",
                              "",
                              "",
                              ""};
    const int passwordField = 4;
    return ucp_send(emi, EMI_INIT, 0, fields, passwordField);
}
