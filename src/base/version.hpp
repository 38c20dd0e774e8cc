// The version of pelto, as the build was configured with it.
#pragma once

namespace pelto::base {

/// pelto's version, for example "0.3.0".
const char* version();

}  // namespace pelto::base
