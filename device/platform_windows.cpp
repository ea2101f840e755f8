// The platform layer on Windows: the native last-error code and Sleep, the
// CRT's _chsize, and wide console output.
#include <windows.h>
#include <io.h>

#include <chrono>
#include <cwchar>

#include "device/platform.h"

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

constinit RealClock g_real_clock;

}  // namespace

uint32_t last_error() { return GetLastError(); }
void set_last_error(uint32_t code) { SetLastError(code); }

Clock& real_clock() { return g_real_clock; }

bool truncate_stream(FILE* f, long size) {
    return std::fflush(f) == 0 && _chsize(_fileno(f), size) == 0;
}

void lock_stream(FILE* f) { _lock_file(f); }
void unlock_stream(FILE* f) { _unlock_file(f); }

// The capture thread's priority comes from its creation attributes
// (winpthread maps priority 15 to THREAD_PRIORITY_TIME_CRITICAL).
void raise_own_priority(int) {}

void print_wide_stdout(const wchar_t* text) { std::fputws(text, stdout); }

}  // namespace dirov
