#!/usr/bin/env python3
"""What the live view costs: qrn-host against `quorlin sim` on loopback, its
CPU time over a window with no page open and over one with the page open in
headless Chromium, alternately; the page's load time; the interval between
records in both cases (serving must not slow sampling). Prints medians.

Usage: live_view_bench.py [--build DIR] [--runs N] [--seconds S] [--screenshot PNG]
"""

import argparse
import contextlib
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import headless_browser  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
RECORD = re.compile(r"^device (\d+) round (\d+) ")


def cpu_seconds(pid):
    """User plus system time of the process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


@contextlib.contextmanager
def process(args):
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


class Records:
    """Arrival times of the host's record lines, read on a thread of its own."""

    def __init__(self, proc):
        self.url = None
        self.times = []
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self._read, args=(proc,), daemon=True)
        self.thread.start()

    def _read(self, proc):
        for raw in proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            m = re.match(r"^http: live view at (\S+)$", line)
            if m:
                self.url = m.group(1)
                self.ready.set()
            if RECORD.match(line):
                self.times.append(time.monotonic())

    def intervals(self, start, end):
        t = [x for x in self.times if start <= x <= end]
        return [b - a for a, b in zip(t, t[1:])]


def window(pid, seconds):
    start_cpu, start = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return cpu_seconds(pid) - start_cpu, start, time.monotonic()


def open_page(browser, url):
    """Loads the page; its load time and first-record time in ms."""
    browser.open(url)
    first = float(browser.wait_for("document.body && document.body.dataset.firstRecordMs"))
    load = browser.evaluate("performance.getEntriesByType('navigation')[0].loadEventEnd")
    return load, first


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--screenshot", help="also save a screenshot of the page there")
    opts = parser.parse_args()
    found = headless_browser.find_browser()
    if found is None:
        sys.exit("live_view_bench: no chromium-headless-shell or chromium installed")

    with tempfile.TemporaryDirectory() as tmp, \
            process([f"{opts.build}/quorlin", "sim", "--port", "0"]) as sim:
        line = sim.stdout.readline().decode()
        port = int(line.rsplit(":", 1)[1])
        config = os.path.join(tmp, "plant.json")
        with open(config, "w") as f:
            json.dump({"devices": [{"id": 7, "address": "127.0.0.1", "port": port}]}, f)
        with process([f"{opts.build}/qrn-host", "--plugin", f"{opts.build}/libquorlin.so",
                      "--config", config, "--history", os.path.join(tmp, "history.db"),
                      "--http", "127.0.0.1:0"]) as host:
            records = Records(host)
            if not records.ready.wait(60):
                sys.exit("live_view_bench: qrn-host did not serve")
            time.sleep(12)  # the first records, the host's start-up behind us
            without, with_page, loads, firsts = [], [], [], []
            gaps_without, gaps_with = [], []
            for run in range(opts.runs):
                cpu, a, b = window(host.pid, opts.seconds)
                without.append(cpu / (b - a) * 100)
                gaps_without += records.intervals(a, b)
                with headless_browser.Browser(*found) as browser:
                    load, first = open_page(browser, records.url)
                    loads.append(load)
                    firsts.append(first)
                    cpu, a, b = window(host.pid, opts.seconds)
                with_page.append(cpu / (b - a) * 100)
                gaps_with += records.intervals(a, b)
                print(f"run {run + 1}: host CPU {without[-1]:.2f}% without the page, "
                      f"{with_page[-1]:.2f}% with it; page loaded in {load:.0f} ms, "
                      f"first record drawn at {first:.0f} ms", flush=True)

            med = statistics.median
            print(f"median host CPU over {opts.seconds:.0f} s windows: {med(without):.2f}% without "
                  f"the page, {med(with_page):.2f}% with it open "
                  + (f"(ratio {med(with_page) / med(without):.2f})" if med(without) else ""))
            print(f"median page load (load event): {med(loads):.0f} ms; "
                  f"first record drawn: {med(firsts):.0f} ms after navigation start")
            gap = lambda g: f"{med(g):.3f} s ({len(g)} intervals)" if g else "none seen"
            print(f"median interval between records: {gap(gaps_without)} without the page, "
                  f"{gap(gaps_with)} with it")

            if opts.screenshot:
                with headless_browser.Browser(*found, width=1280, height=900) as browser:
                    open_page(browser, records.url)
                    browser.type_text("#filter", "G3_M11_")
                    browser.evaluate("[...document.querySelectorAll('#groups tr[data-index]')]"
                                     ".find(tr => tr.textContent.includes('冷凝器出水温度')).click()")
                    browser.wait_for("!!document.querySelector('#trend-svg polyline')")
                    time.sleep(0.5)
                    browser.screenshot(opts.screenshot)
                print(f"screenshot: {opts.screenshot}")


if __name__ == "__main__":
    main()
