#include "launcher/core/launch_log.hpp"

#include <fcntl.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/process.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "base/version.hpp"

namespace pelto::launcher::core {

namespace {

using base::concat;

// The loader answers at once; one that does not must not hold the launch up.
constexpr long kVersionLimitMs = 5'000;

bool all_digits(std::string_view text) {
    return !text.empty() && text.size() <= 20 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string now_text() {
    time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    char text[64];
    if (::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local) == 0) return "?";
    return text;
}

std::string kernel_release() {
    struct utsname names {};
    if (::uname(&names) != 0) return "unknown";
    return base::lossy_utf8(names.release);
}

// PRETTY_NAME of an os-release file, its quotes removed; "unknown" when it has none.
std::string pretty_name(const std::string& os_release) {
    std::string name = "unknown";
    base::scan_lines(os_release, [&](std::string_view line) {
        constexpr std::string_view kKey = "PRETTY_NAME=";
        if (!line.starts_with(kKey)) return true;
        std::string_view value = line.substr(kKey.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        name = base::lossy_utf8(value);
        return false;
    });
    return name;
}

// The first line `{wine64} --version` prints; why not, when it cannot be had.
std::string wine_version(const std::string& wine64) {
    if (!base::exists(wine64)) return "(no Wine loader)";
    base::Command command;
    command.program = wine64;
    command.args = {"--version"};
    command.in = command.err = base::Stream::null();
    std::string out;
    int status = 0;
    if (int error = base::run_and_capture(command, out, status, kVersionLimitMs); error != 0) {
        return concat("(", base::error_text(error), ")");
    }
    std::string_view first(out);
    first = first.substr(0, first.find('\n'));
    return base::lossy_utf8(base::trim_unicode(first));
}

// The Steam variables the launch reads, "NAME=value" in name order.
std::vector<std::string> steam_variables(const std::vector<std::string>& environment) {
    std::vector<std::string> lines;
    for (std::string_view text : environment) {
        std::string_view name = text.substr(0, text.find('='));
        if (name.starts_with("STEAM_COMPAT_") || name == "SteamAppId" || name == "SteamGameId") {
            lines.push_back(base::lossy_utf8(text));
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// "pelto-440-earlier.log" for "pelto-440.log": where the log of an earlier launch that was not
// put in place (it was killed outright) is kept for the player.
std::string earlier_log_name(std::string_view name) {
    if (name.ends_with(".log")) name.remove_suffix(4);
    return concat(name, "-earlier.log");
}

// The logs that earlier launches of the game left under their hidden names, which no launch
// holds any more, are put where the player finds them (the last one kept). A launch holds a
// lock on its log while it writes it, which tells also across PID namespaces (a sandboxed
// Steam beside the system's) that it runs.
void keep_logs_of_earlier_launches(int dir, const std::string& dir_path, const std::string& name) {
    std::string start = concat(".", name, ".");
    for (const base::DirEntry& entry : base::list_dir(dir_path)) {
        if (!entry.name.starts_with(start)) continue;
        if (!all_digits(std::string_view(entry.name).substr(start.size()))) continue;
        int error = 0;
        base::Fd file = base::open_regular_at(dir, entry.name, O_RDONLY | O_NOFOLLOW, 0, error);
        bool held = true;
        if (!file.valid() || base::byte_locked_by_other(file.get(), 0, held) != 0 || held) {
            continue;
        }
        std::string kept = earlier_log_name(name);
        if (::renameat(dir, entry.name.c_str(), dir, kept.c_str()) == 0) {
            base::log_info(
                concat("the log of an earlier launch that was not put in place (it "
                       "was killed) is kept as ",
                       base::as_text(base::join_path(dir_path, kept))));
        }
    }
}

}  // namespace

std::optional<std::string> launch_log_path(const std::optional<std::string>& setting,
                                           const std::optional<std::string>& home,
                                           const std::string& app_id) {
    if (!setting || setting->empty()) return std::nullopt;
    std::string name = concat("pelto-", all_digits(app_id) ? app_id : "0", ".log");
    if (*setting == "1") {
        if (!home || home->empty()) {
            base::log_warn("PELTO_LOG: HOME is not set (or not valid UTF-8) — no log file");
            return std::nullopt;
        }
        return base::join_path(*home, name);
    }
    if (setting->front() != '/' || !base::is_dir(*setting)) {
        base::log_warn(concat("PELTO_LOG=", *setting,
                              ": neither 1 nor the absolute path of a directory — no log file"));
        return std::nullopt;
    }
    return base::join_path(*setting, name);
}

std::string launch_log_header(const LaunchLogFacts& facts, const std::string& os_release) {
    std::string header = concat("pelto ", base::version(), " — the log of one launch\n");
    header += concat("date: ", now_text(), "\n");
    header += concat("kernel: ", kernel_release(), "\n");
    header += concat("system: ", pretty_name(os_release), "\n");
    header += concat("wine: ", base::as_text(facts.wine_root), "\n");
    header += concat("wine version: ", wine_version(facts.wine64), "\n");
    header += concat("verb: ", facts.verb, "\n");
    header += concat("exe: ", base::as_text(facts.exe), "\n");
    for (size_t i = 0; i < facts.args.size(); ++i) {
        header += concat("arg ", i + 1, ": ", base::as_text(facts.args[i]), "\n");
    }
    for (const std::string& variable : steam_variables(facts.environment))
        header += variable + "\n";
    header += "---\n";
    return header;
}

void start_launch_log(const std::string& path, const LaunchLogFacts& facts) {
    int error = 0;
    base::LogCopyFile copy;
    copy.path = path;
    copy.name = std::string(base::file_name(path));
    copy.scratch = base::own_scratch_name(copy.name);
    std::string dir = base::parent_dir(path).value_or(".");
    copy.dir = base::open_file(dir, O_RDONLY | O_DIRECTORY, 0, error);
    if (copy.dir.valid()) {
        keep_logs_of_earlier_launches(copy.dir.get(), dir, copy.name);
        copy.file = base::create_own_scratch_at(copy.dir.get(), copy.name, O_WRONLY, error);
        // Held while this launch writes it: a later launch leaves it alone until then.
        if (copy.file.valid()) (void)base::try_lock_byte(copy.file.get(), 0);
    }
    if (!copy.file.valid()) {
        base::end_log_copy();
        base::log_warn(concat("cannot open the log file ", base::as_text(path), ": ",
                              base::error_text(error), " — no log file"));
        return;
    }
    base::attach_log_copy(std::move(copy), launch_log_header(facts));
}

}  // namespace pelto::launcher::core
