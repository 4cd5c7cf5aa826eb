#!/usr/bin/env python3
# Damaged archives, container level: header fields, chunk sums, truncation at many offsets,
# hostile stream positions, volume files; each run must end with the report the archive
# format fixes for it, exit status 1, no hang, no crash and nothing changed outside.
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402
from qnlib import CHUNK, T  # noqa: E402

ZIP = "archive.qn"


# ------------------------------------------------------------ independent reader model

def predict_cut(orig, cut):
    """Reports of a run on the first `cut` bytes of a single-file archive, derived from the
    container rules alone: None when the outcome depends on the decoder."""
    if cut < qnlib.HEADER:
        return [T("kFailReadZip", ZIP)]
    data = orig[:cut]
    off = qnlib.header(orig)["data_off"]
    if off > cut:
        return [T("kBadStreamPos", ZIP)]
    original = set(qnlib.stream_chunks(qnlib.HEADER, off))
    for s, e in qnlib.stream_chunks(qnlib.HEADER, off):
        verdict = chunk_verdict(data, s, e, original)
        if verdict is not True:
            return verdict
    if cut < off + 8:
        return [T("kFailReadDataPos")]
    end_field = struct.unpack_from("<Q", orig, off)[0]
    end = end_field or cut
    orig_chunks = qnlib.stream_chunks(off + 8, end_field or len(orig))
    chunks = qnlib.stream_chunks(off + 8, end)
    for s, e in chunks:
        verdict = chunk_verdict(data, s, e, set(orig_chunks))
        if verdict is not True:
            return verdict
    if not chunks:
        # No chunk at all: the decoder's end of input closes the stream with nothing produced.
        return [T("kStreamEnd")]
    if len(chunks) < len(orig_chunks):
        return [T("kNoEndCode", ZIP)]   # whole chunks, but the stream's end code is gone
    return []


def chunk_verdict(data, s, e, original):
    """True for an intact chunk, else the reports its read gives (None: decoder-dependent)."""
    t = max(0, min(e, len(data)) - s)
    if t == 0 or t % 8:
        return [T("kErrReadZip", ZIP)]
    if (s, s + t) in original:
        return True
    if qnlib.chunk_verifies(data, s, s + t):
        return None
    return [T("kChecksum", ZIP)]


# ------------------------------------------------------------ extra checks

def no_outputs(box, res):
    out = []
    for name in ("out.xml", "out"):
        if (box.work / name).exists():
            out.append(f"{name} exists although the run stopped at the header")
    return out


def index_is(index):
    def check(box, res):
        p = box.work / "out.xml"
        if not p.exists() or p.read_bytes() != index:
            return ["out.xml is not the archive's index document"]
        return []
    return check


def no_destination(box, res):
    return ["out/ was created although the data pass never began"] if (box.work / "out").exists() else []


def tree_is(manifest):
    def check(box, res):
        diff = qnlib.tree_diff(manifest, qnlib.read_tree(box.work / "out"))
        return ["tree differs: " + d for d in diff[:20]]
    return check


def all_of(*checks):
    return lambda box, res: [p for c in checks for p in c(box, res)]


# ------------------------------------------------------------ scenarios

def header_scenarios(small, tiny):
    a = small["files"][ZIP]
    for magic in (0x00, 0xA4, 0xFF):
        d = bytearray(a)
        d[0] = magic
        yield f"magic {magic:#04x}", {ZIP: bytes(d)}, 1, [T("kInvalidFormat", ZIP)], no_outputs
    for n in (0, 1, 15):
        yield f"header of {n} bytes", {ZIP: a[:n]}, 1, [T("kFailReadZip", ZIP)], no_outputs
    yield "archive missing", {}, 1, [T("kFailOpenZip", ZIP)], no_outputs
    t = tiny["files"][ZIP]
    for version in (0, 255):
        d = bytearray(t)
        d[1] = version
        yield (f"version byte {version}", {ZIP: bytes(d)}, 1, [T("kZipVersion", version, 4)],
               all_of(index_is(tiny["index"]), tree_is(tiny["manifest"])))
    n = qnlib.header(a)["index_len"]
    for delta, value in (("+1", n + 1), ("-1", n - 1), ("0", 0), ("max", 0xFFFFFFFF)):
        d = bytearray(a)
        qnlib.set_u32(d, 4, value)
        yield (f"index length {delta}", {ZIP: bytes(d)}, 1, [T("kXmlStreamEnd")],
               all_of(index_is(small["index"]), no_destination))


def position_scenarios(small):
    a = small["files"][ZIP]
    off = qnlib.header(a)["data_off"]
    for value in (0, 8, 15, len(a) + 1, 1 << 63, (1 << 64) - 1):
        d = bytearray(a)
        qnlib.set_u64(d, 8, value)
        yield f"data offset {value:#x}", {ZIP: bytes(d)}, 1, [T("kBadStreamPos", ZIP)], None
    # Offsets that move the index stream's end: its chunk is read with other bounds.
    for delta, want in ((-8, "kChecksum"), (8, "kChecksum"), (-4, "kErrReadZip"),
                        (4, "kErrReadZip")):
        d = bytearray(a)
        qnlib.set_u64(d, 8, off + delta)
        t = off + delta - qnlib.HEADER
        if want == "kChecksum" and qnlib.chunk_verifies(d, qnlib.HEADER, qnlib.HEADER + t):
            continue
        yield f"data offset {delta:+d}", {ZIP: bytes(d)}, 1, [T(want, ZIP)], None
    for label, value, want in (("1", 1, "kBadStreamPos"), ("offset+7", off + 7, "kBadStreamPos"),
                               ("offset+8 (empty stream)", off + 8, "kStreamEnd"),
                               ("size-8", len(a) - 8, "kChecksum"),
                               ("size-4", len(a) - 4, "kErrReadZip"),
                               ("size+2MiB+16", len(a) + CHUNK + 16, "kErrReadZip"),
                               ("2^62", 1 << 62, "kErrReadZip")):
        d = bytearray(a)
        qnlib.set_u64(d, off, value)
        yield f"data end {label}", {ZIP: bytes(d)}, 1, [T(want, ZIP)], None
    d = bytearray(a)
    qnlib.set_u64(d, 8, 16)
    yield "data offset 16 (empty index stream)", {ZIP: bytes(d)}, 1, [T("kXmlStreamEnd")], None


def flip(data, pos, bit=0):
    d = bytearray(data)
    d[pos] ^= 1 << bit
    return bytes(d)


def sum_scenarios(small, big):
    a = small["files"][ZIP]
    idx, dat = qnlib.single_file_chunks(a)
    want = [T("kChecksum", ZIP)]
    yield "flip first index byte", {ZIP: flip(a, idx[0][0])}, 1, want, no_destination
    yield "flip index check word", {ZIP: flip(a, idx[0][1] - 3, 7)}, 1, want, no_destination
    yield ("flip data byte", {ZIP: flip(a, (dat[0][0] + dat[0][1]) // 2, 5)}, 1, want,
           index_is(small["index"]))
    yield "flip data check word", {ZIP: flip(a, dat[0][1] - 8)}, 1, want, index_is(small["index"])
    b = big["files"][ZIP]
    _, bdat = qnlib.single_file_chunks(b)
    yield ("flip second data chunk", {ZIP: flip(b, bdat[1][0] + 12345, 3)}, 1, want,
           index_is(big["index"]))


def cut_scenarios(small, big):
    for case in (small, big):
        a = case["files"][ZIP]
        off = qnlib.header(a)["data_off"]
        idx, dat = qnlib.single_file_chunks(a)
        cuts = {0, 1, 15, 16, 17, 23, 24, 32, 100, off - 8, off - 1, off, off + 1, off + 7,
                off + 8, off + 9, off + 16, off + 24, len(a) - 16, len(a) - 13, len(a) - 9,
                len(a) - 8, len(a) - 1}
        for s, e in dat[:-1]:           # around every inner chunk boundary
            cuts |= {e - 9, e - 8, e - 1, e, e + 1, e + 8, e + 16}
        for cut in sorted(c for c in cuts if 0 <= c < len(a)):
            want = predict_cut(a, cut)
            yield (f"{case['case']['name']} cut at {cut}", {ZIP: a[:cut]}, 1, want, None)


def volume_scenarios(vol):
    files = vol["files"]
    v1, v2 = ZIP + ".1", ZIP + ".2"

    def without(name):
        return {k: v for k, v in files.items() if k != name}

    def with_(name, data):
        d = dict(files)
        d[name] = data
        return d
    idx_ok = index_is(vol["index"])
    yield "volume .1 missing", without(v1), 1, [T("kFailOpenVol", ZIP, 1)], idx_ok
    yield "volume .1 empty", with_(v1, b""), 1, [T("kErrReadVol", ZIP, 1)], idx_ok
    yield "volume .1 cut by 13", with_(v1, files[v1][:-13]), 1, [T("kErrReadVol", ZIP, 1)], idx_ok
    yield "volume .1 cut by 8", with_(v1, files[v1][:-8]), 1, [T("kChecksumVol", ZIP, 1)], idx_ok
    yield ("volume .1 bit flipped", with_(v1, flip(files[v1], 1000, 2)), 1,
           [T("kChecksumVol", ZIP, 1)], idx_ok)
    yield ("volume .2 bit flipped", with_(v2, flip(files[v2], 77, 6)), 1,
           [T("kChecksumVol", ZIP, 2)], idx_ok)
    a = files[ZIP]
    off = qnlib.header(a)["data_off"]
    yield ("first file's data flipped", with_(ZIP, flip(a, off + 8 + 4096, 1)), 1,
           [T("kChecksum", ZIP)], idx_ok)
    yield ("volumes .1 and .2 swapped", dict(files, **{v1: files[v2], v2: files[v1]}),
           None, None, None)
    extra = dict(files)
    extra[ZIP + ".3"] = b"not a volume\n" * 100
    yield ("a surplus volume .3", extra, 0, [],
           all_of(idx_ok, tree_is(vol["manifest"])))


def long_index_archive(zipbin, timeout):
    """An archive made by quarnzip whose index stream takes two chunks (incompressible
    comment lines), and its index document."""
    import base64
    import random
    import subprocess
    import tempfile
    rng = random.Random(11)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<index>", "  <zip>",
             "    <version>v4</version>", "    <files>1</files>", "    <size>6</size>",
             "    <time>6553f100</time>", "  </zip>", "  <parameter>", "    <block>32</block>",
             "    <bwt>0</bwt>", "    <cache>4</cache>", "    <cluster>64</cluster>",
             "    <esc>63</esc>", "    <flush>5</flush>", "    <sight>20</sight>",
             "    <volume>0</volume>", "  </parameter>", "  <column>1</column>",
             "  <directory>", "    <path></path>", "    <path>a</path>", "  </directory>"]
    lines += ["  <!-- " + base64.b64encode(rng.randbytes(48)).decode() + " -->"
              for _ in range(45000)]
    lines += ["  <file>", "    <name>h.txt</name>", "    <size>6</size>",
              "    <time>6553f100</time>", "    <path>a</path>", "  </file>", "</index>", ""]
    index = "\n".join(lines).encode()
    with tempfile.TemporaryDirectory(prefix="qn-long-") as tmp:
        tmp = Path(tmp)
        (tmp / "src" / "a").mkdir(parents=True)
        (tmp / "src" / "a" / "h.txt").write_bytes(b"hello\n")
        (tmp / "index.xml").write_bytes(index)
        (tmp / "qn.ini").write_bytes(b"language=2\n")
        subprocess.run([str(Path(zipbin).resolve()), "-1", "--index-in", "index.xml",
                        "--source", "src", ZIP], cwd=tmp, check=True, timeout=timeout * 4,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       env=qnlib.sanitizer_env())
        return (tmp / ZIP).read_bytes(), index


def long_index_scenarios(zipbin, timeout):
    a, index = long_index_archive(zipbin, timeout)
    idx, _ = qnlib.single_file_chunks(a)
    if len(idx) < 2:
        yield "index stream of two chunks", {ZIP: a}, 1, ["quarnzip made one chunk only"], None
        return

    def only_ok(box, res):
        p = box.work / "out.xml"
        return [] if p.exists() and p.read_bytes() == index else ["out.xml is not the index"]
    yield "intact", {ZIP: a}, 0, [], only_ok
    yield ("second index chunk flipped", {ZIP: flip(a, idx[1][0] + 999, 4)}, 1,
           [T("kChecksum", ZIP)], no_destination)
    first_end = idx[0][1]
    for delta, want in ((0, "kNoEndCode"), (8, "kChecksum"), (4, "kErrReadZip")):
        d = bytearray(a)
        qnlib.set_u64(d, 8, first_end + delta)
        yield (f"index stream ends {delta} bytes after its first chunk", {ZIP: bytes(d)}, 1,
               [T(want, ZIP)], no_destination)


def symlink_scenario(tiny):
    """A destination whose directory 'a' is a link to a folder outside it."""
    def prepare(box):
        outside = box.base / "elsewhere"
        outside.mkdir()
        (box.work / "out").mkdir()
        (box.work / "out" / "a").symlink_to(outside)

    def extra(box, res):
        out = []
        if list((box.base / "elsewhere").iterdir()):
            out.append("a file was written through the link, outside the destination")
        if not res.messages or not all(m.startswith("Unsafe path ") for m in res.messages):
            out.append("the records below the link are not reported as unsafe")
        want = {k: v for k, v in tiny["manifest"].items() if not k.startswith(b"a")}
        got = {k: v for k, v in qnlib.read_tree(box.work / "out").items() if k != b"a"}
        out += ["tree differs: " + d for d in qnlib.tree_diff(want, got)]
        return out
    return prepare, extra


def main():
    args = qnlib.common_args(__doc__).parse_args()
    small = qnlib.load_case(args.cases, "many_small_files")
    big = qnlib.load_case(args.cases, "random_3mib")
    tiny = qnlib.load_case(args.cases, "tiny_tree")
    vol = qnlib.load_case(args.cases, "volumes_4")
    suite = qnlib.Suite("damaged archives (container)")
    groups = [("header", header_scenarios(small, tiny)), ("positions", position_scenarios(small)),
              ("sums", sum_scenarios(small, big)), ("truncation", cut_scenarios(small, big)),
              ("volumes", volume_scenarios(vol))]
    if args.zip:
        groups.append(("long index", long_index_scenarios(args.zip, args.timeout)))
    for group, scenarios in groups:
        for name, files, status, messages, extra in scenarios:
            full = f"{group}: {name}"
            if args.only and args.only not in full:
                continue
            problems, res = qnlib.check_scenario(args.unzip, files, status=status,
                                                 messages=messages, timeout=args.timeout,
                                                 extra=extra)
            suite.report(full, problems, res)
    if not args.only or args.only in "hostile: link inside the destination":
        prepare, extra = symlink_scenario(tiny)
        problems, res = qnlib.check_scenario(args.unzip, tiny["files"], status=1,
                                             timeout=args.timeout, extra=extra, prepare=prepare)
        suite.report("hostile: link inside the destination", problems, res)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
