/* Modem-line answers for pseudo-terminals, preloaded into the Wine process.
 *
 * The tests stand a pty null-modem pair in for a serial cable. Wine's serial layer reads the
 * modem lines (TIOCMGET) before every event wait and sets DTR/RTS (TIOCMBIS, TIOCMBIC,
 * TIOCMSET) while configuring a port; the pty driver supports none of these, so the wait
 * fails at once and the watch loop under test never sees a character. This library wraps
 * ioctl(): when the real call fails on a pty descriptor for one of those four requests, it
 * answers as a null-modem cable would: DSR, CTS and CD always on, DTR and RTS as last set
 * (on at first). Every other request, and every descriptor that is not a pty, goes to the
 * real ioctl unchanged.
 *
 * The DTR/RTS state is kept per descriptor number in a small table of atomics, since Wine
 * calls ioctl from several threads; descriptors beyond the table share the default answer.
 * A reused descriptor number may inherit the lines its predecessor set; nothing under test
 * reads DTR or RTS back, so that is left as it is.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#define SHIM_MAX_FD 4096
#define SHIM_DEFAULT_OUT (TIOCM_DTR | TIOCM_RTS)
#define SHIM_CABLE_IN (TIOCM_DSR | TIOCM_CTS | TIOCM_CD)

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* Output lines set per descriptor; 0 means "never set" (reads as the default). SHIM_STORED
 * marks a stored value so that "DTR and RTS both off" is not mistaken for "never set". */
static int g_out_lines[SHIM_MAX_FD];
#define SHIM_STORED 0x40000000

/* The real entry point behind one of the names this library overrides. */
static ioctl_fn real_entry(ioctl_fn *slot, const char *name)
{
    ioctl_fn f = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!f) {
        f = (ioctl_fn)dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, f, __ATOMIC_RELEASE);
    }
    return f;
}

/* Unix98 pty slaves have majors 136-143 and the master multiplexer is 5:2; legacy BSD ptys
 * use majors 2 and 3. */
static int is_pty(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned maj = major(st.st_rdev);
    return (maj >= 136 && maj <= 143) || maj == 2 || maj == 3 ||
           (maj == 5 && minor(st.st_rdev) == 2);
}

static int out_lines(int fd)
{
    if (fd < 0 || fd >= SHIM_MAX_FD)
        return SHIM_DEFAULT_OUT;
    int v = __atomic_load_n(&g_out_lines[fd], __ATOMIC_RELAXED);
    return (v & SHIM_STORED) ? (v & ~SHIM_STORED) : SHIM_DEFAULT_OUT;
}

static void set_out_lines(int fd, int lines)
{
    if (fd >= 0 && fd < SHIM_MAX_FD)
        __atomic_store_n(&g_out_lines[fd], (lines & SHIM_DEFAULT_OUT) | SHIM_STORED,
                         __ATOMIC_RELAXED);
}

/* Calls the real ioctl f and answers the modem-line requests it cannot serve on a pty. */
static int shim_ioctl(ioctl_fn f, int fd, unsigned long request, void *arg)
{
    if (!f) {
        errno = ENOSYS;
        return -1;
    }
    int saved = errno;
    int rc = f(fd, request, arg);
    /* Only "not supported" is answered: a pty whose other side has gone is hung up and fails
     * with EIO, which must reach Wine as a vanished device would. */
    if (rc == 0 || (errno != ENOTTY && errno != EINVAL))
        return rc;
    if (request != TIOCMGET && request != TIOCMBIS && request != TIOCMBIC && request != TIOCMSET)
        return rc;
    int err = errno;
    if (!arg || !is_pty(fd)) {
        errno = err;
        return rc;
    }

    int *bits = (int *)arg;
    switch (request) {
    case TIOCMGET: *bits = out_lines(fd) | SHIM_CABLE_IN; break;
    case TIOCMBIS: set_out_lines(fd, out_lines(fd) | *bits); break;
    case TIOCMBIC: set_out_lines(fd, out_lines(fd) & ~*bits); break;
    case TIOCMSET: set_out_lines(fd, *bits); break;
    }
    errno = saved;
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return shim_ioctl(real_entry(&real, "ioctl"), fd, request, arg);
}

#if defined(__i386__)
/* 32-bit programs built with 64-bit time_t (32-bit Wine among them) call this name instead
 * of ioctl; without it the shim would never see their modem-line requests. */
int __ioctl_time64(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return shim_ioctl(real_entry(&real, "__ioctl_time64"), fd, request, arg);
}
#endif
