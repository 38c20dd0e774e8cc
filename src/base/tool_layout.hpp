// Where an installed tool keeps what it brings beside its pelto: the rows of tool_layout.inc,
// the table install.py lays the tool out by.
#pragma once

#include <string>
#include <string_view>

namespace pelto::base {

/// The path of `what` (a name of tool_layout.inc) relative to a tool's root, or to a Wine root
/// that brings the same; the program stops on a name the table does not have.
std::string_view tool_relative(std::string_view what);

/// "{root}/{tool_relative(what)}".
std::string tool_path(const std::string& root, std::string_view what);

}  // namespace pelto::base
