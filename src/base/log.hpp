// The launcher's only log writer: one line per message on standard error, stamped with the
// local time of day and a fixed-width level tag, each line written whole under one lock.
#pragma once

#include <string>
#include <string_view>

#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::base {

enum class LogLevel { Debug, Info, Warn, Error };

/// Turns DEBUG lines on or off: the player's switch, which the driver reads from its snapshot
/// of the environment. Off until called.
void set_verbose(bool on);
/// Whether DEBUG lines are written: the switch is on, or a log file is on its way.
bool verbose();

/// The ten-character local time stamp "[HH:MM:SS]".
std::string time_prefix();

/// Writes one line; DEBUG lines only when `verbose()`. Never fails towards the caller.
void log_line(LogLevel level, std::string_view message);

/// A DEBUG line made of `pieces` (as `concat` joins them). With DEBUG lines off it costs one
/// read of the decided flag: nothing is formatted. Pass paths as `as_text(path)`, which
/// defers their text form to the formatting.
template <typename... Pieces>
void log_debug(const Pieces&... pieces) {
    if (!verbose()) return;
    log_line(LogLevel::Debug, concat(pieces...));
}
inline void log_info(std::string_view message) { log_line(LogLevel::Info, message); }
inline void log_warn(std::string_view message) { log_line(LogLevel::Warn, message); }
inline void log_error(std::string_view message) { log_line(LogLevel::Error, message); }

/// A copy of the log in a file a player can hand over: from this call on, every line written
/// to standard error is also kept, in memory until `attach_log_copy` gives the file.
void hold_log_copy();
/// Where a log copy is written: `file`, the hidden entry `scratch` of the directory `dir`, which
/// `end_log_copy` renames to `name` there (shown as `path`), so that the name always holds the
/// log of one whole launch.
struct LogCopyFile {
    Fd file;
    Fd dir;
    std::string scratch, name, path;
};
/// Writes `header`, then the lines kept so far, into the copy's file, and from then on every
/// line as it is written. A write that fails ends the copy with one WARN line on standard
/// error; the launch goes on.
void attach_log_copy(LogCopyFile file, std::string_view header);
/// True while a log copy is being written to its file.
bool log_copy_active();
/// Writes `text` into the log copy as it stands, between whole lines; false when there is no
/// copy (none was attached, or a write failed).
bool write_log_copy(std::string_view text);
/// Ends the copy: one INFO line naming the file, the last line the launcher writes to
/// standard error, then the file is closed and renamed into place (one WARN line on standard
/// error when it cannot be). Nothing when no copy is held.
void end_log_copy();

}  // namespace pelto::base
