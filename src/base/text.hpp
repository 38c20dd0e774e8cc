// Text helpers shared by every part of the launcher: the text form of byte strings, Unicode
// white-space trimming, path comparison by components, and reading environment variables
// under the rule that only valid UTF-8 values count.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace pelto::base {

/// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

/// The text form of a byte string: each maximal invalid UTF-8 subsequence becomes one U+FFFD.
std::string lossy_utf8(std::string_view bytes);

/// `text` without leading and trailing characters of the Unicode White_Space property.
/// Input that is not valid UTF-8 is trimmed of ASCII white space only.
std::string_view trim_unicode(std::string_view text);

/// True when `a` and `b` name the same path compared component by component: repeated
/// slashes, a trailing slash and "." components after the first are ignored; ".." counts.
bool same_path(std::string_view a, std::string_view b);

/// The value of environment variable `name` when it is set and valid UTF-8.
std::optional<std::string> env_text(const char* name);

/// The pieces of `text` between each `separator`, in order, empty pieces included: "a::b"
/// gives "a", "", "b"; "" gives one empty piece. The pieces refer to `text`.
std::vector<std::string_view> split(std::string_view text, char separator);

/// Lower-cases the ASCII letters A-Z, leaving every other byte unchanged.
std::string ascii_lower(std::string_view text);

/// A byte string that `concat` writes in its text form (`lossy_utf8`). It only refers to the
/// bytes, so building one costs nothing until the text is formatted.
struct AsText {
    std::string_view bytes;
};
inline AsText as_text(std::string_view bytes) { return AsText{bytes}; }

namespace detail {
inline void append_piece(std::string& out, std::string_view piece) { out += piece; }
inline void append_piece(std::string& out, const char* piece) { out += piece; }
inline void append_piece(std::string& out, const std::string& piece) { out += piece; }
inline void append_piece(std::string& out, char piece) { out += piece; }
inline void append_piece(std::string& out, AsText piece) { out += lossy_utf8(piece.bytes); }
template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int>>>
void append_piece(std::string& out, Int value) {
    out += std::to_string(value);
}
}  // namespace detail

/// Concatenates strings, characters and integers (in decimal) into one string.
template <typename... Pieces>
std::string concat(const Pieces&... pieces) {
    std::string out;
    (detail::append_piece(out, pieces), ...);
    return out;
}

}  // namespace pelto::base
