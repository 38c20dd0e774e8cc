// Putting component files into a prefix: the DLL sets, Steam's client files and the bridge
// programs all go through one copy that skips what is current, counts, replaces a file in one
// step (a copy that fails leaves the old file) and never writes through a link that leads out
// of the prefix, wherever on the path that link stands.
#pragma once

#include <sys/stat.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelto::launcher::components {

/// True when `destination` needs no copy from `source`: both exist (links followed), sizes
/// match and the destination is not older. False when either is missing.
bool is_current(const std::string& source, const std::string& destination);
/// The same rule on two file statuses.
bool is_current(const struct stat& source, const struct stat& destination);

/// One file to put in place: `source` (links followed) as `name` in the destination directory.
struct FileToDeploy {
    std::string source;
    std::string name;
};

/// What a copy does with a link that stands at a file's name: replace the link itself (the
/// DLL sets), or write through it when it leads to a regular file inside the prefix (the
/// bridge programs, which a player may have linked to a copy of their own).
enum class LinkAtName { Replace, FollowInside };

/// What became of one file.
enum class Deployed { NoSource, Current, Copied, Failed };

struct DeployReport {
    std::vector<Deployed> files;  // one per file, in the order given
    std::vector<int> errors;      // the errno of each Failed file (0 for the others)
    int dir_error = 0;            // errno when the destination directory could not be had
    bool outside = false;         // a component of it leads out of the prefix (one WARN said so)
    size_t copied = 0, current = 0;
};

/// Copies each file whose source exists into "{prefix}/{destination}" unless it is current
/// there. The destination and its missing parents are created, every component resolved
/// inside the prefix; one that leads outside gets one WARN line ("{label}: not writing into
/// {path}: {component} leads out of the prefix") and nothing is written. A link at a file's
/// name is treated as `links` says; a link leading out of the prefix is always replaced, never
/// written through. Other failures are left to the caller's messages: `dir_error` and the
/// per-file errors.
DeployReport deploy_files(const std::string& prefix, std::string_view destination,
                          std::span<const FileToDeploy> files, std::string_view label,
                          LinkAtName links = LinkAtName::Replace);

/// Removes the file `name` of "{prefix}/{directory}" when it is there, resolving the directory
/// inside the prefix; errno or 0 (ENOENT when there was nothing to remove).
int remove_from_prefix(const std::string& prefix, std::string_view directory,
                       const std::string& name);

}  // namespace pelto::launcher::components
