// The prefix's directory skeleton and its copies of Wine's Windows-side (PE) modules, kept in
// step with the Wine build on every launch.
#pragma once

#include <string>

namespace pelto::launcher::prefix {

/// Creates the Windows directory skeleton of `pfx` and refreshes its 64-bit PE modules from
/// "{wine_root}/lib/wine/x86_64-windows" when "ntdll.dll" changed size (or "drivers" is
/// missing), and lays down the 32-bit ones once; a missing source set is skipped. Returns
/// nothing: failures are ignored.
void sync_pe_files(const std::string& wine_root, const std::string& pfx);

}  // namespace pelto::launcher::prefix
