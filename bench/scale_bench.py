#!/usr/bin/env python3
"""Many devices: qrn-host with N batched devices spread over several plant
simulators (qrn-plant), optionally while busy processes load every core.
Reports the cadence (median and p95 of the interval between a device's
records, over all devices), devices without a record, the host's CPU per
device-round and share of a core, and its resident memory and address space
per device. Intervals are measured after every device's first round.

Usage: scale_bench.py [--build DIR] [--devices N] [--plants K] [--seconds S]
                      [--session round|keep] [--load L] [--no-reports]
"""

import argparse
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

TICKS = os.sysconf("SC_CLK_TCK")
RECORD = re.compile(r"^device (\d+) round (\d+) ")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def memory_kib(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmSize"):
                values[key] = int(rest.split()[0])
    return values.get("VmRSS", 0), values.get("VmSize", 0)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--devices", type=int, default=256)
    ap.add_argument("--plants", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--session", choices=("round", "keep"), default="keep")
    ap.add_argument("--load", type=int, default=0, help="busy processes alongside")
    ap.add_argument("--no-reports", action="store_true",
                    help="devices send no round reports (\"round_report_id\": 0)")
    ap.add_argument("--plant-nice", type=int, default=0,
                    help="niceness added to the simulators; below 0 (root) they stand in "
                         "for plants on machines of their own, ahead of the busy processes")
    ap.add_argument("--max-nodes", type=int, default=0,
                    help="the devices' max_nodes_per_read (0: the driver's default)")
    a = ap.parse_args()

    procs = []
    try:
        ports = []
        # Room for every device's kept session, and for per-round sessions
        # that overlap, on top of the simulator's default of 100.
        per_plant = -(-a.devices // a.plants) + 100
        for _ in range(a.plants):
            port = free_port()
            procs.append(subprocess.Popen([os.path.join(a.build, "qrn-plant"), "--port", str(port),
                                           "--fixed", "1", "--max-sessions", str(per_plant)],
                                          stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL,
                                          preexec_fn=(lambda: os.nice(a.plant_nice))
                                          if a.plant_nice else None))
            ports.append(port)
        time.sleep(1.5)
        for _ in range(a.load):
            procs.append(subprocess.Popen([sys.executable, "-c", "while True: pass"]))
        app = {"read_mode": "batch", "session": a.session}
        if a.no_reports:
            app["round_report_id"] = 0
        if a.max_nodes:
            app["max_nodes_per_read"] = a.max_nodes
        config = {"devices": [{"id": i + 1, "address": "127.0.0.1", "port": ports[i % a.plants],
                               "settings": {"appSetting": app}} for i in range(a.devices)]}
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump(config, f)
            config_path = f.name
        host = subprocess.Popen([os.path.join(a.build, "qrn-host"), "--plugin",
                                 os.path.join(a.build, "libquorlin.so"), "--config", config_path,
                                 "--max-devices", str(max(a.devices, 1))],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                errors="replace")
        procs.append(host)
        times = {}
        lock = threading.Lock()

        def reader():
            for line in host.stdout:
                m = RECORD.match(line)
                if m:
                    with lock:
                        times.setdefault(int(m.group(1)), []).append(time.monotonic())

        threading.Thread(target=reader, daemon=True).start()
        # Warm-up: the first rounds are spread over one period.
        time.sleep(7)
        start = time.monotonic()
        cpu0 = cpu_seconds(host.pid)
        plants0 = sum(cpu_seconds(p.pid) for p in procs[:a.plants])
        time.sleep(a.seconds)
        cpu1 = cpu_seconds(host.pid)
        plants1 = sum(cpu_seconds(p.pid) for p in procs[:a.plants])
        end = time.monotonic()
        rss, vsz = memory_kib(host.pid)
        with lock:
            snapshot = {d: list(t) for d, t in times.items()}
    finally:
        for p in reversed(procs):
            p.terminate()
        for p in procs:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
    intervals, rounds, silent = [], 0, 0
    for d in range(1, a.devices + 1):
        t = [x for x in snapshot.get(d, []) if start <= x <= end]
        rounds += len(t)
        silent += not t
        before = [x for x in snapshot.get(d, []) if x < start]
        seq = before[-1:] + t
        intervals += [b - c for b, c in zip(seq[1:], seq[:-1])]
    intervals.sort()
    p95 = intervals[int(0.95 * (len(intervals) - 1))] if intervals else float("nan")
    med = statistics.median(intervals) if intervals else float("nan")
    cpu = cpu1 - cpu0
    print(f"{a.devices} batched devices, {a.plants} plants, session {a.session}, "
          f"{a.load} busy processes, {a.seconds:.0f} s window"
          + (", no round reports" if a.no_reports else "")
          + (f", max_nodes_per_read {a.max_nodes}" if a.max_nodes else "")
          + (f", simulators at nice {a.plant_nice:+d}" if a.plant_nice else ""))
    print(f"  interval median {med:.3f} s, p95 {p95:.3f} s; {silent} devices without a record")
    print(f"  host cpu {100 * cpu / (end - start):.1f} % of a core, "
          f"{1000 * cpu / max(rounds, 1):.3f} ms per device-round ({rounds} rounds)")
    print(f"  simulators: {100 * (plants1 - plants0) / (end - start):.1f} % of a core together")
    print(f"  host memory: resident {rss / a.devices:.1f} KiB, address space "
          f"{vsz / a.devices:.1f} KiB per device (totals {rss} / {vsz} KiB)")


if __name__ == "__main__":
    main()
