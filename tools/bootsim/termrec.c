/*
 * termrec: a preload library that records every tcsetattr request of the
 * process it is loaded into, before the request reaches the kernel.
 *
 * Why: a Linux pseudo-terminal forces 8 data bits and no parity on every
 * tcsetattr, so reading the settings back from the terminal never shows the
 * data bits and parity a program asked for. Recording the request itself
 * does.
 *
 * Use: LD_PRELOAD='<dir>/$LIB/libtermrec.so' TERMREC_LOG=/path/to/log prog
 * (ld.so expands $LIB per word size, so one value serves the 32-bit Wine
 * process and the 64-bit wineserver alike). Without TERMREC_LOG nothing is
 * written and the calls pass through unchanged.
 *
 * One line per tcsetattr call, appended with a single write(2) so that lines
 * of concurrent processes never mix:
 *
 *   tcsetattr t=<unix time, s.us> bits=<32|64> pid=<pid> fd=<fd> tty=<path|?> action=<n>
 *     ospeed=<baud|?> csize=<5..8> parenb=<0|1> parodd=<0|1> cstopb=<0|1>
 *     crtscts=<0|1> ixon=<0|1> ixoff=<0|1> echo=<0|1>
 *     was_csize=<5..8|-> was_parenb=<0|1|-> was_parodd=<0|1|->
 *
 * (all on one line). tty is the target of /proc/self/fd/<fd>. The was_*
 * fields repeat the character size and parity of the last tcgetattr this
 * process made on the same fd ("-" when there was none): they tell a request
 * that changed those bits from one that only wrote back what it had read.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#define TERMREC_LINE_MAX 512      /* bytes of one log line */
#define TERMREC_PATH_MAX 256      /* bytes of a recorded tty path */
#define TERMREC_FD_SLOTS 1024     /* fds whose last tcgetattr is remembered */
#define TERMREC_PROC_LINK_MAX 64  /* bytes of "/proc/self/fd/<fd>" */
#define TERMREC_WAS_MAX 128       /* bytes of the was_* fields */
#define TERMREC_LOG_MODE 0644     /* permissions of a log file it creates */

typedef int (*tcsetattr_fn)(int, int, const struct termios *);
typedef int (*tcgetattr_fn)(int, struct termios *);

struct termrec_last_read {
    int valid;
    tcflag_t cflag;
};

static struct termrec_last_read termrec_reads[TERMREC_FD_SLOTS];

static long termrec_baud(speed_t code)
{
    static const struct { speed_t code; long baud; } table[] = {
        {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150},
        {B200, 200}, {B300, 300}, {B600, 600}, {B1200, 1200},
        {B1800, 1800}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
        {B921600, 921600}, {B0, 0},
    };
    size_t i;
    for (i = 0; i < sizeof table / sizeof table[0]; i++) {
        if (table[i].code == code)
            return table[i].baud;
    }
    return -1;
}

static int termrec_csize_bits(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

static int termrec_flag(tcflag_t value, tcflag_t bit)
{
    return (value & bit) != 0;
}

static void termrec_tty_path(int fd, char *path, size_t size)
{
    char link[TERMREC_PROC_LINK_MAX];
    ssize_t n;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    n = readlink(link, path, size - 1);
    if (n < 0)
        n = snprintf(path, size, "?");
    path[n] = '\0';
}

static void termrec_was_fields(int fd, char *text, size_t size)
{
    if (fd < 0 || fd >= TERMREC_FD_SLOTS || !termrec_reads[fd].valid) {
        snprintf(text, size, "was_csize=- was_parenb=- was_parodd=-");
        return;
    }
    tcflag_t was = termrec_reads[fd].cflag;
    snprintf(text, size, "was_csize=%d was_parenb=%d was_parodd=%d",
             termrec_csize_bits(was), termrec_flag(was, PARENB), termrec_flag(was, PARODD));
}

static void termrec_append(int fd, int action, const struct termios *tio)
{
    const char *log_path = getenv("TERMREC_LOG");
    char tty[TERMREC_PATH_MAX];
    char was[TERMREC_WAS_MAX];
    char line[TERMREC_LINE_MAX];
    struct timeval now;
    int n, out;

    if (log_path == NULL || log_path[0] == '\0' || tio == NULL)
        return;
    gettimeofday(&now, NULL);
    termrec_tty_path(fd, tty, sizeof tty);
    termrec_was_fields(fd, was, sizeof was);
    n = snprintf(line, sizeof line,
                 "tcsetattr t=%ld.%06ld bits=%d pid=%ld fd=%d tty=%s action=%d ospeed=%ld csize=%d"
                 " parenb=%d parodd=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d echo=%d %s\n",
                 (long)now.tv_sec, (long)now.tv_usec, (int)(sizeof(void *) * CHAR_BIT), (long)getpid(), fd, tty, action,
                 termrec_baud(cfgetospeed(tio)), termrec_csize_bits(tio->c_cflag),
                 termrec_flag(tio->c_cflag, PARENB), termrec_flag(tio->c_cflag, PARODD),
                 termrec_flag(tio->c_cflag, CSTOPB), termrec_flag(tio->c_cflag, CRTSCTS),
                 termrec_flag(tio->c_iflag, IXON), termrec_flag(tio->c_iflag, IXOFF),
                 termrec_flag(tio->c_lflag, ECHO), was);
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
    static tcsetattr_fn real_tcsetattr;
    if (real_tcsetattr == NULL)
        real_tcsetattr = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
    termrec_append(fd, action, tio);
    if (real_tcsetattr == NULL)
        return -1;
    return real_tcsetattr(fd, action, tio);
}

int tcgetattr(int fd, struct termios *tio)
{
    static tcgetattr_fn real_tcgetattr;
    int result;
    if (real_tcgetattr == NULL)
        real_tcgetattr = (tcgetattr_fn)dlsym(RTLD_NEXT, "tcgetattr");
    if (real_tcgetattr == NULL)
        return -1;
    result = real_tcgetattr(fd, tio);
    if (result == 0 && fd >= 0 && fd < TERMREC_FD_SLOTS) {
        termrec_reads[fd].cflag = tio->c_cflag;
        termrec_reads[fd].valid = 1;
    }
    return result;
}
