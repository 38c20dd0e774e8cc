#include "base/text.hpp"

#include <gtest/gtest.h>

namespace pelto::base {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Text, LossyUtf8ReplacesEachMaximalInvalidSubpartOnce) {
    EXPECT_EQ(lossy_utf8("plain/ascii"), "plain/ascii");
    EXPECT_EQ(lossy_utf8("caf\xC3\xA9"), "caf\xC3\xA9");
    // A truncated three-byte sequence is one maximal subpart: one replacement.
    EXPECT_EQ(lossy_utf8("a\xE2\x82"
                         "b"),
              "a" + kReplacement + "b");
    // Bytes that can never start or continue a sequence are replaced one by one.
    EXPECT_EQ(lossy_utf8("\xFF\xFE"), kReplacement + kReplacement);
    // An overlong lead (F0 80) is not a valid prefix, so each byte is its own subpart.
    EXPECT_EQ(lossy_utf8("\xF0\x80\x80"), kReplacement + kReplacement + kReplacement);
    // A surrogate encoding (ED A0 80) is invalid byte by byte.
    EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);
    EXPECT_EQ(lossy_utf8("\xF0\x9F\x98"), kReplacement);
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));
    EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));
}

TEST(Text, TrimUnicodeRemovesEveryWhiteSpaceCharacter) {
    EXPECT_EQ(trim_unicode("  \tFOO = bar \r\n"), "FOO = bar");
    // U+00A0 no-break space, U+3000 ideographic space, U+2009 thin space, U+0085 next line.
    EXPECT_EQ(trim_unicode("\xC2\xA0\xE3\x80\x80x\xE2\x80\x89\xC2\x85"), "x");
    // U+200B zero width space is not White_Space and stays.
    EXPECT_EQ(trim_unicode("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");
    EXPECT_EQ(trim_unicode(" \xC2\xA0 "), "");
}

TEST(Text, SamePathComparesComponents) {
    EXPECT_TRUE(same_path("/a//b/", "/a/b"));
    EXPECT_TRUE(same_path("/a/./b", "/a/b"));
    EXPECT_TRUE(same_path("./a", "./a/."));
    EXPECT_FALSE(same_path("./a", "a"));
    EXPECT_FALSE(same_path("/a/../b", "/b"));
    EXPECT_FALSE(same_path("/a", "a"));
    EXPECT_TRUE(same_path("/", "//"));
}

}  // namespace
}  // namespace pelto::base
