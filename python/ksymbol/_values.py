"""Values as their types make them, the same way the command-line tool shows and parses them.

The library hands out a variable's bytes in host byte order with nothing but the variable's
type name and size to tell what they are, so both decide:

======================================  =====================================
type name (any case)                    Python value
======================================  =====================================
BOOL, and bit addresses (%IX1.2)        ``bool``
BYTE USINT WORD UINT DWORD UDINT TIME
LWORD ULINT                             ``int``, unsigned
SINT INT DINT LINT                      ``int``, signed
REAL, LREAL                             ``float``
a name starting with STR                ``str`` up to the first NUL
a name holding ARR or MATRIX, even size list of ``int``, 16-bit signed elements
anything else, or a known name whose
size is not the type's                  ``bytes``
======================================  =====================================

A REAL comes back as the shortest decimal number that reads back as the same 4-byte float
(12.3, not 12.300000190734863), as the tool prints it.
"""

import ctypes
import math
import struct
import sys

BOOL, UNSIGNED, SIGNED, FLOAT, TEXT, INT_ARRAY, BYTES = (
    "bool", "unsigned", "signed", "float", "text", "int_array", "bytes")

_KNOWN = {
    "BOOL": (BOOL, 1), "BYTE": (UNSIGNED, 1), "USINT": (UNSIGNED, 1), "SINT": (SIGNED, 1),
    "WORD": (UNSIGNED, 2), "UINT": (UNSIGNED, 2), "INT": (SIGNED, 2),
    "DWORD": (UNSIGNED, 4), "UDINT": (UNSIGNED, 4), "TIME": (UNSIGNED, 4),
    "DINT": (SIGNED, 4), "LWORD": (UNSIGNED, 8), "ULINT": (UNSIGNED, 8), "LINT": (SIGNED, 8),
    "REAL": (FLOAT, 4), "LREAL": (FLOAT, 8),
}

_INT_FORMATS = {1: "b", 2: "h", 4: "i", 8: "q"}
_FLOAT_FORMATS = {4: "f", 8: "d"}
# Host byte order, standard sizes: the library's records are in host order.
_ORDER = "<" if sys.byteorder == "little" else ">"


def _upper(text):
    """ASCII letters folded to upper case, as the library and the tool fold names."""
    return "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in text)


class Shape:
    """How a variable's value is shown and parsed: its kind and its size in bytes."""

    __slots__ = ("kind", "size")

    def __init__(self, kind, size):
        self.kind = kind
        self.size = size

    def __repr__(self):
        return "Shape(%r, %d)" % (self.kind, self.size)


def shape_of(type_name, size):
    """The shape of a variable of the given type name and size."""
    if size == 0:
        return Shape(BYTES, 0)
    upper = _upper(type_name or "")
    known = _KNOWN.get(upper)
    if known is not None:
        # A known name with another size is not what its name says: bytes.
        return Shape(known[0] if known[1] == size else BYTES, size)
    if upper.startswith("STR"):
        return Shape(TEXT, size)
    if size % 2 == 0 and ("ARR" in upper or "MATRIX" in upper):
        return Shape(INT_ARRAY, size)
    return Shape(BYTES, size)


def _single(number):
    """`number` rounded to a 4-byte float as C rounds it: a number just above the largest
    float that rounds to it is no overflow, one beyond becomes infinite."""
    return ctypes.c_float(number).value


def _shortest_single(value):
    """The shortest decimal text that reads back as the same 4-byte float, as a float."""
    if math.isnan(value) or math.isinf(value):
        return value
    for precision in range(1, 18):
        text = "%.*g" % (precision, value)
        if _single(float(text)) == value:
            return float(text)
    return value


def decode(shape, data):
    """The Python value of `data` (shape.size bytes, host order)."""
    kind, size = shape.kind, shape.size
    if kind == BOOL:
        return data[0] != 0
    if kind in (UNSIGNED, SIGNED):
        code = _INT_FORMATS[size]
        return struct.unpack(_ORDER + (code if kind == SIGNED else code.upper()), data)[0]
    if kind == FLOAT:
        value = struct.unpack(_ORDER + _FLOAT_FORMATS[size], data)[0]
        return _shortest_single(value) if size == 4 else value
    if kind == TEXT:
        end = data.find(b"\0")
        raw = data if end < 0 else data[:end]
        return raw.decode("utf-8", errors="surrogateescape")
    if kind == INT_ARRAY:
        return list(struct.unpack(_ORDER + "%dh" % (size // 2), data))
    return bytes(data)


def _is_integer(value):
    return isinstance(value, int) and not isinstance(value, bool)


def encode(shape, value, name="", type_name=""):
    """The bytes (host order) of `value` for a variable of the shape; ValueError when the value
    is of the wrong type or does not fit."""
    kind, size = shape.kind, shape.size

    def refuse(why):
        return ValueError("value does not fit %s (%s, %d byte%s): %r: %s" % (
            name, type_name, size, "" if size == 1 else "s", value, why))

    if size == 0:
        raise refuse("the variable holds no bytes")
    if kind == BOOL:
        if isinstance(value, bool) or (_is_integer(value) and value in (0, 1)):
            return b"\x01" if value else b"\x00"
        raise refuse("expected a bool")
    if kind in (UNSIGNED, SIGNED):
        if not _is_integer(value):
            raise refuse("expected an int")
        bits = 8 * size
        low, high = ((-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if kind == SIGNED
                     else (0, (1 << bits) - 1))
        if not low <= value <= high:
            raise refuse("out of the range %d to %d" % (low, high))
        code = _INT_FORMATS[size]
        return struct.pack(_ORDER + (code if kind == SIGNED else code.upper()), value)
    if kind == FLOAT:
        if not (_is_integer(value) or isinstance(value, float)):
            raise refuse("expected a float")
        number = float(value)
        if size == 4:
            single = _single(number)
            if math.isinf(single) and not math.isinf(number):
                raise refuse("beyond a 4-byte float")
            number = single
        return struct.pack(_ORDER + _FLOAT_FORMATS[size], number)
    if kind == TEXT:
        if isinstance(value, str):
            raw = value.encode("utf-8", errors="surrogateescape")
        elif isinstance(value, (bytes, bytearray)):
            raw = bytes(value)
        else:
            raise refuse("expected a str")
        if b"\0" in raw:
            raise refuse("a text holds no NUL")
        if len(raw) + 1 > size:
            raise refuse("at most %d bytes of text" % (size - 1))
        return raw + b"\0" * (size - len(raw))
    if kind == INT_ARRAY:
        if isinstance(value, (str, bytes, bytearray)):
            raise refuse("expected a sequence of ints")
        try:
            items = list(value)
        except TypeError:
            raise refuse("expected a sequence of ints") from None
        if len(items) != size // 2:
            raise refuse("expected %d elements, not %d" % (size // 2, len(items)))
        for item in items:
            if not _is_integer(item) or not -32768 <= item <= 32767:
                raise refuse("element %r is not a 16-bit signed int" % (item,))
        return struct.pack(_ORDER + "%dh" % len(items), *items)
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise refuse("expected bytes")
    raw = bytes(value)
    if len(raw) != size:
        raise refuse("expected exactly %d bytes" % size)
    return raw


def _read_number(text, at):
    """A decimal number as the library's direct-address parser reads it (strtoul in the "C"
    locale, 32 bits): (value, next position) or None when no digit follows."""
    while at < len(text) and text[at] in " \t\n\v\f\r":
        at += 1
    negative = False
    if at < len(text) and text[at] in "+-":
        negative = text[at] == "-"
        at += 1
    start = at
    while at < len(text) and "0" <= text[at] <= "9":
        at += 1
    if at == start:
        return None
    number = int(text[start:at])
    if number > 0xFFFFFFFF:
        return 0xFFFFFFFF, at
    return ((-number) & 0xFFFFFFFF if negative else number), at


def _parse_direct(name):
    """(area, element size, first number, bit number) of a direct address, as the library
    parses it (element size 0 and a bit number for a bit), or None when it is none."""
    if len(name) < 3 or name[0] != "%" or name[1] not in "MIQ":
        return None
    area = "MIQ".index(name[1])
    sizes = {"B": 1, "W": 2, "D": 4}
    size = sizes.get(name[2], 0)
    at = 3 if name[2] in "BWDX" else 2
    first = _read_number(name, at)
    if first is None:
        return None
    at = first[1]
    if size:
        return (area, size, first[0], 0) if at == len(name) else None
    if at >= len(name) or name[at] != ".":
        return None
    bit = _read_number(name, at + 1)
    if bit is None or bit[1] != len(name) or bit[0] > 15:
        return None
    return area, 0, first[0], bit[0]


def direct_address(name):
    """(type name, size) of a direct address (%MW4: WORD of 2 bytes, %IX1.2: BOOL of 1), or
    None when the library does not take `name` as one."""
    parsed = _parse_direct(name)
    if parsed is None:
        return None
    size = parsed[1]
    return ({1: "BYTE", 2: "WORD", 4: "DWORD"}[size], size) if size else ("BOOL", 1)


def direct_place(name):
    """(area, offset, size) of a direct address as the station addresses it: the offset in
    bytes (elements times their size), or for a bit in bits (16 a word) with size 0; None
    when `name` is none. Offsets wrap at 32 bits, as the telegram's field."""
    parsed = _parse_direct(name)
    if parsed is None:
        return None
    area, size, first, bit = parsed
    if size:
        return area, (first * size) & 0xFFFFFFFF, size
    return area, (first * 16 + bit) & 0xFFFFFFFF, 0


def unchanged(before, now):
    """Whether a value read again is the one read before: NaN stays NaN, arrays compare
    element by element."""
    if isinstance(before, float) and isinstance(now, float):
        return before == now or (math.isnan(before) and math.isnan(now))
    if isinstance(before, list) and isinstance(now, list):
        return len(before) == len(now) and all(map(unchanged, before, now))
    return before == now
