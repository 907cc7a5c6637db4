#include "sim_line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <termios.h>

constexpr int TERMREC_NUMBER_BASE = 10;
constexpr long TERMREC_CSIZE_MIN = 5; // data bits a termios character size can say
constexpr long TERMREC_CSIZE_MAX = 8;

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

// One termrec line: "tcsetattr key=value key=value ...". The log is written
// by other processes and may hold anything: a line counts only when every
// field used below is present and well formed.
struct termrec_record {
    bool valid = false;
    double t_unix_s = 0;
    std::string tty;
    int csize = 0;
    bool parenb = false;
    bool parodd = false;
    bool has_was = false;        // false: the caller had made no tcgetattr ("-")
    int was_csize = 0;
    bool was_parenb = false;
    bool was_parodd = false;
};

using termrec_fields = std::map<std::string, std::string>;

static const std::string *termrec_field(const termrec_fields &fields, const char *key)
{
    const auto found = fields.find(key);
    return found == fields.end() ? nullptr : &found->second;
}

static bool termrec_parse_int(const std::string *text, long low, long high, long *value)
{
    if (text == nullptr || text->empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text->c_str(), &end, TERMREC_NUMBER_BASE);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

static bool termrec_parse_time(const std::string *text, double *value)
{
    if (text == nullptr || text->empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text->c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed))
        return false;
    *value = parsed;
    return true;
}

static bool termrec_parse_framing(const termrec_fields &fields, const char *csize_key, const char *parenb_key,
                                  const char *parodd_key, int *csize, bool *parenb, bool *parodd)
{
    long size = 0;
    long even_or_odd = 0;
    long enabled = 0;
    if (!termrec_parse_int(termrec_field(fields, csize_key), TERMREC_CSIZE_MIN, TERMREC_CSIZE_MAX, &size) ||
        !termrec_parse_int(termrec_field(fields, parenb_key), 0, 1, &enabled) ||
        !termrec_parse_int(termrec_field(fields, parodd_key), 0, 1, &even_or_odd))
        return false;
    *csize = static_cast<int>(size);
    *parenb = enabled != 0;
    *parodd = even_or_odd != 0;
    return true;
}

// The was_* fields come as a set: all three "-" or all three numbers.
static bool termrec_parse_was(const termrec_fields &fields, termrec_record *record)
{
    const std::string *was_csize = termrec_field(fields, "was_csize");
    const std::string *was_parenb = termrec_field(fields, "was_parenb");
    const std::string *was_parodd = termrec_field(fields, "was_parodd");
    if (was_csize == nullptr || was_parenb == nullptr || was_parodd == nullptr)
        return false;
    if (*was_csize == "-" && *was_parenb == "-" && *was_parodd == "-") {
        record->has_was = false;
        return true;
    }
    record->has_was = true;
    return termrec_parse_framing(fields, "was_csize", "was_parenb", "was_parodd", &record->was_csize,
                                 &record->was_parenb, &record->was_parodd);
}

static termrec_record termrec_parse_line(const std::string &text)
{
    termrec_record record;
    std::istringstream words(text);
    std::string word;
    if (!(words >> word) || word != "tcsetattr")
        return record;
    termrec_fields fields;
    while (words >> word) {
        const size_t equals = word.find('=');
        if (equals != std::string::npos)
            fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    const std::string *tty = termrec_field(fields, "tty");
    if (tty == nullptr || !termrec_parse_time(termrec_field(fields, "t"), &record.t_unix_s) ||
        !termrec_parse_framing(fields, "csize", "parenb", "parodd", &record.csize, &record.parenb,
                               &record.parodd) ||
        !termrec_parse_was(fields, &record))
        return record;
    record.tty = *tty;
    record.valid = true;
    return record;
}

// A pty hands back 8 data bits and no parity whatever was asked, so a caller
// that reads, changes one thing and writes back (Wine does so once per part of
// the settings) writes "8, none" again after the call that set the parity.
// The call that changed size or parity against what it had read is the one
// that says what the program asked for.
static bool termrec_changed_framing(const termrec_record &record)
{
    if (!record.has_was)
        return true;
    return record.was_csize != record.csize || record.was_parenb != record.parenb ||
           record.was_parodd != record.parodd;
}

static std::string termrec_parity(const termrec_record &record)
{
    if (!record.parenb)
        return "none";
    return record.parodd ? "odd" : "even";
}

void line_apply_termrec(line_observation *line, const std::string &log_path, const std::string &tty_path,
                        double since_unix_s)
{
    std::ifstream log(log_path);
    std::string text;
    termrec_record last_any;
    termrec_record last_changed;
    while (std::getline(log, text)) {
        const termrec_record record = termrec_parse_line(text);
        if (!record.valid || record.tty != tty_path || record.t_unix_s < since_unix_s)
            continue;
        line->termrec_records++;
        last_any = record;
        if (termrec_changed_framing(record))
            last_changed = record;
    }
    const termrec_record &chosen = last_changed.valid ? last_changed : last_any;
    if (!chosen.valid)
        return;
    line->from_termrec = true;
    line->data_bits = chosen.csize;
    line->parity = termrec_parity(chosen);
}

bool line_ok(const line_observation *line)
{
    return line->from_pty && line->from_termrec && line->baud == LINE_EXPECTED_BAUD &&
           line->stop_bits == LINE_EXPECTED_STOP_BITS && line->data_bits == LINE_EXPECTED_DATA_BITS &&
           line->parity == "even" && !line->rtscts && !line->xonxoff;
}
