#!/usr/bin/env python3
"""spb_collect against a real mosquitto broker on a free loopback port.

Usage: spb_collect_test.py SPB_COLLECT MOSQUITTO MOSQUITTO_PUB CASE
"""

import contextlib
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

import e2e_harness
from e2e_harness import expect


def varint(n):
    out = b""
    while True:
        out += bytes([n & 0x7F | (0x80 if n > 0x7F else 0)])
        n >>= 7
        if not n:
            return out


def num(field, n):
    return varint(field << 3) + varint(n)


def blob(field, data):
    return varint(field << 3 | 2) + varint(len(data)) + data


def round_seq(seq, alias, named=False, historical=False):
    """The "Round/Seq" metric (UInt64): by name and alias in a birth."""
    return blob(2, (blob(1, b"Round/Seq") + num(4, 8) if named else b"") + num(2, alias)
                + num(5, int(historical)) + num(11, seq))


def device_birth(round_ms, local_time, seq=None, alias=2708):
    """A DBIRTH of "Round/Time" and the first point (a Boolean, alias 1) true,
    with "Round/Seq" `seq` when given."""
    local = blob(1, b"Local Time") + blob(2, num(1, 12) + blob(8, local_time.encode()))
    round_time = (blob(1, b"Round/Time") + num(3, round_ms) + num(4, 13) + blob(9, local)
                  + num(11, round_ms))
    point = (blob(1, b"t|D3G1_AI1_1_H_Alarm") + num(2, 1) + num(3, round_ms) + num(4, 11)
             + num(14, 1))
    sequence = round_seq(seq, alias, named=True) if seq is not None else b""
    return num(1, round_ms + 5) + blob(2, round_time) + blob(2, point) + sequence + num(3, 5)


def null_birth(alias):
    """A DBIRTH before the device's first record: "Round/Time" and "Round/Seq" null."""
    round_time = blob(1, b"Round/Time") + num(4, 13) + num(7, 1)
    sequence = blob(1, b"Round/Seq") + num(2, alias) + num(4, 8) + num(7, 1)
    return num(1, 1772571967000) + blob(2, round_time) + blob(2, sequence) + num(3, 5)


def device_data(seq, alias, historical=False):
    """A DDATA of "Round/Time" by alias and "Round/Seq" by `alias` (none: without)."""
    round_time = num(2, 2707) + num(5, int(historical)) + num(11, 1772571967000 + 5000 * seq)
    sequence = round_seq(seq, alias, historical=historical) if alias is not None else b""
    return num(1, 1772571967000) + blob(2, round_time) + sequence + num(3, 6)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds=30):
    deadline = time.monotonic() + seconds
    while not check():
        expect(time.monotonic() < deadline, f"no {what} in {seconds} s")
        time.sleep(0.05)


@contextlib.contextmanager
def collecting(collect, mosquitto, tmp, *options):
    """A broker on a free port and spb_collect subscribed to it with `options`:
    yields (collector, port)."""
    port = free_port()
    conf = os.path.join(tmp, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\n")
    err = open(os.path.join(tmp, "collect.err"), "w+")
    broker = subprocess.Popen([mosquitto, "-c", conf], stderr=subprocess.DEVNULL)
    collector = None
    try:
        wait_for("broker", lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0)
        collector = subprocess.Popen([collect, f"127.0.0.1:{port}", *options],
                                     stdout=subprocess.PIPE, stderr=err)
        wait_for("subscription", lambda: "subscribed" in open(err.name).read())
        yield collector, port
    finally:
        for proc in (collector, broker):
            if proc and proc.poll() is None:
                proc.terminate()
                proc.wait(timeout=10)


def publish(mosquitto_pub, port, tmp, topic, payload):
    path = os.path.join(tmp, "payload.bin")
    with open(path, "wb") as f:
        f.write(payload)
    pub = e2e_harness.run([mosquitto_pub, "-h", "127.0.0.1", "-p", port, "-q", "1", "-t", topic,
                           "-f", path])
    expect(pub.returncode == 0, f"mosquitto_pub: {pub.stderr!r}")


def prints_messages_and_rebuilds_records(collect, mosquitto, mosquitto_pub):
    with tempfile.TemporaryDirectory() as tmp:
        with collecting(collect, mosquitto, tmp, "--records", tmp, "--count", "2") as (collector,
                                                                                       port):
            sent_ms = int(time.time() * 1000)
            publish(mosquitto_pub, port, tmp, "spBv1.0/plant-3/DBIRTH/unit-17/7",
                    device_birth(1772571967000, "2026-03-04 05:06:07", seq=41))
            publish(mosquitto_pub, port, tmp, "spBv1.0/plant-3/DDATA/unit-17/7", b"garbage")
            deadline = time.monotonic() + 30
            lines = [json.loads(e2e_harness.read_line(collector, deadline)) for _ in range(2)]
            expect(collector.wait(timeout=30) == 0, "spb_collect did not stop after --count")
        received = lines[0].pop("received", 0)
        expect(sent_ms <= received <= time.time() * 1000,
               f"birth received at {received}, published at {sent_ms}")
        record = os.path.join(tmp, "7-1772571967000.bin")
        expect(lines[0] == {"topic": "spBv1.0/plant-3/DBIRTH/unit-17/7", "type": "DBIRTH",
                            "group": "plant-3", "node": "unit-17", "device": "7", "seq": 5,
                            "timestamp": 1772571967005, "metrics": 3, "round_time": 1772571967000,
                            "round_seq": 41, "historical": False, "historical_metrics": 0,
                            "record": record},
               f"birth line {lines[0]}")
        expect(lines[1].get("error") == "undecodable payload" and lines[1]["type"] == "DDATA",
               f"garbage line {lines[1]}")
        with open(record, "rb") as f:
            data = f.read()
        expected = bytearray(7001)
        expected[0] = 7
        expected[5] = 1
        expected[6994:] = bytes([0xEA, 0x07, 3, 4, 5, 6, 7])
        differ = [i for i in range(min(len(data), 7001)) if data[i] != expected[i]]
        expect(data == bytes(expected), f"rebuilt record differs at {differ[:10]}, {len(data)} bytes")


# Per case: the messages in the order published, as (device, type, Round/Seq,
# historical); then the lines --verify prints and its exit status. Device 1
# gives Round/Seq alias 2708, device 2 alias 9000: each DDATA is read by its
# own device's alias. A DDATA Round/Seq None carries none; alias "other" one
# under an alias its DBIRTH did not give.
VERIFY_CASES = {
    "in_order_with_a_rebirth": ([
        ("1", "DBIRTH", 10, False), ("1", "DDATA", 11, False), ("1", "DDATA", 12, False),
        ("1", "DBIRTH", 12, False), ("1", "DDATA", 13, False),
        ("2", "DBIRTH", 3, False), ("2", "DDATA", 4, False),
    ], [
        "g/n/1: 4 records (Round/Seq 10 to 13), 0 gaps (0 missing), 0 duplicates, "
        "0 out of order, 0 without Round/Seq",
        "g/n/2: 2 records (Round/Seq 3 to 4), 0 gaps (0 missing), 0 duplicates, "
        "0 out of order, 0 without Round/Seq",
        "total: 2 devices, 6 records, 0 gaps (0 missing), 0 duplicates, 0 out of order, "
        "0 without Round/Seq: complete",
    ], 0),
    "replay_beside_live_duplicates_and_reordering": ([
        ("1", "DBIRTH", 20, False), ("1", "DDATA", 21, False), ("1", "DDATA", 23, False),
        ("1", "DDATA", 22, False), ("1", "DDATA", 21, False),
        ("2", "DBIRTH", 50, False), ("2", "DDATA", 51, False),
        ("2", "DDATA", 45, True), ("2", "DDATA", 46, True), ("2", "DDATA", 49, True),
        ("2", "DDATA", 47, True), ("2", "DDATA", 46, True), ("2", "DDATA", 48, True),
    ], [
        "g/n/1: 4 records (Round/Seq 20 to 23), 0 gaps (0 missing), 1 duplicates, "
        "1 out of order, 0 without Round/Seq",
        "g/n/2: 7 records (Round/Seq 45 to 51), 0 gaps (0 missing), 1 duplicates, "
        "2 out of order, 0 without Round/Seq",
        "total: 2 devices, 11 records, 0 gaps (0 missing), 2 duplicates, 3 out of order, "
        "0 without Round/Seq: complete",
    ], 0),
    "gaps_and_messages_without_round_seq": ([
        ("1", "DBIRTH", 1, False), ("1", "DDATA", 2, False), ("1", "DDATA", 5, False),
        ("1", "DDATA", 6, False), ("1", "DDATA", 9, False), ("1", "DDATA", None, False),
        ("2", "DDATA", 7, False),  # before its DBIRTH: its alias unknown
        ("2", "DBIRTH", 8, False), ("2", "DDATA", 9, "other"),
    ], [
        "g/n/1: 5 records (Round/Seq 1 to 9), 2 gaps (4 missing: 3-4, 7-8), 0 duplicates, "
        "0 out of order, 1 without Round/Seq",
        "g/n/2: 1 records (Round/Seq 8 to 8), 0 gaps (0 missing), 0 duplicates, "
        "0 out of order, 2 without Round/Seq",
        "total: 2 devices, 6 records, 2 gaps (4 missing), 0 duplicates, 0 out of order, "
        "3 without Round/Seq: INCOMPLETE",
    ], 1),
    "a_birth_before_the_first_record_numbers_nothing": ([
        ("3", "DBIRTH", "null", False), ("3", "DDATA", 1, False), ("3", "DDATA", 2, False),
    ], [
        "g/n/3: 2 records (Round/Seq 1 to 2), 0 gaps (0 missing), 0 duplicates, "
        "0 out of order, 0 without Round/Seq",
        "total: 1 devices, 2 records, 0 gaps (0 missing), 0 duplicates, 0 out of order, "
        "0 without Round/Seq: complete",
    ], 0),
}


def verify_counts_gaps_duplicates_and_reordering(collect, mosquitto, mosquitto_pub):
    aliases = {"1": 2708, "2": 9000, "3": 14996}
    for name, (messages, want, status) in VERIFY_CASES.items():
        with tempfile.TemporaryDirectory() as tmp:
            with collecting(collect, mosquitto, tmp, "--verify", "--count",
                            str(len(messages))) as (collector, port):
                for device, kind, seq, historical in messages:
                    if seq == "null":
                        payload = null_birth(aliases[device])
                    elif kind == "DBIRTH":
                        payload = device_birth(1772571967000, "2026-03-04 05:06:07", seq,
                                               aliases[device])
                    else:
                        alias = 7777 if historical == "other" else aliases[device]
                        payload = device_data(seq or 0, alias if seq else None,
                                              historical is True)
                    publish(mosquitto_pub, port, tmp, f"spBv1.0/g/{kind}/n/{device}", payload)
                got = collector.wait(timeout=30)
                lines = collector.stdout.read().decode().splitlines()
            expect(lines == want, f"{name}: --verify printed {lines}")
            expect(got == status, f"{name}: exit status {got}, not {status}")


CASES = {"prints_messages_and_rebuilds_records": prints_messages_and_rebuilds_records,
         "verify_counts_gaps_duplicates_and_reordering":
             verify_counts_gaps_duplicates_and_reordering}

if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[4] not in CASES:
        print(__doc__ + "cases: " + ", ".join(CASES), file=sys.stderr)
        sys.exit(2)
    e2e_harness.run_case(CASES[sys.argv[4]], *sys.argv[1:4])
