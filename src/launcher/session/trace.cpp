// The trace observer: when PELTO_TRACE is "1", the outside tool `brantle` is started beside the
// game to watch its processes, with its error output (and optionally its trace file) in the
// incident directory. The launcher only starts it: it never waits for, signals or reaps it.
#include "launcher/session/trace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string_view>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "launcher/core/wine.hpp"
#include "launcher/session/game_logs.hpp"

namespace pelto::launcher::session {

namespace {

using base::concat;

// Linux keeps 15 bytes of a process name; the observer matches names of that length.
constexpr size_t kProcessNameBytes = 15;

// The last component of `path` split at "/", with empty and "." components ignored; nothing
// when there is none or it is "..".
std::optional<std::string_view> last_normal_component(std::string_view path) {
    std::optional<std::string_view> last;
    for (std::string_view piece : base::split(path, '/')) {
        if (!piece.empty() && piece != ".") last = piece;
    }
    if (last && *last == "..") return std::nullopt;
    return last;
}

// The name without its last extension; a name whose text before the last "." is empty (".x")
// has none.
std::string_view stem_of(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return name;
    return name.substr(0, dot);
}

}  // namespace

std::string trace_name(const std::string& exe) {
    auto name = last_normal_component(exe);
    std::string_view stem = name ? stem_of(*name) : std::string_view("wine");
    if (!base::is_valid_utf8(stem)) stem = "wine";
    // Each kept byte becomes the character with that code point.
    std::string out;
    for (unsigned char byte : stem.substr(0, kProcessNameBytes)) {
        if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

namespace {

// The value `name` has in `env`: its last change, else its first inherited entry.
std::optional<std::string> value_in(const ObserverEnv& env, std::string_view name) {
    for (auto change = env.changes.rbegin(); change != env.changes.rend(); ++change) {
        if (change->name == name) return change->value;
    }
    if (!env.inherited) return std::nullopt;
    for (const std::string& entry : *env.inherited) {
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
            entry[name.size()] == '=') {
            return entry.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

// `program` in the first folder of the PATH text `path` that holds it as an executable file;
// the name itself when none does (the spawn then says it is missing).
std::string find_on_path(const std::string& program, const std::optional<std::string>& path) {
    std::string dirs = path.value_or("");
    for (std::string_view dir : base::split(dirs, ':')) {
        std::string candidate = base::join_path(dir.empty() ? "." : dir, program);
        std::optional<struct stat> status = base::stat_path(candidate);
        if (status && S_ISREG(status->st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return program;
}

}  // namespace

IncidentCopy start_trace_observer(const std::string& log_dir, const std::string& exe,
                                  const std::string& wine_root, bool trace_out,
                                  const ObserverEnv& env) {
    std::string incidents = base::join_path(log_dir, "incidents");
    std::string name = trace_name(exe);
    std::string stderr_name = concat(name, "-stderr.log");
    std::string io_path = base::join_path(incidents, concat(name, "-io.bin"));
    IncidentCopy copy;
    copy.name = concat(name, "-game-stderr.log");
    copy.path = base::join_path(incidents, copy.name);

    // The incident directory lives in the machine-wide /tmp/pelto: both directories are used
    // only as real directories of this user, never through a planted link (the launch has
    // already said so when the log directory is not usable).
    int error = 0;
    base::Fd log_dir_fd = base::open_own_dir_at(AT_FDCWD, log_dir, true, error);
    if (log_dir_fd.valid()) copy.dir = open_log_dir(log_dir_fd.get(), "incidents", incidents);

    base::Command command;
    command.program = find_on_path("brantle", value_in(env, "PATH"));
    command.inherit = env.inherited;
    command.env = env.changes;
    command.args = {"--trace", concat(name, ",steam.exe,wineserver"), "--headless"};
    if (trace_out) {
        // The observer opens the trace file by its path: only in the checked directory.
        if (copy.dir.valid()) {
            command.args.push_back("--trace-out");
            command.args.push_back(io_path);
            base::log_info(concat("brantle observer: --trace-out → ", base::lossy_utf8(io_path)));
        } else {
            base::log_info(concat("brantle observer: no trace file: ", base::lossy_utf8(incidents),
                                  " cannot be used"));
        }
    }
    std::string ntdll = core::wine_unix_module(wine_root, "ntdll.so");
    if (base::exists(ntdll)) command.set_env("BRANTLE_NTDLL_PATH", base::lossy_utf8(ntdll));

    base::Fd err_file;
    if (copy.dir.valid()) {
        err_file = base::open_regular_at(copy.dir.get(), stderr_name,
                                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666, error);
    }
    command.in = base::Stream::inherit();
    command.out = base::Stream::null();
    command.err = err_file.valid() ? base::Stream::from_fd(err_file.get()) : base::Stream::null();

    pid_t pid = -1;
    if (int spawn_error = base::spawn(command, pid); spawn_error != 0) {
        base::log_warn(concat("brantle observer spawn failed: ", base::error_text(spawn_error),
                              " (install brantle or unset PELTO_TRACE)"));
        return copy;
    }
    // Names where the observer's error output really goes.
    base::log_info(concat("brantle observer spawned (pid ", pid, ") tracing \"", name, "\" → ",
                          err_file.valid()
                              ? base::lossy_utf8(base::join_path(incidents, stderr_name))
                              : std::string("/dev/null")));
    // The observer is left to run on its own: no wait, no signal, and it stays out of the
    // game's process group so the session teardown does not reach it.
    return copy;
}

}  // namespace pelto::launcher::session
