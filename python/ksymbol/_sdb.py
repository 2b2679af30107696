"""The symbols of an SDB symbol file, walked from its bytes the way the library's reader reads
them: the same sections, the same records, the same refusals. A recording needs what the
library's table does not hand out: each symbol's element size, the unit in which its value
is turned between the host's and the controller's byte order.

Everything in the file is little-endian. The walk takes untrusted bytes: every read is
bounds-checked, and a file the library would refuse raises ValueError.
"""

import collections

HEADER_SECTION, TYPES_SECTION, VARIABLES_SECTION = 1, 2, 3
TYPE_RECORD, VARIABLE_RECORD = 4, 5

CODE_PLAIN8, CODE_ARRAY, CODE_DATA_BLOCK = 8, 9, 11
CODE_STRING, CODE_PLAIN21, CODE_EXTRA23, CODE_NONE = 13, 21, 23, 24
# Codes whose values travel as bytes, never turned.
_UNTURNED = (CODE_PLAIN8, CODE_DATA_BLOCK, CODE_PLAIN21, CODE_NONE)
# Codes whose type record carries four bytes after the name.
_WITH_EXTRA = (CODE_DATA_BLOCK, CODE_STRING, CODE_EXTRA23)

SECTION_HEADER_SIZE = 16
TYPE_FIXED_SIZE = 18
VARIABLE_FIXED_SIZE = 26
ARRAY_HEADER_SIZE = 8
ARRAY_ITEM_SIZE = 8
EXTRA_SIZE = 4
# The library's memory device holds positions below 2^31.
_MAX_POSITION = 0x7FFFFFFF

SdbSymbol = collections.namedtuple("SdbSymbol", "name type area offset size element_size")
SdbSymbol.__doc__ = """One entry of the file, in file order: its name and type name (the
file's bytes), memory area, offset, size and element size (0: no byte-order conversion). A
record of another kind keeps its place with an empty name and type b"NONE"."""


class _Type:
    __slots__ = ("skipped", "code", "size", "name", "base")

    def __init__(self, skipped=True, code=CODE_NONE, size=0, name=b"", base=0):
        self.skipped = skipped
        self.code = code
        self.size = size
        self.name = name
        self.base = base


def _u32(data, at):
    return int.from_bytes(data[at:at + 4], "little")


def _u16(data, at):
    return int.from_bytes(data[at:at + 2], "little")


class _Cursor:
    """A read position that may stand past the end (reads there give nothing) but never
    beyond the largest position the library's device takes."""

    def __init__(self, data):
        self.data = data
        self.position = 0

    def take(self, count):
        """Up to `count` bytes from the position on."""
        available = max(len(self.data) - self.position, 0)
        taken = self.data[self.position:self.position + min(count, available)]
        self.position += len(taken)
        return taken

    def take_exact(self, count, what):
        taken = self.take(count)
        if len(taken) != count:
            raise ValueError("the symbol file ends inside %s" % what)
        return taken

    def skip_exact(self, count, what):
        if count > len(self.data) or self.position > len(self.data) - count:
            raise ValueError("the symbol file ends inside %s" % what)
        self.position += count

    def seek_to(self, base, distance):
        if distance > _MAX_POSITION or base > _MAX_POSITION - distance:
            raise ValueError("a record of the symbol file reaches beyond 2 GiB")
        self.position = base + distance

    def skip_to(self, base, distance, what):
        """Past a record ending at base + distance, whose last byte the file must hold."""
        if distance == 0:
            self.seek_to(base, 0)
            return
        self.seek_to(base, distance - 1)
        if len(self.take(1)) != 1:
            raise ValueError("the symbol file ends inside %s" % what)


def _section(cursor):
    raw = cursor.take_exact(SECTION_HEADER_SIZE, "a section header")
    return _u32(raw, 0), _u32(raw, 4), _u32(raw, 8), _u32(raw, 12)


def _find_section(cursor, kind):
    """(length, version, value) of the first section of `kind` from the position on; others
    are skipped by their length."""
    while True:
        start = cursor.position
        found, length, version, value = _section(cursor)
        if found == kind:
            return length, version, value
        if length == 0:
            raise ValueError("a section of kind %d has the length 0" % found)
        cursor.seek_to(start, length)


def _name(cursor, length, what):
    """A name of `length` counted bytes, which must hold its terminating zero."""
    if length == 0:
        raise ValueError("%s has a name of length 0" % what)
    raw = cursor.take_exact(length, what)
    zero = raw.find(b"\0")
    if zero < 0:
        raise ValueError("the name of %s has no terminating zero" % what)
    return bytes(raw[:zero])


def _type_record(cursor):
    start = cursor.position
    fixed = cursor.take_exact(TYPE_FIXED_SIZE, "a type record")
    length = _u32(fixed, 4)
    if _u32(fixed, 0) != TYPE_RECORD:
        cursor.skip_to(start + TYPE_FIXED_SIZE, length, "a type record")
        return _Type()
    slot = _Type(False, _u32(fixed, 8), _u32(fixed, 12))
    slot.name = _name(cursor, _u16(fixed, 16), "a type record")
    if slot.code == CODE_ARRAY:
        raw = cursor.take_exact(ARRAY_HEADER_SIZE, "an array type")
        slot.base = _u32(raw, 0)
        # The items are not needed, only that the file holds them.
        cursor.skip_exact(_u32(raw, 4) * ARRAY_ITEM_SIZE, "an array type")
    elif slot.code in _WITH_EXTRA:
        cursor.skip_exact(EXTRA_SIZE, "a type record")
    if cursor.position - start > length:
        raise ValueError("the type %r is longer than its record" % slot.name)
    cursor.skip_to(start, length, "a type record")
    return slot


def element_size(types, index):
    """The element size of a variable of types[index]: 0 for codes that travel as bytes, an
    array's base type's, else the low byte of the size. None for an index outside the table
    or an array chain that does not end."""
    for _ in range(len(types) + 1):
        if index >= len(types):
            return None
        slot = types[index]
        if slot.code == CODE_ARRAY:
            index = slot.base
            continue
        if slot.code in _UNTURNED:
            return 0
        return slot.size & 0xFF
    return None


def _type_name(types, index):
    slot = types[index]
    if slot.skipped:
        return b"NONE"
    if slot.code == CODE_DATA_BLOCK:
        return b"DATA"
    if slot.code == CODE_ARRAY and slot.base < len(types) and \
            types[slot.base].code in (CODE_ARRAY, CODE_DATA_BLOCK):
        return b"DATA"
    return slot.name


def _variable_record(cursor, types):
    start = cursor.position
    fixed = cursor.take_exact(VARIABLE_FIXED_SIZE, "a variable record")
    if _u32(fixed, 0) != VARIABLE_RECORD:
        length = _u32(fixed, 4)
        if length == 0:
            raise ValueError("a record of the variables has the length 0")
        cursor.skip_to(start, length, "a variable record")
        return SdbSymbol(b"", b"NONE", 0, 0, 0, 0)
    index = _u32(fixed, 8)
    size = element_size(types, index)
    if size is None:
        raise ValueError("a variable's type %d is not in the type table" % index)
    name = _name(cursor, _u16(fixed, 24), "a variable record")
    return SdbSymbol(name, _type_name(types, index), _u16(fixed, 18), _u32(fixed, 20),
                     types[index].size, size)


def read_symbols(data):
    """(project identifier, [SdbSymbol]) of the SDB file's bytes; ValueError when the
    library's reader would refuse the file."""
    data = bytes(data)
    cursor = _Cursor(data)
    kind, length, version, project_id = _section(cursor)
    if kind != HEADER_SECTION or version > 1:
        raise ValueError("not an SDB symbol file of version 0 or 1")
    cursor.seek_to(0, length)
    _, _, count = _find_section(cursor, TYPES_SECTION)
    types = []
    for _ in range(count):
        # Each record takes its fixed part: a count the file cannot hold ends at its end.
        types.append(_type_record(cursor))
    _, _, count = _find_section(cursor, VARIABLES_SECTION)
    if count > _MAX_POSITION:
        raise ValueError("the symbol file claims %d variables" % count)
    symbols = [_variable_record(cursor, types) for _ in range(count)]
    return project_id, symbols
