// What the fuzz targets share: a property check that stops the run with the property's name,
// and the input as text.
#pragma once

#include <sanitizer/common_interface_defs.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace pelto::fuzz {

/// Aborts with `property` named in the sanitizer report when `holds` is false, so libFuzzer
/// keeps the input as a crash. The report goes where libFuzzer sends the sanitizers' reports,
/// which stays open when the target's own standard error is closed (-close_fd_mask=2).
inline void check(bool holds, const char* property) {
    if (holds) return;
    __sanitizer_report_error_summary(("property violated: " + std::string(property)).c_str());
    std::abort();
}

/// The fuzzer's bytes as a string view.
inline std::string_view as_text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace pelto::fuzz
