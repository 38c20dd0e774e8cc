#include "base/version.hpp"

namespace pelto::base {

const char* version() { return PELTO_VERSION; }

}  // namespace pelto::base
