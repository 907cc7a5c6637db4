/*
 * termrec: a preload library that records every setting of a terminal line
 * made by the process it is loaded into, before it reaches the kernel: the
 * tcsetattr() calls (Wine 8) and the TCSETS2 ioctls, struct termios2 with the
 * speed as a number (Wine 10, by __ioctl_time64 in a 32-bit process). A Linux
 * pseudo-terminal forces 8 data bits and no parity on every setting, so only
 * the request shows the data bits and parity a program asked for.
 *
 * Use: LD_PRELOAD='<dir>/$LIB/libtermrec.so' TERMREC_LOG=/path/to/log prog
 * (ld.so expands $LIB per word size: one value serves the 32-bit Wine process
 * and the 64-bit wineserver alike). Without TERMREC_LOG it only passes calls on.
 * One line per setting, appended by a single write(2) so that lines of
 * concurrent processes never mix:
 *
 *   <tcsetattr|TCSETS2> t=<unix time, s.us> bits=<32|64> pid=<pid> fd=<fd> tty=<path|?>
 *     action=<TCSA* or the ioctl's request> ospeed=<baud|-1> csize=<5..8> parenb=<0|1> parodd=<0|1>
 *     cstopb=<0|1> crtscts=<0|1> ixon=<0|1> ixoff=<0|1> echo=<0|1> was_csize=<5..8|-> was_parenb=<0|1|->
 *     was_parodd=<0|1|->
 *
 * tty is the target of /proc/self/fd/<fd>. The was_* fields repeat the size
 * and parity of this process's last read of the fd's settings (tcgetattr or
 * TCGETS2; "-": none): they tell a request that changed those bits from one
 * that only wrote back what it had read.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#define TERMREC_LINE_MAX 512      /* bytes of one log line */
#define TERMREC_PATH_MAX 256      /* bytes of a recorded tty path */
#define TERMREC_FD_SLOTS 1024     /* fds whose last read of the settings is remembered */
#define TERMREC_PROC_LINK_MAX 64  /* bytes of "/proc/self/fd/<fd>" */
#define TERMREC_LOG_MODE 0644     /* permissions of a log file it creates */
#define TERMREC_BOTHER 0010000    /* CBAUD's value for "the speed is c_ospeed" (asm/termbits.h) */

/* The kernel's struct termios2 (asm/termbits.h, which clashes with termios.h). */
struct termrec_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line, c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#define TERMREC_TCGETS2 _IOR('T', 0x2A, struct termrec_termios2)
#define TERMREC_TCSETS2 _IOW('T', 0x2B, struct termrec_termios2)  /* TCSETSW2, TCSETSF2 follow */

typedef int (*ioctl_fn)(int, unsigned long, void *);
typedef int (*tcsetattr_fn)(int, int, const struct termios *);
typedef int (*tcgetattr_fn)(int, struct termios *);

static int termrec_read_valid[TERMREC_FD_SLOTS];
static tcflag_t termrec_read_cflag[TERMREC_FD_SLOTS];

/* The baud of a speed code (-1: none): B0..B38400 count from 0, CBAUDEX (BOTHER) and B57600..B4000000 on. */
static long termrec_baud(speed_t code)
{
    static const long bauds[] = {0, 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
                                 -1, 57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000,
                                 2000000, 2500000, 3000000, 3500000, 4000000};
    speed_t index = code & CBAUDEX ? 16 + (code & ~CBAUDEX) : code;
    return index < sizeof bauds / sizeof bauds[0] && (code & ~CBAUD) == 0 ? bauds[index] : -1;
}

static int termrec_csize_bits(tcflag_t cflag)
{
    return 5 + (int)((cflag & CSIZE) / CS6);  /* CS5..CS8 are 0..3 times CS6 */
}

static int termrec_flag(tcflag_t value, tcflag_t bit)
{
    return (value & bit) != 0;
}

static void termrec_remember_read(int fd, tcflag_t cflag)
{
    if (fd >= 0 && fd < TERMREC_FD_SLOTS) {
        termrec_read_cflag[fd] = cflag;
        termrec_read_valid[fd] = 1;
    }
}

static void termrec_append(const char *call, int fd, long action, tcflag_t iflag, tcflag_t cflag, tcflag_t lflag,
                           long baud)
{
    const char *log_path = getenv("TERMREC_LOG");
    char link[TERMREC_PROC_LINK_MAX], tty[TERMREC_PATH_MAX], line[TERMREC_LINE_MAX];
    struct timeval now;
    int known = fd >= 0 && fd < TERMREC_FD_SLOTS && termrec_read_valid[fd];
    tcflag_t was = known ? termrec_read_cflag[fd] : 0;
    ssize_t tty_len;
    int n, out;

    if (log_path == NULL || log_path[0] == '\0')
        return;
    gettimeofday(&now, NULL);
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    tty_len = readlink(link, tty, sizeof tty - 1);
    if (tty_len < 0)
        tty_len = snprintf(tty, sizeof tty, "?");
    tty[tty_len] = '\0';
    n = snprintf(line, sizeof line,
                 "%s t=%ld.%06ld bits=%d pid=%ld fd=%d tty=%s action=%ld ospeed=%ld csize=%d"
                 " parenb=%d parodd=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d echo=%d"
                 " was_csize=%c was_parenb=%c was_parodd=%c\n",
                 call, (long)now.tv_sec, (long)now.tv_usec, (int)(sizeof(void *) * CHAR_BIT), (long)getpid(), fd, tty,
                 action, baud, termrec_csize_bits(cflag), termrec_flag(cflag, PARENB), termrec_flag(cflag, PARODD),
                 termrec_flag(cflag, CSTOPB), termrec_flag(cflag, CRTSCTS), termrec_flag(iflag, IXON),
                 termrec_flag(iflag, IXOFF), termrec_flag(lflag, ECHO), known ? '0' + termrec_csize_bits(was) : '-',
                 known ? '0' + termrec_flag(was, PARENB) : '-', known ? '0' + termrec_flag(was, PARODD) : '-');
    if (n <= 0)
        return;
    if (n >= (int)sizeof line)
        n = (int)sizeof line - 1;
    out = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, TERMREC_LOG_MODE);
    if (out < 0)
        return;
    if (write(out, line, (size_t)n) < 0) {
        /* Nothing sensible to do: the recorder must never disturb the caller. */
    }
    close(out);
}

int tcsetattr(int fd, int action, const struct termios *tio)
{
    static tcsetattr_fn real;
    if (real == NULL)
        real = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
    if (tio != NULL)
        termrec_append("tcsetattr", fd, action, tio->c_iflag, tio->c_cflag, tio->c_lflag, termrec_baud(cfgetospeed(tio)));
    return real == NULL ? -1 : real(fd, action, tio);
}

int tcgetattr(int fd, struct termios *tio)
{
    static tcgetattr_fn real;
    int result;
    if (real == NULL)
        real = (tcgetattr_fn)dlsym(RTLD_NEXT, "tcgetattr");
    result = real == NULL ? -1 : real(fd, tio);
    if (result == 0)
        termrec_remember_read(fd, tio->c_cflag);
    return result;
}

/* Either ioctl entry point: records a TCSETS2 (and its W and F forms), remembers a TCGETS2. */
static int termrec_ioctl(ioctl_fn *real, const char *name, int fd, unsigned long request, va_list args)
{
    void *arg = va_arg(args, void *);
    const struct termrec_termios2 *tio = arg;
    int result;
    if (arg != NULL && request >= TERMREC_TCSETS2 && request <= TERMREC_TCSETS2 + 2) {
        int by_number = (tio->c_cflag & CBAUD) == TERMREC_BOTHER;
        termrec_append("TCSETS2", fd, (long)request, tio->c_iflag, tio->c_cflag, tio->c_lflag,
                       by_number ? (long)tio->c_ospeed : termrec_baud(tio->c_cflag & CBAUD));
    }
    if (*real == NULL)
        *real = (ioctl_fn)dlsym(RTLD_NEXT, name);
    result = *real == NULL ? -1 : (*real)(fd, request, arg);
    if (result == 0 && arg != NULL && request == TERMREC_TCGETS2)
        termrec_remember_read(fd, tio->c_cflag);
    return result;
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list args;
    va_start(args, request);
    int result = termrec_ioctl(&real, "ioctl", fd, request, args);
    va_end(args);
    return result;
}

/* A 32-bit program built with 64-bit time (Wine 10's ntdll.so) calls this name instead. */
int __ioctl_time64(int fd, unsigned long request, ...);
int __ioctl_time64(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list args;
    va_start(args, request);
    int result = termrec_ioctl(&real, "__ioctl_time64", fd, request, args);
    va_end(args);
    return result;
}
