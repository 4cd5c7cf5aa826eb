#!/usr/bin/env python3
"""Checks the folder layers of src/: every #include "folder/..." must point to the same or a
lower folder, and the folders' include graph must have no circle. Exit status 1 on a fault."""
import re
import sys
from pathlib import Path

# Lowest first. quarnunzip's subsystems are included by their folder names; quarnzip by its own.
LAYERS = ["core", "frontend", "container", "reconstruct", "decoder", "index", "driver", "quarnzip"]
# Folders that must never include each other (the two programs): quarnzip reaches the
# decompressor only through its driver (list and test), never below it.
APART = {("quarnzip", n) for n in LAYERS[1:6]} | {(n, "quarnzip") for n in LAYERS[1:7]}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/')


def folder_of(path: Path, src: Path) -> str:
    parts = path.relative_to(src).parts
    if parts[0] == "quarnunzip":
        return parts[1] if len(parts) > 2 else "driver"  # main.cc sits on top, with the driver
    return parts[0]


def main() -> int:
    src = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src")
    faults, edges = [], {}
    for f in sorted(src.rglob("*")):
        if f.suffix not in (".h", ".cc", ".def"):
            continue
        here = folder_of(f, src)
        for no, line in enumerate(f.read_text(encoding="utf-8").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m or m.group(1) == here:
                continue
            there = m.group(1)
            edges.setdefault(here, set()).add(there)
            where = f"{f.relative_to(src)}:{no}"
            if here not in LAYERS or there not in LAYERS:
                faults.append(f"{where}: unknown folder in {here} -> {there}")
            elif (here, there) in APART:
                faults.append(f"{where}: {here} includes {there} (the programs stay apart)")
            elif LAYERS.index(there) > LAYERS.index(here):
                faults.append(f"{where}: {here} includes the upper folder {there}")
    # Circles among folders (depth-first search over the include graph).
    state = {}

    def visit(n, path):
        state[n] = 1
        for m in sorted(edges.get(n, ())):
            if state.get(m) == 1:
                faults.append("include circle: " + " -> ".join(path[path.index(m):] + [m]))
            elif m not in state:
                visit(m, path + [m])
        state[n] = 2

    for n in sorted(edges):
        if n not in state:
            visit(n, [n])
    for f in faults:
        print(f)
    print(f"{len(faults)} layer faults" if faults else "layers ok")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
