#!/usr/bin/env python3
# The install: cmake --install into a scratch prefix puts both programs and both man pages in
# place; each page renders without a warning; the installed programs run on a conformance case.
# cpack -G DEB makes a package that lintian passes, whose programs run once unpacked.
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402

PAGES = {"quarnzip": ["SYNOPSIS", "OPTIONS", "EXIT STATUS", "qn.ini", "--force", "EXAMPLES"],
         "quarnunzip": ["SYNOPSIS", "SAFETY", "EXIT STATUS", "qn.ini", "qn_error.log", "EXAMPLES"]}


def page(prefix, name):
    """Problems of one man page: missing, warnings when rendered, sections missing."""
    path = prefix / "share" / "man" / "man1" / f"{name}.1.gz"
    if not path.is_file():
        return [f"no {path.relative_to(prefix)}"]
    r = subprocess.run(["man", "--warnings", "-l", str(path)], capture_output=True,
                       env=os.environ | {"MANWIDTH": "80", "LANG": "C.UTF-8"})
    text = r.stdout.decode("utf-8", "replace").replace("\u2010", "-").replace("\u2212", "-")
    return ([f"man {name}: status {r.returncode}"] if r.returncode else []) + \
        ([f"man {name} warns: {r.stderr[:300]!r}"] if r.stderr.strip() else []) + \
        [f"man {name} lacks {w}" for w in PAGES[name] if w not in text]


def main():
    a = qnlib.args(("--build", None))
    suite = qnlib.Suite("install")
    prefix = Path(tempfile.mkdtemp(prefix="qn-install-"))
    try:
        r = subprocess.run(["cmake", "--install", a.build, "--prefix", str(prefix)], capture_output=True)
        suite.report("cmake --install", [] if r.returncode == 0 else [r.stdout[-500:] + r.stderr[-500:]])
        bins = {n: prefix / "bin" / n for n in PAGES}
        suite.report("programs in bin/", [f"no bin/{n}" for n, p in bins.items() if not os.access(p, os.X_OK)])
        for name in PAGES:
            suite.report(f"man page of {name}", page(prefix, name))
        if all(os.access(p, os.X_OK) for p in bins.values()):
            c = qnlib.load_case(a.cases, "tiny_tree")
            problems, _ = qnlib.check_scenario(
                str(bins["quarnunzip"]), c["files"], status=0, messages=[],
                extra=lambda box, res: ["tree differs: " + d for d in qnlib.tree_diff(
                    c["manifest"], qnlib.read_tree(box.work / "out"))[:10]])
            suite.report("installed quarnunzip extracts a conformance case", problems)
            v = subprocess.run([str(bins["quarnzip"]), "--version"], capture_output=True, env=qnlib.env({}))
            suite.report("installed quarnzip names its build", [] if v.returncode == 0 and b"Built by " in v.stdout
                         else [v.stdout])
        package(a, suite, prefix / "deb")
    finally:
        shutil.rmtree(prefix, ignore_errors=True)
    return suite.finish()


def package(a, suite, work):
    """cpack -G DEB: the control fields, lintian without an error, and the unpacked programs."""
    r = subprocess.run(["cpack", "-G", "DEB", "--config", str(Path(a.build) / "CPackConfig.cmake"), "-B", str(work)],
                       capture_output=True)
    debs = sorted(work.glob("quarnel_*_amd64.deb"))
    suite.report("cpack -G DEB", [] if r.returncode == 0 and len(debs) == 1 else [r.stdout[-800:] + r.stderr[-800:]])
    if not debs:
        return
    fields = subprocess.run(["dpkg-deb", "-f", str(debs[0]), "Package", "Version", "Section", "Maintainer",
                             "Depends"], capture_output=True, text=True).stdout
    want = ["Package: quarnel", "Section: utils", "Maintainer: quarnel developers <", "libc6", "libstdc++6"]
    suite.report("package fields", [f"no {w!r} in {fields!r}" for w in want if w not in fields])
    if shutil.which("lintian") is None:   # scripts/deps.sh installs it
        suite.report("lintian finds no error", ["lintian is not installed (bash scripts/deps.sh)"])
    else:
        lint = subprocess.run(["lintian", "--fail-on", "error", str(debs[0])], capture_output=True, text=True)
        suite.report("lintian finds no error", [] if lint.returncode == 0 and "\nE: " not in "\n" + lint.stdout
                     else [lint.stdout[-1000:] + lint.stderr[-300:]])
    root = work / "root"
    subprocess.run(["dpkg-deb", "-x", str(debs[0]), str(root)], check=True)
    c = qnlib.load_case(a.cases, "volumes_4")
    problems, _ = qnlib.check_scenario(
        str(root / "usr" / "bin" / "quarnunzip"), c["files"], status=0, messages=[],
        extra=lambda box, res: ["tree differs: " + d for d in qnlib.tree_diff(
            c["manifest"], qnlib.read_tree(box.work / "out"))[:10]])
    suite.report("the package's quarnunzip extracts a conformance case", problems)


if __name__ == "__main__":
    sys.exit(main())
