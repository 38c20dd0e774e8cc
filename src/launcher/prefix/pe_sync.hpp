// The prefix's directory skeleton and its copies of Wine's Windows-side (PE) modules, kept in
// step with the Wine build on every launch.
#pragma once

#include <string>

namespace pelto::launcher::prefix {

/// Creates the Windows directory skeleton of `pfx` and refreshes its 64-bit PE modules from
/// "{wine_root}/lib/wine/x86_64-windows" when "ntdll.dll" changed size (or "drivers" is
/// missing), and lays down the 32-bit ones once; a missing source set is skipped. With
/// `template_follows` (the shared template is laid in next), a set the prefix lacks is left to
/// the template when the template holds it (same size of "ntdll.dll"). Failures of single
/// modules get a WARN line; nothing stops.
void sync_pe_files(const std::string& wine_root, const std::string& pfx,
                   bool template_follows = false);

/// Copies the PE modules of the Wine build that the prefix lacks (after a template copy, those
/// the template does not have); modules in place are left alone.
void add_missing_pe_files(const std::string& wine_root, const std::string& pfx);

}  // namespace pelto::launcher::prefix
