// Folder base: the ground of the launcher (POSIX calls, processes, text, the log, tree walks).
// Its place among the folders: src/layers.txt.
//
// The one thin layer over the POSIX calls the launcher makes. Every descriptor is opened
// close-on-exec in the same call, EINTR is retried, reads and writes are looped, and errors
// come back as errno values (0 means success) that `error_text` turns into log text.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelto::base {

/// The log form of an errno value: "No such file or directory (os error 2)".
std::string error_text(int error);

/// Owns one file descriptor; closes it on destruction. Move-only.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    /// Gives up ownership and returns the descriptor.
    int release();
    /// Closes the owned descriptor (errors ignored) and takes `fd` instead.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

/// Opens `path` with O_CLOEXEC added to `flags`; sets `error` (errno) on failure. A path
/// holding a NUL byte fails with EINVAL.
Fd open_file(const std::string& path, int flags, mode_t mode, int& error);
/// Opens `path` as `open_file` does, but only a regular file: the open never blocks (a FIFO
/// with no peer, a device), anything that is not a regular file is closed again with EINVAL,
/// and O_TRUNC is applied only once the file is known to be regular.
Fd open_regular(const std::string& path, int flags, mode_t mode, int& error);
/// `open_file` and `open_regular` for `name` relative to the open directory `dir`.
Fd open_file_at(int dir, const std::string& name, int flags, mode_t mode, int& error);
Fd open_regular_at(int dir, const std::string& name, int flags, mode_t mode, int& error);
/// Opens the directory `name` relative to `dir` (AT_FDCWD for a path), creating it first (mode
/// 0777 before the umask) when `create`, and only when it is a real directory owned by this
/// user: a shared place such as "/tmp" may hold a link or someone else's directory there.
/// Sets `error`: ELOOP or ENOTDIR for a link or a file, EPERM for another owner.
Fd open_own_dir_at(int dir, const std::string& name, bool create, int& error);

/// Writes all of `data` to `fd`, looping over short writes and EINTR; returns errno or 0.
int write_all(int fd, std::string_view data);

/// Status of `path` following symbolic links; nothing when it cannot be queried.
std::optional<struct stat> stat_path(const std::string& path);
/// Status of `path` itself (links not followed); nothing when it cannot be queried.
std::optional<struct stat> lstat_path(const std::string& path);
/// True when a status query that follows links succeeds.
bool exists(const std::string& path);
/// True when `path` (links followed) is a directory.
bool is_dir(const std::string& path);
/// True when an access check for writing `path` succeeds (a read-only mount fails it).
bool can_write(const std::string& path);

/// Creates `path` and its missing parents with mode 0777 (before the umask); an existing
/// directory is success. Returns errno or 0.
int make_dirs(const std::string& path);

/// The largest file `read_file` reads whole: far above any text file the launcher reads.
inline constexpr size_t kReadLimit = size_t{64} << 20;
/// Reads the whole regular file at `path` into `out` in one buffer sized from its status. A
/// FIFO, a device or a directory gives EINVAL without blocking; a file larger than `limit`
/// gives EFBIG. Returns errno or 0.
int read_file(const std::string& path, std::string& out, size_t limit = kReadLimit);
/// Creates or truncates the regular file `path` (mode 0666 before the umask; a special file
/// there is refused without blocking) and writes `data`; errno or 0.
int write_file(const std::string& path, std::string_view data);
/// Appends `data` to an existing regular file (never creates it, never follows a link at
/// `path`, never blocks on a special file). Returns errno or 0.
int append_file(const std::string& path, std::string_view data);

/// Copies the contents of the regular file `src` (links followed; a FIFO or a device gives
/// EINVAL without blocking) to `dst`. The copy is written to a hidden sibling and renamed into
/// place, so a failed copy never leaves an empty or partial file where a good one was, and
/// other hard links of the old file keep their content. `dst` takes the permission bits of
/// `src` where the file system keeps them, and the current time as modification time.
/// `WriteThroughLinks`: a link at `dst` that resolves is followed, the file it leads to is
/// replaced; `ReplaceLink`: a link at `dst` is replaced itself, never followed; `CreateNew`: any
/// existing entry at `dst` gives EEXIST, and a failed copy is removed again.
/// A dangling link at `dst` is always replaced, never written through. Returns errno or 0.
enum class CopyTarget { WriteThroughLinks, ReplaceLink, CreateNew };
int copy_file(const std::string& src, const std::string& dst,
              CopyTarget target = CopyTarget::WriteThroughLinks);

/// Copies the open regular file `src`, from its start, into the directory `dir` as `name`:
/// written to a hidden sibling and renamed over `name`, so whatever stands there (a link, a
/// special file) is replaced, never followed or written. Returns errno or 0.
int copy_into(int src, int dir, const std::string& name);

/// Copies the regular file `src_name` of the open directory `src_dir` (never through a link)
/// to the new file `dst_name` of `dst_dir`: a copy-on-write clone where the file system can
/// make one, a copy of the contents elsewhere, with the source's permission bits. Whatever
/// stands at `dst_name` gives EEXIST and is left alone (a link there is never followed); a copy
/// that fails is removed again. Returns errno or 0.
int copy_new_at(int src_dir, const char* src_name, int dst_dir, const char* dst_name);

/// Hard link `dst` to `src` without following `src` if it is a link; errno or 0.
int hard_link(const std::string& src, const std::string& dst);
/// The same with names relative to open directories (no path walk per call); errno or 0.
int hard_link_at(int src_dir, const char* src_name, int dst_dir, const char* dst_name);
/// Creates the symbolic link `path` holding `target`; errno or 0.
int make_symlink(const std::string& target, const std::string& path);
/// The target text of the link `path`; nothing when it cannot be read.
std::optional<std::string> read_link(const std::string& path);
/// The same for `name` relative to the open directory `dir`.
std::optional<std::string> read_link_at(int dir, const std::string& name);
/// The canonical absolute path (all links resolved); nothing when it cannot be had.
std::optional<std::string> canonical(const std::string& path);
/// The process's working directory; nothing when it cannot be had (it was removed, say).
std::optional<std::string> current_dir();
/// Removes a non-directory entry; errno or 0.
int remove_file(const std::string& path);
/// Atomically renames `from` to `to`, replacing an existing `to`; errno or 0.
int rename_path(const std::string& from, const std::string& to);
/// The hidden name ".{name}.{pid}" under which a process writes the file `name` of a shared
/// directory until it renames it into place, so that processes at work at once never share a
/// file; `pid` is this process's own when not given.
std::string own_scratch_name(std::string_view name, pid_t pid = 0);
/// Creates `own_scratch_name(name)` in `dir` anew with `flags` (O_CREAT, O_EXCL, O_NOFOLLOW
/// added; mode 0666 before the umask): a leftover of an earlier process with this pid is
/// removed first. Sets `error` when it cannot be made.
Fd create_own_scratch_at(int dir, std::string_view name, int flags, int& error);

/// Writes `data` to a sibling of `path` and renames it over `path`: a link at `path` and the
/// other hard links of the old file are left untouched, and no reader sees half a file.
/// Returns errno or 0 (the sibling is removed again on failure).
int replace_file(const std::string& path, std::string_view data);

/// Removes `path` and everything below it. Never follows a symbolic link: a link is removed
/// as a link, and descent happens only through real directories opened with O_NOFOLLOW.
/// A missing `path` is success. Returns the first errno met, or 0.
int remove_tree(const std::string& path);

/// `remove_tree` for the entry `name` (one component) of the open directory `dir`.
int remove_tree_at(int dir, const std::string& name);

/// Takes an exclusive (or, with `shared`, a shared) lock on byte `index` of the open file `fd`,
/// or turns the lock held there into that kind. The lock belongs to the open file description
/// (threads share it, a child never inherits it) and ends when that is closed. Never waits.
/// Returns errno (EAGAIN while another holds a lock in the way) or 0.
int try_lock_byte(int fd, off_t index, bool shared = false);
/// Releases the lock on byte `index` of `fd`; errno or 0.
int unlock_byte(int fd, off_t index);
/// Whether another open file description holds a lock on byte `index` of `fd` that an exclusive
/// lock would conflict with; the locks of `fd` itself never count, and nothing is changed.
/// Returns errno or 0.
int byte_locked_by_other(int fd, off_t index, bool& locked);

/// One directory entry as the listing reports it.
struct DirEntry {
    std::string name;
    unsigned char type;  // DT_* value; DT_UNKNOWN when the file system does not say
};
/// Lists `path` without "." and ".."; sets `error` when the directory cannot be opened, or when
/// reading it failed part of the way (the entries read until then are returned).
std::vector<DirEntry> list_dir(const std::string& path, int& error);
/// Lists `path`, treating a directory that cannot be listed as empty.
std::vector<DirEntry> list_dir(const std::string& path);

/// "{dir}/{name}" (no separator added when `dir` is empty or already ends with "/").
std::string join_path(std::string_view dir, std::string_view name);
/// The parent directory by path components; nothing for "/", "" or a bare name with no parent.
/// A bare name "a" has the empty parent "" (which never exists).
std::optional<std::string> parent_dir(std::string_view path);
/// The last component ("" for "/" or an empty path); trailing slashes are ignored.
std::string_view file_name(std::string_view path);

using Clock = std::chrono::steady_clock;
/// Whole milliseconds from `since` to now (0 when the clock reads earlier).
uint64_t elapsed_ms(Clock::time_point since);
/// Sleeps for `ms` milliseconds on the monotonic clock, resuming after signals.
void sleep_ms(long ms);

}  // namespace pelto::base
