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

// Data field k (from 1) of the last frame read, or null when it has fewer.
const char* field(const emi_t* emi, int k)
{
    int slot = 3 + k;
    if (k < 1 || slot >= emi->items - 1) {
        return nullptr;
    }
    return emi->item[slot];
}

// Field k, or the empty string when the frame has fewer fields.
const char* text(const emi_t* emi, int k)
{
    const char* f = field(emi, k);
    return f ? f : EMPTY;
}

// Field k when present and not empty, else null.
const char* optional(const emi_t* emi, int k)
{
    const char* f = field(emi, k);
    return f && *f ? f : nullptr;
}

// Leading-digits conversion; empty and junk give 0, huge values saturate.
int number(const char* s)
{
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

void copyAddress(char* dst, const char* src)
{
    std::snprintf(dst, VESSA_ADDR_SIZE, "%s", src ? src : "");
}

// Originator fields of a submission.
struct Originator {
    char oadc[25];
    const char* otoa;
    bool alphanumeric;
};

void classifyOriginator(emi_t* emi, const char* from, Originator* o)
{
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
        ia5_encode_oadc(emi, o->oadc, sizeof o->oadc, from);
    }
}

// NAdC and NPID taken from the alert address.
void notificationFromAlert(const emi_t* emi, const char** nadc, const char** npid)
{
    const char* alert = emi->alert_addr;
    if (alert[0] == '+') {
        *nadc = alert + 1;
        *npid = "0439";
    } else {
        *nadc = alert;
        *npid = std::strlen(alert) > 8 ? "0439" : "0539";
    }
}

// Whether a value may be sent as it is: "/" would end its field and a
// control character (STX, ETX, ...) could end the frame.
bool safeField(const char* s)
{
    for (; s && *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '/' || c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

bool digitsOnly(const char* s)
{
    return *s && ia5_is_numeric(s);
}

int refuseField(const char* what, const char* value)
{
    vessa_trace("emi: %s refused: '%s'\n", what, vessa_str(value));
    return EMI_BADFIELD;
}

// Takes an id and sends the composed submission; counts it in the window.
int sendSubmission(emi_t* emi, const std::string& data)
{
    if (data.size() > VESSA_MAX_DATA) {
        vessa_trace("emi_submit: request too long (%zu characters)\n", data.size());
        return EMI_TOOLONG;
    }
    int id = ucp_get_trnid(emi);
    if (id < 0) {
        return id;
    }
    ucp_set_data(emi, data.data(), data.size());
    int rc = ucp_write(EMI_SUBMIT_SM, id, emi);
    if (rc != 0) {
        return rc;
    }
    emi->act_throughput++;
    return id;
}

template <typename... Args>
std::string format(const char* fmt, Args... args)
{
    int n = std::snprintf(nullptr, 0, fmt, args...);
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&out[0], out.size(), fmt, args...);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace

extern "C" {

err_t emi_init(EMI* emi, const char* hostname, unsigned short port, const char* password,
               const char* origin_addr, const char* alert_addr, int window_sz, int throughput)
{
    vessa_trace("emi_init: emi=%lx; hostname=%s; port=%d; password=%s; originator=%s; alert=%s\n",
                vessa_ptr(emi), vessa_str(hostname), port, password ? "********" : "(null)",
                vessa_str(origin_addr), vessa_str(alert_addr));
    if (!emi) {
        return EMI_NULL;
    }
    if (!hostname || !password || !origin_addr) {
        return EMI_INITERR;
    }
    if (!safeField(origin_addr) || !safeField(alert_addr)) {
        return static_cast<err_t>(refuseField("address", safeField(origin_addr) ? alert_addr : origin_addr));
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

void emi_destroy(EMI emi)
{
    if (!emi) {
        return;
    }
    tcp_destroy(emi->sock);
    std::free(emi);
}

int emi_select(EMI emi)
{
    if (!emi) {
        return EMI_NULL;
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

int emi_socket(EMI emi)
{
    return emi ? emi->sock : EMI_NULL;
}

int emi_free_trnids(EMI emi)
{
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

msg_t* emi_msg(EMI emi)
{
    return emi ? &emi->msg : nullptr;
}

int emi_read(EMI emi)
{
    vessa_trace("emi_read: emi=%lx\n", vessa_ptr(emi));
    if (!emi) {
        return EMI_NULL;
    }
    std::memset(&emi->msg, 0, sizeof emi->msg);
    int rc = ucp_read(emi);
    if (rc != 0) {
        return rc;
    }
    int trnid = number(emi->item[0]);
    int sign = equals(emi->item[2], "O") ? 1 : equals(emi->item[2], "R") ? -1 : 0;
    int opType = number(emi->item[3]) * sign;
    emi->msg.op_type = static_cast<op_t>(opType);
    vessa_trace("emi_read: operation_type=%d\n", opType);

    msg_t* m = &emi->msg;
    switch (opType) {
    case EMI_DELIVERY_SM_2: {
        m->uu.submit.to = text(emi, 1);
        m->uu.submit.from = text(emi, 2);
        const char* mt = text(emi, 4);
        if (equals(mt, "2")) {
            m->uu.submit.text = text(emi, 5);
        } else if (equals(mt, "3")) {
            m->uu.submit.text = ia5_decode(emi, emi->decoded, sizeof emi->decoded, text(emi, 5));
        } else {
            return EMI_NOT_SUPP;
        }
        break;
    }
    case EMI_DELIVERY_SM: {
        m->uu.submit.to = text(emi, 1);
        m->uu.submit.from = text(emi, 2);
        m->uu.submit.validity = optional(emi, 13);
        m->uu.submit.timestamp = text(emi, 15);
        const char* mt = text(emi, 19);
        if (equals(mt, "2")) {
            m->uu.submit.text = text(emi, 21);
        } else if (equals(mt, "3")) {
            m->uu.submit.text = ia5_decode(emi, emi->decoded, sizeof emi->decoded, text(emi, 21));
        } else if (equals(mt, "4")) {
            m->uu.submit.numbits = number(text(emi, 20));
            m->uu.submit.text = text(emi, 21);
        } else {
            return EMI_NOT_SUPP;
        }
        m->uu.submit.bit8 = equals(mt, "4") ? 1 : number(text(emi, 24));
        m->uu.submit.msg_class = number(text(emi, 25));
        m->uu.submit.xservices = optional(emi, 31);
        break;
    }
    case EMI_DELIVERY_NOTIF:
        m->uu.submit.to = text(emi, 1);
        m->uu.submit.from = text(emi, 2);
        m->uu.submit.timestamp = text(emi, 15);
        m->uu.submit.deliv_status = static_cast<dst_t>(number(text(emi, 16)));
        m->uu.submit.deliv_reasoncode = number(text(emi, 17));
        m->uu.submit.deliv_timestamp = text(emi, 18);
        if (equals(text(emi, 19), "3")) {
            m->uu.submit.text = ia5_decode(emi, emi->decoded, sizeof emi->decoded, text(emi, 21));
        } else {
            m->uu.submit.text = EMPTY;
        }
        break;
    case -EMI_SUBMIT_SM:
        m->uu.response.ack = text(emi, 1)[0] == 'A' ? 1 : 0;
        if (!m->uu.response.ack) {
            m->uu.response.errcode = number(text(emi, 2));
        }
        m->uu.response.sysmsg = optional(emi, 3);
        break;
    case -EMI_INIT:
    case -EMI_ALERT:
        m->uu.response.ack = text(emi, 1)[0] == 'A' ? 1 : 0;
        if (m->uu.response.ack) {
            m->uu.response.sysmsg = text(emi, 2);
        } else {
            m->uu.response.errcode = number(text(emi, 2));
            m->uu.response.sysmsg = text(emi, 3);
        }
        break;
    default:
        return EMI_UNKNOWN_OP;
    }
    if (opType < 0) {
        ucp_unget_trnid(emi, trnid);
    }
    return trnid;
}

err_t emi_ack(int ack, int operation, int trnid, EMI emi)
{
    vessa_trace("emi_ack: ack=%d; operation=%d; trnid=%d; emi=%lx\n", ack, operation, trnid,
                vessa_ptr(emi));
    if (!emi) {
        return EMI_NULL;
    }
    int op = operation < 0 ? -operation : operation;
    const char* data;
    if (op == EMI_DELIVERY_SM_2) {
        data = ack ? "A//" : "N/04//";
    } else if (op == EMI_DELIVERY_SM || op == EMI_DELIVERY_NOTIF) {
        data = ack ? "A///" : "N/04//";
    } else {
        return EMI_UNKNOWN_OP;
    }
    ucp_set_data(emi, data, std::strlen(data));
    return static_cast<err_t>(ucp_write(-op, trnid, emi));
}

int emi_alert(EMI emi)
{
    vessa_trace("emi_alert: emi=%lx\n", vessa_ptr(emi));
    if (!emi) {
        return EMI_NULL;
    }
    const char* alert = emi->alert_addr;
    std::string data;
    if (alert[0] == '+') {
        data = format("%.16s/0439/", alert + 1);
    } else {
        data = format("%.16s/%s/", alert, std::strlen(alert) > 8 ? "0439" : "0539");
    }
    int id = ucp_get_trnid(emi);
    if (id < 0) {
        return id;
    }
    ucp_set_data(emi, data.data(), data.size());
    int rc = ucp_write(EMI_ALERT, id, emi);
    return rc != 0 ? rc : id;
}

int emi_submit1(EMI emi, const char* from, const char* to, const char* text, const int notif_type)
{
    vessa_trace("emi_submit1: emi=%lx; from=%s; to=%s; text=%s\n", vessa_ptr(emi), vessa_str(from),
                vessa_str(to), vessa_str(text));
    if (!emi) {
        return EMI_NULL;
    }
    char adc[VESSA_ADC_DIGITS + 1];
    if (emi_destination(to, adc, sizeof adc) < 0) {
        return refuseField("destination", to);
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
    std::string nt = notify ? format("%d", notif_type) : std::string();
    char msg[VESSA_DECODE_SIZE];
    ia5_encode(emi, msg, sizeof msg, text ? text : EMPTY);
    std::string data =
        format("%s/%.24s//%.1s/%.16s/%.1s/%.4s////////////3//%.640s////////%.4s/////",
               adc, o.oadc, notify ? "1" : "", nadc, nt.c_str(), npid, msg, o.otoa);
    return sendSubmission(emi, data);
}

int emi_submit2(EMI emi)
{
    vessa_trace("emi_submit2: emi=%lx\n", vessa_ptr(emi));
    if (!emi) {
        return EMI_NULL;
    }
    // The request may point into the frame buffer: compose it before the
    // buffer is overwritten.
    const auto& r = emi->msg.uu.submit;
    char adc[VESSA_ADC_DIGITS + 1];
    if (emi_destination(r.to, adc, sizeof adc) < 0) {
        return refuseField("destination", r.to);
    }
    if (!safeField(r.notif_addr) || !safeField(r.validity) || !safeField(r.xservices)) {
        return refuseField("field", !safeField(r.notif_addr) ? r.notif_addr
                                    : !safeField(r.validity) ? r.validity : r.xservices);
    }
    if (r.bit8 && !safeField(r.text)) {
        return refuseField("8-bit text", r.text);
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
        } else {
            nadc = r.notif_addr;
            npid = "0539";
        }
    }
    std::string nt = notify ? format("%d", r.notif_type) : std::string();
    std::string rpid = r.rpid > 0 ? format("%.4d", r.rpid) : r.rpid < 0 ? "0000" : "";
    std::string nb = r.bit8 ? format("%.4d", r.numbits) : std::string();
    std::string msg;
    if (r.bit8) {
        msg = r.text ? r.text : EMPTY;
    } else {
        char encoded[VESSA_DECODE_SIZE];
        ia5_encode(emi, encoded, sizeof encoded, r.text ? r.text : EMPTY);
        msg = encoded;
    }
    std::string data = format(
        "%s/%.24s//%.1s/%.16s/%.1s/%.4s//////%.10s/%.4s/////%.1d/%.4s/%.640s//%.1s/%.1s/"
        "%.1d////%.4s//%.400s///",
        adc, o.oadc, notify ? "1" : "", nadc, nt.c_str(), npid,
        r.validity ? r.validity : EMPTY, rpid.c_str(), r.bit8 ? 4 : 3, nb.c_str(), msg.c_str(),
        r.priority ? "1" : "", r.bit8 ? "1" : "", r.msg_class, o.otoa,
        r.xservices ? r.xservices : EMPTY);
    return sendSubmission(emi, data);
}

int emi_destination(const char* to, char* adc, int size)
{
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

int emi_check_trntable(EMI emi, int timeout)
{
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

int emi_check_throughput(EMI emi)
{
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

const char* emi_strerror(err_t errcode)
{
    switch (errcode) {
    case EMI_TIMEOUT:
        return "Timeout";
    case EMI_BADCRC:
        return "Bad checksum";
    case EMI_NOTRNID:
        return "No free transaction ID";
    case EMI_UNKNOWN_OP:
        return "Unknown (or not implemented) operation";
    case EMI_NOT_SUPP:
        return "Feature not supported in this release";
    case EMI_INITERR:
        return "Initialization failure";
    case EMI_NULL:
        return "Null EMI pointer";
    case EMI_THRPUT:
        return "Data throughput overloaded";
    case EMI_BADFRAME:
        return "Malformed frame";
    case EMI_TOOLONG:
        return "Request too long for one frame";
    case EMI_BADFIELD:
        return "Field value not allowed";
    case EMI_NOSYNC:
        return "Frame synchronisation lost";
    default:
        return std::strerror(errno);
    }
}

}  // extern "C"
