"""The Wine build the tool bundles: Debian's split layout or an upstream-style tree, what it
lacks for 32-bit games and reliable starts; where a build holds what comes from the table the
launcher compiles in (layout.wine_layout)."""

import os
import subprocess

from .common import exists
from .layout import wine_layout

# Where a Wine build is looked for when --wine is not given, in this order.
WINE_CANDIDATES = ["/usr", "/opt/wine-stable", "/opt/wine-staging", "/opt/wine-devel",
                   "/usr/local"]
DEBIAN_MULTIARCH = "lib/x86_64-linux-gnu/wine"
DEBIAN_MULTIARCH_32 = "lib/i386-linux-gnu/wine"
DEBIAN_LAYOUT = "Debian's wine64 layout"
UPSTREAM_LAYOUT = "upstream layout"
# Wine's 32-bit half on Debian, from the i386 architecture.
DEBIAN_32BIT_INSTALL = ("sudo dpkg --add-architecture i386 && sudo apt-get update && "
                        "sudo apt-get install wine32:i386")
# Debian packages Wine's preloaders apart from the loaders they belong to.
DEBIAN_PRELOADER_PACKAGES = {"wine64": "wine64-preloader", "wine": "wine32-preloader:i386"}


def layout_paths(root, what):
    return [os.path.join(root, path) for path in wine_layout().get(what, [])]


def found_layout(root):
    """What the launcher finds under the Wine root `root`, as it looks for it: the loader, the
    server, the 64- and 32-bit modules; each as a path relative to `root` (or absolute outside
    it), "none" for modules it does not find."""
    def first(what, fallback):
        paths = layout_paths(root, what)
        found = next((path for path in paths if exists(path)), fallback or paths[-1])
        return os.path.relpath(found, root) if found.startswith(root + os.sep) else found

    return ("loader %s, server %s, 64-bit modules %s, 32-bit modules %s" % (
        first("loader", None), first("server", "/usr/bin/wineserver"),
        first("modules64", "none"),
        next((os.path.relpath(path, root) for path in layout_paths(root, "modules32")
              if exists(os.path.join(path, "ntdll.dll"))), "none")))


class WineBuild:
    """What the installed tree takes from a Wine build: the loaders and the server, the unix
    and Windows module folders, the data folder."""

    def __init__(self, root, debian):
        self.root = root
        self.debian = debian
        self.layout = DEBIAN_LAYOUT if debian else UPSTREAM_LAYOUT
        self.share_dir = layout_paths(root, "data")[0]
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
            self.wineserver = layout_paths(root, "server")[0]
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

    def notes(self):
        """What the build lacks for 32-bit games and for reliable starts, and what to do."""
        lines = ["      32-bit games: %s" % ("yes" if self.why_no_32bit is None
                                             else "no; %s" % self.why_no_32bit)]
        for preloader, what in self.missing_preloaders():
            lines.append("      Recommended: Wine's preloader %s is missing, without which about "
                         "one Wine start in 60 fails at random; %s" % (preloader, what))
        return lines


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
    # An upstream-style build is laid out as the launcher looks for it.
    needed = [os.path.join(layout_paths(root, "unix64")[0], "ntdll.so")] + [
        layout_paths(root, what)[0] for what in ("modules64", "data", "server")]
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
        lines = result.stdout.decode("utf-8", "replace").strip().splitlines()
        return lines[0].strip() if lines else "version unknown"
    except (OSError, subprocess.SubprocessError):
        return "version unknown"
