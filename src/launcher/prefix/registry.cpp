// Registry seeding. The prefix always gets the three registry files (stubs at worst); a stub
// is replaced by the baked template's or the user's own Wine registry when one is there; and
// the Steam keys are appended once. A marker holding fingerprints of "system.reg" and
// "user.reg" lets every later launch stop after a few status queries until Wine or the user
// changes one of them.
#include "launcher/prefix/registry.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <vector>

#include "base/beneath.hpp"
#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/text_file.hpp"
#include "base/tool_layout.hpp"

namespace pelto::launcher::prefix {

namespace {

constexpr std::array<std::string_view, 3> kRegistryFiles = {"system.reg", "user.reg",
                                                            "userdef.reg"};

constexpr std::string_view kSystemStub =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\Machine\n\n#arch=win64\n";
constexpr std::string_view kUserStub =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\User\n\n#arch=win64\n";

// Files up to this size are stubs that a fuller registry may replace.
constexpr off_t kStubMaxSize = 1023;

constexpr std::string_view kMarkerName = ".pelto_registry_seeded";

// Registry text stores every backslash of a key or a Windows path twice.
constexpr std::string_view kSystemPresence = R"([Software\\Valve\\Steam])";
constexpr std::string_view kUserPresence = R"(Valve\\Steam\\ActiveProcess)";

constexpr std::string_view kSystemBlock = R"REG(
[Software\\Valve\\Steam] 1772204972
#time=1dca7fb13d11a48
"InstallPath"="C:\\Program Files (x86)\\Steam"
"SteamPath"="C:\\Program Files (x86)\\Steam"

)REG";

constexpr std::string_view kUserBlock = R"REG(
[Software\\Valve\\Steam] 1772204972
#time=1dca7fb13d11a48
"language"="english"
"SteamExe"="C:\\Program Files (x86)\\Steam\\Steam.exe"
"SteamPath"="C:\\Program Files (x86)\\Steam"

[Software\\Valve\\Steam\\ActiveProcess] 1772204972
#time=1dca7fb13d11a48
"PID"=dword:0000fffe
"SteamClientDll"="C:\\Program Files (x86)\\Steam\\steamclient.dll"
"SteamClientDll64"="C:\\Program Files (x86)\\Steam\\steamclient64.dll"
"SteamPath"="C:\\Program Files (x86)\\Steam"

)REG";

static_assert(kSystemBlock.size() == 152);
static_assert(kUserBlock.size() == 459);

std::string marker_text(const std::string& pfx) {
    return base::concat(registry_fingerprint(base::join_path(pfx, "system.reg")), ",",
                        registry_fingerprint(base::join_path(pfx, "user.reg")));
}

void seed_from_baked_template(const std::string& pfx, const std::string& baked) {
    base::make_dirs(pfx);
    for (std::string_view name : kRegistryFiles) {
        std::string source = base::join_path(baked, name);
        std::string target = base::join_path(pfx, name);
        if (!base::exists(source) || base::exists(target)) continue;
        if (int error = base::copy_file(source, target, base::CopyTarget::ReplaceLink);
            error != 0) {
            base::log_warn(base::concat("Prefix: seeding ", name, " from ", base::lossy_utf8(baked),
                                        " failed: ", base::error_text(error)));
        } else {
            base::log_debug("Prefix: ", name, " seeded from ", base::as_text(baked));
        }
        // The user folders belong with the user registry, even when its copy failed.
        if (name == "user.reg")
            mirror_dirs(base::join_path(baked, "drive_c/users"), pfx, "drive_c/users");
    }
}

void write_stubs(const std::string& pfx) {
    base::make_dirs(pfx);
    for (std::string_view name : kRegistryFiles) {
        std::string path = base::join_path(pfx, name);
        // Renamed into place: a dangling link at the name is replaced, never written through.
        if (!base::exists(path))
            base::replace_file(path, name == "system.reg" ? kSystemStub : kUserStub);
    }
}

// Copies the registry file `name` of `source_dir` over the prefix's when that is missing or
// only a stub; nothing when the source is missing or the prefix's file is a full one, else
// errno or 0. A real copy, never a hard link (Wine and the key injection write these files),
// that replaces in one step: a failed one keeps the stub, never half a registry.
std::optional<int> replace_stub(const std::string& source_dir, const std::string& pfx,
                                std::string_view name) {
    std::string source = base::join_path(source_dir, name);
    if (!base::exists(source)) return std::nullopt;
    std::string target = base::join_path(pfx, name);
    auto current = base::stat_path(target);
    if (current && current->st_size > kStubMaxSize) return std::nullopt;
    return base::copy_file(source, target, base::CopyTarget::ReplaceLink);
}

// Replaces missing or stub registry files with the user's own Wine registry.
void copy_stock_registry(const std::string& pfx, const std::string& stock) {
    for (std::string_view name : kRegistryFiles) {
        std::optional<int> copied = replace_stub(stock, pfx, name);
        if (!copied || name == "userdef.reg") continue;
        std::string target = base::join_path(pfx, name);
        if (int error = *copied; error != 0) {
            base::log_error(
                base::concat("Failed to copy stock ", name, ": ", base::error_text(error)));
        } else {
            auto status = base::stat_path(target);
            base::log_debug("Registry: copied stock ", name, " (",
                            status ? static_cast<uint64_t>(status->st_size) : 0, " bytes)");
        }
    }
}

// Appends `block` to the registry file at `path` unless it already holds `presence`. The file
// is opened without O_CREAT: a registry file that is gone is not recreated as a bare block.
void inject_keys(const std::string& path, std::string_view presence, std::string_view block,
                 std::string_view done_message) {
    bool present = false;
    int read_error = base::file_contains(path, presence, present);
    // A file too large to scan, or one that is no regular file, may well hold the keys: they
    // are not appended blindly (a registry rewritten by every session would grow each time).
    if (read_error == EFBIG || read_error == EINVAL) return;
    if (read_error == 0 && present) return;
    // A file that shares its inode with another name (the template's registry, linked in by
    // the template copy when the stub could not be written) gets an inode of its own, so the
    // keys reach this prefix only.
    auto status = base::stat_path(path);
    if (read_error == 0 && status && S_ISREG(status->st_mode) && status->st_nlink > 1) {
        std::string text;
        if (base::read_text_file(path, text) == 0 &&
            base::replace_file(path, base::concat(text, block)) == 0) {
            base::log_debug(done_message);
        }
        return;
    }
    // One write of the whole block, so the file never ends in half a key; only into the file
    // itself, never through a link at its name.
    int error = 0;
    base::Fd file = base::open_regular(path, O_WRONLY | O_APPEND | O_NOFOLLOW, 0, error);
    if (!file.valid()) return;
    (void)base::write_all(file.get(), block);
    base::log_debug(done_message);
}

}  // namespace

uint64_t registry_fingerprint(const std::string& path) {
    auto status = base::stat_path(path);
    if (!status) return 0;
    uint64_t size = static_cast<uint64_t>(status->st_size);
    uint64_t seconds = static_cast<uint64_t>(static_cast<int64_t>(status->st_mtim.tv_sec));
    return (size * 0x5851F42D4C957F2DULL) ^ seconds ^ 1ULL;
}

void seed_registry(const std::string& pfx, const std::string& install_dir,
                   const std::string& home) {
    if (std::optional<std::string> baked = find_baked_template(install_dir)) {
        seed_from_baked_template(pfx, *baked);
    }
    write_stubs(pfx);

    std::string marker_path = base::join_path(pfx, kMarkerName);
    std::string marker;
    if (base::read_text_file(marker_path, marker) == 0 &&
        base::trim_unicode(marker) == marker_text(pfx)) {
        return;
    }

    copy_stock_registry(pfx, base::join_path(home, ".wine"));
    inject_keys(base::join_path(pfx, "system.reg"), kSystemPresence, kSystemBlock,
                "Registry: injected Steam InstallPath");
    inject_keys(base::join_path(pfx, "user.reg"), kUserPresence, kUserBlock,
                "Registry: injected Steam client paths (HKCU)");
    base::replace_file(marker_path, marker_text(pfx));
}

void mirror_dirs(const std::string& src, const std::string& pfx, std::string_view relative) {
    int error = 0;
    std::vector<base::DirEntry> entries = base::list_dir(src, error);
    if (error != 0) return;
    base::Fd root = base::open_root_dir(pfx, error);
    if (!root.valid()) return;
    for (const base::DirEntry& entry : entries) {
        std::string source = base::join_path(src, entry.name);
        bool is_directory = entry.type == DT_DIR;
        if (entry.type == DT_UNKNOWN) {
            auto status = base::lstat_path(source);
            is_directory = status && S_ISDIR(status->st_mode);
        }
        if (!is_directory) continue;
        std::string target = base::join_path(relative, entry.name);
        if (base::Fd made = base::make_dirs_beneath(root.get(), target, error); !made.valid()) {
            base::log_warn(base::concat(
                "Prefix: creating ", base::as_text(base::join_path(pfx, target)), " failed: ",
                error == EXDEV ? base::why_outside(pfx, target) : base::error_text(error)));
            continue;
        }
        mirror_dirs(source, pfx, target);
    }
}

std::optional<std::string> find_baked_template(const std::string& install_dir) {
    if (install_dir.empty()) return std::nullopt;
    std::string baked = base::tool_path(install_dir, "baked_template");
    if (!base::exists(base::join_path(baked, "system.reg"))) return std::nullopt;
    return baked;
}

bool adopt_template_registry(const std::string& pfx, const std::string& template_dir) {
    bool adopted = false;
    for (std::string_view name : kRegistryFiles) {
        std::optional<int> copied = replace_stub(template_dir, pfx, name);
        if (!copied) continue;
        if (int error = *copied; error != 0) {
            base::log_warn(base::concat("Prefix: taking ", name,
                                        " from the template failed: ", base::error_text(error)));
            continue;
        }
        base::log_debug("Prefix: ", name, " taken from the template");
        adopted = true;
    }
    return adopted;
}

}  // namespace pelto::launcher::prefix
