// The platform layer on POSIX systems: the last-error code lives in a
// thread-local value, Sleep is a plain sleep.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cwchar>
#include <thread>

#include "device/platform.h"

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

uint32_t last_error() { return t_last_error; }
void set_last_error(uint32_t code) { t_last_error = code; }

Clock& real_clock() { return g_real_clock; }

bool truncate_stream(FILE* f, long size) {
    return std::fflush(f) == 0 && ftruncate(fileno(f), size) == 0;
}

void lock_stream(FILE* f) { flockfile(f); }
void unlock_stream(FILE* f) { funlockfile(f); }

void raise_own_priority(int nice) {
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
}

void print_wide_stdout(const wchar_t* text) {
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (const wchar_t* p = text; *p; ++p) {
        size_t n = std::wcrtomb(bytes, *p, &state);
        if (n == static_cast<size_t>(-1)) std::fputc('?', stdout);
        else std::fwrite(bytes, 1, n, stdout);
    }
}

}  // namespace dirov
