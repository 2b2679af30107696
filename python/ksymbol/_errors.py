"""The errors of the package (KSymError, OpenError) and the error codes of the library and
the client: their names (as ksymbol.h and kclient.h define them) and their texts, from the one table the tools embed too. The source tree's
table is tools/common/error_texts.txt; a built package carries a copy beside this module."""

import os

_TABLE = "error_texts.txt"


def _table_path():
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = (os.path.join(here, _TABLE),
                  os.path.join(here, os.pardir, os.pardir, "tools", "common", _TABLE))
    for path in candidates:
        if os.path.isfile(path):
            return path
    raise ImportError("the error table %s is missing (looked in %s)" % (
        _TABLE, ", ".join(os.path.normpath(path) for path in candidates)))


def _read_table(path):
    """Lines "CODE<TAB>NAMES<TAB>TEXT", NAMES separated by commas; # starts a comment."""
    codes, texts = {}, {}
    with open(path, encoding="utf-8") as table:
        for line in table:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            number, names, text = line.split("\t", 2)
            texts[int(number)] = text
            for name in names.split(","):
                codes[name] = int(number)
    return codes, texts


CODES, TEXTS = _read_table(_table_path())


def error_text(code):
    """The table's words for `code`, with the code: "no variable list (error 20)"."""
    return "%s (error %d)" % (TEXTS.get(code, "the request failed"), code)


class KSymError(Exception):
    """A library call failed or the controller refused a request.

    ``code`` is the error code the library recorded (``KClientGetLastError``: 19 for an
    unknown name, 28 for a read still in progress, ...; 0 when the controller refused).
    ``function`` names the library function, ``name`` the variable concerned (or None)."""

    def __init__(self, message, code=0, function=None, name=None):
        super().__init__(message)
        self.code = code
        self.function = function
        self.name = name


class OpenError(KSymError, ConnectionError):
    """A channel could not be opened: a malformed station address, or one that cannot be
    reached. Both a KSymError (with the code) and a ConnectionError."""
