#include "launcher/tasks/deploy_cache.hpp"

#include <unistd.h>

#include <string_view>
#include <vector>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "base/tool_layout.hpp"

namespace pelto::launcher::tasks {

namespace {

constexpr std::string_view kRecordName = ".pelto_deployed";
constexpr std::string_view kVersionTag = "v6:";

// An optional "+" and one or more decimal digits, at most 2^64 - 1.
std::optional<uint64_t> parse_field(std::string_view field) {
    if (!field.empty() && field.front() == '+') field.remove_prefix(1);
    if (field.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

uint64_t stamp(const std::string& path) {
    auto st = base::stat_path(path);
    if (!st) return 0;
    return (static_cast<uint64_t>(st->st_dev) * 0x5851F42D4C957F2DULL) ^
           (static_cast<uint64_t>(st->st_ino) * 0x14057B7EF767814FULL) ^
           static_cast<uint64_t>(st->st_mtim.tv_sec);
}

std::optional<Stamps> read_deploy_cache(const std::string& prefix) {
    std::string text;
    if (base::read_text_file(base::join_path(prefix, kRecordName), text) != 0) return std::nullopt;
    return parse_deploy_record(text);
}

std::optional<Stamps> parse_deploy_record(std::string_view text) {
    if (!base::is_valid_utf8(text)) return std::nullopt;
    if (text.size() < kVersionTag.size() || text.compare(0, kVersionTag.size(), kVersionTag) != 0) {
        return std::nullopt;
    }
    std::string_view rest = base::trim_unicode(text.substr(kVersionTag.size()));

    std::vector<std::string_view> fields = base::split(rest, ',');
    Stamps stamps{};
    if (fields.size() != stamps.size()) return std::nullopt;
    for (size_t slot = 0; slot < stamps.size(); ++slot) {
        auto value = parse_field(fields[slot]);
        if (!value) return std::nullopt;
        stamps[slot] = *value;
    }
    return stamps;
}

void write_deploy_cache(const std::string& prefix, const Stamps& stamps) {
    std::string record =
        base::concat(kVersionTag, stamps[0], ',', stamps[1], ',', stamps[2], ',', stamps[3]);
    // A reader sees the old record or the new one, never half of one.
    if (int error = base::replace_file(base::join_path(prefix, kRecordName), record); error != 0) {
        base::log_warn(base::concat("Cannot write deployment cache: ", base::error_text(error),
                                    "; next launch will re-deploy"));
        return;
    }
    base::log_debug("deployment cache written");
}

Stamps compute_stamps(const std::string& wine_root, const std::string& dxvk_source_root,
                      const std::string& steam_dir) {
    return Stamps{stamp(base::join_path(wine_root, "lib/wine")),
                  stamp(base::tool_path(dxvk_source_root, "dxvk")),
                  stamp(base::tool_path(dxvk_source_root, "vkd3d")),
                  stamp(base::join_path(steam_dir, "legacycompat"))};
}

ChangeFlags change_flags(const std::optional<Stamps>& record, const Stamps& now) {
    if (!record) return ChangeFlags{};
    return ChangeFlags{(*record)[0] == now[0], (*record)[1] == now[1], (*record)[2] == now[2],
                       (*record)[3] == now[3]};
}

void update_deploy_cache(const std::string& prefix, const ChangeFlags& flags, const Stamps& stamps,
                         const DeployOutcome& outcome) {
    bool complete = outcome.wine_complete && outcome.dxvk_complete && outcome.vkd3d_complete;
    if (flags.wine_unchanged && flags.dxvk_unchanged && flags.vkd3d_unchanged &&
        flags.steam_unchanged && complete) {
        base::log_debug("cache hit: every component current");
        return;
    }
    Stamps recorded = stamps;
    if (!outcome.wine_complete) recorded[0] = ~stamps[0];
    if (!outcome.dxvk_complete) recorded[1] = ~stamps[1];
    if (!outcome.vkd3d_complete) recorded[2] = ~stamps[2];
    write_deploy_cache(prefix, recorded);
}

}  // namespace pelto::launcher::tasks
