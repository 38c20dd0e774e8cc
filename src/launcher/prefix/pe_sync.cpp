// Wine's PE modules in the prefix. The 64-bit set follows the build: one size comparison of
// "ntdll.dll" decides whether system32 is refreshed, so an up-to-date prefix costs only a few
// status queries. The 32-bit set is laid down once and then left to the prefix.
#include "launcher/prefix/pe_sync.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "base/beneath.hpp"
#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "launcher/core/wine.hpp"

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

// The prefix as the sync writes it: every directory is reached from the prefix's own, so a
// link anywhere on the way that leads out of it is refused (one WARN line per launch) instead
// of receiving Wine's modules.
struct PrefixDirs {
    const std::string& pfx;
    base::Fd root;
    bool warned = false;

    // The directory `relative` of the prefix, made when missing; invalid when it cannot be.
    base::Fd make(std::string_view relative) {
        int error = 0;
        base::Fd dir =
            root.valid() ? base::make_dirs_beneath(root.get(), relative, error) : base::Fd();
        if (error == EXDEV && !warned) {
            warned = true;
            base::log_warn(base::concat("PE sync: not writing into ",
                                        base::as_text(base::join_path(pfx, relative)), ": ",
                                        base::why_outside(pfx, relative)));
        }
        return dir;
    }
};

// The size of `name` in the open directory `dir` (links followed); nothing when missing.
std::optional<off_t> size_at(const base::Fd& dir, const std::string& name) {
    struct stat st;
    if (!dir.valid() || ::fstatat(dir.get(), name.c_str(), &st, 0) != 0) return std::nullopt;
    return st.st_size;
}

// "ntdll.dll" is what tells a later launch whether the set is in place, so it goes in last: a
// sync cut short (a killed launcher) is then done again. A module that cannot be copied is
// reported and holds back nothing else, so the prefix still converges on the new build.
struct SetCopy {
    int copied = 0;
    std::optional<std::pair<std::string, int>> ntdll;  // the source and its destination directory

    void copy(const std::string& source, int dir, std::string_view name) {
        if (name == "ntdll.dll") {
            ntdll.emplace(source, dir);
            return;
        }
        copy_now(source, dir, std::string(name));
    }

    int finish() {
        if (ntdll) copy_now(ntdll->first, ntdll->second, "ntdll.dll");
        return copied;
    }

private:
    void copy_now(const std::string& source, int dir, const std::string& name) {
        // Replaced in one step, never written through: a module may be a link or share its
        // inode with a template; a failed copy leaves the old module in place.
        int error = 0;
        base::Fd in = base::open_regular(source, O_RDONLY, 0, error);
        if (in.valid()) error = base::copy_into(in.get(), dir, name);
        if (error == 0) {
            ++copied;
        } else if (error != EISDIR && error != EINVAL) {
            // A directory or other non-file under a module name is no module: not a failure.
            base::log_warn(base::concat("PE sync: cannot copy ", base::lossy_utf8(source), ": ",
                                        base::error_text(error)));
        }
    }
};

void create_skeleton(PrefixDirs& dirs) {
    dirs.make("drive_c/windows/system32");
    for (std::string_view name : kSkeletonDirs) {
        dirs.make(base::concat("drive_c/windows/", name));
    }
    for (std::string_view name : kPrefixDirs) dirs.make(name);
}

void sync_64bit(const std::string& source, PrefixDirs& dirs) {
    auto source_ntdll = base::stat_path(base::join_path(source, "ntdll.dll"));
    if (!source_ntdll) return;
    base::Fd system32 = dirs.make("drive_c/windows/system32");
    if (!system32.valid()) return;
    off_t source_size = source_ntdll->st_size;
    off_t prefix_size = size_at(system32, "ntdll.dll").value_or(0);
    struct stat drivers_status;
    bool have_drivers = ::fstatat(system32.get(), "drivers", &drivers_status, 0) == 0 &&
                        S_ISDIR(drivers_status.st_mode);
    if (source_size == prefix_size && have_drivers) return;
    // Same size but no drivers directory: only the drivers are missing.
    bool drivers_only = source_size == prefix_size;

    base::log_debug("Syncing Wine PE files to prefix from ", base::as_text(source), "...");
    base::Fd drivers = dirs.make("drive_c/windows/system32/drivers");
    SetCopy set;
    int error = 0;
    for (const base::DirEntry& entry : base::list_dir(source, error)) {
        bool is_driver = extension_of(entry.name) == std::optional<std::string_view>("sys");
        if (drivers_only ? !is_driver : !has_extension_in(entry.name, kExtensions64)) continue;
        const base::Fd& target = is_driver ? drivers : system32;
        if (!target.valid()) continue;
        set.copy(base::join_path(source, entry.name), target.get(), entry.name);
    }
    base::log_debug("Synced ", set.finish(), " PE files to prefix system32");
}

void sync_32bit(const std::string& source, PrefixDirs& dirs) {
    if (!base::exists(base::join_path(source, "ntdll.dll"))) return;
    base::Fd syswow64 = dirs.make("drive_c/windows/syswow64");
    if (!syswow64.valid() || size_at(syswow64, "ntdll.dll")) return;
    SetCopy set;
    int error = 0;
    for (const base::DirEntry& entry : base::list_dir(source, error)) {
        if (!has_extension_in(entry.name, kExtensions32)) continue;
        if (size_at(syswow64, entry.name)) continue;
        set.copy(base::join_path(source, entry.name), syswow64.get(), entry.name);
    }
    base::log_debug("Synced ", set.finish(), " 32-bit PE files to prefix syswow64");
}

}  // namespace

void sync_pe_files(const std::string& wine_root, const std::string& pfx) {
    int error = 0;
    PrefixDirs dirs{pfx, base::open_root_dir(pfx, error)};
    create_skeleton(dirs);
    // The tool's own layout: the first place of each in the table.
    sync_64bit(core::wine_layout_paths(wine_root, "modules64").front(), dirs);
    sync_32bit(core::wine_layout_paths(wine_root, "modules32").front(), dirs);
}

}  // namespace pelto::launcher::prefix
