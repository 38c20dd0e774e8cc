#include "launcher/core/wine_runtime.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace pelto::launcher::core {
namespace {

TEST(WineRuntime, DebugValueAndPreloadList) {
    testing::ScopedEnv env;
    env.unset("WINEDEBUG");
    EXPECT_EQ(wine_debug_value(true), "+server,+timestamp");
    EXPECT_EQ(wine_debug_value(false), "+process,err");  // the unit tests run base::verbose
    env.set("WINEDEBUG", "");
    EXPECT_EQ(wine_debug_value(true), "");

    env.set("LD_PRELOAD", ":/a/lib.so:/steam/gameoverlayrenderer.so::/b/lib.so");
    EXPECT_EQ(filtered_ld_preload(), "/a/lib.so:/b/lib.so");
    env.set("LD_PRELOAD", "/steam/gameoverlayrenderer.so");
    EXPECT_EQ(filtered_ld_preload(), "");
}

}  // namespace
}  // namespace pelto::launcher::core
