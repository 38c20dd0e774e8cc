#include "base/posix.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pelto::base {

namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// A hidden name beside `name` that no other thread or process of the launcher uses.
std::string scratch_name(std::string_view name) {
    static std::atomic<unsigned> counter{0};
    return "." + std::string(name) + ".pelto-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

// A hidden sibling of `path` that no other thread or process of the launcher uses.
std::string concat_scratch_name(const std::string& path) {
    std::string_view name = file_name(path);
    return path.substr(0, path.size() - name.size()) + scratch_name(name);
}

int close_retry(int fd) {
    // close() must not be retried on EINTR on Linux: the descriptor is gone either way.
    return ::close(fd);
}

int remove_entry_tree(int parent_fd, const char* name);

int remove_dir_contents(int dir_fd) {
    int first_error = 0;
    int dup_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0) return errno;
    DIR* dir = ::fdopendir(dup_fd);
    if (dir == nullptr) {
        int err = errno;
        close_retry(dup_fd);
        return err;
    }
    std::vector<std::string> names;
    while (true) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) first_error = errno;  // the directory cannot be emptied whole
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        int err = remove_entry_tree(dir_fd, name.c_str());
        if (err != 0 && first_error == 0) first_error = err;
    }
    return first_error;
}

int remove_entry_tree(int parent_fd, const char* name) {
    if (::unlinkat(parent_fd, name, 0) == 0) return 0;
    int err = errno;
    if (err == ENOENT) return 0;
    if (err != EISDIR && err != EPERM) return err;
    // A directory: open it without following a link, empty it, then remove it.
    int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOTDIR ? err : errno;
    Fd dir_fd(fd);
    int first_error = remove_dir_contents(dir_fd.get());
    if (::unlinkat(parent_fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        if (first_error == 0) first_error = errno;
    }
    return first_error;
}

}  // namespace

std::string error_text(int error) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    std::string out(text != nullptr ? text : "Unknown error");
    out += " (os error ";
    out += std::to_string(error);
    out += ')';
    return out;
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) close_retry(fd_);
    fd_ = fd;
}

Fd open_file(const std::string& path, int flags, mode_t mode, int& error) {
    return open_file_at(AT_FDCWD, path, flags, mode, error);
}

Fd open_file_at(int dir, const std::string& name, int flags, mode_t mode, int& error) {
    error = 0;
    if (has_nul(name)) {
        error = EINVAL;
        return Fd();
    }
    while (true) {
        int fd = ::openat(dir, name.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) break;
    }
    error = errno;
    return Fd();
}

Fd open_regular(const std::string& path, int flags, mode_t mode, int& error) {
    return open_regular_at(AT_FDCWD, path, flags, mode, error);
}

Fd open_regular_at(int dir, const std::string& name, int flags, mode_t mode, int& error) {
    bool truncate = (flags & O_TRUNC) != 0;
    Fd fd = open_file_at(dir, name, (flags & ~O_TRUNC) | O_NONBLOCK, mode, error);
    if (!fd.valid()) return fd;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        error = errno;
        return Fd();
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return Fd();
    }
    if (truncate && ::ftruncate(fd.get(), 0) != 0) {
        error = errno;
        return Fd();
    }
    if ((flags & O_NONBLOCK) == 0) {
        int status_flags = ::fcntl(fd.get(), F_GETFL);
        if (status_flags != -1) (void)::fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK);
    }
    return fd;
}

Fd open_own_dir_at(int dir, const std::string& name, bool create, int& error) {
    error = 0;
    if (has_nul(name)) {
        error = EINVAL;
        return Fd();
    }
    if (create && ::mkdirat(dir, name.c_str(), 0777) != 0 && errno != EEXIST) {
        error = errno;
        return Fd();
    }
    Fd fd = open_file_at(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, error);
    if (!fd.valid()) return fd;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        error = errno;
        return Fd();
    }
    if (st.st_uid != ::getuid()) {
        error = EPERM;
        return Fd();
    }
    return fd;
}

int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}

std::optional<struct stat> stat_path(const std::string& path) {
    struct stat st;
    if (has_nul(path) || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

std::optional<struct stat> lstat_path(const std::string& path) {
    struct stat st;
    if (has_nul(path) || ::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

bool exists(const std::string& path) { return stat_path(path).has_value(); }

bool is_dir(const std::string& path) {
    auto st = stat_path(path);
    return st && S_ISDIR(st->st_mode);
}

bool can_write(const std::string& path) {
    return !has_nul(path) && ::access(path.c_str(), W_OK) == 0;
}

int make_dirs(const std::string& path) {
    if (path.empty()) return ENOENT;
    if (has_nul(path)) return EINVAL;
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    int err = errno;
    if (err == EEXIST) return is_dir(path) ? 0 : EEXIST;
    if (err != ENOENT) return err;
    auto parent = parent_dir(path);
    if (!parent || parent->empty()) return err;
    int parent_err = make_dirs(*parent);
    if (parent_err != 0) return parent_err;
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    err = errno;
    if (err == EEXIST && is_dir(path)) return 0;
    return err;
}

int read_file(const std::string& path, std::string& out, size_t limit) {
    out.clear();
    int error = 0;
    Fd fd = open_regular(path, O_RDONLY, 0, error);
    if (!fd.valid()) return error;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errno;
    size_t expected = static_cast<size_t>(st.st_size);
    if (expected > limit) return EFBIG;
    // One allocation of the size the file has; growing a buffer step by step would copy a
    // large file several times over.
    out.resize(expected);
    size_t filled = 0;
    while (true) {
        if (filled == out.size()) {
            // The file may have grown since its status was taken.
            char probe[4096];
            ssize_t got = ::read(fd.get(), probe, sizeof probe);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return errno;
            if (got == 0) return 0;
            if (out.size() + static_cast<size_t>(got) > limit) return EFBIG;
            out.append(probe, static_cast<size_t>(got));
            filled = out.size();
            continue;
        }
        ssize_t got = ::read(fd.get(), out.data() + filled, out.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) {  // the file shrank
            out.resize(filled);
            return 0;
        }
        filled += static_cast<size_t>(got);
    }
}

int write_file(const std::string& path, std::string_view data) {
    int error = 0;
    Fd fd = open_regular(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, error);
    if (!fd.valid()) return error;
    return write_all(fd.get(), data);
}

std::string own_scratch_name(std::string_view name, pid_t pid) {
    return "." + std::string(name) + "." + std::to_string(pid > 0 ? pid : ::getpid());
}

Fd create_own_scratch_at(int dir, std::string_view name, int flags, int& error) {
    std::string scratch = own_scratch_name(name);
    (void)::unlinkat(dir, scratch.c_str(), 0);
    return open_file_at(dir, scratch, flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666, error);
}

int append_file(const std::string& path, std::string_view data) {
    int error = 0;
    Fd fd = open_regular(path, O_WRONLY | O_APPEND | O_NOFOLLOW, 0, error);
    if (!fd.valid()) return error;
    return write_all(fd.get(), data);
}

namespace {

// Copies only the data of a file with holes (fewer blocks than its size), so that the copy
// keeps them: a template's sparse file would otherwise take its whole size on disk in every
// prefix. Nothing when the file system cannot tell where the data is.
std::optional<int> copy_sparse(int in, int out, off_t size) {
    off_t at = 0;
    while (at < size) {
        off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // only a hole is left
        if (data < 0) return at == 0 ? std::nullopt : std::optional<int>(errno);
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0) return errno;
        for (off_t from = data, to = data; from < hole;) {
            ssize_t sent =
                ::copy_file_range(in, &from, out, &to, static_cast<size_t>(hole - from), 0);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) {
                // Another file system, or an old kernel: the piece by hand.
                if (sent < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
                    errno != EOPNOTSUPP) {
                    return errno;
                }
                char buffer[65536];
                ssize_t got =
                    ::pread(in, buffer, std::min<off_t>(sizeof buffer, hole - from), from);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) return got < 0 ? errno : 0;  // the file shrank while copying
                for (ssize_t done = 0; done < got;) {
                    ssize_t put = ::pwrite(out, buffer + done, static_cast<size_t>(got - done), to);
                    if (put < 0 && errno == EINTR) continue;
                    if (put < 0) return errno;
                    done += put;
                    to += put;
                }
                from += got;
            }
        }
        at = hole;
    }
    return ::ftruncate(out, size) == 0 ? 0 : errno;
}

int copy_dense(int in, int out, off_t size);

// Copies the open regular file `in` to the open file `out`; errno or 0. A file system that can
// share the blocks (btrfs, XFS) makes a clone: no data is copied, and a write to either file
// later gives that one blocks of its own.
int copy_contents(int in, int out, const struct stat& st) {
    off_t size = st.st_size;
    if (size > 0 && ::ioctl(out, FICLONE, in) == 0) return 0;
    if (st.st_blocks * 512 < size) {
        if (std::optional<int> sparse = copy_sparse(in, out, size)) return *sparse;
        if (::lseek(in, 0, SEEK_SET) < 0) return errno;
    }
    return copy_dense(in, out, size);
}

int copy_dense(int in, int out, off_t size) {
    off_t remaining = size;
    bool fallback = false;
    while (remaining > 0) {
        ssize_t sent =
            ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(remaining), 0);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
                fallback = true;
                break;
            }
            return errno;
        }
        if (sent == 0) break;  // the file shrank while copying
        remaining -= sent;
    }
    if (!fallback) return 0;
    char buffer[65536];
    while (true) {
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        int err = write_all(out, std::string_view(buffer, static_cast<size_t>(got)));
        if (err != 0) return err;
    }
}

// Creates `name` in `dir` (it must not exist) with the content of `in`; removes it again on
// failure.
int write_new_copy(int in, const struct stat& st, int dir, const std::string& name) {
    mode_t perms = st.st_mode & 07777;
    int error = 0;
    Fd out = open_file_at(dir, name, O_WRONLY | O_CREAT | O_EXCL, perms, error);
    if (!out.valid()) return error;
    // The umask narrowed the bits of the open. A file system without Unix modes cannot take
    // them at all, which costs nothing of the content.
    if (::fchmod(out.get(), perms) != 0 && errno != EPERM && errno != ENOTSUP) error = errno;
    if (error == 0) error = copy_contents(in, out.get(), st);
    out.reset();
    if (error != 0) ::unlinkat(dir, name.c_str(), 0);
    return error;
}

}  // namespace

int copy_file(const std::string& src, const std::string& dst, CopyTarget target) {
    int error = 0;
    Fd in = open_regular(src, O_RDONLY, 0, error);
    if (!in.valid()) return error;
    struct stat st;
    if (::fstat(in.get(), &st) != 0) return errno;
    if (has_nul(dst)) return EINVAL;
    if (target == CopyTarget::CreateNew) return write_new_copy(in.get(), st, AT_FDCWD, dst);

    std::string destination = dst;
    if (target == CopyTarget::WriteThroughLinks) {
        if (auto own = lstat_path(dst); own && S_ISLNK(own->st_mode)) {
            // The file the link leads to is what gets replaced; a dangling link is replaced
            // itself, so nothing is ever created wherever it points.
            if (auto resolved = canonical(dst)) destination = *resolved;
        }
    }
    std::string scratch = concat_scratch_name(destination);
    error = write_new_copy(in.get(), st, AT_FDCWD, scratch);
    if (error != 0) return error;
    error = rename_path(scratch, destination);
    if (error != 0) ::unlink(scratch.c_str());
    return error;
}

int copy_into(int src, int dir, const std::string& name) {
    struct stat st;
    if (::fstat(src, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    if (::lseek(src, 0, SEEK_SET) < 0) return errno;
    std::string scratch = scratch_name(name);
    int error = write_new_copy(src, st, dir, scratch);
    if (error != 0) return error;
    if (::renameat(dir, scratch.c_str(), dir, name.c_str()) != 0) {
        error = errno;
        ::unlinkat(dir, scratch.c_str(), 0);
    }
    return error;
}

int copy_new_at(int src_dir, const char* src_name, int dst_dir, const char* dst_name) {
    int error = 0;
    Fd in = open_regular_at(src_dir, src_name, O_RDONLY | O_NOFOLLOW, 0, error);
    if (!in.valid()) return error;
    struct stat st;
    if (::fstat(in.get(), &st) != 0) return errno;
    return write_new_copy(in.get(), st, dst_dir, dst_name);
}

int hard_link(const std::string& src, const std::string& dst) {
    if (has_nul(src) || has_nul(dst)) return EINVAL;
    return ::linkat(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), 0) == 0 ? 0 : errno;
}

int hard_link_at(int src_dir, const char* src_name, int dst_dir, const char* dst_name) {
    return ::linkat(src_dir, src_name, dst_dir, dst_name, 0) == 0 ? 0 : errno;
}

int make_symlink(const std::string& target, const std::string& path) {
    if (has_nul(target) || has_nul(path)) return EINVAL;
    return ::symlink(target.c_str(), path.c_str()) == 0 ? 0 : errno;
}

std::optional<std::string> read_link(const std::string& path) {
    return read_link_at(AT_FDCWD, path);
}

std::optional<std::string> read_link_at(int dir, const std::string& name) {
    if (has_nul(name)) return std::nullopt;
    std::string buffer(256, '\0');
    while (true) {
        ssize_t got = ::readlinkat(dir, name.c_str(), buffer.data(), buffer.size());
        if (got < 0) return std::nullopt;
        if (static_cast<size_t>(got) < buffer.size()) {
            buffer.resize(static_cast<size_t>(got));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<std::string> current_dir() {
    std::string buffer(256, '\0');
    while (true) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::strlen(buffer.c_str()));
            // Linux marks a directory that is no longer reachable with "(unreachable)".
            if (buffer.empty() || buffer.front() != '/') return std::nullopt;
            return buffer;
        }
        if (errno != ERANGE) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<std::string> canonical(const std::string& path) {
    if (has_nul(path)) return std::nullopt;
    // The kernel names what an open descriptor refers to by its canonical path: two calls,
    // where realpath asks for every component of the path in turn.
    int error = 0;
    Fd fd = open_file(path, O_PATH, 0, error);
    if (!fd.valid()) return std::nullopt;
    if (auto resolved = read_link("/proc/self/fd/" + std::to_string(fd.get()));
        resolved && !resolved->empty() && resolved->front() == '/' &&
        resolved->find(" (deleted)") == std::string::npos) {
        return resolved;
    }
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string out(resolved);
    std::free(resolved);
    return out;
}

int remove_file(const std::string& path) {
    if (has_nul(path)) return EINVAL;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int rename_path(const std::string& from, const std::string& to) {
    if (has_nul(from) || has_nul(to)) return EINVAL;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int replace_file(const std::string& path, std::string_view data) {
    if (has_nul(path)) return EINVAL;
    // A name of its own, created new: nothing planted at a guessable name is followed.
    std::string scratch = concat_scratch_name(path);
    int error = 0;
    Fd fd = open_file(scratch, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666, error);
    if (!fd.valid()) return error;
    error = write_all(fd.get(), data);
    fd.reset();
    if (error == 0) error = rename_path(scratch, path);
    if (error != 0) ::unlink(scratch.c_str());
    return error;
}

int remove_tree(const std::string& path) {
    if (has_nul(path)) return EINVAL;
    if (path.empty()) return ENOENT;
    return remove_entry_tree(AT_FDCWD, path.c_str());
}

int remove_tree_at(int dir, const std::string& name) {
    if (has_nul(name) || name.find('/') != std::string::npos) return EINVAL;
    return remove_entry_tree(dir, name.c_str());
}

namespace {

// Runs the lock command `command` for a lock of `type` on byte `index`; errno or 0.
int byte_lock(int fd, int command, off_t index, short& type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = index;
    lock.l_len = 1;
    while (::fcntl(fd, command, &lock) != 0) {
        if (errno != EINTR) return errno == EACCES ? EAGAIN : errno;
    }
    type = lock.l_type;
    return 0;
}

int set_byte_lock(int fd, off_t index, short type) {
    return byte_lock(fd, F_OFD_SETLK, index, type);
}

}  // namespace

int try_lock_byte(int fd, off_t index, bool shared) {
    return set_byte_lock(fd, index, shared ? F_RDLCK : F_WRLCK);
}

int unlock_byte(int fd, off_t index) { return set_byte_lock(fd, index, F_UNLCK); }

int byte_locked_by_other(int fd, off_t index, bool& locked) {
    short type = F_WRLCK;
    int error = byte_lock(fd, F_OFD_GETLK, index, type);
    locked = error == 0 && type != F_UNLCK;
    return error;
}

std::vector<DirEntry> list_dir(const std::string& path, int& error) {
    std::vector<DirEntry> entries;
    Fd fd = open_file(path, O_RDONLY | O_DIRECTORY, 0, error);
    if (!fd.valid()) return entries;
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) {
        error = errno;
        return entries;
    }
    fd.release();  // the DIR stream owns it now
    while (true) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            // The end of the listing, or a read that failed: then what came so far is not all.
            if (errno != 0) error = errno;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        entries.push_back(DirEntry{entry->d_name, entry->d_type});
    }
    ::closedir(dir);
    return entries;
}

std::vector<DirEntry> list_dir(const std::string& path) {
    int ignored = 0;
    return list_dir(path, ignored);
}

std::string join_path(std::string_view dir, std::string_view name) {
    std::string out(dir);
    if (!out.empty() && out.back() != '/') out += '/';
    out += name;
    return out;
}

std::optional<std::string> parent_dir(std::string_view path) {
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) return std::nullopt;  // "" or "/"
    std::string_view trimmed = path.substr(0, end);
    size_t slash = trimmed.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    size_t parent_end = slash;
    while (parent_end > 0 && trimmed[parent_end - 1] == '/') --parent_end;
    if (parent_end == 0) return std::string("/");
    return std::string(trimmed.substr(0, parent_end));
}

std::string_view file_name(std::string_view path) {
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    std::string_view trimmed = path.substr(0, end);
    size_t slash = trimmed.rfind('/');
    return slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
}

uint64_t elapsed_ms(Clock::time_point since) {
    auto now = Clock::now();
    if (now < since) return 0;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count());
}

void sleep_ms(long ms) {
    struct timespec request {
        ms / 1000, (ms % 1000) * 1000000L
    };
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &request, &request) == EINTR) {
    }
}

}  // namespace pelto::base
