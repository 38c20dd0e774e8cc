#include "launcher/core/wine_runtime.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace pelto::launcher::core {
namespace {

TEST(WineRuntime, DebugValueAndPreloadList) {
    EXPECT_EQ(wine_debug_value(std::nullopt, true, false), "+server,+timestamp");
    EXPECT_EQ(wine_debug_value(std::nullopt, false, true), "+process,err");
    EXPECT_EQ(wine_debug_value(std::nullopt, false, false), "-all");
    EXPECT_EQ(wine_debug_value("", true, true), "");

    EXPECT_EQ(filtered_ld_preload(":/a/lib.so:/steam/gameoverlayrenderer.so::/b/lib.so"),
              "/a/lib.so:/b/lib.so");
    EXPECT_EQ(filtered_ld_preload("/steam/gameoverlayrenderer.so"), "");
    EXPECT_EQ(filtered_ld_preload(std::nullopt), "");
}

}  // namespace
}  // namespace pelto::launcher::core
