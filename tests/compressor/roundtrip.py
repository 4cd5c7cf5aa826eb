#!/usr/bin/env python3
"""Round trips through the built quarnzip and quarnunzip.

Usage: roundtrip.py QUARNZIP QUARNUNZIP SHARED_DIR SUITE
Suites: real (a copy of /usr/include parts at level 6, a large shared library at level 7),
made (random, zeros, one repeated byte, empty files, deep paths, names with spaces and UTF-8,
block mode),
matrix (column x cluster x volume x password), conformance (trees of the shape of every
conformance case that extracts cleanly, and the hand-written indexes of the bad_index_*
cases through --index-in), errors (bad command lines and unpackable paths).
Every case runs in its own temporary directory holding a qn.ini with language=2.
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

ZIP, UNZIP, SHARED, SUITE = sys.argv[1:5]
ZIP, UNZIP, SHARED = (os.path.abspath(p) for p in (ZIP, UNZIP, SHARED))
FAILS = []


def check(cond, what):
    if not cond:
        FAILS.append(what)
        print("FAIL:", what, flush=True)


def workdir():
    d = tempfile.mkdtemp(prefix="qnzip_rt_")
    with open(os.path.join(d, "qn.ini"), "w") as f:
        f.write("language=2\n")
    return d


def put(path, data, mtime=1700000000):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def snapshot(root):
    """Every directory and file under root: relative name -> None (directory) or (bytes hash, mtime)."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        if rel != ".":
            tree[rel] = None
        for n in filenames:
            p = os.path.join(dirpath, n)
            with open(p, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            tree[os.path.normpath(os.path.join(rel, n))] = (digest, int(os.stat(p).st_mtime))
    return tree


def zip_(wd, args, stdin=None):
    return subprocess.run([ZIP] + args, cwd=wd, input=stdin, capture_output=True)


def unzip(wd, password=None, extra=("out.xml", "out")):
    stdin = (password + "\n").encode() if password is not None else b""
    return subprocess.run([UNZIP, "archive.qn", *extra], cwd=wd, input=stdin, capture_output=True)


def roundtrip(name, wd, zip_args, password=None, src="src"):
    """Packs wd/src (its contents at the root), extracts into wd/out, compares everything."""
    z = zip_(wd, zip_args + ["archive.qn", src + "/."])
    check(z.returncode == 0, f"{name}: quarnzip exit {z.returncode}: {z.stdout[-300:]!r}")
    u = unzip(wd, password)
    check(u.returncode == 0, f"{name}: quarnunzip exit {u.returncode}: {u.stdout[-400:]!r}")
    a, b = snapshot(os.path.join(wd, src)), snapshot(os.path.join(wd, "out"))
    check(a == b, f"{name}: trees differ: only in source {sorted(set(a) - set(b))[:5]}, "
                  f"only in output {sorted(set(b) - set(a))[:5]}, "
                  f"changed {[k for k in a if k in b and a[k] != b[k]][:5]}")


def text_bytes(rng, n):
    words = [b"static ", b"int ", b"return ", b"#define ", b"struct ", b"(void)", b";\n", b"    ",
             b"value", b"_t", b"{\n", b"}\n", b"/* comment */", b"0x", b"unsigned long "]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words)
        if rng.random() < 0.1:
            out += bytes([rng.randrange(32, 127)])
    return bytes(out[:n])


def mixed_tree(root, rng, files=150):
    """A tree of a few MiB: many small files, some empty, a few of 100 KiB to 1 MiB."""
    for i in range(files):
        d = os.path.join(root, f"d{i % 7}", f"e{i % 3}") if i % 4 else root
        size = rng.choice([0, 0, rng.randrange(1, 2000), rng.randrange(2000, 40000),
                           rng.randrange(100000, 1100000) if i % 37 == 0 else 500])
        data = text_bytes(rng, size) if i % 3 else os.urandom(size)
        put(os.path.join(d, f"f{i:03d}.dat"), data, 1600000000 + i * 7777)
    for i in range(3):  # incompressible: the archive needs volume files at volume 4
        put(os.path.join(root, "rnd", f"r{i}.bin"), os.urandom(900000), 1500000000 + i)
    os.makedirs(os.path.join(root, "empty", "inner"), exist_ok=True)


def suite_real():
    wd = workdir()
    src = os.path.join(wd, "src")
    for part in ("linux/netfilter", "linux/usb", "asm-generic", "c++/12/bits"):
        p = "/usr/include/" + part
        if os.path.isdir(p):
            shutil.copytree(p, os.path.join(src, part.replace("/", "_")), symlinks=True)
    roundtrip("usr-include level 6", wd, ["-6"])
    wd2 = workdir()
    libs = sorted((os.path.getsize(p), p) for p in
                  (os.path.join("/usr/lib/x86_64-linux-gnu", n) for n in os.listdir("/usr/lib/x86_64-linux-gnu"))
                  if os.path.isfile(p) and ".so" in p and os.path.getsize(p) < 40 << 20)
    lib = libs[-1][1]
    os.makedirs(os.path.join(wd2, "src"))
    shutil.copy2(lib, os.path.join(wd2, "src", "lib.so"))
    roundtrip(f"shared library {os.path.basename(lib)} level 7", wd2, ["-7"])
    for d in (wd, wd2):
        shutil.rmtree(d)


def suite_made():
    rng = random.Random(11)
    cases = []
    wd = workdir()
    s = os.path.join(wd, "src")
    put(os.path.join(s, "random.bin"), os.urandom(3 << 20), 1234567890)
    put(os.path.join(s, "zeros.bin"), bytes(5 << 20), 1)
    put(os.path.join(s, "ones.bin"), b"\xab" * ((6 << 20) + 13), 0x7fffffff)
    put(os.path.join(s, "empty1"), b"")
    put(os.path.join(s, "with space", "a name with spaces.txt"), b"spaces\n" * 1000)
    put(os.path.join(s, "\u00fcber", "\u76ee\u5f55", "\U0001f389.txt".encode().decode()), "UTF-8 \u00e9".encode() * 50)
    deep = os.path.join(s, *[f"lvl{i:02d}" for i in range(20)])
    put(os.path.join(deep, "leaf.txt"), b"deep\n")
    put(os.path.join(deep, "empty2"), b"")
    os.makedirs(os.path.join(s, "emptydir", "sub"))
    cases.append(("made level 1", ["-1"]))
    cases.append(("made level 6", ["-6"]))
    cases.append(("made level 9", ["-9", "--cache", "8"]))
    cases.append(("made block mode 1 MiB", ["-6", "--bwt", "1", "--block", "1"]))
    cases.append(("made block mode 3 MiB level 8", ["-8", "--bwt", "1", "--block", "3"]))
    cases.append(("made esc 1 flush 1", ["-6", "--esc", "1", "--flush", "1"]))
    cases.append(("made esc 20 flush 16 cache 1", ["-3", "--esc", "20", "--flush", "16", "--cache", "1"]))
    for name, args in cases:
        shutil.rmtree(os.path.join(wd, "out"), ignore_errors=True)
        roundtrip(name, wd, args)
    # Block mode with a stream that is an exact multiple of the block, and tiny last blocks.
    for extra, label in ((0, "multiple"), (5, "plus 5"), (8, "plus 8"), (9, "plus 9")):
        w2 = workdir()
        put(os.path.join(w2, "src", "t.txt"), text_bytes(rng, (2 << 20) + extra))
        roundtrip(f"block 1 MiB, 2 MiB {label}", w2, ["-6", "--bwt", "1", "--block", "1"])
        shutil.rmtree(w2)
    shutil.rmtree(wd)


def suite_matrix():
    rng = random.Random(5)
    base = workdir()
    mixed_tree(os.path.join(base, "src"), rng)
    pw64 = "".join(chr(33 + (i * 7) % 94) for i in range(64))
    # Every column x cluster pair, each with two of the six volume x password settings, so
    # that every setting meets every column count and every cluster size.
    settings = [(v, p) for v in (0, 4) for p in (None, "k", pw64)]
    runs = [(c, k, settings[(2 * ki + r + 2 * ci) % 6])
            for ci, c in enumerate((1, 2, 7, 128)) for ki, k in enumerate((1, 64, 1024)) for r in (0, 1)]
    for column, cluster, (volume, password) in runs:
        name = f"matrix column {column} cluster {cluster} volume {volume} password {len(password or '')}"
        shutil.rmtree(os.path.join(base, "out"), ignore_errors=True)
        for f in os.listdir(base):
            if f.startswith("archive.qn"):
                os.remove(os.path.join(base, f))
        args = ["-1", "--column", str(column), "--cluster", str(cluster), "--volume", str(volume)]
        if password is not None:
            args.append("--password=" + password)
        roundtrip(name, base, args, password)
        if volume:
            vols = [f for f in os.listdir(base) if f.startswith("archive.qn.")]
            check(len(vols) >= 1, f"{name}: no volume files")
    shutil.rmtree(base)


def manifest(case):
    rows = []
    with open(os.path.join(SHARED, "conformance", case, "manifest.tsv"), encoding="utf-8") as f:
        next(f)
        for line in f:
            path, kind, size, _sha, mtime = line.rstrip("\n").split("\t")
            rows.append((path, kind, int(size), None if mtime == "-" else int(mtime)))
    return rows


def suite_conformance():
    conf = os.path.join(SHARED, "conformance")
    for case in sorted(os.listdir(conf)):
        if case.startswith(("bad_", "damaged_", "wrong_password")) or not os.path.isdir(os.path.join(conf, case)):
            continue
        meta = json.load(open(os.path.join(conf, case, "case.json")))
        wd = workdir()
        src = os.path.join(wd, "src")
        os.makedirs(src)
        rng = random.Random(case)
        for path, kind, size, mtime in manifest(case):
            p = os.path.join(src, path)
            if kind == "d":
                os.makedirs(p, exist_ok=True)
            else:
                data = os.urandom(size) if "random" in case else text_bytes(rng, size)
                put(p, data, mtime)
        args = ["-2"]
        for k, v in meta["params"].items():
            args += [f"--{k}", str(v)]
        if meta.get("password"):
            args.append("--password=" + meta["password"])
        files = [r for r in manifest(case) if r[1] == "f"]
        if any(r[2] for r in files):
            roundtrip(f"conformance shape {case}", wd, args, meta.get("password"))
        else:  # nothing to extract: the decompressor stops after the index, as the case says
            z = zip_(wd, args + ["archive.qn", "src/."])
            check(z.returncode == 0, f"{case}: quarnzip exit {z.returncode}")
            u = unzip(wd)
            check(u.returncode == meta["exit_status"], f"{case}: quarnunzip exit {u.returncode}")
        shutil.rmtree(wd)
    # Hand-written indexes taken verbatim: the extraction must do what each case describes.
    for case in sorted(os.listdir(conf)):
        if not case.startswith("bad_index_") or case == "bad_index_length":  # that one is a header fault
            continue
        suite_index_case(case)


def records(xml):
    """File records of an index as the decompressor reads them: (path, name, size)."""
    out, cur = [], None
    for raw in xml.replace(b"\r", b"\n").split(b"\n"):
        line = raw.lstrip(b" ")
        if line.startswith(b"<file"):
            cur = {b"name": b"", b"path": b"", b"size": b"0"}
        elif cur is not None and line.startswith(b"</file>"):
            out.append(cur)
            cur = None
        elif cur is not None:
            for k in (b"name", b"path", b"size"):
                if line.startswith(b"<" + k):
                    v = line.split(b">", 1)[1].split(b"<", 1)[0] if b">" in line else b""
                    cur[k] = v
    return out


def suite_index_case(case):
    conf = os.path.join(SHARED, "conformance", case)
    meta = json.load(open(os.path.join(conf, "case.json")))
    xml = open(os.path.join(conf, "index.xml"), "rb").read()
    wd = workdir()
    src = os.path.join(wd, "src")
    rng = random.Random(case)
    for r in records(xml):
        size = int(b"".join(c for c in (bytes([x]) for x in r[b"size"]) if c.isdigit()) or b"0")
        rel = os.path.join(r[b"path"].decode(), r[b"name"].decode()) if r[b"path"] else r[b"name"].decode()
        put(os.path.join(src, rel), text_bytes(rng, size))
    shutil.copy(os.path.join(conf, "index.xml"), os.path.join(wd, "given.xml"))
    z = zip_(wd, ["-4", "--index-in", "given.xml", "--source", "src", "archive.qn"])
    check(z.returncode == 0, f"{case}: quarnzip --index-in exit {z.returncode}: {z.stdout[-300:]!r}")
    u = unzip(wd)
    check(u.returncode == meta["exit_status"], f"{case}: exit {u.returncode}, want {meta['exit_status']}")
    if meta.get("index_complete"):
        check(open(os.path.join(wd, "out.xml"), "rb").read() == xml, f"{case}: index differs")
    out = os.path.join(wd, "out")
    if meta.get("files_complete"):
        got = snapshot(out) if os.path.isdir(out) else {}
        want = {os.path.normpath(p): (k, s, m) for p, k, s, m in manifest(case)}
        shape = {p: (None if v is None else os.path.getsize(os.path.join(out, p))) for p, v in got.items()}
        check(sorted(shape) == sorted(want), f"{case}: extracted names differ: {sorted(shape)[:6]} vs {sorted(want)[:6]}")
        for p, (k, s, m) in want.items():
            if k == "f" and p in got:
                check(shape[p] == s and got[p][1] == m, f"{case}: {p} size/time differ")
                if os.path.exists(os.path.join(src, p)):
                    check(got[p][0] == hashlib.sha256(open(os.path.join(src, p), "rb").read()).hexdigest(),
                          f"{case}: {p} bytes differ")
    shutil.rmtree(wd)


def typed_password(wd, args, password):
    """Runs quarnzip on a terminal and types the password key by key, each key once the
    program waits for it with echo off (the waits are bounds for a failure, not timing)."""
    import select
    import termios
    import time
    master, slave = os.openpty()
    p = subprocess.Popen([ZIP] + args, cwd=wd, stdin=slave, stdout=slave, stderr=slave)
    out = b""

    def read_some(timeout):
        nonlocal out
        ready, _, _ = select.select([master], [], [], timeout)
        if ready:
            try:
                out += os.read(master, 4096)
            except OSError:
                return False
        return True

    def wait_for(cond):
        deadline = time.monotonic() + 30
        while not cond():
            if time.monotonic() > deadline or not read_some(0.01):
                return False
        return True

    ok = wait_for(lambda: b"Please input the password" in out)
    for ch in password + "\r":
        ok = ok and wait_for(lambda: not termios.tcgetattr(slave)[3] & termios.ECHO)
        stars = out.count(b"*")
        os.write(master, ch.encode())
        if ch != "\r":
            ok = ok and wait_for(lambda: out.count(b"*") > stars)
    wait_for(lambda: p.poll() is not None)
    while read_some(0.05) and select.select([master], [], [], 0)[0]:
        pass
    os.close(slave)
    os.close(master)
    return (p.wait() if ok else -1), out


def suite_errors():
    wd = workdir()
    put(os.path.join(wd, "src", "ok.txt"), b"fine\n" * 100)
    log = os.path.join(wd, "qn_error.log")

    def listing():
        return sorted(f for f in os.listdir(wd) if not f.startswith("qn_error."))
    before = listing()

    def refused(args, text, name):
        if os.path.exists(log):
            os.remove(log)
        r = zip_(wd, args)
        out = r.stdout.decode("utf-8", "replace")
        check(r.returncode == 1, f"{name}: exit {r.returncode}")
        check(text in out, f"{name}: message {text!r} missing in {out[-300:]!r}")
        check(os.path.exists(log) and text.encode() in open(log, "rb").read(), f"{name}: not in the error log")
        check(listing() == before, f"{name}: files appeared: {sorted(set(listing()) - set(before))}")

    refused(["--esc", "64", "archive.qn", "src"], "Parameter 'esc' above 63", "esc 64")
    refused(["--cluster", "96", "archive.qn", "src"], "Parameter 'cluster' value must be power of 2", "cluster 96")
    refused(["--column", "129", "archive.qn", "src"], "Parameter 'column' value range must be 1-128", "column 129")
    refused(["--tails", "5", "--pipes", "4", "archive.qn", "src"], "Parameter 'tails' must be larger", "tails 5")
    refused(["--volume", "6", "archive.qn", "src"], "Parameter 'volume' value must be multiple of 4", "volume 6")
    refused(["--frobnicate", "archive.qn", "src"], "Unknown option '--frobnicate'", "unknown option")
    refused(["--cache", "x1", "archive.qn", "src"], "Option '--cache' needs a decimal value", "bad number")
    refused(["--password=" + "p" * 65, "archive.qn", "src"], "Password must be 1-64 bytes", "password 65")
    refused(["--password=p\u00e9", "archive.qn", "src"], "Password must be 1-64 bytes", "password non-ASCII")
    refused(["--index-in", "missing.xml", "archive.qn"], "Fail reading index file missing.xml", "missing index")
    r = zip_(wd, ["archive.qn"])
    check(r.returncode == 1 and b"Usage:" in r.stdout, "usage without paths")
    r = zip_(wd, ["--help"])
    check(r.returncode == 0 and b"--index-in" in r.stdout, "help text")
    r = zip_(wd, ["--version"])
    check(r.returncode == 0 and b"quarnzip" in r.stdout, "version")
    # qn.ini keys are the defaults; a bad line is refused like the decompressor refuses it.
    with open(os.path.join(wd, "qn.ini"), "w") as f:
        f.write("language=2\nesc=70\n")
    refused(["archive.qn", "src"], "Parameter 'esc' above 63", "qn.ini esc 70")
    with open(os.path.join(wd, "qn.ini"), "w") as f:
        f.write("language=2\nbogus=1\n")
    refused(["archive.qn", "src"], "Unknown parameter 'bogus=1'", "qn.ini unknown key")
    with open(os.path.join(wd, "qn.ini"), "w") as f:
        f.write("language=2\ncolumn=3\npassword=sesame\n")
    z = zip_(wd, ["archive.qn", "src/."])
    check(z.returncode == 0, "qn.ini password: quarnzip")
    xml = unzip(wd, "sesame")
    check(xml.returncode == 0 and b"<column>3</column>" in open(os.path.join(wd, "out.xml"), "rb").read(),
          "qn.ini column and password reach the archive")
    check(unzip(wd, "wrong").returncode == 1, "qn.ini password: a wrong password is refused")
    # --password without a value asks at the terminal, without echoing the password.
    with open(os.path.join(wd, "qn.ini"), "w") as f:
        f.write("language=2\n")
    rc, out = typed_password(wd, ["--password", "archive.qn", "src/."], "open sesame")
    check(rc == 0 and b"open sesame" not in out, f"typed password: exit {rc}, {out[-200:]!r}")
    shutil.rmtree(os.path.join(wd, "out"), ignore_errors=True)
    check(unzip(wd, "open sesame").returncode == 0 and os.path.exists(os.path.join(wd, "out", "ok.txt")),
          "typed password: the archive opens with it")
    # Paths the index cannot carry and files that are not regular: skipped, exit 1, the rest packed.
    w2 = workdir()
    s = os.path.join(w2, "src")
    put(os.path.join(s, "good.txt"), b"good\n")
    put(os.path.join(s, "bad<name"), b"x")
    put(os.path.join(s, "x" * 250), b"long name")
    os.mkfifo(os.path.join(s, "fifo"))
    os.symlink("good.txt", os.path.join(s, "link"))
    z = zip_(w2, ["archive.qn", "src/."])
    out = z.stdout.decode()
    check(z.returncode == 1, f"skips: exit {z.returncode}")
    check(out.count("Skipped ") == 4, f"skips: four warnings expected: {out!r}")
    u = unzip(w2)
    check(u.returncode == 0, "skips: the archive extracts")
    check(sorted(os.listdir(os.path.join(w2, "out"))) == ["good.txt"], "skips: only the good file")
    # --index-in: a file longer or shorter than its record is reported; the archive keeps the record's size.
    idx = ('<?xml version="1.0"?>\n<index>\n<zip>\n<version>v4</version>\n<files>3</files>\n'
           '<size>7</size>\n</zip>\n<column>1</column>\n<directory>\n<path></path>\n</directory>\n'
           '<file>\n<name>good.txt</name>\n<size>3</size>\n<time>10</time>\n<path></path>\n</file>\n'
           '<file>\n<name>bad&lt;name</name>\n<size>0</size>\n<time>10</time>\n<path></path>\n</file>\n'
           '<file>\n<name>missing</name>\n<size>4</size>\n<time>10</time>\n<path></path>\n</file>\n</index>\n')
    with open(os.path.join(w2, "given.xml"), "w") as f:
        f.write(idx)
    shutil.rmtree(os.path.join(w2, "out"), ignore_errors=True)
    z = zip_(w2, ["--index-in", "given.xml", "--source", "src", "archive.qn"])
    out = z.stdout.decode()
    check(z.returncode == 1 and "Source file src/good.txt changed" in out
          and "Fail opening source file src/missing" in out, f"index-in sizes: {z.returncode} {out!r}")
    u = unzip(w2)
    check(u.returncode == 0, f"index-in sizes: extraction exit {u.returncode}")
    got = {n: open(os.path.join(w2, "out", n), "rb").read() for n in os.listdir(os.path.join(w2, "out"))}
    check(got == {"good.txt": b"goo", "bad&lt;name": b"", "missing": b"\0" * 4}, f"index-in sizes: {got!r}")
    # The archive inside the tree it packs: itself and its volume files are left out.
    put(os.path.join(w2, "src", "self.qn.1"), b"old volume")
    put(os.path.join(w2, "src", "self.qn.x"), b"not a volume")
    z = zip_(w2, ["src/self.qn", "src/."])
    check(z.returncode == 1 and b"Skipped src/./self.qn.1: it is the archive being written" in z.stdout,
          f"archive inside the tree: {z.stdout[-300:]!r}")
    xml = subprocess.run([UNZIP, "src/self.qn", "self.xml"], cwd=w2, capture_output=True)
    names = open(os.path.join(w2, "self.xml"), "rb").read() if xml.returncode == 0 else b""
    check(b"<name>self.qn.x</name>" in names and b"<name>self.qn.1</name>" not in names
          and b"<name>self.qn</name>" not in names, "archive inside the tree: index")
    r = zip_(w2, ["no/such/dir/a.qn", "src"])
    check(r.returncode == 1 and b"Fail writing archive file no/such/dir/a.qn" in r.stdout, "unwritable archive")
    r = zip_(w2, ["archive2.qn", "nonexistent"])
    check(r.returncode == 1 and b"Fail reading nonexistent" in r.stdout, "missing path")
    shutil.rmtree(wd)
    shutil.rmtree(w2)


{"real": suite_real, "made": suite_made, "matrix": suite_matrix,
 "conformance": suite_conformance, "errors": suite_errors}[SUITE]()
print(f"{SUITE}: {len(FAILS)} failures")
sys.exit(1 if FAILS else 0)
