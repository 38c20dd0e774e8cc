// Lays a template directory tree into a prefix: fills in what is missing, never replaces a
// file that is already in place, hard-links where the file system allows it and copies the
// first two levels of subdirectories on threads of their own.
#pragma once

#include <cstdint>
#include <string>

namespace pelto::launcher::prefix {

/// The number of files and symbolic links created below `destination` (entries already in
/// place are not counted); 0 when `source` is missing or `destination` cannot be created.
/// `failures`, when given, receives the number of entries and directories that could not be
/// deployed (each one logged).
uint32_t copy_dir_fast(const std::string& source, const std::string& destination,
                       uint32_t depth = 0, uint32_t* failures = nullptr);

}  // namespace pelto::launcher::prefix
