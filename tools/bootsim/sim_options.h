// Command line of the simulated boot loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum fault_kind {
    FAULT_DROP,
    FAULT_BADCRC,
    FAULT_LATE,
    FAULT_NOISE,
    FAULT_SPLIT,
    FAULT_DUP,
    FAULT_CORRUPT_FLASH,
    FAULT_NO_RESTART_REPLY,
    FAULT_SILENT,
    FAULT_DROP_WRITE,
    FAULT_SEED,
    FAULT_RANDOM,
};

struct fault_rule {
    fault_kind kind;
    long target;     // request number, write-block number or image offset
    long amount;     // milliseconds (late) or byte count (noise)
    double chance;   // probability per request (random)
};

constexpr int SIM_DEFAULT_TIMEOUT_S = 600;
// Above every number bootsim reads (a unix time too); a count of
// milliseconds below it stays far from overflow in microseconds.
constexpr double SIM_NUMBER_MAX = 1e10;
constexpr long SIM_COM_NUMBER_MIN = 1;
constexpr long SIM_COM_NUMBER_MAX = 998;

struct sim_options {
    std::string prefix_dir;
    int com_number = 0;
    std::string link_path;
    std::string ready_file;
    std::string report_file;
    std::string flash_out_file;
    std::string expect_file;
    std::string termrec_log;
    bool pace = false;
    long flash_ms = 0;
    double timeout_s = SIM_DEFAULT_TIMEOUT_S;
    long exit_after_restart_ms = -1; // -1: keep running after a restart
    long exit_after_writes = 0;      // 0: never; K: gone, as if unplugged, once the K-th write block comes
    std::vector<fault_rule> faults;
    std::vector<std::string> fault_texts;
    bool print_preload = false;
    bool help = false;
};

// Fills *options from argv; on a usage error returns false with the reason in *error.
bool options_parse(int argc, char **argv, sim_options *options, std::string *error);
// The whole text as a number as C writes it ("0x1234" too), from low to at
// most high and SIM_NUMBER_MAX; whole: without a fraction.
bool number_parse(const std::string &text, double low, double high, bool whole, double *value);
const char *fault_kind_name(fault_kind kind);
void options_print_help(const char *program);
