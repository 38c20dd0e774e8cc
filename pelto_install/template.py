"""The shared prefix template (share/default_pfx, where the tool's layout puts it): a prefix
made once, which every new game's prefix is laid from instead of running wineboot. It is made
by pelto-wineboot, a helper built from the launcher's own code, so that wineboot runs exactly
as a launch runs it for a game's prefix; then what must not be shared between players is
removed from it."""

import os
import shutil
import signal
import subprocess
import time

from .common import InstallError, exists, inside
from .layout import tool_path
from .space import disk_full, no_space_text

TEMPLATE_TIMEOUT_S = 600


def helper_env(scratch):
    """What the helper runs with: this environment, with a private TMPDIR (Debian's Wine keeps
    its server directory there) and HOME (Wine links the profile's folders into it), and no
    display, so that no dialog waits for a click; add-ons found on this machine are still
    installed."""
    env = dict(os.environ)
    env["TMPDIR"] = os.path.join(scratch, "tmp")
    env["HOME"] = os.path.join(scratch, "home")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def processes_of_prefix(prefix):
    """The ids of the processes whose environment holds WINEPREFIX={prefix}."""
    wanted = b"WINEPREFIX=" + os.fsencode(prefix)
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as file:
                if wanted in file.read().split(b"\0"):
                    found.append(int(name))
        except OSError:
            continue
    return found


def stop_wine(server, prefix, scratch):
    """Ends the Wine session of the template `prefix`: "wineserver -k", then SIGKILL to
    whatever of that prefix still runs a while later. Every wait is bounded."""
    env = helper_env(scratch)
    env["WINEPREFIX"] = prefix
    if os.path.lexists(server):
        try:
            subprocess.run([server, "-k"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        except (OSError, subprocess.SubprocessError):
            pass
    for _ in range(100):
        if not processes_of_prefix(prefix):
            return
        time.sleep(0.1)
    for pid in processes_of_prefix(prefix):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def tail_of(path, limit=3000):
    try:
        with open(path, "rb") as file:
            return file.read().decode("utf-8", "replace")[-limit:]
    except OSError:
        return ""


def make_template(tree, staging, helper):
    """Runs the helper into the template folder of `tree` (its Wine the tool's), then removes
    what must not be shared between players. The template's Wine session is over when this
    returns, also when it fails or is interrupted."""
    prefix = tool_path(tree, "template")
    scratch = os.path.join(staging, "scratch")
    for folder in ("tmp", "home"):
        os.makedirs(os.path.join(scratch, folder))
    os.makedirs(prefix)
    log = os.path.join(staging, "wineboot.log")
    try:
        with open(log, "ab") as output:
            status = subprocess.run([helper, tree, prefix], env=helper_env(scratch),
                                    stdin=subprocess.DEVNULL, stdout=output,
                                    stderr=subprocess.STDOUT,
                                    timeout=TEMPLATE_TIMEOUT_S).returncode
    except subprocess.TimeoutExpired:
        raise InstallError("wineboot --init did not finish within %d s; its output:\n%s"
                           % (TEMPLATE_TIMEOUT_S, tail_of(log)))
    finally:
        # The helper waits for the server; one cut short leaves Wine's processes behind.
        stop_wine(os.path.join(tree, "bin/wineserver"), prefix, scratch)
    if status != 0 or not exists(os.path.join(prefix, "system.reg")):
        output = tail_of(log)
        # Wine tells no reason of its own when the disk is full, of bytes or of inodes.
        if disk_full(prefix) or "No space left on device" in output:
            raise InstallError("%s (wineboot --init failed: status %d)"
                               % (no_space_text(prefix), status))
        raise InstallError("wineboot --init failed (status %d); its output:\n%s"
                           % (status, output))
    clean_template(prefix)
    shutil.rmtree(scratch, ignore_errors=True)


def leads_inside(path, root):
    return inside(os.path.realpath(path), root)


def clean_template(prefix):
    """Leaves no link that leads out of the template but drive Z:, and no server file."""
    # Debian's Wine names its server directory (under the private TMPDIR) in this file; each
    # prefix made from the template gets a server of its own.
    server_file = os.path.join(prefix, "wineserver")
    if os.path.lexists(server_file) and not os.path.isdir(server_file):
        os.unlink(server_file)
    root = os.path.realpath(prefix)
    drive_z = os.path.join(prefix, "dosdevices", "z:")
    for directory, folders, files in os.walk(prefix):
        for name in folders + files:
            path = os.path.join(directory, name)
            if not os.path.islink(path) or path == drive_z or leads_inside(path, root):
                continue
            # Wine links the profile's Documents, Desktop and the like into the installing
            # user's home (here a private one): in a shared template they would send every
            # player's files there. Such a folder becomes an empty real one; other links (a
            # serial port, a drive of this machine) go.
            is_folder = os.path.isdir(path)
            os.unlink(path)
            if is_folder and path.startswith(os.path.join(prefix, "drive_c") + os.sep):
                os.mkdir(path)
