#!/usr/bin/env python3
# Conformance runner: extracts each case of the shared conformance folder with quarnunzip
# and compares exit status, reports, index XML, destination tree and the world outside it.
import argparse
import json
import os
import re
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402

SKIP = 77                              # ctest's SKIP_RETURN_CODE for disputed cases


def read_disputed(path):
    """Case names listed in the disputed file (one per line, '#' starts a comment)."""
    names = set()
    if path and Path(path).exists():
        for line in Path(path).read_text(encoding="utf-8").splitlines():
            line = line.split("#", 1)[0].strip()
            if line:
                names.add(line.split()[0])
    return names


def expected_messages(texts, zip_name, xml_name, dest):
    return [t.replace("{zip}", zip_name).replace("{xml}", xml_name).replace("{dest}", dest)
            for t in texts]


def hostile_targets(index_xml, work, dest):
    """Absolute places the records of the index would reach if joined naively, outside dest."""
    out = []
    text = index_xml.decode("utf-8", "surrogateescape")
    for rec in re.findall(r"<file>(.*?)</file>", text, re.S):
        name = re.search(r"<name>(.*?)</name>", rec)
        path = re.search(r"<path>(.*?)</path>", rec)
        if not name:
            continue
        joined = os.path.join(dest, path.group(1) if path else "", name.group(1))
        if (path and path.group(1).startswith("/")) or name.group(1).startswith("/"):
            joined = (path.group(1) if path else "") + "/" + name.group(1)
        full = os.path.normpath(os.path.join(work, joined))
        if not full.startswith(os.path.normpath(os.path.join(work, dest)) + os.sep):
            out.append(full)
    return out


def path_state(p):
    try:
        st = os.lstat(p)
    except FileNotFoundError:
        return None
    if os.path.isdir(p):
        return ("d",)
    return ("f", st.st_size, st.st_mtime_ns, qnlib.sha256(p))


class Case:
    def __init__(self, folder, unzip, timeout):
        self.folder = Path(folder)
        self.name = self.folder.name
        self.want = json.loads((self.folder / "case.json").read_text(encoding="utf-8"))
        self.unzip = unzip
        self.timeout = timeout
        self.problems = []
        self.details = []

    def fail(self, text):
        self.problems.append(text)

    def files(self):
        names = [self.want.get("archive", "archive.qn")] + list(self.want.get("volumes") or [])
        return {n: (self.folder / n).read_bytes() for n in names}

    def stdin(self):
        pwd = self.want.get("password")
        return (pwd.encode("utf-8") if pwd is not None else b"") + b"\n"

    def check_run(self, what, res, status, messages, zip_name, xml_name, dest):
        if res.timed_out:
            self.fail(f"{what}: no end within {self.timeout} s (hang)")
        if res.status < 0:
            self.fail(f"{what}: killed by signal {-res.status}")
        if res.sanitizer_report():
            self.fail(f"{what}: sanitizer report")
        if res.status != status:
            self.fail(f"{what}: exit status {res.status}, expected {status}")
        if messages is not None:
            want = expected_messages(messages, zip_name, xml_name, dest)
            if res.messages != want:
                self.fail(f"{what}: reports differ\n    expected {want!r}\n    got      "
                          f"{res.messages!r}")
        order = qnlib.console_order_problem(res)
        if order:
            self.fail(f"{what}: {order}")

    def check_index(self, path, what):
        want = (self.folder / self.want.get("index_xml", "index.xml")).read_bytes()
        if not path.exists():
            self.fail(f"{what}: {path.name} was not written")
            return
        got = path.read_bytes()
        if got != want:
            at = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]),
                      min(len(got), len(want)))
            self.fail(f"{what}: {path.name} differs from index.xml at byte {at} "
                      f"(lengths {len(got)} and {len(want)}): got "
                      f"{got[max(0, at - 40):at + 40]!r}")

    def check_tree(self, out):
        manifest = qnlib.read_manifest(self.folder / "manifest.tsv")
        got = qnlib.read_tree(out) if out.exists() else {}
        if self.want.get("files_complete"):
            diff = qnlib.tree_diff(manifest, got)
            if diff:
                self.fail("destination tree differs from manifest.tsv:\n    "
                          + "\n    ".join(diff[:40]))
        for rel in self.want.get("must_exist") or []:
            key = rel.encode("utf-8")
            diff = qnlib.tree_diff(manifest, got, only=[key])
            if diff:
                self.fail("must_exist: " + "; ".join(diff))

    def run(self, keep=False):
        box = qnlib.Sandbox(self.files())
        work = box.work
        index_xml = (self.folder / self.want.get("index_xml", "index.xml")).read_bytes()
        targets = hostile_targets(index_xml, str(work), "out")
        targets = [t for t in targets if not t.startswith(str(box.base) + os.sep)]
        target_before = {t: path_state(t) for t in targets}
        zip_name = self.want.get("archive", "archive.qn")
        t0 = time.monotonic()
        try:
            res = qnlib.run_unzip(self.unzip, [zip_name, "out.xml", "out"], work,
                                  self.stdin(), self.timeout)
            self.check_run("extraction", res, self.want["exit_status"], self.want["messages"],
                           zip_name, "out.xml", "out/")
            if self.want.get("index_complete"):
                self.check_index(work / "out.xml", "extraction")
            self.check_tree(work / "out")
            for change in box.outside_changes():
                self.fail("outside the destination: " + change)
            for t, st in target_before.items():
                if path_state(t) != st:
                    self.fail(f"outside the destination: {t} changed ({st} -> {path_state(t)})")
            t1 = time.monotonic()
            only = self.want.get("index_only")
            res2 = None
            if only is not None:
                res2 = qnlib.run_unzip(self.unzip, [zip_name, "only.xml"], work, self.stdin(),
                                       self.timeout)
                self.check_run("index only", res2, only["exit_status"], only["messages"],
                               zip_name, "only.xml", "")
                if self.want.get("index_complete"):
                    self.check_index(work / "only.xml", "index only")
            t2 = time.monotonic()
            print(f"{self.name}: extraction {t1 - t0:.2f} s, index only {t2 - t1:.2f} s")
            self.details = [f"--- extraction run: {res.describe()}"]
            if res2 is not None:
                self.details.append(f"--- index-only run: {res2.describe()}")
        finally:
            if self.problems or keep:
                print(f"(working folder kept: {box.base})")
            else:
                box.remove()
            for t, st in target_before.items():
                if st is None and os.path.lexists(t):
                    # A file a faulty run placed outside: remove it so reruns start clean.
                    if os.path.isdir(t) and not os.path.islink(t):
                        shutil.rmtree(t, ignore_errors=True)
                    else:
                        os.unlink(t)
        return not self.problems


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--unzip", required=True, help="the quarnunzip binary")
    ap.add_argument("--cases", default=str(qnlib.shared_dir() / "conformance"))
    ap.add_argument("--disputed", default=str(qnlib.SRC / "tests" / "conformance-disputed.txt"))
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds per run")
    ap.add_argument("--keep", action="store_true", help="keep the working folders")
    ap.add_argument("names", nargs="*", help="cases to run (default: all)")
    args = ap.parse_args()

    root = Path(args.cases)
    if not root.is_dir():
        print(f"conformance folder {root} not found (set QN_SHARED_DIR)")
        return 1
    names = args.names or sorted(p.name for p in root.iterdir() if (p / "case.json").exists())
    disputed = read_disputed(args.disputed)
    failed, skipped, passed = [], [], []
    for name in names:
        if name in disputed:
            print(f"{name}: SKIPPED (listed in {args.disputed})")
            skipped.append(name)
            continue
        case = Case(root / name, args.unzip, args.timeout)
        ok = case.run(args.keep)
        for p in case.problems:
            print(f"{name}: FAIL: {p}")
        if case.problems:
            print("\n".join(case.details))
        (passed if ok else failed).append(name)
    if len(names) > 1:
        print(f"\n{len(passed)} passed, {len(failed)} failed, {len(skipped)} skipped")
        for n in failed:
            print(f"  failed: {n}")
    if failed:
        return 1
    return SKIP if skipped and not passed else 0


if __name__ == "__main__":
    sys.exit(main())
