#include "launcher/session/game_logs.hpp"

#include <fcntl.h>

#include <cerrno>

#include "base/log.hpp"
#include "base/text.hpp"

namespace pelto::launcher::session {

namespace {

base::Fd open_log_file(int dir, const char* name) {
    int error = 0;
    return base::open_regular_at(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666, error);
}

}  // namespace

base::Fd open_log_dir(int parent, const std::string& name, const std::string& shown) {
    int error = 0;
    base::Fd dir = base::open_own_dir_at(parent, name, true, error);
    if (!dir.valid() && (error == ELOOP || error == ENOTDIR || error == EPERM)) {
        base::log_warn(base::concat("not using ", base::lossy_utf8(shown),
                                    " for the game's logs: it is a link, a file or someone "
                                    "else's directory"));
    }
    return dir;
}

GameLogs open_game_logs(const std::string& log_dir) {
    GameLogs logs;
    logs.dir_path = log_dir;
    if (auto parent = base::parent_dir(log_dir); parent && !parent->empty()) {
        (void)base::make_dirs(*parent);
    }
    logs.dir = open_log_dir(AT_FDCWD, log_dir, log_dir);
    if (!logs.dir.valid()) return logs;
    logs.err = open_log_file(logs.dir.get(), kStderrLogName);
    logs.out = open_log_file(logs.dir.get(), kStdoutLogName);
    return logs;
}

}  // namespace pelto::launcher::session
