#!/usr/bin/env python3
"""The broker link under faults: qrn-host with N devices against `quorlin sim`,
publishing to mosquitto.

flap: the broker's port goes away (connections refused, open ones closed) and
comes back, each state lasting --period seconds give or take --jitter (drawn
from --seed, the same for every build), for --minutes; per run, the up-windows in
which qrn-host got a CONNACK, the seconds from each window's start to it
(median and worst), and the records in the history that never reached the
subscriber once the last window had run (must be 0).

oversize: a 256 MiB message on the node's NCMD topic, once from another client
of the broker, once from the broker itself (a relay that adds it after the
CONNACK); per case qrn-host's peak resident memory (VmHWM) before and after,
whether it published again within 30 s, and records missing at the end.

Usage: link_fault_bench.py [--build DIR] [--devices 20] [--period 15]
                           [--jitter 3] [--seed 1] [--minutes 5] [--runs 3]
                           [--size-mib 256]
                           [flap|oversize ...]
"""

import argparse
import json
import os
import random
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from publish_bench import config_file, free_port, messages, start_host, stored, wait_port  # noqa: E402

NCMD = "spBv1.0/bench/NCMD/unit"


def mqtt_length(n):
    out = bytearray()
    while True:
        b, n = n % 128, n // 128
        out.append(b | (128 if n else 0))
        if not n:
            return bytes(out)


def send_publish(sock, topic, size, v5):
    """A QoS 0 PUBLISH of `size` bytes, written as it goes; at most what
    MQTT's largest remaining length (256 MiB - 1) leaves."""
    t = topic.encode()
    size = min(size, 268435455 - 2 - len(t) - (1 if v5 else 0))
    head = bytes([0x30]) + mqtt_length(2 + len(t) + (1 if v5 else 0) + size)
    sock.sendall(head + len(t).to_bytes(2, "big") + t + (b"\0" if v5 else b""))
    chunk = b"\0" * (1 << 20)
    left = size
    while left:
        n = min(left, len(chunk))
        sock.sendall(chunk[:n])
        left -= n


class Port:
    """A local port in front of the broker: `down()` closes it and every
    connection through it (new ones are refused), `up()` opens it again.
    Records when each connection's first bytes from the broker (its CONNACK)
    came. With `inject` (a size), the first connection gets a PUBLISH of that
    size on the NCMD topic right after its CONNACK."""

    def __init__(self, target, inject=0):
        self.target, self.inject, self.port = target, inject, free_port()
        self.lock, self.conns, self.connacks, self.server = threading.Lock(), [], [], None
        self.up()

    def up(self):
        with self.lock:
            self.server = socket.socket()
            self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.server.bind(("127.0.0.1", self.port))
            self.server.listen(16)
            threading.Thread(target=self._accept, args=(self.server,), daemon=True).start()

    def down(self):
        with self.lock:
            # shutdown() ends the accept() under way: close() alone leaves it listening.
            self.server.shutdown(socket.SHUT_RDWR)
            self.server.close()
            for s in self.conns:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.conns = []

    def _accept(self, server):
        while True:
            try:
                client, _ = server.accept()
                upstream = socket.create_connection(("127.0.0.1", self.target))
            except OSError:
                return
            with self.lock:
                self.conns += [client, upstream]
            first = [None]
            threading.Thread(target=self._pipe, args=(client, upstream, first), daemon=True).start()
            threading.Thread(target=self._pipe, args=(upstream, client, first, True),
                             daemon=True).start()

    def _pipe(self, a, b, first, from_broker=False):
        try:
            if not from_broker:
                data = a.recv(65536)  # the CONNECT: its protocol level
                first[0] = len(data) > 8 and data[8] == 5
                b.sendall(data)
            while True:
                data = a.recv(65536)
                if not data:
                    break
                b.sendall(data)
                if from_broker and first[0] is not None:
                    with self.lock:
                        self.connacks.append(time.monotonic())
                        inject, self.inject = self.inject, 0
                    if inject:
                        send_publish(b, NCMD, inject, first[0])
                    first[0] = None
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def missing_after(a, history, out, host, wait=60):
    """Stops the host once every stored record came (or after `wait` s):
    the records that never reached the subscriber."""
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        got = {(m["device"], m["round_time"]) for m in messages(out) if m["type"] == "DDATA"}
        if stored(history) <= got:
            break
        time.sleep(1)
    host.send_signal(signal.SIGTERM)
    host.wait()
    time.sleep(1)
    got = {(m["device"], m["round_time"]) for m in messages(out) if m["type"] == "DDATA"}
    return len(stored(history)), len(stored(history) - got)


def collector(a, tmp, broker_port):
    out = os.path.join(tmp, f"collect-{time.monotonic_ns()}.jsonl")
    return out, subprocess.Popen([os.path.join(a.build, "spb_collect"), f"127.0.0.1:{broker_port}"],
                                 stdout=open(out, "w"), stderr=subprocess.DEVNULL)


def flap_run(a, tmp, sim_port, broker_port, run):
    history = os.path.join(tmp, f"flap-{time.monotonic_ns()}.db")
    port = Port(broker_port)
    out, coll = collector(a, tmp, broker_port)
    host = start_host(a, config_file(tmp, a, sim_port, port.port), history)
    windows = []
    # Fixed periods would meet a doubling backoff at its sums (1 + 2 + 4 + 8 = 15).
    draw = random.Random(a.seed + run)
    try:
        time.sleep(10)  # connected, first rounds published
        end = time.monotonic() + 60 * a.minutes
        while time.monotonic() < end:
            port.down()
            time.sleep(a.period + draw.uniform(-a.jitter, a.jitter))
            start = time.monotonic()
            port.up()
            time.sleep(a.period + draw.uniform(-a.jitter, a.jitter))
            windows.append((start, time.monotonic()))
        records, missing = missing_after(a, history, out, host)
    finally:
        if host.poll() is None:
            host.kill()
        coll.terminate()
        coll.wait()
    delays = []
    for start, stop in windows:
        inside = [t - start for t in port.connacks if start <= t < stop]
        if inside:
            delays.append(min(inside))
    return {"windows": len(windows), "connected_in": len(delays),
            "connect_median_s": round(statistics.median(delays), 2) if delays else None,
            "connect_worst_s": round(max(delays), 2) if delays else None,
            "records": records, "missing": missing}


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def oversize_run(a, tmp, sim_port, broker_port, source):
    history = os.path.join(tmp, f"big-{time.monotonic_ns()}.db")
    size = a.size_mib << 20
    port = Port(broker_port)
    out, coll = collector(a, tmp, broker_port)
    host = start_host(a, config_file(tmp, a, sim_port, port.port), history)
    try:
        time.sleep(10)
        before = peak_kib(host.pid)
        if source == "client":
            with socket.create_connection(("127.0.0.1", broker_port)) as s:
                s.sendall(b"\x10\x0f\0\x04MQTT\x04\x02\0\x3c\0\x03big")
                s.recv(4)
                send_publish(s, NCMD, size, False)
                s.sendall(b"\xe0\0")
        else:
            # The next connection through the port gets the message.
            port.inject = size
            port.down()
            port.up()
        sent, sent_ms = time.monotonic(), time.time() * 1000
        # Publishing again: a DDATA published after the message.
        resumed = None
        while time.monotonic() < sent + 30 and resumed is None:
            if any(m["type"] == "DDATA" and m["timestamp"] > sent_ms for m in messages(out)):
                resumed = round(time.monotonic() - sent, 1)
            time.sleep(0.2)
        time.sleep(max(0.0, sent + 5 - time.monotonic()))
        after = peak_kib(host.pid) if host.poll() is None else None
        records, missing = missing_after(a, history, out, host)
    finally:
        if host.poll() is None:
            host.kill()
        coll.terminate()
        coll.wait()
    return {"source": source, "peak_before_mib": round(before / 1024, 1),
            "peak_growth_mib": round((after - before) / 1024, 1) if after else None,
            "published_again_s": resumed, "records": records, "missing": missing}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--devices", type=int, default=20)
    ap.add_argument("--period", type=float, default=15, help="seconds down, then seconds up")
    ap.add_argument("--jitter", type=float, default=3, help="seconds either way")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--minutes", type=float, default=5)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--size-mib", type=int, default=256)
    ap.add_argument("parts", nargs="*", default=["flap", "oversize"])
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        broker_port, sim_port = free_port(), free_port()
        conf = os.path.join(tmp, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\n"
                    "max_queued_messages 0\n" + ("user root\n" if os.getuid() == 0 else ""))
        broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        sim = subprocess.Popen([os.path.join(a.build, "quorlin"), "sim", "--port", str(sim_port)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_port(broker_port)
            wait_port(sim_port)
            report(a, tmp, sim_port, broker_port)
        finally:
            for p in (sim, broker):
                p.terminate()
                p.wait()


def report(a, tmp, sim_port, broker_port):
    if "flap" in a.parts:
        runs = []
        for i in range(a.runs):
            runs.append(flap_run(a, tmp, sim_port, broker_port, i))
            print(f"flap run {i + 1}: {json.dumps(runs[-1])}", flush=True)
        med = lambda k: statistics.median(r[k] for r in runs if r[k] is not None)  # noqa: E731
        print(f"flap, {a.period:g}±{a.jitter:g} s down / up for {a.minutes:g} min, "
              f"{a.runs} runs (medians): connected in {med('connected_in'):.0f} of "
              f"{med('windows'):.0f} windows, {med('connect_median_s'):.2f} s into a window "
              f"(worst {med('connect_worst_s'):.2f} s), {med('missing'):.0f} of "
              f"{med('records'):.0f} records missing", flush=True)
    if "oversize" in a.parts:
        for source in ("client", "broker"):
            runs = []
            for i in range(a.runs):
                runs.append(oversize_run(a, tmp, sim_port, broker_port, source))
                print(f"oversize run {i + 1}: {json.dumps(runs[-1])}", flush=True)
            growth = [r["peak_growth_mib"] for r in runs if r["peak_growth_mib"] is not None]
            print(f"{a.size_mib} MiB from the {source}, {a.runs} runs: peak RSS growth median "
                  f"{statistics.median(growth) if growth else 'n/a'} MiB, published again after "
                  f"{[r['published_again_s'] for r in runs]} s, missing "
                  f"{[r['missing'] for r in runs]}", flush=True)


if __name__ == "__main__":
    main()
