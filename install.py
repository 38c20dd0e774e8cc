#!/usr/bin/env python3
"""Installs pelto where the Steam client looks for compatibility tools.

    python3 install.py                 # into {Steam}/compatibilitytools.d/pelto
    python3 install.py --system        # into /usr/local/share/steam/..., for every user
    python3 install.py --uninstall     # removes that installation again

{Steam} is the Steam installation ~/.steam/root leads to, else the first one found among the
usual places (Valve's package, Debian's, Flatpak, Snap); --steam and --dest choose another.
From an unpacked release archive it installs the programs that came with it (Python 3 and a
Wine build are all it needs); in a checkout it builds them first. The whole tree is built
beside the destination and swapped in with one rename, so an interrupted run leaves the
previous installation working; a destination that is not a pelto installation is never
touched. The code is the package pelto_install beside this file (Python 3 standard library
only); `python3 install.py --help` lists the options.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pelto_install.cli import main  # noqa: E402  (found through the line above)

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
