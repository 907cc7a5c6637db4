#include "sim_line.h"

#include "sim_options.h"

#include <fstream>
#include <map>
#include <sstream>
#include <termios.h>

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

// One line of termrec.c's log, "tcsetattr key=value ...". A line that is not
// a whole record (one cut short, say) counts as none.
struct termrec_record {
    bool valid = false;
    double t_unix_s = 0;
    std::string tty;
    int data_bits = 0;
    std::string parity;   // "none", "even" or "odd"
    bool changed = false; // the call changed size or parity against its last tcgetattr
};

static termrec_record termrec_parse_line(const std::string &text)
{
    termrec_record record;
    std::istringstream words(text);
    std::string word;
    std::map<std::string, std::string> fields;
    if (!(words >> word) || word != "tcsetattr")
        return record;
    while (words >> word) {
        const size_t equals = word.find('=');
        if (equals != std::string::npos)
            fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    double data_bits = 0;
    if (fields.count("tty") == 0 || !number_parse(fields["t"], 0, SIM_NUMBER_MAX, false, &record.t_unix_s) ||
        !number_parse(fields["csize"], TERMREC_CSIZE_MIN, TERMREC_CSIZE_MAX, true, &data_bits))
        return record;
    record.tty = fields["tty"];
    record.data_bits = static_cast<int>(data_bits);
    record.parity = fields["parenb"] != "1" ? "none" : fields["parodd"] == "1" ? "odd" : "even";
    // A pty hands back 8 data bits and no parity whatever was asked, so a
    // caller that reads, changes one thing and writes back (Wine does so once
    // per part of the settings) writes "8, none" again after the call that set
    // the parity. The call that changed size or parity against what it had
    // read ("-": it had read nothing) says what the program asked for.
    record.changed = fields["csize"] + fields["parenb"] + fields["parodd"] !=
                     fields["was_csize"] + fields["was_parenb"] + fields["was_parodd"];
    record.valid = true;
    return record;
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
        if (record.changed)
            last_changed = record;
    }
    const termrec_record &chosen = last_changed.valid ? last_changed : last_any;
    if (!chosen.valid)
        return;
    line->from_termrec = true;
    line->data_bits = chosen.data_bits;
    line->parity = chosen.parity;
}

bool line_ok(const line_observation *line)
{
    return line->from_pty && line->from_termrec && line->baud == LINE_EXPECTED_BAUD &&
           line->stop_bits == LINE_EXPECTED_STOP_BITS && line->data_bits == LINE_EXPECTED_DATA_BITS &&
           line->parity == "even" && !line->rtscts && !line->xonxoff;
}
