# Shared helpers of the script tests: sandboxed runs of both tools, message capture, tree and
# sentinel checks, the message texts the tests expect, and a model of the chunk layout.
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SRC = Path(__file__).resolve().parents[2]
SHARED = Path(os.environ.get("QN_SHARED_DIR") or SRC.parent / "shared")
ZIP = "archive.qn"
CHUNK, HEADER = 0x200000, 16          # a stored chunk (payload and 8-byte sum); the header
SAN_EXIT = 86                         # exit status a sanitizer report is made to give
SAN_MARKS = (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error:",
             b"ThreadSanitizer", b"UndefinedBehaviorSanitizer")

# The English texts the tests expect, written out from the format's message tables.
TEXTS = {
    "open": "Fail opening zip file %s", "openvol": "Fail opening zip file %s.%d",
    "read": "Fail reading zip file %s", "format": "Invalid format of zip file %s",
    "version": "Warning: Zip file version v%d doesn't match the decompressor v%d, please "
               "upgrade the software",
    "err": "Error reading zip file %s", "errvol": "Error reading zip file %s.%d",
    "sum": "Checksum error, zip file %s may be incorrect",
    "sumvol": "Checksum error, zip file %s.%d may be incorrect",
    "datapos": "Fail reading datastream position", "xmlend": "Unexpected end of compressed XML current",
    "end": "Unexpected end of compressed current", "xml": "Fail creating index XML file %s",
    "noend": "Compressed stream ends without its end code, zip file %s is damaged",
    "pos": "Invalid stream positions in zip file %s", "long": "Too long of the command parameter",
    "cluster": "Parameter 'cluster' value must be power of 2, such as 1, 2, 4, 8 and so on",
    "ini": "Error in parameter file %s", "inv": "Invalid data '%s' near line %d of XML index file %s",
    "count": "Compressed file number %d doesn't match <files>%d</files> in XML index file",
    "total": "Total file size %d doesn't match <size>%d</size> in XML index file",
    "unrel": "File %s has %d bytes un-released", "create": "Fail creating file %s",
    "getxml": "Fail getting data from XML index file %s", "param": "Invalid element <parameter> in XML index file %s",
    "badpwd": "Invalid password or zip packet", "damaged": "Compressed data is damaged, zip file %s may be incorrect",
    "unsafe": "Unsafe path %s skipped: it leads outside the destination"}


def T(key, *args):
    return TEXTS[key] % args


def _known_patterns():
    """Every message text of the program (texts.def) as a pattern with its fields as wildcards."""
    pats = []
    for f in SRC.glob("src/**/texts.def"):
        for m in re.finditer(r'^QN_TEXT\(\w+,\s*"((?:[^"\\]|\\.)*)"', f.read_text("utf-8"), re.M):
            fmt = bytes(m.group(1), "utf-8").decode("unicode_escape")
            parts = re.split(r"%(?:l|ll|h|z)?[sduxXc]", fmt.replace("%%", "%"))
            pats.append(re.compile("^" + ".*".join(map(re.escape, parts)) + "$", re.S))
    return pats + [re.compile(r"^Error locking \(.*\)$"), re.compile("^BWT block empty$")]


KNOWN = _known_patterns()


# ---------------------------------------------------------------- runs

def env(locale=None):
    """The tools' environment: the sanitizers' exit status; locale: {variable: value} replacing
    every locale variable."""
    e = dict(os.environ)
    if locale is not None:
        e = {k: v for k, v in e.items() if not k.startswith("LC_") and k != "LANG"} | locale
        e["PYTHONCOERCECLOCALE"] = "0"  # the measuring python must not set LC_CTYPE for the tool
    for var, extra in (("ASAN_OPTIONS", f"exitcode={SAN_EXIT}:allocator_may_return_null=1"),
                       ("UBSAN_OPTIONS", f"exitcode={SAN_EXIT}:print_stacktrace=1"),
                       ("TSAN_OPTIONS", f"exitcode={SAN_EXIT}")):
        e[var] = (e[var] + ":" + extra) if e.get(var) else extra
    return e


class Result:
    def __init__(self, **kw):
        self.__dict__.update(kw)

    def describe(self):
        return (f"status {self.status}, {self.seconds:.2f} s, timed out {self.timed_out}, "
                f"reports {self.messages!r}\n--- stdout ---\n{self.stdout[-3000:]!r}\n"
                f"--- stderr ---\n{self.stderr[-5000:].decode('utf-8', 'replace')}")


# The tool runs under a small parent that reports the tool's own peak resident memory (KiB)
# last on standard error (the test process's RUSAGE_CHILDREN would mix all its children).
PEAK = ("import os, sys\npid = os.fork()\nif pid == 0:\n    os.execv(sys.argv[1], sys.argv[1:])\n"
        "_, st, ru = os.wait4(pid, 0)\nsys.stderr.write(f'\\npeak-rss {ru.ru_maxrss}\\n')\n"
        "code = os.waitstatus_to_exitcode(st)\nos.kill(os.getpid(), -code) if code < 0 else sys.exit(code)")


def run(binary, args, cwd, stdin=b"\n", timeout=120, locale=None):
    """Runs a tool in cwd (whole process group killed on timeout); reports are the new
    qn_error.log entries, plus "BWT block empty", which is printed without being logged."""
    log = Path(cwd) / "qn_error.log"
    before = log.stat().st_size if log.exists() else 0
    start = time.monotonic()
    proc = subprocess.Popen([sys.executable, "-c", PEAK, os.path.abspath(binary)] + [str(a) for a in args], cwd=cwd,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env(locale), start_new_session=True)
    timed_out = False
    try:
        out, err = proc.communicate(stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
    peak = re.search(rb"\npeak-rss (\d+)\n$", err)
    err = err[:peak.start()] if peak else err
    data = log.read_bytes() if log.exists() else b""
    data = data[before:] if len(data) >= before else data      # rotated: all of it is new
    msgs = [l[6:].decode("utf-8", "surrogateescape") for l in data.split(b"\n")
            if l.startswith(b" ==== ")]
    if b"BWT block empty" in out and "BWT block empty" not in msgs:
        msgs.append("BWT block empty")
    return Result(status=proc.returncode, stdout=out, stderr=err, timed_out=timed_out, rss=int(peak[1]) if peak else 0,
                  seconds=time.monotonic() - start, messages=msgs, log=data)


def run_problems(res, timeout, known=True):
    """What must never happen: a hang, a signal, a sanitizer report, a status other than 0
    or 1, a report not printed on the console in order, a report that is none of ours."""
    out = []
    if res.timed_out:
        out.append(f"no end within {timeout} s (hang)")
    elif res.status not in (0, 1):
        out.append(f"exit status {res.status}")
    if res.status == SAN_EXIT or any(m in res.stderr for m in SAN_MARKS):
        out.append("sanitizer report")
    pos = 0
    for m in res.messages:
        if known and m.isascii() and not any(p.match(m) for p in KNOWN):   # Chinese taken as is
            out.append(f"report {m!r} is none of our message texts")
        if m != "BWT block empty":
            needle = b"\n" + m.encode("utf-8", "surrogateescape") + b"\n"
            i = res.stdout.find(needle, pos)
            if i < 0:
                out.append(f"logged report {m!r} not printed on the console (in order)")
            pos = max(pos, i + len(needle) - 1)
    return out


# ---------------------------------------------------------------- trees

def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def read_tree(root, skip=(), exact=False):
    """Everything under root in the manifest's form: path -> ('d',), ('l', target) or
    ('f', size, sha256, whole-second mtime); exact: mtime in nanoseconds. skip: paths left out."""
    rows, rootb = {}, os.fsencode(root)
    skip = {os.fsencode(s) for s in skip}
    for dirpath, dirnames, filenames in os.walk(rootb):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, rootb)
            if rel in skip:
                continue
            st = os.lstat(full)
            rows[rel] = (("l", os.readlink(full)) if os.path.islink(full) else ("d",)
                         if os.path.isdir(full) else ("f", st.st_size, sha256(full),
                                                      st.st_mtime_ns if exact else int(st.st_mtime)))
        dirnames[:] = [d for d in dirnames if os.path.relpath(os.path.join(dirpath, d), rootb) not in skip]
    return rows


def tree_diff(expected, got, only=None):
    keys = sorted(set(expected) | set(got)) if only is None else sorted(only)
    return [f"{k.decode('utf-8', 'replace')}: expected {expected.get(k)}, got {got.get(k)}"
            for k in keys if expected.get(k) != got.get(k)]


class Sandbox:
    """base/ (with a sentinel) and base/work/ (the working folder: qn.ini, a sentinel, the
    archive files). Only the destination work/out and the outputs may change."""

    OUTPUTS = ("out", "out.xml", "only.xml", "qn_error.log", "qn_error.bak")

    def __init__(self, files, outputs=(), ini=b"language=2\n"):
        self.skip = ["work/" + o for o in self.OUTPUTS + tuple(outputs)]
        self.base = Path(tempfile.mkdtemp(prefix="qn-test-"))
        self.work = self.base / "work"
        self.work.mkdir()
        if ini is not None:
            (self.work / "qn.ini").write_bytes(ini)
        (self.base / "sentinel-parent.txt").write_bytes(b"parent sentinel\n")
        (self.work / "sentinel-work.txt").write_bytes(b"work sentinel\n")
        for name, data in files.items():
            (self.work / name).write_bytes(data)
        self.mark()

    def mark(self):
        self.before = read_tree(self.base, self.skip, exact=True)

    def outside_changes(self):
        return ["outside the destination: " + d
                for d in tree_diff(self.before, read_tree(self.base, self.skip, exact=True))]

    def remove(self):
        shutil.rmtree(self.base, ignore_errors=True)


def check_scenario(unzip, files, args=(ZIP, "out.xml", "out"), status=1, messages=None,
                   stdin=b"\n", timeout=60, extra=None, prepare=None, outputs=(), ini=b"language=2\n"):
    """Runs quarnunzip on files in a fresh sandbox; returns (problems, result).
    status None: 0 or 1; messages None: any of ours; extra(box, res) adds checks."""
    box = Sandbox(files, outputs, ini)
    try:
        if prepare:
            prepare(box)
            box.mark()
        res = run(unzip, args, box.work, stdin, timeout)
        problems = run_problems(res, timeout)
        if status is not None and res.status != status and not res.timed_out:
            problems.append(f"exit status {res.status}, expected {status}")
        if messages is not None and res.messages != messages:
            problems.append(f"reports {res.messages!r}, expected {messages!r}")
        if res.status == 1 and messages is None and not res.messages:
            problems.append("exit status 1 without any report")
        return problems + box.outside_changes() + (extra(box, res) if extra else []), res
    finally:
        box.remove()


# ---------------------------------------------------------------- archive layout

def data_off(data):
    return struct.unpack_from("<Q", data, 8)[0]


def put_u(data, off, value, size):
    data[off:off + size] = (value & ((1 << 8 * size) - 1)).to_bytes(size, "little")


def chunks(start, end):
    """[start, end) cut into chunks of CHUNK bytes, the last one shorter."""
    return [(p, min(p + CHUNK, end)) for p in range(start, end, CHUNK)]


def layout(data):
    """(index chunks, data chunks) of a single-file archive, as byte ranges."""
    off = data_off(data)
    end = struct.unpack_from("<Q", data, off)[0] or len(data)
    return chunks(HEADER, off), chunks(off + 8, end)


# ---------------------------------------------------------------- suites

class Suite:
    """Collects named scenario results, one line each; finish() gives the exit status."""

    def __init__(self, title):
        self.title, self.failed, self.count = title, [], 0
        self.start = self.last = time.monotonic()

    def report(self, name, problems, res=None):
        self.count, took, self.last = self.count + 1, time.monotonic() - self.last, time.monotonic()
        print(("FAIL " if problems else "ok   ") + f"{name} ({took:.2f} s)", flush=True)
        if problems:
            self.failed.append(name)
            for p in problems + ([res.describe()] if res is not None else []):
                print("     " + str(p).replace("\n", "\n     "))

    def finish(self):
        print(f"\n{self.title}: {self.count - len(self.failed)} of {self.count} passed in "
              f"{time.monotonic() - self.start:.1f} s" + "".join(f"\n  failed: {n}" for n in self.failed))
        return 1 if self.failed or not self.count else 0


def args(*extra):
    """Command line of every script; extra: (flag, default) pairs."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--unzip", required=True)
    ap.add_argument("--zip")
    ap.add_argument("--cases", default=str(SHARED / "conformance"))
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument("--only", default="", help="run scenarios whose name contains this")
    ap.add_argument("--group", default="", help="run the rows of this group (default: all)")
    for flag, default in extra:
        ap.add_argument(flag, default=default)
    return ap.parse_args()


def load_case(cases, name):
    """Files (archive and volumes), index.xml, manifest and case.json of a conformance case."""
    folder = Path(cases) / name
    case = json.loads((folder / "case.json").read_text(encoding="utf-8"))
    names = [case.get("archive", ZIP)] + list(case.get("volumes") or [])
    manifest = {}
    for line in (folder / "manifest.tsv").read_bytes().split(b"\n")[1:]:
        if line:
            p, kind, size, digest, mtime = line.split(b"\t")
            manifest[p] = ("d",) if kind == b"d" else ("f", int(size), digest.decode(), int(mtime))
    return {"files": {n: (folder / n).read_bytes() for n in names}, "case": case,
            "index": (folder / case.get("index_xml", "index.xml")).read_bytes(),
            "manifest": manifest, "folder": folder}


def stdin_for(case):
    pwd = case["case"].get("password")
    return (pwd.encode() if pwd is not None else b"") + b"\n"
