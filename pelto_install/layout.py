"""The two tables the launcher compiles in and install.py reads, so that both look in the same
places: where a Wine build holds what (wine_layout.inc), and where the installed tool holds
what it brings beside pelto (tool_layout.inc). A release archive keeps them in this package's
folder; a checkout has them among the sources."""

import os
import re

from .common import ROOT, InstallError, exists

PACKAGE_FOLDER = os.path.dirname(os.path.abspath(__file__))
WINE_LAYOUT = "src/launcher/core/wine_layout.inc"
TOOL_LAYOUT = "src/base/tool_layout.inc"


def read_table(source, macro, what_it_is):
    """{name: [paths, in the table's order]} of the rows MACRO("name", "path") of the table
    whose place among the sources is `source`: the copy in the package's folder when there is
    one, else that."""
    places = [os.path.join(PACKAGE_FOLDER, os.path.basename(source)), os.path.join(ROOT, source)]
    row = re.compile(r'^%s\("([a-z0-9_]+)", "([^"]+)"\)$' % macro, re.MULTILINE)
    for table in places:
        if exists(table):
            with open(table) as file:
                rows = {}
                for name, path in row.findall(file.read()):
                    rows.setdefault(name, []).append(path)
                return rows
    raise OSError("the table of %s is missing (%s)" % (what_it_is, " or ".join(places)))


def wine_layout():
    """{what: [paths under a Wine build's root, in the order they are looked for]}."""
    return read_table(WINE_LAYOUT, "WINE_LAYOUT", "Wine's layout")


def tool_relative(what):
    """The path of `what` (a name of tool_layout.inc) relative to the tool's root."""
    paths = read_table(TOOL_LAYOUT, "TOOL_LAYOUT", "the tool's layout").get(what)
    if not paths:
        raise InstallError("the table of the tool's layout (tool_layout.inc) has no row for "
                           "%s" % what)
    return paths[0]


def tool_path(root, what):
    return os.path.join(root, tool_relative(what))
