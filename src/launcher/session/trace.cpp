// The trace observer: when PELTO_TRACE is "1", the outside tool `brantle` is started beside the
// game to watch its processes, with its error output (and optionally its trace file) in the
// incident directory. The launcher only starts it: it never waits for, signals or reaps it.
#include "launcher/session/trace.hpp"

#include <fcntl.h>

#include <optional>
#include <string_view>

#include "launcher/core/log.hpp"
#include "launcher/core/posix.hpp"
#include "launcher/core/process.hpp"
#include "launcher/core/text.hpp"

namespace pelto::launcher::session {

namespace {

namespace core = launcher::core;
using core::concat;

// Linux keeps 15 bytes of a process name; the observer matches names of that length.
constexpr size_t kProcessNameBytes = 15;

// The last component of `path` split at "/", with empty and "." components ignored; nothing
// when there is none or it is "..".
std::optional<std::string_view> last_normal_component(std::string_view path) {
    std::optional<std::string_view> last;
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view piece = path.substr(0, slash);
        if (!piece.empty() && piece != ".") last = piece;
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
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

bool trace_requested() { return core::env_text("PELTO_TRACE") == "1"; }

std::string trace_name(const std::string& exe) {
    auto name = last_normal_component(exe);
    std::string_view stem = name ? stem_of(*name) : std::string_view("wine");
    if (!core::is_valid_utf8(stem)) stem = "wine";
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

std::string start_trace_observer(const LaunchPlan& plan, const std::string& exe) {
    std::string incidents = core::join_path(plan.log_dir, "incidents");
    (void)core::make_dirs(incidents);  // a failure shows in the file operations below

    std::string name = trace_name(exe);
    std::string stderr_path = core::join_path(incidents, concat(name, "-stderr.log"));
    std::string io_path = core::join_path(incidents, concat(name, "-io.bin"));
    std::string game_copy = core::join_path(incidents, concat(name, "-game-stderr.log"));

    core::Command command;
    command.program = "brantle";
    command.search_path = true;
    command.args = {"--trace", concat(name, ",steam.exe,wineserver"), "--headless"};
    if (core::env_text("PELTO_TRACE_OUT") == "1") {
        command.args.push_back("--trace-out");
        command.args.push_back(io_path);
        core::log_info(concat("brantle observer: --trace-out → ", core::lossy_utf8(io_path)));
    }
    std::string ntdll = core::join_path(plan.wine_root, "lib/wine/x86_64-unix/ntdll.so");
    if (core::exists(ntdll)) command.set_env("BRANTLE_NTDLL_PATH", core::lossy_utf8(ntdll));

    // The incident directory lives in the machine-wide /tmp/pelto: never follow a planted link.
    int open_error = 0;
    core::Fd err_file =
        core::open_file(stderr_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666, open_error);
    command.in = core::Stream::inherit();
    command.out = core::Stream::null();
    command.err = err_file.valid() ? core::Stream::from_fd(err_file.get()) : core::Stream::null();

    pid_t pid = -1;
    if (int error = core::spawn(command, pid); error != 0) {
        core::log_warn(concat("brantle observer spawn failed: ", core::error_text(error),
                              " (install brantle or unset PELTO_TRACE)"));
        return game_copy;
    }
    core::log_info(concat("brantle observer spawned (pid ", pid, ") tracing \"", name, "\" → ",
                          core::lossy_utf8(stderr_path)));
    // The observer is left to run on its own: no wait, no signal, and it stays out of the
    // game's process group so the session teardown does not reach it.
    return game_copy;
}

}  // namespace pelto::launcher::session
