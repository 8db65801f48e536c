#!/usr/bin/env python3
"""Retention on a month of history: builds a history file holding DAYS days of
one device's records every five seconds (the real schema, made by qrn-host),
then runs `qrn-host --keep-days KEEP` against `quorlin sim` until its first
retention pass is done, and prints the file's size before and after, the pass's
duration and the intervals between the records handed over meanwhile.

Usage: retention_bench.py BUILD_DIR [--days 30] [--keep 7] [--dir DIR]
"""
import argparse
import datetime
import json
import os
import re
import sqlite3
import statistics
import subprocess
import tempfile
import time


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("build")
    p.add_argument("--days", type=int, default=30)
    p.add_argument("--keep", type=int, default=7)
    p.add_argument("--dir", default=tempfile.gettempdir())
    a = p.parse_args()
    host, quorlin = os.path.join(a.build, "qrn-host"), os.path.join(a.build, "quorlin")
    work = tempfile.mkdtemp(dir=a.dir)
    history = os.path.join(work, "history.db")
    sim = subprocess.Popen([quorlin, "sim", "--port", "0"], stdout=subprocess.PIPE, text=True)
    port = int(sim.stdout.readline().rsplit(":", 1)[1])
    config = os.path.join(work, "config.json")
    with open(config, "w") as f:
        json.dump({"devices": [{"id": 7, "address": "127.0.0.1", "port": port}]}, f)
    subprocess.run([host, "--config", config, "--history", history, "--rounds", "1"],
                   check=True, capture_output=True)
    with sqlite3.connect(history) as db:
        record = db.execute("SELECT record FROM history").fetchone()[0]
        db.execute("DELETE FROM history")
        now = datetime.datetime.now()
        rows = a.days * 86400 // 5
        start = time.monotonic()
        db.executemany("INSERT INTO history (device_id, data_id, saved_at, record) "
                       "VALUES (7, 5156, ?, ?)",
                       (((now - datetime.timedelta(seconds=5 * (rows - i))).strftime(
                           "%Y-%m-%d %H:%M:%S"), record) for i in range(rows)))
        db.commit()
        print(f"history: {rows} records over {a.days} days, built in "
              f"{time.monotonic() - start:.0f} s")
    before = os.path.getsize(history)
    proc = subprocess.Popen([host, "--config", config, "--history", history,
                             "--keep-days", str(a.keep)], stdout=subprocess.PIPE, text=True)
    start = time.monotonic()
    stamps, deleted = [], None
    for line in proc.stdout:
        if re.match(r"device 7 round \d+ ", line):
            stamps.append(time.monotonic())
        m = re.match(r"retention: (\d+) records deleted", line)
        if m:
            deleted, took = int(m.group(1)), time.monotonic() - start
            break
    proc.terminate()
    proc.wait()
    sim.terminate()
    sim.wait()
    after = os.path.getsize(history)
    gaps = [b - a for a, b in zip(stamps[1:], stamps[2:])]  # round 1 is the restored record
    print(f"retention --keep-days {a.keep}: {deleted} records deleted in {took:.1f} s")
    print(f"file: {before / 2**20:.0f} MiB before, {after / 2**20:.0f} MiB after")
    if gaps:
        print(f"records during the pass: {len(stamps)}, interval median "
              f"{statistics.median(gaps):.2f} s, max {max(gaps):.2f} s")
    os.remove(history)
    for extra in ("-wal", "-shm"):
        if os.path.exists(history + extra):
            os.remove(history + extra)


if __name__ == "__main__":
    main()
