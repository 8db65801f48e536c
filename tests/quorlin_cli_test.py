#!/usr/bin/env python3
"""Runs the quorlin command line and checks one behaviour.

Usage: quorlin_cli_test.py QUORLIN_BINARY GENERATOR CASE
"""

import importlib.util
import re
import subprocess
import sys


def run(binary, *args):
    return subprocess.run([binary, *args], capture_output=True, timeout=30)


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr)
    sys.exit(1)


def expect(cond, message):
    if not cond:
        fail(message)


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


def help_goes_to_stdout(binary, _generator):
    # (arguments, text the help must hold): the command list, then each command's own.
    for args, text in ((["--help"], b"points"), (["-h"], b"decode"),
                       (["points", "--help"], b"usage: quorlin points\n"),
                       (["decode", "-h"], b"--match TEXT"),
                       (["sim", "--port", "1", "--help"], b"--fixed SEED")):
        r = run(binary, *args)
        expect(r.returncode == 0, f"{args}: exit status {r.returncode}")
        expect(b"usage:" in r.stdout and text in r.stdout,
               f"{args}: usage text or {text!r} missing from stdout: {r.stdout!r}")
        expect(r.stderr == b"", f"{args}: unexpected stderr {r.stderr!r}")


CASES = {
    "points_lists_the_table": points_lists_the_table,
    "unknown_subcommand_exits_2": lambda b, _: usage_error(b, "bogus"),
    "no_subcommand_exits_2": lambda b, _: usage_error(b),
    "unknown_option_exits_2": lambda b, _: (usage_error(b, "--bogus"),
                                            usage_error(b, "points", "--bogus"),
                                            usage_error(b, "points", "extra"),
                                            usage_error(b, "decode", "--json=maybe", "f"),
                                            usage_error(b, "sim", "--fixed=1001")),
    "help_goes_to_stdout": help_goes_to_stdout,
}

if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[3] not in CASES:
        print(__doc__ + "cases: " + ", ".join(CASES), file=sys.stderr)
        sys.exit(2)
    CASES[sys.argv[3]](sys.argv[1], sys.argv[2])
