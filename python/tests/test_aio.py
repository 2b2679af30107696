"""The asyncio channel: reads, writes and watches awaited; a cancelled read that leaves the
channel in step for the next; reads of several tasks at once."""

import asyncio

import pytest

import ksymbol
import ksymbol.aio

MODE = "Line1.Mode"
RECIPE = "Line1.Recipe.Name"


def test_reads_writes_and_watches_are_awaited():
    async def main():
        async with ksymbol.aio.Channel("sim") as channel:
            assert await channel.read(MODE, RECIPE) == {MODE: 1, RECIPE: "Bread 750g"}
            await channel.write({MODE: 2})
            assert await channel.read(MODE) == {MODE: 2}
            changes = [change async for change in channel.watch([MODE], interval=0.02,
                                                                count=3)]
            assert [c.value for c in changes] == [2, 2, 2]
            async for change in channel.watch([MODE, RECIPE], interval=0.02):
                break  # leaving the loop ends the watch; the channel goes on
            assert change.name == MODE
            assert (await channel.info()).project == "SAMPLE"
            with pytest.raises(ksymbol.KSymError):
                await channel.read("No.Such.Variable")
        with pytest.raises(ValueError):
            await channel.read(MODE)

    asyncio.run(main())


def test_a_cancelled_read_leaves_the_channel_in_step(plcsim):
    # Every answer comes 300 ms late: the cancel lands while the read is on its way.
    station = plcsim("--latency", "300")

    async def main():
        channel = await ksymbol.aio.Channel.open(station.address, timeout=3.0)
        try:
            for _ in range(3):
                task = asyncio.ensure_future(channel.read(MODE))
                await asyncio.sleep(0.05)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
                # The next read, of another variable, gets its own answer, not the old one.
                assert await channel.read(RECIPE) == {RECIPE: "Bread 750g"}
            both = await asyncio.gather(channel.read(MODE), channel.read(RECIPE))
            assert both == [{MODE: 1}, {RECIPE: "Bread 750g"}]
        finally:
            await channel.close()

    asyncio.run(main())
