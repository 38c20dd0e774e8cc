#include "launcher/session/game_logs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "base/log.hpp"
#include "base/text.hpp"

namespace pelto::launcher::session {

namespace {

// A new file of this launch's own under `name` of `dir`: made under a name no other launch
// uses, then renamed over whatever stands at `name` (a planted link is replaced, not followed).
base::Fd open_log_file(int dir, const char* name) {
    int error = 0;
    base::Fd file = base::create_own_scratch_at(dir, name, O_RDWR | O_APPEND, error);
    std::string scratch = base::own_scratch_name(name);
    if (file.valid() && ::renameat(dir, scratch.c_str(), dir, name) != 0) {
        (void)::unlinkat(dir, scratch.c_str(), 0);
        file.reset();
    }
    return file;
}

// Copies the open log `file` from `offset` on into the log copy line by line, each line after
// `prefix`, and moves `offset` past what it copied.
void copy_stream(const base::Fd& file, std::string_view prefix, off_t& offset) {
    // Piece by piece: a game with Wine's debug channels on writes gigabytes.
    constexpr size_t kPiece = 1 << 16;
    std::unique_ptr<char[]> buffer(new char[kPiece]);
    std::string out;
    bool line_start = true;
    while (true) {
        ssize_t got = ::pread(file.get(), buffer.get(), kPiece, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        offset += got;
        out.clear();
        for (std::string_view piece(buffer.get(), static_cast<size_t>(got)); !piece.empty();) {
            if (line_start) out += prefix;
            size_t end = piece.find('\n');
            size_t take = end == std::string_view::npos ? piece.size() : end + 1;
            out += piece.substr(0, take);
            line_start = end != std::string_view::npos;
            piece.remove_prefix(take);
        }
        if (!base::write_log_copy(out)) return;
    }
    if (!line_start) base::write_log_copy("\n");
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

void copy_game_output_to_log(GameLogs& logs) {
    if (!base::log_copy_active()) return;
    struct Stream {
        const base::Fd& fd;
        std::string_view prefix;
        const char* what;
        off_t& copied;
    };
    for (const Stream& stream :
         {Stream{logs.out, "[game stdout] ", "standard output", logs.out_copied},
          Stream{logs.err, "[game stderr] ", "standard error", logs.err_copied}}) {
        if (stream.fd.valid()) {
            copy_stream(stream.fd, stream.prefix, stream.copied);
        } else if (!logs.unrecorded_noted) {
            base::write_log_copy(base::concat(stream.prefix, "(not recorded: the game's ",
                                              stream.what, " went to the launcher's own)\n"));
        }
    }
    logs.unrecorded_noted = true;
}

}  // namespace pelto::launcher::session
