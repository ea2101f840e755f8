// The platform layer on Windows: the native last-error code and Sleep, waits
// on a word, wide console output, memory services.
#include <malloc.h>
#include <windows.h>

#include <chrono>
#include <cwchar>

#include "platform/platform.h"

namespace dirov {
namespace {

class RealClock final : public Clock {
   public:
    // steady_clock reads the performance counter; GetTickCount64 steps by 16 ms.
    uint64_t now_ms() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void sleep_ms(uint32_t ms) override { Sleep(ms); }
};

constinit RealClock real_clock_instance;

}  // namespace

uint32_t last_error() {
    return GetLastError();
}
void set_last_error(uint32_t code) {
    SetLastError(code);
}

Clock& real_clock() {
    return real_clock_instance;
}

// WaitOnAddress compares and sleeps as one step against WakeByAddressAll
// (Windows 8 and later; synchronization API).
void wait_on_word(const void* word, const void* seen, size_t size) {
    WaitOnAddress(const_cast<void*>(word), const_cast<void*>(seen), size, INFINITE);
}
void wake_word_all(const void* word, size_t) {
    WakeByAddressAll(const_cast<void*>(word));
}

// The capture thread's priority comes from its creation attributes
// (winpthread maps priority 15 to THREAD_PRIORITY_TIME_CRITICAL).
void raise_own_priority(int) {}

uint64_t physical_memory_bytes() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

// The CRT heap hands whole free regions back to the system on its own.
void return_free_heap() {
    _heapmin();
}

}  // namespace dirov
