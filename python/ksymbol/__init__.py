"""Symbolic access to the variables of a programmable logic controller, through KSymbol.

    import ksymbol

    with ksymbol.Channel("sim") as channel:
        print(channel.read("Line1.Station2.Motor1.ActualSpeed", "%MW4"))
        channel.write({"Line1.Station2.Motor1.Speed": 1200})
        channel.record(["Line1.Station2.Motor1.ActualSpeed"], "speed.rec", count=60)

    recording = ksymbol.read_recording("speed.rec")

Programs that run for long: ``Channel.watch`` mends breaks of the connection,
``Channel.subscribe`` calls back on change from a thread of the channel's own, and
``ksymbol.aio.Channel`` is the same channel for asyncio.

The package calls the KSymbol library through ctypes; it is found through the environment
variable KSYMBOL_LIBRARY, among the package's own libraries (a wheel carries them in
ksymbol/_libs), beside the package, or by the system's search (see _native).
"""

from ._native import native as _native_libraries

_native_libraries()  # ImportError, saying where it looked, when the library is missing

from ._channel import Channel  # noqa: E402
from ._errors import KSymError, OpenError  # noqa: E402
from ._recording import (Record, RecordedVariable, Recording, RecordingSummary,  # noqa: E402
                         read_recording)
from ._records import Change, ProjectInfo, Symbol  # noqa: E402
from ._subscription import Subscription  # noqa: E402
from ._var_list import VarList  # noqa: E402

__all__ = ["Change", "Channel", "KSymError", "OpenError", "ProjectInfo", "Record",
           "RecordedVariable", "Recording", "RecordingSummary", "Subscription", "Symbol",
           "VarList",
           "read_recording", "version", "library_path"]


def version() -> str:
    """The library's version, "1.0.0.11" for the word 0x0100000B (one byte per component)."""
    word = _native_libraries().KSymVersion()
    return ".".join(str((word >> shift) & 0xFF) for shift in (24, 16, 8, 0))


def library_path() -> str:
    """The path or name the library was loaded from."""
    return _native_libraries().path


try:
    # Written when the package is built, from the project's version.
    from ._version import __version__  # noqa: E402
except ImportError:  # the source tree: the version of the library it runs on
    __version__ = version()
