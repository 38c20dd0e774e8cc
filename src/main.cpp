// Entry of the launcher: `pelto <verb> <exe> [args...]`, as the Steam client runs it.
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "launcher/core/cli.hpp"

int main(int argc, char** argv) {
    // A closed log pipe must not kill the launcher in the middle of a game session.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv, argv + argc);
    return pelto::launcher::core::run_command_line(arguments);
}
