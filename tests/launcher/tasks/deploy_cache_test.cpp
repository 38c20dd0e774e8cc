#include "launcher/tasks/deploy_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "base/posix.hpp"
#include "support/scoped_mount.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::tasks {
namespace {

using pelto::testing::capture_log;
using pelto::testing::make_dir;
using pelto::testing::read_text;
using pelto::testing::ScopedMount;
using pelto::testing::TempDir;
using pelto::testing::write_text;

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void set_mtime(const std::string& path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST(DeployCache, RecordGrammar) {
    TempDir dir;
    std::string record = dir / ".pelto_deployed";
    struct Case {
        std::string text;
        std::optional<Stamps> expected;
    };
    const Stamps sample{1, 22, 333, 4444};
    const std::vector<Case> cases = {
        {"v6:1,22,333,4444", sample},
        {"v6:1,22,333,4444\n", sample},
        {"v6: \t1,22,333,4444 \r\n", sample},
        {"v6:\xE3\x80\x80"
         "1,22,333,4444",
         sample},  // ideographic space is white space too
        {"v6:+1,+22,333,+4444", sample},
        {"v6:0,0,0,18446744073709551615", Stamps{0, 0, 0, UINT64_MAX}},
        {"v6:00001,22,333,4444", sample},
        {"v6:1, 22,333,4444", std::nullopt},
        {"v6:1 ,22,333,4444", std::nullopt},
        {"v6:1,22,333", std::nullopt},
        {"v6:1,22,333,4444,5", std::nullopt},
        {"v6:1,,333,4444", std::nullopt},
        {"v6:1,22,333,", std::nullopt},
        {"v6:1,-22,333,4444", std::nullopt},
        {"v6:1,+,333,4444", std::nullopt},
        {"v6:1,++22,333,4444", std::nullopt},
        {"v6:1,22,333,18446744073709551616", std::nullopt},
        {"v6:1,22,333,99999999999999999999", std::nullopt},
        {"v6:1,0x16,333,4444", std::nullopt},
        {" v6:1,22,333,4444", std::nullopt},
        {"v5:1,22,333,4444", std::nullopt},
        {"V6:1,22,333,4444", std::nullopt},
        {"v6", std::nullopt},
        {"v6:", std::nullopt},
        {"", std::nullopt},
        {"v6:1,22,333,4444\xFF", std::nullopt},  // not UTF-8
    };
    for (const Case& c : cases) {
        write_text(record, c.text);
        EXPECT_EQ(read_deploy_cache(dir.path()), c.expected) << '"' << c.text << '"';
    }

    base::remove_file(record);
    EXPECT_EQ(read_deploy_cache(dir.path()), std::nullopt);
    make_dir(record);  // a directory where the file should be
    EXPECT_EQ(read_deploy_cache(dir.path()), std::nullopt);
}

TEST(DeployCache, StampsFollowTheDirectoryItselfNotItsSubtree) {
    TempDir dir;
    std::string wine = dir / "wine", dxvk_root = dir / "dxvk", steam = dir / "steam";
    write_text(wine + "/lib/wine/x86_64-unix/ntdll.so", "elf");
    write_text(dxvk_root + "/lib/wine/dxvk/x86_64-windows/d3d11.dll", "old");
    make_dir(dxvk_root + "/lib/wine/vkd3d-proton");
    set_mtime(dxvk_root + "/lib/wine/dxvk", 1'600'000'000);

    Stamps before = compute_stamps(wine, dxvk_root, steam);
    EXPECT_NE(before[0], 0u);
    EXPECT_NE(before[1], 0u);
    EXPECT_NE(before[2], 0u);
    EXPECT_EQ(before[3], 0u);  // no legacycompat: stamp 0
    EXPECT_EQ(stamp(dir / "nothing/here"), 0u);
    EXPECT_EQ(change_flags(before, compute_stamps(wine, dxvk_root, steam)).steam_unchanged, true);

    // A file replaced deeper down leaves the directory's own entry alone.
    std::string dll = dxvk_root + "/lib/wine/dxvk/x86_64-windows/d3d11.dll";
    base::remove_file(dll);
    write_text(dll, "new and longer");
    EXPECT_EQ(stamp(dxvk_root + "/lib/wine/dxvk"), before[1]);

    // An entry added to the directory itself moves its modification time.
    write_text(dxvk_root + "/lib/wine/dxvk/version", "2");
    EXPECT_NE(stamp(dxvk_root + "/lib/wine/dxvk"), before[1]);

    // A whole new directory in its place differs even with the same modification time.
    std::string fresh = dxvk_root + "/lib/wine/dxvk.new";
    make_dir(fresh + "/x86_64-windows");
    ASSERT_EQ(base::remove_tree(dxvk_root + "/lib/wine/dxvk"), 0);
    ASSERT_EQ(base::rename_path(fresh, dxvk_root + "/lib/wine/dxvk"), 0);
    set_mtime(dxvk_root + "/lib/wine/dxvk", 1'600'000'000);
    Stamps after = compute_stamps(wine, dxvk_root, steam);
    EXPECT_NE(after[1], before[1]);

    ChangeFlags flags = change_flags(before, after);
    EXPECT_TRUE(flags.wine_unchanged);
    EXPECT_FALSE(flags.dxvk_unchanged);
    EXPECT_TRUE(flags.vkd3d_unchanged);
    EXPECT_TRUE(flags.steam_unchanged);

    ChangeFlags none = change_flags(std::nullopt, after);
    EXPECT_FALSE(none.wine_unchanged || none.dxvk_unchanged || none.vkd3d_unchanged ||
                 none.steam_unchanged);

    // Links are followed: a link to the tree stamps like the tree.
    pelto::testing::make_link(wine, dir / "wine-link");
    EXPECT_EQ(stamp(dir / "wine-link/lib/wine"), after[0]);
}

TEST(DeployCache, WriteThenHitOrRewrite) {
    TempDir dir;
    const Stamps stamps{7, 18446744073709551615ULL, 0, 42};

    auto lines = capture_log([&] { update_deploy_cache(dir.path(), ChangeFlags{}, stamps); });
    EXPECT_TRUE(contains(lines, "[DEBUG]  deployment cache written"));
    EXPECT_EQ(read_text(dir / ".pelto_deployed"), "v6:7,18446744073709551615,0,42");
    EXPECT_EQ(read_deploy_cache(dir.path()), stamps);
    // Nothing but the record is left in the prefix.
    EXPECT_EQ(base::list_dir(dir.path()).size(), 1u);

    // Every flag set: the file stays as it is, even if it says something else.
    write_text(dir / ".pelto_deployed", "v6:1,2,3,4");
    lines = capture_log([&] {
        update_deploy_cache(dir.path(), ChangeFlags{true, true, true, true}, stamps);
    });
    EXPECT_TRUE(contains(lines, "[DEBUG]  cache hit: every component current"));
    EXPECT_FALSE(contains(lines, "[DEBUG]  deployment cache written"));
    EXPECT_EQ(read_text(dir / ".pelto_deployed"), "v6:1,2,3,4");

    // Only the Steam slot differs: rewritten, replacing the old record whole.
    lines = capture_log([&] {
        update_deploy_cache(dir.path(), ChangeFlags{true, true, true, false}, stamps);
    });
    EXPECT_TRUE(contains(lines, "[DEBUG]  deployment cache written"));
    EXPECT_EQ(read_text(dir / ".pelto_deployed"), "v6:7,18446744073709551615,0,42");

    // A dangling link in the record's place is replaced by the file.
    base::remove_file(dir / ".pelto_deployed");
    pelto::testing::make_link(dir / "missing/target", dir / ".pelto_deployed");
    write_deploy_cache(dir.path(), stamps);
    auto st = base::lstat_path(dir / ".pelto_deployed");
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISREG(st->st_mode));
    EXPECT_EQ(read_deploy_cache(dir.path()), stamps);
}

TEST(DeployCache, FailedWriteWarnsAndLeavesNothingBehind) {
    TempDir dir;
    const Stamps stamps{1, 2, 3, 4};

    {
        ScopedMount full(dir / "full", "size=64k");
        ASSERT_TRUE(full.ok());
        full.fill();
        auto lines = capture_log([&] { write_deploy_cache(dir / "full", stamps); });
        EXPECT_TRUE(contains(lines,
                             "[WARN]   Cannot write deployment cache: No space left on "
                             "device (os error 28); next launch will re-deploy"));
        EXPECT_FALSE(contains(lines, "[DEBUG]  deployment cache written"));
        EXPECT_FALSE(base::exists(dir / "full/.pelto_deployed"));
        EXPECT_EQ(base::list_dir(dir / "full").size(), 1u);  // only the filler
    }
    {
        ScopedMount readonly(dir / "ro", "size=64k");
        ASSERT_TRUE(readonly.ok());
        write_text(dir / "ro/.pelto_deployed", "v6:9,9,9,9");
        ASSERT_TRUE(readonly.make_read_only());
        auto lines = capture_log([&] { update_deploy_cache(dir / "ro", ChangeFlags{}, stamps); });
        EXPECT_TRUE(contains(lines,
                             "[WARN]   Cannot write deployment cache: Read-only file "
                             "system (os error 30); next launch will re-deploy"));
        EXPECT_FALSE(contains(lines, "[DEBUG]  deployment cache written"));
        EXPECT_EQ(read_text(dir / "ro/.pelto_deployed"), "v6:9,9,9,9");
    }
    // A prefix that does not exist.
    auto lines = capture_log([&] { write_deploy_cache(dir / "gone", stamps); });
    EXPECT_TRUE(contains(lines,
                         "[WARN]   Cannot write deployment cache: No such file or "
                         "directory (os error 2); next launch will re-deploy"));
}

}  // namespace
}  // namespace pelto::launcher::tasks
