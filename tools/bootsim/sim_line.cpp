#include "sim_line.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <termios.h>

static long line_baud_of(speed_t code)
{
    static const struct {
        speed_t code;
        long baud;
    } table[] = {
        {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
        {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600}, {B0, 0},
    };
    for (const auto &entry : table) {
        if (entry.code == code)
            return entry.baud;
    }
    return -1;
}

void line_read_pty(int slave_fd, line_observation *line)
{
    struct termios tio {};
    if (tcgetattr(slave_fd, &tio) != 0)
        return;
    line->from_pty = true;
    line->baud = line_baud_of(cfgetospeed(&tio));
    line->stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    line->rtscts = (tio.c_cflag & CRTSCTS) != 0;
    line->xonxoff = (tio.c_iflag & (IXON | IXOFF)) != 0;
}

// One termrec line: "tcsetattr key=value key=value ...".
using termrec_record = std::map<std::string, std::string>;

static bool termrec_parse_line(const std::string &text, termrec_record *record)
{
    std::istringstream words(text);
    std::string word;
    if (!(words >> word) || word != "tcsetattr")
        return false;
    while (words >> word) {
        const size_t equals = word.find('=');
        if (equals != std::string::npos)
            (*record)[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return record->count("tty") && record->count("csize") && record->count("parenb") && record->count("parodd");
}

// A pty hands back 8 data bits and no parity whatever was asked, so a caller
// that reads, changes one thing and writes back (Wine does so once per part of
// the settings) writes "8, none" again after the call that set the parity.
// The call that changed size or parity against what it had read is the one
// that says what the program asked for.
static bool termrec_changed_framing(const termrec_record &record)
{
    const auto was_csize = record.find("was_csize");
    if (was_csize == record.end() || was_csize->second == "-")
        return true;
    return was_csize->second != record.at("csize") || record.at("was_parenb") != record.at("parenb") ||
           record.at("was_parodd") != record.at("parodd");
}

static std::string termrec_parity(const termrec_record &record)
{
    if (record.at("parenb") != "1")
        return "none";
    return record.at("parodd") == "1" ? "odd" : "even";
}

void line_apply_termrec(line_observation *line, const std::string &log_path, const std::string &tty_path,
                        double since_unix_s)
{
    std::ifstream log(log_path);
    std::string text;
    termrec_record last_any;
    termrec_record last_changed;
    while (std::getline(log, text)) {
        termrec_record record;
        if (!termrec_parse_line(text, &record) || record["tty"] != tty_path)
            continue;
        if (std::strtod(record["t"].c_str(), nullptr) < since_unix_s)
            continue;
        line->termrec_records++;
        last_any = record;
        if (termrec_changed_framing(record))
            last_changed = record;
    }
    const termrec_record &chosen = last_changed.empty() ? last_any : last_changed;
    if (chosen.empty())
        return;
    line->from_termrec = true;
    line->data_bits = std::atoi(chosen.at("csize").c_str());
    line->parity = termrec_parity(chosen);
}

bool line_ok(const line_observation *line)
{
    return line->from_pty && line->from_termrec && line->baud == LINE_EXPECTED_BAUD &&
           line->stop_bits == LINE_EXPECTED_STOP_BITS && line->data_bits == LINE_EXPECTED_DATA_BITS &&
           line->parity == "even" && !line->rtscts && !line->xonxoff;
}
