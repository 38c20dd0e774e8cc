"""What --uninstall finds at the destination (a pelto installation, nothing, an empty folder),
what its dry run says of it without changing anything, and what the removal then does."""

import os
import shutil
import unittest

from support import InstallerTest, write

MANIFEST = '"manifest"\n{\n  "commandline" "/pelto %verb%"\n}\n'


class Uninstall(InstallerTest):
    def test_each_thing_found_dry_run_and_removal(self):
        tools = self.path("tools")
        dest, cut_short = os.path.join(tools, "pelto"), os.path.join(tools, ".pelto.install-x")
        nothing = "Nothing to remove: %s " % dest
        cases = (("pelto", lambda: write(os.path.join(dest, "toolmanifest.vdf"), MANIFEST),
                  "pelto would be removed from %s" % dest, "Removed pelto from %s." % dest),
                 ("empty", lambda: os.makedirs(dest), nothing + "is an empty folder, not a "
                  "pelto installation; it is left as it is.", None),
                 ("absent", lambda: os.makedirs(tools), nothing + "does not exist.", None),
                 ("no tools folder", lambda: None, nothing + "does not exist.", None))
        for found, make, planned, done in cases:
            with self.subTest(found):
                shutil.rmtree(tools, ignore_errors=True)
                make()
                lines = []
                if os.path.isdir(tools):  # what an interrupted run left goes too
                    write(os.path.join(cut_short, "tree/pelto"), "half")
                    lines.append("Removing %s, left by an interrupted run" % cut_short)
                before = sorted(os.walk(self.tmp))
                status, out, err = self.run_installer("--dest", dest, "--uninstall", "--dry-run")
                self.assertEqual((status, out.splitlines()), (0, [
                    "Dry run: nothing is changed.", planned, "      (given with --dest)"]), err)
                self.assertEqual(sorted(os.walk(self.tmp)), before)

                status, out, err = self.run_installer("--dest", dest, "--uninstall")
                lines += [done or planned, "      (given with --dest)"]
                self.assertEqual((status, out.splitlines()[:len(lines)]), (0, lines), err)
                self.assertEqual(len(out.splitlines()), len(lines) + bool(done), out)
                self.assertEqual(os.path.isdir(dest), found == "empty")
                self.assertFalse(os.path.lexists(cut_short))


if __name__ == "__main__":
    unittest.main()
