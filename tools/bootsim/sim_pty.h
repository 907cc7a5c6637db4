// The pseudo-terminal that plays the serial line, and where it is published.
#pragma once

#include <string>

struct sim_pty {
    int master_fd = -1;
    int slave_fd = -1;        // kept open so the master never sees a hang-up
    std::string slave_path;
    std::string link_path;    // symbolic link made to the slave, if any
    int guard_pid = -1;       // holds the slave as its controlling terminal
};

bool pty_open(sim_pty *pty, std::string *error);
bool pty_start_ctty_guard(sim_pty *pty, std::string *error);
bool pty_publish_link(sim_pty *pty, const std::string &link_path, std::string *error);
void pty_remove_link(const sim_pty *pty);
void pty_close(sim_pty *pty);

// Writes text to path through a temporary file and a rename, so a reader
// never sees half of it.
bool file_write_atomic(const std::string &path, const std::string &text);
