#!/usr/bin/env python3
# Compares two folder trees: the same directories and files, the same bytes, and the same
# modification times in whole seconds. Prints every difference; exit status 1 if any.
import os
import sys


def tree(root):
    rows = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, root)
            if os.path.isdir(full):
                rows[rel] = ("dir",)
            else:
                with open(full, "rb") as f:
                    data = f.read()
                rows[rel] = ("file", data, int(os.stat(full).st_mtime))
    return rows


def main():
    if len(sys.argv) != 3:
        print("usage: compare_trees.py ORIGINAL RESTORED")
        return 2
    a, b = tree(sys.argv[1]), tree(sys.argv[2])
    problems = 0
    for rel in sorted(set(a) | set(b)):
        x, y = a.get(rel), b.get(rel)
        if x is None or y is None:
            print(f"only in {'restored' if x is None else 'original'}: {rel}")
        elif x[0] != y[0]:
            print(f"differs in kind: {rel}")
        elif x[0] == "file" and x[1] != y[1]:
            print(f"bytes differ: {rel} ({len(x[1])} / {len(y[1])} bytes)")
        elif x[0] == "file" and x[2] != y[2]:
            print(f"time differs: {rel} ({x[2]} / {y[2]})")
        else:
            continue
        problems += 1
    files = sum(1 for v in a.values() if v[0] == "file")
    print(f"compared {files} files and {len(a) - files} folders: "
          f"{'identical' if not problems else f'{problems} differences'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
