"""The tool's own Wine tree: bin/, lib/wine/ and share/wine made of links into the Wine build,
or, for a Steam that runs the tool in a sandbox with a /usr of its own (Flatpak, Snap) and with
--copy-wine, a copy of the build in which no path leads outside the tool."""

import errno
import os
import shutil
import stat

from .common import InstallError, exists, inside, shell_quote, symlink, write_file
from .layout import tool_path
from .modules import MODULE_FOLDERS
from .wine import DEBIAN_MULTIARCH, DEBIAN_MULTIARCH_32, elf_class

# A loader or server started through a script of the tool, found relative to the script, so
# that the tool leads nowhere outside itself. The shell's own expansion: no program runs first.
RELATIVE_EXEC = """#!/bin/sh
case $0 in */*) here=${0%%/*} ;; *) here=. ;; esac
exec "$here/%s" %s"$@"
"""


def lay_out_wine(tree, wine, skip_lib_entries):
    """bin/, lib/wine/ and share/wine of the installed tree, linked into the Wine build."""
    bin_dir = os.path.join(tree, "bin")
    os.makedirs(bin_dir)
    loader = os.path.join(bin_dir, "wine")
    if wine.loader_needs_script:
        write_file(loader, "#!/bin/sh\nexec %s \"$@\"\n" % shell_quote(wine.loader), 0o755)
    else:
        symlink(wine.loader, loader)
    symlink(wine.wineserver, os.path.join(bin_dir, "wineserver"))

    lib = os.path.join(tree, "lib/wine")
    os.makedirs(lib)
    for name in sorted(os.listdir(wine.lib_dir)):
        # The module folders are the tool's own copies, laid in with the modules.
        if name in MODULE_FOLDERS or name in skip_lib_entries:
            continue
        symlink(os.path.join(wine.lib_dir, name), os.path.join(lib, name))

    share = os.path.join(tree, "share")
    os.makedirs(share)
    symlink(wine.share_dir, os.path.join(share, "wine"))


def is_script(path):
    try:
        with open(path, "rb") as file:
            return file.read(2) == b"#!"
    except OSError:
        return False


def copied_name(name):
    """Whether a file of the Wine build goes into a copy: all but the import libraries (*.a),
    which only building Winelib programs needs."""
    return not name.endswith(".a")


class WineCopy:
    """The Wine build copied into the tool. Debian's split layout keeps its relative form in
    the copy (lib/wine/wine64 beside lib/x86_64-linux-gnu/wine, share/wine beside lib), since
    Wine finds its modules, its programs and its data relative to its own files. Made only
    for a build that can be copied: otherwise InstallError says why and what to do."""

    def __init__(self, wine, skip_lib_entries, alternative, dest=None):
        self.copies = []   # (source, path in the tool): files and folders
        self.links = []    # (path in the tool, relative link text)
        self.scripts = []  # (path in the tool, text)
        self.wine = wine
        self.alternative = alternative
        for program in wine.loaders() + [wine.wineserver]:
            self.check_program(program)
        if wine.debian:
            self.lay_out_debian(skip_lib_entries)
        else:
            self.lay_out_upstream(skip_lib_entries)
        for source, _ in self.copies:
            if not exists(source):
                self.refuse("%s is missing" % source)
            if dest and inside(os.path.realpath(os.path.dirname(dest)), os.path.realpath(source)):
                self.refuse("the destination %s lies inside %s, which is copied" % (dest, source))
        self.tree_links = self.plan_links()

    def refuse(self, reason):
        raise InstallError("cannot copy the Wine build %s into the tool: %s. %s"
                           % (self.wine.root, reason, self.alternative))

    def check_program(self, path):
        if is_script(path):
            self.refuse("%s is a script, and what it starts cannot be known" % path)
        if elf_class(path) is None:
            self.refuse("%s is %s" % (path, "not a program" if exists(path) else "missing"))

    def lay_out_debian(self, skip):
        wine = self.wine
        names = ["wine64", "wine64-preloader", os.path.basename(wine.wineserver)]
        if wine.why_no_32bit is None:
            names += ["wine", "wine-preloader"]
        for name in names:
            if exists(os.path.join(wine.bin_dir, name)):
                self.copies.append((os.path.join(wine.bin_dir, name), "lib/wine/" + name))
        for name in sorted(os.listdir(wine.lib_dir)):
            if name not in MODULE_FOLDERS and name not in skip:
                self.copies.append((os.path.join(wine.lib_dir, name),
                                    os.path.join(DEBIAN_MULTIARCH, name)))
                self.links.append(("lib/wine/" + name, "../x86_64-linux-gnu/wine/" + name))
        self.links.append((DEBIAN_MULTIARCH + "/x86_64-windows", "../../wine/x86_64-windows"))
        if wine.why_no_32bit is None:
            self.copies.append((os.path.join(wine.lib32_dir, "i386-unix"),
                                DEBIAN_MULTIARCH_32 + "/i386-unix"))
            self.links.append((DEBIAN_MULTIARCH_32 + "/i386-windows", "../../wine/i386-windows"))
        self.copies.append((wine.share_dir, "share/wine"))
        # Debian's lib/wine/wineserver is a script that starts /usr/lib/wine/wineserver64;
        # Wine starts the server of its own folder.
        self.scripts.append(("lib/wine/wineserver",
                             RELATIVE_EXEC % (os.path.basename(wine.wineserver), "-p0 ")))
        self.scripts.append(("bin/wine", RELATIVE_EXEC % ("../lib/wine/wine64", "")))
        self.links.append(("bin/wineserver", "../lib/wine/" + os.path.basename(wine.wineserver)))

    def lay_out_upstream(self, skip):
        wine = self.wine
        for name in ("wine", "wine64", "wine-preloader", "wine64-preloader", "wineserver"):
            if exists(os.path.join(wine.bin_dir, name)):
                self.copies.append((os.path.join(wine.bin_dir, name), "bin/" + name))
        if wine.loader_needs_script:
            self.scripts.append(("bin/wine", RELATIVE_EXEC % ("wine64", "")))
        for name in sorted(os.listdir(wine.lib_dir)):
            if name not in MODULE_FOLDERS and name not in skip:
                self.copies.append((os.path.join(wine.lib_dir, name), "lib/wine/" + name))
        self.copies.append((wine.share_dir, "share/wine"))

    def plan_links(self):
        """The text each link inside a copied folder gets in the tool, by the link's path: a
        relative link to where its target lands in the copy, also for an absolute one (the
        module folders land in the tool's own copies of them). A link that leads outside what
        is copied, or forms a loop, and a file that is neither a file nor a folder (a device,
        a FIFO), refuse the copy; a dangling link, and one to what is left out, is left out."""
        modules = [(self.wine.modules64, "lib/wine/x86_64-windows")]
        if self.wine.why_no_32bit is None:
            modules.append((self.wine.modules32, "lib/wine/i386-windows"))
        roots = [(os.path.realpath(source), relative)
                 for source, relative in self.copies + modules]

        def in_tool(real):
            for root, relative in roots:
                if inside(real, root):
                    return os.path.normpath(os.path.join(relative, os.path.relpath(real, root)))
            return None

        links = {}
        for source, relative in self.copies:
            if not os.path.isdir(source):
                continue
            for directory, folders, files in os.walk(source):
                for name in folders + files:
                    path = os.path.join(directory, name)
                    mode = os.lstat(path).st_mode
                    if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode) or stat.S_ISLNK(mode)):
                        self.refuse("%s is neither a file nor a folder" % path)
                    if not os.path.islink(path) or not copied_name(name):
                        continue
                    try:
                        real = os.path.realpath(path, strict=True)
                    except OSError as error:
                        if error.errno == errno.ELOOP:
                            self.refuse("the link %s -> %s forms a loop"
                                        % (path, os.readlink(path)))
                        continue
                    if not copied_name(os.path.basename(real)):
                        continue
                    target = in_tool(real)
                    if target is None:
                        self.refuse("the link %s -> %s leads outside the Wine build"
                                    % (path, os.readlink(path)))
                    at = os.path.join(relative, os.path.relpath(path, source))
                    links[path] = os.path.relpath(target, os.path.dirname(at))
        return links

    def size(self):
        """The bytes the copy takes: each file once, links not followed."""
        seen = set()

        def size_of(status):
            key = (status.st_dev, status.st_ino)
            if not stat.S_ISREG(status.st_mode) or key in seen:
                return 0
            seen.add(key)
            return status.st_size

        total = 0
        for source, _ in self.copies:
            if not os.path.isdir(source):
                total += size_of(os.stat(source))
                continue
            for directory, _, files in os.walk(source):
                total += sum(size_of(os.lstat(os.path.join(directory, name)))
                             for name in files if copied_name(name))
        return total

    def entries(self):
        """The files, folders and links the copy makes: the inodes it takes at most."""
        count = len(self.links) + len(self.scripts)
        for source, _ in self.copies:
            if not os.path.isdir(source):
                count += 1
                continue
            for _, folders, files in os.walk(source):
                count += len(folders) + sum(1 for name in files if copied_name(name))
        return count

    def lay_out(self, tree):
        copied = {}  # (device, inode) of each file copied -> its copy: hard links stay links
        for source, relative in self.copies:
            target = os.path.join(tree, relative)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if os.path.isdir(source):
                copy_folder(source, target, self.tree_links, copied)
            else:
                shutil.copy2(source, target)
        for relative, text in self.links:
            os.makedirs(os.path.dirname(os.path.join(tree, relative)), exist_ok=True)
            symlink(text, os.path.join(tree, relative))
        for relative, text in self.scripts:
            write_file(os.path.join(tree, relative), text, 0o755)


def copy_folder(source, target, links, copied):
    """Copies the folder `source` to `target`; each link in it becomes the link `links` gives
    it (one that is not there, a dangling one, is left out), and a file already copied under
    another name (`copied`) a hard link to that copy, as in the build."""
    os.makedirs(target)
    for name in sorted(os.listdir(source)):
        path = os.path.join(source, name)
        if not copied_name(name):
            continue
        into = os.path.join(target, name)
        if os.path.islink(path):
            if path in links:
                symlink(links[path], into)
        elif os.path.isdir(path):
            copy_folder(path, into, links, copied)
        else:
            status = os.lstat(path)
            key = (status.st_dev, status.st_ino)
            if key in copied:
                os.link(copied[key], into)
            else:
                shutil.copy2(path, into)
                copied[key] = into


def refuse_links_leading_out(tree):
    leading_out = links_leading_out(tree)
    if leading_out:
        raise InstallError(
            "the tool's own Wine would lead outside it, through %s; not installing it"
            % ", ".join("%s -> %s" % (os.path.relpath(path, tree), os.readlink(path))
                        for path in leading_out[:5]))


def links_leading_out(tree):
    """The links in `tree` that are absolute or lead outside it, but the template's drive Z:,
    which is "/" by design."""
    root = os.path.realpath(tree)
    drive_z = os.path.join(tool_path(tree, "template"), "dosdevices/z:")
    found = []
    for directory, folders, files in os.walk(tree):
        for name in folders + files:
            path = os.path.join(directory, name)
            if os.path.islink(path) and path != drive_z and \
                    (os.path.isabs(os.readlink(path)) or
                     not inside(os.path.realpath(path), root)):
                found.append(path)
    return found


def plan_wine_copy(copy_wine, wine, skip_lib_entries, sandbox, dest=None):
    """The copy of the Wine build the tool gets (None when it links to the build), and a text
    that says which and why. The copy leaves out the entries of lib/wine `skip_lib_entries`,
    which the tool brings its own of."""
    if not (copy_wine or sandbox):
        return None, "linked into the tool"
    if sandbox:
        why = "a %s Steam runs the tool in a sandbox whose /usr is its own" % sandbox
        instead = "install into another Steam installation"
    else:
        why, instead = "--copy-wine", "install without --copy-wine"
    alternative = ("Give --wine a Wine build that can be copied (such as Debian's wine64 in "
                   "/usr), or %s." % instead)
    return WineCopy(wine, skip_lib_entries, alternative, dest), "copied into the tool (%s)" % why
