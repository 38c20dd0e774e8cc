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

// True when the prefix has no set yet and `template_dir` (the template's counterpart of the
// prefix's directory) holds the same one, judged as a prefix is judged: by the size of its
// ntdll.dll. The template copy then lays the set in with hard links, where copying it here
// first would write hundreds of megabytes per game.
bool set_comes_with_template(const std::optional<std::string>& template_dir,
                             const std::string& prefix_dir, off_t source_size) {
    if (!template_dir || base::exists(base::join_path(prefix_dir, "ntdll.dll"))) return false;
    auto template_ntdll = base::stat_path(base::join_path(*template_dir, "ntdll.dll"));
    if (!template_ntdll || template_ntdll->st_size != source_size) return false;
    base::log_debug("Wine PE files of ", base::as_text(prefix_dir), " come with the template");
    return true;
}

void sync_64bit(const std::string& source, const std::string& system32,
                const std::optional<std::string>& template_system32) {
    auto source_ntdll = base::stat_path(base::join_path(source, "ntdll.dll"));
    if (!source_ntdll) return;
    off_t source_size = source_ntdll->st_size;
    if (set_comes_with_template(template_system32, system32, source_size)) return;
    auto prefix_ntdll = base::stat_path(base::join_path(system32, "ntdll.dll"));
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

void sync_32bit(const std::string& source, const std::string& syswow64,
                const std::optional<std::string>& template_syswow64) {
    auto source_ntdll = base::stat_path(base::join_path(source, "ntdll.dll"));
    if (!source_ntdll) return;
    if (base::exists(base::join_path(syswow64, "ntdll.dll"))) return;
    if (set_comes_with_template(template_syswow64, syswow64, source_ntdll->st_size)) return;
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

void sync_pe_files(const std::string& wine_root, const std::string& pfx, bool template_follows) {
    std::string windows = base::join_path(pfx, "drive_c/windows");
    create_skeleton(pfx, windows);
    std::optional<std::string> template_windows;
    if (template_follows) {
        std::string shared = base::join_path(wine_root, "share/default_pfx/drive_c/windows");
        if (base::is_dir(shared)) template_windows = shared;
    }
    auto in_template = [&](const char* name) -> std::optional<std::string> {
        if (!template_windows) return std::nullopt;
        return base::join_path(*template_windows, name);
    };
    sync_64bit(base::join_path(wine_root, "lib/wine/x86_64-windows"),
               base::join_path(windows, "system32"), in_template("system32"));
    sync_32bit(base::join_path(wine_root, "lib/wine/i386-windows"),
               base::join_path(windows, "syswow64"), in_template("syswow64"));
}

void add_missing_pe_files(const std::string& wine_root, const std::string& pfx) {
    std::string system32 = base::join_path(pfx, "drive_c/windows/system32");
    std::string syswow64 = base::join_path(pfx, "drive_c/windows/syswow64");
    SetCopy set;
    for (bool wow64 : {false, true}) {
        std::string source =
            base::join_path(wine_root, wow64 ? "lib/wine/i386-windows" : "lib/wine/x86_64-windows");
        if (!base::exists(base::join_path(source, "ntdll.dll"))) continue;
        int error = 0;
        for (const base::DirEntry& entry : base::list_dir(source, error)) {
            bool is_driver = extension_of(entry.name) == std::optional<std::string_view>("sys");
            bool module = wow64 ? has_extension_in(entry.name, kExtensions32)
                                : has_extension_in(entry.name, kExtensions64);
            if (!module) continue;
            std::string dir = wow64       ? syswow64
                              : is_driver ? base::join_path(system32, "drivers")
                                          : system32;
            std::string target = base::join_path(dir, entry.name);
            if (base::lstat_path(target)) continue;
            base::make_dirs(dir);
            set.copy(base::join_path(source, entry.name), target, entry.name);
        }
    }
    int added = set.finish();
    if (added > 0) base::log_debug("Prefix: ", added, " Wine PE files added beside the template's");
}

}  // namespace pelto::launcher::prefix
