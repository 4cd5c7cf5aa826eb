#!/usr/bin/env python3
# Plants the faults of scripts/faults.txt one at a time, rebuilds, runs ctest and records which tests catch each.
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULT = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.*\s*(.*?)\s+[\d.]+ sec\s*$")


def read_faults(path):
    """Records separated by blank lines; "key: value" lines, "| text" continues the last value."""
    faults, rec, key = [], {}, None
    for line in Path(path).read_text(encoding="utf-8").splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if rec:
                faults.append(rec)
            rec, key = {}, None
        elif line.startswith("|"):
            rec[key] += "\n" + line[2:]
        else:
            key, _, value = line.partition(":")
            rec[key.strip()] = value[1:] if value.startswith(" ") else value
    for f in faults:
        missing = {"id", "where", "what", "find", "put"} - f.keys()
        if missing:
            sys.exit(f"fault {f.get('id', '?')}: missing {', '.join(sorted(missing))}")
    ids = [f["id"] for f in faults]
    if len(ids) != len(set(ids)):
        sys.exit("fault ids are not unique")
    return faults


def locate(src, fragment):
    """The one file under src that holds fragment; otherwise an explanation."""
    needle, hits = fragment.encode(), []
    for p in sorted(src.rglob("*")):
        if p.is_file():
            n = p.read_bytes().count(needle)
            hits += [p] * n
    if len(hits) != 1:
        where = ", ".join(str(h.relative_to(src)) for h in hits)
        return None, f"fragment found {len(hits)} times" + (f" ({where})" if where else "")
    return hits[0], None


def build(bdir):
    r = subprocess.run(["cmake", "--build", str(bdir), "-j2"], capture_output=True, text=True)
    return r.returncode == 0, (r.stdout + r.stderr)[-3000:]


def kill_tree(pid):
    """Kills a process and all its descendants (test scripts start some in sessions of their own)."""
    children = {}
    for d in filter(str.isdigit, os.listdir("/proc")):
        try:
            ppid = int(Path(f"/proc/{d}/stat").read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(ppid, []).append(int(d))
    todo, tree = [pid], []
    while todo:
        tree.append(todo.pop())
        todo += children.get(tree[-1], [])
    for p in tree:
        try:
            os.kill(p, signal.SIGKILL)
        except ProcessLookupError:
            pass


def run_ctest(bdir, names, limit, deadline, cost=None, first=False):
    """Runs each test in a ctest of its own, two at a time, the longest (by cost) first. A test still
    running after limit(name) seconds is killed with everything it started, so that a hang stalls only
    itself; after deadline seconds in all (or the first failure, with first), tests not started are
    left out. Returns {name: (status, seconds)}."""
    pending = sorted(names, key=lambda n: -(cost or {}).get(n, 0))
    running, result = {}, {}
    stop_at = time.time() + deadline
    try:
        while pending or running:
            failed = first and any(st not in ("Passed", "Skipped") for st, _ in result.values())
            if time.time() > stop_at or failed:
                pending = []
            while pending and len(running) < 2:
                n = pending.pop(0)
                out = tempfile.TemporaryFile("w+")
                p = subprocess.Popen(["ctest", "--test-dir", str(bdir), "-R", f"^{re.escape(n)}$"],
                                     stdout=out, stderr=subprocess.STDOUT, text=True)
                running[n] = (p, time.time(), out)
            time.sleep(0.05)
            for n, (p, t0, out) in list(running.items()):
                took = time.time() - t0
                if p.poll() is None and took < limit(n) and time.time() < stop_at:
                    continue
                if p.poll() is None:
                    kill_tree(p.pid)
                    p.wait()
                    result[n] = ("Timeout (limit)", took)
                else:
                    out.seek(0)
                    found = [m.group(2).strip("* ") for m in map(RESULT.match, out) if m and m.group(1) == n]
                    result[n] = (found[0] if found else "No result", took)
                out.close()
                del running[n]
    finally:
        for p, _, out in running.values():
            if p.poll() is None:
                kill_tree(p.pid)
                p.wait()
            out.close()
    return result


def failed_of(status):
    return sorted(n for n, (st, _) in status.items() if st not in ("Passed", "Skipped"))


def test_names(bdir):
    r = subprocess.run(["ctest", "--test-dir", str(bdir), "-N", "--show-only=json-v1"],
                       capture_output=True, text=True, check=True)
    return [t["name"] for t in json.loads(r.stdout).get("tests", [])]


def touch(path):
    now = time.time()
    os.utime(path, (now, now))


def shorten(tests):
    groups = {}
    for t in tests:
        head = t.split(".", 1)[0] if "." in t else t
        groups.setdefault(head, []).append(t)
    parts = []
    for head, members in groups.items():
        parts += [f"{head}.* ×{len(members)}"] if len(members) > 4 else members
    return ", ".join(parts)


def write_md(path, results, baseline_bad, seconds):
    caught = sum(1 for r in results.values() if r["failed"])
    rows = ["| fault | subsystem | what | failing | which tests |", "|---|---|---|---:|---|"]
    for fid, r in results.items():
        which = shorten(r["failed"]) if r["failed"] else r.get("note", "**not caught**")
        if r.get("slow_not_run"):
            which += " (slow tests not run)"
        if r.get("timed_out"):
            which += f" (by timeout: {', '.join(r['timed_out'])})"
        rows.append(f"| {fid} | {r['where']} | {r['what']} | {len(r['failed'])} | {which} |")
    text = ["# Planted faults", "",
            f"{len(results)} faults: {caught} caught, {len(results) - caught} not caught. "
            f"Run time {seconds / 60:.0f} min.", ""]
    if baseline_bad:
        text += ["Left out (not passing before any fault): " + ", ".join(baseline_bad), ""]
    single = [(fid, r["failed"][0]) for fid, r in results.items() if len(r["failed"]) == 1]
    text += rows + ["", "Caught by exactly one test:", ""]
    text += [f"- {fid}: {t}" for fid, t in single] or ["- none"]
    Path(path).write_text("\n".join(text) + "\n", encoding="utf-8")


def compare(before, after):
    b = json.loads(Path(before).read_text())
    a = json.loads(Path(after).read_text())
    lost = [fid for fid, r in b.items() if r["failed"] and not a.get(fid, {}).get("failed")]
    for fid in lost:
        print(f"{fid} ({b[fid]['where']}: {b[fid]['what']}): caught before by "
              f"{', '.join(b[fid]['failed'])}; not after" + ("" if fid in a else " (not run after)"))
    print(f"{len(lost)} fault(s) caught before but not after")
    return 1 if lost else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", help="configured build folder")
    ap.add_argument("--src", help="source tree (default: the one holding this script)")
    ap.add_argument("--faults", default=str(HERE / "faults.txt"))
    ap.add_argument("--only", help="comma-separated fault ids")
    ap.add_argument("--json")
    ap.add_argument("--md")
    ap.add_argument("--limit", type=float, default=120,
                    help="seconds one test may run: this, or 5 times its baseline time if longer")
    ap.add_argument("--deadline", type=float, default=1200, help="seconds for all the tests of one fault")
    ap.add_argument("--first", action="store_true",
                    help="stop a fault's run at its first failing test (caught or not, quickly)")
    ap.add_argument("--slow", help="regex of slow tests, run only when the others catch nothing")
    ap.add_argument("--check", action="store_true", help="only check that every fragment is found once")
    ap.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"))
    args = ap.parse_args()
    if args.compare:
        return compare(*args.compare)
    root = Path(args.src).resolve() if args.src else HERE.parent
    src = root / "src" if (root / "src").is_dir() else root
    faults = read_faults(args.faults)
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - {f["id"] for f in faults}
        if unknown:
            sys.exit("unknown fault ids: " + ", ".join(sorted(unknown)))
        faults = [f for f in faults if f["id"] in wanted]
    if args.check:
        bad = 0
        for f in faults:
            path, why = locate(src, f["find"])
            bad += path is None
            print(f"{f['id']}: {why or path.relative_to(src)}")
        return 1 if bad else 0
    if not args.build:
        sys.exit("--build DIR is required")
    bdir = Path(args.build)
    start = time.time()

    print("baseline: build and ctest on the unmodified tree", flush=True)
    ok, log = build(bdir)
    if not ok:
        sys.exit("baseline build failed:\n" + log)
    names = test_names(bdir)
    t0 = time.time()
    base = run_ctest(bdir, names, lambda n: 3600, 3 * 3600)  # the baseline is never cut short
    cost = {n: took for n, (_, took) in base.items()}
    limit = lambda n: max(args.limit, 5 * cost[n])  # noqa: E731
    base = {n: st for n, (st, _) in base.items()}
    baseline_bad = sorted(n for n in names if base[n] != "Passed")
    counted = [n for n in names if base[n] == "Passed"]
    print(f"baseline: {len(counted)} of {len(names)} tests pass in {time.time() - t0:.0f} s; left out: "
          f"{', '.join(f'{n} ({base[n]})' for n in baseline_bad) or 'none'}",
          flush=True)

    results = {}
    for i, f in enumerate(faults, 1):
        t0 = time.time()
        r = results[f["id"]] = {"where": f["where"], "what": f["what"], "failed": []}
        path, why = locate(src, f["find"])
        if path is None:
            r["note"] = f"refused: {why}"
            print(f"[{i}/{len(faults)}] {f['id']}: REFUSED, {why}", flush=True)
            continue
        original = path.read_bytes()
        try:
            path.write_bytes(original.replace(f["find"].encode(), f["put"].encode(), 1))
            ok, log = build(bdir)
            if not ok:
                r["note"] = "BROKEN: does not build"
                print(f"[{i}/{len(faults)}] {f['id']}: BUILD FAILED\n{log}", flush=True)
                continue
            run = lambda tests: run_ctest(bdir, tests, limit, args.deadline, cost, args.first)  # noqa: E731
            if args.slow:  # the quick tests first; the slow ones only for a fault they missed
                status = run([n for n in counted if not re.search(args.slow, n)])
                r["failed"] = failed_of(status)
                if r["failed"]:
                    r["slow_not_run"] = True
                else:
                    status = run([n for n in counted if re.search(args.slow, n)])
                    r["failed"] = failed_of(status)
            else:
                status = run(counted)
                r["failed"] = failed_of(status)
            late = [n for n in r["failed"] if status[n][0].startswith("Timeout")]
            if late:
                r["timed_out"] = late
        finally:
            path.write_bytes(original)
            touch(path)  # the next build must see the file change back
        print(f"[{i}/{len(faults)}] {f['id']} ({path.relative_to(src)}): {len(r['failed'])} failed"
              f"{' (' + str(len(late)) + ' by timeout)' if late else ''} in {time.time() - t0:.0f} s: "
              f"{shorten(r['failed']) or 'NOT CAUGHT'}", flush=True)
        if args.json:  # written as it goes, so that a stopped run keeps what it found
            Path(args.json).write_text(json.dumps(results, indent=1) + "\n")

    build(bdir)  # leave the build folder matching the restored tree
    seconds = time.time() - start
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1) + "\n")
    if args.md:
        write_md(args.md, results, baseline_bad, seconds)
    caught = sum(1 for r in results.values() if r["failed"])
    print(f"done in {seconds / 60:.1f} min: {caught} of {len(results)} faults caught", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
