#include "device/platform.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

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

RealClock g_real_clock;
std::atomic<Clock*> g_clock{&g_real_clock};

}  // namespace

uint32_t last_error() { return t_last_error; }
void set_last_error(uint32_t code) { t_last_error = code; }

std::string guid_text(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool guid_equal(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Clock& real_clock() { return g_real_clock; }
Clock& clock() { return *g_clock.load(std::memory_order_acquire); }
void set_clock(Clock* c) { g_clock.store(c ? c : &g_real_clock, std::memory_order_release); }

}  // namespace dirov

extern "C" {
DIROV_API uint32_t dirov_get_last_error(void) { return dirov::last_error(); }
DIROV_API void dirov_set_last_error(uint32_t code) { dirov::set_last_error(code); }
}
