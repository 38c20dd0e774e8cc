// Drive mappings and user folders. C: and Z: are made once and then kept; S: follows the game
// being started, pointing at the root of its Steam library so that the game's own paths and
// those of its library neighbours resolve under one drive letter.
#include "launcher/prefix/drives.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <array>
#include <optional>
#include <string_view>

#include "base/beneath.hpp"
#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "launcher/prefix/user.hpp"

namespace pelto::launcher::prefix {

namespace {

constexpr std::array<std::string_view, 16> kProfileFolders = {
    "AppData",
    "AppData/Roaming",
    "AppData/Local",
    "AppData/Local/Microsoft",
    "AppData/Local/Microsoft/Windows",
    "AppData/Local/Microsoft/Windows/INetCache",
    "AppData/Local/Microsoft/Windows/History",
    "AppData/Local/Microsoft/Windows/INetCookies",
    "AppData/LocalLow",
    "Desktop",
    "Documents",
    "Downloads",
    "Music",
    "Pictures",
    "Videos",
    "Temp",
};

// The prefix's "dosdevices", resolved inside the prefix and, with `create`, made when missing
// (one ERROR line when it cannot be); invalid with `error` set when it cannot be had.
base::Fd open_drives(const std::string& pfx, bool create, int& error) {
    base::Fd root = base::open_root_dir(pfx, error);
    base::Fd drives;
    if (root.valid()) {
        drives =
            create ? base::make_dirs_beneath(root.get(), "dosdevices", error)
                   : base::open_beneath(root.get(), "dosdevices", O_RDONLY | O_DIRECTORY, 0, error);
    }
    if (!drives.valid() && create) {
        base::log_error(base::concat(
            "Cannot create dosdevices dir: ",
            error == EXDEV ? base::why_outside(pfx, "dosdevices") : base::error_text(error),
            " — drive mappings will fail"));
    }
    return drives;
}

// Creates the drive link `name` unless something that resolves is there already; a dangling
// link there is replaced, since Wine could not use the drive.
void create_drive_link(int drives, const char* name, const char* target) {
    struct stat status;
    if (::fstatat(drives, name, &status, 0) == 0) return;
    if (::fstatat(drives, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
        ::unlinkat(drives, name, 0);
    }
    if (::symlinkat(target, drives, name) != 0) {
        base::log_error(
            base::concat("Cannot create ", name, " drive symlink: ", base::error_text(errno)));
    }
}

// The first library of the colon-separated list that occurs anywhere in the install path.
std::optional<std::string> library_of(std::string_view install_path, std::string_view list) {
    for (std::string_view item : base::split(list, ':')) {
        if (!item.empty() && install_path.find(item) != std::string_view::npos) {
            return std::string(item);
        }
    }
    return std::nullopt;
}

// The S: target for library `library`: the library root (canonical) when the item names its
// "steamapps" directory and the root is a writable directory on the same device; otherwise
// the item as written.
std::string s_drive_target(const std::string& library) {
    std::optional<std::string> resolved = base::canonical(library);
    if (!resolved || !base::is_dir(*resolved)) return library;
    if (base::file_name(*resolved) != "steamapps") return library;
    std::optional<std::string> root = base::parent_dir(*resolved);
    if (!root || root->empty() || !base::can_write(*root)) return library;
    auto root_status = base::stat_path(*root);
    auto library_status = base::stat_path(*resolved);
    if (!root_status || !library_status || root_status->st_dev != library_status->st_dev) {
        return library;
    }
    return *root;
}

}  // namespace

void create_drive_links(const std::string& pfx) {
    int error = 0;
    base::Fd drives = open_drives(pfx, true, error);
    for (auto [name, target] : {std::pair{"c:", "../drive_c"}, std::pair{"z:", "/"}}) {
        if (drives.valid()) {
            create_drive_link(drives.get(), name, target);
        } else {
            base::log_error(
                base::concat("Cannot create ", name, " drive symlink: ", base::error_text(error)));
        }
    }
}

void create_user_folders(const std::string& pfx, const std::string& user) {
    // Folders are made only inside the prefix: wineboot links profile folders into the user's
    // home, and a folder tree created through such a link would land there.
    int error = 0;
    base::Fd root = base::open_root_dir(pfx, error);
    if (!root.valid()) return;
    std::string profile = base::concat("drive_c/users/", user);
    base::make_dirs_beneath(root.get(), profile, error);
    for (std::string_view folder : kProfileFolders) {
        base::make_dirs_beneath(root.get(), base::concat(profile, "/", folder), error);
    }
    base::make_dirs_beneath(root.get(), "drive_c/users/Public/Desktop", error);
    base::make_dirs_beneath(root.get(), "drive_c/users/Public/Documents", error);
}

void map_s_drive(const std::string& pfx, const std::string& install_path,
                 const std::string& library_paths) {
    int error = 0;
    base::Fd drives = open_drives(pfx, false, error);
    std::optional<std::string> library = library_of(install_path, library_paths);
    if (!library) {
        if (drives.valid()) ::unlinkat(drives.get(), "s:", 0);
        return;
    }
    std::string target = s_drive_target(*library);
    if (drives.valid()) {
        if (std::optional<std::string> current = base::read_link_at(drives.get(), "s:");
            current && base::same_path(*current, target)) {
            return;
        }
        ::unlinkat(drives.get(), "s:", 0);
        error = target.find('\0') != std::string::npos                 ? EINVAL
                : ::symlinkat(target.c_str(), drives.get(), "s:") == 0 ? 0
                                                                       : errno;
    }
    if (error != 0) {
        base::log_warn(base::concat(
            "Cannot map S: to ", base::lossy_utf8(target), ": ",
            error == EXDEV ? base::why_outside(pfx, "dosdevices") : base::error_text(error)));
    }
}

}  // namespace pelto::launcher::prefix
