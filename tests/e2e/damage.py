#!/usr/bin/env python3
# Damaged and hostile archives: one table of kinds, each run on a changed copy of a conformance
# archive or on one forged with chosen instructions and index text (qn_forge), giving the exit
# status, the reports the run must end with and what must hold in the working folder. Every run
# must also end without hang, signal or sanitizer report, with its reports printed in order, and
# leave everything outside the destination as it was.
import base64
import collections
import hashlib
import os
import random
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402
from qnlib import CHUNK, HEADER, T, ZIP  # noqa: E402

V1, V2 = ZIP + ".1", ZIP + ".2"
SUM, ERR, POS, XMLEND = T("sum", ZIP), T("err", ZIP), T("pos", ZIP), T("xmlend")
OFF, LAYOUT = qnlib.data_off, qnlib.layout


# ------------------------------------------------------------ mutations of the archive files

def edit(fn, name=ZIP):
    """fn(bytearray of file `name`) changes it in place; positions and values may be functions of it."""
    def m(files):
        d = bytearray(files[name])
        fn(d, lambda x: x(d) if callable(x) else x)
        return dict(files, **{name: bytes(d)})
    return m


def poke(off, value, size):
    return edit(lambda d, v: qnlib.put_u(d, v(off), v(value), size))


def flip(pos, bit=0, name=ZIP):
    return edit(lambda d, v: d.__setitem__(v(pos), d[v(pos)] ^ 1 << bit), name)


def cut(n, name=ZIP):
    return edit(lambda d, v: d.__delitem__(slice(v(n), None)), name)


# ------------------------------------------------------------ forged archives

Forge = collections.namedtuple("Forge", "text data end files")
DAY, HELLO = 0x6553F100, (("a.txt", b"hello\n", "", 0x6553F100), ("b.txt", b"world!\n", "d", 0x6553F200))


def F(files=HELLO, data=None, swap=(), end="7", column=1, want=None, **par):
    """An index of files (name, bytes, path, time) in folders "" and "d", column 1, default parameters
    and swap's (old, new) made in its text (new None: cut it at old); data: instruction words, by
    default the files' bytes; want: the files the destination must then hold, if not these."""
    p = dict(block=32, bwt=0, cache=4, cluster=64, esc=63, flush=5, sight=20, volume=0) | par
    text = (f'<?xml version="1.0"?>\n<index>\n<zip>\n<version>v4</version>\n<files>{len(files)}</files>\n'
            f'<size>{sum(len(f[1]) for f in files)}</size>\n</zip>\n<parameter>\n'
            + "".join(f"<{k}>{v}</{k}>\n" for k, v in p.items()) + f"</parameter>\n<column>{column}</column>\n"
            + "<directory>\n<path></path>\n<path>d</path>\n</directory>\n" + "".join(
                f"<file>\n<name>{n}</name>\n<size>{len(b)}</size>\n<time>{t:x}</time>\n<path>{d}</path>\n</file>\n"
                for n, b, d, t in files) + "</index>\n")
    for old, new in swap:
        text = text.replace(old, new, 1) if new is not None else text[:text.index(old)]
    return Forge(text, data or "x:" + b"".join(f[1] for f in files).hex(), end, want or files)


def forged(forge, src, timeout):
    """The archive qn_forge makes of a source of F, and the tree its files make under the destination."""
    with tempfile.TemporaryDirectory(prefix="qn-forge-") as tmp:
        (Path(tmp) / "index.xml").write_text(src.text)
        subprocess.run([forge, ZIP, "index.xml", src.data, src.end], cwd=tmp, check=True, timeout=timeout)
        return {"files": {ZIP: (Path(tmp) / ZIP).read_bytes()}, "index": src.text.encode(), "case": {}, "manifest": {
            (d + "/" * bool(d) + n).encode(): ("f", len(b), hashlib.sha256(b).hexdigest(), t)
            for n, b, d, t in src.files} | {b"d": ("d",)}}


def inv(c, line, at=None):  # the report of index line `line`, its number found in the index if not given
    return T("inv", line, at or [x for x in c["index"].decode().split("\n") if x].index(line) + 1, "out.xml")


# ------------------------------------------------------------ what must hold besides

CHECKS = {
    "no-output": lambda box, res, c: [f"{n} exists although the run stopped at the header"
                                      for n in ("out.xml", "out") if (box.work / n).exists()],
    "no-dest": lambda box, res, c: ["out/ was created before the data pass"] if (box.work / "out").exists() else [],
    "index": lambda box, res, c: [] if (box.work / "out.xml").exists() and
    (box.work / "out.xml").read_bytes() == c["index"] else ["out.xml is not the archive's index"],
    "tree": lambda box, res, c: ["tree differs: " + d for d in qnlib.tree_diff(c["manifest"], {  # a link for a folder
        k: ("d",) if v[0] == "l" else v for k, v in qnlib.read_tree(box.work / "out").items()})[:20]],
    # The memory bound of docs/decisions.md for a few bytes of data in plain mode or in blocks of at
    # most 8 bytes, with room for the sanitizers' own memory.
    "small": lambda box, res, c: [f"peak resident memory {res.rss} KiB"] if not 0 < res.rss < 96 * 1024 else []}
PREPARE = {  # out/a.txt a hard link to a file outside the destination; out/d a link to a folder outside it
    "hardlink": lambda box: ((box.work / "out").mkdir(), (box.base / "outside.txt").write_bytes(b"outside\n"),
                             os.link(box.base / "outside.txt", box.work / "out" / "a.txt")),
    "symlink": lambda box: ((box.work / "out").mkdir(), (box.base / "elsewhere").mkdir(),
                            (box.work / "out" / "d").symlink_to("../../elsewhere"))}


# ------------------------------------------------------------ the catalogue
# Rows per ctest group: name, source (a conformance case; a case and the password typed; a
# forged archive), mutation, exit status (None: 0 or 1), reports (None: any of ours; a function:
# of the intact source), checks (space-separated names of CHECKS and PREPARE).
S, TINY, BIG, VOL, PWD = "many_small_files", "tiny_tree", "random_3mib", "volumes_4", "password_1byte"
RNG = random.Random(11)   # comment lines that the coder cannot squeeze into one chunk
LONG = F(swap=[("<directory>", "".join(f"<!-- {base64.b64encode(RNG.randbytes(48)).decode()} -->\n"
                                        for _ in range(45000)) + "<directory>")])
PAR = {k: f"Parameter '{k}' value range must be 1-{v}" for k, v in (
    ("block", 1048576), ("cache", 1048571), ("cluster", 1024), ("column", 128), ("esc", 16384), ("flush", 16),
    ("sight", 2147483647))} | {"bwt": "Parameter 'bwt' value must be 0 or 1", "pow2": T("cluster"),
                               "volume": "Parameter 'volume' value must be multiple of 4, such as 0, 4, 8, 12 and so on"}
same, PARAM, NOEND, ONE = dict, T("param", "out.xml"), T("noend", ZIP), (("a.txt", b"a" * 9, "", DAY),)
ONE6 = (("a.txt", b"hello\n", "", DAY),)
TWICE = (("a.txt", b"hello\nhello\n", "", DAY),)
H13, A9, LINE = b"hello\nworld!\n".hex(), "x:" + "61" * 9, "<!-- " + "x" * 3000 + " -->"
C = [(f"magic {m:#04x}", S, poke(0, m, 1), 1, [T("format", ZIP)], "no-output") for m in (0x00, 0xA4, 0xFF)]
C += [(f"header of {n} bytes", S, cut(n), 1, [T("read", ZIP)], "no-output") for n in (0, 1, 15)]
C += [("archive missing", S, lambda f: {}, 1, [T("open", ZIP)], "no-output")]
C += [(f"version byte {v}", TINY, poke(1, v, 1), 1, [T("version", v, 4)], "index tree") for v in (0, 255)]
C += [(f"index length {k:+d}", S, poke(4, lambda d, k=k: int.from_bytes(d[4:8], "little") + k, 4), 1, [XMLEND],
       "index no-dest") for k in (1, -1)]
C += [(f"index length {v:#x}", S, poke(4, v, 4), 1, [XMLEND], "index no-dest") for v in (0, 0xFFFFFFFF)]
C += [(f"data offset {v:#x}", S, poke(8, v, 8), 1, [POS], "") for v in (0, 8, 15, 1 << 63, (1 << 64) - 1)]
C += [("data offset past the end", S, poke(8, lambda d: len(d) + 1, 8), 1, [POS], "")]
C += [(f"data offset {k:+d}", S, poke(8, lambda d, k=k: OFF(d) + k, 8), 1, [m], "")
      for k, m in ((-8, SUM), (8, SUM), (-4, ERR), (4, ERR))]
C += [("data offset 16 (empty index stream)", S, poke(8, 16, 8), 1, [XMLEND], "")]
C += [(f"data end {n}", S, poke(OFF, v, 8), 1, [m], "") for n, v, m in (
    ("1", 1, POS), ("offset+7", lambda d: OFF(d) + 7, POS), ("offset+8 (empty)", lambda d: OFF(d) + 8, T("end")),
    ("size-8", lambda d: len(d) - 8, SUM), ("size-4", lambda d: len(d) - 4, ERR),
    ("size+2MiB+16", lambda d: len(d) + CHUNK + 16, ERR), ("2^62", 1 << 62, ERR))]
C += [(n, src, cut(at), 1, [m], chk) for n, src, at, m, chk in (
    ("cut inside the data-stream end field", S, lambda d: OFF(d) + 4, T("datapos"), "index no-dest"),
    ("cut inside the last word", S, lambda d: len(d) - 3, ERR, "index"),
    ("cut at a data chunk's end", BIG, lambda d: LAYOUT(d)[1][0][1], NOEND, "index"),
    ("cut 8 bytes into a data chunk", BIG, lambda d: LAYOUT(d)[1][0][1] + 8, SUM, "index"))]
C += [(n, src, flip(p, b), 1, [SUM], chk) for n, src, p, b, chk in (
    ("flip first index byte", S, HEADER, 0, "no-dest"),
    ("flip index check word", S, lambda d: LAYOUT(d)[0][0][1] - 3, 7, "no-dest"),
    ("flip data byte", S, lambda d: sum(LAYOUT(d)[1][0]) // 2, 5, "index"),
    ("flip data check word", S, lambda d: LAYOUT(d)[1][0][1] - 8, 0, "index"),
    ("flip second data chunk", BIG, lambda d: LAYOUT(d)[1][1][0] + 12345, 3, "index"),
    ("first volume file's data flipped", VOL, lambda d: OFF(d) + 8 + 4096, 1, "index"))]
C += [(n, VOL, m, 1, [msg], "index") for n, m, msg in (
    ("volume .1 missing", lambda f: {k: v for k, v in f.items() if k != V1}, T("openvol", ZIP, 1)),
    ("volume .1 empty", cut(0, V1), T("errvol", ZIP, 1)),
    ("volume .1 cut by 13", cut(lambda d: len(d) - 13, V1), T("errvol", ZIP, 1)),
    ("volume .1 cut by 8", cut(lambda d: len(d) - 8, V1), T("sumvol", ZIP, 1)),
    ("volume .1 bit flipped", flip(1000, 2, V1), T("sumvol", ZIP, 1)),
    ("volume .2 bit flipped", flip(77, 6, V2), T("sumvol", ZIP, 2)))]
C += [("volumes .1 and .2 swapped", VOL, lambda f: dict(f, **{V1: f[V2], V2: f[V1]}), None, None, ""),
      ("a surplus volume .3", VOL, lambda f: dict(f, **{ZIP + ".3": b"junk\n" * 100}), 0, [], "index tree")]
C += [(f"index of two chunks: {n}", LONG, m, s, msgs, chk) for n, m, s, msgs, chk in (
    ("intact", same, 0, [], "index"),
    ("second chunk flipped", flip(lambda d: LAYOUT(d)[0][1][0] + 999, 4), 1, [SUM], "no-dest"),
    ("stream ends after the first chunk", poke(8, HEADER + CHUNK, 8), 1, [NOEND], "no-dest"),
    ("stream ends 8 bytes later", poke(8, HEADER + CHUNK + 8, 8), 1, [SUM], "no-dest"),
    ("stream ends 4 bytes later", poke(8, HEADER + CHUNK + 4, 8), 1, [ERR], "no-dest"))]
C += [("password: " + n, src, m, s, [] if s == 0 else None, "index tree" if s == 0 else "") for n, src, m, s in (
    ("a wrong one", (PWD, b"wrong\n"), same, 1), ("none, for an archive with one", (PWD, b"\n"), same, 1),
    ("one, for an archive without", (TINY, b"secret\n"), same, 0), ("flag set, none given", (TINY, b"\n"), poke(2, 1, 1), 0))]
C += [(f"password: index opening {o}", F(swap=[("<?xml version=", o)]), same, 1, [T("badpwd")], "no-dest")
      for o in ("<?xml Version=", "<?xml version:")]
C += [("name: " + n, F(HELLO + ((x, b"lost\n", d, DAY),), want=HELLO), same, 1, [T(k, f)], "index tree")
      for n, x, d, k, f in (("../x", "../x.txt", "", "unsafe", "out//../x.txt"),
                            ("a/../../x", "a/../../x.txt", "", "unsafe", "out//a/../../x.txt"),
                            ("absolute", "/tmp/qn-forged.txt", "", "unsafe", "out///tmp/qn-forged.txt"),
                            ("path through a file", "x.txt", "a.txt", "create", "out/a.txt/x.txt"),
                            ("empty", "", "", "create", "out//"), ("an existing folder", "d", "", "create", "out//d"))]
C += [(n, src, same, s, m, chk) for n, src, s, m, chk in (
    ("name: 300 bytes, cut at 256", F((("n" * 251, b"long\n", "", DAY),), swap=[("n" * 251, "n" * 300)]), 0, [], "tree"),
    ("name: a hard link to a file outside", F(), 0, [], "tree hardlink"),
    ("name: a folder link inside the destination", F(want=HELLO[:1]), 1, [T("unsafe", "out/d"), T("unsafe", "out/d/b.txt")],
     "tree symlink"),
    ("index: a line that is no element", F(swap=[("<zip>", "text\n<zip>")]), 1, lambda c: [inv(c, "text")], "index tree"),
    ("index: an unknown element", F(swap=[("<zip>", "<x>1</x>\n<zip>")]), 1, lambda c: [inv(c, "<x>1</x>")], "tree"),
    ("index: a value without '>'", F(swap=[("<files>2</files>", "<files")]), 1,
     lambda c: [inv(c, "<files"), T("count", 2, 0)], "tree"),
    ("index: a text value without '<'", F(swap=[("a.txt</name>", "a.txt")]), 1, lambda c: [inv(c, "<name>a.txt")], "tree"),
    ("index: a bad hex time", F((("a", b"a", "", 0x6553F1),), swap=[("6553f1", "6553f1zz")]), 1,
     lambda c: [inv(c, "<time>6553f1zz</time>")], "tree"),
    ("index: a negative size", F(swap=[("<size>6<", "<size>-6<")], want=(("a.txt", b"", "", DAY),
     ("b.txt", b"hello\nw", "d", DAY + 256))), 1, lambda c: [inv(c, "<size>-6</size>"), T("total", 7, 13)], "tree"),
    ("index: a size of 2^64 - 1", F(swap=[("<size>7<", f"<size>{2**64 - 1}<")]), 1,
     [T("unrel", "out/d/b.txt", 2**63 - 8)], "index"),
    ("index: a size wrapping past 2^64", F(swap=[("<size>7<", f"<size>{2**64 + 7}<")]), 0, [], "tree"),
    ("index: a size longer than the data", F(swap=[("<size>7<", "<size>10<")]), 1, [T("unrel", "out/d/b.txt", 3)], ""),
    ("index: sizes shorter than the data", F(swap=[("<size>6<", "<size>4<")], want=(
        ("a.txt", b"hell", "", DAY), ("b.txt", b"o\nworld", "d", DAY + 256))), 1, [T("total", 11, 13)], "tree"),
    ("index: <files> below the records", F(swap=[("<files>2<", "<files>1<")]), 1, [T("count", 2, 1)], "tree"),
    ("index: <size> above the stream", F(swap=[("<size>13<", "<size>14<")]), 1, [T("end")], ""),
    ("index: a stream longer than <size>", F(data=f"x:{H13}21 c:5"), 1, [T("end")], ""),
    ("index: ends inside the first record", F(swap=[("<size>6<", None)]), 1, [T("getxml", "out.xml")], ""),
    ("index: ends inside the second record", F(swap=[("<size>7<", None)]), 1, [T("count", 1, 2), T("total", 6, 13)], ""),
    ("index: a line of 3009 bytes", F(swap=[("<zip>", LINE + "\n<zip>")]), 1,
     lambda c: [inv(c, LINE[i:i + 512], 3 + i // 513) for i in range(513, len(LINE), 513)], "index tree"),
    ("index: shorter than its opening text", Forge("<x>\n", "c:5", "7", ()), 1,
     lambda c: [inv(c, "<x>"), T("getxml", "out.xml")], ""),
    ("index: 130 files, column 129", F(tuple((f"f{i}", b"x", "", DAY) for i in range(130)), column=129), 1,
     [PAR["column"], PARAM], ""),
    ("index: esc 0, volume 2, block 0", F(esc=0, volume=2, block=0), 1, [PAR["block"], PAR["esc"], PAR["volume"], PARAM],
     "index"))]
C += [(f"index: {k} {v}", F(**{k: v}), same, 1, [PAR[m], PARAM], "index") for k, v, m in (
    ("block", 1048577, "block"), ("bwt", 2, "bwt"), ("cache", 0, "cache"), ("cache", 1048572, "cache"),
    ("cluster", 0, "cluster"), ("cluster", 2048, "cluster"), ("cluster", 96, "pow2"), ("column", 0, "column"),
    ("esc", 16385, "esc"), ("flush", 0, "flush"), ("flush", 17, "flush"), ("sight", 0, "sight"),
    ("sight", 2**31, "sight"), ("volume", 6, "volume"))]
D = [(n, F(files, data=d, **par), same, s, m, chk) for n, files, d, par, s, m, chk in [
    (f"control code {c}", HELLO, f"x:{H13} c:{c}", {}, 1, ["Unknown control code"], "") for c in (0, 4, 8, 15)] + [
    ("a match past the end of its chunk", HELLO, "x:61 m:65541:1 c:5", {}, 1, [T("damaged", ZIP)], ""),
    ("distance before the start, one word", TWICE, f"x:{H13[:12]} m:6:{2**23 + 6} c:5", {}, 0, [], "tree"),
    ("distance before the start, two words", TWICE, f"x:{H13[:12]} m:6:{2**32 + 6} c:5", {}, 0, [], "tree"),
    ("data stream closed by the index end code", HELLO, f"x:{H13} c:7", {}, 0, [], "tree"),
    ("a block start index in plain mode", HELLO, f"b:5 x:{H13} c:5", {}, 0, [], "tree"),
    ("4095 block start indexes unread", HELLO, f"b:0*4095 x:{H13} c:5", {}, 0, [], "tree"),
    ("4096 block start indexes unread", HELLO, f"b:0*4096 x:{H13} c:5", {}, 1, ["BWT block overflow"], ""),
    ("block: no start index", ONE, f"{A9} c:5", {"bwt": 1, "block": 1}, 1, ["BWT block empty"], "")] + [
    (f"block: start index {i}", ONE, f"b:{i} {A9} c:5", {"bwt": 1, "block": 1}, int(i > 8),
     [T("damaged", ZIP)] if i > 8 else [], "" if i > 8 else "tree") for i in (8, 9, 2**40 - 1)] + [
    ("block: keys that do not match", ONE, "b:0 x:616161616161616162", {"bwt": 1, "block": 1}, 1, [T("damaged", ZIP)], "")]]
D += [("index stream closed by the data end code", F(end="5"), same, 0, [], "index tree")]
D += [(f"memory: {n}", F(ONE6, **par, swap=swap), same, s, m, chk + " small") for n, par, swap, s, m, chk in (
    ("blocks of 1048576 MiB, 6 bytes", {"bwt": 1, "block": 1048576}, (), 0, [], "tree"),
    ("a ring of 65536 MiB, 6 bytes", {"cache": 65536}, (), 0, [], "tree"),
    ("blocks of 1048576 MiB, 2^40 bytes declared", {"bwt": 1, "block": 1048576},
     [("<size>6</size>\n</zip>", f"<size>{2**40}</size>\n</zip>")], 1, ["Not enough memory for BWT blocks of 1048576 MiB"], ""),
    ("a ring of 65536 MiB, 2^40 bytes declared", {"cache": 65536},
     [("<size>6</size>\n</zip>", f"<size>{2**40}</size>\n</zip>")], 1, [T("end")], "tree"))]
KINDS = [("container",) + r for r in C] + [("decoder",) + r for r in D]


def main():
    a = qnlib.args(("--forge", None))
    suite, sources = qnlib.Suite("damaged archives " + a.group), {}
    for group, name, src, mutate, status, msgs, checks in KINDS:
        if group != (a.group or group) or a.only not in name:
            continue
        src, stdin = src if isinstance(src, tuple) and not isinstance(src, Forge) else (src, None)
        if src not in sources:
            sources[src] = forged(a.forge, src, a.timeout) if isinstance(src, Forge) else qnlib.load_case(a.cases, src)
        c, prep = sources[src], [PREPARE[k] for k in checks.split() if k in PREPARE]
        fns = [CHECKS[k] for k in checks.split() if k in CHECKS]
        problems, res = qnlib.check_scenario(
            a.unzip, mutate(c["files"]), status=status, stdin=stdin or qnlib.stdin_for(c), timeout=a.timeout,
            messages=msgs(c) if callable(msgs) else msgs, prepare=prep[0] if prep else None,
            extra=lambda box, res: [p for f in fns for p in f(box, res, c)])
        suite.report(f"{group}: {name}", problems, res)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
