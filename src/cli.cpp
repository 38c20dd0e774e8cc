#include "cli.hpp"

#include <unistd.h>

#include <array>
#include <string_view>

#include "base/log.hpp"
#include "base/posix.hpp"
#include "base/text.hpp"
#include "driver.hpp"

namespace pelto {

namespace {

constexpr std::array<std::string_view, 4> kVerbs = {"waitforexitandrun", "run", "getcompatpath",
                                                    "getnativepath"};

}  // namespace

void print_usage() {
    std::string text = "Usage: pelto <verb> <exe> [args...]\n  verbs: ";
    for (size_t i = 0; i < kVerbs.size(); ++i) {
        if (i > 0) text += ", ";
        text += kVerbs[i];
    }
    text += '\n';
    (void)base::write_all(STDERR_FILENO, text);
}

int run_command_line(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        print_usage();
        return 2;
    }
    std::string verb = base::lossy_utf8(arguments[1]);
    bool known = false;
    for (std::string_view candidate : kVerbs) known = known || verb == candidate;
    if (!known) {
        base::log_error(base::concat("Unknown verb: ", verb));
        print_usage();
        return 1;
    }
    std::vector<std::string> rest(arguments.begin() + 2, arguments.end());
    return run(verb, rest);
}

}  // namespace pelto
