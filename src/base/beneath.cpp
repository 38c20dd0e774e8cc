#include "base/beneath.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <vector>

#include "base/text.hpp"
#include "base/tree_walk.hpp"

namespace pelto::base {

namespace {

// Linux follows at most 40 links while resolving one path.
constexpr int kMaxLinks = 40;

// Set once openat2 turned out to be missing (an old kernel, or a sandbox's system call filter).
std::atomic<bool> g_no_openat2{false};

// Whether an EPERM from openat2 came from a system call filter rather than from the file (an
// immutable file opened for writing): the filter refuses even a path handle on `root` itself.
bool openat2_filtered(int root) {
    struct open_how how {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH;
    long fd = ::syscall(SYS_openat2, root, ".", &how, sizeof how);
    if (fd >= 0) {
        ::close(static_cast<int>(fd));
        return false;
    }
    return errno == EPERM || errno == ENOSYS;
}

std::deque<std::string> components_of(std::string_view path) {
    std::deque<std::string> parts;
    for (std::string_view part : split(path, '/')) {
        if (!part.empty() && part != ".") parts.emplace_back(part);
    }
    return parts;
}

// Where the absolute link target `target` leads below the directory `root`, relative to it;
// nothing when it leads elsewhere. Compared by canonical paths (a target that does not exist
// yet by its parent's), so that a prefix linked in by another name still counts as itself.
std::optional<std::string> inside_root(int root, const std::string& target) {
    std::optional<std::string> boundary = read_link("/proc/self/fd/" + std::to_string(root));
    std::optional<std::string> resolved = canonical(target);
    if (!resolved) {
        std::optional<std::string> parent = parent_dir(target);
        std::optional<std::string> resolved_parent = parent ? canonical(*parent) : std::nullopt;
        if (resolved_parent) resolved = join_path(*resolved_parent, file_name(target));
    }
    if (!boundary || !resolved || !path_inside(*resolved, *boundary)) return std::nullopt;
    return resolved->substr(std::min(resolved->size(), boundary->size()));
}

}  // namespace

namespace detail {

Fd open_beneath_by_walk(int root, std::string_view relative, int flags, mode_t mode, int& error) {
    error = 0;
    std::deque<std::string> todo = components_of(relative);
    std::vector<Fd> entered;  // the directories below `root` the walk stands in
    auto current = [&] { return entered.empty() ? root : entered.back().get(); };
    int links = 0;
    while (!todo.empty()) {
        std::string part = std::move(todo.front());
        todo.pop_front();
        if (part == "..") {
            if (entered.empty()) {
                error = EXDEV;
                return Fd();
            }
            entered.pop_back();
            continue;
        }
        bool last = todo.empty();
        struct stat own;
        if (::fstatat(current(), part.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(own.st_mode) && !(last && (flags & O_NOFOLLOW))) {
            std::optional<std::string> target = read_link_at(current(), part);
            if (!target) {
                error = errno;
                return Fd();
            }
            if (++links > kMaxLinks) {
                error = ELOOP;
                return Fd();
            }
            if (target->empty()) {
                error = EXDEV;
                return Fd();
            }
            if (target->front() == '/') {
                // An absolute link is followed only into the root, from the root on.
                std::optional<std::string> below = inside_root(root, *target);
                if (!below) {
                    error = EXDEV;
                    return Fd();
                }
                entered.clear();
                *target = *below;
            }
            std::deque<std::string> spliced = components_of(*target);
            todo.insert(todo.begin(), spliced.begin(), spliced.end());
            continue;
        }
        if (last) return open_file_at(current(), part, flags | O_NOFOLLOW, mode, error);
        Fd next = open_file_at(current(), part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, error);
        if (!next.valid()) return next;
        entered.push_back(std::move(next));
    }
    // The path ends at a directory the walk stands in (or it was empty).
    return open_file_at(current(), ".", flags, mode, error);
}

}  // namespace detail

Fd open_beneath(int root, std::string_view relative, int flags, mode_t mode, int& error) {
    error = 0;
    std::string path(relative.empty() ? std::string_view(".") : relative);
    if (path.find('\0') != std::string::npos) {
        error = EINVAL;
        return Fd();
    }
    if (!g_no_openat2.load(std::memory_order_relaxed)) {
        struct open_how how {};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        while (true) {
            long fd = ::syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
            if (fd >= 0) return Fd(static_cast<int>(fd));
            if (errno == EINTR || errno == EAGAIN) continue;
            // The kernel refuses every absolute link; the walk follows one that leads into
            // the root.
            if (errno == EXDEV) return detail::open_beneath_by_walk(root, path, flags, mode, error);
            if (errno != ENOSYS && !(errno == EPERM && openat2_filtered(root))) {
                error = errno;
                return Fd();
            }
            g_no_openat2.store(true, std::memory_order_relaxed);
            break;
        }
    }
    return detail::open_beneath_by_walk(root, path, flags, mode, error);
}

Fd make_dirs_beneath(int root, std::string_view relative, int& error) {
    // Most directories are there already: one call then finds them.
    Fd existing = open_beneath(root, relative, O_RDONLY | O_DIRECTORY, 0, error);
    if (existing.valid() || error != ENOENT) return existing;
    Fd dir = open_beneath(root, "", O_RDONLY | O_DIRECTORY, 0, error);
    std::string path;
    for (const std::string& part : components_of(relative)) {
        if (!dir.valid()) return dir;
        path = path.empty() ? part : join_path(path, part);
        Fd next = open_beneath(root, path, O_RDONLY | O_DIRECTORY, 0, error);
        if (!next.valid() && error == ENOENT) {
            // Made in the directory reached so far, which is known to lie beneath the root.
            if (::mkdirat(dir.get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
                error = errno;
                return Fd();
            }
            next = open_beneath(root, path, O_RDONLY | O_DIRECTORY, 0, error);
        }
        dir = std::move(next);
    }
    return dir;
}

Fd open_root_dir(const std::string& path, int& error) {
    Fd dir = open_file(path, O_RDONLY | O_DIRECTORY, 0, error);
    if (dir.valid() || error != ENOENT) return dir;
    if (error = make_dirs(path); error != 0) return dir;
    return open_file(path, O_RDONLY | O_DIRECTORY, 0, error);
}

std::string why_outside(const std::string& root, std::string_view relative) {
    std::optional<std::string> boundary = canonical(root);
    std::string path = root;
    for (const std::string& part : components_of(relative)) {
        path = join_path(path, part);
        auto own = lstat_path(path);
        if (!own || !S_ISLNK(own->st_mode)) continue;
        std::optional<std::string> target = canonical(path);
        if (!boundary || !target || !path_inside(*target, *boundary)) {
            return concat(lossy_utf8(path), " is a link that leads out of ", lossy_utf8(root));
        }
    }
    return concat(lossy_utf8(join_path(root, relative)), " leads out of ", lossy_utf8(root));
}

}  // namespace pelto::base
