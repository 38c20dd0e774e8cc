// Entry of the launcher: `pelto <verb> <exe> [args...]`, as the Steam client runs it.
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/process.hpp"
#include "cli.hpp"

int main(int argc, char** argv) {
    // A closed log pipe must not kill the launcher in the middle of a game session.
    ::signal(SIGPIPE, SIG_IGN);
    // A parent may hand over an ignored SIGCHLD (no child could then be waited for) or
    // blocked stop signals (the game could not be stopped through the launcher).
    ::signal(SIGCHLD, SIG_DFL);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int signo : pelto::base::kStopSignals) sigaddset(&stop_signals, signo);
    sigaddset(&stop_signals, SIGCHLD);
    ::sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);
    std::vector<std::string> arguments(argv, argv + argc);
    return pelto::run_command_line(arguments);
}
