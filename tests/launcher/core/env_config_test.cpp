#include "launcher/core/env_config.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace pelto::launcher::core {
namespace {

using testing::capture_log;
using testing::TempDir;
using testing::write_text;

// The variables of an env_config file, and what reading it said.
std::vector<CustomVar> load(const TempDir& dir, const std::string& content) {
    write_text(dir / "env_config", content);
    EnvConfig config = load_env_config(dir.path());
    report_env_config(config);
    return config.vars;
}

TEST(EnvConfig, ParsesAssignmentsCommentsAndMalformedLines) {
    TempDir dir;
    std::vector<CustomVar> vars;
    auto lines = capture_log([&] {
        vars = load(dir,
                    "FOO = bar baz \n   # indented comment\nEMPTY=\n=bar\nEQ=a=b\nJUST_A_WORD\n"
                    "\xC2\xA0NBSP=\xE3\x80\x80value\xE3\x80\x80\nFOO=second");
    });
    ASSERT_EQ(vars.size(), 5u);
    EXPECT_EQ(vars[0].name, "FOO");
    EXPECT_EQ(vars[0].value, "bar baz");
    EXPECT_EQ(vars[1].name, "EMPTY");
    EXPECT_EQ(vars[1].value, "");
    EXPECT_EQ(vars[2].value, "a=b");
    EXPECT_EQ(vars[3].name, "NBSP");
    EXPECT_EQ(vars[3].value, "value");
    EXPECT_EQ(vars[4].value, "second");
    std::vector<std::string> expected = {
        "[WARN]   env_config: ignoring malformed line: JUST_A_WORD",
        "[DEBUG]  env_config: loaded 5 custom variable(s)"};
    EXPECT_EQ(lines, expected);
}

TEST(EnvConfig, WindowsLineEndsMatchUnixOnesAndBadFilesAreSilent) {
    TempDir dir;
    auto unix_vars = load(dir, "A=1\nB=2\n");
    auto windows_vars = load(dir, "A=1\r\nB=2\r\n");
    ASSERT_EQ(windows_vars.size(), 2u);
    EXPECT_EQ(windows_vars[1].value, unix_vars[1].value);

    auto lines = capture_log([&] {
        EXPECT_TRUE(load(dir, "A=\xFF\n").empty());            // not UTF-8: ignored whole
        EXPECT_TRUE(load(dir, "# only a comment\n").empty());  // no DEBUG line either
        EXPECT_TRUE(load_env_config(dir / "missing").vars.empty());
    });
    EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace pelto::launcher::core
