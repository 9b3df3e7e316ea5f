// Inside of libvessa: the handle record and the transport, framing and IA5
// helpers. Not installed; the library's own tests include it.
#ifndef VESSA_INTERNAL_H
#define VESSA_INTERNAL_H

#include <sys/time.h>

#include <cstddef>
#include <cstdio>
#include <ctime>

#include "vessa.h"

typedef int SOCKET;

enum {
    VESSA_BUFFER_SIZE = 1024,
    VESSA_ITEMS = 50,
    VESSA_TRN_IDS = 96,
    VESSA_ADDR_SIZE = 32,
    VESSA_DECODE_SIZE = 641,
    // Header (14), checksum (2), STX, ETX and terminator leave this much data.
    VESSA_MAX_DATA = VESSA_BUFFER_SIZE - 1 - 14 - 2 - 1 - 1,
    VESSA_MIN_LEN = 17,
    VESSA_MAX_LEN = VESSA_BUFFER_SIZE - 1,
    VESSA_DEADLINE = 5,
    // Longest frame a five-digit LEN can announce, with its ETX: a frame end
    // further away than this means the stream is out of step.
    VESSA_MAX_FRAME = 99999 + 1,
    // The protocol's address field (AdC) holds at most 16 digits.
    VESSA_ADC_DIGITS = 16,
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
int tcp_read(emi_t* emi, char* buf, size_t sz);
// Reads the rest of a frame after its STX: every byte up to and including
// the next ETX, or up to (not including) the next STX, which begins another
// frame; nothing behind that end is consumed. The first `size` bytes land in
// `buf`, further ones are read and dropped; at most `limit` bytes are taken.
// *length is the number taken, *end the ETX or STX that ended them, or 0
// when `limit` was reached first. 0, EMI_SOCKERR or EMI_TIMEOUT.
int tcp_read_frame_rest(emi_t* emi, char* buf, size_t size, size_t limit, size_t* length, char* end);

int ucp_write(int operation, int trnid, emi_t* emi);
int ucp_read(emi_t* emi);
int ucp_get_trnid(emi_t* emi);
void ucp_unget_trnid(emi_t* emi, int trnid);
int ucp_init(emi_t* emi, const char* password);
// Copies `data` behind the header position of `buffer`; EMI_TOOLONG (nothing
// copied) when it does not fit one frame.
int ucp_set_data(emi_t* emi, const char* data, size_t len);

char ia5_tohex(int cc);
int ia5_tonum(char ch);
char* ia5_encode(emi_t* emi, char* buf, int bufsz, const char* str);
char* ia5_encode_oadc(emi_t* emi, char* buf, int bufsz, const char* str);
// ia5_encode for a password: its traces show asterisks instead.
char* ia5_encode_secret(char* buf, int bufsz, const char* str);
char* ia5_decode(emi_t* emi, char* buf, int bufsz, const char* str);
int ia5_is_numeric(const char* str);

#endif
