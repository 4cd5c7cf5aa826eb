#!/usr/bin/env python3
# Round trips through both tools: quarnzip packs a generated tree with one set of options,
# quarnunzip extracts it, and the tree (bytes, folders, times) must come back unchanged.
# Covers levels, block mode, passwords, the rotation, ring sizes, coder parameters, volumes.
import os
import random
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402

ZIP = "archive.qn"
TIMES = [0, 1, 2**31 - 1, 2**31, 4102444800, 1700000000]
WORDS = ("archive index chunk volume stream table escape match literal block rotation "
         "cluster column password decoder encoder 归档 索引 Grüße").split()


def make_tree(root, rng, scale):
    """A tree of text, random bytes, runs, empty files and odd names, with fixed times."""
    files = {
        "notes/readme.txt": " ".join(rng.choice(WORDS) for _ in range(30000 * scale)).encode(),
        "notes/deep/er/still/deeper/leaf.txt": b"leaf\n" * 50,
        "bin/random.bin": rng.randbytes(300_000 * scale),
        "bin/runs.bin": b"".join(bytes([rng.randrange(3)]) * rng.randrange(1, 5000)
                                 for _ in range(200 * scale)),
        "bin/empty.dat": b"",
        "top.txt": b"x",
        "names/with space.txt": b"space\n",
        "names/ünïcödé-名字.txt": "名字\n".encode() * 10,
        "names/(paren)&amp;[sq].txt": b"symbols\n",
        "names/nine.bin": bytes(range(9)),
        "names/eight.bin": bytes(range(8)),
    }
    for i, (rel, data) in enumerate(sorted(files.items())):
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
        t = TIMES[i % len(TIMES)]
        os.utime(p, (t, t))


def make_big(root, rng):
    """Incompressible data for the volume case: with volumes of 4 MiB the first file holds
    the index chunk and one data chunk (each counts 2 MiB), so the second data chunk of
    this 2.5 MiB stream goes to archive.qn.1."""
    (root / "big").mkdir(parents=True)
    (root / "big" / "a.bin").write_bytes(rng.randbytes(5 << 19))
    (root / "big" / "b.txt").write_bytes(b"tail\n" * 1000)


RUNS = [
    # name, quarnzip options, password typed at extraction, tree kind
    ("defaults", [], None, "mixed"),
    ("level 1", ["-1"], None, "mixed"),
    ("level 9", ["-9"], None, "mixed"),
    ("block mode 1 MiB", ["--bwt", "1", "--block", "1"], None, "mixed"),
    ("block mode 2 MiB, level 1", ["--bwt", "1", "--block", "2", "-1"], None, "mixed"),
    ("password", ["--password=Secret-42"], "Secret-42", "mixed"),
    ("64-byte password", ["--password=" + "p" * 64], "p" * 64, "mixed"),
    ("column 7, cluster 1", ["--column", "7", "--cluster", "1"], None, "mixed"),
    ("column 128, cluster 1024", ["--column", "128", "--cluster", "1024"], None, "mixed"),
    ("cache 64", ["--cache", "64"], None, "mixed"),
    ("esc 1, flush 1", ["--esc", "1", "--flush", "1"], None, "mixed"),
    ("esc 63, flush 16", ["--esc", "63", "--flush", "16"], None, "mixed"),
    ("volumes of 4 MiB", ["--volume", "4", "-1"], None, "big"),
]


def run_zip(zipbin, work, options, timeout):
    # quarnzip is not under test here: it gets four times the limit (sanitizer builds).
    try:
        return subprocess.run([str(Path(zipbin).resolve())] + options + [ZIP, "tree"],
                              cwd=work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=4 * timeout,
                              env=qnlib.sanitizer_env())
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess([], -1, b"", b"no end within the time limit")


def one_run(args, name, options, password, kind, seed):
    rng = random.Random(seed)
    box = qnlib.Sandbox({}, outputs=[ZIP, ZIP + ".1", ZIP + ".2", ZIP + ".3"])
    problems, res = [], None
    try:
        tree = box.work / "tree"
        make_tree(tree, rng, 1) if kind == "mixed" else make_big(tree, rng)
        box.before = box.outside_state()
        z = run_zip(args.zip, box.work, options, args.timeout)
        if z.returncode != 0:
            return [f"quarnzip {' '.join(options)} failed with {z.returncode}: "
                    f"{z.stdout[-500:]!r} {z.stderr[-2000:]!r}"], None
        if kind == "big" and not (box.work / (ZIP + ".1")).exists():
            problems.append("no volume file archive.qn.1 was written")
        stdin = (password.encode() if password else b"") + b"\n"
        res = qnlib.run_unzip(args.unzip, [ZIP, "out.xml", "out"], box.work, stdin, args.timeout)
        problems += qnlib.run_problems(res, args.timeout)
        if res.status != 0 or res.messages:
            problems.append(f"extraction: status {res.status}, reports {res.messages!r}")
        want = qnlib.read_tree(tree)
        got = qnlib.read_tree(box.work / "out" / "tree")
        problems += ["tree differs: " + d for d in qnlib.tree_diff(want, got)[:20]]
        problems += ["outside the destination: " + c for c in box.outside_changes()]
        if password:
            # The same archive with a wrong password must fail cleanly.
            wrong = qnlib.run_unzip(args.unzip, [ZIP, "w.xml", "w"], box.work, b"wrong\n",
                                    args.timeout)
            problems += ["wrong password: " + p for p in qnlib.run_problems(wrong, args.timeout)]
            if wrong.status != 1:
                problems.append(f"wrong password: exit status {wrong.status}, expected 1")
        return problems, res
    finally:
        box.remove()


def main():
    ap = qnlib.common_args(__doc__)
    args = ap.parse_args()
    if not args.zip:
        print("--zip is required")
        return 1
    suite = qnlib.Suite("round trips")
    for i, (name, options, password, kind) in enumerate(RUNS):
        if args.only and args.only not in name:
            continue
        problems, res = one_run(args, name, options, password, kind, 1000 + i)
        suite.report(name, problems, res)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
