#!/usr/bin/env python3
# Writes the fuzz targets' seed corpora (tests/fuzz/corpus/<target>/) from the small conformance
# archives beside the project, and block-transform seeds made here.
import json
import shutil
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CASES = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT.parent / "shared" / "conformance"
OUT = ROOT / "tests" / "fuzz" / "corpus"
CHUNK, SMALL = 0x200000, 20000


def payload(a, start, end):
    """A stored stream without its chunk checks: what the input ring receives."""
    out = b""
    while start < end:
        n = min(CHUNK, end - start)
        out += a[start:start + n - 8]
        start += n
    return out


def bwt_forward(b):
    n = len(b)
    key = lambda t: (b[t] << 16 | b[t - 1] << 8 | b[t - 2], t)  # noqa: E731
    rows = sorted(range(n), key=lambda t: (key(t)[0], -t))
    return bytes(b[(t + 1) % n] for t in rows), rows.index(n - 1)


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    seeds = {t: {} for t in ("archive", "stream", "index", "ini", "bwt", "container")}
    for case in sorted(p for p in CASES.iterdir() if (p / "case.json").exists()):
        c, a = json.loads((case / "case.json").read_text()), (case / "archive.qn").read_bytes()
        name, pwd = case.name, (json.loads((case / "case.json").read_text()).get("password") or "").encode()
        if (case / "index.xml").exists() and (case / "index.xml").stat().st_size < 12000:
            seeds["index"][name] = (case / "index.xml").read_bytes()
        if len(a) > SMALL and name != "password_1byte":
            continue
        seeds["archive"][name] = bytes([len(pwd)]) + pwd + a
        seeds["container"][name] = b"\0\0" + a
        if len(a) < 16 or pwd:
            continue
        pos = struct.unpack_from("<Q", a, 8)[0]
        if pos + 8 > len(a):
            continue
        end = struct.unpack_from("<Q", a, pos)[0] or len(a)
        p = c.get("params") or {}
        mode = bytes([int(p.get("esc", 63)) - 1, int(p.get("flush", 5)) - 1,
                      int(p.get("bwt", 0)) | (int(p.get("block", 1)) - 1 & 1) << 1])
        seeds["stream"][name] = mode + payload(a, pos + 8, end)
        seeds["stream"][name + ".index"] = bytes([62, 4, 0]) + payload(a, 16, pos)
    seeds["ini"] = {"defaults": b"language=2\nlogsize=1000\n", "all": b"".join(
        f"{k}={v}\n".encode() for k, v in (("block", 32), ("bwt", 1), ("cache", 64), ("cluster", 64),
                                           ("column", 7), ("esc", 20), ("flush", 3), ("language", 1),
                                           ("logsize", 0), ("password", "pw"), ("pipes", 2),
                                           ("sight", 20), ("tails", 8), ("volume", 2))),
                    "comment": b"# comment\nlanguage=2\n\nbad line\n"}
    for n, text in ((9, b"abracadab"), (64, b"the block sorting of contexts is a archive " * 2),
                    (300, bytes(range(256)) + b"x" * 44), (1000, b"a" * 1000)):
        block, start = bwt_forward(text[:n])
        seeds["bwt"][f"n{n}"] = struct.pack("<I", start) + block
    for target, files in seeds.items():
        (OUT / target).mkdir(parents=True)
        for name, data in files.items():
            (OUT / target / name).write_bytes(data)
        print(f"{target}: {len(files)} seeds, {sum(map(len, files.values()))} bytes")


if __name__ == "__main__":
    main()
