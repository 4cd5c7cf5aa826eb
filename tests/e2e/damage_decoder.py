#!/usr/bin/env python3
# Damaged archives that pass the chunk sums: payload bits flipped and the 64-bit sums
# recomputed, so the damage reaches the decoder, the interpreter, the block path and the
# index reader. Each run must end with status 0 or 1 and a known report, never a crash or
# hang, and must leave everything outside the destination as it was.
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402

ZIP = "archive.qn"
SEED = 20261206

# Source archives: plain, many files, block mode, password, small escape, rotation.
SOURCES = ["tiny_tree", "many_small_files", "bwt_b1_text", "bwt_9_bytes", "password_1byte",
           "coder_esc1_flush1", "rotation_col7_cl64"]


def flip_in_stream(data, chunks, rng, bits):
    """Flips `bits` random payload bits of one stream and repairs the sums of its chunks."""
    d = bytearray(data)
    touched = set()
    for _ in range(bits):
        s, e = rng.choice(chunks)
        if e - s <= 8:
            continue
        pos = rng.randrange(s, e - 8)
        d[pos] ^= 1 << rng.randrange(8)
        touched.add((s, e))
    for s, e in touched:
        qnlib.fix_sum(d, s, e)
    return bytes(d)


def index_intact(index):
    def check(box, res):
        p = box.work / "out.xml"
        if not p.exists() or p.read_bytes() != index:
            return ["a data-stream flip changed the index document written by the first pass"]
        return []
    return check


def scenarios(cases, rng):
    for name in SOURCES:
        case = qnlib.load_case(cases, name)
        a = case["files"][ZIP]
        idx, dat = qnlib.single_file_chunks(a)
        pwd = case["case"].get("password")
        stdin = (pwd.encode() if pwd else b"") + b"\n"
        for bits in (1, 1, 2, 3, 8, 32):
            yield (f"{name}: {bits} data bit(s)", {ZIP: flip_in_stream(a, dat, rng, bits)}, stdin,
                   index_intact(case["index"]))
        for bits in (1, 2, 8):
            yield f"{name}: {bits} index bit(s)", {ZIP: flip_in_stream(a, idx, rng, bits)}, stdin, None
    # Systematic: each of the first 48 bits of a data stream (filler and first symbols).
    case = qnlib.load_case(cases, "tiny_tree")
    a = case["files"][ZIP]
    _, dat = qnlib.single_file_chunks(a)
    s, e = dat[0]
    for bit in range(48):
        d = bytearray(a)
        word, k = divmod(bit, 32)
        d[s + 4 * word + (31 - k) // 8] ^= 1 << ((31 - k) % 8)   # stream bit order: bit 31 first
        qnlib.fix_sum(d, s, e)
        yield f"tiny_tree: stream bit {bit}", {ZIP: bytes(d)}, b"\n", index_intact(case["index"])


def main():
    args = qnlib.common_args(__doc__).parse_args()
    rng = random.Random(SEED)
    suite = qnlib.Suite("damaged archives (decoder)")
    for name, files, stdin, extra in scenarios(args.cases, rng):
        if args.only and args.only not in name:
            continue
        problems, res = qnlib.check_scenario(args.unzip, files, status=None, stdin=stdin,
                                             timeout=args.timeout, extra=extra)
        suite.report(name, problems, res)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
