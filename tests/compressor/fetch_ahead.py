#!/usr/bin/env python3
"""The match finder's hot loops must keep their prefetch instructions. g++ once took the helpers
that issue them for pure functions and dropped every call, which no output shows: only the
speed fell. Usage: fetch_ahead.py QUARNZIP. Exit status 1 when a loop has lost them."""
import re
import subprocess
import sys

# The functions whose loops fetch ahead: the finder threads' scan and the parser's reads.
FUNCTIONS = ["qn::zip::MatchTree::search(", "qn::zip::MatchTree::matchesAt(", "qn::zip::MatchTree::headMatches("]


def prefetches(disassembly: str) -> dict:
    counts, current = {}, None
    for line in disassembly.splitlines():
        head = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if head:
            current = next((f for f in FUNCTIONS if head.group(1).startswith(f)), None)
            if current:
                counts.setdefault(current, 0)
        elif current and "prefetch" in line:
            counts[current] += 1
    return counts


def main() -> int:
    text = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", sys.argv[1]],
                          capture_output=True, text=True, check=True).stdout
    counts = prefetches(text)
    lost = [f for f in FUNCTIONS if counts.get(f, 0) == 0]
    for f in lost:
        print(f"no prefetch left in {f}...)", file=sys.stderr)
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
