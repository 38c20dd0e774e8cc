// Reading the small text files the launcher keeps or is given (env_config, its own records,
// the prefix's registry): the POSIX layer's whole-file read, plus one WARN line when a file is
// too large to be a real one.
#pragma once

#include <string>

namespace pelto::base {

/// Reads the whole regular file at `path` as `read_file` does; a file over the size limit is
/// not read and gets one WARN line naming it. Returns errno or 0.
int read_text_file(const std::string& path, std::string& out);

}  // namespace pelto::base
