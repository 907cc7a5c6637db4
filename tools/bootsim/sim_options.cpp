#include "sim_options.h"

#include "sim_flash.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

bool number_parse(const std::string &text, double low, double high, bool whole, double *value)
{
    char *end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(parsed >= low && parsed <= std::fmin(high, SIM_NUMBER_MAX)) ||
        (whole && parsed != std::floor(parsed)))
        return false;
    *value = parsed;
    return true;
}

static std::vector<std::string> split_fields(const std::string &text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
            return fields;
        start = colon + 1;
    }
}

struct fault_name {
    const char *name;
    fault_kind kind;
    size_t arguments;
    double first_low;  // the first argument's range: a request or block number, an offset, a chance
    double first_high;
};

static const fault_name FAULT_NAMES[] = {
    {"drop", FAULT_DROP, 1, 1, SIM_NUMBER_MAX},
    {"badcrc", FAULT_BADCRC, 1, 1, SIM_NUMBER_MAX},
    {"late", FAULT_LATE, 2, 1, SIM_NUMBER_MAX},
    {"noise", FAULT_NOISE, 2, 1, SIM_NUMBER_MAX},
    {"split", FAULT_SPLIT, 1, 1, SIM_NUMBER_MAX},
    {"dup", FAULT_DUP, 1, 1, SIM_NUMBER_MAX},
    {"corrupt-flash", FAULT_CORRUPT_FLASH, 1, 0, FLASH_SIZE_BYTES - 1.0},
    {"no-restart-reply", FAULT_NO_RESTART_REPLY, 0, 0, 0},
    {"silent", FAULT_SILENT, 0, 0, 0},
    {"drop-write", FAULT_DROP_WRITE, 1, 1, SIM_NUMBER_MAX},
    {"seed", FAULT_SEED, 1, 0, SIM_NUMBER_MAX},
    {"random", FAULT_RANDOM, 1, 0, 1},
};

static bool fault_parse(const std::string &text, fault_rule *fault)
{
    const std::vector<std::string> fields = split_fields(text);
    for (const fault_name &entry : FAULT_NAMES) {
        if (fields[0] != entry.name || fields.size() != entry.arguments + 1)
            continue;
        const bool chance = entry.kind == FAULT_RANDOM;
        double first = 0;
        double amount = 0; // milliseconds (late) or bytes (noise)
        if ((entry.arguments >= 1 && !number_parse(fields[1], entry.first_low, entry.first_high, !chance, &first)) ||
            (entry.arguments >= 2 && !number_parse(fields[2], 0, SIM_NUMBER_MAX, true, &amount)))
            return false;
        *fault = fault_rule{entry.kind, static_cast<long>(first), static_cast<long>(amount), chance ? first : 0.0};
        return true;
    }
    return false;
}

const char *fault_kind_name(fault_kind kind)
{
    for (const fault_name &entry : FAULT_NAMES) {
        if (entry.kind == kind)
            return entry.name;
    }
    return "?";
}

static bool take_value(int argc, char **argv, int *index, std::string *value)
{
    if (*index + 1 >= argc)
        return false;
    *index += 1;
    *value = argv[*index];
    return true;
}

static bool apply_option(const std::string &name, const std::string &value, sim_options *options)
{
    double number = 0;
    fault_rule fault{};
    if (name == "--prefix") {
        options->prefix_dir = value;
    } else if (name == "--link") {
        options->link_path = value;
    } else if (name == "--ready") {
        options->ready_file = value;
    } else if (name == "--report") {
        options->report_file = value;
    } else if (name == "--flash-out") {
        options->flash_out_file = value;
    } else if (name == "--expect") {
        options->expect_file = value;
    } else if (name == "--termrec-log") {
        options->termrec_log = value;
    } else if (name == "--com" && number_parse(value, SIM_COM_NUMBER_MIN, SIM_COM_NUMBER_MAX, true, &number)) {
        options->com_number = static_cast<int>(number);
    } else if (name == "--flash-ms" && number_parse(value, 0, SIM_NUMBER_MAX, true, &number)) {
        options->flash_ms = static_cast<long>(number);
    } else if (name == "--timeout" && number_parse(value, 0, SIM_NUMBER_MAX, false, &number) && number > 0) {
        options->timeout_s = number;
    } else if (name == "--exit-after-restart" && number_parse(value, 0, SIM_NUMBER_MAX, true, &number)) {
        options->exit_after_restart_ms = static_cast<long>(number);
    } else if (name == "--exit-after-writes" && number_parse(value, 1, SIM_NUMBER_MAX, true, &number)) {
        options->exit_after_writes = static_cast<long>(number);
    } else if (name == "--fault" && fault_parse(value, &fault)) {
        options->faults.push_back(fault);
        options->fault_texts.push_back(value);
    } else {
        return false;
    }
    return true;
}

static bool options_consistent(const sim_options *options, std::string *error)
{
    if (options->help || options->print_preload)
        return true;
    if (!options->prefix_dir.empty() && options->com_number == 0) {
        *error = "--prefix needs --com N";
        return false;
    }
    if (options->com_number != 0 && options->prefix_dir.empty()) {
        *error = "--com needs --prefix DIR";
        return false;
    }
    if (!options->prefix_dir.empty() && !options->link_path.empty()) {
        *error = "give either --prefix/--com or --link, not both";
        return false;
    }
    return true;
}

bool options_parse(int argc, char **argv, sim_options *options, std::string *error)
{
    for (int i = 1; i < argc; i++) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            options->help = true;
            continue;
        }
        if (name == "--print-preload") {
            options->print_preload = true;
            continue;
        }
        if (name == "--pace") {
            options->pace = true;
            continue;
        }
        std::string value;
        if (!take_value(argc, argv, &i, &value)) {
            *error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected argument " + name;
            return false;
        }
        if (!apply_option(name, value, options)) {
            *error = "unknown option or bad value: " + name + " " + value + " (see --help)";
            return false;
        }
    }
    return options_consistent(options, error);
}

void options_print_help(const char *program)
{
    std::printf(
        "Usage: %s [options]\n"
        "A simulated Orvex 2.0 boot loader on a pseudo-terminal, for testing the update tool.\n"
        "  --prefix DIR --com N   link DIR/dosdevices/comN to the pty (removed on exit if still ours)\n"
        "  --link PATH            or link PATH to it (neither: the pty's path is only printed)\n"
        "  --ready FILE           once ready, write the pty's path to FILE\n"
        "  --pace                 take a 115200 baud line's time, 11 bits a byte, both ways\n"
        "  --flash-ms MS          flash time per write block before its ack (default 0)\n"
        "  --timeout S            end after S seconds (default %d)\n"
        "  --exit-after-restart MS  end MS ms after the first restart request's answer\n"
        "  --exit-after-writes K  end, as if unplugged, when the K-th write block comes\n"
        "  --fault RULE           repeatable; N counts every request received, from 1:\n"
        "      drop:N  badcrc:N  late:N:MS  dup:N (again 30 ms later)  split:N (3 pieces,\n"
        "      10 ms apart)  noise:N:COUNT (COUNT random bytes, 30 ms silence, the reply)\n"
        "      drop-write:K (no ack for the K-th write block)  corrupt-flash:OFFSET (that\n"
        "      image byte flipped on every write)  no-restart-reply  silent\n"
        "      seed:S (of the random bytes and faults)  random:P (with probability P per\n"
        "      request one of drop, badcrc, late 30-800 ms, noise 1-16 bytes, split, dup)\n"
        "  --print-preload        the LD_PRELOAD value of the termrec library, which records\n"
        "                         the data bits and parity a process asks for (a pty drops them)\n"
        "  --termrec-log FILE     its TERMREC_LOG, for the line settings in the report\n"
        "  --report FILE          JSON report on exit: frames, line, flash, restart, faults\n"
        "  --flash-out FILE       the flash from 0x08001000 up to the highest byte written\n"
        "  --expect FILE          compare the flash with this (padded) image\n"
        "Ends on SIGTERM/SIGINT or the end options; exit status 2 on a usage error, 1 when\n"
        "the pty cannot be set up.\n",
        program, SIM_DEFAULT_TIMEOUT_S);
}
