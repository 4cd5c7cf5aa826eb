#!/usr/bin/env python3
# Conformance runner: extracts each case of the shared conformance folder with quarnunzip
# and compares exit status, reports (logged and printed, in order), index XML, destination
# tree (bytes and times), the world outside the destination, and an index-only run; with
# --zip, quarnzip -t (extraction's checks, no file made) and -l (the index pass and its listing).
import argparse
import os
import re
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402

SKIP = 77                              # ctest's SKIP_RETURN_CODE for disputed cases


def hostile_targets(index_xml, work):
    """Absolute places the records of the index would reach if joined naively, outside out/."""
    out, dest = [], os.path.join(work, "out")
    for rec in re.findall(r"<file>(.*?)</file>", index_xml.decode("utf-8", "surrogateescape"), re.S):
        name, path = (re.search(f"<{t}>(.*?)</{t}>", rec) for t in ("name", "path"))
        if not name:
            continue
        path, name = path.group(1) if path else "", name.group(1)
        joined = path + "/" + name if path.startswith("/") or name.startswith("/") \
            else os.path.join(dest, path, name)
        full = os.path.normpath(os.path.join(work, joined))
        if not full.startswith(dest + os.sep):
            out.append(full)
    return out


def state(p):
    if not os.path.lexists(p):
        return None
    st = os.lstat(p)
    return ("d",) if os.path.isdir(p) else ("f", st.st_size, st.st_mtime_ns, qnlib.sha256(p))


def records(index_xml):
    """The path/name of every file record of an index, in order."""
    out = []
    for rec in re.findall(rb"<file>(.*?)</file>", index_xml, re.S):
        name, path = (re.search(rb"<%s>(.*?)</%s>" % (t, t), rec) for t in (b"name", b"path"))
        path, name = path.group(1) if path else b"", name.group(1) if name else b""
        out.append(path + b"/" + name if path else name)
    return out


def checks_of(c, zip_bin, zip_name, box, timeout, check):
    """quarnzip -t gives extraction's status and reports, less those of files it does not make
    (a test depends on no destination); -l gives the index-only run's, and lists every record."""
    want, fails, runs = c["case"], [], []
    made = [m for m in want["messages"] or [] if m.startswith("Fail creating file")]
    t = dict(want, messages=None if want["messages"] is None else
             [m.replace("{dest}", "") for m in want["messages"] if m not in made])
    if made and not t["messages"]:
        t["exit_status"] = 0
    before = qnlib.read_tree(box.work, ["qn_error.log", "qn_error.bak", "out", "out.xml", "only.xml"])
    runs.append(check("quarnzip -t", qnlib.run(zip_bin, ["-t", zip_name], box.work, qnlib.stdin_for(c),
                                               timeout), t, zip_name, "", False))
    if want.get("index_only") is not None:
        res = check("quarnzip -l", qnlib.run(zip_bin, ["-l", zip_name], box.work, qnlib.stdin_for(c),
                                             timeout), want["index_only"], zip_name, "", False)
        runs.append(res)
        listed = re.findall(rb"(?m)^ *\d+  \d{4}-\d\d-\d\d \d\d:\d\d  (.*)$", res.stdout)
        if res.status == 0 and listed != records(c["index"]):
            fails.append(f"quarnzip -l lists {listed[:5]!r}..., the index holds {records(c['index'])[:5]!r}...")
    after = qnlib.read_tree(box.work, ["qn_error.log", "qn_error.bak", "out", "out.xml", "only.xml"])
    fails += ["quarnzip -l/-t made or changed: " + d for d in qnlib.tree_diff(before, after)]
    return fails, runs


def run_case(c, unzip, timeout, zip_bin=None):
    """Problems of one case (empty: it passed)."""
    want, fails = c["case"], []
    zip_name = want.get("archive", qnlib.ZIP)
    box = qnlib.Sandbox(c["files"])
    targets = [t for t in hostile_targets(c["index"], str(box.work))
               if not t.startswith(str(box.base) + os.sep)]
    before = {t: state(t) for t in targets}

    def check(what, res, expect, xml, dest, written=True):
        fails.extend(f"{what}: {p}" for p in qnlib.run_problems(res, timeout, known=False))
        if res.status != expect["exit_status"]:
            fails.append(f"{what}: exit status {res.status}, expected {expect['exit_status']}")
        msgs = [t.replace("{zip}", zip_name).replace("{xml}", xml).replace("{dest}", dest)
                for t in expect["messages"] or []]
        if expect["messages"] is not None and res.messages != msgs:
            fails.append(f"{what}: reports differ\n    expected {msgs!r}\n    got      {res.messages!r}")
        got = (box.work / xml).read_bytes() if (box.work / xml).exists() else None
        if written and want.get("index_complete") and got != c["index"]:
            at = next((i for i, (a, b) in enumerate(zip(got or b"", c["index"])) if a != b),
                      min(len(got or b""), len(c["index"])))
            fails.append(f"{what}: {xml} differs from index.xml at byte {at}: "
                         f"{None if got is None else got[max(0, at - 40):at + 40]!r}")
        return res

    try:
        runs = [check("extraction", qnlib.run(unzip, [zip_name, "out.xml", "out"], box.work,
                                               qnlib.stdin_for(c), timeout), want, "out.xml", "out/")]
        got = qnlib.read_tree(box.work / "out")
        if want.get("files_complete"):
            fails += ["destination tree differs from manifest.tsv: " + d
                      for d in qnlib.tree_diff(c["manifest"], got)[:40]]
        for rel in want.get("must_exist") or []:
            fails += ["must_exist: " + d for d in qnlib.tree_diff(c["manifest"], got, [rel.encode()])]
        fails += box.outside_changes()
        fails += [f"outside the destination: {t} changed ({st} -> {state(t)})"
                  for t, st in before.items() if state(t) != st]
        if want.get("index_only") is not None:
            runs.append(check("index only", qnlib.run(unzip, [zip_name, "only.xml"], box.work,
                                                      qnlib.stdin_for(c), timeout),
                              want["index_only"], "only.xml", ""))
        if zip_bin:
            more, zruns = checks_of(c, zip_bin, zip_name, box, timeout, check)
            fails += more
            runs += zruns
        if fails:
            print("\n".join(r.describe() for r in runs))
    finally:
        box.remove()
        for t, st in before.items():           # whatever a faulty run placed outside goes
            if st is None and os.path.lexists(t):
                shutil.rmtree(t) if os.path.isdir(t) and not os.path.islink(t) else os.unlink(t)
    return fails


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--unzip", required=True)
    ap.add_argument("--zip", help="quarnzip: its -t and -l are checked on every case too")
    ap.add_argument("--cases", default=str(qnlib.SHARED / "conformance"))
    ap.add_argument("--disputed", default=str(qnlib.SRC / "tests" / "conformance-disputed.txt"))
    ap.add_argument("--timeout", type=float, default=120.0)
    ap.add_argument("names", nargs="*")
    a = ap.parse_args()
    root = Path(a.cases)
    if not root.is_dir():
        print(f"conformance folder {root} not found (set QN_SHARED_DIR)")
        return 1
    disputed = {line.split("#")[0].split()[0] for line in Path(a.disputed).read_text().splitlines()
                if line.split("#")[0].strip()} if Path(a.disputed).exists() else set()
    names = a.names or sorted(p.name for p in root.iterdir() if (p / "case.json").exists())
    suite = qnlib.Suite("conformance")
    for name in names:
        if name in disputed:
            print(f"{name}: SKIPPED (listed in {a.disputed})")
        else:
            suite.report(name, run_case(qnlib.load_case(root, name), a.unzip, a.timeout, a.zip))
    return suite.finish() if suite.count or not names else SKIP


if __name__ == "__main__":
    sys.exit(main())
