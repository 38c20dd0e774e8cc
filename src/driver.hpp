// The top of the launcher, beside the entry. Its place among the folders: src/layers.txt.
//
// The run driver: every phase of a launch in its fixed order.
#pragma once

#include <string>
#include <vector>

namespace pelto {

/// Runs the verb with the raw arguments after it and returns the launcher's exit status.
int run(const std::string& verb, const std::vector<std::string>& rest);

}  // namespace pelto
