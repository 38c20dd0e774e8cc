#include "launcher/prefix/pe_sync.hpp"

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "support/scoped_mount.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::prefix {
namespace {

using testing::capture_log;
using testing::make_dir;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

struct Layout {
    std::string wine, pfx, src64, src32, system32, drivers, syswow64;
    explicit Layout(const TempDir& tree)
        : wine(tree / "wine"),
          pfx(tree / "pfx"),
          src64(wine + "/lib/wine/x86_64-windows"),
          src32(wine + "/lib/wine/i386-windows"),
          system32(pfx + "/drive_c/windows/system32"),
          drivers(system32 + "/drivers"),
          syswow64(pfx + "/drive_c/windows/syswow64") {}

    std::vector<std::string> sync() const {
        return capture_log([&] { sync_pe_files(wine, pfx); });
    }
    std::string synced64_line(int count) const {
        return "[DEBUG]  Synced " + std::to_string(count) + " PE files to prefix system32";
    }
    std::string syncing_line() const {
        return "[DEBUG]  Syncing Wine PE files to prefix from " + src64 + "...";
    }
};

TEST(PeSync, ModulesFollowTheSizeOfNtdll) {
    TempDir tree;
    Layout l(tree);
    write_text(l.src64 + "/ntdll.dll", std::string(100, 'n'));
    write_text(l.src64 + "/kernel32.dll", "kernel32 v1");
    write_text(l.src64 + "/null.sys", "null driver");
    write_text(l.src64 + "/foo.DLL", "upper case");
    write_text(l.src64 + "/.dll", "dot first");
    write_text(l.src64 + "/readme.txt", "text");
    make_dir(l.src64 + "/folder.dll");  // cannot be copied: silently not counted
    write_text(l.src32 + "/ntdll.dll", "ntdll32");
    write_text(l.src32 + "/kernel32.dll", "kernel32 32-bit");
    write_text(l.src32 + "/mouse.sys", "32-bit driver");
    write_text(l.src32 + "/winver.exe", "winver");

    EXPECT_EQ(l.sync(),
              (std::vector<std::string>{l.syncing_line(), l.synced64_line(3),
                                        "[DEBUG]  Synced 3 32-bit PE files to prefix syswow64"}));
    for (std::string dir :
         {"drive_c/windows/Fonts", "drive_c/windows/twain_64", "drive_c/windows/Microsoft.NET",
          "drive_c/ProgramData", "drive_c/Program Files/Common Files",
          "drive_c/Program Files (x86)/Common Files"}) {
        EXPECT_TRUE(base::is_dir(l.pfx + "/" + dir)) << dir;
    }
    EXPECT_EQ(read_text(l.system32 + "/kernel32.dll"), "kernel32 v1");
    EXPECT_EQ(read_text(l.drivers + "/null.sys"), "null driver");
    EXPECT_FALSE(base::exists(l.system32 + "/null.sys"));
    EXPECT_FALSE(base::exists(l.system32 + "/foo.DLL"));
    EXPECT_FALSE(base::exists(l.system32 + "/.dll"));
    EXPECT_FALSE(base::exists(l.system32 + "/readme.txt"));
    EXPECT_EQ(read_text(l.syswow64 + "/winver.exe"), "winver");
    EXPECT_FALSE(base::exists(l.syswow64 + "/mouse.sys"));
    EXPECT_FALSE(base::exists(l.drivers + "/mouse.sys"));

    // An up-to-date prefix: nothing is listed, copied or logged.
    EXPECT_TRUE(l.sync().empty());

    // A Wine update that keeps the size of ntdll.dll does not refresh system32.
    write_text(l.src64 + "/kernel32.dll", "kernel32 v2");
    write_text(l.system32 + "/kernel32.dll", "changed by the user");
    EXPECT_TRUE(l.sync().empty());
    EXPECT_EQ(read_text(l.system32 + "/kernel32.dll"), "changed by the user");

    // Right size, drivers gone: only the drivers come back.
    base::remove_tree(l.drivers);
    EXPECT_EQ(l.sync(), (std::vector<std::string>{l.syncing_line(), l.synced64_line(1)}));
    EXPECT_EQ(read_text(l.drivers + "/null.sys"), "null driver");
    EXPECT_EQ(read_text(l.system32 + "/kernel32.dll"), "changed by the user");

    // A new size of ntdll.dll recopies every 64-bit module, over the user's change; the
    // 32-bit set, once laid down, is never touched again, even where a module went missing.
    write_text(l.src64 + "/ntdll.dll", std::string(101, 'n'));
    write_text(l.src32 + "/kernel32.dll", "kernel32 32-bit v2");
    base::remove_file(l.syswow64 + "/winver.exe");
    EXPECT_EQ(l.sync(), (std::vector<std::string>{l.syncing_line(), l.synced64_line(3)}));
    EXPECT_EQ(read_text(l.system32 + "/kernel32.dll"), "kernel32 v2");
    EXPECT_EQ(read_text(l.syswow64 + "/kernel32.dll"), "kernel32 32-bit");
    EXPECT_FALSE(base::exists(l.syswow64 + "/winver.exe"));
}

TEST(PeSync, MissingSetsAreSkipped) {
    TempDir tree;
    Layout l(tree);
    // No 64-bit ntdll.dll: no 64-bit lines, the 32-bit set still comes, and a module the
    // prefix already has is kept.
    write_text(l.src64 + "/kernel32.dll", "kernel32");
    write_text(l.src32 + "/ntdll.dll", "ntdll32");
    write_text(l.src32 + "/kernel32.dll", "kernel32 32-bit");
    write_text(l.syswow64 + "/kernel32.dll", "prefix copy");
    EXPECT_EQ(l.sync(),
              std::vector<std::string>{"[DEBUG]  Synced 1 32-bit PE files to prefix syswow64"});
    EXPECT_FALSE(base::exists(l.system32 + "/kernel32.dll"));
    EXPECT_EQ(read_text(l.syswow64 + "/kernel32.dll"), "prefix copy");
    EXPECT_TRUE(base::is_dir(l.system32));

    // No Wine tree at all: only the skeleton.
    TempDir empty;
    Layout bare(empty);
    EXPECT_TRUE(bare.sync().empty());
    EXPECT_TRUE(base::is_dir(bare.pfx + "/drive_c/windows/Globalization"));
}

}  // namespace
}  // namespace pelto::launcher::prefix

namespace pelto::launcher::prefix {
namespace {

TEST(PeSync, AnInterruptedSyncIsDoneAgainAndNeverWritesThroughLinks) {
    TempDir tree;
    Layout l(tree);
    write_text(l.src64 + "/ntdll.dll", std::string(100, 'n'));
    write_text(l.src64 + "/big.dll", std::string(256 * 1024, 'b'));
    write_text(l.src64 + "/kernel32.dll", "kernel32");
    {
        // system32 on a small file system: the big module cannot be copied. It is reported
        // and holds back nothing else, so the next sync finds the set in place.
        testing::ScopedMount small(l.system32, "size=64k");
        ASSERT_TRUE(small.ok());
        EXPECT_EQ(l.sync(),
                  (std::vector<std::string>{l.syncing_line(),
                                            "[WARN]   PE sync: cannot copy " + l.src64 +
                                                "/big.dll: No space left on device (os error 28)",
                                            l.synced64_line(2)}));
        EXPECT_EQ(read_text(l.system32 + "/ntdll.dll"), std::string(100, 'n'));
        EXPECT_FALSE(base::exists(l.system32 + "/big.dll"));  // no half-written module left
        EXPECT_TRUE(l.sync().empty());
    }
    // A module that is a link into some other installation is replaced, not written through;
    // one hard-linked with a template keeps the template's content.
    write_text(tree / "elsewhere/kernel32.dll", "another tool's file");
    testing::make_link(tree / "elsewhere/kernel32.dll", l.system32 + "/kernel32.dll");
    write_text(tree / "template/big.dll", "template");
    ASSERT_EQ(base::hard_link(tree / "template/big.dll", l.system32 + "/big.dll"), 0);
    EXPECT_EQ(l.sync(), (std::vector<std::string>{l.syncing_line(), l.synced64_line(3)}));
    EXPECT_EQ(read_text(tree / "elsewhere/kernel32.dll"), "another tool's file");
    EXPECT_EQ(read_text(l.system32 + "/kernel32.dll"), "kernel32");
    EXPECT_EQ(read_text(tree / "template/big.dll"), "template");
    EXPECT_TRUE(l.sync().empty());
}

}  // namespace
}  // namespace pelto::launcher::prefix
