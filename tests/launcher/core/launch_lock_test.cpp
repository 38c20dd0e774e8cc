#include "launcher/core/launch_lock.hpp"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/test_support.hpp"

namespace pelto::launcher::core {
namespace {

TEST(LaunchLock, ProbingForOtherLaunchesChangesNoHold) {
    testing::TempDir dir;
    LaunchLock first = open_launch_lock(dir.path());
    ASSERT_TRUE(first.file.valid());
    EXPECT_TRUE(first.protects_saves);
    EXPECT_FALSE(another_launch_running(first));
    {
        LaunchLock second = open_launch_lock(dir.path());
        EXPECT_FALSE(second.protects_saves);
        EXPECT_TRUE(another_launch_running(first));
        EXPECT_TRUE(another_launch_running(second));
    }
    EXPECT_FALSE(another_launch_running(first));

    // A launch that waited for the setup of one that has gone since protects the saves itself.
    {
        LaunchLock second = open_launch_lock(dir.path());
        EXPECT_FALSE(second.protects_saves);
        begin_prefix_setup(second, 1000);
        EXPECT_FALSE(second.protects_saves);
        end_prefix_setup(second);
        first = LaunchLock{};
        begin_prefix_setup(second, 1000);
        EXPECT_TRUE(second.protects_saves);
        first = open_launch_lock(dir.path());
        EXPECT_FALSE(first.protects_saves);
    }
    first = open_launch_lock(dir.path());
    ASSERT_TRUE(first.protects_saves);

    // While a launch that is alone probes again and again, a launch that starts is always
    // given its shared hold: the probe never turns its own hold into an exclusive one.
    std::atomic<bool> probing{true};
    std::thread prober([&] {
        while (probing) (void)another_launch_running(first);
    });
    int refused = 0;
    for (int i = 0; i < 2000; ++i) {
        int error = 0;
        base::Fd starting = base::open_regular(dir / ".pelto_lock", O_RDWR | O_NOFOLLOW, 0, error);
        ASSERT_TRUE(starting.valid());
        if (base::try_lock_byte(starting.get(), 2, true) != 0) ++refused;
    }
    probing = false;
    prober.join();
    EXPECT_EQ(refused, 0);
    // Without a lock file no launch can prove it is alone.
    EXPECT_TRUE(another_launch_running(LaunchLock{}));
}

}  // namespace
}  // namespace pelto::launcher::core
