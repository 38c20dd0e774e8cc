"""An install as two steps: `make_plan` checks everything and changes nothing (a dry run
prints what it found), `carry_out` builds the new tree beside the destination and swaps it in,
one named step after another."""

import dataclasses
import os
import shutil
import stat
import tempfile

from .common import (PACKAGES, TOOL_NAME, InstallError, MissingPackages, copy_program, megabytes,
                     say, say_lines)
from .layout import tool_path, tool_relative, wine_layout
from .modules import check_release, lay_in_dlls, lay_in_modules, module_sets, \
    share_template_modules
from .programs import build, find_programs, missing_programs
from .space import check_space, inodes_needed, space_needed
from .template import make_template
from .tree import (BlockedSignals, carry_over, check_tools_folder, check_unchanged,
                   destination_state, lock_parent, remove_leftovers, staging_prefix, swap_in,
                   write_tool_files)
from .wine import DEBIAN_MULTIARCH, find_wine, found_layout, wine_version
from .wine_copy import lay_out_wine, plan_wine_copy, refuse_links_leading_out

# The DLL releases the tool can bring: (their row in the tool's layout, their name, a DLL that
# every release has).
RELEASES = (("dxvk", "dxvk", "d3d11.dll"), ("vkd3d", "vkd3d-proton", "d3d12.dll"))


@dataclasses.dataclass
class Plan:
    """Everything an install will do, as the checks found it."""
    target: object        # steam.Destination
    programs: object      # programs.Programs
    wine: object          # wine.WineBuild
    wine_copy: object     # wine_copy.WineCopy, or None when the tool links to the build
    how: str              # how the tool gets its Wine, as a text
    sets: list            # modules.ModuleSet for each architecture
    releases: dict        # "dxvk", "vkd3d" -> their (64-bit, 32-bit) DLL folders
    own_lib_entries: set  # the entries of lib/wine the releases given take from the build
    state: str            # what stands at the destination: "absent", "empty" or "pelto"
    space: str            # what the new tree needs and what is free, as a text

    @property
    def dest(self):
        return self.target.path


class Progress:
    """How far a carried-out plan got, for the message when it is cut short."""

    def __init__(self):
        self.swapped_in = False


def make_plan(options, target):
    """The plan of installing into `target`; InstallError (MissingPackages) for what stands in
    the way, all of it named at once where it can be. Nothing is changed."""
    target.check_rights()
    programs = find_programs(options.build)
    wine, why_no_wine = find_wine(options.wine)
    missing, absent = missing_programs(programs)
    if absent:
        raise InstallError("; ".join(absent) + " (build it first, or leave out --build)")
    if wine is None and not options.wine:
        missing.append(("Wine (%s)" % why_no_wine, PACKAGES["wine"]))
    if missing:
        raise MissingPackages(missing)
    if wine is None:
        raise InstallError(why_no_wine)
    releases = {}
    for (row, name, probe), given in zip(RELEASES, (options.dxvk, options.vkd3d_proton)):
        if given:
            releases[row] = check_release(name, os.path.abspath(os.path.expanduser(given)),
                                          probe)
    # The tool's folder of a release given stands where the build may have one of its own.
    own_lib_entries = {os.path.relpath(tool_relative(row), "lib/wine").split(os.sep)[0]
                       for row in releases}
    check_tools_folder(os.path.dirname(target.path))
    state = destination_state(target.path)
    sets = module_sets(wine)
    wine_copy, how = plan_wine_copy(options.copy_wine, wine, own_lib_entries, target.sandbox,
                                    target.path)
    release_files = [os.path.join(folder, name) for folders in releases.values()
                     for folder in folders if folder for name in os.listdir(folder)]
    space = check_space(target.path,
                        space_needed(sets, wine_copy, programs.files(), release_files),
                        inodes_needed(sets, wine_copy))
    return Plan(target=target, programs=programs, wine=wine, wine_copy=wine_copy, how=how,
                sets=sets, releases=releases, own_lib_entries=own_lib_entries, state=state,
                space=space)


def describe(plan):
    """What carrying the plan out would do: the dry run's report."""
    lines = ["Dry run: nothing is changed.",
             "%s would be installed into %s" % (plan.programs.name(), plan.dest)]
    lines += plan.target.report(False)
    if plan.state == "pelto":
        lines.append("The pelto installed there would be replaced.")
    wine = plan.wine
    lines.append("Wine: %s (%s, %s), %s" % (wine.root, wine.layout, wine_version(wine), plan.how))
    if plan.wine_copy:
        lines.append("      its copy: about %s" % megabytes(plan.wine_copy.size()))
    lines += wine.notes()
    lines += [modules.describe() for modules in plan.sets]
    lines.append("pelto, steam.exe, lsteamclient and pelto-wineboot: %s" % plan.programs.origin)
    lines.append("Space: %s" % plan.space)
    return lines


@dataclasses.dataclass
class Install:
    """A plan being carried out: what each step reads, and what it leaves for the next."""
    plan: Plan
    progress: Progress
    number: int = 0      # the step under way, counted from 1
    staging: str = None  # the folder beside the destination the new tree is built in
    tree: str = None     # the new tree, inside `staging`

    def heading(self, text):
        say("[%d/%d] %s" % (self.number, len(STEPS), text))


def name_the_wine(install):
    """Names the Wine build the tool gets, and what it lacks."""
    wine = install.plan.wine
    install.heading("Wine: %s (%s, %s), %s" % (wine.root, wine.layout, wine_version(wine),
                                               install.plan.how))
    say_lines(wine.notes())


def get_the_programs(install):
    """Builds pelto and its helpers in a checkout; a release archive brings them built."""
    programs = install.plan.programs
    if programs.build_dir:
        install.heading("Building pelto, pelto-wineboot, steam.exe and lsteamclient (Release) "
                        "in %s..." % programs.build_dir)
        build(programs)
    else:
        install.heading("pelto, pelto-wineboot, steam.exe and lsteamclient %s"
                        % programs.origin)


def lay_out(install):
    """Lays out the new tree, but for its template and DLL releases, beside the destination."""
    plan = install.plan
    install.heading("Laying out the tool and its Wine tree (%s)" % plan.space)
    install.staging = tempfile.mkdtemp(prefix=staging_prefix(plan.dest),
                                       dir=os.path.dirname(plan.dest))
    # The new tree sits one level down, where Steam, which reads every folder of
    # compatibilitytools.d, does not see it as a second tool.
    install.tree = os.path.join(install.staging, "tree")
    lay_out_tree(plan, install.tree)
    say("      as pelto finds it: %s" % found_layout(install.tree))


def lay_in_releases(install):
    """Lays in the DXVK and VKD3D-Proton DLLs given, else those of the previous installation."""
    install.heading("DXVK and VKD3D-Proton")
    plan = install.plan
    for row, name, _ in RELEASES:
        relative = tool_relative(row)
        if row in plan.releases:
            lay_in_dlls(os.path.join(install.tree, relative), plan.releases[row])
            say("      %s: copied from %s" % (name, os.path.dirname(plan.releases[row][0])))
        elif plan.state == "pelto" and carry_over(plan.dest, install.tree, relative):
            say("      %s: kept from the previous installation" % name)
        else:
            say("      %s: none (games use Wine's own Direct3D unless a Proton provides it)"
                % name)


def make_the_template(install):
    """Makes the shared prefix template, the tree's last part, and checks the finished tree."""
    install.heading("Creating the shared prefix template with wineboot (takes a few seconds)...")
    plan, tree = install.plan, install.tree
    make_template(tree, install.staging, plan.programs.wineboot)
    files, size = share_template_modules(tree, tool_path(tree, "template"), plan.sets)
    say("      %d files of the template (%s as wineboot wrote them) are now links to the tool's "
        "copies of Wine's modules" % (files, megabytes(size)))
    if plan.wine_copy:
        refuse_links_leading_out(tree)
    if plan.target.for_everyone:
        readable_by_all(tree)


def put_in_place(install):
    """Puts the new tree in place of the destination in one step."""
    install.heading("Putting the new installation in place")
    with BlockedSignals():
        swap_in(install.tree, install.plan.dest, install.plan.state, install.staging)
        install.progress.swapped_in = True


# What carrying out a plan does, in order; each step's heading is numbered from its place.
STEPS = [name_the_wine, get_the_programs, lay_out, lay_in_releases, make_the_template,
         put_in_place]


def carry_out(plan, progress):
    """Builds the new tree in a staging folder beside the destination, then puts it in place
    in one step; the previous installation stays until then, and the staging folder goes
    whatever happens."""
    parent = os.path.dirname(plan.dest)
    if plan.target.for_everyone:
        os.umask(0o022)  # every user's launches read the tool
    os.makedirs(parent, exist_ok=True)
    install = Install(plan, progress)
    lock = lock_parent(parent)
    try:
        remove_leftovers(plan.dest)
        check_unchanged(plan.dest, plan.state)
        say("Installing %s into %s" % (plan.programs.name(), plan.dest))
        say_lines(plan.target.report(False))
        for number, step in enumerate(STEPS, 1):
            install.number = number
            step(install)
    finally:
        if install.staging is not None:
            shutil.rmtree(install.staging, ignore_errors=True)
        os.close(lock)
    say()
    say("pelto %s is installed in %s." % (plan.programs.version, plan.dest))
    say("Next, in Steam:")
    say("  1. Restart the Steam client (it reads its compatibility tools when it starts).")
    say("  2. In a game's Properties -> Compatibility, tick \"Force the use of a specific "
        "Steam Play compatibility tool\" and choose \"pelto\".")


def readable_by_all(tree):
    """Every user's launches read the tool: each folder and file of it readable (and a
    program runnable) by all, whatever modes the files it was made from had."""
    for directory, folders, files in os.walk(tree):
        for name in folders + files:
            path = os.path.join(directory, name)
            mode = os.lstat(path).st_mode
            if stat.S_ISDIR(mode) or (stat.S_ISREG(mode) and mode & 0o100):
                os.chmod(path, stat.S_IMODE(mode) | 0o555)
            elif stat.S_ISREG(mode):
                os.chmod(path, stat.S_IMODE(mode) | 0o444)
    os.chmod(tree, 0o755)


def lay_out_tree(plan, tree):
    """The tool's files: pelto, Steam's files, the Wine tree, the modules, the bridges."""
    os.makedirs(tree)
    copy_program(plan.programs.pelto, os.path.join(tree, "pelto"))
    write_tool_files(tree, TOOL_NAME, plan.programs.version)
    if plan.wine_copy:
        plan.wine_copy.lay_out(tree)
    else:
        lay_out_wine(tree, plan.wine, plan.own_lib_entries)
    lay_in_modules(tree, plan.sets)
    lay_in(plan.programs.bridge, tree, "steam_bridge")
    lay_in_steam_client_bridge(plan, tree)
    env_config = tool_relative("env_config")
    if plan.state == "pelto" and carry_over(plan.dest, tree, env_config):
        say("      kept %s of the previous installation" % env_config)


def lay_in(source, tree, row, mode=0o755):
    """Copies one of pelto's programs to where the tool's layout puts `row`; returns the copy."""
    target = tool_path(tree, row)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    copy_program(source, target, mode)
    return target


def lay_in_steam_client_bridge(plan, tree):
    """lsteamclient.dll beside the other modules, and its Linux half where Wine looks for it:
    beside it, for a Wine that finds the module through WINEDLLPATH, and in the unix folder
    paired with the tool's own module folder, for a copied Wine that finds it there."""
    lay_in(plan.programs.steamclient, tree, "steamclient", 0o644)
    unix_half = os.path.basename(lay_in(plan.programs.steamclient_unix, tree, "steamclient_unix"))
    if not plan.wine_copy:
        return
    for unix in wine_layout().get("unix64", []) + [DEBIAN_MULTIARCH + "/x86_64-unix"]:
        folder = os.path.join(tree, unix)
        if os.path.isdir(folder) and not os.path.islink(folder):
            copy_program(plan.programs.steamclient_unix, os.path.join(folder, unix_half))
