"""Recordings of what a station showed (docs/recording-format.md): one JSON object a line,
the header, then snapshots, changes, gaps and the end record. The writer makes the lines
``ksym record`` makes, byte for byte (the same keys in the same order, no spaces, values in
upper-case hexadecimal); the reader refuses, with "line N: reason", what the simulator's
replay refuses, with the same reasons.

Texts in a recording are the station's bytes, each byte the character of its number
(U+0000 to U+00FF). In Python they are the package's names: the bytes decoded as UTF-8,
with the bytes that are not UTF-8 kept as surrogates, so that a name read from a recording
is the name ``Channel.symbols()`` gives and ``Channel.read()`` takes.
"""

import base64
import collections
import json
import re
import sys
from typing import Any, Optional

from . import _native as N
from . import _sdb
from ._values import decode, direct_place, shape_of

VERSION = 1

RecordedVariable = collections.namedtuple("RecordedVariable", "name type area offset size")
RecordedVariable.__doc__ = """A recorded variable: its name and type name, the memory area
and offset of its value, and its size in bytes (0: a bit or a symbol of no bytes, whose
value is one byte)."""

Record = collections.namedtuple("Record", "kind t time values reason counts")
Record.__doc__ = """One record after the header. ``kind`` is "snapshot", "changes", "gap"
or "end"; ``t`` the milliseconds since the first read and ``time`` the same moment (ISO 8601
UTC). A snapshot's or changes' ``values`` is a dict name to the value's bytes in the
controller's order (None: not delivered), in the header's order; a gap's ``reason`` says why
the connection broke; the end's ``counts`` is a dict of "records", "changes" and "gaps"."""

RecordingSummary = collections.namedtuple("RecordingSummary",
                                          "records variables changes bytes gaps")
RecordingSummary.__doc__ = """What a recording came to: its records (snapshots, changes and
gaps), variables, changed values, bytes written (every line) and gaps."""

SNAPSHOT, CHANGES, GAP, END = "snapshot", "changes", "gap", "end"


def reverse_elements(data, element_size):
    """`data` with each element of `element_size` bytes reversed, as the library turns values
    between the host's and the controller's order; as it is when the size is 0 or 1 or does
    not divide the value's."""
    data = bytes(data)
    if element_size < 2 or len(data) % element_size:
        return data
    return b"".join(data[at:at + element_size][::-1] for at in range(0, len(data),
                                                                     element_size))


def element_sizes(symbols, names):
    """The unit of each name's byte-order conversion, as the library finds it: the element
    size of the first symbol of that name (letters in any case), 0 when there is none. A
    direct address takes it from a symbol of its name as well."""
    first = {}
    for symbol in symbols:
        if symbol.name:
            first.setdefault(symbol.name.upper(), symbol.element_size)
    return [first.get(N.encode_name(name).upper(), 0) for name in names]


class Recording:
    """A recording's header and records.

    ``started`` and ``station`` are texts; ``project_name`` is the station's name for its
    project (the local symbol file is named after it); ``project_id`` and ``project_number``
    its identification's numbers and ``texts`` its five texts (project, version,
    description, author, date). ``byte_order`` is "big" or "little", the controller's, in
    which every value is held; ``block_size`` the station's (0: none); ``sdb`` the bytes of
    the project's symbol file; ``variables`` the RecordedVariable list; ``records`` the
    Record list, the end record last."""

    def __init__(self, started, station, project_name, project_id, project_number, texts,
                 byte_order, block_size, sdb, variables, records=None):
        self.started = started
        self.station = station
        self.project_name = project_name
        self.project_id = project_id
        self.project_number = project_number
        self.texts = tuple(texts)
        self.byte_order = byte_order
        self.block_size = block_size
        self.sdb = bytes(sdb)
        self.variables = list(variables)
        self.records = list(records or [])
        self._units = None

    _FIELDS = ("started", "station", "project_name", "project_id", "project_number", "texts",
               "byte_order", "block_size", "sdb", "variables", "records")

    def __eq__(self, other):
        return isinstance(other, Recording) and all(
            getattr(self, field) == getattr(other, field) for field in self._FIELDS)

    def __repr__(self):
        return "<ksymbol.Recording of %d variables, %d records, from %r>" % (
            len(self.variables), len(self.records), self.station)

    def variable(self, name: str) -> "RecordedVariable":
        """The RecordedVariable of `name` (the exact name); KeyError when it is not one."""
        for variable in self.variables:
            if variable.name == name:
                return variable
        raise KeyError(name)

    def decode(self, name: str, data: Optional[bytes]) -> Any:
        """The value `data` (a recorded value of `name`: bytes in the controller's order)
        stands for, as Channel.read() gives it; None for None. The byte order is turned by
        the recorded symbol file's element sizes, as the library turns what it reads
        (ValueError when that file cannot be read, KeyError for a name not recorded)."""
        if data is None:
            return None
        variable = self.variable(name)
        if self._units is None:
            _, symbols = _sdb.read_symbols(self.sdb)
            self._units = dict(zip([v.name for v in self.variables],
                                   element_sizes(symbols, [v.name for v in self.variables])))
        if self.byte_order != sys.byteorder:
            data = reverse_elements(data, self._units[name])
        # A bit's value is its one byte, which a read gives as a BOOL.
        size = variable.size or (1 if direct_place(name) is not None else 0)
        shape = shape_of(variable.type, size)
        return decode(shape, bytes(data)[:shape.size])


# ---- texts: the station's bytes as characters U+0000 to U+00FF ----

def _text(name):
    """A package text (a name, the station's bytes) as the recording's text."""
    return N.encode_name(name).decode("latin-1")


def _untext(text):
    """The package text of a recording's text; None when it holds a character beyond
    U+00FF."""
    try:
        raw = text.encode("latin-1")
    except UnicodeEncodeError:
        return None
    return N.decode_name(raw)


def _line(value):
    """One line as the tool writes it: no spaces, non-ASCII characters as they are (UTF-8),
    the escapes of the JSON text, a line feed."""
    return (json.dumps(value, ensure_ascii=False, separators=(",", ":")) + "\n").encode("utf-8")


def header_line(recording):
    return _line({
        "recording": "ksym",
        "version": VERSION,
        "started": _text(recording.started),
        "station": _text(recording.station),
        "project": {"name": _text(recording.project_name),
                    "identifier": recording.project_id,
                    "number": recording.project_number,
                    "texts": [_text(text) for text in recording.texts]},
        "byteOrder": recording.byte_order,
        "blockSize": recording.block_size,
        "sdb": base64.b64encode(recording.sdb).decode("ascii"),
        "variables": [{"name": _text(v.name), "type": _text(v.type), "area": v.area,
                       "offset": v.offset, "size": v.size} for v in recording.variables],
    })


def record_line(record):
    line = {"t": record.t, "time": _text(record.time)}
    if record.kind in (SNAPSHOT, CHANGES):
        line[record.kind] = {_text(name): None if data is None else data.hex().upper()
                             for name, data in record.values.items()}
    elif record.kind == GAP:
        line["gap"] = _text(record.reason)
    else:
        line["end"] = {key: record.counts[key] for key in ("records", "changes", "gaps")}
    return _line(line)


class Recorder:
    """Writes a recording while it is made: the header, then a snapshot, then per read only
    what changed since the record before, a gap where the connection broke (the next read
    is a snapshot again), and the end record with the counts. Each line goes out, flushed,
    when it is made, so that a recorder that dies leaves what it saw."""

    def __init__(self, header, stream):
        self.header = header
        self._stream = stream
        self._names = [v.name for v in header.variables]
        self._last = None  # None before the first read and after a gap
        self._last_t = 0
        self.records = 0
        self.changes = 0
        self.gaps = 0
        self.bytes = 0

    def _write(self, line):
        self._stream.write(line)
        self._stream.flush()
        self.bytes += len(line)

    def _put(self, record):
        self._last_t = record.t
        self.records += 1
        self._write(record_line(record))

    def begin(self):
        self._write(header_line(self.header))

    def read(self, t, time, values):
        """One read: `values` in the header's order, each bytes in the controller's order or
        None. `t` never goes below the record before (a clock that steps back must not
        break the order)."""
        values = [None if v is None else bytes(v) for v in values]
        snapshot = self._last is None
        changed = {name: value for i, (name, value) in enumerate(zip(self._names, values))
                   if snapshot or value != self._last[i]}
        if not snapshot:
            self.changes += len(changed)
        self._last = values
        self._put(Record(SNAPSHOT if snapshot else CHANGES, max(t, self._last_t), time,
                         changed, None, None))

    def gap(self, t, time, reason):
        self._last = None
        self.gaps += 1
        self._put(Record(GAP, max(t, self._last_t), time, None, reason, None))

    def end(self, t, time):
        counts = {"records": self.records, "changes": self.changes, "gaps": self.gaps}
        self._write(record_line(Record(END, max(t, self._last_t), time, None, None, counts)))

    def summary(self):
        return RecordingSummary(self.records, len(self._names), self.changes, self.bytes,
                                self.gaps)


# ---- reading ----

class _Refused(Exception):
    """A line's refusal; the reader adds the line number."""


_UINT64_MAX = 2 ** 64 - 1
_UINT32_MAX = 2 ** 32 - 1
_HEX = re.compile(r"(?:[0-9A-Fa-f]{2})*\Z")
_BASE64 = re.compile(r"(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?\Z")
_BOM = b"\xef\xbb\xbf"


def _refuse_constant(name):
    raise ValueError("%s is no JSON number" % name)


def _integer(text):
    # A number with a sign is no unsigned number, "-0" included: it stays apart as a float.
    return float(text) if text.startswith("-") else int(text)


def _parse_line(raw):
    """The JSON value of a line's bytes; None when it is no JSON text."""
    if raw.startswith(_BOM):
        raw = raw[len(_BOM):]
    try:
        return json.loads(raw.decode("utf-8"), parse_constant=_refuse_constant,
                          parse_int=_integer)
    except (ValueError, RecursionError):  # RecursionError: nested too deep to be a record
        return None


def _member(obj, key, kind, check):
    if key not in obj:
        raise _Refused('"%s" is missing' % key)
    value = obj[key]
    if not check(value):
        raise _Refused('"%s" is not %s' % (key, kind))
    return value


def _unsigned(obj, key, limit):
    value = _member(obj, key, "an unsigned number",
                    lambda v: type(v) is int and 0 <= v <= _UINT64_MAX)
    if value > limit:
        raise _Refused('"%s" is larger than %d' % (key, limit))
    return value


def _text_member(obj, key):
    text = _untext(_member(obj, key, "a text", lambda v: isinstance(v, str)))
    if text is None:
        raise _Refused('"%s" holds a character beyond U+00FF' % key)
    return text


def _is_object(value):
    return isinstance(value, dict)


def _is_list(value):
    return isinstance(value, list)


def _variable(entry):
    if not isinstance(entry, dict):
        raise _Refused("a variable is not an object")
    return RecordedVariable(_text_member(entry, "name"), _text_member(entry, "type"),
                            _unsigned(entry, "area", 0xFFFF),
                            _unsigned(entry, "offset", _UINT32_MAX),
                            _unsigned(entry, "size", _UINT32_MAX))


def _header(line):
    if _text_member(line, "recording") != "ksym":
        raise _Refused("not a ksym recording")
    version = _unsigned(line, "version", _UINT32_MAX)
    if version != VERSION:
        raise _Refused("a recording of version %d; this program reads version %d" % (
            version, VERSION))
    started = _text_member(line, "started")
    station = _text_member(line, "station")
    project = _member(line, "project", "an object", _is_object)
    name = _text_member(project, "name")
    identifier = _unsigned(project, "identifier", _UINT32_MAX)
    number = _unsigned(project, "number", _UINT32_MAX)
    texts = _member(project, "texts", "a list", _is_list)
    order = _text_member(line, "byteOrder")
    block = _unsigned(line, "blockSize", _UINT32_MAX)
    sdb = _text_member(line, "sdb")
    variables = _member(line, "variables", "a list", _is_list)
    if len(texts) != 5:
        raise _Refused("the project identification has not five texts")
    texts = [_untext(text) if isinstance(text, str) else None for text in texts]
    if None in texts:
        raise _Refused("a text of the project identification is no text of bytes")
    if order not in ("big", "little"):
        raise _Refused('"byteOrder" is neither "big" nor "little"')
    if not _BASE64.match(sdb):
        raise _Refused('"sdb" is not base64')
    recorded = []
    seen = set()
    for entry in variables:
        variable = _variable(entry)
        if variable.name in seen:
            raise _Refused("the variable '%s' is recorded twice" % variable.name)
        seen.add(variable.name)
        recorded.append(variable)
    return Recording(started, station, name, identifier, number, texts, order, block,
                     base64.b64decode(sdb), recorded)


class _RecordReader:
    """What one record's rules need from the records before it."""

    def __init__(self, recording):
        self.recording = recording
        self.index = {v.name: i for i, v in enumerate(recording.variables)}
        self.last_t = 0
        self.known = False  # a snapshot came, and no gap after it
        self.ended = False

    def read(self, line):
        if self.ended:
            raise _Refused("a line after the end record")
        t = _unsigned(line, "t", _UINT64_MAX)
        time = _text_member(line, "time")
        if t < self.last_t:
            raise _Refused("the time %d ms comes before the record before it (%d ms)" % (
                t, self.last_t))
        self.last_t = t
        kinds = [kind for kind in (SNAPSHOT, CHANGES, GAP, END) if kind in line]
        if len(kinds) != 1:
            raise _Refused("a record is one of snapshot, changes, gap and end")
        kind = kinds[0]
        if kind == END:
            self.ended = True
            end = _member(line, "end", "an object", _is_object)
            counts = {key: _unsigned(end, key, _UINT64_MAX)
                      for key in ("records", "changes", "gaps")}
            return Record(END, t, time, None, None, counts)
        if kind == GAP:
            self.known = False
            return Record(GAP, t, time, None, _text_member(line, "gap"), None)
        if kind == CHANGES and not self.known:
            raise _Refused("changes without a snapshot before them (the first record, and "
                           "the first after a gap, is a snapshot)")
        self.known = True
        return Record(kind, t, time, self._values(kind, line[kind]), None, None)

    def _values(self, kind, values):
        if not isinstance(values, dict):
            raise _Refused("the values are not an object")
        found = {}
        for key, value in values.items():
            name = _untext(key)
            if name is None:
                raise _Refused("a name holds a character beyond U+00FF")
            if name not in self.index:
                raise _Refused("'%s' is not a recorded variable" % name)
            data = None
            if value is not None:
                if not isinstance(value, str) or not _HEX.match(value):
                    raise _Refused("the value of '%s' is not hexadecimal" % name)
                data = bytes.fromhex(value)
                expected = self.recording.variables[self.index[name]].size or 1
                if len(data) != expected:
                    raise _Refused("the value of '%s' has %d bytes, its variable %d" % (
                        name, len(data), expected))
            found[self.index[name]] = (name, data)
        if kind == SNAPSHOT and len(found) != len(self.index):
            raise _Refused("the snapshot lacks %d of the recorded variables" % (
                len(self.index) - len(found)))
        return dict(found[i] for i in sorted(found))


def parse_recording(data):
    """The Recording of a recording's bytes; ValueError("line N: reason") when they are not
    one."""
    data = bytes(data)
    records = None
    recording = None
    number = 0
    at = 0
    while at < len(data):
        number += 1
        end = data.find(b"\n", at)
        if end < 0:
            raise ValueError("line %d: the last line has no line feed (the recording was cut "
                             "short)" % number)
        line = _parse_line(data[at:end])
        at = end + 1
        try:
            if not isinstance(line, dict):
                raise _Refused("not a JSON object")
            if number == 1:
                recording = _header(line)
                records = _RecordReader(recording)
            else:
                recording.records.append(records.read(line))
        except _Refused as refusal:
            raise ValueError("line %d: %s" % (number, refusal)) from None
    if records is None or not records.ended:
        raise ValueError("line %d: the end record is missing (the recording was cut short)" % (
            number + 1))
    return recording


def read_recording(path: str) -> Recording:
    """The Recording in the file `path` (as ``ksym record`` and ``Channel.record`` write
    them); ValueError("line N: reason") for a file that is not a whole recording, the
    reasons those of the simulator's replay."""
    with open(path, "rb") as stream:
        return parse_recording(stream.read())
