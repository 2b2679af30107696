"""Channels against the embedded simulator and plcsim stations: reads and writes compared with
the command-line tool, errors, time-outs, broken connections, threads and leaks."""

import datetime
import gc
import math
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import ksymbol
from conftest import ksym_read, sim_control

# A value for a variable of every type of the sample project, at the edges of its range.
WRITES = {
    "Line1.Station1.StopButton": True,                        # BOOL
    "Line1.Station1.Selector": 255,                           # BYTE
    "Line1.Station3.Valve.Command": 65535,                    # WORD
    "Line2.Station1.StatusWord": 0xFFFFFFFF,                  # DWORD
    "Line1.Station2.Motor3.Speed": -32768,                    # INT
    "Line2.Counter": -2 ** 31,                                # DINT
    "Line2.Station1.Heater.Power": 0.1,                       # REAL
    "Line2.Station1.Temperature": -1e300,                     # LREAL
    "Line1.Shift.CycleTime": 4000000000,                      # TIME
    "Line1.Recipe.Name": "Rye 1000g, 20 chars",               # STR20
    "Line2.Station1.Setpoints": [32767, -32768, 0, -1],       # INTARR4
    "Line1.Station3.Counts": list(range(-5, 5)),              # INTARR10
    "Line2.Station1.Cycles": b"\x01\x02",                     # COUNTER: bytes
    "Line1.Station2.Drive": bytes(range(16)),                 # MOTOR_DB
    "Line1.Shift.StartedAt": bytes(range(8, 16)),             # DATE_AND_TIME
    "Line2.Station2.Target": bytes(range(10)),                # ANY_PTR
    "Line1.Station3.Grid": bytes(range(24)),                  # an array of arrays: DATA
    "%MW100": 0x1234,                                         # a direct word
    "%QX40.3": True,                                          # a direct bit
}


def as_json(value):
    """A value as `ksym --json read` prints it."""
    return value.hex() if isinstance(value, bytes) else value


@pytest.mark.parametrize("order", ["little", "big"])
def test_reads_and_writes_agree_with_the_tool(plcsim, order):
    station = plcsim("--clock", "manual", "--order", order)
    with ksymbol.Channel(station.address) as channel:
        names = [s.name for s in channel.symbols()] + ["%MW4", "%IX1.2", "%QD2"]
        assert len(names) == 43
        before = channel.read(*names)
        assert {n: as_json(v) for n, v in before.items()} == ksym_read(station.address, names)
        channel.write(WRITES)
        after = channel.read(*WRITES)
    assert after == WRITES
    # Written by Python, read by the tool: the bytes the station holds are the tool's too.
    assert ksym_read(station.address, list(WRITES)) == {n: as_json(v)
                                                        for n, v in WRITES.items()}


def test_embedded_big_endian_station_converts_by_type():
    stable = ["Line1.Station3.Sensors", "Line2.Station2.Display.Text", "Line1.Station1.Selector",
              "Line1.Station3.Valve.Command", "Line1.Shift.StartedAt", "%MW4"]
    with ksymbol.Channel("sim") as little, ksymbol.Channel("sim:order=big") as big:
        assert big.read(*stable) == little.read(*stable)
        assert big.read("Line1.Station3.Sensors")["Line1.Station3.Sensors"][:3] == [120, 135, 98]
        big.write({"Line1.Station2.Motor1.Speed": -1234, "Line2.Station1.Heater.Power": 2.5,
                   "Line1.Station2.Motor1.Enable": False})
        assert big.read("Line1.Station2.Motor1.Speed", "Line2.Station1.Heater.Power") == {
            "Line1.Station2.Motor1.Speed": -1234, "Line2.Station1.Heater.Power": 2.5}
        info = big.info()
    assert info.project_id == 0x2026120B and info.number == 7
    assert (info.project, info.version) == ("SAMPLE", "1.0.0") and len(info.texts) == 5


def test_unknown_names_wrong_values_and_refusals():
    with ksymbol.Channel("sim:absent=2:4") as channel:
        for call in (lambda: channel.read("Line1.Mode", "No.Such.Variable"),
                     lambda: channel.var_list(["No.Such.Variable"]),
                     lambda: channel.write({"No.Such.Variable": 1})):
            with pytest.raises(ksymbol.KSymError) as caught:
                call()
            assert caught.value.code == 19
            assert caught.value.name == "No.Such.Variable"
            assert "'No.Such.Variable'" in str(caught.value)
        # Nothing is sent when one value does not fit: the other stays as it was.
        speed = channel.read("Line1.Station2.Motor3.Speed")
        with pytest.raises(ValueError, match="Line1.Station2.Motor2.Speed"):
            channel.write({"Line1.Station2.Motor3.Speed": 1, "Line1.Station2.Motor2.Speed": 40000})
        with pytest.raises(ValueError, match="Line1.Recipe.Name"):
            channel.write({"Line1.Station2.Motor3.Speed": 1, "Line1.Recipe.Name": "x" * 21})
        assert channel.read("Line1.Station2.Motor3.Speed") == speed
        # Motor1.Speed lies on the absent byte: its read delivers nothing, its write is refused.
        assert channel.read("Line1.Station2.Motor1.Speed", "Line1.Mode") == {
            "Line1.Station2.Motor1.Speed": None, "Line1.Mode": 1}
        with pytest.raises(ksymbol.KSymError, match="KSymWriteResult.*Motor1.Speed"):
            channel.write({"Line1.Station2.Motor1.Speed": 5})
    with ksymbol.Channel() as channel:
        # A station that refuses from the start cannot hand out its symbols: refuse later.
        assert sim_control(channel, "fault=refuse")
        with pytest.raises(ksymbol.KSymError, match="KSymLoginResult"):
            channel.login()
        with pytest.raises(ksymbol.KSymError, match="KSymLogoutResult"):
            channel.logout()
    with pytest.raises(ksymbol.OpenError) as caught:
        ksymbol.Channel("nowhere:1")
    assert caught.value.code == 4 and isinstance(caught.value, ConnectionError)


def test_lists_services_and_watches():
    with ksymbol.Channel() as channel:
        channel.login()
        channel.logout()
        assert channel.info().project_id == channel.project_id() == 0x2026120B
        speed = "Line1.Station2.Motor3.Speed"
        with channel.var_list([speed, "%MB3"]) as values:
            first = values.read()
            channel.write({speed: first[speed] + 1})
            assert values.read() == {speed: first[speed] + 1, "%MB3": first["%MB3"]}
        # changes_only: every value at first, then only what changed, read by read.
        seen = []
        for change in channel.watch([speed, "Line1.Mode"], interval=0.01, changes_only=True,
                                    count=3):
            seen.append(change)
            if len(seen) == 2:
                channel.write({speed: 77})
        assert [(c.name, c.value) for c in seen] == [
            (speed, first[speed] + 1), ("Line1.Mode", 1), (speed, 77)]
        assert all(c.time.tzinfo is datetime.timezone.utc for c in seen)
        assert seen[0].time == seen[1].time < seen[2].time
        # Without changes_only every read yields every value; count counts reads.
        began = time.monotonic()
        every = list(channel.watch(["Line1.Mode", "%MW4"], interval=0.1, count=3))
        assert len(every) == 6 and time.monotonic() - began >= 0.2


def test_a_time_out_abandons_the_read_and_a_later_read_is_current():
    speed = "Line1.Station2.Motor3.Speed"
    with ksymbol.Channel(timeout=0.3) as channel:
        with channel.var_list([speed]) as values:
            assert values.read() == {speed: 600}
            assert sim_control(channel, "fault=silent")
            began = time.monotonic()
            with pytest.raises(TimeoutError, match=speed):
                values.read()
            assert time.monotonic() - began < 1.0
            assert sim_control(channel, "clear=silent")
            channel.write({speed: 601})
            assert values.read() == {speed: 601}
    # A station slower than the time-out: its late answer must not pass for a later one.
    with ksymbol.Channel("sim:latency=400", timeout=0.1) as channel:
        with pytest.raises(TimeoutError):
            channel.read(speed)
        channel.timeout = 2.0
        channel.write({speed: 602})
        assert channel.read(speed, "Line1.Mode") == {speed: 602, "Line1.Mode": 1}
        channel.write({speed: 603})
        assert channel.read(speed) == {speed: 603}


def test_a_late_answer_never_passes_for_a_later_requests_however_late(plcsim):
    # Later than the time-out and than the grace for a late answer: the channel is opened
    # afresh for the next request, on which no old answer can arrive.
    station = plcsim("--latency", "1500", "--read-only", "--values", "pattern",
                     "--chunk", "65535")
    with ksymbol.Channel(station.address, timeout=0.3) as channel:
        with channel.var_list(["%MB20"]) as values:
            with pytest.raises(TimeoutError):
                channel.read("%MB10")  # it holds 161
            channel.timeout = 3.0
            # The station is read-only: the answer to the write is its refusal, not the read's.
            with pytest.raises(ksymbol.KSymError, match="refused"):
                channel.write({"%MB30": 1})
            assert channel.read("%MB20") == {"%MB20": 231}
            assert values.read() == {"%MB20": 231}, "a list of the old channel"


def test_dropped_lists_go_and_watches_keep_nan_and_their_own_arrays():
    power, setpoints = "Line2.Station1.Heater.Power", "Line2.Station1.Setpoints"
    with ksymbol.Channel() as channel:
        for _ in range(200):
            channel.var_list(["Line1.Mode"])  # dropped without close()
        gc.collect()
        assert channel.read("Line1.Mode") == {"Line1.Mode": 1}
        assert len(channel._state["lists"]) == 0, "lists of dropped VarList objects stayed"
        channel.write({power: float("nan")})
        watch = channel.watch([power, setpoints], interval=0.02, changes_only=True, count=5)
        first = [next(watch), next(watch)]
        assert math.isnan(first[0].value) and first[1].value == [650, 700, 725, 750]
        first[1].value.append(0)  # the caller's to change; the watch compares its own copy
        assert list(watch) == [], "an unchanged NaN or array was reported again"


def test_an_exit_while_a_daemon_thread_reads_ends_the_process_cleanly():
    script = textwrap.dedent("""
        import threading, time, ksymbol
        channel = ksymbol.Channel()
        def reader():
            while True:
                channel.read("Line1.Mode", "%MW4")
        threading.Thread(target=reader, daemon=True).start()
        time.sleep(0.1)
    """)
    environment = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(__file__), ".."))
    for _ in range(8):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=20, env=environment)
        assert done.returncode == 0, done.stderr
        assert "critical section" not in done.stderr, done.stderr


def test_a_station_stopped_during_a_watch_raises_connection_error(plcsim):
    station = plcsim()
    with ksymbol.Channel(station.address, timeout=3.0) as channel:
        watch = channel.watch(["Line1.Mode"], interval=0.05, reconnect=False)
        assert next(watch).value == 1
        station.stop()
        with pytest.raises(ConnectionError):
            for _ in range(100):
                next(watch)
        with pytest.raises(ConnectionError):
            channel.read("Line1.Mode")


def test_a_channel_serves_other_threads_and_leaves_nothing_open():
    open_handles = ksymbol._native.native().KPlatformOpenHandles
    before = open_handles()
    channel = ksymbol.Channel()
    results, errors = [], []

    def work(index):
        try:
            for k in range(5):
                channel.write({"Line1.Station2.Motor%d.Speed" % index: 100 * index + k})
                results.append(channel.read("Line1.Station2.Motor%d.Speed" % index))
        except Exception as error:  # reported below, in the test's thread
            errors.append(error)

    workers = [threading.Thread(target=work, args=(i,)) for i in (1, 2, 3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(20)
    assert errors == [] and len(results) == 15
    assert channel.read("Line1.Station2.Motor2.Speed") == {"Line1.Station2.Motor2.Speed": 204}
    channel.close()
    channel.close()
    assert channel.closed
    with pytest.raises(ValueError, match="closed"):
        channel.read("Line1.Mode")
    # The channel's thread, event and window are gone with it.
    assert open_handles() == before
