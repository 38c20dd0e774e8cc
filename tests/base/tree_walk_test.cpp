#include "base/tree_walk.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.hpp"

namespace pelto::base {
namespace {

using testing::make_dir;
using testing::make_link;
using testing::TempDir;
using testing::write_text;

TEST(TreeWalk, LinksAreFollowedOnlyInsideAndNothingTwice) {
    TempDir tree;
    std::string root = tree / "root";
    write_text(root + "/a/file", "f");
    make_link("..", root + "/a/cycle");          // back to the root: a cycle
    make_link(root + "/a", root + "/again");     // a second way into a/
    make_link(tree / "outside", root + "/out");  // leaves the boundary
    make_link("missing", root + "/dangling");    // leads nowhere
    make_dir(tree / "outside");
    write_text(tree / "outside/secret", "s");

    std::vector<std::string> dirs, files;
    WalkVisitor visitor;
    visitor.enter_dir = [&](const WalkItem& item) {
        dirs.push_back(item.relative);
        return true;
    };
    visitor.file = [&](const WalkItem& item) { files.push_back(item.relative); };
    WalkResult walked = walk_inside(root, root, visitor);
    EXPECT_TRUE(walked.entered && walked.complete);
    std::sort(dirs.begin(), dirs.end());
    std::sort(files.begin(), files.end());
    // a/ is entered once, by whichever way the listing gives first; the cycle and the link
    // out are not entered; the dangling link is reported as what it is, no directory.
    ASSERT_EQ(dirs.size(), 1u) << ::testing::PrintToString(dirs);
    EXPECT_TRUE(dirs[0] == "a" || dirs[0] == "again") << dirs[0];
    EXPECT_EQ(files, (std::vector<std::string>{dirs[0] + "/file", "dangling"}));

    // A root outside the boundary, or no directory at all, is not walked.
    EXPECT_FALSE(walk_inside(tree / "outside", root, visitor).entered);
    EXPECT_FALSE(walk_inside(root + "/a/file", root, visitor).entered);
    EXPECT_FALSE(walk_inside(root + "/dangling", root, visitor).entered);
}

}  // namespace
}  // namespace pelto::base
