"""The free space the new tree needs on the destination's file system at its largest, in bytes
and in inodes, checked before anything is changed, and the message when the disk runs full
all the same."""

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
# Free inodes below which the same holds.
INODES_FULL_BELOW = 64
# The tool's own files and folders and those of the template that are no copies of modules,
# at the least: the inode count is a floor (Wine builds differ), the byte count a bound.
OTHER_ENTRIES = 100


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


def free_inodes(path):
    """The inodes still free on the file system of `path`; None for one that does not count
    them (btrfs, for one, reports none)."""
    status = os.statvfs(existing_folder(path))
    return status.f_favail if status.f_files else None


def disk_full(path):
    """Whether the file system of `path` has run out of space or of inodes."""
    inodes = free_inodes(path)
    return free_space(path) < FULL_BELOW or (inodes is not None and inodes < INODES_FULL_BELOW)


def inodes_needed(sets, wine_copy):
    """The inodes the new tree takes at the least: each module twice (the tool's copy, and
    wineboot's in the template before it becomes a link to the tool's), the copy of Wine, the
    rest."""
    entries = sum(2 * len(modules.names) for modules in sets) + OTHER_ENTRIES
    return entries + (wine_copy.entries() if wine_copy else 0)


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


def check_space(dest, parts, inodes):
    """What the new tree needs and what is free, as a line; InstallError when it does not fit,
    in bytes or in the `inodes` it needs."""
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
    free_count = free_inodes(os.path.dirname(dest))
    if free_count is not None and inodes > free_count:
        raise InstallError(
            "not enough free inodes: the new installation needs at least %d files and folders "
            "%s (the file system of %s), and %d more fit there. Free some there, or choose "
            "another destination; nothing was changed." % (inodes, where, dest, free_count))
    return "about %s needed %s, %s free" % (megabytes(need), where, megabytes(free))


def no_space_text(path):
    return ("no space left on device: the file system on %s is full (its space or its inodes, "
            "ENOSPC) while writing %s. The new installation's staging directory is removed; the "
            "previous installation, if any, is unchanged" % (mount_point(path), path))
