// Opening and creating paths below a directory that others can change (a game's prefix, where
// the game, the player or a planted link may have put a link anywhere). Every component of a
// path is resolved beneath an open directory, links included: a link that leads out of it is
// refused wherever it stands on the path, not only at its end. An absolute link is followed
// when it leads into the directory (a prefix whose folder names itself by its full path).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/posix.hpp"

namespace pelto::base {

/// Opens `relative` (no leading "/") below the open directory `root` with `flags` (O_CLOEXEC
/// added) so that no component, links included, resolves outside `root`. Sets `error`: EXDEV
/// for a component that leads outside, ELOOP for too many links, or the error of the open. The
/// kernel resolves the path where it can (openat2 with RESOLVE_BENEATH); elsewhere, and for an
/// absolute link on the way, a walk that follows links one by one.
Fd open_beneath(int root, std::string_view relative, int flags, mode_t mode, int& error);

/// Creates the directory `relative` below `root` and its missing parents (mode 0777 before the
/// umask), each component resolved beneath `root`, and returns it open; an existing directory
/// is fine. Sets `error` as `open_beneath` does; ENOTDIR when a component is not a directory.
Fd make_dirs_beneath(int root, std::string_view relative, int& error);

/// Opens the directory `path` (links followed) as the root of later `*_beneath` calls, made
/// with its missing parents first when it is not there (a root is the launcher's own to make).
Fd open_root_dir(const std::string& path, int& error);

/// For a message after EXDEV: "{path} is a link that leads out of {root}" for the first
/// component of `relative` that does (compared by canonical paths).
std::string why_outside(const std::string& root, std::string_view relative);

namespace detail {
/// `open_beneath` without the kernel's help, as on kernels before Linux 5.6 or inside a sandbox
/// that refuses openat2; for the tests.
Fd open_beneath_by_walk(int root, std::string_view relative, int flags, mode_t mode, int& error);
}  // namespace detail

}  // namespace pelto::base
