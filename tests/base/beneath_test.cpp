#include "base/beneath.hpp"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <functional>

#include "support/test_support.hpp"

namespace pelto::base {
namespace {

using testing::make_dir;
using testing::make_link;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

using Opener = std::function<Fd(int, std::string_view, int, mode_t, int&)>;

// The kernel's resolution and the walk used where the kernel has none must agree.
const std::pair<const char*, Opener> kOpeners[] = {{"openat2", open_beneath},
                                                   {"walk", detail::open_beneath_by_walk}};

TEST(Beneath, LinksAreFollowedOnlyWhileTheyStayInside) {
    TempDir tree;
    std::string root = tree / "root";
    write_text(root + "/a/f", "f");
    make_link("a", root + "/in");
    make_link("../a/f", root + "/a/../in/self");  // a link back up that stays inside
    make_link("../outside", root + "/up");
    make_link(tree / "outside", root + "/abs");
    make_link("loop2", root + "/loop1");
    make_link("loop1", root + "/loop2");
    make_link("nothing", root + "/gone");
    write_text(tree / "outside/x", "outside");
    int error = 0;
    Fd dir = open_root_dir(root, error);
    ASSERT_TRUE(dir.valid());

    struct Case {
        const char* path;
        int error;
    };
    for (const auto& [name, open] : kOpeners) {
        for (Case c : {Case{"a/f", 0}, Case{"in/f", 0}, Case{"a/self", 0}, Case{"a/../a/f", 0},
                       Case{"up/x", EXDEV}, Case{"abs/x", EXDEV}, Case{"../outside/x", EXDEV},
                       Case{"loop1/x", ELOOP}, Case{"gone", ENOENT}, Case{"a/f/x", ENOTDIR}}) {
            Fd file = open(dir.get(), c.path, O_RDONLY, 0, error);
            EXPECT_EQ(error, c.error) << name << ": " << c.path;
            EXPECT_EQ(file.valid(), c.error == 0) << name << ": " << c.path;
        }
        // A new file through an inside link lands where the link leads.
        Fd made =
            open(dir.get(), "in/made-by-" + std::string(name), O_WRONLY | O_CREAT, 0644, error);
        EXPECT_TRUE(made.valid()) << name;
        EXPECT_TRUE(exists(root + "/a/made-by-" + std::string(name)));
    }

    // Folders are made below the root, through inside links only.
    Fd made = make_dirs_beneath(dir.get(), "new/deep/er", error);
    EXPECT_TRUE(made.valid());
    EXPECT_TRUE(is_dir(root + "/new/deep/er"));
    EXPECT_TRUE(make_dirs_beneath(dir.get(), "in/sub", error).valid());
    EXPECT_TRUE(is_dir(root + "/a/sub"));
    EXPECT_FALSE(make_dirs_beneath(dir.get(), "up/sub", error).valid());
    EXPECT_EQ(error, EXDEV);
    EXPECT_FALSE(lstat_path(tree / "outside/sub"));
    EXPECT_FALSE(make_dirs_beneath(dir.get(), "a/f/sub", error).valid());
    EXPECT_EQ(error, ENOTDIR);

    EXPECT_EQ(why_outside(root, "up/x"), root + "/up is a link that leads out of " + root);
    EXPECT_EQ(why_outside(root, "abs/x"), root + "/abs is an absolute link");
    EXPECT_EQ(read_text(tree / "outside/x"), "outside");
}

}  // namespace
}  // namespace pelto::base
