/*
 * libvessa: client side of the EMI/UCP protocol over TCP.
 *
 * A session is one handle (EMI): emi_init connects and logs in, emi_destroy
 * closes the connection. Submissions and alerts take a transaction id from a
 * window of 1..window_sz (at most 96); results read with emi_read give them
 * back, emi_check_trntable expires those whose result never came.
 *
 * Every call and every frame is traced to standard error; the login's
 * password shows there as asterisks only.
 *
 * Threads: a handle belongs to one thread at a time. Different handles are
 * independent, also their decoded texts (each handle has its own buffer).
 *
 * Strings: every string in the msg_t record filled by emi_read belongs to
 * the handle and stays valid until the next frame is read or composed on the
 * same handle (emi_read, emi_ack, emi_alert, emi_submit1, emi_submit2).
 * Copy what you keep.
 *
 * Limits:
 * - A received frame is what lies between an STX and the next ETX. It must
 *   have 17 <= LEN <= 1023, LEN equal to its real length, a well-formed
 *   header ("TT/LLLLL/X/OO/", TT and LLLLL decimal) and at most 45 data
 *   fields; any other frame is refused with EMI_BADFRAME, one with a wrong
 *   checksum with EMI_BADCRC. Either way the frame has been read to its end
 *   and the session stays in step: when the frame was an operation whose
 *   header can be read, the library has answered it with the protocol's
 *   negative result (error 01 for the checksum, 02 otherwise). Only a
 *   stream without a frame end within 100000 bytes of an STX is out of
 *   step: EMI_NOSYNC, after which the session should be closed.
 * - Fields are sent as given, so a value that holds "/" or a control
 *   character would end the field or the frame early: such a request
 *   (destination, notification address, validity, extra services, an 8-bit
 *   text, or emi_init's origin and alert addresses) is refused with
 *   EMI_BADFIELD before anything is sent. So is a destination that is not a
 *   number or does not fit the 16 digits of the address field (see
 *   emi_destination).
 * - A request whose frame would not fit the 1024-byte frame buffer (at most
 *   1005 data characters) is refused with EMI_TOOLONG before anything is
 *   sent and before a transaction id is taken.
 * - The origin and alert addresses of emi_init are cut to 31 characters.
 * - Texts are sent as IA5 (7-bit ASCII). A byte above 0x7F has no IA5 code
 *   and is sent as '?' (0x3F), in message texts and in alphanumeric
 *   originators alike. When a hex text with an odd number of digits is
 *   decoded, the unpaired last digit is dropped.
 */
#ifndef VESSA_H
#define VESSA_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VESSA_API __attribute__((visibility("default")))
#else
#define VESSA_API
#endif

/* The enumerations below hold any int value: results are negated operation
 * types and statuses are numbers read from the wire. */
#define VESSA_INT_MIN_ (-2147483647 - 1)
#define VESSA_INT_MAX_ 2147483647

/* The session handle; its record is private to the library. */
typedef struct emi_s* EMI;

/* Error codes: 0 is success, failures are negative. */
typedef enum err_e {
    EMI_OK = 0,
    EMI_SOCKERR = -1,
    EMI_TIMEOUT = -2,
    EMI_BADCRC = -3,
    EMI_NOTRNID = -4,
    EMI_UNKNOWN_OP = -5,
    EMI_NOT_SUPP = -6,
    EMI_INITERR = -7,
    EMI_SYSERR = -8,
    EMI_NULL = -9,
    EMI_THRPUT = -10,
    EMI_BADFRAME = -11,            /* received frame with impossible LEN, header or field count */
    EMI_TOOLONG = -12,             /* request does not fit one frame; nothing was sent */
    EMI_BADFIELD = -13,            /* a field would break the frame or its address field; nothing was sent */
    EMI_NOSYNC = -14,              /* no frame end where one must be: the stream is out of step */
    EMI_CLOSED = -15,              /* the peer closed the connection */
    EMI_ERR_MIN_ = VESSA_INT_MIN_, /* (range only: every int is a valid err_t) */
    EMI_ERR_MAX_ = VESSA_INT_MAX_
} err_t;

/* Operation types; a result carries the negated type of its operation. */
typedef enum op_e {
    EMI_NONE = 0,
    EMI_DELIVERY_SM_2 = 1,
    EMI_ALERT = 31,
    EMI_SUBMIT_SM = 51,
    EMI_DELIVERY_SM = 52,
    EMI_DELIVERY_NOTIF = 53,
    EMI_INIT = 60,
    EMI_OP_MIN_ = VESSA_INT_MIN_, /* (range only: results are negative) */
    EMI_OP_MAX_ = VESSA_INT_MAX_
} op_t;

/* Delivery status of a notification (53). */
typedef enum dst_e {
    EMI_DELIVERED = 0,
    EMI_BUFFERED = 1,
    EMI_NOT_DELIV = 2,
    EMI_DST_MIN_ = VESSA_INT_MIN_, /* (range only: the status comes from the wire) */
    EMI_DST_MAX_ = VESSA_INT_MAX_
} dst_t;

/* Notification types; their sum is sent as one digit. */
typedef enum not_e {
    EMI_DN = 1, /* delivery notification */
    EMI_ND = 2, /* non-delivery notification */
    EMI_BN = 4  /* buffered message notification */
} not_t;

/* Decoded content of the last frame read, or the request of emi_submit2. */
typedef struct msg_s {
    op_t op_type; /* negative for results, 0 when nothing valid was read */
    union {
        struct {
            const char* from;            /* OAdC */
            const char* to;              /* AdC */
            const char* notif_addr;      /* NAdC */
            int notif_type;              /* NT */
            const char* validity;        /* VP */
            const char* timestamp;       /* SCTS, DDMMYYhhmmss */
            dst_t deliv_status;          /* Dst */
            int deliv_reasoncode;        /* Rsn */
            const char* deliv_timestamp; /* DSCTS, DDMMYYhhmmss */
            const char* text;            /* message text */
            int priority;                /* PR */
            int bit8;                    /* non-zero: 8-bit data, text in hex */
            int numbits;                 /* NB */
            int msg_class;               /* MCLs */
            int rpid;                    /* RPID */
            const char* xservices;       /* XSer */
        } submit;
        struct {
            int ack;            /* 1 positive, 0 negative */
            int errcode;        /* the SMSC's error code when negative */
            const char* sysmsg; /* the SMSC's system message */
        } response;
    } uu;
} msg_t;

/* Connects to hostname:port and logs in with password as origin_addr. On
 * success stores the handle in *emi and returns 0; otherwise *emi is left
 * unchanged, nothing is left open and an error is returned (EMI_INITERR for
 * a refused login). window_sz is the highest transaction id handed out (at
 * most 96 are used), throughput the submissions allowed per second. */
VESSA_API err_t emi_init(EMI* emi, const char* hostname, unsigned short port, const char* password,
                         const char* origin_addr, const char* alert_addr, int window_sz, int throughput);

/* Closes the connection and frees the handle; a null handle is ignored. */
VESSA_API void emi_destroy(EMI emi);

/* 1 when data can be read without waiting (received by an earlier read and
 * kept in the handle, or waiting on the socket), 0 when not, -1 on a system
 * error, EMI_NULL for a null handle. Does not wait. */
VESSA_API int emi_select(EMI emi);

/* Reads and decodes one frame into emi_msg(emi). Returns the frame's
 * transaction id (0 or more) or a negative err_t. */
VESSA_API int emi_read(EMI emi);

/* The connection's socket, for waiting on it together with other
 * descriptors (poll for reading, then emi_select/emi_read); EMI_NULL for a
 * null handle. The handle keeps owning it. A read may take more than one
 * frame from the socket: call emi_select before waiting on the socket, as
 * frames already received do not make it readable. */
VESSA_API int emi_socket(EMI emi);

/* How many transaction ids an alert or a submission could take now (the free
 * ids within the window); EMI_NULL for a null handle. */
VESSA_API int emi_free_trnids(EMI emi);

/* The handle's record; null for a null handle. */
VESSA_API msg_t* emi_msg(EMI emi);

/* Answers the incoming operation `operation` (01, 52 or 53; the sign is
 * ignored) with transaction id trnid, positively when ack is non-zero. */
VESSA_API err_t emi_ack(int ack, int operation, int trnid, EMI emi);

/* Sends an alert; the transaction id or a negative err_t. */
VESSA_API int emi_alert(EMI emi);

/* Submits a text; notif_type >= 0 asks for a notification of that type.
 * The transaction id or a negative err_t. */
VESSA_API int emi_submit1(EMI emi, const char* from, const char* to, const char* text, const int notif_type);

/* Submits the message described in emi_msg(emi)->uu.submit. A notification
 * is asked for when notif_addr is not null; an empty notif_addr asks for it
 * without a notification address (as emi_submit1 does). A negative msg_class
 * sends no message class. With bit8 the text is the hex digits of the
 * transparent data and numbits its length in bits. */
VESSA_API int emi_submit2(EMI emi);

/* The address field (AdC) a submission sends for the destination `to`:
 * "+420N", "00420N", "0N" and "N" go to the national number N as "00420N";
 * "+CCN" and "00CCN" (another country code, not starting with 0) go as
 * "00CCN". N is one or more digits and the result at most 16 digits; any
 * other destination (spaces included) is EMI_BADFIELD. Writes the field to
 * adc (size bytes with its terminator, 17 are always enough) when adc is not
 * null and returns its length. */
VESSA_API int emi_destination(const char* to, char* adc, int size);

/* Releases one transaction id taken more than `timeout` seconds ago and
 * returns it, or 0 when none has expired. */
VESSA_API int emi_check_trntable(EMI emi, int timeout);

/* 0 when another submission is allowed now, EMI_THRPUT when not: at most
 * `throughput` submissions (one when it is 0 or less) per window of a
 * second. It counts nothing itself, so asking it before a submission gives
 * the same answer as the submission's own check. */
VESSA_API int emi_check_throughput(EMI emi);

/* Switches the library's trace of calls and frames on standard error on
 * (the default) or off, for the whole process. A daemon whose standard
 * error is /dev/null switches it off and saves the formatting. */
VESSA_API void emi_trace(int on);

/* Constant text of an error code. */
VESSA_API const char* emi_strerror(err_t errcode);

#ifdef __cplusplus
}

/* For C++ callers that keep error codes in an int. */
inline const char* emi_strerror(int errcode) { return emi_strerror(static_cast<err_t>(errcode)); }
#endif

#endif
