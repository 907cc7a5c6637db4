// uidriver: works the update tool's dialog from outside, as a user would, so
// that the end-to-end tests can press its button and read what it shows.
// It runs under Wine beside the tool, in the same prefix and on the same
// display, and does one thing per invocation (UI_COMMANDS lists them).
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
const int UI_USAGE_WIDTH_CHARS = 78;

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

void usage_print();

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

// The one loop of every command that watches the dialog: every poll_ms it
// reads the status line (with a bar, an untorn sample of both) and hands the
// reading to look(sample, changed), changed when it differs from the reading
// before (the first one does), until look() says the watch is over, the
// dialog is gone or limit_ms have passed; whether look() ended it.
template <typename Look>
bool dialog_watch(HWND status_line, HWND progress_bar, DWORD limit_ms, DWORD poll_ms, Look look)
{
    ui_sample last{};
    bool have_last = false;
    bool over = false;
    poll_until(limit_ms, poll_ms, [&] {
        ui_sample sample{std::string(), -1, -1, -1};
        if (progress_bar == nullptr) {
            sample.status = window_text(status_line);
        } else if (!sample_consistent(status_line, progress_bar, &sample)) {
            return !IsWindow(status_line);
        }
        over = look(sample, !have_last || !sample_same(sample, last));
        last = sample;
        have_last = true;
        return over || !IsWindow(status_line);
    });
    return over;
}

// Prints the port list's entries, then "selected N", the selected index.
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

// Selects entry INDEX (-1: none) and prints "selected N", as list does.
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

// Prints the status line.
int command_status(int, char **)
{
    HWND status_line = dialog_control(IDC_STATUS);
    if (status_line == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    printf("%s\n", window_text(status_line).c_str());
    return UI_EXIT_OK;
}

// wait-status: until the status line reads TEXT; wait-address: until it
// reads "programming " and an address at or past ADDR, since each block's
// status stands for one tick of the tool only, too short to be sure to see.
// Prints every text the status line shows on the way.
int command_wait_status(int argc, char **argv)
{
    const bool by_address = strcmp(argv[1], "wait-address") == 0;
    const unsigned long wanted_address = strtoul(argv[2], nullptr, 0);
    HWND status_line = dialog_control(IDC_STATUS);
    if (status_line == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    if (!dialog_watch(status_line, nullptr, wait_ms_arg(argc, argv, 3), UI_POLL_MS,
                      [&](const ui_sample &sample, bool changed) {
        if (changed) {
            printf("%s\n", sample.status.c_str());
            fflush(stdout);
        }
        unsigned long address = 0;
        return by_address ? sscanf(sample.status.c_str(), "programming %lx", &address) == 1 && address >= wanted_address
                          : sample.status == argv[2];
    })) {
        fprintf(stderr, "uidriver: the status never reached \"%s\"\n", argv[2]);
        return UI_EXIT_NOT_FOUND;
    }
    return UI_EXIT_OK;
}

// Prints "range LO HI pos P" of the bar.
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
// at the first of the final statuses given that differs from the status it
// started with, so it can be started before the button is pressed, even
// after a run that ended.
int command_watch_progress(int argc, char **argv)
{
    HWND status_line = dialog_control(IDC_STATUS);
    if (status_line == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    HWND progress_bar = GetDlgItem(GetParent(status_line), IDC_PROGRESS);
    const DWORD start = GetTickCount();
    std::string first;
    bool have_first = false;
    bool left_start = false;
    bool done = dialog_watch(status_line, progress_bar, wait_ms_arg(argc, argv, 2), UI_POLL_MS,
                             [&](const ui_sample &sample, bool changed) {
        if (!changed) {
            return false;
        }
        printf("%lu\t%ld\t%ld\t%ld\t%s\n", static_cast<unsigned long>(GetTickCount() - start),
               sample.range_low, sample.range_high, sample.position, sample.status.c_str());
        fflush(stdout);
        if (!have_first) {
            first = sample.status;
            have_first = true;
        }
        left_start = left_start || sample.status != first;
        return left_start && status_in(sample.status, argv + 3, argc - 3);
    });
    return done ? UI_EXIT_OK : UI_EXIT_NOT_FOUND;
}

// Prints the screen rectangle of control ID (-1: the instructions).
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

// wait-dialog, read-box and question wait for their window, then print the
// dialog's handle, the fatal error box's text, or the text of the question
// the tool asks before closing and "boxes N", the count of such questions up.
int command_window(int argc, char **argv)
{
    const bool dialog = strcmp(argv[1], "wait-dialog") == 0;
    const bool question = strcmp(argv[1], "question") == 0;
    HWND window = wait_window(dialog ? find_dialog : question ? find_question : find_box, wait_ms_arg(argc, argv, 2));
    if (window == nullptr) {
        fprintf(stderr, "uidriver: no window for \"%s\" appeared\n", argv[1]);
        return UI_EXIT_NOT_FOUND;
    }
    if (dialog) {
        printf("%#lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(window)));
    } else if (question) {
        printf("%s\nboxes %u\n", box_text(window).c_str(), static_cast<unsigned>(questions_up().size()));
    } else {
        fputs(box_text(window).c_str(), stdout);
    }
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

// Times an update from the press to one of the statuses given. The press is
// posted, as by "click", just after the first reading, and the clock starts
// with it; the status line is read every millisecond, so a change shows
// within about a millisecond of the tool's step that made it (the read waits
// while a step blocks the tool). Each change prints "ms<TAB>status"; the
// last line says how it ended: "done", "timeout" or "stalled" (the status
// the same for STALL_MS, 0: never), ms, status.
int command_click_time(int argc, char **argv)
{
    const double stall_ms = static_cast<double>(number_arg(argc, argv, 3, 0));
    HWND button = dialog_control(IDC_UPDATE);
    HWND status_line = dialog_control(IDC_STATUS);
    if (button == nullptr || status_line == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    LARGE_INTEGER start{};
    bool pressed = false;
    std::string last;
    double changed_ms = 0;
    double now_ms = 0;
    const char *how = "timeout";
    int code = UI_EXIT_NOT_FOUND;
    dialog_watch(status_line, nullptr, wait_ms_arg(argc, argv, 2), UI_TIMING_POLL_MS,
                 [&](const ui_sample &sample, bool changed) {
        if (!pressed) {
            printf("0.0\t%s\n", sample.status.c_str());
            last = sample.status;
            QueryPerformanceCounter(&start);
            PostMessageW(button, BM_CLICK, 0, 0);
            pressed = true;
            return false;
        }
        now_ms = elapsed_ms(start);
        if (changed) {
            printf("%.1f\t%s\n", now_ms, sample.status.c_str());
            fflush(stdout);
            last = sample.status;
            changed_ms = now_ms;
        }
        if (status_in(sample.status, argv + 4, argc - 4)) {
            how = "done";
            code = UI_EXIT_OK;
        } else if (stall_ms > 0 && now_ms - changed_ms > stall_ms) {
            how = "stalled";
            code = UI_EXIT_STALLED;
        }
        return code != UI_EXIT_NOT_FOUND;
    });
    printf("%s\t%.1f\t%s\n", how, now_ms, last.c_str());
    return code;
}

// For timing the tool's start: started before the tool, it prints "ready"
// and the wall clock, then once the port list has entries "listed", the
// wall clock and the count (wall clock: Unix seconds, microseconds).
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

// focus: prints "focus N" (focus_name); with ID, once that control has it.
// wait-foreground: until the dialog is the foreground window and holds the
// keyboard focus, as keys sent from outside need.
int command_focus(int argc, char **argv)
{
    HWND dialog = dialog_required();
    if (dialog == nullptr) {
        return UI_EXIT_NOT_FOUND;
    }
    const bool foreground = strcmp(argv[1], "wait-foreground") == 0;
    std::string wanted = !foreground && argc > 2 ? std::to_string(number_arg(argc, argv, 2, 0)) : std::string();
    std::string name;
    bool arrived = false;
    poll_until(wait_ms_arg(argc, argv, foreground ? 2 : 3), UI_POLL_MS, [&] {
        name = focus_name(dialog);
        arrived = foreground ? dialog_has_focus(dialog) : wanted.empty() || name == wanted;
        return arrived || !IsWindow(dialog);
    });
    if (!foreground) {
        printf("focus %s\n", name.c_str());
    }
    return arrived ? UI_EXIT_OK : UI_EXIT_NOT_FOUND;
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
// dialog stays behind either way.) Prints "front" and the window's handle
// once it is in front, and keeps the window for ms.
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

// A message that a command puts to a window of the tool, as a user's action
// or Windows would. Presses are posted (see the top of the file); what
// Windows asks or announces is sent, and the answer printed: "answered N".
struct ui_message {
    const char *command;
    const char *word;     // the argument that picks this row (null: none)
    HWND (*find)();       // the window it goes to ...
    int control_id;       // ... or its control with this id (0: the window itself)
    UINT message_id;
    WPARAM wparam;
    bool sent;
    bool port_named;      // the next argument names the serial port (below)
    LPARAM lparam = 0;    // when no port is named
};

// Windows asks every window before a shutdown, a restart or a log-off
// (WM_QUERYENDSESSION: a window that answers 0 holds the session's end off),
// then tells each whether the session ends after all (WM_ENDSESSION): it
// goes on when a program held it off or the user cancelled; an installer's
// restart manager closes a program with ENDSESSION_CLOSEAPP. A serial port
// that comes or goes is told to every top-level window with WM_DEVICECHANGE
// and a DEV_BROADCAST_PORT naming it, a pointer, which only a sent message
// takes across to the tool's process. The system menu's close cannot reach a
// dialog that a modal box has disabled; a posted WM_CLOSE, as another
// program closing the dialog sends it, does.
const ui_message UI_MESSAGES[] = {
    {"click", nullptr, find_dialog, IDC_UPDATE, BM_CLICK, 0, false, false},
    {"close", nullptr, find_dialog, 0, WM_SYSCOMMAND, SC_CLOSE, false, false},
    {"post-close", nullptr, find_dialog, 0, WM_CLOSE, 0, false, false},
    {"answer", "yes", find_question, IDYES, BM_CLICK, 0, false, false},
    {"answer", "no", find_question, IDNO, BM_CLICK, 0, false, false},
    {"answer-box", nullptr, find_box, IDOK, BM_CLICK, 0, false, false},
    {"end-session", nullptr, find_dialog, 0, WM_QUERYENDSESSION, 0, true, false},
    {"end-session", "goes-on", find_dialog, 0, WM_ENDSESSION, FALSE, true, false},
    {"end-session", "ends", find_dialog, 0, WM_ENDSESSION, TRUE, true, false},
    {"end-session", "closes-app", find_dialog, 0, WM_ENDSESSION, TRUE, true, false, ENDSESSION_CLOSEAPP},
    {"device-change", "arrival", find_dialog, 0, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, true, true},
    {"device-change", "removal", find_dialog, 0, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, true, true},
};

// What Windows hands with an announced port: a DEV_BROADCAST_PORT with its
// name (plain ASCII, COM6 say) in place.
std::vector<unsigned char> port_broadcast(const char *name_text)
{
    std::wstring name(name_text, name_text + strlen(name_text));
    size_t name_bytes = (name.size() + 1) * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + name_bytes);
    DEV_BROADCAST_PORT_W *port = reinterpret_cast<DEV_BROADCAST_PORT_W *>(buffer.data());
    port->dbcp_size = static_cast<DWORD>(buffer.size());
    port->dbcp_devicetype = DBT_DEVTYP_PORT;
    port->dbcp_reserved = 0;
    memcpy(port->dbcp_name, name.c_str(), name_bytes);
    return buffer;
}

// Every command of UI_MESSAGES: its row is the one whose word, if it has
// one, follows the command, and that takes exactly the arguments given.
int command_message(int argc, char **argv)
{
    for (const ui_message &row : UI_MESSAGES) {
        int words = row.word != nullptr ? 1 : 0;
        bool match = strcmp(argv[1], row.command) == 0 && argc == 2 + words + (row.port_named ? 1 : 0) &&
                     (words == 0 || strcmp(argv[2], row.word) == 0);
        if (!match) {
            continue;
        }
        HWND window = row.find();
        HWND target = window != nullptr && row.control_id != 0 ? GetDlgItem(window, row.control_id) : window;
        if (target == nullptr) {
            fprintf(stderr, "uidriver: no window to take \"%s\"\n", argv[1]);
            return UI_EXIT_NOT_FOUND;
        }
        std::vector<unsigned char> port = row.port_named ? port_broadcast(argv[2 + words]) : std::vector<unsigned char>();
        LPARAM lparam = row.port_named ? reinterpret_cast<LPARAM>(port.data()) : row.lparam;
        LRESULT answer = 0;
        bool taken = row.sent ? send_bounded(target, row.message_id, row.wparam, lparam, &answer)
                              : PostMessageW(target, row.message_id, row.wparam, lparam) != FALSE;
        if (!taken) {
            fprintf(stderr, "uidriver: the tool did not take \"%s\"\n", argv[1]);
            return UI_EXIT_NOT_FOUND;
        }
        if (row.sent) {
            printf("answered %ld\n", static_cast<long>(answer));
        }
        return UI_EXIT_OK;
    }
    usage_print();
    return UI_EXIT_USAGE;
}

// min_argc counts the program and the command name, so 2 takes no arguments.
struct ui_command {
    const char *synopsis; // the name, then the arguments
    int min_argc;
    int (*run)(int argc, char **argv);
};

// What each prints is said above its function.
const ui_command UI_COMMANDS[] = {
    {"wait-dialog [ms]", 2, command_window},
    {"list", 2, command_list},
    {"select INDEX", 3, command_select},
    {"click", 2, command_message},
    {"status", 2, command_status},
    {"wait-status TEXT [ms]", 3, command_wait_status},
    {"wait-address ADDR [ms]", 3, command_wait_status},
    {"progress", 2, command_progress},
    {"watch-progress ms FINAL...", 4, command_watch_progress},
    {"rect ID", 3, command_rect},
    {"read-box [ms]", 2, command_window},
    {"answer-box", 2, command_message},
    {"close", 2, command_message},
    {"post-close", 2, command_message},
    {"question [ms]", 2, command_window},
    {"answer yes|no", 3, command_message},
    {"end-session [goes-on|ends|closes-app]", 2, command_message},
    {"wait-foreground [ms]", 2, command_focus},
    {"focus [ID [ms]]", 2, command_focus},
    {"click-time ms STALL_MS FINAL...", 5, command_click_time},
    {"wait-listed [ms]", 2, command_wait_listed},
    {"device-change arrival|removal NAME", 4, command_message},
    {"front [ms]", 2, command_front},
};

void usage_print()
{
    fputs("usage: uidriver COMMAND [ARGS]; times in ms, [ms] how long to wait (10 s unless given).\n"
          "Exit status 1: usage, 2: no such window or the wait ran out, 3: the status stood still.\n",
          stderr);
    int column = 0;
    for (const ui_command &command : UI_COMMANDS) {
        const char *gap = column == 0 ? "  " : ", ";
        if (column + 2 + static_cast<int>(strlen(command.synopsis)) > UI_USAGE_WIDTH_CHARS) {
            gap = ",\n  ";
            column = -2;
        }
        column += fprintf(stderr, "%s%s", gap, command.synopsis);
    }
    fputs("\n", stderr);
}

// Whether the argument names the command whose synopsis this is.
bool command_named(const ui_command &command, const char *name)
{
    size_t length = strcspn(command.synopsis, " ");
    return strlen(name) == length && strncmp(command.synopsis, name, length) == 0;
}

int command_run(int argc, char **argv)
{
    for (const ui_command &command : UI_COMMANDS) {
        if (!command_named(command, argv[1])) {
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
