#include "tools/log.h"

#include <cstdio>
#include <mutex>

#include "dirov410.h"

namespace dirovctl {
namespace {

struct Unshown {
    std::mutex mutex;
    unsigned errors = 0;
    std::string last;
};

Verbosity level = Verbosity::kNormal;
Unshown unshown;

void show_line(void*, int32_t, const char* line) {
    std::fprintf(stderr, "%s\n", line);
}

// Called from the library's threads as well as the main one. Warnings show;
// error lines are held back, since many come from retries that succeed.
void count_line(void*, int32_t lvl, const char* line) {
    if (lvl == DIROV_LOG_WARNING && level != Verbosity::kQuiet)
        std::fprintf(stderr, "dirovctl: library: %s\n", line);
    if (lvl != DIROV_LOG_ERROR) return;
    std::lock_guard lock(unshown.mutex);
    ++unshown.errors;
    unshown.last = line;
}

}  // namespace

void route_library_log(Verbosity v) {
    level = v;
    dirov_set_log_handler(v == Verbosity::kVerbose ? show_line : count_line, nullptr);
}

Verbosity verbosity() {
    return level;
}

std::string unshown_library_errors() {
    std::lock_guard lock(unshown.mutex);
    if (unshown.errors == 0) return "";
    return "the library reported " + std::to_string(unshown.errors) + " error(s), the last: \"" +
           unshown.last + "\" (-v shows them all)";
}

}  // namespace dirovctl
