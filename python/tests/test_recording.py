"""Recordings: Channel.record against the tool's recordings and the simulator's replay, the
reader's refusals held to the replay's own, breaks of the connection, and the symbol-file
walk on damaged files."""

import _thread
import json
import os
import random
import re
import struct
import subprocess
import threading
import time

import pytest

import ksymbol
from conftest import Station, _program
from ksymbol import _recording, _sdb

# Symbols of the sample that no behaviour of its plant moves: a read later gives the same.
MOVING = {"Line1.Station1.StartButton", "Line1.Station1.PartPresent", "Line1.Station1.Lamp",
          "Line1.Station2.PartPresent", "Line1.Station2.Motor1.Running",
          "Line1.Station2.Motor2.Running", "Line1.Station2.Motor1.ActualSpeed",
          "Line1.Station2.Motor2.ActualSpeed", "Line1.Station3.Conveyor.Position",
          "Line1.Station3.Scale.Weight", "Line2.Station1.Temperature",
          "Line2.Station1.PressureRaw", "Line2.Station1.StatusWord", "Line2.Counter"}
SAMPLE_TEXTS = ("SAMPLE", "1.0.0", "Sample plant with two lines", "Quorvane", "2026-12-08")


def sample_sdb():
    """The sample's symbol file, as the library keeps it below KSYM_ROOT."""
    path = os.path.join(os.environ["KSYM_ROOT"], "windows", "Korvan Files", "Upload",
                        "SAMPLE.sdb")
    with open(path, "rb") as stream:
        return stream.read()


def have_plcsim():
    return os.access(os.environ.get("KSYM_PLCSIM", ""), os.X_OK)


def replay_refusal(path):
    """plcsim's exit code and stderr for the recording at `path`; a file it takes would have
    it listen, which the time-out ends."""
    done = subprocess.run([_program("KSYM_PLCSIM"), "--listen", "127.0.0.1:0", "--replay",
                           str(path)], capture_output=True, text=True, timeout=10)
    return done.returncode, done.stderr


def without_times(text):
    return re.sub(r'"(started|time)":"[^"]*"|"t":\d+', "", text)


@pytest.mark.parametrize("order", ["big", "little"])
def test_python_recording_replays_in_the_simulator(tmp_path, order):
    path, direct = tmp_path / "plant.rec", tmp_path / "direct.rec"
    with ksymbol.Channel("sim:order=" + order) as channel:
        summary = channel.record(None, str(path), interval=0.05, count=4, all=True)
        channel.record(["%IX1.2", "%MW4", "%QD2", "Line2.Station2.Spare", "LINE1.MODE"],
                       str(direct), interval=0.01, count=1)
    recording = ksymbol.read_recording(str(path))
    assert summary == (4, 39, summary.changes, path.stat().st_size, 0)
    assert summary.changes > 0, "the plant's ramps did not move in 150 ms"
    assert [r.kind for r in recording.records] == ["snapshot"] + ["changes"] * 3 + ["end"]
    assert recording.records[-1].counts == {"records": 4, "changes": summary.changes,
                                            "gaps": 0}
    assert (recording.station, recording.byte_order, recording.block_size) == (
        "sim:order=" + order, order, 1024)
    assert (recording.project_name, recording.project_id, recording.project_number,
            recording.texts) == ("SAMPLE.PRO", 0x2026120B, 7, SAMPLE_TEXTS)
    assert recording.sdb == sample_sdb()
    assert "LINE1.MODE" not in [v.name for v in recording.variables]
    # Values in the controller's order, whatever the host's.
    snapshot = recording.records[0].values
    form = ">" if order == "big" else "<"
    assert snapshot["Line1.Station2.Motor3.Speed"] == struct.pack(form + "h", 600)
    assert snapshot["Line2.Station1.Heater.Power"] == struct.pack(form + "f", 42.5)
    assert snapshot["Line1.Station3.Sensors"][:6] == struct.pack(form + "3h", 120, 135, 98)
    assert snapshot["Line2.Station2.Display.Text"].startswith(b"Line 2 running\0")

    # The simulator's replay serves the first snapshot: the values Python recorded.
    for file in (path, direct):
        recorded = ksymbol.read_recording(str(file))
        names = [v.name for v in recorded.variables]
        first = recorded.records[0].values
        with ksymbol.Channel("sim:replay=%s;clock=manual" % file) as replay:
            assert replay.read(*names) == {n: recorded.decode(n, first[n]) for n in names}
            assert replay.info().project_id == 0x2026120B
    assert [tuple(v[2:]) for v in ksymbol.read_recording(str(direct)).variables] == [
        (1, 18, 0), (0, 8, 2), (2, 8, 4), (3, 166, 0), (3, 0, 1)]

    # Cut short, the file is refused before the station starts.
    lines = path.read_bytes().splitlines(keepends=True)
    for cut, said in ((b"".join(lines[:-1]), "line 6: the end record is missing"),
                      (path.read_bytes()[:-1], "line 6: the last line has no line feed")):
        path.write_bytes(cut)
        with pytest.raises(ValueError, match="^" + said):
            ksymbol.read_recording(str(path))
        if have_plcsim():
            code, stderr = replay_refusal(path)
            assert code == 2 and said in stderr, stderr


def test_tool_recording_reads_in_python(tmp_path):
    path = tmp_path / "tool.rec"
    done = subprocess.run([_program("KSYM_TOOL"), "--station", "sim:order=big", "record",
                           "--all", "--out", str(path), "--count", "3", "--interval", "50"],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    recording = ksymbol.read_recording(str(path))
    end = recording.records[-1]
    assert [r.kind for r in recording.records] == ["snapshot", "changes", "changes", "end"]
    assert done.stdout.startswith("ksym record: 3 records, 39 variables, %d changes, %d bytes, "
                                  "0 gaps" % (end.counts["changes"], path.stat().st_size))
    assert (len(recording.variables), recording.byte_order, recording.station) == (
        39, "big", "sim:order=big")
    assert (recording.project_name, recording.project_id, recording.texts) == (
        "SAMPLE.PRO", 0x2026120B, SAMPLE_TEXTS)
    assert recording.variable("Line1.Station2.Motor3.Speed") == (
        "Line1.Station2.Motor3.Speed", "INT", 2, 8, 2)
    snapshot = recording.records[0].values
    assert snapshot["Line1.Station2.Motor3.Speed"] == b"\x02\x58"
    # Decoded by the recorded file's element sizes (arrays, arrays of arrays, a 10-byte
    # pointer, texts and blocks that stay bytes), they are what the library reads.
    stable = [v.name for v in recording.variables if v.name not in MOVING]
    assert len(stable) == 25
    with ksymbol.Channel("sim:order=big;clock=manual") as channel:
        now = channel.read(*stable)
    assert {n: recording.decode(n, snapshot[n]) for n in stable} == now


def test_python_and_tool_write_the_same_lines(tmp_path):
    station = "sim:order=big;clock=manual"
    names = ["Line1.Mode", "LINE1.MODE", "%IX1.2", "%MW4", "%QD2", "Line2.Station2.Spare",
             "Line1.Station3.Grid", "Line2.Station2.Display.Text"]
    for label, arguments, keywords in (("all", ["--all"], {"all": True}),
                                       ("named", names, {})):
        tool, python = tmp_path / (label + ".tool"), tmp_path / (label + ".python")
        done = subprocess.run([_program("KSYM_TOOL"), "--station", station, "record",
                               *arguments, "--out", str(tool), "--count", "2", "--interval",
                               "20"], capture_output=True, text=True, timeout=30)
        assert done.returncode == 0, done.stderr
        with ksymbol.Channel(station) as channel:
            channel.record(None if keywords else names, str(python), interval=0.02, count=2,
                           **keywords)
        assert without_times(python.read_text("utf-8")) == without_times(tool.read_text("utf-8"))


def test_writer_and_reader_round_trip_the_stations_bytes(tmp_path):
    # Names and texts are the station's bytes: not UTF-8, quotes, escapes, control bytes.
    odd = b"K\xe4se \"1\"\\\x01".decode("utf-8", errors="surrogateescape")
    variables = [ksymbol.RecordedVariable(odd, "INT", 3, 4, 2),
                 ksymbol.RecordedVariable("%IX1.2", "BOOL", 1, 18, 0)]
    header = ksymbol.Recording("2026-12-09T10:00:00.000Z", "tcp:h\xe9te:1", "\xc4.PRO",
                               2 ** 32 - 1, 0, (odd, "", "a\nb", "\x7f", "\xff"), "little", 0,
                               bytes(range(256)), variables)
    path = tmp_path / "round.rec"
    with open(path, "wb") as stream:
        recorder = _recording.Recorder(header, stream)
        recorder.begin()
        recorder.read(0, "t0", [b"\x01\xab", None])
        recorder.read(5, "t1", [b"\x01\xab", b"\x01"])
        recorder.read(3, "t2", [b"\x01\xab", b"\x01"])  # a clock that stepped back
        recorder.gap(7, "t3", "no answer from the controller")
        recorder.read(9, "t4", [b"\x00\x00", b"\x00"])
        recorder.end(8, "t5")
    text = path.read_bytes()
    assert b'"K\xc3\xa4se \\"1\\"\\\\\\u0001"' in text and b'"01AB"' in text
    back = ksymbol.read_recording(str(path))
    assert (back.station, back.project_name, back.texts, back.sdb, back.variables) == (
        header.station, header.project_name, header.texts, header.sdb, variables)
    R = ksymbol.Record
    assert back.records == [
        R("snapshot", 0, "t0", {odd: b"\x01\xab", "%IX1.2": None}, None, None),
        R("changes", 5, "t1", {"%IX1.2": b"\x01"}, None, None),
        R("changes", 5, "t2", {}, None, None),
        R("gap", 7, "t3", None, "no answer from the controller", None),
        R("snapshot", 9, "t4", {odd: b"\x00\x00", "%IX1.2": b"\x00"}, None, None),
        R("end", 9, "t5", None, None, {"records": 5, "changes": 1, "gaps": 1})]
    assert recorder.summary() == (5, 2, 1, len(text), 1)


def _lines(recording):
    return [json.dumps(line, separators=(",", ":")).encode() + b"\n" for line in recording]


def test_reader_refuses_what_the_replay_refuses(tmp_path):
    with ksymbol.Channel("sim"):
        sdb = sample_sdb()
    header = json.loads(_recording.header_line(ksymbol.Recording(
        "2026-12-09T10:00:00.000Z", "sim", "SAMPLE.PRO", 0x2026120B, 7, SAMPLE_TEXTS,
        "little", 1024, sdb, [ksymbol.RecordedVariable("Line1.Mode", "BYTE", 3, 0, 1),
                              ksymbol.RecordedVariable("%IX1.2", "BOOL", 1, 18, 0)])))
    every = {"Line1.Mode": "01", "%IX1.2": "01"}
    base = [header, {"t": 0, "time": "", "snapshot": every},
            {"t": 100, "time": "", "changes": {"Line1.Mode": "02"}},
            {"t": 200, "time": "", "gap": "no answer from the controller"},
            {"t": 300, "time": "", "snapshot": every},
            {"t": 300, "time": "", "end": {"records": 4, "changes": 1, "gaps": 1}}]

    def changed(number, **fields):
        lines = json.loads(json.dumps(base))
        lines[number - 1].update(fields)
        return b"".join(_lines(lines))

    whole = b"".join(_lines(base))
    cases = [
        (b"", "line 1: the end record is missing"),
        (whole.replace(b'"t":0,', b'"t":0,,', 1), "line 2: not a JSON object"),
        (whole + b"[1]\n", "line 7: not a JSON object"),
        (changed(1, recording="other"), "line 1: not a ksym recording"),
        (changed(1, version=2), "line 1: a recording of version 2; this program reads version 1"),
        (changed(1, blockSize=-1), 'line 1: "blockSize" is not an unsigned number'),
        (changed(1, sdb="AB="), 'line 1: "sdb" is not base64'),
        (changed(1, variables=header["variables"] * 2),
         "line 1: the variable 'Line1.Mode' is recorded twice"),
        (changed(1, station="\u0100"), 'line 1: "station" holds a character beyond U+00FF'),
        (b"".join(_lines(base[:-1])), "line 6: the end record is missing"),
        (whole[:-1], "line 6: the last line has no line feed"),
        (changed(4, t=50), "line 4: the time 50 ms comes before the record before it (100 ms)"),
        (changed(2, changes=every, snapshot=None), "line 2: a record is one of snapshot"),
        (whole.replace(b'"snapshot"', b'"changes"', 1), "line 2: changes without a snapshot"),
        (whole.replace(b'"snapshot"', b'"changes"', 2).replace(b'"changes"', b'"snapshot"', 1),
         "line 5: changes without a snapshot"),
        (changed(2, snapshot={"Line1.Mode": "01"}),
         "line 2: the snapshot lacks 1 of the recorded variables"),
        (changed(3, changes={"Line1.Nothing": "01"}),
         "line 3: 'Line1.Nothing' is not a recorded variable"),
        (changed(3, changes={"Line1.Mode": "0102"}),
         "line 3: the value of 'Line1.Mode' has 2 bytes, its variable 1"),
        (changed(3, changes={"%IX1.2": "0100"}),
         "line 3: the value of '%IX1.2' has 2 bytes, its variable 1"),
        (changed(3, changes={"Line1.Mode": "0G"}),
         "line 3: the value of 'Line1.Mode' is not hexadecimal"),
        (whole + _lines(base[2:3])[0], "line 7: a line after the end record"),
    ]
    replay = have_plcsim()
    path = tmp_path / "case.rec"
    path.write_bytes(whole)
    if replay:
        Station("--replay", str(path)).stop()  # the unchanged recording serves
    assert [r.kind for r in ksymbol.read_recording(str(path)).records] == [
        "snapshot", "changes", "gap", "snapshot", "end"]
    for data, said in cases:
        path.write_bytes(data)
        with pytest.raises(ValueError) as caught:
            ksymbol.read_recording(str(path))
        assert str(caught.value).startswith(said), (said, caught.value)
        if replay:
            code, stderr = replay_refusal(path)
            assert code == 2 and "%s: %s" % (path, caught.value) in stderr, (said, stderr)


def test_a_break_is_a_gap_and_the_channel_comes_back(plcsim, tmp_path):
    station = plcsim("--clock", "manual")
    names = ["Line1.Mode", "Line1.Station2.Motor3.Speed"]
    again = []

    def bounce():
        time.sleep(0.4)
        station.stop()
        time.sleep(0.6)
        again.append(plcsim("--clock", "manual", "--values", "pattern",
                            listen=station.address[len("tcp:"):]))

    mended, lost = tmp_path / "mended.rec", tmp_path / "lost.rec"
    bouncer = threading.Thread(target=bounce)
    with ksymbol.Channel(station.address, timeout=2.0) as channel:
        bouncer.start()
        try:
            summary = channel.record(names, str(mended), interval=0.05, count=30, duration=15)
        finally:
            bouncer.join(10)
        kinds = [r.kind for r in ksymbol.read_recording(str(mended)).records]
        assert summary.gaps == 1 and summary.records == 31
        gap = kinds.index("gap")
        assert kinds[gap + 1] == "snapshot" and kinds[-1] == "end" and gap > 1
        assert set(kinds[1:gap] + kinds[gap + 2:-1]) == {"changes"}
        # Gone for good: the duration ends the recording, with its end, and the break says so.
        threading.Timer(0.3, again[0].stop).start()
        with pytest.raises(ConnectionError):
            channel.record(names, str(lost), interval=0.05, duration=1.5)
    records = ksymbol.read_recording(str(lost)).records
    assert [r.kind for r in records[-2:]] == ["gap", "end"] and records[0].kind == "snapshot"
    Station("--replay", str(mended)).stop()  # the replay takes a recording with a gap


def test_an_interrupted_recording_still_ends(tmp_path):
    path = tmp_path / "stopped.rec"
    with ksymbol.Channel() as channel:
        threading.Timer(0.3, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            channel.record(["Line1.Mode"], str(path), interval=0.05, duration=10)
        with pytest.raises(ValueError, match="names or all=True"):
            channel.record(["Line1.Mode"], str(path), all=True)
        with pytest.raises(ValueError, match="named twice"):
            channel.record(["Line1.Mode", "Line1.Mode"], str(path))
        with pytest.raises(ksymbol.KSymError, match="No.Such"):
            channel.record(["No.Such"], str(tmp_path / "never.rec"))
    records = ksymbol.read_recording(str(path)).records
    assert records[-1].kind == "end" and records[-1].counts["records"] == len(records) - 1 > 2
    assert not (tmp_path / "never.rec").exists()


def test_symbol_walk_refuses_damaged_files_without_failing_otherwise():
    with ksymbol.Channel("sim"):
        data = sample_sdb()
    project_id, symbols = _sdb.read_symbols(data)
    assert project_id == 0x2026120B and len(symbols) == 40
    for length in range(len(data)):
        with pytest.raises(ValueError):
            _sdb.read_symbols(data[:length])
    rng = random.Random(7)
    for _ in range(3000):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(len(damaged))] = rng.choice((0, 0xFF, rng.randrange(256)))
        try:
            _sdb.read_symbols(bytes(damaged))
        except ValueError:
            pass
