// Fuzzes the text form of byte strings against a reference decoder written differently: it
// asks, byte by byte, whether the bytes so far still begin the shortest encoding of some
// Unicode scalar value, by comparing the range of code points they could still become with
// the range their length allows. The longest such run that is not a whole character is one
// maximal invalid subsequence, which becomes one U+FFFD.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text.hpp"
#include "check.hpp"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The sequence length a lead byte announces; 0 for a continuation byte or 0xF8-0xFF.
size_t announced_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    return 0;
}

// True when the first `have` bytes of `seq` (have <= length, length >= 2) begin the
// `length`-byte encoding of a scalar value: not overlong, not a surrogate, at most U+10FFFF.
bool begins_scalar(std::string_view seq, size_t have, size_t length) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(seq[i]); };
    for (size_t i = 1; i < have; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return false;
    }
    uint32_t low = byte(0) & (0x7Fu >> length);
    uint32_t high = low;
    for (size_t i = 1; i < length; ++i) {
        low = (low << 6) | (i < have ? byte(i) & 0x3Fu : 0x00u);
        high = (high << 6) | (i < have ? byte(i) & 0x3Fu : 0x3Fu);
    }
    constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    constexpr uint32_t kLargest[] = {0, 0, 0x7FF, 0xFFFF, 0x10FFFF};
    if (low < kSmallest[length]) low = kSmallest[length];
    if (high > kLargest[length]) high = kLargest[length];
    if (low > high) return false;
    return low < 0xD800 || high > 0xDFFF;  // something outside the surrogates is left
}

struct Decoded {
    std::string text;
    bool replaced = false;
};

Decoded reference_lossy(std::string_view bytes) {
    Decoded out;
    size_t pos = 0;
    while (pos < bytes.size()) {
        std::string_view rest = bytes.substr(pos);
        size_t length = announced_length(static_cast<unsigned char>(rest[0]));
        if (length == 1) {
            out.text += rest[0];
            ++pos;
            continue;
        }
        size_t have = 0;
        if (length != 0 && begins_scalar(rest, 1, length)) {
            have = 1;
            while (have < length && have < rest.size() && begins_scalar(rest, have + 1, length)) {
                ++have;
            }
        }
        if (have != 0 && have == length) {
            out.text += rest.substr(0, length);
        } else {
            out.text += kReplacement;
            out.replaced = true;
        }
        pos += have == 0 ? 1 : have;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using pelto::fuzz::check;
    std::string_view bytes = pelto::fuzz::as_text(data, size);
    std::string text = pelto::base::lossy_utf8(bytes);
    Decoded expected = reference_lossy(bytes);

    check(pelto::base::is_valid_utf8(text), "the text form is valid UTF-8");
    check(text == expected.text, "each maximal invalid subsequence becomes one U+FFFD");
    check(pelto::base::is_valid_utf8(bytes) == !expected.replaced,
          "is_valid_utf8 agrees with the reference decoder");
    if (!expected.replaced) check(text == bytes, "valid UTF-8 is its own text form");
    return 0;
}
