"""What the package hands out: symbols, watch changes, the project identification."""

import collections

Symbol = collections.namedtuple("Symbol", "name type area offset size")
Symbol.__doc__ = """One symbol of the controller's project: its name, its type name, the
memory area and byte offset of its value, and the value's size in bytes."""

Change = collections.namedtuple("Change", "time name value")
Change.__doc__ = """One value of a watch: when it was read (UTC), the variable, its value."""


class ProjectInfo(collections.namedtuple("ProjectInfo", "project_id number texts")):
    """The controller's project identification. ``texts`` are the library's five texts in
    their record's order (infoText1 to infoText5); ``project``, ``version``,
    ``description``, ``author`` and ``date`` name them."""

    __slots__ = ()

    project = property(lambda self: self.texts[3])
    version = property(lambda self: self.texts[4])
    description = property(lambda self: self.texts[0])
    author = property(lambda self: self.texts[1])
    date = property(lambda self: self.texts[2])
