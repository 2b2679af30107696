"""Subscriptions: callbacks on change, fed by one reading thread per channel.

Every subscription of a channel shares one list of the union of their variables and one
read, at the shortest of their intervals (the library allows one read in progress per
channel); each subscription looks at the values once its own interval has passed. A break
of the connection is mended as a watch mends it, and the subscriptions go on where they
were: what did not change across the break is not reported again.

Threads: the callbacks, ``on_error`` included, run on the channel's subscription thread,
one after the other; a slow callback delays the next read. Subscribing and closing are
allowed from any thread, also from a callback."""

import copy
import datetime
import math
import sys
import threading
import time
import traceback
from typing import Any

from ._errors import KSymError
from ._mending import broke, mend
from ._records import Change
from ._values import unchanged

# Bounds of an interval, as the tool's (seconds).
MIN_INTERVAL = 0.01
MAX_INTERVAL = 86400.0


def _number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _moved(before, now, band):
    """Whether a value moved enough to be reported: numbers beyond the deadband (NaN in or
    out of it is a move), anything else when it changed."""
    if band is None or not (_number(before) and _number(now)):
        return not unchanged(before, now)
    if isinstance(before, float) and isinstance(now, float) and \
            (math.isnan(before) or math.isnan(now)):
        return math.isnan(before) != math.isnan(now)
    return abs(now - before) > band


class Subscription:
    """The callbacks of ``Channel.subscribe``: a context manager; ``close()`` ends them (at
    once when called from a callback, else after a callback running meanwhile)."""

    def __init__(self, hub, names, callback, interval, deadband, changes_only, on_error):
        self.names = list(names)
        self.interval = interval
        self._hub = hub
        self._callback = callback
        self._deadband = deadband
        self._changes_only = changes_only
        self._on_error = on_error
        self._last = {}
        self._due = 0.0  # time.monotonic() of its next look at the values
        self._closed = False

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Ends the subscription; the channel's reading thread ends with its last one."""
        self._hub.remove(self)

    def __enter__(self) -> "Subscription":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self):
        return "<ksymbol.Subscription %s every %g s%s>" % (
            ", ".join(self.names), self.interval, " closed" if self._closed else "")

    def _band(self, name):
        if isinstance(self._deadband, dict):
            return self._deadband.get(name)
        return self._deadband

    def _deliver(self, when, values):
        """Calls back with what is to be reported of one read (`values`: name to value)."""
        for name in self.names:
            if self._closed:
                return
            value = values.get(name)
            if self._changes_only and name in self._last and \
                    not _moved(self._last[name], value, self._band(name)):
                continue
            # A copy is kept: what is handed out is the callback's to change.
            self._last[name] = copy.deepcopy(value)
            self._call(self._callback, Change(when, name, value))

    def _failed(self, error):
        if self._on_error is not None:
            self._call(self._on_error, error)

    def _call(self, function, argument):
        try:
            function(argument)
        except Exception as error:  # a callback's fault must not end the others' reads
            if function is not self._on_error and self._on_error is not None:
                self._call(self._on_error, error)
            else:
                sys.stderr.write("ksymbol: a subscription's callback raised:\n" +
                                 "".join(traceback.format_exception(
                                     type(error), error, error.__traceback__)))


class SubscriptionHub:
    """A channel's subscriptions and the thread that reads for them. The thread holds the
    channel (through the hub) until its last subscription is closed."""

    def __init__(self, channel):
        self._channel = channel
        self._wake = threading.Condition()
        self._subscriptions = []  # guarded by _wake
        self._thread = None
        self.reads = 0  # the reads made for the subscriptions (for tests and statistics)

    def add(self, subscription):
        with self._wake:
            self._subscriptions.append(subscription)
            subscription._due = time.monotonic()
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="ksymbol-subscriptions",
                                                daemon=True)
                self._thread.start()
            self._wake.notify_all()
        return subscription

    def remove(self, subscription):
        with self._wake:
            subscription._closed = True
            if subscription in self._subscriptions:
                self._subscriptions.remove(subscription)
            self._wake.notify_all()
            thread = self._thread if not self._subscriptions else None
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    def close_all(self):
        for subscription in self._current():
            self.remove(subscription)

    def _current(self):
        """The subscriptions now; none, when the thread is to end (decided under the lock, so
        that a subscription added meanwhile starts a thread of its own)."""
        with self._wake:
            if not self._subscriptions:
                self._thread = None
            return list(self._subscriptions)

    def _names(self, subscriptions):
        names, seen = [], set()
        for subscription in subscriptions:
            for name in subscription.names:
                if name not in seen:
                    seen.add(name)
                    names.append(name)
        return names

    def _pause(self, seconds):
        """Sleeps `seconds` unless the subscriptions change; False once none are left."""
        with self._wake:
            if self._subscriptions:
                self._wake.wait(seconds)
            return bool(self._subscriptions)

    def _run(self):
        values = None
        try:
            while True:
                subscriptions = self._current()
                if not subscriptions:
                    return
                names = self._names(subscriptions)
                if values is None or values.names != names:
                    if values is not None:
                        values.close()
                        values = None
                    try:
                        values = self._channel.var_list(names)
                    except (KSymError, ValueError) as error:
                        for subscription in subscriptions:
                            subscription._failed(error)
                        self._pause(min(s.interval for s in subscriptions))
                        continue
                began = time.monotonic()
                try:
                    got = values.read()
                except Exception as error:
                    for subscription in subscriptions:
                        subscription._failed(error)
                    if broke(error):
                        mend(self._channel, self._pause)
                    else:
                        self._pause(min(s.interval for s in subscriptions))
                    continue
                self.reads += 1
                when = datetime.datetime.now(datetime.timezone.utc)
                now = time.monotonic()
                for subscription in subscriptions:
                    if not subscription._closed and now >= subscription._due - MIN_INTERVAL / 2:
                        subscription._due = max(subscription._due + subscription.interval, now)
                        subscription._deliver(when, got)
                shortest = min(s.interval for s in subscriptions)
                pause = shortest - (time.monotonic() - began)
                if pause > 0:
                    self._pause(pause)
        finally:
            if values is not None:
                try:
                    values.close()
                except Exception:
                    pass
            with self._wake:
                if self._thread is threading.current_thread():
                    self._thread = None  # ended by an error of its own
