#include "bootsim.h"

#include "sim_flash.h"

#include <cstdio>

constexpr unsigned char JSON_FIRST_PLAIN_CHAR = 0x20; // below: control characters, never raw in JSON
constexpr unsigned char JSON_DEL_CHAR = 0x7F;
constexpr unsigned char JSON_FIRST_HIGH_BYTE = 0x80;  // from here on a byte may not be valid UTF-8
constexpr size_t JSON_ESCAPE_BYTES = 8;               // "\u00XX" and its terminator
constexpr size_t JSON_NUMBER_BYTES = 64;

// Paths and fault texts come from outside and may hold any byte. Anything but
// printable ASCII is written as \u00XX (the byte taken as Latin-1), so the
// report is valid JSON and valid UTF-8 whatever it quotes.
static std::string json_string(const std::string &text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < JSON_FIRST_PLAIN_CHAR || byte == JSON_DEL_CHAR || byte >= JSON_FIRST_HIGH_BYTE) {
            char escape[JSON_ESCAPE_BYTES];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(byte));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

static std::string json_number(double value)
{
    char text[JSON_NUMBER_BYTES];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

static std::string json_integer_or_null(long long value)
{
    return value < 0 ? "null" : std::to_string(value);
}

static std::string json_bool(bool value)
{
    return value ? "true" : "false";
}

static std::string json_string_list(const std::vector<std::string> &items)
{
    std::string list = "[";
    for (size_t i = 0; i < items.size(); i++)
        list += (i ? "," : "") + json_string(items[i]);
    return list + "]";
}

static std::string report_frame(const frame_record &frame)
{
    return "{\"t_ms\":" + json_number(frame.t_ms) + ",\"len\":" + std::to_string(frame.len) +
           ",\"op\":" + json_string(request_op_name(frame.info.op)) +
           ",\"address\":" + json_integer_or_null(frame.info.address) +
           ",\"length\":" + json_integer_or_null(frame.info.length) +
           ",\"verdict\":" + json_string(frame.info.verdict) + ",\"reply\":" + json_string(frame.reply) +
           ",\"reply_t_ms\":" + (frame.reply_t_ms < 0 ? std::string("null") : json_number(frame.reply_t_ms)) +
           ",\"faults_applied\":" + json_string_list(frame.faults_applied) + "}";
}

static std::string report_frames(const sim_state *sim)
{
    std::string list = "[";
    for (size_t i = 0; i < sim->frames.size(); i++)
        list += (i ? ",\n  " : "\n  ") + report_frame(sim->frames[i]);
    return list + "]";
}

static std::string report_line(const sim_state *sim)
{
    const line_observation &line = sim->line;
    return "{\"baud\":" + std::to_string(line.baud) + ",\"stop_bits\":" + std::to_string(line.stop_bits) +
           ",\"data_bits\":" + (line.from_termrec ? std::to_string(line.data_bits) : std::string("null")) +
           ",\"parity\":" + (line.from_termrec ? json_string(line.parity) : std::string("null")) +
           ",\"rtscts\":" + json_bool(line.rtscts) + ",\"xonxoff\":" + json_bool(line.xonxoff) +
           ",\"observed_from\":" + json_string(line.from_termrec ? "tcgetattr+termrec" : "tcgetattr") +
           ",\"ok\":" + json_bool(line_ok(&line)) + ",\"termrec_records\":" + std::to_string(line.termrec_records) +
           ",\"tty\":" + json_string(sim->pty.slave_path) + "}";
}

static std::string report_flash(const sim_state *sim)
{
    std::string match = "null";
    std::string first_diff = "null";
    if (sim->have_expect) {
        const flash_comparison comparison = flash_compare(&sim->flash, sim->expected_image);
        match = json_bool(comparison.match);
        first_diff = json_integer_or_null(comparison.first_diff);
    }
    return "{\"base\":" + std::to_string(FLASH_BASE_ADDRESS) +
           ",\"blocks_written\":" + std::to_string(sim->flash.blocks_written) +
           ",\"bytes_extent\":" + std::to_string(sim->flash.extent_bytes) +
           ",\"crc16_extent\":" + std::to_string(flash_extent_crc(&sim->flash)) + ",\"expect_match\":" + match +
           ",\"first_diff\":" + first_diff + "}";
}

static std::string report_restart(const sim_state *sim)
{
    return "{\"count\":" + std::to_string(sim->restart_count) + ",\"first_t_ms\":" +
           (sim->restart_count > 0 ? json_number(sim->restart_first_ms) : std::string("null")) + "}";
}

std::string report_json(const sim_state *sim)
{
    return "{\"frames\":" + report_frames(sim) + ",\n\"line\":" + report_line(sim) +
           ",\n\"flash\":" + report_flash(sim) + ",\n\"restart\":" + report_restart(sim) +
           ",\n\"writes_in_order\":" + json_bool(sim->flash.writes_in_order) +
           ",\n\"faults\":" + json_string_list(sim->options.fault_texts) +
           ",\n\"requests\":" + std::to_string(sim->requests) +
           ",\n\"paced\":" + json_bool(sim->options.pace) + ",\n\"flash_ms\":" + std::to_string(sim->options.flash_ms) +
           "}\n";
}
