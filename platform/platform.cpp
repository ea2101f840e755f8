#include "platform/platform.h"

// The OS-neutral part of the platform layer; platform_posix.cpp and
// platform_windows.cpp hold the rest.
#include <atomic>
#include <cstdio>
#include <cstring>

namespace dirov {
namespace {

std::atomic<Clock*> clock_in_use{&real_clock()};

struct ErrorText {
    uint32_t code;
    const char* text;  // "NAME: sentence"
};

// The table made from DIROV_WINDOWS_ERRORS.
constexpr ErrorText kErrors[] = {
#define DIROV_ERROR_ROW(name, code, text) {name, text},
    DIROV_WINDOWS_ERRORS(DIROV_ERROR_ROW)
#undef DIROV_ERROR_ROW
};

}  // namespace

const char* error_text(uint32_t code) {
    for (const ErrorText& e : kErrors)
        if (e.code == code) return e.text;
    return nullptr;
}

std::string guid_text(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool guid_equal(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

Clock& clock() {
    return *clock_in_use.load(std::memory_order_acquire);
}
void set_clock(Clock* c) {
    clock_in_use.store(c ? c : &real_clock(), std::memory_order_release);
}

}  // namespace dirov

extern "C" {
DIROV_API uint32_t dirov_get_last_error(void) {
    return dirov::last_error();
}
DIROV_API void dirov_set_last_error(uint32_t code) {
    dirov::set_last_error(code);
}

DIROV_API const char* dirov_strerror(uint32_t code) {
    if (const char* text = dirov::error_text(code)) return text;
    static thread_local char unknown[48];
    std::snprintf(unknown, sizeof unknown, "ERROR_%u: unknown error", static_cast<unsigned>(code));
    return unknown;
}
}
