// The per-prefix deployment cache: one cheap stamp per component source tree, remembered in
// "{prefix}/.pelto_deployed" as "v6:{wine},{dxvk},{vkd3d},{steam}". Matching stamps let the
// setup tasks skip redeploying what an earlier launch already put in place.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelto::launcher::tasks {

/// Stamps in slot order: Wine "lib/wine", DXVK, VKD3D-Proton, Steam "legacycompat".
using Stamps = std::array<uint64_t, 4>;

/// The stamp of the directory entry at `path` (links followed) from its device, inode and
/// modification second; 0 when it cannot be queried.
uint64_t stamp(const std::string& path);

/// The four stored stamps of `prefix`; nothing when the record is missing, unreadable, not
/// UTF-8 or malformed.
std::optional<Stamps> read_deploy_cache(const std::string& prefix);
/// The stamps of a record's text; nothing when it is not UTF-8 or not a valid "v6:" record.
std::optional<Stamps> parse_deploy_record(std::string_view text);

/// Replaces the record of `prefix` as a whole (written beside it, then renamed into place);
/// logs WARN on failure and DEBUG on success.
void write_deploy_cache(const std::string& prefix, const Stamps& stamps);

/// The current stamps of the four source trees, in slot order.
Stamps compute_stamps(const std::string& wine_root, const std::string& dxvk_source_root,
                      const std::string& steam_dir);

struct ChangeFlags {
    bool wine_unchanged = false;
    bool dxvk_unchanged = false;
    bool vkd3d_unchanged = false;
    bool steam_unchanged = false;
};

/// Which slots of `record` match `now`; all false without a record.
ChangeFlags change_flags(const std::optional<Stamps>& record, const Stamps& now);

/// Whether the work that each change flag governs completed in this launch: a component whose
/// deployment did not complete is not recorded as current, so the next launch does it again.
/// Nothing counts as complete until its task says so (a task that never ran, or ended
/// abnormally, did not complete).
struct DeployOutcome {
    bool wine_complete = false;
    bool dxvk_complete = false;
    bool vkd3d_complete = false;
};

/// The step after the setup graph: a DEBUG "cache hit" line when every flag is set and every
/// deployment completed; otherwise the record is rewritten with `stamps`, where the stamp of a
/// component that did not complete is replaced by one that cannot match (its complement).
void update_deploy_cache(const std::string& prefix, const ChangeFlags& flags, const Stamps& stamps,
                         const DeployOutcome& outcome = {true, true, true});

}  // namespace pelto::launcher::tasks
