"""The copy of a Wine build in a self-contained tool: links stay links, leading where they led
inside the copy, and a build whose links lead out of it or in a loop is refused before anything
is changed."""

import os
import unittest

from support import InstallerTest, make_build_dir, make_wine_build, write

from pelto_install.wine import detect_wine
from pelto_install.wine_copy import WineCopy, links_leading_out


class WineCopyLinks(InstallerTest):
    def wine_copy(self, wine_root):
        return WineCopy(detect_wine(wine_root), set(), "")

    def test_links_stay_links_inside_the_copy(self):
        wine = make_wine_build(self.path("wine"))
        share = os.path.join(wine, "share/wine")
        write(os.path.join(share, "fonts/a.ttf"), "x" * 1000)
        without_links = self.wine_copy(wine).size()
        os.symlink("fonts/a.ttf", os.path.join(share, "relative.ttf"))
        os.symlink(os.path.join(share, "fonts"), os.path.join(share, "absolute-fonts"))
        os.symlink(share, os.path.join(share, "self"))  # the loop that was copied 41 times
        os.symlink("gone", os.path.join(share, "dangling"))
        os.link(os.path.join(share, "fonts/a.ttf"), os.path.join(share, "hard.ttf"))
        unix = os.path.join(wine, "lib/wine/x86_64-unix")
        os.symlink("../x86_64-windows/ntdll.dll", os.path.join(unix, "ntdll-pe"))
        write(os.path.join(unix, "libx.a"), "import library")
        os.symlink("libx.a", os.path.join(unix, "libx-link.a.so"))
        copy = self.wine_copy(wine)
        # Each file once in the estimate, however many links lead to it.
        self.assertEqual(copy.size(), without_links)

        tree = self.path("tool")
        copy.lay_out(tree)
        tool_share = os.path.join(tree, "share/wine")
        self.assertEqual(os.readlink(os.path.join(tool_share, "relative.ttf")), "fonts/a.ttf")
        self.assertEqual(os.readlink(os.path.join(tool_share, "absolute-fonts")), "fonts")
        self.assertEqual(os.readlink(os.path.join(tool_share, "self")), ".")
        self.assertFalse(os.path.lexists(os.path.join(tool_share, "dangling")))
        self.assertEqual(os.stat(os.path.join(tool_share, "hard.ttf")).st_ino,
                         os.stat(os.path.join(tool_share, "fonts/a.ttf")).st_ino)
        # A link into the modules leads to the tool's own copies; one to what is left out goes.
        tool_unix = os.path.join(tree, "lib/wine/x86_64-unix")
        self.assertEqual(os.readlink(os.path.join(tool_unix, "ntdll-pe")),
                         "../x86_64-windows/ntdll.dll")
        self.assertFalse(os.path.lexists(os.path.join(tool_unix, "libx-link.a.so")))
        self.assertEqual(links_leading_out(tree), [])

    def test_a_link_out_of_the_build_or_a_loop_refuses_before_anything_changes(self):
        build = make_build_dir(self.path("build"))
        for name, make in (
                ("outside", lambda share: os.symlink("/etc/hostname",
                                                     os.path.join(share, "outside"))),
                ("fifo", lambda share: os.mkfifo(os.path.join(share, "fifo"))),
                ("loop", lambda share: (os.symlink("loop-b", os.path.join(share, "loop-a")),
                                        os.symlink("loop-a", os.path.join(share, "loop-b"))))):
            with self.subTest(name):
                wine = make_wine_build(self.path("wine-" + name))
                make(os.path.join(wine, "share/wine"))
                dest = self.path("tools-" + name, "pelto")
                for dry_run in ((), ("--dry-run",)):
                    status, out, err = self.run_installer(
                        "--build", build, "--wine", wine, "--dest", dest, "--copy-wine",
                        *dry_run)
                    self.assertEqual(status, 1, out + err)
                    self.assertIn(os.path.join(wine, "share/wine", {"loop": "loop-"}.get(name, name)),
                                  err)
                    self.assertIn({"loop": "forms a loop", "fifo": "is neither a file nor a folder"}
                                  .get(name, "leads outside the Wine build"), err)
                self.assertFalse(os.path.lexists(os.path.dirname(dest)))


if __name__ == "__main__":
    unittest.main()
