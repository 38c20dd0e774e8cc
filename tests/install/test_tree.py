"""The installed tree from end to end, with stand-ins for Wine and for pelto-wineboot: an
install, a reinstall that keeps what the player put there, installs cut short (a signal, a
failed template, a swap without renameat2 that fails half-way), which leave the previous
installation as it was, and the removal."""

import errno
import os
import stat
import unittest
from unittest import mock

from support import InstallerTest, make_build_dir, make_wine_build, write

from pelto_install import plan, tree as tree_module


class InstalledTree(InstallerTest):
    def setUp(self):
        super().setUp()
        self.build = make_build_dir(self.path("build"))
        self.wine = make_wine_build(self.path("wine"))
        self.tools = self.path("tools")
        self.dest = os.path.join(self.tools, "pelto")
        write(os.path.join(self.tools, "other-tool/compatibilitytool.vdf"), "{}\n")

    def install(self, *extra):
        return self.run_installer("--build", self.build, "--wine", self.wine, "--dest",
                                  self.dest, *extra)

    def assert_unchanged(self, marker):
        with open(os.path.join(self.dest, "pelto")) as file:
            self.assertEqual(file.read(), marker)
        self.assertEqual(sorted(os.listdir(self.tools)), ["other-tool", "pelto"])

    def test_install_reinstall_and_uninstall(self):
        # The commit is the one the build recorded, not the checkout's.
        write(os.path.join(self.build, "commit"), "abc1234+changes\n")
        status, out, err = self.install()
        self.assertEqual(status, 0, out + err)
        self.assertIn("Installing pelto 9.8.7 (commit abc1234+changes)", out)
        self.assertIn("as pelto finds it: loader bin/wine, server bin/wineserver, 64-bit modules "
                      "lib/wine/x86_64-windows, 32-bit modules none", out)
        for path in ("pelto", "toolmanifest.vdf", "compatibilitytool.vdf", "version",
                     "lib/wine/x86_64-windows/steam.exe",
                     "lib/wine/x86_64-windows/lsteamclient.dll",
                     "lib/wine/x86_64-windows/lsteamclient.so", "share/default_pfx/system.reg"):
            self.assertTrue(os.path.isfile(os.path.join(self.dest, path)), path)
        # The template's copy of a module is the tool's own.
        module = os.path.join(self.dest, "lib/wine/x86_64-windows/ntdll.dll")
        in_template = os.path.join(self.dest, "share/default_pfx/drive_c/windows/system32/ntdll.dll")
        self.assertEqual(os.stat(module).st_ino, os.stat(in_template).st_ino)
        self.assertEqual(sorted(os.listdir(self.tools)), ["other-tool", "pelto"])

        write(os.path.join(self.dest, "env_config"), "KEPT=1\n")
        status, out, err = self.install()
        self.assertEqual(status, 0, out + err)
        with open(os.path.join(self.dest, "env_config")) as file:
            self.assertEqual(file.read(), "KEPT=1\n")

        status, out, err = self.run_installer("--dest", self.dest, "--uninstall")
        self.assertEqual(status, 0, out + err)
        self.assertEqual(os.listdir(self.tools), ["other-tool"])

        # Nothing to remove, and what was found instead.
        for made, says in ((True, "is an empty folder, not a pelto installation; it is left as "
                                  "it is"), (False, "does not exist")):
            if made:
                os.makedirs(self.dest)
            elif os.path.isdir(self.dest):
                os.rmdir(self.dest)
            for dry_run in ((), ("--dry-run",)):
                status, out, err = self.run_installer("--dest", self.dest, "--uninstall", *dry_run)
                self.assertEqual(status, 0, out + err)
                self.assertIn("Nothing to remove: %s %s" % (self.dest, says), out)
            self.assertEqual(os.path.isdir(self.dest), made)

    def test_an_install_cut_short_leaves_the_previous_one(self):
        self.assertEqual(self.install()[0], 0)
        write(os.path.join(self.dest, "pelto"), "the previous pelto", 0o755)
        cases = (("a signal", {"FAKE_WINEBOOT_SIGNAL": "INT"}, "interrupted; the previous "
                  "installation, if any, is unchanged"),
                 ("a failed template", {"FAKE_WINEBOOT_FAIL": "1"},
                  "wineboot --init failed (status 1); its output:\nwineboot --init failed"))
        for name, env, says in cases:
            with self.subTest(name), mock.patch.dict(os.environ, env):
                status, out, err = self.install()
                self.assertEqual(status, 1, out + err)
                self.assertIn(says, err)
                self.assert_unchanged("the previous pelto")

    def test_a_copied_wine_with_dlls_of_its_own_installs_again(self):
        write(os.path.join(self.wine, "lib/wine/dxvk/x86_64-windows/d3d11.dll"), "the build's")
        for _ in range(2):
            status, out, err = self.install("--copy-wine")
            self.assertEqual(status, 0, out + err)
        with open(os.path.join(self.dest, "lib/wine/dxvk/x86_64-windows/d3d11.dll")) as file:
            self.assertEqual(file.read(), "the build's")

    def test_a_tool_for_every_user_is_readable_by_every_user(self):
        tree = self.path("tree")
        write(os.path.join(tree, "lib/secret.so"), "x", 0o600)
        write(os.path.join(tree, "bin/program"), "x", 0o700)
        os.chmod(os.path.join(tree, "lib"), 0o700)
        plan.readable_by_all(tree)
        modes = {name: stat.S_IMODE(os.stat(os.path.join(tree, name)).st_mode)
                 for name in ("lib", "lib/secret.so", "bin/program")}
        self.assertEqual(modes, {"lib": 0o755, "lib/secret.so": 0o644, "bin/program": 0o755})

    def test_a_swap_without_renameat2(self):
        self.assertEqual(self.install()[0], 0)
        write(os.path.join(self.dest, "pelto"), "the previous pelto", 0o755)
        no_renameat2 = mock.patch.object(tree_module, "renameat2",
                                         side_effect=OSError(errno.ENOSYS, "none"))
        # Two renames instead; when the second fails, the previous installation goes back.
        real_rename, calls = os.rename, []

        def second_fails(source, target):
            calls.append(target)
            if len(calls) == 2:
                raise OSError(errno.EIO, "cut short", target)
            return real_rename(source, target)

        with no_renameat2, mock.patch.object(tree_module.os, "rename", second_fails):
            status, out, err = self.install()
        self.assertEqual(status, 1, out + err)
        self.assert_unchanged("the previous pelto")
        with no_renameat2:
            status, out, err = self.install()
        self.assertEqual(status, 0, out + err)
        self.assert_unchanged("pelto")


if __name__ == "__main__":
    unittest.main()
