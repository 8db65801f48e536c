#!/usr/bin/env python3
"""The history on a file system that another file fills: qrn-host with N
devices on `quorlin sim`, its history on a tmpfs of SIZE MiB, publishing to a
broker that is not there (no record is acknowledged, so every record deleted
is a loss). After a warm-up a filler file takes every free byte and keeps
taking what is freed (a log that grows whenever there is room) for FULL
seconds; then the host is stopped. Per run:

- rounds saved after the ring made way: the rounds handed over after the
  host's first line saying the oldest records make way, less the records
  the host says it could not save (its summary line at exit);
- records lost: not reached (handed over but not in the history at the
  end, matched by device and round time) and said (the counts in the host's
  lines, those at exit included); and at a scrape of /metrics just before
  the stop, the records handed over (2 s before it) that the history no
  longer held, against what /metrics counted (`qrn_publish_dropped_total` +
  `qrn_history_write_failures_total`, the latter with round reports);
- the largest WAL file seen (sampled every second).

Needs root (mount); with FULL_DISK_BENCH_DEBUG set the host's lines are printed. Usage: full_disk_bench.py [--build DIR] [--sizes 16,64]
                           [--devices 20] [--warmup S] [--full S] [--runs N]
"""

import argparse
import contextlib
import json
import os
import re
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from e2e_harness import history_rows  # noqa: E402

LINE = re.compile(r"^device (\d+) round \d+ data 5156 size 7001 time (\S+ \S+)$")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stored(history):
    """{(device, "YYYY-MM-DD HH:MM:SS")} of the history's records, by their stamps."""
    out = set()
    for _, device, record in history_rows(history, 5156):
        if len(record) == 7001:
            y, mo, d, h, mi, s = struct.unpack_from("<H5B", record, 6994)
            out.add((device, f"{y:04}-{mo:02}-{d:02} {h:02}:{mi:02}:{s:02}"))
    return out


class Filler:
    """Takes every free byte of the file system, and again each half second."""

    def __init__(self, path):
        self.path, self.stop = path, threading.Event()
        self.f = open(path, "wb", buffering=0)
        self.top_up()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def top_up(self):
        with contextlib.suppress(OSError):
            while self.f.write(b"\0" * 4096):
                pass

    def run(self):
        while not self.stop.wait(0.5):
            self.top_up()

    def close(self):
        self.stop.set()
        self.thread.join()
        self.f.close()


def metric(text, name):
    m = re.search(rf"^{re.escape(name)} (\d+)$", text, re.M)
    return int(m.group(1)) if m else None


def said_losses(lines):
    """Records lost as the host's lines count them: not saved, and deleted unpublished."""
    said = 0
    for l in lines:
        if "cannot save device" in l and "sampling goes on" in l:
            said += 1  # the first of an episode, said with its line
        m = re.search(r"(\d+) more records lost since the last line", l)
        said += int(m.group(1)) if m and "history" in l else 0
        m = re.search(r"(\d+) of them records a broker had not acknowledged", l)
        said += int(m.group(1)) if m else 0
        m = re.search(r"retention: (\d+) records deleted before a broker acknowledged", l)
        said += int(m.group(1)) if m else 0
    return said


def one_run(a, size_mib, sim_port):
    tmp = tempfile.mkdtemp()
    fs = os.path.join(tmp, "fs")
    os.mkdir(fs)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_mib}m", "tmpfs", fs], check=True)
    history = os.path.join(fs, "h.db")
    http = free_port()
    app = {"read_mode": "batch", "session": "keep"}
    config = os.path.join(tmp, "config.json")
    with open(config, "w") as f:
        json.dump({"devices": [{"id": i + 1, "address": "127.0.0.1", "port": sim_port,
                                "settings": {"appSetting": app}} for i in range(a.devices)],
                   "sparkplug": {"servers": [f"tcp://127.0.0.1:{free_port()}"],
                                 "group_id": "bench", "edge_node_id": "unit"}}, f)
    host = subprocess.Popen([os.path.join(a.build, "qrn-host"), "--plugin",
                             os.path.join(a.build, "libquorlin.so"), "--config", config,
                             "--history", history, "--max-devices", str(a.devices),
                             "--http", f"127.0.0.1:{http}"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    handed, lines, wal_max = [], [], [0]
    readers = [threading.Thread(target=lambda: [handed.append((time.monotonic(), l.rstrip("\n")))
                                                for l in host.stdout], daemon=True),
               threading.Thread(target=lambda: [lines.append((time.monotonic(), l.rstrip("\n")))
                                                for l in host.stderr], daemon=True)]
    for t in readers:
        t.start()
    done = threading.Event()

    def sample_wal():
        while not done.wait(1):
            with contextlib.suppress(OSError):
                wal_max[0] = max(wal_max[0], os.path.getsize(history + "-wal"))
    sampler = threading.Thread(target=sample_wal, daemon=True)
    sampler.start()
    filler = None
    try:
        time.sleep(a.warmup)
        reserve = os.path.exists(history + "-reserve")
        filled_at = time.monotonic()
        filler = Filler(os.path.join(fs, "filler"))
        time.sleep(a.full)
        # The counters and the history at one moment, the host running.
        with urllib.request.urlopen(f"http://127.0.0.1:{http}/metrics", timeout=10) as r:
            metrics = r.read().decode()
        scraped_at = time.monotonic()
        kept_at_scrape = stored(history)
        host.send_signal(signal.SIGTERM)
        host.wait(timeout=60)
        for t in readers:
            t.join()
        done.set()
        sampler.join()
        # Read with room again: a reader needs its WAL index.
        filler.close()
        os.remove(filler.path)
        filler = None
        kept = stored(history)
    finally:
        if host.poll() is None:
            host.kill()
            host.wait()
        if filler:
            filler.close()
        subprocess.run(["umount", fs], check=False)
        with contextlib.suppress(OSError):
            os.rmdir(fs)
            os.rmdir(tmp)
    if os.environ.get("FULL_DISK_BENCH_DEBUG"):
        for t, l in lines:
            print(f"  {t - filled_at:+7.1f} {l}", flush=True)
    records = [(t, m) for t, m in ((t, LINE.match(l)) for t, l in handed) if m]
    ring = [t for t, l in lines if "make way" in l]
    ring_at = ring[0] if ring else None
    after = [m for t, m in records if ring_at is not None and t >= ring_at]
    errs = [l for _, l in lines]
    summary = [re.search(r"(\d+) records not saved in history", l) for l in errs]
    not_saved = sum(int(m.group(1)) for m in summary if m)
    dropped = metric(metrics, "qrn_publish_dropped_total") or 0
    failures = metric(metrics, "qrn_history_write_failures_total") or 0
    not_reached = sum(1 for _, m in records if (int(m.group(1)), m.group(2)) not in kept)
    # At the scrape: the records handed over 2 s before it (their group
    # committed) that the history no longer held.
    gone_at_scrape = sum(1 for t, m in records if t < scraped_at - 2 and
                         (int(m.group(1)), m.group(2)) not in kept_at_scrape)
    return {"reserve_before_fill": reserve,
            "rounds_after_fill": sum(1 for t, _ in records if t >= filled_at),
            "ring_after_s": round(ring_at - filled_at, 1) if ring_at else None,
            "rounds_after_ring": len(after),
            "saved_after_ring_pct": round(max(0.0, 100 * (1 - not_saved / len(after))), 1)
            if after else 0.0,
            "not_saved": not_saved, "lost_not_reached": not_reached,
            "lost_said": said_losses(errs),
            "at_scrape_not_reached": gone_at_scrape, "at_scrape_counted": dropped + failures,
            "at_scrape_dropped": dropped, "at_scrape_write_failures": failures,
            "ring_lines": len(ring), "wal_max_kib": wal_max[0] // 1024,
            "kept_records": len(kept)}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--sizes", default="16,64", help="tmpfs sizes in MiB")
    ap.add_argument("--devices", type=int, default=20)
    ap.add_argument("--warmup", type=float, default=30)
    ap.add_argument("--full", type=float, default=300, help="seconds the file system is kept full")
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root to mount a tmpfs")
    sim_port = free_port()
    sim = subprocess.Popen([os.path.join(a.build, "quorlin"), "sim", "--port", str(sim_port)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1)
        for size in (int(s) for s in a.sizes.split(",")):
            runs = []
            for i in range(a.runs):
                r = one_run(a, size, sim_port)
                print(f"{size} MiB run {i + 1}: {json.dumps(r)}", flush=True)
                runs.append(r)
            keys = ["rounds_after_ring", "saved_after_ring_pct", "lost_not_reached",
                    "lost_said", "at_scrape_not_reached", "at_scrape_counted", "wal_max_kib",
                    "kept_records"]
            print(f"{size} MiB, {a.devices} devices, {a.full:.0f} s full, {a.runs} runs (medians): " +
                  ", ".join(f"{k} {statistics.median(r[k] for r in runs)}" for k in keys),
                  flush=True)
    finally:
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()
