#include "launcher/core/env_snapshot.hpp"

#include <unordered_set>

#include "base/log.hpp"
#include "base/process.hpp"
#include "base/text.hpp"

namespace pelto::launcher::core {

std::optional<std::string> EnvSnapshot::text(std::string_view name) const {
    auto found = values.find(std::string(name));
    if (found == values.end()) return std::nullopt;
    return found->second;
}

std::string EnvSnapshot::text_or(std::string_view name, std::string_view fallback) const {
    auto found = values.find(std::string(name));
    return found == values.end() ? std::string(fallback) : found->second;
}

bool EnvSnapshot::is_set(std::string_view name) const {
    for (const std::string& entry : *entries) {
        if (entry.size() > name.size() && entry[name.size()] == '=' && entry.starts_with(name))
            return true;
    }
    return false;
}

EnvSnapshot take_env_snapshot(std::vector<std::string> entries) {
    EnvSnapshot snapshot;
    // The first entry of a name is the one getenv finds; only valid UTF-8 counts, decided here
    // once for every later reader.
    std::unordered_set<std::string_view> seen;
    for (const std::string& entry : entries) {
        size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        std::string_view name = std::string_view(entry).substr(0, eq);
        std::string_view value = std::string_view(entry).substr(eq + 1);
        if (!seen.insert(name).second || !base::is_valid_utf8(value)) continue;
        snapshot.values.emplace(std::string(name), std::string(value));
    }
    snapshot.entries = std::make_shared<const std::vector<std::string>>(std::move(entries));
    return snapshot;
}

EnvSnapshot with_custom_vars(const EnvSnapshot& snapshot, const std::vector<CustomVar>& vars) {
    EnvSnapshot laid = snapshot;
    std::vector<base::EnvChange> changes;
    for (const CustomVar& var : vars) {
        // The file format allows a NUL byte, which no environment can hold: skip the pair.
        if (!fits_environment(var)) {
            std::string shown = base::lossy_utf8(var.name);
            for (size_t at = shown.find('\0'); at != std::string::npos; at = shown.find('\0', at)) {
                shown.replace(at, 1, "\\0");
            }
            base::log_warn(base::concat("env_config: skipping ", shown,
                                        ": a name or value with a NUL byte cannot be set"));
            continue;
        }
        changes.push_back({var.name, var.value});
        laid.values[var.name] = var.value;
        laid.custom.push_back(var);
    }
    if (!changes.empty()) {
        laid.entries = std::make_shared<const std::vector<std::string>>(
            base::child_environment(changes, snapshot.entries.get()));
    }
    return laid;
}

}  // namespace pelto::launcher::core
