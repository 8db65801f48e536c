#!/usr/bin/env python3
"""End-to-end tests of qrn-host, `quorlin sim` and `quorlin decode`, run as
real processes on the loopback interface.

Usage: host_e2e_test.py --quorlin BIN --host BIN --plugin MODULE
                        --not-a-plugin LIB --readelf BIN [--artifacts DIR] CASE

A case that cannot run here (the browser case without a browser or under
emulation) exits with SKIPPED (77) after one line saying why.
"""

import argparse
import contextlib
import datetime
import json
import math
import os
import queue
import random
import re
import select
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unicodedata
import urllib.error
import urllib.request

import headless_browser

PROCESS_TIMEOUT = 120  # seconds; generous for sanitizer builds
RECORD_SIZE = 7001
STAMP_OFFSET = 6994
LINE = re.compile(r"^device (\d+) round (\d+) data (\d+) size (\d+) "
                  r"time (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)$")
# Points whose bytes a later write covers: the 16-bit field behind the first,
# the time stamp over the last.
COVERED = {"t|D3二层末端进水温度": "t|D3G3_M41_HZ_PV",
           "t|D3G5_M214_TTime_M1": "the time stamp"}


SKIPPED = 77  # the exit status CTest takes for a skipped test


class Failure(Exception):
    pass


class Skipped(Exception):
    pass


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
def simulator(opts, *args, port=0):
    """`quorlin sim` on a free loopback port (or `port`); killed on every way out."""
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([opts.quorlin, "sim", "--port", str(port), *args],
                                stdout=subprocess.PIPE, stderr=err)
        try:
            line = read_line(proc, time.monotonic() + 30)
            m = re.fullmatch(r"listening on opc\.tcp://127\.0\.0\.1:(\d+)", line)
            expect(m is not None, f"unexpected first line of the simulator: {line!r}")
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


def write_config(directory, devices, name="config.json"):
    path = os.path.join(directory, name)
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"devices": devices}, f, ensure_ascii=False)
    return path


def local_device(device_id, port):
    return {"id": device_id, "address": "127.0.0.1", "port": port}


def run_host(opts, *args, timeout=PROCESS_TIMEOUT):
    return run([opts.host, "--plugin", opts.plugin, *args], timeout=timeout)


def handed_over(stdout):
    """(device id, round, data id, size, time) of each record line, in order."""
    out = []
    for line in stdout.decode("utf-8", "replace").splitlines():
        m = LINE.match(line)
        if m:
            out.append((int(m.group(1)), int(m.group(2)), int(m.group(3)),
                        int(m.group(4)), m.group(5)))
    return out


def stamp_of(record):
    s = record[STAMP_OFFSET:]
    year = s[0] | s[1] << 8
    return f"{year:04}-{s[2]:02}-{s[3]:02} {s[4]:02}:{s[5]:02}:{s[6]:02}"


def decode_json(opts, *args):
    r = run([opts.quorlin, "decode", "--json", *args])
    expect(r.returncode == 0, f"decode {args}: exit {r.returncode}: {r.stderr!r}")
    return json.loads(r.stdout.decode("utf-8"))


def fixed_value(index, width, seed):
    """What `quorlin sim --fixed SEED` serves; for 4 bytes the float's bytes."""
    if width == 1:
        return (index + seed) % 256
    if width == 2:
        return 3 * index - 4000 + seed
    return struct.pack("<f", (index - 1000) / 2 + seed).hex()


def check_fixed_values(decoded, seed, what):
    points = decoded["points"]
    expect(len(points) == 2706, f"{what}: {len(points)} points")
    covered = {p["name"]: p.get("overwritten_by") for p in points if "overwritten_by" in p}
    expect(covered == COVERED, f"{what}: overwritten points {covered}")
    wrong = []
    for p in points:
        if p["name"] in COVERED:
            continue
        i, w = p["index"] - 1, p["width"]
        got = p["raw"] if w == 4 else p["value"]
        if got != fixed_value(i, w, seed):
            wrong.append((p["name"], got, fixed_value(i, w, seed)))
    expect(not wrong, f"{what}: {len(wrong)} points differ from the simulator, "
                      f"first {wrong[:3]}")


def read_record(path):
    with open(path, "rb") as f:
        return f.read()


def near_now(text):
    t = datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")
    return abs((datetime.datetime.now() - t).total_seconds()) < 600


# --- cases -------------------------------------------------------------------

def two_devices_hand_over_their_own_records(opts):
    ids = [7, 4294967295]
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "0") as sim:
        config = write_config(tmp, [local_device(i, sim.port) for i in ids])
        dump = os.path.join(tmp, "records")  # created by the host
        r = run_host(opts, "--config", config, "--rounds", "2", "--dump-dir", dump)
        expect(r.returncode == 0, f"exit {r.returncode}: {r.stderr!r}")
        lines = handed_over(r.stdout)
        for device_id in ids:
            rounds = [n for (d, n, *_rest) in lines if d == device_id]
            expect(rounds[:2] == [1, 2] and rounds == list(range(1, len(rounds) + 1)),
                   f"device {device_id} rounds {rounds}")
        files = set(os.listdir(dump))
        expect(files == {f"{d}-{n}.bin" for (d, n, *_rest) in lines},
               f"dump files {sorted(files)} for lines {lines}")
        for (device_id, n, data_id, size, printed) in lines:
            expect((data_id, size) == (5156, RECORD_SIZE), f"line {device_id}/{n}: {data_id} {size}")
            expect(near_now(printed), f"time {printed} is not the local time now")
            path = os.path.join(dump, f"{device_id}-{n}.bin")
            record = read_record(path)
            expect(len(record) == RECORD_SIZE, f"{path}: {len(record)} bytes")
            expect(int.from_bytes(record[:4], "little") == device_id,
                   f"{path} carries device id {record[:4].hex()}")
            expect(stamp_of(record) == printed, f"{path}: stamp {stamp_of(record)} vs {printed}")
            decoded = decode_json(opts, path)
            expect(decoded["device_id"] == device_id and decoded["time"] == printed,
                   f"{path}: decoded {decoded['device_id']} {decoded['time']}")
            check_fixed_values(decoded, 0, path)


def history_restores_last_record_before_first_new_round(opts):
    with tempfile.TemporaryDirectory() as tmp:
        history = os.path.join(tmp, "history.db")
        first_dump, second_dump = os.path.join(tmp, "a"), os.path.join(tmp, "b")
        with simulator(opts, "--fixed", "0") as sim:
            config = write_config(tmp, [local_device(7, sim.port)])
            r = run_host(opts, "--config", config, "--rounds", "1", "--history", history,
                         "--dump-dir", first_dump)
            expect(r.returncode == 0, f"first run: exit {r.returncode}: {r.stderr!r}")
        time.sleep(1.1)  # the restored record must get a later stamp
        with simulator(opts, "--fixed", "1") as sim:
            config = write_config(tmp, [local_device(7, sim.port)])
            r = run_host(opts, "--config", config, "--rounds", "2", "--history", history,
                         "--dump-dir", second_dump)
            expect(r.returncode == 0, f"second run: exit {r.returncode}: {r.stderr!r}")
        expect([n for (_d, n, *_r) in handed_over(r.stdout)][:2] == [1, 2],
               f"second run lines {handed_over(r.stdout)}")

        last_before = read_record(os.path.join(first_dump, "7-1.bin"))
        restored = read_record(os.path.join(second_dump, "7-1.bin"))
        fresh = read_record(os.path.join(second_dump, "7-2.bin"))
        expect(restored[:STAMP_OFFSET] == last_before[:STAMP_OFFSET],
               "round 1 after the restart does not carry the stored point values")
        expect(stamp_of(restored) > stamp_of(last_before),
               f"restored record kept its old stamp {stamp_of(restored)}")
        check_fixed_values(decode_json(opts, os.path.join(second_dump, "7-2.bin")), 1,
                           "first new round")

        # Every hand-over was saved, in order, as the device handed it over.
        with contextlib.closing(sqlite3.connect(history)) as db:
            rows = db.execute("SELECT device_id, data_id, record FROM history ORDER BY seq").fetchall()
        expect([(d, i) for (d, i, _r) in rows] == [(7, 5156)] * 3, f"history rows {len(rows)}")
        expect([bytes(rec) for (_d, _i, rec) in rows] == [last_before, restored, fresh],
               "history does not hold the records handed over")

        from_history = decode_json(opts, "--history", history, "--device", "7")
        expect(from_history == decode_json(opts, os.path.join(second_dump, "7-2.bin")),
               "decode --history does not give the last record")
        r = run([opts.quorlin, "decode", "--history", history, "--device", "8"])
        expect(r.returncode == 1 and b"no record of device 8" in r.stderr,
               f"unknown device: exit {r.returncode} {r.stderr!r}")


def signals_stop_host_and_simulator_cleanly(opts):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts) as sim:
        config = write_config(tmp, [local_device(3, sim.port)])
        for sig, name in ((signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")):
            proc = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                deadline = time.monotonic() + 60
                while not LINE.match(read_line(proc, deadline)):
                    pass
                proc.send_signal(sig)
                _out, err = proc.communicate(timeout=30)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.communicate()
            expect(proc.returncode == 0, f"{name}: exit {proc.returncode}: {err!r}")
            expect(f"stopping on {name}".encode() in err, f"{name}: stderr {err!r}")
        sim.proc.send_signal(signal.SIGTERM)
        expect(sim.proc.wait(timeout=30) == 0, f"simulator exit {sim.proc.returncode}")


def rounds_zero_sets_up_devices_and_exits(opts):
    with tempfile.TemporaryDirectory() as tmp:
        config = write_config(tmp, [local_device(1, 1), local_device(2, 1)])
        started = time.monotonic()
        r = run_host(opts, "--config", config, "--rounds", "0")
        expect(r.returncode == 0, f"exit {r.returncode}: {r.stderr!r}")
        expect(handed_over(r.stdout) == [], "records handed over with --rounds 0")
        expect(time.monotonic() - started < 30, "--rounds 0 did not stop promptly")


def simulated_plant_is_plausible_and_moves(opts):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts) as sim:
        config = write_config(tmp, [local_device(5, sim.port)])
        dump = os.path.join(tmp, "records")
        r = run_host(opts, "--config", config, "--rounds", "2", "--dump-dir", dump)
        expect(r.returncode == 0, f"exit {r.returncode}: {r.stderr!r}")
        first = decode_json(opts, os.path.join(dump, "5-1.bin"))["points"]
        second = decode_json(opts, os.path.join(dump, "5-2.bin"))["points"]
    moved = temperatures = 0
    problems = []
    for a, b in zip(first, second):
        name, width = a["name"], a["width"]
        if name in COVERED:
            continue
        for p in (a, b):
            v = p["value"]
            if width == 1:
                ok = 0 <= v <= 3 if name.endswith("_status") else v in (0, 1)
            elif width == 2:
                ok = -32768 <= v <= 32767 and (not name.endswith("HZ_PV") or 0 <= v <= 600)
            elif v is None or math.isnan(v):
                ok = False
            elif "设定" in name or "_Set" in name:
                ok = b["value"] == a["value"]  # settings stay put
            elif "温度" in name:
                ok = -10 <= v <= 60
            elif "压力" in name:
                ok = 0 < v < 20
            elif "百分比" in name:
                ok = 0 <= v <= 100
            elif "HZ_PV" in name or "频率" in name:
                ok = 0 <= v <= 60
            elif "TTime" in name:
                ok = b["value"] >= a["value"]  # run-time counters only grow
            else:
                ok = -1e6 < v < 1e7
            if not ok:
                problems.append((name, a["value"], b["value"]))
                break
        if width == 4 and "温度" in name and "设定" not in name:
            temperatures += 1
            moved += a["value"] != b["value"]
    expect(not problems, f"{len(problems)} implausible values, first {problems[:5]}")
    expect(temperatures >= 30 and moved >= temperatures * 0.8,
           f"only {moved} of {temperatures} temperatures changed between two rounds")


def quorlin_points(opts):
    r = run([opts.quorlin, "points"])
    expect(r.returncode == 0, "quorlin points failed")
    out = []
    for line in r.stdout.decode("utf-8").splitlines():
        _i, offset, width, name = line.split("\t")
        out.append((name, int(offset), int(width)))
    return out


def synthetic_record(points):
    """A record with a distinct value in every field, device 123456 and a known stamp."""
    record = bytearray(RECORD_SIZE)
    record[0:4] = (123456).to_bytes(4, "little")
    for i, (_name, offset, width) in enumerate(points):
        if width == 1:
            record[offset] = (i * 7) % 256
        elif width == 2:
            record[offset:offset + 2] = struct.pack("<h", -i)
        else:
            record[offset:offset + 4] = struct.pack("<f", i + 0.25)
    nan_at = points[1300][1]
    record[nan_at:nan_at + 4] = bytes.fromhex("0000c07f")
    record[STAMP_OFFSET:] = struct.pack("<HBBBBB", 2026, 3, 4, 5, 6, 7)
    return bytes(record)


def display_width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def decode_prints_every_point_aligned_and_as_json(opts):
    points = quorlin_points(opts)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "record.bin")
        with open(path, "wb") as f:
            f.write(synthetic_record(points))
        r = run([opts.quorlin, "decode", path])
        expect(r.returncode == 0, f"exit {r.returncode}: {r.stderr!r}")
        lines = r.stdout.decode("utf-8").split("\n")
        expect(lines[0] == "device 123456", f"first line {lines[0]!r}")
        expect(lines[1] == "time   2026-03-04 05:06:07", f"second line {lines[1]!r}")
        rows = [l for l in lines if re.match(r"^ *\d+ +\d+ +[124] +t\|D3", l)]
        expect(len(rows) == 2706, f"{len(rows)} table rows")
        ends = set()
        for i, ((name, offset, width), row) in enumerate(zip(points, rows)):
            expected = {1: str((i * 7) % 256), 2: str(-i)}.get(width, repr(i + 0.25))
            if i == 1300:
                expected = "nan"
            if name in COVERED:
                expect(f"(partly overwritten by {COVERED[name]})" in row, f"row {row!r}")
                continue
            head = row[:row.index(name) + len(name)]
            rest = row[len(head):]
            value = rest.split()[0]
            expect(value == expected, f"{name}: shows {value!r}, expected {expected!r}")
            # The value column ends at the same display column in every row.
            ends.add(display_width(head) + len(rest.split(value)[0]) + len(value))
            if width == 4:
                raw = rest.split(value, 1)[1].split()
                expect(len(raw) == 4 and len(raw[0]) == 2, f"{name}: raw bytes {raw}")
        expect(len(ends) == 1, f"value column ends at columns {sorted(ends)}")

        decoded = decode_json(opts, path)
        expect(decoded["device_id"] == 123456 and decoded["time"] == "2026-03-04 05:06:07",
               f"json header {decoded['device_id']} {decoded['time']}")
        for i, ((name, offset, width), p) in enumerate(zip(points, decoded["points"])):
            expect((p["name"], p["offset"], p["width"], p["index"]) == (name, offset, width, i + 1),
                   f"json point {i}: {p}")
            if name in COVERED:
                continue
            if i == 1300:
                expect(p["value"] is None and p["raw"] == "0000c07f", f"NaN point: {p}")
            elif width == 4:
                expect(p["value"] == i + 0.25 and p["raw"] == struct.pack("<f", i + 0.25).hex(),
                       f"{name}: {p}")
            else:
                expect(p["value"] == ((i * 7) % 256 if width == 1 else -i), f"{name}: {p}")

        r = run([opts.quorlin, "decode", path, "--match", "蒸发器出水温度", "--match", "M211_HZ_PV1"])
        names = [n for (n, _o, _w) in points if "蒸发器出水温度" in n or "M211_HZ_PV1" in n]
        shown = [l for l in r.stdout.decode("utf-8").split("\n") if "t|D3" in l]
        expect(r.returncode == 0 and len(shown) == len(names) == 6 and
               all(n in l for n, l in zip(names, shown)), f"--match shows {shown}")


def decode_refuses_what_is_not_a_record(opts):
    with tempfile.TemporaryDirectory() as tmp:
        def file_of(size):
            path = os.path.join(tmp, f"{size}.bin")
            with open(path, "wb") as f:
                f.write(b"\0" * size)
            return path
        record = file_of(RECORD_SIZE)
        missing_db = os.path.join(tmp, "missing.db")
        cases = [
            ("missing file", [os.path.join(tmp, "nope.bin")], 1, "cannot read"),
            ("empty file", [file_of(0)], 1, "0 bytes"),
            ("one byte short", [file_of(RECORD_SIZE - 1)], 1, "7000 bytes"),
            ("one byte long", [file_of(RECORD_SIZE + 1)], 1, "more than"),
            ("a directory", [tmp], 1, "quorlin decode:"),
            ("history missing", ["--history", missing_db, "--device", "1"], 1, "cannot open history"),
            ("history not a database", ["--history", record, "--device", "1"], 1, "history"),
            ("nothing matches", [record, "--match", "no-such-point"], 1, "no point name contains"),
            ("no arguments", [], 2, "no record file"),
            ("file and history", [record, "--history", missing_db, "--device", "1"], 2, "not both"),
            ("history without device", ["--history", missing_db], 2, "--device"),
            ("device without history", [record, "--device", "1"], 2, "--history"),
            ("device not a number", ["--history", missing_db, "--device", "x7"], 2, "--device takes"),
            ("device above 32 bits", ["--history", missing_db, "--device", "4294967296"], 2, "--device takes"),
            ("unknown option", [record, "--tabel"], 2, "unknown option"),
            ("two files", [record, record], 2, "unexpected argument"),
        ]
        failures = []
        for what, args, status, text in cases:
            r = run([opts.quorlin, "decode", *args])
            if r.returncode != status or text.encode() not in r.stderr or r.stdout:
                failures.append(f"{what}: exit {r.returncode}, stderr {r.stderr[:200]!r}")
        expect(not os.path.exists(missing_db), "decode created a history file")
        expect(not failures, "\n".join(failures))


def bad_input_is_reported_with_its_exit_status(opts):
    with tempfile.TemporaryDirectory() as tmp:
        good = write_config(tmp, [local_device(1, 1)], "good.json")

        def config(text):
            path = os.path.join(tmp, f"c{len(os.listdir(tmp))}.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            return path

        not_a_dir = os.path.join(tmp, "plain-file")
        with open(not_a_dir, "w") as f:
            f.write("x")
        plug = ["--plugin", opts.plugin]
        cases = [
            # (what, arguments, exit status, text in the first line of stderr)
            ("no arguments", [], 2, "--plugin is required"),
            ("no config", plug, 2, "--config is required"),
            ("unknown option", plug + ["--config", good, "--round", "1"], 2, "unknown argument"),
            ("option without value", plug + ["--config"], 2, "--config needs a value"),
            ("rounds not a number", plug + ["--config", good, "--rounds", "two"], 2, "--rounds takes"),
            ("negative rounds", plug + ["--config", good, "--rounds", "-1"], 2, "--rounds takes"),
            ("missing config", plug + ["--config", os.path.join(tmp, "none.json")], 1, "cannot read"),
            ("config is a directory", plug + ["--config", tmp], 1, "cannot read"),
            ("invalid JSON", plug + ["--config", config('{"devices": [')], 1, "invalid JSON"),
            ("binary config", plug + ["--config", config("\x00\x01\x02")], 1, "invalid JSON"),
            ("device without id", plug + ["--config", config('{"devices": [{"address": "a"}]}')],
             1, '"id" is missing'),
            ("port above range",
             plug + ["--config", config('{"devices": [{"id": 1, "address": "a", "port": 65536}]}')],
             1, '"port" must be an integer'),
            ("plug-in missing", ["--plugin", os.path.join(tmp, "nope.so"), "--config", good],
             1, "cannot load plug-in"),
            ("plug-in not a library", ["--plugin", good, "--config", good], 1, "cannot load plug-in"),
            ("plug-in without get_providers", ["--plugin", opts.not_a_plugin, "--config", good],
             1, "has no get_providers"),
            ("dump dir under a file",
             plug + ["--config", good, "--dump-dir", os.path.join(not_a_dir, "d")], 1, "dump directory"),
            ("dump dir is a file", plug + ["--config", good, "--dump-dir", not_a_dir], 1, "dump directory"),
            ("history in a missing directory",
             plug + ["--config", good, "--history", os.path.join(tmp, "no", "h.db")], 1, "history"),
            ("history not a database", plug + ["--config", good, "--history", good], 1, "history"),
            ("http without a port", plug + ["--config", good, "--http", "127.0.0.1"], 2, "--http takes"),
            ("http port above range", plug + ["--config", good, "--http", "127.0.0.1:65536"],
             2, "--http takes"),
            ("http IPv6 without brackets", plug + ["--config", good, "--http", "::1:80"],
             2, "--http takes"),
        ]
        failures = []
        for what, args, status, text in cases:
            r = run([opts.host, *args], timeout=60)
            err = r.stderr.decode("utf-8", "replace").splitlines()
            first = err[0] if err else ""
            if r.returncode != status:
                failures.append(f"{what}: exit {r.returncode}, expected {status}; stderr {err[:3]}")
            elif not first.startswith("qrn-host: ") or text not in first:
                failures.append(f"{what}: first stderr line {first!r} lacks {text!r}")
            elif status == 1 and len(err) != 1:
                failures.append(f"{what}: {len(err)} lines on stderr: {err[:3]}")
            elif status == 2 and not any(l.startswith("usage:") for l in err):
                failures.append(f"{what}: no usage text")
            elif handed_over(r.stdout):
                failures.append(f"{what}: records were handed over")
        expect(not failures, "\n".join(failures))


def simulator_reports_a_port_in_use(opts):
    with simulator(opts) as sim:
        r = run([opts.quorlin, "sim", "--port", str(sim.port)], timeout=30)
        expect(r.returncode == 1 and b"cannot listen" in r.stderr,
               f"second simulator on port {sim.port}: exit {r.returncode} {r.stderr!r}")
    for args, text in ((["--port", "65536"], "--port takes"), (["--fixed", "x"], "--fixed takes"),
                       (["--prot", "1"], "unknown argument")):
        r = run([opts.quorlin, "sim", *args], timeout=30)
        expect(r.returncode == 2 and text.encode() in r.stderr, f"sim {args}: {r.returncode} {r.stderr!r}")


def host_provides_host_and_json_symbols_to_the_module(opts):
    def needed(path):
        r = run([opts.readelf, "-dW", path])
        return re.findall(r"\(NEEDED\).*\[(.*)\]", r.stdout.decode())
    host = needed(opts.host)
    expect(any(n.startswith("libqrnhost.so") for n in host), f"qrn-host NEEDED {host}")
    expect(any(n.startswith("libjsoncpp.so") for n in host), f"qrn-host NEEDED {host}")
    module = needed(opts.plugin)
    expect(not any(n.startswith(("libqrnhost", "libjsoncpp")) for n in module),
           f"module NEEDED {module}")


def twenty_devices_share_one_simulator(opts):
    ids = list(range(101, 121))
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "3") as sim:
        config = write_config(tmp, [local_device(i, sim.port) for i in ids])
        dump = os.path.join(tmp, "records")
        r = run_host(opts, "--config", config, "--rounds", "3", "--dump-dir", dump)
        expect(r.returncode == 0, f"exit {r.returncode}: {r.stderr[-400:]!r}")
        expect(b"qrn-host:" not in r.stderr, f"host complained: {r.stderr[-400:]!r}")
        lines = handed_over(r.stdout)
        for device_id in ids:
            rounds = [n for (d, n, *_rest) in lines if d == device_id]
            expect(len(rounds) >= 3 and rounds == list(range(1, len(rounds) + 1)),
                   f"device {device_id} rounds {rounds}")
            path = os.path.join(dump, f"{device_id}-3.bin")
            record = read_record(path)
            expect(int.from_bytes(record[:4], "little") == device_id,
                   f"{path} carries device id {record[:4].hex()}")
        check_fixed_values(decode_json(opts, os.path.join(dump, f"{ids[-1]}-3.bin")), 3,
                           "last device, round 3")
        expect(sim.proc.poll() is None, "the simulator died under twenty sessions")


# --- the live view (qrn-host --http) ------------------------------------------

URL_LINE = re.compile(r"^http: live view at (http://127\.0\.0\.1:\d+/)$")
STATES = ["no record yet", "live", "stale"]


def free_port():
    """A loopback port that nothing listens on (right now)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LiveHost:
    """qrn-host with --http; its standard output is read on a thread of its
    own so that a full pipe never holds the host up."""

    def __init__(self, proc, err):
        self.proc, self.err, self.url = proc, err, None
        self.ended = None
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("utf-8", "replace").rstrip("\n"))
        self.lines.put(None)

    def wait_line(self, pattern, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise Failure(f"no line matching {pattern.pattern} in {timeout}s")
            if line is None:
                self.err.seek(0)
                raise Failure(f"qrn-host ended (exit {self.proc.wait()}) before a line matching "
                              f"{pattern.pattern}: {self.err.read()[-400:]!r}")
            m = pattern.match(line)
            if m:
                return m

    def get(self, path):
        return http_get(self.url + path)

    def devices(self):
        status, _type, body = self.get("api/devices")
        expect(status == 200, f"api/devices: status {status} {body[:200]!r}")
        listed = json.loads(body)
        return listed, {d["id"]: d for d in listed["devices"]}

    def stop(self):
        """SIGTERM (once); the exit status and standard error."""
        if self.ended is None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
            try:
                status = self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                status = self.proc.wait()
            self.err.seek(0)
            self.ended = (status, self.err.read())
        return self.ended


@contextlib.contextmanager
def live_host(opts, *args):
    """qrn-host --http 127.0.0.1:0 with `args`, once it serves; stopped on every way out."""
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--http", "127.0.0.1:0", *args],
                                stdout=subprocess.PIPE, stderr=err)
        host = LiveHost(proc, err)
        try:
            host.url = host.wait_line(URL_LINE).group(1)
            yield host
        finally:
            host.stop()
            proc.stdout.close()


def http_get(url):
    """(status, content type, body) of a GET, error statuses included."""
    try:
        with urllib.request.urlopen(url, timeout=60) as r:
            return r.status, r.headers.get("Content-Type", ""), r.read()
    except urllib.error.HTTPError as e:
        with e:
            return e.code, e.headers.get("Content-Type", ""), e.read()


def poll(what, timeout, step, check):
    """Calls check() until it returns something truthy; bounded by `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        expect(time.monotonic() < deadline, f"timed out after {timeout}s waiting for {what}")
        time.sleep(step)


def live_view_serves_decoded_records_and_device_states(opts):
    seed = 2
    with tempfile.TemporaryDirectory() as tmp:
        history = os.path.join(tmp, "history.db")
        dump = os.path.join(tmp, "records")
        # Device 7's simulator starts only once the view shows it has nothing;
        # nothing ever answers device 9.
        port7, port9 = free_port(), free_port()
        config = write_config(tmp, [local_device(7, port7), local_device(9, port9)])
        with live_host(opts, "--config", config, "--history", history, "--dump-dir", dump) as host:
            seen = []  # device 7's states in the order they were seen

            def devices():
                listed, by_id = host.devices()
                d9 = by_id[9]
                expect((d9["state"], d9["records"], d9["last_stamp"]) == ("no record yet", 0, None),
                       f"device 9 without a controller: {d9}")
                if not seen or seen[-1] != by_id[7]["state"]:
                    seen.append(by_id[7]["state"])
                return listed, by_id[7]

            listed, d7 = devices()
            expect(listed["history"] is True and [d["id"] for d in listed["devices"]] == [7, 9],
                   f"device list {listed}")
            expect((d7["address"], d7["port"], d7["records"]) == ("127.0.0.1", port7, 0),
                   f"device 7 before its controller: {d7}")
            status, _t, body = host.get("api/devices/7/record")
            expect(status == 404 and b"no record yet" in body, f"record before any: {status} {body!r}")

            with simulator(opts, "--fixed", str(seed), port=port7) as sim:
                poll("device 7's second record", 120, 0.2, lambda: devices()[1]["records"] >= 2)

                # The document served is `quorlin decode --json` of the same record.
                for _attempt in range(10):
                    _l, before = devices()
                    status, ctype, body = host.get("api/devices/7/record")
                    _l, after = devices()
                    if before["records"] == after["records"]:
                        break
                expect(status == 200 and ctype.startswith("application/json"),
                       f"record: {status} {ctype}")
                served = json.loads(body)
                n = before["records"]
                expect(served == decode_json(opts, os.path.join(dump, f"7-{n}.bin")),
                       f"api/devices/7/record differs from quorlin decode --json of 7-{n}.bin")
                expect(before["last_stamp"] == served["time"], f"{before} vs {served['time']}")
                check_fixed_values(served, seed, "served record")

                # Each point's history: one value per stored record, oldest first.
                by_width = {}
                for p in served["points"]:
                    if p["name"] not in COVERED:
                        by_width.setdefault(p["width"], p)
                with contextlib.closing(sqlite3.connect(history)) as db:
                    stored = db.execute("SELECT COUNT(*) FROM history WHERE device_id = 7").fetchone()[0]
                for width, p in sorted(by_width.items()):
                    status, _t, body = host.get(f"api/devices/7/points/{p['index']}/history?minutes=5")
                    expect(status == 200, f"history of {p['name']}: {status} {body!r}")
                    h = json.loads(body)
                    expect((h["device_id"], h["index"], h["name"], h["width"], h["minutes"]) ==
                           (7, p["index"], p["name"], width, 5), f"history header {h}")
                    times = [t for t, _v in h["values"]]
                    expect(stored <= len(times) <= stored + 3 and times == sorted(times) and
                           all(near_now(t) for t in times), f"history of {p['name']}: times {times}")
                    expect(all(v == p["value"] for _t, v in h["values"]),
                           f"history of {p['name']}: values {h['values']}, record {p['value']}")

                cases = [
                    ("unknown device", "api/devices/8/record", 404, "no device 8"),
                    ("device id not a number", "api/devices/seven/record", 404, "no device seven"),
                    ("device id 2^32 + 7", "api/devices/4294967303/record", 404, "no device"),
                    ("device id with sign", "api/devices/+7/record", 404, "no device"),
                    ("unknown part of a device", "api/devices/7/records", 404, "no such page"),
                    ("no record yet", "api/devices/9/record", 404, "no record yet"),
                    ("point 0", "api/devices/7/points/0/history", 404, "no point 0"),
                    ("point past the table", "api/devices/7/points/2707/history", 404, "no point 2707"),
                    ("point of an unknown device", "api/devices/8/points/1/history", 404, "no device 8"),
                    ("unknown page", "api/nothing", 404, "no such page"),
                    ("minutes not a number", "api/devices/7/points/1/history?minutes=ten", 400, "minutes"),
                    ("minutes zero", "api/devices/7/points/1/history?minutes=0", 400, "minutes"),
                    ("minutes negative", "api/devices/7/points/1/history?minutes=-5", 400, "minutes"),
                    ("minutes above a day", "api/devices/7/points/1/history?minutes=1441", 400, "minutes"),
                    ("minutes empty", "api/devices/7/points/1/history?minutes=", 400, "minutes"),
                ]
                failures = []
                for what, path, status, text in cases:
                    got, ctype, body = host.get(path)
                    try:
                        error = json.loads(body)["error"]
                    except (ValueError, KeyError, TypeError):
                        error = None
                    if got != status or not ctype.startswith("application/json") or \
                            error is None or text not in error:
                        failures.append(f"{what}: {got} {ctype} {body[:120]!r}")
                for path, kind, text in (("", "text/html", b'<script src="/app.js">'),
                                         ("app.js", "text/javascript", b"api/devices"),
                                         ("style.css", "text/css", b"#filter"),
                                         ("api/devices/7/points/1/history?minutes=1440",
                                          "application/json", b'"minutes":1440')):
                    got, ctype, body = host.get(path)
                    if got != 200 or not ctype.startswith(kind) or text not in body:
                        failures.append(f"/{path}: {got} {ctype} {body[:80]!r}")
                expect(not failures, "\n".join(failures))
                expect(sim.proc.poll() is None, "the simulator ended early")

            # The controller is gone: two periods later the device is stale,
            # and its last record is still served.
            _l, d7 = devices()
            poll("device 7 to go stale", 2 * d7["period_seconds"] + 60, 0.5,
                 lambda: devices()[1]["state"] == "stale")
            expect(seen == STATES, f"device 7 went through {seen}")
            _l, d7 = devices()
            status, _t, body = host.get("api/devices/7/record")
            expect(status == 200 and json.loads(body)["time"] == d7["last_stamp"],
                   f"stale device's record: {status}")
        status, err = host.stop()
        expect(status == 0, f"qrn-host exit {status}: {err[-400:]!r}")


def live_view_without_history_and_on_a_taken_port(opts):
    with tempfile.TemporaryDirectory() as tmp:
        config = write_config(tmp, [local_device(1, free_port())])
        with live_host(opts, "--config", config) as host:
            listed, _by_id = host.devices()
            expect(listed["history"] is False, f"history without --history: {listed}")
            status, _t, body = host.get("api/devices/1/points/1/history")
            expect(status == 404 and b"--history" in json.loads(body)["error"].encode(),
                   f"history without --history: {status} {body!r}")
            port = host.url.rsplit(":", 1)[1].rstrip("/")
            r = run_host(opts, "--config", config, "--http", f"127.0.0.1:{port}", "--rounds", "0")
            err = r.stderr.decode("utf-8", "replace").splitlines()
            expect(r.returncode == 1 and len(err) == 1 and
                   err[0].startswith(f"qrn-host: cannot listen on 127.0.0.1:{port}"),
                   f"second host on port {port}: exit {r.returncode} {err}")
            expect(b"live view at" not in r.stdout, f"second host printed {r.stdout!r}")


def crafted_record(points, device_id, rng):
    """Every field filled: random bit patterns and plant-like values, and the
    float values whose text is easiest to get wrong."""
    record = bytearray(RECORD_SIZE)
    record[0:4] = device_id.to_bytes(4, "little")
    special = ["00000000", "00000080", "0000c07f", "0000807f", "000080ff", "01000000",
               "ffff7f7f", "ffff7fff", "cdcccc3d", "0000803f", "80969818", "17b7d138",
               "f9021550", "00008047", "01008047", "c9ad3c41"]
    for i, (_name, offset, width) in enumerate(points):
        if width == 1:
            record[offset] = rng.randrange(256)
        elif width == 2:
            record[offset:offset + 2] = struct.pack("<h", rng.randrange(-32768, 32768))
        elif i % 3 == 0:
            record[offset:offset + 4] = rng.getrandbits(32).to_bytes(4, "little")
        elif i % 3 == 1:
            record[offset:offset + 4] = struct.pack("<f", rng.uniform(-50, 150))
        else:
            record[offset:offset + 4] = bytes.fromhex(special[(i // 3) % len(special)])
    return bytes(record)


def decoded_table(opts, path):
    """index -> (name, value text, raw text) from `quorlin decode`'s table."""
    r = run([opts.quorlin, "decode", path])
    expect(r.returncode == 0, f"decode {path}: {r.stderr!r}")
    out = {}
    for line in r.stdout.decode("utf-8").splitlines():
        m = re.match(r"^ *(\d+) +\d+ +[124] +(t\|\S+) +(\S+)((?: [0-9a-f]{2}){4})?", line)
        if m:
            out[int(m.group(1))] = (m.group(2), m.group(3), (m.group(4) or "").strip())
    expect(len(out) == 2706, f"decode table has {len(out)} rows")
    return out


ROWS_JS = """[...document.querySelectorAll('#groups tr[data-index]')].map(tr => {
  const kind = tr.closest('.kind'), unit = tr.closest('.unit');
  return [Number(tr.dataset.index), tr.querySelector('.name').firstChild.textContent,
          tr.querySelector('.val').textContent, tr.querySelector('.val').title,
          !!tr.querySelector('.mark'), unit.querySelector('h3').textContent,
          kind.querySelector('h4').textContent.replace(/ \\(\\d+\\)$/, ''),
          tr.offsetParent !== null];
})"""


def browser_shows_served_values_and_filters(opts):
    if os.environ.get("QRN_TEST_EMULATOR"):
        raise Skipped("no browser test in the emulated run")
    browser = headless_browser.find_browser()
    if browser is None:
        raise Skipped("no chromium-headless-shell or chromium installed")
    points = quorlin_points(opts)
    with tempfile.TemporaryDirectory() as tmp:
        # A stored record that the host hands over again at start-up: the page
        # then shows values fixed in advance. No controller ever answers.
        history = os.path.join(tmp, "history.db")
        config = write_config(tmp, [local_device(7, free_port()), local_device(8, free_port())])
        r = run_host(opts, "--config", config, "--history", history, "--rounds", "0")
        expect(r.returncode == 0, f"creating the history: {r.stderr!r}")
        stored = crafted_record(points, 7, random.Random(2706))
        with contextlib.closing(sqlite3.connect(history)) as db:
            db.execute("INSERT INTO history (device_id, data_id, saved_at, record) VALUES (?, ?, ?, ?)",
                       (7, 5156, datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"), stored))
            db.commit()
        dump = os.path.join(tmp, "records")
        with live_host(opts, "--config", config, "--history", history, "--dump-dir", dump) as host:
            shown = os.path.join(dump, "7-1.bin")  # the restored record, handed over
            poll("the restored record's dump", 60, 0.1,
                 lambda: os.path.exists(shown) and os.path.getsize(shown) == RECORD_SIZE)
            record = read_record(shown)
            expect(record[4:STAMP_OFFSET] == stored[4:STAMP_OFFSET], "the restored record differs")
            table = decoded_table(opts, shown)
            status, _t, body = host.get("api/devices/7/record")
            expect(status == 200, f"record: {status}")
            served = {p["index"]: p for p in json.loads(body)["points"]}

            with headless_browser.Browser(*browser) as b:
                started = time.monotonic()
                b.open(host.url)
                b.wait_for("document.body && document.body.dataset.firstRecordMs", what="the record")
                print(f"page: first record drawn {b.evaluate('document.body.dataset.firstRecordMs')} ms "
                      f"after navigation start, {time.monotonic() - started:.2f}s here")
                states = b.evaluate("[...document.querySelectorAll('#devices tbody tr')]"
                                    ".map(tr => [...tr.cells].map(c => c.textContent))")
                expect([s[:4] for s in states] == [["7", host_addr(config, 7), "live", "1"],
                                                   ["8", host_addr(config, 8), "no record yet", "0"]],
                       f"device rows {states}")

                rows = b.evaluate(ROWS_JS)
                expect(len(rows) == 2706 and {r[0] for r in rows} == set(range(1, 2707)),
                       f"{len(rows)} point rows")
                wrong = []
                for index, name, value, title, mark, unit, kind, _visible in rows:
                    d_name, d_value, _raw = table[index]
                    offset, width = points[index - 1][1], points[index - 1][2]
                    raw = " ".join(f"{b:02x}" for b in record[offset:offset + width])
                    if (name, value) != (d_name, d_value) or not title.endswith(raw) or \
                            mark != (name in COVERED):
                        wrong.append((index, name, value, d_value, title, raw, mark))
                expect(not wrong, f"{len(wrong)} points differ from quorlin decode, first {wrong[:4]}")
                known = next(r for r in rows if r[1] == "t|D3G3_M11_冷凝器出水温度")
                p = served[known[0]]
                expect(known[2] == table[known[0]][1] and struct.pack("<f", float(known[2])) ==
                       bytes.fromhex(p["raw"]), f"known point shows {known[2]}, served {p}")
                groups = {r[1]: (r[5], r[6]) for r in rows}
                for name, group in (("t|D3G1_AI1_1_H_Alarm", ("unit 1", "analog inputs")),
                                    ("t|D3G3_M11_冷凝器出水温度", ("unit 3", "motors")),
                                    ("t|D3G5_V2_OD", ("unit 5", "valves")),
                                    ("t|D3_NLG_16_1_瞬时流量", ("plant", "meters")),
                                    ("t|D3G4_Working_Mode", ("unit 4", "system"))):
                    expect(groups.get(name) == group, f"{name} in {groups.get(name)}, not {group}")

                # Typing in the filter box narrows the list to matching points.
                b.type_text("#filter", "hz_pv1")
                expected = sorted(i for i, (n, _v, _r) in table.items() if "hz_pv1" in n.lower())
                visible = b.wait_for(f"(() => {{ const v = ({ROWS_JS}).filter(r => r[7]);"
                                     f" return v.length === {len(expected)} && v; }})()",
                                     timeout=10, what="the filter to apply")
                expect(sorted(r[0] for r in visible) == expected, f"filter shows {visible}")
                count = b.evaluate("document.getElementById('count').textContent")
                expect(count == f"{len(expected)} of 2706 points", f"count {count!r}")

                # A click on a point draws its trend from the history.
                target = expected[0]
                b.evaluate(f"document.querySelector('tr[data-index=\"{target}\"]').click()")
                n = b.wait_for("document.querySelectorAll('#trend-svg polyline').length &&"
                               " document.querySelector('#trend-svg polyline')"
                               ".getAttribute('points').split(' ').length",
                               timeout=20, what="the trend line")
                with contextlib.closing(sqlite3.connect(history)) as db:
                    rows_7 = db.execute("SELECT COUNT(*) FROM history WHERE device_id = 7").fetchone()[0]
                expect(n == rows_7, f"trend of point {target} has {n} points, history {rows_7} rows")
                os.makedirs(opts.artifacts, exist_ok=True)
                b.screenshot(os.path.join(opts.artifacts, "live-view-test.png"))


def host_addr(config_path, device_id):
    with open(config_path, encoding="utf-8") as f:
        device = next(d for d in json.load(f)["devices"] if d["id"] == device_id)
    return f"{device['address']}:{device['port']}"


CASES = {f.__name__: f for f in (
    twenty_devices_share_one_simulator,
    two_devices_hand_over_their_own_records,
    history_restores_last_record_before_first_new_round,
    signals_stop_host_and_simulator_cleanly,
    rounds_zero_sets_up_devices_and_exits,
    simulated_plant_is_plausible_and_moves,
    decode_prints_every_point_aligned_and_as_json,
    decode_refuses_what_is_not_a_record,
    bad_input_is_reported_with_its_exit_status,
    simulator_reports_a_port_in_use,
    host_provides_host_and_json_symbols_to_the_module,
    live_view_serves_decoded_records_and_device_states,
    live_view_without_history_and_on_a_taken_port,
    browser_shows_served_values_and_filters,
)}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("--quorlin", "--host", "--plugin", "--not-a-plugin", "--readelf"):
        parser.add_argument(name, required=True)
    parser.add_argument("--artifacts", default=tempfile.gettempdir(),
                        help="where the browser case saves its screenshot")
    parser.add_argument("case", choices=sorted(CASES))
    opts = parser.parse_args()
    try:
        CASES[opts.case](opts)
    except Skipped as e:
        print(f"skipped: {e}")
        sys.exit(SKIPPED)
    except headless_browser.BrowserError as e:
        print(f"FAIL: browser: {e}", file=sys.stderr)
        sys.exit(1)
    except Failure as e:
        print(f"FAIL: {e}", file=sys.stderr)
        sys.exit(1)
    except subprocess.TimeoutExpired as e:
        print(f"FAIL: timed out: {e}", file=sys.stderr)
        sys.exit(1)
    print("passed")


if __name__ == "__main__":
    main()
