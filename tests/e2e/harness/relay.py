"""Wine's relay log of the tool: its calls of named system DLL functions and
the named messages to its window procedures, in order, with arguments and
results. It is the tool's standard error under RELAY_DEBUG with RelayInclude
naming the functions (else every call is logged, and a run crawls). Lines
start with process and thread ids; the tool, the process Wine started,
writes the first line, the processes it brings up (the desktop) come later.
Only the tool's own calls count: a call's return address lies in its image, where
the system's DLLs make calls of their own (Wine 10's controls raise events)."""

import collections
import re
import struct

RELAY_DEBUG = "-all,+pid,+relay,fixme+oleacc"
RELAY_KEY = r"HKCU\Software\Wine\Debug"

# One call: the name as asked for, the arguments as logged (strings quoted, wide ones L"..."; for a message
# hwnd, wp, lp), the result in hex or None if it never returned, and done: the calls listed before it returned.
Call = collections.namedtuple("Call", "name args ret done")

_LINE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):(Call|Ret) +(.*)$")
_IDS = re.compile(r"^([0-9a-f]+):[0-9a-f]+:")
# Wine prints some addresses in capitals (a window procedure at 00401FB0).
_FUNCTION_CALL = re.compile(r"^([\w.]+)\((.*)\) ret=([0-9a-f]+)$", re.I)
_FUNCTION_RET = re.compile(r"^([\w.]+)\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$", re.I)
_WINDOW_PROC = re.compile(r"^(window proc [0-9a-f]+ \(hwnd=([0-9a-f]+),msg=([^,]+),(wp=[0-9a-f]+,lp=[0-9a-f]+)\))"
                          r"(?: retval=([0-9a-f]+))?$", re.I)


def relay_include(names):
    """The RelayInclude value for the dll.Function names among names."""
    return ";".join(name for name in names if "." in name)


def image_range(path):
    """The addresses a PE32 program occupies mapped at its ImageBase: the optional header's ImageBase and
    SizeOfImage, 28 and 56 bytes into it, which follows "PE\\0\\0" and the 20-byte file header."""
    with open(path, "rb") as f:
        head = f.read(4096)
    base, size = struct.unpack_from("<I24xI", head, struct.unpack_from("<I", head, 0x3C)[0] + 24 + 28)
    return range(base, base + size)


def relay_line(line):
    """Whether a line of standard error is the relay log's."""
    return _IDS.match(line) is not None


def relay_calls(text, names, image):
    """The first process's calls in a relay log: of the functions named
    dll.Function (any case) from the addresses in image, and, for names without
    a dot (WM_TIMER), of the window procedures with that message. In the order
    they were made."""
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
            ours = True
        else:
            function = (_FUNCTION_CALL if kind == "Call" else _FUNCTION_RET).match(what)
            if function is None:
                continue
            key = name = function.group(1)
            args, ret = (function.group(2), None) if kind == "Call" else (None, function.group(2))
            ours = kind == "Call" and int(function.group(3), 16) in image
        stack = open_calls[thread]
        if kind == "Call":
            index = None
            if name.lower() in wanted and ours:
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
