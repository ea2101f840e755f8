// Test programs on POSIX systems: standard streams need no adjusting; memory
// and environment through the system calls.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/capture.h"

namespace dirov::test {

void prepare_redirect(int) {}
void normalize_line_ends(std::string&) {}
FILE* scratch_file() {
    return std::tmpfile();
}
uint64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

void set_env(const char* name, const char* value) {
    ::setenv(name, value, 1);
}

void on_full_disk(uint64_t bytes, const std::function<void()>& fn) {
    rlimit saved, lower;
    getrlimit(RLIMIT_FSIZE, &saved);
    lower = {bytes, saved.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lower);
    fn();
    setrlimit(RLIMIT_FSIZE, &saved);
}

}  // namespace dirov::test
