// Two launches of one compatibility data directory share its prefix and its save backup. A
// lock file there keeps them apart where they must not overlap: one launch at a time sets
// the prefix up, and only the launch that started while no other ran protects the save data
// (a second one must never remove the snapshot the first relies on).
#pragma once

#include <string>

#include "base/posix.hpp"

namespace pelto::launcher::core {

struct LaunchLock {
    base::Fd file;               // "{compat_data}/.pelto_lock"; invalid when it cannot be used
    bool protects_saves = true;  // no other launch of the directory held it at the start
};

/// Opens the lock file of `compat_data` (a link or a FIFO there is replaced by a file, never
/// followed) and, when no other launch holds it, the save-data lock for the rest of the
/// launch. A lock file that cannot be had (a directory stands there) locks nothing: one WARN.
LaunchLock open_launch_lock(const std::string& compat_data);

/// Waits until no other launch of the directory is setting the prefix up, at most `limit_ms`
/// (an INFO line at once names whom it waits for; at the limit one WARN line, and the launch
/// goes on), and holds the setup lock from then on; the save data becomes this launch's to
/// protect when the launch that protected it has gone meanwhile. A stop request ends the wait.
void begin_prefix_setup(LaunchLock& lock, long limit_ms);

/// Lets the next launch of the directory set the prefix up.
void end_prefix_setup(LaunchLock& lock);

/// True while another launch of the directory runs, or may run (no lock): ending the prefix's
/// Wine session would then end that launch's game too.
bool another_launch_running(const LaunchLock& lock);

/// True unless another launch of the prefix runs, whose game would end with the Wine session
/// (`lock` nullptr: a prefix of this process alone, such as the template's).
bool may_end_wine_session(const LaunchLock* lock);

}  // namespace pelto::launcher::core
