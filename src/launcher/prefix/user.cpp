#include "launcher/prefix/user.hpp"

#include <string_view>

#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"

namespace pelto::launcher::prefix {

namespace {

constexpr std::string_view kKey = "\"ProfileImagePath\"=\"";

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

std::string user_name_from_registry(std::string_view text) {
    if (!base::is_valid_utf8(text)) return "steamuser";
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.size() < kKey.size() || line.substr(0, kKey.size()) != kKey) continue;
        std::string_view name = name_from_value(line.substr(kKey.size()));
        if (usable_name(name)) return std::string(name);
    }
    return "steamuser";
}

std::string prefix_user_name(const std::string& pfx) {
    std::string text;
    if (base::read_text_file(base::join_path(pfx, "system.reg"), text) != 0) return "steamuser";
    return user_name_from_registry(text);
}

std::string user_profile_dir(const std::string& pfx) {
    return base::join_path(base::join_path(pfx, "drive_c/users"), prefix_user_name(pfx));
}

}  // namespace pelto::launcher::prefix
