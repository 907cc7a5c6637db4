#include "sim_pty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

constexpr int PTY_GUARD_WAIT_MS = 2000;
constexpr useconds_t PTY_GUARD_POLL_US = 1000;  // one look per millisecond of PTY_GUARD_WAIT_MS
constexpr size_t PTY_LINK_TARGET_MAX_BYTES = 256;

static bool fail_with(std::string *error, const std::string &what)
{
    *error = what + ": " + std::strerror(errno);
    return false;
}

static bool pty_make_raw(int fd)
{
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

static bool pty_set_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool pty_open(sim_pty *pty, std::string *error)
{
    pty->master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->master_fd < 0)
        return fail_with(error, "posix_openpt");
    if (grantpt(pty->master_fd) != 0 || unlockpt(pty->master_fd) != 0)
        return fail_with(error, "grantpt/unlockpt");
    const char *name = ptsname(pty->master_fd);
    if (name == nullptr)
        return fail_with(error, "ptsname");
    pty->slave_path = name;
    pty->slave_fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->slave_fd < 0)
        return fail_with(error, "open " + pty->slave_path);
    if (!pty_make_raw(pty->slave_fd))
        return fail_with(error, "raw mode on " + pty->slave_path);
    if (!pty_set_nonblocking(pty->master_fd))
        return fail_with(error, "non-blocking master");
    return true;
}

// The wineserver is a session leader without a terminal, and it opens the
// port without O_NOCTTY: the pty would become its controlling terminal, and
// closing the master at our exit would send it SIGHUP, on which it dumps its
// whole object table (megabytes) onto the tool's standard error. A pty can be
// the controlling terminal of one session only, so a small child of ours in a
// session of its own claims it first and lives as long as we do.
static void ctty_guard_main(const sim_pty *pty, pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);
    close(pty->master_fd);
    // Our caller may read our output until end of file: the guard keeps
    // none of it open.
    const int null_fd = open("/dev/null", O_RDWR);
    for (int stdio_fd = 0; stdio_fd <= 2 && null_fd >= 0; stdio_fd++)
        dup2(null_fd, stdio_fd);
    signal(SIGHUP, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_IGN);
    if (setsid() < 0)
        _exit(1);
    const int fd = open(pty->slave_path.c_str(), O_RDWR);
    if (fd < 0)
        _exit(1);
    for (;;)
        pause();
}

bool pty_start_ctty_guard(sim_pty *pty, std::string *error)
{
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0)
        return fail_with(error, "fork");
    if (child == 0)
        ctty_guard_main(pty, parent);
    pty->guard_pid = child;
    // The device is published only once the claim stands.
    for (int waited_ms = 0; waited_ms < PTY_GUARD_WAIT_MS; waited_ms++) {
        if (tcgetsid(pty->master_fd) == child) // only the master side may ask
            return true;
        usleep(PTY_GUARD_POLL_US);
    }
    *error = "the pty guard did not claim " + pty->slave_path;
    return false;
}

bool pty_publish_link(sim_pty *pty, const std::string &link_path, std::string *error)
{
    // A link made beside the target and renamed over it replaces an old link
    // in one step: the tool never finds the port missing.
    const std::string temporary = link_path + ".bootsim-" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(pty->slave_path.c_str(), temporary.c_str()) != 0)
        return fail_with(error, "symlink " + temporary);
    if (rename(temporary.c_str(), link_path.c_str()) != 0) {
        unlink(temporary.c_str());
        return fail_with(error, "rename to " + link_path);
    }
    pty->link_path = link_path;
    return true;
}

void pty_remove_link(const sim_pty *pty)
{
    // Only our own link goes: once this pty is closed its number can be
    // handed to someone else, and a stale link would lead the tool there.
    if (pty->link_path.empty())
        return;
    char target[PTY_LINK_TARGET_MAX_BYTES];
    const ssize_t n = readlink(pty->link_path.c_str(), target, sizeof target - 1);
    if (n < 0)
        return;
    target[n] = '\0';
    if (pty->slave_path == target)
        unlink(pty->link_path.c_str());
}

void pty_close(sim_pty *pty)
{
    if (pty->slave_fd >= 0)
        close(pty->slave_fd);
    if (pty->master_fd >= 0)
        close(pty->master_fd);
    pty->slave_fd = -1;
    pty->master_fd = -1;
    if (pty->guard_pid > 0) {
        kill(pty->guard_pid, SIGKILL);
        waitpid(pty->guard_pid, nullptr, 0);
        pty->guard_pid = -1;
    }
}

bool file_write_atomic(const std::string &path, const std::string &text)
{
    const std::string temporary = path + ".tmp-" + std::to_string(getpid());
    FILE *file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
