#include "launcher/savedata/save_data.hpp"

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "base/posix.hpp"
#include "support/test_support.hpp"

namespace pelto::launcher::savedata {
namespace {

using testing::capture_log;
using testing::make_dir;
using testing::make_link;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

// A tmpfs on a test directory for one scope: another file system, or a small one to fill.
class Tmpfs {
public:
    Tmpfs(const std::string& dir, const std::string& options) : dir_(dir) {
        base::make_dirs(dir);
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~Tmpfs() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    bool ok() const { return mounted_; }

private:
    std::string dir_;
    bool mounted_ = false;
};

// A compatibility data directory with a prefix whose profile belongs to "steamuser".
struct Compat {
    TempDir dir;
    std::string pfx = dir / "pfx";
    std::string profile = pfx + "/drive_c/users/steamuser";
    std::string backup = dir / "save_backup";

    std::string live(const std::string& relative) const { return profile + "/" + relative; }
    std::string saved(const std::string& relative) const { return backup + "/" + relative; }
};

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

ino_t inode(const std::string& path) {
    auto st = base::lstat_path(path);
    return st ? st->st_ino : 0;
}

const std::string kMissingLine = " save files were missing after game exit — restored from backup";

TEST(SaveData, SnapshotBacksUpGameFoldersOnly) {
    Compat c;
    write_text(c.live("AppData/Roaming/Game/save.sav"), "12345");
    write_text(c.live("AppData/Roaming/Game/slots/1.sav"), "abc");
    make_link("save.sav", c.live("AppData/Roaming/Game/latest"));  // counts its own size: 8
    write_text(c.live("AppData/Roaming/loose.txt"), "loose files in a save root are not saved");
    // The excluded names hold Windows' own data, at the top level only, in any letter case.
    write_text(c.live("AppData/Local/temp/t.txt"), "x");
    write_text(c.live("AppData/Local/MicroSoft/m.txt"), "x");
    write_text(c.live("AppData/Roaming/TEMP/t.txt"), "x");
    write_text(c.live("AppData/Local/Other/Temp/deep.txt"), "1");
    write_text(c.live("AppData/Local/Other/microsoft/deep.txt"), "2");
    // Empty folder trees are not backed up; a file where a save root belongs is skipped.
    make_dir(c.live("AppData/LocalLow/Empty/a/b"));
    write_text(c.live("Documents"), "not a directory");

    SaveSnapshot snapshot;
    auto lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    ASSERT_TRUE(snapshot.taken);
    EXPECT_EQ(snapshot.backup_root, c.backup);
    EXPECT_EQ(read_text(c.saved("manifest.txt")), "5 files, 18 bytes\n");
    EXPECT_TRUE(has(lines, "[DEBUG]  save data snapshot: 5 files, 18 bytes"));

    // The normal backup is a hard link: no space, and the old content survives a replacement.
    EXPECT_EQ(inode(c.saved("AppData/Roaming/Game/save.sav")),
              inode(c.live("AppData/Roaming/Game/save.sav")));
    EXPECT_EQ(read_text(c.saved("AppData/Roaming/Game/slots/1.sav")), "abc");
    EXPECT_EQ(base::read_link(c.saved("AppData/Roaming/Game/latest")), "save.sav");
    EXPECT_EQ(read_text(c.saved("AppData/Local/Other/Temp/deep.txt")), "1");
    EXPECT_EQ(read_text(c.saved("AppData/Local/Other/microsoft/deep.txt")), "2");
    EXPECT_FALSE(base::exists(c.saved("AppData/Roaming/loose.txt")));
    EXPECT_FALSE(base::exists(c.saved("AppData/Local/temp")));
    EXPECT_FALSE(base::exists(c.saved("AppData/Local/MicroSoft")));
    EXPECT_FALSE(base::exists(c.saved("AppData/Roaming/TEMP")));
    EXPECT_FALSE(base::exists(c.saved("AppData/LocalLow")));
    EXPECT_FALSE(base::exists(c.saved("Documents")));
    // Five saves, the manifest and the mark of the running session.
    EXPECT_EQ(count_tree(c.backup, c.dir.path()), (std::pair<uint32_t, uint64_t>{7, 36}));

    // Nothing worth saving: no snapshot, and the previous backup is gone.
    Compat bare;
    make_dir(bare.live("AppData/Roaming/Empty/sub"));
    write_text(bare.live("Documents/loose.txt"), "x");
    write_text(bare.saved("manifest.txt"), "1 files, 1 bytes\n");
    EXPECT_FALSE(snapshot_save_data(bare.pfx, "steamuser").taken);
    EXPECT_FALSE(base::exists(bare.backup));
    // No profile: nothing is touched at all.
    Compat none;
    write_text(none.saved("manifest.txt"), "1 files, 1 bytes\n");
    EXPECT_FALSE(snapshot_save_data(none.pfx, "steamuser").taken);
    EXPECT_TRUE(base::exists(none.saved("manifest.txt")));
}

TEST(SaveData, NeverLeavesThePrefix) {
    Compat c;
    TempDir home;
    // Wine links Documents into the user's real home.
    write_text(home / "Documents/My Games/Game/outside.sav", "the user's own");
    make_link(home / "Documents", c.live("Documents"));
    // A game folder that is a link out of the prefix, and one with a link out inside it.
    write_text(home / "Music/song.ogg", "music");
    make_link(home / "Music", c.live("AppData/Local/Music"));
    write_text(c.live("AppData/Roaming/Game/save.sav"), "mine");
    make_link(home / "Music", c.live("AppData/Roaming/Game/music"));
    // A link cycle, and a link to a folder elsewhere inside the prefix.
    make_link(".", c.live("AppData/Roaming/Game/loop"));
    make_link("../../../../../..", c.live("AppData/LocalLow/Cycle/up"));
    write_text(c.pfx + "/drive_c/shared/s.txt", "shared");
    make_link(c.pfx + "/drive_c/shared", c.live("AppData/LocalLow/Shared"));

    SaveSnapshot snapshot;
    auto warned = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    ASSERT_TRUE(snapshot.taken);
    // The folders that lead out are named, once each: their saves are not protected.
    for (const std::string& folder : {c.live("Documents"), c.live("AppData/Local/Music")}) {
        EXPECT_EQ(std::count(warned.begin(), warned.end(),
                             "[WARN]   save backup: " + folder +
                                 " leads out of the prefix — its save files are not protected"),
                  1)
            << folder;
    }
    EXPECT_TRUE(base::exists(c.saved("AppData/Roaming/Game/save.sav")));
    EXPECT_EQ(read_text(c.saved("AppData/LocalLow/Shared/s.txt")), "shared");
    EXPECT_FALSE(base::exists(c.saved("Documents")));
    EXPECT_FALSE(base::exists(c.saved("AppData/Local/Music")));
    EXPECT_FALSE(base::exists(c.saved("AppData/Roaming/Game/music")));
    EXPECT_FALSE(base::exists(c.saved("AppData/Roaming/Game/loop")));
    // The upward link leads to the prefix root, walked once; the cycle ends at Cycle itself.
    std::string up = c.saved("AppData/LocalLow/Cycle/up/drive_c/");
    EXPECT_TRUE(base::exists(up + "shared/s.txt"));
    EXPECT_TRUE(base::exists(up + "users/steamuser/AppData/Roaming/Game/save.sav"));
    EXPECT_FALSE(base::lstat_path(up + "users/steamuser/AppData/LocalLow/Cycle"));
    EXPECT_FALSE(base::lstat_path(up + "users/steamuser/Documents"));

    // The check neither deletes nor restores anything outside the prefix.
    base::remove_file(home / "Music/song.ogg");
    check_save_data(c.pfx, "steamuser", snapshot);
    EXPECT_EQ(read_text(home / "Documents/My Games/Game/outside.sav"), "the user's own");
    EXPECT_FALSE(base::exists(home / "Music/song.ogg"));
    EXPECT_FALSE(base::exists(c.backup));

    // A backup entry whose live folder now leads out of the prefix is not written there, and
    // the backup stays.
    snapshot = snapshot_save_data(c.pfx, "steamuser");
    ASSERT_TRUE(snapshot.taken);
    base::remove_tree(c.live("AppData/Roaming/Game"));
    make_link(home / "Elsewhere", c.live("AppData/Roaming/Game"));
    make_dir(home / "Elsewhere");
    auto lines = capture_log([&] { check_save_data(c.pfx, "steamuser", snapshot); });
    EXPECT_FALSE(base::exists(home / "Elsewhere/save.sav"));
    EXPECT_TRUE(has(lines, "[WARN]   save restore: not restoring " +
                               c.live("AppData/Roaming/Game/save.sav") +
                               ": its folder lies outside the prefix"));
    EXPECT_TRUE(base::exists(c.saved("AppData/Roaming/Game/save.sav")));

    // A folder further up the way, swapped for a link out (to a folder, or dangling), gets
    // nothing either: every folder on the way is resolved beneath the prefix.
    for (bool dangling : {false, true}) {
        base::remove_tree(c.backup);
        base::remove_file(c.live("AppData/Roaming/Game"));
        write_text(c.live("AppData/Roaming/Game/slot/deep.sav"), "deep");
        snapshot = snapshot_save_data(c.pfx, "steamuser");
        ASSERT_TRUE(snapshot.taken);
        base::remove_tree(c.live("AppData/Roaming"));
        std::string away = home / (dangling ? "Nowhere" : "Away");
        if (!dangling) make_dir(away + "/Game");
        make_link(away, c.live("AppData/Roaming"));
        lines = capture_log([&] { check_save_data(c.pfx, "steamuser", snapshot); });
        EXPECT_FALSE(base::lstat_path(away + "/Game/slot")) << dangling;
        EXPECT_TRUE(has(lines, "[WARN]   save restore: not restoring " +
                                   c.live("AppData/Roaming/Game/slot/deep.sav") +
                                   ": its folder lies outside the prefix"))
            << dangling;
        EXPECT_TRUE(base::exists(c.saved("AppData/Roaming/Game/slot/deep.sav")));
        base::remove_file(c.live("AppData/Roaming"));
    }
}

TEST(SaveData, CheckRestoresMissingFilesAndKeepsTheBackup) {
    Compat c;
    write_text(c.live("AppData/Roaming/Game/deleted.sav"), "old progress");
    write_text(c.live("AppData/Roaming/Game/rewritten.sav"), "old");
    write_text(c.live("Documents/My Games/Game/gone/deep.sav"), "deep");
    SaveSnapshot snapshot = snapshot_save_data(c.pfx, "steamuser");
    ASSERT_TRUE(snapshot.taken);

    // The game deletes one file, replaces another and removes a whole folder.
    base::remove_file(c.live("AppData/Roaming/Game/deleted.sav"));
    base::remove_file(c.live("AppData/Roaming/Game/rewritten.sav"));
    write_text(c.live("AppData/Roaming/Game/rewritten.sav"), "new");
    base::remove_tree(c.live("Documents/My Games/Game/gone"));
    auto lines = capture_log([&] { check_save_data(c.pfx, "steamuser", snapshot); });
    EXPECT_TRUE(has(lines, "[DEBUG]  save data check: 2 files restored, 1 unchanged"));
    EXPECT_TRUE(has(lines, "[WARN]   2" + kMissingLine));
    EXPECT_EQ(read_text(c.live("AppData/Roaming/Game/deleted.sav")), "old progress");
    EXPECT_EQ(read_text(c.live("Documents/My Games/Game/gone/deep.sav")), "deep");
    EXPECT_EQ(read_text(c.live("AppData/Roaming/Game/rewritten.sav")), "new");
    // Restored as a copy: writing it in place later must not change the backup.
    EXPECT_NE(inode(c.live("AppData/Roaming/Game/deleted.sav")),
              inode(c.saved("AppData/Roaming/Game/deleted.sav")));
    EXPECT_TRUE(base::exists(c.backup));

    // The player deletes a restored file between launches: the backup kept after the check is
    // no leftover of a crashed launch, so the file stays deleted. Nothing goes missing during
    // the game, so the check removes the backup.
    base::remove_file(c.live("AppData/Roaming/Game/deleted.sav"));
    lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    EXPECT_EQ(lines, std::vector<std::string>{"[DEBUG]  save data snapshot: 2 files, 7 bytes"});
    EXPECT_FALSE(base::exists(c.live("AppData/Roaming/Game/deleted.sav")));
    ASSERT_TRUE(snapshot.taken);
    lines = capture_log([&] { check_save_data(c.pfx, "steamuser", snapshot); });
    EXPECT_EQ(lines,
              std::vector<std::string>{"[DEBUG]  save data check: 0 files restored, 2 unchanged"});
    EXPECT_FALSE(base::exists(c.backup));
    write_text(c.live("AppData/Roaming/Game/deleted.sav"), "old progress");
    // Without a snapshot of this launch, or with its backup gone, the check does nothing.
    check_save_data(c.pfx, "steamuser", snapshot);
    check_save_data(c.pfx, "steamuser", SaveSnapshot{});

    // A dangling link where a deleted file was is replaced, not written through.
    snapshot = snapshot_save_data(c.pfx, "steamuser");
    TempDir outside;
    base::remove_file(c.live("AppData/Roaming/Game/deleted.sav"));
    make_link(outside / "planted", c.live("AppData/Roaming/Game/deleted.sav"));
    lines = capture_log([&] { check_save_data(c.pfx, "steamuser", snapshot); });
    EXPECT_TRUE(has(lines, "[WARN]   1" + kMissingLine));
    EXPECT_FALSE(base::exists(outside / "planted"));
    EXPECT_EQ(read_text(c.live("AppData/Roaming/Game/deleted.sav")), "old progress");
}

TEST(SaveData, LeftoverBackupGivesBackFilesBeforeItIsReplaced) {
    Compat c;
    write_text(c.live("AppData/Local/Game/a.sav"), "a");
    write_text(c.live("AppData/Local/Game/b.sav"), "b");
    ASSERT_TRUE(snapshot_save_data(c.pfx, "steamuser").taken);
    // The launcher was killed during the game, which had deleted a save: no check ran.
    base::remove_file(c.live("AppData/Local/Game/a.sav"));

    SaveSnapshot snapshot;
    auto lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    EXPECT_TRUE(
        has(lines,
            "[WARN]   save backup: restored 1 file(s) from the backup left by an earlier launch"));
    EXPECT_EQ(read_text(c.live("AppData/Local/Game/a.sav")), "a");
    EXPECT_EQ(read_text(c.saved("manifest.txt")), "2 files, 2 bytes\n");
    EXPECT_EQ(inode(c.saved("AppData/Local/Game/a.sav")),
              inode(c.live("AppData/Local/Game/a.sav")));
    check_save_data(c.pfx, "steamuser", snapshot);
    EXPECT_FALSE(base::exists(c.backup));

    // A file now stands where a backed-up folder was: the profile replaced the folder on
    // purpose, so its backed-up files count as present, nothing is kept for ever, and the new
    // snapshot protects the file.
    write_text(c.live("AppData/Local/Game/sub/deep.sav"), "deep");
    ASSERT_TRUE(snapshot_save_data(c.pfx, "steamuser").taken);  // the launcher is killed after this
    base::remove_tree(c.live("AppData/Local/Game/sub"));
    write_text(c.live("AppData/Local/Game/sub"), "a file");
    lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    EXPECT_EQ(lines, std::vector<std::string>{"[DEBUG]  save data snapshot: 3 files, 8 bytes"});
    EXPECT_EQ(inode(c.saved("AppData/Local/Game/sub")), inode(c.live("AppData/Local/Game/sub")));
    lines = capture_log([&] { check_save_data(c.pfx, "steamuser", snapshot); });
    EXPECT_EQ(lines,
              std::vector<std::string>{"[DEBUG]  save data check: 0 files restored, 3 unchanged"});
    EXPECT_FALSE(base::exists(c.backup));
}

TEST(SaveData, ABackupThatIsALinkIsNeverRestoredFrom) {
    // A link planted as save_backup, to a tree that looks like a crashed launch's backup:
    // nothing of it reaches the profile, and the link makes way for a real backup.
    Compat c;
    TempDir planted;
    write_text(planted / ".session_running", "");
    write_text(planted / "AppData/Roaming/Game/injected.sav", "not the player's");
    make_link(planted.path(), c.backup);
    write_text(c.live("AppData/Roaming/Game/save.sav"), "mine");
    SaveSnapshot snapshot;
    auto lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    EXPECT_TRUE(
        has(lines, "[WARN]   save backup: " + c.backup +
                       " is a link or a file, not a backup of this launcher — replacing it"))
        << ::testing::PrintToString(lines);
    EXPECT_FALSE(base::exists(c.live("AppData/Roaming/Game/injected.sav")));
    ASSERT_TRUE(snapshot.taken);
    auto status = base::lstat_path(c.backup);
    EXPECT_TRUE(status && S_ISDIR(status->st_mode));
    EXPECT_EQ(read_text(planted / "AppData/Roaming/Game/injected.sav"), "not the player's");
    check_save_data(c.pfx, "steamuser", snapshot);
    EXPECT_FALSE(base::lstat_path(c.backup));
}

TEST(SaveData, ABackupThatCannotBeReadWholeIsKept) {
    Compat c;
    write_text(c.live("AppData/Roaming/Game/a.sav"), "a");
    SaveSnapshot snapshot = snapshot_save_data(c.pfx, "steamuser");
    ASSERT_TRUE(snapshot.taken);
    base::remove_file(c.live("AppData/Roaming/Game/a.sav"));
    // Out of descriptors (the limit reached): no folder of the backup can be listed. A listing
    // that fails must not pass for an empty one, or the backup would go with the only copy.
    auto lines = capture_log([&] {
        struct rlimit old {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
        struct rlimit none = old;
        // New descriptors take the lowest free number, which the limit now lies at.
        int lowest_free = ::dup(0);
        ::close(lowest_free);
        none.rlim_cur = static_cast<rlim_t>(lowest_free);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
        check_save_data(c.pfx, "steamuser", snapshot);
        ::setrlimit(RLIMIT_NOFILE, &old);
    });
    EXPECT_TRUE(has(lines, "[WARN]   save restore: cannot read all of " +
                               c.saved("AppData/Roaming") + ": Too many open files (os error 24)"))
        << ::testing::PrintToString(lines);
    EXPECT_FALSE(
        has(lines, "[WARN]   save backup: cleanup failed: Too many open files (os error 24)"));
    EXPECT_TRUE(base::exists(c.saved("AppData/Roaming/Game/a.sav")));
    EXPECT_FALSE(base::exists(c.live("AppData/Roaming/Game/a.sav")));
    check_save_data(c.pfx, "steamuser", snapshot);
    EXPECT_EQ(read_text(c.live("AppData/Roaming/Game/a.sav")), "a");
}

TEST(SaveData, OldBackupThatCannotBeRemoved) {
    Compat c;
    write_text(c.live("AppData/Local/Game/a.sav"), "a");
    make_dir(c.saved("AppData/Local/Busy"));
    Tmpfs busy(c.saved("AppData/Local/Busy"), "size=64k");
    ASSERT_TRUE(busy.ok());

    SaveSnapshot snapshot;
    auto lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    EXPECT_TRUE(has(
        lines,
        "[WARN]   save backup: cannot remove old backup: Device or resource busy (os error 16)"));
    ASSERT_TRUE(snapshot.taken);
    EXPECT_EQ(inode(c.saved("AppData/Local/Game/a.sav")),
              inode(c.live("AppData/Local/Game/a.sav")));
    EXPECT_EQ(read_text(c.saved("manifest.txt")), "1 files, 1 bytes\n");

    // The snapshot goes into the old tree; where the old tree and the profile disagree on a
    // file or a folder, the profile as it is now wins.
    write_text(c.saved("AppData/Local/Game/sub/old.sav"), "old");
    write_text(c.live("AppData/Local/Game/sub"), "now a file");
    write_text(c.saved("AppData/Local/Game/dir"), "old file");
    write_text(c.live("AppData/Local/Game/dir/x.sav"), "x");
    lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    ASSERT_TRUE(snapshot.taken);
    EXPECT_EQ(inode(c.saved("AppData/Local/Game/sub")), inode(c.live("AppData/Local/Game/sub")));
    EXPECT_EQ(inode(c.saved("AppData/Local/Game/dir/x.sav")),
              inode(c.live("AppData/Local/Game/dir/x.sav")));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("[WARN]", 0) == 0; }),
              1);  // only the busy old backup
}

TEST(SaveData, ProfileOnAnotherFileSystemIsCopied) {
    Compat c;
    make_dir(c.live("AppData"));
    Tmpfs other(c.live("AppData"), "size=1m");
    ASSERT_TRUE(other.ok());
    write_text(c.live("AppData/Roaming/Game/save.sav"), "progress");
    ::chmod(c.live("AppData/Roaming/Game/save.sav").c_str(), 0640);
    write_text(c.live("AppData/Roaming/Game/deleted.sav"), "gone soon");
    make_link("save.sav", c.live("AppData/Roaming/Game/latest"));

    auto lines = capture_log([&] { ASSERT_TRUE(snapshot_save_data(c.pfx, "steamuser").taken); });
    EXPECT_EQ(lines, std::vector<std::string>{"[DEBUG]  save data snapshot: 3 files, 25 bytes"});
    EXPECT_NE(inode(c.saved("AppData/Roaming/Game/save.sav")),
              inode(c.live("AppData/Roaming/Game/save.sav")));
    EXPECT_EQ(read_text(c.saved("AppData/Roaming/Game/save.sav")), "progress");
    EXPECT_EQ(base::stat_path(c.saved("AppData/Roaming/Game/save.sav"))->st_mode & 07777, 0640u);
    EXPECT_EQ(base::read_link(c.saved("AppData/Roaming/Game/latest")), "save.sav");

    base::remove_file(c.live("AppData/Roaming/Game/deleted.sav"));
    base::remove_file(c.live("AppData/Roaming/Game/latest"));
    SaveSnapshot snapshot{true, c.backup};
    lines = capture_log([&] { check_save_data(c.pfx, "steamuser", snapshot); });
    EXPECT_TRUE(has(lines, "[WARN]   2" + kMissingLine));
    EXPECT_EQ(read_text(c.live("AppData/Roaming/Game/deleted.sav")), "gone soon");
    EXPECT_EQ(base::read_link(c.live("AppData/Roaming/Game/latest")), "save.sav");
}

TEST(SaveData, FullFileSystemsLeaveNoPartialCopies) {
    // The backup lands on a small file system: what does not fit is reported and left out,
    // never half-written (a truncated copy would later pass for the saved file).
    Compat c;
    make_dir(c.live("AppData"));
    Tmpfs profile_fs(c.live("AppData"), "size=1m");
    Tmpfs backup_fs(c.backup, "size=64k");
    ASSERT_TRUE(profile_fs.ok() && backup_fs.ok());
    write_text(c.live("AppData/Local/Game/big.sav"), std::string(200 * 1024, 'b'));
    write_text(c.live("AppData/Local/Game/small.sav"), "small");

    SaveSnapshot snapshot;
    auto lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    EXPECT_TRUE(has(
        lines,
        "[WARN]   save backup: cannot remove old backup: Device or resource busy (os error 16)"));
    EXPECT_TRUE(has(lines, "[WARN]   save backup: failed to copy " +
                               c.live("AppData/Local/Game/big.sav") +
                               ": No space left on device (os error 28)"));
    ASSERT_TRUE(snapshot.taken);
    EXPECT_FALSE(base::lstat_path(c.saved("AppData/Local/Game/big.sav")));
    EXPECT_EQ(read_text(c.saved("AppData/Local/Game/small.sav")), "small");
}

TEST(SaveData, RestoreIntoAFullProfileKeepsTheBackup) {
    Compat c;
    make_dir(c.live("AppData"));
    Tmpfs profile_fs(c.live("AppData"), "size=256k");
    ASSERT_TRUE(profile_fs.ok());
    write_text(c.live("AppData/Local/Game/big.sav"), std::string(100 * 1024, 'b'));
    SaveSnapshot snapshot = snapshot_save_data(c.pfx, "steamuser");
    ASSERT_TRUE(snapshot.taken);
    base::remove_file(c.live("AppData/Local/Game/big.sav"));
    // Something else fills the profile's file system while the game runs.
    base::write_file(c.live("AppData/filler"), std::string(200 * 1024, 'f'));

    auto lines = capture_log([&] { check_save_data(c.pfx, "steamuser", snapshot); });
    EXPECT_TRUE(has(lines, "[WARN]   save restore: failed to restore " +
                               c.live("AppData/Local/Game/big.sav") +
                               ": No space left on device (os error 28)"));
    EXPECT_TRUE(has(lines, "[WARN]   save backup: keeping " + c.backup +
                               ": 1 missing file(s) could not be restored"));
    EXPECT_FALSE(base::lstat_path(c.live("AppData/Local/Game/big.sav")));
    EXPECT_EQ(read_text(c.saved("AppData/Local/Game/big.sav")).size(), 100u * 1024);

    // Once there is room again, the next launch gives the file back from the leftover backup.
    base::remove_file(c.live("AppData/filler"));
    lines = capture_log([&] { snapshot = snapshot_save_data(c.pfx, "steamuser"); });
    EXPECT_TRUE(
        has(lines,
            "[WARN]   save backup: restored 1 file(s) from the backup left by an earlier launch"));
    EXPECT_EQ(read_text(c.live("AppData/Local/Game/big.sav")).size(), 100u * 1024);
}

TEST(SaveData, TreeHelpers) {
    TempDir tree;
    write_text(tree / "src/a/one", "1");
    write_text(tree / "src/a/b/two", "22");
    make_dir(tree / "src/empty");
    make_link("missing", tree / "src/dangling");  // counted with its own size (7)
    make_link(".", tree / "src/a/self");          // a cycle: not walked again
    EXPECT_EQ(count_tree(tree / "src", tree.path()), (std::pair<uint32_t, uint64_t>{3, 10}));
    EXPECT_EQ(count_tree(tree / "none", tree.path()), (std::pair<uint32_t, uint64_t>{0, 0}));
    EXPECT_EQ(count_tree(tree / "src", tree / "src/a"), (std::pair<uint32_t, uint64_t>{0, 0}));

    backup_tree(tree / "src", tree / "dst", tree.path());
    EXPECT_TRUE(base::is_dir(tree / "dst/empty"));
    EXPECT_EQ(read_text(tree / "dst/a/b/two"), "22");
    EXPECT_EQ(base::read_link(tree / "dst/dangling"), "missing");

    // In a tree that is in the way, the source's layout wins: a file where a folder belongs
    // makes way. A folder that cannot be created is reported once.
    TempDir blocked;
    write_text(blocked / "dst/a", "a file where a folder belongs");
    auto lines = capture_log([&] { backup_tree(tree / "src", blocked / "dst", tree.path()); });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(read_text(blocked / "dst/a/b/two"), "22");
    write_text(blocked / "file", "a file");
    lines = capture_log([&] { backup_tree(tree / "src", blocked / "file/x", tree.path()); });
    EXPECT_EQ(lines,
              std::vector<std::string>{"[WARN]   save backup: cannot create dir " +
                                       (blocked / "file/x") + ": Not a directory (os error 20)"});

    base::remove_file(tree / "src/a/one");
    RestoreCounts counts = restore_missing(tree / "dst", tree / "src", tree.path());
    EXPECT_EQ(counts.restored, 1u);
    EXPECT_EQ(counts.unchanged, 2u);  // "two", and the dangling link, present as a link
    EXPECT_EQ(counts.failed, 0u);
    EXPECT_EQ(read_text(tree / "src/a/one"), "1");
}

}  // namespace
}  // namespace pelto::launcher::savedata
