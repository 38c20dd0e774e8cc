// The save-data snapshot and its check. Before the game, every game folder of the prefix's
// user profile is mirrored into "{compat}/save_backup" with hard links (free of space, and a
// file the game deletes or replaces keeps its old content in the backup); after the game,
// files that went missing are copied back. The backup is kept only while it holds something
// the profile lacks.
#include "launcher/savedata/save_data.hpp"

#include <array>
#include <cerrno>
#include <string_view>
#include <vector>

#include "launcher/core/log.hpp"
#include "launcher/core/posix.hpp"
#include "launcher/core/text.hpp"
#include "launcher/core/tree_walk.hpp"
#include "launcher/prefix/user.hpp"

namespace pelto::launcher::savedata {

namespace {

namespace core = launcher::core;
using core::concat;
using core::lossy_utf8;

constexpr std::array<std::string_view, 4> kSaveRoots = {"AppData/Roaming", "AppData/Local",
                                                        "AppData/LocalLow", "Documents"};

// Folders that hold Windows' and Wine's own data, not the games'.
bool excluded_name(std::string_view name) {
    std::string lower = core::ascii_lower(lossy_utf8(name));
    return lower == "microsoft" || lower == "temp";
}

// One walk of a tree, remembered so that counting and linking need not list it twice.
struct TreeScan {
    struct Item {
        std::string relative;
        bool dir;
    };
    std::vector<Item> items;  // pre-order: a directory comes before everything below it
    uint32_t files = 0;
    uint64_t bytes = 0;
};

TreeScan scan_tree(const std::string& root, const std::string& boundary) {
    TreeScan scan;
    core::WalkVisitor visitor;
    visitor.enter_dir = [&](const core::WalkItem& item) {
        scan.items.push_back({item.relative, true});
        return true;
    };
    visitor.file = [&](const core::WalkItem& item) {
        scan.items.push_back({item.relative, false});
        scan.files += 1;
        scan.bytes += static_cast<uint64_t>(item.own_size);
    };
    core::walk_inside(root, boundary, visitor);
    return scan;
}

bool is_link(const std::string& path) {
    auto st = core::lstat_path(path);
    return st && S_ISLNK(st->st_mode);
}

// Puts the file `src` at `dst` as a hard link, or as a copy where linking fails (another file
// system). An entry already at `dst` (left from an older backup) is replaced, never written
// through: it may be a hard link to `src` itself, and truncating it would empty the live file.
// A symbolic link is recreated as a link rather than copied, so its target (possibly outside
// the prefix) is never read. Returns errno or 0.
int link_or_copy(const std::string& src, const std::string& dst) {
    int error = core::hard_link(src, dst);
    if (error == EEXIST) {
        // A folder of the old tree is left alone: it may hold files the profile lacks.
        error = core::remove_file(dst);
        if (error != 0) return error;
        error = core::hard_link(src, dst);
    }
    if (error == 0) return 0;
    if (is_link(src)) {
        auto target = core::read_link(src);
        return target ? core::make_symlink(*target, dst) : errno;
    }
    error = core::copy_file(src, dst);
    // A half-written copy would later pass for a good backup of the file.
    if (error != 0) core::remove_file(dst);
    return error;
}

// Lays out the scanned tree of `src` at `dst`; below a directory that cannot be created
// nothing is attempted.
void lay_out(const std::string& src, const std::string& dst, const TreeScan& scan) {
    if (int error = core::make_dirs(dst); error != 0) {
        core::log_warn(concat("save backup: cannot create dir ", lossy_utf8(dst), ": ",
                              core::error_text(error)));
        return;
    }
    std::string skipped_below;  // "{relative}/" of a directory that could not be created
    for (const TreeScan::Item& item : scan.items) {
        if (!skipped_below.empty() && item.relative.starts_with(skipped_below)) continue;
        skipped_below.clear();
        std::string from = core::join_path(src, item.relative);
        std::string to = core::join_path(dst, item.relative);
        if (item.dir) {
            if (int error = core::make_dirs(to); error != 0) {
                core::log_warn(concat("save backup: cannot create dir ", lossy_utf8(to), ": ",
                                      core::error_text(error)));
                skipped_below = item.relative + "/";
            }
            continue;
        }
        if (int error = link_or_copy(from, to); error != 0) {
            core::log_warn(concat("save backup: failed to copy ", lossy_utf8(from), ": ",
                                  core::error_text(error)));
        }
    }
}

// True when `path`, or else its nearest ancestor that resolves, lies inside the canonical
// `boundary`: a file created at `path` then cannot land outside it.
bool lands_inside(const std::string& path, const std::string& boundary) {
    std::string probe = path;
    while (true) {
        if (auto resolved = core::canonical(probe)) return core::path_inside(*resolved, boundary);
        auto parent = core::parent_dir(probe);
        if (!parent || parent->empty() || *parent == probe) return false;
        probe = *parent;
    }
}

// Puts one missing file back from the backup; returns errno or 0.
int restore_file(const std::string& from, const std::string& to) {
    // Something that cannot be followed (a dangling link) sits where the file belongs: replace
    // it instead of writing through it.
    if (core::lstat_path(to)) {
        if (int error = core::remove_file(to); error != 0) return error;
    }
    if (is_link(from)) {
        auto target = core::read_link(from);
        return target ? core::make_symlink(*target, to) : errno;
    }
    int error = core::copy_file(from, to);
    // A partial file would count as present at the next check, and the backup be deleted.
    if (error != 0) core::remove_file(to);
    return error;
}

// Runs `restore_missing` for every game folder of the backup against the profile.
RestoreCounts restore_backup(const std::string& backup, const std::string& profile,
                             const std::string& boundary) {
    RestoreCounts counts;
    for (std::string_view root : kSaveRoots) {
        std::string backup_root = core::join_path(backup, root);
        if (!core::is_dir(backup_root)) continue;
        std::string live_root = core::join_path(profile, root);
        for (const core::DirEntry& entry : core::list_dir(backup_root)) {
            std::string from = core::join_path(backup_root, entry.name);
            if (!core::is_dir(from)) continue;
            counts += restore_missing(from, core::join_path(live_root, entry.name), boundary);
        }
    }
    return counts;
}

}  // namespace

RestoreCounts& RestoreCounts::operator+=(const RestoreCounts& other) {
    restored += other.restored;
    unchanged += other.unchanged;
    failed += other.failed;
    return *this;
}

std::pair<uint32_t, uint64_t> count_tree(const std::string& dir, const std::string& boundary) {
    uint32_t files = 0;
    uint64_t bytes = 0;
    core::WalkVisitor visitor;
    visitor.file = [&](const core::WalkItem& item) {
        files += 1;
        bytes += static_cast<uint64_t>(item.own_size);
    };
    core::walk_inside(dir, boundary, visitor);
    return {files, bytes};
}

void backup_tree(const std::string& src, const std::string& dst, const std::string& boundary) {
    lay_out(src, dst, scan_tree(src, boundary));
}

RestoreCounts restore_missing(const std::string& backup_dir, const std::string& live_dir,
                              const std::string& boundary) {
    RestoreCounts counts;
    auto inside = core::canonical(boundary);
    core::WalkVisitor visitor;
    visitor.file = [&](const core::WalkItem& item) {
        std::string live = core::join_path(live_dir, item.relative);
        // A saved symbolic link is present when the link is, even if it leads nowhere.
        if (core::exists(live) || (is_link(item.path) && core::lstat_path(live))) {
            counts.unchanged += 1;
            return;
        }
        std::string parent = core::parent_dir(live).value_or("");
        if (!inside || !lands_inside(parent, *inside)) {
            core::log_warn(concat("save restore: not restoring ", lossy_utf8(live),
                                  ": its folder lies outside the prefix"));
            counts.failed += 1;
            return;
        }
        if (int error = core::make_dirs(parent); error != 0) {
            core::log_warn(concat("save restore: cannot create dir ", lossy_utf8(parent), ": ",
                                  core::error_text(error)));
        }
        if (int error = restore_file(item.path, live); error != 0) {
            core::log_warn(concat("save restore: failed to restore ", lossy_utf8(live), ": ",
                                  core::error_text(error)));
            counts.failed += 1;
            return;
        }
        counts.restored += 1;
    };
    // The backup is the launcher's own tree: nothing in it may lead out of it.
    core::walk_inside(backup_dir, backup_dir, visitor);
    return counts;
}

SaveSnapshot snapshot_save_data(const std::string& pfx) {
    std::string profile = prefix::user_profile_dir(pfx);
    if (!core::exists(profile)) return {};
    auto compat = core::parent_dir(pfx);
    if (!compat || compat->empty()) return {};
    auto boundary = core::canonical(pfx);
    if (!boundary) return {};
    std::string backup = core::join_path(*compat, "save_backup");

    if (core::lstat_path(backup)) {
        // The launch that left this backup may have been killed before its check; the backup
        // can then hold the only copy of files the game deleted.
        bool keep = false;
        if (core::is_dir(backup)) {
            RestoreCounts leftover = restore_backup(backup, profile, *boundary);
            if (leftover.restored > 0) {
                core::log_warn(concat("save backup: restored ", leftover.restored,
                                      " file(s) from the backup left by an earlier launch"));
            }
            if (leftover.failed > 0) {
                core::log_warn(concat("save backup: keeping the old backup: ", leftover.failed,
                                      " file(s) in it could not be restored"));
                keep = true;
            }
        }
        if (!keep) {
            if (int error = core::remove_tree(backup); error != 0) {
                core::log_warn(concat("save backup: cannot remove old backup: ",
                                      core::error_text(error)));
            }
        }
    }

    uint32_t files = 0;
    uint64_t bytes = 0;
    for (std::string_view root : kSaveRoots) {
        std::string live_root = core::join_path(profile, root);
        if (!core::is_dir(live_root)) continue;
        auto resolved = core::canonical(live_root);
        if (!resolved || !core::path_inside(*resolved, *boundary)) {
            core::log_debug(concat("save backup: ", lossy_utf8(live_root),
                                   " leads outside the prefix — not backed up"));
            continue;
        }
        for (const core::DirEntry& entry : core::list_dir(live_root)) {
            if (excluded_name(entry.name)) continue;
            std::string src = core::join_path(live_root, entry.name);
            if (!core::is_dir(src)) continue;
            TreeScan scan = scan_tree(src, *boundary);
            if (scan.files == 0) continue;
            lay_out(src, core::join_path(core::join_path(backup, root), entry.name), scan);
            files += scan.files;
            bytes += scan.bytes;
        }
    }
    if (files == 0) return {};

    std::string manifest = core::join_path(backup, "manifest.txt");
    core::remove_file(manifest);  // never write through a link left in an old tree
    if (int error = core::write_file(manifest, concat(files, " files, ", bytes, " bytes\n"));
        error != 0) {
        core::log_warn(concat("save backup: cannot write manifest: ", core::error_text(error)));
    }
    if (core::verbose()) {
        core::log_debug(concat("save data snapshot: ", files, " files, ", bytes, " bytes"));
    }
    return {true, backup};
}

void check_save_data(const std::string& pfx, const SaveSnapshot& snapshot) {
    if (!snapshot.taken || !core::exists(snapshot.backup_root)) return;
    const std::string& backup = snapshot.backup_root;
    RestoreCounts counts = restore_backup(backup, prefix::user_profile_dir(pfx), pfx);
    if (core::verbose()) {
        core::log_debug(concat("save data check: ", counts.restored, " files restored, ",
                               counts.unchanged, " unchanged"));
    }
    if (counts.restored == 0 && counts.failed == 0) {
        if (int error = core::remove_tree(backup); error != 0) {
            core::log_warn(concat("save backup: cleanup failed: ", core::error_text(error)));
        }
        return;
    }
    if (counts.restored > 0) {
        core::log_warn(concat(counts.restored,
                              " save files were missing after game exit — restored from backup"));
    }
    if (counts.failed > 0) {
        // Deleting the backup now would lose the only copy of these files.
        core::log_warn(concat("save backup: keeping ", lossy_utf8(backup), ": ", counts.failed,
                              " missing file(s) could not be restored"));
    }
}

}  // namespace pelto::launcher::savedata
