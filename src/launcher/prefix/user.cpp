#include "launcher/prefix/user.hpp"

#include <optional>
#include <string_view>

#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"

namespace pelto::launcher::prefix {

namespace {

constexpr std::string_view kKey = "\"ProfileImagePath\"=\"";
constexpr const char* kDefaultUser = "steamuser";

// The last piece after a doubled backslash of a ProfileImagePath value, or "".
std::string_view name_from_value(std::string_view value) {
    while (!value.empty() && (value.back() == '"' || value.back() == '\r')) value.remove_suffix(1);
    // Split left to right at every doubled backslash and keep the last piece.
    size_t split;
    while ((split = value.find("\\\\")) != std::string_view::npos) value.remove_prefix(split + 2);
    return value;
}

// A Windows user name never holds a slash or NUL and is never "." or "..": such a value
// would move the profile (and every folder made or cleaned in it) outside the prefix.
bool usable_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace

std::optional<std::string> user_name_from_line(std::string_view line) {
    if (line.size() < kKey.size() || line.substr(0, kKey.size()) != kKey) return std::nullopt;
    std::string_view name = name_from_value(line.substr(kKey.size()));
    if (!usable_name(name)) return std::nullopt;
    return std::string(name);
}

std::string user_name_from_registry(std::string_view text) {
    if (!base::is_valid_utf8(text)) return kDefaultUser;
    for (std::string_view line : base::split(text, '\n')) {
        if (auto name = user_name_from_line(line)) return *name;
    }
    return kDefaultUser;
}

std::string prefix_user_name(const std::string& pfx) {
    // The text must be UTF-8 as a whole; the first usable line gives the name.
    std::string name;
    bool utf8 = true;
    int error = base::scan_lines(base::join_path(pfx, "system.reg"), [&](std::string_view line) {
        if (!base::is_valid_utf8(line)) {
            utf8 = false;
            return false;
        }
        if (name.empty()) {
            if (auto found = user_name_from_line(line)) name = *found;
        }
        return true;
    });
    if (error != 0 || !utf8 || name.empty()) return kDefaultUser;
    return name;
}

std::string user_profile_dir(const std::string& pfx, const std::string& user) {
    return base::join_path(base::join_path(pfx, "drive_c/users"), user);
}

}  // namespace pelto::launcher::prefix
