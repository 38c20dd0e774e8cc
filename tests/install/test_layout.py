"""Where the tool keeps what it brings comes from the table the launcher is built with: the copy
of the table in the package's folder, as a release archive has it, wins over the sources' and
is followed wherever it puts things; a table without a row the installer needs stops it before
anything changes."""

import os
import shutil
import subprocess
import sys
import unittest

from support import ROOT, InstallerTest, make_build_dir, make_wine_build, write

from pelto_install import layout

MOVED = {"template": "share/moved_pfx", "env_config": "etc/env_config", "dxvk": "lib/dxvk",
         "steam_bridge": "lib/bridge/steam.exe",
         "steamclient_unix": "lib/wine/x86_64-windows/lsteamclient-unix.so"}


class ToolLayout(InstallerTest):
    def install(self, rows, dest, *extra):
        """install.py and its package unpacked on their own, with a tool table of `rows` in the
        package and the checkout's among the sources beside it, run into `dest`."""
        unpacked = self.path("unpacked")
        shutil.rmtree(unpacked, ignore_errors=True)
        package = os.path.join(unpacked, "pelto_install")
        shutil.copytree(os.path.join(ROOT, "pelto_install"), package,
                        ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy(os.path.join(ROOT, "install.py"), unpacked)
        shutil.copy(os.path.join(ROOT, layout.WINE_LAYOUT), package)
        os.makedirs(os.path.dirname(os.path.join(unpacked, layout.TOOL_LAYOUT)))
        shutil.copy(os.path.join(ROOT, layout.TOOL_LAYOUT),
                    os.path.join(unpacked, layout.TOOL_LAYOUT))
        write(os.path.join(package, "tool_layout.inc"),
              "".join('TOOL_LAYOUT("%s", "%s")\n' % row for row in rows.items()))
        result = subprocess.run(
            [sys.executable, os.path.join(unpacked, "install.py"), "--build",
             make_build_dir(self.path("build")), "--wine", make_wine_build(self.path("wine")),
             "--dest", dest] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        return result.returncode, result.stdout.decode()

    def test_the_table_in_the_package_is_followed(self):
        rows = {name: paths[0] for name, paths in
                layout.read_table(layout.TOOL_LAYOUT, "TOOL_LAYOUT", "").items()}
        dest = self.path("tools/pelto")
        write(self.path("dxvk/x64/d3d11.dll"), "MZ")
        for extra in (["--dxvk", self.path("dxvk")], []):
            status, out = self.install(dict(rows, **MOVED), dest, *extra)
            self.assertEqual(status, 0, out)
            write(os.path.join(dest, "etc/env_config"), "KEPT=1\n")
        self.assertIn("kept etc/env_config of the previous installation", out)
        self.assertIn("dxvk: kept from the previous installation", out)
        for path in ("share/moved_pfx/system.reg", "lib/dxvk/x86_64-windows/d3d11.dll",
                     "lib/bridge/steam.exe", "lib/wine/x86_64-windows/lsteamclient-unix.so",
                     "lib/wine/x86_64-windows/lsteamclient.dll"):
            self.assertTrue(os.path.isfile(os.path.join(dest, path)), path)
        for path in ("share/default_pfx", "lib/wine/dxvk", "lib/wine/x86_64-windows/steam.exe",
                     "lib/wine/x86_64-windows/lsteamclient.so"):
            self.assertFalse(os.path.lexists(os.path.join(dest, path)), path)

        # Without the bridge's row nothing can be laid out; the message names what is missing.
        del rows["steam_bridge"]
        status, out = self.install(rows, self.path("new/pelto"))
        self.assertEqual(status, 1)
        self.assertIn("the table of the tool's layout (tool_layout.inc) has no row for "
                      "steam_bridge", out)
        self.assertFalse(os.path.lexists(self.path("new")))


if __name__ == "__main__":
    unittest.main()
