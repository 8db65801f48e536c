#!/usr/bin/env python3
"""End-to-end tests of qrn-host, `quorlin sim`, `quorlin decode` and
`quorlin check` (against qrn-plant), run as real processes on the loopback
interface.

Usage: host_e2e_test.py --quorlin BIN --host BIN --plugin MODULE
                        --not-a-plugin LIB --readelf BIN --plant BIN [--artifacts DIR] CASE

A case that cannot run here (the browser case without a browser or under
emulation) exits with SKIPPED (77) after one line saying why.
"""

import argparse
import contextlib
import csv
import datetime
import fcntl
import io
import json
import math
import os
import queue
import random
import re
import resource
import shutil
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
from e2e_harness import (PROCESS_TIMEOUT, Failure, Skipped, expect, history_rows, read_line, run,
                         run_case, serving)

PROJECT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORD_SIZE = 7001
STAMP_OFFSET = 6994
LINE = re.compile(r"^device (\d+) round (\d+) data (\d+) size (\d+) "
                  r"time (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)$")
# Points whose bytes a later write covers: the 16-bit field behind the first,
# the time stamp over the last.
COVERED = {"t|D3二层末端进水温度": "t|D3G3_M41_HZ_PV",
           "t|D3G5_M214_TTime_M1": "the time stamp"}


@contextlib.contextmanager
def simulator(opts, *args, port=0):
    """`quorlin sim` on a free loopback port (or `port`); killed on every way out."""
    with serving([opts.quorlin, "sim", "--port", str(port), *args]) as sim:
        yield sim


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


def without_quality(doc):
    """A decoded record without the points' "status" and "read_at", which
    only a history's round reports give; those must be there and Good."""
    for p in doc["points"]:
        expect(p.pop("status") == "Good" and p.pop("read_at") is not None, f"point {p}")
    return doc


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
        r = run_host(opts, "--config", config, "--once")
        expect(r.returncode == 0 and r.stderr == b"" and
               sorted(d for (d, n, *_r) in handed_over(r.stdout)) == sorted(ids),
               f"--once: exit {r.returncode}, {handed_over(r.stdout)}, {r.stderr!r}")


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

        # Every record read was saved once, in order; the restored one is not
        # stored again. Each round's report lies beside its record.
        with contextlib.closing(sqlite3.connect(history)) as db:
            rows = db.execute("SELECT device_id, data_id, record FROM history ORDER BY seq").fetchall()
        records = [bytes(rec) for (d, i, rec) in rows if (d, i) == (7, 5156)]
        expect(records == [last_before, fresh], f"history records {len(records)} of {len(rows)} rows")
        expect(len(rows) - len(records) >= 2 and all(i == 5157 for (_d, i, _r) in rows if i != 5156),
               f"history rows {[(d, i) for (d, i, _r) in rows]}")

        from_history = decode_json(opts, "--history", history, "--device", "7")
        expect(without_quality(from_history) ==
               decode_json(opts, os.path.join(second_dump, "7-2.bin")),
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
        endless_view = os.path.join(tmp, "view.db")
        with contextlib.closing(sqlite3.connect(endless_view)) as db:
            db.execute("CREATE VIEW history AS WITH RECURSIVE n(seq) AS (SELECT 1 UNION ALL "
                       "SELECT seq + 1 FROM n) SELECT seq, 1 AS device_id, 0 AS data_id, "
                       "'' AS saved_at, x'00' AS record FROM n")
            db.commit()
        cases = [
            ("missing file", [os.path.join(tmp, "nope.bin")], 1, "cannot read"),
            ("empty file", [file_of(0)], 1, "0 bytes"),
            ("one byte short", [file_of(RECORD_SIZE - 1)], 1, "7000 bytes"),
            ("one byte long", [file_of(RECORD_SIZE + 1)], 1, f"{RECORD_SIZE + 1} bytes, a record is"),
            ("two records", [file_of(2 * RECORD_SIZE)], 1, f"{2 * RECORD_SIZE} bytes, a record is"),
            ("a directory", [tmp], 1, "quorlin decode:"),
            ("history missing", ["--history", missing_db, "--device", "1"], 1, "cannot open history"),
            ("history not a database", ["--history", record, "--device", "1"], 1, "history"),
            ("history an endless view", ["--history", endless_view, "--device", "1"], 1,
             "its 'history' is a view, not a table"),
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
        r = run([opts.quorlin, "export", "--history", endless_view, "--device", "1"], timeout=60)
        if r.returncode != 1 or b"its 'history' is a view, not a table" not in r.stderr:
            failures.append(f"export of an endless view: exit {r.returncode}, {r.stderr[:200]!r}")
        expect(not os.path.exists(missing_db), "decode created a history file")
        expect(not failures, "\n".join(failures))


def bad_input_is_reported_with_its_exit_status(opts):
    with tempfile.TemporaryDirectory() as tmp:
        good = write_config(tmp, [local_device(1, 1)], "good.json")

        def config(text):
            path = os.path.join(tmp, f"c{len(os.listdir(tmp))}.json")
            with open(path, "wb") as f:
                f.write(text if isinstance(text, bytes) else text.encode("utf-8"))
            return path

        one = '{"devices": [{"id": 1, "address": "127.0.0.1", "port": 1}]}'  # 59 bytes
        three = write_config(tmp, [local_device(i, 1) for i in (1, 2, 3)], "three.json")
        over_cap = write_config(tmp, [local_device(i, 1) for i in range(257)], "257.json")
        # A history another process holds, as a second host would find it.
        locked = os.path.join(tmp, "locked.db")
        holder = open(locked, "wb")
        fcntl.flock(holder, fcntl.LOCK_EX)

        not_a_dir = os.path.join(tmp, "plain-file")
        with open(not_a_dir, "w") as f:
            f.write("x")
        plug = ["--plugin", opts.plugin]
        def publishing(pass_file, mode=0o600):
            """A configuration with a "sparkplug" section, its password file in `mode`."""
            if mode is not None:
                with open(pass_file, "w") as f:
                    f.write("secret\n")
                os.chmod(pass_file, mode)
            return config(json.dumps({"devices": [local_device(1, 1)], "sparkplug": {
                "servers": ["tcp://127.0.0.1:1"], "group_id": "g", "edge_node_id": "n",
                "user": "u", "password_file": pass_file}}))
        shared, missing = os.path.join(tmp, "shared.pass"), os.path.join(tmp, "missing.pass")

        cases = [
            # (what, arguments, exit status, text in the first line of stderr)
            ("no arguments", [], 2, "--config is required"),
            ("log level", plug + ["--config", good, "--log-level", "trace"], 2, "--log-level takes"),
            ("retention without history", plug + ["--config", good, "--keep-mb", "5"], 2,
             "--keep-days and --keep-mb need --history"),
            ("keep days zero", plug + ["--config", good, "--keep-days", "0"], 2, "--keep-days takes"),
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
            ("history held by another process", plug + ["--config", good, "--history", locked],
             1, f"history {locked} is in use by process {os.getpid()} ("),
            # Configurations that are not strict JSON, each named with its position.
            ("comment", plug + ["--config", config("// plant\n" + one)], 1, "Line 1, Column 1: a comment"),
            ("trailing comma", plug + ["--config", config(one[:-2] + ",]}")], 1,
             "Line 1, Column 59: a comma before ']'"),
            ("text after the document", plug + ["--config", config(one + "\n{}")], 1,
             "Line 2, Column 1: Extra non-whitespace"),
            ("text after a NUL byte", plug + ["--config", config(one + "\0 // x")], 1,
             "Line 1, Column 60: a NUL byte"),
            ("invalid UTF-8", plug + ["--config", config(one.replace("127", "\xff").encode("latin-1"))],
             1, "Line 1, Column 36: not UTF-8"),
            ("config over 4 MiB", plug + ["--config", config(one + " " * (4 << 20))], 1,
             "larger than 4 MiB, not a configuration"),
            ("config that never ends", plug + ["--config", "/dev/zero"], 1, "not a regular file"),
            # The device cap and --max-devices.
            ("more devices than the default cap", plug + ["--config", over_cap], 1,
             "257 devices, more than the 256"),
            ("more devices than --max-devices", plug + ["--config", three, "--max-devices", "2"], 1,
             "3 devices, more than the 2"),
            ("max-devices not a number", plug + ["--config", good, "--max-devices", "x"], 2,
             "--max-devices takes"),
            ("max-devices zero", plug + ["--config", good, "--max-devices=0"], 2, "--max-devices takes"),
            ("empty value", plug + ["--config", good, "--dump-dir", ""], 2, "--dump-dir needs a non-empty"),
            # Publishing: its spool, and the password file's rules.
            ("publishing without history", plug + ["--config", publishing(tmp + "/a.pass")], 1,
             "sparkplug: publishing needs --history"),
            ("password file others read", plug + ["--config", publishing(shared, 0o644)], 1,
             f'password_file "{shared}" is readable by group or others'),
            ("password file missing", ["--check-config", publishing(missing, None)], 1,
             f'password_file "{missing}" cannot be read: No such file'),
            # What is accepted: --help, --opt=value, a raised cap, a byte-order mark.
            ("help", ["--help"], 0, ""),
            ("--opt=value and a raised cap", ["--plugin=" + opts.plugin, "--config=" + three,
                                              "--max-devices=3", "--rounds=0"], 0, ""),
            ("byte-order mark", plug + ["--config", config("\ufeff" + one), "--rounds", "0"], 0, ""),
            ("http without a port", plug + ["--config", good, "--http", "127.0.0.1"], 2, "--http takes"),
            ("http port above range", plug + ["--config", good, "--http", "127.0.0.1:65536"],
             2, "--http takes"),
            ("http IPv6 without brackets", plug + ["--config", good, "--http", "::1:80"],
             2, "--http takes"),
            # --check-config reads a file as a reload would; --once and --rounds
            # end against a controller that refuses, one line per device.
            ("check-config of a usable file", ["--check-config", good], 0, ""),
            ("check-config of invalid JSON", ["--check-config", config('{"devices": [')], 1,
             "invalid JSON"),
            ("check-config over the cap", ["--check-config", three, "--max-devices", "2"], 1,
             "3 devices, more than the 2"),
            ("once with rounds", plug + ["--config", good, "--once", "--rounds", "1"], 2,
             "--once and --rounds"),
            ("once against a refused port", plug + ["--config", good, "--once"], 1,
             "device 1: 1 of 1 rounds handed no record over (last: BadConnectionRejected)"),
            ("rounds against a refused port", plug + ["--config", good, "--rounds", "2"], 1,
             "device 1: 2 of 2 rounds handed no record over"),
        ]
        failures = []
        for what, args, status, text in cases:
            r = run([opts.host, *args], timeout=60)
            err = r.stderr.decode("utf-8", "replace").splitlines()
            first = err[0] if err else ""
            if r.returncode != status:
                failures.append(f"{what}: exit {r.returncode}, expected {status}; stderr {err[:3]}")
            elif status == 0:
                if any(l.startswith("qrn-host: ") for l in err):
                    failures.append(f"{what}: complaint on stderr {err[:3]}")
                elif args == ["--help"] and not (r.stdout.startswith(b"usage: qrn-host --config")
                                                 and b"/usr/lib/qrn/plugins" in r.stdout
                                                 and b"build/" not in r.stdout):
                    failures.append(f"{what}: no usage text on stdout: {r.stdout[:80]!r}")
            elif not first.startswith("qrn-host: ") or text not in first:
                failures.append(f"{what}: first stderr line {first!r} lacks {text!r}")
            elif status == 1 and len(err) != 1:
                failures.append(f"{what}: {len(err)} lines on stderr: {err[:3]}")
            elif status == 2 and not any(l.startswith("usage:") for l in err):
                failures.append(f"{what}: no usage text")
            elif handed_over(r.stdout):
                failures.append(f"{what}: records were handed over")
        holder.close()
        expect(not failures, "\n".join(failures))


def simulator_reports_a_port_in_use(opts):
    with simulator(opts) as sim:
        r = run([opts.quorlin, "sim", "--port", str(sim.port)], timeout=30)
        expect(r.returncode == 1 and b"cannot listen" in r.stderr,
               f"second simulator on port {sim.port}: exit {r.returncode} {r.stderr!r}")
    for args, text in ((["--port", "65536"], "--port takes"), (["--fixed", "x"], "--fixed takes"),
                       (["--port=-1"], "--port takes"), (["--port"], "--port needs a value"),
                       (["--address", "10.0.0.300"], "--address takes"),
                       (["--address=[::1]"], "--address takes"),
                       (["--address", "host/path"], "--address takes"),
                       (["--prot", "1"], "unknown option")):
        r = run([opts.quorlin, "sim", *args], timeout=30)
        expect(r.returncode == 2 and text.encode() in r.stderr, f"sim {args}: {r.returncode} {r.stderr!r}")
    # An IPv6 literal is listened on and shown in brackets.
    with serving([opts.quorlin, "sim", "--address=::1", "--port=0"], host=r"\[::1\]"):
        pass


# quorlin check against qrn-plant: the injected faults, by point, with the
# class each must be reported in.
CHECK_FAULTS = [
    (["--missing", "t|D3G1_AI1_1_L_Alarm"], "t|D3G1_AI1_1_L_Alarm", "missing"),
    (["--missing", "t|D3G4_M11_蒸发器饱和温度"], "t|D3G4_M11_蒸发器饱和温度", "missing"),
    (["--rename", "t|D3G3_V9_status=t|D3G3_V9_1_status"], "t|D3G3_V9_status", "missing"),
    (["--rename", "t|D3G蓄冷罐充放冷流量计实际值=t|D3G蓄冷罐冲放冷流量计实际值"],
     "t|D3G蓄冷罐充放冷流量计实际值", "missing"),
    (["--double", "t|D3G1_AI1_5_AlarmLL_Set"], "t|D3G1_AI1_5_AlarmLL_Set", "wider"),
    (["--type", "t|D3G3_M213_M_Start=Int32"], "t|D3G3_M213_M_Start", "wider"),
    (["--type", "t|D3XLG2_T23=Int16"], "t|D3XLG2_T23", "narrower"),
    (["--string", "t|D3G1_V11_1_Alarm"], "t|D3G1_V11_1_Alarm", "not numeric"),
    (["--array", "t|D3G5_AI1_5_RangeL_Set"], "t|D3G5_AI1_5_RangeL_Set", "not numeric"),
    (["--status", "t|D3G3_半自动启动锁定=BadOutOfService"], "t|D3G3_半自动启动锁定", "failed"),
    (["--status", "t|D3G1_M62_TTime_M1=UncertainInitialValue"], "t|D3G1_M62_TTime_M1", "uncertain"),
    (["--status", "t|D3G4_M51_TTime_H1=0x00300000"], "t|D3G4_M51_TTime_H1", "good with info"),
]
CHECK_CLASSES = ["ok", "missing", "failed", "not numeric", "wider", "narrower", "uncertain",
                 "good with info"]
CHECK_SUMMARY = ["endpoint", "server", "limits", "points", "round", "browse"]


def check(opts, port, *args, address="127.0.0.1"):
    return run([opts.quorlin, "check", "--address", address, "--port", str(port), *args])


def check_problem_lines(text, names):
    """(class, index, detail) of each problem line of a text report."""
    rows = []
    for line in text.splitlines():
        cls = next((c for c in CHECK_CLASSES if line.startswith(c + " ")), None)
        if cls is None:
            continue
        m = re.match(r"\s+(\d+)  (\S+)\s+(.*)$", line[len(cls):])
        expect(m is not None, f"malformed problem line {line!r}")
        index = int(m.group(1))
        expect(m.group(2) == names[index - 1], f"line {line!r} names the wrong point")
        rows.append((cls, index, m.group(3)))
    return rows


def check_reports_each_injected_fault(opts):
    names = [name for name, _offset, _width in quorlin_points(opts)]
    plant = [opts.plant, "--port", "0", "--fixed", "7"]
    for args, _, _ in CHECK_FAULTS:
        plant += args
    with serving(plant) as server:
        r = check(opts, server.port)
        j = check(opts, server.port, "--json")
        quick = check(opts, server.port, "--json", "--no-browse")
    expect(r.returncode == 1 and j.returncode == 1 and quick.returncode == 1,
           f"exit {r.returncode}/{j.returncode}/{quick.returncode}: {r.stderr!r} {j.stderr!r}")
    expect(r.stderr == b"" and j.stderr == b"", f"stderr {r.stderr!r} {j.stderr!r}")
    text = r.stdout.decode("utf-8")
    lines = text.splitlines()
    expect([l.split(" ")[0] for l in lines[:6]] == CHECK_SUMMARY, f"summary first: {lines[:6]}")
    expect("Quorlin plant server (urn:quorlin:plant)" in lines[1], f"identity {lines[1]!r}")

    rows = check_problem_lines(text, names)
    expected = sorted(((cls, names.index(name) + 1) for _, name, cls in CHECK_FAULTS),
                      key=lambda row: (CHECK_CLASSES.index(row[0]), row[1]))
    expect([(c, i) for c, i, _ in rows] == expected,
           "problems (class, index) differ:\n" + "\n".join(
               f"{got} / {want}" for got, want in zip([(c, i) for c, i, _ in rows], expected)))
    detail = {names[i - 1]: d for _, i, d in rows}
    expect(detail["t|D3G3_V9_status"] == "— server has t|D3G3_V9_1_status", detail)
    expect(detail["t|D3G蓄冷罐充放冷流量计实际值"] == "— server has t|D3G蓄冷罐冲放冷流量计实际值",
           detail)
    expect(detail["t|D3G1_AI1_1_L_Alarm"] == "— nothing similar on the server", detail)
    expect(detail["t|D3G1_AI1_5_AlarmLL_Set"].startswith("Double into 4 bytes"), detail)
    expect(detail["t|D3G3_M213_M_Start"].startswith("Int32 into 1 byte"), detail)
    expect(detail["t|D3G3_半自动启动锁定"] == "BadOutOfService", detail)
    expect(detail["t|D3G1_M62_TTime_M1"].startswith("UncertainInitialValue"), detail)
    expect(detail["t|D3G4_M51_TTime_H1"].startswith("GoodClamped"), detail)

    # The JSON document holds the same report.
    doc = json.loads(j.stdout.decode("utf-8"))
    expect(doc["ok"] is False and doc["points"] == 2706, f"ok/points {doc['ok']} {doc['points']}")
    expect([(p["class"], p["index"], p["detail"]) for p in doc["problems"]] == rows,
           f"JSON problems differ from the text: {doc['problems']}")
    expect(all(p["name"] == names[p["index"] - 1] for p in doc["problems"]), "JSON names")
    for cls in CHECK_CLASSES[1:]:
        expect(doc["counts"][cls] == sum(1 for c, _, _ in rows if c == cls), f"counts {doc['counts']}")
    expect(sum(doc["counts"].values()) == 2706, f"counts {doc['counts']}")
    summary = f"points    2706 read: {doc['counts']['ok']} ok" + "".join(
        f", {doc['counts'][c]} {c}" for c in CHECK_CLASSES[1:] if doc["counts"][c])
    expect(lines[3] == summary, f"{lines[3]!r} is not {summary!r}")
    extra = sorted(["t|D3G3_V9_1_status", "t|D3G蓄冷罐冲放冷流量计实际值"])
    expect(doc["browse"]["not_in_table"] == extra and doc["browse"]["variables"] == 2706,
           f"browse {doc['browse']}")
    expect(text.rstrip("\n").endswith("\n".join("  " + e for e in extra)), "text lacks the extra ids")
    expect(doc["server"]["application_uri"] == "urn:quorlin:plant", f"server {doc['server']}")
    for key in ("connect", "reads", "read_median", "read_max", "close"):
        expect(doc["timing_ms"][key] >= 0, f"timing {doc['timing_ms']}")
    expect(doc["timing_ms"]["read_median"] <= doc["timing_ms"]["read_max"], f"{doc['timing_ms']}")

    # Without the browse the same classes, and no suggestions.
    fast = json.loads(quick.stdout.decode("utf-8"))
    expect(fast["browse"] is None and fast["counts"] == doc["counts"], f"--no-browse {fast['counts']}")
    expect(all(p["suggestion"] is None for p in fast["problems"]), "suggestions without a browse")


def check_against_the_simulator_is_the_summary_alone(opts):
    for address, host in (("127.0.0.1", r"127\.0\.0\.1"), ("::1", r"\[::1\]")):
        with serving([opts.quorlin, "sim", "--port", "0", "--address", address], host) as sim:
            r = check(opts, sim.port, address=address)
        lines = r.stdout.decode("utf-8").splitlines()
        expect(r.returncode == 0 and r.stderr == b"", f"{address}: exit {r.returncode} {r.stderr!r}")
        expect([l.split(" ")[0] for l in lines] == CHECK_SUMMARY, f"{address}: {lines}")
        url = f"opc.tcp://[{address}]:{sim.port}" if ":" in address else \
            f"opc.tcp://{address}:{sim.port}"
        expect(lines[0] == f"endpoint  {url}", f"{lines[0]!r}")
        expect(lines[3] == "points    2706 read: 2706 ok", f"{lines[3]!r}")
        expect(re.fullmatch(r"browse    2706 t\|D3 variables, 0 not in the table, .* ms", lines[5]),
               f"{lines[5]!r}")


def check_bounds_its_suggestions_among_lookalike_ids(opts):
    # Every point served under look-alike ids only: each missing point is
    # compared with a bounded share of them, and the report says so.
    with serving([opts.plant, "--port", "0", "--fixed", "3", "--lookalikes", "30000"]) as server:
        r = run([opts.quorlin, "check", "--address", "127.0.0.1", "--port", str(server.port)],
                timeout=240)
        j = check(opts, server.port, "--json")
    lines = r.stdout.decode("utf-8").splitlines()
    expect(r.returncode == 1 and j.returncode == 1, f"exit {r.returncode} {r.stderr[-300:]!r}")
    expect(lines[3] == "points    2706 read: 0 ok, 2706 missing", lines[:8])
    expect(re.fullmatch(r"suggest   2706 missing points each compared with the \d+ ids sorting "
                        r"nearest of 30000; more not compared", lines[6]), lines[:8])
    first = re.compile(r"missing +1  t\|D3G1_AI1_1_H_Alarm +— server has t\|D3G1_AI1_1_H_Alarm~0")
    expect(any(first.fullmatch(l) for l in lines), lines[7:10])
    browse = json.loads(j.stdout)["browse"]
    expect(browse["points_not_all_compared"] == 2706 and
           0 < browse["compared_per_point"] < 30000, browse)


def check_reports_refused_connections_and_usage_errors(opts):
    failures = []
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        free = taken.getsockname()[1]  # nothing listens once closed
    with socket.socket() as deaf:
        deaf.bind(("127.0.0.1", 0))
        deaf.listen(4)  # accepts connections but never answers
        cases = [
            # (what, arguments, exit status, text in the first line of stderr)
            ("refused", ["--address", "127.0.0.1", "--port", str(free)], 1,
             f"quorlin check: cannot connect to opc.tcp://127.0.0.1:{free}: Bad"),
            ("silent server", ["--address=127.0.0.1", f"--port={deaf.getsockname()[1]}",
                               "--timeout-ms=300"], 1, "BadTimeout"),
            ("no address", [], 2, "quorlin check: --address is required"),
            ("address with a port", ["--address", "127.0.0.1:4840"], 2, "--address takes"),
            ("address with blanks", ["--address", "a b"], 2, "--address takes"),
            ("port zero", ["--address", "x", "--port", "0"], 2, "--port takes 1 to 65535"),
            ("timeout not a number", ["--address", "x", "--timeout-ms", "1s"], 2, "--timeout-ms takes"),
            ("option without value", ["--address", "x", "--port"], 2, "--port needs a value"),
            ("unknown option", ["--address", "x", "--jsn"], 2, "unknown option '--jsn'"),
            ("stray argument", ["--address", "x", "4840"], 2, "unexpected argument '4840'"),
            ("config not a file", ["--config", "/dev/zero", "--device", "1"], 1, "not a regular file"),
        ]
        for what, args, status, text in cases:
            started = time.monotonic()
            r = run([opts.quorlin, "check", *args], timeout=60)
            took = time.monotonic() - started
            err = r.stderr.decode("utf-8", "replace").splitlines()
            usage = ["usage: quorlin check --address A"] if status == 2 else []
            if r.returncode != status or r.stdout:
                failures.append(f"{what}: exit {r.returncode}, stdout {r.stdout[:100]!r}")
            elif len(err) != 1 + len(usage) or text not in err[0] or \
                    not all(l.startswith(u) for l, u in zip(err[1:], usage)):
                failures.append(f"{what}: stderr {err}")
            elif what == "silent server" and took > 5:
                failures.append(f"{what}: --timeout-ms 300 took {took:.1f} s")
    expect(not failures, "\n".join(failures))


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


def make_certificate(opts, folder, uri):
    r = run([opts.quorlin, "cert", "--out", folder, "--uri", uri, "--days", "30"])
    expect(r.returncode == 0, f"cert {uri}: exit {r.returncode}: {r.stderr!r}")
    lines = r.stdout.decode().splitlines()
    cert, key = os.path.join(folder, "quorlin-cert.der"), os.path.join(folder, "quorlin-key.der")
    expect(len(lines) == 5 and lines[0] == f"certificate      {cert}"
           and lines[1].startswith(f"private key      {key}")
           and lines[2] == f"application URI  {uri}"
           and re.fullmatch(r"thumbprint       ([0-9A-F]{2}:){19}[0-9A-F]{2} \(SHA-1\)", lines[3])
           and re.fullmatch(r"valid until      \d{4}-\d\d-\d\d \(30 days\)", lines[4]),
           f"cert output {lines}")
    expect(os.stat(key).st_mode & 0o777 == 0o600, f"{key} mode {oct(os.stat(key).st_mode)}")
    return cert, key


def secure_simulator_serves_only_a_secure_device(opts):
    password = "cold-water-42"
    with tempfile.TemporaryDirectory() as tmp:
        client_cert, client_key = make_certificate(opts, os.path.join(tmp, "client"),
                                                   "urn:quorlin:client")
        sim_cert, sim_key = make_certificate(opts, os.path.join(tmp, "sim"), "urn:quorlin:sim")
        r = run([opts.quorlin, "cert", "--out", os.path.join(tmp, "sim")])
        expect(r.returncode == 1 and b"exists" in r.stderr and r.stdout == b"",
               f"cert over an existing one: exit {r.returncode} {r.stderr!r}")
        trusted_servers, trusted_clients = os.path.join(tmp, "ts"), os.path.join(tmp, "tc")
        os.mkdir(trusted_servers)
        os.mkdir(trusted_clients)
        with open(sim_cert, "rb") as src, open(os.path.join(trusted_servers, "sim.der"), "wb") as dst:
            dst.write(src.read())
        with open(client_cert, "rb") as src, open(os.path.join(trusted_clients, "c.der"), "wb") as dst:
            dst.write(src.read())
        secure = ["--certificate", sim_cert, "--private-key", sim_key, "--policy", "Basic256Sha256",
                  "--mode", "SignAndEncrypt", "--user", f"qrn:{password}", "--no-anonymous",
                  "--trusted-clients", trusted_clients]
        for args, status, text in ((["--policy", "Rot13"], 2, b"--policy takes"),
                                   (["--policy", "Basic256Sha256"], 2, b"needs --certificate"),
                                   (["--no-anonymous"], 2, b"needs at least one --user"),
                                   (["--mode", "Encrypt", *secure], 2, b"--mode takes"),
                                   (["--certificate", sim_cert], 2, b"need a secure --policy"),
                                   ([*secure, "--private-key", client_key], 1, b"does not belong")):
            r = run([opts.quorlin, "sim", "--port", "0", *args], timeout=30)
            expect(r.returncode == status and text in r.stderr,
                   f"sim {args}: exit {r.returncode} {r.stderr!r}")

        def opcua(pw):
            return {"security_mode": "SignAndEncrypt", "security_policy": "Basic256Sha256",
                    "certificate": client_cert, "private_key": client_key,
                    "trusted_servers": trusted_servers, "user": "qrn", "password": pw}

        with simulator(opts, "--fixed", "5", *secure) as sim:
            device = dict(local_device(7, sim.port), settings={"opcua": opcua(password)})
            config = write_config(tmp, [device])
            dump = os.path.join(tmp, "records")
            r = run_host(opts, "--config", config, "--rounds", "1", "--dump-dir", dump)
            expect(r.returncode == 0, f"secure device: exit {r.returncode}: {r.stderr!r}")
            expect(password.encode() not in r.stdout + r.stderr, "the password was printed")
            expect([d for (d, *_r) in handed_over(r.stdout)] == [7], f"lines {r.stdout!r}")
            check_fixed_values(decode_json(opts, os.path.join(dump, "7-1.bin")), 5, "secure round")

            # A plain device and one with a wrong password: nothing handed over,
            # the second says why on each round.
            wrong = dict(local_device(9, sim.port), settings={"opcua": opcua("cold-water-43")})
            config = write_config(tmp, [local_device(8, sim.port), wrong], "refused.json")
            proc = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                deadline = time.monotonic() + 60
                while "device 9: no secure session" not in read_line(proc, deadline):
                    pass
            finally:
                status, out, err = stop(proc)
            expect(status == 0, f"refused devices: exit {status}: {err!r}")
            expect(b"cold-water-4" not in out and "cold-water-4" not in err, "a password was printed")
            expect(handed_over(out) == [], f"refused devices handed over: {out!r}")
            expect(b"device 8:" not in out, f"the plain device printed a line: {out!r}")


def check_connects_securely_to_a_secure_plant(opts):
    password = "brine-loop-17"
    with tempfile.TemporaryDirectory() as tmp:
        client_cert, client_key = make_certificate(opts, os.path.join(tmp, "c"), "urn:quorlin:check")
        plant_cert, plant_key = make_certificate(opts, os.path.join(tmp, "p"), "urn:quorlin:plant:a")
        trusted = os.path.join(tmp, "trusted")
        os.mkdir(trusted)
        os.link(plant_cert, os.path.join(trusted, "plant.der"))
        right, wrong, shared = (os.path.join(tmp, name) for name in ("pw", "wrong", "shared"))
        for path, text in ((right, password + "\n"), (wrong, "brine-loop-18\n"), (shared, password)):
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            os.chmod(path, 0o644 if path == shared else 0o600)
        plant = [opts.plant, "--port", "0", "--fixed", "3", "--certificate", plant_cert,
                 "--private-key", plant_key, "--policy", "Aes256_Sha256_RsaPss",
                 "--policy", "Basic256Sha256", "--mode", "SignAndEncrypt",
                 "--user", f"qrn:{password}", "--no-anonymous"]
        secure = ["--no-browse", "--security-mode", "SignAndEncrypt", "--certificate", client_cert,
                  "--private-key", client_key, "--trusted-servers", trusted, "--user", "qrn"]
        with serving(plant) as server:
            good = check(opts, server.port, *secure, "--password-file", right)
            bad = check(opts, server.port, *secure, "--password-file", wrong)
            plain = check(opts, server.port, "--no-browse")
            usage = [check(opts, server.port, *args) for args in (
                [*secure, "--password-file", right, "--security-mode", "Encrypt"],
                secure,
                [*secure, "--password-file", os.path.join(tmp, "none")],
                [*secure, "--password-file", shared])]
        lines = good.stdout.decode().splitlines()
        expect(good.returncode == 0 and good.stderr == b"", f"secure check: {good.returncode} {good.stderr!r}")
        expect(lines[3] == "points    2706 read: 2706 ok", f"secure check: {lines}")
        expect("(urn:quorlin:plant:a)" in lines[1], f"identity {lines[1]!r}")
        err = bad.stderr.decode().splitlines()
        expect(bad.returncode == 1 and len(err) == 1 and "BadUserAccessDenied" in err[0]
               and "refused the user name or password" in err[0], f"wrong password: {err}")
        expect(plain.returncode == 1 and b"cannot connect" in plain.stderr, f"plain: {plain.stderr!r}")
        for r, text in zip(usage, ('--security-mode: "Encrypt" is not None, Sign or SignAndEncrypt',
                                   '--password-file: missing for user "qrn"',
                                   "--password-file: cannot read",
                                   "is readable by group or others")):
            expect(r.returncode == 2 and text in r.stderr.decode(), f"{text}: {r.returncode} {r.stderr!r}")
        for r in (good, bad, plain, *usage):
            expect(b"brine-loop-1" not in r.stdout + r.stderr, "a password was printed")


def wait_for_rounds(proc, device_id, rounds, deadline):
    """Reads the host's output until the device has handed over `rounds` records."""
    while True:
        m = LINE.match(read_line(proc, deadline))
        if m and int(m.group(1)) == device_id and int(m.group(2)) >= rounds:
            return


def stop(proc):
    """SIGTERM, then the exit status, the rest of standard output, standard error."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    return proc.returncode, out, err.decode("utf-8", "replace")


def host_lines(err):
    """qrn-host's own lines on standard error (the OPC UA library's start with "[")."""
    return [l for l in err.splitlines() if l.startswith("qrn-host: ")]


def second_host_on_a_history_is_refused_while_readers_read(opts):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "2") as sim:
        config = write_config(tmp, [local_device(9, sim.port)])
        history = os.path.join(tmp, "history.db")
        first = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config,
                                  "--history", history],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_for_rounds(first, 9, 1, time.monotonic() + 60)
            second = run_host(opts, "--config", config, "--history", history, "--rounds", "1",
                              timeout=60)
            err = second.stderr.decode("utf-8", "replace").splitlines()
            expect(second.returncode == 1 and len(err) == 1 and
                   err[0].startswith(f"qrn-host: history {history} is in use by process {first.pid} ("),
                   f"second host: exit {second.returncode}, stderr {err[:3]}")
            expect(not handed_over(second.stdout), "the second host handed records over")
            # Readers are not locked out while the host runs (which commits
            # its rows once a second).
            poll("device 9's first committed row", 30, 0.1, lambda: committed_rows(history, 9))
            check_fixed_values(decode_json(opts, "--history", history, "--device", "9"), 2,
                               "decode --history while the host runs")
            with contextlib.closing(sqlite3.connect(f"file:{history}?mode=ro", uri=True)) as db:
                rows = db.execute("SELECT count(*) FROM history WHERE device_id = 9").fetchone()[0]
            expect(rows >= 1, f"sqlite3 reads {rows} rows while the host runs")
        finally:
            status, _out, err = stop(first)
        expect(status == 0 and host_lines(err) == ["qrn-host: stopping on SIGTERM"],
               f"first host: exit {status}, {host_lines(err)}")
        # Once the first host is gone the history is free again.
        r = run_host(opts, "--config", config, "--history", history, "--rounds", "1")
        expect(r.returncode == 0, f"host after the first: exit {r.returncode} {r.stderr[-300:]!r}")


def decode_reads_a_history_it_cannot_write(opts):
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "plant")
        os.mkdir(folder)
        history, dump = os.path.join(folder, "history.db"), os.path.join(tmp, "records")
        with simulator(opts, "--fixed", "4") as sim:
            config = write_config(tmp, [local_device(6, sim.port)])
            r = run_host(opts, "--config", config, "--rounds", "1", "--history", history,
                         "--dump-dir", dump)
            expect(r.returncode == 0, f"host: exit {r.returncode}: {r.stderr[-300:]!r}")
        expected = decode_json(opts, os.path.join(dump, "6-1.bin"))
        before = sorted(os.listdir(folder))
        decode = [opts.quorlin, "decode", "--json", "--history", history, "--device", "6"]
        spare = os.path.join(tmp, "spare")  # TMPDIR for a copy, checked empty afterwards
        os.mkdir(spare)
        tried = []

        def check(what, args=decode, **kwargs):
            r = subprocess.run([str(a) for a in args], capture_output=True, timeout=PROCESS_TIMEOUT,
                               env=dict(os.environ, TMPDIR=spare), **kwargs)
            expect(r.returncode == 0, f"{what}: exit {r.returncode}: {r.stderr!r}")
            expect(without_quality(json.loads(r.stdout)) == expected,
                   f"{what}: not the stored record")
            expect(sorted(os.listdir(folder)) == before and not os.listdir(spare),
                   f"{what}: left {sorted(os.listdir(folder))} and {os.listdir(spare)}")
            tried.append(what)

        def check_export(what, path):  # the same fallback as decode's
            r = run([opts.quorlin, "export", "--history", path, "--device", "6"])
            expect(r.returncode == 0 and len(r.stdout.splitlines()) == 2, f"export {what}: {r!r}")

        if os.geteuid() == 0:
            # Root writes anywhere: the decoder runs as nobody, from a copy
            # of itself that nobody may run, on a folder nobody cannot write.
            binary = os.path.join(tmp, "quorlin")
            with open(opts.quorlin, "rb") as src, open(binary, "wb") as dst:
                dst.write(src.read())
            os.chmod(binary, 0o755)
            for path in (tmp, folder):
                os.chmod(path, 0o755)
            os.chmod(spare, 0o777)
            check("as nobody in a folder it cannot write", [binary, *decode[1:]],
                  user=65534, group=65534, extra_groups=[])
            # A read-only medium: the folder bound read-only somewhere else.
            medium = os.path.join(tmp, "medium")
            os.mkdir(medium)
            subprocess.run(["mount", "--bind", "-o", "ro", folder, medium], check=True)
            try:
                with contextlib.suppress(subprocess.CalledProcessError):
                    subprocess.run(["mount", "-o", "remount,bind,ro", medium], check=True)
                probe = os.path.join(medium, "probe")
                expect(subprocess.run(["touch", probe], capture_output=True).returncode != 0,
                       "the bind mount is writable")
                check("on a read-only medium", [*decode[:4], os.path.join(medium, "history.db"),
                                                *decode[5:]])
                check_export("on a read-only medium", os.path.join(medium, "history.db"))
            finally:
                subprocess.run(["umount", medium], check=False)
        else:
            os.chmod(folder, 0o555)
            try:
                check("in a folder the user cannot write")
                check_export("in a folder the user cannot write", history)
            finally:
                os.chmod(folder, 0o755)
        print("decoded " + "; ".join(tried))


def fill(folder, leave):
    """Fills the file system of `folder` but for `leave` bytes (whole pages)."""
    filler = os.path.join(folder, "filler")
    with open(filler, "wb", buffering=0) as f:
        with contextlib.suppress(OSError):
            while f.write(b"\0" * 4096):
                pass
    os.truncate(filler, max(0, os.path.getsize(filler) - leave))
    return filler


def full_disk_loses_records_not_the_host(opts):
    if os.geteuid() != 0:
        raise Skipped("needs root to mount a small tmpfs")
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "5") as sim:
        # Dumps and history on two small file systems, so that each one's
        # free space is known: one page left for dumps, where a record (7001
        # bytes) is cut short; none for the history.
        dump, store = os.path.join(tmp, "records"), os.path.join(tmp, "store")
        history = os.path.join(store, "history.db")
        mounted = []
        host = None
        try:
            for disk in (dump, store):
                os.mkdir(disk)
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", disk], check=True)
                mounted.append(disk)
            # Published to a broker that is not there: no record is acknowledged.
            config = sparkplug_config(tmp, [local_device(4, sim.port)], free_port())
            host = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config,
                                     "--dump-dir", dump, "--history", history],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            deadline = time.monotonic() + 180
            wait_for_rounds(host, 4, 1, deadline)
            poll("round 1's history row", 30, 0.1, lambda: committed_rows(history, 4))
            # The disk budget's first pass left a reserve beside the history.
            reserve = os.path.getsize(history + "-reserve")
            with contextlib.closing(sqlite3.connect(history)) as db:
                before = db.execute("SELECT max(seq) FROM history").fetchone()[0]
            fillers = [fill(dump, 4096), fill(store, 0)]
            # Rounds 2 and 3 certainly find the disks full; round 4's line is
            # printed before its record is written, which may be after the
            # disks have room again.
            wait_for_rounds(host, 4, 4, deadline)
            expect(host.poll() is None, f"the host exited on a full disk: {host.returncode}")
            for f in fillers:
                os.remove(f)
            wait_for_rounds(host, 4, 6, deadline)
            status, _out, err = stop(host)
            lines = host_lines(err)
            with contextlib.closing(sqlite3.connect(history)) as db:
                saved = db.execute("SELECT max(seq) FROM history").fetchone()[0] - before
            after = sorted(os.listdir(dump))
            sizes = {name: os.path.getsize(os.path.join(dump, name)) for name in after}
        finally:
            if host is not None and host.poll() is None:
                host.kill()
                host.communicate()
            for disk in reversed(mounted):
                subprocess.run(["umount", disk], check=False)
    # Whole dump files or none, no temporary file left behind; the rounds that
    # found the disk full (2, 3, perhaps 4) are missing.
    expect(all(re.fullmatch(r"4-\d+\.bin", n) for n in after) and
           set(sizes.values()) == {RECORD_SIZE}, f"dump folder {sizes}")
    last = max(int(n[2:-4]) for n in after)
    lost = [n for n in range(1, last + 1) if f"4-{n}.bin" not in after]
    expect(lost in ([2, 3], [2, 3, 4]) and last >= 6, f"dumps of rounds {lost} missing of {last}")
    # One line per full dump folder, not one per lost record; one when records
    # are kept again; one sum at exit. The history loses none: its oldest
    # records make way, said at once with their count, then at most once a
    # minute (and at exit) with the count since. The stop by SIGTERM still
    # ends well (exit 0): the losses were said when they happened.
    failed = [l for l in lines if "No space left" in l or "disk is full" in l]
    expect(len(failed) == 1 and "cannot write " + os.path.join(dump, "4-2.bin") in failed[0],
           f"failure lines {lines}")
    kept = [m for m in (re.fullmatch(rf"qrn-host: dump folder {re.escape(dump)}: records kept "
                                     r"again after ([23]) lost", l) for l in lines) if m]
    expect(len(kept) == 1 and int(kept[0].group(1)) == len(lost), f"lines on records kept again: {lines}")
    gave_way = [re.fullmatch(
        rf"qrn-host: history {re.escape(history)}: the file system is short of room; the oldest "
        r"records make way for new ones \([1-9]\d* rows deleted(, \d+ of them records a broker "
        r"had not acknowledged)?( since the last line)?\)", l) for l in lines if "make way" in l]
    expect(1 <= len(gave_way) <= 2 and all(gave_way) and gave_way[0].group(1) and
           not gave_way[0].group(2) and 0 < reserve <= 256 << 10, f"{reserve} reserve bytes; {lines}")
    expect(status == 0 and lines[-1] == f"qrn-host: {len(lost)} records not written to {dump}",
           f"exit {status}, last line {lines[-1:]}")
    expect(saved >= 2 * (last - 1) - 1, f"{saved} history rows (records, reports) saved "
                                        f"after round 1 of {last} rounds")


def run_measured(args):
    """Exit status, standard error and peak resident memory (KiB) of one run."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([str(a) for a in args], stdout=out, stderr=err)
        try:
            _pid, status, usage = os.wait4(proc.pid, 0)
        except BaseException:
            proc.kill()
            proc.wait()
            raise
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        out.seek(0)
        return proc.returncode, out.read(), err.read().decode("utf-8", "replace"), usage.ru_maxrss


def kill_in_a_group_leaves_a_consistent_prefix(opts):
    # Rows are committed once a second for all devices: a kill -9 loses at
    # most the group not yet committed, and leaves a database that opens and
    # goes on, each device's records those of its first rounds.
    with tempfile.TemporaryDirectory() as tmp, simulator(opts) as sim:
        config = write_config(tmp, [local_device(i, sim.port) for i in (1, 2, 3)])
        history, dump = os.path.join(tmp, "history.db"), os.path.join(tmp, "dump")
        host = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config,
                                 "--history", history, "--dump-dir", dump],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_for_rounds(host, 3, 3, time.monotonic() + 120)
            time.sleep(random.uniform(0, 1))
        finally:
            host.kill()
            host.communicate()
        with contextlib.closing(sqlite3.connect(history)) as db:
            expect(db.execute("PRAGMA integrity_check").fetchone()[0] == "ok", "integrity_check")
            kept = dict(db.execute("SELECT device_id, count(*) FROM history WHERE data_id = 5156 "
                                   "GROUP BY device_id").fetchall())
        for d in (1, 2, 3):
            dumped = len([n for n in os.listdir(dump) if n.startswith(f"{d}-")])
            # A prefix of the device's rounds, all readable, but for the last group.
            expect(dumped - 2 <= kept.get(d, 0) <= dumped, f"device {d}: {kept} of {dumped}")
            r = run([opts.quorlin, "export", "--history", history, "--device", str(d)])
            expect(r.returncode == 0 and len(r.stdout.splitlines()) == 1 + kept[d],
                   f"export of device {d}: {r.returncode} {r.stderr!r}")
            expect(without_quality(decode_json(opts, "--history", history, "--device", str(d))) ==
                   decode_json(opts, os.path.join(dump, f"{d}-{kept[d]}.bin")),
                   f"device {d}'s last stored record is not its round {kept[d]}")
        r = run_host(opts, "--config", config, "--history", history, "--rounds", "1")
        expect(r.returncode == 0, f"host after the kill: exit {r.returncode} {r.stderr[-300:]!r}")


def stored_records_of_wrong_size_or_device_are_not_restored(opts):
    big = 300_000_000
    with tempfile.TemporaryDirectory() as tmp:
        history = os.path.join(tmp, "history.db")
        own = bytearray(RECORD_SIZE)
        own[0:4] = (3).to_bytes(4, "little")
        foreign = bytearray(own)
        foreign[0:4] = (8).to_bytes(4, "little")
        with contextlib.closing(sqlite3.connect(history)) as db:
            db.execute("CREATE TABLE history (seq INTEGER PRIMARY KEY AUTOINCREMENT, "
                       "device_id INTEGER NOT NULL, data_id INTEGER NOT NULL, "
                       "saved_at TEXT NOT NULL, record BLOB NOT NULL)")
            rows = [(1, "zeroblob(?)", big), (2, "?", bytes(foreign)), (3, "?", bytes(own))]
            for device_id, value, arg in rows:
                db.execute("INSERT INTO history (device_id, data_id, saved_at, record) "
                           f"VALUES (?, 5156, '2026-01-01 00:00:00', {value})", (device_id, arg))
            db.commit()
        config = write_config(tmp, [local_device(i, 1) for i in (1, 2, 3)])
        status, out, err, rss = run_measured([opts.host, "--plugin", opts.plugin, "--config", config,
                                              "--history", history, "--rounds", "0"])
        lines = host_lines(err)
        expect(status == 0, f"host: exit {status}: {lines}")
        expect(lines == [f"qrn-host: device 1: last stored record ({big} bytes) refused, not restored",
                         "qrn-host: device 2: last stored record carries device id 8, not restored"],
               f"host lines {lines}")
        restored = handed_over(out)
        expect([d for (d, *_r) in restored] == [3], f"records handed over: {restored}")
        # The oversized record is never loaded (it took twice its size before).
        expect(rss < 150_000, f"qrn-host peaked at {rss} KiB with a {big}-byte record stored")
        status, out, err, rss = run_measured([opts.quorlin, "decode", "--history", history,
                                              "--device", "1"])
        expect(status == 1 and f"the last record of device 1 is {big} bytes, not {RECORD_SIZE}" in err,
               f"decode: exit {status}: {err!r}")
        expect(rss < 150_000, f"quorlin decode peaked at {rss} KiB")
        status, out, err, rss = run_measured([opts.quorlin, "export", "--history", history,
                                              "--device", "1"])
        expect(status == 0 and out.count(b"\r\n") == 1, f"export: exit {status}: {err!r}")
        expect(rss < 150_000, f"quorlin export peaked at {rss} KiB")


def kept_devices_start_on_a_history_without_reports(opts):
    # Devices restore while earlier ones save; an offline device restores quickly.
    ids, offline = list(range(1, 41)), 99
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "0") as sim:
        history = os.path.join(tmp, "history.db")
        record = lambda i: i.to_bytes(4, "little") + bytes(RECORD_SIZE - 4)
        with contextlib.closing(sqlite3.connect(history)) as db:
            db.execute("CREATE TABLE history (seq INTEGER PRIMARY KEY AUTOINCREMENT, "
                       "device_id INTEGER NOT NULL, data_id INTEGER NOT NULL, "
                       "saved_at TEXT NOT NULL, record BLOB NOT NULL)")
            db.execute("CREATE INDEX history_by_device ON history (device_id, seq)")
            # Old rows stand for a long history: the restore must not walk them.
            rows = [(i, 5156, b"\0") for i in ids * 10_000]
            rows += [(i, 5156, record(i)) for i in ids + [offline]]
            rows += [(offline, 5157, b"\0")] * 400_000 + [(i, 5156, record(i)) for i in ids]
            db.executemany("INSERT INTO history (device_id, data_id, saved_at, record) "
                           "VALUES (?, ?, '2026-01-01 00:00:00', ?)", rows)
            db.commit()
        keep = {"appSetting": {"session": "keep"}}
        config = write_config(tmp, [dict(local_device(i, sim.port), settings=keep) for i in ids])
        r = run_host(opts, "--config", config, "--history", history, "--rounds", "3")
        said = host_lines(r.stderr.decode())
        expect(r.returncode == 0 and said == [], f"exit {r.returncode}: {said[-5:]}")
        lines = handed_over(r.stdout)
        expect(all([n for (d, n, *_r) in lines if d == i][:3] == [1, 2, 3] for i in ids),
               f"rounds per device: {lines[-5:]}")
        with contextlib.closing(sqlite3.connect(history)) as db:
            stored = dict(db.execute("SELECT device_id, count(*) FROM history "
                                     "WHERE data_id = 5156 GROUP BY device_id"))
        expect(all(stored[i] >= 10_004 for i in ids), f"records stored per device {stored}")

        config = write_config(tmp, [local_device(offline, 1)], name="offline.json")
        started = time.monotonic()
        r = run_host(opts, "--config", config, "--history", history, "--rounds", "0")
        took = time.monotonic() - started
        expect(r.returncode == 0 and [d for (d, *_r) in handed_over(r.stdout)] == [offline],
               f"offline device: exit {r.returncode}: {r.stderr[-300:]!r}")
        expect(took < 5, f"restoring the offline device took {took:.1f} s")


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
            if os.environ.get("E2E_DEBUG_LINES"):
                print("host:", line, file=sys.stderr)
            if line is None:
                self.err.seek(0)
                raise Failure(f"qrn-host ended (exit {self.proc.wait()}) before a line matching "
                              f"{pattern.pattern}: {self.err.read()[-400:]!r}")
            m = pattern.match(line)
            if m:
                return m

    def said(self):
        """qrn-host's own lines on standard error so far (read without moving
        the file's offset, which the host writes at)."""
        fd = self.err.fileno()
        return host_lines(os.pread(fd, os.fstat(fd).st_size, 0).decode("utf-8", "replace"))

    def wait_said(self, pattern, since=0, timeout=60):
        """The number of lines said up to and with the first one from line
        `since` on that `pattern` finds."""
        return poll(f"a line matching {pattern.pattern}", timeout, 0.1, lambda: next(
            (i + 1 for i, l in enumerate(self.said()) if i >= since and pattern.search(l)), None))

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
def live_host(opts, *args, preexec_fn=None):
    """qrn-host --http 127.0.0.1:0 with `args`, once it serves; stopped on every way out."""
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--http", "127.0.0.1:0", *args],
                                stdout=subprocess.PIPE, stderr=err, preexec_fn=preexec_fn)
        host = LiveHost(proc, err)
        try:
            host.url = host.wait_line(URL_LINE).group(1)
            yield host
        finally:
            status, err_text = host.stop()
            if os.environ.get("E2E_DEBUG_LINES"):
                print("host stderr:", err_text.decode(errors="replace")[-3000:], file=sys.stderr)
            proc.stdout.close()


def http_get(url):
    """(status, content type, body) of a GET, error statuses included."""
    try:
        with urllib.request.urlopen(url, timeout=60) as r:
            return r.status, r.headers.get("Content-Type", ""), r.read()
    except urllib.error.HTTPError as e:
        with e:
            return e.code, e.headers.get("Content-Type", ""), e.read()


def committed_rows(history, device_id):
    """How many rows of the device a reader sees committed in the history."""
    with contextlib.closing(sqlite3.connect(f"file:{history}?mode=ro", uri=True)) as db:
        return db.execute("SELECT count(*) FROM history WHERE device_id = ?", (device_id,)).fetchone()[0]


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
                # A record comes before its round's report, which says when
                # each point was read: taken when no record came in between
                # and the report of the record's round is in.
                def record_of_a_reported_round():
                    _l, before = devices()
                    status, ctype, body = host.get("api/devices/7/record")
                    _l, after = devices()
                    expect(status == 200 and ctype.startswith("application/json"),
                           f"record: {status} {ctype}")
                    served = json.loads(body)
                    if before["records"] == after["records"] and \
                            all(p["read_at"] == served["time"] for p in served["points"]):
                        return before, served
                    return None
                before, served = poll("points read this round", 30, 0.1, record_of_a_reported_round)
                n = before["records"]
                expect(without_quality(served) == decode_json(opts, os.path.join(dump, f"7-{n}.bin")),
                       f"api/devices/7/record differs from quorlin decode --json of 7-{n}.bin")
                expect(before["last_stamp"] == served["time"], f"{before} vs {served['time']}")
                check_fixed_values(served, seed, "served record")

                # Each point's history: one value per stored record, oldest first.
                by_width = {}
                for p in served["points"]:
                    if p["name"] not in COVERED:
                        by_width.setdefault(p["width"], p)
                with contextlib.closing(sqlite3.connect(history)) as db:
                    stored = db.execute("SELECT COUNT(*) FROM history WHERE device_id = 7 "
                                        "AND data_id = 5156").fetchone()[0]
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


def live_view_bounds_idle_connections_and_foreign_hosts(opts):
    # 256 descriptors and more idle connections than that: the view keeps a
    # few, each new one taking the place of the oldest, rounds go on, a normal
    # request is answered.
    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
    with tempfile.TemporaryDirectory() as tmp, simulator(opts) as sim:
        config = write_config(tmp, [local_device(7, sim.port)])
        with live_host(opts, "--config", config, preexec_fn=few_descriptors) as host:
            first = int(host.wait_line(LINE).group(2))
            address = ("127.0.0.1", int(host.url.rsplit(":", 1)[1].rstrip("/")))
            idle = [socket.create_connection(address, timeout=60) for _ in range(272)]
            try:
                line = host.wait_line(re.compile(r"^http: the live view keeps (\d+) connections"))
                kept = int(line.group(1))
                expect(0 < kept < 256, f"the view keeps {kept} connections")
                # Two more rounds handed over while the connections are held.
                while int(host.wait_line(LINE).group(2)) < first + 2:
                    pass
                listed, by_id = host.devices()
                expect(by_id[7]["records"] >= first + 2, listed)
                req = urllib.request.Request(host.url + "api/devices", headers={"Host": "evil.example"})
                status, _t, body = http_get(req)
                expect(status == 403 and b"evil.example" in body, f"foreign host: {status} {body!r}")
            finally:
                for s in idle:
                    s.close()
            status, err = host.stop()
            expect(status == 0, f"qrn-host exit {status}: {err[-400:]!r}")


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
            expect(read_record(shown)[4:STAMP_OFFSET] == stored[4:STAMP_OFFSET],
                   "the restored record differs")
            # The page shows the restored record as stored, its stamp included.
            record = stored
            with open(os.path.join(tmp, "stored.bin"), "wb") as f:
                f.write(stored)
            table = decoded_table(opts, os.path.join(tmp, "stored.bin"))
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
                expect([s[:4] for s in states] == [["7", host_addr(config, 7), "restored", "1"],
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
                    rows_7 = db.execute("SELECT COUNT(*) FROM history WHERE device_id = 7 "
                                        "AND data_id = 5156").fetchone()[0]
                expect(n == rows_7, f"trend of point {target} has {n} points, history {rows_7} rows")
                os.makedirs(opts.artifacts, exist_ok=True)
                b.screenshot(os.path.join(opts.artifacts, "live-view-test.png"))


def reload_adds_removes_changes_and_refuses_an_invalid_file(opts):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "0") as a, \
            simulator(opts, "--fixed", "3") as b:
        config = write_config(tmp, [local_device(7, a.port), local_device(8, a.port)])
        history, dump = os.path.join(tmp, "history.db"), os.path.join(tmp, "records")
        proc = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config,
                                 "--history", history, "--dump-dir", dump, "--http", "127.0.0.1:0"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        seen = []

        def until(done):  # reads lines until done(lines) holds
            while not done(seen):
                seen.append(read_line(proc, time.monotonic() + 60))

        def rounds(device_id, lines):
            return [l for l in lines if l.startswith(f"device {device_id} round ")]
        try:
            until(lambda l: rounds(8, l) and rounds(7, l))
            # 7 moves to the other plant, 8 goes, 9 comes.
            write_config(tmp, [local_device(7, b.port), local_device(9, a.port)])
            proc.send_signal(signal.SIGHUP)
            # The remade 7 restores its stored record without handing it over
            # again: its next round is the other plant's.
            until(lambda l: "device 7: changed, made again" in l and
                  rounds(7, l[l.index("device 7: changed, made again"):]) and rounds(9, l))
            first7 = rounds(7, seen[seen.index("device 7: changed, made again"):])[0].split()[3]
            # The live view follows: 8 gone, 9 listed with its records.
            url = next(URL_LINE.match(l).group(1) for l in seen if URL_LINE.match(l))
            ids = [d["id"] for d in json.loads(http_get(url + "api/devices")[2])["devices"]]
            metrics = http_get(url + "metrics")[2].decode()
            poll("device 9's record in the view", 30, 0.2,
                 lambda: http_get(url + "api/devices/9/record")[0] == 200)
            expect(ids == [7, 9] and 'device="8"' not in metrics and 'device="9"' in metrics,
                   f"after reload: devices {ids}, metrics {metrics[:300]!r}")
            with open(config, "w") as f:
                f.write('{"devices": [')
            proc.send_signal(signal.SIGHUP)
            until(lambda l: len(rounds(9, l)) >= 2)
            # A pipe without a writer is refused, not waited on.
            os.remove(config)
            os.mkfifo(config)
            proc.send_signal(signal.SIGHUP)
            until(lambda l: len(rounds(9, l)) >= 3)
            stopping = time.monotonic()
        finally:
            status, out, err = stop(proc)
        expect(time.monotonic() - stopping < 10, f"stopped after {time.monotonic() - stopping:.1f} s")
        out = ("\n".join(seen) + "\n").encode() + out
        expect(status == 0, f"exit {status}: {err[-400:]}")
        said = host_lines(err)
        expect(len(said) >= 3 and said[-1] == "qrn-host: stopping on SIGTERM" and
               said[-2] == f"qrn-host: reload refused, devices unchanged: cannot read {config}: "
                           "not a regular file" and
               said[-3].startswith(f"qrn-host: reload refused, devices unchanged: {config}: "
                                   "invalid JSON"), f"host lines {said}")
        text = out.decode()
        expect("device 8: removed, stopped" in text and "device 7: changed, made again" in text,
               f"reload lines missing: {text[-600:]}")
        lines = handed_over(out)
        for device_id in (7, 9):
            rounds = [n for (d, n, *_r) in lines if d == device_id]
            expect(rounds == list(range(1, len(rounds) + 1)), f"device {device_id}: rounds {rounds}")
        last7 = max(n for (d, n, *_r) in lines if d == 7)
        check_fixed_values(decode_json(opts, os.path.join(dump, f"7-{last7}.bin")), 3,
                           "device 7 after its change")
        check_fixed_values(decode_json(opts, os.path.join(dump, "9-1.bin")), 0, "added device 9")
        check_fixed_values(decode_json(opts, os.path.join(dump, f"7-{first7}.bin")), 3,
                           "device 7's first round after its change")
        after = text.index("device 8: removed, stopped")
        expect(not any(l.startswith("device 8 round") for l in text[after:].splitlines()),
               "device 8 handed over records after its removal")
        with contextlib.closing(sqlite3.connect(history)) as db:
            kept = db.execute("SELECT count(*) FROM history WHERE device_id = 8").fetchone()[0]
        expect(kept >= 1, "device 8's records are gone from the history")


def retention_deletes_old_records_in_batches_while_sampling(opts):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "0") as sim:
        config = write_config(tmp, [local_device(7, sim.port)])
        history = os.path.join(tmp, "history.db")
        r = run_host(opts, "--config", config, "--history", history, "--rounds", "1")
        expect(r.returncode == 0, f"first run: exit {r.returncode}: {r.stderr!r}")
        now = datetime.datetime.now()
        old = [(now - datetime.timedelta(days=40, minutes=i)).strftime("%Y-%m-%d %H:%M:%S")
               for i in range(300)]
        recent = (now - datetime.timedelta(days=10)).strftime("%Y-%m-%d %H:%M:%S")
        # First a record from a clock that was days ahead: it neither stops
        # the pass nor stays, as it was saved before the old ones.
        ahead = (now + datetime.timedelta(days=5)).strftime("%Y-%m-%d %H:%M:%S")
        with contextlib.closing(sqlite3.connect(history)) as db:
            record = db.execute("SELECT record FROM history").fetchone()[0]
            db.execute("DELETE FROM history")
            db.executemany("INSERT INTO history (device_id, data_id, saved_at, record) "
                           "VALUES (7, 5156, ?, ?)",
                           [(ahead, record)] + [(t, record) for t in sorted(old)] + [(recent, record)])
            db.commit()
        size_before = os.path.getsize(history)
        # A reader holds one snapshot through the pass: the saves go on, none
        # lost, none waiting; the WAL is copied back once the reader is gone.
        with contextlib.closing(sqlite3.connect(history, isolation_level=None)) as reader:
            reader.execute("BEGIN")
            reader.execute("SELECT count(*) FROM history").fetchone()
            with live_host(opts, "--config", config, "--history", history,
                           "--keep-days", "30") as host:
                answers, done = [], threading.Event()

                def metrics():  # /metrics all along: how long each answer took
                    while not done.is_set():
                        started = time.monotonic()
                        body = host.get("metrics")[2]
                        answers.append((time.monotonic() - started, body))
                        time.sleep(0.05)
                poller = threading.Thread(target=metrics)
                poller.start()
                try:
                    seen = set()  # the pass and fresh rounds, in either order
                    while len(seen) < 2:
                        seen.add(host.wait_line(re.compile(
                            r"^(retention: 301 records deleted$|device 7 round 3 )")).group(1))
                    reader.execute("COMMIT")
                    host.wait_line(re.compile(r"^device 7 round 5 "))
                finally:
                    done.set()
                    poller.join()
                failures = re.search(rb"^qrn_history_write_failures_total (\d+)$", answers[-1][1], re.M)
                space = [int(re.search(rb"^%s (\d+)$" % name, answers[-1][1], re.M).group(1))
                         for name in (b"qrn_history_bytes", b"qrn_history_filesystem_free_bytes")]
                expect(space[0] >= os.path.getsize(history) and
                       abs(space[1] - shutil.disk_usage(tmp).free) < 1 << 30, f"history space {space}")
                # The oldest row kept after the pass, on /metrics and the live view.
                oldest = re.search(rb"^qrn_history_oldest_record_timestamp_seconds (\d+)$",
                                   answers[-1][1], re.M)
                shown = json.loads(host.get("api/devices")[2])["history_space"]
                want = int(time.mktime(time.strptime(recent, "%Y-%m-%d %H:%M:%S")))
                expect(oldest and int(oldest.group(1)) == want and
                       shown["oldest_record_timestamp"] == want and shown["bytes"] > 0,
                       f"oldest record {oldest and oldest.group(1)}, live view {shown}, want {want}")
                # /metrics never waits for the history: a wait (its busy
                # timeout, the retention pass) costs seconds, while a loaded
                # machine may hold back an answer for a scheduling slice or two.
                took = sorted(t for (t, _b) in answers)
                median, slowest = took[len(took) // 2], took[-1]
                expect(failures and failures.group(1) == b"0" and median < 0.1 and slowest < 1.0,
                       f"history write failures {failures and failures.group(1)}, /metrics took "
                       f"{median:.3f} s (median), up to {slowest:.2f} s beside a reader")
                status, err = host.stop()
        expect(status == 0, f"retention run: exit {status}: {err[-300:]}")
        with contextlib.closing(sqlite3.connect(history)) as db:
            times = [t for (t,) in db.execute("SELECT saved_at FROM history ORDER BY seq")]
        expect(times[0] == recent and len(times) >= 3 and all(near_now(t) for t in times[1:]),
               f"history after retention {times}")
        expect(os.path.getsize(history) < size_before / 4,
               f"space not returned: {size_before} -> {os.path.getsize(history)} bytes")
        # The size cap: 300 more records (2 MiB) and a 1 MiB limit keep the newest,
        # fewer days than --keep-days asks for, which one line says.
        with contextlib.closing(sqlite3.connect(history)) as db:
            db.executemany("INSERT INTO history (device_id, data_id, saved_at, record) "
                           "VALUES (7, 5156, ?, ?)", [(recent, record)] * 300)
            db.commit()
            newest = db.execute("SELECT max(seq) FROM history").fetchone()[0]
        proc = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config,
                                 "--history", history, "--keep-mb", "1", "--keep-days", "30"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        err = ""
        try:
            while not read_line(proc, time.monotonic() + 60).startswith("retention: "):
                pass
        finally:
            err = stop(proc)[2]
        short = [l for l in host_lines(err) if re.fullmatch(
            r"qrn-host: retention: the history's size budget \(1 MiB\) keeps records since "
            r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d only, less than --keep-days 30", l)]
        expect(len(short) == 1, f"no line on a history shorter than --keep-days: {err[-300:]}")
        with contextlib.closing(sqlite3.connect(history)) as db:
            used = db.execute("SELECT (SELECT page_count FROM pragma_page_count) - (SELECT "
                              "freelist_count FROM pragma_freelist_count)").fetchone()[0] * \
                db.execute("PRAGMA page_size").fetchone()[0]
            kept = db.execute("SELECT count(*) FROM history WHERE seq = ?", (newest,)).fetchone()[0]
        expect(used <= 1 << 20 and kept == 1, f"size cap: {used} bytes used, newest kept {kept}")
        r = run_host(opts, "--config", config, "--keep-days", "3", "--rounds", "0")
        expect(r.returncode == 2 and b"need --history" in r.stderr, f"{r.returncode} {r.stderr!r}")


def export_writes_csv_and_json_lines_as_decode_reads(opts):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "5") as sim:
        config = write_config(tmp, [local_device(7, sim.port)])
        history = os.path.join(tmp, "history.db")
        r = run_host(opts, "--config", config, "--history", history, "--rounds", "2")
        expect(r.returncode == 0, f"host: exit {r.returncode}: {r.stderr!r}")
        decoded = decode_json(opts, "--history", history, "--device", "7")
        names = [p["name"] for p in decoded["points"]]
        r = run([opts.quorlin, "export", "--history", history, "--device", "7"])
        # The round reports stored beside the records are not records left out.
        expect(r.returncode == 0 and r.stderr == b"", f"export: exit {r.returncode}: {r.stderr!r}")
        expect(r.stdout.endswith(b"\r\n"), "CSV lines do not end in CRLF")
        rows = list(csv.reader(io.StringIO(r.stdout.decode("utf-8"), newline="")))
        expect(rows[0] == ["time"] + names and len(rows) == 3, f"CSV rows {len(rows)}, {rows[0][:3]}")
        expect(rows[-1][0] == decoded["time"] and
               # the same value, as the record's single-precision float where 4 bytes wide
               [struct.pack("<f", float(v)) if p["width"] == 4 else int(v)
                for v, p in zip(rows[-1][1:], decoded["points"])] ==
               [struct.pack("<f", p["value"]) if p["width"] == 4 else p["value"]
                for p in decoded["points"]],
               "CSV's last row differs from decode's values")
        r = run([opts.quorlin, "export", "--history", history, "--device", "7", "--json-lines",
                 "--points", "2609,1"])
        objs = [json.loads(l) for l in r.stdout.decode("utf-8").splitlines()]
        expect(len(objs) == 2 and list(objs[-1]) == ["time", names[2608], names[0]] and
               objs[-1][names[2608]] == decoded["points"][2608]["value"],
               f"JSON lines {objs[-1:]}")
        for args, count in ((["--from", "2000-01-01", "--to", "2000-12-31"], 0),
                            (["--from", decoded["time"]], 1)):
            r = run([opts.quorlin, "export", "--history", history, "--device", "7", *args])
            expect(r.returncode == 0 and len(r.stdout.splitlines()) == 1 + count,
                   f"{args}: {r.returncode}, {len(r.stdout.splitlines())} lines")
        for args in (["--points", "0"], ["--from", "yesterday"], ["--device", "x"]):
            r = run([opts.quorlin, "export", "--history", history, "--device", "7", *args])
            expect(r.returncode == 2, f"{args}: exit {r.returncode}")


def library_lines_follow_the_log_level_without_escapes(opts):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "0") as sim:
        config = write_config(tmp, [dict(local_device(7, sim.port), settings={
            "appSetting": {"read_mode": "batch", "raed": 1}, "extra": {}})])
        levels = {}
        for level in ("info", "warn", "error"):
            with open(os.path.join(tmp, level), "w+b") as out:
                proc = subprocess.run([opts.host, "--plugin", opts.plugin, "--config", config,
                                       "--rounds", "1", "--log-level", level], stdout=out,
                                      stderr=subprocess.PIPE, timeout=PROCESS_TIMEOUT)
                out.seek(0)
                text = out.read().decode()
            expect(proc.returncode == 0, f"{level}: exit {proc.returncode}")
            expect("\x1b" not in text, f"{level}: escape codes in a file")
            levels[level] = {m for m in re.findall(r"^\[[^]]*\] (\w+)/", text, re.M)}
            expect(text.splitlines()[0] == f"device 7: opc.tcp://127.0.0.1:{sim.port}, read batch "
                   "(500 nodes), session per round, security None, anonymous",
                   f"{level}: start line {text.splitlines()[0]!r}")
            expect(host_lines(proc.stderr.decode()) == [
                'qrn-host: device 7: unknown key "extra" in settings (ignored)',
                'qrn-host: device 7: unknown key "raed" in appSetting (ignored)'],
                f"{level}: {proc.stderr!r}")
        expect("info" in levels["info"] and not levels["warn"] & {"info", "debug"} and
               not levels["error"] & {"info", "debug", "warn"}, f"levels seen {levels}")
        r = run_host(opts, "--config", config, "--log-level", "loud")
        expect(r.returncode == 2, f"--log-level loud: exit {r.returncode}")


def journal_lines_carry_their_priority(opts):
    """With JOURNAL_STREAM naming standard output (as systemd sets it) every
    line starts with its syslog priority, and warnings and errors are the
    failures alone; "round_lines": false keeps a working device's rounds quiet."""
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "0") as sim:
        quiet = dict(local_device(7, sim.port), settings={"appSetting": {"round_lines": False}})
        config = write_config(tmp, [quiet, local_device(8, 1)])
        dump = os.path.join(tmp, "records")
        argv = [opts.host, "--plugin", opts.plugin, "--config", config, "--rounds", "3",
                "--dump-dir", dump]
        with open(os.path.join(tmp, "journal"), "w+b") as out:
            st = os.fstat(out.fileno())
            env = dict(os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}")
            r = subprocess.run(argv, stdout=out, stderr=out, env=env, timeout=PROCESS_TIMEOUT)
            out.seek(0)
            lines = out.read().decode().splitlines()
        unmarked = [l for l in lines if not re.match(r"<[3467]>", l)]
        expect(r.returncode == 1 and not unmarked, f"exit {r.returncode}, unmarked {unmarked}")
        failures = [l[3:] for l in lines if l[:3] in ("<3>", "<4>")]
        expect(all("device 8" in l or "127.0.0.1:1" in l for l in failures) and
               any(l.startswith("Quorlin::do_sample device 8: cannot connect") for l in failures)
               and "qrn-host: device 8: 3 of 3 rounds handed no record over "
                   "(last: BadConnectionRejected)" in failures, f"failure lines {failures}")
        info = [l[3:] for l in lines if l.startswith("<6>")]
        expect(not handed_over("\n".join(info).encode()) and
               sum(l == "Quorlin::do_sample" for l in info) == 3 and
               sum("skip verifying ApplicationURI" in l for l in info) == 2 and
               not any(l.startswith("rvSize") for l in info) and
               len(os.listdir(dump)) == 3, f"info lines {info}, dumps {os.listdir(dump)}")
        # Anywhere else the lines are as they were, without a priority.
        r = run_host(opts, "--config", config, "--rounds", "1")
        expect(not [l for l in (r.stdout + r.stderr).decode().splitlines() if l.startswith("<")],
               f"priorities outside the journal: {r.stdout[:200]!r}")


def packages_carry_the_service_and_their_own_open62541(opts):
    build = os.path.dirname(os.path.abspath(opts.host))
    if not shutil.which("cpack") or not shutil.which("dpkg-deb"):
        raise Skipped("no cpack or dpkg-deb")
    with tempfile.TemporaryDirectory() as tmp:
        r = run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"),
                 "-B", tmp], timeout=300)
        expect(r.returncode == 0, f"cpack: {r.stdout[-300:]!r} {r.stderr[-300:]!r}")
        debs = {n.split("_")[0]: os.path.join(tmp, n) for n in os.listdir(tmp) if n.endswith(".deb")}
        files, fields = {}, {}
        for name, deb in debs.items():
            listing = run(["dpkg-deb", "-c", deb]).stdout.decode().splitlines()
            files[name] = {l.split()[-1].lstrip(".") for l in listing if not l.startswith("d")}
            fields[name] = run(["dpkg-deb", "-f", deb, "Depends"]).stdout.decode()
        wanted = {"quorlin-plugin": {"/usr/lib/qrn/plugins/libquorlin.so",
                                     "/usr/lib/qrn/private/libopen62541.so.1.4",
                                     "/usr/share/doc/quorlin-plugin/copyright",
                                     "/usr/share/doc/quorlin-plugin/changelog.Debian.gz"},
                  "quorlin-tools": {"/usr/bin/qrn-host", "/usr/bin/quorlin", "/usr/bin/qrn-plant",
                                    "/lib/systemd/system/qrn-host.service",
                                    "/etc/qrn/qrn-host.json", "/usr/share/man/man1/qrn-host.1.gz",
                                    "/usr/share/man/man1/quorlin.1.gz",
                                    "/usr/share/doc/quorlin-tools/changelog.Debian.gz"}}
        for name, paths in wanted.items():
            expect(paths <= files.get(name, set()), f"{name} lacks {paths - files.get(name, set())}")
            expect("open62541" not in fields[name], f"{name} Depends: {fields[name]}")
        # A sanitizer build's programs need the sanitizer's runtime, which no
        # unit has: their packages are for this test only.
        sanitized = re.search(rb"lib[at]san\.so", run([opts.readelf, "-d", opts.host]).stdout)
        libs = run([sys.executable, os.path.join(PROJECT, "tools", "check_package_libs.py"),
                    "--readelf", opts.readelf, *debs.values()])
        expect(sanitized or libs.returncode == 0,
               f"installed programs lack libraries: {libs.stdout.decode()}{libs.stderr.decode()[-400:]}")
        conffiles = run(["dpkg-deb", "--ctrl-tarfile", debs["quorlin-tools"]]).stdout
        expect(b"/etc/qrn/qrn-host.json" in conffiles, "the sample configuration is no conffile")
        with open(os.path.join(PROJECT, "cmake", "debian", "qrn-host.service")) as f:
            unit = f.read()
        reload = ("ExecReload=/usr/bin/qrn-host --check-config /etc/qrn/qrn-host.json\n"
                  "ExecReload=/bin/kill -HUP $MAINPID")
        for line in ("User=qrn", reload, "Restart=on-failure",
                     "NoNewPrivileges=yes", "ProtectSystem=strict", "ReadWritePaths=/var/lib/qrn",
                     "ExecStart=/usr/bin/qrn-host --config /etc/qrn/qrn-host.json"):
            expect(line in unit, f"unit lacks {line}")
        with open(os.path.join(PROJECT, "cmake", "debian", "qrn-host.json")) as f:
            config = f.read()
        r = run_host(opts, "--check-config", os.path.join(PROJECT, "cmake", "debian", "qrn-host.json"))
        expect(r.returncode == 0 and r.stderr == b"" and "devices" in config,
               f"sample configuration: {r.stderr!r}")


def prometheus_parser():
    """Debian's python3-prometheus-client, also under an interpreter of its own."""
    try:
        from prometheus_client.parser import text_string_to_metric_families
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        from prometheus_client.parser import text_string_to_metric_families
    return text_string_to_metric_families


def round_reports_show_point_quality_and_device_health(opts):
    parse = prometheus_parser()
    out_of_service, uncertain, not_numeric, missing = 11, 12, 13, 14
    plant = [opts.plant, "--port", "0", "--fixed", "3",
             "--status", f"{out_of_service}=BadOutOfService",
             "--status", f"{uncertain}=UncertainLastUsableValue",
             "--string", str(not_numeric), "--missing", str(missing)]
    with tempfile.TemporaryDirectory() as tmp:
        history = os.path.join(tmp, "history.db")
        with serving(plant) as server:
            config = write_config(tmp, [local_device(4, server.port), local_device(9, free_port())])
            with live_host(opts, "--config", config, "--history", history) as host:
                poll("device 4's record and both reports", 60, 0.2,
                     lambda: host.devices()[1][4]["records"] >= 1
                     and host.devices()[1][9]["last_outcome"] is not None)
                _l, by_id = host.devices()
                d4, d9 = by_id[4], by_id[9]
                expect((d4["last_outcome"], d4["last_error"], d4["failed_rounds"], d4["bad_points"],
                        d4["uncertain_points"]) == ("Good", None, 0, 3, 1), f"device 4: {d4}")
                expect(isinstance(d4["round_ms"], int), f"round_ms {d4['round_ms']!r}")
                expect(d9["last_outcome"].startswith("Bad") and d9["last_error"]
                       and d9["failed_rounds"] >= 1 and d9["bad_points"] == 2706,
                       f"device 9 without a controller: {d9}")

                status, _t, body = host.get("api/devices/4/record")
                points = json.loads(body)["points"]
                expect([points[i - 1]["status"] for i in (out_of_service, uncertain, not_numeric,
                                                          missing, 1)]
                       == ["BadOutOfService", "UncertainLastUsableValue", "BadTypeMismatch",
                           "BadNodeIdUnknown", "Good"], f"statuses {points[10:14]}")
                stamp = json.loads(body)["time"]
                expect(points[uncertain - 1]["read_at"] == stamp
                       and points[out_of_service - 1]["read_at"] is None,
                       f"read times {points[10:12]}")

                status, ctype, body = host.get("metrics")
                expect(status == 200 and ctype.startswith("text/plain"), f"metrics {status} {ctype}")
                samples = {}
                for family in parse(body.decode("utf-8")):
                    for s in family.samples:
                        samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
                dev = lambda i, **more: tuple(sorted({"device": str(i), **more}.items()))
                expect(samples[("qrn_device_up", dev(4))] == 1
                       and samples[("qrn_device_up", dev(9))] == 0, "qrn_device_up")
                expect(samples[("qrn_points", dev(4, status="bad"))] == 3
                       and samples[("qrn_points", dev(4, status="uncertain"))] == 1
                       and samples[("qrn_points", dev(4, status="good"))] == 2702, "qrn_points")
                expect(samples[("qrn_rounds_total", dev(4, outcome="Good"))] >= 1
                       and samples[("qrn_records_total", dev(4))] >= 1, "records and rounds")
                expect(any(k[0] == "qrn_rounds_total" and ("device", "9") in k[1] for k in samples),
                       "device 9's failed rounds")
                expect(samples[("qrn_history_write_failures_total", ())] == 0
                       and ("qrn_last_record_timestamp_seconds", dev(4)) in samples,
                       f"host metrics {sorted(samples)[:4]}")

                # The page: device 9 failing, device 4's problem points marked
                # and listed by the filter; device and point from the address.
                browser = headless_browser.find_browser()
                if browser is not None and not os.environ.get("QRN_TEST_EMULATOR"):
                    with headless_browser.Browser(*browser, width=1100, height=900) as b:
                        b.open(host.url + f"?device=4&point={out_of_service}")
                        b.wait_for("!!(document.querySelector('#devices tr.failing') && "
                                   "document.querySelector('tr.chosen'))", what="marked rows")
                        row = f"document.querySelector('tr[data-index=\"{out_of_service}\"]')"
                        marked = b.evaluate(f"[{row}.className, {row}.querySelector('.quality').title, "
                                            "document.querySelector('#devices tr.failing').dataset.id]")
                        expect("bad" in marked[0] and "chosen" in marked[0]
                               and marked[1].startswith("BadOutOfService, last read never")
                               and marked[2] == "9", f"marked point and device: {marked}")
                        b.evaluate("document.getElementById('problems').click()")
                        listed = sorted(b.evaluate("[...document.querySelectorAll('.points tr:not(.out)')]"
                                                   ".map(tr => Number(tr.dataset.index))"))
                        expect(listed == [out_of_service, uncertain, not_numeric, missing],
                               f"problem points listed {listed}")
                        b.screenshot(os.path.join(opts.artifacts, "live-view-health.png"))

        # A restart without the controller: the stored record is shown as
        # restored with its own stamp and not stored again.
        with contextlib.closing(sqlite3.connect(history)) as db:
            before = db.execute("SELECT count(*) FROM history WHERE data_id = 5156").fetchone()[0]
        # The newest stored record, decoded from its compact row.
        stamp = decode_json(opts, "--history", history, "--device", "4")["time"]
        bad = decode_json(opts, "--history", history, "--device", "4", "--bad")["points"]
        expect([(p["index"], p["status"]) for p in bad] ==
               [(out_of_service, "BadOutOfService"), (uncertain, "UncertainLastUsableValue"),
                (not_numeric, "BadTypeMismatch"), (missing, "BadNodeIdUnknown")]
               and [p["read_at"] for p in bad] == [None, stamp, None, None],
               f"decode --history --bad: {bad}")
        with live_host(opts, "--config", config, "--history", history) as host:
            d4 = poll("device 4's failed round", 60, 0.2,
                      lambda: (lambda d: d if d["failed_rounds"] >= 1 else None)(host.devices()[1][4]))
            expect(d4["state"] == "restored" and d4["last_stamp"] == stamp, f"restored: {d4}")
            points = json.loads(host.get("api/devices/4/record")[2])["points"]
            expect(points[uncertain - 1]["read_at"] == stamp
                   and points[out_of_service - 1]["read_at"] is None,
                   f"read times from the history: {points[10:12]}")
        with contextlib.closing(sqlite3.connect(history)) as db:
            after = db.execute("SELECT count(*) FROM history WHERE data_id = 5156").fetchone()[0]
        expect(after == before, f"records stored {before} before the restart, {after} after")


@contextlib.contextmanager
def mosquitto(tmp, port=None):
    """A mosquitto broker on a free loopback port; killed on every way out."""
    port = port or free_port()
    conf = os.path.join(tmp, f"mosquitto-{port}.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\n" +
                ("user root\n" if os.getuid() == 0 else ""))
    proc = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        poll("mosquitto listening", 20, 0.05, lambda: socket.socket().connect_ex(
            ("127.0.0.1", port)) == 0 or proc.poll() is not None)
        expect(proc.poll() is None, f"mosquitto ended: exit {proc.returncode}")
        yield port
    finally:
        proc.kill()
        proc.wait()


class Collector:
    """spb_collect on the broker: its JSON lines, read from its output file."""

    def __init__(self, opts, tmp, port, name, *options):
        self.out = os.path.join(tmp, name + ".jsonl")
        self.records = os.path.join(tmp, name)
        os.makedirs(self.records)
        self.err = open(os.path.join(tmp, name + ".err"), "w+")
        self.proc = subprocess.Popen([opts.spb_collect, f"127.0.0.1:{port}", "--records",
                                      self.records, *options], stdout=open(self.out, "w"),
                                     stderr=self.err)
        poll("spb_collect subscribed", 20, 0.05, lambda: "subscribed" in open(self.err.name).read())

    def messages(self):
        with open(self.out) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def wait(self, what, check, timeout=60):
        return poll(what, timeout, 0.1, lambda: check(self.messages()))

    def close(self):
        self.proc.terminate()
        status = self.proc.wait()
        self.err.close()
        return status

    def lines(self):
        with open(self.out) as f:
            return f.read().splitlines()


def stored_records(history):
    """(device id as text, round time in ms, bytes) of each stored record, oldest first."""
    out = []
    for _, device, record in history_rows(history, 5156):
        y, mo, d, h, mi, s = struct.unpack_from("<H5B", record, STAMP_OFFSET)
        when = datetime.datetime(y, mo, d, h, mi, s).astimezone(datetime.timezone.utc)
        out.append((str(device), int(when.timestamp() * 1000), bytes(record)))
    return out


def sparkplug_config(tmp, devices, port, **extra):
    path = os.path.join(tmp, "config.json")
    section = dict(servers=[f"tcp://127.0.0.1:{port}"], group_id="plant-3", edge_node_id="unit-17")
    with open(path, "w") as f:
        json.dump({"devices": devices, "sparkplug": {**section, **extra}}, f)
    return path


def check_sequence(messages):
    """Each NBIRTH at seq 0 with the previous message's seq + 1 after it, mod 256;
    a device's DDATA only after its DBIRTH in the same session, and every
    device's first DBIRTH of a session before the session's first DDATA."""
    seq, born, data = None, set(), False
    for m in messages:
        if m["type"] == "NBIRTH":
            expect(m["seq"] == 0, f"NBIRTH at seq {m['seq']}")
            seq, born, data = 0, set(), False
        elif m["type"] in ("DBIRTH", "DDATA", "DDEATH") and seq is not None:
            expect(m["seq"] == (seq + 1) % 256, f"seq {m['seq']} after {seq}: {m}")
            seq = m["seq"]
            if m["type"] == "DBIRTH":
                expect(not data or m["device"] in born, f"DBIRTH after the first DDATA: {m}")
                born.add(m["device"])
            data = data or m["type"] == "DDATA"
            expect(m["type"] != "DDATA" or m["device"] in born, f"DDATA before DBIRTH: {m}")


def round_seq_gaps(messages, history):
    """Per device, the records numbered in the history (Round/Seq) from its
    first one published on that no DBIRTH or DDATA carried; and the live
    DDATA whose Round/Seq is not one more than the device's last live one."""
    with contextlib.closing(sqlite3.connect(history)) as db:
        stored = {}
        for device, number in db.execute(
                "SELECT device_id, round_seq FROM history WHERE data_id = 5156"):
            stored.setdefault(str(device), set()).add(number)
    seen, missing, disorder, last = {}, {}, [], {}
    for m in messages:
        if m["type"] not in ("DBIRTH", "DDATA") or "round_seq" not in m:
            continue
        seen.setdefault(m["device"], set()).add(m["round_seq"])
        n = m["round_seq"]
        if m["type"] == "DBIRTH":
            # Its record comes as DDATA too when it is a new one.
            last[m["device"]] = {n, n + 1}
        elif not m["historical"]:
            if m["device"] in last and n not in last[m["device"]]:
                disorder.append((m["device"], sorted(last[m["device"]]), n))
            last[m["device"]] = {n + 1}
    for device, numbers in stored.items():
        published = seen.get(device, set())
        lost = {n for n in numbers if published and n >= min(published)} - published
        if lost or not published:
            missing[device] = sorted(lost)[:5] if published else "none published"
    return missing, disorder


def outage_and_kill(opts, tmp, port, history, args, hosts):
    """Publishing, the broker away while the host dies, then the backlog after
    a restart until a second kill: the second collector's messages and both
    collectors."""
    with mosquitto(tmp, port):
        first = Collector(opts, tmp, port, "first")
        host = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        hosts.append(host)
        try:
            first.wait("two DDATA per device", lambda ms: all(
                sum(m["type"] == "DDATA" and m["device"] == d for m in ms) >= 2
                for d in ("7", "8")))
        finally:
            first.close()
    # The broker away: records are saved, then the host dies uncleanly.
    before = len(stored_records(history))
    poll("records saved during the outage", 60, 0.2,
         lambda: len(stored_records(history)) >= before + 4)
    host.kill()
    host.wait()
    with mosquitto(tmp, port):
        second = Collector(opts, tmp, port, "second")
        host = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        hosts.append(host)
        try:
            wanted = stored_records(history)
            second.wait("the backlog", lambda ms: {(r[0], r[1]) for r in wanted} <= {
                (m["device"], m["round_time"]) for m in first.messages() + ms
                if m["type"] == "DDATA"})
            # Killed again: the broker says the will, NDEATH with the NBIRTH's bdSeq.
            host.kill()
            host.wait()
            ms = second.wait("NDEATH", lambda ms: ms[-1]["type"] == "NDEATH" and ms)
        finally:
            second.close()
    return ms, first, second


def sparkplug_publishes_and_replays_after_an_outage_and_kill(opts):
    # QoS 0: the broker's loss and each kill send again what went out in
    # the 65 s before (13 records a device at one every 5 s).
    replays_after_an_outage_and_kill(opts, 2 * 2 * 14)


def sparkplug_at_qos_1_replays_after_an_outage_and_kill(opts):
    # QoS 1: only what was not acknowledged goes again, at most the 20
    # publishes in flight at the broker's loss and at each kill.
    replays_after_an_outage_and_kill(opts, 2 * 20, data_qos=1)


def replays_after_an_outage_and_kill(opts, most_duplicates, **extra):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts) as sim:
        history = os.path.join(tmp, "history.db")
        port = free_port()
        config = sparkplug_config(tmp, [local_device(7, sim.port), local_device(8, sim.port)], port,
                                  **extra)
        args = [opts.host, "--plugin", opts.plugin, "--config", config, "--history", history]
        hosts = []
        try:
            ms, first, second = outage_and_kill(opts, tmp, port, history, args, hosts)
        finally:
            for h in hosts:
                h.kill()
                h.wait()
        births = [m["bdSeq"] for m in ms if m["type"] == "NBIRTH"]
        expect(births and ms[-1]["bdSeq"] == births[-1], f"NDEATH {ms[-1]} after births {births}")
        for messages in (first.messages(), ms):
            check_sequence(messages)
        replayed = [m for m in ms if m["type"] == "DDATA" and m["historical"]]
        expect(replayed and all(m["metrics"] == m["historical_metrics"] for m in replayed),
               f"backlog not historical: {replayed[:2]}")
        data = [(m["device"], m["round_time"]) for m in first.messages() + ms if m["type"] == "DDATA"]
        duplicates = len(data) - len(set(data))
        expect(duplicates <= most_duplicates, f"{duplicates} records published twice")
        missing, disorder = round_seq_gaps(first.messages() + ms, history)
        expect(not missing and not disorder,
               f"Round/Seq missing at the host {missing}, live out of order {disorder[:5]}")
        # Each device's record as rebuilt from DBIRTH and DDATA is the stored one.
        for device, when, record in stored_records(history):
            paths = [os.path.join(c.records, f"{device}-{when}.bin") for c in (first, second)]
            rebuilt = [open(p, "rb").read() for p in paths if os.path.exists(p)]
            expect(rebuilt and all(r == record for r in rebuilt),
                   f"device {device} at {when}: rebuilt record differs from the stored one")


def sparkplug_publishes_two_hundred_devices_in_order(opts):
    """200 devices on one plant, each a record every 5 s: every device's
    records all published, in order, none held back behind the others."""
    ids = list(range(1, 201))
    app = {"read_mode": "batch", "session": "keep", "round_lines": False}
    with tempfile.TemporaryDirectory() as tmp, serving(
            [opts.plant, "--port", "0", "--fixed", "5", "--max-sessions", "250"]) as plant, \
            mosquitto(tmp) as port:
        history = os.path.join(tmp, "history.db")
        config = sparkplug_config(tmp, [dict(local_device(i, plant.port), settings={
            "appSetting": app}) for i in ids], port)
        c = Collector(opts, tmp, port, "c")
        verifier = Collector(opts, tmp, port, "verify", "--verify")
        err = open(os.path.join(tmp, "host.err"), "w+")
        host = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config,
                                 "--history", history], stdout=subprocess.DEVNULL, stderr=err)
        try:
            # Every device's first records, then a few rounds more.
            c.wait("DDATA of every device", lambda ms: {
                m["device"] for m in ms if m["type"] == "DDATA"} >= {str(i) for i in ids},
                timeout=120)
            time.sleep(12)
            host.send_signal(signal.SIGTERM)
            status = host.wait(timeout=60)
            # The last group's records, published at the stop, reach the collector.
            time.sleep(1)
        finally:
            if host.poll() is None:
                host.kill()
                host.wait()
            c.close()
            verified = verifier.close()
        ms = c.messages()
        # A host that knows only what the births told it finds every record.
        total = verifier.lines()[-1:]
        expect(verified == 0 and total and total[0].startswith("total: 200 devices,") and
               ", 0 gaps (0 missing)," in total[0] and
               total[0].endswith(", 0 out of order, 0 without Round/Seq: complete"),
               f"spb_collect --verify: {verified} {total}")
        err.seek(0)
        expect(status == 0, f"exit {status}: {err.read()[-400:]!r}")
        check_sequence(ms)
        missing, disorder = round_seq_gaps(ms, history)
        expect(not missing and not disorder,
               f"Round/Seq missing at the host {dict(list(missing.items())[:5])}, "
               f"out of order {disorder[:5]}")
        published = {(m["device"], m["round_time"]) for m in ms if m["type"] == "DDATA"}
        stored = {(r[0], r[1]) for r in stored_records(history)}
        births = {m["device"]: m.get("round_time") for m in ms if m["type"] == "DBIRTH"}
        unpublished = {r for r in stored - published if births.get(r[0]) != r[1]}
        expect(not unpublished, f"{len(unpublished)} of {len(stored)} records never published, "
                                f"e.g. {sorted(unpublished)[:3]}")


def rebirth_payload():
    """A Sparkplug B payload with the metric "Node Control/Rebirth" = true."""
    name = b"Node Control/Rebirth"
    metric = bytes([0x0a, len(name)]) + name + bytes([0x20, 11, 0x70, 1])
    return bytes([0x12, len(metric)]) + metric


def sparkplug_spools_while_the_primary_host_is_offline_and_rebirths(opts):
    parse = prometheus_parser()
    with tempfile.TemporaryDirectory() as tmp, simulator(opts) as sim, mosquitto(tmp) as port:
        def state(online, timestamp=1):
            run(["mosquitto_pub", "-p", port, "-r", "-q", "1", "-t", "spBv1.0/STATE/scada",
                 "-m", json.dumps({"online": online, "timestamp": timestamp})])
        state(False)
        history = os.path.join(tmp, "history.db")
        config = sparkplug_config(tmp, [local_device(7, sim.port)], port, primary_host_id="scada")
        c = Collector(opts, tmp, port, "c")
        try:
            with live_host(opts, "--config", config, "--history", history) as host:
                host.wait_line(re.compile(r"^device 7 round 2 "))
                expect(not [m for m in c.messages() if m["type"] != "STATE"],
                       f"published while the primary host is offline: {c.messages()[:1]}")
                def metrics():
                    return {(s.name, tuple(sorted(s.labels.items()))): s.value
                            for f in parse(host.get("metrics")[2].decode()) for s in f.samples}
                # The publishing figures are taken every 5 s.
                m = poll("the backlog on /metrics", 15, 0.2, lambda: (lambda m: m[(
                    "qrn_publish_backlog_records", (("device", "7"),))] > 0 and m)(metrics()))
                expect(m[("qrn_publish_backlog_records", (("device", "7"),))] in (1, 2, 3) and
                       m[("qrn_publish_connected", ())] == 1 and
                       m[("qrn_publish_server", (("server", f"tcp://127.0.0.1:{port}"),))] == 1 and
                       m[("qrn_publish_messages_total", (("type", "NBIRTH"),))] == 0 and
                       host.devices()[0]["broker"]["primary_host_online"] is False,
                       f"publishing state while the primary host is offline: {m}")
                # The records stored while the primary host is offline, all
                # of them published as historical once it is back.
                spooled = stored_records(history)
                state(True)
                c.wait("the spooled records", lambda ms: {r[1] for r in spooled} <= {
                    m["round_time"] for m in ms if m["type"] == "DDATA" and m["historical"]})
                # Offline while born: NDEATH with the session's bdSeq, and the
                # link leaves for the next server; an online STATE older than
                # that offline one is not believed, a newer one is.
                state(False, 2)
                ms = c.wait("NDEATH", lambda ms: ms[-1]["type"] == "NDEATH" and ms)
                expect(ms[-1]["bdSeq"] == [m for m in ms if m["type"] == "NBIRTH"][-1]["bdSeq"],
                       f"NDEATH {ms[-1]} after {ms[-3:-1]}")
                left = host.wait_said(re.compile(r"^qrn-host: sparkplug: broker: disconnected "
                                                 r"from .*: the primary host scada is offline$"))
                host.wait_said(re.compile(r"^qrn-host: sparkplug: broker: connected to "), left)
                state(True, 1)
                host.wait_said(re.compile(r"STATE online of 1 is older than the one it said before; "
                                          r"ignored$"), left)
                state(True, 3)
                ms = c.wait("the new session",
                            lambda ms: [m["type"] for m in ms].count("NBIRTH") == 2 and ms)
                after = ms[[m["type"] for m in ms].index("NDEATH"):]
                first = next(i for i, m in enumerate(after) if m["type"] == "NBIRTH")
                expect([json.loads(m["payload"])["timestamp"] for m in after[:first]
                        if m["type"] == "STATE"][-1:] == [3],
                       f"born again before the online STATE of 3: {after[:first + 1]}")
                for payload in (rebirth_payload(), b"\x12\x05garbage"):
                    subprocess.run(["mosquitto_pub", "-p", str(port), "-t",
                                    "spBv1.0/plant-3/NCMD/unit-17", "-s"], input=payload, timeout=30)
                c.wait("a rebirth", lambda ms: [m["type"] for m in ms].count("NBIRTH") == 3 and
                       ms[-1]["type"] != "NBIRTH")
                poll("the backlog published", 30, 0.2, lambda: metrics()[
                    ("qrn_publish_backlog_records", (("device", "7"),))] == 0)
                # The plant gone: the device's next round fails, and it dies.
                sim.proc.kill()
                c.wait("DDEATH", lambda ms: any(m["type"] == "DDEATH" and m["device"] == "7"
                                                for m in ms), timeout=120)
                # A changed section: a new connection as the new edge node.
                sparkplug_config(tmp, [local_device(7, sim.port)], port, primary_host_id="scada",
                                 edge_node_id="unit-18")
                host.proc.send_signal(signal.SIGHUP)
                c.wait("the new edge node", lambda ms: any(
                    m["topic"] == "spBv1.0/plant-3/NBIRTH/unit-18" for m in ms))
                status, err = host.stop()
        finally:
            c.close()
        check_sequence(c.messages())
        # What went out before the primary host's offline is sent again after it.
        missing, _ = round_seq_gaps(c.messages(), history)
        expect(not missing, f"Round/Seq missing at the host: {missing}")
        refused = [l for l in host_lines(err.decode()) if "NCMD refused" in l]
        expect(status == 0 and len(refused) == 1, f"exit {status}, NCMD lines {refused}: {err[-400:]}")


CONFORMANCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "conformance")


def sparkplug_conforms_as_an_independent_codec_reads_it(opts):
    """The Sparkplug B 3.0 rules that bind an edge node, checked on what a real
    mosquitto delivered (births, data, a rebirth, the primary host offline,
    online, a stale online, a kill), decoded by an independent codec
    (tests/conformance/check_conformance.js prints the table)."""
    expect(os.path.isdir(os.path.join(CONFORMANCE, "node_modules", "sparkplug-payload")),
           "the Sparkplug codec is missing: ./run test installs it (npm ci in tests/conformance)")
    missing, uint32 = "t|D3G1_AI1_1_HH_Alarm", "t|D3G3_M11_供油压力"
    with tempfile.TemporaryDirectory() as tmp, serving(
            [opts.plant, "--port", "0", "--fixed", "3", "--missing", "2", "--type", "1249=UInt32",
             "--status", "9=UncertainLastUsableValue", "--status", "11=BadSensorFailure"]) as plant, \
            mosquitto(tmp) as port:
        def state(online, timestamp):
            run(["mosquitto_pub", "-p", str(port), "-r", "-q", "1", "-t", "spBv1.0/STATE/scada",
                 "-m", json.dumps({"online": online, "timestamp": timestamp})])
        capture = os.path.join(tmp, "capture.txt")

        def seen(kind):
            with open(capture, encoding="utf-8") as f:
                return [l.split(" ")[0] for l in f if l.endswith("\n") and f"/{kind}/" in l]
        state(False, 1)
        sub = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-V", "mqttv5", "-q", "1",
                                "--retain-as-published", "-t", "spBv1.0/#", "-F", "%t %q %r %x"],
                               stdout=open(capture, "w"))
        host = None
        try:
            poll("the subscriber", 20, 0.05, lambda: seen("STATE"))
            history = os.path.join(tmp, "history.db")
            config = sparkplug_config(tmp, [local_device(i, plant.port) for i in (3, 4, 5)], port,
                                      primary_host_id="scada")
            host = subprocess.Popen([opts.host, "--plugin", opts.plugin, "--config", config,
                                     "--history", history], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            def saved():
                try:
                    return os.path.exists(history) and len(stored_records(history)) >= 3
                except sqlite3.OperationalError:  # not made yet
                    return False
            poll("records saved while the primary host is offline", 60, 0.2, saved)
            state(True, 2)
            poll("DDATA of every device", 60, 0.2, lambda: len(set(seen("DDATA"))) == 3)
            subprocess.run(["mosquitto_pub", "-p", str(port), "-t", "spBv1.0/plant-3/NCMD/unit-17",
                            "-s"], input=rebirth_payload(), timeout=30)
            poll("the rebirth", 30, 0.1, lambda: len(seen("NBIRTH")) == 2)
            state(False, 3)
            poll("NDEATH", 30, 0.1, lambda: seen("NDEATH"))
            state(True, 2)  # older than the offline: not believed
            state(True, 4)
            poll("the next session's DDATA", 60, 0.2, lambda: len(seen("NBIRTH")) == 3 and
                 len(seen("DDATA")) > 6)
            deaths = len(seen("NDEATH"))
            host.kill()
            host.wait()
            poll(f"the will after {deaths} NDEATH", 30, 0.1, lambda: len(seen("NDEATH")) > deaths)
        finally:
            if host and host.poll() is None:
                host.kill()
                host.wait()
            sub.terminate()
            sub.wait()
        r = subprocess.run(["node", os.path.join(CONFORMANCE, "check_conformance.js"), capture,
                            "plant-3", "unit-17", "3,4,5", "scada", missing, uint32],
                           capture_output=True, text=True, timeout=120)
        print(r.stdout, end="")
        expect(r.returncode == 0, f"exit {r.returncode}: {r.stderr[-600:]}")


def retention_keeps_unpublished_records_unless_the_size_limit_forces_it(opts):
    with tempfile.TemporaryDirectory() as tmp, simulator(opts, "--fixed", "0") as sim:
        history = os.path.join(tmp, "history.db")
        # A broker that never answers: nothing is acknowledged.
        config = sparkplug_config(tmp, [local_device(7, sim.port)], free_port())
        r = run_host(opts, "--config", config, "--history", history, "--rounds", "1")
        expect(r.returncode == 0, f"first run: exit {r.returncode}: {r.stderr!r}")
        now = datetime.datetime.now()
        old = sorted((now - datetime.timedelta(days=40, minutes=i)).strftime("%Y-%m-%d %H:%M:%S")
                     for i in range(300))
        with contextlib.closing(sqlite3.connect(history)) as db:
            record = db.execute("SELECT record FROM history WHERE data_id = 5156").fetchone()[0]
            db.execute("DELETE FROM history")
            db.executemany("INSERT INTO history (device_id, data_id, saved_at, record) "
                           "VALUES (7, 5156, ?, ?)", [(t, record) for t in old])
            # The broker acknowledged the first 100 old records only.
            acked = db.execute("SELECT seq FROM history ORDER BY seq LIMIT 1 OFFSET 99").fetchone()[0]
            db.execute("UPDATE publish_progress SET replay = ?1, boundary = ?1, live = ?1", (acked,))
            db.commit()
        with live_host(opts, "--config", config, "--history", history, "--keep-days", "30") as host:
            host.wait_line(re.compile(r"^retention: 100 records deleted$"))
            status, err = host.stop()
        with contextlib.closing(sqlite3.connect(history)) as db:
            kept = db.execute("SELECT count(*) FROM history WHERE saved_at <= ?", (old[-1],)).fetchone()[0]
        expect(status == 0 and kept == 200, f"exit {status}, {kept} old records kept: {err[-300:]!r}")
        with live_host(opts, "--config", config, "--history", history, "--keep-mb", "1") as host:
            dropped = poll("dropped records", 60, 0.2, lambda: int(re.search(
                rb"^qrn_publish_dropped_total (\d+)$", host.get("metrics")[2], re.M).group(1)))
            status, err = host.stop()
        said = re.findall(rb"retention: (\d+) records deleted before a broker acknowledged them", err)
        expect(status == 0 and [int(n) for n in said] == [dropped],
               f"exit {status}, {dropped} dropped, lines {said}: {err[-300:]!r}")


def host_addr(config_path, device_id):
    with open(config_path, encoding="utf-8") as f:
        device = next(d for d in json.load(f)["devices"] if d["id"] == device_id)
    return f"{device['address']}:{device['port']}"


CASES = {f.__name__: f for f in (
    check_connects_securely_to_a_secure_plant,
    secure_simulator_serves_only_a_secure_device,
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
    second_host_on_a_history_is_refused_while_readers_read,
    decode_reads_a_history_it_cannot_write,
    full_disk_loses_records_not_the_host,
    kill_in_a_group_leaves_a_consistent_prefix,
    stored_records_of_wrong_size_or_device_are_not_restored,
    kept_devices_start_on_a_history_without_reports,
    check_reports_each_injected_fault,
    check_against_the_simulator_is_the_summary_alone,
    check_reports_refused_connections_and_usage_errors,
    check_bounds_its_suggestions_among_lookalike_ids,
    live_view_serves_decoded_records_and_device_states,
    live_view_without_history_and_on_a_taken_port,
    live_view_bounds_idle_connections_and_foreign_hosts,
    browser_shows_served_values_and_filters,
    reload_adds_removes_changes_and_refuses_an_invalid_file,
    retention_deletes_old_records_in_batches_while_sampling,
    export_writes_csv_and_json_lines_as_decode_reads,
    library_lines_follow_the_log_level_without_escapes,
    journal_lines_carry_their_priority,
    packages_carry_the_service_and_their_own_open62541,
    round_reports_show_point_quality_and_device_health,
    sparkplug_publishes_and_replays_after_an_outage_and_kill,
    sparkplug_at_qos_1_replays_after_an_outage_and_kill,
    sparkplug_publishes_two_hundred_devices_in_order,
    sparkplug_spools_while_the_primary_host_is_offline_and_rebirths,
    sparkplug_conforms_as_an_independent_codec_reads_it,
    retention_keeps_unpublished_records_unless_the_size_limit_forces_it,
)}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("--quorlin", "--host", "--plugin", "--not-a-plugin", "--readelf", "--plant",
                 "--spb-collect"):
        parser.add_argument(name, required=True)
    parser.add_argument("--artifacts", default=tempfile.gettempdir(),
                        help="where the browser case saves its screenshot")
    parser.add_argument("case", choices=sorted(CASES))
    opts = parser.parse_args()

    def case():
        try:
            CASES[opts.case](opts)
        except headless_browser.BrowserError as e:
            raise Failure(f"browser: {e}") from e
    run_case(case)


if __name__ == "__main__":
    main()
