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

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <vector>

#include "resources/resource.h"

namespace {

const char UI_DIALOG_CAPTION[] = "Orvex 2.0 Firmware Update Tool";
const char UI_FRONT_CLASS[] = "uidriver front"; // the window "front" puts before the dialog
const int UI_ID_BOX_TEXT = 0xFFFF; // Windows and Wine alike put a message box's text in this static

const DWORD UI_POLL_MS = 5;             // between two looks at the dialog
const DWORD UI_TIMING_POLL_MS = 1;      // the timing commands look this often
const DWORD UI_WAIT_DEFAULT_MS = 10000; // when the caller gives no limit
const UINT UI_SEND_TIMEOUT_MS = 3000;   // a tick of the tool blocks it for ~200 ms at most
const size_t UI_TEXT_ROOM_CHARS = 256;  // enough for any status line
const int UI_SAMPLE_TRIES = 5;          // reads of the dialog for one untorn sample
// 100 ns units from 1601-01-01, the FILETIME epoch, to 1970-01-01.
const unsigned long long UI_FILETIME_UNIX_EPOCH = 116444736000000000ULL;

const int UI_EXIT_OK = 0;
const int UI_EXIT_USAGE = 1;
const int UI_EXIT_NOT_FOUND = 2; // no such window, or a wait ran out
const int UI_EXIT_STALLED = 3;   // the status stood still longer than asked

// The tool's top-level windows, by class and caption: its dialog, the
// question it asks before closing (a system dialog, class #32770, with the
// dialog's caption) and the fatal error box.
enum ui_window { UI_NO_WINDOW, UI_DIALOG, UI_QUESTION, UI_BOX };
const char *const UI_WINDOWS[][2] = {
    {nullptr, nullptr}, {"ZELT", UI_DIALOG_CAPTION}, {"#32770", UI_DIALOG_CAPTION}, {"#32770", "Terminate Program"}};

// What the dialog shows at one moment: the status line, then the bar's low
// and high end of range and its position (-1 each when there is no bar).
struct ui_sample {
    std::string status;
    std::array<long, 3> bar;
};

struct ui_command;

// What a command works on: its row, the window found for it, its arguments.
struct ui_call {
    const ui_command *row;
    const char *name;
    HWND target;
    int argc;
    char **argv;
};

// A row of UI_COMMANDS: the synopsis (see synopsis_fit), the window and its
// control (0: the window itself), and the message the row puts to the tool.
struct ui_command {
    const char *synopsis;
    ui_window window;
    int control_id;
    int (*run)(const ui_call &call);
    UINT message_id;
    WPARAM wparam;
    LPARAM lparam = 0;  // sent when no port is named
};

// The one finder: the first top-level window of a kind, and how many there are.
HWND window_find(ui_window kind, unsigned *count = nullptr)
{
    HWND first = nullptr;
    unsigned found = 0;
    for (HWND window = nullptr;
         (window = FindWindowExA(nullptr, window, UI_WINDOWS[kind][0], UI_WINDOWS[kind][1])) != nullptr; ++found)
        first = first != nullptr ? first : window;
    if (count != nullptr)
        *count = found;
    return first;
}

// Every wait of the driver: calls look() every poll_ms until it returns
// true or wait_ms have passed; whether it returned true.
template <typename Look> bool poll_until(DWORD wait_ms, DWORD poll_ms, Look look)
{
    const DWORD start = GetTickCount();
    while (!look()) {
        if (GetTickCount() - start > wait_ms)
            return false;
        Sleep(poll_ms);
    }
    return true;
}

// A send that cannot hang the driver when the tool is stuck: the answer, 0
// when the message was not taken.
long send_bounded(HWND window, UINT message_id, WPARAM wparam, LPARAM lparam, bool *taken = nullptr)
{
    DWORD_PTR answer = 0;
    bool sent = SendMessageTimeoutW(window, message_id, wparam, lparam, SMTO_ABORTIFHUNG, UI_SEND_TIMEOUT_MS,
                                    &answer) != 0;
    if (taken != nullptr)
        *taken = sent;
    return static_cast<long>(answer);
}

std::string utf8_from_wide(const wchar_t *text, long length)
{
    if (length <= 0)
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &result[0], size, nullptr, nullptr);
    return result;
}

// One message a read, so that two reads of the status line come as close as
// they can; a text that fills the buffer is read again with more room.
std::string window_text(HWND window)
{
    for (size_t room = UI_TEXT_ROOM_CHARS;; room *= 2) {
        std::vector<wchar_t> buffer(room, L'\0');
        long copied = send_bounded(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
        if (copied < 0 || static_cast<size_t>(copied) + 1 < room)
            return utf8_from_wide(buffer.data(), copied);
    }
}

std::string combo_entry(HWND combo, WPARAM index)
{
    long length = send_bounded(combo, CB_GETLBTEXTLEN, index, 0);
    if (length <= 0)
        return std::string();
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    return utf8_from_wide(buffer.data(),
                          send_bounded(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(buffer.data())));
}

long number_arg(const ui_call &call, int index, long fallback)
{
    return index < call.argc ? strtol(call.argv[index], nullptr, 0) : fallback;
}

DWORD wait_ms_arg(const ui_call &call, int index)
{
    return static_cast<DWORD>(number_arg(call, index, UI_WAIT_DEFAULT_MS));
}

// Whether the status is one of the arguments from the first given on.
bool status_in(const std::string &status, const ui_call &call, int first)
{
    return std::find(call.argv + first, call.argv + call.argc, status) != call.argv + call.argc;
}

// The bar's range and position. PBM_GETRANGE's PBRANGE pointer would not
// cross the process boundary; the plain return value carries one end a time.
std::array<long, 3> bar_read(HWND progress_bar)
{
    return {send_bounded(progress_bar, PBM_GETRANGE, TRUE, 0), send_bounded(progress_bar, PBM_GETRANGE, FALSE, 0),
            send_bounded(progress_bar, PBM_GETPOS, 0, 0)};
}

// The tool changes the status line and the bar in one step and answers other
// processes only between steps: the bar, read between two reads of the same
// status, belongs to that status. A sample still torn after a few tries is no
// sample. The range, set once as the dialog starts, is read after. The status
// is read as the window system keeps it: for a window of another process
// GetWindowTextW asks no message of the tool, so no step of it holds it up.
bool sample_consistent(HWND status_line, HWND progress_bar, ui_sample *sample)
{
    auto status_kept = [&] {
        wchar_t text[UI_TEXT_ROOM_CHARS] = L"";
        return utf8_from_wide(text, GetWindowTextW(status_line, text, static_cast<int>(std::size(text))));
    };
    for (int attempt = 0; attempt < UI_SAMPLE_TRIES; ++attempt) {
        std::string status = status_kept();
        long position = send_bounded(progress_bar, PBM_GETPOS, 0, 0);
        if (status_kept() == status) {
            *sample = {status, bar_read(progress_bar)};
            sample->bar[2] = position;
            return true;
        }
    }
    return false;
}

// The loop of every watcher: every poll_ms, the status line (with a bar, an
// untorn sample of both) to look(sample, changed: unlike the one before, or
// the first) until look() says so, the dialog is gone or limit_ms are over.
template <typename Look>
bool dialog_watch(HWND status_line, HWND progress_bar, DWORD limit_ms, DWORD poll_ms, Look look)
{
    ui_sample last{std::string(), {-1, -1, -1}};
    bool first = true;
    bool over = false;
    poll_until(limit_ms, poll_ms, [&] {
        ui_sample sample{std::string(), {-1, -1, -1}};
        if (progress_bar == nullptr)
            sample.status = window_text(status_line);
        else if (!sample_consistent(status_line, progress_bar, &sample))
            return !IsWindow(status_line);
        over = look(sample, first || sample.status != last.status || sample.bar != last.bar);
        last = sample;
        first = false;
        return over || !IsWindow(status_line);
    });
    return over;
}

// wait-dialog, read-box and question, once their window is there: the
// dialog's handle, the fatal error box's text, or the text of the question
// the tool asks before closing and "boxes N", the count of such questions up.
int command_window(const ui_call &call)
{
    if (call.row->window == UI_DIALOG) {
        printf("%#lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(call.target)));
        return UI_EXIT_OK;
    }
    std::string text = window_text(GetDlgItem(call.target, UI_ID_BOX_TEXT));
    unsigned questions = 0;
    window_find(UI_QUESTION, &questions);
    if (call.row->window == UI_BOX)
        fputs(text.c_str(), stdout);
    else
        printf("%s\nboxes %u\n", text.c_str(), questions);
    return UI_EXIT_OK;
}

// list: the port list's entries, then "selected N", the selected index.
// select INDEX: selects entry INDEX (-1: none) and prints "selected N".
int command_list(const ui_call &call)
{
    const bool select = call.argc > 0;
    long count = select ? 0 : send_bounded(call.target, CB_GETCOUNT, 0, 0);
    for (long index = 0; index < count; ++index)
        printf("%s\n", combo_entry(call.target, static_cast<WPARAM>(index)).c_str());
    long selected = select ? send_bounded(call.target, CB_SETCURSEL, static_cast<WPARAM>(number_arg(call, 0, 0)), 0)
                           : send_bounded(call.target, CB_GETCURSEL, 0, 0);
    printf("selected %ld\n", selected);
    return select && selected == CB_ERR ? UI_EXIT_NOT_FOUND : UI_EXIT_OK;
}

// status: the status line; progress: "range LO HI pos P" of the bar; rect
// ID: the screen rectangle of control ID (-1: the instructions).
int command_status(const ui_call &call)
{
    RECT rect{};
    if (call.row->control_id == IDC_STATUS) {
        printf("%s\n", window_text(call.target).c_str());
    } else if (call.row->control_id == IDC_PROGRESS) {
        std::array<long, 3> bar = bar_read(call.target);
        printf("range %ld %ld pos %ld\n", bar[0], bar[1], bar[2]);
    } else if (GetWindowRect(GetDlgItem(call.target, static_cast<int>(number_arg(call, 0, 0))), &rect)) {
        printf("%ld %ld %ld %ld\n", static_cast<long>(rect.left), static_cast<long>(rect.top),
               static_cast<long>(rect.right), static_cast<long>(rect.bottom));
    } else {
        fprintf(stderr, "uidriver: the dialog has no control %s\n", call.argv[0]);
        return UI_EXIT_NOT_FOUND;
    }
    return UI_EXIT_OK;
}

// wait-status: until the status line reads TEXT; wait-address: until it reads
// "programming " and an address at or past ADDR (a block's status stands for
// one tick only, too short to be sure to see). Prints each status on the way.
int command_wait_status(const ui_call &call)
{
    const bool by_address = strcmp(call.name, "wait-address") == 0;
    const unsigned long wanted_address = strtoul(call.argv[0], nullptr, 0);
    auto reached = [&](const ui_sample &sample, bool changed) {
        if (changed)
            printf("%s\n", sample.status.c_str());
        unsigned long address = 0;
        if (by_address)
            return sscanf(sample.status.c_str(), "programming %lx", &address) == 1 && address >= wanted_address;
        return sample.status == call.argv[0];
    };
    if (dialog_watch(call.target, nullptr, wait_ms_arg(call, 1), UI_POLL_MS, reached))
        return UI_EXIT_OK;
    fprintf(stderr, "uidriver: the status never reached \"%s\"\n", call.argv[0]);
    return UI_EXIT_NOT_FOUND;
}

// One line per change of an untorn sample: ms since the start, the bar's
// three numbers, the status; tab-separated. It ends at the first of the final
// statuses given that differs from the status it started with, so it can be
// started before the press, even after a run that ended.
int command_watch_progress(const ui_call &call)
{
    const DWORD start = GetTickCount();
    std::vector<std::string> first; // the status it started with, once read
    bool left_start = false;
    auto ended = [&](const ui_sample &sample, bool changed) {
        if (!changed)
            return false;
        printf("%lu\t%ld\t%ld\t%ld\t%s\n", static_cast<unsigned long>(GetTickCount() - start), sample.bar[0],
               sample.bar[1], sample.bar[2], sample.status.c_str());
        first.resize(1, sample.status);
        left_start = left_start || sample.status != first[0];
        return left_start && status_in(sample.status, call, 1);
    };
    HWND progress_bar = GetDlgItem(GetParent(call.target), IDC_PROGRESS);
    return dialog_watch(call.target, progress_bar, wait_ms_arg(call, 0), UI_POLL_MS, ended) ? UI_EXIT_OK
                                                                                             : UI_EXIT_NOT_FOUND;
}

// Milliseconds from the performance counter: GetTickCount moves in steps too
// coarse for timing a tick of the tool.
double counter_ms()
{
    LARGE_INTEGER now{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Times an update from the press (posted as by "click" after the first
// reading, the clock's start) to one of the statuses given, reading the status
// every millisecond. Each change prints "ms<TAB>status"; the last line how it
// ended, "done", "timeout" or "stalled" (the status the same for STALL_MS, 0:
// never), then ms and status.
int command_click_time(const ui_call &call)
{
    const double stall_ms = static_cast<double>(number_arg(call, 1, 0));
    HWND status_line = GetDlgItem(GetParent(call.target), IDC_STATUS);
    if (status_line == nullptr)
        return UI_EXIT_NOT_FOUND;
    double start_ms = -1;
    double changed_ms = 0;
    double now_ms = 0;
    std::string last;
    int code = UI_EXIT_NOT_FOUND;
    dialog_watch(status_line, nullptr, wait_ms_arg(call, 0), UI_TIMING_POLL_MS,
                 [&](const ui_sample &sample, bool changed) {
        last = sample.status;
        if (start_ms < 0) {
            printf("0.0\t%s\n", sample.status.c_str());
            start_ms = counter_ms();
            PostMessageW(call.target, BM_CLICK, 0, 0);
            return false;
        }
        now_ms = counter_ms() - start_ms;
        if (changed) {
            printf("%.1f\t%s\n", now_ms, sample.status.c_str());
            changed_ms = now_ms;
        }
        code = status_in(sample.status, call, 2)                      ? UI_EXIT_OK
               : stall_ms > 0 && now_ms - changed_ms > stall_ms ? UI_EXIT_STALLED
                                                                : UI_EXIT_NOT_FOUND;
        return code != UI_EXIT_NOT_FOUND;
    });
    printf("%s\t%.1f\t%s\n", code == UI_EXIT_OK ? "done" : code == UI_EXIT_STALLED ? "stalled" : "timeout", now_ms,
           last.c_str());
    return code;
}

// The wall clock as Unix seconds, so that a script on the host can put it
// beside its own clock (Wine's FILETIME is the host's clock).
double unix_seconds_now()
{
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    unsigned long long units = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(units - UI_FILETIME_UNIX_EPOCH) / 1e7;
}

// For timing the tool's start, started before it: "ready" and the wall clock,
// then, once the port list has entries, "listed", the wall clock and the count.
int command_wait_listed(const ui_call &call)
{
    printf("ready\t%.6f\n", unix_seconds_now());
    long count = 0;
    if (!poll_until(wait_ms_arg(call, 0), UI_TIMING_POLL_MS, [&] {
            HWND combo = GetDlgItem(window_find(UI_DIALOG), IDC_PORT_LIST);
            return combo != nullptr && (count = send_bounded(combo, CB_GETCOUNT, 0, 0)) > 0;
        })) {
        fputs("uidriver: the port list never filled\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    printf("listed\t%.6f\t%ld\n", unix_seconds_now(), count);
    return UI_EXIT_OK;
}

// The control of the dialog that holds the keyboard focus of the dialog's
// thread, by id (a combo box's edit field counts as the combo box),
// "dialog" or "none" (a box of the tool's has it, or nothing).
std::string focus_name(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND focus = GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) ? info.hwndFocus : nullptr;
    if (focus == dialog)
        return "dialog";
    if (focus == nullptr || !IsChild(dialog, focus))
        return "none";
    while (GetAncestor(focus, GA_PARENT) != dialog)
        focus = GetAncestor(focus, GA_PARENT);
    return std::to_string(GetDlgCtrlID(focus));
}

// focus: prints "focus N" (focus_name); with ID, once that control has it.
// wait-foreground: until the dialog is the foreground window and holds the
// keyboard focus, since keys from outside go to the foreground window's focus.
int command_focus(const ui_call &call)
{
    const bool foreground = strcmp(call.name, "wait-foreground") == 0;
    std::string wanted = !foreground && call.argc > 0 ? std::to_string(number_arg(call, 0, 0)) : std::string();
    std::string name;
    bool arrived = false;
    poll_until(wait_ms_arg(call, foreground ? 0 : 1), UI_POLL_MS, [&] {
        name = focus_name(call.target);
        arrived = foreground ? GetForegroundWindow() == call.target && name != "none"
                             : wanted.empty() || name == wanted;
        return arrived || !IsWindow(call.target);
    });
    if (!foreground)
        printf("focus %s\n", name.c_str());
    return arrived ? UI_EXIT_OK : UI_EXIT_NOT_FOUND;
}

// Lets the window's messages through for ms; false once it is gone.
bool window_serve(HWND window, DWORD ms)
{
    return !poll_until(ms, UI_POLL_MS, [&] {
        MSG msg{};
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        return !IsWindow(window);
    });
}

// Another program's window in front of the dialog, as when the technician
// works elsewhere during the update (under Wine with no window manager the
// desktop takes the foreground soon after; the dialog stays behind either
// way). Prints "front" and its handle once in front, keeps it for ms.
int command_front(const ui_call &call)
{
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = UI_FRONT_CLASS;
    RegisterClassA(&window_class);
    HWND window = CreateWindowExA(0, UI_FRONT_CLASS, UI_FRONT_CLASS, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                                  100, nullptr, nullptr, window_class.hInstance, nullptr);
    SetForegroundWindow(window);
    if (!poll_until(UI_WAIT_DEFAULT_MS, UI_POLL_MS,
                    [&] { return window_serve(window, 0) && GetForegroundWindow() == window; })) {
        fputs("uidriver: the window never came in front\n", stderr);
        return UI_EXIT_NOT_FOUND;
    }
    printf("front %#lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(window)));
    window_serve(window, wait_ms_arg(call, 0));
    return UI_EXIT_OK;
}

// A press or a close, posted (see the top of the file).
int command_post(const ui_call &call)
{
    if (PostMessageW(call.target, call.row->message_id, call.row->wparam, 0))
        return UI_EXIT_OK;
    fprintf(stderr, "uidriver: the tool did not take \"%s\"\n", call.name);
    return UI_EXIT_NOT_FOUND;
}

// What Windows asks or announces, sent, and the answer printed: "answered
// N". A port that comes or goes is told with a DEV_BROADCAST_PORT naming it
// (plain ASCII, COM6 say), a pointer, which only a sent message takes across.
int command_send(const ui_call &call)
{
    std::vector<unsigned char> buffer;
    if (call.argc > 0) {
        std::wstring name(call.argv[0], call.argv[0] + strlen(call.argv[0]));
        buffer.resize(offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + (name.size() + 1) * sizeof(wchar_t));
        DEV_BROADCAST_PORT_W *port = reinterpret_cast<DEV_BROADCAST_PORT_W *>(buffer.data());
        port->dbcp_size = static_cast<DWORD>(buffer.size());
        port->dbcp_devicetype = DBT_DEVTYP_PORT;
        memcpy(port->dbcp_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    }
    bool taken = false;
    long answer = send_bounded(call.target, call.row->message_id, call.row->wparam,
                               buffer.empty() ? call.row->lparam : reinterpret_cast<LPARAM>(buffer.data()), &taken);
    if (!taken) {
        fprintf(stderr, "uidriver: the tool did not take \"%s\"\n", call.name);
        return UI_EXIT_NOT_FOUND;
    }
    printf("answered %ld\n", answer);
    return UI_EXIT_OK;
}

// What each prints is said above its function. Before a shutdown or log-off
// Windows asks every window (WM_QUERYENDSESSION: 0 holds the end off), then
// says whether it ends (WM_ENDSESSION; a restart manager adds CLOSEAPP). The
// system menu's close cannot reach a dialog a modal box disabled; a WM_CLOSE
// posted, as by another program, does.
const ui_command UI_COMMANDS[] = {
    {"wait-dialog [ms]", UI_DIALOG, 0, command_window, 0, 0},
    {"list", UI_DIALOG, IDC_PORT_LIST, command_list, 0, 0},
    {"select INDEX", UI_DIALOG, IDC_PORT_LIST, command_list, 0, 0},
    {"click", UI_DIALOG, IDC_UPDATE, command_post, BM_CLICK, 0},
    {"status", UI_DIALOG, IDC_STATUS, command_status, 0, 0},
    {"wait-status TEXT [ms]", UI_DIALOG, IDC_STATUS, command_wait_status, 0, 0},
    {"wait-address ADDR [ms]", UI_DIALOG, IDC_STATUS, command_wait_status, 0, 0},
    {"progress", UI_DIALOG, IDC_PROGRESS, command_status, 0, 0},
    {"watch-progress MS FINAL...", UI_DIALOG, IDC_STATUS, command_watch_progress, 0, 0},
    {"rect ID", UI_DIALOG, 0, command_status, 0, 0},
    {"read-box [ms]", UI_BOX, 0, command_window, 0, 0},
    {"answer-box", UI_BOX, IDOK, command_post, BM_CLICK, 0},
    {"close", UI_DIALOG, 0, command_post, WM_SYSCOMMAND, SC_CLOSE},
    {"post-close", UI_DIALOG, 0, command_post, WM_CLOSE, 0},
    {"question [ms]", UI_QUESTION, 0, command_window, 0, 0},
    {"answer yes", UI_QUESTION, IDYES, command_post, BM_CLICK, 0},
    {"answer no", UI_QUESTION, IDNO, command_post, BM_CLICK, 0},
    {"end-session", UI_DIALOG, 0, command_send, WM_QUERYENDSESSION, 0},
    {"end-session goes-on", UI_DIALOG, 0, command_send, WM_ENDSESSION, FALSE},
    {"end-session ends", UI_DIALOG, 0, command_send, WM_ENDSESSION, TRUE},
    {"end-session closes-app", UI_DIALOG, 0, command_send, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP},
    {"wait-foreground [ms]", UI_DIALOG, 0, command_focus, 0, 0},
    {"focus [ID [ms]]", UI_DIALOG, 0, command_focus, 0, 0},
    {"click-time MS STALL_MS FINAL...", UI_DIALOG, IDC_UPDATE, command_click_time, 0, 0},
    {"wait-listed [ms]", UI_NO_WINDOW, 0, command_wait_listed, 0, 0},
    {"device-change arrival NAME", UI_DIALOG, 0, command_send, WM_DEVICECHANGE, DBT_DEVICEARRIVAL},
    {"device-change removal NAME", UI_DIALOG, 0, command_send, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE},
    {"front [ms]", UI_NO_WINDOW, 0, command_front, 0, 0},
};

// Where the arguments begin in argv when it fits the synopsis (0: it does
// not): its lower-case words as they stand, then as many arguments as it
// names, fewer by those in brackets, any number more after one with "...".
int synopsis_fit(const char *synopsis, int argc, char **argv)
{
    int first = 1;
    int least = 1;
    int optional = 0;
    bool more = false;
    for (const char *word = synopsis; *word != '\0'; word += strspn(word, " ")) {
        size_t length = strcspn(word, " ");
        bool literal = *word >= 'a' && *word <= 'z';
        if (literal && (first >= argc || strlen(argv[first]) != length || strncmp(argv[first], word, length) != 0))
            return 0;
        first += literal ? 1 : 0;
        optional += *word == '[' ? 1 : 0;
        least += *word == '[' ? 0 : 1;
        more = more || (length > 3 && strncmp(word + length - 3, "...", 3) == 0);
        word += length;
    }
    return argc >= least && (more || argc <= least + optional) ? first : 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The texts go out byte for byte (the tests compare the box's line ends)
    // and at once (the watchers' lines are read as they come).
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
    for (const ui_command &row : UI_COMMANDS) {
        int first = synopsis_fit(row.synopsis, argc, argv);
        if (first == 0)
            continue;
        ui_call call{&row, argv[1], nullptr, argc - first, argv + first};
        auto found = [&] { return (call.target = window_find(row.window)) != nullptr; };
        // The rows of command_window wait for their window, the others look once.
        if (row.window != UI_NO_WINDOW) {
            if ((row.run == command_window ? poll_until(wait_ms_arg(call, 0), UI_POLL_MS, found) : found()) && row.control_id != 0)
                call.target = GetDlgItem(call.target, row.control_id);
            if (call.target == nullptr) {
                fprintf(stderr, "uidriver: no window for \"%s\"\n", row.synopsis);
                return UI_EXIT_NOT_FOUND;
            }
        }
        return row.run(call);
    }
    fputs("usage: uidriver COMMAND [ARGS]; times in ms, [ms] how long to wait (10 s unless given).\n"
          "Exit status 1: usage, 2: no such window or the wait ran out, 3: the status stood still.\n",
          stderr);
    for (const ui_command &row : UI_COMMANDS)
        fprintf(stderr, "  %s\n", row.synopsis);
    return UI_EXIT_USAGE;
}
