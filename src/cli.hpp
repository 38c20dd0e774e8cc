// The entry of a launch: checks the verb, prints the usage text, hands over to the driver.
#pragma once

#include <string>
#include <vector>

namespace pelto {

/// Writes the two usage lines to standard error.
void print_usage();

/// Runs the whole command line (argv[0] included) and returns the process exit status.
int run_command_line(const std::vector<std::string>& arguments);

}  // namespace pelto
