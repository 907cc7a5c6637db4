#include "bootsim.h"

#include "sim_flash.h"

#include <cmath>
#include <nlohmann/json.hpp>

using json = nlohmann::ordered_json;

constexpr double REPORT_MS_PER_US = 1000.0; // times go out in milliseconds to the microsecond

static json report_ms(double value)
{
    return value < 0 ? json(nullptr) : json(std::round(value * REPORT_MS_PER_US) / REPORT_MS_PER_US);
}

static json report_or_null(long long value)
{
    return value < 0 ? json(nullptr) : json(value);
}

static json report_frame(const frame_record &frame)
{
    return {{"t_ms", report_ms(frame.t_ms)},          {"len", frame.len},
            {"op", request_op_name(frame.info.op)},   {"address", report_or_null(frame.info.address)},
            {"length", report_or_null(frame.info.length)}, {"verdict", frame.info.verdict},
            {"reply", frame.reply},                   {"reply_t_ms", report_ms(frame.reply_t_ms)},
            {"faults_applied", frame.faults_applied}};
}

static json report_line(const sim_state *sim)
{
    const line_observation &line = sim->line;
    const json unknown = nullptr;
    return {{"baud", line.baud},
            {"stop_bits", line.stop_bits},
            {"data_bits", line.from_termrec ? json(line.data_bits) : unknown},
            {"parity", line.from_termrec ? json(line.parity) : unknown},
            {"rtscts", line.rtscts},
            {"xonxoff", line.xonxoff},
            {"observed_from", line.from_termrec ? "tcgetattr+termrec" : "tcgetattr"},
            {"ok", line_ok(&line)},
            {"termrec_records", line.termrec_records},
            {"tty", sim->pty.slave_path}};
}

static json report_flash(const sim_state *sim)
{
    json flash = {{"base", FLASH_BASE_ADDRESS},
                  {"blocks_written", sim->flash.blocks_written},
                  {"bytes_extent", sim->flash.extent_bytes},
                  {"crc16_extent", flash_extent_crc(&sim->flash)},
                  {"expect_match", nullptr},
                  {"first_diff", nullptr}};
    if (sim->have_expect) {
        const flash_comparison comparison = flash_compare(&sim->flash, sim->expected_image);
        flash["expect_match"] = comparison.match;
        flash["first_diff"] = report_or_null(comparison.first_diff);
    }
    return flash;
}

std::string report_json(const sim_state *sim)
{
    json frames = json::array();
    for (const frame_record &frame : sim->frames)
        frames.push_back(report_frame(frame));
    const json restart = {{"count", sim->restart_count},
                          {"first_t_ms", report_ms(sim->restart_count > 0 ? sim->restart_first_ms : -1)}};
    const json report = {{"frames", frames},
                         {"line", report_line(sim)},
                         {"flash", report_flash(sim)},
                         {"restart", restart},
                         {"writes_in_order", sim->flash.writes_in_order},
                         {"faults", sim->options.fault_texts},
                         {"requests", sim->requests},
                         {"paced", sim->options.pace},
                         {"flash_ms", sim->options.flash_ms}};
    // Paths and fault texts come from outside and may hold any byte: what is
    // not ASCII goes out escaped, what is not UTF-8 as U+FFFD, so the report
    // stays valid JSON whatever it quotes.
    return report.dump(-1, ' ', true, json::error_handler_t::replace) + "\n";
}
