"""Removing pelto, in the two steps of an install: `make_plan` checks everything and changes
nothing (a dry run prints `describe`), `carry_out` moves the installation out of the way in
one step and removes it. Only a pelto installation is ever removed."""

import dataclasses
import os
import shutil
import tempfile

from .common import say, say_lines
from .tree import (BlockedSignals, check_unchanged, destination_state, lock_parent,
                   remove_leftovers, staging_prefix)


@dataclasses.dataclass
class Plan:
    """What removing pelto from the destination will do, as the checks found it."""
    target: object  # steam.Destination
    found: str      # what stands at the destination: "pelto", "absent" or "empty"

    @property
    def dest(self):
        return self.target.path


def make_plan(target):
    """The plan of removing pelto from `target`; InstallError for a destination that holds
    something else than pelto. Nothing is changed."""
    target.check_rights()
    tools = os.path.dirname(target.path)
    found = destination_state(target.path) if os.path.isdir(tools) else "absent"
    return Plan(target=target, found=found)


def nothing_to_remove(plan):
    if plan.found == "empty":
        return ("Nothing to remove: %s is an empty folder, not a pelto installation; it is left "
                "as it is." % plan.dest)
    return "Nothing to remove: %s does not exist." % plan.dest


def describe(plan):
    """What carrying the plan out would do: the dry run's report."""
    lines = ["Dry run: nothing is changed."]
    if plan.found == "pelto":
        lines.append("pelto would be removed from %s" % plan.dest)
    else:
        lines.append(nothing_to_remove(plan))
    return lines + plan.target.report(True)


def carry_out(plan):
    """Removes the pelto installation the plan found, and what interrupted runs left beside
    it; with nothing to remove, says so."""
    tools = os.path.dirname(plan.dest)
    if not os.path.isdir(tools):
        say(nothing_to_remove(plan))
        say_lines(plan.target.report(True))
        return
    lock = lock_parent(tools)
    try:
        remove_leftovers(plan.dest)
        check_unchanged(plan.dest, plan.found)
        if plan.found != "pelto":
            say(nothing_to_remove(plan))
            say_lines(plan.target.report(True))
            return
        staging = tempfile.mkdtemp(prefix=staging_prefix(plan.dest), dir=tools)
        with BlockedSignals():
            os.rename(plan.dest, os.path.join(staging, "previous"))
        shutil.rmtree(staging)
    finally:
        os.close(lock)
    say("Removed pelto from %s." % plan.dest)
    say_lines(plan.target.report(True))
    say("Games set to pelto need another compatibility tool in Steam; their prefixes in "
        "steamapps/compatdata are left as they are.")
