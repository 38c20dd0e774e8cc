// Drive mappings and user folders. C: and Z: are made once and then kept; S: follows the game
// being started, pointing at the root of its Steam library so that the game's own paths and
// those of its library neighbours resolve under one drive letter.
#include "launcher/prefix/drives.hpp"

#include <sys/stat.h>

#include <array>
#include <optional>
#include <string_view>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/tree_walk.hpp"
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

// Creates the drive link `name` unless something that resolves is there already.
void create_drive_link(const std::string& drives, std::string_view name, std::string_view target) {
    std::string path = base::join_path(drives, name);
    if (base::exists(path)) return;
    if (int error = base::make_symlink(std::string(target), path); error != 0) {
        base::log_error(
            base::concat("Cannot create ", name, " drive symlink: ", base::error_text(error)));
    }
}

// The first library of the colon-separated list that occurs anywhere in the install path.
std::optional<std::string> library_of(std::string_view install_path, std::string_view list) {
    while (true) {
        size_t colon = list.find(':');
        std::string_view item = list.substr(0, colon);
        if (!item.empty() && install_path.find(item) != std::string_view::npos) {
            return std::string(item);
        }
        if (colon == std::string_view::npos) return std::nullopt;
        list.remove_prefix(colon + 1);
    }
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
    std::string drives = base::join_path(pfx, "dosdevices");
    if (int error = base::make_dirs(drives); error != 0) {
        base::log_error(base::concat("Cannot create dosdevices dir: ", base::error_text(error),
                                     " — drive mappings will fail"));
    }
    create_drive_link(drives, "c:", "../drive_c");
    create_drive_link(drives, "z:", "/");
}

void create_user_folders(const std::string& pfx) {
    // Folders are made only inside the prefix: wineboot links profile folders into the user's
    // home, and a folder tree created through such a link would land there.
    std::optional<std::string> boundary = base::canonical(pfx);
    if (!boundary) return;
    std::string profile = base::concat("drive_c/users/", base::file_name(user_profile_dir(pfx)));
    base::make_dirs_inside(pfx, profile, *boundary);
    for (std::string_view folder : kProfileFolders) {
        base::make_dirs_inside(pfx, base::concat(profile, "/", folder), *boundary);
    }
    base::make_dirs_inside(pfx, "drive_c/users/Public/Desktop", *boundary);
    base::make_dirs_inside(pfx, "drive_c/users/Public/Documents", *boundary);
}

void map_s_drive(const std::string& pfx) {
    map_s_drive(pfx, base::env_text("STEAM_COMPAT_INSTALL_PATH").value_or(""),
                base::env_text("STEAM_COMPAT_LIBRARY_PATHS").value_or(""));
}

void map_s_drive(const std::string& pfx, const std::string& install_path,
                 const std::string& library_paths) {
    std::string link = base::join_path(pfx, "dosdevices/s:");
    std::optional<std::string> library = library_of(install_path, library_paths);
    if (!library) {
        base::remove_file(link);
        return;
    }
    std::string target = s_drive_target(*library);
    if (std::optional<std::string> current = base::read_link(link);
        current && base::same_path(*current, target)) {
        return;
    }
    base::remove_file(link);
    if (int error = base::make_symlink(target, link); error != 0) {
        base::log_warn(base::concat("Cannot map S: to ", base::lossy_utf8(target), ": ",
                                    base::error_text(error)));
    }
}

}  // namespace pelto::launcher::prefix
