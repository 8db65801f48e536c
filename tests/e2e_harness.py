"""What the end-to-end scripts share: running programs with a timeout,
reading a server's first line, and running one case to its exit status.

A case fails by raising Failure (through expect) and is skipped by raising
Skipped; run_case turns these into exit statuses 1 and SKIPPED for ctest.
"""

import contextlib
import ctypes
import os
import re
import select
import subprocess
import sqlite3
import sys
import tempfile
import time

PROCESS_TIMEOUT = 120  # seconds; generous for sanitizer builds and emulation
SKIPPED = 77  # the exit status ctest is told means "skipped"


class Failure(Exception):
    pass


class Skipped(Exception):
    """A case that cannot run here; the reason is printed and ctest shows it skipped."""


def expect(cond, message):
    if not cond:
        raise Failure(message)


def run(args, timeout=PROCESS_TIMEOUT):
    return subprocess.run([str(a) for a in args], capture_output=True, timeout=timeout)


def read_line(proc, deadline):
    """One line of the process's standard output, waiting until `deadline`."""
    data = b""
    fd = proc.stdout.fileno()
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        expect(left > 0, f"no complete output line in time, got {data!r}")
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 1)
            expect(chunk != b"", f"output ended before a line, got {data!r}; "
                                 f"exit status {proc.poll()}")
            data += chunk
    return data.decode("utf-8").rstrip("\n")


class Sim:
    def __init__(self, proc, port):
        self.proc, self.port = proc, port


@contextlib.contextmanager
def serving(argv, host=r"127\.0\.0\.1"):
    """A server program that prints "listening on opc.tcp://HOST:PORT" first."""
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=err)
        try:
            line = read_line(proc, time.monotonic() + 30)
            m = re.fullmatch(r"listening on opc\.tcp://" + host + r":(\d+)", line)
            expect(m is not None, f"unexpected first line of {argv[0]}: {line!r}")
            yield Sim(proc, int(m.group(1)))
        finally:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            proc.stdout.close()


def run_case(case, *args):
    """Runs case(*args) and exits: 0 passed, 1 failed, SKIPPED skipped."""
    try:
        case(*args)
    except Skipped as e:
        print(f"skipped: {e}")
        sys.exit(SKIPPED)
    except Failure as e:
        print(f"FAIL: {e}", file=sys.stderr)
        sys.exit(1)
    except subprocess.TimeoutExpired as e:
        print(f"FAIL: timed out: {e}", file=sys.stderr)
        sys.exit(1)
    print("passed")


_zstd = None


def history_rows(history, data_id):
    """(seq, device id, bytes) of every row under `data_id`, oldest first, as
    saved: compact rows (a zstd-compressed XOR with the stream's previous row)
    decoded through the system's libzstd."""
    global _zstd
    if _zstd is None:
        _zstd = ctypes.CDLL("libzstd.so.1")
        _zstd.ZSTD_decompress.restype = ctypes.c_size_t
        _zstd.ZSTD_decompress.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p,
                                          ctypes.c_size_t]
        _zstd.ZSTD_isError.argtypes = [ctypes.c_size_t]
    with contextlib.closing(sqlite3.connect(history)) as db:
        has_form = any(c[1] == "form" for c in db.execute("PRAGMA table_info(history)"))
        form = "form" if has_form else "0"
        rows = db.execute(f"SELECT seq, device_id, {form}, record FROM history WHERE data_id = ? "
                          "ORDER BY seq", (data_id,)).fetchall()
    previous, out = {}, []
    for seq, device, row_form, stored in rows:
        if row_form == 0:
            data = bytes(stored)
        else:
            base = previous.get(device)
            if base is None:
                continue  # a delta whose full row is gone
            buf = ctypes.create_string_buffer(len(base))
            n = _zstd.ZSTD_decompress(buf, len(base), bytes(stored), len(stored))
            if _zstd.ZSTD_isError(n) or n != len(base):
                continue
            data = bytes(a ^ b for a, b in zip(base, buf.raw))
        previous[device] = data
        out.append((seq, device, data))
    return out
