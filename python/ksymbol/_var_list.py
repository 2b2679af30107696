"""Variable lists: the variables of a channel defined once and read many times."""

import ctypes
import weakref
from typing import TYPE_CHECKING, Any, Dict, Iterable

from . import _native as N
from ._channel_state import drop_list
from ._errors import KSymError, error_text
from ._values import decode, shape_of

if TYPE_CHECKING:
    from ._channel import Channel


class Variable:
    __slots__ = ("name", "type", "shape")

    def __init__(self, name, type_name, size):
        self.name = name
        self.type = type_name
        self.shape = shape_of(type_name, size)


class VarList:
    """A list of variables of a channel, defined once and read many times. A context
    manager; ``close()`` deletes it. Used from one thread at a time, as its channel."""

    def __init__(self, channel: "Channel", names: Iterable[str]) -> None:
        self._channel = channel
        self.names = list(names)
        self._handle = None
        self._generation = 0
        self._finalizer = None
        with channel._lock:
            self._variables = channel._variables("KSymDefineVarList", self.names)
            self._define()

    def _define(self):
        channel = self._channel
        n = channel._native
        number = channel._channel()
        array = (ctypes.c_char_p * max(len(self.names), 1))(
            *[N.encode_name(name) for name in self.names])
        handle = n.KSymDefineVarList(number, array, len(self.names))
        if not handle:
            raise channel._refused("KSymDefineVarList", self.names)
        self._handle = handle
        self._generation = channel._generation
        channel._state["lists"].add(handle)
        if self._finalizer is not None:
            self._finalizer.detach()
        # Dropped without close(), the list goes with the channel's next call.
        self._finalizer = weakref.finalize(self, drop_list, channel._state, handle)

    def _delete(self):
        if self._finalizer is not None:
            self._finalizer.detach()
            self._finalizer = None
        if self._handle is not None:
            state = self._channel._state
            if self._handle in state["lists"]:
                state["lists"].discard(self._handle)
                self._channel._native.KSymDeleteVarList(state["channel"], self._handle)
            self._handle = None

    def close(self) -> None:
        with self._channel._lock:
            self._delete()

    def __enter__(self) -> "VarList":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __len__(self) -> int:
        return len(self.names)

    def read(self) -> Dict[str, Any]:
        """The current values, a dict name to value (None when not delivered). TimeoutError
        when the controller does not answer in the channel's time-out: the read is then
        abandoned (the list is defined anew for the next read, and a late answer is
        discarded), so that no later read returns this read's values."""
        raw = self._read_bytes()
        result = dict.fromkeys(self.names)
        for variable, data in zip(self._variables, raw):
            if data is not None:
                # A symbol of no bytes still travels as one; it shows as empty bytes.
                result[variable.name] = decode(variable.shape, data[:variable.shape.size])
        return result

    def _read_bytes(self):
        """One read as the library hands out its values: a list in the list's order of each
        value's bytes in host order (one for a variable of no bytes, which travels as one),
        None for a value not delivered. Fails as read() does."""
        channel = self._channel
        n = channel._native
        with channel._lock:
            number = channel._prepare()
            if self._handle is None or self._generation != channel._generation:
                self._define()  # first, or after the channel was opened afresh
            if n.KSymSendVarList(number, self._handle) == 0:
                code = n.KClientGetLastError()
                raise KSymError("KSymSendVarList(%s): the read could not be sent: %s" % (
                    ", ".join(self.names), error_text(code)), code, "KSymSendVarList")
            try:
                channel._await("KSymSendVarList", ", ".join(self.names),
                               N.KSYM_READ_COMPLETE(len(self.names)))
            except (TimeoutError, ConnectionError):
                # Deleting the list ends the read in progress; the next read defines it anew.
                self._delete()
                raise
            return self._take_bytes(number)

    def _take_bytes(self, number):
        n = self._channel._native
        result = [None] * len(self._variables)
        records = N.P_VALUES()
        got = ctypes.c_uint32(0)
        n.KSymEnterVarListAccess(number, self._handle)
        try:
            if n.KSymGetValues(number, self._handle, ctypes.byref(records), ctypes.byref(got)):
                for i in range(min(got.value, len(self._variables))):
                    address = records[i]
                    if ctypes.c_uint8.from_address(address + 4).value != 1:
                        continue
                    size = max(self._variables[i].shape.size, 1)
                    result[i] = ctypes.string_at(address + N.VALUE_DATA_OFFSET, size)
        finally:
            n.KSymLeaveVarListAccess(number, self._handle)
        return result
