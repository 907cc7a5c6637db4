// uidriver: works the update tool's dialog from outside, as a user would, so
// that the end-to-end tests can press its button and read what it shows.
// It runs under Wine beside the tool, in the same prefix and on the same
// display, and does one thing per invocation (see usage_print).
//
// Everything is read with the wide messages: across processes Wine marshals
// the wide combo box messages whole, while the ANSI form came back cut short.
// Every press is posted, never sent, because a press may open a modal box in
// the tool and a sent message would then wait for the box to be answered.
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <fcntl.h>
#include <io.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <iterator>
#include <string>
#include <vector>

#include "resources/resource.h"

namespace {

const char UI_DIALOG_CAPTION[] = "Orvex 2.0 Firmware Update Tool";
const char UI_DIALOG_CLASS[] = "ZELT"; // the question before closing has the dialog's caption
const char UI_BOX_CAPTION[] = "Terminate Program";
const char UI_BOX_CLASS[] = "#32770"; // the class of every system dialog
const char UI_FRONT_CLASS[] = "uidriver front"; // the window "front" puts before the dialog

const int UI_ID_BOX_TEXT = 0xFFFF; // the message text of a system message box

const DWORD UI_POLL_MS = 5;               // between two looks at the dialog
const DWORD UI_WAIT_DEFAULT_MS = 10000;   // when the caller gives no limit
const UINT UI_SEND_TIMEOUT_MS = 3000;     // a tick of the tool blocks it for ~200 ms at most
const size_t UI_TEXT_ROOM_CHARS = 256;    // enough for any status line
const int UI_SAMPLE_TRIES = 5;            // reads of the dialog for one untorn sample

const char *const UI_FINAL_STATUSES[] = {"Programming Completed", "FAILED"};
const int UI_FINAL_STATUS_COUNT = static_cast<int>(std::size(UI_FINAL_STATUSES));

const int UI_EXIT_OK = 0;
const int UI_EXIT_USAGE = 1;
const int UI_EXIT_NOT_FOUND = 2; // no such window, or a wait ran out
const int UI_EXIT_STALLED = 3;   // the status stood still longer than asked

const DWORD UI_TIMING_POLL_MS = 1;  // the timing commands look this often
// 100 ns units from 1601-01-01, the FILETIME epoch, to 1970-01-01.
const unsigned long long UI_FILETIME_UNIX_EPOCH = 116444736000000000ULL;

// What the dialog shows at one moment, for the watchers.
struct ui_sample {
    std::string status;
    long range_low;  // -1 when the dialog has no progress bar
    long range_high;
    long position;
};

void usage_print()
{
    fputs("usage: uidriver COMMAND [ARGS]\n"
          "  wait-dialog [ms]        wait for the tool's dialog, print its handle\n"
          "  list                    print the port list, then \"selected N\"\n"
          "  select INDEX            select a port list entry\n"
          "  click                   press the update button\n"
          "  status                  print the status line\n"
          "  wait-status TEXT [ms]   wait until the status line reads TEXT\n"
          "  wait-address ADDR [ms]  wait until the status line reads \"programming \"\n"
          "                          and an address at or past ADDR\n"
          "  progress                print \"range LO HI pos P\"\n"
          "  watch-progress ms       print status and progress at each change,\n"
          "                          each pair read at one moment of the tool\n"
          "  rect ID                 print a control's screen rectangle\n"
          "  read-box [ms]           wait for the fatal error box, print its text\n"
          "  answer-box [ms]         press the fatal error box's OK\n"
          "  close                   close the dialog as a user would\n"
          "  post-close              post WM_CLOSE, as another program closing the\n"
          "                          dialog does (it reaches a dialog that a modal\n"
          "                          box has disabled)\n"
          "  question [ms]           wait for the question the tool asks before it\n"
          "                          closes, print its text, then \"boxes N\", the\n"
          "                          count of such questions up\n"
          "  answer yes|no           press Yes or No in that question\n"
          "  end-session [goes-on|ends]\n"
          "                          ask the tool, as Windows does before a shutdown,\n"
          "                          whether the session may end; with an argument,\n"
          "                          tell it instead whether the session goes on or\n"
          "                          ends after all; print \"answered N\"\n"
          "  front [ms]              put a window of another program in front of the\n"
          "                          dialog; print \"front\" and its handle once it is\n"
          "                          the foreground window, and keep it for ms\n"
          "  wait-foreground [ms]    wait until the dialog is the foreground window\n"
          "                          and holds the keyboard focus\n"
          "  focus [ID [ms]]         print \"focus N\", the id of the dialog's control\n"
          "                          that holds the tool's keyboard focus (\"dialog\":\n"
          "                          the dialog itself, \"none\": another window or\n"
          "                          none); with ID, wait until that control holds it\n"
          "  click-time MS STALL_MS TEXT...\n"
          "                          press the button, then look at the status line\n"
          "                          every 1 ms; print \"ms<TAB>status\" at each change\n"
          "                          (ms since the press) until it reads one of the\n"
          "                          TEXTs, MS pass, or it stays the same for STALL_MS\n"
          "                          (0: no such limit); ends with a line \"done\",\n"
          "                          \"timeout\" or \"stalled\", ms, status\n"
          "  wait-listed [ms]        print \"ready\" and the wall clock, then wait\n"
          "                          until the port list has entries and print\n"
          "                          \"listed\", the wall clock and the count\n"
          "                          (wall clock: Unix seconds, microseconds)\n"
          "  device-change arrival|removal NAME\n"
          "                          announce to the dialog, as Windows does, that the\n"
          "                          serial port NAME (COM6, say) arrived or went\n",
          stderr);
}

// A send that cannot hang the driver when the tool is stuck.
bool send_bounded(HWND window, UINT message_id, WPARAM wparam, LPARAM lparam, LRESULT *result)
{
    DWORD_PTR answer = 0;
    LRESULT sent = SendMessageTimeoutW(window, message_id, wparam, lparam, SMTO_ABORTIFHUNG,
                                       UI_SEND_TIMEOUT_MS, &answer);
    *result = static_cast<LRESULT>(answer);
    return sent != 0;
}

std::string utf8_from_wide(const wchar_t *text, int length)
{
    if (length <= 0) {
        return std::string();
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], size, nullptr, nullptr);
    return result;
}

// One message a read, so that two reads of the status line come as close
// together as they can; a text that fills the buffer is fetched again with
// more room.
std::string window_text(HWND window)
{
    for (size_t room = UI_TEXT_ROOM_CHARS;; room *= 2) {
        std::vector<wchar_t> buffer(room, L'\0');
        LRESULT copied = 0;
        if (!send_bounded(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                          &copied) || copied < 0) {
            return std::string();
        }
        if (static_cast<size_t>(copied) + 1 < room) {
            return utf8_from_wide(buffer.data(), static_cast<int>(copied));
        }
    }
}

std::string combo_entry(HWND combo, int index)
{
    LRESULT length = 0;
    if (!send_bounded(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0, &length) ||
        length <= 0) {
        return std::string();
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    LRESULT copied = 0;
    send_bounded(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(buffer.data()), &copied);
    return utf8_from_wide(buffer.data(), static_cast<int>(copied));
}

long number_arg(int argc, char **argv, int index, long fallback)
{
    if (index >= argc) {
        return fallback;
    }
    return strtol(argv[index], nullptr, 0);
}

DWORD wait_ms_arg(int argc, char **argv, int index)
{
    return static_cast<DWORD>(number_arg(argc, argv, index, UI_WAIT_DEFAULT_MS));
}

HWND find_dialog()
{
    return FindWindowA(UI_DIALOG_CLASS, UI_DIALOG_CAPTION);
}

// The message boxes with the dialog's caption, the question before closing.
std::vector<HWND> questions_up()
{
    std::vector<HWND> found;
    for (HWND box = FindWindowExA(nullptr, nullptr, UI_BOX_CLASS, UI_DIALOG_CAPTION); box != nullptr;
         box = FindWindowExA(nullptr, box, UI_BOX_CLASS, UI_DIALOG_CAPTION)) {
        found.push_back(box);
    }
    return found;
}

HWND find_question()
{
    std::vector<HWND> found = questions_up();
    return found.empty() ? nullptr : found[0];
}

HWND find_box()
{
    return FindWindowA(UI_BOX_CLASS, UI_BOX_CAPTION);
}

// Every wait of the driver: calls look() every poll_ms until it returns
// true or wait_ms have passed; whether it returned true.
template <typename Look> bool poll_until(DWORD wait_ms, DWORD poll_ms, Look look)
{
    const DWORD start = GetTickCount();
    while (!look()) {
        if (GetTickCount() - start > wait_ms) {
            return false;
        }
        Sleep(poll_ms);
    }
    return true;
}

HWND wait_window(HWND (*finder)(), DWORD wait_ms)
{
    HWND window = nullptr;
    poll_until(wait_ms, UI_POLL_MS, [&] { return (window = finder()) != nullptr; });
    return window;
}

// The dialog, or null after saying it is missing.
HWND dialog_required()
{
    HWND dialog = find_dialog();
    if (dialog == nullptr) {
        fputs("uidriver: the tool's dialog is not there\n", stderr);
    }
    return dialog;
}

HWND dialog_control(int id)
{
    HWND dialog = dialog_required();
    if (dialog == nullptr) {
        return nullptr;
    }
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) {
        fprintf(stderr, "uidriver: the dialog has no control %d\n", id);
    }
    return control;
}

bool status_in(const std::string &status, const char *const *texts, int count)
{
    for (int index = 0; index < count; ++index) {
        if (status == texts[index]) {
            return true;
        }
    }
    return false;
}

// The bar's range and position; a missing bar (null) gives -1 for each.
ui_sample bar_take(HWND progress_bar)
{
    ui_sample sample{std::string(), -1, -1, -1};
    if (progress_bar == nullptr) {
        return sample;
    }
    // PBM_GETRANGE's PBRANGE pointer would not cross the process boundary;
    // the plain return value with no pointer carries one end at a time.
    LRESULT value = 0;
    send_bounded(progress_bar, PBM_GETRANGE, TRUE, 0, &value);
    sample.range_low = static_cast<long>(value);
    send_bounded(progress_bar, PBM_GETRANGE, FALSE, 0, &value);
    sample.range_high = static_cast<long>(value);
    send_bounded(progress_bar, PBM_GETPOS, 0, 0, &value);
    sample.position = static_cast<long>(value);
    return sample;
}

// The status line's text as the window system keeps it: for a window of
// another process GetWindowTextW asks no message of the tool, so the read is
// never held up by a step of the tool.
std::string status_kept(HWND status_line)
{
    wchar_t text[UI_TEXT_ROOM_CHARS] = L"";
    return utf8_from_wide(text, GetWindowTextW(status_line, text, static_cast<int>(std::size(text))));
}

// The tool changes the status line and the bar in one step and answers other
// processes only between steps: the bar, read between two reads of the same
// status, belongs to that status. A sample still torn after a few tries is no
// sample. The range, set once as the dialog starts, is read after.
bool sample_consistent(HWND status_line, HWND progress_bar, ui_sample *sample)
{
    for (int attempt = 0; attempt < UI_SAMPLE_TRIES; ++attempt) {
        std::string status = status_kept(status_line);
        LRESULT position = -1;
        send_bounded(progress_bar, PBM_GETPOS, 0, 0, &position);
        if (status_kept(status_line) == status) {
            *sample = bar_take(progress_bar);
            sample->status = status;
            sample->position = static_cast<long>(position);
            return true;
        }
    }
    return false;
}

bool sample_same(const ui_sample &a, const ui_sample &b)
{
    return a.status == b.status && a.range_low == b.range_low &&
           a.range_high == b.range_high && a.position == b.position;
}

int command_wait_dialog(int argc, char **argv)
{
    DWORD wait_ms = wait_ms_arg(argc, argv, 2);
    HWND dialog = wait_window(find_dialog, wait_ms);
    if (dialog == nullptr) {
        fputs("uidriver: no dialog appeared\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    printf("%#lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(dialog)));
    return UI_EXIT_OK;
}

int command_list(int, char **)
{
    HWND combo = dialog_control(IDC_PORT_LIST);
    if (combo == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    LRESULT count = 0;
    send_bounded(combo, CB_GETCOUNT, 0, 0, &count);
    for (int index = 0; index < static_cast<int>(count); ++index) {
        printf("%s\n", combo_entry(combo, index).c_str());
    }
    LRESULT selected = CB_ERR;
    send_bounded(combo, CB_GETCURSEL, 0, 0, &selected);
    printf("selected %ld\n", static_cast<long>(selected));
    return UI_EXIT_OK;
}

int command_select(int argc, char **argv)
{
    HWND combo = dialog_control(IDC_PORT_LIST);
    if (combo == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    LRESULT selected = CB_ERR;
    send_bounded(combo, CB_SETCURSEL, static_cast<WPARAM>(number_arg(argc, argv, 2, 0)), 0,
                 &selected);
    printf("selected %ld\n", static_cast<long>(selected));
    return selected == CB_ERR ? UI_EXIT_NOT_FOUND : UI_EXIT_OK;
}

int command_click(int, char **)
{
    HWND button = dialog_control(IDC_UPDATE);
    if (button == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    PostMessageW(button, BM_CLICK, 0, 0);
    return UI_EXIT_OK;
}

int command_status(int, char **)
{
    HWND status_line = dialog_control(IDC_STATUS);
    if (status_line == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    printf("%s\n", window_text(status_line).c_str());
    return UI_EXIT_OK;
}

// Reads the status line until reached() accepts it, printing every text it
// shows on the way.
int status_wait(const char *wanted, DWORD wait_ms, bool (*reached)(const std::string &status, const char *wanted))
{
    HWND status_line = dialog_control(IDC_STATUS);
    if (status_line == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    std::string last = window_text(status_line);
    printf("%s\n", last.c_str());
    bool reached_it = false;
    poll_until(wait_ms, UI_POLL_MS, [&] {
        std::string status = window_text(status_line);
        if (status != last) {
            printf("%s\n", status.c_str());
            fflush(stdout);
            last = status;
        }
        reached_it = reached(status, wanted);
        return reached_it || !IsWindow(status_line);
    });
    if (!reached_it) {
        fprintf(stderr, "uidriver: the status never reached \"%s\"\n", wanted);
        return UI_EXIT_NOT_FOUND;
    }
    return UI_EXIT_OK;
}

bool status_equals(const std::string &status, const char *wanted)
{
    return status == wanted;
}

int command_wait_status(int argc, char **argv)
{
    return status_wait(argv[2], wait_ms_arg(argc, argv, 3), status_equals);
}

// Each block's status stands for one tick of the tool only, too short to be
// sure to see; any block at or past the one wanted will do.
bool status_at_or_past(const std::string &status, const char *wanted)
{
    unsigned long address = 0;
    return sscanf(status.c_str(), "programming %lx", &address) == 1 && address >= strtoul(wanted, nullptr, 0);
}

int command_wait_address(int argc, char **argv)
{
    return status_wait(argv[2], wait_ms_arg(argc, argv, 3), status_at_or_past);
}

int command_progress(int, char **)
{
    HWND progress_bar = dialog_control(IDC_PROGRESS);
    if (progress_bar == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    ui_sample sample = bar_take(progress_bar);
    printf("range %ld %ld pos %ld\n", sample.range_low, sample.range_high, sample.position);
    return UI_EXIT_OK;
}

// One line per change of an untorn sample: milliseconds since the start, low
// and high end of the range, position, status text; tab-separated. It ends
// at the first final status that differs from the one it started with, so it
// can be started before the button is pressed, even after a run that ended.
int command_watch_progress(int argc, char **argv)
{
    DWORD watch_ms = wait_ms_arg(argc, argv, 2);
    HWND status_line = dialog_control(IDC_STATUS);
    if (status_line == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    HWND progress_bar = GetDlgItem(GetParent(status_line), IDC_PROGRESS);
    const DWORD start = GetTickCount();
    ui_sample last{};
    bool have_last = false;
    bool left_start = false;
    bool done = false;
    poll_until(watch_ms, UI_POLL_MS, [&] {
        ui_sample sample;
        if (!sample_consistent(status_line, progress_bar, &sample) || (have_last && sample_same(sample, last))) {
            return !IsWindow(status_line);
        }
        printf("%lu\t%ld\t%ld\t%ld\t%s\n", static_cast<unsigned long>(GetTickCount() - start),
               sample.range_low, sample.range_high, sample.position, sample.status.c_str());
        fflush(stdout);
        left_start = left_start || (have_last && sample.status != last.status);
        last = sample;
        have_last = true;
        done = left_start && status_in(sample.status, UI_FINAL_STATUSES, UI_FINAL_STATUS_COUNT);
        return done;
    });
    return done ? UI_EXIT_OK : UI_EXIT_NOT_FOUND;
}

int command_rect(int argc, char **argv)
{
    HWND control = dialog_control(static_cast<int>(number_arg(argc, argv, 2, 0)));
    if (control == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    RECT rect{};
    GetWindowRect(control, &rect);
    printf("%ld %ld %ld %ld\n", static_cast<long>(rect.left), static_cast<long>(rect.top),
           static_cast<long>(rect.right), static_cast<long>(rect.bottom));
    return UI_EXIT_OK;
}

// Windows and Wine alike put a message box's text in the static control
// with this id.
std::string box_text(HWND box)
{
    HWND text_control = GetDlgItem(box, UI_ID_BOX_TEXT);
    return text_control != nullptr ? window_text(text_control) : std::string();
}

// The fatal error box, waited for as long as the command's argument says; null
// after saying it did not come.
HWND box_waited(int argc, char **argv)
{
    HWND box = wait_window(find_box, wait_ms_arg(argc, argv, 2));
    if (box == nullptr) {
        fputs("uidriver: no \"Terminate Program\" box appeared\n", stderr);
    }
    return box;
}

int command_read_box(int argc, char **argv)
{
    HWND box = box_waited(argc, argv);
    if (box == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    fputs(box_text(box).c_str(), stdout);
    return UI_EXIT_OK;
}

int command_answer_box(int argc, char **argv)
{
    HWND box = box_waited(argc, argv);
    if (box == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    HWND ok_button = GetDlgItem(box, IDOK);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(ok_button));
    return UI_EXIT_OK;
}

int command_close(int, char **)
{
    HWND dialog = dialog_required();
    if (dialog == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    return UI_EXIT_OK;
}

int command_post_close(int, char **)
{
    HWND dialog = dialog_required();
    if (dialog == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    if (!PostMessageW(dialog, WM_CLOSE, 0, 0)) {
        fputs("uidriver: the close could not be posted\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    return UI_EXIT_OK;
}

int command_question(int argc, char **argv)
{
    HWND box = wait_window(find_question, wait_ms_arg(argc, argv, 2));
    if (box == nullptr) {
        fputs("uidriver: no question appeared\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    printf("%s\nboxes %u\n", box_text(box).c_str(), static_cast<unsigned>(questions_up().size()));
    return UI_EXIT_OK;
}

int command_answer(int, char **argv)
{
    int button_id = strcmp(argv[2], "yes") == 0 ? IDYES : strcmp(argv[2], "no") == 0 ? IDNO : 0;
    if (button_id == 0) {
        usage_print();
        return UI_EXIT_USAGE;
    }
    HWND box = find_question();
    HWND button = box != nullptr ? GetDlgItem(box, button_id) : nullptr;
    if (button == nullptr) {
        fputs("uidriver: no question to answer\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    PostMessageW(button, BM_CLICK, 0, 0);
    return UI_EXIT_OK;
}

// Windows asks every window before a shutdown, a restart or a log-off
// (WM_QUERYENDSESSION: a window that answers 0 holds the session's end off),
// then tells each whether the session ends after all (WM_ENDSESSION): it
// goes on when a program held it off or the user cancelled.
int command_end_session(int argc, char **argv)
{
    UINT message_id = WM_QUERYENDSESSION;
    WPARAM ending = FALSE;
    if (argc > 2) {
        message_id = WM_ENDSESSION;
        ending = strcmp(argv[2], "ends") == 0 ? TRUE : FALSE;
        if (!ending && strcmp(argv[2], "goes-on") != 0) {
            usage_print();
            return UI_EXIT_USAGE;
        }
    }
    HWND dialog = dialog_required();
    if (dialog == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    LRESULT answer = 0;
    if (!send_bounded(dialog, message_id, ending, 0, &answer)) {
        fputs("uidriver: the dialog did not answer\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    printf("answered %ld\n", static_cast<long>(answer));
    return UI_EXIT_OK;
}

// Milliseconds since `since`, from the performance counter: GetTickCount
// moves in steps too coarse for timing a tick of the tool.
double elapsed_ms(const LARGE_INTEGER &since)
{
    LARGE_INTEGER now{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - since.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// The wall clock as Unix seconds, so that a script on the host can put it
// beside its own clock (Wine's FILETIME is the host's clock).
double unix_seconds_now()
{
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    unsigned long long units =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(units - UI_FILETIME_UNIX_EPOCH) / 1e7;
}

// Times an update from the press to a wanted status. The press is posted, as
// by "click", and the clock starts just before it; the status line is read
// every millisecond, so a change shows within about a millisecond of the
// tool's step that made it (the read waits while a step blocks the tool).
int command_click_time(int argc, char **argv)
{
    const DWORD limit_ms = wait_ms_arg(argc, argv, 2);
    const double stall_ms = static_cast<double>(number_arg(argc, argv, 3, 0));
    HWND button = dialog_control(IDC_UPDATE);
    HWND status_line = dialog_control(IDC_STATUS);
    if (button == nullptr || status_line == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    std::string last = window_text(status_line);
    printf("0.0\t%s\n", last.c_str());
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    PostMessageW(button, BM_CLICK, 0, 0);
    double changed_ms = 0;
    double now_ms = 0;
    const char *how = "timeout";
    int code = UI_EXIT_NOT_FOUND;
    poll_until(limit_ms, UI_TIMING_POLL_MS, [&] {
        std::string status = window_text(status_line);
        now_ms = elapsed_ms(start);
        if (status != last) {
            printf("%.1f\t%s\n", now_ms, status.c_str());
            fflush(stdout);
            last = status;
            changed_ms = now_ms;
        }
        if (status_in(status, argv + 4, argc - 4)) {
            how = "done";
            code = UI_EXIT_OK;
        } else if (stall_ms > 0 && now_ms - changed_ms > stall_ms) {
            how = "stalled";
            code = UI_EXIT_STALLED;
        }
        return code != UI_EXIT_NOT_FOUND || !IsWindow(status_line);
    });
    printf("%s\t%.1f\t%s\n", how, now_ms, last.c_str());
    return code;
}

// For timing the tool's start: started before the tool, it says "ready",
// then watches for the dialog and its port list to fill.
int command_wait_listed(int argc, char **argv)
{
    DWORD wait_ms = wait_ms_arg(argc, argv, 2);
    printf("ready\t%.6f\n", unix_seconds_now());
    fflush(stdout);
    LRESULT count = 0;
    if (!poll_until(wait_ms, UI_TIMING_POLL_MS, [&] {
            HWND dialog = find_dialog();
            HWND combo = dialog != nullptr ? GetDlgItem(dialog, IDC_PORT_LIST) : nullptr;
            return combo != nullptr && send_bounded(combo, CB_GETCOUNT, 0, 0, &count) && count > 0;
        })) {
        fputs("uidriver: the port list never filled\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    printf("listed\t%.6f\t%ld\n", unix_seconds_now(), static_cast<long>(count));
    return UI_EXIT_OK;
}

// The window that holds the keyboard focus of the dialog's thread: one of
// its controls, the dialog, a box of the tool's, or null.
HWND thread_focus(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

// Keys from outside go to the foreground window's focus, so a key is sent
// only once the dialog is in front and one of its controls holds the focus.
bool dialog_has_focus(HWND dialog)
{
    HWND focus = thread_focus(dialog);
    return GetForegroundWindow() == dialog && (focus == dialog || IsChild(dialog, focus));
}

// What "focus" prints: the id of the dialog's control that holds the focus
// (a combo box's edit field counts as the combo box), "dialog" or "none".
std::string focus_name(HWND dialog)
{
    HWND focus = thread_focus(dialog);
    if (focus == dialog) {
        return "dialog";
    }
    if (focus == nullptr || !IsChild(dialog, focus)) {
        return "none";
    }
    while (GetAncestor(focus, GA_PARENT) != dialog) {
        focus = GetAncestor(focus, GA_PARENT);
    }
    return std::to_string(GetDlgCtrlID(focus));
}

int command_focus(int argc, char **argv)
{
    HWND dialog = dialog_required();
    if (dialog == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    std::string wanted = argc > 2 ? std::to_string(number_arg(argc, argv, 2, 0)) : std::string();
    std::string name;
    bool reached = poll_until(wait_ms_arg(argc, argv, 3), UI_POLL_MS, [&] {
        name = focus_name(dialog);
        return wanted.empty() || name == wanted || !IsWindow(dialog);
    });
    printf("focus %s\n", name.c_str());
    return reached && (wanted.empty() || name == wanted) ? UI_EXIT_OK : UI_EXIT_NOT_FOUND;
}

int command_wait_foreground(int argc, char **argv)
{
    DWORD wait_ms = wait_ms_arg(argc, argv, 2);
    HWND dialog = dialog_required();
    if (dialog == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    bool focused = false;
    poll_until(wait_ms, UI_POLL_MS, [&] {
        focused = dialog_has_focus(dialog);
        return focused || !IsWindow(dialog);
    });
    if (!focused) {
        fputs("uidriver: the dialog never had the focus\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    return UI_EXIT_OK;
}

// Lets the window's messages through for ms; false once it is gone.
bool window_serve(HWND window, DWORD ms)
{
    return !poll_until(ms, UI_POLL_MS, [&] {
        MSG msg{};
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        return !IsWindow(window);
    });
}

// Another program's window in front of the dialog, as when the technician
// works elsewhere while the update runs. (Under Wine without a window
// manager the desktop window takes the foreground from it soon after; the
// dialog stays behind either way.)
int command_front(int argc, char **argv)
{
    DWORD hold_ms = wait_ms_arg(argc, argv, 2);
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = UI_FRONT_CLASS;
    RegisterClassA(&window_class);
    HWND window = CreateWindowExA(0, UI_FRONT_CLASS, UI_FRONT_CLASS, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                                  100, nullptr, nullptr, window_class.hInstance, nullptr);
    SetForegroundWindow(window);
    bool in_front = poll_until(UI_WAIT_DEFAULT_MS, UI_POLL_MS, [&] {
        window_serve(window, 0);
        return GetForegroundWindow() == window;
    });
    if (!in_front) {
        fputs("uidriver: the window never came in front\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    printf("front %#lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(window)));
    fflush(stdout);
    window_serve(window, hold_ms);
    return UI_EXIT_OK;
}

// Windows tells every top-level window of a serial port that comes or goes
// with WM_DEVICECHANGE and a DEV_BROADCAST_PORT naming it. The message is
// sent, not posted: it carries a pointer, which only a sent message takes
// across to the tool's process.
int command_device_change(int, char **argv)
{
    WPARAM event = 0;
    if (strcmp(argv[2], "arrival") == 0) {
        event = DBT_DEVICEARRIVAL;
    } else if (strcmp(argv[2], "removal") == 0) {
        event = DBT_DEVICEREMOVECOMPLETE;
    } else {
        usage_print();
        return UI_EXIT_USAGE;
    }
    HWND dialog = dialog_required();
    if (dialog == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    std::wstring name(argv[3], argv[3] + strlen(argv[3])); // port names are plain ASCII
    size_t name_bytes = (name.size() + 1) * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + name_bytes);
    DEV_BROADCAST_PORT_W *port = reinterpret_cast<DEV_BROADCAST_PORT_W *>(buffer.data());
    port->dbcp_size = static_cast<DWORD>(buffer.size());
    port->dbcp_devicetype = DBT_DEVTYP_PORT;
    port->dbcp_reserved = 0;
    memcpy(port->dbcp_name, name.c_str(), name_bytes);
    LRESULT answer = 0;
    if (!send_bounded(dialog, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(port), &answer)) {
        fputs("uidriver: the dialog did not take the announcement\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    printf("answered %ld\n", static_cast<long>(answer));
    return UI_EXIT_OK;
}

// min_argc counts the program and the command name, so 2 takes no arguments.
struct ui_command {
    const char *name;
    int min_argc;
    int (*run)(int argc, char **argv);
};

const ui_command UI_COMMANDS[] = {
    {"wait-dialog", 2, command_wait_dialog},
    {"list", 2, command_list},
    {"select", 3, command_select},
    {"click", 2, command_click},
    {"status", 2, command_status},
    {"wait-status", 3, command_wait_status},
    {"wait-address", 3, command_wait_address},
    {"progress", 2, command_progress},
    {"watch-progress", 3, command_watch_progress},
    {"rect", 3, command_rect},
    {"read-box", 2, command_read_box},
    {"answer-box", 2, command_answer_box},
    {"close", 2, command_close},
    {"post-close", 2, command_post_close},
    {"question", 2, command_question},
    {"answer", 3, command_answer},
    {"end-session", 2, command_end_session},
    {"wait-foreground", 2, command_wait_foreground},
    {"focus", 2, command_focus},
    {"click-time", 5, command_click_time},
    {"wait-listed", 2, command_wait_listed},
    {"device-change", 4, command_device_change},
    {"front", 2, command_front},
};

int command_run(int argc, char **argv)
{
    for (const ui_command &command : UI_COMMANDS) {
        if (strcmp(argv[1], command.name) != 0) {
            continue;
        }
        if (argc < command.min_argc) {
            usage_print();
            return UI_EXIT_USAGE;
        }
        return command.run(argc, argv);
    }
    usage_print();
    return UI_EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv)
{
    // The texts go out byte for byte: the tests compare the box's line ends.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) {
        usage_print();
        return UI_EXIT_USAGE;
    }
    return command_run(argc, argv);
}
