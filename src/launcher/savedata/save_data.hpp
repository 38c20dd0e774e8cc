// Folder launcher/savedata: save-data protection. Its place among the folders: src/layers.txt.
//
// Save-data protection: a hard-link snapshot of the profile's game folders before the game,
// and the restore of files that went missing after it.
//
// Every walk here stays inside a boundary directory: Wine makes profile folders such as
// Documents symbolic links into the user's real home, and following them would link or copy
// the whole home into the backup (or restore into it). A folder reached through a link is
// used only when its canonical path lies inside the boundary, and none is visited twice.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace pelto::launcher::savedata {

/// The folders of a profile where games keep their saves (and crash dumps), in this order.
inline constexpr std::array<std::string_view, 4> kSaveFolders = {"AppData/Roaming", "AppData/Local",
                                                                 "AppData/LocalLow", "Documents"};

struct SaveSnapshot {
    bool taken = false;
    std::string backup_root;
};

/// What one restore pass did: files put back, files still present, files that could not be
/// put back (the backup must then be kept).
struct RestoreCounts {
    uint32_t restored = 0;
    uint32_t unchanged = 0;
    uint32_t failed = 0;

    RestoreCounts& operator+=(const RestoreCounts& other);
};

/// Backs up the game folders of the profile of `user` into "{compat}/save_backup"; not taken when
/// the profile is missing, the prefix has no parent, or no game folder holds a file. A backup left
/// by an earlier launch first gives back the files missing from the profile.
SaveSnapshot snapshot_save_data(const std::string& pfx, const std::string& user);

/// Restores files missing from the profile of `user`; removes the backup when nothing was
/// missing. Does nothing when no snapshot was taken or the backup is gone.
void check_save_data(const std::string& pfx, const std::string& user, const SaveSnapshot& snapshot);

/// (files, bytes) below `dir`, links to directories followed only inside `boundary`; a link
/// to a file counts with its own size. (0, 0) when `dir` is missing or outside `boundary`.
std::pair<uint32_t, uint64_t> count_tree(const std::string& dir, const std::string& boundary);

/// Mirrors the tree `src` at `dst` with hard links, copying where a link fails; folders
/// reached through links are followed only inside `boundary`. Logs its own failures.
void backup_tree(const std::string& src, const std::string& dst, const std::string& boundary);

/// Copies every file of the backup tree `backup_dir` that is missing below `live_dir` back
/// into place; writes only where the target folder lies inside `boundary`. Zero counts when
/// `backup_dir` is missing.
RestoreCounts restore_missing(const std::string& backup_dir, const std::string& live_dir,
                              const std::string& boundary);

}  // namespace pelto::launcher::savedata
