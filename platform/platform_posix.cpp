// The platform layer on POSIX systems: the last-error code lives in a
// thread-local value, Sleep is a plain sleep; memory services.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"

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

constinit RealClock real_clock_instance;

// Waiter and waker name the word by the same unsigned type of its size, so
// that both meet in the same futex or wait table entry.
template <class U>
std::atomic_ref<U> word_as(const void* word) {
    return std::atomic_ref(*static_cast<U*>(const_cast<void*>(word)));
}
template <class U>
void wait_as(const void* word, const void* seen) {
    U value;
    std::memcpy(&value, seen, sizeof value);
    word_as<U>(word).wait(value);
}

}  // namespace

void wait_on_word(const void* word, const void* seen, size_t size) {
    if (size == 1) wait_as<uint8_t>(word, seen);
    if (size == 4) wait_as<uint32_t>(word, seen);
    if (size == 8) wait_as<uint64_t>(word, seen);
}
void wake_word_all(const void* word, size_t size) {
    if (size == 1) word_as<uint8_t>(word).notify_all();
    if (size == 4) word_as<uint32_t>(word).notify_all();
    if (size == 8) word_as<uint64_t>(word).notify_all();
}

uint32_t last_error() {
    return t_last_error;
}
void set_last_error(uint32_t code) {
    t_last_error = code;
}

Clock& real_clock() {
    return real_clock_instance;
}

void raise_own_priority(int nice) {
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
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
