// Prefix creation under the real Wine from the Wine build's shared template: no wineboot, the
// prefix's files are copies of its own, and the template itself stays untouched whatever a
// game writes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>

#include "base/posix.hpp"
#include "support/test_support.hpp"
#include "support/wine_fixture.hpp"

namespace pelto {
namespace {

using testing::inode_of;
using testing::read_text;
using testing::RunResult;

// Starts from the fixture's ready wineboot prefix, moved into the tool's Wine tree as its
// shared template "share/default_pfx": the compatibility data directory is then empty.
class WineTemplateLaunch : public testing::WineTest {
protected:
    void SetUp() override {
        WineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        shared_template = wine->tool_dir() + "/share/default_pfx";
        ASSERT_EQ(::rename(wine->prefix().c_str(), shared_template.c_str()), 0);
        template_system_reg = read_text(shared_template + "/system.reg");
    }

    std::string shared_template;
    std::string template_system_reg;
};

TEST_F(WineTemplateLaunch, FirstLaunchCopiesTheTemplateAndTheSecondIsACacheHit) {
    RunResult first =
        wine->run_game({"stdout", "from the template", "exit", "5"}, {{"PELTO_VERBOSE", "1"}});
    EXPECT_EQ(first.exit_code(), 5) << first.err;
    EXPECT_EQ(read_text("/tmp/pelto/wine_stdout.log"), "from the template\n");
    EXPECT_FALSE(first.has_line("[DEBUG]  No default_pfx template, running wineboot --init..."));
    // The registry task's stub was there first, so this counts as a repair.
    EXPECT_TRUE(first.has_line("[DEBUG]  Repairing prefix from template...")) << first.err;
    // Nothing was written into the player's home: Wine's menu builder never ran.
    EXPECT_EQ(base::list_dir(wine->home()).size(), 0u);

    // Every file is a copy of the prefix's own: the registry holds the Steam keys and the
    // template's registry is as it was.
    for (std::string file :
         {"drive_c/windows/system.ini", "drive_c/windows/system32/drivers/etc/hosts"}) {
        ASSERT_TRUE(base::exists(shared_template + "/" + file)) << file;
        EXPECT_NE(inode_of(wine->prefix() + "/" + file), inode_of(shared_template + "/" + file))
            << file;
    }
    EXPECT_NE(inode_of(wine->prefix() + "/system.reg"), inode_of(shared_template + "/system.reg"));
    EXPECT_NE(read_text(wine->prefix() + "/system.reg").find("[Software\\\\Valve\\\\Steam]"),
              std::string::npos);
    EXPECT_EQ(read_text(shared_template + "/system.reg").find("[Software\\\\Valve\\\\Steam]"),
              std::string::npos);
    // Drive C: leads into the prefix, never into the shared template.
    std::string c_drive = base::canonical(wine->prefix() + "/dosdevices/c:").value_or("");
    EXPECT_EQ(c_drive, base::canonical(wine->prefix() + "/drive_c").value_or("?"));

    RunResult second = wine->run_game({"exit", "0"}, {{"PELTO_VERBOSE", "1"}});
    EXPECT_EQ(second.exit_code(), 0) << second.err;
    EXPECT_TRUE(second.has_line("[DEBUG]  cache hit: every component current")) << second.err;
    EXPECT_FALSE(second.has_line("[DEBUG]  Repairing prefix from template..."));

    // A game that appends to C:\windows\win.ini changes its own prefix only: neither the
    // template nor a prefix made from it afterwards sees the line.
    std::string template_ini = read_text(shared_template + "/drive_c/windows/win.ini");
    std::map<std::string, std::string> env = wine->env();
    RunResult append = testing::run_program(
        wine->pelto(),
        {"waitforexitandrun", wine->prefix() + "/drive_c/windows/system32/cmd.exe", "/c",
         "echo pelto-was-here>>C:\\windows\\win.ini"},
        env);
    EXPECT_EQ(append.exit_code(), 0) << append.err;
    EXPECT_NE(read_text(wine->prefix() + "/drive_c/windows/win.ini").find("pelto-was-here"),
              std::string::npos);
    EXPECT_EQ(read_text(shared_template + "/drive_c/windows/win.ini"), template_ini);
    env["STEAM_COMPAT_DATA_PATH"] = wine->root() + "/compat2";
    RunResult other = testing::run_program(
        wine->pelto(), {"waitforexitandrun", wine->game_exe(), "exit", "0"}, env);
    EXPECT_EQ(other.exit_code(), 0) << other.err;
    EXPECT_EQ(read_text(wine->root() + "/compat2/pfx/drive_c/windows/win.ini"), template_ini);
}

}  // namespace
}  // namespace pelto
