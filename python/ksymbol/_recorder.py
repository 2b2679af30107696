"""Channel.record: the values of variables read every interval into a recording that
``plcsim --replay`` and the simulator's ``sim:replay=FILE`` serve again, the way
``ksym record`` makes one: the same header, the same records, through breaks of the
connection (a gap, then the channel opened afresh and a snapshot again).

The header needs what the library keeps but does not hand out: the symbol file it loaded,
read from its local symbol folder through the platform's registry and files (so that the
folder is the library's on every platform, KSYM_ROOT's on Linux), and each symbol's element
size, from the file itself, to give every value in the controller's byte order."""

import ctypes
import datetime
import sys
import time

from . import _native as N
from . import _sdb
from ._errors import KSymError
from ._mending import broke, mend
from ._recording import Recorder, Recording, RecordedVariable, element_sizes, reverse_elements
from ._values import _upper, direct_place

# Where the library keeps the symbol files: the registry value "Files" of its configuration,
# else the Windows directory and "\Korvan Files"; the uploaded ones in "\Upload".
CONFIG_KEY = b"Software\\Quorvane\\Korvan Server\\Config"
FILES_VALUE = b"Files"
DEFAULT_FILES_FOLDER = b"\\Korvan Files"
UPLOAD_FOLDER = b"\\Upload"
_FOLDER_CAPACITY = 260
# The largest symbol file read (the library's own upload has no smaller bound).
MAX_SYMBOL_FILE_BYTES = 256 * 1024 * 1024

# The interval's bounds, as the tool's (seconds).
MIN_INTERVAL = 0.01
MAX_INTERVAL = 86400.0

NO_ANSWER = "no answer from the controller"
EXCHANGE_FAILED = "the exchange with the station failed"


def iso_now():
    """Now, ISO 8601 UTC with milliseconds."""
    now = datetime.datetime.now(datetime.timezone.utc)
    return now.strftime("%Y-%m-%dT%H:%M:%S") + ".%03dZ" % (now.microsecond // 1000)


def symbol_file_name(project_name):
    """The local file name for the station's project name: its last path component, the
    last "." onward replaced by ".sdb" (a name from the station cannot lead out of the
    folder)."""
    for separator in (b"\\", b"/", b":"):
        project_name = project_name.rsplit(separator, 1)[-1]
    dot = project_name.rfind(b".")
    return (project_name[:dot] if dot >= 0 else project_name) + b".sdb"


def _files_folder(n):
    """The folder "Files" names (read only: after the library's load it is a folder or
    absent), or the default."""
    key = ctypes.c_void_p()
    if n.RegOpenKeyExA(N.HKEY_LOCAL_MACHINE, CONFIG_KEY, 0, N.KEY_READ,
                       ctypes.byref(key)) == N.ERROR_SUCCESS:
        text = ctypes.create_string_buffer(_FOLDER_CAPACITY + 1)
        size = ctypes.c_uint32(_FOLDER_CAPACITY)
        kind = ctypes.c_uint32(0)
        read = n.RegQueryValueExA(key, FILES_VALUE, None, ctypes.byref(kind), text,
                                  ctypes.byref(size))
        n.RegCloseKey(key)
        if read == N.ERROR_SUCCESS and kind.value == N.REG_SZ and \
                size.value <= _FOLDER_CAPACITY and text.raw[0] != 0:
            return text.raw[:size.value].split(b"\0", 1)[0]
    windows = ctypes.create_string_buffer(_FOLDER_CAPACITY)
    length = n.GetWindowsDirectoryA(windows, _FOLDER_CAPACITY)
    return windows.raw[:length if length < _FOLDER_CAPACITY else 0] + DEFAULT_FILES_FOLDER


def _read_whole_file(n, path):
    """The bytes of the file at the (Windows-form) path, or None when it cannot be read."""
    handle = n.CreateFileA(path, N.GENERIC_READ, N.FILE_SHARE_READ, None, N.OPEN_EXISTING,
                           N.FILE_ATTRIBUTE_NORMAL, None)
    if handle is None or handle == N.INVALID_HANDLE_VALUE:
        return None
    try:
        high = ctypes.c_uint32(0)
        size = n.GetFileSize(handle, ctypes.byref(high))
        if size == 0xFFFFFFFF or high.value != 0 or size > MAX_SYMBOL_FILE_BYTES:
            return None
        if size == 0:
            return b""
        buffer = ctypes.create_string_buffer(size)
        read = ctypes.c_uint32(0)
        if not n.ReadFile(handle, buffer, size, ctypes.byref(read), None) or read.value != size:
            return None
        return buffer.raw[:size]
    finally:
        n.CloseHandle(handle)


def project_name(channel):
    """The station's name for its project, as the client reports it (bytes)."""
    buffer = ctypes.create_string_buffer(_FOLDER_CAPACITY)
    with channel._lock:
        number = channel._channel()
        if channel._native.KClientGetProjectName(number, buffer, _FOLDER_CAPACITY) == 0:
            return b""
    return buffer.value


def loaded_symbol_file(channel, name):
    """The bytes of the symbol file the library loaded for the project `name` and its
    symbols; KSymError when it cannot be read or is not the loaded one."""
    n = channel._native
    path = _files_folder(n) + UPLOAD_FOLDER + b"\\" + symbol_file_name(name)
    shown = N.decode_name(path)
    data = _read_whole_file(n, path)
    if data is None:
        raise KSymError("cannot read the symbol file %s" % shown)
    try:
        project_id, symbols = _sdb.read_symbols(data)
    except ValueError as error:
        raise KSymError("the symbol file %s is not the one the library loaded: %s" % (
            shown, error)) from None
    if project_id != channel.project_id():
        raise KSymError("the symbol file %s is not the one the library loaded (project "
                        "0x%08X, the library's 0x%08X)" % (shown, project_id,
                                                            channel.project_id()))
    return data, symbols


def _recorded_variable(name, type_name, symbols):
    """What the recording says of `name`, as the library sees it: a direct address is its
    own place; a symbol name is the first symbol of the file with that name (letters in any
    case). None for a name that is neither."""
    direct = direct_place(name)
    if direct is not None:
        return RecordedVariable(name, type_name, *direct)
    folded = N.encode_name(name).upper()
    for symbol in symbols:
        if symbol.name and symbol.name.upper() == folded:
            return RecordedVariable(name, type_name, symbol.area, symbol.offset, symbol.size)
    return None


def _header(channel, values):
    """The recording's header for the list `values` of the channel, and each variable's
    unit of conversion to the controller's order (0: none)."""
    info = channel.info()
    name = project_name(channel)
    sdb, symbols = loaded_symbol_file(channel, name)
    n = channel._native
    with channel._lock:
        number = channel._channel()
        swapped = n.KClientGetDWord(number, N.KCLIENT_DWORD_SWAP) != 0
        block_size = n.KClientGetDWord(number, N.KCLIENT_DWORD_BLOCK_SIZE)
    big = swapped != (sys.byteorder == "big")
    variables = []
    for variable in values._variables:
        recorded = _recorded_variable(variable.name, variable.type, symbols)
        if recorded is None:
            raise KSymError("unknown variable %r: not a symbol of the loaded symbol file" % (
                variable.name,), N.KSYM_ERR_NO_SYMBOLS, None, variable.name)
        variables.append(recorded)
    units = element_sizes(symbols, values.names) if swapped else [0] * len(variables)
    header = Recording(iso_now(), channel.station if channel.station is not None else "sim",
                       N.decode_name(name), info.project_id, info.number,
                       (info.project, info.version, info.description, info.author,
                        info.date),
                       "big" if big else "little", block_size, sdb, variables)
    return header, units


def _all_names(channel, prefix):
    """The names of every symbol beginning with `prefix`; of names equal but for the case of
    their letters only the first, which is the one a name reaches."""
    names, seen = [], set()
    for symbol in channel.symbols(prefix or ""):
        folded = _upper(symbol.name)
        if symbol.name and folded not in seen:
            seen.add(folded)
            names.append(symbol.name)
    return names


def _check(names, every, prefix, interval, count, duration):
    if every == bool(names):
        raise ValueError("record takes names or all=True, one of the two")
    if prefix and not every:
        raise ValueError("prefix goes with all=True")
    if not MIN_INTERVAL <= interval <= MAX_INTERVAL:
        raise ValueError("the interval is %g to %g seconds, not %r" % (
            MIN_INTERVAL, MAX_INTERVAL, interval))
    if count is not None and (not isinstance(count, int) or count < 1):
        raise ValueError("count is a number of reads, at least 1 (None: no end), not %r" % (
            count,))
    if duration is not None and not duration > 0:
        raise ValueError("duration is a number of seconds above 0 (None: no end), not %r" % (
            duration,))
    seen = set()
    for name in names:
        if name in seen:
            raise ValueError("%r is named twice: a recording names each variable once" % (
                name,))
        seen.add(name)


class _Clock:
    """Milliseconds since the first read (the replay begins with it), and the deadline."""

    def __init__(self, duration):
        self._start = None
        self._deadline = None if duration is None else time.monotonic() + duration

    def t(self):
        now = time.monotonic()
        if self._start is None:
            self._start = now
        return int((now - self._start) * 1000)

    def left(self, most):
        """Seconds left of the duration, at most `most`."""
        if self._deadline is None:
            return most
        return max(min(self._deadline - time.monotonic(), most), 0.0)

    def over(self):
        return self._deadline is not None and time.monotonic() >= self._deadline

    def pause(self, seconds):
        """Sleeps `seconds`, or what is left of the duration; False when it is over."""
        wait = self.left(seconds)
        if wait > 0:
            time.sleep(wait)
        return not self.over()


def _broke(error):
    """The gap's reason when `error` of a read is a break of the connection, else None."""
    if not broke(error):
        return None
    return NO_ANSWER if isinstance(error, TimeoutError) else EXCHANGE_FAILED


def _mend(channel, clock, project_id):
    """Opens the channel again after a break, attempt by attempt, until it is open (True)
    or the duration is over (False). KSymError when the station came back with another
    project: its values are not this recording's."""
    if not mend(channel, clock.pause):
        return False
    if channel.project_id() != project_id:
        raise KSymError("the station %r now holds another project (0x%08X, the "
                        "recording's 0x%08X); the recording ends" % (
                            channel.station, channel.project_id(), project_id))
    return True


def _run(channel, values, recorder, units, interval, count, clock):
    project_id = recorder.header.project_id
    reads = 0
    while (count is None or reads < count) and not clock.over():
        began = time.monotonic()
        t, stamp = clock.t(), iso_now()
        try:
            raw = values._read_bytes()
        except (KSymError, ConnectionError, TimeoutError) as error:
            reason = _broke(error)
            if reason is None:
                raise
            recorder.gap(clock.t(), iso_now(), reason)
            if not _mend(channel, clock, project_id):
                # The duration ended before the station came back: the break, as a
                # ConnectionError however the read noticed it (no answer, a failed exchange, a
                # telegram that could not be sent).
                if isinstance(error, ConnectionError):
                    raise
                raise ConnectionError("the connection to the station %r broke and it did not "
                                      "come back before the recording's end: %s" % (
                                          channel.station, error)) from error
            continue
        reads += 1
        recorder.read(t, stamp, [None if data is None else reverse_elements(data, unit)
                                 for data, unit in zip(raw, units)])
        if reads == count:
            break
        pause = interval - (time.monotonic() - began)
        if pause > 0 and not clock.pause(pause):
            break


def record(channel, names, path, interval, count, duration, every, prefix):
    if isinstance(names, (str, bytes)):
        raise TypeError("names is a list of names, not the text %r" % (names,))
    names = [] if names is None else list(names)
    interval = float(interval)
    _check(names, every, prefix, interval, count, duration)
    if every:
        names = _all_names(channel, prefix)
        if not names:
            raise ValueError("no symbol begins with %r" % (prefix or "",))
    with channel.var_list(names) as values:
        header, units = _header(channel, values)
        with open(path, "wb") as stream:
            recorder = Recorder(header, stream)
            recorder.begin()
            clock = _Clock(duration)
            try:
                _run(channel, values, recorder, units, interval, count, clock)
            except BaseException:
                # The end record also when the recording breaks off (Ctrl-C, an error);
                # should that fail too, the first error is the one to tell.
                try:
                    recorder.end(clock.t(), iso_now())
                except Exception:
                    pass
                raise
            recorder.end(clock.t(), iso_now())
    return recorder.summary()
