#!/usr/bin/env python3
"""Installs pelto where the Steam client looks for compatibility tools.

    python3 install.py                 # into {Steam}/compatibilitytools.d/pelto
    python3 install.py --uninstall     # removes that installation again

{Steam} is the Steam installation ~/.steam/root leads to, else the first one found among the
usual places (Valve's package, Debian's, Flatpak, Snap); --steam and --dest choose another.

The installed tree holds the launcher `pelto`, Steam's two tool files (toolmanifest.vdf and
compatibilitytool.vdf), pelto's version, a Wine tree made of links into the chosen Wine build
or, for a sandboxed Steam and with --copy-wine, a copy of it (so the launcher finds Wine beside
itself), copies of Wine's Windows modules without their debug sections with the Steam bridge
steam.exe among the 64-bit ones, optional DXVK and VKD3D-Proton DLLs, and share/default_pfx: a
prefix made once by Wine's wineboot, which every new game's prefix is laid from in a fraction of
a second instead of running wineboot.

The whole tree is built in a staging directory beside the destination and swapped in with one
rename, so an interrupted run leaves the previous installation working, and running it again
ends in the same state. A destination that is not a pelto installation is never touched.

Python 3 standard library only.
"""

import argparse
import concurrent.futures
import ctypes
import errno
import fcntl
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.abspath(__file__))
TOOL_NAME = "pelto"
# Where a Steam installation keeps the compatibility tools of its user.
TOOLS_FOLDER = "compatibilitytools.d"
# The destination when no Steam installation is found: where the Steam client installed from
# Valve's own package will look.
DEFAULT_DEST = "~/.local/share/Steam/%s/%s" % (TOOLS_FOLDER, TOOL_NAME)
# The Steam client reads a user's tools from ~/.steam/root/compatibilitytools.d, and
# ~/.steam/root leads to the installation it runs from.
STEAM_ROOT_LINK = ".steam/root"
FLATPAK_APP = ".var/app/com.valvesoftware.Steam"
SNAP_APP = "snap/steam"
# Where the user's Steam installations are looked for, relative to HOME, in this order: the
# one ~/.steam/root leads to, Valve's package, Debian's and Ubuntu's package, Flatpak (its
# data/Steam leads to the same folder) and Snap (which has a ~/.steam/root of its own).
STEAM_CANDIDATES = [STEAM_ROOT_LINK, ".local/share/Steam", ".steam/debian-installation",
                    FLATPAK_APP + "/.local/share/Steam", FLATPAK_APP + "/data/Steam",
                    SNAP_APP + "/common/.local/share/Steam",
                    SNAP_APP + "/common/" + STEAM_ROOT_LINK]
# A folder counts as a Steam installation when it holds one of these (files, or the folder
# ubuntu12_32): what the Steam client unpacks into every installation it runs from.
STEAM_MARKS = ["steam.sh", "ubuntu12_32/", "linux64/steamclient.so"]
# The manifest's command line; its presence marks a directory as a pelto installation.
COMMAND_LINE = "/pelto %verb%"
# Wine's template user: the profile name the launcher expects in every prefix.
PREFIX_USER = "steamuser"
TEMPLATE_TIMEOUT_S = 600
STEPS = 6

# "use_tool_subprocess_reaper": Steam ends the tool's leftover processes when a game ends.
TOOL_MANIFEST = """\
"manifest"
{
  "version" "2"
  "commandline" "%s"
  "use_tool_subprocess_reaper" "1"
}
""" % COMMAND_LINE

COMPATIBILITY_TOOL = """\
"compatibilitytools"
{
  "compat_tools"
  {
    "%s"
    {
      "install_path" "."
      "display_name" "pelto %s"
      "from_oslist" "windows"
      "to_oslist" "linux"
    }
  }
}
"""

# Where a Wine build is looked for when --wine is not given, in this order.
WINE_CANDIDATES = ["/usr", "/opt/wine-stable", "/opt/wine-staging", "/opt/wine-devel",
                   "/usr/local"]
DEBIAN_MULTIARCH = "lib/x86_64-linux-gnu/wine"
DEBIAN_MULTIARCH_32 = "lib/i386-linux-gnu/wine"

# Debian 12 packages that bring what a step needs.
PACKAGES = {
    "wine": "wine64",
    "cmake": "cmake",
    "ninja": "ninja-build",
    "c++": "g++",
    "mingw": "gcc-mingw-w64-x86-64",
    "winebuild": "wine64-tools",
}

# The version goes into Steam's VDF file, between quotes: digits and dots only.
VERSION_FORM = re.compile(r"[0-9]+(\.[0-9]+)*")

RENAME_NOREPLACE = 1
RENAME_EXCHANGE = 2
AT_FDCWD = -100


class InstallError(Exception):
    """A step failed; the message says what and where."""


class Interrupted(Exception):
    """SIGTERM or SIGHUP arrived; handled like Ctrl-C."""


def say(text="", stream=None):
    """Writes one line of progress. Output is only informational: a closed terminal or pipe
    must not stop an install half-way."""
    try:
        print(text, file=stream or sys.stdout, flush=True)
    except OSError:
        pass


def step(number, text):
    say("[%d/%d] %s" % (number, STEPS, text))


# ---------------------------------------------------------------------------------------------
# The Wine build


DEBIAN_LAYOUT = "Debian's wine64 layout"
UPSTREAM_LAYOUT = "upstream layout"
# Wine's 32-bit half on Debian, from the i386 architecture.
DEBIAN_32BIT_INSTALL = ("sudo dpkg --add-architecture i386 && sudo apt-get update && "
                        "sudo apt-get install wine32:i386")
# Debian packages Wine's preloaders apart from the loaders they belong to.
DEBIAN_PRELOADER_PACKAGES = {"wine64": "wine64-preloader", "wine": "wine32-preloader:i386"}


class WineBuild:
    """What the installed tree takes from a Wine build: the loaders and the server, the unix
    and Windows module folders, the data folder."""

    def __init__(self, root, debian):
        self.root = root
        self.debian = debian
        self.layout = DEBIAN_LAYOUT if debian else UPSTREAM_LAYOUT
        self.share_dir = os.path.join(root, "share/wine")
        if debian:
            # Debian keeps the loaders and servers in lib/wine, and the modules of each
            # architecture in its multiarch folder.
            self.bin_dir = os.path.join(root, "lib/wine")
            self.lib_dir = os.path.join(root, DEBIAN_MULTIARCH)
            self.lib32_dir = os.path.join(root, DEBIAN_MULTIARCH_32)
            self.loader = os.path.join(self.bin_dir, "wine64")
            self.loader32 = os.path.join(self.bin_dir, "wine")
            server = os.path.join(self.bin_dir, "wineserver64")
            self.wineserver = server if exists(server) \
                else os.path.join(self.bin_dir, "wineserver")
        else:
            self.bin_dir = os.path.join(root, "bin")
            self.lib_dir = self.lib32_dir = os.path.join(root, "lib/wine")
            self.loader = self.loader32 = os.path.join(self.bin_dir, "wine")
            if not exists(self.loader):
                # A 64-bit-only build of older Wine has only wine64.
                self.loader = os.path.join(self.bin_dir, "wine64")
            self.wineserver = os.path.join(self.bin_dir, "wineserver")
        # Debian's loader re-executes itself under the name it was started with, looked up in
        # its own folder, so it must be started under its own name: bin/wine is then a two-line
        # script that runs it, not a link.
        self.loader_needs_script = os.path.basename(self.loader) == "wine64"
        self.modules64 = os.path.join(self.lib_dir, "x86_64-windows")
        self.modules32 = os.path.join(self.lib32_dir, "i386-windows")
        self.why_no_32bit = self.check_32bit()

    def check_32bit(self):
        """None when the build runs 32-bit programs, else why not and what to do."""
        ntdll32 = os.path.join(self.modules32, "ntdll.dll")
        unix32 = os.path.join(self.lib32_dir, "i386-unix/ntdll.so")
        if self.debian:
            lacking = [path for path in (self.loader32, ntdll32, unix32) if not exists(path)]
            if not lacking:
                return None
            return ("Wine's 32-bit half is not installed (no %s); to run 32-bit games, install "
                    "it: %s" % (" and no ".join(lacking), DEBIAN_32BIT_INSTALL))
        if not exists(ntdll32):
            return ("this Wine build has no 32-bit modules (no %s): 32-bit games need a build "
                    "with them" % ntdll32)
        if exists(unix32) and exists(self.loader32):
            return None
        # A WoW64 build runs 32-bit modules from its 64-bit loader alone.
        if elf_class(self.loader32) == 64:
            return None
        return ("this Wine build has 32-bit modules but neither their unix side (%s with "
                "bin/wine) nor a WoW64 loader: 32-bit games need a build with one" % unix32)

    def loaders(self):
        """The loaders the build starts programs with: the 64-bit one, and the 32-bit one."""
        found = [self.loader]
        if self.why_no_32bit is None and self.loader32 not in found and exists(self.loader32):
            found.append(self.loader32)
        if not self.debian:
            wine64 = os.path.join(self.bin_dir, "wine64")
            if exists(wine64) and wine64 not in found:
                found.append(wine64)
        return found

    def missing_preloaders(self):
        """(preloader, what to do) for each loader whose preloader is missing. Wine uses the
        preloader beside its loader to reserve the address ranges Windows programs expect;
        without it a start now and then fails at random."""
        missing = []
        for loader in self.loaders():
            preloader = loader + "-preloader"
            if exists(preloader):
                continue
            package = DEBIAN_PRELOADER_PACKAGES.get(os.path.basename(loader))
            if self.debian and package:
                missing.append((preloader, "install it: sudo apt-get install %s" % package))
            else:
                missing.append((preloader, "use a Wine build that has it"))
        return missing


def exists(path):
    return os.path.exists(path)


def elf_class(path):
    """32 or 64 for an ELF executable (links followed), None for anything else."""
    try:
        with open(path, "rb") as file:
            head = file.read(5)
    except OSError:
        return None
    if head[:4] != b"\x7fELF":
        return None
    return {1: 32, 2: 64}.get(head[4])


def detect_wine(root):
    """The Wine build at `root`, or None when `root` holds neither known layout."""
    if exists(os.path.join(root, "lib/wine/wine64")) and \
            exists(os.path.join(root, DEBIAN_MULTIARCH, "x86_64-unix/ntdll.so")):
        return WineBuild(root, True)
    lib = os.path.join(root, "lib/wine")
    needed = [os.path.join(lib, "x86_64-unix/ntdll.so"), os.path.join(lib, "x86_64-windows"),
              os.path.join(root, "share/wine"), os.path.join(root, "bin/wineserver")]
    if all(exists(path) for path in needed) and \
            any(exists(os.path.join(root, "bin", name)) for name in ("wine", "wine64")):
        return WineBuild(root, False)
    return None


def find_wine(given):
    """The Wine build to bundle and, when there is none, why not."""
    if given:
        root = os.path.abspath(os.path.expanduser(given))
        wine = detect_wine(root)
        if wine is None:
            return None, ("%s is not a Wine build (expected Debian's layout with lib/wine/wine64 "
                          "and %s, or bin/wine, bin/wineserver, lib/wine/x86_64-unix/ntdll.so, "
                          "lib/wine/x86_64-windows and share/wine)" % (root, DEBIAN_MULTIARCH))
        return wine, None
    for root in WINE_CANDIDATES:
        wine = detect_wine(root)
        if wine is not None:
            return wine, None
    return None, "no Wine build found in %s" % ", ".join(WINE_CANDIDATES)


def wine_version(wine):
    try:
        result = subprocess.run([wine.loader, "--version"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, timeout=30)
        return result.stdout.decode("utf-8", "replace").strip() or "version unknown"
    except (OSError, subprocess.SubprocessError):
        return "version unknown"


# ---------------------------------------------------------------------------------------------
# Building pelto and the bridge


def which(name, extra_dirs=()):
    found = shutil.which(name)
    if found:
        return found
    for directory in extra_dirs:
        path = os.path.join(directory, name)
        if os.access(path, os.X_OK):
            return path
    return None


def built_files(build_dir):
    return os.path.join(build_dir, "pelto"), os.path.join(build_dir, "bridge", "steam.exe")


def pelto_version(build_dir):
    """pelto's version: the build directory's "version" file (written by CMake), else the
    project() line of CMakeLists.txt."""
    text = ""
    try:
        with open(os.path.join(build_dir, "version")) as file:
            text = file.read().strip()
    except OSError:
        pass
    if not VERSION_FORM.fullmatch(text):
        try:
            with open(os.path.join(REPO, "CMakeLists.txt")) as file:
                found = re.search(r"^\s*project\s*\(\s*pelto\s+VERSION\s+(\S+)", file.read(),
                                  re.MULTILINE)
            text = found.group(1) if found else ""
        except OSError:
            text = ""
    if not VERSION_FORM.fullmatch(text):
        raise InstallError("cannot tell pelto's version: neither %s/version nor the project() "
                           "line of %s/CMakeLists.txt gives one" % (build_dir, REPO))
    return text


def missing_build_tools():
    """(what, package) for every tool the build needs and this machine lacks."""
    missing = []
    if not which("cmake"):
        missing.append(("cmake", PACKAGES["cmake"]))
    if not which("ninja"):
        missing.append(("ninja", PACKAGES["ninja"]))
    if not (which("c++") or which("g++")):
        missing.append(("a C++ compiler (g++)", PACKAGES["c++"]))
    if not which("x86_64-w64-mingw32-gcc"):
        missing.append(("the mingw-w64 compiler x86_64-w64-mingw32-gcc", PACKAGES["mingw"]))
    if not which("winebuild", ["/usr/lib/wine"]):
        missing.append(("winebuild", PACKAGES["winebuild"]))
    return missing


def build(build_dir):
    """Configures and builds the Release pelto and the bridge in `build_dir`."""
    configure = ["cmake", "-S", REPO, "-B", build_dir, "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"]
    compile_ = ["cmake", "--build", build_dir, "--target", "pelto", "pelto_bridge",
                "--parallel", str(os.cpu_count() or 2)]
    for command in (configure, compile_):
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            output = result.stdout.decode("utf-8", "replace")
            raise InstallError("%s failed:\n%s" % (" ".join(command), output[-4000:]))


# ---------------------------------------------------------------------------------------------
# The user's Steam installations


def marks_text(word="or"):
    return "%s %s %s" % (", ".join(STEAM_MARKS[:-1]), word, STEAM_MARKS[-1])


def looks_like_steam(path):
    for mark in STEAM_MARKS:
        target = os.path.join(path, mark.rstrip("/"))
        if os.path.isdir(target) if mark.endswith("/") else os.path.isfile(target):
            return True
    return False


def inside(path, root):
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def sandbox_of(path, home):
    """"Flatpak" or "Snap" when the real path of `path` lies in the folder of that sandboxed
    Steam, else None."""
    real = os.path.realpath(path)
    for name, app in (("Flatpak", FLATPAK_APP), ("Snap", SNAP_APP)):
        if inside(real, os.path.realpath(os.path.join(home, app))):
            return name
    return None


class SteamInstallations:
    """The user's Steam installations, each once by its real path, in the order of
    STEAM_CANDIDATES, and the one ~/.steam/root leads to (None when it leads to none)."""

    def __init__(self, home):
        self.home = home
        self.found = []
        self.root_target = None
        for relative in STEAM_CANDIDATES:
            path = os.path.join(home, relative)
            if not exists(path):
                continue
            real = os.path.realpath(path)
            if not looks_like_steam(real):
                continue
            if relative == STEAM_ROOT_LINK:
                self.root_target = real
            if real not in self.found:
                self.found.append(real)

    def kind(self, path):
        return sandbox_of(path, self.home) or "native"


def tool_dir_of(steam):
    return os.path.join(steam, TOOLS_FOLDER, TOOL_NAME)


class Destination:
    """Where to install (or uninstall), why there, and the other places one could choose."""

    def __init__(self, options, steam):
        self.steam = steam
        self.installation = None
        self.notes = []
        if options.dest:
            self.path = os.path.abspath(os.path.expanduser(options.dest))
            self.why = "given with --dest"
            if options.steam:
                self.notes.append("--steam is ignored: --dest names the destination")
        elif options.steam:
            given = os.path.abspath(os.path.expanduser(options.steam))
            if not looks_like_steam(given):
                raise InstallError(
                    "%s does not look like a Steam installation (it holds neither %s); give "
                    "--steam the folder ~/.steam/root leads to, or --dest the folder to install "
                    "into" % (given, marks_text("nor")))
            self.installation = os.path.realpath(given)
            self.why = "the Steam installation given with --steam"
        elif steam.root_target:
            self.installation = steam.root_target
            self.why = "the Steam installation that ~/%s leads to" % STEAM_ROOT_LINK
        elif steam.found:
            self.installation = steam.found[0]
            self.why = ("the first Steam installation found (~/%s leads to none)"
                        % STEAM_ROOT_LINK)
        else:
            self.path = os.path.abspath(os.path.expanduser(DEFAULT_DEST))
            self.why = None
            self.notes.append("No Steam installation found: none of ~/%s holds %s."
                              % (", ~/".join(STEAM_CANDIDATES), marks_text()))
        if self.installation:
            self.path = tool_dir_of(self.installation)
        self.sandbox = self.sandbox_kind()

    def sandbox_kind(self):
        """"Flatpak" or "Snap" when the tool is for a sandboxed Steam, else None: by the Steam
        installation it is for, or, for --dest, by where the destination really lies. A
        destination that leads out of the sandbox's folder gets a warning."""
        home = self.steam.home
        if not self.installation:
            return sandbox_of(self.path, home)
        kind = sandbox_of(self.installation, home)
        tools = os.path.dirname(self.path)
        if kind and sandbox_of(tools, home) != kind:
            self.notes.append("Warning: %s leads out of the %s Steam's folder (to %s): the "
                              "sandboxed Steam may not see the tool there"
                              % (tools, kind, os.path.realpath(tools)))
        return kind

    def report(self, uninstalling):
        """The lines that say why this destination, and how to choose another."""
        lines = ["      (%s%s)" % (self.why, self.kind_text(self.installation))] \
            if self.why else []
        lines += ["      %s" % note for note in self.notes]
        others = [path for path in self.steam.found if path != self.installation
                  and tool_dir_of(path) != self.path]
        if others:
            lines.append("      Other Steam installations found; to %s there instead:"
                         % ("remove pelto" if uninstalling else "install pelto"))
        for path in others:
            there = " (pelto is installed there)" \
                if is_pelto_installation(tool_dir_of(path)) else ""
            lines.append("        python3 install.py --steam %s%s    # %s%s"
                         % (shell_quote(path), " --uninstall" if uninstalling else "",
                            self.steam.kind(path), there))
        # What an earlier install.py put in the old default place, where no Steam is.
        legacy = os.path.abspath(os.path.expanduser(DEFAULT_DEST))
        if legacy != self.path and is_pelto_installation(legacy) \
                and not any(tool_dir_of(path) == legacy for path in self.steam.found):
            lines.append("      An earlier pelto installation is in %s; to remove it:" % legacy)
            lines.append("        python3 install.py --dest %s --uninstall"
                         % shell_quote(legacy))
        return lines

    def kind_text(self, installation):
        return ", %s Steam" % self.steam.kind(installation) if installation else ""


def shell_quote(text):
    return "'%s'" % text.replace("'", "'\\''")


# ---------------------------------------------------------------------------------------------
# The destination


def is_pelto_installation(path):
    """True when `path` holds a pelto toolmanifest.vdf (a regular file, links not followed)."""
    manifest = os.path.join(path, "toolmanifest.vdf")
    try:
        if not stat.S_ISREG(os.lstat(manifest).st_mode):
            return False
        with open(manifest, "rb") as file:
            text = file.read(65536).decode("utf-8", "replace")
    except OSError:
        return False
    return ('"%s"' % COMMAND_LINE) in text


def destination_state(dest):
    """"absent", "empty" or "pelto"; raises InstallError for anything else."""
    try:
        status = os.lstat(dest)
    except FileNotFoundError:
        return "absent"
    if stat.S_ISLNK(status.st_mode):
        raise InstallError("%s is a symbolic link; not touching it (remove it, or give the "
                           "directory it leads to with --dest)" % dest)
    if not stat.S_ISDIR(status.st_mode):
        raise InstallError("%s exists and is not a directory; not touching it" % dest)
    if is_pelto_installation(dest):
        return "pelto"
    if not os.listdir(dest):
        return "empty"
    raise InstallError("%s exists and is not a pelto installation (it has no pelto "
                       "toolmanifest.vdf); not touching it. Move it away or choose another "
                       "--dest." % dest)


def check_tools_folder(parent):
    """Refuses a compatibility tools folder that cannot hold the tool: a dangling link or
    something that is not a folder, saying which."""
    if not os.path.lexists(parent) or os.path.isdir(parent):
        return
    if os.path.islink(parent):
        raise InstallError("%s is a link to %s, which does not exist; create that folder or "
                           "remove the link" % (parent, os.readlink(parent)))
    raise InstallError("%s is not a folder; move it away and run install.py again" % parent)


def lock_parent(parent):
    """Holds an exclusive lock on the destination's folder for the rest of the run, so that two
    runs never clean up each other's staging directories."""
    fd = os.open(parent, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        say("Another install.py is working in %s; waiting for it..." % parent)
        fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def staging_prefix(dest):
    return ".%s.install-" % os.path.basename(dest)


def remove_leftovers(dest):
    """Removes staging directories that an interrupted run left beside the destination, after
    ending the Wine processes that may still be making a template in one."""
    parent = os.path.dirname(dest)
    for name in os.listdir(parent):
        path = os.path.join(parent, name)
        if not name.startswith(staging_prefix(dest)) or os.path.islink(path) \
                or not os.path.isdir(path):
            continue
        say("Removing %s, left by an interrupted run" % path)
        tree = os.path.join(path, "tree")
        _, env = template_env(tree, os.path.join(tree, "share/default_pfx"),
                              os.path.join(path, "scratch"))
        stop_wine(env["WINESERVER"], env)
        shutil.rmtree(path, ignore_errors=True)


def renameat2(source, target, flags):
    """renameat2(2) through the C library; raises OSError (ENOSYS when there is none)."""
    try:
        function = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        raise OSError(errno.ENOSYS, "renameat2 is not available")
    function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                         ctypes.c_uint]
    if function(AT_FDCWD, os.fsencode(source), AT_FDCWD, os.fsencode(target), flags) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error), target)


def swap_in(tree, dest, state, staging):
    """Puts `tree` at `dest`; a previous installation ends up inside `staging`."""
    if state == "empty":
        os.rmdir(dest)
        state = "absent"
    if state == "absent":
        try:
            renameat2(tree, dest, RENAME_NOREPLACE)
        except OSError as error:
            if error.errno not in (errno.ENOSYS, errno.EINVAL):
                raise
            os.rename(tree, dest)
        return
    try:
        # One step: at every moment either the old or the new tree is in place.
        renameat2(tree, dest, RENAME_EXCHANGE)
    except OSError as error:
        if error.errno not in (errno.ENOSYS, errno.EINVAL):
            raise
        # No exchange on this system or file system: two renames, with the destination
        # missing for the moment between them. Should the second fail, the previous
        # installation goes back to its place.
        previous = os.path.join(staging, "previous")
        os.rename(dest, previous)
        try:
            os.rename(tree, dest)
        except OSError:
            os.rename(previous, dest)
            raise


class BlockedSignals:
    """Keeps SIGINT, SIGTERM and SIGHUP waiting while the trees are being renamed."""

    SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

    def __enter__(self):
        self.old = signal.pthread_sigmask(signal.SIG_BLOCK, self.SIGNALS)

    def __exit__(self, *unused):
        signal.pthread_sigmask(signal.SIG_SETMASK, self.old)


# ---------------------------------------------------------------------------------------------
# The installed tree


def symlink(target, path):
    os.symlink(target, path)


def copy_program(source, target, mode=0o755):
    # A plain copy with a fresh modification time: the launcher copies the bridge into each
    # prefix again only when its source is newer than the prefix's copy.
    shutil.copyfile(source, target)
    os.chmod(target, mode)


def lay_out_wine(tree, wine, skip_lib_entries):
    """bin/, lib/wine/ and share/wine of the installed tree, linked into the Wine build."""
    bin_dir = os.path.join(tree, "bin")
    os.makedirs(bin_dir)
    loader = os.path.join(bin_dir, "wine")
    if wine.loader_needs_script:
        write_script(loader, "#!/bin/sh\nexec %s \"$@\"\n" % shell_quote(wine.loader))
    else:
        symlink(wine.loader, loader)
    symlink(wine.wineserver, os.path.join(bin_dir, "wineserver"))

    lib = os.path.join(tree, "lib/wine")
    os.makedirs(lib)
    for name in sorted(os.listdir(wine.lib_dir)):
        # The module folders are the tool's own copies, laid in by lay_in_modules.
        if name in MODULE_FOLDERS or name in skip_lib_entries:
            continue
        symlink(os.path.join(wine.lib_dir, name), os.path.join(lib, name))

    share = os.path.join(tree, "share")
    os.makedirs(share)
    symlink(wine.share_dir, os.path.join(share, "wine"))


# A loader or server started through a script of the tool, found relative to the script, so
# that the tool leads nowhere outside itself. The shell's own expansion: no program runs first.
RELATIVE_EXEC = """#!/bin/sh
case $0 in */*) here=${0%%/*} ;; *) here=. ;; esac
exec "$here/%s" %s"$@"
"""


def write_script(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as file:
        file.write(text)
    os.chmod(path, 0o755)


def is_script(path):
    try:
        with open(path, "rb") as file:
            return file.read(2) == b"#!"
    except OSError:
        return False


class WineCopy:
    """The Wine build copied into the tool, for a Steam that runs the tool in a sandbox with a
    /usr of its own (Flatpak, Snap), where links into the system's Wine would lead nowhere.
    Debian's split layout keeps its relative form in the copy (lib/wine/wine64 beside
    lib/x86_64-linux-gnu/wine, share/wine beside lib), since Wine finds its modules, its
    programs and its data relative to its own files. Made only for a build that can be
    copied: otherwise InstallError says why and what to do."""

    def __init__(self, wine, skip_lib_entries, alternative):
        self.copies = []   # (source, path in the tool): files and folders
        self.links = []    # (path in the tool, relative link text)
        self.scripts = []  # (path in the tool, text)
        self.wine = wine
        self.alternative = alternative
        for program in wine.loaders() + [wine.wineserver]:
            self.check_program(program)
        if wine.debian:
            self.lay_out_debian(skip_lib_entries)
        else:
            self.lay_out_upstream(skip_lib_entries)
        for source, _ in self.copies:
            if not exists(source):
                self.refuse("%s is missing" % source)
        self.tree_links = self.plan_links()

    def refuse(self, reason):
        raise InstallError("cannot copy the Wine build %s into the tool: %s. %s"
                           % (self.wine.root, reason, self.alternative))

    def check_program(self, path):
        if is_script(path):
            self.refuse("%s is a script, and what it starts cannot be known" % path)
        if elf_class(path) is None:
            self.refuse("%s is %s" % (path, "not a program" if exists(path) else "missing"))

    def lay_out_debian(self, skip):
        wine = self.wine
        names = ["wine64", "wine64-preloader", os.path.basename(wine.wineserver)]
        if wine.why_no_32bit is None:
            names += ["wine", "wine-preloader"]
        for name in names:
            if exists(os.path.join(wine.bin_dir, name)):
                self.copies.append((os.path.join(wine.bin_dir, name), "lib/wine/" + name))
        for name in sorted(os.listdir(wine.lib_dir)):
            if name not in MODULE_FOLDERS and name not in skip:
                self.copies.append((os.path.join(wine.lib_dir, name),
                                    os.path.join(DEBIAN_MULTIARCH, name)))
                self.links.append(("lib/wine/" + name, "../x86_64-linux-gnu/wine/" + name))
        self.links.append((DEBIAN_MULTIARCH + "/x86_64-windows", "../../wine/x86_64-windows"))
        if wine.why_no_32bit is None:
            self.copies.append((os.path.join(wine.lib32_dir, "i386-unix"),
                                DEBIAN_MULTIARCH_32 + "/i386-unix"))
            self.links.append((DEBIAN_MULTIARCH_32 + "/i386-windows", "../../wine/i386-windows"))
        self.copies.append((wine.share_dir, "share/wine"))
        # Debian's lib/wine/wineserver is a script that starts /usr/lib/wine/wineserver64;
        # Wine starts the server of its own folder.
        self.scripts.append(("lib/wine/wineserver",
                             RELATIVE_EXEC % (os.path.basename(wine.wineserver), "-p0 ")))
        self.scripts.append(("bin/wine", RELATIVE_EXEC % ("../lib/wine/wine64", "")))
        self.links.append(("bin/wineserver", "../lib/wine/" + os.path.basename(wine.wineserver)))

    def lay_out_upstream(self, skip):
        wine = self.wine
        for name in ("wine", "wine64", "wine-preloader", "wine64-preloader", "wineserver"):
            if exists(os.path.join(wine.bin_dir, name)):
                self.copies.append((os.path.join(wine.bin_dir, name), "bin/" + name))
        if wine.loader_needs_script:
            self.scripts.append(("bin/wine", RELATIVE_EXEC % ("wine64", "")))
        for name in sorted(os.listdir(wine.lib_dir)):
            if name not in MODULE_FOLDERS and name not in skip:
                self.copies.append((os.path.join(wine.lib_dir, name), "lib/wine/" + name))
        self.copies.append((wine.share_dir, "share/wine"))

    def plan_links(self):
        """The text each link inside a copied folder gets in the tool, by the link's path: a
        relative link to where its target lands in the copy, also for an absolute one. A link
        that leads outside what is copied, or forms a loop, refuses the copy; a dangling one
        is left out."""
        roots = [(os.path.realpath(source), relative) for source, relative in self.copies]

        def in_tool(real):
            for root, relative in roots:
                if inside(real, root):
                    return os.path.normpath(os.path.join(relative, os.path.relpath(real, root)))
            return None

        links = {}
        for source, relative in self.copies:
            if not os.path.isdir(source):
                continue
            for directory, folders, files in os.walk(source):
                for name in folders + files:
                    path = os.path.join(directory, name)
                    if not os.path.islink(path) or not copied_name(name):
                        continue
                    try:
                        real = os.path.realpath(path, strict=True)
                    except OSError as error:
                        if error.errno == errno.ELOOP:
                            self.refuse("the link %s -> %s forms a loop"
                                        % (path, os.readlink(path)))
                        continue
                    target = in_tool(real)
                    if target is None:
                        self.refuse("the link %s -> %s leads outside the Wine build"
                                    % (path, os.readlink(path)))
                    at = os.path.join(relative, os.path.relpath(path, source))
                    links[path] = os.path.relpath(target, os.path.dirname(at))
        return links

    def size(self):
        """The bytes the copy takes: each file once, links not followed."""
        seen = set()

        def size_of(status):
            key = (status.st_dev, status.st_ino)
            if not stat.S_ISREG(status.st_mode) or key in seen:
                return 0
            seen.add(key)
            return status.st_size

        total = 0
        for source, _ in self.copies:
            if not os.path.isdir(source):
                total += size_of(os.stat(source))
                continue
            for directory, _, files in os.walk(source):
                total += sum(size_of(os.lstat(os.path.join(directory, name)))
                             for name in files if copied_name(name))
        return total

    def lay_out(self, tree):
        for source, relative in self.copies:
            target = os.path.join(tree, relative)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if os.path.isdir(source):
                copy_folder(source, target, self.tree_links)
            else:
                shutil.copy2(source, target)
        for relative, text in self.links:
            os.makedirs(os.path.dirname(os.path.join(tree, relative)), exist_ok=True)
            symlink(text, os.path.join(tree, relative))
        for relative, text in self.scripts:
            write_script(os.path.join(tree, relative), text)


def copied_name(name):
    """Whether a file of the Wine build goes into a copy: all but the import libraries (*.a),
    which only building Winelib programs needs."""
    return not name.endswith(".a")


def copy_folder(source, target, links):
    """Copies the folder `source` to `target`; each link in it becomes the link `links` gives
    it (one that is not there, a dangling one, is left out)."""
    os.makedirs(target)
    for name in sorted(os.listdir(source)):
        path = os.path.join(source, name)
        if not copied_name(name):
            continue
        into = os.path.join(target, name)
        if os.path.islink(path):
            if path in links:
                symlink(links[path], into)
        elif os.path.isdir(path):
            copy_folder(path, into, links)
        else:
            shutil.copy2(path, into)


def refuse_links_leading_out(tree):
    leading_out = links_leading_out(tree)
    if leading_out:
        raise InstallError(
            "the tool's own Wine would lead outside it, through %s; not installing it"
            % ", ".join("%s -> %s" % (os.path.relpath(path, tree), os.readlink(path))
                        for path in leading_out[:5]))


def links_leading_out(tree):
    """The links in `tree` that are absolute or lead outside it, but the template's drive Z:,
    which is "/" by design."""
    root = os.path.realpath(tree)
    drive_z = os.path.join(tree, "share/default_pfx/dosdevices/z:")
    found = []
    for directory, folders, files in os.walk(tree):
        for name in folders + files:
            path = os.path.join(directory, name)
            if os.path.islink(path) and path != drive_z and \
                    (os.path.isabs(os.readlink(path)) or
                     not inside(os.path.realpath(path), root)):
                found.append(path)
    return found


# ---------------------------------------------------------------------------------------------
# Wine's Windows modules

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


def module_sets(wine):
    """The module sets the tool gets: the 64-bit one, and the 32-bit one when the build runs
    32-bit programs (the launcher takes lib/wine/i386-windows/ntdll.dll for that sign)."""
    sets = [ModuleSet("x86_64-windows", wine.modules64)]
    if wine.why_no_32bit is None:
        sets.append(ModuleSet("i386-windows", wine.modules32))
    return sets


def module_names(folder):
    """The Windows modules in a module folder: its files, links followed, but the import
    libraries (*.a), which only building Winelib programs needs, and a steam.exe, since the tool
    brings its own."""
    return sorted(name for name in os.listdir(folder)
                  if not name.endswith(".a") and name != "steam.exe"
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


def in_parallel(function, items):
    """function(item) for every item on as many threads as there are cores (each mostly waits
    for a program or the disk); the results in order. The first error stops what has not
    started yet and is raised."""
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2)
    try:
        results = list(pool.map(function, items))
    except BaseException:
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown()
    return results


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
    its debug sections, and no module twice. Returns (files, bytes) replaced."""
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


def megabytes(size):
    return "%d MB" % round(size / 1e6)


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


def lay_in_dlls(tree, name, folders):
    """Copies the DLLs of a release into lib/wine/{name}/{x86_64,i386}-windows."""
    x64, x32 = folders
    for source, arch in ((x64, "x86_64-windows"), (x32, "i386-windows")):
        if source is None:
            continue
        target = os.path.join(tree, "lib/wine", name, arch)
        os.makedirs(target)
        for file in sorted(os.listdir(source)):
            if file.lower().endswith(".dll") and os.path.isfile(os.path.join(source, file)):
                copy_program(os.path.join(source, file), os.path.join(target, file), 0o644)


def carry_over(previous, tree, relative):
    """Copies `relative` from the previous installation when it has it; True when it did."""
    source = os.path.join(previous, relative)
    if os.path.islink(source) or not exists(source):
        return False
    target = os.path.join(tree, relative)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    # What the player put there before wins over a link into the Wine build laid out just now.
    if os.path.islink(target):
        os.unlink(target)
    # Times are kept: prefixes that already hold these files need not take them again.
    if os.path.isdir(source):
        shutil.copytree(source, target, symlinks=True)
    else:
        shutil.copy2(source, target)
    return True


# ---------------------------------------------------------------------------------------------
# The shared template


def template_env(tree, prefix, scratch):
    """The environment the launcher gives wineboot, with a private TMPDIR and HOME."""
    lib = os.path.join(tree, "lib/wine")
    env = dict(os.environ)
    unix_loader = os.path.join(lib, "x86_64-unix/wine")
    loader = unix_loader if exists(unix_loader) else os.path.join(tree, "bin/wine")
    dll_path = [path for path in (os.path.join(lib, "x86_64-unix"),
                                  os.path.join(lib, "x86_64-windows"),
                                  "/usr/lib/wine/x86_64-unix", "/usr/lib/wine/x86_64-windows")
                if exists(path)]
    library_path = [path for path in (os.path.join(lib, "x86_64-unix"),
                                      os.path.join(tree, "lib")) if exists(path)]
    if "LD_LIBRARY_PATH" in os.environ:
        library_path.append(os.environ["LD_LIBRARY_PATH"])
    env.update({
        "WINEPREFIX": prefix,
        "USER": PREFIX_USER,
        "WINESERVER": os.path.join(tree, "bin/wineserver"),
        "LD_LIBRARY_PATH": ":".join(library_path),
        "WINELOADER": loader,
        "WINEDLLPATH": ":".join(dll_path),
        "WINEDLLDIR0": "\\??\\Z:" + lib,
        "WINEDEBUG": os.environ.get("WINEDEBUG", "-all"),
        # Wine's menu builder would write menu entries and file associations into HOME.
        "WINEDLLOVERRIDES": "winemenubuilder.exe=d",
        # Debian's Wine keeps its server directory under TMPDIR; Wine links the profile's
        # folders into HOME and writes menu entries there: neither belongs to the player.
        "TMPDIR": os.path.join(scratch, "tmp"),
        "HOME": os.path.join(scratch, "home"),
    })
    preload = [item for item in os.environ.get("LD_PRELOAD", "").split(":")
               if item and "gameoverlayrenderer" not in item]
    if preload:
        env["LD_PRELOAD"] = ":".join(preload)
    else:
        env.pop("LD_PRELOAD", None)
    # No windows: without a display Wine shows no progress or add-on download dialog, which
    # would wait for a click; add-ons found on this machine are still installed.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return loader, env


def processes_of_prefix(prefix):
    """The ids of the processes whose environment holds WINEPREFIX={prefix}."""
    wanted = b"WINEPREFIX=" + os.fsencode(prefix)
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as file:
                if wanted in file.read().split(b"\0"):
                    found.append(int(name))
        except OSError:
            continue
    return found


def stop_wine(server, env):
    """Ends the Wine session of env's prefix: "wineserver -k", then SIGKILL to whatever of that
    prefix still runs a while later. Every wait is bounded."""
    prefix = env["WINEPREFIX"]
    if os.path.lexists(server):
        try:
            subprocess.run([server, "-k"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        except (OSError, subprocess.SubprocessError):
            pass
    for _ in range(100):
        if not processes_of_prefix(prefix):
            return
        time.sleep(0.1)
    for pid in processes_of_prefix(prefix):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


class WineSession:
    """The template prefix's Wine processes; `stop` ends them when the run is cut short."""

    def __init__(self):
        self.server = None
        self.env = None

    def stop(self):
        if self.server is not None:
            stop_wine(self.server, self.env)
        self.server = None


def run_logged(command, env, log, timeout):
    with open(log, "ab") as output:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=output,
                              stderr=subprocess.STDOUT, timeout=timeout).returncode


def tail_of(path, limit=3000):
    try:
        with open(path, "rb") as file:
            return file.read().decode("utf-8", "replace")[-limit:]
    except OSError:
        return ""


def make_template(tree, staging, session):
    """Runs wineboot --init into share/default_pfx, waits for its wineserver, then removes what
    must not be shared between players."""
    prefix = os.path.join(tree, "share/default_pfx")
    scratch = os.path.join(staging, "scratch")
    for folder in ("tmp", "home"):
        os.makedirs(os.path.join(scratch, folder))
    os.makedirs(prefix)
    loader, env = template_env(tree, prefix, scratch)
    log = os.path.join(staging, "wineboot.log")
    session.server, session.env = env["WINESERVER"], env
    try:
        status = run_logged([loader, "wineboot", "--init"], env, log, TEMPLATE_TIMEOUT_S)
        # The registry files are written when the prefix's wineserver ends.
        wait = run_logged([env["WINESERVER"], "-w"], env, log, TEMPLATE_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        session.stop()
        raise InstallError("wineboot --init did not finish within %d s; its output:\n%s"
                           % (TEMPLATE_TIMEOUT_S, tail_of(log)))
    session.server = None
    if status != 0 or wait != 0 or not exists(os.path.join(prefix, "system.reg")):
        output = tail_of(log)
        # Wine tells no reason of its own when the disk is full.
        if free_space(prefix) < FULL_BELOW or "No space left on device" in output:
            raise InstallError("%s (wineboot --init failed: status %d, wineserver -w %d)"
                               % (no_space_text(prefix), status, wait))
        raise InstallError("wineboot --init failed (status %d, wineserver -w %d); its output:\n%s"
                           % (status, wait, output))
    clean_template(prefix)
    shutil.rmtree(scratch, ignore_errors=True)


def leads_inside(path, root):
    target = os.path.realpath(path)
    return target == root or target.startswith(root + os.sep)


def clean_template(prefix):
    """Leaves no link that leads out of the template but drive Z:, and no server file."""
    # Debian's Wine names its server directory (under the private TMPDIR) in this file; each
    # prefix made from the template gets a server of its own.
    server_file = os.path.join(prefix, "wineserver")
    if os.path.lexists(server_file) and not os.path.isdir(server_file):
        os.unlink(server_file)
    root = os.path.realpath(prefix)
    drive_z = os.path.join(prefix, "dosdevices", "z:")
    for directory, folders, files in os.walk(prefix):
        for name in folders + files:
            path = os.path.join(directory, name)
            if not os.path.islink(path) or path == drive_z or leads_inside(path, root):
                continue
            # Wine links the profile's Documents, Desktop and the like into the installing
            # user's home (here a private one): in a shared template they would send every
            # player's files there. Such a folder becomes an empty real one; other links (a
            # serial port, a drive of this machine) go.
            is_folder = os.path.isdir(path)
            os.unlink(path)
            if is_folder and path.startswith(os.path.join(prefix, "drive_c") + os.sep):
                os.mkdir(path)


# ---------------------------------------------------------------------------------------------
# Free space

# A template made by wineboot holds about one more copy of some of the modules it loads (winsxs,
# the windows folder), and registry files, code pages and fonts besides.
TEMPLATE_OVERHEAD = 0.15
TEMPLATE_EXTRA = 64 << 20
# pelto and steam.exe, before they are built.
BUILD_ESTIMATE = 16 << 20
# Free space below which a failed wineboot counts as one that found the disk full.
FULL_BELOW = 4 << 20


def existing_folder(path):
    """`path` or the nearest folder above it that exists."""
    while not os.path.isdir(path) and os.path.dirname(path) != path:
        path = os.path.dirname(path)
    return path


def mount_point(path):
    path = os.path.realpath(existing_folder(path))
    while not os.path.ismount(path):
        path = os.path.dirname(path)
    return path


def free_space(path):
    status = os.statvfs(existing_folder(path))
    return status.f_bavail * status.f_frsize


def space_needed(sets, wine_copy, built, release_files):
    """(bytes, what) for each part of the new tree at its largest, on the destination's file
    system: the tool's modules, the template as wineboot writes it (with its own copies of the
    modules, which become links to the tool's only afterwards), the copy of Wine."""
    stripped = all(modules.strip for modules in sets)
    modules = sum(modules.estimated_size() for modules in sets)
    booted = modules if wine_copy else sum(sum(modules.sizes) for modules in sets)
    parts = [(modules, "Wine's modules%s" % (" without their debug sections" if stripped else "")),
             (int(booted * (1 + TEMPLATE_OVERHEAD)) + TEMPLATE_EXTRA,
              "the prefix template while wineboot makes it")]
    if wine_copy:
        parts.append((wine_copy.size(), "the copy of the Wine build"))
    files = [path for path in list(built) + release_files if os.path.isfile(path)]
    programs = sum(os.stat(path).st_size for path in files) if files else BUILD_ESTIMATE
    parts.append((programs, "pelto, the Steam bridge and DXVK's or VKD3D-Proton's DLLs"))
    return parts


def check_space(dest, parts):
    """What the new tree needs and what is free, as a line; InstallError when it does not fit."""
    need = sum(size for size, _ in parts)
    free = free_space(os.path.dirname(dest))
    where = "on %s" % mount_point(os.path.dirname(dest))
    if need > free:
        raise InstallError(
            "not enough free space: the new installation needs about %s %s (the file system "
            "of %s), and %s is free there. It takes %s. Free some space there, or choose "
            "another destination; nothing was changed." % (
                megabytes(need), where, dest, megabytes(free),
                ", ".join("%s for %s" % (megabytes(size), what) for size, what in parts)))
    return "about %s needed %s, %s free" % (megabytes(need), where, megabytes(free))


def no_space_text(path):
    return ("no space left on device: the file system on %s is full (its space or its inodes, "
            "ENOSPC) while writing %s. The new installation's staging directory is removed; the "
            "previous installation, if any, is unchanged" % (mount_point(path), path))


# ---------------------------------------------------------------------------------------------
# The commands


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="install.py",
        description="Install pelto as a Steam compatibility tool, or remove it again. It "
                    "goes into {Steam}/%s/%s of the Steam installation that ~/%s leads to; "
                    "without that link, of the first one found among ~/%s; with none, into "
                    "%s. A folder counts as a Steam installation when it holds %s."
                    % (TOOLS_FOLDER, TOOL_NAME, STEAM_ROOT_LINK,
                       ", ~/".join(STEAM_CANDIDATES[1:]), DEFAULT_DEST, marks_text()),
        epilog="After installing, restart the Steam client; then, in a game's Properties -> "
               "Compatibility, force the use of the compatibility tool \"pelto\".")
    parser.add_argument(
        "--steam", metavar="DIR",
        help="install into (or remove from) the Steam installation DIR, such as "
             "~/%s/.local/share/Steam; refused when DIR does not look like one" % FLATPAK_APP)
    parser.add_argument(
        "--dest", metavar="DIR",
        help="install into DIR itself, whatever Steam installations there are (for example a "
             "system-wide compatibilitytools.d/pelto, or a test directory)")
    parser.add_argument(
        "--dry-run", action="store_true",
        help="name the destination, the Steam installations found, what would be installed "
             "and what is missing, and change nothing")
    parser.add_argument(
        "--wine", metavar="DIR",
        help="the Wine build to bundle: Debian's wine64 layout (DIR=/usr) or an upstream-style "
             "tree with bin/wine, bin/wineserver, lib/wine/x86_64-unix, lib/wine/x86_64-windows "
             "and share/wine; default: the system's Wine (looked for in %s)"
             % ", ".join(WINE_CANDIDATES))
    parser.add_argument(
        "--copy-wine", action="store_true",
        help="copy the Wine build into the tool instead of linking to it, so that no path of "
             "the tool leads outside it; done anyway for a Flatpak or Snap Steam, which runs "
             "the tool in a sandbox with a /usr of its own")
    parser.add_argument(
        "--dxvk", metavar="DIR",
        help="a DXVK release directory (with x64 and x32 folders of DLLs), copied into "
             "lib/wine/dxvk; without it, DLLs of a previous installation are kept")
    parser.add_argument(
        "--vkd3d-proton", metavar="DIR",
        help="a VKD3D-Proton release directory (with x64 and x86 or x32 folders of DLLs), "
             "copied into lib/wine/vkd3d-proton; without it, DLLs of a previous installation "
             "are kept")
    parser.add_argument(
        "--build", metavar="DIR",
        help="use the pelto and bridge/steam.exe already built in the CMake build directory "
             "DIR instead of building them (default: a Release build in build-ci/install)")
    parser.add_argument(
        "--uninstall", action="store_true",
        help="remove the pelto installation at the destination (only a directory that holds "
             "pelto's toolmanifest.vdf is removed)")
    return parser.parse_args(argv)


def fail(message):
    say("install.py: %s" % message, sys.stderr)
    return 1


def report_missing(missing):
    lines = ["cannot install, this machine lacks:"]
    lines += ["  - %s (Debian package %s)" % (what, package) for what, package in missing]
    packages = " ".join(sorted({package for _, package in missing}))
    lines.append("Install them with: sudo apt-get install %s" % packages)
    return fail("\n".join(lines))


def wine_notes(wine):
    """What the Wine build lacks for 32-bit games and for reliable starts, and what to do."""
    lines = []
    if wine.why_no_32bit is None:
        lines.append("      32-bit games: yes")
    else:
        lines.append("      32-bit games: no; %s" % wine.why_no_32bit)
    for preloader, what in wine.missing_preloaders():
        lines.append("      Recommended: Wine's preloader %s is missing, without which about "
                     "one Wine start in 60 fails at random; %s" % (preloader, what))
    return lines


def say_lines(lines):
    for line in lines:
        say(line)


def uninstall(target, dry_run):
    dest = target.path
    parent = os.path.dirname(dest)
    if dry_run:
        say("Dry run: nothing is changed.")
        if destination_state(dest) == "pelto":
            say("pelto would be removed from %s" % dest)
        else:
            say("Nothing to remove: %s does not exist." % dest)
        say_lines(target.report(True))
        return 0
    if not os.path.isdir(parent):
        say("Nothing to remove: %s does not exist." % dest)
        say_lines(target.report(True))
        return 0
    lock = lock_parent(parent)
    try:
        remove_leftovers(dest)
        if destination_state(dest) != "pelto":
            say("Nothing to remove: %s does not exist." % dest)
            say_lines(target.report(True))
            return 0
        staging = tempfile.mkdtemp(prefix=staging_prefix(dest), dir=parent)
        with BlockedSignals():
            os.rename(dest, os.path.join(staging, "previous"))
        shutil.rmtree(staging)
        say("Removed pelto from %s." % dest)
        say_lines(target.report(True))
        say("Games set to pelto need another compatibility tool in Steam; their prefixes in "
            "steamapps/compatdata are left as they are.")
        return 0
    finally:
        os.close(lock)


def plan_wine_copy(options, wine, releases, sandbox):
    """The copy of the Wine build the tool gets (None when it links to the build), and a text
    that says which and why."""
    if not (options.copy_wine or sandbox):
        return None, "linked into the tool"
    if sandbox:
        why = "a %s Steam runs the tool in a sandbox whose /usr is its own" % sandbox
        instead = "install into another Steam installation"
    else:
        why, instead = "--copy-wine", "install without --copy-wine"
    alternative = ("Give --wine a Wine build that can be copied (such as Debian's wine64 in "
                   "/usr), or %s." % instead)
    return WineCopy(wine, set(releases), alternative), "copied into the tool (%s)" % why


def dry_run_report(options, dest, wine, how, wine_copy, sets, build_dir):
    """What an install would do, beyond the destination lines."""
    lines = []
    if destination_state(dest) == "pelto":
        lines.append("The pelto installed there would be replaced.")
    lines.append("Wine: %s (%s, %s), %s" % (wine.root, wine.layout, wine_version(wine), how))
    if wine_copy:
        lines.append("      its copy: about %s" % megabytes(wine_copy.size()))
    lines += wine_notes(wine)
    for modules in sets:
        if modules.strip:
            copied = "without their debug sections (about %s)" % megabytes(
                modules.estimated_size())
        else:
            copied = "with their debug sections (%s is missing: install %s)" % (
                modules.strip_name, modules.strip_package)
        lines.append("      %s: %d modules from %s (%s), copied %s" % (
            modules.folder, len(modules.names), modules.source, megabytes(sum(modules.sizes)),
            copied))
    lines.append("pelto and steam.exe: %s %s" % (
        "built in" if options.build else "to be built (Release) in", build_dir))
    return lines


def install(options, target):
    # Everything is checked before anything is changed, and everything missing is named at
    # once.
    dest = target.path
    if options.build:
        build_dir = os.path.abspath(os.path.expanduser(options.build))
    else:
        build_dir = os.path.join(REPO, "build-ci", "install")
    version = pelto_version(build_dir)
    if options.dry_run:
        say("Dry run: nothing is changed.")
        say("pelto %s would be installed into %s" % (version, dest))
        say_lines(target.report(False))
    wine, why_no_wine = find_wine(options.wine)
    missing = []
    if wine is None and not options.wine:
        missing.append(("Wine (%s)" % why_no_wine, PACKAGES["wine"]))
    if options.build:
        for path, what in zip(built_files(build_dir), ("pelto", "the bridge steam.exe")):
            if not os.path.isfile(path):
                return fail("%s has no %s at %s (build it first, or leave out --build)"
                            % (build_dir, what, path))
    else:
        missing += missing_build_tools()
    if missing:
        return report_missing(missing)
    if wine is None:
        return fail(why_no_wine)
    releases = {}
    for name, given, probe in (("dxvk", options.dxvk, "d3d11.dll"),
                               ("vkd3d-proton", options.vkd3d_proton, "d3d12.dll")):
        if given:
            release = os.path.abspath(os.path.expanduser(given))
            releases[name] = check_release(name, release, probe)

    check_tools_folder(os.path.dirname(dest))
    sets = module_sets(wine)
    wine_copy, how = plan_wine_copy(options, wine, releases, target.sandbox)
    release_files = [os.path.join(folder, name) for folders in releases.values()
                     for folder in folders if folder for name in os.listdir(folder)]
    if options.dry_run:
        say_lines(dry_run_report(options, dest, wine, how, wine_copy, sets, build_dir))
    space = check_space(dest, space_needed(sets, wine_copy, built_files(build_dir),
                                           release_files))
    if options.dry_run:
        say("Space: %s" % space)
        return 0

    parent = os.path.dirname(dest)
    os.makedirs(parent, exist_ok=True)
    lock = lock_parent(parent)
    session = WineSession()
    staging = None
    try:
        remove_leftovers(dest)
        state = destination_state(dest)
        say("Installing pelto %s into %s" % (version, dest))
        say_lines(target.report(False))
        step(1, "Wine: %s (%s, %s), %s" % (wine.root, wine.layout, wine_version(wine), how))
        say_lines(wine_notes(wine))

        if options.build:
            step(2, "Using pelto and steam.exe built in %s" % build_dir)
        else:
            step(2, "Building pelto and steam.exe (Release) in %s..." % build_dir)
            build(build_dir)
        pelto, bridge = built_files(build_dir)

        step(3, "Laying out the tool and its Wine tree (%s)" % space)
        staging = tempfile.mkdtemp(prefix=staging_prefix(dest), dir=parent)
        # The new tree sits one level down, where Steam, which reads every folder of
        # compatibilitytools.d, does not see it as a second tool.
        tree = os.path.join(staging, "tree")
        os.makedirs(tree)
        copy_program(pelto, os.path.join(tree, "pelto"))
        with open(os.path.join(tree, "toolmanifest.vdf"), "w") as file:
            file.write(TOOL_MANIFEST)
        with open(os.path.join(tree, "compatibilitytool.vdf"), "w") as file:
            file.write(COMPATIBILITY_TOOL % (TOOL_NAME, version))
        with open(os.path.join(tree, "version"), "w") as file:
            file.write(version + "\n")
        if wine_copy:
            wine_copy.lay_out(tree)
        else:
            lay_out_wine(tree, wine, set(releases))
        lay_in_modules(tree, sets)
        copy_program(bridge, os.path.join(tree, "lib/wine/x86_64-windows/steam.exe"))
        if wine_copy:
            refuse_links_leading_out(tree)
        if state == "pelto" and carry_over(dest, tree, "env_config"):
            say("      kept env_config of the previous installation")

        step(4, "DXVK and VKD3D-Proton")
        for name in ("dxvk", "vkd3d-proton"):
            if name in releases:
                lay_in_dlls(tree, name, releases[name])
                say("      %s: copied from %s" % (name, os.path.dirname(releases[name][0])))
            elif state == "pelto" and carry_over(dest, tree, os.path.join("lib/wine", name)):
                say("      %s: kept from the previous installation" % name)
            else:
                say("      %s: none (games use Wine's own Direct3D unless a Proton "
                    "provides it)" % name)

        step(5, "Creating the shared prefix template with wineboot (takes a few seconds)...")
        make_template(tree, staging, session)
        files, size = share_template_modules(tree, os.path.join(tree, "share/default_pfx"),
                                             sets)
        say("      %d files of the template (%s) are the tool's copies of Wine's modules"
            % (files, megabytes(size)))
        if wine_copy:
            refuse_links_leading_out(tree)

        step(6, "Putting the new installation in place")
        global swapped_in
        with BlockedSignals():
            swap_in(tree, dest, destination_state(dest), staging)
            swapped_in = True
        shutil.rmtree(staging, ignore_errors=True)
        staging = None
    finally:
        session.stop()
        if staging is not None:
            shutil.rmtree(staging, ignore_errors=True)
        os.close(lock)

    say()
    say("pelto %s is installed in %s." % (version, dest))
    say("Next, in Steam:")
    say("  1. Restart the Steam client (it reads its compatibility tools when it starts).")
    say("  2. In a game's Properties -> Compatibility, tick \"Force the use of a specific "
          "Steam Play compatibility tool\" and choose \"pelto\".")
    return 0


# Set once the new tree is in place: a signal held back during the swap arrives right after it.
swapped_in = False


def on_signal(signo, unused_frame):
    raise Interrupted(signo)


def main(argv):
    options = parse_arguments(argv)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    dest = "the destination"
    try:
        target = Destination(options, SteamInstallations(os.path.expanduser("~")))
        dest = target.path
        return uninstall(target, options.dry_run) if options.uninstall \
            else install(options, target)
    except InstallError as error:
        return fail(str(error))
    except (KeyboardInterrupt, Interrupted):
        if swapped_in:
            return fail("interrupted after the new installation was put in place in %s" % dest)
        return fail("interrupted; the previous installation, if any, is unchanged")
    except OSError as error:
        if error.errno == errno.ENOSPC:
            return fail(no_space_text(error.filename or dest))
        return fail("%s: %s" % (error.filename or "error", error.strerror or error))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
