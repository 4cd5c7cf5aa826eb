#!/usr/bin/env python3
# The command lines of both tools end to end: argument count and forms, index-only runs,
# destinations, the configuration file, languages, the banner and summary around a run,
# quarnzip's refusals and skips, and password entry through pipes and a real terminal.
import os
import pty
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402
from qnlib import T, ZIP  # noqa: E402

CN = {k: v.encode("gbk") for k, v in (("prompt", "请输入密码"), ("refuse", "密码不能使用中文"))}
BANNER = (b"\n*** Quarnel -- Decompressor, Version: v20261206 linux-x86_64 ***\n ("
          + "\n*** Quarnel——解压运算器，版本：v20261206 linux-x86_64 ***\n".encode("gbk") + b")\n")
USAGE = b"\nCommand usage (Strict sequence of parameters):\n  quarnunzip zip_file index_xml_file [destination_path]"
WIPE = re.escape(b"\r" + b" " * 60 + b"\r")
SEE_LOG = re.escape(b"Error occured, please see the log file 'qn_error.log'\n\n")
PROMPT = b"Please input the password (" + CN["prompt"] + b") : "
REFUSE = b"Password can't include Chinese character (" + CN["refuse"] + b")"


def summary(n, lang=2):
    return WIPE + (f"{n} 个文件已解压，耗时：".encode("gbk") + rb"\d+" + " 秒".encode("gbk")
                   if lang == 1 else f"{n} files decompressed, time: ".encode() + rb"\d+ seconds") + b"\n"


# ------------------------------------------------------------ checks of a quarnunzip run

def framing(n=None, lang=2):
    """Banner first, then only the summary of a clean run; nothing logged."""
    def check(box, res, c):
        count = n if n is not None else sum(r[0] == "f" for r in c["manifest"].values())
        return ([] if re.fullmatch(re.escape(BANNER) + summary(count, lang), res.stdout)
                else ["not banner then summary"]) + (["a log was written"] if res.log else [])
    return check


def usage(box, res, c):
    return ([] if res.stdout.startswith(BANNER + USAGE) else ["no usage text after the banner"]) \
        + (["the usage text was logged"] if (box.work / "qn_error.log").exists() else [])


def index_only(name):
    return lambda box, res, c: ([] if (box.work / name).exists() and (box.work / name).read_bytes()
                                == c["index"] else [f"{name} is not the index"]) + \
        (["destination files made"] if (box.work / "out").exists() or (box.work / "a").exists() else [])


def tree(rel):
    def check(box, res, c):
        got = qnlib.read_tree(box.work / rel)
        if not rel:
            got = {k: v for k, v in got.items() if k.split(b"/")[0] in (b"a", b"c", b"top.txt")}
        return ["tree differs: " + d for d in qnlib.tree_diff(c["manifest"], got)[:10]]
    return check


def out_has(pattern, count=None):
    def check(box, res, c):
        found = re.findall(pattern, res.stdout, re.S)
        return [] if (len(found) == count if count is not None else found) else [f"output lacks {pattern!r}"]
    return check


def first_report(prefix):
    return lambda box, res, c: [] if res.messages[:1] and res.messages[0].startswith(prefix) \
        else [f"first report does not start {prefix!r}"]


ARGS, PWD, TINY = [ZIP, "out.xml", "out"], "password_1byte", "tiny_tree"


def R(name, argv=ARGS, status=0, msgs=(), checks=(), case=TINY, ini=b"language=2\n", stdin=b"\n", outputs=()):
    return name, argv, status, None if msgs is None else list(msgs), checks, case, ini, stdin, outputs


UNZIP = [
    R("one argument", [ZIP], 1, [], [usage]), R("four arguments", [ZIP, "a.xml", "out", "x"], 1, [], [usage]),
    R("index only", [ZIP, "only.xml"], checks=[index_only("only.xml"), framing(0)]),
    R("third argument -xml", [ZIP, "only.xml", "-xml"], checks=[index_only("only.xml"), framing(0)]),
    R("destination out", checks=[tree("out"), framing()]),
    R("destination out/", [ZIP, "out.xml", "out/"], checks=[tree("out"), framing()]),
    R("empty destination", [ZIP, "out.xml", ""], checks=[tree("")], outputs=("a", "c", "top.txt")),
    R("language 1 run", checks=[tree("out"), framing(None, 1)], ini=b"language=1\n"),
    R("backslash in the index path", [ZIP, "sub\\out.xml", "out"], 1, [T("xml", "sub/out.xml")]),
    R("archive path of 255", ["x" * 255, "out.xml", "out"], 1, [T("open", "x" * 255)]),
    R("archive path of 256", ["x" * 256, "out.xml", "out"], 1, None, [first_report(T("long") + " (")]),
    R("a warning lets the run finish", status=1, msgs=[T("version", 3, 4)], case="damaged_version3",
      checks=[lambda box, res, c: [] if re.fullmatch(re.escape(BANNER + b"\n" + T("version", 3, 4).encode())
              + b"\n.*" + summary(sum(r[0] == "f" for r in c["manifest"].values())) + SEE_LOG, res.stdout, re.S)
              else ["not banner, warning, summary, then the pointer to the log"]]),
    R("password ended by the end of input", checks=[tree("out")], case=PWD, stdin=b"7"),
    R("password with a backspace", checks=[tree("out")], case=PWD, stdin=b"x\b7\n"),
    R("non-ASCII password refused, then the right one", case=PWD, stdin="é\n7\n".encode(),
      checks=[tree("out"), out_has(b"Password can't include Chinese character"),
              out_has(b"Please input the password", 2)]),
    R("no qn.ini", status=1, msgs=None, ini=None, checks=[first_report("Fail opening config file 'qn.ini' (")]),
    R("qn.ini cluster 96", status=1, msgs=[T("cluster"), T("ini", "qn.ini")], ini=b"language=2\ncluster=96\n"),
    R("qn.ini values reset to defaults", ini=b"language=2\nbwt=1\ncache=64\ncolumn=5\n", checks=[tree("out")])]

# quarnzip: arguments, qn.ini text, exit status, text on the console, refused (logged, nothing written)
ZIPS = [(n, a.split(" "), ini, 1, t, True) for n, a, ini, t in (
    ("esc 64", "--esc 64 archive.qn src", "", "Parameter 'esc' above 63"),
    ("cluster 96", "--cluster 96 archive.qn src", "", "Parameter 'cluster' value must be power of 2"),
    ("unknown option", "--frobnicate archive.qn src", "", "Unknown option '--frobnicate'"),
    ("bad number", "--cache x1 archive.qn src", "", "Option '--cache' needs a decimal value"),
    ("bad thread count", "-T two archive.qn src", "", "Option '-T' needs a decimal value"),
    ("negative thread count", "--threads=-1 archive.qn src", "", "Option '--threads=-1' needs a decimal value"),
    ("block 1048577", "--block 1048577 archive.qn src", "", "Parameter 'block' value range must be 1-1048576"),
    ("sight beyond 32 bits", "--sight 4294967297 archive.qn src", "", "Parameter 'sight' value range must be 1-2147483647"),
    ("password 65", "--password=" + "p" * 65 + " archive.qn src", "", "Password must be 1-64 bytes"),
    ("password non-ASCII", "--password=pé archive.qn src", "", "Password must be 1-64 bytes"),
    ("missing index", "--index-in missing.xml archive.qn", "", "Fail reading index file missing.xml"),
    ("qn.ini esc 70", "archive.qn src", "esc=70\n", "Parameter 'esc' above 63"),
    ("qn.ini unknown key", "archive.qn src", "bogus=1\n", "Unknown parameter 'bogus=1'"))]
ZIPS += [("usage without paths", [ZIP], "", 1, "Usage:", False), ("help", ["--help"], "", 0, "--index-in", False),
         ("version", ["--version"], "", 0, "Quarnel compressor, version 1.0 (v20261206, linux-x86_64)\nBuilt by ", False),
         ("unwritable archive", ["no/such/dir/a.qn", "src"], "", 1, "Fail writing archive file no/such/dir/a.qn", False),
         ("missing path", ["archive2.qn", "nonexistent"], "", 1, "Fail reading nonexistent", False),
         ("-l and -t together", ["-l", "-t", ZIP], "", 1, "Usage:", False),
         ("-t with a path", ["-t", ZIP, "src"], "", 1, "Usage:", False)]


# ------------------------------------------------------------ password entry on a terminal

class Terminal:
    """A program on the slave side of a new pseudo-terminal; we type on the master side."""

    def __init__(self, argv, cwd=None):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            if cwd:
                os.chdir(cwd)
            os.execv(argv[0], argv)
        self.out = b""

    def until(self, done, what):
        end = time.monotonic() + 20         # a guard against a hung program only
        while not done():
            if time.monotonic() > end:
                raise AssertionError(f"{what}: timed out, terminal shows {self.out!r}")
            if select.select([self.fd], [], [], 0.01)[0]:
                data = os.read(self.fd, 4096)
                if not data:
                    raise AssertionError(f"terminal closed early, it shows {self.out!r}")
                self.out += data

    def type(self, keys, echo):
        """Send keys in one write once the program reads keys (line mode and echo off)."""
        self.until(lambda: not termios.tcgetattr(self.fd)[3] & (termios.ICANON | termios.ECHO), "key mode")
        before = len(self.out)
        os.write(self.fd, keys)
        self.until(lambda: len(self.out) >= before + len(echo), "echo")
        return [] if self.out[before:before + len(echo)] == echo else \
            [f"echo of {keys!r}: {self.out[before:]!r}, expected {echo!r}"]

    def finish(self):
        end = time.monotonic() + 20
        while not (w := os.waitpid(self.pid, os.WNOHANG))[0]:
            if time.monotonic() > end:
                os.kill(self.pid, signal.SIGKILL)
                raise AssertionError("the program did not end")
            time.sleep(0.01)
        try:
            while select.select([self.fd], [], [], 0)[0] and (data := os.read(self.fd, 4096)):
                self.out += data
        except OSError:
            pass                             # the slave side is gone once all was read
        os.close(self.fd)
        return os.waitstatus_to_exitcode(w[1])


BS, DEL, CR, ERASE = b"\x08", b"\x7f", b"\r", b"\b \b"
# name, language argument, prompt, [(keys, echo they must bring)] (None: hang up), bytes taken
PTY = [("backspace, byte 127, refusal", [], PROMPT, [(b"a", b"*"), (BS, ERASE), (b"b", b"*"), (DEL, b"*"),
        (b"\xb0", b"*"), (CR, b"\r\n" + REFUSE + PROMPT), (b"x", b"*"), (DEL, b"*"), (CR, b"\r\n")], b"x\x7f"),
       ("limit of 64 bytes", ["2"], b"Please input the password : ",
        [(bytes(range(0x21, 0x21 + 70)), b"*" * 64 + b"\r\n")], bytes(range(0x21, 0x21 + 64))),
       ("erased entry is empty", ["1"], CN["prompt"] + b" : ", [(BS + b"k", b"*"), (BS, ERASE), (CR, b"\r\n")], b""),
       ("hang-up ends the entry", [], PROMPT, [(b"p", b"*"), (b"q", b"*"), None], b"pq")]


def taken(pwd):
    return b"LEN=%d HEX=%s" % (len(pwd), pwd.hex().encode())


def pty_case(probe, tmp, lang, prompt, steps, pwd):
    result = tmp / "result"
    t = Terminal([probe, str(result)] + lang)
    t.until(lambda: prompt in t.out, "prompt")
    problems = []
    for step in steps:
        if step is None:                     # the terminal goes away: the next read fails
            t.until(lambda: not termios.tcgetattr(t.fd)[3] & termios.ECHO, "key mode")
            os.close(t.fd)
            t.fd = os.open("/dev/null", os.O_RDONLY)
        else:
            problems += t.type(*step)
    status = t.finish()
    screen = b"\r\n" + prompt + b"".join(s[1] for s in steps if s) + taken(pwd) + b"\r\n"
    return problems + ([] if status == 0 else [f"status {status}"]) + \
        ([] if None in steps or t.out == screen else [f"screen {t.out!r}, expected {screen!r}"]) + \
        ([] if result.read_bytes() == taken(pwd) + b"\n" else [f"result {result.read_bytes()!r}"])


# ------------------------------------------------------------ quarnzip scenarios

# Without qn.ini the locale picks quarnzip's language and the console's encoding of Chinese;
# the log keeps GBK. (variables, console text)
UNKNOWN = "未知选项'--bogus'"
LOCALES = [({"LANG": "zh_CN.UTF-8"}, UNKNOWN.encode()), ({"LANG": "zh_CN.GBK"}, UNKNOWN.encode("gbk")),
           ({"LANG": "zh_CN.UTF-8", "LC_ALL": "C"}, b"Unknown option '--bogus'"),
           ({"LANG": "C", "LC_MESSAGES": "zh_TW.utf8"}, UNKNOWN.encode("gbk")),
           ({}, b"Unknown option '--bogus'")]


def locales(z, w):
    (w / "qn.ini").unlink()
    for variables, text in LOCALES:
        (w / "qn_error.log").unlink(missing_ok=True)
        r = qnlib.run(z, ["--bogus", "x.qn", "src"], w, b"", locale=variables)
        logged = text if text.isascii() else UNKNOWN.encode("gbk")
        yield f"locale {variables}", [] if r.status == 1 and r.stdout == b"\n" + text + b"\n" and \
            logged in r.log else [f"status {r.status}, console {r.stdout!r}, log {r.log!r}"]


# The progress line: on a terminal unless -q, in a pipe only with -v, erased at the end.
LINE = re.compile(rb"\r[0-9.]+ of 3\.0 MiB read \(\d+%\), [0-9.]+ MiB written, ratio [0-9.]+, [0-9.]+ MiB/s *\r *\r")
PROGRESS = [("terminal", [], True), ("terminal, -q", ["-q"], False), ("pipe", [], False), ("pipe, -v", ["-v"], True)]


def progress(z, w):
    (w / "p").mkdir()
    (w / "p" / "r").write_bytes(os.urandom(3 << 20))
    for name, opts, shown in PROGRESS:
        argv = [z, "-1", "-f"] + opts + ["p.qn", "p"]
        if name.startswith("terminal"):
            t = Terminal(argv, w)
            status, err = t.finish(), t.out
        else:
            r = qnlib.run(z, argv[1:], w, b"")
            status, err = r.status, r.stderr + r.stdout
        yield f"progress line: {name}", [] if status == 0 and bool(LINE.search(err)) == shown and \
            (shown or b"MiB read" not in err) else [f"status {status}, output {err[-300:]!r}"]
    shutil.rmtree(w / "p")
    (w / "p.qn").unlink()


def signalled(z, w):
    """A run stopped by each signal as soon as it has begun writing leaves no file behind."""
    (w / "big").mkdir()
    (w / "big" / "r").write_bytes(os.urandom(8 << 20))
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        p = subprocess.Popen([z, "-9", "sig.qn", "big"], cwd=w, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, env=qnlib.env())
        deadline = time.monotonic() + 60
        while p.poll() is None and time.monotonic() < deadline and \
                not [n for n in os.listdir(w) if n.startswith(".quarnzip")]:
            time.sleep(0.005)  # waiting for the file to appear, not timing anything
        p.send_signal(sig)
        p.wait()
        left = [n for n in os.listdir(w) if n.startswith(".quarnzip") or n.startswith("sig.qn")]
        yield f"{sig.name} removes the files being written", [] if p.returncode == -sig and not left \
            else [f"status {p.returncode}, left {left}"]
    shutil.rmtree(w / "big")


def zip_scenarios(a, box):
    """Settings from qn.ini, a typed password, skipped paths, --index-in sizes, the archive
    inside the tree it packs. Yields (name, problems)."""
    w, z = box.work, os.path.abspath(a.zip)

    def zip_(args, ini=b"language=2\n"):
        (w / "qn.ini").write_bytes(ini)
        return qnlib.run(z, args, w, b"")

    def unzip(pwd, dest="out"):
        return qnlib.run(a.unzip, [ZIP, "out.xml", dest], w, pwd.encode() + b"\n")
    r = zip_([ZIP, "src/."], b"language=2\ncolumn=3\npassword=sesame\n")
    u = unzip("sesame")
    column = b"<column>3</column>" in (w / "out.xml").read_bytes()
    bad = unzip("wrong", "o2")
    yield "qn.ini column and password reach the archive", [] if r.status == 0 and u.status == 0 and \
        column and bad.status == 1 else [r.stdout]
    (w / "qn.ini").write_bytes(b"language=2\n")
    given = qnlib.run(z, ["-t", "--password=sesame", ZIP], w, b"")
    typed = qnlib.run(z, ["-l", ZIP], w, b"sesame\n")
    wrong = qnlib.run(z, ["-t", ZIP], w, b"wrong\n")
    yield "-t and -l on a password archive, no progress into a pipe", [] if given.status == 0 and \
        b"every check passed" in given.stdout and b"\r" not in given.stdout and typed.status == 0 and \
        b"password yes" in typed.stdout and b"  ok.txt\n" in typed.stdout and wrong.status == 1 and \
        wrong.messages == bad.messages != [] else [given.stdout, typed.stdout, wrong.stdout]
    before = (w / ZIP).read_bytes()
    r = zip_(["-1", ZIP, "src/."])
    yield "an existing archive stays without -f", [] if r.status == 1 and r.stdout.startswith(
        b"\nArchive file archive.qn exists; -f replaces it\n") and b"compressed" not in r.stdout and \
        (w / ZIP).read_bytes() == before and not [n for n in os.listdir(w) if n.startswith(".quarnzip")] \
        else [r.stdout]
    yield from signalled(z, w)
    yield from locales(z, w)
    (w / "qn.ini").write_bytes(b"language=2\n")
    yield from progress(z, w)
    (w / "qn.ini").write_bytes(b"language=2\n")
    t = Terminal([z, "-f", "--password", ZIP, "src/."], w)
    t.until(lambda: b"Please input the password" in t.out, "prompt")
    problems = [p for ch in b"open sesame" for p in t.type(bytes([ch]), b"*")] + t.type(CR, b"")
    status = t.finish()
    u = unzip("open sesame", "o3")
    yield "typed password", problems + ([] if status == 0 and b"open sesame" not in t.out and u.status == 0
                                         and (w / "o3" / "ok.txt").exists() else [t.out[-300:]])
    s = w / "s"
    s.mkdir()
    for n, data in (("good.txt", b"good\n"), ("bad<name", b"x"), ("x" * 250, b"long name")):
        (s / n).write_bytes(data)
    os.mkfifo(s / "fifo")
    os.symlink("good.txt", s / "link")
    r = qnlib.run(z, ["--force", ZIP, "s/."], w, b"")
    u = unzip("", "o4")
    yield "paths the index cannot carry are skipped", [] if r.status == 1 and r.stdout.count(b"Skipped ") == 4 \
        and u.status == 0 and os.listdir(w / "o4") == ["good.txt"] else [r.stdout, u.stdout]
    t = qnlib.run(z, ["-t", "--password=stale", ZIP], w, b"")
    yield "-t ignores a password the archive does not have", [] if t.status == 0 else [t.stdout]
    (w / "c").mkdir()
    (w / "c" / "e\x1b[2J\x7f.txt").write_bytes(b"x")
    r, t = qnlib.run(z, ["c.qn", "c/."], w, b""), qnlib.run(z, ["-l", "c.qn"], w, b"")
    yield "-l shows control bytes of a name as ^X", [] if t.status == 0 and b"  e^[[2J^?.txt\n" in t.stdout \
        and b"\x1b" not in t.stdout else [r.stdout, t.stdout]
    # An index of 48 MB in an archive of a few KB: the listing holds none of it in memory.
    (w / "bomb.xml").write_text('<?xml version="1.0"?>\n<index>\n<column>1</column>\n' +
                                ("<!-- " + "x" * 90 + " -->\n") * 480_000 + "<file>\n<name>good.txt</name>\n"
                                "<size>5</size>\n<time>10</time>\n<path></path>\n</file>\n</index>\n")
    b = qnlib.run(z, ["-1", "--index-in", "bomb.xml", "--source", "s", "bomb.qn"], w, b"")
    big, small = (qnlib.run(z, ["-l", name], w, b"") for name in ("bomb.qn", ZIP))
    yield "-l lists a huge index in little memory", [] if b.status == 0 and big.status == 0 and \
        b"  good.txt\n" in big.stdout and big.rss - small.rss < 16 << 10 else [big.stdout[-300:], big.rss, small.rss]
    (w / "given.xml").write_text(
        '<?xml version="1.0"?>\n<index>\n<zip>\n<version>v4</version>\n<files>3</files>\n<size>7</size>\n'
        '</zip>\n<column>1</column>\n<directory>\n<path></path>\n</directory>\n' + "".join(
            f"<file>\n<name>{n}</name>\n<size>{k}</size>\n<time>10</time>\n<path></path>\n</file>\n"
            for n, k in (("good.txt", 3), ("bad&lt;name", 0), ("missing", 4))) + "</index>\n")
    r = qnlib.run(z, ["-f", "--index-in", "given.xml", "--source", "s", ZIP], w, b"")
    u = unzip("", "o5")
    got = {n: (w / "o5" / n).read_bytes() for n in os.listdir(w / "o5")} if u.status == 0 else {}
    yield "--index-in keeps the records' sizes", [] if r.status == 1 and b"Source file s/good.txt changed" in \
        r.stdout and b"Fail opening source file s/missing" in r.stdout and \
        got == {"good.txt": b"goo", "bad&lt;name": b"", "missing": b"\0" * 4} else [r.stdout, got]
    # Level 6 keeps less history where the stream's start holds many three-byte contexts; a level
    # or a value given keeps its own, and block mode keeps the level's search.
    (w / "noise").mkdir()
    (w / "noise" / "r.bin").write_bytes(random.Random(3).randbytes(600_000))
    (w / "text").mkdir()
    (w / "text" / "t.txt").write_bytes(b"a line of text\n" * 40_000)
    rows = [("noise", [], b"cache 32 MiB", b"sight 12,"), ("text", [], b"cache 61 MiB", b"sight 12,"),
            ("noise", ["-7"], b"cache 61 MiB", b"sight 16,"), ("noise", ["--sight", "10"], b"cache 32 MiB", b"sight 10,"),
            ("noise", ["--bwt", "1"], b"cache 61 MiB", b"sight 12,")]
    wrong = []
    for folder, opts, cache, sight in rows:
        r, t = qnlib.run(z, ["-f"] + opts + ["d.qn", folder], w, b""), qnlib.run(z, ["-l", "d.qn"], w, b"")
        if r.status != 0 or cache not in t.stdout or sight not in t.stdout:
            wrong.append((folder, opts, t.stdout[:200]))
    yield "level 6 follows the stream's contexts", wrong
    (s / "self.qn.1").write_bytes(b"old volume")
    (s / "self.qn.x").write_bytes(b"not a volume")
    r = qnlib.run(z, ["s/self.qn", "s/."], w, b"")
    x = qnlib.run(a.unzip, ["s/self.qn", "self.xml"], w)
    names = (w / "self.xml").read_bytes() if x.status == 0 else b""
    yield "the archive inside the tree it packs", [] if r.status == 1 and \
        b"Skipped s/./self.qn.1: it is the archive being written" in r.stdout and b"<name>self.qn.x</name>" \
        in names and b"<name>self.qn.1</name>" not in names and b"<name>self.qn</name>" not in names else [r.stdout]


def main():
    a = qnlib.args(("--probe", None))
    suite, cases = qnlib.Suite("command lines"), {}
    for name, argv, status, msgs, checks, case, ini, stdin, outputs in UNZIP:
        c = cases.setdefault(case, qnlib.load_case(a.cases, case))
        problems, res = qnlib.check_scenario(
            a.unzip, c["files"], argv, status, msgs, stdin, a.timeout, outputs=outputs, ini=ini,
            extra=lambda box, res: [p for f in checks for p in f(box, res, c)])
        suite.report("quarnunzip: " + name, problems, res)
    box = qnlib.Sandbox({}, outputs=["qn.ini", ZIP, "o2", "o3", "o4", "o5", "s", "given.xml", "self.xml",
                                     "bomb.xml", "bomb.qn", "c", "c.qn"])
    (box.work / "src").mkdir()
    (box.work / "src" / "ok.txt").write_bytes(b"fine\n" * 100)
    box.mark()
    for name, argv, ini, status, text, refused in ZIPS:
        (box.work / "qn.ini").write_bytes(b"language=2\n" + ini.encode())
        (box.work / "qn_error.log").unlink(missing_ok=True)
        r = qnlib.run(a.zip, argv, box.work, b"")
        suite.report("quarnzip: " + name, ([] if r.status == status and text.encode() in r.stdout else
                                           [f"status {r.status}, expected {status} and {text!r}"]) +
                     (([] if text.encode() in r.log else ["not logged"]) + box.outside_changes() if refused else []), r)
    (box.work / "qn.ini").write_bytes(b"language=2\n")
    box.mark()
    for name, problems in zip_scenarios(a, box):
        suite.report("quarnzip: " + name, problems)
    box.remove()
    if a.probe:
        tmp = qnlib.Sandbox({})
        for name, lang, prompt, steps, pwd in PTY:
            try:
                suite.report("terminal: " + name, pty_case(os.path.abspath(a.probe), tmp.base, lang, prompt, steps, pwd))
            except AssertionError as e:
                suite.report("terminal: " + name, [str(e)])
        tmp.remove()
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
