"""The plan of an install: every check before anything changes. The dry run reports what the
plan holds; destinations that are not a pelto installation, and what the machine lacks, are
refused with what is wrong, and nothing is changed; the free space is estimated from the
parts of the new tree."""

import os
import unittest
from unittest import mock

from support import InstallerTest, make_build_dir, make_wine_build, write

from pelto_install import space


class Plan(InstallerTest):
    def setUp(self):
        super().setUp()
        self.build = make_build_dir(self.path("build"))
        self.wine = make_wine_build(self.path("wine"))
        self.tools = self.path("tools")

    def installer(self, dest, *extra):
        return self.run_installer("--build", self.build, "--wine", self.wine, "--dest", dest,
                                  *extra)

    def test_the_dry_run_reports_the_plan_and_changes_nothing(self):
        dest = os.path.join(self.tools, "pelto")
        status, out, err = self.installer(dest, "--dry-run", "--copy-wine")
        self.assertEqual(status, 0, out + err)
        lines = out.splitlines()
        self.assertEqual(lines[0], "Dry run: nothing is changed.")
        self.assertRegex(lines[1], r"^pelto 9\.8\.7 \(commit \S+\) would be installed into %s$"
                         % dest)
        for part in ("Wine: %s (upstream layout, " % self.wine,
                     "), copied into the tool (--copy-wine)\n",
                     "      its copy: about 0 MB", "      32-bit games: no; ",
                     "      x86_64-windows: 1 modules from %s/lib/wine/x86_64-windows"
                     % self.wine,
                     "pelto, steam.exe, lsteamclient and pelto-wineboot: built in %s" % self.build,
                     "Space: about "):
            self.assertIn(part, out)
        self.assertFalse(os.path.lexists(self.tools))

    def test_what_is_not_a_pelto_installation_is_refused_and_left_as_it_was(self):
        other = self.path("other")
        write(os.path.join(other, "toolmanifest.vdf"), '"commandline" "/proton %verb%"\n')
        os.makedirs(self.tools)
        os.symlink(other, os.path.join(self.tools, "link"))
        write(os.path.join(self.tools, "plain-file"), "data\n")
        write(os.path.join(self.tools, "games/save.dat"), "mine\n")
        cases = ((os.path.join(self.tools, "games"), "is not a pelto installation"),
                 (other, "is not a pelto installation"),
                 (os.path.join(self.tools, "link"), "is a symbolic link"),
                 (os.path.join(self.tools, "plain-file"), "is not a directory"))
        before = {path: sorted(os.listdir(path)) for path in (self.tools, other)}
        for dest, says in cases:
            for extra in ((), ("--dry-run",), ("--uninstall",)):
                with self.subTest(dest=dest, extra=extra):
                    status, out, err = self.installer(dest, *extra)
                    self.assertEqual(status, 1, out + err)
                    self.assertIn(says, err)
        self.assertEqual({path: sorted(os.listdir(path)) for path in before}, before)
        with open(os.path.join(self.tools, "games/save.dat")) as file:
            self.assertEqual(file.read(), "mine\n")

    def test_what_is_missing_is_named(self):
        dest = os.path.join(self.tools, "pelto")
        os.unlink(os.path.join(self.build, "pelto-wineboot"))
        status, out, err = self.installer(dest)
        self.assertEqual(status, 1)
        self.assertIn("the helper pelto-wineboot is missing at %s/pelto-wineboot (build it first"
                      % self.build, err)
        status, out, err = self.run_installer("--build", make_build_dir(self.path("b2")),
                                              "--wine", self.path("no-wine"), "--dest", dest)
        self.assertEqual(status, 1)
        self.assertIn("%s is not a Wine build" % self.path("no-wine"), err)
        self.assertFalse(os.path.lexists(self.tools))

    def test_the_space_needed_is_checked_first(self):
        dest = os.path.join(self.tools, "pelto")
        with mock.patch.object(space, "free_space", return_value=10 << 20):
            status, out, err = self.installer(dest)
        self.assertEqual(status, 1)
        self.assertIn("not enough free space: the new installation needs about", err)
        self.assertIn("MB for the prefix template while wineboot makes it", err)
        self.assertIn("and 10 MB is free there", err)
        self.assertFalse(os.path.lexists(self.tools))
        # The template is the largest part: about the modules again, and some.
        parts = space.space_needed([], None, [], [])
        self.assertEqual([what for _, what in parts],
                         ["Wine's modules without their debug sections",
                          "the prefix template while wineboot makes it",
                          "pelto, the Steam bridge and DXVK's or VKD3D-Proton's DLLs"])
        self.assertEqual(parts[1][0], space.TEMPLATE_EXTRA)


if __name__ == "__main__":
    unittest.main()
