"""asyncio for ksymbol: the same channel, awaited.

    import asyncio
    import ksymbol.aio

    async def main():
        async with ksymbol.aio.Channel("sim") as channel:
            print(await channel.read("Line1.Mode"))
            await channel.write({"Line1.Mode": 2})
            async for change in channel.watch(["Line1.Mode"], interval=0.5, count=4):
                print(change.time, change.name, change.value)

    asyncio.run(main())

Built on ksymbol.Channel, with no protocol of its own: each call runs on a worker thread of
the channel's own, one after the other in the order they were made, so that the event loop
never waits inside the library. Cancelling an await cancels the caller's wait, not the
library's request: that request runs to its end on the worker (a read to its answer or its
time-out), and the channel's next call comes after it, so every answer still goes to the
request it belongs to. Callbacks given to ``watch`` (``on_break``, ``on_resume``) run on the
worker thread."""

import asyncio
import concurrent.futures
import functools
from typing import Any, AsyncIterator, Callable, Dict, Iterable, List, Optional

from ._channel import Channel as _Channel
from ._records import Change, ProjectInfo, Symbol

_END = object()


class Channel:
    """An asyncio channel to a controller: ``async with ksymbol.aio.Channel(station)``, or
    ``await ksymbol.aio.Channel.open(station)`` and ``await channel.close()``. `station` and
    `timeout` are those of ksymbol.Channel."""

    def __init__(self, station: Optional[str] = None, *, timeout: float = 5.0) -> None:
        self.station = station
        self.timeout = timeout
        self._worker = concurrent.futures.ThreadPoolExecutor(
            max_workers=1, thread_name_prefix="ksymbol-aio")
        self._channel: Optional[_Channel] = None

    @classmethod
    async def open(cls, station: Optional[str] = None, *, timeout: float = 5.0) -> "Channel":
        """The channel, opened (its symbols loaded)."""
        channel = cls(station, timeout=timeout)
        try:
            await channel._open()
        except BaseException:
            channel._worker.shutdown(wait=False)
            raise
        return channel

    async def _open(self) -> None:
        self._channel = await self._call(_Channel, self.station, timeout=self.timeout)

    async def _call(self, function: Callable[..., Any], *arguments: Any, **keywords: Any) -> Any:
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(
            self._worker, functools.partial(function, *arguments, **keywords))

    def _sync(self) -> _Channel:
        if self._channel is None:
            raise ValueError("the channel is not open: use 'async with' or Channel.open()")
        return self._channel

    async def __aenter__(self) -> "Channel":
        if self._channel is None:
            await self._open()
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()

    async def close(self) -> None:
        """Closes the channel (after the calls made before) and ends its worker."""
        if self._channel is not None:
            channel, self._channel = self._channel, None
            await self._call(channel.close)
        self._worker.shutdown(wait=False)

    @property
    def channel(self) -> _Channel:
        """The ksymbol.Channel underneath, for what has no awaitable form here; call it only
        through ``run()``, so that its calls stay in order with these."""
        return self._sync()

    async def run(self, function: Callable[..., Any], *arguments: Any) -> Any:
        """Runs ``function(*arguments)`` on the channel's worker, in order with its calls."""
        return await self._call(function, *arguments)

    def symbols(self, prefix: str = "") -> List[Symbol]:
        """The symbols whose names begin with `prefix` (kept in memory: no await)."""
        return self._sync().symbols(prefix)

    async def read(self, *names: str) -> Dict[str, Any]:
        """The current values, a dict name to value (None when not delivered)."""
        return await self._call(self._sync().read, *names)

    async def write(self, values: Dict[str, Any]) -> None:
        """Writes the values as ksymbol.Channel.write does."""
        await self._call(self._sync().write, values)

    async def info(self) -> ProjectInfo:
        return await self._call(self._sync().info)

    async def login(self) -> None:
        await self._call(self._sync().login)

    async def logout(self) -> None:
        await self._call(self._sync().logout)

    async def reconnect(self, timeout: Optional[float] = None) -> None:
        await self._call(self._sync().reconnect, timeout)

    async def watch(self, names: Iterable[str], interval: float = 1.0,
                    changes_only: bool = False, count: Optional[int] = None, *,
                    reconnect: bool = True,
                    on_break: Optional[Callable[[BaseException], None]] = None,
                    on_resume: Optional[Callable[[], None]] = None) -> AsyncIterator[Change]:
        """``async for change in channel.watch(...)``: ksymbol.Channel.watch, awaited. The
        pause between reads is spent on the worker, so other calls of the channel wait for
        the watch's next read to end; leaving the loop ends the watch."""
        iterator = self._sync().watch(list(names), interval, changes_only, count,
                                      reconnect=reconnect, on_break=on_break,
                                      on_resume=on_resume)
        try:
            while True:
                change = await self._call(next, iterator, _END)
                if change is _END:
                    return
                yield change
        finally:
            # On the worker, after the read in progress: the watch's list goes there too.
            # A channel closed meanwhile took the list with it.
            try:
                self._worker.submit(iterator.close)
            except RuntimeError:
                pass
