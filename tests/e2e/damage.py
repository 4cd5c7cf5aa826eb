#!/usr/bin/env python3
# Damaged archives: one table of kinds of damage, each run on a copy of a conformance archive.
# A kind gives the exit status and the reports the run must end with (from the container
# rules, or from the chunk model below; None: any of our reports) and what must hold in the
# working folder. Every run must also end without hang, signal or sanitizer report, with its
# reports printed in order, and leave everything outside the destination as it was.
import base64
import random
import struct
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
    """fn(bytearray of file `name`, files) changes it in place."""
    def m(files):
        d = bytearray(files[name])
        fn(d, files)
        return dict(files, **{name: bytes(d)})
    return m


def val(x, d):
    return x(d) if callable(x) else x


def poke(off, value, size):
    return edit(lambda d, f: qnlib.put_u(d, val(off, d), val(value, d), size))


def flip(pos, bit=0, name=ZIP):
    def fn(d, f):
        d[val(pos, d)] ^= 1 << bit
    return edit(fn, name)


def cut(n, name=ZIP):
    return edit(lambda d, f: d.__delitem__(slice(val(n, d), None)), name)


def files_as(fn):
    return lambda files: fn(dict(files))


def repaired(stream, bits, seed):
    """Payload bits of one stream flipped and its chunk sums made right again, so that the
    damage reaches the decoder, the interpreter, the block path or the index reader."""
    def fn(d, f):
        rng, chunks = random.Random(seed), [c for c in LAYOUT(d)[stream] if c[1] - c[0] > 8]
        for _ in range(bits):
            s, e = rng.choice(chunks)
            d[rng.randrange(s, e - 8)] ^= 1 << rng.randrange(8)
        for s, e in chunks:
            qnlib.fix_sum(d, s, e)
    return edit(fn)


def stream_bit(bit):
    """Bit `bit` of the data stream (bit 31 of each 32-bit word first), sum repaired."""
    def fn(d, f):
        s, e = LAYOUT(d)[1][0]
        word, k = divmod(bit, 32)
        d[s + 4 * word + (31 - k) // 8] ^= 1 << ((31 - k) % 8)
        qnlib.fix_sum(d, s, e)
    return edit(fn)


# ------------------------------------------------------------ chunk model of a cut archive

def predict_cut(orig, n):
    """Reports of a run on the first n bytes of a single-file archive, from the container
    rules alone; None where the outcome depends on the decoder."""
    if n < HEADER:
        return [T("read", ZIP)]
    data, off = orig[:n], OFF(orig)
    if off > n:
        return [POS]
    end = int.from_bytes(orig[off:off + 8], "little")
    streams = [(qnlib.chunks(HEADER, off), qnlib.chunks(HEADER, off))]
    if n >= off + 8:
        streams.append((qnlib.chunks(off + 8, end or n), qnlib.chunks(off + 8, end or len(orig))))
    for i, (cs, whole) in enumerate(streams):
        for s, e in cs:
            t = max(0, min(e, n) - s)
            if t == 0 or t % 8:
                return [ERR]
            if (s, s + t) not in whole:
                return None if qnlib.chunk_sum(data, s, s + t - 8) == struct.unpack_from("<Q", data, s + t - 8)[0] else [SUM]
        if i == 0 and n < off + 8:
            return [T("datapos")]
    cs, whole = streams[1]
    # No chunk: the end of input closes the stream empty; fewer chunks: the end code is gone.
    return [T("end")] if not cs else [T("noend", ZIP)] if len(cs) < len(whole) else []


def cuts(source, orig):
    off, (_, dat) = OFF(orig), LAYOUT(orig)
    at = {0, 1, 15, 16, 17, 23, 24, 32, 100, off - 8, off - 1, off, off + 1, off + 7, off + 8,
          off + 9, off + 16, off + 24} | {len(orig) - k for k in (16, 13, 9, 8, 1)}
    for s, e in dat[:-1]:
        at |= {e + k for k in (-9, -8, -1, 0, 1, 8, 16)}
    return [("container", f"{source} cut at {n}", source, cut(n), 1,
             lambda f, n=n: predict_cut(f[ZIP], n), "") for n in sorted(at) if 0 <= n < len(orig)]


# ------------------------------------------------------------ what must hold besides

def link_prepare(box, c):
    """The destination's folder 'a' is a link to a folder outside it."""
    (box.base / "elsewhere").mkdir()
    (box.work / "out").mkdir()
    (box.work / "out" / "a").symlink_to(box.base / "elsewhere")


def link_check(box, res, c):
    want = {k: v for k, v in c["manifest"].items() if not k.startswith(b"a")}
    got = {k: v for k, v in qnlib.read_tree(box.work / "out").items() if k != b"a"}
    return (["a file was written through the link"] if any((box.base / "elsewhere").iterdir()) else []) \
        + ([] if res.messages and all(m.startswith("Unsafe path ") for m in res.messages)
           else ["the records below the link are not reported as unsafe"]) \
        + ["tree differs: " + d for d in qnlib.tree_diff(want, got)]


CHECKS = {
    "no-output": lambda box, res, c: [f"{n} exists although the run stopped at the header"
                                      for n in ("out.xml", "out") if (box.work / n).exists()],
    "no-dest": lambda box, res, c: ["out/ was created before the data pass"] if (box.work / "out").exists() else [],
    "index": lambda box, res, c: [] if (box.work / "out.xml").exists() and
    (box.work / "out.xml").read_bytes() == c["index"] else ["out.xml is not the archive's index"],
    "tree": lambda box, res, c: ["tree differs: " + d for d in
                                 qnlib.tree_diff(c["manifest"], qnlib.read_tree(box.work / "out"))[:20]],
    "link": link_check}


# ------------------------------------------------------------ the catalogue
# group, name, source archive, mutation, exit status (None: 0 or 1), reports (None: any of
# ours; a function: of the intact files), checks (space-separated names of CHECKS).
S, TINY, BIG, VOL, LONG = "many_small_files", "tiny_tree", "random_3mib", "volumes_4", "long index"
KINDS = [("container", f"magic {m:#04x}", S, poke(0, m, 1), 1, [T("format", ZIP)], "no-output")
         for m in (0x00, 0xA4, 0xFF)]
KINDS += [("container", f"header of {n} bytes", S, cut(n), 1, [T("read", ZIP)], "no-output") for n in (0, 1, 15)]
KINDS += [("container", "archive missing", S, files_as(lambda f: {}), 1, [T("open", ZIP)], "no-output")]
KINDS += [("container", f"version byte {v}", TINY, poke(1, v, 1), 1, [T("version", v, 4)], "index tree")
          for v in (0, 255)]
KINDS += [("container", f"index length {k:+d}", S, poke(4, lambda d, k=k: int.from_bytes(d[4:8], "little") + k, 4),
           1, [XMLEND], "index no-dest") for k in (1, -1)]
KINDS += [("container", f"index length {v:#x}", S, poke(4, v, 4), 1, [XMLEND], "index no-dest")
          for v in (0, 0xFFFFFFFF)]
KINDS += [("container", f"data offset {v:#x}", S, poke(8, v, 8), 1, [POS], "")
          for v in (0, 8, 15, 1 << 63, (1 << 64) - 1)]
KINDS += [("container", "data offset past the end", S, poke(8, lambda d: len(d) + 1, 8), 1, [POS], "")]
KINDS += [("container", f"data offset {k:+d}", S, poke(8, lambda d, k=k: OFF(d) + k, 8), 1, [m], "")
          for k, m in ((-8, SUM), (8, SUM), (-4, ERR), (4, ERR))]
KINDS += [("container", "data offset 16 (empty index stream)", S, poke(8, 16, 8), 1, [XMLEND], "")]
KINDS += [("container", f"data end {n}", S, poke(OFF, v, 8), 1, [m], "") for n, v, m in (
    ("1", 1, POS), ("offset+7", lambda d: OFF(d) + 7, POS), ("offset+8 (empty)", lambda d: OFF(d) + 8, T("end")),
    ("size-8", lambda d: len(d) - 8, SUM), ("size-4", lambda d: len(d) - 4, ERR),
    ("size+2MiB+16", lambda d: len(d) + CHUNK + 16, ERR), ("2^62", 1 << 62, ERR))]
KINDS += [("container", n, src, flip(p, b), 1, [SUM], chk) for n, src, p, b, chk in (
    ("flip first index byte", S, HEADER, 0, "no-dest"),
    ("flip index check word", S, lambda d: LAYOUT(d)[0][0][1] - 3, 7, "no-dest"),
    ("flip data byte", S, lambda d: sum(LAYOUT(d)[1][0]) // 2, 5, "index"),
    ("flip data check word", S, lambda d: LAYOUT(d)[1][0][1] - 8, 0, "index"),
    ("flip second data chunk", BIG, lambda d: LAYOUT(d)[1][1][0] + 12345, 3, "index"),
    ("first volume file's data flipped", VOL, lambda d: OFF(d) + 8 + 4096, 1, "index"))]
KINDS += [("container", n, VOL, m, 1, [msg], "index") for n, m, msg in (
    ("volume .1 missing", files_as(lambda f: f.pop(V1) and f), T("openvol", ZIP, 1)),
    ("volume .1 empty", cut(0, V1), T("errvol", ZIP, 1)),
    ("volume .1 cut by 13", cut(lambda d: len(d) - 13, V1), T("errvol", ZIP, 1)),
    ("volume .1 cut by 8", cut(lambda d: len(d) - 8, V1), T("sumvol", ZIP, 1)),
    ("volume .1 bit flipped", flip(1000, 2, V1), T("sumvol", ZIP, 1)),
    ("volume .2 bit flipped", flip(77, 6, V2), T("sumvol", ZIP, 2)))]
KINDS += [("container", "volumes .1 and .2 swapped", VOL, lambda f: dict(f, **{V1: f[V2], V2: f[V1]}),
           None, None, ""),
          ("container", "a surplus volume .3", VOL, lambda f: dict(f, **{ZIP + ".3": b"junk\n" * 100}),
           0, [], "index tree"),
          ("container", "link inside the destination", TINY, lambda f: f, 1, None, "link")]
KINDS += [("container", f"index of two chunks: {n}", LONG, m, s, msgs, chk) for n, m, s, msgs, chk in (
    ("intact", lambda f: f, 0, [], "index"),
    ("second chunk flipped", flip(lambda d: LAYOUT(d)[0][1][0] + 999, 4), 1, [SUM], "no-dest"),
    ("stream ends after the first chunk", poke(8, HEADER + CHUNK, 8), 1, [T("noend", ZIP)], "no-dest"),
    ("stream ends 8 bytes later", poke(8, HEADER + CHUNK + 8, 8), 1, [SUM], "no-dest"),
    ("stream ends 4 bytes later", poke(8, HEADER + CHUNK + 4, 8), 1, [ERR], "no-dest"))]
SEEDS = random.Random(20261206)
for src in (TINY, S, "bwt_b1_text", "bwt_9_bytes", "password_1byte", "coder_esc1_flush1", "rotation_col7_cl64"):
    KINDS += [("decoder", f"{src}: {b} data bit(s) #{i}", src, repaired(1, b, SEEDS.random()), None, None,
               "index") for i, b in enumerate((1, 1, 2, 3, 8, 32))]
    KINDS += [("decoder", f"{src}: {b} index bit(s)", src, repaired(0, b, SEEDS.random()), None, None, "")
              for b in (1, 2, 8)]
KINDS += [("decoder", f"tiny_tree: stream bit {b}", TINY, stream_bit(b), None, None, "index") for b in range(48)]


def long_index(zipbin, timeout):
    """An archive made by quarnzip whose index stream takes two chunks (incompressible
    comment lines), and its index document."""
    rng = random.Random(11)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>\n<index>\n  <zip>\n    <version>v4</version>\n'
             '    <files>1</files>\n    <size>6</size>\n    <time>6553f100</time>\n  </zip>\n  <parameter>\n'
             '    <block>32</block>\n    <bwt>0</bwt>\n    <cache>4</cache>\n    <cluster>64</cluster>\n'
             '    <esc>63</esc>\n    <flush>5</flush>\n    <sight>20</sight>\n    <volume>0</volume>\n'
             '  </parameter>\n  <column>1</column>\n  <directory>\n    <path></path>\n    <path>a</path>\n  </directory>']
    lines += ["  <!-- " + base64.b64encode(rng.randbytes(48)).decode() + " -->" for _ in range(45000)]
    lines += ["  <file>\n    <name>h.txt</name>\n    <size>6</size>\n    <time>6553f100</time>\n"
              "    <path>a</path>\n  </file>\n</index>\n"]
    index = "\n".join(lines).encode()
    with tempfile.TemporaryDirectory(prefix="qn-long-") as tmp:
        tmp = Path(tmp)
        (tmp / "src" / "a").mkdir(parents=True)
        (tmp / "src" / "a" / "h.txt").write_bytes(b"hello\n")
        (tmp / "index.xml").write_bytes(index)
        (tmp / "qn.ini").write_bytes(b"language=2\n")
        subprocess.run([str(Path(zipbin).resolve()), "-1", "--index-in", "index.xml", "--source",
                        "src", ZIP], cwd=tmp, check=True, timeout=timeout * 4, env=qnlib.env(),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        a = (tmp / ZIP).read_bytes()
    assert len(LAYOUT(a)[0]) == 2, "quarnzip made an index stream of one chunk"
    return {"files": {ZIP: a}, "index": index, "case": {}, "manifest": {}}


def main():
    a = qnlib.args()
    suite, sources = qnlib.Suite("damaged archives " + a.group), {}
    kinds = KINDS + cuts(S, qnlib.load_case(a.cases, S)["files"][ZIP]) + \
        cuts(BIG, qnlib.load_case(a.cases, BIG)["files"][ZIP])
    for group, name, src, mutate, status, msgs, checks in kinds:
        if group != (a.group or group) or a.only not in name or (src == LONG and not a.zip):
            continue
        if src not in sources:
            sources[src] = long_index(a.zip, a.timeout) if src == LONG else qnlib.load_case(a.cases, src)
        c = sources[src]
        fns = [CHECKS[k] for k in checks.split()]
        problems, res = qnlib.check_scenario(
            a.unzip, mutate(c["files"]), status=status, stdin=qnlib.stdin_for(c), timeout=a.timeout,
            messages=msgs(c["files"]) if callable(msgs) else msgs,
            prepare=(lambda box: link_prepare(box, c)) if "link" in checks else None,
            extra=lambda box, res: [p for f in fns for p in f(box, res, c)])
        suite.report(f"{group}: {name}", problems, res)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
