"""Wine's Windows modules in the tool: copies without their debug sections (a third of their
size), which the launcher copies into every new game's prefix; the template's copies of them
become links to the tool's. Also the DLLs of a DXVK or VKD3D-Proton release."""

import os
import shutil
import stat
import struct
import subprocess

from .common import InstallError, copy_program, exists, in_parallel, megabytes, say, which
from .layout import tool_relative

# Where a Wine build keeps its 64- and 32-bit Windows modules; the tool keeps its copies in
# lib/wine/ under the same names, and the launcher copies them into every new game's prefix.
MODULE_FOLDERS = ["x86_64-windows", "i386-windows"]
# The strip program for each folder's modules and the Debian package that brings it.
STRIP_PROGRAMS = {"x86_64-windows": ("x86_64-w64-mingw32-strip", "binutils-mingw-w64-x86-64"),
                  "i386-windows": ("i686-w64-mingw32-strip", "binutils-mingw-w64-i686")}
# What makes Wine load its own module when a program loads the prefix's copy of it.
BUILTIN_MARK = b"Wine builtin DLL"
BUILTIN_MARK_OFFSET = 0x40
COMPARE_CHUNK = 1 << 20


class ModuleSet:
    """One architecture's Windows modules of the Wine build, and how the tool's copies are made
    from them."""

    def __init__(self, folder, source):
        self.folder = folder
        self.source = source
        self.names = module_names(source)
        self.strip_name, self.strip_package = STRIP_PROGRAMS[folder]
        self.strip = which(self.strip_name)
        self.sizes = [os.stat(os.path.join(source, name)).st_size for name in self.names]

    def estimated_size(self):
        """An upper bound of the copies' size: without debug sections when they are stripped."""
        if not self.strip:
            return sum(self.sizes)
        return sum(size_without_debug(os.path.join(self.source, name), size)
                   for name, size in zip(self.names, self.sizes))

    def describe(self):
        """What the copies will be, as a line of the dry run."""
        if self.strip:
            copied = "without their debug sections (about %s)" % megabytes(self.estimated_size())
        else:
            copied = "with their debug sections (%s is missing: install %s)" % (
                self.strip_name, self.strip_package)
        return "      %s: %d modules from %s (%s), copied %s" % (
            self.folder, len(self.names), self.source, megabytes(sum(self.sizes)), copied)


def module_sets(wine):
    """The module sets the tool gets: the 64-bit one, and the 32-bit one when the build runs
    32-bit programs (the launcher takes lib/wine/i386-windows/ntdll.dll for that sign)."""
    sets = [ModuleSet("x86_64-windows", wine.modules64)]
    if wine.why_no_32bit is None:
        sets.append(ModuleSet("i386-windows", wine.modules32))
    return sets


def module_names(folder):
    """The Windows modules in a module folder: its files, links followed, but the import
    libraries (*.a), which only building Winelib programs needs, and a Steam bridge, since the
    tool brings its own."""
    bridge = os.path.basename(tool_relative("steam_bridge"))
    return sorted(name for name in os.listdir(folder)
                  if not name.endswith(".a") and name != bridge
                  and os.path.isfile(os.path.join(folder, name)))


def has_builtin_mark(path):
    try:
        with open(path, "rb") as file:
            file.seek(BUILTIN_MARK_OFFSET)
            return file.read(len(BUILTIN_MARK)) == BUILTIN_MARK
    except OSError:
        return False


def size_without_debug(path, size):
    """`size` less the DWARF sections (.debug_*) named in the PE section table of `path`; `size`
    itself when the file is no PE file."""
    try:
        with open(path, "rb") as file:
            head = file.read(64)
            if len(head) < 64 or head[:2] != b"MZ":
                return size
            file.seek(struct.unpack_from("<I", head, 0x3c)[0])
            header = file.read(24)
            if len(header) < 24 or header[:4] != b"PE\0\0":
                return size
            count, _, symbols, symbol_count, optional_size = \
                struct.unpack_from("<HIIIH", header, 6)
            file.seek(file.tell() + optional_size)
            table = file.read(40 * count)
            # Long section names are "/{offset}" into the string table after the symbols.
            strings = symbols + 18 * symbol_count
            debug = 0
            for at in range(0, len(table) - 39, 40):
                name = table[at:at + 8].rstrip(b"\0")
                if name[:1] == b"/" and name[1:].isdigit() and symbols:
                    file.seek(strings + int(name[1:]))
                    name = file.read(64).split(b"\0")[0]
                if name.startswith(b".debug"):
                    debug += struct.unpack_from("<I", table, at + 16)[0]
            return max(size - debug, 0)
    except (OSError, struct.error):
        return size


def copy_module(strip, source, target):
    """Copies `source` to `target` without its debug sections; True when it could. A module
    that the strip program cannot handle, or that would lose its builtin mark, is copied as it
    is. The copy keeps the module's dates, inside its PE header too, so a reinstall writes the
    same bytes."""
    if strip:
        result = subprocess.run([strip, "--preserve-dates", "--strip-debug", "-o", target,
                                 source], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        if result.returncode == 0 and (has_builtin_mark(target) or not has_builtin_mark(source)):
            shutil.copymode(source, target)
            return True
    shutil.copy2(source, target)
    return False


def lay_in_modules(tree, sets):
    """lib/wine/{x86_64,i386}-windows of the tool: copies of the build's modules without their
    debug sections. Says what was done, one line per folder."""
    for modules in sets:
        target = os.path.join(tree, "lib/wine", modules.folder)
        os.makedirs(target)
        stripped = in_parallel(
            lambda name: copy_module(modules.strip, os.path.join(modules.source, name),
                                     os.path.join(target, name)), modules.names)
        size = sum(os.stat(os.path.join(target, name)).st_size for name in modules.names)
        line = "      %s: %d modules from %s, " % (modules.folder, len(modules.names),
                                                  modules.source)
        if not modules.strip:
            line += "%s with their debug sections (%s is missing: install %s)" % (
                megabytes(size), modules.strip_name, modules.strip_package)
        else:
            line += "%s without their debug sections (%s with them)" % (
                megabytes(size), megabytes(sum(modules.sizes)))
            if stripped.count(False):
                line += "; %d copied as they are, which %s could not strip" % (
                    stripped.count(False), modules.strip_name)
        say(line)


def same_bytes(first, second):
    with open(first, "rb") as one, open(second, "rb") as other:
        while True:
            chunk = one.read(COMPARE_CHUNK)
            if chunk != other.read(COMPARE_CHUNK):
                return False
            if not chunk:
                return True


def share_template_modules(tree, prefix, sets):
    """Makes every file of the template that is a byte-identical copy of one of the build's
    modules (wineboot copies them into system32, syswow64, winsxs and the windows folder) a
    hard link to the tool's copy of that module: the template then holds the module without
    its debug sections, and no module twice. Returns how many files became links, and their
    bytes as wineboot wrote them (which the template no longer holds apart from the tool)."""
    by_size = {}
    for modules in sets:
        folder = os.path.join(tree, "lib/wine", modules.folder)
        for name, size in zip(modules.names, modules.sizes):
            copy = os.path.join(folder, name)
            by_size.setdefault(size, []).append((os.path.join(modules.source, name), copy))
            # wineboot copies from the tool's modules when the tool has its own Wine.
            copy_size = os.stat(copy).st_size
            if copy_size != size:
                by_size.setdefault(copy_size, []).append((copy, copy))
    candidates = []
    for directory, _, files in os.walk(prefix):
        for name in files:
            path = os.path.join(directory, name)
            status = os.lstat(path)
            if stat.S_ISREG(status.st_mode) and status.st_nlink == 1 \
                    and status.st_size in by_size:
                candidates.append((path, status.st_size))

    def share(candidate):
        path, size = candidate
        for module, copy in by_size[size]:
            if same_bytes(path, module):
                temporary = path + ".pelto-link"
                os.link(copy, temporary)
                os.replace(temporary, path)
                return size
        return 0

    replaced = [size for size in in_parallel(share, candidates) if size]
    return len(replaced), sum(replaced)


def dll_folder(release, names):
    """The first of `names` that is a folder inside `release`, or None."""
    for name in names:
        path = os.path.join(release, name)
        if os.path.isdir(path):
            return path
    return None


def check_release(kind, release, probe):
    """The 64- and 32-bit DLL folders of a DXVK or VKD3D-Proton release directory."""
    x64 = dll_folder(release, ["x64"])
    x32 = dll_folder(release, ["x32", "x86"])
    if x64 is None or not exists(os.path.join(x64, probe)):
        raise InstallError("%s is not a %s release directory (no x64/%s in it)"
                           % (release, kind, probe))
    return x64, x32


def lay_in_dlls(folder, folders):
    """Copies the DLLs of a release into {folder}/{x86_64,i386}-windows."""
    x64, x32 = folders
    for source, arch in ((x64, "x86_64-windows"), (x32, "i386-windows")):
        if source is None:
            continue
        target = os.path.join(folder, arch)
        os.makedirs(target)
        for file in sorted(os.listdir(source)):
            if file.lower().endswith(".dll") and os.path.isfile(os.path.join(source, file)):
                copy_program(os.path.join(source, file), os.path.join(target, file), 0o644)
