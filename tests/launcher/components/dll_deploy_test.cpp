#include "launcher/components/dll_deploy.hpp"

#include "launcher/components/file_deploy.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <array>

#include "base/posix.hpp"
#include "support/scoped_mount.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::components {
namespace {

using pelto::testing::capture_log;
using pelto::testing::make_dir;
using pelto::testing::make_link;
using pelto::testing::read_text;
using pelto::testing::ScopedMount;
using pelto::testing::TempDir;
using pelto::testing::write_text;
using Lines = std::vector<std::string>;
using Names = std::vector<std::string>;

constexpr std::array<const char*, 4> kDxvk = {"d3d11", "d3d10core", "d3d9", "dxgi"};

void set_mtime(const std::string& path, time_t seconds, long nanoseconds = 0) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

bool is_regular_file(const std::string& path) {
    auto st = base::lstat_path(path);
    return st && S_ISREG(st->st_mode);
}

TEST(DllDeploy, IsCurrentComparesSizeThenTime) {
    TempDir dir;
    std::string src = dir / "src.dll", dst = dir / "dst.dll";
    EXPECT_FALSE(is_current(src, dst));  // neither exists
    write_text(src, "abcd");
    EXPECT_FALSE(is_current(src, dst));  // no destination
    EXPECT_FALSE(is_current(dir / "missing.dll", src));

    write_text(dst, "wxyz");
    set_mtime(src, 1'000'000, 500);
    set_mtime(dst, 1'000'000, 500);
    EXPECT_TRUE(is_current(src, dst));  // same size, same time
    set_mtime(dst, 1'000'000, 499);
    EXPECT_FALSE(is_current(src, dst));  // older by a nanosecond
    set_mtime(dst, 999'999, 999'999'999);
    EXPECT_FALSE(is_current(src, dst));  // an earlier second with more nanoseconds is older
    set_mtime(dst, 1'000'001, 0);
    EXPECT_TRUE(is_current(src, dst));  // newer

    write_text(dst, "longer content");
    set_mtime(dst, 2'000'000);
    EXPECT_FALSE(is_current(src, dst));  // newer but of another size

    // Links are followed on both sides.
    write_text(dst, "wxyz");
    set_mtime(dst, 2'000'000);
    make_link(dst, dir / "link.dll");
    EXPECT_TRUE(is_current(src, dir / "link.dll"));
    make_link(dir / "nowhere.dll", dir / "dangling.dll");
    EXPECT_FALSE(is_current(src, dir / "dangling.dll"));
}

TEST(DllDeploy, CopiesWhatIsMissingAndReportsWhatIsInPlace) {
    TempDir dir;
    std::string source = dir / "dxvk/x86_64-windows", pfx = dir / "pfx";
    const char* system32 = "drive_c/windows/system32";
    std::string dest = pfx + "/" + system32;
    write_text(source + "/d3d11.dll", "d3d11 body");
    write_text(source + "/d3d9.dll", "d3d9 body");
    write_text(source + "/dxgi.dll", "dxgi body");
    ::chmod((source + "/dxgi.dll").c_str(), 0751);
    // "d3d10core" is missing from the source: skipped without a word.

    Names names;
    Lines lines =
        capture_log([&] { names = deploy_dll_set(source, pfx, system32, kDxvk, "DXVK").names; });
    EXPECT_EQ(names, (Names{"d3d11", "d3d9", "dxgi"}));
    EXPECT_EQ(lines, (Lines{"[DEBUG]  DXVK: deployed 3 DLLs (0 already current)"}));
    EXPECT_EQ(read_text(dest + "/d3d9.dll"), "d3d9 body");
    EXPECT_EQ(base::stat_path(dest + "/dxgi.dll")->st_mode & 07777, 0751u);
    EXPECT_FALSE(base::exists(dest + "/d3d10core.dll"));

    // Second run: nothing to copy.
    lines =
        capture_log([&] { names = deploy_dll_set(source, pfx, system32, kDxvk, "DXVK").names; });
    EXPECT_EQ(names, (Names{"d3d11", "d3d9", "dxgi"}));
    EXPECT_EQ(lines, (Lines{"[DEBUG]  DXVK: 3 DLLs already current"}));

    // A newer source of the same size, and a destination of another size.
    set_mtime(dest + "/d3d11.dll", 1'000'000);
    write_text(dest + "/dxgi.dll", "tampered with");
    lines =
        capture_log([&] { names = deploy_dll_set(source, pfx, system32, kDxvk, "DXVK").names; });
    EXPECT_EQ(lines, (Lines{"[DEBUG]  DXVK: deployed 2 DLLs (1 already current)"}));
    EXPECT_EQ(read_text(dest + "/dxgi.dll"), "dxgi body");
    EXPECT_TRUE(is_current(source + "/d3d11.dll", dest + "/d3d11.dll"));

    // A link at a name is never in place, even to a current copy outside the prefix: it is
    // replaced by a file of the prefix's own, and what it led to stays as it was.
    write_text(dir / "outside/d3d9.dll", "d3d9 body");
    base::remove_file(dest + "/d3d9.dll");
    make_link(dir / "outside/d3d9.dll", dest + "/d3d9.dll");
    lines =
        capture_log([&] { names = deploy_dll_set(source, pfx, system32, kDxvk, "DXVK").names; });
    EXPECT_EQ(lines, (Lines{"[DEBUG]  DXVK: " + dest +
                                "/d3d9.dll was a link out of the prefix — replaced by a copy of "
                                "its own",
                            "[DEBUG]  DXVK: deployed 1 DLLs (2 already current)"}));
    EXPECT_FALSE(base::read_link(dest + "/d3d9.dll"));
    EXPECT_EQ(read_text(dir / "outside/d3d9.dll"), "d3d9 body");

    // A source directory holding none of the set: no line, empty list.
    make_dir(dir / "empty");
    lines = capture_log(
        [&] { names = deploy_dll_set(dir / "empty", pfx, system32, kDxvk, "DXVK").names; });
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(lines.empty());
}

TEST(DllDeploy, MissingSourceOrUncreatableDestination) {
    TempDir dir;
    Names names{"sentinel"};
    Lines lines = capture_log([&] {
        names =
            deploy_dll_set(dir / "no/such/dir", dir / "pfx", "system32", kDxvk, "DXVK-32").names;
    });
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(lines,
              (Lines{"[WARN]   DXVK-32: source dir not found (" + dir.path() + "/no/such/dir)"}));
    EXPECT_FALSE(base::exists(dir / "pfx"));

    // A dangling link as source directory does not exist either.
    make_link(dir / "gone", dir / "dangling-src");
    lines =
        capture_log([&] { deploy_dll_set(dir / "dangling-src", dir / "pfx", "", kDxvk, "DXVK"); });
    EXPECT_EQ(lines.size(), 1u);

    // A file where a directory of the destination should be.
    write_text(dir / "src/d3d11.dll", "x");
    write_text(dir / "pfx/drive_c", "a file");
    lines = capture_log([&] {
        names = deploy_dll_set(dir / "src", dir / "pfx", "drive_c/windows/system32", kDxvk, "DXVK")
                    .names;
    });
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(lines, (Lines{"[ERROR]  DXVK: cannot create " + dir.path() +
                            "/pfx/drive_c/windows/system32: Not a directory (os error 20)"}));
}

TEST(DllDeploy, LinkedDestinations) {
    TempDir dir;
    std::string source = dir / "src", dest = dir / "sys";  // the prefix is `dir` itself
    write_text(source + "/d3d11.dll", "1111");
    write_text(source + "/d3d9.dll", "9999");
    write_text(source + "/dxgi.dll", "gggg");
    set_mtime(source + "/d3d11.dll", 1'000'000);
    set_mtime(source + "/d3d9.dll", 1'000'000);
    set_mtime(source + "/dxgi.dll", 1'000'000);

    // Current through a link: left alone.
    write_text(dir / "elsewhere/d3d11.dll", "same");
    make_link(dir / "elsewhere/d3d11.dll", dest + "/d3d11.dll");
    // An older file behind a link: the link is replaced, its target is not touched.
    write_text(dir / "elsewhere/d3d9.dll", "old!");
    set_mtime(dir / "elsewhere/d3d9.dll", 500'000);
    make_link(dir / "elsewhere/d3d9.dll", dest + "/d3d9.dll");
    // A dangling link: replaced, and no file appears at its target.
    make_dir(dir / "ghost");
    make_link(dir / "ghost/dxgi.dll", dest + "/dxgi.dll");

    Names names;
    Lines lines = capture_log(
        [&] { names = deploy_dll_set(source, dir.path(), "sys", kDxvk, "DXVK").names; });
    EXPECT_EQ(names, (Names{"d3d11", "d3d9", "dxgi"}));
    EXPECT_EQ(lines, (Lines{"[DEBUG]  DXVK: deployed 2 DLLs (1 already current)"}));
    EXPECT_TRUE(base::read_link(dest + "/d3d11.dll").has_value());
    EXPECT_TRUE(is_regular_file(dest + "/d3d9.dll"));
    EXPECT_EQ(read_text(dest + "/d3d9.dll"), "9999");
    EXPECT_EQ(read_text(dir / "elsewhere/d3d9.dll"), "old!");
    EXPECT_TRUE(is_regular_file(dest + "/dxgi.dll"));
    EXPECT_FALSE(base::exists(dir / "ghost/dxgi.dll"));
}

TEST(DllDeploy, FailedCopiesLeaveWhatWasThere) {
    TempDir dir;
    std::string source = dir / "src";
    write_text(source + "/d3d11.dll", std::string(200 * 1024, 'a'));  // larger than the disk
    write_text(source + "/d3d9.dll", "small");
    write_text(source + "/dxgi.dll", "dxgi");

    // A directory where a DLL should be cannot be removed nor written.
    ScopedMount full(dir / "full", "size=64k");
    ASSERT_TRUE(full.ok());
    make_dir(dir / "full/dxgi.dll");

    DllSetResult result;
    Lines lines =
        capture_log([&] { result = deploy_dll_set(source, dir.path(), "full", kDxvk, "DXVK"); });
    // The torn d3d11.dll is taken away again, which leaves room for d3d9.dll; the set is not
    // complete, so the next launch deploys it again.
    EXPECT_EQ(result.names, (Names{"d3d9"}));
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(lines,
              (Lines{
                  "[WARN]   DXVK: failed to copy d3d11.dll: No space left on device (os error 28)",
                  "[WARN]   DXVK: failed to copy dxgi.dll: Is a directory (os error 21)",
                  "[DEBUG]  DXVK: deployed 1 DLLs (0 already current)",
              }));
    EXPECT_FALSE(base::exists(dir / "full/d3d11.dll"));
    EXPECT_EQ(read_text(dir / "full/d3d9.dll"), "small");
}

TEST(DllDeploy, TaskBodies) {
    TempDir dir;
    std::string root = dir / "dxvk-root", pfx = dir / "pfx";
    std::string system32 = pfx + "/drive_c/windows/system32",
                syswow64 = pfx + "/drive_c/windows/syswow64";

    // Unchanged but missing source trees: no names, nothing touched.
    Lines lines = capture_log([&] {
        EXPECT_TRUE(deploy_dxvk(true, root, pfx).names.empty());
        EXPECT_TRUE(deploy_vkd3d(true, root, pfx).names.empty());
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(base::exists(pfx));

    // Changed: both sets are deployed, only the 64-bit list is returned.
    write_text(root + "/lib/wine/dxvk/x86_64-windows/d3d11.dll", "64");
    write_text(root + "/lib/wine/dxvk/x86_64-windows/dxgi.dll", "64");
    write_text(root + "/lib/wine/dxvk/i386-windows/d3d9.dll", "32");
    write_text(root + "/lib/wine/vkd3d-proton/x86_64-windows/d3d12core.dll", "64");
    DllSetResult dxvk = deploy_dxvk(false, root, pfx);
    EXPECT_EQ(dxvk.names, (Names{"d3d11", "dxgi"}));
    EXPECT_TRUE(dxvk.complete);
    EXPECT_EQ(read_text(syswow64 + "/d3d9.dll"), "32");
    EXPECT_FALSE(base::exists(system32 + "/d3d9.dll"));
    lines =
        capture_log([&] { EXPECT_EQ(deploy_vkd3d(false, root, pfx).names, (Names{"d3d12core"})); });
    EXPECT_EQ(lines, (Lines{"[DEBUG]  VKD3D: deployed 1 DLLs (0 already current)",
                            "[WARN]   VKD3D-32: source dir not found (" + root +
                                "/lib/wine/vkd3d-proton/i386-windows)"}));

    // Unchanged trees copy nothing and name only the DLLs the source has: not a module of the
    // same name that the source lacks (Wine's own, which Wine refuses to load as native). Copies
    // that were deleted or replaced since (Wine's module sync after an update) are put back.
    for (const char* name : {"d3d10core", "d3d9"})
        write_text(system32 + "/" + name + ".dll", "Wine's own");
    lines = capture_log([&] {
        EXPECT_EQ(deploy_dxvk(true, root, pfx).names, (Names{"d3d11", "dxgi"}));
    });
    EXPECT_TRUE(lines.empty());
    base::remove_file(system32 + "/dxgi.dll");
    write_text(system32 + "/d3d11.dll", "Wine's own, after an update");
    EXPECT_EQ(deploy_dxvk(true, root, pfx).names, (Names{"d3d11", "dxgi"}));
    EXPECT_EQ(read_text(system32 + "/dxgi.dll"), "64");
    EXPECT_EQ(read_text(system32 + "/d3d11.dll"), "64");
    EXPECT_EQ(read_text(system32 + "/d3d9.dll"), "Wine's own");

    // NVAPI: nothing without the driver; with it the 64-bit names, then the 32-bit one.
    std::string wine = dir / "wine";
    write_text(wine + "/lib/wine/dxvk-nvapi/x86_64-windows/nvapi64.dll", "n");
    write_text(wine + "/lib/wine/dxvk-nvapi/x86_64-windows/nvofapi64.dll", "o");
    write_text(wine + "/lib/wine/dxvk-nvapi/i386-windows/nvapi.dll", "n32");
    EXPECT_TRUE(deploy_nvapi(NvidiaDriver{}, wine, pfx).empty());
    EXPECT_FALSE(base::exists(system32 + "/nvapi64.dll"));
    EXPECT_EQ(deploy_nvapi(NvidiaDriver{true, std::nullopt}, wine, pfx),
              (Names{"nvapi64", "nvofapi64", "nvapi"}));
    EXPECT_EQ(read_text(syswow64 + "/nvapi.dll"), "n32");

    // DLSS: from the driver's "nvidia/wine" beside its resolved library, once it has nvngx.dll.
    std::string sys = dir / "sys";
    write_text(sys + "/opt/nvidia/libGLX_nvidia.so.0.550", "elf");
    make_link(sys + "/opt/nvidia/libGLX_nvidia.so.0.550", sys + "/usr/lib/libGLX_nvidia.so.0");
    write_text(sys + "/opt/nvidia/nvidia/wine/_nvngx.dll", "_n");
    write_text(dir / "proc/driver/nvidia/version", "NVRM version");
    lines = capture_log([&] {
        EXPECT_TRUE(deploy_dlss(find_nvidia_driver(dir / "proc", sys), pfx).empty());
        EXPECT_TRUE(deploy_dlss(find_nvidia_driver(dir / "no-proc", sys), pfx).empty());
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(base::exists(system32 + "/_nvngx.dll"));
    write_text(sys + "/opt/nvidia/nvidia/wine/nvngx.dll", "n");
    EXPECT_EQ(deploy_dlss(find_nvidia_driver(dir / "proc", sys), pfx), (Names{"_nvngx", "nvngx"}));
    EXPECT_EQ(read_text(system32 + "/nvngx.dll"), "n");
}

}  // namespace
}  // namespace pelto::launcher::components
