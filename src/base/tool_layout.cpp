#include "base/tool_layout.hpp"

#include <cstdlib>

#include "base/posix.hpp"

namespace pelto::base {

namespace {

struct Row {
    std::string_view what;
    std::string_view path;
};

#define TOOL_LAYOUT(what, path) {what, path},
constexpr Row kRows[] = {
#include "base/tool_layout.inc"
};
#undef TOOL_LAYOUT

}  // namespace

std::string_view tool_relative(std::string_view what) {
    for (const Row& row : kRows) {
        if (row.what == what) return row.path;
    }
    std::abort();  // a name that is not in the table is a mistake in the launcher's code
}

std::string tool_path(const std::string& root, std::string_view what) {
    return join_path(root, tool_relative(what));
}

}  // namespace pelto::base
