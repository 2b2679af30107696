"""The native objects a channel holds (its lists, the channel, its message thread) and how
they end: in order, under the channel's lock, also from a finaliser."""

# How long a finaliser waits for a thread that is inside a call on the channel; after that
# it leaves the native objects to the process's end.
FINALIZE_WAIT = 5.0


def close_lists_and_channel(native, state):
    """Deletes a channel's lists and closes it; the caller holds the channel's lock."""
    if state["channel"] != -1:
        for handle in list(state["lists"]):
            native.KSymDeleteVarList(state["channel"], handle)
        state["lists"].clear()
        state["dropped"].clear()
        native.KSymCloseChannel(state["channel"])
        state["channel"] = -1


def close_native(native, state, lock):
    """Closes what a channel holds, in order: its lists, the channel, then the window. It
    takes the channel's lock, so that no call of another thread is inside the library on
    them meanwhile; when it cannot have it in time (a thread is stuck in a call as the
    interpreter exits), it leaves them to the process's end rather than pull them from under
    that call."""
    if not lock.acquire(timeout=FINALIZE_WAIT):
        return
    try:
        close_lists_and_channel(native, state)
        thread = state.pop("thread", None)
        if thread is not None:
            thread.stop()
    finally:
        lock.release()


def drop_list(state, handle):
    """A VarList's finaliser: its native list is deleted by the channel's next call, under
    the channel's lock (a finaliser must not wait for it)."""
    state["dropped"].append(handle)
