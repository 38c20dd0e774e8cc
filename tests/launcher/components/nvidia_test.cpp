#include "launcher/components/nvidia.hpp"

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::components {
namespace {

using testing::TempDir;
using testing::write_text;

TEST(NvidiaDllDir, FollowsTheLibraryLinkAndStopsAtTheFirstThatResolves) {
    TempDir root;
    EXPECT_FALSE(nvidia_wine_dll_dir(root.path()));

    // The second directory holds the DLLs, but the first library that resolves decides.
    write_text(root / "usr/lib/libGLX_nvidia.so.0", "");
    write_text(root / "usr/lib64/libGLX_nvidia.so.0", "");
    write_text(root / "usr/lib64/nvidia/wine/nvngx.dll", "");
    EXPECT_FALSE(nvidia_wine_dll_dir(root.path()));

    // A link into another directory: "nvidia/wine" beside the link's final target counts.
    base::remove_file(root / "usr/lib/libGLX_nvidia.so.0");
    write_text(root / "opt/driver/libGLX_nvidia.so.0.1", "");
    write_text(root / "opt/driver/nvidia/wine/nvngx.dll", "");
    testing::make_link(root / "opt/driver/libGLX_nvidia.so.0.1",
                       root / "usr/lib/libGLX_nvidia.so.0");
    EXPECT_EQ(nvidia_wine_dll_dir(root.path()), root / "opt/driver/nvidia/wine");
}

}  // namespace
}  // namespace pelto::launcher::components
