#include "launcher/core/wine.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::launcher::core {

namespace {

constexpr const char* kDxvkProbe = "lib/wine/dxvk/x86_64-windows/d3d11.dll";

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

bool is_wine_tree(const std::string& dir) {
    return base::exists(base::join_path(dir, "lib/wine/x86_64-unix/wine")) ||
           base::exists(base::join_path(dir, "bin/wine"));
}

std::string wine_loader_path(const std::string& root) {
    std::string unix_loader = base::join_path(root, "lib/wine/x86_64-unix/wine");
    return base::exists(unix_loader) ? unix_loader : base::join_path(root, "bin/wine");
}

std::string wineserver_path(const std::string& root) {
    std::string server = base::join_path(root, "bin/wineserver");
    return base::exists(server) ? server : "/usr/bin/wineserver";
}

std::string find_wine_root(const std::optional<std::string>& wine_dir,
                           const std::optional<std::string>& own_exe, const std::string& home,
                           const std::string& usr_root) {
    if (wine_dir && is_wine_tree(*wine_dir)) return *wine_dir;
    if (own_exe) {
        auto parent = base::parent_dir(*own_exe);
        if (parent && is_wine_tree(*parent) &&
            base::exists(base::join_path(*parent, "lib/wine/x86_64-unix/ntdll.so"))) {
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
    if (base::exists(base::join_path(own_tree, kDxvkProbe))) return own_tree;
    if (base::exists(base::join_path(wine_root, kDxvkProbe))) return wine_root;
    if (proton_files && base::exists(base::join_path(*proton_files, kDxvkProbe))) {
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

std::optional<uint16_t> pe_machine(const std::string& path) {
    int error = 0;
    base::Fd file = base::open_regular(path, O_RDONLY, 0, error);
    if (!file.valid()) return std::nullopt;
    // The DOS header names where the PE header starts; the machine follows its signature.
    unsigned char dos[64];
    if (::pread(file.get(), dos, sizeof dos, 0) != static_cast<ssize_t>(sizeof dos) ||
        dos[0] != 'M' || dos[1] != 'Z') {
        return std::nullopt;
    }
    uint32_t pe_offset = 0;
    std::memcpy(&pe_offset, dos + 0x3C, sizeof pe_offset);
    unsigned char pe[6];
    if (::pread(file.get(), pe, sizeof pe, static_cast<off_t>(pe_offset)) !=
            static_cast<ssize_t>(sizeof pe) ||
        std::memcmp(pe, "PE\0\0", 4) != 0) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(pe[4] | (pe[5] << 8));
}

bool has_32bit_modules(const std::string& wine_root) {
    for (const char* dir : {"lib/wine", "lib/i386-linux-gnu/wine", "lib32/wine"}) {
        if (base::exists(base::concat(base::join_path(wine_root, dir), "/i386-windows/ntdll.dll")))
            return true;
    }
    return false;
}

base::Command wine_command(const std::string& program, const std::string& wine_root,
                           const WineProcessEnv& wine_env) {
    std::string lib_dir = base::join_path(wine_root, "lib/wine");
    std::string share_dir = base::join_path(wine_root, "share/wine");
    if (!base::exists(lib_dir) || !base::exists(share_dir)) {
        base::log_warn(base::concat("pelto Wine tree incomplete (missing ",
                                    base::lossy_utf8(lib_dir), " or ", base::lossy_utf8(share_dir),
                                    "); patched modules will not load."));
        base::log_warn("Re-run install.py to populate the compat tree.");
    }
    return wine_process_command(program, wine_env);
}

}  // namespace pelto::launcher::core
