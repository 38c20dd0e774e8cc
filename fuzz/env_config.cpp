// Fuzzes the env_config parser. Every pair it returns must be one the file format can
// express: a non-empty name that holds no "=" and does not start a comment, a name and a
// value free of line feeds and trimmed of white space, so that writing the pairs back as
// "name=value" lines and reading them again gives the same list.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.hpp"
#include "check.hpp"
#include "launcher/core/env_config.hpp"

namespace {

using pelto::launcher::core::CustomVar;

// The Unicode White_Space property.
bool is_white_space(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// The code point of the valid UTF-8 sequence that starts at `pos`.
uint32_t code_point_at(std::string_view text, size_t pos) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    uint32_t lead = byte(pos);
    if (lead < 0x80) return lead;
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    uint32_t cp = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) cp = (cp << 6) | (byte(pos + i) & 0x3Fu);
    return cp;
}

// True when valid UTF-8 `text` neither starts nor ends with white space.
bool is_trimmed(std::string_view text) {
    if (text.empty()) return true;
    size_t last = text.size() - 1;
    while (last > 0 && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80) --last;
    return !is_white_space(code_point_at(text, 0)) && !is_white_space(code_point_at(text, last));
}

bool same_vars(const std::vector<CustomVar>& a, const std::vector<CustomVar>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.name == y.name && x.value == y.value;
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using pelto::fuzz::check;
    std::string_view text = pelto::fuzz::as_text(data, size);
    std::vector<CustomVar> vars = pelto::launcher::core::parse_env_config(text).vars;
    if (!pelto::base::is_valid_utf8(text))
        check(vars.empty(), "a file that is not UTF-8 is ignored");

    std::string written;
    for (const CustomVar& var : vars) {
        check(!var.name.empty(), "the name is not empty");
        check(var.name.front() != '#', "the name does not start a comment");
        check(var.name.find_first_of("=\n") == std::string::npos, "the name holds no = or LF");
        check(var.value.find('\n') == std::string::npos, "the value holds no line feed");
        check(pelto::base::is_valid_utf8(var.name) && pelto::base::is_valid_utf8(var.value),
              "the name and the value are UTF-8");
        check(is_trimmed(var.name), "the name is trimmed of white space");
        check(is_trimmed(var.value), "the value is trimmed of white space");
        written += pelto::base::concat(var.name, '=', var.value, '\n');
    }
    check(same_vars(pelto::launcher::core::parse_env_config(written).vars, vars),
          "the pairs written back as lines read the same");
    return 0;
}
