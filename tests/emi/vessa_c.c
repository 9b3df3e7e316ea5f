/* vessa.h compiled as C: the public interface must stay plain C. */
#include <stddef.h>
#include <string.h>

#include "vessa.h"

int vessa_c_check(void);

int vessa_c_check(void) {
    EMI emi = NULL;
    msg_t msg;
    err_t err = EMI_THRPUT;
    op_t op = EMI_DELIVERY_NOTIF;
    dst_t dst = EMI_NOT_DELIV;
    enum not_e notif = EMI_DN;

    memset(&msg, 0, sizeof msg);
    msg.op_type = op;
    msg.uu.submit.deliv_status = dst;
    msg.uu.submit.notif_type = notif;
    msg.uu.response.ack = 1;
    if (emi_msg(emi) != NULL || emi_select(emi) != EMI_NULL) {
        return 1;
    }
    if (strcmp(emi_strerror(err), "Data throughput overloaded") != 0) {
        return 2;
    }
    if (emi_init(NULL, "localhost", 1, "p", "o", "a", 1, 1) != EMI_NULL) {
        return 3;
    }
    emi_destroy(emi);
    return sizeof(int) == sizeof(err_t) && sizeof(int) == sizeof(op_t) ? 0 : 4;
}
