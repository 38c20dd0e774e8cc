#include "launcher/core/wine.hpp"

#include "launcher/core/log.hpp"
#include "launcher/core/posix.hpp"
#include "launcher/core/text.hpp"

namespace pelto::launcher::core {

namespace {

constexpr const char* kDxvkProbe = "lib/wine/dxvk/x86_64-windows/d3d11.dll";

// An empty home makes these paths relative to the working directory, as Steam would have it.
std::string steam_common(const std::string& home) { return join_path(home, ".steam/root/steamapps/common"); }

std::string proton_experimental(const std::string& home) {
    return concat(steam_common(home), "/Proton - Experimental/files");
}

bool starts_with_proton(const std::string& name) { return lossy_utf8(name).rfind("Proton", 0) == 0; }

}  // namespace

bool is_wine_tree(const std::string& dir) {
    return exists(join_path(dir, "lib/wine/x86_64-unix/wine")) || exists(join_path(dir, "bin/wine"));
}

std::string wine_loader_path(const std::string& root) {
    std::string unix_loader = join_path(root, "lib/wine/x86_64-unix/wine");
    return exists(unix_loader) ? unix_loader : join_path(root, "bin/wine");
}

std::string wineserver_path(const std::string& root) {
    std::string server = join_path(root, "bin/wineserver");
    return exists(server) ? server : "/usr/bin/wineserver";
}

std::string find_wine_root(const std::optional<std::string>& own_exe, const std::string& home,
                           const std::string& usr_root) {
    if (auto dir = env_text("PELTO_WINE_DIR"); dir && is_wine_tree(*dir)) return *dir;
    if (own_exe) {
        auto parent = parent_dir(*own_exe);
        if (parent && is_wine_tree(*parent) &&
            exists(join_path(*parent, "lib/wine/x86_64-unix/ntdll.so"))) {
            return *parent;
        }
    }
    if (is_wine_tree(usr_root)) return usr_root;
    std::string experimental = proton_experimental(home);
    if (is_wine_tree(experimental)) {
        log_warn("system Wine not found — using Proton Experimental's wine");
        return experimental;
    }
    std::string common = steam_common(home);
    for (const DirEntry& entry : list_dir(common)) {
        if (!starts_with_proton(entry.name)) continue;
        std::string files = concat(common, "/", entry.name, "/files");
        if (is_wine_tree(files)) {
            log_warn(concat("system Wine not found — using ", lossy_utf8(entry.name), "'s wine"));
            return files;
        }
    }
    return "/nonexistent/wine";
}

std::optional<std::string> find_proton_files(const std::string& home) {
    std::string experimental = proton_experimental(home);
    if (exists(join_path(experimental, "lib/wine"))) return experimental;
    std::string common = steam_common(home);
    for (const DirEntry& entry : list_dir(common)) {
        if (!starts_with_proton(entry.name)) continue;
        std::string files = concat(common, "/", entry.name, "/files");
        if (exists(join_path(files, "lib/wine"))) return files;
    }
    return std::nullopt;
}

std::string choose_dxvk_source(const std::string& home, const std::string& wine_root,
                               const std::optional<std::string>& proton_files) {
    std::string own_tree = join_path(home, ".local/share/Steam/compatibilitytools.d/pelto");
    if (exists(join_path(own_tree, kDxvkProbe))) return own_tree;
    if (exists(join_path(wine_root, kDxvkProbe))) return wine_root;
    if (proton_files && exists(join_path(*proton_files, kDxvkProbe))) {
        log_debug(concat("DXVK/VKD3D: sourcing from Proton (", lossy_utf8(*proton_files), ")"));
        return *proton_files;
    }
    if (proton_files) {
        log_warn("DXVK: no DLLs found — D3D games will use Wine's builtin (may crash on NVIDIA)");
    } else {
        log_warn("DXVK/VKD3D: no source found — D3D games will use Wine's builtin");
    }
    return wine_root;
}

Command wine_command(const std::string& program, const std::string& wine_root) {
    std::string lib_dir = join_path(wine_root, "lib/wine");
    std::string share_dir = join_path(wine_root, "share/wine");
    if (!exists(lib_dir) || !exists(share_dir)) {
        log_warn(concat("pelto Wine tree incomplete (missing ", lossy_utf8(lib_dir), " or ",
                        lossy_utf8(share_dir), "); patched modules will not load."));
        log_warn("Re-run install.py to populate the compat tree.");
    }
    Command command;
    command.program = program;
    return command;
}

}  // namespace pelto::launcher::core
