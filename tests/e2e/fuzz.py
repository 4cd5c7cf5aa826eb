#!/usr/bin/env python3
# Mutation loop: a fixed, seeded number of random mutations of a few small archives (bit
# flips, byte writes, cuts, inserted and deleted bytes, header fields, flips behind repaired
# chunk sums). Every run must end with status 0 or 1, without a signal, hang or sanitizer
# report, and must leave everything outside the destination as it was.
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402

ZIP = "archive.qn"
SEED = 424242
RUNS = {"tiny_tree": 60, "bwt_9_bytes": 40, "password_1byte": 20, "bad_index_comment": 40}
INTERESTING = [0, 1, 7, 8, 15, 16, 0x7F, 0x80, 0xFF, 0x100, 0xFFFF, 0x10000, 0x7FFFFFFF,
               0x80000000, 0xFFFFFFFF, 1 << 32, 1 << 63, (1 << 64) - 1]


def m_flip(d, rng):
    for _ in range(rng.choice((1, 1, 2, 4, 16))):
        d[rng.randrange(len(d))] ^= 1 << rng.randrange(8)
    return "flip"


def m_byte(d, rng):
    d[rng.randrange(len(d))] = rng.choice((0, 0xFF, rng.randrange(256)))
    return "byte"


def m_cut(d, rng):
    del d[rng.randrange(len(d)):]
    return "cut"


def m_insert(d, rng):
    pos = rng.randrange(len(d) + 1)
    d[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.choice((1, 4, 8, 13))))
    return "insert"


def m_delete(d, rng):
    pos = rng.randrange(len(d))
    del d[pos:pos + rng.choice((1, 4, 8, 13))]
    return "delete"


def m_field(d, rng):
    off, size = rng.choice(((1, 1), (2, 1), (4, 4), (8, 8), ("end", 8)))
    if off == "end":
        off = qnlib.header(d)["data_off"]
        if off + 8 > len(d):
            return m_flip(d, rng)
    value = rng.choice(INTERESTING) & ((1 << (8 * size)) - 1)
    d[off:off + size] = value.to_bytes(size, "little")
    return f"field@{off}"


def m_repaired(d, rng):
    """Payload flips with the sums repaired: the damage reaches the decoder."""
    idx, dat = qnlib.single_file_chunks(bytes(d))
    chunks = [c for c in idx + dat if c[1] - c[0] > 8]
    s, e = rng.choice(chunks)
    for _ in range(rng.choice((1, 2, 5))):
        pos = rng.randrange(s, e - 8)
        d[pos] ^= 1 << rng.randrange(8)
    qnlib.fix_sum(d, s, e)
    return "repaired"


MUTATORS = [m_flip, m_byte, m_cut, m_insert, m_delete, m_field] + [m_repaired] * 6


def main():
    ap = qnlib.common_args(__doc__)
    ap.add_argument("--seed", type=int, default=SEED, help="for exploration; ctest uses the default")
    ap.add_argument("--scale", type=int, default=1, help="runs per archive times this")
    args = ap.parse_args()
    rng = random.Random(args.seed)
    suite = qnlib.Suite("mutation loop")
    for name, runs in RUNS.items():
        case = qnlib.load_case(args.cases, name)
        pwd = case["case"].get("password")
        stdin = (pwd.encode() if pwd else b"") + b"\n"
        for i in range(runs * args.scale):
            d = bytearray(case["files"][ZIP])
            kind = rng.choice(MUTATORS)(d, rng)
            label = f"{name} #{i} {kind}"
            if args.only and args.only not in label:
                continue
            problems, res = qnlib.check_scenario(args.unzip, {ZIP: bytes(d)}, status=None,
                                                 stdin=stdin, timeout=args.timeout)
            suite.report(label, problems, res)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
