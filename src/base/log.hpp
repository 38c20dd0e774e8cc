// The launcher's only log writer: one line per message on standard error, stamped with the
// local time of day and a fixed-width level tag, each line written whole under one lock.
#pragma once

#include <string>
#include <string_view>

#include "base/text.hpp"

namespace pelto::base {

enum class LogLevel { Debug, Info, Warn, Error };

/// Whether DEBUG lines are written; decided once per process on first use.
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

}  // namespace pelto::base
