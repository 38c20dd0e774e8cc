"""The user's Steam installations, and where the tool goes: into the one ~/.steam/root leads
to, else the first one found, else the place Valve's Steam will look; --steam, --dest and
--system choose another."""

import os

from .common import TOOL_NAME, TOOLS_FOLDER, InstallError, exists, inside, shell_quote
from .tree import is_pelto_installation

# The destination when no Steam installation is found: where the Steam client installed from
# Valve's own package will look.
DEFAULT_DEST = "~/.local/share/Steam/%s/%s" % (TOOLS_FOLDER, TOOL_NAME)
# Where Steam reads the tools of every user of the machine.
SYSTEM_DEST = "/usr/local/share/steam/%s/%s" % (TOOLS_FOLDER, TOOL_NAME)
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


def marks_text(word="or"):
    return "%s %s %s" % (", ".join(STEAM_MARKS[:-1]), word, STEAM_MARKS[-1])


def looks_like_steam(path):
    for mark in STEAM_MARKS:
        target = os.path.join(path, mark.rstrip("/"))
        if os.path.isdir(target) if mark.endswith("/") else os.path.isfile(target):
            return True
    return False


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
    """Where to install (or uninstall), why there, what kind of Steam it is for, and the other
    places one could choose."""

    def __init__(self, options, steam):
        self.steam = steam
        self.installation = None
        self.for_everyone = options.system
        self.notes = []
        if options.system:
            self.path = SYSTEM_DEST
            self.why = "for every user of the machine (--system)"
        elif options.dest:
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
            return None if self.for_everyone else sandbox_of(self.path, home)
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
        if self.for_everyone:
            return lines
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

    def check_rights(self):
        """Refuses --system without the rights to write where every user's tools are."""
        if not self.for_everyone:
            return
        folder = self.path
        while not os.path.isdir(folder) and os.path.dirname(folder) != folder:
            folder = os.path.dirname(folder)
        if not os.access(folder, os.W_OK | os.X_OK):
            raise InstallError(
                "installing for every user needs the right to write to %s, which this user "
                "lacks; run it as root (sudo python3 install.py --system), or leave out "
                "--system to install for this user only" % folder)
