"""The free space the new tree needs on the destination's file system at its largest, checked
before anything is changed, and the message when the disk runs full all the same."""

import os

from .common import InstallError, megabytes

# A template made by wineboot holds about one more copy of some of the modules it loads (winsxs,
# the windows folder), and registry files, code pages and fonts besides.
TEMPLATE_OVERHEAD = 0.15
TEMPLATE_EXTRA = 64 << 20
# pelto and its helpers, before they are built.
BUILD_ESTIMATE = 16 << 20
# Free space below which a failed wineboot counts as one that found the disk full.
FULL_BELOW = 4 << 20


def existing_folder(path):
    """`path` or the nearest folder above it that exists."""
    while not os.path.isdir(path) and os.path.dirname(path) != path:
        path = os.path.dirname(path)
    return path


def mount_point(path):
    path = os.path.realpath(existing_folder(path))
    while not os.path.ismount(path):
        path = os.path.dirname(path)
    return path


def free_space(path):
    status = os.statvfs(existing_folder(path))
    return status.f_bavail * status.f_frsize


def space_needed(sets, wine_copy, programs, release_files):
    """(bytes, what) for each part of the new tree at its largest, on the destination's file
    system: the tool's modules, the template as wineboot writes it (with its own copies of the
    modules, which become links to the tool's only afterwards), the copy of Wine, the
    programs."""
    stripped = all(modules.strip for modules in sets)
    modules = sum(modules.estimated_size() for modules in sets)
    booted = modules if wine_copy else sum(sum(modules.sizes) for modules in sets)
    parts = [(modules, "Wine's modules%s" % (" without their debug sections" if stripped else "")),
             (int(booted * (1 + TEMPLATE_OVERHEAD)) + TEMPLATE_EXTRA,
              "the prefix template while wineboot makes it")]
    if wine_copy:
        parts.append((wine_copy.size(), "the copy of the Wine build"))
    files = [path for path in list(programs) + release_files if os.path.isfile(path)]
    size = sum(os.stat(path).st_size for path in files) if files else BUILD_ESTIMATE
    parts.append((size, "pelto, the Steam bridge and DXVK's or VKD3D-Proton's DLLs"))
    return parts


def check_space(dest, parts):
    """What the new tree needs and what is free, as a line; InstallError when it does not fit."""
    need = sum(size for size, _ in parts)
    free = free_space(os.path.dirname(dest))
    where = "on %s" % mount_point(os.path.dirname(dest))
    if need > free:
        raise InstallError(
            "not enough free space: the new installation needs about %s %s (the file system "
            "of %s), and %s is free there. It takes %s. Free some space there, or choose "
            "another destination; nothing was changed." % (
                megabytes(need), where, dest, megabytes(free),
                ", ".join("%s for %s" % (megabytes(size), what) for size, what in parts)))
    return "about %s needed %s, %s free" % (megabytes(need), where, megabytes(free))


def no_space_text(path):
    return ("no space left on device: the file system on %s is full (its space or its inodes, "
            "ENOSPC) while writing %s. The new installation's staging directory is removed; the "
            "previous installation, if any, is unchanged" % (mount_point(path), path))
