// The log file of a launch that a player turns on in a game's launch options
// (`PELTO_LOG=1 %command%`) and can attach to a bug report: one file per game, replaced by
// each launch, holding a header that says what ran where, every log line of the launch, the
// game's output and how it ended. The launcher starts with no terminal under Steam, so without
// it the log on standard error goes where the player never looks.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelto::launcher::core {

/// Where the log file goes for the value of PELTO_LOG: "{home}/pelto-{app id}.log" for "1",
/// "{value}/pelto-{app id}.log" for the absolute path of an existing directory. Nothing for an
/// unset or empty value; nothing with one WARN line for any other value, and for "1" without a
/// usable HOME. The app id is used only when it is all digits, otherwise "0".
std::optional<std::string> launch_log_path(const std::optional<std::string>& setting,
                                           const std::optional<std::string>& home,
                                           const std::string& app_id);

/// What the header of the log file tells about the launch.
struct LaunchLogFacts {
    std::string verb;
    std::string exe;  // raw bytes as Steam passed them
    std::vector<std::string> args;
    std::string wine_root;
    std::string wine64;                    // the loader; its `--version` is asked when it exists
    std::vector<std::string> environment;  // the launcher's, "NAME=value": its Steam variables
};

/// The header: pelto's version, the date and time, the kernel release, the distribution's
/// PRETTY_NAME from `os_release`, the Wine build and its version, the verb, the executable and
/// its arguments, and the Steam variables of the facts' environment.
std::string launch_log_header(const LaunchLogFacts& facts,
                              const std::string& os_release = "/etc/os-release");

/// Opens `path` (replacing the file of the previous launch; only a regular file, never through
/// a link, without blocking) and makes it the log copy, starting with the header and the lines
/// held since `base::hold_log_copy`. A file that cannot be opened is one WARN line, and the
/// launch goes on without one.
void start_launch_log(const std::string& path, const LaunchLogFacts& facts);

}  // namespace pelto::launcher::core
