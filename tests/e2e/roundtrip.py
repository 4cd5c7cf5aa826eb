#!/usr/bin/env python3
# Round trips through both tools: quarnzip packs a generated tree with one set of options,
# quarnunzip extracts it, and the tree (bytes, folders, times) must come back unchanged.
# One table: tree maker, quarnzip options, password; --group picks the rows of one ctest entry.
import os
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402
from qnlib import ZIP  # noqa: E402

TIMES = [0, 1, 2**31 - 1, 2**31, 4102444800, 1700000000]
WORDS = ("archive index chunk volume stream table escape match literal block rotation 归档 "
         "索引 Grüße static int return #define struct (void) ;\n { } /*comment*/ 0x").split(" ")


def put(root, rel, data, mtime=1700000000):
    p = Path(root) / rel
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_bytes(data)
    os.utime(p, (mtime, mtime))


def text(rng, n):
    out = bytearray()
    while len(out) < n:
        out += (rng.choice(WORDS) + " ").encode()
    return bytes(out[:n])


def mixed(root, rng):
    """Text, random bytes, runs, empty files and folders, odd and deep names, extreme times."""
    files = {"notes/readme.txt": text(rng, 200_000), "bin/random.bin": rng.randbytes(300_000),
             "bin/runs.bin": b"".join(bytes([rng.randrange(3)]) * rng.randrange(1, 5000)
                                      for _ in range(200)),
             "bin/empty.dat": b"", "top.txt": b"x", "names/with space.txt": b"space\n",
             "names/ünïcödé-名字/🎉.txt": "名字\n".encode() * 10, "names/(paren)&amp;[sq].txt": b"&",
             "names/nine.bin": bytes(range(9)), "names/eight.bin": bytes(range(8)),
             "/".join(f"lvl{i:02d}" for i in range(20)) + "/leaf.txt": b"deep\n"}
    for i, (rel, data) in enumerate(sorted(files.items())):
        put(root, rel, data, TIMES[i % len(TIMES)])
    (root / "emptydir" / "sub").mkdir(parents=True)


def large(root, rng):
    """Streams of several chunks: random, zeros, one byte repeated (to an odd length)."""
    put(root, "random.bin", rng.randbytes(3 << 20), 1234567890)
    put(root, "zeros.bin", bytes(5 << 20), 1)
    put(root, "ones.bin", b"\xab" * ((6 << 20) + 13), 0x7fffffff)
    put(root, "with space/empty", b"")


def big(root, rng):
    """With volumes of 4 MiB the first file holds the index chunk and one data chunk (2 MiB
    each), so the second data chunk of this 2.5 MiB stream goes to archive.qn.1."""
    put(root, "big/a.bin", rng.randbytes(5 << 19))
    put(root, "big/b.txt", b"tail\n" * 1000)


def sized(n):
    return lambda root, rng: put(root, "t.txt", text(rng, n))


def many(root, rng):
    """150 files of a few MiB in all, some empty, a few of up to 1 MiB, and random ones."""
    for i in range(150):
        size = rng.choice([0, 0, rng.randrange(1, 2000), rng.randrange(2000, 40000),
                           rng.randrange(100000, 1100000) if i % 37 == 0 else 500])
        put(root, (f"d{i % 7}/e{i % 3}/" if i % 4 else "") + f"f{i:03d}.dat",
            text(rng, size) if i % 3 else rng.randbytes(size), 1600000000 + i * 7777)
    for i in range(3):
        put(root, f"rnd/r{i}.bin", rng.randbytes(900000), 1500000000 + i)
    (root / "empty" / "inner").mkdir(parents=True)


def empty(root, rng):
    """One empty file: the index holds no data, which quarnunzip reports after making it."""
    put(root, "none.txt", b"")


TREES = {}
PARAMS = ("block", "bwt", "cache", "cluster", "column", "esc", "flush", "sight", "volume")
PW64 = "".join(chr(33 + (i * 7) % 94) for i in range(64))
# group, name, tree maker, quarnzip options, password[, status, MiB bound of quarnzip's peak];
# "src/." packs the folder's contents.
ROWS = [("basic", n, mixed, o.split(), p) for n, o, p in [
    ("defaults", "", None), ("level 1", "-1", None), ("level 5", "-5", None), ("level 9", "-9", None),
    ("block mode 1 MiB", "--bwt 1 --block 1", None), ("block 2 MiB level 1", "--bwt 1 --block 2 -1", None),
    ("password", "--password=Secret-42", "Secret-42"), ("64-byte password", "--password=" + PW64, PW64),
    ("column 7 cluster 1", "--column 7 --cluster 1", None),
    ("column 128 cluster 1024", "--column 128 --cluster 1024", None), ("cache 64", "--cache 64", None),
    ("esc 1 flush 1", "--esc 1 --flush 1", None), ("esc 63 flush 16", "--esc 63 --flush 16", None)]]
ROWS += [("basic", "volumes of 4 MiB", big, ["--volume", "4", "-1"], None),
         ("basic", "no data at all", empty, ["src/."], None, 1)]
ROWS += [("basic", f"block 1 MiB, 2 MiB plus {k}", sized((2 << 20) + k), "-6 --bwt 1 --block 1 src/.".split(),
          None) for k in (0, 5, 8, 9)]
# On 6 bytes quarnzip's buffers follow the input, not the parameters (a block alone would be
# 128 MiB): its peak resident set stays under 48 MiB (TSan's shadow of every page touched takes
# about four times as much again, so a sanitizer build has four times the room), and the index
# keeps the values asked for.
ROWS += [("basic", "6 bytes " + o, sized(6), o.split() + ["src/."], None, 0, 48) for o in (
    "--bwt 1 --block 128", "-9 --block 1048576 --cache 1000")]
ROWS += [("large", "large " + o, large, o.split() + ["src/."], None) for o in (
    "-1", "-6", "-9 --cache 8", "-6 --bwt 1 --block 1", "-8 --bwt 1 --block 3", "-6 --esc 1 --flush 1",
    "-3 --esc 20 --flush 16 --cache 1")]
# Every column x cluster pair, each with two of the six volume x password settings, so that
# every setting meets every column count and every cluster size.
SETTINGS = [(v, p) for v in (0, 4) for p in (None, "k", PW64)]
ROWS += [("matrix", f"column {c} cluster {k} volume {v} password {len(p or '')}", many,
          f"-1 --column {c} --cluster {k} --volume {v}".split() + ([f"--password={p}"] if p else [])
          + ["src/."], p) for ci, c in enumerate((1, 2, 7, 128)) for ki, k in enumerate((1, 64, 1024))
         for r in (0, 1) for v, p in [SETTINGS[(2 * ki + r + 2 * ci) % 6]]]


# Runs quarnzip under a python of its own and adds that one child's peak resident KiB to its output.
PEAK = ("import resource, subprocess, sys; s = subprocess.run(sys.argv[1:]).returncode; "
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss); sys.exit(s)")


def one(a, group, name, maker, opts, password, status=0, rss=None):
    box = qnlib.Sandbox({}, outputs=[ZIP + s for s in ("", ".1", ".2", ".3", ".4")])
    try:
        src = box.work / "src"
        if maker not in TREES:           # each tree is made once and copied for every row
            TREES[maker] = Path(tempfile.mkdtemp(prefix="qn-tree-")) / "src"
            TREES[maker].mkdir()
            maker(TREES[maker], random.Random(7))
        shutil.copytree(TREES[maker], src, symlinks=True)
        box.mark()
        opts, path = (opts[:-1], opts[-1:]) if opts[-1:] == ["src/."] else (opts, ["src"])
        z = subprocess.run([sys.executable, "-c", PEAK, os.path.abspath(a.zip)] + opts + [ZIP] + path,
                           cwd=box.work, stdin=subprocess.DEVNULL, capture_output=True, env=qnlib.env(),
                           timeout=4 * a.timeout)
        if z.returncode != 0:
            return [f"quarnzip failed with {z.returncode}: {z.stdout[-500:]!r} {z.stderr[-2000:]!r}"], None
        if rss and (peak := int(z.stdout.split()[-1])) > (rss << 10) * (4 if a.sanitizer else 1):
            return [f"quarnzip's peak resident set {peak} KiB, over {rss} MiB"], None
        stdin = (password or "").encode() + b"\n"
        res = qnlib.run(a.unzip, [ZIP, "out.xml", "out"], box.work, stdin, a.timeout)
        problems = qnlib.run_problems(res, a.timeout)
        got = qnlib.read_tree(box.work / "out" / ("src" if path == ["src"] else ""))
        want = qnlib.read_tree(src)
        nodata = ["Fail getting data from XML index file out.xml"] if status else []
        if res.status != status or res.messages != nodata:
            problems.append(f"extraction: status {res.status}, reports {res.messages!r}")
        problems += ["tree differs: " + d for d in qnlib.tree_diff(want, got)[:20]]
        xml = (box.work / "out.xml").read_bytes() if (box.work / "out.xml").exists() else b""
        problems += [f"the index lacks {k} {v}" for k, v in zip(opts, opts[1:]) if k[2:] in PARAMS
                     and f"<{k[2:]}>{v}</{k[2:]}>".encode() not in xml]
        problems += box.outside_changes()
        if maker in (big, many) and opts[opts.index("--volume") + 1] != "0" \
                and not (box.work / (ZIP + ".1")).exists():
            problems.append("no volume file archive.qn.1 was written")
        return problems, res
    finally:
        box.remove()


def main():
    a = qnlib.args(("--sanitizer", ""))
    suite = qnlib.Suite("round trips " + a.group)
    for row in ROWS:
        if row[0] == (a.group or row[0]) and a.only in row[1]:
            suite.report(row[1], *one(a, *row))
    for t in TREES.values():
        shutil.rmtree(t.parent)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
