#include "base/posix.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/scoped_mount.hpp"
#include "support/test_support.hpp"

namespace pelto::base {
namespace {

using testing::read_text;
using testing::TempDir;
using testing::write_text;

TEST(Posix, ErrorTextAndPathPieces) {
    EXPECT_EQ(error_text(2), "No such file or directory (os error 2)");
    EXPECT_EQ(parent_dir("/a/b"), "/a");
    EXPECT_EQ(parent_dir("/a//b//"), "/a");
    EXPECT_EQ(parent_dir("/a"), "/");
    EXPECT_EQ(parent_dir("a"), "");
    EXPECT_EQ(parent_dir("/"), std::nullopt);
    EXPECT_EQ(parent_dir(""), std::nullopt);
    EXPECT_EQ(file_name("/games/x.exe"), "x.exe");
    EXPECT_EQ(file_name("dir/"), "dir");
    EXPECT_EQ(join_path("/a/", "b"), "/a/b");
}

TEST(Posix, DirectoriesFilesAndCopies) {
    TempDir dir;
    EXPECT_EQ(make_dirs(dir / "a/b/c"), 0);
    EXPECT_EQ(make_dirs(dir / "a/b/c"), 0);
    write_text(dir / "file", "x");
    EXPECT_EQ(make_dirs(dir / "file"), EEXIST);
    EXPECT_EQ(make_dirs(dir / "file/sub"), ENOTDIR);

    write_text(dir / "src", "payload");
    ::chmod((dir / "src").c_str(), 0751);
    write_text(dir / "dst", "a much longer old content");
    ASSERT_EQ(copy_file(dir / "src", dir / "dst"), 0);
    EXPECT_EQ(read_text(dir / "dst"), "payload");
    EXPECT_EQ(stat_path(dir / "dst")->st_mode & 07777, 0751u);
    EXPECT_EQ(copy_file(dir / "missing", dir / "dst2"), ENOENT);
    EXPECT_EQ(copy_file(dir / "a", dir / "dst3"), EISDIR);

    EXPECT_EQ(append_file(dir / "absent", "x"), ENOENT);
    EXPECT_FALSE(exists(dir / "absent"));
    EXPECT_EQ(append_file(dir / "dst", "+"), 0);
    EXPECT_EQ(read_text(dir / "dst"), "payload+");

    int error = 0;
    Fd fd = open_file(dir / "dst", O_RDONLY, 0, error);
    ASSERT_TRUE(fd.valid());
    EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(open_file(std::string("nul\0byte", 8), O_RDONLY, 0, error).valid());
    EXPECT_EQ(error, EINVAL);
}

TEST(Posix, CopyNeverRewritesOtherHardLinksAndCanRefuseLinks) {
    TempDir dir;
    write_text(dir / "template", "template content");
    ASSERT_EQ(hard_link(dir / "template", dir / "prefix-copy"), 0);
    write_text(dir / "new", "new");
    ASSERT_EQ(copy_file(dir / "new", dir / "prefix-copy"), 0);
    EXPECT_EQ(read_text(dir / "prefix-copy"), "new");
    EXPECT_EQ(read_text(dir / "template"), "template content");
    // Copying a file onto another name of itself keeps the content.
    ASSERT_EQ(hard_link(dir / "template", dir / "same"), 0);
    ASSERT_EQ(copy_file(dir / "template", dir / "same"), 0);
    EXPECT_EQ(read_text(dir / "same"), "template content");
    EXPECT_EQ(read_text(dir / "template"), "template content");

    write_text(dir / "victim", "precious");
    testing::make_link(dir / "victim", dir / "planted");
    testing::make_link(dir / "victim", dir / "planted2");
    EXPECT_EQ(copy_file(dir / "new", dir / "planted", CopyTarget::ReplaceLink), 0);
    EXPECT_EQ(read_text(dir / "victim"), "precious");
    EXPECT_EQ(read_text(dir / "planted"), "new");
    EXPECT_EQ(copy_file(dir / "new", dir / "planted2"), 0);  // the default writes through
    EXPECT_EQ(read_text(dir / "victim"), "new");
    EXPECT_TRUE(read_link(dir / "planted2"));
}

TEST(Posix, CopyRefusesFifosCreatesOnlyNewFilesAndReplacesAtomically) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(copy_file(dir / "fifo", dir / "out"), EINVAL);  // returns instead of blocking
    write_text(dir / "src", "new");
    write_text(dir / "dst", "old");
    EXPECT_EQ(copy_file(dir / "src", dir / "dst", CopyTarget::CreateNew), EEXIST);
    EXPECT_EQ(read_text(dir / "dst"), "old");

    // A dangling link is replaced, never written through, whatever the target mode.
    testing::make_link(dir / "victim", dir / "dangling");
    testing::make_link(dir / "victim2", dir / "dangling2");
    EXPECT_EQ(copy_file(dir / "src", dir / "dangling", CopyTarget::ReplaceLink), 0);
    EXPECT_EQ(copy_file(dir / "src", dir / "dangling2"), 0);
    EXPECT_FALSE(exists(dir / "victim"));
    EXPECT_FALSE(exists(dir / "victim2"));
    EXPECT_EQ(read_text(dir / "dangling"), "new");
    EXPECT_EQ(copy_file(dir / "missing", dir / "dst"), ENOENT);
    EXPECT_EQ(read_text(dir / "dst"), "old");
    EXPECT_EQ(list_dir(dir.path()).size(), 5u);  // fifo, src, dst, dangling, dangling2

    // A copy that fails midway (a full disk) leaves the good file as it was and no scratch.
    testing::ScopedMount small(dir / "small", "size=64k");
    ASSERT_TRUE(small.ok());
    write_text(dir / "small/good", "good");
    write_text(dir / "big", std::string(200 * 1024, 'b'));
    for (CopyTarget target : {CopyTarget::WriteThroughLinks, CopyTarget::ReplaceLink}) {
        EXPECT_EQ(copy_file(dir / "big", dir / "small/good", target), ENOSPC);
        EXPECT_EQ(read_text(dir / "small/good"), "good");
        EXPECT_EQ(list_dir(dir / "small").size(), 1u);
    }
    EXPECT_EQ(copy_file(dir / "big", dir / "small/new", CopyTarget::CreateNew), ENOSPC);
    EXPECT_FALSE(lstat_path(dir / "small/new"));
}

TEST(Posix, RemoveTreeNeverFollowsLinks) {
    TempDir outside, tree;
    write_text(outside / "keep/precious", "x");
    write_text(tree / "victim/a/b/file", "x");
    testing::make_link(outside / "keep", tree / "victim/a/link-to-outside");
    testing::make_link(outside / "keep/precious", tree / "victim/file-link");
    testing::make_link("/nonexistent", tree / "victim/dangling");
    EXPECT_EQ(remove_tree(tree / "victim"), 0);
    EXPECT_FALSE(lstat_path(tree / "victim"));
    EXPECT_EQ(read_text(outside / "keep/precious"), "x");
    EXPECT_EQ(remove_tree(tree / "victim"), 0);  // missing is success

    // A link given as the root is removed as a link.
    testing::make_link(outside / "keep", tree / "root-link");
    EXPECT_EQ(remove_tree(tree / "root-link"), 0);
    EXPECT_TRUE(exists(outside / "keep/precious"));
}

TEST(Posix, CopyToAFullFileSystemReportsTheError) {
    TempDir dir;
    testing::make_dir(dir / "small");
    ASSERT_EQ(::mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=16k"), 0);
    write_text(dir / "big", std::string(64 * 1024, 'x'));
    EXPECT_EQ(copy_file(dir / "big", dir / "small/big"), ENOSPC);
    ::umount2((dir / "small").c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace pelto::base
