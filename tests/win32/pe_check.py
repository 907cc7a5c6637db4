#!/usr/bin/python3
"""Checks the built installer.exe as a Windows program file, without running
it: its headers (with the link map, the stack protector) and its resources,
each check_* function saying what. check_program() serves the release's check too.

usage: pe_check.py INSTALLER_EXE FIRMWARE_BIN VERSION FIRMWARE_NAME [LINK_MAP]

VERSION is the project's (x.y.z), FIRMWARE_NAME the name of the file that
FIRMWARE_BIN is the build's copy of, LINK_MAP the linker's map of the exe.
pefile is Debian's python3-pefile: run this with /usr/bin/python3.
"""

import hashlib
import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "harness"))
from protocol import crc16_modbus, padded_image  # noqa: E402  the test scripts' one CRC-16

RT = pefile.RESOURCE_TYPE
LANG_ENGLISH_UK = 0x0809
CODEPAGE_WINDOWS_LATIN1 = 1252

VFT_APP = 1
VOS_NT_WINDOWS32 = 0x40004
# Texts every version resource of the tool has, whatever they say.
VERSION_TEXTS_PRESENT = ("CompanyName", "InternalName", "LegalCopyright", "ProductName")

# Relocatable, no-execute compatible, no structured exception handlers, terminal-server aware.
DLL_CHARACTERISTICS_WANTED = ("DYNAMIC_BASE", "NX_COMPAT", "NO_SEH", "TERMINAL_SERVER_AWARE")
# A 32-bit image registers a handler by writing the head of the thread's
# handler chain, fs:[0]: mov fs:[0], eax; mov fs:[0], reg (any register);
# pop dword fs:[0]. An image that says NO_SEH must hold none of these.
SEH_REGISTRATIONS = [b"\x64\xa3\x00\x00\x00\x00"] + \
    [b"\x64\x89" + bytes([0x05 | reg << 3]) + b"\x00\x00\x00\x00" for reg in range(8)] + \
    [b"\x64\x8f\x05\x00\x00\x00\x00"]
# The stack protector's runtime (libssp), as the link map names what it
# pulled in and why: its object, then the program's object that needed it.
STACK_PROTECTOR_MEMBER = "libssp.a(ssp.o)"
STACK_PROTECTOR_SYMBOLS = ("(__stack_chk_fail)", "(__stack_chk_guard)")
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
LOAD_CONFIG_THROUGH_DEPENDENT_LOAD_FLAGS = 0x38   # bytes
DIRECTORY_DEBUG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]
DIRECTORY_LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]

ICON_SIZES = [16, 32, 48, 256]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

MANIFEST_NS = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
               "compat": "urn:schemas-microsoft-com:compatibility.v1",
               "ws2005": "http://schemas.microsoft.com/SMI/2005/WindowsSettings"}
COMMON_CONTROLS_6 = {"name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                     "publicKeyToken": "6595b64144ccf1df"}
SUPPORTED_OS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
                "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11"}

# Imports a program may have when it needs nothing but Windows itself.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "comctl32.dll",
               "msvcrt.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "ntdll.dll"}

# Predefined control classes: the resource compiler stores them as ordinals.
CONTROL_CLASS_ORDINALS = {0x80: "button", 0x81: "edit", 0x82: "static",
                          0x83: "listbox", 0x84: "scrollbar", 0x85: "combobox"}

INSTRUCTIONS = ("Plug the Tamlink into the Orvex remote port (right hand connector)\n\n"
                "Choose the COM port corresponding to the Orvex.\n\n"
                'Press the ""Update"" button when ready.')

# The dialog's own fields; its class matches regardless of case (windres
# stores it in capitals).
DIALOG = {"template": (1, 0xFFFF), "rect": (32, 32, 347, 185), "style": 0x90C800C0, "exstyle": 0x00040000,
          "menu": "", "class": "zelt", "caption": "Orvex 2.0 Firmware Update Tool",
          "font": (8, 0, 0, 0, "MS Sans Serif")}
# id, class, style, x, y, cx, cy, text: the dialog's controls in order. The
# status line (5) is a visible static that does not wrap (SS_LEFTNOWORDWRAP),
# wide enough for 24 characters; the progress bar (7) a visible child.
DIALOG_CONTROLS = [
    (3, "combobox", 0x50210302, 109, 133, 56, 216, ""),
    (4, "button", 0x50010001, 173, 133, 100, 14, "Update Orvex 2.0"),
    (0xFFFFFFFF, "static", 0x50020000, 13, 7, 314, 57, INSTRUCTIONS),
    (5, "static", 0x5000008C, 109, 153, 164, 9, ""),
    (7, "msctls_progress32", 0x50800000, 109, 164, 164, 9, ""),
]
# A text of a template: UTF-16 up to its 0 character.
TEMPLATE_TEXT = re.compile(rb"((?:..)*?)\0\0", re.S)

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


# ---- headers ---------------------------------------------------------------

def check_headers(pe):
    """Machine, subsystem, imports, the hardening flags, the load
    configuration, and nothing left of symbols or debug data."""
    header = pe.OPTIONAL_HEADER
    check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
          and header.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE, "not a 32-bit x86 PE")
    check(header.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"],
          "subsystem %d is not Windows GUI" % header.Subsystem)
    dlls = [entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    check(dlls, "no imports found")
    for dll in dlls:
        check(dll.lower() in SYSTEM_DLLS, "imports a DLL that is not Windows's own: " + dll)
    for name in DLL_CHARACTERISTICS_WANTED:
        check(getattr(header, "IMAGE_DLLCHARACTERISTICS_" + name),
              "DllCharacteristics %#06x lacks %s" % (header.DllCharacteristics, name))
    for section in pe.sections:
        if section.IMAGE_SCN_MEM_EXECUTE:
            code = section.get_data()
            found = [hex(section.VirtualAddress + code.find(p)) for p in SEH_REGISTRATIONS if p in code]
            check(not found, "code in %s registers an exception handler (at RVA %s), though the image says NO_SEH"
                  % (section_name(section), ", ".join(found)))

    directory = header.DATA_DIRECTORY[DIRECTORY_LOAD_CONFIG]
    load_config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if check(load_config is not None, "no load configuration"):
        config = load_config.struct
        # The loader takes the structure only when the directory's size and its own agree.
        check(config.Size == directory.Size >= LOAD_CONFIG_THROUGH_DEPENDENT_LOAD_FLAGS,
              "load configuration of %#x bytes, directory %#x: it must reach DependentLoadFlags"
              % (config.Size, directory.Size))
        check(getattr(config, "Reserved1", None) == LOAD_LIBRARY_SEARCH_SYSTEM32,
              "DependentLoadFlags %r, wanted LOAD_LIBRARY_SEARCH_SYSTEM32" % getattr(config, "Reserved1", None))
        check(getattr(config, "SecurityCookie", 0) == 0 and getattr(config, "SEHandlerTable", 0) == 0
              and getattr(config, "SEHandlerCount", 0) == 0,
              "the load configuration names a security cookie or handler table the program does not have")

    debug_sections = [section_name(s) for s in pe.sections if section_name(s).startswith((".debug", "/"))]
    check(not debug_sections, "debug sections (long names are DWARF's): %s" % " ".join(debug_sections))
    check(pe.FILE_HEADER.NumberOfSymbols == 0 and header.DATA_DIRECTORY[DIRECTORY_DEBUG].Size == 0,
          "symbols or a debug directory left in the file")
    # Set by the linker, so it must survive the load configuration's patch (and a signature).
    check(header.CheckSum == pe.generate_checksum(), "header checksum %#x, the file's %#x"
          % (header.CheckSum, pe.generate_checksum()))
    return dlls


def section_name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def check_stack_protector(link_map):
    """The link pulled in the stack protector's runtime for the program's own
    code: a function of it checks its canary (the exe has no symbols left to
    show that)."""
    lines = open(link_map).read().splitlines()
    needed_by = [lines[i + 1].split() for i, line in enumerate(lines[:-1]) if line.endswith(STACK_PROTECTOR_MEMBER)]
    check(any(len(by) == 2 and by[1] in STACK_PROTECTOR_SYMBOLS and "libssp" not in by[0] for by in needed_by),
          "the link map shows no stack protector runtime pulled in for the program's code: %r" % needed_by)


# ---- resources ----------------------------------------------------------------

def resources_of(pe):
    """[(type, name, language, bytes)]; type and name are ints or upper-case strings."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name).upper()

    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    return [(key(rtype), key(name), lang.id, pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size))
            for rtype in (directory.entries if directory else [])
            for name in rtype.directory.entries for lang in name.directory.entries]


def resource_data(res, rtype, name, lang=None):
    return [d for t, n, l, d in res if t == rtype and n == name and (lang is None or l == lang)]


def parse_dialogex(data):
    """An extended dialog template's fields, its controls as (id, class,
    style, x, y, cx, cy, text, extended style)."""
    at = 0

    def take(fmt):
        nonlocal at
        values = struct.unpack_from("<" + fmt, data, at)
        at += struct.calcsize("<" + fmt)
        return values

    def text():  # a text, or an ordinal after 0xFFFF
        nonlocal at
        if data[at:at + 2] == b"\xff\xff":
            return take("2xH")[0]
        match = TEMPLATE_TEXT.match(data, at)
        at = match.end()
        return match.group(1).decode("utf-16-le")

    version, signature, _, exstyle, style, count = take("HHIIIH")
    dlg = {"template": (version, signature), "exstyle": exstyle, "style": style, "rect": take("hhhh"),
           "menu": text(), "class": text(), "caption": text(), "font": take("HHBB") + (text(),), "controls": []}
    for _ in range(count):
        at = (at + 3) & ~3
        _, exstyle, style, x, y, cx, cy, control_id = take("IIIhhhhI")
        cls, title = text(), text()
        at += take("H")[0]
        cls = CONTROL_CLASS_ORDINALS.get(cls, "#%d" % cls) if isinstance(cls, int) else cls.lower()
        dlg["controls"].append((control_id, cls, style, x, y, cx, cy, title, exstyle))
    return dlg


def check_dialog(dialogs):
    if not check(len(dialogs) == 1, "expected one dialog \"ZELT\" in English (UK), found %d" % len(dialogs)):
        return
    dlg = parse_dialogex(dialogs[0])
    dlg["class"] = str(dlg["class"]).lower()
    for field, wanted in DIALOG.items():
        check(dlg[field] == wanted, "dialog %s %r, wanted %r" % (field, dlg[field], wanted))
    given = [c[:8] for c in dlg["controls"]]
    differ = [(g, w) for g, w in zip(given, DIALOG_CONTROLS) if g != w]
    check(given == DIALOG_CONTROLS, "%d dialog controls, wanted %d; these differ (given, wanted): %r"
          % (len(given), len(DIALOG_CONTROLS), differ))


def version_quad(version):
    """x.y.z as the four numbers Windows keeps: x.y.z.0."""
    return ".".join((version.split(".") + ["0"] * 4)[:4])


def check_version(pe, versions, version, firmware, firmware_name):
    if not check(len(versions) == 1 and getattr(pe, "VS_FIXEDFILEINFO", None),
                 "expected one version resource (id 1) in English (UK), found %d" % len(versions)):
        return {}
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = [int(n) for n in version_quad(version).split(".")]
    ms, ls = numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]
    infos = [info for group in pe.FileInfo for info in group]
    tables = [table for info in infos for table in getattr(info, "StringTable", [])]
    texts = {k.decode(): v.decode() for t in tables for k, v in t.entries.items()}
    # The firmware as the tool's trace prints it: its CRC-16, and its size and SHA-256.
    data = open(firmware, "rb").read()
    crc = crc16_modbus(padded_image(firmware))
    crc_text = "%#x" % crc if crc else "0"
    for what, given, wanted in [
            ("file and product version numbers", [fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                                                  fixed.ProductVersionLS], [ms, ls, ms, ls]),
            ("file OS and type", [fixed.FileOS, fixed.FileType], [VOS_NT_WINDOWS32, VFT_APP]),
            ("string tables (English (UK), 1252)", [t.LangID for t in tables], [b"080904e4"]),
            ("Translation", [var.entry.get(b"Translation") for info in infos for var in getattr(info, "Var", [])],
             ["%#06x %#06x" % (LANG_ENGLISH_UK, CODEPAGE_WINDOWS_LATIN1)]),
            ("version text FileDescription", texts.get("FileDescription"), DIALOG["caption"]),
            ("version text FileVersion", texts.get("FileVersion"), version),
            ("version text ProductVersion", texts.get("ProductVersion"), "%s (firmware CRC-16 %s)" % (version, crc_text)),
            ("version text OriginalFilename", texts.get("OriginalFilename"), "installer.exe"),
            ("version text Comments", texts.get("Comments"), "firmware %s, %d bytes, CRC-16 %s, SHA-256 %s"
             % (firmware_name, len(data), crc_text, hashlib.sha256(data).hexdigest()))]:
        check(given == wanted, "%s %r, wanted %r" % (what, given, wanted))
    for name in VERSION_TEXTS_PRESENT:
        check(texts.get(name), "version text %s is missing or empty" % name)
    return texts


def check_manifest(text, version):
    check('level="asInvoker"' in text and 'uiAccess="false"' in text,
          "manifest does not ask for asInvoker without uiAccess")
    root = ElementTree.fromstring(text)
    identity = root.find("v1:assemblyIdentity", MANIFEST_NS)
    check(identity is not None and identity.get("version") == version_quad(version),
          "manifest's assemblyIdentity version is not %s" % version_quad(version))
    dependencies = [{k: a.get(k) for k in COMMON_CONTROLS_6}
                    for a in root.iterfind("v1:dependency/v1:dependentAssembly/v1:assemblyIdentity", MANIFEST_NS)]
    check(dependencies == [COMMON_CONTROLS_6], "manifest's dependencies %r, wanted the common controls 6"
          % dependencies)
    supported = {e.get("Id") for e in root.iterfind("compat:compatibility/compat:application/compat:supportedOS",
                                                    MANIFEST_NS)}
    for guid, name in SUPPORTED_OS.items():
        check(guid in supported, "manifest does not declare %s supported" % name)
    dpi = root.findall("v3:application/v3:windowsSettings/ws2005:dpiAware", MANIFEST_NS)
    check([e.text for e in dpi] == ["true"], "manifest does not declare system DPI awareness")
    # Per monitor would promise a layout the dialog does not redo on a move.
    check("permonitor" not in text.lower(), "manifest claims per-monitor DPI awareness")


def check_icon(res):
    groups = [(n, d) for t, n, l, d in res if t == RT["RT_GROUP_ICON"]]
    if not check(len(groups) == 1 and groups[0][0] == 1, "icon groups %r, wanted one, id 1"
                 % [n for n, _ in groups]):
        return
    data = groups[0][1]
    _, kind, count = struct.unpack_from("<HHH", data)
    entries = [struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i) for i in range(count)]
    sizes = [e[0] or 256 for e in entries]
    check(kind == 1 and sorted(sizes) == ICON_SIZES, "icon sizes %r, wanted %r" % (sizes, ICON_SIZES))
    icons = {n: d for t, n, l, d in res if t == RT["RT_ICON"]}
    for (_, _, _, _, _, bits, length, icon_id), size in zip(entries, sizes):
        image = icons.get(icon_id, b"")
        if not check(len(image) == length and bits == 32, "icon %d: %d bytes of %d, %d bits"
                     % (size, len(image), length, bits)):
            continue
        if image.startswith(PNG_SIGNATURE):
            check(struct.unpack_from(">II", image, 16) == (size, size), "PNG icon is not %d pixels" % size)
            continue
        # A 32-bit bitmap of that size whose alpha bytes draw something:
        # not a blank square nor a filled one.
        header, width, height, _, bits = struct.unpack_from("<IiiHH", image)
        alphas = image[40 + 3:40 + 4 * size * size:4]
        check((header, width, height, bits) == (40, size, 2 * size, 32) and 0 < alphas.count(0) < size * size,
              "icon %d is not a %d-pixel 32-bit bitmap with a shape in it" % (size, size))


def check_resources(pe, firmware, version, firmware_name):
    """The firmware, byte for byte, as RCDATA "BINFILE"; the dialog "ZELT" field by field; the version
    resource naming the tool's version and the firmware; the icon's four sizes; the manifest."""
    res = resources_of(pe)
    image = open(firmware, "rb").read()

    binfile = resource_data(res, RT["RT_RCDATA"], "BINFILE")
    binfile_uk = resource_data(res, RT["RT_RCDATA"], "BINFILE", LANG_ENGLISH_UK)
    check(len(binfile) == 1 and len(binfile_uk) == 1,
          "RCDATA \"BINFILE\" in English (UK) once: %d found, %d in 0x0809" % (len(binfile), len(binfile_uk)))
    for data in binfile_uk:
        check(data == image, "BINFILE (%d bytes) differs from %s (%d bytes)" % (len(data), firmware, len(image)))

    check_dialog(resource_data(res, RT["RT_DIALOG"], "ZELT", LANG_ENGLISH_UK))
    texts = check_version(pe, resource_data(res, RT["RT_VERSION"], 1, LANG_ENGLISH_UK), version, firmware,
                          firmware_name)
    check_icon(res)
    manifests = resource_data(res, RT["RT_MANIFEST"], 1)
    if check(len(manifests) == 1, "manifest (type 24, id 1) found %d times" % len(manifests)):
        check_manifest(manifests[0].decode("utf-8"), version)
    return res, texts


def check_program(exe, firmware, version, firmware_name, link_map=None):
    """Every check of one program file (and of its link map, when given);
    prints what it read and returns the failures."""
    first = len(failures)
    pe = pefile.PE(exe)
    dlls = check_headers(pe)
    if link_map:
        check_stack_protector(link_map)
    res, texts = check_resources(pe, firmware, version, firmware_name)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_LOAD_CONFIG]
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    print("%s: %d bytes, DllCharacteristics %#06x, load configuration of %#x bytes at RVA %#x" % (
        exe, len(pe.__data__), pe.OPTIONAL_HEADER.DllCharacteristics, directory.Size, directory.VirtualAddress))
    print("DependentLoadFlags: %s" % ("%#x" % config.struct.Reserved1 if config else "-"))
    print("sections: " + " ".join(section_name(s) for s in pe.sections))
    print("imports: " + ", ".join(dlls))
    for t, n, l, d in res:
        print("resource type %r name %r language %#06x: %d bytes" % (t, n, l, len(d)))
    for name, text in texts.items():
        print("version text %-16s %s" % (name, text))
    return failures[first:]


if __name__ == "__main__":
    if len(sys.argv) not in (5, 6):
        sys.stderr.write(__doc__)
        sys.exit(2)
    for found in check_program(*sys.argv[1:]):
        print("FAIL: " + found)
    sys.exit(1 if failures else 0)
