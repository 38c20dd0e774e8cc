#include "base/tree_walk.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <set>
#include <utility>

#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::base {

namespace {

using DirId = std::pair<dev_t, ino_t>;

struct Walk {
    const std::string& boundary;
    const WalkVisitor& visitor;
    std::set<DirId> visited;
    bool complete = true;

    void directory(const std::string& path, const std::string& relative) {
        int error = 0;
        std::vector<DirEntry> entries = list_dir(path, error);
        if (error != 0) complete = false;
        for (const DirEntry& entry : entries) {
            WalkItem item{join_path(path, entry.name),
                          relative.empty() ? entry.name : concat(relative, "/", entry.name), 0};
            auto own = lstat_path(item.path);
            if (own) item.own_size = own->st_size;
            auto followed = own && S_ISLNK(own->st_mode) ? stat_path(item.path) : own;
            if (!followed || !S_ISDIR(followed->st_mode)) {
                visitor.file(item);
                continue;
            }
            // A real directory below an inside directory is inside; a linked one must prove it.
            if (S_ISLNK(own->st_mode)) {
                auto target = canonical(item.path);
                if (!target || !path_inside(*target, boundary)) continue;
            }
            if (!visited.insert({followed->st_dev, followed->st_ino}).second) continue;
            if (!visitor.enter_dir(item)) continue;
            directory(item.path, item.relative);
            visitor.leave_dir(item);
        }
    }
};

}  // namespace

bool path_inside(const std::string& path, const std::string& boundary) {
    if (boundary == "/") return !path.empty() && path.front() == '/';
    if (path.size() < boundary.size() || path.compare(0, boundary.size(), boundary) != 0) {
        return false;
    }
    return path.size() == boundary.size() || path[boundary.size()] == '/';
}

WalkResult walk_inside(const std::string& root, const std::string& boundary,
                       const WalkVisitor& visitor) {
    auto root_stat = stat_path(root);
    if (!root_stat || !S_ISDIR(root_stat->st_mode)) return {};
    auto canonical_root = canonical(root);
    auto canonical_boundary = canonical(boundary);
    if (!canonical_root || !canonical_boundary ||
        !path_inside(*canonical_root, *canonical_boundary)) {
        return {};
    }
    Walk walk{*canonical_boundary, visitor, {}};
    walk.visited.insert({root_stat->st_dev, root_stat->st_ino});
    walk.directory(root, "");
    return {true, walk.complete};
}

}  // namespace pelto::base
