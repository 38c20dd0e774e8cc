"""Where the tool goes and what kind of Steam it is for: the Steam installation ~/.steam/root
leads to, else the first one found (each kind of Steam laid out in a HOME of its own), else the
place Valve's Steam will look; a sandboxed Steam gets a tool with a Wine of its own even when
its compatibilitytools.d leads elsewhere; a tools folder that cannot hold the tool, and
--system without the rights, are refused with what is wrong."""

import os
import pwd
import subprocess
import unittest

from support import ROOT, InstallerTest, make_build_dir, make_wine_build, write

FLATPAK_STEAM = ".var/app/com.valvesoftware.Steam/.local/share/Steam"
SNAP_STEAM = "snap/steam/common/.local/share/Steam"


class Destination(InstallerTest):
    def setUp(self):
        super().setUp()
        self.build = make_build_dir(self.path("build"))
        self.wine = make_wine_build(self.path("wine"))
        self.steam = os.path.join(self.home, FLATPAK_STEAM)
        write(os.path.join(self.steam, "steam.sh"))
        self.tools = os.path.join(self.steam, "compatibilitytools.d")

    def dry_run(self):
        return self.run_installer("--build", self.build, "--wine", self.wine, "--dry-run")

    def test_the_kind_of_steam_decides_and_a_link_out_of_its_folder_is_warned_of(self):
        os.makedirs(self.path("elsewhere/tools"))
        os.symlink(self.path("elsewhere/tools"), self.tools)
        status, out, err = self.dry_run()
        self.assertEqual(status, 0, out + err)
        self.assertIn("copied into the tool (a Flatpak Steam runs the tool in a sandbox", out)
        self.assertIn("Warning: %s leads out of the Flatpak Steam's folder (to %s)"
                      % (self.tools, self.path("elsewhere/tools")), out)
        self.assertEqual(os.listdir(self.path("elsewhere/tools")), [])

    def test_a_tools_folder_that_cannot_hold_the_tool_is_refused_with_why(self):
        os.symlink(self.path("missing"), self.tools)
        for args in ((), ("--dry-run",)):
            status, out, err = self.run_installer("--build", self.build, "--wine", self.wine,
                                                  *args)
            self.assertEqual(status, 1, out + err)
            self.assertIn("%s is a link to %s, which does not exist" % (self.tools,
                                                                        self.path("missing")),
                          err)
        self.assertFalse(os.path.lexists(self.path("missing")))
        os.unlink(self.tools)
        write(self.path("a file"))
        os.symlink(self.path("a file"), self.tools)
        status, out, err = self.dry_run()
        self.assertEqual(status, 1, out + err)
        self.assertIn("%s is a link to %s, which is not a folder" % (self.tools,
                                                                     self.path("a file")), err)
        os.unlink(self.tools)
        write(self.tools, "a file")
        status, out, err = self.dry_run()
        self.assertEqual(status, 1, out + err)
        self.assertIn("%s is not a folder" % self.tools, err)


class SteamKinds(InstallerTest):
    # Each layout: the files that make installations, the links (link -> target, "~" is
    # HOME), the installation chosen and the others listed.
    LAYOUTS = {
        "native": ([".local/share/Steam/steam.sh"],
                   {".steam/root": "~/.local/share/Steam"}, ".local/share/Steam", []),
        "debian": ([".steam/debian-installation/ubuntu12_32/steam-runtime.tar.xz"],
                   {".steam/root": "debian-installation"}, ".steam/debian-installation", []),
        "flatpak": ([FLATPAK_STEAM + "/linux64/steamclient.so"],
                    {".var/app/com.valvesoftware.Steam/data/Steam": "../.local/share/Steam"},
                    FLATPAK_STEAM, []),
        "snap": ([SNAP_STEAM + "/steam.sh"], {"snap/steam/common/.steam/root": "~/" + SNAP_STEAM},
                 SNAP_STEAM, []),
        "several": ([".local/share/Steam/steam.sh", FLATPAK_STEAM + "/steam.sh",
                     SNAP_STEAM + "/steam.sh"], {".steam/root": "~/" + SNAP_STEAM}, SNAP_STEAM,
                    [".local/share/Steam", FLATPAK_STEAM]),
        # ~/.steam/root leads nowhere, and a folder without Steam's files is no installation.
        "no root": ([".steam/debian-installation/compatibilitytools.d/x/toolmanifest.vdf",
                     FLATPAK_STEAM + "/steam.sh", SNAP_STEAM + "/steam.sh"],
                    {".steam/root": "~/gone"}, FLATPAK_STEAM, [SNAP_STEAM]),
        "none": ([], {}, ".local/share/Steam", []),
    }

    def test_each_kind_of_steam_installation(self):
        build = make_build_dir(self.path("build"))
        wine = make_wine_build(self.path("wine"))
        for name, (files, links, chosen, others) in self.LAYOUTS.items():
            with self.subTest(name):
                self.home = os.environ["HOME"] = self.path("home-" + name)
                for file in files:
                    write(os.path.join(self.home, file))
                for link, target in links.items():
                    os.makedirs(os.path.dirname(os.path.join(self.home, link)), exist_ok=True)
                    os.symlink(self.home + target[1:] if target[0] == "~" else target,
                               os.path.join(self.home, link))
                dest = os.path.join(self.home, chosen, "compatibilitytools.d/pelto")
                status, out, err = self.run_installer("--build", build, "--wine", wine,
                                                      "--dry-run")
                self.assertEqual(status, 0, out + err)
                self.assertIn(" would be installed into %s\n" % dest, out)
                self.assertEqual("No Steam installation found" in out, name == "none")
                sandbox = {FLATPAK_STEAM: "Flatpak", SNAP_STEAM: "Snap"}.get(chosen)
                self.assertIn("copied into the tool (a %s" % sandbox if sandbox
                              else "linked into the tool", out)
                listed = [line for line in out.splitlines() if " --steam " in line]
                self.assertEqual(len(listed), len(others), out)
                for other in others:
                    self.assertIn("python3 install.py --steam '%s'"
                                  % os.path.join(self.home, other), out)
                self.assertFalse(os.path.lexists(os.path.dirname(dest)), "changed")
                # --uninstall looks in the same place.
                write(os.path.join(dest, "toolmanifest.vdf"),
                      '"manifest"\n{\n  "commandline" "/pelto %verb%"\n}\n')
                status, out, err = self.run_installer("--uninstall")
                self.assertEqual(status, 0, out + err)
                self.assertIn("Removed pelto from %s." % dest, out)
                self.assertFalse(os.path.lexists(dest))

    def test_steam_names_an_installation_and_is_refused_for_a_folder_that_is_none(self):
        write(os.path.join(self.home, FLATPAK_STEAM, "steam.sh"))
        status, out, err = self.run_installer(
            "--build", make_build_dir(self.path("build")), "--wine",
            make_wine_build(self.path("wine")), "--dry-run", "--steam",
            os.path.join(self.home, FLATPAK_STEAM))
        self.assertEqual(status, 0, out + err)
        self.assertIn("pelto 9.8.7 (commit ", out)
        self.assertIn(" would be installed into %s/compatibilitytools.d/pelto\n"
                      % os.path.join(self.home, FLATPAK_STEAM), out)
        status, out, err = self.run_installer("--dry-run", "--steam", self.home)
        self.assertEqual(status, 1)
        self.assertIn("does not look like a Steam installation", err)


class ForEveryUser(InstallerTest):
    def test_system_needs_the_rights_to_write_there(self):
        nobody = pwd.getpwnam("nobody")
        command = ["setpriv", "--reuid=%d" % nobody.pw_uid, "--regid=%d" % nobody.pw_gid,
                   "--clear-groups", "/usr/bin/python3", os.path.join(ROOT, "install.py")]
        env = {"PATH": "/usr/bin:/bin", "HOME": "/nonexistent"}
        for args in (["--system", "--dry-run"], ["--system", "--uninstall"]):
            try:
                result = subprocess.run(command + args, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, timeout=60)
            except OSError as error:
                self.skipTest("setpriv: %s" % error)
            err = result.stderr.decode()
            if "Permission denied" in err and "install.py" in err.splitlines()[0]:
                self.skipTest("the checkout is not readable by nobody")
            self.assertEqual(result.returncode, 1, err)
            self.assertIn("installing for every user needs the right to write to", err)
        with self.assertRaises(SystemExit):  # two destinations at once
            self.run_installer("--system", "--dest", self.path("x"))


if __name__ == "__main__":
    unittest.main()
