#!/usr/bin/env python3
"""Runs the quorlin command line and checks one behaviour.

Usage: quorlin_cli_test.py QUORLIN_BINARY GENERATOR CASE
"""

import importlib.util
import json
import os
import re
import struct
import sys
import tempfile

import e2e_harness
from e2e_harness import expect


def run(binary, *args):
    return e2e_harness.run([binary, *args])


def load_generator(path):
    loader_info = importlib.util.spec_from_file_location("gen_point_table", path)
    module = importlib.util.module_from_spec(loader_info)
    loader_info.loader.exec_module(module)
    return module


def points_lists_the_table(binary, generator):
    r = run(binary, "points")
    expect(r.returncode == 0, f"exit status {r.returncode}, stderr {r.stderr!r}")
    expect(r.stderr == b"", f"unexpected stderr {r.stderr!r}")
    text = r.stdout.decode("utf-8")  # raises on bytes that are not UTF-8
    expect(text.endswith("\n"), "output does not end with a newline")
    lines = text[:-1].split("\n")
    expect(len(lines) == 2706, f"{len(lines)} lines, expected 2706")
    row = re.compile(r"^([1-9][0-9]*)\t([0-9]+)\t([124])\t(t\|D3[^\t]+)$")
    expected = load_generator(generator).build_points()
    for n, (line, (name, offset, width)) in enumerate(zip(lines, expected), start=1):
        m = row.match(line)
        expect(m is not None, f"line {n} is malformed: {line!r}")
        got = (int(m.group(1)), int(m.group(2)), int(m.group(3)), m.group(4))
        expect(got == (n, offset, width, name),
               f"line {n} is {got}, expected {(n, offset, width, name)}")


def usage_error(binary, *args):
    """Exit status 2, nothing on stdout, and on stderr one line naming the
    command and the fault followed by the command's usage line."""
    r = run(binary, *args)
    expect(r.returncode == 2, f"{args}: exit status {r.returncode}, expected 2")
    expect(r.stdout == b"", f"{args}: unexpected stdout {r.stdout!r}")
    lines = r.stderr.decode("utf-8").splitlines()
    command = "quorlin" + ("" if not args or args[0].startswith("-") or args[0] == "bogus"
                           else " " + args[0])
    expect(len(lines) == 2 and lines[0].startswith(command + ": ")
           and lines[1].startswith("usage: " + command),
           f"{args}: stderr is not the error and the usage line of {command!r}: {lines}")


def refused_user_files(binary, _generator):
    """--user-file: refused when group or others may read it, or a line is
    not NAME:PASSWORD; the password never in the error."""
    with tempfile.TemporaryDirectory() as tmp:
        for mode, text in ((0o640, "qrn:Sec-ret-1\n"), (0o604, "qrn:Sec-ret-1\n"),
                           (0o600, "qrn:Sec-ret-1\nSec-ret-2\n")):
            path = os.path.join(tmp, "users")
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, mode)
            usage_error(binary, "sim", "--user-file", path)
            r = run(binary, "sim", "--user-file", path)
            expect(b"Sec-ret" not in r.stderr, f"password in {r.stderr!r}")


def help_goes_to_stdout(binary, _generator):
    # (arguments, text the help must hold): the command list, then each command's own.
    for args, text in ((["--help"], b"points"), (["-h"], b"decode"),
                       (["points", "--help"], b"usage: quorlin points\n"),
                       (["decode", "-h"], b"--match TEXT"),
                       (["sim", "--port", "1", "--help"], b"--fixed SEED"),
                       (["export", "--help"], b"--json-lines"),
                       (["check", "--help"], b"--config FILE")):
        r = run(binary, *args)
        expect(r.returncode == 0, f"{args}: exit status {r.returncode}")
        expect(b"usage:" in r.stdout and text in r.stdout,
               f"{args}: usage text or {text!r} missing from stdout: {r.stdout!r}")
        expect(r.stderr == b"", f"{args}: unexpected stderr {r.stderr!r}")


def decode_marks_an_invalid_stamp(binary, _generator):
    """A stamp that is no date and time is shown as such, with its bytes."""
    stamps = [  # (year, month, day, hour, minute, second), valid
        ((2024, 2, 29, 23, 59, 59), True),
        ((9999, 12, 31, 0, 0, 0), True),
        ((17386, 159, 102, 1, 2, 3), False),
        ((2023, 2, 29, 12, 0, 0), False),
        ((2026, 4, 31, 12, 0, 0), False),
        ((2026, 1, 1, 24, 0, 0), False),
        ((2026, 1, 1, 0, 60, 0), False),
        ((2026, 1, 1, 0, 0, 60), False),
        ((0, 1, 1, 0, 0, 0), False),
        ((0, 0, 0, 0, 0, 0), False),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "record.bin")
        for fields, valid in stamps:
            stamp = struct.pack("<HBBBBB", *fields)
            with open(path, "wb") as f:
                f.write(bytes(6994) + stamp)
            table = run(binary, "decode", path)
            doc = run(binary, "decode", "--json", path)
            expect(table.returncode == 0 and doc.returncode == 0,
                   f"{fields}: exit {table.returncode}/{doc.returncode}: {table.stderr!r}")
            time_line = table.stdout.decode("utf-8").split("\n")[1]
            got = json.loads(doc.stdout)
            expect(got["time_raw"] == stamp.hex(), f"{fields}: time_raw {got['time_raw']}")
            if valid:
                text = "%04d-%02d-%02d %02d:%02d:%02d" % fields
                expect(time_line == "time   " + text and got["time"] == text,
                       f"{fields}: {time_line!r}, json {got['time']!r}")
            else:
                expect(time_line == f"time   INVALID (bytes {stamp.hex(' ')}: not a date and time)"
                       and got["time"] is None, f"{fields}: {time_line!r}, json {got['time']!r}")


CASES = {
    "points_lists_the_table": points_lists_the_table,
    "unknown_subcommand_exits_2": lambda b, _: usage_error(b, "bogus"),
    "no_subcommand_exits_2": lambda b, _: usage_error(b),
    "unknown_option_exits_2": lambda b, _: (usage_error(b, "--bogus"),
                                            usage_error(b, "points", "--bogus")),
    "extra_argument_exits_2": lambda b, _: usage_error(b, "points", "extra"),
    "malformed_option_value_exits_2": lambda b, _: (
        usage_error(b, "decode", "--json=maybe", "f"), usage_error(b, "sim", "--fixed=1001"),
        usage_error(b, "sim", "--profile", "calm"),
        usage_error(b, "export", "--history", "h", "--device", "7", "--to", "2026-13")),
    "missing_or_clashing_options_exit_2": lambda b, _: (
        usage_error(b, "export", "--device", "7"), usage_error(b, "check", "--config", "c.json"),
        usage_error(b, "check", "--config", "c.json", "--device", "7", "--port", "4841")),
    "readable_or_malformed_user_file_exits_2": refused_user_files,
    "help_goes_to_stdout": help_goes_to_stdout,
    "decode_marks_an_invalid_stamp": decode_marks_an_invalid_stamp,
}

if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[3] not in CASES:
        print(__doc__ + "cases: " + ", ".join(CASES), file=sys.stderr)
        sys.exit(2)
    e2e_harness.run_case(CASES[sys.argv[3]], sys.argv[1], sys.argv[2])
