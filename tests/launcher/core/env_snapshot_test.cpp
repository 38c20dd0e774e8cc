#include "launcher/core/env_snapshot.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.hpp"

namespace pelto::launcher::core {
namespace {

using testing::capture_log;

TEST(EnvSnapshot, ValidUtf8OrUnsetAndTheCustomVariablesLaidOver) {
    EnvSnapshot snapshot = take_env_snapshot(
        {"HOME=/home/player", "BAD=\xFF\xFE", "EMPTY=", "TWICE=first", "TWICE=second", "NOEQUALS",
         "=nameless", "BADFIRST=\xC3", "BADFIRST=later", "PELTO_TRACE=1"});
    EXPECT_EQ(snapshot.text("HOME"), "/home/player");
    EXPECT_EQ(snapshot.text("BAD"), std::nullopt);  // not UTF-8: as if unset
    EXPECT_TRUE(snapshot.is_set("BAD"));
    EXPECT_FALSE(snapshot.is_set("BA"));
    EXPECT_EQ(snapshot.text_or("BAD", "fallback"), "fallback");
    EXPECT_EQ(snapshot.text("EMPTY"), "");  // set to the empty text counts as set
    EXPECT_EQ(snapshot.text("TWICE"), "first");
    EXPECT_EQ(snapshot.text("BADFIRST"), std::nullopt);
    EXPECT_EQ(snapshot.text("NOEQUALS"), std::nullopt);
    // A switch is on for exactly "1".
    EXPECT_TRUE(snapshot.is_on("PELTO_TRACE"));
    for (const char* value : {"", "true", "yes", "1 ", "01"}) {
        EXPECT_FALSE(take_env_snapshot({std::string("PELTO_TRACE=") + value}).is_on("PELTO_TRACE"))
            << value;
    }
    EXPECT_FALSE(snapshot.is_on("UNSET"));
    EXPECT_EQ(snapshot.entries->size(), 10u);  // children inherit every entry as it came

    std::vector<CustomVar> vars = {{"HOME", "/custom/home"},
                                   {std::string("BAD\0NAME", 8), "x"},
                                   {"NEW", std::string("v\0w", 3)},
                                   {"BAD", "now valid"},
                                   {"HOME", "/second/home"}};
    EnvSnapshot laid;
    auto lines = capture_log([&] { laid = with_custom_vars(snapshot, vars); });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[WARN]   env_config: skipping BAD\\0NAME", 0), 0u);
    EXPECT_EQ(laid.text("HOME"), "/second/home");  // the later pair of a name wins
    EXPECT_EQ(laid.text("BAD"), "now valid");
    EXPECT_EQ(laid.text("NEW"), std::nullopt);
    ASSERT_EQ(laid.custom.size(), 3u);
    EXPECT_EQ(laid.custom[0].value, "/custom/home");
    const std::vector<std::string>& entries = *laid.entries;
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "HOME=/second/home"), 1);
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const std::string& e) { return e.rfind("HOME=", 0) == 0; }),
              1);
    // The launcher's own snapshot stays as it was.
    EXPECT_EQ(snapshot.text("HOME"), "/home/player");
    EXPECT_TRUE(snapshot.custom.empty());
}

}  // namespace
}  // namespace pelto::launcher::core
