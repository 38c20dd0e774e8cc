// The launcher's environment, read once when a launch starts and passed on as data: every
// later phase looks a value up here instead of in the process environment, so that what it
// reads is known, testable and the same for every phase. The custom variables of env_config
// are laid over a snapshot as data too.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "launcher/core/env_config.hpp"

namespace pelto::launcher::core {

struct EnvSnapshot {
    /// Every entry as the launcher got it ("NAME=value", raw bytes): what children inherit.
    std::shared_ptr<const std::vector<std::string>> entries =
        std::make_shared<const std::vector<std::string>>();
    /// The value of each variable that is valid UTF-8; one that is not counts as unset.
    std::unordered_map<std::string, std::string> values;
    /// The custom variables laid over the snapshot, in file order; none for the launcher's own.
    std::vector<CustomVar> custom;

    /// The value of `name`; nothing when it is unset or not valid UTF-8.
    std::optional<std::string> text(std::string_view name) const;
    /// The value of `name`, or `fallback` when it has none.
    std::string text_or(std::string_view name, std::string_view fallback) const;
    /// True when `name` is set at all, valid UTF-8 or not.
    bool is_set(std::string_view name) const;
    /// True for a switch set to exactly "1".
    bool is_on(std::string_view name) const { return text(name) == "1"; }
};

/// The snapshot of the environment `entries` ("NAME=value"; an entry without "=" is skipped,
/// and of a name given twice the first counts, as getenv has it).
EnvSnapshot take_env_snapshot(std::vector<std::string> entries);

/// `snapshot` with the custom variables set in order (a later one of a name wins). A pair that
/// no environment can hold (a NUL byte, "=" in the name) is skipped with one WARN line.
EnvSnapshot with_custom_vars(const EnvSnapshot& snapshot, const std::vector<CustomVar>& vars);

}  // namespace pelto::launcher::core
