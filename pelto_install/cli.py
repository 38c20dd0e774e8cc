"""install.py's command line: what it takes, what it says, and how it ends."""

import argparse
import errno
import os
import signal
import sys

from .common import (TOOL_NAME, TOOLS_FOLDER, InstallError, Interrupted, MissingPackages, say,
                     say_lines)
from . import uninstall
from .plan import Progress, carry_out, describe, make_plan
from .space import no_space_text
from .steam import (DEFAULT_DEST, FLATPAK_APP, STEAM_CANDIDATES, STEAM_ROOT_LINK, SYSTEM_DEST,
                    Destination, SteamInstallations, marks_text)
from .wine import WINE_CANDIDATES


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="install.py",
        description="Install pelto as a Steam compatibility tool, or remove it again. It "
                    "goes into {Steam}/%s/%s of the Steam installation that ~/%s leads to; "
                    "without that link, of the first one found among ~/%s; with none, into "
                    "%s. A folder counts as a Steam installation when it holds %s. From a "
                    "release archive it installs the programs that came with it; in a "
                    "checkout it builds them first."
                    % (TOOLS_FOLDER, TOOL_NAME, STEAM_ROOT_LINK,
                       ", ~/".join(STEAM_CANDIDATES[1:]), DEFAULT_DEST, marks_text()),
        epilog="After installing, restart the Steam client; then, in a game's Properties -> "
               "Compatibility, force the use of the compatibility tool \"pelto\".")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--steam", metavar="DIR",
        help="install into (or remove from) the Steam installation DIR, such as "
             "~/%s/.local/share/Steam; refused when DIR does not look like one" % FLATPAK_APP)
    where.add_argument(
        "--system", action="store_true",
        help="install into (or remove from) %s, where Steam finds the tool for every user of "
             "the machine; needs the rights to write there" % SYSTEM_DEST)
    parser.add_argument(
        "--dest", metavar="DIR",
        help="install into DIR itself, whatever Steam installations there are (for example a "
             "test directory)")
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
        help="use pelto, pelto-wineboot and bridge/steam.exe already built in the CMake build "
             "directory DIR instead of those of the release archive, or of building them")
    parser.add_argument(
        "--uninstall", action="store_true",
        help="remove the pelto installation at the destination (only a directory that holds "
             "pelto's toolmanifest.vdf is removed)")
    options = parser.parse_args(argv)
    if options.system and options.dest:
        parser.error("--system and --dest name two destinations; give one")
    return options


def fail(message):
    say("install.py: %s" % message, sys.stderr)
    return 1


def report_missing(missing):
    lines = ["cannot install, this machine lacks:"]
    lines += ["  - %s (Debian package %s)" % (what, package) for what, package in missing]
    packages = " ".join(sorted({package for _, package in missing}))
    lines.append("Install them with: sudo apt-get install %s" % packages)
    return fail("\n".join(lines))


def on_signal(signo, unused_frame):
    raise Interrupted(signo)


def main(argv):
    options = parse_arguments(argv)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    dest = "the destination"
    progress = Progress()
    try:
        target = Destination(options, SteamInstallations(os.path.expanduser("~")))
        dest = target.path
        if options.uninstall:
            removal = uninstall.make_plan(target)
            if options.dry_run:
                say_lines(uninstall.describe(removal))
            else:
                uninstall.carry_out(removal)
            return 0
        plan = make_plan(options, target)
        if options.dry_run:
            say_lines(describe(plan))
        else:
            carry_out(plan, progress)
        return 0
    except MissingPackages as missing:
        return report_missing(missing.missing)
    except InstallError as error:
        return fail(str(error))
    except (KeyboardInterrupt, Interrupted):
        if progress.swapped_in:
            return fail("interrupted after the new installation was put in place in %s" % dest)
        return fail("interrupted; the previous installation, if any, is unchanged")
    except OSError as error:
        if error.errno == errno.ENOSPC:
            # The file named may be the one read: the disk that ran full is the destination's.
            return fail(no_space_text(dest))
        return fail("%s: %s" % (error.filename or "error", error.strerror or error))
