"""Programs that run for weeks: watches and subscriptions that survive a station's restart
without reporting anything twice, the deadband, subscriptions that share their reads, and
callbacks that fail or close their own subscription."""

import threading
import time

import pytest

import ksymbol

MODE = "Line1.Mode"
RECIPE = "Line1.Recipe.Name"
TEMPERATURE = "Line2.Station1.Temperature"


def _wait_for(condition, seconds=15.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def test_a_watch_and_a_subscription_resume_after_the_station_restarts(plcsim):
    station = plcsim()
    listen = station.address[len("tcp:"):]
    watching = ksymbol.Channel(station.address, timeout=1.0)
    subscribing = ksymbol.Channel(station.address, timeout=1.0)
    try:
        seen, errors = [], []
        subscription = subscribing.subscribe([MODE, RECIPE], seen.append, interval=0.05,
                                             on_error=errors.append)
        breaks, resumes = [], []

        def resumed():
            resumes.append(time.monotonic())
            watching.write({MODE: 3})  # a change after the break, to be reported once

        watch = watching.watch([MODE, RECIPE], interval=0.05, changes_only=True,
                               on_break=breaks.append, on_resume=resumed)
        changes = [next(watch), next(watch)]
        assert _wait_for(lambda: len(seen) == 2)
        station.stop()
        restart = threading.Timer(1.0, lambda: plcsim(listen=listen))
        restart.start()
        changes.append(next(watch))  # blocks through the break
        restart.join()
        assert [(c.name, c.value) for c in changes] == [
            (MODE, 1), (RECIPE, "Bread 750g"), (MODE, 3)], "nothing twice, the change once"
        assert len(breaks) == 1 and isinstance(breaks[0], (ConnectionError, TimeoutError))
        assert len(resumes) == 1

        assert _wait_for(lambda: len(seen) >= 3), (seen, errors)
        time.sleep(0.3)  # a report twice would come within a few reads
        assert [(c.name, c.value) for c in seen] == [
            (MODE, 1), (RECIPE, "Bread 750g"), (MODE, 3)]
        assert errors and all(isinstance(e, (ConnectionError, TimeoutError, ksymbol.KSymError))
                              for e in errors)
        subscription.close()
        assert subscription.closed
    finally:
        watching.close()
        subscribing.close()


def test_reconnect_gives_up_at_its_timeout_and_lists_read_again_after_it(plcsim):
    station = plcsim()
    listen = station.address[len("tcp:"):]
    with ksymbol.Channel(station.address, timeout=1.0) as channel:
        values = channel.var_list([MODE])
        assert values.read() == {MODE: 1}
        station.stop()
        with pytest.raises((ConnectionError, TimeoutError)):
            values.read()
        began = time.monotonic()
        with pytest.raises(ConnectionError):
            channel.reconnect(timeout=0.6)
        assert time.monotonic() - began < 5
        plcsim(listen=listen)
        channel.reconnect(timeout=20)
        assert values.read() == {MODE: 1}, "the list is defined anew on the new connection"
        values.close()


def test_deadbands_and_shared_reads():
    with ksymbol.Channel("sim") as channel:
        every, banded, wide, slow = [], [], [], []
        # The temperature moves every read; a band wider than its swing reports it once.
        subscriptions = [
            channel.subscribe([TEMPERATURE], every.append, interval=0.05),
            channel.subscribe([TEMPERATURE, MODE], banded.append, interval=0.05,
                              deadband={TEMPERATURE: 1e9}),
            channel.subscribe([TEMPERATURE], wide.append, interval=0.05, deadband=1e9),
            channel.subscribe([MODE], slow.append, interval=0.25, changes_only=False),
        ]
        time.sleep(1.2)
        reads = channel._hub.reads
        for subscription in subscriptions:
            subscription.close()
        assert len(every) >= 8, "the temperature changes with nearly every read"
        assert [c.name for c in banded] == [TEMPERATURE, MODE]
        assert len(wide) == 1
        # The slow one looks every fifth read, at every value (changes_only=False), and
        # causes no reads of its own: one read for all of them.
        assert 3 <= len(slow) <= 7 and all(c.value == 1 for c in slow)
        assert reads <= 1.2 / 0.05 + 3
        assert reads >= len(every)
        assert not channel._hub._thread or not channel._hub._thread.is_alive()


def test_callbacks_that_raise_or_close_their_own_subscription():
    with ksymbol.Channel("sim") as channel:
        with pytest.raises(ksymbol.KSymError):
            channel.subscribe(["No.Such.Variable"], print)
        with pytest.raises(ValueError):
            channel.subscribe([MODE], print, interval=0.001)
        errors, seen = [], []

        def fails(change):
            raise RuntimeError("the callback's own fault")

        failing = channel.subscribe([MODE], fails, interval=0.05, on_error=errors.append)
        holder = {}

        def closes(change):
            seen.append(change)
            holder["subscription"].close()  # from the subscription's own thread

        holder["subscription"] = channel.subscribe([MODE, RECIPE], closes, interval=0.05,
                                                   changes_only=False)
        assert _wait_for(lambda: errors and holder["subscription"].closed)
        time.sleep(0.2)
        assert len(seen) == 1, "nothing after close"
        assert isinstance(errors[0], RuntimeError)
        assert not failing.closed, "a callback's fault does not end its subscription"
    # Closing the channel ended the subscriptions and their thread.
    assert failing.closed
    assert not channel._hub._thread
