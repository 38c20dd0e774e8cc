#include "launcher/core/driver.hpp"

namespace pelto::launcher::core {

int run(const std::string&, const std::vector<std::string>&) { return 1; }

}  // namespace pelto::launcher::core
