// The Windows user name under which the prefix keeps its profile, read from "system.reg".
#pragma once

#include <string>
#include <string_view>

namespace pelto::launcher::prefix {

/// The user name from the first usable "ProfileImagePath" line of "{pfx}/system.reg";
/// "steamuser" when the file is missing, not UTF-8, or has no usable line.
std::string prefix_user_name(const std::string& pfx);
/// The user name from the first usable "ProfileImagePath" line of a "system.reg" text;
/// "steamuser" when it is not UTF-8 or has no usable line.
std::string user_name_from_registry(std::string_view text);

/// "{pfx}/drive_c/users/{user}"; creates nothing.
std::string user_profile_dir(const std::string& pfx, const std::string& user);

}  // namespace pelto::launcher::prefix
