#include "base/text.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace pelto::base {

namespace {

// Length of the well-formed UTF-8 sequence at `pos`, or 0 when it is ill-formed; in that case
// `maximal` receives the length of the maximal subpart to replace (at least 1).
size_t utf8_sequence(std::string_view s, size_t pos, size_t& maximal) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = byte(pos);
    maximal = 1;
    if (lead < 0x80) return 1;
    size_t need;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (size_t i = 1; i < need; ++i) {
        if (pos + i >= s.size()) return 0;
        unsigned char c = byte(pos + i);
        unsigned char lo = i == 1 ? low : 0x80;
        unsigned char hi = i == 1 ? high : 0xBF;
        if (c < lo || c > hi) return 0;
        maximal = i + 1;
    }
    return need;
}

// Decodes the code point at `pos` of valid UTF-8 and advances `pos`.
uint32_t decode(std::string_view s, size_t& pos) {
    size_t maximal = 0;
    size_t len = utf8_sequence(s, pos, maximal);
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    uint32_t cp;
    if (len == 1)
        cp = byte(pos);
    else if (len == 2)
        cp = ((byte(pos) & 0x1Fu) << 6) | (byte(pos + 1) & 0x3Fu);
    else if (len == 3)
        cp = ((byte(pos) & 0x0Fu) << 12) | ((byte(pos + 1) & 0x3Fu) << 6) | (byte(pos + 2) & 0x3Fu);
    else
        cp = ((byte(pos) & 0x07u) << 18) | ((byte(pos + 1) & 0x3Fu) << 12) |
             ((byte(pos + 2) & 0x3Fu) << 6) | (byte(pos + 3) & 0x3Fu);
    pos += len == 0 ? 1 : len;
    return cp;
}

bool is_white_space(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

std::vector<std::string_view> path_components(std::string_view path) {
    std::vector<std::string_view> parts;
    if (!path.empty() && path.front() == '/') parts.emplace_back("/");
    bool first = true;
    for (std::string_view part : split(path, '/')) {
        if (part.empty()) continue;
        // A leading "." of a relative path is kept; every later "." is dropped.
        if (part != "." || (first && parts.empty())) parts.push_back(part);
        first = false;
    }
    return parts;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        // Text is mostly ASCII (a registry of megabytes is checked whole): eight bytes at a
        // time while none has its high bit set.
        while (pos + 8 <= bytes.size()) {
            uint64_t word;
            std::memcpy(&word, bytes.data() + pos, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) break;
            pos += 8;
        }
        if (pos >= bytes.size()) break;
        if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
            ++pos;
            continue;
        }
        size_t maximal = 0;
        size_t len = utf8_sequence(bytes, pos, maximal);
        if (len == 0) return false;
        pos += len;
    }
    return true;
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t maximal = 0;
        size_t len = utf8_sequence(bytes, pos, maximal);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            pos += maximal;
        } else {
            out.append(bytes.substr(pos, len));
            pos += len;
        }
    }
    return out;
}

std::string_view trim_unicode(std::string_view text) {
    if (!is_valid_utf8(text)) {
        auto ascii_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
        while (!text.empty() && ascii_space(text.front())) text.remove_prefix(1);
        while (!text.empty() && ascii_space(text.back())) text.remove_suffix(1);
        return text;
    }
    // Leading white space.
    size_t start = 0;
    while (start < text.size()) {
        size_t next = start;
        if (!is_white_space(decode(text, next))) break;
        start = next;
    }
    // Trailing white space: walk forward remembering where the last non-space ended.
    size_t end = start;
    size_t pos = start;
    while (pos < text.size()) {
        uint32_t cp = decode(text, pos);
        if (!is_white_space(cp)) end = pos;
    }
    return text.substr(start, end - start);
}

bool same_path(std::string_view a, std::string_view b) {
    return path_components(a) == path_components(b);
}

std::optional<std::string> env_text(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    std::string_view view(value);
    if (!is_valid_utf8(view)) return std::nullopt;
    return std::string(view);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    while (true) {
        size_t at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace pelto::base
