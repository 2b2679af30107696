"""A Windows program talking to a station over the network: the 32-bit ksym.exe under wine32
reads, writes and watches through tcp:127.0.0.1:PORT against a native plcsim station, which
is stopped and started again during a watch, and records what a station shows for a native
plcsim to replay.

    KSYM_EXE     the Windows build's ksym.exe (required)
    KSYM_PLCSIM  a native plcsim program (required)
    KSYM_WINE    the wine that runs it (default /usr/bin/wine), in the caller's WINEPREFIX
"""

import base64
import json
import os
import queue
import subprocess
import threading
import time

import pytest

EXE = os.environ.get("KSYM_EXE", "")
PLCSIM = os.environ.get("KSYM_PLCSIM", "")
WINE = os.environ.get("KSYM_WINE", "/usr/bin/wine")

if not (os.path.isfile(EXE) and os.access(PLCSIM, os.X_OK)):
    pytest.skip("KSYM_EXE and KSYM_PLCSIM must name the Windows ksym.exe and a native plcsim",
                allow_module_level=True)


class Station:
    """A native plcsim on loopback, stopped by its process id."""

    def __init__(self, port=0, *options):
        self.process = subprocess.Popen([PLCSIM, "--listen", "127.0.0.1:%d" % port, *options],
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        assert line.startswith("plcsim listening on 127.0.0.1:"), line
        self.port = int(line.rsplit(":", 1)[1])
        self.address = "tcp:127.0.0.1:%d" % self.port

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def ksym(*args):
    return subprocess.run([WINE, EXE, *args], capture_output=True, text=True, timeout=120)


def test_ksym_exe_reads_writes_and_watches_across_a_station_restart():
    station = Station()
    try:
        read = ksym("--station", station.address, "--json", "read", "Line1.Mode", "%MW4")
        assert read.returncode == 0, read.stderr
        assert json.loads(read.stdout)[0]["value"] == 1
        written = ksym("--station", station.address, "write", "Line1.Mode=4")
        assert written.returncode == 0, written.stderr
        again = ksym("--station", station.address, "--json", "read", "Line1.Mode")
        assert json.loads(again.stdout)[0]["value"] == 4

        watch = subprocess.Popen(
            [WINE, EXE, "--station", station.address, "--timeout", "1000", "--json", "watch",
             "Line1.Mode", "--interval", "100", "--count", "20"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        lines = queue.Queue()
        reader = threading.Thread(target=lambda: [lines.put(line) for line in watch.stdout],
                                  daemon=True)
        reader.start()
        records = [lines.get(timeout=60) for _ in range(5)]
        station.stop()
        time.sleep(1.5)
        station = Station(station.port)  # the same address, a fresh station
        watch.wait(timeout=90)
        reader.join(10)
        errors = watch.stderr.read()
        while not lines.empty():
            records.append(lines.get())
        assert watch.returncode == 0, errors
        assert "broke; reconnecting" in errors and "reconnected to" in errors, errors
        ticks = [json.loads(line)["tick"] for line in records]
        assert ticks == list(range(1, 21)), ticks
        # The fresh station holds its initial value again.
        assert json.loads(records[-1])["values"][0]["value"] == 1
    finally:
        station.stop()


def test_ksym_exe_records_what_a_native_station_replays():
    folder = os.environ.get("TMPDIR", "/tmp")
    path = os.path.join(folder, "ksym-exe-record-%d.jsonl" % os.getpid())
    station = Station(0, "--order", "big")
    try:
        # Wine's drive Z: is the Linux root.
        recorded = ksym("--station", station.address, "record", "--all", "--out",
                        "Z:" + path.replace("/", "\\"), "--interval", "50", "--count", "3")
        assert recorded.returncode == 0, recorded.stderr
        assert "ksym record: 3 records, 39 variables," in recorded.stdout, recorded.stdout
    finally:
        station.stop()
    try:
        with open(path, encoding="utf-8") as file:
            lines = [json.loads(line) for line in file]
        header = lines[0]
        assert header["byteOrder"] == "big" and header["project"]["name"] == "SAMPLE.PRO"
        assert base64.b64decode(header["sdb"])[:4] == b"\x01\0\0\0"
        assert "end" in lines[-1] and lines[-1]["end"]["records"] == 3
        mode = lines[1]["snapshot"]["Line1.Mode"]
        replaying = Station(0, "--replay", path, "--clock", "manual")
        try:
            read = ksym("--station", replaying.address, "--json", "read", "Line1.Mode")
            assert read.returncode == 0, read.stderr
            assert json.loads(read.stdout)[0]["value"] == int(mode, 16)
        finally:
            replaying.stop()
    finally:
        if os.path.exists(path):
            os.remove(path)
