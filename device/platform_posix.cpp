// The platform layer on POSIX systems: the last-error code lives in a
// thread-local value, Sleep is a plain sleep; memory services.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "device/platform.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace dirov {
namespace {

thread_local uint32_t t_last_error = 0;

class RealClock final : public Clock {
   public:
    uint64_t now_ms() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void sleep_ms(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

constinit RealClock g_real_clock;

}  // namespace

uint32_t last_error() {
    return t_last_error;
}
void set_last_error(uint32_t code) {
    t_last_error = code;
}

Clock& real_clock() {
    return g_real_clock;
}

void lock_stream(FILE* f) {
    flockfile(f);
}
void unlock_stream(FILE* f) {
    funlockfile(f);
}

void raise_own_priority(int nice) {
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
}

bool write_wide(FILE*, const wchar_t*) {
    return false;
}

uint64_t physical_memory_bytes() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

// glibc keeps freed chunks below the top of its heaps resident; malloc_trim
// releases their whole pages. Other allocators return memory on their own.
void return_free_heap() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace dirov
