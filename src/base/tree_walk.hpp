// A directory walk that never leaves a boundary directory. Wine's wineboot makes profile
// folders such as Documents symbolic links into the user's real home; a walk that followed
// them would read, copy or delete files far outside the prefix, and a link cycle would make
// it recurse for ever. This walk descends into a directory reached through a symbolic link
// only when its canonical path lies inside the boundary, and visits no directory twice.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/posix.hpp"

namespace pelto::base {

/// What the walk reports for one entry below the root.
struct WalkItem {
    std::string path;      // "{root}/{relative}"
    std::string relative;  // path below the root, components joined by "/"
    off_t own_size = 0;    // size of the entry itself (links not followed), 0 when unknown
};

struct WalkVisitor {
    /// Called for a directory before descending; returning false skips its contents.
    std::function<bool(const WalkItem&)> enter_dir = [](const WalkItem&) { return true; };
    /// Called after a directory's contents were visited.
    std::function<void(const WalkItem&)> leave_dir = [](const WalkItem&) {};
    /// Called for every entry that is not a directory (links followed): files, dangling
    /// links, entries whose status cannot be read.
    std::function<void(const WalkItem&)> file = [](const WalkItem&) {};
};

/// True when `path` is `boundary` or lies below it (both canonical, compared by components).
bool path_inside(const std::string& path, const std::string& boundary);

/// What a walk could do: whether it entered `root` at all, and whether it read every directory
/// it entered whole (a directory that could not be listed, or whose listing broke off, was
/// not).
struct WalkResult {
    bool entered = false;
    bool complete = false;
};

/// Walks below `root` in listing order. Does nothing when `root` is not a directory or its
/// canonical path lies outside the canonical `boundary`.
WalkResult walk_inside(const std::string& root, const std::string& boundary,
                       const WalkVisitor& visitor);

}  // namespace pelto::base
