// The library's diagnostic lines in dirovctl: all shown on stderr with -v;
// otherwise warnings show (not with -q) and error lines are counted and
// summarised only when a command fails, since many of them (a failed look
// for a board face, say) come from retries that succeed. Info lines show
// only with -v.
#pragma once

#include <string>

namespace dirovctl {

enum class Verbosity { kQuiet, kNormal, kVerbose };

// Installs the library's log handler for the given verbosity.
void route_library_log(Verbosity v);
Verbosity verbosity();

// What the library reported and dirovctl did not show: "" when nothing, else
// one line with the count of error lines and the last of them.
std::string unshown_library_errors();

}  // namespace dirovctl
