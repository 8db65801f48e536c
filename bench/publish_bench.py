#!/usr/bin/env python3
"""Publishing benchmark: qrn-host as a Sparkplug B edge node, publishing to a
mosquitto it starts, watched by spb_collect. Records are matched by
"Round/Seq" when the messages carry it, else by device and "Round/Time".
Every figure is the median of --runs runs; each run starts its own
simulators, broker and history.

--mode throughput: N batched devices on --plants `qrn-plant --max-sessions`
  (or `--sim quorlin`: one `quorlin sim`). Per run the share of the
  history's records published by a clean stop, the live DDATA's p95 lag
  behind their round (arrival minus Round/Time), and qrn-host's CPU over a
  window; then the same runs sampling alone (no "sparkplug" section) for
  the CPU ratio.
--mode faults: the broker cut off (a relay between qrn-host and the broker
  closes) for --outage seconds, qrn-host killed (SIGKILL) once during the
  outage and once during the replay, then the primary host killed (its will
  says offline) for --host-outage seconds. Records of the history missing at
  the subscriber, duplicates charged to the fault before their second copy,
  the backlog's clearing time and the live DDATA lag meanwhile, and
  `spb_collect --verify`'s totals.
--mode thin-link: --devices (5) `quorlin sim --profile steady` devices with
  --backlog-hours of records pre-filled into the history
  (build/bench/history_fill), published through a relay limited to
  --link-mbit: the time until the backlog is cleared and the live DDATA's
  p95 lag meanwhile.
--mode plant-reuse: one `qrn-plant` serving --runs consecutive qrn-host
  runs (stopped cleanly): the simulator's CPU per run.
--mode packet-limit: a broker whose max_packet_size (--max-packet, 102400)
  is below a raw DBIRTH, --devices (20) on `quorlin sim` for --seconds,
  with and without --compression: the connections made, the lines said,
  and the share of the history's records published.

Usage: publish_bench.py [--build DIR] [--mode M] [--devices N] [--runs 3] ...
With PUBLISH_BENCH_DEBUG=FILE the hosts' output goes to FILE.
"""

import argparse
import contextlib
import datetime
import json
import os
import signal
import socket
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

# Rows are stored compactly: decoded as the tests decode them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from e2e_harness import history_rows  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
RECORD_DATA_ID = 5156


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    sys.exit(f"nothing listens on port {port}")


def p95(values):
    values = sorted(values)
    return values[int(0.95 * (len(values) - 1))] if values else float("nan")


def now_ms():
    return time.time() * 1000


class Relay:
    """Forwards a local port to the broker. `cut()` closes every connection and
    refuses new ones (the outage), `restore()` forwards again. With a rate
    (bytes/s) each direction is paced to it, the receive buffers kept small so
    the sender feels the link rather than loopback's buffers."""

    def __init__(self, target, rate=0):
        self.target, self.rate, self.open, self.conns = target, rate, True, []
        self.lock = threading.Lock()
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if rate:
            self.server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 * 1024)
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
                upstream = socket.socket()
                if self.rate:
                    upstream.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 * 1024)
                upstream.connect(("127.0.0.1", self.target))
                self.conns += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()

    def _pipe(self, a, b):
        chunk = 4096 if self.rate else 65536
        due = time.monotonic()
        try:
            while True:
                data = a.recv(chunk)
                if not data:
                    break
                if self.rate:
                    due = max(due, time.monotonic()) + len(data) / self.rate
                    time.sleep(max(0.0, due - time.monotonic()))
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)

    def cut(self):
        with self.lock:
            self.open = False
            for s in self.conns:
                with contextlib.suppress(OSError):
                    s.shutdown(socket.SHUT_RDWR)
            self.conns = []

    def restore(self):
        with self.lock:
            self.open = True


class Collected:
    """spb_collect's JSON lines, read as they come (`update()`), with each
    device's records by Round/Seq (or Round/Time) and the DDATA's copies."""

    def __init__(self, path):
        self.path, self.offset, self.data = path, 0, []
        self.records = {}  # device -> set of keys seen in DBIRTH and DDATA
        self.copies = {}   # (device, key) -> arrival times of its DDATA

    @staticmethod
    def key(m):
        return ("seq", m["round_seq"]) if "round_seq" in m else ("time", m.get("round_time"))

    def update(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            chunk = f.read()
        end = chunk.rfind(b"\n") + 1
        self.offset += end
        for line in chunk[:end].splitlines():
            m = json.loads(line)
            if m.get("type") not in ("DBIRTH", "DDATA") or "device" not in m or "error" in m:
                continue
            if "round_seq" not in m and "round_time" not in m:
                continue  # born before its first record: no record in it
            k = self.key(m)
            self.records.setdefault(m["device"], set()).add(k)
            if m["type"] == "DDATA":
                self.data.append(m)
                self.copies.setdefault((m["device"], k), []).append(m.get("received",
                                                                            m["timestamp"]))
        return self

    def by_seq(self):
        return any(k[0] == "seq" for keys in self.records.values() for k in keys)

    def missing(self, counts, history=None):
        """Records of the history not seen, and the gaps inside each device's
        Round/Seq range. By count per device; with `history` and no Round/Seq
        record by record, as two records may share a Round/Time (a restart
        within the second of the killed host's last round)."""
        lost = sum(max(0, n - len(self.records.get(d, ()))) for d, n in counts.items())
        if history and not self.by_seq():
            lost = len(stored_times(history) - {(d, k) for d, keys in self.records.items()
                                                for k in keys})
        gaps = 0
        for keys in self.records.values():
            seqs = sorted(v for kind, v in keys if kind == "seq")
            if seqs:
                gaps += seqs[-1] - seqs[0] + 1 - len(seqs)
        return lost, gaps

    def duplicates(self):
        return sum(len(t) - 1 for t in self.copies.values())

    def live_lags(self, since_ms=0, until_ms=float("inf"), since="round_time"):
        """Live DDATA's arrival behind their round's stamp (whole seconds), or
        with since="timestamp" behind their publish (the payload's time)."""
        return [(m.get("received", m["timestamp"]) - m[since]) / 1000 for m in self.data
                if not m["historical"] and "round_time" in m
                and since_ms <= m.get("received", m["timestamp"]) <= until_ms]


def history_counts(history):
    """{device id as text: records} of the history file."""
    uri = "file:" + history + "?mode=ro"
    with contextlib.closing(sqlite3.connect(uri, uri=True, timeout=30)) as db:
        rows = db.execute("SELECT device_id, count(*) FROM history WHERE data_id = ? "
                          "GROUP BY device_id", (RECORD_DATA_ID,)).fetchall()
    return {str(d): n for d, n in rows}


def stored_times(history):
    """{(device, ("time", round time ms))} of the history's records: what to
    match messages without Round/Seq against, record by record."""
    out = set()
    for _, device, record in history_rows(history, RECORD_DATA_ID):
        if len(record) == 7001:
            y, mo, d, h, mi, s = struct.unpack_from("<H5B", record, 6994)
            when = datetime.datetime(y, mo, d, h, mi, s).astimezone(datetime.timezone.utc)
            out.add((str(device), ("time", int(when.timestamp() * 1000))))
    return out


def report_missing(got, history, events):
    """Up to ten records not seen, with their times from each fault: by
    Round/Time when the messages carry no Round/Seq, else the gaps."""
    if got.by_seq():
        for device, keys in sorted(got.records.items()):
            seqs = sorted(v for kind, v in keys if kind == "seq")
            holes = [(x + 1, y - 1) for x, y in zip(seqs, seqs[1:]) if y > x + 1]
            if holes:
                print(f"  device {device}: Round/Seq missing " +
                      ", ".join(f"{x}-{y}" for x, y in holes[:10]), flush=True)
        return
    seen = {(d, k) for d, keys in got.records.items() for k in keys}
    for device, (_, when) in sorted(stored_times(history) - seen)[:10]:
        print(f"  missing: device {device}, round {when}, "
              + ", ".join(f"{k} {(when - t) / 1000:+.1f} s" for k, t in events.items()), flush=True)


class Bench:
    """The processes of one run, all ended by `close()`."""

    def __init__(self, a, tmp):
        self.a, self.tmp, self.procs = a, tmp, []

    def spawn(self, args, **kw):
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        p = subprocess.Popen([str(x) for x in args], **kw)
        self.procs.append(p)
        return p

    def tool(self, name):
        return os.path.join(self.a.build, name)

    def broker(self, extra=""):
        port = free_port()
        conf = os.path.join(self.tmp, f"mosquitto-{port}.conf")
        with open(conf, "w") as f:
            # No queue limit: a subscriber behind during a replay loses nothing.
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n"
                    + ("user root\n" if os.getuid() == 0 else "") + extra)
        self.spawn([self.a.mosquitto, "-c", conf])
        wait_port(port)
        return port

    def simulators(self, devices, profile=None):
        """Fresh simulators for `devices`: their ports, one per device, and pids."""
        a = self.a
        if a.sim == "quorlin" or profile:
            port = free_port()
            p = self.spawn([self.tool("quorlin"), "sim", "--port", port]
                           + (["--profile", profile] if profile else []))
            wait_port(port)
            return [port] * devices, [p.pid]
        ports, pids = [], []
        per_plant = -(-devices // a.plants) + 100  # kept sessions plus room
        for _ in range(a.plants):
            port = free_port()
            p = self.spawn([self.tool("qrn-plant"), "--port", port, "--max-sessions", per_plant])
            ports.append(port)
            pids.append(p.pid)
        for port in ports:
            wait_port(port)
        return [ports[i % a.plants] for i in range(devices)], pids

    def collector(self, broker_port, *options):
        out = os.path.join(self.tmp, f"collect-{time.monotonic_ns()}.jsonl")
        err = os.path.join(out + ".err")
        p = self.spawn([self.a.spb_collect or self.tool("spb_collect"),
                        f"127.0.0.1:{broker_port}", *options],
                       stdout=open(out, "w"), stderr=open(err, "w"))
        deadline = time.monotonic() + 30
        while "subscribed" not in open(err).read():
            if time.monotonic() > deadline:
                sys.exit("spb_collect did not subscribe")
            time.sleep(0.05)
        return p, out

    def config(self, ports, broker_port, primary=None, session=None):
        a = self.a
        session = session or ("round" if a.sim == "quorlin" and not a.session else
                              a.session or "keep")
        app = {"read_mode": "batch", "session": session, "round_lines": False}
        config = {"devices": [{"id": i + 1, "address": "127.0.0.1", "port": port,
                               "settings": {"appSetting": app}} for i, port in enumerate(ports)]}
        if broker_port:
            sp = {"servers": [f"tcp://127.0.0.1:{broker_port}"], "group_id": "bench",
                  "edge_node_id": "unit"}
            if primary:
                sp["primary_host_id"] = primary
            if a.data_qos is not None:
                sp["data_qos"] = a.data_qos
            if a.compression:
                sp["compression"] = a.compression
            config["sparkplug"] = sp
        path = os.path.join(self.tmp, f"config-{time.monotonic_ns()}.json")
        with open(path, "w") as f:
            json.dump(config, f)
        return path

    def host(self, config, history, devices, log=None):
        log = log or os.environ.get("PUBLISH_BENCH_DEBUG")
        out = open(log, "a") if log else subprocess.DEVNULL
        return self.spawn([self.tool("qrn-host"), "--plugin", self.tool("libquorlin.so"),
                           "--config", config, "--history", history, "--max-devices", devices],
                          stdout=out, stderr=subprocess.STDOUT if log else subprocess.DEVNULL)

    @staticmethod
    def stop(proc, sig=signal.SIGTERM):
        if proc.poll() is None:
            proc.send_signal(sig)
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def close(self):
        for p in reversed(self.procs):
            self.stop(p)
        self.procs = []


def cpu_window(host, seconds, others=()):
    """Shares of a core of `host` and of `others` together over `seconds`."""
    c0, o0, t0 = cpu_seconds(host.pid), sum(map(cpu_seconds, others)), time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - t0
    return ((cpu_seconds(host.pid) - c0) / elapsed,
            (sum(map(cpu_seconds, others)) - o0) / elapsed)


def throughput_run(a, tmp, publishing):
    b = Bench(a, tmp)
    try:
        ports, sim_pids = b.simulators(a.devices)
        broker = b.broker() if publishing else 0
        collector, out = b.collector(broker) if publishing else (None, None)
        history = os.path.join(tmp, f"history-{time.monotonic_ns()}.db")
        host = b.host(b.config(ports, broker), history, a.devices)
        time.sleep(a.warmup)
        start = now_ms()
        cpu, sims = cpu_window(host, a.seconds, sim_pids)
        b.stop(host)
        if not publishing:
            return {"host_cpu": cpu, "sim_cpu": sims}
        time.sleep(1)
        b.stop(collector)
        counts = history_counts(history)
        got = Collected(out).update()
        lost, gaps = got.missing(counts, history)
        records = sum(counts.values())
        return {"records": records, "published_pct": 100 * (records - lost) / max(records, 1),
                "gaps": gaps, "duplicates": got.duplicates(),
                "live_lag_p95_s": p95(got.live_lags(start)),
                "live_link_lag_p95_s": p95(got.live_lags(start, since="timestamp")),
                "host_cpu": cpu, "sim_cpu": sims,
                "by": "Round/Seq" if got.by_seq() else "Round/Time"}
    finally:
        b.close()


def throughput(a, tmp):
    sim = "quorlin sim" if a.sim == "quorlin" else f"{a.plants} qrn-plant"
    print(f"{a.devices} devices on {sim}, {a.seconds:.0f} s windows after {a.warmup:.0f} s",
          flush=True)
    runs, alone = [], []
    for i in range(a.runs):
        r = throughput_run(a, tmp, True)
        print(f"run {i + 1} publishing: {json.dumps(r)}", flush=True)
        runs.append(r)
    for i in range(a.runs):
        r = throughput_run(a, tmp, False)
        print(f"run {i + 1} sampling alone: {json.dumps(r)}", flush=True)
        alone.append(r)
    med = {k: statistics.median(r[k] for r in runs) for k in runs[0] if k != "by"}
    cpu_alone = statistics.median(r["host_cpu"] for r in alone)
    print(f"medians of {a.runs}: {med['published_pct']:.1f}% of {med['records']:.0f} records "
          f"published (by {runs[0]['by']}), {med['gaps']:.0f} gaps, {med['duplicates']:.0f} "
          f"duplicates, live DDATA p95 {med['live_lag_p95_s']:.2f} s behind their round, "
          f"{med['live_link_lag_p95_s']:.2f} s behind their publish; "
          f"qrn-host {100 * med['host_cpu']:.1f}% of a core publishing, "
          f"{100 * cpu_alone:.1f}% sampling alone ({med['host_cpu'] / max(cpu_alone, 1e-9):.2f}x)",
          flush=True)


class PrimaryHost:
    """A primary host: STATE online (retained) while it lives, its will offline."""

    def __init__(self, b, broker, host_id):
        self.b, self.broker, self.topic = b, broker, f"spBv1.0/STATE/{host_id}"
        self.proc = None

    def start(self):
        # Its birth and its will carry the same time, as a Sparkplug 3.0 host's do.
        stamp = int(now_ms())
        offline = json.dumps({"online": False, "timestamp": stamp})
        self.proc = self.b.spawn([self.b.a.mosquitto_pub, "-p", self.broker, "-t", self.topic,
                                  "-q", "1", "-r", "-l", "--will-topic", self.topic,
                                  "--will-payload", offline, "--will-qos", "1", "--will-retain"],
                                 stdin=subprocess.PIPE, text=True)
        self.proc.stdin.write(json.dumps({"online": True, "timestamp": stamp}) + "\n")
        self.proc.stdin.flush()

    def kill(self):
        self.b.stop(self.proc, signal.SIGKILL)


def wait_published(got, history, timeout, stuck=30):
    """Until every record of the history reached the subscriber; false after
    `timeout`, or once as many have been missing for `stuck` seconds."""
    deadline = time.monotonic() + timeout
    last, since = None, time.monotonic()
    while time.monotonic() < deadline:
        lost = got.update().missing(history_counts(history))[0]
        if lost == 0:
            return True
        if lost != last:
            last, since = lost, time.monotonic()
        elif time.monotonic() - since > stuck:
            return False
        time.sleep(1)
    return False


def faults_run(a, tmp):
    b = Bench(a, tmp)
    try:
        ports, _ = b.simulators(a.devices)
        broker = b.broker()
        primary = PrimaryHost(b, broker, "bench-host")
        primary.start()
        relay = Relay(broker)
        collector, out = b.collector(broker)
        verifier, verified = b.collector(broker, "--verify")
        got = Collected(out)
        history = os.path.join(tmp, f"history-{time.monotonic_ns()}.db")
        config = b.config(ports, relay.port, primary="bench-host")
        host = b.host(config, history, a.devices)
        events = {}
        time.sleep(20)  # every device's first rounds, published live
        relay.cut()
        events["broker cut"] = now_ms()
        time.sleep(a.outage / 2)
        events["kill in the outage"] = now_ms()
        b.stop(host, signal.SIGKILL)
        host = b.host(config, history, a.devices)
        time.sleep(a.outage / 2)
        returned = now_ms()
        relay.restore()
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and sum(
                m["historical"] for m in got.update().data) < 10:
            time.sleep(0.02)
        events["kill in the replay"] = now_ms()
        b.stop(host, signal.SIGKILL)
        host = b.host(config, history, a.devices)
        wait_published(got, history, 300)
        replayed = [m.get("received", m["timestamp"]) for m in got.data if m["historical"]]
        until = max(replayed) if replayed else returned
        cleared = (until - returned) / 1000
        lags = got.live_lags(returned, until)
        # Once what the restart sent again is out of the resend window, so that
        # the primary host's death shows its own duplicates.
        time.sleep(max(0.0, (events["kill in the replay"] + WINDOW_MS) / 1000 - time.time()))
        events["primary host killed"] = now_ms()
        primary.kill()
        time.sleep(a.host_outage)
        primary.start()
        wait_published(got, history, 300)
        b.stop(host)  # its last group counts too
        time.sleep(1)
        b.stop(verifier)
        b.stop(collector)
        counts = history_counts(history)
        got.update()
        lost, gaps = got.missing(counts, history)
        report_missing(got, history, events)
        lines = open(verified).read().splitlines()
        return {"records": sum(counts.values()), "missing": lost, "gaps": gaps,
                "duplicates": got.duplicates(), "duplicates_by_fault": by_fault(got, events),
                "window_bound_by_fault": window_bound(got, events),
                "duplicates_outside_window": outside_window(got, events),
                "cleared_s": cleared, "live_lag_p95_s": p95(lags), "live_during_replay": len(lags),
                "live_link_lag_p95_s": p95(got.live_lags(returned, until, since="timestamp")),
                "verify": lines[-1] if lines else "", "by": "Round/Seq" if got.by_seq()
                else "Round/Time"}
    finally:
        b.close()


# The edge node's resend window at QoS 0 (two keepalives of 30 s and a
# margin), and the slack for its once-a-second progress saves and clocks.
RESEND_WINDOW_S, WINDOW_SLACK_S = 65, 3
WINDOW_MS = (RESEND_WINDOW_S + WINDOW_SLACK_S) * 1000


def outside_window(got, events):
    """Later copies of a record that no fault explains: a copy is explained
    when a fault came after the copy before it, within the resend window."""
    faults = sorted(events.values())
    out = 0
    for stamps in got.copies.values():
        stamps = sorted(stamps)
        for before, later in zip(stamps, stamps[1:]):
            if not any(before - WINDOW_SLACK_S * 1000 <= f <= min(later, before + WINDOW_MS)
                       for f in faults):
                out += 1
    return out


def window_bound(got, events):
    """Per fault, the DDATA that arrived in the resend window before it: what
    the fault may send again."""
    return {k: sum(1 for stamps in got.copies.values()
                   if any(f - WINDOW_MS <= t <= f for t in stamps))
            for k, f in events.items()}


def by_fault(got, events):
    """Each later copy of a record charged to the last fault before it."""
    faults = sorted((t, k) for k, t in events.items())
    out = {}
    for stamps in got.copies.values():
        for later in sorted(stamps)[1:]:
            before = [k for t, k in faults if t <= later]
            name = before[-1] if before else "none"
            out[name] = out.get(name, 0) + 1
    return out


def faults(a, tmp):
    runs = []
    for i in range(a.runs):
        r = faults_run(a, tmp)
        print(f"run {i + 1}: {json.dumps(r)}", flush=True)
        runs.append(r)
    keys = ("records", "missing", "gaps", "duplicates", "duplicates_outside_window", "cleared_s",
            "live_lag_p95_s", "live_link_lag_p95_s")
    # A replay that cleared before any live DDATA came has no lag (NaN).
    med = {k: statistics.median([r[k] for r in runs if r[k] == r[k]] or [float("nan")])
           for k in keys}
    print(f"{a.devices} devices, data QoS {a.data_qos if a.data_qos is not None else 'default'}, "
          f"outage {a.outage:.0f} s, primary host away {a.host_outage:.0f} s, medians of "
          f"{a.runs}: {med['records']:.0f} records, {med['missing']:.0f} missing "
          f"(by {runs[0]['by']}), {med['gaps']:.0f} gaps, {med['duplicates']:.0f} duplicates "
          f"({med['duplicates_outside_window']:.0f} outside the resend window), "
          f"backlog cleared {med['cleared_s']:.1f} s after the broker's return, live DDATA p95 "
          f"{med['live_lag_p95_s']:.2f} s behind their round, "
          f"{med['live_link_lag_p95_s']:.2f} s behind their publish", flush=True)


def prefill(a, b, ports, history):
    """A history whose progress starts at its beginning (qrn-host run once with
    no broker), then --backlog-hours of each device's records after it."""
    config = b.config(ports, free_port(), session="keep")  # nothing listens there
    host = b.host(config, history, a.devices)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        time.sleep(1)
        with contextlib.suppress(sqlite3.Error):
            uri = "file:" + history + "?mode=ro"
            with contextlib.closing(sqlite3.connect(uri, uri=True)) as db:
                if db.execute("SELECT count(*) FROM publish_progress").fetchone()[0] >= a.devices:
                    break
    b.stop(host)
    end = int(time.time()) - 10
    for d in range(1, a.devices + 1):
        subprocess.run([os.path.join(a.build, "bench", "history_fill"), "fill", history, str(d),
                        str(int(a.backlog_hours * 720)), str(end), "steady"], check=True,
                       stdout=subprocess.DEVNULL)
    return history_counts(history)


def thin_link_run(a, tmp):
    b = Bench(a, tmp)
    try:
        ports, _ = b.simulators(a.devices, profile="steady")
        history = os.path.join(tmp, f"history-{time.monotonic_ns()}.db")
        backlog = sum(prefill(a, b, ports, history).values())
        broker = b.broker()
        relay = Relay(broker, rate=a.link_mbit * 1e6 / 8)
        collector, out = b.collector(broker)
        got = Collected(out)
        start = now_ms()
        host = b.host(b.config(ports, relay.port, session="keep"), history, a.devices)
        done = wait_published(got, history, a.clear_timeout)
        replayed = [m.get("received", m["timestamp"]) for m in got.data if m["historical"]]
        end = max(replayed) if replayed else now_ms()
        b.stop(host)
        time.sleep(1)
        b.stop(collector)
        lost, gaps = got.update().missing(history_counts(history))
        return {"backlog": backlog, "cleared": done, "cleared_s": (end - start) / 1000,
                "missing": lost, "gaps": gaps, "duplicates": got.duplicates(),
                "live_lag_p95_s": p95(got.live_lags(start, end)),
                "live_link_lag_p95_s": p95(got.live_lags(start, end, since="timestamp")),
                "live_during_replay": len(got.live_lags(start, end))}
    finally:
        b.close()


def thin_link(a, tmp):
    runs = []
    for i in range(a.runs):
        r = thin_link_run(a, tmp)
        print(f"run {i + 1}: {json.dumps(r)}", flush=True)
        runs.append(r)
    med = {k: statistics.median(r[k] for r in runs) for k in
           ("backlog", "cleared_s", "missing", "live_lag_p95_s", "live_link_lag_p95_s")}
    print(f"{a.devices} steady devices, {a.backlog_hours:g} h backlog ({med['backlog']:.0f} "
          f"records), {a.link_mbit:g} Mbit/s link, medians of {a.runs}: cleared in "
          f"{med['cleared_s']:.0f} s ({sum(r['cleared'] for r in runs)} of {a.runs} runs within "
          f"{a.clear_timeout:.0f} s), {med['missing']:.0f} missing, live DDATA p95 "
          f"{med['live_lag_p95_s']:.2f} s behind their round and "
          f"{med['live_link_lag_p95_s']:.2f} s behind their publish meanwhile", flush=True)


def plant_reuse(a, tmp):
    """One simulator, consecutive hosts: does it slow with each host it served?"""
    b = Bench(a, tmp)
    try:
        ports, sim_pids = b.simulators(a.devices)
        for i in range(a.runs):
            history = os.path.join(tmp, f"history-{time.monotonic_ns()}.db")
            host = b.host(b.config(ports, 0), history, a.devices)
            time.sleep(a.warmup)
            cpu, sims = cpu_window(host, a.seconds, sim_pids)
            b.stop(host)
            print(f"host run {i + 1}: simulators {100 * sims:.1f}% of a core, "
                  f"qrn-host {100 * cpu:.1f}%", flush=True)
    finally:
        b.close()


def packet_limit_run(a, tmp):
    b = Bench(a, tmp)
    try:
        ports, _ = b.simulators(a.devices)
        broker = b.broker(f"max_packet_size {a.max_packet}\n")
        collector, out = b.collector(broker)
        history = os.path.join(tmp, f"history-{time.monotonic_ns()}.db")
        log = os.path.join(tmp, f"host-{time.monotonic_ns()}.log")
        host = b.host(b.config(ports, broker), history, a.devices, log)
        time.sleep(a.seconds)
        b.stop(host)
        time.sleep(1)
        b.stop(collector)
        with open(log, encoding="utf-8", errors="replace") as f:
            lines = [l for l in f if l.startswith("qrn-host: sparkplug: ")]
        counts = history_counts(history)
        lost, _ = Collected(out).update().missing(counts, history)
        records = sum(counts.values())
        return {"connections": sum("broker: connected to" in l for l in lines),
                "lines": len(lines), "records": records,
                "published_pct": 100 * (records - lost) / max(records, 1)}
    finally:
        b.close()


def packet_limit(a, tmp):
    print(f"{a.devices} devices on quorlin sim, a broker with max_packet_size {a.max_packet}, "
          f"{a.seconds:.0f} s, compression {a.compression or 'none'}", flush=True)
    runs = []
    for i in range(a.runs):
        runs.append(packet_limit_run(a, tmp))
        print(f"run {i + 1}: {json.dumps(runs[-1])}", flush=True)
    med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
    print(f"medians of {a.runs}: {med['connections']:.0f} connections, {med['lines']:.0f} lines, "
          f"{med['published_pct']:.1f}% of {med['records']:.0f} records published", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--mode", choices=("throughput", "faults", "thin-link", "plant-reuse",
                                       "packet-limit"),
                    default="faults")
    ap.add_argument("--devices", type=int)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--plants", type=int, default=2, help="qrn-plant simulators")
    ap.add_argument("--sim", choices=("plant", "quorlin"), default="plant",
                    help="quorlin: one `quorlin sim` (100 sessions: devices default to a "
                         "session per round)")
    ap.add_argument("--session", choices=("keep", "round"))
    ap.add_argument("--data-qos", type=int, choices=(0, 1),
                    help="the sparkplug section's data_qos (default: none given)")
    ap.add_argument("--warmup", type=float, default=15)
    ap.add_argument("--seconds", type=float, default=60, help="CPU window")
    ap.add_argument("--outage", type=float, default=600, help="seconds the broker is away")
    ap.add_argument("--host-outage", type=float, default=30,
                    help="seconds the primary host is away")
    ap.add_argument("--backlog-hours", type=float, default=24)
    ap.add_argument("--link-mbit", type=float, default=10)
    ap.add_argument("--clear-timeout", type=float, default=1200)
    ap.add_argument("--spb-collect", help="the subscriber (default: the build's); one that "
                    "stamps arrivals gives lags that include the link")
    ap.add_argument("--compression", choices=("deflate", "gzip"))
    ap.add_argument("--max-packet", type=int, default=102400)
    ap.add_argument("--mosquitto", default="/usr/sbin/mosquitto")
    ap.add_argument("--mosquitto-pub", default="mosquitto_pub")
    a = ap.parse_args()
    if a.devices is None:
        a.devices = {"thin-link": 5, "plant-reuse": 200, "packet-limit": 20}.get(a.mode, 50)
    if a.mode == "packet-limit":
        a.sim = "quorlin"
    with tempfile.TemporaryDirectory() as tmp:
        {"throughput": throughput, "faults": faults, "thin-link": thin_link,
         "plant-reuse": plant_reuse, "packet-limit": packet_limit}[a.mode](a, tmp)


if __name__ == "__main__":
    main()
