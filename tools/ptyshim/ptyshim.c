/*
 * LD_PRELOAD shim for test processes that open a pseudo-terminal as if it
 * were a serial line.
 *
 * A pty slave refuses the modem-control ioctls (DTR, RTS, carrier...) with
 * ENOTTY/EINVAL, so serial-port code that toggles DTR to reset the modem
 * fails before it sends a single AT command.  This shim lets those calls
 * succeed on pty slaves only: it keeps a per-descriptor set of control bits,
 * reports carrier and DSR as always present, and leaves every other ioctl
 * and every other kind of descriptor to the C library untouched.
 *
 * Test use only: never preload it into the shipped daemon.
 * PTYSHIM_DEBUG=1 in the environment prints each emulated call to stderr.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

#define SHIM_MAX_FDS 1024

/* Lines the pty pretends to have: carrier and DSR are always on. */
static const int shim_always_on = TIOCM_CAR | TIOCM_DSR | TIOCM_CTS;
/* Control lines switched off per descriptor; DTR and RTS start on. */
static int shim_cleared[SHIM_MAX_FDS];
static pthread_mutex_t shim_lock = PTHREAD_MUTEX_INITIALIZER;

static ioctl_fn shim_real_ioctl(void) {
    static ioctl_fn real;
    if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return real;
}

/* Unix98 pty slaves use majors 136..143. */
static int shim_is_pty_slave(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    unsigned int maj = major(st.st_rdev);
    return maj >= 136 && maj <= 143;
}

static int shim_is_modem_request(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
           request == TIOCMIWAIT || request == TIOCGICOUNT;
}

static int shim_emulate(int fd, unsigned long request, void* arg) {
    const char* debug = getenv("PTYSHIM_DEBUG");
    int index = fd >= 0 && fd < SHIM_MAX_FDS ? fd : -1;

    pthread_mutex_lock(&shim_lock);
    int bits = (TIOCM_DTR | TIOCM_RTS) & ~(index >= 0 ? shim_cleared[index] : 0);
    int* value = (int*)arg;
    int result = 0;
    switch (request) {
        case TIOCMGET:
            if (!value) {
                errno = EFAULT;
                result = -1;
                break;
            }
            *value = bits | shim_always_on;
            break;
        case TIOCMSET:
            if (!value) {
                errno = EFAULT;
                result = -1;
                break;
            }
            bits = *value & (TIOCM_DTR | TIOCM_RTS);
            break;
        case TIOCMBIS:
            if (!value) {
                errno = EFAULT;
                result = -1;
                break;
            }
            bits |= *value & (TIOCM_DTR | TIOCM_RTS);
            break;
        case TIOCMBIC:
            if (!value) {
                errno = EFAULT;
                result = -1;
                break;
            }
            bits &= ~(*value & (TIOCM_DTR | TIOCM_RTS));
            break;
        case TIOCMIWAIT:
            /* The lines never change, so waiting for a change cannot end. */
            errno = EINVAL;
            result = -1;
            break;
        case TIOCGICOUNT:
            errno = EINVAL;
            result = -1;
            break;
    }
    if (index >= 0) shim_cleared[index] = (TIOCM_DTR | TIOCM_RTS) & ~bits;
    pthread_mutex_unlock(&shim_lock);

    if (debug && *debug && *debug != '0')
        fprintf(stderr, "ptyshim: fd %d request 0x%lx -> %d (lines 0x%x)\n", fd, request, result, bits);
    return result;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    ioctl_fn real = shim_real_ioctl();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    int saved = errno;
    int result = real(fd, request, arg);
    if (result == 0 || !shim_is_modem_request(request)) return result;
    if ((errno != ENOTTY && errno != EINVAL) || !shim_is_pty_slave(fd)) return result;
    errno = saved;
    return shim_emulate(fd, request, arg);
}
