// EMI operations of libvessa: login, alert, submissions, acknowledgements,
// reading and decoding, transaction-id expiry and the throughput window.
#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vessa_internal.h"

namespace {

const char* const EMPTY = "";

// Data fields of the operations 52, 53 and 51 (from 1), as the protocol
// numbers them.
// clang-format off
enum MessageField {
    ADC = 1, OADC, AC, NRQ, NADC, NT, NPID, LRQ, LRAD, LPID, DD, DDT, VP, RPID, SCTS, DST, RSN,
    DSCTS, MT, NB, MSG, MMS, PR, DCS, MCLS, RPI, CPG, RPLY, OTOA, HPLMN, XSER, RES4, RES5,
    MESSAGE_FIELDS = RES5
};
// clang-format on
// Data fields of the operation 01.
enum Message01Field { ADC_01 = 1, OADC_01, AC_01, MT_01, MSG_01 };
// Data fields of a result: ACK or NACK, then the error code of a NACK, then
// the system message.
enum ResultField { ACK = 1, ERROR_OR_MESSAGE, NACK_MESSAGE };
// Data fields of an alert (31).
enum AlertField { ALERT_ADC, ALERT_PID, ALERT_FIELDS };

// Widths the submissions cut their fields to.
const size_t OADC_WIDTH = 24;
const size_t NADC_WIDTH = 16;
const size_t NPID_WIDTH = 4;
const size_t VP_WIDTH = 10;
const size_t MSG_WIDTH = 640;
const size_t XSER_WIDTH = 400;

// Data field k (from 1) of the last frame read, or null when it has fewer.
const char* field(const emi_t* emi, int k) {
    int slot = ucp::HEADER_ITEMS - 1 + k;
    if (k < 1 || slot >= emi->items - 1) {
        return nullptr;
    }
    return emi->item[slot];
}

// Field k, or the empty string when the frame has fewer fields.
const char* text(const emi_t* emi, int k) {
    const char* f = field(emi, k);
    return f ? f : EMPTY;
}

// Field k when present and not empty, else null.
const char* optional(const emi_t* emi, int k) {
    const char* f = field(emi, k);
    return f && *f ? f : nullptr;
}

// Leading-digits conversion; empty and junk give 0, huge values saturate.
int number(const char* s) {
    if (!s) {
        return 0;
    }
    int saved = errno;
    long v = std::strtol(s, nullptr, 10);
    errno = saved;
    if (v > INT_MAX) {
        return INT_MAX;
    }
    if (v < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

bool equals(const char* a, const char* b) { return a && std::strcmp(a, b) == 0; }

void copyAddress(char* dst, const char* src) { std::snprintf(dst, VESSA_ADDR_SIZE, "%s", src ? src : ""); }

// Originator fields of a submission.
struct Originator {
    char oadc[25];
    const char* otoa;
    bool alphanumeric;
};

void classifyOriginator(emi_t* emi, const char* from, Originator* o) {
    if (!from || !*from) {
        from = emi->origin_addr;
    }
    bool restNumeric = from[0] && ia5_is_numeric(from + 1);
    o->alphanumeric = false;
    if (restNumeric && std::strncmp(from, "+420", 4) == 0) {
        o->otoa = "1139";
        std::snprintf(o->oadc, sizeof o->oadc, "%.24s", from + 1);
    } else if (restNumeric && from[0] >= '0' && from[0] <= '9') {
        o->otoa = "";
        std::snprintf(o->oadc, sizeof o->oadc, "%.24s", from);
    } else {
        o->otoa = "5039";
        o->alphanumeric = true;
        ia5_encode_oadc(o->oadc, sizeof o->oadc, from);
    }
}

// The alert address as an address field and its PID (0439 a mobile, 0539
// an application): AdC and PID of an alert, NAdC and NPID of a notification
// a named originator asks for.
void notificationFromAlert(const emi_t* emi, const char** nadc, const char** npid) {
    const char* alert = emi->alert_addr;
    if (alert[0] == '+') {
        *nadc = alert + 1;
        *npid = "0439";
    } else {
        *nadc = alert;
        *npid = std::strlen(alert) > 8 ? "0439" : "0539";
    }
}

bool digitsOnly(const char* s) { return *s && ia5_is_numeric(s); }

// At most the first `width` characters of s.
std::string upTo(const char* s, size_t width) { return std::string(s, strnlen(s, width)); }

// A number with at least `width` digits, zeros in front ("-0005" for -5).
std::string padded(int value, int width) {
    char out[16];
    std::snprintf(out, sizeof out, "%.*d", width, value);
    return out;
}

// A submission with its 33 fields, all empty until set.
UcpFields submissionFields() { return UcpFields(MESSAGE_FIELDS); }

std::string& at(UcpFields& fields, MessageField k) { return fields[static_cast<size_t>(k - 1)]; }

// Sends a submission with a fresh id; counts it in the window.
int sendSubmission(emi_t* emi, const UcpFields& fields) {
    int id = ucp_send_new(emi, EMI_SUBMIT_SM, fields);
    if (id == EMI_TOOLONG) {
        size_t data = 0;
        for (const std::string& f : fields) {
            data += f.size() + 1;
        }
        vessa_trace("emi_submit: request too long (%zu characters)\n", data);
    }
    if (id < 0) {
        return id;
    }
    emi->act_throughput++;
    return id;
}

}  // namespace

extern "C" {

err_t emi_init(EMI* emi, const char* hostname, unsigned short port, const char* password, const char* origin_addr,
               const char* alert_addr, int window_sz, int throughput) {
    vessa_trace("emi_init: emi=%lx; hostname=%s; port=%d; password=%s; originator=%s; alert=%s\n", vessa_ptr(emi),
                vessa_str(hostname), port, password ? "********" : "(null)", vessa_str(origin_addr),
                vessa_str(alert_addr));
    if (!emi) {
        return EMI_NULL;
    }
    if (!hostname || !password || !origin_addr) {
        return EMI_INITERR;
    }
    if (!ucp_safe_field(origin_addr) || !ucp_safe_field(alert_addr)) {
        return static_cast<err_t>(ucp_refuse_field("address", ucp_safe_field(origin_addr) ? alert_addr : origin_addr));
    }
    SOCKET sock = tcp_init(hostname, port);
    if (sock < 0) {
        return EMI_SOCKERR;
    }
    emi_t* e = static_cast<emi_t*>(std::calloc(1, sizeof(emi_t)));
    if (!e) {
        int saved = errno;
        tcp_destroy(sock);
        errno = saved;
        return EMI_SYSERR;
    }
    e->sock = sock;
    e->window_sz = window_sz;
    e->max_throughput = throughput;
    std::memset(e->trn, 0xFF, sizeof e->trn);
    copyAddress(e->origin_addr, origin_addr);
    copyAddress(e->alert_addr, alert_addr);

    int rc = ucp_init(e, password);
    if (rc == 0) {
        rc = emi_read(e);
        if (rc >= 0) {
            rc = (e->msg.op_type == -EMI_INIT && e->msg.uu.response.ack == 1) ? 0 : EMI_INITERR;
        }
    }
    if (rc != 0) {
        int saved = errno;
        tcp_destroy(e->sock);
        std::free(e);
        errno = saved;
        return static_cast<err_t>(rc);
    }
    *emi = e;
    return EMI_OK;
}

void emi_destroy(EMI emi) {
    if (!emi) {
        return;
    }
    tcp_destroy(emi->sock);
    std::free(emi);
}

int emi_select(EMI emi) {
    if (!emi) {
        return EMI_NULL;
    }
    if (tcp_buffered(emi) > 0) {
        return 1;  // received before, not yet read
    }
    struct pollfd pfd;
    pfd.fd = emi->sock;
    pfd.events = POLLIN;
    pfd.revents = 0;
    int ready = poll(&pfd, 1, 0);
    if (ready < 0) {
        return errno == EINTR ? 0 : -1;  // a signal is no reason to drop the session
    }
    return ready > 0 ? 1 : 0;
}

int emi_socket(EMI emi) { return emi ? emi->sock : EMI_NULL; }

int emi_free_trnids(EMI emi) {
    if (!emi) {
        return EMI_NULL;
    }
    int window = emi->window_sz < VESSA_TRN_IDS ? emi->window_sz : VESSA_TRN_IDS;
    int free = 0;
    for (int k = 0; k < window; ++k) {
        if (emi->trn[k / 8] & (1u << (7 - k % 8))) {
            ++free;
        }
    }
    return free;
}

msg_t* emi_msg(EMI emi) { return emi ? &emi->msg : nullptr; }

int emi_read(EMI emi) {
    vessa_trace("emi_read: emi=%lx\n", vessa_ptr(emi));
    if (!emi) {
        return EMI_NULL;
    }
    std::memset(&emi->msg, 0, sizeof emi->msg);
    int rc = ucp_read(emi);
    if (rc != 0) {
        return rc;
    }
    int trnid = number(emi->item[ucp::ITEM_TRN]);
    const char* orFlag = emi->item[ucp::ITEM_OR];
    int sign = equals(orFlag, "O") ? 1 : equals(orFlag, "R") ? -1 : 0;
    int opType = number(emi->item[ucp::ITEM_OT]) * sign;
    emi->msg.op_type = static_cast<op_t>(opType);
    vessa_trace("emi_read: operation_type=%d\n", opType);

    msg_t* m = &emi->msg;
    switch (opType) {
        case EMI_DELIVERY_SM_2: {
            m->uu.submit.to = text(emi, ADC_01);
            m->uu.submit.from = text(emi, OADC_01);
            const char* mt = text(emi, MT_01);
            if (equals(mt, "2")) {
                m->uu.submit.text = text(emi, MSG_01);
            } else if (equals(mt, "3")) {
                m->uu.submit.text = ia5_decode(emi->decoded, sizeof emi->decoded, text(emi, MSG_01));
            } else {
                return EMI_NOT_SUPP;
            }
            break;
        }
        case EMI_DELIVERY_SM: {
            m->uu.submit.to = text(emi, ADC);
            m->uu.submit.from = text(emi, OADC);
            m->uu.submit.validity = optional(emi, VP);
            m->uu.submit.timestamp = text(emi, SCTS);
            const char* mt = text(emi, MT);
            if (equals(mt, "2")) {
                m->uu.submit.text = text(emi, MSG);
            } else if (equals(mt, "3")) {
                m->uu.submit.text = ia5_decode(emi->decoded, sizeof emi->decoded, text(emi, MSG));
            } else if (equals(mt, "4")) {
                m->uu.submit.numbits = number(text(emi, NB));
                m->uu.submit.text = text(emi, MSG);
            } else {
                return EMI_NOT_SUPP;
            }
            m->uu.submit.bit8 = equals(mt, "4") ? 1 : number(text(emi, DCS));
            m->uu.submit.msg_class = number(text(emi, MCLS));
            m->uu.submit.xservices = optional(emi, XSER);
            break;
        }
        case EMI_DELIVERY_NOTIF:
            m->uu.submit.to = text(emi, ADC);
            m->uu.submit.from = text(emi, OADC);
            m->uu.submit.timestamp = text(emi, SCTS);
            m->uu.submit.deliv_status = static_cast<dst_t>(number(text(emi, DST)));
            m->uu.submit.deliv_reasoncode = number(text(emi, RSN));
            m->uu.submit.deliv_timestamp = text(emi, DSCTS);
            if (equals(text(emi, MT), "3")) {
                m->uu.submit.text = ia5_decode(emi->decoded, sizeof emi->decoded, text(emi, MSG));
            } else {
                m->uu.submit.text = EMPTY;
            }
            break;
        case -EMI_SUBMIT_SM:
            m->uu.response.ack = text(emi, ACK)[0] == 'A' ? 1 : 0;
            if (!m->uu.response.ack) {
                m->uu.response.errcode = number(text(emi, ERROR_OR_MESSAGE));
            }
            m->uu.response.sysmsg = optional(emi, NACK_MESSAGE);
            break;
        case -EMI_INIT:
        case -EMI_ALERT:
            m->uu.response.ack = text(emi, ACK)[0] == 'A' ? 1 : 0;
            if (m->uu.response.ack) {
                m->uu.response.sysmsg = text(emi, ERROR_OR_MESSAGE);
            } else {
                m->uu.response.errcode = number(text(emi, ERROR_OR_MESSAGE));
                m->uu.response.sysmsg = text(emi, NACK_MESSAGE);
            }
            break;
        default: return EMI_UNKNOWN_OP;
    }
    if (opType < 0) {
        ucp_unget_trnid(emi, trnid);
    }
    return trnid;
}

err_t emi_ack(int ack, int operation, int trnid, EMI emi) {
    vessa_trace("emi_ack: ack=%d; operation=%d; trnid=%d; emi=%lx\n", ack, operation, trnid, vessa_ptr(emi));
    if (!emi) {
        return EMI_NULL;
    }
    int op = operation < 0 ? -operation : operation;
    if (op != EMI_DELIVERY_SM_2 && op != EMI_DELIVERY_SM && op != EMI_DELIVERY_NOTIF) {
        return EMI_UNKNOWN_OP;
    }
    // ACK with an empty message (and for 52 and 53 an empty MVP); NACK with
    // error code 04 (operation not allowed) and an empty message.
    UcpFields fields;
    if (!ack) {
        fields = {"N", "04", ""};
    } else if (op == EMI_DELIVERY_SM_2) {
        fields = {"A", ""};
    } else {
        fields = {"A", "", ""};
    }
    return static_cast<err_t>(ucp_send(emi, -op, trnid, fields));
}

int emi_alert(EMI emi) {
    vessa_trace("emi_alert: emi=%lx\n", vessa_ptr(emi));
    if (!emi) {
        return EMI_NULL;
    }
    const char* adc;
    const char* pid;
    notificationFromAlert(emi, &adc, &pid);
    UcpFields fields(ALERT_FIELDS);
    fields[ALERT_ADC] = upTo(adc, NADC_WIDTH);
    fields[ALERT_PID] = pid;
    return ucp_send_new(emi, EMI_ALERT, fields);
}

int emi_submit1(EMI emi, const char* from, const char* to, const char* text, const int notif_type) {
    vessa_trace("emi_submit1: emi=%lx; from=%s; to=%s; text=%s\n", vessa_ptr(emi), vessa_str(from), vessa_str(to),
                vessa_str(text));
    if (!emi) {
        return EMI_NULL;
    }
    char adc[VESSA_ADC_DIGITS + 1];
    if (emi_destination(to, adc, sizeof adc) < 0) {
        return ucp_refuse_field("destination", to);
    }
    int rc = emi_check_throughput(emi);
    if (rc != 0) {
        return rc;
    }
    Originator o;
    classifyOriginator(emi, from, &o);
    bool notify = notif_type >= 0;
    const char* nadc = EMPTY;
    const char* npid = EMPTY;
    if (notify && o.alphanumeric) {
        notificationFromAlert(emi, &nadc, &npid);
    }
    char msg[VESSA_DECODE_SIZE];
    ia5_encode(msg, sizeof msg, text ? text : EMPTY);
    UcpFields fields = submissionFields();
    at(fields, ADC) = adc;
    at(fields, OADC) = upTo(o.oadc, OADC_WIDTH);
    if (notify) {
        at(fields, NRQ) = "1";
        at(fields, NT) = std::to_string(notif_type).substr(0, 1);
    }
    at(fields, NADC) = upTo(nadc, NADC_WIDTH);
    at(fields, NPID) = upTo(npid, NPID_WIDTH);
    at(fields, MT) = "3";
    at(fields, MSG) = upTo(msg, MSG_WIDTH);
    at(fields, OTOA) = o.otoa;
    return sendSubmission(emi, fields);
}

int emi_submit2(EMI emi) {
    vessa_trace("emi_submit2: emi=%lx\n", vessa_ptr(emi));
    if (!emi) {
        return EMI_NULL;
    }
    // The request may point into the frame buffer: compose it before the
    // buffer is overwritten.
    const auto& r = emi->msg.uu.submit;
    char adc[VESSA_ADC_DIGITS + 1];
    if (emi_destination(r.to, adc, sizeof adc) < 0) {
        return ucp_refuse_field("destination", r.to);
    }
    // Checked whole, before anything is composed: also a notification
    // address that an alphanumeric originator does not send.
    for (const char* value : {r.notif_addr, r.validity, r.xservices}) {
        if (!ucp_safe_field(value)) {
            return ucp_refuse_field("field", value);
        }
    }
    if (r.bit8 && !ucp_safe_field(r.text)) {
        return ucp_refuse_field("8-bit text", r.text);
    }
    int rc = emi_check_throughput(emi);
    if (rc != 0) {
        return rc;
    }
    Originator o;
    classifyOriginator(emi, r.from, &o);
    bool notify = r.notif_addr != nullptr;
    const char* nadc = EMPTY;
    const char* npid = EMPTY;
    if (notify) {
        if (o.alphanumeric) {
            notificationFromAlert(emi, &nadc, &npid);
        } else if (r.notif_addr[0] != '\0') {
            nadc = r.notif_addr;
            npid = "0539";
        }
    }
    std::string msg;
    if (r.bit8) {
        msg = upTo(r.text ? r.text : EMPTY, MSG_WIDTH);
    } else {
        char encoded[VESSA_DECODE_SIZE];
        ia5_encode(encoded, sizeof encoded, r.text ? r.text : EMPTY);
        msg = upTo(encoded, MSG_WIDTH);
    }
    UcpFields fields = submissionFields();
    at(fields, ADC) = adc;
    at(fields, OADC) = upTo(o.oadc, OADC_WIDTH);
    if (notify) {
        at(fields, NRQ) = "1";
        at(fields, NT) = std::to_string(r.notif_type).substr(0, 1);
    }
    at(fields, NADC) = upTo(nadc, NADC_WIDTH);
    at(fields, NPID) = upTo(npid, NPID_WIDTH);
    at(fields, VP) = upTo(r.validity ? r.validity : EMPTY, VP_WIDTH);
    // RPID: four digits; a negative one is sent as 0000, 0 not at all.
    if (r.rpid != 0) {
        at(fields, RPID) = r.rpid > 0 ? padded(r.rpid, 4).substr(0, 4) : "0000";
    }
    at(fields, MT) = r.bit8 ? "4" : "3";
    if (r.bit8) {
        at(fields, NB) = padded(r.numbits, 4).substr(0, 4);
        at(fields, DCS) = "1";
    }
    at(fields, MSG) = msg;
    if (r.priority) {
        at(fields, PR) = "1";
    }
    if (r.msg_class >= 0) {
        at(fields, MCLS) = std::to_string(r.msg_class);
    }
    at(fields, OTOA) = o.otoa;
    at(fields, XSER) = upTo(r.xservices ? r.xservices : EMPTY, XSER_WIDTH);
    return sendSubmission(emi, fields);
}

int emi_destination(const char* to, char* adc, int size) {
    if (!to) {
        return EMI_BADFIELD;
    }
    const char* prefix = "00420";
    const char* number = to;
    if (std::strncmp(to, "+420", 4) == 0) {
        number = to + 4;
    } else if (std::strncmp(to, "00420", 5) == 0) {
        number = to + 5;
    } else if (to[0] == '+' || std::strncmp(to, "00", 2) == 0) {
        // Another country: its code never begins with 0.
        prefix = "00";
        number = to + (to[0] == '+' ? 1 : 2);
        if (number[0] == '0') {
            return EMI_BADFIELD;
        }
    } else if (to[0] == '0') {
        number = to + 1;
    }
    if (!digitsOnly(number)) {
        return EMI_BADFIELD;
    }
    size_t length = std::strlen(prefix) + std::strlen(number);
    if (length > VESSA_ADC_DIGITS) {
        return EMI_BADFIELD;
    }
    if (adc) {
        if (size <= static_cast<int>(length)) {
            return EMI_BADFIELD;
        }
        std::snprintf(adc, static_cast<size_t>(size), "%s%s", prefix, number);
    }
    return static_cast<int>(length);
}

int emi_check_trntable(EMI emi, int timeout) {
    if (!emi) {
        return 0;
    }
    struct timeval now;
    vessa_now(&now);
    for (int id = 1; id <= VESSA_TRN_IDS; ++id) {
        int k = id - 1;
        bool taken = !(emi->trn[k / 8] & (1u << (7 - k % 8)));
        if (taken && now.tv_sec - emi->trn_time_tbl[k] > timeout) {
            ucp_unget_trnid(emi, id);
            return id;
        }
    }
    return 0;
}

int emi_check_throughput(EMI emi) {
    if (!emi) {
        return EMI_NULL;
    }
    struct timeval now;
    vessa_now(&now);
    const struct timeval& start = emi->tv_thrput;
    long seconds = static_cast<long>(now.tv_sec - start.tv_sec);
    bool past = seconds >= 2 || (seconds == 1 && now.tv_usec > start.tv_usec);
    // A clock set back would otherwise hold the window until it caught up.
    bool backwards = seconds < 0 || (seconds == 0 && now.tv_usec < start.tv_usec);
    if (past || backwards) {
        emi->tv_thrput = now;
        emi->act_throughput = 0;
        return 0;
    }
    // One submission per window when the limit is 0 or less; the same rule
    // for every call, so a caller's check and the submission's own agree.
    int limit = emi->max_throughput > 0 ? emi->max_throughput : 1;
    return emi->act_throughput < limit ? 0 : EMI_THRPUT;
}

const char* emi_strerror(err_t errcode) {
    switch (errcode) {
        case EMI_TIMEOUT: return "Timeout";
        case EMI_BADCRC: return "Bad checksum";
        case EMI_NOTRNID: return "No free transaction ID";
        case EMI_UNKNOWN_OP: return "Unknown (or not implemented) operation";
        case EMI_NOT_SUPP: return "Feature not supported in this release";
        case EMI_INITERR: return "Initialization failure";
        case EMI_NULL: return "Null EMI pointer";
        case EMI_THRPUT: return "Data throughput overloaded";
        case EMI_BADFRAME: return "Malformed frame";
        case EMI_TOOLONG: return "Request too long for one frame";
        case EMI_BADFIELD: return "Field value not allowed";
        case EMI_NOSYNC: return "Frame synchronisation lost";
        case EMI_CLOSED: return "Connection closed by the peer";
        default: return std::strerror(errno);
    }
}

}  // extern "C"
