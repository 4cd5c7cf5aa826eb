#!/usr/bin/env python3
"""What a whole quarnunzip run shows around the extraction: banner, wipe line, summary, exit status.

argv: the quarnunzip binary, the conformance directory. Each run happens in a fresh working
directory holding the case's archive files and a qn.ini. Expected texts are written out here,
the Chinese ones converted to GBK by Python's own codec.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

UNZIP = os.path.abspath(sys.argv[1])
CASES = os.path.abspath(sys.argv[2])

BANNER = (b"\n*** Quarnel -- Decompressor, Version: v20261206 linux-x86_64 ***\n ("
          + "\n*** Quarnel——解压运算器，版本：v20261206 linux-x86_64 ***\n".encode("gbk") + b")\n")
SEE_LOG = b"Error occured, please see the log file 'qn_error.log'\n\n"
WIPE = b"\r" + b" " * 60 + b"\r"

failures = []


def check(name, cond, detail):
    if not cond:
        failures.append(f"{name}: {detail}")


def files_in_manifest(case):
    with open(os.path.join(CASES, case, "manifest.tsv"), encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f][1:]
    return sum(1 for r in rows if len(r) > 1 and r[1] == "f")


def run(case, args, language):
    work = tempfile.mkdtemp(prefix="qn_run_")
    src = os.path.join(CASES, case)
    for name in os.listdir(src):
        if name.startswith("archive.qn"):
            shutil.copy(os.path.join(src, name), work)
    with open(os.path.join(work, "qn.ini"), "w") as f:
        f.write(f"language={language}\n")
    r = subprocess.run([UNZIP] + args, cwd=work, input=b"\n", capture_output=True, timeout=300)
    log_path = os.path.join(work, "qn_error.log")
    log = open(log_path, "rb").read() if os.path.exists(log_path) else None
    shutil.rmtree(work)
    return r.returncode, r.stdout, log


def summary_re(count, language):
    if language == 1:
        text = f"{count} 个文件已解压，耗时：".encode("gbk") + rb"\d+" + " 秒".encode("gbk")
    else:
        text = f"{count} files decompressed, time: ".encode() + rb"\d+ seconds"
    return re.escape(WIPE) + text + b"\n"


def clean_runs():
    n = files_in_manifest("tiny_tree")
    for language in (2, 1):
        status, out, log = run("tiny_tree", ["archive.qn", "out.xml", "out"], language)
        name = f"tiny_tree language={language}"
        check(name + " status", status == 0, status)
        check(name + " banner first", out.startswith(BANNER), out[:200])
        check(name + " summary last", re.fullmatch(re.escape(BANNER) + summary_re(n, language), out), out)
        check(name + " no log", log is None, log)
    # Index only: no file is decompressed, the summary still shows a count of 0.
    status, out, log = run("tiny_tree", ["archive.qn", "only.xml"], 2)
    check("index only status", status == 0, status)
    check("index only summary", re.fullmatch(re.escape(BANNER) + summary_re(0, 2), out), out)


def reported_warning():
    # A warning lets the run finish: summary, then the stop with status 1.
    n = files_in_manifest("damaged_version3")
    status, out, log = run("damaged_version3", ["archive.qn", "out.xml", "out"], 2)
    warn = b"Warning: Zip file version v3 doesn't match the decompressor v4, please upgrade the software"
    check("warning status", status == 1, status)
    check("warning output", re.fullmatch(re.escape(BANNER + b"\n" + warn + b"\n") + rb"(?s:.*)"
                                         + summary_re(n, 2) + re.escape(SEE_LOG), out), out[-400:])
    check("warning logged", log is not None and log.endswith(b" ==== " + warn + b"\n"), log)


def usage():
    status, out, log = run("tiny_tree", ["archive.qn"], 2)
    check("usage status", status == 1, status)
    check("usage after the banner", out.startswith(BANNER + b"\nCommand usage (Strict sequence of parameters):\n"
                                                   + b"  quarnunzip zip_file"), out[:300])
    check("usage not logged", log is None, log)


def main():
    for test in (clean_runs, reported_warning, usage):
        try:
            test()
        except subprocess.TimeoutExpired as e:
            failures.append(f"{test.__name__}: {e}")
    for f in failures:
        print("FAIL", f)
    print("run framing:", "FAILED" if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
