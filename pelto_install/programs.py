"""pelto and its helper programs: the launcher, the Steam bridge steam.exe, the Steam client
bridge lsteamclient.dll with its Linux half lsteamclient.so, and pelto-wineboot, which makes
the template. An unpacked release archive brings them built (installing needs no
compiler); in a checkout they are built first (Release), or taken from a build given with
--build."""

import os
import re
import subprocess

from .common import PACKAGES, ROOT, InstallError, exists, which

# Beside install.py in a release archive: "version=…" and "commit=…" of the programs in bin/.
RELEASE_INFO = "release-info"
# The version goes into Steam's VDF file, between quotes: digits and dots only.
VERSION_FORM = re.compile(r"[0-9]+(\.[0-9]+)*")
WHAT = ("pelto", "the bridge steam.exe", "the helper pelto-wineboot",
        "the Steam client bridge lsteamclient.dll", "its Linux half lsteamclient.so")
# The programs' names in a release archive's bin/.
RELEASE_NAMES = ("pelto", "steam.exe", "pelto-wineboot", "lsteamclient.dll", "lsteamclient.so")


class Programs:
    """Where the programs are, their version and commit, and whether they are to be built."""

    def __init__(self, files, version, commit, origin, build_dir=None):
        self.pelto, self.bridge, self.wineboot, self.steamclient, self.steamclient_unix = files
        self.version = version
        self.commit = commit
        self.origin = origin        # "from the release archive …", "built in …"
        self.build_dir = build_dir  # set when they are to be built there first

    def files(self):
        return [self.pelto, self.bridge, self.wineboot, self.steamclient, self.steamclient_unix]

    def name(self):
        return "pelto %s (commit %s)" % (self.version, self.commit)


def find_programs(build_option, root=ROOT):
    """The programs of the release archive at `root`, those of the build directory
    `build_option` (already built), or those to be built in a checkout."""
    if build_option:
        build_dir = os.path.abspath(os.path.expanduser(build_option))
        return Programs(built_files(build_dir), pelto_version(build_dir),
                        build_commit(build_dir, root), "built in %s" % build_dir)
    info = os.path.join(root, RELEASE_INFO)
    if exists(info):
        fields = dict(line.split("=", 1) for line in read_text(info).splitlines()
                      if "=" in line)
        version = fields.get("version", "")
        if not VERSION_FORM.fullmatch(version):
            raise InstallError("%s names no version" % info)
        files = [os.path.join(root, "bin", name) for name in RELEASE_NAMES]
        return Programs(files, version, fields.get("commit", "unknown"),
                        "from the release archive in %s" % root)
    build_dir = os.path.join(root, "build-ci", "install")
    return Programs(built_files(build_dir), pelto_version(build_dir), commit_of(root),
                    "to be built (Release) in %s" % build_dir, build_dir)


def built_files(build_dir):
    return [os.path.join(build_dir, "pelto"), os.path.join(build_dir, "bridge", "steam.exe"),
            os.path.join(build_dir, "pelto-wineboot"),
            os.path.join(build_dir, "steamclient", "lsteamclient.dll"),
            os.path.join(build_dir, "steamclient", "lsteamclient.so")]


def read_text(path):
    try:
        with open(path) as file:
            return file.read().strip()
    except OSError:
        return ""


def pelto_version(build_dir, root=ROOT):
    """pelto's version: the build directory's "version" file (written by CMake), else the
    project() line of CMakeLists.txt."""
    text = read_text(os.path.join(build_dir, "version"))
    if not VERSION_FORM.fullmatch(text):
        found = re.search(r"^\s*project\s*\(\s*pelto\s+VERSION\s+(\S+)",
                          read_text(os.path.join(root, "CMakeLists.txt")), re.MULTILINE)
        text = found.group(1) if found else ""
    if not VERSION_FORM.fullmatch(text):
        raise InstallError("cannot tell pelto's version: neither %s/version nor the project() "
                           "line of %s/CMakeLists.txt gives one" % (build_dir, root))
    return text


def build_commit(build_dir, root=ROOT):
    """The commit the programs of `build_dir` were built from, as the build recorded it (with
    "+changes" for a changed tree); the checkout's HEAD for a build that recorded none."""
    recorded = read_text(os.path.join(build_dir, "commit"))
    return recorded if recorded else commit_of(root)


def commit_of(root):
    """The commit of the checkout at `root`, abbreviated; "unknown" outside git."""
    try:
        result = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return "unknown"
    commit = result.stdout.decode("utf-8", "replace").strip()
    return commit if result.returncode == 0 and commit else "unknown"


def missing_programs(programs):
    """What the install lacks to have its programs: the build tools (what, package) when they
    are to be built, else a message for each program that is missing."""
    if programs.build_dir:
        return missing_build_tools(), []
    absent = ["%s is missing at %s" % (what, path)
              for what, path in zip(WHAT, programs.files()) if not os.path.isfile(path)]
    return [], absent


def missing_build_tools():
    """(what, package) for every tool the build needs and this machine lacks."""
    missing = []
    if not which("cmake"):
        missing.append(("cmake", PACKAGES["cmake"]))
    if not which("ninja"):
        missing.append(("ninja", PACKAGES["ninja"]))
    if not (which("c++") or which("g++")):
        missing.append(("a C++ compiler (g++)", PACKAGES["c++"]))
    if not which("x86_64-w64-mingw32-gcc"):
        missing.append(("the mingw-w64 compiler x86_64-w64-mingw32-gcc", PACKAGES["mingw"]))
    if not which("x86_64-w64-mingw32-g++"):
        missing.append(("the mingw-w64 C++ compiler x86_64-w64-mingw32-g++",
                        PACKAGES["mingw-c++"]))
    if not which("winebuild", ["/usr/lib/wine"]):
        missing.append(("winebuild", PACKAGES["winebuild"]))
    return missing


def build(programs, root=ROOT):
    """Configures and builds the Release programs in the build directory of `programs`."""
    configure = ["cmake", "-S", root, "-B", programs.build_dir, "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"]
    compile_ = ["cmake", "--build", programs.build_dir, "--target", "pelto", "pelto-wineboot",
                "pelto_bridge", "pelto_steamclient", "--parallel", str(os.cpu_count() or 2)]
    for command in (configure, compile_):
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            output = result.stdout.decode("utf-8", "replace")
            raise InstallError("%s failed:\n%s" % (" ".join(command), output[-4000:]))
