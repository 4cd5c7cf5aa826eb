#!/usr/bin/env python3
# The command line of quarnunzip end to end: argument count, index-only runs, destination
# forms, the configuration file, message languages and the run summary.
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qnlib  # noqa: E402
from qnlib import T  # noqa: E402

ZIP = "archive.qn"
CN_FAIL_OPEN_ZIP = "打开压缩文件%s失败"          # the GBK text of "Fail opening zip file %s"


def gbk(text):
    return text.encode("gbk")


def scenarios(tiny):
    files = tiny["files"]
    manifest = tiny["manifest"]
    index = tiny["index"]

    def usage(box, res):
        out = []
        if not res.stdout.startswith(b"\n*** Quarnel -- Decompressor, Version: v20"):
            out.append("the banner is not the first output")
        if b"Command usage (Strict sequence of parameters):" not in res.stdout:
            out.append("no usage text")
        if b"  quarnunzip zip_file index_xml_file [destination_path]" not in res.stdout:
            out.append("the usage text does not name quarnunzip")
        if (box.work / "qn_error.log").exists():
            out.append("the usage text was logged")
        return out
    yield "no arguments", files, [], 1, [], usage, b"\n", ()
    yield "one argument", files, [ZIP], 1, [], usage, b"\n", ()
    yield "four arguments", files, [ZIP, "a.xml", "out", "x"], 1, [], usage, b"\n", ()

    def index_only(name):
        def check(box, res):
            out = []
            p = box.work / name
            if not p.exists() or p.read_bytes() != index:
                out.append(f"{name} is not the index document")
            if (box.work / "out").exists() or (box.work / "a").exists():
                out.append("an index-only run created destination files")
            if b"0 files decompressed, time: " not in res.stdout:
                out.append("the summary does not count 0 files")
            return out
        return check
    yield "index only", files, [ZIP, "only.xml"], 0, [], index_only("only.xml"), b"\n", ()
    yield "third argument -xml", files, [ZIP, "only.xml", "-xml"], 0, [], index_only("only.xml"), b"\n", ()

    def tree_at(rel):
        def check(box, res):
            got = qnlib.read_tree(box.work / rel) if rel else {
                k: v for k, v in qnlib.read_tree(box.work).items() if k.split(b"/")[0] in (b"a", b"c", b"top.txt")}
            out = ["tree differs: " + d for d in qnlib.tree_diff(manifest, got)]
            if b"4 files decompressed, time: " not in res.stdout:
                out.append("the summary does not count the 4 files")
            return out
        return check
    yield "destination out", files, [ZIP, "out.xml", "out"], 0, [], tree_at("out"), b"\n", ()
    yield "destination out/", files, [ZIP, "out.xml", "out/"], 0, [], tree_at("out"), b"\n", ()
    yield "destination out\\", files, [ZIP, "out.xml", "out\\"], 0, [], tree_at("out"), b"\n", ()
    yield "empty destination", files, [ZIP, "out.xml", ""], 0, [], tree_at(""), b"\n", ("a", "c", "top.txt")
    yield "backslash in the index path", files, [ZIP, "sub\\out.xml", "out"], 1, \
        [T("kFailCreateXml", "sub/out.xml")], None, b"\n", ()
    yield "archive path of 255", files, ["x" * 255, "out.xml", "out"], 1, \
        [T("kFailOpenZip", "x" * 255)], None, b"\n", ()


def too_long(box, res):
    out = []
    if not res.messages or not res.messages[0].startswith(T("kTooLongParam") + " ("):
        out.append("the long argument is not reported in both languages")
    return out


def main():
    args = qnlib.common_args(__doc__).parse_args()
    tiny = qnlib.load_case(args.cases, "tiny_tree")
    suite = qnlib.Suite("command line")
    for name, files, argv, status, messages, extra, stdin, outputs in scenarios(tiny):
        if args.only and args.only not in name:
            continue
        problems, res = qnlib.check_scenario(args.unzip, files, args=argv, status=status,
                                             messages=messages, stdin=stdin,
                                             timeout=args.timeout, extra=extra, outputs=outputs)
        suite.report(name, problems, res)

    # An argument of 256 characters: reported before the configuration is read (both texts).
    problems, res = qnlib.check_scenario(args.unzip, tiny["files"],
                                         args=["x" * 256, "out.xml", "out"], status=1,
                                         timeout=args.timeout, extra=too_long)
    suite.report("archive path of 256", problems, res)

    # Password entry through standard input (the archive's password is "7").
    pwd = qnlib.load_case(args.cases, "password_1byte")

    def restored(box, res):
        got = qnlib.read_tree(box.work / "out")
        return ["tree differs: " + d for d in qnlib.tree_diff(pwd["manifest"], got)[:10]]

    def refused_then_taken(box, res):
        out = restored(box, res)
        if b"Password can't include Chinese character" not in res.stdout:
            out.append("the non-ASCII entry was not refused")
        if res.stdout.count(b"Please input the password") != 2:
            out.append("the prompt was not shown again")
        return out
    for name, stdin, status, extra in (
            ("password ended by the end of input", b"7", 0, restored),
            ("password with a backspace", b"x\b7\n", 0, restored),
            ("non-ASCII password refused, then the right one", "é\n7\n".encode(), 0,
             refused_then_taken),
            ("empty password on a password archive", b"", 1, None)):
        if args.only and args.only not in name:
            continue
        problems, res = qnlib.check_scenario(args.unzip, pwd["files"], status=status,
                                             messages=[] if status == 0 else None,
                                             stdin=stdin, timeout=args.timeout, extra=extra)
        suite.report(name, problems, res)

    # Configuration file: missing, unknown key, out-of-range value, languages.
    def with_ini(text):
        def prepare(box):
            ini = box.work / "qn.ini"
            if text is None:
                ini.unlink()
            else:
                ini.write_bytes(text)
        return prepare
    cfg = [("no qn.ini", None, 1, lambda r: r.messages[:1] and r.messages[0].startswith(
                "Fail opening config file 'qn.ini' (")),
           ("unknown key", b"language=2\nspeed=9\n", 1,
            lambda r: r.messages == ["Unknown parameter 'speed=9'"]),
           ("key with a blank", b"language=2\nblock = 4\n", 1,
            lambda r: r.messages == ["Unknown parameter 'block = 4'"]),
           ("cluster 96", b"language=2\ncluster=96\n", 1,
            lambda r: r.messages == [T("kParClusterPow2"), T("kErrParamFile", "qn.ini")]),
           ("config values reset to defaults", b"language=2\nbwt=1\ncache=64\ncolumn=5\n", 0,
            lambda r: r.messages == []),
           ("language 1", b"language=1\n", 1,
            lambda r: r.stdout.count(gbk(CN_FAIL_OPEN_ZIP % "missing.qn")) == 1
            and b"Fail opening" not in r.stdout),
           ("language 0", b"language=0\n", 1,
            lambda r: b"Fail opening zip file missing.qn (" + gbk(CN_FAIL_OPEN_ZIP % "missing.qn")
            + b")" in r.stdout)]
    for name, text, status, ok in cfg:
        if args.only and args.only not in name:
            continue
        argv = ["missing.qn", "out.xml", "out"] if name.startswith("language") else [ZIP, "out.xml", "out"]
        problems, res = qnlib.check_scenario(
            args.unzip, tiny["files"], args=argv, status=status, timeout=args.timeout,
            prepare=with_ini(text),
            extra=lambda box, res, ok=ok: [] if ok(res) else ["unexpected reports or texts"])
        suite.report("config: " + name, problems, res)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
