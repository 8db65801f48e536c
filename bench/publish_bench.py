#!/usr/bin/env python3
"""Publishing through an outage: qrn-host with N devices against `quorlin sim`,
publishing to mosquitto through a TCP relay that this script cuts for the
outage (the subscriber stays connected to the broker itself). qrn-host is
killed (SIGKILL) once during the outage and once during the replay, and
started again at once. Reports per run: records in the history that never
reached the subscriber (by device and Round/Time, must be 0), duplicates,
the time from the broker's return until the last record saved before it was
published, and the live DDATA's lag behind their round during the replay
(p95). Then the host's CPU over a window with and without publishing, and
the bytes of a DBIRTH and of a DDATA. Prints medians over the runs.

With --steady S there is no outage: the devices (on qrn-plant, one per 500
devices) sample for S seconds with the broker there all along, and each run
reports the share of the records saved that were published (DBIRTH or DDATA,
by device and Round/Time) after a clean stop, and qrn-host's CPU over the
window, with and without publishing.

Usage: publish_bench.py [--build DIR] [--devices N] [--outage S] [--runs N]
                        [--cpu-seconds S] [--steady S]
With PUBLISH_BENCH_DEBUG=FILE the hosts' output goes to FILE and each
duplicate is printed with its copies' times from the kill in the replay.
"""

import argparse
import json
import os
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import datetime

# Rows are stored compactly: decoded as the tests decode them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from e2e_harness import history_rows  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    sys.exit(f"nothing listens on port {port}")


class Relay:
    """Forwards a local port to the broker; `cut()` closes every connection and
    refuses new ones (the outage), `restore()` forwards again."""

    def __init__(self, target):
        self.target, self.open, self.conns = target, True, []
        self.lock = threading.Lock()
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(16)
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            client, _ = self.server.accept()
            with self.lock:
                if not self.open:
                    client.close()
                    continue
                upstream = socket.create_connection(("127.0.0.1", self.target))
                self.conns += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def _pipe(a, b):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        with self.lock:
            self.open = False
            for s in self.conns:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.conns = []

    def restore(self):
        with self.lock:
            self.open = True


def stored(history):
    """{(device, round time ms)} of the history's records."""
    out = set()
    for _, device, record in history_rows(history, 5156):
        if len(record) == 7001:
            y, mo, d, h, mi, s = struct.unpack_from("<H5B", record, 6994)
            when = datetime.datetime(y, mo, d, h, mi, s).astimezone(datetime.timezone.utc)
            out.add((str(device), int(when.timestamp() * 1000)))
    return out


def messages(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.endswith("\n")]


def start_host(a, config, history):
    log = os.environ.get("PUBLISH_BENCH_DEBUG")
    return subprocess.Popen([os.path.join(a.build, "qrn-host"), "--plugin",
                             os.path.join(a.build, "libquorlin.so"), "--config", config,
                             "--history", history, "--max-devices", str(a.devices)],
                            stdout=open(log, "a") if log else subprocess.DEVNULL,
                            stderr=subprocess.STDOUT if log else subprocess.DEVNULL)


def config_file(tmp, a, sim_port, broker_port):
    app = {"read_mode": "batch", "session": "keep", "round_lines": False}
    config = {"devices": [{"id": i + 1, "address": "127.0.0.1", "port": sim_port,
                           "settings": {"appSetting": app}} for i in range(a.devices)]}
    if broker_port:
        config["sparkplug"] = {"servers": [f"tcp://127.0.0.1:{broker_port}"],
                               "group_id": "bench", "edge_node_id": "unit"}
    path = os.path.join(tmp, f"config-{broker_port}.json")
    with open(path, "w") as f:
        json.dump(config, f)
    return path


def one_run(a, tmp, sim_port, broker_port):
    history = os.path.join(tmp, f"history-{time.monotonic_ns()}.db")
    relay = Relay(broker_port)
    out = os.path.join(tmp, f"collect-{time.monotonic_ns()}.jsonl")
    collector = subprocess.Popen([os.path.join(a.build, "spb_collect"), f"127.0.0.1:{broker_port}"],
                                 stdout=open(out, "w"), stderr=subprocess.DEVNULL)
    config = config_file(tmp, a, sim_port, relay.port)
    host = start_host(a, config, history)
    events = {}  # what happened when (ms since the epoch)
    try:
        time.sleep(20)  # every device's first rounds, published live
        relay.cut()
        events["broker cut"] = time.time() * 1000
        time.sleep(a.outage / 2)
        events["kill in the outage"] = time.time() * 1000
        host.kill()
        host.wait()
        host = start_host(a, config, history)
        time.sleep(a.outage / 2)
        returned_ms = time.time() * 1000
        relay.restore()
        # Killed again once the replay is under way.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and sum(
                m.get("historical", False) for m in messages(out)) < 50:
            time.sleep(0.2)
        events["kill in the replay"] = time.time() * 1000
        host.kill()
        host.wait()
        host = start_host(a, config, history)
        # Until every record saved so far has come, at most 5 minutes.
        deadline = time.monotonic() + 300
        while time.monotonic() < deadline:
            want = stored(history)
            got = {(m["device"], m["round_time"]) for m in messages(out) if m["type"] == "DDATA"}
            if want <= got:
                break
            time.sleep(1)
    finally:
        events["stop"] = time.time() * 1000
        host.send_signal(signal.SIGTERM)
        host.wait()
        time.sleep(1)
        collector.terminate()
        collector.wait()
    ms = messages(out)
    data = [m for m in ms if m["type"] == "DDATA"]
    keys = [(m["device"], m["round_time"]) for m in data]
    # Checked after the stop: the records of its last group count too.
    lost = sorted(stored(history) - set(keys))
    missing = len(lost)
    for device, when in lost[:10]:
        print(f"  missing: device {device}, round {when}, "
              + ", ".join(f"{k} {(when - t) / 1000:+.1f} s" for k, t in events.items()), flush=True)
    # Each duplicate charged to the last fault before its second copy.
    copies = {}
    for m in data:
        copies.setdefault((m["device"], m["round_time"]), []).append(m["timestamp"])
    if os.environ.get("PUBLISH_BENCH_DEBUG"):
        kill = events["kill in the replay"]
        for k, stamps in sorted(copies.items()):
            if len(stamps) > 1:
                h = [m["historical"] for m in data if (m["device"], m["round_time"]) == k]
                print("  dup", k, [(t - kill) / 1000 for t in stamps], h, flush=True)
    faults = sorted((t, k) for k, t in events.items() if k != "stop")
    by_fault = {}
    for stamps in copies.values():
        for later in sorted(stamps)[1:]:
            before = [k for t, k in faults if t <= later]
            by_fault[before[-1] if before else "none"] = by_fault.get(before[-1] if before else "none", 0) + 1
    replayed = [m["timestamp"] for m in data if m["historical"]]
    cleared = (max(replayed) - returned_ms) / 1000 if replayed else 0.0
    end = max(replayed) if replayed else returned_ms
    lags = sorted((m["timestamp"] - m["round_time"]) / 1000 for m in data
                  if not m["historical"] and returned_ms <= m["timestamp"] <= end)
    p95 = lags[int(0.95 * (len(lags) - 1))] if lags else 0.0
    return {"records": len(stored(history)), "missing": missing,
            "duplicates": len(keys) - len(set(keys)), "duplicates_by_fault": by_fault,
            "cleared_s": cleared,
            "live_lag_p95_s": p95, "live_during_replay": len(lags)}


def steady_run(a, tmp, broker_port, publishing):
    """Fresh plants, N devices for a.steady seconds: qrn-host's CPU share over
    the window and, when publishing, the share of the saved records published."""
    plants = []
    for _ in range((a.devices + 499) // 500):
        port = free_port()
        plants.append((subprocess.Popen(
            [os.path.join(a.build, "qrn-plant"), "--port", str(port), "--max-sessions", "600"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), port))
    history = os.path.join(tmp, f"steady-{time.monotonic_ns()}.db")
    out = os.path.join(tmp, f"steady-{time.monotonic_ns()}.jsonl")
    app = {"read_mode": "batch", "session": "keep", "round_lines": False}
    config = {"devices": [{"id": i + 1, "address": "127.0.0.1", "port": plants[i // 500][1],
                           "settings": {"appSetting": app}} for i in range(a.devices)]}
    if publishing:
        config["sparkplug"] = {"servers": [f"tcp://127.0.0.1:{broker_port}"],
                               "group_id": "bench", "edge_node_id": "unit"}
    path = os.path.join(tmp, f"steady-{time.monotonic_ns()}.json")
    with open(path, "w") as f:
        json.dump(config, f)
    collector = subprocess.Popen([os.path.join(a.collector or a.build, "spb_collect"),
                                  f"127.0.0.1:{broker_port}"], stdout=open(out, "w"),
                                 stderr=subprocess.DEVNULL)
    try:
        for _, port in plants:
            wait_port(port)
        host = start_host(a, path, history)
        time.sleep(10)  # every device's first rounds (spread over the pause)
        c0, t0 = cpu_seconds(host.pid), time.monotonic()
        time.sleep(a.steady)
        share = (cpu_seconds(host.pid) - c0) / (time.monotonic() - t0)
        host.send_signal(signal.SIGTERM)
        host.wait()
        time.sleep(2)
    finally:
        for p in [collector] + [p for p, _ in plants]:
            p.terminate()
            p.wait()
    saved = stored(history)
    got = {(m["device"], m["round_time"]) for m in messages(out)
           if m["type"] in ("DBIRTH", "DDATA") and "round_time" in m}
    return share, len(saved), len(saved & got)


def steady(a, broker_port, tmp):
    rows = []
    for i in range(a.runs):
        with_cpu, records, published = steady_run(a, tmp, broker_port, True)
        without_cpu, _, _ = steady_run(a, tmp, broker_port, False)
        rows.append((100 * published / max(records, 1), with_cpu, without_cpu, records))
        print(f"run {i + 1}: {records} records, {rows[-1][0]:.1f}% published, qrn-host CPU "
              f"{100 * with_cpu:.1f}% with publishing, {100 * without_cpu:.1f}% without",
              flush=True)
    med = [statistics.median(r[k] for r in rows) for k in range(4)]
    print(f"{a.devices} devices, {a.steady:.0f} s, {a.runs} runs (medians): {med[3]:.0f} records, "
          f"{med[0]:.1f}% published, qrn-host CPU {100 * med[1]:.1f}% with publishing, "
          f"{100 * med[2]:.1f}% without ({med[1] / max(med[2], 1e-9):.2f}x)")


def cpu_run(a, tmp, sim_port, broker_port):
    """qrn-host's share of a core over a window, and message sizes when publishing."""
    history = os.path.join(tmp, f"cpu-{time.monotonic_ns()}.db")
    sizes = None
    if broker_port:
        sizes = subprocess.Popen(["mosquitto_sub", "-p", str(broker_port), "-t", "spBv1.0/#",
                                  "-F", "%t %l"], stdout=subprocess.PIPE, text=True)
    host = start_host(a, config_file(tmp, a, sim_port, broker_port), history)
    try:
        time.sleep(15)
        c0, t0 = cpu_seconds(host.pid), time.monotonic()
        time.sleep(a.cpu_seconds)
        share = (cpu_seconds(host.pid) - c0) / (time.monotonic() - t0)
    finally:
        host.send_signal(signal.SIGTERM)
        host.wait()
    bytes_by_type = {}
    if sizes:
        sizes.terminate()
        for line in sizes.communicate()[0].splitlines():
            topic, size = line.rsplit(" ", 1)
            bytes_by_type.setdefault(topic.split("/")[2], []).append(int(size))
    return share, {t: statistics.median(v) for t, v in bytes_by_type.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--devices", type=int, default=50)
    ap.add_argument("--outage", type=float, default=600, help="seconds the broker is away")
    ap.add_argument("--runs", type=int, default=3, help="outage runs (0: the CPU figures only)")
    ap.add_argument("--cpu-seconds", type=float, default=60)
    ap.add_argument("--steady", type=float, default=0,
                    help="seconds of steady load on qrn-plant, no outage (0: the outage runs)")
    ap.add_argument("--collector", help="build holding the spb_collect to use (default --build)")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        broker_port = free_port()
        conf = os.path.join(tmp, "mosquitto.conf")
        with open(conf, "w") as f:
            # No queue limit: a subscriber that falls behind during the replay
            # must not lose messages to the broker's default of 1000 queued.
            f.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\n"
                    "max_queued_messages 0\n" +
                    ("user root\n" if os.getuid() == 0 else ""))
        broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        if a.steady:
            try:
                wait_port(broker_port)
                steady(a, broker_port, tmp)
            finally:
                broker.terminate()
                broker.wait()
            return
        sim_port = free_port()
        sim = subprocess.Popen([os.path.join(a.build, "quorlin"), "sim", "--port", str(sim_port)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_port(broker_port)
            wait_port(sim_port)
            runs = []
            for i in range(a.runs):
                r = one_run(a, tmp, sim_port, broker_port)
                print(f"run {i + 1}: {json.dumps(r)}", flush=True)
                runs.append(r)
            without, _ = cpu_run(a, tmp, sim_port, 0)
            with_publishing, sizes = cpu_run(a, tmp, sim_port, broker_port)
        finally:
            for p in (sim, broker):
                p.terminate()
                p.wait()
    if runs:
        report_runs(a, runs)
    print(f"qrn-host CPU: {100 * without:.1f}% of a core without publishing, "
          f"{100 * with_publishing:.1f}% with ({with_publishing / max(without, 1e-9):.2f}x); "
          f"median bytes: " + ", ".join(f"{t} {v:.0f}" for t, v in sorted(sizes.items())))


def report_runs(a, runs):
    med = {k: statistics.median(r[k] for r in runs) for k in runs[0] if k != "duplicates_by_fault"}
    print(f"{a.devices} devices, outage {a.outage:.0f} s, {a.runs} runs (medians): "
          f"{med['records']:.0f} records, {med['missing']:.0f} missing, "
          f"{med['duplicates']:.0f} duplicates, backlog cleared {med['cleared_s']:.1f} s after the "
          f"broker's return, live DDATA p95 {med['live_lag_p95_s']:.2f} s behind their round")


if __name__ == "__main__":
    main()
