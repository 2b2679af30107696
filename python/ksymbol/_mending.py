"""Mending a broken connection, as ksym watch does: the channel opened again (its re-open
form first, then a fresh open), its symbols loaded again (uploaded when the project
changed), its lists defined anew at their next read; attempt after attempt, with a delay
that grows after each failed one up to a cap."""

import time

from ._errors import KSymError, OpenError

# The first attempt waits this long, each one after a failure twice as long, at most the cap
# (seconds).
FIRST_RETRY = 0.25
RETRY_CAP = 8.0


def broke(error):
    """Whether `error`, raised by a request, is a break of the connection (the station went
    or stopped answering) rather than a fault of the request."""
    if isinstance(error, TimeoutError):
        return True
    if isinstance(error, ConnectionError) and not isinstance(error, OpenError):
        return True
    return isinstance(error, KSymError) and error.function == "KSymSendVarList"


def mend(channel, pause, first=FIRST_RETRY, cap=RETRY_CAP):
    """Opens `channel` again until it is open (True), or until ``pause(seconds)``, which
    sleeps before each attempt, returns False (False)."""
    delay = first
    while True:
        if not pause(delay):
            return False
        try:
            channel._reopen()
        except KSymError:  # not reachable yet, or its symbols cannot be loaded yet
            delay = min(max(delay, FIRST_RETRY) * 2, cap)
            continue
        return True


def sleep(seconds):
    """A pause for mend that never gives up."""
    time.sleep(seconds)
    return True


def pause_until(deadline):
    """A pause for mend that gives up at `deadline` (time.monotonic(); None: never)."""
    def pause(seconds):
        if deadline is None:
            return sleep(seconds)
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        time.sleep(min(seconds, left))
        return True
    return pause
