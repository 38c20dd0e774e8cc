// The save-data snapshot and its check. Before the game, every game folder of the prefix's
// user profile is mirrored into "{compat}/save_backup" with hard links (free of space, and a
// file the game deletes or replaces keeps its old content in the backup); after the game,
// files that went missing are copied back. The backup is kept only while it holds something
// the profile lacks.
#include "launcher/savedata/save_data.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <vector>

#include "base/beneath.hpp"
#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "base/tree_walk.hpp"
#include "launcher/prefix/user.hpp"

namespace pelto::launcher::savedata {

namespace {

using base::concat;
using base::lossy_utf8;

// Present in the backup while the launch that took it has not reached its check: a backup
// left with this mark may hold the only copy of files the game deleted; one without it was
// kept on purpose after a restore, and its files may since have been deleted on purpose.
constexpr std::string_view kSessionMark = ".session_running";

// Folders that hold Windows' and Wine's own data, not the games'.
bool excluded_name(std::string_view name) {
    std::string lower = base::ascii_lower(lossy_utf8(name));
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
    base::WalkVisitor visitor;
    visitor.enter_dir = [&](const base::WalkItem& item) {
        scan.items.push_back({item.relative, true});
        return true;
    };
    visitor.file = [&](const base::WalkItem& item) {
        scan.items.push_back({item.relative, false});
        scan.files += 1;
        scan.bytes += static_cast<uint64_t>(item.own_size);
    };
    if (!base::walk_inside(root, boundary, visitor).complete) {
        base::log_warn(concat("save backup: cannot read all of ", lossy_utf8(root),
                              " — some of its save files are not protected"));
    }
    return scan;
}

bool is_link(const std::string& path) {
    auto st = base::lstat_path(path);
    return st && S_ISLNK(st->st_mode);
}

// Puts the file `src` at `dst` as a hard link, or as a copy where linking fails (another file
// system). An entry already at `dst` (left from an older backup) is replaced, never written
// through: it may be a hard link to `src` itself, and truncating it would empty the live file.
// A symbolic link is recreated as a link rather than copied, so its target (possibly outside
// the prefix) is never read. Returns errno or 0.
int link_or_copy(const std::string& src, const std::string& dst) {
    int error = base::hard_link(src, dst);
    if (error == EEXIST) {
        // The newest snapshot protects the file as it is now, even where the old tree had a
        // folder of that name.
        error = base::remove_file(dst);
        if (error == EISDIR || error == EPERM) error = base::remove_tree(dst);
        if (error != 0) return error;
        error = base::hard_link(src, dst);
    }
    if (error == 0) return 0;
    if (is_link(src)) {
        auto target = base::read_link(src);
        return target ? base::make_symlink(*target, dst) : errno;
    }
    return base::copy_file(src, dst, base::CopyTarget::ReplaceLink);
}

// Lays out the scanned tree of `src` at `dst`; below a directory that cannot be created
// nothing is attempted.
void lay_out(const std::string& src, const std::string& dst, const TreeScan& scan) {
    if (int error = base::make_dirs(dst); error != 0) {
        base::log_warn(concat("save backup: cannot create dir ", lossy_utf8(dst), ": ",
                              base::error_text(error)));
        return;
    }
    std::string skipped_below;  // "{relative}/" of a directory that could not be created
    for (const TreeScan::Item& item : scan.items) {
        if (!skipped_below.empty() && item.relative.starts_with(skipped_below)) continue;
        skipped_below.clear();
        std::string from = base::join_path(src, item.relative);
        std::string to = base::join_path(dst, item.relative);
        if (item.dir) {
            int error = base::make_dirs(to);
            if (error == EEXIST) {
                // A file of the old tree stands where the profile now has a folder.
                base::remove_file(to);
                error = base::make_dirs(to);
            }
            if (error != 0) {
                base::log_warn(concat("save backup: cannot create dir ", lossy_utf8(to), ": ",
                                      base::error_text(error)));
                skipped_below = item.relative + "/";
            }
            continue;
        }
        if (int error = link_or_copy(from, to); error != 0) {
            base::log_warn(concat("save backup: failed to copy ", lossy_utf8(from), ": ",
                                  base::error_text(error)));
        }
    }
}

// True when a file now stands where a folder on the way to `relative` below `live_dir` was:
// the profile replaced that folder on purpose, and the backed-up files in it have no place.
bool folder_replaced_by_file(const std::string& live_dir, std::string_view relative) {
    std::string path = live_dir;
    while (true) {
        auto status = base::stat_path(path);
        if (!status) return false;
        if (!S_ISDIR(status->st_mode)) return true;
        size_t slash = relative.find('/');
        if (slash == std::string_view::npos) return false;
        path = base::join_path(path, relative.substr(0, slash));
        relative.remove_prefix(slash + 1);
    }
}

// Puts one missing file back from the backup as `name` of the open folder `dir`; returns errno
// or 0. Whatever stands at the name (a dangling link) is replaced, never followed.
int restore_file(const std::string& from, int dir, const std::string& name) {
    if (is_link(from)) {
        auto target = base::read_link(from);
        if (!target) return errno;
        if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) return errno;
        return ::symlinkat(target->c_str(), dir, name.c_str()) == 0 ? 0 : errno;
    }
    int error = 0;
    base::Fd in = base::open_regular(from, O_RDONLY, 0, error);
    if (!in.valid()) return error;
    // Never partial: a partial file would count as present at the next check.
    return base::copy_into(in.get(), dir, name);
}

// Runs `restore_missing` for every game folder of the backup against the profile.
RestoreCounts restore_backup(const std::string& backup, const std::string& profile,
                             const std::string& boundary) {
    RestoreCounts counts;
    for (std::string_view root : kSaveFolders) {
        std::string backup_root = base::join_path(backup, root);
        if (!base::is_dir(backup_root)) continue;
        std::string live_root = base::join_path(profile, root);
        int error = 0;
        std::vector<base::DirEntry> entries = base::list_dir(backup_root, error);
        if (error != 0) {
            base::log_warn(concat("save restore: cannot read all of ", lossy_utf8(backup_root),
                                  ": ", base::error_text(error)));
            counts.failed += 1;
        }
        for (const base::DirEntry& entry : entries) {
            std::string from = base::join_path(backup_root, entry.name);
            if (!base::is_dir(from)) continue;
            counts += restore_missing(from, base::join_path(live_root, entry.name), boundary);
        }
    }
    return counts;
}

// A save folder that is a link out of the prefix (a folder the player syncs elsewhere) cannot
// be protected: the backup never follows such a link.
void warn_unprotected(const std::string& folder) {
    base::log_warn(concat("save backup: ", lossy_utf8(folder),
                          " leads out of the prefix — its save files are not protected"));
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
    base::WalkVisitor visitor;
    visitor.file = [&](const base::WalkItem& item) {
        files += 1;
        bytes += static_cast<uint64_t>(item.own_size);
    };
    base::walk_inside(dir, boundary, visitor);
    return {files, bytes};
}

void backup_tree(const std::string& src, const std::string& dst, const std::string& boundary) {
    lay_out(src, dst, scan_tree(src, boundary));
}

RestoreCounts restore_missing(const std::string& backup_dir, const std::string& live_dir,
                              const std::string& boundary) {
    RestoreCounts counts;
    // Every write resolved beneath the prefix, component by component: a save folder that a
    // link out of the prefix replaced since the snapshot gets nothing, whenever it changed.
    int root_error = 0;
    base::Fd root = base::open_root_dir(boundary, root_error);
    std::string prefix_text = boundary;
    while (prefix_text.size() > 1 && prefix_text.back() == '/') prefix_text.pop_back();
    base::WalkVisitor visitor;
    visitor.file = [&](const base::WalkItem& item) {
        std::string live = base::join_path(live_dir, item.relative);
        // A saved symbolic link is present when the link is, even if it leads nowhere.
        if (base::exists(live) || (is_link(item.path) && base::lstat_path(live)) ||
            folder_replaced_by_file(live_dir, item.relative)) {
            counts.unchanged += 1;
            return;
        }
        std::string parent = base::parent_dir(live).value_or("");
        std::string relative_parent;
        if (parent.size() > prefix_text.size() && parent.starts_with(prefix_text + "/")) {
            relative_parent = parent.substr(prefix_text.size() + 1);
        }
        int error = root_error;
        base::Fd dir = root.valid() && !relative_parent.empty()
                           ? base::make_dirs_beneath(root.get(), relative_parent, error)
                           : base::Fd();
        if (!dir.valid()) {
            if (error == EXDEV || relative_parent.empty()) {
                base::log_warn(concat("save restore: not restoring ", lossy_utf8(live),
                                      ": its folder lies outside the prefix"));
            } else {
                base::log_warn(concat("save restore: cannot create dir ", lossy_utf8(parent), ": ",
                                      base::error_text(error)));
            }
            counts.failed += 1;
            return;
        }
        if (int copy_error = restore_file(item.path, dir.get(), std::string(base::file_name(live)));
            copy_error != 0) {
            base::log_warn(concat("save restore: failed to restore ", lossy_utf8(live), ": ",
                                  base::error_text(copy_error)));
            counts.failed += 1;
            return;
        }
        counts.restored += 1;
    };
    // The backup is the launcher's own tree: nothing in it may lead out of it. A backup that
    // cannot be read whole must be kept: what was not read may be missing from the profile.
    base::WalkResult walked = base::walk_inside(backup_dir, backup_dir, visitor);
    if (!walked.complete && base::lstat_path(backup_dir)) {
        base::log_warn(concat("save restore: cannot read all of ", lossy_utf8(backup_dir)));
        counts.failed += 1;
    }
    return counts;
}

SaveSnapshot snapshot_save_data(const std::string& pfx, const std::string& user) {
    std::string profile = prefix::user_profile_dir(pfx, user);
    if (!base::exists(profile)) return {};
    auto compat = base::parent_dir(pfx);
    if (!compat || compat->empty()) return {};
    auto boundary = base::canonical(pfx);
    if (!boundary) return {};
    std::string backup = base::join_path(*compat, "save_backup");

    if (auto old = base::lstat_path(backup)) {
        // A launch that was killed before its check left its mark: the backup can then hold
        // the only copy of files the game deleted. A backup without it was kept on purpose,
        // and what the player deleted since must stay deleted. Only a real folder of the
        // compatibility data directory is a backup: what a link leads to is someone else's.
        bool keep = false;
        bool own_folder = S_ISDIR(old->st_mode);
        if (!own_folder) {
            base::log_warn(concat("save backup: ", lossy_utf8(backup),
                                  " is a link or a file, not a backup of this launcher — "
                                  "replacing it"));
        }
        if (own_folder && base::lstat_path(base::join_path(backup, kSessionMark))) {
            RestoreCounts leftover = restore_backup(backup, profile, *boundary);
            if (leftover.restored > 0) {
                base::log_warn(concat("save backup: restored ", leftover.restored,
                                      " file(s) from the backup left by an earlier launch"));
            }
            if (leftover.failed > 0) {
                base::log_warn(concat("save backup: keeping the old backup: ", leftover.failed,
                                      " file(s) in it could not be restored"));
                keep = true;
            }
        }
        if (!keep) {
            if (int error = base::remove_tree(backup); error != 0) {
                base::log_warn(
                    concat("save backup: cannot remove old backup: ", base::error_text(error)));
            }
        }
    }

    uint32_t files = 0;
    uint64_t bytes = 0;
    for (std::string_view root : kSaveFolders) {
        std::string live_root = base::join_path(profile, root);
        if (!base::is_dir(live_root)) continue;
        auto resolved = base::canonical(live_root);
        if (!resolved || !base::path_inside(*resolved, *boundary)) {
            warn_unprotected(live_root);
            continue;
        }
        int error = 0;
        std::vector<base::DirEntry> entries = base::list_dir(live_root, error);
        if (error != 0) {
            base::log_warn(concat("save backup: cannot read all of ", lossy_utf8(live_root), ": ",
                                  base::error_text(error)));
        }
        for (const base::DirEntry& entry : entries) {
            if (excluded_name(entry.name)) continue;
            std::string src = base::join_path(live_root, entry.name);
            if (!base::is_dir(src)) continue;
            if (auto target = base::canonical(src);
                !target || !base::path_inside(*target, *boundary)) {
                warn_unprotected(src);
                continue;
            }
            TreeScan scan = scan_tree(src, *boundary);
            if (scan.files == 0) continue;
            lay_out(src, base::join_path(base::join_path(backup, root), entry.name), scan);
            files += scan.files;
            bytes += scan.bytes;
        }
    }
    if (files == 0) return {};

    std::string manifest = base::join_path(backup, "manifest.txt");
    base::remove_file(manifest);  // never write through a link left in an old tree
    if (int error = base::write_file(manifest, concat(files, " files, ", bytes, " bytes\n"));
        error != 0) {
        base::log_warn(concat("save backup: cannot write manifest: ", base::error_text(error)));
    }
    // A mark that cannot be written only costs the restore of a leftover after a crash.
    (void)base::replace_file(base::join_path(backup, kSessionMark), "");
    if (base::verbose()) {
        base::log_debug("save data snapshot: ", files, " files, ", bytes, " bytes");
    }
    return {true, backup};
}

void check_save_data(const std::string& pfx, const std::string& user,
                     const SaveSnapshot& snapshot) {
    if (!snapshot.taken || !base::exists(snapshot.backup_root)) return;
    const std::string& backup = snapshot.backup_root;
    RestoreCounts counts = restore_backup(backup, prefix::user_profile_dir(pfx, user), pfx);
    if (base::verbose()) {
        base::log_debug("save data check: ", counts.restored, " files restored, ", counts.unchanged,
                        " unchanged");
    }
    if (counts.restored == 0 && counts.failed == 0) {
        if (int error = base::remove_tree(backup); error != 0) {
            base::log_warn(concat("save backup: cleanup failed: ", base::error_text(error)));
        }
        return;
    }
    if (counts.restored > 0) {
        base::log_warn(concat(counts.restored,
                              " save files were missing after game exit — restored from backup"));
    }
    if (counts.failed > 0) {
        // Deleting the backup now would lose the only copy of these files; the mark stays, so
        // the next launch tries to give them back.
        base::log_warn(concat("save backup: keeping ", lossy_utf8(backup), ": ", counts.failed,
                              " missing file(s) could not be restored"));
        return;
    }
    base::remove_file(base::join_path(backup, kSessionMark));
}

}  // namespace pelto::launcher::savedata
