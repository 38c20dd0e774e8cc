#include "launcher/core/wine.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/tool_layout.hpp"

namespace pelto::launcher::core {

namespace {

// A tree that brings DXVK: its 64-bit d3d11.dll.
std::string dxvk_probe(const std::string& root) {
    return base::join_path(base::tool_path(root, "dxvk"), "x86_64-windows/d3d11.dll");
}

struct WineLayoutRow {
    std::string_view what, path;
};
#define WINE_LAYOUT(what, path) WineLayoutRow{what, path},
constexpr WineLayoutRow kWineLayout[] = {
#include "launcher/core/wine_layout.inc"
};
#undef WINE_LAYOUT

// What a PE file says of the processes it runs in.
constexpr uint32_t kMachineI386 = 0x14c;
constexpr uint32_t kPe32Magic = 0x10b;
constexpr uint32_t kClrDirectory = 14;
constexpr uint32_t kIlOnly = 0x1, k32BitRequired = 0x2, k32BitPreferred = 0x20000;

// An empty home makes these paths relative to the working directory, as Steam would have it.
std::string steam_common(const std::string& home) {
    return base::join_path(home, ".steam/root/steamapps/common");
}

std::string proton_experimental(const std::string& home) {
    return base::concat(steam_common(home), "/Proton - Experimental/files");
}

bool starts_with_proton(const std::string& name) {
    return base::lossy_utf8(name).rfind("Proton", 0) == 0;
}

}  // namespace

std::vector<std::string> wine_layout_paths(const std::string& root, std::string_view what) {
    std::vector<std::string> paths;
    for (const auto& [row_what, path] : kWineLayout) {
        if (row_what == what) paths.push_back(base::join_path(root, path));
    }
    return paths;
}

bool is_wine_tree(const std::string& dir) {
    std::vector<std::string> loaders = wine_layout_paths(dir, "loader");
    return std::any_of(loaders.begin(), loaders.end(),
                       [](const std::string& loader) { return base::exists(loader); });
}

std::string wine_loader_path(const std::string& root) {
    std::vector<std::string> loaders = wine_layout_paths(root, "loader");
    auto found = std::find_if(loaders.begin(), loaders.end() - 1,
                              [](const std::string& loader) { return base::exists(loader); });
    return *found;
}

std::string wineserver_path(const std::string& root) {
    for (const std::string& server : wine_layout_paths(root, "server")) {
        if (base::exists(server)) return server;
    }
    return "/usr/bin/wineserver";
}

std::string wine_unix_module(const std::string& root, std::string_view name) {
    return base::join_path(wine_layout_paths(root, "unix64").front(), name);
}

std::string find_wine_root(const std::optional<std::string>& wine_dir,
                           const std::optional<std::string>& own_exe, const std::string& home,
                           const std::string& usr_root) {
    if (wine_dir && is_wine_tree(*wine_dir)) return *wine_dir;
    if (own_exe) {
        auto parent = base::parent_dir(*own_exe);
        if (parent && is_wine_tree(*parent) &&
            base::exists(wine_unix_module(*parent, "ntdll.so"))) {
            return *parent;
        }
    }
    if (is_wine_tree(usr_root)) return usr_root;
    std::string experimental = proton_experimental(home);
    if (is_wine_tree(experimental)) {
        base::log_warn("system Wine not found — using Proton Experimental's wine");
        return experimental;
    }
    std::string common = steam_common(home);
    for (const base::DirEntry& entry : base::list_dir(common)) {
        if (!starts_with_proton(entry.name)) continue;
        std::string files = base::concat(common, "/", entry.name, "/files");
        if (is_wine_tree(files)) {
            base::log_warn(base::concat("system Wine not found — using ",
                                        base::lossy_utf8(entry.name), "'s wine"));
            return files;
        }
    }
    return "/nonexistent/wine";
}

std::optional<std::string> find_proton_files(const std::string& home) {
    std::string experimental = proton_experimental(home);
    if (base::exists(base::join_path(experimental, "lib/wine"))) return experimental;
    std::string common = steam_common(home);
    for (const base::DirEntry& entry : base::list_dir(common)) {
        if (!starts_with_proton(entry.name)) continue;
        std::string files = base::concat(common, "/", entry.name, "/files");
        if (base::exists(base::join_path(files, "lib/wine"))) return files;
    }
    return std::nullopt;
}

std::string choose_dxvk_source(const std::string& home, const std::string& wine_root,
                               const std::optional<std::string>& proton_files) {
    std::string own_tree = base::join_path(home, ".local/share/Steam/compatibilitytools.d/pelto");
    if (base::exists(dxvk_probe(own_tree))) return own_tree;
    if (base::exists(dxvk_probe(wine_root))) return wine_root;
    if (proton_files && base::exists(dxvk_probe(*proton_files))) {
        base::log_debug("DXVK/VKD3D: sourcing from Proton (", base::as_text(*proton_files), ")");
        return *proton_files;
    }
    if (proton_files) {
        base::log_warn(
            "DXVK: no DLLs found — D3D games will use Wine's builtin (may crash on NVIDIA)");
    } else {
        base::log_warn("DXVK/VKD3D: no source found — D3D games will use Wine's builtin");
    }
    return wine_root;
}

bool needs_32bit_wine(const std::string& path) {
    int error = 0;
    base::Fd file = base::open_regular(path, O_RDONLY, 0, error);
    if (!file.valid()) return false;
    // A little-endian number of `size` bytes at `offset`; nothing past the end of the file.
    auto read = [&](uint64_t offset, size_t size) -> std::optional<uint32_t> {
        unsigned char bytes[4] = {};
        if (offset > INT64_MAX - 4 ||
            ::pread(file.get(), bytes, size, static_cast<off_t>(offset)) !=
                static_cast<ssize_t>(size)) {
            return std::nullopt;
        }
        return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    };
    // The DOS header names where the PE header starts; the machine follows its signature.
    auto mz = read(0, 2);
    auto pe_offset = read(0x3C, 4);
    if (mz != 0x5A4Du || !pe_offset || read(*pe_offset, 4) != 0x4550u) return false;
    if (read(*pe_offset + 4, 2) != kMachineI386) return false;
    // A .NET program has the CLR header as data directory 14 of a PE32 optional header; its
    // address is virtual, found through the section that holds it.
    uint64_t optional_header = *pe_offset + 24;
    auto sections = read(*pe_offset + 6, 2);
    auto optional_size = read(*pe_offset + 20, 2);
    auto directories = read(optional_header + 92, 4);
    if (read(optional_header, 2) != kPe32Magic || !sections || !optional_size || !directories ||
        *directories <= kClrDirectory || *optional_size < 96 + 8 * 15) {
        return true;
    }
    auto clr_address = read(optional_header + 96 + 8 * kClrDirectory, 4);
    if (!clr_address || *clr_address == 0) return true;
    uint64_t table = optional_header + *optional_size;
    for (uint32_t i = 0; i < *sections; ++i) {
        uint64_t section = table + 40ull * i;
        auto virtual_size = read(section + 8, 4), address = read(section + 12, 4);
        auto raw_size = read(section + 16, 4), raw_offset = read(section + 20, 4);
        if (!virtual_size || !address || !raw_size || !raw_offset) return true;
        uint32_t extent = std::max(*virtual_size, *raw_size);
        if (*clr_address < *address || *clr_address - *address >= extent) continue;
        auto flags = read(uint64_t{*raw_offset} + (*clr_address - *address) + 16, 4);
        if (!flags) return true;
        bool any_cpu = (*flags & kIlOnly) && !(*flags & (k32BitRequired | k32BitPreferred));
        return !any_cpu;
    }
    return true;
}

bool has_32bit_modules(const std::string& wine_root) {
    for (const std::string& modules : wine_layout_paths(wine_root, "modules32")) {
        if (base::exists(base::join_path(modules, "ntdll.dll"))) return true;
    }
    return false;
}

base::Command wine_command(const std::string& program, const std::string& wine_root,
                           const WineProcessEnv& wine_env) {
    std::string lib_dir = base::join_path(wine_root, "lib/wine");
    std::string share_dir = wine_layout_paths(wine_root, "data").front();
    if (!base::exists(lib_dir) || !base::exists(share_dir)) {
        base::log_warn(base::concat("pelto Wine tree incomplete (missing ",
                                    base::lossy_utf8(lib_dir), " or ", base::lossy_utf8(share_dir),
                                    "); patched modules will not load."));
        base::log_warn("Re-run install.py to populate the compat tree.");
    }
    return wine_process_command(program, wine_env);
}

}  // namespace pelto::launcher::core
