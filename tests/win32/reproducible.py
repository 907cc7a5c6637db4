#!/usr/bin/env python3
"""Builds installer.exe a second time, from a copy of the source tree in
another directory into another build directory, and compares it byte for
byte with the Windows build's: a release must be checkable against its
source, so neither a time nor a path may get into the file.

usage: reproducible.py SOURCE_DIR WIN32_BUILD_DIR WORK_DIR

The copy takes the working tree's files as they are (tracked and new ones,
not the ignored), so a Windows build that is up to date with the tree is
what it must match. The firmware is the one that build embeds.
"""

import hashlib
import os
import shutil
import subprocess
import sys

BUILD_TIMEOUT_S = 300


def cache_value(build_dir, name):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            if key.split(":")[0] == name:
                return value
    return None


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def copy_tree(source, target):
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], check=True, capture_output=True).stdout
    for name in sorted(set(listed.decode().split("\0")) - {""}):
        path = os.path.join(source, name)
        if os.path.isfile(path):  # a file deleted but not yet committed is gone
            os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
            shutil.copy2(path, os.path.join(target, name))


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    source, win32_build, work = (os.path.abspath(a) for a in argv[1:])
    reference = os.path.join(win32_build, "installer.exe")
    firmware = cache_value(win32_build, "INSTALLER_FIRMWARE")
    if firmware is None or not os.path.isfile(reference):
        print("FAIL: no Windows build in %s; build it first" % win32_build)
        return 1

    shutil.rmtree(work, ignore_errors=True)
    copy = os.path.join(work, "source-copy")
    build = os.path.join(work, "another-build-directory")
    copy_tree(source, copy)
    for command in (["cmake", "-S", copy, "-B", build,
                   "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(copy, "cmake", "mingw-i686.cmake"),
                   "-DINSTALLER_FIRMWARE=" + firmware],
                  ["cmake", "--build", build, "--target", "installer", "-j2"]):
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=BUILD_TIMEOUT_S)
        if done.returncode != 0:
            print(done.stdout)
            print("FAIL: %s ended with %d" % (" ".join(command[:2]), done.returncode))
            return 1

    again = os.path.join(build, "installer.exe")
    sums = (sha256(reference), sha256(again))
    print("%s  %s" % (sums[0], reference))
    print("%s  %s" % (sums[1], again))
    if sums[0] != sums[1]:
        print("FAIL: the two builds differ (is %s up to date with the source tree?)" % win32_build)
        return 1
    print("PASS: byte-identical")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
