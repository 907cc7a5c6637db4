#!/usr/bin/env python3
"""scripts/release on a checkout of the tree as it is: refused while the
checkout has a change not committed; then, committed, a release signed with a
throwaway self-signed certificate made here, whose signature must verify
against that certificate, whose SHA256SUMS must
be the program's and whose RELEASE.txt must name the commit, the version and
the firmware's size, SHA-256 and CRC-16. The release builds the program in
another directory from a copy of the tree, so its unsigned program must be
byte for byte REFERENCE_EXE, the Windows build of the same tree and firmware:
neither a time nor a path may get into the file. The signed program is left
as OUT_DIR/signed/installer.exe for an end-to-end run under Wine.

usage: release_test.py SOURCE_DIR OUT_DIR VERSION FIRMWARE REFERENCE_EXE
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "harness"))
from protocol import crc16_modbus, padded_image  # noqa: E402  the test scripts' one CRC-16

RELEASE_TIMEOUT_S = 400
CERT_SUBJECT = "/CN=Orvex release check (throwaway)"
DIST_FILES = ["RELEASE.txt", "SHA256SUMS", "installer.exe"]

failures = []


def check(condition, what, detail=""):
    print("%s  %s%s" % ("PASS" if condition else "FAIL", what, "  [%s]" % detail if detail and not condition else ""))
    if not condition:
        failures.append(what)
    return condition


def run(argv, cwd=None, log=None, timeout=60):
    done = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=timeout)
    if log:
        with open(log, "w") as f:
            f.write(done.stdout)
    return done.returncode, done.stdout


def git(checkout, *args):
    env = dict(os.environ, GIT_AUTHOR_NAME="release check", GIT_AUTHOR_EMAIL="check@invalid",
               GIT_COMMITTER_NAME="release check", GIT_COMMITTER_EMAIL="check@invalid")
    return subprocess.run(["git", "-C", checkout] + list(args), env=env, check=True, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True).stdout.strip()


def certificate(out, name, subject):
    cert, key = os.path.join(out, name + ".cert.pem"), os.path.join(out, name + ".key.pem")
    code, text = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                      "-days", "2", "-subj", subject, "-addext", "extendedKeyUsage=codeSigning"])
    if code != 0:
        raise RuntimeError("openssl could not make a certificate: " + text)
    return cert, key


def copy_tree(source, target):
    """The working tree's files as they are: tracked and new ones, not the ignored."""
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], check=True, capture_output=True).stdout
    for name in sorted(set(listed.decode().split("\0")) - {""}):
        path = os.path.join(source, name)
        if os.path.isfile(path):  # a file deleted but not yet committed is gone
            os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
            shutil.copy2(path, os.path.join(target, name))


def release_notes(text):
    return dict(re.findall(r"^([a-zA-Z0-9 -]+):\s+(.*)$", text, re.M))


def main(argv):
    if len(argv) != 6:
        sys.stderr.write(__doc__)
        return 2
    source, out, version, firmware, reference = (os.path.abspath(argv[1]), os.path.abspath(argv[2]), argv[3],
                                                 os.path.abspath(argv[4]), os.path.abspath(argv[5]))
    shutil.rmtree(out, ignore_errors=True)
    checkout = os.path.join(out, "checkout")
    copy_tree(source, checkout)
    git(checkout, "init", "-q")
    git(checkout, "add", "-A")
    git(checkout, "commit", "-q", "-m", "the tree under test")
    commit = git(checkout, "rev-parse", "HEAD")
    dist = os.path.join(checkout, "dist", "orvex_installer-" + version)
    cert, key = certificate(out, "signer", CERT_SUBJECT)
    release = [os.path.join(checkout, "scripts", "release"), "--firmware", firmware,
               "--sign-cert", cert, "--sign-key", key]

    stray = os.path.join(checkout, "stray.txt")
    open(stray, "w").close()
    code, text = run(release, cwd=checkout, log=os.path.join(out, "release-refused.log"))
    check(code != 0 and "not committed" in text and not os.path.exists(dist),
          "a checkout with a file not committed is refused, nothing built", "exit %d: %s" % (code, text[-300:]))
    os.unlink(stray)

    code, text = run(release, cwd=checkout, log=os.path.join(out, "release.log"), timeout=RELEASE_TIMEOUT_S)
    if not check(code == 0, "scripts/release signs and writes %s" % dist, text[-2000:]):
        return 1
    check(sorted(os.listdir(dist)) == DIST_FILES, "the release holds %s" % ", ".join(DIST_FILES),
          str(sorted(os.listdir(dist))))
    program = os.path.join(dist, "installer.exe")
    data = open(program, "rb").read()
    sums = open(os.path.join(dist, "SHA256SUMS")).read()
    check(sums == "%s  installer.exe\n" % hashlib.sha256(data).hexdigest(), "SHA256SUMS is the program's", sums)

    code, text = run(["osslsigncode", "verify", "-in", program, "-CAfile", cert],
                     log=os.path.join(out, "verify.log"))
    print(text)
    check(code == 0 and "Signature verification: ok" in text and CERT_SUBJECT in text,
          "the signature verifies against the throwaway certificate")
    notes = release_notes(open(os.path.join(dist, "RELEASE.txt")).read())
    image = open(firmware, "rb").read()
    crc = crc16_modbus(padded_image(firmware))
    wanted = {
        "tool version": version,
        "commit": commit,
        "firmware": os.path.basename(firmware),
        "firmware size": "%d bytes" % len(image),
        "firmware SHA-256": hashlib.sha256(image).hexdigest(),
    }
    for name, value in wanted.items():
        check(notes.get(name) == value, "RELEASE.txt gives the %s: %s" % (name, value), repr(notes.get(name)))
    check((notes.get("firmware CRC-16") or "").startswith("%#x " % crc),
          "RELEASE.txt gives the padded image's CRC-16 %#x" % crc, repr(notes.get("firmware CRC-16")))
    check((notes.get("signed") or "").startswith("yes"), "RELEASE.txt says it is signed", repr(notes.get("signed")))
    unsigned = (notes.get("unsigned SHA-256") or "").split(" ")[0]
    built = hashlib.sha256(open(reference, "rb").read()).hexdigest()
    print("%s  %s\n%s  the release's unsigned program" % (built, reference, unsigned))
    check(unsigned == built, "built again elsewhere, the program is the same bytes",
          "is %s up to date with the tree?" % reference)

    os.makedirs(os.path.join(out, "signed"))
    shutil.copy2(program, os.path.join(out, "signed", "installer.exe"))
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
