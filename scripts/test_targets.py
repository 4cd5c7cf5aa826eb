#!/usr/bin/env python3
# Prints the build targets that the tests selected by ctest options need: the test binaries
# (by test name or by command), plus both tools. Used to build no more than a stage runs.
import json
import os
import subprocess
import sys


def main():
    build, ctest_args = sys.argv[1], sys.argv[2:]
    shown = subprocess.run(["ctest", "--test-dir", build, "-N", "--show-only=json-v1"]
                           + ctest_args, check=True, capture_output=True, text=True).stdout
    helptext = subprocess.run(["cmake", "--build", build, "--target", "help"], check=True,
                              capture_output=True, text=True).stdout
    targets = {line.split()[1] for line in helptext.splitlines() if line.startswith("... ")}
    # Both tools, and the programs every stage's tests run through (their commands are empty
    # in ctest's listing until they are built, so they cannot be found from it).
    wanted = {"quarnunzip", "quarnzip"} | ({"qn_unit", "pwd_probe", "qn_forge", "qn_install_files"} & targets)
    for test in json.loads(shown).get("tests", []):
        # A GoogleTest binary carries its test's name; script tests name their binaries
        # in their command (unbuilt binaries leave the command empty, hence both).
        if test.get("name") in targets:
            wanted.add(test["name"])
        for arg in test.get("command") or []:
            name = os.path.basename(arg)
            if name in targets:
                wanted.add(name)
    print(" ".join(sorted(wanted)))


if __name__ == "__main__":
    main()
