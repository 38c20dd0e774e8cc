#include "launcher/prefix/copy_dir_fast.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "base/posix.hpp"
#include "support/scoped_mount.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::prefix {
namespace {

using testing::capture_log;
using testing::inode_of;
using testing::make_dir;
using testing::make_link;
using testing::read_text;
using testing::ScopedMount;
using testing::TempDir;
using testing::write_text;

bool is_link(const std::string& path) {
    auto status = base::lstat_path(path);
    return status && S_ISLNK(status->st_mode);
}

// A small prefix-like template: files on every level down to five, links that resolve (to a
// file and to a directory, one relative and one absolute), a dangling link, an executable
// file and a name that is not valid UTF-8. Returns the number of files and links in it.
uint32_t lay_template(const std::string& root) {
    write_text(root + "/system.reg", "registry");
    write_text(root + "/drive_c/windows/win.ini", "ini");
    write_text(root + "/drive_c/windows/system32/kernel32.dll", "kernel32");
    write_text(root + "/drive_c/windows/system32/drivers/etc/hosts", "hosts");
    write_text(root + "/drive_c/windows/system32/wbem/a/b/c/deep.mof", "deep");
    write_text(root + "/drive_c/bad\xFFname.txt", "bytes");
    write_text(root + "/drive_c/windows/wine.exe", "exe");
    ::chmod((root + "/drive_c/windows/wine.exe").c_str(), 0750);
    make_dir(root + "/drive_c/users/Public/Desktop");  // empty directories come along too
    make_link("../drive_c", root + "/dosdevices/c:");
    make_link(root + "/drive_c/windows/win.ini", root + "/drive_c/windows/abs.ini");
    make_link("../../nowhere/at/all", root + "/dosdevices/x:");
    make_link("/usr", root + "/dosdevices/u:");
    return 11;
}

TEST(CopyDirFast, FreshCopyThenRepairFillsOnlyTheGaps) {
    TempDir tree;
    std::string source = tree / "template";
    std::string destination = tree / "pfx";
    uint32_t entries = lay_template(source);

    uint32_t count = 0;
    auto lines = capture_log([&] { count = copy_dir_fast(source, destination); });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(count, entries);
    // Every file is a copy of its own, never a hard link of the template's: a game that
    // writes into one (win.ini) must not change the template and the prefixes made from it.
    for (std::string relative :
         {"system.reg", "drive_c/windows/system32/kernel32.dll",
          "drive_c/windows/system32/drivers/etc/hosts",
          "drive_c/windows/system32/wbem/a/b/c/deep.mof", "drive_c/bad\xFFname.txt"}) {
        EXPECT_NE(inode_of(destination + "/" + relative), inode_of(source + "/" + relative))
            << relative;
        EXPECT_EQ(read_text(destination + "/" + relative), read_text(source + "/" + relative));
    }
    ASSERT_EQ(base::append_file(destination + "/drive_c/windows/win.ini", "x\n"), 0);
    EXPECT_EQ(read_text(source + "/drive_c/windows/win.ini"), "ini");
    EXPECT_TRUE(base::is_dir(destination + "/drive_c/users/Public/Desktop"));
    // Links that resolve point at the canonical absolute target; one whose target lies inside
    // the template leads, relative to itself, to the same place inside the copy (never into
    // the shared template, and still right when the prefix moves); a dangling one keeps its
    // text.
    EXPECT_EQ(base::read_link(destination + "/dosdevices/c:"), "../drive_c");
    EXPECT_EQ(base::read_link(destination + "/drive_c/windows/abs.ini"),
              "../../drive_c/windows/win.ini");
    ASSERT_EQ(base::rename_path(destination, tree / "moved"), 0);
    EXPECT_EQ(read_text(tree / "moved/dosdevices/c:/windows/abs.ini"), "inix\n");
    ASSERT_EQ(base::rename_path(tree / "moved", destination), 0);
    EXPECT_EQ(base::read_link(destination + "/dosdevices/u:"), *base::canonical("/usr"));
    EXPECT_EQ(base::read_link(destination + "/dosdevices/x:"), "../../nowhere/at/all");

    // Everything in place: nothing is counted, nothing changes.
    EXPECT_EQ(copy_dir_fast(source, destination), 0u);
    // A file that an older prefix shares with the template gets a copy of its own.
    std::string hosts = "drive_c/windows/system32/drivers/etc/hosts";
    base::remove_file(destination + "/" + hosts);
    ASSERT_EQ(base::hard_link(source + "/" + hosts, destination + "/" + hosts), 0);
    EXPECT_EQ(copy_dir_fast(source, destination), 0u);
    EXPECT_NE(inode_of(destination + "/" + hosts), inode_of(source + "/" + hosts));
    EXPECT_EQ(read_text(destination + "/" + hosts), "hosts");
    // So does one it shares with another prefix made from an older template: it keeps its own
    // content, and a write to it no longer reaches the other game.
    std::string ini = destination + "/drive_c/windows/win.ini";
    std::string other = tree / "other-pfx-win.ini";
    write_text(other, "old template");
    base::remove_file(ini);
    ASSERT_EQ(base::hard_link(other, ini), 0);
    EXPECT_EQ(copy_dir_fast(source, destination), 0u);
    EXPECT_NE(inode_of(ini), inode_of(other));
    EXPECT_EQ(read_text(ini), "old template");

    // Damage the prefix: lose two files, change one, make a link dangle, replace a link with
    // a real file.
    base::remove_file(destination + "/drive_c/windows/system32/kernel32.dll");
    base::remove_file(destination + "/drive_c/windows/system32/wbem/a/b/c/deep.mof");
    base::remove_file(destination + "/drive_c/windows/win.ini");
    write_text(destination + "/drive_c/windows/win.ini", "edited by the user");
    base::remove_file(destination + "/dosdevices/c:");
    make_link("/gone/drive_c", destination + "/dosdevices/c:");
    base::remove_file(destination + "/drive_c/windows/abs.ini");
    write_text(destination + "/drive_c/windows/abs.ini", "a real file now");

    lines = capture_log([&] { count = copy_dir_fast(source, destination); });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(count, 3u);  // two files and the repaired link
    EXPECT_EQ(read_text(destination + "/drive_c/windows/system32/kernel32.dll"), "kernel32");
    EXPECT_EQ(read_text(destination + "/drive_c/windows/system32/wbem/a/b/c/deep.mof"), "deep");
    EXPECT_EQ(read_text(destination + "/drive_c/windows/win.ini"), "edited by the user");
    EXPECT_EQ(base::read_link(destination + "/dosdevices/c:"), "../drive_c");
    EXPECT_FALSE(is_link(destination + "/drive_c/windows/abs.ini"));
    EXPECT_EQ(read_text(destination + "/drive_c/windows/abs.ini"), "a real file now");
    // The dangling link with the template's own text is already good.
    EXPECT_EQ(base::read_link(destination + "/dosdevices/x:"), "../../nowhere/at/all");
}

TEST(CopyDirFast, ListingsLargerThanOneBufferAreReadWhole) {
    TempDir tree;
    std::string source = tree / "template";
    // About 2000 records of 72 bytes: several 32 KiB getdents64 reads.
    std::string padding(48, 'n');
    for (int i = 0; i < 2000; ++i) write_text(source + "/" + padding + std::to_string(i), "");
    EXPECT_EQ(copy_dir_fast(source, tree / "pfx"), 2000u);
    EXPECT_EQ(base::list_dir(tree / "pfx").size(), 2000u);
}

TEST(CopyDirFast, TemplateOnAnotherFileSystemIsCopied) {
    TempDir tree;
    TempDir shm("/dev/shm");
    // A sparse file, 512 MB with four bytes of data, keeps its holes in every copy.
    for (const std::string& root : {shm / "template", tree / "template"}) {
        testing::make_dir(root);
        base::Fd sparse(
            ::open((root + "/sparse.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(sparse.valid());
        ASSERT_EQ(::pwrite(sparse.get(), "data", 4, 256 << 20), 4);
        ASSERT_EQ(::ftruncate(sparse.get(), 512 << 20), 0);
    }
    uint32_t entries = lay_template(shm / "template") + 1;
    lay_template(tree / "template");
    uint32_t linked = copy_dir_fast(tree / "template", tree / "linked");
    uint32_t copied = copy_dir_fast(shm / "template", tree / "copied");
    EXPECT_EQ(linked, entries);
    EXPECT_EQ(copied, linked);
    for (std::string relative : {"system.reg", "drive_c/windows/system32/wbem/a/b/c/deep.mof",
                                 "drive_c/bad\xFFname.txt"}) {
        EXPECT_EQ(read_text(tree / "copied/" + relative), read_text(shm / "template/" + relative));
    }
    for (const std::string& copy : {tree / "linked/sparse.bin", tree / "copied/sparse.bin"}) {
        auto status = base::stat_path(copy);
        ASSERT_TRUE(status) << copy;
        EXPECT_EQ(status->st_size, 512 << 20) << copy;
        EXPECT_LT(status->st_blocks * 512, 1 << 20) << copy;
        base::Fd file(::open(copy.c_str(), O_RDONLY | O_CLOEXEC));
        char data[5] = {};
        EXPECT_EQ(::pread(file.get(), data, 4, 256 << 20), 4);
        EXPECT_STREQ(data, "data");
    }
    auto executable = base::stat_path(tree / "copied/drive_c/windows/wine.exe");
    ASSERT_TRUE(executable);
    EXPECT_EQ(executable->st_mode & 07777, 0750u);
    // A copy, not a link: the prefix's file is its own.
    write_text(tree / "copied/system.reg", "changed");
    EXPECT_EQ(read_text(shm / "template/system.reg"), "registry");
}

TEST(CopyDirFast, FilesThatCannotBeDeployedAreReportedAndSkipped) {
    TempDir tree;
    std::string source = tree / "template";
    write_text(source + "/big.dll", std::string(256 * 1024, 'b'));
    write_text(source + "/one.dll", "1");
    write_text(source + "/two.dll", "2");
    write_text(source + "/sub/three.dll", "3");
    ScopedMount small(tree / "small", "size=64k");
    ASSERT_TRUE(small.ok());

    uint32_t count = 0;
    auto lines = capture_log([&] { count = copy_dir_fast(source, tree / "small/pfx"); });
    EXPECT_EQ(lines, std::vector<std::string>{"[WARN]   copy_dir_fast: failed to deploy " + source +
                                              "/big.dll"});
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(read_text(tree / "small/pfx/one.dll"), "1");
    EXPECT_EQ(read_text(tree / "small/pfx/sub/three.dll"), "3");
    // No truncated copy is left behind to pass for a deployed file on the next repair.
    EXPECT_FALSE(base::lstat_path(tree / "small/pfx/big.dll"));

    // A name held by a dangling link is not written through.
    std::string destination = tree / "pfx";
    make_dir(tree / "outside");
    make_link(tree / "outside/target.dll", destination + "/one.dll");
    lines = capture_log([&] { count = copy_dir_fast(source, destination); });
    EXPECT_EQ(lines, std::vector<std::string>{"[WARN]   copy_dir_fast: failed to deploy " + source +
                                              "/one.dll"});
    EXPECT_EQ(count, 3u);
    EXPECT_FALSE(base::exists(tree / "outside/target.dll"));
}

TEST(CopyDirFast, UnusableSourceOrDestinationEndsOnlyThatDirectory) {
    TempDir tree;
    uint32_t count = 7;
    auto lines = capture_log([&] { count = copy_dir_fast(tree / "missing", tree / "pfx"); });
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(lines, std::vector<std::string>{"[ERROR]  copy_dir_fast: failed to open " +
                                              tree / "missing"});
    EXPECT_FALSE(base::exists(tree / "pfx"));
    EXPECT_EQ(copy_dir_fast(std::string("/tmp\0x", 6), tree / "pfx"), 0u);

    // A file where a directory of the prefix should be: that subtree is left out, the rest
    // is still copied.
    write_text(tree / "template/drive_c/windows/a.dll", "a");
    write_text(tree / "template/top.reg", "r");
    write_text(tree / "pfx/drive_c", "not a directory");
    lines = capture_log([&] { count = copy_dir_fast(tree / "template", tree / "pfx"); });
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(lines,
              std::vector<std::string>{"[ERROR]  copy_dir_fast: cannot create " +
                                       tree / "pfx/drive_c" + ": Not a directory (os error 20)"});
    EXPECT_EQ(read_text(tree / "pfx/top.reg"), "r");

    // A folder of the prefix that is a link out of it gets nothing of the template: one WARN,
    // and it counts as no failure (it is the prefix's own choice, a repair would not change it).
    TempDir home;
    base::remove_file(tree / "pfx/drive_c");
    testing::make_link(home.path(), tree / "pfx/drive_c");
    uint32_t failures = 9;
    lines = capture_log([&] { copy_dir_fast(tree / "template", tree / "pfx", 0, &failures); });
    EXPECT_EQ(lines, std::vector<std::string>{"[WARN]   copy_dir_fast: not writing into " +
                                              tree / "pfx/drive_c" + ": " + tree / "pfx/drive_c" +
                                              " is a link that leads out of " + tree / "pfx"});
    EXPECT_EQ(failures, 0u);
    EXPECT_TRUE(base::list_dir(home.path()).empty());
}

}  // namespace
}  // namespace pelto::launcher::prefix
