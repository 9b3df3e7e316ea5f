// Inside of libvessa: the handle record and the transport, framing and IA5
// helpers. Not installed; the library's own tests include it.
#ifndef VESSA_INTERNAL_H
#define VESSA_INTERNAL_H

#include <sys/time.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "vessa.h"

typedef int SOCKET;

// Layout of a UCP frame: STX, the header "TT/LLLLL/X/OO/", the data fields
// each closed by "/", the checksum as two hex digits, ETX. LEN counts from
// the first TRN digit to the last checksum digit; the offsets below count
// from the first TRN digit too.
namespace ucp {
const char STX = 0x02;
const char ETX = 0x03;
const char SEPARATOR = '/';
const int TRN_AT = 0;
const int TRN_DIGITS = 2;
const int LEN_AT = TRN_AT + TRN_DIGITS + 1;
const int LEN_DIGITS = 5;
const int OR_AT = LEN_AT + LEN_DIGITS + 1;  // 'O' operation, 'R' result
const int OT_AT = OR_AT + 1 + 1;
const int OT_DIGITS = 2;
const int HEADER_SIZE = OT_AT + OT_DIGITS + 1;  // with the separator closing it
const int CHECKSUM_DIGITS = 2;
// Largest TRN and OT of two digits, and the largest LEN of five.
const int MAX_TRN = 99;
const int MAX_OT = 99;
const int MAX_LEN_FIELD = 99999;
// Slots of the header fields in emi_t::item after ucp_read; data field k
// (from 1) is in slot HEADER_ITEMS - 1 + k.
const int ITEM_TRN = 0;
const int ITEM_OR = 2;
const int ITEM_OT = 3;
const int HEADER_ITEMS = 4;
}  // namespace ucp

enum {
    VESSA_BUFFER_SIZE = 1024,
    VESSA_ITEMS = 50,
    VESSA_TRN_IDS = 96,
    VESSA_ADDR_SIZE = 32,
    VESSA_DECODE_SIZE = 641,
    // Header, checksum, STX, ETX and terminator leave this much data.
    VESSA_MAX_DATA = VESSA_BUFFER_SIZE - 1 - ucp::HEADER_SIZE - ucp::CHECKSUM_DIGITS - 1 - 1,
    // Header, one empty data field and the checksum.
    VESSA_MIN_LEN = ucp::HEADER_SIZE + 1 + ucp::CHECKSUM_DIGITS,
    VESSA_MAX_LEN = VESSA_BUFFER_SIZE - 1,
    VESSA_DEADLINE = 5,
    // Longest frame a five-digit LEN can announce, with its ETX: a frame end
    // further away than this means the stream is out of step.
    VESSA_MAX_FRAME = ucp::MAX_LEN_FIELD + 1,
    // The protocol's address field (AdC) holds at most 16 digits.
    VESSA_ADC_DIGITS = 16,
    // Bytes read from the socket ahead of the frame being decoded: one
    // recv() takes every frame that is waiting, not a byte or a frame each.
    VESSA_INPUT_SIZE = 16384,
};

typedef struct emi_s {
    SOCKET sock;
    unsigned char trn[VESSA_TRN_IDS / 8];
    char buffer[VESSA_BUFFER_SIZE];
    char* item[VESSA_ITEMS];
    int window_sz;
    char origin_addr[VESSA_ADDR_SIZE];
    char alert_addr[VESSA_ADDR_SIZE];
    msg_t msg;
    time_t trn_time_tbl[VESSA_TRN_IDS];
    int max_throughput;
    int act_throughput;
    struct timeval tv_thrput;
    // Decoded texts of this handle's last frame.
    char decoded[VESSA_DECODE_SIZE];
    // Number of item slots filled by the last ucp_read (header, data, checksum).
    int items;
    // Part of `buffer` that traces show as asterisks (the login password).
    int mask_off;
    int mask_len;
    // Received and not yet consumed: input[input_start, input_end).
    char input[VESSA_INPUT_SIZE];
    size_t input_start;
    size_t input_end;
} emi_t;

// Clock of transaction-id ages and of the throughput window. Tests replace
// it to move time; null (the default) means gettimeofday. Test use only.
extern void (*vessa_test_clock)(struct timeval* now);
void vessa_now(struct timeval* now);

// Where trace lines go; null (the default) means standard error. Test use
// only (the fuzzer keeps its output readable with it).
extern FILE* vessa_trace_file;
// Trace line to standard error.
void vessa_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Whether trace lines are written (emi_trace).
bool vessa_tracing();
// Pointer value as the trace lines print it (hex digits).
inline unsigned long vessa_ptr(const void* p) { return reinterpret_cast<unsigned long>(p); }
// A string for "%s" that may be null.
inline const char* vessa_str(const char* s) { return s ? s : "(null)"; }

SOCKET tcp_init(const char* hostname, unsigned short port);
void tcp_destroy(SOCKET sock);
int tcp_write(emi_t* emi, const char* buf, size_t size);
// Reads go through the handle's input buffer: what one recv() brought
// beyond the bytes asked for waits there for the next read.
int tcp_read(emi_t* emi, char* buf, size_t sz);
// Bytes received and not yet consumed by a read.
size_t tcp_buffered(const emi_t* emi);
// Reads the rest of a frame after its STX: every byte up to and including
// the next ETX, or up to (not including) the next STX, which begins another
// frame; nothing behind that end is consumed. The first `size` bytes land in
// `buf`, further ones are read and dropped; at most `limit` bytes are taken.
// *length is the number taken, *end the ETX or STX that ended them, or 0
// when `limit` was reached first. 0, EMI_SOCKERR, EMI_CLOSED or EMI_TIMEOUT.
int tcp_read_frame_rest(emi_t* emi, char* buf, size_t size, size_t limit, size_t* length, char* end);

// The data fields of one outgoing frame, in order.
typedef std::vector<std::string> UcpFields;
// Sends the frame of `operation` (negated for its result) with transaction
// id `trnid`: the header, each of `fields` closed by "/", then LEN and the
// checksum, composed in the handle's buffer. A field holding "/" or a
// control character, which would end its field or the frame, is refused
// with EMI_BADFIELD; data that does not fit one frame with EMI_TOOLONG; a
// TRN or OT that is not two digits with EMI_BADFRAME; none of these sends
// anything. Field number `secret` (from 0; -1 for none) shows as asterisks
// in the trace. 0, or the error of the write.
int ucp_send(emi_t* emi, int operation, int trnid, const UcpFields& fields, int secret = -1);
// ucp_send with the lowest free transaction id, taken only once the frame
// can be sent (else EMI_NOTRNID): that id, or an error. After a failed
// write the id stays taken.
int ucp_send_new(emi_t* emi, int operation, const UcpFields& fields);
// Whether a value can be sent as a field as it is: "/" would end its field
// and a control character (STX, ETX, ...) could end the frame.
bool ucp_safe_field(const char* s);
// Traces the refusal of `value` as `what` and returns EMI_BADFIELD.
int ucp_refuse_field(const char* what, const char* value);
int ucp_read(emi_t* emi);
int ucp_get_trnid(emi_t* emi);
void ucp_unget_trnid(emi_t* emi, int trnid);
int ucp_init(emi_t* emi, const char* password);

char ia5_tohex(int cc);
int ia5_tonum(char ch);
char* ia5_encode(char* buf, int bufsz, const char* str);
char* ia5_encode_oadc(char* buf, int bufsz, const char* str);
// ia5_encode for a password: its traces show asterisks instead.
char* ia5_encode_secret(char* buf, int bufsz, const char* str);
char* ia5_decode(char* buf, int bufsz, const char* str);
int ia5_is_numeric(const char* str);

#endif
