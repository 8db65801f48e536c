#!/usr/bin/env python3
"""spb_collect against a real mosquitto broker on a free loopback port.

Usage: spb_collect_test.py SPB_COLLECT MOSQUITTO MOSQUITTO_PUB CASE
"""

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


def device_birth(round_ms, local_time):
    """A DBIRTH of "Round/Time" and the first point (a Boolean, alias 1) true."""
    local = blob(1, b"Local Time") + blob(2, num(1, 12) + blob(8, local_time.encode()))
    round_time = (blob(1, b"Round/Time") + num(3, round_ms) + num(4, 13) + blob(9, local)
                  + num(11, round_ms))
    point = (blob(1, b"t|D3G1_AI1_1_H_Alarm") + num(2, 1) + num(3, round_ms) + num(4, 11)
             + num(14, 1))
    return num(1, round_ms + 5) + blob(2, round_time) + blob(2, point) + num(3, 5)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds=30):
    deadline = time.monotonic() + seconds
    while not check():
        expect(time.monotonic() < deadline, f"no {what} in {seconds} s")
        time.sleep(0.05)


def prints_messages_and_rebuilds_records(collect, mosquitto, mosquitto_pub):
    with tempfile.TemporaryDirectory() as tmp:
        port = free_port()
        conf = os.path.join(tmp, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\n")
        err = open(os.path.join(tmp, "collect.err"), "w+")
        broker = subprocess.Popen([mosquitto, "-c", conf], stderr=subprocess.DEVNULL)
        collector = None
        try:
            wait_for("broker", lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0)
            collector = subprocess.Popen(
                [collect, f"127.0.0.1:{port}", "--records", tmp, "--count", "2"],
                stdout=subprocess.PIPE, stderr=err)
            wait_for("subscription", lambda: "subscribed" in open(err.name).read())
            birth = os.path.join(tmp, "birth.bin")
            with open(birth, "wb") as f:
                f.write(device_birth(1772571967000, "2026-03-04 05:06:07"))
            for topic, args in (("spBv1.0/plant-3/DBIRTH/unit-17/7", ["-f", birth]),
                                ("spBv1.0/plant-3/DDATA/unit-17/7", ["-m", "garbage"])):
                pub = e2e_harness.run([mosquitto_pub, "-h", "127.0.0.1", "-p", port,
                                       "-q", "1", "-t", topic, *args])
                expect(pub.returncode == 0, f"mosquitto_pub: {pub.stderr!r}")
            deadline = time.monotonic() + 30
            lines = [json.loads(e2e_harness.read_line(collector, deadline)) for _ in range(2)]
            expect(collector.wait(timeout=30) == 0, "spb_collect did not stop after --count")
        finally:
            for proc in (collector, broker):
                if proc and proc.poll() is None:
                    proc.terminate()
                    proc.wait(timeout=10)
        record = os.path.join(tmp, "7-1772571967000.bin")
        expect(lines[0] == {"topic": "spBv1.0/plant-3/DBIRTH/unit-17/7", "type": "DBIRTH",
                            "group": "plant-3", "node": "unit-17", "device": "7", "seq": 5,
                            "timestamp": 1772571967005, "metrics": 2, "round_time": 1772571967000,
                            "historical": False, "historical_metrics": 0, "record": record},
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


CASES = {"prints_messages_and_rebuilds_records": prints_messages_and_rebuilds_records}

if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[4] not in CASES:
        print(__doc__ + "cases: " + ", ".join(CASES), file=sys.stderr)
        sys.exit(2)
    e2e_harness.run_case(CASES[sys.argv[4]], *sys.argv[1:4])
