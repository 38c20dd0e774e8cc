"""What every module of the installer uses: its errors, its output, and small file helpers."""

import concurrent.futures
import os
import shutil
import sys

# The folder that holds install.py: a checkout of pelto, or an unpacked release archive.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL_NAME = "pelto"
# Where a Steam installation keeps the compatibility tools of its user.
TOOLS_FOLDER = "compatibilitytools.d"
# The manifest's command line; its presence marks a directory as a pelto installation.
COMMAND_LINE = "/pelto %verb%"

# Debian 12 packages that bring what a step needs.
PACKAGES = {
    "wine": "wine64",
    "cmake": "cmake",
    "ninja": "ninja-build",
    "c++": "g++",
    "mingw": "gcc-mingw-w64-x86-64",
    "mingw-c++": "g++-mingw-w64-x86-64-win32",
    "winebuild": "wine64-tools",
}


class InstallError(Exception):
    """A step failed; the message says what and where."""


class MissingPackages(InstallError):
    """The machine lacks what the install needs: `missing` holds (what, Debian package)."""

    def __init__(self, missing):
        super().__init__("missing: %s" % ", ".join(what for what, _ in missing))
        self.missing = missing


class Interrupted(Exception):
    """SIGTERM or SIGHUP arrived; handled like Ctrl-C."""


def say(text="", stream=None):
    """Writes one line of progress. Output is only informational: a closed terminal or pipe
    must not stop an install half-way."""
    try:
        print(text, file=stream or sys.stdout, flush=True)
    except OSError:
        pass


def say_lines(lines):
    for line in lines:
        say(line)


def exists(path):
    return os.path.exists(path)


def inside(path, root):
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def shell_quote(text):
    return "'%s'" % text.replace("'", "'\\''")


def megabytes(size):
    return "%d MB" % round(size / 1e6)


def which(name, extra_dirs=()):
    found = shutil.which(name)
    if found:
        return found
    for directory in extra_dirs:
        path = os.path.join(directory, name)
        if os.access(path, os.X_OK):
            return path
    return None


def symlink(target, path):
    os.symlink(target, path)


def copy_program(source, target, mode=0o755):
    # A plain copy with a fresh modification time: the launcher copies the bridge into each
    # prefix again only when its source is newer than the prefix's copy.
    shutil.copyfile(source, target)
    os.chmod(target, mode)


def write_file(path, text, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as file:
        file.write(text)
    if mode is not None:
        os.chmod(path, mode)


def in_parallel(function, items):
    """function(item) for every item on as many threads as there are cores (each mostly waits
    for a program or the disk); the results in order. The first error stops what has not
    started yet and is raised."""
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2)
    try:
        results = list(pool.map(function, items))
    except BaseException:
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown()
    return results
