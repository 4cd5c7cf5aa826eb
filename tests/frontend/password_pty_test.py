#!/usr/bin/env python3
"""Password entry through a real pseudo-terminal and through pipes.

Runs the probe program (argv[1]), which calls pwdIn() and prints "LEN=<n> HEX=<bytes>", types keys
at it, and compares everything the terminal shows, byte for byte. The prompt and the refusal are
checked in GBK, converted here by Python's own codec.
"""
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time

PROBE = os.path.abspath(sys.argv[1])
CN_PROMPT = "请输入密码".encode("gbk")
CN_REFUSE = "密码不能使用中文".encode("gbk")
PROMPT_BOTH = b"Please input the password (" + CN_PROMPT + b") : "
REFUSE_BOTH = b"Password can't include Chinese character (" + CN_REFUSE + b")"
WIPE = b"\b \b"
DEADLINE = 20  # seconds; only a guard against a hung probe

failures = []


def check(name, got, want):
    if got != want:
        failures.append(f"{name}:\n  got  {got!r}\n  want {want!r}")


class Terminal:
    """The probe on the slave side of a new pseudo-terminal; we are the typist on the master side."""

    def __init__(self, lang=None):
        self.result = os.path.abspath(f"result{os.getpid()}_{id(self)}")
        args = [PROBE, self.result] + ([str(lang)] if lang is not None else [])
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execv(PROBE, args)
        self.out = b""

    def read_more(self, done):
        """Read what the terminal shows until done() holds."""
        end = time.monotonic() + DEADLINE
        while not done():
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError(f"timed out, terminal shows {self.out!r}")
            if select.select([self.fd], [], [], left)[0]:
                try:
                    data = os.read(self.fd, 4096)
                except OSError:
                    data = b""
                if not data:
                    raise AssertionError(f"terminal closed early, it shows {self.out!r}")
                self.out += data

    def read_until(self, want):
        self.read_more(lambda: want in self.out)

    def wait_key_mode(self):
        """Wait until the probe has switched line mode and echo off to read a key.

        Keys typed while the terminal is in line mode would be echoed by the terminal itself,
        so a key is sent only once the probe is ready for it, as after seeing the last echo."""
        end = time.monotonic() + DEADLINE
        while termios.tcgetattr(self.fd)[3] & (termios.ICANON | termios.ECHO):
            if time.monotonic() > end:
                raise AssertionError("the probe never switched the terminal to key mode")
            time.sleep(0.001)

    def type(self, keys, echo):
        """Send keys in one write while the probe waits for a key; check the echo they bring."""
        self.wait_key_mode()
        before = len(self.out)
        os.write(self.fd, keys)
        self.read_more(lambda: len(self.out) >= before + len(echo))
        check(f"echo of {keys!r}", self.out[before:before + len(echo)], echo)

    def finish(self):
        """Wait for the probe to end, then take the rest of what it showed."""
        status = self.wait_exit()
        try:
            while select.select([self.fd], [], [], 0)[0]:
                data = os.read(self.fd, 4096)
                if not data:
                    break
                self.out += data
        except OSError:
            pass  # the slave side is gone once everything was read
        os.close(self.fd)
        return status

    def wait_exit(self):
        end = time.monotonic() + DEADLINE
        while True:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() > end:
                os.kill(self.pid, signal.SIGKILL)
                raise AssertionError("the probe did not end")
            time.sleep(0.01)

    def result_line(self):
        with open(self.result, "rb") as f:
            data = f.read()
        os.unlink(self.result)
        return data


def keys_backspace_byte127_refusal():
    t = Terminal()
    t.read_until(PROMPT_BOTH)
    t.type(b"a", b"*")
    t.type(b"\x08", WIPE)
    t.type(b"b", b"*")
    t.type(b"\x7f", b"*")
    t.type(b"\xb0", b"*")
    t.type(b"\r", b"\r\n" + REFUSE_BOTH + PROMPT_BOTH)  # the new prompt follows on the same line
    t.type(b"x", b"*")
    t.type(b"\x7f", b"*")
    t.type(b"\r", b"\r\n")
    status = t.finish()
    check("refusal: status", status, 0)
    check("refusal: screen", t.out,
          b"\r\n" + PROMPT_BOTH + b"*" + WIPE + b"***\r\n" + REFUSE_BOTH + PROMPT_BOTH + b"**\r\n"
          + b"LEN=2 HEX=787f\r\n")
    check("refusal: result", t.result_line(), b"LEN=2 HEX=787f\n")


def limit_of_64_bytes():
    t = Terminal(lang=2)
    prompt = b"Please input the password : "
    t.read_until(prompt)
    keys = bytes(0x21 + i for i in range(70))  # 70 printable keys in one burst
    t.type(keys, b"*" * 64 + b"\r\n")          # the entry ends by itself after 64
    status = t.finish()
    want = b"LEN=64 HEX=" + keys[:64].hex().encode()
    check("limit: status", status, 0)
    check("limit: screen", t.out, b"\r\n" + prompt + b"*" * 64 + b"\r\n" + want + b"\r\n")
    check("limit: result", t.result_line(), want + b"\n")


def erased_entry_is_empty():
    t = Terminal(lang=1)
    prompt = CN_PROMPT + b" : "
    t.read_until(prompt)
    t.type(b"\x08k", b"*")  # a backspace at the start shows and stores nothing
    t.type(b"\x08", WIPE)
    t.type(b"\r", b"\r\n")
    status = t.finish()
    check("empty: status", status, 0)
    check("empty: screen", t.out, b"\r\n" + prompt + b"*" + WIPE + b"\r\nLEN=0 HEX=\r\n")
    check("empty: result", t.result_line(), b"LEN=0 HEX=\n")


def hang_up_ends_the_entry():
    t = Terminal()
    t.read_until(PROMPT_BOTH)
    t.type(b"p", b"*")
    t.type(b"q", b"*")
    t.wait_key_mode()
    os.close(t.fd)  # the terminal goes away: the next read fails
    check("hang-up: status", t.wait_exit(), 0)
    check("hang-up: result", t.result_line(), b"LEN=2 HEX=7071\n")


def end_of_piped_input():
    cases = [
        (b"ab", b"**\n", b"LEN=2 HEX=6162"),
        (b"", b"\n", b"LEN=0 HEX="),
        (b"\xb0", b"*\n" + REFUSE_BOTH + PROMPT_BOTH + b"\n", b"LEN=0 HEX="),
        (b"ok\nlater", b"**\n", b"LEN=2 HEX=6f6b"),
    ]
    for data, echo, want in cases:
        r = subprocess.run([PROBE], input=data, capture_output=True, timeout=DEADLINE)
        check(f"pipe {data!r}: status", r.returncode, 0)
        check(f"pipe {data!r}: output", r.stdout, b"\n" + PROMPT_BOTH + echo + want + b"\n")


def main():
    work = tempfile.TemporaryDirectory(prefix="qn_pwd_")
    os.chdir(work.name)
    for test in (keys_backspace_byte127_refusal, limit_of_64_bytes, erased_entry_is_empty,
                 hang_up_ends_the_entry, end_of_piped_input):
        try:
            test()
        except (AssertionError, subprocess.TimeoutExpired) as e:
            failures.append(f"{test.__name__}: {e}")
    for f in failures:
        print("FAIL", f)
    print("password entry:", "FAILED" if failures else "all checks passed")
    os.chdir("/")
    work.cleanup()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
