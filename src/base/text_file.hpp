// Reading the text files the launcher keeps or is given (env_config, its own records, the
// prefix's registry). Small files are read whole, with one WARN line when a file is too large
// to be a real one. Large ones (a registry of megabytes) are scanned through one small buffer
// instead: a fresh buffer of the file's size costs a page fault per page, which on a virtual
// machine makes a read of the registry cost milliseconds.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pelto::base {

/// Reads the whole regular file at `path` as `read_file` does; a file over the size limit is
/// not read and gets one WARN line naming it. Returns errno or 0.
int read_text_file(const std::string& path, std::string& out);

/// What a file's status tells of its content: a file that is rewritten or replaced differs in
/// at least one of these.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};

    bool operator==(const FileIdentity& other) const;
};

/// The identity of `path` (links followed); nothing when it cannot be queried.
std::optional<FileIdentity> identity_of(const std::string& path);

/// Reads the regular file at `path` piece by piece and hands each piece to `piece`, in order,
/// until the end or until it returns false. A FIFO or a device gives EINVAL without blocking; a
/// file over 1 GiB is not read (EFBIG, one WARN line). `identity` receives the identity of the
/// file as it was opened. Returns errno or 0.
int scan_file(const std::string& path, const std::function<bool(std::string_view)>& piece,
              FileIdentity* identity = nullptr);

/// `scan_file` by lines: each line without its line feed (a last line may lack one).
int scan_lines(const std::string& path, const std::function<bool(std::string_view)>& line,
               FileIdentity* identity = nullptr);

/// Whether the file at `path` holds `needle` anywhere; `found` is set when it returns 0.
int file_contains(const std::string& path, std::string_view needle, bool& found);

}  // namespace pelto::base
