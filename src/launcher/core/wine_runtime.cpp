#include "launcher/core/wine_runtime.hpp"

#include <vector>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::launcher::core {

std::vector<base::EnvChange> ServerEnv::changes() const {
    std::vector<base::EnvChange> list = {{"WINEPREFIX", prefix}};
    if (tmpdir) list.push_back({"TMPDIR", *tmpdir});
    return list;
}

std::string wine_dll_search_path(const std::string& wine_root, const std::string& root) {
    std::string text;
    for (const std::string& candidate : {base::join_path(wine_root, "lib/wine/x86_64-unix"),
                                         base::join_path(wine_root, "lib/wine/x86_64-windows"),
                                         base::join_path(root, "usr/lib/wine/x86_64-unix"),
                                         base::join_path(root, "usr/lib/wine/x86_64-windows")}) {
        if (!base::exists(candidate)) continue;
        if (!text.empty()) text += ':';
        text += base::lossy_utf8(candidate);
    }
    return text;
}

std::string library_search_path(const std::string& wine_root) {
    std::vector<std::string> items;
    for (const std::string& candidate :
         {base::join_path(wine_root, "lib/wine/x86_64-unix"), base::join_path(wine_root, "lib")}) {
        if (base::exists(candidate)) items.push_back(base::lossy_utf8(candidate));
    }
    if (auto inherited = base::env_text("LD_LIBRARY_PATH")) items.push_back(*inherited);
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += ':';
        text += items[i];
    }
    return text;
}

std::string wine_debug_value(bool trace_opcodes) {
    if (auto value = base::env_text("WINEDEBUG")) return *value;
    if (trace_opcodes) return "+server,+timestamp";
    return base::verbose() ? "+process,err" : "-all";
}

std::string filtered_ld_preload() {
    std::string preload = base::env_text("LD_PRELOAD").value_or("");
    std::string text;
    for (std::string_view item : base::split(preload, ':')) {
        if (item.empty() || item.find("gameoverlayrenderer") != std::string_view::npos) continue;
        if (!text.empty()) text += ':';
        text += item;
    }
    return text;
}

}  // namespace pelto::launcher::core
