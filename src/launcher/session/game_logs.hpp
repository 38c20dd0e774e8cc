// The game's output files in the log directory, "/tmp/pelto". That directory is shared by
// every user of the machine, so anything there may have been planted: the directory is used
// only when it is a real directory of this user (never through a link). Each launch writes
// files of its own, made new and renamed to the known names: a launch that starts meanwhile
// takes the names over but never writes into another launch's files, and what the player's
// log copies is always its own game's output.
#pragma once

#include <string>

#include "base/posix.hpp"

namespace pelto::launcher::session {

inline constexpr const char* kStderrLogName = "wine_stderr.log";
inline constexpr const char* kStdoutLogName = "wine_stdout.log";

struct GameLogs {
    std::string dir_path;
    base::Fd dir;       // invalid when the directory cannot be used
    base::Fd out, err;  // this launch's files (appending); invalid: the launcher's own stream
    // How much of each file the log copy holds already: Wine's other processes may still
    // write after the game ended, until its session is over.
    off_t out_copied = 0, err_copied = 0;
    bool unrecorded_noted = false;
};

/// Opens (creating it when missing) the directory `name` relative to `parent` (AT_FDCWD for a
/// path) only as a real directory of this user; one WARN line naming `shown` when something
/// else stands there, silence when it cannot be created.
base::Fd open_log_dir(int parent, const std::string& name, const std::string& shown);

/// Makes the game's two log files of this launch in `log_dir`, under their known names.
GameLogs open_game_logs(const std::string& log_dir);

/// Writes what the game wrote to its two log files since the last call into the log copy
/// (when one is written), standard output first, each line prefixed with "[game stdout] " or
/// "[game stderr] "; a stream that stayed the launcher's own gets one line saying so, once.
void copy_game_output_to_log(GameLogs& logs);

}  // namespace pelto::launcher::session
