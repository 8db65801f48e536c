#!/usr/bin/env python3
"""What the history costs and how fast it reads back.

Writing: for each `quorlin sim` profile (the default, then `--profile steady`
when the build's simulator has it), qrn-host runs DEVICES batched devices on
kept sessions with round reports and --history for ROUNDS rounds each, on a
history file it set up just before (`--rounds 0`). Per device-round: the bytes
kept (the database's used pages, page_count - freelist_count, after the host
closed it), the file's growth (database and WAL), the bytes qrn-host wrote
(/proc/PID/io write_bytes, WAL included) and its CPU time (utime + stime), all
read when it has exited; medians of RUNS runs.

Reading: build/bench/history_fill saves a month (--month-days) of one device's
records and round reports through the store, five seconds apart and ending
now, then the last record is read as at start-up (HistoryStore open and
last), one device-day is exported (`quorlin export`, all points, CSV) and the
live view's trend query reads the last hour of one point; medians of RUNS.

Usage: history_bench.py [--build DIR] [--rounds 24] [--devices 20] [--runs 3]
                        [--month-days 30] [--dir DIR] [--no-month] [--no-rounds]
"""
import argparse
import json
import os
import re
import sqlite3
import statistics
import subprocess
import tempfile
import time

TICKS = os.sysconf("SC_CLK_TCK")
RECORD = re.compile(rb"^device (\d+) round (\d+) data 5156 ")
DAY = 86400


def exited_figures(proc):
    """write_bytes and CPU seconds of an exited child, read before it is reaped."""
    os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
    with open(f"/proc/{proc.pid}/io") as f:
        io = dict(line.split(": ") for line in f.read().splitlines())
    with open(f"/proc/{proc.pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    proc.wait()
    return int(io["write_bytes"]), (int(fields[11]) + int(fields[12])) / TICKS


def used_bytes(db):
    """The database's pages that hold data, its WAL included (read-only)."""
    with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as c:
        size = c.execute("PRAGMA page_size").fetchone()[0]
        pages = c.execute("PRAGMA page_count").fetchone()[0]
        free = c.execute("PRAGMA freelist_count").fetchone()[0]
    c.close()
    return (pages - free) * size


def file_bytes(db):
    return sum(os.path.getsize(db + extra) for extra in ("", "-wal")
               if os.path.exists(db + extra))


def start_sim(quorlin, profile):
    """A simulator on a free port, or None when this build's has not the profile."""
    args = [quorlin, "sim", "--port", "0"] + (["--profile", profile] if profile else [])
    sim = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = sim.stdout.readline()
    if not line.startswith(b"listening on "):
        sim.wait()
        return None, None
    return sim, int(line.rsplit(b":", 1)[1])


def write_run(a, work, profile):
    """One run: per device-round kept, grown, written bytes and CPU ms, or None."""
    sim, port = start_sim(os.path.join(a.build, "quorlin"), profile)
    if sim is None:
        return None
    try:
        history = os.path.join(work, "history.db")
        config = os.path.join(work, "config.json")
        app = {"read_mode": "batch", "session": "keep"}
        with open(config, "w") as f:
            json.dump({"devices": [{"id": i + 1, "address": "127.0.0.1", "port": port,
                                    "settings": {"appSetting": app}}
                                   for i in range(a.devices)]}, f)
        host = [os.path.join(a.build, "qrn-host"), "--plugin",
                os.path.join(a.build, "libquorlin.so"), "--config", config,
                "--history", history, "--max-devices", str(a.devices)]
        # The file, its schema and the reserve beside it are made before the
        # measured run, which then only adds rounds.
        subprocess.run(host + ["--rounds", "0"], check=True, capture_output=True)
        used0, file0 = used_bytes(history), file_bytes(history)
        proc = subprocess.Popen(host + ["--rounds", str(a.rounds)], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        rounds = sum(1 for line in proc.stdout if RECORD.match(line))
        written, cpu = exited_figures(proc)
        if proc.returncode != 0 or rounds == 0:
            raise SystemExit(f"qrn-host exited {proc.returncode} after {rounds} records")
        kept, grown = used_bytes(history) - used0, file_bytes(history) - file0
    finally:
        sim.terminate()
        sim.wait()
    return {"kept": kept / rounds, "grown": grown / rounds, "written": written / rounds,
            "cpu_ms": 1000 * cpu / rounds, "rounds": rounds}


def medians(runs):
    return {k: statistics.median(r[k] for r in runs) for k in runs[0]}


def local_text(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t))


def timed(args, out=subprocess.PIPE):
    """Seconds the command took and its output (when `out` is PIPE)."""
    start = time.monotonic()
    r = subprocess.run(args, stdout=out, stderr=subprocess.PIPE, text=True)
    took = time.monotonic() - start
    if r.returncode != 0:
        raise SystemExit(f"{' '.join(args)}: exit {r.returncode}: {r.stderr}")
    return took, r.stdout


def month_part(a, work):
    fill = os.path.join(a.build, "bench", "history_fill")
    quorlin = os.path.join(a.build, "quorlin")
    history = os.path.join(work, "month.db")
    rounds = a.month_days * DAY // 5
    end = int(time.time())
    took, out = timed([fill, "fill", history, "7", str(rounds), str(end)])
    size = file_bytes(history)
    print(f"month: {rounds} rounds of device 7 ({a.month_days} days) saved in {took:.0f} s, "
          f"{size / 1e9:.2f} GB, {size / rounds / 1e3:.2f} KB per round")
    opens, lasts, exports, trends = [], [], [], []
    # A whole day in the middle of the history (the last one for a single day).
    day_end = end - (a.month_days // 2) * DAY
    export = [quorlin, "export", "--history", history, "--device", "7",
              "--from", local_text(day_end - DAY + 5), "--to", local_text(day_end)]
    csv = os.path.join(work, "day.csv")
    lines = 0
    for _ in range(a.runs):
        _, out = timed([fill, "last", history, "7"])
        m = re.match(r"open ([\d.]+) ms, last ([\d.]+) ms", out)
        opens.append(float(m.group(1)))
        lasts.append(float(m.group(2)))
        with open(csv, "w") as f:
            exports.append(timed(export, f)[0])
        with open(csv, "rb") as f:
            lines = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))
        os.remove(csv)
        _, out = timed([fill, "trend", history, "7", "60", str(end)])
        m = re.match(r"trend (\d+) values in ([\d.]+) ms", out)
        trends.append((float(m.group(2)), int(m.group(1))))
    med = statistics.median
    print(f"  start-up: open {med(opens):.1f} ms, last record {med(lasts):.2f} ms")
    print(f"  export of one device-day: {med(exports):.2f} s ({lines - 1} records)")
    print(f"  trend of one point over 60 min: {med(t for t, _ in trends):.2f} ms "
          f"({trends[0][1]} values)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--rounds", type=int, default=24)
    ap.add_argument("--devices", type=int, default=20)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--month-days", type=int, default=30)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--no-month", action="store_true", help="leave the reading part out")
    ap.add_argument("--no-rounds", action="store_true", help="leave the writing part out")
    a = ap.parse_args()
    if not a.no_rounds:
        print(f"{a.devices} batched devices, kept sessions, round reports, {a.rounds} rounds "
              f"each; per device-round, medians of {a.runs} runs (KB = 1000 bytes)")
        print(f"{'profile':8} {'kept KB':>8} {'file KB':>8} {'written KB':>10} "
              f"{'cpu ms':>7} {'rounds':>7}")
        for profile in ("", "steady"):
            runs = []
            for _ in range(a.runs):
                with tempfile.TemporaryDirectory(dir=a.dir) as work:
                    r = write_run(a, work, profile)
                if r is None:
                    break
                runs.append(r)
            name = profile or "default"
            if not runs:
                print(f"{name:8} (this build's quorlin sim has no --profile {profile})")
                continue
            m = medians(runs)
            print(f"{name:8} {m['kept'] / 1e3:8.2f} {m['grown'] / 1e3:8.2f} "
                  f"{m['written'] / 1e3:10.1f} {m['cpu_ms']:7.2f} {m['rounds']:7.0f}", flush=True)
    if not a.no_month:
        with tempfile.TemporaryDirectory(dir=a.dir) as work:
            month_part(a, work)


if __name__ == "__main__":
    main()
