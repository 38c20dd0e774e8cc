"""What the installer's tests share: a throwaway HOME, small stand-ins for a Wine build and a
CMake build directory, and a run of install.py's command line in this process."""

import contextlib
import io
import os
import shutil
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from pelto_install import cli  # noqa: E402  (found through ROOT)


def write(path, text="", mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as file:
        file.write(text)
    if mode is not None:
        os.chmod(path, mode)


def make_wine_build(root):
    """An upstream-style Wine build whose programs are real executables (/bin/true), with a
    module or two: enough for every check of the installer, not for running Windows programs."""
    for program in ("bin/wine", "bin/wine64", "bin/wineserver", "bin/wine-preloader",
                    "bin/wine64-preloader"):
        os.makedirs(os.path.dirname(os.path.join(root, program)), exist_ok=True)
        shutil.copy("/bin/true", os.path.join(root, program))
    write(os.path.join(root, "lib/wine/x86_64-unix/ntdll.so"), "ntdll.so")
    write(os.path.join(root, "lib/wine/x86_64-windows/ntdll.dll"), "ntdll.dll")
    write(os.path.join(root, "share/wine/wine.inf"), "[Version]\n")
    return root


# A stand-in for pelto-wineboot: makes the template a prefix with a registry and a module
# copy, as wineboot would, unless the template is to fail.
FAKE_WINEBOOT = """#!/bin/sh
[ -n "$FAKE_WINEBOOT_FAIL" ] && echo "wineboot --init failed with exit code 3" >&2 && exit 1
[ -n "$FAKE_WINEBOOT_SIGNAL" ] && kill -"$FAKE_WINEBOOT_SIGNAL" $PPID && sleep 5
mkdir -p "$2/drive_c/windows/system32" && echo registry > "$2/system.reg" &&
cp "$1/lib/wine/x86_64-windows/ntdll.dll" "$2/drive_c/windows/system32/"
"""


def make_build_dir(root, version="9.8.7"):
    """A CMake build directory as install.py expects one: pelto, bridge/steam.exe,
    steamclient/lsteamclient.{dll,so}, pelto-wineboot (a stand-in), version."""
    write(os.path.join(root, "pelto"), "pelto", 0o755)
    write(os.path.join(root, "bridge/steam.exe"), "steam.exe")
    write(os.path.join(root, "steamclient/lsteamclient.dll"), "lsteamclient.dll")
    write(os.path.join(root, "steamclient/lsteamclient.so"), "lsteamclient.so", 0o755)
    write(os.path.join(root, "pelto-wineboot"), FAKE_WINEBOOT, 0o755)
    write(os.path.join(root, "version"), version + "\n")
    return root


class InstallerTest(unittest.TestCase):
    """A temporary folder with a HOME in it; `run` runs install.py's command line."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="pelto-install-test.")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(self.home)
        old_home = os.environ.get("HOME")
        os.environ["HOME"] = self.home
        self.addCleanup(self.restore_home, old_home)

    @staticmethod
    def restore_home(old_home):
        if old_home is None:
            os.environ.pop("HOME", None)
        else:
            os.environ["HOME"] = old_home

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def run_installer(self, *args):
        """(exit status, standard output, standard error) of install.py with `args`."""
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = cli.main(list(args))
        return status, out.getvalue(), err.getvalue()
