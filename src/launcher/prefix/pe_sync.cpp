// Wine's PE modules in the prefix. The 64-bit set follows the build: one size comparison of
// "ntdll.dll" decides whether system32 is refreshed, so an up-to-date prefix costs only a few
// status queries. The 32-bit set is laid down once and then left to the prefix.
#include "launcher/prefix/pe_sync.hpp"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::launcher::prefix {

namespace {

constexpr std::array<std::string_view, 17> kSkeletonDirs = {
    "syswow64",      "Fonts",     "temp",          "system",   "inf",      "help",
    "logs",          "winsxs",    "resources",     "security", "tasks",    "performance",
    "Microsoft.NET", "Installer", "Globalization", "twain_32", "twain_64",
};

constexpr std::array<std::string_view, 3> kPrefixDirs = {
    "drive_c/ProgramData",
    "drive_c/Program Files/Common Files",
    "drive_c/Program Files (x86)/Common Files",
};

constexpr std::array<std::string_view, 8> kExtensions64 = {"ax",  "dll", "exe", "drv",
                                                           "sys", "ocx", "cpl", "acm"};
constexpr std::array<std::string_view, 7> kExtensions32 = {"ax",  "dll", "exe", "drv",
                                                           "ocx", "cpl", "acm"};

// The text after the last "." of `name`; nothing when there is no "." or only a leading one.
std::optional<std::string_view> extension_of(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    return name.substr(dot + 1);
}

template <size_t N>
bool has_extension_in(std::string_view name, const std::array<std::string_view, N>& set) {
    std::optional<std::string_view> extension = extension_of(name);
    if (!extension) return false;
    for (std::string_view candidate : set) {
        if (*extension == candidate) return true;
    }
    return false;
}

// "ntdll.dll" is what tells a later launch whether the set is in place, so it goes in last: a
// sync cut short (a killed launcher) is then done again. A module that cannot be copied is
// reported and holds back nothing else, so the prefix still converges on the new build.
struct SetCopy {
    int copied = 0;
    std::optional<std::pair<std::string, std::string>> ntdll;

    void copy(const std::string& source, const std::string& target, std::string_view name) {
        if (name == "ntdll.dll") {
            ntdll.emplace(source, target);
            return;
        }
        copy_now(source, target);
    }

    int finish() {
        if (ntdll) copy_now(ntdll->first, ntdll->second);
        return copied;
    }

private:
    void copy_now(const std::string& source, const std::string& target) {
        // Replaced, never written through: a module may be a link or share its inode with
        // a template; a failed copy leaves the old module in place.
        int error = base::copy_file(source, target, base::CopyTarget::ReplaceLink);
        if (error == 0) {
            ++copied;
        } else if (error != EISDIR && error != EINVAL) {
            // A directory or other non-file under a module name is no module: not a failure.
            base::log_warn(base::concat("PE sync: cannot copy ", base::lossy_utf8(source), ": ",
                                        base::error_text(error)));
        }
    }
};

void create_skeleton(const std::string& pfx, const std::string& windows) {
    base::make_dirs(base::join_path(windows, "system32"));
    for (std::string_view name : kSkeletonDirs) base::make_dirs(base::join_path(windows, name));
    for (std::string_view name : kPrefixDirs) base::make_dirs(base::join_path(pfx, name));
}

void sync_64bit(const std::string& source, const std::string& system32) {
    auto source_ntdll = base::stat_path(base::join_path(source, "ntdll.dll"));
    if (!source_ntdll) return;
    auto prefix_ntdll = base::stat_path(base::join_path(system32, "ntdll.dll"));
    off_t source_size = source_ntdll->st_size;
    off_t prefix_size = prefix_ntdll ? prefix_ntdll->st_size : 0;
    std::string drivers = base::join_path(system32, "drivers");
    if (source_size == prefix_size && base::is_dir(drivers)) return;
    // Same size but no drivers directory: only the drivers are missing.
    bool drivers_only = source_size == prefix_size;

    base::log_debug("Syncing Wine PE files to prefix from ", base::as_text(source), "...");
    base::make_dirs(drivers);
    SetCopy set;
    int error = 0;
    for (const base::DirEntry& entry : base::list_dir(source, error)) {
        bool is_driver = extension_of(entry.name) == std::optional<std::string_view>("sys");
        if (drivers_only ? !is_driver : !has_extension_in(entry.name, kExtensions64)) continue;
        std::string target = base::join_path(is_driver ? drivers : system32, entry.name);
        set.copy(base::join_path(source, entry.name), target, entry.name);
    }
    base::log_debug("Synced ", set.finish(), " PE files to prefix system32");
}

void sync_32bit(const std::string& source, const std::string& syswow64) {
    if (!base::exists(base::join_path(source, "ntdll.dll"))) return;
    if (base::exists(base::join_path(syswow64, "ntdll.dll"))) return;
    SetCopy set;
    int error = 0;
    for (const base::DirEntry& entry : base::list_dir(source, error)) {
        if (!has_extension_in(entry.name, kExtensions32)) continue;
        std::string target = base::join_path(syswow64, entry.name);
        if (base::exists(target)) continue;
        set.copy(base::join_path(source, entry.name), target, entry.name);
    }
    base::log_debug("Synced ", set.finish(), " 32-bit PE files to prefix syswow64");
}

}  // namespace

void sync_pe_files(const std::string& wine_root, const std::string& pfx) {
    std::string windows = base::join_path(pfx, "drive_c/windows");
    create_skeleton(pfx, windows);
    sync_64bit(base::join_path(wine_root, "lib/wine/x86_64-windows"),
               base::join_path(windows, "system32"));
    sync_32bit(base::join_path(wine_root, "lib/wine/i386-windows"),
               base::join_path(windows, "syswow64"));
}

}  // namespace pelto::launcher::prefix
