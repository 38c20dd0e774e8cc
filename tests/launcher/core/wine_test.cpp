#include "launcher/core/wine.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace pelto::launcher::core {
namespace {

using testing::capture_log;
using testing::TempDir;
using testing::write_text;

TEST(WineDiscovery, RootSearchOrder) {
    TempDir tree;
    std::string usr = tree / "usr", home = tree / "home", tool = tree / "tool";
    testing::make_dir(usr);
    testing::make_dir(home);

    // Nothing anywhere: the placeholder, without a message.
    std::string root;
    auto lines = capture_log([&] { root = find_wine_root(std::nullopt, std::nullopt, home, usr); });
    EXPECT_EQ(root, "/nonexistent/wine");
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(wine_loader_path(root), "/nonexistent/wine/bin/wine");

    // A Steam library Proton entry; a lower-case "proton" entry is never considered.
    std::string common = home + "/.steam/root/steamapps/common";
    write_text(common + "/proton-lower/files/bin/wine", "");
    write_text(common + "/Proton 9.0/files/bin/wine", "");
    lines = capture_log([&] { root = find_wine_root(std::nullopt, std::nullopt, home, usr); });
    EXPECT_EQ(root, common + "/Proton 9.0/files");
    EXPECT_EQ(lines,
              std::vector<std::string>{"[WARN]   system Wine not found — using Proton 9.0's wine"});

    write_text(common + "/Proton - Experimental/files/lib/wine/x86_64-unix/wine", "");
    lines = capture_log([&] { root = find_wine_root(std::nullopt, std::nullopt, home, usr); });
    EXPECT_EQ(root, common + "/Proton - Experimental/files");
    EXPECT_EQ(lines, std::vector<std::string>{
                         "[WARN]   system Wine not found — using Proton Experimental's wine"});

    // A system Wine wins over Proton, silently.
    write_text(usr + "/bin/wine", "");
    lines = capture_log([&] { root = find_wine_root(std::nullopt, std::nullopt, home, usr); });
    EXPECT_EQ(root, usr);
    EXPECT_TRUE(lines.empty());

    // The launcher's own directory needs the ntdll module too.
    write_text(tool + "/bin/wine", "");
    EXPECT_EQ(find_wine_root(std::nullopt, tool + "/pelto", home, usr), usr);
    write_text(tool + "/lib/wine/x86_64-unix/ntdll.so", "");
    EXPECT_EQ(find_wine_root(std::nullopt, tool + "/pelto", home, usr), tool);

    // PELTO_WINE_DIR with only bin/wine wins; one that is no Wine tree is skipped.
    std::string custom = tree / "custom";
    write_text(custom + "/bin/wine", "");
    EXPECT_EQ(find_wine_root(custom, tool + "/pelto", home, usr), custom);
    EXPECT_EQ(find_wine_root(tree / "nothing", tool + "/pelto", home, usr), tool);
}

// A minimal PE file: `machine`, and a CLR header with `clr_flags` in its one section when
// given (a .NET program).
std::string pe_file(uint16_t machine, std::optional<uint32_t> clr_flags) {
    std::string bytes(0x600, '\0');
    auto put = [&](size_t at, uint32_t value, size_t size) {
        for (size_t i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
    };
    put(0, 0x5A4D, 2);     // "MZ"
    put(0x3C, 0x80, 4);    // where the PE header starts
    put(0x80, 0x4550, 4);  // "PE\0\0"
    put(0x84, machine, 2);
    put(0x86, 1, 2);      // one section
    put(0x94, 224, 2);    // the size of the optional header
    put(0x98, 0x10b, 2);  // PE32
    put(0x98 + 92, 16, 4);
    if (clr_flags) {
        put(0x98 + 96 + 8 * 14, 0x2000, 4);  // the CLR header's address
        put(0x98 + 96 + 8 * 14 + 4, 72, 4);
        put(0x400, 72, 4);
        put(0x410, *clr_flags, 4);
    }
    size_t section = 0x98 + 224;
    put(section + 8, 0x1000, 4);   // virtual size
    put(section + 12, 0x2000, 4);  // virtual address
    put(section + 16, 0x200, 4);   // size in the file
    put(section + 20, 0x400, 4);   // offset in the file
    return bytes;
}

TEST(WineDiscovery, WhichProgramsNeedA32BitWine) {
    TempDir tree;
    struct Case {
        const char* what;
        std::string bytes;
        bool needs_32bit;
    };
    const Case cases[] = {
        {"64-bit", pe_file(0x8664, std::nullopt), false},
        {"32-bit", pe_file(0x14c, std::nullopt), true},
        {".NET for any CPU", pe_file(0x14c, 0x1), false},
        {".NET, 32-bit required", pe_file(0x14c, 0x1 | 0x2), true},
        {".NET, 32-bit preferred", pe_file(0x14c, 0x1 | 0x20000), true},
        {".NET, not IL only", pe_file(0x14c, 0x0), true},
        {"32-bit, cut short", pe_file(0x14c, 0x1).substr(0, 0x180), true},
        {"no PE file", "#!/bin/sh\n", false},
    };
    for (const Case& c : cases) {
        std::string path = tree / c.what;
        write_text(path, c.bytes);
        EXPECT_EQ(needs_32bit_wine(path), c.needs_32bit) << c.what;
    }
    EXPECT_FALSE(needs_32bit_wine("C:\\Games\\game.exe"));
    EXPECT_FALSE(needs_32bit_wine(tree.path()));
}

TEST(WineDiscovery, LoaderServerAndDxvkSource) {
    TempDir tree;
    std::string root = tree / "wine";
    write_text(root + "/bin/wine", "");
    EXPECT_EQ(wine_loader_path(root), root + "/bin/wine");
    write_text(root + "/lib/wine/x86_64-unix/wine", "");
    EXPECT_EQ(wine_loader_path(root), root + "/lib/wine/x86_64-unix/wine");
    EXPECT_EQ(wineserver_path(root), "/usr/bin/wineserver");
    write_text(root + "/bin/wineserver", "");
    EXPECT_EQ(wineserver_path(root), root + "/bin/wineserver");

    std::string home = tree / "home";
    std::string source;
    auto lines = capture_log([&] { source = choose_dxvk_source(home, root, std::nullopt); });
    EXPECT_EQ(source, root);
    EXPECT_EQ(lines,
              std::vector<std::string>{
                  "[WARN]   DXVK/VKD3D: no source found — D3D games will use Wine's builtin"});

    std::string proton = tree / "proton/files";
    testing::make_dir(proton + "/lib/wine");
    lines = capture_log([&] { source = choose_dxvk_source(home, root, proton); });
    EXPECT_EQ(lines, std::vector<std::string>{"[WARN]   DXVK: no DLLs found — D3D games will use "
                                              "Wine's builtin (may crash on NVIDIA)"});
    write_text(proton + "/lib/wine/dxvk/x86_64-windows/d3d11.dll", "");
    lines = capture_log([&] { source = choose_dxvk_source(home, root, proton); });
    EXPECT_EQ(source, proton);
    EXPECT_EQ(lines, std::vector<std::string>{"[DEBUG]  DXVK/VKD3D: sourcing from Proton (" +
                                              proton + ")"});

    write_text(root + "/lib/wine/dxvk/x86_64-windows/d3d11.dll", "");
    EXPECT_EQ(choose_dxvk_source(home, root, proton), root);
    std::string own = home + "/.local/share/Steam/compatibilitytools.d/pelto";
    write_text(own + "/lib/wine/dxvk/x86_64-windows/d3d11.dll", "");
    EXPECT_EQ(choose_dxvk_source(home, root, proton), own);
}

TEST(WineDiscovery, ProtonFilesAndIncompleteTreeWarnings) {
    TempDir tree;
    std::string home = tree.path();
    std::string common = home + "/.steam/root/steamapps/common";
    EXPECT_FALSE(find_proton_files(home));
    write_text(common + "/Proton 8.0/files/bin/wine", "");  // no lib/wine: not a DLL source
    EXPECT_FALSE(find_proton_files(home));
    testing::make_dir(common + "/Proton 8.0/files/lib/wine");
    EXPECT_EQ(find_proton_files(home), common + "/Proton 8.0/files");

    std::string root = tree / "w";
    testing::make_dir(root + "/lib/wine");
    base::Command command;
    WineProcessEnv wine_env{tree / "pfx", "/tmp/x", nullptr};
    auto lines = capture_log([&] { command = wine_command("/bin/true", root, wine_env); });
    EXPECT_EQ(command.program, "/bin/true");
    EXPECT_TRUE(command.args.empty());
    EXPECT_EQ(command.env.size(), wine_env.changes().size());
    std::vector<std::string> expected = {"[WARN]   pelto Wine tree incomplete (missing " + root +
                                             "/lib/wine or " + root +
                                             "/share/wine); patched modules will not load.",
                                         "[WARN]   Re-run install.py to populate the compat tree."};
    EXPECT_EQ(lines, expected);
    testing::make_dir(root + "/share/wine");
    lines = capture_log([&] { wine_command("/bin/true", root, wine_env); });
    EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace pelto::launcher::core
