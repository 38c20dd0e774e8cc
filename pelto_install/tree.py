"""The installed tree in place: what counts as a pelto installation (nothing else is ever
touched), the staging folder the new tree is built in, and the swap that puts it in place in
one step, so that an interrupted run leaves the previous installation working."""

import ctypes
import errno
import fcntl
import os
import shutil
import signal
import stat

from .common import COMMAND_LINE, InstallError, exists, say
from .layout import tool_path
from .template import stop_wine

RENAME_NOREPLACE = 1
RENAME_EXCHANGE = 2
AT_FDCWD = -100

# "use_tool_subprocess_reaper": Steam ends the tool's leftover processes when a game ends.
TOOL_MANIFEST = """\
"manifest"
{
  "version" "2"
  "commandline" "%s"
  "use_tool_subprocess_reaper" "1"
}
""" % COMMAND_LINE

COMPATIBILITY_TOOL = """\
"compatibilitytools"
{
  "compat_tools"
  {
    "%s"
    {
      "install_path" "."
      "display_name" "pelto %s"
      "from_oslist" "windows"
      "to_oslist" "linux"
    }
  }
}
"""


def is_pelto_installation(path):
    """True when `path` holds a pelto toolmanifest.vdf (a regular file, links not followed)."""
    manifest = os.path.join(path, "toolmanifest.vdf")
    try:
        if not stat.S_ISREG(os.lstat(manifest).st_mode):
            return False
        with open(manifest, "rb") as file:
            text = file.read(65536).decode("utf-8", "replace")
    except OSError:
        return False
    return ('"%s"' % COMMAND_LINE) in text


def destination_state(dest):
    """"absent", "empty" or "pelto"; raises InstallError for anything else."""
    try:
        status = os.lstat(dest)
    except FileNotFoundError:
        return "absent"
    if stat.S_ISLNK(status.st_mode):
        raise InstallError("%s is a symbolic link; not touching it (remove it, or give the "
                           "directory it leads to with --dest)" % dest)
    if not stat.S_ISDIR(status.st_mode):
        raise InstallError("%s exists and is not a directory; not touching it" % dest)
    if is_pelto_installation(dest):
        return "pelto"
    if not os.listdir(dest):
        return "empty"
    raise InstallError("%s exists and is not a pelto installation (it has no pelto "
                       "toolmanifest.vdf); not touching it. Move it away or choose another "
                       "--dest." % dest)


def check_unchanged(dest, planned):
    """Refuses to go on when the destination is no longer what the plan found there: another
    install.py may have changed it while this one waited for it to finish."""
    if destination_state(dest) != planned:
        raise InstallError("%s changed while install.py waited for another run of it; nothing "
                           "was changed: run install.py again" % dest)


def check_tools_folder(parent):
    """Refuses a compatibility tools folder that cannot hold the tool: a dangling link or
    something that is not a folder, saying which."""
    if not os.path.lexists(parent) or os.path.isdir(parent):
        return
    if os.path.islink(parent) and not exists(parent):
        raise InstallError("%s is a link to %s, which does not exist; create that folder or "
                           "remove the link" % (parent, os.readlink(parent)))
    if os.path.islink(parent):
        raise InstallError("%s is a link to %s, which is not a folder; remove the link and run "
                           "install.py again" % (parent, os.readlink(parent)))
    raise InstallError("%s is not a folder; move it away and run install.py again" % parent)


def write_tool_files(tree, name, version):
    """Steam's two files of the tool, and pelto's version."""
    with open(os.path.join(tree, "toolmanifest.vdf"), "w") as file:
        file.write(TOOL_MANIFEST)
    with open(os.path.join(tree, "compatibilitytool.vdf"), "w") as file:
        file.write(COMPATIBILITY_TOOL % (name, version))
    with open(os.path.join(tree, "version"), "w") as file:
        file.write(version + "\n")


def lock_parent(parent):
    """Holds an exclusive lock on the destination's folder until the descriptor is closed, so
    that two runs never clean up each other's staging directories."""
    fd = os.open(parent, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        say("Another install.py is working in %s; waiting for it..." % parent)
        fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def staging_prefix(dest):
    return ".%s.install-" % os.path.basename(dest)


def remove_leftovers(dest):
    """Removes staging directories that an interrupted run left beside the destination, after
    ending the Wine processes that may still be making a template in one."""
    parent = os.path.dirname(dest)
    for name in os.listdir(parent):
        path = os.path.join(parent, name)
        if not name.startswith(staging_prefix(dest)) or os.path.islink(path) \
                or not os.path.isdir(path):
            continue
        say("Removing %s, left by an interrupted run" % path)
        tree = os.path.join(path, "tree")
        stop_wine(os.path.join(tree, "bin/wineserver"), tool_path(tree, "template"),
                  os.path.join(path, "scratch"))
        shutil.rmtree(path, ignore_errors=True)


def renameat2(source, target, flags):
    """renameat2(2) through the C library; raises OSError (ENOSYS when there is none)."""
    try:
        function = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        raise OSError(errno.ENOSYS, "renameat2 is not available")
    function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                         ctypes.c_uint]
    if function(AT_FDCWD, os.fsencode(source), AT_FDCWD, os.fsencode(target), flags) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error), target)


def swap_in(tree, dest, state, staging):
    """Puts `tree` at `dest`; a previous installation ends up inside `staging`."""
    if state == "empty":
        os.rmdir(dest)
        state = "absent"
    if state == "absent":
        try:
            renameat2(tree, dest, RENAME_NOREPLACE)
        except OSError as error:
            if error.errno not in (errno.ENOSYS, errno.EINVAL):
                raise
            os.rename(tree, dest)
        return
    try:
        # One step: at every moment either the old or the new tree is in place.
        renameat2(tree, dest, RENAME_EXCHANGE)
    except OSError as error:
        if error.errno not in (errno.ENOSYS, errno.EINVAL):
            raise
        # No exchange on this system or file system: two renames, with the destination
        # missing for the moment between them. Should the second fail, the previous
        # installation goes back to its place.
        previous = os.path.join(staging, "previous")
        os.rename(dest, previous)
        try:
            os.rename(tree, dest)
        except OSError:
            os.rename(previous, dest)
            raise


class BlockedSignals:
    """Keeps SIGINT, SIGTERM and SIGHUP waiting while the trees are being renamed."""

    SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

    def __enter__(self):
        self.old = signal.pthread_sigmask(signal.SIG_BLOCK, self.SIGNALS)

    def __exit__(self, *unused):
        signal.pthread_sigmask(signal.SIG_SETMASK, self.old)


def carry_over(previous, tree, relative):
    """Copies `relative` from the previous installation when it has it; True when it did."""
    source = os.path.join(previous, relative)
    if os.path.islink(source) or not exists(source):
        return False
    target = os.path.join(tree, relative)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    # What the player put there before wins over what the Wine build brought just now, a link
    # into it or, in a copy of it, a folder.
    if os.path.islink(target):
        os.unlink(target)
    elif os.path.isdir(target):
        shutil.rmtree(target)
    # Times are kept: prefixes that already hold these files need not take them again.
    if os.path.isdir(source):
        shutil.copytree(source, target, symlinks=True)
    else:
        shutil.copy2(source, target)
    return True
