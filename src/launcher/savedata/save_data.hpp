// Save-data protection: a hard-link snapshot of the profile's game folders before the game,
// and the restore of files that went missing after it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace pelto::launcher::savedata {

struct SaveSnapshot {
    bool taken = false;
    std::string backup_root;
};

/// Backs up the game folders of the profile into "{compat}/save_backup".
SaveSnapshot snapshot_save_data(const std::string& pfx);

/// Restores files missing from the profile; removes the backup when nothing was missing.
void check_save_data(const std::string& pfx, const SaveSnapshot& snapshot);

}  // namespace pelto::launcher::savedata
