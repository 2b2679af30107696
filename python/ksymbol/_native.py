"""The native libraries through ctypes: KSymbol, its client library and the message windows.

The library is looked for in this order:

1. the file that the environment variable ``KSYMBOL_LIBRARY`` names;
2. beside this package (a copy of the library put into the package folder or the folder
   above it);
3. the system's search (``ctypes.util.find_library("ksymbol")``, then the plain name).

On Linux the library is loaded with ``RTLD_GLOBAL``; the client library (``libkclient``) and
the platform layer (``libkplatform``, which serves the message windows) are the ones the
library itself depends on, so their functions are taken through the same handle and are
always the copies the library uses. On Windows the library is ``KSymbol.dll`` beside
``KClient.dll``, and the message windows are ``user32``'s.
"""

import ctypes
import ctypes.util
import os
import sys

from . import _errors

ENV_VARIABLE = "KSYMBOL_LIBRARY"

_WINDOWS = sys.platform == "win32"

if _WINDOWS:
    _FILE_NAMES = ("KSymbol.dll",)
    _CLIENT_NAMES = ("KClient.dll",)
else:
    _FILE_NAMES = ("libksymbol.so", "libksymbol.so.1")
    _CLIENT_NAMES = ()

# ---- Records the library hands out (include/ksymbol.h) ----


class SymbolEntry(ctypes.Structure):
    """One symbol: byte-packed, ``offset`` right after the two-byte ``area``."""

    _pack_ = 1
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("typeName", ctypes.c_char_p),
        ("area", ctypes.c_uint16),
        ("offset", ctypes.c_uint32),
        ("size", ctypes.c_uint32),
        ("tag", ctypes.c_uint8 * 2),
    ]


class VarValue(ctypes.Structure):
    """The head of one value record; the value's bytes follow from byte 5 on."""

    _pack_ = 1
    _fields_ = [
        ("replyWord", ctypes.c_uint32),
        ("valid", ctypes.c_uint8),
        ("data", ctypes.c_uint8 * 1),
    ]


VALUE_DATA_OFFSET = VarValue.data.offset


class ProjectInfo(ctypes.Structure):
    """The controller's project identification (naturally aligned, as the header has it)."""

    _fields_ = [
        ("infoProjectId", ctypes.c_uint32),
        ("infoNumber", ctypes.c_uint32),
        ("infoText1", ctypes.c_char_p),
        ("infoText2", ctypes.c_char_p),
        ("infoText3", ctypes.c_char_p),
        ("infoText4", ctypes.c_char_p),
        ("infoText5", ctypes.c_char_p),
    ]


class POINT(ctypes.Structure):
    _fields_ = [("x", ctypes.c_long if _WINDOWS else ctypes.c_int32),
                ("y", ctypes.c_long if _WINDOWS else ctypes.c_int32)]


class MSG(ctypes.Structure):
    _fields_ = [
        ("hwnd", ctypes.c_void_p),
        ("message", ctypes.c_uint),
        ("wParam", ctypes.c_size_t),
        ("lParam", ctypes.c_ssize_t),
        ("time", ctypes.c_uint32),
        ("pt", POINT),
    ]


# ---- Constants of the headers ----

COMM_NOSTATUS = 0
COMM_FATALERROR = 1
COMM_MESSAGEREADY = 2
COMM_TIMEOUT = 5

# KSYM_ERR_... and KCLIENT_ERR_..., by the names of the headers, from the error table.
globals().update(_errors.CODES)

KSYM_REOPEN_BASE = 0x10000000


def KSYM_READ_COMPLETE(count):
    """The lParam that announces a complete read of a list of `count` variables."""
    return 10 * count + 6

KCLIENT_DWORD_SWAP = 3
KCLIENT_DWORD_BLOCK_SIZE = 4

# The registry and files, for reading the symbol file the library keeps (platform/win32.h).
# The platform layer's HKEY_LOCAL_MACHINE is not sign-extended; Windows' is.
HKEY_LOCAL_MACHINE = ctypes.c_void_p(-0x7FFFFFFE if _WINDOWS else 0x80000002)
KEY_READ = 0x20019
REG_SZ = 1
ERROR_SUCCESS = 0
GENERIC_READ = 0x80000000
FILE_SHARE_READ = 0x00000001
OPEN_EXISTING = 3
FILE_ATTRIBUTE_NORMAL = 0x00000080
INVALID_HANDLE_VALUE = ctypes.c_void_p(-1).value

HWND_MESSAGE = ctypes.c_void_p(-3)
WM_USER = 0x0400
PM_REMOVE = 0x0001

HVARLIST = ctypes.c_void_p
P_SYMBOLS = ctypes.POINTER(ctypes.POINTER(SymbolEntry))
P_VALUES = ctypes.POINTER(ctypes.c_void_p)


def _candidates():
    """(description, path or name) pairs, in the order they are tried."""
    found = []
    named = os.environ.get(ENV_VARIABLE, "")
    if named:
        found.append(("%s=%s" % (ENV_VARIABLE, named), named))
        return found
    here = os.path.dirname(os.path.abspath(__file__))
    # A wheel's own libraries first, then beside the package.
    for folder in (os.path.join(here, "_libs"), here, os.path.dirname(here)):
        for name in _FILE_NAMES:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                found.append(("in or beside the package: " + path, path))
    located = ctypes.util.find_library("ksymbol") or ctypes.util.find_library("KSymbol")
    if located:
        found.append(("the system's search: " + located, located))
    for name in _FILE_NAMES:
        found.append(("the system's search: " + name, name))
    return found


def _load_library():
    tried = []
    mode = 0 if _WINDOWS else getattr(os, "RTLD_GLOBAL", ctypes.RTLD_GLOBAL)
    for description, target in _candidates():
        try:
            return ctypes.CDLL(target, mode=mode), target
        except OSError as error:
            tried.append("%s (%s)" % (description, error))
    if not os.environ.get(ENV_VARIABLE):
        here = os.path.dirname(os.path.abspath(__file__))
        tried.insert(0, "%s (not set); beside the package: %s in %s and %s" % (
            ENV_VARIABLE, " or ".join(_FILE_NAMES), here, os.path.dirname(here)))
    raise ImportError(
        "the KSymbol library was not found. Looked at: %s. Set %s to the library's file, "
        "e.g. %s=/path/to/build/dev/libksymbol.so (KSymbol.dll on Windows), or put it beside "
        "the ksymbol package." % ("; ".join(tried), ENV_VARIABLE, ENV_VARIABLE))


def _load_client(library, path):
    """The client library: on Linux the library's own dependency, reached through its handle;
    on Windows KClient.dll beside the library."""
    if not _WINDOWS:
        return library
    folder = os.path.dirname(os.path.abspath(path)) if os.path.dirname(path) else ""
    for name in _CLIENT_NAMES:
        candidate = os.path.join(folder, name) if folder else name
        try:
            return ctypes.CDLL(candidate)
        except OSError:
            continue
    raise ImportError("KClient.dll was not found beside %s" % path)


def _load_windows(library):
    """The message-window functions: user32 on Windows, the platform layer on Linux."""
    if _WINDOWS:
        return ctypes.WinDLL("user32"), ctypes.WinDLL("kernel32")
    return library, library


def _load_system(library):
    """The registry's and the files' functions: advapi32 and kernel32 on Windows, the platform
    layer on Linux (where its registry and folders live below KSYM_ROOT)."""
    if _WINDOWS:
        return ctypes.WinDLL("advapi32"), ctypes.WinDLL("kernel32")
    return library, library


def _declare(function, result, *arguments):
    function.restype = result
    function.argtypes = list(arguments)
    return function


class Native:
    """The functions of the three libraries, declared with their C prototypes."""

    def __init__(self):
        library, path = _load_library()
        client = _load_client(library, path)
        user, _kernel = _load_windows(library)
        self.path = path
        i32, u32, vp, cp = ctypes.c_int32, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_char_p
        pcp = ctypes.POINTER(ctypes.c_char_p)
        pvp = ctypes.POINTER(ctypes.c_void_p)
        L = library
        self.KSymVersion = _declare(L.KSymVersion, u32)
        self.KSymOpenChannel = _declare(L.KSymOpenChannel, i32, cp, i32, vp, ctypes.c_uint)
        self.KSymOpenChannelEx = _declare(L.KSymOpenChannelEx, i32, cp, i32, vp, ctypes.c_uint,
                                          u32)
        self.KSymCloseChannel = _declare(L.KSymCloseChannel, i32, i32)
        self.KSymLoadSymbols = _declare(L.KSymLoadSymbols, i32, i32, cp,
                                        ctypes.POINTER(P_SYMBOLS), ctypes.POINTER(i32))
        self.KSymDefineVarList = _declare(L.KSymDefineVarList, HVARLIST, i32, pcp, u32)
        self.KSymDeleteVarList = _declare(L.KSymDeleteVarList, i32, i32, HVARLIST)
        self.KSymGetNumOfVars = _declare(L.KSymGetNumOfVars, u32, i32, HVARLIST)
        self.KSymEnterVarListAccess = _declare(L.KSymEnterVarListAccess, None, i32, HVARLIST)
        self.KSymLeaveVarListAccess = _declare(L.KSymLeaveVarListAccess, None, i32, HVARLIST)
        self.KSymSendVarList = _declare(L.KSymSendVarList, i32, i32, HVARLIST)
        self.KSymGetValues = _declare(L.KSymGetValues, i32, i32, HVARLIST,
                                      ctypes.POINTER(P_VALUES), ctypes.POINTER(u32))
        self.KSymWriteVars = _declare(L.KSymWriteVars, i32, i32, pcp, u32, pvp)
        self.KSymWriteResult = _declare(L.KSymWriteResult, i32, i32)
        self.KSymGetProjectId = _declare(L.KSymGetProjectId, i32, i32)
        self.KSymGetProjectInfo = _declare(L.KSymGetProjectInfo, ctypes.POINTER(ProjectInfo),
                                           i32)
        self.KSymPLCProjectId = _declare(L.KSymPLCProjectId, i32, i32)
        self.KSymPLCProjectIdResult = _declare(L.KSymPLCProjectIdResult, i32, i32,
                                               ctypes.POINTER(u32))
        self.KSymLogin = _declare(L.KSymLogin, i32, i32)
        self.KSymLoginResult = _declare(L.KSymLoginResult, i32, i32)
        self.KSymLogout = _declare(L.KSymLogout, i32, i32)
        self.KSymLogoutResult = _declare(L.KSymLogoutResult, i32, i32)

        C = client
        self.KClientGetLastError = _declare(C.KClientGetLastError, i32)
        self.KClientSetLastError = _declare(C.KClientSetLastError, None, i32)
        self.KClientGetErrorText = _declare(C.KClientGetErrorText, cp)
        self.KClientGetDWord = _declare(C.KClientGetDWord, u32, i32, i32)
        self.KClientWrite = _declare(C.KClientWrite, i32, i32, ctypes.c_char_p, u32)
        self.KClientRead = _declare(C.KClientRead, i32, i32, ctypes.c_char_p, u32)
        self.KClientGetProjectName = _declare(C.KClientGetProjectName, i32, i32,
                                              ctypes.c_char_p, u32)

        registry, files = _load_system(library)
        pu32 = ctypes.POINTER(u32)
        self.RegOpenKeyExA = _declare(registry.RegOpenKeyExA, i32, vp, cp, u32, u32, pvp)
        self.RegQueryValueExA = _declare(registry.RegQueryValueExA, i32, vp, cp, pu32, pu32,
                                         ctypes.c_char_p, pu32)
        self.RegCloseKey = _declare(registry.RegCloseKey, i32, vp)
        self.GetWindowsDirectoryA = _declare(files.GetWindowsDirectoryA, ctypes.c_uint,
                                             ctypes.c_char_p, ctypes.c_uint)
        self.CreateFileA = _declare(files.CreateFileA, vp, cp, u32, u32, vp, u32, u32, vp)
        self.GetFileSize = _declare(files.GetFileSize, u32, vp, pu32)
        self.ReadFile = _declare(files.ReadFile, ctypes.c_int, vp, ctypes.c_char_p, u32, pu32,
                                 vp)
        self.CloseHandle = _declare(files.CloseHandle, ctypes.c_int, vp)

        U = user
        self.CreateWindowExA = _declare(U.CreateWindowExA, vp, u32, cp, cp, u32, ctypes.c_int,
                                        ctypes.c_int, ctypes.c_int, ctypes.c_int, vp, vp, vp,
                                        vp)
        self.DestroyWindow = _declare(U.DestroyWindow, ctypes.c_int, vp)
        self.PostMessageA = _declare(U.PostMessageA, ctypes.c_int, vp, ctypes.c_uint,
                                     ctypes.c_size_t, ctypes.c_ssize_t)
        self.GetMessageA = _declare(U.GetMessageA, ctypes.c_int, ctypes.POINTER(MSG), vp,
                                    ctypes.c_uint, ctypes.c_uint)
        # Only the Linux platform layer counts its open handles; tests use it for leaks.
        self.KPlatformOpenHandles = None
        if not _WINDOWS and hasattr(library, "KPlatformOpenHandles"):
            self.KPlatformOpenHandles = _declare(library.KPlatformOpenHandles, u32)


_native = None


def native():
    """The loaded libraries; loaded on first use, ImportError when they are not found."""
    global _native
    if _native is None:
        _native = Native()
    return _native


# ---- Names as the library takes them: bytes, whatever the text ----

def encode_name(name):
    return name.encode("utf-8", errors="surrogateescape")


def decode_name(raw):
    return raw.decode("utf-8", errors="surrogateescape") if raw is not None else ""
