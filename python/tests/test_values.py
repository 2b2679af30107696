"""Record layouts, the loader's message, and the conversions of values both ways."""

import ctypes
import os
import subprocess
import sys

import pytest

import ksymbol
from ksymbol import _native as N
from ksymbol._values import decode, direct_address, encode, shape_of


def test_version_and_record_layouts():
    assert ksymbol.version() == "1.0.0.11"
    pointer = ctypes.sizeof(ctypes.c_void_p)
    # The offsets the library's own layout test asserts, for this build's pointer size.
    assert ctypes.sizeof(N.SymbolEntry) == 2 * pointer + 12
    assert [getattr(N.SymbolEntry, f).offset for f in ("name", "typeName", "area", "offset",
                                                       "size", "tag")] == \
        [0, pointer, 2 * pointer, 2 * pointer + 2, 2 * pointer + 6, 2 * pointer + 10]
    assert (N.VarValue.valid.offset, N.VALUE_DATA_OFFSET) == (4, 5)
    assert (N.ProjectInfo.infoNumber.offset, N.ProjectInfo.infoText1.offset) == (4, 8)
    assert ctypes.sizeof(N.ProjectInfo) == 8 + 5 * pointer


def test_missing_library_says_where_it_looked():
    env = dict(os.environ, KSYMBOL_LIBRARY="/nonexistent/libksymbol.so")
    done = subprocess.run([sys.executable, "-c", "import ksymbol"], env=env, cwd=os.path.join(
        os.path.dirname(__file__), ".."), capture_output=True, text=True, timeout=20)
    assert done.returncode != 0
    assert "ImportError" in done.stderr
    assert "KSYMBOL_LIBRARY=/nonexistent/libksymbol.so" in done.stderr
    assert "Set KSYMBOL_LIBRARY" in done.stderr


def test_shapes_follow_type_name_and_size():
    assert shape_of("int", 2).kind == "signed"          # any case
    assert shape_of("INT", 4).kind == "bytes"           # a known name of another size
    assert shape_of("STR20", 21).kind == "text"
    assert shape_of("INTMATRIX3X4", 24).kind == "int_array"
    assert shape_of("MYARR", 5).kind == "bytes"         # odd size: no 16-bit elements
    assert shape_of("NONE", 0).kind == "bytes"
    assert shape_of("COUNTER", 2).kind == "bytes"


def test_encode_refuses_what_does_not_fit_and_round_trips_the_edges():
    cases = [
        ("SINT", 1, [-128, 127], [-129, 128, 1.0, True]),
        ("INT", 2, [-32768, 32767], [-32769, 32768, "1"]),
        ("WORD", 2, [0, 65535], [-1, 65536]),
        ("DINT", 4, [-2 ** 31, 2 ** 31 - 1], [2 ** 31]),
        ("UDINT", 4, [0, 2 ** 32 - 1], [2 ** 32]),
        ("LINT", 8, [-2 ** 63, 2 ** 63 - 1], [2 ** 63]),
        ("ULINT", 8, [2 ** 64 - 1], [2 ** 64, -1]),
        ("BOOL", 1, [True, False], [2, "true", None]),
        ("REAL", 4, [0.1, -3.4028235e38, 1e-45], [3.5e38, "1.0"]),
        ("LREAL", 8, [1e300, -0.0], [None]),
        ("STR20", 21, ["", "x" * 20, "Bread 750g"], ["x" * 21, "a\0b", 5]),
        ("INTARR4", 8, [[1, -2, 32767, -32768]], [[1, 2, 3], [1, 2, 3, 32768], "1234",
                                                  [1, 2, 3, 4.0]]),
        ("ANY_PTR", 10, [bytes(range(10))], [bytes(9), "00" * 10, [0] * 10]),
        ("NONE", 0, [], [b"", 0]),
    ]
    for type_name, size, fitting, refused in cases:
        shape = shape_of(type_name, size)
        for value in fitting:
            data = encode(shape, value, "V", type_name)
            assert len(data) == size, (type_name, value)
            back = decode(shape, data)
            assert back == value and type(back) is type(value), (type_name, value, back)
        for value in refused:
            with pytest.raises(ValueError, match="does not fit V"):
                encode(shape, value, "V", type_name)
    # The bytes themselves, host order: a signed INT and a padded text.
    assert encode(shape_of("INT", 2), -2) == (-2).to_bytes(2, sys.byteorder, signed=True)
    assert encode(shape_of("STR20", 21), "ab") == b"ab" + b"\0" * 19
    # A REAL shows as the shortest text of its float, a text stops at the first NUL.
    assert decode(shape_of("REAL", 4), encode(shape_of("REAL", 4), 12.3)) == 12.3
    assert decode(shape_of("STR20", 4), b"ab\0c") == "ab"


def test_direct_addresses_agree_with_the_library():
    with ksymbol.Channel() as channel:
        for name in ["%MW4", "%IX1.2", "%M3.0", "%QD2", "%MB3", "%MX1.15", "%MW +4",
                     "%MX1.16", "%mw4", "%MW4x", "%MW", "%AW4", "%MX1", "%I1.2.3", "%"]:
            ours = direct_address(name)
            handle = channel._native.KSymDefineVarList(
                channel.number, (ctypes.c_char_p * 1)(name.encode()), 1)
            if handle:
                channel._native.KSymDeleteVarList(channel.number, handle)
            # No symbol of the sample project looks like these: the library takes a name
            # exactly when it is a direct address.
            assert (ours is not None) == bool(handle), name
        assert direct_address("%MW4") == ("WORD", 2)
        assert direct_address("%IX1.2") == ("BOOL", 1)
        assert direct_address("%QD2") == ("DWORD", 4)
