// Wine's drive letters ("dosdevices" links) and the folders of the prefix's user profile.
#pragma once

#include <string>

namespace pelto::launcher::prefix {

/// Creates "{pfx}/dosdevices" with the links "c:" -> "../drive_c" and "z:" -> "/" where they
/// are missing; an existing entry of any kind is kept. Returns nothing; failures are logged.
void create_drive_links(const std::string& pfx);

/// Creates the profile directory of `user` (the prefix user name) and its standard folders,
/// and the Public folders; failures are ignored.
void create_user_folders(const std::string& pfx, const std::string& user);

/// Points "{pfx}/dosdevices/s:" at the Steam library holding the game: the first item of
/// `library_paths` (STEAM_COMPAT_LIBRARY_PATHS) that occurs in `install_path`
/// (STEAM_COMPAT_INSTALL_PATH); removes it when none matches.
void map_s_drive(const std::string& pfx, const std::string& install_path,
                 const std::string& library_paths);

}  // namespace pelto::launcher::prefix
