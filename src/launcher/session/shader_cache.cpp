#include "launcher/session/shader_cache.hpp"

#include <cerrno>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::launcher::session {

namespace {

// Each cache: the variable naming its folder, the folder under the shader path, and what
// else its reader needs to use it.
struct Cache {
    const char* variable;
    const char* folder;
    std::vector<base::EnvChange> with;
};

}  // namespace

std::vector<base::EnvChange> shader_cache_env(const std::optional<std::string>& shader_path,
                                              const core::EnvSnapshot& env) {
    std::vector<base::EnvChange> changes;
    if (!shader_path || shader_path->empty()) return changes;
    // The game runs elsewhere than the launcher: a relative path would lead it astray.
    if (shader_path->front() != '/') {
        base::log_warn(base::concat("STEAM_COMPAT_SHADER_PATH=", *shader_path,
                                    " is no absolute path — shader caches stay where they were"));
        return changes;
    }
    // "/cache///" names the folder "/cache": its subfolders are shown without doubled slashes.
    std::string base_dir = *shader_path;
    while (base_dir.size() > 1 && base_dir.back() == '/') base_dir.pop_back();
    // A shader folder that cannot be had is one line, not one for each cache in it.
    int base_error = base::make_dirs(base_dir);
    if (base_error == EEXIST) base_error = ENOTDIR;  // a file stands there
    if (base_error != 0) {
        base::log_warn(base::concat("shader cache: cannot use ", base::as_text(base_dir), ": ",
                                    base::error_text(base_error),
                                    " — shader caches stay where they were"));
        return changes;
    }
    const Cache caches[] = {
        {"DXVK_STATE_CACHE_PATH", "dxvk", {}},
        {"VKD3D_SHADER_CACHE_PATH", "vkd3d-proton", {}},
        {"MESA_SHADER_CACHE_DIR", "mesa", {}},
        // The NVIDIA driver keeps its cache only when asked to, and trims it unless told not
        // to: Steam manages the folder's size itself.
        {"__GL_SHADER_DISK_CACHE_PATH",
         "nvidia",
         {{"__GL_SHADER_DISK_CACHE", "1"}, {"__GL_SHADER_DISK_CACHE_SKIP_CLEANUP", "1"}}},
    };
    for (const Cache& cache : caches) {
        if (env.text(cache.variable)) continue;
        std::string folder = base::join_path(base_dir, cache.folder);
        if (int error = base::make_dirs(folder); error != 0) {
            base::log_warn(base::concat("shader cache: cannot create ", base::as_text(folder), ": ",
                                        base::error_text(error), " — ", cache.variable,
                                        " left as it was"));
            continue;
        }
        changes.push_back({cache.variable, folder});
        for (const base::EnvChange& also : cache.with) {
            if (!env.text(also.name)) changes.push_back(also);
        }
    }
    return changes;
}

}  // namespace pelto::launcher::session
