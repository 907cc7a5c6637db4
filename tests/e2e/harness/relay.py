"""Wine's relay log of the tool: the calls the program makes into named
functions of system DLLs, and the messages named to its window procedures,
in the order they were made, with their arguments and results.

The log is the tool's standard error when it runs with RELAY_DEBUG and the
prefix's RelayInclude names the functions (without it every call is logged
and a run slows to a crawl). Every line starts with the process's and the
thread's ids; the tool, being the process that Wine started, writes the
first line, and the processes it brings up (the desktop) come later."""

import collections
import re

RELAY_DEBUG = "-all,+pid,+relay"
RELAY_KEY = r"HKCU\Software\Wine\Debug"

# One call: the name as it was asked for, the arguments as the log prints
# them (strings quoted, wide ones as L"..."; for a message, hwnd, wp and lp),
# the result in hexadecimal, None if the call never returned, and done: the
# calls of the list made before it returned (those made inside it included).
Call = collections.namedtuple("Call", "name args ret done")

_LINE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):(Call|Ret) +(.*)$")
_IDS = re.compile(r"^([0-9a-f]+):[0-9a-f]+:")
# Wine prints some addresses in capitals (a window procedure at 00401FB0).
_FUNCTION_CALL = re.compile(r"^([\w.]+)\((.*)\) ret=[0-9a-f]+$", re.I)
_FUNCTION_RET = re.compile(r"^([\w.]+)\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$", re.I)
_WINDOW_PROC = re.compile(r"^(window proc [0-9a-f]+ \(hwnd=([0-9a-f]+),msg=([^,]+),(wp=[0-9a-f]+,lp=[0-9a-f]+)\))"
                          r"(?: retval=([0-9a-f]+))?$", re.I)


def relay_include(names):
    """The RelayInclude value for the dll.Function names among names."""
    return ";".join(name for name in names if "." in name)


def relay_line(line):
    """Whether a line of standard error is the relay log's."""
    return _IDS.match(line) is not None


def relay_calls(text, names):
    """The first process's calls in a relay log: of the functions named
    dll.Function (any case), and, for names without a dot (WM_TIMER), of the
    window procedures with that message. In the order they were made."""
    wanted = {name.lower(): name for name in names}
    lines = text.splitlines()
    first = next((_IDS.match(line) for line in lines if _IDS.match(line)), None)
    calls = []
    open_calls = collections.defaultdict(list)  # by thread: (key, index in calls or None), innermost last
    for line in lines:
        match = _LINE.match(line)
        if match is None or first is None or match.group(1) != first.group(1):
            continue
        thread, kind, what = match.group(2), match.group(3), match.group(4)
        proc = _WINDOW_PROC.match(what)
        if proc:
            key, name, args, ret = proc.group(1), proc.group(3), "hwnd=%s,%s" % (proc.group(2), proc.group(4)), proc.group(5)
        else:
            function = (_FUNCTION_CALL if kind == "Call" else _FUNCTION_RET).match(what)
            if function is None:
                continue
            key = name = function.group(1)
            args, ret = (function.group(2), None) if kind == "Call" else (None, function.group(2))
        stack = open_calls[thread]
        if kind == "Call":
            index = None
            if name.lower() in wanted:
                index = len(calls)
                calls.append(Call(wanted[name.lower()], args, None, None))
            stack.append((key, index))
            continue
        while stack:
            open_key, index = stack.pop()
            if open_key == key:
                if index is not None:
                    calls[index] = calls[index]._replace(ret=ret, done=len(calls))
                break
    return calls
