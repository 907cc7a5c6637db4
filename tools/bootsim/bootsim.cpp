// bootsim: a simulated Orvex 2.0 boot loader on a pseudo-terminal. It answers
// the update tool's requests like the device would, with faults on command,
// and writes a report of what it saw. See --help.
#include "bootsim.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_SETUP = 1;
constexpr size_t RX_CHUNK_BYTES = 4096;
constexpr size_t TX_CHUNK_BYTES = 4096;
constexpr mode_t DOSDEVICES_DIR_MODE = 0755;

static volatile sig_atomic_t stop_requested = 0;

static void on_stop_signal(int)
{
    stop_requested = 1;
}

static void install_signal_handlers()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

static int64_t now_us()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * US_PER_S + now.tv_nsec / NS_PER_US;
}

static double unix_now_s()
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / NS_PER_S;
}

static double ms_since_start(const sim_state *sim, int64_t t_us)
{
    return static_cast<double>(t_us - sim->start_us) / static_cast<double>(US_PER_MS);
}

static int64_t wire_time_us(const sim_state *sim, size_t bytes)
{
    if (!sim->options.pace)
        return 0;
    return static_cast<int64_t>(static_cast<double>(bytes) * LINE_BYTE_TIME_US + 0.5);
}

// ---- faults ---------------------------------------------------------------

static void apply_global_faults(sim_state *sim)
{
    uint64_t seed = RANDOM_DEFAULT_SEED;
    for (const fault_rule &fault : sim->options.faults) {
        if (fault.kind == FAULT_SEED)
            seed = static_cast<uint64_t>(fault.target);
        else if (fault.kind == FAULT_RANDOM)
            sim->random_chance = fault.chance;
        else if (fault.kind == FAULT_SILENT)
            sim->silent = true;
        else if (fault.kind == FAULT_NO_RESTART_REPLY)
            sim->no_restart_reply = true;
        else if (fault.kind == FAULT_CORRUPT_FLASH)
            sim->flash.corrupt_offsets.push_back(static_cast<uint32_t>(fault.target));
    }
    sim->rng.seed(seed);
}

static long random_between(sim_state *sim, long low, long high)
{
    std::uniform_int_distribution<long> pick(low, high);
    return pick(sim->rng);
}

// What one fault does to the reply it hits.
static void plan_apply(reply_plan *plan, fault_kind kind, long amount, const std::string &text)
{
    switch (kind) {
    case FAULT_DROP:
    case FAULT_DROP_WRITE:
        plan->drop = true;
        break;
    case FAULT_BADCRC:
        plan->bad_crc = true;
        break;
    case FAULT_LATE:
        plan->late_ms += amount;
        break;
    case FAULT_NOISE:
        plan->noise_bytes = amount;
        break;
    case FAULT_SPLIT:
        plan->split = true;
        break;
    case FAULT_DUP:
        plan->dup = true;
        break;
    default:
        return;
    }
    plan->applied.push_back(text);
}

static void add_random_fault(sim_state *sim, reply_plan *plan)
{
    static const fault_kind RANDOM_KINDS[] = {FAULT_DROP, FAULT_BADCRC, FAULT_LATE,
                                              FAULT_NOISE, FAULT_SPLIT, FAULT_DUP};
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (sim->random_chance <= 0 || chance(sim->rng) >= sim->random_chance)
        return;
    const long pick = random_between(sim, 0, static_cast<long>(std::size(RANDOM_KINDS)) - 1);
    const fault_kind kind = RANDOM_KINDS[pick];
    long amount = 0;
    if (kind == FAULT_LATE)
        amount = random_between(sim, RANDOM_LATE_MIN_MS, RANDOM_LATE_MAX_MS);
    if (kind == FAULT_NOISE)
        amount = random_between(sim, RANDOM_NOISE_MIN_BYTES, RANDOM_NOISE_MAX_BYTES);
    std::string text = std::string("random:") + fault_kind_name(kind);
    if (amount > 0)
        text += ":" + std::to_string(amount);
    plan_apply(plan, kind, amount, text);
}

static bool fault_hits(const fault_rule &fault, long request, long write_block)
{
    if (fault.kind == FAULT_DROP_WRITE)
        return write_block > 0 && fault.target == write_block;
    return fault.target == request;
}

static reply_plan plan_reply(sim_state *sim, request_op op, long write_block)
{
    reply_plan plan;
    for (size_t i = 0; i < sim->options.faults.size(); i++) {
        const fault_rule &fault = sim->options.faults[i];
        if (fault_hits(fault, sim->requests, write_block))
            plan_apply(&plan, fault.kind, fault.amount, sim->options.fault_texts[i]);
    }
    if (sim->silent)
        plan_apply(&plan, FAULT_DROP, 0, "silent");
    if (op == OP_RESET && sim->no_restart_reply)
        plan_apply(&plan, FAULT_DROP, 0, "no-restart-reply");
    add_random_fault(sim, &plan);
    return plan;
}

static const char *reply_label(const reply_plan *plan)
{
    if (plan->drop)
        return "dropped";
    if (plan->bad_crc)
        return "bad-crc";
    if (plan->noise_bytes > 0)
        return "noise";
    if (plan->split)
        return "split";
    if (plan->dup)
        return "dup";
    if (plan->late_ms > 0)
        return "late";
    return "answered";
}

// ---- the device's work -------------------------------------------------------

static std::vector<uint8_t> perform_request(sim_state *sim, const request_info &info, const std::vector<uint8_t> &frame,
                                            double t_ms)
{
    const uint32_t address = static_cast<uint32_t>(info.address);
    const uint32_t length = static_cast<uint32_t>(info.length);
    switch (info.op) {
    case OP_WRITE:
        flash_write(&sim->flash, address, frame.data() + REQUEST_WRITE_HEAD_BYTES, length);
        return reply_write_ack(frame.data());
    case OP_CRC:
        return reply_crc(address, length, flash_crc(&sim->flash, address, length));
    case OP_RESET:
        if (sim->restart_count++ == 0)
            sim->restart_first_ms = t_ms;
        return reply_reset();
    default:
        return {};
    }
}

static void spoil_frame_crc(std::vector<uint8_t> *reply)
{
    if (!reply->empty())
        reply->back() = static_cast<uint8_t>(reply->back() ^ REPLY_BAD_CRC_XOR);
}

// ---- sending -------------------------------------------------------------------

static int64_t queue_bytes(sim_state *sim, const uint8_t *bytes, size_t count, int64_t start_us)
{
    int64_t due = start_us;
    for (size_t i = 0; i < count; i++) {
        due = start_us + wire_time_us(sim, i + 1);
        sim->out.push_back(out_byte{due, bytes[i]});
    }
    sim->tx_free_us = std::max(sim->tx_free_us, due);
    return due;
}

static int64_t queue_noise(sim_state *sim, long count, int64_t start_us)
{
    std::vector<uint8_t> noise(static_cast<size_t>(count));
    for (uint8_t &byte : noise)
        byte = static_cast<uint8_t>(random_between(sim, 0, UINT8_MAX));
    return queue_bytes(sim, noise.data(), noise.size(), start_us) + NOISE_GAP_US;
}

static int64_t queue_split(sim_state *sim, const std::vector<uint8_t> &reply, int64_t start_us)
{
    int64_t t = start_us;
    size_t sent = 0;
    for (int piece = 0; piece < SPLIT_PIECES; piece++) {
        const size_t end = reply.size() * static_cast<size_t>(piece + 1) / SPLIT_PIECES;
        t = queue_bytes(sim, reply.data() + sent, end - sent, t);
        sent = end;
        if (piece + 1 < SPLIT_PIECES)
            t += SPLIT_GAP_US;
    }
    return t;
}

// Puts the reply on the outgoing schedule; returns when its last byte leaves.
static int64_t schedule_reply(sim_state *sim, const reply_plan *plan, std::vector<uint8_t> reply, int64_t ready_us)
{
    if (plan->bad_crc)
        spoil_frame_crc(&reply);
    int64_t t = std::max(ready_us, sim->tx_free_us) + plan->late_ms * US_PER_MS;
    if (plan->noise_bytes > 0)
        t = queue_noise(sim, plan->noise_bytes, t);
    t = plan->split ? queue_split(sim, reply, t) : queue_bytes(sim, reply.data(), reply.size(), t);
    if (plan->dup)
        t = queue_bytes(sim, reply.data(), reply.size(), t + DUP_GAP_US);
    return t;
}

static void flush_due_bytes(sim_state *sim, int64_t now)
{
    uint8_t chunk[TX_CHUNK_BYTES];
    size_t count = 0;
    if (now < sim->tx_retry_us)
        return;
    while (count < sizeof chunk && count < sim->out.size() && sim->out[count].due_us <= now) {
        chunk[count] = sim->out[count].value;
        count++;
    }
    if (count == 0)
        return;
    const ssize_t written = write(sim->pty.master_fd, chunk, count);
    if (written > 0)
        sim->out.erase(sim->out.begin(), sim->out.begin() + written);
    // Nobody reads the slave and its buffer is full: try again a little
    // later instead of spinning.
    if (written < static_cast<ssize_t>(count))
        sim->tx_retry_us = now + TX_RETRY_US;
}

// ---- receiving -----------------------------------------------------------------

static void note_restart_for_exit(sim_state *sim, int64_t done_us)
{
    if (sim->options.exit_after_restart_ms < 0 || sim->exit_at_us >= 0)
        return;
    sim->exit_at_us = done_us + sim->options.exit_after_restart_ms * US_PER_MS;
}

static void handle_request(sim_state *sim, const pending_request &request)
{
    sim->requests++;
    const double t_ms = ms_since_start(sim, request.done_us);
    const request_info info = request_classify(request.bytes.data(), request.bytes.size());
    frame_record record{t_ms, request.bytes.size(), info, "none", -1.0, {}};
    if (std::strcmp(info.verdict, "ok") != 0) {
        sim->frames.push_back(record);
        return;
    }
    const long write_block = info.op == OP_WRITE ? ++sim->write_blocks : 0;
    if (write_block > 0 && write_block == sim->options.exit_after_writes) {
        // Pulled out with the block on the line: nothing stored, nothing said.
        record.reply = "unplugged";
        sim->frames.push_back(record);
        sim->unplugged = true;
        return;
    }
    const reply_plan plan = plan_reply(sim, info.op, write_block);
    std::vector<uint8_t> reply = perform_request(sim, info, request.bytes, t_ms);
    record.reply = reply_label(&plan);
    record.faults_applied = plan.applied;
    int64_t done_us = request.done_us;
    if (!plan.drop) {
        const int64_t flash_us = info.op == OP_WRITE ? sim->options.flash_ms * US_PER_MS : 0;
        done_us = schedule_reply(sim, &plan, std::move(reply), request.done_us + flash_us);
        record.reply_t_ms = ms_since_start(sim, done_us);
    }
    if (info.op == OP_RESET)
        note_restart_for_exit(sim, done_us);
    sim->frames.push_back(record);
}

static void queue_request(sim_state *sim, size_t count, int64_t now, int64_t earliest_us)
{
    // The bytes came at once through the pty; on a real line the last one
    // would arrive a wire time after the first, and not before the line was
    // free of the previous request.
    pending_request request;
    request.bytes.assign(sim->rx.begin(), sim->rx.begin() + static_cast<long>(count));
    sim->rx.erase(sim->rx.begin(), sim->rx.begin() + static_cast<long>(count));
    const int64_t first_us = std::max(sim->rx_first_us, sim->rx_line_free_us);
    request.done_us = std::max(first_us + wire_time_us(sim, count), earliest_us);
    sim->rx_line_free_us = request.done_us;
    sim->rx_first_us = now;
    sim->pending.push_back(request);
}

static void cut_complete_requests(sim_state *sim, int64_t now)
{
    for (;;) {
        const size_t expected = request_expected_length(sim->rx);
        if (expected == 0 || sim->rx.size() < expected)
            return;
        queue_request(sim, expected, now, 0);
    }
}

static void cut_silent_garbage(sim_state *sim, int64_t now)
{
    if (sim->rx.empty() || now - sim->rx_last_us < RX_SILENCE_END_US)
        return;
    // Garbage counts as received when the silence that ended it was noticed.
    queue_request(sim, sim->rx.size(), now, now);
}

static void receive_bytes(sim_state *sim, int64_t now)
{
    uint8_t chunk[RX_CHUNK_BYTES];
    for (;;) {
        const ssize_t got = read(sim->pty.master_fd, chunk, sizeof chunk);
        if (got <= 0)
            break;
        if (sim->rx.empty())
            sim->rx_first_us = now;
        sim->rx.insert(sim->rx.end(), chunk, chunk + got);
        sim->rx_last_us = now;
        cut_complete_requests(sim, now);
        if (sim->rx.size() > REQUEST_BYTES_MAX)
            queue_request(sim, sim->rx.size(), now, now);
    }
    // The tool has opened and configured the port by the time it sends.
    if (sim->rx_last_us == now)
        line_read_pty(sim->pty.slave_fd, &sim->line);
}

static void handle_due_requests(sim_state *sim, int64_t now)
{
    while (!sim->pending.empty() && sim->pending.front().done_us <= now) {
        const pending_request request = std::move(sim->pending.front());
        sim->pending.pop_front();
        handle_request(sim, request);
    }
}

// ---- the loop -------------------------------------------------------------------

// With --exit-after-restart the run ends once the replies are out; when
// nobody reads the line and they cannot leave, it gives up after a while
// rather than waiting (or spinning) until --timeout.
static int64_t exit_due_us(const sim_state *sim)
{
    if (sim->exit_at_us < 0)
        return -1;
    return sim->out.empty() ? sim->exit_at_us : sim->exit_at_us + EXIT_DRAIN_LIMIT_US;
}

static int64_t next_event_us(const sim_state *sim, int64_t now)
{
    int64_t next = std::min(now + LOOP_IDLE_WAIT_US, sim->end_us);
    if (!sim->out.empty())
        next = std::min(next, std::max(sim->out.front().due_us, sim->tx_retry_us));
    if (!sim->pending.empty())
        next = std::min(next, sim->pending.front().done_us);
    if (!sim->rx.empty())
        next = std::min(next, sim->rx_last_us + RX_SILENCE_END_US);
    const int64_t exit_us = exit_due_us(sim);
    if (exit_us >= 0)
        next = std::min(next, exit_us);
    return next;
}

static void wait_for_input(const sim_state *sim, int64_t until_us)
{
    const int64_t wait_us = std::max<int64_t>(0, until_us - now_us());
    struct timespec wait {};
    wait.tv_sec = static_cast<time_t>(wait_us / US_PER_S);
    wait.tv_nsec = static_cast<long>((wait_us % US_PER_S) * NS_PER_US);
    struct pollfd watch {};
    watch.fd = sim->pty.master_fd;
    watch.events = POLLIN;
    ppoll(&watch, 1, &wait, nullptr);
}

static bool run_finished(const sim_state *sim, int64_t now)
{
    if (stop_requested || sim->unplugged || now >= sim->end_us)
        return true;
    return exit_due_us(sim) >= 0 && now >= exit_due_us(sim);
}

static void run_loop(sim_state *sim)
{
    for (;;) {
        int64_t now = now_us();
        if (run_finished(sim, now))
            return;
        wait_for_input(sim, next_event_us(sim, now));
        now = now_us();
        receive_bytes(sim, now);
        cut_silent_garbage(sim, now);
        handle_due_requests(sim, now);
        flush_due_bytes(sim, now);
    }
}

// ---- setting up and finishing ---------------------------------------------------

static std::string executable_dir()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    std::string text = path;
    return text.substr(0, text.rfind('/'));
}

static bool read_file_bytes(const std::string &path, std::vector<uint8_t> *bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

static bool publish_device(sim_state *sim, std::string *where, std::string *error)
{
    const sim_options &options = sim->options;
    if (!options.prefix_dir.empty()) {
        const std::string devices = options.prefix_dir + "/dosdevices";
        mkdir(devices.c_str(), DOSDEVICES_DIR_MODE);
        *where = " as com" + std::to_string(options.com_number);
        return pty_publish_link(&sim->pty, devices + "/com" + std::to_string(options.com_number), error);
    }
    if (!options.link_path.empty()) {
        *where = " as " + options.link_path;
        return pty_publish_link(&sim->pty, options.link_path, error);
    }
    return true;
}

static bool set_up(sim_state *sim)
{
    std::string error;
    std::string where;
    flash_init(&sim->flash);
    apply_global_faults(sim);
    if (!sim->options.expect_file.empty()) {
        sim->have_expect = read_file_bytes(sim->options.expect_file, &sim->expected_image);
        if (!sim->have_expect) {
            std::fprintf(stderr, "bootsim: cannot read %s\n", sim->options.expect_file.c_str());
            return false;
        }
    }
    if (!pty_open(&sim->pty, &error) || !pty_start_ctty_guard(&sim->pty, &error) ||
        !publish_device(sim, &where, &error)) {
        std::fprintf(stderr, "bootsim: %s\n", error.c_str());
        return false;
    }
    if (!sim->options.ready_file.empty() && !file_write_atomic(sim->options.ready_file, sim->pty.slave_path)) {
        std::fprintf(stderr, "bootsim: cannot write %s\n", sim->options.ready_file.c_str());
        return false;
    }
    std::fprintf(stderr, "bootsim: device on %s%s\n", sim->pty.slave_path.c_str(), where.c_str());
    return true;
}

static bool write_flash_out(const sim_state *sim)
{
    const std::string bytes(sim->flash.bytes.begin(), sim->flash.bytes.begin() + sim->flash.extent_bytes);
    return file_write_atomic(sim->options.flash_out_file, bytes);
}

static void finish(sim_state *sim)
{
    if (!sim->line.from_pty)
        line_read_pty(sim->pty.slave_fd, &sim->line);
    if (!sim->options.termrec_log.empty())
        line_apply_termrec(&sim->line, sim->options.termrec_log, sim->pty.slave_path, sim->start_unix_s);
    if (!sim->options.report_file.empty() && !file_write_atomic(sim->options.report_file, report_json(sim)))
        std::fprintf(stderr, "bootsim: cannot write %s\n", sim->options.report_file.c_str());
    if (!sim->options.flash_out_file.empty() && !write_flash_out(sim))
        std::fprintf(stderr, "bootsim: cannot write %s\n", sim->options.flash_out_file.c_str());
    pty_remove_link(&sim->pty);
    pty_close(&sim->pty);
}

int main(int argc, char **argv)
{
    sim_state sim;
    std::string error;
    if (!options_parse(argc, argv, &sim.options, &error)) {
        std::fprintf(stderr, "bootsim: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (sim.options.help) {
        options_print_help(argv[0]);
        return 0;
    }
    if (sim.options.print_preload) {
        std::printf("%s/preload/$LIB/libtermrec.so\n", executable_dir().c_str());
        return 0;
    }
    sim.start_us = now_us();
    sim.start_unix_s = unix_now_s();
    sim.end_us = sim.start_us + static_cast<int64_t>(sim.options.timeout_s * static_cast<double>(US_PER_S));
    install_signal_handlers();
    if (!set_up(&sim)) {
        pty_remove_link(&sim.pty);
        pty_close(&sim.pty);
        return EXIT_SETUP;
    }
    run_loop(&sim);
    finish(&sim);
    return 0;
}
