"""Test support: the library and programs of a build, a private KSYM_ROOT, a time limit for
every test, and plcsim stations on loopback.

The test command names the build's files:
    KSYMBOL_LIBRARY  the library (required)
    KSYM_PLCSIM      the plcsim program (tests of TCP stations skip without it)
    KSYM_TOOL        the ksym program (comparisons with the tool skip without it)
"""

import atexit
import faulthandler
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

import pytest

# The platform layer keeps its registry and symbol folder here: one per test run.
os.environ["KSYM_ROOT"] = tempfile.mkdtemp(prefix="ksym-python-")
atexit.register(shutil.rmtree, os.environ["KSYM_ROOT"], True)
sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

if not os.environ.get("KSYMBOL_LIBRARY"):
    pytest.exit("KSYMBOL_LIBRARY is not set: run the tests with "
                "KSYMBOL_LIBRARY=build/dev/libksymbol.so (see scripts/test.sh)", returncode=2)

import ksymbol  # noqa: E402

# Seconds a single test may take: first an exception in the test, then the whole run ends
# with the stacks of every thread (for a test stuck inside a library call).
SOFT_LIMIT = 30
HARD_LIMIT = 45


@pytest.fixture(autouse=True)
def time_limit():
    def expire(signum, frame):
        raise TimeoutError("the test took longer than %d s" % SOFT_LIMIT)

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(SOFT_LIMIT)
    faulthandler.dump_traceback_later(HARD_LIMIT, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def _program(variable):
    path = os.environ.get(variable, "")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("%s does not name the build's program (%r): set it, as scripts/test.sh "
                    "does" % (variable, path))
    return path


class Station:
    """A plcsim process on loopback; `address` is its tcp: station address. `listen` picks
    the port (0: a free one), e.g. to start a station again where it was."""

    def __init__(self, *options, listen="127.0.0.1:0"):
        program = _program("KSYM_PLCSIM")
        self.process = subprocess.Popen([program, "--listen", listen, *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        lines = queue.Queue()
        threading.Thread(target=lambda: lines.put(self.process.stdout.readline()),
                         daemon=True).start()
        try:
            line = lines.get(timeout=10)
        except queue.Empty:
            self.stop()
            raise RuntimeError("plcsim did not say where it listens within 10 s")
        prefix = "plcsim listening on "
        if not line.startswith(prefix):
            self.stop()
            raise RuntimeError("plcsim said %r" % line)
        self.address = "tcp:" + line[len(prefix):].strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)


@pytest.fixture
def plcsim():
    """Starts plcsim stations with the options given; stops them after the test."""
    started = []

    def start(*options, **keywords):
        station = Station(*options, **keywords)
        started.append(station)
        return station

    yield start
    for station in started:
        station.stop()


def ksym_read(station, names):
    """`ksym --json read` of the names on the station: a dict name to the JSON value (None
    when not valid)."""
    tool = _program("KSYM_TOOL")
    done = subprocess.run([tool, "--station", station, "--json", "read", *names],
                          capture_output=True, text=True, timeout=20)
    assert done.returncode == 0, done.stderr
    return {item["name"]: item["value"] if item["valid"] else None
            for item in json.loads(done.stdout)}


def sim_control(channel, command):
    """Sends a command of the simulator's control service (fault=silent, clear=silent, ...)
    over the channel; True when the simulator accepted it."""
    reply = channel._request_raw(b"\xF0" + command.encode())
    return reply[:2] == b"\0\0"
