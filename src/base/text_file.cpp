#include "base/text_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::base {

namespace {

// Far above any real registry; a larger file is something else (a sparse file, a device
// image) and scanning it would hold the launch up for nothing.
constexpr off_t kScanLimit = off_t{1} << 30;

// Small enough to stay in the pages the process has touched already, large enough that a
// registry of megabytes takes a few dozen reads.
constexpr size_t kScanBuffer = 32 * 1024;

void warn_too_large(const std::string& path, uint64_t limit) {
    log_warn(concat(lossy_utf8(path), " is larger than ", limit, " bytes — not read"));
}

FileIdentity identity_from(const struct stat& st) {
    return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

}  // namespace

int read_text_file(const std::string& path, std::string& out) {
    int error = read_file(path, out);
    if (error == EFBIG) warn_too_large(path, kReadLimit);
    return error;
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

std::optional<FileIdentity> identity_of(const std::string& path) {
    auto st = stat_path(path);
    if (!st) return std::nullopt;
    return identity_from(*st);
}

int scan_file(const std::string& path, const std::function<bool(std::string_view)>& piece,
              FileIdentity* identity) {
    int error = 0;
    Fd fd = open_regular(path, O_RDONLY, 0, error);
    if (!fd.valid()) return error;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (st.st_size > kScanLimit) {
        warn_too_large(path, static_cast<uint64_t>(kScanLimit));
        return EFBIG;
    }
    if (identity != nullptr) *identity = identity_from(st);
    std::unique_ptr<char[]> buffer(new char[kScanBuffer]);
    while (true) {
        ssize_t got = ::read(fd.get(), buffer.get(), kScanBuffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        if (!piece(std::string_view(buffer.get(), static_cast<size_t>(got)))) return 0;
    }
}

int scan_lines(const std::string& path, const std::function<bool(std::string_view)>& line,
               FileIdentity* identity) {
    std::string carried;  // the start of a line that continues in the next piece
    bool stopped = false;
    int error = scan_file(
        path,
        [&](std::string_view piece) {
            while (!piece.empty()) {
                size_t end = piece.find('\n');
                if (end == std::string_view::npos) {
                    carried.append(piece);
                    return true;
                }
                bool go_on;
                if (carried.empty()) {
                    go_on = line(piece.substr(0, end));
                } else {
                    carried.append(piece.substr(0, end));
                    go_on = line(carried);
                    carried.clear();
                }
                piece.remove_prefix(end + 1);
                if (!go_on) {
                    stopped = true;
                    return false;
                }
            }
            return true;
        },
        identity);
    if (error == 0 && !stopped && !carried.empty()) line(carried);
    return error;
}

int file_contains(const std::string& path, std::string_view needle, bool& found) {
    found = needle.empty();
    if (found) return 0;
    // The last bytes seen before the current piece, so that a needle split between two pieces
    // is found too.
    const size_t overlap = needle.size() - 1;
    std::string window;
    return scan_file(path, [&](std::string_view piece) {
        window.append(piece.substr(0, std::min(piece.size(), overlap)));
        if (window.find(needle) != std::string::npos || piece.find(needle) != std::string::npos) {
            found = true;
            return false;
        }
        if (piece.size() >= overlap) {
            window.assign(piece.substr(piece.size() - overlap));
        } else if (window.size() > overlap) {
            window.erase(0, window.size() - overlap);
        }
        return true;
    });
}

}  // namespace pelto::base
