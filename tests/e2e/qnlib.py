# Shared helpers of the end-to-end tests: sandboxed runs of quarnunzip, message capture,
# tree and sentinel checks, and an independent model of the archive's chunk layout.
import hashlib
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

CHUNK = 0x200000                     # a stored chunk: payload and its 8-byte sum
HEADER = 16
SRC = Path(__file__).resolve().parents[2]
TEXTS_DEF = SRC / "src" / "core" / "texts.def"
SANITIZER_MARKS = (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error:",
                   b"WARNING: ThreadSanitizer", b"ERROR: ThreadSanitizer",
                   b"UndefinedBehaviorSanitizer")
SANITIZER_EXIT = 86                  # exit status a sanitizer report is made to give


def shared_dir():
    """The folder shared beside the project (X/main and X/shared), or QN_SHARED_DIR."""
    env = os.environ.get("QN_SHARED_DIR")
    return Path(env) if env else SRC.parent / "shared"


# ---------------------------------------------------------------- messages

def _english_formats():
    """English texts of texts.def, in file order."""
    pat = re.compile(r'^QN_TEXT\((\w+),\s*"((?:[^"\\]|\\.)*)"')
    out = {}
    for line in TEXTS_DEF.read_text(encoding="utf-8").splitlines():
        m = pat.match(line)
        if m:
            out[m.group(1)] = bytes(m.group(2), "utf-8").decode("unicode_escape")
    return out


def _format_regex(fmt):
    """A printf format as a regular expression over the whole text."""
    out, i = [], 0
    conv = re.compile(r"%(?:l|ll|h|z)?([sduxXc%])")
    while i < len(fmt):
        m = conv.match(fmt, i)
        if not m:
            out.append(re.escape(fmt[i]))
            i += 1
            continue
        kind = m.group(1)
        out.append({"s": r".*", "d": r"-?\d+", "u": r"\d+", "x": r"[0-9a-f]+",
                    "X": r"[0-9A-F]+", "c": r".", "%": "%"}[kind])
        i = m.end()
    return re.compile("^" + "".join(out) + "$", re.S)


ENGLISH = _english_formats()
_KNOWN = [_format_regex(f) for f in ENGLISH.values()]


def _english_known(text):
    return any(r.match(text) for r in _KNOWN) or re.match(r"^Error locking \(.*\)$", text)


def is_known_message(text):
    """True when text is one of our message texts with its fields filled in: the English
    text, the English text with the Chinese one in parentheses, or a Chinese text alone."""
    if _english_known(text):
        return True
    for i in range(len(text)):
        if text.startswith(" (", i) and text.endswith(")") and _english_known(text[:i]):
            return True
    return not text.isascii()


def T(name, *args):
    """The English text of a message, formatted (printf style); surplus arguments are
    ignored, so that callers can pass the archive name to texts that do not show it."""
    fmt = ENGLISH[name]
    n = len(re.findall(r"%(?:l|ll|h|z)?[sduxXc]", fmt))
    return fmt % args[:n]


def parse_log(data):
    """Message texts of qn_error.log entries: a time stamp line, then ' ==== text'."""
    msgs = []
    for line in data.split(b"\n"):
        if line.startswith(b" ==== "):
            msgs.append(line[6:].decode("utf-8", "surrogateescape"))
    return msgs


# ---------------------------------------------------------------- runs

class Result:
    def __init__(self, status, stdout, stderr, seconds, timed_out, messages):
        self.status = status            # exit status, or -signal
        self.stdout = stdout
        self.stderr = stderr
        self.seconds = seconds
        self.timed_out = timed_out
        self.messages = messages        # reports in order (log, plus "BWT block empty")

    def sanitizer_report(self):
        return self.status == SANITIZER_EXIT or any(m in self.stderr for m in SANITIZER_MARKS)

    def describe(self):
        out = self.stdout.decode("utf-8", "replace")
        err = self.stderr.decode("utf-8", "replace")
        return (f"status {self.status}, {self.seconds:.2f} s, timed out {self.timed_out}\n"
                f"messages {self.messages!r}\n--- stdout (tail) ---\n{out[-3000:]}\n"
                f"--- stderr (tail) ---\n{err[-6000:]}")


def sanitizer_env():
    env = dict(os.environ)
    for var, extra in (("ASAN_OPTIONS", f"exitcode={SANITIZER_EXIT}:allocator_may_return_null=1"),
                       ("UBSAN_OPTIONS", f"exitcode={SANITIZER_EXIT}:print_stacktrace=1"),
                       ("TSAN_OPTIONS", f"exitcode={SANITIZER_EXIT}")):
        env[var] = (env[var] + ":" + extra) if env.get(var) else extra
    return env


def run_unzip(unzip, args, cwd, stdin=b"\n", timeout=120):
    """Runs quarnunzip in cwd; the whole process group is killed on timeout."""
    log = Path(cwd) / "qn_error.log"
    before = log.stat().st_size if log.exists() else 0
    start = time.monotonic()
    proc = subprocess.Popen([os.path.abspath(unzip)] + [str(a) for a in args], cwd=cwd,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=sanitizer_env(),
                            start_new_session=True)
    timed_out = False
    try:
        out, err = proc.communicate(stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
    seconds = time.monotonic() - start
    logged = b""
    if log.exists():
        data = log.read_bytes()
        # The log may have been rotated during the run; then all of it is new.
        logged = data[before:] if len(data) >= before else data
    msgs = parse_log(logged)
    # "BWT block empty" is printed without being logged, right before the stop.
    if b"BWT block empty" in out and "BWT block empty" not in msgs:
        msgs.append("BWT block empty")
    return Result(proc.returncode, out, err, seconds, timed_out, msgs)


def console_order_problem(res):
    """Every logged report must also be on the console as a line of its own, in order."""
    pos = 0
    for m in res.messages:
        if m == "BWT block empty":
            continue
        needle = b"\n" + m.encode("utf-8", "surrogateescape") + b"\n"
        i = res.stdout.find(needle, pos)
        if i < 0:
            return f"logged report {m!r} not printed on the console (in order)"
        pos = i + len(needle) - 1
    return None


# ---------------------------------------------------------------- trees

def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def snapshot(root, skip=()):
    """Everything under root: type, size, mtime, hash; skip holds paths relative to root."""
    root = Path(root)
    skip = {os.fsencode(s) for s in skip}
    state = {}
    for dirpath, dirnames, filenames in os.walk(os.fsencode(root)):
        rel_dir = os.path.relpath(dirpath, os.fsencode(root))
        for name in dirnames + filenames:
            rel = os.path.normpath(os.path.join(rel_dir, name))
            if rel in skip or any(rel.startswith(s + b"/") for s in skip):
                continue
            full = os.path.join(dirpath, name)
            st = os.lstat(full)
            if os.path.islink(full):
                state[rel] = ("l", os.readlink(full))
            elif os.path.isdir(full):
                state[rel] = ("d",)
            else:
                state[rel] = ("f", st.st_size, st.st_mtime_ns, sha256(full))
        dirnames[:] = [d for d in dirnames
                       if os.path.normpath(os.path.join(rel_dir, d)) not in skip]
    return state


def snapshot_diff(before, after):
    lines = []
    for k in sorted(set(before) | set(after)):
        if before.get(k) != after.get(k):
            lines.append(f"{k!r}: {before.get(k)} -> {after.get(k)}")
    return lines


def read_manifest(path):
    """manifest.tsv: path -> ('d',) or ('f', size, sha256, mtime)."""
    rows = {}
    lines = Path(path).read_bytes().split(b"\n")
    for line in lines[1:]:
        if not line:
            continue
        p, kind, size, digest, mtime = line.split(b"\t")
        rows[p] = ("d",) if kind == b"d" else ("f", int(size), digest.decode(), int(mtime))
    return rows


def read_tree(root):
    """The tree under root in the manifest's form (symbolic links shown as such)."""
    rows = {}
    rootb = os.fsencode(root)
    for dirpath, dirnames, filenames in os.walk(rootb):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, rootb)
            if os.path.islink(full):
                rows[rel] = ("l", os.readlink(full))
            elif os.path.isdir(full):
                rows[rel] = ("d",)
            else:
                st = os.stat(full)
                rows[rel] = ("f", st.st_size, sha256(full), int(st.st_mtime))
    return rows


def tree_diff(expected, got, only=None):
    keys = sorted(set(expected) | set(got)) if only is None else sorted(only)
    lines = []
    for k in keys:
        e, g = expected.get(k), got.get(k)
        if e != g:
            lines.append(f"{k.decode('utf-8', 'replace')}: expected {e}, got {g}")
    return lines


# ---------------------------------------------------------------- sandboxes

class Sandbox:
    """base/ (the working dir's parent, with a sentinel) and base/work/ (the working dir,
    with qn.ini, a sentinel and the archive files). The destination is work/out/."""

    OUTPUTS = ("out", "out.xml", "only.xml", "qn_error.log", "qn_error.bak")

    def __init__(self, files, language=2, prefix="qn-e2e-", outputs=()):
        self.outputs = self.OUTPUTS + tuple(outputs)
        self.base = Path(tempfile.mkdtemp(prefix=prefix))
        self.work = self.base / "work"
        self.work.mkdir()
        (self.work / "qn.ini").write_bytes(b"language=%d\n" % language)
        (self.base / "sentinel-parent.txt").write_bytes(b"parent sentinel\n")
        (self.work / "sentinel-work.txt").write_bytes(b"work sentinel\n")
        for name, data in files.items():
            (self.work / name).write_bytes(data)
        self.before = self.outside_state()

    def outside_state(self):
        return snapshot(self.base, skip=["work/" + o for o in self.outputs])

    def outside_changes(self):
        return snapshot_diff(self.before, self.outside_state())

    def remove(self):
        shutil.rmtree(self.base, ignore_errors=True)


# ---------------------------------------------------------------- archive layout

def header(data):
    magic, version, flags, _, idx_len, data_off = struct.unpack_from("<BBBBIQ", data, 0)
    return {"magic": magic, "version": version, "flags": flags, "index_len": idx_len,
            "data_off": data_off}


def set_u32(data, off, value):
    data[off:off + 4] = struct.pack("<I", value & 0xFFFFFFFF)


def set_u64(data, off, value):
    data[off:off + 8] = struct.pack("<Q", value & 0xFFFFFFFFFFFFFFFF)


def stream_chunks(start, end):
    """[start, end) of a stream cut into chunks of CHUNK bytes, the last one shorter."""
    out, pos = [], start
    while pos < end:
        n = min(CHUNK, end - pos)
        out.append((pos, pos + n))
        pos += n
    return out


def single_file_chunks(data):
    """(index chunks, data chunks) of a single-file archive, as byte ranges of the file."""
    h = header(data)
    end = struct.unpack_from("<Q", data, h["data_off"])[0] or len(data)
    return stream_chunks(HEADER, h["data_off"]), stream_chunks(h["data_off"] + 8, end)


def chunk_sum(data, start, n):
    """Sum modulo 2^64 of the n/8 little-endian 64-bit words at start."""
    words = struct.unpack_from("<%dQ" % (n // 8), data, start)
    return sum(words) & 0xFFFFFFFFFFFFFFFF


def chunk_verifies(data, start, end):
    t = end - start
    if t == 0 or t % 8:
        return False
    stored = struct.unpack_from("<Q", data, end - 8)[0]
    return chunk_sum(data, start, t - 8) == stored


def fix_sum(data, start, end):
    """Rewrites the check of chunk [start, end) to match its payload."""
    set_u64(data, end - 8, chunk_sum(data, start, end - start - 8))


# ---------------------------------------------------------------- scenario runs

def run_problems(res, timeout, need_report=True):
    """What must never happen, whatever the input: a hang, a signal, a sanitizer report,
    an exit status other than 0 or 1, a failed run without a report, an unknown report."""
    out = []
    if res.timed_out:
        out.append(f"no end within {timeout} s (hang)")
    elif res.status < 0:
        out.append(f"killed by signal {-res.status}")
    if res.sanitizer_report():
        out.append("sanitizer report")
    if not res.timed_out and res.status not in (0, 1):
        out.append(f"exit status {res.status}")
    if need_report and res.status == 1 and not res.messages:
        out.append("exit status 1 without any report")
    for m in res.messages:
        if not is_known_message(m):
            out.append(f"report {m!r} is none of our message texts")
    order = console_order_problem(res)
    if order:
        out.append(order)
    return out


def check_scenario(unzip, files, args=("archive.qn", "out.xml", "out"), status=1,
                   messages=None, stdin=b"\n", timeout=60, extra=None, prepare=None,
                   outputs=()):
    """Runs quarnunzip on files in a fresh sandbox and returns (problems, result).
    status: expected exit status (None: 0 or 1); messages: exact expected reports (None: any
    known ones); extra(box, res) and prepare(box) add checks and set-up of their own."""
    box = Sandbox(files, outputs=outputs)
    try:
        if prepare:
            prepare(box)
            box.before = box.outside_state()
        res = run_unzip(unzip, args, box.work, stdin, timeout)
        problems = run_problems(res, timeout, need_report=messages != [])
        if status is not None and res.status != status and not res.timed_out:
            problems.append(f"exit status {res.status}, expected {status}")
        if messages is not None and res.messages != messages:
            problems.append(f"reports {res.messages!r}, expected {messages!r}")
        problems += ["outside the destination: " + c for c in box.outside_changes()]
        if extra:
            problems += extra(box, res)
        return problems, res
    finally:
        box.remove()


class Suite:
    """Collects named scenario results and prints one line each."""

    def __init__(self, title):
        self.title = title
        self.failed = []
        self.count = 0
        self.start = time.monotonic()

    def report(self, name, problems, res=None):
        self.count += 1
        took = f"{res.seconds:.2f} s" if res is not None else ""
        if problems:
            self.failed.append(name)
            print(f"FAIL {name} {took}")
            for p in problems:
                print(f"     {p}")
            if res is not None:
                print("     " + res.describe().replace("\n", "\n     "))
        else:
            print(f"ok   {name} {took}")
        sys.stdout.flush()

    def finish(self):
        took = time.monotonic() - self.start
        print(f"\n{self.title}: {self.count - len(self.failed)} of {self.count} scenarios "
              f"passed in {took:.1f} s")
        for n in self.failed:
            print(f"  failed: {n}")
        return 1 if self.failed else 0


def common_args(description):
    import argparse
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--unzip", required=True)
    ap.add_argument("--zip", default=None)
    ap.add_argument("--cases", default=str(shared_dir() / "conformance"))
    ap.add_argument("--timeout", type=float, default=30.0)
    ap.add_argument("--only", default=None, help="run scenarios whose name contains this")
    return ap


def load_case(cases, name):
    """Files (archive and volumes), index.xml and manifest of one conformance case."""
    import json
    folder = Path(cases) / name
    case = json.loads((folder / "case.json").read_text(encoding="utf-8"))
    names = [case.get("archive", "archive.qn")] + list(case.get("volumes") or [])
    return {"files": {n: (folder / n).read_bytes() for n in names},
            "index": (folder / "index.xml").read_bytes(),
            "manifest": read_manifest(folder / "manifest.tsv"),
            "case": case}
