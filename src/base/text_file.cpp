#include "base/text_file.hpp"

#include <cerrno>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"

namespace pelto::base {

int read_text_file(const std::string& path, std::string& out) {
    int error = read_file(path, out);
    if (error == EFBIG) {
        log_warn(concat(lossy_utf8(path), " is larger than ", kReadLimit, " bytes — not read"));
    }
    return error;
}

}  // namespace pelto::base
