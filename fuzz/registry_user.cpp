// Fuzzes the prefix user name read from "system.reg": whatever the file holds, the name is a
// single path component that stays inside "drive_c/users" (never empty, "." or "..", no "/"
// or NUL byte). And the line Wine writes for a user, with the input as the user name, gives
// that name back.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text.hpp"
#include "check.hpp"
#include "launcher/prefix/user.hpp"

namespace {

// A name that Wine's line for it carries unchanged: UTF-8 without the characters that end
// or split the value, and not a name the reader refuses.
bool plain_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && pelto::base::is_valid_utf8(name) &&
           name.find_first_of(std::string_view("/\\\"\r\n\0", 6)) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using pelto::fuzz::check;
    using pelto::launcher::prefix::user_name_from_registry;
    std::string_view text = pelto::fuzz::as_text(data, size);

    std::string name = user_name_from_registry(text);
    check(!name.empty() && name != "." && name != "..", "the name is not empty, . or ..");
    check(name.find('/') == std::string::npos, "the name holds no slash");
    check(name.find('\0') == std::string::npos, "the name holds no NUL byte");
    check(pelto::base::is_valid_utf8(name), "the name is UTF-8");
    if (!pelto::base::is_valid_utf8(text)) check(name == "steamuser", "non-UTF-8 gives steamuser");

    if (plain_name(text)) {
        std::string line = pelto::base::concat(
            "[Software\\\\Microsoft\\\\Windows "
            "NT\\\\CurrentVersion\\\\ProfileList\\\\S-1-5-21-0-0-0-"
            "1000] 1700000000\n\"ProfileImagePath\"=\"C:\\\\users\\\\",
            text, "\"\r\n");
        check(user_name_from_registry(line) == text, "Wine's line for a user gives its name");
    }
    return 0;
}
