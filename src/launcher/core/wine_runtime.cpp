#include "launcher/core/wine_runtime.hpp"

#include <vector>

#include "base/posix.hpp"
#include "base/text.hpp"
#include "launcher/core/wine.hpp"

namespace pelto::launcher::core {

namespace {

// Whether an item of a WINEDLLOVERRIDES text names Wine's menu builder, as Wine compares the
// names: before its "=", split at ",", in any case, with or without ".exe".
bool names_menu_builder(std::string_view overrides) {
    for (std::string_view item : base::split(overrides, ';')) {
        std::string_view names = item.substr(0, item.find('='));
        if (names.size() == item.size()) continue;  // no "=": not an override
        for (std::string_view name : base::split(names, ',')) {
            while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
            while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
            std::string lowered = base::ascii_lower(name);
            if (lowered == "winemenubuilder" || lowered == "winemenubuilder.exe") return true;
        }
    }
    return false;
}

}  // namespace

std::string keep_menu_builder_off(const std::string& overrides) {
    if (names_menu_builder(overrides)) return overrides;
    if (overrides.empty()) return kMenuBuilderOff;
    return base::concat(overrides, ";", kMenuBuilderOff);
}

std::vector<base::EnvChange> WineProcessEnv::changes() const {
    std::vector<base::EnvChange> list = {{"WINEPREFIX", prefix}};
    if (tmpdir) list.push_back({"TMPDIR", *tmpdir});
    list.push_back({"WINEDLLOVERRIDES", keep_menu_builder_off(dll_overrides.value_or(""))});
    return list;
}

std::vector<base::EnvChange> WineRows::changes() const {
    std::vector<base::EnvChange> list = {
        {"WINEPREFIX", prefix},
        {"WINESERVER", wineserver},
        {"WINELOADER", loader},
        {"WINEDLLPATH", dll_path},
        {"USER", user},
        {"LD_LIBRARY_PATH", library_path},
        {"WINEDLLOVERRIDES", dll_overrides},
        {"WINEDEBUG", debug},
        {"LD_PRELOAD", preload},
    };
    if (tmpdir) list.push_back({"TMPDIR", *tmpdir});
    return list;
}

WineRows wine_rows(const WineRowInputs& in) {
    std::string preload = filtered_ld_preload(in.ld_preload);
    return WineRows{
        .prefix = in.wine_env.prefix,
        .wineserver = in.wineserver,
        .loader = in.wine64,
        .dll_path = wine_dll_search_path(in.wine_root, in.system_root),
        .user = in.user,
        .library_path = library_search_path(in.wine_root, in.ld_library_path),
        .dll_overrides = keep_menu_builder_off(in.wine_env.dll_overrides.value_or("")),
        .debug = wine_debug_value(in.winedebug, in.trace_opcodes, in.verbose),
        .preload = preload.empty() ? std::nullopt : std::optional(preload),
        .tmpdir = in.wine_env.tmpdir,
    };
}

base::Command wine_process_command(const std::string& program, const WineProcessEnv& wine_env) {
    base::Command command;
    command.program = program;
    command.inherit = wine_env.inherited;
    command.env = wine_env.changes();
    return command;
}

base::Command wineserver_command(const std::string& wineserver, const WineProcessEnv& wine_env,
                                 const char* flag) {
    base::Command command = wine_process_command(wineserver, wine_env);
    command.args = {flag};
    command.in = command.out = command.err = base::Stream::null();
    return command;
}

std::string wine_dll_search_path(const std::string& wine_root, const std::string& root) {
    std::string text;
    // The build's own, then the system Wine's.
    std::vector<std::string> candidates;
    for (const std::string& build : {wine_root, base::join_path(root, "usr")}) {
        for (const char* what : {"unix64", "modules64"}) {
            std::vector<std::string> paths = wine_layout_paths(build, what);
            candidates.insert(candidates.end(), paths.begin(), paths.end());
        }
    }
    for (const std::string& candidate : candidates) {
        if (!base::exists(candidate)) continue;
        if (!text.empty()) text += ':';
        text += base::lossy_utf8(candidate);
    }
    return text;
}

std::string library_search_path(const std::string& wine_root,
                                const std::optional<std::string>& inherited) {
    std::vector<std::string> items;
    for (const std::string& candidate :
         {wine_layout_paths(wine_root, "unix64").front(), base::join_path(wine_root, "lib")}) {
        if (base::exists(candidate)) items.push_back(base::lossy_utf8(candidate));
    }
    if (inherited) items.push_back(*inherited);
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += ':';
        text += items[i];
    }
    return text;
}

std::string wine_debug_value(const std::optional<std::string>& inherited, bool trace_opcodes,
                             bool verbose) {
    if (inherited) return *inherited;
    if (trace_opcodes) return "+server,+timestamp";
    return verbose ? "+process,err" : "-all";
}

std::string filtered_ld_preload(const std::optional<std::string>& preload) {
    std::string list = preload.value_or("");
    std::string text;
    for (std::string_view item : base::split(list, ':')) {
        if (item.empty() || item.find("gameoverlayrenderer") != std::string_view::npos) continue;
        if (!text.empty()) text += ':';
        text += item;
    }
    return text;
}

}  // namespace pelto::launcher::core
