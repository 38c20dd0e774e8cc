"""Where the tool goes and what kind of Steam it is for: a sandboxed Steam gets a tool with a
Wine of its own even when its compatibilitytools.d leads elsewhere, and a tools folder that
cannot hold the tool is refused with what is wrong there."""

import os
import unittest

from support import InstallerTest, make_build_dir, make_wine_build, write

FLATPAK_STEAM = ".var/app/com.valvesoftware.Steam/.local/share/Steam"


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
        write(self.tools, "a file")
        status, out, err = self.dry_run()
        self.assertEqual(status, 1, out + err)
        self.assertIn("%s is not a folder" % self.tools, err)


if __name__ == "__main__":
    unittest.main()
