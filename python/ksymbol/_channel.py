"""Channels to a controller, variable lists, watches and the controller services."""

import copy
import ctypes
import datetime
import queue
import threading
import time
import weakref
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional,
                    Union)

from . import _native as N
from ._channel_state import close_lists_and_channel, close_native
from ._errors import KSymError, OpenError, error_text
from ._mending import broke, mend, pause_until, sleep
from ._message_thread import NOTIFY_MSG, MessageThread
from ._recorder import record as _record
from ._records import Change, ProjectInfo, Symbol
from ._recording import RecordingSummary
from ._subscription import MAX_INTERVAL, MIN_INTERVAL, Subscription, SubscriptionHub
from ._values import direct_address, encode, unchanged, _upper
from ._var_list import Variable, VarList

# After a time-out, the late answer of the abandoned request is waited for this long (at most
# the channel's time-out) before the next request goes out; when it has not come by then,
# the channel is opened afresh, so that it can never be taken for a later request's answer.
STRAY_GRACE = 1.0


class Channel:
    """A channel to a controller, with the project's symbols loaded.

    ``station`` is a station address: None (the embedded simulator), ``"sim"``,
    ``"sim:OPTIONS"`` (e.g. ``"sim:order=big"``) or ``"tcp:HOST:PORT"``. ``timeout`` is how
    long, in seconds, each request waits for the controller's answer.

    Threads: a channel may be used from one thread at a time, from any thread, also another
    than the one that opened it. Calls from several threads at once are serialised (each
    waits for the other's request to finish). The notifications of the library go to a
    message window that a thread of the channel owns; ``close()`` ends it.

    Opening blocks while the symbols load (from the local symbol file, or uploaded from the
    station the first time). Use it as a context manager, or call ``close()``."""

    def __init__(self, station: Optional[str] = None, *, timeout: float = 5.0) -> None:
        self._native = n = N.native()
        self.station = station
        self.timeout = float(timeout)
        self._lock = threading.RLock()
        self._stray = False
        self._broken = False
        thread = MessageThread(n)
        window = thread.start_window()
        if not window:
            raise KSymError("CreateWindowExA: no message window could be made", 0,
                            "CreateWindowExA")
        self._messages = thread.messages
        self._window = window
        # Lists whose VarList went without close() (their finalisers put them here).
        self._state = {"channel": -1, "lists": set(), "dropped": [], "thread": thread}
        self._finalizer = weakref.finalize(self, close_native, n, self._state, self._lock)
        # Counts the openings of the native channel: a list defined before the last one is
        # gone with the channel it was defined on.
        self._generation = 0
        self._hub = SubscriptionHub(self)
        try:
            self._open()
        except Exception:
            self._finalizer()
            raise

    def _address(self):
        return None if self.station is None else N.encode_name(self.station)

    def _open_failure(self, function):
        n = self._native
        code = n.KClientGetLastError()
        text = N.decode_name(n.KClientGetErrorText() or b"")
        return OpenError("%s(%r): %s" % (
            function, self.station, (text + " (error %d)" % code) if text else error_text(code)),
            code, function)

    def _open(self):
        """Opens the native channel and loads its symbols."""
        channel = self._native.KSymOpenChannel(self._address(), 0, self._window, NOTIFY_MSG)
        if channel == -1:
            raise self._open_failure("KSymOpenChannel")
        self._state["channel"] = channel
        self._load_symbols()

    def _load_symbols(self):
        """Loads the symbols of the open native channel (from the local symbol file, or
        uploaded when the station's project differs); the lists defined before are gone with
        the channel's last opening."""
        n = self._native
        station = self.station
        channel = self._state["channel"]
        self._generation += 1
        symbols = ctypes.POINTER(ctypes.POINTER(N.SymbolEntry))()
        count = ctypes.c_int32(0)
        if n.KSymLoadSymbols(channel, None, ctypes.byref(symbols), ctypes.byref(count)) == 0:
            code = n.KClientGetLastError()
            raise KSymError("KSymLoadSymbols(%r): the symbol file could not be obtained from "
                            "the station or read: %s" % (station, error_text(code)), code,
                            "KSymLoadSymbols")
        self._symbols = []
        self._by_name = {}
        for i in range(count.value):
            entry = symbols[i].contents
            symbol = Symbol(N.decode_name(entry.name), N.decode_name(entry.typeName),
                            entry.area, entry.offset, entry.size)
            self._symbols.append(symbol)
            # Of names that differ only by case, the first in the file is the one reached.
            self._by_name.setdefault(_upper(symbol.name), symbol)

    def _renew(self):
        """Opens the native channel afresh, after a time-out whose late answer did not come
        in the grace: the old channel's replies, however late, go with it. The lists of the
        old channel are deleted; their VarList objects define theirs anew."""
        close_lists_and_channel(self._native, self._state)
        while self._take(0) is not None:
            pass  # the old channel's notifications; a closed channel posts no more
        try:
            self._open()
        except (OpenError, KSymError) as error:
            self._broken = True
            raise ConnectionError("the channel to %r could not be opened afresh after a "
                                  "time-out: %s" % (self.station, error)) from error

    def _reopen(self):
        """Opens the native channel again after its connection broke: first in the re-open
        form, which moves the open channel to a new connection, else afresh. The symbols are
        loaded again; the old lists go, their VarList objects define theirs anew at their
        next read. OpenError or KSymError when the station cannot be reached, or cannot give
        its symbols, yet; the channel then stays broken and may be tried again."""
        n = self._native
        state = self._state
        with self._lock:
            if not self._finalizer.alive:
                raise ValueError("the channel is closed")
            self._broken = True
            self._stray = False
            old = state["channel"]
            moved = -1 if old == -1 else n.KSymOpenChannelEx(
                self._address(), N.KSYM_REOPEN_BASE + old, self._window, NOTIFY_MSG, 0)
            if moved != -1:
                state["channel"] = moved
                for handle in state["lists"]:
                    n.KSymDeleteVarList(moved, handle)
                state["lists"].clear()
                state["dropped"].clear()
            else:
                close_lists_and_channel(n, state)
            while self._take(0) is not None:
                pass  # the old connection's notifications
            if moved != -1:
                self._load_symbols()
            else:
                self._open()
            self._broken = False

    def reconnect(self, timeout: Optional[float] = None) -> None:
        """Opens the channel again after its connection broke, as ``watch`` does with
        ``reconnect=True``: at once, then attempt after attempt with a delay that grows from
        0.25 s to 8 s, until the station answers and gives its symbols (uploaded again when
        its project changed). Lists of the channel (VarList objects included) are defined
        anew at their next read. With `timeout` (seconds), ConnectionError when the station
        is not back by then. Blocks the calling thread."""
        pause = pause_until(None if timeout is None else time.monotonic() + timeout)
        try:
            self._reopen()
            return
        except KSymError:
            pass
        if not mend(self, pause):
            raise ConnectionError("the station %r did not come back within %g s" % (
                self.station, timeout))

    # ---- life ----

    @property
    def closed(self) -> bool:
        return self._state["channel"] == -1

    @property
    def number(self) -> int:
        """The library's channel number (-1 once closed)."""
        return self._state["channel"]

    def close(self) -> None:
        """Ends the channel's subscriptions, deletes its lists, closes the channel and ends
        its message thread."""
        # Before the lock: the subscriptions' thread may be inside a read, which holds it.
        self._hub.close_all()
        with self._lock:
            self._finalizer()

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self):
        return "<ksymbol.Channel %r %s>" % (
            self.station, "closed" if self.closed else "number %d" % self.number)

    def _channel(self):
        """The native channel number for a call; the caller holds the lock. Deletes the lists
        of VarList objects that went without close() first."""
        # Broken first: a channel whose opening afresh failed has no native channel, but
        # it was not closed.
        if self._broken and self._finalizer.alive:
            raise ConnectionError("the connection to the station %r broke; open a new "
                                  "channel" % (self.station,))
        if self.closed:
            raise ValueError("the channel is closed")
        state = self._state
        while state["dropped"]:
            handle = state["dropped"].pop()
            if handle in state["lists"]:
                state["lists"].discard(handle)
                self._native.KSymDeleteVarList(state["channel"], handle)
        return state["channel"]

    # ---- symbols ----

    def symbols(self, prefix: str = "") -> List[Symbol]:
        """The symbols whose names begin with `prefix` (letters of any case), in file order."""
        folded = _upper(prefix or "")
        return [s for s in self._symbols if _upper(s.name).startswith(folded)]

    def _resolve(self, name):
        """The variable `name` stands for, as the library resolves it: a direct address first,
        else the first symbol of that name; None for an unknown name."""
        if not isinstance(name, str):
            raise TypeError("a variable name is a str, not %r" % (name,))
        direct = direct_address(name)
        if direct is not None:
            return Variable(name, direct[0], direct[1])
        symbol = self._by_name.get(_upper(name))
        if symbol is None:
            return None
        return Variable(name, symbol.type, symbol.size)

    def _refused(self, function, names):
        """The KSymError for a refused definition of a list of `names`: the first name the
        library refuses on its own, with the code it records for it."""
        n = self._native
        channel = self._state["channel"]
        whole = n.KClientGetLastError()
        for name in names:
            array = (ctypes.c_char_p * 1)(N.encode_name(name))
            single = n.KSymDefineVarList(channel, array, 1)
            if single:
                n.KSymDeleteVarList(channel, single)
                continue
            code = n.KClientGetLastError()
            if code == N.KSYM_ERR_NO_SYMBOLS:
                return KSymError("%s: unknown variable %r (error %d)" % (function, name, code),
                                 code, function, name)
            return KSymError("%s: %r does not fit a telegram of the station: %s" % (
                function, name, error_text(code)), code, function, name)
        return KSymError("%s: the variable list was refused: %s" % (
            function, error_text(whole)), whole, function)

    def _variables(self, function, names):
        variables = []
        for name in names:
            variable = self._resolve(name)
            if variable is None:
                raise self._refused(function, [name])
            variables.append(variable)
        return variables

    # ---- waiting ----

    def _take(self, deadline):
        """The next notification, or None when the deadline passed."""
        left = deadline - time.monotonic()
        try:
            return self._messages.get(timeout=max(left, 0.0)) if left > 0 else \
                self._messages.get_nowait()
        except queue.Empty:
            return None

    def _prepare(self):
        """Before a request: drops notifications nobody waits for any more, and reports a
        connection that broke meanwhile. After a time-out it waits a little for the abandoned
        request's late answer (the library ends every request in one message); when that
        does not come, it opens the channel afresh: a request never goes out on a channel
        that may still carry another's answer."""
        self._channel()
        deadline = time.monotonic() + (min(STRAY_GRACE, self.timeout) if self._stray else 0)
        while True:
            note = self._take(deadline)
            if note is None:
                break
            if note[0] == N.COMM_FATALERROR:
                self._broken = True
                self._stray = False
                raise ConnectionError("the exchange with the station %r failed" %
                                      (self.station,))
            if self._stray:
                # The late answer came; anything after it is the queue's leftovers.
                self._stray = False
                deadline = time.monotonic()
        if self._stray:
            self._stray = False
            self._renew()
        return self._channel()

    def _await(self, function, what, complete=None):
        """Waits for the answer to the request just sent: COMM_MESSAGEREADY (with lParam
        `complete` when given; others are late answers of earlier requests). Returns its
        lParam. TimeoutError after the channel's time-out or on COMM_TIMEOUT, ConnectionError
        on COMM_FATALERROR."""
        deadline = time.monotonic() + self.timeout
        while True:
            note = self._take(deadline)
            if note is None or note[0] == N.COMM_TIMEOUT:
                self._stray = True
                raise TimeoutError("%s: no answer from the controller within %g s (%s)" % (
                    function, self.timeout, what))
            status, value = note
            if status == N.COMM_FATALERROR:
                self._broken = True
                raise ConnectionError("%s: the exchange with the controller failed (%s)" % (
                    function, what))
            if status == N.COMM_MESSAGEREADY and (complete is None or value == complete):
                return value


    # ---- reading ----

    def var_list(self, names: Iterable[str]) -> VarList:
        """A list of the variables `names` (symbols or direct addresses), defined once and
        read as often as needed with ``.read()``."""
        return VarList(self, list(names))

    def read(self, *names: str) -> Dict[str, Any]:
        """The current values of the variables, as a dict name to value (None for a value the
        controller did not deliver)."""
        with self.var_list(names) as values:
            return values.read()

    def watch(self, names: Iterable[str], interval: float = 1.0, changes_only: bool = False,
              count: Optional[int] = None, *, reconnect: bool = True,
              on_break: Optional[Callable[[BaseException], None]] = None,
              on_resume: Optional[Callable[[], None]] = None) -> Iterator[Change]:
        """An iterator of Change: the variables read every `interval` seconds (the next read
        begins one interval after the last one began), `count` reads or endlessly. With
        `changes_only`, the first read yields every value, later ones only those that
        changed.

        With `reconnect` (the default), a break of the connection is mended as ``ksym
        watch`` mends it (see ``reconnect()``), for as long as it takes: ``on_break(error)``
        is called when it breaks and ``on_resume()`` once the channel is open again, both on
        the thread that iterates. The watch then goes on where it was: with `changes_only`,
        a value that did not change across the break is not reported again. Without
        `reconnect`, the break raises ConnectionError (or TimeoutError) from the iterator."""
        names = list(names)
        reads = 0
        last = {}
        with self.var_list(names) as values:
            while count is None or reads < count:
                began = time.monotonic()
                try:
                    got = values.read()
                except (KSymError, ConnectionError, TimeoutError) as error:
                    if not reconnect or not broke(error):
                        raise
                    if on_break is not None:
                        on_break(error)
                    mend(self, sleep)
                    if on_resume is not None:
                        on_resume()
                    continue
                now = datetime.datetime.now(datetime.timezone.utc)
                reads += 1
                for name in names:
                    value = got[name]
                    if changes_only and reads > 1 and name in last and \
                            unchanged(last[name], value):
                        continue
                    # A copy is kept: what is handed out is the caller's to change.
                    last[name] = copy.deepcopy(value)
                    yield Change(now, name, value)
                if count is not None and reads >= count:
                    break
                pause = interval - (time.monotonic() - began)
                if pause > 0:
                    time.sleep(pause)

    def subscribe(self, names: Iterable[str], callback: Callable[[Change], None], *,
                  interval: float = 1.0,
                  deadband: Union[None, float, Mapping[str, float]] = None,
                  changes_only: bool = True,
                  on_error: Optional[Callable[[BaseException], None]] = None) -> Subscription:
        """Calls ``callback(change)`` with a Change for each value of the variables `names`
        that changed, read every `interval` seconds (0.01 to 86400) on a thread of the
        channel's own; the first read reports every value. Returns a Subscription, a context
        manager: ``close()`` ends it.

        `deadband` is an absolute amount a number must move by to be reported: one for every
        number, or a dict name to amount (names not in it: any change); bools, texts and
        arrays are reported on any change. With ``changes_only=False`` every value of every
        read is reported. ``on_error(error)`` is called when a read fails or a callback
        raises; a break of the connection is mended as ``watch`` mends it, and what did not
        change across it is not reported again.

        The subscriptions of a channel share one list and one read, at the shortest of their
        intervals. The callbacks run on the channel's subscription thread, not on the
        caller's: they must not wait for the thread that subscribed. Unknown names raise
        KSymError here, at once."""
        if isinstance(names, (str, bytes)) or not callable(callback):
            raise TypeError("subscribe takes a list of names and a callable")
        names = list(names)
        interval = float(interval)
        if not MIN_INTERVAL <= interval <= MAX_INTERVAL:
            raise ValueError("the interval is %g to %g seconds, not %g" % (
                MIN_INTERVAL, MAX_INTERVAL, interval))
        if deadband is not None and not isinstance(deadband, dict):
            deadband = float(deadband)
        with self._lock:
            self._channel()
            self._variables("KSymDefineVarList", names)
        return self._hub.add(Subscription(self._hub, names, callback, interval, deadband,
                                          changes_only, on_error))

    def record(self, names: Optional[Iterable[str]], path: str, interval: float = 1.0,
               count: Optional[int] = None, duration: Optional[float] = None, *,
               all: bool = False, prefix: Optional[str] = None) -> "RecordingSummary":
        """Records the variables `names` (or, with ``all=True``, every symbol, those
        beginning with `prefix` when given) into the file `path`, as ``ksym record`` does:
        a read every `interval` seconds (0.01 to 86400; the next read begins one interval
        after the last one began) until `count` reads or `duration` seconds (None: no end),
        or Ctrl-C. ``plcsim --replay`` and ``sim:replay=FILE`` serve the file again;
        ``ksymbol.read_recording`` reads it.

        The file holds the header (the project's identification and symbol file, the byte
        order, the variables), a snapshot of every value, then per read the values that
        changed, and at last the end record. Values are the controller's bytes, in its byte
        order. A read that fails as the connection breaks (ConnectionError, TimeoutError) is
        recorded as a gap; the channel is then opened afresh, again and again with a
        growing delay, and the next read is a snapshot. The end record is written however
        the recording ends: an exception, KeyboardInterrupt included, is raised after it;
        so is the break, as ConnectionError, when the duration ends before the station came
        back, and KSymError when it came back with another project. Of symbol names equal
        but for the case of their letters, ``all=True`` records only the first (the one the
        name reaches).

        Returns a RecordingSummary: records (snapshots, changes and gaps), variables,
        changes (changed values), bytes (of the file) and gaps."""
        return _record(self, names, path, interval, count, duration, all, prefix)

    # ---- writing ----

    def write(self, values: Mapping[str, Any]) -> None:
        """Writes the values of a dict name to value, converted by each variable's type. Every
        value is checked before anything is sent (ValueError when it does not fit); the
        values go in one telegram when the station's block size allows, else one by one.
        KSymError when the controller refuses."""
        items = list(values.items())
        with self._lock:
            variables = self._variables("KSymWriteVars", [name for name, _ in items])
            buffers = [encode(v.shape, value, v.name, v.type)
                       for v, (_, value) in zip(variables, items)]
            if not items:
                return
            try:
                self._write_once(variables, buffers)
            except _TooBig:
                for variable, data in zip(variables, buffers):
                    self._write_once([variable], [data])

    def _write_once(self, variables, buffers):
        n = self._native
        channel = self._prepare()
        names = (ctypes.c_char_p * len(variables))(*[N.encode_name(v.name) for v in variables])
        keep = [ctypes.create_string_buffer(data, len(data)) for data in buffers]
        pointers = (ctypes.c_void_p * len(keep))(*[ctypes.addressof(b) for b in keep])
        label = ", ".join(v.name for v in variables)
        if n.KSymWriteVars(channel, names, len(variables), pointers) == 0:
            code = n.KClientGetLastError()
            if len(variables) > 1 and code in (N.KSYM_ERR_TOO_BIG_WRITE,
                                              N.KSYM_ERR_MULTI_TELEGRAM):
                raise _TooBig()
            if code in (N.KSYM_ERR_NO_SYMBOLS, N.KSYM_ERR_TOO_BIG_READ, N.KSYM_ERR_TOO_BIG_WRITE,
                        N.KSYM_ERR_MULTI_TELEGRAM):
                raise self._refused("KSymWriteVars", [v.name for v in variables])
            raise KSymError("KSymWriteVars(%s): the write could not be sent: %s" % (
                label, error_text(code)), code, "KSymWriteVars",
                variables[0].name if len(variables) == 1 else None)
        self._await("KSymWriteVars", label)
        if n.KSymWriteResult(channel) != 1:
            code = n.KClientGetLastError()
            raise KSymError("KSymWriteResult: the controller refused the write of %s" % label,
                            code, "KSymWriteResult",
                            variables[0].name if len(variables) == 1 else None)

    # ---- controller services ----

    def _service(self, send, result, what):
        n = self._native
        with self._lock:
            channel = self._prepare()
            if getattr(n, send)(channel) == 0:
                code = n.KClientGetLastError()
                raise KSymError("%s: the %s request could not be sent: %s" % (
                    send, what, error_text(code)), code, send)
            self._await(send, what)
            return result(channel)

    def info(self) -> ProjectInfo:
        """The controller's project identification."""
        n = self._native

        def take(channel):
            project_id = ctypes.c_uint32(0)
            if n.KSymPLCProjectIdResult(channel, ctypes.byref(project_id)) == 0:
                raise KSymError("KSymPLCProjectIdResult: the controller's identification is "
                                "too short", n.KClientGetLastError(), "KSymPLCProjectIdResult")
            record = n.KSymGetProjectInfo(channel)
            if not record:
                raise KSymError("KSymGetProjectInfo: no project record",
                                n.KClientGetLastError(), "KSymGetProjectInfo")
            info = record.contents
            texts = tuple(N.decode_name(getattr(info, "infoText%d" % k)) for k in range(1, 6))
            return ProjectInfo(project_id.value, info.infoNumber, texts)

        return self._service("KSymPLCProjectId", take, "identification")

    def project_id(self) -> int:
        """The project identifier of the loaded symbol table."""
        with self._lock:
            return self._native.KSymGetProjectId(self._channel()) & 0xFFFFFFFF

    def _accepted(self, function, what):
        def take(channel):
            if getattr(self._native, function)(channel) != 1:
                raise KSymError("%s: the controller refused the %s" % (function, what),
                                self._native.KClientGetLastError(), function)
        return take

    def login(self) -> None:
        """Logs in to the controller; KSymError when it refuses."""
        self._service("KSymLogin", self._accepted("KSymLoginResult", "login"), "login")

    def logout(self) -> None:
        """Logs out of the controller; KSymError when it refuses."""
        self._service("KSymLogout", self._accepted("KSymLogoutResult", "logout"), "logout")

    def _request_raw(self, telegram, capacity=65536):
        """Sends a raw telegram through the client library and returns the reply's bytes (the
        simulator's control service, for tests)."""
        n = self._native
        with self._lock:
            channel = self._prepare()
            if n.KClientWrite(channel, telegram, len(telegram)) != len(telegram):
                code = n.KClientGetLastError()
                raise KSymError("KClientWrite: %s" % error_text(code), code, "KClientWrite")
            self._await("KClientWrite", "raw request")
            buffer = ctypes.create_string_buffer(capacity)
            got = n.KClientRead(channel, buffer, capacity)
            return buffer.raw[:max(got, 0)]


class _TooBig(Exception):
    pass


