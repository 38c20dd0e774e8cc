#include "base/log.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "support/test_support.hpp"

namespace pelto::base {
namespace {

TEST(Log, LineFormatAndTags) {
    EXPECT_TRUE(
        std::regex_match(time_prefix(), std::regex(R"(\[[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\])")));
    ::testing::internal::CaptureStderr();
    log_line(LogLevel::Warn, "Steam directory not found — game may not connect to Steam");
    log_line(LogLevel::Error, "e");
    log_line(LogLevel::Info, "i");
    log_line(LogLevel::Debug, "d");  // the unit tests run verbose
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        out,
        std::regex(
            R"(\[\d\d:\d\d:\d\d\] \[WARN\]   Steam directory not found — game may not connect to Steam
\[\d\d:\d\d:\d\d\] \[ERROR\]  e
\[\d\d:\d\d:\d\d\] \[INFO\]   i
\[\d\d:\d\d:\d\d\] \[DEBUG\]  d
)")));
}

TEST(Log, ConcurrentLinesNeverInterleave) {
    std::string long_text(3000, 'x');
    ::testing::internal::CaptureStderr();
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 50; ++i) log_info(std::to_string(t) + long_text);
            });
        }
    }
    testing::RunResult parsed;
    parsed.err = ::testing::internal::GetCapturedStderr();
    auto lines = parsed.log_lines();
    ASSERT_EQ(lines.size(), 200u);
    for (const std::string& line : lines) {
        ASSERT_EQ(line.size(), 9 + 1 + long_text.size());
        EXPECT_EQ(line.substr(10), long_text);
    }
}

}  // namespace
}  // namespace pelto::base
