#!/usr/bin/python3
"""Size against compression CPU time, every level of every tool, from compare.sh's CSV.

Usage: bench/plot.py RATIO.csv OUT.png

The CSV has the columns corpus,tool,level,bytes,cpu,wall,rss_kb (one row per run setting,
medians already taken). One panel per corpus; one line per tool through its levels.
Needs Debian's python3-matplotlib (scripts/setup.sh installs it).
"""
import csv
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    rows = defaultdict(lambda: defaultdict(list))  # corpus -> tool -> [(cpu, bytes, level)]
    with open(sys.argv[1], newline="") as f:
        for r in csv.DictReader(f):
            rows[r["corpus"]][r["tool"]].append((float(r["cpu"]), int(r["bytes"]), r["level"]))
    corpora = list(rows)
    fig, axes = plt.subplots(1, len(corpora), figsize=(7 * len(corpora), 5.5), squeeze=False)
    for ax, corpus in zip(axes[0], corpora):
        for tool, points in sorted(rows[corpus].items()):
            points.sort(key=lambda p: abs(int(p[2])))  # through the levels in order
            ax.plot([p[0] for p in points], [p[1] / 1e6 for p in points], marker="o", label=tool)
            for cpu, size, level in points:
                ax.annotate(level, (cpu, size / 1e6), textcoords="offset points", xytext=(3, 3), fontsize=7)
        ax.set_xscale("log")
        ax.set_xlabel("compression CPU time, s (log scale)")
        ax.set_ylabel("archive size, MB")
        ax.set_title(corpus)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=110)


if __name__ == "__main__":
    main()
