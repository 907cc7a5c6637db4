// What the simulated device can tell about the line settings the tool applied.
#pragma once

#include <string>

constexpr long LINE_EXPECTED_BAUD = 115200;
constexpr int LINE_EXPECTED_DATA_BITS = 8;
constexpr int LINE_EXPECTED_STOP_BITS = 1;

struct line_observation {
    bool from_pty = false;     // tcgetattr on the slave has been read
    long baud = 0;
    int stop_bits = 1;
    bool rtscts = false;
    bool xonxoff = false;
    bool from_termrec = false; // a termrec record for this pty was found
    int data_bits = 0;
    std::string parity;        // "none", "even" or "odd"
    int termrec_records = 0;   // records of this pty in the log
};

void line_read_pty(int slave_fd, line_observation *line);
void line_apply_termrec(line_observation *line, const std::string &log_path, const std::string &tty_path,
                        double since_unix_s);
bool line_ok(const line_observation *line);
